// The QIRAdirectoryentry type: its private data's hooks, the constructor, the
// construction path the directory object uses, the refresh of the nine
// properties, and the opening and closing steps its methods share.
#include "objects/dentobj.h"
#include "module/qiratyp.h"
#include "platform/platnames.h"

namespace {

// Every property write of an entry passes this flag.
constexpr uint16_t kPropFlag = 1;

// Dates and sizes are never negative.
constexpr uint16_t kPositive = 0;

QiraObjRef _x_selfref(const QiraEntryPrivate *p) { return QiraObjRef{p->object, 0}; }

// A date property: integer digits, or no value when the record has no date.
uint32_t _x_setdate(QiraHostFn *table, QiraModuleCtx *mc, const QiraObjRef &self,
                    uint32_t symbol, const QiraDigits4 &date) {
  if (date.count == 0)
    return TARVOUtil_SetPropConst(table, &self, symbol, QIRA_TAG_NONE, kPropFlag);
  return TARVOUtil_SetPropIntDigits(table, mc, &self, symbol, kPositive, date.d, date.count,
                                    kPropFlag);
}

// Only a file has a size; an empty file is an integer with no digits, which
// is not the same as no value.
uint32_t _x_setsize(QiraHostFn *table, QiraModuleCtx *mc, const QiraObjRef &self,
                    const QiraEntryInfo *rec) {
  if (rec->entrytype != QIRA_ENTRY_FILE)
    return TARVOUtil_SetPropConst(table, &self, QIRA_SYM_SIZE, QIRA_TAG_NONE, kPropFlag);
  return TARVOUtil_SetPropIntDigits(table, mc, &self, QIRA_SYM_SIZE, kPositive, rec->size.d,
                                    rec->size.count, kPropFlag);
}

uint32_t _x_setentrytype(QiraHostFn *table, QiraModuleCtx *mc, const QiraObjRef &self,
                         uint32_t entrytype) {
  const QiraIdStr *row = nullptr;
  if (TARVOIdedStr_GetIdedStr(qira_direntry_types, QIRA_DIRENTRY_TYPE_COUNT, entrytype, &row) !=
      QIRA_OK)
    return QIRA_ERR_BADENTRYTYPE;
  return TARVOUtil_SetPropString(table, mc, &self, QIRA_SYM_ENTRYTYPE, row->text,
                                 uint32_t(row->len), kPropFlag);
}

// The `name` property: the last component of the native name converted on
// its own, so that passing it back to a method reaches this same entry.
uint32_t _x_setname(QiraHostFn *table, QiraModuleCtx *mc, const QiraEntryPrivate *p) {
  uint16_t *name = nullptr;
  uint32_t len = 0;
  uint32_t code = qira_platspec_lastname(p->native, mc->group, &name, &len);
  const QiraObjRef self = _x_selfref(p);
  if (code == QIRA_OK) code = TARVOUtil_SetPropString(table, mc, &self, QIRA_SYM_NAME, name, len,
                                                      kPropFlag);
  Mem_Free(name);
  return code;
}

void _x_freenames(QiraEntryPrivate *p) {
  Mem_Free(p->fullname);
  Mem_Free(p->native);
  p->fullname = nullptr;
  p->fulllen = 0;
  p->native = nullptr;
}

// The work of `new` once its arguments are read: resolve the name, give the
// object its own API block, read the entry and build the object.  Every
// temporary is released here; on success *priv_out holds the new object's
// private data and the object one reference, to be handed over.
uint32_t _x_newentry(QiraModuleCtx *mc, const QiraHostFn *table, QiraTypeRecord *type,
                     const uint16_t *name, uint32_t len, QiraEntryPrivate **priv_out) {
  uint16_t *full = nullptr;
  uint32_t fulllen = 0;
  char *native = nullptr;
  uint32_t code =
      qira_platspec_nameandcheckdir(name, len, mc->group, &full, &fulllen, &native, nullptr);
  if (code != QIRA_OK) return code;

  uint32_t dirlen = 0;
  (void)qira_platspec_pathpartlength(full, fulllen, &dirlen);
  QiraApiBlock *api = _x_apiblock_new(mc->group, table);
  if (!api) code = QIRA_ERR_NOMEM;
  QiraEntryInfo rec{};
  if (code == QIRA_OK) code = qira_platspec_getentryinfo(native, mc->group, &rec);
  if (code == QIRA_OK) {
    void *priv = nullptr;
    code = TARVO_MakeNewQIRADirEntryObject(mc, api, type, full, dirlen, &rec, &priv);
    Mem_Free(rec.name);
    if (code == QIRA_OK) *priv_out = static_cast<QiraEntryPrivate *>(priv);
  }
  // After a success the new object holds the only count of the block.
  _x_apiblock_drop(api);
  Mem_Free(full);
  Mem_Free(native);
  return code;
}

}  // namespace

// ---- property refresh ------------------------------------------------------------

uint32_t _x_updatedirentrydates(QiraEntryPrivate *p, QiraModuleCtx *mc, QiraHostFn *table,
                                const QiraEntryInfo *rec) {
  const QiraObjRef self = _x_selfref(p);
  uint32_t code = _x_setdate(table, mc, self, QIRA_SYM_CREATED, rec->created);
  if (code == QIRA_OK) code = _x_setdate(table, mc, self, QIRA_SYM_LASTCHANGED, rec->lastchanged);
  if (code == QIRA_OK)
    code = _x_setdate(table, mc, self, QIRA_SYM_LASTACCESSED, rec->lastaccessed);
  return code;
}

uint32_t _x_updatedirentryattributes(QiraEntryPrivate *p, QiraModuleCtx *, QiraHostFn *table,
                                     const QiraEntryInfo *rec) {
  const QiraObjRef self = _x_selfref(p);
  uint32_t code = TARVOUtil_SetPropBool(table, &self, QIRA_SYM_READONLY, rec->readonly, kPropFlag);
  if (code == QIRA_OK)
    code = TARVOUtil_SetPropBool(table, &self, QIRA_SYM_HIDDEN, rec->hidden, kPropFlag);
  if (code == QIRA_OK)
    code = TARVOUtil_SetPropBool(table, &self, QIRA_SYM_SYSTEM, rec->system, kPropFlag);
  return code;
}

uint32_t _x_updatedirentry(QiraEntryPrivate *p, const uint16_t *name, uint32_t len,
                           QiraModuleCtx *mc, QiraHostFn *table, const QiraEntryInfo *rec) {
  uint16_t *full = nullptr;
  uint32_t fulllen = 0;
  char *native = nullptr;
  uint32_t code =
      qira_platspec_nameandcheckdir(name, len, mc->group, &full, &fulllen, &native, nullptr);
  if (code != QIRA_OK) return code;
  return _x_pointdirentry(p, full, fulllen, native, mc, table, rec);
}

uint32_t _x_pointdirentry(QiraEntryPrivate *p, uint16_t *full, uint32_t fulllen, char *native,
                          QiraModuleCtx *mc, QiraHostFn *table, const QiraEntryInfo *rec) {
  uint32_t code = QIRA_OK;
  // Both names are replaced together: neither is ever kept without the other.
  _x_freenames(p);
  p->entrytype = rec->entrytype;
  p->fullname = full;
  p->fulllen = fulllen;
  p->native = native;

  // The order of the writes is the order a failure leaves them in.
  const QiraObjRef self = _x_selfref(p);
  code = _x_setname(table, mc, p);
  if (code == QIRA_OK) code = _x_updatedirentrydates(p, mc, table, rec);
  if (code == QIRA_OK) code = _x_setsize(table, mc, self, rec);
  if (code == QIRA_OK) code = _x_setentrytype(table, mc, self, rec->entrytype);
  if (code == QIRA_OK) code = _x_updatedirentryattributes(p, mc, table, rec);
  return code;
}

// ---- the frame the methods share -------------------------------------------------

uint32_t _x_entrycall_begin(EntryCall &c, void *callctx, const QiraObjRef *receiver,
                            uint32_t argc, QiraArgSlot *slots, const QiraNameDesc *descs,
                            uint32_t count) {
  c.error = QiraObjRef{nullptr, 0};
  for (uint32_t &p : c.pos) p = 0;
  c.mc = _x_callmodctx(callctx);
  c.priv = static_cast<QiraEntryPrivate *>(TARVO_ObjRefGetPrivatePtr(receiver));
  // Without its API block the object never finished being built.
  if (!c.priv || !c.priv->api) return QIRA_ERR_NOPRIVATE;
  c.table = c.priv->api->api;
  return QIRA_HOSTFN(c.table, QIRA_API_PARAMPOS, QiraHost_ParamPos)(c.pos, descs, count, argc,
                                                                    slots);
}

uint32_t _x_entrycall_readerror(EntryCall &c, uint32_t errorpos, QiraArgSlot *slots) {
  return TARVOParam_ObjParam(c.table, errorpos, slots, &c.error);
}

uint32_t _x_entrycall_end(EntryCall &c, void *callctx, QiraResult *result, uint32_t code) {
  if (code != QIRA_OK) return _x_methodfailure(c.table, c.mc, callctx, result, c.error, code);
  _x_handbackobject(c.table, result, c.priv->object, true);
  return QIRA_OK;
}

// ---- exported: construction and hooks --------------------------------------------

extern "C" QIRA_API uint32_t TARVO_MakeNewQIRADirEntryObject(QiraModuleCtx *mc,
                                                             QiraApiBlock *api,
                                                             QiraTypeRecord *type,
                                                             const uint16_t *dirname,
                                                             uint32_t dirlen,
                                                             const QiraEntryInfo *rec,
                                                             void **priv_out) {
  QiraHostFn *table = api->api;
  QiraObjRef ref{nullptr, 0};
  uint32_t code = QIRA_HOSTFN(table, QIRA_API_NEWOBJ, QiraHost_NewObj)(type, &ref);
  if (code != QIRA_OK) return code;
  ref.word = 0;
  QIRA_HOSTFN(table, QIRA_API_ADDREF, QiraHost_Ref)(ref.obj);

  auto *p = static_cast<QiraEntryPrivate *>(TARVO_ObjRefGetPrivatePtr(&ref));
  if (!p) code = QIRA_ERR_NOPRIVATE;
  if (code == QIRA_OK) {
    p->object = ref.obj;
    p->modctx = mc;
    p->api = api;
    TARVOUtil_RefCountInc(&api->rc);
    uint16_t *joined = nullptr;
    uint32_t joinedlen = 0;
    code = qira_platspec_makefullname(dirname, dirlen, rec->name, rec->namelen, mc->group,
                                      &joined, &joinedlen);
    if (code == QIRA_OK) {
      code = _x_updatedirentry(p, joined, joinedlen, mc, table, rec);
      Mem_Free(joined);
    }
  }
  if (code != QIRA_OK) {
    // A half-built object never reaches a script; the host's terminator
    // undoes what the private data already holds.
    QIRA_HOSTFN(table, QIRA_API_RELEASE, QiraHost_Ref)(ref.obj);
    return code;
  }
  if (priv_out) *priv_out = p;
  return QIRA_OK;
}

extern "C" QIRA_API uint32_t TARVO_NewQIRADirEntryObject(void *callctx, uint32_t argc,
                                                         QiraArgSlot *slots, uint32_t *argc_out,
                                                         const QiraObjRef *receiver,
                                                         QiraResult *result) {
  QiraModuleCtx *mc = _x_callmodctx(callctx);
  QiraHostApi table;
  QiraNewArgs args;
  uint32_t code = _x_readnewargs(callctx, argc, slots, receiver, qira_newdirentry_params_descs,
                                 table, true, &args);
  if (code != QIRA_OK) return _x_methodreturn(argc, argc_out, code);

  QiraEntryPrivate *priv = nullptr;
  code = _x_newentry(mc, table, args.type, args.name, args.len, &priv);
  if (code != QIRA_OK) {
    code = _x_methodfailure(table, mc, callctx, result, args.error, code);
  } else {
    // The reference the construction took is the one the host receives.
    _x_handbackobject(table, result, priv->object, false);
  }
  return _x_methodreturn(argc, argc_out, code);
}

extern "C" QIRA_API void TARVO_PrivateInitQIRADirEntryObj(void *priv) {
  auto *p = static_cast<QiraEntryPrivate *>(priv);
  p->api = nullptr;
  p->fullname = nullptr;
  p->fulllen = 0;
  p->native = nullptr;
}

extern "C" QIRA_API void TARVO_PrivateTermQIRADirEntryObj(void *priv) {
  auto *p = static_cast<QiraEntryPrivate *>(priv);
  // The block goes with its last holder: this entry, its directory or a sibling.
  _x_apiblock_drop(p->api);
  p->api = nullptr;
  _x_freenames(p);
}

extern "C" QIRA_API uint32_t TARVO_GetQIRADirEntryObjValue(const QiraObjRef *ref,
                                                           uint32_t *tag_out,
                                                           QiraValue *value_out) {
  auto *p = static_cast<QiraEntryPrivate *>(TARVO_ObjRefGetPrivatePtr(ref));
  if (!p || !p->api) {
    if (tag_out) *tag_out = QIRA_TAG_NONE;
    return QIRA_OK;
  }
  // Used as a plain value, an entry is its whole full name.
  uint32_t code = QIRA_HOSTFN(p->api->api, QIRA_API_MKSTR, QiraHost_MkStr)(
      p->modctx, value_out, p->fullname, p->fulllen);
  if (code == QIRA_OK && tag_out) *tag_out = QIRA_TAG_STRING;
  return code;
}

extern "C" QIRA_API uint32_t TARVO_SetQIRADirEntryObjValue(void) {
  return QIRA_ERR_ACCESS;  // an entry's value is its name: it cannot be assigned
}

uint32_t _x_relocateresolved(void *priv, uint16_t **full, uint32_t fulllen, char **native) {
  auto *p = static_cast<QiraEntryPrivate *>(priv);
  QiraModuleCtx *mc = p->modctx;
  QiraEntryInfo rec{};
  uint32_t code = qira_platspec_getentryinfo(*native, mc->group, &rec);
  if (code != QIRA_OK) return code;
  code = _x_pointdirentry(p, *full, fulllen, *native, mc, p->api->api, &rec);
  *full = nullptr;
  *native = nullptr;
  Mem_Free(rec.name);
  return code;
}

extern "C" QIRA_API uint32_t TARVOQIRADirEntry_Relocate(void *priv, const uint16_t *name,
                                                        uint32_t len) {
  auto *p = static_cast<QiraEntryPrivate *>(priv);
  // Runs from a block, outside any method call: the stored context serves.
  QiraModuleCtx *mc = p->modctx;
  uint16_t *full = nullptr;
  uint32_t fulllen = 0;
  char *native = nullptr;
  uint32_t code =
      qira_platspec_nameandcheckdir(name, len, mc->group, &full, &fulllen, &native, nullptr);
  if (code != QIRA_OK) return code;
  QiraEntryInfo rec{};
  code = qira_platspec_getentryinfo(native, mc->group, &rec);
  if (code == QIRA_OK) {
    code = _x_updatedirentry(p, full, fulllen, mc, p->api->api, &rec);
    Mem_Free(rec.name);
  }
  Mem_Free(full);
  Mem_Free(native);
  return code;
}
