#pragma once

// Instruments that the service updates on its own threads and that the metrics endpoint reads
// on its threads: every value is an atomic, read without stopping the writer, so a scrape
// never waits for the service and the service never waits for a scrape.

#include <atomic>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace metrics {

// A count that only goes up.
class Counter {
public:
  void add(std::uint64_t n = 1) { _value.fetch_add(n, std::memory_order_relaxed); }
  std::uint64_t value() const { return _value.load(std::memory_order_relaxed); }

private:
  std::atomic<std::uint64_t> _value{0};
};

// A value that goes up and down. NaN, its first value, means not known: the sample is left
// out of the exposition.
class Gauge {
public:
  void set(double value) { _value.store(value, std::memory_order_relaxed); }
  double value() const { return _value.load(std::memory_order_relaxed); }

private:
  std::atomic<double> _value{std::numeric_limits<double>::quiet_NaN()};
};

// Observations counted in buckets with the given upper bounds (ascending; +Inf is implied).
class Histogram {
public:
  explicit Histogram(std::vector<double> bounds);
  void observe(double value);

  struct Snapshot {
    std::vector<double> bounds;
    std::vector<std::uint64_t> cumulative; // one per bound, then the +Inf bucket
    double sum = 0;
    std::uint64_t count = 0;
  };
  // A scrape may land between the updates of one observation: count and buckets can then
  // differ by that observation, never by more.
  Snapshot snapshot() const;

private:
  const std::vector<double> _bounds;
  std::unique_ptr<std::atomic<std::uint64_t>[]> _buckets; // _bounds.size() + 1, not cumulative
  std::atomic<double> _sum{0};
  std::atomic<std::uint64_t> _count{0};
};

using Labels = std::vector<std::pair<std::string, std::string>>;

// A fact told by its labels, shown as a gauge of value 1 (server="10.0.0.5:6379"); the labels
// change while the service runs. Left out of the exposition until first set.
class Info {
public:
  void set(Labels labels) {
    std::lock_guard lock(_mutex);
    _labels = std::move(labels);
  }
  Labels labels() const {
    std::lock_guard lock(_mutex);
    return _labels;
  }

private:
  mutable std::mutex _mutex;
  Labels _labels;
};

// Gauges whose label sets change while the service runs (one per node of a cluster), replaced
// all at once. Left out of the exposition while empty.
class GaugeSet {
public:
  using Samples = std::vector<std::pair<Labels, double>>;
  void set(Samples samples) {
    std::lock_guard lock(_mutex);
    _samples = std::move(samples);
  }
  Samples samples() const {
    std::lock_guard lock(_mutex);
    return _samples;
  }

private:
  mutable std::mutex _mutex;
  Samples _samples;
};

// The instruments shown by one endpoint, in families of one name, help text and type. The
// instruments are referenced, not owned: they must outlive every render().
class Registry {
public:
  void add(const std::string &name, const std::string &help, const Counter &counter,
           Labels labels = {});
  void add(const std::string &name, const std::string &help, const Gauge &gauge,
           Labels labels = {});
  void add(const std::string &name, const std::string &help, const Histogram &histogram,
           Labels labels = {});
  void add(const std::string &name, const std::string &help, const Info &info);
  void add(const std::string &name, const std::string &help, const GaugeSet &gauges);

  // Every family in the Prometheus text exposition format, version 0.0.4. Thread-safe.
  std::string render() const;

private:
  using Instrument = std::variant<const Counter *, const Gauge *, const Histogram *, const Info *,
                                  const GaugeSet *>;
  struct Sample {
    Labels labels;
    Instrument instrument;
  };
  struct Family {
    std::string name;
    std::string help;
    const char *type;
    std::vector<Sample> samples;
  };
  void _add(const std::string &name, const std::string &help, const char *type,
            Instrument instrument, Labels labels);

  mutable std::mutex _mutex;
  std::vector<Family> _families;
};

} // namespace metrics
