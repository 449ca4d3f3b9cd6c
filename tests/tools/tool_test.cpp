// The qira program end to end: every command run as a subprocess against a
// scratch directory, checked on its output (JSON parsed), its exit status,
// its error line, and on the disk afterwards.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utime.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "testutil/testutil.h"

namespace {

constexpr uint64_t kUnixEpochUs = 62135596800ull * 1000000ull;
uint64_t DateOf(time_t t) { return kUnixEpochUs + uint64_t(t) * 1000000ull; }

// A parsed JSON value; numbers keep their text so 64-bit values survive.
struct Json {
  char kind = 'n';  // n(ull) b(ool) d(igits) s(tring) a(rray) o(bject)
  std::string text;
  std::vector<Json> items;
  std::vector<std::string> keys;  // an object's, beside its items
  const Json &operator[](size_t i) const { return items.at(i); }
  const Json &operator[](const std::string &key) const {
    static const Json null;
    for (size_t i = 0; i < keys.size(); ++i)
      if (keys[i] == key) return items[i];
    return null;
  }
};

// A strict reader: anything but one complete JSON document fails.
class JsonReader {
 public:
  explicit JsonReader(const std::string &s) : s_(s) {}
  bool Document(Json &v) { return Value(v) && (Ws(), p_ == s_.size()); }

 private:
  void Ws() { while (p_ < s_.size() && std::strchr(" \t\r\n", s_[p_]) && s_[p_]) ++p_; }
  bool Eat(char c) { return Ws(), p_ < s_.size() && s_[p_] == c && ++p_; }
  bool String(std::string &out) {
    if (!Eat('"')) return false;
    while (p_ < s_.size()) {
      const unsigned char c = s_[p_++];
      if (c == '"') return true;
      if (c < 0x20 || (c == '\\' && p_ >= s_.size())) return false;
      if (c != '\\') { out += char(c); continue; }
      const char e = s_[p_++], *from = "\"\\/bfnrt", *to = "\"\\/\b\f\n\r\t";
      if (const char *f = e ? std::strchr(from, e) : nullptr) { out += to[f - from]; continue; }
      const std::string hex = s_.substr(p_, 4);
      if (e != 'u' || hex.size() != 4 || hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) return false;
      const unsigned v = unsigned(std::stoul(hex, nullptr, 16));
      p_ += 4;
      // One unit to UTF-8; the tool writes paired characters raw.
      if (v < 0x80) out += char(v);
      else if (v < 0x800) out += {char(0xC0 | v >> 6), char(0x80 | (v & 63))};
      else out += {char(0xE0 | v >> 12), char(0x80 | (v >> 6 & 63)), char(0x80 | (v & 63))};
    }
    return false;
  }
  bool Value(Json &v) {
    Ws();
    if (p_ >= s_.size()) return false;
    if (s_[p_] == '"') return v.kind = 's', String(v.text);
    if (s_[p_] == '[' || s_[p_] == '{') {
      v.kind = s_[p_] == '[' ? 'a' : 'o';
      const char close = s_[p_++] == '[' ? ']' : '}';
      if (Eat(close)) return true;
      do {
        if (v.kind == 'o' && (v.keys.emplace_back(), !String(v.keys.back()) || !Eat(':'))) return false;
        if (!Value(v.items.emplace_back())) return false;
      } while (Eat(','));
      return Eat(close);
    }
    for (const char *word : {"true", "false", "null"}) {
      if (s_.compare(p_, std::strlen(word), word) == 0) {
        v.kind = *word == 'n' ? 'n' : 'b', v.text = word, p_ += std::strlen(word);
        return true;
      }
    }
    static const std::regex number("-?(0|[1-9][0-9]*)(\\.[0-9]+)?([eE][+-]?[0-9]+)?");
    std::smatch m;
    if (!std::regex_search(s_.begin() + long(p_), s_.end(), m, number, std::regex_constants::match_continuous))
      return false;
    v.kind = 'd', v.text = m.str(), p_ += size_t(m.length());
    return true;
  }
  const std::string &s_;
  size_t p_ = 0;
};

struct RunResult {
  int status = -1;  // 128 + signal when killed by one
  std::string out, err;
};

int Wait(pid_t pid) {
  int st = 0;
  while (::waitpid(pid, &st, 0) < 0)
    if (errno != EINTR) return -1;
  return WIFEXITED(st) ? WEXITSTATUS(st) : WIFSIGNALED(st) ? 128 + WTERMSIG(st) : -1;
}

class ToolTest : public ::testing::Test {
 protected:
  // A UTF-8 locale and a fixed zone make names and dates predictable; an
  // empty value removes the variable.
  std::map<std::string, std::string> env_ = {
      {"LC_ALL", "C.UTF-8"}, {"TZ", "UTC0"}, {"QIRA_MODULE", QIRA_MODULE_PATH}};
  std::string tool_ = QIRA_TOOL_PATH;  // the program run

  [[noreturn]] void Exec(const std::vector<std::string> &args) {
    if (::chdir(dir_.path().c_str()) != 0) ::_exit(126);
    for (const auto &[k, v] : env_) v.empty() ? ::unsetenv(k.c_str()) : ::setenv(k.c_str(), v.c_str(), 1);
    std::vector<char *> argv{const_cast<char *>(tool_.c_str())};
    for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(tool_.c_str(), argv.data());
    ::_exit(127);
  }
  // Starts the tool with stdout and stderr to files (no terminal).
  pid_t Start(const std::vector<std::string> &args) {
    std::fflush(nullptr);
    pid_t pid = ::fork();
    if (pid != 0) return pid;
    const int in = ::open("/dev/null", O_RDONLY), out = ::creat((io_ / "out").c_str(), 0600),
              err = ::creat((io_ / "err").c_str(), 0600);
    if (in < 0 || out < 0 || err < 0 || ::dup2(in, 0) < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0) ::_exit(125);
    Exec(args);
  }
  RunResult Qira(const std::vector<std::string> &args) {
    const int status = Wait(Start(args));
    return {status, qt::ReadFile(io_ / "out"), qt::ReadFile(io_ / "err")};
  }
  static Json Parse(const std::string &text) {
    Json j;
    EXPECT_TRUE(JsonReader(text).Document(j)) << text;
    return j;
  }
  void Make(const std::string &name, std::string_view content = "", time_t atime = 0, time_t mtime = 0) {
    qt::WriteFile(dir_ / name, content);
    struct utimbuf t{atime, mtime};
    if (mtime) {
      ASSERT_EQ(::utime((dir_ / name).c_str(), &t), 0);
    }
  }
  void MakeDir(const std::string &name) { ASSERT_EQ(::mkdir((dir_ / name).c_str(), 0755), 0); }
  struct stat Stat(const std::string &name) {
    struct stat st{};
    EXPECT_EQ(::stat((dir_ / name).c_str(), &st), 0) << name;
    return st;
  }

  struct Row {
    const char *what;
    std::vector<std::string> args;
    int status;
    const char *errorLine;  // regex on stderr; empty: nothing printed
    std::function<void()> check;
  };
  void RunRows(const std::vector<Row> &rows) {
    for (const Row &c : rows) {
      SCOPED_TRACE(c.what);
      RunResult r = Qira(c.args);
      EXPECT_EQ(r.status, c.status) << r.err;
      EXPECT_TRUE(std::regex_match(r.err, std::regex(c.errorLine))) << r.err;
      EXPECT_EQ(r.out, "");  // nothing is shown when stdout is no terminal
      if (c.check) c.check();
    }
  }

  qt::ScratchDir dir_, io_;
};

TEST_F(ToolTest, LsDescribesEveryEntryInTextAndJson) {
  Make("a.txt", "abc", 1000000000, 1234567890);
  MakeDir("sub");
  Make("sub/inner");
  RunResult r = Qira({"ls", "--json", dir_.path()});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  Json doc = Parse(r.out);
  EXPECT_EQ(doc["directory"].text, dir_.path());
  EXPECT_EQ(doc["entrycount"].text, "2");
  ASSERT_EQ(doc["entries"].items.size(), 2u);
  std::map<std::string, const Json *> byName;
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(doc["entries"][i]["index"].text, std::to_string(i + 1));
    byName[doc["entries"][i]["name"].text] = &doc["entries"][i];
  }
  ASSERT_TRUE(byName.count("a.txt") && byName.count("sub"));
  const Json &file = *byName["a.txt"], &sub = *byName["sub"];
  EXPECT_EQ(file["entrytype"].text, "file");
  EXPECT_EQ(file["size"].text, "3");
  EXPECT_EQ(file["lastchanged_us"].text, std::to_string(DateOf(1234567890)));
  EXPECT_EQ(file["lastchanged"].text, "2009-02-13T23:31:30+00:00");
  EXPECT_EQ(file["lastaccessed_us"].text, std::to_string(DateOf(1000000000)));
  EXPECT_EQ(file["created"].kind, 'n');
  EXPECT_EQ(file["hidden"].kind, 'b');
  EXPECT_EQ(file["hidden"].text, "false");
  EXPECT_EQ(sub["entrytype"].text, "directory");
  EXPECT_EQ(sub["size"].kind, 'n');

  // --parent lists the directory an entry is in; without DIR, the working one.
  doc = Parse(Qira({"ls", "--json", "--parent", dir_ / "sub/inner"}).out);
  EXPECT_EQ(doc["directory"].text, dir_ / "sub");
  EXPECT_EQ(doc["entries"][0]["name"].text, "inner");
  qt::RemoveTree(dir_ / "sub");
  r = Qira({"ls"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "1  file  3  2009-02-13T23:31:30  rw  a.txt\n");
}

TEST_F(ToolTest, LsEscapesNamesAndJsonKeepsThemExact) {
  const std::set<std::string> names = {"new\nline", "esc\x1B[31mred", "back\\slash", "caf\xC3\xA9",
                                       "zero\xE2\x80\x8Bwidth", "rtl\xE2\x80\xAE" "evil"};
  for (const std::string &n : names) Make(n);
  RunResult r = Qira({"ls"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.find('\x1B'), std::string::npos) << "a raw escape reached the terminal";
  for (const char *shown : {"  new\\nline\n", "  esc\\x1B[31mred\n", "  back\\\\slash\n", "  caf\xC3\xA9\n",
                            "  zero\\u{200B}width\n", "  rtl\\u{202E}evil\n"})
    EXPECT_NE(r.out.find(shown), std::string::npos) << shown << " in\n" << r.out;
  std::set<std::string> got;
  // The document must outlive the loop: a range over a member of a temporary
  // would read freed memory.
  const Json listing = Parse(Qira({"ls", "--json"}).out);
  for (const Json &e : listing["entries"].items) got.insert(e["name"].text);
  EXPECT_EQ(got, names);

  // A name the locale cannot decode is shown escaped, or reported as an error line.
  for (const std::string &n : names) ASSERT_EQ(::unlink((dir_ / n).c_str()), 0);
  Make("bad\xFFname");
  Make("good");
  for (bool json : {false, true}) {
    SCOPED_TRACE(json ? "json" : "text");
    r = Qira(json ? std::vector<std::string>{"ls", "--json"} : std::vector<std::string>{"ls"});
    EXPECT_EQ((r.out + r.err).find('\xFF'), std::string::npos);
    EXPECT_NE(r.out.find("good"), std::string::npos);
    if (json) Parse(r.out);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(json ? "bad\\\\xFFname" : "bad\\xFFname"), std::string::npos) << r.out;
  }
}

// Entries that cannot be followed or are dated before 1970 are listed like
// any other; a name that begins with U+FFFE is its own entry, and removing it
// by its index leaves "victim" alone.
TEST_F(ToolTest, LsListsAwkwardEntriesAndRmReachesTheRightOne) {
  Make("victim", "v");
  Make("\xEF\xBF\xBEvictim", "t");
  Make("old", "", -315619200, -315619200);  // 1960-01-01
  ASSERT_EQ(::symlink("nowhere", (dir_ / "dangling").c_str()), 0);
  ASSERT_EQ(::symlink("loop", (dir_ / "loop").c_str()), 0);
  RunResult r = Qira({"ls"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  for (const char *row : {"  file  7  ", "  dangling\n", "  file  4  ", "  loop\n",
                          "  1960-01-01T00:00:00  rw  old\n", "  \\u{FFFE}victim\n", "  victim\n"})
    EXPECT_NE(r.out.find(row), std::string::npos) << row << " in\n" << r.out;
  const size_t at = r.out.find("\\u{FFFE}victim");
  const size_t line = r.out.rfind('\n', at) == std::string::npos ? 0 : r.out.rfind('\n', at) + 1;
  const std::string index = r.out.substr(line, r.out.find(' ', line) - line);
  r = Qira({"rm", dir_.path(), index});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(qt::ReadFile(dir_ / "victim"), "v");
  EXPECT_FALSE(qt::Exists(dir_ / "\xEF\xBF\xBEvictim"));
}

TEST_F(ToolTest, ChangeCommandsActOnDiskAndReportCodes) {
  Make("file", "x");
  MakeDir("full");
  Make("full/x");
  const std::string d = dir_.path();
  RunRows({
      {"mkdir", {"mkdir", d, "made"}, 0, "", [&] { EXPECT_TRUE(S_ISDIR(Stat("made").st_mode)); }},
      {"mkdir existing", {"mkdir", d, "made"}, 1, "qira mkdir: made: 5: the entry exists already\n", nullptr},
      {"mkdir with slash", {"mkdir", d, "a/b"}, 1, "qira mkdir: a/b: 33: .*\n", [&] { EXPECT_FALSE(qt::Exists(dir_ / "a")); }},
      {"mkdir in a missing directory", {"mkdir", dir_ / "nope", "x"}, 1,
       ".*nope: 7: not an existing directory or no such entry\n", nullptr},
      {"rename", {"rename", dir_ / "file", "renamed"}, 0, "",
       [&] { EXPECT_EQ(qt::ReadFile(dir_ / "renamed"), "x"); EXPECT_FALSE(qt::Exists(dir_ / "file")); }},
      {"rename with slash", {"rename", dir_ / "renamed", "x/y"}, 1, ".*: 33: .*\n", nullptr},
      {"touch modified", {"touch", "renamed", "--modified", "2001-09-09T01:46:40Z"}, 0, "",
       [&] { EXPECT_EQ(Stat("renamed").st_mtime, 1000000000); }},
      {"touch accessed", {"touch", "renamed", "--accessed=2009-02-13T23:31:30Z"}, 0, "",
       [&] { EXPECT_EQ(Stat("renamed").st_atime, 1234567890); EXPECT_EQ(Stat("renamed").st_mtime, 1000000000); }},
      {"touch now", {"touch", "renamed"}, 0, "", [&] { EXPECT_GT(Stat("renamed").st_mtime, 1600000000); }},
      {"touch missing", {"touch", "gone"}, 1, "qira touch: gone: 7: .*\n", nullptr},
      {"rm by name", {"rm", d, "made"}, 0, "", [&] { EXPECT_FALSE(qt::Exists(dir_ / "made")); }},
      {"rm missing", {"rm", d, "made"}, 1,
       "qira rm: made: 77: no such entry, or a path component that is not a directory\n", nullptr},
      {"rm non-empty directory", {"rm", d, "full"}, 1, "qira rm: full: 2000039: ENOTEMPTY \\(Directory not empty\\)\n",
       [&] { EXPECT_TRUE(qt::Exists(dir_ / "full/x")); }},
      {"rm by index", {"rm", dir_ / "full", "1"}, 0, "", [&] { EXPECT_FALSE(qt::Exists(dir_ / "full/x")); }},
  });

  // Root may write anything, so the read-only state depends on who runs the test.
  const bool ro = ::access((dir_ / "renamed").c_str(), W_OK) != 0;
  RunResult r = Qira({"attrib", "renamed"});
  EXPECT_EQ(r.out, std::string("readonly=") + (ro ? "yes" : "no") + " hidden=no system=no  renamed\n");
  r = Qira({"attrib", "renamed", "--readonly", ro ? "no" : "yes"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "qira attrib: renamed: 13: not possible on this platform, or neither file nor directory\n");
}

TEST_F(ToolTest, WrongUsageExitsWithTwo) {
  const std::pair<std::vector<std::string>, const char *> cases[] = {
      {{}, "qira: missing command"},
      {{"--frob"}, "qira: unrecognized option '--frob'"},
      {{"stat"}, "qira stat: missing operand"},
      {{"rename", "a"}, "qira rename: missing operand after 'a'"},
      {{"ls", "a", "b"}, "qira ls: extra operand 'b'"},
      {{"ls", "--parent", "x", "y"}, "qira ls: --parent takes the place of DIR"},
      {{"touch", "f", "--modified", "soon"}, "qira touch: invalid date 'soon' .*"},
      {{"attrib", "f", "--readonly", "maybe"}, "qira attrib: invalid --readonly value 'maybe' .*"},
      {{"ls", "--sort", "date"}, "qira ls: invalid --sort key 'date' .*"},
  };
  for (const auto &[args, message] : cases) {
    SCOPED_TRACE(message);
    RunResult r = Qira(args);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(std::regex_match(r.err, std::regex(std::string(message) + "\nTry 'qira.*--help' for more information\\.\n")))
        << r.err;
  }
}

TEST_F(ToolTest, CopyAndMoveReplaceOnlyWhenAsked) {
  Make("src", "source");
  MakeDir("into");
  MakeDir("sub");
  RunRows({
      {"copy", {"cp", "src", "dst"}, 0, "", [&] { EXPECT_EQ(qt::ReadFile(dir_ / "dst"), "source"); }},
      {"copy onto existing", {"cp", "src", "dst"}, 1, "qira cp: src -> dst: 5: the entry exists already\n", nullptr},
      {"copy with replace", {"cp", "--replace", "dst", "src"}, 0, "", nullptr},
      {"copy into a directory", {"cp", "src", "into"}, 0, "", [&] { EXPECT_EQ(qt::ReadFile(dir_ / "into/src"), "source"); }},
      {"copy of a directory", {"cp", "into", "into2"}, 1, "qira cp: into -> into2: 16: .*\n",
       [&] { EXPECT_FALSE(qt::Exists(dir_ / "into2")); }},
      {"copy of a missing file", {"cp", "nope", "x"}, 1, "qira cp: nope: 7: .*\n", nullptr},
      {"move onto existing", {"mv", "dst", "src"}, 1, "qira mv: dst -> src: 5: .*\n", [&] { EXPECT_TRUE(qt::Exists(dir_ / "dst")); }},
      {"move", {"mv", "dst", "moved"}, 0, "",
       [&] { EXPECT_EQ(qt::ReadFile(dir_ / "moved"), "source"); EXPECT_FALSE(qt::Exists(dir_ / "dst")); }},
      {"move with replace", {"mv", "--replace", "moved", "src"}, 0, "", [&] { EXPECT_FALSE(qt::Exists(dir_ / "moved")); }},
      {"move a directory into one", {"mv", "into", "sub"}, 0, "", [&] { EXPECT_EQ(qt::ReadFile(dir_ / "sub/into/src"), "source"); }},
  });
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
  if (::stat((dir_ / "copy").c_str(), &st) == 0) {
    EXPECT_EQ(st.st_size, kSize);
  }
}

}  // namespace
