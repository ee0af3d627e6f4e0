#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <variant>
#include <vector>

namespace json {

class Value;

// A JSON array.
using Array = std::vector<Value>;

// An integer beyond the 64-bit ranges, kept as the exact decimal digits the producer wrote
// (an optional '-' followed by digits, no leading zeros).
struct BigInt {
  std::string digits;
  bool operator==(const BigInt &) const = default;
};

// A JSON object: members in insertion order. A repeated key keeps the first key's place
// and the last value (the parser guarantees it; insert() keeps it too).
class Object {
public:
  using Member = std::pair<std::string, Value>;

  Object() = default;
  // Takes the members as they are. Requires: their keys are distinct.
  explicit Object(std::vector<Member> members);

  // Looks a key up; nullptr when absent. Linear, which beats hashing for payload-sized objects.
  const Value *find(std::string_view key) const;
  Value *find(std::string_view key);
  bool contains(std::string_view key) const { return find(key) != nullptr; }

  // Sets key to value: replaces the value in place when the key exists, else appends.
  void insert(std::string key, Value value);
  // Appends without looking for an existing key. Requires: key is not present.
  void append_unique(std::string key, Value value);
  // Appends key with a value constructed in place from args (no Value is moved).
  // Requires: key is not present.
  template <class... Args> Value &emplace_unique(std::string_view key, Args &&...args);

  std::size_t size() const;
  bool empty() const;
  void reserve(std::size_t n);

  const Member &operator[](std::size_t i) const;
  std::vector<Member>::const_iterator begin() const;
  std::vector<Member>::const_iterator end() const;
  std::vector<Member>::iterator begin();
  std::vector<Member>::iterator end();

  bool operator==(const Object &other) const;

private:
  std::vector<Member> _members;
};

enum class Kind { kNull, kBool, kInt, kUint, kBigInt, kDouble, kString, kArray, kObject };

// Name of a kind as Python's type() would print it: "NoneType", "bool", "int", "float", "str",
// "list", "dict".
std::string_view type_name(Kind kind);

// A decoded JSON value. kInt holds every integer that fits int64; kUint only those above
// INT64_MAX that fit uint64; kBigInt every larger one.
class Value {
public:
  Value() = default;
  Value(std::nullptr_t) {}
  Value(bool b) : _v(b) {}
  Value(int i) : _v(static_cast<std::int64_t>(i)) {}
  Value(long i) : _v(static_cast<std::int64_t>(i)) {}
  Value(long long i) : _v(static_cast<std::int64_t>(i)) {}
  Value(unsigned long long u);
  Value(unsigned long u) : Value(static_cast<unsigned long long>(u)) {}
  Value(unsigned u) : _v(static_cast<std::int64_t>(u)) {}
  Value(double d) : _v(d) {}
  Value(BigInt b) : _v(std::move(b)) {}
  Value(std::string s) : _v(std::move(s)) {}
  Value(std::string_view s) : _v(std::string(s)) {}
  Value(const char *s) : _v(std::string(s)) {}
  Value(Array a) : _v(std::move(a)) {}
  Value(Object o) : _v(std::move(o)) {}

  Kind kind() const { return static_cast<Kind>(_v.index()); }
  bool is_null() const { return kind() == Kind::kNull; }
  bool is_bool() const { return kind() == Kind::kBool; }
  // Any of the three integer kinds.
  bool is_integer() const {
    return kind() == Kind::kInt || kind() == Kind::kUint || kind() == Kind::kBigInt;
  }
  bool is_double() const { return kind() == Kind::kDouble; }
  bool is_number() const { return is_integer() || is_double(); }
  bool is_string() const { return kind() == Kind::kString; }
  bool is_array() const { return kind() == Kind::kArray; }
  bool is_object() const { return kind() == Kind::kObject; }

  // Accessors. Requires: the value is of that kind.
  bool as_bool() const { return std::get<bool>(_v); }
  std::int64_t as_int() const { return std::get<std::int64_t>(_v); }
  std::uint64_t as_uint() const { return std::get<std::uint64_t>(_v); }
  const BigInt &as_bigint() const { return std::get<BigInt>(_v); }
  double as_double() const { return std::get<double>(_v); }
  const std::string &as_string() const { return std::get<std::string>(_v); }
  std::string &as_string() { return std::get<std::string>(_v); }
  const Array &as_array() const { return std::get<Array>(_v); }
  Array &as_array() { return std::get<Array>(_v); }
  const Object &as_object() const { return std::get<Object>(_v); }
  Object &as_object() { return std::get<Object>(_v); }

  // Python truthiness: null, false, 0, 0.0, "", [] and {} are false; everything else true.
  bool truthy() const;

  // Key lookup in an object; nullptr when absent. Throws TypeError when this is not an object
  // (a lookup in a text or an array fails, as it would in the producer's language).
  const Value *get(std::string_view key) const;

  // type_name(kind()).
  std::string_view type_name() const { return json::type_name(kind()); }

  bool operator==(const Value &other) const = default;

private:
  std::variant<std::monostate, bool, std::int64_t, std::uint64_t, BigInt, double, std::string,
               Array, Object>
      _v;
};

// Object members that need Value complete.
inline Object::Object(std::vector<Member> members) : _members(std::move(members)) {}
inline std::size_t Object::size() const { return _members.size(); }
inline bool Object::empty() const { return _members.empty(); }
inline void Object::reserve(std::size_t n) { _members.reserve(n); }
inline const Object::Member &Object::operator[](std::size_t i) const { return _members[i]; }
inline std::vector<Object::Member>::const_iterator Object::begin() const {
  return _members.begin();
}
inline std::vector<Object::Member>::const_iterator Object::end() const { return _members.end(); }
inline std::vector<Object::Member>::iterator Object::begin() { return _members.begin(); }
inline std::vector<Object::Member>::iterator Object::end() { return _members.end(); }
inline bool Object::operator==(const Object &other) const { return _members == other._members; }
template <class... Args> Value &Object::emplace_unique(std::string_view key, Args &&...args) {
  return _members
      .emplace_back(std::piecewise_construct, std::forward_as_tuple(key),
                    std::forward_as_tuple(std::forward<Args>(args)...))
      .second;
}

} // namespace json
