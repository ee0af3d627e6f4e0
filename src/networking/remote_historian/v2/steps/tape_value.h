#pragma once

// A value read in place from a parsed text (json/tape.h), with the part of json::Value's
// interface that the step reader uses, so that the rules of a step payload are written once,
// over either kind of value. Also what a payload is (a step, a skill start, a training result),
// which both kinds tell the same way.

#include <array>
#include <cstdint>
#include <string_view>
#include <type_traits>

#include "json/tape.h"
#include "json/value.h"

namespace networking::remote_historian::v2::intake {

enum class PayloadKind { kStep, kSkillStart, kTrainingResult };

// What a payload mapping holds, from its "type" and "training_result" values (either absent).
template <class Ref> PayloadKind payload_kind(const Ref &type, const Ref &training_result) {
  if (type && type->is_string()) {
    if (type->as_string() == "skill_training_started")
      return PayloadKind::kSkillStart;
    if (type->as_string() == "ppo_training_result")
      return PayloadKind::kTrainingResult;
  }
  if (training_result && training_result->is_object())
    return PayloadKind::kTrainingResult;
  return PayloadKind::kStep;
}

// Thrown by the tape reader for a payload it leaves to the tree. Nothing has changed yet.
struct Declined {};

// A value read in place from a parsed text, with the part of json::Value's interface that the
// step reader uses, and a pointer's: false when absent, -> and * give the value.
struct TapeMember;

class TapeValue {
public:
  TapeValue() = default;
  explicit TapeValue(json::tape::Node node) : _node(node) {}

  explicit operator bool() const { return _node.tape() != nullptr; }
  const TapeValue *operator->() const { return this; }
  const TapeValue &operator*() const { return *this; }

  // A table, not a switch: every element of a vector asks, and then switches on the answer.
  json::Kind kind() const { return kKinds[static_cast<unsigned char>(_node.kind())]; }
  bool is_null() const { return _node.is_null(); }
  bool is_string() const { return _node.is_string(); }
  bool is_array() const { return _node.is_array(); }
  bool is_object() const { return _node.is_object(); }
  std::string_view type_name() const { return json::type_name(kind()); }

  // Python truthiness, as json::Value::truthy().
  bool truthy() const {
    switch (_node.kind()) {
    case '[':
    case '{':
      return !_node.empty();
    case 'l':
    case 'u':
      return _node.number<std::uint64_t>() != 0;
    case 'd':
      return _node.number<double>() != 0.0;
    case '"':
      return !_node.text().empty();
    case 't':
      return true;
    default:
      return false;
    }
  }

  // Requires: the value is of that kind.
  bool as_bool() const { return _node.kind() == 't'; }
  std::int64_t as_int() const { return _node.number<std::int64_t>(); }
  std::uint64_t as_uint() const { return _node.number<std::uint64_t>(); }
  double as_double() const { return _node.number<double>(); }
  std::string_view as_string() const { return _node.text(); }

  // Elements of an array, members of an object (a repeated key appears each time), in order.
  template <class Item> class Items;
  Items<TapeValue> as_array() const;
  Items<TapeMember> as_object() const;

  // The Value the tree holds for it.
  json::Value to_value() const { return json::tape::to_value(_node); }
  json::tape::Node node() const { return _node; }

private:
  static constexpr std::array<json::Kind, 256> kKinds = [] {
    std::array<json::Kind, 256> kinds{}; // kNull
    kinds['l'] = json::Kind::kInt;
    kinds['u'] = json::Kind::kUint;
    kinds['d'] = json::Kind::kDouble;
    kinds['"'] = json::Kind::kString;
    kinds['t'] = kinds['f'] = json::Kind::kBool;
    kinds['['] = json::Kind::kArray;
    kinds['{'] = json::Kind::kObject;
    return kinds;
  }();

  json::tape::Node _node{nullptr, 0};
};

struct TapeMember {
  std::string_view first;
  TapeValue second;
};

template <class Item> class TapeValue::Items {
public:
  explicit Items(json::tape::Node container) : _range(container) {}
  class iterator {
  public:
    using Inner =
        std::conditional_t<std::is_same_v<Item, TapeMember>, json::tape::Member, json::tape::Node>;
    explicit iterator(typename json::tape::Range<Inner>::iterator it) : _it(it) {}
    Item operator*() const {
      if constexpr (std::is_same_v<Item, TapeMember>) {
        const json::tape::Member m = *_it;
        return TapeMember{m.key, TapeValue(m.value)};
      } else {
        return TapeValue(*_it);
      }
    }
    iterator &operator++() {
      ++_it;
      return *this;
    }
    bool operator!=(const iterator &other) const { return _it != other._it; }

  private:
    typename json::tape::Range<Inner>::iterator _it;
  };
  iterator begin() const { return iterator(_range.begin()); }
  iterator end() const { return iterator(_range.end()); }
  bool empty() const { return _range.empty(); }

private:
  json::tape::Range<typename iterator::Inner> _range;
};

inline TapeValue::Items<TapeValue> TapeValue::as_array() const { return Items<TapeValue>(_node); }
inline TapeValue::Items<TapeMember> TapeValue::as_object() const {
  return Items<TapeMember>(_node);
}

} // namespace networking::remote_historian::v2::intake
