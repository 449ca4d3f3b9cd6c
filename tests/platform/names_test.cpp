// Names between UTF-16 and native bytes in a UTF-8 locale, and the bytes-only
// form of undecodable names (random round trips are the fuzz targets' work).
#include <cstring>

#include "platform/platnames.h"
#include "platform/plattest.h"

namespace {

using U = std::vector<uint16_t>;

using Names = pt::Plat;

// Rows hold for native to units (>), units to native (<), or both ways.  The
// bytes-only form covers a whole name and is marked in unit 0 only; a native
// name that begins with U+FFFE travels as bytes too, so a leading 0xFFFE
// always means bytes and every native name comes back to its own bytes.
TEST_F(Names, BothDirections) {
  const struct { const char *dirs, *native; U units; } cases[] = {
      {"<>", "", {}},
      {"<>", "a\xC3\xA9\xE2\x82\xAC", {'a', 0xE9, 0x20AC}},
      {"<>", "\xFF" "a\x80", {0xFFFE, 0xFF, 'a', 0x80}},
      {"<>", "a\xF0\x9F\x98\x80", {0xFFFE, 'a', 0xF0, 0x9F, 0x98, 0x80}},  // above U+FFFF
      {"<>", "ab\xC3", {0xFFFE, 'a', 'b', 0xC3}},  // cut short at the end
      {"<>", "\xEF\xBF\xBE" "ab", {0xFFFE, 0xEF, 0xBF, 0xBE, 'a', 'b'}},  // U+FFFE first
      {"<>", "a\xEF\xBF\xBE", {'a', 0xFFFE}},  // later on it is a character
      {"<", "ab", {0xFFFE, 'a', 'b'}},
      {"<", nullptr, {0xFFFE, 0x20AC}},  // null: refused with 81
      {"<", "", {0xFFFE}},
      // A unit 0 would cut the name short and reach another entry.
      {"<", nullptr, {'a', 0, 'b'}},
      {"<", nullptr, {'k', 'e', 'e', 'p', 0}},
      {"<", nullptr, {0}},
      {"<", nullptr, {0xFFFE, 'a', 0, 'b'}},
      {"<", nullptr, {'a', 0xD800, 'b'}},  // a lone surrogate
      {"<", nullptr, {0xD83D, 0xDE00}},  // surrogates are not paired
      // Whole names only: an undecodable component makes the whole name bytes,
      // and a marker after a separator is a plain character.
      {"<>", "/d/\xFF", {0xFFFE, '/', 'd', '/', 0xFF}},
      {"<>", "/\xC3\xA9/a\xFF/b", {0xFFFE, '/', 0xC3, 0xA9, '/', 'a', 0xFF, '/', 'b'}},
      {"<>", "/a/\xEF\xBF\xBEvictim", {'/', 'a', '/', 0xFFFE, 'v', 'i', 'c', 't', 'i', 'm'}},
  };
  // Each conversion runs again with no place to store its result, which must
  // release what it made (the fixture checks the group).
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << c.dirs << " " << testing::PrintToString(c.units));
    if (strchr(c.dirs, '>')) {
      uint16_t *units = nullptr;
      uint32_t n = 77, m = 77;
      ASSERT_EQ(_x_getallocedtarvochars(c.native, group_, &units, &n), QIRA_OK);
      EXPECT_EQ(_x_getallocedtarvochars(c.native, group_, nullptr, &m), QIRA_OK);
      EXPECT_EQ(m, n);
      EXPECT_EQ(U(units, units + n), c.units);
      EXPECT_EQ(units == nullptr, n == 0) << "the empty name comes as a null pointer";
      Mem_Free(units);
    }
    if (!strchr(c.dirs, '<')) continue;
    const uint32_t n = uint32_t(c.units.size()), err = c.native ? QIRA_OK : QIRA_ERR_CONVERT;
    char *native = nullptr;
    ASSERT_EQ(_x_getallocednativechars(c.units.data(), n, group_, &native), err);
    EXPECT_EQ(_x_getallocednativechars(c.units.data(), n, group_, nullptr), err);
    EXPECT_EQ(std::string(native ? native : "(none)"), c.native ? c.native : "(none)");
    Mem_Free(native);
  }
}

}  // namespace
