// Subprocess and JSON helpers of the tool's tests.
#include "tools/toolrun.h"

#include <fcntl.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <gtest/gtest.h>

#include "testutil/testutil.h"

namespace tooltest {
namespace {

// In the child, before exec: working directory and environment.
void prepareChild(const RunOptions &opts) {
  if (!opts.cwd.empty() && ::chdir(opts.cwd.c_str()) != 0) ::_exit(126);
  for (const auto &kv : opts.env) ::setenv(kv.first.c_str(), kv.second.c_str(), 1);
  for (const std::string &name : opts.unset) ::unsetenv(name.c_str());
}

[[noreturn]] void execTool(const std::vector<std::string> &args) {
  std::vector<char *> argv;
  argv.push_back(const_cast<char *>(QIRA_TOOL_PATH));
  for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  ::execv(QIRA_TOOL_PATH, argv.data());
  ::_exit(127);
}

std::string tempName(const char *what) {
  std::string t = ::testing::TempDir() + "/qira-tool-" + what + "-XXXXXX";
  int fd = ::mkstemp(t.data());
  if (fd >= 0) ::close(fd);
  return t;
}

}  // namespace

pid_t Start(const std::vector<std::string> &args, const std::string &outFile,
            const std::string &errFile, const RunOptions &opts) {
  std::fflush(nullptr);
  pid_t pid = ::fork();
  if (pid != 0) return pid;
  int out = ::open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  int err = ::open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (out < 0 || err < 0) ::_exit(125);
  ::dup2(out, 1);
  ::dup2(err, 2);
  ::close(out);
  ::close(err);
  int in = ::open("/dev/null", O_RDONLY);
  if (in >= 0) ::dup2(in, 0);
  prepareChild(opts);
  execTool(args);
}

int Wait(pid_t pid) {
  int st = 0;
  while (::waitpid(pid, &st, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  if (WIFEXITED(st)) return WEXITSTATUS(st);
  if (WIFSIGNALED(st)) return 128 + WTERMSIG(st);
  return -1;
}

RunResult RunTool(const std::vector<std::string> &args, const RunOptions &opts) {
  const std::string out = tempName("out"), err = tempName("err");
  RunResult r;
  r.status = Wait(Start(args, out, err, opts));
  r.out = qt::ReadFile(out);
  r.err = qt::ReadFile(err);
  ::unlink(out.c_str());
  ::unlink(err.c_str());
  return r;
}

RunResult RunOnPty(const std::vector<std::string> &args, const RunOptions &opts) {
  RunResult r;
  int master = -1;
  std::fflush(nullptr);
  pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
  if (pid < 0) return r;
  if (pid == 0) {
    prepareChild(opts);
    execTool(args);
  }
  char buf[4096];
  for (;;) {
    ssize_t n = ::read(master, buf, sizeof buf);
    if (n > 0) {
      r.out.append(buf, size_t(n));
      continue;
    }
    // EIO: the slave side is closed, the program has ended.
    if (n < 0 && errno == EINTR) continue;
    break;
  }
  ::close(master);
  r.status = Wait(pid);
  return r;
}

// ---- JSON ------------------------------------------------------------------------

const Json &Json::operator[](const std::string &key) const {
  static const Json kNull;
  for (const auto &m : members) {
    if (m.first == key) return m.second;
  }
  return kNull;
}

bool Json::has(const std::string &key) const {
  for (const auto &m : members) {
    if (m.first == key) return true;
  }
  return false;
}

namespace {

class Parser {
 public:
  explicit Parser(const std::string &s) : s_(s) {}

  bool document(Json &out, std::string &error) {
    ws();
    if (!value(out)) {
      error = error_ + " at offset " + std::to_string(pos_);
      return false;
    }
    ws();
    if (pos_ != s_.size()) {
      error = "text after the document at offset " + std::to_string(pos_);
      return false;
    }
    return true;
  }

 private:
  bool fail(const char *what) {
    if (error_.empty()) error_ = what;
    return false;
  }
  void ws() {
    while (pos_ < s_.size() && (s_[pos_] == ' ' || s_[pos_] == '\n' || s_[pos_] == '\t' || s_[pos_] == '\r'))
      ++pos_;
  }
  bool literal(const char *word) {
    size_t n = std::strlen(word);
    if (s_.compare(pos_, n, word) != 0) return fail("bad literal");
    pos_ += n;
    return true;
  }
  bool value(Json &v) {
    if (pos_ >= s_.size()) return fail("unexpected end");
    char c = s_[pos_];
    if (c == '{') return object(v);
    if (c == '[') return array(v);
    if (c == '"') {
      v.kind = Json::Kind::String;
      return string(v.text);
    }
    if (c == 't' || c == 'f') {
      v.kind = Json::Kind::Bool;
      v.boolean = c == 't';
      return literal(c == 't' ? "true" : "false");
    }
    if (c == 'n') return literal("null");
    return number(v);
  }
  bool number(Json &v) {
    size_t start = pos_;
    if (s_[pos_] == '-') ++pos_;
    if (pos_ >= s_.size() || !isdigit(uint8_t(s_[pos_]))) return fail("bad number");
    if (s_[pos_] == '0') {
      ++pos_;
    } else {
      while (pos_ < s_.size() && isdigit(uint8_t(s_[pos_]))) ++pos_;
    }
    if (pos_ < s_.size() && s_[pos_] == '.') {
      ++pos_;
      if (pos_ >= s_.size() || !isdigit(uint8_t(s_[pos_]))) return fail("bad fraction");
      while (pos_ < s_.size() && isdigit(uint8_t(s_[pos_]))) ++pos_;
    }
    if (pos_ < s_.size() && (s_[pos_] == 'e' || s_[pos_] == 'E')) {
      ++pos_;
      if (pos_ < s_.size() && (s_[pos_] == '+' || s_[pos_] == '-')) ++pos_;
      if (pos_ >= s_.size() || !isdigit(uint8_t(s_[pos_]))) return fail("bad exponent");
      while (pos_ < s_.size() && isdigit(uint8_t(s_[pos_]))) ++pos_;
    }
    v.kind = Json::Kind::Number;
    v.text = s_.substr(start, pos_ - start);
    return true;
  }
  static void utf8(std::string &out, uint32_t c) {
    if (c < 0x80) {
      out += char(c);
    } else if (c < 0x800) {
      out += char(0xC0 | (c >> 6));
      out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += char(0xE0 | (c >> 12));
      out += char(0x80 | ((c >> 6) & 0x3F));
      out += char(0x80 | (c & 0x3F));
    } else {
      out += char(0xF0 | (c >> 18));
      out += char(0x80 | ((c >> 12) & 0x3F));
      out += char(0x80 | ((c >> 6) & 0x3F));
      out += char(0x80 | (c & 0x3F));
    }
  }
  bool hex4(uint32_t &v) {
    if (pos_ + 4 > s_.size()) return fail("short \\u escape");
    v = 0;
    for (int i = 0; i < 4; ++i) {
      char c = s_[pos_++];
      v <<= 4;
      if (c >= '0' && c <= '9') v |= uint32_t(c - '0');
      else if (c >= 'a' && c <= 'f') v |= uint32_t(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F') v |= uint32_t(c - 'A' + 10);
      else return fail("bad \\u escape");
    }
    return true;
  }
  bool string(std::string &out) {
    ++pos_;  // the opening quote
    for (;;) {
      if (pos_ >= s_.size()) return fail("unterminated string");
      uint8_t c = uint8_t(s_[pos_++]);
      if (c == '"') return true;
      if (c < 0x20) return fail("raw control character in a string");
      if (c != '\\') {
        out += char(c);
        continue;
      }
      if (pos_ >= s_.size()) return fail("unterminated escape");
      char e = s_[pos_++];
      switch (e) {
        case '"': out += '"'; break;
        case '\\': out += '\\'; break;
        case '/': out += '/'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
          uint32_t v;
          if (!hex4(v)) return false;
          if (v >= 0xD800 && v < 0xDC00 && s_.compare(pos_, 2, "\\u") == 0) {
            size_t save = pos_;
            pos_ += 2;
            uint32_t lo;
            if (!hex4(lo)) return false;
            if (lo >= 0xDC00 && lo <= 0xDFFF) {
              v = 0x10000 + ((v - 0xD800) << 10) + (lo - 0xDC00);
            } else {
              pos_ = save;
            }
          }
          utf8(out, v);
          break;
        }
        default: return fail("bad escape");
      }
    }
  }
  bool array(Json &v) {
    v.kind = Json::Kind::Array;
    ++pos_;
    ws();
    if (pos_ < s_.size() && s_[pos_] == ']') {
      ++pos_;
      return true;
    }
    for (;;) {
      ws();
      v.items.emplace_back();
      if (!value(v.items.back())) return false;
      ws();
      if (pos_ < s_.size() && s_[pos_] == ',') {
        ++pos_;
        continue;
      }
      if (pos_ < s_.size() && s_[pos_] == ']') {
        ++pos_;
        return true;
      }
      return fail("expected , or ]");
    }
  }
  bool object(Json &v) {
    v.kind = Json::Kind::Object;
    ++pos_;
    ws();
    if (pos_ < s_.size() && s_[pos_] == '}') {
      ++pos_;
      return true;
    }
    for (;;) {
      ws();
      if (pos_ >= s_.size() || s_[pos_] != '"') return fail("expected a key");
      std::string key;
      if (!string(key)) return false;
      ws();
      if (pos_ >= s_.size() || s_[pos_] != ':') return fail("expected :");
      ++pos_;
      ws();
      v.members.emplace_back(key, Json());
      if (!value(v.members.back().second)) return false;
      ws();
      if (pos_ < s_.size() && s_[pos_] == ',') {
        ++pos_;
        continue;
      }
      if (pos_ < s_.size() && s_[pos_] == '}') {
        ++pos_;
        return true;
      }
      return fail("expected , or }");
    }
  }

  const std::string &s_;
  size_t pos_ = 0;
  std::string error_;
};

}  // namespace

bool ParseJson(const std::string &text, Json &out, std::string &error) {
  out = Json();
  return Parser(text).document(out, error);
}

}  // namespace tooltest
