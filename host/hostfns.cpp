// The host functions a module reaches by numeric ID through the provider's
// getter: the 23 the module calls, and a refusing stub for the other 52.
//
// None of these functions gets a host pointer; they find their host through
// the objects and records they are given, or as the host currently running
// module code on this thread.  Pointers from the module are checked against
// the host's own records before use, so a module bug shows up as a recorded
// violation and an error code rather than as a crash in the host.
#include "host/hostimpl.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace qhost {

namespace {

// ---- value records ---------------------------------------------------------------

Host::Impl *hostOrNull() { return currentHost(); }

// Top of every host function that returns a code: finds the host, counts the
// call and applies a fault.
#define HOSTFN_ENTER(id)                               \
  Host::Impl *h = hostOrNull();                        \
  if (!h) return kHostErrNoHost;                       \
  if (uint32_t fault_ = h->enter(id)) return fault_;

// The value an argument slot carries, reading a variable reference through
// to the variable.  Null when the slot carries nothing usable.
const Value *slotValue(Host::Impl *h, QiraArgSlot *slot, Value &holder) {
  if (!slot) return nullptr;
  if (slot->tag == QIRA_TAG_VARREF) {
    HostObject *var = liveObject(slot->u.var.obj);
    if (!var || var->kind != ObjKind::Variable) {
      h->violation("argument slot refers to something that is no variable");
      return nullptr;
    }
    holder = var->var;
    return &holder;
  }
  if (slot->tag == QIRA_TAG_NONE) {
    holder = Value();
    return &holder;
  }
  if (slot->u.value.w[0] != kSlotMagic) return nullptr;  // a raw tag with no payload
  const auto *v = static_cast<const Value *>(slot->u.value.p[1]);
  if (!v || v->tag() != slot->tag) return nullptr;
  return v;
}

// Keeps a value alive for as long as the slot's call (strings handed out by
// 303 point into it).
const Value *keep(Host::Impl *h, QiraArgSlot *slot, const Value &v) {
  static std::deque<Value> orphans;  // slots of no known call: kept to teardown
  CallState *st = h->callBySlot(slot);
  std::deque<Value> &arena = st ? st->arena : orphans;
  arena.push_back(v);
  return &arena.back();
}

// ---- 100 to 140 ------------------------------------------------------------------

uint32_t fnNewObj(QiraTypeRecord *type, QiraObjRef *out) {
  HOSTFN_ENTER(100)
  HostType *t = h->findType(type);
  if (!t) {
    h->violation("100 with a type record this host did not register");
    return kHostErrNoType;
  }
  if (!out) return kHostErrBadValue;
  HostObject *o = h->newObject(ObjKind::Instance, t);
  out->obj = o;
  out->word = 0;
  return QIRA_OK;
}

uint32_t fnAddRef(void *obj) {
  HOSTFN_ENTER(105)
  HostObject *o = liveObject(obj);
  if (!o) {
    h->violation("105 on an object that is not alive");
    return kHostErrBadObject;
  }
  ++o->refs;
  return QIRA_OK;
}

uint32_t fnRelease(void *obj) {
  HOSTFN_ENTER(106)
  HostObject *o = liveObject(obj);
  if (!o || o->refs == 0) {
    h->violation(o ? "106 on an object nobody holds" : "106 on an object that is not alive");
    return kHostErrBadObject;
  }
  o->host->release(o);
  return QIRA_OK;
}

uint32_t fnNoteVar(QiraObjRef *ref, uintptr_t z1, uintptr_t z2) {
  HOSTFN_ENTER(107)
  if (!ref || z1 || z2) {
    h->violation("107 with a null reference or non-zero words");
    return kHostErrBadValue;
  }
  HostObject *o = liveObject(ref->obj);
  if (o && o->kind == ObjKind::Variable) ++o->notes;
  return QIRA_OK;
}

QiraTypeRecord *fnTypeOf(const QiraObjRef *ref) {
  Host::Impl *h = hostOrNull();
  if (!h || h->enter(108)) return nullptr;
  if (!ref || !ref->obj) return nullptr;
  HostObject *o = liveObject(ref->obj);
  if (!o) {
    h->violation("108 on an object that is not alive");
    return nullptr;
  }
  switch (o->kind) {
    case ObjKind::Instance: return &o->type->rec;
    case ObjKind::TypeObject: return &o->host->typetype.rec;
    case ObjKind::Variable: return nullptr;
  }
  return nullptr;
}

uint32_t fnResolveVar(QiraArgSlot *slot) {
  HOSTFN_ENTER(110)
  if (!slot) return kHostErrBadValue;
  if (slot->tag != QIRA_TAG_VARREF) return QIRA_OK;
  HostObject *var = liveObject(slot->u.var.obj);
  if (!var || var->kind != ObjKind::Variable) {
    h->violation("110 on a slot whose variable is not alive");
    return kHostErrBadObject;
  }
  const Value *v = keep(h, slot, var->var);
  slot->tag = v->tag();
  slot->u.value.w[0] = kSlotMagic;
  slot->u.value.p[1] = const_cast<Value *>(v);
  return QIRA_OK;
}

uint32_t fnAssign(void *varobj, uintptr_t, uint32_t tag, QiraValue *value, uint16_t flag) {
  HOSTFN_ENTER(111)
  HostObject *var = liveObject(varobj);
  if (!var) {
    h->violation("111 on an object that is not alive");
    return kHostErrBadObject;
  }
  if (var->kind != ObjKind::Variable) return kHostErrNotVariable;
  std::optional<Value> v = takeValue(h, tag, value);
  if (!v) return kHostErrBadValue;
  var->var = std::move(*v);
  ++var->assigns;
  var->lastflag = flag;
  return QIRA_OK;
}

uint32_t fnSetProp(void *obj, uintptr_t, uint32_t symbol, uint32_t tag, QiraValue *value,
                   uint16_t flag) {
  HOSTFN_ENTER(112)
  HostObject *o = liveObject(obj);
  if (!o || o->kind != ObjKind::Instance) {
    h->violation("112 on something that is no live instance");
    return kHostErrBadObject;
  }
  // Only data rows can be set: their second column repeats the name.
  const QiraTypeDesc *d = o->type->desc;
  bool found = false;
  for (uintptr_t i = 0; i < d->nprops && !found; ++i)
    found = d->props[i].name == symbol && d->props[i].col2 == symbol;
  if (!found) return kHostErrNoProperty;
  std::optional<Value> v = takeValue(h, tag, value);
  if (!v) return kHostErrBadValue;
  o->props[symbol] = HostObject::Prop{std::move(*v), flag};
  return QIRA_OK;
}

uint32_t fnRegType(void *regctx, const QiraTypeDesc *desc, void *) {
  HOSTFN_ENTER(130)
  auto *rc = static_cast<HostRegCtx *>(regctx);
  if (!rc || rc != &h->regctx) {
    h->violation("130 with a registration context the host did not give");
    return kHostErrBadDescriptor;
  }
  if (!desc || desc->name == 0 || desc->name > h->syms.size() ||
      (desc->nprops && !desc->props) || (desc->nmethods && !desc->methods))
    return kHostErrBadDescriptor;
  HostType &t = h->typeStore.emplace_back();
  t.desc = desc;
  t.name = h->symbol8(uint32_t(desc->name));
  t.host = h;
  t.rec.info = &t.info;
  t.info.kind = kKindInstance;
  t.info.init = desc->init;
  // Types registered by one addTypes form a ring through word 0.
  if (!h->ringFirst) {
    h->ringFirst = &t;
  } else {
    h->ringLast->rec.next = &t.rec;
  }
  h->ringLast = &t;
  t.rec.next = &h->ringFirst->rec;

  TypeView view;
  view.name = t.name;
  view.desc = desc;
  view.props.assign(desc->props, desc->props + desc->nprops);
  view.methods.assign(desc->methods, desc->methods + desc->nmethods);
  view.record = &t.rec;
  HostObject *to = h->newObject(ObjKind::TypeObject, &t);
  to->priv.assign(1, reinterpret_cast<uintptr_t>(&t.rec));
  view.typeObject = Ref::share(to);
  h->views.push_back(std::move(view));
  return QIRA_OK;
}

uint32_t fnParamPos(uint32_t *positions, const QiraNameDesc *descs, uint32_t count,
                    uint32_t argc, QiraArgSlot *slots) {
  HOSTFN_ENTER(140)
  if (count && (!positions || !descs)) return kHostErrBadValue;
  h->lastParams.clear();
  for (uint32_t i = 0; i < count; ++i) {
    const auto *units = reinterpret_cast<const char16_t *>(descs[i].ptr);
    h->lastParams.push_back(units ? std::u16string(units, descs[i].len / 2) : std::u16string());
  }
  CallState *st = argc ? h->callBySlot(slots) : nullptr;
  if (argc && (!st || st->slots.data() != slots || st->slots.size() != argc)) {
    h->violation("140 with slots or a count that are not the call's");
    return kHostErrBadValue;
  }
  std::vector<uint32_t> pos(count, 0);
  uint32_t positional = 0;
  for (uint32_t k = 0; k < argc; ++k) {
    const std::u16string &name = st->names[k];
    if (name.empty()) {
      if (positional < count && pos[positional] == 0) pos[positional] = k + 1;
      ++positional;
      continue;
    }
    bool matched = false;
    for (uint32_t i = 0; i < count && !matched; ++i) {
      std::u16string_view want(reinterpret_cast<const char16_t *>(descs[i].ptr),
                               descs[i].len / 2);
      if (want == name) {
        pos[i] = k + 1;
        matched = true;
      }
    }
    if (!matched) return kHostErrUnknownArgument;
  }
  std::copy(pos.begin(), pos.end(), positions);
  return QIRA_OK;
}

// ---- 200 to 220: the call's value --------------------------------------------------

uint32_t fnNoValue(void *callctx, QiraResult *result, uintptr_t zero, QiraValue *) {
  HOSTFN_ENTER(200)
  CallState *st = h->callByCtx(callctx);
  if (!st) {
    h->violation("200 with a call context of no running call");
    return kHostErrBadValue;
  }
  if (zero || (result && result != &st->result))
    h->violation("200 with another result record or a non-zero word");
  st->out.noValue = true;
  return QIRA_OK;
}

uint32_t fnDeliver(void *blockctx, void *obj) {
  HOSTFN_ENTER(210)
  CallState *st = h->callByBlockCtx(blockctx);
  HostObject *o = liveObject(obj);
  if (!st || !o) {
    h->violation("210 without a running block or with an object that is not alive");
    return kHostErrBadValue;
  }
  if (st->out.delivered || st->out.noValue) h->violation("210 on a call that already has its value");
  if (o->refs == 0) {
    // Nothing to take over: keep the object alive with a count of our own.
    h->violation("210 with an object nobody holds");
    st->out.value = Ref::share(o);
  } else {
    st->out.value = Ref::adopt(o);
  }
  st->out.delivered = true;
  return QIRA_OK;
}

uint32_t fnDrop(void *blockctx, void *obj) {
  HOSTFN_ENTER(211)
  HostObject *o = liveObject(obj);
  if (!h->callByBlockCtx(blockctx) || !o || o->refs == 0) {
    h->violation("211 without a running block or with an object nobody holds");
    return kHostErrBadValue;
  }
  o->host->release(o);
  return QIRA_OK;
}

uint32_t fnComplete(void *blockctx, void *zero) {
  HOSTFN_ENTER(220)
  CallState *st = h->callByBlockCtx(blockctx);
  if (!st) {
    h->violation("220 without a running block");
    return kHostErrBadValue;
  }
  if (zero) h->violation("220 with non-zero data");
  if (st->out.delivered || st->out.noValue) h->violation("220 on a call that already has its value");
  st->out.noValue = true;
  return QIRA_OK;
}

// ---- 300 to 304: reading arguments -----------------------------------------------------

uint32_t fnGetBool(QiraArgSlot *slot, uint16_t *flag, uint16_t *value) {
  HOSTFN_ENTER(300)
  Value holder;
  const Value *v = slotValue(h, slot, holder);
  bool ok = v && v->kind() == Value::Kind::Bool;
  if (flag) *flag = ok ? 0 : 1;
  if (ok && value) *value = v->boolean() ? 1 : 0;
  return QIRA_OK;
}

uint32_t fnGetStr(QiraArgSlot *slot, uint16_t *flag1, uint16_t *flag2, const uint16_t **chars,
                  uint32_t *len) {
  HOSTFN_ENTER(303)
  Value holder;
  const Value *v = slotValue(h, slot, holder);
  bool isstr = v && v->kind() == Value::Kind::Str;
  bool toolong = isstr && v->str().size() > kMaxStringUnits;
  if (flag1) *flag1 = isstr ? 0 : 1;
  if (flag2) *flag2 = toolong ? 1 : 0;
  if (isstr && !toolong) {
    if (v == &holder) v = keep(h, slot, holder);  // outlive this function
    if (chars) *chars = reinterpret_cast<const uint16_t *>(v->str().data());
    if (len) *len = uint32_t(v->str().size());
  }
  return QIRA_OK;
}

uint32_t fnGetInt(QiraArgSlot *slot, uint16_t *flag1, uint16_t *flag2, uint16_t *sign,
                  uint32_t *count, const uint16_t **digits) {
  HOSTFN_ENTER(304)
  Value holder;
  const Value *v = slotValue(h, slot, holder);
  bool isint = v && v->kind() == Value::Kind::Int;
  bool toolarge = isint && v->digits().size() > kMaxIntDigits;
  if (flag1) *flag1 = isint ? 0 : 1;
  if (flag2) *flag2 = toolarge ? 1 : 0;
  if (isint && !toolarge) {
    if (v == &holder) v = keep(h, slot, holder);
    if (sign) *sign = v->negative() ? 1 : 0;
    if (count) *count = uint32_t(v->digits().size());
    if (digits) *digits = v->digits().data();
  }
  return QIRA_OK;
}

// ---- 400 to 430: values ------------------------------------------------------------------

uint32_t fnFreeVal(uint32_t tag, QiraValue *value) {
  HOSTFN_ENTER(400)
  if (tag != QIRA_TAG_INT && tag != QIRA_TAG_STRING) return QIRA_OK;  // nothing held
  auto *box = value && value->w[0] == kBoxMagic ? static_cast<Value *>(value->p[1]) : nullptr;
  if (!box || !h->boxes.count(box) || box->tag() != tag) {
    h->violation("400 on a value the host did not make, or freed twice");
    return kHostErrBadValue;
  }
  h->boxes.erase(box);
  delete box;
  value->w[0] = 0;
  return QIRA_OK;
}

uint32_t fnMkBool(QiraValue *out, uint16_t b) {
  HOSTFN_ENTER(401)
  if (!out) return kHostErrBadValue;
  out->w[0] = kBoolMagic;
  out->w[1] = b ? 1 : 0;
  return QIRA_OK;
}

uint32_t fnMkU32(QiraModuleCtx *, QiraValue *out, uint16_t sign, uint32_t value) {
  HOSTFN_ENTER(402)
  if (!out) return kHostErrBadValue;
  Value v = Value::unsignedInt(value);
  if (sign) v = Value::digits(true, v.digits());
  putBox(h, out, std::move(v));
  return QIRA_OK;
}

uint32_t fnMkInt(QiraModuleCtx *, QiraValue *out, uint16_t sign, const uint16_t *digits,
                 uint32_t count) {
  HOSTFN_ENTER(404)
  if (!out || (count && !digits)) return kHostErrBadValue;
  putBox(h, out, Value::digits(sign != 0, std::vector<uint16_t>(digits, digits + count)));
  return QIRA_OK;
}

uint32_t fnMkStr(QiraModuleCtx *, QiraValue *out, const uint16_t *chars, uint32_t len) {
  HOSTFN_ENTER(405)
  if (!out || (len && !chars)) return kHostErrBadValue;
  putBox(h, out, Value::string(std::u16string(reinterpret_cast<const char16_t *>(chars), len)));
  return QIRA_OK;
}

uint32_t fnToInt(QiraModuleCtx *, QiraValue *slotvalue) {
  HOSTFN_ENTER(430)
  if (!slotvalue) return kHostErrBadValue;
  // The value is the second word onwards of an argument slot.
  auto *slot = reinterpret_cast<QiraArgSlot *>(reinterpret_cast<char *>(slotvalue) -
                                               offsetof(QiraArgSlot, u));
  if (slotvalue->w[0] != kSlotMagic || !slotvalue->p[1]) return kHostErrNotNumeric;
  const auto *v = static_cast<const Value *>(slotvalue->p[1]);
  if (v->kind() == Value::Kind::Int) return QIRA_OK;
  if (v->kind() != Value::Kind::Real) return kHostErrNotNumeric;
  double d = v->real();
  // Whole numbers that fit 64 bits; anything else is no integer.
  if (!std::isfinite(d) || d != std::floor(d) || std::fabs(d) >= 18446744073709551616.0)
    return kHostErrNotNumeric;
  Value i = Value::unsignedInt(uint64_t(std::fabs(d)));
  if (d < 0) i = Value::digits(true, i.digits());
  slotvalue->p[1] = const_cast<Value *>(keep(h, slot, i));
  slot->tag = QIRA_TAG_INT;
  return QIRA_OK;
}

// Every ID the module fetches but never calls.
uint32_t fnUnimplemented() {
  if (Host::Impl *h = hostOrNull()) h->violation("a host function the module never calls was called");
  return kHostErrUnimplemented;
}

template <typename F>
QiraHostFn asHostFn(F f) {
  return reinterpret_cast<QiraHostFn>(f);
}

}  // namespace

void putBox(Host::Impl *h, QiraValue *rec, Value v) {
  auto *box = new Value(std::move(v));
  h->boxes.insert(box);
  rec->w[0] = kBoxMagic;
  rec->p[1] = box;
}

std::optional<Value> takeValue(Host::Impl *h, uint32_t tag, QiraValue *rec) {
  switch (tag) {
    case QIRA_TAG_NONE: return Value();  // the record carries nothing
    case QIRA_TAG_BOOL:
      if (rec && rec->w[0] == kBoolMagic) return Value::boolean(rec->w[1] != 0);
      break;
    case QIRA_TAG_INT:
    case QIRA_TAG_STRING: {
      auto *box = rec && rec->w[0] == kBoxMagic ? static_cast<Value *>(rec->p[1]) : nullptr;
      if (box && h->boxes.count(box) && box->tag() == tag) {
        Value v = std::move(*box);
        h->boxes.erase(box);
        delete box;
        rec->w[0] = 0;
        return v;
      }
      break;
    }
    default: break;
  }
  h->violation("a value record that does not match its tag " + std::to_string(tag));
  return std::nullopt;
}

QiraHostFn hostFunction(uint32_t id) {
  switch (id) {
    case 100: return asHostFn(&fnNewObj);
    case 105: return asHostFn(&fnAddRef);
    case 106: return asHostFn(&fnRelease);
    case 107: return asHostFn(&fnNoteVar);
    case 108: return asHostFn(&fnTypeOf);
    case 110: return asHostFn(&fnResolveVar);
    case 111: return asHostFn(&fnAssign);
    case 112: return asHostFn(&fnSetProp);
    case 130: return asHostFn(&fnRegType);
    case 140: return asHostFn(&fnParamPos);
    case 200: return asHostFn(&fnNoValue);
    case 210: return asHostFn(&fnDeliver);
    case 211: return asHostFn(&fnDrop);
    case 220: return asHostFn(&fnComplete);
    case 300: return asHostFn(&fnGetBool);
    case 303: return asHostFn(&fnGetStr);
    case 304: return asHostFn(&fnGetInt);
    case 400: return asHostFn(&fnFreeVal);
    case 401: return asHostFn(&fnMkBool);
    case 402: return asHostFn(&fnMkU32);
    case 404: return asHostFn(&fnMkInt);
    case 405: return asHostFn(&fnMkStr);
    case 430: return asHostFn(&fnToInt);
    default: break;
  }
  for (uint32_t known : Host::apiIds())
    if (known == id) return asHostFn(&fnUnimplemented);
  return nullptr;
}

QiraHostFn hostGetter(uint32_t id) {
  Host::Impl *h = currentHost();
  if (!h) return nullptr;
  if (h->getterFaults.count(id)) return nullptr;
  return hostFunction(id);
}

}  // namespace qhost
