// Resolving the names scripts give into absolute native names and full names,
// and splitting and joining UTF-16 full names.
//
// Resolution is lexical: "~", the working directory, ".." and "." are handled
// on the text, and the file system is asked only once, by the final status
// check, which follows symbolic links.  A ".." next to an empty, "." or ".."
// component is left for the kernel to resolve, so the name keeps naming the
// directory the kernel would reach.
#include <pwd.h>
#include <stdlib.h>

#include "platform/qirafnl.h"

namespace {

constexpr char kSep = '/';
constexpr uint16_t kSepUnit = 0x002F;
// Largest native name a step builds, terminator included.
constexpr uint64_t kMaxNative = 0x40000000u;
// Largest UTF-16 name a join builds, in units.
constexpr uint64_t kMaxUnits = 0x20000000u;
// getcwd() is first asked on the stack; longer working directories grow by this.
constexpr uint32_t kCwdStep = 4096;

size_t length(const char *s) {
  size_t n = 0;
  while (s[n]) ++n;
  return n;
}

// Moves the tail starting at from (terminator included) down to to.
void pulldown(char *s, size_t to, size_t from) {
  while ((s[to++] = s[from++]) != '\0') {
  }
}

// A new native name: head, an optional separator, tail.  Releases *name and
// puts the new one in its place.
uint32_t replacename(char **name, QiraMemGroup *g, const char *head, size_t headlen,
                     bool sep, const char *tail) {
  size_t taillen = length(tail);
  uint64_t size = uint64_t(headlen) + (sep ? 1 : 0) + uint64_t(taillen) + 1;
  if (size > kMaxNative) return QIRA_ERR_TOOLONG;
  char *joined = static_cast<char *>(Mem_Alloc(g, uint32_t(size)));
  if (!joined) return QIRA_ERR_NOMEM;
  size_t at = 0;
  for (size_t i = 0; i < headlen; ++i) joined[at++] = head[i];
  if (sep) joined[at++] = kSep;
  for (size_t i = 0; i <= taillen; ++i) joined[at++] = tail[i];
  Mem_Free(*name);
  *name = joined;
  return QIRA_OK;
}

const char *homeofuser(const char *user) {
  const struct passwd *pw = getpwnam(user);
  return pw ? pw->pw_dir : nullptr;
}

// HOME first; a process without it falls back to its real user's entry.
const char *ownhome() {
  const char *home = getenv("HOME");
  if (home) return home;
  const struct passwd *pw = getpwuid(getuid());
  return pw ? pw->pw_dir : nullptr;
}

// "~" and "~user" at the front become that home directory.  Without one the
// name stays as it is and is later taken as relative.
uint32_t _x_replacehomedirectory(char **name, QiraMemGroup *g) {
  char *s = *name;
  if (s[0] != '~') return QIRA_OK;
  const char *home;
  const char *rest;
  if (s[1] == '\0' || s[1] == kSep) {
    home = ownhome();
    rest = s + 1;
  } else {
    // The user name ends at the next separator; cut there for the lookup.
    size_t end = 1;
    while (s[end] && s[end] != kSep) ++end;
    char saved = s[end];
    s[end] = '\0';
    home = homeofuser(s + 1);
    s[end] = saved;
    rest = s + end;
  }
  if (!home) return QIRA_OK;
  return replacename(name, g, home, length(home), false, rest);
}

// Asks getcwd() with ever larger buffers while it says ERANGE.  Stores the
// directory (or null when it cannot be had) and a heap buffer to release.
uint32_t workingdirectory(QiraMemGroup *g, char *stackbuf, const char **cwd_out,
                          char **heap_out) {
  uint32_t size = kCwdStep;
  char *heap = nullptr;
  const char *cwd = _x_calls.getcwd(stackbuf, size);
  while (!cwd && errno == ERANGE) {
    Mem_Free(heap);
    heap = nullptr;
    size += kCwdStep;
    if (size > kMaxNative) return QIRA_ERR_TOOLONG;
    heap = static_cast<char *>(Mem_Alloc(g, size));
    if (!heap) return QIRA_ERR_NOMEM;
    cwd = _x_calls.getcwd(heap, size);
  }
  *cwd_out = cwd;
  *heap_out = heap;
  return QIRA_OK;
}

// A relative name is put behind the working directory.  When that cannot be
// had, the name stays relative and the status check judges it.
uint32_t _x_addcurrentdirectory(char **name, QiraMemGroup *g) {
  if ((*name)[0] == '\0' || (*name)[0] == kSep) return QIRA_OK;
  char stackbuf[kCwdStep];
  const char *cwd = nullptr;
  char *heap = nullptr;
  uint32_t err = workingdirectory(g, stackbuf, &cwd, &heap);
  if (!err && cwd) {
    size_t n = length(cwd);
    err = replacename(name, g, cwd, n, n == 0 || cwd[n - 1] != kSep, *name);
  }
  Mem_Free(heap);
  return err;
}

bool isordinary(const char *comp, size_t n) {
  if (n == 0) return false;
  if (n == 1 && comp[0] == '.') return false;
  if (n == 2 && comp[0] == '.' && comp[1] == '.') return false;
  return true;
}

size_t nextsep(const char *s, size_t from, size_t len) {
  while (from < len && s[from] != kSep) ++from;
  return from;
}

// "name/.." pairs are cut out in place.  a is the separator in front of the
// component under consideration, b the one after it; only the component after
// b is compared with "..", so a ".." that comes to stand behind a name through
// an earlier cut stays.
void _x_removedoubledots(char *s) {
  size_t len = length(s);
  size_t a = nextsep(s, 0, len);
  if (a >= len) return;
  size_t b = nextsep(s, a + 1, len);
  while (b < len) {
    size_t c = nextsep(s, b + 1, len);
    bool dotdot = c - b == 3 && s[b + 1] == '.' && s[b + 2] == '.';
    if (dotdot && isordinary(s + a + 1, b - a - 1)) {
      pulldown(s, a, c);
      len -= c - a;
    } else {
      a = b;
    }
    b = a < len ? nextsep(s, a + 1, len) : len;
  }
}

// "/./" becomes "/"; a final "/." is kept.
void _x_removesingledots(char *s) {
  size_t i = 0;
  while (s[i]) {
    if (s[i] == kSep && s[i + 1] == '.' && s[i + 2] == kSep)
      pulldown(s, i + 1, i + 3);
    else
      ++i;
  }
}

// Cuts trailing separators.  An absolute name that comes down to nothing is
// the root directory; its buffer always has room for "/".
void trimtrailing(char *s, bool absolute) {
  size_t len = length(s);
  while (len && s[len - 1] == kSep) s[--len] = '\0';
  if (len == 0 && absolute) {
    s[0] = kSep;
    s[1] = '\0';
  }
}

uint32_t rewrite(char **native, QiraMemGroup *g) {
  uint32_t err = _x_replacehomedirectory(native, g);
  if (!err) err = _x_addcurrentdirectory(native, g);
  if (err) return err;
  bool absolute = (*native)[0] == kSep;
  _x_removedoubledots(*native);
  _x_removesingledots(*native);
  trimtrailing(*native, absolute);
  return QIRA_OK;
}

// The one status check that maps errno itself: a missing name is "not an
// existing directory" here, and everything else keeps its errno.
uint32_t checkstatus(const char *native, uint16_t *isdir) {
  struct stat st;
  if (_x_calls.stat(native, &st) != 0) {
    int e = errno;
    if (e == ENOENT || e == ENOTDIR) return QIRA_ERR_NOTFOUND;
    return QIRA_ERR_SYSTEM | uint32_t(e);
  }
  *isdir = S_ISDIR(st.st_mode) ? 1 : 0;
  return QIRA_OK;
}

bool isbytesonly(const uint16_t *units, uint32_t len) {
  return len >= 1 && units[0] == QIRA_BYTES_ONLY_MARKER;
}

// The bytes-only form of the joined native name: the directory's bytes, a
// "/" unless they end in one, the name's bytes.  Either part may be text, so
// this join can meet a character the locale cannot convert (81).
uint32_t joinbytes(const uint16_t *dir, uint32_t dirlen, const uint16_t *name, uint32_t namelen,
                   QiraMemGroup *g, uint16_t **out, uint32_t *outlen) {
  char *d = nullptr, *n = nullptr;
  uint32_t err = _x_getallocednativechars(dir, dirlen, g, &d);
  if (!err) err = _x_getallocednativechars(name, namelen, g, &n);
  uint16_t *joined = nullptr;
  uint64_t total = 0;
  if (!err) {
    const size_t dn = length(d), nn = length(n);
    const bool sep = !(dn >= 1 && d[dn - 1] == kSep);
    total = 1 + uint64_t(dn) + (sep ? 1 : 0) + nn;  // the marker first
    // As for units: nothing joined behind a separator is no name.
    if (nn == 0 && !sep) err = QIRA_ERR_TOOLONG;
    else if (total > kMaxUnits) err = QIRA_ERR_TOOLONG;
    else if (!(joined = static_cast<uint16_t *>(Mem_Alloc(g, uint32_t(2 * total)))))
      err = QIRA_ERR_NOMEM;
    if (!err) {
      uint32_t at = 0;
      joined[at++] = uint16_t(QIRA_BYTES_ONLY_MARKER);
      for (size_t i = 0; i < dn; ++i) joined[at++] = uint8_t(d[i]);
      if (sep) joined[at++] = uint8_t(kSep);
      for (size_t i = 0; i < nn; ++i) joined[at++] = uint8_t(n[i]);
    }
  }
  Mem_Free(d);
  Mem_Free(n);
  if (err) return err;
  if (out) *out = joined;
  else Mem_Free(joined);
  if (outlen) *outlen = uint32_t(total);
  return QIRA_OK;
}

}  // namespace

uint32_t qira_platspec_nameandcheckdir(const uint16_t *name, uint32_t len, QiraMemGroup *g,
                                       uint16_t **full_out, uint32_t *fulllen_out,
                                       char **native_out, uint16_t *isdir_out) {
  char *native = nullptr;
  uint32_t err = _x_getallocednativechars(name, len, g, &native);
  if (err) return err;
  uint16_t isdir = 0;
  uint16_t *full = nullptr;
  uint32_t fulllen = 0;
  err = rewrite(&native, g);
  if (!err) err = checkstatus(native, &isdir);
  if (!err) err = _x_getallocedtarvochars(native, g, &full, &fulllen);
  if (err) {
    Mem_Free(native);
    return err;
  }
  if (full_out) *full_out = full;
  else Mem_Free(full);
  if (fulllen_out) *fulllen_out = fulllen;
  if (native_out) *native_out = native;
  else Mem_Free(native);
  if (isdir_out) *isdir_out = isdir;
  return QIRA_OK;
}

uint32_t _x_resolvename(const uint16_t *name, uint32_t len, QiraMemGroup *g, char **native_out,
                        uint16_t **full_out, uint32_t *fulllen_out) {
  char *native = nullptr;
  uint32_t err = _x_getallocednativechars(name, len, g, &native);
  if (err) return err;
  uint16_t *full = nullptr;
  uint32_t fulllen = 0;
  err = rewrite(&native, g);
  if (!err) err = _x_getallocedtarvochars(native, g, &full, &fulllen);
  if (err) {
    Mem_Free(native);
    return err;
  }
  *native_out = native;
  *full_out = full;
  *fulllen_out = fulllen;
  return QIRA_OK;
}

uint32_t qira_platspec_pathpartlength(const uint16_t *name, uint32_t len, uint32_t *out) {
  uint32_t part = len;
  while (part > 0 && name[part - 1] != kSepUnit) --part;
  if (out) *out = part;
  return QIRA_OK;
}

uint32_t qira_platspec_makefullname(const uint16_t *dir, uint32_t dirlen, const uint16_t *name,
                                    uint32_t namelen, QiraMemGroup *g, uint16_t **out,
                                    uint32_t *outlen) {
  // Units joined as units would put a marker in the middle of the name, where
  // it is only a character: a bytes-only part joins in bytes.
  if (isbytesonly(dir, dirlen) || isbytesonly(name, namelen))
    return joinbytes(dir, dirlen, name, namelen, g, out, outlen);
  bool sep = !(dirlen >= 1 && dir[dirlen - 1] == kSepUnit);
  uint64_t total = uint64_t(dirlen) + (sep ? 1 : 0) + namelen;
  // A directory ending in a separator joined with nothing adds nothing.
  if (total <= dirlen || total > kMaxUnits) return QIRA_ERR_TOOLONG;
  uint16_t *joined = static_cast<uint16_t *>(Mem_Alloc(g, uint32_t(2 * total)));
  if (!joined) return QIRA_ERR_NOMEM;
  uint32_t at = 0;
  for (uint32_t i = 0; i < dirlen; ++i) joined[at++] = dir[i];
  if (sep) joined[at++] = kSepUnit;
  for (uint32_t i = 0; i < namelen; ++i) joined[at++] = name[i];
  if (out) *out = joined;
  else Mem_Free(joined);
  if (outlen) *outlen = uint32_t(total);
  return QIRA_OK;
}
