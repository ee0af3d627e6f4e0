#pragma once

// Step rows to Parquet: the buffered rows of one write become the next part of the step
// dataset, as row groups of at most 65,536 rows that end before their values would pass
// parquet::kRowGroupBytes. Runs on the flush worker with the processor's flush lock held.
//
// Holds no state of its own: the dataset holds the parts, the shape the widths and names
// (fixed before the first write is submitted).

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "networking/remote_historian/v2/historian_metrics.h"
#include "networking/remote_historian/v2/output/dataset.h"
#include "networking/remote_historian/v2/pending_row.h"
#include "networking/remote_historian/v2/shape/step_shape.h"
#include "parquet/table.h"

namespace networking::remote_historian::v2 {

class StepRows {
public:
  // keep_columns: a durable run keeps the columns between checkpoints (Dataset::kept_columns):
  // a checkpoint every second or so would otherwise have the kernel hand out and zero the same
  // tens of megabytes each time.
  StepRows(const StepShape &shape, Dataset &dataset, HistorianMetrics &metrics,
           bool include_raw_json, bool keep_columns);

  // Opens the dataset's next part, making its schema from the shape the first time.
  void _ensure_writer();
  // Writes one batch as the next part file and returns its path ("" for no rows). A failed
  // write leaves no part, and the next batch gets its number.
  std::string _flush_rows(const RowBuffer &rows);
  // Fits a vector to target_len (truncation logs a warning naming label) and returns its
  // elements as optional doubles.
  std::vector<std::optional<double>>
  _coerce_vector(const StepVector &vector, std::size_t target_len, std::string_view label) const;
  // Appends one pending row to the columns of table, in schema order.
  void _materialize_row(const PendingRow &row, parquet::Table &table) const;

private:
  const StepShape &_shape;
  Dataset &_dataset;
  HistorianMetrics &_metrics;
  const bool _include_raw_json;
  const bool _keep_columns;
};

} // namespace networking::remote_historian::v2
