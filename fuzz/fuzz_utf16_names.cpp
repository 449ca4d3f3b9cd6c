// UTF-16 names to native names and back.  Input: a locale byte (odd: C.UTF-8,
// even: C), then UTF-16 units, little-endian.
//
// A name that converts must come back unit for unit, unless it carries bytes
// (the bytes-only form, checked byte by byte).  A unit 0 anywhere is refused:
// the native name would end there and name another entry.  Its native name
// must survive the way back and forth again.  Nothing may stay allocated
// after either outcome.
#include <vector>

#include "fuzz/names_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fz::Reader in(data, size);
  fz::UseLocale(in.u8() & 1);
  std::vector<uint16_t> units(in.left() / 2);
  for (uint16_t &u : units) u = in.u16();
  const uint32_t count = uint32_t(units.size());
  bool haszero = false;
  for (uint16_t u : units) haszero = haszero || u == 0;

  fz::Group g;
  char *native = reinterpret_cast<char *>(0x1);
  const uint32_t err = _x_getallocednativechars(units.data(), count, g, &native);
  if (err != QIRA_OK) {
    FUZZ_CHECK(err == QIRA_ERR_CONVERT);
    FUZZ_CHECK(native == reinterpret_cast<char *>(0x1));
    FUZZ_CHECK(g.Empty());
    return 0;
  }
  FUZZ_CHECK(!haszero);

  const size_t len = strlen(native);
  if (count >= 1 && units[0] == QIRA_BYTES_ONLY_MARKER) {
    FUZZ_CHECK(len == count - 1u);
    for (size_t k = 0; k < len; ++k) FUZZ_CHECK(uint8_t(native[k]) == units[k + 1]);
  } else {
    uint16_t *back = nullptr;
    uint32_t backcount = 0;
    FUZZ_CHECK(_x_getallocedtarvochars(native, g, &back, &backcount) == QIRA_OK);
    FUZZ_CHECK(backcount == count);
    FUZZ_CHECK(count == 0 || memcmp(back, units.data(), count * sizeof(uint16_t)) == 0);
    if (back) Mem_Free(back);
  }
  fz::CheckNativeRoundTrip(native, g);
  Mem_Free(native);
  FUZZ_CHECK(g.Empty());
  return 0;
}
