// The step dataset: schema, part files, batch flushing, the drain and compaction.

#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "networking/remote_historian/v2/durable/test_pause.h"
#include "networking/remote_historian/v2/event_historian_processor.h"
#include "networking/remote_historian/v2/logger.h"
#include "networking/remote_historian/v2/output/part_files.h"
#include "networking/remote_historian/v2/rows/fixed_columns.h"
#include "parquet/error.h"
#include "parquet/file_writer.h"
#include "parquet/io.h"
#include "parquet/merge.h"
#include "parquet/parsed_file.h"
#include "json/write.h"

namespace networking::remote_historian::v2 {

namespace fs = std::filesystem;

namespace {

// Rows per table handed to the writer: each becomes one row group of the part file, so a
// large batch is converted a slice at a time instead of all at once. A slice also ends before
// its values would pass parquet::kRowGroupBytes, so wide rows make shorter row groups and a
// flush holds at most that much beside the buffer.
constexpr std::size_t kRowsPerWrite = 65536;

// The bytes a row takes in a table (and decoded again in the merge): flag and value of each
// number, flag and value of each bool, flag, string and payload of each text.
std::size_t table_bytes(const PendingRow &row, std::size_t numbers, bool raw_json) {
  constexpr std::size_t kText = 1 + sizeof(std::string);
  constexpr std::size_t kBools = 4; // two flags, each with its value
  const auto text = [](const std::optional<std::string> &t) { return kText + (t ? t->size() : 0); };
  std::size_t bytes = (numbers + 3) * (1 + sizeof(double)) + kBools + text(row.run_id) +
                      text(row.sim_id) + text(row.episode_id) + text(row.skill_name) +
                      text(row.scenario);
  if (raw_json)
    bytes +=
        2 * kText + row._sim_data.value_or("{}").size() + row._skill_data.value_or("{}").size();
  return bytes;
}

// Whether the part at path reads as Parquet: its footer, and with every_page each chunk
// decoded, one at a time. An unreadable part is renamed to path + ".corrupt", out of the way
// of compaction and of readers of "*.parquet", with one error line.
bool readable_part(const std::string &path, bool every_page) {
  try {
    const parquet::ParsedFile file = parquet::ParsedFile::open(parquet::InputFile::open(path));
    if (every_page) {
      parquet::DecodeBuffers buffers;
      for (std::size_t g = 0; g < file.num_row_groups(); ++g) {
        for (std::size_t c = 0; c < file.schema().size(); ++c) {
          parquet::Column column(file.schema().field(c).type);
          file.decode_chunk(g, c, column, buffers);
        }
      }
    }
    return true;
  } catch (const parquet::Error &e) {
    const std::string aside = path + ".corrupt";
    std::error_code ec;
    fs::rename(path, aside, ec);
    logger().error("[EventHistorian] Part file %s is not readable Parquet; moved aside to %s: %s",
                   path.c_str(), aside.c_str(), e.what());
    return false;
  }
}

} // namespace

std::vector<std::string> _unique_observation_columns(std::vector<std::string> names,
                                                     const std::vector<std::string> &reserved) {
  std::unordered_set<std::string> taken(reserved.begin(), reserved.end());
  std::vector<bool> clash(names.size(), false);
  std::unordered_set<std::string> seen;
  for (std::size_t i = 0; i < names.size(); ++i) {
    clash[i] = taken.count(names[i]) != 0 || !seen.insert(names[i]).second;
  }
  for (std::size_t i = 0; i < names.size(); ++i)
    if (!clash[i])
      taken.insert(names[i]);
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (!clash[i])
      continue;
    std::string candidate = names[i] + "_" + std::to_string(i);
    for (int n = 2; taken.count(candidate); ++n)
      candidate = names[i] + "_" + std::to_string(i) + "_" + std::to_string(n);
    taken.insert(candidate);
    names[i] = std::move(candidate);
  }
  return names;
}

parquet::WriterOptions EventHistorianProcessor::_file_options(bool with_sensor_names) const {
  parquet::WriterOptions options = writer_options;
  auto &kv = options.key_value_metadata;
  if (with_sensor_names && _obs_raw_names) {
    json::Array names;
    for (const std::string &name : *_obs_raw_names)
      names.emplace_back(name);
    kv.emplace_back("event_historian.sensor_names", json::dumps(json::Value(std::move(names))));
  }
  if (run_id)
    kv.emplace_back("event_historian.run_id", *run_id);
  if (skill_name)
    kv.emplace_back("event_historian.skill_name", *skill_name);
  kv.emplace_back("event_historian.version", HISTORIAN_VERSION);
  return options;
}

void EventHistorianProcessor::_ensure_writer() {
  if (_writer)
    return;
  if (!_obs_dim || !_act_dim || !_parts_dir || _parts_dir->empty())
    throw std::runtime_error("Historian schema not initialized");
  if (!_schema) {
    std::vector<parquet::Field> fields = _fixed_fields();
    std::vector<std::string> obs_names;
    if (_obs_names && !_obs_names->empty() &&
        static_cast<std::int64_t>(_obs_names->size()) == *_obs_dim) {
      obs_names = *_obs_names;
    } else {
      for (std::int64_t i = 0; i < *_obs_dim; ++i)
        obs_names.push_back("s_" + std::to_string(i));
    }
    std::vector<std::string> other;
    other.reserve(fields.size() + static_cast<std::size_t>(*_act_dim) + 2);
    for (const auto &field : fields)
      other.push_back(field.name);
    for (std::int64_t i = 0; i < *_act_dim; ++i)
      other.push_back("a_" + std::to_string(i));
    if (include_raw_json) {
      other.push_back("sim_data_json");
      other.push_back("skill_data_json");
    }
    obs_names = _unique_observation_columns(std::move(obs_names), other);
    for (const auto &name : obs_names)
      fields.push_back({name, parquet::Type::kDouble});
    for (std::int64_t i = 0; i < *_act_dim; ++i)
      fields.push_back({"a_" + std::to_string(i), parquet::Type::kDouble});
    if (include_raw_json) {
      fields.push_back({"sim_data_json", parquet::Type::kString});
      fields.push_back({"skill_data_json", parquet::Type::kString});
    }
    parquet::Schema schema(std::move(fields));
    _schema = std::move(schema);
  }
  _writer =
      _open_next_part(*_parts_dir, *_schema, _part_index, _parts_scanned, _file_options(true));
  _writer_open = true;
}

std::string EventHistorianProcessor::_flush_rows(const RowBuffer &rows) {
  if (rows.empty())
    return {};
  _ensure_writer();
  std::string path = _writer->path();
  const std::size_t numbers = static_cast<std::size_t>(*_obs_dim + *_act_dim);
  const auto target = static_cast<std::size_t>(parquet::kRowGroupBytes);
  try {
    for (std::size_t begin = 0, end = 0; begin < rows.size(); begin = end) {
      std::size_t bytes = table_bytes(rows[begin], numbers, include_raw_json);
      // The rows that a write of rows like the first would hold.
      const std::size_t fit = std::clamp<std::size_t>(target / bytes, 1, kRowsPerWrite);
      for (end = begin + 1; end < rows.size() && end - begin < kRowsPerWrite; ++end) {
        const std::size_t next = table_bytes(rows[end], numbers, include_raw_json);
        if (bytes + next > target)
          break;
        bytes += next;
      }
      parquet::Table fresh;
      parquet::Table &table = _durable ? _checkpoint_columns : fresh;
      const auto &fields = _schema->fields();
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
      const std::size_t room = _durable ? std::max(fit, end - begin) : end - begin;
      for (parquet::Column &column : table.columns) {
        column.clear();
        column.reserve(room);
      }
      for (std::size_t i = begin; i < end; ++i)
        _materialize_row(rows[i], table);
      _writer->write_table(table);
    }
    _test_pause("flush");
    _close_part(_writer);
    // The columns went back to this thread's malloc arena, which keeps them: a wide flush would
    // leave hundreds of megabytes resident until the next one. A durable run keeps its columns
    // and has nothing to give back.
    if (!_durable)
      malloc_trim(0);
  } catch (...) {
    // The batch is dropped whole: its part goes, and the next batch gets its number.
    _discard_part(_writer, _part_index);
    _writer_open = false;
    throw;
  }
  _writer_open = false;
  metrics->rows_written.add(rows.size());
  metrics->part_files_written.add();
  return path;
}

asio::awaitable<EventHistorianProcessor::WrittenPart> EventHistorianProcessor::_drain_pending() {
  if (!_obs_dim || !_act_dim)
    co_return WrittenPart{};
  if (!_flush_lock)
    _flush_lock = std::make_unique<loop::AsyncLock>();
  auto guard = co_await _flush_lock->lock();
  if (_pending_rows.empty())
    co_return WrittenPart{};
  // The batch belongs to the flush job from here on, even if this coroutine goes away.
  auto rows = std::make_shared<RowBuffer>(std::exchange(_pending_rows, {}));
  // A durable run keeps the rows of a failed flush and tries again, spaced, while reading
  // waits: their entries are not acknowledged, so nothing is lost even if it never succeeds.
  auto delay = std::chrono::milliseconds(500);
  _count_buffered();
  for (;;) {
    std::string error;
    // Named apart from the co_await: GCC 12 loses lambda captures made inside one.
    auto flush = [this, rows] { return _flush_rows(*rows); };
    const auto started = std::chrono::steady_clock::now();
    try {
      // Assigned apart from the co_await: GCC 12 mishandles one inside a braced initializer.
      WrittenPart written;
      written.path = co_await loop::run_blocking(std::move(flush));
      written.rows = rows->size();
      metrics->flush_seconds.observe(
          std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
      _checkpoint_due = true;
      co_return written;
    } catch (const std::exception &e) {
      error = e.what();
    }
    if (!_durable) {
      _rows_dropped += static_cast<std::int64_t>(rows->size());
      metrics->rows_dropped.add(rows->size());
      logger().error("[EventHistorian] Parquet flush of %d rows failed; rows dropped: %s",
                     static_cast<int>(rows->size()), error.c_str());
      co_return WrittenPart{};
    }
    if (!_is_running) {
      logger().error("[EventHistorian] Parquet flush of %d rows failed; rows kept pending: %s",
                     static_cast<int>(rows->size()), error.c_str());
      _pending_rows = std::move(*rows);
      _count_buffered();
      co_return WrittenPart{};
    }
    logger().error("[EventHistorian] Parquet flush of %d rows failed; retrying in %.1f s: %s",
                   static_cast<int>(rows->size()), static_cast<double>(delay.count()) / 1000,
                   error.c_str());
    // Woken early by a stop, which then makes one last attempt.
    const auto until = std::chrono::steady_clock::now() + delay;
    while (_is_running && std::chrono::steady_clock::now() < until)
      co_await loop::sleep_for(std::chrono::milliseconds(100));
    delay = std::min<std::chrono::milliseconds>(delay * 2, std::chrono::seconds(30));
  }
}

bool EventHistorianProcessor::_compact_parts(const std::optional<std::string> &parts_dir,
                                             const std::optional<std::string> &final_path,
                                             const parquet::WriterOptions &writer) {
  if (!parts_dir || parts_dir->empty() || !final_path || final_path->empty())
    return true;
  std::error_code ec;
  if (!fs::is_directory(*parts_dir, ec))
    return true;

  std::vector<std::string> paths = _parts_in_merge_order(*parts_dir);
  if (paths.empty()) {
    fs::remove_all(*parts_dir, ec);
    return true;
  }
  // A part whose footer cannot be read is set aside before the merge; one whose pages turn
  // out damaged during it is looked for afterwards, and the merge is run once more without it.
  bool set_aside = false;
  std::erase_if(paths, [&](const std::string &path) {
    const bool bad = !readable_part(path, false);
    set_aside = set_aside || bad;
    return bad;
  });
  for (int attempt = 0; !paths.empty(); ++attempt) {
    try {
      parquet::MergeOptions merge;
      merge.writer = writer;
      merge.writer.key_value_metadata.clear(); // the parts' own are kept
      parquet::merge_files(paths, *final_path, merge);
      _test_pause("compaction");
      if (set_aside) {
        // The parts set aside stay for inspection; only the merged ones go.
        for (const auto &path : paths)
          fs::remove(path);
      } else {
        fs::remove_all(*parts_dir);
      }
      return !set_aside;
    } catch (const std::exception &e) {
      const std::size_t before = paths.size();
      if (attempt == 0)
        std::erase_if(paths, [](const std::string &path) { return !readable_part(path, true); });
      if (paths.size() == before || paths.empty()) {
        logger().error(
            "[EventHistorian] Failed to compact %d part file(s) from %s into %s; leaving parts "
            "on disk: %s",
            static_cast<int>(before), parts_dir->c_str(), final_path->c_str(), e.what());
        return false;
      }
      set_aside = true;
    }
  }
  return false;
}

} // namespace networking::remote_historian::v2
