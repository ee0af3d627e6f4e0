#include "json/value.h"

#include <limits>

#include "json/error.h"

namespace json {

const Value *Object::find(std::string_view key) const {
  for (const Member &m : _members) {
    if (m.first == key)
      return &m.second;
  }
  return nullptr;
}

Value *Object::find(std::string_view key) {
  for (Member &m : _members) {
    if (m.first == key)
      return &m.second;
  }
  return nullptr;
}

void Object::insert(std::string key, Value value) {
  if (Value *existing = find(key)) {
    *existing = std::move(value);
    return;
  }
  _members.emplace_back(std::move(key), std::move(value));
}

void Object::append_unique(std::string key, Value value) {
  _members.emplace_back(std::move(key), std::move(value));
}

Value::Value(unsigned long long u) {
  if (u <= static_cast<unsigned long long>(std::numeric_limits<std::int64_t>::max())) {
    _v = static_cast<std::int64_t>(u);
  } else {
    _v = static_cast<std::uint64_t>(u);
  }
}

bool Value::truthy() const {
  switch (kind()) {
  case Kind::kNull:
    return false;
  case Kind::kBool:
    return as_bool();
  case Kind::kInt:
    return as_int() != 0;
  case Kind::kUint:
  case Kind::kBigInt:
    return true; // both lie beyond the int64 range, so never zero
  case Kind::kDouble:
    return as_double() != 0.0; // NaN is true, as in Python
  case Kind::kString:
    return !as_string().empty();
  case Kind::kArray:
    return !as_array().empty();
  case Kind::kObject:
    return !as_object().empty();
  }
  return false;
}

const Value *Value::get(std::string_view key) const {
  if (!is_object()) {
    throw TypeError("'" + std::string(type_name()) + "' object has no attribute 'get'");
  }
  return as_object().find(key);
}

std::string_view type_name(Kind kind) {
  switch (kind) {
  case Kind::kNull:
    return "NoneType";
  case Kind::kBool:
    return "bool";
  case Kind::kInt:
  case Kind::kUint:
  case Kind::kBigInt:
    return "int";
  case Kind::kDouble:
    return "float";
  case Kind::kString:
    return "str";
  case Kind::kArray:
    return "list";
  case Kind::kObject:
    return "dict";
  }
  return "NoneType";
}

} // namespace json
