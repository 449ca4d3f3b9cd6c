// The yield function over real pipes and the millisecond clock.  The tests
// check why it returned (a readable pipe, a deadline reached, a deadline
// moved), never how long it slept.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "qira.h"

namespace {

bool Readable(int fd) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, 0) == 1;
}

// A pipe, and a helper thread that makes it readable (by writing or by
// closing the write end) after a delay unless told to stand down.  Cases
// that must not wait at all use a long delay: the pipe still being empty on
// return shows the call did not wait for it.
class Pipe {
 public:
  Pipe() { EXPECT_EQ(pipe(fd_), 0); }
  ~Pipe() {
    Stop();
    close(fd_[0]);
    if (fd_[1] >= 0) close(fd_[1]);
  }
  int readfd() const { return fd_[0]; }
  int writefd() const { return fd_[1]; }
  void WakeAfter(int ms, bool byclose) {
    helper_ = std::thread([this, ms, byclose] {
      for (int i = 0; i < ms && !stop_; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      if (stop_) return;
      if (byclose) {
        close(fd_[1]);
        fd_[1] = -1;
      } else {
        EXPECT_EQ(write(fd_[1], "x", 1), 1);
      }
    });
  }
  void Stop() {
    stop_ = true;
    if (helper_.joinable()) helper_.join();
  }

 private:
  int fd_[2] = {-1, -1};
  std::thread helper_;
  std::atomic<bool> stop_{false};
};

QiraYieldRec Rec(int32_t fd, uint32_t mode, uint32_t period, uint32_t deadline, uint32_t flags) {
  return QiraYieldRec{fd, mode, period, deadline, flags};
}

constexpr int kGuardMs = 20000;  // only reached when a call waits wrongly

TEST(Yield, ReturnsWithoutWaitingWhenTold) {
  struct Case { const char *name; uint32_t mode, flags, flags2; uint16_t wait; bool nullrun; uint32_t count; };
  const Case kCases[] = {
      {"count 0", 0, QIRA_YF_NOWRITE, 0, 1, false, 0},
      {"null run", 0, QIRA_YF_NOWRITE, 0, 1, true, 2},
      {"unknown mode", 3, QIRA_YF_NOWRITE, 0, 1, false, 1},
      {"no-wait flag", 0, QIRA_YF_NOWRITE | QIRA_YF_NOWAIT, 0, 1, false, 1},
      {"no-wait on a chained record", 0, QIRA_YF_NOWRITE | QIRA_YF_MORE,
       QIRA_YF_NOWRITE | QIRA_YF_NOWAIT, 1, false, 1},
      {"wait flag 0", 0, QIRA_YF_NOWRITE, 0, 0, false, 1},
      {"wait flag 2", 0, QIRA_YF_NOWRITE, 0, 2, false, 1},
  };
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.name);
    Pipe p;
    p.WakeAfter(kGuardMs, false);
    QiraYieldRec run[2] = {Rec(p.readfd(), c.mode, 0, 0, c.flags),
                           Rec(p.readfd(), 0, 0, 0, c.flags2)};
    void *runs[2] = {run, run};
    if (c.nullrun) runs[1] = nullptr;
    TARVOYield_Lnx_SockOrTime(runs, c.count, c.wait);
    EXPECT_FALSE(Readable(p.readfd()));
  }
}

TEST(Yield, CopyMoveRecordWaitsForThePipe) {
  for (bool byclose : {false, true}) {
    SCOPED_TRACE(byclose ? "writer closes" : "writer writes");
    Pipe p;
    p.WakeAfter(50, byclose);
    QiraYieldRec rec = Rec(p.readfd(), 0, 0, 0, QIRA_YF_NOWRITE);
    void *runs[] = {&rec};
    TARVOYield_Lnx_SockOrTime(runs, 1, 1);
    EXPECT_TRUE(Readable(p.readfd()));
  }
}

TEST(Yield, DeadlineEndsTheWait) {
  Pipe p;  // never written
  const uint32_t deadline = TimeDate_mscounter() + 250;
  QiraYieldRec rec = Rec(p.readfd(), 1, 0, deadline, QIRA_YF_NOWRITE);
  void *runs[] = {&rec};
  TARVOYield_Lnx_SockOrTime(runs, 1, 1);
  EXPECT_GE(int32_t(TimeDate_mscounter() - deadline), 0);
  EXPECT_EQ(rec.deadline, deadline);  // a plain deadline is not moved
}

TEST(Yield, PassedDeadlineReturnsAtOnce) {
  Pipe p;
  p.WakeAfter(kGuardMs, false);
  QiraYieldRec rec = Rec(p.readfd(), 1, 0, TimeDate_mscounter() - 5, QIRA_YF_NOWRITE);
  void *runs[] = {&rec};
  TARVOYield_Lnx_SockOrTime(runs, 1, 1);
  EXPECT_FALSE(Readable(p.readfd()));
}

TEST(Yield, PeriodicDeadlineMovesPastNow) {
  // Without waiting: moved forward in whole periods to the first value not
  // before the call.
  const uint32_t before = TimeDate_mscounter();
  const uint32_t old = before - 1050;
  QiraYieldRec rec = Rec(-1, 2, 100, old, 0);
  void *runs[] = {&rec};
  TARVOYield_Lnx_SockOrTime(runs, 1, 0);
  const uint32_t after = TimeDate_mscounter();
  EXPECT_EQ((rec.deadline - old) % 100, 0u);
  EXPECT_GE(int32_t(rec.deadline - before), 0);
  EXPECT_LT(int32_t(rec.deadline - 100 - after), 0);
  if (int32_t(after - before) < 50) {
    EXPECT_EQ(rec.deadline, old + 1100);
  }
  // Waiting: the call sleeps until the moved deadline.
  TARVOYield_Lnx_SockOrTime(runs, 1, 1);
  EXPECT_GE(int32_t(TimeDate_mscounter() - rec.deadline), 0);
}

TEST(Yield, NearestDeadlineOfAllRunsWins) {
  Pipe p;
  const uint32_t now = TimeDate_mscounter();
  QiraYieldRec far = Rec(-1, 1, 0, now + 60000, 0);
  // A run of two: a descriptor record chained to a near deadline.
  QiraYieldRec near[2] = {Rec(p.readfd(), 0, 0, 0, QIRA_YF_NOWRITE | QIRA_YF_MORE),
                          Rec(-1, 1, 0, now + 200, 0)};
  void *runs[] = {&far, near};
  TARVOYield_Lnx_SockOrTime(runs, 2, 1);
  const uint32_t back = TimeDate_mscounter();
  EXPECT_GE(int32_t(back - (now + 200)), 0);
  EXPECT_LT(int32_t(back - (now + 60000)), 0);
}

TEST(Yield, WritableDescriptorEndsTheWait) {
  Pipe p;
  const uint32_t guard = TimeDate_mscounter() + kGuardMs;
  // Watch the write end for writing only: an empty pipe is writable at once.
  QiraYieldRec rec[2] = {Rec(p.writefd(), 0, 0, 0, QIRA_YF_NOREAD | QIRA_YF_MORE),
                         Rec(-1, 1, 0, guard, 0)};
  void *runs[] = {rec};
  TARVOYield_Lnx_SockOrTime(runs, 1, 1);
  EXPECT_LT(int32_t(TimeDate_mscounter() - guard), 0);
}

}  // namespace
