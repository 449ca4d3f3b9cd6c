// The methods of QIRAdirectoryentry that act on the one entry in place:
// getdirectory, rename, setattributes, setdates.  Each reads its parameters,
// then `error`, does its work through the platform layer and refreshes only
// the properties the work can have changed.
#include "objects/dentobj.h"
#include "module/qiratyp.h"

namespace {

// EntryCall holds the positions of the longest list an entry method has.
static_assert(QiraParams_getentdir::count <= kEntryMaxParams &&
              QiraParams_rename::count <= kEntryMaxParams &&
              QiraParams_setattr::count <= kEntryMaxParams &&
              QiraParams_setdates::count <= kEntryMaxParams &&
              QiraParams_copymove::count <= kEntryMaxParams);

// A flag argument's given/value pair; absent arguments are not given.
struct Flag {
  uint16_t given;
  uint16_t value;
};

// A date argument: absent ones carry no digits.
struct Date {
  uint16_t given;
  const uint16_t *digits;
  uint32_t count;
};

// Reads the flags at the first `n` positions; the first unreadable one is
// the call's status.
uint32_t _x_readflags(EntryCall &c, QiraArgSlot *slots, Flag *flags, uint32_t n) {
  for (uint32_t i = 0; i < n; ++i) {
    flags[i] = Flag{0, 0};
    if (c.pos[i] == 0) continue;
    flags[i].given = 1;
    uint32_t code = TARVOParam_BoolParam(c.mc, c.table, c.pos[i], slots, &flags[i].value);
    if (code != QIRA_OK) return code;
  }
  return QIRA_OK;
}

// Reads the dates at the first `n` positions; a date before year 1 does not
// exist, so a negative value is refused before anything else happens.
uint32_t _x_readdates(EntryCall &c, QiraArgSlot *slots, Date *dates, uint32_t n) {
  for (uint32_t i = 0; i < n; ++i) {
    dates[i] = Date{0, nullptr, 0};
    if (c.pos[i] == 0) continue;
    uint16_t sign = 0;
    uint32_t code = TARVOParam_IntDigitsFromNumericParam(c.mc, c.table, c.pos[i], slots, &sign,
                                                         &dates[i].digits, &dates[i].count);
    if (code != QIRA_OK) return code;
    if (sign != 0) return QIRA_ERR_RANGE;
    dates[i].given = 1;
  }
  return QIRA_OK;
}

// Reads the entry again after a change and lets `refresh` rewrite the
// properties the change concerns.  The record's name is ours to free.
template <typename Refresh>
uint32_t _x_reread(EntryCall &c, const char *native, Refresh refresh) {
  QiraEntryInfo rec{};
  uint32_t code = qira_platspec_getentryinfo(native, c.mc->group, &rec);
  if (code != QIRA_OK) return code;
  code = refresh(rec);
  Mem_Free(rec.name);
  return code;
}

// rename's work once its arguments are read.
uint32_t _x_rename(EntryCall &c, const uint16_t *newname, uint32_t newlen) {
  uint32_t slash = 0;
  (void)qira_platspec_pathpartlength(newname, newlen, &slash);
  if (slash != 0) return QIRA_ERR_SLASH;  // renaming never moves to another directory

  QiraEntryPrivate *p = c.priv;
  uint32_t dirlen = 0;
  (void)qira_platspec_pathpartlength(p->fullname, p->fulllen, &dirlen);
  uint16_t *newfull = nullptr;
  uint32_t newfulllen = 0;
  uint32_t code = qira_platspec_makefullname(p->fullname, dirlen, newname, newlen, c.mc->group,
                                             &newfull, &newfulllen);
  if (code != QIRA_OK) return code;

  // The same name: nothing on disk changes and nothing needs re-reading.
  const uint32_t bytes = sizeof(uint16_t);
  if (Ram_UBYTE_cmp(p->fullname, p->fulllen * bytes, newfull, newfulllen * bytes) != 0) {
    char *newnative = nullptr;
    code = qira_platspec_rename(p->native, newfull, newfulllen, &newnative, c.mc->group);
    if (code == QIRA_OK) {
      code = _x_reread(c, newnative, [&](const QiraEntryInfo &rec) {
        return _x_updatedirentry(p, newfull, newfulllen, c.mc, c.table, &rec);
      });
      Mem_Free(newnative);
    }
  }
  Mem_Free(newfull);
  return code;
}

}  // namespace

extern "C" QIRA_API uint32_t TARVOQIRADirEntry_GetDir(void *callctx, uint32_t argc,
                                                      QiraArgSlot *slots, uint32_t *argc_out,
                                                      const QiraObjRef *receiver,
                                                      QiraResult *result) {
  EntryCall c;
  uint32_t code = _x_entrycall_begin(c, callctx, receiver, argc, slots, qira_getentdir_params_descs,
                                     _x_paramcount(qira_getentdir_params_descs));
  if (code == QIRA_OK)
    code = _x_entrycall_readerror(c, c.pos[QiraParams_getentdir::at(QIRA_SYM_ERROR)], slots);
  if (code != QIRA_OK) return _x_methodreturn(argc, argc_out, code);

  QiraEntryPrivate *p = c.priv;
  uint32_t dirlen = 0;
  (void)qira_platspec_pathpartlength(p->fullname, p->fulllen, &dirlen);
  QiraTypeRecord *dirtype =
      TARVOUtil_GetTypeInSameModule(c.table, p->object, TARVO_PrivateInitQIRADirObj);
  if (!dirtype) {
    code = QIRA_ERR_NOTYPE;
  } else {
    // The parent shares this entry's API block; its value reaches the script
    // once its listing block has run, and listing failures go to `error` too.
    code = TARVOQIRADir_GenericNew(c.mc, dirtype, p->fullname, dirlen, p->api, c.error.obj,
                                   c.error.word, result);
  }
  if (code != QIRA_OK)
    code = _x_methodfailure(c.table, c.mc, callctx, result, c.error, code);
  return _x_methodreturn(argc, argc_out, code);
}

extern "C" QIRA_API uint32_t TARVOQIRADirEntry_Rename(void *callctx, uint32_t argc,
                                                      QiraArgSlot *slots, uint32_t *argc_out,
                                                      const QiraObjRef *receiver,
                                                      QiraResult *result) {
  using Params = QiraParams_rename;
  constexpr uint32_t kNewName = Params::at(QIRA_SYM_NEWNAME), kError = Params::at(QIRA_SYM_ERROR);
  EntryCall c;
  uint32_t code = _x_entrycall_begin(c, callctx, receiver, argc, slots, qira_rename_params_descs,
                                     _x_paramcount(qira_rename_params_descs));
  const uint16_t *newname = nullptr;
  uint32_t newlen = 0;
  if (code == QIRA_OK && c.pos[kNewName] == 0) code = QIRA_ERR_MISSINGPARAM;
  if (code == QIRA_OK)
    code = TARVOParam_StrParam(c.mc, c.table, c.pos[kNewName], slots, &newname, &newlen);
  if (code == QIRA_OK) code = _x_entrycall_readerror(c, c.pos[kError], slots);
  if (code != QIRA_OK) return _x_methodreturn(argc, argc_out, code);

  code = _x_rename(c, newname, newlen);
  return _x_methodreturn(argc, argc_out, _x_entrycall_end(c, callctx, result, code));
}

extern "C" QIRA_API uint32_t TARVOQIRADirEntry_SetAttributes(void *callctx, uint32_t argc,
                                                             QiraArgSlot *slots,
                                                             uint32_t *argc_out,
                                                             const QiraObjRef *receiver,
                                                             QiraResult *result) {
  // readonly, hidden, system are read as one run of flags, then error.
  using Params = QiraParams_setattr;
  static_assert(Params::at(QIRA_SYM_READONLY) == 0 && Params::at(QIRA_SYM_HIDDEN) == 1 &&
                Params::at(QIRA_SYM_SYSTEM) == 2);
  constexpr uint32_t kFlags = 3, kError = Params::at(QIRA_SYM_ERROR);
  EntryCall c;
  Flag f[kFlags];
  uint32_t code = _x_entrycall_begin(c, callctx, receiver, argc, slots, qira_setattr_params_descs,
                                     _x_paramcount(qira_setattr_params_descs));
  if (code == QIRA_OK) code = _x_readflags(c, slots, f, kFlags);
  if (code == QIRA_OK) code = _x_entrycall_readerror(c, c.pos[kError], slots);
  if (code != QIRA_OK) return _x_methodreturn(argc, argc_out, code);

  // Nothing asked, nothing touched: not even an entry that has gone away.
  if (f[0].given || f[1].given || f[2].given) {
    QiraEntryPrivate *p = c.priv;
    code = qira_platspec_setattributes(p->native, f[0].given, f[0].value, f[1].given, f[1].value,
                                       f[2].given, f[2].value);
    if (code == QIRA_OK)
      code = _x_reread(c, p->native, [&](const QiraEntryInfo &rec) {
        return _x_updatedirentryattributes(p, c.mc, c.table, &rec);
      });
  }
  return _x_methodreturn(argc, argc_out, _x_entrycall_end(c, callctx, result, code));
}

extern "C" QIRA_API uint32_t TARVOQIRADirEntry_SetDates(void *callctx, uint32_t argc,
                                                        QiraArgSlot *slots, uint32_t *argc_out,
                                                        const QiraObjRef *receiver,
                                                        QiraResult *result) {
  // created, lastchanged, lastaccessed are read as one run of dates, then error.
  using Params = QiraParams_setdates;
  static_assert(Params::at(QIRA_SYM_CREATED) == 0 && Params::at(QIRA_SYM_LASTCHANGED) == 1 &&
                Params::at(QIRA_SYM_LASTACCESSED) == 2);
  constexpr uint32_t kDates = 3, kError = Params::at(QIRA_SYM_ERROR);
  EntryCall c;
  Date d[kDates];
  uint32_t code = _x_entrycall_begin(c, callctx, receiver, argc, slots,
                                     qira_setdates_params_descs,
                                     _x_paramcount(qira_setdates_params_descs));
  if (code == QIRA_OK) code = _x_readdates(c, slots, d, kDates);
  if (code == QIRA_OK) code = _x_entrycall_readerror(c, c.pos[kError], slots);
  if (code != QIRA_OK) return _x_methodreturn(argc, argc_out, code);

  if (d[0].given || d[1].given || d[2].given) {
    QiraEntryPrivate *p = c.priv;
    const uint16_t isdir = p->entrytype == QIRA_ENTRY_DIRECTORY ? 1 : 0;
    code = qira_platspec_setdates(p->native, isdir, d[0].given, d[0].digits, d[0].count,
                                  d[1].given, d[1].digits, d[1].count, d[2].given, d[2].digits,
                                  d[2].count);
    if (code == QIRA_OK)
      code = _x_reread(c, p->native, [&](const QiraEntryInfo &rec) {
        return _x_updatedirentrydates(p, c.mc, c.table, &rec);
      });
  }
  return _x_methodreturn(argc, argc_out, _x_entrycall_end(c, callctx, result, code));
}
