// Step intake, buffering and output of the processor on the benchmark payload.
//
//   ingest_bench --data DIR [--file steps.jsonl] [--n N] [--memory-rows M] [--raw-json]
//                [--flush] [--repeat R] [--ingest-only]
//
// throughput: decodes N stream entries (envelope + JSON) and runs process_message on each, on
//             one thread (a file of fewer lines, such as a wide one, is cycled through); prints
//             steps/s and MB/s of JSON text (the data fields taken in), the median of R runs.
//             --ingest-only skips the parse-only figures printed for scale.
// memory:     buffers M rows (cycling through the payloads) and prints resident bytes per row.
// --flush:    writes the M buffered rows as one part file (rows/s), then writes them again as
//             ten parts and compacts those into one file (MB/s of the final file).

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include <asio.hpp>

#include "loop/loop.h"
#include "networking/remote_historian/v2/event_historian_processor.h"
#include "redis/reply.h"
#include "json/document.h"
#include "json/parse.h"

namespace {

namespace fs = std::filesystem;
using networking::remote_historian::v2::Dataset;
using networking::remote_historian::v2::EventHistorianProcessor;
using networking::remote_historian::v2::ProcessorOptions;
using Clock = std::chrono::steady_clock;

long rss_bytes() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * sysconf(_SC_PAGESIZE);
}

// A bulk string as the Redis connection delivers it, with its spare capacity.
redis::Reply bulk(const std::string &s) {
  redis::Reply r;
  r.type = redis::Reply::Type::kString;
  if (s.size() > std::string().capacity())
    r.str.reserve(s.size() + redis::kStringPadding);
  r.str.assign(s);
  return r;
}

// Stream entries as the read loop gets them: (id, [data, payload, timestamp, text]).
std::vector<redis::Reply> load_entries(const std::string &path, std::size_t n) {
  std::ifstream in(path);
  if (!in)
    throw std::runtime_error("cannot read " + path + " (bench/run.sh writes it with gen_steps)");
  std::vector<redis::Reply> out;
  std::string line;
  while (out.size() < n && std::getline(in, line)) {
    char ts[32];
    std::snprintf(ts, sizeof ts, "%.6f", 1733600000.0 + out.size() * 0.01);
    // Moved in one by one: a braced list would copy each text and drop its spare capacity.
    redis::Reply fields;
    fields.type = redis::Reply::Type::kArray;
    for (const std::string &text :
         {std::string("data"), line, std::string("timestamp"), std::string(ts)})
      fields.elements.push_back(bulk(text));
    redis::Reply entry;
    entry.type = redis::Reply::Type::kArray;
    entry.elements.push_back(bulk(std::to_string(out.size()) + "-0"));
    entry.elements.push_back(std::move(fields));
    out.push_back(std::move(entry));
  }
  return out;
}

// Processes entries[i % size] for i in [0, count) on one loop; returns seconds.
double process(EventHistorianProcessor &p, const std::vector<redis::Reply> &entries,
               std::size_t count) {
  const auto t0 = Clock::now();
  loop::run([&]() -> asio::awaitable<void> {
    for (std::size_t i = 0; i < count; ++i) {
      auto message = EventHistorianProcessor::_decode_entry(entries[i % entries.size()]);
      co_await p.process_message(message);
    }
  }());
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

// Runs fn on every entry and prints one line: its rate and the sum of what fn returned.
template <class Fn>
void time_for_scale(const char *name, const char *rate, const char *counted,
                    const std::string &file, const std::vector<redis::Reply> &entries, Fn fn) {
  const auto t0 = Clock::now();
  std::size_t count = 0;
  for (const auto &e : entries)
    count += fn(e);
  const double s = std::chrono::duration<double>(Clock::now() - t0).count();
  std::printf("%s file=%s n=%zu seconds=%.3f %s=%.0f (%zu %s)\n", name, file.c_str(),
              entries.size(), s, rate, entries.size() / s, count, counted);
}

std::unique_ptr<EventHistorianProcessor> processor(const fs::path &out, bool raw_json) {
  ProcessorOptions o;
  o.output_path = out.string();
  o.include_raw_json = raw_json;
  o.skill_name = "walk";
  // Every row stays buffered: the figures are of the buffer, never of an early drain.
  o.max_buffered_rows = std::numeric_limits<std::int64_t>::max();
  o.max_buffered_bytes = std::numeric_limits<std::int64_t>::max();
  auto p = std::make_unique<EventHistorianProcessor>(o);
  loop::run(p->init());
  return p;
}

} // namespace

int main(int argc, char **argv) {
  std::string data, file = "steps.jsonl";
  std::size_t n = 200000, memory_rows = 0;
  bool raw_json = false, flush = false, ingest_only = false;
  int repeat = 1;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&] { return i + 1 < argc ? std::string(argv[++i]) : std::string(); };
    if (a == "--data")
      data = next();
    else if (a == "--file")
      file = next();
    else if (a == "--n")
      n = std::stoul(next());
    else if (a == "--memory-rows")
      memory_rows = std::stoul(next());
    else if (a == "--raw-json")
      raw_json = true;
    else if (a == "--flush")
      flush = true;
    else if (a == "--ingest-only")
      ingest_only = true;
    else if (a == "--repeat")
      repeat = std::max(1, std::stoi(next()));
  }
  if (data.empty()) {
    std::fprintf(stderr, "usage: ingest_bench --data DIR [--file F] [--n N] [--memory-rows M] "
                         "[--raw-json] [--flush]\n");
    return 2;
  }
  const auto entries = load_entries(data + "/" + file, n);
  if (entries.empty()) {
    std::fprintf(stderr, "ingest_bench: no steps in %s/%s\n", data.c_str(), file.c_str());
    return 1;
  }
  const fs::path out = fs::temp_directory_path() / ("ingest-bench-" + std::to_string(getpid()));
  fs::remove_all(out);

  if (!ingest_only) {
    // For scale: the JSON decoding alone (the floor under the full path), the DOM parse the
    // intake reads most steps from, and the decoding of the whole entry into a message.
    const auto data = [](const redis::Reply &e) -> const std::string & {
      return e.elements[1].elements[1].str;
    };
    time_for_scale("parse_only", "parses_per_s", "members", file, entries,
                   [&](const redis::Reply &e) { return json::parse(data(e)).as_object().size(); });
    time_for_scale("dom_parse_only", "parses_per_s", "in the DOM", file, entries,
                   [&](const redis::Reply &e) {
                     return std::size_t{json::Document::parse_in_buffer(data(e)).has_value()};
                   });
    time_for_scale(
        "decode_only", "entries_per_s", "documents", file, entries, [](const redis::Reply &e) {
          return std::size_t{EventHistorianProcessor::_decode_entry(e).document != nullptr};
        });
  }
  {
    // The machine is shared: each of `repeat` runs starts from a fresh processor, and the
    // median is the figure. MB/s compares payloads of different widths.
    const std::size_t steps = n;
    double json_mb = 0;
    for (std::size_t i = 0; i < steps; ++i)
      json_mb += entries[i % entries.size()].elements[1].elements[1].str.size() / 1e6;
    std::vector<double> rates;
    for (int r = 0; r < repeat; ++r) {
      auto p = processor(out / ("throughput-" + std::to_string(r)), raw_json);
      process(*p, entries, std::min<std::size_t>(entries.size(), 2000)); // warm-up
      p->_buffer._pending_rows.clear();
      const double seconds = process(*p, entries, steps);
      rates.push_back(steps / seconds);
      std::printf("ingest_run file=%s raw_json=%d n=%zu seconds=%.3f steps_per_s=%.0f "
                  "read_in_place=%llu mb_per_s=%.1f\n",
                  file.c_str(), raw_json, steps, seconds, rates.back(),
                  static_cast<unsigned long long>(p->_reader._steps_read_in_place),
                  json_mb / seconds);
    }
    std::sort(rates.begin(), rates.end());
    const double median = rates[rates.size() / 2];
    std::printf("ingest file=%s raw_json=%d n=%zu runs=%d median_steps_per_s=%.0f "
                "best_steps_per_s=%.0f json_bytes_per_step=%.0f median_mb_per_s=%.1f\n",
                file.c_str(), raw_json, steps, repeat, median, rates.back(), 1e6 * json_mb / steps,
                median * json_mb / steps);
  }

  if (memory_rows > 0) {
    auto p = processor(out / "memory", raw_json);
    const long before = rss_bytes();
    process(*p, entries, memory_rows);
    const long after = rss_bytes();
    std::printf("memory raw_json=%d rows=%zu rss_bytes_per_row=%.0f\n", raw_json,
                p->_buffer._pending_rows.size(),
                double(after - before) / p->_buffer._pending_rows.size());

    if (flush) {
      auto rows = std::move(p->_buffer._pending_rows);
      auto t0 = Clock::now();
      p->_flush_rows(rows);
      double s = std::chrono::duration<double>(Clock::now() - t0).count();
      std::printf("flush rows=%zu seconds=%.3f rows_per_s=%.0f\n", rows.size(), s, rows.size() / s);
      // Ten parts of the same rows, then one compaction.
      const std::size_t per = rows.size() / 10;
      for (int k = 0; k < 10; ++k) {
        networking::remote_historian::v2::RowBuffer part;
        for (std::size_t i = k * per; i < (k + 1) * per; ++i)
          part.push_back(std::move(rows[i]));
        p->_flush_rows(part);
      }
      rows.clear();
      t0 = Clock::now();
      const std::string final_file = (out / "compacted.parquet").string();
      Dataset::_compact_parts(*p->_steps._parts_dir, final_file);
      s = std::chrono::duration<double>(Clock::now() - t0).count();
      const double mb = fs::file_size(final_file) / 1e6;
      std::printf("compact parts=11 output_mb=%.1f seconds=%.3f mb_per_s=%.1f\n", mb, s, mb / s);
    }
  }
  struct rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  std::printf("peak_rss_mb=%.0f\n", usage.ru_maxrss / 1024.0);
  fs::remove_all(out);
  return 0;
}
