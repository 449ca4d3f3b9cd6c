// Byte ranges: the comparison table (each row also swapped, and through the
// ram-descriptor comparator), the terminated length, copy and fill.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "qira.h"

namespace {

constexpr uint32_t kTerm = 0xFFFFFFFF;

TEST(RamUbyteCmp, TableBothWays) {
  struct Case { const char *a; uint32_t alen; const char *b; uint32_t blen; int32_t want; };
  const Case kCases[] = {
      {"", 0, "", 0, 0},          {"", 0, "", kTerm, -1},  // empty before a lone terminator
      {"abc", 3, "", 0, 1},       {"abc", 3, "abd", 3, -1},      {"ab", 2, "abc", 3, -1},
      {"abc", 3, "abc", 3, 0},    {"\x80", 1, "\x7f", 1, 1},     // unsigned bytes
      {"ab", kTerm, "abc", kTerm, -1},                           // the first's zero meets c
      {"ab", kTerm, "ab", kTerm, 0},  {"ab", 2, "ab", kTerm, -1},  // the terminator takes part
      {"ab", kTerm, "ab", 3, 0},  {"\x80", kTerm, "\x7f", kTerm, 1}, {"abz", 3, "ab", kTerm, 1},
      {"abcd", 4, "abXX", 2, 1},
  };
  for (const Case &c : kCases) {
    SCOPED_TRACE(testing::Message() << '"' << c.a << "\"/" << int32_t(c.alen) << " vs \"" << c.b
                                    << "\"/" << int32_t(c.blen));
    EXPECT_EQ(Ram_UBYTE_cmp(c.a, c.alen, c.b, c.blen), c.want);
    EXPECT_EQ(Ram_UBYTE_cmp(c.b, c.blen, c.a, c.alen), -c.want);
    const QiraRamDesc a{c.alen, c.a}, b{c.blen, c.b};
    EXPECT_EQ(Comp_ramdescs(uintptr_t(&a), uintptr_t(&b)), c.want);
  }
  EXPECT_EQ(Comp_ptrs(0xFFFFFFFF, 1), 1);  // unsigned
  EXPECT_EQ(Comp_ptrs(1, 0xFFFFFFFF), -1);
}

TEST(RamUbyte, CopyAndFill) {
  char dst[8];
  std::memset(dst, 'x', sizeof dst);
  Ram_UBYTE_copy("abc", dst, 0);
  EXPECT_EQ(std::string(dst, 8), "xxxxxxxx");
  Ram_UBYTE_copy("", dst, kTerm);  // exactly the one zero byte
  EXPECT_EQ(std::string(dst, 8), std::string("\0xxxxxxx", 8));
  Ram_UBYTE_copy("abcdef", dst, 4);
  Ram_UBYTE_copy("hi\0zz", dst, kTerm);
  EXPECT_EQ(std::string(dst, 8), std::string("hi\0dxxxx", 8));
  char buf[] = "0123456789";
  Ram_UBYTE_copy(buf + 2, buf, 6);  // destination below an overlapping source
  EXPECT_STREQ(buf, "2345676789");
  Ram_UBYTE_set(buf + 1, 0, '-');
  Ram_UBYTE_set(buf + 1, 3, '-');
  EXPECT_STREQ(buf, "2---676789");
}

}  // namespace
