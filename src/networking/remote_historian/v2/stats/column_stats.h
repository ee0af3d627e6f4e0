#pragma once

// Summary statistics of a dataset's numeric columns: count, nulls, NaNs, min, max, mean and
// the sum of squared deviations, kept per column so that the statistics of separate tables
// (the parts of a run, the files of a dataset) combine into those of all their rows.
//
// Each table's column is summed in two passes, the second about the column's own mean, and
// tables are combined with the pairwise update of Chan, Golub and LeVeque; neither ever sums
// squares of the raw values, which loses every digit for values with a large offset.

#include <cstdint>
#include <limits>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "parquet/schema.h"
#include "parquet/table.h"

namespace networking::remote_historian::v2 {

// The key of a file's footer key-value metadata under which the statistics of its rows are
// stored, as DatasetStats::to_json writes them.
inline constexpr std::string_view kStatsKey = "event_historian.stats";

// The statistics of one column. count is the number of values that are neither null nor NaN;
// min, max, mean and m2 are over those. m2 is the sum of squared deviations from the mean, so
// the population standard deviation is sqrt(m2 / count). With count 0, min, max and mean are
// NaN and m2 is 0. Infinite values are counted: min or max may be infinite, and mean and m2
// are then whatever the arithmetic gives (infinite or NaN).
struct ColumnStats {
  std::int64_t count = 0;
  std::int64_t nulls = 0;
  std::int64_t nans = 0;
  double min = std::numeric_limits<double>::quiet_NaN();
  double max = std::numeric_limits<double>::quiet_NaN();
  double mean = std::numeric_limits<double>::quiet_NaN();
  double m2 = 0;

  // sqrt(m2 / count); NaN when count is 0.
  double stddev() const;
};

// Adds the rows of column to stats: int64 values are taken as doubles. Throws
// std::invalid_argument for a column of another type.
void add_column(ColumnStats &stats, const parquet::Column &column);

// The statistics of the rows of a and of b together. Exact when either side has count 0.
ColumnStats combine(const ColumnStats &a, const ColumnStats &b);

// The statistics of a dataset's int64 and double columns, by column name, in the order the
// columns were first seen.
class DatasetStats {
public:
  using Entry = std::pair<std::string, ColumnStats>;

  // Adds every int64 and double column of table, named and ordered by schema; string and
  // bool columns are skipped. Throws parquet::Error when the table does not fit the schema.
  void add_table(const parquet::Schema &schema, const parquet::Table &table);
  // Combines other's columns into these, name by name; a column only one side has is kept as
  // it is, other's new ones after these.
  void merge(const DatasetStats &other);

  const std::vector<Entry> &columns() const { return _columns; }
  // nullptr when there is no column of that name.
  const ColumnStats *find(std::string_view name) const;
  bool empty() const { return _columns.empty(); }

  // {"columns": {"<name>": {"count": .., "nulls": .., "nans": .., "min": .., "max": ..,
  // "mean": .., "std": .., "m2": ..}, ...}}: doubles written so that they read back exactly,
  // NaN and infinities as the bare words NaN, Infinity and -Infinity; std is sqrt(m2 / count)
  // for readers of the text, null when count is 0, and is not read back.
  std::string to_json() const;
  // Throws std::runtime_error when text is not such an object.
  static DatasetStats from_json(std::string_view text);

private:
  ColumnStats &_column(const std::string &name);
  std::vector<Entry> _columns;
};

// The statistics stored under kStatsKey in the footers of the files at parquet_paths, combined
// in the order given; a file without the key adds nothing. nullopt when no file has it.
// Throws parquet::Error when a file cannot be read, std::runtime_error when its statistics
// cannot.
std::optional<DatasetStats> merged_stats_of(const std::vector<std::string> &parquet_paths);
// The same of one file's footer metadata; file names it in the error.
std::optional<DatasetStats>
stats_in_footer(const std::string &file,
                const std::vector<std::pair<std::string, std::string>> &key_value_metadata);

// Prints stats as a table with a heading line: one line per column with its name, count,
// nulls, NaNs, min, max, mean and standard deviation ("-" where count is 0), each line
// starting with indent.
void print_stats_table(const DatasetStats &stats, std::ostream &out,
                       std::string_view indent = "  ");

} // namespace networking::remote_historian::v2
