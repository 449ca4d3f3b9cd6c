// Lock words: result codes and the word left behind, the simple lock under
// contention and at its time limit.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "qira.h"

namespace {

constexpr uint32_t kBusy = 0x4000000, kExcl = 0x2000000, kOther = 0x1000000;

TEST(ResL, CodesAndWordLeftBehind) {
  struct Case { const char *name; uint32_t (*op)(uint32_t *); uint32_t before, code, after; };
  const Case kCases[] = {
      {"init", ResL_Init, 123, 0, 0},
      {"lock free", ResL_ExclLock, 0, 0, kExcl},           {"free held", ResL_LockFree, kExcl, 0, 0},
      {"lock held", ResL_ExclLock, kExcl, 2, kExcl},       {"free free", ResL_LockFree, 0, 32, 0},
      {"lock shared", ResL_ExclLock, 3, 4, 3},             {"free shared", ResL_LockFree, 3, 0, 2},
      {"lock busy", ResL_ExclLock, kBusy, 1, kBusy},       {"free busy", ResL_LockFree, kBusy, 1, kBusy},
      {"lock other", ResL_ExclLock, kOther | kExcl, 16, kOther | kExcl},
      {"free keeps shares", ResL_LockFree, kExcl | 2, 0, 2},
      {"lock ignores high bits", ResL_ExclLock, 0x80000000u, 0, kExcl},
      {"free other hold only", ResL_LockFree, kOther, 32, kOther},
  };
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.name);
    uint32_t word = c.before;
    EXPECT_EQ(c.op(&word), c.code);
    EXPECT_EQ(word, c.after);
  }
}

TEST(ResL, SimpleLockExcludesAndGivesUpAfterTheLimit) {
  QiraSimpleLock lock{77, 77};
  ResL_SimpleInit(&lock);
  EXPECT_EQ(lock.lastcode, 0u);
  uint64_t counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        ASSERT_EQ(ResL_SimpleLock(&lock), 1u);
        const uint64_t seen = counter;
        std::this_thread::yield();
        counter = seen + 1;
        ASSERT_EQ(ResL_SimpleUnLock(&lock), 1u);
      }
    });
  for (auto &t : threads) t.join();
  EXPECT_EQ(counter, 8000u);
  EXPECT_EQ(lock.word, 0u);
  EXPECT_EQ(lock.lastcode, 0u);
  // Every code is retried for the whole ten seconds, a release without a
  // hold included.
  const uint32_t start = TimeDate_mscounter();
  EXPECT_EQ(ResL_SimpleUnLock(&lock), 0u);
  EXPECT_EQ(lock.lastcode, 32u);
  EXPECT_GT(TimeDate_mscounter() - start, 10000u);
}

}  // namespace
