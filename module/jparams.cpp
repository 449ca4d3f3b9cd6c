// Argument readers, the private-data accessor, and the property and variable
// writers every method uses.  Each is a thin wrapper around one to three host
// calls; what it adds is the checks and the codes.  Outputs are written only
// on success.
#include "module/jparams.h"

namespace {

// A host flag counts as set only when it is exactly 1.
constexpr uint16_t kFlagSet = 1;

// A u32 fits in two 16-bit digits.
constexpr uint32_t kMaxU32Digits = 2;
constexpr uint32_t kDigitBits = 16;

// The argument slot at a 1-based position; null when the argument was not
// given (position 0) or there are no slots at all.
QiraArgSlot *_x_slot(QiraArgSlot *slots, uint32_t pos) {
  if (pos == 0 || !slots) return nullptr;
  return slots + (pos - 1);
}

// Shared tail of the property writers, once the value is built.  When the
// host refuses the property and the value holds host memory (`freevalue`),
// the value is handed back to the host so that nothing it allocated is lost.
[[nodiscard]] uint32_t _x_setprop(QiraHostFn *table, const QiraObjRef *ref, uint32_t symbol,
                                  uint32_t tag, QiraValue *value, uint16_t flag,
                                  bool freevalue) {
  const auto setprop = _x_hostapi<QiraHost_SetProp>(table, QIRA_API_SETPROP);
  const auto freeval = _x_hostapi<QiraHost_FreeVal>(table, QIRA_API_FREEVAL);
  const uint32_t rc = setprop(ref->obj, ref->word, symbol, tag, value, flag);
  if (rc != QIRA_OK && freevalue) (void)freeval(tag, value);
  return rc;
}

// The property writers whose value holds host memory: `make` builds it with
// a host function (`havemake` says it is there), and a refused value goes
// back to the host.
template <typename Make>
[[nodiscard]] uint32_t _x_sethostprop(QiraHostFn *table, const QiraObjRef *ref, uint32_t symbol,
                                      uint32_t tag, uint16_t flag, bool havemake, Make make) {
  if (!havemake || !_x_hostapi<QiraHost_SetProp>(table, QIRA_API_SETPROP) ||
      !_x_hostapi<QiraHost_FreeVal>(table, QIRA_API_FREEVAL))
    return QIRA_ERR_NOHOSTFUNC;
  if (!ref) return QIRA_ERR_WRONGKIND;
  QiraValue v{};
  const uint32_t rc = make(&v);
  if (rc != QIRA_OK) return rc;
  return _x_setprop(table, ref, symbol, tag, &v, flag, true);
}

}  // namespace

// ---- argument readers ----------------------------------------------------------

// The reference stays without a count of the caller's own: the host keeps
// the variable alive for the call, and 107 only tells it that we read it.
extern "C" QIRA_API uint32_t TARVOParam_ObjParam(QiraHostFn *table, uint32_t pos,
                                                 QiraArgSlot *slots, QiraObjRef *out) {
  QiraArgSlot *slot = _x_slot(slots, pos);
  if (!slot) return QIRA_OK;  // not given: the caller's cleared reference stays
  if (slot->tag == QIRA_TAG_NONE) {
    if (out) out->obj = nullptr;
    return QIRA_OK;
  }
  if (slot->tag != QIRA_TAG_VARREF) return QIRA_ERR_NOTVARIABLE;
  const auto addref = _x_hostapi<QiraHost_Ref>(table, QIRA_API_ADDREF);
  const auto notevar = _x_hostapi<QiraHost_NoteVar>(table, QIRA_API_NOTEVAR);
  const auto release = _x_hostapi<QiraHost_Ref>(table, QIRA_API_RELEASE);
  if (!addref || !notevar || !release) return QIRA_ERR_NOHOSTFUNC;
  // 107 is told about the caller's own reference, where the host may look
  // at (or update) it later; a copy on this stack would be gone by then.
  QiraObjRef local = slot->u.var;
  QiraObjRef *ref = out ? out : &local;
  *ref = local;
  void *obj = ref->obj;
  if (obj) (void)addref(obj);
  (void)notevar(ref, 0, 0);
  if (obj) (void)release(obj);
  return QIRA_OK;
}

extern "C" QIRA_API uint32_t TARVOParam_StrParam(QiraModuleCtx *mc, QiraHostFn *table,
                                                 uint32_t pos, QiraArgSlot *slots,
                                                 const uint16_t **chars, uint32_t *len) {
  (void)mc;
  QiraArgSlot *slot = _x_slot(slots, pos);
  if (!slot) return QIRA_ERR_MISSINGPARAM;
  const auto getstr = _x_hostapi<QiraHost_GetStr>(table, QIRA_API_GETSTR);
  if (!getstr) return QIRA_ERR_NOHOSTFUNC;
  uint16_t empty = 0, toolong = 0;
  const uint16_t *c = nullptr;
  uint32_t n = 0;
  const uint32_t rc = getstr(slot, &empty, &toolong, &c, &n);
  if (rc != QIRA_OK) return rc;
  if (empty == kFlagSet) return QIRA_ERR_EMPTY;
  if (toolong == kFlagSet) return QIRA_ERR_TOOLONG;
  if (chars) *chars = c;
  if (len) *len = n;
  return QIRA_OK;
}

extern "C" QIRA_API uint32_t TARVOParam_IntParam(QiraModuleCtx *mc, QiraHostFn *table,
                                                 uint32_t pos, QiraArgSlot *slots,
                                                 uint16_t *sign, const uint16_t **digits,
                                                 uint32_t *count) {
  (void)mc;
  QiraArgSlot *slot = _x_slot(slots, pos);
  if (!slot) return QIRA_ERR_MISSINGPARAM;
  const auto getint = _x_hostapi<QiraHost_GetInt>(table, QIRA_API_GETINT);
  if (!getint) return QIRA_ERR_NOHOSTFUNC;
  uint16_t flag1 = 0, flag2 = 0, s = 0;
  uint32_t n = 0;
  const uint16_t *d = nullptr;
  const uint32_t rc = getint(slot, &flag1, &flag2, &s, &n, &d);
  if (rc != QIRA_OK) return rc;
  if (flag1 == kFlagSet || flag2 == kFlagSet) return QIRA_ERR_RANGE;
  if (sign) *sign = s;
  if (digits) *digits = d;
  if (count) *count = n;
  return QIRA_OK;
}

// Scripts may pass a variable or a number in another numeric form where an
// integer is expected; both are turned into a plain integer in the slot first.
extern "C" QIRA_API uint32_t TARVOParam_IntDigitsFromNumericParam(
    QiraModuleCtx *mc, QiraHostFn *table, uint32_t pos, QiraArgSlot *slots, uint16_t *sign,
    const uint16_t **digits, uint32_t *count) {
  QiraArgSlot *slot = _x_slot(slots, pos);
  if (!slot) return QIRA_ERR_MISSINGPARAM;
  if (slot->tag == QIRA_TAG_VARREF) {
    const auto resolve = _x_hostapi<QiraHost_ResolveVar>(table, QIRA_API_RESOLVEVAR);
    if (!resolve) return QIRA_ERR_NOHOSTFUNC;
    const uint32_t rc = resolve(slot);
    if (rc != QIRA_OK) return rc;
  }
  if (slot->tag == QIRA_TAG_NUMERIC) {
    const auto toint = _x_hostapi<QiraHost_ToInt>(table, QIRA_API_TOINT);
    if (!toint) return QIRA_ERR_NOHOSTFUNC;
    const uint32_t rc = toint(mc, &slot->u.value);
    if (rc != QIRA_OK) return rc;
    slot->tag = QIRA_TAG_INT;
  }
  return TARVOParam_IntParam(mc, table, pos, slots, sign, digits, count);
}

extern "C" QIRA_API uint32_t TARVOParam_VxmemsizeParam(QiraModuleCtx *mc, QiraHostFn *table,
                                                       uint32_t pos, QiraArgSlot *slots,
                                                       uint32_t *value, uint32_t minimum,
                                                       uint32_t maximum) {
  if (!_x_slot(slots, pos)) return QIRA_OK;  // optional: the caller's default stays
  uint16_t sign = 0;
  const uint16_t *digits = nullptr;
  uint32_t count = 0;
  const uint32_t rc =
      TARVOParam_IntDigitsFromNumericParam(mc, table, pos, slots, &sign, &digits, &count);
  if (rc != QIRA_OK) return rc;
  if (sign != 0 || count > kMaxU32Digits) return QIRA_ERR_RANGE;
  if (count > 0 && !digits) return QIRA_ERR_RANGE;
  uint32_t v = 0;
  for (uint32_t i = count; i-- > 0;) v = (v << kDigitBits) | digits[i];
  if (v < minimum || v > maximum) return QIRA_ERR_RANGE;
  if (value) *value = v;
  return QIRA_OK;
}

extern "C" QIRA_API uint32_t TARVOParam_BoolParam(QiraModuleCtx *mc, QiraHostFn *table,
                                                  uint32_t pos, QiraArgSlot *slots,
                                                  uint16_t *value) {
  (void)mc;
  QiraArgSlot *slot = _x_slot(slots, pos);
  if (!slot) return QIRA_OK;  // optional: the caller's default stays
  const auto getbool = _x_hostapi<QiraHost_GetBool>(table, QIRA_API_GETBOOL);
  if (!getbool) return QIRA_ERR_NOHOSTFUNC;
  uint16_t unusable = 0, v = 0;
  const uint32_t rc = getbool(slot, &unusable, &v);
  if (rc != QIRA_OK) return rc;
  if (unusable == kFlagSet) return QIRA_ERR_RANGE;
  if (value) *value = v;
  return QIRA_OK;
}

// ---- private data ------------------------------------------------------------------

// The host object answers for its own private data; the reference's second
// word goes with the call because the host may need it to find the data.
extern "C" QIRA_API void *TARVO_ObjRefGetPrivatePtr(const QiraObjRef *ref) {
  if (!ref || !ref->obj) return nullptr;
  const QiraHostObject *obj = static_cast<const QiraHostObject *>(ref->obj);
  if (!obj->priv) return nullptr;
  return obj->priv(ref->obj, const_cast<uintptr_t *>(&ref->word));
}

// ---- variable and property writers ---------------------------------------------------

extern "C" QIRA_API uint32_t TARVOUtil_SetObjVxu32int(QiraHostFn *table, QiraModuleCtx *mc,
                                                      const QiraObjRef *ref, uint32_t value,
                                                      uint16_t flag) {
  const auto mku32 = _x_hostapi<QiraHost_MkU32>(table, QIRA_API_MKU32);
  const auto assign = _x_hostapi<QiraHost_Assign>(table, QIRA_API_ASSIGN);
  const auto freeval = _x_hostapi<QiraHost_FreeVal>(table, QIRA_API_FREEVAL);
  if (!mku32 || !assign || !freeval) return QIRA_ERR_NOHOSTFUNC;
  if (!ref) return QIRA_ERR_NOTVARIABLE;
  QiraValue v{};
  uint32_t rc = mku32(mc, &v, 0, value);
  if (rc != QIRA_OK) return rc;
  rc = assign(ref->obj, ref->word, QIRA_TAG_INT, &v, flag);
  // A refused assignment leaves the integer with us; give it back.
  if (rc != QIRA_OK) (void)freeval(QIRA_TAG_INT, &v);
  return rc;
}

extern "C" QIRA_API uint32_t TARVOUtil_SetPropString(QiraHostFn *table, QiraModuleCtx *mc,
                                                     const QiraObjRef *ref, uint32_t symbol,
                                                     const uint16_t *chars, uint32_t len,
                                                     uint16_t flag) {
  const auto mkstr = _x_hostapi<QiraHost_MkStr>(table, QIRA_API_MKSTR);
  return _x_sethostprop(table, ref, symbol, QIRA_TAG_STRING, flag, mkstr != nullptr,
                        [&](QiraValue *v) { return mkstr(mc, v, chars, len); });
}

extern "C" QIRA_API uint32_t TARVOUtil_SetPropIntDigits(QiraHostFn *table, QiraModuleCtx *mc,
                                                        const QiraObjRef *ref, uint32_t symbol,
                                                        uint16_t sign, const uint16_t *digits,
                                                        uint32_t count, uint16_t flag) {
  const auto mkint = _x_hostapi<QiraHost_MkInt>(table, QIRA_API_MKINT);
  return _x_sethostprop(table, ref, symbol, QIRA_TAG_INT, flag, mkint != nullptr,
                        [&](QiraValue *v) { return mkint(mc, v, sign, digits, count); });
}

// A boolean value holds nothing the host allocated, so a refused one is not freed.
extern "C" QIRA_API uint32_t TARVOUtil_SetPropBool(QiraHostFn *table, const QiraObjRef *ref,
                                                   uint32_t symbol, uint16_t value,
                                                   uint16_t flag) {
  const auto mkbool = _x_hostapi<QiraHost_MkBool>(table, QIRA_API_MKBOOL);
  if (!mkbool || !_x_hostapi<QiraHost_SetProp>(table, QIRA_API_SETPROP))
    return QIRA_ERR_NOHOSTFUNC;
  if (!ref) return QIRA_ERR_WRONGKIND;
  QiraValue v{};
  const uint32_t rc = mkbool(&v, value);
  if (rc != QIRA_OK) return rc;
  return _x_setprop(table, ref, symbol, QIRA_TAG_BOOL, &v, flag, false);
}

extern "C" QIRA_API uint32_t TARVOUtil_SetPropConst(QiraHostFn *table, const QiraObjRef *ref,
                                                    uint32_t symbol, uint32_t tag,
                                                    uint16_t flag) {
  if (!_x_hostapi<QiraHost_SetProp>(table, QIRA_API_SETPROP)) return QIRA_ERR_NOHOSTFUNC;
  if (!ref) return QIRA_ERR_WRONGKIND;
  QiraValue v{};
  return _x_setprop(table, ref, symbol, tag, &v, flag, false);
}
