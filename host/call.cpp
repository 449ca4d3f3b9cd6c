// Method calls and the block protocol.
//
// A method that fills the result record's block function and returns 0 has
// left its call open.  The host then calls the block function until it gives
// a final result: 1000 means call again at once, 1010 means sleep in the wait
// hook (the yield function with the module's yield record, plus any runs the
// caller adds) and then call again.  A block that ends has completed the call
// itself (210 with an object, 220 with none) and run its own terminator; the
// host calls the terminator only for a block it abandons.
#include "host/hostimpl.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace qhost {

namespace {

constexpr uintptr_t kCallCtxMagic = 0x5143414c;
constexpr uintptr_t kBlockCtxMagic = 0x51424c4b;
constexpr uintptr_t kSlotPoison = uintptr_t(0x5A5A5A5A5A5A5A5Aull);
constexpr uint32_t kArgcPoison = 0xFFFFFFFFu;
constexpr uint32_t kYieldRecordSize = 20;
// Without a wait hook a 1010 block is polled; this keeps the poll gentle.
constexpr auto kPollPause = std::chrono::milliseconds(1);

bool notFinished(uint32_t status) {
  return status == QIRA_BLOCK_AGAIN || status == QIRA_BLOCK_WAIT;
}

void fillSlot(CallState &st, QiraArgSlot &slot, const Arg &a) {
  std::fill(std::begin(slot.u.value.w), std::end(slot.u.value.w), kSlotPoison);
  if (a.rawTag) {
    slot.tag = *a.rawTag;
    slot.u.value.w[0] = 0;
    return;
  }
  if (const Variable *var = std::get_if<Variable>(&a.what)) {
    st.vars.push_back(*var);
    slot.tag = QIRA_TAG_VARREF;
    slot.u.var.obj = var->ref().get();
    slot.u.var.word = 0;
    return;
  }
  const Value &v = std::get<Value>(a.what);
  slot.tag = v.tag();
  if (v.isNone()) return;
  st.arena.push_back(v);
  slot.u.value.w[0] = kSlotMagic;
  slot.u.value.p[1] = &st.arena.back();
}

QiraMethodFn findMethod(Host::Impl &m, HostObject *o, std::string_view name) {
  if (!o || o->kind == ObjKind::Variable || !o->type) return nullptr;
  uint32_t symbol = m.symbolIndex(toU16(name));
  if (!symbol) return nullptr;
  const QiraTypeDesc *d = o->type->desc;
  for (uintptr_t i = 0; i < d->nmethods; ++i)
    if (d->methods[i].name == symbol) return d->methods[i].fn;
  return nullptr;
}

}  // namespace

CallState::~CallState() {
  if (host) {
    auto &calls = host->liveCalls;
    calls.erase(std::remove(calls.begin(), calls.end(), this), calls.end());
  }
}

// ---- starting a call ----------------------------------------------------------------

PendingCall Host::beginFn(QiraMethodFn fn, const QiraObjRef &receiver, const Args &args,
                          bool withResultRecord) {
  Impl &m = *impl_;
  PendingCall pc;
  pc.st_ = std::make_unique<CallState>();
  CallState &st = *pc.st_;
  st.host = &m;
  st.callctx.w0 = kCallCtxMagic;
  st.callctx.modctx = &m.modctx.ctx;
  st.blockctx = CallState::BlockCtx{kBlockCtxMagic, &st};
  st.withResult = withResultRecord;
  st.receiver = receiver;
  if (HostObject *o = liveObject(receiver.obj)) st.receiverHold = Ref::share(o);
  st.slots.resize(args.size());
  for (size_t i = 0; i < args.size(); ++i) {
    fillSlot(st, st.slots[i], args[i]);
    st.names.push_back(toU16(args[i].name));
  }
  m.liveCalls.push_back(&st);
  if (!fn) {
    st.out.status = kHostErrNoMethod;
    return pc;
  }

  st.argcOut = kArgcPoison;
  uint32_t status;
  {
    Enter e(&m);
    status = fn(&st.callctx, uint32_t(st.slots.size()), st.slots.empty() ? nullptr : st.slots.data(),
                &st.argcOut, &st.receiver, withResultRecord ? &st.result : nullptr);
  }
  st.out.argcOut = st.argcOut;
  st.out.argcOutWritten = st.argcOut != kArgcPoison;
  if (st.argcOut != uint32_t(st.slots.size()))
    m.violation("the method did not store the argument count");
  st.out.status = status;
  if (status == QIRA_OK && withResultRecord && st.result.block) {
    st.open = true;
  } else if (status != QIRA_OK && withResultRecord && st.result.block) {
    m.violation("a method failed but left a block in the result record");
  }
  return pc;
}

PendingCall Host::begin(const Ref &receiver, std::string_view method, const Args &args,
                        bool withResultRecord) {
  QiraMethodFn fn = receiver ? findMethod(*impl_, receiver.get(), method) : nullptr;
  PendingCall pc = beginFn(fn, receiver.raw(), args, withResultRecord);
  if (!receiver) pc.st_->out.status = kHostErrNoReceiver;
  return pc;
}

CallOutcome Host::callFn(QiraMethodFn fn, const QiraObjRef &receiver, const Args &args,
                         const RunOptions &opts) {
  return beginFn(fn, receiver, args, !opts.noResultRecord).finish(opts);
}

CallOutcome Host::call(const Ref &receiver, std::string_view method, const Args &args,
                       const RunOptions &opts) {
  return begin(receiver, method, args, !opts.noResultRecord).finish(opts);
}

CallOutcome Host::construct(std::string_view type, const Args &args, const RunOptions &opts) {
  Ref t = typeObject(type);
  if (!t) {
    CallOutcome out;
    out.status = kHostErrNoType;
    return out;
  }
  return call(t, "new", args, opts);
}

// ---- PendingCall ------------------------------------------------------------------------

PendingCall::PendingCall() = default;
PendingCall::PendingCall(PendingCall &&) noexcept = default;
PendingCall &PendingCall::operator=(PendingCall &&o) noexcept {
  if (this != &o) {
    if (open()) abandon();
    st_ = std::move(o.st_);
  }
  return *this;
}
PendingCall::~PendingCall() {
  if (open()) abandon();
}

bool PendingCall::open() const { return st_ && st_->open; }

const QiraResult &PendingCall::result() const { return st_->result; }

bool PendingCall::hasWaitHook() const {
  const QiraResult &r = st_->result;
  return r.yieldsize == kYieldRecordSize && r.yieldfn && r.yieldrec;
}

const CallOutcome &PendingCall::outcome() const { return st_->out; }

uint32_t PendingCall::step() {
  if (!open()) return st_ ? st_->out.status : kHostErrNoReceiver;
  CallState &st = *st_;
  uint32_t r;
  {
    Enter e(st.host);
    r = st.result.block(&st.blockctx, st.result.data);
  }
  ++st.out.blockCalls;
  st.last = r;
  if (notFinished(r)) return r;
  st.open = false;
  st.out.status = r;
  if (r == QIRA_OK && !st.out.delivered && !st.out.noValue)
    st.host->violation("a block ended with 0 but completed the call with neither 210 nor 220");
  return r;
}

void PendingCall::wait(const std::vector<QiraYieldRec *> &extra) {
  if (!st_) return;
  CallState &st = *st_;
  std::vector<void *> runs;
  QiraYieldFn fn = nullptr;
  if (hasWaitHook()) {
    fn = st.result.yieldfn;
    runs.push_back(st.result.yieldrec);
  }
  for (QiraYieldRec *r : extra) runs.push_back(r);
  if (!fn && !extra.empty()) fn = st.host->moduleYield;
  if (!fn || runs.empty()) {
    std::this_thread::sleep_for(kPollPause);
  } else {
    Enter e(st.host);
    fn(runs.data(), uint32_t(runs.size()), 1);
  }
  ++st.out.yields;
}

CallOutcome PendingCall::finish(const RunOptions &opts) {
  if (!st_) return CallOutcome{};
  CallState &st = *st_;
  auto progress = [&] { return BlockProgress{st.last, st.out.blockCalls, st.out.yields}; };
  while (open()) {
    // A block that last said 1010 (here or through step()) is waited for first.
    if (st.out.blockCalls && st.last == QIRA_BLOCK_WAIT) {
      wait(opts.extraRuns);
      if (opts.onWake && opts.onWake(progress()) == Step::Abandon) break;
    }
    step();
    if (!open()) break;
    if (opts.onBlock && opts.onBlock(progress()) == Step::Abandon) break;
    if (opts.maxBlockCalls && st.out.blockCalls >= opts.maxBlockCalls) break;
  }
  if (open()) abandon();
  return st.out;
}

CallOutcome PendingCall::abandon() {
  if (!st_) return CallOutcome{};
  CallState &st = *st_;
  if (st.open) {
    st.open = false;
    if (st.result.term) {
      Enter e(st.host);
      (void)st.result.term(&st.blockctx, st.result.data);
    }
    st.out.status = kHostErrAbandoned;
    st.out.abandoned = true;
  }
  return st.out;
}

}  // namespace qhost
