// The tool's session with the module: loading it, calling methods with an
// `error` variable, and reading what entry and directory objects say.
#include <cstdio>

#include "objects/dirlist.h"
#include "tools/tool.h"

namespace qtool {
namespace {

std::optional<uint64_t> number(const qhost::Host &h, const qhost::Ref &obj, const char *name) {
  std::optional<qhost::Value> v = h.prop(obj, name);
  if (!v || v->kind() != qhost::Value::Kind::Int) return std::nullopt;
  return v->toUint64();
}

bool flag(const qhost::Host &h, const qhost::Ref &obj, const char *name) {
  std::optional<qhost::Value> v = h.prop(obj, name);
  return v && v->kind() == qhost::Value::Kind::Bool && v->boolean();
}

std::u16string text(const qhost::Host &h, const qhost::Ref &obj, const char *name) {
  std::optional<qhost::Value> v = h.prop(obj, name);
  return v && v->kind() == qhost::Value::Kind::Str ? v->str() : std::u16string();
}

}  // namespace

std::unique_ptr<Session> Session::Open(const std::string &modulePath, std::string &error) {
  std::unique_ptr<Session> s(new Session());
  s->path_ = modulePath;
  s->host_ = qhost::Host::load(modulePath, error);
  if (!s->host_) return nullptr;
  const uint32_t st = s->host_->addTypes();
  if (st != QIRA_OK || !s->host_->type("QIRAdirectory") || !s->host_->type("QIRAdirectoryentry")) {
    error = "the module did not register its types (" + ExplainCode(st) + ")";
    return nullptr;
  }
  return s;
}

Session::~Session() = default;

Outcome Session::Call(const qhost::Ref &receiver, std::string_view method, qhost::Args args,
                      const qhost::RunOptions &opts) {
  // A fresh variable per call: a call nested in another's progress callback
  // must not touch the outer call's `error`.
  qhost::Variable error = host_->variable();
  args.emplace_back("error", error);
  qhost::CallOutcome out = host_->call(receiver, method, args, opts);
  Outcome r;
  if (out.status != QIRA_OK) {
    r.code = out.status;
    return r;
  }
  qhost::Value v = error.get();
  if (!v.isNone()) {
    r.code = uint32_t(v.toUint64().value_or(UINT32_MAX));
    if (r.code != QIRA_OK) return r;
  }
  r.value = std::move(out.value);
  return r;
}

Outcome Session::Construct(std::string_view type, qhost::Args args) {
  return Call(host_->typeObject(type), "new", std::move(args));
}

Outcome Session::OpenDirectory(std::string_view native) {
  // The module keeps a final "." component; as "./" it resolves away, so
  // "qira ls ." shows the directory's plain name.
  std::string name(native);
  if (name == "." || (name.size() >= 2 && name.compare(name.size() - 2, 2, "/.") == 0)) name += '/';
  return Construct("QIRAdirectory", {qhost::Arg("name", ModuleName(name))});
}

Outcome Session::OpenEntry(std::string_view native) {
  return Construct("QIRAdirectoryentry", {qhost::Arg("name", ModuleName(native))});
}

uint32_t Session::EntryCount(const qhost::Ref &dir) {
  // No digits at all is a count of 0.
  return uint32_t(number(*host_, dir, "entrycount").value_or(0));
}

std::u16string Session::FullName(const qhost::Ref &obj) {
  qhost::Host::ValueOutcome v = host_->value(obj);
  return v.status == QIRA_OK && v.value.kind() == qhost::Value::Kind::Str ? v.value.str()
                                                                          : std::u16string();
}

EntryInfo Session::Describe(const qhost::Ref &entry) {
  const qhost::Host &h = *host_;
  EntryInfo e;
  e.name = text(h, entry, "name");
  std::u16string type = text(h, entry, "entrytype");
  e.type.assign(type.begin(), type.end());  // "file" or "directory": ASCII
  e.size = number(h, entry, "size");
  e.created = number(h, entry, "created");
  e.lastchanged = number(h, entry, "lastchanged");
  e.lastaccessed = number(h, entry, "lastaccessed");
  e.readonly = flag(h, entry, "readonly");
  e.hidden = flag(h, entry, "hidden");
  e.system = flag(h, entry, "system");
  return e;
}

std::optional<EntryInfo> Session::Listed(const qhost::Ref &dir, uint32_t index) {
  // The directory object keeps the records its listing read, keyed by index
  // in a tree the module's own search walks.
  using Search = TNode *(*)(const TTree *, uintptr_t);
  auto search = reinterpret_cast<Search>(host_->moduleSymbol("TTree_Search"));
  auto *priv = static_cast<const QiraDirPrivate *>(dir.priv());
  if (!search || !priv) return std::nullopt;
  const QiraRamDesc key{sizeof index, &index};
  TNode *node = search(&priv->entries, reinterpret_cast<uintptr_t>(&key));
  if (!node) return std::nullopt;
  const QiraEntryInfo &rec = reinterpret_cast<const QiraDirEntryNode *>(node)->info;
  auto digits = [](const uint16_t *d, uint32_t n) -> std::optional<uint64_t> {
    if (n > 4) return std::nullopt;
    uint64_t v = 0;
    for (uint32_t i = n; i-- > 0;) v = (v << 16) | d[i];
    return v;
  };
  EntryInfo e;
  e.index = index;
  e.name.assign(reinterpret_cast<const char16_t *>(rec.name), rec.namelen);
  e.type = rec.entrytype == QIRA_ENTRY_DIRECTORY ? "directory" : "file";
  if (rec.entrytype == QIRA_ENTRY_FILE) e.size = digits(rec.size.d, rec.size.count);
  if (rec.created.count) e.created = digits(rec.created.d, rec.created.count);
  if (rec.lastchanged.count) e.lastchanged = digits(rec.lastchanged.d, rec.lastchanged.count);
  if (rec.lastaccessed.count) e.lastaccessed = digits(rec.lastaccessed.d, rec.lastaccessed.count);
  e.readonly = rec.readonly == 1;
  e.hidden = rec.hidden == 1;
  e.system = rec.system == 1;
  return e;
}

void ReportFailure(std::string_view cmd, std::string_view what, uint32_t code) {
  std::string line = "qira " + std::string(cmd) + ": ";
  if (!what.empty()) line += std::string(what) + ": ";
  line += ExplainCode(code) + "\n";
  std::fflush(stdout);
  std::fputs(line.c_str(), stderr);
}

int UsageError(std::string_view cmd, const std::string &message) {
  std::string c = cmd.empty() ? "qira" : "qira " + std::string(cmd);
  std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", c.c_str(),
               message.c_str(), c.c_str());
  return kExitUsage;
}

bool ParseArgs(const std::vector<std::string> &args, const std::vector<OptSpec> &specs,
               ParsedArgs &out, std::string &error) {
  bool optionsEnded = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string &a = args[i];
    if (optionsEnded || a.size() < 2 || a[0] != '-') {
      out.operands.push_back(a);
      continue;
    }
    if (a == "--") {
      optionsEnded = true;
      continue;
    }
    if (a == "--help") {
      out.help = true;
      continue;
    }
    if (a.compare(0, 2, "--") != 0) {
      error = "invalid option -- '" + ShowNative(a.substr(1)) + "'";
      return false;
    }
    const size_t eq = a.find('=');
    const std::string name = a.substr(2, eq == std::string::npos ? std::string::npos : eq - 2);
    const OptSpec *spec = nullptr;
    for (const OptSpec &s : specs) {
      if (name == s.name) spec = &s;
    }
    if (!spec) {
      error = "unrecognized option '" + ShowNative(a) + "'";
      return false;
    }
    if (!spec->takesValue) {
      if (eq != std::string::npos) {
        error = "option '--" + name + "' doesn't allow an argument";
        return false;
      }
      out.options[name] = "";
    } else if (eq != std::string::npos) {
      out.options[name] = a.substr(eq + 1);
    } else if (i + 1 < args.size()) {
      out.options[name] = args[++i];
    } else {
      error = "option '--" + name + "' requires an argument";
      return false;
    }
  }
  return true;
}

}  // namespace qtool
