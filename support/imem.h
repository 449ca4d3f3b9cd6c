// Internal records of the memory groups, shared with the tests.
//
// Every header is a whole number of alignment units (the pointer size), and
// Mem_Alloc rounds every request to that unit, so every block is
// pointer-aligned.  On i386 the records have their documented sizes: heap
// header 24, chunk header 20, block header 20, smallest block 44.
#pragma once

#include "qira.h"

namespace qira_mem {

// Requests are rounded to this; every header size is a multiple of it.
inline constexpr uint32_t kUnit = sizeof(void *);
// Largest request Mem_Alloc accepts and largest chunk size a group may ask for.
inline constexpr uint32_t kMaxRequest = 0x40000000u;

constexpr uint32_t roundup(uint32_t n) { return (n + kUnit - 1) & ~(kUnit - 1); }

// In front of every block of os_group and of heap groups.  The self pointer is
// the owner word; the group sits at word 2 as the owner-word rule demands.
struct HeapHeader {
  QiraDNode links;       // on the heap group's list, newest first
  QiraMemGroup *group;
  uint32_t size;         // requested bytes
  uint32_t zero;
  HeapHeader *self;
};
QIRA_SIZE(HeapHeader, 24, 40);
QIRA_AT(HeapHeader, group, 8, 16);
QIRA_AT(HeapHeader, self, 20, 32);

// Start of each chunk of a small-block group; blocks follow directly.
struct ChunkHeader {
  QiraDNode links;       // on the group's list, oldest first
  QiraMemGroup *group;
  uint32_t usable;       // chunk size minus this header
  uint32_t freebytes;    // size + header of every free block; == usable when all free
};
QIRA_SIZE(ChunkHeader, 20, 32);
QIRA_AT(ChunkHeader, group, 8, 16);

// In front of each block of a small-block group.
struct BlockHeader {
  QiraDNode links;       // the chunk's blocks in address order, a ring without head
  uint32_t size;         // usable bytes, a multiple of kUnit
  uint16_t inuse;        // 1 allocated, 0 free
  uint16_t pad;
  ChunkHeader *chunk;    // the owner word
};
QIRA_SIZE(BlockHeader, 20, 32);
QIRA_AT(BlockHeader, size, 8, 16);
QIRA_AT(BlockHeader, inuse, 12, 20);
QIRA_AT(BlockHeader, chunk, 16, 24);

// What a free block keeps in its own usable bytes.  Its size is the smallest
// block a small-block group hands out.
struct FreeInfo {
  TNode node;            // user value: the block header
  QiraDNode samesize;    // further free blocks of this size
  uint16_t intree;       // 1 when node is the one in the free tree
};
QIRA_SIZE(FreeInfo, 44, 80);

inline constexpr uint32_t kHeapHeader = sizeof(HeapHeader);
inline constexpr uint32_t kChunkHeader = sizeof(ChunkHeader);
inline constexpr uint32_t kBlockHeader = sizeof(BlockHeader);
inline constexpr uint32_t kMinBlock = sizeof(FreeInfo);
// A free block this much larger than the request is split; the rest would be
// at least the smallest block with its header.
inline constexpr uint32_t kSplitExtra = kMinBlock + kBlockHeader;
// A chunk for one request of s bytes: chunk header, block header, s bytes.
inline constexpr uint32_t kChunkOverhead = kChunkHeader + kBlockHeader;

static_assert(kHeapHeader % kUnit == 0 && kChunkHeader % kUnit == 0 &&
              kBlockHeader % kUnit == 0 && kMinBlock % kUnit == 0,
              "headers keep blocks pointer-aligned");
static_assert(sizeof(void *) != 4 || (kSplitExtra == 64 && kChunkOverhead == 40),
              "i386 split and chunk figures");

// A small-group block's header from its data address, and back; the first
// block header of a chunk.  No checks: callers hold a block of such a group.
inline BlockHeader *blockof(void *block) {
  return reinterpret_cast<BlockHeader *>(static_cast<char *>(block) - kBlockHeader);
}
inline void *dataof(BlockHeader *b) { return reinterpret_cast<char *>(b) + kBlockHeader; }
inline BlockHeader *firstblock(ChunkHeader *c) {
  return reinterpret_cast<BlockHeader *>(reinterpret_cast<char *>(c) + kChunkHeader);
}

// The root of every chain: blocks straight from malloc.  Never released.
extern QiraMemGroup os_group;

}  // namespace qira_mem
