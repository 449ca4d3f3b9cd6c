// The weight-balanced tree driven by an operation stream against std::set.
// Keys are small numbers so that inserts, removals and searches meet; each
// key has its own node, and a second node per key tries duplicate inserts.
//
// Checked after every step that changes the tree: the results of every
// search agree with the set; at checkpoints and at the end, every link count,
// parent and side, the in-order sequence and a logarithmic depth.
#include <cmath>
#include <set>

#include "fuzz/fuzzutil.h"

namespace {

constexpr uint32_t kKeys = 512;

TNode g_nodes[kKeys];
TNode g_dups[kKeys];

uint32_t checksubtree(const TNode *n, const TNode *parent, uint32_t side, uint32_t count,
                      std::set<uintptr_t>::const_iterator *it,
                      std::set<uintptr_t>::const_iterator end) {
  if (!n) {
    FUZZ_CHECK(count == 0);
    return 0;
  }
  FUZZ_CHECK(n->parent == parent && n->side == side);
  FUZZ_CHECK(count == n->link[0].count + n->link[1].count + 1);
  const uint32_t dl = checksubtree(n->link[0].node, n, 0, n->link[0].count, it, end);
  FUZZ_CHECK(*it != end && **it == n->user);
  FUZZ_CHECK(n == &g_nodes[n->user]);
  ++*it;
  const uint32_t dr = checksubtree(n->link[1].node, n, 1, n->link[1].count, it, end);
  return (dl > dr ? dl : dr) + 1;
}

void checktree(const TTree &tree, const std::set<uintptr_t> &model) {
  FUZZ_CHECK(tree.root.count == model.size());
  auto it = model.cbegin();
  const uint32_t depth =
      checksubtree(tree.root.node, nullptr, 2, tree.root.count, &it, model.cend());
  FUZZ_CHECK(it == model.cend());
  // The weight limit allows drift between the lazy checks, but never a
  // depth far from logarithmic.
  const double n = double(model.size());
  FUZZ_CHECK(depth <= uint32_t(4 * std::log2(n + 1)) + 8);
}

void checkdetached(const TNode &n, uintptr_t key) {
  FUZZ_CHECK(n.link[0].node == nullptr && n.link[1].node == nullptr);
  FUZZ_CHECK(n.link[0].count == 0 && n.link[1].count == 0);
  FUZZ_CHECK(n.parent == nullptr && n.side == 2 && n.countdown == 4);
  FUZZ_CHECK(n.user == key);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fz::Reader in(data, size);
  TTree tree;
  // Null asks for the default pointer order, which orders these keys too.
  TTree_Init(&tree, (in.u8() & 1) ? nullptr : Comp_ptrs);
  FUZZ_CHECK(tree.comp == Comp_ptrs);
  std::set<uintptr_t> model;
  std::set<uintptr_t> removed;  // detached nodes that may go back in without init

  for (int ops = 0; !in.empty() && ops < 20000; ++ops) {
    const uint8_t op = in.u8();
    const uintptr_t key = in.u16() % kKeys;
    switch (op % 8) {
      case 0:
      case 1:
      case 2: {  // insert
        if (model.count(key)) {
          TNode_Init(&g_dups[key], key);
          FUZZ_CHECK(TTree_SearchAddNode(&tree, &g_dups[key]) == &g_nodes[key]);
          break;
        }
        if (!removed.count(key) || (op & 0x80)) TNode_Init(&g_nodes[key], key);
        FUZZ_CHECK(TTree_SearchAddNode(&tree, &g_nodes[key]) == nullptr);
        model.insert(key);
        removed.erase(key);
        break;
      }
      case 3:
      case 4: {  // remove the key, or the nearest one present
        auto it = model.lower_bound(key);
        if (it == model.end()) {
          if (model.empty()) break;
          it = model.begin();
        }
        const uintptr_t k = *it;
        TTree_RemNode(&tree, &g_nodes[k]);
        checkdetached(g_nodes[k], k);
        model.erase(it);
        removed.insert(k);
        break;
      }
      case 5: {
        TNode *n = TTree_Search(&tree, key);
        FUZZ_CHECK(n == (model.count(key) ? &g_nodes[key] : nullptr));
        if (n) FUZZ_CHECK(TNode_UserValue(n) == key);
        break;
      }
      case 6: {
        const uint32_t side = op >> 7;
        TNode *n = TTree_SearchNotExact(&tree, key, side);
        const TNode *want = nullptr;
        if (side == 1) {
          auto it = model.lower_bound(key);
          if (it != model.end()) want = &g_nodes[*it];
        } else {
          auto it = model.upper_bound(key);
          if (it != model.begin()) want = &g_nodes[*std::prev(it)];
        }
        FUZZ_CHECK(n == want);
        break;
      }
      default:
        checktree(tree, model);
        break;
    }
  }
  checktree(tree, model);
  // Emptying it in input order ends with an empty root.
  while (!model.empty()) {
    auto it = model.lower_bound(in.u16() % kKeys);
    if (it == model.end()) it = model.begin();
    TTree_RemNode(&tree, &g_nodes[*it]);
    model.erase(it);
  }
  FUZZ_CHECK(tree.root.node == nullptr && tree.root.count == 0);
  return 0;
}
