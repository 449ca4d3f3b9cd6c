// The commands that only look: ls, stat, version.
#include <algorithm>
#include <cstdio>

#include "tools/tool.h"

namespace qtool {
namespace {

std::string dateOrDash(const std::optional<uint64_t> &d, bool withOffset) {
  return d ? IsoDate(*d, withOffset) : "-";
}

std::string jsonDate(const char *key, const std::optional<uint64_t> &d) {
  std::string out = "\"" + std::string(key) + "\":";
  if (!d) return out + "null";
  return out + JsonText(IsoDate(*d, true)) + ",\"" + key + "_us\":" + std::to_string(*d);
}

// One entry as a JSON object; `full` adds the full name.
std::string jsonEntry(const EntryInfo &e, bool full) {
  std::string out = "{";
  if (e.index) out += "\"index\":" + std::to_string(e.index) + ",";
  if (full) out += "\"full\":" + JsonString(e.full) + ",";
  out += "\"name\":" + JsonString(e.name);
  if (std::optional<std::string> hex = NameBytesHex(e.name)) out += ",\"name_bytes\":\"" + *hex + "\"";
  out += ",\"entrytype\":" + JsonText(e.type);
  out += ",\"size\":" + (e.size ? std::to_string(*e.size) : "null");
  out += "," + jsonDate("created", e.created);
  out += "," + jsonDate("lastchanged", e.lastchanged);
  out += "," + jsonDate("lastaccessed", e.lastaccessed);
  auto b = [](bool v) { return v ? "true" : "false"; };
  out += std::string(",\"readonly\":") + b(e.readonly) + ",\"hidden\":" + b(e.hidden) +
         ",\"system\":" + b(e.system) + "}";
  return out;
}

void writeOut(const std::string &s) { std::fwrite(s.data(), 1, s.size(), stdout); }

// The listing of an open directory: text columns or one JSON document, in
// the listing's own order or sorted by `sortKey`.
int printListing(Session &s, const qhost::Ref &dir, bool json, std::string_view sortKey) {
  const uint32_t count = s.EntryCount(dir);
  std::vector<EntryInfo> entries;
  entries.reserve(count);
  int status = kExitOk;
  for (uint32_t i = 1; i <= count; ++i) {
    Outcome e = s.Call(dir, "getentry", {qhost::Arg("entry", int64_t(i))});
    if (!e.ok()) {
      // A link getentry cannot follow, or an entry gone since: the row is
      // what the listing read.
      if (std::optional<EntryInfo> listed = s.Listed(dir, i)) {
        entries.push_back(*listed);
        continue;
      }
      ReportFailure("ls", "entry " + std::to_string(i), e.code);
      status = kExitFailed;
      continue;
    }
    entries.push_back(s.Describe(e.value));
    entries.back().index = i;
  }
  if (!sortKey.empty()) SortListing(entries, sortKey);

  if (json) {
    const std::u16string full = s.FullName(dir);
    std::string out = "{\"directory\":" + JsonString(full);
    if (std::optional<std::string> hex = NameBytesHex(full)) out += ",\"directory_bytes\":\"" + *hex + "\"";
    out += ",\"entrycount\":" + std::to_string(count) + ",\"entries\":[";
    for (size_t i = 0; i < entries.size(); ++i) {
      out += i ? ",\n" : "\n";
      out += jsonEntry(entries[i], false);
      if (out.size() > 65536) {
        writeOut(out);
        out.clear();
      }
    }
    out += "\n]}\n";
    writeOut(out);
    return status;
  }

  // Columns: index, type, size, last changed, read-only, name.
  std::vector<std::string> sizes, dates;
  size_t wIndex = std::to_string(count).size(), wType = 4, wSize = 1, wDate = 1;
  for (const EntryInfo &e : entries) {
    sizes.push_back(e.size ? std::to_string(*e.size) : "-");
    dates.push_back(dateOrDash(e.lastchanged, false));
    wType = std::max(wType, e.type.size());
    wSize = std::max(wSize, sizes.back().size());
    wDate = std::max(wDate, dates.back().size());
  }
  std::string out;
  char buf[256];
  for (size_t i = 0; i < entries.size(); ++i) {
    const EntryInfo &e = entries[i];
    std::snprintf(buf, sizeof buf, "%*u  %-*s  %*s  %-*s  %s  ", int(wIndex), e.index, int(wType),
                  e.type.c_str(), int(wSize), sizes[i].c_str(), int(wDate), dates[i].c_str(),
                  e.readonly ? "ro" : "rw");
    out += buf;
    out += ShowName(e.name);
    out += '\n';
    if (out.size() > 65536) {
      writeOut(out);
      out.clear();
    }
  }
  writeOut(out);
  return status;
}

void printStat(const EntryInfo &e) {
  auto yn = [](bool v) { return v ? "yes" : "no"; };
  std::printf("full name     %s\n", ShowName(e.full).c_str());
  std::printf("name          %s\n", ShowName(e.name).c_str());
  std::printf("entrytype     %s\n", e.type.c_str());
  std::printf("size          %s\n", e.size ? std::to_string(*e.size).c_str() : "-");
  std::printf("created       %s\n", dateOrDash(e.created, true).c_str());
  std::printf("lastchanged   %s\n", dateOrDash(e.lastchanged, true).c_str());
  std::printf("lastaccessed  %s\n", dateOrDash(e.lastaccessed, true).c_str());
  std::printf("readonly      %s\n", yn(e.readonly));
  std::printf("hidden        %s\n", yn(e.hidden));
  std::printf("system        %s\n", yn(e.system));
}

}  // namespace

std::string CheckLs(const ParsedArgs &args) {
  if (args.has("parent") && !args.operands.empty()) return "--parent takes the place of DIR";
  if (args.has("sort")) {
    const std::string &key = args.options.at("sort");
    const std::vector<std::string> &keys = LsSortKeys();
    if (std::find(keys.begin(), keys.end(), key) == keys.end())
      return "invalid --sort key '" + ShowNative(key) + "' (name, size or time)";
  }
  return {};
}

int RunLs(Session &s, const ParsedArgs &args) {
  Outcome dir;
  if (args.has("parent")) {
    const std::string &name = args.options.at("parent");
    Outcome entry = s.OpenEntry(name);
    if (!entry.ok()) {
      ReportFailure("ls", ShowNative(name), entry.code);
      return kExitFailed;
    }
    dir = s.Call(entry.value, "getdirectory", {});
    if (!dir.ok()) {
      ReportFailure("ls", "parent of " + ShowNative(name), dir.code);
      return kExitFailed;
    }
  } else {
    const std::string name = args.operands.empty() ? "." : args.operands[0];
    dir = s.OpenDirectory(name);
    if (!dir.ok()) {
      ReportFailure("ls", ShowNative(name), dir.code);
      return kExitFailed;
    }
  }
  return printListing(s, dir.value, args.has("json"),
                      args.has("sort") ? std::string_view(args.options.at("sort")) : "");
}

int RunStat(Session &s, const ParsedArgs &args) {
  const bool json = args.has("json");
  int status = kExitOk;
  std::string doc = "[";
  bool first = true;
  for (const std::string &name : args.operands) {
    Outcome entry = s.OpenEntry(name);
    if (!entry.ok()) {
      ReportFailure("stat", ShowNative(name), entry.code);
      status = kExitFailed;
      continue;
    }
    EntryInfo e = s.Describe(entry.value);
    e.full = s.FullName(entry.value);
    if (json) {
      doc += (first ? "\n" : ",\n") + jsonEntry(e, true);
    } else {
      if (!first) std::printf("\n");
      printStat(e);
    }
    first = false;
  }
  if (json) writeOut(doc + "\n]\n");
  return status;
}

int RunVersion(Session &s, const ParsedArgs &) {
  qhost::Host &h = s.host();
  std::printf("module       %s\n", ShowNative(s.modulePath()).c_str());
  std::printf("version      %s\n", ShowName(h.versionText()).c_str());
  std::printf("description  %s\n", ShowNative(h.description()).c_str());
  return kExitOk;
}

}  // namespace qtool
