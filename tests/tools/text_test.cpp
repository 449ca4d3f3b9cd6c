// The tool's text conversions: command-line names to the module's form,
// names to the terminal and to JSON, and dates both ways.
#include <clocale>
#include <ctime>
#include <optional>
#include <tuple>

#include <gtest/gtest.h>

#include "testutil/testutil.h"
#include "tools/tool.h"

namespace {

using qtool::kUnixEpochUs;

// Sets the character-type locale and TZ for one test; TZ goes back first, then is reloaded.
class LocaleGuard {
 public:
  explicit LocaleGuard(const char *ctype, const char *tz = "UTC0") { Set(ctype); tz_->Set(tz); tzset(); }
  ~LocaleGuard() { std::setlocale(LC_CTYPE, old_.c_str()); tz_.reset(); tzset(); }
  void Set(const char *ctype) { ASSERT_NE(std::setlocale(LC_CTYPE, ctype), nullptr) << ctype; }

 private:
  std::string old_ = std::setlocale(LC_CTYPE, nullptr);
  std::optional<qt::EnvGuard> tz_{std::in_place, "TZ"};
};

std::u16string Bytes(std::string_view b) {
  std::u16string s(1, qtool::kBytesOnlyMarker);
  for (char c : b) s += char16_t(uint8_t(c));
  return s;
}

TEST(ToolText, CommandLineNamesGoAsUnitsOrElseAsBytes) {
  LocaleGuard loc("C.UTF-8");
  const std::pair<std::string, std::u16string> cases[] = {
      {"", u""},
      {"caf\xC3\xA9", u"caf\u00E9"},
      {"bad\xFFname", Bytes("bad\xFFname")},
      {"x\xC3", Bytes("x\xC3")},  // truncated
      // One unit per character on the module's side: U+1F600 cannot be one.
      {"\xF0\x9F\x98\x80", Bytes("\xF0\x9F\x98\x80")},
      // A name starting with U+FFFE would read as the marker.
      {"\xEF\xBF\xBEx", Bytes("\xEF\xBF\xBEx")},
  };
  for (const auto &[native, want] : cases) EXPECT_EQ(qtool::ModuleName(native), want) << native;
  loc.Set("C");
  EXPECT_EQ(qtool::ModuleName("caf\xC3\xA9"), Bytes("caf\xC3\xA9"));
  EXPECT_EQ(qtool::ModuleName("plain"), u"plain");
}

TEST(ToolText, NamesReachTheTerminalEscapedAndJsonExact) {
  LocaleGuard loc("C.UTF-8");
  const std::pair<std::u16string, std::string> cases[] = {
      {u"a\nb\tc", "a\\nb\\tc"},
      {u"a\x7F", "a\\x7F"},
      {u"a\u009B", "a\\u{9B}"},  // C1 control
      {u"a\xD800", "a\\u{D800}"},
      // Noncharacters and invisible format characters could pass one name
      // off as another or reorder the line.
      {u"a\uFFFEb", "a\\u{FFFE}b"},
      {u"a\uFDD0", "a\\u{FDD0}"},
      {u"\uFEFFa", "\\u{FEFF}a"},
      {u"a\xDB40\xDC01", "a\\u{E0001}"},  // a tag character, from a pair
      {Bytes("\xF0\x9F\xBF\xBF"), "\\u{1FFFF}"},
      {Bytes("a\x01"), "a\\x01"},
      {Bytes("\xF0\x9F\x98\x80"), "\xF0\x9F\x98\x80"},
  };
  for (const auto &[name, want] : cases) EXPECT_EQ(qtool::ShowName(name), want) << want;
  EXPECT_EQ(qtool::JsonString(u"a\"b\\c\nd\x01"), "\"a\\\"b\\\\c\\nd\\u0001\"");
  EXPECT_EQ(qtool::JsonString(u"\xD83D\xDE00"), "\"\xF0\x9F\x98\x80\"");
  EXPECT_EQ(qtool::JsonString(u"x\xDC00"), "\"x\\uDC00\"");
  EXPECT_EQ(qtool::JsonString(u"a\u202Eb\uFFFE\xD83F\xDFFF"), "\"a\\u202Eb\\uFFFE\\uD83F\\uDFFF\"");
  EXPECT_EQ(qtool::JsonString(u"\xDB40\xDC01"), "\"\\uDB40\\uDC01\"");  // still exact
  loc.Set("C");  // cannot show it
  EXPECT_EQ(qtool::ShowName(u"caf\u00E9"), "caf\\u{E9}");
  EXPECT_EQ(qtool::ShowNative("caf\xC3\xA9"), "caf\\xC3\\xA9");
}

TEST(ToolText, DatesRoundTripAndBadOnesAreRefused) {
  LocaleGuard loc("C");
  const std::tuple<const char *, uint64_t, const char *> cases[] = {
      {"1970-01-01T00:00:00.000001Z", kUnixEpochUs + 1, "1970-01-01T00:00:00.000001+00:00"},
      {"0001-01-01", 0, "0001-01-01T00:00:00+00:00"},
      {"2000-02-29T14:30:15.25+02:00", kUnixEpochUs + 951827415250000ull, "2000-02-29T12:30:15.250000+00:00"},
      {"1969-12-31T23:59:59.999999Z", kUnixEpochUs - 1, "1969-12-31T23:59:59.999999+00:00"},
      {"9999-12-31T23:59:59Z", 315537897599000000ull, "9999-12-31T23:59:59+00:00"},
  };
  for (const auto &[text, us, shown] : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(qtool::ParseDate(text), std::optional<uint64_t>(us));
    EXPECT_EQ(qtool::ParseDate(qtool::IsoDate(us, true)), std::optional<uint64_t>(us));
    EXPECT_EQ(qtool::IsoDate(us, true), shown);
  }
  for (const char *bad : {"", "yesterday", "2024-13-01", "2023-02-29", "2024-01-01T24:00", "2024-01-01T12",
                          "2024-01-01T12:00:00.", "0000-01-01", "2024-1-1", "2024-01-01Zjunk",
                          "2024-01-01T00:00+25:00"})
    EXPECT_EQ(qtool::ParseDate(bad), std::nullopt) << bad;

  LocaleGuard east("C", "XST-3");  // three hours east of UTC, no daylight saving
  const uint64_t noonUtc = kUnixEpochUs + 86400ull * 1000000ull * 10 + 12ull * 3600 * 1000000;
  EXPECT_EQ(qtool::IsoDate(noonUtc, true), "1970-01-11T15:00:00+03:00");
  EXPECT_EQ(qtool::IsoDate(noonUtc, false), "1970-01-11T15:00:00");
  EXPECT_EQ(qtool::ParseDate("1970-01-11T15:00"), std::optional<uint64_t>(noonUtc));
}

}  // namespace
