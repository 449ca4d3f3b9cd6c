// Path resolution against a real tree: home and working directory, the dot
// rules, separators, the root, and the status check; then splitting and
// joining full names.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/plattest.h"

namespace {

using qt::U16;
using qt::U8;

class Resolve : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(locale_.ok());
    s_ = dir_.path();
    for (const char *d : {"u", "u/dir", "u/~nosuchuser_qira", "x", "a", "a/b", "a/b/c", "a/d"})
      ASSERT_EQ(mkdir((dir_ / d).c_str(), 0755), 0) << d;
    qt::WriteFile(dir_ / "file", "data");
    ASSERT_EQ(symlink((dir_ / "u/dir").c_str(), (dir_ / "link").c_str()), 0);
    ASSERT_EQ(chdir((dir_ / "u").c_str()), 0);
    home_.Set((dir_ / "u").c_str());
  }
  void TearDown() override { EXPECT_TRUE(group_.Empty()) << "a block was not released"; }

  // "$S" stands for the scratch directory.
  std::string Expand(std::string text) const {
    for (size_t at; (at = text.find("$S")) != std::string::npos;) text.replace(at, 2, s_);
    return text;
  }

  struct Result {
    uint32_t err;
    std::string full;    // UTF-8 of the full name
    std::string native;
    uint16_t isdir;
  };
  Result Run(const std::u16string &name) {
    Result r{};
    uint16_t *full = nullptr;
    uint32_t fulllen = 0xDEAD;
    char *native = nullptr;
    uint16_t isdir = 0xDEAD;
    r.err = qira_platspec_nameandcheckdir(qt::P(name), uint32_t(name.size()), group_, &full,
                                          &fulllen, &native, &isdir);
    if (r.err) {
      EXPECT_EQ(fulllen, 0xDEADu) << "stored on failure";
      EXPECT_EQ(native, nullptr);
      return r;
    }
    r.full = U8(full, fulllen);
    r.native = native;
    r.isdir = isdir;
    Mem_Free(full);
    Mem_Free(native);
    return r;
  }

  struct Case {
    const char *in;
    const char *want;  // expanded; null when err is not 0
    uint32_t err;
    uint16_t isdir;
  };
  void Check(const Case &c) {
    std::string in = Expand(c.in);
    SCOPED_TRACE(in);
    Result r = Run(U16(in));
    ASSERT_EQ(r.err, c.err);
    if (c.err) return;
    EXPECT_EQ(r.full, Expand(c.want));
    EXPECT_EQ(r.native, Expand(c.want));
    EXPECT_EQ(r.isdir, c.isdir);
  }

  pt::LocaleGuard locale_{"C.UTF-8"};
  qt::CwdGuard cwd_;
  qt::EnvGuard home_{"HOME"};
  qt::ScratchDir dir_;
  std::string s_;
  pt::Group group_;
};

TEST_F(Resolve, RewritesNames) {
  const Case cases[] = {
      {"dir", "$S/u/dir", QIRA_OK, 1},
      {"./dir", "$S/u/dir", QIRA_OK, 1},
      {"../x", "$S/x", QIRA_OK, 1},
      {"~", "$S/u", QIRA_OK, 1},
      {"~/dir", "$S/u/dir", QIRA_OK, 1},
      {"~/dir/", "$S/u/dir", QIRA_OK, 1},
      // An unknown user leaves "~" as part of a relative name.
      {"~nosuchuser_qira", "$S/u/~nosuchuser_qira", QIRA_OK, 1},
      {"$S/a//b", "$S/a//b", QIRA_OK, 1},
      {"$S/a/b/", "$S/a/b", QIRA_OK, 1},
      {"$S/a/b///", "$S/a/b", QIRA_OK, 1},
      {"$S/a/.", "$S/a/.", QIRA_OK, 1},
      {"$S/a/./b", "$S/a/b", QIRA_OK, 1},
      {"$S/././a", "$S/a", QIRA_OK, 1},
      {"$S/a/b/c/..", "$S/a/b", QIRA_OK, 1},
      {"$S/a/b/..//d", "$S/a//d", QIRA_OK, 1},
      // A ".." brought next to a name by an earlier cut stays.
      {"$S/a/b/c/../../d", "$S/a/b/../d", QIRA_OK, 1},
      // ".." after an empty, "." or ".." component is left to the kernel.
      {"$S/a//../x", "$S/a//../x", QIRA_OK, 1},
      {"$S/a/./../x", "$S/a/../x", QIRA_OK, 1},
      {"$S/a/b/c/../../../x", "$S/a/b/../../x", QIRA_OK, 1},
      {"$S/file", "$S/file", QIRA_OK, 0},
      {"$S/link", "$S/link", QIRA_OK, 1},
      {"$S/file/", "$S/file", QIRA_OK, 0},
      {"$S/nope", nullptr, QIRA_ERR_NOTFOUND, 0},
      {"nope", nullptr, QIRA_ERR_NOTFOUND, 0},
      {"$S/file/x", nullptr, QIRA_ERR_NOTFOUND, 0},  // ENOTDIR
      {"", nullptr, QIRA_ERR_NOTFOUND, 0},
      // The root and the names that come down to it.
      {"/", "/", QIRA_OK, 1},
      {"//", "/", QIRA_OK, 1},
      {"/a/..", "/", QIRA_OK, 1},
      {"$S/a/..", "$S", QIRA_OK, 1},
      {"/..", "/..", QIRA_OK, 1},
  };
  for (const Case &c : cases) Check(c);
}

TEST_F(Resolve, HomeWithTrailingSeparatorKeepsBoth) {
  home_.Set((s_ + "/u/").c_str());
  Check({"~", "$S/u", QIRA_OK, 1});  // trailing separators always go
  Check({"~/dir", "$S/u//dir", QIRA_OK, 1});
}

TEST_F(Resolve, TildeUserIsThatUsersHome) {
  const struct passwd *pw = getpwnam("root");
  ASSERT_NE(pw, nullptr);
  std::string home = pw->pw_dir;
  struct stat st;
  if (stat(home.c_str(), &st) != 0) GTEST_SKIP() << "root's home " << home << " missing";
  Result r = Run(u"~root");
  ASSERT_EQ(r.err, QIRA_OK);
  EXPECT_EQ(r.native, home);
  EXPECT_EQ(r.isdir, 1);
  r = Run(u"~root/");
  ASSERT_EQ(r.err, QIRA_OK);
  EXPECT_EQ(r.native, home);
}

TEST_F(Resolve, WithoutHomeFallsBackToPasswordEntry) {
  home_.Set(nullptr);
  const struct passwd *pw = getpwuid(getuid());
  ASSERT_NE(pw, nullptr);
  std::string home = pw->pw_dir;
  struct stat st;
  if (stat(home.c_str(), &st) != 0) GTEST_SKIP() << "own home " << home << " missing";
  Result r = Run(u"~");
  ASSERT_EQ(r.err, QIRA_OK);
  EXPECT_EQ(r.native, home);
}

TEST_F(Resolve, UndecodableNameTravelsBytesOnly) {
  std::string raw = s_ + "/\xFF";
  ASSERT_EQ(mkdir(raw.c_str(), 0755), 0);
  std::u16string in;
  in.push_back(u'\xFFFE');
  for (unsigned char b : raw) in.push_back(char16_t(b));
  uint16_t *full = nullptr;
  uint32_t n = 0;
  char *native = nullptr;
  ASSERT_EQ(qira_platspec_nameandcheckdir(qt::P(in), uint32_t(in.size()), group_, &full, &n,
                                          &native, nullptr),
            QIRA_OK);
  EXPECT_EQ(std::string(native), raw);
  EXPECT_EQ(std::u16string(reinterpret_cast<char16_t *>(full), n), in);
  Mem_Free(full);
  Mem_Free(native);
}

TEST_F(Resolve, RefusesUnconvertibleName) {
  const uint16_t lone[] = {'a', 0xD800};
  EXPECT_EQ(qira_platspec_nameandcheckdir(lone, 2, group_, nullptr, nullptr, nullptr, nullptr),
            QIRA_ERR_CONVERT);
}

TEST_F(Resolve, NullPlacesKeepNothing) {
  std::u16string in = U16(s_ + "/u/dir");
  EXPECT_EQ(qira_platspec_nameandcheckdir(qt::P(in), uint32_t(in.size()), group_, nullptr,
                                          nullptr, nullptr, nullptr),
            QIRA_OK);
}

// Status failures other than a missing name keep their errno.
TEST_F(Resolve, OtherStatusFailuresKeepErrno) {
  ASSERT_EQ(chmod(s_.c_str(), 0755), 0);
  ASSERT_EQ(chmod((dir_ / "a").c_str(), 0700), 0);
  std::u16string in = U16(s_ + "/a/b");
  QiraMemGroup *g = group_;
  int code = pt::AsNobody([&] {
    uint32_t err = qira_platspec_nameandcheckdir(qt::P(in), uint32_t(in.size()), g, nullptr,
                                                 nullptr, nullptr, nullptr);
    return err == (QIRA_ERR_SYSTEM | EACCES) ? 0 : 1;
  });
  EXPECT_EQ(code, 0);
}

// A working directory longer than the first buffer: getcwd() is asked again
// with larger ones until it fits.
TEST_F(Resolve, GrowsWorkingDirectoryBuffer) {
  static size_t calls;
  static size_t lastsize;
  calls = 0;
  pt::CallsGuard guard;
  QiraPlatCalls fake = guard.saved();
  fake.getcwd = [](char *buf, size_t size) -> char * {
    ++calls;
    lastsize = size;
    if (size < 3 * 4096) {
      errno = ERANGE;
      return nullptr;
    }
    return getcwd(buf, size);
  };
  _x_swapcalls(&fake, nullptr);
  Check({"dir", "$S/u/dir", QIRA_OK, 1});
  EXPECT_EQ(calls, 3u);
  EXPECT_EQ(lastsize, 3u * 4096);
}

TEST_F(Resolve, NameStaysRelativeWithoutWorkingDirectory) {
  pt::CallsGuard guard;
  QiraPlatCalls fake = guard.saved();
  fake.getcwd = [](char *, size_t) -> char * {
    errno = ENOENT;
    return nullptr;
  };
  _x_swapcalls(&fake, nullptr);
  // The status check then resolves it against the real working directory.
  Check({"dir/", "dir", QIRA_OK, 1});
}

TEST(PathPartLength, FindsDirectoryPart) {
  struct Case {
    const char16_t *in;
    uint32_t want;
  };
  const Case cases[] = {{u"/a/b", 3}, {u"b", 0}, {u"/a/", 3}, {u"", 0}, {u"/", 1}, {u"a//b", 3}};
  for (const Case &c : cases) {
    std::u16string in = c.in;
    SCOPED_TRACE(U8(in));
    uint32_t got = 99;
    EXPECT_EQ(qira_platspec_pathpartlength(qt::P(in), uint32_t(in.size()), &got), QIRA_OK);
    EXPECT_EQ(got, c.want);
  }
}

TEST(MakeFullName, JoinsWithOneSeparator) {
  struct Case {
    const char16_t *dir;
    const char16_t *name;
    const char16_t *want;  // null: 28
  };
  const Case cases[] = {
      {u"/a", u"b", u"/a/b"},  {u"/a/", u"b", u"/a/b"}, {u"/a", u"", u"/a/"},
      {u"/a/", u"", nullptr},  {u"", u"b", u"/b"},      {u"", u"", u"/"},
      {u"/", u"\xE9", u"/\xE9"},
  };
  pt::Group group;
  for (const Case &c : cases) {
    std::u16string dir = c.dir, name = c.name;
    SCOPED_TRACE(U8(dir) + " + " + U8(name));
    uint16_t *out = nullptr;
    uint32_t n = 99;
    uint32_t err = qira_platspec_makefullname(qt::P(dir), uint32_t(dir.size()), qt::P(name),
                                              uint32_t(name.size()), group, &out, &n);
    if (!c.want) {
      EXPECT_EQ(err, QIRA_ERR_TOOLONG);
      EXPECT_EQ(n, 99u);
      continue;
    }
    ASSERT_EQ(err, QIRA_OK);
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t *>(out), n), c.want);
    Mem_Free(out);
  }
  // The limit is checked before anything is allocated.
  // (The entry name is not read before the check; the directory's last unit is.)
  const uint16_t dir[] = {'/', 'a'};
  EXPECT_EQ(qira_platspec_makefullname(dir, 2, dir, 0x20000000u - 2, group, nullptr, nullptr),
            QIRA_ERR_TOOLONG);
  EXPECT_EQ(qira_platspec_makefullname(dir, 2, dir, 0xFFFFFFFFu, group, nullptr, nullptr),
            QIRA_ERR_TOOLONG);
  EXPECT_TRUE(group.Empty());
}

}  // namespace
