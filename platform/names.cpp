// Names between the host's UTF-16 units and native names in the locale's
// multibyte encoding.
//
// Each UTF-16 unit is one wide character on its own: surrogates are not
// paired, so a name holding a character above U+FFFF only travels in the
// bytes-only form (the marker, then one unit per byte).  That form covers a
// whole name and is recognised only by the marker in unit 0.  A native name
// that decodes but begins with U+FFFE travels as bytes too: a leading 0xFFFE
// then always means bytes, and every native name comes back to its own bytes.
//
// A unit 0 is refused in both forms: the native name would end there and
// reach another entry than the one the script named.  Both directions
// measure first and allocate the exact size once.
#include <langinfo.h>
#include <limits.h>
#include <string.h>
#include <wchar.h>

#include "platform/qirafnl.h"
#include "platform/platnames.h"

namespace {

// Largest UTF-16 name handed to the host, in units (1 GiB of units).
constexpr uint32_t kMaxUnits = 0x20000000u;

void clearstate(mbstate_t *st) { Ram_UBYTE_set(st, sizeof(*st), 0); }

// Under UTF-8 and plain ASCII a unit below 0x80 is one byte of the same value
// and back, and such a byte never continues another character.  Most names are
// all such bytes, and the locale's converter costs thousands of instructions a
// character, so these two codesets take the units below 0x80 directly.  Other
// codesets may give those bytes other meanings (shift states, a yen sign), and
// keep the converter for every character.
bool asciiisitself() {
  const char *set = nl_langinfo(CODESET);
  return strcmp(set, "UTF-8") == 0 || strcmp(set, "ANSI_X3.4-1968") == 0;
}

// The bytes-only form back to its bytes: every unit after the marker must be
// a byte value other than 0.
uint32_t bytesonlytonative(const uint16_t *units, uint32_t count, QiraMemGroup *g,
                           char **out) {
  for (uint32_t k = 1; k < count; ++k)
    if (units[k] > 0xFF || units[k] == 0) return QIRA_ERR_CONVERT;
  char *native = static_cast<char *>(Mem_Alloc(g, count));
  if (!native) return QIRA_ERR_NOMEM;
  for (uint32_t k = 1; k < count; ++k) native[k - 1] = char(units[k]);
  native[count - 1] = '\0';
  *out = native;
  return QIRA_OK;
}

// Bytes the locale needs for the units, terminator included.
uint32_t measurenative(const uint16_t *units, uint32_t count, bool ascii, uint32_t *size) {
  mbstate_t st;
  clearstate(&st);
  char scratch[MB_LEN_MAX > 8 ? MB_LEN_MAX : 8];
  uint32_t total = 1;
  for (uint32_t k = 0; k < count; ++k) {
    if (units[k] == 0) return QIRA_ERR_CONVERT;
    size_t n = ascii && units[k] < 0x80 ? 1 : wcrtomb(scratch, wchar_t(units[k]), &st);
    if (n == size_t(-1)) return QIRA_ERR_CONVERT;
    uint32_t next = total + uint32_t(n);
    if (next < total) return QIRA_ERR_TOOLONG;
    total = next;
  }
  *size = total;
  return QIRA_OK;
}

// One character at the front of bytes[0..n): its length, or 0 when the name
// cannot be carried unit by unit (invalid, cut short, or above U+FFFF).
size_t decodeone(const char *bytes, size_t n, bool ascii, mbstate_t *st, uint16_t *unit) {
  if (ascii && uint8_t(*bytes) < 0x80) {
    *unit = uint8_t(*bytes);
    return *bytes ? 1 : 0;
  }
  wchar_t wc = 0;
  size_t used = mbrtowc(&wc, bytes, n, st);
  if (used == size_t(-1) || used == size_t(-2) || used == 0) return 0;
  if (uint32_t(wc) > 0xFFFF) return 0;
  *unit = uint16_t(wc);
  return used;
}

// Units the name decodes to, or false when it must travel as bytes: it does
// not decode, or its first character would read as the marker.
bool countunits(const char *native, size_t n, bool ascii, size_t *count) {
  mbstate_t st;
  clearstate(&st);
  size_t pos = 0, units = 0;
  uint16_t unit = 0;
  while (pos < n) {
    size_t used = decodeone(native + pos, n - pos, ascii, &st, &unit);
    if (!used) return false;
    if (units == 0 && unit == QIRA_BYTES_ONLY_MARKER) return false;
    pos += used;
    ++units;
  }
  *count = units;
  return true;
}

uint32_t bytesonlyform(const char *native, size_t n, QiraMemGroup *g, uint16_t **units_out,
                       uint32_t *count_out) {
  if (n + 1 > kMaxUnits) return QIRA_ERR_TOOLONG;
  uint32_t count = uint32_t(n + 1);
  uint16_t *units = static_cast<uint16_t *>(Mem_Alloc(g, 2 * count));
  if (!units) return QIRA_ERR_NOMEM;
  units[0] = uint16_t(QIRA_BYTES_ONLY_MARKER);
  for (uint32_t k = 0; k < count - 1; ++k) units[k + 1] = uint8_t(native[k]);
  if (units_out) *units_out = units;
  else Mem_Free(units);
  if (count_out) *count_out = count;
  return QIRA_OK;
}

}  // namespace

uint32_t _x_getallocednativechars(const uint16_t *units, uint32_t count, QiraMemGroup *g,
                                  char **native_out) {
  char *native = nullptr;
  if (count >= 1 && units[0] == QIRA_BYTES_ONLY_MARKER) {
    uint32_t err = bytesonlytonative(units, count, g, &native);
    if (err) return err;
  } else {
    const bool ascii = asciiisitself();
    uint32_t size = 0;
    uint32_t err = measurenative(units, count, ascii, &size);
    if (err) return err;
    native = static_cast<char *>(Mem_Alloc(g, size));
    if (!native) return QIRA_ERR_NOMEM;
    mbstate_t st;
    clearstate(&st);
    // The measuring pass fixed the size: the converting pass writes exactly it.
    char *at = native;
    for (uint32_t k = 0; k < count; ++k) {
      if (ascii && units[k] < 0x80) {
        *at++ = char(units[k]);
        continue;
      }
      size_t n = wcrtomb(at, wchar_t(units[k]), &st);
      if (n == size_t(-1)) {
        Mem_Free(native);
        return QIRA_ERR_CONVERT;
      }
      at += n;
    }
    *at = '\0';
  }
  if (native_out) *native_out = native;
  else Mem_Free(native);
  return QIRA_OK;
}

uint32_t _x_getallocedtarvochars(const char *native, QiraMemGroup *g, uint16_t **units_out,
                                 uint32_t *count_out) {
  size_t n = 0;
  while (native[n]) ++n;
  const bool ascii = asciiisitself();
  size_t count = 0;
  if (!countunits(native, n, ascii, &count)) return bytesonlyform(native, n, g, units_out, count_out);
  if (count == 0) {
    if (units_out) *units_out = nullptr;
    if (count_out) *count_out = 0;
    return QIRA_OK;
  }
  if (count > kMaxUnits) return QIRA_ERR_TOOLONG;
  uint16_t *units = static_cast<uint16_t *>(Mem_Alloc(g, uint32_t(2 * count)));
  if (!units) return QIRA_ERR_NOMEM;
  mbstate_t st;
  clearstate(&st);
  size_t pos = 0;
  for (size_t k = 0; k < count; ++k) {
    size_t used = decodeone(native + pos, n - pos, ascii, &st, &units[k]);
    if (!used) {
      Mem_Free(units);
      return QIRA_ERR_CONVERT;
    }
    pos += used;
  }
  if (units_out) *units_out = units;
  else Mem_Free(units);
  if (count_out) *count_out = uint32_t(count);
  return QIRA_OK;
}

uint32_t qira_platspec_lastname(const char *native, QiraMemGroup *g, uint16_t **units_out,
                                uint32_t *count_out) {
  const char *last = native;
  for (const char *p = native; *p; ++p)
    if (*p == '/') last = p + 1;
  return _x_getallocedtarvochars(last, g, units_out, count_out);
}
