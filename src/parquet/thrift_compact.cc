#include "parquet/thrift_compact.h"

#include <cstring>
#include <limits>

namespace parquet {

void CompactWriter::end_struct() {
  _out.push_back('\0');
  _last_ids.pop_back();
}

void CompactWriter::_varint(std::uint64_t value) {
  while (value >= 0x80) {
    _out.push_back(static_cast<char>((value & 0x7F) | 0x80));
    value >>= 7;
  }
  _out.push_back(static_cast<char>(value));
}

void CompactWriter::_field_header(std::int16_t id, WireType type) {
  const auto code = static_cast<std::uint8_t>(type);
  std::int16_t &last = _last_ids.back();
  const int delta = id - last;
  if (delta > 0 && delta <= 15) {
    _out.push_back(static_cast<char>((delta << 4) | code));
  } else {
    _out.push_back(static_cast<char>(code));
    _varint(_zigzag(id));
  }
  last = id;
}

void CompactWriter::field_i32(std::int16_t id, std::int32_t value) {
  _field_header(id, WireType::kI32);
  _varint(_zigzag(value));
}

void CompactWriter::field_i64(std::int16_t id, std::int64_t value) {
  _field_header(id, WireType::kI64);
  _varint(_zigzag(value));
}

void CompactWriter::field_i16(std::int16_t id, std::int16_t value) {
  _field_header(id, WireType::kI16);
  _varint(_zigzag(value));
}

void CompactWriter::field_i8(std::int16_t id, std::int8_t value) {
  _field_header(id, WireType::kI8);
  _out.push_back(static_cast<char>(value));
}

void CompactWriter::field_bool(std::int16_t id, bool value) {
  _field_header(id, value ? WireType::kBoolTrue : WireType::kBoolFalse);
}

void CompactWriter::field_binary(std::int16_t id, std::string_view value) {
  _field_header(id, WireType::kBinary);
  element_binary(value);
}

void CompactWriter::element_binary(std::string_view value) {
  _varint(value.size());
  _out.append(value);
}

void CompactWriter::begin_field_struct(std::int16_t id) {
  _field_header(id, WireType::kStruct);
  begin_struct();
}

void CompactWriter::begin_field_list(std::int16_t id, WireType element, std::size_t size) {
  _field_header(id, WireType::kList);
  const auto code = static_cast<std::uint8_t>(element);
  if (size < 15) {
    _out.push_back(static_cast<char>((size << 4) | code));
  } else {
    _out.push_back(static_cast<char>(0xF0 | code));
    _varint(size);
  }
}

void CompactReader::_fail(const char *what) { throw ThriftError(what); }

std::uint8_t CompactReader::_byte() {
  if (_pos == _end)
    _fail("metadata ends in the middle of a value");
  return *_pos++;
}

std::uint64_t CompactReader::_varint() {
  std::uint64_t value = 0;
  for (int shift = 0; shift < 64; shift += 7) {
    const std::uint8_t b = _byte();
    value |= static_cast<std::uint64_t>(b & 0x7F) << shift;
    if ((b & 0x80) == 0)
      return value;
  }
  _fail("metadata holds a varint longer than 10 bytes");
}

std::int32_t CompactReader::_zigzag32() {
  const std::uint64_t u = _varint();
  if (u > std::numeric_limits<std::uint32_t>::max())
    _fail("metadata holds an i32 out of range");
  const auto v = static_cast<std::uint32_t>(u);
  return static_cast<std::int32_t>((v >> 1) ^ (~(v & 1) + 1));
}

std::int64_t CompactReader::_zigzag64() {
  const std::uint64_t u = _varint();
  return static_cast<std::int64_t>((u >> 1) ^ (~(u & 1) + 1));
}

std::string_view CompactReader::_bytes(std::size_t n) {
  if (n > remaining())
    _fail("metadata holds a length past its end");
  std::string_view view(reinterpret_cast<const char *>(_pos), n);
  _pos += n;
  return view;
}

void CompactReader::begin_struct() {
  if (++_depth > kMaxDepth)
    _fail("metadata nests structs too deeply");
}

bool CompactReader::next_field(FieldHeader &header, std::int16_t &last_id) {
  const std::uint8_t b = _byte();
  if (b == 0)
    return false;
  const std::uint8_t code = b & 0x0F;
  if (code == 0 || code > static_cast<std::uint8_t>(WireType::kUuid)) {
    _fail("metadata holds an unknown field type");
  }
  const int delta = b >> 4;
  int id = 0;
  if (delta != 0) {
    id = last_id + delta;
  } else {
    const std::int32_t long_id = _zigzag32();
    if (long_id < std::numeric_limits<std::int16_t>::min() ||
        long_id > std::numeric_limits<std::int16_t>::max()) {
      _fail("metadata holds a field id out of range");
    }
    id = long_id;
  }
  if (id > std::numeric_limits<std::int16_t>::max())
    _fail("metadata holds a field id out of range");
  header.type = static_cast<WireType>(code);
  header.id = static_cast<std::int16_t>(id);
  last_id = header.id;
  return true;
}

void CompactReader::expect(const FieldHeader &h, WireType type) const {
  if (h.type != type)
    _fail("metadata holds a field of the wrong type");
}

std::int32_t CompactReader::i32(const FieldHeader &h) {
  expect(h, WireType::kI32);
  return _zigzag32();
}

std::int64_t CompactReader::i64(const FieldHeader &h) {
  expect(h, WireType::kI64);
  return _zigzag64();
}

std::int16_t CompactReader::i16(const FieldHeader &h) {
  expect(h, WireType::kI16);
  const std::int32_t v = _zigzag32();
  if (v < std::numeric_limits<std::int16_t>::min() ||
      v > std::numeric_limits<std::int16_t>::max()) {
    _fail("metadata holds an i16 out of range");
  }
  return static_cast<std::int16_t>(v);
}

std::int8_t CompactReader::i8(const FieldHeader &h) {
  expect(h, WireType::kI8);
  return static_cast<std::int8_t>(_byte());
}

bool CompactReader::boolean(const FieldHeader &h) {
  if (h.type == WireType::kBoolTrue)
    return true;
  if (h.type == WireType::kBoolFalse)
    return false;
  _fail("metadata holds a field of the wrong type");
}

std::string_view CompactReader::binary(const FieldHeader &h) {
  expect(h, WireType::kBinary);
  return element_binary();
}

std::string_view CompactReader::element_binary() { return _bytes(_varint()); }

std::int32_t CompactReader::element_i32() { return _zigzag32(); }

WireType CompactReader::_element_type(std::uint8_t nibble) {
  if (nibble == 0 || nibble > static_cast<std::uint8_t>(WireType::kUuid)) {
    _fail("metadata holds an unknown element type");
  }
  return static_cast<WireType>(nibble);
}

ListHeader CompactReader::_list_header() {
  const std::uint8_t b = _byte();
  ListHeader header;
  header.element = _element_type(b & 0x0F);
  header.size = b >> 4;
  if (header.size == 15)
    header.size = _varint();
  // Every element takes at least one byte: a larger count cannot be real.
  if (header.size > remaining())
    _fail("metadata holds a list longer than its bytes");
  return header;
}

ListHeader CompactReader::list(const FieldHeader &h, WireType element) {
  if (h.type != WireType::kList && h.type != WireType::kSet) {
    _fail("metadata holds a field of the wrong type");
  }
  ListHeader header = _list_header();
  const bool both_bool =
      (element == WireType::kBoolTrue || element == WireType::kBoolFalse) &&
      (header.element == WireType::kBoolTrue || header.element == WireType::kBoolFalse);
  if (header.element != element && !both_bool)
    _fail("metadata holds a list of the wrong type");
  return header;
}

void CompactReader::skip(WireType type) {
  switch (type) {
  case WireType::kBoolTrue:
  case WireType::kBoolFalse:
    return;
  case WireType::kI8:
    _byte();
    return;
  case WireType::kI16:
  case WireType::kI32:
  case WireType::kI64:
    _varint();
    return;
  case WireType::kDouble:
    _bytes(8);
    return;
  case WireType::kBinary:
    _bytes(_varint());
    return;
  case WireType::kUuid:
    _bytes(16);
    return;
  case WireType::kList:
  case WireType::kSet: {
    begin_struct();
    const ListHeader header = _list_header();
    for (std::size_t i = 0; i < header.size; ++i) {
      // Bool elements are one byte each, unlike bool fields.
      if (header.element == WireType::kBoolTrue || header.element == WireType::kBoolFalse) {
        _byte();
      } else {
        skip(header.element);
      }
    }
    end_struct();
    return;
  }
  case WireType::kMap: {
    begin_struct();
    const std::uint64_t count = _varint();
    if (count > remaining())
      _fail("metadata holds a map longer than its bytes");
    if (count > 0) {
      const std::uint8_t kv = _byte();
      const WireType key = _element_type(kv >> 4);
      const WireType value = _element_type(kv & 0x0F);
      for (std::uint64_t i = 0; i < count; ++i) {
        for (WireType t : {key, value}) {
          if (t == WireType::kBoolTrue || t == WireType::kBoolFalse) {
            _byte();
          } else {
            skip(t);
          }
        }
      }
    }
    end_struct();
    return;
  }
  case WireType::kStruct: {
    begin_struct();
    FieldHeader h;
    std::int16_t last = 0;
    while (next_field(h, last))
      skip(h.type);
    end_struct();
    return;
  }
  case WireType::kStop:
    break;
  }
  _fail("metadata holds an unknown field type");
}

} // namespace parquet
