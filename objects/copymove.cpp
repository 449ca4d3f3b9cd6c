// copy and move of a QIRAdirectoryentry.  The file work runs in a worker
// process; the method only starts it and hands the host a block whose wait
// hook sleeps on the worker's pipe.  The block function never blocks: it asks
// the worker for its answer and, until there is one, tells the host to yield.
#include "objects/dentobj.h"
#include "module/qiratyp.h"

namespace {

// Block data of one running copy or move, from the call's module context's
// group; the block owns it from the moment it reaches the host.
struct QiraCopyMoveBlock {
  QiraApiBlock *api;        // the entry's; the entry reference below keeps it alive
  QiraModuleCtx *modctx;    // of the starting call
  uint16_t *dest;           // move only: the destination as given, for re-pointing
  uint32_t destlen;         // code units; 0 for a copy
  QiraObjRef entry;         // the receiver; one reference until delivered or released
  QiraObjRef error;         // the `error` variable; one reference when obj is set
  QiraWorker *worker;       // given back with qira_platspec_copymove_terminate
  QiraYieldRec yield;       // where the host's yield learns the worker's pipe
  char *destnative;         // move only: the native name the worker was given
};
QIRA_SIZE(QiraCopyMoveBlock, 60, 104);
QIRA_AT(QiraCopyMoveBlock, modctx, 4, 8);
QIRA_AT(QiraCopyMoveBlock, dest, 8, 16);
QIRA_AT(QiraCopyMoveBlock, destlen, 12, 24);
QIRA_AT(QiraCopyMoveBlock, entry, 16, 32);
QIRA_AT(QiraCopyMoveBlock, error, 24, 48);
QIRA_AT(QiraCopyMoveBlock, worker, 32, 64);
QIRA_AT(QiraCopyMoveBlock, yield, 36, 72);
QIRA_AT(QiraCopyMoveBlock, destnative, 56, 96);

// The release function comes from the block's API block, read before
// anything is released: dropping the entry can free that block.
QiraHost_Ref _x_releasefn(const QiraCopyMoveBlock *b) {
  return QIRA_HOSTFN(b->api->api, QIRA_API_RELEASE, QiraHost_Ref);
}

void _x_endcopymove(QiraCopyMoveBlock *b, QiraHost_Ref release) {
  Mem_Free(b->dest);
  Mem_Free(b->destnative);
  if (b->entry.obj) release(b->entry.obj);
  if (b->error.obj) release(b->error.obj);
  // The worker's answer, when it has not come yet, is never read.
  (void)qira_platspec_copymove_terminate(b->worker);
  Mem_Free(b);
}

// Starts the worker and builds the block.  On failure nothing is left:
// no reference taken, no buffer kept.
uint32_t _x_startcopymove(EntryCall &c, const QiraObjRef *receiver, const uint16_t *dest,
                          uint32_t destlen, uint16_t replace, uint16_t move,
                          QiraCopyMoveStartFn start, QiraCopyMoveBlock **out) {
  QiraMemGroup *g = c.mc->group;
  auto *b = static_cast<QiraCopyMoveBlock *>(Mem_Alloc(g, sizeof(QiraCopyMoveBlock)));
  if (!b) return QIRA_ERR_NOMEM;
  // Cleared whole: the yield record's fields the platform leaves alone among them.
  Ram_UBYTE_set(b, sizeof(QiraCopyMoveBlock), 0);
  // The destination is resolved once, as re-pointing the entry resolves
  // names, and the worker gets that very name: it writes where the entry
  // will point after a move.
  uint32_t code = _x_resolvename(dest, destlen, g, &b->destnative, &b->dest, &b->destlen);
  QiraWorker *worker = nullptr;
  if (code == QIRA_OK) code = start(c.priv->native, b->dest, b->destlen, replace, g, &worker);
  if (code == QIRA_OK) _x_copymove_track(worker, &c.mc->listings);
  // Only a move needs the names again.
  if (code != QIRA_OK || move != 1) {
    Mem_Free(b->dest);
    Mem_Free(b->destnative);
    b->dest = nullptr;
    b->destnative = nullptr;
    b->destlen = 0;
  }
  if (code != QIRA_OK) {
    Mem_Free(b);
    return code;
  }
  QIRA_HOSTFN(c.table, QIRA_API_ADDREF, QiraHost_Ref)(receiver->obj);
  if (c.error.obj) QIRA_HOSTFN(c.table, QIRA_API_ADDREF, QiraHost_Ref)(c.error.obj);
  b->api = c.priv->api;
  b->modctx = c.mc;
  b->entry = *receiver;
  b->error = c.error;
  b->worker = worker;
  *out = b;
  return QIRA_OK;
}

// The block's end after the worker answered: the call's value is the entry
// object itself (re-pointed first after a move), or the failure.
uint32_t _x_finishcopymove(void *blockctx, QiraCopyMoveBlock *b, uint32_t status) {
  QiraHostFn *table = b->api->api;
  if (status == QIRA_OK && b->destnative) {
    void *priv = TARVO_ObjRefGetPrivatePtr(&b->entry);
    status = priv ? _x_relocateresolved(priv, &b->dest, b->destlen, &b->destnative)
                  : QIRA_ERR_NOPRIVATE;
  }
  QiraHost_Ref release = _x_releasefn(b);
  if (status == QIRA_OK) {
    // The block's reference travels with the object to the host.
    void *object = b->entry.obj;
    b->entry.obj = nullptr;
    status = reinterpret_cast<QiraBlockFn>(table[QIRA_API_DELIVER])(blockctx, object);
  } else if (b->error.obj) {
    status = TARVOUtil_SetObjVxu32int(table, b->modctx, &b->error, status, 0);
    if (status == QIRA_OK)
      status = reinterpret_cast<QiraBlockFn>(table[QIRA_API_COMPLETE])(blockctx, nullptr);
  }
  _x_endcopymove(b, release);
  return status;
}

}  // namespace

extern "C" QIRA_API uint32_t TARVOQIRADirEntry_GenericCopyMove(
    void *callctx, uint32_t argc, QiraArgSlot *slots, uint32_t *argc_out,
    const QiraObjRef *receiver, QiraResult *result, uint16_t copy, uint16_t move,
    QiraCopyMoveStartFn start) {
  using Params = QiraParams_copymove;
  constexpr uint32_t kDestination = Params::at(QIRA_SYM_DESTINATION),
                     kReplace = Params::at(QIRA_SYM_REPLACE), kError = Params::at(QIRA_SYM_ERROR);
  EntryCall c;
  uint32_t code = _x_entrycall_begin(c, callctx, receiver, argc, slots,
                                     qira_copymove_params_descs,
                                     _x_paramcount(qira_copymove_params_descs));
  const uint16_t *dest = nullptr;
  uint32_t destlen = 0;
  uint16_t replace = 0;
  if (code == QIRA_OK && c.pos[kDestination] == 0) code = QIRA_ERR_MISSINGPARAM;
  // An empty destination is the worker's to refuse.
  if (code == QIRA_OK)
    code = TARVOParam_StrParam(c.mc, c.table, c.pos[kDestination], slots, &dest, &destlen);
  if (code == QIRA_OK && c.pos[kReplace] != 0)
    code = TARVOParam_BoolParam(c.mc, c.table, c.pos[kReplace], slots, &replace);
  if (code == QIRA_OK) code = _x_entrycall_readerror(c, c.pos[kError], slots);
  // Without a result record nobody could ever hear the worker's answer:
  // nothing is started.
  if (code == QIRA_OK && !result) code = QIRA_ERR_NOTPOSSIBLE;
  if (code != QIRA_OK) return _x_methodreturn(argc, argc_out, code);
  _x_copymove_sweep(&c.mc->listings);

  // Only a file is copied; a directory may still be moved.
  if (copy == 1 && c.priv->entrytype != QIRA_ENTRY_FILE) code = QIRA_ERR_WRONGKIND;
  QiraCopyMoveBlock *b = nullptr;
  if (code == QIRA_OK) code = _x_startcopymove(c, receiver, dest, destlen, replace, move, start, &b);
  if (code != QIRA_OK) {
    code = _x_methodfailure(c.table, c.mc, callctx, result, c.error, code);
    return _x_methodreturn(argc, argc_out, code);
  }
  result->block = TARVOQIRABlock_FuncCopyMove;
  result->term = TARVOQIRABlock_TermCopyMove;
  result->data = b;
  // The host sleeps on the worker's pipe between calls of the block.
  (void)qira_platspec_setyielddata(b->worker, &b->yield, sizeof(QiraYieldRec), result);
  return _x_methodreturn(argc, argc_out, QIRA_OK);
}

extern "C" QIRA_API uint32_t TARVOQIRADirEntry_Copy(void *callctx, uint32_t argc,
                                                    QiraArgSlot *slots, uint32_t *argc_out,
                                                    const QiraObjRef *receiver,
                                                    QiraResult *result) {
  return TARVOQIRADirEntry_GenericCopyMove(callctx, argc, slots, argc_out, receiver, result, 1, 0,
                                           qira_platspec_copy_start);
}

extern "C" QIRA_API uint32_t TARVOQIRADirEntry_Move(void *callctx, uint32_t argc,
                                                    QiraArgSlot *slots, uint32_t *argc_out,
                                                    const QiraObjRef *receiver,
                                                    QiraResult *result) {
  return TARVOQIRADirEntry_GenericCopyMove(callctx, argc, slots, argc_out, receiver, result, 0, 1,
                                           qira_platspec_move_start);
}

extern "C" QIRA_API uint32_t TARVOQIRABlock_FuncCopyMove(void *blockctx, void *data) {
  auto *b = static_cast<QiraCopyMoveBlock *>(data);
  // Workers of earlier calls are collected here too, never waited for.
  _x_copymove_sweep(&b->modctx->listings);
  const uint32_t status = qira_platspec_copymove_getresult(b->worker);
  if (status == QIRA_BLOCK_AGAIN || status == QIRA_BLOCK_WAIT) return status;
  return _x_finishcopymove(blockctx, b, status);
}

extern "C" QIRA_API uint32_t TARVOQIRABlock_TermCopyMove(void *, void *data) {
  auto *b = static_cast<QiraCopyMoveBlock *>(data);
  _x_endcopymove(b, _x_releasefn(b));
  return QIRA_OK;
}
