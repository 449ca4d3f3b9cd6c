// Directory search on real directories: what it delivers, and entries that vanish or fail alone.
#include <fcntl.h>
#include <sys/stat.h>

#include <cstring>
#include <map>

#include "platform/plattest.h"

namespace {

class Search : public pt::Plat {
 protected:
  // Lists the scratch directory to its end, the records by name; no call may
  // fail, and after the end the search must stay ended.
  std::map<std::string, QiraEntryInfo> List() {
    QiraSearch *s = nullptr;
    EXPECT_EQ(qira_platspec_search_start(dir_.path().c_str(), group_, &s), QIRA_OK);
    std::map<std::string, QiraEntryInfo> got;
    QiraEntryInfo rec;
    if (!s) return got;
    for (int i = 0; i < 100; ++i) {
      const uint32_t err = qira_platspec_search_getnext(s, group_, &rec);
      if (err == QIRA_ERR_NOTFOUND) break;
      EXPECT_EQ(err, QIRA_OK);
      if (err) continue;
      EXPECT_TRUE(got.emplace(qt::U8(rec.name, rec.namelen), rec).second) << "delivered twice";
      Mem_Free(rec.name);
    }
    EXPECT_EQ(qira_platspec_search_getnext(s, group_, &rec), QIRA_ERR_NOTFOUND);
    qira_platspec_search_term(s);
    return got;
  }
};

// Links that cannot be followed (missing target, a loop) are described by
// the link itself: a file of the link's own size and dates.
TEST_F(Search, EveryEntryOnceAndLinksThatCannotBeFollowedAreThemselves) {
  EXPECT_TRUE(List().empty()) << "an empty directory ends at once";
  qt::WriteFile(P("five"), "12345");
  qt::WriteFile(P(".profile"), "");
  ASSERT_EQ(mkdir(P("sub").c_str(), 0755), 0);
  ASSERT_EQ(symlink("sub", P("tosub").c_str()), 0);
  ASSERT_EQ(symlink("nowhere", P("dangling").c_str()), 0);
  ASSERT_EQ(symlink("loop", P("loop").c_str()), 0);
  struct timespec old[2] = {{-315619200, 0}, {-315619200, 0}};  // 1960, as the link's own
  ASSERT_EQ(utimensat(AT_FDCWD, P("dangling").c_str(), old, AT_SYMLINK_NOFOLLOW), 0);
  std::map<std::string, QiraEntryInfo> got = List();
  ASSERT_EQ(got.size(), 6u);
  EXPECT_EQ(pt::Digits(got["five"].size.d, got["five"].size.count), std::vector<uint16_t>{5});
  for (const char *f : {"five", ".profile", "dangling", "loop"})
    EXPECT_EQ(got[f].entrytype, QIRA_ENTRY_FILE) << f;
  EXPECT_EQ(got["sub"].entrytype, QIRA_ENTRY_DIRECTORY);
  EXPECT_EQ(got["tosub"].entrytype, QIRA_ENTRY_DIRECTORY);  // links are followed
  EXPECT_EQ(pt::Digits(got["dangling"].size.d, got["dangling"].size.count),
            std::vector<uint16_t>{7});  // "nowhere"
  EXPECT_EQ(pt::Digits(got["dangling"].lastchanged.d, got["dangling"].lastchanged.count),
            pt::DigitsOfTime(-315619200));
}

// A name gone by the time of its status is passed over; a failing read is an
// error, not the end of the listing.
TEST_F(Search, VanishedEntryIsPassedOverAndAFailingReadIsNoEnd) {
  static std::vector<std::string> script;
  static dirent entry;
  script = {"..", "vanished", "short", "."};
  qt::WriteFile(P("short"), "");
  QiraSearch *s = nullptr;
  ASSERT_EQ(qira_platspec_search_start(dir_.path().c_str(), group_, &s), QIRA_OK);
  pt::CallsGuard guard;
  _x_calls.readdir = [](DIR *) -> dirent * {
    if (script.empty()) return errno = EIO, nullptr;
    strcpy(entry.d_name, script.back().c_str());
    script.pop_back();
    return &entry;
  };
  QiraEntryInfo rec;
  ASSERT_EQ(qira_platspec_search_getnext(s, group_, &rec), QIRA_OK);
  EXPECT_EQ(qt::U8(rec.name, rec.namelen), "short");
  Mem_Free(rec.name);
  EXPECT_EQ(qira_platspec_search_getnext(s, group_, &rec), QIRA_ERR_SYSTEM | EIO);
  qira_platspec_search_term(s);
}

}  // namespace
