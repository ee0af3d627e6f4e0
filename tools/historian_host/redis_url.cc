#include "tools/historian_host/redis_url.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "networking/remote_historian/v2/event_historian_processor.h"

namespace host {

namespace {

constexpr const char *kEnvironmentVariable = "HISTORIAN_REDIS_URL";
// A URL is far shorter; a longer first line is not one.
constexpr std::size_t kMaxLine = std::size_t{64} * 1024;

std::invalid_argument refused(const std::string &flag, const std::string &path,
                              const std::string &why) {
  return std::invalid_argument(flag + ": " + path + " " + why);
}

} // namespace

std::string read_url_file(const std::string &path) {
  return read_secret_file(path, "--redis-url-file");
}

std::pair<std::optional<std::string>, std::string>
read_sentinel_credentials(const std::string &path) {
  const std::string line = read_secret_file(path, "--sentinel-password-file");
  const std::size_t colon = line.find(':');
  if (colon == std::string::npos)
    return {std::nullopt, line};
  std::optional<std::string> user;
  if (colon > 0)
    user = line.substr(0, colon);
  return {user, line.substr(colon + 1)};
}

std::string read_secret_file(const std::string &path, const std::string &flag) {
  // O_NONBLOCK: a FIFO is refused below instead of waiting for a writer.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0)
    throw refused(flag, path, std::string("cannot be opened: ") + std::strerror(errno));
  struct stat st {};
  std::string text;
  const char *fault = nullptr;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    fault = "is not a regular file";
  } else if ((st.st_mode & (S_IRGRP | S_IWGRP | S_IROTH | S_IWOTH)) != 0) {
    fault = "may be read or written by group or others; allow its owner only (chmod 600)";
  } else {
    char buffer[4096];
    while (text.size() < kMaxLine && text.find('\n') == std::string::npos) {
      const ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR)
        continue;
      if (n < 0) {
        fault = "cannot be read";
        break;
      }
      if (n == 0)
        break;
      text.append(buffer, static_cast<std::size_t>(n));
    }
  }
  ::close(fd);
  if (fault)
    throw refused(flag, path, fault);
  text.resize(std::min(text.find('\n'), text.size()));
  text.erase(text.find_last_not_of(" \t\r\f\v") + 1);
  if (text.empty())
    throw refused(flag, path, "has an empty first line");
  return text;
}

std::string choose_redis_url(const std::optional<std::string> &flag,
                             const std::optional<std::string> &file) {
  if (flag)
    return *flag;
  if (file)
    return read_url_file(*file);
  const char *env = std::getenv(kEnvironmentVariable);
  if (env && *env)
    return env;
  return std::string(networking::remote_historian::v2::kDefaultRedisUrl);
}

} // namespace host
