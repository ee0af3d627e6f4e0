#include "parquet/table.h"

#include "parquet/encoding.h"
#include "parquet/error.h"

namespace parquet {

void Column::reserve(std::size_t n) {
  valid.reserve(n);
  switch (type) {
  case Type::kString:
    strings.reserve(n);
    break;
  case Type::kInt64:
    ints.reserve(n);
    break;
  case Type::kDouble:
    doubles.reserve(n);
    break;
  case Type::kBool:
    bools.reserve(n);
    break;
  }
}

void Column::clear() {
  valid.clear();
  strings.clear();
  ints.clear();
  doubles.clear();
  bools.clear();
}

void Column::append_null() {
  valid.push_back(0);
  switch (type) {
  case Type::kString:
    strings.emplace_back();
    break;
  case Type::kInt64:
    ints.push_back(0);
    break;
  case Type::kDouble:
    doubles.push_back(0.0);
    break;
  case Type::kBool:
    bools.push_back(0);
    break;
  }
}

void Column::append(std::string value) {
  valid.push_back(1);
  strings.push_back(std::move(value));
}

void Column::append(std::int64_t value) {
  valid.push_back(1);
  ints.push_back(value);
}

void Column::append(double value) {
  valid.push_back(1);
  doubles.push_back(value);
}

void Column::append_bool(bool value) {
  valid.push_back(1);
  bools.push_back(value ? 1 : 0);
}

namespace {

std::size_t values_size(const Column &c) {
  switch (c.type) {
  case Type::kString:
    return c.strings.size();
  case Type::kInt64:
    return c.ints.size();
  case Type::kDouble:
    return c.doubles.size();
  case Type::kBool:
    return c.bools.size();
  }
  return 0;
}

// True when every byte is 0 or 1.
bool all_flags(const std::vector<std::uint8_t> &bytes) {
  std::uint8_t high = 0;
  for (std::uint8_t b : bytes)
    high |= b & 0xFE;
  return high == 0;
}

} // namespace

void check_table(const Schema &schema, const Table &table) {
  if (table.columns.size() != schema.size()) {
    throw Error("Table has " + std::to_string(table.columns.size()) + " columns, the schema " +
                std::to_string(schema.size()));
  }
  const std::size_t rows = table.num_rows();
  for (std::size_t i = 0; i < schema.size(); ++i) {
    const Field &field = schema.field(i);
    const Column &column = table.columns[i];
    const std::string name = "Column '" + field.name + "'";
    if (column.type != field.type) {
      throw Error(name + " is " + std::string(type_name(field.type)) + " in the schema but " +
                  std::string(type_name(column.type)) + " in the table");
    }
    if (column.valid.size() != rows) {
      throw Error(name + " has " + std::to_string(column.valid.size()) + " rows, column '" +
                  schema.field(0).name + "' " + std::to_string(rows));
    }
    if (values_size(column) != rows) {
      throw Error(name + " has " + std::to_string(rows) + " validity flags but " +
                  std::to_string(values_size(column)) + " values");
    }
    if (!all_flags(column.valid))
      throw Error(name + " has a validity flag other than 0 or 1");
    if (!field.nullable) {
      for (std::size_t r = 0; r < rows; ++r) {
        if (column.valid[r] == 0) {
          throw Error(name + " is not nullable but row " + std::to_string(r) + " is null");
        }
      }
    }
    if (column.type == Type::kBool && !all_flags(column.bools)) {
      throw Error(name + " holds a boolean other than 0 or 1");
    }
    if (column.type == Type::kString) {
      for (std::size_t r = 0; r < rows; ++r) {
        if (column.valid[r] == 0)
          continue;
        const std::string &s = column.strings[r];
        if (s.size() > kMaxTextBytes) {
          throw Error(name + " row " + std::to_string(r) + " holds text of more than " +
                      std::to_string(kMaxTextBytes) + " bytes");
        }
        if (!is_valid_utf8(s)) {
          throw Error(name + " row " + std::to_string(r) + " holds text that is not valid UTF-8");
        }
      }
    }
  }
}

} // namespace parquet
