// A destination file system that fills up: a small tmpfs in a private mount
// namespace.  Needs root and a kernel that allows the namespace.
#include <sched.h>
#include <sys/mount.h>
#include <sys/statvfs.h>

#include "objects/fixture.h"

namespace objtest {
namespace {

// Blocks and inodes in use: as before when nothing partial is left behind.
std::pair<uint64_t, uint64_t> Used(const std::string &path) {
  struct statvfs v {};
  statvfs(path.c_str(), &v);
  return {v.f_blocks - v.f_bfree, v.f_files - v.f_ffree};
}

class FullFs : public ObjTest {};

// 256 KiB of room for a 1 MiB file: the copy loop meets ENOSPC part way.
TEST_F(FullFs, CopyOrMoveOntoAFullFileSystemFailsAndLeavesNothing) {
  if (geteuid() != 0) GTEST_SKIP() << "not root";
  // Mounts in a namespace of this process's own vanish with it, unseen outside.
  if (unshare(CLONE_NEWNS) != 0 || mount("none", "/", "none", MS_REC | MS_PRIVATE, nullptr) != 0)
    GTEST_SKIP() << "no private mount namespace: " << strerror(errno);
  const std::string content = Content(1 << 20, 3), small = dir_ / "small", dst = small + "/dst";
  qt::WriteFile(dir_ / "src", content);
  ASSERT_EQ(::mkdir(small.c_str(), 0755), 0);
  ASSERT_EQ(mount("qira-test", small.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=256k,mode=0755"), 0)
      << strerror(errno);
  const auto used = Used(small);
  for (const char *method : {"copy", "move"}) {
    SCOPED_TRACE(method);
    Ref e = Entry(dir_ / "src");
    ASSERT_TRUE(e);
    Done d = CopyMove(e, method, dst, false);
    EXPECT_FALSE(d.out.ok());
    EXPECT_EQ(d.code, QIRA_ERR_SYSTEM | ENOSPC);
    EXPECT_FALSE(qt::Exists(dst)) << "a partial destination was left";
    EXPECT_EQ(Used(small), used);
    EXPECT_TRUE(Holds(dir_ / "src", content)) << "the source changed";
    // The failed move leaves the entry describing the source.
    EXPECT_EQ(Text(e, "name"), "src");
  }
  umount2(small.c_str(), MNT_DETACH);
}

}  // namespace
}  // namespace objtest
