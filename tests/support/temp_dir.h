#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace support {

// A fresh directory under the system temporary directory, removed with its contents when the
// object goes away.
class TempDir {
public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;

  const std::filesystem::path &path() const { return _path; }
  std::string str() const { return _path.string(); }
  std::filesystem::path operator/(const std::string &name) const { return _path / name; }

private:
  std::filesystem::path _path;
};

// The names of the entries of dir, sorted; none when dir does not exist.
std::vector<std::string> sorted_entries(const std::filesystem::path &dir);

} // namespace support
