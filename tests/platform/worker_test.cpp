// The copy/move worker on real files: content, times and mode kept, existing
// destinations, a copy onto itself, moves within and across file systems,
// failures that must leave no partial destination, a worker that dies, the
// yield record, and that no finished worker is left as a zombie.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstring>

#include "platform/plattest.h"

namespace {

// Mirror of the private worker handle: the pid lets a test kill a worker and
// check that it was collected.
struct WorkerView { int32_t fd; uint32_t state; int32_t pid; };
const WorkerView &View(QiraWorker *w) { return *reinterpret_cast<WorkerView *>(w); }

// True when pid is no longer a child of ours: collected, not a zombie.
bool Collected(pid_t pid) { return waitpid(pid, nullptr, WNOHANG) < 0 && errno == ECHILD; }

// Polls the worker, sleeping in the module's yield function on the record it
// filled in.  A second record with a one-second deadline bounds every sleep,
// so a broken worker fails the test after about 30 s instead of hanging it.
uint32_t Finish(QiraWorker *w) {
  QiraYieldRec recs[2];
  QiraResult res{};
  if (qira_platspec_setyielddata(w, &recs[0], sizeof(QiraYieldRec), &res) != 1) return 0xBAD;
  recs[0].flags |= QIRA_YF_MORE;
  void *runs[1] = {recs};
  uint32_t r = QIRA_BLOCK_WAIT;
  for (int i = 0; i < 30 && (r = qira_platspec_copymove_getresult(w)) == QIRA_BLOCK_WAIT; ++i) {
    recs[1] = QiraYieldRec{.fd = -1, .mode = 1, .period = 0,
                           .deadline = TimeDate_mscounter() + 1000, .flags = 0};
    TARVOYield_Lnx_SockOrTime(runs, 1, 1);
  }
  return r;
}

std::string Pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = char((i * 131 + i / 4096) & 0xFF);
  return s;
}

class Worker : public pt::Plat {
 protected:
  uint32_t Start(bool move, const std::string &src, const std::string &dst, uint16_t replace,
                 QiraWorker **w) {
    std::u16string d = qt::U16(dst);
    auto start = move ? qira_platspec_move_start : qira_platspec_copy_start;
    return start(src.c_str(), qt::P(d), uint32_t(d.size()), replace, group_, w);
  }
  // Runs one copy or move to its end and checks what every run must leave:
  // the same answer on a second poll, and no zombie.
  uint32_t Run(bool move, const std::string &src, const std::string &dst, uint16_t replace) {
    QiraWorker *w = nullptr;
    uint32_t err = Start(move, src, dst, replace, &w);
    if (err) return err;
    pid_t pid = View(w).pid;
    uint32_t result = Finish(w);
    EXPECT_EQ(qira_platspec_copymove_getresult(w), result) << "second poll";
    qira_platspec_copymove_terminate(w);
    EXPECT_TRUE(Collected(pid)) << "worker left as a zombie";
    return result;
  }
};

TEST_F(Worker, CopyKeepsContentTimesAndMode) {
  // Around the 4096-byte chunk: empty, one short chunk, exactly one chunk,
  // a chunk and a bit, exactly two chunks (then an empty third read), many.
  for (size_t n : {0, 5, 4096, 5000, 8192, 100000}) {
    SCOPED_TRACE(n);
    std::string src = P("src" + std::to_string(n)), dst = P("dst" + std::to_string(n));
    qt::WriteFile(src, Pattern(n));
    ASSERT_EQ(chmod(src.c_str(), 0751), 0);
    pt::SetTimes(src, 1000000000, 1200000000);
    ASSERT_EQ(Run(false, src, dst, 0), QIRA_OK);
    struct stat st = Stat(dst);  // before reading it moves the access time
    EXPECT_EQ(st.st_size, off_t(n));
    EXPECT_EQ(st.st_mode & 07777, 0751u);
    EXPECT_EQ(st.st_atime, 1000000000);
    EXPECT_EQ(st.st_mtime, 1200000000);
    EXPECT_EQ(qt::ReadFile(dst), Pattern(n));
  }
}

// An existing destination needs replace exactly 1; the source itself under
// any of its names is never a destination (truncating it would lose it).
TEST_F(Worker, CopyOntoExistingFiles) {
  const std::string content = Pattern(9000);
  qt::WriteFile(P("src"), content);
  ASSERT_EQ(link(P("src").c_str(), P("hard").c_str()), 0);
  ASSERT_EQ(symlink("src", P("soft").c_str()), 0);
  const uint32_t self = QIRA_ERR_SYSTEM | EINVAL;
  const struct { const char *dst; uint16_t replace; uint32_t err; } cases[] = {
      {"dst", 0, QIRA_ERR_EXISTS}, {"dst", 2, QIRA_ERR_EXISTS}, {"dst", 1, QIRA_OK},
      {"src", 1, self}, {"./src", 1, self}, {"hard", 1, self}, {"soft", 1, self}};
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << c.dst << " replace " << c.replace);
    qt::WriteFile(P("dst"), "old");
    EXPECT_EQ(Run(false, P("src"), P(c.dst), c.replace), c.err);
    EXPECT_EQ(qt::ReadFile(P(c.dst)), c.err == QIRA_ERR_EXISTS ? "old" : content);
    EXPECT_EQ(qt::ReadFile(P("src")), content);
  }
}

// A short write ends the copy with 59 and takes the partial copy away.  The
// worker inherits the swapped table through fork; the 4-byte result message
// must still get through, so only chunks after the first one come up short.
TEST_F(Worker, ShortWriteLeavesNoPartialDestination) {
  qt::WriteFile(P("src"), Pattern(20000));
  static int chunks = 0;
  pt::CallsGuard guard;
  _x_calls.write = [](int fd, const void *b, size_t n) -> ssize_t {
    return write(fd, b, n - (n != sizeof(uint32_t) && chunks++ > 0));
  };
  EXPECT_EQ(Run(false, P("src"), P("dst"), 0), QIRA_ERR_SHORTWRITE);
  EXPECT_FALSE(qt::Exists(P("dst")));
}

// A FIFO as source keeps the worker in open() until it is killed.
TEST_F(Worker, YieldRecordAndAWorkerThatDiesBeforeAnswering) {
  ASSERT_EQ(mkfifo(P("fifo").c_str(), 0600), 0);
  QiraWorker *w = nullptr;
  ASSERT_EQ(Start(false, P("fifo"), P("dst"), 0, &w), QIRA_OK);
  QiraYieldRec rec, before;
  QiraResult res, resbefore;
  memset(&rec, 0x5A, sizeof rec);
  memset(&res, 0x5A, sizeof res);
  before = rec, resbefore = res;
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
  pid_t pid = View(w).pid;
  EXPECT_EQ(qira_platspec_copymove_getresult(w), QIRA_BLOCK_WAIT);
  ASSERT_EQ(kill(pid, SIGKILL), 0);
  EXPECT_EQ(Finish(w), QIRA_ERR_NOTPOSSIBLE);
  EXPECT_EQ(qira_platspec_copymove_getresult(w), QIRA_ERR_NOTPOSSIBLE);
  qira_platspec_copymove_terminate(w);
  EXPECT_TRUE(Collected(pid));
  EXPECT_FALSE(qt::Exists(P("dst")));
}

TEST_F(Worker, MoveWithinOneFileSystemRenames) {
  qt::WriteFile(P("src"), "moving");
  qt::WriteFile(P("other"), "in the way");
  ino_t ino = Stat(P("src")).st_ino;
  EXPECT_EQ(Run(true, P("src"), P("other"), 0), QIRA_ERR_EXISTS);
  EXPECT_EQ(Run(true, P("src"), P("other"), 1), QIRA_OK);
  EXPECT_FALSE(qt::Exists(P("src")));
  EXPECT_EQ(Stat(P("other")).st_ino, ino);
}

// Across file systems a move is a copy that keeps times and mode, then the
// source goes; when either step fails, the source stays and no copy remains.
TEST_F(Worker, MoveAcrossFileSystems) {
  struct stat here, shm;
  if (stat(dir_.path().c_str(), &here) != 0 || stat("/dev/shm", &shm) != 0 ||
      here.st_dev == shm.st_dev)
    GTEST_SKIP() << "/dev/shm is not a separate file system here";
  char tmpl[] = "/dev/shm/qira-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const struct Gone {
    std::string path;
    ~Gone() { qt::RemoveTree(path); }
  } gone{tmpl};
  const std::string &other = gone.path;
  qt::WriteFile(P("src"), Pattern(12345));
  ASSERT_EQ(chmod(P("src").c_str(), 0604), 0);
  pt::SetTimes(P("src"), 1100000000, 1300000000);
  EXPECT_EQ(Run(true, P("src"), other + "/dst", 0), QIRA_OK);
  EXPECT_FALSE(qt::Exists(P("src")));
  struct stat st = Stat(other + "/dst");
  EXPECT_EQ(st.st_mode & 07777, 0604u);
  EXPECT_EQ(st.st_atime, 1100000000);
  EXPECT_EQ(st.st_mtime, 1300000000);
  EXPECT_EQ(qt::ReadFile(other + "/dst"), Pattern(12345));
  // A directory cannot go down the copy path: the first read fails.
  ASSERT_EQ(mkdir(P("tree").c_str(), 0755), 0);
  qt::WriteFile(P("tree/inside"), "kept");
  EXPECT_EQ(Run(true, P("tree"), other + "/tree", 0), QIRA_ERR_SYSTEM | EISDIR);
  EXPECT_FALSE(qt::Exists(other + "/tree"));
  EXPECT_EQ(qt::ReadFile(P("tree/inside")), "kept");
  // The copy succeeds but the source cannot be removed: the copy goes again.
  static std::string protect;
  protect = P("tree/inside");
  {
    pt::CallsGuard guard;
    _x_calls.unlink = [](const char *p) { return protect == p ? (errno = EBUSY, -1) : unlink(p); };
    EXPECT_EQ(Run(true, protect, other + "/inside", 0), QIRA_ERR_SYSTEM | EBUSY);
  }
  EXPECT_EQ(qt::ReadFile(protect), "kept");
  EXPECT_FALSE(qt::Exists(other + "/inside"));
}

}  // namespace
