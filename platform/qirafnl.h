// Internal interface of the platform layer: the helpers every platform file
// shares, and the table of C library calls that fault tests can break.
//
// Nothing here is exported: the functions and the table are hidden, so they
// never reach qira.so's dynamic symbol table.  Only platform/ and the platform
// tests include this header.
#pragma once

#include <dirent.h>
#include <errno.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>
#include <utime.h>

#include "qira.h"

#define QIRA_HIDDEN __attribute__((visibility("hidden")))

// A flag of the exported interface counts as set only when it is exactly 1.
[[nodiscard]] inline bool isset(uint16_t flag) { return flag == 1; }

// ---- names ---------------------------------------------------------------
// UTF-16 units (count units, no terminator) to a native name: a NUL-terminated
// byte string in the encoding of the process locale, allocated from g and
// released by the caller with Mem_Free.  A name starting with
// QIRA_BYTES_ONLY_MARKER carries one byte per following unit.
// Codes: 1 allocation, 28 size limit, 81 a unit that cannot be converted,
// a unit 0 among them (it would cut the name short).
[[nodiscard]] QIRA_HIDDEN uint32_t _x_getallocednativechars(const uint16_t *units,
                                                            uint32_t count, QiraMemGroup *g,
                                                            char **native_out);
// A native name to UTF-16 units allocated from g (not terminated).  A name that
// does not decode in the locale, or begins with U+FFFE, comes back in the
// bytes-only form.  The empty
// name gives a null pointer and the count 0.  Codes: 1, 28, 81.
[[nodiscard]] QIRA_HIDDEN uint32_t _x_getallocedtarvochars(const char *native, QiraMemGroup *g,
                                                           uint16_t **units_out,
                                                           uint32_t *count_out);

// A name resolved as an entry is re-pointed (home folder, working directory,
// "." and "..", trailing separators) without looking at the file system: the
// native name and the UTF-16 full name, both allocated from g.  The full name
// of the empty name is a null pointer with the count 0.  Codes: 1, 28, 81.
[[nodiscard]] QIRA_HIDDEN uint32_t _x_resolvename(const uint16_t *name, uint32_t len,
                                                  QiraMemGroup *g, char **native_out,
                                                  uint16_t **full_out, uint32_t *fulllen_out);

// ---- times ---------------------------------------------------------------
// Seconds since 1970 (negative before it) to a date value: microseconds since
// 0001-01-01 as 16-bit digits, least significant first, count minimal.  62
// for a time before 0001-01-01 or a date that needs more than capacity digits.
[[nodiscard]] QIRA_HIDDEN uint32_t _x_time_t_tointdigits(time_t t, uint16_t *digits,
                                                         uint32_t capacity,
                                                         uint32_t *count_out);
// A date value back to seconds since 1970; the microseconds are cut off.
// 30 for more than 8 digits, a date before 1970 or beyond the range of time_t.
[[nodiscard]] QIRA_HIDDEN uint32_t _x_intdigitsto_time_t(const uint16_t *digits, uint32_t count,
                                                         time_t *t_out);

// ---- entries -------------------------------------------------------------
// The entry-info record of an entry from its status (links followed) and its
// native name; the record's name is the last component, allocated from g and
// owned by the caller.  Nothing is stored unless every step succeeds.
[[nodiscard]] QIRA_HIDDEN uint32_t _x_entryinfofromstructstat(const struct stat *st,
                                                              const char *native,
                                                              QiraMemGroup *g,
                                                              QiraEntryInfo *out);
// The host error code for the errno of the call that just failed.  The one
// place in the module that maps errno to codes.
[[nodiscard]] QIRA_HIDDEN uint32_t _x_os_error(void);

// ---- swappable calls -----------------------------------------------------
// Every platform call that a fault test may need to break goes through this
// table.  Production code never changes it; tests swap in a copy with one
// member replaced and restore the saved table afterwards.
struct QiraPlatCalls {
  pid_t (*fork)(void);
  int (*pipe2)(int fds[2], int flags);
  ssize_t (*read)(int fd, void *buf, size_t n);
  ssize_t (*write)(int fd, const void *buf, size_t n);
  int (*open)(const char *path, int flags, mode_t mode);
  int (*fcntl)(int fd, int cmd, int arg);
  int (*fstat)(int fd, struct stat *st);
  int (*stat)(const char *path, struct stat *st);
  int (*lstat)(const char *path, struct stat *st);
  int (*access)(const char *path, int mode);
  int (*rename)(const char *from, const char *to);
  int (*remove)(const char *path);
  int (*mkdir)(const char *path, mode_t mode);
  int (*rmdir)(const char *path);
  int (*utime)(const char *path, const struct utimbuf *times);
  int (*chmod)(const char *path, mode_t mode);
  int (*chown)(const char *path, uid_t uid, gid_t gid);
  char *(*getcwd)(char *buf, size_t size);
  DIR *(*opendir)(const char *path);
  struct dirent *(*readdir)(DIR *dir);
  // The copy/move worker runs between fork and _exit, where remove() (stdio)
  // is not safe to call; it deletes files with unlink().
  int (*unlink)(const char *path);
  // The worker's own calls: it works relative to the directories of source
  // and destination, so that short side names fit beside any name.
  int (*openat)(int dirfd, const char *path, int flags, mode_t mode);
  int (*fstatat)(int dirfd, const char *path, struct stat *st, int flags);
  int (*linkat)(int fromdir, const char *from, int todir, const char *to, int flags);
  int (*renameat)(int fromdir, const char *from, int todir, const char *to);
  int (*renameat2)(int fromdir, const char *from, int todir, const char *to, unsigned flags);
  int (*unlinkat)(int dirfd, const char *path, int flags);
  int (*futimens)(int fd, const struct timespec times[2]);
  int (*fchmod)(int fd, mode_t mode);
  int (*fchown)(int fd, uid_t uid, gid_t gid);
  int (*ftruncate)(int fd, off_t len);
  int (*fsync)(int fd);
  int (*close)(int fd);
  int (*closedir)(DIR *dir);
  ssize_t (*copy_file_range)(int in, off_t *inoff, int out, off_t *outoff, size_t n,
                             unsigned flags);
  ssize_t (*sendfile)(int out, int in, off_t *inoff, size_t n);
  int (*pidfd_open)(pid_t pid, unsigned flags);
};

extern QIRA_HIDDEN QiraPlatCalls _x_calls;

// ---- workers on the module context's list --------------------------------
// A worker handle can sit on the module context's list of open records, so
// that a worker still running when its block ends is collected later, by
// non-blocking waits, and never waited for.
typedef uint32_t (*QiraWorkerCleanupFn)(void *arg);
// Links the handle into the list (the module context's list head).
QIRA_HIDDEN void _x_copymove_track(QiraWorker *w, QiraDNode *list);
// Collects, without waiting, every ended worker on the list and releases the
// handles no block holds any more.
QIRA_HIDDEN void _x_copymove_sweep(QiraDNode *list);
// The cleanup a handle carries on the list, run by whoever ends the module
// context: unlinks it and releases it unless a block still holds it.
QIRA_HIDDEN uint32_t _x_copymove_cleanup(void *arg);

// Test hook: installs *replacement (the C library's own calls when null) and
// stores the table that was in force into *saved (skipped when null).
QIRA_HIDDEN void _x_swapcalls(const QiraPlatCalls *replacement, QiraPlatCalls *saved);

// Interrupted calls are started again here, one wrapper per call kind; errno
// still holds the failing call's value when they return.  close() is never
// retried: after EINTR its descriptor may already be gone.
inline int _x_sys_open(const char *path, int flags, mode_t mode) {
  int fd;
  do fd = _x_calls.open(path, flags, mode);
  while (fd < 0 && errno == EINTR);
  return fd;
}
inline int _x_sys_openat(int dirfd, const char *path, int flags, mode_t mode) {
  int fd;
  do fd = _x_calls.openat(dirfd, path, flags, mode);
  while (fd < 0 && errno == EINTR);
  return fd;
}
inline ssize_t _x_sys_read(int fd, void *buf, size_t n) {
  ssize_t r;
  do r = _x_calls.read(fd, buf, n);
  while (r < 0 && errno == EINTR);
  return r;
}
inline ssize_t _x_sys_write(int fd, const void *buf, size_t n) {
  ssize_t r;
  do r = _x_calls.write(fd, buf, n);
  while (r < 0 && errno == EINTR);
  return r;
}
inline int _x_sys_utime(const char *path, const struct utimbuf *times) {
  int r;
  do r = _x_calls.utime(path, times);
  while (r < 0 && errno == EINTR);
  return r;
}
