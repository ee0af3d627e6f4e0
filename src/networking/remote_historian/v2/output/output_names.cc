#include "networking/remote_historian/v2/output/output_names.h"

#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <filesystem>
#include <optional>
#include <system_error>

#include "networking/remote_historian/v2/output/part_files.h"

namespace networking::remote_historian::v2 {

namespace fs = std::filesystem;

namespace {

bool path_exists(const fs::path &path) {
  std::error_code ec;
  return fs::exists(fs::symlink_status(path, ec));
}

// Drops "_" + digits from the front of rest, if it starts so.
bool skip_number(std::string_view &rest) {
  if (!rest.starts_with('_'))
    return false;
  std::size_t n = 1;
  while (n < rest.size() && rest[n] >= '0' && rest[n] <= '9')
    ++n;
  if (n == 1)
    return false;
  rest.remove_prefix(n);
  return true;
}

// The process id of a merge temporary's name ".<final>.merge-<pid>-<n>" of a final name of
// base.
std::optional<pid_t> merge_temporary_pid(std::string_view base, std::string_view name) {
  constexpr std::string_view kMarker = ".merge-";
  if (!name.starts_with('.'))
    return std::nullopt;
  name.remove_prefix(1);
  const std::size_t marker = name.rfind(kMarker);
  if (marker == std::string_view::npos || !_is_final_name_of(base, name.substr(0, marker)))
    return std::nullopt;
  const std::string_view tail = name.substr(marker + kMarker.size());
  const std::size_t dash = tail.find('-');
  if (dash == std::string_view::npos || dash + 1 == tail.size() ||
      tail.find_first_not_of("0123456789", dash + 1) != std::string_view::npos)
    return std::nullopt;
  pid_t pid = 0;
  const auto [end, ec] = std::from_chars(tail.data(), tail.data() + dash, pid);
  if (ec != std::errc() || end != tail.data() + dash || pid <= 0)
    return std::nullopt;
  return pid;
}

bool process_runs(pid_t pid) { return ::kill(pid, 0) == 0 || errno == EPERM; }

} // namespace

std::string _final_name(const std::string &dir, const std::string &stem, const std::string &stamp,
                        const std::function<bool(const std::string &)> &taken) {
  const fs::path plain = fs::path(dir) / (stem + ".parquet");
  if (!path_exists(plain) && !(taken && taken(plain.string())))
    return plain.string();
  std::string name = stem + "_" + stamp;
  for (int n = 2;; ++n) {
    std::string path = (fs::path(dir) / (name + ".parquet")).string();
    if (!path_exists(path) && !path_exists(_parts_dir_for(path)) && !(taken && taken(path)))
      return path;
    name = stem + "_" + stamp + "_" + std::to_string(n);
  }
}

bool _is_final_name_of(std::string_view base, std::string_view name) {
  if (!name.starts_with(base))
    return false;
  std::string_view rest = name.substr(base.size());
  for (const std::string_view dataset : {"_cycle_summary", "_episodes"}) {
    if (rest.starts_with(dataset)) {
      rest.remove_prefix(dataset.size());
      break;
    }
  }
  if (skip_number(rest))
    skip_number(rest);
  return rest == ".parquet";
}

std::vector<std::string> _orphaned_parts_dirs(const std::string &dir, const std::string &base,
                                              const std::vector<std::string> &in_use) {
  constexpr std::string_view kSuffix = ".parts";
  std::vector<std::string> found;
  std::error_code ec;
  for (const auto &entry : fs::directory_iterator(dir, ec)) {
    const std::string name = entry.path().filename().string();
    if (!name.ends_with(kSuffix) ||
        !_is_final_name_of(base, std::string_view(name).substr(0, name.size() - kSuffix.size())) ||
        std::find(in_use.begin(), in_use.end(), name) != in_use.end() || !entry.is_directory(ec))
      continue;
    found.push_back(entry.path().string());
  }
  std::sort(found.begin(), found.end());
  return found;
}

void _remove_merge_leftovers(const std::string &dir, const std::string &base) {
  std::error_code ec;
  for (const auto &entry : fs::directory_iterator(dir, ec)) {
    const auto pid = merge_temporary_pid(base, entry.path().filename().string());
    // One whose process still runs may be a merge in progress: `compact` takes no lock.
    if (pid && !process_runs(*pid))
      fs::remove(entry.path(), ec);
  }
}

} // namespace networking::remote_historian::v2
