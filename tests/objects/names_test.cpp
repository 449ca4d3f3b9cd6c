// Hostile names and awkward entries against real directories, end to end.
#include <algorithm>
#include <map>

#include "objects/fixture.h"

namespace objtest {
namespace {

constexpr char16_t kMarker = 0xFFFE;

// A native name as a script may always give it: the bytes-only form.
std::u16string AsBytes(const std::string &native) {
  std::u16string u(1, kMarker);
  for (unsigned char c : native) u += char16_t(c);
  return u;
}

// The bytes a name handed out by the module stands for.
std::string NativeOf(const std::u16string &u) {
  if (u.empty() || u[0] != kMarker) return qt::U8(u);
  return std::string(u.begin() + 1, u.end());
}

std::map<std::string, std::string> Contents(const std::string &dir) {
  std::map<std::string, std::string> out;
  for (const std::string &n : ReaddirOrder(dir)) out[n] = qt::ReadFile(dir + "/" + n);
  return out;
}

class Names : public ObjTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(locale_.ok()) << "C.UTF-8 locale missing";
    ObjTest::SetUp();
  }
  std::u16string Str(const Ref &obj, const char *prop) { return Prop(obj, prop).str(); }
  std::u16string FullU(const Ref &obj) { return host_->value(obj).value.str(); }
  qt::LocaleGuard locale_{"C.UTF-8"};  // the module converts in the process locale
};

// Each name sits next to "victim" in a readable directory and in one whose
// own name does not decode.  Through the listing it is read, copied, renamed,
// moved and deleted: each step changes exactly that entry.
TEST_F(Names, EveryListedNameReachesItsOwnEntryOnly) {
  const std::string names[] = {"caf\xC3\xA9", "bad\xFF", "smile\xF0\x9F\x98\x80", "\xEF\xBF\xBEvictim",
                               "\xEF\xBF\xBE"};
  for (const char *parent : {"readable", "odd\xFF"}) {
    for (const std::string &n : names) {
      SCOPED_TRACE(testing::PrintToString(std::string(parent) + "/" + n));
      const std::string d = dir_ / parent;
      ASSERT_EQ(::mkdir(d.c_str(), 0755), 0);
      qt::WriteFile(d + "/victim", "decoy");
      qt::WriteFile(d + "/" + n, "target");

      Ref dir = Made(Run(host_->typeObject(kDirType), "new", {Arg("name", AsBytes(d))}));
      EXPECT_EQ(NativeOf(FullU(dir)), d);
      EXPECT_EQ(NativeOf(Str(dir, "name")), parent);
      EXPECT_EQ(Str(dir, "name")[0] == kMarker, parent[3] == '\xFF') << "named on its own";
      const std::vector<std::string> order = ReaddirOrder(d);
      const int64_t index = std::find(order.begin(), order.end(), n) - order.begin() + 1;
      Ref e = Made(Run(dir, "getentry", {Arg("entry", index)}));
      EXPECT_EQ(NativeOf(FullU(e)), d + "/" + n);
      EXPECT_EQ(Prop(e, "size"), Value::integer(6));
      const std::u16string name = Str(e, "name");
      // A name read back is the name given: renaming to it changes nothing.
      EXPECT_TRUE(Run(e, "rename", {Arg("newname", name)}).ok());
      const std::u16string full = FullU(dir);
      EXPECT_TRUE(Run(e, "copy", {Arg("destination", full + u"/copy")}).ok());
      EXPECT_TRUE(Run(e, "rename", {Arg("newname", name + u".r")}).ok());
      EXPECT_EQ(NativeOf(Str(e, "name")), n + ".r");
      EXPECT_TRUE(Run(e, "move", {Arg("destination", full + u"/moved")}).ok());
      EXPECT_EQ(NativeOf(FullU(e)), d + "/moved");
      // The listing still names the entry; a new file under that name goes.
      qt::WriteFile(d + "/" + n, "again");
      CallOutcome del = Run(dir, "deleteentry", {Arg("entry", index)});
      EXPECT_TRUE(del.status == QIRA_OK && del.noValue);
      EXPECT_EQ(Contents(d), (std::map<std::string, std::string>{
                                 {"victim", "decoy"}, {"copy", "target"}, {"moved", "target"}}));
      qt::RemoveTree(d);
    }
  }
}

// A unit 0 would cut a name short and reach another entry: every method that
// takes a name refuses it with 81 and nothing on disk changes.
TEST_F(Names, ZeroUnitsAreRefusedBeforeAnythingIsTouched) {
  qt::WriteFile(dir_ / "victim", "v");
  qt::WriteFile(dir_ / "keep", "k");
  qt::WriteFile(dir_ / "src", "s");
  const Ref dir = Dir(dir_.path()), src = Entry(dir_ / "src");
  const std::u16string nul(1, u'\0');
  const std::u16string keep = qt::U16(dir_ / "keep") + nul + u"x";
  struct Case { Ref recv; const char *method; Args args; };
  const Case cases[] = {
      {host_->typeObject(kDirType), "new", {Arg("name", qt::U16(dir_.path()) + nul)}},
      {host_->typeObject(kEntryType), "new", {Arg("name", qt::U16(dir_ / "victim") + nul + u".bak")}},
      {dir, "createdirectory", {Arg("name", u"keep" + nul + u"x")}},
      {src, "rename", {Arg("newname", u"keep" + nul + u"x")}},
      {src, "copy", {Arg("destination", keep), Arg("replace", true)}},
      {src, "move", {Arg("destination", AsBytes(dir_ / "keep") + nul), Arg("replace", true)}},
  };
  const auto before = Contents(dir_.path());
  for (const Case &c : cases) {
    SCOPED_TRACE(c.method);
    Variable error = host_->variable();
    CallOutcome out = Run(c.recv, c.method, c.args, &error);
    ExpectFailure(out, &error, QIRA_ERR_CONVERT);
    EXPECT_EQ(Contents(dir_.path()), before);
  }
  EXPECT_EQ(NativeOf(FullU(src)), dir_ / "src");
}

// Links a listing cannot follow and an entry removed while the listing runs
// do not break it; a date before 1970 is read exactly.
TEST_F(Names, AwkwardEntriesDoNotBreakAListing) {
  qt::WriteFile(dir_ / "plain", "p");
  ASSERT_EQ(::symlink("nowhere", (dir_ / "dangling").c_str()), 0);
  ASSERT_EQ(::symlink("loop", (dir_ / "loop").c_str()), 0);
  qt::WriteFile(dir_ / "old", "");
  SetTimes(dir_ / "old", -315619200, -315619200);  // 1960-01-01
  MakeFiles(dir_.path(), 20);
  const std::vector<std::string> order = ReaddirOrder(dir_.path());

  Variable error = host_->variable();
  PendingCall call = host_->begin(host_->typeObject(kDirType), "new",
                                  {Arg("name", dir_.path().c_str()), Arg("error", error)});
  ASSERT_TRUE(call.open());
  EXPECT_EQ(call.step(), QIRA_BLOCK_AGAIN);
  ASSERT_EQ(::unlink((dir_ / order.back()).c_str()), 0);  // read by readdir already, or not at all
  CallOutcome out = call.finish();
  ASSERT_TRUE(out.ok()) << error.get();
  const Ref dir = out.value;
  EXPECT_EQ(Prop(dir, "entrycount"), Value::integer(int64_t(order.size()) - 1));
  // getentry reads each entry afresh: a link it cannot follow gets its usual code.
  for (int64_t i = 1; i < int64_t(order.size()); ++i) {
    const std::string &name = order[size_t(i - 1)];
    CallOutcome e = Run(dir, "getentry", {Arg("entry", i)});
    if (name == "dangling" || name == "loop")
      EXPECT_EQ(e.status, name == "loop" ? QIRA_ERR_SYSTEM | ELOOP : QIRA_ERR_NOTFOUND);
    else
      EXPECT_EQ(Text(Made(e), "name"), name);
  }
  EXPECT_EQ(Prop(Entry(dir_ / "old"), "lastchanged"), DateOf(-315619200));
}

}  // namespace
}  // namespace objtest
