#include "tests/support/temp_dir.h"
#include <algorithm>

#include <cstdlib>
#include <stdexcept>
#include <system_error>

namespace support {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "historian-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr)
    throw std::runtime_error("mkdtemp failed");
  _path = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  // A test may have made a folder read-only; give write access back before removing.
  for (auto it = std::filesystem::recursive_directory_iterator(_path, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
  }
  std::filesystem::remove_all(_path, ec);
}

std::vector<std::string> sorted_entries(const std::filesystem::path &dir) {
  std::vector<std::string> out;
  if (!std::filesystem::exists(dir))
    return out;
  for (const auto &e : std::filesystem::directory_iterator(dir))
    out.push_back(e.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

} // namespace support
