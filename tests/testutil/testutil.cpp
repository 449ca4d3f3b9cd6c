#include "testutil/testutil.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utime.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <vector>

#include <gtest/gtest.h>

namespace qt {

ScratchDir::ScratchDir() {
  std::string tmpl = ::testing::TempDir();
  tmpl += (tmpl.empty() || tmpl.back() != '/' ? "/" : "") + std::string("qira-XXXXXX");
  if (mkdtemp(tmpl.data())) path_ = tmpl;
  else ADD_FAILURE() << "mkdtemp failed: " << strerror(errno);
}

ScratchDir::~ScratchDir() {
  if (!path_.empty()) RemoveTree(path_);
}

void RemoveTree(const std::string &path) {
  struct stat st;
  if (lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    chmod(path.c_str(), 0700);  // a test may have closed it even to its owner
    DIR *d = opendir(path.c_str());
    while (dirent *e = d ? readdir(d) : nullptr)
      if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) RemoveTree(path + "/" + e->d_name);
    if (d) closedir(d);
  }
  remove(path.c_str());
}

void WriteFile(const std::string &path, std::string_view content) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(content.data(), std::streamsize(content.size()));
}

std::string ReadFile(const std::string &path) {
  // read(2), not a stream: a /proc file of a process that ends meanwhile fails
  // with ESRCH, which a stream would turn into an exception.
  std::string out;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  char buf[65536];
  for (ssize_t n; fd >= 0 && ((n = read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR));)
    if (n > 0) out.append(buf, size_t(n));
  if (fd >= 0) close(fd);
  return out;
}

bool Exists(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

struct stat StatOf(const std::string &path) {
  struct stat st {};
  EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
  return st;
}

void SetTimes(const std::string &path, int64_t atime, int64_t mtime) {
  const struct utimbuf t = {.actime = time_t(atime), .modtime = time_t(mtime)};
  ASSERT_EQ(utime(path.c_str(), &t), 0) << path;
}

size_t OpenFds() {
  size_t n = 0;
  DIR *d = opendir("/proc/self/fd");
  while (dirent *e = d ? readdir(d) : nullptr) n += e->d_name[0] != '.';
  if (d) closedir(d);
  return n;
}

std::string Content(size_t n, uint32_t seed) {
  std::string s(n, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (char &c : s) c = char((x = x * 1103515245u + 12345u) >> 16);
  return s;
}

namespace {

constexpr uid_t kNobody = 65534;

// Why this process cannot act unprivileged at reach, or empty once it does.
std::string BecomeUnprivileged(const std::string &reach) {
  if (geteuid() == 0) {
    if (setgroups(0, nullptr) != 0) return std::string("setgroups: ") + strerror(errno);
    if (setgid(kNobody) != 0) return std::string("setgid(65534): ") + strerror(errno);
    if (setuid(kNobody) != 0) return std::string("setuid(65534): ") + strerror(errno);
    if (setuid(0) == 0) return "root could be taken back after setuid(65534)";
  }
  if (access(reach.c_str(), X_OK) != 0)
    return "uid " + std::to_string(geteuid()) + " cannot reach " + reach + ": " +
           strerror(errno) + " (a TMPDIR inside a folder only root may enter?)";
  return {};
}

}  // namespace

ChildResult AsUnprivileged(const std::string &reach, const std::function<int()> &body,
                           const std::function<void()> &prepare) {
  ChildResult r;
  int why[2];
  if (pipe(why) != 0) {
    r.skip = std::string("pipe: ") + strerror(errno);
    return r;
  }
  fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    close(why[0]);
    if (prepare) prepare();
    const std::string refused = BecomeUnprivileged(reach);
    if (!refused.empty()) {
      if (write(why[1], refused.data(), refused.size()) < 0) _exit(126);
      _exit(125);
    }
    // Closed before body runs: processes body forks must not hold the parent's read open.
    close(why[1]);
    _exit(body() & 0xFF);
  }
  close(why[1]);
  if (pid < 0) {
    close(why[0]);
    r.skip = std::string("fork: ") + strerror(errno);
    return r;
  }
  char buf[512];
  ssize_t n;
  while ((n = read(why[0], buf, sizeof buf)) != 0) {
    if (n > 0) r.skip.append(buf, size_t(n));
    else if (errno != EINTR) break;
  }
  close(why[0]);
  int status = 0;
  if (waitpid(pid, &status, 0) == pid && WIFEXITED(status)) r.code = WEXITSTATUS(status);
  if (!r.skip.empty()) r.code = -1;
  return r;
}

EnvGuard::EnvGuard(const char *name) : name_(name) {
  const char *v = getenv(name);
  had_ = v != nullptr;
  if (v) old_ = v;
}
EnvGuard::~EnvGuard() {
  if (had_) setenv(name_.c_str(), old_.c_str(), 1);
  else unsetenv(name_.c_str());
}
void EnvGuard::Set(const char *value) {
  if (value) setenv(name_.c_str(), value, 1);
  else unsetenv(name_.c_str());
}

CwdGuard::CwdGuard() {
  char buf[4096];
  if (getcwd(buf, sizeof buf)) old_ = buf;
}
CwdGuard::~CwdGuard() {
  if (!old_.empty() && chdir(old_.c_str()) != 0) ADD_FAILURE() << "cannot restore cwd";
}

namespace {

// State and parent of a process, from /proc/<pid>/stat; false once it is gone.
bool ProcStat(long pid, char *state, long *ppid) {
  const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  const size_t close = stat.rfind(") ");
  return close != std::string::npos && sscanf(stat.c_str() + close + 1, " %c %ld", state, ppid) == 2;
}

bool Ended(int pid) {
  // Ended means a wait would collect it now.  A zombie's /proc state is not
  // enough: under an emulator such as qemu-i386 the main thread shows "Z"
  // while the emulator's other threads are still ending, and until they have
  // a wait finds nothing.  WNOWAIT asks without collecting.
  siginfo_t info{};
  if (waitid(P_PID, id_t(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0) return info.si_pid == pid;
  char state = 'Z';
  long ppid = 0;
  return errno == ECHILD && (!ProcStat(pid, &state, &ppid) || state == 'Z');
}

}  // namespace

std::vector<int> Children(int parent) {
  // From /proc/<pid>/stat: an emulator such as qemu-i386 shows its own view
  // of /proc/self, not the children of the program it runs.
  std::vector<int> pids;
  const long self = parent ? parent : long(getpid());
  DIR *d = opendir("/proc");
  while (dirent *e = d ? readdir(d) : nullptr) {
    char *end = nullptr, state = 0;
    const long pid = strtol(e->d_name, &end, 10);
    long ppid = 0;
    if (!*end && pid > 0 && ProcStat(pid, &state, &ppid) && ppid == self) pids.push_back(int(pid));
  }
  if (d) closedir(d);
  return pids;
}

bool WaitChildrenEnded() {
  for (int tries = 0; tries < 20000; ++tries) {
    bool all = true;
    for (int pid : Children()) all = all && Ended(pid);
    if (all) return true;
    usleep(1000);
  }
  return false;
}

}  // namespace qt
