// QIRAdirectoryentry: its nine properties and the methods that act in place,
// each change checked on disk and in the properties it may and may not
// rewrite.  Their refusals are in the table of dir_test.cpp.
#include "objects/fixture.h"

namespace objtest {
namespace {

// Host API 112: every property the module writes goes through it.
constexpr uint32_t kSetPropId = 112;

// A successful method hands back the receiver itself, with a reference of its own.
void ExpectSameEntryBack(const CallOutcome &out, const Ref &entry) {
  ASSERT_TRUE(out.ok()) << out.status;
  EXPECT_TRUE(out.value == entry);
  EXPECT_EQ(entry.refCount(), 2u);  // the test's handle and the call's value
}

TEST_F(ObjTest, EntryShowsNinePropertiesAndItsFullNameAsValue) {
  const std::string path = dir_ / "notes.txt";
  qt::WriteFile(path, "hello");
  SetTimes(path, 1000000000, 1234567890);
  Ref e = Entry(path);
  ASSERT_TRUE(e);
  EXPECT_EQ(e.refCount(), 1u);  // the construction's reference is the host's now
  const std::pair<const char *, Value> want[] = {
      {"name", Value::string8("notes.txt")},
      {"created", Value()},  // Linux keeps no creation date
      {"lastchanged", DateOf(1234567890)},
      {"lastaccessed", DateOf(1000000000)},
      {"size", Value::integer(5)},
      {"entrytype", Value::string8("file")},
      {"readonly", Value::boolean(false)},
      {"hidden", Value::boolean(false)},
      {"system", Value::boolean(false)},
  };
  for (const auto &[prop, value] : want) {
    EXPECT_EQ(Prop(e, prop), value) << prop;
    EXPECT_EQ(host_->propFlag(e, prop), std::optional<uint16_t>(1)) << prop;
  }
  EXPECT_EQ(host_->value(e).tag, QIRA_TAG_STRING);
  EXPECT_EQ(Full(e), path);

  // A directory has no size; an empty file's is an integer with no digits.
  ASSERT_EQ(::mkdir((dir_ / "d").c_str(), 0755), 0);
  qt::WriteFile(dir_ / "empty", "");
  Ref d = Entry(dir_ / "d");
  EXPECT_EQ(Text(d, "entrytype"), "directory");
  EXPECT_TRUE(Prop(d, "size").isNone());
  Value size = Prop(Entry(dir_ / "empty"), "size");
  EXPECT_EQ(size.kind(), Value::Kind::Int);
  EXPECT_TRUE(size.digits().empty());
}

TEST_F(ObjTest, RenameRepointsTheEntry) {
  qt::WriteFile(dir_ / "old", "abc");
  Ref e = Entry(dir_ / "old");
  ASSERT_TRUE(e);
  ExpectSameEntryBack(Run(e, "rename", {Arg("newname", "new")}), e);
  EXPECT_FALSE(qt::Exists(dir_ / "old"));
  EXPECT_EQ(qt::ReadFile(dir_ / "new"), "abc");
  EXPECT_EQ(Text(e, "name"), "new");
  EXPECT_EQ(Prop(e, "size"), Value::integer(3));
  EXPECT_EQ(Full(e), dir_ / "new");

  // To its current name: no rename(2) (the change time shows none) and no
  // property rewritten.
  const struct stat before = StatOf(dir_ / "new");
  const uint32_t writes = host_->hostCalls(kSetPropId);
  ExpectSameEntryBack(Run(e, "rename", {Arg("newname", "new")}), e);
  EXPECT_EQ(host_->hostCalls(kSetPropId), writes);
  const struct stat after = StatOf(dir_ / "new");
  EXPECT_EQ(after.st_ctim.tv_sec, before.st_ctim.tv_sec);
  EXPECT_EQ(after.st_ctim.tv_nsec, before.st_ctim.tv_nsec);
}

// Linux changes no attribute: a request matching the entry as it is succeeds
// and rewrites the three attribute properties only.
TEST_F(ObjTest, SetAttributesAsTheyAre) {
  qt::WriteFile(dir_ / "f", "x");
  Ref e = Entry(dir_ / "f");
  ASSERT_TRUE(e);
  const mode_t mode = StatOf(dir_ / "f").st_mode;
  for (const Args &args : {Args{Arg("readonly", false)},
                           Args{Arg("readonly", false), Arg("hidden", false),
                                Arg("system", false)}}) {
    SCOPED_TRACE(args.size());
    const uint32_t writes = host_->hostCalls(kSetPropId);
    ExpectSameEntryBack(Run(e, "setattributes", args), e);
    EXPECT_EQ(host_->hostCalls(kSetPropId), writes + 3);
    EXPECT_EQ(Prop(e, "readonly"), Value::boolean(false));
  }
  EXPECT_EQ(StatOf(dir_ / "f").st_mode, mode);
}

TEST_F(ObjTest, SetDatesChangesOnlyWhatItIsGiven) {
  const std::string path = dir_ / "d";
  qt::WriteFile(path, "x");
  SetTimes(path, 1100000000, 1200000000);
  Ref e = Entry(path);
  ASSERT_TRUE(e);
  const uint32_t writes = host_->hostCalls(kSetPropId);
  ExpectSameEntryBack(Run(e, "setdates", {Arg("lastchanged", DateOf(1300000000))}), e);
  EXPECT_EQ(host_->hostCalls(kSetPropId), writes + 3) << "only the three dates are rewritten";
  EXPECT_EQ(StatOf(path).st_mtime, 1300000000);
  EXPECT_EQ(StatOf(path).st_atime, 1100000000);
  EXPECT_EQ(Prop(e, "lastchanged"), DateOf(1300000000));
  EXPECT_EQ(Prop(e, "lastaccessed"), DateOf(1100000000));
  EXPECT_TRUE(Prop(e, "created").isNone());
}

TEST_F(ObjTest, NoFlagsOrDatesNeedNoEntryOnDisk) {
  qt::WriteFile(dir_ / "v", "x");
  Ref e = Entry(dir_ / "v");
  ASSERT_TRUE(e);
  ASSERT_EQ(::unlink((dir_ / "v").c_str()), 0);
  for (const char *method : {"setattributes", "setdates"}) {
    const uint32_t writes = host_->hostCalls(kSetPropId);
    ExpectSameEntryBack(Run(e, method, {}), e);
    EXPECT_EQ(host_->hostCalls(kSetPropId), writes) << method;
  }
}

}  // namespace
}  // namespace objtest
