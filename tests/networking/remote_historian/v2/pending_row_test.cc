#include "networking/remote_historian/v2/pending_row.h"

#include "networking/remote_historian/v2/byte_size.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

using networking::remote_historian::v2::EntryId;
using networking::remote_historian::v2::parse_byte_size;
using networking::remote_historian::v2::PendingRow;
using networking::remote_historian::v2::RowBuffer;
using networking::remote_historian::v2::StepVector;
using networking::remote_historian::v2::ValueArena;

// Row i: an id and a vector of `width` values that encode i, so any mix-up shows.
PendingRow make_row(ValueArena &arena, std::size_t i, std::size_t width) {
  PendingRow row;
  row.sim_id = "sim-" + std::to_string(i) + std::string(20, 'x'); // beyond the inline buffer
  row.step_number = static_cast<std::int64_t>(i);
  row._obs_vec = StepVector(arena.allocate(width), width, width + 1);
  for (std::size_t k = 0; k < width; ++k)
    row._obs_vec.set(k, static_cast<double>(i * 1000 + k));
  if (i % 7 == 0)
    row._obs_vec.set(0, std::nullopt);
  return row;
}

void expect_row(const PendingRow &row, std::size_t i, std::size_t width) {
  ASSERT_EQ(row.step_number, static_cast<std::int64_t>(i));
  EXPECT_EQ(row.sim_id, "sim-" + std::to_string(i) + std::string(20, 'x'));
  ASSERT_EQ(row._obs_vec.kept(), width);
  EXPECT_EQ(row._obs_vec.raw_length(), width + 1);
  for (std::size_t k = 0; k < width; ++k) {
    if (k == 0 && i % 7 == 0) {
      EXPECT_TRUE(row._obs_vec.is_null(0)) << i;
    } else {
      ASSERT_EQ(row._obs_vec.value(k), static_cast<double>(i * 1000 + k)) << i << " " << k;
    }
  }
}

TEST(RowBuffer, KeepsEveryRowInOrderAcrossBlocks) {
  ValueArena arena;
  RowBuffer rows;
  EXPECT_TRUE(rows.empty());
  // Three row blocks, and vectors spread over several value blocks (64 doubles per row).
  const std::size_t n = 2 * RowBuffer::kRowsPerBlock + 3;
  std::vector<const PendingRow *> addresses;
  for (std::size_t i = 0; i < n; ++i) {
    rows.push_back(make_row(arena, i, 64));
    addresses.push_back(&rows.back());
  }
  ASSERT_EQ(rows.size(), n);
  for (std::size_t i = 0; i < n; ++i) {
    expect_row(rows[i], i, 64);
    // Appending never moves a row.
    ASSERT_EQ(&rows[i], addresses[i]);
  }
  std::size_t i = 0;
  for (const PendingRow &row : rows)
    ASSERT_EQ(row.step_number, static_cast<std::int64_t>(i++));
  EXPECT_EQ(i, n);
  EXPECT_EQ(std::distance(rows.begin(), rows.end()), static_cast<std::ptrdiff_t>(n));
  EXPECT_EQ(rows.front().step_number, 0);
  EXPECT_EQ(rows.back().step_number, static_cast<std::int64_t>(n - 1));
  // Iterators work with the standard algorithms.
  auto it = std::find_if(rows.begin(), rows.end(),
                         [](const PendingRow &r) { return r.step_number == 4321; });
  ASSERT_NE(it, rows.end());
  EXPECT_EQ(std::distance(rows.begin(), it), 4321);
}

TEST(RowBuffer, TakenBatchKeepsItsRowsAndTheBufferStartsAfresh) {
  ValueArena arena;
  RowBuffer rows;
  for (std::size_t i = 0; i < 100; ++i)
    rows.push_back(make_row(arena, i, 8));
  RowBuffer taken = std::exchange(rows, {});
  EXPECT_TRUE(rows.empty());
  for (std::size_t i = 100; i < 150; ++i)
    rows.push_back(make_row(arena, i, 8));
  ASSERT_EQ(taken.size(), 100u);
  ASSERT_EQ(rows.size(), 50u);
  for (std::size_t i = 0; i < 100; ++i)
    expect_row(taken[i], i, 8);
  for (std::size_t i = 0; i < 50; ++i)
    expect_row(rows[i], 100 + i, 8);
  taken = std::move(rows); // the old batch is destroyed, the new one moves in
  ASSERT_EQ(taken.size(), 50u);
  expect_row(taken[49], 149, 8);
  taken.clear();
  EXPECT_TRUE(taken.empty());
  taken.push_back(make_row(arena, 7, 3));
  expect_row(taken.front(), 7, 3);
}

TEST(RowBuffer, RowMovedOutOutlivesItsBufferAndArena) {
  PendingRow kept;
  {
    ValueArena arena;
    RowBuffer rows;
    for (std::size_t i = 0; i < 10; ++i)
      rows.push_back(make_row(arena, i, 16));
    kept = std::move(rows[3]);
  }
  // The value block is shared by the vector, so it is still there (ASan would see a use
  // after unmap as a crash).
  expect_row(kept, 3, 16);
}

TEST(ValueArena, SlicesNeverOverlapAndLongVectorsGetTheirOwn) {
  ValueArena arena;
  std::vector<std::pair<std::shared_ptr<double[]>, std::size_t>> slices;
  // Odd sizes, more than one block's worth in total, and two vectors too long for a block.
  std::size_t total = 0;
  for (std::size_t i = 0; total < 3 * (std::size_t{2} << 20) / sizeof(double); ++i) {
    const std::size_t n = i == 40 || i == 900 ? 300000 : 1 + (i * 37) % 500;
    slices.emplace_back(arena.allocate(n), n);
    total += n;
  }
  for (std::size_t s = 0; s < slices.size(); ++s)
    std::fill_n(slices[s].first.get(), slices[s].second, static_cast<double>(s));
  for (std::size_t s = 0; s < slices.size(); ++s) {
    const double *values = slices[s].first.get();
    ASSERT_TRUE(std::all_of(values, values + slices[s].second,
                            [&](double v) { return v == static_cast<double>(s); }))
        << "slice " << s;
  }
}

TEST(StepVector, HeapAndArenaStorageReadTheSame) {
  ValueArena arena;
  StepVector heap(3, 5);
  StepVector cut(arena.allocate(3), 3, 5);
  for (StepVector *v : {&heap, &cut}) {
    v->set(0, -0.0);
    v->set(1, std::nullopt);
    v->set_raw(2, 2.5);
  }
  for (const StepVector *v : {&heap, &cut}) {
    EXPECT_EQ(v->kept(), 3u);
    EXPECT_EQ(v->raw_length(), 5u);
    EXPECT_TRUE(std::signbit(v->value(0)));
    EXPECT_FALSE(v->is_null(0));
    EXPECT_TRUE(v->is_null(1));
    EXPECT_EQ(v->value(2), 2.5);
  }
  StepVector empty(nullptr, 0, 4); // a vector cut to width 0 holds no storage
  EXPECT_EQ(empty.kept(), 0u);
  EXPECT_EQ(empty.raw_length(), 4u);
}

} // namespace

namespace {

// The buffer's byte count is what the rows hold, follows them through moves and is gone with
// them.
TEST(RowBuffer, CountsTheBytesItsRowsHold) {
  ValueArena arena;
  RowBuffer rows;
  for (std::size_t i = 0; i < 10; ++i)
    rows.push_back(make_row(arena, i, 1000));
  // Each row: itself, its 1,000 values and its sim id beyond the inline buffer.
  EXPECT_GE(rows.bytes(), 10 * (sizeof(PendingRow) + 8000 + 24));
  EXPECT_LE(rows.bytes(), 10 * (sizeof(PendingRow) + 8000 + 64));
  PendingRow raw;
  raw._sim_data = arena.copy(std::string(5000, 'x'));
  const std::size_t before = rows.bytes();
  rows.push_back(std::move(raw));
  EXPECT_EQ(rows.bytes() - before, sizeof(PendingRow) + 5000);
  RowBuffer moved = std::move(rows);
  EXPECT_EQ(moved.bytes(), before + sizeof(PendingRow) + 5000);
  // The moved-from buffer is empty, and counts nothing, as a flush that hands its rows on.
  rows = RowBuffer();
  EXPECT_EQ(rows.bytes(), 0u);
  moved.clear();
  EXPECT_EQ(moved.bytes(), 0u);
}

TEST(ByteSize, ParsesBytesAndBinaryUnits) {
  EXPECT_EQ(parse_byte_size("1"), 1);
  EXPECT_EQ(parse_byte_size("1048576"), 1 << 20);
  EXPECT_EQ(parse_byte_size("64KiB"), 64 << 10);
  EXPECT_EQ(parse_byte_size("32MiB"), 32 << 20);
  EXPECT_EQ(parse_byte_size("1GiB"), std::int64_t{1} << 30);
  EXPECT_EQ(parse_byte_size("3TiB"), std::int64_t{3} << 40);
  EXPECT_EQ(parse_byte_size("9223372036854775807"), INT64_MAX);
  // Zero, junk, signs, spaces, other units, and sizes beyond int64 (with and without a unit).
  for (const char *bad :
       {"", "0", "0MiB", "MiB", "-1", "+1", " 1", "1 MiB", "1.5GiB", "1mib", "1MB", "1G", "1KiBKiB",
        "0x10", "9223372036854775808", "8589934592GiB", "99999999999999999999999"})
    EXPECT_EQ(parse_byte_size(bad), std::nullopt) << bad;
}

TEST(EntryId, KeepsWhatRedisWritesAndNothingElse) {
  for (const char *id : {"1765300000000-0", "0-1", "18446744073709551615-18446744073709551615"})
    EXPECT_EQ(EntryId::parse(id)->text(), id);
  for (const char *bad : {"", "0-0", "1", "1-", "-1", "01-0", "1-01", "1-2-3", "1-+2", "1 -2",
                          "18446744073709551616-0", "*"})
    EXPECT_FALSE(EntryId::parse(bad)) << bad;
}

} // namespace
