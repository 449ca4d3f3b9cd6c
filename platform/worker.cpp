// The copy/move worker: a forked process that copies or moves one entry and
// reports a single 4-byte host error code through a pipe.
//
// The host never blocks on it: the read end of the pipe is non-blocking, and
// the host sleeps in its yield function until the pipe becomes readable.
//
// Between fork and _exit the worker may be a child of a multithreaded host, so
// it calls only async-signal-safe functions (open, read, write, close, stat,
// fstat, rename, unlink, linkat, utime, futimens, chmod, chown, _exit) and
// never allocates.  It
// ends with _exit: the host's exit handlers and stdio buffers belong to the
// host and must not run or be flushed twice.
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>
#include <sys/wait.h>

#include "platform/qirafnl.h"

// The worker handle.  The pid is kept so that the parent can collect the
// finished worker without ever waiting for a running one.
struct QiraWorker {
  int32_t fd;            // read end of the pipe, non-blocking
  uint32_t state;        // QIRA_BLOCK_WAIT until the result is known, then the result
  int32_t pid;           // 0 once collected (by us or by the host)
};
QIRA_SIZE(QiraWorker, 12, 12);
QIRA_AT(QiraWorker, state, 4, 4);
QIRA_AT(QiraWorker, pid, 8, 8);

namespace {

using WorkerBody = uint32_t (*)(const char *src, const char *dst, uint16_t replace);

// Chunk size of the copy loop; a shorter read means the source is at its end.
constexpr size_t kChunk = 4096;
// A destination is private until it is complete; the source's mode comes last.
constexpr mode_t kPartialMode = 0600;
constexpr size_t kMessageSize = sizeof(uint32_t);
constexpr uint32_t kYieldRecordSize = sizeof(QiraYieldRec);
// How long giving back a finished worker's handle may spend collecting it:
// after its message the worker only closes its pipe and exits.
constexpr int kReapTries = 200;
constexpr long kReapPauseNs = 500 * 1000;

bool isset(uint16_t flag) { return flag == 1; }

uint32_t syserr(int e) { return QIRA_ERR_SYSTEM | uint32_t(e); }

// Unless replacing, an existing destination is refused with 5.
uint32_t checkabsent(const char *dst, uint16_t replace) {
  if (isset(replace)) return QIRA_OK;
  struct stat st;
  if (_x_calls.stat(dst, &st) == 0) return QIRA_ERR_EXISTS;
  return errno == ENOENT ? QIRA_OK : _x_os_error();
}

// An existing destination that a copy may not open for writing: the source
// itself under any of its names (truncating it would destroy the data), or
// something other than a file or directory (a device or FIFO would be written
// to, given the source's mode and, after a failure, removed).  A missing or
// unreadable destination is left to open() to report.
uint32_t checkreplaceable(const struct stat &src, const char *dst) {
  struct stat st;
  if (_x_calls.stat(dst, &st) != 0) return QIRA_OK;
  if (st.st_dev == src.st_dev && st.st_ino == src.st_ino) return syserr(EINVAL);
  if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) return syserr(EINVAL);
  return QIRA_OK;
}

// Copies the open source to the open destination in chunks.
uint32_t copybytes(int in, int out) {
  char buf[kChunk];
  for (;;) {
    ssize_t got = _x_sys_read(in, buf, kChunk);
    if (got < 0) return _x_os_error();
    if (got == 0) return QIRA_OK;
    ssize_t put = _x_sys_write(out, buf, size_t(got));
    if (put < 0) return _x_os_error();
    if (put != got) return QIRA_ERR_SHORTWRITE;
    if (size_t(got) != kChunk) return QIRA_OK;
  }
}

// Gives the complete copy the source's times, owner and mode.  The owner goes
// first: a change of owner clears set-user-ID bits that the mode then restores.
// A process that may not give a file away keeps it as its own, so only the
// times can fail the copy.
uint32_t applystatus(const char *dst, const struct stat &src) {
  struct utimbuf times = {.actime = src.st_atime, .modtime = src.st_mtime};
  if (_x_sys_utime(dst, &times) != 0) return _x_os_error();
  (void)_x_calls.chown(dst, src.st_uid, src.st_gid);
  (void)_x_calls.chmod(dst, src.st_mode & 07777);
  return QIRA_OK;
}

// Appends text to a bounded buffer; false when it does not fit.  The worker
// may not allocate, so names are built on its stack.
bool append(char *buf, size_t cap, size_t *len, const char *text) {
  for (; *text; ++text) {
    if (*len + 1 >= cap) return false;
    buf[(*len)++] = *text;
  }
  buf[*len] = '\0';
  return true;
}

bool appendnumber(char *buf, size_t cap, size_t *len, unsigned long v) {
  char digits[24];
  size_t n = 0;
  do digits[n++] = char('0' + v % 10);
  while ((v /= 10) != 0);
  char text[24];
  for (size_t k = 0; k < n; ++k) text[k] = digits[n - 1 - k];
  text[n] = '\0';
  return append(buf, cap, len, text);
}

// Opens an unnamed file in the destination's directory.  It gets its name only
// once it is complete, so a worker killed halfway leaves nothing behind and a
// destination being replaced stays whole until the new one takes its place.
// -1 where the file system or the kernel cannot do that (or /proc, through
// which the file is named, is missing): the copy then writes the destination
// directly.
int openunnamed(const char *dst) {
  char dir[PATH_MAX];
  size_t len = 0, slash = 0;
  bool any = false;
  for (size_t k = 0; dst[k]; ++k) {
    if (k + 2 >= sizeof dir) return -1;
    if (dst[k] == '/') slash = k, any = true;
  }
  if (!any) {
    if (!append(dir, sizeof dir, &len, ".")) return -1;
  } else {
    for (size_t k = 0; k < (slash ? slash : 1); ++k) dir[len++] = dst[k];
    dir[len] = '\0';
  }
  if (access("/proc/self/fd", X_OK) != 0) return -1;
  return _x_sys_open(dir, O_TMPFILE | O_WRONLY, kPartialMode);
}

// Gives the unnamed copy its name.  Without replace an existing destination
// makes the link fail with EEXIST (5).  With replace the copy first gets a
// name of its own beside the destination and is renamed over it.
uint32_t nameunnamed(int out, const char *dst, uint16_t replace) {
  char self[64];
  size_t len = 0;
  append(self, sizeof self, &len, "/proc/self/fd/");
  appendnumber(self, sizeof self, &len, unsigned(out));
  if (linkat(AT_FDCWD, self, AT_FDCWD, dst, AT_SYMLINK_FOLLOW) == 0) return QIRA_OK;
  if (errno != EEXIST || !isset(replace)) return _x_os_error();
  char aside[PATH_MAX];
  len = 0;
  if (!append(aside, sizeof aside, &len, dst) || !append(aside, sizeof aside, &len, ".qira-") ||
      !appendnumber(aside, sizeof aside, &len, unsigned(getpid())))
    return syserr(ENAMETOOLONG);
  (void)_x_calls.unlink(aside);  // a leftover of an earlier worker with our pid
  if (linkat(AT_FDCWD, self, AT_FDCWD, aside, AT_SYMLINK_FOLLOW) != 0) return _x_os_error();
  if (_x_calls.rename(aside, dst) != 0) {
    uint32_t err = _x_os_error();
    (void)_x_calls.unlink(aside);
    return err;
  }
  return QIRA_OK;
}

// The source's times, owner and mode on the open copy, before it gets a name.
uint32_t applystatusfd(int out, const struct stat &src) {
  const struct timespec times[2] = {src.st_atim, src.st_mtim};
  if (futimens(out, times) != 0) return _x_os_error();
  (void)fchown(out, src.st_uid, src.st_gid);
  (void)fchmod(out, src.st_mode & 07777);
  return QIRA_OK;
}

// Copies one file.  The copy is written unnamed and named when complete; where
// that cannot be done, it is written in place and a failure removes it.  Either
// way no partial copy is left behind by a failure the worker sees.
uint32_t _x_copyfile(const char *src, const char *dst, uint16_t replace) {
  int in = _x_sys_open(src, O_RDONLY, 0);
  if (in < 0) return _x_os_error();
  struct stat st;
  uint32_t err = _x_calls.fstat(in, &st) == 0 ? QIRA_OK : _x_os_error();
  if (!err) err = checkreplaceable(st, dst);
  if (err) {
    (void)close(in);
    return err;
  }
  int out = openunnamed(dst);
  if (out >= 0) {
    err = copybytes(in, out);
    if (!err) err = applystatusfd(out, st);
    if (!err) err = nameunnamed(out, dst, replace);
    (void)close(out);
    (void)close(in);
    return err;
  }
  // Without replace a destination made since the existence check is not
  // overwritten: O_EXCL turns it into EEXIST.
  int flags = O_WRONLY | O_CREAT | O_TRUNC | (isset(replace) ? 0 : O_EXCL);
  out = _x_sys_open(dst, flags, kPartialMode);
  if (out < 0) {
    err = _x_os_error();
    (void)close(in);
    return err;
  }
  err = copybytes(in, out);
  // A failing close can be the first report of a failed write (NFS, quotas).
  if (close(out) != 0 && !err && errno != EINTR) err = _x_os_error();
  if (!err) err = applystatus(dst, st);
  if (err) (void)_x_calls.unlink(dst);
  (void)close(in);
  return err;
}

uint32_t _x_copyfunc(const char *src, const char *dst, uint16_t replace) {
  uint32_t err = checkabsent(dst, replace);
  return err ? err : _x_copyfile(src, dst, replace);
}

uint32_t _x_movefunc(const char *src, const char *dst, uint16_t replace) {
  uint32_t err = checkabsent(dst, replace);
  if (err) return err;
  if (_x_calls.rename(src, dst) == 0) return QIRA_OK;
  // rename() cannot cross file systems; EXDEV sends a move down the copy path.
  if (errno != EXDEV) return _x_os_error();
  err = _x_copyfile(src, dst, replace);
  if (err) return err;
  if (_x_calls.unlink(src) != 0) {
    // The source stays; so that the move failed as a whole, its copy goes.
    err = _x_os_error();
    (void)_x_calls.unlink(dst);
  }
  return err;
}

[[noreturn]] void runworker(int rd, int wr, const char *src, const char *dst, uint16_t replace,
                            WorkerBody body) {
  (void)close(rd);
  uint32_t code = body(src, dst, replace);
  // The outcome travels only in the message; a parent that stopped listening
  // simply loses it.
  (void)_x_sys_write(wr, &code, kMessageSize);
  (void)close(wr);
  _exit(0);
}

// Collects the worker if it has ended, without waiting.  A host that reaps its
// own children (or ignores SIGCHLD) makes waitpid fail with ECHILD: the worker
// is gone all the same.
bool reap(QiraWorker *w) {
  if (w->pid <= 0) return true;
  int status;
  pid_t r;
  do r = waitpid(w->pid, &status, WNOHANG);
  while (r < 0 && errno == EINTR);
  if (r == w->pid || (r < 0 && errno == ECHILD)) w->pid = 0;
  return w->pid == 0;
}

// A worker whose result is known is at most a close() away from its end; give
// it a moment so that no zombie outlives the handle.  A running worker is
// never waited for.
void reapfinished(QiraWorker *w) {
  if (w->state == QIRA_BLOCK_WAIT) {
    (void)reap(w);
    return;
  }
  const struct timespec pause = {.tv_sec = 0, .tv_nsec = kReapPauseNs};
  for (int i = 0; i < kReapTries && !reap(w); ++i) (void)nanosleep(&pause, nullptr);
}

void closepipe(const int fds[2]) {
  (void)close(fds[0]);
  (void)close(fds[1]);
}

// Starts the worker on native names.  The handle and the non-blocking read end
// are ready before the fork, so a failure never leaves a worker running whose
// result nobody can read.
uint32_t launch(const char *src, const char *dst, uint16_t replace, WorkerBody body,
                QiraMemGroup *g, QiraWorker **out) {
  auto *w = static_cast<QiraWorker *>(Mem_Alloc(g, sizeof(QiraWorker)));
  if (!w) return QIRA_ERR_NOMEM;
  int fds[2];
  if (_x_calls.pipe(fds) != 0) {
    uint32_t err = _x_os_error();
    Mem_Free(w);
    return err;
  }
  if (_x_calls.fcntl(fds[0], F_SETFL, O_NONBLOCK) != 0) {
    uint32_t err = _x_os_error();
    closepipe(fds);
    Mem_Free(w);
    return err;
  }
  // Programs the host starts later must not hold the pipe open.
  (void)_x_calls.fcntl(fds[0], F_SETFD, FD_CLOEXEC);
  (void)_x_calls.fcntl(fds[1], F_SETFD, FD_CLOEXEC);
  pid_t pid = _x_calls.fork();
  if (pid < 0) {
    uint32_t err = _x_os_error();
    closepipe(fds);
    Mem_Free(w);
    return err;
  }
  if (pid == 0) runworker(fds[0], fds[1], src, dst, replace, body);
  (void)close(fds[1]);
  *w = QiraWorker{.fd = fds[0], .state = QIRA_BLOCK_WAIT, .pid = int32_t(pid)};
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
  if (w->state != QIRA_BLOCK_WAIT) return w->state;
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
  (void)reap(w);
  return code;
}

uint32_t qira_platspec_copymove_terminate(QiraWorker *w) {
  if (!w) return QIRA_OK;
  reapfinished(w);
  (void)close(w->fd);
  Mem_Free(w);
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
