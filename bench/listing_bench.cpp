// Opening and fully listing a directory of 100,000 empty files through the
// host stand-in and qira.so, against the plain loop a C program would write
// (readdir, stat, access(W_OK) per entry).  Prints the time ratio per entry
// and the memory a listed entry costs in the directory's group beyond its name.
#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>

#include <benchmark/benchmark.h>

#include "plainlist.h"
#include "host/host.h"
#include "objects/objects.h"
#include "support/imem.h"

namespace {

constexpr uint32_t kEntries = 100000;

qhost::Host *g_host = nullptr;
std::string g_dir;

// A fresh directory under $TMPDIR (or /tmp) holding kEntries empty files.
std::string MakeTree() {
  const char *tmp = getenv("TMPDIR");
  std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/qira-bench-XXXXXX";
  if (!mkdtemp(tmpl.data())) {
    perror("mkdtemp");
    exit(1);
  }
  const std::string &dir = tmpl;
  for (uint32_t i = 0; i < kEntries; ++i) {
    std::string p = dir + "/f" + std::to_string(i);
    int fd = ::open(p.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    if (fd < 0) {
      perror(p.c_str());
      exit(1);
    }
    ::close(fd);
  }
  return dir;
}

void RemoveTree(const std::string &dir) {
  for (uint32_t i = 0; i < kEntries; ++i) unlink((dir + "/f" + std::to_string(i)).c_str());
  rmdir(dir.c_str());
}

// The baseline: what listing costs without the module and the host.
void BM_PlainLoop(benchmark::State &state) {
  for (auto _ : state) {
    if (PlainListOnce(g_dir) != kEntries)
      state.SkipWithError("plain loop saw the wrong number of entries");
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * kEntries);
}

void BM_QiraListing(benchmark::State &state) {
  for (auto _ : state) {
    qhost::CallOutcome out = g_host->construct("QIRAdirectory", {{"name", g_dir.c_str()}});
    if (!out.ok()) {
      state.SkipWithError("listing failed");
      break;
    }
    benchmark::DoNotOptimize(out.value.get());
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * kEntries);
}

BENCHMARK(BM_PlainLoop)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_QiraListing)->Unit(benchmark::kMillisecond)->Iterations(5);

// Keeps the real time per iteration of every benchmark run.
class Recorder : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run> &runs) override {
    for (const Run &r : runs) {
      if (r.run_type == Run::RT_Iteration && !r.error_occurred) {
        times[r.benchmark_name()] = r.GetAdjustedRealTime();
        cpu[r.benchmark_name()] = r.GetAdjustedCPUTime();
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> times, cpu;
};

// Bytes of one name block in a small-block group: the UTF-16 units rounded
// like every request, never below the smallest block, plus the block header.
uint64_t NameBlockBytes(uint32_t units) {
  uint32_t n = qira_mem::roundup(units * 2);
  return uint64_t(n < qira_mem::kMinBlock ? qira_mem::kMinBlock : n) + qira_mem::kBlockHeader;
}

// What a listed directory holds in its own group, from its chunk list: every
// chunk whole (slack included) with the heap header its parent put in front.
void ReportMemory() {
  size_t before = mallinfo2().uordblks;
  qhost::CallOutcome out = g_host->construct("QIRAdirectory", {{"name", g_dir.c_str()}});
  if (!out.ok()) {
    printf("memory: listing failed with %u\n", out.status);
    return;
  }
  size_t after = mallinfo2().uordblks;
  auto *dir = static_cast<QiraDirPrivate *>(out.value.priv());
  uint64_t groupbytes = 0, chunks = 0;
  for (QiraDNode *n = dir->group->list.next; n != &dir->group->list; n = n->next) {
    auto *c = reinterpret_cast<qira_mem::ChunkHeader *>(n);
    groupbytes += uint64_t(c->usable) + qira_mem::kChunkHeader + qira_mem::kHeapHeader;
    ++chunks;
  }
  uint64_t namebytes = 0;
  for (uint32_t i = 0; i < kEntries; ++i) {
    namebytes += NameBlockBytes(uint32_t(1 + std::to_string(i).size()));
  }
  double perentry = double(groupbytes) / kEntries;
  double beyond = double(groupbytes - namebytes) / kEntries;
  printf("memory: %llu chunks, %.1f bytes per entry in the directory's group, "
         "%.1f of them beyond the name (target <= 250); malloc grew %.1f bytes per entry\n",
         (unsigned long long)chunks, perentry, beyond, double(after - before) / kEntries);
}

}  // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  std::string error;
  std::unique_ptr<qhost::Host> host = qhost::Host::load(QIRA_MODULE_PATH, error);
  if (!host || host->addTypes() != QIRA_OK) {
    fprintf(stderr, "cannot load %s: %s\n", QIRA_MODULE_PATH, error.c_str());
    return 1;
  }
  g_host = host.get();
  {
    g_dir = MakeTree();
    Recorder recorder;
    benchmark::RunSpecifiedBenchmarks(&recorder);
    auto plain = recorder.times.find("BM_PlainLoop/iterations:5");
    auto qira = recorder.times.find("BM_QiraListing/iterations:5");
    if (plain != recorder.times.end() && qira != recorder.times.end()) {
      printf("time: %.3f us per entry through qira, %.3f us plain, ratio %.2f (target <= 1.5)\n",
             qira->second * 1000.0 / kEntries, plain->second * 1000.0 / kEntries,
             qira->second / plain->second);
      // Wall time swings with the disk and other load; CPU time is steadier.
      double plaincpu = recorder.cpu[plain->first], qiracpu = recorder.cpu[qira->first];
      printf("cpu: %.3f us per entry through qira, %.3f us plain, ratio %.2f\n",
             qiracpu * 1000.0 / kEntries, plaincpu * 1000.0 / kEntries, qiracpu / plaincpu);
    }
    ReportMemory();
  }
  host.reset();
  RemoveTree(g_dir);
  benchmark::Shutdown();
  return 0;
}
