// The qira program end to end: every command run as a subprocess against a
// scratch directory, checked on its output (JSON parsed), its exit status,
// its error line, and on the disk afterwards.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <chrono>
#include <functional>
#include <map>
#include <set>
#include <regex>
#include <thread>

#include <gtest/gtest.h>

#include "testutil/testutil.h"
#include "tools/toolrun.h"

namespace tooltest {
namespace {

constexpr uint64_t kUnixEpochUs = 62135596800ull * 1000000ull;

uint64_t DateOf(time_t t) { return kUnixEpochUs + uint64_t(t) * 1000000ull; }

struct stat StatOf(const std::string &path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return st;
}

// A sparse file: large without costing disk space to make.
void MakeSparse(const std::string &path, off_t size) {
  qt::WriteFile(path, "");
  ASSERT_EQ(::truncate(path.c_str(), size), 0);
}

class ToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    opts_.cwd = dir_.path();
    // A UTF-8 locale and a fixed zone make names and dates predictable.
    opts_.env = {{"LC_ALL", "C.UTF-8"}, {"TZ", "UTC0"}, {"QIRA_MODULE", QIRA_MODULE_PATH}};
  }

  RunResult Qira(const std::vector<std::string> &args) { return RunTool(args, opts_); }

  Json ParseOk(const std::string &text) {
    Json j;
    std::string error;
    EXPECT_TRUE(ParseJson(text, j, error)) << error << "\n" << text;
    return j;
  }

  qt::ScratchDir dir_;
  RunOptions opts_;
};

// ---- ls --------------------------------------------------------------------------

TEST_F(ToolTest, LsJsonDescribesEveryEntry) {
  qt::WriteFile(dir_ / "a.txt", "abc");
  ASSERT_EQ(::mkdir((dir_ / "sub").c_str(), 0755), 0);
  struct utimbuf t {1000000000, 1234567890};
  ASSERT_EQ(::utime((dir_ / "a.txt").c_str(), &t), 0);

  RunResult r = Qira({"ls", "--json", dir_.path()});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  Json doc = ParseOk(r.out);
  EXPECT_EQ(doc["directory"].text, dir_.path());
  EXPECT_EQ(doc["entrycount"].text, "2");
  ASSERT_EQ(doc["entries"].items.size(), 2u);
  std::map<std::string, const Json *> byName;
  for (size_t i = 0; i < 2; ++i) {
    const Json &e = doc["entries"][i];
    EXPECT_EQ(e["index"].text, std::to_string(i + 1));
    byName[e["name"].text] = &e;
  }
  ASSERT_TRUE(byName.count("a.txt") && byName.count("sub"));
  const Json &file = *byName["a.txt"];
  EXPECT_EQ(file["entrytype"].text, "file");
  EXPECT_EQ(file["size"].text, "3");
  EXPECT_EQ(file["lastchanged_us"].text, std::to_string(DateOf(1234567890)));
  EXPECT_EQ(file["lastchanged"].text, "2009-02-13T23:31:30+00:00");
  EXPECT_EQ(file["lastaccessed_us"].text, std::to_string(DateOf(1000000000)));
  EXPECT_TRUE(file["created"].isNull());
  EXPECT_EQ(file["hidden"].kind, Json::Kind::Bool);
  EXPECT_FALSE(file["hidden"].boolean);
  const Json &sub = *byName["sub"];
  EXPECT_EQ(sub["entrytype"].text, "directory");
  EXPECT_TRUE(sub["size"].isNull());
}

TEST_F(ToolTest, LsTextShowsIndexTypeSizeDateFlagAndName) {
  qt::WriteFile(dir_ / "a.txt", "abc");
  struct utimbuf t {1234567890, 1234567890};
  ASSERT_EQ(::utime((dir_ / "a.txt").c_str(), &t), 0);
  // Without DIR the listing is the working directory's.
  RunResult r = Qira({"ls"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "1  file  3  2009-02-13T23:31:30  rw  a.txt\n");
}

TEST_F(ToolTest, LsEscapesNamesAndJsonKeepsThemExact) {
  const std::string names[] = {"new\nline", "esc\x1B[31mred", "back\\slash", "caf\xC3\xA9"};
  for (const std::string &n : names) qt::WriteFile(dir_ / n, "");
  RunResult r = Qira({"ls"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.find('\x1B'), std::string::npos) << "a raw escape reached the terminal";
  for (const char *shown : {"  new\\nline\n", "  esc\\x1B[31mred\n", "  back\\\\slash\n",
                            "  caf\xC3\xA9\n"}) {
    EXPECT_NE(r.out.find(shown), std::string::npos) << shown << " in\n" << r.out;
  }

  r = Qira({"ls", "--json"});
  ASSERT_EQ(r.status, 0) << r.err;
  Json doc = ParseOk(r.out);
  std::set<std::string> got;
  for (const Json &e : doc["entries"].items) got.insert(e["name"].text);
  EXPECT_EQ(got, std::set<std::string>(std::begin(names), std::end(names)));
}

TEST_F(ToolTest, LsNeverPrintsUndecodableBytesRaw) {
  qt::WriteFile(dir_ / "bad\xFFname", "x");
  qt::WriteFile(dir_ / "good", "x");
  for (bool json : {false, true}) {
    SCOPED_TRACE(json ? "json" : "text");
    RunResult r = Qira(json ? std::vector<std::string>{"ls", "--json"} : std::vector<std::string>{"ls"});
    EXPECT_EQ(r.out.find('\xFF'), std::string::npos);
    EXPECT_EQ(r.err.find('\xFF'), std::string::npos);
    EXPECT_NE(r.out.find("good"), std::string::npos);
    if (json) ParseOk(r.out);
    // Either the entry is shown escaped, or it is reported as an error line.
    const bool shown = r.out.find("bad\\xFFname") != std::string::npos ||
                       r.out.find("bad\\\\xFFname") != std::string::npos;
    if (!shown) {
      EXPECT_EQ(r.status, 1);
      EXPECT_NE(r.err.find("qira ls: entry "), std::string::npos) << r.err;
    }
  }
}

TEST_F(ToolTest, LsParentListsTheDirectoryOfAnEntry) {
  ASSERT_EQ(::mkdir((dir_ / "sub").c_str(), 0755), 0);
  qt::WriteFile(dir_ / "sub/inner", "");
  RunResult r = Qira({"ls", "--json", "--parent", dir_ / "sub/inner"});
  ASSERT_EQ(r.status, 0) << r.err;
  Json doc = ParseOk(r.out);
  EXPECT_EQ(doc["directory"].text, dir_ / "sub");
  ASSERT_EQ(doc["entries"].items.size(), 1u);
  EXPECT_EQ(doc["entries"][0]["name"].text, "inner");
}

// ---- stat --------------------------------------------------------------------------

TEST_F(ToolTest, StatShowsNinePropertiesAndReportsMissingNames) {
  qt::WriteFile(dir_ / "f", "12345");
  RunResult r = Qira({"stat", "f", "missing"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "qira stat: missing: 7: not an existing directory or no such entry\n");
  for (const std::string &line :
       {"full name     " + (dir_ / "f") + "\n", std::string("name          f\n"),
        std::string("entrytype     file\n"), std::string("size          5\n"),
        std::string("created       -\n"), std::string("readonly      no\n"),
        std::string("hidden        no\n"), std::string("system        no\n")}) {
    EXPECT_NE(r.out.find(line), std::string::npos) << line;
  }
  EXPECT_NE(r.out.find("lastchanged   "), std::string::npos);
  EXPECT_NE(r.out.find("lastaccessed  "), std::string::npos);

  r = Qira({"stat", "--json", "f", "."});
  ASSERT_EQ(r.status, 0) << r.err;
  Json doc = ParseOk(r.out);
  ASSERT_EQ(doc.items.size(), 2u);
  EXPECT_EQ(doc[0]["full"].text, dir_ / "f");
  for (const char *key : {"name", "entrytype", "size", "created", "lastchanged", "lastaccessed",
                          "readonly", "hidden", "system"}) {
    EXPECT_TRUE(doc[0].has(key)) << key;
  }
  EXPECT_EQ(doc[1]["entrytype"].text, "directory");
}

// ---- commands that change entries -------------------------------------------------

TEST_F(ToolTest, ChangeCommandsActOnDiskAndReportCodes) {
  qt::WriteFile(dir_ / "file", "x");
  ASSERT_EQ(::mkdir((dir_ / "full").c_str(), 0755), 0);
  qt::WriteFile(dir_ / "full/x", "");
  const std::string d = dir_.path();
  struct Case {
    const char *what;
    std::vector<std::string> args;
    int status;
    const char *errorLine;  // regex on stderr; empty: nothing printed
    std::function<void()> check;
  };
  const std::vector<Case> cases = {
      {"mkdir", {"mkdir", d, "made"}, 0, "",
       [&] { EXPECT_TRUE(S_ISDIR(StatOf(dir_ / "made").st_mode)); }},
      {"mkdir existing", {"mkdir", d, "made"}, 1,
       "qira mkdir: made: 5: the entry exists already\n", nullptr},
      {"mkdir with slash", {"mkdir", d, "a/b"}, 1, "qira mkdir: a/b: 33: .*\n",
       [&] { EXPECT_FALSE(qt::Exists(dir_ / "a")); }},
      {"mkdir in a missing directory", {"mkdir", dir_ / "nope", "x"}, 1,
       ".*nope: 7: not an existing directory or no such entry\n", nullptr},
      {"rename", {"rename", dir_ / "file", "renamed"}, 0, "",
       [&] {
         EXPECT_FALSE(qt::Exists(dir_ / "file"));
         EXPECT_EQ(qt::ReadFile(dir_ / "renamed"), "x");
       }},
      {"rename with slash", {"rename", dir_ / "renamed", "x/y"}, 1, ".*: 33: .*\n", nullptr},
      {"touch modified", {"touch", "renamed", "--modified", "2001-09-09T01:46:40Z"}, 0, "",
       [&] { EXPECT_EQ(StatOf(dir_ / "renamed").st_mtime, 1000000000); }},
      {"touch accessed", {"touch", "renamed", "--accessed=2009-02-13T23:31:30Z"}, 0, "",
       [&] {
         EXPECT_EQ(StatOf(dir_ / "renamed").st_atime, 1234567890);
         EXPECT_EQ(StatOf(dir_ / "renamed").st_mtime, 1000000000);
       }},
      {"touch now", {"touch", "renamed"}, 0, "",
       [&] { EXPECT_GT(StatOf(dir_ / "renamed").st_mtime, 1600000000); }},
      {"touch missing", {"touch", "gone"}, 1, "qira touch: gone: 7: .*\n", nullptr},
      {"attrib show", {"attrib", "renamed"}, 0, "", nullptr},
      {"attrib hidden state kept", {"attrib", "renamed", "--readonly", "no"}, 0, "", nullptr},
      {"rm by name", {"rm", d, "made"}, 0, "", [&] { EXPECT_FALSE(qt::Exists(dir_ / "made")); }},
      {"rm missing", {"rm", d, "made"}, 1,
       "qira rm: made: 77: no such entry, or a path component that is not a directory\n",
       nullptr},
      {"rm non-empty directory", {"rm", d, "full"}, 1,
       "qira rm: full: 2000039: ENOTEMPTY \\(Directory not empty\\)\n",
       [&] { EXPECT_TRUE(qt::Exists(dir_ / "full/x")); }},
      {"rm by index", {"rm", dir_ / "full", "1"}, 0, "",
       [&] { EXPECT_FALSE(qt::Exists(dir_ / "full/x")); }},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    RunResult r = Qira(c.args);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_TRUE(std::regex_match(r.err, std::regex(c.errorLine))) << r.err;
    if (c.check) c.check();
  }
}

TEST_F(ToolTest, AttribAsksForTheReadOnlyStateTheEntryHas) {
  qt::WriteFile(dir_ / "f", "");
  RunResult r = Qira({"attrib", "f"});
  ASSERT_EQ(r.status, 0) << r.err;
  // Root may write anything, so the state depends on who runs the test.
  const bool ro = ::access((dir_ / "f").c_str(), W_OK) != 0;
  EXPECT_EQ(r.out, std::string("readonly=") + (ro ? "yes" : "no") + " hidden=no system=no  f\n");
  r = Qira({"attrib", "f", "--readonly", ro ? "no" : "yes"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "qira attrib: f: 13: not possible on this platform, or neither file nor "
                   "directory\n");
}

// ---- usage, help, module selection ------------------------------------------------

TEST_F(ToolTest, WrongUsageExitsWithTwo) {
  struct Case {
    std::vector<std::string> args;
    const char *message;
  };
  const std::vector<Case> cases = {
      {{}, "qira: missing command\n"},
      {{"frob"}, "qira: unknown command 'frob'\n"},
      {{"--frob"}, "qira: unrecognized option '--frob'\n"},
      {{"stat"}, "qira stat: missing operand\n"},
      {{"rename", "a"}, "qira rename: missing operand after 'a'\n"},
      {{"ls", "a", "b"}, "qira ls: extra operand 'b'\n"},
      {{"ls", "--parent"}, "qira ls: option '--parent' requires an argument\n"},
      {{"ls", "--parent", "x", "y"}, "qira ls: --parent takes the place of DIR\n"},
      {{"cp", "--replace=yes", "a", "b"}, "qira cp: option '--replace' doesn't allow an argument\n"},
      {{"ls", "-l"}, "qira ls: invalid option -- 'l'\n"},
      {{"touch", "f", "--modified", "soon"}, "qira touch: invalid date 'soon' .*\n"},
      {{"attrib", "f", "--readonly", "maybe"}, "qira attrib: invalid --readonly value 'maybe' .*\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.message);
    RunResult r = Qira(c.args);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(std::regex_match(r.err, std::regex(std::string(c.message) +
                                                   "Try 'qira.*--help' for more information\\.\n")))
        << r.err;
  }
}

TEST_F(ToolTest, EveryCommandHasHelp) {
  RunResult r = Qira({"--help"});
  ASSERT_EQ(r.status, 0);
  for (const char *cmd :
       {"ls", "stat", "mkdir", "rm", "rename", "touch", "attrib", "cp", "mv", "version"}) {
    SCOPED_TRACE(cmd);
    EXPECT_NE(r.out.find(std::string("\n  ") + cmd + " "), std::string::npos);
    RunResult h = Qira({cmd, "--help"});
    EXPECT_EQ(h.status, 0);
    EXPECT_EQ(h.out.rfind(std::string("Usage: qira ") + cmd, 0), 0u) << h.out;
  }
}

TEST_F(ToolTest, VersionNamesTheModuleInUse) {
  RunResult r = Qira({"version"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find(std::string("module       ") + QIRA_MODULE_PATH + "\n"), std::string::npos);
  EXPECT_NE(r.out.find("description  Veltraxis Operating System Utility functions library\n"),
            std::string::npos);
  EXPECT_TRUE(std::regex_search(r.out, std::regex("\nversion      \\S+\n")));

  // Without --module or QIRA_MODULE the module beside the program is used.
  RunOptions beside = opts_;
  beside.unset = {"QIRA_MODULE"};
  beside.env.pop_back();
  r = RunTool({"version"}, beside);
  ASSERT_EQ(r.status, 0) << r.err;
  std::string toolDir = QIRA_TOOL_PATH;
  toolDir.resize(toolDir.rfind('/'));
  EXPECT_NE(r.out.find("module       " + toolDir + "/qira.so\n"), std::string::npos) << r.out;

  // --module wins over the environment; a module that cannot load fails with 1.
  RunOptions badEnv = opts_;
  badEnv.env.back().second = dir_ / "none.so";
  r = RunTool({"version"}, badEnv);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("qira: cannot load module " + (dir_ / "none.so")), std::string::npos);
  r = RunTool({"--module", QIRA_MODULE_PATH, "version"}, badEnv);
  EXPECT_EQ(r.status, 0) << r.err;
}

// ---- cp and mv ---------------------------------------------------------------------

TEST_F(ToolTest, CopyAndMoveReplaceOnlyWhenAsked) {
  qt::WriteFile(dir_ / "src", "source");
  ASSERT_EQ(::mkdir((dir_ / "into").c_str(), 0755), 0);
  struct Case {
    const char *what;
    std::vector<std::string> args;
    int status;
    const char *errorLine;
    std::function<void()> check;
  };
  const std::vector<Case> cases = {
      {"copy", {"cp", "src", "dst"}, 0, "", [&] { EXPECT_EQ(qt::ReadFile(dir_ / "dst"), "source"); }},
      {"copy onto existing", {"cp", "src", "dst"}, 1, "qira cp: src -> dst: 5: the entry exists already\n",
       nullptr},
      {"copy with replace", {"cp", "--replace", "dst", "src"}, 0, "", nullptr},
      {"copy into a directory", {"cp", "src", "into"}, 0, "",
       [&] { EXPECT_EQ(qt::ReadFile(dir_ / "into/src"), "source"); }},
      {"copy of a directory", {"cp", "into", "into2"}, 1, "qira cp: into -> into2: 16: .*\n",
       [&] { EXPECT_FALSE(qt::Exists(dir_ / "into2")); }},
      {"copy of a missing file", {"cp", "nope", "x"}, 1, "qira cp: nope: 7: .*\n", nullptr},
      {"move onto existing", {"mv", "dst", "src"}, 1, "qira mv: dst -> src: 5: .*\n",
       [&] { EXPECT_TRUE(qt::Exists(dir_ / "dst")); }},
      {"move", {"mv", "dst", "moved"}, 0, "",
       [&] {
         EXPECT_FALSE(qt::Exists(dir_ / "dst"));
         EXPECT_EQ(qt::ReadFile(dir_ / "moved"), "source");
       }},
      {"move with replace", {"mv", "--replace", "moved", "src"}, 0, "",
       [&] { EXPECT_FALSE(qt::Exists(dir_ / "moved")); }},
      {"move a directory into one", {"mv", "into", "sub"}, 0, "",
       [&] { EXPECT_EQ(qt::ReadFile(dir_ / "sub/into/src"), "source"); }},
  };
  ASSERT_EQ(::mkdir((dir_ / "sub").c_str(), 0755), 0);
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    RunResult r = Qira(c.args);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_TRUE(std::regex_match(r.err, std::regex(c.errorLine))) << r.err;
    // Nothing is shown when stdout is no terminal.
    EXPECT_EQ(r.out, "");
    if (c.check) c.check();
  }
}

TEST_F(ToolTest, ProgressLineOnATerminalOnly) {
  constexpr off_t kSize = 96 << 20;  // a few hundred milliseconds of copying
  MakeSparse(dir_ / "big", kSize);
  RunResult r = RunOnPty({"cp", "big", "copy"}, opts_);
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(StatOf(dir_ / "copy").st_size, kSize);
  // Refreshed in place; the last refresh shows the whole size.
  EXPECT_NE(r.out.find('\r'), std::string::npos) << r.out;
  std::smatch m;
  std::regex line("\r([0-9.]+ [KMG]?i?B) / 96\\.0 MiB +([0-9]+)%  [0-9.]+ [KMG]?i?B/s  [0-9.]+ s\x1B\\[K");
  std::vector<std::string> shown;
  for (auto it = std::sregex_iterator(r.out.begin(), r.out.end(), line); it != std::sregex_iterator(); ++it)
    shown.push_back((*it)[2]);
  ASSERT_FALSE(shown.empty()) << r.out;
  EXPECT_EQ(shown.back(), "100");
  EXPECT_EQ(r.out.substr(r.out.size() - 2), "\r\n") << "ends the line when done";

  ASSERT_EQ(::unlink((dir_ / "copy").c_str()), 0);
  r = Qira({"cp", "big", "copy"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
}

TEST_F(ToolTest, CtrlCAbandonsTheCopyAndLeavesNoPartialFile) {
  constexpr off_t kSize = 256 << 20;
  MakeSparse(dir_ / "big", kSize);
  const std::string out = dir_ / "out.txt", err = dir_ / "err.txt";
  pid_t pid = Start({"cp", "big", "copy"}, out, err, opts_);
  // Wait until the worker has made the destination.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!qt::Exists(dir_ / "copy") && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  ASSERT_TRUE(qt::Exists(dir_ / "copy"));
  ASSERT_EQ(::kill(pid, SIGINT), 0);
  const int status = Wait(pid);
  if (status == 0) GTEST_SKIP() << "the copy ended before Ctrl-C arrived";
  EXPECT_EQ(status, 130);
  EXPECT_NE(qt::ReadFile(err).find("qira cp: interrupted"), std::string::npos) << qt::ReadFile(err);
  // The program waited for the worker: the destination is complete or absent.
  struct stat st {};
  if (::stat((dir_ / "copy").c_str(), &st) == 0) {
    EXPECT_EQ(st.st_size, kSize);
  }
}

}  // namespace
}  // namespace tooltest
