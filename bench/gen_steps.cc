// Writes the benchmarks' step payloads: realistic training steps, the same on every run.
//
//   gen_steps --data DIR [--n N] [--nan-steps M] [--seed S]
//   gen_steps --data DIR --wide W1,W2,... [--wide-steps M] [--seed S]
//
// DIR/steps.jsonl      N step payloads (a stream entry's "data" field), one a line, about
//                      3.3 kB each: 64 named sensors joint_0 ... joint_63, an 8-float action,
//                      episodes of 200 steps.
// DIR/steps_ts.jsonl   the same payloads with a top-level "timestamp" first (for readers that
//                      get no stream envelope).
// DIR/steps_nan.jsonl  M payloads in which about 2 % of the observation values are NaN,
//                      Infinity or -Infinity, written as bare words as Python's json.dumps does.
// With --wide, only DIR/steps_wW.jsonl for each width W: M payloads (default 200, one
// episode) of the same layout with W named sensors instead of 64. A 20,000-sensor step is
// about 1 MB, so the files stay short and the benchmarks cycle through them. A width of 64
// gives the first M lines of steps.jsonl of the same seed.
// The layout follows json.dumps (", " and ": " separators, shortest round-trip doubles), as a
// Python producer writes them. Prints the payload sizes.

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr int kSensors = 64;
constexpr int kActions = 8;
constexpr int kEpisodeLength = 200;
constexpr double kStartTime = 1733600000.0;
const char *const kScenarios[] = {"flat", "rough", "stairs", "slope", "gap"};

// Uniform and normal draws of our own on top of mt19937_64 (whose output the standard fixes),
// so the files are the same with every standard library.
class Random {
public:
  explicit Random(std::uint64_t seed) : _engine(seed) {}
  double unit() { return static_cast<double>(_engine() >> 11) * 0x1p-53; } // [0, 1)
  double uniform(double lo, double hi) { return lo + (hi - lo) * unit(); }
  std::size_t below(std::size_t n) { return static_cast<std::size_t>(unit() * n); }
  double gauss(double mean, double sigma) { // Box-Muller
    const double r = std::sqrt(-2.0 * std::log(1.0 - unit()));
    return mean + sigma * r * std::cos(2.0 * std::numbers::pi * unit());
  }

private:
  std::mt19937_64 _engine;
};

void append_double(std::string &out, double v) {
  if (std::isnan(v)) {
    out += "NaN";
    return;
  }
  if (std::isinf(v)) {
    out += v < 0 ? "-Infinity" : "Infinity";
    return;
  }
  char buf[32];
  const auto end = std::to_chars(buf, buf + sizeof buf, v).ptr;
  out.append(buf, end);
  if (std::find_if(buf, end, [](char c) { return c == '.' || c == 'e'; }) == end)
    out += ".0"; // a double stays a double: 1.0, not 1
}

const char *boolean(bool b) { return b ? "true" : "false"; }

// The payloads of n steps of seed, with nan_share of the observations NaN or infinite.
class Steps {
public:
  Steps(std::uint64_t seed, double nan_share, int sensors = kSensors)
      : _random(seed), _nan_share(nan_share), _sensors(sensors) {
    _names += '[';
    for (int k = 0; k < _sensors; ++k) {
      _names += k ? ", \"joint_" : "\"joint_";
      _names += std::to_string(k);
      _names += '"';
    }
    _names += ']';
  }

  // The payload of step i (steps are made in order).
  const std::string &next(std::size_t i) {
    const std::size_t episode = i / kEpisodeLength, step = i % kEpisodeLength;
    if (step == 0)
      _scenario = kScenarios[_random.below(std::size(kScenarios))];
    const bool last = step == kEpisodeLength - 1;
    const bool terminated = last && _random.unit() < 0.7;
    const bool truncated = last && !terminated;

    std::string &s = _payload;
    s.clear();
    s += "{\"run_id\": \"run-7\", \"episode_id\": \"ep-" + std::to_string(episode) +
         "\", \"step_number\": " + std::to_string(step) + ", \"sim_data\": {\"sim_id\": \"sim-" +
         std::to_string(episode % 4) + "\", \"result\": {\"observation\": {";
    for (int k = 0; k < _sensors; ++k) {
      double v = _random.uniform(-3.2, 3.2);
      if (_nan_share > 0 && _random.unit() < _nan_share) {
        const double specials[] = {NAN, INFINITY, -INFINITY};
        v = specials[_random.below(3)];
      }
      s += (k ? ", \"joint_" : "\"joint_") + std::to_string(k) + "\": ";
      append_double(s, v);
    }
    s += "}, \"sensor_names\": " + _names + ", \"terminated\": " + boolean(terminated) +
         ", \"truncated\": " + boolean(truncated) + ", \"info\": {\"scenario\": \"" + _scenario +
         "\"}}}, \"skill_data\": {\"action\": [";
    for (int k = 0; k < kActions; ++k) {
      if (k)
        s += ", ";
      append_double(s, _random.uniform(-1.0, 1.0));
    }
    s += "], \"teacher_reward\": ";
    append_double(s, _random.gauss(0.25, 0.1));
    s += ", \"done\": ";
    s += boolean(terminated || truncated);
    s += "}}";
    return s;
  }

private:
  Random _random;
  double _nan_share;
  int _sensors;
  std::string _names, _scenario, _payload;
};

std::ofstream open(const std::filesystem::path &path) {
  std::ofstream out(path, std::ios::binary);
  if (!out)
    throw std::runtime_error("cannot write " + path.string());
  return out;
}

// The widths of a list such as "1000,5000,20000"; empty if any of them is not a positive count.
std::vector<int> widths(const std::string &list) {
  std::vector<int> out;
  for (std::size_t at = 0; at <= list.size();) {
    const std::size_t end = std::min(list.find(',', at), list.size());
    int w = 0;
    const auto [ptr, ec] = std::from_chars(list.data() + at, list.data() + end, w);
    if (ec != std::errc() || ptr != list.data() + end || w <= 0)
      return {};
    out.push_back(w);
    at = end + 1;
  }
  return out;
}

// Writes DIR/steps_wW.jsonl: m payloads with w sensors; prints their sizes.
void write_wide(const std::filesystem::path &dir, std::uint64_t seed, int w, std::size_t m) {
  const std::filesystem::path path = dir / ("steps_w" + std::to_string(w) + ".jsonl");
  auto out = open(path);
  Steps steps(seed, 0.0, w);
  std::uint64_t total = 0;
  std::size_t smallest = SIZE_MAX, largest = 0;
  for (std::size_t i = 0; i < m; ++i) {
    const std::string &s = steps.next(i);
    total += s.size();
    smallest = std::min(smallest, s.size());
    largest = std::max(largest, s.size());
    out << s << '\n';
  }
  if (!out.flush())
    throw std::runtime_error("cannot write " + path.string());
  if (m > 0)
    std::printf("wide sensors=%d steps=%zu payload_bytes mean=%.1f min=%zu max=%zu "
                "total_MB=%.1f file=%s\n",
                w, m, static_cast<double>(total) / m, smallest, largest, total / 1e6,
                path.filename().c_str());
}

} // namespace

int main(int argc, char **argv) {
  std::string data;
  std::size_t n = 200000, nan_steps = 20000, wide_steps = 200;
  std::string wide;
  std::uint64_t seed = 7;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool has_value = i + 1 < argc;
    if (a == "--data" && has_value)
      data = argv[++i];
    else if (a == "--n" && has_value)
      n = std::stoull(argv[++i]);
    else if (a == "--nan-steps" && has_value)
      nan_steps = std::stoull(argv[++i]);
    else if (a == "--seed" && has_value)
      seed = std::stoull(argv[++i]);
    else if (a == "--wide" && has_value)
      wide = argv[++i];
    else if (a == "--wide-steps" && has_value)
      wide_steps = std::stoull(argv[++i]);
    else
      data.clear(), i = argc;
  }
  if (data.empty() || (!wide.empty() && widths(wide).empty())) {
    std::fprintf(stderr, "usage: gen_steps --data DIR [--n N] [--nan-steps M] [--seed S]\n"
                         "       gen_steps --data DIR --wide W1,W2,... [--wide-steps M] "
                         "[--seed S]\n");
    return 2;
  }
  try {
    const std::filesystem::path dir = data;
    std::filesystem::create_directories(dir);
    if (!wide.empty()) {
      for (const int w : widths(wide))
        write_wide(dir, seed, w, wide_steps);
      return 0;
    }
    const auto t0 = std::chrono::steady_clock::now();
    std::vector<std::size_t> sizes;
    sizes.reserve(n);
    {
      auto plain = open(dir / "steps.jsonl"), stamped = open(dir / "steps_ts.jsonl");
      Steps steps(seed, 0.0);
      std::string ts;
      for (std::size_t i = 0; i < n; ++i) {
        const std::string &s = steps.next(i);
        sizes.push_back(s.size());
        plain << s << '\n';
        ts = "{\"timestamp\": ";
        append_double(ts, kStartTime + static_cast<double>(i) * 0.01);
        stamped << ts << ", " << std::string_view(s).substr(1) << '\n';
      }
      if (!plain.flush() || !stamped.flush())
        throw std::runtime_error("cannot write the steps to " + dir.string());
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    {
      auto nan = open(dir / "steps_nan.jsonl");
      Steps steps(seed + 1, 0.02);
      for (std::size_t i = 0; i < nan_steps; ++i)
        nan << steps.next(i) << '\n';
      if (!nan.flush())
        throw std::runtime_error("cannot write the NaN steps to " + dir.string());
    }
    if (n > 0) {
      std::uint64_t total = 0;
      for (auto size : sizes)
        total += size;
      const auto [min, max] = std::minmax_element(sizes.begin(), sizes.end());
      const std::size_t smallest = *min, largest = *max;
      std::nth_element(sizes.begin(), sizes.begin() + n / 2, sizes.end());
      std::printf("steps=%zu payload_bytes mean=%.1f median=%zu min=%zu max=%zu "
                  "total_MB=%.1f gen_seconds=%.2f\n",
                  n, static_cast<double>(total) / n, sizes[n / 2], smallest, largest, total / 1e6,
                  seconds);
    }
  } catch (const std::exception &e) {
    std::fprintf(stderr, "gen_steps: %s\n", e.what());
    return 1;
  }
  return 0;
}
