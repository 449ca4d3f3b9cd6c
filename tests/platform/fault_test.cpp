// Every swappable C library call made to fail, one at a time, at every point a run of every
// platform operation makes it: documented codes only, nothing left allocated, open or running, a
// copy absent or complete, a moved file in exactly one place; a retried EINTR changes no answer.
#include <sys/mman.h>
#include <sys/wait.h>

#include <type_traits>

#include "platform/plattest.h"

namespace {

// Shared with the worker processes, so that the calls a worker makes count
// (and may fail) like the parent's.
struct FaultState {
  int member;     // index of the failing call, -1 for none
  int countdown;  // calls of it still to pass before the one that fails
  int err;        // errno of the failure
  int calls;      // calls of the member so far
};

FaultState *Shared() {
  static void *p = mmap(nullptr, sizeof(FaultState), PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  return p == MAP_FAILED ? nullptr : static_cast<FaultState *>(p);
}

QiraPlatCalls g_real;

bool Trip(int member) {
  FaultState *s = Shared();
  if (member != __atomic_load_n(&s->member, __ATOMIC_SEQ_CST)) return false;
  __atomic_fetch_add(&s->calls, 1, __ATOMIC_SEQ_CST);
  return __atomic_fetch_sub(&s->countdown, 1, __ATOMIC_SEQ_CST) == 0;
}

constexpr int kCloseIndex = 31, kClosedirIndex = 32;

template <typename F>
struct Faulty;
template <typename R, typename... A>
struct Faulty<R (*)(A...)> {
  template <int Index, R (*QiraPlatCalls::*Member)(A...)>
  static R Call(A... a) {
    if (Trip(Index)) {
      // Linux releases a descriptor even when close() reports a failure.
      if constexpr (Index == kCloseIndex || Index == kClosedirIndex) (void)(g_real.*Member)(a...);
      errno = Shared()->err;
      if constexpr (std::is_pointer_v<R>) return nullptr;
      else return R(-1);
    }
    return (g_real.*Member)(a...);
  }
};

struct Member {
  const char *name;
  void (*install)(QiraPlatCalls &);
  int retried;  // the layer starts the call again after EINTR
};

#define FAULTY(i, m, r) \
  Member{#m, [](QiraPlatCalls &c) { c.m = &Faulty<decltype(c.m)>::Call<i, &QiraPlatCalls::m>; }, r}
const Member kMembers[] = {
    FAULTY(0, fork, 0),      FAULTY(1, pipe2, 0),      FAULTY(2, read, 1),     FAULTY(3, write, 1),
    FAULTY(4, open, 1),      FAULTY(5, fcntl, 0),      FAULTY(6, fstat, 0),    FAULTY(7, stat, 0),
    FAULTY(8, access, 0),    FAULTY(9, rename, 0),     FAULTY(10, remove, 0),  FAULTY(11, mkdir, 0),
    FAULTY(12, rmdir, 0),    FAULTY(13, utime, 1),     FAULTY(14, chmod, 0),   FAULTY(15, chown, 0),
    FAULTY(16, getcwd, 0),   FAULTY(17, opendir, 0),   FAULTY(18, readdir, 0), FAULTY(19, unlink, 0),
    FAULTY(20, openat, 1),   FAULTY(21, fstatat, 0),   FAULTY(22, linkat, 0),  FAULTY(23, renameat, 0),
    FAULTY(24, renameat2, 0), FAULTY(25, unlinkat, 0), FAULTY(26, futimens, 0), FAULTY(27, fchmod, 0),
    FAULTY(28, fchown, 0),   FAULTY(29, ftruncate, 0), FAULTY(30, fsync, 0),   FAULTY(31, close, 0),
    FAULTY(32, closedir, 0), FAULTY(33, copy_file_range, 1), FAULTY(34, sendfile, 1),
    FAULTY(35, pidfd_open, 0), FAULTY(36, lstat, 0),
};
#undef FAULTY

using pt::Finish;
using pt::Names;

bool Documented(uint32_t code) {
  for (uint32_t c : {QIRA_OK, QIRA_ERR_NOMEM, QIRA_ERR_EXISTS, QIRA_ERR_NOTFOUND, QIRA_ERR_ACCESS,
                     QIRA_ERR_NOTPOSSIBLE, QIRA_ERR_TOOLONG, QIRA_ERR_SHORTWRITE, QIRA_ERR_NOENTRY})
    if (code == c) return true;
  return code > QIRA_ERR_SYSTEM && code < QIRA_ERR_SYSTEM + 4096;
}

class FaultSweep : public pt::Plat {
 protected:
  void SetUp() override {
    pt::Plat::SetUp();
    ASSERT_NE(Shared(), nullptr);
    Shared()->member = -1;
    ASSERT_EQ(chdir(dir_.path().c_str()), 0);
    ASSERT_EQ(mkdir(P("sub").c_str(), 0755), 0);
    // Moves across file systems go to /dev/shm when it is one.
    struct stat a, b;
    char tmpl[] = "/dev/shm/qira-XXXXXX";
    if (stat(dir_.path().c_str(), &a) == 0 && stat("/dev/shm", &b) == 0 && a.st_dev != b.st_dev &&
        mkdtemp(tmpl))
      shm_ = tmpl;
  }
  void TearDown() override {
    Shared()->member = -1;
    if (!shm_.empty()) qt::RemoveTree(shm_);
    pt::Plat::TearDown();
  }

  // The files every run starts from; "sub" holds the working directory.
  void Reset() {
    for (const std::string &n : Names(dir_.path()))
      if (n != "sub") qt::RemoveTree(P(n));
    for (const char *n : {"file", "mv1", "mv3", "mv4"}) qt::WriteFile(P(n), kContent);
    qt::WriteFile(P("victim"), "v");
    qt::WriteFile(P("onto"), "old");
    if (!shm_.empty()) {
      qt::RemoveTree(shm_);
      ASSERT_EQ(mkdir(shm_.c_str(), 0700), 0);
      qt::WriteFile(shm_ + "/old", "old");
    }
  }

  // A file that is whole under exactly one of two names.
  void ExpectOneOf(const std::string &a, const std::string &b) {
    EXPECT_NE(qt::Exists(a), qt::Exists(b)) << a << " / " << b;
    EXPECT_EQ(qt::ReadFile(qt::Exists(a) ? a : b), kContent) << (qt::Exists(a) ? a : b);
  }

  // One run of every operation; the answers in order.
  std::vector<uint32_t> Scenario() {
    std::vector<uint32_t> codes;
    auto ok = [&](uint32_t code) { return codes.push_back(code), code == QIRA_OK; };
    const std::string file = P("file");
    const std::u16string rel = qt::U16("sub/../sub"), newdir = qt::U16(P("newdir")),
                         to = qt::U16(P("file2")), victim = qt::U16(P("victim"));
    uint16_t *full = nullptr, isdir = 0;
    uint32_t len = 0;
    char *native = nullptr;
    if (ok(qira_platspec_nameandcheckdir(qt::P(rel), uint32_t(rel.size()), group_, &full, &len,
                                         &native, &isdir)))
      Mem_Free(full), Mem_Free(native);
    QiraEntryInfo info{};
    if (ok(qira_platspec_getentryinfo(file.c_str(), group_, &info))) Mem_Free(info.name);
    QiraSearch *s = nullptr;
    if (ok(qira_platspec_search_start(dir_.path().c_str(), group_, &s))) {
      uint32_t c = QIRA_OK;
      for (int i = 0; c == QIRA_OK && i < 32; ++i)
        if ((c = qira_platspec_search_getnext(s, group_, &info)) == QIRA_OK) Mem_Free(info.name);
      codes.push_back(c == QIRA_ERR_NOTFOUND ? QIRA_OK : c);  // the end of the directory
      qira_platspec_search_term(s);
    }
    if (ok(qira_platspec_createdirectory(qt::P(newdir), uint32_t(newdir.size()), group_, &info))) {
      Mem_Free(info.name);
      codes.push_back(qira_platspec_deletedirectory(qt::P(newdir), uint32_t(newdir.size()), group_));
    } else {
      EXPECT_FALSE(qt::Exists(P("newdir"))) << "a directory made but not reported";
    }
    if (ok(qira_platspec_rename(file.c_str(), qt::P(to), uint32_t(to.size()), &native, group_))) {
      Mem_Free(native);
      EXPECT_EQ(g_real.rename(P("file2").c_str(), file.c_str()), 0);
    }
    codes.push_back(qira_platspec_setattributes(file.c_str(), 1, 0, 0, 0, 0, 0));
    const std::vector<uint16_t> when = pt::DigitsOfTime(1000000000);
    codes.push_back(qira_platspec_setdates(file.c_str(), 0, 0, nullptr, 0, 1, when.data(),
                                           uint32_t(when.size()), 0, nullptr, 0));
    codes.push_back(qira_platspec_deletefile(qt::P(victim), uint32_t(victim.size()), group_));
    // A failed copy is absent, or complete with the message lost on its way.
    if (ok(RunWorker(qira_platspec_copy_start, file, P("copy"))) || qt::Exists(P("copy"))) {
      EXPECT_EQ(qt::ReadFile(P("copy")), kContent);
    }
    // Replacing an existing file writes into it: as it was, replaced, or
    // holding a prefix of the new content under its own name and reported.
    const bool replaced = ok(RunWorker(qira_platspec_copy_start, file, P("onto"), 1));
    const std::string onto = qt::ReadFile(P("onto"));
    EXPECT_TRUE(replaced ? onto == kContent : onto == "old" || std::string(kContent).rfind(onto, 0) == 0)
        << onto;
    EXPECT_TRUE(!ok(RunWorker(qira_platspec_move_start, P("mv1"), P("mv2"))) || qt::Exists(P("mv2")));
    ExpectOneOf(P("mv1"), P("mv2"));
    if (!shm_.empty()) {
      // Across file systems: the source stays or has moved whole, the old
      // destination stays or is replaced whole, and no other name is left.
      codes.push_back(RunWorker(qira_platspec_move_start, P("mv3"), shm_ + "/new", 0));
      ExpectOneOf(P("mv3"), shm_ + "/new");
      codes.push_back(RunWorker(qira_platspec_move_start, P("mv4"), shm_ + "/old", 1));
      const std::string old = qt::ReadFile(shm_ + "/old");
      EXPECT_EQ(qt::Exists(P("mv4")) ? qt::ReadFile(P("mv4")) : old, kContent);
      EXPECT_TRUE(old == kContent || (old == "old" && qt::Exists(P("mv4")))) << old;
      std::set<std::string> there = Names(shm_);
      there.erase("new");
      EXPECT_EQ(there, std::set<std::string>{"old"});
    }
    const std::set<std::string> known = {"sub", "file", "copy", "onto", "victim", "newdir"};
    for (const std::string &n : Names(dir_.path()))
      EXPECT_TRUE(known.count(n) || n.rfind("mv", 0) == 0) << "left behind: " << n;
    return codes;
  }

  // A worker whose answer was lost may still be at work: the files are looked
  // at once it has ended.
  uint32_t RunWorker(QiraCopyMoveStartFn start, const std::string &src, const std::string &dst,
                     uint16_t replace = 0) {
    const std::u16string d = qt::U16(dst);
    QiraWorker *w = nullptr;
    uint32_t c = start(src.c_str(), qt::P(d), uint32_t(d.size()), replace, group_, &w);
    if (c != QIRA_OK) return c;
    _x_copymove_track(w, &workers_);
    c = Finish(w);
    qira_platspec_copymove_terminate(w);
    SweepWorkers();
    return c;
  }
  void SweepWorkers() {
    for (int tries = 0; tries < 4000 && workers_.next != &workers_; ++tries) {
      _x_copymove_sweep(&workers_);
      if (workers_.next != &workers_) usleep(1000);
    }
  }

  // Collects the workers the module keeps, as later module calls would.
  void ExpectNoChildLeft() {
    SweepWorkers();
    EXPECT_EQ(workers_.next, &workers_) << "a worker is still running";
    const pid_t pid = waitpid(-1, nullptr, WNOHANG);
    EXPECT_TRUE(pid < 0 && errno == ECHILD) << "a worker left behind";
  }

  static constexpr const char *kContent = "content of the file, long enough to matter\n";
  qt::CwdGuard cwd_;
  std::string shm_;
  QiraDNode workers_ = {&workers_, &workers_};
};

TEST_F(FaultSweep, EveryCallFailingAtEveryPointLeavesNothingBehind) {
  pt::CallsGuard guard;
  g_real = guard.saved;
  Reset();
  const std::vector<uint32_t> clean = Scenario();
  for (size_t i = 0; i < clean.size(); ++i)
    ASSERT_EQ(clean[i], QIRA_OK) << "step " << i << " fails without faults";
  ExpectNoChildLeft();
  for (const int err : {EIO, EACCES, EINTR}) {
    for (int m = 0; m < int(std::size(kMembers)); ++m) {
      const Member &member = kMembers[m];
      if (err == EINTR && !member.retried) continue;
      member.install(_x_calls);
      // How often a clean run makes this call; then fail each of them.
      Reset();
      *Shared() = FaultState{m, -1, err, 0};
      (void)Scenario();
      const int calls = Shared()->calls;
      ExpectNoChildLeft();
      for (int k = 0; k <= calls && k < 64; ++k) {
        SCOPED_TRACE(testing::Message() << member.name << " failing with " << strerror(err)
                                        << " at call " << k << " of " << calls);
        Reset();
        const size_t fds = qt::OpenFds();
        *Shared() = FaultState{m, k, err, 0};
        const std::vector<uint32_t> codes = Scenario();
        Shared()->member = -1;
        for (size_t i = 0; i < codes.size(); ++i) {
          EXPECT_TRUE(Documented(codes[i])) << "step " << i << " answered " << codes[i];
          EXPECT_TRUE(err != EINTR || codes[i] == (i < clean.size() ? clean[i] : 0u))
              << "step " << i << " changed by a retried call: " << codes[i];
        }
        ExpectNoChildLeft();
        EXPECT_TRUE(group_.Empty()) << "a block was not released";
        EXPECT_EQ(qt::OpenFds(), fds) << "a descriptor was left open";
        if (::testing::Test::HasFailure()) return;  // one broken point is enough to read
      }
      _x_calls = g_real;
    }
  }
}

}  // namespace
