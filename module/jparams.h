// Small pieces shared by the argument and property helpers.  Internal.
#pragma once

#include "qira.h"

// The host function in `slot` of the table as its shape, or null when the
// table or the slot is empty: every caller turns null into 45.
template <typename Shape>
[[nodiscard]] inline Shape _x_hostapi(const QiraHostFn *table, uint32_t slot) {
  return table ? reinterpret_cast<Shape>(table[slot]) : nullptr;
}
