// Shared by the fuzz targets: a reader that turns the fuzzer's bytes into
// choices, a heap group that knows whether everything was given back, and a
// check that stops the run with a message (libFuzzer keeps the input).
#pragma once

#include <locale.h>
#include <stdio.h>
#include <stdlib.h>

#include <cstdint>
#include <cstring>

#include "qira.h"

#define FUZZ_CHECK(cond)                                                    \
  do {                                                                      \
    if (!(cond)) {                                                          \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      abort();                                                              \
    }                                                                       \
  } while (0)

namespace fz {

// Reads fixed-width values from the input; past its end every read is 0, so
// a short input is simply a stream that ends early.
class Reader {
 public:
  Reader(const uint8_t *data, size_t size) : p_(data), left_(size) {}
  bool empty() const { return left_ == 0; }
  size_t left() const { return left_; }
  const uint8_t *here() const { return p_; }
  uint8_t u8() {
    if (!left_) return 0;
    --left_;
    return *p_++;
  }
  uint16_t u16() { return uint16_t(u8() | (u8() << 8)); }
  uint32_t u32() { return uint32_t(u16()) | (uint32_t(u16()) << 16); }
  uint64_t u64() { return uint64_t(u32()) | (uint64_t(u32()) << 32); }

 private:
  const uint8_t *p_;
  size_t left_;
};

// A heap group of its own; Empty() tells whether every block came back.
class Group {
 public:
  Group() { FUZZ_CHECK(Mem_GroupGet(nullptr, QIRA_GROUP_HEAP, 0, &g_) == QIRA_OK); }
  ~Group() { Mem_GroupFree(g_); }
  Group(const Group &) = delete;
  Group &operator=(const Group &) = delete;
  operator QiraMemGroup *() const { return g_; }
  bool Empty() const { return g_->list.next == &g_->list; }

 private:
  QiraMemGroup *g_ = nullptr;
};

// Switches the character-type category only when it changes: setlocale is
// slow enough to dominate a run otherwise.
inline void UseLocale(bool utf8) {
  static int current = -1;
  if (current == int(utf8)) return;
  FUZZ_CHECK(setlocale(LC_CTYPE, utf8 ? "C.UTF-8" : "C") != nullptr);
  current = int(utf8);
}

}  // namespace fz
