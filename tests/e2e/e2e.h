// The end-to-end fault tests build on the objects fixture and add what only
// they need: descriptor counts, scaled loop counts and slow-exiting workers.
#pragma once

#include <dirent.h>

#include <cstdlib>

#include "objects/fixture.h"

namespace e2e {

using namespace objtest;

// Descriptors open in this process right now.
inline size_t OpenFds() {
  size_t n = 0;
  DIR *d = opendir("/proc/self/fd");
  while (dirent *e = d ? readdir(d) : nullptr) n += e->d_name[0] != '.';
  if (d) closedir(d);
  return n;
}

inline bool Holds(const std::string &path, const std::string &content) {
  return qt::Exists(path) && qt::ReadFile(path) == content;
}

// A deterministic content of n bytes, different for every seed.
inline std::string Content(size_t n, uint32_t seed = 1) {
  std::string s(n, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (char &c : s) c = char((x = x * 1103515245u + 12345u) >> 16);
  return s;
}

// This build runs 32-bit code, which on this project's machines may be an
// emulator: long loops are scaled down there.
inline constexpr bool kEmulatedMaybe = sizeof(void *) == 4;

// A count from the environment, or the default.
inline uint32_t Scaled(const char *env, uint32_t dflt) {
  const char *v = getenv(env);
  return v && *v ? uint32_t(strtoul(v, nullptr, 10)) : dflt;
}

class HostTest : public ObjTest {
 protected:
  void SetUp() override {
    ObjTest::SetUp();
    fds_ = OpenFds();
  }
  void TearDown() override {
    if (!host_) return;
    ObjTest::TearDown();
    EXPECT_EQ(OpenFds(), fds_) << "descriptors left open";
  }

  // copy or move with an error variable, run to its end; the code is the one
  // stored in error (0 when the call delivered the entry).
  struct Done {
    CallOutcome out;
    uint32_t code;
  };
  Done Finish(CallOutcome out, const Variable &error) {
    const uint32_t code = out.ok() ? QIRA_OK : uint32_t(error.get().toUint64().value_or(~0ull));
    return Done{std::move(out), code};
  }
  Done CopyMove(const Ref &entry, const char *method, const std::string &dest, bool replace) {
    Variable error = host_->variable();
    return Finish(host_->call(entry, method, {Arg("destination", dest.c_str()),
                                              Arg("replace", replace), Arg("error", error)}),
                  error);
  }
  Done Open(const std::string &name) {
    Variable error = host_->variable();
    return Finish(New(kDirType, name, &error), error);
  }

  size_t fds_ = 0;
};

}  // namespace e2e
