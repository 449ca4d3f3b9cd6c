// QIRAdirectory, and the failure paths both types share.
#include <algorithm>

#include "objects/dirlist.h"
#include "objects/fixture.h"

namespace objtest {
namespace {

// Entries are numbered in the order the search returns them, and outlive
// their directory.  Creating and deleting leave the listing as it was.
// The root is its own parent.
TEST_F(ObjTest, ListsEveryEntryNumberedInSearchOrder) {
  qt::WriteFile(dir_ / "a.txt", "hello");
  qt::WriteFile(dir_ / ".hidden", "");
  ASSERT_EQ(::mkdir((dir_ / "sub").c_str(), 0755), 0);
  const std::vector<std::string> order = ReaddirOrder(dir_.path());
  std::vector<Ref> entries;
  {
    Ref dir = Dir(dir_ / "sub/..//");  // resolves to the scratch directory itself
    EXPECT_EQ(Text(dir, "name"), dir_.path().substr(dir_.path().rfind('/') + 1));
    EXPECT_EQ(Full(dir), dir_.path());
    EXPECT_EQ(host_->assign(dir, Value::string8("/")), QIRA_ERR_ACCESS);
    for (int i = 1; i <= 3; ++i) entries.push_back(Made(Run(dir, "getentry", {Arg("entry", i)})));
    EXPECT_EQ(Full(Made(Run(entries[0], "getdirectory", {}))), dir_.path());
    Ref made = Made(Run(dir, "createdirectory", {Arg("name", "fresh")}));
    EXPECT_EQ(Full(made), dir_ / "fresh");
    const int64_t index = std::find(order.begin(), order.end(), "a.txt") - order.begin() + 1;
    CallOutcome del = Run(dir, "deleteentry", {Arg("entry", index)});
    EXPECT_TRUE(del.status == QIRA_OK && del.noValue);
    EXPECT_EQ(Prop(dir, "entrycount"), Value::integer(3));
    const Ref root = Made(Run(Entry("/tmp"), "getdirectory", {}));
    EXPECT_EQ(Full(Made(Run(root, "getdirectory", {}))), "/");
  }
  std::vector<std::string> now = ReaddirOrder(dir_.path());
  std::sort(now.begin(), now.end());
  EXPECT_EQ(now, (std::vector<std::string>{".hidden", "fresh", "sub"}));
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(Full(entries[i]), dir_ / order[i]) << i;
    EXPECT_EQ(Text(entries[i], "entrytype"), order[i] == "sub" ? "directory" : "file") << i;
  }
}

// Every failure a method or constructor finds on its own, with and without an
// `error` variable; the early ones are the call's status either way.
TEST_F(ObjTest, FailureCodesWithAndWithoutError) {
  qt::WriteFile(dir_ / "file", "x");
  qt::WriteFile(dir_ / "gone", "");
  ASSERT_EQ(::mkdir((dir_ / "sub").c_str(), 0755), 0);
  qt::WriteFile(dir_ / "sub/inner", "");
  const Ref dirType = host_->typeObject(kDirType), entryType = host_->typeObject(kEntryType);
  const Ref dir = Dir(dir_.path()), file = Entry(dir_ / "file"), sub = Entry(dir_ / "sub");
  const std::vector<std::string> order = ReaddirOrder(dir_.path());
  const int subIndex = int(std::find(order.begin(), order.end(), "sub") - order.begin()) + 1;
  const int goneIndex = int(std::find(order.begin(), order.end(), "gone") - order.begin()) + 1;
  ASSERT_EQ(::unlink((dir_ / "gone").c_str()), 0);  // still listed under its index
  struct Case { const Ref &recv; const char *method; Args args; uint32_t code; bool early; };
  const Case cases[] = {
      {dirType, "new", {}, QIRA_ERR_MISSINGPARAM, true},
      {dirType, "new", {Arg("name", "")}, QIRA_ERR_NOTFOUND, false},  // names nothing
      {dirType, "new", {Arg("name", (dir_ / "file").c_str())}, QIRA_ERR_NOTFOUND, false},
      {entryType, "new", {Arg("name", "")}, QIRA_ERR_EMPTY, true},
      {entryType, "new", {Arg("name", (dir_ / "missing").c_str())}, QIRA_ERR_NOTFOUND, false},
      {dir, "getentry", {Arg("entry", 0)}, QIRA_ERR_RANGE, true},
      {dir, "getentry", {Arg("entry", 4)}, QIRA_ERR_RANGE, true},  // above entrycount
      {dir, "getentry", {Arg("entry", goneIndex)}, QIRA_ERR_NOTFOUND, false},
      {dir, "deleteentry", {Arg("entry", goneIndex)}, QIRA_ERR_NOENTRY, false},
      {dir, "deleteentry", {Arg("entry", subIndex)}, QIRA_ERR_SYSTEM | ENOTEMPTY, false},
      {dir, "createdirectory", {Arg("name", "a/b")}, QIRA_ERR_SLASH, false},
      {dir, "createdirectory", {Arg("name", "sub")}, QIRA_ERR_EXISTS, false},
      {file, "rename", {Arg("newname", "a/b")}, QIRA_ERR_SLASH, false},
      {file, "rename", {Arg("newname", "")}, QIRA_ERR_TOOLONG, false},  // joining refuses it
      {file, "rename", {}, QIRA_ERR_MISSINGPARAM, true},
      {file, "setattributes", {Arg("hidden", true)}, QIRA_ERR_NOTPOSSIBLE, false},
      {file, "setattributes", {Arg("hidden", "yes")}, QIRA_ERR_RANGE, true},
      {file, "setdates", {Arg("created", DateOf(1300000000))}, QIRA_ERR_NOTPOSSIBLE, false},
      {file, "setdates", {Arg("lastchanged", -1)}, QIRA_ERR_RANGE, true},
      {sub, "copy", {Arg("destination", "d2")}, QIRA_ERR_WRONGKIND, false},
      {file, "move", {Arg("destination", "x"), Arg("replace", "yes")}, QIRA_ERR_RANGE, true},
  };
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
  EXPECT_EQ(Run(dirType, "new", {Arg("name", dir_.path().c_str()), Arg("error", "text")}).status,
            QIRA_ERR_NOTVARIABLE);
  // `new` belongs to the type object, not to an instance.
  auto fn = reinterpret_cast<QiraMethodFn>(host_->moduleSymbol("TARVO_NewQIRADirEntryObject"));
  EXPECT_EQ(host_->callFn(fn, file.raw(), {Arg("name", dir_.path().c_str())}).status, QIRA_ERR_WRONGKIND);
  EXPECT_EQ(ReaddirOrder(dir_.path()).size(), 2u);
  EXPECT_TRUE(qt::Exists(dir_ / "sub/inner"));
  // A receiver without private data: 21 from every method, nothing stored.
  for (const char *fn : {"TARVOQIRADir_GetEntry", "TARVOQIRADir_DeleteEntry", "TARVOQIRADirEntry_Rename",
                         "TARVOQIRADirEntry_SetDates", "TARVOQIRADirEntry_Copy"}) {
    Variable error = host_->variable();
    CallOutcome out = host_->callFn(reinterpret_cast<QiraMethodFn>(host_->moduleSymbol(fn)),
                                    QiraObjRef{nullptr, 0},
                                    {Arg("entry", 1), Arg("newname", "x"), Arg("error", error)});
    EXPECT_EQ(out.status, QIRA_ERR_NOPRIVATE) << fn;
    EXPECT_TRUE(out.argcOutWritten && error.assignments() == 0) << fn;
  }
  host_->failGetter(405);
  EXPECT_EQ(New(kDirType, dir_.path()).status, QIRA_ERR_NOHOSTFUNC);
  EXPECT_EQ(New(kEntryType, dir_.path()).status, QIRA_ERR_NOHOSTFUNC);
}

// The host refusing part way through building or listing, or refusing to
// store into `error` (then that is the status): all is released, nothing delivered.
TEST_F(ObjTest, FailuresWhileBuildingReleaseEverything) {
  MakeFiles(dir_.path(), 5);
  const std::string good = dir_.path(), file = dir_ / "f0", missing = dir_ / "missing";
  constexpr uint32_t kStored = kInjected + 1;
  struct Case { const char *type, *what; const std::string &name; Fault fault; uint32_t code; };
  const Case cases[] = {
      {kDirType, "object creation", good, {100, kInjected, 0, 1}, kInjected},
      {kDirType, "entrycount", good, {112, kInjected, 1, 1}, kInjected},
      {kDirType, "not stored", missing, {111, kStored}, QIRA_ERR_NOTFOUND},
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
  PendingCall call = host_->begin(host_->typeObject(kDirType), "new",
                                  {Arg("name", dir_.path().c_str()), Arg("error", error)});
  ASSERT_TRUE(call.open());
  EXPECT_EQ(host_->openListings(), 1u);
  EXPECT_EQ(error.ref().refCount(), 3u);  // the listing's and the pending call's
  EXPECT_EQ(call.step(), QIRA_BLOCK_AGAIN);
  auto *listing = static_cast<QiraListing *>(call.result().data);
  Ref dir = Ref::adopt(static_cast<HostObject *>(listing->dir->object));
  EXPECT_EQ(listing->read, 1u);
  EXPECT_TRUE(call.abandon().abandoned);
  EXPECT_EQ(error.ref().refCount(), 2u);
  EXPECT_TRUE(error.get().isNone());
  EXPECT_EQ(dir.refCount(), 1u);  // the listing's own, handed over untouched
  EXPECT_EQ(Full(dir), dir_.path());
}

}  // namespace
}  // namespace objtest
