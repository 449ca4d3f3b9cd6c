// The support library's tree and small-block groups against the standard
// library, measured in the same run; each pair ends with its ratio
// (qira / baseline, below 1 means qira is faster).
//
// Tree: insert, exact find, nearest find and remove of 1M keys, sequential and
// random, against std::set.  The tree is intrusive, so its nodes exist before
// the clock starts; std::set allocates each node on insert and frees it on
// erase, which is its ordinary cost.  Removal erases through a held iterator,
// as TTree_RemNode is given the node.
//
// Memory: (a) 1M blocks of 100-140 bytes released at once with Mem_GroupFree
// against malloc and free() one by one; (b) a random mix of 16-4000 byte
// blocks, 1M replacements over 20000 live slots, against malloc/free.
//
// Where the tree loses: every link carries the node count of its subtree and
// every node a check countdown, so each insertion and removal writes every
// ancestor up to the root.  Removing a node in hand therefore costs a walk to
// the root (cold lines for random keys) against std::set's local fix-up, and
// removal by key or insertion pays that walk on top of the descent.  Searches
// write nothing and keep pace.  The small-block group's mixed workload is
// bounded the same way: a free and an allocation take two to four free-tree
// updates between them (take the merged neighbour off, put the grown block
// on, take the best fit off, put the split rest on), each a descent plus a
// walk to the root, where malloc serves most sizes from exact-size bins.
//
// The C library gives the top of its heap back to the kernel once more than
// 128 KiB of it is free.  Mem_GroupFree frees whole 16 KiB chunks, which
// coalesce and get trimmed, so each further iteration would pay the page
// faults of fresh memory again, while malloc's own freed small blocks sit in
// its bins and are never trimmed.  The run therefore keeps the heap (as a
// long-running host does) unless --malloc_trim is given; the "faults"
// counter shows the difference.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <numeric>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "qira.h"

namespace {

constexpr uint32_t kKeys = 1000000;

// ---- tree ------------------------------------------------------------------

// Keys are even, so an odd probe has no exact match and nearest search works.
// Every operation visits the keys in insertion order: ascending for the
// sequential set, shuffled for the random one.
struct KeySet {
  std::vector<uintptr_t> keys;
  std::vector<uintptr_t> misses;  // the odd value just below each key
  explicit KeySet(bool random) {
    keys.resize(kKeys);
    for (uint32_t i = 0; i < kKeys; ++i) keys[i] = 2 * uintptr_t(i) + 2;
    if (random) std::shuffle(keys.begin(), keys.end(), std::mt19937(42));
    misses.resize(kKeys);
    for (uint32_t i = 0; i < kKeys; ++i) misses[i] = keys[i] - 1;
  }
};

const KeySet &Keys(bool random) {
  static const KeySet seq(false), rnd(true);
  return random ? rnd : seq;
}

struct QiraTree {
  std::vector<TNode> nodes = std::vector<TNode>(kKeys);
  TTree tree{};
  bool built = false;
  void Build(const KeySet &k) {
    TTree_Init(&tree, Comp_ptrs);
    for (uint32_t i = 0; i < kKeys; ++i) {
      TNode_Init(&nodes[i], k.keys[i]);
      TTree_SearchAddNode(&tree, &nodes[i]);
    }
    built = true;
  }
};

struct StdTree {
  std::set<uintptr_t> set;
  std::vector<std::set<uintptr_t>::iterator> its;
  bool built = false;
  void Build(const KeySet &k) {
    set.clear();
    its.clear();
    its.reserve(kKeys);
    for (uintptr_t key : k.keys) its.push_back(set.insert(key).first);
    built = true;
  }
};

QiraTree &QTree(bool random) {
  static QiraTree seq, rnd;
  return random ? rnd : seq;
}
StdTree &STree(bool random) {
  static StdTree seq, rnd;
  return random ? rnd : seq;
}

template <class T>
void Ensure(benchmark::State &state, T &t, const KeySet &k) {
  if (t.built) return;
  state.PauseTiming();
  t.Build(k);
  state.ResumeTiming();
}

void QiraInsert(benchmark::State &state, bool random) {
  const KeySet &k = Keys(random);
  QiraTree &t = QTree(random);
  for (auto _ : state) {
    state.PauseTiming();
    TTree_Init(&t.tree, Comp_ptrs);
    for (uint32_t i = 0; i < kKeys; ++i) TNode_Init(&t.nodes[i], k.keys[i]);
    state.ResumeTiming();
    for (uint32_t i = 0; i < kKeys; ++i) TTree_SearchAddNode(&t.tree, &t.nodes[i]);
    t.built = true;
  }
}

void StdInsert(benchmark::State &state, bool random) {
  const KeySet &k = Keys(random);
  StdTree &t = STree(random);
  for (auto _ : state) {
    state.PauseTiming();
    t.set.clear();
    t.its.clear();
    t.its.reserve(kKeys);
    state.ResumeTiming();
    for (uintptr_t key : k.keys) t.its.push_back(t.set.insert(key).first);
    t.built = true;
  }
}

void QiraFind(benchmark::State &state, bool random) {
  const KeySet &k = Keys(random);
  QiraTree &t = QTree(random);
  Ensure(state, t, k);
  for (auto _ : state)
    for (uintptr_t key : k.keys) benchmark::DoNotOptimize(TTree_Search(&t.tree, key));
}

void StdFind(benchmark::State &state, bool random) {
  const KeySet &k = Keys(random);
  StdTree &t = STree(random);
  Ensure(state, t, k);
  for (auto _ : state)
    for (uintptr_t key : k.keys) benchmark::DoNotOptimize(t.set.find(key));
}

void QiraNearest(benchmark::State &state, bool random) {
  const KeySet &k = Keys(random);
  QiraTree &t = QTree(random);
  Ensure(state, t, k);
  for (auto _ : state)
    for (uintptr_t key : k.misses) benchmark::DoNotOptimize(TTree_SearchNotExact(&t.tree, key, 1));
}

void StdNearest(benchmark::State &state, bool random) {
  const KeySet &k = Keys(random);
  StdTree &t = STree(random);
  Ensure(state, t, k);
  for (auto _ : state)
    for (uintptr_t key : k.misses) benchmark::DoNotOptimize(t.set.lower_bound(key));
}

// Removal of a node in hand: TTree_RemNode against erase through a held
// iterator.  The structure is rebuilt outside the clock when needed.
void QiraRemove(benchmark::State &state, bool random) {
  const KeySet &k = Keys(random);
  QiraTree &t = QTree(random);
  for (auto _ : state) {
    Ensure(state, t, k);
    for (TNode &n : t.nodes) TTree_RemNode(&t.tree, &n);
    t.built = false;
  }
}

void StdRemove(benchmark::State &state, bool random) {
  const KeySet &k = Keys(random);
  StdTree &t = STree(random);
  for (auto _ : state) {
    Ensure(state, t, k);
    for (auto it : t.its) t.set.erase(it);
    t.built = false;
  }
}

// The least any removal of a node in hand must do with this tree's links:
// every link on the way to the root carries its subtree's node count, so each
// ancestor's link loses one.  Only that walk, in the removal order, on the
// whole tree (which keeps its shape; the counts are thrown away afterwards).
void FloorRemove(benchmark::State &state, bool random) {
  const KeySet &k = Keys(random);
  QiraTree &t = QTree(random);
  for (auto _ : state) {
    Ensure(state, t, k);
    for (TNode &n : t.nodes) {
      for (TNode *c = &n; c->parent; c = c->parent) c->parent->link[c->side].count -= 1;
      t.tree.root.count -= 1;
    }
    t.built = false;
  }
}

// Removal by key: search, then remove, against erase(key).
void QiraFindRemove(benchmark::State &state, bool random) {
  const KeySet &k = Keys(random);
  QiraTree &t = QTree(random);
  for (auto _ : state) {
    Ensure(state, t, k);
    for (uintptr_t key : k.keys) TTree_RemNode(&t.tree, TTree_Search(&t.tree, key));
    t.built = false;
  }
}

void StdFindRemove(benchmark::State &state, bool random) {
  const KeySet &k = Keys(random);
  StdTree &t = STree(random);
  for (auto _ : state) {
    Ensure(state, t, k);
    for (uintptr_t key : k.keys) t.set.erase(key);
    t.built = false;
  }
}

// ---- memory ------------------------------------------------------------------

constexpr uint32_t kBlocks = 1000000;
constexpr uint32_t kSlots = 20000;
constexpr uint32_t kChunk = 16384;  // what directory groups use

std::vector<uint32_t> Sizes(uint32_t n, uint32_t lo, uint32_t hi, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<uint32_t> d(lo, hi);
  std::vector<uint32_t> v(n);
  for (uint32_t &s : v) s = d(rng);
  return v;
}

void Touch(void *p) { static_cast<volatile char *>(p)[0] = 1; }

long MinorFaults() {
  rusage u;
  getrusage(RUSAGE_SELF, &u);
  return u.ru_minflt;
}

// Page faults per iteration, as a counter beside the time.
class FaultCount {
 public:
  explicit FaultCount(benchmark::State &state) : state_(state), start_(MinorFaults()) {}
  ~FaultCount() {
    state_.counters["faults"] = benchmark::Counter(double(MinorFaults() - start_),
                                                   benchmark::Counter::kAvgIterations);
  }

 private:
  benchmark::State &state_;
  long start_;
};

// Each memory benchmark runs one untimed round first, so both sides start
// from a heap that has already been faulted in, whichever runs first.
void GroupBulkRound(const std::vector<uint32_t> &sizes) {
  QiraMemGroup *g = nullptr;
  if (Mem_GroupGet(nullptr, QIRA_GROUP_SMALL, kChunk, &g) != QIRA_OK) std::abort();
  for (uint32_t s : sizes) Touch(Mem_Alloc(g, s));
  Mem_GroupFree(g);
}

void MallocBulkRound(const std::vector<uint32_t> &sizes, std::vector<void *> &blocks) {
  for (uint32_t i = 0; i < kBlocks; ++i) {
    blocks[i] = std::malloc(sizes[i]);
    Touch(blocks[i]);
  }
  for (void *b : blocks) std::free(b);
}

void GroupBulk(benchmark::State &state) {
  const std::vector<uint32_t> sizes = Sizes(kBlocks, 100, 140, 1);
  GroupBulkRound(sizes);
  FaultCount faults(state);
  for (auto _ : state) GroupBulkRound(sizes);
}

void MallocBulk(benchmark::State &state) {
  const std::vector<uint32_t> sizes = Sizes(kBlocks, 100, 140, 1);
  std::vector<void *> blocks(kBlocks);
  MallocBulkRound(sizes, blocks);
  FaultCount faults(state);
  for (auto _ : state) MallocBulkRound(sizes, blocks);
}

struct MixPlan {
  std::vector<uint32_t> sizes = Sizes(kBlocks + kSlots, 16, 4000, 2);
  std::vector<uint32_t> victims;
  MixPlan() {
    std::mt19937 rng(3);
    victims.resize(kBlocks);
    for (uint32_t &v : victims) v = rng() % kSlots;
  }
};

const MixPlan &Plan() {
  static const MixPlan p;
  return p;
}

void GroupMixedRound(const MixPlan &p, std::vector<void *> &live) {
  QiraMemGroup *g = nullptr;
  if (Mem_GroupGet(nullptr, QIRA_GROUP_SMALL, kChunk, &g) != QIRA_OK) std::abort();
  for (uint32_t i = 0; i < kSlots; ++i) Touch(live[i] = Mem_Alloc(g, p.sizes[i]));
  for (uint32_t i = 0; i < kBlocks; ++i) {
    void *&slot = live[p.victims[i]];
    Mem_Free(slot);
    Touch(slot = Mem_Alloc(g, p.sizes[kSlots + i]));
  }
  for (void *b : live) Mem_Free(b);
  Mem_GroupFree(g);
}

void MallocMixedRound(const MixPlan &p, std::vector<void *> &live) {
  for (uint32_t i = 0; i < kSlots; ++i) Touch(live[i] = std::malloc(p.sizes[i]));
  for (uint32_t i = 0; i < kBlocks; ++i) {
    void *&slot = live[p.victims[i]];
    std::free(slot);
    Touch(slot = std::malloc(p.sizes[kSlots + i]));
  }
  for (void *b : live) std::free(b);
}

void GroupMixed(benchmark::State &state) {
  const MixPlan &p = Plan();
  std::vector<void *> live(kSlots);
  GroupMixedRound(p, live);
  FaultCount faults(state);
  for (auto _ : state) GroupMixedRound(p, live);
}

void MallocMixed(benchmark::State &state) {
  const MixPlan &p = Plan();
  std::vector<void *> live(kSlots);
  MallocMixedRound(p, live);
  FaultCount faults(state);
  for (auto _ : state) MallocMixedRound(p, live);
}

// ---- ratios ------------------------------------------------------------------

// Benchmarks are named "<pair>:qira" and "<pair>:base"; after the run each
// pair prints qira's time over the baseline's.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run> &runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run &r : runs) {
      // A repeated benchmark counts by its fastest repetition (the "min"
      // aggregate); a single run by itself.
      if (r.run_type == Run::RT_Aggregate && r.aggregate_name != "min") continue;
      std::string name = r.run_name.function_name;
      const size_t colon = name.find(':');
      if (colon == std::string::npos) continue;
      const std::string side = name.substr(colon + 1);
      // CPU time: the machine is shared, and other processes stretch wall time.
      double &slot = times_[name.substr(0, colon)][side];
      if (r.run_type == Run::RT_Aggregate || slot == 0) slot = r.GetAdjustedCPUTime();
    }
  }
  void PrintRatios() const {
    std::printf("\n%-28s %12s %12s %8s\n", "pair (CPU time)", "qira", "baseline", "ratio");
    for (const auto &[pair, t] : times_) {
      auto q = t.find("qira"), b = t.find("base");
      if (q == t.end() || b == t.end()) continue;
      std::printf("%-28s %10.2fms %10.2fms %8.2f\n", pair.c_str(), q->second, b->second,
                  q->second / b->second);
    }
  }

 private:
  std::map<std::string, std::map<std::string, double>> times_;
};

void Register() {
  struct TreeOp {
    const char *name;
    void (*qira)(benchmark::State &, bool);
    void (*base)(benchmark::State &, bool);
  };
  // Registration order is run order: insert builds what find, nearest and
  // remove then use, so the run stays short.
  const TreeOp ops[] = {
      {"insert", QiraInsert, StdInsert},
      {"find", QiraFind, StdFind},
      {"nearest", QiraNearest, StdNearest},
      {"remove", QiraRemove, StdRemove},
      {"removefloor", FloorRemove, StdRemove},
      {"findremove", QiraFindRemove, StdFindRemove},
  };
  for (bool random : {false, true}) {
    for (const TreeOp &op : ops) {
      const std::string pair = std::string("tree_") + op.name + (random ? "_random" : "_seq");
      benchmark::RegisterBenchmark((pair + ":qira").c_str(), op.qira, random)
          ->Iterations(1)->Unit(benchmark::kMillisecond);
      benchmark::RegisterBenchmark((pair + ":base").c_str(), op.base, random)
          ->Iterations(1)->Unit(benchmark::kMillisecond);
    }
  }
  // Short and noisy on a shared machine: the fastest of three repetitions.
  const auto fastest = [](const std::vector<double> &v) { return *std::min_element(v.begin(), v.end()); };
  const std::pair<const char *, void (*)(benchmark::State &)> mem[] = {
      {"mem_bulk_1M:qira", GroupBulk},
      {"mem_bulk_1M:base", MallocBulk},
      {"mem_mixed_1M:qira", GroupMixed},
      {"mem_mixed_1M:base", MallocMixed},
  };
  for (const auto &[name, fn] : mem) {
    benchmark::RegisterBenchmark(name, fn)
        ->Iterations(1)->Repetitions(3)->ComputeStatistics("min", fastest)
        ->ReportAggregatesOnly(true)->Unit(benchmark::kMillisecond);
  }
}

}  // namespace

int main(int argc, char **argv) {
  bool trim = false;
  int kept = 1;
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--malloc_trim") trim = true;
    else argv[kept++] = argv[i];
  }
  argc = kept;
  if (!trim) mallopt(M_TRIM_THRESHOLD, 1 << 30);
  std::printf("C library heap trimming: %s\n", trim ? "default" : "off (--malloc_trim turns it on)");
  Register();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios();
  benchmark::Shutdown();
  return 0;
}
