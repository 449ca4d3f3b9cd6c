// copy and move of a QIRAdirectoryentry: a worker process does the file work
// while the host waits on its pipe through the module's wait hook.  Checked
// on disk, on the entry's properties, on references, and for workers left
// behind (the teardown).  The refusals are in the table of dir_test.cpp.
#include <cstdio>

#include "objects/fixture.h"

namespace objtest {
namespace {

constexpr time_t kAtime = 1111111111;
constexpr time_t kMtime = 1222222222;

class CopyMoveTest : public ObjTest {
 protected:
  // A file with known content, mode and times, and its entry object.
  Ref Source(const std::string &content) {
    qt::WriteFile(dir_ / "src", content);
    EXPECT_EQ(::chmod((dir_ / "src").c_str(), 0640), 0);
    SetTimes(dir_ / "src", kAtime, kMtime);
    return Entry(dir_ / "src");
  }
  // Larger than one chunk of the worker's copy loop, and not a multiple of it.
  const std::string content_ = [] {
    std::string s;
    for (int i = 0; i < 10000; ++i) s += char('a' + i % 26);
    return s;
  }();
};

// The worker's answer arrives through the block, never from the method.  A
// copy keeps content, times and mode, replaces an existing destination only
// when asked, and its value is the entry, still describing the source.
TEST_F(CopyMoveTest, CopyReplacesOnlyWhenAsked) {
  Ref e = Source(content_);
  ASSERT_TRUE(e);
  const auto before = host_->props(e);
  const std::string dst = dir_ / "dst";
  const Arg to("destination", dst.c_str());
  struct Case { const char *old; Args args; bool withError; uint32_t code; };
  const Case cases[] = {
      {nullptr, {to}, true, QIRA_OK},
      {"old", {to}, true, QIRA_ERR_EXISTS},
      {"old", {to}, false, QIRA_ERR_EXISTS},
      {"old", {to, Arg("replace", false)}, true, QIRA_ERR_EXISTS},
      {"old", {to, Arg("replace", true)}, false, QIRA_OK},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(::testing::Message() << !!c.old << c.args.size() << c.withError);
    if (c.old) qt::WriteFile(dst, c.old);
    SetTimes(dir_ / "src", kAtime, kMtime);  // the last copy's read moved the access time
    Variable error = host_->variable();
    CallOutcome out = Run(e, "copy", c.args, c.withError ? &error : nullptr);
    EXPECT_GE(out.blockCalls, 1u);
    if (c.code == QIRA_OK) {
      EXPECT_TRUE(out.ok() && out.value == e);
      // Looked at before reading it back, which would move its access time.
      const struct stat st = StatOf(dst);
      EXPECT_EQ(st.st_mtime, kMtime);
      EXPECT_EQ(st.st_atime, kAtime);
      EXPECT_EQ(st.st_mode & 07777, 0640u);
    } else {
      ExpectFailure(out, c.withError ? &error : nullptr, c.code);
    }
    EXPECT_EQ(qt::ReadFile(dst), c.code ? c.old : content_);
    EXPECT_EQ(e.refCount(), out.value ? 2u : 1u);
    EXPECT_EQ(host_->props(e), before);
    ExpectNoZombieWorker();
  }
  EXPECT_EQ(qt::ReadFile(dir_ / "src"), content_);
}

// After a move the same entry object describes the destination, on this file
// system or another one (/dev/shm, when it is one), a file or a directory.
TEST_F(CopyMoveTest, MoveRepointsTheEntryAtTheDestination) {
  ASSERT_EQ(::mkdir((dir_ / "into").c_str(), 0755), 0);
  const std::string shm = "/dev/shm/qira-entry-" + std::to_string(::getpid());
  const bool otherFs = ::access("/dev/shm", W_OK) == 0 &&
                       StatOf("/dev/shm").st_dev != StatOf(dir_.path()).st_dev;
  if (!otherFs) std::printf("skipped: move across file systems: no /dev/shm of its own\n");
  for (const std::string &dest : {dir_ / "into/dst", otherFs ? shm : std::string()}) {
    if (dest.empty()) continue;
    SCOPED_TRACE(dest);
    Ref e = Source(content_);
    ASSERT_TRUE(e);
    ASSERT_TRUE(Run(e, "move", {Arg("destination", dest.c_str())}).ok());
    EXPECT_FALSE(qt::Exists(dir_ / "src"));
    EXPECT_EQ(StatOf(dest).st_mtime, kMtime);
    EXPECT_EQ(qt::ReadFile(dest), content_);
    EXPECT_EQ(Text(e, "name"), dest.substr(dest.rfind('/') + 1));
    EXPECT_EQ(Full(e), dest);
    EXPECT_EQ(Prop(e, "size"), Value::integer(int64_t(content_.size())));
    EXPECT_EQ(Prop(e, "lastchanged"), DateOf(kMtime));
  }
  qt::RemoveTree(shm);

  Ref d = Entry(dir_ / "into");
  ASSERT_TRUE(Run(d, "move", {Arg("destination", (dir_ / "moved").c_str())}).ok());
  EXPECT_EQ(Text(d, "entrytype"), "directory");
  EXPECT_EQ(Full(d), dir_ / "moved");
  // The entry works on its new name from now on.
  EXPECT_TRUE(Run(d, "rename", {Arg("newname", "renamed")}).ok());
  EXPECT_TRUE(qt::Exists(dir_ / "renamed/dst"));
}

TEST_F(CopyMoveTest, AnAbandonedCopyReleasesWhatItHeld) {
  Ref e = Source(content_);
  ASSERT_TRUE(e);
  Variable error = host_->variable();
  PendingCall call =
      host_->begin(e, "copy", {Arg("destination", (dir_ / "dst").c_str()), Arg("error", error)});
  ASSERT_TRUE(call.open());
  // The host is told to sleep on the worker's pipe, in the module's yield function.
  ASSERT_TRUE(call.hasWaitHook());
  EXPECT_EQ(call.result().yieldsize, sizeof(QiraYieldRec));
  EXPECT_EQ(reinterpret_cast<void *>(call.result().yieldfn),
            host_->moduleSymbol("TARVOYield_Lnx_SockOrTime"));
  ASSERT_NE(call.result().yieldrec, nullptr);
  EXPECT_GE(static_cast<const QiraYieldRec *>(call.result().yieldrec)->fd, 0);
  // The test's, the pending call's and the block's; the terminator gives
  // back the block's one reference on each, and never reads the answer.
  EXPECT_EQ(e.refCount(), 3u);
  EXPECT_EQ(error.ref().refCount(), 3u);
  EXPECT_TRUE(call.abandon().abandoned);
  EXPECT_EQ(e.refCount(), 2u);
  EXPECT_EQ(error.ref().refCount(), 2u);
  EXPECT_EQ(error.assignments(), 0u);
  // The worker goes on without us; the module collects it later, never
  // waiting for it (the teardown checks).
}

// The move succeeds on disk but the entry cannot be rewritten: the failure
// comes at the end, and the block still lets go of everything.
TEST_F(CopyMoveTest, AMoveWhoseRepointingFailsReportsIt) {
  Ref e = Source("x");
  Variable error = host_->variable();
  PendingCall call =
      host_->begin(e, "move", {Arg("destination", (dir_ / "dst").c_str()), Arg("error", error)});
  ASSERT_TRUE(call.open());
  host_->failHostFn(112, kInjected);
  CallOutcome out = call.finish();
  host_->clearFaults();
  ExpectFailure(out, &error, kInjected);
  EXPECT_TRUE(qt::Exists(dir_ / "dst"));
  EXPECT_FALSE(qt::Exists(dir_ / "src"));
}

// Without a result record nobody could hear the worker: the call is refused
// with 13 as its status before anything starts, and leaves nothing behind.
TEST_F(CopyMoveTest, ACallWithoutAResultRecordStartsNothing) {
  Ref e = Source(content_);
  ASSERT_TRUE(e);
  Variable error = host_->variable();
  RunOptions opts;
  opts.noResultRecord = true;
  for (int i = 0; i < 20; ++i) {
    for (const char *method : {"copy", "move"}) {
      CallOutcome out = host_->call(
          e, method, {Arg("destination", (dir_ / "dst").c_str()), Arg("error", error)}, opts);
      EXPECT_EQ(out.status, QIRA_ERR_NOTPOSSIBLE) << method;
    }
  }
  EXPECT_FALSE(qt::Exists(dir_ / "dst"));
  EXPECT_EQ(e.refCount(), 1u);
  EXPECT_EQ(error.assignments(), 0u);
  EXPECT_TRUE(qt::Children().empty()) << "a worker was started";
}

// The destination is resolved once, as the entry's re-pointing resolves it
// (home folder, "." and ".."), and the worker writes exactly there.
TEST_F(CopyMoveTest, TheWorkerWritesWhereTheEntryWillPoint) {
  ASSERT_EQ(::mkdir((dir_ / "home").c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((dir_ / "a").c_str(), 0755), 0);
  const char *home = getenv("HOME");
  const std::string oldhome = home ? home : "";
  ASSERT_EQ(setenv("HOME", (dir_ / "home").c_str(), 1), 0);
  qt::CwdGuard cwd;
  ASSERT_EQ(::chdir(dir_.path().c_str()), 0);
  const struct {
    const char *dest;
    std::string lands;
  } rows[] = {{"~/x", dir_ / "home/x"}, {"a/../b", dir_ / "b"}, {"./a/./c/", dir_ / "a/c"}};
  for (const auto &r : rows) {
    SCOPED_TRACE(r.dest);
    Ref e = Source(content_);
    ASSERT_TRUE(e);
    EXPECT_TRUE(Run(e, "move", {Arg("destination", r.dest)}).ok());
    EXPECT_EQ(Full(e), r.lands);
    EXPECT_EQ(qt::ReadFile(r.lands), content_);
  }
  Ref e = Source(content_);
  EXPECT_TRUE(Run(e, "copy", {Arg("destination", "~/y")}).ok());
  EXPECT_EQ(qt::ReadFile(dir_ / "home/y"), content_);
  EXPECT_FALSE(qt::Exists(dir_ / "~"));
  if (home)
    setenv("HOME", oldhome.c_str(), 1);
  else
    unsetenv("HOME");
}

}  // namespace
}  // namespace objtest
