// Weight-balanced ordered tree of intrusive TNodes.
//
// Every link carries the node count of its subtree.  Balance is checked
// lazily: each change below a node counts its countdown down, and only a node
// whose countdown has run out is weighed (heavier side at most twice the
// lighter plus 4).  A node well inside the limit is re-armed with a longer
// countdown, so most updates walk to the root without rotating anything.
#include "support/itree.h"

using namespace qira_tree;

namespace {

constexpr int32_t kFreshCountdown = 4;
constexpr int32_t kRootCountdown = 8;  // a subtree root that just rotated
constexpr uint32_t kMaxRearm = 0xFFFFF;  // countdowns stop growing at 2^20

// The link that holds n: its parent's, or the tree's root link.
TLink *linkto(TTree *tree, TNode *n) {
  return n->parent ? &n->parent->link[n->side] : &tree->root;
}

// Puts a subtree (possibly empty) on one side of p.
void hang(TNode *p, uint32_t side, TLink sub) {
  p->link[side] = sub;
  if (sub.node) {
    sub.node->parent = p;
    sub.node->side = side;
  }
}

uint32_t weight(const TNode *n) { return n->link[0].count + n->link[1].count + 1; }

// The two comparators the library itself provides are compared inline: an
// indirect call per level is a large part of a descent.
struct PtrOrder {
  int32_t operator()(uintptr_t a, uintptr_t b) const { return a > b ? 1 : (a < b ? -1 : 0); }
};
constexpr PtrOrder ptrorder{};

// Comp_ramdescs compared inline for ranges of exact lengths (a directory's
// entries are keyed by the four bytes of their index): byte by byte as
// unsigned values, then the shorter first.  Empty and zero-terminated ranges
// go to Comp_ramdescs itself, which alone knows their rules.
constexpr uint32_t kTerminatedRange = 0xFFFFFFFFu;
struct RamOrder {
  int32_t operator()(uintptr_t a, uintptr_t b) const {
    const auto *da = reinterpret_cast<const QiraRamDesc *>(a);
    const auto *db = reinterpret_cast<const QiraRamDesc *>(b);
    const uint32_t alen = da->len, blen = db->len;
    if (alen == 0 || blen == 0 || alen == kTerminatedRange || blen == kTerminatedRange)
      return Comp_ramdescs(a, b);
    const auto *pa = static_cast<const uint8_t *>(da->ptr);
    const auto *pb = static_cast<const uint8_t *>(db->ptr);
    if (alen == 4 && blen == 4) {
      // Four bytes in memory order are one number read most significant
      // byte first.
      const uint32_t x = uint32_t(pa[0]) << 24 | uint32_t(pa[1]) << 16 | uint32_t(pa[2]) << 8 | pa[3];
      const uint32_t y = uint32_t(pb[0]) << 24 | uint32_t(pb[1]) << 16 | uint32_t(pb[2]) << 8 | pb[3];
      return x > y ? 1 : (x < y ? -1 : 0);
    }
    const uint32_t n = alen < blen ? alen : blen;
    for (uint32_t i = 0; i < n; ++i)
      if (pa[i] != pb[i]) return pa[i] > pb[i] ? 1 : -1;
    return alen > blen ? 1 : (alen < blen ? -1 : 0);
  }
};
constexpr RamOrder ramorder{};

TNode *getclosest(const TTree *tree, uintptr_t key, uint32_t *side) {
  if (tree->comp == Comp_ptrs) return descend(tree, key, side, ptrorder);
  if (tree->comp == Comp_ramdescs) return descend(tree, key, side, ramorder);
  return descend(tree, key, side, tree->comp);
}

TNode *extremenode(TNode *n, uint32_t side) {
  while (n->link[side].node) n = n->link[side].node;
  return n;
}

// Rotation around n towards its lighter side o; c is the heavy child on side h.
// The new subtree root takes over n's place with n's link count unchanged.
TNode *rotate(TTree *tree, TNode *n, uint32_t h, bool twice) {
  const uint32_t o = 1 - h;
  TNode *c = n->link[h].node;
  TLink *up = linkto(tree, n);
  TNode *parent = n->parent;
  const uint32_t side = n->side;
  TNode *r;
  if (!twice) {
    r = c;
    hang(n, h, c->link[o]);
    hang(r, o, TLink{n, weight(n)});
    r->link[h].count = weight(c->link[h].node);
  } else {
    r = c->link[o].node;
    hang(c, o, r->link[h]);
    hang(n, h, r->link[o]);
    hang(r, h, TLink{c, weight(c)});
    hang(r, o, TLink{n, weight(n)});
  }
  up->node = r;
  r->parent = parent;
  r->side = side;
  r->link[0].node->countdown = kFreshCountdown;
  r->link[1].node->countdown = kFreshCountdown;
  r->countdown = kRootCountdown;
  return r;
}

// Weighs n; rotates when its heavy side is past the limit.  Returns the root
// of n's subtree afterwards.
TNode *balancenode(TTree *tree, TNode *n) {
  const uint32_t h = n->link[0].count > n->link[1].count ? kLeft : kRight;
  const uint32_t big = n->link[h].count;
  const uint32_t limit = 2 * n->link[1 - h].count + 4;
  if (big <= limit) {
    // The more room left, the longer until the next look.
    uint32_t p = 4;
    while (p <= kMaxRearm && 2 * p < limit - big) p *= 2;
    n->countdown = int32_t(p);
    return n;
  }
  const TNode *c = n->link[h].node;
  const uint32_t lean = c->link[0].count > c->link[1].count ? kLeft : kRight;
  return rotate(tree, n, h, lean != h);
}

// Walks from n to the root: each node counts down and, when its countdown has
// run out, is weighed; then the link that holds it changes by delta (the node
// count below it moved by one).  Parent and side are noted first, since a
// rotation may move n below its replacement, which takes over that link.
void testforbalance(TTree *tree, TNode *n, int32_t delta) {
  while (n) {
    TNode *parent = n->parent;
    const uint32_t side = n->side;
    if (n->countdown-- <= 0) balancenode(tree, n);
    TLink *up = parent ? &parent->link[side] : &tree->root;
    up->count += uint32_t(delta);
    n = parent;
  }
}

// Gives a node with two children at most one, by hanging its lighter subtree
// (the right one on a tie) below the extreme node of the other.
void mergechildren(TTree *tree, TNode *n) {
  const uint32_t s = n->link[0].count >= n->link[1].count ? kRight : kLeft;
  const uint32_t o = 1 - s;
  const TLink m = n->link[s];
  n->link[s] = TLink{nullptr, 0};
  n->link[o].count += m.count;
  TNode *x = n->link[o].node;
  while (x->link[s].node) {
    x->link[s].count += m.count;
    x = x->link[s].node;
  }
  hang(x, s, m);
  // The path just grew by a whole subtree: weigh every node on it now.
  for (TNode *y = x; y != n;) {
    TNode *parent = y->parent;
    balancenode(tree, y);
    y = parent;
  }
}

}  // namespace

namespace qira_tree {

TNode *neighbournode(TNode *n, uint32_t s) {
  if (n->link[s].node) return extremenode(n->link[s].node, 1 - s);
  while (n->parent && n->side == s) n = n->parent;
  return n->parent;
}

void replacenode(TTree *tree, TNode *old, TNode *repl) {
  repl->link[0] = old->link[0];
  repl->link[1] = old->link[1];
  repl->parent = old->parent;
  repl->side = old->side;
  repl->countdown = old->countdown;
  linkto(tree, old)->node = repl;
  for (const TLink &l : repl->link)
    if (l.node) l.node->parent = repl;
}

void attach(TTree *tree, TNode *node, TNode *p, uint32_t s) {
  hang(p, s, TLink{node, 1});
  // Counts on the path and the countdowns change in one walk: a node is
  // weighed only after the link to the new node's side has been counted.
  testforbalance(tree, p, 1);
}

}  // namespace qira_tree

extern "C" {

QIRA_API void TLink_Init(TLink *link) {
  link->node = nullptr;
  link->count = 0;
}

QIRA_API void TNode_Init(TNode *node, uintptr_t user) {
  TLink_Init(&node->link[0]);
  TLink_Init(&node->link[1]);
  node->parent = nullptr;
  node->side = kNoSide;
  node->countdown = kFreshCountdown;
  node->user = user;
}

QIRA_API uintptr_t TNode_UserValue(const TNode *node) { return node->user; }

QIRA_API void TTree_Init(TTree *tree, QiraCompFn comp) {
  TLink_Init(&tree->root);
  tree->comp = comp ? comp : Comp_ptrs;
}

QIRA_API TNode *TTree_Search(const TTree *tree, uintptr_t key) {
  uint32_t side = kNoSide;
  TNode *n = getclosest(tree, key, &side);
  return n && side == kNoSide ? n : nullptr;
}

QIRA_API TNode *TTree_SearchNotExact(const TTree *tree, uintptr_t key, uint32_t side) {
  if (tree->comp == Comp_ptrs) return searchnotexact(tree, key, side, ptrorder);
  if (tree->comp == Comp_ramdescs) return searchnotexact(tree, key, side, ramorder);
  return searchnotexact(tree, key, side, tree->comp);
}

QIRA_API TNode *TTree_SearchAddNode(TTree *tree, TNode *node) {
  if (tree->comp == Comp_ptrs) return searchadd(tree, node, ptrorder);
  if (tree->comp == Comp_ramdescs) return searchadd(tree, node, ramorder);
  return searchadd(tree, node, tree->comp);
}

QIRA_API void TTree_RemNode(TTree *tree, TNode *node) {
  if (node->link[0].node && node->link[1].node) mergechildren(tree, node);
  const TLink child = node->link[0].node ? node->link[0] : node->link[1];
  TNode *p = node->parent;
  if (p) p->link[node->side] = child;
  else tree->root.node = child.node;
  if (child.node) {
    child.node->parent = p;
    child.node->side = node->side;
  }
  TLink_Init(&node->link[0]);
  TLink_Init(&node->link[1]);
  // p's own link was replaced whole; the links above it lose one node.
  if (p) {
    testforbalance(tree, p, -1);
    node->parent = nullptr;
    node->side = kNoSide;
  } else {
    tree->root.count--;
  }
  node->countdown = kFreshCountdown;
}

}  // extern "C"
