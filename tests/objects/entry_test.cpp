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
      {"name", Value::string8("notes.txt")},  {"created", Value()},  // Linux keeps none
      {"lastchanged", DateOf(1234567890)},    {"lastaccessed", DateOf(1000000000)},
      {"size", Value::integer(5)},            {"entrytype", Value::string8("file")},
      {"readonly", Value::boolean(false)},    {"hidden", Value::boolean(false)},
      {"system", Value::boolean(false)}};
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
  const struct timespec ctime = StatOf(dir_ / "new").st_ctim;
  EXPECT_TRUE(ctime.tv_sec == before.st_ctim.tv_sec && ctime.tv_nsec == before.st_ctim.tv_nsec);
}

// Linux changes no attribute: a request that matches the entry as it is
// succeeds.  Each change rewrites only the three properties it concerns; a
// call that asks for nothing touches nothing, not even a vanished entry.
TEST_F(ObjTest, SetAttributesAndDatesRewriteOnlyWhatTheyConcern) {
  const std::string path = dir_ / "d";
  qt::WriteFile(path, "x");
  qt::WriteFile(dir_ / "v", "x");
  SetTimes(path, 1100000000, 1200000000);
  const Ref e = Entry(path), gone = Entry(dir_ / "v");
  ASSERT_EQ(::unlink((dir_ / "v").c_str()), 0);
  const mode_t mode = StatOf(path).st_mode;
  struct Case { const Ref &recv; const char *method; Args args; uint32_t writes; };
  const Case cases[] = {
      {e, "setattributes", {Arg("readonly", false)}, 3},
      {e, "setattributes", {Arg("readonly", false), Arg("hidden", false), Arg("system", false)},
       3},
      {e, "setdates", {Arg("lastchanged", DateOf(1300000000))}, 3},
      {gone, "setattributes", {}, 0},
      {gone, "setdates", {}, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(::testing::Message() << c.method << " " << c.args.size());
    const uint32_t writes = host_->hostCalls(kSetPropId);
    ExpectSameEntryBack(Run(c.recv, c.method, c.args), c.recv);
    EXPECT_EQ(host_->hostCalls(kSetPropId), writes + c.writes);
  }
  EXPECT_EQ(StatOf(path).st_mode, mode);
  EXPECT_EQ(StatOf(path).st_mtime, 1300000000);
  EXPECT_EQ(StatOf(path).st_atime, 1100000000);
  EXPECT_EQ(Prop(e, "readonly"), Value::boolean(false));
  EXPECT_EQ(Prop(e, "lastchanged"), DateOf(1300000000));
  EXPECT_EQ(Prop(e, "lastaccessed"), DateOf(1100000000));
  EXPECT_TRUE(Prop(e, "created").isNone());
}

}  // namespace
}  // namespace objtest
