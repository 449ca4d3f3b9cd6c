// Helpers of the tool's tests: running the qira program as a subprocess
// (plain or on a pseudo-terminal) and a small JSON reader to check what it
// prints.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace tooltest {

struct RunResult {
  int status = -1;  // exit status; 128 + signal when killed by one
  std::string out, err;
};

struct RunOptions {
  std::string cwd;                                         // empty: the test's own
  std::vector<std::pair<std::string, std::string>> env;    // set (value) in the child
  std::vector<std::string> unset;                          // removed from the child's environment
};

// Runs QIRA_TOOL_PATH with the arguments; stdout and stderr are not terminals.
RunResult RunTool(const std::vector<std::string> &args, const RunOptions &opts = {});

// Starts the tool without waiting; stdout and stderr go to the files given.
pid_t Start(const std::vector<std::string> &args, const std::string &outFile,
            const std::string &errFile, const RunOptions &opts = {});
// Waits for a child and returns its exit status (128 + signal when killed).
int Wait(pid_t pid);

// Runs the tool on a pseudo-terminal: stdout and stderr are the terminal,
// whose output is returned as one stream.
RunResult RunOnPty(const std::vector<std::string> &args, const RunOptions &opts = {});

// A parsed JSON value.  Numbers keep their text, so 64-bit values survive.
struct Json {
  enum class Kind { Null, Bool, Number, String, Array, Object } kind = Kind::Null;
  bool boolean = false;
  std::string text;  // number text, or the string (UTF-8)
  std::vector<Json> items;
  std::vector<std::pair<std::string, Json>> members;

  const Json &operator[](const std::string &key) const;  // a Null value when absent
  const Json &operator[](size_t i) const { return items.at(i); }
  bool has(const std::string &key) const;
  bool isNull() const { return kind == Kind::Null; }
};

// Parses one complete document (surrounding whitespace allowed); false with
// `error` set for anything that is not strict JSON.
bool ParseJson(const std::string &text, Json &out, std::string &error);

}  // namespace tooltest
