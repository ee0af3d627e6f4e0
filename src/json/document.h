#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "json/parse.h"
#include "json/tape.h"
#include "json/value.h"

namespace simdjson::dom {
class document;
} // namespace simdjson::dom

namespace json {

// Texts from this size up let their parse buffers go afterwards, rather than keep them.
inline constexpr std::size_t kLargeText = std::size_t{1} << 22;

// Readable bytes after a text that let a Document read it in place (simdjson's padding).
inline constexpr std::size_t kDocumentPadding = 64;

// A JSON text held in simdjson's DOM, for readers that take a few values straight from it
// instead of building a Value tree. It takes only texts for which parse() would copy that
// same tree; the rest are left to parse(). The one place where simdjson parses a text:
// parse() asks a Document first. Spent documents go to a pool of the process and are
// parsed into again, on whichever thread.
class Document {
public:
  // The document of text, or nullopt when text is for parse() to decide (anything simdjson
  // refuses, such as the words NaN and Infinity: parse() then gives the value or the exact
  // error).
  // padded: at least kDocumentPadding readable bytes follow the text, so it is read in place
  // rather than copied.
  static std::optional<Document> parse(std::string_view text, bool padded = false);
  // The same for a text in its own string, read in place when the string's spare capacity
  // gives the padding.
  static std::optional<Document> parse_in_buffer(const std::string &text) {
    return parse(text, text.capacity() - text.size() >= kDocumentPadding);
  }

  Document(Document &&other) noexcept;
  Document &operator=(Document &&other) noexcept;
  ~Document();

  // Its tape, for reading values in place (json/tape.h). Valid while this document lives.
  tape::Tape tape() const;
  // The Value parse() gives for the same text.
  Value to_value() const;

private:
  explicit Document(std::unique_ptr<simdjson::dom::document> doc);
  std::unique_ptr<simdjson::dom::document> _doc;
};

} // namespace json
