// Byte ranges: the comparison table, the terminated length, the comparators.
#include <gtest/gtest.h>

#include <cstring>

#include "qira.h"

namespace {

constexpr uint32_t kTerm = 0xFFFFFFFF;

TEST(RamUbyteCmp, Table) {
  struct Case { const char *a; uint32_t alen; const char *b; uint32_t blen; int32_t want; };
  const char x80[] = "\x80";
  const char x7f[] = "\x7f";
  const Case kCases[] = {
      {"", 0, "", 0, 0},
      {"", 0, "", kTerm, -1},  // empty before a lone terminator
      {"abc", 3, "", 0, 1},
      {"", kTerm, "", 0, 1},
      {"abc", 3, "abd", 3, -1},
      {"abd", 3, "abc", 3, 1},
      {"ab", 2, "abc", 3, -1},
      {"abc", 3, "ab", 2, 1},
      {"abc", 3, "abc", 3, 0},
      {x80, 1, x7f, 1, 1},  // unsigned bytes
      {x7f, 1, x80, 1, -1},
      {"ab", kTerm, "abc", kTerm, -1},  // the first's zero meets c
      {"ab", kTerm, "ab", kTerm, 0},
      {"abc", kTerm, "ab", kTerm, 1},
      {"ab", 2, "ab", kTerm, -1},  // the terminator takes part
      {"ab", kTerm, "ab", 2, 1},
      {"ab", kTerm, "ab", 3, 0},  // counted range including the zero byte
      {"ab", 3, "abc", kTerm, -1},
      {x80, kTerm, x7f, kTerm, 1},
      {"abz", 3, "ab", kTerm, 1},  // z against the zero byte
  };
  for (const Case &c : kCases) {
    SCOPED_TRACE(testing::Message() << '"' << c.a << "\"/" << int64_t(int32_t(c.alen)) << " vs \""
                                    << c.b << "\"/" << int64_t(int32_t(c.blen)));
    EXPECT_EQ(Ram_UBYTE_cmp(c.a, c.alen, c.b, c.blen), c.want);
  }
}

TEST(RamUbyteCopy, CountedAndTerminated) {
  char dst[8];
  std::memset(dst, 'x', sizeof dst);
  Ram_UBYTE_copy("abc", dst, 0);
  EXPECT_EQ(std::string(dst, 8), "xxxxxxxx");
  Ram_UBYTE_copy("", dst, kTerm);  // exactly the one zero byte
  EXPECT_EQ(std::string(dst, 8), std::string("\0xxxxxxx", 8));
  Ram_UBYTE_copy("hi\0zz", dst, kTerm);
  EXPECT_EQ(std::string(dst, 8), std::string("hi\0xxxxx", 8));
  Ram_UBYTE_copy("abcdef", dst, 4);
  EXPECT_EQ(std::string(dst, 8), std::string("abcdxxxx", 8));
  // Destination below an overlapping source.
  char buf[] = "0123456789";
  Ram_UBYTE_copy(buf + 2, buf, 6);
  EXPECT_STREQ(buf, "2345676789");
}

TEST(RamUbyteSet, FillsExactlyTheCount) {
  unsigned char buf[6] = {1, 2, 3, 4, 5, 6};
  Ram_UBYTE_set(buf + 1, 0, 9);
  Ram_UBYTE_set(buf + 1, 3, 0xAB);
  const unsigned char want[6] = {1, 0xAB, 0xAB, 0xAB, 5, 6};
  EXPECT_EQ(std::memcmp(buf, want, 6), 0);
}

TEST(Comp, PtrsAndRamdescs) {
  EXPECT_EQ(Comp_ptrs(0xFFFFFFFF, 1), 1);
  EXPECT_EQ(Comp_ptrs(1, 0xFFFFFFFF), -1);
  EXPECT_EQ(Comp_ptrs(7, 7), 0);
  const char abcd[] = "abcd";
  const char ab[] = "ab";
  const char ab2[] = "abXX";
  const QiraRamDesc d4{4, abcd}, d2{2, ab}, d2b{2, ab2};
  EXPECT_EQ(Comp_ramdescs(uintptr_t(&d4), uintptr_t(&d2)), 1);
  EXPECT_EQ(Comp_ramdescs(uintptr_t(&d2), uintptr_t(&d4)), -1);
  EXPECT_EQ(Comp_ramdescs(uintptr_t(&d2), uintptr_t(&d2b)), 0);  // whatever the pointers
}

}  // namespace
