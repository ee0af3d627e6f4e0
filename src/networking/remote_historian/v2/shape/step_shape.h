#pragma once

// The shape of a step: how many observation and action values it has, the sensor names as the
// steps give them and as columns, and the columns of the step dataset built from them.
//
// Invariants: the widths, once set, never change (the first step that has a vector fixes its
// width); the observation names, once set, are as many as the observation width. They are
// written on the loop thread only, before the first flush is submitted (which publishes them
// to the flush worker), and only read after. The name cache and the kept key order serve the
// loop thread alone.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "networking/remote_historian/v2/durable/checkpoint.h"
#include "networking/remote_historian/v2/same_text.h"
#include "parquet/schema.h"

namespace networking::remote_historian::v2 {

// Observation column names made unique against reserved (the fixed, action and raw JSON
// columns) and each other: a clashing name gets "_" + its position, extended until free;
// every other name is kept.
std::vector<std::string> _unique_observation_columns(std::vector<std::string> names,
                                                     const std::vector<std::string> &reserved);

class StepShape {
public:
  // Observations of more names than this are wide: out of order, their members are looked up
  // through an index rather than a scan per name, and their key order is kept.
  static constexpr std::size_t kWideObservation = 16;
  static constexpr std::uint32_t kNoName = ~std::uint32_t{0};

  // Both widths are known: rows can be written.
  bool known() const { return _obs_dim && _act_dim; }
  // The first step with a vector fixes its width.
  void fix_widths(std::size_t obs, std::size_t action);
  // At the stop or the buffer bound: a width that no step made known becomes 0, with one
  // warning, so that `rows` buffered rows are written without that vector's columns instead
  // of being lost. Nothing when both are known or no rows wait.
  void _settle_unknown_widths(std::size_t rows);

  // The normalized form of a step's raw sensor names, normalized once for consecutive steps
  // with the same names (the cache).
  const std::vector<std::string> &_normalized_names(const std::vector<std::string_view> &raw);
  // The raw names of the last step that had names, and their normalized form.
  const std::vector<std::string> &cached_raw_names() const { return _raw_names_cache; }
  const std::vector<std::string> &cached_names() const { return _normalized_names_cache; }
  // The cached raw names are distinct from each other.
  bool cached_names_distinct() const { return _raw_names_distinct; }
  // A step's normalized names, with its observation's length: the first ones of the right
  // length become the column names while they may still change (may_name); later ones that
  // differ are ignored. Either mismatch warns once.
  void note_names(const std::vector<std::string> &normalized, std::size_t obs_len, bool may_name);
  // The name count differs from the observation's length: warned once.
  void warn_count_mismatch(std::size_t names, std::size_t obs_len);

  // The keys, in order, of the last wide observation whose keys came in another order than
  // the cached names, and for each the position of its name (kNoName: no name has it). A step
  // with the same keys in the same order places its members without a lookup. Cleared when the
  // names change.
  template <class Ref> bool _same_key_order(const Ref &mapping) const;
  // Requires: the step's names are the cached ones, and its keys distinct.
  template <class Ref> void _keep_key_order(const Ref &mapping);
  const std::vector<std::uint32_t> &key_slots() const { return _key_slots; }

  // The step dataset's columns: the fixed ones, the observation columns (the names, or s_0...
  // when there are none of the right count), the action columns, with raw_json the two raw
  // JSON columns, the cycle and step indices and the entry id. Requires: known().
  parquet::Schema schema(const std::vector<parquet::Field> &fixed, bool raw_json) const;
  // The sensor names as the steps gave them, for the step files' metadata; none before a step
  // named its columns (or after a restart).
  const std::optional<std::vector<std::string>> &raw_names() const { return _obs_raw_names; }

  // The checkpoint's share: widths, names and whether the mismatch was warned about.
  void save(Checkpoint &c) const;
  void restore(const Checkpoint &c);

  std::optional<std::int64_t> _obs_dim;
  std::optional<std::int64_t> _act_dim;
  std::optional<std::vector<std::string>> _obs_names;
  bool _warned_obs_name_mismatch = false;

private:
  std::optional<std::vector<std::string>> _obs_raw_names; // _obs_names before normalization
  std::vector<std::string> _raw_names_cache;
  std::vector<std::string> _normalized_names_cache;
  bool _raw_names_distinct = true;
  std::vector<std::string> _key_order;
  std::vector<std::uint32_t> _key_slots;
};

template <class Ref> bool StepShape::_same_key_order(const Ref &mapping) const {
  if (_key_order.empty())
    return false;
  std::size_t j = 0;
  for (auto &&m : mapping->as_object()) {
    if (j == _key_order.size() || !same_text(m.first, _key_order[j]))
      return false;
    ++j;
  }
  return j == _key_order.size();
}

template <class Ref> void StepShape::_keep_key_order(const Ref &mapping) {
  const std::vector<std::string> &names = _raw_names_cache;
  std::unordered_map<std::string_view, std::uint32_t> name_at;
  name_at.reserve(names.size());
  for (std::size_t i = 0; i < names.size(); ++i)
    name_at.emplace(names[i], static_cast<std::uint32_t>(i));
  _key_order.clear();
  _key_slots.clear();
  for (auto &&m : mapping->as_object()) {
    const std::string_view key = m.first;
    const auto found = name_at.find(key);
    _key_order.emplace_back(key);
    _key_slots.push_back(found == name_at.end() ? kNoName : found->second);
  }
}

} // namespace networking::remote_historian::v2
