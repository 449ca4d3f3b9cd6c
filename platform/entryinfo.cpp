// Entry-info records and the single-step file operations: create and delete a
// directory, delete a file, rename, and the attribute and date requests.
//
// Linux keeps no creation date and no hidden or system flag, and its
// read-only state is a matter of permissions; requests for those are checked
// against what the entry already shows and refused with "not possible" when
// they would need a change.
#include <stdio.h>

#include "platform/qirafnl.h"
#include "platform/platnames.h"

namespace {

// Capacity of a date in the entry-info record.
constexpr uint32_t kDateDigits = 4;
constexpr uint32_t kSizeDigits = 8;
// New directories ask for everything; the umask takes away what it must.
constexpr mode_t kDirMode = 0777;

// Whether the process, by its real ids, may not write the entry.
uint16_t readonlystate(const char *native) { return _x_calls.access(native, W_OK) != 0 ? 1 : 0; }

uint32_t sizedigits(uint64_t size, QiraDigits8 *out) {
  uint32_t n = 0;
  while (size != 0 && n < kSizeDigits) {
    out->d[n++] = uint16_t(size & 0xFFFF);
    size >>= 16;
  }
  if (size != 0) return QIRA_ERR_DIGITS;
  out->count = n;
  return QIRA_OK;
}

// A file time as a date of the record.  A time no date value can hold
// (before year 1, or beyond the record's digits) is no date: one odd time
// must not make the entry unreadable.
void filedate(time_t t, QiraDigits4 *out) {
  if (_x_time_t_tointdigits(t, out->d, kDateDigits, &out->count) != QIRA_OK) out->count = 0;
}

// The status of an existing name, or its error code.
uint32_t statname(const char *native, struct stat *st) {
  return _x_calls.stat(native, st) == 0 ? QIRA_OK : _x_os_error();
}

// Converts a requested date into a file time when its flag is set.
uint32_t requestedtime(uint16_t flag, const uint16_t *digits, uint32_t count, time_t *t) {
  if (!isset(flag)) return QIRA_OK;
  return _x_intdigitsto_time_t(digits, count, t);
}

}  // namespace

uint32_t _x_entryinfofromstructstat(const struct stat *st, const char *native, QiraMemGroup *g,
                                    QiraEntryInfo *out) {
  if (!out) return QIRA_OK;
  QiraEntryInfo rec{};
  rec.readonly = readonlystate(native);
  rec.hidden = 0;
  rec.system = 0;
  rec.entrytype = S_ISDIR(st->st_mode) ? QIRA_ENTRY_DIRECTORY : QIRA_ENTRY_FILE;
  rec.created.count = 0;
  filedate(st->st_mtime, &rec.lastchanged);
  filedate(st->st_atime, &rec.lastaccessed);
  uint32_t err = sizedigits(uint64_t(st->st_size), &rec.size);
  if (!err) err = qira_platspec_lastname(native, g, &rec.name, &rec.namelen);
  if (err) return err;
  *out = rec;
  return QIRA_OK;
}

uint32_t qira_platspec_getentryinfo(const char *native, QiraMemGroup *g, QiraEntryInfo *out) {
  struct stat st;
  uint32_t err = statname(native, &st);
  if (err) return err;
  return _x_entryinfofromstructstat(&st, native, g, out);
}

uint32_t qira_platspec_createdirectory(const uint16_t *full, uint32_t len, QiraMemGroup *g,
                                       QiraEntryInfo *out) {
  char *native = nullptr;
  uint32_t err = _x_getallocednativechars(full, len, g, &native);
  if (err) return err;
  if (_x_calls.mkdir(native, kDirMode) != 0) {
    err = _x_os_error();
  } else {
    struct stat st;
    err = statname(native, &st);
    if (!err) err = _x_entryinfofromstructstat(&st, native, g, out);
    // A directory the caller cannot be told about is not left behind; the
    // first error is the one reported.
    if (err) (void)_x_calls.rmdir(native);
  }
  Mem_Free(native);
  return err;
}

namespace {

// Removes one entry with `op` of the call table, looked up when it runs so
// that fault tests can break it.
uint32_t _x_removeentry(const uint16_t *full, uint32_t len, QiraMemGroup *g,
                        int (*QiraPlatCalls::*op)(const char *)) {
  char *native = nullptr;
  uint32_t err = _x_getallocednativechars(full, len, g, &native);
  if (err) return err;
  if ((_x_calls.*op)(native) != 0) err = _x_os_error();
  Mem_Free(native);
  return err;
}

}  // namespace

uint32_t qira_platspec_deletedirectory(const uint16_t *full, uint32_t len, QiraMemGroup *g) {
  return _x_removeentry(full, len, g, &QiraPlatCalls::rmdir);
}

uint32_t qira_platspec_deletefile(const uint16_t *full, uint32_t len, QiraMemGroup *g) {
  return _x_removeentry(full, len, g, &QiraPlatCalls::remove);
}

uint32_t qira_platspec_rename(const char *oldnative, const uint16_t *newfull, uint32_t newlen,
                              char **newnative_out, QiraMemGroup *g) {
  char *newnative = nullptr;
  uint32_t err = _x_getallocednativechars(newfull, newlen, g, &newnative);
  if (err) return err;
  if (_x_calls.rename(oldnative, newnative) != 0) {
    err = _x_os_error();
    Mem_Free(newnative);
    return err;
  }
  if (newnative_out) *newnative_out = newnative;
  else Mem_Free(newnative);
  return QIRA_OK;
}

uint32_t qira_platspec_setattributes(const char *native, uint16_t setro, uint16_t ro,
                                     uint16_t sethidden, uint16_t hidden, uint16_t setsystem,
                                     uint16_t system) {
  struct stat st;
  if (_x_calls.stat(native, &st) != 0) {
    uint32_t err = _x_os_error();
    return err == QIRA_ERR_NOENTRY ? QIRA_ERR_NOTFOUND : err;
  }
  if (isset(sethidden) && hidden == 1) return QIRA_ERR_NOTPOSSIBLE;
  if (isset(setsystem) && system == 1) return QIRA_ERR_NOTPOSSIBLE;
  if (isset(setro) && ro != readonlystate(native)) return QIRA_ERR_NOTPOSSIBLE;
  return QIRA_OK;
}

uint32_t qira_platspec_setdates(const char *native, uint16_t isdir, uint16_t setcreated,
                                const uint16_t *created, uint32_t createdcount,
                                uint16_t setchanged, const uint16_t *changed,
                                uint32_t changedcount, uint16_t setaccessed,
                                const uint16_t *accessed, uint32_t accessedcount) {
  (void)isdir;  // Linux sets dates on files and directories alike.
  (void)created;
  // There is no creation date to set; asking for "no date" is harmless.
  if (isset(setcreated) && createdcount != 0) return QIRA_ERR_NOTPOSSIBLE;
  if (!isset(setchanged) && !isset(setaccessed)) return QIRA_OK;
  struct stat st;
  uint32_t err = statname(native, &st);
  if (err) return err;
  struct utimbuf times;
  times.actime = st.st_atime;
  times.modtime = st.st_mtime;
  err = requestedtime(setchanged, changed, changedcount, &times.modtime);
  if (!err) err = requestedtime(setaccessed, accessed, accessedcount, &times.actime);
  if (err) return err;
  if (_x_sys_utime(native, &times) != 0) return _x_os_error();
  return QIRA_OK;
}
