// cp and mv: the module's copy and move run in a worker process while the
// tool, like a host, sleeps in the module's yield function.  Next to the
// module's record (the worker's pipe) the tool adds its own periodic record,
// so it wakes about ten times a second to show progress and to notice Ctrl-C.
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>

#include "tools/tool.h"

namespace qtool {
namespace {

// Period of the tool's own wake-ups, in milliseconds.
constexpr uint32_t kTickMs = 100;
// Refreshes closer together than this would only flicker.
constexpr auto kMinRefresh = std::chrono::milliseconds(80);

volatile sig_atomic_t g_interrupts = 0;

extern "C" void onInterrupt(int) { g_interrupts = g_interrupts + 1; }

// Catches SIGINT for the duration of a copy.  No SA_RESTART: the signal must
// cut the wait of the yield function short.  The worker puts this handler
// aside: Ctrl-C at the terminal ends it too, and an ended worker leaves no
// partial destination (a move holds the signal only while it puts the names
// in place).
class InterruptGuard {
 public:
  InterruptGuard() {
    g_interrupts = 0;
    struct sigaction sa {};
    sa.sa_handler = onInterrupt;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    sigaction(SIGINT, &sa, &old_);
  }
  ~InterruptGuard() { sigaction(SIGINT, &old_, nullptr); }
  InterruptGuard(const InterruptGuard &) = delete;
  InterruptGuard &operator=(const InterruptGuard &) = delete;

 private:
  struct sigaction old_ {};
};

// Collects the worker processes (the tool starts no other children).  The
// module never waits for them.  With `stoppable`, a further Ctrl-C ends the
// wait and leaves the worker running.
void waitForWorkers(bool stoppable) {
  const sig_atomic_t seen = g_interrupts;
  for (;;) {
    int st = 0;
    if (::waitpid(-1, &st, 0) > 0) continue;
    if (errno == EINTR && !(stoppable && g_interrupts != seen)) continue;
    return;
  }
}

std::string humanBytes(double n) {
  static constexpr const char *kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  size_t u = 0;
  while (n >= 1024 && u + 1 < std::size(kUnits)) {
    n /= 1024;
    ++u;
  }
  char buf[32];
  std::snprintf(buf, sizeof buf, u == 0 ? "%.0f %s" : "%.1f %s", n, kUnits[u]);
  return buf;
}

// The progress line on the terminal: bytes written out of the source size,
// rate and elapsed time, rewritten in place.
class Progress {
 public:
  explicit Progress(uint64_t total) : total_(total), start_(Clock::now()) {}

  void show(uint64_t written, bool force = false) {
    const Clock::time_point now = Clock::now();
    if (!force && shown_ && now - last_ < kMinRefresh) return;
    last_ = now;
    shown_ = true;
    const double secs = std::chrono::duration<double>(now - start_).count();
    const double rate = secs > 0 ? double(written) / secs : 0;
    char pct[16] = "";
    if (total_) std::snprintf(pct, sizeof pct, "  %3.0f%%", 100.0 * double(written) / double(total_));
    std::printf("\r%s / %s%s  %s/s  %.1f s\033[K", humanBytes(double(written)).c_str(),
                humanBytes(double(total_)).c_str(), pct, humanBytes(rate).c_str(), secs);
    std::fflush(stdout);
  }
  void done() {
    show(total_, true);
    std::printf("\n");
    std::fflush(stdout);
  }
  void clear() {
    if (!shown_) return;
    std::printf("\r\033[K");
    std::fflush(stdout);
  }

 private:
  using Clock = std::chrono::steady_clock;
  uint64_t total_;
  Clock::time_point start_;
  Clock::time_point last_{};
  bool shown_ = false;
};

std::string baseName(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The destination as the worker sees it: into DEST when DEST is an existing
// directory, as the shell commands do.
std::string destinationFor(Session &s, const std::string &src, const std::string &dest) {
  Outcome d = s.OpenEntry(dest);
  if (!d.ok() || s.Describe(d.value).type != "directory") return dest;
  const std::string base = baseName(src);
  if (base.empty() || base == "/") return dest;
  return dest + (dest.back() == '/' ? "" : "/") + base;
}

int copyOrMove(Session &s, const ParsedArgs &args, const char *cmd, const char *method) {
  const std::string &src = args.operands[0];
  Outcome entry = s.OpenEntry(src);
  if (!entry.ok()) {
    ReportFailure(cmd, ShowNative(src), entry.code);
    return kExitFailed;
  }
  const std::string dest = destinationFor(s, src, args.operands[1]);
  // The worker takes the destination as given, relative to the working
  // directory, while an entry's constructor expands a leading "~".
  const std::string probeName = !dest.empty() && dest[0] == '~' ? "./" + dest : dest;
  const uint64_t total = s.Describe(entry.value).size.value_or(0);

  // Nothing to measure for a directory or an empty file.
  const bool tty = ::isatty(STDOUT_FILENO) == 1 && total > 0;
  Progress progress(total);
  auto written = [&]() -> uint64_t {
    Outcome d = s.OpenEntry(probeName);
    return d.ok() ? s.Describe(d.value).size.value_or(0) : 0;
  };

  InterruptGuard guard;
  QiraYieldRec tick = qhost::Host::periodicRecord(kTickMs);
  qhost::RunOptions opts;
  opts.extraRuns = {&tick};
  opts.onBlock = [&](const qhost::BlockProgress &) {
    return g_interrupts ? qhost::Step::Abandon : qhost::Step::Continue;
  };
  opts.onWake = [&](const qhost::BlockProgress &) {
    if (g_interrupts) return qhost::Step::Abandon;
    if (tty) progress.show(written());
    return qhost::Step::Continue;
  };
  // The worker is a fork of this process and runs its exit handlers, which
  // would write out anything still buffered a second time.
  std::fflush(stdout);
  std::fflush(stderr);
  Outcome r = s.Call(entry.value, method,
                     {qhost::Arg("destination", ModuleName(dest)),
                      qhost::Arg("replace", args.has("replace"))},
                     opts);
  if (r.code == qhost::kHostErrAbandoned) {
    if (tty) progress.clear();
    std::fprintf(stderr,
                 "qira %s: interrupted; waiting for the worker to stop (Ctrl-C again to stop "
                 "waiting)\n",
                 cmd);
    waitForWorkers(true);
    return kExitInterrupted;
  }
  waitForWorkers(false);
  if (!r.ok()) {
    if (tty) progress.clear();
    ReportFailure(cmd, ShowNative(src) + " -> " + ShowNative(dest), r.code);
    return kExitFailed;
  }
  if (tty) progress.done();
  return kExitOk;
}

}  // namespace

int RunCp(Session &s, const ParsedArgs &args) { return copyOrMove(s, args, "cp", "copy"); }

int RunMv(Session &s, const ParsedArgs &args) { return copyOrMove(s, args, "mv", "move"); }

}  // namespace qtool
