// The module's vocabulary as the rest of the module sees it: symbol indices,
// the parameter descriptor lists every method hands to the host's position
// lookup, and the entry-type table.  Internal: nothing here is exported.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "qira.h"

// UTF-16 text built at compile time from a u"..." literal, without its
// terminator.  Held as uint16_t so the tables can point at it with no cast,
// which keeps every table a constant expression.
template <size_t N>
struct QiraU16Text {
  uint16_t units[N];
  static constexpr uint32_t count = N;          // code units
  static constexpr uint32_t bytes = N * 2;      // what a name descriptor carries
};

template <size_t N>
consteval QiraU16Text<N - 1> qira_u16(const char16_t (&text)[N]) {
  QiraU16Text<N - 1> out{};
  for (size_t i = 0; i + 1 < N; ++i) out.units[i] = uint16_t(text[i]);
  return out;
}

// A name descriptor (byte length, units) over one of the constants.
template <size_t N>
consteval QiraNameDesc qira_namedesc(const QiraU16Text<N> &text) {
  return QiraNameDesc{.len = QiraU16Text<N>::bytes, .ptr = text.units};
}

// ---- the vocabulary, one list each --------------------------------------------
//
// Every table the host reads, the symbol indices and the parameter positions
// the methods use are generated from the lists below, so they cannot drift
// apart.  A new method is one row in its type's list plus its work function;
// a new name is one row in QIRA_SYMBOLS (appended: the indices are part of the
// binary contract).

// X(ID, constant, text): symbol index = row number, from 1.  Each text is the
// constant qiraname_<constant>; QIRA_SYM_<ID> is its index.
#define QIRA_SYMBOLS(X)                                   \
  X(QIRADIRECTORY, QIRAdirectory, u"QIRAdirectory")       \
  X(QIRADIRECTORYENTRY, QIRAdirectoryentry, u"QIRAdirectoryentry") \
  X(NAME, name, u"name")                                  \
  X(ENTRYCOUNT, entrycount, u"entrycount")                \
  X(CREATED, created, u"created")                         \
  X(LASTCHANGED, lastchanged, u"lastchanged")             \
  X(LASTACCESSED, lastaccessed, u"lastaccessed")          \
  X(SIZE, size, u"size")                                  \
  X(ENTRYTYPE, entrytype, u"entrytype")                   \
  X(READONLY, readonly, u"readonly")                      \
  X(HIDDEN, hidden, u"hidden")                            \
  X(SYSTEM, system, u"system")                            \
  X(ERROR, error, u"error")                               \
  X(ENTRY, entry, u"entry")                               \
  X(NEWNAME, newname, u"newname")                         \
  X(DESTINATION, destination, u"destination")             \
  X(REPLACE, replace, u"replace")                         \
  X(GETENTRY, getentry, u"getentry")                      \
  X(GETDIRECTORY, getdirectory, u"getdirectory")          \
  X(CREATEDIRECTORY, createdirectory, u"createdirectory") \
  X(DELETEENTRY, deleteentry, u"deleteentry")             \
  X(RENAME, rename, u"rename")                            \
  X(SETDATES, setdates, u"setdates")                      \
  X(SETATTRIBUTES, setattributes, u"setattributes")       \
  X(COPY, copy, u"copy")                                  \
  X(MOVE, move, u"move")                                  \
  X(NEW, new, u"new")                                     \
  X(TYPE, typetype, u"type")                              \
  X(FUNCTION, functype, u"function")                      \
  X(STRING, stringtype, u"string")                        \
  X(INTEGER, inttype, u"integer")                         \
  X(BOOLEAN, booltype, u"boolean")                        \
  X(DATETIME, datetimetype, u"datetime")                  \
  X(ASTERISK, asterisk, u"*")                             \
  X(ONE_UNDERSCORE, one_underscore, u"_")                 \
  X(TWO_UNDERSCORES, two_underscores, u"__")

// The members of each type, in the order the host sees them:
//   C(constructor, list, parameters...)  the "new" method row, first;
//   D(ID, value type ID)                  a data property row;
//   M(ID, function, list, parameters...)  a method row and its property row;
//   S(ID, function, list)                 the same, sharing an earlier list.
// A parameter list `list` becomes qira_<list>_params_descs and QiraParams_<list>;
// its parameters are symbol IDs in the order the host reports their positions,
// `error` always last.  The property rows are the type row, "_", "__", the D
// rows, then one row per M or S row; the method rows are C, then M and S.
#define QIRA_DIR_MEMBERS(C, D, M, S)                                                \
  C(TARVO_NewQIRADirObject, newdir, NAME, ERROR)                                    \
  D(NAME, STRING)                                                                   \
  D(ENTRYCOUNT, INTEGER)                                                            \
  M(GETENTRY, TARVOQIRADir_GetEntry, getentry, ENTRY, ERROR)                        \
  M(GETDIRECTORY, TARVOQIRADir_GetDir, getdir, ERROR)                               \
  M(CREATEDIRECTORY, TARVOQIRADir_CreateDir, createdir, NAME, ERROR)                \
  M(DELETEENTRY, TARVOQIRADir_DeleteEntry, delentry, ENTRY, ERROR)

// setattributes precedes setdates, against the order of their symbol indices;
// the host sees the rows in this order.
#define QIRA_DIRENTRY_MEMBERS(C, D, M, S)                                           \
  C(TARVO_NewQIRADirEntryObject, newdirentry, NAME, ERROR)                          \
  D(NAME, STRING)                                                                   \
  D(CREATED, DATETIME)                                                              \
  D(LASTCHANGED, DATETIME)                                                          \
  D(LASTACCESSED, DATETIME)                                                         \
  D(SIZE, INTEGER)                                                                  \
  D(ENTRYTYPE, STRING)                                                              \
  D(READONLY, BOOLEAN)                                                              \
  D(HIDDEN, BOOLEAN)                                                                \
  D(SYSTEM, BOOLEAN)                                                                \
  M(GETDIRECTORY, TARVOQIRADirEntry_GetDir, getentdir, ERROR)                       \
  M(RENAME, TARVOQIRADirEntry_Rename, rename, NEWNAME, ERROR)                       \
  M(SETATTRIBUTES, TARVOQIRADirEntry_SetAttributes, setattr, READONLY, HIDDEN, SYSTEM, \
    ERROR)                                                                          \
  M(SETDATES, TARVOQIRADirEntry_SetDates, setdates, CREATED, LASTCHANGED, LASTACCESSED, \
    ERROR)                                                                          \
  M(COPY, TARVOQIRADirEntry_Copy, copymove, DESTINATION, REPLACE, ERROR)            \
  S(MOVE, TARVOQIRADirEntry_Move, copymove)

// ---- what the lists generate ------------------------------------------------------

// Symbol indices as bare IDs, for the member lists above (read inside
// QiraParams_<list>, which derives from this).
struct QiraSymbolIds {
  enum : uint32_t {
    QIRA_SYMBOLS_NONE_ = 0,
#define QIRA_X_(id, c, text) id,
    QIRA_SYMBOLS(QIRA_X_)
#undef QIRA_X_
    QIRA_SYMBOLS_END_
  };
};

// Symbol indices: the 1-based rows of the symbol table.  Property rows,
// method rows and the property setters name properties and types by these.
#define QIRA_X_(id, c, text) inline constexpr uint32_t QIRA_SYM_##id = QiraSymbolIds::id;
QIRA_SYMBOLS(QIRA_X_)
#undef QIRA_X_
inline constexpr uint32_t QIRA_SYMBOL_COUNT = QiraSymbolIds::QIRA_SYMBOLS_END_ - 1;

// The name constants; the symbol table and the parameter lists point at these.
#define QIRA_X_(id, c, text) inline constexpr auto qiraname_##c = qira_u16(text);
QIRA_SYMBOLS(QIRA_X_)
#undef QIRA_X_

// The symbol table, row i - 1 for symbol index i.
inline constexpr QiraNameDesc name_descs[] = {
#define QIRA_X_(id, c, text) qira_namedesc(qiraname_##c),
    QIRA_SYMBOLS(QIRA_X_)
#undef QIRA_X_
};
static_assert(sizeof(name_descs) / sizeof(name_descs[0]) == QIRA_SYMBOL_COUNT);

// Reached only when a parameter is looked up in a list that does not hold it,
// which makes the lookup fail to compile.
void qira_param_not_in_list();

// A parameter list: `syms` in the order the host reports positions.
// Position constants come from at(), so a method cannot name a parameter its
// list does not have, nor miss a reordering.
template <typename L>
struct QiraParamList {
  static consteval uint32_t at(uint32_t sym) {
    for (uint32_t i = 0; i < L::count; ++i)
      if (L::syms[i] == sym) return i;
    qira_param_not_in_list();
    return L::count;
  }
};

// The descriptor array of a list: name descriptors taken from the symbol table.
template <typename L>
struct QiraParamDescs {
  QiraNameDesc d[L::count];
};
template <typename L>
consteval QiraParamDescs<L> qira_paramdescs() {
  QiraParamDescs<L> out{};
  for (uint32_t i = 0; i < L::count; ++i) out.d[i] = name_descs[L::syms[i] - 1];
  return out;
}
template <typename L>
inline constexpr QiraParamDescs<L> qira_paramdescs_v = qira_paramdescs<L>();

#define QIRA_PARAMS_(list, ...)                                                     \
  struct QiraParams_##list : QiraSymbolIds, QiraParamList<QiraParams_##list> {     \
    static constexpr uint32_t syms[] = {__VA_ARGS__};                               \
    static constexpr uint32_t count = sizeof(syms) / sizeof(syms[0]);               \
    static_assert(syms[count - 1] == ERROR, "error is always the last parameter");  \
  };                                                                                \
  inline constexpr auto &qira_##list##_params_descs =                               \
      qira_paramdescs_v<QiraParams_##list>.d;
#define QIRA_C_(fn, list, ...) QIRA_PARAMS_(list, __VA_ARGS__)
#define QIRA_M_(id, fn, list, ...) QIRA_PARAMS_(list, __VA_ARGS__)
#define QIRA_NONE_(...)
QIRA_DIR_MEMBERS(QIRA_C_, QIRA_NONE_, QIRA_M_, QIRA_NONE_)
QIRA_DIRENTRY_MEMBERS(QIRA_C_, QIRA_NONE_, QIRA_M_, QIRA_NONE_)
#undef QIRA_C_
#undef QIRA_M_
#undef QIRA_PARAMS_

#undef QIRA_NONE_

// The two type descriptors, QIRAdirectory first, and their rows.
extern const QiraTypeDesc intrinsictypes[2];
// Their lengths are what the lists generate; the descriptors carry them.
extern const QiraPropRow propsforQIRAdir[];
extern const QiraPropRow propsforQIRAdirentry[];
extern const QiraMethodRow funcsforQIRAdir[];
extern const QiraMethodRow funcsforQIRAdirentry[];

// Entry types as the `entrytype` property shows them; look a row up with
// TARVOIdedStr_GetIdedStr(qira_direntry_types, QIRA_DIRENTRY_TYPE_COUNT, ...).
inline constexpr uint32_t QIRA_DIRENTRY_TYPE_COUNT = 2;
extern const QiraIdStr qira_direntry_types[QIRA_DIRENTRY_TYPE_COUNT];
