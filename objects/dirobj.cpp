// QIRAdirectory: one directory of the file system.  Opening one resolves the
// name, makes the object and hands its listing to the host as a block (the
// listing itself lives in qirablk.cpp); the methods turn listed entries into
// entry objects, open the parent, create a subdirectory and delete entries.
//
// Map: type hooks; opening (GenericNew, new); methods on an open directory.
#include "objects/dirlist.h"
#include "objects/frame.h"
#include "platform/platnames.h"

namespace {

// A directory's entry nodes and their names live in a small-block group of
// their own, so dropping the directory frees all of them in one step.
constexpr uint32_t kEntryGroupChunk = 16384;

// An empty name is resolved like any other, so its failure (7) goes through
// `error`, unlike the entry's constructor.
constexpr bool kEmptyNameIsStatus = false;

// Makes a QIRAdirectoryentry object for one entry of this directory.  On
// success *entry_out is the new entry's private data; its first word is the
// host object, which carries the one reference the caller hands on.
[[nodiscard]] uint32_t _x_makedirentryfordir(QiraDirPrivate *dir, const QiraEntryInfo *info,
                                             QiraEntryPrivate **entry_out) {
  QiraTypeRecord *type =
      TARVOUtil_GetTypeInSameModule(dir->api->api, dir->object, TARVO_PrivateInitQIRADirEntryObj);
  if (!type) return QIRA_ERR_NOTYPE;
  void *entry = nullptr;
  uint32_t code = TARVO_MakeNewQIRADirEntryObject(dir->modctx, dir->api, type, dir->names.full,
                                                  dir->names.fulllen, info, &entry);
  if (code == QIRA_OK) *entry_out = static_cast<QiraEntryPrivate *>(entry);
  return code;
}

// Joins this directory's full name and an entry name; the caller frees it.
[[nodiscard]] uint32_t _x_joinname(QiraDirPrivate *dir, QiraModuleCtx *mc, const uint16_t *name,
                                   uint32_t len, uint16_t **joined, uint32_t *joinedlen) {
  return qira_platspec_makefullname(dir->names.full, dir->names.fulllen, name, len, mc->group,
                                    joined, joinedlen);
}

// The `name` property.  A name without any "/" has no directory part to
// follow and shows as empty.
[[nodiscard]] uint32_t _x_setdirname(QiraHostFn *table, QiraModuleCtx *mc, const QiraObjRef &ref,
                                     const char *native) {
  bool hassep = false;
  for (const char *p = native; *p; ++p) hassep = hassep || *p == '/';
  if (!hassep) return TARVOUtil_SetPropString(table, mc, &ref, QIRA_SYM_NAME, nullptr, 0, 1);
  return _x_setlastname(table, mc, ref, native);
}

// Fills a fresh listing record, links it among the open listings and takes a
// reference on `error` for as long as the record lives.
void _x_startlisting(QiraListing *l, QiraDirPrivate *dir, QiraSearch *search, void *errobj,
                     uintptr_t errword) {
  QiraModuleCtx *mc = dir->modctx;
  if (errobj) _x_addref(dir->api->api, errobj);
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
// and the group.  On failure the object is gone again and `names` and
// `group` are still the caller's, unless the object took them over (then
// they are cleared here and its terminator frees them).
[[nodiscard]] uint32_t _x_makedirobject(QiraModuleCtx *mc, QiraTypeRecord *type,
                                        QiraApiBlock *api, QiraNames *names,
                                        QiraMemGroup **group, QiraDirPrivate **dir_out) {
  QiraObjRef ref;
  QiraDirPrivate *dir = nullptr;
  uint32_t code = _x_newprivate(mc, api, type, &ref, &dir);
  if (code != QIRA_OK) return code;
  dir->group = *group;
  TTree_Init(&dir->entries, Comp_ramdescs);
  dir->count = 0;
  dir->names = *names;
  *names = QiraNames{nullptr, 0, nullptr};
  *group = nullptr;

  code = _x_setdirname(api->api, mc, ref, dir->names.native);
  if (code != QIRA_OK) {
    _x_release(api->api, ref.obj);
    return code;
  }
  *dir_out = dir;
  return QIRA_OK;
}

}  // namespace

// ===== type hooks ==========================================================

extern "C" QIRA_API void TARVO_PrivateInitQIRADirObj(void *priv) {
  auto *dir = static_cast<QiraDirPrivate *>(priv);
  _x_initprivate(dir);
  dir->group = nullptr;
}

extern "C" QIRA_API void TARVO_PrivateTermQIRADirObj(void *priv) {
  auto *dir = static_cast<QiraDirPrivate *>(priv);
  _x_termprivate(dir);
  Mem_GroupFree(dir->group);
  dir->group = nullptr;
}

extern "C" QIRA_API uint32_t TARVO_GetQIRADirObjValue(const QiraObjRef *ref, uint32_t *tag_out,
                                                      QiraValue *value_out) {
  return _x_namevalue<QiraDirPrivate>(ref, tag_out, value_out);
}

// A directory is its name; it cannot be assigned another value.
extern "C" QIRA_API uint32_t TARVO_SetQIRADirObjValue(void) { return QIRA_ERR_ACCESS; }

// ===== opening a directory =================================================

extern "C" QIRA_API uint32_t TARVOQIRADir_GenericNew(QiraModuleCtx *mc, QiraTypeRecord *type,
                                                     const uint16_t *name, uint32_t len,
                                                     QiraApiBlock *api, void *errobj,
                                                     uintptr_t errword, QiraResult *result) {
  QiraNames names;
  uint16_t isdir = 0;
  uint32_t code = _x_resolvenames(name, len, mc->group, &names, &isdir);
  if (code != QIRA_OK) return code;
  QiraMemGroup *group = nullptr;
  if (isdir != 1) code = QIRA_ERR_NOTFOUND;
  if (code == QIRA_OK &&
      Mem_GroupGet(mc->group, QIRA_GROUP_SMALL, kEntryGroupChunk, &group) != QIRA_OK) {
    code = QIRA_ERR_NOMEM;
  }
  QiraDirPrivate *dir = nullptr;
  if (code == QIRA_OK) code = _x_makedirobject(mc, type, api, &names, &group, &dir);
  _x_freenames(&names);
  Mem_GroupFree(group);
  if (code != QIRA_OK) return code;

  // From here the object owns names and group: a failure releases the object
  // and its terminator frees them.
  auto *l = static_cast<QiraListing *>(Mem_Alloc(mc->group, sizeof(QiraListing)));
  QiraSearch *search = nullptr;
  code = l ? qira_platspec_search_start(dir->names.native, mc->group, &search) : QIRA_ERR_NOMEM;
  if (code != QIRA_OK) {
    Mem_Free(l);
    _x_release(api->api, dir->object);
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

namespace {

struct NewDir : QiraNewMethod<QiraParams_newdir, kEmptyNameIsStatus> {
  [[nodiscard]] uint32_t work(Call &c) {
    QiraApiBlock *api = _x_apiblock_new(c.mc->group, c.table);
    if (!api) return QIRA_ERR_NOMEM;
    const uint32_t code = TARVOQIRADir_GenericNew(c.mc, c.self, name, len, api, c.error.obj,
                                                  c.error.word, c.in.result);
    // The new object holds a count of its own; the constructor's goes.
    _x_apiblock_drop(api);
    return code;
  }
};

}  // namespace

QIRA_METHOD_ENTRY(TARVO_NewQIRADirObject, NewDir)

// ===== methods on an open directory =========================================

namespace {

struct GetEntry : QiraMethod<QiraParams_getentry, QiraDirPrivate> {
  uint32_t index = 0;
  // An index outside the listing is refused before `error` is read.
  [[nodiscard]] uint32_t read(Call &c) {
    return c.index<QIRA_SYM_ENTRY>(1, c.self->count, &index);
  }
  [[nodiscard]] uint32_t work(Call &c) {
    QiraDirEntryNode *node = _x_findentry(c.self, index);
    QiraEntryPrivate *entry = nullptr;
    uint32_t code = node ? _x_makedirentryfordir(c.self, &node->info, &entry) : QIRA_ERR_RANGE;
    if (code == QIRA_OK) _x_handback(c.table, c.in.result, entry->object);
    return code;
  }
};

struct GetDir : QiraMethod<QiraParams_getdir, QiraDirPrivate> {
  [[nodiscard]] uint32_t work(Call &c) {
    QiraDirPrivate *dir = c.self;
    uint32_t prefix = _x_prefixlength(dir->names.full, dir->names.fulllen);
    if (prefix == 0) {
      _x_novalue(c.table, c.in.callctx, c.in.result);
      return QIRA_OK;
    }
    QiraTypeRecord *type = _x_typeof(c.table, c.in.receiver);
    if (!type) return QIRA_ERR_NOTYPE;
    return TARVOQIRADir_GenericNew(c.mc, type, dir->names.full, prefix, dir->api, c.error.obj,
                                   c.error.word, c.in.result);
  }
};

struct CreateDir : QiraMethod<QiraParams_createdir, QiraDirPrivate> {
  const uint16_t *name = nullptr;
  uint32_t len = 0;
  // An empty name is left to the work: joining and creating give it their
  // own codes, through `error`.
  [[nodiscard]] uint32_t read(Call &c) { return c.str<QIRA_SYM_NAME>(&name, &len); }
  [[nodiscard]] uint32_t work(Call &c) {
    // Only a name inside this directory: no separators.
    if (_x_prefixlength(name, len) != 0) return QIRA_ERR_SLASH;
    uint16_t *joined = nullptr;
    uint32_t joinedlen = 0;
    uint32_t code = _x_joinname(c.self, c.mc, name, len, &joined, &joinedlen);
    QiraEntryInfo info;
    info.name = nullptr;
    if (code == QIRA_OK)
      code = qira_platspec_createdirectory(joined, joinedlen, c.mc->group, &info);
    QiraEntryPrivate *entry = nullptr;
    // The new directory is not listed: the entries stay as the listing saw them.
    if (code == QIRA_OK) code = _x_makedirentryfordir(c.self, &info, &entry);
    Mem_Free(info.name);
    Mem_Free(joined);
    if (code == QIRA_OK) _x_handback(c.table, c.in.result, entry->object);
    return code;
  }
};

struct DeleteEntry : QiraMethod<QiraParams_delentry, QiraDirPrivate> {
  uint32_t index = 0;
  [[nodiscard]] uint32_t read(Call &c) {
    return c.index<QIRA_SYM_ENTRY>(1, c.self->count, &index);
  }
  [[nodiscard]] uint32_t work(Call &c) {
    // The entry keeps its index afterwards: the listing is a snapshot.
    const QiraDirEntryNode *node = _x_findentry(c.self, index);
    if (!node) return QIRA_ERR_RANGE;
    uint16_t *joined = nullptr;
    uint32_t joinedlen = 0;
    uint32_t code =
        _x_joinname(c.self, c.mc, node->info.name, node->info.namelen, &joined, &joinedlen);
    if (code != QIRA_OK) return code;
    if (node->info.entrytype == QIRA_ENTRY_DIRECTORY) {
      code = qira_platspec_deletedirectory(joined, joinedlen, c.mc->group);
    } else if (node->info.entrytype == QIRA_ENTRY_FILE) {
      code = qira_platspec_deletefile(joined, joinedlen, c.mc->group);
    } else {
      code = QIRA_ERR_NOTPOSSIBLE;
    }
    Mem_Free(joined);
    if (code == QIRA_OK) _x_novalue(c.table, c.in.callctx, c.in.result);
    return code;
  }
};

}  // namespace

QIRA_METHOD_ENTRY(TARVOQIRADir_GetEntry, GetEntry)
QIRA_METHOD_ENTRY(TARVOQIRADir_GetDir, GetDir)
QIRA_METHOD_ENTRY(TARVOQIRADir_CreateDir, CreateDir)
QIRA_METHOD_ENTRY(TARVOQIRADir_DeleteEntry, DeleteEntry)
