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

// readonly, hidden, system are read as one run of flags, then error.
struct SetAttributes : QiraMethod<QiraParams_setattr, EntryPrivate> {
  QiraFlagArg ro, hidden, system;
  [[nodiscard]] uint32_t read(Call &c) {
    uint32_t code = c.optflag<QIRA_SYM_READONLY>(&ro);
    if (code == QIRA_OK) code = c.optflag<QIRA_SYM_HIDDEN>(&hidden);
    if (code == QIRA_OK) code = c.optflag<QIRA_SYM_SYSTEM>(&system);
    return code;
  }
  [[nodiscard]] uint32_t work(Call &c) {
    // Nothing asked, nothing touched: not even an entry that has gone away.
    if (!ro.given && !hidden.given && !system.given) return c.returnself(QIRA_OK);
    EntryPrivate *p = c.self;
    uint32_t code = qira_platspec_setattributes(p->names.native, ro.given, ro.value, hidden.given,
                                                hidden.value, system.given, system.value);
    if (code == QIRA_OK)
      code = _x_reread(c.mc, p->names.native, [&](const QiraEntryInfo &rec) {
        return _x_updatedirentryattributes(p, c.mc, c.table, &rec);
      });
    return c.returnself(code);
  }
};

// created, lastchanged, lastaccessed are read as one run of dates, then error.
struct SetDates : QiraMethod<QiraParams_setdates, EntryPrivate> {
  QiraDateArg created, changed, accessed;
  [[nodiscard]] uint32_t read(Call &c) {
    uint32_t code = c.optdate<QIRA_SYM_CREATED>(&created);
    if (code == QIRA_OK) code = c.optdate<QIRA_SYM_LASTCHANGED>(&changed);
    if (code == QIRA_OK) code = c.optdate<QIRA_SYM_LASTACCESSED>(&accessed);
    return code;
  }
  [[nodiscard]] uint32_t work(Call &c) {
    if (!created.given && !changed.given && !accessed.given) return c.returnself(QIRA_OK);
    EntryPrivate *p = c.self;
    const uint16_t isdir = p->entrytype == QIRA_ENTRY_DIRECTORY ? 1 : 0;
    uint32_t code = qira_platspec_setdates(
        p->names.native, isdir, created.given, created.digits, created.count, changed.given,
        changed.digits, changed.count, accessed.given, accessed.digits, accessed.count);
    if (code == QIRA_OK)
      code = _x_reread(c.mc, p->names.native, [&](const QiraEntryInfo &rec) {
        return _x_updatedirentrydates(p, c.mc, c.table, &rec);
      });
    return c.returnself(code);
  }
};

}  // namespace

extern "C" QIRA_API uint32_t TARVOQIRADirEntry_GetDir(QIRA_METHOD_PARAMS) {
  return _x_frame(GetDir{}, QIRA_METHOD_ARGS);
}

extern "C" QIRA_API uint32_t TARVOQIRADirEntry_Rename(QIRA_METHOD_PARAMS) {
  return _x_frame(Rename{}, QIRA_METHOD_ARGS);
}

extern "C" QIRA_API uint32_t TARVOQIRADirEntry_SetAttributes(QIRA_METHOD_PARAMS) {
  return _x_frame(SetAttributes{}, QIRA_METHOD_ARGS);
}

extern "C" QIRA_API uint32_t TARVOQIRADirEntry_SetDates(QIRA_METHOD_PARAMS) {
  return _x_frame(SetDates{}, QIRA_METHOD_ARGS);
}
