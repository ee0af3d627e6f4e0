#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "parquet/schema.h"
#include "parquet/table.h"

namespace support {

// Reads Parquet files with four independent readers (DuckDB, parquet-wasm over apache-arrow,
// hyparquet with hyparquet-compressors, nodejs-polars) through the Node scripts in tests/readers/.
// Without node or the packages every call throws std::runtime_error with one sentence that says to
// run scripts/install-deps.sh: the checks are never skipped silently.

// One cell in the readers' common text form: null; text as is; int64 in decimal; "true" or
// "false"; doubles "NaN" or the 16 lower-case hex digits of their bit pattern.
using Cell = std::optional<std::string>;
std::string double_cell(double value);

struct ReaderColumn {
  std::string name;
  std::string type; // the reader's own type name, e.g. VARCHAR, Utf8, BYTE_ARRAY/UTF8/STRING
  std::string kind; // "string", "int64", "double", "bool", or "other"
  std::vector<Cell> cells;
};

struct ReaderResult {
  std::string reader; // "duckdb", "parquet-wasm", "hyparquet" or "polars"
  std::string error;  // set when the reader refused the file; the rest is then empty
  std::int64_t num_rows = 0;
  std::int64_t row_groups = 0; // -1 from polars, which does not tell
  std::string created_by;
  std::vector<ReaderColumn> columns;
};

struct FileReadout {
  std::string path;
  std::vector<ReaderResult> readers; // always the four, in the order above
};

// The JSON document of tests/readers/read_parquet.mjs for one file.
std::string read_with_all_readers(const std::string &path);
// All files in one Node run (starting DuckDB and the WebAssembly reader once). With columns,
// each reader still reads every column but returns only those (in file order).
std::vector<FileReadout> read_files_with_all_readers(const std::vector<std::string> &paths,
                                                     const std::vector<std::string> &columns = {});

// What a reader should return for one column.
struct ExpectedColumn {
  std::string name;
  std::string kind;
  std::vector<Cell> cells;
};

// The expected columns for a table written with schema (header-only, no link dependency).
inline std::vector<ExpectedColumn> expected_columns(const parquet::Schema &schema,
                                                    const parquet::Table &table);

// Empty when the reader returned exactly these columns (names, kinds, every cell, row count)
// without error; otherwise a few lines saying what differs, prefixed with the reader's name.
std::string mismatches(const ReaderResult &result, const std::vector<ExpectedColumn> &expected);
// The same for all four readers of a readout; empty when all of them match.
std::string mismatches(const FileReadout &readout, const std::vector<ExpectedColumn> &expected);

// Runs one SQL statement in DuckDB; returns its rows as a JSON array of objects.
std::string duckdb_query(const std::string &sql);
// Runs a query whose first row's first column is an integer (e.g. a count) and returns it.
std::int64_t duckdb_scalar(const std::string &sql);
// A path as a single-quoted SQL string literal.
std::string sql_string(const std::string &text);

// ---- inline definitions ----

inline std::vector<ExpectedColumn> expected_columns(const parquet::Schema &schema,
                                                    const parquet::Table &table) {
  std::vector<ExpectedColumn> out;
  for (std::size_t c = 0; c < schema.size(); ++c) {
    const parquet::Column &column = table.columns.at(c);
    ExpectedColumn e;
    e.name = schema.field(c).name;
    for (std::size_t r = 0; r < column.size(); ++r) {
      if (!column.valid[r]) {
        e.cells.emplace_back(std::nullopt);
        continue;
      }
      switch (column.type) {
      case parquet::Type::kString:
        e.cells.emplace_back(column.strings[r]);
        break;
      case parquet::Type::kInt64:
        e.cells.emplace_back(std::to_string(column.ints[r]));
        break;
      case parquet::Type::kDouble:
        e.cells.emplace_back(double_cell(column.doubles[r]));
        break;
      case parquet::Type::kBool:
        e.cells.emplace_back(column.bools[r] ? "true" : "false");
        break;
      }
    }
    switch (column.type) {
    case parquet::Type::kString:
      e.kind = "string";
      break;
    case parquet::Type::kInt64:
      e.kind = "int64";
      break;
    case parquet::Type::kDouble:
      e.kind = "double";
      break;
    case parquet::Type::kBool:
      e.kind = "bool";
      break;
    }
    out.push_back(std::move(e));
  }
  return out;
}

} // namespace support
