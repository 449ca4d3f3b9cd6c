// Memory groups under a parent made outside the library: error codes, failing
// requests, and a long mixed workload whose every placement is pinned.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <utility>
#include <vector>

#include "support/imem.h"

using namespace qira_mem;

void PrintShape(const TNode *n, uint64_t *h, uint64_t (*key)(uintptr_t));  // itree_test.cpp

namespace {

BlockHeader *Hdr(void *p) { return blockof(p); }
uint32_t ListLength(const QiraMemGroup *g) {
  uint32_t n = 0;
  for (const QiraDNode *e = g->list.next; e != &g->list; e = e->next) ++n;
  return n;
}

// A parent made outside the library, as the host's groups are: its blocks lead
// back to it only through the owner word.  Its memory comes from a heap group,
// whose list shows all it handed out; it can be told to refuse.
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

// A small-block group under such a parent; releasing it gives back all a test left.
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

// Refused requests leave everything as it was: no group handed out, and what
// the group holds still serves.
TEST_F(Mem, RefusalsLeaveEverythingAsItWas) {
  ASSERT_NE(Mem_Alloc(g, 100), nullptr);
  EXPECT_EQ(HostSize(g->list.next), 16384u);
  EXPECT_EQ(Mem_Alloc(g, 0x40000001), nullptr);  // too large: nothing asked of anyone
  EXPECT_EQ(Mem_Alloc(host.heap, 0xFFFFFFFF), nullptr);
  host.refuse = true;
  EXPECT_EQ(Mem_Alloc(g, 30000), nullptr);
  EXPECT_NE(Mem_Alloc(g, 100), nullptr);
  struct Case { QiraMemGroup *parent; uint32_t kind, chunk, want; };
  const Case kCases[] = {
      {nullptr, 3, 0, QIRA_ERR_GROUPKIND},  {nullptr, 0, 0, QIRA_ERR_GROUPKIND},
      {host.heap, QIRA_GROUP_HEAP, 0, QIRA_ERR_GROUPKIND},
      {nullptr, QIRA_GROUP_HEAP, 0x40000001, QIRA_ERR_GROUPSIZE},
      {&host.g, QIRA_GROUP_SMALL, 0x40000001, QIRA_ERR_GROUPSIZE},
      {&host.g, 3, 0x40000001, QIRA_ERR_GROUPSIZE},
      {&host.g, QIRA_GROUP_SMALL, 4096, QIRA_ERR_NOMEM},  // the parent refuses the record
  };
  for (const Case &c : kCases) {
    QiraMemGroup *out = g;
    EXPECT_EQ(Mem_GroupGet(c.parent, c.kind, c.chunk, &out), c.want) << c.kind << " " << c.chunk;
    EXPECT_EQ(out, g);
  }
  EXPECT_TRUE(ListLength(g) == 1 && Outstanding() == 2);  // g's record and its one chunk
}

// Where every block lands and the free tree's shape after every step of a fixed
// mixed workload (merges, splits, whole reuse, same-size rings, chunks of their
// own, chunks given back): best fit, newest of a size first, the split figure,
// the smallest block and the free-tree updates each decide the print, which
// differs between targets only by header sizes.  Blocks keep their bytes.
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
