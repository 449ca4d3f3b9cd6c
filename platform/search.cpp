// Directory search: one entry per call, each with its entry-info record.
//
// The search keeps a single path buffer holding "<directory>/" and writes each
// entry's name behind the separator, so the status of an entry is asked for by
// its full name without building a string per entry.  The buffer grows only
// for a name longer than any before it, inside the search record's own group,
// so ending the search releases everything it holds.
//
// A directory changes while it is read, and some entries cannot be followed:
// an entry that is gone by the time its status is asked for is passed over,
// and a symbolic link whose target is missing or loops is described by the
// link itself.  The common case costs one status call per entry.
#include <string.h>

#include "platform/qirafnl.h"

// The search record.  Owned by the listing that started it; one caller at a
// time.  The path buffer always holds the directory name and a "/".
struct QiraSearch {
  char *path;            // directory name, "/", room for a name and its NUL
  char *namepos;         // just after the "/"
  uint32_t namecap;      // longest name, in bytes, the buffer holds
  uint32_t bufsize;      // bytes of the path buffer
  DIR *dir;
};
QIRA_SIZE(QiraSearch, 20, 32);
QIRA_AT(QiraSearch, namepos, 4, 8);
QIRA_AT(QiraSearch, namecap, 8, 16);
QIRA_AT(QiraSearch, bufsize, 12, 20);
QIRA_AT(QiraSearch, dir, 16, 24);

namespace {

// The usual file-system limit on one name; the buffer starts with this room.
constexpr uint32_t kInitialNameRoom = 255;
// Directory names longer than this would overflow the buffer arithmetic.
constexpr uint32_t kMaxDirName = 0x3FFFFFFE;

bool isdots(const char *name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// The next entry other than "." and "..", or null at the end or on a failure;
// errno tells the two apart (it is cleared before every read).
struct dirent *nextentry(DIR *dir) {
  for (;;) {
    errno = 0;
    struct dirent *e = _x_calls.readdir(dir);
    if (!e || !isdots(e->d_name)) return e;
  }
}

// The group a block came from, by the owner-word rule: the word in front of
// every block leads to a record whose third word is the group.
QiraMemGroup *groupof(void *block) {
  void *owner = static_cast<void **>(block)[-1];
  return static_cast<QiraMemGroup **>(owner)[2];
}

// Makes room for a name of len bytes behind the directory part.  The new
// buffer comes from the search record's group (never from a caller's, which
// may be gone before the search ends); the directory part moves over and the
// old buffer is released.
uint32_t growbuffer(QiraSearch *s, uint32_t len) {
  uint64_t size = uint64_t(s->bufsize) + (len - s->namecap);
  if (size > UINT32_MAX) return QIRA_ERR_DIGITS;
  char *buf = static_cast<char *>(Mem_Alloc(groupof(s), uint32_t(size)));
  if (!buf) return QIRA_ERR_NOMEM;
  uint32_t dirpart = uint32_t(s->namepos - s->path);
  *s->namepos = '\0';
  memcpy(buf, s->path, dirpart);
  Mem_Free(s->path);
  s->path = buf;
  s->namepos = buf + dirpart;
  s->namecap = len;
  s->bufsize = uint32_t(size);
  return QIRA_OK;
}

}  // namespace

uint32_t qira_platspec_search_start(const char *native, QiraMemGroup *g, QiraSearch **out) {
  if (!native) return QIRA_ERR_NOENTRY;
  size_t n = strlen(native);
  if (n > kMaxDirName - kInitialNameRoom) return QIRA_ERR_TOOLONG;
  auto *s = static_cast<QiraSearch *>(Mem_Alloc(g, sizeof(QiraSearch)));
  if (!s) return QIRA_ERR_NOMEM;
  uint32_t bufsize = uint32_t(n) + kInitialNameRoom + 2;  // "/", the name, its NUL
  char *buf = static_cast<char *>(Mem_Alloc(g, bufsize));
  if (!buf) {
    Mem_Free(s);
    return QIRA_ERR_NOMEM;
  }
  memcpy(buf, native, n);
  buf[n] = '/';
  buf[n + 1] = '\0';
  DIR *dir = _x_calls.opendir(native);
  if (!dir) {
    uint32_t err = _x_os_error();
    Mem_Free(buf);
    Mem_Free(s);
    return err;
  }
  *s = QiraSearch{.path = buf, .namepos = buf + n + 1, .namecap = kInitialNameRoom,
                  .bufsize = bufsize, .dir = dir};
  if (out)
    *out = s;
  else
    (void)qira_platspec_search_term(s);  // nobody to hand it to
  return QIRA_OK;
}

uint32_t qira_platspec_search_getnext(QiraSearch *s, QiraMemGroup *g, QiraEntryInfo *out) {
  if (!s || !s->dir) return QIRA_ERR_NOTFOUND;
  for (;;) {
    struct dirent *e = nextentry(s->dir);
    if (!e) {
      // Only a failing read sets errno; a silent null is the end.  Reporting
      // the failure keeps a broken listing from passing for a complete one.
      return errno ? QIRA_ERR_SYSTEM | uint32_t(errno) : QIRA_ERR_NOTFOUND;
    }
    // A name is far below 4 GiB; the buffer arithmetic stays in 32 bits.
    uint32_t m = uint32_t(strlen(e->d_name));
    // From here a failure concerns this entry only; the search stays usable.
    if (m > s->namecap) {
      uint32_t err = growbuffer(s, m);
      if (err) return err;
    }
    memcpy(s->namepos, e->d_name, size_t(m) + 1);
    struct stat st;
    if (_x_calls.stat(s->path, &st) == 0) return _x_entryinfofromstructstat(&st, s->path, g, out);
    const int staterr = errno;
    if (_x_calls.lstat(s->path, &st) != 0) {
      // Gone since readdir named it: the directory no longer holds it.
      if (errno == ENOENT) continue;
      return _x_os_error();
    }
    // A link that cannot be followed (missing target, a loop) is shown as
    // itself; so is an entry replaced between the two calls.  Anything else
    // that has a status but cannot be followed keeps its error.
    if (!S_ISLNK(st.st_mode) && staterr != ENOENT) {
      errno = staterr;
      return _x_os_error();
    }
    return _x_entryinfofromstructstat(&st, s->path, g, out);
  }
}

uint32_t qira_platspec_search_justfree(QiraSearch *s) {
  if (s && s->dir) (void)_x_calls.closedir(s->dir);
  return QIRA_OK;
}

uint32_t qira_platspec_search_term(QiraSearch *s) {
  if (!s) return QIRA_OK;
  (void)qira_platspec_search_justfree(s);
  Mem_Free(s->path);
  Mem_Free(s);
  return QIRA_OK;
}
