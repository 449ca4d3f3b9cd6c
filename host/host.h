// The host stand-in: loads a module the way the closed scripting host does and
// plays the host's side of every exchange with it.
//
// The stand-in sees a module only through include/qira.h: it dlopen()s the
// shared object, reads the version record and the symbols, hands out host
// functions by numeric ID through a function provider, registers the module's
// types through its own function for ID 130, and calls methods with argument
// slots, a call context and a result record at the documented offsets.
//
// Map: 1 host error codes and limits, 2 values, 3 objects and variables,
// 4 arguments and call outcomes, 5 the step-wise call, 6 the host itself.
//
// Lifetime rule: every Ref, Variable, Value holding an object and PendingCall
// belongs to the Host that made it and must be gone before that Host is
// destroyed.  Everything runs on one thread.
#pragma once

#include "qira.h"

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace qhost {

// ===== 1. Host error codes and limits ======================================
//
// Codes the stand-in's own host functions return.  They lie far above every
// code the module produces, so a test can tell "the host refused" from "the
// module failed".

// One of the 52 IDs a module fetches but never calls was called.
inline constexpr uint32_t kHostErrUnimplemented = 9001;
// An object word that is not a live host object of this host.
inline constexpr uint32_t kHostErrBadObject = 9002;
// A value record or tag the host did not make (or already freed).
inline constexpr uint32_t kHostErrBadValue = 9003;
// 111 on an object that is not a variable.
inline constexpr uint32_t kHostErrNotVariable = 9004;
// 112 with a symbol that is no data property of the object's type.
inline constexpr uint32_t kHostErrNoProperty = 9005;
// 140: an argument name that is not among the method's parameters.
inline constexpr uint32_t kHostErrUnknownArgument = 9006;
// Host::call: the receiver's type has no method of that name.
inline constexpr uint32_t kHostErrNoMethod = 9007;
// 430 on a value that is not a whole number.
inline constexpr uint32_t kHostErrNotNumeric = 9008;
// Status of a call whose block the caller abandoned (the terminator ran).
inline constexpr uint32_t kHostErrAbandoned = 9009;
// 100 with a type record this host did not register; Host::construct with an
// unknown type name.
inline constexpr uint32_t kHostErrNoType = 9010;
// 130 with a descriptor the host cannot use (null, no name symbol, more
// symbols than the module has).
inline constexpr uint32_t kHostErrBadDescriptor = 9011;
// A host function was reached while no host is alive.
inline constexpr uint32_t kHostErrNoHost = 9012;
// Host::call on a receiver whose object is gone or null.
inline constexpr uint32_t kHostErrNoReceiver = 9013;

// Tag the host uses for an object value, e.g. in a slot after 110 resolved a
// variable that holds an object.  Not one of the module's tags.
inline constexpr uint32_t kTagObject = 0x10006;

// Flags of the argument readers, the host's own choice:
//   300 flag: the argument is not a boolean.
//   303 flag1: the argument carries no string (no value, or another kind);
//       flag2: longer than kMaxStringUnits code units.  An empty string is a
//       string: both flags clear, length 0.
//   304 flag1: the argument is not an integer (a 0x10005 numeric must be
//       converted with 430 first); flag2: more than kMaxIntDigits digits.
// A variable reference is read through to the variable's current value.
inline constexpr uint32_t kMaxStringUnits = 32767;
inline constexpr uint32_t kMaxIntDigits = 64;

// Kind word of the type-info record of instance types; type objects have
// QIRA_KIND_TYPEOBJECT.
inline constexpr uint32_t kKindInstance = 0x20001;

// Mode 2 record the command-line tool adds to show progress.
inline constexpr uint32_t kYieldModePeriodic = 2;

class Host;
struct HostObject;  // the host's object record; opaque outside host/

// ===== 2. Values ============================================================

class Ref;

// A script value as the host holds it: no value, boolean, integer (sign and
// 16-bit digits, least significant first, any count), string (UTF-16), a
// "numeric in another form" (a double; crosses as tag 0x10005 and becomes an
// integer through 430), or an object reference.
class Value {
 public:
  enum class Kind { None, Bool, Int, Str, Real, Object };

  Value();  // no value
  static Value none() { return Value(); }
  static Value boolean(bool b);
  static Value integer(int64_t v);
  static Value unsignedInt(uint64_t v);
  // Digits exactly as given (no normalising), so a test sees what the module
  // wrote, e.g. an integer with no digits.
  static Value digits(bool negative, std::vector<uint16_t> digits);
  static Value string(std::u16string s);
  static Value string8(std::string_view utf8);
  static Value real(double d);
  static Value object(Ref r);

  Kind kind() const { return kind_; }
  bool isNone() const { return kind_ == Kind::None; }
  // The tag this value crosses the boundary with (QIRA_TAG_* or kTagObject).
  uint32_t tag() const;

  bool boolean() const { return b_; }
  bool negative() const { return neg_; }
  const std::vector<uint16_t> &digits() const { return digits_; }
  // Integer conversions; nullopt when not an integer or out of range.
  std::optional<int64_t> toInt64() const;
  std::optional<uint64_t> toUint64() const;
  const std::u16string &str() const { return str_; }
  std::string utf8() const;  // a string as UTF-8; empty for other kinds
  double real() const { return real_; }
  const Ref &object() const;

  // Readable form for test messages: none, true, -12, "text", 1.5, object#3.
  std::string describe() const;

  // Integers compare by numeric value (leading zero digits and the sign of
  // zero do not count); objects by identity; everything else by content.
  friend bool operator==(const Value &a, const Value &b);

 private:
  Kind kind_ = Kind::None;
  bool b_ = false;
  bool neg_ = false;
  std::vector<uint16_t> digits_;
  std::u16string str_;
  double real_ = 0;
  std::shared_ptr<Ref> obj_;  // shared so Value stays cheap to copy
};

// GoogleTest printing.
void PrintTo(const Value &v, std::ostream *os);
std::ostream &operator<<(std::ostream &os, const Value &v);

// ===== 3. Objects and variables =============================================

// RAII handle on a host object: holds one reference count.  Dropping the
// last count anywhere (here or through 106) runs the type's private-data
// terminator and frees the object.
class Ref {
 public:
  Ref() = default;
  Ref(const Ref &o);
  Ref(Ref &&o) noexcept;
  Ref &operator=(const Ref &o);
  Ref &operator=(Ref &&o) noexcept;
  ~Ref();

  // Takes over a count somebody else already holds (no count is added).
  static Ref adopt(HostObject *obj);
  // Adds a count of its own.
  static Ref share(HostObject *obj);

  explicit operator bool() const { return obj_ != nullptr; }
  HostObject *get() const { return obj_; }
  // The object reference as the module sees it: {object, 0}.
  QiraObjRef raw() const { return QiraObjRef{obj_, 0}; }
  // Current reference count (including this handle's).
  uint32_t refCount() const;
  // The object's private data as the module sees it (null without any).
  void *priv() const;
  Host *host() const;
  void reset();
  HostObject *release();  // gives the count up to the caller

  friend bool operator==(const Ref &a, const Ref &b) { return a.obj_ == b.obj_; }

 private:
  HostObject *obj_ = nullptr;
};

// A script variable: a host object holding one value, passed to a method as
// a variable reference (slot tag 0xFFFF), e.g. as `error`.
class Variable {
 public:
  Variable() = default;
  explicit Variable(Ref r) : ref_(std::move(r)) {}
  Value get() const;
  void set(Value v);
  const Ref &ref() const { return ref_; }
  // Assignments through 111 so far, and the flag of the last one.
  uint32_t assignments() const;
  uint16_t lastFlag() const;
  // How often 107 was called on a reference to this variable.
  uint32_t notes() const;

 private:
  Ref ref_;
};

// ===== 4. Arguments and call outcomes ======================================

// One argument of a call, matched by parameter name through 140.  An empty
// name makes it positional: the n-th parameter of the method's list.
struct Arg {
  std::string name;
  std::variant<Value, Variable> what;
  std::optional<uint32_t> rawTag;  // a slot with this tag and no payload

  Arg(std::string n, Value v) : name(std::move(n)), what(std::move(v)) {}
  Arg(std::string n, Variable v) : name(std::move(n)), what(std::move(v)) {}
  // Short forms for the common kinds.
  Arg(std::string n, const char *utf8) : Arg(std::move(n), Value::string8(utf8)) {}
  Arg(std::string n, std::u16string s) : Arg(std::move(n), Value::string(std::move(s))) {}
  Arg(std::string n, int64_t i) : Arg(std::move(n), Value::integer(i)) {}
  Arg(std::string n, int i) : Arg(std::move(n), Value::integer(i)) {}
  Arg(std::string n, bool b) : Arg(std::move(n), Value::boolean(b)) {}
  // A slot carrying an arbitrary tag and nothing else (unusable values).
  static Arg raw(std::string n, uint32_t tag) {
    Arg a(std::move(n), Value());
    a.rawTag = tag;
    return a;
  }
};
using Args = std::vector<Arg>;

// What a call came to.
struct CallOutcome {
  // The method's result, or the block's final result, or kHostErrAbandoned,
  // or a host error (kHostErrNoMethod...) when the call never reached the module.
  uint32_t status = 0;
  // The call's value: an object delivered through 210 (the host now holds
  // the reference the module handed over).
  Ref value;
  // 200 (method) or 220 (block) said the call has no value.
  bool noValue = false;
  // 210 delivered `value`.
  bool delivered = false;
  bool abandoned = false;
  uint32_t blockCalls = 0;  // calls of the block function
  uint32_t yields = 0;      // sleeps in the wait hook
  uint32_t argcOut = 0;     // what the method stored through argument count out
  bool argcOutWritten = false;

  // status 0 and a delivered object.
  bool ok() const { return status == 0 && delivered && value; }
};

// Progress of a running block, handed to the callbacks of RunOptions.
struct BlockProgress {
  uint32_t status = 0;      // 1000 or 1010: the last block result
  uint32_t blockCalls = 0;
  uint32_t yields = 0;
};

enum class Step { Continue, Abandon };

struct RunOptions {
  // Further runs of yield records (each a run chained with QIRA_YF_MORE),
  // added after the module's own record to every wait.  The tool adds a
  // periodic record (mode 2, period 100 ms) to wake up and show progress.
  std::vector<QiraYieldRec *> extraRuns;
  // After every block result of 1000 or 1010.
  std::function<Step(const BlockProgress &)> onBlock;
  // After every return from the yield function.
  std::function<Step(const BlockProgress &)> onWake;
  // Abandon after this many block calls; 0 is no limit.
  uint32_t maxBlockCalls = 0;
  // Call the method with a null result record.
  bool noResultRecord = false;
};

// ===== 5. The step-wise call ===============================================

struct CallState;  // slots, contexts and result record of one call; host/ only

// A method call whose block the caller drives one step at a time.  Made by
// Host::begin; the method itself has already run.  Dropping it while the
// block is still open abandons the block (its terminator runs).
class PendingCall {
 public:
  PendingCall();
  PendingCall(PendingCall &&) noexcept;
  PendingCall &operator=(PendingCall &&) noexcept;
  ~PendingCall();

  // A block is open: the method returned 0 with a block function, and no
  // final result has been seen yet.
  bool open() const;
  // The result record as the module left it (block, terminator, data, hook).
  const QiraResult &result() const;
  // The module filled the wait hook (size 20, yield function, yield record).
  bool hasWaitHook() const;
  // One call of the block function; returns its result.  Final results close
  // the call.
  uint32_t step();
  // Sleeps once in the yield function with the module's record and `extra`.
  void wait(const std::vector<QiraYieldRec *> &extra = {});
  // Runs the block to its end (or until a callback abandons it).
  CallOutcome finish(const RunOptions &opts = {});
  // Calls the terminator of an open block; the outcome is kHostErrAbandoned.
  CallOutcome abandon();
  // The outcome so far (final once !open()).
  const CallOutcome &outcome() const;

 private:
  friend class Host;
  std::unique_ptr<CallState> st_;
};

// ===== 6. The host ==========================================================

// A registered type as the host sees it.
struct TypeView {
  std::string name;                     // from the name symbol
  const QiraTypeDesc *desc = nullptr;   // the module's descriptor
  std::vector<QiraPropRow> props;       // copies of its property rows
  std::vector<QiraMethodRow> methods;   // copies of its method rows
  QiraTypeRecord *record = nullptr;     // the host's type record (ID 100 takes it)
  Ref typeObject;                       // receiver for "new"
};

// Fault injection.  A getter fault makes the provider's getter answer null
// for the ID; a function fault makes the host function with that ID return
// `code` (kHostErrBadValue when code is 0; 108 returns null instead; the
// module ignores what 107 returns) on calls number after+1 ... after+times,
// counted from when the fault was set.  A failing function does nothing else:
// a value record handed to a failing 111 or 112 stays the module's to free.
struct Fault {
  uint32_t id = 0;
  uint32_t code = 0;
  uint32_t after = 0;
  uint32_t times = UINT32_MAX;
};

class Host {
 public:
  // Loads the module with dlopen(RTLD_NOW | RTLD_LOCAL), reads its version
  // record, version text, references and symbols, and makes the module
  // context (a heap group from the module's own Mem_GroupGet(null, 1, 0)).
  // Null with `error` set when anything of that fails.
  static std::unique_ptr<Host> load(const std::string &path, std::string &error);
  // Runs the cleanup of every listing still linked at the module context,
  // terminates objects the module still holds, frees the module's memory
  // group with Mem_GroupFree and closes the module.
  ~Host();
  Host(const Host &) = delete;
  Host &operator=(const Host &) = delete;

  // --- what the module said at load --------------------------------------
  const QiraVersion &version() const;   // the module's record, as VXGetVer gave it
  std::string description() const;      // desc1 text (desclen1 bytes)
  const std::u16string &versionText() const;
  std::string versionText8() const;
  uint32_t refCount() const;            // module function 100
  const std::vector<uint32_t> &references() const;  // values of 101 for 1..count
  // The symbols, index 1-based as the module numbers them (symbols()[0] is
  // symbol 1).
  const std::vector<std::u16string> &symbols() const;
  std::string symbol8(uint32_t index) const;  // "" outside 1..count
  uint32_t symbolIndex(std::string_view utf8) const;  // 0 when none
  // dlsym in the module; null when not exported.
  void *moduleSymbol(const char *name) const;

  // --- registration --------------------------------------------------------
  // TARVOQIRA_AddTypes(null, registration context, argument); the types the
  // host function 130 accepted during the call become visible in types().
  uint32_t addTypes(void *argument = nullptr);
  const std::vector<TypeView> &types() const;
  const TypeView *type(std::string_view name) const;  // null when unknown
  Ref typeObject(std::string_view name) const;         // empty when unknown

  // --- objects, variables, values -------------------------------------------
  // An instance made as 100 makes it (private data poison-filled, then the
  // initialiser), returned with one count.  Empty when the type is unknown.
  Ref create(std::string_view type);
  Variable variable(Value initial = {});
  size_t liveObjects() const;    // instances of registered types
  size_t liveVariables() const;
  size_t liveValues() const;     // value records made by 401-405 not yet consumed or freed

  // --- calls ---------------------------------------------------------------
  // Calls the method named on the receiver (on a type object: "new") with
  // named arguments, and runs its block to the end.
  CallOutcome call(const Ref &receiver, std::string_view method, const Args &args = {},
                   const RunOptions &opts = {});
  // call(typeObject(type), "new", args).
  CallOutcome construct(std::string_view type, const Args &args = {},
                        const RunOptions &opts = {});
  // Calls a method function directly with any receiver reference (a null
  // object, the wrong kind...); arguments are matched through 140 as usual.
  CallOutcome callFn(QiraMethodFn fn, const QiraObjRef &receiver, const Args &args = {},
                     const RunOptions &opts = {});
  // Runs only the method; the block (if any) is left to the caller.
  PendingCall begin(const Ref &receiver, std::string_view method, const Args &args = {},
                    bool withResultRecord = true);
  PendingCall beginFn(QiraMethodFn fn, const QiraObjRef &receiver, const Args &args = {},
                      bool withResultRecord = true);

  // --- properties and the value hooks ---------------------------------------
  // The value the module last set through 112; nullopt when never set.
  std::optional<Value> prop(const Ref &obj, std::string_view name) const;
  // The flag of that 112 call.
  std::optional<uint16_t> propFlag(const Ref &obj, std::string_view name) const;
  // Every property set so far, in symbol order.
  std::vector<std::pair<std::string, Value>> props(const Ref &obj) const;
  struct ValueOutcome {
    uint32_t status = 0;
    uint32_t tag = 0;
    Value value;
  };
  // The type's value getter hook (word 8 of the descriptor).
  ValueOutcome value(const Ref &obj);
  // The type's value setter hook (word 10); its status.
  uint32_t assign(const Ref &obj, const Value &v);

  // --- memory and the module context -----------------------------------------
  QiraProvider *provider();
  QiraMemGroup *group() const;
  // Live blocks of the module context's heap group (the length of its list).
  size_t liveBlocks() const;
  // Listing records linked at the module context's list head.
  size_t openListings() const;
  // Runs (and unlinks) the cleanup of every linked listing, as teardown does;
  // returns how many ran.
  size_t runListingCleanups();
  // The same for every linked record except those whose cleanup is the
  // module's function `keep` (a listing a test still reads, say): ends the
  // workers' records as the end of the module context would.
  size_t runCleanupsExcept(const char *keep);

  // --- fault injection and observation ---------------------------------------
  void failGetter(uint32_t id);
  void failHostFn(const Fault &f);
  void failHostFn(uint32_t id, uint32_t code) { failHostFn(Fault{id, code}); }
  void clearFaults();
  // Calls of the host function with this ID so far.
  uint32_t hostCalls(uint32_t id) const;
  // The parameter names of the latest 140 call, in the module's list order:
  // what a method reads, learnt by calling it.
  const std::vector<std::u16string> &lastParameterNames() const;
  void clearLogs();
  // Protocol breaches the host noticed (a dangling object, a value the host
  // did not make, a block that ended 0 without completing the call...).  A
  // correct module leaves this empty.
  const std::vector<std::string> &violations() const;

  // The millisecond counter yield records count in: milliseconds since
  // 1970 modulo 2^32, the same clock as the module's TimeDate_mscounter.
  static uint32_t msCounter();
  // A periodic record (mode 2) whose first deadline is one period from now;
  // the tool adds one with period 100 to wake up and show progress.
  static QiraYieldRec periodicRecord(uint32_t periodMs);

  // The 75 IDs in the slot order the module fetches them.
  static const std::vector<uint32_t> &apiIds();
  // The host's function for an ID as the getter hands it out (ignores faults).
  QiraHostFn hostFn(uint32_t id) const;

  struct Impl;
  Impl &impl() { return *impl_; }

 private:
  Host();
  std::unique_ptr<Impl> impl_;
};

}  // namespace qhost
