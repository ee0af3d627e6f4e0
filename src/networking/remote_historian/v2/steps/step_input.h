#pragma once

// What one step's payload gives its row, gathered before anything changes: the names, the
// observation and action elements, the sources of the row's values and the raw JSON texts.

#include <algorithm>
#include <array>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "networking/remote_historian/v2/conversions.h"
#include "networking/remote_historian/v2/pending_row.h"
#include "json/value.h"

namespace networking::remote_historian::v2::intake {

// The empty mapping, which an absent or falsy payload or sub-object stands for.
inline const json::Value &empty_object() {
  static const json::Value kEmpty{json::Object{}};
  return kEmpty;
}

// A step's observation or action elements: as the tree holds them (values still to convert,
// with the row) or as the tape does (already converted, which cannot fail).
struct StepElements {
  std::vector<const json::Value *> refs; // nullptr for an absent element (null)
  std::vector<double> values;            // StepVector::kNullBits for null
  bool converted = false;

  std::size_t size() const { return converted ? values.size() : refs.size(); }
  bool empty() const { return size() == 0; }

  // Converts the first `width` elements; the rest only count toward raw_length.
  StepVector to_vector(std::optional<std::int64_t> width, ValueArena &arena) const {
    const std::size_t n = size();
    const std::size_t kept = std::min(n, width ? static_cast<std::size_t>(*width) : std::size_t{0});
    StepVector out(kept ? arena.allocate(kept) : nullptr, kept, n);
    if (converted) {
      for (std::size_t i = 0; i < kept; ++i)
        out.set_raw(i, values[i]);
    } else {
      for (std::size_t i = 0; i < kept; ++i)
        out.set(i, refs[i] ? _coerce_float(*refs[i]) : std::nullopt);
    }
    return out;
  }
};

// A list of names that may be absent: views built for this step (the buffer is kept from step
// to step), or the raw names of the previous step when they are the same.
class Names {
public:
  explicit operator bool() const { return _present; }
  std::size_t size() const { return _cached ? _cached->size() : _list.size(); }
  bool empty() const { return size() == 0; }
  std::string_view operator[](std::size_t i) const { return _cached ? (*_cached)[i] : _list[i]; }
  bool cached() const { return _cached != nullptr; }
  // Requires: not cached().
  std::vector<std::string_view> &list() { return _list; }

  // Present and empty.
  void emplace() {
    _list.clear();
    _cached = nullptr;
    _present = true;
  }
  // Present: the texts of cache, which must outlive the step.
  void emplace_cached(const std::vector<std::string> &cache) {
    emplace();
    _cached = &cache;
  }
  void reset() {
    emplace();
    _present = false;
  }

private:
  std::vector<std::string_view> _list;
  const std::vector<std::string> *_cached = nullptr;
  bool _present = false;
};

struct StepInput {
  // Views into the payload (or the previous step's names); names that are not texts have
  // their text form kept in `forms`, which never moves a text once added.
  Names names;
  std::deque<std::string> forms;
  // The names are those of _raw_names_cache, already normalized.
  bool names_cached = false;
  StepElements obs;
  StepElements action;
  // The sources of the row's values (nullptr: absent), still to convert.
  const json::Value *episode = nullptr;
  const json::Value *step = nullptr;
  const json::Value *sim_id = nullptr;
  const json::Value *run = nullptr;
  const json::Value *timestamp = nullptr;
  const json::Value *scenario = nullptr;
  const json::Value *reward = nullptr;
  bool terminated = false;
  bool truncated = false;
  // Only when raw JSON columns are written: their texts, in the arena's room (texts_in_arena)
  // or in the two buffers, which are kept from step to step.
  std::string_view sim_json;
  std::string_view skill_json;
  bool texts_in_arena = false;
  std::string sim_buffer;
  std::string skill_buffer;
  // Its texts come from a parsed text that simdjson validated as UTF-8 (it refuses escaped
  // lone surrogates, which the tree keeps).
  bool texts_utf8 = false;
  // The Values of sources read from a tape, for the pointers above.
  std::array<json::Value, 9> owned;
  std::size_t owned_used = 0;

  // Empties it, keeping the buffers for the next step.
  void reset() {
    names.reset();
    forms.clear();
    names_cached = false;
    for (StepElements *e : {&obs, &action}) {
      e->refs.clear();
      e->values.clear();
      e->converted = false;
    }
    episode = step = sim_id = run = timestamp = scenario = reward = nullptr;
    terminated = truncated = false;
    sim_json = skill_json = {};
    texts_in_arena = false;
    texts_utf8 = false;
    owned_used = 0;
  }
};

} // namespace networking::remote_historian::v2::intake
