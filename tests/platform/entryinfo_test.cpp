// Records of real entries and the single-step file operations with their codes, also as a user
// without root's rights.
#include <sys/stat.h>

#include <cstring>

#include "platform/plattest.h"

namespace {

using qt::U16;
using D = std::vector<uint16_t>;

using Entries = pt::Plat;

TEST_F(Entries, Records) {
  const std::pair<const char *, std::string> files[] = {
      {"file", "hello"}, {"empty", ""}, {".profile", "x"}, {"sparse", ""}};
  for (const auto &[name, content] : files) qt::WriteFile(P(name), content);
  ASSERT_EQ(truncate(P("sparse").c_str(), off_t(3) << 30), 0);
  for (const auto &[name, content] : files) pt::SetTimes(P(name), 1000000000, 2000000000);
  ASSERT_EQ(mkdir(P("dir").c_str(), 0755), 0);
  ASSERT_EQ(symlink(P("dir").c_str(), P("dirlink").c_str()), 0);
  ASSERT_EQ(symlink(P("nowhere").c_str(), P("dangling").c_str()), 0);
  pt::SetTimes(P("dir"), 1500000000, 1600000000);
  qt::WriteFile(P("old"), "");
  pt::SetTimes(P("old"), -315619200, -1);  // 1960 and a second before 1970
  const int64_t a = 1000000000, m = 2000000000;
  const struct { const char *name; uint32_t err, type; D size; int64_t atime, mtime; } cases[] = {
      {"file", QIRA_OK, QIRA_ENTRY_FILE, {5}, a, m},
      {"empty", QIRA_OK, QIRA_ENTRY_FILE, {}, a, m},
      {".profile", QIRA_OK, QIRA_ENTRY_FILE, {1}, a, m},  // not hidden
      // 3 GiB without the disk space; the large-file interface on i386.
      {"sparse", QIRA_OK, QIRA_ENTRY_FILE, {0, 0xC000}, a, m},
      // A link counts as what it points to, with that entry's dates.
      {"dirlink", QIRA_OK, QIRA_ENTRY_DIRECTORY, {}, 1500000000, 1600000000},
      {"old", QIRA_OK, QIRA_ENTRY_FILE, {}, -315619200, -1},  // read exactly
      {"dangling", QIRA_ERR_NOENTRY, 0, {}, 0, 0},
      {"file/x", QIRA_ERR_NOENTRY, 0, {}, 0, 0},  // ENOTDIR
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    QiraEntryInfo rec, before;
    memset(&rec, 0xA5, sizeof rec);
    before = rec;
    ASSERT_EQ(qira_platspec_getentryinfo(P(c.name).c_str(), group_, &rec), c.err);
    if (c.err) {
      EXPECT_EQ(memcmp(&rec, &before, sizeof rec), 0) << "record touched on failure";
      continue;
    }
    EXPECT_EQ(qira_platspec_getentryinfo(P(c.name).c_str(), group_, nullptr), QIRA_OK);
    EXPECT_EQ(qt::U8(rec.name, rec.namelen), c.name);
    Mem_Free(rec.name);
    EXPECT_EQ(rec.readonly + rec.hidden + rec.system + rec.created.count, 0u);
    EXPECT_EQ(rec.entrytype, c.type);
    EXPECT_EQ(pt::Digits(rec.lastaccessed.d, rec.lastaccessed.count), pt::DigitsOfTime(c.atime));
    EXPECT_EQ(pt::Digits(rec.lastchanged.d, rec.lastchanged.count), pt::DigitsOfTime(c.mtime));
    if (c.type == QIRA_ENTRY_FILE) {
      EXPECT_EQ(pt::Digits(rec.size.d, rec.size.count), c.size);
    }
  }
}

// The single-step operations as a script: a braced list runs its calls in order.
TEST_F(Entries, FileOperations) {
  const std::string file = P("file");
  const char *f = file.c_str();
  qt::WriteFile(file, "data");
  ASSERT_EQ(chmod(f, 0644), 0);
  pt::SetTimes(file, 1000000000, 1100000000);
  ASSERT_EQ(mkdir(P("full").c_str(), 0755), 0);
  qt::WriteFile(P("full/x"), "");
  using Op = uint32_t (*)(const uint16_t *, uint32_t, QiraMemGroup *);
  const Op mk = [](const uint16_t *u, uint32_t n, QiraMemGroup *g) {
    return qira_platspec_createdirectory(u, n, g, nullptr);
  };
  const Op rd = qira_platspec_deletedirectory, rm = qira_platspec_deletefile;
  auto on = [&](Op op, const char *name) {
    std::u16string u = U16(P(name));
    return op(qt::P(u), uint32_t(u.size()), group_);
  };
  auto ren = [&](const char *from, const char *to) {
    std::u16string u = U16(P(to));
    return qira_platspec_rename(P(from).c_str(), qt::P(u), uint32_t(u.size()), nullptr, group_);
  };
  const D t2100 = pt::DigitsOfTime(4102444800), t1200 = pt::DigitsOfTime(1200000000),
          early = pt::DigitsOfDecimal("62135596799999999"), none;
  auto dates = [&](const char *name, uint16_t setc, uint32_t createdcount, uint16_t setm,
                   const D &m, uint16_t seta, const D &a) {
    const uint16_t one[] = {1};
    return qira_platspec_setdates(P(name).c_str(), 0, setc, one, createdcount, setm, m.data(),
                                  uint32_t(m.size()), seta, a.data(), uint32_t(a.size()));
  };
  const struct { const char *what; uint32_t got, want; } steps[] = {
      {"mkdir", on(mk, "new"), QIRA_OK},
      {"mkdir in a missing directory", on(mk, "missing/new"), QIRA_ERR_NOENTRY},
      {"rmdir a file", on(rd, "file"), QIRA_ERR_NOENTRY},
      {"rmdir", on(rd, "new"), QIRA_OK},
      {"remove missing", on(rm, "missing"), QIRA_ERR_NOENTRY},
      {"remove a file", on(rm, "full/x"), QIRA_OK},
      {"remove an empty directory", on(rm, "full"), QIRA_OK},
      {"all gone", uint32_t(qt::Exists(P("new")) || qt::Exists(P("full"))), 0},
      {"rename", ren("file", "renamed"), QIRA_OK},
      {"rename into a missing directory", ren("renamed", "nodir/x"), QIRA_ERR_NOENTRY},
      {"rename back", ren("renamed", "file"), QIRA_OK},
      {"readonly on a writable file", qira_platspec_setattributes(f, 1, 1, 0, 0, 0, 0),
       QIRA_ERR_NOTPOSSIBLE},
      {"readonly off, as it is", qira_platspec_setattributes(f, 1, 0, 0, 0, 0, 0), QIRA_OK},
      {"values without flags", qira_platspec_setattributes(f, 0, 1, 0, 1, 0, 1), QIRA_OK},
      {"attributes of a missing entry",
       qira_platspec_setattributes(P("no").c_str(), 1, 0, 0, 0, 0, 0), QIRA_ERR_NOTFOUND},
      {"the mode stays", Stat(file).st_mode & 07777, 0644},
      {"only the access time", dates("file", 0, 0, 0, none, 1, t1200), QIRA_OK},
      {"access time", uint32_t(Stat(file).st_atime), 1200000000},
      {"modification time kept", uint32_t(Stat(file).st_mtime), 1100000000},
      {"only the modification time", dates("file", 0, 0, 1, t2100, 0, none), QIRA_OK},
      {"modification time after 2038", uint32_t(Stat(file).st_mtime), uint32_t(4102444800)},
      {"before 1970", dates("file", 0, 0, 1, early, 1, t1200), QIRA_ERR_RANGE},
      // "No creation date" alone does not even look at the entry.
      {"no creation date", dates("missing", 1, 0, 0, none, 0, none), QIRA_OK},
      {"dates of a missing entry", dates("missing", 0, 0, 1, t1200, 0, none), QIRA_ERR_NOENTRY},
  };
  for (const auto &s : steps) EXPECT_EQ(s.got, s.want) << s.what;
  EXPECT_EQ(qt::ReadFile(file), "data");
}

// As an unprivileged user, whose exit status is its first failing check.  Under
// root "theirs" is another user's file; an ordinary user owns it.
TEST_F(Entries, PermissionCasesAsUnprivilegedUser) {
  const bool foreign = geteuid() == 0;
  ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);
  qt::WriteFile(P("theirs"), "");
  ASSERT_EQ(chmod(P("theirs").c_str(), foreign ? 0644 : 0444), 0);
  ASSERT_EQ(mkdir(P("locked").c_str(), 0555), 0);
  ASSERT_EQ(mkdir(P("closed").c_str(), 0700), 0);
  qt::WriteFile(P("closed/x"), "");
  ASSERT_EQ(chmod(P("closed").c_str(), 0), 0);
  QiraMemGroup *g = group_;
  const std::string theirs = P("theirs"), closed = P("closed"), closedx = P("closed/x");
  const std::u16string lockednew = U16(P("locked/new")), closedu = U16(closedx);
  const D t = pt::DigitsOfTime(1200000000);
  const qt::ChildResult r = qt::AsUnprivileged(dir_.path(), [&]() -> int {
    QiraEntryInfo mine{}, rec;
    QiraSearch *s = nullptr;
    // A braced list runs its calls in order: a record is read after its call.
    const uint32_t checks[][2] = {
        {qira_platspec_getentryinfo(theirs.c_str(), g, &mine), QIRA_OK},
        {mine.readonly, 1},
        {qira_platspec_getentryinfo(closedx.c_str(), g, &rec), QIRA_ERR_ACCESS},
        {qira_platspec_createdirectory(qt::P(lockednew), uint32_t(lockednew.size()), g, &rec),
         QIRA_ERR_ACCESS},
        // The readonly state that is already there may be asked for; the other not.
        {qira_platspec_setattributes(theirs.c_str(), 1, 1, 0, 0, 0, 0), QIRA_OK},
        {qira_platspec_setattributes(theirs.c_str(), 1, 0, 0, 0, 0, 0), QIRA_ERR_NOTPOSSIBLE},
        // Only a file's owner may set its dates.
        {qira_platspec_setdates(theirs.c_str(), 0, 0, nullptr, 0, 1, t.data(), uint32_t(t.size()),
                                0, nullptr, 0),
         foreign ? QIRA_ERR_ACCESS : QIRA_OK},
        // Status failures other than a missing name keep their errno.
        {qira_platspec_nameandcheckdir(qt::P(closedu), uint32_t(closedu.size()), g, 0, 0, 0, 0),
         QIRA_ERR_SYSTEM | EACCES},
        {qira_platspec_search_start(closed.c_str(), g, &s), QIRA_ERR_ACCESS},
    };
    Mem_Free(mine.name);
    for (int i = 0; i < int(std::size(checks)); ++i)
      if (checks[i][0] != checks[i][1]) return i + 1;
    return g->list.next == &g->list ? 0 : 99;
  });
  if (!r.skip.empty()) GTEST_SKIP() << r.skip;
  EXPECT_EQ(r.code, 0) << "first failing check in the child";
  EXPECT_FALSE(qt::Exists(P("locked/new")));
}

}  // namespace
