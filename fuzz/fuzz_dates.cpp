// Date values and file times, both directions, against 128-bit arithmetic.
// Input: a mode byte; then a time value (8 bytes) and a capacity (even
// mode), or a digit count and digits (odd mode).
#include <limits>

#include "fuzz/fuzzutil.h"
#include "platform/qirafnl.h"

namespace {

using u128 = unsigned __int128;

constexpr uint64_t kEpoch = 62135596800ull;  // seconds from 0001-01-01 to 1970-01-01
constexpr uint64_t kMicro = 1000000ull;
constexpr uint32_t kMaxDigits = 8;

uint32_t todigits(u128 v, uint16_t *d) {
  uint32_t n = 0;
  for (; v; v >>= 16) d[n++] = uint16_t(v);
  return n;
}

u128 fromdigits(const uint16_t *d, uint32_t n) {
  u128 v = 0;
  for (uint32_t i = n; i-- > 0;) v = (v << 16) | d[i];
  return v;
}

// A time value to a date value, then back.
void timetodate(fz::Reader &in) {
  const time_t t = time_t(in.u64());
  const uint32_t capacity = in.u8() % (kMaxDigits + 2);
  uint16_t digits[kMaxDigits + 2] = {};
  uint32_t count = 0xDEAD;
  const uint32_t err = _x_time_t_tointdigits(t, digits, capacity, &count);
  // Before 0001-01-01 there is no date value; after it, also before 1970,
  // the date counts exactly.
  if (t < -int64_t(kEpoch)) {
    FUZZ_CHECK(err == QIRA_ERR_DIGITS && count == 0xDEAD);
    return;
  }
  uint16_t want[kMaxDigits + 1];
  const u128 secs = t < 0 ? u128(uint64_t(int64_t(t) + int64_t(kEpoch))) : u128(uint64_t(t)) + kEpoch;
  const uint32_t wantcount = todigits(secs * kMicro, want);
  if (wantcount > capacity) {
    FUZZ_CHECK(err == QIRA_ERR_DIGITS && count == 0xDEAD);
    return;
  }
  FUZZ_CHECK(err == QIRA_OK && count == wantcount);
  FUZZ_CHECK(memcmp(digits, want, count * sizeof(uint16_t)) == 0);
  for (uint32_t i = count; i < capacity; ++i) FUZZ_CHECK(digits[i] == 0);  // nothing past it

  // The way back refuses dates before 1970 (30), as setdates does.
  time_t back = -1;
  const uint32_t backerr = _x_intdigitsto_time_t(digits, count, &back);
  if (t < 0) {
    FUZZ_CHECK(backerr == QIRA_ERR_RANGE && back == -1);
    return;
  }
  FUZZ_CHECK(backerr == QIRA_OK);
  FUZZ_CHECK(back == t);
}

// A date value to a time value, then back to the whole second.
void datetotime(fz::Reader &in) {
  const uint32_t count = in.u8() % (kMaxDigits + 3);
  uint16_t digits[kMaxDigits + 2] = {};
  for (uint32_t i = 0; i < count; ++i) digits[i] = in.u16();
  uint16_t saved[kMaxDigits + 2];
  memcpy(saved, digits, sizeof(digits));

  time_t t = 12345;
  const uint32_t err = _x_intdigitsto_time_t(digits, count, &t);
  FUZZ_CHECK(memcmp(saved, digits, sizeof(digits)) == 0);  // the input is not touched

  bool valid = count <= kMaxDigits;
  u128 seconds = 0;
  if (valid) {
    seconds = fromdigits(digits, count) / kMicro;
    valid = seconds >= kEpoch &&
            seconds - kEpoch <= u128(uint64_t(std::numeric_limits<time_t>::max()));
  }
  if (!valid) {
    FUZZ_CHECK(err == QIRA_ERR_RANGE && t == 12345);
    return;
  }
  FUZZ_CHECK(err == QIRA_OK);
  FUZZ_CHECK(u128(uint64_t(t)) == seconds - kEpoch);

  uint16_t again[kMaxDigits];
  uint32_t againcount = 0;
  FUZZ_CHECK(_x_time_t_tointdigits(t, again, kMaxDigits, &againcount) == QIRA_OK);
  FUZZ_CHECK(fromdigits(again, againcount) == seconds * kMicro);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fz::Reader in(data, size);
  if (in.u8() & 1)
    datetotime(in);
  else
    timetodate(in);
  return 0;
}
