#include "tools/historian_host/inspect.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <functional>
#include <iostream>
#include <memory>
#include <set>
#include <string_view>
#include <system_error>
#include <vector>

#include "networking/remote_historian/v2/bucket/remote_file.h"
#include "networking/remote_historian/v2/stats/column_stats.h"
#include "parquet/encoding.h"
#include "parquet/file_reader.h"
#include "parquet/inspect.h"
#include "s3/client.h"
#include "tools/historian_host/bucket_access.h"
#include "tools/historian_host/host.h"

namespace host {
namespace {

namespace fs = std::filesystem;
namespace v2 = networking::remote_historian::v2;

constexpr std::string_view kParquetSuffix = ".parquet";
constexpr std::string_view kPartsSuffix = ".parquet.parts";
// Where a bucket's prefix keeps the parts of its runs (v2::BucketOutput).
constexpr std::string_view kBucketParts = "_parts/";

// A file of a listing: its name there, and how to open it and learn its size.
struct ListedFile {
  std::string name;
  std::function<std::unique_ptr<parquet::FileReader>()> open;
  std::function<std::int64_t()> size;
};

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

std::vector<ListedFile> local_files(const fs::path &dir) {
  std::vector<ListedFile> files;
  for (const fs::path &file : files_of(dir)) {
    files.push_back({fs::relative(file, dir).string(),
                     [file] { return parquet::FileReader::open(file.string()); },
                     [file] {
                       std::error_code ec;
                       return static_cast<std::int64_t>(fs::file_size(file, ec));
                     }});
  }
  return files;
}

// The .parquet objects directly under base, by key, then those under base's parts prefix.
std::vector<ListedFile> bucket_files(const std::shared_ptr<s3::Client> &client,
                                     const std::vector<s3::ObjectInfo> &objects,
                                     const std::string &base) {
  std::vector<ListedFile> finals, parts;
  for (const s3::ObjectInfo &object : objects) {
    const std::string name = object.key.substr(base.size());
    const std::string last = name.substr(name.rfind('/') + 1);
    const bool direct = name.find('/') == std::string::npos;
    if (!listed(last, kParquetSuffix) || (!direct && !name.starts_with(kBucketParts)))
      continue;
    const auto size = static_cast<std::int64_t>(object.size);
    (direct ? finals : parts)
        .push_back({name,
                    [client, object] {
                      return parquet::FileReader::open(
                          v2::RemoteFile(client, object.key, object.size).input());
                    },
                    [size] { return size; }});
  }
  const auto by_name = [](const ListedFile &a, const ListedFile &b) { return a.name < b.name; };
  std::sort(finals.begin(), finals.end(), by_name);
  std::sort(parts.begin(), parts.end(), by_name);
  finals.insert(finals.end(), parts.begin(), parts.end());
  return finals;
}

int list_files(const std::vector<ListedFile> &files) {
  std::int64_t rows = 0, groups = 0, bytes = 0;
  std::size_t read = 0, unreadable = 0;
  for (const ListedFile &file : files) {
    const std::string &name = file.name;
    try {
      const auto reader = file.open();
      std::set<std::string_view> codecs;
      for (const parquet::RowGroupInfo &g : reader->row_groups())
        codecs.insert(parquet::codec_name(g.codec));
      std::string codec_list;
      for (const std::string_view c : codecs) {
        if (!codec_list.empty())
          codec_list += '+';
        codec_list += c;
      }
      const std::int64_t size = file.size();
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

// A file in full, and the statistics its footer carries.
void print_file(const parquet::FileReader &reader, std::size_t max_rows) {
  parquet::inspect(reader, std::cout, max_rows);
  if (const auto stats = v2::stats_in_footer(reader.path(), reader.key_value_metadata())) {
    std::cout << "statistics:\n";
    v2::print_stats_table(*stats, std::cout);
  }
}

// An object of a bucket as a file, a prefix as a directory: its own .parquet objects, then
// those its runs keep under _parts/. Only the footers and the pages printed are fetched.
int inspect_bucket(const std::string &url, std::size_t max_rows,
                   const std::optional<std::string> &credentials_file) {
  const s3::Location where = s3::parse_location(url);
  const std::shared_ptr<s3::Client> client = open_bucket(where, credentials_file);
  if (!where.prefix.empty()) {
    if (const std::optional<s3::ObjectInfo> object = client->head(where.prefix)) {
      print_file(
          *parquet::FileReader::open(v2::RemoteFile(client, object->key, object->size).input()),
          max_rows);
      return kExitClean;
    }
  }
  const std::string base = where.key("");
  const std::vector<s3::ObjectInfo> objects = client->list(base);
  if (objects.empty())
    throw std::runtime_error(url + " does not exist (no object there or under it)");
  return list_files(bucket_files(client, objects, base));
}

} // namespace

int inspect_command(const std::string &path, std::size_t max_rows,
                    const std::optional<std::string> &credentials_file) {
  try {
    if (is_bucket_url(path))
      return inspect_bucket(path, max_rows, credentials_file);
    std::error_code ec;
    if (fs::is_directory(path, ec))
      return list_files(local_files(path));
    print_file(*parquet::FileReader::open(path), max_rows);
  } catch (const std::exception &e) {
    std::fprintf(stderr, "event-historian: error: %s\n", e.what());
    return kExitStartFailure;
  }
  return kExitClean;
}

} // namespace host
