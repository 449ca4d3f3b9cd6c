// Memory groups: documented figures (derived from the record sizes so they
// hold on both targets), error codes, the owner-word rule, and a randomised
// workload against a model of live blocks.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <vector>

#include "support/imem.h"

using namespace qira_mem;

namespace {

BlockHeader *Hdr(void *p) { return blockof(p); }

uint32_t ListLength(const QiraMemGroup *g) {
  uint32_t n = 0;
  for (const QiraDNode *e = g->list.next; e != &g->list; e = e->next) ++n;
  return n;
}

// A heap group under os_group whose list counts every block it holds, so a
// test sees exactly which chunks a child group keeps.
struct HeapParent {
  QiraMemGroup *g = nullptr;
  HeapParent() { EXPECT_EQ(Mem_GroupGet(nullptr, QIRA_GROUP_HEAP, 0, &g), QIRA_OK); }
  ~HeapParent() {
    if (g) Mem_GroupFree(g);
  }
};

QiraMemGroup *Small(QiraMemGroup *parent, uint32_t chunk) {
  QiraMemGroup *g = nullptr;
  EXPECT_EQ(Mem_GroupGet(parent, QIRA_GROUP_SMALL, chunk, &g), QIRA_OK);
  return g;
}

// Size of the chunk a heap parent handed out (the heap header records it).
uint32_t HeapBlockSize(void *block) { return static_cast<HeapHeader **>(block)[-1]->size; }

TEST(MemGroupGet, RefusesBadArguments) {
  QiraMemGroup sentinel;
  QiraMemGroup *parent = nullptr;
  ASSERT_EQ(Mem_GroupGet(nullptr, QIRA_GROUP_HEAP, 0, &parent), QIRA_OK);
  struct Case { QiraMemGroup *parent; uint32_t kind; uint32_t chunk; uint32_t want; };
  const Case kCases[] = {
      {nullptr, 3, 0, QIRA_ERR_GROUPKIND},
      {nullptr, 0, 0, QIRA_ERR_GROUPKIND},
      {parent, QIRA_GROUP_HEAP, 0, QIRA_ERR_GROUPKIND},
      {nullptr, QIRA_GROUP_HEAP, 0x40000001, QIRA_ERR_GROUPSIZE},
      {parent, QIRA_GROUP_SMALL, 0x40000001, QIRA_ERR_GROUPSIZE},
      {parent, 3, 0x40000001, QIRA_ERR_GROUPSIZE},
  };
  for (const Case &c : kCases) {
    SCOPED_TRACE(testing::Message() << "kind " << c.kind << " chunk " << c.chunk);
    QiraMemGroup *out = &sentinel;
    EXPECT_EQ(Mem_GroupGet(c.parent, c.kind, c.chunk, &out), c.want);
    EXPECT_EQ(out, &sentinel);
  }
  EXPECT_EQ(ListLength(parent), 0u);
  Mem_GroupFree(parent);
}

TEST(MemGroupGet, RecordComesFromTheParent) {
  HeapParent p;
  QiraMemGroup *g = Small(p.g, 16384);
  EXPECT_EQ(ListLength(p.g), 1u);
  EXPECT_EQ(HeapBlockSize(g), sizeof(QiraMemGroup));
  EXPECT_EQ(g->parent, p.g);
  EXPECT_EQ(g->chunksize, 16384u);
  EXPECT_EQ(g->list.next, &g->list);
  EXPECT_EQ(g->freetree.root.node, nullptr);
  EXPECT_EQ(p.g->parent, &os_group);
  Mem_GroupFree(g);
  EXPECT_EQ(ListLength(p.g), 0u);
}

TEST(MemSmall, FirstAllocSplitsTheFirstChunk) {
  HeapParent p;
  QiraMemGroup *g = Small(p.g, 16384);
  void *a = Mem_Alloc(g, 100);
  ASSERT_NE(a, nullptr);
  const uint32_t s = roundup(100);
  ASSERT_EQ(ListLength(g), 1u);
  ChunkHeader *c = reinterpret_cast<ChunkHeader *>(g->list.next);
  EXPECT_EQ(HeapBlockSize(c), 16384u);
  EXPECT_EQ(c->usable, 16384u - kChunkHeader);
  EXPECT_EQ(Hdr(a), firstblock(c));
  EXPECT_EQ(Hdr(a)->size, s);
  EXPECT_EQ(Hdr(a)->inuse, 1u);
  // The rest of the first free block (16344 on i386) stays free: 16224 there.
  const uint32_t whole = 16384u - kChunkHeader - kBlockHeader;
  BlockHeader *rest = reinterpret_cast<BlockHeader *>(Hdr(a)->links.next);
  EXPECT_EQ(rest->size, whole - s - kBlockHeader);
  EXPECT_EQ(rest->inuse, 0u);
  EXPECT_EQ(g->freetree.root.count, 1u);
  if (sizeof(void *) == 4) {
    EXPECT_EQ(rest->size, 16224u);
  }
  EXPECT_EQ(ListLength(p.g), 2u);  // the record and the chunk
  // Freeing merges the two and the chunk goes straight back.
  Mem_Free(a);
  EXPECT_EQ(ListLength(g), 0u);
  EXPECT_EQ(ListLength(p.g), 1u);
  EXPECT_EQ(g->freetree.root.count, 0u);
  Mem_GroupFree(g);
}

TEST(MemSmall, TinyRequestsGetTheSmallestBlock) {
  HeapParent p;
  QiraMemGroup *g = Small(p.g, 16384);
  for (uint32_t n : {0u, 1u, kMinBlock - 1}) {
    SCOPED_TRACE(n);
    void *b = Mem_Alloc(g, n);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(Hdr(b)->size, kMinBlock);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(b) % kUnit, 0u);
  }
  if (sizeof(void *) == 4) {
    EXPECT_EQ(kMinBlock, 44u);
  }
  Mem_GroupFree(g);
  EXPECT_EQ(ListLength(p.g), 0u);
}

TEST(MemSmall, LargeRequestGetsAChunkOfItsOwn) {
  HeapParent p;
  QiraMemGroup *g = Small(p.g, 16384);
  void *b = Mem_Alloc(g, 20000);
  ASSERT_NE(b, nullptr);
  ChunkHeader *c = reinterpret_cast<ChunkHeader *>(g->list.next);
  // 20040 on i386: chunk header, block header, the request, no split.
  EXPECT_EQ(HeapBlockSize(c), 20000u + kChunkOverhead);
  EXPECT_EQ(Hdr(b)->size, 20000u);
  EXPECT_EQ(Hdr(b)->links.next, &Hdr(b)->links);
  EXPECT_EQ(g->freetree.root.count, 0u);
  Mem_Free(b);
  EXPECT_EQ(ListLength(p.g), 1u);
  Mem_GroupFree(g);
}

TEST(MemSmall, SplitOnlyWhenTheRestMakesABlock) {
  // Carve a free block of exactly s + extra between two live blocks, then ask
  // for s.  Room for a header and the smallest block splits; less does not.
  const uint32_t s = 200;
  for (uint32_t extra : {kSplitExtra - kUnit, kSplitExtra}) {
    SCOPED_TRACE(extra);
    HeapParent p;
    QiraMemGroup *g = Small(p.g, 16384);
    void *left = Mem_Alloc(g, 64);
    void *hole = Mem_Alloc(g, s + extra);
    void *right = Mem_Alloc(g, 64);
    ASSERT_TRUE(left && hole && right);
    Mem_Free(hole);
    void *b = Mem_Alloc(g, s);
    EXPECT_EQ(b, hole);
    if (extra < kSplitExtra) {
      EXPECT_EQ(Hdr(b)->size, s + extra);
    } else {
      EXPECT_EQ(Hdr(b)->size, s);
      BlockHeader *rest = reinterpret_cast<BlockHeader *>(Hdr(b)->links.next);
      EXPECT_EQ(rest->size, kMinBlock);
      EXPECT_EQ(rest->inuse, 0u);
    }
    Mem_GroupFree(g);
    EXPECT_EQ(ListLength(p.g), 0u);
  }
}

TEST(MemSmall, SameSizeBlocksShareOneTreeNodeLastFreedFirst) {
  HeapParent p;
  QiraMemGroup *g = Small(p.g, 16384);
  void *b[5];
  for (void *&x : b) x = Mem_Alloc(g, 100);
  // Free 1 and 3: same size, no free neighbours.
  Mem_Free(b[1]);
  Mem_Free(b[3]);
  const uint32_t before = g->freetree.root.count;  // tail block and the size 100
  EXPECT_EQ(before, 2u);
  EXPECT_EQ(Mem_Alloc(g, 100), b[3]);
  EXPECT_EQ(g->freetree.root.count, 2u);
  EXPECT_EQ(Mem_Alloc(g, 100), b[1]);
  EXPECT_EQ(g->freetree.root.count, 1u);
  Mem_GroupFree(g);
}

TEST(MemAlloc, TooLargeFailsWithoutTouchingTheGroup) {
  HeapParent p;
  QiraMemGroup *g = Small(p.g, 16384);
  EXPECT_EQ(Mem_Alloc(g, 0x40000001), nullptr);
  EXPECT_EQ(ListLength(g), 0u);
  EXPECT_EQ(ListLength(p.g), 1u);
  EXPECT_EQ(Mem_Alloc(p.g, 0xFFFFFFFF), nullptr);
  Mem_GroupFree(g);
}

TEST(MemGroupFree, GivesEveryChunkBack) {
  HeapParent p;
  QiraMemGroup *g = Small(p.g, 4096);
  std::vector<void *> blocks;
  for (int i = 0; i < 200; ++i) blocks.push_back(Mem_Alloc(g, 100 + i));
  EXPECT_GT(ListLength(g), 1u);
  EXPECT_EQ(ListLength(p.g), ListLength(g) + 1);
  Mem_GroupFree(g);
  EXPECT_EQ(ListLength(p.g), 0u);
}

// Three levels: small under small under heap.  A request climbs two levels
// and comes back down as chunks; releasing the leaf cascades back up.
TEST(MemAlloc, ClimbsThroughTwoLevels) {
  HeapParent p;
  QiraMemGroup *mid = Small(p.g, 8192);
  QiraMemGroup *leaf = Small(mid, 1024);  // its record already takes a chunk of mid
  EXPECT_EQ(ListLength(mid), 1u);
  EXPECT_EQ(ListLength(p.g), 2u);
  void *b = Mem_Alloc(leaf, 2000);  // more than the leaf's chunk size
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(ListLength(leaf), 1u);
  EXPECT_EQ(ListLength(mid), 1u);
  ChunkHeader *leafchunk = reinterpret_cast<ChunkHeader *>(leaf->list.next);
  EXPECT_EQ(Hdr(leafchunk)->size, 2000u + kChunkOverhead);
  EXPECT_EQ(Hdr(b)->size, 2000u);
  void *big = Mem_Alloc(leaf, 9000);  // beyond mid's chunk size too
  ASSERT_NE(big, nullptr);
  EXPECT_EQ(ListLength(leaf), 2u);
  EXPECT_EQ(ListLength(mid), 2u);
  EXPECT_EQ(ListLength(p.g), 3u);
  EXPECT_EQ(HeapBlockSize(mid->list.prev), 9000u + 2 * kChunkOverhead);
  // With live blocks, the leaf's chunks and then its record go back to mid,
  // whose chunks, now wholly free, go back to the heap group in the same call.
  Mem_GroupFree(leaf);
  EXPECT_EQ(ListLength(mid), 0u);
  EXPECT_EQ(ListLength(p.g), 1u);
  Mem_GroupFree(mid);
  EXPECT_EQ(ListLength(p.g), 0u);
}

// A group record made by the test: blocks whose owner word leads to it must
// come back through its own free operation.
struct FakeGroup {
  QiraMemGroup g;
  std::vector<void *> freed;
  struct Owner {
    void *w0, *w1;
    QiraMemGroup *group;  // word 2
  } owner;
  alignas(16) unsigned char storage[64];
};
FakeGroup *g_fake;

void *FakeFree(QiraMemGroup *, void *block) {
  g_fake->freed.push_back(block);
  return nullptr;
}

TEST(MemFree, FollowsTheOwnerWordToAnyGroup) {
  FakeGroup fake{};
  g_fake = &fake;
  fake.g.free = FakeFree;
  fake.owner.group = &fake.g;
  void **word = reinterpret_cast<void **>(fake.storage);
  word[0] = &fake.owner;
  void *block = fake.storage + sizeof(void *);
  Mem_Free(block);
  ASSERT_EQ(fake.freed.size(), 1u);
  EXPECT_EQ(fake.freed[0], block);
}

void InOrder(const TNode *n, std::vector<const TNode *> *out) {
  if (!n) return;
  InOrder(n->link[0].node, out);
  out->push_back(n);
  InOrder(n->link[1].node, out);
}

// Every free block of every chunk is findable through the free tree: either
// its own node is in the tree, or it hangs on the same-size ring of the block
// whose node is; the tree holds one node per distinct size, in order, with
// every link counting its subtree.
void CheckFreeTree(QiraMemGroup *g) {
  std::vector<const TNode *> nodes;
  InOrder(g->freetree.root.node, &nodes);
  ASSERT_EQ(nodes.size(), g->freetree.root.count);
  std::map<uint32_t, const BlockHeader *> members;
  for (size_t i = 0; i < nodes.size(); ++i) {
    const TNode *n = nodes[i];
    const BlockHeader *b = reinterpret_cast<const BlockHeader *>(n->user);
    ASSERT_EQ(&reinterpret_cast<const FreeInfo *>(dataof(const_cast<BlockHeader *>(b)))->node, n);
    ASSERT_EQ(b->inuse, 0u);
    ASSERT_EQ(n->link[0].count + n->link[1].count + 1,
              n->parent ? n->parent->link[n->side].count : g->freetree.root.count);
    if (i > 0) {
      ASSERT_LT(reinterpret_cast<const BlockHeader *>(nodes[i - 1]->user)->size, b->size);
    }
    members[b->size] = b;
  }
  size_t freeblocks = 0, onrings = 0;
  for (QiraDNode *e = g->list.next; e != &g->list; e = e->next) {
    BlockHeader *first = firstblock(reinterpret_cast<ChunkHeader *>(e)), *b = first;
    do {
      if (!b->inuse) {
        ++freeblocks;
        const FreeInfo *fi = static_cast<const FreeInfo *>(dataof(b));
        auto m = members.find(b->size);
        ASSERT_NE(m, members.end()) << "free block of size " << b->size << " not in the tree";
        if (fi->intree) {
          ASSERT_EQ(m->second, b);
        } else {
          // Somewhere on the ring of the member of its size.
          const FreeInfo *mi = static_cast<const FreeInfo *>(dataof(const_cast<BlockHeader *>(m->second)));
          bool found = false;
          for (const QiraDNode *r = mi->samesize.next; r != &mi->samesize; r = r->next)
            found |= r == &fi->samesize;
          ASSERT_TRUE(found);
          ++onrings;
        }
      }
      b = reinterpret_cast<BlockHeader *>(b->links.next);
    } while (b != first);
  }
  ASSERT_EQ(freeblocks, members.size() + onrings);
}

// A group record made by the test, standing in for a host group: its blocks
// carry an owner word that leads to it, and it counts what it hands out.
struct HostLikeGroup {
  QiraMemGroup g{};
  int live = 0;
  bool refuse = false;
  struct Header {
    void *w0, *w1;
    QiraMemGroup *group;  // word 2, as the owner-word rule asks
    void *owner;          // the owner word, just before the block
  };
  static HostLikeGroup *of(QiraMemGroup *g) { return reinterpret_cast<HostLikeGroup *>(g); }
  static void *alloc(QiraMemGroup *g, uint32_t size, uint32_t *need) {
    if (of(g)->refuse) {
      *need = 0;
      return nullptr;
    }
    Header *h = static_cast<Header *>(std::malloc(sizeof(Header) + size));
    h->group = g;
    h->owner = h;
    ++of(g)->live;
    return h + 1;
  }
  static void *release(QiraMemGroup *g, void *block) {
    --of(g)->live;
    std::free(static_cast<Header *>(block) - 1);
    return nullptr;
  }
  static void *allocgrp(QiraMemGroup *g) {
    uint32_t need;
    return alloc(g, sizeof(QiraMemGroup), &need);
  }
  HostLikeGroup() {
    g.alloc = alloc;
    g.free = release;
    g.allocgrp = allocgrp;
  }
};
static_assert(offsetof(HostLikeGroup, g) == 0);

TEST(MemSmall, WorksUnderAGroupMadeElsewhere) {
  HostLikeGroup host;
  QiraMemGroup *g = nullptr;
  ASSERT_EQ(Mem_GroupGet(&host.g, QIRA_GROUP_SMALL, 4096, &g), QIRA_OK);
  EXPECT_EQ(host.live, 1);
  void *a = Mem_Alloc(g, 100);
  void *b = Mem_Alloc(g, 5000);
  ASSERT_TRUE(a && b);
  EXPECT_EQ(host.live, 3);  // the record and two chunks
  // The parent refuses: null, and what the group holds is untouched.
  host.refuse = true;
  EXPECT_EQ(Mem_Alloc(g, 8000), nullptr);
  EXPECT_EQ(ListLength(g), 2u);
  void *c = Mem_Alloc(g, 100);  // still fits the first chunk
  EXPECT_NE(c, nullptr);
  host.refuse = false;
  Mem_Free(b);
  EXPECT_EQ(host.live, 2);
  Mem_GroupFree(g);
  EXPECT_EQ(host.live, 0);
  QiraMemGroup *sentinel = &host.g;
  host.refuse = true;
  EXPECT_EQ(Mem_GroupGet(&host.g, QIRA_GROUP_SMALL, 4096, &sentinel), QIRA_ERR_NOMEM);
  EXPECT_EQ(sentinel, &host.g);
}

TEST(MemSmall, RandomWorkloadKeepsBlocksIntact) {
  const uint32_t seed = std::random_device{}();
  std::printf("memory model seed %u\n", seed);
  SCOPED_TRACE(seed);
  std::mt19937 rng(seed);
  HeapParent p;
  QiraMemGroup *g = Small(p.g, 16384);
  struct Live { uint32_t size; uint8_t fill; };
  std::map<uintptr_t, Live> live;
  auto check = [&](uintptr_t at, const Live &l) {
    const uint8_t *b = reinterpret_cast<const uint8_t *>(at);
    for (uint32_t i = 0; i < l.size; ++i)
      if (b[i] != l.fill) return false;
    return true;
  };
  for (int step = 0; step < 20000; ++step) {
    const bool alloc = live.empty() || rng() % 100 < (step < 10000 ? 60 : 35);
    if (alloc) {
      const uint32_t size = rng() % 8 == 0 ? rng() % 30000 : rng() % 500;
      uint8_t *b = static_cast<uint8_t *>(Mem_Alloc(g, size));
      ASSERT_NE(b, nullptr);
      const uintptr_t at = reinterpret_cast<uintptr_t>(b);
      ASSERT_EQ(at % kUnit, 0u);
      ASSERT_GE(Hdr(b)->size, size);
      // No overlap with any live block.
      auto next = live.lower_bound(at);
      if (next != live.end()) {
        ASSERT_LE(at + size, next->first);
      }
      if (next != live.begin()) {
        auto prev = std::prev(next);
        ASSERT_LE(prev->first + prev->second.size, at);
      }
      const Live l{size, uint8_t(rng())};
      std::memset(b, l.fill, size);
      live[at] = l;
    } else {
      auto it = live.begin();
      std::advance(it, rng() % live.size());
      ASSERT_TRUE(check(it->first, it->second)) << "block corrupted at step " << step;
      Mem_Free(reinterpret_cast<void *>(it->first));
      live.erase(it);
    }
    // Free bytes of every chunk agree with its blocks; the free tree finds
    // every free block.
    if (step % 250 == 0) {
      CheckFreeTree(g);
      if (HasFatalFailure()) return;
      for (QiraDNode *e = g->list.next; e != &g->list; e = e->next) {
        ChunkHeader *c = reinterpret_cast<ChunkHeader *>(e);
        uint32_t freebytes = 0, total = 0;
        BlockHeader *first = firstblock(c), *b = first;
        do {
          total += b->size + kBlockHeader;
          if (!b->inuse) freebytes += b->size + kBlockHeader;
          BlockHeader *n = reinterpret_cast<BlockHeader *>(b->links.next);
          if (n != first) {
            ASSERT_EQ(reinterpret_cast<char *>(n), static_cast<char *>(dataof(b)) + b->size);
          }
          b = n;
        } while (b != first);
        ASSERT_EQ(total, c->usable);
        ASSERT_EQ(freebytes, c->freebytes);
        ASSERT_LT(freebytes, c->usable);
      }
    }
  }
  for (auto &[at, l] : live) {
    ASSERT_TRUE(check(at, l));
    Mem_Free(reinterpret_cast<void *>(at));
  }
  EXPECT_EQ(ListLength(g), 0u);
  EXPECT_EQ(ListLength(p.g), 1u);
  EXPECT_EQ(g->freetree.root.count, 0u);
  Mem_GroupFree(g);
  EXPECT_EQ(ListLength(p.g), 0u);
}

TEST(MemHeap, ListHoldsExactlyTheLiveBlocks) {
  HeapParent p;
  void *a = Mem_Alloc(p.g, 10);
  void *b = Mem_Alloc(p.g, 3);
  ASSERT_TRUE(a && b);
  EXPECT_EQ(HeapBlockSize(b), roundup(3));
  EXPECT_EQ(ListLength(p.g), 2u);
  EXPECT_EQ(p.g->list.next, &static_cast<HeapHeader **>(b)[-1]->links);  // newest first
  Mem_Free(a);
  EXPECT_EQ(ListLength(p.g), 1u);
  void *o = Mem_Alloc(&os_group, 5);
  ASSERT_NE(o, nullptr);
  Mem_Free(o);
}

}  // namespace
