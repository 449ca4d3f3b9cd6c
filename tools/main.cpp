// qira: the command-line program.  Parses the global options, finds the
// module, and hands the command its arguments.
#include <unistd.h>

#include <clocale>
#include <filesystem>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tools/tool.h"

namespace qtool {
namespace {

constexpr const char *kToolHelp =
    "Usage: qira [--module FILE] COMMAND [ARG]...\n"
    "Examine and change directories and their entries through the qira module.\n"
    "\n"
    "Commands:\n"
    "%s"
    "\n"
    "Options:\n"
    "  --module FILE   load FILE as the module instead of the qira.so next to\n"
    "                    this program (the environment variable QIRA_MODULE\n"
    "                    does the same; the option wins)\n"
    "      --help      display this help and exit\n"
    "      --version   show the package version and the version of the module\n"
    "                    it finds, then exit\n"
    "\n"
    "Run 'qira COMMAND --help' for the options of a command.\n"
    "\n"
    "Exit status:\n"
    "  0    if OK,\n"
    "  1    if an operation failed (the error line names the module's code),\n"
    "  2    if the command line was wrong,\n"
    "  130  if interrupted with Ctrl-C.\n";

// The module a plain `qira` loads: the one next to the running program (a
// build tree), else the one installed with it (the same way from the program's
// folder to the library folder as at installation).  When neither exists,
// the installed place, so that the error names where it was looked for.
std::string defaultModule() {
  std::string buf(4096, '\0');
  ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size() - 1);
  if (n <= 0) return "qira.so";
  buf.resize(size_t(n));
  const std::filesystem::path folder = std::filesystem::path(buf).parent_path();
  const std::filesystem::path beside = folder / "qira.so";
  if (::access(beside.c_str(), F_OK) == 0) return beside;
  return (folder / QIRA_INSTALLED_MODULE).lexically_normal();
}

// --version: this program's package, then the module it would load.
int printVersions(const std::string &module) {
  std::printf("qira %s\n", QIRA_PACKAGE_VERSION);
  std::string error;
  std::unique_ptr<Session> session = Session::Open(module, error);
  if (!session) {
    std::fflush(stdout);
    std::fprintf(stderr, "qira: cannot load module %s: %s\n", ShowNative(module).c_str(),
                 error.c_str());
    return kExitFailed;
  }
  std::printf("module %s %s\n", ShowName(session->host().versionText()).c_str(),
              ShowNative(module).c_str());
  return kExitOk;
}

void printToolHelp() {
  std::string list;
  for (const Command &c : Commands()) {
    char line[160];
    std::snprintf(line, sizeof line, "  %-8s %s\n", c.name, c.summary);
    list += line;
  }
  std::printf(kToolHelp, list.c_str());
}

const Command *findCommand(std::string_view name) {
  for (const Command &c : Commands()) {
    if (name == c.name) return &c;
  }
  return nullptr;
}

int run(int argc, char **argv) {
  std::string module;
  if (const char *env = std::getenv("QIRA_MODULE"); env && *env) module = env;
  bool version = false;
  int i = 1;
  for (; i < argc; ++i) {
    std::string_view a = argv[i];
    if (a == "--help") {
      printToolHelp();
      return kExitOk;
    }
    if (a == "--version") {
      version = true;
      continue;
    }
    if (a == "--module") {
      if (i + 1 >= argc) return UsageError("", "option '--module' requires an argument");
      module = argv[++i];
    } else if (a.substr(0, 9) == "--module=") {
      module = std::string(a.substr(9));
    } else if (a.size() > 1 && a[0] == '-') {
      return UsageError("", "unrecognized option '" + ShowNative(a) + "'");
    } else {
      break;
    }
  }
  if (version) {
    if (i < argc) return UsageError("", "extra operand '" + ShowNative(argv[i]) + "'");
    return printVersions(module.empty() ? defaultModule() : module);
  }
  if (i >= argc) return UsageError("", "missing command");
  const std::string_view name = argv[i];
  const Command *cmd = findCommand(name);
  if (!cmd) return UsageError("", "unknown command '" + ShowNative(name) + "'");

  ParsedArgs args;
  std::string error;
  if (!ParseArgs(std::vector<std::string>(argv + i + 1, argv + argc), cmd->options, args, error))
    return UsageError(cmd->name, error);
  if (args.help) {
    std::fputs(cmd->help, stdout);
    return kExitOk;
  }
  if (args.operands.size() < cmd->minOperands) {
    return UsageError(cmd->name, args.operands.empty() ? "missing operand"
                                                       : "missing operand after '" +
                                                             ShowNative(args.operands.back()) + "'");
  }
  if (args.operands.size() > cmd->maxOperands)
    return UsageError(cmd->name,
                      "extra operand '" + ShowNative(args.operands[cmd->maxOperands]) + "'");
  if (cmd->check) {
    std::string msg = cmd->check(args);
    if (!msg.empty()) return UsageError(cmd->name, msg);
  }

  if (module.empty()) module = defaultModule();
  std::unique_ptr<Session> session = Session::Open(module, error);
  if (!session) {
    std::fprintf(stderr, "qira: cannot load module %s: %s\n", ShowNative(module).c_str(),
                 error.c_str());
    return kExitFailed;
  }
  return cmd->run(*session, args);
}

}  // namespace
}  // namespace qtool

int main(int argc, char **argv) {
  // The module converts names in the process locale, as a host would set it.
  std::setlocale(LC_ALL, "");
  int status = qtool::run(argc, argv);
  std::fflush(stdout);
  return status;
}
