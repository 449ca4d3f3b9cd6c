// Lookup in ID-to-text tables such as the entry-type table.
#include "qira.h"

extern "C" QIRA_API uint32_t TARVOIdedStr_GetIdedStr(const QiraIdStr *rows, uint32_t count,
                                                     uint32_t id, const QiraIdStr **row_out) {
  if (!rows) return QIRA_ERR_NOTFOUND;
  for (uint32_t i = 0; i < count; ++i) {
    if (rows[i].id != id) continue;
    if (row_out) *row_out = &rows[i];
    return QIRA_OK;
  }
  return QIRA_ERR_NOTFOUND;
}
