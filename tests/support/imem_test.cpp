// Memory groups under a parent made outside the library: error codes, the
// documented small-block figures (derived from the record sizes so they hold
// on both targets), climbs through two levels, and a long mixed workload.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <set>
#include <utility>
#include <vector>

#include "support/imem.h"

using namespace qira_mem;

// itree_test.cpp
std::vector<uintptr_t> CheckTree(const TTree &tree, uint32_t *depth);
void PrintShape(const TNode *n, uint64_t *h, uint64_t (*key)(uintptr_t));

namespace {

BlockHeader *Hdr(void *p) { return blockof(p); }
BlockHeader *Next(void *p) { return reinterpret_cast<BlockHeader *>(Hdr(p)->links.next); }
uint32_t ListLength(const QiraMemGroup *g) {
  uint32_t n = 0;
  for (const QiraDNode *e = g->list.next; e != &g->list; e = e->next) ++n;
  return n;
}

// A parent made outside the library, as the host's groups are: its blocks
// lead back to it only through the owner word (word 2 of the record that word
// points at).  It takes its memory from a heap group, whose list shows
// everything it has handed out, and can be told to refuse.
struct Host {
  QiraMemGroup g{};  // first: the record's address is the object's
  QiraMemGroup *heap = nullptr;
  bool refuse = false;
};
struct Header { void *unused; uintptr_t size; QiraMemGroup *group; void *owner; };
uint32_t HostSize(void *block) { return uint32_t((static_cast<Header *>(block) - 1)->size); }
void *HostAlloc(QiraMemGroup *g, uint32_t size, uint32_t *need) {
  Host *h = reinterpret_cast<Host *>(g);
  *need = 0;
  Header *b = h->refuse ? nullptr : static_cast<Header *>(Mem_Alloc(h->heap, sizeof(Header) + size));
  if (!b) return nullptr;
  *b = Header{nullptr, size, g, b};
  return b + 1;
}
void *HostFree(QiraMemGroup *, void *block) {
  Mem_Free(static_cast<Header *>(block) - 1);
  return nullptr;
}
void *HostAllocGroup(QiraMemGroup *g) {
  uint32_t need;
  return HostAlloc(g, sizeof(QiraMemGroup), &need);
}

// A small-block group under such a parent.  Whatever a test leaves
// allocated, releasing the group must give all of it back.
class Mem : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(Mem_GroupGet(nullptr, QIRA_GROUP_HEAP, 0, &host.heap), QIRA_OK);
    host.g.alloc = HostAlloc;
    host.g.free = HostFree;
    host.g.allocgrp = HostAllocGroup;
    ASSERT_EQ(Mem_GroupGet(&host.g, QIRA_GROUP_SMALL, 16384, &g), QIRA_OK);
  }
  void TearDown() override {
    Mem_GroupFree(g);
    EXPECT_EQ(Outstanding(), 0u);
    Mem_GroupFree(host.heap);
  }
  uint32_t Outstanding() const { return ListLength(host.heap); }
  Host host;
  QiraMemGroup *g = nullptr;
};

TEST_F(Mem, GroupGetRefusesWithOutUntouched) {
  struct Case { QiraMemGroup *parent; uint32_t kind, chunk, want; };
  const Case kCases[] = {
      {nullptr, 3, 0, QIRA_ERR_GROUPKIND},
      {nullptr, 0, 0, QIRA_ERR_GROUPKIND},
      {host.heap, QIRA_GROUP_HEAP, 0, QIRA_ERR_GROUPKIND},
      {nullptr, QIRA_GROUP_HEAP, 0x40000001, QIRA_ERR_GROUPSIZE},
      {&host.g, QIRA_GROUP_SMALL, 0x40000001, QIRA_ERR_GROUPSIZE},
      {&host.g, 3, 0x40000001, QIRA_ERR_GROUPSIZE},
      {&host.g, QIRA_GROUP_SMALL, 4096, QIRA_ERR_NOMEM},  // the parent refuses the record
  };
  host.refuse = true;
  for (const Case &c : kCases) {
    QiraMemGroup *out = g;
    EXPECT_EQ(Mem_GroupGet(c.parent, c.kind, c.chunk, &out), c.want) << c.kind << " " << c.chunk;
    EXPECT_EQ(out, g);
  }
  EXPECT_EQ(Outstanding(), 1u);  // g's record, and nothing more
}

TEST_F(Mem, SmallBlockFigures) {
  // The first request takes a 16384-byte chunk whose one free block (16344
  // on i386) is split into the block and a free rest (16224 there).
  void *a = Mem_Alloc(g, 100);
  ASSERT_EQ(Hdr(a), firstblock(reinterpret_cast<ChunkHeader *>(g->list.next)));
  EXPECT_EQ(HostSize(g->list.next), 16384u);
  EXPECT_EQ(Hdr(a)->size, roundup(100));
  EXPECT_EQ(Next(a)->size, 16384u - kChunkHeader - 2 * kBlockHeader - roundup(100));
  EXPECT_TRUE(sizeof(void *) == 8 || Next(a)->size == 16224u);
  Mem_Free(a);  // merges with the rest, and the chunk goes straight back
  EXPECT_TRUE(ListLength(g) == 0 && Outstanding() == 1 && g->freetree.root.count == 0);
  // Tiny requests get the smallest block (44 on i386).
  for (uint32_t n : {0u, 1u, kMinBlock - 1}) EXPECT_EQ(Hdr(Mem_Alloc(g, n))->size, kMinBlock) << n;
  // Beyond the chunk size: a chunk of its own (20040 on i386), not split.
  void *big = Mem_Alloc(g, 20000);
  EXPECT_EQ(HostSize(g->list.prev), 20000u + kChunkOverhead);
  EXPECT_TRUE(Hdr(big)->size == 20000u && Next(big) == Hdr(big));
  // Too large: null, and nothing asked of anyone.  A refusing parent: null,
  // and what the group holds still serves.
  EXPECT_EQ(Mem_Alloc(g, 0x40000001), nullptr);
  EXPECT_EQ(Mem_Alloc(host.heap, 0xFFFFFFFF), nullptr);
  host.refuse = true;
  EXPECT_EQ(Mem_Alloc(g, 30000), nullptr);
  EXPECT_NE(Mem_Alloc(g, 100), nullptr);
  host.refuse = false;
  EXPECT_TRUE(ListLength(g) == 2 && Outstanding() == 3);
}

// Small under small under the parent: a request climbs two levels and comes
// back down as chunks; releasing the leaf with live blocks cascades back up.
TEST_F(Mem, ClimbsThroughTwoLevels) {
  QiraMemGroup *leaf = nullptr;
  ASSERT_EQ(Mem_GroupGet(g, QIRA_GROUP_SMALL, 1024, &leaf), QIRA_OK);
  void *b = Mem_Alloc(leaf, 2000);  // beyond the leaf's chunk size, within g's
  EXPECT_TRUE(Hdr(b)->size == 2000u && Hdr(leaf->list.next)->size == 2000u + kChunkOverhead);
  EXPECT_EQ(ListLength(g), 1u);
  ASSERT_NE(Mem_Alloc(leaf, 20000), nullptr);  // beyond g's too
  EXPECT_TRUE(ListLength(leaf) == 2 && ListLength(g) == 2);
  EXPECT_EQ(HostSize(g->list.prev), 20000u + 2 * kChunkOverhead);
  Mem_GroupFree(leaf);
  EXPECT_TRUE(ListLength(g) == 0 && Outstanding() == 1);
}

// The free tree holds one member per free size, each with its own node and in
// size order; the blocks reachable through it (members and their same-size
// rings) are exactly the free blocks of the chunks, whose blocks tile them
// and whose free bytes agree.
void CheckGroup(QiraMemGroup *g) {
  std::set<BlockHeader *> reachable, free;
  uint32_t last = 0;
  for (uintptr_t u : CheckTree(g->freetree, nullptr)) {
    BlockHeader *m = reinterpret_cast<BlockHeader *>(u);
    FreeInfo *mi = static_cast<FreeInfo *>(dataof(m));
    ASSERT_TRUE(mi->intree && m->size > last && TTree_Search(&g->freetree, u) == &mi->node);
    reachable.insert(m);
    last = m->size;
    for (QiraDNode *r = mi->samesize.next; r != &mi->samesize; r = r->next) {
      BlockHeader *b = blockof(reinterpret_cast<char *>(r) - offsetof(FreeInfo, samesize));
      ASSERT_TRUE(b->size == m->size && !static_cast<FreeInfo *>(dataof(b))->intree);
      reachable.insert(b);
    }
  }
  for (QiraDNode *e = g->list.next; e != &g->list; e = e->next) {
    ChunkHeader *c = reinterpret_cast<ChunkHeader *>(e);
    uint32_t total = 0, freebytes = 0;
    BlockHeader *b = firstblock(c);
    do {
      ASSERT_EQ(reinterpret_cast<char *>(b), reinterpret_cast<char *>(firstblock(c)) + total);
      total += b->size + kBlockHeader;
      if (!b->inuse) {
        freebytes += b->size + kBlockHeader;
        free.insert(b);
      }
      b = reinterpret_cast<BlockHeader *>(b->links.next);
    } while (b != firstblock(c));
    // A wholly free chunk is given back at once.
    ASSERT_TRUE(total == c->usable && freebytes == c->freebytes && freebytes < c->usable);
  }
  ASSERT_EQ(free, reachable);
}

// Where every block lands and the free tree's shape after every step of a
// fixed mixed workload (merges on either side and both, splits, whole
// reuse, same-size rings, chunks given back).  Best fit, the newest of a
// size first, the split figure and the order of the free-tree updates each
// decide the print; the figures differ between the targets only because
// the headers do.  Every block keeps its bytes until it is freed.
TEST_F(Mem, PlacementsAndFreeTreeFollowTheRules) {
  struct Live { uint8_t *p = nullptr; uint32_t size = 0; uint8_t fill = 0; };
  const auto intact = [](const Live &l) {
    return std::all_of(l.p, l.p + l.size, [&](uint8_t x) { return x == l.fill; });
  };
  std::mt19937 rng(5);
  std::vector<Live> slots(400);
  uint64_t h = 0xCBF29CE484222325ull;
  const auto mix = [&h](uint64_t v) {
    for (int i = 0; i < 8; ++i) h = (h ^ ((v >> (8 * i)) & 0xFF)) * 0x100000001B3ull;
  };
  for (uint32_t step = 0; step < 30000; ++step) {
    Live &slot = slots[rng() % slots.size()];
    if (slot.p) {
      ASSERT_TRUE(intact(slot)) << "block corrupted at step " << step;
      Mem_Free(std::exchange(slot.p, nullptr));
    } else {
      slot.size = rng() % 16 == 0 ? 2000 + rng() % 20000 : 16 + rng() % 600;
      slot.p = static_cast<uint8_t *>(Mem_Alloc(g, slot.size));
      ASSERT_TRUE(slot.p && uintptr_t(slot.p) % kUnit == 0 && Hdr(slot.p)->size >= slot.size);
      std::memset(slot.p, slot.fill = uint8_t(step), slot.size);
      // The chunk by its place on the group's list: addresses are malloc's.
      const QiraDNode *c = &Hdr(slot.p)->chunk->links;
      uint32_t place = 0;
      for (const QiraDNode *e = g->list.next; e != c; e = e->next) ++place;
      mix(place);
      mix(uintptr_t(slot.p) - uintptr_t(c));
    }
    PrintShape(g->freetree.root.node, &h,
               [](uintptr_t u) { return uint64_t(reinterpret_cast<BlockHeader *>(u)->size); });
    if (step % 250 == 0) CheckGroup(g);
    if (HasFatalFailure()) return;
  }
  EXPECT_EQ(h, sizeof(void *) == 4 ? 0x5e72f469a3cf2c5bull : 0xbeb83a960a610d13ull) << std::hex << "0x" << h;
  for (Live &l : slots) {
    if (!l.p) continue;
    ASSERT_TRUE(intact(l));
    Mem_Free(l.p);
  }
  EXPECT_TRUE(ListLength(g) == 0 && g->freetree.root.count == 0);
}

}  // namespace
