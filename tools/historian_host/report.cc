#include "tools/historian_host/report.h"

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <tuple>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "networking/remote_historian/v2/bucket/remote_file.h"
#include "parquet/file_reader.h"
#include "s3/client.h"
#include "tools/historian_host/bucket_access.h"
#include "tools/historian_host/host.h"

namespace host {
namespace {

namespace fs = std::filesystem;
namespace v2 = networking::remote_historian::v2;

constexpr std::string_view kSummarySuffix = "_cycle_summary.parquet";
constexpr std::string_view kParquetSuffix = ".parquet";
constexpr std::string_view kEpisodesSuffix = "_episodes.parquet";
// Without a terminal, a progress line at most this often.
constexpr auto kProgressInterval = std::chrono::seconds(5);

// An input that is missing or not what the report reads; the message is the whole sentence.
class InputError : public std::runtime_error {
  using std::runtime_error::runtime_error;
};

using Opener = std::function<std::unique_ptr<parquet::FileReader>(const std::string &)>;

// The files of one run, named by local paths or by s3:// URLs, and how to open them.
struct RunFiles {
  std::string steps;
  std::string summary;
  // BASE_episodes.parquet beside the step file, when there is one.
  std::optional<std::string> episodes;
  Opener open;
};

std::string strip(std::string_view name, std::string_view suffix) {
  return std::string(name.substr(0, name.size() - suffix.size()));
}

// The last part of a path or URL.
std::string file_name(const std::string &path) { return path.substr(path.rfind('/') + 1); }

// The names that go with a step file's: its cycle summary and episodes file beside it.
std::string summary_beside(const std::string &steps) {
  return strip(steps, kParquetSuffix) + std::string(kSummarySuffix);
}
std::string episodes_beside(const std::string &steps) {
  return strip(steps, kParquetSuffix) + std::string(kEpisodesSuffix);
}

// The run whose step file is steps among several, the newest first: names the others on
// standard error.
void say_newest(const std::string &where, std::size_t runs, const std::string &steps) {
  if (runs > 1) {
    std::fprintf(stderr,
                 "report: %s holds %zu runs; reporting the newest, %s (name a step file to "
                 "choose another)\n",
                 where.c_str(), runs, file_name(steps).c_str());
  }
}

std::unique_ptr<parquet::FileReader> open_local(const std::string &path) {
  return parquet::FileReader::open(path);
}

RunFiles local_run(std::string steps, std::string summary) {
  std::error_code ec;
  RunFiles run{std::move(steps), std::move(summary), std::nullopt, open_local};
  if (fs::is_regular_file(episodes_beside(run.steps), ec))
    run.episodes = episodes_beside(run.steps);
  return run;
}

// The newest run of an output directory: the step file (by modification time) whose cycle
// summary lies beside it. Several runs are named on standard error.
RunFiles newest_run(const fs::path &dir) {
  std::vector<std::pair<fs::file_time_type, fs::path>> runs;
  std::error_code ec;
  for (const auto &entry : fs::directory_iterator(dir, ec)) {
    const std::string name = entry.path().filename().string();
    if (name.starts_with('.') || !name.ends_with(kSummarySuffix))
      continue;
    const fs::path steps = dir / (strip(name, kSummarySuffix) + std::string(kParquetSuffix));
    std::error_code time_ec;
    const auto time = fs::last_write_time(steps, time_ec);
    if (!time_ec && fs::is_regular_file(steps, time_ec))
      runs.emplace_back(time, steps);
  }
  if (ec)
    throw InputError("cannot read the directory " + dir.string() + ": " + ec.message());
  if (runs.empty()) {
    throw InputError(dir.string() + " holds no step file with its cycle summary beside it " +
                     "(NAME.parquet and NAME_cycle_summary.parquet)");
  }
  std::sort(runs.begin(), runs.end(), [](const auto &a, const auto &b) {
    return a.first != b.first ? a.first > b.first : a.second > b.second;
  });
  const std::string steps = runs.front().second.string();
  say_newest(dir.string(), runs.size(), steps);
  return local_run(steps, summary_beside(steps));
}

// The step file and cycle summary that a .parquet input names: itself and the other beside it.
// Throws InputError when the name is neither.
std::pair<std::string, std::string> run_of_file(const std::string &input, const std::string &path,
                                                std::string_view kind) {
  const std::string name = file_name(path);
  if (name.ends_with(kSummarySuffix))
    return {strip(path, kSummarySuffix) + std::string(kParquetSuffix), path};
  if (name.ends_with(kParquetSuffix))
    return {path, summary_beside(path)};
  throw InputError(input + " is neither " + std::string(kind));
}

RunFiles resolve(const std::string &input) {
  std::error_code ec;
  const fs::path path(input);
  if (fs::is_directory(path, ec))
    return newest_run(path);
  if (!fs::exists(path, ec))
    throw InputError(input + " does not exist");
  const auto [steps, summary] = run_of_file(input, input, "a directory nor a .parquet file");
  if (!fs::exists(steps, ec))
    throw InputError(input + " has no step file beside it (" + steps + ")");
  if (!fs::exists(summary, ec))
    throw InputError(input + " has no cycle summary beside it (" + summary + ")");
  return local_run(steps, summary);
}

// A run in a bucket, as for a directory: s3://BUCKET/PREFIX (its newest run, by the time its
// step object was last written) or s3://BUCKET/PREFIX/NAME.parquet. The files are read in
// place.
RunFiles resolve_in_bucket(const std::string &input,
                           const std::optional<std::string> &credentials_file) {
  const s3::Location where = s3::parse_location(input);
  const std::shared_ptr<s3::Client> client = open_bucket(where, credentials_file);
  const std::string root = "s3://" + where.bucket + "/";
  const auto key_of = [root](const std::string &url) { return url.substr(root.size()); };
  RunFiles run;
  run.open = [client, key_of](const std::string &url) {
    return parquet::FileReader::open(v2::RemoteFile::open(client, key_of(url)).input());
  };
  if (!where.prefix.empty() && client->head(where.prefix)) {
    const std::string url = root + where.prefix;
    std::tie(run.steps, run.summary) = run_of_file(input, url, "a prefix nor a .parquet object");
    if (!client->head(key_of(run.steps)))
      throw InputError(input + " has no step file beside it (" + run.steps + ")");
    if (!client->head(key_of(run.summary)))
      throw InputError(input + " has no cycle summary beside it (" + run.summary + ")");
    if (client->head(key_of(episodes_beside(run.steps))))
      run.episodes = episodes_beside(run.steps);
    return run;
  }
  // The objects directly under the prefix, by key: the parts under _parts/ are no runs.
  const std::string base = where.key("");
  std::map<std::string, s3::ObjectInfo> objects;
  for (s3::ObjectInfo &object : client->list(base)) {
    const std::string name = object.key.substr(base.size());
    if (name.find('/') == std::string::npos && !name.starts_with('.'))
      objects.emplace(object.key, std::move(object));
  }
  if (objects.empty())
    throw InputError(input + " does not exist");
  // ISO 8601 times of one form, so their text orders them.
  std::vector<std::pair<std::string, std::string>> runs;
  for (const auto &[key, object] : objects) {
    if (!key.ends_with(kSummarySuffix))
      continue;
    const std::string steps = strip(key, kSummarySuffix) + std::string(kParquetSuffix);
    if (const auto found = objects.find(steps); found != objects.end())
      runs.emplace_back(found->second.last_modified, steps);
  }
  if (runs.empty()) {
    throw InputError(input + " holds no step file with its cycle summary beside it " +
                     "(NAME.parquet and NAME_cycle_summary.parquet)");
  }
  std::sort(runs.begin(), runs.end(), std::greater<>());
  run.steps = root + runs.front().second;
  run.summary = summary_beside(run.steps);
  if (objects.contains(episodes_beside(runs.front().second)))
    run.episodes = episodes_beside(run.steps);
  say_newest(input, runs.size(), run.steps);
  return run;
}

struct CycleRow {
  std::int64_t index = 0;
  std::optional<double> average;
  std::string skill; // "" for none
};

struct Summary {
  std::string skill;
  std::vector<CycleRow> cycles; // in file order, metadata rows left out
};

std::size_t column_of(const parquet::FileReader &reader, std::string_view name, parquet::Type type,
                      std::string_view what) {
  const auto index = reader.schema().index_of(name);
  if (!index || reader.schema().field(*index).type != type) {
    throw InputError(reader.path() + " is not " + std::string(what) + ": it has no " +
                     std::string(parquet::type_name(type)) + " column '" + std::string(name) + "'");
  }
  return *index;
}

Summary read_summary(const parquet::FileReader &reader) {
  constexpr std::string_view kWhat = "a cycle summary";
  const std::size_t index = column_of(reader, "cycle_index", parquet::Type::kInt64, kWhat);
  const std::size_t average = column_of(reader, "average_reward", parquet::Type::kDouble, kWhat);
  const std::size_t metadata = column_of(reader, "is_metadata", parquet::Type::kBool, kWhat);
  const auto skill = reader.schema().index_of("skill_name");
  const parquet::Table table = reader.read_all();
  Summary summary;
  for (std::size_t r = 0; r < table.num_rows(); ++r) {
    const parquet::Column &m = table.columns[metadata];
    if (m.valid[r] && m.bools[r]) {
      const parquet::Column *s = skill ? &table.columns[*skill] : nullptr;
      if (s && s->type == parquet::Type::kString && s->valid[r] && summary.skill.empty())
        summary.skill = s->strings[r];
      continue;
    }
    CycleRow row;
    row.index = table.columns[index].valid[r] ? table.columns[index].ints[r] : 0;
    if (table.columns[average].valid[r])
      row.average = table.columns[average].doubles[r];
    const parquet::Column *s = skill ? &table.columns[*skill] : nullptr;
    if (s && s->type == parquet::Type::kString && s->valid[r])
      row.skill = s->strings[r];
    summary.cycles.push_back(row);
  }
  return summary;
}

std::string with_commas(std::int64_t n) {
  std::string digits = std::to_string(n < 0 ? -n : n);
  std::string out = n < 0 ? "-" : "";
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0)
      out += ',';
    out += digits[i];
  }
  return out;
}

// One line per row group on a terminal (rewritten in place); otherwise one every few seconds.
class Progress {
public:
  explicit Progress(std::size_t groups) : _groups(groups), _tty(isatty(STDERR_FILENO) == 1) {}
  void update(std::size_t done, std::int64_t rows) {
    if (_groups < 2)
      return;
    const auto now = std::chrono::steady_clock::now();
    if (_tty) {
      std::fprintf(stderr, "\rreport: row group %zu/%zu, %s rows", done, _groups,
                   with_commas(rows).c_str());
      _shown = true;
    } else if (now - _last >= kProgressInterval && done < _groups) {
      std::fprintf(stderr, "report: row group %zu/%zu, %s rows\n", done, _groups,
                   with_commas(rows).c_str());
      _last = now;
    }
  }
  void finish() const {
    if (_shown)
      std::fputc('\n', stderr);
  }

private:
  std::size_t _groups;
  bool _tty;
  bool _shown = false;
  std::chrono::steady_clock::time_point _last = std::chrono::steady_clock::now();
};

struct Episode {
  double total_reward = 0;
  std::int64_t length = 0;
  std::int64_t end_step = 0; // steps read up to and including the episode's last one
};

struct StepScan {
  std::vector<Episode> ended; // in the order of their last steps
  std::int64_t steps = 0;
  std::size_t unfinished = 0;
};

// Adds up each episode's rewards and steps, row group by row group. An episode ends at its
// first step that is terminated or truncated; a step without an episode id belongs to none.
StepScan scan_steps(const parquet::FileReader &reader) {
  constexpr std::string_view kWhat = "a step file";
  const std::vector<std::size_t> columns = {
      column_of(reader, "episode_id", parquet::Type::kString, kWhat),
      column_of(reader, "reward", parquet::Type::kDouble, kWhat),
      column_of(reader, "terminated", parquet::Type::kBool, kWhat),
      column_of(reader, "truncated", parquet::Type::kBool, kWhat)};
  struct Open {
    double total_reward = 0;
    std::int64_t length = 0;
  };
  std::unordered_map<std::string, Open> open;
  StepScan scan;
  const std::size_t groups = reader.row_groups().size();
  Progress progress(groups);
  for (std::size_t g = 0; g < groups; ++g) {
    parquet::Table t = reader.read_columns(g, columns);
    parquet::Column &episode = t.columns[0];
    const parquet::Column &reward = t.columns[1];
    const parquet::Column &terminated = t.columns[2];
    const parquet::Column &truncated = t.columns[3];
    for (std::size_t r = 0; r < t.num_rows(); ++r) {
      ++scan.steps;
      if (!episode.valid[r])
        continue;
      const auto it = open.try_emplace(std::move(episode.strings[r])).first;
      it->second.total_reward += reward.valid[r] ? reward.doubles[r] : 0.0;
      ++it->second.length;
      if ((terminated.valid[r] && terminated.bools[r]) ||
          (truncated.valid[r] && truncated.bools[r])) {
        scan.ended.push_back({it->second.total_reward, it->second.length, scan.steps});
        open.erase(it);
      }
    }
    progress.update(g + 1, scan.steps);
  }
  progress.finish();
  scan.unfinished = open.size();
  return scan;
}

bool same_average(double mean, double average) {
  return std::abs(mean - average) <= 1e-9 * std::max(1.0, std::abs(average));
}

// Which ended episodes belong to which cycle. The step file does not name the cycle; the
// historian closes a cycle with the average total reward of the episodes that ended in it
// (0 when none did), so the cycles are consecutive runs of ended episodes with those averages.
// ends[k] is one past the last episode of cycle k; episodes after the last cycle belong to the
// cycle still open. Where several splits fit, the earliest is taken and ambiguous is set.
struct Partition {
  std::vector<std::size_t> ends;
  bool ambiguous = false;
};

class Partitioner {
public:
  Partitioner(const std::vector<Episode> &ended, const std::vector<CycleRow> &cycles)
      : _ended(ended), _cycles(cycles), _dead(cycles.size()) {}

  std::optional<Partition> solve() {
    _partition.ends.assign(_cycles.size(), 0);
    if (!_fit(0, 0))
      return std::nullopt;
    return _partition;
  }

private:
  // True when cycles k... can start at episode `start`; fills _partition.ends[k...].
  bool _fit(std::size_t k, std::size_t start) {
    if (k == _cycles.size())
      return true;
    if (_dead[k].contains(start))
      return false;
    const std::optional<double> &average = _cycles[k].average;
    std::vector<std::size_t> candidates;
    if (!average || *average == 0.0)
      candidates.push_back(start);
    double sum = 0;
    for (std::size_t e = start; e < _ended.size(); ++e) {
      sum += _ended[e].total_reward;
      if (!average || same_average(sum / static_cast<double>(e - start + 1), *average))
        candidates.push_back(e + 1);
    }
    for (const std::size_t end : candidates) {
      if (_fit(k + 1, end)) {
        _partition.ends[k] = end;
        _partition.ambiguous = _partition.ambiguous || candidates.size() > 1;
        return true;
      }
    }
    _dead[k].insert(start);
    return false;
  }

  const std::vector<Episode> &_ended;
  const std::vector<CycleRow> &_cycles;
  std::vector<std::unordered_set<std::size_t>> _dead;
  Partition _partition;
};

struct Spread {
  double min = 0, q1 = 0, median = 0, q3 = 0, max = 0, mean = 0;
};

// Quartiles by linear interpolation between the closest ranks (DuckDB's quantile_cont).
Spread spread_of(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const auto at = [&v](double p) {
    const double pos = p * static_cast<double>(v.size() - 1);
    const auto lo = static_cast<std::size_t>(std::floor(pos));
    const std::size_t hi = std::min(lo + 1, v.size() - 1);
    return v[lo] + (pos - static_cast<double>(lo)) * (v[hi] - v[lo]);
  };
  double sum = 0;
  for (const double x : v)
    sum += x;
  return {v.front(), at(0.25), at(0.5), at(0.75), v.back(), sum / static_cast<double>(v.size())};
}

struct CycleFigures {
  std::int64_t index = 0;
  std::optional<double> average;
  std::string skill;
  bool split = false; // steps and episodes known
  std::int64_t steps = 0;
  std::size_t episodes = 0;
  std::optional<Spread> returns;
  std::optional<Spread> lengths;
};

// An episode of the chart of returns against lengths.
struct EpisodePoint {
  double length = 0;
  double episode_return = 0;
  std::optional<std::size_t> cycle; // the closed cycle that counted it, by position
  bool complete = true;             // false: it had not ended at the stop
};

struct Report {
  std::string title;
  std::string skill;
  std::vector<CycleFigures> cycles;
  std::int64_t steps = 0;
  std::size_t episodes = 0;
  std::int64_t open_steps = 0; // after the last closed cycle
  std::size_t open_ended = 0;
  std::size_t unfinished = 0;
  bool split = false;
  // Set when the run's files name the cycle of every step and episode: the file they came
  // from, each episode for the chart of returns against lengths, and whether the cycles need
  // their skill to be told apart.
  std::string recorded_in;
  std::vector<EpisodePoint> points;
  bool skills_shown = false;
};

// ---- the cycles as the run recorded them ----

// The step file of a run that wrote its episodes file names each step's cycle: then both are
// read as they are and nothing is inferred.
bool cycles_recorded(const RunFiles &run, const parquet::FileReader &steps) {
  if (!run.episodes)
    return false;
  const auto index = steps.schema().index_of("cycle_index");
  return index && steps.schema().field(*index).type == parquet::Type::kInt64;
}

// A cycle as the files name it: the skill ("" for none) and its index.
using CycleKey = std::pair<std::string, std::int64_t>;

struct RecordedSteps {
  std::map<CycleKey, std::int64_t> per_cycle; // by the cycle each step was taken in
  std::int64_t total = 0;
};

std::string text_or_empty(const parquet::Column &column, std::size_t row) {
  return column.valid[row] ? column.strings[row] : std::string();
}

RecordedSteps read_recorded_steps(const parquet::FileReader &reader) {
  constexpr std::string_view kWhat = "a step file";
  const std::vector<std::size_t> columns = {
      column_of(reader, "skill_name", parquet::Type::kString, kWhat),
      column_of(reader, "cycle_index", parquet::Type::kInt64, kWhat)};
  RecordedSteps steps;
  const std::size_t groups = reader.row_groups().size();
  Progress progress(groups);
  for (std::size_t g = 0; g < groups; ++g) {
    const parquet::Table t = reader.read_columns(g, columns);
    for (std::size_t r = 0; r < t.num_rows(); ++r) {
      // A step without a cycle (none is written so) counts toward no closed one: no cycle 0
      // closes.
      const std::int64_t cycle = t.columns[1].valid[r] ? t.columns[1].ints[r] : 0;
      ++steps.per_cycle[{text_or_empty(t.columns[0], r), cycle}];
      ++steps.total;
    }
    progress.update(g + 1, steps.total);
  }
  progress.finish();
  return steps;
}

// Per closed cycle the episodes whose rows name it (skill and cycle_index); the others are
// counted as open. Each cycle's steps are those taken in it.
// Requires: run.episodes.
Report recorded_report(const RunFiles &run, const Summary &summary,
                       const parquet::FileReader &steps_file) {
  const std::string &episodes_path = *run.episodes;
  Report report;
  report.title = file_name(run.steps);
  report.skill = summary.skill;
  report.recorded_in = file_name(episodes_path);
  report.split = true;
  std::map<CycleKey, std::size_t> position;
  for (std::size_t k = 0; k < summary.cycles.size(); ++k) {
    const CycleRow &c = summary.cycles[k];
    position.try_emplace({c.skill, c.index}, k);
    report.skills_shown = report.skills_shown || c.skill != summary.cycles.front().skill;
  }

  const auto reader = run.open(episodes_path);
  constexpr std::string_view kWhat = "an episodes file";
  const std::vector<std::size_t> columns = {
      column_of(*reader, "skill_name", parquet::Type::kString, kWhat),
      column_of(*reader, "cycle_index", parquet::Type::kInt64, kWhat),
      column_of(*reader, "episode_length", parquet::Type::kInt64, kWhat),
      column_of(*reader, "episode_return", parquet::Type::kDouble, kWhat),
      column_of(*reader, "complete", parquet::Type::kBool, kWhat)};
  std::vector<std::vector<double>> returns(summary.cycles.size());
  std::vector<std::vector<double>> lengths(summary.cycles.size());
  for (std::size_t g = 0; g < reader->row_groups().size(); ++g) {
    const parquet::Table t = reader->read_columns(g, columns);
    const parquet::Column &cycle = t.columns[1];
    for (std::size_t r = 0; r < t.num_rows(); ++r) {
      EpisodePoint point;
      point.length = t.columns[2].valid[r] ? static_cast<double>(t.columns[2].ints[r]) : 0.0;
      point.episode_return = t.columns[3].valid[r] ? t.columns[3].doubles[r] : 0.0;
      point.complete = !t.columns[4].valid[r] || t.columns[4].bools[r];
      if (!point.complete) {
        ++report.unfinished;
      } else {
        ++report.episodes;
        const auto found = cycle.valid[r]
                               ? position.find({text_or_empty(t.columns[0], r), cycle.ints[r]})
                               : position.end();
        if (found == position.end()) {
          ++report.open_ended;
        } else {
          point.cycle = found->second;
          returns[found->second].push_back(point.episode_return);
          lengths[found->second].push_back(point.length);
        }
      }
      report.points.push_back(point);
    }
  }

  const RecordedSteps steps = read_recorded_steps(steps_file);
  report.steps = report.open_steps = steps.total;
  std::string disagree;
  std::size_t disagreeing = 0;
  for (std::size_t k = 0; k < summary.cycles.size(); ++k) {
    const CycleRow &row = summary.cycles[k];
    CycleFigures c;
    c.index = row.index;
    c.average = row.average;
    c.skill = row.skill;
    c.split = true;
    c.episodes = returns[k].size();
    if (const auto it = steps.per_cycle.find({row.skill, row.index}); it != steps.per_cycle.end())
      c.steps = it->second;
    report.open_steps -= c.steps;
    double sum = 0;
    for (const double r : returns[k])
      sum += r;
    // The historian's average is the mean return of the episodes the cycle counted, 0 for none.
    const double mean = returns[k].empty() ? 0.0 : sum / static_cast<double>(returns[k].size());
    if (row.average && !same_average(mean, *row.average)) {
      disagree += (disagree.empty() ? "" : ", ") + (report.skills_shown ? row.skill + " " : "") +
                  std::to_string(row.index);
      ++disagreeing;
    }
    if (!returns[k].empty()) {
      c.returns = spread_of(std::move(returns[k]));
      c.lengths = spread_of(std::move(lengths[k]));
    }
    report.cycles.push_back(c);
  }
  if (!disagree.empty()) {
    std::fprintf(stderr,
                 "report: the episodes of %s %s in %s do not add up to %s in %s (rows lost to a "
                 "failed write?)\n",
                 disagreeing > 1 ? "cycles" : "cycle", disagree.c_str(), episodes_path.c_str(),
                 disagreeing > 1 ? "their averages" : "its average", run.summary.c_str());
  }
  return report;
}

Report build_report(const RunFiles &run) {
  const Summary summary = read_summary(*run.open(run.summary));
  const auto steps = run.open(run.steps);
  if (cycles_recorded(run, *steps))
    return recorded_report(run, summary, *steps);
  const StepScan scan = scan_steps(*steps);
  Report report;
  report.title = file_name(run.steps);
  report.skill = summary.skill;
  report.steps = scan.steps;
  report.episodes = scan.ended.size();
  report.unfinished = scan.unfinished;
  const std::optional<Partition> partition = Partitioner(scan.ended, summary.cycles).solve();
  if (!partition) {
    std::fprintf(stderr,
                 "report: the episodes of %s do not add up to the averages of %s (rows lost to "
                 "a failed write?); steps and episodes per cycle are left out\n",
                 run.steps.c_str(), run.summary.c_str());
  } else if (partition->ambiguous) {
    std::fprintf(stderr, "report: several splits of the episodes into cycles fit the averages; "
                         "the earliest is shown\n");
  }
  report.split = partition.has_value();
  std::size_t first = 0;
  std::int64_t step = 0;
  for (std::size_t k = 0; k < summary.cycles.size(); ++k) {
    CycleFigures c;
    c.index = summary.cycles[k].index;
    c.average = summary.cycles[k].average;
    if (partition) {
      const std::size_t end = partition->ends[k];
      const std::int64_t end_step = end > first ? scan.ended[end - 1].end_step : step;
      c.split = true;
      c.steps = end_step - step;
      c.episodes = end - first;
      if (end > first) {
        std::vector<double> returns, lengths;
        for (std::size_t e = first; e < end; ++e) {
          returns.push_back(scan.ended[e].total_reward);
          lengths.push_back(static_cast<double>(scan.ended[e].length));
        }
        c.returns = spread_of(std::move(returns));
        c.lengths = spread_of(std::move(lengths));
      }
      first = end;
      step = end_step;
    }
    report.cycles.push_back(c);
  }
  if (partition) {
    report.open_steps = scan.steps - step;
    report.open_ended = scan.ended.size() - first;
  }
  return report;
}

// ---- text ----

void print_table(const Report &report) {
  if (!report.recorded_in.empty())
    std::printf("episodes and steps per cycle as recorded in %s and the steps' cycle_index\n",
                report.recorded_in.c_str());
  // Cycles of several skills share their indices: then each line starts with its skill.
  int skill_width = 0;
  if (report.skills_shown)
    for (const CycleFigures &c : report.cycles)
      skill_width = std::max({skill_width, 5, static_cast<int>(c.skill.size())});
  if (skill_width > 0)
    std::printf("%-*s ", skill_width, "skill");
  std::printf("%6s %12s %9s %15s %12s %14s %12s\n", "cycle", "steps", "episodes", "average_reward",
              "mean_return", "median_return", "mean_length");
  const auto number = [](const std::optional<double> &v, int width) {
    char text[64];
    if (v)
      std::snprintf(text, sizeof text, " %*.4f", width, *v);
    else
      std::snprintf(text, sizeof text, " %*s", width, "-");
    return std::string(text);
  };
  for (const CycleFigures &c : report.cycles) {
    std::string line = std::to_string(c.index);
    line.insert(0, line.size() < 6 ? 6 - line.size() : 0, ' ');
    if (skill_width > 0)
      line.insert(0, c.skill + std::string(skill_width - c.skill.size() + 1, ' '));
    char counts[64];
    if (c.split)
      std::snprintf(counts, sizeof counts, " %12lld %9zu", static_cast<long long>(c.steps),
                    c.episodes);
    else
      std::snprintf(counts, sizeof counts, " %12s %9s", "-", "-");
    line += counts;
    line += number(c.average, 15);
    line += number(c.returns ? std::optional(c.returns->mean) : std::nullopt, 12);
    line += number(c.returns ? std::optional(c.returns->median) : std::nullopt, 14);
    line += number(c.lengths ? std::optional(c.lengths->mean) : std::nullopt, 12);
    std::printf("%s\n", line.c_str());
  }
  if (report.open_steps > 0 || report.unfinished > 0) {
    std::printf("not yet closed by a training result: %s steps, %zu episodes ended, %zu "
                "unfinished\n",
                with_commas(report.open_steps).c_str(), report.open_ended, report.unfinished);
  }
}

// ---- SVG ----

std::string escape(std::string_view text) {
  std::string out;
  for (const char ch : text) {
    switch (ch) {
    case '&':
      out += "&amp;";
      break;
    case '<':
      out += "&lt;";
      break;
    case '>':
      out += "&gt;";
      break;
    case '"':
      out += "&quot;";
      break;
    case '\'':
      out += "&apos;";
      break;
    default:
      // XML 1.0 allows no other control characters, not even as references.
      out += static_cast<unsigned char>(ch) < 0x20 && ch != '\t' && ch != '\n' ? '?' : ch;
    }
  }
  return out;
}

// Shortest text that reads back as the same double.
std::string exact(double v) {
  char text[32];
  const auto result = std::to_chars(text, text + sizeof text, v);
  return std::string(text, result.ptr);
}

std::string fixed(double v, int digits = 1) {
  char text[48];
  std::snprintf(text, sizeof text, "%.*f", digits, v);
  return text;
}

std::string tick_label(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.6g", std::abs(v) < 1e-12 ? 0.0 : v);
  return text;
}

// The range of an axis, widened to whole multiples of a round step (1, 2 or 5 times a power
// of ten) so that it has about five; non-finite values are left out.
struct Scale {
  double lo = 0, hi = 1, step = 1;
  bool empty = false;

  Scale(const std::vector<double> &values, bool from_zero) {
    std::vector<double> finite;
    for (const double v : values)
      if (std::isfinite(v))
        finite.push_back(v);
    empty = finite.empty();
    lo = empty ? 0 : *std::min_element(finite.begin(), finite.end());
    hi = empty ? 1 : *std::max_element(finite.begin(), finite.end());
    if (from_zero)
      lo = std::min(lo, 0.0);
    if (!(hi > lo)) {
      lo -= 1;
      hi += 1;
    }
    const double raw = (hi - lo) / 5;
    const double magnitude = std::pow(10, std::floor(std::log10(raw)));
    const double f = raw / magnitude;
    step = (f < 1.5 ? 1 : f < 3 ? 2 : f < 7 ? 5 : 10) * magnitude;
    lo = std::floor(lo / step) * step;
    hi = std::ceil(hi / step) * step;
  }
  int ticks() const { return static_cast<int>(std::lround((hi - lo) / step)); }
  double fraction(double v) const { return (v - lo) / (hi - lo); }
};

// One chart: cycles along x (or a second value), a value along y, with axes, grid, tick labels
// and titles.
class Chart {
public:
  static constexpr double kWidth = 960;
  static constexpr double kHeight = 290;

  Chart(std::ostringstream &svg, double top, std::size_t cycles, const std::vector<double> &values,
        bool from_zero)
      : _svg(svg), _top(top), _n(std::max<std::size_t>(cycles, 1)), _y(values, from_zero) {}
  // Values along x too.
  Chart(std::ostringstream &svg, double top, const std::vector<double> &x_values,
        const std::vector<double> &y_values)
      : _svg(svg), _top(top), _n(1), _y(y_values, false), _x(Scale(x_values, false)) {}

  double x(std::size_t i) const { return kLeft + (static_cast<double>(i) + 0.5) * _slot(); }
  double x_at(double v) const { return kLeft + _x->fraction(v) * _plot_width(); }
  double y(double v) const { return _bottom() - _y.fraction(v) * _plot_height(); }
  double y0() const { return y(std::max(_y.lo, 0.0)); }
  double slot() const { return _slot(); }
  double right() const { return kLeft + _plot_width(); }

  void frame(const std::string &title, const std::string &y_title,
             const std::vector<std::int64_t> &labels) const {
    _heading(title);
    const std::size_t stride = std::max<std::size_t>(1, (labels.size() + 19) / 20);
    for (std::size_t i = 0; i < labels.size(); i += stride)
      _x_tick(x(i), std::to_string(labels[i]));
    _axes("cycle", y_title, _y.empty);
  }
  // The frame of a chart with values along x.
  void frame(const std::string &title, const std::string &x_title,
             const std::string &y_title) const {
    _heading(title);
    for (int t = 0; t <= _x->ticks(); ++t) {
      const double v = _x->lo + t * _x->step;
      _x_tick(x_at(v), tick_label(v));
    }
    _axes(x_title, y_title, _y.empty || _x->empty);
  }

private:
  static constexpr double kLeft = 80;
  static constexpr double kRight = 30;
  static constexpr double kPadTop = 36;
  static constexpr double kPadBottom = 50;
  double _plot_width() const { return kWidth - kLeft - kRight; }
  double _plot_height() const { return kHeight - kPadTop - kPadBottom; }
  double _bottom() const { return _top + kPadTop + _plot_height(); }
  double _slot() const { return _plot_width() / static_cast<double>(_n); }

  // The title and the grid lines of y with their labels.
  void _heading(const std::string &title) const {
    _svg << "<text class=\"chart-title\" x=\"" << kLeft << "\" y=\"" << fixed(_top + 22)
         << "\" font-size=\"15\" font-weight=\"bold\">" << escape(title) << "</text>\n";
    for (int t = 0; t <= _y.ticks(); ++t) {
      const double v = _y.lo + t * _y.step;
      const std::string yy = fixed(y(v));
      _svg << "<line x1=\"" << kLeft << "\" x2=\"" << kLeft + _plot_width() << "\" y1=\"" << yy
           << "\" y2=\"" << yy << "\" stroke=\"#e3e3e3\"/>\n";
      _svg << "<text x=\"" << kLeft - 6 << "\" y=\"" << fixed(y(v) + 4) << "\" text-anchor=\"end\">"
           << tick_label(v) << "</text>\n";
    }
  }
  void _x_tick(double at, const std::string &label) const {
    _svg << "<line x1=\"" << fixed(at) << "\" x2=\"" << fixed(at) << "\" y1=\"" << fixed(_bottom())
         << "\" y2=\"" << fixed(_bottom() + 5) << "\" stroke=\"#333\"/>\n";
    _svg << "<text x=\"" << fixed(at) << "\" y=\"" << fixed(_bottom() + 18)
         << "\" text-anchor=\"middle\">" << label << "</text>\n";
  }
  // The axis lines, their titles, and "no data" over an empty chart.
  void _axes(const std::string &x_title, const std::string &y_title, bool empty) const {
    _svg << "<path d=\"M" << kLeft << ' ' << fixed(_top + kPadTop) << " V" << fixed(_bottom())
         << " H" << kLeft + _plot_width() << "\" fill=\"none\" stroke=\"#333\"/>\n";
    _svg << "<text x=\"" << kLeft + _plot_width() / 2 << "\" y=\"" << fixed(_bottom() + 36)
         << "\" text-anchor=\"middle\">" << escape(x_title) << "</text>\n";
    const double mid = _top + kPadTop + _plot_height() / 2;
    _svg << "<text x=\"18\" y=\"" << fixed(mid) << "\" text-anchor=\"middle\" transform=\"rotate("
         << "-90 18 " << fixed(mid) << ")\">" << escape(y_title) << "</text>\n";
    if (empty) {
      _svg << "<text x=\"" << kLeft + _plot_width() / 2 << "\" y=\"" << fixed(mid)
           << "\" text-anchor=\"middle\" fill=\"#888\">no data</text>\n";
    }
  }

  std::ostringstream &_svg;
  double _top;
  std::size_t _n;
  Scale _y;
  std::optional<Scale> _x;
};

// "cycle 3", or "walk cycle 3" where the cycles of several skills are shown.
std::string cycle_name(const Report &report, const CycleFigures &c) {
  return (report.skills_shown ? c.skill + " " : "") + "cycle " + std::to_string(c.index);
}

void spread_attributes(std::ostringstream &svg, std::string_view name, const Spread &s) {
  const std::pair<std::string_view, double> values[] = {{"min", s.min},       {"q1", s.q1},
                                                        {"median", s.median}, {"q3", s.q3},
                                                        {"max", s.max},       {"mean", s.mean}};
  for (const auto &[key, value] : values)
    svg << " data-" << name << '-' << key << "=\"" << exact(value) << '"';
}

std::string spread_title(const Spread &s) {
  return "min " + fixed(s.min, 4) + ", quartiles " + fixed(s.q1, 4) + " / " + fixed(s.median, 4) +
         " / " + fixed(s.q3, 4) + ", max " + fixed(s.max, 4) + ", mean " + fixed(s.mean, 4);
}

void box_plots(std::ostringstream &svg, double top, const Report &report, const char *title,
               const char *y_title, const std::optional<Spread> CycleFigures::*member,
               const char *color) {
  std::vector<double> values;
  std::vector<std::int64_t> labels;
  for (const CycleFigures &c : report.cycles) {
    labels.push_back(c.index);
    if (const auto &s = c.*member) {
      values.push_back(s->min);
      values.push_back(s->max);
    }
  }
  const Chart chart(svg, top, report.cycles.size(), values, false);
  chart.frame(title, y_title, labels);
  const double half = std::min(20.0, chart.slot() * 0.3);
  for (std::size_t i = 0; i < report.cycles.size(); ++i) {
    const auto &s = report.cycles[i].*member;
    if (!s || !std::isfinite(s->min) || !std::isfinite(s->max))
      continue;
    const std::string x = fixed(chart.x(i));
    svg << "<g><title>" << escape(cycle_name(report, report.cycles[i])) << ": " << spread_title(*s)
        << "</title>\n";
    svg << "<line x1=\"" << x << "\" x2=\"" << x << "\" y1=\"" << fixed(chart.y(s->min))
        << "\" y2=\"" << fixed(chart.y(s->max)) << "\" stroke=\"#333\"/>\n";
    svg << "<rect x=\"" << fixed(chart.x(i) - half) << "\" y=\"" << fixed(chart.y(s->q3))
        << "\" width=\"" << fixed(2 * half) << "\" height=\""
        << fixed(std::max(1.0, chart.y(s->q1) - chart.y(s->q3))) << "\" fill=\"" << color
        << "\" stroke=\"#333\"/>\n";
    for (const double v : {s->min, s->median, s->max}) {
      const double w = v == s->median ? half : half / 2;
      svg << "<line x1=\"" << fixed(chart.x(i) - w) << "\" x2=\"" << fixed(chart.x(i) + w)
          << "\" y1=\"" << fixed(chart.y(v)) << "\" y2=\"" << fixed(chart.y(v))
          << "\" stroke=\"#333\" stroke-width=\"" << (v == s->median ? 2 : 1) << "\"/>\n";
    }
    svg << "<circle cx=\"" << x << "\" cy=\"" << fixed(chart.y(s->mean))
        << "\" r=\"2.5\" fill=\"#fff\" stroke=\"#333\"/>\n</g>\n";
  }
}

// At most this many episodes are drawn as dots: beyond it, every n-th in file order.
constexpr std::size_t kMaxDots = 2000;

// "#rrggbb" from light blue (0) to dark blue (1).
std::string shade(double t) {
  constexpr int kLight[] = {107, 174, 214};
  constexpr int kDark[] = {8, 48, 107};
  char text[8];
  int c[3];
  for (int i = 0; i < 3; ++i)
    c[i] = static_cast<int>(std::lround(kLight[i] + t * (kDark[i] - kLight[i])));
  std::snprintf(text, sizeof text, "#%02x%02x%02x", c[0], c[1], c[2]);
  return text;
}

// Each episode as a dot: its length along x and its return along y, filled in the shade of the
// cycle that counted it (later cycles darker); an episode that no closed cycle counted is an
// open circle.
void episode_scatter(std::ostringstream &svg, double top, const Report &report) {
  const std::size_t every =
      std::max<std::size_t>(1, (report.points.size() + kMaxDots - 1) / kMaxDots);
  std::vector<const EpisodePoint *> shown;
  std::vector<double> xs, ys;
  for (std::size_t i = 0; i < report.points.size(); i += every) {
    const EpisodePoint &p = report.points[i];
    if (!std::isfinite(p.length) || !std::isfinite(p.episode_return))
      continue;
    shown.push_back(&p);
    xs.push_back(p.length);
    ys.push_back(p.episode_return);
  }
  std::string title = "Episode return against length";
  if (every > 1)
    title += " (1 in " + std::to_string(every) + " of " +
             with_commas(static_cast<std::int64_t>(report.points.size())) + " episodes)";
  // A margin of a twentieth of the spread on each side keeps the dots off the axes.
  std::vector<double> x_range = xs, y_range = ys;
  if (!xs.empty()) {
    const auto [x_lo, x_hi] = std::minmax_element(xs.begin(), xs.end());
    const auto [y_lo, y_hi] = std::minmax_element(ys.begin(), ys.end());
    x_range.push_back(*x_lo - (*x_hi - *x_lo) / 20);
    x_range.push_back(*x_hi + (*x_hi - *x_lo) / 20);
    y_range.push_back(*y_lo - (*y_hi - *y_lo) / 20);
    y_range.push_back(*y_hi + (*y_hi - *y_lo) / 20);
  }
  const Chart chart(svg, top, x_range, y_range);
  chart.frame(title, "steps per episode", "episode return");
  const std::size_t cycles = report.cycles.size();
  const auto fill_of = [&](std::size_t k) {
    return shade(cycles > 1 ? static_cast<double>(k) / static_cast<double>(cycles - 1) : 1.0);
  };
  // The legend, right-aligned on the title's line.
  const double y = top + 22;
  double x = chart.right();
  const auto legend = [&](const std::string &text, const std::string &style) {
    x -= 12 + 7 * static_cast<double>(text.size());
    svg << "<circle cx=\"" << fixed(x) << "\" cy=\"" << fixed(y - 4) << "\" r=\"4\" " << style
        << "/>\n<text x=\"" << fixed(x + 8) << "\" y=\"" << fixed(y) << "\">" << escape(text)
        << "</text>\n";
    x -= 14;
  };
  const auto counted = [](const EpisodePoint *p) { return p->cycle.has_value(); };
  if (!std::all_of(shown.begin(), shown.end(), counted))
    legend("not counted by a closed cycle", "fill=\"none\" stroke=\"#888\"");
  if (std::any_of(shown.begin(), shown.end(), counted)) {
    if (cycles > 1)
      legend(cycle_name(report, report.cycles.back()), "fill=\"" + fill_of(cycles - 1) + "\"");
    legend(cycle_name(report, report.cycles.front()), "fill=\"" + fill_of(0) + "\"");
  }
  svg << "<g class=\"episodes\">\n";
  for (const EpisodePoint *p : shown) {
    svg << "<circle class=\"episode\" cx=\"" << fixed(chart.x_at(p->length)) << "\" cy=\""
        << fixed(chart.y(p->episode_return)) << "\" r=\"3\" data-length=\"" << exact(p->length)
        << "\" data-return=\"" << exact(p->episode_return) << '"';
    std::string what;
    if (p->cycle) {
      const CycleFigures &c = report.cycles[*p->cycle];
      svg << " data-cycle=\"" << c.index << "\" fill=\"" << fill_of(*p->cycle)
          << "\" fill-opacity=\"0.75\"";
      what = cycle_name(report, c);
    } else {
      svg << " fill=\"none\" stroke=\"#888\"";
      what = p->complete ? "ended after the last training result" : "unfinished at the stop";
    }
    svg << "><title>" << escape(what) << ": " << exact(p->length) << " steps, return "
        << fixed(p->episode_return, 4) << "</title></circle>\n";
  }
  svg << "</g>\n";
}

std::string render_svg(const Report &report) {
  constexpr double kHeader = 70;
  const bool scatter = !report.recorded_in.empty();
  const double height = kHeader + (scatter ? 5 : 4) * Chart::kHeight + 20;
  std::ostringstream svg;
  svg << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << Chart::kWidth << "\" height=\""
      << height << "\" viewBox=\"0 0 " << Chart::kWidth << ' ' << height
      << "\" font-family=\"sans-serif\" font-size=\"12\">\n"
      << "<rect width=\"100%\" height=\"100%\" fill=\"#fff\"/>\n";
  svg << "<text x=\"80\" y=\"30\" font-size=\"18\" font-weight=\"bold\">Training report: "
      << escape(report.title) << "</text>\n";
  std::string subtitle = report.skill.empty() ? "" : "skill " + report.skill + ", ";
  subtitle += std::to_string(report.cycles.size()) + " cycles, " + with_commas(report.steps) +
              " steps, " + with_commas(static_cast<std::int64_t>(report.episodes)) +
              " episodes ended";
  if (!report.split)
    subtitle += "; steps and episodes per cycle unknown (the files do not agree)";
  if (scatter)
    subtitle += "; episodes and steps per cycle as the run recorded them";
  svg << "<text x=\"80\" y=\"52\" fill=\"#555\">" << escape(subtitle) << "</text>\n";

  std::vector<std::int64_t> labels;
  std::vector<double> averages, steps;
  for (const CycleFigures &c : report.cycles) {
    labels.push_back(c.index);
    if (c.average)
      averages.push_back(*c.average);
    steps.push_back(static_cast<double>(c.steps));
  }

  // The learning curve; each cycle's group carries its figures as data attributes.
  double top = kHeader;
  {
    const Chart chart(svg, top, report.cycles.size(), averages, false);
    chart.frame("Average reward per cycle", "average episode reward", labels);
    std::string points;
    for (std::size_t i = 0; i < report.cycles.size(); ++i) {
      const auto &a = report.cycles[i].average;
      if (a && std::isfinite(*a))
        points.append(points.empty() ? "" : " ")
            .append(fixed(chart.x(i)))
            .append(",")
            .append(fixed(chart.y(*a)));
    }
    svg << "<polyline points=\"" << points << "\" fill=\"none\" stroke=\"#1f77b4\" "
        << "stroke-width=\"2\"/>\n";
    for (std::size_t i = 0; i < report.cycles.size(); ++i) {
      const CycleFigures &c = report.cycles[i];
      svg << "<g class=\"cycle\" data-cycle=\"" << c.index << '"';
      if (!report.recorded_in.empty() && !c.skill.empty())
        svg << " data-skill=\"" << escape(c.skill) << '"';
      if (c.average)
        svg << " data-average-reward=\"" << exact(*c.average) << '"';
      if (c.split)
        svg << " data-steps=\"" << c.steps << "\" data-episodes=\"" << c.episodes << '"';
      if (c.returns)
        spread_attributes(svg, "return", *c.returns);
      if (c.lengths)
        spread_attributes(svg, "length", *c.lengths);
      svg << ">\n<title>" << escape(cycle_name(report, c)) << ": average reward "
          << (c.average ? fixed(*c.average, 4) : "none") << "</title>\n";
      if (c.average && std::isfinite(*c.average)) {
        svg << "<circle cx=\"" << fixed(chart.x(i)) << "\" cy=\"" << fixed(chart.y(*c.average))
            << "\" r=\"4\" fill=\"#1f77b4\"/>\n";
      }
      svg << "</g>\n";
    }
  }
  top += Chart::kHeight;
  box_plots(svg, top, report, "Episode return per cycle (min, quartiles, max; o = mean)",
            "episode return", &CycleFigures::returns, "#aec7e8");
  top += Chart::kHeight;
  box_plots(svg, top, report, "Episode length per cycle (min, quartiles, max; o = mean)",
            "steps per episode", &CycleFigures::lengths, "#ffbb78");
  top += Chart::kHeight;
  {
    const Chart chart(svg, top, report.cycles.size(), report.split ? steps : std::vector<double>{},
                      true);
    chart.frame("Steps per cycle", "steps", labels);
    const double half = std::min(24.0, chart.slot() * 0.35);
    for (std::size_t i = 0; report.split && i < report.cycles.size(); ++i) {
      const CycleFigures &c = report.cycles[i];
      const double y = chart.y(static_cast<double>(c.steps));
      svg << "<rect x=\"" << fixed(chart.x(i) - half) << "\" y=\"" << fixed(y) << "\" width=\""
          << fixed(2 * half) << "\" height=\"" << fixed(chart.y0() - y)
          << "\" fill=\"#2ca02c\"><title>" << escape(cycle_name(report, c)) << ": "
          << with_commas(c.steps) << " steps, " << c.episodes << " episodes</title></rect>\n";
    }
  }
  if (scatter)
    episode_scatter(svg, top + Chart::kHeight, report);
  svg << "</svg>\n";
  return svg.str();
}

} // namespace

int report_command(const std::string &input, const std::optional<std::string> &output,
                   const std::optional<std::string> &credentials_file) {
  try {
    const bool in_bucket = is_bucket_url(input);
    const RunFiles run = in_bucket ? resolve_in_bucket(input, credentials_file) : resolve(input);
    const Report report = build_report(run);
    // Beside a local step file; in the current directory for one in a bucket.
    const std::string svg_name = strip(file_name(run.steps), kParquetSuffix) + ".report.svg";
    const fs::path svg_path = output ? fs::path(*output)
                              : in_bucket
                                  ? fs::path(".") / svg_name
                                  : fs::path(strip(run.steps, kParquetSuffix) + ".report.svg");
    const std::string svg = render_svg(report);
    std::ofstream out(svg_path, std::ios::binary | std::ios::trunc);
    out << svg;
    out.close();
    if (!out)
      throw InputError("cannot write " + svg_path.string());
    print_table(report);
    std::printf("%s\n", svg_path.c_str());
    return kExitClean;
  } catch (const std::exception &e) {
    std::fprintf(stderr, "event-historian: error: %s\n", e.what());
    return kExitStartFailure;
  }
}

} // namespace host
