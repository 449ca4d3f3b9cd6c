// Steps shared by the methods of both script-visible types: the API block,
// resolved names, the failure tails of methods and blocks, and the `name`
// property.
#include "objects/frame.h"
#include "platform/platnames.h"

void _x_apiblock_drop(QiraApiBlock *api) {
  if (api && TARVOUtil_RefCountDecIsZero(&api->rc)) Mem_Free(api);
}

QiraApiBlock *_x_apiblock_new(QiraMemGroup *group, const QiraHostFn *table) {
  auto *api = static_cast<QiraApiBlock *>(Mem_Alloc(group, sizeof(QiraApiBlock)));
  if (!api) return nullptr;
  TARVOUtil_RefCountInit(&api->rc);
  TARVOUtil_RefCountInc(&api->rc);
  Ram_UBYTE_copy(table, api->api, sizeof(QiraHostApi));
  return api;
}

uint32_t _x_resolvenames(const uint16_t *name, uint32_t len, QiraMemGroup *g, QiraNames *out,
                         uint16_t *isdir) {
  *out = QiraNames{nullptr, 0, nullptr};
  return qira_platspec_nameandcheckdir(name, len, g, &out->full, &out->fulllen, &out->native,
                                       isdir);
}

void _x_freenames(QiraNames *n) {
  Mem_Free(n->full);
  Mem_Free(n->native);
  *n = QiraNames{nullptr, 0, nullptr};
}

uint32_t _x_setlastname(QiraHostFn *table, QiraModuleCtx *mc, const QiraObjRef &ref,
                        const char *native) {
  uint16_t *name = nullptr;
  uint32_t len = 0;
  uint32_t code = qira_platspec_lastname(native, mc->group, &name, &len);
  if (code == QIRA_OK) code = TARVOUtil_SetPropString(table, mc, &ref, QIRA_SYM_NAME, name, len, 1);
  Mem_Free(name);
  return code;
}

uint32_t _x_methodfailure(QiraHostFn *table, QiraModuleCtx *mc, void *callctx,
                          QiraResult *result, const QiraObjRef &error, uint32_t code) {
  if (!error.obj) return code;
  const uint32_t stored = _x_storeerror(table, mc, error, code);
  if (stored != QIRA_OK) return stored;
  // The failure now lives in the script's variable; the call itself succeeds
  // with no value.
  _x_novalue(table, callctx, result);
  return QIRA_OK;
}

uint32_t _x_blockfailure(QiraHostFn *table, QiraModuleCtx *mc, void *blockctx,
                         const QiraObjRef &error, uint32_t code) {
  if (!error.obj) return code;
  const uint32_t stored = _x_storeerror(table, mc, error, code);
  return stored == QIRA_OK ? _x_complete(table, blockctx) : stored;
}

QiraTypeRecord *_x_typetoinstantiate(QiraHostFn *table, const QiraObjRef *receiver) {
  if (!receiver) return nullptr;
  const QiraTypeRecord *own = _x_typeof(table, receiver);
  if (!own || !own->info || own->info->kind != QIRA_KIND_TYPEOBJECT) return nullptr;
  auto *priv = static_cast<QiraTypeRecord **>(TARVO_ObjRefGetPrivatePtr(receiver));
  return priv ? *priv : nullptr;
}
