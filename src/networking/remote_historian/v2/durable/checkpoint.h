#pragma once

// The checkpoint of a durable run: everything the processor needs to go on after a crash, and
// per stream the id of the last entry whose effects it holds. It is a small JSON file in the
// output directory, replaced atomically (temporary file, fsync, rename, fsync of the
// directory) at every flush, so that a crash leaves either the old or the new one.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "networking/remote_historian/v2/ordered_map.h"
#include "parquet/schema.h"
#include "json/value.h"

namespace networking::remote_historian::v2 {

struct Checkpoint {
  std::string consumer_name;
  // The final names chosen by the first start; a restart keeps them.
  std::string output_file;
  std::string cycle_output_file;
  // The next part numbers: a part numbered from here on was written after this checkpoint.
  std::int64_t part_index = 0;
  std::int64_t cycle_part_index = 0;

  std::optional<std::string> current_skill_name;
  OrderedMap<std::int64_t> cycle_indices;
  OrderedMap<std::int64_t> skill_total_cycles;
  OrderedMap<double> cycle_episode_rewards;
  OrderedMap<bool> cycle_episode_done;
  bool cycle_metadata_written = false;
  OrderedMap<double> last_cycle_average_reward;
  OrderedMap<json::Value> last_cycle_steps_per_sec;

  std::optional<std::int64_t> obs_dim;
  std::optional<std::int64_t> act_dim;
  std::optional<std::vector<std::string>> obs_names;
  bool warned_obs_name_mismatch = false;
  std::optional<parquet::Schema> schema;

  // Per stream, the id of the last entry whose effects are in this checkpoint, and the ids of
  // entries that failed and stay pending (they have no effects, whatever their id).
  OrderedMap<std::string> last_ids;
  OrderedMap<std::vector<std::string>> failed_ids;
};

// The checkpoint's JSON text, and back. _parse_checkpoint throws std::runtime_error naming
// what is wrong with a text it cannot take.
std::string _checkpoint_text(const Checkpoint &checkpoint);
Checkpoint _parse_checkpoint(std::string_view text);

// Replaces the file at path with checkpoint, atomically and durably. Throws on failure, leaving
// the previous file in place.
void _write_checkpoint(const std::string &path, const Checkpoint &checkpoint);
// The checkpoint at path; none when there is no file. Throws when it cannot be read or parsed.
std::optional<Checkpoint> _load_checkpoint(const std::string &path);

// Whether entry id a comes after b in a stream ("<ms>-<seq>", compared as numbers).
bool _entry_id_after(std::string_view a, std::string_view b);

} // namespace networking::remote_historian::v2
