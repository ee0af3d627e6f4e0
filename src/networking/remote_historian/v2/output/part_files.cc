#include "networking/remote_historian/v2/output/part_files.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <system_error>
#include <utility>

namespace networking::remote_historian::v2 {

namespace fs = std::filesystem;

std::string _parts_dir_for(const std::string &final_path) { return final_path + ".parts"; }

std::string _part_file_name(std::int64_t index) {
  char name[48];
  std::snprintf(name, sizeof name, "part-%05lld.parquet", static_cast<long long>(index));
  return name;
}

std::optional<std::int64_t> _part_number(std::string_view name) {
  constexpr std::string_view kPrefix = "part-", kSuffix = ".parquet";
  if (name.size() <= kPrefix.size() + kSuffix.size() || !name.starts_with(kPrefix) ||
      !name.ends_with(kSuffix))
    return std::nullopt;
  std::string_view digits(name.data() + kPrefix.size(),
                          name.size() - kPrefix.size() - kSuffix.size());
  std::int64_t n = 0;
  auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
  if (ec != std::errc() || end != digits.data() + digits.size() || n < 0)
    return std::nullopt;
  return n;
}

std::int64_t _next_free_part(const std::string &dir, std::int64_t next) {
  std::error_code ec;
  for (const auto &entry : fs::directory_iterator(dir, ec)) {
    if (auto n = _part_number(entry.path().filename().string()))
      next = std::max(next, *n + 1);
  }
  return next;
}

bool _is_part_temporary(std::string_view name) {
  constexpr std::string_view kPrefix = ".part-", kSuffix = ".parquet.tmp";
  return name.size() > kPrefix.size() + kSuffix.size() && name.starts_with(kPrefix) &&
         name.ends_with(kSuffix);
}

void _remove_part_temporaries(const std::string &dir) {
  std::error_code ec;
  for (const auto &entry : fs::directory_iterator(dir, ec)) {
    if (_is_part_temporary(entry.path().filename().string()))
      fs::remove(entry.path(), ec);
  }
}

std::unique_ptr<parquet::FileWriter> _open_next_part(const std::string &dir,
                                                     const parquet::Schema &schema,
                                                     std::int64_t &next_index, bool &dir_scanned,
                                                     parquet::WriterOptions options) {
  fs::create_directories(dir);
  if (!dir_scanned) {
    next_index = _next_free_part(dir, next_index);
    dir_scanned = true;
  }
  const std::string path = (fs::path(dir) / _part_file_name(next_index)).string();
  ++next_index;
  options.publish_on_close = true;
  return std::make_unique<parquet::FileWriter>(path, schema, options);
}

void _close_part(std::unique_ptr<parquet::FileWriter> &writer) {
  if (!writer)
    return;
  // Released first: a failed close must not leave a closed writer behind for the next batch.
  const std::unique_ptr<parquet::FileWriter> closing = std::move(writer);
  closing->close();
}

void _discard_part(std::unique_ptr<parquet::FileWriter> &writer, std::int64_t &next_index) {
  if (!writer)
    return;
  const auto number = _part_number(fs::path(writer->path()).filename().string());
  writer.reset();
  if (number && *number + 1 == next_index)
    next_index = *number;
}

std::vector<std::string> _parts_in_merge_order(const std::string &dir) {
  struct Part {
    std::optional<std::int64_t> number;
    std::string path;
  };
  std::vector<Part> parts;
  for (const auto &entry : fs::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    if (name.ends_with(".parquet"))
      parts.push_back({_part_number(name), (fs::path(dir) / name).string()});
  }
  std::sort(parts.begin(), parts.end(), [](const Part &a, const Part &b) {
    if (a.number.has_value() != b.number.has_value())
      return a.number.has_value();
    if (a.number && *a.number != *b.number)
      return *a.number < *b.number;
    return a.path < b.path;
  });
  std::vector<std::string> paths;
  paths.reserve(parts.size());
  for (auto &p : parts)
    paths.push_back(std::move(p.path));
  return paths;
}

int _remove_parts_from(const std::string &dir, std::int64_t next_index) {
  std::error_code ec;
  int removed = 0;
  for (const auto &entry : fs::directory_iterator(dir, ec)) {
    const auto number = _part_number(entry.path().filename().string());
    if (number && *number >= next_index && fs::remove(entry.path(), ec))
      ++removed;
  }
  return removed;
}

} // namespace networking::remote_historian::v2
