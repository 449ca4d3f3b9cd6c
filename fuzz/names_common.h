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
// size, and gives the same bytes unless the name decodes to a first
// character U+FFFE (which the way back takes for the bytes-only marker).
// Components that do not decode may travel as bytes, the whole name or each
// such component after a separator on its own: either way the bytes return.
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
  const bool bytesonly = IsBytesOnlyOf(units, count, native);
  char *back = nullptr;
  const uint32_t err = _x_getallocednativechars(units, count, g, &back);
  if (bytesonly || units[0] != QIRA_BYTES_ONLY_MARKER) {
    FUZZ_CHECK(err == QIRA_OK);
    FUZZ_CHECK(strcmp(back, native) == 0);
  }
  if (err == QIRA_OK) Mem_Free(back);
  Mem_Free(units);
}

}  // namespace fz
