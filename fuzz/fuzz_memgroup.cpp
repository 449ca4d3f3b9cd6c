// Memory groups driven by an operation stream against a model of the live
// blocks.  Three groups: a heap group under os_group, a small-block group
// under it, and a small-block group whose chunks are blocks of the first
// (so a request climbs two levels).  Chunk sizes come from the input.
//
// Checked: every live block keeps the bytes written into it and overlaps no
// other; the owner word leads to the group that handed the block out; each
// chunk's blocks tile it exactly, with free bytes, merged neighbours and the
// free tree agreeing; a chunk whose blocks are all free is given back at
// once; releasing a group returns all its chunks; nothing leaks (LeakSanitizer).
#include <algorithm>
#include <set>
#include <vector>

#include "fuzz/fuzzutil.h"
#include "support/imem.h"

using namespace qira_mem;

namespace {

struct Live {
  uint8_t *p;
  uint32_t size;
  int group;  // 0 heap, 1 small, 2 nested small
  uint8_t fill;
};

struct World {
  QiraMemGroup *heap = nullptr;
  QiraMemGroup *small = nullptr;
  QiraMemGroup *nested = nullptr;
  std::vector<Live> live;
  QiraMemGroup *group(int i) const { return i == 0 ? heap : i == 1 ? small : nested; }
};

size_t listlength(const QiraMemGroup *g) {
  size_t n = 0;
  for (const QiraDNode *e = g->list.next; e != &g->list; e = e->next) ++n;
  return n;
}

// Walks the free tree, collecting the block of every node and of every block
// hanging on a node's same-size ring.
void collectfree(const TNode *n, std::set<const BlockHeader *> *out) {
  if (!n) return;
  collectfree(n->link[0].node, out);
  collectfree(n->link[1].node, out);
  const auto *b = reinterpret_cast<const BlockHeader *>(n->user);
  const auto *info = static_cast<const FreeInfo *>(dataof(const_cast<BlockHeader *>(b)));
  FUZZ_CHECK(&info->node == n);
  FUZZ_CHECK(b->inuse == 0 && info->intree == 1);
  FUZZ_CHECK(out->insert(b).second);
  for (const QiraDNode *r = info->samesize.next; r != &info->samesize; r = r->next) {
    const auto *other = reinterpret_cast<const BlockHeader *>(
        reinterpret_cast<const char *>(r) - offsetof(FreeInfo, samesize) - kBlockHeader);
    const auto *oinfo = static_cast<const FreeInfo *>(dataof(const_cast<BlockHeader *>(other)));
    FUZZ_CHECK(other->inuse == 0 && oinfo->intree == 0 && other->size == b->size);
    FUZZ_CHECK(out->insert(other).second);
  }
}

// The layout of every chunk of a small-block group.
void checksmall(const QiraMemGroup *g) {
  std::set<const BlockHeader *> intree;
  collectfree(g->freetree.root.node, &intree);
  size_t freeblocks = 0;
  for (QiraDNode *e = g->list.next; e != &g->list; e = e->next) {
    auto *c = reinterpret_cast<ChunkHeader *>(e);
    FUZZ_CHECK(c->group == g);
    BlockHeader *first = firstblock(c);
    BlockHeader *b = first;
    uint32_t tiled = 0, freebytes = 0;
    bool prevfree = false, anyinuse = false;
    do {
      FUZZ_CHECK(b->chunk == c);
      FUZZ_CHECK(b->size % kUnit == 0 && b->size >= kMinBlock);
      FUZZ_CHECK(reinterpret_cast<char *>(b) == reinterpret_cast<char *>(first) + tiled);
      tiled += b->size + kBlockHeader;
      FUZZ_CHECK(tiled <= c->usable);
      if (b->inuse) {
        FUZZ_CHECK(b->inuse == 1);
        anyinuse = true;
        prevfree = false;
      } else {
        FUZZ_CHECK(!prevfree);  // two free neighbours are always merged
        FUZZ_CHECK(intree.count(b) == 1);
        freebytes += b->size + kBlockHeader;
        ++freeblocks;
        prevfree = true;
      }
      FUZZ_CHECK(static_cast<BlockHeader *>(static_cast<void *>(b->links.next))->links.prev ==
                 &b->links);
      b = reinterpret_cast<BlockHeader *>(b->links.next);
    } while (b != first);
    FUZZ_CHECK(tiled == c->usable);
    FUZZ_CHECK(freebytes == c->freebytes);
    FUZZ_CHECK(anyinuse);  // a wholly free chunk goes back to the parent at once
  }
  FUZZ_CHECK(freeblocks == intree.size());
}

void checkall(const World &w) {
  std::vector<std::pair<uintptr_t, uintptr_t>> spans;
  for (const Live &l : w.live) {
    for (uint32_t i = 0; i < l.size; ++i) FUZZ_CHECK(l.p[i] == l.fill);
    spans.emplace_back(uintptr_t(l.p), uintptr_t(l.p) + l.size);
    void *owner = reinterpret_cast<void **>(l.p)[-1];
    FUZZ_CHECK(static_cast<QiraMemGroup **>(owner)[2] == w.group(l.group));
    FUZZ_CHECK(uintptr_t(l.p) % kUnit == 0);
  }
  std::sort(spans.begin(), spans.end());
  for (size_t i = 1; i < spans.size(); ++i) FUZZ_CHECK(spans[i - 1].second <= spans[i].first);
  checksmall(w.small);
  checksmall(w.nested);
}

uint32_t chunksize(fz::Reader &in) { return in.u16() % 33000; }

void newnested(World &w, uint32_t chunk) {
  FUZZ_CHECK(Mem_GroupGet(w.small, QIRA_GROUP_SMALL, chunk, &w.nested) == QIRA_OK);
}

uint32_t requestsize(fz::Reader &in) {
  const uint8_t kind = in.u8();
  if (kind < 200) return in.u8();                    // small blocks, most of the traffic
  if (kind < 250) return in.u16() % 4096;
  return in.u16() + (uint32_t(in.u8() & 1) << 16);  // beyond a chunk
}

void freeone(World &w, size_t at) {
  Mem_Free(w.live[at].p);
  w.live[at] = w.live.back();
  w.live.pop_back();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fz::Reader in(data, size);
  World w;
  FUZZ_CHECK(Mem_GroupGet(nullptr, QIRA_GROUP_HEAP, 0, &w.heap) == QIRA_OK);
  FUZZ_CHECK(Mem_GroupGet(w.heap, QIRA_GROUP_SMALL, chunksize(in), &w.small) == QIRA_OK);
  newnested(w, chunksize(in));
  uint8_t fill = 1;

  for (int ops = 0; !in.empty() && ops < 4000; ++ops) {
    const uint8_t op = in.u8() % 12;
    if (op <= 5) {  // allocate, from the small groups mostly
      const int grp = op <= 2 ? 1 : op <= 4 ? 2 : 0;
      const uint32_t n = requestsize(in);
      auto *p = static_cast<uint8_t *>(Mem_Alloc(w.group(grp), n));
      FUZZ_CHECK(p != nullptr);
      if (grp != 0) FUZZ_CHECK(blockof(p)->size >= std::max(n, kMinBlock));
      memset(p, fill, n);
      w.live.push_back(Live{p, n, grp, fill});
      fill = uint8_t(fill % 251 + 1);
    } else if (op <= 8) {
      if (!w.live.empty()) freeone(w, in.u16() % w.live.size());
    } else if (op == 9) {
      checkall(w);
    } else if (op == 10) {
      // Release the nested group with whatever it holds: its chunks go back
      // to the small group and the record with them.
      Mem_GroupFree(w.nested);
      w.live.erase(std::remove_if(w.live.begin(), w.live.end(),
                                  [](const Live &l) { return l.group == 2; }),
                   w.live.end());
      newnested(w, chunksize(in));
      checkall(w);
    } else {
      // Requests beyond the limit fail without touching the group.
      const size_t chunks = listlength(w.small);
      FUZZ_CHECK(Mem_Alloc(w.small, 0x40000001u + in.u8()) == nullptr);
      FUZZ_CHECK(listlength(w.small) == chunks);
    }
  }
  checkall(w);

  // Freeing every block gives every chunk back.
  while (!w.live.empty()) freeone(w, in.u16() % w.live.size());
  FUZZ_CHECK(listlength(w.nested) == 0 && w.nested->freetree.root.node == nullptr);
  Mem_GroupFree(w.nested);
  FUZZ_CHECK(listlength(w.small) == 0 && w.small->freetree.root.node == nullptr);
  Mem_GroupFree(w.small);
  FUZZ_CHECK(listlength(w.heap) == 0);
  Mem_GroupFree(w.heap);
  return 0;
}
