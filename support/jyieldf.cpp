// The yield function the host sleeps in: one poll() over every descriptor
// named in the yield records it is given, bounded by their nearest deadline.
// Each record keeps select()'s meaning (readable, writable, exceptional
// condition), but any descriptor number works, and nothing is allocated.
#include "qira.h"

#include <poll.h>

namespace {

constexpr uint32_t kModeNone = 0;
constexpr uint32_t kModeDeadline = 1;
constexpr uint32_t kModePeriodic = 2;
// Descriptors watched at once, on the stack.  Beyond them the wait falls back
// to short sleeps: the host comes back soon and its blocks look for
// themselves.
constexpr int kMaxWatched = 64;
constexpr int32_t kCrowdedSleepMs = 10;

struct Wait {
  struct pollfd fds[kMaxWatched];
  bool onlyexceptional[kMaxWatched];  // the record asked for neither reading nor writing
  int count = 0;
  bool crowded = false;  // more descriptors than fit
  bool goon = true;
  bool haslimit = false;
  int32_t limit = -1;  // ms, never below 0 once set
};

void watch(Wait &w, const QiraYieldRec &r) {
  if (r.fd < 0) return;
  if (w.count == kMaxWatched) {
    w.crowded = true;
    return;
  }
  short events = POLLPRI;
  if (!(r.flags & QIRA_YF_NOREAD)) events |= POLLIN;
  if (!(r.flags & QIRA_YF_NOWRITE)) events |= POLLOUT;
  w.onlyexceptional[w.count] = events == POLLPRI;
  w.fds[w.count++] = pollfd{.fd = r.fd, .events = events, .revents = 0};
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
  for (uint32_t i = 0; i < count && w.goon; ++i) {
    if (!runs[i]) {
      w.goon = false;
      break;
    }
    takerun(w, static_cast<QiraYieldRec *>(runs[i]));
  }
  // Deadlines have been moved forward by now, even for a call that returns.
  if (wait != 1 || !w.goon || (w.haslimit && w.limit == 0)) return;
  if (w.crowded && (!w.haslimit || w.limit > kCrowdedSleepMs)) {
    w.haslimit = true;
    w.limit = kCrowdedSleepMs;
  }
  const uint32_t start = TimeDate_mscounter();
  for (;;) {
    int32_t timeout = -1;
    if (w.haslimit) {
      const int32_t spent = int32_t(TimeDate_mscounter() - start);
      timeout = spent >= w.limit ? 0 : w.limit - spent;
    }
    // Whatever poll() reports, the caller learns on its next look whether
    // the work is done; a signal or an error simply ends the wait.
    if (poll(w.fds, nfds_t(w.count), timeout) <= 0) return;
    // A hang-up or error is always reported, but select() would not count it
    // for a record that asked only for exceptional conditions: such a
    // descriptor is dropped and the wait goes on, rather than spinning.
    bool other = false, dropped = false;
    for (int i = 0; i < w.count; ++i) {
      const short rev = w.fds[i].revents;
      if (!rev) continue;
      if (w.onlyexceptional[i] && !(rev & (POLLPRI | POLLNVAL))) {
        w.fds[i].fd = -1;
        dropped = true;
      } else {
        other = true;
      }
    }
    if (other || !dropped || timeout == 0) return;
  }
}
