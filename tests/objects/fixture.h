// The real qira.so loaded by the host stand-in, a scratch directory, and the
// leak checks every objects and end-to-end test ends with.
#pragma once

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include <gtest/gtest.h>

#include "host/host.h"
#include "testutil/testutil.h"

namespace objtest {

using namespace qhost;

// Dates cross as microseconds since 0001-01-01, 62135596800 s before 1970.
inline Value DateOf(int64_t unixSeconds) {
  return Value::unsignedInt((uint64_t(unixSeconds) + 62135596800ull) * 1000000ull);
}

constexpr const char *kDirType = "QIRAdirectory";
constexpr const char *kEntryType = "QIRAdirectoryentry";
constexpr uint32_t kInjected = 4242;  // no host function of the stand-in returns it on its own
// 32-bit code may run under an emulator here: long loops are scaled down there.
inline constexpr bool kEmulatedMaybe = sizeof(void *) == 4;

using qt::Content;
using qt::OpenFds;
using qt::SetTimes;
using qt::StatOf;

inline void MakeFiles(const std::string &dir, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) qt::WriteFile(dir + "/f" + std::to_string(i), "");
}

inline std::vector<std::string> ReaddirOrder(const std::string &path) {
  std::vector<std::string> names;
  for (const auto &e : std::filesystem::directory_iterator(path)) names.push_back(e.path().filename());
  return names;
}

inline bool Holds(const std::string &path, const std::string &content) {
  return qt::Exists(path) && qt::ReadFile(path) == content;
}

inline uint32_t Scaled(const char *env, uint32_t dflt) {
  const char *v = getenv(env);
  return v && *v ? uint32_t(strtoul(v, nullptr, 10)) : dflt;
}

class ObjTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string err;
    host_ = Host::load(QIRA_MODULE_PATH, err);
    ASSERT_TRUE(host_) << err;
    ASSERT_EQ(host_->addTypes(), QIRA_OK);
    blocks_ = host_->liveBlocks();
    objects_ = host_->liveObjects();
    fds_ = OpenFds();
  }

  void TearDown() override {
    if (!host_) return;
    ExpectNoZombieWorker();
    EXPECT_EQ(host_->liveObjects(), objects_) << "objects left alive";
    EXPECT_EQ(host_->liveVariables(), 0u) << "variables left alive";
    EXPECT_EQ(host_->liveValues(), 0u) << "host values neither consumed nor freed";
    EXPECT_EQ(host_->openListings(), 0u);
    EXPECT_EQ(host_->liveBlocks(), blocks_) << "blocks left in the module context's group";
    for (const std::string &v : host_->violations()) ADD_FAILURE() << v;
    EXPECT_EQ(OpenFds(), fds_) << "descriptors left open";
  }

  // Ending the module's worker records must collect every ended child.  Under
  // valgrind (QIRA_E2E_SLOW_EXIT) a worker ends later than the module waits.
  void ExpectNoZombieWorker() {
    if (getenv("QIRA_E2E_SLOW_EXIT"))
      while (waitpid(-1, nullptr, 0) > 0) {
      }
    EXPECT_TRUE(qt::WaitChildrenEnded()) << "a worker process is still running";
    host_->runCleanupsExcept("TARVODirCreate_JustFree");
    const pid_t pid = ::waitpid(-1, nullptr, WNOHANG);
    EXPECT_TRUE(pid < 0 && errno == ECHILD) << "worker " << pid << " left as a zombie";
  }

  CallOutcome Run(const Ref &recv, const char *method, Args args, Variable *error = nullptr) {
    if (error) args.emplace_back("error", *error);
    CallOutcome out = host_->call(recv, method, args);
    EXPECT_TRUE(out.argcOutWritten) << method;
    EXPECT_EQ(out.argcOut, args.size()) << method;
    return out;
  }
  CallOutcome New(const char *type, const std::string &name, Variable *error = nullptr) {
    return Run(host_->typeObject(type), "new", {Arg("name", name.c_str())}, error);
  }
  static Ref Made(const CallOutcome &out) {
    EXPECT_TRUE(out.ok()) << "status " << out.status;
    return out.value;
  }
  Ref Dir(const std::string &name) { return Made(New(kDirType, name)); }
  Ref Entry(const std::string &name) { return Made(New(kEntryType, name)); }
  // A file of mode 0640 and its entry object.
  Ref Source(const std::string &content) {
    qt::WriteFile(dir_ / "src", content);
    EXPECT_EQ(::chmod((dir_ / "src").c_str(), 0640), 0);
    return Entry(dir_ / "src");
  }

  Value Prop(const Ref &obj, const char *name) {
    std::optional<Value> v = host_->prop(obj, name);
    EXPECT_TRUE(v.has_value()) << "property " << name << " never set";
    return v.value_or(Value());
  }
  std::string Text(const Ref &obj, const char *name) { return Prop(obj, name).utf8(); }
  std::string Full(const Ref &obj) { return host_->value(obj).value.utf8(); }

  // A failure found after `error` was read lands there (the call succeeds with
  // no value), else is the status.  An early one (or one that could not be
  // stored) is the status either way and leaves the variable untouched.
  static void ExpectFailure(const CallOutcome &out, const Variable *error, uint32_t code,
                            bool early = false) {
    EXPECT_FALSE(out.value);
    if (!error || early) {
      EXPECT_EQ(out.status, code);
      EXPECT_TRUE(!error || error->assignments() == 0) << "early failure stored";
      return;
    }
    EXPECT_EQ(out.status, QIRA_OK);
    EXPECT_TRUE(out.noValue);
    EXPECT_EQ(error->get().toUint64(), std::optional<uint64_t>(code));
    EXPECT_EQ(error->lastFlag(), 0);
  }

  // copy or move with an error variable, run to its end, and the code stored there.
  struct Done {
    CallOutcome out;
    uint32_t code;
  };
  Done CopyMove(const Ref &entry, const char *method, const std::string &dest, bool replace) {
    Variable error = host_->variable();
    CallOutcome out = Run(entry, method, {Arg("destination", dest.c_str()), Arg("replace", replace)}, &error);
    const uint32_t code = out.ok() ? QIRA_OK : uint32_t(error.get().toUint64().value_or(~0ull));
    return Done{std::move(out), code};
  }

  std::unique_ptr<Host> host_;
  qt::ScratchDir dir_;
  size_t blocks_ = 0, objects_ = 0, fds_ = 0;
};

}  // namespace objtest
