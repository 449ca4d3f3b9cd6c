// The host stand-in against the echo module (tests/host/echo_module.cpp).
#include "host/host.h"

#include <fcntl.h>
#include <unistd.h>

#include <random>
#include <string>
#include <thread>

#include <gtest/gtest.h>

using namespace qhost;

namespace {

class EchoHost : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string err;
    host = Host::load(ECHO_MODULE_PATH, err);
    ASSERT_TRUE(host) << err;
    ASSERT_EQ(host->addTypes(), QIRA_OK);
    livePrivates = reinterpret_cast<uint32_t (*)()>(host->moduleSymbol("EchoLivePrivates"));
    ASSERT_TRUE(livePrivates);
    blocks0 = host->liveBlocks();
  }

  // Every test gives back what it took.
  void TearDown() override {
    EXPECT_EQ(host->liveObjects() + host->liveVariables() + host->liveValues() + livePrivates(), 0u);
    EXPECT_EQ(host->liveBlocks(), blocks0);
    EXPECT_TRUE(host->violations().empty()) << host->violations().front();
  }

  Ref newEcho() {
    CallOutcome o = host->construct("Echo", {{"text", "start"}});
    EXPECT_TRUE(o.ok()) << o.status;
    return o.value;
  }

  std::unique_ptr<Host> host;
  uint32_t (*livePrivates)() = nullptr;
  size_t blocks0 = 0;
};

TEST_F(EchoHost, LoadReadsTheModuleOrSaysWhyNot) {
  EXPECT_EQ(host->references(), (std::vector<uint32_t>{7, 9}));
  EXPECT_EQ(host->symbol8(17), "boolean");
  EXPECT_EQ(host->symbol8(18), "");
  EXPECT_EQ(host->symbolIndex("error"), 6u);
  // IDs a module fetches but never calls refuse; unknown IDs are not handed out.
  EXPECT_EQ(reinterpret_cast<uint32_t (*)()>(host->hostFn(101))(), kHostErrUnimplemented);
  EXPECT_EQ(host->hostFn(99), nullptr);
  host->clearLogs();  // the refusal was recorded as a violation

  std::string err;
  EXPECT_FALSE(Host::load("/nonexistent/module.so", err));
  EXPECT_NE(err.find("module.so"), std::string::npos) << err;
  // A shared object that is no module: loads, lacks the entry points.
  EXPECT_FALSE(Host::load("libm.so.6", err));
  EXPECT_NE(err.find("VXGetVer"), std::string::npos) << err;
}

TEST(HostValue, IntegersConvertAndCompareByValue) {
  std::mt19937_64 rng(7);
  for (int i = 0; i < 2000; ++i) {
    int64_t v = int64_t(rng()) >> (rng() % 64);
    Value x = Value::integer(v);
    ASSERT_EQ(x.toInt64(), v);
    ASSERT_EQ(x.toUint64(), v >= 0 ? std::optional<uint64_t>(uint64_t(v)) : std::nullopt);
    std::vector<uint16_t> d = x.digits();
    d.push_back(0);  // a leading zero digit does not count
    ASSERT_EQ(Value::digits(v < 0, d), x) << v;
  }
  EXPECT_EQ(Value::integer(INT64_MIN).toInt64(), INT64_MIN);
  EXPECT_FALSE(Value::unsignedInt(UINT64_MAX).toInt64());
  EXPECT_EQ(Value::integer(0x12345).digits(), (std::vector<uint16_t>{0x2345, 0x1}));
  EXPECT_EQ(Value::digits(true, {0, 0}), Value::integer(0));  // no negative zero
  EXPECT_FALSE(Value::integer(1) == Value::boolean(true));
}

TEST_F(EchoHost, ValuesCrossBothWays) {
  Variable twelve = host->variable(Value::integer(12));
  const std::u16string longest(kMaxStringUnits, u'y');
  struct Case {
    const char *what;
    Arg arg;  // its name is the property it lands in
    uint32_t status;
    Value want;
  };
  const Case cases[] = {
      {"utf16 text", {"text", "h\xc3\xa9llo \xf0\x9f\x98\x80"}, 0, Value::string(u"h\u00e9llo \U0001F600")},
      {"empty text", {"text", ""}, 0, Value::string(u"")},
      {"longest text", {"text", longest}, 0, Value::string(longest)},
      {"too long text", {"text", longest + u"y"}, QIRA_ERR_TOOLONG, {}},
      {"text not a string", {"text", 5}, QIRA_ERR_EMPTY, {}},
      {"zero", {"number", 0}, 0, Value::integer(0)},
      {"int64 min", {"number", INT64_MIN}, 0, Value::integer(INT64_MIN)},
      {"five digits", {"number", Value::digits(false, {1, 0, 0, 0, 1})}, 0, Value::digits(false, {1, 0, 0, 0, 1})},
      {"too many digits", {"number", Value::digits(false, std::vector<uint16_t>(kMaxIntDigits + 1, 1))},
       QIRA_ERR_RANGE, {}},
      {"number from a variable", {"number", twelve}, 0, Value::integer(12)},
      {"whole real", {"number", Value::real(7.0)}, 0, Value::integer(7)},
      {"negative real", {"number", Value::real(-3.0)}, 0, Value::integer(-3)},
      {"fractional real", {"number", Value::real(7.5)}, kHostErrNotNumeric, {}},
      {"number a string", {"number", "7"}, QIRA_ERR_RANGE, {}},
      {"number none", {"number", Value()}, 0, Value()},
      {"true", {"flag", true}, 0, Value::boolean(true)},
      {"false", {"flag", false}, 0, Value::boolean(false)},
      {"flag an integer", {"flag", 1}, QIRA_ERR_RANGE, {}},
      {"raw tag", Arg::raw("flag", 0x12345), QIRA_ERR_RANGE, {}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    Ref e = newEcho();
    std::optional<Value> before = host->prop(e, c.arg.name);
    CallOutcome o = host->call(e, "echo", {c.arg});
    EXPECT_EQ(o.status, c.status);
    EXPECT_EQ(o.value, c.status ? Ref() : e);  // the call's value is the receiver
    EXPECT_EQ(host->prop(e, c.arg.name), c.status ? before : std::optional<Value>(c.want));
    EXPECT_EQ(host->propFlag(e, c.arg.name), before || !c.status ? std::optional<uint16_t>(1) : std::nullopt);
  }
  EXPECT_EQ(twelve.get(), Value::integer(12));  // reading does not consume
}

TEST_F(EchoHost, ArgumentsFindTheirParametersAndErrorTakesLateFailures) {
  Ref e = newEcho();
  ASSERT_EQ(host->call(e, "echo", {{"flag", true}, {"text", "t"}, {"number", 3}}).status, QIRA_OK);
  EXPECT_EQ(host->prop(e, "number"), Value::integer(3));
  EXPECT_EQ(host->prop(e, "flag"), Value::boolean(true));
  // Positional: the n-th parameter of (text, number, flag, code, error).
  ASSERT_EQ(host->call(e, "echo", {{"", "pos"}, {"", 4}}).status, QIRA_OK);
  EXPECT_EQ(host->prop(e, "text"), Value::string8("pos"));
  EXPECT_EQ(host->prop(e, "number"), Value::integer(4));
  EXPECT_EQ(host->call(e, "echo", {{"bogus", 1}}).status, kHostErrUnknownArgument);
  EXPECT_EQ(host->call(e, "nosuch").status, kHostErrNoMethod);
  EXPECT_EQ(host->call(Ref(), "echo").status, kHostErrNoReceiver);
  EXPECT_EQ(host->construct("Nothing").status, kHostErrNoType);

  Variable err = host->variable();
  CallOutcome o = host->call(e, "echo", {{"code", 77}, {"error", err}});
  EXPECT_EQ(o.status, QIRA_OK);
  EXPECT_TRUE(o.noValue);
  EXPECT_FALSE(o.value);
  EXPECT_EQ(err.get(), Value::integer(77));
  EXPECT_EQ(err.assignments(), 1u);
  EXPECT_EQ(err.lastFlag(), 0);
  EXPECT_EQ(err.notes(), 1u);
  // Without a variable the code is the call's status.
  EXPECT_EQ(host->call(e, "echo", {{"code", 77}}).status, 77u);
  EXPECT_EQ(host->call(e, "echo", {{"code", 1}, {"error", "x"}}).status, QIRA_ERR_NOTVARIABLE);
  ASSERT_EQ(host->call(e, "echo", {{"error", err}}).status, QIRA_OK);
  EXPECT_EQ(err.get(), Value::integer(0));
}

TEST_F(EchoHost, FaultsDriveTheModulesFailurePaths) {
  host->failGetter(402);
  EXPECT_EQ(host->construct("Echo", {{"text", "x"}}).status, QIRA_ERR_NOHOSTFUNC);
  host->clearFaults();
  host->failHostFn(100, QIRA_ERR_NOMEM);
  EXPECT_EQ(host->construct("Echo").status, QIRA_ERR_NOMEM);
  host->clearFaults();
  // A refused 112: the new object goes, its string is freed, the code stored.
  Variable err = host->variable();
  host->failHostFn(112, QIRA_ERR_ACCESS);
  CallOutcome o = host->construct("Echo", {{"text", "x"}, {"error", err}});
  EXPECT_EQ(o.status, QIRA_OK);
  EXPECT_TRUE(o.noValue);
  EXPECT_EQ(err.get(), Value::integer(QIRA_ERR_ACCESS));
  EXPECT_EQ(host->liveObjects() + host->liveValues(), 0u);
  host->clearFaults();
  // A refused 111: storing the failure fails the call.
  Ref e = newEcho();
  host->failHostFn(111, 99);
  EXPECT_EQ(host->call(e, "echo", {{"code", 5}, {"error", err}}).status, 99u);
  // Counted: only the second 112 of the call refuses, the next call goes through.
  host->failHostFn(Fault{112, QIRA_ERR_ACCESS, 1, 1});
  EXPECT_EQ(host->call(e, "echo", {{"text", "new"}, {"number", 1}}).status, QIRA_ERR_ACCESS);
  EXPECT_EQ(host->prop(e, "text"), Value::string8("new"));
  EXPECT_FALSE(host->prop(e, "number"));
  EXPECT_EQ(host->call(e, "echo", {{"number", 2}}).status, QIRA_OK);
  EXPECT_EQ(host->liveValues(), 0u);
}

TEST_F(EchoHost, BlockThatAsksAgainRunsToItsEndOrItsTerminator) {
  Ref e = newEcho();
  CallOutcome o = host->call(e, "count", {{"n", 5}});
  EXPECT_EQ(o.status, QIRA_OK);
  EXPECT_EQ(o.blockCalls, 6u);
  EXPECT_EQ(o.yields, 0u);
  EXPECT_EQ(o.value, e);
  EXPECT_EQ(host->prop(e, "steps"), Value::integer(5));
  o = CallOutcome();

  // Abandoned by a callback, by the limit, or by dropping the step-wise call:
  // the terminator gives back the block's reference and memory.
  RunOptions byCallback, byLimit;
  byCallback.onBlock = [](const BlockProgress &p) {
    EXPECT_EQ(p.status, QIRA_BLOCK_AGAIN);
    return p.blockCalls == 2 ? Step::Abandon : Step::Continue;
  };
  byLimit.maxBlockCalls = 4;
  for (RunOptions *opts : {&byCallback, &byLimit, static_cast<RunOptions *>(nullptr)}) {
    PendingCall pc = host->begin(e, "count", {{"n", 100}});
    EXPECT_FALSE(pc.hasWaitHook());
    EXPECT_EQ(pc.step(), QIRA_BLOCK_AGAIN);
    EXPECT_EQ(host->liveBlocks(), blocks0 + 1);
    if (opts) {
      o = pc.finish(*opts);
      EXPECT_EQ(o.status, kHostErrAbandoned);
      EXPECT_TRUE(o.abandoned);
      EXPECT_EQ(o.blockCalls, opts == &byLimit ? 4u : 2u);
      EXPECT_FALSE(o.value);
    }
    pc = PendingCall();
    EXPECT_EQ(e.refCount(), 1u);  // the one the construction delivered
    EXPECT_EQ(host->liveBlocks(), blocks0);
  }
  EXPECT_EQ(host->prop(e, "steps"), Value::integer(5));
}

TEST_F(EchoHost, WaitingBlockSleepsInItsYieldFunctionUntilThePipeIsReadable) {
  Ref e = newEcho();
  PendingCall pc = host->begin(e, "count", {{"wait", true}});
  ASSERT_TRUE(pc.hasWaitHook());
  EXPECT_EQ(pc.step(), QIRA_BLOCK_WAIT);
  std::thread writer([w = int(*host->prop(e, "fd")->toInt64())] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(write(w, "x", 1), 1);
  });
  CallOutcome o = pc.finish();
  writer.join();
  pc = PendingCall();  // with its hold on the receiver
  EXPECT_EQ(o.status, QIRA_OK);
  EXPECT_TRUE(o.noValue);
  // One sleep in the module's yield function, not a poll.
  EXPECT_EQ(o.yields, 1u);
  EXPECT_EQ(o.blockCalls, 2u);

  // The caller's periodic record wakes the host while it waits.
  QiraYieldRec tick = Host::periodicRecord(2);
  RunOptions opts;
  opts.extraRuns = {&tick};
  opts.onWake = [&](const BlockProgress &p) {
    EXPECT_EQ(p.status, QIRA_BLOCK_WAIT);
    if (p.yields == 3) {
      EXPECT_EQ(write(int(*host->prop(e, "fd")->toInt64()), "x", 1), 1);
    }
    return Step::Continue;
  };
  o = host->call(e, "count", {{"wait", true}}, opts);
  EXPECT_EQ(o.status, QIRA_OK);
  EXPECT_EQ(o.yields, 3u);
  // Abandoned from the wake-up callback: the terminator closes the pipe.
  opts.onWake = [](const BlockProgress &) { return Step::Abandon; };
  o = host->call(e, "count", {{"wait", true}}, opts);
  EXPECT_TRUE(o.abandoned);
  EXPECT_EQ(o.yields, 1u);
  EXPECT_EQ(fcntl(int(*host->prop(e, "fd")->toInt64()), F_GETFD), -1);
  EXPECT_EQ(e.refCount(), 1u);
}

TEST_F(EchoHost, TeardownRunsTheCleanupOfListingsLeftOpen) {
  auto cleanups = reinterpret_cast<uint32_t (*)()>(host->moduleSymbol("EchoCleanups"));
  ASSERT_TRUE(cleanups);
  uint32_t before = cleanups();
  // A second host of the same module, so the module stays loaded after it.
  std::string err;
  auto other = Host::load(ECHO_MODULE_PATH, err);
  ASSERT_TRUE(other && other->addTypes() == QIRA_OK) << err;
  ASSERT_EQ(other->call(other->construct("Echo").value, "linger").status, QIRA_OK);
  EXPECT_EQ(other->openListings(), 1u);
  other.reset();
  EXPECT_EQ(cleanups(), before + 1);
}

}  // namespace
