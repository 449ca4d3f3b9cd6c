// UTF-8 and UTF-16 without the process locale: how the host stand-in, the
// tool and the tests turn script text into the module's code units and back.
// Header-only so that tests of a single layer can use it without the host.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qhost {

inline void appendUtf8(std::string &out, char32_t c) {
  if (c < 0x80) {
    out += char(c);
  } else if (c < 0x800) {
    out += char(0xC0 | (c >> 6));
    out += char(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += char(0xE0 | (c >> 12));
    out += char(0x80 | ((c >> 6) & 0x3F));
    out += char(0x80 | (c & 0x3F));
  } else {
    out += char(0xF0 | (c >> 18));
    out += char(0x80 | ((c >> 12) & 0x3F));
    out += char(0x80 | ((c >> 6) & 0x3F));
    out += char(0x80 | (c & 0x3F));
  }
}

// The character at s[i], advancing i past it.  A surrogate pair is one
// character; a lone surrogate comes back as itself, since a file name may
// hold one and the caller decides how to show it.
inline char32_t nextCodePoint(std::u16string_view s, size_t &i) {
  char32_t c = s[i++];
  if (c >= 0xD800 && c < 0xDC00 && i < s.size() && s[i] >= 0xDC00 && s[i] < 0xE000)
    c = 0x10000 + ((c - 0xD800) << 10) + (s[i++] - 0xDC00);
  return c;
}

// A byte that starts no sequence, or a sequence cut short by the end, gives
// U+FFFD and the next byte is read afresh.  U+0000 stays a unit of its own.
inline std::u16string toU16(std::string_view s) {
  std::u16string out;
  for (size_t i = 0; i < s.size();) {
    auto c = static_cast<unsigned char>(s[i]);
    uint32_t cp = 0xFFFD;
    size_t n = 1;
    if (c < 0x80) {
      cp = c;
    } else if ((c >> 5) == 6 && i + 1 < s.size()) {
      cp = ((c & 0x1Fu) << 6) | (s[i + 1] & 0x3Fu);
      n = 2;
    } else if ((c >> 4) == 14 && i + 2 < s.size()) {
      cp = ((c & 0x0Fu) << 12) | ((s[i + 1] & 0x3Fu) << 6) | (s[i + 2] & 0x3Fu);
      n = 3;
    } else if ((c >> 3) == 30 && i + 3 < s.size()) {
      cp = ((c & 0x07u) << 18) | ((s[i + 1] & 0x3Fu) << 12) | ((s[i + 2] & 0x3Fu) << 6) |
           (s[i + 3] & 0x3Fu);
      n = 4;
    }
    i += n;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(char16_t(0xD800 + (cp >> 10)));
      out.push_back(char16_t(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(char16_t(cp));
    }
  }
  return out;
}

// A lone surrogate is written as its three bytes, so no unit is lost.
inline std::string toU8(std::u16string_view s) {
  std::string out;
  for (size_t i = 0; i < s.size();) appendUtf8(out, nextCodePoint(s, i));
  return out;
}

}  // namespace qhost
