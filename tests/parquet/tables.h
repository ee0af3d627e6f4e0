#pragma once

// Helpers that make the Parquet tests read like scripts: column builders, file writing,
// exact table comparison.

#include <bit>
#include <cstdint>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <limits>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "parquet/file_reader.h"
#include "parquet/file_writer.h"
#include "parquet/schema.h"
#include "parquet/table.h"

namespace tables {

inline parquet::Column strings(std::initializer_list<std::optional<std::string>> values) {
  parquet::Column c(parquet::Type::kString);
  for (const auto &v : values)
    v ? c.append(*v) : c.append_null();
  return c;
}

inline parquet::Column ints(std::initializer_list<std::optional<std::int64_t>> values) {
  parquet::Column c(parquet::Type::kInt64);
  for (const auto &v : values)
    v ? c.append(*v) : c.append_null();
  return c;
}

inline parquet::Column doubles(std::initializer_list<std::optional<double>> values) {
  parquet::Column c(parquet::Type::kDouble);
  for (const auto &v : values)
    v ? c.append(*v) : c.append_null();
  return c;
}

inline parquet::Column bools(std::initializer_list<std::optional<bool>> values) {
  parquet::Column c(parquet::Type::kBool);
  for (const auto &v : values)
    v ? c.append_bool(*v) : c.append_null();
  return c;
}

// s string, n int64, d double, b bool.
inline parquet::Schema four_types() {
  return parquet::Schema({{"s", parquet::Type::kString},
                          {"n", parquet::Type::kInt64},
                          {"d", parquet::Type::kDouble},
                          {"b", parquet::Type::kBool}});
}

inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
inline constexpr double kInf = std::numeric_limits<double>::infinity();
inline constexpr std::int64_t kMinInt = std::numeric_limits<std::int64_t>::min();
inline constexpr std::int64_t kMaxInt = std::numeric_limits<std::int64_t>::max();

// The edge values of every type, with nulls, in 8 rows.
inline parquet::Table edge_values() {
  parquet::Table t;
  t.columns.push_back(strings({"", std::nullopt, "plain", "héllo ✓ 日本 🎉", "\x7f",
                               std::string("a\0b", 3), std::nullopt, "z"}));
  t.columns.push_back(ints({kMinInt, kMaxInt, 0, -1, std::nullopt, 1, 42, std::nullopt}));
  t.columns.push_back(doubles({kNaN, kInf, -kInf, -0.0, 0.0, std::nullopt, 1.5e-308, -2.5}));
  t.columns.push_back(bools({true, false, std::nullopt, true, false, std::nullopt, true, true}));
  return t;
}

// Rows [0, n) of a deterministic table of the four types with nulls sprinkled in.
inline parquet::Table generated(std::size_t n, std::size_t seed = 1) {
  parquet::Table t;
  t.columns.emplace_back(parquet::Type::kString);
  t.columns.emplace_back(parquet::Type::kInt64);
  t.columns.emplace_back(parquet::Type::kDouble);
  t.columns.emplace_back(parquet::Type::kBool);
  for (auto &c : t.columns)
    c.reserve(n);
  std::uint64_t x = seed * 0x9E3779B97F4A7C15ULL;
  for (std::size_t i = 0; i < n; ++i) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    const bool null = x % 7 == 0;
    null ? t.columns[0].append_null() : t.columns[0].append("row-" + std::to_string(i));
    null &&i % 2 ? t.columns[1].append_null()
                 : t.columns[1].append(static_cast<std::int64_t>(x >> 3) - (std::int64_t{1} << 59));
    x % 5 == 0 ? t.columns[2].append_null()
               : t.columns[2].append(static_cast<double>(x % 100000) / 7.0 - 5000.0);
    x % 3 == 0 ? t.columns[3].append_null() : t.columns[3].append_bool(x & 16);
  }
  return t;
}

// Rows [begin, end) of a table.
inline parquet::Table slice(const parquet::Table &t, std::size_t begin, std::size_t end) {
  parquet::Table out;
  for (const parquet::Column &c : t.columns) {
    parquet::Column s(c.type);
    s.valid.assign(c.valid.begin() + begin, c.valid.begin() + end);
    switch (c.type) {
    case parquet::Type::kString:
      s.strings.assign(c.strings.begin() + begin, c.strings.begin() + end);
      break;
    case parquet::Type::kInt64:
      s.ints.assign(c.ints.begin() + begin, c.ints.begin() + end);
      break;
    case parquet::Type::kDouble:
      s.doubles.assign(c.doubles.begin() + begin, c.doubles.begin() + end);
      break;
    case parquet::Type::kBool:
      s.bools.assign(c.bools.begin() + begin, c.bools.begin() + end);
      break;
    }
    out.columns.push_back(std::move(s));
  }
  return out;
}

// The tables one after the other.
inline parquet::Table concat(const std::vector<parquet::Table> &parts) {
  parquet::Table out = slice(parts.at(0), 0, 0);
  for (const parquet::Table &p : parts) {
    for (std::size_t c = 0; c < p.columns.size(); ++c) {
      const parquet::Column &from = p.columns[c];
      parquet::Column &to = out.columns[c];
      to.valid.insert(to.valid.end(), from.valid.begin(), from.valid.end());
      to.strings.insert(to.strings.end(), from.strings.begin(), from.strings.end());
      to.ints.insert(to.ints.end(), from.ints.begin(), from.ints.end());
      to.doubles.insert(to.doubles.end(), from.doubles.begin(), from.doubles.end());
      to.bools.insert(to.bools.end(), from.bools.begin(), from.bools.end());
    }
  }
  return out;
}

inline void write_file(const std::string &path, const parquet::Schema &schema,
                       const std::vector<parquet::Table> &batches,
                       parquet::WriterOptions options = {}) {
  parquet::FileWriter writer(path, schema, options);
  for (const parquet::Table &t : batches)
    writer.write_table(t);
  writer.close();
}

// Empty when the tables hold the same rows (nulls equal whatever their slot holds; doubles
// compared bit for bit); otherwise the first difference.
inline std::string difference(const parquet::Table &got, const parquet::Table &want) {
  if (got.columns.size() != want.columns.size())
    return "column count differs";
  for (std::size_t c = 0; c < want.columns.size(); ++c) {
    const parquet::Column &g = got.columns[c];
    const parquet::Column &w = want.columns[c];
    if (g.type != w.type)
      return "column " + std::to_string(c) + " type differs";
    if (g.size() != w.size()) {
      return "column " + std::to_string(c) + " has " + std::to_string(g.size()) + " rows, want " +
             std::to_string(w.size());
    }
    for (std::size_t r = 0; r < w.size(); ++r) {
      const std::string at = "column " + std::to_string(c) + " row " + std::to_string(r);
      if (g.valid[r] != w.valid[r])
        return at + ": null differs";
      if (!w.valid[r])
        continue;
      bool same = true;
      switch (w.type) {
      case parquet::Type::kString:
        same = g.strings[r] == w.strings[r];
        break;
      case parquet::Type::kInt64:
        same = g.ints[r] == w.ints[r];
        break;
      case parquet::Type::kDouble:
        same = std::bit_cast<std::uint64_t>(g.doubles[r]) ==
               std::bit_cast<std::uint64_t>(w.doubles[r]);
        break;
      case parquet::Type::kBool:
        same = g.bools[r] == w.bools[r];
        break;
      }
      if (!same)
        return at + ": value differs";
    }
  }
  return {};
}

inline std::string read_bytes(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void write_bytes(const std::string &path, const std::string &bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

} // namespace tables
