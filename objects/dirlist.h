// The two records behind a directory's listing: the listing record that a
// listing block carries from call to call, and the entry node that keeps one
// listed entry in the directory's tree.  Internal to the module.
#pragma once

#include "objects/objects.h"

// Cleanup a listing record carries so that whoever ends the module context
// can end a listing that never ran to its end.
typedef uint32_t (*QiraListingCleanupFn)(void *arg);

// Block data of a directory listing.  Allocated from the module context's
// group; sits on the module context's list of open listings until its
// terminator runs.
struct QiraListing {
  QiraDNode links;               // on the module context's list of open listings
  QiraListingCleanupFn cleanup;  // TARVODirCreate_JustFree
  void *cleanuparg;              // the record itself
  QiraDirPrivate *dir;           // the directory being filled
  QiraObjRef error;              // the method's `error` variable; one reference held
  QiraSearch *search;            // open directory search
  uint32_t read;                 // entries read so far
  uint32_t digitcount;           // digits in use in `digits` (0, 1 or 2)
  uint16_t digits[2];            // `read` as integer digits, least significant first
};
QIRA_SIZE(QiraListing, 44, 80);
QIRA_AT(QiraListing, cleanup, 8, 16);
QIRA_AT(QiraListing, cleanuparg, 12, 24);
QIRA_AT(QiraListing, dir, 16, 32);
QIRA_AT(QiraListing, error, 20, 40);
QIRA_AT(QiraListing, search, 28, 56);
QIRA_AT(QiraListing, read, 32, 64);
QIRA_AT(QiraListing, digitcount, 36, 68);
QIRA_AT(QiraListing, digits, 40, 72);

// One listed entry, allocated from the directory's small-block group.  The
// tree compares keys with Comp_ramdescs, so the node's user value is the
// address of `key`, which describes the four bytes of `index`.
struct QiraDirEntryNode {
  TNode node;
  uint32_t index;                // 1-based, in listing order
  QiraRamDesc key;               // (4, &index)
  QiraEntryInfo info;            // as the search returned it; its name is in the same group
};
QIRA_SIZE(QiraDirEntryNode, 120, 160);
QIRA_AT(QiraDirEntryNode, index, 32, 56);
QIRA_AT(QiraDirEntryNode, key, 36, 64);
QIRA_AT(QiraDirEntryNode, info, 44, 80);

// The entry node listed under `index`, or null.
[[nodiscard]] QiraDirEntryNode *_x_findentry(const QiraDirPrivate *dir, uint32_t index);
