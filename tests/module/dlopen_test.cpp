// The built qira.so seen from outside, the way a host sees it: only dlsym,
// TARVO and the functions and tables it hands out.
#include <dlfcn.h>

#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "qira.h"

namespace {

std::vector<QiraTypeDesc> g_offered;

uint32_t Register(void *, const QiraTypeDesc *desc, void *) {
  g_offered.push_back(*desc);
  return QIRA_OK;
}

TEST(Loaded, ExportsItsFunctionsAndRegistersItsTypesWithThem) {
  void *dl = dlopen(QIRA_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
  if (!dl) GTEST_SKIP() << "qira.so not loadable: " << dlerror();
  std::istringstream names(
      "VXGetVer TARVO TARVOQIRA_GetRefCount TARVOQIRA_GetRef TARVOQIRA_GetSymCount "
      "TARVOQIRA_GetSymbol TARVO_GetVersion x_xx_xxx_VersionString TARVO_GetExternalApiFuncs "
      "TARVOQIRA_AddTypes TARVOParam_ObjParam TARVOParam_StrParam TARVOParam_IntParam "
      "TARVOParam_IntDigitsFromNumericParam TARVOParam_VxmemsizeParam TARVOParam_BoolParam "
      "TARVO_ObjRefGetPrivatePtr TARVOUtil_SetObjVxu32int TARVOUtil_SetPropString "
      "TARVOUtil_SetPropIntDigits TARVOUtil_SetPropBool TARVOUtil_SetPropConst "
      "TARVOUtil_GetTypeInSameModule TARVOUtil_RefCountInit TARVOUtil_RefCountInc "
      "TARVOUtil_RefCountDecIsZero TARVOIdedStr_GetIdedStr");
  for (std::string name; names >> name;) EXPECT_NE(dlsym(dl, name.c_str()), nullptr) << name;
  for (const char *name : {"name_descs", "intrinsictypes", "qira_direntry_types", "vxver"})
    EXPECT_EQ(dlsym(dl, name), nullptr) << name << " must stay hidden";

  // TARVO hands out the module's own exports; registration goes through 104.
  const auto tarvo = reinterpret_cast<decltype(&TARVO)>(dlsym(dl, "TARVO"));
  ASSERT_NE(tarvo, nullptr);
  EXPECT_EQ(reinterpret_cast<void *>(tarvo(103)), dlsym(dl, "TARVOQIRA_GetSymbol"));
  const auto addtypes = reinterpret_cast<decltype(&TARVOQIRA_AddTypes)>(tarvo(104));
  QiraProvider provider = {.w0 = 0, .w1 = 0, .getter = [](uint32_t id) {
    return id == 130 ? reinterpret_cast<QiraHostFn>(Register) : nullptr;
  }};
  void *regctx[2] = {nullptr, &provider};
  ASSERT_EQ(addtypes(nullptr, regctx, nullptr), QIRA_OK);
  ASSERT_EQ(g_offered.size(), 2u);
  // Every hook and method is an exported function of the module itself.
  Dl_info self{}, info{};
  ASSERT_NE(dladdr(reinterpret_cast<void *>(tarvo), &self), 0);
  for (const QiraTypeDesc &d : g_offered) {
    std::vector<void *> fns = {reinterpret_cast<void *>(d.init), reinterpret_cast<void *>(d.term),
                               reinterpret_cast<void *>(d.getvalue)};
    for (uintptr_t m = 0; m < d.nmethods; ++m)
      fns.push_back(reinterpret_cast<void *>(d.methods[m].fn));
    for (void *fn : fns) {
      ASSERT_NE(dladdr(fn, &info), 0);
      EXPECT_EQ(info.dli_fbase, self.dli_fbase);
      EXPECT_EQ(info.dli_sname ? dlsym(dl, info.dli_sname) : nullptr, fn);
    }
    EXPECT_EQ(d.setvalue(), QIRA_ERR_ACCESS) << "no value can be assigned to either type";
  }
  dlclose(dl);
}

}  // namespace
