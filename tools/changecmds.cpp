// The commands that change single entries: mkdir, rm, rename, touch, attrib.
#include <cstdio>

#include "tools/tool.h"

namespace qtool {
namespace {

// A failed step: reported, and the command's status.
int failed(const char *cmd, std::string_view what, uint32_t code) {
  ReportFailure(cmd, what, code);
  return kExitFailed;
}

bool allDigits(const std::string &s) {
  if (s.empty() || s.size() > 10) return false;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// The index of the entry named `name` in an open directory; else, when the
// operand is a number within the listing, that number; else 0.
uint32_t findEntry(Session &s, const qhost::Ref &dir, const std::string &operand) {
  const uint32_t count = s.EntryCount(dir);
  const std::u16string want = ModuleName(operand);
  for (uint32_t i = 1; i <= count; ++i) {
    Outcome e = s.Call(dir, "getentry", {qhost::Arg("entry", int64_t(i))});
    if (e.ok() && s.Describe(e.value).name == want) return i;
  }
  if (allDigits(operand)) {
    const uint64_t n = std::stoull(operand);
    if (n >= 1 && n <= count) return uint32_t(n);
  }
  return 0;
}

}  // namespace

int RunMkdir(Session &s, const ParsedArgs &args) {
  const std::string &dirName = args.operands[0];
  const std::string &name = args.operands[1];
  Outcome dir = s.OpenDirectory(dirName);
  if (!dir.ok()) return failed("mkdir", ShowNative(dirName), dir.code);
  Outcome made = s.Call(dir.value, "createdirectory", {qhost::Arg("name", ModuleName(name))});
  if (!made.ok()) return failed("mkdir", ShowNative(name), made.code);
  return kExitOk;
}

int RunRm(Session &s, const ParsedArgs &args) {
  const std::string &dirName = args.operands[0];
  const std::string &target = args.operands[1];
  Outcome dir = s.OpenDirectory(dirName);
  if (!dir.ok()) return failed("rm", ShowNative(dirName), dir.code);
  const uint32_t index = findEntry(s, dir.value, target);
  if (index == 0) return failed("rm", ShowNative(target), QIRA_ERR_NOENTRY);
  Outcome gone = s.Call(dir.value, "deleteentry", {qhost::Arg("entry", int64_t(index))});
  if (!gone.ok()) return failed("rm", ShowNative(target), gone.code);
  return kExitOk;
}

int RunRename(Session &s, const ParsedArgs &args) {
  const std::string &name = args.operands[0];
  const std::string &newName = args.operands[1];
  Outcome entry = s.OpenEntry(name);
  if (!entry.ok()) return failed("rename", ShowNative(name), entry.code);
  Outcome done = s.Call(entry.value, "rename", {qhost::Arg("newname", ModuleName(newName))});
  if (!done.ok()) return failed("rename", ShowNative(name), done.code);
  return kExitOk;
}

std::string CheckTouch(const ParsedArgs &args) {
  for (const char *opt : {"modified", "accessed"}) {
    if (args.has(opt) && !ParseDate(args.options.at(opt)))
      return "invalid date '" + ShowNative(args.options.at(opt)) +
             "' (use \"now\" or ISO 8601, e.g. 2024-05-01T12:30:00)";
  }
  return {};
}

int RunTouch(Session &s, const ParsedArgs &args) {
  const std::string &name = args.operands[0];
  const bool both = !args.has("modified") && !args.has("accessed");
  qhost::Args dates;
  // Without a date option both times become now, as touch does.
  if (both || args.has("modified"))
    dates.emplace_back("lastchanged",
                       qhost::Value::unsignedInt(*ParseDate(both ? "now" : args.options.at("modified"))));
  if (both || args.has("accessed"))
    dates.emplace_back("lastaccessed",
                       qhost::Value::unsignedInt(*ParseDate(both ? "now" : args.options.at("accessed"))));
  Outcome entry = s.OpenEntry(name);
  if (!entry.ok()) return failed("touch", ShowNative(name), entry.code);
  Outcome done = s.Call(entry.value, "setdates", dates);
  if (!done.ok()) return failed("touch", ShowNative(name), done.code);
  return kExitOk;
}

std::string CheckAttrib(const ParsedArgs &args) {
  if (args.has("readonly")) {
    const std::string &v = args.options.at("readonly");
    if (v != "yes" && v != "no") return "invalid --readonly value '" + ShowNative(v) + "' (yes or no)";
  }
  return {};
}

int RunAttrib(Session &s, const ParsedArgs &args) {
  const std::string &name = args.operands[0];
  Outcome entry = s.OpenEntry(name);
  if (!entry.ok()) return failed("attrib", ShowNative(name), entry.code);
  if (args.has("readonly")) {
    const bool ro = args.options.at("readonly") == "yes";
    Outcome done = s.Call(entry.value, "setattributes", {qhost::Arg("readonly", ro)});
    if (!done.ok()) return failed("attrib", ShowNative(name), done.code);
    return kExitOk;
  }
  const EntryInfo e = s.Describe(entry.value);
  auto yn = [](bool v) { return v ? "yes" : "no"; };
  std::printf("readonly=%s hidden=%s system=%s  %s\n", yn(e.readonly), yn(e.hidden), yn(e.system),
              ShowName(e.name).c_str());
  return kExitOk;
}

}  // namespace qtool
