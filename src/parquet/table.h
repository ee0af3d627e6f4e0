#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "parquet/schema.h"

namespace parquet {

// One column of a table: one validity flag per row and, for the column's type, one value
// per row in the matching vector (rows that are null hold a default value there).
struct Column {
  Type type = Type::kDouble;
  std::vector<std::uint8_t> valid; // 1 = value present, 0 = null
  std::vector<std::string> strings;
  std::vector<std::int64_t> ints;
  std::vector<double> doubles;
  std::vector<std::uint8_t> bools; // 0 or 1

  explicit Column(Type t = Type::kDouble) : type(t) {}
  std::size_t size() const { return valid.size(); }
  void reserve(std::size_t n);
  // Empties the column and keeps its memory, for the next batch of rows.
  void clear();
  void append_null();
  void append(std::string value); // Requires: type is kString (likewise for the others).
  void append(std::int64_t value);
  void append(double value);
  void append_bool(bool value);
};

// A batch of rows given column by column, in schema order.
struct Table {
  std::vector<Column> columns;
  std::size_t num_rows() const { return columns.empty() ? 0 : columns.front().size(); }
};

// Throws parquet::Error when the table's columns do not match the schema (count, types or
// lengths).
void check_table(const Schema &schema, const Table &table);

} // namespace parquet
