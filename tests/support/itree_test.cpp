// The weight-balanced tree against std::set and the shapes its rules give.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <set>
#include <vector>

#include "qira.h"

static void Walk(const TNode *n, const TNode *parent, uint32_t side, uint32_t count, uint32_t depth,
                 std::vector<uintptr_t> *inorder, uint32_t *maxdepth) {
  EXPECT_EQ(count, n ? n->link[0].count + n->link[1].count + 1 : 0);
  if (!n) return;
  EXPECT_TRUE(n->parent == parent && n->side == side) << "links of " << n->user;
  *maxdepth = std::max(*maxdepth, depth);
  Walk(n->link[0].node, n, 0, n->link[0].count, depth + 1, inorder, maxdepth);
  inorder->push_back(n->user);
  Walk(n->link[1].node, n, 1, n->link[1].count, depth + 1, inorder, maxdepth);
}

// Checks parent and side links and every count; returns the user values in order.
static std::vector<uintptr_t> CheckTree(const TTree &tree, uint32_t *depth) {
  std::vector<uintptr_t> inorder;
  *depth = 0;
  Walk(tree.root.node, nullptr, 2, tree.root.count, 1, &inorder, depth);
  return inorder;
}

// FNV-1a over every node in pre-order (key, counts, side, countdown; a marker
// for a missing child): where a node lands, which rotation runs or when a node
// is weighed changes the print.  The memory tests print their free tree too.
void PrintShape(const TNode *n, uint64_t *h, uint64_t (*key)(uintptr_t)) {
  const auto mix = [h](uint64_t v) {
    for (int i = 0; i < 8; ++i) *h = (*h ^ ((v >> (8 * i)) & 0xFF)) * 0x100000001B3ull;
  };
  if (!n) return mix(0xFFFFFFFFu);
  mix(key ? key(n->user) : n->user);
  mix(n->link[0].count);
  mix(n->link[1].count);
  mix(n->side);
  mix(uint32_t(n->countdown));
  PrintShape(n->link[0].node, h, key);
  PrintShape(n->link[1].node, h, key);
}

namespace {

// Plain pointer order through the tree's function pointer, not inline.
int32_t ViaPointer(uintptr_t a, uintptr_t b) { return Comp_ptrs(a, b); }

// Ascending insertion first (the worst order for balance), then random inserts,
// duplicates and removals drifting towards empty and full, checked against the
// model after each step.  Inline and through the pointer the shapes agree.
TEST(TTree, MatchesSetUnderSortedAndRandomChanges) {
  for (QiraCompFn comp : {QiraCompFn(nullptr), QiraCompFn(ViaPointer)}) {
    SCOPED_TRACE(comp ? "via pointer" : "inline");
    std::mt19937 rng(1);
    std::vector<TNode> nodes(1000);
    TTree tree;
    TTree_Init(&tree, comp);
    std::set<uint32_t> model;
    uint64_t h = 0xCBF29CE484222325ull;
    for (int step = -1000; step < 6000; ++step) {
      const uint32_t v = step < 0 ? uint32_t(step + 1000) : rng() % nodes.size();
      if (step < 0) TNode_Init(&nodes[v], v);
      const bool grow = step < 0 || ((step / 1500) % 2 == 1 ? rng() % 4 != 0 : rng() % 4 == 0);
      if (grow && !model.count(v)) {
        ASSERT_EQ(TTree_SearchAddNode(&tree, &nodes[v]), nullptr);  // again without TNode_Init
        model.insert(v);
      } else if (!grow && model.count(v)) {
        TTree_RemNode(&tree, &nodes[v]);
        EXPECT_TRUE(nodes[v].parent == nullptr && nodes[v].side == 2 && nodes[v].countdown == 4);
        EXPECT_TRUE(nodes[v].link[0].node == nullptr && nodes[v].link[1].node == nullptr);
        model.erase(v);
      } else if (model.count(v)) {
        TNode dup;
        TNode_Init(&dup, v);
        ASSERT_EQ(TTree_SearchAddNode(&tree, &dup), &nodes[v]);
      }
      const uint32_t probe = rng() % (nodes.size() + 2);
      EXPECT_EQ(TTree_Search(&tree, probe) != nullptr, model.count(probe) == 1);
      // The nearest key at or above, and at or below (an exported search nothing inside uses).
      const TNode *above = TTree_SearchNotExact(&tree, probe, 1), *below = TTree_SearchNotExact(&tree, probe, 0);
      auto up = model.lower_bound(probe), down = model.upper_bound(probe);
      EXPECT_EQ(above ? int64_t(above->user) : -1, up == model.end() ? -1 : int64_t(*up));
      EXPECT_EQ(below ? int64_t(below->user) : -1, down == model.begin() ? -1 : int64_t(*--down));
      uint32_t depth;
      const std::vector<uintptr_t> inorder = CheckTree(tree, &depth);
      EXPECT_TRUE(std::equal(inorder.begin(), inorder.end(), model.begin(), model.end()));
      // The weight limit keeps the depth a small multiple of log2(n) even
      // between the lazy checks.
      ASSERT_LE(depth, uint32_t(3 * std::log2(double(model.size() + 1))) + 4) << "step " << step;
      if (HasFailure()) return;
      PrintShape(tree.root.node, &h, nullptr);
    }
    EXPECT_EQ(h, 0xa38068b1dbc70296ull) << std::hex << "0x" << h;
    for (uint32_t v : model) TTree_RemNode(&tree, &nodes[v]);
    EXPECT_TRUE(tree.root.node == nullptr && tree.root.count == 0);
  }
}

}  // namespace
