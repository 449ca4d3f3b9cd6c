// Directory search on real directories: what a listing delivers, buffer
// growth, and entries that vanish or fail on their own.
#include <fcntl.h>
#include <sys/stat.h>

#include <cstddef>
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

// Mirror of the private search record, to watch the path buffer grow.
struct SearchView { char *path, *namepos; uint32_t namecap, bufsize; DIR *dir; };

// A scripted readdir: the queued names, then EIO.  Names with "/" reach into
// subdirectories, so an entry name can exceed the 255 bytes of a real file system.
std::vector<std::string> g_script;
size_t g_next;
alignas(struct dirent) char g_entry[offsetof(struct dirent, d_name) + 1024];
struct dirent *ScriptedReaddir(DIR *) {
  if (g_next >= g_script.size()) return errno = EIO, nullptr;
  auto *e = reinterpret_cast<struct dirent *>(g_entry);
  strcpy(e->d_name, g_script[g_next++].c_str());
  return e;
}

// A name of 300 bytes grows the buffer once, in the search's own group; a name
// gone by the time of its status is passed over; a failing read is no end.
TEST_F(Search, LongNameGrowsTheBufferOnceAndAFailingReadIsNoEnd) {
  std::string rel;  // five 49-byte directories, each with its "/", and a 50-byte name
  for (char c = 'a'; c < 'f'; ++c) {
    rel += std::string(49, c);
    ASSERT_EQ(mkdir(P(rel).c_str(), 0755), 0);
    rel += '/';
  }
  const std::string leaf(50, 'z');
  qt::WriteFile(P(rel += leaf), "abc");
  qt::WriteFile(P("short"), "");
  pt::Group own;
  QiraSearch *s = nullptr;
  ASSERT_EQ(qira_platspec_search_start(dir_.path().c_str(), own, &s), QIRA_OK);
  const auto *view = reinterpret_cast<SearchView *>(s);
  const uint32_t n = uint32_t(dir_.path().size());
  EXPECT_EQ(view->bufsize, n + 257);
  pt::CallsGuard guard;
  _x_calls.readdir = ScriptedReaddir;
  g_script = {".", rel, "vanished", "short", "..", rel};
  g_next = 0;
  QiraEntryInfo rec;
  for (const std::string &want : {leaf, std::string("short"), leaf}) {
    ASSERT_EQ(qira_platspec_search_getnext(s, group_, &rec), QIRA_OK);
    EXPECT_EQ(qt::U8(rec.name, rec.namelen), want);
    Mem_Free(rec.name);
    EXPECT_EQ(view->bufsize, n + 302) << want;
    EXPECT_EQ(std::string(view->path, n + 1), dir_.path() + "/");
  }
  EXPECT_EQ(qira_platspec_search_getnext(s, group_, &rec), QIRA_ERR_SYSTEM | EIO);
  qira_platspec_search_term(s);
  EXPECT_TRUE(own.Empty()) << "the search left a block in its group";
}

}  // namespace
