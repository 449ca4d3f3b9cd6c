// The one name conversion the object layer asks for directly.  Inside the
// module only (hidden like everything not marked QIRA_API).
#pragma once

#include "qira.h"

// The last component of a native name (everything after its last "/", or all
// of it when there is none) converted on its own: text, or the bytes-only
// form when it does not decode or begins with U+FFFE.  So the `name` a script
// reads always leads back to the same bytes.  The empty component gives a
// null pointer and the count 0.  Codes: 1, 28, 81.
[[nodiscard]] uint32_t qira_platspec_lastname(const char *native, QiraMemGroup *g,
                                              uint16_t **units_out, uint32_t *count_out);
