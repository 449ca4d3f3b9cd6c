// The platform layer against what a plain C program does, measured in the same
// run:
//  - listing a directory of 100,000 empty files through the directory search
//    (entry-info record and UTF-16 name per entry) against a loop of readdir,
//    stat of the full path and access(W_OK) with one reusable path buffer;
//  - copying a 256 MiB file through the forked worker (4096-byte chunks, the
//    host sleeping in the yield function) against cp(1).
// Prints the ratios; every file made here is removed again.
#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "plainlist.h"
#include "qira.h"

extern char **environ;

namespace {

constexpr uint32_t kEntries = 100000;
constexpr uint64_t kCopyBytes = uint64_t(256) << 20;

std::string g_root;      // scratch root for the copies, removed at the end
std::string g_listroot;  // scratch root for the listing (may be g_root)
std::string g_listdir;   // kEntries empty files
std::string g_src;      // kCopyBytes of data
std::string g_dst;
QiraMemGroup *g_group = nullptr;

void Die(const std::string &what) {
  perror(what.c_str());
  exit(1);
}

std::string MakeRoot(const std::string &parent) {
  std::string tmpl = parent + "/qira-platbench-XXXXXX";
  if (!mkdtemp(tmpl.data())) Die("mkdtemp in " + parent);
  return tmpl;
}

void MakeFiles() {
  const char *tmp = getenv("TMPDIR");
  g_root = MakeRoot(tmp && *tmp ? tmp : "/tmp");
  // Making 100,000 files on a busy disk takes longer than all the measuring;
  // in memory (tmpfs) it takes a second, and both loops list the same directory.
  struct stat st;
  bool shm = stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) && access("/dev/shm", W_OK) == 0;
  g_listroot = shm ? MakeRoot("/dev/shm") : g_root;
  g_listdir = g_listroot + "/list";
  if (mkdir(g_listdir.c_str(), 0755) != 0) Die(g_listdir);
  for (uint32_t i = 0; i < kEntries; ++i) {
    std::string p = g_listdir + "/f" + std::to_string(i);
    int fd = open(p.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    if (fd < 0) Die(p);
    close(fd);
  }
  g_src = g_root + "/src";
  g_dst = g_root + "/dst";
  int fd = open(g_src.c_str(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) Die(g_src);
  std::vector<char> buf(1 << 20);
  uint64_t x = 0x9E3779B97F4A7C15ull;
  for (uint64_t done = 0; done < kCopyBytes; done += buf.size()) {
    for (size_t i = 0; i < buf.size(); i += 8) {  // incompressible, not sparse
      x ^= x << 13, x ^= x >> 7, x ^= x << 17;
      memcpy(&buf[i], &x, 8);
    }
    if (write(fd, buf.data(), buf.size()) != ssize_t(buf.size())) Die("write source");
  }
  close(fd);
  printf("listing %s, copying in %s\n", g_listdir.c_str(), g_root.c_str());
}

void RemoveFiles() {
  for (uint32_t i = 0; i < kEntries; ++i) unlink((g_listdir + "/f" + std::to_string(i)).c_str());
  rmdir(g_listdir.c_str());
  if (g_listroot != g_root) rmdir(g_listroot.c_str());
  unlink(g_src.c_str());
  unlink(g_dst.c_str());
  rmdir(g_root.c_str());
}

void BM_PlainListing(benchmark::State &state) {
  for (auto _ : state) {
    if (PlainListOnce(g_listdir) != kEntries)
      state.SkipWithError("plain loop saw the wrong number of entries");
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * kEntries);
}

void BM_SearchListing(benchmark::State &state) {
  for (auto _ : state) {
    QiraSearch *s = nullptr;
    if (qira_platspec_search_start(g_listdir.c_str(), g_group, &s) != QIRA_OK) {
      state.SkipWithError("search_start failed");
      break;
    }
    uint64_t seen = 0, writable = 0;
    QiraEntryInfo rec;
    uint32_t err;
    while ((err = qira_platspec_search_getnext(s, g_group, &rec)) != QIRA_ERR_NOTFOUND) {
      if (err != QIRA_OK) continue;
      writable += rec.readonly == 0;
      Mem_Free(rec.name);
      ++seen;
    }
    qira_platspec_search_term(s);
    benchmark::DoNotOptimize(writable);
    if (seen != kEntries) state.SkipWithError("search saw the wrong number of entries");
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * kEntries);
}

std::vector<uint16_t> Units(const std::string &s) { return std::vector<uint16_t>(s.begin(), s.end()); }

void BM_WorkerCopy(benchmark::State &state) {
  std::vector<uint16_t> dst = Units(g_dst);
  for (auto _ : state) {
    QiraWorker *w = nullptr;
    if (qira_platspec_copy_start(g_src.c_str(), dst.data(), uint32_t(dst.size()), 1, g_group, &w) !=
        QIRA_OK) {
      state.SkipWithError("copy_start failed");
      break;
    }
    QiraYieldRec rec;
    QiraResult res{};
    qira_platspec_setyielddata(w, &rec, sizeof rec, &res);
    void *runs[1] = {&rec};
    uint32_t r;
    while ((r = qira_platspec_copymove_getresult(w)) == QIRA_BLOCK_WAIT)
      TARVOYield_Lnx_SockOrTime(runs, 1, 1);
    qira_platspec_copymove_terminate(w);
    if (r != QIRA_OK) state.SkipWithError("copy failed");
    state.PauseTiming();
    unlink(g_dst.c_str());
    state.ResumeTiming();
  }
  state.SetBytesProcessed(int64_t(state.iterations() * kCopyBytes));
}

void BM_CpCopy(benchmark::State &state) {
  for (auto _ : state) {
    pid_t pid;
    char *argv[] = {const_cast<char *>("cp"), g_src.data(), g_dst.data(), nullptr};
    int status = 0;
    if (posix_spawnp(&pid, "cp", nullptr, nullptr, argv, environ) != 0 ||
        waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      state.SkipWithError("cp failed");
      break;
    }
    state.PauseTiming();
    unlink(g_dst.c_str());
    state.ResumeTiming();
  }
  state.SetBytesProcessed(int64_t(state.iterations() * kCopyBytes));
}

// Wall-clock time, since the copies run in other processes; the machine is
// shared, so every benchmark runs a few times and the fastest run counts.
BENCHMARK(BM_PlainListing)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(3)->UseRealTime();
BENCHMARK(BM_SearchListing)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(3)->UseRealTime();
BENCHMARK(BM_CpCopy)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(3)->UseRealTime();
BENCHMARK(BM_WorkerCopy)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(3)->UseRealTime();

// Keeps the fastest real and CPU time per iteration of every benchmark, by
// its base name.
class Recorder : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run> &runs) override {
    for (const Run &r : runs) {
      if (r.run_type == Run::RT_Iteration && !r.error_occurred) {
        std::string name = r.benchmark_name();
        name = name.substr(0, name.find('/'));
        keepmin(real, name, r.GetAdjustedRealTime());
        keepmin(cpu, name, r.GetAdjustedCPUTime());
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  double ratio(const std::map<std::string, double> &t, const char *a, const char *b) const {
    auto x = t.find(a), y = t.find(b);
    return x == t.end() || y == t.end() ? -1.0 : x->second / y->second;
  }
  std::map<std::string, double> real, cpu;

 private:
  static void keepmin(std::map<std::string, double> &t, const std::string &k, double v) {
    auto it = t.find(k);
    if (it == t.end() || v < it->second) t[k] = v;
  }
};

}  // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  if (Mem_GroupGet(nullptr, QIRA_GROUP_HEAP, 0, &g_group) != QIRA_OK) return 1;
  MakeFiles();
  Recorder rec;
  benchmark::RunSpecifiedBenchmarks(&rec);
  if (rec.real.count("BM_SearchListing") && rec.real.count("BM_PlainListing")) {
    printf("listing: %.3f us per entry through the search, %.3f us plain, ratio %.2f "
           "(target <= 1.3); CPU time ratio %.2f\n",
           rec.real["BM_SearchListing"] * 1000.0 / kEntries,
           rec.real["BM_PlainListing"] * 1000.0 / kEntries,
           rec.ratio(rec.real, "BM_SearchListing", "BM_PlainListing"),
           rec.ratio(rec.cpu, "BM_SearchListing", "BM_PlainListing"));
  }
  if (rec.real.count("BM_WorkerCopy") && rec.real.count("BM_CpCopy")) {
    printf("copy of 256 MiB: %.0f ms through the worker (4096-byte chunks), %.0f ms with cp, "
           "ratio %.2f\n",
           rec.real["BM_WorkerCopy"], rec.real["BM_CpCopy"],
           rec.ratio(rec.real, "BM_WorkerCopy", "BM_CpCopy"));
  }
  RemoveFiles();
  Mem_GroupFree(g_group);
  benchmark::Shutdown();
  return 0;
}
