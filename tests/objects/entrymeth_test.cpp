// The QIRAdirectoryentry methods that act in place: rename, setattributes,
// setdates, getdirectory.  Every change is checked on disk as well.
#include "objects/entry_fixture.h"

namespace entrytest {
namespace {

// Host API 112: every property the module writes goes through it.
constexpr uint32_t kSetPropId = 112;

bool SameInodeChange(const struct stat &a, const struct stat &b) {
  return a.st_ino == b.st_ino && a.st_ctim.tv_sec == b.st_ctim.tv_sec &&
         a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// A successful method hands back the receiver itself, with a reference of its own.
void ExpectSameEntryBack(const CallOutcome &out, const Ref &entry) {
  EXPECT_EQ(out.status, QIRA_OK);
  ASSERT_TRUE(out.ok());
  EXPECT_TRUE(out.value == entry);
  EXPECT_EQ(entry.refCount(), 2u);  // the test's handle and the call's value
  EXPECT_TRUE(out.argcOutWritten);
}

TEST_F(EntryTest, RenameRepointsTheEntry) {
  qt::WriteFile(dir_ / "old.txt", "abc");
  Ref e = Entry(dir_ / "old.txt");
  ASSERT_TRUE(e);

  CallOutcome out = host_->call(e, "rename", {{"newname", "new.txt"}});
  ExpectSameEntryBack(out, e);
  EXPECT_FALSE(qt::Exists(dir_ / "old.txt"));
  EXPECT_EQ(qt::ReadFile(dir_ / "new.txt"), "abc");
  EXPECT_EQ(Text(e, "name"), "new.txt");
  EXPECT_EQ(Prop(e, "size"), Value::integer(3));
  EXPECT_EQ(host_->value(e).value.utf8(), dir_ / "new.txt");

  // The entry now works on the new name.
  CallOutcome again = host_->call(e, "rename", {{"newname", "third.txt"}});
  EXPECT_TRUE(again.ok()) << again.status;
  EXPECT_TRUE(qt::Exists(dir_ / "third.txt"));
}

TEST_F(EntryTest, RenameToTheSameNameTouchesNothing) {
  qt::WriteFile(dir_ / "same", "x");
  Ref e = Entry(dir_ / "same");
  ASSERT_TRUE(e);
  const struct stat before = StatOf(dir_ / "same");
  const uint32_t writes = host_->hostCalls(kSetPropId);

  CallOutcome out = host_->call(e, "rename", {{"newname", "same"}});
  ExpectSameEntryBack(out, e);
  EXPECT_EQ(host_->hostCalls(kSetPropId), writes) << "no property is rewritten";
  // rename(2) onto itself would still be a call; the inode's change time shows none happened.
  EXPECT_TRUE(SameInodeChange(before, StatOf(dir_ / "same")));
}

TEST_F(EntryTest, RenameRefusalsLeaveTheEntryAlone) {
  qt::WriteFile(dir_ / "keep", "x");
  ASSERT_EQ(::mkdir((dir_ / "a").c_str(), 0755), 0);
  Ref e = Entry(dir_ / "keep");
  ASSERT_TRUE(e);

  struct Case {
    const char *newname;
    uint32_t want;
  };
  const Case cases[] = {
      {"a/b", QIRA_ERR_SLASH},
      {"/abs", QIRA_ERR_SLASH},
      {"", QIRA_ERR_TOOLONG},  // joining an empty name is refused like an overlong one
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.newname);
    Variable error = host_->variable();
    CallOutcome out = host_->call(e, "rename", {{"newname", c.newname}, {"error", error}});
    EXPECT_EQ(out.status, QIRA_OK);
    EXPECT_TRUE(out.noValue);
    EXPECT_EQ(Code(error), c.want);
    EXPECT_EQ(error.lastFlag(), 0);
    EXPECT_EQ(Text(e, "name"), "keep");
    EXPECT_EQ(e.refCount(), 1u);
  }
  EXPECT_TRUE(qt::Exists(dir_ / "keep"));
  EXPECT_FALSE(qt::Exists(dir_ / "a/b"));

  Variable error = host_->variable();
  CallOutcome missing = host_->call(e, "rename", {{"error", error}});
  EXPECT_EQ(missing.status, QIRA_ERR_MISSINGPARAM);
  EXPECT_EQ(error.assignments(), 0u);
}

TEST_F(EntryTest, SetAttributesAcceptsOnlyWhatLinuxShows) {
  qt::WriteFile(dir_ / "f", "x");
  Ref e = Entry(dir_ / "f");
  ASSERT_TRUE(e);
  const mode_t mode = StatOf(dir_ / "f").st_mode;

  struct Case {
    const char *what;
    Args args;
    uint32_t want;
  };
  const std::vector<Case> cases = {
      {"hidden true", {{"hidden", true}}, QIRA_ERR_NOTPOSSIBLE},
      {"system true", {{"system", true}}, QIRA_ERR_NOTPOSSIBLE},
      {"readonly false on a writable file", {{"readonly", false}}, QIRA_OK},
      {"all three as they are", {{"readonly", false}, {"hidden", false}, {"system", false}},
       QIRA_OK},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    Variable error = host_->variable();
    Args args = c.args;
    args.emplace_back("error", error);
    const uint32_t writes = host_->hostCalls(kSetPropId);
    CallOutcome out = host_->call(e, "setattributes", args);
    if (c.want == QIRA_OK) {
      ExpectSameEntryBack(out, e);
      EXPECT_EQ(error.assignments(), 0u);
      // Only readonly, hidden and system are rewritten.
      EXPECT_EQ(host_->hostCalls(kSetPropId), writes + 3);
    } else {
      EXPECT_EQ(out.status, QIRA_OK);
      EXPECT_TRUE(out.noValue);
      EXPECT_EQ(Code(error), c.want);
      EXPECT_EQ(host_->hostCalls(kSetPropId), writes);
    }
    EXPECT_EQ(Prop(e, "readonly"), Value::boolean(false));
    EXPECT_EQ(Prop(e, "hidden"), Value::boolean(false));
  }
  EXPECT_EQ(StatOf(dir_ / "f").st_mode, mode) << "Linux changes no attribute";

  // A flag the host cannot read is the call's status, before `error`.
  Variable error = host_->variable();
  CallOutcome out = host_->call(e, "setattributes", {{"hidden", "yes"}, {"error", error}});
  EXPECT_EQ(out.status, QIRA_ERR_RANGE);
  EXPECT_EQ(error.assignments(), 0u);
}

TEST_F(EntryTest, NoFlagsOrDatesNeedNoEntryOnDisk) {
  qt::WriteFile(dir_ / "v", "x");
  Ref e = Entry(dir_ / "v");
  ASSERT_TRUE(e);
  ASSERT_EQ(::unlink((dir_ / "v").c_str()), 0);
  for (const char *method : {"setattributes", "setdates"}) {
    SCOPED_TRACE(method);
    Variable error = host_->variable();
    const uint32_t writes = host_->hostCalls(kSetPropId);
    CallOutcome out = host_->call(e, method, {{"error", error}});
    ExpectSameEntryBack(out, e);
    EXPECT_EQ(error.assignments(), 0u);
    EXPECT_EQ(host_->hostCalls(kSetPropId), writes);
  }
}

TEST_F(EntryTest, SetDatesWithOnlyLastChangedChangesOnlyTheModificationTime) {
  const std::string path = dir_ / "d";
  qt::WriteFile(path, "x");
  SetTimes(path, 1100000000, 1200000000);
  Ref e = Entry(path);
  ASSERT_TRUE(e);

  const uint32_t writes = host_->hostCalls(kSetPropId);
  CallOutcome out = host_->call(e, "setdates", {{"lastchanged", DateOf(1300000000)}});
  ExpectSameEntryBack(out, e);
  const struct stat st = StatOf(path);
  EXPECT_EQ(st.st_mtime, 1300000000);
  EXPECT_EQ(st.st_atime, 1100000000);
  EXPECT_EQ(Prop(e, "lastchanged"), DateOf(1300000000));
  EXPECT_EQ(Prop(e, "lastaccessed"), DateOf(1100000000));
  EXPECT_TRUE(Prop(e, "created").isNone());
  EXPECT_EQ(host_->hostCalls(kSetPropId), writes + 3) << "only the three dates are rewritten";

  // A date in another numeric form is converted by the host first.
  CallOutcome real = host_->call(e, "setdates", {{"lastaccessed", Value::real(double(
                                                      (kEpochShift + 1250000000) * kMicro))}});
  EXPECT_TRUE(real.ok()) << real.status;
  EXPECT_EQ(StatOf(path).st_atime, 1250000000);
}

TEST_F(EntryTest, SetDatesRefusals) {
  const std::string path = dir_ / "d";
  qt::WriteFile(path, "x");
  SetTimes(path, 1100000000, 1200000000);
  Ref e = Entry(path);
  ASSERT_TRUE(e);

  {
    // Linux keeps no creation date: reported through `error`.
    Variable error = host_->variable();
    CallOutcome out =
        host_->call(e, "setdates", {{"created", DateOf(1300000000)}, {"error", error}});
    EXPECT_EQ(out.status, QIRA_OK);
    EXPECT_TRUE(out.noValue);
    EXPECT_EQ(Code(error), QIRA_ERR_NOTPOSSIBLE);
  }
  {
    // A negative date is refused while the arguments are read: the status.
    Variable error = host_->variable();
    CallOutcome out = host_->call(e, "setdates", {{"lastchanged", -1}, {"error", error}});
    EXPECT_EQ(out.status, QIRA_ERR_RANGE);
    EXPECT_FALSE(out.value);
    EXPECT_EQ(error.assignments(), 0u);
  }
  EXPECT_EQ(StatOf(path).st_mtime, 1200000000);
  EXPECT_EQ(Prop(e, "lastchanged"), DateOf(1200000000));
}

TEST_F(EntryTest, GetDirectoryOpensTheParent) {
  ASSERT_EQ(::mkdir((dir_ / "sub").c_str(), 0755), 0);
  qt::WriteFile(dir_ / "sub/one", "1");
  qt::WriteFile(dir_ / "sub/two", "2");
  Ref e = Entry(dir_ / "sub/one");
  ASSERT_TRUE(e);

  CallOutcome out = host_->call(e, "getdirectory");
  ++listings_;
  ASSERT_TRUE(out.ok()) << out.status;
  EXPECT_EQ(out.value.typeName(), "QIRAdirectory");
  EXPECT_EQ(Text(out.value, "name"), "sub");
  EXPECT_EQ(Prop(out.value, "entrycount"), Value::integer(2));
  EXPECT_EQ(e.refCount(), 1u);

  // The directory shares the entry's API block and outlives it.
  Ref d = out.value;
  e.reset();
  EXPECT_EQ(host_->value(d).value.utf8(), dir_ / "sub");
}

TEST_F(EntryTest, GetDirectoryOfAnEntryUnderTheRoot) {
  // Any directory right under the root will do; its parent is "/" itself.
  Ref e = Entry("/tmp");
  ASSERT_TRUE(e);
  Variable error = host_->variable();
  CallOutcome out = host_->call(e, "getdirectory", {{"error", error}});
  EXPECT_EQ(out.status, QIRA_OK);
  if (out.delivered) {
    ++listings_;
    EXPECT_EQ(out.value.typeName(), "QIRAdirectory");
  } else {
    // How the root resolves is the path layer's; a refusal must come as a code.
    EXPECT_TRUE(out.noValue);
    EXPECT_NE(Code(error), QIRA_OK);
    // Only a name that never resolved started no listing.
    if (Code(error) != QIRA_ERR_NOTFOUND) ++listings_;
  }
}

}  // namespace
}  // namespace entrytest
