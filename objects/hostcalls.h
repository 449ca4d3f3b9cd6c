// Every call objects/ makes into the host, one typed helper per host function.
// The tables handed in come from an API block or from a fetch that has just
// succeeded, and a fetch that leaves any slot empty fails with 45: no slot
// is null here, so the helpers do not test for it.  Internal.
#pragma once

#include "module/jparams.h"

// 105 and 106 answer with nothing we could act on: a count is only ever
// added to an object we already hold, and a release that failed could not be
// taken back.  Their results are dropped here, and only here.
inline void _x_addref(QiraHostFn *table, void *obj) {
  (void)_x_hostapi<QiraHost_Ref>(table, QIRA_API_ADDREF)(obj);
}

// The release function of an API block, taken before anything is released:
// the last release can free the block it lives in.
[[nodiscard]] inline QiraHost_Ref _x_releasefn(const QiraApiBlock *api) {
  return _x_hostapi<QiraHost_Ref>(api->api, QIRA_API_RELEASE);
}

// Releases one reference through a release function; a null object holds none.
inline void _x_releasewith(QiraHost_Ref release, void *obj) {
  if (obj) (void)release(obj);
}

inline void _x_release(QiraHostFn *table, void *obj) {
  _x_releasewith(_x_hostapi<QiraHost_Ref>(table, QIRA_API_RELEASE), obj);
}

// A new object of `type` (host API 100); the reference's second word is ours to set.
[[nodiscard]] inline uint32_t _x_newobj(QiraHostFn *table, QiraTypeRecord *type,
                                        QiraObjRef *ref) {
  return _x_hostapi<QiraHost_NewObj>(table, QIRA_API_NEWOBJ)(type, ref);
}

// The type record of an object (host API 108), or null.
[[nodiscard]] inline QiraTypeRecord *_x_typeof(QiraHostFn *table, const QiraObjRef *ref) {
  return _x_hostapi<QiraHost_TypeOf>(table, QIRA_API_TYPEOF)(ref);
}

// 1-based argument positions of the `count` names of `descs`, 0 for each one
// not given (host API 140).
[[nodiscard]] inline uint32_t _x_positions(QiraHostFn *table, uint32_t *pos,
                                           const QiraNameDesc *descs, uint32_t count,
                                           uint32_t argc, QiraArgSlot *slots) {
  return _x_hostapi<QiraHost_ParamPos>(table, QIRA_API_PARAMPOS)(pos, descs, count, argc, slots);
}

// The call yields no value (host API 200).  Whatever the host answers, the
// method's own outcome is already decided when it says so, so the answer is
// not the call's.
inline void _x_novalue(QiraHostFn *table, void *callctx, QiraResult *result) {
  QiraValue scratch;
  (void)_x_hostapi<QiraHost_NoValue>(table, QIRA_API_NOVALUE)(callctx, result, 0, &scratch);
}

// Makes `object` the call's value through the host's deliver/drop pair (210,
// 211) in the result record; the reference travels with it.  Nothing without
// a result record.
inline void _x_handback(QiraHostFn *table, QiraResult *result, void *object) {
  if (!result) return;
  result->block = _x_hostapi<QiraBlockFn>(table, QIRA_API_DELIVER);
  result->term = _x_hostapi<QiraBlockFn>(table, QIRA_API_DROP);
  result->data = object;
}

// A block ends by delivering `object` as the call's value (210) ...
[[nodiscard]] inline uint32_t _x_deliver(QiraHostFn *table, void *blockctx, void *object) {
  return _x_hostapi<QiraBlockFn>(table, QIRA_API_DELIVER)(blockctx, object);
}

// ... or with no value (220).
[[nodiscard]] inline uint32_t _x_complete(QiraHostFn *table, void *blockctx) {
  return _x_hostapi<QiraBlockFn>(table, QIRA_API_COMPLETE)(blockctx, nullptr);
}

// A string value in host memory (405), the caller's.
[[nodiscard]] inline uint32_t _x_mkstr(QiraHostFn *table, QiraModuleCtx *mc, QiraValue *out,
                                       const uint16_t *chars, uint32_t len) {
  return _x_hostapi<QiraHost_MkStr>(table, QIRA_API_MKSTR)(mc, out, chars, len);
}

// Stores a failure code into the script's `error` variable.
[[nodiscard]] inline uint32_t _x_storeerror(QiraHostFn *table, QiraModuleCtx *mc,
                                            const QiraObjRef &error, uint32_t code) {
  return TARVOUtil_SetObjVxu32int(table, mc, &error, code, 0);
}
