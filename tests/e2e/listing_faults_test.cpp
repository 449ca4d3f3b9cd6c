// A million entries, on demand (scripts/test-extra-stress): the count carries into its second
// digit, the last entry is reached like the first.  Time and memory per entry: bench/scaling.py.
#include "objects/fixture.h"

namespace objtest {
namespace {

class ListingFaults : public ObjTest {};

TEST_F(ListingFaults, MillionEntriesAreCountedAndReached) {
  const char *ask = getenv("QIRA_BIG_LISTING");
  if (!ask || strcmp(ask, "1") != 0) GTEST_SKIP() << "runs in scripts/test-extra-stress (QIRA_BIG_LISTING=1)";
  const uint32_t total = Scaled("QIRA_BIG_LISTING_COUNT", 1000000);
  std::string where = (qt::Exists("/dev/shm") ? "/dev/shm" : dir_.path()) + "/qira-big-XXXXXX";
  ASSERT_NE(mkdtemp(where.data()), nullptr);
  MakeFiles(where, total);
  if (const Ref dir = Dir(where)) {
    EXPECT_EQ(Prop(dir, "entrycount").toUint64(), std::optional<uint64_t>(total));
    EXPECT_EQ(Prop(dir, "entrycount").digits().size(), total > 0xFFFF ? 2u : 1u);
    EXPECT_EQ(Text(Made(Run(dir, "getentry", {Arg("entry", int64_t(total))})), "name"), ReaddirOrder(where).back());
  }
  qt::RemoveTree(where);
}

}  // namespace
}  // namespace objtest
