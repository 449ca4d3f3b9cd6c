// The rows of `qira ls`: every listed entry as the directory's listing read it.
//
// A listed directory keeps each entry's record, status included, in its
// private data: a tree of entry nodes keyed by index.  Reading the rows from
// there is one walk over that tree.  Asking the directory for an entry object
// per row instead makes an object, writes and reads back nine properties and
// asks the file system for the entry's status a second time, which made
// listing a large directory take twice as long as the listing itself.
//
// The records are read only when the module's directory type announces the
// private-data size this tool was built with and the record passes the checks
// below; any other module (one given with --module, of another build) is
// asked entry by entry.
#include "objects/dirlist.h"
#include "tools/tool.h"

namespace qtool {
namespace {

// The value of integer digits, least significant first.  Sizes and dates use
// at most four digits; more would not fit and make the record suspect.
std::optional<uint64_t> digitsValue(const uint16_t *d, uint32_t count) {
  if (count > 4) return std::nullopt;
  uint64_t v = 0;
  for (uint32_t i = count; i-- > 0;) v = v << 16 | d[i];
  return v;
}

std::optional<uint64_t> dateOf(const QiraDigits4 &date) {
  if (date.count == 0) return std::nullopt;  // no date
  return digitsValue(date.d, date.count);
}

// One entry node's record as a row; false when the record is not one the
// module would show (an entry type outside its table, digits out of range).
bool rowFromRecord(const QiraDirEntryNode &n, EntryInfo &e) {
  const QiraEntryInfo &r = n.info;
  if (r.entrytype == QIRA_ENTRY_FILE) {
    e.type = "file";
    e.size = digitsValue(r.size.d, r.size.count);
    if (!e.size) return false;
  } else if (r.entrytype == QIRA_ENTRY_DIRECTORY) {
    e.type = "directory";
  } else {
    return false;
  }
  if (r.created.count > 4 || r.lastchanged.count > 4 || r.lastaccessed.count > 4) return false;
  e.index = n.index;
  if (r.name) e.name.assign(reinterpret_cast<const char16_t *>(r.name), r.namelen);
  e.created = dateOf(r.created);
  e.lastchanged = dateOf(r.lastchanged);
  e.lastaccessed = dateOf(r.lastaccessed);
  e.readonly = r.readonly != 0;
  e.hidden = r.hidden != 0;
  e.system = r.system != 0;
  return true;
}

// The rows straight from the directory's tree, in index order; false (and
// rows left empty) when the private data is not the record this tool knows.
bool rowsFromTree(Session &s, const qhost::Ref &dir, uint32_t count, std::vector<EntryInfo> &rows) {
  const qhost::TypeView *type = s.host().type("QIRAdirectory");
  if (!type || !type->desc || type->desc->privsize != sizeof(QiraDirPrivate)) return false;
  const auto *p = static_cast<const QiraDirPrivate *>(dir.priv());
  if (!p || p->object != static_cast<void *>(dir.get()) || p->count != count ||
      p->entries.root.count != count)
    return false;

  rows.assign(count, EntryInfo{});
  std::vector<bool> seen(count, false);
  std::vector<const TNode *> stack;
  bool ok = true;
  // Depth first; the order of the walk does not matter, the index places a row.
  if (p->entries.root.node) stack.push_back(p->entries.root.node);
  uint32_t visited = 0;
  while (ok && !stack.empty()) {
    const TNode *t = stack.back();
    stack.pop_back();
    static_assert(offsetof(QiraDirEntryNode, node) == 0, "the tree node leads the entry node");
    const auto &n = *reinterpret_cast<const QiraDirEntryNode *>(t);
    ok = ++visited <= count && n.index >= 1 && n.index <= count && !seen[n.index - 1] &&
         rowFromRecord(n, rows[n.index - 1]);
    if (!ok) break;
    seen[n.index - 1] = true;
    for (const TLink &l : t->link)
      if (l.node) stack.push_back(l.node);
  }
  if (!ok || visited != count) {
    rows.clear();
    return false;
  }
  return true;
}

// Entry by entry through `getentry`, for a module whose records this tool
// cannot read.  An entry that went away since the listing is reported and
// skipped.
int rowsFromObjects(Session &s, const qhost::Ref &dir, uint32_t count,
                    std::vector<EntryInfo> &rows) {
  rows.reserve(count);
  int status = kExitOk;
  for (uint32_t i = 1; i <= count; ++i) {
    Outcome e = s.Call(dir, "getentry", {qhost::Arg("entry", int64_t(i))});
    if (!e.ok()) {
      ReportFailure("ls", "entry " + std::to_string(i), e.code);
      status = kExitFailed;
      continue;
    }
    rows.push_back(s.Describe(e.value));
    rows.back().index = i;
  }
  return status;
}

}  // namespace

int ListedEntries(Session &s, const qhost::Ref &dir, uint32_t count, std::vector<EntryInfo> &rows) {
  rows.clear();
  if (rowsFromTree(s, dir, count, rows)) return kExitOk;
  return rowsFromObjects(s, dir, count, rows);
}

}  // namespace qtool
