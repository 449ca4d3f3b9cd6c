// The constant tables through which the host learns our vocabulary and our two
// types, and the registration of those types.  The host reads most of these
// tables directly, so every value and every row order here is part of the
// binary contract; nothing runs when the module is loaded.
//
// Map: name constants, symbol table, parameter lists, property rows, method
// rows, type descriptors, entry-type table, TARVOQIRA_AddTypes.
#include "module/qiratyp.h"

namespace {

// ---- name constants -----------------------------------------------------------

constexpr auto qiraname_QIRAdirectory = qira_u16(u"QIRAdirectory");
constexpr auto qiraname_QIRAdirectoryentry = qira_u16(u"QIRAdirectoryentry");
constexpr auto qiraname_name = qira_u16(u"name");
constexpr auto qiraname_entrycount = qira_u16(u"entrycount");
constexpr auto qiraname_created = qira_u16(u"created");
constexpr auto qiraname_lastchanged = qira_u16(u"lastchanged");
constexpr auto qiraname_lastaccessed = qira_u16(u"lastaccessed");
constexpr auto qiraname_size = qira_u16(u"size");
constexpr auto qiraname_entrytype = qira_u16(u"entrytype");
constexpr auto qiraname_readonly = qira_u16(u"readonly");
constexpr auto qiraname_hidden = qira_u16(u"hidden");
constexpr auto qiraname_system = qira_u16(u"system");
constexpr auto qiraname_error = qira_u16(u"error");
constexpr auto qiraname_entry = qira_u16(u"entry");
constexpr auto qiraname_newname = qira_u16(u"newname");
constexpr auto qiraname_destination = qira_u16(u"destination");
constexpr auto qiraname_replace = qira_u16(u"replace");
constexpr auto qiraname_getentry = qira_u16(u"getentry");
constexpr auto qiraname_getdirectory = qira_u16(u"getdirectory");
constexpr auto qiraname_createdirectory = qira_u16(u"createdirectory");
constexpr auto qiraname_deleteentry = qira_u16(u"deleteentry");
constexpr auto qiraname_rename = qira_u16(u"rename");
constexpr auto qiraname_setdates = qira_u16(u"setdates");
constexpr auto qiraname_setattributes = qira_u16(u"setattributes");
constexpr auto qiraname_copy = qira_u16(u"copy");
constexpr auto qiraname_move = qira_u16(u"move");
constexpr auto qiraname_new = qira_u16(u"new");
constexpr auto qiraname_typetype = qira_u16(u"type");
constexpr auto qiraname_functype = qira_u16(u"function");
constexpr auto qiraname_stringtype = qira_u16(u"string");
constexpr auto qiraname_inttype = qira_u16(u"integer");
constexpr auto qiraname_booltype = qira_u16(u"boolean");
constexpr auto qiraname_datetimetype = qira_u16(u"datetime");
constexpr auto qiraname_asterisk = qira_u16(u"*");
constexpr auto qiraname_one_underscore = qira_u16(u"_");
constexpr auto qiraname_two_underscores = qira_u16(u"__");

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

// ---- symbol table ---------------------------------------------------------------

constinit const QiraNameDesc name_descs[QIRA_SYMBOL_COUNT] = {
    qira_namedesc(qiraname_QIRAdirectory),  // 1
    qira_namedesc(qiraname_QIRAdirectoryentry),
    qira_namedesc(qiraname_name),
    qira_namedesc(qiraname_entrycount),
    qira_namedesc(qiraname_created),  // 5
    qira_namedesc(qiraname_lastchanged),
    qira_namedesc(qiraname_lastaccessed),
    qira_namedesc(qiraname_size),
    qira_namedesc(qiraname_entrytype),
    qira_namedesc(qiraname_readonly),  // 10
    qira_namedesc(qiraname_hidden),
    qira_namedesc(qiraname_system),
    qira_namedesc(qiraname_error),
    qira_namedesc(qiraname_entry),
    qira_namedesc(qiraname_newname),  // 15
    qira_namedesc(qiraname_destination),
    qira_namedesc(qiraname_replace),
    qira_namedesc(qiraname_getentry),
    qira_namedesc(qiraname_getdirectory),
    qira_namedesc(qiraname_createdirectory),  // 20
    qira_namedesc(qiraname_deleteentry),
    qira_namedesc(qiraname_rename),
    qira_namedesc(qiraname_setdates),
    qira_namedesc(qiraname_setattributes),
    qira_namedesc(qiraname_copy),  // 25
    qira_namedesc(qiraname_move),
    qira_namedesc(qiraname_new),
    qira_namedesc(qiraname_typetype),
    qira_namedesc(qiraname_functype),
    qira_namedesc(qiraname_stringtype),  // 30
    qira_namedesc(qiraname_inttype),
    qira_namedesc(qiraname_booltype),
    qira_namedesc(qiraname_datetimetype),
    qira_namedesc(qiraname_asterisk),
    qira_namedesc(qiraname_one_underscore),  // 35
    qira_namedesc(qiraname_two_underscores),
};

// ---- parameter descriptor lists ----------------------------------------------------

constinit const QiraNameDesc qira_newdir_params_descs[2] = {
    qira_namedesc(qiraname_name), qira_namedesc(qiraname_error)};
constinit const QiraNameDesc qira_getentry_params_descs[2] = {
    qira_namedesc(qiraname_entry), qira_namedesc(qiraname_error)};
constinit const QiraNameDesc qira_getdir_params_descs[1] = {qira_namedesc(qiraname_error)};
constinit const QiraNameDesc qira_createdir_params_descs[2] = {
    qira_namedesc(qiraname_name), qira_namedesc(qiraname_error)};
constinit const QiraNameDesc qira_delentry_params_descs[2] = {
    qira_namedesc(qiraname_entry), qira_namedesc(qiraname_error)};
constinit const QiraNameDesc qira_newdirentry_params_descs[2] = {
    qira_namedesc(qiraname_name), qira_namedesc(qiraname_error)};
constinit const QiraNameDesc qira_getentdir_params_descs[1] = {qira_namedesc(qiraname_error)};
constinit const QiraNameDesc qira_rename_params_descs[2] = {
    qira_namedesc(qiraname_newname), qira_namedesc(qiraname_error)};
constinit const QiraNameDesc qira_setattr_params_descs[4] = {
    qira_namedesc(qiraname_readonly), qira_namedesc(qiraname_hidden),
    qira_namedesc(qiraname_system), qira_namedesc(qiraname_error)};
constinit const QiraNameDesc qira_setdates_params_descs[4] = {
    qira_namedesc(qiraname_created), qira_namedesc(qiraname_lastchanged),
    qira_namedesc(qiraname_lastaccessed), qira_namedesc(qiraname_error)};
constinit const QiraNameDesc qira_copymove_params_descs[3] = {
    qira_namedesc(qiraname_destination), qira_namedesc(qiraname_replace),
    qira_namedesc(qiraname_error)};

// ---- property rows -------------------------------------------------------------

constinit const QiraPropRow propsforQIRAdir[9] = {
    kTypeRow,
    kOneUnderscoreRow,
    kTwoUnderscoresRow,
    dataprop(QIRA_SYM_NAME, QIRA_SYM_STRING),
    dataprop(QIRA_SYM_ENTRYCOUNT, QIRA_SYM_INTEGER),
    methodprop(QIRA_SYM_GETENTRY),
    methodprop(QIRA_SYM_GETDIRECTORY),
    methodprop(QIRA_SYM_CREATEDIRECTORY),
    methodprop(QIRA_SYM_DELETEENTRY),
};

// setattributes precedes setdates here and in the method rows, against the
// order of their symbol indices; the host sees the rows in this order.
constinit const QiraPropRow propsforQIRAdirentry[18] = {
    kTypeRow,
    kOneUnderscoreRow,
    kTwoUnderscoresRow,
    dataprop(QIRA_SYM_NAME, QIRA_SYM_STRING),
    dataprop(QIRA_SYM_CREATED, QIRA_SYM_DATETIME),
    dataprop(QIRA_SYM_LASTCHANGED, QIRA_SYM_DATETIME),
    dataprop(QIRA_SYM_LASTACCESSED, QIRA_SYM_DATETIME),
    dataprop(QIRA_SYM_SIZE, QIRA_SYM_INTEGER),
    dataprop(QIRA_SYM_ENTRYTYPE, QIRA_SYM_STRING),
    dataprop(QIRA_SYM_READONLY, QIRA_SYM_BOOLEAN),
    dataprop(QIRA_SYM_HIDDEN, QIRA_SYM_BOOLEAN),
    dataprop(QIRA_SYM_SYSTEM, QIRA_SYM_BOOLEAN),
    methodprop(QIRA_SYM_GETDIRECTORY),
    methodprop(QIRA_SYM_RENAME),
    methodprop(QIRA_SYM_SETATTRIBUTES),
    methodprop(QIRA_SYM_SETDATES),
    methodprop(QIRA_SYM_COPY),
    methodprop(QIRA_SYM_MOVE),
};

// ---- method rows ---------------------------------------------------------------

constinit const QiraMethodRow funcsforQIRAdir[5] = {
    methodrow(QIRA_SYM_NEW, TARVO_NewQIRADirObject),
    methodrow(QIRA_SYM_GETENTRY, TARVOQIRADir_GetEntry),
    methodrow(QIRA_SYM_GETDIRECTORY, TARVOQIRADir_GetDir),
    methodrow(QIRA_SYM_CREATEDIRECTORY, TARVOQIRADir_CreateDir),
    methodrow(QIRA_SYM_DELETEENTRY, TARVOQIRADir_DeleteEntry),
};

constinit const QiraMethodRow funcsforQIRAdirentry[7] = {
    methodrow(QIRA_SYM_NEW, TARVO_NewQIRADirEntryObject),
    methodrow(QIRA_SYM_GETDIRECTORY, TARVOQIRADirEntry_GetDir),
    methodrow(QIRA_SYM_RENAME, TARVOQIRADirEntry_Rename),
    methodrow(QIRA_SYM_SETATTRIBUTES, TARVOQIRADirEntry_SetAttributes),
    methodrow(QIRA_SYM_SETDATES, TARVOQIRADirEntry_SetDates),
    methodrow(QIRA_SYM_COPY, TARVOQIRADirEntry_Copy),
    methodrow(QIRA_SYM_MOVE, TARVOQIRADirEntry_Move),
};

// ---- type descriptors ------------------------------------------------------------

constinit const QiraTypeDesc intrinsictypes[2] = {
    {
        .name = QIRA_SYM_QIRADIRECTORY,
        .w1 = 0,
        .w2 = 0,
        .w3 = kTypeDescWord3,
        .privsize = QIRA_DIR_PRIVATE_SIZE,
        .init = TARVO_PrivateInitQIRADirObj,
        .term = TARVO_PrivateTermQIRADirObj,
        .w7 = 0,
        .getvalue = TARVO_GetQIRADirObjValue,
        .w9 = 0,
        .setvalue = TARVO_SetQIRADirObjValue,
        .w11 = 0,
        .w12 = 0,
        .w13 = 0,
        .w14 = 0,
        .props = propsforQIRAdir,
        .nprops = sizeof(propsforQIRAdir) / sizeof(propsforQIRAdir[0]),
        .methods = funcsforQIRAdir,
        .nmethods = sizeof(funcsforQIRAdir) / sizeof(funcsforQIRAdir[0]),
        .w19 = 0,
        .w20 = 0,
        .w21 = 0,
        .w22 = 0,
    },
    {
        .name = QIRA_SYM_QIRADIRECTORYENTRY,
        .w1 = 0,
        .w2 = 0,
        .w3 = kTypeDescWord3,
        .privsize = QIRA_DIRENTRY_PRIVATE_SIZE,
        .init = TARVO_PrivateInitQIRADirEntryObj,
        .term = TARVO_PrivateTermQIRADirEntryObj,
        .w7 = 0,
        .getvalue = TARVO_GetQIRADirEntryObjValue,
        .w9 = 0,
        .setvalue = TARVO_SetQIRADirEntryObjValue,
        .w11 = 0,
        .w12 = 0,
        .w13 = 0,
        .w14 = 0,
        .props = propsforQIRAdirentry,
        .nprops = sizeof(propsforQIRAdirentry) / sizeof(propsforQIRAdirentry[0]),
        .methods = funcsforQIRAdirentry,
        .nmethods = sizeof(funcsforQIRAdirentry) / sizeof(funcsforQIRAdirentry[0]),
        .w19 = 0,
        .w20 = 0,
        .w21 = 0,
        .w22 = 0,
    },
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
