// QIRAdirectory: one directory of the file system.  Opening one resolves the
// name, makes the object and hands its listing to the host as a block (the
// listing itself lives in qirablk.cpp); the methods turn listed entries into
// entry objects, open the parent, create a subdirectory and delete entries.
//
// Map: type hooks; opening (GenericNew, new); methods on an open directory.
#include "objects/dirlist.h"
#include "module/qiratyp.h"
#include "platform/platnames.h"

namespace {

// A directory's entry nodes and their names live in a small-block group of
// their own, so dropping the directory frees all of them in one step.
constexpr uint32_t kEntryGroupChunk = 16384;

// Positions host API 140 reports: 1-based, 0 when the argument is absent.
constexpr uint32_t kAbsent = 0;

uint32_t _x_parampositions(QiraHostFn *table, uint32_t *positions, const QiraNameDesc *descs,
                           uint32_t count, uint32_t argc, QiraArgSlot *slots) {
  return QIRA_HOSTFN(table, QIRA_API_PARAMPOS, QiraHost_ParamPos)(positions, descs, count, argc,
                                                                  slots);
}

// The receiver's private data, when it is an open directory.  A type object
// carries private data too, but no API block: it cannot run these methods.
QiraDirPrivate *_x_receiverdir(const QiraObjRef *receiver) {
  auto *dir = static_cast<QiraDirPrivate *>(TARVO_ObjRefGetPrivatePtr(receiver));
  return dir && dir->api ? dir : nullptr;
}

// Length of the directory part of a full name (up to and including its last
// "/"); 0 when it has none.
uint32_t _x_prefixlength(const uint16_t *name, uint32_t len) {
  uint32_t prefix = 0;
  (void)qira_platspec_pathpartlength(name, len, &prefix);  // cannot fail
  return prefix;
}

// Makes a QIRAdirectoryentry object for one entry of this directory.  On
// success *entry_out is the new entry's private data; its first word is the
// host object, which carries the one reference the caller hands on.
uint32_t _x_makedirentryfordir(QiraDirPrivate *dir, const QiraEntryInfo *info,
                               QiraEntryPrivate **entry_out) {
  QiraTypeRecord *type =
      TARVOUtil_GetTypeInSameModule(dir->api->api, dir->object, TARVO_PrivateInitQIRADirEntryObj);
  if (!type) return QIRA_ERR_NOTYPE;
  void *entry = nullptr;
  uint32_t code = TARVO_MakeNewQIRADirEntryObject(dir->modctx, dir->api, type, dir->fullname,
                                                  dir->fulllen, info, &entry);
  if (code == QIRA_OK) *entry_out = static_cast<QiraEntryPrivate *>(entry);
  return code;
}

// What a directory method got from its arguments: the index of `entry` or
// the text of `name`, and the `error` variable (object null when absent).
struct DirArgs {
  uint32_t index = 0;
  const uint16_t *name = nullptr;
  uint32_t namelen = 0;
  QiraObjRef error{nullptr, 0};
};

enum class Required { None, Index, Name };

// Frame steps up to and including reading `error`; every failure here is the
// call's status, never stored into `error`.  An empty name is left to the
// work: joining and creating give it their own codes, through `error`.
uint32_t _x_readargs(QiraDirPrivate *dir, QiraModuleCtx *mc, const QiraNameDesc *descs,
                     uint32_t ndescs, Required required, uint32_t argc, QiraArgSlot *slots,
                     DirArgs *args) {
  QiraHostFn *table = dir->api->api;
  uint32_t pos[2] = {kAbsent, kAbsent};
  uint32_t code = _x_parampositions(table, pos, descs, ndescs, argc, slots);
  if (code != QIRA_OK) return code;
  if (required != Required::None) {
    if (pos[0] == kAbsent) return QIRA_ERR_MISSINGPARAM;
    if (required == Required::Index) {
      // An index outside the listing is refused before `error` is read.
      code = TARVOParam_VxmemsizeParam(mc, table, pos[0], slots, &args->index, 1, dir->count);
    } else {
      code = TARVOParam_StrParam(mc, table, pos[0], slots, &args->name, &args->namelen);
    }
    if (code != QIRA_OK) return code;
  }
  return TARVOParam_ObjParam(table, pos[ndescs - 1], slots, &args->error);
}

// Joins this directory's full name and an entry name; the caller frees it.
uint32_t _x_joinname(QiraDirPrivate *dir, QiraModuleCtx *mc, const uint16_t *name,
                     uint32_t len, uint16_t **joined, uint32_t *joinedlen) {
  return qira_platspec_makefullname(dir->fullname, dir->fulllen, name, len, mc->group, joined,
                                    joinedlen);
}

// The `name` property: the last component of the native name converted on
// its own, so that a component that travels as bytes shows as bytes even
// inside a readable full name, and the other way round.  A name without any
// "/" has no directory part to follow and shows as empty.
uint32_t _x_setdirname(QiraHostFn *table, QiraModuleCtx *mc, const QiraObjRef *ref,
                       const char *native) {
  bool hassep = false;
  for (const char *p = native; *p; ++p) hassep = hassep || *p == '/';
  uint16_t *name = nullptr;
  uint32_t len = 0;
  uint32_t code = hassep ? qira_platspec_lastname(native, mc->group, &name, &len) : QIRA_OK;
  if (code == QIRA_OK) code = TARVOUtil_SetPropString(table, mc, ref, QIRA_SYM_NAME, name, len, 1);
  Mem_Free(name);
  return code;
}

// Everything GenericNew made before the private data took it over.
struct Unowned {
  uint16_t *fullname = nullptr;
  char *native = nullptr;
  QiraMemGroup *group = nullptr;
  void release() {
    Mem_Free(fullname);
    Mem_Free(native);
    Mem_GroupFree(group);
  }
};

// Fills a fresh listing record, links it among the open listings and takes a
// reference on `error` for as long as the record lives.
void _x_startlisting(QiraListing *l, QiraDirPrivate *dir, QiraSearch *search, void *errobj,
                     uintptr_t errword) {
  QiraModuleCtx *mc = dir->modctx;
  if (errobj) QIRA_HOSTFN(dir->api->api, QIRA_API_ADDREF, QiraHost_Ref)(errobj);
  DNode_Init(&l->links);
  DNode_AddAfter(&l->links, &mc->listings);
  l->cleanup = TARVODirCreate_JustFree;
  l->cleanuparg = l;
  l->dir = dir;
  l->error = QiraObjRef{errobj, errword};
  l->search = search;
  l->read = 0;
  l->digitcount = 0;
  l->digits[0] = l->digits[1] = 0;
}

// Creates the host object for a resolved directory and hands it the names
// and the group.  On failure the object is gone again and `own` still holds
// whatever was not handed over.
uint32_t _x_makedirobject(QiraModuleCtx *mc, QiraTypeRecord *type, QiraApiBlock *api,
                          Unowned *own, uint32_t fulllen, QiraDirPrivate **dir_out) {
  QiraHostFn *table = api->api;
  QiraObjRef ref{nullptr, 0};
  uint32_t code = QIRA_HOSTFN(table, QIRA_API_NEWOBJ, QiraHost_NewObj)(type, &ref);
  if (code != QIRA_OK) return code;
  ref.word = 0;
  QiraHost_Ref release = QIRA_HOSTFN(table, QIRA_API_RELEASE, QiraHost_Ref);
  QIRA_HOSTFN(table, QIRA_API_ADDREF, QiraHost_Ref)(ref.obj);
  auto *dir = static_cast<QiraDirPrivate *>(TARVO_ObjRefGetPrivatePtr(&ref));
  if (!dir) {
    release(ref.obj);
    return QIRA_ERR_NOPRIVATE;
  }

  TARVOUtil_RefCountInc(&api->rc);
  dir->object = ref.obj;
  dir->modctx = mc;
  dir->api = api;
  dir->group = own->group;
  TTree_Init(&dir->entries, Comp_ramdescs);
  dir->count = 0;
  dir->fullname = own->fullname;
  dir->fulllen = fulllen;
  dir->native = own->native;
  *own = Unowned{};  // the type's terminator frees these from now on

  code = _x_setdirname(table, mc, &ref, dir->native);
  if (code != QIRA_OK) {
    release(ref.obj);
    return code;
  }
  *dir_out = dir;
  return QIRA_OK;
}

}  // namespace

// ===== type hooks ==========================================================

extern "C" QIRA_API void TARVO_PrivateInitQIRADirObj(void *priv) {
  // Word 0 is left alone: on the type object it names the type to instantiate.
  auto *dir = static_cast<QiraDirPrivate *>(priv);
  dir->api = nullptr;
  dir->group = nullptr;
  dir->fullname = nullptr;
  dir->fulllen = 0;
  dir->native = nullptr;
}

extern "C" QIRA_API void TARVO_PrivateTermQIRADirObj(void *priv) {
  auto *dir = static_cast<QiraDirPrivate *>(priv);
  _x_apiblock_drop(dir->api);
  dir->api = nullptr;
  Mem_GroupFree(dir->group);
  dir->group = nullptr;
  Mem_Free(dir->fullname);
  dir->fullname = nullptr;
  Mem_Free(dir->native);
  dir->native = nullptr;
}

extern "C" QIRA_API uint32_t TARVO_GetQIRADirObjValue(const QiraObjRef *ref, uint32_t *tag_out,
                                                      QiraValue *value_out) {
  QiraDirPrivate *dir = _x_receiverdir(ref);
  if (!dir) {
    if (tag_out) *tag_out = QIRA_TAG_NONE;
    return QIRA_OK;
  }
  uint32_t code = QIRA_HOSTFN(dir->api->api, QIRA_API_MKSTR, QiraHost_MkStr)(
      dir->modctx, value_out, dir->fullname, dir->fulllen);
  if (code == QIRA_OK && tag_out) *tag_out = QIRA_TAG_STRING;
  return code;
}

// A directory is its name; it cannot be assigned another value.
extern "C" QIRA_API uint32_t TARVO_SetQIRADirObjValue(void) { return QIRA_ERR_ACCESS; }

// ===== opening a directory =================================================

extern "C" QIRA_API uint32_t TARVOQIRADir_GenericNew(QiraModuleCtx *mc, QiraTypeRecord *type,
                                                     const uint16_t *name, uint32_t len,
                                                     QiraApiBlock *api, void *errobj,
                                                     uintptr_t errword, QiraResult *result) {
  Unowned own;
  uint32_t fulllen = 0;
  uint16_t isdir = 0;
  uint32_t code = qira_platspec_nameandcheckdir(name, len, mc->group, &own.fullname, &fulllen,
                                                &own.native, &isdir);
  if (code != QIRA_OK) return code;
  if (isdir != 1) code = QIRA_ERR_NOTFOUND;
  if (code == QIRA_OK && Mem_GroupGet(mc->group, QIRA_GROUP_SMALL, kEntryGroupChunk,
                                      &own.group) != QIRA_OK) {
    code = QIRA_ERR_NOMEM;
  }
  QiraDirPrivate *dir = nullptr;
  if (code == QIRA_OK) code = _x_makedirobject(mc, type, api, &own, fulllen, &dir);
  own.release();
  if (code != QIRA_OK) return code;

  // From here the object owns names and group: a failure releases the object
  // and its terminator frees them.
  QiraHost_Ref release = QIRA_HOSTFN(api->api, QIRA_API_RELEASE, QiraHost_Ref);
  auto *l = static_cast<QiraListing *>(Mem_Alloc(mc->group, sizeof(QiraListing)));
  if (!l) {
    release(dir->object);
    return QIRA_ERR_NOMEM;
  }
  QiraSearch *search = nullptr;
  code = qira_platspec_search_start(dir->native, mc->group, &search);
  if (code != QIRA_OK) {
    Mem_Free(l);
    release(dir->object);
    return code;
  }
  _x_startlisting(l, dir, search, errobj, errword);
  if (result) {
    result->block = TARVOQIRABlock_FuncGetEntries;
    result->term = TARVOQIRABlock_TermGetEntries;
    result->data = l;
  }
  return QIRA_OK;
}

extern "C" QIRA_API uint32_t TARVO_NewQIRADirObject(void *callctx, uint32_t argc,
                                                    QiraArgSlot *slots, uint32_t *argc_out,
                                                    const QiraObjRef *receiver,
                                                    QiraResult *result) {
  QiraModuleCtx *mc = _x_callmodctx(callctx);
  QiraHostApi table;
  QiraNewArgs args;
  uint32_t code = _x_readnewargs(callctx, argc, slots, receiver, qira_newdir_params_descs, table,
                                 false, &args);
  if (code != QIRA_OK) return _x_methodreturn(argc, argc_out, code);
  const QiraObjRef &error = args.error;

  QiraApiBlock *api = _x_apiblock_new(mc->group, table);
  if (!api) {
    code = QIRA_ERR_NOMEM;
  } else {
    code = TARVOQIRADir_GenericNew(mc, args.type, args.name, args.len, api, error.obj, error.word,
                                   result);
    // The new object holds a count of its own; the constructor's goes.
    _x_apiblock_drop(api);
  }
  if (code != QIRA_OK) code = _x_methodfailure(table, mc, callctx, result, error, code);
  return _x_methodreturn(argc, argc_out, code);
}

// ===== methods on an open directory =========================================

namespace {

// One call of a method on an open directory, once its arguments are read.
struct DirCall {
  QiraDirPrivate *dir;
  QiraModuleCtx *mc;
  QiraHostFn *table;
  void *callctx;
  const QiraObjRef *receiver;
  QiraResult *result;
  DirArgs args;
};

// The work of a method: on success it has given the call its value; a failure
// code goes into `error` or becomes the call's status.
using DirWork = uint32_t (*)(DirCall &c);

// The frame every method on an open directory shares: private data, arguments
// (their failures are the status), the work, the failure path, and the
// argument count stored last.
uint32_t _x_dirmethod(void *callctx, uint32_t argc, QiraArgSlot *slots, uint32_t *argc_out,
                      const QiraObjRef *receiver, QiraResult *result,
                      const QiraNameDesc *descs, uint32_t ndescs, Required required,
                      DirWork work) {
  QiraDirPrivate *dir = _x_receiverdir(receiver);
  if (!dir) return _x_methodreturn(argc, argc_out, QIRA_ERR_NOPRIVATE);
  DirCall c{dir, _x_callmodctx(callctx), dir->api->api, callctx, receiver, result, {}};
  uint32_t code = _x_readargs(dir, c.mc, descs, ndescs, required, argc, slots, &c.args);
  if (code != QIRA_OK) return _x_methodreturn(argc, argc_out, code);
  code = work(c);
  if (code != QIRA_OK) code = _x_methodfailure(c.table, c.mc, callctx, result, c.args.error, code);
  return _x_methodreturn(argc, argc_out, code);
}

uint32_t _x_getentry(DirCall &c) {
  QiraDirEntryNode *node = _x_findentry(c.dir, c.args.index);
  QiraEntryPrivate *entry = nullptr;
  uint32_t code = node ? _x_makedirentryfordir(c.dir, &node->info, &entry) : QIRA_ERR_RANGE;
  if (code == QIRA_OK) _x_handbackobject(c.table, c.result, entry->object, false);
  return code;
}

uint32_t _x_getdir(DirCall &c) {
  QiraDirPrivate *dir = c.dir;
  uint32_t prefix = _x_prefixlength(dir->fullname, dir->fulllen);
  if (prefix == 0) {
    // The call has no value; what the host makes of saying so is its own.
    (void)_x_novalue(c.table, c.callctx, c.result);
    return QIRA_OK;
  }
  QiraTypeRecord *type = QIRA_HOSTFN(c.table, QIRA_API_TYPEOF, QiraHost_TypeOf)(c.receiver);
  if (!type) return QIRA_ERR_NOTYPE;
  return TARVOQIRADir_GenericNew(c.mc, type, dir->fullname, prefix, dir->api, c.args.error.obj,
                                 c.args.error.word, c.result);
}

uint32_t _x_createdir(DirCall &c) {
  // Only a name inside this directory: no separators.
  if (_x_prefixlength(c.args.name, c.args.namelen) != 0) return QIRA_ERR_SLASH;
  uint16_t *joined = nullptr;
  uint32_t joinedlen = 0;
  uint32_t code = _x_joinname(c.dir, c.mc, c.args.name, c.args.namelen, &joined, &joinedlen);
  QiraEntryInfo info;
  info.name = nullptr;
  if (code == QIRA_OK) code = qira_platspec_createdirectory(joined, joinedlen, c.mc->group, &info);
  QiraEntryPrivate *entry = nullptr;
  // The new directory is not listed: the entries stay as the listing saw them.
  if (code == QIRA_OK) code = _x_makedirentryfordir(c.dir, &info, &entry);
  Mem_Free(info.name);
  Mem_Free(joined);
  if (code == QIRA_OK) _x_handbackobject(c.table, c.result, entry->object, false);
  return code;
}

uint32_t _x_deleteentry(DirCall &c) {
  // The entry keeps its index afterwards: the listing is a snapshot.
  const QiraDirEntryNode *node = _x_findentry(c.dir, c.args.index);
  if (!node) return QIRA_ERR_RANGE;
  uint16_t *joined = nullptr;
  uint32_t joinedlen = 0;
  uint32_t code =
      _x_joinname(c.dir, c.mc, node->info.name, node->info.namelen, &joined, &joinedlen);
  if (code != QIRA_OK) return code;
  if (node->info.entrytype == QIRA_ENTRY_DIRECTORY) {
    code = qira_platspec_deletedirectory(joined, joinedlen, c.mc->group);
  } else if (node->info.entrytype == QIRA_ENTRY_FILE) {
    code = qira_platspec_deletefile(joined, joinedlen, c.mc->group);
  } else {
    code = QIRA_ERR_NOTPOSSIBLE;
  }
  Mem_Free(joined);
  if (code != QIRA_OK) return code;
  // The entry is gone; the host's answer to "no value" changes nothing of that.
  (void)_x_novalue(c.table, c.callctx, c.result);
  return QIRA_OK;
}

}  // namespace

extern "C" QIRA_API uint32_t TARVOQIRADir_GetEntry(void *callctx, uint32_t argc,
                                                   QiraArgSlot *slots, uint32_t *argc_out,
                                                   const QiraObjRef *receiver,
                                                   QiraResult *result) {
  return _x_dirmethod(callctx, argc, slots, argc_out, receiver, result,
                      qira_getentry_params_descs, QiraParams_getentry::count, Required::Index, _x_getentry);
}

extern "C" QIRA_API uint32_t TARVOQIRADir_GetDir(void *callctx, uint32_t argc,
                                                 QiraArgSlot *slots, uint32_t *argc_out,
                                                 const QiraObjRef *receiver,
                                                 QiraResult *result) {
  return _x_dirmethod(callctx, argc, slots, argc_out, receiver, result, qira_getdir_params_descs,
                      QiraParams_getdir::count, Required::None, _x_getdir);
}

extern "C" QIRA_API uint32_t TARVOQIRADir_CreateDir(void *callctx, uint32_t argc,
                                                    QiraArgSlot *slots, uint32_t *argc_out,
                                                    const QiraObjRef *receiver,
                                                    QiraResult *result) {
  return _x_dirmethod(callctx, argc, slots, argc_out, receiver, result,
                      qira_createdir_params_descs, QiraParams_createdir::count, Required::Name, _x_createdir);
}

extern "C" QIRA_API uint32_t TARVOQIRADir_DeleteEntry(void *callctx, uint32_t argc,
                                                      QiraArgSlot *slots, uint32_t *argc_out,
                                                      const QiraObjRef *receiver,
                                                      QiraResult *result) {
  return _x_dirmethod(callctx, argc, slots, argc_out, receiver, result,
                      qira_delentry_params_descs, QiraParams_delentry::count, Required::Index, _x_deleteentry);
}
