// Entry-info records of real entries, and the single-step file operations with
// their codes.  Permission cases run in a child that has given up root.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <cstring>

#include "platform/plattest.h"

namespace {

using qt::U16;

// What every test here starts from: a scratch tree, a UTF-8 locale, a group
// that must be empty again at the end.
class Entries : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(locale_.ok()); }
  void TearDown() override { EXPECT_TRUE(group_.Empty()) << "a block was not released"; }

  std::string P(const char *name) const { return dir_ / name; }
  static void SetTimes(const std::string &path, int64_t atime, int64_t mtime) {
    struct utimbuf t;
    t.actime = time_t(atime);
    t.modtime = time_t(mtime);
    ASSERT_EQ(utime(path.c_str(), &t), 0) << path;
  }
  static struct stat Stat(const std::string &path) {
    struct stat st;
    memset(&st, 0, sizeof st);
    EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
    return st;
  }
  static QiraEntryInfo Poisoned() {
    QiraEntryInfo rec;
    memset(&rec, 0xA5, sizeof rec);
    return rec;
  }
  // Record of a name; the record's name is released and returned as UTF-8.
  uint32_t Info(const std::string &native, QiraEntryInfo *rec, std::string *name) {
    *rec = Poisoned();
    uint32_t err = qira_platspec_getentryinfo(native.c_str(), group_, rec);
    if (!err) {
      *name = qt::U8(rec->name, rec->namelen);
      if (rec->name) Mem_Free(rec->name);
      rec->name = nullptr;
    }
    return err;
  }

  pt::LocaleGuard locale_{"C.UTF-8"};
  qt::ScratchDir dir_;
  pt::Group group_;
};

TEST_F(Entries, RecordsOfRealEntries) {
  qt::WriteFile(P("file"), "hello");
  qt::WriteFile(P("empty"), "");
  qt::WriteFile(P("big"), std::string(65536, 'x'));
  qt::WriteFile(P(".profile"), "x");
  ASSERT_EQ(mkdir(P("dir").c_str(), 0755), 0);
  ASSERT_EQ(symlink(P("dir").c_str(), P("dirlink").c_str()), 0);
  for (const char *n : {"file", "empty", "big", ".profile"}) SetTimes(P(n), 1000000000, 2000000000);
  SetTimes(P("dir"), 1500000000, 1600000000);
  // After 2038: still a date both ways.
  qt::WriteFile(P("later"), "");
  SetTimes(P("later"), 4102444800, 4102444801);

  struct Case {
    const char *name;
    uint32_t type;
    std::vector<uint16_t> size;
    int64_t atime, mtime;
  };
  const Case cases[] = {
      {"file", QIRA_ENTRY_FILE, {5}, 1000000000, 2000000000},
      {"empty", QIRA_ENTRY_FILE, {}, 1000000000, 2000000000},
      {"big", QIRA_ENTRY_FILE, {0, 1}, 1000000000, 2000000000},
      {".profile", QIRA_ENTRY_FILE, {1}, 1000000000, 2000000000},
      {"dir", QIRA_ENTRY_DIRECTORY, {}, 1500000000, 1600000000},
      // A link counts as what it points to, with that entry's dates.
      {"dirlink", QIRA_ENTRY_DIRECTORY, {}, 1500000000, 1600000000},
      {"later", QIRA_ENTRY_FILE, {}, 4102444800, 4102444801},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    QiraEntryInfo rec;
    std::string name;
    ASSERT_EQ(Info(P(c.name), &rec, &name), QIRA_OK);
    EXPECT_EQ(name, c.name);
    EXPECT_EQ(rec.readonly, 0);
    EXPECT_EQ(rec.hidden, 0);
    EXPECT_EQ(rec.system, 0);
    EXPECT_EQ(rec.entrytype, c.type);
    EXPECT_EQ(rec.created.count, 0u);
    EXPECT_EQ(pt::Digits(rec.lastaccessed.d, rec.lastaccessed.count), pt::DigitsOfTime(c.atime));
    EXPECT_EQ(pt::Digits(rec.lastchanged.d, rec.lastchanged.count), pt::DigitsOfTime(c.mtime));
    if (c.type == QIRA_ENTRY_FILE) {
      EXPECT_EQ(pt::Digits(rec.size.d, rec.size.count), c.size);
    }
  }
}

// 3 GiB without the disk space: a sparse file.  Its size needs the large-file
// interface on i386.
TEST_F(Entries, SizeOfSparseFileBeyond2GiB) {
  int fd = open(P("sparse").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  int r = ftruncate(fd, off_t(3) << 30);
  close(fd);
  if (r != 0) GTEST_SKIP() << "file system refuses a 3 GiB sparse file";
  QiraEntryInfo rec;
  std::string name;
  ASSERT_EQ(Info(P("sparse"), &rec, &name), QIRA_OK);
  EXPECT_EQ(pt::Digits(rec.size.d, rec.size.count), (std::vector<uint16_t>{0x0000, 0xC000}));
}

TEST_F(Entries, RecordRefusals) {
  qt::WriteFile(P("old"), "");
  SetTimes(P("old"), 1000, -1);  // modified before 1970
  ASSERT_EQ(symlink(P("nowhere").c_str(), P("dangling").c_str()), 0);
  struct Case {
    std::string native;
    uint32_t err;
  };
  const Case cases[] = {
      {P("old"), QIRA_ERR_DIGITS},
      {P("dangling"), QIRA_ERR_NOENTRY},
      {P("missing"), QIRA_ERR_NOENTRY},
      {P("old") + "/x", QIRA_ERR_NOENTRY},  // ENOTDIR
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.native);
    QiraEntryInfo rec = Poisoned(), before = rec;
    EXPECT_EQ(qira_platspec_getentryinfo(c.native.c_str(), group_, &rec), c.err);
    EXPECT_EQ(memcmp(&rec, &before, sizeof rec), 0) << "record touched on failure";
  }
  // No place for the record: nothing made, nothing kept.
  EXPECT_EQ(qira_platspec_getentryinfo(P("dangling").c_str(), group_, nullptr), QIRA_ERR_NOENTRY);
  qt::WriteFile(P("fine"), "");
  EXPECT_EQ(qira_platspec_getentryinfo(P("fine").c_str(), group_, nullptr), QIRA_OK);
}

TEST_F(Entries, UndecodableNameComesBytesOnly) {
  qt::WriteFile(P("\xFF"), "");
  QiraEntryInfo rec = Poisoned();
  ASSERT_EQ(qira_platspec_getentryinfo(P("\xFF").c_str(), group_, &rec), QIRA_OK);
  ASSERT_EQ(rec.namelen, 2u);
  EXPECT_EQ(rec.name[0], 0xFFFE);
  EXPECT_EQ(rec.name[1], 0xFF);
  Mem_Free(rec.name);
}

TEST_F(Entries, CreateDirectory) {
  qt::WriteFile(P("file"), "");
  struct Case {
    const char *name;
    uint32_t err;
  };
  const Case cases[] = {
      {"new", QIRA_OK},
      {"new", QIRA_ERR_EXISTS},
      {"file", QIRA_ERR_EXISTS},
      {"missing/new", QIRA_ERR_NOENTRY},
      {"file/new", QIRA_ERR_NOENTRY},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    std::u16string full = U16(P(c.name));
    QiraEntryInfo rec = Poisoned(), before = rec;
    EXPECT_EQ(qira_platspec_createdirectory(qt::P(full), uint32_t(full.size()), group_, &rec),
              c.err);
    if (c.err) {
      EXPECT_EQ(memcmp(&rec, &before, sizeof rec), 0);
      continue;
    }
    EXPECT_TRUE(S_ISDIR(Stat(P(c.name)).st_mode));
    EXPECT_EQ(rec.entrytype, QIRA_ENTRY_DIRECTORY);
    EXPECT_EQ(qt::U8(rec.name, rec.namelen), "new");
    Mem_Free(rec.name);
  }
}

// A directory whose record cannot be made is removed again, and the record's
// error is the one reported.
TEST_F(Entries, CreateDirectoryUndoesWhenRecordFails) {
  pt::CallsGuard guard;
  QiraPlatCalls fake = guard.saved();
  fake.stat = [](const char *, struct stat *) {
    errno = EIO;
    return -1;
  };
  _x_swapcalls(&fake, nullptr);
  std::u16string full = U16(P("new"));
  QiraEntryInfo rec;
  EXPECT_EQ(qira_platspec_createdirectory(qt::P(full), uint32_t(full.size()), group_, &rec),
            QIRA_ERR_SYSTEM | EIO);
  EXPECT_FALSE(qt::Exists(P("new")));
}

TEST_F(Entries, DeleteDirectoryAndFile) {
  ASSERT_EQ(mkdir(P("empty").c_str(), 0755), 0);
  ASSERT_EQ(mkdir(P("full").c_str(), 0755), 0);
  qt::WriteFile(P("full/x"), "");
  ASSERT_EQ(mkdir(P("emptytoo").c_str(), 0755), 0);
  qt::WriteFile(P("file"), "");
  qt::WriteFile(P("file2"), "");
  struct Case {
    bool directory;  // deletedirectory, else deletefile
    const char *name;
    uint32_t err;
  };
  const Case cases[] = {
      {true, "empty", QIRA_OK},
      {true, "full", QIRA_ERR_SYSTEM | ENOTEMPTY},
      {true, "missing", QIRA_ERR_NOENTRY},
      {true, "file2", QIRA_ERR_NOENTRY},  // ENOTDIR
      {false, "file", QIRA_OK},
      {false, "missing", QIRA_ERR_NOENTRY},
      {false, "emptytoo", QIRA_OK},  // remove() takes an empty directory too
      {false, "full", QIRA_ERR_SYSTEM | ENOTEMPTY},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << (c.directory ? "directory " : "file ") << c.name);
    bool existed = qt::Exists(P(c.name));
    std::u16string full = U16(P(c.name));
    uint32_t err = c.directory
                       ? qira_platspec_deletedirectory(qt::P(full), uint32_t(full.size()), group_)
                       : qira_platspec_deletefile(qt::P(full), uint32_t(full.size()), group_);
    EXPECT_EQ(err, c.err);
    EXPECT_EQ(qt::Exists(P(c.name)), existed && err != QIRA_OK);
  }
  const uint16_t bad[] = {0xD800};
  EXPECT_EQ(qira_platspec_deletefile(bad, 1, group_), QIRA_ERR_CONVERT);
}

TEST_F(Entries, Rename) {
  qt::WriteFile(P("a"), "first");
  qt::WriteFile(P("b"), "second");
  std::u16string to = U16(P("c"));
  char *newnative = nullptr;
  ASSERT_EQ(qira_platspec_rename(P("a").c_str(), qt::P(to), uint32_t(to.size()), &newnative,
                                 group_),
            QIRA_OK);
  EXPECT_EQ(std::string(newnative), P("c"));
  Mem_Free(newnative);
  EXPECT_FALSE(qt::Exists(P("a")));
  EXPECT_EQ(qt::ReadFile(P("c")), "first");

  // An existing file of the new name is replaced.
  to = U16(P("b"));
  ASSERT_EQ(qira_platspec_rename(P("c").c_str(), qt::P(to), uint32_t(to.size()), nullptr, group_),
            QIRA_OK);
  EXPECT_EQ(qt::ReadFile(P("b")), "first");
  EXPECT_FALSE(qt::Exists(P("c")));

  // Failures keep no new name and store none.
  struct Case {
    std::string from, to;
    uint32_t err;
  };
  ASSERT_EQ(mkdir(P("d").c_str(), 0755), 0);
  qt::WriteFile(P("d/x"), "");
  const Case cases[] = {
      {P("missing"), P("x"), QIRA_ERR_NOENTRY},
      {P("b"), P("nodir/x"), QIRA_ERR_NOENTRY},
      {P("b"), P("d"), QIRA_ERR_SYSTEM | EISDIR},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.from + " -> " + c.to);
    std::u16string t = U16(c.to);
    char *out = reinterpret_cast<char *>(uintptr_t(1));
    EXPECT_EQ(qira_platspec_rename(c.from.c_str(), qt::P(t), uint32_t(t.size()), &out, group_),
              c.err);
    EXPECT_EQ(out, reinterpret_cast<char *>(uintptr_t(1)));
  }
  EXPECT_EQ(qt::ReadFile(P("b")), "first");
}

TEST_F(Entries, SetAttributesRefusesWhatLinuxCannotShow) {
  qt::WriteFile(P("file"), "");
  ASSERT_EQ(chmod(P("file").c_str(), 0644), 0);
  struct Case {
    const char *what;
    uint16_t setro, ro, seth, h, sets, s;
    uint32_t err;
  };
  const Case cases[] = {
      {"nothing asked", 0, 0, 0, 0, 0, 0, QIRA_OK},
      {"readonly on a writable entry", 1, 1, 0, 0, 0, 0, QIRA_ERR_NOTPOSSIBLE},
      {"readonly off, as it is", 1, 0, 0, 0, 0, 0, QIRA_OK},
      {"value without its flag", 0, 1, 0, 1, 0, 1, QIRA_OK},
      {"a flag of 2 is not set", 2, 1, 2, 1, 2, 1, QIRA_OK},
      {"hidden on", 0, 0, 1, 1, 0, 0, QIRA_ERR_NOTPOSSIBLE},
      {"hidden off", 0, 0, 1, 0, 0, 0, QIRA_OK},
      {"system on", 0, 0, 0, 0, 1, 1, QIRA_ERR_NOTPOSSIBLE},
      {"system off", 0, 0, 0, 0, 1, 0, QIRA_OK},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(qira_platspec_setattributes(P("file").c_str(), c.setro, c.ro, c.seth, c.h, c.sets,
                                          c.s),
              c.err);
    EXPECT_EQ(Stat(P("file")).st_mode & 07777, 0644u) << "the mode must not change";
  }
  EXPECT_EQ(qira_platspec_setattributes(P("missing").c_str(), 1, 0, 0, 0, 0, 0),
            QIRA_ERR_NOTFOUND);
  EXPECT_EQ(qira_platspec_setattributes((P("file") + "/x").c_str(), 0, 0, 0, 0, 0, 0),
            QIRA_ERR_NOTFOUND);
}

TEST_F(Entries, SetDates) {
  qt::WriteFile(P("file"), "");
  SetTimes(P("file"), 1000000000, 1100000000);
  std::vector<uint16_t> t2100 = pt::DigitsOfTime(4102444800);
  std::vector<uint16_t> t1200 = pt::DigitsOfTime(1200000000);
  std::vector<uint16_t> early = pt::DigitsOfDecimal("62135596799999999");
  const uint16_t one[] = {1};
  struct Case {
    const char *what;
    uint16_t setc;
    uint32_t ccount;
    uint16_t setm;
    const std::vector<uint16_t> *m;
    uint16_t seta;
    const std::vector<uint16_t> *a;
    uint32_t err;
    int64_t atime, mtime;  // afterwards
  };
  const Case cases[] = {
      {"only the access time", 0, 0, 0, nullptr, 1, &t1200, QIRA_OK, 1200000000, 1100000000},
      {"only the modification time, after 2038", 0, 0, 1, &t2100, 0, nullptr, QIRA_OK,
       1200000000, 4102444800},
      {"creation date to no date", 1, 0, 0, nullptr, 0, nullptr, QIRA_OK, 1200000000,
       4102444800},
      {"a creation date", 1, 1, 1, &t1200, 0, nullptr, QIRA_ERR_NOTPOSSIBLE, 1200000000,
       4102444800},
      {"before 1970", 0, 0, 1, &early, 1, &t1200, QIRA_ERR_RANGE, 1200000000, 4102444800},
      {"flags of 2 are not set", 0, 0, 2, &t1200, 2, &t2100, QIRA_OK, 1200000000, 4102444800},
      {"both", 0, 0, 1, &t1200, 1, &t2100, QIRA_OK, 4102444800, 1200000000},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(qira_platspec_setdates(P("file").c_str(), 0, c.setc, one, c.ccount, c.setm,
                                     c.m ? c.m->data() : nullptr,
                                     c.m ? uint32_t(c.m->size()) : 0, c.seta,
                                     c.a ? c.a->data() : nullptr,
                                     c.a ? uint32_t(c.a->size()) : 0),
              c.err);
    struct stat st = Stat(P("file"));
    EXPECT_EQ(int64_t(st.st_atime), c.atime);
    EXPECT_EQ(int64_t(st.st_mtime), c.mtime);
  }
  // Nothing to set: the entry is not even looked at.
  EXPECT_EQ(qira_platspec_setdates(P("missing").c_str(), 0, 1, nullptr, 0, 0, nullptr, 0, 0,
                                   nullptr, 0),
            QIRA_OK);
  EXPECT_EQ(qira_platspec_setdates(P("missing").c_str(), 0, 0, nullptr, 0, 1, t1200.data(),
                                   uint32_t(t1200.size()), 0, nullptr, 0),
            QIRA_ERR_NOENTRY);
  // Directories take dates as files do.
  ASSERT_EQ(mkdir(P("dir").c_str(), 0755), 0);
  EXPECT_EQ(qira_platspec_setdates(P("dir").c_str(), 1, 0, nullptr, 0, 1, t1200.data(),
                                   uint32_t(t1200.size()), 0, nullptr, 0),
            QIRA_OK);
  EXPECT_EQ(int64_t(Stat(P("dir")).st_mtime), 1200000000);
}

// Root passes every permission check, so these run as an unprivileged user.
// The child reports the first failing check's number through its exit status.
TEST_F(Entries, PermissionCasesAsUnprivilegedUser) {
  ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);
  qt::WriteFile(P("theirs"), "");
  ASSERT_EQ(chmod(P("theirs").c_str(), 0644), 0);
  qt::WriteFile(P("open"), "");
  ASSERT_EQ(chmod(P("open").c_str(), 0666), 0);
  ASSERT_EQ(mkdir(P("locked").c_str(), 0555), 0);
  ASSERT_EQ(mkdir(P("closed").c_str(), 0700), 0);
  qt::WriteFile(P("closed/x"), "");
  if (geteuid() != 0) {
    // Without root the files are our own: only the closed directory and the
    // locked one still say no, so make "theirs" unwritable for us.
    ASSERT_EQ(chmod(P("theirs").c_str(), 0444), 0);
  }
  QiraMemGroup *g = group_;
  const std::string theirs = P("theirs"), open = P("open"), closedx = P("closed/x");
  const std::u16string lockednew = U16(P("locked/new"));
  int code = pt::AsNobody([&]() -> int {
    QiraEntryInfo rec;
    if (qira_platspec_getentryinfo(theirs.c_str(), g, &rec) != QIRA_OK) return 1;
    Mem_Free(rec.name);
    if (rec.readonly != 1) return 2;
    if (qira_platspec_getentryinfo(open.c_str(), g, &rec) != QIRA_OK) return 3;
    Mem_Free(rec.name);
    if (rec.readonly != 0) return 4;
    if (qira_platspec_getentryinfo(closedx.c_str(), g, &rec) != QIRA_ERR_ACCESS) return 5;
    if (qira_platspec_createdirectory(qt::P(lockednew), uint32_t(lockednew.size()), g,
                                      &rec) != QIRA_ERR_ACCESS)
      return 6;
    // The readonly state that is already there may be asked for; the other not.
    if (qira_platspec_setattributes(theirs.c_str(), 1, 1, 0, 0, 0, 0) != QIRA_OK) return 7;
    if (qira_platspec_setattributes(theirs.c_str(), 1, 0, 0, 0, 0, 0) != QIRA_ERR_NOTPOSSIBLE)
      return 8;
    if (qira_platspec_setattributes(closedx.c_str(), 0, 0, 0, 0, 0, 0) != QIRA_ERR_ACCESS)
      return 9;
    std::vector<uint16_t> t = pt::DigitsOfTime(1200000000);
    if (qira_platspec_setdates(theirs.c_str(), 0, 0, nullptr, 0, 1, t.data(),
                               uint32_t(t.size()), 0, nullptr, 0) != QIRA_ERR_ACCESS)
      return 10;
    return g->list.next == &g->list ? 0 : 11;
  });
  EXPECT_EQ(code, 0) << "first failing check in the child";
  EXPECT_FALSE(qt::Exists(P("locked/new")));
}

TEST(OsError, MapsErrno) {
  struct Case {
    int e;
    uint32_t want;
  };
  const Case cases[] = {
      {EPERM, QIRA_ERR_ACCESS},   {ENOENT, QIRA_ERR_NOENTRY},
      {ENOMEM, QIRA_ERR_NOMEM},   {EACCES, QIRA_ERR_ACCESS},
      {EEXIST, QIRA_ERR_EXISTS},  {ENOTDIR, QIRA_ERR_NOENTRY},
      {EROFS, QIRA_ERR_ACCESS},   {ENAMETOOLONG, QIRA_ERR_TOOLONG},
      {EIO, 2000005},             {ENOTEMPTY, 2000039},
      {EOVERFLOW, 2000075},       {EXDEV, 2000018},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.e);
    errno = c.e;
    EXPECT_EQ(_x_os_error(), c.want);
  }
}

}  // namespace
