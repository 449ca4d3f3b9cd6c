// The frame every method and constructor of both types runs in.  A method is
// a struct naming its parameter list (from module/qiratyp.h) and its
// receiver, with a `read` step for its parameters before `error` and a
// `work` step after it:
//
//   struct Rename : QiraMethod<QiraParams_rename, QiraEntryPrivate> {
//     const uint16_t *name = nullptr; uint32_t len = 0;
//     uint32_t read(Call &c) { return c.str<QIRA_SYM_NEWNAME>(&name, &len); }
//     uint32_t work(Call &c) { ... }
//   };
//   QIRA_METHOD_ENTRY(TARVOQIRADirEntry_Rename, Rename)
//
// The rule the frame keeps: every failure before `error` is read is the
// call's status; a failure of `work` goes into `error` when the script gave
// one (the call then succeeds with no value), otherwise it is the status.
// On success `work` has given the call its value.  The argument count is
// stored last, whatever the outcome.
#pragma once

#include <type_traits>

#include "objects/objects.h"
#include "module/qiratyp.h"

// The arguments the host calls every method with.
#define QIRA_METHOD_PARAMS                                                           \
  void *callctx, uint32_t argc, QiraArgSlot *slots, uint32_t *argc_out,             \
      const QiraObjRef *receiver, QiraResult *result
#define QIRA_METHOD_ARGS QiraMethodArgs{callctx, argc, slots, argc_out, receiver, result}

// The exported function of a method: the frame around the method struct.
#define QIRA_METHOD_ENTRY(fn, Method)                                                \
  extern "C" QIRA_API uint32_t fn(QIRA_METHOD_PARAMS) {                             \
    return _x_frame(Method{}, QIRA_METHOD_ARGS);                                    \
  }

struct QiraMethodArgs {
  void *callctx;
  uint32_t argc;
  QiraArgSlot *slots;
  uint32_t *argc_out;
  const QiraObjRef *receiver;
  QiraResult *result;
};

// A date argument; absent ones are not given and carry no digits.
struct QiraDateArg {
  uint16_t given = 0;
  const uint16_t *digits = nullptr;
  uint32_t count = 0;
};

// A flag argument; absent ones are not given and read as 0.
struct QiraFlagArg {
  uint16_t given = 0;
  uint16_t value = 0;
};

// What a constructor runs on: the type to instantiate.  new runs on the type
// object itself, whose private data's first word names it.
[[nodiscard]] QiraTypeRecord *_x_typetoinstantiate(QiraHostFn *table,
                                                   const QiraObjRef *receiver);

// The tail every method shares once `error` has been read.
[[nodiscard]] uint32_t _x_methodfailure(QiraHostFn *table, QiraModuleCtx *mc, void *callctx,
                                        QiraResult *result, const QiraObjRef &error,
                                        uint32_t code);

// One call of a method with parameter list P on a receiver whose private
// data is Self (QiraDirPrivate, QiraEntryPrivate), or of a constructor (Self
// is QiraTypeRecord: the type to instantiate).
template <typename P, typename Self>
struct QiraCall {
  static constexpr bool kConstructor = std::is_same_v<Self, QiraTypeRecord>;

  QiraMethodArgs in;
  QiraModuleCtx *mc = nullptr;
  QiraHostFn *table = nullptr;       // the receiver's API block's, or `fetched`
  Self *self = nullptr;
  QiraObjRef error{nullptr, 0};      // null object when not given
  uint32_t pos[P::count] = {};       // 1-based, 0 when not given
  QiraHostApi fetched{};             // a constructor's own copy of the host API

  // The receiver, the host API table and the parameter positions.  Every
  // object method needs a finished object (21); a constructor fetches the
  // table itself and needs the type object as receiver (16).
  [[nodiscard]] uint32_t open() {
    if constexpr (kConstructor) {
      mc = _x_callmodctx(in.callctx);
      uint32_t code = TARVO_GetExternalApiFuncs(mc->provider, fetched);
      if (code != QIRA_OK) return code;
      table = fetched;
      code = positions();
      if (code != QIRA_OK) return code;
      self = _x_typetoinstantiate(table, in.receiver);
      return self ? QIRA_OK : QIRA_ERR_WRONGKIND;
    } else {
      self = _x_receiver<Self>(in.receiver);
      if (!self) return QIRA_ERR_NOPRIVATE;
      mc = _x_callmodctx(in.callctx);
      table = self->api->api;
      return positions();
    }
  }

  [[nodiscard]] uint32_t readerror() {
    return TARVOParam_ObjParam(table, at<QIRA_SYM_ERROR>(), in.slots, &error);
  }

  // ---- argument readers.  An optional one leaves its outputs alone for an
  // argument not given; the required one of the same name is the optional
  // one plus 41 then.

  template <uint32_t Sym>
  [[nodiscard]] uint32_t at() const { return pos[P::at(Sym)]; }

  template <uint32_t Sym>
  [[nodiscard]] uint32_t optstr(const uint16_t **chars, uint32_t *len) {
    if (!at<Sym>()) return QIRA_OK;
    return TARVOParam_StrParam(mc, table, at<Sym>(), in.slots, chars, len);
  }

  // An index in [minimum, maximum].
  template <uint32_t Sym>
  [[nodiscard]] uint32_t optindex(uint32_t minimum, uint32_t maximum, uint32_t *out) {
    return TARVOParam_VxmemsizeParam(mc, table, at<Sym>(), in.slots, out, minimum, maximum);
  }

  template <uint32_t Sym>
  [[nodiscard]] uint32_t optflag(QiraFlagArg *out) {
    if (!at<Sym>()) return QIRA_OK;
    out->given = 1;
    return TARVOParam_BoolParam(mc, table, at<Sym>(), in.slots, &out->value);
  }

  // A date before year 1 does not exist, so a negative value is refused
  // before anything else happens (30).
  template <uint32_t Sym>
  [[nodiscard]] uint32_t optdate(QiraDateArg *out) {
    if (!at<Sym>()) return QIRA_OK;
    uint16_t sign = 0;
    const uint32_t code = TARVOParam_IntDigitsFromNumericParam(mc, table, at<Sym>(), in.slots,
                                                               &sign, &out->digits, &out->count);
    if (code != QIRA_OK) return code;
    if (sign != 0) return QIRA_ERR_RANGE;
    out->given = 1;
    return QIRA_OK;
  }

  // A run of optional flags or dates, read in order into out[0], out[1], ...;
  // the first failure ends the run.
  template <uint32_t... Syms>
  [[nodiscard]] uint32_t optflags(QiraFlagArg *out) {
    uint32_t code = QIRA_OK;
    (void)(((code = optflag<Syms>(out++)) == QIRA_OK) && ...);
    return code;
  }
  template <uint32_t... Syms>
  [[nodiscard]] uint32_t optdates(QiraDateArg *out) {
    uint32_t code = QIRA_OK;
    (void)(((code = optdate<Syms>(out++)) == QIRA_OK) && ...);
    return code;
  }

  // clang-format off
  template <uint32_t S> [[nodiscard]] uint32_t str(const uint16_t **c, uint32_t *n) { return must<S>(optstr<S>(c, n)); }
  template <uint32_t S> [[nodiscard]] uint32_t index(uint32_t lo, uint32_t hi, uint32_t *out) { return must<S>(optindex<S>(lo, hi, out)); }
  template <uint32_t S> [[nodiscard]] uint32_t flag(QiraFlagArg *out) { return must<S>(optflag<S>(out)); }
  template <uint32_t S> [[nodiscard]] uint32_t date(QiraDateArg *out) { return must<S>(optdate<S>(out)); }
  // clang-format on

  // ---- endings

  // The receiver itself, with one more reference, as the call's value.
  [[nodiscard]] uint32_t returnself(uint32_t code) {
    if (code != QIRA_OK) return code;
    _x_addref(table, self->object);
    _x_handback(table, in.result, self->object);
    return QIRA_OK;
  }

  [[nodiscard]] uint32_t fail(uint32_t code) {
    return _x_methodfailure(table, mc, in.callctx, in.result, error, code);
  }

 private:
  // What an optional reader returned, or 41 when the argument was not given
  // (and the optional reader did nothing).
  template <uint32_t Sym>
  [[nodiscard]] uint32_t must(uint32_t code) const {
    return at<Sym>() ? code : QIRA_ERR_MISSINGPARAM;
  }

  [[nodiscard]] uint32_t positions() {
    return _x_positions(table, pos, qira_paramdescs_v<P>.d, P::count, in.argc, in.slots);
  }
};

// The base of every method: its parameter list, its receiver, and the
// defaults (no parameters before `error`; runs without a result record).
template <typename P, typename Self>
struct QiraMethod {
  using Call = QiraCall<P, Self>;
  // A method whose value can only come later (a block) cannot start without
  // a result record to hand the block to: 13, the call's status.
  static constexpr bool kNeedsResult = false;
  [[nodiscard]] uint32_t read(Call &) { return QIRA_OK; }
};

template <typename M>
[[nodiscard]] uint32_t _x_frame(M m, const QiraMethodArgs &in) {
  typename M::Call c{in};
  uint32_t code = c.open();
  if (code == QIRA_OK) code = m.read(c);
  if (code == QIRA_OK) code = c.readerror();
  if (code == QIRA_OK && M::kNeedsResult && !in.result) code = QIRA_ERR_NOTPOSSIBLE;
  if (code == QIRA_OK) {
    code = m.work(c);
    if (code != QIRA_OK) code = c.fail(code);
  }
  if (in.argc_out) *in.argc_out = in.argc;
  return code;
}

// The read step of both constructors, new(name, error).  Whether an empty
// name is refused here, as the call's status (29), or left to the work,
// whose failure then goes through `error`, is each type's own decision.
template <typename P, bool EmptyIsStatus>
struct QiraNewMethod : QiraMethod<P, QiraTypeRecord> {
  using Call = QiraCall<P, QiraTypeRecord>;
  const uint16_t *name = nullptr;
  uint32_t len = 0;
  [[nodiscard]] uint32_t read(Call &c) {
    const uint32_t code = c.template str<QIRA_SYM_NAME>(&name, &len);
    if (code == QIRA_OK && EmptyIsStatus && len == 0) return QIRA_ERR_EMPTY;
    return code;
  }
};
