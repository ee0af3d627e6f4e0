#pragma once

#include <optional>
#include <string>
#include <utility>

namespace host {

// The Redis URL of a run, from the first of: --redis-url, --redis-url-file, the environment
// variable HISTORIAN_REDIS_URL (when not empty), the built-in default. A URL with a password
// belongs in the file or the environment, where `ps` does not show it.
// Throws std::invalid_argument (a usage error) when the file is refused: see read_url_file.
std::string choose_redis_url(const std::optional<std::string> &flag,
                             const std::optional<std::string> &file);

// The first line of the file at path, trailing white space removed. Refuses a file that is not
// a regular file, that group or others may read or write (it holds a password), that cannot
// be read, or whose first line is empty: throws std::invalid_argument naming the file.
std::string read_url_file(const std::string &path);
// The same for any file holding a secret; messages name the flag that gave the file.
std::string read_secret_file(const std::string &path, const std::string &flag);

// The Sentinels' credentials from the first line of the file of --sentinel-password-file:
// "user:password", or a password alone (a password with a ':' and no user: ":pass:word").
std::pair<std::optional<std::string>, std::string>
read_sentinel_credentials(const std::string &path);

} // namespace host
