// docs/SCRIPTING.md held against what it describes so it cannot drift: the built qira.so's tables
// (read through the host stand-in) and the tool's codes.  The man page and the bash completion are
// held against the tool's help by scripts/test-extra-docs.
#include <sys/stat.h>

#include <map>
#include <regex>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include "host/host.h"
#include "testutil/testutil.h"
#include "tools/tool.h"

namespace {

std::vector<std::string> SourceLines(const char *rel) {
  std::vector<std::string> out;
  std::istringstream in(qt::ReadFile(std::string(QIRA_SOURCE_DIR) + "/" + rel));
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// What the reference says, flat: "T" for each type, "T.p" -> a property row's value type, "T.m()"
// -> the parameters in a method's heading, "T.m[]" -> the rows of its parameter table, "code N" for
// each error code.  Only those tables count; the others are prose.
std::map<std::string, std::string> ReadScripting() {
  static const std::regex heading("#### `([a-z]+)\\(([a-z, ]*)\\)`"), row("\\| `([^`]+)` \\| ([^|]*) \\|.*"),
      code("\\| ([0-9]+|2000000 \\+ errno) \\|.*");
  std::map<std::string, std::string> out;
  std::string type, section, method;
  for (const std::string &line : SourceLines("docs/SCRIPTING.md")) {
    std::smatch m;
    if (line.rfind("## ", 0) == 0) {
      type = line.rfind("## QIRA", 0) == 0 ? line.substr(3) : "";
      if (!type.empty()) out[type];
      section = method = "";
    } else if (line.rfind("### ", 0) == 0) {
      section = line.substr(4);
      method = "";
    } else if (std::regex_match(line, m, code)) {
      out["code " + m[1].str()];
    } else if (!type.empty() && std::regex_match(line, m, heading)) {
      method = type + "." + m[1].str();
      out[method + "()"] = m[2];
      out[method + "[]"];
    } else if (!method.empty() && std::regex_match(line, m, row)) {
      std::string &params = out[method + "[]"];
      params += (params.empty() ? "" : ", ") + m[1].str();
    } else if (!type.empty() && section == "Properties" && std::regex_match(line, m, row)) {
      out[type + "." + m[1].str()] = m[2];
    }
  }
  return out;
}

TEST(ScriptingReference, MatchesTheModulesTablesAndTheToolsCodesExactly) {
  std::string error;
  std::unique_ptr<qhost::Host> h = qhost::Host::load(QIRA_MODULE_PATH, error);
  ASSERT_TRUE(h) << error;
  ASSERT_EQ(h->addTypes(), QIRA_OK);

  // Receivers for every method: a directory and an entry in it.
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

  std::map<std::string, std::string> module;
  for (const qhost::TypeView &t : h->types()) {
    module[t.name];
    std::set<std::string> methodRows = {"new"}, methods;
    for (const QiraPropRow &r : t.props) {
      if (r.col2 == QIRA_PROPKIND_METHOD)
        methodRows.insert(h->symbol8(r.name));
      else
        module[t.name + "." + h->symbol8(r.name)] = h->symbol8(r.type);
    }
    for (const QiraMethodRow &m : t.methods) {
      const std::string name = h->symbol8(uint32_t(m.name));
      methods.insert(name);
      // The method asks the host for its parameters first: that list is the
      // module's own.  Without arguments nothing is changed on disk.
      h->clearLogs();
      qhost::CallOutcome out = h->call(name == "new" ? t.typeObject : objects[t.name], name, {});
      std::string params;
      for (const std::u16string &p : h->lastParameterNames()) params += (params.empty() ? "" : ", ") + qt::U8(p);
      EXPECT_NE(params, "") << t.name << "." << name << " did not reach the parameter lookup: " << out.status;
      module[t.name + "." + name + "()"] = module[t.name + "." + name + "[]"] = params;
    }
    EXPECT_EQ(methods, methodRows) << t.name << ": methods against the method entries of the property rows";
  }
  // Every code the tool can explain is a code the document explains, and back.
  for (uint32_t code = 1; code < qhost::kHostErrUnimplemented; ++code)
    if (qtool::ExplainCode(code).find("unknown error") == std::string::npos) module["code " + std::to_string(code)];
  module["code 2000000 + errno"];
  EXPECT_EQ(ReadScripting(), module);
  objects.clear();
  EXPECT_TRUE(h->violations().empty());
}

}  // namespace
