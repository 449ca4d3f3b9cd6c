// The table of swappable C library calls and the errno mapping shared by the
// whole platform layer.
#include "platform/qirafnl.h"

#include <fcntl.h>
#include <stdio.h>

namespace {

// open() and fcntl() are variadic; the table holds fixed shapes.
int sys_open(const char *path, int flags, mode_t mode) { return ::open(path, flags, mode); }
int sys_fcntl(int fd, int cmd, int arg) { return ::fcntl(fd, cmd, arg); }

constexpr QiraPlatCalls kLibcCalls = {
    .fork = ::fork,
    .pipe = ::pipe,
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
