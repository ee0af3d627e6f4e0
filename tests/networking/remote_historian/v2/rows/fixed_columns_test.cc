#include "networking/remote_historian/v2/rows/fixed_columns.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "parquet/schema.h"
#include "parquet/table.h"

namespace {

namespace v2 = networking::remote_historian::v2;
using parquet::Type;

std::vector<parquet::Column> empty_columns() {
  std::vector<parquet::Column> columns;
  for (const auto &field : v2::_fixed_fields())
    columns.emplace_back(field.type);
  return columns;
}

TEST(FixedColumns, FieldsInFileOrder) {
  // Every step file written so far starts with these ten columns, all declared nullable.
  const std::vector<parquet::Field> expected = {
      {"run_id", Type::kString, true},     {"sim_id", Type::kString, true},
      {"episode_id", Type::kString, true}, {"step_number", Type::kInt64, true},
      {"timestamp", Type::kDouble, true},  {"skill_name", Type::kString, true},
      {"scenario", Type::kString, true},   {"reward", Type::kDouble, true},
      {"terminated", Type::kBool, true},   {"truncated", Type::kBool, true}};
  EXPECT_EQ(v2::_fixed_fields(), expected);
  EXPECT_EQ(v2::kFixedColumnCount, expected.size());
}

TEST(FixedColumns, EachValueLandsInItsOwnColumn) {
  v2::PendingRow row;
  row.run_id = "run";
  row.sim_id = "sim";
  row.episode_id = "episode";
  row.step_number = 7;
  row.timestamp = 1.5;
  row.skill_name = "walk";
  row.scenario = "stairs";
  row.reward = -0.25;
  row.terminated = true;
  row.truncated = false;
  parquet::Table table{empty_columns()};
  v2::_append_fixed_values(row, table.columns);

  EXPECT_NO_THROW(parquet::check_table(parquet::Schema(v2::_fixed_fields()), table));
  ASSERT_EQ(table.num_rows(), 1u);
  for (const auto &column : table.columns)
    EXPECT_EQ(column.valid, (std::vector<std::uint8_t>{1}));
  const auto &c = table.columns;
  EXPECT_EQ(c[0].strings[0], "run");
  EXPECT_EQ(c[1].strings[0], "sim");
  EXPECT_EQ(c[2].strings[0], "episode");
  EXPECT_EQ(c[3].ints[0], 7);
  EXPECT_EQ(c[4].doubles[0], 1.5);
  EXPECT_EQ(c[5].strings[0], "walk");
  EXPECT_EQ(c[6].strings[0], "stairs");
  EXPECT_EQ(c[7].doubles[0], -0.25);
  EXPECT_EQ(c[8].bools[0], 1);
  EXPECT_EQ(c[9].bools[0], 0);
}

TEST(FixedColumns, AbsentValuesAreNullsAndTheRestAlwaysHaveOne) {
  v2::PendingRow first;
  first.episode_id = "e1";
  v2::PendingRow second;
  second.truncated = true;
  auto columns = empty_columns();
  v2::_append_fixed_values(first, columns);
  v2::_append_fixed_values(second, columns);

  for (std::size_t i = 0; i < 7; ++i) {
    const std::vector<std::uint8_t> valid = {i == 2 ? std::uint8_t{1} : std::uint8_t{0}, 0};
    EXPECT_EQ(columns[i].valid, valid) << "column " << i;
  }
  EXPECT_EQ(columns[2].strings[0], "e1");
  EXPECT_EQ(columns[7].valid, (std::vector<std::uint8_t>{1, 1}));
  EXPECT_EQ(columns[7].doubles, (std::vector<double>{0.0, 0.0}));
  EXPECT_EQ(columns[8].bools, (std::vector<std::uint8_t>{0, 0}));
  EXPECT_EQ(columns[9].bools, (std::vector<std::uint8_t>{0, 1}));
}

TEST(FixedColumns, AppendOrNull) {
  parquet::Column column(Type::kDouble);
  v2::_append_or_null(column, std::optional<double>(2.5));
  v2::_append_or_null(column, std::optional<double>());
  EXPECT_EQ(column.valid, (std::vector<std::uint8_t>{1, 0}));
  EXPECT_EQ(column.doubles[0], 2.5);
}

} // namespace
