// Byte ranges and the two comparators a TTree is usually given.
//
// A length of all ones means "up to and including the first zero byte"; every
// other length, 0 included, is an exact count.
#include "qira.h"

#include <string.h>

namespace {

constexpr uint32_t kTerminated = 0xFFFFFFFFu;

int32_t sign(int v) { return v > 0 ? 1 : (v < 0 ? -1 : 0); }

// At least one side is terminated: walk both together so the zero byte of a
// terminated side takes part in the comparison.
int32_t cmpwalk(const uint8_t *a, uint32_t alen, const uint8_t *b, uint32_t blen) {
  bool aout = false, bout = false;
  while (!aout && !bout) {
    if (*a != *b) return *a > *b ? 1 : -1;
    const uint8_t matched = *a;
    if (alen == kTerminated) aout = matched == 0;
    else aout = --alen == 0;
    if (blen == kTerminated) bout = matched == 0;
    else bout = --blen == 0;
    ++a;
    ++b;
  }
  if (!aout) return 1;
  if (!bout) return -1;
  return 0;
}

}  // namespace

extern "C" {

QIRA_API void Ram_UBYTE_copy(const void *src, void *dst, uint32_t len) {
  const uint8_t *s = static_cast<const uint8_t *>(src);
  uint8_t *d = static_cast<uint8_t *>(dst);
  if (len == kTerminated) {
    // The terminator is copied too.
    while ((*d++ = *s++) != 0) {
    }
    return;
  }
  // Front to back, so a destination below an overlapping source is safe.
  for (uint32_t i = 0; i < len; ++i) d[i] = s[i];
}

QIRA_API int32_t Ram_UBYTE_cmp(const void *a, uint32_t alen, const void *b, uint32_t blen) {
  // An empty range sorts before anything, even a terminated range holding
  // only its zero byte.
  if (alen == 0) return blen == 0 ? 0 : -1;
  if (blen == 0) return 1;
  const uint8_t *pa = static_cast<const uint8_t *>(a);
  const uint8_t *pb = static_cast<const uint8_t *>(b);
  if (alen != kTerminated && blen != kTerminated) {
    const int32_t r = sign(memcmp(pa, pb, alen < blen ? alen : blen));
    if (r != 0) return r;
    return alen > blen ? 1 : (alen < blen ? -1 : 0);
  }
  return cmpwalk(pa, alen, pb, blen);
}

QIRA_API void Ram_UBYTE_set(void *dst, uint32_t len, uint8_t value) {
  uint8_t *d = static_cast<uint8_t *>(dst);
  for (uint32_t i = 0; i < len; ++i) d[i] = value;
}

QIRA_API int32_t Comp_ptrs(uintptr_t a, uintptr_t b) { return a > b ? 1 : (a < b ? -1 : 0); }

QIRA_API int32_t Comp_ramdescs(uintptr_t a, uintptr_t b) {
  const QiraRamDesc *da = reinterpret_cast<const QiraRamDesc *>(a);
  const QiraRamDesc *db = reinterpret_cast<const QiraRamDesc *>(b);
  return Ram_UBYTE_cmp(da->ptr, da->len, db->ptr, db->len);
}

}  // extern "C"
