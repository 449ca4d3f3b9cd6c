// The table of commands: names, help texts, operand counts and options.
#include "tools/tool.h"

namespace qtool {
namespace {

constexpr size_t kMany = SIZE_MAX;

constexpr const char *kLsHelp =
    "Usage: qira ls [--json] [--sort name|size|time] [DIR]\n"
    "  or:  qira ls [--json] [--sort name|size|time] --parent NAME\n"
    "List every entry of DIR (the current directory by default), or of the\n"
    "directory that holds NAME, in the order the directory returned them.\n"
    "\n"
    "Each line shows the entry's index, type, size in bytes (- for a directory),\n"
    "last change (ISO 8601, local time), ro for read-only or rw, and name.\n"
    "Control characters, backslashes and bytes the locale cannot decode are\n"
    "shown escaped (\\n \\\\ \\xFF).\n"
    "\n"
    "      --json         print one JSON document instead: the directory's full\n"
    "                       name, entrycount and an entries array; dates with\n"
    "                       their UTC offset and as microseconds since\n"
    "                       0001-01-01 (KEY_us); names the locale cannot decode\n"
    "                       also as hex bytes (name_bytes)\n"
    "      --parent NAME  list the directory that holds NAME\n"
    "      --sort name|size|time\n"
    "                     show the entries ordered by name (byte order, as\n"
    "                       LC_ALL=C ls), size (largest first, directories\n"
    "                       last) or last change time (newest first); every\n"
    "                       row keeps its index, which 'qira rm' takes\n"
    "      --help         display this help and exit\n";

constexpr const char *kStatHelp =
    "Usage: qira stat [--json] NAME...\n"
    "Show the full name and the nine properties of each NAME: name, entrytype,\n"
    "size, created, lastchanged, lastaccessed, readonly, hidden, system.\n"
    "\n"
    "      --json   print one JSON array with an object per NAME\n"
    "      --help   display this help and exit\n";

constexpr const char *kMkdirHelp =
    "Usage: qira mkdir DIR NAME\n"
    "Create the directory NAME inside the existing directory DIR.\n"
    "NAME is a single name: it may not contain \"/\".\n"
    "\n"
    "      --help   display this help and exit\n";

constexpr const char *kRmHelp =
    "Usage: qira rm DIR NAME-OR-INDEX\n"
    "Delete one entry of DIR: a file, or an empty directory.  The entry is the\n"
    "one named NAME-OR-INDEX; when no entry has that name and it is a number,\n"
    "the entry with that index in 'qira ls DIR'.\n"
    "\n"
    "      --help   display this help and exit\n";

constexpr const char *kRenameHelp =
    "Usage: qira rename NAME NEWNAME\n"
    "Rename the entry NAME within its directory; NEWNAME is a single name\n"
    "without \"/\".\n"
    "\n"
    "      --help   display this help and exit\n";

constexpr const char *kTouchHelp =
    "Usage: qira touch NAME [--modified TIME] [--accessed TIME]\n"
    "Set the last change and last access times of the existing entry NAME.\n"
    "Without an option both become the current time.\n"
    "\n"
    "TIME is \"now\" or ISO 8601: 2024-05-01, 2024-05-01T12:30,\n"
    "2024-05-01T12:30:15.250000, with Z or +02:00 for a given offset and\n"
    "local time without.\n"
    "\n"
    "      --modified TIME   set the last change time\n"
    "      --accessed TIME   set the last access time\n"
    "      --help            display this help and exit\n";

constexpr const char *kAttribHelp =
    "Usage: qira attrib NAME [--readonly yes|no]\n"
    "Show the attributes of NAME (readonly, hidden, system), or ask for a\n"
    "read-only state.  On Linux the module changes no attribute: a request\n"
    "that differs from the entry's present state fails with code 13.\n"
    "\n"
    "      --readonly yes|no   request that state\n"
    "      --help              display this help and exit\n";

constexpr const char *kCpHelp =
    "Usage: qira cp [--replace] SRC DEST\n"
    "Copy the file SRC to DEST, or into DEST when DEST is a directory, keeping\n"
    "its times and mode.  A worker process does the copy; on a terminal a\n"
    "progress line shows the bytes written, the rate and the time taken.\n"
    "Ctrl-C abandons the call and exits with 130 once the worker is done\n"
    "(it completes the copy; a failed copy leaves no partial file).\n"
    "\n"
    "      --replace   overwrite an existing DEST (default: fail with code 5)\n"
    "      --help      display this help and exit\n";

constexpr const char *kMvHelp =
    "Usage: qira mv [--replace] SRC DEST\n"
    "Move the file or directory SRC to DEST, or into DEST when DEST is a\n"
    "directory.  Within one file system this is a rename; across file systems\n"
    "a copy followed by removing SRC, shown with a progress line on a terminal.\n"
    "Ctrl-C behaves as for cp.\n"
    "\n"
    "      --replace   overwrite an existing DEST (default: fail with code 5)\n"
    "      --help      display this help and exit\n";

constexpr const char *kVersionHelp =
    "Usage: qira version\n"
    "Show the module file in use, its version text and its description.\n"
    "\n"
    "      --help   display this help and exit\n";

}  // namespace

const std::vector<Command> &Commands() {
  static const std::vector<Command> kCommands = {
      {"ls", "list the entries of a directory", kLsHelp,
       {{"json", false}, {"parent", true}, {"sort", true}}, 0, 1,
       CheckLs, RunLs},
      {"stat", "show the properties of entries", kStatHelp, {{"json", false}}, 1, kMany, nullptr,
       RunStat},
      {"mkdir", "create a directory inside a directory", kMkdirHelp, {}, 2, 2, nullptr, RunMkdir},
      {"rm", "delete an entry of a directory", kRmHelp, {}, 2, 2, nullptr, RunRm},
      {"rename", "rename an entry within its directory", kRenameHelp, {}, 2, 2, nullptr,
       RunRename},
      {"touch", "set the times of an entry", kTouchHelp, {{"modified", true}, {"accessed", true}},
       1, 1, CheckTouch, RunTouch},
      {"attrib", "show or request the attributes of an entry", kAttribHelp,
       {{"readonly", true}}, 1, 1, CheckAttrib, RunAttrib},
      {"cp", "copy a file, with progress", kCpHelp, {{"replace", false}}, 2, 2, nullptr, RunCp},
      {"mv", "move a file or directory, with progress", kMvHelp, {{"replace", false}}, 2, 2,
       nullptr, RunMv},
      {"version", "show the module's version", kVersionHelp, {}, 0, 0, nullptr, RunVersion},
  };
  return kCommands;
}

}  // namespace qtool
