// A destination file system that fills up: a small tmpfs mounted in a
// private mount namespace, so nothing outside this process sees it.  Needs
// root and a kernel that lets this process have a namespace of its own;
// skipped with the reason otherwise.
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/statvfs.h>

#include "e2e/e2e.h"

namespace e2e {
namespace {

// Gives this process a mount namespace of its own, once; the mounts below
// are then invisible to everything else and vanish with the process.
bool PrivateMounts(std::string *why) {
  static int state = 0;  // 0 untried, 1 ready, -1 refused
  static std::string reason;
  if (state == 0) {
    if (geteuid() != 0) {
      reason = "not root";
    } else if (unshare(CLONE_NEWNS) != 0) {
      reason = std::string("unshare(CLONE_NEWNS): ") + strerror(errno);
    } else if (mount("none", "/", "none", MS_REC | MS_PRIVATE, nullptr) != 0) {
      reason = std::string("making mounts private: ") + strerror(errno);
    }
    state = reason.empty() ? 1 : -1;
  }
  *why = reason;
  return state == 1;
}

// A tmpfs of the given size and inode count on a fresh directory; unmounted
// when it goes away.
class SmallFs {
 public:
  SmallFs(const std::string &where, const char *options) : path_(where) {
    if (mkdir(path_.c_str(), 0755) != 0) {
      why_ = strerror(errno);
      return;
    }
    if (mount("qira-test", path_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options) != 0) {
      why_ = std::string("mount tmpfs: ") + strerror(errno);
      return;
    }
    mounted_ = true;
  }
  ~SmallFs() {
    if (mounted_) umount2(path_.c_str(), MNT_DETACH);
  }
  bool ok() const { return mounted_; }
  const std::string &why() const { return why_; }
  // Blocks in use: back to what it was when nothing partial is left behind.
  uint64_t used() const {
    struct statvfs v {};
    statvfs(path_.c_str(), &v);
    return uint64_t(v.f_blocks - v.f_bfree);
  }
  uint64_t inodesUsed() const {
    struct statvfs v {};
    statvfs(path_.c_str(), &v);
    return uint64_t(v.f_files - v.f_ffree);
  }

 private:
  std::string path_;
  std::string why_;
  bool mounted_ = false;
};

class FullFs : public HostTest {
 protected:
  void RunOne(const char *options, int prefill, const char *method, const std::string &content);
};

TEST_F(FullFs, CopyOrMoveOntoAFullFileSystemFailsAndLeavesNothing) {
  std::string why;
  if (!PrivateMounts(&why)) GTEST_SKIP() << "no private mount namespace: " << why;

  const std::string content = Content(1 << 20, 3);
  qt::WriteFile(dir_ / "src", content);
  ASSERT_EQ(::chmod((dir_ / "src").c_str(), 0644), 0);

  struct Case {
    const char *what;
    const char *options;
    int prefill;  // files made on the tmpfs before the copy
  };
  // 256 KiB of room for a 1 MiB file: the copy loop meets ENOSPC part way.
  // Room for only the files already there: the destination cannot be made.
  const Case cases[] = {
      {"no room for the data", "size=256k,nr_inodes=64,mode=0755", 0},
      {"no inode for the destination", "size=4m,nr_inodes=3,mode=0755", 8},
  };
  for (const Case &c : cases) {
    for (const char *method : {"copy", "move"}) {
      SCOPED_TRACE(std::string(c.what) + ", " + method);
      RunOne(c.options, c.prefill, method, content);
      ::rmdir((dir_ / "small").c_str());
    }
  }
}

void FullFs::RunOne(const char *options, int prefill, const char *method,
                    const std::string &content) {
  SmallFs fs(dir_ / "small", options);
  ASSERT_TRUE(fs.ok()) << fs.why();
  // Fill the inode table: files until the file system refuses one more.
  for (int i = 0; i < prefill; ++i) {
    const std::string p = dir_ / ("small/pre" + std::to_string(i));
    const int fd = ::open(p.c_str(), O_CREAT | O_WRONLY, 0644);
    if (fd < 0) break;
    ::close(fd);
  }
  const uint64_t used = fs.used(), inodes = fs.inodesUsed();
  Ref e = Entry(dir_ / "src");
  ASSERT_TRUE(e);
  const std::string dst = dir_ / "small/dst";
  Done d = CopyMove(e, method, dst, false);
  EXPECT_FALSE(d.out.ok());
  EXPECT_EQ(d.code, QIRA_ERR_SYSTEM | ENOSPC);
  EXPECT_FALSE(qt::Exists(dst)) << "a partial destination was left";
  EXPECT_EQ(fs.used(), used);
  EXPECT_EQ(fs.inodesUsed(), inodes);
  EXPECT_TRUE(Holds(dir_ / "src", content)) << "the source changed";
  // The failed move leaves the entry describing the source.
  EXPECT_EQ(Text(e, "name"), "src");
  e.reset();
  ExpectNoZombieWorker();
}

}  // namespace
}  // namespace e2e
