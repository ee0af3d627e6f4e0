#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

namespace networking::remote_historian::v2 {

// An observation or action vector of one step, its elements already converted to doubles.
// Only the elements that fit the schema width are kept; raw_length remembers how many the
// step carried, so the flush can report a truncation. A null element is stored as a NaN with
// a payload that no parsed number can produce.
class StepVector {
 public:
  static constexpr std::uint64_t kNullBits = 0x7ff4'dead'0000'0001ULL;

  StepVector() = default;
  StepVector(std::size_t kept, std::size_t raw_length)
      : _values(kept ? std::make_unique<double[]>(kept) : nullptr),
        _kept(static_cast<std::uint32_t>(kept)),
        _raw_length(static_cast<std::uint32_t>(raw_length)) {}

  std::size_t kept() const { return _kept; }
  std::size_t raw_length() const { return _raw_length; }

  void set(std::size_t i, std::optional<double> v) {
    _values[i] = v ? *v : std::bit_cast<double>(kNullBits);
  }
  // Stores v as it is, kNullBits included.
  void set_raw(std::size_t i, double v) { _values[i] = v; }
  bool is_null(std::size_t i) const { return std::bit_cast<std::uint64_t>(_values[i]) == kNullBits; }
  double value(std::size_t i) const { return _values[i]; }

 private:
  std::unique_ptr<double[]> _values;
  std::uint32_t _kept = 0;
  std::uint32_t _raw_length = 0;
};

// One buffered step: the ten column values and the four transport entries.
struct PendingRow {
  std::optional<std::string> run_id;
  std::optional<std::string> sim_id;
  std::optional<std::string> episode_id;
  std::optional<std::int64_t> step_number;
  std::optional<double> timestamp;
  std::optional<std::string> skill_name;
  std::optional<std::string> scenario;
  double reward = 0.0;
  bool terminated = false;
  bool truncated = false;
  StepVector _obs_vec;
  StepVector _action_vec;
  // The raw sim and skill mappings, kept as their JSON text (only when raw JSON columns are
  // written; the parsed tree is not kept alive).
  std::optional<std::string> _sim_data;
  std::optional<std::string> _skill_data;
};

}  // namespace networking::remote_historian::v2
