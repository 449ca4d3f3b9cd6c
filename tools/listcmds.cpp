// The commands that only look: ls, stat, version.
#include <algorithm>
#include <cstdio>

#include "tools/tool.h"

namespace qtool {
namespace {

std::string dateOrDash(const std::optional<uint64_t> &d, bool withOffset) {
  return d ? IsoDate(*d, withOffset) : "-";
}

// A date as "key":"ISO 8601","key_us":N, or "key":null.  Dates are ASCII
// (digits, signs, "T", ":", "." or a leading "@"), so no escaping is needed.
void appendJsonDate(std::string &out, const char *key, const std::optional<uint64_t> &d) {
  out += '"';
  out += key;
  out += "\":";
  if (!d) {
    out += "null";
    return;
  }
  out += '"';
  out += IsoDate(*d, true);
  out += "\",\"";
  out += key;
  out += "_us\":";
  out += std::to_string(*d);
}

// One entry as a JSON object appended to out; `full` adds the full name.
// Appends in place: a listing writes one of these per entry.
void appendJsonEntry(std::string &out, const EntryInfo &e, bool full) {
  out += '{';
  if (e.index) {
    out += "\"index\":";
    out += std::to_string(e.index);
    out += ',';
  }
  if (full) {
    out += "\"full\":";
    out += JsonString(e.full);
    out += ',';
  }
  out += "\"name\":";
  out += JsonString(e.name);
  if (std::optional<std::string> hex = NameBytesHex(e.name)) {
    out += ",\"name_bytes\":\"";
    out += *hex;
    out += '"';
  }
  out += ",\"entrytype\":";
  out += JsonText(e.type);
  out += ",\"size\":";
  out += e.size ? std::to_string(*e.size) : "null";
  out += ',';
  appendJsonDate(out, "created", e.created);
  out += ',';
  appendJsonDate(out, "lastchanged", e.lastchanged);
  out += ',';
  appendJsonDate(out, "lastaccessed", e.lastaccessed);
  auto b = [](bool v) { return v ? "true" : "false"; };
  out += ",\"readonly\":";
  out += b(e.readonly);
  out += ",\"hidden\":";
  out += b(e.hidden);
  out += ",\"system\":";
  out += b(e.system);
  out += '}';
}

std::string jsonEntry(const EntryInfo &e, bool full) {
  std::string out;
  appendJsonEntry(out, e, full);
  return out;
}

void writeOut(const std::string &s) { std::fwrite(s.data(), 1, s.size(), stdout); }

// The listing of an open directory: text columns or one JSON document, in
// the listing's own order or sorted by `sortKey`.
int printListing(Session &s, const qhost::Ref &dir, bool json, std::string_view sortKey) {
  const uint32_t count = s.EntryCount(dir);
  std::vector<EntryInfo> entries;
  const int status = ListedEntries(s, dir, count, entries);
  if (!sortKey.empty()) SortListing(entries, sortKey);

  if (json) {
    const std::u16string full = s.FullName(dir);
    std::string out = "{\"directory\":" + JsonString(full);
    if (std::optional<std::string> hex = NameBytesHex(full)) out += ",\"directory_bytes\":\"" + *hex + "\"";
    out += ",\"entrycount\":" + std::to_string(count) + ",\"entries\":[";
    for (size_t i = 0; i < entries.size(); ++i) {
      out += i ? ",\n" : "\n";
      appendJsonEntry(out, entries[i], false);
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
