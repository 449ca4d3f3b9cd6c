// Path resolution of arbitrary names against a real scratch tree, with the
// working directory and HOME inside it.  Input: a mode byte, then either
// UTF-16 units (even mode) or tokens that build names from the tree's own
// components, dots, separators and "~" forms (odd mode), which reach deep
// paths far sooner than raw units.
//
// A name that resolves is absolute, names an entry that exists, has the
// directory flag the file system agrees with, and its full name converts
// back to its native name.  Failures store nothing and keep nothing.
// Splitting and joining the same units must stay inside their buffers, and a
// bytes-only part joins in bytes.
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "fuzz/fuzzutil.h"
#include "platform/qirafnl.h"

namespace {

std::string g_root;

int removeone(const char *path, const struct stat *, int, struct FTW *) {
  return remove(path);
}

void removetree() {
  if (!g_root.empty()) nftw(g_root.c_str(), removeone, 16, FTW_DEPTH | FTW_PHYS);
}

void makedir(const std::string &p) { FUZZ_CHECK(mkdir(p.c_str(), 0755) == 0); }

const char *const kTokens[] = {
    "/", "/", "/", ".", "..", "a", "b", "c", "f", "l", "d", "home", "~", "~root",
    "~nosuchuser_qira", "\xff", "\xc3\xa9", "x", "//", "/./", "/../", "a/b", "\xef\xbf\xbe",
};
constexpr size_t kTokenCount = sizeof(kTokens) / sizeof(kTokens[0]);

// Units from tokens: each token's bytes become units as UTF-8 (the marker
// token arrives as 0xFFFE, a lone 0xFF as the unit 0x00FF).
std::vector<uint16_t> tokenname(fz::Reader &in) {
  std::string s;
  while (!in.empty()) s += kTokens[in.u8() % kTokenCount];
  std::vector<uint16_t> units;
  for (size_t i = 0; i < s.size();) {
    const uint8_t b = uint8_t(s[i]);
    if (b == 0xC3 && i + 1 < s.size()) {
      units.push_back(uint16_t(((b & 0x1F) << 6) | (uint8_t(s[i + 1]) & 0x3F)));
      i += 2;
    } else if (b == 0xEF && i + 2 < s.size()) {
      units.push_back(0xFFFE);
      i += 3;
    } else {
      units.push_back(b);
      ++i;
    }
  }
  return units;
}

bool bytesonly(const uint16_t *u, uint32_t n) { return n >= 1 && u[0] == QIRA_BYTES_ONLY_MARKER; }

// A join with a bytes-only part is the bytes-only form of the joined native
// names, or the first part's conversion failure.
void checkbytesjoin(const uint16_t *dir, uint32_t dirlen, const uint16_t *name, uint32_t namelen,
                    QiraMemGroup *g) {
  uint16_t *joined = nullptr;
  uint32_t joinedlen = 0;
  const uint32_t err = qira_platspec_makefullname(dir, dirlen, name, namelen, g, &joined,
                                                  &joinedlen);
  char *d = nullptr, *n = nullptr;
  const uint32_t derr = _x_getallocednativechars(dir, dirlen, g, &d);
  const uint32_t nerr = derr ? derr : _x_getallocednativechars(name, namelen, g, &n);
  if (derr || nerr) {
    FUZZ_CHECK(err == (derr ? derr : nerr));
  } else {
    const std::string ds = d, ns = n;
    const bool sep = ds.empty() || ds.back() != '/';
    if (ns.empty() && !sep) {
      FUZZ_CHECK(err == QIRA_ERR_TOOLONG);  // nothing joined behind a separator
    } else {
      const std::string want = ds + (sep ? "/" : "") + ns;
      FUZZ_CHECK(err == QIRA_OK && joinedlen == want.size() + 1);
      FUZZ_CHECK(joined[0] == QIRA_BYTES_ONLY_MARKER);
      for (size_t k = 0; k < want.size(); ++k) FUZZ_CHECK(joined[k + 1] == uint8_t(want[k]));
    }
  }
  if (d) Mem_Free(d);
  if (n) Mem_Free(n);
  if (err == QIRA_OK) Mem_Free(joined);
}

void checksplitjoin(const std::vector<uint16_t> &units, QiraMemGroup *g) {
  const uint32_t n = uint32_t(units.size());
  uint32_t part = 0xDEAD;
  FUZZ_CHECK(qira_platspec_pathpartlength(units.data(), n, &part) == QIRA_OK);
  FUZZ_CHECK(part <= n);
  if (part) FUZZ_CHECK(units[part - 1] == '/');
  for (uint32_t k = part; k < n; ++k) FUZZ_CHECK(units[k] != '/');

  if (bytesonly(units.data(), part) || bytesonly(units.data() + part, n - part)) {
    checkbytesjoin(units.data(), part, units.data() + part, n - part, g);
    return;
  }
  // Join the directory part and the rest again: the same units come back
  // (the separator is already there), except where the rest is empty.
  uint16_t *joined = nullptr;
  uint32_t joinedlen = 0;
  const uint32_t err = qira_platspec_makefullname(units.data(), part, units.data() + part,
                                                  n - part, g, &joined, &joinedlen);
  if (err) {
    FUZZ_CHECK(err == QIRA_ERR_TOOLONG);
    FUZZ_CHECK(part >= 1 && part == n);  // an empty entry name after a separator
    return;
  }
  if (part >= 1) {
    FUZZ_CHECK(joinedlen == n);
    FUZZ_CHECK(memcmp(joined, units.data(), n * sizeof(uint16_t)) == 0);
  } else {
    FUZZ_CHECK(joinedlen == n + 1 && joined[0] == '/');
    FUZZ_CHECK(n == 0 || memcmp(joined + 1, units.data(), n * sizeof(uint16_t)) == 0);
  }
  Mem_Free(joined);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  const char *tmp = getenv("TMPDIR");
  std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/qira-fuzz-paths-XXXXXX";
  FUZZ_CHECK(mkdtemp(tmpl.data()) != nullptr);
  g_root = tmpl;
  atexit(removetree);
  for (const char *d : {"/a", "/a/b", "/a/b/c", "/home", "/home/a", "/d", "/a/\xff",
                        "/a/\xc3\xa9", "/a/~nosuchuser_qira", "/a/b/~nosuchuser_qira"})
    makedir(g_root + d);
  for (const char *f : {"/f", "/a/f", "/a/b/f", "/home/f"}) {
    int fd = open((g_root + f).c_str(), O_WRONLY | O_CREAT, 0644);
    FUZZ_CHECK(fd >= 0);
    close(fd);
  }
  FUZZ_CHECK(symlink((g_root + "/a/b").c_str(), (g_root + "/l").c_str()) == 0);
  FUZZ_CHECK(symlink("nowhere", (g_root + "/a/l").c_str()) == 0);
  FUZZ_CHECK(symlink("..", (g_root + "/a/b/l").c_str()) == 0);
  FUZZ_CHECK(chdir((g_root + "/a").c_str()) == 0);
  FUZZ_CHECK(setenv("HOME", (g_root + "/home").c_str(), 1) == 0);
  fz::UseLocale(true);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fz::Reader in(data, size);
  std::vector<uint16_t> units;
  if (in.u8() & 1) {
    units = tokenname(in);
  } else {
    units.resize(in.left() / 2);
    for (uint16_t &u : units) u = in.u16();
  }

  fz::Group g;
  checksplitjoin(units, g);
  FUZZ_CHECK(g.Empty());

  uint16_t *full = reinterpret_cast<uint16_t *>(0x1);
  uint32_t fulllen = 0xDEAD;
  char *native = reinterpret_cast<char *>(0x1);
  uint16_t isdir = 0xDEAD;
  const uint32_t err = qira_platspec_nameandcheckdir(units.data(), uint32_t(units.size()), g,
                                                     &full, &fulllen, &native, &isdir);
  if (err != QIRA_OK) {
    FUZZ_CHECK(full == reinterpret_cast<uint16_t *>(0x1) && fulllen == 0xDEAD);
    FUZZ_CHECK(native == reinterpret_cast<char *>(0x1) && isdir == 0xDEAD);
    FUZZ_CHECK(err == QIRA_ERR_NOTFOUND || err == QIRA_ERR_CONVERT ||
               err == QIRA_ERR_TOOLONG || (err & QIRA_ERR_SYSTEM) == QIRA_ERR_SYSTEM);
    FUZZ_CHECK(g.Empty());
    return 0;
  }
  FUZZ_CHECK(native[0] == '/');
  // Text, or the bytes-only form of the whole name: a marker in unit 0 only.
  const uint32_t lead = bytesonly(full, fulllen) ? 1 : 0;
  FUZZ_CHECK(fulllen > lead && full[lead] == '/');
  if (!lead)
    for (uint32_t k = 1; k < fulllen; ++k) FUZZ_CHECK(full[k] != 0);
  struct stat st;
  FUZZ_CHECK(stat(native, &st) == 0);
  FUZZ_CHECK(isdir == (S_ISDIR(st.st_mode) ? 1 : 0));
  // Only the resolved name itself, never a separator run at its end.
  const size_t len = strlen(native);
  if (len > 1) FUZZ_CHECK(native[len - 1] != '/');
  char *again = nullptr;
  FUZZ_CHECK(_x_getallocednativechars(full, fulllen, g, &again) == QIRA_OK);
  FUZZ_CHECK(strcmp(again, native) == 0);
  Mem_Free(again);
  Mem_Free(full);
  Mem_Free(native);
  FUZZ_CHECK(g.Empty());
  return 0;
}
