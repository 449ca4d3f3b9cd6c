// QIRAdirectory end to end, and what both types share: constructors, the
// failure path of every method, host refusals while building, the shared API
// block.
#include <algorithm>

#include "objects/dirlist.h"
#include "objects/fixture.h"

namespace objtest {
namespace {

TEST_F(ObjTest, ListsEveryEntryNumberedInSearchOrder) {
  qt::WriteFile(dir_ / "a.txt", "hello");
  qt::WriteFile(dir_ / ".hidden", "");
  ASSERT_EQ(::mkdir((dir_ / "sub").c_str(), 0755), 0);
  Ref dir = Dir(dir_ / "sub/..//");  // resolves to the scratch directory itself
  ASSERT_TRUE(dir);
  EXPECT_EQ(Text(dir, "name"), dir_.path().substr(dir_.path().rfind('/') + 1));
  EXPECT_EQ(host_->propFlag(dir, "name"), std::optional<uint16_t>(1));
  EXPECT_EQ(Prop(dir, "entrycount"), Value::integer(3));
  EXPECT_EQ(host_->value(dir).tag, QIRA_TAG_STRING);
  EXPECT_EQ(Full(dir), dir_.path());
  std::vector<std::string> order = ReaddirOrder(dir_.path());
  ASSERT_EQ(order.size(), 3u);
  for (int i = 1; i <= 3; ++i) {
    Ref e = Made(Run(dir, "getentry", {Arg("entry", i)}));
    EXPECT_EQ(Full(e), dir_ / order[i - 1]) << i;
    EXPECT_EQ(Text(e, "entrytype"), order[i - 1] == "sub" ? "directory" : "file") << i;
  }
}

// The count is kept as integer digits while listing: none for an empty
// directory, and a carry into the second digit at 65536.
TEST_F(ObjTest, EntryCountDigits) {
  struct Case {
    uint32_t files;
    std::vector<uint16_t> digits;
  };
  for (const Case &c : {Case{0, {}}, Case{65536, {0, 1}}}) {
    SCOPED_TRACE(c.files);
    // In memory when the machine offers it: tens of thousands of files on a
    // busy disk would dominate the test.
    char shm[] = "/dev/shm/qira-XXXXXX";
    const bool inShm = c.files && ::access("/dev/shm", W_OK) == 0 && ::mkdtemp(shm);
    const std::string path = inShm ? std::string(shm) : dir_.path();
    MakeFiles(path, c.files);
    CallOutcome out = New(kDirType, path);
    ASSERT_TRUE(out.ok()) << out.status;
    EXPECT_EQ(out.blockCalls, c.files + 1);  // one entry per call, then the end
    Value count = Prop(out.value, "entrycount");
    EXPECT_EQ(count.kind(), Value::Kind::Int);
    EXPECT_FALSE(count.negative());
    EXPECT_EQ(count.digits(), c.digits);
    std::vector<std::string> order = ReaddirOrder(path);
    for (uint32_t i : {1u, c.files - 1, c.files}) {
      if (i == 0 || i > c.files) continue;
      EXPECT_EQ(Text(Made(Run(out.value, "getentry", {Arg("entry", int64_t(i))})), "name"),
                order[i - 1]) << i;
    }
    EXPECT_EQ(Run(out.value, "getentry", {Arg("entry", int64_t(c.files) + 1)}).status,
              QIRA_ERR_RANGE);
    if (inShm) qt::RemoveTree(path);
  }
}

// Every failure a method or constructor finds on its own, with and without an
// `error` variable; the early ones are the call's status either way.
TEST_F(ObjTest, FailureCodesWithAndWithoutError) {
  qt::WriteFile(dir_ / "file", "x");
  ASSERT_EQ(::mkdir((dir_ / "sub").c_str(), 0755), 0);
  const Ref dirType = host_->typeObject(kDirType);
  const Ref entryType = host_->typeObject(kEntryType);
  const Ref dir = Dir(dir_.path()), file = Entry(dir_ / "file"), sub = Entry(dir_ / "sub");
  const std::string missing = dir_ / "missing", belowFile = dir_ / "file/x";
  struct Case {
    const Ref &recv;
    const char *method;
    Args args;
    uint32_t code;
    bool early;
  };
  const Case cases[] = {
      {dirType, "new", {}, QIRA_ERR_MISSINGPARAM, true},
      {dirType, "new", {Arg("name", "")}, QIRA_ERR_EMPTY, true},
      {dirType, "new", {Arg("name", 7)}, QIRA_ERR_EMPTY, true},
      {dirType, "new", {Arg("name", missing.c_str())}, QIRA_ERR_NOTFOUND, false},
      {dirType, "new", {Arg("name", (dir_ / "file").c_str())}, QIRA_ERR_NOTFOUND, false},
      {dirType, "new", {Arg("name", belowFile.c_str())}, QIRA_ERR_NOTFOUND, false},
      {entryType, "new", {}, QIRA_ERR_MISSINGPARAM, true},
      {entryType, "new", {Arg("name", "")}, QIRA_ERR_EMPTY, true},
      {entryType, "new", {Arg("name", 7)}, QIRA_ERR_EMPTY, true},
      {entryType, "new", {Arg("name", missing.c_str())}, QIRA_ERR_NOTFOUND, false},
      {entryType, "new", {Arg("name", belowFile.c_str())}, QIRA_ERR_NOTFOUND, false},
      {dir, "getentry", {Arg("entry", 0)}, QIRA_ERR_RANGE, true},
      {dir, "getentry", {Arg("entry", 3)}, QIRA_ERR_RANGE, true},  // above entrycount
      {dir, "getentry", {Arg("entry", -1)}, QIRA_ERR_RANGE, true},
      {dir, "getentry", {Arg("entry", "one")}, QIRA_ERR_RANGE, true},
      {dir, "getentry", {}, QIRA_ERR_MISSINGPARAM, true},
      {dir, "deleteentry", {Arg("entry", 0)}, QIRA_ERR_RANGE, true},
      {dir, "deleteentry", {Arg("entry", 3)}, QIRA_ERR_RANGE, true},
      {dir, "deleteentry", {}, QIRA_ERR_MISSINGPARAM, true},
      {dir, "createdirectory", {Arg("name", "a/b")}, QIRA_ERR_SLASH, false},
      {dir, "createdirectory", {Arg("name", "/abs")}, QIRA_ERR_SLASH, false},
      {dir, "createdirectory", {Arg("name", "sub")}, QIRA_ERR_EXISTS, false},
      {dir, "createdirectory", {Arg("name", "")}, QIRA_ERR_EMPTY, true},
      {dir, "createdirectory", {}, QIRA_ERR_MISSINGPARAM, true},
      {file, "rename", {Arg("newname", "a/b")}, QIRA_ERR_SLASH, false},
      {file, "rename", {Arg("newname", "/abs")}, QIRA_ERR_SLASH, false},
      {file, "rename", {Arg("newname", "")}, QIRA_ERR_TOOLONG, false},  // joining refuses it
      {file, "rename", {}, QIRA_ERR_MISSINGPARAM, true},
      {file, "setattributes", {Arg("hidden", true)}, QIRA_ERR_NOTPOSSIBLE, false},
      {file, "setattributes", {Arg("system", true)}, QIRA_ERR_NOTPOSSIBLE, false},
      {file, "setattributes", {Arg("hidden", "yes")}, QIRA_ERR_RANGE, true},
      {file, "setdates", {Arg("created", DateOf(1300000000))}, QIRA_ERR_NOTPOSSIBLE, false},
      {file, "setdates", {Arg("lastchanged", -1)}, QIRA_ERR_RANGE, true},
      {sub, "copy", {Arg("destination", "d2")}, QIRA_ERR_WRONGKIND, false},
      {file, "copy", {}, QIRA_ERR_MISSINGPARAM, true},
      {file, "move", {}, QIRA_ERR_MISSINGPARAM, true},
      {file, "copy", {Arg("destination", 3)}, QIRA_ERR_EMPTY, true},
      {file, "move", {Arg("destination", "x"), Arg("replace", "yes")}, QIRA_ERR_RANGE, true},
  };
  const mode_t mode = StatOf(dir_ / "file").st_mode;
  const time_t mtime = StatOf(dir_ / "file").st_mtime;
  const auto fileProps = host_->props(file);
  for (const Case &c : cases) {
    for (bool withError : {true, false}) {
      SCOPED_TRACE(::testing::Message() << c.method << " " << c.code << " " << c.args.size()
                                        << (withError ? " with error" : ""));
      Variable error = host_->variable();
      const uint32_t refs = c.recv.refCount();
      CallOutcome out = Run(c.recv, c.method, c.args, withError ? &error : nullptr);
      EXPECT_EQ(out.blockCalls, 0u) << "nothing listed, no worker started";
      ExpectFailure(out, withError ? &error : nullptr, c.code, c.early);
      EXPECT_EQ(c.recv.refCount(), refs);
    }
  }
  for (const Ref *type : {&dirType, &entryType}) {
    EXPECT_EQ(Run(*type, "new", {Arg("name", dir_.path().c_str()), Arg("error", "text")}).status,
              QIRA_ERR_NOTVARIABLE);
    // `new` belongs to the type object, not to an instance.
    auto fn = reinterpret_cast<QiraMethodFn>(host_->moduleSymbol(
        type == &dirType ? "TARVO_NewQIRADirObject" : "TARVO_NewQIRADirEntryObject"));
    EXPECT_EQ(host_->callFn(fn, file.raw(), {Arg("name", dir_.path().c_str())}).status,
              QIRA_ERR_WRONGKIND);
  }
  EXPECT_EQ(ReaddirOrder(dir_.path()).size(), 2u);
  EXPECT_EQ(StatOf(dir_ / "file").st_mode, mode);
  EXPECT_EQ(StatOf(dir_ / "file").st_mtime, mtime);
  EXPECT_EQ(host_->props(file), fileProps);
  int st = 0;
  EXPECT_EQ(::waitpid(-1, &st, WNOHANG), -1) << "no worker was forked";
  host_->failGetter(405);
  EXPECT_EQ(New(kDirType, dir_.path()).status, QIRA_ERR_NOHOSTFUNC);
  EXPECT_EQ(New(kEntryType, dir_.path()).status, QIRA_ERR_NOHOSTFUNC);
}

// Failures while building an object or listing a directory: the host
// refusing part way, an entry that vanishes between readdir and stat, a code
// that cannot be stored into `error` (then that refusal is the status).  What
// was built is released, the listing lets go of `error`, nothing is delivered.
TEST_F(ObjTest, FailuresWhileBuildingReleaseEverything) {
  MakeFiles(dir_.path(), 5);
  ASSERT_EQ(::mkdir((dir_ / "bad").c_str(), 0755), 0);
  MakeFiles(dir_ / "bad", 5);
  ASSERT_EQ(::symlink("nowhere", (dir_ / "bad/dangling").c_str()), 0);
  const std::string good = dir_.path(), bad = dir_ / "bad", file = dir_ / "f0";
  const std::string missing = dir_ / "missing";
  constexpr uint32_t kStored = kInjected + 1;
  struct Case {
    const char *type, *what;
    const std::string &name;
    Fault fault;
    uint32_t code;
  };
  const Case cases[] = {
      {kDirType, "object creation", good, {100, kInjected, 0, 1}, kInjected},
      {kDirType, "name", good, {112, kInjected, 0, 1}, kInjected},
      {kDirType, "entrycount", good, {112, kInjected, 1, 1}, kInjected},
      {kDirType, "vanished", bad, {}, QIRA_ERR_NOENTRY},
      {kDirType, "not stored", bad, {111, kStored}, QIRA_ERR_NOENTRY},
      {kEntryType, "object creation", file, {100, kInjected, 0, 1}, kInjected},
      {kEntryType, "first property", file, {112, kInjected, 0, 1}, kInjected},
      {kEntryType, "size", file, {112, kInjected, 4, 1}, kInjected},
      {kEntryType, "last property", file, {112, kInjected, 8, 1}, kInjected},
      {kEntryType, "entrytype", file, {405, kInjected, 1, 1}, kInjected},
      {kEntryType, "not stored", missing, {111, kStored}, QIRA_ERR_NOTFOUND},
  };
  for (const Case &c : cases) {
    for (bool withError : {true, false}) {
      SCOPED_TRACE(std::string(c.type) + ": " + c.what + (withError ? ", with error" : ""));
      Variable error = host_->variable();
      if (c.fault.id) host_->failHostFn(c.fault);
      CallOutcome out = New(c.type, c.name, withError ? &error : nullptr);
      host_->clearFaults();
      EXPECT_FALSE(out.delivered);
      const bool unstored = withError && c.fault.id == 111;
      ExpectFailure(out, withError ? &error : nullptr, unstored ? kStored : c.code, unstored);
      EXPECT_EQ(host_->liveObjects(), objects_);
      EXPECT_EQ(error.ref().refCount(), 1u);
    }
  }
}

TEST_F(ObjTest, AbandonedListingLeavesTheObjectAlone) {
  MakeFiles(dir_.path(), 10);
  Variable error = host_->variable();
  qhost::PendingCall call = host_->begin(host_->typeObject(kDirType), "new",
                                         {Arg("name", dir_.path().c_str()), Arg("error", error)});
  ++listings_;
  ASSERT_TRUE(call.open());
  EXPECT_EQ(host_->openListings(), 1u);
  EXPECT_EQ(error.ref().refCount(), 3u);  // the listing's and the pending call's
  EXPECT_EQ(call.step(), QIRA_BLOCK_AGAIN);
  EXPECT_EQ(call.step(), QIRA_BLOCK_AGAIN);
  // Only the listing knows the object; take it before the record goes.
  auto *listing = static_cast<QiraListing *>(call.result().data);
  auto *object = static_cast<qhost::HostObject *>(listing->dir->object);
  EXPECT_EQ(listing->read, 2u);
  EXPECT_TRUE(call.abandon().abandoned);
  EXPECT_EQ(host_->openListings(), 0u);
  EXPECT_EQ(error.ref().refCount(), 2u);
  EXPECT_TRUE(error.get().isNone());
  // Untouched: alive with the one reference the listing had taken.
  Ref dir = Ref::adopt(object);
  EXPECT_EQ(dir.refCount(), 1u);
  EXPECT_EQ(Full(dir), dir_.path());
}

TEST_F(ObjTest, MethodsWithoutPrivateDataFailWith21) {
  for (const char *fn :
       {"TARVOQIRADir_GetEntry", "TARVOQIRADir_GetDir", "TARVOQIRADir_CreateDir",
        "TARVOQIRADir_DeleteEntry", "TARVOQIRADirEntry_Rename", "TARVOQIRADirEntry_SetAttributes",
        "TARVOQIRADirEntry_SetDates", "TARVOQIRADirEntry_GetDir", "TARVOQIRADirEntry_Copy",
        "TARVOQIRADirEntry_Move"}) {
    auto method = reinterpret_cast<QiraMethodFn>(host_->moduleSymbol(fn));
    ASSERT_NE(method, nullptr) << fn;
    Variable error = host_->variable();
    CallOutcome out = host_->callFn(method, QiraObjRef{nullptr, 0},
                                    {Arg("entry", 1), Arg("newname", "x"), Arg("error", error)});
    EXPECT_EQ(out.status, QIRA_ERR_NOPRIVATE) << fn;
    EXPECT_EQ(error.assignments(), 0u) << fn;
    EXPECT_TRUE(out.argcOutWritten) << fn;
  }
}

TEST_F(ObjTest, GetDirectoryClimbsToTheRoot) {
  ASSERT_EQ(::mkdir((dir_ / "sub").c_str(), 0755), 0);
  Ref at = Dir(dir_ / "sub");
  std::string full = dir_ / "sub";
  for (int depth = 0; full != "/" && depth < 64; ++depth) {
    Variable error = host_->variable();
    Ref up = Made(Run(at, "getdirectory", {}, &error));
    ASSERT_TRUE(up) << full << ": " << error.get();
    EXPECT_EQ(error.ref().refCount(), 1u);
    if (depth == 0) {
      EXPECT_EQ(Prop(up, "entrycount"), Value::integer(1));
    }
    std::string parent = Full(up);
    EXPECT_EQ(parent, full.rfind('/') ? full.substr(0, full.rfind('/')) : "/");
    full = parent;
    at = up;
  }
  EXPECT_EQ(full, "/");
  EXPECT_TRUE(host_->prop(at, "entrycount").has_value());
  // An entry right under the root opens "/" as well.
  EXPECT_EQ(Full(Made(Run(Entry("/tmp"), "getdirectory", {}))), "/");
}

TEST_F(ObjTest, CreateAndDeleteEntries) {
  qt::WriteFile(dir_ / "file", "data");
  ASSERT_EQ(::mkdir((dir_ / "empty").c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((dir_ / "full").c_str(), 0755), 0);
  qt::WriteFile(dir_ / "full/inner", "");
  Ref dir = Dir(dir_.path());
  ASSERT_TRUE(dir);
  std::vector<std::string> order = ReaddirOrder(dir_.path());
  Ref made = Made(Run(dir, "createdirectory", {Arg("name", "fresh")}));
  EXPECT_TRUE(S_ISDIR(StatOf(dir_ / "fresh").st_mode));
  EXPECT_EQ(Text(made, "entrytype"), "directory");
  EXPECT_EQ(Full(made), dir_ / "fresh");
  auto index = [&](const char *name) {
    return int(std::find(order.begin(), order.end(), name) - order.begin()) + 1;
  };
  // rmdir's ENOTEMPTY reaches the script; the directory stays.
  for (bool withError : {true, false}) {
    Variable error = host_->variable();
    ExpectFailure(Run(dir, "deleteentry", {Arg("entry", index("full"))},
                      withError ? &error : nullptr),
                  withError ? &error : nullptr, QIRA_ERR_SYSTEM | ENOTEMPTY);
  }
  EXPECT_TRUE(qt::Exists(dir_ / "full/inner"));
  for (const char *name : {"file", "empty"}) {
    SCOPED_TRACE(name);
    CallOutcome del = Run(dir, "deleteentry", {Arg("entry", index(name))});
    EXPECT_EQ(del.status, QIRA_OK);
    EXPECT_TRUE(del.noValue);
    EXPECT_FALSE(qt::Exists(dir_ / name));
    // Still listed under its index, but gone from the disk.
    Variable gone = host_->variable();
    ExpectFailure(Run(dir, "getentry", {Arg("entry", index(name))}, &gone), &gone,
                  QIRA_ERR_NOTFOUND);
    ExpectFailure(Run(dir, "deleteentry", {Arg("entry", index(name))}, &gone), &gone,
                  QIRA_ERR_NOENTRY);
  }
  EXPECT_EQ(Prop(dir, "entrycount"), Value::integer(3));  // the listing is a snapshot
}

// Objects made from one constructor share its API block; each holder keeps
// it alive, so an entry outlives its directory and a parent its entry.
TEST_F(ObjTest, SharedApiBlockOutlivesEachHolder) {
  ASSERT_EQ(::mkdir((dir_ / "sub").c_str(), 0755), 0);
  qt::WriteFile(dir_ / "sub/kept", "12345");
  Ref entry = Made(Run(Dir(dir_ / "sub"), "getentry", {Arg("entry", 1)}));
  ASSERT_TRUE(entry);
  EXPECT_EQ(host_->liveObjects(), objects_ + 1);
  EXPECT_EQ(Prop(entry, "size"), Value::integer(5));
  Ref parent = Made(Run(entry, "getdirectory", {}));
  ASSERT_TRUE(parent);
  EXPECT_EQ(entry.refCount(), 1u);
  // Neither type takes another value.
  for (const Ref *obj : {&entry, &parent})
    EXPECT_EQ(host_->assign(*obj, Value::string8("/")), QIRA_ERR_ACCESS);
  EXPECT_EQ(Full(entry), dir_ / "sub/kept");
  entry.reset();
  EXPECT_EQ(Text(parent, "name"), "sub");
  EXPECT_EQ(Prop(parent, "entrycount"), Value::integer(1));
  EXPECT_EQ(Full(parent), dir_ / "sub");
}

}  // namespace
}  // namespace objtest
