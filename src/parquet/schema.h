#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace parquet {

// The four value kinds this module reads and writes.
enum class Type { kString, kInt64, kDouble, kBool };

std::string_view type_name(Type type); // "string", "int64", "double", "bool"

struct Field {
  std::string name;
  Type type;
  bool nullable = true;
  bool operator==(const Field &) const = default;
};

// A flat schema: named fields in a fixed order, names unique, no metadata.
class Schema {
public:
  Schema() = default;
  // Throws parquet::Error naming the repeated column when two fields share a name.
  explicit Schema(std::vector<Field> fields);

  const std::vector<Field> &fields() const { return _fields; }
  std::size_t size() const { return _fields.size(); }
  const Field &field(std::size_t i) const { return _fields[i]; }
  std::optional<std::size_t> index_of(std::string_view name) const;

  bool operator==(const Schema &other) const { return _fields == other._fields; }
  // Empty when equal; otherwise the first difference in words, for error messages.
  std::string first_difference(const Schema &other) const;

private:
  std::vector<Field> _fields;
};

} // namespace parquet
