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

// Symbol indices: the 1-based rows of the symbol table.  Property rows,
// method rows and the property setters name properties and types by these.
inline constexpr uint32_t QIRA_SYM_QIRADIRECTORY = 1;
inline constexpr uint32_t QIRA_SYM_QIRADIRECTORYENTRY = 2;
inline constexpr uint32_t QIRA_SYM_NAME = 3;
inline constexpr uint32_t QIRA_SYM_ENTRYCOUNT = 4;
inline constexpr uint32_t QIRA_SYM_CREATED = 5;
inline constexpr uint32_t QIRA_SYM_LASTCHANGED = 6;
inline constexpr uint32_t QIRA_SYM_LASTACCESSED = 7;
inline constexpr uint32_t QIRA_SYM_SIZE = 8;
inline constexpr uint32_t QIRA_SYM_ENTRYTYPE = 9;
inline constexpr uint32_t QIRA_SYM_READONLY = 10;
inline constexpr uint32_t QIRA_SYM_HIDDEN = 11;
inline constexpr uint32_t QIRA_SYM_SYSTEM = 12;
inline constexpr uint32_t QIRA_SYM_ERROR = 13;
inline constexpr uint32_t QIRA_SYM_ENTRY = 14;
inline constexpr uint32_t QIRA_SYM_NEWNAME = 15;
inline constexpr uint32_t QIRA_SYM_DESTINATION = 16;
inline constexpr uint32_t QIRA_SYM_REPLACE = 17;
inline constexpr uint32_t QIRA_SYM_GETENTRY = 18;
inline constexpr uint32_t QIRA_SYM_GETDIRECTORY = 19;
inline constexpr uint32_t QIRA_SYM_CREATEDIRECTORY = 20;
inline constexpr uint32_t QIRA_SYM_DELETEENTRY = 21;
inline constexpr uint32_t QIRA_SYM_RENAME = 22;
inline constexpr uint32_t QIRA_SYM_SETDATES = 23;
inline constexpr uint32_t QIRA_SYM_SETATTRIBUTES = 24;
inline constexpr uint32_t QIRA_SYM_COPY = 25;
inline constexpr uint32_t QIRA_SYM_MOVE = 26;
inline constexpr uint32_t QIRA_SYM_NEW = 27;
inline constexpr uint32_t QIRA_SYM_TYPE = 28;
inline constexpr uint32_t QIRA_SYM_FUNCTION = 29;
inline constexpr uint32_t QIRA_SYM_STRING = 30;
inline constexpr uint32_t QIRA_SYM_INTEGER = 31;
inline constexpr uint32_t QIRA_SYM_BOOLEAN = 32;
inline constexpr uint32_t QIRA_SYM_DATETIME = 33;
inline constexpr uint32_t QIRA_SYM_ASTERISK = 34;
inline constexpr uint32_t QIRA_SYM_ONE_UNDERSCORE = 35;
inline constexpr uint32_t QIRA_SYM_TWO_UNDERSCORES = 36;
inline constexpr uint32_t QIRA_SYMBOL_COUNT = 36;

// The symbol table, row i - 1 for symbol index i.
extern const QiraNameDesc name_descs[QIRA_SYMBOL_COUNT];

// The two type descriptors, QIRAdirectory first, and their rows.
extern const QiraTypeDesc intrinsictypes[2];
extern const QiraPropRow propsforQIRAdir[9];
extern const QiraPropRow propsforQIRAdirentry[18];
extern const QiraMethodRow funcsforQIRAdir[5];
extern const QiraMethodRow funcsforQIRAdirentry[7];

// Parameter descriptor lists, in the order the host reports positions;
// `error` is always last.  Pass the array and its length to host API 140.
extern const QiraNameDesc qira_newdir_params_descs[2];       // name, error
extern const QiraNameDesc qira_getentry_params_descs[2];     // entry, error
extern const QiraNameDesc qira_getdir_params_descs[1];       // error
extern const QiraNameDesc qira_createdir_params_descs[2];    // name, error
extern const QiraNameDesc qira_delentry_params_descs[2];     // entry, error
extern const QiraNameDesc qira_newdirentry_params_descs[2];  // name, error
extern const QiraNameDesc qira_getentdir_params_descs[1];    // error
extern const QiraNameDesc qira_rename_params_descs[2];       // newname, error
extern const QiraNameDesc qira_setattr_params_descs[4];  // readonly, hidden, system, error
extern const QiraNameDesc qira_setdates_params_descs[4];  // created, lastchanged,
                                                          // lastaccessed, error
extern const QiraNameDesc qira_copymove_params_descs[3];  // destination, replace, error

// Entry types as the `entrytype` property shows them; look a row up with
// TARVOIdedStr_GetIdedStr(qira_direntry_types, QIRA_DIRENTRY_TYPE_COUNT, ...).
inline constexpr uint32_t QIRA_DIRENTRY_TYPE_COUNT = 2;
extern const QiraIdStr qira_direntry_types[QIRA_DIRENTRY_TYPE_COUNT];
