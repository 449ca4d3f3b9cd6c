/* qira.h - the binary contract between qira.so and its host.
 *
 * Everything here is plain C: record layouts the host and the module both read
 * or write, the error codes, and the prototypes of every exported function.
 * The module, the host stand-in, the tool and the tests all include this one
 * header, so a layout is defined exactly once.
 *
 * Layouts: on i386 every record has the documented size (pointers are 32 bits);
 * on x86_64 every pointer-sized word widens to 8 bytes and the size follows.
 * Each record is checked where it is defined, i386 number first.
 *
 * Map: 1 conventions and error codes, 2 names and tables, 3 host records,
 * 4 host API function shapes, 5 support library, 6 platform layer,
 * 7 exported entry points, type hooks and methods.
 */
#ifndef QIRA_H
#define QIRA_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#define QIRA_STATIC_ASSERT(c, m) static_assert(c, m)
#else
#define QIRA_STATIC_ASSERT(c, m) _Static_assert(c, m)
#endif

#define QIRA_SIZE(T, n32, n64) \
  QIRA_STATIC_ASSERT(sizeof(T) == (sizeof(void *) == 4 ? (n32) : (n64)), #T " size")
#define QIRA_AT(T, f, o32, o64) \
  QIRA_STATIC_ASSERT(offsetof(T, f) == (sizeof(void *) == 4 ? (o32) : (o64)), #T "." #f)

#ifndef QIRA_API
#define QIRA_API __attribute__((visibility("default")))
#endif

/* ===== 1. Error codes =================================================== */

/* Plain uint32_t constants in C++ (no enum type leaks into arithmetic), an enum in C. */
#ifdef __cplusplus
#define QIRA_CONST(name, value) inline constexpr uint32_t name = (value);
#else
#define QIRA_CONST(name, value) enum { name = (value) };
#endif

QIRA_CONST(QIRA_OK, 0)
QIRA_CONST(QIRA_ERR_NOMEM, 1) /* out of memory */
QIRA_CONST(QIRA_ERR_GROUPSIZE, 2) /* Mem_GroupGet: chunk size too large */
QIRA_CONST(QIRA_ERR_GROUPKIND, 4) /* Mem_GroupGet: bad kind/parent combination */
QIRA_CONST(QIRA_ERR_EXISTS, 5) /* the entry exists already */
QIRA_CONST(QIRA_ERR_NOTFOUND, 7) /* not an existing directory / not found / end of search */
QIRA_CONST(QIRA_ERR_ACCESS, 12) /* access denied, or a value that cannot be assigned */
QIRA_CONST(QIRA_ERR_NOTPOSSIBLE, 13) /* not possible here / neither file nor directory / no worker result */
QIRA_CONST(QIRA_ERR_WRONGKIND, 16) /* receiver or entry of the wrong kind */
QIRA_CONST(QIRA_ERR_NOTYPE, 18) /* a type record not found */
QIRA_CONST(QIRA_ERR_NOPRIVATE, 21) /* an object without private data */
QIRA_CONST(QIRA_ERR_TOOLONG, 28) /* buffer or name too long; string flagged as such */
QIRA_CONST(QIRA_ERR_EMPTY, 29) /* empty string argument */
QIRA_CONST(QIRA_ERR_RANGE, 30) /* index, integer or date out of range */
QIRA_CONST(QIRA_ERR_SLASH, 33) /* a name that contains "/" */
QIRA_CONST(QIRA_ERR_MISSINGPARAM, 41) /* a required parameter missing */
QIRA_CONST(QIRA_ERR_NOTVARIABLE, 43) /* an argument that is not a variable reference */
QIRA_CONST(QIRA_ERR_NOHOSTFUNC, 45) /* a host function missing */
QIRA_CONST(QIRA_ERR_SHORTWRITE, 59) /* a short write */
QIRA_CONST(QIRA_ERR_DIGITS, 62) /* a value too large for its digits */
QIRA_CONST(QIRA_ERR_BADENTRYTYPE, 76) /* an entry type not in the entry-type table */
QIRA_CONST(QIRA_ERR_NOENTRY, 77) /* no such entry / a path component that is not a directory */
QIRA_CONST(QIRA_ERR_CONVERT, 81) /* a character that cannot be converted */
QIRA_CONST(QIRA_BLOCK_AGAIN, 1000) /* block not finished: call again */
QIRA_CONST(QIRA_BLOCK_WAIT, 1010) /* block not finished: yield, then call again */
QIRA_CONST(QIRA_ERR_SYSTEM, 2000000) /* OR errno for every other system error */

/* ===== 2. Names and tables ============================================== */

/* Circular doubly linked list node; a list is a ring with a head node. */
typedef struct QiraDNode {
  struct QiraDNode *next;
  struct QiraDNode *prev;
} QiraDNode;

/* A name crossing the boundary: byte length and UTF-16 units, no terminator. */
typedef struct QiraNameDesc {
  uint32_t len;          /* in bytes, not code units */
  const uint16_t *ptr;
} QiraNameDesc;
QIRA_SIZE(QiraNameDesc, 8, 16);
QIRA_AT(QiraNameDesc, len, 0, 0);
QIRA_AT(QiraNameDesc, ptr, 4, 8);

/* A ram descriptor has the same shape: length in bytes, then the bytes. */
typedef struct QiraRamDesc {
  uint32_t len;
  const void *ptr;
} QiraRamDesc;
QIRA_SIZE(QiraRamDesc, 8, 16);

/* The version record VXGetVer hands out. */
typedef struct QiraVersion {
  uint32_t size;         /* of this record */
  uint32_t ver[5];       /* 1, 0, 0, 1, 4 */
  uint32_t desclen1;     /* description length in bytes */
  uint32_t desclen2;
  const char *desc1;     /* the same 8-bit text twice */
  const char *desc2;
} QiraVersion;
QIRA_SIZE(QiraVersion, 40, 48);
QIRA_AT(QiraVersion, ver, 4, 4);
QIRA_AT(QiraVersion, desclen1, 24, 24);
QIRA_AT(QiraVersion, desclen2, 28, 28);
QIRA_AT(QiraVersion, desc1, 32, 32);
QIRA_AT(QiraVersion, desc2, 36, 40);

/* Property row: six u32 columns. */
typedef struct QiraPropRow {
  uint32_t name;         /* symbol index */
  uint32_t col2;         /* = name, or 0x20002 (type row), 0x20004 (method row) */
  uint32_t type;         /* symbol index of the value type */
  uint32_t col4, col5, col6;
} QiraPropRow;
QIRA_SIZE(QiraPropRow, 24, 24);

QIRA_CONST(QIRA_PROPKIND_TYPE, 0x20002)
QIRA_CONST(QIRA_PROPKIND_METHOD, 0x20004)

struct QiraArgSlot;
struct QiraResult;
struct QiraObjRef;
/* Every method: (call context, argc, slots, argc out, receiver, result record). */
typedef uint32_t (*QiraMethodFn)(void *callctx, uint32_t argc, struct QiraArgSlot *slots,
                                 uint32_t *argc_out, const struct QiraObjRef *receiver,
                                 struct QiraResult *result);

/* Method row: name, a zero word, the function. */
typedef struct QiraMethodRow {
  uintptr_t name;        /* symbol index */
  uintptr_t zero;
  QiraMethodFn fn;
} QiraMethodRow;
QIRA_SIZE(QiraMethodRow, 12, 24);
QIRA_AT(QiraMethodRow, fn, 8, 16);

struct QiraObjRef;
union QiraValue;
struct QiraPropRow;
struct QiraMethodRow;

/* Type descriptor: 23 words.  Words that are always numbers stay 32-bit
 * values stored in pointer-sized words, so every word widens alike. */
typedef struct QiraTypeDesc {
  uintptr_t name;        /* 0: symbol index of the type's name */
  uintptr_t w1, w2;
  uintptr_t w3;          /* 3: 0x10001 */
  uintptr_t privsize;    /* 4: bytes of private data per object */
  void (*init)(void *priv);          /* 5 */
  void (*term)(void *priv);          /* 6 */
  uintptr_t w7;
  uint32_t (*getvalue)(const struct QiraObjRef *ref, uint32_t *tag_out, union QiraValue *value_out); /* 8 */
  uintptr_t w9;
  uint32_t (*setvalue)(void);        /* 10: always refuses */
  uintptr_t w11, w12, w13, w14;
  const struct QiraPropRow *props;   /* 15 */
  uintptr_t nprops;                  /* 16 */
  const struct QiraMethodRow *methods; /* 17 */
  uintptr_t nmethods;                /* 18 */
  uintptr_t w19, w20, w21, w22;
} QiraTypeDesc;
QIRA_SIZE(QiraTypeDesc, 92, 184);
QIRA_AT(QiraTypeDesc, privsize, 16, 32);
QIRA_AT(QiraTypeDesc, getvalue, 32, 64);
QIRA_AT(QiraTypeDesc, setvalue, 40, 80);
QIRA_AT(QiraTypeDesc, props, 60, 120);
QIRA_AT(QiraTypeDesc, nmethods, 72, 144);

/* ID-string row (the entry-type table): ID, UTF-16 text, length in code units. */
typedef struct QiraIdStr {
  uintptr_t id;
  const uint16_t *text;
  uintptr_t len;         /* code units, unlike a name descriptor */
} QiraIdStr;
QIRA_SIZE(QiraIdStr, 12, 24);

QIRA_CONST(QIRA_ENTRY_FILE, 1)
QIRA_CONST(QIRA_ENTRY_DIRECTORY, 2)

/* ===== 3. Host records ================================================== */

/* Object reference: the host object and a second word (0 for references the
 * module builds to its own objects). */
typedef struct QiraObjRef {
  void *obj;
  uintptr_t word;
} QiraObjRef;
QIRA_SIZE(QiraObjRef, 8, 16);
QIRA_AT(QiraObjRef, word, 4, 8);

/* A host value record: eleven words, opaque to the module. */
typedef union QiraValue {
  uintptr_t w[11];
  void *p[11];
} QiraValue;
QIRA_SIZE(QiraValue, 44, 88);

/* Argument tags. */
QIRA_CONST(QIRA_TAG_NONE, 0)
QIRA_CONST(QIRA_TAG_VARREF, 0xFFFF)
QIRA_CONST(QIRA_TAG_STRING, 0x10002)
QIRA_CONST(QIRA_TAG_BOOL, 0x10003)
QIRA_CONST(QIRA_TAG_INT, 0x10004)
QIRA_CONST(QIRA_TAG_NUMERIC, 0x10005)

/* Argument slot: twelve words, the tag first.  For a variable reference
 * words 1 and 2 are the variable's object reference. */
typedef struct QiraArgSlot {
  uintptr_t tag;
  union {
    QiraObjRef var;
    QiraValue value;
  } u;
} QiraArgSlot;
QIRA_SIZE(QiraArgSlot, 48, 96);
QIRA_AT(QiraArgSlot, u, 4, 8);

/* Block function and terminator: (block context, block data) -> status. */
typedef uint32_t (*QiraBlockFn)(void *blockctx, void *data);
/* The yield function the host sleeps in. */
typedef void (*QiraYieldFn)(void *const *runs, uint32_t count, uint16_t wait);

/* Result record, the last argument of every method. */
typedef struct QiraResult {
  QiraBlockFn block;     /* 0 */
  QiraBlockFn term;      /* 1 */
  void *data;            /* 2 */
  uintptr_t w3, w4, w5;
  uintptr_t yieldsize;   /* 6: size of the yield record (20) */
  QiraYieldFn yieldfn;   /* 7 */
  void *yieldrec;        /* 8 */
  uintptr_t w9;
} QiraResult;
QIRA_SIZE(QiraResult, 40, 80);
QIRA_AT(QiraResult, yieldsize, 24, 48);
QIRA_AT(QiraResult, yieldfn, 28, 56);
QIRA_AT(QiraResult, yieldrec, 32, 64);

/* A host function as stored in the API table; cast to its shape to call. */
typedef void (*QiraHostFn)(void);
/* Getter at word 2 of a function provider: host API ID to function, or null. */
typedef QiraHostFn (*QiraGetterFn)(uint32_t id);

typedef struct QiraProvider {
  uintptr_t w0, w1;
  QiraGetterFn getter;   /* 2 */
} QiraProvider;
QIRA_AT(QiraProvider, getter, 8, 16);

struct QiraMemGroup;

/* Module context: the host's per-module record. */
typedef struct QiraModuleCtx {
  uintptr_t w0, w1, w2, w3;
  QiraProvider *provider;        /* 4 */
  uintptr_t w5;
  struct QiraMemGroup *group;    /* 6 */
  uintptr_t w7_13[7];
  QiraDNode listings;            /* 14: head of the list of open listings */
  uintptr_t w16_19[4];
} QiraModuleCtx;
QIRA_AT(QiraModuleCtx, provider, 16, 32);
QIRA_AT(QiraModuleCtx, group, 24, 48);
QIRA_AT(QiraModuleCtx, listings, 56, 112);
QIRA_SIZE(QiraModuleCtx, 80, 160);

/* Call context: the module context at word 1. */
typedef struct QiraCallCtx {
  uintptr_t w0;
  QiraModuleCtx *modctx;         /* 1 */
  uintptr_t w2_7[6];
} QiraCallCtx;
QIRA_AT(QiraCallCtx, modctx, 4, 8);

/* Host object: the private-data accessor at word 2, called with the object
 * and the address of the reference's second word. */
typedef void *(*QiraPrivAccessor)(void *obj, uintptr_t *refword);
typedef struct QiraHostObject {
  uintptr_t w0, w1;
  QiraPrivAccessor priv;         /* 2 */
} QiraHostObject;
QIRA_AT(QiraHostObject, priv, 8, 16);

/* Type-info record: kind at word 4, private-data initialiser at word 10. */
typedef struct QiraTypeInfo {
  uintptr_t w0_3[4];
  uintptr_t kind;                /* 4: 0x20002 for a type object */
  uintptr_t w5_9[5];
  void (*init)(void *priv);      /* 10 */
} QiraTypeInfo;
QIRA_AT(QiraTypeInfo, kind, 16, 32);
QIRA_AT(QiraTypeInfo, init, 40, 80);
QIRA_CONST(QIRA_KIND_TYPEOBJECT, 0x20002)

/* Type record: next in the ring of types registered together at word 0,
 * the type-info record at word 10. */
typedef struct QiraTypeRecord {
  struct QiraTypeRecord *next;   /* 0 */
  uintptr_t w1_9[9];
  QiraTypeInfo *info;            /* 10 */
} QiraTypeRecord;
QIRA_AT(QiraTypeRecord, info, 40, 80);

/* ===== 4. Host API: IDs, slot order and the shapes the module calls ===== */

#define QIRA_HOSTAPI_COUNT 75
/* Slot order in which the module fetches the table. */
#define QIRA_HOSTAPI_IDS                                                      \
  100, 101, 102, 105, 106, 107, 108, 109, 110, 111, 112, 113, 114, 120, 130, \
  131, 140, 180, 181, 182, 200, 210, 211, 212, 213, 214, 215, 216, 217, 218, \
  219, 220, 221, 222, 224, 225, 300, 301, 302, 303, 304, 305, 306, 400, 401, \
  402, 403, 404, 405, 406, 407, 408, 430, 431, 440, 451, 452, 453, 454, 455, \
  456, 457, 458, 459, 500, 501, 502, 503, 600, 601, 605, 609, 700, 701, 800

/* Slot indices of the IDs the module calls. */
QIRA_CONST(QIRA_API_NEWOBJ, 0) /* 100 */
QIRA_CONST(QIRA_API_ADDREF, 3) /* 105 */
QIRA_CONST(QIRA_API_RELEASE, 4) /* 106 */
QIRA_CONST(QIRA_API_NOTEVAR, 5) /* 107 */
QIRA_CONST(QIRA_API_TYPEOF, 6) /* 108 */
QIRA_CONST(QIRA_API_RESOLVEVAR, 8) /* 110 */
QIRA_CONST(QIRA_API_ASSIGN, 9) /* 111 */
QIRA_CONST(QIRA_API_SETPROP, 10) /* 112 */
QIRA_CONST(QIRA_API_REGTYPE, 14) /* 130 */
QIRA_CONST(QIRA_API_PARAMPOS, 16) /* 140 */
QIRA_CONST(QIRA_API_NOVALUE, 20) /* 200 */
QIRA_CONST(QIRA_API_DELIVER, 21) /* 210 */
QIRA_CONST(QIRA_API_DROP, 22) /* 211 */
QIRA_CONST(QIRA_API_COMPLETE, 31) /* 220 */
QIRA_CONST(QIRA_API_GETBOOL, 36) /* 300 */
QIRA_CONST(QIRA_API_GETSTR, 39) /* 303 */
QIRA_CONST(QIRA_API_GETINT, 40) /* 304 */
QIRA_CONST(QIRA_API_FREEVAL, 43) /* 400 */
QIRA_CONST(QIRA_API_MKBOOL, 44) /* 401 */
QIRA_CONST(QIRA_API_MKU32, 45) /* 402 */
QIRA_CONST(QIRA_API_MKINT, 47) /* 404 */
QIRA_CONST(QIRA_API_MKSTR, 48) /* 405 */
QIRA_CONST(QIRA_API_TOINT, 52) /* 430 */

typedef QiraHostFn QiraHostApi[QIRA_HOSTAPI_COUNT];

/* A table slot as the function shape it holds: QIRA_HOSTFN(table, QIRA_API_ADDREF, QiraHost_Ref). */
#define QIRA_HOSTFN(table, slot, Shape) ((Shape)(table)[slot])

typedef uint32_t (*QiraHost_NewObj)(QiraTypeRecord *type, QiraObjRef *out);          /* 100 */
typedef uint32_t (*QiraHost_Ref)(void *obj);                                         /* 105, 106 */
typedef uint32_t (*QiraHost_NoteVar)(QiraObjRef *ref, uintptr_t z1, uintptr_t z2);   /* 107 */
typedef QiraTypeRecord *(*QiraHost_TypeOf)(const QiraObjRef *ref);                   /* 108 */
typedef uint32_t (*QiraHost_ResolveVar)(QiraArgSlot *slot);                          /* 110 */
typedef uint32_t (*QiraHost_Assign)(void *var, uintptr_t word, uint32_t tag,
                                    QiraValue *value, uint16_t flag);                /* 111 */
typedef uint32_t (*QiraHost_SetProp)(void *obj, uintptr_t word, uint32_t symbol,
                                     uint32_t tag, QiraValue *value, uint16_t flag); /* 112 */
typedef uint32_t (*QiraHost_RegType)(void *regctx, const QiraTypeDesc *desc,
                                     void *argument);                                /* 130 */
typedef uint32_t (*QiraHost_ParamPos)(uint32_t *positions, const QiraNameDesc *descs,
                                      uint32_t count, uint32_t argc,
                                      QiraArgSlot *slots);                           /* 140 */
typedef uint32_t (*QiraHost_NoValue)(void *callctx, QiraResult *result, uintptr_t zero,
                                     QiraValue *scratch);                            /* 200 */
/* 210 and 211 have the block shape (QiraBlockFn); 220 too, with data 0. */
typedef uint32_t (*QiraHost_GetBool)(QiraArgSlot *slot, uint16_t *flag,
                                     uint16_t *value);                               /* 300 */
typedef uint32_t (*QiraHost_GetStr)(QiraArgSlot *slot, uint16_t *flag1, uint16_t *flag2,
                                    const uint16_t **chars, uint32_t *len);          /* 303 */
typedef uint32_t (*QiraHost_GetInt)(QiraArgSlot *slot, uint16_t *flag1, uint16_t *flag2,
                                    uint16_t *sign, uint32_t *count,
                                    const uint16_t **digits);                        /* 304 */
typedef uint32_t (*QiraHost_FreeVal)(uint32_t tag, QiraValue *value);                /* 400 */
typedef uint32_t (*QiraHost_MkBool)(QiraValue *out, uint16_t value);                 /* 401 */
typedef uint32_t (*QiraHost_MkU32)(QiraModuleCtx *mc, QiraValue *out, uint16_t sign,
                                   uint32_t value);                                  /* 402 */
typedef uint32_t (*QiraHost_MkInt)(QiraModuleCtx *mc, QiraValue *out, uint16_t sign,
                                   const uint16_t *digits, uint32_t count);          /* 404 */
typedef uint32_t (*QiraHost_MkStr)(QiraModuleCtx *mc, QiraValue *out,
                                   const uint16_t *chars, uint32_t len);             /* 405 */
typedef uint32_t (*QiraHost_ToInt)(QiraModuleCtx *mc, QiraValue *slotvalue);         /* 430 */

/* API block: a reference counter and a copy of the host API table. */
typedef struct QiraRefCount {
  uint32_t count;
  uint32_t limit;
} QiraRefCount;
QIRA_SIZE(QiraRefCount, 8, 8);

typedef struct QiraApiBlock {
  QiraRefCount rc;
  QiraHostApi api;
} QiraApiBlock;
QIRA_SIZE(QiraApiBlock, 8 + 75 * 4, 8 + 75 * 8);

/* ===== 5. Support library ============================================== */

/* Comparator: (searched key, a node's user value) -> -1, 0, 1. */
typedef int32_t (*QiraCompFn)(uintptr_t key, uintptr_t value);

/* Circular doubly linked list node (declared with the module context). */
QIRA_SIZE(QiraDNode, 8, 16);

typedef struct TNode TNode;
typedef struct TLink {
  TNode *node;
  uint32_t count;        /* nodes in the subtree under node */
} TLink;
QIRA_SIZE(TLink, 8, 16);
QIRA_AT(TLink, count, 4, 8);

struct TNode {
  TLink link[2];         /* 0 left, 1 right */
  TNode *parent;
  uint32_t side;         /* 0 left, 1 right, 2 none */
  int32_t countdown;     /* check countdown */
  uintptr_t user;        /* what the comparator sees */
};
QIRA_SIZE(TNode, 32, 56);
QIRA_AT(TNode, parent, 16, 32);
QIRA_AT(TNode, side, 20, 40);
QIRA_AT(TNode, countdown, 24, 44);
QIRA_AT(TNode, user, 28, 48);

typedef struct TTree {
  TLink root;
  QiraCompFn comp;
} TTree;
QIRA_SIZE(TTree, 12, 24);
QIRA_AT(TTree, comp, 8, 16);

/* Memory group record: seven operations, parent, chunk list, sizes, walk
 * fields and the free tree.  Shared with the host's own groups. */
typedef struct QiraMemGroup QiraMemGroup;
struct QiraMemGroup {
  void *(*allocgrp)(QiraMemGroup *g);
  void *(*allocitem)(void);
  void *(*alloc)(QiraMemGroup *g, uint32_t size, uint32_t *need);
  void *(*free)(QiraMemGroup *g, void *block);
  void (*reset)(QiraMemGroup *g, void *block, uint16_t flag);
  void (*newchunk)(QiraMemGroup *g, void *chunk, uint32_t size);
  void (*freechunk)(void *element);
  QiraMemGroup *parent;
  QiraDNode list;
  uint32_t chunksize;
  QiraMemGroup *walklink;
  uint32_t walksize;
  TTree freetree;
};
QIRA_SIZE(QiraMemGroup, 64, 128);
QIRA_AT(QiraMemGroup, parent, 28, 56);
QIRA_AT(QiraMemGroup, list, 32, 64);
QIRA_AT(QiraMemGroup, chunksize, 40, 80);
QIRA_AT(QiraMemGroup, walklink, 44, 88);
QIRA_AT(QiraMemGroup, walksize, 48, 96);
QIRA_AT(QiraMemGroup, freetree, 52, 104);

QIRA_CONST(QIRA_GROUP_HEAP, 1)
QIRA_CONST(QIRA_GROUP_SMALL, 2)

/* Yield record: 20 bytes on both targets (no pointers). */
typedef struct QiraYieldRec {
  int32_t fd;            /* -1 for none */
  uint32_t mode;         /* 0 none, 1 deadline, 2 periodic */
  uint32_t period;       /* ms */
  uint32_t deadline;     /* TimeDate_mscounter value */
  uint32_t flags;
} QiraYieldRec;
QIRA_SIZE(QiraYieldRec, 20, 20);
QIRA_AT(QiraYieldRec, flags, 16, 16);
QIRA_CONST(QIRA_YF_NOREAD, 0x1)
QIRA_CONST(QIRA_YF_NOWRITE, 0x2)
QIRA_CONST(QIRA_YF_NOWAIT, 0x100)
QIRA_CONST(QIRA_YF_MORE, 0x200)

/* Simple lock: the lock word and the last failure code. */
typedef struct QiraSimpleLock {
  uint32_t word;
  uint32_t lastcode;
} QiraSimpleLock;
QIRA_SIZE(QiraSimpleLock, 8, 8);

/* Copies len bytes from src to dst, front to back, so a dst below an
 * overlapping src is safe; len 0xFFFFFFFF copies up to and including src's
 * first zero byte. */
QIRA_API void Ram_UBYTE_copy(const void *src, void *dst, uint32_t len);
/* Three-way byte comparison, bytes unsigned: -1, 0 or 1.  A length of
 * 0xFFFFFFFF runs up to and includes the first zero byte; an empty range
 * sorts before every other, and a range after each proper prefix of it. */
QIRA_API int32_t Ram_UBYTE_cmp(const void *a, uint32_t alen, const void *b, uint32_t blen);
/* Stores value into len bytes from dst on (0xFFFFFFFF is a count here too). */
QIRA_API void Ram_UBYTE_set(void *dst, uint32_t len, uint8_t value);
/* Comparator: a and b as unsigned words, -1, 0 or 1; TTree_Init's default. */
QIRA_API int32_t Comp_ptrs(uintptr_t a, uintptr_t b);
/* Comparator: a and b point to QiraRamDescs; Ram_UBYTE_cmp of their bytes. */
QIRA_API int32_t Comp_ramdescs(uintptr_t a, uintptr_t b); /* pointers to QiraRamDesc */

/* Makes a group: QIRA_GROUP_HEAP (parent must be null) or QIRA_GROUP_SMALL
 * under parent (null: the C library), its record taken from the parent.
 * 0 with *out set (skipped when null); 2 chunksize above 0x40000000, 4 a bad
 * kind or parent, 1 no memory, *out untouched.  Mem_GroupFree ends it. */
QIRA_API uint32_t Mem_GroupGet(QiraMemGroup *parent, uint32_t kind, uint32_t chunksize,
                               QiraMemGroup **out);
/* A pointer-aligned block of at least size bytes from g, the caller's until
 * Mem_Free or Mem_GroupFree(g).  Null when g is null, size is above
 * 0x40000000, or no group up to the C library has the memory. */
QIRA_API void *Mem_Alloc(QiraMemGroup *g, uint32_t size);
/* Releases a block of any group (its owner word names the group).  Null is
 * allowed and does nothing, so callers need no guard.  A block freed twice
 * or after its group is gone is the caller's bug. */
QIRA_API void Mem_Free(void *block);
/* Releases g with every block still allocated from it (so also any group
 * whose memory came from it) and then its record, without visiting blocks
 * one by one.  Null is allowed. */
QIRA_API void Mem_GroupFree(QiraMemGroup *g);

/* Makes node a one-element ring: an empty list head, or a node on no list. */
QIRA_API void DNode_Init(QiraDNode *node);
/* Links node (on no list) directly after where; after the head: first. */
QIRA_API void DNode_AddAfter(QiraDNode *node, QiraDNode *where);
/* Links node (on no list) directly before where; before the head: last. */
QIRA_API void DNode_AddBefore(QiraDNode *node, QiraDNode *where);
/* Unlinks node and leaves it a one-element ring; a second removal changes nothing. */
QIRA_API void DNode_Remove(QiraDNode *node);
/* Clears a link: no node, count 0. */
QIRA_API void TLink_Init(TLink *link);
/* Prepares node for TTree_SearchAddNode: no links, no parent, side 2, a
 * fresh check countdown, user stored.  Nodes live inside their users'
 * records; a tree never allocates or frees one. */
QIRA_API void TNode_Init(TNode *node, uintptr_t user);
/* The value the comparator sees for node. */
QIRA_API uintptr_t TNode_UserValue(const TNode *node);
/* An empty tree ordered by comp(key, a node's user value); null comp means Comp_ptrs. */
QIRA_API void TTree_Init(TTree *tree, QiraCompFn comp);
/* The node whose user value compares equal to key, or null. */
QIRA_API TNode *TTree_Search(const TTree *tree, uintptr_t key);
/* The node equal to key; else, with side 0, the one with the greatest user
 * value below key, with any other side the one with the smallest above it.
 * Null when there is no such node (an empty tree included). */
QIRA_API TNode *TTree_SearchNotExact(const TTree *tree, uintptr_t key, uint32_t side);
/* Inserts node (prepared by TNode_Init, or removed by TTree_RemNode) keyed by
 * its user value and returns null; when an equal node is in the tree
 * already, nothing changes and that node is returned. */
QIRA_API TNode *TTree_SearchAddNode(TTree *tree, TNode *node);
/* Removes node, which must be in tree.  It comes out detached with its user
 * value kept, ready to be inserted again; nothing is freed. */
QIRA_API void TTree_RemNode(TTree *tree, TNode *node);

/* Milliseconds since 1970 modulo 2^32: compare readings only by their
 * unsigned difference.  Whole seconds when the time of day cannot be read. */
QIRA_API uint32_t TimeDate_mscounter(void);
/* Sets the lock word free (0); returns 0. */
QIRA_API uint32_t ResL_Init(uint32_t *word);
/* Takes the word exclusively without waiting: 0 done, 1 another operation is
 * inspecting it this instant, 2 held exclusively, 4 shared holds present,
 * 16 the refusing hold (bit 24) set.  Only 0 changes the word. */
QIRA_API uint32_t ResL_ExclLock(uint32_t *word);
/* Drops the exclusive hold, else one shared hold, without waiting: 0 done,
 * 1 busy this instant, 32 nothing held. */
QIRA_API uint32_t ResL_LockFree(uint32_t *word);
/* A free simple lock with last failure code 0. */
QIRA_API void ResL_SimpleInit(QiraSimpleLock *lock);
/* ResL_ExclLock retried with short sleeps for up to 10 s: 1 locked, 0 not
 * (the last code is then in lock->lastcode). */
QIRA_API uint32_t ResL_SimpleLock(QiraSimpleLock *lock);
/* ResL_LockFree retried the same way: 1 released, 0 not (code in
 * lock->lastcode; a lock nobody holds fails with 32 after 10 s). */
QIRA_API uint32_t ResL_SimpleUnLock(QiraSimpleLock *lock);
/* Sleeps about 1 us; nanosleep's result. */
QIRA_API int32_t ResL_Yield(void);
/* The host's sleep: select() until a descriptor named in the count runs of
 * yield records is ready or the nearest deadline passes (none: no limit).
 * Returns at once when wait is not 1, or a run pointer is null, a record has
 * QIRA_YF_NOWAIT or an unknown mode.  Writes only mode-2 deadlines forward. */
QIRA_API void TARVOYield_Lnx_SockOrTime(void *const *runs, uint32_t count, uint16_t wait);

/* ===== 6. Platform layer ================================================ */

typedef struct QiraDigits4 {
  uint32_t count;        /* 0: no date */
  uint16_t d[4];         /* least significant first */
} QiraDigits4;
typedef struct QiraDigits8 {
  uint32_t count;
  uint16_t d[8];
} QiraDigits8;

/* Entry-info record: the platform's description of one entry.  The name
 * belongs to whoever asked for the record and is freed with Mem_Free. */
typedef struct QiraEntryInfo {
  uint16_t readonly;
  uint16_t hidden;
  uint16_t system;
  uint32_t entrytype;    /* QIRA_ENTRY_FILE or QIRA_ENTRY_DIRECTORY */
  QiraDigits4 created;
  QiraDigits4 lastchanged;
  QiraDigits4 lastaccessed;
  QiraDigits8 size;
  uint32_t namelen;      /* code units */
  uint16_t *name;        /* null for an empty component */
} QiraEntryInfo;
QIRA_AT(QiraEntryInfo, entrytype, 8, 8);
QIRA_AT(QiraEntryInfo, created, 12, 12);
QIRA_AT(QiraEntryInfo, lastchanged, 24, 24);
QIRA_AT(QiraEntryInfo, lastaccessed, 36, 36);
QIRA_AT(QiraEntryInfo, size, 48, 48);
QIRA_AT(QiraEntryInfo, namelen, 68, 68);
QIRA_AT(QiraEntryInfo, name, 72, 72);
QIRA_SIZE(QiraEntryInfo, 76, 80);

/* Unit that starts the bytes-only form of an undecodable native name. */
QIRA_CONST(QIRA_BYTES_ONLY_MARKER, 0xFFFE)

typedef struct QiraSearch QiraSearch;   /* platform-private */
typedef struct QiraWorker QiraWorker;   /* platform-private */

/* Resolves a script's name: "~" and "~user", the working directory, "." and
 * ".." lexically, trailing "/".  Stores the UTF-16 full name and its count,
 * the native name and whether it is a directory (each output may be null);
 * both names come from g and are the caller's to Mem_Free.  7 the name does
 * not exist; 1, 28, 81 conversion; 2000000|errno; nothing kept on failure. */
QIRA_API uint32_t qira_platspec_nameandcheckdir(const uint16_t *name, uint32_t len,
                                                QiraMemGroup *g, uint16_t **full_out,
                                                uint32_t *fulllen_out, char **native_out,
                                                uint16_t *isdir_out);
/* Length of name's directory part, its last "/" included; 0 when it has
 * none.  Always 0; out may be null. */
QIRA_API uint32_t qira_platspec_pathpartlength(const uint16_t *name, uint32_t len,
                                               uint32_t *out);
/* dir + "/" + name ("/" not doubled) in a new block from g, not terminated,
 * the caller's to Mem_Free; out and outlen may be null.  1 no memory; 28 a
 * result beyond the size limit, or one that adds nothing to dir. */
QIRA_API uint32_t qira_platspec_makefullname(const uint16_t *dir, uint32_t dirlen,
                                             const uint16_t *name, uint32_t namelen,
                                             QiraMemGroup *g, uint16_t **out,
                                             uint32_t *outlen);
/* The entry-info record of native, links followed; *out is written only on
 * success, its name (the last component) from g, the caller's to Mem_Free.
 * 77 missing or a component not a directory, 12 access, 2000000|errno,
 * 1, 28, 81 name conversion, 62 a time before 1970. */
QIRA_API uint32_t qira_platspec_getentryinfo(const char *native, QiraMemGroup *g,
                                             QiraEntryInfo *out);
/* Creates directory full and fills *out as qira_platspec_getentryinfo does
 * (its name the caller's).  5 it exists, 77 missing or a component not a directory, 12 access, 2000000|errno;
 * a directory that cannot be described is removed again. */
QIRA_API uint32_t qira_platspec_createdirectory(const uint16_t *full, uint32_t len,
                                                QiraMemGroup *g, QiraEntryInfo *out);
/* Removes the empty directory full; g lends the native name's memory.
 * 77 missing or a component not a directory, 12 access, 2000000|errno (2000039 not empty). */
QIRA_API uint32_t qira_platspec_deletedirectory(const uint16_t *full, uint32_t len,
                                                QiraMemGroup *g);
/* Removes full with remove(): a file, or an empty directory.
 * 77 missing or a component not a directory, 12 access, 2000000|errno. */
QIRA_API uint32_t qira_platspec_deletefile(const uint16_t *full, uint32_t len,
                                           QiraMemGroup *g);
/* Renames oldnative to newfull, replacing a file of that name as rename()
 * does; never copies (2000018 across file systems).  On success the new
 * native name from g is stored, the caller's to Mem_Free (freed here when
 * newnative_out is null).  1, 28, 81, 5 a non-empty directory there, 77, 12, 2000000|errno. */
QIRA_API uint32_t qira_platspec_rename(const char *oldnative, const uint16_t *newfull,
                                       uint32_t newlen, char **newnative_out,
                                       QiraMemGroup *g);
/* Applies each flag whose set argument is 1.  Linux has no hidden or system
 * state and read-only is a matter of permissions, so a request that would
 * change the entry gives 13 and one it already meets 0.  7 native missing,
 * 12, 2000000|errno. */
QIRA_API uint32_t qira_platspec_setattributes(const char *native, uint16_t setro,
                                              uint16_t ro, uint16_t sethidden,
                                              uint16_t hidden, uint16_t setsystem,
                                              uint16_t system);
/* Sets the change and access times whose flag is 1 (whole seconds, date
 * values of up to 8 digits); a created date other than "no date" gives 13.
 * Nothing asked: 0 without touching the disk.  30 a date before 1970 or out
 * of the time range, 77 missing or a component not a directory, 12 access, 2000000|errno. */
QIRA_API uint32_t qira_platspec_setdates(const char *native, uint16_t isdir,
                                         uint16_t setcreated, const uint16_t *created,
                                         uint32_t createdcount, uint16_t setchanged,
                                         const uint16_t *changed, uint32_t changedcount,
                                         uint16_t setaccessed, const uint16_t *accessed,
                                         uint32_t accessedcount);
/* Opens the directory native for qira_platspec_search_getnext; the search
 * record and its path buffer come from g.  The search ends with
 * qira_platspec_search_term (or closed only, qira_platspec_search_justfree);
 * with out null it is ended at once.  77 native null or missing, 12, 28, 1,
 * 2000000|errno. */
QIRA_API uint32_t qira_platspec_search_start(const char *native, QiraMemGroup *g,
                                             QiraSearch **out);
/* The next entry's record into *out, its name from g, the caller's to
 * Mem_Free.  7 the end (also for a null search); 2000000|errno a
 * failing read.  Any other code (the entry vanished, conversion, memory)
 * concerns that entry only: the search goes on. */
QIRA_API uint32_t qira_platspec_search_getnext(QiraSearch *s, QiraMemGroup *g,
                                               QiraEntryInfo *out);
/* Closes the directory stream only; the record stays in its group.  Call it
 * at most once, and then neither getnext nor term.  Null allowed; returns 0. */
QIRA_API uint32_t qira_platspec_search_justfree(QiraSearch *s);
/* Closes the stream and frees the path buffer and the record.  Null
 * allowed; returns 0. */
QIRA_API uint32_t qira_platspec_search_term(QiraSearch *s);
/* Forks a worker that copies the file srcnative to dest (the script's text
 * taken as a native name, not resolved; replace 1 overwrites).  The handle
 * from g goes to *out; with out null it is dropped and the copy still runs.
 * 77 srcnative null; 1, 28, 81 conversion; 2000000|errno pipe or fork.  The
 * copy's own outcome comes from qira_platspec_copymove_getresult. */
QIRA_API uint32_t qira_platspec_copy_start(const char *srcnative, const uint16_t *dest,
                                           uint32_t destlen, uint16_t replace,
                                           QiraMemGroup *g, QiraWorker **out);
/* As qira_platspec_copy_start, but moves srcnative (renamed in place where
 * it can be, else copied and then removed). */
QIRA_API uint32_t qira_platspec_move_start(const char *srcnative, const uint16_t *dest,
                                           uint32_t destlen, uint16_t replace,
                                           QiraMemGroup *g, QiraWorker **out);
/* 1010 while the worker runs, then its final code (0, or why it failed; 13
 * when it ended without a whole result), the same code again on every later
 * call.  13 for a null handle.  Never blocks. */
QIRA_API uint32_t qira_platspec_copymove_getresult(QiraWorker *w);
/* Closes the pipe and frees the handle, whether or not a result came; a
 * running worker finishes on its own.  Null allowed; returns 0. */
QIRA_API uint32_t qira_platspec_copymove_terminate(QiraWorker *w);
/* Points rec (size bytes, at least 20) at the worker's pipe: readable, no
 * deadline; fills result's wait hook when result is not null.  1 done, 0
 * for a null handle or record or a short area (nothing written). */
QIRA_API uint16_t qira_platspec_setyielddata(QiraWorker *w, QiraYieldRec *rec,
                                             uint32_t size, QiraResult *result);

/* ===== 7. Entry points, tables, helpers, type hooks, methods ============ */

/* The constant version record; never null, never to be freed. */
QIRA_API const QiraVersion *VXGetVer(void);
/* The module function for id 100 to 104 or 110 (GetRefCount, GetRef,
 * GetSymCount, GetSymbol, AddTypes, GetVersion); null for any other id. */
QIRA_API QiraHostFn TARVO(int32_t id);
/* The number of references the module holds: 1. */
QIRA_API uint32_t TARVOQIRA_GetRefCount(void);
/* Reference index 1 has the value 0: 0 and *out set (skipped when null);
 * any other index 30. */
QIRA_API uint32_t TARVOQIRA_GetRef(uint32_t index, uint32_t *out);
/* Stores the symbol count, 36 (skipped when out is null); returns 0.  ctx unused. */
QIRA_API uint32_t TARVOQIRA_GetSymCount(void *ctx, uint32_t *out);
/* The name descriptor of symbol index (1 to 36) into *out (skipped when
 * null); it points at constant text, never freed.  30 for other indices. */
QIRA_API uint32_t TARVOQIRA_GetSymbol(void *ctx, uint32_t index, QiraNameDesc *out);
/* Writes the 8 code units of "1.00.001" (no terminator) when capacity is at
 * least 8 and buffer not null; *len_out gets 8 in every case (when not
 * null).  28 when capacity is below 8, buffer untouched. */
QIRA_API uint32_t TARVO_GetVersion(void *ctx, uint16_t *buffer, uint32_t capacity,
                                   uint32_t *len_out);
/* Writes exactly 8 code units "M.mm.bbb" (no terminator); a field whose value
 * does not fit is all "#".  A null buffer does nothing. */
QIRA_API void x_xx_xxx_VersionString(uint16_t *buffer, uint32_t major, uint32_t minor,
                                     uint32_t build);
/* Registers QIRAdirectory, then QIRAdirectoryentry, through the host's
 * function 130; host is the registration context (word 1: the function
 * provider), argument is passed through, ctx unused.  45 no function 130;
 * else the first non-zero registration result (then no further type). */
QIRA_API uint32_t TARVOQIRA_AddTypes(void *ctx, void *host, void *argument);
/* Fills table (QIRA_HOSTAPI_COUNT slots) with the provider's functions in
 * QIRA_HOSTAPI_IDS order.  45 when provider, its getter or table is null or
 * any ID has no function (the table then partly filled: do not use it). */
QIRA_API uint32_t TARVO_GetExternalApiFuncs(QiraProvider *provider, QiraHostFn *table);

/* The variable reference at 1-based pos into *out, without a count of the
 * caller's own: the host keeps it alive for the call.  Absent (pos 0): 0, *out
 * untouched; an empty slot: 0 and out->obj null.  43 not a variable, 45. */
QIRA_API uint32_t TARVOParam_ObjParam(QiraHostFn *table, uint32_t pos, QiraArgSlot *slots,
                                      QiraObjRef *out);
/* The UTF-16 text at pos: chars (the host's, valid for the call) and its
 * length in code units; outputs skipped when null.  41 absent, 29 / 28 the
 * host's empty / too-long flag, 45, or the host's code. */
QIRA_API uint32_t TARVOParam_StrParam(QiraModuleCtx *mc, QiraHostFn *table, uint32_t pos,
                                      QiraArgSlot *slots, const uint16_t **chars,
                                      uint32_t *len);
/* The integer at pos as sign, digits (the host's, least significant first)
 * and count; outputs skipped when null.  41 absent, 30 flagged unusable by
 * the host, 45, or the host's code. */
QIRA_API uint32_t TARVOParam_IntParam(QiraModuleCtx *mc, QiraHostFn *table, uint32_t pos,
                                      QiraArgSlot *slots, uint16_t *sign,
                                      const uint16_t **digits, uint32_t *count);
/* As TARVOParam_IntParam, after resolving a variable in place (110) and
 * turning another numeric form into an integer in the slot (430); their
 * codes are returned as they come. */
QIRA_API uint32_t TARVOParam_IntDigitsFromNumericParam(QiraModuleCtx *mc, QiraHostFn *table,
                                                       uint32_t pos, QiraArgSlot *slots,
                                                       uint16_t *sign,
                                                       const uint16_t **digits,
                                                       uint32_t *count);
/* The integer at pos as a u32 within [minimum, maximum] into *value.  Absent:
 * 0, *value untouched (the caller's default).  30 negative, wider than 32
 * bits or out of bounds; else as TARVOParam_IntDigitsFromNumericParam. */
QIRA_API uint32_t TARVOParam_VxmemsizeParam(QiraModuleCtx *mc, QiraHostFn *table,
                                            uint32_t pos, QiraArgSlot *slots,
                                            uint32_t *value, uint32_t minimum,
                                            uint32_t maximum);
/* The boolean at pos into *value.  Absent: 0, *value untouched (the
 * caller's default).  30 flagged unusable by the host, 45, or the host's code. */
QIRA_API uint32_t TARVOParam_BoolParam(QiraModuleCtx *mc, QiraHostFn *table, uint32_t pos,
                                       QiraArgSlot *slots, uint16_t *value);
/* The private data of ref's object, asked of the object itself; null for a
 * null ref, a null object or an object without an accessor. */
QIRA_API void *TARVO_ObjRefGetPrivatePtr(const QiraObjRef *ref);
/* Assigns value as an integer to the variable ref names (how methods fill
 * `error`, flag 0).  43 ref null, 45, or the host's code; an integer the host
 * refused is freed again. */
QIRA_API uint32_t TARVOUtil_SetObjVxu32int(QiraHostFn *table, QiraModuleCtx *mc,
                                           const QiraObjRef *ref, uint32_t value,
                                           uint16_t flag);
/* Sets property symbol of ref's object to a copy of the len code units at
 * chars.  16 ref null, 45, or the host's code; a refused value is freed. */
QIRA_API uint32_t TARVOUtil_SetPropString(QiraHostFn *table, QiraModuleCtx *mc,
                                          const QiraObjRef *ref, uint32_t symbol,
                                          const uint16_t *chars, uint32_t len,
                                          uint16_t flag);
/* Sets property symbol to the integer (sign, count digits, least significant
 * first).  16 ref null, 45, or the host's code; a refused value is freed. */
QIRA_API uint32_t TARVOUtil_SetPropIntDigits(QiraHostFn *table, QiraModuleCtx *mc,
                                             const QiraObjRef *ref, uint32_t symbol,
                                             uint16_t sign, const uint16_t *digits,
                                             uint32_t count, uint16_t flag);
/* Sets property symbol to a boolean.  16 ref null, 45, or the host's code. */
QIRA_API uint32_t TARVOUtil_SetPropBool(QiraHostFn *table, const QiraObjRef *ref,
                                        uint32_t symbol, uint16_t value, uint16_t flag);
/* Sets property symbol to a value of tag that carries nothing (tag 0: no
 * value).  16 ref null, 45, or the host's code. */
QIRA_API uint32_t TARVOUtil_SetPropConst(QiraHostFn *table, const QiraObjRef *ref,
                                         uint32_t symbol, uint32_t tag, uint16_t flag);
/* Among the types registered together with obj's, the one whose private-data
 * initialiser is init; null when there is none or no function 108.  The
 * record is the host's. */
QIRA_API QiraTypeRecord *TARVOUtil_GetTypeInSameModule(QiraHostFn *table, void *obj,
                                                       void (*init)(void *priv));
/* Count 0, limit 0xFFFFFFFF.  A count at the limit never moves again, so an
 * overflowed or over-released count leaks its block instead of freeing it early. */
QIRA_API void TARVOUtil_RefCountInit(QiraRefCount *c);
/* Adds one, unless the count is at its limit. */
QIRA_API void TARVOUtil_RefCountInc(QiraRefCount *c);
/* Takes one away, unless at the limit; 1 when the count is now 0 (the
 * caller frees the block), else 0. */
QIRA_API uint32_t TARVOUtil_RefCountDecIsZero(QiraRefCount *c);
/* The first of count rows with id into *row_out (skipped when null); the row
 * is constant data.  7 when no row has it or rows is null. */
QIRA_API uint32_t TARVOIdedStr_GetIdedStr(const QiraIdStr *rows, uint32_t count,
                                          uint32_t id, const QiraIdStr **row_out);

/* Private-data sizes the type descriptors announce. */
#define QIRA_DIR_PRIVATE_SIZE (sizeof(void *) == 4 ? 44u : 88u)
#define QIRA_DIRENTRY_PRIVATE_SIZE (sizeof(void *) == 4 ? 28u : 56u)

/* Methods have the QiraMethodFn shape and take the parameters named (found
 * by the host, 140).  A failure before `error` is read is the call's status;
 * a later one is stored into `error` and the call completes with no value
 * (without `error` it is the status).  An object value reaches the host with
 * one reference. */

/* Directory type. */
/* QIRAdirectory.new(name, error): resolves name and lists the directory in a
 * host block that delivers the object once the listing ends.  41 name
 * missing, 29 empty, 16 receiver not the type; 7 not an existing directory,
 * 1, and the listing's failures go into `error`. */
QIRA_API uint32_t TARVO_NewQIRADirObject(void *callctx, uint32_t argc, QiraArgSlot *slots,
                                         uint32_t *argc_out, const QiraObjRef *receiver,
                                         QiraResult *result);
/* getentry(entry, error): a new QIRAdirectoryentry for listed entry number
 * entry (1 to entrycount; else 30 as the call's status); its properties are
 * those the listing read.  21 receiver without private data. */
QIRA_API uint32_t TARVOQIRADir_GetEntry(void *callctx, uint32_t argc, QiraArgSlot *slots,
                                        uint32_t *argc_out, const QiraObjRef *receiver,
                                        QiraResult *result);
/* getdirectory(error): a new QIRAdirectory of the directory that holds this
 * one, listed afresh in a host block; at the root the call has no value. */
QIRA_API uint32_t TARVOQIRADir_GetDir(void *callctx, uint32_t argc, QiraArgSlot *slots,
                                      uint32_t *argc_out, const QiraObjRef *receiver,
                                      QiraResult *result);
/* createdirectory(name, error): makes directory name inside this one and
 * returns its QIRAdirectoryentry; the listing is not changed.  41 missing,
 * 29 empty (status); 33 a "/" in name, 5 it exists, 12 ... into `error`. */
QIRA_API uint32_t TARVOQIRADir_CreateDir(void *callctx, uint32_t argc, QiraArgSlot *slots,
                                         uint32_t *argc_out, const QiraObjRef *receiver,
                                         QiraResult *result);
/* deleteentry(entry, error): deletes listed entry number entry (a file, or
 * an empty directory); the listing keeps its numbering.  30 a bad index
 * (status); 13 neither file nor directory, 2000039 not empty ... into `error`. */
QIRA_API uint32_t TARVOQIRADir_DeleteEntry(void *callctx, uint32_t argc, QiraArgSlot *slots,
                                           uint32_t *argc_out, const QiraObjRef *receiver,
                                           QiraResult *result);
/* A directory's value is its full name as a string (host memory, the
 * caller's); tag 0 for an object not set up.  The host's code otherwise. */
QIRA_API uint32_t TARVO_GetQIRADirObjValue(const QiraObjRef *ref, uint32_t *tag_out,
                                           QiraValue *value_out);
/* A directory cannot be assigned: always 12. */
QIRA_API uint32_t TARVO_SetQIRADirObjValue(void);
/* Clears a directory's private data (word 0 left alone); owns nothing yet. */
QIRA_API void TARVO_PrivateInitQIRADirObj(void *priv);
/* Frees what the private data owns: its names, its entry group (every listed
 * entry) and its count on the API block. */
QIRA_API void TARVO_PrivateTermQIRADirObj(void *priv);
/* Opens a QIRAdirectory of type for name and places its listing block in
 * result (which may be null); the object takes a count on api.  The listing
 * stores its failures into errobj/errword when that is not null.  7 not a
 * directory, 1, name resolution codes; nothing is left on failure. */
QIRA_API uint32_t TARVOQIRADir_GenericNew(QiraModuleCtx *mc, QiraTypeRecord *type,
                                          const uint16_t *name, uint32_t len,
                                          QiraApiBlock *api, void *errobj,
                                          uintptr_t errword, QiraResult *result);
/* Listing block: reads one entry per call and returns 1000; at the end sets
 * entrycount and delivers the object (210), else stores the failure into
 * `error` and completes with no value.  A final status ends the listing. */
QIRA_API uint32_t TARVOQIRABlock_FuncGetEntries(void *blockctx, void *listing);
/* Ends a listing the host abandons: closes the search, frees the listing,
 * releases the unfinished object.  Returns 0. */
QIRA_API uint32_t TARVOQIRABlock_TermGetEntries(void *blockctx, void *listing);
/* When the module context ends: closes the listing's directory stream and
 * unlinks it from the context's list; its memory goes with the context's
 * group.  Returns 0. */
QIRA_API uint32_t TARVODirCreate_JustFree(void *listing);

/* Directory-entry type. */
/* QIRAdirectoryentry.new(name, error): the entry object for name, a file or
 * a directory.  41 missing, 29 empty name, 16 receiver not the type (call's
 * status); into `error`: 7 or 77 no such entry, 1, conversion codes. */
QIRA_API uint32_t TARVO_NewQIRADirEntryObject(void *callctx, uint32_t argc,
                                              QiraArgSlot *slots, uint32_t *argc_out,
                                              const QiraObjRef *receiver, QiraResult *result);
/* Clears an entry's private data; owns nothing yet. */
QIRA_API void TARVO_PrivateInitQIRADirEntryObj(void *priv);
/* Frees the entry's names and its count on the API block. */
QIRA_API void TARVO_PrivateTermQIRADirEntryObj(void *priv);
/* An entry's value is its full name as a string (host memory, the
 * caller's); tag 0 for an object not set up.  The host's code otherwise. */
QIRA_API uint32_t TARVO_GetQIRADirEntryObjValue(const QiraObjRef *ref, uint32_t *tag_out,
                                                QiraValue *value_out);
/* An entry cannot be assigned: always 12. */
QIRA_API uint32_t TARVO_SetQIRADirEntryObjValue(void);
/* Builds an entry object of type for rec inside directory dirname, its
 * properties set from rec (not read again); the object takes a count on api
 * and a reference the caller now holds.  *priv_out skipped when null.  21,
 * 1, 28, the host's code; a half-built object is released. */
QIRA_API uint32_t TARVO_MakeNewQIRADirEntryObject(QiraModuleCtx *mc, QiraApiBlock *api,
                                                  QiraTypeRecord *type,
                                                  const uint16_t *dirname, uint32_t dirlen,
                                                  const QiraEntryInfo *rec, void **priv_out);
/* Points the entry at name (after a move), reading the entry afresh and
 * refreshing every property.  Name resolution and entry-info codes; the
 * entry is unchanged on failure. */
QIRA_API uint32_t TARVOQIRADirEntry_Relocate(void *priv, const uint16_t *name, uint32_t len);
/* copy(destination, replace, error): copies this file in a worker process
 * behind a host block; the call's value is the new entry.  16 not a file,
 * 5 destination exists and replace is not 1, ... into `error`. */
QIRA_API uint32_t TARVOQIRADirEntry_Copy(void *callctx, uint32_t argc, QiraArgSlot *slots,
                                         uint32_t *argc_out, const QiraObjRef *receiver,
                                         QiraResult *result);
/* move(destination, replace, error): as copy, for a file or a directory; the
 * entry object follows its file to the destination. */
QIRA_API uint32_t TARVOQIRADirEntry_Move(void *callctx, uint32_t argc, QiraArgSlot *slots,
                                         uint32_t *argc_out, const QiraObjRef *receiver,
                                         QiraResult *result);
typedef uint32_t (*QiraCopyMoveStartFn)(const char *, const uint16_t *, uint32_t, uint16_t,
                                        QiraMemGroup *, QiraWorker **);
/* The frame of copy and move: copy 1 for copy, move 1 for move, start the
 * worker launcher.  Method shape and codes as the two methods. */
QIRA_API uint32_t TARVOQIRADirEntry_GenericCopyMove(void *callctx, uint32_t argc,
                                                    QiraArgSlot *slots, uint32_t *argc_out,
                                                    const QiraObjRef *receiver,
                                                    QiraResult *result, uint16_t copy,
                                                    uint16_t move, QiraCopyMoveStartFn start);
/* Copy/move block: 1010 while the worker runs; then completes the call (the
 * entry, or the failure into `error`) and ends the block. */
QIRA_API uint32_t TARVOQIRABlock_FuncCopyMove(void *blockctx, void *data);
/* Ends a copy or move the host abandons; the worker finishes on its own and a
 * failing copy still removes its partial file.  Returns 0. */
QIRA_API uint32_t TARVOQIRABlock_TermCopyMove(void *blockctx, void *data);
/* getdirectory(error): a new QIRAdirectory of the directory holding this
 * entry, listed in a host block.  18 when the directory type is not found. */
QIRA_API uint32_t TARVOQIRADirEntry_GetDir(void *callctx, uint32_t argc, QiraArgSlot *slots,
                                           uint32_t *argc_out, const QiraObjRef *receiver,
                                           QiraResult *result);
/* rename(newname, error): renames the entry within its directory (a file of
 * that name is replaced, as rename() does) and refreshes its properties.
 * 41, 29 (status); 33 a "/" in newname, 12, 77 ... into `error`. */
QIRA_API uint32_t TARVOQIRADirEntry_Rename(void *callctx, uint32_t argc, QiraArgSlot *slots,
                                           uint32_t *argc_out, const QiraObjRef *receiver,
                                           QiraResult *result);
/* setattributes(readonly, hidden, system, error), each optional: applies the
 * given flags (see qira_platspec_setattributes, 13 for what Linux cannot do)
 * and refreshes them.  Nothing given: nothing touched. */
QIRA_API uint32_t TARVOQIRADirEntry_SetAttributes(void *callctx, uint32_t argc,
                                                  QiraArgSlot *slots, uint32_t *argc_out,
                                                  const QiraObjRef *receiver,
                                                  QiraResult *result);
/* setdates(created, lastchanged, lastaccessed, error), each optional date
 * value: sets the given times (see qira_platspec_setdates) and refreshes
 * them.  30 a negative date (status).  Nothing given: nothing touched. */
QIRA_API uint32_t TARVOQIRADirEntry_SetDates(void *callctx, uint32_t argc,
                                             QiraArgSlot *slots, uint32_t *argc_out,
                                             const QiraObjRef *receiver, QiraResult *result);

#ifdef __cplusplus
}
#endif

#endif /* QIRA_H */
