// copy and move of a QIRAdirectoryentry: a worker process does the file work
// while the host waits on its pipe through the module's wait hook.  Checked
// on disk, on the entry's properties, on references, and for workers left
// behind (the teardown).
#include <iostream>

#include "objects/fixture.h"

namespace objtest {
namespace {

constexpr time_t kAtime = 1111111111;
constexpr time_t kMtime = 1222222222;

class CopyMoveTest : public ObjTest {
 protected:
  // Larger than one chunk of the worker's copy loop, and not a multiple of it.
  static std::string Content() {
    std::string s;
    for (int i = 0; i < 10000; ++i) s += char('a' + i % 26);
    return s;
  }
  // A file with known content, mode and times, and its entry object.
  Ref Source(const std::string &content) {
    qt::WriteFile(dir_ / "src", content);
    EXPECT_EQ(::chmod((dir_ / "src").c_str(), 0640), 0);
    SetTimes(dir_ / "src", kAtime, kMtime);
    return Entry(dir_ / "src");
  }
};

TEST_F(CopyMoveTest, CopyKeepsContentTimesAndModeAndLeavesTheEntryAsItWas) {
  const std::string content = Content();
  Ref e = Source(content);
  ASSERT_TRUE(e);
  const auto before = host_->props(e);
  qhost::PendingCall call = host_->begin(e, "copy", {Arg("destination", (dir_ / "dst").c_str())});
  ASSERT_TRUE(call.open());
  // The host is told to sleep on the worker's pipe, in the module's yield function.
  ASSERT_TRUE(call.hasWaitHook());
  EXPECT_EQ(call.result().yieldsize, sizeof(QiraYieldRec));
  EXPECT_EQ(reinterpret_cast<void *>(call.result().yieldfn),
            host_->moduleSymbol("TARVOYield_Lnx_SockOrTime"));
  ASSERT_NE(call.result().yieldrec, nullptr);
  EXPECT_GE(static_cast<const QiraYieldRec *>(call.result().yieldrec)->fd, 0);
  EXPECT_EQ(e.refCount(), 3u);  // the test's, the pending call's and the block's

  CallOutcome out = call.finish();
  ASSERT_TRUE(out.ok()) << out.status;
  EXPECT_TRUE(out.value == e);
  // Looked at before reading it back, which would move its access time.
  const struct stat st = StatOf(dir_ / "dst");
  EXPECT_EQ(st.st_mtime, kMtime);
  EXPECT_EQ(st.st_atime, kAtime);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(qt::ReadFile(dir_ / "dst"), content);
  EXPECT_EQ(qt::ReadFile(dir_ / "src"), content);
  EXPECT_EQ(host_->props(e), before);  // a copy's value still describes the source
}

TEST_F(CopyMoveTest, AnExistingDestinationIsReplacedOnlyWhenAsked) {
  Ref e = Source("new content");
  ASSERT_TRUE(e);
  struct Case {
    const char *what;
    Args replace;
    bool withError;
    uint32_t code;
  };
  const Case cases[] = {
      {"replace absent", {}, true, QIRA_ERR_EXISTS},
      {"replace absent, no error", {}, false, QIRA_ERR_EXISTS},
      {"replace false", {Arg("replace", false)}, true, QIRA_ERR_EXISTS},
      {"replace true", {Arg("replace", true)}, true, QIRA_OK},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    qt::WriteFile(dir_ / "dst", "old");
    Variable error = host_->variable();
    Args args = c.replace;
    args.emplace_back("destination", (dir_ / "dst").c_str());
    CallOutcome out = Run(e, "copy", args, c.withError ? &error : nullptr);
    EXPECT_GE(out.blockCalls, 1u);  // the answer arrives through the block
    if (c.code == QIRA_OK) {
      EXPECT_TRUE(out.ok());
      EXPECT_EQ(qt::ReadFile(dir_ / "dst"), "new content");
    } else {
      ExpectFailure(out, c.withError ? &error : nullptr, c.code);
      EXPECT_EQ(qt::ReadFile(dir_ / "dst"), "old");
    }
    EXPECT_EQ(e.refCount(), out.value ? 2u : 1u);
    ExpectNoZombieWorker();
  }
}

// After a move the same entry object describes the destination, on this file
// system or another one (/dev/shm, when it is one), a file or a directory.
TEST_F(CopyMoveTest, MoveRepointsTheEntryAtTheDestination) {
  ASSERT_EQ(::mkdir((dir_ / "into").c_str(), 0755), 0);
  const std::string shm = "/dev/shm/qira-entry-" + std::to_string(::getpid());
  const bool otherFs = ::access("/dev/shm", W_OK) == 0 &&
                       StatOf("/dev/shm").st_dev != StatOf(dir_.path()).st_dev;
  const std::string content = Content();
  for (const std::string &dest : {dir_ / "into/dst", otherFs ? shm : std::string()}) {
    if (dest.empty()) continue;
    SCOPED_TRACE(dest);
    Ref e = Source(content);
    ASSERT_TRUE(e);
    ASSERT_TRUE(Run(e, "move", {Arg("destination", dest.c_str())}).ok());
    EXPECT_FALSE(qt::Exists(dir_ / "src"));
    EXPECT_EQ(StatOf(dest).st_mtime, kMtime);
    EXPECT_EQ(qt::ReadFile(dest), content);
    EXPECT_EQ(Text(e, "name"), dest.substr(dest.rfind('/') + 1));
    EXPECT_EQ(Full(e), dest);
    EXPECT_EQ(Prop(e, "size"), Value::integer(int64_t(content.size())));
    EXPECT_EQ(Prop(e, "lastchanged"), DateOf(kMtime));
    EXPECT_EQ(Text(e, "entrytype"), "file");
  }
  qt::RemoveTree(shm);
  if (!otherFs) std::cerr << "move across file systems not run: no /dev/shm of its own\n";

  qt::WriteFile(dir_ / "into/inside", "1");
  Ref d = Entry(dir_ / "into");
  ASSERT_TRUE(Run(d, "move", {Arg("destination", (dir_ / "moved").c_str())}).ok());
  EXPECT_EQ(Text(d, "entrytype"), "directory");
  EXPECT_EQ(Full(d), dir_ / "moved");
  EXPECT_TRUE(qt::Exists(dir_ / "moved/inside"));
  // The entry works on its new name from now on.
  EXPECT_TRUE(Run(d, "rename", {Arg("newname", "renamed")}).ok());
  EXPECT_TRUE(qt::Exists(dir_ / "renamed/dst"));
}

TEST_F(CopyMoveTest, AnAbandonedCopyReleasesWhatItHeld) {
  Ref e = Source(Content());
  ASSERT_TRUE(e);
  Variable error = host_->variable();
  {
    qhost::PendingCall call =
        host_->begin(e, "copy", {Arg("destination", (dir_ / "dst").c_str()), Arg("error", error)});
    ASSERT_TRUE(call.open());
    const uint32_t entryHeld = e.refCount(), errorHeld = error.ref().refCount();
    EXPECT_TRUE(call.abandon().abandoned);
    // The terminator gives back the block's one reference on each.
    EXPECT_EQ(e.refCount(), entryHeld - 1);
    EXPECT_EQ(error.ref().refCount(), errorHeld - 1);
  }
  EXPECT_EQ(e.refCount(), 1u);
  EXPECT_EQ(error.ref().refCount(), 1u);
  EXPECT_EQ(error.assignments(), 0u) << "the worker's answer is never read";
  // The worker goes on without us; collect it so it does not count as ours.
  int st = 0;
  while (::waitpid(-1, &st, 0) > 0) {
  }
}

// The move succeeds on disk but the entry cannot be rewritten: the failure
// comes at the end, and the block still lets go of everything.
TEST_F(CopyMoveTest, AMoveWhoseRepointingFailsReportsIt) {
  for (bool withError : {true, false}) {
    SCOPED_TRACE(withError);
    Ref e = Source("x");
    ASSERT_TRUE(e);
    Variable error = host_->variable();
    const std::string from = dir_ / "src", to = dir_ / (withError ? "dst1" : "dst2");
    Args args{Arg("destination", to.c_str())};
    if (withError) args.emplace_back("error", error);
    qhost::PendingCall call = host_->begin(e, "move", args);
    ASSERT_TRUE(call.open());
    host_->failHostFn(112, kInjected);
    CallOutcome out = call.finish();
    host_->clearFaults();
    ExpectFailure(out, withError ? &error : nullptr, kInjected);
    EXPECT_TRUE(qt::Exists(to));
    EXPECT_FALSE(qt::Exists(from));
  }
}

}  // namespace
}  // namespace objtest
