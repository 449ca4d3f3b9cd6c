// The yield function over real pipes: why it returned (a ready pipe, a deadline reached or moved).
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "qira.h"

namespace {

volatile sig_atomic_t g_alarmed;

// Calls the yield function under a ten-second alarm, which ends a wait that
// nothing else would end (select() is not restarted after a signal).  True
// when the alarm had to.
bool Yield(void *const *runs, uint32_t count, uint16_t wait = 1) {
  struct sigaction sa {};
  sa.sa_handler = [](int) { g_alarmed = 1; };
  sigaction(SIGALRM, &sa, nullptr);
  g_alarmed = 0;
  alarm(10);
  TARVOYield_Lnx_SockOrTime(runs, count, wait);
  alarm(0);
  return g_alarmed;
}

struct Pipe {
  int fd[2] = {-1, -1};
  Pipe() { EXPECT_EQ(pipe(fd), 0); }
  ~Pipe() {
    for (int f : fd)
      if (f >= 0) close(f);
  }
};

// Each case watches a pipe that nothing writes to, with no time limit or one
// already passed, so any wait would be endless.
TEST(Yield, ReturnsWithoutWaitingWhenTold) {
  struct Case { const char *name; uint32_t count, mode, flags, flags2; uint16_t wait; bool nullrun; };
  const Case kCases[] = {
      {"count 0", 0, 0, 0, 0, 1, false},          {"null run", 2, 0, 0, 0, 1, true},
      {"unknown mode", 1, 3, 0, 0, 1, false},     {"no-wait flag", 1, 0, QIRA_YF_NOWAIT, 0, 1, false},
      {"wait flag 0", 1, 0, 0, 0, 0, false},      {"wait flag 2", 1, 0, 0, 0, 2, false},
      {"deadline passed", 1, 1, 0, 0, 1, false},  {"chained no-wait", 1, 0, QIRA_YF_MORE, QIRA_YF_NOWAIT, 1, false},
  };
  Pipe p;
  for (const Case &c : kCases) {
    QiraYieldRec run[2] = {{p.fd[0], c.mode, 0, TimeDate_mscounter() - 5, QIRA_YF_NOWRITE | c.flags},
                           {p.fd[0], 0, 0, 0, QIRA_YF_NOWRITE | c.flags2}};
    void *runs[2] = {run, c.nullrun ? nullptr : run};
    EXPECT_FALSE(Yield(runs, c.count, c.wait)) << c.name;
  }
}

// The copy/move record: the pipe's read end, no time limit, not for writing;
// the worker writes, or dies and so closes its end, after a while.  A host
// may hold more than 1024 descriptors, beyond what select() could watch.
TEST(Yield, ReadyDescriptorEndsTheWait) {
  for (int way : {0, 1, 2}) {
    const bool byclose = way == 1;
    Pipe p;
    struct rlimit rl;
    if (way == 2 && getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur <= 1500 && rl.rlim_max > 1500)
      rl.rlim_cur = 1501, setrlimit(RLIMIT_NOFILE, &rl);
    if (way == 2 && dup2(p.fd[0], 1500) != 1500) continue;
    if (way == 2) close(std::exchange(p.fd[0], 1500));
    std::thread writer([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      if (byclose) close(std::exchange(p.fd[1], -1));
      else EXPECT_EQ(write(p.fd[1], "x", 1), 1);
    });
    QiraYieldRec rec{p.fd[0], 0, 0, 0, QIRA_YF_NOWRITE};
    void *runs[] = {&rec};
    EXPECT_FALSE(Yield(runs, 1));
    pollfd ready{p.fd[0], POLLIN, 0};
    EXPECT_EQ(poll(&ready, 1, 0), 1) << byclose;  // it waited until then
    writer.join();
  }
}

TEST(Yield, NearestDeadlineOfAllRunsEndsTheWait) {
  Pipe p;
  const uint32_t now = TimeDate_mscounter();
  QiraYieldRec far{-1, 1, 0, now + 60000, 0};
  // A run of two: a descriptor record chained to a near deadline.
  QiraYieldRec near[2] = {{p.fd[0], 0, 0, 0, QIRA_YF_NOWRITE | QIRA_YF_MORE}, {-1, 1, 0, now + 200, 0}};
  void *runs[] = {&far, near};
  EXPECT_FALSE(Yield(runs, 2));
  EXPECT_GE(int32_t(TimeDate_mscounter() - (now + 200)), 0);
  EXPECT_EQ(near[1].deadline, now + 200);  // a plain deadline is not moved
}

// Moved forward in whole periods to the first value not before the call, even
// by a call that does not wait; one that waits sleeps until then.
TEST(Yield, PeriodicDeadlineMovesPastNow) {
  const uint32_t before = TimeDate_mscounter(), old = before - 1050;
  QiraYieldRec rec{-1, 2, 100, old, 0};
  void *runs[] = {&rec};
  EXPECT_FALSE(Yield(runs, 1, 0));
  EXPECT_EQ((rec.deadline - old) % 100, 0u);
  EXPECT_GE(int32_t(rec.deadline - before), 0);
  EXPECT_LT(int32_t(rec.deadline - 100 - TimeDate_mscounter()), 0);
  EXPECT_FALSE(Yield(runs, 1));
  EXPECT_GE(int32_t(TimeDate_mscounter() - rec.deadline), 0);
}

}  // namespace
