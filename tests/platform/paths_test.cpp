// Path resolution against a real tree (home, working directory, dots,
// separators, the root, the status check); then joining and splitting full names.
#include <sys/stat.h>

#include "platform/plattest.h"

namespace {

using qt::U16;
using qt::U8;

using Resolve = pt::Plat;

// "$S" stands for the scratch directory; want null: 7.  Every name is resolved
// twice, the second time with no places to store into.
TEST_F(Resolve, RewritesNames) {
  qt::CwdGuard cwd;
  qt::EnvGuard home{"HOME"};
  for (const char *d : {"u", "u/dir", "u/~nosuchuser_qira", "x", "a", "a/b", "a/b/c", "a/d"})
    ASSERT_EQ(mkdir(P(d).c_str(), 0755), 0) << d;
  qt::WriteFile(P("file"), "data");
  ASSERT_EQ(symlink(P("u/dir").c_str(), P("link").c_str()), 0);
  ASSERT_EQ(chdir(P("u").c_str()), 0);
  home.Set(P("u").c_str());
  const struct { const char *in, *want; uint16_t isdir; } cases[] = {
      {"dir", "$S/u/dir", 1},         {"../x", "$S/x", 1},
      {"~", "$S/u", 1},               {"~/dir/", "$S/u/dir", 1},
      {"~nosuchuser_qira", "$S/u/~nosuchuser_qira", 1},  // an unknown user: a relative name
      {"$S/a//b", "$S/a//b", 1},      {"$S/a/b///", "$S/a/b", 1},
      {"$S/a/.", "$S/a/.", 1},        {"$S/././a/./b", "$S/a/b", 1},
      {"$S/a/b/..//d", "$S/a//d", 1}, {"$S/a/..", "$S", 1},
      {"$S/a/b/c/../../d", "$S/a/b/../d", 1},  // ".." next to a name by an earlier cut stays
      // ".." after an empty, "." or ".." component is left to the kernel.
      {"$S/a//../x", "$S/a//../x", 1}, {"$S/a/./../x", "$S/a/../x", 1},
      {"$S/a/b/c/../../../x", "$S/a/b/../../x", 1},
      {"$S/file/", "$S/file", 0},     {"$S/link", "$S/link", 1},
      {"$S/nope", nullptr, 0},        {"$S/file/x", nullptr, 0},  // ENOTDIR
      {"", nullptr, 0},
      // The root and the names that come down to it.
      {"/", "/", 1}, {"//", "/", 1}, {"/a/..", "/", 1}, {"/..", "/..", 1},
  };
  auto expand = [&](std::string s) {
    for (size_t at; (at = s.find("$S")) != std::string::npos;) s.replace(at, 2, dir_.path());
    return s;
  };
  for (const auto &c : cases) {
    const std::u16string name = U16(expand(c.in));
    SCOPED_TRACE(c.in);
    uint16_t *full = nullptr, dir = 0xDEAD;
    uint32_t n = 0xDEAD, err = c.want ? QIRA_OK : QIRA_ERR_NOTFOUND;
    char *native = nullptr;
    const uint16_t *u = qt::P(name);
    ASSERT_EQ(qira_platspec_nameandcheckdir(u, uint32_t(name.size()), group_, &full, &n, &native,
                                            &dir), err);
    EXPECT_EQ(qira_platspec_nameandcheckdir(u, uint32_t(name.size()), group_, 0, 0, 0, 0), err);
    if (err) {
      EXPECT_TRUE(n == 0xDEAD && !native) << "stored on failure";
      continue;
    }
    EXPECT_EQ(U8(full, n), expand(c.want));
    EXPECT_EQ(native, expand(c.want));
    EXPECT_EQ(dir, c.isdir);
    Mem_Free(full);
    Mem_Free(native);
  }
  const uint16_t lone[] = {'a', 0xD800};
  EXPECT_EQ(qira_platspec_nameandcheckdir(lone, 2, group_, nullptr, nullptr, nullptr, nullptr),
            QIRA_ERR_CONVERT);
}

// Joining, and splitting what was joined: the directory part ends at the
// separator in front of the entry name.  A bytes-only part joins in bytes:
// the result is the bytes-only form of the whole joined native name.
using FullNames = pt::Plat;
TEST_F(FullNames, JoinAndSplit) {
  const std::u16string nul(1, u'\0');
  const struct { std::u16string dir, name; const char16_t *want; uint32_t code; } cases[] = {
      {u"/a", u"b", u"/a/b", QIRA_OK}, {u"/a/", u"b", u"/a/b", QIRA_OK},
      {u"/a", u"", u"/a/", QIRA_OK},   {u"/a/", u"", nullptr, QIRA_ERR_TOOLONG},
      {u"", u"", u"/", QIRA_OK},
      {u"\uFFFE/a/\u00FF", u"b", u"\uFFFE/a/\u00FF/b", QIRA_OK},
      {u"\uFFFE/\u00FF", u"\u00E9", u"\uFFFE/\u00FF/\u00C3\u00A9", QIRA_OK},
      {u"/a", u"\uFFFE\u00EF\u00BF\u00BEv", u"\uFFFE/a/\u00EF\u00BF\u00BEv", QIRA_OK},
      {u"\uFFFE/a/", u"\uFFFE", nullptr, QIRA_ERR_TOOLONG},
      {u"/a", u"\uFFFEx\u0100", nullptr, QIRA_ERR_CONVERT},
      {u"\uFFFE/\u00FF", u"x" + nul, nullptr, QIRA_ERR_CONVERT},
  };
  for (const auto &c : cases) {
    const std::u16string &dir = c.dir, &name = c.name;
    SCOPED_TRACE(U8(dir) + " + " + U8(name));
    uint16_t *out = nullptr;
    uint32_t n = 99, part = 99;
    ASSERT_EQ(qira_platspec_makefullname(qt::P(dir), uint32_t(dir.size()), qt::P(name),
                                         uint32_t(name.size()), group_, &out, &n),
              c.code);
    if (!c.want) {
      EXPECT_EQ(n, 99u) << "stored on failure";
      continue;
    }
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t *>(out), n), c.want);
    EXPECT_EQ(qira_platspec_pathpartlength(out, n, &part), QIRA_OK);
    EXPECT_TRUE(out[0] == 0xFFFE || part == n - name.size()) << part;
    Mem_Free(out);
  }
  // The limit is checked before anything is read or allocated.
  const uint16_t dir[] = {'/', 'a'};
  EXPECT_EQ(qira_platspec_makefullname(dir, 2, dir, 0x20000000u - 2, group_, nullptr, nullptr),
            QIRA_ERR_TOOLONG);
  EXPECT_EQ(qira_platspec_makefullname(dir, 2, dir, 0xFFFFFFFFu, group_, nullptr, nullptr),
            QIRA_ERR_TOOLONG);
}

}  // namespace
