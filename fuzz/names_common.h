// The round-trip rules both name targets check, independent of the locale.
#pragma once

#include "fuzz/fuzzutil.h"
#include "platform/qirafnl.h"

namespace fz {

// True when units are the bytes-only form of the native name.
inline bool IsBytesOnlyOf(const uint16_t *units, uint32_t count, const char *native) {
  const size_t len = strlen(native);
  if (count != len + 1 || units[0] != QIRA_BYTES_ONLY_MARKER) return false;
  for (size_t k = 0; k < len; ++k)
    if (units[k + 1] != uint8_t(native[k])) return false;
  return true;
}

// A native name to UTF-16 and back: always succeeds for a name of fuzzer
// size and gives the same bytes, also for a name that begins with U+FFFE.
// The bytes-only form covers the whole name and is used exactly when the
// name does not decode or begins with U+FFFE; text never starts with the
// marker.
inline void CheckNativeRoundTrip(const char *native, QiraMemGroup *g) {
  uint16_t *units = nullptr;
  uint32_t count = 0xDEAD;
  FUZZ_CHECK(_x_getallocedtarvochars(native, g, &units, &count) == QIRA_OK);
  if (!*native) {
    FUZZ_CHECK(units == nullptr && count == 0);
    return;
  }
  FUZZ_CHECK(units != nullptr && count >= 1);
  for (uint32_t k = 0; k < count; ++k) FUZZ_CHECK(units[k] != 0);  // nothing cuts it short
  FUZZ_CHECK(units[0] != QIRA_BYTES_ONLY_MARKER || IsBytesOnlyOf(units, count, native));
  char *back = nullptr;
  FUZZ_CHECK(_x_getallocednativechars(units, count, g, &back) == QIRA_OK);
  FUZZ_CHECK(strcmp(back, native) == 0);
  Mem_Free(back);
  Mem_Free(units);
}

}  // namespace fz
