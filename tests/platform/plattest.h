// Helpers for the platform tests: a heap group that knows whether anything is
// still allocated, locale and call-table guards, and a way to run a check as
// an unprivileged user (root passes every permission check).
#pragma once

#include <gtest/gtest.h>
#include <grp.h>
#include <locale.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/qirafnl.h"
#include "testutil/testutil.h"

namespace pt {

// A heap group of its own per test; Empty() tells whether every block handed
// out has been released.
class Group {
 public:
  Group() { EXPECT_EQ(Mem_GroupGet(nullptr, QIRA_GROUP_HEAP, 0, &g_), QIRA_OK); }
  ~Group() {
    if (g_) Mem_GroupFree(g_);
  }
  Group(const Group &) = delete;
  Group &operator=(const Group &) = delete;
  QiraMemGroup *get() const { return g_; }
  operator QiraMemGroup *() const { return g_; }
  bool Empty() const { return g_->list.next == &g_->list; }

 private:
  QiraMemGroup *g_ = nullptr;
};

// Switches the character-type category (and everything else) to a locale and
// restores the previous one.
class LocaleGuard {
 public:
  explicit LocaleGuard(const char *name) {
    const char *old = setlocale(LC_ALL, nullptr);
    old_ = old ? old : "C";
    ok_ = setlocale(LC_ALL, name) != nullptr;
  }
  ~LocaleGuard() { setlocale(LC_ALL, old_.c_str()); }
  bool ok() const { return ok_; }

 private:
  std::string old_;
  bool ok_;
};

// Installs a changed copy of the platform call table and puts the previous
// table back when it goes away.
class CallsGuard {
 public:
  CallsGuard() { _x_swapcalls(&_x_calls, &saved_); }
  ~CallsGuard() { _x_swapcalls(&saved_, nullptr); }
  CallsGuard(const CallsGuard &) = delete;
  CallsGuard &operator=(const CallsGuard &) = delete;
  const QiraPlatCalls &saved() const { return saved_; }

 private:
  QiraPlatCalls saved_;
};

// The user and group id permission tests drop to.
inline constexpr uid_t kNobody = 65534;

// Runs body in a forked child that has given up root (real and effective
// ids), and returns the child's exit status: body's result, or 255 when the
// drop failed or the child did not end normally.  The body must not use
// gtest assertions; it reports through its result only.
template <typename F>
int AsNobody(F body) {
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 ||
                           setuid(kNobody) != 0))
      _exit(255);
    _exit(body() & 0xFF);
  }
  if (pid < 0) return 255;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return 255;
  return WEXITSTATUS(status);
}

// 16-bit digits, least significant first, of a number written in decimal:
// an oracle for date values independent of the module's arithmetic.
inline std::vector<uint16_t> DigitsOfDecimal(const char *dec) {
  std::vector<uint16_t> d;
  for (const char *p = dec; *p; ++p) {
    uint32_t carry = uint32_t(*p - '0');
    for (uint16_t &x : d) {
      uint32_t v = uint32_t(x) * 10 + carry;
      x = uint16_t(v);
      carry = v >> 16;
    }
    if (carry) d.push_back(uint16_t(carry));
  }
  return d;
}

// The date value of a file time, computed in 64 bits (valid while it fits).
inline std::vector<uint16_t> DigitsOfTime(int64_t t) {
  uint64_t us = (uint64_t(t) + 62135596800ull) * 1000000ull;
  std::vector<uint16_t> d;
  for (; us; us >>= 16) d.push_back(uint16_t(us));
  return d;
}

inline std::vector<uint16_t> Digits(const uint16_t *d, uint32_t n) {
  return std::vector<uint16_t>(d, d + n);
}

}  // namespace pt
