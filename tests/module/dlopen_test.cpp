// The built qira.so seen from outside, the way a host sees it: only dlsym,
// the version record's bytes, TARVO and the functions it hands out.
#include <dlfcn.h>

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "qira.h"
#include "testutil/testutil.h"

namespace {

class Loaded : public ::testing::Test {
 protected:
  void SetUp() override {
    handle_ = dlopen(QIRA_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
    if (!handle_) {
      const char *why = dlerror();
      GTEST_SKIP() << "qira.so not loadable yet (" << (why ? why : "?") << ")";
    }
    tarvo_ = Sym<decltype(&TARVO)>("TARVO");
    if (!tarvo_) GTEST_SKIP() << "qira.so exports no TARVO yet";
  }
  void TearDown() override {
    if (handle_) dlclose(handle_);
  }
  template <typename Fn>
  Fn Sym(const char *name) {
    return reinterpret_cast<Fn>(dlsym(handle_, name));
  }
  template <typename Fn>
  Fn Func(int32_t id) {
    return reinterpret_cast<Fn>(tarvo_(id));
  }

  void *handle_ = nullptr;
  decltype(&TARVO) tarvo_ = nullptr;
};

uint32_t Word(const unsigned char *p) {
  uint32_t w;
  std::memcpy(&w, p, 4);
  return w;
}

TEST_F(Loaded, VersionRecordBytes) {
  auto getver = Sym<const void *(*)()>("VXGetVer");
  ASSERT_NE(getver, nullptr);
  const unsigned char *rec = static_cast<const unsigned char *>(getver());
  ASSERT_NE(rec, nullptr);
  const uint32_t size = sizeof(void *) == 4 ? 40 : 48;
  const uint32_t want[] = {size, 1, 0, 0, 1, 4, 52, 52};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(Word(rec + 4 * i), want[i]) << "word " << i;
  const char *desc1, *desc2;
  std::memcpy(&desc1, rec + 32, sizeof desc1);
  std::memcpy(&desc2, rec + 32 + sizeof(void *), sizeof desc2);
  EXPECT_EQ(desc1, desc2);
  EXPECT_EQ(std::string(desc1, 52), "Veltraxis Operating System Utility functions library");
}

TEST_F(Loaded, EntryFunctionAndItsAnswers) {
  for (int32_t id : {99, 105, 109, 111}) EXPECT_EQ(tarvo_(id), nullptr) << id;
  auto refcount = Func<decltype(&TARVOQIRA_GetRefCount)>(100);
  auto getref = Func<decltype(&TARVOQIRA_GetRef)>(101);
  auto symcount = Func<decltype(&TARVOQIRA_GetSymCount)>(102);
  auto getsym = Func<decltype(&TARVOQIRA_GetSymbol)>(103);
  auto getversion = Func<decltype(&TARVO_GetVersion)>(110);
  ASSERT_TRUE(refcount && getref && symcount && getsym && getversion);
  // TARVO hands out the module's own exported functions.
  EXPECT_EQ(reinterpret_cast<void *>(getsym), dlsym(handle_, "TARVOQIRA_GetSymbol"));

  EXPECT_EQ(refcount(), 1u);
  uint32_t ref = 5;
  EXPECT_EQ(getref(1, &ref), QIRA_OK);
  EXPECT_EQ(ref, 0u);
  EXPECT_EQ(getref(2, &ref), QIRA_ERR_RANGE);

  uint32_t count = 0;
  ASSERT_EQ(symcount(nullptr, &count), QIRA_OK);
  ASSERT_EQ(count, 36u);
  std::vector<std::string> names;
  for (uint32_t i = 1; i <= count; ++i) {
    QiraNameDesc d{};
    ASSERT_EQ(getsym(nullptr, i, &d), QIRA_OK) << i;
    names.push_back(qt::U8(d.ptr, d.len / 2));
  }
  EXPECT_EQ(names.front(), "QIRAdirectory");
  EXPECT_EQ(names[27], "type");
  EXPECT_EQ(names.back(), "__");
  QiraNameDesc d{};
  EXPECT_EQ(getsym(nullptr, 37, &d), QIRA_ERR_RANGE);

  uint16_t buf[8];
  uint32_t len = 0;
  ASSERT_EQ(getversion(nullptr, buf, 8, &len), QIRA_OK);
  EXPECT_EQ(qt::U8(buf, len), "1.00.001");
}

TEST_F(Loaded, ExportsItsFunctionsAndKeepsTablesInside) {
  for (const char *name :
       {"VXGetVer", "TARVO", "TARVOQIRA_GetRefCount", "TARVOQIRA_GetRef",
        "TARVOQIRA_GetSymCount", "TARVOQIRA_GetSymbol", "TARVO_GetVersion",
        "x_xx_xxx_VersionString", "TARVO_GetExternalApiFuncs", "TARVOQIRA_AddTypes",
        "TARVOParam_ObjParam", "TARVOParam_StrParam", "TARVOParam_IntParam",
        "TARVOParam_IntDigitsFromNumericParam", "TARVOParam_VxmemsizeParam",
        "TARVOParam_BoolParam", "TARVO_ObjRefGetPrivatePtr", "TARVOUtil_SetObjVxu32int",
        "TARVOUtil_SetPropString", "TARVOUtil_SetPropIntDigits", "TARVOUtil_SetPropBool",
        "TARVOUtil_SetPropConst", "TARVOUtil_GetTypeInSameModule", "TARVOUtil_RefCountInit",
        "TARVOUtil_RefCountInc", "TARVOUtil_RefCountDecIsZero", "TARVOIdedStr_GetIdedStr"})
    EXPECT_NE(dlsym(handle_, name), nullptr) << name << " must be exported";
  for (const char *name : {"name_descs", "intrinsictypes", "qira_direntry_types",
                           "qira_newdir_params_descs", "propsforQIRAdir", "vxver"})
    EXPECT_EQ(dlsym(handle_, name), nullptr) << name << " must not be exported";
}

// ---- AddTypes through a fake registration ------------------------------------------

std::vector<QiraTypeDesc> g_offered;

uint32_t Register(void *, const QiraTypeDesc *desc, void *) {
  g_offered.push_back(*desc);
  return QIRA_OK;
}

QiraHostFn Getter(uint32_t id) {
  return id == 130 ? reinterpret_cast<QiraHostFn>(Register) : nullptr;
}

TEST_F(Loaded, RegistersBothTypesWithTheirTables) {
  auto addtypes = Func<decltype(&TARVOQIRA_AddTypes)>(104);
  ASSERT_NE(addtypes, nullptr);
  QiraProvider provider{};
  provider.getter = Getter;
  void *regctx[2] = {nullptr, &provider};
  g_offered.clear();
  ASSERT_EQ(addtypes(nullptr, regctx, nullptr), QIRA_OK);
  ASSERT_EQ(g_offered.size(), 2u);

  const QiraTypeDesc &dir = g_offered[0], &ent = g_offered[1];
  EXPECT_EQ(dir.name, 1u);
  EXPECT_EQ(ent.name, 2u);
  EXPECT_EQ(dir.privsize, sizeof(void *) == 4 ? 44u : 88u);
  EXPECT_EQ(ent.privsize, sizeof(void *) == 4 ? 28u : 56u);
  EXPECT_EQ(dir.nprops, 9u);
  EXPECT_EQ(ent.nprops, 18u);
  EXPECT_EQ(dir.nmethods, 5u);
  EXPECT_EQ(ent.nmethods, 7u);
  // Every hook and method the host may call is the module's exported function.
  EXPECT_EQ(reinterpret_cast<void *>(dir.init), dlsym(handle_, "TARVO_PrivateInitQIRADirObj"));
  EXPECT_EQ(reinterpret_cast<void *>(ent.term),
            dlsym(handle_, "TARVO_PrivateTermQIRADirEntryObj"));
  EXPECT_EQ(reinterpret_cast<void *>(dir.methods[0].fn), dlsym(handle_, "TARVO_NewQIRADirObject"));
  EXPECT_EQ(reinterpret_cast<void *>(ent.methods[6].fn),
            dlsym(handle_, "TARVOQIRADirEntry_Move"));
  EXPECT_EQ(dir.props[0].name, 28u);
  EXPECT_EQ(dir.props[0].type, 28u);
  EXPECT_EQ(ent.props[14].name, 24u) << "setattributes before setdates";
  // Both setters refuse any value.
  EXPECT_EQ(dir.setvalue(), QIRA_ERR_ACCESS);
  EXPECT_EQ(ent.setvalue(), QIRA_ERR_ACCESS);
}

TEST_F(Loaded, ApiFetchAsksEveryId) {
  auto fetch = Sym<decltype(&TARVO_GetExternalApiFuncs)>("TARVO_GetExternalApiFuncs");
  ASSERT_NE(fetch, nullptr);
  static std::vector<uint32_t> asked;
  asked.clear();
  QiraProvider provider{};
  provider.getter = [](uint32_t id) {
    asked.push_back(id);
    return reinterpret_cast<QiraHostFn>(uintptr_t(id));
  };
  QiraHostFn table[QIRA_HOSTAPI_COUNT] = {};
  ASSERT_EQ(fetch(&provider, table), QIRA_OK);
  ASSERT_EQ(asked.size(), size_t(QIRA_HOSTAPI_COUNT));
  EXPECT_EQ(asked.front(), 100u);
  EXPECT_EQ(asked.back(), 800u);
  EXPECT_EQ(table[QIRA_API_TOINT], reinterpret_cast<QiraHostFn>(uintptr_t(430)));
}

}  // namespace
