// A dataset on disk: names, parts, the merge at the stop and the checkpoint's share.

#include "networking/remote_historian/v2/output/dataset.h"

#include <filesystem>

#include "networking/event_base/logger.h"
#include "networking/remote_historian/v2/durable/test_pause.h"
#include "networking/remote_historian/v2/logger.h"
#include "networking/remote_historian/v2/output/output_names.h"
#include "networking/remote_historian/v2/output/part_files.h"
#include "parquet/error.h"
#include "parquet/io.h"
#include "parquet/merge.h"
#include "parquet/parsed_file.h"

namespace networking::remote_historian::v2 {

namespace fs = std::filesystem;

namespace {

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

// A stop that was killed during the final merge leaves the final file beside (or instead of)
// its parts. While any part is left, the final file is merged again from them at the next stop;
// once they are gone, the final file is their merge and becomes the first part.
void take_back_final_file(const std::string &final_path, const std::string &parts_dir) {
  std::error_code ec;
  if (!fs::exists(final_path, ec))
    return;
  if (!_parts_in_merge_order(parts_dir).empty()) {
    fs::remove(final_path, ec);
    return;
  }
  fs::create_directories(parts_dir);
  const std::string first = (fs::path(parts_dir) / _part_file_name(0)).string();
  fs::rename(final_path, first);
  parquet::sync_directory_of(first);
}

// The key-value metadata of the merge of paths: the first part's, with the statistics of all
// of them combined. Statistics that cannot be read are left out, with one error line: the rows
// matter more.
std::vector<std::pair<std::string, std::string>>
final_key_values(const std::vector<std::string> &paths) {
  std::vector<std::pair<std::string, std::string>> kv =
      parquet::ParsedFile::open(parquet::InputFile::open(paths.front()))
          .metadata()
          .key_value_metadata;
  std::optional<DatasetStats> stats;
  try {
    stats = merged_stats_of(paths);
  } catch (const std::exception &e) {
    logger().error("[EventHistorian] Statistics of the parts left out of the merge: %s", e.what());
  }
  std::erase_if(kv, [](const auto &entry) { return entry.first == kStatsKey; });
  if (stats)
    kv.emplace_back(std::string(kStatsKey), stats->to_json());
  return kv;
}

} // namespace

Dataset::Dataset(std::string label, std::string key)
    : _label(std::move(label)), _key(std::move(key)) {}

void Dataset::fix_schema(parquet::Schema schema) {
  _schema = std::move(schema);
  _schema_fixed = true;
}

void Dataset::choose_names(const std::string &dir, const std::string &stem,
                           const std::string &stamp,
                           const std::function<bool(const std::string &)> &taken) {
  _output_file = _final_name(dir, stem, stamp, taken);
  _parts_dir = _parts_dir_for(*_output_file);
}

void Dataset::remove_temporaries() const {
  if (_parts_dir)
    _remove_part_temporaries(*_parts_dir);
}

parquet::FileWriter &Dataset::open_part(std::vector<std::pair<std::string, std::string>> leading) {
  if (_writer)
    return *_writer;
  parquet::WriterOptions options = _options;
  leading.insert(leading.end(), options.key_value_metadata.begin(),
                 options.key_value_metadata.end());
  options.key_value_metadata = std::move(leading);
  _writer = _open_next_part(*_parts_dir, *_schema, _part_index, _parts_scanned, options);
  _writer_open = true;
  _part_stats = {};
  if (_head && !_head_written) {
    _writer->write_table(*_head);
    _head_written = true;
    _head_in_part = true;
  }
  return *_writer;
}

void Dataset::write(const parquet::Table &table) {
  _writer->write_table(table);
  if (_with_stats)
    _part_stats.add_table(*_schema, table);
}

std::string Dataset::close_part() {
  std::string path = _writer ? _writer->path() : std::string();
  if (_writer && _with_stats)
    _writer->set_key_value(std::string(kStatsKey), _part_stats.to_json());
  _close_part(_writer);
  _writer_open = false;
  _head_in_part = false;
  return path;
}

void Dataset::discard_part() {
  _discard_part(_writer, _part_index);
  _writer_open = false;
  if (_head_in_part)
    _head_written = false;
  _head_in_part = false;
}

bool Dataset::compact() {
  const bool merged = _compact_parts(_parts_dir, _output_file, _options);
  if (_output_file)
    _log_final_file(_label.c_str(), *_output_file);
  if (!merged)
    _complete = false;
  return merged;
}

void Dataset::save(Checkpoint &c) const {
  c.insert(_key + "output_file", json::Value(_output_file.value_or("")));
  c.insert(_key + "part_index", json::Value(_part_index));
  if (_head)
    c.insert(_key + "metadata_written", json::Value(_head_written));
  if (!_schema_fixed)
    c.insert(_key + "schema", checkpoint::schema_or_null(_schema));
}

void Dataset::restore(const Checkpoint &c) {
  using namespace checkpoint;
  const std::string file = _key + "output_file";
  const std::string index = _key + "part_index";
  _output_file = text_of(member(c, file.c_str()), file.c_str());
  _parts_dir = _parts_dir_for(*_output_file);
  _part_index = int_of(member(c, index.c_str()), index.c_str());
  if (_head) {
    const std::string written = _key + "metadata_written";
    _head_written = bool_of(member(c, written.c_str()), written.c_str());
  }
  if (!_schema_fixed) {
    const std::string schema = _key + "schema";
    _schema = optional_schema(member(c, schema.c_str()), schema.c_str());
  }
  _remove_parts_from(*_parts_dir, _part_index);
  take_back_final_file(*_output_file, *_parts_dir);
  // Numbering goes on from the checkpoint's.
  _parts_scanned = true;
}

bool Dataset::_compact_parts(const std::optional<std::string> &parts_dir,
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
      merge.writer.key_value_metadata = final_key_values(paths);
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

void Dataset::_log_final_file(const char *dataset, const std::string &path) {
  if (!logger().enabled(event_base::LogLevel::kDebug))
    return;
  std::error_code ec;
  if (!fs::exists(path, ec)) {
    logger().debug("[EventHistorian] No final %s file written", dataset);
    return;
  }
  try {
    const auto file = parquet::ParsedFile::open(parquet::InputFile::open(path));
    logger().debug("[EventHistorian] Final %s file %s: %lld rows", dataset, path.c_str(),
                   static_cast<long long>(file.num_rows()));
  } catch (const std::exception &e) {
    logger().debug("[EventHistorian] Final %s file %s: unreadable: %s", dataset, path.c_str(),
                   e.what());
  }
}

} // namespace networking::remote_historian::v2
