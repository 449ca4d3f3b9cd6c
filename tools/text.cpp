// Text of the tool: names between the command line, the module and the
// terminal; dates; JSON strings; error explanations.
#include <cerrno>
#include <climits>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <cwchar>
#include <cwctype>

#include "host/utf.h"
#include "tools/tool.h"

namespace qtool {
namespace {

// ---- names ---------------------------------------------------------------------

enum class Target { Terminal, Utf8 };

void appendHex(std::string &out, const char *fmt, unsigned v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, fmt, v);
  out += buf;
}

bool isSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDFFF; }

// Characters no name should show as they are: noncharacters (U+FDD0..U+FDEF
// and the last two of every plane, U+FFFE among them) and the invisible
// format characters (categories Cf, Zl, Zp), which could make one name pass
// for another or reorder the line it is printed on.
bool isHidden(char32_t c) {
  if ((c >= 0xFDD0 && c <= 0xFDEF) || (c & 0xFFFE) == 0xFFFE) return true;
  static constexpr char32_t kFormat[][2] = {
      {0x00AD, 0x00AD},   {0x0600, 0x0605},   {0x061C, 0x061C},   {0x06DD, 0x06DD},
      {0x070F, 0x070F},   {0x0890, 0x0891},   {0x08E2, 0x08E2},   {0x180E, 0x180E},
      {0x200B, 0x200F},   {0x2028, 0x202E},   {0x2060, 0x2064},   {0x2066, 0x206F},
      {0xFEFF, 0xFEFF},   {0xFFF9, 0xFFFB},   {0x110BD, 0x110BD}, {0x110CD, 0x110CD},
      {0x13430, 0x1343F}, {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A}, {0xE0001, 0xE0001},
      {0xE0020, 0xE007F},
  };
  for (const auto &r : kFormat)
    if (c >= r[0] && c <= r[1]) return true;
  return false;
}

// Appends one character, escaped unless the target can show it safely.
void appendShown(std::string &out, char32_t c, Target t) {
  switch (c) {
    case U'\\': out += "\\\\"; return;
    case U'\n': out += "\\n"; return;
    case U'\t': out += "\\t"; return;
    case U'\r': out += "\\r"; return;
    default: break;
  }
  if (c < 0x20 || c == 0x7F) {
    appendHex(out, "\\x%02X", unsigned(c));
    return;
  }
  if (isHidden(c)) {
    appendHex(out, "\\u{%X}", unsigned(c));
    return;
  }
  if (t == Target::Utf8) {
    // C1 controls would act on a terminal that prints the JSON.
    if ((c >= 0x80 && c < 0xA0) || isSurrogate(c) || c > 0x10FFFF) {
      appendHex(out, "\\u{%X}", unsigned(c));
    } else {
      qhost::appendUtf8(out, c);
    }
    return;
  }
  if (std::iswprint(wint_t(c))) {
    char buf[MB_LEN_MAX];
    std::mbstate_t st{};
    size_t n = std::wcrtomb(buf, wchar_t(c), &st);
    if (n != size_t(-1)) {
      out.append(buf, n);
      return;
    }
  }
  appendHex(out, "\\u{%X}", unsigned(c));
}

// Bytes in the locale's encoding, decoded where they decode; a byte that
// starts no valid character is shown as \xNN.
std::string showBytes(std::string_view bytes, Target t) {
  std::string out;
  std::mbstate_t st{};
  size_t pos = 0;
  while (pos < bytes.size()) {
    wchar_t wc = 0;
    size_t r = std::mbrtowc(&wc, bytes.data() + pos, bytes.size() - pos, &st);
    if (r == size_t(-1) || r == size_t(-2) || r == 0) {
      appendHex(out, "\\x%02X", unsigned(uint8_t(bytes[pos])));
      st = std::mbstate_t{};
      ++pos;
      continue;
    }
    appendShown(out, char32_t(wc), t);
    pos += r;
  }
  return out;
}

bool isBytesOnly(const std::u16string &name) {
  return !name.empty() && name[0] == kBytesOnlyMarker;
}

std::string bytesOf(const std::u16string &name) {
  std::string bytes;
  for (size_t i = 1; i < name.size(); ++i) bytes += char(uint8_t(name[i]));
  return bytes;
}

std::string showUnits(const std::u16string &name, Target t) {
  if (isBytesOnly(name)) return showBytes(bytesOf(name), t);
  std::string out;
  for (size_t i = 0; i < name.size();) {
    const char32_t c = qhost::nextCodePoint(name, i);
    appendShown(out, c, t);
  }
  return out;
}

void appendJsonChar(std::string &out, char32_t c) {
  switch (c) {
    case U'"': out += "\\\""; return;
    case U'\\': out += "\\\\"; return;
    case U'\n': out += "\\n"; return;
    case U'\t': out += "\\t"; return;
    case U'\r': out += "\\r"; return;
    case U'\b': out += "\\b"; return;
    case U'\f': out += "\\f"; return;
    default: break;
  }
  // Controls, C1 controls, lone surrogates, noncharacters and format
  // characters travel as \u escapes (a pair above U+FFFF), so the document
  // stays valid and terminal-safe and still says exactly the same name.
  if (c < 0x20 || (c >= 0x7F && c < 0xA0) || isSurrogate(c) || isHidden(c)) {
    if (c > 0xFFFF) {
      appendHex(out, "\\u%04X", unsigned(0xD800 + ((c - 0x10000) >> 10)));
      appendHex(out, "\\u%04X", unsigned(0xDC00 + ((c - 0x10000) & 0x3FF)));
    } else {
      appendHex(out, "\\u%04X", unsigned(c));
    }
  } else {
    qhost::appendUtf8(out, c);
  }
}

// ---- dates ---------------------------------------------------------------------

constexpr int64_t kUsPerSecond = 1000000;
constexpr int64_t kSecondsPerDay = 86400;
// Seconds from 0001-01-01 to 1970-01-01 UTC: the earliest date value.
constexpr int64_t kFirstUnixSecond = -62135596800;

// Days from 1970-01-01 to y-m-d in the proleptic Gregorian calendar.
int64_t daysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = unsigned(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + int64_t(doe) - 719468;
}

unsigned daysInMonth(int y, unsigned m) {
  static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  return m == 2 && leap ? 29 : kDays[m - 1];
}

// Reads exactly `n` digits.
bool digits(std::string_view &s, size_t n, int &v) {
  if (s.size() < n) return false;
  v = 0;
  for (size_t i = 0; i < n; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    v = v * 10 + (s[i] - '0');
  }
  s.remove_prefix(n);
  return true;
}

bool eat(std::string_view &s, char c) {
  if (s.empty() || s[0] != c) return false;
  s.remove_prefix(1);
  return true;
}

std::optional<uint64_t> fromUnix(int64_t secs, int64_t frac) {
  if (secs < kFirstUnixSecond) return std::nullopt;
  return uint64_t((secs - kFirstUnixSecond) * kUsPerSecond + frac);
}

}  // namespace

std::u16string ModuleName(std::string_view native) {
  std::u16string out;
  std::mbstate_t st{};
  size_t pos = 0;
  bool decodable = true;
  while (pos < native.size()) {
    wchar_t wc = 0;
    size_t r = std::mbrtowc(&wc, native.data() + pos, native.size() - pos, &st);
    // The module converts one unit at a time, so a character needing two
    // units (or a name that would start with the marker) must go as bytes.
    if (r == size_t(-1) || r == size_t(-2) || r == 0 || uint32_t(wc) > 0xFFFF ||
        isSurrogate(char32_t(wc)) || (out.empty() && wc == wchar_t(kBytesOnlyMarker))) {
      decodable = false;
      break;
    }
    out += char16_t(wc);
    pos += r;
  }
  if (decodable) return out;
  out.assign(1, kBytesOnlyMarker);
  for (char c : native) out += char16_t(uint8_t(c));
  return out;
}

std::string ShowName(const std::u16string &name) { return showUnits(name, Target::Terminal); }

std::string ShowNative(std::string_view native) { return showBytes(native, Target::Terminal); }

std::optional<std::string> NameBytesHex(const std::u16string &name) {
  if (!isBytesOnly(name)) return std::nullopt;
  std::string hex;
  for (char c : bytesOf(name)) appendHex(hex, "%02x", unsigned(uint8_t(c)));
  return hex;
}

std::string JsonString(const std::u16string &name) {
  if (isBytesOnly(name)) return JsonText(showUnits(name, Target::Utf8));
  std::string out = "\"";
  for (size_t i = 0; i < name.size();) {
    const char32_t c = qhost::nextCodePoint(name, i);
    appendJsonChar(out, c);
  }
  out += '"';
  return out;
}

std::string JsonText(std::string_view utf8) {
  std::string out = "\"";
  for (char c : utf8) {
    const uint8_t b = uint8_t(c);
    // Multi-byte sequences pass through whole; only ASCII needs escaping.
    if (b < 0x80) {
      appendJsonChar(out, b);
    } else {
      out += c;
    }
  }
  out += '"';
  return out;
}

namespace {

// Writes v as exactly `width` decimal digits (v below 10^width) and returns
// the position after them.  Listing a large directory formats two dates per
// entry; printf's machinery was most of the time `qira ls --json` took.
char *putDigits(char *p, uint64_t v, int width) {
  for (int i = width - 1; i >= 0; --i) {
    p[i] = char('0' + v % 10);
    v /= 10;
  }
  return p + width;
}

}  // namespace

std::string IsoDate(uint64_t us, bool withOffset) {
  const auto raw = [us] { return "@" + std::to_string(us); };
  int64_t unixUs;
  if (us >= kUnixEpochUs) {
    const uint64_t d = us - kUnixEpochUs;
    if (d > uint64_t(INT64_MAX)) return raw();
    unixUs = int64_t(d);
  } else {
    unixUs = -int64_t(kUnixEpochUs - us);
  }
  int64_t secs = unixUs / kUsPerSecond;
  int64_t frac = unixUs % kUsPerSecond;
  if (frac < 0) {
    frac += kUsPerSecond;
    --secs;
  }
  const time_t t = time_t(secs);
  struct tm tm {};
  if (int64_t(t) != secs || !localtime_r(&t, &tm)) return raw();
  const long long year = (long long)tm.tm_year + 1900;
  long off = tm.tm_gmtoff;
  const char sign = off < 0 ? '-' : '+';
  if (off < 0) off = -off;
  // Four-digit years and offsets below 100 hours, which is every date a
  // file system gives; anything else takes the general path.
  if (year < 0 || year > 9999 || off / 3600 > 99) {
    char buf[96];
    int n = std::snprintf(buf, sizeof buf, "%04lld-%02d-%02dT%02d:%02d:%02d", year, tm.tm_mon + 1,
                          tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    std::string out(buf, size_t(n));
    if (frac != 0) {
      std::snprintf(buf, sizeof buf, ".%06lld", (long long)frac);
      out += buf;
    }
    if (withOffset) {
      std::snprintf(buf, sizeof buf, "%c%02ld:%02ld", sign, off / 3600, off / 60 % 60);
      out += buf;
    }
    return out;
  }
  char buf[40];
  char *p = putDigits(buf, uint64_t(year), 4);
  *p++ = '-';
  p = putDigits(p, uint64_t(tm.tm_mon + 1), 2);
  *p++ = '-';
  p = putDigits(p, uint64_t(tm.tm_mday), 2);
  *p++ = 'T';
  p = putDigits(p, uint64_t(tm.tm_hour), 2);
  *p++ = ':';
  p = putDigits(p, uint64_t(tm.tm_min), 2);
  *p++ = ':';
  p = putDigits(p, uint64_t(tm.tm_sec), 2);
  if (frac != 0) {
    *p++ = '.';
    p = putDigits(p, uint64_t(frac), 6);
  }
  if (withOffset) {
    *p++ = sign;
    p = putDigits(p, uint64_t(off / 3600), 2);
    *p++ = ':';
    p = putDigits(p, uint64_t(off / 60 % 60), 2);
  }
  return std::string(buf, size_t(p - buf));
}

std::optional<uint64_t> ParseDate(std::string_view s) {
  if (s == "now") {
    struct timespec ts {};
    if (clock_gettime(CLOCK_REALTIME, &ts) != 0) return std::nullopt;
    return fromUnix(int64_t(ts.tv_sec), int64_t(ts.tv_nsec / 1000));
  }
  int y, mo, d, h = 0, mi = 0, sec = 0;
  int64_t frac = 0;
  if (!digits(s, 4, y) || !eat(s, '-') || !digits(s, 2, mo) || !eat(s, '-') || !digits(s, 2, d))
    return std::nullopt;
  if (y < 1 || mo < 1 || mo > 12 || d < 1 || unsigned(d) > daysInMonth(y, unsigned(mo)))
    return std::nullopt;
  if (eat(s, 'T') || eat(s, 't') || eat(s, ' ')) {
    if (!digits(s, 2, h) || !eat(s, ':') || !digits(s, 2, mi)) return std::nullopt;
    if (eat(s, ':')) {
      if (!digits(s, 2, sec)) return std::nullopt;
      if (eat(s, '.') || eat(s, ',')) {
        int64_t scale = kUsPerSecond;
        size_t n = 0;
        while (!s.empty() && s[0] >= '0' && s[0] <= '9') {
          // Digits beyond microseconds are dropped, not rounded.
          if (scale > 1) {
            scale /= 10;
            frac += (s[0] - '0') * scale;
          }
          s.remove_prefix(1);
          ++n;
        }
        if (n == 0) return std::nullopt;
      }
    }
    if (h > 23 || mi > 59 || sec > 59) return std::nullopt;
  }
  std::optional<int64_t> offset;
  if (eat(s, 'Z') || eat(s, 'z')) {
    offset = 0;
  } else if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
    const int sign = s[0] == '-' ? -1 : 1;
    s.remove_prefix(1);
    int oh, om = 0;
    if (!digits(s, 2, oh)) return std::nullopt;
    eat(s, ':');
    if (!s.empty() && !digits(s, 2, om)) return std::nullopt;
    if (oh > 23 || om > 59) return std::nullopt;
    offset = sign * (oh * 3600 + om * 60);
  }
  if (!s.empty()) return std::nullopt;

  if (offset) {
    const int64_t secs = daysFromCivil(y, unsigned(mo), unsigned(d)) * kSecondsPerDay +
                         h * 3600 + mi * 60 + sec - *offset;
    return fromUnix(secs, frac);
  }
  struct tm tm {};
  tm.tm_year = y - 1900;
  tm.tm_mon = mo - 1;
  tm.tm_mday = d;
  tm.tm_hour = h;
  tm.tm_min = mi;
  tm.tm_sec = sec;
  tm.tm_isdst = -1;
  errno = 0;
  const time_t t = mktime(&tm);
  if (t == time_t(-1) && errno != 0) return std::nullopt;
  return fromUnix(int64_t(t), frac);
}

std::string ExplainCode(uint32_t code) {
  struct Row {
    uint32_t code;
    const char *text;
  };
  static constexpr Row kRows[] = {
      {QIRA_ERR_NOMEM, "out of memory"},
      {QIRA_ERR_EXISTS, "the entry exists already"},
      {QIRA_ERR_NOTFOUND, "not an existing directory or no such entry"},
      {QIRA_ERR_ACCESS, "access denied"},
      {QIRA_ERR_NOTPOSSIBLE, "not possible on this platform, or neither file nor directory"},
      {QIRA_ERR_WRONGKIND, "an entry of the wrong kind (a directory cannot be copied)"},
      {QIRA_ERR_NOTYPE, "a type of the module is missing"},
      {QIRA_ERR_NOPRIVATE, "an object without private data"},
      {QIRA_ERR_TOOLONG, "a name too long"},
      {QIRA_ERR_EMPTY, "an empty name"},
      {QIRA_ERR_RANGE, "an index, integer or date out of range"},
      {QIRA_ERR_SLASH, "a name that contains \"/\""},
      {QIRA_ERR_MISSINGPARAM, "a required parameter missing"},
      {QIRA_ERR_NOTVARIABLE, "an argument that is not a variable"},
      {QIRA_ERR_NOHOSTFUNC, "a host function missing"},
      {QIRA_ERR_SHORTWRITE, "a short write"},
      {QIRA_ERR_DIGITS, "a value too large for its digits"},
      {QIRA_ERR_BADENTRYTYPE, "an unknown entry type"},
      {QIRA_ERR_NOENTRY, "no such entry, or a path component that is not a directory"},
      {QIRA_ERR_CONVERT, "a character that cannot be converted in this locale"},
      {qhost::kHostErrUnimplemented, "host: a host function this host does not offer"},
      {qhost::kHostErrBadObject, "host: not a live object"},
      {qhost::kHostErrBadValue, "host: a value the host did not make"},
      {qhost::kHostErrNotVariable, "host: not a variable"},
      {qhost::kHostErrNoProperty, "host: no such property"},
      {qhost::kHostErrUnknownArgument, "host: an unknown argument name"},
      {qhost::kHostErrNoMethod, "host: no such method"},
      {qhost::kHostErrNotNumeric, "host: not a whole number"},
      {qhost::kHostErrAbandoned, "host: the call was abandoned"},
      {qhost::kHostErrNoType, "host: no such type"},
      {qhost::kHostErrBadDescriptor, "host: an unusable type descriptor"},
      {qhost::kHostErrNoHost, "host: no host alive"},
      {qhost::kHostErrNoReceiver, "host: no receiver"},
  };
  const std::string num = std::to_string(code) + ": ";
  for (const Row &r : kRows) {
    if (r.code == code) return num + r.text;
  }
  // System codes are 2000000 OR errno; errno values stay far below 2^16.
  if (code >= QIRA_ERR_SYSTEM && code - QIRA_ERR_SYSTEM < 0x10000) {
    const int e = int(code - QIRA_ERR_SYSTEM);
    const char *name = strerrorname_np(e);
    return num + (name ? name : "errno " + std::to_string(e)) + " (" + std::strerror(e) + ")";
  }
  return num + "unknown error";
}

}  // namespace qtool
