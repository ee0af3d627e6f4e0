#include "tools/historian_host/inspect.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <iostream>
#include <set>
#include <string_view>
#include <system_error>
#include <vector>

#include "networking/remote_historian/v2/stats/column_stats.h"
#include "parquet/encoding.h"
#include "parquet/file_reader.h"
#include "parquet/inspect.h"
#include "tools/historian_host/host.h"

namespace host {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kParquetSuffix = ".parquet";
constexpr std::string_view kPartsSuffix = ".parquet.parts";

// A finished file's name; a file still being written has a hidden temporary name.
bool listed(const std::string &name, std::string_view suffix) {
  return !name.starts_with('.') && name.size() > suffix.size() && name.ends_with(suffix);
}

// The Parquet files of dir, by name, then those of each parts directory in it.
std::vector<fs::path> files_of(const fs::path &dir) {
  std::vector<fs::path> files, parts_dirs;
  std::error_code ec;
  for (const auto &entry : fs::directory_iterator(dir, ec)) {
    const std::string name = entry.path().filename().string();
    std::error_code type_ec;
    if (listed(name, kParquetSuffix) && entry.is_regular_file(type_ec))
      files.push_back(entry.path());
    else if (listed(name, kPartsSuffix) && entry.is_directory(type_ec))
      parts_dirs.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  std::sort(parts_dirs.begin(), parts_dirs.end());
  for (const fs::path &parts : parts_dirs) {
    std::vector<fs::path> in_parts;
    for (const auto &entry : fs::directory_iterator(parts, ec)) {
      std::error_code type_ec;
      if (listed(entry.path().filename().string(), kParquetSuffix) &&
          entry.is_regular_file(type_ec))
        in_parts.push_back(entry.path());
    }
    std::sort(in_parts.begin(), in_parts.end());
    files.insert(files.end(), in_parts.begin(), in_parts.end());
  }
  return files;
}

int list_directory(const fs::path &dir) {
  std::int64_t rows = 0, groups = 0, bytes = 0;
  std::size_t read = 0, unreadable = 0;
  for (const fs::path &file : files_of(dir)) {
    const std::string name = fs::relative(file, dir).string();
    try {
      const auto reader = parquet::FileReader::open(file.string());
      std::set<std::string_view> codecs;
      for (const parquet::RowGroupInfo &g : reader->row_groups())
        codecs.insert(parquet::codec_name(g.codec));
      std::string codec_list;
      for (const std::string_view c : codecs) {
        if (!codec_list.empty())
          codec_list += '+';
        codec_list += c;
      }
      std::error_code ec;
      const auto size = static_cast<std::int64_t>(fs::file_size(file, ec));
      std::printf("%s: %lld rows, %zu row groups, %lld bytes, %s\n", name.c_str(),
                  static_cast<long long>(reader->num_rows()), reader->row_groups().size(),
                  static_cast<long long>(size), codecs.empty() ? "-" : codec_list.c_str());
      rows += reader->num_rows();
      groups += static_cast<std::int64_t>(reader->row_groups().size());
      bytes += size;
      ++read;
    } catch (const std::exception &e) {
      // Merged away or still being replaced while we looked: listed, not fatal.
      std::printf("%s: error: %s\n", name.c_str(), e.what());
      ++unreadable;
    }
  }
  std::printf("total: %zu files, %lld rows, %lld row groups, %lld bytes", read,
              static_cast<long long>(rows), static_cast<long long>(groups),
              static_cast<long long>(bytes));
  if (unreadable > 0)
    std::printf(", %zu unreadable", unreadable);
  std::printf("\n");
  return kExitClean;
}

} // namespace

int inspect_command(const std::string &path, std::size_t max_rows) {
  std::error_code ec;
  if (fs::is_directory(path, ec))
    return list_directory(path);
  try {
    parquet::inspect(path, std::cout, max_rows);
    if (const auto stats = networking::remote_historian::v2::merged_stats_of({path})) {
      std::cout << "statistics:\n";
      networking::remote_historian::v2::print_stats_table(*stats, std::cout);
    }
  } catch (const std::exception &e) {
    std::fprintf(stderr, "event-historian: error: %s\n", e.what());
    return kExitStartFailure;
  }
  return kExitClean;
}

} // namespace host
