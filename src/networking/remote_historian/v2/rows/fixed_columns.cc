#include "networking/remote_historian/v2/rows/fixed_columns.h"

#include <cstdint>
#include <string>

namespace networking::remote_historian::v2 {

namespace {

// The column type that holds a row member of type T, optional or not.
template <typename T> struct ColumnTypeOf;
template <typename T> struct ColumnTypeOf<std::optional<T>> : ColumnTypeOf<T> {};
template <> struct ColumnTypeOf<std::string> {
  static constexpr parquet::Type value = parquet::Type::kString;
};
template <> struct ColumnTypeOf<std::int64_t> {
  static constexpr parquet::Type value = parquet::Type::kInt64;
};
template <> struct ColumnTypeOf<double> {
  static constexpr parquet::Type value = parquet::Type::kDouble;
};
template <> struct ColumnTypeOf<bool> {
  static constexpr parquet::Type value = parquet::Type::kBool;
};

template <typename T> constexpr bool type_fits_member(const FixedColumn<T> &column) {
  return column.type == ColumnTypeOf<T>::value;
}

static_assert(std::apply([](const auto &...column) { return (type_fits_member(column) && ...); },
                         kFixedColumns),
              "a fixed column's type does not fit the row member it is read from");

template <typename T> void append_value(parquet::Column &column, const std::optional<T> &value) {
  _append_or_null(column, value);
}
void append_value(parquet::Column &column, double value) { column.append(value); }
void append_value(parquet::Column &column, bool value) { column.append_bool(value); }

} // namespace

std::vector<parquet::Field> _fixed_fields() {
  return std::apply(
      [](const auto &...column) {
        return std::vector<parquet::Field>{
            {std::string(column.name), column.type, column.nullable}...};
      },
      kFixedColumns);
}

void _append_fixed_values(const PendingRow &row, std::vector<parquet::Column> &columns) {
  std::apply(
      [&](const auto &...column) {
        std::size_t i = 0;
        (append_value(columns[i++], row.*column.member), ...);
      },
      kFixedColumns);
}

} // namespace networking::remote_historian::v2
