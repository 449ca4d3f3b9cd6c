// A small module that proves the host stand-in without qira.so: it exports
// the entry points a host loads, a heap memory group of its own, and one type
// "Echo" whose methods echo their arguments into properties, complete calls
// through 200/210/211/220, run a block that asks to be called again (1000),
// and one that waits on a pipe (1010) through its own yield function.  A
// second, empty type "Other" is registered with it so the ring of types can
// be checked.
#include "qira.h"

#include <fcntl.h>
#include <sys/select.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#define ECHO_API extern "C" QIRA_API

namespace {

// ---- symbols ----------------------------------------------------------------------

enum Sym : uint32_t {
  kEcho = 1, kOther, kText, kNumber, kFlag, kError, kNew, kEchoM, kFail, kCount, kWait,
  kSteps, kFd, kCode, kN, kLinger, kTypeT, kFuncT, kStrT, kIntT, kBoolT, kSymCount = kBoolT
};

const char16_t *const kSymText[kSymCount] = {
    u"Echo", u"Other", u"text", u"number", u"flag", u"error", u"new", u"echo", u"fail",
    u"count", u"wait", u"steps", u"fd", u"code", u"n", u"linger", u"type", u"function",
    u"string", u"integer", u"boolean"};

QiraNameDesc desc(uint32_t symbol) {
  const char16_t *s = kSymText[symbol - 1];
  return QiraNameDesc{uint32_t(std::char_traits<char16_t>::length(s) * 2),
                      reinterpret_cast<const uint16_t *>(s)};
}

const char kDescription[] = "Echo module for testing the host";
const QiraVersion kVersion = {sizeof(QiraVersion), {2, 0, 0, 0, 7},
                              sizeof(kDescription) - 1, sizeof(kDescription) - 1,
                              kDescription, kDescription};

// ---- heap memory group --------------------------------------------------------------

// Header in front of every block: list links, group, size, a zero word and
// the owner word (pointing at the header, whose third word is the group).
struct HeapHdr {
  QiraDNode links;
  QiraMemGroup *group;
  uintptr_t size;
  uintptr_t zero;
  HeapHdr *owner;
};

void *heapAlloc(QiraMemGroup *g, uint32_t size, uint32_t *need) {
  auto *h = static_cast<HeapHdr *>(malloc(sizeof(HeapHdr) + size));
  if (!h) {
    if (need) *need = 0;
    return nullptr;
  }
  h->links.next = g->list.next;
  h->links.prev = &g->list;
  g->list.next->prev = &h->links;
  g->list.next = &h->links;
  h->group = g;
  h->size = size;
  h->zero = 0;
  h->owner = h;
  return h + 1;
}

void *heapFree(QiraMemGroup *, void *block) {
  HeapHdr *h = static_cast<HeapHdr **>(block)[-1];
  h->links.prev->next = h->links.next;
  h->links.next->prev = h->links.prev;
  free(h);
  return nullptr;
}

// ---- host API table -----------------------------------------------------------------

QiraHostFn g_t[QIRA_HOSTAPI_COUNT];
uint32_t g_live = 0;
uint32_t g_cleanups = 0;

uint32_t fetch(void *callctx) {
  static const uint32_t ids[] = {QIRA_HOSTAPI_IDS};
  QiraModuleCtx *mc = static_cast<QiraCallCtx *>(callctx)->modctx;
  for (uint32_t i = 0; i < QIRA_HOSTAPI_COUNT; ++i) {
    g_t[i] = mc->provider->getter(ids[i]);
    if (!g_t[i]) return QIRA_ERR_NOHOSTFUNC;
  }
  return QIRA_OK;
}

QiraModuleCtx *modctx(void *callctx) { return static_cast<QiraCallCtx *>(callctx)->modctx; }

#define H(slot, Shape) QIRA_HOSTFN(g_t, slot, Shape)

struct EchoPriv {
  void *self;
  uint32_t calls;
  uint32_t magic;
};
constexpr uint32_t kPrivMagic = 0x4543484f;

EchoPriv *privOf(const QiraObjRef *ref) {
  if (!ref || !ref->obj) return nullptr;
  auto *obj = static_cast<QiraHostObject *>(ref->obj);
  uintptr_t word = ref->word;
  return static_cast<EchoPriv *>(obj->priv(ref->obj, &word));
}

uint32_t positions(const uint32_t *syms, uint32_t n, uint32_t argc, QiraArgSlot *slots,
                   uint32_t *pos) {
  QiraNameDesc d[8];
  for (uint32_t i = 0; i < n; ++i) d[i] = desc(syms[i]);
  return H(QIRA_API_PARAMPOS, QiraHost_ParamPos)(pos, d, n, argc, slots);
}

QiraArgSlot *slotAt(QiraArgSlot *slots, uint32_t pos) { return &slots[pos - 1]; }

uint32_t errorParam(uint32_t pos, QiraArgSlot *slots, QiraObjRef *out) {
  out->obj = nullptr;
  out->word = 0;
  if (!pos) return QIRA_OK;
  QiraArgSlot *s = slotAt(slots, pos);
  if (s->tag == QIRA_TAG_NONE) return QIRA_OK;
  if (s->tag != QIRA_TAG_VARREF) return QIRA_ERR_NOTVARIABLE;
  *out = s->u.var;
  (void)H(QIRA_API_NOTEVAR, QiraHost_NoteVar)(out, 0, 0);
  return QIRA_OK;
}

uint32_t storeU32(QiraModuleCtx *mc, const QiraObjRef &var, uint32_t v) {
  QiraValue val;
  uint32_t rc = H(QIRA_API_MKU32, QiraHost_MkU32)(mc, &val, 0, v);
  if (rc) return rc;
  rc = H(QIRA_API_ASSIGN, QiraHost_Assign)(var.obj, var.word, QIRA_TAG_INT, &val, 0);
  if (rc) (void)H(QIRA_API_FREEVAL, QiraHost_FreeVal)(QIRA_TAG_INT, &val);
  return rc;
}

uint32_t failure(void *callctx, QiraResult *result, const QiraObjRef &err, uint32_t code) {
  if (!err.obj) return code;
  uint32_t rc = storeU32(modctx(callctx), err, code);
  if (rc) return rc;
  QiraValue scratch;
  return H(QIRA_API_NOVALUE, QiraHost_NoValue)(callctx, result, 0, &scratch);
}

uint32_t setString(QiraModuleCtx *mc, void *obj, uint32_t sym, const uint16_t *c, uint32_t n) {
  QiraValue v;
  uint32_t rc = H(QIRA_API_MKSTR, QiraHost_MkStr)(mc, &v, c, n);
  if (rc) return rc;
  rc = H(QIRA_API_SETPROP, QiraHost_SetProp)(obj, 0, sym, QIRA_TAG_STRING, &v, 1);
  if (rc) (void)H(QIRA_API_FREEVAL, QiraHost_FreeVal)(QIRA_TAG_STRING, &v);
  return rc;
}

uint32_t setU32(QiraModuleCtx *mc, void *obj, uint32_t sym, uint32_t n) {
  QiraValue v;
  uint32_t rc = H(QIRA_API_MKU32, QiraHost_MkU32)(mc, &v, 0, n);
  if (rc) return rc;
  rc = H(QIRA_API_SETPROP, QiraHost_SetProp)(obj, 0, sym, QIRA_TAG_INT, &v, 1);
  if (rc) (void)H(QIRA_API_FREEVAL, QiraHost_FreeVal)(QIRA_TAG_INT, &v);
  return rc;
}

void handBack(QiraResult *result, void *obj) {
  result->block = reinterpret_cast<QiraBlockFn>(g_t[QIRA_API_DELIVER]);
  result->term = reinterpret_cast<QiraBlockFn>(g_t[QIRA_API_DROP]);
  result->data = obj;
}

uint32_t done(uint32_t argc, uint32_t *argc_out, uint32_t status) {
  if (argc_out) *argc_out = argc;
  return status;
}

// Reads an integer argument, resolving variables and other numerics first.
uint32_t intParam(QiraModuleCtx *mc, QiraArgSlot *s, uint16_t *sign, uint32_t *count,
                  const uint16_t **digits) {
  if (s->tag == QIRA_TAG_VARREF) {
    if (uint32_t rc = H(QIRA_API_RESOLVEVAR, QiraHost_ResolveVar)(s)) return rc;
  }
  if (s->tag == QIRA_TAG_NUMERIC) {
    if (uint32_t rc = H(QIRA_API_TOINT, QiraHost_ToInt)(mc, &s->u.value)) return rc;
    s->tag = QIRA_TAG_INT;
  }
  uint16_t f1 = 0, f2 = 0;
  if (uint32_t rc = H(QIRA_API_GETINT, QiraHost_GetInt)(s, &f1, &f2, sign, count, digits)) return rc;
  return f1 || f2 ? QIRA_ERR_RANGE : QIRA_OK;
}

uint32_t u32Param(QiraModuleCtx *mc, QiraArgSlot *s, uint32_t *out) {
  uint16_t sign = 0;
  uint32_t count = 0;
  const uint16_t *d = nullptr;
  if (uint32_t rc = intParam(mc, s, &sign, &count, &d)) return rc;
  if (sign || count > 2) return QIRA_ERR_RANGE;
  *out = (count > 1 ? uint32_t(d[1]) << 16 : 0) | (count > 0 ? d[0] : 0);
  return QIRA_OK;
}

// ---- type hooks -------------------------------------------------------------------------

void echoInit(void *p) {
  auto *e = static_cast<EchoPriv *>(p);
  e->self = nullptr;
  e->calls = 0;
  e->magic = kPrivMagic;
  ++g_live;
}

void echoTerm(void *p) {
  auto *e = static_cast<EchoPriv *>(p);
  if (e->magic == kPrivMagic) --g_live;
  e->magic = 0;
}

// The value of an Echo object is the number of echo calls it has seen.
uint32_t echoGetValue(const QiraObjRef *ref, uint32_t *tag, QiraValue *value) {
  EchoPriv *e = privOf(ref);
  if (!e) {
    if (tag) *tag = QIRA_TAG_NONE;
    return QIRA_OK;
  }
  uint32_t rc = H(QIRA_API_MKU32, QiraHost_MkU32)(nullptr, value, 0, e->calls);
  if (rc == QIRA_OK && tag) *tag = QIRA_TAG_INT;
  return rc;
}

uint32_t echoSetValue(void) { return QIRA_ERR_ACCESS; }

// ---- methods -------------------------------------------------------------------------------

uint32_t mNew(void *cc, uint32_t argc, QiraArgSlot *slots, uint32_t *argc_out,
              const QiraObjRef *recv, QiraResult *result) {
  if (uint32_t rc = fetch(cc)) return done(argc, argc_out, rc);
  static const uint32_t params[] = {kText, kError};
  uint32_t pos[2];
  if (uint32_t rc = positions(params, 2, argc, slots, pos)) return done(argc, argc_out, rc);
  QiraTypeRecord *tr = H(QIRA_API_TYPEOF, QiraHost_TypeOf)(recv);
  if (!tr || tr->info->kind != QIRA_KIND_TYPEOBJECT) return done(argc, argc_out, QIRA_ERR_WRONGKIND);
  auto *tp = static_cast<QiraTypeRecord **>(
      static_cast<QiraHostObject *>(recv->obj)->priv(recv->obj, const_cast<uintptr_t *>(&recv->word)));
  if (!tp || !*tp) return done(argc, argc_out, QIRA_ERR_WRONGKIND);
  const uint16_t *text = nullptr;
  uint32_t len = 0;
  if (pos[0]) {
    uint16_t f1 = 0, f2 = 0;
    if (uint32_t rc = H(QIRA_API_GETSTR, QiraHost_GetStr)(slotAt(slots, pos[0]), &f1, &f2, &text, &len))
      return done(argc, argc_out, rc);
    if (f1) return done(argc, argc_out, QIRA_ERR_EMPTY);
    if (f2) return done(argc, argc_out, QIRA_ERR_TOOLONG);
  }
  QiraObjRef err;
  if (uint32_t rc = errorParam(pos[1], slots, &err)) return done(argc, argc_out, rc);

  QiraObjRef obj{nullptr, 0};
  uint32_t rc = H(QIRA_API_NEWOBJ, QiraHost_NewObj)(*tp, &obj);
  if (rc) return done(argc, argc_out, failure(cc, result, err, rc));
  obj.word = 0;
  (void)H(QIRA_API_ADDREF, QiraHost_Ref)(obj.obj);
  EchoPriv *e = privOf(&obj);
  rc = e ? QIRA_OK : QIRA_ERR_NOPRIVATE;
  if (e) e->self = obj.obj;
  if (!rc && text) rc = setString(modctx(cc), obj.obj, kText, text, len);
  if (rc) {
    (void)H(QIRA_API_RELEASE, QiraHost_Ref)(obj.obj);
    return done(argc, argc_out, failure(cc, result, err, rc));
  }
  if (result) handBack(result, obj.obj);
  return done(argc, argc_out, QIRA_OK);
}

// echo(text, number, flag, error): each argument given lands in the property
// of its name (number given as none clears it); the call's value is the
// receiver, and `error` is set to 0.
uint32_t mEcho(void *cc, uint32_t argc, QiraArgSlot *slots, uint32_t *argc_out,
               const QiraObjRef *recv, QiraResult *result) {
  EchoPriv *e = privOf(recv);
  if (!e) return done(argc, argc_out, QIRA_ERR_NOPRIVATE);
  if (uint32_t rc = fetch(cc)) return done(argc, argc_out, rc);
  QiraModuleCtx *mc = modctx(cc);
  static const uint32_t params[] = {kText, kNumber, kFlag, kError};
  uint32_t pos[4];
  if (uint32_t rc = positions(params, 4, argc, slots, pos)) return done(argc, argc_out, rc);
  const uint16_t *text = nullptr;
  uint32_t len = 0;
  if (pos[0]) {
    uint16_t f1 = 0, f2 = 0;
    if (uint32_t rc = H(QIRA_API_GETSTR, QiraHost_GetStr)(slotAt(slots, pos[0]), &f1, &f2, &text, &len))
      return done(argc, argc_out, rc);
    if (f1) return done(argc, argc_out, QIRA_ERR_EMPTY);
    if (f2) return done(argc, argc_out, QIRA_ERR_TOOLONG);
  }
  uint16_t sign = 0;
  uint32_t count = 0;
  const uint16_t *digits = nullptr;
  bool numberNone = pos[1] && slotAt(slots, pos[1])->tag == QIRA_TAG_NONE;
  if (pos[1] && !numberNone) {
    if (uint32_t rc = intParam(mc, slotAt(slots, pos[1]), &sign, &count, &digits))
      return done(argc, argc_out, rc);
  }
  uint16_t flag = 0;
  if (pos[2]) {
    uint16_t f = 0;
    if (uint32_t rc = H(QIRA_API_GETBOOL, QiraHost_GetBool)(slotAt(slots, pos[2]), &f, &flag))
      return done(argc, argc_out, rc);
    if (f) return done(argc, argc_out, QIRA_ERR_RANGE);
  }
  QiraObjRef err;
  if (uint32_t rc = errorParam(pos[3], slots, &err)) return done(argc, argc_out, rc);

  uint32_t rc = QIRA_OK;
  if (pos[0]) rc = setString(mc, recv->obj, kText, text, len);
  if (!rc && pos[1] && numberNone) {
    QiraValue nothing;
    rc = H(QIRA_API_SETPROP, QiraHost_SetProp)(recv->obj, 0, kNumber, QIRA_TAG_NONE, &nothing, 1);
  } else if (!rc && pos[1]) {
    QiraValue v;
    rc = H(QIRA_API_MKINT, QiraHost_MkInt)(mc, &v, sign, digits, count);
    if (!rc) {
      rc = H(QIRA_API_SETPROP, QiraHost_SetProp)(recv->obj, 0, kNumber, QIRA_TAG_INT, &v, 1);
      if (rc) (void)H(QIRA_API_FREEVAL, QiraHost_FreeVal)(QIRA_TAG_INT, &v);
    }
  }
  if (!rc && pos[2]) {
    QiraValue v;
    rc = H(QIRA_API_MKBOOL, QiraHost_MkBool)(&v, flag);
    if (!rc) rc = H(QIRA_API_SETPROP, QiraHost_SetProp)(recv->obj, 0, kFlag, QIRA_TAG_BOOL, &v, 1);
  }
  if (!rc && err.obj) rc = storeU32(mc, err, 0);
  if (rc) return done(argc, argc_out, failure(cc, result, err, rc));
  ++e->calls;
  if (result) {
    (void)H(QIRA_API_ADDREF, QiraHost_Ref)(recv->obj);
    handBack(result, recv->obj);
  }
  return done(argc, argc_out, QIRA_OK);
}

// fail(code, error): the failure path of every method.
uint32_t mFail(void *cc, uint32_t argc, QiraArgSlot *slots, uint32_t *argc_out,
               const QiraObjRef *, QiraResult *result) {
  if (uint32_t rc = fetch(cc)) return done(argc, argc_out, rc);
  static const uint32_t params[] = {kCode, kError};
  uint32_t pos[2];
  if (uint32_t rc = positions(params, 2, argc, slots, pos)) return done(argc, argc_out, rc);
  if (!pos[0]) return done(argc, argc_out, QIRA_ERR_MISSINGPARAM);
  uint32_t code = 0;
  if (uint32_t rc = u32Param(modctx(cc), slotAt(slots, pos[0]), &code)) return done(argc, argc_out, rc);
  QiraObjRef err;
  if (uint32_t rc = errorParam(pos[1], slots, &err)) return done(argc, argc_out, rc);
  return done(argc, argc_out, failure(cc, result, err, code));
}

// ---- count(n, error): a block that asks to be called again n times ----------------------

struct CountBlock {
  QiraModuleCtx *mc;
  void *self;
  QiraObjRef err;
  uint32_t left;
  uint32_t steps;
};

uint32_t countTerm(void *, void *data) {
  auto *b = static_cast<CountBlock *>(data);
  if (b->self) (void)H(QIRA_API_RELEASE, QiraHost_Ref)(b->self);
  if (b->err.obj) (void)H(QIRA_API_RELEASE, QiraHost_Ref)(b->err.obj);
  Mem_Free(b);
  return QIRA_OK;
}

uint32_t countBlock(void *bctx, void *data) {
  auto *b = static_cast<CountBlock *>(data);
  if (b->left) {
    --b->left;
    ++b->steps;
    return QIRA_BLOCK_AGAIN;
  }
  uint32_t rc = setU32(b->mc, b->self, kSteps, b->steps);
  if (rc == QIRA_OK) {
    void *self = b->self;
    b->self = nullptr;  // the reference goes to the host with the value
    rc = reinterpret_cast<QiraBlockFn>(g_t[QIRA_API_DELIVER])(bctx, self);
  } else if (b->err.obj) {
    rc = storeU32(b->mc, b->err, rc);
    if (rc == QIRA_OK) rc = reinterpret_cast<QiraBlockFn>(g_t[QIRA_API_COMPLETE])(bctx, nullptr);
  }
  countTerm(bctx, data);
  return rc;
}

uint32_t mCount(void *cc, uint32_t argc, QiraArgSlot *slots, uint32_t *argc_out,
                const QiraObjRef *recv, QiraResult *result) {
  if (!privOf(recv)) return done(argc, argc_out, QIRA_ERR_NOPRIVATE);
  if (uint32_t rc = fetch(cc)) return done(argc, argc_out, rc);
  static const uint32_t params[] = {kN, kError};
  uint32_t pos[2];
  if (uint32_t rc = positions(params, 2, argc, slots, pos)) return done(argc, argc_out, rc);
  uint32_t n = 0;
  if (pos[0]) {
    if (uint32_t rc = u32Param(modctx(cc), slotAt(slots, pos[0]), &n)) return done(argc, argc_out, rc);
  }
  QiraObjRef err;
  if (uint32_t rc = errorParam(pos[1], slots, &err)) return done(argc, argc_out, rc);
  auto *b = static_cast<CountBlock *>(Mem_Alloc(modctx(cc)->group, sizeof(CountBlock)));
  if (!b) return done(argc, argc_out, failure(cc, result, err, QIRA_ERR_NOMEM));
  *b = CountBlock{modctx(cc), recv->obj, err, n, 0};
  (void)H(QIRA_API_ADDREF, QiraHost_Ref)(recv->obj);
  if (err.obj) (void)H(QIRA_API_ADDREF, QiraHost_Ref)(err.obj);
  if (result) {
    result->block = &countBlock;
    result->term = &countTerm;
    result->data = b;
  }
  return done(argc, argc_out, QIRA_OK);
}

// ---- wait(): a block that waits for a byte on a pipe (1010) ----------------------------

struct WaitBlock {
  void *self;
  int rfd;
  int wfd;
  QiraYieldRec rec;
};

uint32_t msNow() {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  return uint32_t(uint64_t(tv.tv_sec) * 1000u + uint64_t(tv.tv_usec) / 1000u);
}

// Sleeps until a descriptor of the records is ready or the nearest time limit.
void echoYield(void *const *runs, uint32_t count, uint16_t wait) {
  fd_set rs, ws, xs;
  FD_ZERO(&rs);
  FD_ZERO(&ws);
  FD_ZERO(&xs);
  int maxfd = -1;
  int64_t limit = -1;
  bool go = count != 0;
  for (uint32_t i = 0; i < count && go; ++i) {
    auto *r = static_cast<QiraYieldRec *>(runs[i]);
    if (!r) {
      go = false;
      break;
    }
    for (;; ++r) {
      if (r->flags & QIRA_YF_NOWAIT) {
        go = false;
        break;
      }
      if (r->fd != -1) {
        if (!(r->flags & QIRA_YF_NOREAD)) FD_SET(r->fd, &rs);
        if (!(r->flags & QIRA_YF_NOWRITE)) FD_SET(r->fd, &ws);
        FD_SET(r->fd, &xs);
        if (r->fd > maxfd) maxfd = r->fd;
      }
      int64_t remaining = -1;
      bool timed = false;
      uint32_t now = msNow();
      if (r->mode == 1) {
        remaining = int32_t(r->deadline - now);
        timed = true;
      } else if (r->mode == 2) {
        while (int32_t(r->deadline - now) < 0) r->deadline += r->period;
        remaining = int32_t(r->deadline - now);
        timed = true;
      } else if (r->mode != 0) {
        go = false;
      }
      if (timed && (limit < 0 || remaining < limit)) limit = remaining < 0 ? 0 : remaining;
      if (!go || !(r->flags & QIRA_YF_MORE)) break;
    }
  }
  if (wait != 1 || !go || limit == 0) return;
  timeval tv{time_t(limit / 1000), suseconds_t((limit % 1000) * 1000)};
  (void)select(maxfd + 1, &rs, &ws, &xs, limit < 0 ? nullptr : &tv);
}

uint32_t waitTerm(void *, void *data) {
  auto *b = static_cast<WaitBlock *>(data);
  if (b->rfd >= 0) close(b->rfd);
  if (b->wfd >= 0) close(b->wfd);
  if (b->self) (void)H(QIRA_API_RELEASE, QiraHost_Ref)(b->self);
  Mem_Free(b);
  return QIRA_OK;
}

uint32_t waitBlock(void *bctx, void *data) {
  auto *b = static_cast<WaitBlock *>(data);
  char c;
  if (read(b->rfd, &c, 1) != 1) return QIRA_BLOCK_WAIT;
  uint32_t rc = reinterpret_cast<QiraBlockFn>(g_t[QIRA_API_COMPLETE])(bctx, nullptr);
  waitTerm(bctx, data);
  return rc;
}

// wait(): property fd is the pipe's write end; one byte written there ends the call.
uint32_t mWait(void *cc, uint32_t argc, QiraArgSlot *slots, uint32_t *argc_out,
               const QiraObjRef *recv, QiraResult *result) {
  if (!privOf(recv)) return done(argc, argc_out, QIRA_ERR_NOPRIVATE);
  if (uint32_t rc = fetch(cc)) return done(argc, argc_out, rc);
  static const uint32_t params[] = {kError};
  uint32_t pos[1];
  if (uint32_t rc = positions(params, 1, argc, slots, pos)) return done(argc, argc_out, rc);
  int fds[2];
  if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) return done(argc, argc_out, QIRA_ERR_SYSTEM | uint32_t(errno));
  auto *b = static_cast<WaitBlock *>(Mem_Alloc(modctx(cc)->group, sizeof(WaitBlock)));
  if (!b) {
    close(fds[0]);
    close(fds[1]);
    return done(argc, argc_out, QIRA_ERR_NOMEM);
  }
  *b = WaitBlock{recv->obj, fds[0], fds[1], QiraYieldRec{fds[0], 0, 0, 0, QIRA_YF_NOWRITE}};
  (void)H(QIRA_API_ADDREF, QiraHost_Ref)(recv->obj);
  if (uint32_t rc = setU32(modctx(cc), recv->obj, kFd, uint32_t(fds[1]))) {
    waitTerm(nullptr, b);
    return done(argc, argc_out, rc);
  }
  if (result) {
    result->block = &waitBlock;
    result->term = &waitTerm;
    result->data = b;
    result->yieldsize = sizeof(QiraYieldRec);
    result->yieldfn = &echoYield;
    result->yieldrec = &b->rec;
  }
  return done(argc, argc_out, QIRA_OK);
}

// ---- linger(): a listing record left at the module context ------------------------------

struct Lingering {
  QiraDNode links;
  uint32_t (*cleanup)(void *);
  void *arg;
};

uint32_t lingerCleanup(void *arg) {
  auto *l = static_cast<Lingering *>(arg);
  l->links.prev->next = l->links.next;
  l->links.next->prev = l->links.prev;
  ++g_cleanups;
  return QIRA_OK;
}

uint32_t mLinger(void *cc, uint32_t argc, QiraArgSlot *, uint32_t *argc_out, const QiraObjRef *,
                 QiraResult *result) {
  if (uint32_t rc = fetch(cc)) return done(argc, argc_out, rc);
  QiraModuleCtx *mc = modctx(cc);
  auto *l = static_cast<Lingering *>(Mem_Alloc(mc->group, sizeof(Lingering)));
  if (!l) return done(argc, argc_out, QIRA_ERR_NOMEM);
  l->cleanup = &lingerCleanup;
  l->arg = l;
  l->links.next = mc->listings.next;
  l->links.prev = &mc->listings;
  mc->listings.next->prev = &l->links;
  mc->listings.next = &l->links;
  QiraValue scratch;
  return done(argc, argc_out, H(QIRA_API_NOVALUE, QiraHost_NoValue)(cc, result, 0, &scratch));
}

// ---- tables --------------------------------------------------------------------------------

const QiraPropRow kEchoProps[] = {
    {kTypeT, QIRA_PROPKIND_TYPE, kTypeT, 1, 0, 1},
    {kText, kText, kStrT, 0, 0, 1},
    {kNumber, kNumber, kIntT, 0, 0, 1},
    {kFlag, kFlag, kBoolT, 0, 0, 1},
    {kSteps, kSteps, kIntT, 0, 0, 1},
    {kFd, kFd, kIntT, 0, 0, 1},
    {kEchoM, QIRA_PROPKIND_METHOD, kFuncT, 1, 0, 1},
};

const QiraMethodRow kEchoMethods[] = {
    {kNew, 0, &mNew},     {kEchoM, 0, &mEcho}, {kFail, 0, &mFail},
    {kCount, 0, &mCount}, {kWait, 0, &mWait},  {kLinger, 0, &mLinger},
};

const QiraPropRow kOtherProps[] = {{kTypeT, QIRA_PROPKIND_TYPE, kTypeT, 1, 0, 1}};

const QiraTypeDesc kEchoType = {
    .name = kEcho, .w1 = 0, .w2 = 0, .w3 = 0x10001, .privsize = sizeof(EchoPriv),
    .init = &echoInit, .term = &echoTerm, .w7 = 0, .getvalue = &echoGetValue, .w9 = 0,
    .setvalue = &echoSetValue, .w11 = 0, .w12 = 0, .w13 = 0, .w14 = 0,
    .props = kEchoProps, .nprops = sizeof(kEchoProps) / sizeof(kEchoProps[0]),
    .methods = kEchoMethods, .nmethods = sizeof(kEchoMethods) / sizeof(kEchoMethods[0]),
    .w19 = 0, .w20 = 0, .w21 = 0, .w22 = 0};

const QiraTypeDesc kOtherType = {
    .name = kOther, .w1 = 0, .w2 = 0, .w3 = 0x10001, .privsize = 0, .init = nullptr,
    .term = nullptr, .w7 = 0, .getvalue = nullptr, .w9 = 0, .setvalue = nullptr, .w11 = 0,
    .w12 = 0, .w13 = 0, .w14 = 0, .props = kOtherProps, .nprops = 1, .methods = nullptr,
    .nmethods = 0, .w19 = 0, .w20 = 0, .w21 = 0, .w22 = 0};

// ---- module functions 100-104, 110 ---------------------------------------------------------

uint32_t getRefCount(void) { return 2; }

uint32_t getRef(uint32_t index, uint32_t *out) {
  if (index < 1 || index > 2) return QIRA_ERR_RANGE;
  if (out) *out = index == 1 ? 7 : 9;
  return QIRA_OK;
}

uint32_t getSymCount(void *, uint32_t *out) {
  if (out) *out = kSymCount;
  return QIRA_OK;
}

uint32_t getSymbol(void *, uint32_t index, QiraNameDesc *out) {
  if (index < 1 || index > kSymCount) return QIRA_ERR_RANGE;
  if (out) *out = desc(index);
  return QIRA_OK;
}

uint32_t addTypes(void *, void *host, void *argument) {
  auto *provider = static_cast<QiraProvider **>(host)[1];
  auto reg = reinterpret_cast<QiraHost_RegType>(provider->getter(130));
  if (!reg) return QIRA_ERR_NOHOSTFUNC;
  if (uint32_t rc = reg(host, &kEchoType, argument)) return rc;
  return reg(host, &kOtherType, argument);
}

uint32_t getVersion(void *, uint16_t *buffer, uint32_t capacity, uint32_t *len_out) {
  static const char16_t text[] = u"2.00.007";
  constexpr uint32_t n = 8;
  uint32_t rc = capacity < n ? QIRA_ERR_TOOLONG : QIRA_OK;
  if (!rc && buffer) memcpy(buffer, text, n * 2);
  if (len_out) *len_out = n;
  return rc;
}

}  // namespace

// ---- exports ----------------------------------------------------------------------------------

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

ECHO_API uint32_t Mem_GroupGet(QiraMemGroup *parent, uint32_t kind, uint32_t, QiraMemGroup **out) {
  if (parent || kind != QIRA_GROUP_HEAP) return QIRA_ERR_GROUPKIND;
  auto *g = static_cast<QiraMemGroup *>(calloc(1, sizeof(QiraMemGroup)));
  if (!g) return QIRA_ERR_NOMEM;
  g->alloc = &heapAlloc;
  g->free = &heapFree;
  g->list.next = g->list.prev = &g->list;
  *out = g;
  return QIRA_OK;
}

ECHO_API void *Mem_Alloc(QiraMemGroup *g, uint32_t size) {
  uint32_t need = 0;
  return g->alloc(g, (size + 3) & ~3u, &need);
}

ECHO_API void Mem_Free(void *block) {
  HeapHdr *h = static_cast<HeapHdr **>(block)[-1];
  h->group->free(h->group, block);
}

ECHO_API void Mem_GroupFree(QiraMemGroup *g) {
  for (QiraDNode *p = g->list.next; p != &g->list;) {
    QiraDNode *next = p->next;
    free(p);
    p = next;
  }
  free(g);
}

ECHO_API uint32_t EchoLivePrivates(void) { return g_live; }
ECHO_API uint32_t EchoCleanups(void) { return g_cleanups; }
