// The documents that describe qira from outside, held against what they
// describe so they cannot drift: docs/SCRIPTING.md against the type tables of
// the built qira.so (read through the host stand-in, parameters as the
// methods themselves ask for them), docs/qira.1 and the bash completion
// against the tool's own help.
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include "host/host.h"
#include "testutil/testutil.h"
#include "tools/tool.h"

namespace {

using Names = std::vector<std::string>;

std::string Source(const char *rel) { return qt::ReadFile(std::string(QIRA_SOURCE_DIR) + "/" + rel); }

std::vector<std::string> Lines(const std::string &text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// Runs a shell command line; its standard output.
std::string Output(const std::string &command) {
  std::string out;
  FILE *p = ::popen(command.c_str(), "r");
  if (!p) return out;
  char buf[4096];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  EXPECT_EQ(::pclose(p), 0) << command;
  return out;
}

std::string Tool(const std::string &args) {
  return Output(std::string("LC_ALL=C.UTF-8 '") + QIRA_TOOL_PATH + "' " + args);
}

// ---- docs/SCRIPTING.md ------------------------------------------------------------

// What the document says of one type: its table rows (name -> value type) and
// its methods (name -> parameters of the heading, and of the parameter table).
struct DocType {
  std::map<std::string, std::string> rows;
  std::map<std::string, Names> signature, paramTable;
};

std::string Cell(const std::string &c) {
  const size_t a = c.find_first_not_of(" `"), b = c.find_last_not_of(" `");
  return a == std::string::npos ? "" : c.substr(a, b - a + 1);
}

// "## QIRAx" opens a type; "### Properties" its rows; "#### `m(a, b)`" a
// method, whose table rows are its parameters.  Other tables are prose.
std::map<std::string, DocType> ReadScripting(const std::string &text) {
  static const std::regex method("#### `([a-z]+)\\(([a-z, ]*)\\)`");
  static const std::regex row("\\| `([^`]+)` \\|([^|]*)\\|.*");
  std::map<std::string, DocType> types;
  DocType *type = nullptr;
  std::string section, current;
  for (const std::string &line : Lines(text)) {
    std::smatch m;
    if (line.rfind("## ", 0) == 0) {
      const std::string name = line.substr(3);
      type = name.rfind("QIRA", 0) == 0 ? &types[name] : nullptr;
      section.clear();
      current.clear();
    } else if (line.rfind("### ", 0) == 0) {
      section = line.substr(4);
      current.clear();
    } else if (type && std::regex_match(line, m, method)) {
      current = m[1];
      Names &params = type->signature[current];
      std::stringstream list(m[2]);
      for (std::string p; std::getline(list, p, ',');) params.push_back(Cell(p));
    } else if (type && std::regex_match(line, m, row)) {
      if (!current.empty())
        type->paramTable[current].push_back(m[1]);
      else if (section == "Properties")
        type->rows[m[1]] = Cell(m[2]);
    }
  }
  return types;
}

TEST(ScriptingReference, MatchesTheModulesTablesExactly) {
  std::string error;
  std::unique_ptr<qhost::Host> h = qhost::Host::load(QIRA_MODULE_PATH, error);
  ASSERT_TRUE(h) << error;
  ASSERT_EQ(h->addTypes(), QIRA_OK);
  const std::map<std::string, DocType> doc = ReadScripting(Source("docs/SCRIPTING.md"));

  // Receivers for every method: the types, a directory and an entry in it.
  qt::ScratchDir scratch;
  ASSERT_EQ(::mkdir((scratch / "sub").c_str(), 0755), 0);
  qt::WriteFile(scratch / "sub/file", "x");
  std::map<std::string, qhost::Ref> objects;
  for (const auto &[type, name] : {std::pair<std::string, std::string>{"QIRAdirectory", "sub"},
                                   {"QIRAdirectoryentry", "sub/file"}}) {
    qhost::CallOutcome made = h->construct(type, {qhost::Arg("name", qhost::Value::string8(scratch / name))});
    ASSERT_TRUE(made.ok()) << type << ": " << made.status;
    objects[type] = made.value;
  }

  std::set<std::string> documented, inModule;
  for (const auto &[name, unused] : doc) documented.insert(name);
  for (const qhost::TypeView &t : h->types()) {
    SCOPED_TRACE(t.name);
    inModule.insert(t.name);
    if (!doc.count(t.name)) continue;
    const DocType &d = doc.at(t.name);

    std::map<std::string, std::string> rows;
    std::set<std::string> methodRows = {"new"}, methods;
    for (const QiraPropRow &r : t.props) {
      if (r.col2 == QIRA_PROPKIND_METHOD)
        methodRows.insert(h->symbol8(r.name));
      else
        rows[h->symbol8(r.name)] = h->symbol8(r.type);
    }
    EXPECT_EQ(d.rows, rows) << "property rows (name -> type)";

    for (const QiraMethodRow &m : t.methods) {
      const std::string name = h->symbol8(uint32_t(m.name));
      methods.insert(name);
      SCOPED_TRACE(name);
      // The method asks the host for its parameters first: that list is the
      // module's own.  Without arguments nothing is changed on disk.
      h->clearLogs();
      const qhost::Ref &receiver = name == "new" ? t.typeObject : objects[t.name];
      qhost::CallOutcome out = h->call(receiver, name, {});
      Names params;
      for (const std::u16string &p : h->lastParameterNames()) params.push_back(qt::U8(p));
      ASSERT_FALSE(params.empty()) << "the call did not reach the parameter lookup: " << out.status;
      EXPECT_EQ(d.signature.count(name) ? d.signature.at(name) : Names{}, params) << "heading";
      EXPECT_EQ(d.paramTable.count(name) ? d.paramTable.at(name) : Names{}, params) << "parameter table";
    }
    EXPECT_EQ(methods, methodRows) << "method rows against the method entries of the property rows";
    std::set<std::string> docMethods;
    for (const auto &[name, unused] : d.signature) docMethods.insert(name);
    EXPECT_EQ(docMethods, methods);
  }
  EXPECT_EQ(documented, inModule) << "types";
  objects.clear();
  EXPECT_TRUE(h->violations().empty());
}

// Every code the tool can explain is a code the document explains, and back.
TEST(ScriptingReference, ListsEveryErrorCodeTheToolKnows) {
  std::set<uint32_t> doc, known;
  static const std::regex row("\\| ([0-9]+) \\|.*");
  std::smatch m;
  const std::vector<std::string> lines = Lines(Source("docs/SCRIPTING.md"));
  for (const std::string &line : lines)
    if (std::regex_match(line, m, row)) doc.insert(uint32_t(std::stoul(m[1])));
  for (uint32_t code = 1; code < qhost::kHostErrUnimplemented; ++code) {
    const std::string text = qtool::ExplainCode(code);
    if (text.find("unknown error") == std::string::npos) known.insert(code);
  }
  EXPECT_EQ(doc, known);
  EXPECT_NE(std::find_if(lines.begin(), lines.end(),
                         [](const std::string &l) { return l.rfind("| 2000000 + errno |", 0) == 0; }),
            lines.end());
}

// ---- docs/qira.1 and the completion -----------------------------------------------

// Options listed in a help text: indented lines that begin with "--".
std::set<std::string> HelpOptions(const std::string &help, const std::string &from = "") {
  static const std::regex option(" +(--[a-z][a-z-]*).*");
  std::set<std::string> out;
  bool on = from.empty();
  for (const std::string &line : Lines(help)) {
    std::smatch m;
    if (!on) on = line == from;
    else if (std::regex_match(line, m, option)) out.insert(m[1]);
  }
  return out;
}

Names HelpCommands(const std::string &help) {
  static const std::regex command("  ([a-z]+) .*");
  Names out;
  bool on = false;
  for (const std::string &line : Lines(help)) {
    std::smatch m;
    if (line == "Commands:") on = true;
    else if (line.empty()) on = false;
    else if (on && std::regex_match(line, m, command)) out.push_back(m[1]);
  }
  return out;
}

TEST(ManPage, CoversEveryCommandAndOptionOfTheHelp) {
  // Sections: .SH OPTIONS holds the tool's options, each .SS under COMMANDS a
  // command; an option is the line after .TP that sets "--name" in bold.
  static const std::regex option("\\.B[IR]? \\\\-\\\\-([a-z][a-z-]*).*");
  std::map<std::string, std::set<std::string>> man;
  Names manCommands;
  std::string where, prev;
  for (const std::string &line : Lines(Source("docs/qira.1"))) {
    std::smatch m;
    if (line.rfind(".SH ", 0) == 0) {
      where = line == ".SH OPTIONS" ? "qira" : "";
    } else if (line.rfind(".SS \"", 0) == 0) {
      where = line.substr(5, line.find_first_of(" \"", 5) - 5);
      manCommands.push_back(where);
      man[where];
    } else if (!where.empty() && prev == ".TP" && std::regex_match(line, m, option)) {
      man[where].insert("--" + m[1].str());
    }
    prev = line;
  }

  const std::string help = Tool("--help");
  const Names commands = HelpCommands(help);
  ASSERT_FALSE(commands.empty()) << help;
  EXPECT_EQ(manCommands, commands) << "the man page's commands, in the help's order";
  EXPECT_EQ(man["qira"], HelpOptions(help, "Options:"));
  for (const std::string &cmd : commands) {
    SCOPED_TRACE(cmd);
    EXPECT_EQ(man[cmd], HelpOptions(Tool(cmd + " --help")));
  }
}

TEST(BashCompletion, OffersTheHelpsCommandsOptionsAndValues) {
  // Runs the completion function as bash would for the words typed so far.
  auto complete = [](const std::string &words) {
    return Output("bash -c '. \"$1\"; COMP_WORDS=(\"$2\" " + words +
                  "); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _qira; "
                  "printf \"%s\\n\" \"${COMPREPLY[@]}\" | sort' _ '" + QIRA_SOURCE_DIR +
                  "/tools/qira.bash-completion' '" + QIRA_TOOL_PATH + "'");
  };
  auto sorted = [](const auto &from) {
    std::vector<std::string> names(from.begin(), from.end());
    std::sort(names.begin(), names.end());
    std::string out;
    for (const std::string &n : names) out += n + "\n";
    return out;
  };
  EXPECT_EQ(complete("\"\""), sorted(HelpCommands(Tool("--help"))));
  EXPECT_EQ(complete("--module x m"), "mkdir\nmv\n");
  EXPECT_EQ(complete("--"), sorted(HelpOptions(Tool("--help"), "Options:")));
  EXPECT_EQ(complete("ls --"), sorted(HelpOptions(Tool("ls --help"))));
  EXPECT_EQ(complete("ls --sort \"\""), "name\nsize\ntime\n");
  EXPECT_EQ(complete("attrib f --readonly \"\""), "no\nyes\n");
  EXPECT_EQ(complete("touch f --modified n"), "now\n");
}

}  // namespace
