// Shared by the end-to-end fault tests: the real qira.so loaded by the host
// stand-in, and the process-level bookkeeping every test ends with (objects,
// blocks, descriptors, worker processes).
#pragma once

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/host.h"
#include "testutil/testutil.h"

namespace e2e {

using qhost::Arg;
using qhost::Args;
using qhost::CallOutcome;
using qhost::Ref;
using qhost::Value;
using qhost::Variable;

// Descriptors open in this process right now.
inline size_t OpenFds() {
  size_t n = 0;
  DIR *d = opendir("/proc/self/fd");
  if (!d) return 0;
  while (dirent *e = readdir(d))
    if (e->d_name[0] != '.') ++n;
  closedir(d);
  return n - 1;  // the listing's own descriptor
}

// True when the file at path holds exactly content.
inline bool Holds(const std::string &path, const std::string &content) {
  return qt::Exists(path) && qt::ReadFile(path) == content;
}

// A deterministic content of n bytes, different for every seed.
inline std::string Content(size_t n, uint32_t seed = 1) {
  std::string s(n, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (char &c : s) {
    x = x * 1103515245u + 12345u;
    c = char(x >> 16);
  }
  return s;
}

// Under valgrind a worker ends long after its answer (the tool tears down a
// whole copy of the test process), later than the module waits to collect
// it.  The valgrind run sets QIRA_E2E_SLOW_EXIT; there the tests collect such
// workers themselves and leave the zombie checks to the other runs.
inline bool SlowExits() { return getenv("QIRA_E2E_SLOW_EXIT") != nullptr; }
inline void CollectSlowWorkers() {
  if (!SlowExits()) return;
  while (waitpid(-1, nullptr, 0) > 0) {
  }
}

// This build runs 32-bit code, which on this project's machines may be an
// emulator: long loops are scaled down there.
inline constexpr bool kEmulatedMaybe = sizeof(void *) == 4;

// A count from the environment, or the default.
inline uint32_t Scaled(const char *env, uint32_t dflt) {
  const char *v = getenv(env);
  return v && *v ? uint32_t(strtoul(v, nullptr, 10)) : dflt;
}

class HostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string err;
    host_ = qhost::Host::load(QIRA_MODULE_PATH, err);
    ASSERT_TRUE(host_) << err;
    ASSERT_EQ(host_->addTypes(), QIRA_OK);
    blocks_ = host_->liveBlocks();
    objects_ = host_->liveObjects();
    fds_ = OpenFds();
  }

  // The module keeps its workers until a later look finds them ended; once
  // every child has ended, ending those records (as the end of the module
  // context does) collects them all.
  void EndWorkers() {
    CollectSlowWorkers();
    EXPECT_TRUE(qt::WaitChildrenEnded()) << "a worker process is still running";
    host_->runCleanupsExcept("TARVODirCreate_JustFree");
  }
  // ... and no child is left for the host to collect.
  void ExpectNoWorkerLeft() {
    EndWorkers();
    const pid_t pid = waitpid(-1, nullptr, WNOHANG);
    EXPECT_TRUE(pid < 0 && errno == ECHILD) << "worker " << pid << " left as a zombie";
  }

  void TearDown() override {
    if (!host_) return;
    ExpectNoWorkerLeft();
    EXPECT_EQ(host_->liveObjects(), objects_) << "objects left alive";
    EXPECT_EQ(host_->liveVariables(), 0u) << "variables left alive";
    EXPECT_EQ(host_->liveValues(), 0u) << "host values neither consumed nor freed";
    EXPECT_EQ(host_->liveBlocks(), blocks_) << "blocks left in the module context's group";
    EXPECT_EQ(OpenFds(), fds_) << "descriptors left open";
    EXPECT_TRUE(host_->violations().empty())
        << (host_->violations().empty() ? "" : host_->violations().front());
  }

  Ref Entry(const std::string &name) {
    CallOutcome out = host_->construct("QIRAdirectoryentry", {Arg("name", name.c_str())});
    EXPECT_TRUE(out.ok()) << name << ": status " << out.status;
    return out.value;
  }

  // copy or move with an error variable, run to its end; the outcome's code
  // is the one stored in error (0 when the call delivered the entry).
  struct Done {
    CallOutcome out;
    uint32_t code;
  };
  Done CopyMove(const Ref &entry, const char *method, const std::string &dest, bool replace) {
    Variable error = host_->variable();
    CallOutcome out = host_->call(
        entry, method, {Arg("destination", dest.c_str()), Arg("replace", replace),
                        Arg("error", error)});
    const uint32_t code = out.ok() ? QIRA_OK : uint32_t(error.get().toUint64().value_or(~0ull));
    return Done{std::move(out), code};
  }

  // new on QIRAdirectory with an error variable.
  Done Open(const std::string &name) {
    Variable error = host_->variable();
    CallOutcome out =
        host_->construct("QIRAdirectory", {Arg("name", name.c_str()), Arg("error", error)});
    const uint32_t code = out.ok() ? QIRA_OK : uint32_t(error.get().toUint64().value_or(~0ull));
    return Done{std::move(out), code};
  }

  std::string Text(const Ref &obj, const char *prop) {
    std::optional<Value> v = host_->prop(obj, prop);
    return v ? v->utf8() : std::string("<unset>");
  }

  std::unique_ptr<qhost::Host> host_;
  qt::ScratchDir dir_;
  size_t blocks_ = 0;
  size_t objects_ = 0;
  size_t fds_ = 0;
};

}  // namespace e2e
