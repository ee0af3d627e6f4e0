#pragma once

#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

namespace support {

// A tmpfs of the given size ("2m") at path, unmounted when the object goes away. Mounting needs
// root or CAP_SYS_ADMIN: without it, mounted is false and error says why, and the test skips.
struct SmallTmpfs {
  SmallTmpfs(const std::filesystem::path &at, const char *size) : path(at) {
    std::filesystem::create_directories(path);
    const std::string options = std::string("size=") + size;
    mounted = ::mount("tmpfs", path.c_str(), "tmpfs", 0, options.c_str()) == 0;
    if (!mounted)
      error = std::strerror(errno);
  }
  ~SmallTmpfs() {
    if (mounted)
      ::umount2(path.c_str(), MNT_DETACH);
  }
  SmallTmpfs(const SmallTmpfs &) = delete;
  SmallTmpfs &operator=(const SmallTmpfs &) = delete;

  std::filesystem::path path;
  bool mounted = false;
  std::string error;
};

} // namespace support
