// The weight-balanced tree against std::set, plus the fixed cases.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <map>
#include <random>
#include <set>
#include <string>
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

// Trees written as "key(left,right)", a leaf as "key", an empty side as "".
class Shapes {
 public:
  // Builds the tree by hand with every countdown far from running out except
  // the root's, so the next insertion below weighs exactly the root.
  void Build(TTree *tree, const std::string &text) {
    TTree_Init(tree, nullptr);
    size_t at = 0;
    TNode *root = Parse(text, &at, nullptr, 2);
    tree->root = TLink{root, root ? Weight(root) : 0};
    if (root) root->countdown = 0;
  }
  TNode *Add(TTree *tree, uint32_t key) {
    TNode *n = &nodes_[key];
    TNode_Init(n, key);
    EXPECT_EQ(TTree_SearchAddNode(tree, n), nullptr);
    return n;
  }
  TNode *At(uint32_t key) { return &nodes_[key]; }
  static std::string Print(const TNode *n) {
    if (!n) return "";
    std::string s = std::to_string(n->user);
    if (n->link[0].node || n->link[1].node)
      s += "(" + Print(n->link[0].node) + "," + Print(n->link[1].node) + ")";
    return s;
  }

 private:
  TNode *Parse(const std::string &t, size_t *at, TNode *parent, uint32_t side) {
    if (*at >= t.size() || !std::isdigit(static_cast<unsigned char>(t[*at]))) return nullptr;
    uint32_t key = 0;
    while (*at < t.size() && std::isdigit(static_cast<unsigned char>(t[*at])))
      key = key * 10 + uint32_t(t[(*at)++] - '0');
    TNode *n = &nodes_[key];
    TNode_Init(n, key);
    n->parent = parent;
    n->side = side;
    n->countdown = 1000;
    if (*at < t.size() && t[*at] == '(') {
      ++*at;
      n->link[0].node = Parse(t, at, n, 0);
      ++*at;  // ','
      n->link[1].node = Parse(t, at, n, 1);
      ++*at;  // ')'
    }
    for (TLink &l : n->link) l.count = l.node ? Weight(l.node) : 0;
    return n;
  }
  static uint32_t Weight(const TNode *n) {
    return n ? n->link[0].count + n->link[1].count + 1 : 0;
  }
  std::map<uint32_t, TNode> nodes_;
};

std::set<uint32_t> Keys(const TNode *n, std::set<uint32_t> acc = {}) {
  if (!n) return acc;
  acc.insert(uint32_t(n->user));
  acc = Keys(n->link[0].node, acc);
  return Keys(n->link[1].node, acc);
}

// Which rotation a check picks depends on the heavy child's lean; a child
// with equal counts is rotated twice under a left-heavy node and once under
// a right-heavy one.
TEST(TTree, RotationKindFollowsTheHeavyChildsLean) {
  struct Case { const char *name; const char *before; uint32_t add; const char *after; };
  const Case kCases[] = {
      {"left heavy, child leans left: single", "100(50(30(20,40),60),)", 10,
       "50(30(20(10,),40),100(60,))"},
      {"left heavy, child leans right: double", "100(50(40,70(60,80)),)", 65,
       "70(50(40,60(,65)),100(80,))"},
      {"left heavy, child even: double", "100(50(30(20,),70),)", 80, "70(50(30(20,),),100(80,))"},
      {"right heavy, child leans right: single", "10(,50(40,70(60,80)))", 90,
       "50(10(,40),70(60,80(,90)))"},
      {"right heavy, child leans left: double", "10(,50(30(20,40),60))", 45,
       "30(10(,20),50(40(,45),60))"},
      {"right heavy, child even: single", "10(,50(30(20,),70))", 80, "50(10(,30(20,)),70(,80))"},
  };
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.name);
    Shapes shapes;
    TTree tree;
    shapes.Build(&tree, c.before);
    ASSERT_EQ(Shapes::Print(tree.root.node), c.before);
    shapes.Add(&tree, c.add);
    EXPECT_EQ(Shapes::Print(tree.root.node), c.after);
    CheckTree(tree, Keys(tree.root.node));
    // The new subtree root is re-armed at 8, its children at 4.
    EXPECT_EQ(tree.root.node->countdown, 8);
    EXPECT_EQ(tree.root.node->link[0].node->countdown, 4);
    EXPECT_EQ(tree.root.node->link[1].node->countdown, 4);
  }
}

// Removing a node with two children hangs its lighter subtree below the
// extreme node of the heavier one (the right subtree on a tie).
TEST(TTree, RemovalRehangsTheLighterSubtree) {
  struct Case { const char *name; const char *before; uint32_t remove; const char *after; };
  const Case kCases[] = {
      {"tie: right goes under the greatest of the left", "50(30,70)", 50, "30(,70)"},
      {"right lighter", "50(30(20,40),70)", 50, "30(20,40(,70))"},
      {"left lighter", "50(30,70(60,80))", 50, "70(60(30,),80)"},
      {"leaf", "50(30,70)", 70, "50(30,)"},
      {"one child", "50(30(,40),70)", 30, "50(40,70)"},
  };
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.name);
    Shapes shapes;
    TTree tree;
    shapes.Build(&tree, c.before);
    tree.root.node->countdown = 1000;
    TNode *gone = shapes.At(c.remove);
    TTree_RemNode(&tree, gone);
    EXPECT_EQ(Shapes::Print(tree.root.node), c.after);
    CheckTree(tree, Keys(tree.root.node));
    EXPECT_EQ(gone->parent, nullptr);
    EXPECT_EQ(gone->side, 2u);
    EXPECT_EQ(gone->link[0].node, nullptr);
    EXPECT_EQ(gone->link[1].node, nullptr);
    EXPECT_EQ(gone->countdown, 4);
  }
}

// A node well inside the limit is re-armed with a countdown that grows with
// its margin.
TEST(TTree, CheckRearmsWithTheMargin) {
  Shapes shapes;
  TTree tree;
  // Left 3, right 4 after the insertion: limit 2*3+4 = 10, margin 6 -> 4;
  // a root with both sides 7 after: margin 11 -> 8.
  shapes.Build(&tree, "50(30(20,40),70(60,80))");
  shapes.Add(&tree, 90);
  EXPECT_EQ(tree.root.node->countdown, 4);
  shapes.Build(&tree, "80(40(20(10,30),60(50,70)),120(100(90,110),140(130,)))");
  shapes.Add(&tree, 150);
  EXPECT_EQ(tree.root.node->countdown, 8);
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
