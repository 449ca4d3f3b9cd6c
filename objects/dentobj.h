// The directory-entry type inside the module: the refresh of its properties
// from an entry-info record and the re-pointing of an entry at another name.
// Internal: nothing here is exported.
#pragma once

#include "objects/objects.h"

// Points the private data at a new name and rewrites all nine properties from
// `rec`.  The name is resolved first; when that fails the private data is
// untouched.  A later failing property write leaves the new names in place
// and the properties before it rewritten.  Returns the first failure.
[[nodiscard]] uint32_t _x_updatedirentry(QiraEntryPrivate *p, const uint16_t *name,
                                         uint32_t len, QiraModuleCtx *mc, QiraHostFn *table,
                                         const QiraEntryInfo *rec);

// The same with a name already resolved: the names pass to the private data
// (*names cleared), whatever the outcome.
[[nodiscard]] uint32_t _x_pointdirentry(QiraEntryPrivate *p, QiraNames *names, QiraModuleCtx *mc,
                                        QiraHostFn *table, const QiraEntryInfo *rec);

// Re-points the entry at a name resolved before (the destination of a move):
// re-reads the entry there and rewrites its names and properties.  On success
// or a failing property write the names have passed to the entry (*names
// cleared); when the entry cannot be read they stay with the caller.
[[nodiscard]] uint32_t _x_relocateresolved(void *priv, QiraNames *names);

// Rewrites `created`, `lastchanged`, `lastaccessed` from `rec`.
[[nodiscard]] uint32_t _x_updatedirentrydates(QiraEntryPrivate *p, QiraModuleCtx *mc,
                                              QiraHostFn *table, const QiraEntryInfo *rec);

// Rewrites `readonly`, `hidden`, `system` from `rec`.
[[nodiscard]] uint32_t _x_updatedirentryattributes(QiraEntryPrivate *p, QiraModuleCtx *mc,
                                                   QiraHostFn *table, const QiraEntryInfo *rec);
