// UTF-16 names to native names and back.  Input: a locale byte (odd: C.UTF-8,
// even: C), then UTF-16 units, little-endian.
//
// A name that converts must come back unit for unit, unless it holds a unit
// 0 (the native name ends there) or carries bytes (the whole name in the
// bytes-only form, checked byte by byte, or a component after a separator
// that starts with the marker).  Its native name must survive the way back
// and forth again.  Nothing may stay allocated after either outcome.
#include <vector>

#include "fuzz/names_common.h"

namespace {

// A component after a separator that starts with the marker carries bytes:
// such units name the same bytes as others, so only the bytes come back.
bool MarkedComponent(const std::vector<uint16_t> &units) {
  for (size_t k = 1; k < units.size(); ++k)
    if (units[k - 1] == '/' && units[k] == QIRA_BYTES_ONLY_MARKER) return true;
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fz::Reader in(data, size);
  fz::UseLocale(in.u8() & 1);
  std::vector<uint16_t> units(in.left() / 2);
  for (uint16_t &u : units) u = in.u16();
  const uint32_t count = uint32_t(units.size());

  fz::Group g;
  char *native = reinterpret_cast<char *>(0x1);
  const uint32_t err = _x_getallocednativechars(units.data(), count, g, &native);
  if (err != QIRA_OK) {
    FUZZ_CHECK(err == QIRA_ERR_CONVERT);
    FUZZ_CHECK(native == reinterpret_cast<char *>(0x1));
    FUZZ_CHECK(g.Empty());
    return 0;
  }

  const size_t len = strlen(native);
  size_t firstzero = count;
  for (size_t k = 0; k < count; ++k)
    if (units[k] == 0) {
      firstzero = k;
      break;
    }
  if (count >= 1 && units[0] == QIRA_BYTES_ONLY_MARKER) {
    // One byte per unit after the marker, up to the first zero unit.
    size_t stop = count;
    for (size_t k = 1; k < count; ++k)
      if (units[k] == 0) {
        stop = k;
        break;
      }
    FUZZ_CHECK(len == stop - 1);
    for (size_t k = 0; k < len; ++k) FUZZ_CHECK(uint8_t(native[k]) == units[k + 1]);
  } else if (firstzero == count && !MarkedComponent(units)) {
    uint16_t *back = nullptr;
    uint32_t backcount = 0;
    FUZZ_CHECK(_x_getallocedtarvochars(native, g, &back, &backcount) == QIRA_OK);
    FUZZ_CHECK(backcount == count);
    FUZZ_CHECK(count == 0 || memcmp(back, units.data(), count * sizeof(uint16_t)) == 0);
    if (back) Mem_Free(back);
  } else {
    // The operating system sees the name up to the zero unit, and nothing of it.
    char *prefix = nullptr;
    FUZZ_CHECK(_x_getallocednativechars(units.data(), uint32_t(firstzero), g, &prefix) ==
               QIRA_OK);
    FUZZ_CHECK(strcmp(prefix, native) == 0);
    Mem_Free(prefix);
  }
  fz::CheckNativeRoundTrip(native, g);
  Mem_Free(native);
  FUZZ_CHECK(g.Empty());
  return 0;
}
