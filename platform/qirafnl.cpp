// The table of swappable C library calls and the errno mapping shared by the
// whole platform layer.
#include "platform/qirafnl.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/sendfile.h>
#include <sys/syscall.h>

namespace {

// open() and fcntl() are variadic; the table holds fixed shapes.
int sys_open(const char *path, int flags, mode_t mode) { return ::open(path, flags, mode); }
int sys_fcntl(int fd, int cmd, int arg) { return ::fcntl(fd, cmd, arg); }
int sys_openat(int dirfd, const char *path, int flags, mode_t mode) {
  return ::openat(dirfd, path, flags, mode);
}
// Through syscall(): the C library of an older system may lack the wrappers,
// and ENOSYS is then the answer the callers already handle.
int sys_renameat2(int fromdir, const char *from, int todir, const char *to, unsigned flags) {
  return int(::syscall(SYS_renameat2, fromdir, from, todir, to, flags));
}
ssize_t sys_copy_file_range(int in, off_t *inoff, int out, off_t *outoff, size_t n,
                            unsigned flags) {
  return ::syscall(SYS_copy_file_range, in, inoff, out, outoff, n, flags);
}
int sys_pidfd_open(pid_t pid, unsigned flags) {
#ifdef SYS_pidfd_open
  return int(::syscall(SYS_pidfd_open, pid, flags));
#else
  (void)pid, (void)flags;
  errno = ENOSYS;
  return -1;
#endif
}

constexpr QiraPlatCalls kLibcCalls = {
    .fork = ::fork,
    .pipe2 = ::pipe2,
    .read = ::read,
    .write = ::write,
    .open = sys_open,
    .fcntl = sys_fcntl,
    .fstat = ::fstat,
    .stat = ::stat,
    .lstat = ::lstat,
    .access = ::access,
    .rename = ::rename,
    .remove = ::remove,
    .mkdir = ::mkdir,
    .rmdir = ::rmdir,
    .utime = ::utime,
    .chmod = ::chmod,
    .chown = ::chown,
    .getcwd = ::getcwd,
    .opendir = ::opendir,
    .readdir = ::readdir,
    .unlink = ::unlink,
    .openat = sys_openat,
    .fstatat = ::fstatat,
    .linkat = ::linkat,
    .renameat = ::renameat,
    .renameat2 = sys_renameat2,
    .unlinkat = ::unlinkat,
    .futimens = ::futimens,
    .fchmod = ::fchmod,
    .fchown = ::fchown,
    .ftruncate = ::ftruncate,
    .fsync = ::fsync,
    .close = ::close,
    .closedir = ::closedir,
    .copy_file_range = sys_copy_file_range,
    .sendfile = ::sendfile,
    .pidfd_open = sys_pidfd_open,
};

}  // namespace

constinit QiraPlatCalls _x_calls = kLibcCalls;

void _x_swapcalls(const QiraPlatCalls *replacement, QiraPlatCalls *saved) {
  if (saved) *saved = _x_calls;
  _x_calls = replacement ? *replacement : kLibcCalls;
}

uint32_t _x_os_error(void) {
  int e = errno;
  switch (e) {
    case EPERM:
    case EACCES:
    case EROFS:
      return QIRA_ERR_ACCESS;
    case ENOENT:
    case ENOTDIR:
      return QIRA_ERR_NOENTRY;
    case ENOMEM:
      return QIRA_ERR_NOMEM;
    case EEXIST:
      return QIRA_ERR_EXISTS;
    case ENAMETOOLONG:
      return QIRA_ERR_TOOLONG;
    default:
      return QIRA_ERR_SYSTEM | uint32_t(e);
  }
}
