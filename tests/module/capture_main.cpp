// Proof that qira.so keeps its calls to its own functions inside itself even
// when the program that loads it exports a failing Mem_Alloc of the same name,
// as a host may: the fake must never run.
// Exit status: 0 proven, 1 failed, 77 skipped (the module is not built yet).
#include <dlfcn.h>

#include <cstdio>

#include "qira.h"

int g_fake_calls = 0;

template <typename Fn>
Fn Sym(void *handle, const char *name) {
  return handle ? reinterpret_cast<Fn>(dlsym(handle, name)) : nullptr;
}

extern "C" QIRA_API void *Mem_Alloc(QiraMemGroup *, uint32_t) {
  ++g_fake_calls;
  return nullptr;
}

int main() {
  // Without the fake in the global scope the proof would prove nothing.
  if (dlsym(RTLD_DEFAULT, "Mem_Alloc") != reinterpret_cast<void *>(&Mem_Alloc)) {
    std::printf("FAIL: the fake is not exported from the program\n");
    return 1;
  }
  void *handle = dlopen(QIRA_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
  const auto groupget = Sym<decltype(&Mem_GroupGet)>(handle, "Mem_GroupGet");
  const auto alloc = Sym<decltype(&Mem_Alloc)>(handle, "Mem_Alloc");
  const auto groupfree = Sym<decltype(&Mem_GroupFree)>(handle, "Mem_GroupFree");
  if (!groupget || !alloc || !groupfree) {
    std::printf("skip: qira.so or one of its functions is not built yet\n");
    return 77;
  }
  // A new group's record comes from Mem_Alloc too, reached from Mem_GroupGet.
  QiraMemGroup *group = nullptr;
  const bool ok = groupget(nullptr, QIRA_GROUP_SMALL, 16384, &group) == QIRA_OK && group &&
                  alloc(group, 100) != nullptr && g_fake_calls == 0;
  if (group) groupfree(group);
  std::printf("%s: a block from a new group, fake called %d times\n", ok ? "ok" : "FAIL", g_fake_calls);
  return ok ? 0 : 1;
}
