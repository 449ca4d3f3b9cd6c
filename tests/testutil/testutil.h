// Helpers of every test executable: scratch files, UTF-16 conversions, guards of process state.
#pragma once

#include <sys/stat.h>

#include <clocale>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>
#include <string_view>

#include "host/utf.h"

namespace qt {

// A unique directory under the test temporary directory, removed with its contents.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir &) = delete;
  ScratchDir &operator=(const ScratchDir &) = delete;
  const std::string &path() const { return path_; }
  std::string operator/(std::string_view name) const { return path_ + "/" + std::string(name); }

 private:
  std::string path_;
};

void RemoveTree(const std::string &path);
void WriteFile(const std::string &path, std::string_view content);  // created or truncated
std::string ReadFile(const std::string &path);  // empty when it cannot be read
bool Exists(const std::string &path);
struct stat StatOf(const std::string &path);  // a failure to stat it fails the test
void SetTimes(const std::string &path, int64_t atime, int64_t mtime);
size_t OpenFds();  // descriptors open in this process
std::string Content(size_t n, uint32_t seed = 1);  // n bytes, different for every seed

// UTF-8 to UTF-16 and back, independent of the process locale.
inline std::u16string U16(std::string_view utf8) { return qhost::toU16(utf8); }
inline std::string U8(const uint16_t *units, uint32_t count) {
  return qhost::toU8(std::u16string_view(reinterpret_cast<const char16_t *>(units), count));
}
inline std::string U8(const std::u16string &s) {
  return U8(reinterpret_cast<const uint16_t *>(s.data()), uint32_t(s.size()));
}
inline const uint16_t *P(const std::u16string &s) {
  return reinterpret_cast<const uint16_t *>(s.data());
}

// Runs body in a forked child as an unprivileged user and returns its exit
// value (0 to 255; -1 when the child did not end normally).  Root gives itself
// up to uid and gid 65534 first, anyone else stays who they are.  A child that
// cannot become that user, or then cannot reach `reach` (a scratch tree under a
// TMPDIR only root may enter), runs nothing: skip says why.  prepare runs in
// the child while it still has its privileges, to open or load what it could
// not read afterwards.  Neither may use gtest assertions.
struct ChildResult {
  int code = -1;
  std::string skip;
};
ChildResult AsUnprivileged(const std::string &reach, const std::function<int()> &body,
                           const std::function<void()> &prepare = {});

// Restore an environment variable, the locale, the working directory when they go away.
class EnvGuard {
 public:
  explicit EnvGuard(const char *name);
  ~EnvGuard();
  void Set(const char *value);  // null unsets
 private:
  std::string name_;
  bool had_;
  std::string old_;
};

struct LocaleGuard {  // every category
  std::string old = setlocale(LC_ALL, nullptr) ? setlocale(LC_ALL, nullptr) : "C";
  bool ok_;
  explicit LocaleGuard(const char *name) : ok_(setlocale(LC_ALL, name) != nullptr) {}
  ~LocaleGuard() { setlocale(LC_ALL, old.c_str()); }
  bool ok() const { return ok_; }
};

class CwdGuard {
 public:
  CwdGuard();
  ~CwdGuard();
 private:
  std::string old_;
};

// Waits, up to 20 s, until every child of this process has ended, without
// collecting any: an ended child stays a zombie for whoever collects it.
// False when one still runs.
bool WaitChildrenEnded();
// The children of every thread of a process (this one by default), as the
// kernel lists them.
std::vector<int> Children(int parent = 0);

}  // namespace qt
