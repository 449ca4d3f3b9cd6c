// QIRAdirectoryentry construction, its nine properties, its value and the
// refused assignment, end to end through the host stand-in.
#include <functional>

#include "objects/entry_fixture.h"

namespace entrytest {
namespace {

constexpr time_t kAtime = 1000000000;  // 2001-09-09
constexpr time_t kMtime = 1234567890;  // 2009-02-13

TEST_F(EntryTest, NewOnFileShowsNinePropertiesAndFullNameAsValue) {
  const std::string path = dir_ / "notes.txt";
  qt::WriteFile(path, "hello");
  SetTimes(path, kAtime, kMtime);

  CallOutcome out = New(path);
  ASSERT_TRUE(out.ok()) << out.status;
  EXPECT_TRUE(out.argcOutWritten);
  EXPECT_EQ(out.argcOut, 1u);
  // The reference the construction took is the one the host now holds.
  EXPECT_EQ(out.value.refCount(), 1u);
  const Ref &e = out.value;

  EXPECT_EQ(Text(e, "name"), "notes.txt");
  EXPECT_TRUE(Prop(e, "created").isNone());  // Linux keeps no creation date
  EXPECT_EQ(Prop(e, "lastchanged"), DateOf(kMtime));
  EXPECT_EQ(Prop(e, "lastaccessed"), DateOf(kAtime));
  EXPECT_EQ(Prop(e, "size"), Value::integer(5));
  EXPECT_EQ(Text(e, "entrytype"), "file");
  EXPECT_EQ(Prop(e, "readonly"), Value::boolean(false));
  EXPECT_EQ(Prop(e, "hidden"), Value::boolean(false));
  EXPECT_EQ(Prop(e, "system"), Value::boolean(false));
  for (const char *p : {"name", "created", "lastchanged", "lastaccessed", "size", "entrytype",
                        "readonly", "hidden", "system"}) {
    SCOPED_TRACE(p);
    EXPECT_EQ(host_->propFlag(e, p), std::optional<uint16_t>(1));
  }

  qhost::Host::ValueOutcome v = host_->value(e);
  EXPECT_EQ(v.status, QIRA_OK);
  EXPECT_EQ(v.tag, QIRA_TAG_STRING);
  EXPECT_EQ(v.value.utf8(), path);
}

TEST_F(EntryTest, DirectoryAndEmptyFileDifferInSize) {
  ASSERT_EQ(::mkdir((dir_ / "d").c_str(), 0755), 0);
  qt::WriteFile(dir_ / "empty", "");

  Ref d = Entry(dir_ / "d");
  ASSERT_TRUE(d);
  EXPECT_EQ(Text(d, "entrytype"), "directory");
  EXPECT_TRUE(Prop(d, "size").isNone());

  // An empty file has a size: an integer with no digits, not no value.
  Ref f = Entry(dir_ / "empty");
  ASSERT_TRUE(f);
  Value size = Prop(f, "size");
  EXPECT_EQ(size.kind(), Value::Kind::Int);
  EXPECT_TRUE(size.digits().empty());
}

TEST_F(EntryTest, MissingEntryGoesThroughErrorOrIsTheStatus) {
  const std::string path = dir_ / "nope";
  {
    Variable error = host_->variable();
    CallOutcome out = New(path, &error);
    EXPECT_EQ(out.status, QIRA_OK);
    EXPECT_TRUE(out.noValue);
    EXPECT_FALSE(out.value);
    EXPECT_EQ(Code(error), QIRA_ERR_NOTFOUND);
    EXPECT_EQ(error.lastFlag(), 0);
    EXPECT_TRUE(out.argcOutWritten);
    EXPECT_EQ(out.argcOut, 2u);
  }
  CallOutcome out = New(path);
  EXPECT_EQ(out.status, QIRA_ERR_NOTFOUND);
  EXPECT_FALSE(out.value);
}

// Failures found before `error` is read are the call's status even when the
// script gave the variable, and leave it untouched.
TEST_F(EntryTest, EarlyFailuresAreTheStatusEvenWithError) {
  Ref entry = Entry(dir_.path());
  ASSERT_TRUE(entry);
  auto newFn = reinterpret_cast<QiraMethodFn>(host_->moduleSymbol("TARVO_NewQIRADirEntryObject"));
  ASSERT_NE(newFn, nullptr);

  struct Case {
    const char *what;
    std::function<CallOutcome(Variable &)> call;
    uint32_t want;
  };
  const Case cases[] = {
      {"empty name",
       [&](Variable &e) { return host_->construct("QIRAdirectoryentry", {{"name", ""}, {"error", e}}); },
       QIRA_ERR_EMPTY},
      {"no name",
       [&](Variable &e) { return host_->construct("QIRAdirectoryentry", {{"error", e}}); },
       QIRA_ERR_MISSINGPARAM},
      {"name not a string",
       [&](Variable &e) {
         return host_->construct("QIRAdirectoryentry", {{"name", 5}, {"error", e}});
       },
       QIRA_ERR_EMPTY},
      {"new on an instance",
       [&](Variable &e) {
         return host_->callFn(newFn, entry.raw(), {{"name", dir_.path().c_str()}, {"error", e}});
       },
       QIRA_ERR_WRONGKIND},
      {"error not a variable",
       [&](Variable &) {
         return host_->construct("QIRAdirectoryentry",
                                 {{"name", dir_.path().c_str()}, {"error", 7}});
       },
       QIRA_ERR_NOTVARIABLE},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    Variable error = host_->variable();
    CallOutcome out = c.call(error);
    EXPECT_EQ(out.status, c.want);
    EXPECT_FALSE(out.value);
    EXPECT_EQ(error.assignments(), 0u);
    EXPECT_TRUE(out.argcOutWritten);
  }
}

TEST_F(EntryTest, MethodsOnAnObjectWithoutPrivateDataFailWith21) {
  for (const char *fn : {"TARVOQIRADirEntry_Rename", "TARVOQIRADirEntry_SetAttributes",
                         "TARVOQIRADirEntry_SetDates", "TARVOQIRADirEntry_GetDir",
                         "TARVOQIRADirEntry_Copy", "TARVOQIRADirEntry_Move"}) {
    SCOPED_TRACE(fn);
    auto method = reinterpret_cast<QiraMethodFn>(host_->moduleSymbol(fn));
    ASSERT_NE(method, nullptr);
    Variable error = host_->variable();
    CallOutcome out = host_->callFn(method, QiraObjRef{nullptr, 0},
                                    {{"newname", "x"}, {"error", error}});
    EXPECT_EQ(out.status, QIRA_ERR_NOPRIVATE);
    EXPECT_EQ(error.assignments(), 0u);
    EXPECT_TRUE(out.argcOutWritten);
  }
}

TEST_F(EntryTest, AssigningAValueIsRefused) {
  Ref e = Entry(dir_.path());
  ASSERT_TRUE(e);
  EXPECT_EQ(host_->assign(e, Value::string8("/elsewhere")), QIRA_ERR_ACCESS);
  EXPECT_EQ(host_->value(e).value.utf8(), dir_.path());
}

// A code no host function of the stand-in returns on its own.
constexpr uint32_t kInjected = 4242;

// The host refusing part way through building an entry: the half-built object
// is released and every temporary freed (the teardown counts them), and the
// refusal lands in `error`.
TEST_F(EntryTest, HostRefusalsWhileBuildingLeaveNothingBehind) {
  const std::string path = dir_ / "f";
  qt::WriteFile(path, "x");
  struct Case {
    const char *what;
    qhost::Fault fault;
  };
  const Case cases[] = {
      {"object creation", {100, kInjected, 0, 1}},
      {"first property", {112, kInjected, 0, 1}},
      {"size property", {112, kInjected, 4, 1}},
      {"last property", {112, kInjected, 8, 1}},
      {"entrytype string", {405, kInjected, 1, 1}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    Variable error = host_->variable();
    host_->failHostFn(c.fault);
    CallOutcome out = New(path, &error);
    host_->clearFaults();
    EXPECT_EQ(out.status, QIRA_OK);
    EXPECT_TRUE(out.noValue);
    EXPECT_FALSE(out.value);
    EXPECT_EQ(Code(error), kInjected);
    EXPECT_EQ(host_->liveObjects(), objects_);
  }
  // When the failure cannot be stored either, storing's failure is the status.
  Variable error = host_->variable();
  host_->failHostFn(111, kInjected + 1);
  CallOutcome out = New(dir_ / "missing", &error);
  host_->clearFaults();
  EXPECT_EQ(out.status, kInjected + 1);
  EXPECT_FALSE(out.noValue);
}

}  // namespace
}  // namespace entrytest
