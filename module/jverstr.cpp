// Version text: three fixed-width decimal fields, 1.00.001 for the module.
#include "qira.h"

namespace {

constexpr char16_t digits[] = u"0123456789";
constexpr char16_t invalid_digit = u'#';
constexpr char16_t dot = u'.';

// Writes `value` as `width` decimal digits with leading zeros, most significant
// first; a value that does not fit fills the whole field with the invalid digit
// rather than showing a truncated number.
void _x_field(uint16_t *out, uint32_t width, uint32_t limit, uint32_t value) {
  if (value > limit) {
    for (uint32_t i = 0; i < width; ++i) out[i] = invalid_digit;
    return;
  }
  for (uint32_t i = width; i-- > 0;) {
    out[i] = digits[value % 10];
    value /= 10;
  }
}

}  // namespace

// Exactly 8 code units, no terminator: M.mm.bbb.
extern "C" QIRA_API void x_xx_xxx_VersionString(uint16_t *buffer, uint32_t major,
                                                uint32_t minor, uint32_t build) {
  if (!buffer) return;
  _x_field(buffer, 1, 9, major);
  buffer[1] = dot;
  _x_field(buffer + 2, 2, 99, minor);
  buffer[4] = dot;
  _x_field(buffer + 5, 3, 999, build);
}
