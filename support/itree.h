// The tree's descent and insertion as templates over the comparator, so a
// user whose order is known here (the memory manager's free-block sizes, the
// default pointer order) compares inline instead of through the tree's
// function pointer.  Results are exactly those of the exported calls.
#pragma once

#include "qira.h"

namespace qira_tree {

// Sides of a link and of TNode::side; kNoSide marks a root, a detached node
// and, from descend, an exact match.
inline constexpr uint32_t kLeft = 0;
inline constexpr uint32_t kRight = 1;
inline constexpr uint32_t kNoSide = 2;

// Descends to the node equal to key (side 2) or to the node under which key
// would hang, on the side returned.  Null only for an empty tree.
template <class Compare>
TNode *descend(const TTree *tree, uintptr_t key, uint32_t *side, Compare comp) {
  TNode *n = tree->root.node;
  while (n) {
    const int32_t c = comp(key, n->user);
    if (c == 0) {
      *side = kNoSide;
      return n;
    }
    const uint32_t s = c > 0 ? kRight : kLeft;
    if (!n->link[s].node) {
      *side = s;
      return n;
    }
    n = n->link[s].node;
  }
  return nullptr;
}

// In-order neighbour of n towards side s, or null.
TNode *neighbournode(TNode *n, uint32_t s);
// Puts repl exactly where old is (links, counts, parent, countdown); the
// caller guarantees repl's user value sorts where old's did.  old is left as
// it was and no longer belongs to the tree.
void replacenode(TTree *tree, TNode *old, TNode *repl);
// Hangs a prepared node on side s of p, counts it on the path and runs the
// balance walk.
void attach(TTree *tree, TNode *node, TNode *p, uint32_t s);

// TTree_SearchNotExact over comp: the node equal to key, else its nearest
// neighbour below (side 0) or above (any other side), or null.
template <class Compare>
TNode *searchnotexact(const TTree *tree, uintptr_t key, uint32_t side, Compare comp) {
  uint32_t found = kNoSide;
  TNode *n = descend(tree, key, &found, comp);
  if (!n || found == kNoSide) return n;
  const uint32_t s = side == kLeft ? kLeft : kRight;
  // Ended beyond n on the requested side: the answer is n's neighbour there.
  return found == s ? neighbournode(n, s) : n;
}

// TTree_SearchAddNode over comp: null once node is in, or the equal node
// already there (then nothing changes).
template <class Compare>
TNode *searchadd(TTree *tree, TNode *node, Compare comp) {
  if (!tree->root.node) {
    tree->root = TLink{node, 1};
    return nullptr;
  }
  uint32_t side = kNoSide;
  TNode *p = descend(tree, node->user, &side, comp);
  if (side == kNoSide) return p;
  attach(tree, node, p, side);
  return nullptr;
}

}  // namespace qira_tree
