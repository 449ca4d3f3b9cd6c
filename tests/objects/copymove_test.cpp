// copy and move of an entry: a worker does the file work, the host waits on its pipe.
#include "objects/fixture.h"

namespace objtest {
namespace {

constexpr time_t kAtime = 1111111111, kMtime = 1222222222;
const std::string kContent = Content(10000);  // over one chunk of the copy loop, not a multiple

// A copy replaces an existing destination only when asked; its value is the
// entry.
TEST_F(ObjTest, CopyReplacesOnlyWhenAsked) {
  Ref e = Source(kContent);
  ASSERT_TRUE(e);
  const std::string dst = dir_ / "dst";
  const Arg to("destination", dst.c_str());
  struct Case { const char *old; Args args; bool withError; uint32_t code; };
  const Case cases[] = {
      {nullptr, {to}, true, QIRA_OK},
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
    if (c.code == QIRA_OK) {
      EXPECT_TRUE(out.ok() && out.value == e);
      const struct stat st = StatOf(dst);  // before reading it moves the access time
      EXPECT_EQ(st.st_mtime, kMtime);
      EXPECT_EQ(st.st_atime, kAtime);
      EXPECT_EQ(st.st_mode & 07777, 0640u);
    } else {
      ExpectFailure(out, c.withError ? &error : nullptr, c.code);
    }
    EXPECT_EQ(qt::ReadFile(dst), c.code ? c.old : kContent);
    EXPECT_EQ(e.refCount(), out.value ? 2u : 1u);
  }
  EXPECT_EQ(qt::ReadFile(dir_ / "src"), kContent);
}

// After a move the same entry object describes the destination, on this file
// system or another one (/dev/shm, when it is one), a file or a directory,
// and the worker writes exactly where the entry's re-pointing resolves.
TEST_F(ObjTest, MoveRepointsTheEntryAtTheDestination) {
  ASSERT_EQ(::mkdir((dir_ / "into").c_str(), 0755), 0);
  qt::CwdGuard cwd;
  ASSERT_EQ(::chdir(dir_.path().c_str()), 0);
  const std::string shm = "/dev/shm/qira-entry-" + std::to_string(::getpid());
  const bool otherFs = ::access("/dev/shm", W_OK) == 0 &&
                       StatOf("/dev/shm").st_dev != StatOf(dir_.path()).st_dev;
  const struct { std::string dest, lands; } rows[] = {{"./into/../into/./dst/", dir_ / "into/dst"},
                                                      {otherFs ? shm : "", shm}};
  for (const auto &r : rows) {
    if (r.dest.empty()) continue;
    SCOPED_TRACE(r.dest);
    Ref e = Source(kContent);
    ASSERT_TRUE(e);
    SetTimes(dir_ / "src", kAtime, kMtime);
    ASSERT_TRUE(Run(e, "move", {Arg("destination", r.dest.c_str())}).ok());
    EXPECT_FALSE(qt::Exists(dir_ / "src"));
    EXPECT_EQ(qt::ReadFile(r.lands), kContent);
    EXPECT_EQ(Text(e, "name"), r.lands.substr(r.lands.rfind('/') + 1));
    EXPECT_EQ(Full(e), r.lands);
    EXPECT_EQ(Prop(e, "lastchanged"), DateOf(kMtime));
  }
  qt::RemoveTree(shm);
  Ref d = Entry(dir_ / "into");
  ASSERT_TRUE(Run(d, "move", {Arg("destination", (dir_ / "moved").c_str())}).ok());
  EXPECT_EQ(Full(d), dir_ / "moved");
  // The entry works on its new name from now on.
  EXPECT_TRUE(Run(d, "rename", {Arg("newname", "renamed")}).ok());
  EXPECT_TRUE(qt::Exists(dir_ / "renamed/dst"));
}

// An abandoned copy gives back what its block held, never reading the answer
// nor waiting for the worker.  A move whose re-pointing fails reports it at
// the end, with the file moved on disk.
TEST_F(ObjTest, AbandonedCopyAndLateMoveFailureReleaseEverything) {
  Ref e = Source(kContent);
  ASSERT_TRUE(e);
  Variable error = host_->variable();
  const std::string dst = dir_ / "dst";
  PendingCall call = host_->begin(e, "copy", {Arg("destination", dst.c_str()), Arg("error", error)});
  ASSERT_TRUE(call.open());
  // The host is told to sleep on the worker's pipe, in the module's yield function.
  ASSERT_TRUE(call.hasWaitHook());
  EXPECT_EQ(reinterpret_cast<void *>(call.result().yieldfn),
            host_->moduleSymbol("TARVOYield_Lnx_SockOrTime"));
  const auto *rec = static_cast<const QiraYieldRec *>(call.result().yieldrec);
  EXPECT_TRUE(rec && rec->fd >= 0);
  EXPECT_EQ(e.refCount(), 3u);  // the test's, the pending call's and the block's
  EXPECT_EQ(error.ref().refCount(), 3u);
  EXPECT_TRUE(call.abandon().abandoned);
  EXPECT_EQ(e.refCount(), 2u);
  EXPECT_EQ(error.ref().refCount(), 2u);
  EXPECT_EQ(error.assignments(), 0u);

  ExpectNoZombieWorker();
  ::unlink(dst.c_str());
  PendingCall move = host_->begin(e, "move", {Arg("destination", dst.c_str()), Arg("error", error)});
  ASSERT_TRUE(move.open());
  host_->failHostFn(112, kInjected);
  CallOutcome out = move.finish();
  host_->clearFaults();
  ExpectFailure(out, &error, kInjected);
  EXPECT_TRUE(Holds(dst, kContent));
  EXPECT_FALSE(qt::Exists(dir_ / "src"));
}

}  // namespace
}  // namespace objtest
