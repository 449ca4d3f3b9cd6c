// The copy/move worker on real files, and the process side: descriptors, signals, other children.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <set>

#include "platform/plattest.h"

namespace {

// Mirror of the private worker handle.
struct WorkerView {
  QiraDNode links;
  void *cleanup, *arg;
  int32_t fd;
  uint32_t state;
  int32_t pid, pidfd;
  uint32_t abandoned;
};
const WorkerView &View(QiraWorker *w) { return *reinterpret_cast<WorkerView *>(w); }

// Collects pid if the module left it to the host; false if still running after 20 s.
bool Gone(pid_t pid) {
  for (int i = 0; i < 20000; ++i) {
    pid_t r = waitpid(pid, nullptr, WNOHANG);
    if (r == pid || (r < 0 && errno == ECHILD)) return true;
    usleep(1000);
  }
  return false;
}

using pt::Finish;
using pt::Names;

class Worker : public pt::Plat {
 protected:
  uint32_t Start(bool move, const std::string &src, const std::string &dst, uint16_t replace,
                 QiraWorker **w) {
    const std::u16string d = qt::U16(dst);
    auto start = move ? qira_platspec_move_start : qira_platspec_copy_start;
    return start(src.c_str(), qt::P(d), uint32_t(d.size()), replace, group_, w);
  }
  // Runs one copy or move to its end: the same answer on a second poll, and
  // the worker gone or left to the host to collect.
  uint32_t Run(bool move, const std::string &src, const std::string &dst, uint16_t replace) {
    QiraWorker *w = nullptr;
    if (const uint32_t err = Start(move, src, dst, replace, &w)) return err;
    const pid_t pid = View(w).pid;
    const uint32_t result = Finish(w);
    EXPECT_EQ(qira_platspec_copymove_getresult(w), result) << "second poll";
    qira_platspec_copymove_terminate(w);
    EXPECT_TRUE(Gone(pid));
    return result;
  }
};

// The kernel copy, sendfile when it is refused, the loop when both are, and
// the loop fed one short read after another.
TEST_F(Worker, CopyKeepsContentTimesAndModeWhateverWayTheBytesTake) {
  for (int way = 0; way < 4; ++way) {
    pt::CallsGuard guard;
    if (way >= 1)
      _x_calls.copy_file_range = [](int, off_t *, int, off_t *, size_t, unsigned) -> ssize_t {
        return errno = EXDEV, -1;
      };
    if (way >= 2)
      _x_calls.sendfile = [](int, int, off_t *, size_t) -> ssize_t { return errno = EINVAL, -1; };
    if (way == 3)
      _x_calls.read = [](int fd, void *b, size_t n) { return read(fd, b, n < 777 ? n : 777); };
    for (size_t n : {0, 5, 4096, 8192, 100000, 9 << 20}) {
      SCOPED_TRACE(testing::Message() << "way " << way << " size " << n);
      (void)unlink(P("dst").c_str());
      qt::WriteFile(P("src"), qt::Content(n));
      ASSERT_EQ(chmod(P("src").c_str(), 0751), 0);
      pt::SetTimes(P("src"), 1000000000, 1200000000);
      ASSERT_EQ(Run(false, P("src"), P("dst"), 0), QIRA_OK);
      const struct stat st = Stat(P("dst"));
      EXPECT_EQ(st.st_mode & 07777, 0751u);
      EXPECT_EQ(st.st_atime, 1000000000);
      EXPECT_EQ(st.st_mtime, 1200000000);
      EXPECT_TRUE(qt::ReadFile(P("dst")) == qt::Content(n));
    }
  }
}

// Existing destinations.  A copy without replace touches nothing; with replace
// the file is written through links, keeping inode, mode and links; what is
// not a file, or the source itself, is refused before anything is written.  A
// move never replaces without being asked, with the no-replace rename and with
// each of its fallbacks (link and unlink; a look and a rename).
TEST_F(Worker, ExistingDestinations) {
  const std::string content = qt::Content(9000);
  const uint32_t self = QIRA_ERR_SYSTEM | EINVAL;
  const struct { bool move; const char *dst; uint16_t replace; uint32_t err; } rows[] = {
      {false, "dst", 0, QIRA_ERR_EXISTS},      {false, "dst", 2, QIRA_ERR_EXISTS},
      {false, "dst", 1, QIRA_OK},              {false, "hard", 1, QIRA_OK},
      {false, "link", 1, QIRA_OK},             {false, "link", 0, QIRA_ERR_EXISTS},
      {false, "dangling", 0, QIRA_ERR_EXISTS}, {false, "dangling", 1, QIRA_ERR_EXISTS},
      {false, "fifo", 1, QIRA_ERR_NOTPOSSIBLE}, {false, "src", 1, self},
      {false, "srchard", 1, self},             {false, "srclink", 1, self},
      {true, "dst", 0, QIRA_ERR_EXISTS},       {true, "link", 0, QIRA_ERR_EXISTS},
      {true, "dangling", 0, QIRA_ERR_EXISTS},  {true, "new", 0, QIRA_OK},
      {true, "dst", 1, QIRA_OK},
  };
  for (int refuse = 0; refuse < 3; ++refuse) {  // 0 none, 1 renameat2's flag, 2 that and linkat
    pt::CallsGuard guard;
    if (refuse >= 1)
      _x_calls.renameat2 = [](int a, const char *b, int c, const char *d, unsigned f) {
        return f ? (errno = EINVAL, -1) : renameat(a, b, c, d);
      };
    if (refuse >= 2)
      _x_calls.linkat = [](int, const char *, int, const char *, int) { return errno = EPERM, -1; };
    for (const auto &r : rows) {
      if (refuse && !r.move) continue;
      SCOPED_TRACE(testing::Message() << (r.move ? "move to " : "copy to ") << r.dst << " replace "
                                      << r.replace << " refused " << refuse);
      Fresh();
      qt::WriteFile(P("src"), content);
      qt::WriteFile(P("dst"), "old");
      ASSERT_EQ(chmod(P("dst").c_str(), 0640), 0);
      ASSERT_EQ(link(P("src").c_str(), P("srchard").c_str()), 0);
      ASSERT_EQ(link(P("dst").c_str(), P("hard").c_str()), 0);
      for (const auto &[to, name] : {std::pair{"src", "srclink"}, {"dst", "link"}, {"nowhere", "dangling"}})
        ASSERT_EQ(symlink(to, P(name).c_str()), 0);
      ASSERT_EQ(mkfifo(P("fifo").c_str(), 0600), 0);
      const ino_t srcino = Stat(P("src")).st_ino, dstino = Stat(P("dst")).st_ino;
      std::set<std::string> names = Names(dir_.path());
      EXPECT_EQ(Run(r.move, P("src"), P(r.dst), r.replace), r.err);
      struct stat st;
      EXPECT_TRUE(lstat(P("link").c_str(), &st) == 0 && S_ISLNK(st.st_mode));
      EXPECT_FALSE(qt::Exists(P("nowhere")));
      if (r.move && r.err == QIRA_OK) {
        names.erase("src"), names.insert(r.dst);
        EXPECT_EQ(Names(dir_.path()), names);
        EXPECT_EQ(Stat(P(r.dst)).st_ino, srcino);
        continue;
      }
      EXPECT_EQ(Names(dir_.path()), names) << "names made or removed";
      EXPECT_EQ(qt::ReadFile(P("src")), content);
      EXPECT_EQ(qt::ReadFile(P("dst")), r.err == QIRA_OK ? content : "old");
      EXPECT_EQ(qt::ReadFile(P("hard")), qt::ReadFile(P("dst")));
      EXPECT_EQ(Stat(P("dst")).st_ino, dstino);
      EXPECT_EQ(Stat(P("dst")).st_mode & 07777, 0640u);
    }
  }
}

// Sources that never end or block: refused at once, nothing made.  A
// set-user-ID source gives a copy without the bit.
TEST_F(Worker, SourcesThatAreNotPlainFiles) {
  ASSERT_EQ(mkfifo(P("fifo").c_str(), 0600), 0);
  ASSERT_EQ(mkdir(P("dir").c_str(), 0700), 0);
  const struct { std::string src; uint32_t err; } rows[] = {
      {P("fifo"), QIRA_ERR_NOTPOSSIBLE}, {"/dev/zero", QIRA_ERR_NOTPOSSIBLE},
      {"/dev/null", QIRA_ERR_NOTPOSSIBLE}, {P("dir"), QIRA_ERR_SYSTEM | EISDIR},
      {P("missing"), QIRA_ERR_NOENTRY}};
  for (const auto &r : rows) {
    SCOPED_TRACE(r.src);
    EXPECT_EQ(Run(false, r.src, P("dst"), 0), r.err);
    EXPECT_FALSE(qt::Exists(P("dst")));
  }
  qt::WriteFile(P("suid"), "#!");
  ASSERT_EQ(chmod(P("suid").c_str(), 06755), 0);
  EXPECT_EQ(Run(false, P("suid"), P("dst"), 0), QIRA_OK);
  EXPECT_EQ(Stat(P("dst")).st_mode & 07777, 0755u);
}

// Rights are those of the process: a read-only file of its own or a file of
// another user is not written; a file writable by all is written into, not replaced.
TEST_F(Worker, AnUnprivilegedUserHasOnlyItsRights) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to make files of two users";
  ASSERT_EQ(chmod(dir_.path().c_str(), 0777), 0);
  const struct { const char *name, *content; mode_t mode; uint32_t err; } rows[] = {
      {"ro", "own read-only", 0444, QIRA_ERR_ACCESS}, {"roots", "root's", 0644, QIRA_ERR_ACCESS},
      {"shared", "writable by all", 0666, QIRA_OK}};
  qt::WriteFile(P("src"), "new content");
  for (const auto &r : rows) {
    qt::WriteFile(P(r.name), r.content);
    ASSERT_EQ(chmod(P(r.name).c_str(), r.mode), 0);
  }
  ASSERT_EQ(chown(P("ro").c_str(), 65534, 65534), 0);
  for (const auto &r : rows) {
    SCOPED_TRACE(r.name);
    const qt::ChildResult got = qt::AsUnprivileged(dir_.path(), [&] {
      QiraWorker *w = nullptr;
      if (Start(false, P("src"), P(r.name), 1, &w)) return 254;
      const uint32_t c = Finish(w);
      qira_platspec_copymove_terminate(w);
      return int(c == QIRA_OK ? 0 : c == QIRA_ERR_ACCESS ? 1 : 2);
    });
    if (!got.skip.empty()) GTEST_SKIP() << got.skip;
    EXPECT_EQ(got.code, r.err == QIRA_OK ? 0 : 1);
    EXPECT_EQ(qt::ReadFile(P(r.name)), r.err == QIRA_OK ? "new content" : r.content);
  }
  EXPECT_EQ(Stat(P("shared")).st_uid, 0u);
}

// The worker holds none of the host's descriptors (a peer waiting for an end
// of file gets it), and a signal the host catches ends the worker instead of
// running host code in it.
TEST_F(Worker, HoldsNothingOfTheHostAndDiesOfItsSignals) {
  int peer[2];
  ASSERT_EQ(pipe2(peer, O_NONBLOCK), 0);  // inherited across fork, not across exec
  static volatile sig_atomic_t caught = 0;
  struct sigaction sa {}, old{};
  sa.sa_handler = [](int) { caught = 1; };
  ASSERT_EQ(sigaction(SIGINT, &sa, &old), 0);
  qt::WriteFile(P("src"), "x");
  QiraWorker *w = nullptr;
  {
    pt::CallsGuard guard;  // a slowed start, to look at the worker while it runs
    _x_calls.fstat = [](int fd, struct stat *st) { return usleep(300 * 1000), fstat(fd, st); };
    ASSERT_EQ(Start(false, P("src"), P("dst"), 0, &w), QIRA_OK);
  }
  ASSERT_EQ(close(peer[1]), 0);
  char c;
  usleep(100 * 1000);
  EXPECT_EQ(read(peer[0], &c, 1), 0) << "the worker holds the host's pipe";
  const pid_t pid = View(w).pid;
  EXPECT_LE(Names("/proc/" + std::to_string(pid) + "/fd").size(), 7u)
      << "0-2, its two pipes, the destination's folder, the source";
  ASSERT_EQ(kill(pid, SIGINT), 0);
  EXPECT_EQ(Finish(w), QIRA_ERR_NOTPOSSIBLE);
  EXPECT_EQ(caught, 0);
  qira_platspec_copymove_terminate(w);
  EXPECT_TRUE(Gone(pid));
  EXPECT_FALSE(qt::Exists(P("dst")));
  sigaction(SIGINT, &old, nullptr);
  close(peer[0]);
}

// A host that collects its own children, the worker among them, keeps every
// child's status: the module never waits for a process it did not start.
TEST_F(Worker, NeverCollectsAnotherChild) {
  qt::WriteFile(P("src"), "x");
  QiraDNode list = {&list, &list};
  QiraWorker *w = nullptr;
  ASSERT_EQ(Start(false, P("src"), P("dst"), 0, &w), QIRA_OK);
  _x_copymove_track(w, &list);
  ASSERT_EQ(waitpid(View(w).pid, nullptr, 0), View(w).pid);
  const pid_t own = fork();
  if (own == 0) _exit(7);
  EXPECT_EQ(Finish(w), QIRA_OK);
  qira_platspec_copymove_terminate(w);
  _x_copymove_sweep(&list);
  EXPECT_EQ(list.next, &list);
  int status = 0;
  EXPECT_EQ(waitpid(own, &status, 0), own);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 7);
}

// A short write ends the copy and takes the partial copy away; only chunks
// after the first come up short, so that the 4-byte result gets through.
TEST_F(Worker, ShortWriteLeavesNoPartialDestination) {
  qt::WriteFile(P("src"), qt::Content(20000));
  static int chunks = 0;
  pt::CallsGuard guard;
  _x_calls.copy_file_range = [](int, off_t *, int, off_t *, size_t, unsigned) -> ssize_t {
    return errno = ENOSYS, -1;
  };
  _x_calls.sendfile = [](int, int, off_t *, size_t) -> ssize_t { return errno = ENOSYS, -1; };
  _x_calls.write = [](int fd, const void *b, size_t n) -> ssize_t {
    return write(fd, b, n - (n != sizeof(uint32_t) && chunks++ > 0));
  };
  EXPECT_EQ(Run(false, P("src"), P("dst"), 0), QIRA_ERR_SHORTWRITE);
  EXPECT_FALSE(qt::Exists(P("dst")));
}

}  // namespace
