#include "redis/endpoint.h"

#include <cctype>
#include <charconv>
#include <optional>
#include <stdexcept>
#include <system_error>

namespace redis {

namespace {

constexpr std::string_view kMask = "***";

std::invalid_argument bad_url(std::string_view url, const std::string &why) {
  return std::invalid_argument("Invalid Redis URL '" + masked_url(url) + "': " + why);
}

// Decodes %XX escapes; anything else is kept as written.
std::string percent_decode(std::string_view url, std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size() || !std::isxdigit(static_cast<unsigned char>(text[i + 1])) ||
        !std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
      throw bad_url(url, "bad percent escape in the credentials");
    }
    out += static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16));
    i += 2;
  }
  return out;
}

// Whole-text decimal number in [low, high], or nullopt.
std::optional<long> parse_number(std::string_view text, long low, long high) {
  long value = 0;
  if (text.empty() || text.front() == '+' || text.front() == '-')
    return std::nullopt;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value < low || value > high) {
    return std::nullopt;
  }
  return value;
}

// host[:port] or [v6]:port, with default_port when none is written.
HostPort parse_host_port(std::string_view url, std::string_view authority,
                         std::uint16_t default_port) {
  HostPort out{"", default_port};
  std::string_view port_text;
  bool has_port = false;
  if (!authority.empty() && authority.front() == '[') {
    std::size_t close = authority.find(']');
    if (close == std::string_view::npos)
      throw bad_url(url, "unclosed '[' in the host");
    out.host = std::string(authority.substr(1, close - 1));
    std::string_view after = authority.substr(close + 1);
    if (!after.empty()) {
      if (after.front() != ':')
        throw bad_url(url, "unexpected text after the host");
      has_port = true;
      port_text = after.substr(1);
    }
  } else {
    std::size_t colon = authority.find(':');
    out.host = std::string(authority.substr(0, colon));
    if (colon != std::string_view::npos) {
      has_port = true;
      port_text = authority.substr(colon + 1);
    }
  }
  if (out.host.empty())
    throw bad_url(url, "no host");
  if (has_port) {
    auto port = parse_number(port_text, 1, 65535);
    if (!port)
      throw bad_url(url, "invalid port '" + std::string(port_text) + "'");
    out.port = static_cast<std::uint16_t>(*port);
  }
  return out;
}

// host[:port][,host[:port]...]: at least one.
std::vector<HostPort> parse_host_list(std::string_view url, std::string_view authority,
                                      std::uint16_t default_port) {
  std::vector<HostPort> hosts;
  while (!authority.empty() || hosts.empty()) {
    const std::size_t comma = authority.find(',');
    hosts.push_back(parse_host_port(url, authority.substr(0, comma), default_port));
    authority = comma == std::string_view::npos ? "" : authority.substr(comma + 1);
    if (comma != std::string_view::npos && authority.empty())
      throw bad_url(url, "no host after ','");
  }
  return hosts;
}

int parse_db(std::string_view url, std::string_view text) {
  auto db = parse_number(text, 0, 1 << 20);
  if (!db)
    throw bad_url(url, "invalid database number '" + std::string(text) + "'");
  return static_cast<int>(*db);
}

} // namespace

std::string HostPort::address() const {
  bool ipv6 = host.find(':') != std::string::npos;
  return (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

std::string Endpoint::address() const {
  if (uses_sentinel() && host.empty())
    return "master '" + master_name + "'";
  if (uses_cluster()) {
    std::string seeds = "cluster ";
    for (std::size_t i = 0; i < cluster_seeds.size(); ++i) {
      if (i > 0)
        seeds += ',';
      seeds += cluster_seeds[i].address();
    }
    return seeds;
  }
  return HostPort{host, port}.address();
}

Endpoint parse_url(std::string_view url) {
  Endpoint endpoint;
  const std::size_t scheme_end = url.find("://");
  if (scheme_end == std::string_view::npos)
    throw bad_url(url, "expected redis://host[:port][/db]");
  const std::string_view scheme = url.substr(0, scheme_end);
  bool sentinel = false;
  bool cluster = false;
  if (scheme == "rediss" || scheme == "rediss+sentinel" || scheme == "rediss+cluster")
    endpoint.tls = true;
  if (scheme == "redis+sentinel" || scheme == "rediss+sentinel")
    sentinel = true;
  else if (scheme == "redis+cluster" || scheme == "rediss+cluster")
    cluster = true;
  else if (scheme != "redis" && scheme != "rediss")
    throw bad_url(url, "unsupported scheme '" + std::string(scheme) +
                           "', expected redis://, rediss://, redis+sentinel://, "
                           "rediss+sentinel://, redis+cluster:// or rediss+cluster://");
  std::string_view rest = url.substr(scheme_end + 3);
  // The credentials first, up to the last '@': a '/' in a password must not end the host part,
  // or the rest of the password would be quoted as a port or database in an error message.
  std::size_t at = rest.rfind('@');
  if (at != std::string_view::npos) {
    std::string_view credentials = rest.substr(0, at);
    std::size_t colon = credentials.find(':');
    if (colon == std::string_view::npos) {
      throw bad_url(url, "credentials must be written [user]:password@");
    }
    if (colon > 0)
      endpoint.user = percent_decode(url, credentials.substr(0, colon));
    endpoint.password = percent_decode(url, credentials.substr(colon + 1));
    rest = rest.substr(at + 1);
  }
  std::size_t slash = rest.find('/');
  std::string_view authority = rest.substr(0, slash);
  std::string_view path = slash == std::string_view::npos ? "" : rest.substr(slash + 1);

  if (cluster) {
    endpoint.cluster_seeds = parse_host_list(url, authority, 6379);
    if (!path.empty() && parse_db(url, path) != 0)
      throw bad_url(url, "a Redis Cluster has database 0 only");
    endpoint.host = endpoint.cluster_seeds.front().host;
    endpoint.port = endpoint.cluster_seeds.front().port;
    return endpoint;
  }
  if (!sentinel) {
    HostPort server = parse_host_port(url, authority, 6379);
    endpoint.host = std::move(server.host);
    endpoint.port = server.port;
    if (!path.empty())
      endpoint.db = parse_db(url, path);
    return endpoint;
  }
  endpoint.sentinels = parse_host_list(url, authority, 26379);
  const std::size_t db_slash = path.find('/');
  endpoint.master_name = std::string(path.substr(0, db_slash));
  if (endpoint.master_name.empty())
    throw bad_url(url, "no master name: expected redis+sentinel://host[:port][,...]/MASTER_NAME");
  if (db_slash != std::string_view::npos)
    endpoint.db = parse_db(url, path.substr(db_slash + 1));
  // Found by asking the Sentinels.
  endpoint.host.clear();
  endpoint.port = 0;
  return endpoint;
}

std::string masked_url(std::string_view url) {
  std::size_t start = url.find("://");
  start = start == std::string_view::npos ? 0 : start + 3;
  const std::size_t at = url.rfind('@');
  if (at == std::string_view::npos || at < start)
    return std::string(url);
  const std::size_t colon = url.substr(0, at).find(':', start);
  const std::size_t secret = colon == std::string_view::npos ? start : colon + 1;
  return std::string(url.substr(0, secret)) + std::string(kMask) + std::string(url.substr(at));
}

} // namespace redis
