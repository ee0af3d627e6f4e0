// Step rows to Parquet: row groups sized by rows and bytes, and each row's values in schema
// order, on the flush worker.

#include "networking/remote_historian/v2/rows/step_rows.h"

#include <malloc.h>

#include <algorithm>
#include <string>
#include <vector>

#include "networking/remote_historian/v2/durable/test_pause.h"
#include "networking/remote_historian/v2/logger.h"
#include "networking/remote_historian/v2/rows/fixed_columns.h"
#include "parquet/options.h"
#include "json/write.h"

namespace networking::remote_historian::v2 {

namespace {

// Rows per table handed to the writer: each becomes one row group of the part file, so a
// large batch is converted a slice at a time instead of all at once. A slice also ends before
// its values would pass parquet::kRowGroupBytes, so wide rows make shorter row groups and a
// flush holds at most that much beside the buffer.
constexpr std::size_t kRowsPerWrite = 65536;

// The bytes a row takes in a table (and decoded again in the merge): flag and value of each
// number (the step number, timestamp, reward and two indices among them), flag and value of each
// bool, flag, string and payload of each text (the entry id's taken at its usual length).
std::size_t table_bytes(const PendingRow &row, std::size_t numbers, bool raw_json) {
  constexpr std::size_t kText = 1 + sizeof(std::string);
  constexpr std::size_t kBools = 4; // two flags, each with its value
  constexpr std::size_t kEntryId = kText + 16;
  const auto text = [](const std::optional<std::string> &t) { return kText + (t ? t->size() : 0); };
  std::size_t bytes = (numbers + 5) * (1 + sizeof(double)) + kBools + text(row.run_id) +
                      text(row.sim_id) + text(row.episode_id) + text(row.skill_name) +
                      text(row.scenario) + kEntryId;
  if (raw_json)
    bytes +=
        2 * kText + row._sim_data.value_or("{}").size() + row._skill_data.value_or("{}").size();
  return bytes;
}

// Fits vector to target_len and hands each position's value (or null) to sink, in order.
// A vector longer than the schema is truncated with one warning.
template <typename Sink>
void fit_vector(const StepVector &vector, std::size_t target_len, std::string_view label,
                Sink &&sink) {
  if (vector.raw_length() > target_len) {
    logger().warning("[EventHistorian] %s vector length %d exceeds schema %d; truncating",
                     std::string(label).c_str(), static_cast<int>(vector.raw_length()),
                     static_cast<int>(target_len));
  }
  for (std::size_t i = 0; i < target_len; ++i) {
    if (i < vector.kept() && !vector.is_null(i)) {
      sink(i, std::optional<double>(vector.value(i)));
    } else {
      sink(i, std::optional<double>());
    }
  }
}

} // namespace

StepRows::StepRows(const StepShape &shape, Dataset &dataset, HistorianMetrics &metrics,
                   bool include_raw_json, bool keep_columns)
    : _shape(shape), _dataset(dataset), _metrics(metrics), _include_raw_json(include_raw_json),
      _keep_columns(keep_columns) {}

void StepRows::_ensure_writer() {
  if (_dataset._writer)
    return;
  if (!_shape.known() || !_dataset.named())
    throw std::runtime_error("Historian schema not initialized");
  if (!_dataset._schema)
    _dataset.set_schema(_shape.schema(_fixed_fields(), _include_raw_json));
  std::vector<std::pair<std::string, std::string>> leading;
  if (const auto &raw = _shape.raw_names()) {
    json::Array names(raw->begin(), raw->end());
    leading.emplace_back("event_historian.sensor_names",
                         json::dumps(json::Value(std::move(names))));
  }
  _dataset.open_part(std::move(leading));
}

std::string StepRows::_flush_rows(const RowBuffer &rows) {
  if (rows.empty())
    return {};
  _ensure_writer();
  std::string path = _dataset._writer->path();
  const std::size_t numbers = static_cast<std::size_t>(*_shape._obs_dim + *_shape._act_dim);
  const auto target = static_cast<std::size_t>(parquet::kRowGroupBytes);
  try {
    for (std::size_t begin = 0, end = 0; begin < rows.size(); begin = end) {
      std::size_t bytes = table_bytes(rows[begin], numbers, _include_raw_json);
      // The rows that a write of rows like the first would hold.
      const std::size_t fit = std::clamp<std::size_t>(target / bytes, 1, kRowsPerWrite);
      for (end = begin + 1; end < rows.size() && end - begin < kRowsPerWrite; ++end) {
        const std::size_t next = table_bytes(rows[end], numbers, _include_raw_json);
        if (bytes + next > target)
          break;
        bytes += next;
      }
      parquet::Table fresh;
      parquet::Table &table = _keep_columns ? _dataset.kept_columns() : fresh;
      const auto &fields = _dataset._schema->fields();
      const bool same = std::equal(
          table.columns.begin(), table.columns.end(), fields.begin(), fields.end(),
          [](const parquet::Column &c, const parquet::Field &f) { return c.type == f.type; });
      if (!same) {
        table.columns.clear();
        for (const auto &field : fields)
          table.columns.emplace_back(field.type);
      }
      // Kept columns get room for a whole write at once: a checkpoint a little larger than
      // the last would otherwise move every column to fresh memory. Room not written to costs
      // address space only.
      const std::size_t room = _keep_columns ? std::max(fit, end - begin) : end - begin;
      for (parquet::Column &column : table.columns) {
        column.clear();
        column.reserve(room);
      }
      for (std::size_t i = begin; i < end; ++i)
        _materialize_row(rows[i], table);
      _dataset.write(table);
    }
    _test_pause("flush");
    _dataset.close_part();
    // The columns went back to this thread's malloc arena, which keeps them: a wide flush would
    // leave hundreds of megabytes resident until the next one. Kept columns have nothing to
    // give back.
    if (!_keep_columns)
      malloc_trim(0);
  } catch (...) {
    // The batch is dropped whole: its part goes, and the next batch gets its number.
    _dataset.discard_part();
    throw;
  }
  _metrics.rows_written.add(rows.size());
  _metrics.part_files_written.add();
  return path;
}

std::vector<std::optional<double>> StepRows::_coerce_vector(const StepVector &vector,
                                                            std::size_t target_len,
                                                            std::string_view label) const {
  std::vector<std::optional<double>> out(target_len);
  fit_vector(vector, target_len, label,
             [&](std::size_t i, std::optional<double> v) { out[i] = v; });
  return out;
}

void StepRows::_materialize_row(const PendingRow &row, parquet::Table &table) const {
  auto &c = table.columns;
  _append_fixed_values(row, c);

  // The observation columns follow the fixed ones, then the action and the raw JSON columns.
  const std::size_t obs_len = _shape._obs_dim.value_or(0);
  const std::size_t act_len = _shape._act_dim.value_or(0);
  const std::size_t obs_at = kFixedColumnCount;
  const std::size_t act_at = obs_at + obs_len;
  fit_vector(row._obs_vec, obs_len, "obs",
             [&](std::size_t i, std::optional<double> v) { _append_or_null(c[obs_at + i], v); });
  fit_vector(row._action_vec, act_len, "action",
             [&](std::size_t i, std::optional<double> v) { _append_or_null(c[act_at + i], v); });
  const std::size_t json_at = act_at + act_len;
  if (_include_raw_json) {
    c[json_at].append(std::string(row._sim_data.value_or("{}")));
    c[json_at + 1].append(std::string(row._skill_data.value_or("{}")));
  }
  // The indices, then the entry id, close every row, except in the files of a run begun by a
  // release without them (its schema, taken up from its checkpoint, ends before them).
  const std::size_t index_at = json_at + (_include_raw_json ? 2 : 0);
  if (c.size() >= index_at + 2) {
    c[index_at].append(row.cycle_index);
    if (row.step_index == PendingRow::kNoStepIndex) {
      c[index_at + 1].append_null();
    } else {
      c[index_at + 1].append(static_cast<std::int64_t>(row.step_index));
    }
  }
  if (c.size() >= index_at + 3) {
    if (row.entry_id) {
      c[index_at + 2].append(row.entry_id.text());
    } else {
      c[index_at + 2].append_null();
    }
  }
}

} // namespace networking::remote_historian::v2
