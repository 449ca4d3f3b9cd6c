// A small module that proves the host stand-in without qira.so's objects: the
// entry points a host loads and one type "Echo" whose methods echo their
// arguments into properties, complete through 200, 210/211 and the `error`
// variable, run a block that asks to be called again (1000) and may then wait
// on a pipe (1010), and leave a listing record for the host's teardown.
// Memory groups, lists and the yield function come from the support library.
#include "qira.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#define ECHO_API extern "C" QIRA_API

namespace {

enum Sym : uint32_t {
  kEcho = 1, kText, kNumber, kFlag, kCode, kError, kNew, kEchoM, kCount, kN, kWait, kLinger,
  kSteps, kFd, kStrT, kIntT, kBoolT, kSymCount = kBoolT
};
const char16_t *const kSymText[kSymCount] = {
    u"Echo", u"text", u"number", u"flag", u"code", u"error", u"new", u"echo", u"count",
    u"n", u"wait", u"linger", u"steps", u"fd", u"string", u"integer", u"boolean"};

QiraNameDesc desc(uint32_t symbol) {
  const char16_t *s = kSymText[symbol - 1];
  return {uint32_t(std::char_traits<char16_t>::length(s) * 2), reinterpret_cast<const uint16_t *>(s)};
}

const char kDescription[] = "Echo module for testing the host";
const QiraVersion kVersion = {sizeof(QiraVersion), {2, 0, 0, 0, 7}, sizeof(kDescription) - 1,
                              sizeof(kDescription) - 1, kDescription, kDescription};

QiraHostFn g_t[QIRA_HOSTAPI_COUNT];
uint32_t g_live = 0, g_cleanups = 0;
#define H(slot, Shape) QIRA_HOSTFN(g_t, slot, Shape)
#define HB(slot) QIRA_HOSTFN(g_t, slot, QiraBlockFn)

QiraModuleCtx *modctx(void *cc) { return static_cast<QiraCallCtx *>(cc)->modctx; }

// Live private data: a terminator that runs twice, or without the
// initialiser, leaves the count off zero.
void echoInit(void *) { ++g_live; }
void echoTerm(void *) { --g_live; }

uint32_t fetch(void *cc) {
  static const uint32_t ids[] = {QIRA_HOSTAPI_IDS};
  for (uint32_t i = 0; i < QIRA_HOSTAPI_COUNT; ++i)
    if (!(g_t[i] = modctx(cc)->provider->getter(ids[i]))) return QIRA_ERR_NOHOSTFUNC;
  return QIRA_OK;
}

// Fetches the host table, then the slots of the parameters through 140
// (null for those not given).
uint32_t begin(void *cc, const uint32_t *syms, uint32_t n, uint32_t argc, QiraArgSlot *slots,
               QiraArgSlot **at) {
  QiraNameDesc d[5];
  uint32_t pos[5];
  for (uint32_t i = 0; i < n; ++i) d[i] = desc(syms[i]);
  uint32_t rc = fetch(cc);
  if (!rc) rc = H(QIRA_API_PARAMPOS, QiraHost_ParamPos)(pos, d, n, argc, slots);
  for (uint32_t i = 0; i < n && !rc; ++i) at[i] = pos[i] ? &slots[pos[i] - 1] : nullptr;
  return rc;
}

// `error`, read last: a variable reference, noted through 107.
uint32_t errorParam(QiraArgSlot *s, QiraObjRef *out) {
  if (!s || s->tag == QIRA_TAG_NONE) return QIRA_OK;
  if (s->tag != QIRA_TAG_VARREF) return QIRA_ERR_NOTVARIABLE;
  *out = s->u.var;
  (void)H(QIRA_API_NOTEVAR, QiraHost_NoteVar)(out, 0, 0);
  return QIRA_OK;
}

// Reads an integer argument, resolving variables and other numerics first.
struct Int {
  uint16_t sign = 0;
  uint32_t count = 0;
  const uint16_t *d = nullptr;
  uint32_t low() const { return count ? d[0] : 0; }
};
uint32_t getInt(QiraModuleCtx *mc, QiraArgSlot *s, Int *out) {
  uint32_t rc = s->tag == QIRA_TAG_VARREF ? H(QIRA_API_RESOLVEVAR, QiraHost_ResolveVar)(s) : QIRA_OK;
  if (!rc && s->tag == QIRA_TAG_NUMERIC && !(rc = H(QIRA_API_TOINT, QiraHost_ToInt)(mc, &s->u.value)))
    s->tag = QIRA_TAG_INT;
  uint16_t f1 = 0, f2 = 0;
  if (!rc) rc = H(QIRA_API_GETINT, QiraHost_GetInt)(s, &f1, &f2, &out->sign, &out->count, &out->d);
  return rc ? rc : f1 || f2 ? QIRA_ERR_RANGE : QIRA_OK;
}

// Stores a value made with status `rc` into a property, or into a variable
// when sym is 0; a value the host refuses stays ours to free.
uint32_t put(void *obj, uint32_t sym, uint32_t tag, QiraValue *v, uint32_t rc) {
  if (rc) return rc;
  rc = sym ? H(QIRA_API_SETPROP, QiraHost_SetProp)(obj, 0, sym, tag, v, 1)
           : H(QIRA_API_ASSIGN, QiraHost_Assign)(obj, 0, tag, v, 0);
  if (rc) (void)H(QIRA_API_FREEVAL, QiraHost_FreeVal)(tag, v);
  return rc;
}
uint32_t putU32(QiraModuleCtx *mc, void *obj, uint32_t sym, uint32_t n) {
  QiraValue v;
  return put(obj, sym, QIRA_TAG_INT, &v, H(QIRA_API_MKU32, QiraHost_MkU32)(mc, &v, 0, n));
}

// A failure found after `error` was read goes there and the call has no value.
uint32_t failure(void *cc, QiraResult *result, const QiraObjRef &err, uint32_t code) {
  if (!err.obj) return code;
  if (uint32_t rc = putU32(modctx(cc), err.obj, 0, code)) return rc;
  QiraValue scratch;
  return H(QIRA_API_NOVALUE, QiraHost_NoValue)(cc, result, 0, &scratch);
}

// An object value goes back through the delivery pair 210/211.
uint32_t handBack(QiraResult *result, void *obj) {
  (void)H(QIRA_API_ADDREF, QiraHost_Ref)(obj);
  *result = QiraResult{HB(QIRA_API_DELIVER), HB(QIRA_API_DROP), obj, 0, 0, 0, 0, nullptr, nullptr, 0};
  return QIRA_OK;
}

// echo(text, number, flag, code, error): text, number and flag land in the
// properties of their names (number given as none clears it), the value is
// the receiver and `error` is set to 0; a `code` fails the call with it.
uint32_t mEcho(void *cc, uint32_t argc, QiraArgSlot *slots, uint32_t *argc_out,
               const QiraObjRef *recv, QiraResult *result) {
  *argc_out = argc;
  QiraModuleCtx *mc = modctx(cc);
  static const uint32_t syms[] = {kText, kNumber, kFlag, kCode, kError};
  QiraArgSlot *at[5];
  QiraObjRef err{nullptr, 0};
  const uint16_t *text = nullptr;
  uint32_t len = 0, rc = begin(cc, syms, 5, argc, slots, at);
  Int num, code;
  uint16_t f1 = 0, f2 = 0, flag = 0;
  if (!rc && at[0] && !(rc = H(QIRA_API_GETSTR, QiraHost_GetStr)(at[0], &f1, &f2, &text, &len)))
    rc = f1 ? QIRA_ERR_EMPTY : f2 ? QIRA_ERR_TOOLONG : QIRA_OK;
  bool numberNone = !rc && at[1] && at[1]->tag == QIRA_TAG_NONE;
  if (!rc && at[1] && !numberNone) rc = getInt(mc, at[1], &num);
  if (!rc && at[2] && !(rc = H(QIRA_API_GETBOOL, QiraHost_GetBool)(at[2], &f1, &flag)))
    rc = f1 ? QIRA_ERR_RANGE : QIRA_OK;
  if (!rc && at[3]) rc = getInt(mc, at[3], &code);
  if (!rc) rc = errorParam(at[4], &err);
  if (rc || code.low()) return rc ? rc : failure(cc, result, err, code.low());
  QiraValue v;
  if (text) rc = put(recv->obj, kText, QIRA_TAG_STRING, &v, H(QIRA_API_MKSTR, QiraHost_MkStr)(mc, &v, text, len));
  if (!rc && at[1])
    rc = put(recv->obj, kNumber, numberNone ? QIRA_TAG_NONE : QIRA_TAG_INT, &v,
             numberNone ? QIRA_OK : H(QIRA_API_MKINT, QiraHost_MkInt)(mc, &v, num.sign, num.d, num.count));
  if (!rc && at[2]) rc = put(recv->obj, kFlag, QIRA_TAG_BOOL, &v, H(QIRA_API_MKBOOL, QiraHost_MkBool)(&v, flag));
  if (!rc && err.obj) rc = putU32(mc, err.obj, 0, 0);
  return rc ? failure(cc, result, err, rc) : handBack(result, recv->obj);
}

// new(...): a new object, then echo(...) on it.
uint32_t mNew(void *cc, uint32_t argc, QiraArgSlot *slots, uint32_t *argc_out,
              const QiraObjRef *recv, QiraResult *result) {
  *argc_out = argc;
  // A type object's private word is the type record 100 takes.
  uintptr_t word = recv->word;
  auto *type = static_cast<QiraTypeRecord **>(static_cast<QiraHostObject *>(recv->obj)->priv(recv->obj, &word));
  QiraObjRef obj{nullptr, 0};
  uint32_t rc = fetch(cc);
  if (!rc) rc = H(QIRA_API_NEWOBJ, QiraHost_NewObj)(*type, &obj);
  if (rc) return rc;
  (void)H(QIRA_API_ADDREF, QiraHost_Ref)(obj.obj);
  rc = mEcho(cc, argc, slots, argc_out, &obj, result);
  (void)H(QIRA_API_RELEASE, QiraHost_Ref)(obj.obj);  // gone unless handed back
  return rc;
}

// count(n, wait): a block that asks to be called again n times, sets `steps`
// and delivers the receiver.  With `wait` it then waits for one byte on a
// pipe whose write end is the property `fd`, and ends with no value.
struct CountBlock {
  QiraModuleCtx *mc;
  void *self;
  uint32_t left, steps;
  int fds[2];
  QiraYieldRec rec;
};

uint32_t countTerm(void *, void *data) {
  auto *b = static_cast<CountBlock *>(data);
  for (int fd : b->fds)
    if (fd >= 0) close(fd);
  if (b->self) (void)H(QIRA_API_RELEASE, QiraHost_Ref)(b->self);
  Mem_Free(b);
  return QIRA_OK;
}

uint32_t countBlock(void *bctx, void *data) {
  auto *b = static_cast<CountBlock *>(data);
  char c;
  if (b->left) {
    --b->left;
    ++b->steps;
    return QIRA_BLOCK_AGAIN;
  }
  bool waits = b->fds[0] >= 0;
  if (waits && read(b->fds[0], &c, 1) != 1) return QIRA_BLOCK_WAIT;
  uint32_t rc = putU32(b->mc, b->self, kSteps, b->steps);
  if (!rc) rc = waits ? HB(QIRA_API_COMPLETE)(bctx, nullptr) : HB(QIRA_API_DELIVER)(bctx, b->self);
  if (!rc && !waits) b->self = nullptr;  // the reference went to the host with the value
  countTerm(bctx, data);
  return rc;
}

uint32_t mCount(void *cc, uint32_t argc, QiraArgSlot *slots, uint32_t *argc_out,
                const QiraObjRef *recv, QiraResult *result) {
  *argc_out = argc;
  static const uint32_t syms[] = {kN, kWait};
  QiraArgSlot *at[2];
  Int n;
  uint32_t rc = begin(cc, syms, 2, argc, slots, at);
  if (!rc && at[0]) rc = getInt(modctx(cc), at[0], &n);
  auto *b = rc ? nullptr : static_cast<CountBlock *>(Mem_Alloc(modctx(cc)->group, sizeof(CountBlock)));
  if (!b) return rc ? rc : QIRA_ERR_NOMEM;
  *b = CountBlock{modctx(cc), recv->obj, n.low(), 0, {-1, -1}, {-1, 0, 0, 0, QIRA_YF_NOWRITE}};
  (void)H(QIRA_API_ADDREF, QiraHost_Ref)(recv->obj);
  bool waits = at[1] != nullptr;
  if (waits && pipe2(b->fds, O_NONBLOCK | O_CLOEXEC) != 0) rc = QIRA_ERR_SYSTEM | uint32_t(errno);
  if (!rc && waits) rc = putU32(modctx(cc), recv->obj, kFd, uint32_t(b->fds[1]));
  if (rc) {
    countTerm(nullptr, b);
    return rc;
  }
  b->rec.fd = b->fds[0];
  *result = QiraResult{&countBlock, &countTerm, b, 0, 0, 0, waits ? sizeof(QiraYieldRec) : 0,
                       waits ? &TARVOYield_Lnx_SockOrTime : nullptr, waits ? &b->rec : nullptr, 0};
  return QIRA_OK;
}

// linger(): a listing record left at the module context, as an unfinished
// directory listing leaves its search.
struct Lingering {
  QiraDNode links;
  uint32_t (*cleanup)(void *);
  void *arg;
};

uint32_t lingerCleanup(void *arg) {
  DNode_Remove(&static_cast<Lingering *>(arg)->links);
  ++g_cleanups;
  return QIRA_OK;
}

uint32_t mLinger(void *cc, uint32_t argc, QiraArgSlot *, uint32_t *argc_out, const QiraObjRef *,
                 QiraResult *result) {
  *argc_out = argc;
  if (uint32_t rc = fetch(cc)) return rc;
  auto *l = static_cast<Lingering *>(Mem_Alloc(modctx(cc)->group, sizeof(Lingering)));
  if (!l) return QIRA_ERR_NOMEM;
  *l = Lingering{{}, &lingerCleanup, l};
  DNode_AddAfter(&l->links, &modctx(cc)->listings);
  QiraValue scratch;
  return H(QIRA_API_NOVALUE, QiraHost_NoValue)(cc, result, 0, &scratch);
}

const QiraPropRow kProps[] = {{kText, kText, kStrT, 0, 0, 1},  {kNumber, kNumber, kIntT, 0, 0, 1},
                              {kFlag, kFlag, kBoolT, 0, 0, 1}, {kSteps, kSteps, kIntT, 0, 0, 1},
                              {kFd, kFd, kIntT, 0, 0, 1}};
const QiraMethodRow kMethods[] = {
    {kNew, 0, &mNew}, {kEchoM, 0, &mEcho}, {kCount, 0, &mCount}, {kLinger, 0, &mLinger}};
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"  // the unnamed words are 0
const QiraTypeDesc kType = {.name = kEcho, .w3 = 0x10001, .privsize = sizeof(uint32_t),
                            .init = &echoInit, .term = &echoTerm, .props = kProps, .nprops = 5,
                            .methods = kMethods, .nmethods = 4};

// Module functions 100-104 and 110; two references, so the host reads more than one.
uint32_t getRefCount() { return 2; }
uint32_t getRef(uint32_t i, uint32_t *out) {
  if (i < 1 || i > 2) return QIRA_ERR_RANGE;
  *out = i == 1 ? 7 : 9;
  return QIRA_OK;
}
uint32_t getSymCount(void *, uint32_t *out) {
  *out = kSymCount;
  return QIRA_OK;
}
uint32_t getSymbol(void *, uint32_t i, QiraNameDesc *out) {
  if (i < 1 || i > kSymCount) return QIRA_ERR_RANGE;
  *out = desc(i);
  return QIRA_OK;
}
uint32_t addTypes(void *, void *host, void *argument) {
  auto reg = reinterpret_cast<QiraHost_RegType>(static_cast<QiraProvider **>(host)[1]->getter(130));
  return reg ? reg(host, &kType, argument) : QIRA_ERR_NOHOSTFUNC;
}
uint32_t getVersion(void *, uint16_t *buffer, uint32_t capacity, uint32_t *len_out) {
  *len_out = 8;
  if (capacity < 8) return QIRA_ERR_TOOLONG;
  memcpy(buffer, u"2.00.007", 16);
  return QIRA_OK;
}

}  // namespace

ECHO_API const QiraVersion *VXGetVer(void) { return &kVersion; }

ECHO_API QiraHostFn TARVO(int32_t id) {
  switch (id) {
    case 100: return reinterpret_cast<QiraHostFn>(&getRefCount);
    case 101: return reinterpret_cast<QiraHostFn>(&getRef);
    case 102: return reinterpret_cast<QiraHostFn>(&getSymCount);
    case 103: return reinterpret_cast<QiraHostFn>(&getSymbol);
    case 104: return reinterpret_cast<QiraHostFn>(&addTypes);
    case 110: return reinterpret_cast<QiraHostFn>(&getVersion);
    default: return nullptr;
  }
}

ECHO_API uint32_t EchoLivePrivates(void) { return g_live; }
ECHO_API uint32_t EchoCleanups(void) { return g_cleanups; }
