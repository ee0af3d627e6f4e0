#pragma once

// Where a Redis server is and how to log in to it, as a redis:// URL gives it.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace redis {

struct Endpoint {
  std::string host = "localhost";
  std::uint16_t port = 6379;
  std::optional<std::string> user;
  std::optional<std::string> password;
  int db = 0;

  // "host:port", as error messages name the server.
  std::string address() const;
};

// Parses redis://[[user]:password@]host[:port][/db]. Throws std::invalid_argument with a clear
// message for anything else. User and password may be percent-encoded; IPv6 hosts go in
// brackets.
Endpoint parse_url(std::string_view url);

} // namespace redis
