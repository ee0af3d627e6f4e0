#include "s3/xml.h"

#include <charconv>
#include <cstdint>

namespace s3::xml {

namespace {

void append_utf8(std::string &out, std::uint32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

std::string decode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '&') {
      out += text[i];
      continue;
    }
    const std::size_t end = text.find(';', i);
    if (end == std::string_view::npos) {
      out += text.substr(i);
      break;
    }
    const std::string_view entity = text.substr(i + 1, end - i - 1);
    if (entity == "amp")
      out += '&';
    else if (entity == "lt")
      out += '<';
    else if (entity == "gt")
      out += '>';
    else if (entity == "quot")
      out += '"';
    else if (entity == "apos")
      out += '\'';
    else if (entity.starts_with('#')) {
      std::uint32_t code = 0;
      const bool hex = entity.size() > 1 && (entity[1] == 'x' || entity[1] == 'X');
      const std::string_view digits = entity.substr(hex ? 2 : 1);
      const auto [p, ec] =
          std::from_chars(digits.data(), digits.data() + digits.size(), code, hex ? 16 : 10);
      if (ec != std::errc() || p != digits.data() + digits.size() || code > 0x10FFFF) {
        out += text.substr(i, end - i + 1);
      } else {
        append_utf8(out, code);
      }
    } else {
      out += text.substr(i, end - i + 1);
    }
    i = end;
  }
  return out;
}

// The content of the next element <name> at or after from; from moves past it.
bool next(std::string_view xml, std::string_view name, std::size_t &from,
          std::string_view &content) {
  std::string open = "<";
  open += name;
  std::string close = "</";
  close += name;
  close += '>';
  for (;;) {
    const std::size_t at = xml.find(open, from);
    if (at == std::string_view::npos)
      return false;
    const std::size_t after = at + open.size();
    if (after >= xml.size())
      return false;
    // <Key> or <Key attr=...>, not <KeyMarker>.
    if (xml[after] != '>' && xml[after] != ' ' && xml[after] != '/') {
      from = after;
      continue;
    }
    const std::size_t tag_end = xml.find('>', after);
    if (tag_end == std::string_view::npos)
      return false;
    if (xml[tag_end - 1] == '/') {
      content = {};
      from = tag_end + 1;
      return true;
    }
    const std::size_t end = xml.find(close, tag_end + 1);
    if (end == std::string_view::npos)
      return false;
    content = xml.substr(tag_end + 1, end - tag_end - 1);
    from = end + close.size();
    return true;
  }
}

} // namespace

std::string first(std::string_view xml, std::string_view name) {
  std::size_t from = 0;
  std::string_view content;
  return next(xml, name, from, content) ? decode(content) : std::string();
}

std::vector<std::string_view> all(std::string_view xml, std::string_view name) {
  std::vector<std::string_view> found;
  std::size_t from = 0;
  std::string_view content;
  while (next(xml, name, from, content))
    found.push_back(content);
  return found;
}

std::string escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
    case '&':
      out += "&amp;";
      break;
    case '<':
      out += "&lt;";
      break;
    case '>':
      out += "&gt;";
      break;
    case '"':
      out += "&quot;";
      break;
    case '\'':
      out += "&apos;";
      break;
    default:
      out += c;
    }
  }
  return out;
}

} // namespace s3::xml
