// The qira program end to end: every command run as a subprocess against a scratch directory,
// checked on its output, exit status and error line, and on the disk afterwards.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <regex>
#include <thread>

#include <gtest/gtest.h>

#include "testutil/testutil.h"

namespace {

// Whether text is one well-formed JSON document: tokens become 's' (a string), 'v' (another scalar)
// or themselves, then innermost arrays and objects fold into 'v' until one value is left.
bool IsJson(const std::string &text) {
  static const std::regex token(R"re(\s*("(?:[^"\\\x00-\x1F]|\\["\\/bfnrt]|\\u[0-9a-fA-F]{4})*"|true|false|)re"
                                R"re(null|-?(?:0|[1-9][0-9]*)(?:\.[0-9]+)?(?:[eE][+-]?[0-9]+)?|[\[\]{}:,])\s*)re");
  static const std::regex inner(R"(\[\]|\{\}|\[[sv](,[sv])*\]|\{s:[sv](,s:[sv])*\})");
  std::string shape, folded;
  size_t end = 0;
  for (std::sregex_iterator i(text.begin(), text.end(), token), e; i != e && size_t(i->position()) == end; ++i) {
    end += size_t(i->length());
    const char c = (*i)[1].str()[0];
    shape += c == '"' ? 's' : std::strchr("[]{}:,", c) ? c : 'v';
  }
  while (end == text.size() && (folded = std::regex_replace(shape, inner, "v")) != shape) shape = folded;
  return end == text.size() && shape == "v";
}

int Wait(pid_t pid) {
  int st = 0;
  while (::waitpid(pid, &st, 0) < 0)
    if (errno != EINTR) return -1;
  return WIFEXITED(st) ? WEXITSTATUS(st) : WIFSIGNALED(st) ? 128 + WTERMSIG(st) : -1;
}

class ToolTest : public ::testing::Test {
 protected:
  struct Result { int status; std::string out, err; };  // status 128 + N: killed by signal N
  // Starts the tool in the scratch directory with stdout and stderr to files (no terminal); a UTF-8
  // locale and a fixed zone make names and dates predictable.
  pid_t Start(const std::vector<std::string> &args) {
    std::fflush(nullptr);
    if (const pid_t pid = ::fork()) return pid;
    const int in = ::open("/dev/null", O_RDONLY), out = ::creat((io_ / "out").c_str(), 0600),
              err = ::creat((io_ / "err").c_str(), 0600);
    if (in < 0 || out < 0 || err < 0 || ::dup2(in, 0) < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0 ||
        ::chdir(dir_.path().c_str()) != 0)
      ::_exit(125);
    ::setenv("LC_ALL", "C.UTF-8", 1);
    ::setenv("TZ", "UTC0", 1);
    ::setenv("QIRA_MODULE", QIRA_MODULE_PATH, 1);
    std::vector<char *> argv{const_cast<char *>(QIRA_TOOL_PATH)};
    for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(QIRA_TOOL_PATH, argv.data());
    ::_exit(127);
  }
  Result Qira(const std::vector<std::string> &args) {
    const int status = Wait(Start(args));
    return {status, qt::ReadFile(io_ / "out"), qt::ReadFile(io_ / "err")};
  }
  void Make(const std::string &name, std::string_view content = "", time_t atime = 0, time_t mtime = 0) {
    qt::WriteFile(dir_ / name, content);
    if (mtime) qt::SetTimes(dir_ / name, atime, mtime);
  }
  void MakeDir(const std::string &name) { ASSERT_EQ(::mkdir((dir_ / name).c_str(), 0755), 0); }
  struct stat Stat(const std::string &name) { return qt::StatOf(dir_ / name); }

  struct Row {
    std::vector<std::string> args;
    int status;
    const char *errorLine;  // regex on stderr; empty: nothing printed.  Usage errors add a hint.
    std::function<void()> check;
  };
  void RunRows(const std::vector<Row> &rows) {
    for (const Row &c : rows) {
      SCOPED_TRACE(::testing::PrintToString(c.args));
      Result r = Qira(c.args);
      EXPECT_EQ(r.status, c.status) << r.err;
      const std::string usage = c.status == 2 ? "\nTry 'qira.*--help' for more information\\.\n" : "";
      EXPECT_TRUE(std::regex_match(r.err, std::regex(c.errorLine + usage))) << r.err;
      EXPECT_EQ(r.out, "");  // nothing is shown when stdout is no terminal
      if (c.check) c.check();
    }
  }

  qt::ScratchDir dir_, io_;
};

// Entries that cannot be followed, are dated before 1970 or have hostile names
// are listed like any other; nothing reaches the terminal raw and JSON keeps
// every name exact.
TEST_F(ToolTest, LsListsAwkwardEntriesAndRmReachesTheRightOne) {
  Make("a.txt", "abc", 1000000000, 1234567890);
  Make("old", "", -315619200, -315619200);  // 1960-01-01
  Make("victim", "v");
  for (const char *n : {"\xEF\xBF\xBEvictim", "new\nline", "esc\x1B[31mred", "back\\slash", "caf\xC3\xA9",
                        "zero\xE2\x80\x8Bwidth", "rtl\xE2\x80\xAE" "evil", "bad\xFFname"})
    Make(n, "t");
  ASSERT_EQ(::symlink("nowhere", (dir_ / "dangling").c_str()), 0);
  ASSERT_EQ(::symlink("loop", (dir_ / "loop").c_str()), 0);
  MakeDir("sub");
  Make("sub/inner", "", 0, 1234567890);

  Result r = Qira({"ls"}), j = Qira({"ls", "--json", dir_.path()});
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_EQ(j.status, 0) << j.err;
  EXPECT_EQ(r.err + j.err, "");
  EXPECT_TRUE(IsJson(j.out)) << j.out;
  for (const std::string &all : {r.out, j.out}) {
    EXPECT_EQ(all.find('\x1B'), std::string::npos) << "a raw escape reached the terminal";
    EXPECT_EQ(all.find('\xFF'), std::string::npos);
  }
  for (const char *row : {"  file       7  ", "  dangling\n", "  file       4  ", "  loop\n", "  victim\n",
                          "  directory  -  ", "  file       3  2009-02-13T23:31:30  rw  a.txt\n",
                          "  1960-01-01T00:00:00  rw  old\n", "  \\u{FFFE}victim\n", "  new\\nline\n",
                          "  esc\\x1B[31mred\n", "  back\\\\slash\n", "  caf\xC3\xA9\n", "  zero\\u{200B}width\n",
                          "  rtl\\u{202E}evil\n", "  bad\\xFFname\n"})
    EXPECT_NE(r.out.find(row), std::string::npos) << row << " in\n" << r.out;
  for (const std::string &field : std::vector<std::string>{
           "{\"directory\":\"" + dir_.path() + "\",\"entrycount\":14,\"entries\":[\n{\"index\":1,", "{\"index\":14,",
           "\"name\":\"sub\",\"entrytype\":\"directory\",\"size\":null,",
           "\"name\":\"a.txt\",\"entrytype\":\"file\",\"size\":3,\"created\":null,\"lastchanged\":"
           "\"2009-02-13T23:31:30+00:00\",\"lastchanged_us\":63370164690000000,\"lastaccessed\":"
           "\"2001-09-09T01:46:40+00:00\",\"lastaccessed_us\":63135596800000000,\"readonly\":false,"
           "\"hidden\":false,\"system\":false}",
           "\"name\":\"new\\nline\"", "\"name\":\"bad\\\\xFFname\",\"name_bytes\":\"626164ff6e616d65\",",
           "\"name\":\"\\\\u{FFFE}victim\",\"name_bytes\":\"efbfbe76696374696d\","})
    EXPECT_NE(j.out.find(field), std::string::npos) << field << " in\n" << j.out;

  // --parent lists the directory an entry is in.
  EXPECT_EQ(Qira({"ls", "--parent", "sub/inner"}).out, "1  file  0  2009-02-13T23:31:30  rw  inner\n");
  const std::string parent = "{\"directory\":\"" + dir_ / "sub" + "\",\"entrycount\":1,\"entries\":[\n{\"index\":1,";
  EXPECT_EQ(Qira({"ls", "--json", "--parent", "sub/inner"}).out.substr(0, parent.size()), parent);

  // A name that begins with U+FFFE is its own entry: removing it by its index leaves "victim" alone.
  const size_t line = r.out.rfind('\n', r.out.find("\\u{FFFE}victim")) + 1;  // npos + 1: the first line
  r = Qira({"rm", dir_.path(), std::to_string(std::stoi(r.out.substr(line)))});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(qt::ReadFile(dir_ / "victim"), "v");
  EXPECT_FALSE(qt::Exists(dir_ / "\xEF\xBF\xBEvictim"));
}

TEST_F(ToolTest, CommandsActOnDiskAndReportCodes) {
  for (const char *directory : {"full", "into", "sub"}) MakeDir(directory);
  Make("full/x");
  Make("file", "x");
  Make("src", "source");
  const std::string d = dir_.path();
  auto gone = [&](const char *name) { return [this, name] { EXPECT_FALSE(qt::Exists(dir_ / name)); }; };
  RunRows({
      {{"mkdir", d, "made"}, 0, "", [&] { EXPECT_TRUE(S_ISDIR(Stat("made").st_mode)); }},
      {{"mkdir", d, "made"}, 1, "qira mkdir: made: 5: the entry exists already\n", nullptr},
      {{"mkdir", d, "a/b"}, 1, "qira mkdir: a/b: 33: .*\n", gone("a")},
      {{"mkdir", dir_ / "nope", "x"}, 1, ".*nope: 7: not an existing directory or no such entry\n", nullptr},
      {{"rename", dir_ / "file", "renamed"}, 0, "",
       [&] { EXPECT_EQ(qt::ReadFile(dir_ / "renamed"), "x"); gone("file")(); }},
      {{"rename", dir_ / "renamed", "x/y"}, 1, ".*: 33: .*\n", nullptr},
      {{"touch", "renamed", "--modified", "2001-09-09T01:46:40Z"}, 0, "",
       [&] { EXPECT_EQ(Stat("renamed").st_mtime, 1000000000); }},
      {{"touch", "renamed", "--accessed=2009-02-13T23:31:30Z"}, 0, "",
       [&] { EXPECT_EQ(Stat("renamed").st_atime, 1234567890); EXPECT_EQ(Stat("renamed").st_mtime, 1000000000); }},
      {{"touch", "renamed"}, 0, "", [&] {
         EXPECT_NEAR(Stat("renamed").st_mtime, ::time(nullptr), 5);
         EXPECT_NEAR(Stat("renamed").st_atime, ::time(nullptr), 5);
       }},
      {{"touch", "gone"}, 1, "qira touch: gone: 7: .*\n", nullptr},
      {{"rm", d, "made"}, 0, "", gone("made")},
      {{"rm", d, "made"}, 1, "qira rm: made: 77: no such entry, or a path component that is not a directory\n",
       nullptr},
      {{"rm", d, "full"}, 1, "qira rm: full: 2000039: ENOTEMPTY \\(Directory not empty\\)\n",
       [&] { EXPECT_TRUE(qt::Exists(dir_ / "full/x")); }},
      {{"rm", dir_ / "full", "1"}, 0, "", gone("full/x")},
      // Copies and moves replace only when asked.
      {{"cp", "src", "dst"}, 0, "", [&] { EXPECT_EQ(qt::ReadFile(dir_ / "dst"), "source"); }},
      {{"cp", "src", "dst"}, 1, "qira cp: src -> dst: 5: the entry exists already\n", nullptr},
      {{"cp", "--replace", "dst", "src"}, 0, "", nullptr},
      {{"cp", "src", "into"}, 0, "", [&] { EXPECT_EQ(qt::ReadFile(dir_ / "into/src"), "source"); }},
      {{"cp", "into", "into2"}, 1, "qira cp: into -> into2: 16: .*\n", gone("into2")},
      {{"cp", "nope", "x"}, 1, "qira cp: nope: 7: .*\n", nullptr},
      {{"mv", "dst", "src"}, 1, "qira mv: dst -> src: 5: .*\n", [&] { EXPECT_TRUE(qt::Exists(dir_ / "dst")); }},
      {{"mv", "dst", "moved"}, 0, "", [&] { EXPECT_EQ(qt::ReadFile(dir_ / "moved"), "source"); gone("dst")(); }},
      {{"mv", "--replace", "moved", "src"}, 0, "", gone("moved")},
      {{"mv", "into", "sub"}, 0, "", [&] { EXPECT_EQ(qt::ReadFile(dir_ / "sub/into/src"), "source"); }},
      // Wrong usage exits with 2 and points to the help.
      {{}, 2, "qira: missing command", nullptr},
      {{"--frob"}, 2, "qira: unrecognized option '--frob'", nullptr},
      {{"stat"}, 2, "qira stat: missing operand", nullptr},
      {{"rename", "a"}, 2, "qira rename: missing operand after 'a'", nullptr},
      {{"ls", "a", "b"}, 2, "qira ls: extra operand 'b'", nullptr},
      {{"ls", "--parent", "x", "y"}, 2, "qira ls: --parent takes the place of DIR", nullptr},
      {{"touch", "f", "--modified", "soon"}, 2, "qira touch: invalid date 'soon' .*", nullptr},
      {{"attrib", "f", "--readonly", "maybe"}, 2, "qira attrib: invalid --readonly value 'maybe' .*", nullptr},
      {{"ls", "--sort", "date"}, 2, "qira ls: invalid --sort key 'date' .*", nullptr},
  });

  // Root may write anything, so the read-only state depends on who runs the test.
  const bool ro = ::access((dir_ / "renamed").c_str(), W_OK) != 0;
  EXPECT_EQ(Qira({"attrib", "renamed"}).out,
            std::string("readonly=") + (ro ? "yes" : "no") + " hidden=no system=no  renamed\n");
  Result r = Qira({"attrib", "renamed", "--readonly", ro ? "no" : "yes"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "qira attrib: renamed: 13: not possible on this platform, or neither file nor directory\n");
}

TEST_F(ToolTest, CtrlCAbandonsTheCopyAndLeavesNoPartialFile) {
  constexpr off_t kSize = 256 << 20;
  Make("big");
  ASSERT_EQ(::truncate((dir_ / "big").c_str(), kSize), 0);
  pid_t pid = Start({"cp", "big", "copy"});
  // The destination gets its name only when complete, so wait for the worker
  // process instead: a child of the tool.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (qt::Children(pid).empty() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_EQ(::kill(pid, SIGINT), 0);
  const int status = Wait(pid);
  if (status == 0) GTEST_SKIP() << "the copy ended before Ctrl-C arrived";
  EXPECT_EQ(status, 130);
  EXPECT_NE(qt::ReadFile(io_ / "err").find("qira cp: interrupted"), std::string::npos) << qt::ReadFile(io_ / "err");
  // The program waited for the worker: the destination is complete or absent.
  struct stat st{};
  EXPECT_TRUE(::stat((dir_ / "copy").c_str(), &st) != 0 || st.st_size == kSize) << st.st_size;
}

}  // namespace
