// Proof that qira.so keeps its calls to its own functions inside itself even
// when the program that loads it exports a failing Mem_Alloc and a garbage
// version formatter of the same names: the fakes must never run.
// Exit status: 0 proven, 1 failed, 77 skipped (the module is not built yet).
#include <dlfcn.h>

#include <cstdio>
#include <cstring>

#include "qira.h"

namespace {

int g_fake_calls = 0;

template <typename Fn>
Fn Sym(void *handle, const char *name) {
  return handle ? reinterpret_cast<Fn>(dlsym(handle, name)) : nullptr;
}

}  // namespace

// Exported from the executable, so that without symbolic binding the dynamic
// linker would resolve the module's own calls to them.
extern "C" QIRA_API void *Mem_Alloc(QiraMemGroup *, uint32_t) {
  ++g_fake_calls;
  return nullptr;
}

extern "C" QIRA_API void x_xx_xxx_VersionString(uint16_t *buffer, uint32_t, uint32_t, uint32_t) {
  ++g_fake_calls;
  std::memset(buffer, 'X', 16);
}

int main() {
  // Without the fakes in the global scope the proof would prove nothing.
  if (dlsym(RTLD_DEFAULT, "Mem_Alloc") != reinterpret_cast<void *>(&Mem_Alloc) ||
      dlsym(RTLD_DEFAULT, "x_xx_xxx_VersionString") !=
          reinterpret_cast<void *>(&x_xx_xxx_VersionString)) {
    std::printf("FAIL: the fakes are not exported from the program\n");
    return 1;
  }
  void *handle = dlopen(QIRA_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
  const auto tarvo = Sym<decltype(&TARVO)>(handle, "TARVO");
  const auto groupget = Sym<decltype(&Mem_GroupGet)>(handle, "Mem_GroupGet");
  const auto alloc = Sym<decltype(&Mem_Alloc)>(handle, "Mem_Alloc");
  const auto groupfree = Sym<decltype(&Mem_GroupFree)>(handle, "Mem_GroupFree");
  if (!tarvo || !groupget || !alloc || !groupfree) {
    std::printf("skip: qira.so or one of its functions is not built yet\n");
    return 77;
  }
  // A new group's record comes from Mem_Alloc too, reached from Mem_GroupGet.
  const auto getversion = reinterpret_cast<decltype(&TARVO_GetVersion)>(tarvo(110));
  uint16_t buf[8] = {};
  uint32_t len = 0;
  const bool version = getversion && getversion(nullptr, buf, 8, &len) == QIRA_OK && len == 8 &&
                       std::memcmp(buf, u"1.00.001", sizeof buf) == 0;
  QiraMemGroup *group = nullptr;
  const bool memory = groupget(nullptr, QIRA_GROUP_SMALL, 16384, &group) == QIRA_OK && group &&
                      alloc(group, 100) != nullptr;
  if (group) groupfree(group);
  dlclose(handle);
  std::printf("%s: version text 1.00.001 %s, a block from a new group %s, fakes called %d times\n",
              version && memory && !g_fake_calls ? "ok" : "FAIL", version ? "ok" : "wrong",
              memory ? "ok" : "refused", g_fake_calls);
  return version && memory && !g_fake_calls ? 0 : 1;
}
