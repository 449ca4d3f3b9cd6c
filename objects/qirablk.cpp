// The listing block: opening a directory hands the host this block, and every
// call of it reads exactly one entry into the directory's tree, so a huge
// directory never holds the host for long.  The block ends itself: it delivers
// the filled directory object, or reports the failure and drops the object.
#include "objects/dirlist.h"
#include "module/qiratyp.h"

namespace {

// Key length of an entry node: the four bytes of its index.
constexpr uint32_t kIndexKeyLen = sizeof(uint32_t);

// Adds one to the entry count kept as integer digits, least significant
// first; a carry walks upwards.  Two digits hold any u32, so QIRA_ERR_RANGE
// once both wrap: more entries than the count can show.
[[nodiscard]] uint32_t _x_countdigits_inc(QiraListing *l) {
  uint32_t touched = 1;
  if (++l->digits[0] == 0) {
    touched = 2;
    if (++l->digits[1] == 0) return QIRA_ERR_RANGE;
  }
  if (touched > l->digitcount) l->digitcount = touched;
  return QIRA_OK;
}

// Stores one entry the search delivered under the next index.  On failure
// the record's name goes back to the directory's group.
[[nodiscard]] uint32_t _x_addentry(QiraListing *l, const QiraEntryInfo &info) {
  QiraDirPrivate *dir = l->dir;
  ++l->read;
  uint32_t code = _x_countdigits_inc(l);
  QiraDirEntryNode *node = nullptr;
  if (code == QIRA_OK) {
    node = static_cast<QiraDirEntryNode *>(Mem_Alloc(dir->group, sizeof(QiraDirEntryNode)));
    if (!node) code = QIRA_ERR_NOMEM;
  }
  if (code == QIRA_OK) {
    node->index = l->read;
    node->key.len = kIndexKeyLen;
    node->key.ptr = &node->index;
    node->info = info;
    TNode_Init(&node->node, reinterpret_cast<uintptr_t>(&node->key));
    if (TTree_SearchAddNode(&dir->entries, &node->node)) code = QIRA_ERR_RANGE;
  }
  if (code != QIRA_OK) {
    Mem_Free(node);
    Mem_Free(info.name);
  }
  return code;
}

// The terminator's steps, with the release function handed in: the caller
// may have let go of the directory object already.
void _x_endlisting(QiraListing *l, QiraHost_Ref release) {
  _x_releasewith(release, l->error.obj);
  (void)TARVODirCreate_JustFree(l);  // always 0
  Mem_Free(l);
}

// The search is exhausted: publish the count and deliver the object as the
// value of the call that opened the directory.  A failure to set the count
// is returned with the listing still open; once the object is delivered the
// listing has ended and *final holds the call's outcome.
[[nodiscard]] uint32_t _x_completelisting(void *blockctx, QiraListing *l, uint32_t *final) {
  QiraDirPrivate *dir = l->dir;
  QiraHostFn *table = dir->api->api;
  const QiraObjRef self{dir->object, 0};
  uint32_t code = TARVOUtil_SetPropIntDigits(table, dir->modctx, &self, QIRA_SYM_ENTRYCOUNT, 0,
                                             l->digits, l->digitcount, 1);
  if (code != QIRA_OK) return code;
  dir->count = l->read;
  QiraHost_Ref release = _x_releasefn(dir->api);
  // Once delivered the object is the host's; nothing of it is touched after.
  *final = _x_deliver(table, blockctx, dir->object);
  _x_endlisting(l, release);
  return QIRA_OK;
}

// A final failure: the code goes into `error` when there is one (the call
// then completes with no value), the listing ends, and the half-filled
// object is released last, through a release function taken beforehand.
[[nodiscard]] uint32_t _x_faillisting(void *blockctx, QiraListing *l, uint32_t code) {
  QiraDirPrivate *dir = l->dir;
  void *object = dir->object;
  QiraHost_Ref release = _x_releasefn(dir->api);
  const uint32_t final = _x_blockfailure(dir->api->api, dir->modctx, blockctx, l->error, code);
  _x_endlisting(l, release);
  _x_releasewith(release, object);
  return final;
}

}  // namespace

QiraDirEntryNode *_x_findentry(const QiraDirPrivate *dir, uint32_t index) {
  const QiraRamDesc key{kIndexKeyLen, &index};
  TNode *node = TTree_Search(&dir->entries, reinterpret_cast<uintptr_t>(&key));
  if (!node) return nullptr;
  // The node leads the entry node's record, so its address is the record's.
  static_assert(offsetof(QiraDirEntryNode, node) == 0);
  return reinterpret_cast<QiraDirEntryNode *>(node);
}

extern "C" QIRA_API uint32_t TARVOQIRABlock_FuncGetEntries(void *blockctx, void *listing) {
  auto *l = static_cast<QiraListing *>(listing);
  QiraEntryInfo info;
  uint32_t code = qira_platspec_search_getnext(l->search, l->dir->group, &info);
  if (code == QIRA_OK) {
    code = _x_addentry(l, info);
    if (code == QIRA_OK) return QIRA_BLOCK_AGAIN;
  } else if (code == QIRA_ERR_NOTFOUND) {
    uint32_t final = QIRA_OK;
    code = _x_completelisting(blockctx, l, &final);
    if (code == QIRA_OK) return final;
  }
  return _x_faillisting(blockctx, l, code);
}

extern "C" QIRA_API uint32_t TARVOQIRABlock_TermGetEntries(void *, void *listing) {
  auto *l = static_cast<QiraListing *>(listing);
  _x_endlisting(l, _x_releasefn(l->dir->api));
  return QIRA_OK;
}

extern "C" QIRA_API uint32_t TARVODirCreate_JustFree(void *listing) {
  auto *l = static_cast<QiraListing *>(listing);
  DNode_Remove(&l->links);
  // The search goes whole: stream, record and path buffer.  Leaving them in
  // the module context's group would grow a long-lived host by every listing
  // it ever ran.
  qira_platspec_search_term(l->search);
  l->search = nullptr;
  return QIRA_OK;
}
