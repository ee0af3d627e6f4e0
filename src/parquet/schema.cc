#include "parquet/schema.h"

#include <unordered_set>

#include "parquet/error.h"

namespace parquet {

std::string_view type_name(Type type) {
  switch (type) {
  case Type::kString:
    return "string";
  case Type::kInt64:
    return "int64";
  case Type::kDouble:
    return "double";
  case Type::kBool:
    return "bool";
  }
  return "unknown";
}

Schema::Schema(std::vector<Field> fields) : _fields(std::move(fields)) {
  std::unordered_set<std::string_view> seen;
  for (const Field &f : _fields) {
    if (!seen.insert(f.name).second) {
      throw Error("Schema has more than one column named '" + f.name + "'");
    }
  }
}

std::optional<std::size_t> Schema::index_of(std::string_view name) const {
  for (std::size_t i = 0; i < _fields.size(); ++i) {
    if (_fields[i].name == name)
      return i;
  }
  return std::nullopt;
}

std::string Schema::first_difference(const Schema &other) const {
  const std::size_t common = std::min(size(), other.size());
  for (std::size_t i = 0; i < common; ++i) {
    const Field &a = _fields[i];
    const Field &b = other._fields[i];
    const std::string where = "column " + std::to_string(i + 1);
    if (a.name != b.name) {
      return where + " is named '" + a.name + "' here and '" + b.name + "' there";
    }
    if (a.type != b.type) {
      return where + " '" + a.name + "' is " + std::string(type_name(a.type)) + " here and " +
             std::string(type_name(b.type)) + " there";
    }
    if (a.nullable != b.nullable) {
      return where + " '" + a.name + "' is " + (a.nullable ? "nullable" : "not nullable") +
             " here and " + (b.nullable ? "nullable" : "not nullable") + " there";
    }
  }
  if (size() != other.size()) {
    return std::to_string(size()) + " columns here and " + std::to_string(other.size()) + " there";
  }
  return {};
}

} // namespace parquet
