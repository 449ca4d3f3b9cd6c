// Steps shared by the methods of both script-visible types.
#include "objects/objects.h"

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

uint32_t _x_novalue(QiraHostFn *table, void *callctx, QiraResult *result) {
  QiraValue scratch;
  return QIRA_HOSTFN(table, QIRA_API_NOVALUE, QiraHost_NoValue)(callctx, result, 0, &scratch);
}

void _x_handbackobject(QiraHostFn *table, QiraResult *result, void *object, bool addref) {
  if (!result) return;
  if (addref) QIRA_HOSTFN(table, QIRA_API_ADDREF, QiraHost_Ref)(object);
  result->block = reinterpret_cast<QiraBlockFn>(table[QIRA_API_DELIVER]);
  result->term = reinterpret_cast<QiraBlockFn>(table[QIRA_API_DROP]);
  result->data = object;
}

uint32_t _x_methodfailure(QiraHostFn *table, QiraModuleCtx *mc, void *callctx,
                          QiraResult *result, const QiraObjRef &error, uint32_t code) {
  if (!error.obj) return code;
  uint32_t stored = TARVOUtil_SetObjVxu32int(table, mc, &error, code, 0);
  if (stored != QIRA_OK) return stored;
  // The failure now lives in the script's variable; the call itself succeeds
  // with no value, whatever the host makes of that request.
  (void)_x_novalue(table, callctx, result);
  return QIRA_OK;
}
