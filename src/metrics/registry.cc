#include "metrics/registry.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <stdexcept>

namespace metrics {

namespace {

void add_to(std::atomic<double> &target, double value) {
  double old = target.load(std::memory_order_relaxed);
  while (!target.compare_exchange_weak(old, old + value, std::memory_order_relaxed)) {
  }
}

std::string number(double value) {
  if (std::isnan(value))
    return "NaN";
  if (std::isinf(value))
    return value > 0 ? "+Inf" : "-Inf";
  char buffer[32];
  const auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
  return std::string(buffer, end);
}

// Backslash and newline escaped, and in label values the double quote too.
std::string escaped(const std::string &text, bool quote) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '"' && quote) {
      out += "\\\"";
    } else {
      out += c;
    }
  }
  return out;
}

// "{a="x",le="0.5"}", or nothing without labels.
std::string label_text(const Labels &labels, const char *extra_name = nullptr,
                       const std::string &extra_value = {}) {
  if (labels.empty() && !extra_name)
    return {};
  std::string out = "{";
  auto add = [&out](std::string_view name, const std::string &value) {
    if (out.size() > 1)
      out += ',';
    out.append(name).append("=\"").append(value).append("\"");
  };
  for (const auto &label : labels)
    add(label.first, escaped(label.second, true));
  if (extra_name)
    add(extra_name, extra_value);
  return out + "}";
}

} // namespace

Histogram::Histogram(std::vector<double> bounds)
    : _bounds(std::move(bounds)),
      _buckets(std::make_unique<std::atomic<std::uint64_t>[]>(_bounds.size() + 1)) {
  if (!std::is_sorted(_bounds.begin(), _bounds.end()))
    throw std::invalid_argument("histogram bounds are not ascending");
}

void Histogram::observe(double value) {
  const auto bucket = std::lower_bound(_bounds.begin(), _bounds.end(), value) - _bounds.begin();
  _buckets[static_cast<std::size_t>(bucket)].fetch_add(1, std::memory_order_relaxed);
  add_to(_sum, value);
  _count.fetch_add(1, std::memory_order_relaxed);
}

Histogram::Snapshot Histogram::snapshot() const {
  Snapshot s;
  s.bounds = _bounds;
  std::uint64_t total = 0;
  for (std::size_t i = 0; i <= _bounds.size(); ++i) {
    total += _buckets[i].load(std::memory_order_relaxed);
    s.cumulative.push_back(total);
  }
  s.sum = _sum.load(std::memory_order_relaxed);
  // The +Inf bucket and the count are the same number in the exposition.
  s.count = total;
  return s;
}

void Registry::add(const std::string &name, const std::string &help, const Counter &counter,
                   Labels labels) {
  _add(name, help, "counter", &counter, std::move(labels));
}

void Registry::add(const std::string &name, const std::string &help, const Info &info) {
  _add(name, help, "gauge", &info, {});
}

void Registry::add(const std::string &name, const std::string &help, const GaugeSet &gauges) {
  _add(name, help, "gauge", &gauges, {});
}

void Registry::add(const std::string &name, const std::string &help, const Gauge &gauge,
                   Labels labels) {
  _add(name, help, "gauge", &gauge, std::move(labels));
}

void Registry::add(const std::string &name, const std::string &help, const Histogram &histogram,
                   Labels labels) {
  _add(name, help, "histogram", &histogram, std::move(labels));
}

void Registry::_add(const std::string &name, const std::string &help, const char *type,
                    Instrument instrument, Labels labels) {
  std::lock_guard lock(_mutex);
  auto family = std::find_if(_families.begin(), _families.end(),
                             [&](const Family &f) { return f.name == name; });
  if (family == _families.end()) {
    _families.push_back({name, help, type, {}});
    family = _families.end() - 1;
  } else if (std::string_view(family->type) != type) {
    throw std::invalid_argument("metric " + name + " registered with two types");
  }
  family->samples.push_back({std::move(labels), instrument});
}

std::string Registry::render() const {
  std::lock_guard lock(_mutex);
  std::string out;
  for (const Family &family : _families) {
    std::string lines;
    for (const Sample &sample : family.samples) {
      if (const auto *counter = std::get_if<const Counter *>(&sample.instrument)) {
        lines += family.name + label_text(sample.labels) + " " +
                 std::to_string((*counter)->value()) + "\n";
      } else if (const auto *gauge = std::get_if<const Gauge *>(&sample.instrument)) {
        const double value = (*gauge)->value();
        if (!std::isnan(value))
          lines += family.name + label_text(sample.labels) + " " + number(value) + "\n";
      } else if (const auto *info = std::get_if<const Info *>(&sample.instrument)) {
        const Labels labels = (*info)->labels();
        if (!labels.empty())
          lines += family.name + label_text(labels) + " 1\n";
      } else if (const auto *set = std::get_if<const GaugeSet *>(&sample.instrument)) {
        for (const auto &[labels, value] : (*set)->samples())
          lines += family.name + label_text(labels) + " " + number(value) + "\n";
      } else {
        const Histogram::Snapshot s = std::get<const Histogram *>(sample.instrument)->snapshot();
        for (std::size_t i = 0; i < s.cumulative.size(); ++i) {
          const std::string le = i < s.bounds.size() ? number(s.bounds[i]) : "+Inf";
          lines += family.name + "_bucket" + label_text(sample.labels, "le", le) + " " +
                   std::to_string(s.cumulative[i]) + "\n";
        }
        lines += family.name + "_sum" + label_text(sample.labels) + " " + number(s.sum) + "\n";
        lines += family.name + "_count" + label_text(sample.labels) + " " +
                 std::to_string(s.count) + "\n";
      }
    }
    // A family whose gauges are all unknown is left out whole.
    if (lines.empty())
      continue;
    out += "# HELP " + family.name + " " + escaped(family.help, false) + "\n";
    out += "# TYPE " + family.name + " " + family.type + "\n";
    out += lines;
  }
  return out;
}

} // namespace metrics
