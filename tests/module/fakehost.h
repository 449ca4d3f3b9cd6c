// A small fake of the host's function table for the helper tests: each fake
// records its call and answers from fields the test sets.  Only the slots the
// helpers use are filled; the rest stay null.
#pragma once

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "qira.h"

namespace fake {

struct Host {
  std::vector<uint32_t> calls;     // host API IDs, in call order
  uint32_t rc[1000] = {};          // result per ID

  // 300, 303, 304: what the host reports about a slot.
  uint16_t boolflag = 0, boolvalue = 0;
  uint16_t strflag1 = 0, strflag2 = 0;
  const uint16_t *strchars = nullptr;
  uint32_t strlen = 0;
  uint16_t intflag1 = 0, intflag2 = 0, intsign = 0;
  std::vector<uint16_t> intdigits;
  QiraArgSlot *lastslot = nullptr;

  // 110: the tag a resolved variable gets.  430: the value address it saw.
  uintptr_t resolvedtag = QIRA_TAG_INT;
  QiraValue *toint_value = nullptr;
  QiraModuleCtx *lastmc = nullptr;

  // 105, 106, 107, 108.
  std::vector<void *> refs;        // objects passed to 105 and 106
  QiraObjRef noted{};              // what 107 saw behind its pointer
  QiraObjRef typeof_ref{};
  QiraTypeRecord *typeof_result = nullptr;

  // 111, 112: the assignment or property as the host received it.
  void *setobj = nullptr;
  uintptr_t setword = 0;
  uint32_t setsymbol = 0, settag = 0;
  uint16_t setflag = 0xFFFF;
  uintptr_t setvalue0 = 0;         // word 0 of the value it was given

  // 400: what was freed.
  uint32_t freedtag = 0;
  uintptr_t freedvalue0 = 0;

  // 401, 402, 404, 405: the arguments of the value builders.
  uint32_t mku32 = 0;
  uint16_t mkbool = 0, mksign = 0;
  const uint16_t *mkchars = nullptr;
  uint32_t mklen = 0;

  QiraHostFn table[QIRA_HOSTAPI_COUNT] = {};
  Host();
  ~Host();
  bool Called(uint32_t id) const;
};

// A value built by the fake carries this mark plus the builder's ID in word 0,
// so a freed or assigned value can be traced back to its builder.
constexpr uintptr_t kValueMark = 0x5A000000;

namespace detail {

inline Host *g = nullptr;

template <typename Fn>
inline QiraHostFn H(Fn fn) {
  return reinterpret_cast<QiraHostFn>(fn);
}

inline uint32_t Ret(uint32_t id) {
  g->calls.push_back(id);
  return g->rc[id];
}

inline uint32_t AddRef(void *obj) {
  g->refs.push_back(obj);
  return Ret(105);
}
inline uint32_t Release(void *obj) {
  g->refs.push_back(obj);
  return Ret(106);
}
inline uint32_t NoteVar(QiraObjRef *ref, uintptr_t, uintptr_t) {
  g->noted = *ref;
  return Ret(107);
}
inline QiraTypeRecord *TypeOf(const QiraObjRef *ref) {
  g->typeof_ref = *ref;
  Ret(108);
  return g->typeof_result;
}
inline uint32_t Resolve(QiraArgSlot *slot) {
  g->lastslot = slot;
  const uint32_t rc = Ret(110);
  if (rc == QIRA_OK) slot->tag = g->resolvedtag;
  return rc;
}
inline uint32_t Assign(void *var, uintptr_t word, uint32_t tag, QiraValue *v, uint16_t flag) {
  g->setobj = var;
  g->setword = word;
  g->settag = tag;
  g->setflag = flag;
  g->setvalue0 = v->w[0];
  return Ret(111);
}
inline uint32_t SetProp(void *obj, uintptr_t word, uint32_t symbol, uint32_t tag, QiraValue *v,
                 uint16_t flag) {
  g->setobj = obj;
  g->setword = word;
  g->setsymbol = symbol;
  g->settag = tag;
  g->setflag = flag;
  g->setvalue0 = v->w[0];
  return Ret(112);
}
inline uint32_t GetBool(QiraArgSlot *slot, uint16_t *flag, uint16_t *value) {
  g->lastslot = slot;
  *flag = g->boolflag;
  *value = g->boolvalue;
  return Ret(300);
}
inline uint32_t GetStr(QiraArgSlot *slot, uint16_t *f1, uint16_t *f2, const uint16_t **chars,
                uint32_t *len) {
  g->lastslot = slot;
  *f1 = g->strflag1;
  *f2 = g->strflag2;
  *chars = g->strchars;
  *len = g->strlen;
  return Ret(303);
}
inline uint32_t GetInt(QiraArgSlot *slot, uint16_t *f1, uint16_t *f2, uint16_t *sign,
                       uint32_t *count, const uint16_t **digits) {
  g->lastslot = slot;
  *f1 = g->intflag1;
  *f2 = g->intflag2;
  *sign = g->intsign;
  *count = uint32_t(g->intdigits.size());
  *digits = g->intdigits.empty() ? nullptr : g->intdigits.data();
  return Ret(304);
}
inline uint32_t FreeVal(uint32_t tag, QiraValue *v) {
  g->freedtag = tag;
  g->freedvalue0 = v->w[0];
  return Ret(400);
}
inline uint32_t MkBool(QiraValue *out, uint16_t value) {
  g->mkbool = value;
  out->w[0] = kValueMark + 401;
  return Ret(401);
}
inline uint32_t MkU32(QiraModuleCtx *mc, QiraValue *out, uint16_t sign, uint32_t value) {
  g->lastmc = mc;
  g->mksign = sign;
  g->mku32 = value;
  out->w[0] = kValueMark + 402;
  return Ret(402);
}
inline uint32_t MkInt(QiraModuleCtx *mc, QiraValue *out, uint16_t sign, const uint16_t *digits,
               uint32_t count) {
  g->lastmc = mc;
  g->mksign = sign;
  g->mkchars = digits;
  g->mklen = count;
  out->w[0] = kValueMark + 404;
  return Ret(404);
}
inline uint32_t MkStr(QiraModuleCtx *mc, QiraValue *out, const uint16_t *chars, uint32_t len) {
  g->lastmc = mc;
  g->mkchars = chars;
  g->mklen = len;
  out->w[0] = kValueMark + 405;
  return Ret(405);
}
inline uint32_t ToInt(QiraModuleCtx *mc, QiraValue *value) {
  g->lastmc = mc;
  g->toint_value = value;
  return Ret(430);
}

}  // namespace detail

inline Host::Host() {
  detail::g = this;
  table[QIRA_API_ADDREF] = detail::H(detail::AddRef);
  table[QIRA_API_RELEASE] = detail::H(detail::Release);
  table[QIRA_API_NOTEVAR] = detail::H(detail::NoteVar);
  table[QIRA_API_TYPEOF] = detail::H(detail::TypeOf);
  table[QIRA_API_RESOLVEVAR] = detail::H(detail::Resolve);
  table[QIRA_API_ASSIGN] = detail::H(detail::Assign);
  table[QIRA_API_SETPROP] = detail::H(detail::SetProp);
  table[QIRA_API_GETBOOL] = detail::H(detail::GetBool);
  table[QIRA_API_GETSTR] = detail::H(detail::GetStr);
  table[QIRA_API_GETINT] = detail::H(detail::GetInt);
  table[QIRA_API_FREEVAL] = detail::H(detail::FreeVal);
  table[QIRA_API_MKBOOL] = detail::H(detail::MkBool);
  table[QIRA_API_MKU32] = detail::H(detail::MkU32);
  table[QIRA_API_MKINT] = detail::H(detail::MkInt);
  table[QIRA_API_MKSTR] = detail::H(detail::MkStr);
  table[QIRA_API_TOINT] = detail::H(detail::ToInt);
}

inline Host::~Host() { detail::g = nullptr; }

inline bool Host::Called(uint32_t id) const {
  return std::find(calls.begin(), calls.end(), id) != calls.end();
}

}  // namespace fake
