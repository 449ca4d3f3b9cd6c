// list_timing [ENTRIES] [ROUNDS]: listing a directory of ENTRIES (default
// 100,000) empty files three ways, in alternating rounds (default 7):
//   plain   readdir, stat of the full name and access(W_OK), one path buffer:
//           what a careful C program does without the module;
//   search  the platform's directory search (entry-info record, UTF-16 name);
//   module  opening the directory through the host stand-in and qira.so,
//           which lists every entry into the directory object.
// Prints the median wall and CPU time per entry of each and the ratios of the
// medians (search / plain, module / plain), then the memory a listed entry
// costs in the directory's group beyond its name.
//
// A plain program rather than a Google Benchmark one, so that it builds in
// the i386 tree too, where the distribution has no benchmark library.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "plainlist.h"
#include "host/host.h"
#include "objects/objects.h"
#include "support/imem.h"

namespace {

double Now(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// A scratch directory on /dev/shm when it is writable (making a million files
// on a disk takes longer than all the measuring), else under $TMPDIR or /tmp.
std::string MakeTree(uint32_t entries) {
  const char *tmp = getenv("TMPDIR");
  std::string parent = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : (tmp && *tmp ? tmp : "/tmp");
  std::string dir = parent + "/qira-listtiming-XXXXXX";
  if (!mkdtemp(dir.data())) {
    perror("mkdtemp");
    exit(1);
  }
  for (uint32_t i = 0; i < entries; ++i) {
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

void RemoveTree(const std::string &dir, uint32_t entries) {
  for (uint32_t i = 0; i < entries; ++i) unlink((dir + "/f" + std::to_string(i)).c_str());
  rmdir(dir.c_str());
}

uint64_t SearchListOnce(const std::string &dir, QiraMemGroup *g) {
  QiraSearch *s = nullptr;
  if (qira_platspec_search_start(dir.c_str(), g, &s) != QIRA_OK) return 0;
  uint64_t seen = 0, writable = 0;
  QiraEntryInfo rec;
  uint32_t err;
  while ((err = qira_platspec_search_getnext(s, g, &rec)) != QIRA_ERR_NOTFOUND) {
    if (err != QIRA_OK) continue;
    writable += rec.readonly == 0;
    Mem_Free(rec.name);
    ++seen;
  }
  qira_platspec_search_term(s);
  KeepValue(writable);
  return seen;
}

uint64_t ModuleListOnce(qhost::Host &host, const std::string &dir) {
  qhost::CallOutcome out = host.construct("QIRAdirectory", {{"name", dir.c_str()}});
  if (!out.ok()) return 0;
  return static_cast<QiraDirPrivate *>(out.value.priv())->count;
}

struct Way {
  const char *name;
  std::vector<double> wall, cpu;
};

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Bytes of one name block in a small-block group: the UTF-16 units rounded
// like every request, never below the smallest block, plus the block header.
uint64_t NameBlockBytes(uint32_t units) {
  uint32_t n = qira_mem::roundup(units * 2);
  return uint64_t(n < qira_mem::kMinBlock ? qira_mem::kMinBlock : n) + qira_mem::kBlockHeader;
}

// What a listed directory holds in its own group, from its chunk list: every
// chunk whole (slack included) with the heap header its parent put in front.
void ReportMemory(qhost::Host &host, const std::string &dir, uint32_t entries) {
  qhost::CallOutcome out = host.construct("QIRAdirectory", {{"name", dir.c_str()}});
  if (!out.ok() || entries == 0) return;
  auto *d = static_cast<QiraDirPrivate *>(out.value.priv());
  uint64_t groupbytes = 0;
  for (QiraDNode *n = d->group->list.next; n != &d->group->list; n = n->next) {
    auto *c = reinterpret_cast<qira_mem::ChunkHeader *>(n);
    groupbytes += uint64_t(c->usable) + qira_mem::kChunkHeader + qira_mem::kHeapHeader;
  }
  uint64_t namebytes = 0;
  for (uint32_t i = 0; i < entries; ++i)
    namebytes += NameBlockBytes(uint32_t(1 + std::to_string(i).size()));
  std::printf("memory per entry beyond its name  %.1f bytes (%.1f with the name)\n",
              double(groupbytes - namebytes) / entries, double(groupbytes) / entries);
}

}  // namespace

int main(int argc, char **argv) {
  const uint32_t entries = argc > 1 ? uint32_t(strtoul(argv[1], nullptr, 10)) : 100000;
  const int rounds = argc > 2 ? atoi(argv[2]) : 7;
  std::string error;
  std::unique_ptr<qhost::Host> host = qhost::Host::load(QIRA_MODULE_PATH, error);
  if (!host || host->addTypes() != QIRA_OK) {
    std::fprintf(stderr, "cannot load %s: %s\n", QIRA_MODULE_PATH, error.c_str());
    return 1;
  }
  QiraMemGroup *group = nullptr;
  if (Mem_GroupGet(nullptr, QIRA_GROUP_HEAP, 0, &group) != QIRA_OK) return 1;
  const std::string dir = MakeTree(entries);

  Way ways[] = {{"plain", {}, {}}, {"search", {}, {}}, {"module", {}, {}}};
  const auto once = [&](int w) -> uint64_t {
    switch (w) {
      case 0: return PlainListOnce(dir);
      case 1: return SearchListOnce(dir, group);
      default: return ModuleListOnce(*host, dir);
    }
  };
  bool ok = true;
  for (int w = 0; w < 3; ++w) ok = ok && once(w) == entries;  // warm the caches
  // Each round runs the three in a rotated order, so none always runs first.
  for (int r = 0; ok && r < rounds; ++r) {
    for (int k = 0; k < 3; ++k) {
      const int w = (r + k) % 3;
      const double w0 = Now(CLOCK_MONOTONIC), c0 = Now(CLOCK_PROCESS_CPUTIME_ID);
      ok = ok && once(w) == entries;
      ways[w].cpu.push_back(Now(CLOCK_PROCESS_CPUTIME_ID) - c0);
      ways[w].wall.push_back(Now(CLOCK_MONOTONIC) - w0);
    }
  }
  if (!ok) {
    std::fprintf(stderr, "a listing saw the wrong number of entries\n");
    RemoveTree(dir, entries);
    return 1;
  }
  // A 32-bit program the kernel runs itself sees the kernel's machine
  // (x86_64); under qemu's user-mode emulator it sees the emulated one.
  utsname u{};
  uname(&u);
  std::printf("entries %u, %d rounds, %zu-bit build, machine as this program sees it: %s%s\n",
              entries, rounds, sizeof(void *) * 8, u.machine,
              sizeof(void *) == 4 && std::strcmp(u.machine, "x86_64") != 0 ? " (emulated)" : "");
  for (const Way &w : ways)
    std::printf("%-7s median %.3f us wall, %.3f us CPU per entry\n", w.name,
                Median(w.wall) * 1e6 / entries, Median(w.cpu) * 1e6 / entries);
  std::printf("ratio search / plain  %.2f wall, %.2f CPU\n",
              Median(ways[1].wall) / Median(ways[0].wall), Median(ways[1].cpu) / Median(ways[0].cpu));
  std::printf("ratio module / plain  %.2f wall, %.2f CPU\n",
              Median(ways[2].wall) / Median(ways[0].wall), Median(ways[2].cpu) / Median(ways[0].cpu));
  ReportMemory(*host, dir, entries);
  RemoveTree(dir, entries);
  Mem_GroupFree(group);
  return 0;
}
