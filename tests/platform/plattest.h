// Helpers for the platform tests.  Root passes every permission check, so
// permission cases run through qt::AsUnprivileged.
#pragma once

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "platform/qirafnl.h"
#include "testutil/testutil.h"

namespace pt {

struct Group {
  QiraMemGroup *g = nullptr;
  Group() { EXPECT_EQ(Mem_GroupGet(nullptr, QIRA_GROUP_HEAP, 0, &g), QIRA_OK); }
  ~Group() { Mem_GroupFree(g); }
  Group(const Group &) = delete;
  operator QiraMemGroup *() const { return g; }
  bool Empty() const { return g->list.next == &g->list; }
};

// Members of _x_calls may be changed while it lives; the previous table comes back.
struct CallsGuard {
  QiraPlatCalls saved;
  CallsGuard() { _x_swapcalls(&_x_calls, &saved); }
  ~CallsGuard() { _x_swapcalls(&saved, nullptr); }
  CallsGuard(const CallsGuard &) = delete;
};

// 16-bit digits, least significant first, of a decimal number: a date value oracle.
inline std::vector<uint16_t> DigitsOfDecimal(const char *dec) {
  std::vector<uint16_t> d;
  for (const char *p = dec; *p; ++p) {
    uint32_t carry = uint32_t(*p - '0');
    for (uint16_t &x : d) {
      const uint32_t v = uint32_t(x) * 10 + carry;
      x = uint16_t(v), carry = v >> 16;
    }
    if (carry) d.push_back(uint16_t(carry));
  }
  return d;
}

// The date value of a file time, in 64 bits (valid while it fits).
inline std::vector<uint16_t> DigitsOfTime(int64_t t) {
  std::vector<uint16_t> d;
  for (uint64_t us = (uint64_t(t) + 62135596800ull) * 1000000ull; us; us >>= 16)
    d.push_back(uint16_t(us));
  return d;
}

inline std::vector<uint16_t> Digits(const uint16_t *d, uint32_t n) { return {d, d + n}; }

using qt::SetTimes;

// Polls a worker to its end, sleeping in the module's yield function on the
// record it filled in; a second record bounds every sleep, and 20 s the whole.
inline uint32_t Finish(QiraWorker *w) {
  QiraYieldRec recs[2];
  QiraResult res{};
  if (qira_platspec_setyielddata(w, &recs[0], sizeof(QiraYieldRec), &res) != 1)
    return QIRA_BLOCK_WAIT;
  recs[0].flags |= QIRA_YF_MORE;
  void *runs[1] = {recs};
  const uint32_t start = TimeDate_mscounter();
  for (;;) {
    const uint32_t r = qira_platspec_copymove_getresult(w);
    if (r != QIRA_BLOCK_WAIT || TimeDate_mscounter() - start > 20000) return r;
    recs[1] = QiraYieldRec{.fd = -1, .mode = 1, .period = 0,
                           .deadline = TimeDate_mscounter() + 200, .flags = 0};
    TARVOYield_Lnx_SockOrTime(runs, 1, 1);
  }
}

// Every name in a folder but "." and "..".
inline std::set<std::string> Names(const std::string &dir) {
  std::set<std::string> names;
  DIR *d = opendir(dir.c_str());
  while (dirent *e = d ? readdir(d) : nullptr)
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.insert(e->d_name);
  if (d) closedir(d);
  return names;
}

// A scratch tree, a UTF-8 locale, and a group that must be empty again at the end.
class Plat : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(locale_.ok()) << "C.UTF-8 locale missing"; }
  void TearDown() override { EXPECT_TRUE(group_.Empty()) << "a block was not released"; }
  std::string P(const std::string &name) const { return dir_ / name; }
  void Fresh() {
    qt::RemoveTree(dir_.path());
    ASSERT_EQ(mkdir(dir_.path().c_str(), 0700), 0);
  }
  static struct stat Stat(const std::string &path) { return qt::StatOf(path); }

  qt::LocaleGuard locale_{"C.UTF-8"};
  qt::ScratchDir dir_;
  Group group_;
};

}  // namespace pt
