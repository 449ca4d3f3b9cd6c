// Native names to UTF-16 and back.  Input: a locale byte (odd: C.UTF-8,
// even: C), then the name's bytes up to the first zero byte.
//
// Every native name reaches the host, decoded or in the bytes-only form, and
// the host's units bring back exactly the same bytes.
#include <string>

#include "fuzz/names_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fz::Reader in(data, size);
  fz::UseLocale(in.u8() & 1);
  const std::string native(reinterpret_cast<const char *>(in.here()),
                           strnlen(reinterpret_cast<const char *>(in.here()), in.left()));
  fz::Group g;
  fz::CheckNativeRoundTrip(native.c_str(), g);
  FUZZ_CHECK(g.Empty());
  return 0;
}
