// Fetching the host's function table: every ID the module may need, asked once
// per constructor call, so that methods afterwards index a plain array.
#include "qira.h"

namespace {

// The IDs in slot order; the QIRA_API_* slot indices count along this list.
constexpr uint32_t kHostApiIds[] = {QIRA_HOSTAPI_IDS};
static_assert(sizeof(kHostApiIds) / sizeof(kHostApiIds[0]) == QIRA_HOSTAPI_COUNT);
static_assert(kHostApiIds[QIRA_API_NEWOBJ] == 100 && kHostApiIds[QIRA_API_ADDREF] == 105 &&
              kHostApiIds[QIRA_API_NOTEVAR] == 107 && kHostApiIds[QIRA_API_TYPEOF] == 108 &&
              kHostApiIds[QIRA_API_RESOLVEVAR] == 110 && kHostApiIds[QIRA_API_SETPROP] == 112 &&
              kHostApiIds[QIRA_API_REGTYPE] == 130 && kHostApiIds[QIRA_API_PARAMPOS] == 140 &&
              kHostApiIds[QIRA_API_NOVALUE] == 200 && kHostApiIds[QIRA_API_DELIVER] == 210 &&
              kHostApiIds[QIRA_API_DROP] == 211 && kHostApiIds[QIRA_API_COMPLETE] == 220 &&
              kHostApiIds[QIRA_API_GETBOOL] == 300 && kHostApiIds[QIRA_API_GETSTR] == 303 &&
              kHostApiIds[QIRA_API_GETINT] == 304 && kHostApiIds[QIRA_API_FREEVAL] == 400 &&
              kHostApiIds[QIRA_API_MKBOOL] == 401 && kHostApiIds[QIRA_API_MKU32] == 402 &&
              kHostApiIds[QIRA_API_MKINT] == 404 && kHostApiIds[QIRA_API_MKSTR] == 405 &&
              kHostApiIds[QIRA_API_TOINT] == 430,
              "slot indices follow the fetch order");

// Stores the getter's function for `id` into `slot`; 45 when the host has none.
[[nodiscard]] uint32_t _x_getapifunc(QiraGetterFn getter, uint32_t id, QiraHostFn *slot) {
  const QiraHostFn fn = getter(id);
  if (!fn) return QIRA_ERR_NOHOSTFUNC;
  *slot = fn;
  return QIRA_OK;
}

}  // namespace

// All 75 slots are required: a host that lacks any of them is refused before
// a method could run into the gap halfway through its work.
extern "C" QIRA_API uint32_t TARVO_GetExternalApiFuncs(QiraProvider *provider,
                                                       QiraHostFn *table) {
  if (!provider || !provider->getter || !table) return QIRA_ERR_NOHOSTFUNC;
  for (uint32_t i = 0; i < QIRA_HOSTAPI_COUNT; ++i) {
    const uint32_t rc = _x_getapifunc(provider->getter, kHostApiIds[i], &table[i]);
    if (rc != QIRA_OK) return rc;
  }
  return QIRA_OK;
}
