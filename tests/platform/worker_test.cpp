// The copy/move worker on real files: content, times and mode kept, existing
// destinations, a copy onto itself, moves within and across file systems,
// failures that must leave no partial destination, a worker that dies, the
// yield record, and that no finished worker is left as a zombie.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <utime.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include "platform/plattest.h"

namespace {

// Mirror of the private worker handle: the test needs the pid to kill a
// worker and to check that it was collected.
struct WorkerView {
  int32_t fd;
  uint32_t state;
  int32_t pid;
};
static_assert(sizeof(WorkerView) == 12);

const WorkerView &View(QiraWorker *w) { return *reinterpret_cast<WorkerView *>(w); }

constexpr uint32_t kWaitLimitMs = 30000;  // a hung worker fails the test instead of hanging it

// Polls the worker, sleeping in the module's yield function on the record
// the worker filled in between polls.  A second record with a deadline keeps a
// broken worker from stalling the test run.
uint32_t Finish(QiraWorker *w) {
  QiraYieldRec recs[2];
  QiraResult res{};
  if (qira_platspec_setyielddata(w, &recs[0], sizeof(QiraYieldRec), &res) != 1) {
    ADD_FAILURE() << "no yield record";
    return QIRA_BLOCK_WAIT;
  }
  recs[0].flags |= QIRA_YF_MORE;
  void *runs[1] = {recs};
  const uint32_t start = TimeDate_mscounter();
  for (;;) {
    uint32_t r = qira_platspec_copymove_getresult(w);
    if (r != QIRA_BLOCK_WAIT) return r;
    if (TimeDate_mscounter() - start > kWaitLimitMs) return r;
    recs[1] = QiraYieldRec{.fd = -1, .mode = 1, .period = 0,
                           .deadline = TimeDate_mscounter() + 1000, .flags = 0};
    TARVOYield_Lnx_SockOrTime(runs, 1, 1);
  }
}

// True when pid is no longer a child of ours: collected, not a zombie.
bool Collected(pid_t pid) {
  int status;
  return waitpid(pid, &status, WNOHANG) < 0 && errno == ECHILD;
}

enum class Op { kCopy, kMove };

// Runs one copy or move to its end and checks what every run must leave:
// the same answer on a second poll, no zombie, no allocation.
uint32_t RunToEnd(Op op, const std::string &src, const std::string &dst, uint16_t replace) {
  pt::Group g;
  std::u16string d = qt::U16(dst);
  QiraWorker *w = nullptr;
  auto start = op == Op::kCopy ? qira_platspec_copy_start : qira_platspec_move_start;
  uint32_t err = start(src.c_str(), qt::P(d), uint32_t(d.size()), replace, g, &w);
  if (err) {
    EXPECT_TRUE(g.Empty());
    return err;
  }
  pid_t pid = View(w).pid;
  uint32_t result = Finish(w);
  EXPECT_EQ(qira_platspec_copymove_getresult(w), result) << "second poll";
  qira_platspec_copymove_terminate(w);
  EXPECT_TRUE(Collected(pid)) << "worker left as a zombie";
  EXPECT_TRUE(g.Empty());
  return result;
}

std::string Pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = char((i * 131 + i / 4096) & 0xFF);
  return s;
}

void SetTimes(const std::string &path, time_t atime, time_t mtime) {
  struct utimbuf t = {.actime = atime, .modtime = mtime};
  ASSERT_EQ(utime(path.c_str(), &t), 0);
}

struct stat StatOf(const std::string &path) {
  struct stat st;
  memset(&st, 0, sizeof st);
  EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
  return st;
}

TEST(PlatspecCopy, KeepsContentTimesAndMode) {
  // Around the 4096-byte chunk: empty, one short chunk, exactly one chunk,
  // a chunk and a bit, exactly two chunks (the loop then reads an empty third).
  const size_t sizes[] = {0, 5, 4096, 5000, 8192, 100000};
  qt::ScratchDir dir;
  for (size_t n : sizes) {
    SCOPED_TRACE(n);
    std::string src = dir / ("src" + std::to_string(n)), dst = dir / ("dst" + std::to_string(n));
    qt::WriteFile(src, Pattern(n));
    ASSERT_EQ(chmod(src.c_str(), 0751), 0);
    SetTimes(src, 1000000000, 1200000000);
    ASSERT_EQ(RunToEnd(Op::kCopy, src, dst, 0), QIRA_OK);
    struct stat st = StatOf(dst);  // before reading it moves the access time
    EXPECT_EQ(st.st_size, off_t(n));
    EXPECT_EQ(st.st_mode & 07777, 0751u);
    EXPECT_EQ(st.st_atime, 1000000000);
    EXPECT_EQ(st.st_mtime, 1200000000);
    EXPECT_EQ(qt::ReadFile(dst), Pattern(n));
    EXPECT_EQ(qt::ReadFile(src), Pattern(n));
  }
}

TEST(PlatspecCopy, ExistingDestinationNeedsReplaceExactlyOne) {
  struct Case {
    uint16_t replace;
    uint32_t err;
  };
  const Case cases[] = {{0, QIRA_ERR_EXISTS}, {2, QIRA_ERR_EXISTS}, {1, QIRA_OK}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.replace);
    qt::ScratchDir dir;
    qt::WriteFile(dir / "src", "new content");
    qt::WriteFile(dir / "dst", "old");
    EXPECT_EQ(RunToEnd(Op::kCopy, dir / "src", dir / "dst", c.replace), c.err);
    EXPECT_EQ(qt::ReadFile(dir / "dst"), c.err ? "old" : "new content");
    EXPECT_EQ(qt::ReadFile(dir / "src"), "new content");
  }
}

TEST(PlatspecCopy, OntoItselfIsRefusedAndLeavesTheFileIntact) {
  qt::ScratchDir dir;
  std::string src = dir / "file";
  qt::WriteFile(src, Pattern(9000));
  ASSERT_EQ(link(src.c_str(), (dir / "hard").c_str()), 0);
  ASSERT_EQ(symlink("file", (dir / "soft").c_str()), 0);
  const std::string dests[] = {src, dir / "./file", dir / "hard", dir / "soft"};
  for (const std::string &d : dests) {
    SCOPED_TRACE(d);
    EXPECT_EQ(RunToEnd(Op::kCopy, src, d, 1), QIRA_ERR_SYSTEM | EINVAL);
    EXPECT_EQ(qt::ReadFile(src), Pattern(9000));
  }
}

TEST(PlatspecCopy, FailuresLeaveNoPartialDestination) {
  qt::ScratchDir dir;
  std::string src = dir / "src";
  qt::WriteFile(src, Pattern(20000));
  struct Case {
    const char *what;
    ssize_t (*write)(int, const void *, size_t);
    uint32_t err;
  };
  // The worker inherits the swapped table through fork.  The 4-byte result
  // message must still get through, so only chunk writes are broken, and only
  // after the first chunk has reached the destination.
  static int chunks;
  const Case cases[] = {
      {"disk full", [](int fd, const void *b, size_t n) -> ssize_t {
         if (n != sizeof(uint32_t) && chunks++ > 0) return errno = ENOSPC, -1;
         return write(fd, b, n);
       }, QIRA_ERR_SYSTEM | ENOSPC},
      {"short write", [](int fd, const void *b, size_t n) -> ssize_t {
         if (n != sizeof(uint32_t) && chunks++ > 0) return write(fd, b, n - 1);
         return write(fd, b, n);
       }, QIRA_ERR_SHORTWRITE},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    chunks = 0;
    pt::CallsGuard guard;
    _x_calls.write = c.write;
    EXPECT_EQ(RunToEnd(Op::kCopy, src, dir / "dst", 0), c.err);
    EXPECT_FALSE(qt::Exists(dir / "dst"));
  }
  // A source that cannot be read leaves nothing either.
  EXPECT_EQ(RunToEnd(Op::kCopy, dir / "missing", dir / "dst", 1), QIRA_ERR_NOENTRY);
  EXPECT_EQ(RunToEnd(Op::kCopy, dir.path(), dir / "dst", 1), QIRA_ERR_SYSTEM | EISDIR);
  EXPECT_FALSE(qt::Exists(dir / "dst"));
}

TEST(PlatspecCopy, DestinationIsPrivateUntilComplete) {
  qt::ScratchDir dir;
  qt::WriteFile(dir / "src", Pattern(10000));
  ASSERT_EQ(chmod((dir / "src").c_str(), 0644), 0);
  // Every chunk write checks that the destination is still private.
  pt::CallsGuard guard;
  _x_calls.write = [](int fd, const void *b, size_t n) -> ssize_t {
    struct stat st;
    if (n != sizeof(uint32_t) && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
        (st.st_mode & 07777) != 0600)
      return errno = EPERM, -1;  // turns a leak into a visible failure
    return write(fd, b, n);
  };
  EXPECT_EQ(RunToEnd(Op::kCopy, dir / "src", dir / "dst", 0), QIRA_OK);
  EXPECT_EQ(StatOf(dir / "dst").st_mode & 07777, 0644u);
}

// A FIFO as source keeps the worker in open() until someone writes to it.
struct FifoSource {
  qt::ScratchDir dir;
  std::string path = dir / "fifo";
  FifoSource() { EXPECT_EQ(mkfifo(path.c_str(), 0600), 0); }
};

TEST(PlatspecWorker, WorkerThatDiesBeforeAnsweringGivesNotPossible) {
  FifoSource fifo;
  std::string dst = fifo.dir / "dst";
  pt::Group g;
  std::u16string d = qt::U16(dst);
  QiraWorker *w = nullptr;
  ASSERT_EQ(qira_platspec_copy_start(fifo.path.c_str(), qt::P(d), uint32_t(d.size()), 0, g, &w),
            QIRA_OK);
  pid_t pid = View(w).pid;
  ASSERT_GT(pid, 0);
  EXPECT_EQ(qira_platspec_copymove_getresult(w), QIRA_BLOCK_WAIT);
  ASSERT_EQ(kill(pid, SIGKILL), 0);
  EXPECT_EQ(Finish(w), QIRA_ERR_NOTPOSSIBLE);
  EXPECT_EQ(qira_platspec_copymove_getresult(w), QIRA_ERR_NOTPOSSIBLE);
  qira_platspec_copymove_terminate(w);
  EXPECT_TRUE(Collected(pid));
  EXPECT_FALSE(qt::Exists(dst));
  EXPECT_TRUE(g.Empty());
}

TEST(PlatspecWorker, YieldSleepsUntilTheWorkerAnswers) {
  FifoSource fifo;
  std::string dst = fifo.dir / "dst";
  pt::Group g;
  std::u16string d = qt::U16(dst);
  QiraWorker *w = nullptr;
  ASSERT_EQ(qira_platspec_copy_start(fifo.path.c_str(), qt::P(d), uint32_t(d.size()), 0, g, &w),
            QIRA_OK);
  QiraYieldRec rec;
  memset(&rec, 0x5A, sizeof rec);
  QiraResult res{};
  ASSERT_EQ(qira_platspec_setyielddata(w, &rec, sizeof rec, &res), 1);
  EXPECT_EQ(qira_platspec_copymove_getresult(w), QIRA_BLOCK_WAIT);
  // Feed the FIFO from another thread while this one sleeps in the yield
  // function on the worker's pipe alone (no time limit).
  std::thread feeder([&] {
    int fd = open(fifo.path.c_str(), O_WRONLY);
    if (fd >= 0) {
      (void)!write(fd, "through the fifo", 16);
      close(fd);
    }
  });
  void *runs[1] = {&rec};
  TARVOYield_Lnx_SockOrTime(runs, 1, 1);
  // The yield returns only once the pipe is readable, so the answer is there.
  EXPECT_EQ(qira_platspec_copymove_getresult(w), QIRA_OK);
  feeder.join();
  pid_t pid = View(w).pid;
  qira_platspec_copymove_terminate(w);
  EXPECT_TRUE(pid == 0 || Collected(pid));
  EXPECT_EQ(qt::ReadFile(dst), "through the fifo");
  EXPECT_TRUE(g.Empty());
}

TEST(PlatspecWorker, HostThatReapsItsOwnChildrenKeepsTheResult) {
  qt::ScratchDir dir;
  qt::WriteFile(dir / "src", "abc");
  pt::Group g;
  std::u16string d = qt::U16(dir / "dst");
  QiraWorker *w = nullptr;
  ASSERT_EQ(qira_platspec_copy_start((dir / "src").c_str(), qt::P(d), uint32_t(d.size()), 0, g, &w),
            QIRA_OK);
  int status;
  ASSERT_EQ(waitpid(View(w).pid, &status, 0), View(w).pid);  // the host got there first
  EXPECT_EQ(qira_platspec_copymove_getresult(w), QIRA_OK);
  qira_platspec_copymove_terminate(w);
  EXPECT_EQ(qt::ReadFile(dir / "dst"), "abc");
  EXPECT_TRUE(g.Empty());
}

TEST(PlatspecWorker, SetYieldDataFillsBothRecordsOnlyWhenThereIsRoom) {
  qt::ScratchDir dir;
  qt::WriteFile(dir / "src", "x");
  pt::Group g;
  std::u16string d = qt::U16(dir / "dst");
  QiraWorker *w = nullptr;
  ASSERT_EQ(qira_platspec_copy_start((dir / "src").c_str(), qt::P(d), uint32_t(d.size()), 0, g, &w),
            QIRA_OK);
  QiraYieldRec rec;
  QiraResult res;
  memset(&rec, 0x5A, sizeof rec);
  memset(&res, 0x5A, sizeof res);
  QiraYieldRec before = rec;
  QiraResult resbefore = res;
  EXPECT_EQ(qira_platspec_setyielddata(w, &rec, 19, &res), 0);
  EXPECT_EQ(memcmp(&rec, &before, sizeof rec), 0);
  EXPECT_EQ(memcmp(&res, &resbefore, sizeof res), 0);

  EXPECT_EQ(qira_platspec_setyielddata(w, &rec, 20, &res), 1);
  EXPECT_EQ(rec.fd, View(w).fd);
  EXPECT_EQ(rec.mode, 0u);
  EXPECT_EQ(rec.flags, QIRA_YF_NOWRITE);
  EXPECT_EQ(rec.period, before.period);  // period and deadline are left alone
  EXPECT_EQ(rec.deadline, before.deadline);
  EXPECT_EQ(res.yieldsize, 20u);
  EXPECT_EQ(res.yieldfn, &TARVOYield_Lnx_SockOrTime);
  EXPECT_EQ(res.yieldrec, &rec);
  EXPECT_EQ(res.block, resbefore.block);  // the block fields belong to the caller
  EXPECT_EQ(res.data, resbefore.data);
  EXPECT_EQ(Finish(w), QIRA_OK);
  qira_platspec_copymove_terminate(w);
  EXPECT_TRUE(g.Empty());
}

TEST(PlatspecWorker, StartFailuresLeaveNoWorkerAndNothingOpen) {
  qt::ScratchDir dir;
  qt::WriteFile(dir / "src", "x");
  struct Case {
    const char *what;
    void (*breakit)(QiraPlatCalls &);
    uint32_t err;
  };
  const Case cases[] = {
      {"pipe", [](QiraPlatCalls &c) { c.pipe = [](int *) { return errno = EMFILE, -1; }; },
       QIRA_ERR_SYSTEM | EMFILE},
      {"fork", [](QiraPlatCalls &c) { c.fork = []() -> pid_t { return errno = EAGAIN, -1; }; },
       QIRA_ERR_SYSTEM | EAGAIN},
      {"fcntl", [](QiraPlatCalls &c) { c.fcntl = [](int, int, int) { return errno = EBADF, -1; }; },
       QIRA_ERR_SYSTEM | EBADF},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    pt::Group g;
    std::u16string d = qt::U16(dir / "dst");
    int probe = dup(0);  // the lowest free descriptor now
    close(probe);
    QiraWorker *w = reinterpret_cast<QiraWorker *>(0x1);
    {
      pt::CallsGuard guard;
      c.breakit(_x_calls);
      EXPECT_EQ(qira_platspec_copy_start((dir / "src").c_str(), qt::P(d), uint32_t(d.size()), 0, g,
                                         &w),
                c.err);
    }
    EXPECT_EQ(w, reinterpret_cast<QiraWorker *>(0x1));
    int after = dup(0);  // the same descriptor again: the pipe was closed
    close(after);
    EXPECT_EQ(after, probe);
    EXPECT_FALSE(qt::Exists(dir / "dst"));
    EXPECT_TRUE(g.Empty());
  }
}

TEST(PlatspecMove, WithinOneFileSystemRenames) {
  qt::ScratchDir dir;
  qt::WriteFile(dir / "src", "moving");
  ino_t ino = StatOf(dir / "src").st_ino;
  EXPECT_EQ(RunToEnd(Op::kMove, dir / "src", dir / "dst", 0), QIRA_OK);
  EXPECT_FALSE(qt::Exists(dir / "src"));
  EXPECT_EQ(qt::ReadFile(dir / "dst"), "moving");
  EXPECT_EQ(StatOf(dir / "dst").st_ino, ino);

  qt::WriteFile(dir / "other", "in the way");
  EXPECT_EQ(RunToEnd(Op::kMove, dir / "dst", dir / "other", 0), QIRA_ERR_EXISTS);
  EXPECT_EQ(qt::ReadFile(dir / "dst"), "moving");
  EXPECT_EQ(RunToEnd(Op::kMove, dir / "dst", dir / "nodir/x", 1), QIRA_ERR_NOENTRY);
  EXPECT_EQ(qt::ReadFile(dir / "dst"), "moving");
  EXPECT_EQ(RunToEnd(Op::kMove, dir / "dst", dir / "other", 1), QIRA_OK);
  EXPECT_EQ(qt::ReadFile(dir / "other"), "moving");
}

// A directory on another file system than the scratch directory, when the
// machine has one (/dev/shm is usually tmpfs).
struct OtherFs {
  std::string path;
  OtherFs(const std::string &near) {
    struct stat a, b;
    if (stat(near.c_str(), &a) != 0 || stat("/dev/shm", &b) != 0 || a.st_dev == b.st_dev) return;
    char tmpl[] = "/dev/shm/qira-XXXXXX";
    if (mkdtemp(tmpl)) path = tmpl;
  }
  ~OtherFs() {
    if (!path.empty()) qt::RemoveTree(path);
  }
};

TEST(PlatspecMove, AcrossFileSystemsCopiesThenRemovesTheSource) {
  qt::ScratchDir dir;
  OtherFs other(dir.path());
  if (other.path.empty()) GTEST_SKIP() << "/dev/shm is not a separate file system here";
  std::string src = dir / "src", dst = other.path + "/dst";
  qt::WriteFile(src, Pattern(12345));
  ASSERT_EQ(chmod(src.c_str(), 0604), 0);
  SetTimes(src, 1100000000, 1300000000);
  EXPECT_EQ(RunToEnd(Op::kMove, src, dst, 0), QIRA_OK);
  EXPECT_FALSE(qt::Exists(src));
  struct stat st = StatOf(dst);
  EXPECT_EQ(st.st_mode & 07777, 0604u);
  EXPECT_EQ(st.st_atime, 1100000000);
  EXPECT_EQ(st.st_mtime, 1300000000);
  EXPECT_EQ(qt::ReadFile(dst), Pattern(12345));
}

TEST(PlatspecMove, AcrossFileSystemsFailuresLeaveTheSourceAlone) {
  qt::ScratchDir dir;
  OtherFs other(dir.path());
  if (other.path.empty()) GTEST_SKIP() << "/dev/shm is not a separate file system here";

  // A directory cannot go down the copy path: the first read fails.
  std::string srcdir = dir / "tree";
  ASSERT_EQ(mkdir(srcdir.c_str(), 0755), 0);
  qt::WriteFile(srcdir + "/inside", "kept");
  EXPECT_EQ(RunToEnd(Op::kMove, srcdir, other.path + "/tree", 0), QIRA_ERR_SYSTEM | EISDIR);
  EXPECT_FALSE(qt::Exists(other.path + "/tree"));
  EXPECT_EQ(qt::ReadFile(srcdir + "/inside"), "kept");

  // The copy succeeds but the source cannot be removed: the copy goes again.
  std::string src = dir / "src";
  qt::WriteFile(src, "stays");
  static std::string protect;
  protect = src;
  {
    pt::CallsGuard guard;
    _x_calls.unlink = [](const char *p) {
      if (protect == p) return errno = EBUSY, -1;
      return unlink(p);
    };
    EXPECT_EQ(RunToEnd(Op::kMove, src, other.path + "/dst", 0), QIRA_ERR_SYSTEM | EBUSY);
  }
  EXPECT_EQ(qt::ReadFile(src), "stays");
  EXPECT_FALSE(qt::Exists(other.path + "/dst"));
}

}  // namespace
