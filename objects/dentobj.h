// The directory-entry type inside the module: the refresh of its properties
// from an entry-info record, and the opening steps every one of its methods
// shares.  Internal: nothing here is exported.
#pragma once

#include "objects/objects.h"

// Points the private data at a new name and rewrites all nine properties from
// `rec`.  The name is resolved first; when that fails the private data is
// untouched.  A later failing property write leaves the new names in place
// and the properties before it rewritten.  Returns the first failure.
uint32_t _x_updatedirentry(QiraEntryPrivate *p, const uint16_t *name, uint32_t len,
                           QiraModuleCtx *mc, QiraHostFn *table, const QiraEntryInfo *rec);

// The same with a name already resolved: both names pass to the private data,
// whatever the outcome.
uint32_t _x_pointdirentry(QiraEntryPrivate *p, uint16_t *full, uint32_t fulllen, char *native,
                          QiraModuleCtx *mc, QiraHostFn *table, const QiraEntryInfo *rec);

// Re-points the entry at a name resolved before (the destination of a move):
// re-reads the entry there and rewrites its names and properties.  On success
// or a failing property write both names have passed to the entry (*full and
// *native cleared); when the entry cannot be read they stay with the caller.
uint32_t _x_relocateresolved(void *priv, uint16_t **full, uint32_t fulllen, char **native);

// Rewrites `created`, `lastchanged`, `lastaccessed` from `rec`.
uint32_t _x_updatedirentrydates(QiraEntryPrivate *p, QiraModuleCtx *mc, QiraHostFn *table,
                                const QiraEntryInfo *rec);

// Rewrites `readonly`, `hidden`, `system` from `rec`.
uint32_t _x_updatedirentryattributes(QiraEntryPrivate *p, QiraModuleCtx *mc,
                                     QiraHostFn *table, const QiraEntryInfo *rec);

// Number of descriptors in a parameter list, as host API 140 wants it.
template <typename T, uint32_t N>
constexpr uint32_t _x_paramcount(const T (&)[N]) { return N; }

// The most parameters an entry method takes (setattributes, setdates).
inline constexpr uint32_t kEntryMaxParams = 4;

// What an entry method works with once its opening steps are done.
struct EntryCall {
  QiraEntryPrivate *priv;     // the receiver's private data
  QiraHostFn *table;          // the host API table of the entry's API block
  QiraModuleCtx *mc;          // the module context of this call
  QiraObjRef error;           // the `error` variable; obj null when not given
  uint32_t pos[kEntryMaxParams];  // 1-based argument positions, 0 when absent
};

// The opening steps of every entry method but `new`: the receiver's private
// data (21 without it) and the positions of the `count` parameters of `descs`
// (host API 140, its failure returned).  `error` is not read here: the caller
// reads its own parameters first.
uint32_t _x_entrycall_begin(EntryCall &c, void *callctx, const QiraObjRef *receiver,
                            uint32_t argc, QiraArgSlot *slots, const QiraNameDesc *descs,
                            uint32_t count);

// Reads `error` from its position (the last of the list).  From here on a
// failure belongs in the variable, not in the call's status.
uint32_t _x_entrycall_readerror(EntryCall &c, uint32_t errorpos, QiraArgSlot *slots);

// Ends an entry method that hands back the entry itself: on success the
// entry object, with one more reference, becomes the call's value; a failure
// takes the common path through `error`.
uint32_t _x_entrycall_end(EntryCall &c, void *callctx, QiraResult *result, uint32_t code);
