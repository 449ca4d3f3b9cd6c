// The byte-range comparison table, each row also swapped, through the
// ram-descriptor comparator and through a tree, which compares inline.
#include <gtest/gtest.h>

#include "qira.h"

namespace {

constexpr uint32_t kTerm = 0xFFFFFFFF;

TEST(RamUbyteCmp, TableBothWays) {
  struct Case { const char *a; uint32_t alen; const char *b; uint32_t blen; int32_t want; };
  const Case kCases[] = {
      {"", 0, "", 0, 0},         {"", 0, "", kTerm, -1},  // empty before a lone terminator
      {"abc", 3, "abd", 3, -1},  {"ab", 2, "abc", 3, -1},  {"\x80", 1, "\x7f", 1, 1},  // unsigned bytes
      {"ab", kTerm, "abc", kTerm, -1},                          // the first's zero meets c
      {"ab", kTerm, "ab", kTerm, 0},  {"ab", 2, "ab", kTerm, -1},  // the terminator takes part
      {"ab", kTerm, "ab", 3, 0}, {"\x80", kTerm, "\x7f", kTerm, 1}, {"abz", 3, "ab", kTerm, 1},
      {"abcd", 4, "bbca", 4, -1}, {"ab\x80" "a", 4, "abcd", 4, 1}, {"abcde", 5, "abcd", 4, 1},  // index keys
  };
  // Where the second key lands in a two-node tree shows the order it was given.
  const auto intree = [](const QiraRamDesc &first, const QiraRamDesc &second) {
    TTree t;
    TTree_Init(&t, Comp_ramdescs);
    TNode n[2];
    TNode_Init(&n[0], uintptr_t(&first));
    TNode_Init(&n[1], uintptr_t(&second));
    TTree_SearchAddNode(&t, &n[0]);
    if (TTree_SearchAddNode(&t, &n[1])) return 0;
    return t.root.node->link[1].node == &n[1] ? -1 : 1;
  };
  for (const Case &c : kCases) {
    SCOPED_TRACE(testing::Message() << '"' << c.a << "\"/" << int32_t(c.alen) << " vs \"" << c.b
                                    << "\"/" << int32_t(c.blen));
    EXPECT_EQ(Ram_UBYTE_cmp(c.a, c.alen, c.b, c.blen), c.want);
    EXPECT_EQ(Ram_UBYTE_cmp(c.b, c.blen, c.a, c.alen), -c.want);
    const QiraRamDesc a{c.alen, c.a}, b{c.blen, c.b};
    EXPECT_EQ(Comp_ramdescs(uintptr_t(&a), uintptr_t(&b)), c.want);
    EXPECT_EQ(intree(a, b), c.want);
    EXPECT_EQ(intree(b, a), -c.want);
  }
  EXPECT_EQ(Comp_ptrs(0xFFFFFFFF, 1), 1);  // unsigned
  EXPECT_EQ(Comp_ptrs(1, 0xFFFFFFFF), -1);
}

}  // namespace
