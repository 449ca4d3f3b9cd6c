// The methods of QIRAdirectoryentry that act on the one entry in place:
// getdirectory, rename, setattributes, setdates.  Each reads its parameters,
// then `error`, does its work through the platform layer and refreshes only
// the properties the work can have changed.
#include "objects/dentobj.h"
#include "objects/frame.h"

namespace {

using EntryPrivate = QiraEntryPrivate;

// Reads the entry again after a change and lets `refresh` rewrite the
// properties the change concerns.  The record's name is ours to free.
template <typename Refresh>
[[nodiscard]] uint32_t _x_reread(QiraModuleCtx *mc, const char *native, Refresh refresh) {
  QiraEntryInfo rec{};
  uint32_t code = qira_platspec_getentryinfo(native, mc->group, &rec);
  if (code != QIRA_OK) return code;
  code = refresh(rec);
  Mem_Free(rec.name);
  return code;
}

struct GetDir : QiraMethod<QiraParams_getentdir, EntryPrivate> {
  [[nodiscard]] uint32_t work(Call &c) {
    EntryPrivate *p = c.self;
    QiraTypeRecord *dirtype =
        TARVOUtil_GetTypeInSameModule(c.table, p->object, TARVO_PrivateInitQIRADirObj);
    if (!dirtype) return QIRA_ERR_NOTYPE;
    // The parent shares this entry's API block; its value reaches the script
    // once its listing block has run, and listing failures go to `error` too.
    return TARVOQIRADir_GenericNew(c.mc, dirtype, p->names.full,
                                   _x_prefixlength(p->names.full, p->names.fulllen), p->api,
                                   c.error.obj, c.error.word, c.in.result);
  }
};

struct Rename : QiraMethod<QiraParams_rename, EntryPrivate> {
  const uint16_t *name = nullptr;
  uint32_t len = 0;
  [[nodiscard]] uint32_t read(Call &c) { return c.str<QIRA_SYM_NEWNAME>(&name, &len); }
  [[nodiscard]] uint32_t work(Call &c) { return c.returnself(rename(c)); }

  [[nodiscard]] uint32_t rename(Call &c) const {
    // Renaming never moves to another directory.
    if (_x_prefixlength(name, len) != 0) return QIRA_ERR_SLASH;
    EntryPrivate *p = c.self;
    uint16_t *newfull = nullptr;
    uint32_t newfulllen = 0;
    uint32_t code = qira_platspec_makefullname(p->names.full,
                                               _x_prefixlength(p->names.full, p->names.fulllen),
                                               name, len, c.mc->group, &newfull, &newfulllen);
    if (code != QIRA_OK) return code;

    // The same name: nothing on disk changes and nothing needs re-reading.
    const uint32_t bytes = sizeof(uint16_t);
    if (Ram_UBYTE_cmp(p->names.full, p->names.fulllen * bytes, newfull, newfulllen * bytes) != 0) {
      char *newnative = nullptr;
      code = qira_platspec_rename(p->names.native, newfull, newfulllen, &newnative, c.mc->group);
      if (code == QIRA_OK) {
        code = _x_reread(c.mc, newnative, [&](const QiraEntryInfo &rec) {
          return _x_updatedirentry(p, newfull, newfulllen, c.mc, c.table, &rec);
        });
        Mem_Free(newnative);
      }
    }
    Mem_Free(newfull);
    return code;
  }
};

// Applies a change to the entry, reads it again and lets `refresh` rewrite
// the properties the change concerns; the entry itself is the call's value.
// Nothing asked, nothing touched: not even an entry that has gone away.
template <typename Call, typename Change, typename Refresh>
[[nodiscard]] uint32_t _x_change(Call &c, bool asked, Change change, Refresh refresh) {
  uint32_t code = QIRA_OK;
  if (asked) code = change(c.self->names.native);
  if (asked && code == QIRA_OK) code = _x_reread(c.mc, c.self->names.native, refresh);
  return c.returnself(code);
}

struct SetAttributes : QiraMethod<QiraParams_setattr, EntryPrivate> {
  QiraFlagArg f[3];  // readonly, hidden, system
  [[nodiscard]] uint32_t read(Call &c) {
    return c.optflags<QIRA_SYM_READONLY, QIRA_SYM_HIDDEN, QIRA_SYM_SYSTEM>(f);
  }
  [[nodiscard]] uint32_t work(Call &c) {
    const auto change = [&](const char *native) {
      return qira_platspec_setattributes(native, f[0].given, f[0].value, f[1].given, f[1].value,
                                         f[2].given, f[2].value);
    };
    return _x_change(c, f[0].given || f[1].given || f[2].given, change,
                     [&](const QiraEntryInfo &rec) {
                       return _x_updatedirentryattributes(c.self, c.mc, c.table, &rec);
                     });
  }
};

struct SetDates : QiraMethod<QiraParams_setdates, EntryPrivate> {
  QiraDateArg d[3];  // created, lastchanged, lastaccessed
  [[nodiscard]] uint32_t read(Call &c) {
    return c.optdates<QIRA_SYM_CREATED, QIRA_SYM_LASTCHANGED, QIRA_SYM_LASTACCESSED>(d);
  }
  [[nodiscard]] uint32_t work(Call &c) {
    const uint16_t isdir = c.self->entrytype == QIRA_ENTRY_DIRECTORY ? 1 : 0;
    const auto change = [&](const char *native) {
      return qira_platspec_setdates(native, isdir, d[0].given, d[0].digits, d[0].count,
                                    d[1].given, d[1].digits, d[1].count, d[2].given,
                                    d[2].digits, d[2].count);
    };
    return _x_change(c, d[0].given || d[1].given || d[2].given, change,
                     [&](const QiraEntryInfo &rec) {
                       return _x_updatedirentrydates(c.self, c.mc, c.table, &rec);
                     });
  }
};

}  // namespace

QIRA_METHOD_ENTRY(TARVOQIRADirEntry_GetDir, GetDir)
QIRA_METHOD_ENTRY(TARVOQIRADirEntry_Rename, Rename)
QIRA_METHOD_ENTRY(TARVOQIRADirEntry_SetAttributes, SetAttributes)
QIRA_METHOD_ENTRY(TARVOQIRADirEntry_SetDates, SetDates)
