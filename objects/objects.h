// Private records of the two script-visible types and the pieces both share:
// the resolved-name holder, the API block, the receiver lookup and the value
// hook.  Internal to the module: nothing here is exported.
#pragma once

#include "objects/hostcalls.h"

// A resolved name: the full name the objects show, and the same name as the
// native, terminated string the platform calls take.  Both are owned, and
// one is never kept without the other.
struct QiraNames {
  uint16_t *full;            // in code units, not terminated
  uint32_t fulllen;
  char *native;
};
QIRA_SIZE(QiraNames, 12, 24);
QIRA_AT(QiraNames, fulllen, 4, 8);
QIRA_AT(QiraNames, native, 8, 16);

// Resolves `name` (home directory, working directory, "." and "..", trailing
// separators; see qira_platspec_nameandcheckdir) into *out, whose earlier
// names are not looked at.  *isdir is skipped when null.  On failure *out is
// cleared.
[[nodiscard]] uint32_t _x_resolvenames(const uint16_t *name, uint32_t len, QiraMemGroup *g,
                                       QiraNames *out, uint16_t *isdir);

// Frees both names and clears the holder.
void _x_freenames(QiraNames *n);

// Length of the directory part of a name: up to and including its last "/",
// 0 when it has none.
[[nodiscard]] inline uint32_t _x_prefixlength(const uint16_t *name, uint32_t len) {
  uint32_t prefix = 0;
  (void)qira_platspec_pathpartlength(name, len, &prefix);  // cannot fail
  return prefix;
}

// Private data of a QIRAdirectory object; the host allocates it with the size
// the type descriptor announces.
struct QiraDirPrivate {
  void *object;              // the directory's own host object
  QiraModuleCtx *modctx;     // module context of the call that made it
  QiraApiBlock *api;         // shared API block; this object holds one count
  QiraMemGroup *group;       // small-block group owning every entry node and name
  TTree entries;             // entry nodes keyed by their index (Comp_ramdescs)
  uint32_t count;            // entries, set when the listing ends
  QiraNames names;           // the directory's own
};
QIRA_SIZE(QiraDirPrivate, 44, 88);
QIRA_AT(QiraDirPrivate, group, 12, 24);
QIRA_AT(QiraDirPrivate, entries, 16, 32);
QIRA_AT(QiraDirPrivate, count, 28, 56);
QIRA_AT(QiraDirPrivate, names, 32, 64);
static_assert(sizeof(QiraDirPrivate) == QIRA_DIR_PRIVATE_SIZE);

// Private data of a QIRAdirectoryentry object.
struct QiraEntryPrivate {
  void *object;              // the entry's own host object
  QiraModuleCtx *modctx;     // used by the value hook and by re-pointing after a move
  QiraApiBlock *api;         // shared API block; this object holds one count
  uint32_t entrytype;        // QIRA_ENTRY_FILE or QIRA_ENTRY_DIRECTORY
  QiraNames names;           // normalised absolute name
};
QIRA_SIZE(QiraEntryPrivate, 28, 56);
QIRA_AT(QiraEntryPrivate, entrytype, 12, 24);
QIRA_AT(QiraEntryPrivate, names, 16, 32);
static_assert(sizeof(QiraEntryPrivate) == QIRA_DIRENTRY_PRIVATE_SIZE);

// From the platform layer, for copy and move: a destination resolved once,
// as re-pointing an entry resolves names, without looking at the file system
// (native and UTF-16 full name, both from g); and the workers kept on the
// module context's list until they are collected without waiting.
[[nodiscard]] uint32_t _x_resolvename(const uint16_t *name, uint32_t len, QiraMemGroup *g,
                                      char **native_out, uint16_t **full_out,
                                      uint32_t *fulllen_out);
void _x_copymove_track(QiraWorker *w, QiraDNode *list);
void _x_copymove_sweep(QiraDNode *list);

// The module context of a method call (word 1 of the call context).
[[nodiscard]] inline QiraModuleCtx *_x_callmodctx(void *callctx) {
  return static_cast<QiraCallCtx *>(callctx)->modctx;
}

// Drops one count of an API block and frees it with its last holder; null is
// allowed.
void _x_apiblock_drop(QiraApiBlock *api);

// Allocates an API block from the group with one count and a copy of the table;
// null when the group has no memory.
[[nodiscard]] QiraApiBlock *_x_apiblock_new(QiraMemGroup *group, const QiraHostFn *table);

// The receiver's private data (QiraDirPrivate or QiraEntryPrivate) when it
// is a finished object.  A type object carries private data too, but no API
// block: neither it nor an object that never finished being built can run
// a method.
template <typename Private>
[[nodiscard]] Private *_x_receiver(const QiraObjRef *receiver) {
  auto *p = static_cast<Private *>(TARVO_ObjRefGetPrivatePtr(receiver));
  return p && p->api ? p : nullptr;
}

// Makes a host object of `type` with one reference of ours (second word 0)
// and gives its private data the object, the module context and a count on
// `api`.  21, the object released again, when it has no private data.
template <typename Private>
[[nodiscard]] uint32_t _x_newprivate(QiraModuleCtx *mc, QiraApiBlock *api, QiraTypeRecord *type,
                                     QiraObjRef *ref, Private **out) {
  QiraHostFn *table = api->api;
  *ref = QiraObjRef{nullptr, 0};
  const uint32_t code = _x_newobj(table, type, ref);
  if (code != QIRA_OK) return code;
  ref->word = 0;
  _x_addref(table, ref->obj);
  auto *p = static_cast<Private *>(TARVO_ObjRefGetPrivatePtr(ref));
  if (!p) {
    _x_release(table, ref->obj);
    return QIRA_ERR_NOPRIVATE;
  }
  p->object = ref->obj;
  p->modctx = mc;
  p->api = api;
  TARVOUtil_RefCountInc(&api->rc);
  *out = p;
  return QIRA_OK;
}

// What the private-data hooks of both types share: nothing owned yet, and
// everything owned let go.  Word 0 is left alone: on the type object it
// names the type to instantiate.
template <typename Private>
void _x_initprivate(Private *p) {
  p->api = nullptr;
  p->names = QiraNames{nullptr, 0, nullptr};
}
template <typename Private>
void _x_termprivate(Private *p) {
  _x_apiblock_drop(p->api);
  p->api = nullptr;
  _x_freenames(&p->names);
}

// The value hook of both types: a finished object is its full name as a
// string; anything else has no value.
template <typename Private>
[[nodiscard]] uint32_t _x_namevalue(const QiraObjRef *ref, uint32_t *tag_out,
                                    QiraValue *value_out) {
  Private *p = _x_receiver<Private>(ref);
  if (!p) {
    if (tag_out) *tag_out = QIRA_TAG_NONE;
    return QIRA_OK;
  }
  const uint32_t code =
      _x_mkstr(p->api->api, p->modctx, value_out, p->names.full, p->names.fulllen);
  if (code == QIRA_OK && tag_out) *tag_out = QIRA_TAG_STRING;
  return code;
}

// Sets the `name` property of `ref` to the last component of `native`,
// converted on its own so that a component that travels as bytes shows as
// bytes even inside a readable full name, and the other way round.
[[nodiscard]] uint32_t _x_setlastname(QiraHostFn *table, QiraModuleCtx *mc,
                                      const QiraObjRef &ref, const char *native);

// A failure that ends a block: into `error` when there is one (the call then
// completes with no value), otherwise it is the call's outcome.
[[nodiscard]] uint32_t _x_blockfailure(QiraHostFn *table, QiraModuleCtx *mc, void *blockctx,
                                       const QiraObjRef &error, uint32_t code);
