// qira ls --sort: the orders a listing can be shown in besides its own.
// Rows keep their listing index, so a sorted row still names the entry that
// `qira rm DIR INDEX` deletes.
#include <algorithm>
#include <climits>
#include <cwchar>

#include "tools/tool.h"

namespace qtool {
namespace {

// The name's bytes as the file system holds them: a bytes-only name's own
// bytes, any other name in the locale's encoding.  Ordering by them is the
// order of `LC_ALL=C ls`, the same in every locale that decodes the names.
std::string nativeBytes(const std::u16string &name) {
  std::string out;
  if (!name.empty() && name[0] == kBytesOnlyMarker) {
    for (size_t i = 1; i < name.size(); ++i) out += char(uint8_t(name[i]));
    return out;
  }
  std::mbstate_t st{};
  char buf[MB_LEN_MAX];
  for (char16_t u : name) {
    size_t n = std::wcrtomb(buf, wchar_t(u), &st);
    if (n == size_t(-1)) {
      // Not encodable here (a lone surrogate): keep the unit's value in order.
      st = std::mbstate_t{};
      out += char(0xFF);
      continue;
    }
    out.append(buf, n);
  }
  return out;
}

// Entries that have the key first, in the key's order; those without it
// (a directory's size, a missing date) after them.  Ties keep listing order.
template <typename Key, typename Before>
void sortBy(std::vector<EntryInfo> &rows, Key key, Before before) {
  std::stable_sort(rows.begin(), rows.end(), [&](const EntryInfo &a, const EntryInfo &b) {
    const auto ka = key(a), kb = key(b);
    if (ka.has_value() != kb.has_value()) return ka.has_value();
    return ka && before(*ka, *kb);
  });
}

}  // namespace

const std::vector<std::string> &LsSortKeys() {
  static const std::vector<std::string> kKeys = {"name", "size", "time"};
  return kKeys;
}

void SortListing(std::vector<EntryInfo> &rows, std::string_view key) {
  if (key == "name") {
    std::vector<std::pair<std::string, EntryInfo>> keyed;
    keyed.reserve(rows.size());
    for (EntryInfo &e : rows) keyed.emplace_back(nativeBytes(e.name), std::move(e));
    std::stable_sort(keyed.begin(), keyed.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });
    for (size_t i = 0; i < rows.size(); ++i) rows[i] = std::move(keyed[i].second);
  } else if (key == "size") {
    // Largest first, as `ls -S`.
    sortBy(rows, [](const EntryInfo &e) { return e.size; }, std::greater<uint64_t>());
  } else if (key == "time") {
    // Newest last change first, as `ls -t`.
    sortBy(rows, [](const EntryInfo &e) { return e.lastchanged; }, std::greater<uint64_t>());
  }
}

}  // namespace qtool
