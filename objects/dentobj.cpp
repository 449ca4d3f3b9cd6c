// The QIRAdirectoryentry type: its private data's hooks, the constructor, the
// construction path the directory object uses, the refresh of the nine
// properties, and re-pointing an entry at another name.
#include "objects/dentobj.h"
#include "objects/frame.h"
#include "platform/platnames.h"

namespace {

// Every property write of an entry passes this flag.
constexpr uint16_t kPropFlag = 1;

// Dates and sizes are never negative.
constexpr uint16_t kPositive = 0;

[[nodiscard]] QiraObjRef _x_selfref(const QiraEntryPrivate *p) { return QiraObjRef{p->object, 0}; }

// A date property: integer digits, or no value when the record has no date.
[[nodiscard]] uint32_t _x_setdate(QiraHostFn *table, QiraModuleCtx *mc, const QiraObjRef &self,
                    uint32_t symbol, const QiraDigits4 &date) {
  if (date.count == 0)
    return TARVOUtil_SetPropConst(table, &self, symbol, QIRA_TAG_NONE, kPropFlag);
  return TARVOUtil_SetPropIntDigits(table, mc, &self, symbol, kPositive, date.d, date.count,
                                    kPropFlag);
}

// Only a file has a size; an empty file is an integer with no digits, which
// is not the same as no value.
[[nodiscard]] uint32_t _x_setsize(QiraHostFn *table, QiraModuleCtx *mc, const QiraObjRef &self,
                    const QiraEntryInfo *rec) {
  if (rec->entrytype != QIRA_ENTRY_FILE)
    return TARVOUtil_SetPropConst(table, &self, QIRA_SYM_SIZE, QIRA_TAG_NONE, kPropFlag);
  return TARVOUtil_SetPropIntDigits(table, mc, &self, QIRA_SYM_SIZE, kPositive, rec->size.d,
                                    rec->size.count, kPropFlag);
}

[[nodiscard]] uint32_t _x_setentrytype(QiraHostFn *table, QiraModuleCtx *mc, const QiraObjRef &self,
                         uint32_t entrytype) {
  const QiraIdStr *row = nullptr;
  if (TARVOIdedStr_GetIdedStr(qira_direntry_types, QIRA_DIRENTRY_TYPE_COUNT, entrytype, &row) !=
      QIRA_OK)
    return QIRA_ERR_BADENTRYTYPE;
  return TARVOUtil_SetPropString(table, mc, &self, QIRA_SYM_ENTRYTYPE, row->text,
                                 uint32_t(row->len), kPropFlag);
}

// The entry's constructor refuses an empty name as the call's status, before
// `error` is read; the directory's resolves it like any other name.
constexpr bool kEmptyNameIsStatus = true;

// The work of `new` once its arguments are read: resolve the name, give the
// object its own API block, read the entry and build the object.  Every
// temporary is released here; on success *priv_out holds the new object's
// private data and the object one reference, to be handed over.
[[nodiscard]] uint32_t _x_newentry(QiraModuleCtx *mc, const QiraHostFn *table,
                                   QiraTypeRecord *type, const uint16_t *name, uint32_t len,
                                   QiraEntryPrivate **priv_out) {
  QiraNames names;
  uint32_t code = _x_resolvenames(name, len, mc->group, &names, nullptr);
  if (code != QIRA_OK) return code;

  const uint32_t dirlen = _x_prefixlength(names.full, names.fulllen);
  QiraApiBlock *api = _x_apiblock_new(mc->group, table);
  if (!api) code = QIRA_ERR_NOMEM;
  QiraEntryInfo rec{};
  if (code == QIRA_OK) code = qira_platspec_getentryinfo(names.native, mc->group, &rec);
  if (code == QIRA_OK) {
    void *priv = nullptr;
    code = TARVO_MakeNewQIRADirEntryObject(mc, api, type, names.full, dirlen, &rec, &priv);
    Mem_Free(rec.name);
    if (code == QIRA_OK) *priv_out = static_cast<QiraEntryPrivate *>(priv);
  }
  // After a success the new object holds the only count of the block.
  _x_apiblock_drop(api);
  _x_freenames(&names);
  return code;
}

struct NewEntry : QiraNewMethod<QiraParams_newdirentry, kEmptyNameIsStatus> {
  [[nodiscard]] uint32_t work(Call &c) {
    QiraEntryPrivate *priv = nullptr;
    const uint32_t code = _x_newentry(c.mc, c.table, c.self, name, len, &priv);
    // The reference the construction took is the one the host receives.
    if (code == QIRA_OK) _x_handback(c.table, c.in.result, priv->object);
    return code;
  }
};

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
  QiraNames names;
  const uint32_t code = _x_resolvenames(name, len, mc->group, &names, nullptr);
  if (code != QIRA_OK) return code;
  return _x_pointdirentry(p, &names, mc, table, rec);
}

uint32_t _x_pointdirentry(QiraEntryPrivate *p, QiraNames *names, QiraModuleCtx *mc,
                          QiraHostFn *table, const QiraEntryInfo *rec) {
  // Both names are replaced together: neither is ever kept without the other.
  _x_freenames(&p->names);
  p->entrytype = rec->entrytype;
  p->names = *names;
  *names = QiraNames{nullptr, 0, nullptr};

  // The order of the writes is the order a failure leaves them in.
  const QiraObjRef self = _x_selfref(p);
  uint32_t code = _x_setlastname(table, mc, self, p->names.native);
  if (code == QIRA_OK) code = _x_updatedirentrydates(p, mc, table, rec);
  if (code == QIRA_OK) code = _x_setsize(table, mc, self, rec);
  if (code == QIRA_OK) code = _x_setentrytype(table, mc, self, rec->entrytype);
  if (code == QIRA_OK) code = _x_updatedirentryattributes(p, mc, table, rec);
  return code;
}

// ---- exported: construction and hooks --------------------------------------------

extern "C" QIRA_API uint32_t TARVO_MakeNewQIRADirEntryObject(QiraModuleCtx *mc,
                                                             QiraApiBlock *api,
                                                             QiraTypeRecord *type,
                                                             const uint16_t *dirname,
                                                             uint32_t dirlen,
                                                             const QiraEntryInfo *rec,
                                                             void **priv_out) {
  QiraObjRef ref;
  QiraEntryPrivate *p = nullptr;
  uint32_t code = _x_newprivate(mc, api, type, &ref, &p);
  if (code != QIRA_OK) return code;
  uint16_t *joined = nullptr;
  uint32_t joinedlen = 0;
  code = qira_platspec_makefullname(dirname, dirlen, rec->name, rec->namelen, mc->group, &joined,
                                    &joinedlen);
  if (code == QIRA_OK) code = _x_updatedirentry(p, joined, joinedlen, mc, api->api, rec);
  Mem_Free(joined);
  if (code != QIRA_OK) {
    // A half-built object never reaches a script; the host's terminator
    // undoes what the private data already holds.
    _x_release(api->api, ref.obj);
    return code;
  }
  if (priv_out) *priv_out = p;
  return QIRA_OK;
}

QIRA_METHOD_ENTRY(TARVO_NewQIRADirEntryObject, NewEntry)

extern "C" QIRA_API void TARVO_PrivateInitQIRADirEntryObj(void *priv) {
  _x_initprivate(static_cast<QiraEntryPrivate *>(priv));
}

extern "C" QIRA_API void TARVO_PrivateTermQIRADirEntryObj(void *priv) {
  // The block goes with its last holder: this entry, its directory or a sibling.
  _x_termprivate(static_cast<QiraEntryPrivate *>(priv));
}

extern "C" QIRA_API uint32_t TARVO_GetQIRADirEntryObjValue(const QiraObjRef *ref,
                                                           uint32_t *tag_out,
                                                           QiraValue *value_out) {
  // Used as a plain value, an entry is its whole full name.
  return _x_namevalue<QiraEntryPrivate>(ref, tag_out, value_out);
}

extern "C" QIRA_API uint32_t TARVO_SetQIRADirEntryObjValue(void) {
  return QIRA_ERR_ACCESS;  // an entry's value is its name: it cannot be assigned
}

uint32_t _x_relocateresolved(void *priv, QiraNames *names) {
  auto *p = static_cast<QiraEntryPrivate *>(priv);
  QiraModuleCtx *mc = p->modctx;
  QiraEntryInfo rec{};
  uint32_t code = qira_platspec_getentryinfo(names->native, mc->group, &rec);
  if (code != QIRA_OK) return code;
  code = _x_pointdirentry(p, names, mc, p->api->api, &rec);
  Mem_Free(rec.name);
  return code;
}

// Runs from a block, outside any method call: the stored context serves.  The
// entry takes its names through the same update as every other refresh, which
// resolves the given full name once more.
extern "C" QIRA_API uint32_t TARVOQIRADirEntry_Relocate(void *priv, const uint16_t *name,
                                                        uint32_t len) {
  auto *p = static_cast<QiraEntryPrivate *>(priv);
  QiraModuleCtx *mc = p->modctx;
  QiraNames names;
  uint32_t code = _x_resolvenames(name, len, mc->group, &names, nullptr);
  QiraEntryInfo rec{};
  if (code == QIRA_OK) code = qira_platspec_getentryinfo(names.native, mc->group, &rec);
  if (code == QIRA_OK) code = _x_updatedirentry(p, names.full, names.fulllen, mc, p->api->api, &rec);
  Mem_Free(rec.name);
  _x_freenames(&names);
  return code;
}
