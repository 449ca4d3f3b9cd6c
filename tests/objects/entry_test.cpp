// QIRAdirectoryentry's properties and in-place methods; their refusals are in
// the table of dir_test.cpp.
#include "objects/fixture.h"

namespace objtest {
namespace {

constexpr uint32_t kSetPropId = 112;  // the host API every property write goes through

// A method hands back the receiver, with a reference of its own.  Linux
// changes no attribute, but a request matching the entry succeeds.  A call
// rewrites only the properties it concerns; one that changes nothing touches
// nothing (not even a vanished entry, nor the change time by a rename).
TEST_F(ObjTest, EntryPropertiesAndTheMethodsThatRewriteThem) {
  const std::string path = dir_ / "d";
  qt::WriteFile(dir_ / "old", "abc");
  qt::WriteFile(dir_ / "v", "x");
  SetTimes(dir_ / "old", 1000000000, 1234567890);
  const Ref e = Entry(dir_ / "old"), gone = Entry(dir_ / "v");
  EXPECT_EQ(e.refCount(), 1u);  // the construction's reference is the host's now
  const std::pair<const char *, Value> want[] = {
      {"name", Value::string8("old")},      {"created", Value()},  // Linux keeps none
      {"lastchanged", DateOf(1234567890)},  {"lastaccessed", DateOf(1000000000)},
      {"size", Value::integer(3)},          {"entrytype", Value::string8("file")},
      {"readonly", Value::boolean(false)},  {"hidden", Value::boolean(false)},
      {"system", Value::boolean(false)}};
  for (const auto &[prop, value] : want) {
    EXPECT_EQ(Prop(e, prop), value) << prop;
    EXPECT_EQ(host_->propFlag(e, prop), std::optional<uint16_t>(1)) << prop;
  }
  ASSERT_EQ(::unlink((dir_ / "v").c_str()), 0);
  const mode_t mode = StatOf(dir_ / "old").st_mode;
  struct Case { const Ref &recv; const char *method; Args args; uint32_t writes; };
  const Case cases[] = {
      {e, "rename", {Arg("newname", "d")}, 9},
      {e, "rename", {Arg("newname", "d")}, 0},
      {e, "setattributes", {Arg("readonly", false), Arg("hidden", false), Arg("system", false)}, 3},
      {e, "setdates", {Arg("lastchanged", DateOf(1300000000))}, 3},
      {gone, "setattributes", {}, 0},
      {gone, "setdates", {}, 0},
  };
  struct timespec ctime {};
  for (const Case &c : cases) {
    SCOPED_TRACE(::testing::Message() << c.method << " " << c.args.size() << " " << c.writes);
    if (&c.recv == &e && qt::Exists(path)) {
      SetTimes(path, 1100000000, 1200000000);
      ctime = StatOf(path).st_ctim;
    }
    const uint32_t writes = host_->hostCalls(kSetPropId);
    CallOutcome out = Run(c.recv, c.method, c.args);
    ASSERT_TRUE(out.ok()) << out.status;
    EXPECT_TRUE(out.value == c.recv);
    EXPECT_EQ(c.recv.refCount(), 2u);  // the test's handle and the call's value
    EXPECT_EQ(host_->hostCalls(kSetPropId), writes + c.writes);
    if (c.writes == 0 && &c.recv == &e) {
      EXPECT_EQ(StatOf(path).st_ctim.tv_nsec, ctime.tv_nsec);
    }
  }
  EXPECT_FALSE(qt::Exists(dir_ / "old"));
  EXPECT_EQ(Full(e), path);
  EXPECT_EQ(Text(e, "name"), "d");
  EXPECT_EQ(StatOf(path).st_mode, mode);
  EXPECT_EQ(StatOf(path).st_mtime, 1300000000);
  EXPECT_EQ(StatOf(path).st_atime, 1100000000);
  EXPECT_EQ(Prop(e, "lastchanged"), DateOf(1300000000));
  EXPECT_EQ(Prop(e, "lastaccessed"), DateOf(1100000000));

  // A directory has no size; an empty file's is an integer with no digits.
  ASSERT_EQ(::mkdir((dir_ / "dir").c_str(), 0755), 0);
  qt::WriteFile(dir_ / "empty", "");
  EXPECT_TRUE(Prop(Entry(dir_ / "dir"), "size").isNone());
  EXPECT_EQ(Prop(Entry(dir_ / "empty"), "size"), Value::integer(0));
}

}  // namespace
}  // namespace objtest
