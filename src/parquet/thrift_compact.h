#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "parquet/error.h"

namespace parquet {

// Type codes of the compact protocol (the low nibble of a field header).
enum class WireType : std::uint8_t {
  kStop = 0,
  kBoolTrue = 1,
  kBoolFalse = 2,
  kI8 = 3,
  kI16 = 4,
  kI32 = 5,
  kI64 = 6,
  kDouble = 7,
  kBinary = 8,
  kList = 9,
  kSet = 10,
  kMap = 11,
  kStruct = 12,
  kUuid = 13,
};

// A malformed struct: truncated, a wrong field type, a length past the end, too deep.
// The callers turn it into a message that names the file.
class ThriftError : public Error {
  using Error::Error;
};

// Appends compact-protocol structs to a byte string. Fields must be written in ascending id
// order inside each struct; begin_struct/end_struct nest.
class CompactWriter {
public:
  explicit CompactWriter(std::string &out) : _out(out) {}

  void begin_struct() { _last_ids.push_back(0); }
  void end_struct(); // writes the stop byte

  void field_i32(std::int16_t id, std::int32_t value);
  void field_i64(std::int16_t id, std::int64_t value);
  void field_i16(std::int16_t id, std::int16_t value);
  void field_i8(std::int16_t id, std::int8_t value);
  void field_bool(std::int16_t id, bool value);
  void field_binary(std::int16_t id, std::string_view value);
  // Writes the header of a struct field and opens the struct; close it with end_struct.
  void begin_field_struct(std::int16_t id);
  // Writes the header of a list field; the caller then writes `size` elements.
  void begin_field_list(std::int16_t id, WireType element, std::size_t size);

  void element_i32(std::int32_t value) { _varint(_zigzag(value)); }
  void element_binary(std::string_view value);

private:
  void _field_header(std::int16_t id, WireType type);
  void _varint(std::uint64_t value);
  static std::uint64_t _zigzag(std::int64_t value) {
    return (static_cast<std::uint64_t>(value) << 1) ^ static_cast<std::uint64_t>(value >> 63);
  }

  std::string &_out;
  std::vector<std::int16_t> _last_ids;
};

struct FieldHeader {
  WireType type = WireType::kStop;
  std::int16_t id = 0;
};

struct ListHeader {
  WireType element = WireType::kStop;
  std::size_t size = 0;
};

// Reads compact-protocol structs from a bounded byte range. Every read checks the bytes left,
// every length is checked against them and nesting is limited, so a hostile input can only
// make it throw ThriftError.
class CompactReader {
public:
  CompactReader(const std::uint8_t *data, std::size_t size) : _pos(data), _end(data + size) {}

  std::size_t consumed_from(const std::uint8_t *start) const {
    return static_cast<std::size_t>(_pos - start);
  }
  std::size_t remaining() const { return static_cast<std::size_t>(_end - _pos); }

  // Opens a struct: nesting is limited to kMaxDepth. Pair with end_struct.
  void begin_struct();
  void end_struct() { --_depth; }
  // Reads the next field header of the struct whose previous field id is last_id; false at
  // the stop byte.
  bool next_field(FieldHeader &header, std::int16_t &last_id);

  // Typed accessors: each first checks that the field has the expected wire type.
  std::int32_t i32(const FieldHeader &h);
  std::int64_t i64(const FieldHeader &h);
  std::int16_t i16(const FieldHeader &h);
  std::int8_t i8(const FieldHeader &h);
  bool boolean(const FieldHeader &h);
  std::string_view binary(const FieldHeader &h);
  void expect(const FieldHeader &h, WireType type) const;
  ListHeader list(const FieldHeader &h, WireType element);

  // List elements.
  std::int32_t element_i32();
  std::string_view element_binary();

  // Skips one value of the given type, however nested.
  void skip(WireType type);

  static constexpr int kMaxDepth = 64;

private:
  [[noreturn]] static void _fail(const char *what);
  std::uint8_t _byte();
  std::uint64_t _varint();
  std::int32_t _zigzag32();
  std::int64_t _zigzag64();
  std::string_view _bytes(std::size_t n);
  ListHeader _list_header();
  WireType _element_type(std::uint8_t nibble);

  const std::uint8_t *_pos;
  const std::uint8_t *_end;
  int _depth = 0;
};

} // namespace parquet
