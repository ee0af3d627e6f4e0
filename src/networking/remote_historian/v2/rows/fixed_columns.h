#pragma once

// The fixed columns of the step dataset, in file order: each column's name, its type and the
// member of a pending row that holds its value. The schema (output/) and the materialization
// of rows (rows/) both walk this one table. The observation, action and raw JSON columns come
// after these; how many there are depends on the run.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "networking/remote_historian/v2/pending_row.h"
#include "parquet/schema.h"
#include "parquet/table.h"

namespace networking::remote_historian::v2 {

// One fixed column. Every fixed column is declared nullable in the file, reward and the two
// flags too, although a row always has a value for those.
template <typename T> struct FixedColumn {
  std::string_view name;
  parquet::Type type;
  T PendingRow::*member;
  bool nullable = true;
};
template <typename T>
FixedColumn(std::string_view, parquet::Type, T PendingRow::*) -> FixedColumn<T>;

inline constexpr std::tuple kFixedColumns{
    FixedColumn{"run_id", parquet::Type::kString, &PendingRow::run_id},
    FixedColumn{"sim_id", parquet::Type::kString, &PendingRow::sim_id},
    FixedColumn{"episode_id", parquet::Type::kString, &PendingRow::episode_id},
    FixedColumn{"step_number", parquet::Type::kInt64, &PendingRow::step_number},
    FixedColumn{"timestamp", parquet::Type::kDouble, &PendingRow::timestamp},
    FixedColumn{"skill_name", parquet::Type::kString, &PendingRow::skill_name},
    FixedColumn{"scenario", parquet::Type::kString, &PendingRow::scenario},
    FixedColumn{"reward", parquet::Type::kDouble, &PendingRow::reward},
    FixedColumn{"terminated", parquet::Type::kBool, &PendingRow::terminated},
    FixedColumn{"truncated", parquet::Type::kBool, &PendingRow::truncated},
};

inline constexpr std::size_t kFixedColumnCount = std::tuple_size_v<decltype(kFixedColumns)>;

// The fixed columns as schema fields, in file order.
std::vector<parquet::Field> _fixed_fields();

// Appends the fixed values of row to columns[0] .. columns[kFixedColumnCount - 1], which have
// the types of _fixed_fields().
void _append_fixed_values(const PendingRow &row, std::vector<parquet::Column> &columns);

// Appends value to column, or a null when there is none.
template <typename T> void _append_or_null(parquet::Column &column, const std::optional<T> &value) {
  if (value) {
    column.append(*value);
  } else {
    column.append_null();
  }
}

} // namespace networking::remote_historian::v2
