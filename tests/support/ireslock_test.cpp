// Lock words: result codes and the word left behind, and the simple lock at its time limit.
#include <gtest/gtest.h>

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

// Every code is retried for the whole ten seconds, a release without a hold
// included, and the last one kept.
TEST(ResL, SimpleLockGivesUpAfterTheLimit) {
  QiraSimpleLock lock{77, 77};
  ResL_SimpleInit(&lock);
  EXPECT_TRUE(lock.word == 0 && lock.lastcode == 0);
  const uint32_t start = TimeDate_mscounter();
  EXPECT_EQ(ResL_SimpleUnLock(&lock), 0u);
  EXPECT_EQ(lock.lastcode, 32u);
  EXPECT_GT(TimeDate_mscounter() - start, 10000u);
}

}  // namespace
