#include "networking/remote_historian/v2/stats/column_stats.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <random>
#include <stdexcept>

#include "tests/parquet/tables.h"
#include "tests/support/temp_dir.h"

namespace {

namespace v2 = networking::remote_historian::v2;
using namespace tables;
using parquet::Type;

// Bit for bit (-0.0 is not 0.0), except that any NaN equals any NaN: JSON keeps no NaN sign.
bool same(double a, double b) {
  return std::isnan(a) ? std::isnan(b)
                       : std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

void expect_same(const v2::ColumnStats &g, const v2::ColumnStats &w, const std::string &what) {
  EXPECT_TRUE(g.count == w.count && g.nulls == w.nulls && g.nans == w.nans && same(g.min, w.min) &&
              same(g.max, w.max) && same(g.mean, w.mean) && same(g.m2, w.m2))
      << what << ": count " << g.count << " mean " << g.mean << " m2 " << g.m2 << ", want count "
      << w.count << " mean " << w.mean << " m2 " << w.m2;
}

void expect_same(const v2::DatasetStats &got, const v2::DatasetStats &want) {
  ASSERT_EQ(got.columns().size(), want.columns().size());
  for (std::size_t i = 0; i < want.columns().size(); ++i) {
    EXPECT_EQ(got.columns()[i].first, want.columns()[i].first);
    expect_same(got.columns()[i].second, want.columns()[i].second, want.columns()[i].first);
  }
}

std::int64_t ulps(double a, double b) {
  return std::abs(std::bit_cast<std::int64_t>(a) - std::bit_cast<std::int64_t>(b));
}

const parquet::Schema kSteps({{"episode", Type::kString},
                              {"reward", Type::kDouble},
                              {"done", Type::kBool},
                              {"step", Type::kInt64}});

// n rows of values with a large offset and small noise, with nulls and NaNs among them.
parquet::Table noisy_steps(std::size_t n) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> noise(-1.0, 1.0);
  parquet::Table t{{parquet::Column(Type::kString), parquet::Column(Type::kDouble),
                    parquet::Column(Type::kBool), parquet::Column(Type::kInt64)}};
  for (std::size_t i = 0; i < n; ++i) {
    t.columns[0].append("episode-" + std::to_string(i / 100));
    i % 17 == 3 ? t.columns[1].append_null()
                : t.columns[1].append(i % 23 == 5 ? kNaN : 1e9 + noise(rng));
    t.columns[2].append_bool(i % 100 == 99);
    i % 29 == 1 ? t.columns[3].append_null()
                : t.columns[3].append(std::int64_t{1'000'000'000'000} +
                                      static_cast<std::int64_t>(rng() % 1000));
  }
  return t;
}

TEST(ColumnStats, PartsCombineToTheStatisticsOfAllRows) {
  const parquet::Table all = noisy_steps(5000);
  v2::DatasetStats whole, added, merged;
  whole.add_table(kSteps, all);
  // Uneven parts, an empty one among them, added one after another and kept apart then merged.
  const std::size_t cuts[] = {0, 1, 1, 40, 1777, 1800, 4999, 5000};
  for (std::size_t i = 0; i + 1 < std::size(cuts); ++i) {
    const parquet::Table part = slice(all, cuts[i], cuts[i + 1]);
    added.add_table(kSteps, part);
    v2::DatasetStats own;
    own.add_table(kSteps, part);
    merged.merge(own);
  }
  ASSERT_EQ(whole.columns().size(), 2u); // the text and the flag are skipped
  for (const auto &[name, want] : whole.columns()) {
    // The rows at once, against a long double reference; a sum of squares in double is off by
    // thousands of times m2 with this offset.
    const parquet::Column &c = all.columns[*kSteps.index_of(name)];
    std::vector<long double> xs;
    std::int64_t nulls = 0, nans = 0;
    for (std::size_t i = 0; i < c.size(); ++i) {
      const double x = name == "step" ? static_cast<double>(c.ints[i]) : c.doubles[i];
      if (!c.valid[i])
        ++nulls;
      else if (std::isnan(x))
        ++nans;
      else
        xs.push_back(x);
    }
    long double sum = 0, m2 = 0;
    double squares = 0;
    for (const long double x : xs) {
      sum += x;
      squares += static_cast<double>(x * x);
    }
    const long double mean = sum / xs.size();
    for (const long double x : xs)
      m2 += (x - mean) * (x - mean);
    EXPECT_TRUE(want.count == std::ssize(xs) && want.nulls == nulls && want.nans == nans) << name;
    EXPECT_TRUE(nulls > 0 && (name == "step" || nans > 0)) << name;
    EXPECT_LE(ulps(want.mean, static_cast<double>(mean)), 1) << name;
    EXPECT_LT(std::abs(want.m2 - m2) / m2, 1e-12) << name;
    const double naive = squares - static_cast<double>(sum * sum / xs.size());
    EXPECT_GT(std::abs(naive - want.m2), want.m2) << name;
    // Combined parts: the counts and extremes exactly, the mean to an ulp or two. Each
    // combination's difference of means is off by up to an ulp of the offset, which reaches m2
    // as a few 1e-9 of it here.
    for (const v2::DatasetStats *got : {&added, &merged}) {
      const v2::ColumnStats &s = *got->find(name);
      EXPECT_TRUE(s.count == want.count && s.nulls == want.nulls && s.nans == want.nans &&
                  s.min == want.min && s.max == want.max)
          << name;
      EXPECT_LE(ulps(s.mean, want.mean), 2) << name;
      EXPECT_NEAR(s.m2, want.m2, 1e-7 * want.m2) << name;
    }
  }
}

TEST(ColumnStats, EmptySidesAndInfinities) {
  v2::ColumnStats s, none;
  add_column(s, doubles({0.1, 0.7, std::nullopt, -3.3}));
  add_column(none, doubles({std::nullopt, kNaN}));
  EXPECT_TRUE(none.count == 0 && std::isnan(none.min) && std::isnan(none.mean) && none.m2 == 0);
  v2::ColumnStats want = s;
  want.nulls += 1;
  want.nans += 1;
  expect_same(v2::combine(s, none), want, "empty right side");
  expect_same(v2::combine(none, s), want, "empty left side");

  v2::ColumnStats inf;
  add_column(inf, doubles({1.0, kInf, kNaN}));
  add_column(inf, ints({3})); // the infinite side first: no inf - inf in the combination
  EXPECT_TRUE(inf.count == 3 && inf.min == 1.0 && inf.max == kInf && inf.mean == kInf);
  add_column(inf, doubles({-kInf}));
  EXPECT_TRUE(inf.min == -kInf && inf.max == kInf && std::isnan(inf.mean));
}

TEST(DatasetStatsJson, RoundTripIsExact) {
  v2::DatasetStats stats;
  stats.add_table(
      parquet::Schema(
          {{"reward", Type::kDouble}, {"never", Type::kDouble}, {"wild", Type::kDouble}}),
      {{doubles({1.0, std::nullopt, 3.0}), doubles({std::nullopt, kNaN, std::nullopt}),
        doubles({-kInf, kInf, 2.0})}});
  EXPECT_EQ(stats.to_json(),
            R"({"columns": {"reward": {"count": 2, "nulls": 1, "nans": 0, "min": 1.0, "max": 3.0, )"
            R"("mean": 2.0, "std": 1.0, "m2": 2.0}, "never": {"count": 0, "nulls": 2, "nans": 1, )"
            R"("min": NaN, "max": NaN, "mean": NaN, "std": null, "m2": 0.0}, "wild": {"count": 3, )"
            R"("nulls": 0, "nans": 0, "min": -Infinity, "max": Infinity, "mean": NaN, "std": NaN, )"
            R"("m2": NaN}}})");
  stats.add_table(parquet::Schema({{"awkward", Type::kDouble}, {"ids", Type::kInt64}}),
                  {{doubles({0.1, 1e9 + 0.3, -0.0, 1e-300}), ints({kMinInt, kMaxInt, 7, 0})}});
  const v2::DatasetStats back = v2::DatasetStats::from_json(stats.to_json());
  expect_same(back, stats);
  EXPECT_EQ(back.to_json(), stats.to_json());
}

TEST(DatasetStatsJson, RefusesWhatItCannotTake) {
  const std::string rest = R"("nulls": 0, "nans": 0, "min": 1.0, "max": 1.0, "mean": 1.0)";
  for (const std::string &text : std::vector<std::string>{
           "", "[]", R"({"columns": []})", R"({"columns": {"a": 1}})",
           R"({"columns": {"a": {"count": 1, )" + rest + "}}}",                // no m2
           R"({"columns": {"a": {"count": -1, )" + rest + R"(, "m2": 0.0}}})", // negative count
           R"({"columns": {"a": {"count": "1", )" + rest + R"(, "m2": 0.0}}})"})
    EXPECT_THROW(v2::DatasetStats::from_json(text), std::runtime_error) << text;
}

TEST(DatasetStatsMerge, CombinesByNameAndKeepsOneSidedColumns) {
  v2::DatasetStats a, b;
  a.add_table(parquet::Schema({{"x", Type::kDouble}, {"y", Type::kInt64}}),
              {{doubles({1.0, 2.0}), ints({10, 20})}});
  b.add_table(parquet::Schema({{"z", Type::kDouble}, {"y", Type::kInt64}}),
              {{doubles({5.0}), ints({std::nullopt})}});
  v2::DatasetStats ab = a;
  ab.merge(b);
  ASSERT_EQ(ab.columns().size(), 3u);
  EXPECT_EQ(ab.columns()[2].first, "z");
  expect_same(ab.columns()[0].second, *a.find("x"), "x");
  expect_same(ab.columns()[1].second, v2::combine(*a.find("y"), *b.find("y")), "y");
  EXPECT_EQ(ab.find("y")->nulls, 1);
  expect_same(*ab.find("z"), *b.find("z"), "z");
}

TEST(MergedStatsOf, CombinesTheFootersInFileOrder) {
  support::TempDir dir;
  const parquet::Table all = noisy_steps(300);
  v2::DatasetStats first, second;
  first.add_table(kSteps, slice(all, 0, 100));
  second.add_table(kSteps, slice(all, 100, 300));
  const auto write = [&](const std::string &name, std::size_t begin, std::size_t end,
                         const v2::DatasetStats *stats) {
    parquet::WriterOptions options;
    options.key_value_metadata = {{"other", "kept"}};
    if (stats)
      options.key_value_metadata.emplace_back(v2::kStatsKey, stats->to_json());
    write_file((dir / name).string(), kSteps, {slice(all, begin, end)}, options);
    return (dir / name).string();
  };
  const std::string a = write("a.parquet", 0, 100, &first);
  const std::string plain = write("plain.parquet", 0, 10, nullptr);
  const std::string b = write("b.parquet", 100, 300, &second);
  v2::DatasetStats want = first;
  want.merge(second);
  const auto merged = v2::merged_stats_of({a, plain, b});
  ASSERT_TRUE(merged.has_value());
  expect_same(*merged, want);
  EXPECT_FALSE(v2::merged_stats_of({plain}).has_value());
}

} // namespace
