// The qira command-line program: shared pieces of its commands.
//
// The tool is a host like any other: it loads qira.so through the host
// stand-in and does all its file-system work through the two script-visible
// types.  Names travel as the module wants them (UTF-16, or the bytes-only
// form for names the locale cannot decode); dates as microseconds since
// 0001-01-01 UTC.
//
// Map: 1 exit codes, 2 text (names, dates, JSON, error lines), 3 the session
// with the module, 4 command-line parsing, 5 the commands.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/host.h"

namespace qtool {

// ===== 1. Exit codes ===========================================================

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;       // an operation failed
inline constexpr int kExitUsage = 2;        // wrong usage
inline constexpr int kExitInterrupted = 130;  // 128 + SIGINT, as shells report it

// ===== 2. Text ===================================================================

// First unit of a name in the bytes-only form: one unit per byte follows.
inline constexpr char16_t kBytesOnlyMarker = 0xFFFE;

// A name from the command line (bytes in the locale's encoding) as the
// module takes it: UTF-16 when every character decodes to one unit, else the
// bytes-only form, so that the module restores the exact bytes.
std::u16string ModuleName(std::string_view native);

// A name for the terminal, in the locale's encoding: printable characters as
// they are; backslash, control characters, undecodable bytes and characters
// the locale cannot show escaped (\\ \n \t \xNN \u{XXXX}).  Never emits a raw
// control byte.
std::string ShowName(const std::u16string &name);
std::string ShowNative(std::string_view native);  // same, for command-line names

// A JSON string literal (quotes included, UTF-8).  Ordinary names are exact;
// a bytes-only name becomes its escaped display form (see NameBytesHex).
std::string JsonString(const std::u16string &name);
std::string JsonText(std::string_view utf8);
// The bytes of a bytes-only name in hex; nullopt for ordinary names.
std::optional<std::string> NameBytesHex(const std::u16string &name);

// Microseconds between 0001-01-01 and 1970-01-01, both UTC.
inline constexpr uint64_t kUnixEpochUs = 62135596800ull * 1000000ull;

// A date value as ISO 8601 in local time: 2024-05-01T12:34:56, with
// .ffffff when the microseconds are not zero and the UTC offset when
// withOffset.  Dates the C library cannot place are shown as @<value>.
std::string IsoDate(uint64_t us, bool withOffset);
// Parses "now" or ISO 8601 (date, optional time with fraction, optional Z or
// +hh:mm; local time without one) into a date value.  nullopt when invalid.
std::optional<uint64_t> ParseDate(std::string_view text);

// "7: not an existing directory or no such entry"; system codes decoded as
// "2000013: EACCES (Permission denied)".
std::string ExplainCode(uint32_t code);

// ===== 3. The session with the module ==========================================

// What an entry object says about itself.
struct EntryInfo {
  uint32_t index = 0;                 // from the listing; 0 otherwise
  std::u16string name;                // last component
  std::u16string full;                // the object's value (filled on request)
  std::string type;                   // "file" or "directory"
  std::optional<uint64_t> size;       // files only
  std::optional<uint64_t> created, lastchanged, lastaccessed;  // date values
  bool readonly = false, hidden = false, system = false;
};

// Outcome of one call: a host error code (0 for success) and the object the
// call delivered.
struct Outcome {
  uint32_t code = 0;
  qhost::Ref value;
  bool ok() const { return code == 0; }
};

// The loaded module.  Every object and variable handed out must be gone
// before the session is.
class Session {
 public:
  // Loads the module and registers its types; null with `error` set.
  static std::unique_ptr<Session> Open(const std::string &modulePath, std::string &error);
  ~Session();

  qhost::Host &host() { return *host_; }
  const std::string &modulePath() const { return path_; }

  // A method call with an `error` variable added: the code is the call's
  // status or, when that is 0, what the module stored into `error`.
  Outcome Call(const qhost::Ref &receiver, std::string_view method, qhost::Args args,
               const qhost::RunOptions &opts = {});
  Outcome Construct(std::string_view type, qhost::Args args);

  // new on QIRAdirectory / QIRAdirectoryentry with a command-line name.
  Outcome OpenDirectory(std::string_view native);
  Outcome OpenEntry(std::string_view native);

  uint32_t EntryCount(const qhost::Ref &dir);
  // The object's value: its full name.
  std::u16string FullName(const qhost::Ref &obj);
  EntryInfo Describe(const qhost::Ref &entry);
  // A row as the directory's listing read it, without reading the entry
  // again: for entries getentry cannot follow (a dangling link) or that are
  // gone since.  nullopt when the listing has no such index.
  std::optional<EntryInfo> Listed(const qhost::Ref &dir, uint32_t index);

 private:
  Session() = default;
  std::unique_ptr<qhost::Host> host_;
  std::string path_;
};

// Reports a failed call: "qira CMD: WHAT: CODE: explanation".
void ReportFailure(std::string_view cmd, std::string_view what, uint32_t code);
// Reports wrong usage and returns kExitUsage.
int UsageError(std::string_view cmd, const std::string &message);

// ===== 4. Command-line parsing ===================================================

struct OptSpec {
  const char *name;  // without the leading "--"
  bool takesValue;
};

struct ParsedArgs {
  std::vector<std::string> operands;
  std::map<std::string, std::string> options;  // flags map to ""
  bool help = false;
  bool has(const char *name) const { return options.count(name) != 0; }
};

// Splits a command's arguments into operands and the options named in
// `specs` (--name, --name VALUE, --name=VALUE; "--" ends the options).
// False with `error` set for an unknown option or a missing value.
bool ParseArgs(const std::vector<std::string> &args, const std::vector<OptSpec> &specs,
               ParsedArgs &out, std::string &error);

// ===== 5. The commands ===========================================================

// Every command takes the session, the command's name and its arguments
// (after the name) and returns the exit status.  Help is printed before the
// session is opened, so `Help` tables live next to the commands.
struct Command {
  const char *name;
  const char *summary;  // one line for the tool's help
  const char *help;     // the command's --help text
  std::vector<OptSpec> options;
  size_t minOperands, maxOperands;
  // Checks option values before the module is loaded; returns a message for
  // wrong usage, empty when fine.  May be null.
  std::string (*check)(const ParsedArgs &args);
  int (*run)(Session &s, const ParsedArgs &args);
};

const std::vector<Command> &Commands();

int RunLs(Session &s, const ParsedArgs &args);
int RunStat(Session &s, const ParsedArgs &args);
int RunVersion(Session &s, const ParsedArgs &args);
int RunMkdir(Session &s, const ParsedArgs &args);
int RunRm(Session &s, const ParsedArgs &args);
int RunRename(Session &s, const ParsedArgs &args);
int RunTouch(Session &s, const ParsedArgs &args);
int RunAttrib(Session &s, const ParsedArgs &args);
int RunCp(Session &s, const ParsedArgs &args);
int RunMv(Session &s, const ParsedArgs &args);

std::string CheckLs(const ParsedArgs &args);
std::string CheckTouch(const ParsedArgs &args);
std::string CheckAttrib(const ParsedArgs &args);

// qira ls --sort KEY: the keys, and the listing's rows put in that order
// (rows keep their listing index).
const std::vector<std::string> &LsSortKeys();
void SortListing(std::vector<EntryInfo> &rows, std::string_view key);

}  // namespace qtool
