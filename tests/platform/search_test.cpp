// Directory search on real directories: what a listing delivers, how one bad
// entry stays its own failure, buffer growth, and refused starts.
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "platform/plattest.h"

namespace {

// Mirror of the private search record, to watch the path buffer grow.
struct SearchView {
  char *path;
  char *namepos;
  uint32_t namecap;
  uint32_t bufsize;
  DIR *dir;
};

struct Got {
  uint32_t err;
  std::string name;
  QiraEntryInfo rec;
};

// Reads the search to its end (or to a cap, against a search that never
// ends), freeing every record name; the last row is the end code.
std::vector<Got> Drain(QiraSearch *s, QiraMemGroup *g) {
  std::vector<Got> out;
  for (int i = 0; i < 1000; ++i) {
    QiraEntryInfo rec;
    memset(&rec, 0xA5, sizeof rec);
    uint32_t err = qira_platspec_search_getnext(s, g, &rec);
    Got got{err, {}, rec};
    if (err == QIRA_OK) {
      got.name = qt::U8(rec.name, rec.namelen);
      Mem_Free(rec.name);
    }
    out.push_back(got);
    if (err == QIRA_ERR_NOTFOUND) break;
  }
  return out;
}

std::vector<std::string> OkNames(const std::vector<Got> &rows) {
  std::vector<std::string> names;
  for (const Got &r : rows)
    if (r.err == QIRA_OK) names.push_back(r.name);
  std::sort(names.begin(), names.end());
  return names;
}

size_t CountErr(const std::vector<Got> &rows, uint32_t err) {
  return size_t(std::count_if(rows.begin(), rows.end(), [&](const Got &r) { return r.err == err; }));
}

TEST(PlatspecSearch, EmptyDirectoryEndsAtOnceAndStaysEnded) {
  qt::ScratchDir dir;
  pt::Group g;
  QiraSearch *s = nullptr;
  ASSERT_EQ(qira_platspec_search_start(dir.path().c_str(), g, &s), QIRA_OK);
  QiraEntryInfo rec;
  EXPECT_EQ(qira_platspec_search_getnext(s, g, &rec), QIRA_ERR_NOTFOUND);
  EXPECT_EQ(qira_platspec_search_getnext(s, g, &rec), QIRA_ERR_NOTFOUND);
  qira_platspec_search_term(s);
  EXPECT_TRUE(g.Empty());
}

TEST(PlatspecSearch, DeliversEveryEntryOnceWithItsRecord) {
  qt::ScratchDir dir;
  qt::WriteFile(dir / "five", "12345");
  qt::WriteFile(dir / ".profile", "");
  ASSERT_EQ(mkdir((dir / "sub").c_str(), 0755), 0);
  ASSERT_EQ(symlink("sub", (dir / "tosub").c_str()), 0);
  pt::Group g;
  QiraSearch *s = nullptr;
  ASSERT_EQ(qira_platspec_search_start(dir.path().c_str(), g, &s), QIRA_OK);
  std::vector<Got> rows = Drain(s, g);
  qira_platspec_search_term(s);
  ASSERT_EQ(rows.back().err, QIRA_ERR_NOTFOUND);
  rows.pop_back();
  std::map<std::string, QiraEntryInfo> byname;
  for (const Got &r : rows) {
    ASSERT_EQ(r.err, QIRA_OK) << r.name;
    EXPECT_TRUE(byname.emplace(r.name, r.rec).second) << "delivered twice: " << r.name;
  }
  ASSERT_EQ(OkNames(rows), (std::vector<std::string>{".profile", "five", "sub", "tosub"}));
  EXPECT_EQ(byname["five"].entrytype, QIRA_ENTRY_FILE);
  EXPECT_EQ(byname["five"].size.count, 1u);
  EXPECT_EQ(byname["five"].size.d[0], 5u);
  EXPECT_EQ(byname[".profile"].size.count, 0u);
  EXPECT_EQ(byname[".profile"].hidden, 0u);
  EXPECT_EQ(byname["sub"].entrytype, QIRA_ENTRY_DIRECTORY);
  EXPECT_EQ(byname["tosub"].entrytype, QIRA_ENTRY_DIRECTORY);  // links are followed
  EXPECT_TRUE(g.Empty());
}

TEST(PlatspecSearch, DanglingLinkFailsOnlyItsOwnCall) {
  qt::ScratchDir dir;
  qt::WriteFile(dir / "a", "x");
  qt::WriteFile(dir / "b", "y");
  ASSERT_EQ(symlink("nowhere", (dir / "dangling").c_str()), 0);
  pt::Group g;
  QiraSearch *s = nullptr;
  ASSERT_EQ(qira_platspec_search_start(dir.path().c_str(), g, &s), QIRA_OK);
  std::vector<Got> rows = Drain(s, g);
  qira_platspec_search_term(s);
  EXPECT_EQ(rows.back().err, QIRA_ERR_NOTFOUND);
  EXPECT_EQ(CountErr(rows, QIRA_ERR_NOENTRY), 1u);
  EXPECT_EQ(OkNames(rows), (std::vector<std::string>{"a", "b"}));
  EXPECT_TRUE(g.Empty());
}

TEST(PlatspecSearch, ListsFilesOverTwoGiB) {
  qt::ScratchDir dir;
  // A sparse file: 3 GiB of size, no blocks, beyond what 32-bit status calls take.
  int fd = open((dir / "big").c_str(), O_WRONLY | O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, off_t(3) << 30), 0);
  close(fd);
  pt::Group g;
  QiraSearch *s = nullptr;
  ASSERT_EQ(qira_platspec_search_start(dir.path().c_str(), g, &s), QIRA_OK);
  QiraEntryInfo rec;
  ASSERT_EQ(qira_platspec_search_getnext(s, g, &rec), QIRA_OK);
  Mem_Free(rec.name);
  qira_platspec_search_term(s);
  EXPECT_EQ(rec.size.count, 2u);
  EXPECT_EQ(rec.size.d[0], 0u);
  EXPECT_EQ(rec.size.d[1], 0xC000u);
  EXPECT_TRUE(g.Empty());
}

// readdir() stand-ins: the test sets what they see through these.
std::string g_victim;
struct dirent *ReaddirThenRemoveVictim(DIR *d) {
  struct dirent *e = readdir(d);
  if (e && g_victim.size() && g_victim.substr(g_victim.rfind('/') + 1) == e->d_name)
    unlink(g_victim.c_str());
  return e;
}

TEST(PlatspecSearch, EntryThatVanishesBeforeItsStatusFailsOnlyItsOwnCall) {
  qt::ScratchDir dir;
  qt::WriteFile(dir / "keep1", "");
  qt::WriteFile(dir / "victim", "");
  qt::WriteFile(dir / "keep2", "");
  pt::Group g;
  QiraSearch *s = nullptr;
  ASSERT_EQ(qira_platspec_search_start(dir.path().c_str(), g, &s), QIRA_OK);
  std::vector<Got> rows;
  {
    pt::CallsGuard guard;
    g_victim = dir / "victim";
    _x_calls.readdir = ReaddirThenRemoveVictim;
    rows = Drain(s, g);
    g_victim.clear();
  }
  qira_platspec_search_term(s);
  EXPECT_EQ(rows.back().err, QIRA_ERR_NOTFOUND);
  EXPECT_EQ(CountErr(rows, QIRA_ERR_NOENTRY), 1u);
  EXPECT_EQ(OkNames(rows), (std::vector<std::string>{"keep1", "keep2"}));
  EXPECT_FALSE(qt::Exists(dir / "victim"));
  EXPECT_TRUE(g.Empty());
}

// A scripted readdir: hands out the names queued here, then the end.  Names
// with "/" reach into subdirectories, which lets an entry name exceed the
// 255 bytes a real file system allows while its status stays real.
std::vector<std::string> g_script;
size_t g_next;
alignas(struct dirent) char g_entry[offsetof(struct dirent, d_name) + 1024];
struct dirent *ScriptedReaddir(DIR *) {
  if (g_next >= g_script.size()) return nullptr;
  auto *e = reinterpret_cast<struct dirent *>(g_entry);
  strcpy(e->d_name, g_script[g_next++].c_str());
  return e;
}

TEST(PlatspecSearch, LongNameGrowsTheBufferOnceAndShorterNamesReuseIt) {
  qt::ScratchDir dir;
  // A relative name of exactly 300 bytes: five 49-byte directories, each with
  // its "/", and a 50-byte file name.
  std::string rel;
  for (int i = 0; i < 5; ++i) {
    rel += std::string(49, char('a' + i));
    ASSERT_EQ(mkdir((dir / rel).c_str(), 0755), 0);
    rel += '/';
  }
  std::string leaf(50, 'z');
  rel += leaf;
  ASSERT_EQ(rel.size(), 300u);
  qt::WriteFile(dir / rel, "abc");
  qt::WriteFile(dir / "short", "");

  pt::Group g;
  QiraSearch *s = nullptr;
  ASSERT_EQ(qira_platspec_search_start(dir.path().c_str(), g, &s), QIRA_OK);
  auto *view = reinterpret_cast<SearchView *>(s);
  const uint32_t n = uint32_t(dir.path().size());
  EXPECT_EQ(view->namecap, 255u);
  EXPECT_EQ(view->bufsize, n + 257);

  pt::CallsGuard guard;
  _x_calls.readdir = ScriptedReaddir;
  g_script = {".", rel, "short", "..", rel};
  g_next = 0;
  struct Step {
    const char *what;
    std::string name;
    uint32_t cap, size;
  };
  const Step steps[] = {
      {"long name grows by 45", leaf, 300, n + 302},
      {"shorter name reuses", "short", 300, n + 302},
      {"same long name again", leaf, 300, n + 302},
  };
  for (const Step &st : steps) {
    SCOPED_TRACE(st.what);
    QiraEntryInfo rec;
    ASSERT_EQ(qira_platspec_search_getnext(s, g, &rec), QIRA_OK);
    EXPECT_EQ(qt::U8(rec.name, rec.namelen), st.name);
    Mem_Free(rec.name);
    EXPECT_EQ(view->namecap, st.cap);
    EXPECT_EQ(view->bufsize, st.size);
    EXPECT_EQ(std::string(view->path, n + 1), dir.path() + "/");
  }
  QiraEntryInfo rec;
  EXPECT_EQ(qira_platspec_search_getnext(s, g, &rec), QIRA_ERR_NOTFOUND);
  g_script.clear();
  qira_platspec_search_term(s);
  EXPECT_TRUE(g.Empty());
}

struct dirent *FailingReaddir(DIR *) {
  errno = EIO;
  return nullptr;
}

TEST(PlatspecSearch, FailingReadIsNotMistakenForTheEnd) {
  qt::ScratchDir dir;
  pt::Group g;
  QiraSearch *s = nullptr;
  ASSERT_EQ(qira_platspec_search_start(dir.path().c_str(), g, &s), QIRA_OK);
  {
    pt::CallsGuard guard;
    _x_calls.readdir = FailingReaddir;
    QiraEntryInfo rec;
    EXPECT_EQ(qira_platspec_search_getnext(s, g, &rec), QIRA_ERR_SYSTEM | EIO);
  }
  qira_platspec_search_term(s);
  EXPECT_TRUE(g.Empty());
}

TEST(PlatspecSearch, RefusedStartsLeaveNothingAllocated) {
  qt::ScratchDir dir;
  qt::WriteFile(dir / "file", "");
  struct Case {
    const char *what;
    std::string name;
    uint32_t err;
  };
  const Case cases[] = {
      {"missing", dir / "missing", QIRA_ERR_NOENTRY},
      {"not a directory", dir / "file", QIRA_ERR_NOENTRY},
      {"component not a directory", dir / "file/x", QIRA_ERR_NOENTRY},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    pt::Group g;
    QiraSearch *s = reinterpret_cast<QiraSearch *>(0x1);
    EXPECT_EQ(qira_platspec_search_start(c.name.c_str(), g, &s), c.err);
    EXPECT_EQ(s, reinterpret_cast<QiraSearch *>(0x1));  // nothing stored
    EXPECT_TRUE(g.Empty());
  }
}

TEST(PlatspecSearch, UnreadableDirectoryGivesAccessDenied) {
  qt::ScratchDir dir;
  // Others may pass through the scratch directory but not read "locked".
  ASSERT_EQ(chmod(dir.path().c_str(), 0711), 0);
  std::string locked = dir / "locked";
  ASSERT_EQ(mkdir(locked.c_str(), 0700), 0);
  if (geteuid() != 0) {
    ASSERT_EQ(chmod(locked.c_str(), 0300), 0);
  }
  int got = pt::AsNobody([&] {
    QiraMemGroup *g = nullptr;
    if (Mem_GroupGet(nullptr, QIRA_GROUP_HEAP, 0, &g) != QIRA_OK) return 254;
    QiraSearch *s = nullptr;
    uint32_t err = qira_platspec_search_start(locked.c_str(), g, &s);
    bool empty = g->list.next == &g->list;
    Mem_GroupFree(g);
    return empty ? int(err) : 253;
  });
  EXPECT_EQ(got, int(QIRA_ERR_ACCESS));
}

}  // namespace
