// The copy worker under faults, end to end: killed, its source removed, and
// thousands of copies in a row with no zombie and no descriptor left behind.
#include <chrono>
#include <cstdio>
#include <random>

#include "objects/fixture.h"

namespace objtest {
namespace {

class WorkerFaults : public ObjTest {};

// The worker killed, or the source removed, at a random moment of a copy:
// never a partial destination, never a failure that passes for a success.
TEST_F(WorkerFaults, WorkerKilledOrSourceRemovedAtAnyMoment) {
  const uint32_t seed = std::random_device{}();
  std::printf("seed %u\n", seed);
  SCOPED_TRACE(seed);
  std::mt19937 rng(seed);
  struct Row { const char *rounds; uint32_t dflt; size_t size; bool kill; uint32_t code; };
  const Row rows[] = {
      {"QIRA_E2E_KILL_ROUNDS", kEmulatedMaybe ? 12 : 30, 8 << 20, true, QIRA_ERR_NOTPOSSIBLE},
      {"QIRA_E2E_REMOVE_ROUNDS", kEmulatedMaybe ? 8 : 24, 512 << 10, false, QIRA_ERR_NOENTRY},
  };
  const std::string src = dir_ / "src", dst = dir_ / "dst";
  for (const Row &r : rows) {
    SCOPED_TRACE(r.rounds);
    const std::string content = Content(r.size, 7);
    Ref e = Source(content);
    ASSERT_TRUE(e);
    // Kills spread over one uninterrupted copy's time land before, inside and
    // after the copy loop; removals come early, mostly before the source opens.
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(CopyMove(e, "copy", dst, false).code, QIRA_OK);
    const auto span = std::chrono::duration_cast<std::chrono::microseconds>(
                          std::chrono::steady_clock::now() - t0).count();
    ASSERT_EQ(::unlink(dst.c_str()), 0);
    std::uniform_int_distribution<int64_t> delay(0, r.kill ? span + span / 4 : 1500);
    for (uint32_t i = 0, n = Scaled(r.rounds, r.dflt); i < n; ++i) {
      SCOPED_TRACE(i);
      ExpectNoZombieWorker();
      if (!qt::Exists(src)) e = Source(content);
      Variable error = host_->variable();
      PendingCall call = host_->begin(e, "copy", {Arg("destination", dst.c_str()), Arg("error", error)});
      ASSERT_TRUE(call.open());
      // Not collected before the block runs: its pid is safe to signal.
      const std::vector<int> workers = qt::Children();
      ASSERT_EQ(workers.size(), 1u);
      usleep(useconds_t(delay(rng)));
      ASSERT_EQ(r.kill ? kill(workers[0], SIGKILL) : ::unlink(src.c_str()), 0);
      CallOutcome out = call.finish();
      // A worker killed after the copy got its name but before its message
      // went out leaves it whole, unreported; an unlinked source once open
      // still reads whole.
      const bool exists = qt::Exists(dst);
      EXPECT_TRUE(!exists || Holds(dst, content)) << "a partial destination was left";
      if (out.ok()) {
        EXPECT_TRUE(exists);
      } else {
        ExpectFailure(out, &error, r.code);
        EXPECT_TRUE(r.kill || !exists);
      }
      EXPECT_TRUE(!r.kill || Holds(src, content)) << "the source changed";
      EXPECT_EQ(Text(e, "name"), "src");
      ::unlink(dst.c_str());
    }
  }
}

// Every ctest run makes 500 copies; the stress step 10,000 (QIRA_E2E_COPIES).
TEST_F(WorkerFaults, ThousandsOfCopiesLeaveNoZombieAndNoDescriptor) {
  const uint32_t count = Scaled("QIRA_E2E_COPIES", kEmulatedMaybe ? 300 : 500);
  Ref e = Source("a small file, copied over and over\n");
  ASSERT_TRUE(e);
  for (uint32_t i = 0; i < count; ++i) {
    // Every tenth copy is refused: its destination exists.
    const std::string dst = dir_ / ("dst" + std::to_string(i % 8));
    const bool replace = i % 10 != 0 || !qt::Exists(dst);
    ASSERT_EQ(CopyMove(e, "copy", dst, replace).code, replace ? QIRA_OK : QIRA_ERR_EXISTS) << i;
  }
}

}  // namespace
}  // namespace objtest
