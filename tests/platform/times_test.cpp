// File times and date values: examples and the edges of both directions
// (round trips are the fuzz targets' work).
#include <limits>

#include "platform/plattest.h"

namespace {

using D = std::vector<uint16_t>;
using pt::DigitsOfDecimal;

// The largest file time whose date value still fits the record's 4 digits:
// floor((2^64 - 1) / 10^6) - 62135596800.
constexpr int64_t kLastFourDigitTime = 18446744073709ll - 62135596800ll;
constexpr int64_t kMaxTime = std::numeric_limits<int64_t>::max();

TEST(TimeToDate, ExamplesAndRefusals) {
  // want empty: refused with 62, but for 0001-01-01, which is the date value 0.
  const struct { int64_t t; uint32_t capacity; D want; } cases[] = {
      {0, 4, {0xC000, 0xFF2B, 0xBFFE, 0x00DC}},
      {2147483647, 4, {0x7DC0, 0xFF1C, 0x611E, 0x00E4}},
      {kLastFourDigitTime + 1, 5, DigitsOfDecimal("18446744073710000000")},
      {kMaxTime, 8, DigitsOfDecimal("9223372098990372607000000")},
      // Before 1970 the date is read exactly; before year 1 there is none.
      {-1, 4, DigitsOfDecimal("62135596799000000")},
      {-62135596799, 4, DigitsOfDecimal("1000000")},  // 0001-01-01T00:00:01
      {-62135596800, 4, {}},  // 0001-01-01 itself is the date value 0: no digits
      {-62135596801, 8, {}},
      {0, 3, {}},  // every date needs 4 digits
      {kLastFourDigitTime + 1, 4, {}},  // a fifth digit
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << c.t << " capacity " << c.capacity);
    uint16_t d[8] = {0x5555, 0x5555, 0x5555, 0x5555, 0x5555, 0x5555, 0x5555, 0x5555};
    uint32_t n = 99;
    const bool refused = c.want.empty() && c.t != -62135596800;
    ASSERT_EQ(_x_time_t_tointdigits(time_t(c.t), d, c.capacity, &n),
              refused ? QIRA_ERR_DIGITS : QIRA_OK);
    EXPECT_EQ(pt::Digits(d, refused ? 0 : n), c.want);
    EXPECT_TRUE(!refused || (n == 99 && d[0] == 0x5555)) << "stored on failure";
  }
}

TEST(DateToTime, ExamplesAndRefusals) {
  const struct { D digits; int64_t want; } cases[] = {  // want -1: refused with 30
      {DigitsOfDecimal("62135596800000000"), 0},
      {DigitsOfDecimal("62135596800999999"), 0},  // microseconds are cut, not rounded
      {{0xC000, 0xFF2B, 0xBFFE, 0x00DC, 0, 0, 0, 0}, 0},  // zero digits on top are no harm
      {DigitsOfDecimal("18446744073709551616"), kLastFourDigitTime},  // 2^64: five digits
      {DigitsOfDecimal("9223372098990372607999999"), kMaxTime},
      {DigitsOfDecimal("9223372098990372608000000"), -1},  // beyond the 64-bit time value
      {DigitsOfDecimal("62135596799999999"), -1},  // just before 1970
      {{}, -1},
      {DigitsOfDecimal("340282366920938463463374607431768211456"), -1},  // 9 digits
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.digits));
    time_t t = 12345;
    ASSERT_EQ(_x_intdigitsto_time_t(c.digits.data(), uint32_t(c.digits.size()), &t),
              c.want < 0 ? QIRA_ERR_RANGE : QIRA_OK);
    EXPECT_EQ(int64_t(t), c.want < 0 ? 12345 : c.want);
  }
}

}  // namespace
