// Steps shared by the methods of both script-visible types.
#include "objects/objects.h"
#include "module/qiratyp.h"

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

namespace {

// new runs on the type object itself: the host reports it as a type object,
// and the first word of its private data names the type to instantiate.
QiraTypeRecord *_x_typetoinstantiate(QiraHostFn *table, const QiraObjRef *receiver) {
  if (!receiver) return nullptr;
  const QiraTypeRecord *own = QIRA_HOSTFN(table, QIRA_API_TYPEOF, QiraHost_TypeOf)(receiver);
  if (!own || !own->info || own->info->kind != QIRA_KIND_TYPEOBJECT) return nullptr;
  auto *priv = static_cast<QiraTypeRecord **>(TARVO_ObjRefGetPrivatePtr(receiver));
  return priv ? *priv : nullptr;
}

}  // namespace

uint32_t _x_readnewargs(void *callctx, uint32_t argc, QiraArgSlot *slots,
                        const QiraObjRef *receiver, const QiraNameDesc *descs,
                        QiraHostFn *table, bool emptyIsStatus, QiraNewArgs *out) {
  QiraModuleCtx *mc = _x_callmodctx(callctx);
  uint32_t code = TARVO_GetExternalApiFuncs(mc->provider, table);
  if (code != QIRA_OK) return code;
  // Both constructors take new(name, error); the directory's list names the positions.
  using Params = QiraParams_newdir;
  static_assert(Params::count == QiraParams_newdirentry::count &&
                Params::at(QIRA_SYM_NAME) == QiraParams_newdirentry::at(QIRA_SYM_NAME) &&
                Params::at(QIRA_SYM_ERROR) == QiraParams_newdirentry::at(QIRA_SYM_ERROR));
  constexpr uint32_t kName = Params::at(QIRA_SYM_NAME), kError = Params::at(QIRA_SYM_ERROR);
  uint32_t pos[Params::count] = {};
  code = QIRA_HOSTFN(table, QIRA_API_PARAMPOS, QiraHost_ParamPos)(pos, descs, Params::count,
                                                                  argc, slots);
  if (code != QIRA_OK) return code;
  out->type = _x_typetoinstantiate(table, receiver);
  if (!out->type) return QIRA_ERR_WRONGKIND;
  if (pos[kName] == 0) return QIRA_ERR_MISSINGPARAM;
  code = TARVOParam_StrParam(mc, table, pos[kName], slots, &out->name, &out->len);
  if (code != QIRA_OK) return code;
  // The entry's constructor refuses an empty name before `error` is read; the
  // directory's resolves it like any other name, so its failure goes to `error`.
  if (out->len == 0 && emptyIsStatus) return QIRA_ERR_EMPTY;
  out->error = QiraObjRef{nullptr, 0};
  return TARVOParam_ObjParam(table, pos[kError], slots, &out->error);
}
