// The yield function the host sleeps in: one select() over every descriptor
// named in the yield records it is given, bounded by their nearest deadline.
#include "qira.h"

#include <sys/select.h>

namespace {

constexpr uint32_t kModeNone = 0;
constexpr uint32_t kModeDeadline = 1;
constexpr uint32_t kModePeriodic = 2;

struct Wait {
  fd_set rd, wr, ex;
  int maxfd = 0;
  bool goon = true;
  bool haslimit = false;
  int32_t limit = -1;  // ms, never below 0 once set
};

void watch(Wait &w, const QiraYieldRec &r) {
  // fd_set holds descriptors below FD_SETSIZE only; anything else is ignored
  // rather than written past the set.
  if (r.fd < 0 || r.fd >= FD_SETSIZE) return;
  if (!(r.flags & QIRA_YF_NOREAD)) FD_SET(r.fd, &w.rd);
  if (!(r.flags & QIRA_YF_NOWRITE)) FD_SET(r.fd, &w.wr);
  FD_SET(r.fd, &w.ex);
  if (r.fd > w.maxfd) w.maxfd = r.fd;
}

// Milliseconds left on the record's clock, signed: negative once passed.
// Periodic deadlines are moved forward (and written back) past now first.
bool remaining(QiraYieldRec &r, int32_t *left) {
  switch (r.mode) {
    case kModeNone:
      return false;
    case kModeDeadline:
      *left = int32_t(r.deadline - TimeDate_mscounter());
      return true;
    case kModePeriodic: {
      const uint32_t now = TimeDate_mscounter();
      // A period of 0 could never catch up; leave such a deadline where it is.
      while (r.period != 0 && int32_t(r.deadline - now) < 0) r.deadline += r.period;
      *left = int32_t(r.deadline - now);
      return true;
    }
    default:
      return false;
  }
}

void takerecord(Wait &w, QiraYieldRec &r) {
  if (r.fd != -1) watch(w, r);
  int32_t left;
  if (!remaining(r, &left)) {
    if (r.mode > kModePeriodic) w.goon = false;
    return;
  }
  if (!w.haslimit || left < 0 || w.limit > left) {
    w.limit = left < 0 ? 0 : left;
    w.haslimit = true;
  }
}

void takerun(Wait &w, QiraYieldRec *r) {
  for (;; ++r) {
    if (r->flags & QIRA_YF_NOWAIT) {
      w.goon = false;
      return;
    }
    takerecord(w, *r);
    if (!w.goon || !(r->flags & QIRA_YF_MORE)) return;
  }
}

}  // namespace

extern "C" QIRA_API void TARVOYield_Lnx_SockOrTime(void *const *runs, uint32_t count,
                                                   uint16_t wait) {
  if (count == 0 || !runs) return;
  Wait w;
  FD_ZERO(&w.rd);
  FD_ZERO(&w.wr);
  FD_ZERO(&w.ex);
  for (uint32_t i = 0; i < count && w.goon; ++i) {
    if (!runs[i]) {
      w.goon = false;
      break;
    }
    takerun(w, static_cast<QiraYieldRec *>(runs[i]));
  }
  // Deadlines have been moved forward by now, even for a call that returns.
  if (wait != 1 || !w.goon || (w.haslimit && w.limit == 0)) return;
  timeval tv;
  timeval *timeout = nullptr;
  if (w.haslimit) {
    tv.tv_sec = w.limit / 1000;
    tv.tv_usec = (w.limit % 1000) * 1000;
    timeout = &tv;
  }
  // Whatever select() reports, the caller learns on its next look whether the
  // work is done; a signal or an error simply ends the wait.
  (void)select(w.maxfd + 1, &w.rd, &w.wr, &w.ex, timeout);
}
