// The copy/move worker: a forked process that copies or moves one entry and
// reports a single 4-byte host error code through a pipe.
//
// The host never blocks on it: the read end of the pipe is non-blocking, the
// host sleeps in its yield function until the pipe becomes readable, and a
// finished worker is collected only by non-blocking waits.
//
// One rule governs the worker: a copy or move either completes or changes
// nothing the user had (a copy with replace onto an existing file writes into
// it, as cp does), and it reaches only the entries it names.
//
// Between fork and _exit the worker may be a child of a multithreaded host, so
// it calls only async-signal-safe functions and never allocates: names are
// built on its stack.  It ends with _exit: the host's exit handlers and stdio
// buffers belong to the host and must not run or be flushed twice.
#include <fcntl.h>
#include <limits.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "platform/qirafnl.h"

#ifndef P_PIDFD
#define P_PIDFD 3
#endif
#ifndef RENAME_NOREPLACE
#define RENAME_NOREPLACE (1 << 0)
#endif

// The worker handle.  While a block holds it, it may also sit on the module
// context's list of open records (links, cleanup and argument first, the
// layout every record on that list has), so that a worker still running when
// its block goes away is collected later instead of waited for.
struct QiraWorker {
  QiraDNode links;             // on the module context's list, or linked to itself
  QiraWorkerCleanupFn cleanup; // _x_copymove_cleanup
  void *cleanuparg;            // the handle itself
  int32_t fd;                  // read end of the pipe, non-blocking; -1 once given back
  uint32_t state;              // QIRA_BLOCK_WAIT until the result is known, then the result
  int32_t pid;                 // 0 once collected (by us or by the host)
  int32_t pidfd;               // names exactly this worker; -1 where the kernel has none
  uint32_t abandoned;          // 1 once its block let go: the list owns it
};
QIRA_SIZE(QiraWorker, 36, 56);
QIRA_AT(QiraWorker, cleanup, 8, 16);
QIRA_AT(QiraWorker, cleanuparg, 12, 24);
QIRA_AT(QiraWorker, fd, 16, 32);
QIRA_AT(QiraWorker, state, 20, 36);
QIRA_AT(QiraWorker, pid, 24, 40);
QIRA_AT(QiraWorker, pidfd, 28, 44);
QIRA_AT(QiraWorker, abandoned, 32, 48);

namespace {

using WorkerBody = uint32_t (*)(const char *src, const char *dst, uint16_t replace);

// Buffer of the read/write loop; the worker runs on a copy of the host
// thread's stack, which may be small.
constexpr size_t kChunk = 4096;
// Piece of one kernel copy call: large enough for kernel speed, small enough
// that a stopped or killed worker stops promptly.
constexpr size_t kPiece = size_t(4) << 20;
// A destination is private until it is complete; the source's mode comes last.
constexpr mode_t kPartialMode = 0600;
// A copy never gets set-user-ID or set-group-ID bits.
constexpr mode_t kCopyModeMask = 01777;
constexpr mode_t kModeMask = 07777;
constexpr size_t kMessageSize = sizeof(uint32_t);
constexpr uint32_t kYieldRecordSize = sizeof(QiraYieldRec);
// Side names: ".qira" and seven base-32 digits, short enough to fit in any
// directory beside a name of the longest length.
constexpr size_t kSideNameSize = 16;
constexpr int kSideNameTries = 64;
constexpr char kProcSelfFd[] = "/proc/self/fd/";

uint32_t syserr(int e) { return QIRA_ERR_SYSTEM | uint32_t(e); }

int closefd(int fd) { return fd >= 0 ? _x_calls.close(fd) : 0; }

// ---- names on the stack -------------------------------------------------

// The directory that holds a name, open for *at calls, and the name's last
// component within it.  Working relative to the directory keeps every side
// name short, whatever the length of the full name.
struct Place {
  int dir = -1;
  const char *name = "";
  ~Place() { (void)closefd(dir); }
};

uint32_t openplace(const char *path, Place *p) {
  size_t slash = 0;
  bool any = false;
  size_t len = 0;
  for (; path[len]; ++len)
    if (path[len] == '/') slash = len, any = true;
  char dir[PATH_MAX];
  if (!any) {
    dir[0] = '.', dir[1] = '\0';
    p->name = path;
  } else {
    if (slash + 1 >= sizeof dir) return QIRA_ERR_TOOLONG;
    size_t n = slash ? slash : 1;  // "/name" lives in "/"
    for (size_t k = 0; k < n; ++k) dir[k] = path[k];
    dir[n] = '\0';
    p->name = path + slash + 1;
  }
  p->dir = _x_sys_openat(AT_FDCWD, dir, O_PATH | O_DIRECTORY | O_CLOEXEC, 0);
  return p->dir < 0 ? _x_os_error() : QIRA_OK;
}

void appendnumber(char *buf, size_t *len, unsigned long v) {
  char digits[24];
  size_t n = 0;
  do digits[n++] = char('0' + v % 10);
  while ((v /= 10) != 0);
  while (n) buf[(*len)++] = digits[--n];
  buf[*len] = '\0';
}

// The name under which the kernel shows an open descriptor.
void selfname(int fd, char out[sizeof kProcSelfFd + 24]) {
  size_t len = 0;
  for (const char *t = kProcSelfFd; *t; ++t) out[len++] = *t;
  appendnumber(out, &len, unsigned(fd));
}

// A fresh side name; the caller makes it with a no-replace call and asks for
// another one while it is taken.
void sidename(char out[kSideNameSize], unsigned attempt) {
  static const char kDigits[] = "0123456789abcdefghijklmnopqrstuv";
  struct timespec now = {};
  (void)clock_gettime(CLOCK_MONOTONIC, &now);
  uint64_t v = uint64_t(getpid()) * 0x9E3779B97F4A7C15ull;
  v ^= uint64_t(now.tv_nsec) * 0xBF58476D1CE4E5B9ull ^ uint64_t(now.tv_sec);
  v ^= uint64_t(attempt) << 37;
  size_t len = 0;
  for (const char *t = ".qira"; *t; ++t) out[len++] = *t;
  for (int k = 0; k < 7; ++k, v >>= 5) out[len++] = kDigits[v & 31];
  out[len] = '\0';
}

bool exists(const Place &p, uint32_t *err) {
  struct stat st;
  if (_x_calls.fstatat(p.dir, p.name, &st, AT_SYMLINK_NOFOLLOW) == 0) return true;
  *err = errno == ENOENT ? QIRA_OK : _x_os_error();
  return false;
}

// ---- the bytes -----------------------------------------------------------

// Reads until read() says 0: a short read is not the end (pipes, pseudo
// files, network file systems all return them).
uint32_t copyloop(int in, int out) {
  char buf[kChunk];
  for (;;) {
    ssize_t got = _x_sys_read(in, buf, kChunk);
    if (got < 0) return _x_os_error();
    if (got == 0) return QIRA_OK;
    ssize_t put = _x_sys_write(out, buf, size_t(got));
    if (put < 0) return _x_os_error();
    if (put != got) return QIRA_ERR_SHORTWRITE;
  }
}

// Answers of a first kernel copy call that mean "not this way" rather than a
// failure of the copy.
bool refused(int e) {
  return e == EXDEV || e == ENOSYS || e == EINVAL || e == EOPNOTSUPP || e == ENOTSUP ||
         e == EPERM || e == EBADF;
}

// Copies a regular file inside the kernel (copy_file_range, which also shares
// blocks where the file system can; else sendfile), in pieces.  Whatever way
// ends it, the read/write loop then reads on until read() says 0: that
// confirms the end for a source whose size was reached, and catches the bytes
// of a pseudo file that reports a size of 0 or stops early.
uint32_t copydata(int in, int out, const struct stat &st) {
  if (!S_ISREG(st.st_mode)) return copyloop(in, out);
  bool any = false;
  for (int way = 0; way < 2;) {
    ssize_t n = way == 0 ? _x_calls.copy_file_range(in, nullptr, out, nullptr, kPiece, 0)
                         : _x_calls.sendfile(out, in, nullptr, kPiece);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (!any && refused(errno)) {
        ++way;
        continue;
      }
      return _x_os_error();
    }
    if (n == 0) break;
    any = true;
  }
  return copyloop(in, out);
}

// ---- source and status ---------------------------------------------------

// Opens the source, following links.  A FIFO or terminal must neither block
// the open nor become the worker's controlling terminal; anything but a file
// or directory (FIFO, socket, device: endless or never ending) gives 13.  A
// directory fails at its first read.
uint32_t opensource(const char *src, int *in, struct stat *st) {
  int fd = _x_sys_open(src, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0);
  if (fd < 0) return errno == ENXIO ? QIRA_ERR_NOTPOSSIBLE : _x_os_error();
  uint32_t err = _x_calls.fstat(fd, st) == 0 ? QIRA_OK : _x_os_error();
  if (!err && !S_ISREG(st->st_mode) && !S_ISDIR(st->st_mode)) err = QIRA_ERR_NOTPOSSIBLE;
  if (err) {
    (void)closefd(fd);
    return err;
  }
  *in = fd;
  return QIRA_OK;
}

// A new copy gets the source's times, then its mode, then its owner.  The
// owner may be refused (a process that may not give files away keeps the copy
// as its own); set-ID bits are never given to a copy.  A move keeps them where
// the owner could be kept too, as the file it is.
uint32_t givestatus(int out, const struct stat &src, bool move) {
  const struct timespec times[2] = {src.st_atim, src.st_mtim};
  if (_x_calls.futimens(out, times) != 0) return _x_os_error();
  (void)_x_calls.fchmod(out, src.st_mode & kCopyModeMask);
  bool owned = _x_calls.fchown(out, src.st_uid, src.st_gid) == 0;
  if (move && owned && (src.st_mode & ~kCopyModeMask & kModeMask))
    (void)_x_calls.fchmod(out, src.st_mode & kModeMask);
  return QIRA_OK;
}

// ---- unnamed files -------------------------------------------------------

// An unnamed file in the directory: it gets a name only once it is complete,
// so a worker killed halfway leaves nothing.  -1 where the file system or the
// kernel cannot make one, or /proc, through which it is named, is missing.
int openunnamed(const Place &p) {
  if (_x_calls.access(kProcSelfFd, X_OK) != 0) return -1;
  return _x_sys_openat(p.dir, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, kPartialMode);
}

// Names the unnamed file; an existing name makes it fail with EEXIST.
int linkunnamed(int fd, int dir, const char *name) {
  char self[sizeof kProcSelfFd + 24];
  selfname(fd, self);
  return _x_calls.linkat(AT_FDCWD, self, dir, name, AT_SYMLINK_FOLLOW);
}

// Gives the unnamed file a fresh side name in the directory.
uint32_t linkaside(int fd, const Place &p, char side[kSideNameSize]) {
  for (int k = 0; k < kSideNameTries; ++k) {
    sidename(side, unsigned(k));
    if (linkunnamed(fd, p.dir, side) == 0) return QIRA_OK;
    if (errno != EEXIST) return _x_os_error();
  }
  return syserr(EEXIST);
}

// A new file under a fresh side name, where unnamed files cannot be had.
int openaside(const Place &p, char side[kSideNameSize], uint32_t *err) {
  for (int k = 0; k < kSideNameTries; ++k) {
    sidename(side, unsigned(k));
    int fd = _x_sys_openat(p.dir, side, O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC,
                           kPartialMode);
    if (fd >= 0) return fd;
    if (errno != EEXIST) {
      *err = _x_os_error();
      return -1;
    }
  }
  *err = syserr(EEXIST);
  return -1;
}

// rename without replacing; where the kernel or file system refuses the flag,
// a look and a plain rename (the name is one the worker made up just now).
int renamenoreplace(int fromdir, const char *from, int todir, const char *to) {
  if (_x_calls.renameat2(fromdir, from, todir, to, RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return -1;
  struct stat st;
  if (_x_calls.fstatat(todir, to, &st, AT_SYMLINK_NOFOLLOW) == 0) {
    errno = EEXIST;
    return -1;
  }
  if (errno != ENOENT) return -1;
  return _x_calls.renameat(fromdir, from, todir, to);
}

// Best effort: a directory that cannot be opened for reading is skipped.
void syncdir(const Place &p) {
  int fd = _x_sys_openat(p.dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
  if (fd < 0) return;
  (void)_x_calls.fsync(fd);
  (void)closefd(fd);
}

// ---- copy ----------------------------------------------------------------

// replace onto an existing file, as cp does: opened for writing through
// links, keeping its inode (every hard link sees the new content), its mode
// and its owner, and the process's rights on it.  *absent when it went away
// since it was seen.  A failure after the truncation leaves the file with its
// name and links, holding what was written; it is reported.
uint32_t writeinto(int in, const struct stat &src, const Place &d, bool *absent) {
  int out = _x_sys_openat(d.dir, d.name, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0);
  if (out < 0) {
    if (errno == ENOENT) {
      *absent = true;
      return QIRA_OK;
    }
    return errno == ENXIO ? QIRA_ERR_NOTPOSSIBLE : _x_os_error();
  }
  struct stat st;
  uint32_t err = _x_calls.fstat(out, &st) == 0 ? QIRA_OK : _x_os_error();
  if (!err && !S_ISREG(st.st_mode)) err = QIRA_ERR_NOTPOSSIBLE;
  // The source itself under any of its names: truncating would destroy it.
  if (!err && st.st_dev == src.st_dev && st.st_ino == src.st_ino) err = syserr(EINVAL);
  if (!err && _x_calls.ftruncate(out, 0) != 0) err = _x_os_error();
  if (!err) err = copydata(in, out, src);
  if (!err) {
    const struct timespec times[2] = {src.st_atim, src.st_mtim};
    // Only the owner may set times; a writable file of someone else's keeps
    // the time of this write.
    if (_x_calls.futimens(out, times) != 0 && errno != EPERM) err = _x_os_error();
  }
  // A failing close can be the first report of a failed write (NFS, quotas).
  if (_x_calls.close(out) != 0 && !err && errno != EINTR) err = _x_os_error();
  return err;
}

// A new destination: written unnamed and linked in with a no-replace link
// when complete.  Where unnamed files cannot be had, a new file made with
// O_EXCL under the destination's name, removed again on failure.
uint32_t copynew(int in, const struct stat &src, const Place &d) {
  uint32_t err = QIRA_OK;
  int out = openunnamed(d);
  if (out >= 0) {
    err = copydata(in, out, src);
    if (!err) err = givestatus(out, src, false);
    if (!err && linkunnamed(out, d.dir, d.name) != 0) err = _x_os_error();
    (void)closefd(out);
    return err;
  }
  out = _x_sys_openat(d.dir, d.name, O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC,
                      kPartialMode);
  if (out < 0) return _x_os_error();
  err = copydata(in, out, src);
  if (!err) err = givestatus(out, src, false);
  if (_x_calls.close(out) != 0 && !err && errno != EINTR) err = _x_os_error();
  if (err) (void)_x_calls.unlinkat(d.dir, d.name, 0);
  return err;
}

uint32_t _x_copyfunc(const char *src, const char *dst, uint16_t replace) {
  Place d;
  uint32_t err = openplace(dst, &d);
  if (err) return err;
  // Before any data: an existing name fails at once unless replacing.
  bool there = exists(d, &err);
  if (err) return err;
  if (there && !isset(replace)) return QIRA_ERR_EXISTS;
  int in = -1;
  struct stat st;
  err = opensource(src, &in, &st);
  if (err) return err;
  bool absent = !there;
  if (there) err = writeinto(in, st, d, &absent);
  if (!err && absent) err = copynew(in, st, d);
  (void)closefd(in);
  return err;
}

// ---- move ----------------------------------------------------------------

// Blocks the signals a terminal or a supervisor sends while the source is
// under its side name, so that it is not left there.
struct Unstoppable {
  sigset_t old;
  Unstoppable() {
    sigset_t all;
    sigfillset(&all);
    (void)sigprocmask(SIG_BLOCK, &all, &old);
  }
  ~Unstoppable() { (void)sigprocmask(SIG_SETMASK, &old, nullptr); }
};

// Across file systems.  The source is never removed before the destination
// holds the whole copy, and the old destination is never lost: copy into an
// unnamed file beside the destination and sync it; rename the source to a side
// name in its own directory (which needs the rights its removal needs, so a
// source that cannot be removed fails here, before anything changed); give
// the copy the destination's name; only then unlink the source.  A failure
// before the last step puts the source back and discards the copy.
uint32_t movecopy(const char *srcpath, const Place &s, const Place &d, uint16_t replace) {
  uint32_t err = QIRA_OK;
  if (!isset(replace) && exists(d, &err)) return QIRA_ERR_EXISTS;
  if (err) return err;
  int in = -1;
  struct stat st;
  err = opensource(srcpath, &in, &st);
  if (err) return err;
  char copyside[kSideNameSize] = "";
  bool named = false;  // the copy has copyside as its name in d
  int out = openunnamed(d);
  if (out < 0) {
    out = openaside(d, copyside, &err);
    named = out >= 0;
  }
  if (out >= 0) {
    err = copydata(in, out, st);
    if (!err) err = givestatus(out, st, true);
    if (!err && _x_calls.fsync(out) != 0) err = _x_os_error();
  }
  (void)closefd(in);
  Unstoppable hold;
  char srcside[kSideNameSize] = "";
  bool aside = false;  // the source is under srcside
  for (int k = 0; !err && !aside && k < kSideNameTries; ++k) {
    sidename(srcside, unsigned(k) + kSideNameTries);
    if (renamenoreplace(s.dir, s.name, s.dir, srcside) == 0)
      aside = true;
    else if (errno != EEXIST)
      err = _x_os_error();
  }
  if (!err && !aside) err = syserr(EEXIST);
  bool placed = false;  // the copy holds the destination's name, replacing nothing
  if (!err && !isset(replace)) {
    int r = named ? _x_calls.linkat(d.dir, copyside, d.dir, d.name, 0)
                  : linkunnamed(out, d.dir, d.name);
    if (r == 0)
      placed = true;
    else
      err = _x_os_error();
  } else if (!err) {
    if (!named) {
      err = linkaside(out, d, copyside);
      named = !err;
    }
    if (!err && _x_calls.renameat(d.dir, copyside, d.dir, d.name) != 0) err = _x_os_error();
    if (!err) named = false;
  }
  if (!err) {
    syncdir(d);
    if (_x_calls.unlinkat(s.dir, srcside, 0) != 0) err = _x_os_error();
    if (!err) aside = false;
    // A copy placed without replacing anything is ours to take back.
    if (err && placed) (void)_x_calls.unlinkat(d.dir, d.name, 0);
    syncdir(s);
  }
  if (aside) (void)renamenoreplace(s.dir, srcside, s.dir, s.name);
  if (named) (void)_x_calls.unlinkat(d.dir, copyside, 0);
  (void)closefd(out);
  return err;
}

// Within one file system a move is a rename; without replace it may not
// touch an existing destination, a symbolic link included, and there is no
// window between a check and the rename.  Where the no-replace rename is
// refused: a link and an unlink for files; a look and a rename otherwise.
uint32_t _x_movefunc(const char *src, const char *dst, uint16_t replace) {
  Place s, d;
  uint32_t err = openplace(src, &s);
  if (!err) err = openplace(dst, &d);
  if (err) return err;
  if (isset(replace)) {
    if (_x_calls.renameat(s.dir, s.name, d.dir, d.name) == 0) return QIRA_OK;
    return errno == EXDEV ? movecopy(src, s, d, replace) : _x_os_error();
  }
  if (_x_calls.renameat2(s.dir, s.name, d.dir, d.name, RENAME_NOREPLACE) == 0) return QIRA_OK;
  if (errno == EXDEV) return movecopy(src, s, d, replace);
  if (errno != EINVAL && errno != ENOSYS && errno != EPERM) return _x_os_error();
  struct stat st;
  if (_x_calls.fstatat(s.dir, s.name, &st, AT_SYMLINK_NOFOLLOW) != 0) return _x_os_error();
  if (!S_ISDIR(st.st_mode)) {
    if (_x_calls.linkat(s.dir, s.name, d.dir, d.name, 0) == 0) {
      if (_x_calls.unlinkat(s.dir, s.name, 0) == 0) return QIRA_OK;
      err = _x_os_error();
      (void)_x_calls.unlinkat(d.dir, d.name, 0);  // the name just made
      return err;
    }
    if (errno == EEXIST) return QIRA_ERR_EXISTS;
    if (errno == EXDEV) return movecopy(src, s, d, replace);
  }
  if (exists(d, &err)) return QIRA_ERR_EXISTS;
  if (err) return err;
  if (_x_calls.renameat(s.dir, s.name, d.dir, d.name) == 0) return QIRA_OK;
  return errno == EXDEV ? movecopy(src, s, d, replace) : _x_os_error();
}

// ---- the worker process --------------------------------------------------

// Signals the host catches would run host code in the worker: they go back to
// their defaults.  The parent blocked every signal around the fork, so none
// arrives before this is done.
void defaultsignals() {
  for (int sig = 1; sig < NSIG; ++sig) {
    if (sig == SIGKILL || sig == SIGSTOP) continue;
    struct sigaction sa;
    if (sigaction(sig, nullptr, &sa) != 0) continue;
    if (sa.sa_handler == SIG_IGN || sa.sa_handler == SIG_DFL) continue;
    sa = {};
    sa.sa_handler = SIG_DFL;
    (void)sigaction(sig, &sa, nullptr);
  }
}

// Moves a descriptor above the standard three.
int lift(int fd) {
  if (fd > 2) return fd;
  return _x_calls.fcntl(fd, F_DUPFD_CLOEXEC, 3);
}

struct LinuxDirent64 {
  uint64_t ino;
  int64_t off;
  uint16_t reclen;
  uint8_t type;
  char name[1];
};

bool keeps(int fd, const int keep[2]) { return fd == keep[0] || fd == keep[1]; }

// Closes every descriptor above 2 but the two kept.  close_range where the
// kernel has it; else the names in /proc/self/fd, read with getdents64 into a
// stack buffer (the worker may not allocate); else every number up to the
// limit.
void closeothers(const int keep[2]) {
  int lo = keep[0] < keep[1] ? keep[0] : keep[1], hi = keep[0] ^ keep[1] ^ lo;
#ifdef SYS_close_range
  // An empty range is no call at all (the kernel refuses first > last).
  auto closerange = [](unsigned first, unsigned last) {
    return first > last ? 0 : int(syscall(SYS_close_range, first, last, 0u));
  };
  if (closerange(3u, unsigned(lo - 1)) == 0 && closerange(unsigned(lo + 1), unsigned(hi - 1)) == 0 &&
      closerange(unsigned(hi + 1), ~0u) == 0)
    return;
#endif
  int dir = _x_sys_open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
  if (dir < 0) {
    struct rlimit rl;
    rlim_t top = getrlimit(RLIMIT_NOFILE, &rl) == 0 ? rl.rlim_cur : 1024;
    if (top > (1u << 20)) top = 1u << 20;
    for (int fd = 3; rlim_t(fd) < top; ++fd)
      if (!keeps(fd, keep)) (void)_x_calls.close(fd);
    return;
  }
  alignas(8) char buf[2048];
  for (;;) {
    long n = syscall(SYS_getdents64, dir, buf, sizeof buf);
    if (n <= 0) break;
    for (long at = 0; at < n;) {
      const auto *e = reinterpret_cast<const LinuxDirent64 *>(buf + at);
      at += e->reclen;
      int fd = 0;
      bool digits = e->name[0] != '\0';
      for (const char *c = e->name; *c && digits; ++c) {
        digits = *c >= '0' && *c <= '9';
        fd = fd * 10 + (*c - '0');
      }
      if (digits && fd > 2 && fd != dir && !keeps(fd, keep)) (void)_x_calls.close(fd);
    }
  }
  (void)_x_calls.close(dir);
}

// The worker holds nothing of the host's: 0-2 lead to /dev/null, every other
// descriptor but its two pipe ends is closed (a peer of the host waiting for
// an end of file must not wait for the worker).
bool tidydescriptors(int *go, int *wr) {
  *go = lift(*go);
  *wr = lift(*wr);
  if (*go < 0 || *wr < 0) return false;
  int null = _x_sys_open("/dev/null", O_RDWR, 0);
  if (null >= 0) {
    for (int fd = 0; fd <= 2; ++fd)
      if (fd != null) (void)dup2(null, fd);
    if (null > 2) (void)_x_calls.close(null);
  }
  const int keep[2] = {*go, *wr};
  closeothers(keep);
  return true;
}

[[noreturn]] void runworker(int go, int wr, const char *src, const char *dst, uint16_t replace,
                            WorkerBody body) {
  defaultsignals();
  if (!tidydescriptors(&go, &wr)) _exit(0);
  sigset_t none;
  sigemptyset(&none);
  (void)sigprocmask(SIG_SETMASK, &none, nullptr);
  uint32_t code = body(src, dst, replace);
  // The outcome travels only in the message; a parent that stopped listening
  // simply loses it.
  (void)_x_sys_write(wr, &code, kMessageSize);
  (void)_x_calls.close(wr);
  // The parent closes its end of this pipe once it holds a pidfd of this
  // process (right after the fork, long before the work is done): until then
  // the worker may not end, so that its pid cannot be collected and reused
  // before the parent can name it for sure.
  char byte;
  while (_x_sys_read(go, &byte, 1) > 0) {
  }
  _exit(0);
}

// ---- collecting workers --------------------------------------------------

// True once the worker is gone: collected here, or by a host that reaps its
// own children (or ignores SIGCHLD).  Never waits.  With a pidfd the wait
// names exactly this process, so a later child of the host that got the same
// pid is never collected by mistake.
bool collect(QiraWorker *w) {
  if (w->pid == 0) return true;
  if (w->pidfd >= 0) {
    siginfo_t info;
    info.si_pid = 0;
    int r = waitid(idtype_t(P_PIDFD), id_t(w->pidfd), &info, WEXITED | WNOHANG);
    if (r == 0 && info.si_pid == 0) return false;
    if (r < 0 && errno == EINTR) return false;
    if (r == 0 || errno == ECHILD) {
      (void)_x_calls.close(w->pidfd);
      w->pidfd = -1;
      w->pid = 0;
      return true;
    }
    // A kernel with pidfds but without waiting on them: by pid below.
    (void)_x_calls.close(w->pidfd);
    w->pidfd = -1;
  }
  int status;
  pid_t r;
  do r = waitpid(w->pid, &status, WNOHANG);
  while (r < 0 && errno == EINTR);
  if (r == w->pid || (r < 0 && errno == ECHILD)) w->pid = 0;
  return w->pid == 0;
}

void release(QiraWorker *w) {
  if (w->links.next != &w->links) DNode_Remove(&w->links);
  if (w->pidfd >= 0) (void)_x_calls.close(w->pidfd);
  Mem_Free(w);
}

void closepipe(const int fds[2]) {
  (void)_x_calls.close(fds[0]);
  (void)_x_calls.close(fds[1]);
}

// Starts the worker on native names.  The handle and the non-blocking read end
// are ready before the fork, so a failure never leaves a worker running whose
// result nobody can read.  The worker does not end before the parent holds a
// pidfd of it; every signal stays blocked across the fork until the worker
// has put the host's handlers aside.
uint32_t launch(const char *src, const char *dst, uint16_t replace, WorkerBody body,
                QiraMemGroup *g, QiraWorker **out) {
  auto *w = static_cast<QiraWorker *>(Mem_Alloc(g, sizeof(QiraWorker)));
  if (!w) return QIRA_ERR_NOMEM;
  int res[2], go[2];
  if (_x_calls.pipe2(res, O_CLOEXEC) != 0) {
    uint32_t err = _x_os_error();
    Mem_Free(w);
    return err;
  }
  if (_x_calls.pipe2(go, O_CLOEXEC) != 0) {
    uint32_t err = _x_os_error();
    closepipe(res);
    Mem_Free(w);
    return err;
  }
  if (_x_calls.fcntl(res[0], F_SETFL, O_NONBLOCK) != 0) {
    uint32_t err = _x_os_error();
    closepipe(res);
    closepipe(go);
    Mem_Free(w);
    return err;
  }
  sigset_t all, old;
  sigfillset(&all);
  (void)pthread_sigmask(SIG_SETMASK, &all, &old);
  pid_t pid = _x_calls.fork();
  if (pid == 0) runworker(go[0], res[1], src, dst, replace, body);
  int forkerr = errno;
  (void)pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (pid < 0) {
    errno = forkerr;
    uint32_t err = _x_os_error();
    closepipe(res);
    closepipe(go);
    Mem_Free(w);
    return err;
  }
  (void)_x_calls.close(res[1]);
  (void)_x_calls.close(go[0]);
  int pidfd = _x_calls.pidfd_open(pid, 0);
  (void)_x_calls.close(go[1]);  // go
  *w = QiraWorker{.links = {}, .cleanup = _x_copymove_cleanup, .cleanuparg = w, .fd = res[0],
                  .state = QIRA_BLOCK_WAIT, .pid = int32_t(pid), .pidfd = pidfd < 0 ? -1 : pidfd,
                  .abandoned = 0};
  DNode_Init(&w->links);
  if (out)
    *out = w;
  else
    (void)qira_platspec_copymove_terminate(w);  // nobody will ask; the work goes on
  return QIRA_OK;
}

uint32_t _x_qira_platspec_copymove_start(const char *src, const uint16_t *dest, uint32_t destlen,
                                         uint16_t replace, QiraMemGroup *g, QiraWorker **out,
                                         WorkerBody body) {
  if (!src) return QIRA_ERR_NOENTRY;
  char *dst = nullptr;
  uint32_t err = _x_getallocednativechars(dest, destlen, g, &dst);
  if (err) return err;
  err = launch(src, dst, replace, body, g, out);
  Mem_Free(dst);
  return err;
}

}  // namespace

uint32_t qira_platspec_copy_start(const char *srcnative, const uint16_t *dest, uint32_t destlen,
                                  uint16_t replace, QiraMemGroup *g, QiraWorker **out) {
  return _x_qira_platspec_copymove_start(srcnative, dest, destlen, replace, g, out, _x_copyfunc);
}

uint32_t qira_platspec_move_start(const char *srcnative, const uint16_t *dest, uint32_t destlen,
                                  uint16_t replace, QiraMemGroup *g, QiraWorker **out) {
  return _x_qira_platspec_copymove_start(srcnative, dest, destlen, replace, g, out, _x_movefunc);
}

uint32_t qira_platspec_copymove_getresult(QiraWorker *w) {
  if (!w) return QIRA_ERR_NOTPOSSIBLE;
  if (w->state != QIRA_BLOCK_WAIT) {
    (void)collect(w);
    return w->state;
  }
  uint32_t msg;
  ssize_t got = _x_sys_read(w->fd, &msg, kMessageSize);
  uint32_t code;
  if (got < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK) return QIRA_BLOCK_WAIT;
    code = _x_os_error();
  } else if (size_t(got) == kMessageSize) {
    code = msg;
  } else {
    code = QIRA_ERR_NOTPOSSIBLE;  // the worker ended without a whole message
  }
  w->state = code;
  (void)collect(w);
  return code;
}

uint32_t qira_platspec_copymove_terminate(QiraWorker *w) {
  if (!w) return QIRA_OK;
  if (w->fd >= 0) (void)_x_calls.close(w->fd);
  w->fd = -1;
  // A worker that has not ended yet is never waited for: on a list, the list
  // keeps it until a later look finds it ended; on none, it stays a zombie
  // until the host collects its children.
  if (collect(w) || w->links.next == &w->links)
    release(w);
  else
    w->abandoned = 1;
  return QIRA_OK;
}

void _x_copymove_track(QiraWorker *w, QiraDNode *list) {
  if (!w || !list || !list->next || w->links.next != &w->links) return;
  DNode_AddAfter(&w->links, list);
}

void _x_copymove_sweep(QiraDNode *list) {
  if (!list || !list->next) return;
  for (QiraDNode *n = list->next, *next; n != list; n = next) {
    next = n->next;
    auto *w = reinterpret_cast<QiraWorker *>(n);
    if (w->cleanup != _x_copymove_cleanup) continue;
    if (collect(w) && w->abandoned) release(w);
  }
}

uint32_t _x_copymove_cleanup(void *arg) {
  auto *w = static_cast<QiraWorker *>(arg);
  // Still held by a block: its terminator releases it later.
  if (!w->abandoned) {
    DNode_Remove(&w->links);
    return QIRA_OK;
  }
  (void)collect(w);
  release(w);
  return QIRA_OK;
}

uint16_t qira_platspec_setyielddata(QiraWorker *w, QiraYieldRec *rec, uint32_t size,
                                    QiraResult *result) {
  if (!w || !rec || size < kYieldRecordSize) return 0;
  // Wait for the pipe to become readable (message or end of the worker) and
  // for no time limit; period and deadline mean nothing without one.
  rec->fd = w->fd;
  rec->mode = 0;
  rec->flags = QIRA_YF_NOWRITE;
  if (result) {
    result->yieldsize = kYieldRecordSize;
    result->yieldfn = TARVOYield_Lnx_SockOrTime;
    result->yieldrec = rec;
  }
  return 1;
}
