// The weight-balanced tree against std::set, plus the fixed cases.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <set>
#include <vector>

#include "qira.h"

namespace {

struct Item {
  TNode node;
};

uintptr_t key(uint32_t v) { return uintptr_t(v); }

// Walks the whole tree checking parent and side links, counts and order;
// returns the depth (0 for an empty tree).
uint32_t CheckSubtree(const TTree &tree, const TNode *n, const TNode *parent, uint32_t side,
                      uint32_t count, std::vector<uintptr_t> *inorder) {
  if (!n) {
    EXPECT_EQ(count, 0u);
    return 0;
  }
  EXPECT_EQ(n->parent, parent);
  EXPECT_EQ(n->side, side);
  const uint32_t below = n->link[0].count + n->link[1].count + 1;
  EXPECT_EQ(count, below) << "link count of the subtree at " << n->user;
  const uint32_t dl = CheckSubtree(tree, n->link[0].node, n, 0, n->link[0].count, inorder);
  inorder->push_back(n->user);
  const uint32_t dr = CheckSubtree(tree, n->link[1].node, n, 1, n->link[1].count, inorder);
  return std::max(dl, dr) + 1;
}

uint32_t CheckTree(const TTree &tree, const std::set<uint32_t> &model) {
  std::vector<uintptr_t> inorder;
  const uint32_t depth = CheckSubtree(tree, tree.root.node, nullptr, 2, tree.root.count, &inorder);
  EXPECT_EQ(tree.root.count, model.size());
  EXPECT_TRUE(std::equal(inorder.begin(), inorder.end(), model.begin(), model.end()));
  return depth;
}

// The weight limit keeps the depth within a small multiple of log2(n) even
// between the lazy checks.
uint32_t DepthBound(size_t n) { return n < 2 ? 1 : uint32_t(3 * std::log2(double(n))) + 4; }

TEST(TTree, MatchesSetUnderRandomInsertsAndRemovals) {
  const uint32_t seed = std::random_device{}();
  std::printf("TTree model seed %u\n", seed);
  SCOPED_TRACE(seed);
  std::mt19937 rng(seed);
  std::vector<Item> items(600);
  std::vector<bool> in(items.size());
  TTree tree;
  TTree_Init(&tree, nullptr);
  std::set<uint32_t> model;
  for (int step = 0; step < 6000; ++step) {
    const uint32_t v = rng() % items.size();
    // Drift towards full and then empty so both rebalancing paths run.
    const bool grow = (step / 1500) % 2 == 0 ? rng() % 4 != 0 : rng() % 4 == 0;
    if (grow && !in[v]) {
      TNode_Init(&items[v].node, key(v));
      ASSERT_EQ(TTree_SearchAddNode(&tree, &items[v].node), nullptr);
      in[v] = true;
      model.insert(v);
    } else if (!grow && in[v]) {
      TTree_RemNode(&tree, &items[v].node);
      EXPECT_EQ(items[v].node.parent, nullptr);
      EXPECT_EQ(items[v].node.side, 2u);
      EXPECT_EQ(items[v].node.link[0].node, nullptr);
      EXPECT_EQ(items[v].node.link[1].node, nullptr);
      in[v] = false;
      model.erase(v);
    } else if (in[v]) {
      Item dup;
      TNode_Init(&dup.node, key(v));
      ASSERT_EQ(TTree_SearchAddNode(&tree, &dup.node), &items[v].node);
    }
    const uint32_t probe = rng() % (items.size() + 2);
    const TNode *found = TTree_Search(&tree, key(probe));
    EXPECT_EQ(found != nullptr, model.count(probe) == 1);
    const TNode *above = TTree_SearchNotExact(&tree, key(probe), 1);
    auto it = model.lower_bound(probe);
    EXPECT_EQ(above ? int64_t(above->user) : -1, it == model.end() ? -1 : int64_t(*it));
    const TNode *below = TTree_SearchNotExact(&tree, key(probe), 0);
    auto jt = model.upper_bound(probe);
    EXPECT_EQ(below ? int64_t(below->user) : -1,
              jt == model.begin() ? -1 : int64_t(*std::prev(jt)));
    const uint32_t depth = CheckTree(tree, model);
    ASSERT_LE(depth, DepthBound(model.size())) << "at step " << step;
    if (HasFailure()) return;
  }
}

TEST(TTree, AscendingInsertStaysLogarithmicAndEmptiesAgain) {
  for (int order = 0; order < 3; ++order) {
    SCOPED_TRACE(order);
    std::vector<Item> items(1000);
    TTree tree;
    TTree_Init(&tree, Comp_ptrs);
    std::set<uint32_t> model;
    for (uint32_t i = 0; i < items.size(); ++i) {
      TNode_Init(&items[i].node, key(i));
      ASSERT_EQ(TTree_SearchAddNode(&tree, &items[i].node), nullptr);
      model.insert(i);
    }
    EXPECT_EQ(tree.root.count, 1000u);
    EXPECT_LE(CheckTree(tree, model), DepthBound(1000));
    std::vector<uint32_t> idx(items.size());
    for (uint32_t i = 0; i < idx.size(); ++i) idx[i] = i;
    if (order == 1) std::reverse(idx.begin(), idx.end());
    if (order == 2) std::shuffle(idx.begin(), idx.end(), std::mt19937(order));
    for (uint32_t i : idx) {
      TTree_RemNode(&tree, &items[i].node);
      model.erase(i);
      if (i % 97 == 0) CheckTree(tree, model);
    }
    EXPECT_EQ(tree.root.node, nullptr);
    EXPECT_EQ(tree.root.count, 0u);
  }
}

TEST(TTree, NearestSearchAroundThreeValues) {
  Item items[3];
  TTree tree;
  TTree_Init(&tree, nullptr);
  const uint32_t values[] = {10, 20, 30};
  for (int i = 0; i < 3; ++i) {
    TNode_Init(&items[i].node, key(values[i]));
    ASSERT_EQ(TTree_SearchAddNode(&tree, &items[i].node), nullptr);
  }
  struct Case { uint32_t key, side; int64_t want; };
  constexpr Case kCases[] = {
      {15, 1, 20}, {15, 0, 10}, {35, 1, -1}, {5, 0, -1}, {20, 0, 20},
      {20, 1, 20}, {5, 1, 10},  {35, 0, 30}, {25, 1, 30}, {25, 0, 20},
  };
  for (const Case &c : kCases) {
    SCOPED_TRACE(testing::Message() << c.key << " side " << c.side);
    const TNode *n = TTree_SearchNotExact(&tree, key(c.key), c.side);
    EXPECT_EQ(n ? int64_t(n->user) : -1, c.want);
  }
  EXPECT_EQ(TTree_Search(&tree, key(15)), nullptr);
  EXPECT_EQ(TTree_Search(&tree, key(30)), &items[2].node);
}

TEST(TTree, EmptyTreeFindsNothing) {
  TTree tree;
  TTree_Init(&tree, nullptr);
  EXPECT_EQ(tree.comp, &Comp_ptrs);
  EXPECT_EQ(TTree_Search(&tree, 1), nullptr);
  EXPECT_EQ(TTree_SearchNotExact(&tree, 1, 0), nullptr);
  EXPECT_EQ(TTree_SearchNotExact(&tree, 1, 1), nullptr);
}

TEST(TTree, DuplicateIsRefusedWithTheNodeInPlace) {
  Item a, b;
  TTree tree;
  TTree_Init(&tree, nullptr);
  TNode_Init(&a.node, 7);
  TNode_Init(&b.node, 7);
  EXPECT_EQ(TTree_SearchAddNode(&tree, &a.node), nullptr);
  EXPECT_EQ(tree.root.count, 1u);
  EXPECT_EQ(TTree_SearchAddNode(&tree, &b.node), &a.node);
  EXPECT_EQ(tree.root.count, 1u);
}

TEST(TTree, RemovingRootOfTwoPromotesTheChild) {
  for (uint32_t second : {5u, 15u}) {
    SCOPED_TRACE(second);
    Item a, b;
    TTree tree;
    TTree_Init(&tree, nullptr);
    TNode_Init(&a.node, 10);
    TNode_Init(&b.node, second);
    TTree_SearchAddNode(&tree, &a.node);
    TTree_SearchAddNode(&tree, &b.node);
    TTree_RemNode(&tree, &a.node);
    EXPECT_EQ(tree.root.node, &b.node);
    EXPECT_EQ(tree.root.count, 1u);
    EXPECT_EQ(b.node.parent, nullptr);
    EXPECT_EQ(b.node.side, 2u);
    EXPECT_EQ(a.node.countdown, 4);
    // A removed node goes straight back in without TNode_Init.
    EXPECT_EQ(TTree_SearchAddNode(&tree, &a.node), nullptr);
    EXPECT_EQ(TTree_Search(&tree, 10), &a.node);
    EXPECT_EQ(tree.root.count, 2u);
  }
}

// Builds a left-heavy or right-heavy shape by hand and checks which rotation
// the first check picks: a child with equal counts is rotated twice under a
// left-heavy node and once under a right-heavy one.
TEST(TTree, RotationKindFollowsTheHeavyChildsLean) {
  struct Case { const char *name; std::vector<uint32_t> keys; uint32_t root_after; };
  // Countdowns start at 4, so the fifth change below the root makes it weigh
  // itself; ascending keys lean right, descending lean left.
  const Case kCases[] = {
      {"ascending", {1, 2, 3, 4, 5, 6, 7, 8}, 0},
      {"descending", {8, 7, 6, 5, 4, 3, 2, 1}, 0},
  };
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.name);
    std::vector<Item> items(c.keys.size());
    TTree tree;
    TTree_Init(&tree, nullptr);
    std::set<uint32_t> model;
    for (size_t i = 0; i < c.keys.size(); ++i) {
      TNode_Init(&items[i].node, c.keys[i]);
      TTree_SearchAddNode(&tree, &items[i].node);
      model.insert(c.keys[i]);
      CheckTree(tree, model);
    }
    // The first key is no longer the root: a rotation happened.
    EXPECT_NE(tree.root.node, &items[0].node);
    EXPECT_EQ(tree.root.node->countdown <= 8, true);
  }
}

TEST(DNode, RingOperations) {
  QiraDNode head, x, y, z;
  DNode_Init(&head);
  DNode_Init(&x);
  DNode_Remove(&x);
  EXPECT_EQ(x.next, &x);
  EXPECT_EQ(x.prev, &x);
  DNode_AddAfter(&x, &head);
  DNode_AddBefore(&y, &head);
  DNode_AddAfter(&z, &x);
  const QiraDNode *want[] = {&x, &z, &y};
  const QiraDNode *n = head.next;
  for (const QiraDNode *w : want) {
    EXPECT_EQ(n, w);
    EXPECT_EQ(n->next->prev, n);
    n = n->next;
  }
  EXPECT_EQ(n, &head);
  DNode_Remove(&z);
  DNode_Remove(&z);
  EXPECT_EQ(x.next, &y);
  EXPECT_EQ(y.prev, &x);
  EXPECT_EQ(z.next, &z);
}

}  // namespace
