// Names between UTF-16 and native bytes in a UTF-8 locale: conversions both
// ways, the bytes-only form for undecodable names, and round trips of random
// byte names.
#include <cinttypes>
#include <cstdio>
#include <random>

#include "platform/plattest.h"

namespace {

using U = std::vector<uint16_t>;

class Names : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(locale_.ok()) << "C.UTF-8 locale missing"; }
  void TearDown() override { EXPECT_TRUE(group_.Empty()) << "a block was not released"; }

  // UTF-16 to native; the native name as a string (its bytes up to the zero).
  uint32_t ToNative(const U &units, std::string *out) {
    char *native = reinterpret_cast<char *>(uintptr_t(1));
    uint32_t err = _x_getallocednativechars(units.data(), uint32_t(units.size()), group_, &native);
    if (err) {
      EXPECT_EQ(native, reinterpret_cast<char *>(uintptr_t(1))) << "stored on failure";
      return err;
    }
    *out = native;
    Mem_Free(native);
    return QIRA_OK;
  }
  uint32_t ToUnits(const std::string &native, U *out) {
    uint16_t *units = reinterpret_cast<uint16_t *>(uintptr_t(1));
    uint32_t n = 77;
    uint32_t err = _x_getallocedtarvochars(native.c_str(), group_, &units, &n);
    if (err) {
      EXPECT_EQ(n, 77u) << "stored on failure";
      return err;
    }
    if (n == 0) {
      EXPECT_EQ(units, nullptr);
    }
    *out = U(units, units + n);
    if (units) Mem_Free(units);
    return QIRA_OK;
  }

  pt::LocaleGuard locale_{"C.UTF-8"};
  pt::Group group_;
};

TEST_F(Names, UnitsToNative) {
  struct Case {
    const char *what;
    U in;
    const char *want;  // null: refused with err
    uint32_t err;
  };
  const Case cases[] = {
      {"empty", {}, "", QIRA_OK},
      {"ascii", {'n', 'o', 't', 'e', 's'}, "notes", QIRA_OK},
      {"two and three byte characters", {0xE9, 0x20AC}, "\xC3\xA9\xE2\x82\xAC", QIRA_OK},
      {"a zero unit ends the native name", {'a', 0, 'b'}, "a", QIRA_OK},
      {"marker alone", {0xFFFE}, "", QIRA_OK},
      {"bytes-only", {0xFFFE, 0xFF, 'a', 0x80}, "\xFF" "a\x80", QIRA_OK},
      {"bytes-only with a unit above a byte", {0xFFFE, 'a', 0x100}, nullptr, QIRA_ERR_CONVERT},
      {"lone high surrogate", {'a', 0xD800, 'b'}, nullptr, QIRA_ERR_CONVERT},
      {"lone low surrogate", {0xDC00}, nullptr, QIRA_ERR_CONVERT},
      // Surrogates are not paired: a character above U+FFFF cannot come as units.
      {"surrogate pair", {0xD83D, 0xDE00}, nullptr, QIRA_ERR_CONVERT},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    std::string got;
    uint32_t err = ToNative(c.in, &got);
    EXPECT_EQ(err, c.err);
    if (c.want && !err) {
      EXPECT_EQ(got, c.want);
    }
  }
}

TEST_F(Names, NativeToUnits) {
  struct Case {
    const char *what;
    std::string in;
    U want;
  };
  const Case cases[] = {
      {"empty", "", {}},
      {"ascii", "notes", {'n', 'o', 't', 'e', 's'}},
      {"multibyte", "\xC3\xA9\xE2\x82\xAC", {0xE9, 0x20AC}},
      {"invalid byte", "\xFF", {0xFFFE, 0xFF}},
      {"above U+FFFF: the whole name bytes-only",
       "a\xF0\x9F\x98\x80",
       {0xFFFE, 'a', 0xF0, 0x9F, 0x98, 0x80}},
      {"cut short at the end", "ab\xC3", {0xFFFE, 'a', 'b', 0xC3}},
      {"U+FFFE first decodes like any character", "\xEF\xBF\xBE" "ab", {0xFFFE, 'a', 'b'}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    U got;
    ASSERT_EQ(ToUnits(c.in, &got), QIRA_OK);
    EXPECT_EQ(got, c.want);
  }
}

// A name that starts with U+FFFE looks like the bytes-only form on its way
// back: the bytes are restored where they can be, refused where not.
TEST_F(Names, LeadingNonCharacterComesBackAsBytes) {
  U units;
  ASSERT_EQ(ToUnits("\xEF\xBF\xBE" "ab", &units), QIRA_OK);
  std::string back;
  ASSERT_EQ(ToNative(units, &back), QIRA_OK);
  EXPECT_EQ(back, "ab");
  ASSERT_EQ(ToUnits("\xEF\xBF\xBE\xE2\x82\xAC", &units), QIRA_OK);
  EXPECT_EQ(ToNative(units, &back), QIRA_ERR_CONVERT);
}

TEST_F(Names, NullPlacesStoreNothingAndKeepNothing) {
  const uint16_t units[] = {'a', 0xE9};
  EXPECT_EQ(_x_getallocednativechars(units, 2, group_, nullptr), QIRA_OK);
  const uint16_t bytes[] = {0xFFFE, 'a'};
  EXPECT_EQ(_x_getallocednativechars(bytes, 2, group_, nullptr), QIRA_OK);
  uint32_t n = 0;
  EXPECT_EQ(_x_getallocedtarvochars("a\xC3\xA9", group_, nullptr, &n), QIRA_OK);
  EXPECT_EQ(n, 2u);
  EXPECT_EQ(_x_getallocedtarvochars("\xFF\xFE", group_, nullptr, &n), QIRA_OK);
  EXPECT_EQ(n, 3u);
}

// Any name read from the file system reaches the same bytes again, whether
// it decodes or travels bytes-only.
TEST_F(Names, RandomByteNamesRoundTrip) {
  uint32_t seed = std::random_device{}();
  printf("RandomByteNamesRoundTrip seed %" PRIu32 "\n", seed);
  std::mt19937 rng(seed);
  // Mostly ASCII and UTF-8 lead/continuation bytes, so both forms come up.
  const std::string pieces[] = {"a", "Z", ".", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80",
                                "\x80", "\xC3", "\xFF", "\xED\xA0\x80", "\xEF\xBF\xBF"};
  int bytesonly = 0;
  for (int i = 0; i < 2000; ++i) {
    std::string name;
    int len = int(rng() % 8);
    for (int k = 0; k < len; ++k) name += pieces[rng() % std::size(pieces)];
    if (name.rfind("\xEF\xBF\xBE", 0) == 0) continue;
    SCOPED_TRACE(testing::PrintToString(name));
    U units;
    ASSERT_EQ(ToUnits(name, &units), QIRA_OK);
    if (!units.empty() && units[0] == 0xFFFE) ++bytesonly;
    std::string back;
    ASSERT_EQ(ToNative(units, &back), QIRA_OK);
    ASSERT_EQ(back, name);
  }
  EXPECT_GT(bytesonly, 0);
}

}  // namespace
