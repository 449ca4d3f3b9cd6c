// Memory groups: os_group (malloc), heap groups (kind 1) and small-block
// groups (kind 2), all driven through the seven-entry operation table at the
// front of the group record, which the host's own groups share.
//
// Map: operations shared by all kinds; os_group and heap groups; small-block
// groups (free tree, alloc, free, newchunk); the exported calls.
#include "support/imem.h"
#include "support/itree.h"

#include <stdlib.h>

using namespace qira_mem;

namespace {

// The owner word is the pointer-sized word just before every block; the
// record it points at has the owning group at word 2.
QiraMemGroup *ownerof(void *block) {
  void *owner = static_cast<void **>(block)[-1];
  return static_cast<QiraMemGroup **>(owner)[2];
}

// ---- operations every kind shares ------------------------------------------

void *memgen_allocgrp(QiraMemGroup *g) { return Mem_Alloc(g, sizeof(QiraMemGroup)); }
void *memerr_allocitem() { return nullptr; }
void memgen_reset(QiraMemGroup *, void *block, uint16_t) { Mem_Free(block); }
void memnull_newchunk(QiraMemGroup *, void *, uint32_t) {}

// ---- os_group and heap groups ----------------------------------------------

HeapHeader *heapalloc(QiraMemGroup *g, uint32_t n, uint32_t *need) {
  HeapHeader *h = static_cast<HeapHeader *>(malloc(size_t(n) + kHeapHeader));
  if (!h) {
    *need = 0;  // nobody above the C library can help
    return nullptr;
  }
  h->group = g;
  h->size = n;
  h->zero = 0;
  h->self = h;
  return h;
}

void *memos_alloc(QiraMemGroup *g, uint32_t n, uint32_t *need) {
  HeapHeader *h = heapalloc(g, n, need);
  if (!h) return nullptr;
  DNode_Init(&h->links);  // os_group keeps no list
  return h + 1;
}

void *memos_alloc_freeable(QiraMemGroup *g, uint32_t n, uint32_t *need) {
  HeapHeader *h = heapalloc(g, n, need);
  if (!h) return nullptr;
  DNode_AddAfter(&h->links, &g->list);
  return h + 1;
}

HeapHeader *heapheaderof(void *block) { return static_cast<HeapHeader **>(block)[-1]; }

void *memos_free(QiraMemGroup *, void *block) {
  free(heapheaderof(block));
  return nullptr;
}

void *memos_free_freeable(QiraMemGroup *, void *block) {
  HeapHeader *h = heapheaderof(block);
  DNode_Remove(&h->links);
  free(h);
  return nullptr;
}

// The list element of a heap group is the header of a live block.
void memos_gen_freechunk(void *element) { free(element); }

// ---- small-block groups ----------------------------------------------------

FreeInfo *infoof(BlockHeader *b) { return static_cast<FreeInfo *>(dataof(b)); }

BlockHeader *ringblock(QiraDNode *samesize) {
  char *info = reinterpret_cast<char *>(samesize) - offsetof(FreeInfo, samesize);
  return blockof(info);
}

int32_t sizeorder(uint32_t a, uint32_t b) { return a > b ? 1 : (a < b ? -1 : 0); }

// The free tree's comparator: the size words of two block headers.
int32_t memsmall_compare(uintptr_t key, uintptr_t value) {
  return sizeorder(reinterpret_cast<const BlockHeader *>(key)->size,
                   reinterpret_cast<const BlockHeader *>(value)->size);
}

// A small-block group's tree always orders by memsmall_compare; its own
// descents compare inline rather than through the tree's function pointer.
struct BlockOrder {
  int32_t operator()(uintptr_t key, uintptr_t value) const {
    return memsmall_compare(key, value);
  }
};

TNode *insertfree(TTree *tree, TNode *node) {
  return qira_tree::searchadd(tree, node, BlockOrder{});
}

TNode *bestfit(TTree *tree, const BlockHeader *key) {
  return qira_tree::searchnotexact(tree, reinterpret_cast<uintptr_t>(key), 1, BlockOrder{});
}

// One tree node per distinct size; later blocks of a size hang on the ring of
// the block in the tree, directly after it, so the newest is reused first.
void addfree(QiraMemGroup *g, BlockHeader *b) {
  FreeInfo *fi = infoof(b);
  TNode_Init(&fi->node, reinterpret_cast<uintptr_t>(b));
  TNode *existing = insertfree(&g->freetree, &fi->node);
  if (existing) {
    FreeInfo *holder = infoof(reinterpret_cast<BlockHeader *>(existing->user));
    DNode_AddAfter(&fi->samesize, &holder->samesize);
    fi->intree = 0;
  } else {
    DNode_Init(&fi->samesize);
    fi->intree = 1;
  }
}

void takefree(QiraMemGroup *g, BlockHeader *b) {
  FreeInfo *fi = infoof(b);
  if (!fi->intree) {
    DNode_Remove(&fi->samesize);
    return;
  }
  if (fi->samesize.next == &fi->samesize) {
    TTree_RemNode(&g->freetree, &fi->node);
    return;
  }
  // The size stays in the tree through the next block on the ring, whose
  // node takes this one's place: same size, same position.
  BlockHeader *heir = ringblock(fi->samesize.next);
  DNode_Remove(&fi->samesize);
  FreeInfo *hi = infoof(heir);
  TNode_Init(&hi->node, reinterpret_cast<uintptr_t>(heir));
  qira_tree::replacenode(&g->freetree, &fi->node, &hi->node);
  hi->intree = 1;
}

// The block after the first s usable bytes of b, made free and given b's
// chunk; not yet in the tree.
BlockHeader *splitoff(BlockHeader *b, uint32_t s) {
  BlockHeader *rest = reinterpret_cast<BlockHeader *>(static_cast<char *>(dataof(b)) + s);
  rest->size = b->size - s - kBlockHeader;
  rest->inuse = 0;
  rest->pad = 0;
  rest->chunk = b->chunk;
  DNode_AddAfter(&rest->links, &b->links);
  b->size = s;
  return rest;
}

void *memsmall_alloc(QiraMemGroup *g, uint32_t n, uint32_t *need) {
  const uint32_t s = n > kMinBlock ? n : kMinBlock;
  BlockHeader key{};
  key.size = s;
  TNode *t = bestfit(&g->freetree, &key);
  if (!t) {
    const uint32_t min = roundup(g->chunksize);
    *need = s + kChunkOverhead > min ? s + kChunkOverhead : min;
    return nullptr;
  }
  BlockHeader *b = reinterpret_cast<BlockHeader *>(t->user);
  // The block freed most recently of that size goes first: it follows the
  // tree member on the same-size ring.
  FreeInfo *fi = infoof(b);
  if (fi->samesize.next != &fi->samesize) b = ringblock(fi->samesize.next);
  takefree(g, b);
  b->inuse = 1;
  if (b->size >= s + kSplitExtra) addfree(g, splitoff(b, s));
  b->chunk->freebytes -= b->size + kBlockHeader;
  return dataof(b);
}

// Merges with the free neighbours, the one before first; the ring is in
// address order, and the first block's predecessor is the chunk's last
// block, not a neighbour.  A chunk left wholly free goes back to the parent.
void *memsmall_free(QiraMemGroup *g, void *block) {
  BlockHeader *b = blockof(block);
  ChunkHeader *c = b->chunk;
  BlockHeader *first = firstblock(c);
  c->freebytes += b->size + kBlockHeader;
  if (b != first) {
    BlockHeader *prev = reinterpret_cast<BlockHeader *>(b->links.prev);
    if (!prev->inuse) {
      takefree(g, prev);
      prev->size += b->size + kBlockHeader;
      DNode_Remove(&b->links);
      b = prev;
    }
  }
  BlockHeader *next = reinterpret_cast<BlockHeader *>(b->links.next);
  if (next != first && !next->inuse) {
    takefree(g, next);
    b->size += next->size + kBlockHeader;
    DNode_Remove(&next->links);
  }
  if (c->freebytes == c->usable) {
    DNode_Remove(&c->links);
    return c;
  }
  b->inuse = 0;
  addfree(g, b);
  return nullptr;
}

void memsmall_newchunk(QiraMemGroup *g, void *chunk, uint32_t size) {
  ChunkHeader *c = static_cast<ChunkHeader *>(chunk);
  DNode_AddBefore(&c->links, &g->list);
  c->group = g;
  c->usable = size - kChunkHeader;
  c->freebytes = c->usable;
  BlockHeader *b = firstblock(c);
  DNode_Init(&b->links);
  b->size = c->usable - kBlockHeader;
  b->inuse = 0;
  b->pad = 0;
  b->chunk = c;
  addfree(g, b);
}

// A chunk is a block of the parent group.
void memgen_freechunk(void *element) { Mem_Free(element); }

// ---- operation tables ------------------------------------------------------

void setops(QiraMemGroup *g, uint32_t kind) {
  g->allocgrp = memgen_allocgrp;
  g->allocitem = memerr_allocitem;
  g->reset = memgen_reset;
  if (kind == QIRA_GROUP_HEAP) {
    g->alloc = memos_alloc_freeable;
    g->free = memos_free_freeable;
    g->newchunk = memnull_newchunk;
    g->freechunk = memos_gen_freechunk;
  } else {
    g->alloc = memsmall_alloc;
    g->free = memsmall_free;
    g->newchunk = memsmall_newchunk;
    g->freechunk = memgen_freechunk;
  }
}

}  // namespace

namespace qira_mem {

constinit QiraMemGroup os_group = {
    .allocgrp = memgen_allocgrp,
    .allocitem = memerr_allocitem,
    .alloc = memos_alloc,
    .free = memos_free,
    .reset = memgen_reset,
    .newchunk = memnull_newchunk,
    .freechunk = memos_gen_freechunk,
    .parent = nullptr,
    .list = {nullptr, nullptr},
    .chunksize = 0,
    .walklink = nullptr,
    .walksize = 0,
    .freetree = {{nullptr, 0}, nullptr},
};

}  // namespace qira_mem

extern "C" {

QIRA_API uint32_t Mem_GroupGet(QiraMemGroup *parent, uint32_t kind, uint32_t chunksize,
                               QiraMemGroup **out) {
  if (chunksize > kMaxRequest) return QIRA_ERR_GROUPSIZE;
  if ((kind == QIRA_GROUP_HEAP && parent) || (kind != QIRA_GROUP_HEAP && kind != QIRA_GROUP_SMALL))
    return QIRA_ERR_GROUPKIND;
  if (!parent) parent = &os_group;
  QiraMemGroup *g = static_cast<QiraMemGroup *>(parent->allocgrp(parent));
  if (!g) return QIRA_ERR_NOMEM;
  setops(g, kind);
  g->parent = parent;
  DNode_Init(&g->list);
  g->chunksize = chunksize;
  g->walklink = nullptr;
  g->walksize = 0;
  if (kind == QIRA_GROUP_SMALL) TTree_Init(&g->freetree, memsmall_compare);
  else TTree_Init(&g->freetree, nullptr);
  if (out) *out = g;
  return QIRA_OK;
}

QIRA_API void *Mem_Alloc(QiraMemGroup *g, uint32_t size) {
  if (!g || size > kMaxRequest) return nullptr;
  const uint32_t n = roundup(size);
  uint32_t need = 0;
  void *block = g->alloc(g, n, &need);
  // Climb: each level that cannot serve asks its parent for a chunk, noting
  // who asked it and for what so the way down can be retraced.
  QiraMemGroup *cur = g;
  QiraMemGroup *below = nullptr;
  uint32_t asked = n;
  while (!block && cur->parent && need != 0) {
    cur->walklink = below;
    cur->walksize = asked;
    below = cur;
    asked = need;
    cur = cur->parent;
    block = cur->alloc(cur, need, &need);
  }
  // Descend: every level takes the block from above as a new chunk and
  // retries its own request.
  while (block && cur != g) {
    QiraMemGroup *b = below;
    b->newchunk(b, block, asked);
    asked = b->walksize;
    block = b->alloc(b, asked, &need);
    below = b->walklink;
    cur = b;
  }
  return block;
}

QIRA_API void Mem_Free(void *block) {
  // A free may give up the chunk the block lived in, and that chunk its own.
  while (block) {
    QiraMemGroup *g = ownerof(block);
    block = g->free(g, block);
  }
}

QIRA_API void Mem_GroupFree(QiraMemGroup *g) {
  if (!g) return;
  QiraDNode *head = &g->list;
  for (QiraDNode *e = head->next; e != head;) {
    QiraDNode *next = e->next;
    g->freechunk(e);
    e = next;
  }
  Mem_Free(g);
}

}  // extern "C"
