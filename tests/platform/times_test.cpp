// File times and date values: the documented examples, the edges of both
// directions, and round trips checked against a 64-bit oracle.
#include <cinttypes>
#include <cstdio>
#include <limits>
#include <random>

#include "platform/plattest.h"

namespace {

using pt::Digits;
using pt::DigitsOfDecimal;
using pt::DigitsOfTime;

// The largest file time whose date value still fits the record's 4 digits:
// floor((2^64 - 1) / 10^6) - 62135596800.
constexpr int64_t kLastFourDigitTime = 18446744073709ll - 62135596800ll;

TEST(TimeToDate, DocumentedExamples) {
  struct Case {
    int64_t t;
    std::vector<uint16_t> want;
  };
  const Case cases[] = {
      {0, {0xC000, 0xFF2B, 0xBFFE, 0x00DC}},
      {1, {0x0240, 0xFF3B, 0xBFFE, 0x00DC}},
      {2147483647, {0x7DC0, 0xFF1C, 0x611E, 0x00E4}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.t);
    uint16_t d[4] = {0xAAAA, 0xAAAA, 0xAAAA, 0xAAAA};
    uint32_t n = 99;
    ASSERT_EQ(_x_time_t_tointdigits(time_t(c.t), d, 4, &n), QIRA_OK);
    EXPECT_EQ(Digits(d, n), c.want);
  }
}

TEST(TimeToDate, RefusesWhatDoesNotFit) {
  struct Case {
    int64_t t;
    uint32_t capacity;
    uint32_t err;
  };
  const Case cases[] = {
      {-1, 8, QIRA_ERR_DIGITS},                       // before 1970
      {std::numeric_limits<int64_t>::min(), 8, QIRA_ERR_DIGITS},
      {0, 3, QIRA_ERR_DIGITS},                        // every date needs 4 digits
      {2147483647, 3, QIRA_ERR_DIGITS},
      {kLastFourDigitTime, 4, QIRA_OK},
      {kLastFourDigitTime + 1, 4, QIRA_ERR_DIGITS},   // a fifth digit
      {kLastFourDigitTime + 1, 5, QIRA_OK},
      {std::numeric_limits<int64_t>::max(), 8, QIRA_OK},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << c.t << " capacity " << c.capacity);
    uint16_t d[8] = {0x5555, 0x5555, 0x5555, 0x5555, 0x5555, 0x5555, 0x5555, 0x5555};
    uint32_t n = 99;
    EXPECT_EQ(_x_time_t_tointdigits(time_t(c.t), d, c.capacity, &n), c.err);
    if (c.err) {
      EXPECT_EQ(n, 99u) << "count stored on failure";
      EXPECT_EQ(d[0], 0x5555) << "digits stored on failure";
    }
  }
}

TEST(TimeToDate, CountWithoutDigitsIgnoresCapacity) {
  uint32_t n = 0;
  ASSERT_EQ(_x_time_t_tointdigits(kLastFourDigitTime + 1, nullptr, 0, &n), QIRA_OK);
  EXPECT_EQ(n, 5u);
}

TEST(DateToTime, Examples) {
  struct Case {
    const char *microseconds;  // decimal
    int64_t want;              // -1: refused with 30
  };
  const Case cases[] = {
      {"62135596800000000", 0},
      {"62135596800999999", 0},              // microseconds are cut, not rounded
      {"62135596801000000", 1},
      {"62135596799999999", -1},             // just before 1970
      {"0", -1},
      {"4294967295", -1},                    // under 2^32 seconds: centuries too early
      {"64283080447000000", 2147483647},
      {"64283080448000000", 2147483648},  // 2038 is no limit
      {"66238041600000000", 4102444800},     // 2100-01-01
      {"18446744073709551616", kLastFourDigitTime},  // 2^64: five digits
      // The 64-bit time value is the limit.
      {"9223372098990372607999999", std::numeric_limits<int64_t>::max()},
      {"9223372098990372608000000", -1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.microseconds);
    std::vector<uint16_t> d = DigitsOfDecimal(c.microseconds);
    time_t t = 12345;
    uint32_t err = _x_intdigitsto_time_t(d.data(), uint32_t(d.size()), &t);
    if (c.want < 0) {
      EXPECT_EQ(err, QIRA_ERR_RANGE);
      EXPECT_EQ(t, 12345) << "stored on failure";
    } else {
      ASSERT_EQ(err, QIRA_OK);
      EXPECT_EQ(int64_t(t), c.want);
    }
  }
}

TEST(DateToTime, RefusesBadCounts) {
  const uint16_t nine[9] = {0, 0, 0, 0, 0, 0, 0, 0, 1};
  const uint16_t eight[8] = {0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF};
  time_t t = 0;
  EXPECT_EQ(_x_intdigitsto_time_t(nine, 0, &t), QIRA_ERR_RANGE);
  EXPECT_EQ(_x_intdigitsto_time_t(nine, 9, &t), QIRA_ERR_RANGE);
  EXPECT_EQ(_x_intdigitsto_time_t(eight, 8, &t), QIRA_ERR_RANGE);  // beyond time_t
  // Zero digits on top are no harm.
  uint16_t padded[8] = {0xC000, 0xFF2B, 0xBFFE, 0x00DC, 0, 0, 0, 0};
  t = 99;
  EXPECT_EQ(_x_intdigitsto_time_t(padded, 8, &t), QIRA_OK);
  EXPECT_EQ(t, 0);
}

// Both directions against the 64-bit oracle, over a spread of times from 1970
// to the last one the record can hold, with the microseconds of the second
// cut off on the way back.
TEST(TimeDateRoundTrip, ManyTimes) {
  std::vector<int64_t> times;
  for (int64_t k = 0; k < 3000; ++k) times.push_back(k * 1431655);  // to 2106
  for (int64_t t : {int64_t(2147483646), int64_t(2147483647), int64_t(2147483648),
                    int64_t(4294967295), int64_t(4294967296), kLastFourDigitTime})
    times.push_back(t);
  uint32_t seed = std::random_device{}();
  printf("TimeDateRoundTrip seed %" PRIu32 "\n", seed);
  std::mt19937_64 rng(seed);
  std::uniform_int_distribution<int64_t> any(0, kLastFourDigitTime);
  for (int i = 0; i < 2000; ++i) times.push_back(any(rng));

  for (int64_t t : times) {
    SCOPED_TRACE(t);
    uint16_t d[4];
    uint32_t n = 0;
    ASSERT_EQ(_x_time_t_tointdigits(time_t(t), d, 4, &n), QIRA_OK);
    ASSERT_EQ(Digits(d, n), DigitsOfTime(t));
    time_t back = -1;
    ASSERT_EQ(_x_intdigitsto_time_t(d, n, &back), QIRA_OK);
    ASSERT_EQ(int64_t(back), t);
    // 999999 microseconds more still belong to the same second.
    std::vector<uint16_t> more = Digits(d, n);
    uint32_t carry = 999999;
    for (size_t i = 0; carry; ++i) {
      if (i == more.size()) more.push_back(0);
      uint32_t s = uint32_t(more[i]) + (carry & 0xFFFF);
      more[i] = uint16_t(s);
      carry = (carry >> 16) + (s >> 16);
    }
    ASSERT_EQ(_x_intdigitsto_time_t(more.data(), uint32_t(more.size()), &back), QIRA_OK);
    ASSERT_EQ(int64_t(back), t);
  }
}

}  // namespace
