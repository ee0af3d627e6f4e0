#include "json/parse_internal.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "json/error.h"

// The errors of the exact path that depend on the raw bytes: positions counted as json.loads
// counts them, and the strict UTF-8 check that json.loads' input gets before it is scanned.

namespace json::detail {
namespace {

[[noreturn]] void fail_utf8(std::string_view text, std::size_t pos, std::size_t len,
                            const char *reason) {
  char buf[160];
  if (len == 1) {
    std::snprintf(buf, sizeof buf, "'utf-8' codec can't decode byte 0x%02x in position %zu: %s",
                  static_cast<unsigned char>(text[pos]), pos, reason);
  } else {
    std::snprintf(buf, sizeof buf, "'utf-8' codec can't decode bytes in position %zu-%zu: %s", pos,
                  pos + len - 1, reason);
  }
  throw ParseError(buf);
}

} // namespace

// json.loads appends the position as line, column and character index, counted in code points.
[[noreturn]] void fail_at(std::string_view text, std::size_t pos, std::string_view what) {
  std::size_t chars = 0;
  std::size_t line = 1;
  std::size_t line_start = 0;
  for (std::size_t i = 0; i < pos; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if ((c & 0xC0) == 0x80)
      continue;
    ++chars;
    if (c == '\n') {
      ++line;
      line_start = chars;
    }
  }
  std::string msg(what);
  msg += ": line " + std::to_string(line) + " column " + std::to_string(chars - line_start + 1) +
         " (char " + std::to_string(chars) + ")";
  throw ParseError(msg);
}

// Python's strict UTF-8 decoder: the first bad sequence is reported with the bytes of its
// longest valid prefix, as bytes.decode() reports it.
void validate_utf8(std::string_view text) {
  const auto *s = reinterpret_cast<const unsigned char *>(text.data());
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    if (n - i >= 32) {
      std::uint64_t w[4];
      std::memcpy(w, s + i, 32);
      if (((w[0] | w[1] | w[2] | w[3]) & 0x8080808080808080ull) == 0) {
        i += 32;
        continue;
      }
    }
    const unsigned char c = s[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t need;
    unsigned char lo = 0x80;
    unsigned char hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
      need = 1;
    } else if (c == 0xE0) {
      need = 2;
      lo = 0xA0;
    } else if (c == 0xED) {
      need = 2;
      hi = 0x9F;
    } else if (c >= 0xE1 && c <= 0xEF) {
      need = 2;
    } else if (c == 0xF0) {
      need = 3;
      lo = 0x90;
    } else if (c == 0xF4) {
      need = 3;
      hi = 0x8F;
    } else if (c >= 0xF1 && c <= 0xF3) {
      need = 3;
    } else {
      fail_utf8(text, i, 1, "invalid start byte");
    }
    for (std::size_t k = 1; k <= need; ++k) {
      if (i + k >= n)
        fail_utf8(text, i, k, "unexpected end of data");
      const unsigned char b = s[i + k];
      const bool ok = k == 1 ? (b >= lo && b <= hi) : (b >= 0x80 && b <= 0xBF);
      if (!ok)
        fail_utf8(text, i, k, "invalid continuation byte");
    }
    i += need + 1;
  }
}

} // namespace json::detail
