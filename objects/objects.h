// Private records of the two script-visible types and the steps every method
// of both types shares.  Internal to the module: nothing here is exported.
#pragma once

#include "qira.h"

// Private data of a QIRAdirectory object; the host allocates it with the size
// the type descriptor announces.
struct QiraDirPrivate {
  void *object;              // the directory's own host object
  QiraModuleCtx *modctx;     // module context of the call that made it
  QiraApiBlock *api;         // shared API block; this object holds one count
  QiraMemGroup *group;       // small-block group owning every entry node and name
  TTree entries;             // entry nodes keyed by their index (Comp_ramdescs)
  uint32_t count;            // entries, set when the listing ends
  uint16_t *fullname;        // resolved full name (owned)
  uint32_t fulllen;          // in code units
  char *native;              // the same name, native and terminated (owned)
};
QIRA_SIZE(QiraDirPrivate, 44, 88);
QIRA_AT(QiraDirPrivate, group, 12, 24);
QIRA_AT(QiraDirPrivate, entries, 16, 32);
QIRA_AT(QiraDirPrivate, count, 28, 56);
QIRA_AT(QiraDirPrivate, fullname, 32, 64);
QIRA_AT(QiraDirPrivate, native, 40, 80);
static_assert(sizeof(QiraDirPrivate) == QIRA_DIR_PRIVATE_SIZE);

// Private data of a QIRAdirectoryentry object.
struct QiraEntryPrivate {
  void *object;              // the entry's own host object
  QiraModuleCtx *modctx;     // used by the value hook and by re-pointing after a move
  QiraApiBlock *api;         // shared API block; this object holds one count
  uint32_t entrytype;        // QIRA_ENTRY_FILE or QIRA_ENTRY_DIRECTORY
  uint16_t *fullname;        // normalised absolute name (owned)
  uint32_t fulllen;          // in code units
  char *native;              // the same name, native and terminated (owned)
};
QIRA_SIZE(QiraEntryPrivate, 28, 56);
QIRA_AT(QiraEntryPrivate, entrytype, 12, 24);
QIRA_AT(QiraEntryPrivate, fullname, 16, 32);
QIRA_AT(QiraEntryPrivate, native, 24, 48);
static_assert(sizeof(QiraEntryPrivate) == QIRA_DIRENTRY_PRIVATE_SIZE);

// From the platform layer, for copy and move: a destination resolved once,
// as re-pointing an entry resolves names, without looking at the file system
// (native and UTF-16 full name, both from g); and the workers kept on the
// module context's list until they are collected without waiting.
uint32_t _x_resolvename(const uint16_t *name, uint32_t len, QiraMemGroup *g, char **native_out,
                        uint16_t **full_out, uint32_t *fulllen_out);
void _x_copymove_track(QiraWorker *w, QiraDNode *list);
void _x_copymove_sweep(QiraDNode *list);

// The module context of a method call (word 1 of the call context).
inline QiraModuleCtx *_x_callmodctx(void *callctx) {
  return static_cast<QiraCallCtx *>(callctx)->modctx;
}

// Drops one count of an API block and frees it with its last holder.
void _x_apiblock_drop(QiraApiBlock *api);

// Allocates an API block from the group with one count and a copy of the table;
// null when the group has no memory.
QiraApiBlock *_x_apiblock_new(QiraMemGroup *group, const QiraHostFn *table);

// The call yields no value (host API 200).
uint32_t _x_novalue(QiraHostFn *table, void *callctx, QiraResult *result);

// Hands an object back as the call's value: the host's own deliver/drop pair
// with the object as block data, and, with addref, one more reference on it
// (a constructor hands over the reference it already holds).  Does nothing
// without a result record.
void _x_handbackobject(QiraHostFn *table, QiraResult *result, void *object, bool addref);

// The tail every method shares once `error` has been read: a failure goes into
// the error variable when there is one (the call then succeeds with no value),
// otherwise it is the call's status.  Returns what the method returns.
uint32_t _x_methodfailure(QiraHostFn *table, QiraModuleCtx *mc, void *callctx,
                          QiraResult *result, const QiraObjRef &error, uint32_t code);

// The arguments of a constructor, new(name, error).
struct QiraNewArgs {
  QiraTypeRecord *type;      // the type to instantiate
  const uint16_t *name;
  uint32_t len;              // in code units
  QiraObjRef error;          // null object when not given
};

// The steps every constructor takes before its work: the host API table into
// table, the parameter positions (descs names name and error), the type to
// instantiate (16 unless new runs on a type object whose private data names
// it), the required name (41 when absent; 29 when empty and emptyIsStatus)
// and error.  Every
// failure here is the call's status, never stored into error.
uint32_t _x_readnewargs(void *callctx, uint32_t argc, QiraArgSlot *slots,
                        const QiraObjRef *receiver, const QiraNameDesc *descs,
                        QiraHostFn *table, bool emptyIsStatus, QiraNewArgs *out);

// Stores the argument count last, whatever the outcome.
inline uint32_t _x_methodreturn(uint32_t argc, uint32_t *argc_out, uint32_t status) {
  if (argc_out) *argc_out = argc;
  return status;
}
