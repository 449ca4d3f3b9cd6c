// The constant tables through which the host learns our vocabulary and our two
// types, and the registration of those types.  The host reads most of these
// tables directly, so every value and every row order here is part of the
// binary contract; nothing runs when the module is loaded.
//
// The symbol table, the name constants and the parameter lists live in
// module/qiratyp.h, generated from the lists there; the rows here follow the
// same lists.
//
// Map: row builders, property and method rows, type descriptors, entry-type
// table, TARVOQIRA_AddTypes.
#include "module/qiratyp.h"

namespace {

// Entry-type texts; the lengths the table carries are in code units.
constexpr auto qirastr_file = qira_u16(u"file");
constexpr auto qirastr_directory = qira_u16(u"directory");

// Column values of property rows.
constexpr uint32_t kPropTypeCol4 = 1;    // the "type" row and method rows
constexpr uint32_t kPropAnyCol4 = 2;     // the two "*" rows
constexpr uint32_t kPropPlain = 1;       // column 6 of most rows
constexpr uint32_t kPropUnderscore = 0;  // column 6 of the "_" row
constexpr uint32_t kPropTwoUnderscores = 0x10000;  // column 6 of the "__" row

// Host API ID of type registration, fetched on its own: AddTypes runs before
// any method has fetched the whole table.
constexpr uint32_t kHostIdRegType = 130;

// Word 3 of both type descriptors.
constexpr uintptr_t kTypeDescWord3 = 0x10001;

constexpr QiraPropRow dataprop(uint32_t sym, uint32_t type) {
  return QiraPropRow{.name = sym, .col2 = sym, .type = type, .col4 = 0, .col5 = 0,
                     .col6 = kPropPlain};
}

constexpr QiraPropRow methodprop(uint32_t sym) {
  return QiraPropRow{.name = sym, .col2 = QIRA_PROPKIND_METHOD, .type = QIRA_SYM_FUNCTION,
                     .col4 = kPropTypeCol4, .col5 = 0, .col6 = kPropPlain};
}

// The three rows every type starts with: its type, and the two wildcards.
constexpr QiraPropRow kTypeRow = {.name = QIRA_SYM_TYPE, .col2 = QIRA_PROPKIND_TYPE,
                                  .type = QIRA_SYM_TYPE, .col4 = kPropTypeCol4, .col5 = 0,
                                  .col6 = kPropPlain};
constexpr QiraPropRow kOneUnderscoreRow = {
    .name = QIRA_SYM_ONE_UNDERSCORE, .col2 = QIRA_SYM_ONE_UNDERSCORE,
    .type = QIRA_SYM_ASTERISK, .col4 = kPropAnyCol4, .col5 = 0, .col6 = kPropUnderscore};
constexpr QiraPropRow kTwoUnderscoresRow = {
    .name = QIRA_SYM_TWO_UNDERSCORES, .col2 = QIRA_SYM_TWO_UNDERSCORES,
    .type = QIRA_SYM_ASTERISK, .col4 = kPropAnyCol4, .col5 = 0, .col6 = kPropTwoUnderscores};

constexpr QiraMethodRow methodrow(uint32_t sym, QiraMethodFn fn) {
  return QiraMethodRow{.name = sym, .zero = 0, .fn = fn};
}

// The registration context the host passes to AddTypes: word 1 leads to the
// function provider.
struct RegContext {
  uintptr_t w0;
  QiraProvider *provider;
};
QIRA_AT(RegContext, provider, 4, 8);

}  // namespace

// ---- property rows and method rows, generated from the member lists -----------------

#define QIRA_NONE_(...)
#define QIRA_DATAPROP_(id, type) dataprop(QIRA_SYM_##id, QIRA_SYM_##type),
#define QIRA_METHODPROP_(id, fn, ...) methodprop(QIRA_SYM_##id),
#define QIRA_NEWROW_(fn, ...) methodrow(QIRA_SYM_NEW, fn),
#define QIRA_METHODROW_(id, fn, ...) methodrow(QIRA_SYM_##id, fn),
// A shared list must exist already: S rows name it only to say so.
#define QIRA_SHAREDLIST_(id, fn, list) static_assert(QiraParams_##list::count > 0);

QIRA_DIR_MEMBERS(QIRA_NONE_, QIRA_NONE_, QIRA_NONE_, QIRA_SHAREDLIST_)
QIRA_DIRENTRY_MEMBERS(QIRA_NONE_, QIRA_NONE_, QIRA_NONE_, QIRA_SHAREDLIST_)

constinit const QiraPropRow propsforQIRAdir[] = {
    kTypeRow, kOneUnderscoreRow, kTwoUnderscoresRow,
    QIRA_DIR_MEMBERS(QIRA_NONE_, QIRA_DATAPROP_, QIRA_METHODPROP_, QIRA_METHODPROP_)};

constinit const QiraPropRow propsforQIRAdirentry[] = {
    kTypeRow, kOneUnderscoreRow, kTwoUnderscoresRow,
    QIRA_DIRENTRY_MEMBERS(QIRA_NONE_, QIRA_DATAPROP_, QIRA_METHODPROP_, QIRA_METHODPROP_)};

constinit const QiraMethodRow funcsforQIRAdir[] = {
    QIRA_DIR_MEMBERS(QIRA_NEWROW_, QIRA_NONE_, QIRA_METHODROW_, QIRA_METHODROW_)};

constinit const QiraMethodRow funcsforQIRAdirentry[] = {
    QIRA_DIRENTRY_MEMBERS(QIRA_NEWROW_, QIRA_NONE_, QIRA_METHODROW_, QIRA_METHODROW_)};

#undef QIRA_NONE_
#undef QIRA_DATAPROP_
#undef QIRA_METHODPROP_
#undef QIRA_NEWROW_
#undef QIRA_METHODROW_
#undef QIRA_SHAREDLIST_

// ---- type descriptors ------------------------------------------------------------

namespace {

// A type descriptor: everything but the name, the hooks and the rows is the
// same for both types.
template <size_t NProps, size_t NMethods>
constexpr QiraTypeDesc typedesc(uint32_t sym, uint32_t privsize, void (*init)(void *),
                                void (*term)(void *),
                                decltype(QiraTypeDesc::getvalue) getvalue,
                                decltype(QiraTypeDesc::setvalue) setvalue,
                                const QiraPropRow (&props)[NProps],
                                const QiraMethodRow (&methods)[NMethods]) {
  return QiraTypeDesc{.name = sym, .w1 = 0, .w2 = 0, .w3 = kTypeDescWord3,
                      .privsize = privsize, .init = init, .term = term, .w7 = 0,
                      .getvalue = getvalue, .w9 = 0, .setvalue = setvalue,
                      .w11 = 0, .w12 = 0, .w13 = 0, .w14 = 0,
                      .props = props, .nprops = NProps, .methods = methods, .nmethods = NMethods,
                      .w19 = 0, .w20 = 0, .w21 = 0, .w22 = 0};
}

}  // namespace

constinit const QiraTypeDesc intrinsictypes[2] = {
    typedesc(QIRA_SYM_QIRADIRECTORY, QIRA_DIR_PRIVATE_SIZE, TARVO_PrivateInitQIRADirObj,
             TARVO_PrivateTermQIRADirObj, TARVO_GetQIRADirObjValue, TARVO_SetQIRADirObjValue,
             propsforQIRAdir, funcsforQIRAdir),
    typedesc(QIRA_SYM_QIRADIRECTORYENTRY, QIRA_DIRENTRY_PRIVATE_SIZE,
             TARVO_PrivateInitQIRADirEntryObj, TARVO_PrivateTermQIRADirEntryObj,
             TARVO_GetQIRADirEntryObjValue, TARVO_SetQIRADirEntryObjValue, propsforQIRAdirentry,
             funcsforQIRAdirentry),
};

// ---- entry-type table --------------------------------------------------------------

// Lengths here are in code units, unlike a name descriptor's bytes.
constinit const QiraIdStr qira_direntry_types[QIRA_DIRENTRY_TYPE_COUNT] = {
    {.id = QIRA_ENTRY_FILE, .text = qirastr_file.units, .len = qirastr_file.count},
    {.id = QIRA_ENTRY_DIRECTORY, .text = qirastr_directory.units,
     .len = qirastr_directory.count},
};

// ---- registration -----------------------------------------------------------------

extern "C" QIRA_API uint32_t TARVOQIRA_AddTypes(void *ctx, void *host, void *argument) {
  (void)ctx;
  const RegContext *reg = static_cast<const RegContext *>(host);
  if (!reg || !reg->provider || !reg->provider->getter) return QIRA_ERR_NOHOSTFUNC;
  const QiraHost_RegType regtype =
      reinterpret_cast<QiraHost_RegType>(reg->provider->getter(kHostIdRegType));
  if (!regtype) return QIRA_ERR_NOHOSTFUNC;
  // The entry type is offered only once the directory type is in: the
  // directory hands out entries, so one without the other is of no use.
  for (const QiraTypeDesc &desc : intrinsictypes) {
    const uint32_t rc = regtype(host, &desc, argument);
    if (rc != QIRA_OK) return rc;
  }
  return QIRA_OK;
}
