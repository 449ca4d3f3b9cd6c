// A directory of a million entries (on demand): its listing must cost memory
// in proportion to its size.
#include <malloc.h>

#include "objects/fixture.h"

namespace objtest {
namespace {

class ListingFaults : public ObjTest {};

// Slow by design: runs only when asked, natively and without sanitizers,
// where the C library's heap figures mean something.
TEST_F(ListingFaults, MillionEntriesCostMemoryInProportion) {
  const char *ask = getenv("QIRA_BIG_LISTING");
  if (!ask || strcmp(ask, "1") != 0) GTEST_SKIP() << "runs in scripts/test-extra-stress (QIRA_BIG_LISTING=1)";
  if (kEmulatedMaybe) GTEST_SKIP() << "x86_64 only";
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "heap figures are the sanitizer's here";
#endif
  const uint32_t total = Scaled("QIRA_BIG_LISTING_COUNT", 1000000);
  std::string where = (qt::Exists("/dev/shm") ? "/dev/shm" : dir_.path()) + "/qira-big-XXXXXX";
  ASSERT_NE(mkdtemp(where.data()), nullptr);
  auto perEntry = [&](uint32_t n) {
    MakeFiles(where, n);  // the first ones again, emptied: same names, same size
    malloc_trim(0);
    const size_t before = mallinfo2().uordblks;
    const Ref dir = Dir(where);
    if (!dir) return 0.0;
    EXPECT_EQ(Prop(dir, "entrycount").toUint64(), std::optional<uint64_t>(n));
    EXPECT_TRUE(Run(dir, "getentry", {Arg("entry", int64_t(n))}).ok());
    const double bytes = double(mallinfo2().uordblks - before) / n;
    std::printf("%u entries: %.1f bytes per entry\n", n, bytes);
    return bytes;
  };
  const double small = perEntry(total / 10), big = perEntry(total);
  qt::RemoveTree(where);
  ASSERT_GT(small, 0);
  EXPECT_LT(big / small, 1.25);
  EXPECT_GT(big / small, 0.8);
}

}  // namespace
}  // namespace objtest
