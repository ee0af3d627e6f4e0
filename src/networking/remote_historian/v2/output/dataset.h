#pragma once

// A dataset on disk: one final Parquet file, written as numbered part files in a directory
// beside it and merged into it at the stop. The step dataset and the cycle summary are two of
// them.
//
// Invariants: a part is opened, written and closed (or discarded) by one thread at a time, the
// caller holding the processor's flush lock; part_open() may be read from any thread. Part
// numbers only grow, except that a discarded last part gives its number back; parts an earlier
// run left are never overwritten. Once named, the final name and the parts directory stay.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "networking/remote_historian/v2/durable/checkpoint.h"
#include "networking/remote_historian/v2/stats/column_stats.h"
#include "parquet/file_writer.h"
#include "parquet/schema.h"
#include "parquet/table.h"

namespace networking::remote_historian::v2 {

class Dataset {
public:
  // label: how log lines name the dataset ("step", "cycle summary"); key: the prefix of its
  // members in a checkpoint ("", "cycle_").
  Dataset(std::string label, std::string key);

  // The codec, level and key-value metadata of every part.
  void set_options(parquet::WriterOptions options) { _options = std::move(options); }
  const parquet::WriterOptions &options() const { return _options; }
  // A schema known before any row (the cycle summary's); otherwise the first part's writer
  // gives one (set_schema), and a checkpoint keeps it.
  void fix_schema(parquet::Schema schema);
  void set_schema(parquet::Schema schema) { _schema = std::move(schema); }
  // Rows written once, at the head of the first part that is kept (the cycle summary's
  // metadata row).
  void set_head(parquet::Table head) { _head = std::move(head); }
  // Each part carries the statistics of its numeric columns (kStatsKey), and the merge
  // combines them into the final file's.
  void collect_stats() { _with_stats = true; }

  // Names the final file dir/stem.parquet (or its fallback name, see _final_name) and its
  // parts directory.
  void choose_names(const std::string &dir, const std::string &stem, const std::string &stamp,
                    const std::function<bool(const std::string &)> &taken = {});
  bool named() const { return _parts_dir && !_parts_dir->empty(); }
  // Removes the temporaries of parts a killed run was still writing.
  void remove_temporaries() const;

  // Opens the next part unless one is open: its key-value metadata is `leading`, then the
  // dataset's own. Requires: named() and a schema.
  parquet::FileWriter &open_part(std::vector<std::pair<std::string, std::string>> leading = {});
  // Writes rows into the open part.
  void write(const parquet::Table &table);
  bool part_open() const { return _writer_open.load(); }
  // The head rows were written into the part open now.
  bool head_in_part() const { return _head_in_part; }
  // Publishes the open part under its name; its path.
  std::string close_part();
  // Abandons the open part after a failed write: its number is used again, and its head rows
  // go into the next part.
  void discard_part();
  // The columns of earlier writes, kept with their memory for the next (a durable run's
  // checkpoints). Used only with the flush lock held.
  parquet::Table &kept_columns() { return _kept_columns; }

  // Rows lost to failed writes, and whether the final file is missing some of its rows.
  void count_dropped(std::int64_t rows) { _rows_dropped += rows; }
  std::int64_t rows_dropped() const { return _rows_dropped.load(); }
  void mark_incomplete() { _complete = false; }
  bool complete() const { return _complete; }

  // Merges the parts into the final file (see _compact_parts) and logs it at debug level;
  // false, and the dataset incomplete, when a part was set aside or the merge failed.
  bool compact();

  // The checkpoint's share: the final name, the next part number, the head written and, unless
  // fixed, the schema.
  void save(Checkpoint &c) const;
  // Takes up the share of a checkpoint, sets aside the parts written after it and takes back
  // a final file that a stop killed during the merge left.
  void restore(const Checkpoint &c);

  // Merges the part files of parts_dir into final_path; logs a failure instead of raising.
  // Parts that do not read as Parquet are set aside as "<part>.corrupt" and the rest merged.
  // The statistics the parts carry are combined into the final file's.
  // Returns false when a part was set aside or final_path could not be written. Row groups the
  // merge rebuilds are written with `writer` (codec, level); the file keeps the parts'
  // key-value metadata.
  static bool _compact_parts(const std::optional<std::string> &parts_dir,
                             const std::optional<std::string> &final_path,
                             const parquet::WriterOptions &writer = {});
  // At the stop, once a final file is merged: its path and row count, at debug level.
  static void _log_final_file(const char *dataset, const std::string &path);

  std::optional<std::string> _output_file;
  std::optional<std::string> _parts_dir;
  std::int64_t _part_index = 0;
  std::optional<parquet::Schema> _schema;
  std::unique_ptr<parquet::FileWriter> _writer;

private:
  std::string _label;
  std::string _key;
  parquet::WriterOptions _options;
  bool _schema_fixed = false;
  std::optional<parquet::Table> _head;
  bool _with_stats = false;
  DatasetStats _part_stats;
  bool _head_written = false;
  bool _head_in_part = false;
  // Whether the parts directory has been scanned for the parts of an earlier run.
  bool _parts_scanned = false;
  // Mirrors whether _writer is open, for the loop thread while a flush may run.
  std::atomic<bool> _writer_open{false};
  parquet::Table _kept_columns;
  std::atomic<std::int64_t> _rows_dropped{0};
  bool _complete = true;
};

} // namespace networking::remote_historian::v2
