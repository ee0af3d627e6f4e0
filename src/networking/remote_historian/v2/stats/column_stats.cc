#include "networking/remote_historian/v2/stats/column_stats.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <stdexcept>

#include "parquet/parsed_file.h"
#include "json/parse.h"
#include "json/value.h"
#include "json/write.h"

namespace networking::remote_historian::v2 {
namespace {

// The statistics of one table's column of values (int64 or double), in two passes: the first
// finds the count, the extremes and a first mean; the second sums the deviations from that
// mean and their squares. The sum of the deviations, which rounding leaves slightly off zero,
// corrects both the mean and m2 (the corrected two-pass algorithm).
template <class T>
ColumnStats stats_of(const std::vector<std::uint8_t> &valid, const std::vector<T> &values) {
  ColumnStats s;
  double sum = 0;
  double lo = std::numeric_limits<double>::infinity();
  double hi = -lo;
  for (std::size_t i = 0; i < valid.size(); ++i) {
    if (!valid[i]) {
      ++s.nulls;
      continue;
    }
    const auto x = static_cast<double>(values[i]);
    if (std::isnan(x)) {
      ++s.nans;
      continue;
    }
    ++s.count;
    sum += x;
    lo = std::min(lo, x);
    hi = std::max(hi, x);
  }
  if (s.count == 0)
    return s;
  const auto n = static_cast<double>(s.count);
  const double first_mean = sum / n;
  double deviations = 0, squares = 0;
  for (std::size_t i = 0; i < valid.size(); ++i) {
    const auto x = static_cast<double>(values[i]);
    if (!valid[i] || std::isnan(x))
      continue;
    const double d = x - first_mean;
    deviations += d;
    squares += d * d;
  }
  s.min = lo;
  s.max = hi;
  if (std::isfinite(first_mean)) {
    s.mean = first_mean + deviations / n;
    s.m2 = squares - deviations * deviations / n;
    if (s.m2 < 0) // rounding, when the values are all but equal
      s.m2 = 0;
  } else {
    // An infinite value (or a sum past the double range): the mean is infinite or NaN, and m2
    // is what the deviations from it give.
    s.mean = first_mean;
    s.m2 = squares;
  }
  return s;
}

[[noreturn]] void refuse(const std::string &why) {
  throw std::runtime_error("Cannot read the dataset statistics: " + why);
}

std::int64_t read_count(const json::Object &column, std::string_view name, std::string_view key) {
  const json::Value *v = column.find(key);
  if (v == nullptr || v->kind() != json::Kind::kInt || v->as_int() < 0)
    refuse("column \"" + std::string(name) + "\" has no count \"" + std::string(key) + "\"");
  return v->as_int();
}

double read_double(const json::Object &column, std::string_view name, std::string_view key) {
  const json::Value *v = column.find(key);
  if (v != nullptr && v->is_double())
    return v->as_double();
  if (v != nullptr && v->kind() == json::Kind::kInt)
    return static_cast<double>(v->as_int());
  refuse("column \"" + std::string(name) + "\" has no number \"" + std::string(key) + "\"");
}

// The shortest text that reads back as v, as inspect prints values; "-" when undefined.
std::string cell(double v, bool defined) {
  if (!defined)
    return "-";
  if (std::isnan(v))
    return "nan";
  if (std::isinf(v))
    return v > 0 ? "inf" : "-inf";
  char buffer[32];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, v);
  return std::string(buffer, result.ptr);
}

} // namespace

double ColumnStats::stddev() const {
  return count == 0 ? std::numeric_limits<double>::quiet_NaN()
                    : std::sqrt(m2 / static_cast<double>(count));
}

void add_column(ColumnStats &stats, const parquet::Column &column) {
  switch (column.type) {
  case parquet::Type::kDouble:
    stats = combine(stats, stats_of(column.valid, column.doubles));
    return;
  case parquet::Type::kInt64:
    stats = combine(stats, stats_of(column.valid, column.ints));
    return;
  case parquet::Type::kString:
  case parquet::Type::kBool:
    break;
  }
  throw std::invalid_argument("Statistics are kept of int64 and double columns only, not of " +
                              std::string(parquet::type_name(column.type)) + " columns");
}

ColumnStats combine(const ColumnStats &a, const ColumnStats &b) {
  ColumnStats r = b.count == 0 ? a : b;
  r.nulls = a.nulls + b.nulls;
  r.nans = a.nans + b.nans;
  if (a.count == 0 || b.count == 0)
    return r;
  const auto na = static_cast<double>(a.count);
  const auto nb = static_cast<double>(b.count);
  const double n = na + nb;
  const double delta = b.mean - a.mean;
  r.count = a.count + b.count;
  r.min = std::min(a.min, b.min);
  r.max = std::max(a.max, b.max);
  if (std::isfinite(delta)) {
    r.mean = a.mean + delta * (nb / n);
    r.m2 = a.m2 + b.m2 + delta * delta * (na * nb / n);
  } else {
    // An infinite or NaN mean on either side: the weighted mean gives what a single pass over
    // all the rows would (infinite, or NaN for infinities of both signs).
    r.mean = a.mean * (na / n) + b.mean * (nb / n);
    r.m2 = a.m2 + b.m2 + delta * delta;
  }
  return r;
}

void DatasetStats::add_table(const parquet::Schema &schema, const parquet::Table &table) {
  parquet::check_table(schema, table);
  for (std::size_t i = 0; i < schema.size(); ++i) {
    const parquet::Field &field = schema.field(i);
    if (field.type == parquet::Type::kInt64 || field.type == parquet::Type::kDouble)
      add_column(_column(field.name), table.columns[i]);
  }
}

void DatasetStats::merge(const DatasetStats &other) {
  for (const auto &[name, stats] : other._columns) {
    ColumnStats &mine = _column(name);
    mine = combine(mine, stats);
  }
}

const ColumnStats *DatasetStats::find(std::string_view name) const {
  for (const auto &[n, stats] : _columns)
    if (n == name)
      return &stats;
  return nullptr;
}

ColumnStats &DatasetStats::_column(const std::string &name) {
  for (auto &[n, stats] : _columns)
    if (n == name)
      return stats;
  return _columns.emplace_back(name, ColumnStats{}).second;
}

std::string DatasetStats::to_json() const {
  json::Object columns;
  columns.reserve(_columns.size());
  for (const auto &[name, s] : _columns) {
    json::Object o;
    o.reserve(8);
    o.append_unique("count", s.count);
    o.append_unique("nulls", s.nulls);
    o.append_unique("nans", s.nans);
    o.append_unique("min", s.min);
    o.append_unique("max", s.max);
    o.append_unique("mean", s.mean);
    o.append_unique("std", s.count == 0 ? json::Value() : json::Value(s.stddev()));
    o.append_unique("m2", s.m2);
    columns.append_unique(name, std::move(o));
  }
  json::Object root;
  root.append_unique("columns", std::move(columns));
  return json::dumps(root);
}

DatasetStats DatasetStats::from_json(std::string_view text) {
  json::Value doc;
  try {
    doc = json::parse(text);
  } catch (const std::exception &e) {
    refuse(std::string("not JSON: ") + e.what());
  }
  const json::Value *columns = doc.is_object() ? doc.get("columns") : nullptr;
  if (columns == nullptr || !columns->is_object())
    refuse("no \"columns\" object");
  DatasetStats stats;
  for (const auto &[name, value] : columns->as_object()) {
    if (!value.is_object())
      refuse("column \"" + name + "\" is not an object");
    const json::Object &o = value.as_object();
    ColumnStats s;
    s.count = read_count(o, name, "count");
    s.nulls = read_count(o, name, "nulls");
    s.nans = read_count(o, name, "nans");
    s.min = read_double(o, name, "min");
    s.max = read_double(o, name, "max");
    s.mean = read_double(o, name, "mean");
    s.m2 = read_double(o, name, "m2");
    stats._columns.emplace_back(name, s);
  }
  return stats;
}

std::optional<DatasetStats>
stats_in_footer(const std::string &file,
                const std::vector<std::pair<std::string, std::string>> &key_value_metadata) {
  std::optional<DatasetStats> merged;
  for (const auto &[key, value] : key_value_metadata) {
    if (key != kStatsKey)
      continue;
    DatasetStats stats;
    try {
      stats = DatasetStats::from_json(value);
    } catch (const std::runtime_error &e) {
      throw std::runtime_error("File '" + file + "': " + e.what());
    }
    if (merged)
      merged->merge(stats);
    else
      merged = std::move(stats);
  }
  return merged;
}

std::optional<DatasetStats> merged_stats_of(const std::vector<std::string> &parquet_paths) {
  std::optional<DatasetStats> merged;
  for (const std::string &path : parquet_paths) {
    const auto file = parquet::ParsedFile::open(parquet::InputFile::open(path));
    if (auto stats = stats_in_footer(path, file.metadata().key_value_metadata)) {
      if (merged)
        merged->merge(*stats);
      else
        merged = std::move(stats);
    }
  }
  return merged;
}

void print_stats_table(const DatasetStats &stats, std::ostream &out, std::string_view indent) {
  std::vector<std::vector<std::string>> rows;
  rows.push_back({"column", "count", "nulls", "NaNs", "min", "max", "mean", "std"});
  for (const auto &[name, s] : stats.columns()) {
    const bool defined = s.count > 0;
    rows.push_back({name, std::to_string(s.count), std::to_string(s.nulls), std::to_string(s.nans),
                    cell(s.min, defined), cell(s.max, defined), cell(s.mean, defined),
                    cell(s.stddev(), defined)});
  }
  std::vector<std::size_t> widths(rows.front().size(), 0);
  for (const auto &row : rows)
    for (std::size_t c = 0; c < row.size(); ++c)
      widths[c] = std::max(widths[c], row[c].size());
  // The name flush left, the numbers flush right.
  for (const auto &row : rows) {
    out << indent << row[0] << std::string(widths[0] - row[0].size(), ' ');
    for (std::size_t c = 1; c < row.size(); ++c)
      out << "  " << std::string(widths[c] - row[c].size(), ' ') << row[c];
    out << '\n';
  }
}

} // namespace networking::remote_historian::v2
