// The step dataset: schema, part files, batch flushing, the drain and compaction.

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "networking/remote_historian/v2/event_historian_processor.h"
#include "networking/remote_historian/v2/logger.h"
#include "networking/remote_historian/v2/rows/fixed_columns.h"
#include "parquet/file_writer.h"
#include "parquet/merge.h"

namespace networking::remote_historian::v2 {

namespace fs = std::filesystem;

namespace {

// Rows per table handed to the writer: each becomes one row group of the part file, so a
// large batch is converted a slice at a time instead of all at once.
constexpr std::size_t kRowsPerWrite = 65536;

// The part number of a name "part-<digits>.parquet", if it is one.
std::optional<std::int64_t> part_number(const std::string &name) {
  constexpr std::string_view kPrefix = "part-", kSuffix = ".parquet";
  if (name.size() <= kPrefix.size() + kSuffix.size() || !name.starts_with(kPrefix) ||
      !name.ends_with(kSuffix))
    return std::nullopt;
  std::string_view digits(name.data() + kPrefix.size(),
                          name.size() - kPrefix.size() - kSuffix.size());
  std::int64_t n = 0;
  auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
  if (ec != std::errc() || end != digits.data() + digits.size() || n < 0)
    return std::nullopt;
  return n;
}

} // namespace

std::string _part_file_name(std::int64_t index) {
  char name[48];
  std::snprintf(name, sizeof name, "part-%05lld.parquet", static_cast<long long>(index));
  return name;
}

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

std::int64_t EventHistorianProcessor::_next_free_part(const std::string &dir, std::int64_t next) {
  std::error_code ec;
  for (const auto &entry : fs::directory_iterator(dir, ec)) {
    if (auto n = part_number(entry.path().filename().string()))
      next = std::max(next, *n + 1);
  }
  return next;
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
    _obs_fields = std::move(obs_names);
    _schema = std::move(schema);
  }
  fs::create_directories(*_parts_dir);
  if (!_parts_scanned) {
    // Parts left by an earlier run with the same final name are never overwritten.
    _part_index = _next_free_part(*_parts_dir, _part_index);
    _parts_scanned = true;
  }
  const std::string path = (fs::path(*_parts_dir) / _part_file_name(_part_index)).string();
  ++_part_index;
  _writer = std::make_unique<parquet::FileWriter>(path, *_schema);
  _writer_open = true;
}

void EventHistorianProcessor::_flush_rows(const RowBuffer &rows) {
  if (rows.empty())
    return;
  _ensure_writer();
  for (std::size_t begin = 0; begin < rows.size(); begin += kRowsPerWrite) {
    const std::size_t end = std::min(rows.size(), begin + kRowsPerWrite);
    parquet::Table table;
    table.columns.reserve(_schema->size());
    for (const auto &field : _schema->fields()) {
      table.columns.emplace_back(field.type);
      table.columns.back().reserve(end - begin);
    }
    for (std::size_t i = begin; i < end; ++i)
      _materialize_row(rows[i], table);
    _writer->write_table(table);
  }
  _writer->close();
  _writer.reset();
  _writer_open = false;
}

asio::awaitable<void> EventHistorianProcessor::_drain_pending() {
  if (!_obs_dim || !_act_dim)
    co_return;
  if (!_flush_lock)
    _flush_lock = std::make_unique<loop::AsyncLock>();
  auto guard = co_await _flush_lock->lock();
  if (_pending_rows.empty())
    co_return;
  // The batch belongs to the flush job from here on, even if this coroutine goes away.
  auto rows = std::make_shared<RowBuffer>(std::exchange(_pending_rows, {}));
  // Named apart from the co_await: GCC 12 loses lambda captures made inside one.
  auto flush = [this, rows] { _flush_rows(*rows); };
  try {
    co_await loop::run_blocking(std::move(flush));
  } catch (const std::exception &e) {
    logger().error("[EventHistorian] Parquet flush of %d rows failed; rows dropped: %s",
                   static_cast<int>(rows->size()), e.what());
  }
}

void EventHistorianProcessor::_compact_parts(const std::optional<std::string> &parts_dir,
                                             const std::optional<std::string> &final_path) {
  if (!parts_dir || parts_dir->empty() || !final_path || final_path->empty())
    return;
  std::error_code ec;
  if (!fs::is_directory(*parts_dir, ec))
    return;

  struct Part {
    std::optional<std::int64_t> number;
    std::string path;
  };
  std::vector<Part> parts;
  for (const auto &entry : fs::directory_iterator(*parts_dir)) {
    const std::string name = entry.path().filename().string();
    if (name.ends_with(".parquet"))
      parts.push_back({part_number(name), (fs::path(*parts_dir) / name).string()});
  }
  // Numbered parts in writing order (by number, so six-digit numbers come last); any other
  // Parquet file after them, in text order.
  std::sort(parts.begin(), parts.end(), [](const Part &a, const Part &b) {
    if (a.number.has_value() != b.number.has_value())
      return a.number.has_value();
    if (a.number && *a.number != *b.number)
      return *a.number < *b.number;
    return a.path < b.path;
  });
  if (parts.empty()) {
    fs::remove_all(*parts_dir, ec);
    return;
  }
  std::vector<std::string> paths;
  for (auto &p : parts)
    paths.push_back(std::move(p.path));
  try {
    parquet::merge_files(paths, *final_path);
    fs::remove_all(*parts_dir);
  } catch (const std::exception &e) {
    logger().error(
        "[EventHistorian] Failed to compact %d part file(s) from %s into %s; leaving parts on "
        "disk: %s",
        static_cast<int>(paths.size()), parts_dir->c_str(), final_path->c_str(), e.what());
  }
}

} // namespace networking::remote_historian::v2
