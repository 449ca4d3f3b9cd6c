// The host stand-in against the echo module (tests/host/echo_module.cpp).
#include "host/host.h"

#include <unistd.h>

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

  void TearDown() override {
    if (!host) return;
    EXPECT_EQ(host->liveObjects(), 0u);
    EXPECT_EQ(host->liveValues(), 0u);
    EXPECT_EQ(livePrivates(), 0u);
    EXPECT_EQ(host->liveBlocks(), blocks0);
    EXPECT_TRUE(host->violations().empty()) << host->violations().front();
  }

  Ref newEcho(const char *text = "start") {
    CallOutcome o = host->construct("Echo", {{"text", text}});
    EXPECT_TRUE(o.ok()) << o.status;
    return o.value;
  }

  std::unique_ptr<Host> host;
  uint32_t (*livePrivates)() = nullptr;
  size_t blocks0 = 0;
};

TEST(HostLoad, ReadsVersionReferencesAndSymbols) {
  std::string err;
  auto host = Host::load(ECHO_MODULE_PATH, err);
  ASSERT_TRUE(host) << err;
  EXPECT_EQ(host->version().size, sizeof(QiraVersion));
  EXPECT_EQ(host->version().ver[4], 7u);
  EXPECT_EQ(host->description(), "Echo module for testing the host");
  EXPECT_EQ(host->versionStatus(), QIRA_OK);
  EXPECT_EQ(host->versionText8(), "2.00.007");
  EXPECT_EQ(host->refCount(), 2u);
  EXPECT_EQ(host->references(), (std::vector<uint32_t>{7, 9}));
  ASSERT_EQ(host->symbols().size(), 21u);
  EXPECT_EQ(host->symbol8(1), "Echo");
  EXPECT_EQ(host->symbol8(21), "boolean");
  EXPECT_EQ(host->symbol8(22), "");
  EXPECT_EQ(host->symbolIndex("error"), 6u);
  EXPECT_EQ(host->symbolIndex("nothing"), 0u);
  EXPECT_EQ(host->liveBlocks(), 0u);
  EXPECT_TRUE(host->types().empty());
}

TEST(HostLoad, ReportsWhyAModuleCannotBeLoaded) {
  std::string err;
  EXPECT_FALSE(Host::load("/nonexistent/module.so", err));
  EXPECT_NE(err.find("module.so"), std::string::npos) << err;
  err.clear();
  // A shared object that is no module: loads, lacks the entry points.
  EXPECT_FALSE(Host::load("libm.so.6", err));
  EXPECT_NE(err.find("VXGetVer"), std::string::npos) << err;
}

TEST(HostLoad, AddTypesWithoutHostFunction130Gives45) {
  std::string err;
  auto host = Host::load(ECHO_MODULE_PATH, err);
  ASSERT_TRUE(host) << err;
  host->failGetter(130);
  EXPECT_EQ(host->addTypes(), QIRA_ERR_NOHOSTFUNC);
  EXPECT_TRUE(host->types().empty());
  host->clearFaults();
  host->failHostFn(130, QIRA_ERR_NOMEM);
  EXPECT_EQ(host->addTypes(), QIRA_ERR_NOMEM);
  EXPECT_TRUE(host->types().empty());
}

TEST_F(EchoHost, RegistersTypesInOneRingWithTheirRows) {
  ASSERT_EQ(host->types().size(), 2u);
  const TypeView *echo = host->type("Echo");
  const TypeView *other = host->type("Other");
  ASSERT_TRUE(echo && other);
  EXPECT_EQ(echo->props.size(), 7u);
  EXPECT_EQ(echo->methods.size(), 6u);
  EXPECT_EQ(other->props.size(), 1u);
  EXPECT_EQ(echo->record->next, other->record);
  EXPECT_EQ(other->record->next, echo->record);
  EXPECT_EQ(echo->record->info->kind, kKindInstance);
  EXPECT_EQ(echo->record->info->init, echo->desc->init);

  // The type object: 108 gives a kind 0x20002 record, private word 0 the type.
  QiraObjRef ref = echo->typeObject.raw();
  auto typeOf = reinterpret_cast<QiraHost_TypeOf>(host->hostFn(108));
  QiraTypeRecord *tr = typeOf(&ref);
  ASSERT_TRUE(tr);
  EXPECT_EQ(tr->info->kind, QIRA_KIND_TYPEOBJECT);
  auto *hobj = static_cast<QiraHostObject *>(ref.obj);
  uintptr_t word = 0;
  EXPECT_EQ(*static_cast<QiraTypeRecord **>(hobj->priv(ref.obj, &word)), echo->record);
}

TEST_F(EchoHost, ModuleFetchesAll75IdsInSlotOrder) {
  host->clearLogs();
  Ref e = newEcho();
  EXPECT_EQ(host->getterLog(), Host::apiIds());
  ASSERT_EQ(Host::apiIds().size(), size_t(QIRA_HOSTAPI_COUNT));
  // The 52 IDs the module never calls refuse with a clear code.
  EXPECT_EQ(reinterpret_cast<uint32_t (*)()>(host->hostFn(101))(), kHostErrUnimplemented);
  EXPECT_EQ(host->hostFn(99), nullptr);
  host->clearLogs();  // the refusal above was recorded as a violation
}

TEST_F(EchoHost, ConstructsWithInitialiserAndReleasesWithTerminator) {
  Ref e = newEcho("hello");
  ASSERT_TRUE(e);
  EXPECT_EQ(e.refCount(), 1u);
  EXPECT_EQ(e.typeName(), "Echo");
  EXPECT_EQ(host->liveObjects(), 1u);
  EXPECT_EQ(livePrivates(), 1u);
  EXPECT_EQ(host->prop(e, "text"), Value::string8("hello"));
  EXPECT_EQ(host->propFlag(e, "text"), 1);
  EXPECT_FALSE(host->prop(e, "number"));
  e.reset();
  EXPECT_EQ(host->liveObjects(), 0u);
  EXPECT_EQ(livePrivates(), 0u);
}

TEST_F(EchoHost, ValuesCrossBothWays) {
  Variable twelve = host->variable(Value::integer(12));
  const std::u16string tooLong(kMaxStringUnits + 1, u'x');
  struct Case {
    const char *what;
    Args args;
    uint32_t status;
    const char *prop;
    Value want;
  };
  const Case cases[] = {
      {"utf16 text", {{"text", "h\xc3\xa9llo \xf0\x9f\x98\x80"}}, 0, "text",
       Value::string(u"h\u00e9llo \U0001F600")},
      {"empty text", {{"text", ""}}, 0, "text", Value::string(u"")},
      {"longest text", {{"text", std::u16string(kMaxStringUnits, u'y')}}, 0, "text",
       Value::string(std::u16string(kMaxStringUnits, u'y'))},
      {"too long text", {{"text", tooLong}}, QIRA_ERR_TOOLONG, nullptr, {}},
      {"text not a string", {{"text", 5}}, QIRA_ERR_EMPTY, nullptr, {}},
      {"text none", {{"text", Value()}}, QIRA_ERR_EMPTY, nullptr, {}},
      {"zero", {{"number", 0}}, 0, "number", Value::integer(0)},
      {"negative", {{"number", -5}}, 0, "number", Value::integer(-5)},
      {"two digits", {{"number", int64_t(70000)}}, 0, "number", Value::integer(70000)},
      {"int64 min", {{"number", INT64_MIN}}, 0, "number", Value::integer(INT64_MIN)},
      {"five digits", {{"number", Value::digits(false, {1, 0, 0, 0, 1})}}, 0, "number",
       Value::digits(false, {1, 0, 0, 0, 1})},
      {"too many digits", {{"number", Value::digits(false, std::vector<uint16_t>(kMaxIntDigits + 1, 1))}},
       QIRA_ERR_RANGE, nullptr, {}},
      {"number from a variable", {{"number", twelve}}, 0, "number", Value::integer(12)},
      {"whole real", {{"number", Value::real(7.0)}}, 0, "number", Value::integer(7)},
      {"negative real", {{"number", Value::real(-3.0)}}, 0, "number", Value::integer(-3)},
      {"fractional real", {{"number", Value::real(7.5)}}, kHostErrNotNumeric, nullptr, {}},
      {"number a string", {{"number", "7"}}, QIRA_ERR_RANGE, nullptr, {}},
      {"number none", {{"number", Value()}}, 0, "number", Value()},
      {"true", {{"flag", true}}, 0, "flag", Value::boolean(true)},
      {"false", {{"flag", false}}, 0, "flag", Value::boolean(false)},
      {"flag an integer", {{"flag", 1}}, QIRA_ERR_RANGE, nullptr, {}},
      {"raw tag", {Arg::raw("flag", 0x12345)}, QIRA_ERR_RANGE, nullptr, {}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    Ref e = newEcho();
    CallOutcome o = host->call(e, "echo", c.args);
    EXPECT_EQ(o.status, c.status);
    EXPECT_EQ(o.argcOut, c.args.size());
    if (c.status) {
      EXPECT_FALSE(o.value);
      continue;
    }
    EXPECT_EQ(o.value, e);  // the call's value is the receiver
    EXPECT_EQ(host->prop(e, c.prop), c.want);
    EXPECT_EQ(host->propFlag(e, c.prop), 1);
  }
  EXPECT_EQ(twelve.get(), Value::integer(12));  // reading does not consume
}

TEST(HostValue, IntegersConvertAndCompareByValue) {
  EXPECT_EQ(Value::integer(-1).toInt64(), -1);
  EXPECT_EQ(Value::integer(INT64_MIN).toInt64(), INT64_MIN);
  EXPECT_EQ(Value::unsignedInt(UINT64_MAX).toUint64(), UINT64_MAX);
  EXPECT_FALSE(Value::unsignedInt(UINT64_MAX).toInt64());
  EXPECT_FALSE(Value::integer(-1).toUint64());
  EXPECT_EQ(Value::integer(0x12345).digits(), (std::vector<uint16_t>{0x2345, 0x1}));
  EXPECT_TRUE(Value::integer(0).digits().empty());
  EXPECT_EQ(Value::digits(true, {0, 0}), Value::integer(0));  // no negative zero
  EXPECT_EQ(Value::digits(false, {5, 0, 0}), Value::integer(5));
  EXPECT_FALSE(Value::digits(false, {0, 0, 0, 0, 1}).toUint64());
  EXPECT_FALSE(Value::integer(1) == Value::boolean(true));
  EXPECT_EQ(Value::string8("\xc3\xa9").utf8(), "\xc3\xa9");
}

TEST_F(EchoHost, NamedAndPositionalArgumentsFindTheirParameters) {
  Ref e = newEcho();
  // Named in any order.
  CallOutcome o = host->call(e, "echo", {{"flag", true}, {"text", "t"}, {"number", 3}});
  ASSERT_EQ(o.status, QIRA_OK);
  EXPECT_EQ(host->prop(e, "number"), Value::integer(3));
  // Positional: the n-th parameter of the list (text, number, flag, error).
  o = host->call(e, "echo", {{"", "pos"}, {"", 4}});
  ASSERT_EQ(o.status, QIRA_OK);
  EXPECT_EQ(host->prop(e, "text"), Value::string8("pos"));
  EXPECT_EQ(host->prop(e, "number"), Value::integer(4));
  // A name that is no parameter is refused by 140.
  EXPECT_EQ(host->call(e, "echo", {{"bogus", 1}}).status, kHostErrUnknownArgument);
  EXPECT_EQ(host->call(e, "nosuch").status, kHostErrNoMethod);
  EXPECT_EQ(host->call(Ref(), "echo").status, kHostErrNoReceiver);
  EXPECT_EQ(host->construct("Nothing").status, kHostErrNoType);
}

TEST_F(EchoHost, ErrorVariableReceivesFailures) {
  Ref e = newEcho();
  Variable err = host->variable();
  CallOutcome o = host->call(e, "fail", {{"code", 77}, {"error", err}});
  EXPECT_EQ(o.status, QIRA_OK);
  EXPECT_TRUE(o.noValue);
  EXPECT_FALSE(o.value);
  EXPECT_EQ(err.get(), Value::integer(77));
  EXPECT_EQ(err.assignments(), 1u);
  EXPECT_EQ(err.lastFlag(), 0);
  EXPECT_EQ(err.notes(), 1u);
  // Without a variable the code is the call's status.
  EXPECT_EQ(host->call(e, "fail", {{"code", 77}}).status, 77u);
  EXPECT_EQ(host->call(e, "fail", {{"error", err}}).status, QIRA_ERR_MISSINGPARAM);
  // `error` given as a plain value is no variable reference.
  EXPECT_EQ(host->call(e, "fail", {{"code", 1}, {"error", "x"}}).status, QIRA_ERR_NOTVARIABLE);
  // A successful echo writes 0 into it.
  ASSERT_EQ(host->call(e, "echo", {{"error", err}}).status, QIRA_OK);
  EXPECT_EQ(err.get(), Value::integer(0));
  err = Variable();
  EXPECT_EQ(host->liveVariables(), 0u);
}

TEST_F(EchoHost, FaultsDriveTheModulesFailurePaths) {
  Variable err = host->variable();
  {
    SCOPED_TRACE("getter without 402");
    host->failGetter(402);
    EXPECT_EQ(host->construct("Echo", {{"text", "x"}}).status, QIRA_ERR_NOHOSTFUNC);
    host->clearFaults();
  }
  {
    SCOPED_TRACE("112 refuses: the new object is released, the string freed");
    host->failHostFn(112, QIRA_ERR_ACCESS);
    CallOutcome o = host->construct("Echo", {{"text", "x"}, {"error", err}});
    EXPECT_EQ(o.status, QIRA_OK);
    EXPECT_TRUE(o.noValue);
    EXPECT_EQ(err.get(), Value::integer(QIRA_ERR_ACCESS));
    EXPECT_EQ(host->liveObjects(), 0u);
    EXPECT_EQ(host->liveValues(), 0u);
    EXPECT_EQ(host->hostCalls(400), 1u);
    host->clearFaults();
  }
  {
    SCOPED_TRACE("111 refuses: storing the failure fails the call");
    host->failHostFn(111, 99);
    EXPECT_EQ(host->call(newEcho(), "fail", {{"code", 5}, {"error", err}}).status, 99u);
    EXPECT_EQ(host->liveValues(), 0u);
    host->clearFaults();
  }
  {
    SCOPED_TRACE("100 refuses");
    host->failHostFn(100, QIRA_ERR_NOMEM);
    EXPECT_EQ(host->construct("Echo").status, QIRA_ERR_NOMEM);
    host->clearFaults();
  }
  {
    SCOPED_TRACE("the second 112 of one call refuses");
    Ref e = newEcho("old");
    host->failHostFn(Fault{112, QIRA_ERR_ACCESS, 1, 1});
    CallOutcome o = host->call(e, "echo", {{"text", "new"}, {"number", 1}, {"flag", true}});
    EXPECT_EQ(o.status, QIRA_ERR_ACCESS);
    EXPECT_EQ(host->prop(e, "text"), Value::string8("new"));
    EXPECT_FALSE(host->prop(e, "number"));
    // Only one failure was asked for: the next call goes through.
    EXPECT_EQ(host->call(e, "echo", {{"number", 2}}).status, QIRA_OK);
    host->clearFaults();
  }
}

TEST_F(EchoHost, BlockThatAsksAgainRunsToItsEnd) {
  Ref e = newEcho();
  Variable err = host->variable();
  CallOutcome o = host->call(e, "count", {{"n", 5}, {"error", err}});
  EXPECT_EQ(o.status, QIRA_OK);
  EXPECT_EQ(o.blockCalls, 6u);
  EXPECT_EQ(o.yields, 0u);
  EXPECT_TRUE(o.delivered);
  EXPECT_EQ(o.value, e);
  EXPECT_EQ(host->prop(e, "steps"), Value::integer(5));
  o = CallOutcome();
  EXPECT_EQ(e.refCount(), 1u);
  EXPECT_EQ(err.ref().refCount(), 1u);
}

TEST_F(EchoHost, AbandonedBlockRunsItsTerminator) {
  Ref e = newEcho();
  Variable err = host->variable();
  RunOptions opts;
  uint32_t seen = 0;
  opts.onBlock = [&](const BlockProgress &p) {
    EXPECT_EQ(p.status, QIRA_BLOCK_AGAIN);
    seen = p.blockCalls;
    return p.blockCalls == 2 ? Step::Abandon : Step::Continue;
  };
  CallOutcome o = host->call(e, "count", {{"n", 100}, {"error", err}}, opts);
  EXPECT_EQ(o.status, kHostErrAbandoned);
  EXPECT_TRUE(o.abandoned);
  EXPECT_EQ(seen, 2u);
  EXPECT_FALSE(o.value);
  EXPECT_FALSE(host->prop(e, "steps"));
  // The terminator gave back the block's references and memory.
  EXPECT_EQ(e.refCount(), 1u);
  EXPECT_EQ(err.ref().refCount(), 1u);
  EXPECT_EQ(host->liveBlocks(), blocks0);

  // Step by step; dropping the open call abandons it as well.
  {
    PendingCall pc = host->begin(e, "count", {{"n", 3}});
    ASSERT_TRUE(pc.open());
    EXPECT_FALSE(pc.hasWaitHook());
    EXPECT_EQ(pc.step(), QIRA_BLOCK_AGAIN);
    EXPECT_EQ(host->liveBlocks(), blocks0 + 1);
  }
  EXPECT_EQ(host->liveBlocks(), blocks0);
  EXPECT_EQ(e.refCount(), 1u);
  // The limit abandons too.
  opts = RunOptions();
  opts.maxBlockCalls = 4;
  o = host->call(e, "count", {{"n", 10}}, opts);
  EXPECT_TRUE(o.abandoned);
  EXPECT_EQ(o.blockCalls, 4u);
}

TEST_F(EchoHost, WaitingBlockSleepsOnItsPipeUntilItIsReadable) {
  Ref e = newEcho();
  PendingCall pc = host->begin(e, "wait");
  ASSERT_TRUE(pc.open());
  ASSERT_TRUE(pc.hasWaitHook());
  EXPECT_EQ(pc.result().yieldsize, 20u);
  EXPECT_EQ(pc.step(), QIRA_BLOCK_WAIT);
  auto fd = host->prop(e, "fd");
  ASSERT_TRUE(fd && fd->toInt64());
  // The yield function returns only once the writer has written.
  std::thread writer([w = int(*fd->toInt64())] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(write(w, "x", 1), 1);
  });
  CallOutcome o = pc.finish();
  writer.join();
  EXPECT_EQ(o.status, QIRA_OK);
  EXPECT_TRUE(o.noValue);
  EXPECT_GE(o.yields, 1u);
  EXPECT_EQ(o.blockCalls, o.yields + 1);
}

TEST_F(EchoHost, CallersPeriodicRecordWakesTheHostWhileItWaits) {
  Ref e = newEcho();
  QiraYieldRec tick = Host::periodicRecord(2);
  RunOptions opts;
  opts.extraRuns = {&tick};
  int wakes = 0;
  opts.onWake = [&](const BlockProgress &p) {
    EXPECT_EQ(p.status, QIRA_BLOCK_WAIT);
    if (++wakes == 3) {
      auto fd = host->prop(e, "fd");
      EXPECT_EQ(write(int(*fd->toInt64()), "x", 1), 1);
    }
    return Step::Continue;
  };
  CallOutcome o = host->call(e, "wait", {}, opts);
  EXPECT_EQ(o.status, QIRA_OK);
  EXPECT_EQ(wakes, int(o.yields));
  EXPECT_GE(o.yields, 3u);

  // Abandoned from the wake-up callback: the terminator closes the pipe.
  opts.onWake = [](const BlockProgress &) { return Step::Abandon; };
  o = host->call(e, "wait", {}, opts);
  EXPECT_TRUE(o.abandoned);
  EXPECT_EQ(o.yields, 1u);
  EXPECT_EQ(e.refCount(), 1u);
}

TEST_F(EchoHost, ValueHookAndAssignment) {
  Ref e = newEcho();
  ASSERT_EQ(host->call(e, "echo").status, QIRA_OK);
  ASSERT_EQ(host->call(e, "echo").status, QIRA_OK);
  Host::ValueOutcome v = host->value(e);
  EXPECT_EQ(v.status, QIRA_OK);
  EXPECT_EQ(v.tag, QIRA_TAG_INT);
  EXPECT_EQ(v.value, Value::integer(2));
  EXPECT_EQ(host->assign(e, Value::integer(1)), QIRA_ERR_ACCESS);
  EXPECT_EQ(host->value(host->typeObject("Echo")).status, kHostErrNoMethod);
}

TEST_F(EchoHost, ListingCleanupsRunAtTeardown) {
  auto cleanups = reinterpret_cast<uint32_t (*)()>(host->moduleSymbol("EchoCleanups"));
  ASSERT_TRUE(cleanups);
  uint32_t before = cleanups();
  Ref e = newEcho();
  ASSERT_EQ(host->call(e, "linger").status, QIRA_OK);
  EXPECT_EQ(host->openListings(), 1u);
  EXPECT_EQ(host->runListingCleanups(), 1u);
  EXPECT_EQ(host->openListings(), 0u);
  EXPECT_EQ(cleanups(), before + 1);
  blocks0 = host->liveBlocks();  // the record stays in the group until teardown

  // A second host of the same module: its teardown runs the cleanup.
  std::string err;
  auto other = Host::load(ECHO_MODULE_PATH, err);
  ASSERT_TRUE(other) << err;
  ASSERT_EQ(other->addTypes(), QIRA_OK);
  {
    Ref o = other->construct("Echo").value;
    ASSERT_EQ(other->call(o, "linger").status, QIRA_OK);
  }
  EXPECT_EQ(other->openListings(), 1u);
  other.reset();
  EXPECT_EQ(cleanups(), before + 2);
}

}  // namespace
