// copy and move of a QIRAdirectoryentry.  The file work runs in a worker
// process; the method only starts it and hands the host a block whose wait
// hook sleeps on the worker's pipe.  The block function never blocks: it asks
// the worker for its answer and, until there is one, tells the host to yield.
#include "objects/dentobj.h"
#include "objects/frame.h"

namespace {

// Block data of one running copy or move, from the call's module context's
// group; the block owns it from the moment it reaches the host.
struct QiraCopyMoveBlock {
  QiraApiBlock *api;        // the entry's; the entry reference below keeps it alive
  QiraModuleCtx *modctx;    // of the starting call
  QiraNames dest;           // move only: the destination as resolved, for re-pointing
  QiraObjRef entry;         // the receiver; one reference until delivered or released
  QiraObjRef error;         // the `error` variable; one reference when obj is set
  QiraWorker *worker;       // given back with qira_platspec_copymove_terminate
  QiraYieldRec yield;       // where the host's yield learns the worker's pipe
};
QIRA_SIZE(QiraCopyMoveBlock, 60, 104);
QIRA_AT(QiraCopyMoveBlock, modctx, 4, 8);
QIRA_AT(QiraCopyMoveBlock, dest, 8, 16);
QIRA_AT(QiraCopyMoveBlock, entry, 20, 40);
QIRA_AT(QiraCopyMoveBlock, error, 28, 56);
QIRA_AT(QiraCopyMoveBlock, worker, 36, 72);
QIRA_AT(QiraCopyMoveBlock, yield, 40, 80);

void _x_endcopymove(QiraCopyMoveBlock *b, QiraHost_Ref release) {
  _x_freenames(&b->dest);
  _x_releasewith(release, b->entry.obj);
  _x_releasewith(release, b->error.obj);
  // The worker's answer, when it has not come yet, is never read.
  (void)qira_platspec_copymove_terminate(b->worker);
  Mem_Free(b);
}

// The block's end after the worker answered: the call's value is the entry
// object itself (re-pointed first after a move), or the failure.
[[nodiscard]] uint32_t _x_finishcopymove(void *blockctx, QiraCopyMoveBlock *b, uint32_t status) {
  QiraHostFn *table = b->api->api;
  if (status == QIRA_OK && b->dest.native) {
    void *priv = TARVO_ObjRefGetPrivatePtr(&b->entry);
    status = priv ? _x_relocateresolved(priv, &b->dest) : QIRA_ERR_NOPRIVATE;
  }
  QiraHost_Ref release = _x_releasefn(b->api);
  if (status == QIRA_OK) {
    // The block's reference travels with the object to the host.
    void *object = b->entry.obj;
    b->entry.obj = nullptr;
    status = _x_deliver(table, blockctx, object);
  } else {
    status = _x_blockfailure(table, b->modctx, blockctx, b->error, status);
  }
  _x_endcopymove(b, release);
  return status;
}

// copy(destination, replace, error) and move(...): `copy` and `move` say
// which, `start` launches the worker.
struct CopyMove : QiraMethod<QiraParams_copymove, QiraEntryPrivate> {
  // Without a result record nobody could ever hear the worker's answer:
  // nothing is started.
  static constexpr bool kNeedsResult = true;
  uint16_t copy;
  uint16_t move;
  QiraCopyMoveStartFn start;
  const uint16_t *dest = nullptr;
  uint32_t destlen = 0;
  QiraFlagArg replace;

  // An empty destination is the worker's to refuse.
  [[nodiscard]] uint32_t read(Call &c) {
    uint32_t code = c.str<QIRA_SYM_DESTINATION>(&dest, &destlen);
    if (code == QIRA_OK) code = c.optflag<QIRA_SYM_REPLACE>(&replace);
    return code;
  }

  [[nodiscard]] uint32_t work(Call &c) {
    _x_copymove_sweep(&c.mc->listings);
    // Only a file is copied; a directory may still be moved.
    if (copy == 1 && c.self->entrytype != QIRA_ENTRY_FILE) return QIRA_ERR_WRONGKIND;
    QiraCopyMoveBlock *b = nullptr;
    const uint32_t code = startblock(c, &b);
    if (code != QIRA_OK) return code;
    QiraResult *result = c.in.result;
    result->block = TARVOQIRABlock_FuncCopyMove;
    result->term = TARVOQIRABlock_TermCopyMove;
    result->data = b;
    // The host sleeps on the worker's pipe between calls of the block.  The
    // handle and the record are both ours and the size is the record's, so
    // the answer is always 1.
    (void)qira_platspec_setyielddata(b->worker, &b->yield, sizeof(QiraYieldRec), result);
    return QIRA_OK;
  }

  // Starts the worker and builds the block.  On failure nothing is left:
  // no reference taken, no buffer kept.
  [[nodiscard]] uint32_t startblock(Call &c, QiraCopyMoveBlock **out) const {
    QiraMemGroup *g = c.mc->group;
    auto *b = static_cast<QiraCopyMoveBlock *>(Mem_Alloc(g, sizeof(QiraCopyMoveBlock)));
    if (!b) return QIRA_ERR_NOMEM;
    // Cleared whole: the yield record's fields the platform leaves alone among them.
    Ram_UBYTE_set(b, sizeof(QiraCopyMoveBlock), 0);
    // The destination is resolved once, as re-pointing the entry resolves
    // names, and the worker gets that very name: it writes where the entry
    // will point after a move.
    uint32_t code =
        _x_resolvename(dest, destlen, g, &b->dest.native, &b->dest.full, &b->dest.fulllen);
    QiraWorker *worker = nullptr;
    if (code == QIRA_OK)
      code = start(c.self->names.native, b->dest.full, b->dest.fulllen, replace.value, g, &worker);
    if (code == QIRA_OK) _x_copymove_track(worker, &c.mc->listings);
    // Only a move needs the names again.
    if (code != QIRA_OK || move != 1) _x_freenames(&b->dest);
    if (code != QIRA_OK) {
      Mem_Free(b);
      return code;
    }
    _x_addref(c.table, c.in.receiver->obj);
    if (c.error.obj) _x_addref(c.table, c.error.obj);
    b->api = c.self->api;
    b->modctx = c.mc;
    b->entry = *c.in.receiver;
    b->error = c.error;
    b->worker = worker;
    *out = b;
    return QIRA_OK;
  }
};

}  // namespace

extern "C" QIRA_API uint32_t TARVOQIRADirEntry_GenericCopyMove(QIRA_METHOD_PARAMS,
                                                                uint16_t copy, uint16_t move,
                                                                QiraCopyMoveStartFn start) {
  CopyMove m;
  m.copy = copy;
  m.move = move;
  m.start = start;
  return _x_frame(m, QIRA_METHOD_ARGS);
}

extern "C" QIRA_API uint32_t TARVOQIRADirEntry_Copy(QIRA_METHOD_PARAMS) {
  return TARVOQIRADirEntry_GenericCopyMove(callctx, argc, slots, argc_out, receiver, result, 1, 0,
                                           qira_platspec_copy_start);
}

extern "C" QIRA_API uint32_t TARVOQIRADirEntry_Move(QIRA_METHOD_PARAMS) {
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
  _x_endcopymove(b, _x_releasefn(b->api));
  return QIRA_OK;
}
