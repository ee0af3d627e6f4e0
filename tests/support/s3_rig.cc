#include "tests/support/s3_rig.h"

#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "tests/support/process.h"
#include "tests/support/redis_server.h"

namespace support {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kAccessKey = "test:tester";
constexpr std::string_view kSecretKey = "historian-rig-secret";
constexpr std::string_view kRegion = "us-east-1";
constexpr std::string_view kBucket = "historian-rig";

// S3 accepts the first write 4 to 14 s after launch on two cores, the slower when busy.
constexpr auto kAnswerWithin = std::chrono::seconds(30);
constexpr int kPollAttempts = 300;
constexpr auto kPollPause = std::chrono::milliseconds(100);
constexpr auto kCurlWithin = std::chrono::seconds(60);
constexpr int kLogTailLines = 20;

// The interpreter Debian's python3-swift is installed for, whatever python3 PATH finds first.
constexpr std::string_view kPython = "/usr/bin/python3";
// Swift reads its hash path prefix and suffix from this fixed path, which the swift package
// installs.
constexpr std::string_view kSwiftConf = "/etc/swift/swift.conf";

// One replica on one device "d1", 2^6 partitions: all three rings in one interpreter.
constexpr std::string_view kRingScript = R"(
import sys
from swift.common.ring import RingBuilder
swift_dir = sys.argv[1]
for name, port in zip(('account', 'container', 'object'), sys.argv[2:5]):
    builder = RingBuilder(6, 1, 1)
    builder.add_dev({'id': 0, 'region': 1, 'zone': 1, 'ip': '127.0.0.1', 'port': int(port),
                     'device': 'd1', 'weight': 1})
    builder.rebalance()
    builder.get_ring().save('%s/%s.ring.gz' % (swift_dir, name))
)";

std::string user_name() {
  const passwd *entry = getpwuid(geteuid());
  if (entry == nullptr)
    throw std::runtime_error("S3Rig: the user running the tests has no name");
  return entry->pw_name;
}

std::string tail(const fs::path &file, int lines) {
  std::ifstream in(file);
  std::deque<std::string> last;
  for (std::string line; std::getline(in, line);) {
    last.push_back(std::move(line));
    if (static_cast<int>(last.size()) > lines)
      last.pop_front();
  }
  std::string text;
  for (const std::string &line : last)
    text += line + "\n";
  return text;
}

} // namespace

S3Rig::S3Rig() : _servers{{{"account"}, {"container"}, {"object"}, {"proxy"}}} {
  for (const Server &server : _servers) {
    if (find_on_path("swift-" + server.name + "-server").empty()) {
      throw std::runtime_error("swift-" + server.name +
                               "-server is not on PATH; the S3 tests need Swift "
                               "(scripts/install-deps.sh installs it)");
    }
  }
  if (!fs::exists(kSwiftConf))
    throw std::runtime_error(std::string(kSwiftConf) +
                             " is missing; the swift package installs it");
  _curl = find_on_path("curl");
  if (_curl.empty())
    throw std::runtime_error("curl is not on PATH; scripts/install-deps.sh installs it");

  const fs::path device = _dir / "devices" / "d1";
  fs::create_directories(device);
  fs::create_directories(_dir / "etc");
  fs::create_directories(_dir / "logs");
  if (setxattr(device.c_str(), "user.historian-probe", "1", 1, 0) != 0) {
    throw std::runtime_error(_dir.str() +
                             " has no extended attributes, which Swift's object server needs; "
                             "set TMPDIR to a directory on ext4 or XFS");
  }

  // Four distinct ports: free_port() may hand out one twice.
  for (std::size_t i = 0; i < _servers.size();) {
    const std::uint16_t port = free_port();
    bool taken = false;
    for (std::size_t j = 0; j < i; ++j)
      taken = taken || _servers[j].port == port;
    if (!taken)
      _servers[i++].port = port;
  }
  _write_configuration();

  try {
    for (Server &server : _servers)
      _start(server);
    _wait_until_s3_answers();
  } catch (...) {
    for (Server &server : _servers)
      kill_and_reap(server.pid);
    throw;
  }
}

S3Rig &S3Rig::shared() {
  static S3Rig *rig = [] {
    auto *r = new S3Rig();
    for (const auto &[name, value] : r->env())
      setenv(name.c_str(), value.c_str(), 1);
    return r;
  }();
  return *rig;
}

S3Rig::~S3Rig() {
  for (Server &server : _servers)
    kill_and_reap(server.pid);
}

std::string S3Rig::endpoint() const { return "http://127.0.0.1:" + std::to_string(_proxy().port); }
std::string S3Rig::access_key() const { return std::string(kAccessKey); }
std::string S3Rig::secret_key() const { return std::string(kSecretKey); }
std::string S3Rig::region() const { return std::string(kRegion); }
std::string S3Rig::bucket() const { return std::string(kBucket); }

std::vector<std::pair<std::string, std::string>> S3Rig::env() const {
  return {{"AWS_ENDPOINT_URL", endpoint()},
          {"AWS_REGION", region()},
          {"AWS_ACCESS_KEY_ID", access_key()},
          {"AWS_SECRET_ACCESS_KEY", secret_key()}};
}

// kill() with pid -1 would signal every process we may signal.
void S3Rig::pause_proxy() {
  if (_proxy().pid > 0)
    kill(_proxy().pid, SIGSTOP);
}

void S3Rig::resume_proxy() {
  if (_proxy().pid > 0)
    kill(_proxy().pid, SIGCONT);
}

void S3Rig::kill_proxy() {
  kill_and_reap(_proxy().pid);
  _proxy().pid = -1;
}

void S3Rig::restart_proxy() {
  if (_proxy().pid > 0)
    throw std::logic_error("S3Rig::restart_proxy: the proxy is running");
  _start(_proxy());
  _wait_until_s3_answers();
}

void S3Rig::_write_configuration() {
  const std::string etc = (_dir / "etc").string();
  // Every server logs to standard error (-v) into logs/; the copy each also sends to syslog
  // goes where no syslog listens. Port 1 on loopback: nothing listens there, and free_port()
  // never hands it out.
  const std::string common = "bind_ip = 127.0.0.1\n"
                             "workers = 0\n"
                             "user = " +
                             user_name() +
                             "\n"
                             "swift_dir = " +
                             etc +
                             "\n"
                             "log_udp_host = 127.0.0.1\n"
                             "log_udp_port = 1\n";
  for (const Server &server : _servers) {
    std::ofstream out(_dir / "etc" / (server.name + "-server.conf"));
    out << "[DEFAULT]\n" << common << "bind_port = " << server.port << "\n";
    if (server.name != "proxy") {
      out << "devices = " << (_dir / "devices").string() << "\nmount_check = false\n\n"
          << "[pipeline:main]\npipeline = " << server.name << "-server\n\n"
          << "[app:" << server.name << "-server]\nuse = egg:swift#" << server.name << "\n";
      continue;
    }
    // tempauth needs the cache middleware, not a memcached: without one (the same port 1)
    // every lookup misses. The middleware's errors about it, several a request, are silenced
    // so that the log's tail shows the requests.
    out << "\n[pipeline:main]\n"
           "pipeline = catch_errors gatekeeper healthcheck proxy-logging cache listing_formats "
           "s3api tempauth copy slo dlo proxy-logging proxy-server\n\n"
           "[app:proxy-server]\nuse = egg:swift#proxy\naccount_autocreate = true\n\n"
           "[filter:s3api]\nuse = egg:swift#s3api\nlocation = "
        << kRegion << "\n\n"
        << "[filter:tempauth]\nuse = egg:swift#tempauth\nuser_test_tester = " << kSecretKey
        << " .admin\n\n"
        << "[filter:cache]\nuse = egg:swift#memcache\nmemcache_servers = 127.0.0.1:1\n"
        << "set log_level = CRITICAL\n\n";
    for (const char *filter :
         {"catch_errors", "gatekeeper", "healthcheck", "listing_formats", "copy", "slo", "dlo"})
      out << "[filter:" << filter << "]\nuse = egg:swift#" << filter << "\n\n";
    out << "[filter:proxy-logging]\nuse = egg:swift#proxy_logging\n";
  }

  const RunResult rings = run({std::string(kPython), "-c", std::string(kRingScript), etc,
                               std::to_string(_servers[0].port), std::to_string(_servers[1].port),
                               std::to_string(_servers[2].port)},
                              std::chrono::seconds(60));
  if (rings.exit_status != 0)
    throw std::runtime_error("S3Rig: building Swift's rings failed: " + rings.err);
}

void S3Rig::_start(Server &server) {
  const std::string name = "swift-" + server.name + "-server";
  server.pid =
      spawn({find_on_path(name), (_dir / "etc" / (server.name + "-server.conf")).string(), "-v"},
            (_dir / "logs" / (server.name + ".log")).string());
}

void S3Rig::_wait_until_s3_answers() {
  const auto deadline = std::chrono::steady_clock::now() + kAnswerWithin;
  std::string last;
  for (int attempt = 0; attempt < kPollAttempts; ++attempt) {
    const CurlReply reply = curl({"--max-time", "2", "-X", "PUT", endpoint() + "/" + bucket()});
    // 409 BucketAlreadyOwnedByYou: an earlier attempt, given up on, created it after all.
    if (reply.status == 200 ||
        (reply.status == 409 && reply.body.find("BucketAlreadyOwnedByYou") != std::string::npos))
      return;
    last = reply.status != 0 ? "HTTP " + std::to_string(reply.status) + " " + reply.body
                             : "curl exit " + std::to_string(reply.exit_code) + " " + reply.error;
    for (Server &server : _servers) {
      int status = 0;
      if (server.pid > 0 && waitpid(server.pid, &status, WNOHANG) == server.pid) {
        server.pid = -1;
        throw std::runtime_error("swift-" + server.name + "-server exited at start-up; logs:\n" +
                                 log_tail());
      }
    }
    if (std::chrono::steady_clock::now() >= deadline)
      break;
    std::this_thread::sleep_for(kPollPause);
  }
  throw std::runtime_error("Swift's S3 endpoint did not accept a signed request within 30 s (" +
                           last + "); logs:\n" + log_tail());
}

S3Rig::CurlReply S3Rig::curl(const std::vector<std::string> &args,
                             const std::string &secret) const {
  // curl splits --user at its first colon and tempauth's access key has one; a netrc's login
  // is a whole word.
  std::string netrc = (_dir / "netrc-XXXXXX").string();
  const int fd = mkstemp(netrc.data());
  if (fd < 0)
    throw std::runtime_error("S3Rig::curl: mkstemp failed");
  const std::string line = "default login " + std::string(kAccessKey) + " password " +
                           (secret.empty() ? std::string(kSecretKey) : secret) + "\n";
  const bool written = write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
  close(fd);
  if (!written) {
    fs::remove(netrc);
    throw std::runtime_error("S3Rig::curl: cannot write " + netrc);
  }
  std::vector<std::string> argv = {_curl,
                                   "--silent",
                                   "--show-error",
                                   "--max-time",
                                   "30",
                                   "--netrc-file",
                                   netrc,
                                   "--aws-sigv4",
                                   "aws:amz:" + region() + ":s3",
                                   "--header",
                                   "x-amz-content-sha256: UNSIGNED-PAYLOAD",
                                   "--write-out",
                                   "\n%{http_code}"};
  argv.insert(argv.end(), args.begin(), args.end());
  const RunResult result = run(argv, kCurlWithin);
  fs::remove(netrc);
  if (result.timed_out || result.exit_status < 0)
    throw std::runtime_error("curl did not finish: " + result.err);
  CurlReply reply;
  reply.exit_code = result.exit_status;
  reply.error = result.err;
  const std::size_t newline = result.out.rfind('\n');
  if (newline == std::string::npos)
    throw std::runtime_error("curl printed no status: " + result.out + result.err);
  reply.body = result.out.substr(0, newline);
  reply.status = std::atoi(result.out.c_str() + newline + 1);
  return reply;
}

std::string S3Rig::log_tail() const {
  std::string text;
  for (const Server &server : _servers) {
    text += "--- swift-" + server.name + "-server (" + std::to_string(server.port) + ")\n" +
            tail(_dir / "logs" / (server.name + ".log"), kLogTailLines);
  }
  return text;
}

std::string S3Rig::proxy_log() const {
  std::ifstream in(_dir / "logs" / "proxy.log", std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

} // namespace support
