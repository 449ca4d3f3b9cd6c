// The tables the host reads, row by row against the contract, and the
// registration of the two types.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "module/qiratyp.h"
#include "qira.h"
#include "testutil/testutil.h"

// The type descriptors point at the objects layer, which this executable does
// not link; weak stand-ins let the tables link and show their addresses.
#define QIRA_STUB_METHOD(name)                                                          \
  extern "C" __attribute__((weak)) uint32_t name(void *, uint32_t, QiraArgSlot *,        \
                                                 uint32_t *, const QiraObjRef *,         \
                                                 QiraResult *) {                         \
    return QIRA_ERR_NOTPOSSIBLE;                                                         \
  }
QIRA_STUB_METHOD(TARVO_NewQIRADirObject)
QIRA_STUB_METHOD(TARVOQIRADir_GetEntry)
QIRA_STUB_METHOD(TARVOQIRADir_GetDir)
QIRA_STUB_METHOD(TARVOQIRADir_CreateDir)
QIRA_STUB_METHOD(TARVOQIRADir_DeleteEntry)
QIRA_STUB_METHOD(TARVO_NewQIRADirEntryObject)
QIRA_STUB_METHOD(TARVOQIRADirEntry_GetDir)
QIRA_STUB_METHOD(TARVOQIRADirEntry_Rename)
QIRA_STUB_METHOD(TARVOQIRADirEntry_SetAttributes)
QIRA_STUB_METHOD(TARVOQIRADirEntry_SetDates)
QIRA_STUB_METHOD(TARVOQIRADirEntry_Copy)
QIRA_STUB_METHOD(TARVOQIRADirEntry_Move)
#undef QIRA_STUB_METHOD
extern "C" __attribute__((weak)) void TARVO_PrivateInitQIRADirObj(void *) {}
extern "C" __attribute__((weak)) void TARVO_PrivateTermQIRADirObj(void *) {}
extern "C" __attribute__((weak)) void TARVO_PrivateInitQIRADirEntryObj(void *) {}
extern "C" __attribute__((weak)) void TARVO_PrivateTermQIRADirEntryObj(void *) {}
extern "C" __attribute__((weak)) uint32_t TARVO_GetQIRADirObjValue(const QiraObjRef *,
                                                                   uint32_t *, QiraValue *) {
  return QIRA_ERR_NOTPOSSIBLE;
}
extern "C" __attribute__((weak)) uint32_t TARVO_GetQIRADirEntryObjValue(const QiraObjRef *,
                                                                        uint32_t *,
                                                                        QiraValue *) {
  return QIRA_ERR_NOTPOSSIBLE;
}
extern "C" __attribute__((weak)) uint32_t TARVO_SetQIRADirObjValue(void) {
  return QIRA_ERR_ACCESS;
}
extern "C" __attribute__((weak)) uint32_t TARVO_SetQIRADirEntryObjValue(void) {
  return QIRA_ERR_ACCESS;
}

namespace {

std::string Name(const QiraNameDesc &d) {
  EXPECT_EQ(d.len % 2, 0u);
  return qt::U8(d.ptr, d.len / 2);
}

TEST(SymbolTable, EveryRowMatchesTheVocabulary) {
  const char *const want[36] = {
      "QIRAdirectory", "QIRAdirectoryentry", "name", "entrycount", "created",
      "lastchanged", "lastaccessed", "size", "entrytype", "readonly", "hidden", "system",
      "error", "entry", "newname", "destination", "replace", "getentry", "getdirectory",
      "createdirectory", "deleteentry", "rename", "setdates", "setattributes", "copy",
      "move", "new", "type", "function", "string", "integer", "boolean", "datetime", "*",
      "_", "__"};
  for (uint32_t i = 0; i < 36; ++i) {
    SCOPED_TRACE(want[i]);
    EXPECT_EQ(Name(name_descs[i]), want[i]);
    EXPECT_EQ(name_descs[i].len, 2 * std::strlen(want[i]));
  }
}

TEST(ParamLists, NameParametersInOrderThroughTheSymbolConstants) {
  struct Case {
    const char *list;
    const QiraNameDesc *descs;
    size_t count;
    std::vector<uint32_t> symbols;
  };
  const Case cases[] = {
      {"newdir", qira_newdir_params_descs, std::size(qira_newdir_params_descs), {3, 13}},
      {"getentry", qira_getentry_params_descs, std::size(qira_getentry_params_descs), {14, 13}},
      {"getdir", qira_getdir_params_descs, std::size(qira_getdir_params_descs), {13}},
      {"createdir", qira_createdir_params_descs, std::size(qira_createdir_params_descs),
       {3, 13}},
      {"delentry", qira_delentry_params_descs, std::size(qira_delentry_params_descs), {14, 13}},
      {"newdirentry", qira_newdirentry_params_descs, std::size(qira_newdirentry_params_descs),
       {3, 13}},
      {"getentdir", qira_getentdir_params_descs, std::size(qira_getentdir_params_descs), {13}},
      {"rename", qira_rename_params_descs, std::size(qira_rename_params_descs), {15, 13}},
      {"setattr", qira_setattr_params_descs, std::size(qira_setattr_params_descs),
       {10, 11, 12, 13}},
      {"setdates", qira_setdates_params_descs, std::size(qira_setdates_params_descs),
       {5, 6, 7, 13}},
      {"copymove", qira_copymove_params_descs, std::size(qira_copymove_params_descs),
       {16, 17, 13}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.list);
    ASSERT_EQ(c.count, c.symbols.size());
    for (size_t i = 0; i < c.count; ++i) {
      // The very same constant as the symbol row, not merely equal text.
      EXPECT_EQ(c.descs[i].ptr, name_descs[c.symbols[i] - 1].ptr) << "parameter " << i;
      EXPECT_EQ(c.descs[i].len, name_descs[c.symbols[i] - 1].len) << "parameter " << i;
    }
  }
}

struct Row {
  uint32_t name, col2, type, col4, col5, col6;
};

void ExpectRows(const QiraPropRow *rows, size_t count, const std::vector<Row> &want) {
  ASSERT_EQ(count, want.size());
  for (size_t i = 0; i < count; ++i) {
    SCOPED_TRACE(Name(name_descs[want[i].name - 1]));
    EXPECT_EQ(rows[i].name, want[i].name);
    EXPECT_EQ(rows[i].col2, want[i].col2);
    EXPECT_EQ(rows[i].type, want[i].type);
    EXPECT_EQ(rows[i].col4, want[i].col4);
    EXPECT_EQ(rows[i].col5, want[i].col5);
    EXPECT_EQ(rows[i].col6, want[i].col6);
  }
}

constexpr Row kType = {28, 0x20002, 28, 1, 0, 1};
constexpr Row kOne = {35, 35, 34, 2, 0, 0};
constexpr Row kTwo = {36, 36, 34, 2, 0, 0x10000};
constexpr Row Method(uint32_t sym) { return {sym, 0x20004, 29, 1, 0, 1}; }
constexpr Row Data(uint32_t sym, uint32_t type) { return {sym, sym, type, 0, 0, 1}; }

TEST(PropertyRows, DirectoryRows) {
  ExpectRows(propsforQIRAdir, std::size(propsforQIRAdir),
             {kType, kOne, kTwo, Data(3, 30), Data(4, 31), Method(18), Method(19), Method(20),
              Method(21)});
}

TEST(PropertyRows, EntryRowsPutSetattributesBeforeSetdates) {
  ExpectRows(propsforQIRAdirentry, std::size(propsforQIRAdirentry),
             {kType, kOne, kTwo, Data(3, 30), Data(5, 33), Data(6, 33), Data(7, 33),
              Data(8, 31), Data(9, 30), Data(10, 32), Data(11, 32), Data(12, 32), Method(19),
              Method(22), Method(24), Method(23), Method(25), Method(26)});
}

TEST(MethodRows, NameTheirFunctionsInOrder) {
  struct Want {
    uint32_t sym;
    QiraMethodFn fn;
  };
  const Want dir[] = {{27, TARVO_NewQIRADirObject},
                      {18, TARVOQIRADir_GetEntry},
                      {19, TARVOQIRADir_GetDir},
                      {20, TARVOQIRADir_CreateDir},
                      {21, TARVOQIRADir_DeleteEntry}};
  const Want ent[] = {{27, TARVO_NewQIRADirEntryObject},
                      {19, TARVOQIRADirEntry_GetDir},
                      {22, TARVOQIRADirEntry_Rename},
                      {24, TARVOQIRADirEntry_SetAttributes},
                      {23, TARVOQIRADirEntry_SetDates},
                      {25, TARVOQIRADirEntry_Copy},
                      {26, TARVOQIRADirEntry_Move}};
  ASSERT_EQ(std::size(funcsforQIRAdir), std::size(dir));
  ASSERT_EQ(std::size(funcsforQIRAdirentry), std::size(ent));
  for (size_t i = 0; i < std::size(dir); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(funcsforQIRAdir[i].name, dir[i].sym);
    EXPECT_EQ(funcsforQIRAdir[i].zero, 0u);
    EXPECT_EQ(funcsforQIRAdir[i].fn, dir[i].fn);
  }
  for (size_t i = 0; i < std::size(ent); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(funcsforQIRAdirentry[i].name, ent[i].sym);
    EXPECT_EQ(funcsforQIRAdirentry[i].zero, 0u);
    EXPECT_EQ(funcsforQIRAdirentry[i].fn, ent[i].fn);
  }
}

// Every word of a descriptor: the ones the host alone interprets must be
// exactly 0 except word 3.
void ExpectDescriptor(const QiraTypeDesc &d, uintptr_t name, uintptr_t privsize,
                      void (*init)(void *), void (*term)(void *),
                      uint32_t (*getvalue)(const QiraObjRef *, uint32_t *, QiraValue *),
                      uint32_t (*setvalue)(void), const QiraPropRow *props, uintptr_t nprops,
                      const QiraMethodRow *methods, uintptr_t nmethods) {
  EXPECT_EQ(d.name, name);
  EXPECT_EQ(d.w3, 0x10001u);
  EXPECT_EQ(d.privsize, privsize);
  EXPECT_EQ(d.init, init);
  EXPECT_EQ(d.term, term);
  EXPECT_EQ(d.getvalue, getvalue);
  EXPECT_EQ(d.setvalue, setvalue);
  EXPECT_EQ(d.props, props);
  EXPECT_EQ(d.nprops, nprops);
  EXPECT_EQ(d.methods, methods);
  EXPECT_EQ(d.nmethods, nmethods);
  const uintptr_t zeros[] = {d.w1, d.w2, d.w7, d.w9, d.w11, d.w12,
                             d.w13, d.w14, d.w19, d.w20, d.w21, d.w22};
  for (uintptr_t w : zeros) EXPECT_EQ(w, 0u);
}

TEST(TypeDescriptors, DirectoryFirstThenEntry) {
  ExpectDescriptor(intrinsictypes[0], 1, sizeof(void *) == 4 ? 44 : 88,
                   TARVO_PrivateInitQIRADirObj, TARVO_PrivateTermQIRADirObj,
                   TARVO_GetQIRADirObjValue, TARVO_SetQIRADirObjValue, propsforQIRAdir, 9,
                   funcsforQIRAdir, 5);
  ExpectDescriptor(intrinsictypes[1], 2, sizeof(void *) == 4 ? 28 : 56,
                   TARVO_PrivateInitQIRADirEntryObj, TARVO_PrivateTermQIRADirEntryObj,
                   TARVO_GetQIRADirEntryObjValue, TARVO_SetQIRADirEntryObjValue,
                   propsforQIRAdirentry, 18, funcsforQIRAdirentry, 7);
}

TEST(EntryTypes, FileAndDirectoryWithLengthsInCodeUnits) {
  ASSERT_EQ(QIRA_DIRENTRY_TYPE_COUNT, 2u);
  EXPECT_EQ(qira_direntry_types[0].id, QIRA_ENTRY_FILE);
  EXPECT_EQ(qira_direntry_types[0].len, 4u);
  EXPECT_EQ(qt::U8(qira_direntry_types[0].text, 4), "file");
  EXPECT_EQ(qira_direntry_types[1].id, QIRA_ENTRY_DIRECTORY);
  EXPECT_EQ(qira_direntry_types[1].len, 9u);
  EXPECT_EQ(qt::U8(qira_direntry_types[1].text, 9), "directory");
}

// ---- AddTypes through a fake registration ----------------------------------------

struct Registration {
  std::vector<uint32_t> asked;       // IDs the getter was asked for
  std::vector<const QiraTypeDesc *> offered;
  std::vector<void *> contexts, arguments;
  bool has130 = true;
  uint32_t failat = 0;               // 1-based registration that fails, 0 none
  uint32_t failcode = 0;
};
Registration *g_reg = nullptr;

uint32_t FakeRegister(void *regctx, const QiraTypeDesc *desc, void *argument) {
  g_reg->offered.push_back(desc);
  g_reg->contexts.push_back(regctx);
  g_reg->arguments.push_back(argument);
  return g_reg->offered.size() == g_reg->failat ? g_reg->failcode : QIRA_OK;
}

QiraHostFn FakeGetter(uint32_t id) {
  g_reg->asked.push_back(id);
  if (id == 130 && g_reg->has130) return reinterpret_cast<QiraHostFn>(FakeRegister);
  return nullptr;
}

class AddTypes : public ::testing::Test {
 protected:
  void SetUp() override {
    g_reg = &reg_;
    provider_.getter = FakeGetter;
    regctx_[1] = &provider_;
  }
  void TearDown() override { g_reg = nullptr; }
  uint32_t Run() { return TARVOQIRA_AddTypes(nullptr, regctx_, &argument_); }

  Registration reg_;
  QiraProvider provider_{};
  void *regctx_[4] = {};
  int argument_ = 0;
};

TEST_F(AddTypes, OffersBothTypesWithContextAndArgument) {
  EXPECT_EQ(Run(), QIRA_OK);
  EXPECT_EQ(reg_.asked, std::vector<uint32_t>{130});
  ASSERT_EQ(reg_.offered.size(), 2u);
  EXPECT_EQ(reg_.offered[0], &intrinsictypes[0]);
  EXPECT_EQ(reg_.offered[1], &intrinsictypes[1]);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(reg_.contexts[i], static_cast<void *>(regctx_));
    EXPECT_EQ(reg_.arguments[i], &argument_);
  }
}

TEST_F(AddTypes, MissingRegistrationGives45WithoutCalls) {
  reg_.has130 = false;
  EXPECT_EQ(Run(), QIRA_ERR_NOHOSTFUNC);
  EXPECT_TRUE(reg_.offered.empty());
  provider_.getter = nullptr;
  EXPECT_EQ(Run(), QIRA_ERR_NOHOSTFUNC);
  regctx_[1] = nullptr;
  EXPECT_EQ(Run(), QIRA_ERR_NOHOSTFUNC);
  EXPECT_EQ(TARVOQIRA_AddTypes(nullptr, nullptr, nullptr), QIRA_ERR_NOHOSTFUNC);
}

TEST_F(AddTypes, FailingDirectoryRegistrationStopsBeforeEntry) {
  reg_.failat = 1;
  reg_.failcode = 1234;
  EXPECT_EQ(Run(), 1234u);
  EXPECT_EQ(reg_.offered.size(), 1u);
}

TEST_F(AddTypes, FailingEntryRegistrationIsReturned) {
  reg_.failat = 2;
  reg_.failcode = QIRA_ERR_NOMEM;
  EXPECT_EQ(Run(), QIRA_ERR_NOMEM);
  EXPECT_EQ(reg_.offered.size(), 2u);
}

}  // namespace
