// File times (seconds since 1970) and date values (microseconds since
// 0001-01-01 as 16-bit digits, least significant first).
//
// The digit loops use 32-bit arithmetic only: a digit times 100 plus a carry,
// or a remainder times 65536 plus a digit, always fits.  Only splitting and
// building the time value itself touches 64 bits, because time_t is 64 bits
// wide in both builds and dates after 2038 must survive the round trip.
#include <limits>

#include "platform/qirafnl.h"

namespace {

// Digits of the working numbers; a date value never needs more.
constexpr uint32_t kMaxDigits = 8;
// Seconds from 0001-01-01 to 1970-01-01 (719162 days): 62135596800, i.e. the
// bytes 00 F7 91 77 0E, as 16-bit digits.
constexpr uint16_t kSecondsTillEpoch[] = {0xF700, 0x7791, 0x000E};
constexpr uint32_t kEpochDigits = 3;
constexpr int64_t kEpochSeconds = 62135596800;
// Microseconds per second, applied as three steps of 100 to stay in 32 bits.
constexpr uint32_t kStep = 100;
constexpr uint32_t kSteps = 3;

struct Number {
  uint16_t d[kMaxDigits];
  uint32_t n;
};

// Adds a value at digit position pos; the carry walks upwards.
[[nodiscard]] bool addat(Number *x, uint32_t pos, uint32_t add) {
  while (add) {
    while (x->n <= pos) {
      if (x->n == kMaxDigits) return false;
      x->d[x->n++] = 0;
    }
    uint32_t sum = uint32_t(x->d[pos]) + add;
    x->d[pos] = uint16_t(sum);
    add = sum >> 16;
    ++pos;
  }
  return true;
}

[[nodiscard]] bool multiply(Number *x, uint32_t factor) {
  uint32_t carry = 0;
  for (uint32_t i = 0; i < x->n; ++i) {
    uint32_t sum = carry + uint32_t(x->d[i]) * factor;
    x->d[i] = uint16_t(sum);
    carry = sum >> 16;
  }
  if (!carry) return true;
  if (x->n == kMaxDigits) return false;
  x->d[x->n++] = uint16_t(carry);
  return true;
}

// Long division from the top; the remainder is dropped (cut, not rounded).
void divide(Number *x, uint32_t divisor) {
  uint32_t rem = 0;
  for (uint32_t i = x->n; i-- > 0;) {
    uint32_t sum = (rem << 16) | x->d[i];
    x->d[i] = uint16_t(sum / divisor);
    rem = sum % divisor;
  }
}

void trim(Number *x) {
  while (x->n && x->d[x->n - 1] == 0) --x->n;
}

// Subtracts the epoch offset; false when the number is smaller (before 1970).
[[nodiscard]] bool subtractepoch(Number *x) {
  uint32_t borrow = 0;
  for (uint32_t i = 0; i < x->n; ++i) {
    uint32_t sub = (i < kEpochDigits ? kSecondsTillEpoch[i] : 0u) + borrow;
    uint32_t digit = x->d[i];
    borrow = digit < sub;
    x->d[i] = uint16_t(digit + (borrow << 16) - sub);
  }
  return borrow == 0;
}

}  // namespace

uint32_t _x_time_t_tointdigits(time_t t, uint16_t *digits, uint32_t capacity,
                               uint32_t *count_out) {
  Number x;
  x.n = 0;
  int64_t rest = int64_t(t);
  if (rest < 0) {
    // Before 1970 the offset is added first, so only a value of 0 or more is
    // ever split; before 0001-01-01 there is no date value at all.
    if (rest < -kEpochSeconds) return QIRA_ERR_DIGITS;
    rest += kEpochSeconds;
  }
  while (rest != 0 && x.n < kMaxDigits) {
    x.d[x.n++] = uint16_t(uint64_t(rest) & 0xFFFF);
    rest >>= 16;
  }
  if (rest != 0) return QIRA_ERR_DIGITS;
  if (int64_t(t) >= 0) {
    for (uint32_t j = 0; j < kEpochDigits; ++j)
      if (!addat(&x, j, kSecondsTillEpoch[j])) return QIRA_ERR_DIGITS;
  }
  for (uint32_t s = 0; s < kSteps; ++s)
    if (!multiply(&x, kStep)) return QIRA_ERR_DIGITS;
  if (digits) {
    if (x.n > capacity) return QIRA_ERR_DIGITS;
    for (uint32_t i = 0; i < x.n; ++i) digits[i] = x.d[i];
  }
  if (count_out) *count_out = x.n;
  return QIRA_OK;
}

uint32_t _x_intdigitsto_time_t(const uint16_t *digits, uint32_t count, time_t *t_out) {
  if (count > kMaxDigits) return QIRA_ERR_RANGE;
  Number x;
  x.n = count;
  for (uint32_t i = 0; i < count; ++i) x.d[i] = digits[i];
  for (uint32_t s = 0; s < kSteps; ++s) divide(&x, kStep);
  trim(&x);
  // Fewer seconds than 2^32 lie centuries before 1970.
  if (x.n < kEpochDigits) return QIRA_ERR_RANGE;
  if (!subtractepoch(&x)) return QIRA_ERR_RANGE;
  trim(&x);
  constexpr uint64_t kMax = uint64_t(std::numeric_limits<time_t>::max());
  uint64_t value = 0;
  for (uint32_t i = x.n; i-- > 0;) {
    if (value > (kMax >> 16)) return QIRA_ERR_RANGE;
    value = (value << 16) | x.d[i];
  }
  if (t_out) *t_out = time_t(value);
  return QIRA_OK;
}
