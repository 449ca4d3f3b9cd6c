// The copy/move worker under faults, end to end through the host stand-in
// and the real qira.so: workers killed at random moments, fork refused by the
// process limit, a source removed while it is copied, and thousands of copies
// in a row with no zombie and no descriptor left behind.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <random>

#include "objects/fixture.h"

namespace objtest {
namespace {

class WorkerFaults : public ObjTest {};

uint32_t Seed() {
  const uint32_t seed = std::random_device{}();
  std::printf("seed %u\n", seed);
  return seed;
}

TEST_F(WorkerFaults, WorkerKilledAtAnyMomentNeverPassesForASuccess) {
  const uint32_t rounds = Scaled("QIRA_E2E_KILL_ROUNDS", kEmulatedMaybe ? 12 : 30);
  const uint32_t seed = Seed();
  SCOPED_TRACE(seed);
  std::mt19937 rng(seed);
  // Large enough that the copy loop takes a while; the kills are spread over
  // the time one uninterrupted copy takes here, so they land before, inside
  // and after the loop.
  const std::string content = Content(8 << 20), dst = dir_ / "dst";
  Ref e = Source(content);
  ASSERT_TRUE(e);
  const auto t0 = std::chrono::steady_clock::now();
  ASSERT_EQ(CopyMove(e, "copy", dst, false).code, QIRA_OK);
  const auto span = std::chrono::duration_cast<std::chrono::microseconds>(
                        std::chrono::steady_clock::now() - t0).count();
  ASSERT_EQ(::unlink(dst.c_str()), 0);
  std::uniform_int_distribution<int64_t> delay(0, span + span / 4);

  uint32_t complete = 0, absent = 0, unreported = 0;
  for (uint32_t i = 0; i < rounds; ++i) {
    SCOPED_TRACE(i);
    ExpectNoZombieWorker();
    Variable error = host_->variable();
    PendingCall call = host_->begin(e, "copy", {Arg("destination", dst.c_str()), Arg("error", error)});
    ASSERT_TRUE(call.open());
    // Nothing collects the worker before the block runs, so its pid is safe
    // to signal even if it has already ended.
    const std::vector<int> workers = qt::Children();
    ASSERT_EQ(workers.size(), 1u);
    usleep(useconds_t(delay(rng)));
    ASSERT_EQ(kill(workers[0], SIGKILL), 0);
    CallOutcome out = call.finish();
    // Killed after the copy got its name but before the message went out,
    // the destination is whole all the same: never a prefix.
    const bool exists = qt::Exists(dst);
    if (exists) {
      EXPECT_TRUE(Holds(dst, content)) << "a killed worker left a partial destination";
      EXPECT_EQ(StatOf(dst).st_mode & 07777, 0640u);
    }
    if (out.ok()) {
      ++complete;
      EXPECT_TRUE(exists);
    } else {
      ++(exists ? unreported : absent);
      ExpectFailure(out, &error, QIRA_ERR_NOTPOSSIBLE);
    }
    EXPECT_TRUE(Holds(dir_ / "src", content)) << "the source changed";
    ::unlink(dst.c_str());
  }
  std::printf("%u rounds over %lld us: %u complete, %u absent, %u complete but unreported\n",
              rounds, static_cast<long long>(span), complete, absent, unreported);
}

TEST(WorkerFaultsProcess, ForkRefusedByTheProcessLimit) {
  // The limit binds only an unprivileged user, so the whole call runs in a
  // child that gives up root first.  It loads the module while it is still
  // root: the build tree may lie in a folder only root may enter.
  qt::ScratchDir dir;
  ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
  const std::string src = dir / "src", dst = dir / "dst";
  qt::WriteFile(src, "payload");
  ASSERT_EQ(::chmod(src.c_str(), 0644), 0);
  // The child's exit codes: why it failed.
  enum { kOk, kLimitIgnored = 11, kNoHost, kNoEntry, kWrongCode, kDestination, kLeak, kSkip = 77 };

  std::unique_ptr<Host> host;
  std::string err;
  const auto load = [&] { host = Host::load(QIRA_MODULE_PATH, err); };
  const qt::ChildResult r = qt::AsUnprivileged(dir.path(), [&]() -> int {
    const struct rlimit none = {0, 0};
    if (setrlimit(RLIMIT_NPROC, &none) != 0) return kSkip;
    if (const pid_t probe = fork(); probe >= 0) {
      if (probe == 0) _exit(0);
      waitpid(probe, nullptr, 0);
      return kLimitIgnored;
    }
    if (!host || host->addTypes() != QIRA_OK) return kNoHost;
    const size_t blocks = host->liveBlocks(), fds = OpenFds();
    {
      CallOutcome made = host->construct(kEntryType, {Arg("name", src.c_str())});
      if (!made.ok()) return kNoEntry;
      Variable error = host->variable();
      CallOutcome out = host->call(made.value, "copy", {Arg("destination", dst.c_str()), Arg("error", error)});
      if (out.ok() || error.get().toUint64() != std::optional<uint64_t>(QIRA_ERR_SYSTEM | EAGAIN))
        return kWrongCode;
      if (qt::Exists(dst)) return kDestination;
    }
    const bool leak = host->liveBlocks() != blocks || OpenFds() != fds || host->liveVariables() != 0 ||
                      !host->violations().empty();
    return leak ? kLeak : kOk;
  }, load);
  if (!r.skip.empty()) GTEST_SKIP() << r.skip;
  ASSERT_GE(r.code, 0) << "the child did not end normally";
  if (r.code == kSkip) GTEST_SKIP() << "setrlimit(RLIMIT_NPROC) refused";
  if (r.code == kLimitIgnored)
    GTEST_SKIP() << "the process limit does not bind here (a capability keeps fork working)";
  EXPECT_EQ(r.code, kOk) << "12 no host, 13 no entry, 14 not the fork failure code (2000000 | EAGAIN), "
                            "15 a destination appeared, 16 something was left allocated or open";
  EXPECT_TRUE(qt::Exists(src));
}

TEST_F(WorkerFaults, SourceRemovedWhileItIsCopied) {
  const uint32_t rounds = Scaled("QIRA_E2E_REMOVE_ROUNDS", kEmulatedMaybe ? 8 : 24);
  const uint32_t seed = Seed();
  SCOPED_TRACE(seed);
  std::mt19937 rng(seed);
  const std::string content = Content(512 << 10, 7), dst = dir_ / "dst";
  uint32_t copied = 0;
  for (uint32_t i = 0; i < rounds; ++i) {
    SCOPED_TRACE(i);
    Ref e = Source(content);
    ASSERT_TRUE(e);
    Variable error = host_->variable();
    PendingCall call = host_->begin(e, "copy", {Arg("destination", dst.c_str()), Arg("error", error)});
    ASSERT_TRUE(call.open());
    usleep(std::uniform_int_distribution<useconds_t>(0, 1500)(rng));
    ASSERT_EQ(::unlink((dir_ / "src").c_str()), 0);
    CallOutcome out = call.finish();
    // The worker had the source open: an unlinked file still reads whole.
    if (out.ok()) {
      ++copied;
      EXPECT_TRUE(Holds(dst, content));
    } else {
      EXPECT_EQ(error.get().toUint64(), std::optional<uint64_t>(QIRA_ERR_NOENTRY));
      EXPECT_FALSE(qt::Exists(dst));
    }
    // The entry still describes the vanished source and goes away cleanly.
    EXPECT_EQ(Text(e, "name"), "src");
    ::unlink(dst.c_str());
  }
  std::printf("%u rounds: %u copied, %u found no source\n", rounds, copied, rounds - copied);
}

TEST_F(WorkerFaults, ThousandsOfCopiesLeaveNoZombieAndNoDescriptor) {
  // Every ctest run makes 500 (300 where it may be emulated); the stress step
  // makes 10,000 (QIRA_E2E_COPIES).
  const uint32_t count = Scaled("QIRA_E2E_COPIES", kEmulatedMaybe ? 300 : 500);
  Ref e = Source("a small file, copied over and over\n");
  ASSERT_TRUE(e);
  const auto start = std::chrono::steady_clock::now();
  for (uint32_t i = 0; i < count; ++i) {
    // A few destinations, each replaced again and again; every tenth copy
    // is refused because its destination exists.
    const std::string dst = dir_ / ("dst" + std::to_string(i % 8));
    const bool replace = i % 10 != 0 || !qt::Exists(dst);
    ASSERT_EQ(CopyMove(e, "copy", dst, replace).code, replace ? QIRA_OK : QIRA_ERR_EXISTS) << i;
    if (i % 1000 == 999 || i + 1 == count) {
      ExpectNoZombieWorker();
      ASSERT_EQ(OpenFds(), fds_) << "after copy " << i;
    }
  }
  std::printf("%u copies in %.1f s\n", count,
              std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
}

}  // namespace
}  // namespace objtest
