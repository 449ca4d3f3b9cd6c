// copy and move of a QIRAdirectoryentry: a worker process does the file work
// while the host waits on its pipe through the module's wait hook.  Checked
// on disk, on the entry's properties, on references, and for workers left
// behind.
#include <cstring>

#include "objects/entry_fixture.h"

namespace entrytest {
namespace {

constexpr time_t kAtime = 1111111111;
constexpr time_t kMtime = 1222222222;

// Larger than one chunk of the worker's copy loop, and not a multiple of it.
std::string Content() {
  std::string s;
  for (int i = 0; i < 10000; ++i) s += char('a' + i % 26);
  return s;
}

class CopyMoveTest : public EntryTest {
 protected:
  // A file with known content, mode and times, and its entry object.
  Ref Source(const std::string &name, const std::string &content) {
    const std::string path = dir_ / name;
    qt::WriteFile(path, content);
    EXPECT_EQ(::chmod(path.c_str(), 0640), 0);
    SetTimes(path, kAtime, kMtime);
    return Entry(path);
  }

  CallOutcome Run(const Ref &e, const char *method, const std::string &dest,
                  std::optional<bool> replace, Variable *error) {
    Args args{Arg("destination", dest.c_str())};
    if (replace) args.emplace_back("replace", *replace);
    if (error) args.emplace_back("error", *error);
    return host_->call(e, method, args);
  }
};

TEST_F(CopyMoveTest, CopyKeepsContentTimesAndModeAndLeavesTheEntryAsItWas) {
  const std::string content = Content();
  Ref e = Source("src", content);
  ASSERT_TRUE(e);
  const auto before = host_->props(e);

  const uint32_t refs = e.refCount();
  qhost::PendingCall call = host_->begin(e, "copy", {{"destination", (dir_ / "dst").c_str()}});
  ASSERT_TRUE(call.open());
  EXPECT_EQ(call.outcome().status, QIRA_OK);
  // The host is told to sleep on the worker's pipe, in the module's yield function.
  ASSERT_TRUE(call.hasWaitHook());
  EXPECT_EQ(call.result().yieldsize, sizeof(QiraYieldRec));
  EXPECT_EQ(reinterpret_cast<void *>(call.result().yieldfn),
            host_->moduleSymbol("TARVOYield_Lnx_SockOrTime"));
  ASSERT_NE(call.result().yieldrec, nullptr);
  EXPECT_GE(static_cast<const QiraYieldRec *>(call.result().yieldrec)->fd, 0);
  // The block holds one reference (the pending call keeps the receiver too).
  EXPECT_GE(e.refCount(), refs + 1);

  CallOutcome out = call.finish();
  ASSERT_TRUE(out.ok()) << out.status;
  EXPECT_TRUE(out.value == e);
  EXPECT_GE(out.blockCalls, 1u);

  // Looked at before reading it back, which would move its access time.
  const struct stat st = StatOf(dir_ / "dst");
  EXPECT_EQ(st.st_mtime, kMtime);
  EXPECT_EQ(st.st_atime, kAtime);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(qt::ReadFile(dir_ / "dst"), content);
  EXPECT_EQ(qt::ReadFile(dir_ / "src"), content);
  // A copy's value is the source's entry, unchanged.
  EXPECT_EQ(host_->props(e), before);
}

TEST_F(CopyMoveTest, AnExistingDestinationIsReplacedOnlyWhenAsked) {
  Ref e = Source("src", "new content");
  ASSERT_TRUE(e);

  struct Case {
    const char *what;
    std::optional<bool> replace;
    uint32_t want;
  };
  const Case cases[] = {
      {"replace absent", std::nullopt, QIRA_ERR_EXISTS},
      {"replace false", false, QIRA_ERR_EXISTS},
      {"replace true", true, QIRA_OK},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    qt::WriteFile(dir_ / "dst", "old");
    Variable error = host_->variable();
    CallOutcome out = Run(e, "copy", dir_ / "dst", c.replace, &error);
    EXPECT_EQ(out.status, QIRA_OK);
    // The worker's answer arrives through the block, never from the method.
    EXPECT_GE(out.blockCalls, 1u);
    if (c.want == QIRA_OK) {
      EXPECT_TRUE(out.ok());
      EXPECT_EQ(error.assignments(), 0u);
      EXPECT_EQ(qt::ReadFile(dir_ / "dst"), "new content");
    } else {
      EXPECT_TRUE(out.noValue);
      EXPECT_FALSE(out.value);
      EXPECT_EQ(Code(error), c.want);
      EXPECT_EQ(error.lastFlag(), 0);
      EXPECT_EQ(qt::ReadFile(dir_ / "dst"), "old");
    }
    // The test's handle, and the call's value when there is one.
    EXPECT_EQ(e.refCount(), out.value ? 2u : 1u);
    ExpectNoZombieWorker();
  }

  // Without `error` the worker's failure is the call's own.
  qt::WriteFile(dir_ / "dst", "old");
  CallOutcome out = Run(e, "copy", dir_ / "dst", std::nullopt, nullptr);
  EXPECT_EQ(out.status, QIRA_ERR_EXISTS);
  EXPECT_FALSE(out.value);
}

TEST_F(CopyMoveTest, CopyOfADirectoryStartsNothing) {
  ASSERT_EQ(::mkdir((dir_ / "d").c_str(), 0755), 0);
  Ref e = Entry(dir_ / "d");
  ASSERT_TRUE(e);
  Variable error = host_->variable();
  CallOutcome out = Run(e, "copy", dir_ / "d2", std::nullopt, &error);
  EXPECT_EQ(out.status, QIRA_OK);
  EXPECT_TRUE(out.noValue);
  EXPECT_EQ(out.blockCalls, 0u);
  EXPECT_EQ(Code(error), QIRA_ERR_WRONGKIND);
  EXPECT_FALSE(qt::Exists(dir_ / "d2"));
  int st = 0;
  EXPECT_EQ(::waitpid(-1, &st, WNOHANG), -1) << "no worker was forked";
}

TEST_F(CopyMoveTest, ArgumentFailuresAreTheStatus) {
  Ref e = Source("src", "x");
  ASSERT_TRUE(e);
  struct Case {
    const char *what;
    Args args;
    uint32_t want;
  };
  const std::vector<Case> cases = {
      {"no destination", {}, QIRA_ERR_MISSINGPARAM},
      {"destination not a string", {{"destination", 3}}, QIRA_ERR_EMPTY},
      {"replace not a boolean", {{"destination", "x"}, {"replace", "yes"}}, QIRA_ERR_RANGE},
  };
  for (const char *method : {"copy", "move"}) {
    for (const Case &c : cases) {
      SCOPED_TRACE(std::string(method) + ": " + c.what);
      Variable error = host_->variable();
      Args args = c.args;
      args.emplace_back("error", error);
      CallOutcome out = host_->call(e, method, args);
      EXPECT_EQ(out.status, c.want);
      EXPECT_EQ(out.blockCalls, 0u);
      EXPECT_EQ(error.assignments(), 0u);
      EXPECT_TRUE(out.argcOutWritten);
    }
  }
  EXPECT_FALSE(qt::Exists(dir_ / "x"));
}

TEST_F(CopyMoveTest, MoveRepointsTheEntryAtTheDestination) {
  Ref e = Source("src", "moved");
  ASSERT_TRUE(e);
  ASSERT_EQ(::mkdir((dir_ / "into").c_str(), 0755), 0);

  CallOutcome out = Run(e, "move", dir_ / "into/dst", std::nullopt, nullptr);
  ASSERT_TRUE(out.ok()) << out.status;
  EXPECT_TRUE(out.value == e);
  EXPECT_FALSE(qt::Exists(dir_ / "src"));
  EXPECT_EQ(qt::ReadFile(dir_ / "into/dst"), "moved");

  EXPECT_EQ(Text(e, "name"), "dst");
  EXPECT_EQ(host_->value(e).value.utf8(), dir_ / "into/dst");
  EXPECT_EQ(Prop(e, "size"), Value::integer(5));
  EXPECT_EQ(Prop(e, "lastchanged"), DateOf(kMtime));
  EXPECT_EQ(Text(e, "entrytype"), "file");

  // The entry works on its new name from now on.
  CallOutcome again = host_->call(e, "rename", {{"newname", "renamed"}});
  EXPECT_TRUE(again.ok()) << again.status;
  EXPECT_TRUE(qt::Exists(dir_ / "into/renamed"));
}

TEST_F(CopyMoveTest, MoveOfADirectoryIsStartedLikeAFile) {
  ASSERT_EQ(::mkdir((dir_ / "d").c_str(), 0755), 0);
  qt::WriteFile(dir_ / "d/inside", "1");
  Ref e = Entry(dir_ / "d");
  ASSERT_TRUE(e);
  CallOutcome out = Run(e, "move", dir_ / "e", std::nullopt, nullptr);
  ASSERT_TRUE(out.ok()) << out.status;
  EXPECT_EQ(Text(e, "name"), "e");
  EXPECT_EQ(Text(e, "entrytype"), "directory");
  EXPECT_TRUE(qt::Exists(dir_ / "e/inside"));
}

TEST_F(CopyMoveTest, MoveAcrossFileSystems) {
  const std::string shm = "/dev/shm";
  struct stat a {}, b {};
  if (::stat(shm.c_str(), &b) != 0 || ::stat(dir_.path().c_str(), &a) != 0 ||
      a.st_dev == b.st_dev || ::access(shm.c_str(), W_OK) != 0) {
    GTEST_SKIP() << "needs a writable /dev/shm on another file system than "
                 << dir_.path();
  }
  const std::string content = Content();
  Ref e = Source("src", content);
  ASSERT_TRUE(e);
  const std::string dest = shm + "/qira-entry-" + std::to_string(::getpid());
  qt::RemoveTree(dest);

  CallOutcome out = Run(e, "move", dest, std::nullopt, nullptr);
  ASSERT_TRUE(out.ok()) << out.status;
  EXPECT_FALSE(qt::Exists(dir_ / "src"));
  EXPECT_EQ(qt::ReadFile(dest), content);
  EXPECT_EQ(StatOf(dest).st_mtime, kMtime);
  EXPECT_EQ(Text(e, "name"), "qira-entry-" + std::to_string(::getpid()));
  EXPECT_EQ(host_->value(e).value.utf8(), dest);
  EXPECT_EQ(Prop(e, "lastchanged"), DateOf(kMtime));
  qt::RemoveTree(dest);
}

TEST_F(CopyMoveTest, AnAbandonedCopyReleasesWhatItHeld) {
  Ref e = Source("src", Content());
  ASSERT_TRUE(e);
  Variable error = host_->variable();
  const uint32_t errorRefs = error.ref().refCount();
  {
    qhost::PendingCall call =
        host_->begin(e, "copy", {{"destination", (dir_ / "dst").c_str()}, {"error", error}});
    ASSERT_TRUE(call.open());
    const uint32_t entryHeld = e.refCount();
    const uint32_t errorHeld = error.ref().refCount();
    CallOutcome out = call.abandon();
    EXPECT_TRUE(out.abandoned);
    // The terminator gives back the block's one reference on each.
    EXPECT_EQ(e.refCount(), entryHeld - 1);
    EXPECT_EQ(error.ref().refCount(), errorHeld - 1);
  }
  EXPECT_EQ(e.refCount(), 1u);
  EXPECT_EQ(error.ref().refCount(), errorRefs);
  EXPECT_EQ(error.assignments(), 0u) << "the worker's answer is never read";
  // The worker goes on without us; collect it so it does not count as ours.
  ReapWorkers();
}

// The move succeeds on disk but the entry cannot be rewritten: the failure
// comes through `error` at the end, and the block still lets go of everything.
TEST_F(CopyMoveTest, AMoveWhoseRepointingFailsReportsIt) {
  constexpr uint32_t kInjected = 4243;
  Ref e = Source("src", "x");
  ASSERT_TRUE(e);
  Variable error = host_->variable();
  qhost::PendingCall call = host_->begin(
      e, "move", {{"destination", (dir_ / "dst").c_str()}, {"error", error}});
  ASSERT_TRUE(call.open());
  host_->failHostFn(112, kInjected);
  CallOutcome out = call.finish();
  host_->clearFaults();
  EXPECT_EQ(out.status, QIRA_OK);
  EXPECT_TRUE(out.noValue);
  EXPECT_EQ(Code(error), kInjected);
  EXPECT_TRUE(qt::Exists(dir_ / "dst"));
  EXPECT_FALSE(qt::Exists(dir_ / "src"));
}

}  // namespace
}  // namespace entrytest
