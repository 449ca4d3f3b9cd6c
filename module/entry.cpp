// The entry function the host looks up by name, and the five small answers it
// hands out: the module's single reference, its symbols and its version text.
// Everything here reads constant data only.
#include "module/qiratyp.h"

namespace {

// The module's version as the host shows it; x_xx_xxx_VersionString always
// writes kVersionTextLen code units.
constexpr uint32_t kVersionMajor = 1, kVersionMinor = 0, kVersionBuild = 1;
constexpr uint32_t kVersionTextLen = 8;

// The module holds exactly one reference, at index 1, whose value is 0.
constexpr uint32_t kRefCount = 1, kRefIndex = 1, kRefValue = 0;

// Module function IDs the host asks TARVO for.
enum ModuleFnId : int32_t {
  kIdGetRefCount = 100,
  kIdGetRef = 101,
  kIdGetSymCount = 102,
  kIdGetSymbol = 103,
  kIdAddTypes = 104,
  kIdGetVersion = 110,
};

template <typename Fn>
QiraHostFn _x_hostfn(Fn fn) {
  return reinterpret_cast<QiraHostFn>(fn);
}

}  // namespace

extern "C" QIRA_API QiraHostFn TARVO(int32_t id) {
  switch (id) {
    case kIdGetRefCount: return _x_hostfn(TARVOQIRA_GetRefCount);
    case kIdGetRef: return _x_hostfn(TARVOQIRA_GetRef);
    case kIdGetSymCount: return _x_hostfn(TARVOQIRA_GetSymCount);
    case kIdGetSymbol: return _x_hostfn(TARVOQIRA_GetSymbol);
    case kIdAddTypes: return _x_hostfn(TARVOQIRA_AddTypes);
    case kIdGetVersion: return _x_hostfn(TARVO_GetVersion);
    default: return nullptr;  // 105 to 109 included: reserved, nothing behind them
  }
}

extern "C" QIRA_API uint32_t TARVOQIRA_GetRefCount(void) { return kRefCount; }

extern "C" QIRA_API uint32_t TARVOQIRA_GetRef(uint32_t index, uint32_t *out) {
  if (index != kRefIndex) return QIRA_ERR_RANGE;
  if (out) *out = kRefValue;
  return QIRA_OK;
}

extern "C" QIRA_API uint32_t TARVOQIRA_GetSymCount(void *ctx, uint32_t *out) {
  (void)ctx;
  if (out) *out = QIRA_SYMBOL_COUNT;
  return QIRA_OK;
}

extern "C" QIRA_API uint32_t TARVOQIRA_GetSymbol(void *ctx, uint32_t index, QiraNameDesc *out) {
  (void)ctx;
  if (index == 0 || index > QIRA_SYMBOL_COUNT) return QIRA_ERR_RANGE;
  if (out) *out = name_descs[index - 1];
  return QIRA_OK;
}

// A buffer too small still learns the length it needs from the same call.
extern "C" QIRA_API uint32_t TARVO_GetVersion(void *ctx, uint16_t *buffer, uint32_t capacity,
                                              uint32_t *len_out) {
  (void)ctx;
  uint32_t rc = QIRA_OK;
  if (capacity < kVersionTextLen)
    rc = QIRA_ERR_TOOLONG;
  else if (buffer)
    x_xx_xxx_VersionString(buffer, kVersionMajor, kVersionMinor, kVersionBuild);
  if (len_out) *len_out = kVersionTextLen;
  return rc;
}
