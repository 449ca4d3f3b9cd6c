// QIRAdirectory end to end: the real qira.so, loaded by the host stand-in,
// on real scratch directories.  Every test ends with every object released
// and the module context's group back to where it started, apart from the
// two blocks (search record and its path buffer) each listing leaves there.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/host.h"
#include "objects/dirlist.h"
#include "testutil/testutil.h"

namespace {

using qhost::Arg;
using qhost::Args;
using qhost::CallOutcome;
using qhost::Ref;
using qhost::Value;
using qhost::Variable;

// What one listing leaves in the module context's group until teardown.
constexpr size_t kBlocksPerListing = 2;

// The names of a directory in the order readdir gives them, without . and ..
std::vector<std::string> ReaddirOrder(const std::string &path) {
  std::vector<std::string> names;
  DIR *d = opendir(path.c_str());
  if (!d) return names;
  while (dirent *e = readdir(d)) {
    if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, "..")) continue;
    names.push_back(e->d_name);
  }
  closedir(d);
  return names;
}

void MakeEmptyFiles(const std::string &dir, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) {
    std::string p = dir + "/f" + std::to_string(i);
    int fd = ::open(p.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0) << p;
    ::close(fd);
  }
}

class DirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string err;
    host_ = qhost::Host::load(QIRA_MODULE_PATH, err);
    ASSERT_TRUE(host_) << err;
    ASSERT_EQ(host_->addTypes(), QIRA_OK);
    blocks_ = host_->liveBlocks();
    objects_ = host_->liveObjects();
  }

  void TearDown() override {
    if (!host_) return;
    EXPECT_EQ(host_->liveObjects(), objects_) << "objects left alive";
    EXPECT_EQ(host_->openListings(), 0u);
    EXPECT_EQ(host_->liveBlocks(), blocks_ + kBlocksPerListing * listings_)
        << "blocks left in the module context's group";
    EXPECT_TRUE(host_->violations().empty())
        << (host_->violations().empty() ? "" : host_->violations().front());
  }

  // new(name[, error]); counts the listing it starts when the name resolves.
  CallOutcome Open(const std::string &name, Variable *error = nullptr) {
    Args args{Arg("name", name.c_str())};
    if (error) args.emplace_back("error", *error);
    CallOutcome out = host_->construct("QIRAdirectory", args);
    if (out.blockCalls > 0) ++listings_;
    return out;
  }

  // Opens a directory that must open.
  Ref OpenOk(const std::string &name) {
    CallOutcome out = Open(name);
    EXPECT_TRUE(out.ok()) << name << ": status " << out.status;
    return out.value;
  }

  CallOutcome Call(const Ref &dir, const char *method, Args args, Variable *error = nullptr) {
    if (error) args.emplace_back("error", *error);
    CallOutcome out = host_->call(dir, method, args);
    // Objects handed back by a method run as a block of their own too; only
    // getdirectory starts a listing.
    if (out.blockCalls > 0 && !strcmp(method, "getdirectory")) ++listings_;
    EXPECT_TRUE(out.argcOutWritten) << method;
    return out;
  }

  std::string Str(const Ref &obj, const char *prop) {
    auto v = host_->prop(obj, prop);
    return v ? v->utf8() : "<unset>";
  }

  uint64_t Count(const Ref &dir) {
    auto v = host_->prop(dir, "entrycount");
    return v && v->toUint64() ? *v->toUint64() : UINT64_MAX;
  }

  std::unique_ptr<qhost::Host> host_;
  qt::ScratchDir scratch_;
  size_t blocks_ = 0;
  size_t objects_ = 0;
  size_t listings_ = 0;
};

// Outcome of a failure that came after `error` was read: stored there and
// the call has no value; without a variable the code is the status.
void ExpectReported(const CallOutcome &out, Variable *error, uint32_t code) {
  if (error) {
    EXPECT_EQ(out.status, QIRA_OK);
    EXPECT_TRUE(out.noValue);
    EXPECT_FALSE(out.value);
    EXPECT_EQ(error->get().toUint64(), std::optional<uint64_t>(code));
  } else {
    EXPECT_EQ(out.status, code);
    EXPECT_FALSE(out.value);
  }
}

// Outcome of a failure that is the call's status even with a variable.
void ExpectStatus(const CallOutcome &out, Variable *error, uint32_t code) {
  EXPECT_EQ(out.status, code);
  EXPECT_FALSE(out.value);
  if (error) {
    EXPECT_TRUE(error->get().isNone()) << error->get();
  }
}

// ===== opening and listing ===================================================

TEST_F(DirTest, ListsEveryEntryNumberedInSearchOrder) {
  qt::WriteFile(scratch_ / "a.txt", "hello");
  qt::WriteFile(scratch_ / ".hidden", "");
  ASSERT_EQ(mkdir((scratch_ / "sub").c_str(), 0755), 0);
  Ref dir = OpenOk(scratch_.path());
  ASSERT_TRUE(dir);

  std::string base = scratch_.path().substr(scratch_.path().rfind('/') + 1);
  EXPECT_EQ(Str(dir, "name"), base);
  EXPECT_EQ(host_->propFlag(dir, "name"), std::optional<uint16_t>(1));
  EXPECT_EQ(Count(dir), 3u);
  auto value = host_->value(dir);
  EXPECT_EQ(value.status, QIRA_OK);
  EXPECT_EQ(value.tag, QIRA_TAG_STRING);
  EXPECT_EQ(value.value.utf8(), scratch_.path());

  std::vector<std::string> order = ReaddirOrder(scratch_.path());
  ASSERT_EQ(order.size(), 3u);
  for (uint32_t i = 1; i <= 3; ++i) {
    SCOPED_TRACE(i);
    CallOutcome e = Call(dir, "getentry", {Arg("entry", int(i))});
    ASSERT_TRUE(e.ok()) << e.status;
    EXPECT_EQ(Str(e.value, "name"), order[i - 1]);
    EXPECT_EQ(host_->value(e.value).value.utf8(), scratch_ / order[i - 1]);
    EXPECT_EQ(Str(e.value, "entrytype"), order[i - 1] == "sub" ? "directory" : "file");
  }
}

TEST_F(DirTest, EmptyDirectoryHasCountWithNoDigits) {
  CallOutcome out = Open(scratch_.path());
  ASSERT_TRUE(out.ok()) << out.status;
  EXPECT_EQ(out.blockCalls, 1u);  // the first call already finds the end
  auto count = host_->prop(out.value, "entrycount");
  ASSERT_TRUE(count);
  EXPECT_EQ(count->kind(), Value::Kind::Int);
  EXPECT_TRUE(count->digits().empty());
  EXPECT_FALSE(count->negative());
  // Nothing to fetch: every index is outside the listing.
  CallOutcome e = Call(out.value, "getentry", {Arg("entry", 1)});
  EXPECT_EQ(e.status, QIRA_ERR_RANGE);
}

// A directory in memory when the machine offers one: creating tens of
// thousands of files on a busy disk would dominate the test.
class FastDir {
 public:
  explicit FastDir(const std::string &fallback) : path_(fallback) {
    char tmpl[] = "/dev/shm/qira-XXXXXX";
    if (access("/dev/shm", W_OK) == 0 && mkdtemp(tmpl)) path_ = own_ = tmpl;
  }
  ~FastDir() {
    if (!own_.empty()) qt::RemoveTree(own_);
  }
  const std::string &path() const { return path_; }

 private:
  std::string path_, own_;
};

TEST_F(DirTest, SixtyFiveThousandEntriesTakeTwoCountDigits) {
  constexpr uint32_t kFiles = 65536;
  FastDir big(scratch_.path());
  MakeEmptyFiles(big.path(), kFiles);
  CallOutcome out = Open(big.path());
  ASSERT_TRUE(out.ok()) << out.status;
  EXPECT_EQ(out.blockCalls, kFiles + 1);  // one entry per call, then the end
  auto count = host_->prop(out.value, "entrycount");
  ASSERT_TRUE(count);
  EXPECT_EQ(count->digits(), (std::vector<uint16_t>{0, 1}));

  std::vector<std::string> order = ReaddirOrder(big.path());
  ASSERT_EQ(order.size(), kFiles);
  for (uint32_t i : {1u, 65535u, 65536u}) {
    SCOPED_TRACE(i);
    CallOutcome e = Call(out.value, "getentry", {Arg("entry", int64_t(i))});
    ASSERT_TRUE(e.ok()) << e.status;
    EXPECT_EQ(Str(e.value, "name"), order[i - 1]);
  }
  EXPECT_EQ(Call(out.value, "getentry", {Arg("entry", int64_t(kFiles) + 1)}).status,
            QIRA_ERR_RANGE);
}

TEST_F(DirTest, OpeningResolvesTheName) {
  ASSERT_EQ(mkdir((scratch_ / "sub").c_str(), 0755), 0);
  qt::CwdGuard cwd;
  ASSERT_EQ(chdir(scratch_.path().c_str()), 0);
  struct Case {
    std::string in, full, name;
  };
  const Case cases[] = {
      {"sub", scratch_ / "sub", "sub"},
      {"./sub/", scratch_ / "sub", "sub"},
      {scratch_ / "sub/../sub//", scratch_ / "sub", "sub"},
      {"sub/..", scratch_.path(), scratch_.path().substr(scratch_.path().rfind('/') + 1)},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.in);
    Ref dir = OpenOk(c.in);
    if (!dir) continue;
    EXPECT_EQ(host_->value(dir).value.utf8(), c.full);
    EXPECT_EQ(Str(dir, "name"), c.name);
  }
}

// A failure found while reading entries ends the listing: the code lands in
// `error` (or is the status), the half-filled object and the listing go.
TEST_F(DirTest, ListingFailureInTheMiddleReleasesEverything) {
  MakeEmptyFiles(scratch_.path(), 5);
  ASSERT_EQ(symlink((scratch_ / "nowhere").c_str(), (scratch_ / "dangling").c_str()), 0);
  for (bool withError : {true, false}) {
    SCOPED_TRACE(withError ? "with error" : "without error");
    Variable error = host_->variable();
    CallOutcome out = Open(scratch_.path(), withError ? &error : nullptr);
    EXPECT_GE(out.blockCalls, 1u);
    ExpectReported(out, withError ? &error : nullptr, QIRA_ERR_NOENTRY);
    EXPECT_FALSE(out.delivered);
    // The listing's reference on the variable is gone again.
    EXPECT_EQ(error.ref().refCount(), 1u);
    EXPECT_EQ(host_->liveObjects(), objects_);
  }
}

// When the code cannot be stored into `error`, the storing failure is the
// outcome; the listing and the object still go.
TEST_F(DirTest, ListingFailureThatCannotBeStored) {
  ASSERT_EQ(symlink("nowhere", (scratch_ / "dangling").c_str()), 0);
  constexpr uint32_t kCode = 4343;
  Variable error = host_->variable();
  host_->failHostFn(111, kCode);
  CallOutcome out = Open(scratch_.path(), &error);
  host_->clearFaults();
  EXPECT_EQ(out.status, kCode);
  EXPECT_FALSE(out.noValue);
  EXPECT_FALSE(out.delivered);
  EXPECT_TRUE(error.get().isNone());
  EXPECT_EQ(error.ref().refCount(), 1u);
}

TEST_F(DirTest, AbandonedListingLeavesTheObjectAlone) {
  MakeEmptyFiles(scratch_.path(), 10);
  Variable error = host_->variable();
  ASSERT_EQ(error.ref().refCount(), 1u);
  qhost::PendingCall call =
      host_->begin(host_->typeObject("QIRAdirectory"), "new",
                   {Arg("name", scratch_.path().c_str()), Arg("error", error)});
  ++listings_;
  ASSERT_TRUE(call.open());
  EXPECT_EQ(host_->openListings(), 1u);
  // The listing holds one reference, the pending call's arguments another.
  uint32_t during = error.ref().refCount();
  EXPECT_EQ(during, 3u);
  EXPECT_EQ(call.step(), QIRA_BLOCK_AGAIN);
  EXPECT_EQ(call.step(), QIRA_BLOCK_AGAIN);

  // Only the listing knows the object; take it before the record goes.
  auto *listing = static_cast<QiraListing *>(call.result().data);
  auto *object = static_cast<qhost::HostObject *>(listing->dir->object);
  EXPECT_EQ(listing->read, 2u);
  CallOutcome out = call.abandon();
  EXPECT_TRUE(out.abandoned);
  EXPECT_EQ(host_->openListings(), 0u);
  EXPECT_EQ(error.ref().refCount(), during - 1);
  EXPECT_TRUE(error.get().isNone());

  // Untouched: still alive with the one reference the listing had taken.
  Ref dir = Ref::adopt(object);
  EXPECT_EQ(dir.refCount(), 1u);
  auto *priv = static_cast<QiraDirPrivate *>(dir.priv());
  ASSERT_NE(priv, nullptr);
  EXPECT_EQ(priv->object, object);
  EXPECT_EQ(host_->value(dir).value.utf8(), scratch_.path());
}

// ===== failures of new =========================================================

TEST_F(DirTest, NewFailures) {
  qt::WriteFile(scratch_ / "file", "x");
  struct Case {
    const char *what;
    Args args;
    uint32_t code;
    bool status;  // the call's status even with an `error` variable
  };
  const Case cases[] = {
      {"no name", {}, QIRA_ERR_MISSINGPARAM, true},
      {"empty name", {Arg("name", "")}, QIRA_ERR_EMPTY, true},
      {"name not a string", {Arg("name", 7)}, QIRA_ERR_EMPTY, true},
      {"missing", {Arg("name", (scratch_ / "missing").c_str())}, QIRA_ERR_NOTFOUND, false},
      {"a file", {Arg("name", (scratch_ / "file").c_str())}, QIRA_ERR_NOTFOUND, false},
      {"below a file", {Arg("name", (scratch_ / "file/x").c_str())}, QIRA_ERR_NOTFOUND, false},
  };
  for (const Case &c : cases) {
    for (bool withError : {true, false}) {
      SCOPED_TRACE(std::string(c.what) + (withError ? ", with error" : ", without error"));
      Variable error = host_->variable();
      Args args = c.args;
      if (withError) args.emplace_back("error", error);
      CallOutcome out = host_->construct("QIRAdirectory", args);
      EXPECT_TRUE(out.argcOutWritten);
      EXPECT_EQ(out.blockCalls, 0u);
      Variable *ev = withError ? &error : nullptr;
      if (c.status) {
        ExpectStatus(out, ev, c.code);
      } else {
        ExpectReported(out, ev, c.code);
      }
    }
  }
  // An `error` that is not a variable is refused before anything happens.
  CallOutcome out = host_->construct(
      "QIRAdirectory", {Arg("name", scratch_.path().c_str()), Arg("error", "text")});
  EXPECT_EQ(out.status, QIRA_ERR_NOTVARIABLE);
}

TEST_F(DirTest, NewOnlyOnTheTypeObject) {
  Ref dir = OpenOk(scratch_.path());
  auto fn = reinterpret_cast<QiraMethodFn>(host_->moduleSymbol("TARVO_NewQIRADirObject"));
  ASSERT_NE(fn, nullptr);
  CallOutcome out = host_->callFn(fn, dir.raw(), {Arg("name", scratch_.path().c_str())});
  EXPECT_EQ(out.status, QIRA_ERR_WRONGKIND);
  EXPECT_TRUE(out.argcOutWritten);
}

TEST_F(DirTest, MissingHostFunctionGives45) {
  host_->failGetter(405);
  CallOutcome out = Open(scratch_.path());
  EXPECT_EQ(out.status, QIRA_ERR_NOHOSTFUNC);
}

// A host function that fails anywhere on the way: what was built is released
// and the code reaches the script like any other failure.
TEST_F(DirTest, HostFailuresWhileOpening) {
  qt::WriteFile(scratch_ / "a", "");
  constexpr uint32_t kCode = 4242;
  struct Case {
    const char *what;
    qhost::Fault fault;
  };
  const Case cases[] = {
      {"object creation", {100, kCode, 0, 1}},
      {"name property", {112, kCode, 0, 1}},
      {"entrycount property", {112, kCode, 1, 1}},
  };
  for (const Case &c : cases) {
    for (bool withError : {true, false}) {
      SCOPED_TRACE(std::string(c.what) + (withError ? ", with error" : ", without error"));
      Variable error = host_->variable();
      host_->failHostFn(c.fault);
      CallOutcome out = Open(scratch_.path(), withError ? &error : nullptr);
      host_->clearFaults();
      ExpectReported(out, withError ? &error : nullptr, kCode);
      EXPECT_EQ(host_->liveObjects(), objects_);
      EXPECT_EQ(error.ref().refCount(), 1u);
    }
  }
}

// ===== methods =================================================================

TEST_F(DirTest, GetEntryIndexChecks) {
  qt::WriteFile(scratch_ / "a", "");
  qt::WriteFile(scratch_ / "b", "");
  Ref dir = OpenOk(scratch_.path());
  ASSERT_TRUE(dir);
  struct Case {
    const char *what;
    Args args;
    uint32_t code;
  };
  const Case cases[] = {
      {"index 0", {Arg("entry", 0)}, QIRA_ERR_RANGE},
      {"above entrycount", {Arg("entry", 3)}, QIRA_ERR_RANGE},
      {"negative", {Arg("entry", -1)}, QIRA_ERR_RANGE},
      {"not an integer", {Arg("entry", "one")}, QIRA_ERR_RANGE},
      {"no entry", {}, QIRA_ERR_MISSINGPARAM},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    Variable error = host_->variable();
    ExpectStatus(Call(dir, "getentry", c.args, &error), &error, c.code);
    ExpectStatus(Call(dir, "deleteentry", c.args, &error), &error, c.code);
  }
  EXPECT_EQ(ReaddirOrder(scratch_.path()).size(), 2u);
}

TEST_F(DirTest, GetDirectoryClimbsToTheRoot) {
  ASSERT_EQ(mkdir((scratch_ / "sub").c_str(), 0755), 0);
  Ref dir = OpenOk(scratch_ / "sub");
  ASSERT_TRUE(dir);
  Variable error = host_->variable();
  CallOutcome up = Call(dir, "getdirectory", {}, &error);
  ASSERT_TRUE(up.ok()) << up.status << " " << error.get();
  EXPECT_EQ(host_->value(up.value).value.utf8(), scratch_.path());
  EXPECT_EQ(Count(up.value), 1u);
  EXPECT_EQ(error.ref().refCount(), 1u);

  Ref at = up.value;
  std::string full = scratch_.path();
  for (int depth = 0; full != "/" && depth < 64; ++depth) {
    CallOutcome next = Call(at, "getdirectory", {});
    ASSERT_TRUE(next.ok()) << full << ": " << next.status;
    std::string parent = host_->value(next.value).value.utf8();
    EXPECT_LT(parent.size(), full.size()) << parent;
    full = parent;
    at = next.value;
  }
  EXPECT_EQ(full, "/");
  EXPECT_NE(Count(at), UINT64_MAX);
}

TEST_F(DirTest, CreateDirectory) {
  Ref dir = OpenOk(scratch_.path());
  ASSERT_TRUE(dir);
  for (bool withError : {true, false}) {
    SCOPED_TRACE(withError ? "with error" : "without error");
    struct Case {
      Args args;
      uint32_t code;
      bool status;
    };
    const Case cases[] = {
        {{Arg("name", "a/b")}, QIRA_ERR_SLASH, false},
        {{Arg("name", "/abs")}, QIRA_ERR_SLASH, false},
        {{Arg("name", "")}, QIRA_ERR_EMPTY, true},
        {{}, QIRA_ERR_MISSINGPARAM, true},
    };
    for (const Case &c : cases) {
      Variable error = host_->variable();
      Variable *ev = withError ? &error : nullptr;
      CallOutcome out = Call(dir, "createdirectory", c.args, ev);
      if (c.status) {
        ExpectStatus(out, ev, c.code);
      } else {
        ExpectReported(out, ev, c.code);
      }
    }
    EXPECT_TRUE(ReaddirOrder(scratch_.path()).empty());
  }

  CallOutcome made = Call(dir, "createdirectory", {Arg("name", "fresh")});
  ASSERT_TRUE(made.ok()) << made.status;
  struct stat st;
  ASSERT_EQ(stat((scratch_ / "fresh").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(Str(made.value, "name"), "fresh");
  EXPECT_EQ(Str(made.value, "entrytype"), "directory");
  EXPECT_EQ(host_->value(made.value).value.utf8(), scratch_ / "fresh");
  EXPECT_EQ(Count(dir), 0u);  // the listing is a snapshot

  Variable error = host_->variable();
  ExpectReported(Call(dir, "createdirectory", {Arg("name", "fresh")}, &error), &error,
                 QIRA_ERR_EXISTS);
}

TEST_F(DirTest, DeleteEntryKeepsTheIndex) {
  qt::WriteFile(scratch_ / "file", "data");
  ASSERT_EQ(mkdir((scratch_ / "empty").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((scratch_ / "full").c_str(), 0755), 0);
  qt::WriteFile(scratch_ / "full/inner", "");
  Ref dir = OpenOk(scratch_.path());
  ASSERT_TRUE(dir);
  std::vector<std::string> order = ReaddirOrder(scratch_.path());
  ASSERT_EQ(order.size(), 3u);
  auto index = [&](const char *name) {
    return int(std::find(order.begin(), order.end(), name) - order.begin()) + 1;
  };

  Variable error = host_->variable();
  // A directory with something in it stays; rmdir's ENOTEMPTY reaches the script.
  ExpectReported(Call(dir, "deleteentry", {Arg("entry", index("full"))}, &error), &error,
                 QIRA_ERR_SYSTEM | ENOTEMPTY);
  EXPECT_TRUE(qt::Exists(scratch_ / "full/inner"));

  for (const char *name : {"file", "empty"}) {
    SCOPED_TRACE(name);
    CallOutcome del = Call(dir, "deleteentry", {Arg("entry", index(name))});
    EXPECT_EQ(del.status, QIRA_OK);
    EXPECT_TRUE(del.noValue);
    EXPECT_FALSE(qt::Exists(scratch_ / name));
    EXPECT_EQ(Count(dir), 3u);

    // The index is still listed, but its entry is gone from the disk.
    Variable gone = host_->variable();
    ExpectReported(Call(dir, "getentry", {Arg("entry", index(name))}, &gone), &gone,
                   QIRA_ERR_NOTFOUND);
    ExpectReported(Call(dir, "deleteentry", {Arg("entry", index(name))}, &gone), &gone,
                   QIRA_ERR_NOENTRY);
  }
}

TEST_F(DirTest, ValueCannotBeAssigned) {
  Ref dir = OpenOk(scratch_.path());
  ASSERT_TRUE(dir);
  EXPECT_EQ(host_->assign(dir, Value::string8("/")), QIRA_ERR_ACCESS);
  EXPECT_EQ(host_->value(dir).value.utf8(), scratch_.path());
}

// An entry object needs no directory: it keeps its own name and a count of
// the shared API block, so it outlives the directory it came from.
TEST_F(DirTest, EntryOutlivesItsDirectory) {
  qt::WriteFile(scratch_ / "kept", "12345");
  Ref entry;
  {
    Ref dir = OpenOk(scratch_.path());
    ASSERT_TRUE(dir);
    CallOutcome e = Call(dir, "getentry", {Arg("entry", 1)});
    ASSERT_TRUE(e.ok()) << e.status;
    entry = e.value;
  }
  EXPECT_EQ(host_->liveObjects(), objects_ + 1);
  EXPECT_EQ(host_->value(entry).value.utf8(), scratch_ / "kept");
  EXPECT_EQ(host_->prop(entry, "size")->toUint64(), std::optional<uint64_t>(5));
}

}  // namespace
