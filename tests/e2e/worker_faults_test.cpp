// The copy/move worker under faults, end to end: workers killed at random
// moments, a source removed while it is copied, and thousands of copies in a
// row with no zombie and no descriptor left behind.
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
  // The kills are spread over the time one uninterrupted copy takes here, so
  // they land before, inside and after the copy loop.
  const std::string content = Content(8 << 20), dst = dir_ / "dst";
  Ref e = Source(content);
  ASSERT_TRUE(e);
  const auto t0 = std::chrono::steady_clock::now();
  ASSERT_EQ(CopyMove(e, "copy", dst, false).code, QIRA_OK);
  const auto span = std::chrono::duration_cast<std::chrono::microseconds>(
                        std::chrono::steady_clock::now() - t0).count();
  ASSERT_EQ(::unlink(dst.c_str()), 0);
  std::uniform_int_distribution<int64_t> delay(0, span + span / 4);
  for (uint32_t i = 0; i < rounds; ++i) {
    SCOPED_TRACE(i);
    Variable error = host_->variable();
    PendingCall call = host_->begin(e, "copy", {Arg("destination", dst.c_str()), Arg("error", error)});
    ASSERT_TRUE(call.open());
    // Nothing collects the worker before the block runs: its pid is safe to
    // signal even if it has ended.
    const std::vector<int> workers = qt::Children();
    ASSERT_EQ(workers.size(), 1u);
    usleep(useconds_t(delay(rng)));
    ASSERT_EQ(kill(workers[0], SIGKILL), 0);
    CallOutcome out = call.finish();
    // Killed after the copy got its name but before its message went out,
    // the destination is whole all the same: never a prefix.
    const bool exists = qt::Exists(dst);
    EXPECT_TRUE(!exists || Holds(dst, content)) << "a killed worker left a partial destination";
    if (out.ok()) {
      EXPECT_TRUE(exists);
    } else {
      ExpectFailure(out, &error, QIRA_ERR_NOTPOSSIBLE);
    }
    EXPECT_TRUE(Holds(dir_ / "src", content)) << "the source changed";
    ::unlink(dst.c_str());
    ExpectNoZombieWorker();
  }
}

TEST_F(WorkerFaults, SourceRemovedWhileItIsCopied) {
  const uint32_t rounds = Scaled("QIRA_E2E_REMOVE_ROUNDS", kEmulatedMaybe ? 8 : 24);
  const uint32_t seed = Seed();
  SCOPED_TRACE(seed);
  std::mt19937 rng(seed);
  const std::string content = Content(512 << 10, 7), dst = dir_ / "dst";
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
    // Once the worker has the source open, an unlinked file still reads whole.
    if (out.ok()) {
      EXPECT_TRUE(Holds(dst, content));
    } else {
      EXPECT_EQ(error.get().toUint64(), std::optional<uint64_t>(QIRA_ERR_NOENTRY));
      EXPECT_FALSE(qt::Exists(dst));
    }
    EXPECT_EQ(Text(e, "name"), "src");
    ::unlink(dst.c_str());
  }
}

// Every ctest run makes 500 copies; the stress step 10,000 (QIRA_E2E_COPIES).
TEST_F(WorkerFaults, ThousandsOfCopiesLeaveNoZombieAndNoDescriptor) {
  const uint32_t count = Scaled("QIRA_E2E_COPIES", kEmulatedMaybe ? 300 : 500);
  Ref e = Source("a small file, copied over and over\n");
  ASSERT_TRUE(e);
  for (uint32_t i = 0; i < count; ++i) {
    // A few destinations replaced again and again; every tenth copy is
    // refused because its destination exists.
    const std::string dst = dir_ / ("dst" + std::to_string(i % 8));
    const bool replace = i % 10 != 0 || !qt::Exists(dst);
    ASSERT_EQ(CopyMove(e, "copy", dst, replace).code, replace ? QIRA_OK : QIRA_ERR_EXISTS) << i;
    if (i % 1000 == 999) {
      ExpectNoZombieWorker();
      ASSERT_EQ(OpenFds(), fds_) << "after copy " << i;
    }
  }
}

}  // namespace
}  // namespace objtest
