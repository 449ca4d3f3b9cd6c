// Shared by the QIRAdirectoryentry tests: the real qira.so loaded by the host
// stand-in, a scratch directory, and the checks every test ends with (every
// object released, the module context's group back where it started, no
// protocol breach, no worker process left behind).
#pragma once

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utime.h>

#include <cerrno>
#include <cstdint>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "host/host.h"
#include "testutil/testutil.h"

namespace entrytest {

using qhost::Arg;
using qhost::Args;
using qhost::CallOutcome;
using qhost::Ref;
using qhost::Value;
using qhost::Variable;

// Seconds from 0001-01-01 to 1970-01-01: dates cross as microseconds since the former.
constexpr uint64_t kEpochShift = 62135596800ull;
constexpr uint64_t kMicro = 1000000ull;

inline Value DateOf(int64_t unixSeconds) {
  return Value::unsignedInt((uint64_t(unixSeconds) + kEpochShift) * kMicro);
}

// What a listing leaves in the module context's group until teardown.
constexpr size_t kBlocksPerListing = 2;

inline struct stat StatOf(const std::string &path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return st;
}

inline void SetTimes(const std::string &path, time_t atime, time_t mtime) {
  struct utimbuf t {atime, mtime};
  ASSERT_EQ(::utime(path.c_str(), &t), 0) << path;
}

// Workers answer before they exit, so one may still be on its way out; a
// child that has exited and is still there is a zombie nobody reaped.
inline void ExpectNoZombieWorker() {
  for (int tries = 0; tries < 2000; ++tries) {
    int st = 0;
    pid_t pid = ::waitpid(-1, &st, WNOHANG);
    if (pid > 0) {
      ADD_FAILURE() << "worker " << pid << " left as a zombie";
      continue;
    }
    if (pid < 0 && errno == ECHILD) return;
    ::usleep(1000);  // still running: it has answered and is about to exit
  }
  ADD_FAILURE() << "a worker process is still running";
}

// Reaps whatever worker an abandoned copy left running.
inline void ReapWorkers() {
  int st = 0;
  while (::waitpid(-1, &st, 0) > 0) {
  }
}

class EntryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string err;
    host_ = qhost::Host::load(QIRA_MODULE_PATH, err);
    ASSERT_TRUE(host_) << err;
    ASSERT_EQ(host_->addTypes(), QIRA_OK);
    blocks_ = host_->liveBlocks();
    objects_ = host_->liveObjects();
  }

  void TearDown() override {
    if (!host_) return;
    EXPECT_EQ(host_->liveObjects(), objects_) << "objects left alive";
    EXPECT_EQ(host_->liveVariables(), 0u) << "variables left alive";
    EXPECT_EQ(host_->liveValues(), 0u) << "host values neither consumed nor freed";
    EXPECT_EQ(host_->liveBlocks(), blocks_ + kBlocksPerListing * listings_)
        << "blocks left in the module context's group";
    EXPECT_TRUE(host_->violations().empty())
        << (host_->violations().empty() ? "" : host_->violations().front());
    ExpectNoZombieWorker();
  }

  // new(name[, error]) on QIRAdirectoryentry.
  CallOutcome New(const std::string &name, Variable *error = nullptr) {
    Args args{Arg("name", name.c_str())};
    if (error) args.emplace_back("error", *error);
    return host_->construct("QIRAdirectoryentry", args);
  }

  // An entry object for an existing name; empty (with a failure) otherwise.
  Ref Entry(const std::string &name) {
    CallOutcome out = New(name);
    EXPECT_TRUE(out.ok()) << name << ": status " << out.status;
    return out.value;
  }

  Value Prop(const Ref &obj, const char *name) {
    std::optional<Value> v = host_->prop(obj, name);
    EXPECT_TRUE(v.has_value()) << "property " << name << " never set";
    return v.value_or(Value());
  }

  std::string Text(const Ref &obj, const char *name) { return Prop(obj, name).utf8(); }

  // The error variable's content as a code; 0 when it holds none.
  static uint32_t Code(const Variable &v) {
    return uint32_t(v.get().toUint64().value_or(0));
  }

  std::unique_ptr<qhost::Host> host_;
  qt::ScratchDir dir_;
  size_t blocks_ = 0;
  size_t objects_ = 0;
  size_t listings_ = 0;  // listings started, each leaving its blocks behind
};

}  // namespace entrytest
