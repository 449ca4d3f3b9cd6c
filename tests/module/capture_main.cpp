// Proof that qira.so keeps its calls to its own functions inside itself even
// when the program that loads it exports functions of the same names: this
// program defines a Mem_Alloc that always fails and a version formatter that
// writes garbage, exports both, and then uses the module.  Every internal call
// must still reach the module's own function, and the fakes must never run.
//
// Exit status: 0 proven, 1 failed, 77 skipped (the module or a symbol it
// needs is not built yet).
#include <dlfcn.h>

#include <cstdio>
#include <cstring>

#include "qira.h"

namespace {

int g_alloc_calls = 0;
int g_version_calls = 0;
int g_failures = 0;

void Check(bool ok, const char *what) {
  std::printf("%s: %s\n", ok ? "ok  " : "FAIL", what);
  if (!ok) ++g_failures;
}

template <typename Fn>
Fn Sym(void *handle, const char *name) {
  return reinterpret_cast<Fn>(dlsym(handle, name));
}

}  // namespace

// The fakes: exported from the executable, so that without symbolic binding
// the dynamic linker would resolve the module's own calls to them.
extern "C" QIRA_API void *Mem_Alloc(QiraMemGroup *, uint32_t) {
  ++g_alloc_calls;
  return nullptr;
}

extern "C" QIRA_API void x_xx_xxx_VersionString(uint16_t *buffer, uint32_t, uint32_t,
                                                uint32_t) {
  ++g_version_calls;
  for (int i = 0; i < 8; ++i) buffer[i] = 'X';
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
  if (!handle) {
    std::printf("skip: qira.so not loadable (%s)\n", dlerror());
    return 77;
  }

  // The version text goes through the module's formatter, not ours.
  auto tarvo = Sym<decltype(&TARVO)>(handle, "TARVO");
  if (!tarvo) {
    std::printf("skip: qira.so has no TARVO yet\n");
    return 77;
  }
  auto getversion = reinterpret_cast<decltype(&TARVO_GetVersion)>(tarvo(110));
  uint16_t buf[8] = {};
  uint32_t len = 0;
  const bool gotversion = getversion && getversion(nullptr, buf, 8, &len) == QIRA_OK;
  const uint16_t want[8] = {'1', '.', '0', '0', '.', '0', '0', '1'};
  Check(gotversion && len == 8 && std::memcmp(buf, want, sizeof want) == 0,
        "TARVO_GetVersion formats 1.00.001 with the module's own formatter");
  Check(g_version_calls == 0, "the program's x_xx_xxx_VersionString was never called");

  // Memory: a new group's record and every block come from the module's
  // Mem_Alloc, reached from inside Mem_GroupGet as well.
  auto groupget = Sym<decltype(&Mem_GroupGet)>(handle, "Mem_GroupGet");
  auto alloc = Sym<decltype(&Mem_Alloc)>(handle, "Mem_Alloc");
  auto mfree = Sym<decltype(&Mem_Free)>(handle, "Mem_Free");
  auto groupfree = Sym<decltype(&Mem_GroupFree)>(handle, "Mem_GroupFree");
  if (!groupget || !alloc || !mfree || !groupfree) {
    std::printf("skip: qira.so lacks the Mem_ functions\n");
    dlclose(handle);
    return g_failures ? 1 : 77;
  }
  Check(reinterpret_cast<void *>(alloc) != reinterpret_cast<void *>(&Mem_Alloc),
        "dlsym on the module finds the module's Mem_Alloc");
  QiraMemGroup *group = nullptr;
  const uint32_t rc = groupget(nullptr, QIRA_GROUP_SMALL, 16384, &group);
  Check(rc == QIRA_OK && group != nullptr, "Mem_GroupGet makes a small-block group");
  if (group) {
    void *block = alloc(group, 100);
    Check(block != nullptr, "Mem_Alloc hands out a block from the group");
    if (block) {
      std::memset(block, 0xA5, 100);
      mfree(block);
    }
    groupfree(group);
  }
  Check(g_alloc_calls == 0, "the program's Mem_Alloc was never called");

  dlclose(handle);
  return g_failures ? 1 : 0;
}
