#pragma once

// An S3 server of the test's own on loopback: OpenStack Swift with its s3api middleware
// (Debian's swift-* packages), as four servers (account, container, object, proxy) of one
// process each on free 127.0.0.1 ports. Their configuration, rings, data and logs live in one
// TempDir, which must support extended attributes (ext4 or XFS; tmpfs before Linux 6.6 does
// not). Requests are path-style (endpoint() + "/" + bucket() + "/" + key) and signed with
// SigV4; multipart parts have AWS's 5 MiB minimum. Use from one thread.

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/temp_dir.h"

namespace support {

class S3Rig {
public:
  // Starts the servers and returns once S3 accepts a signed write, the creation of bucket()
  // (at most 30 s). Throws std::runtime_error with the tails of the servers' logs when it does
  // not, and with one sentence when Swift or curl is not installed or the scratch directory
  // has no extended attributes.
  S3Rig();
  // SIGKILLs and reaps every server; their data goes with the TempDir.
  ~S3Rig();
  S3Rig(const S3Rig &) = delete;
  S3Rig &operator=(const S3Rig &) = delete;

  // One rig for the whole test program, started at the first call and never stopped (its
  // servers die with the program). Its env() is then set in this process's environment, for
  // the clients and programs the tests start. Call from the main thread: the rig's servers end
  // with the thread that started them.
  static S3Rig &shared();

  // "http://127.0.0.1:PORT", the proxy.
  std::string endpoint() const;
  // Swift's tempauth user "account:user"; the secret is its key.
  std::string access_key() const;
  std::string secret_key() const;
  std::string region() const;
  // A bucket the constructor created, empty at first.
  std::string bucket() const;
  // AWS_ENDPOINT_URL, AWS_REGION, AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY, for a child
  // process's environment.
  std::vector<std::pair<std::string, std::string>> env() const;

  // Faults of the proxy, the one server that clients talk to. Paused (SIGSTOP), it still
  // accepts connections (the kernel does) and answers nothing until resumed (SIGCONT). Killed
  // (SIGKILL), connections to its port are refused until restart_proxy(), which starts it on
  // the same port with the same configuration and returns once S3 answers a signed request
  // (at most 30 s, else std::runtime_error). Requires for restart_proxy(): killed. Pausing or
  // resuming a killed proxy does nothing.
  void pause_proxy();
  void resume_proxy();
  void kill_proxy();
  void restart_proxy();

  // What the curl program made of one request: its exit code (0, 7 refused, 28 timed out,
  // ...), the HTTP status (0 when there was none), the body on standard output and its
  // messages on standard error.
  struct CurlReply {
    int exit_code = -1;
    int status = 0;
    std::string body;
    std::string error;
  };
  // Runs curl with args (options and a URL) signed with SigV4 as access_key(), with secret
  // when given (a wrong one, to see a refusal) and secret_key() otherwise: a view of the
  // bucket that does not go through our client. A --max-time of 30 s comes before args, so
  // args may set a shorter one. curl 7.88 signs a query string as written, so write it in
  // canonical form: names sorted, each with its "=" ("?uploads=", "?partNumber=1&uploadId=X").
  // Throws std::runtime_error when curl cannot be run.
  CurlReply curl(const std::vector<std::string> &args, const std::string &secret = "") const;

  // The last lines of every server's log, for failure messages.
  std::string log_tail() const;
  // The proxy's whole log: a line per request once it is answered (method, path, status,
  // bytes received and sent, ...), twice over (as S3 and as Swift).
  std::string proxy_log() const;

private:
  struct Server {
    std::string name; // "account", "container", "object" or "proxy"
    std::uint16_t port = 0;
    pid_t pid = -1;
  };

  void _write_configuration();
  void _start(Server &server);
  // Polls the creation of bucket() until it is accepted (or was already); throws when the
  // deadline passes or a server exits.
  void _wait_until_s3_answers();
  Server &_proxy() { return _servers.back(); }
  const Server &_proxy() const { return _servers.back(); }

  TempDir _dir;
  std::string _curl;
  std::array<Server, 4> _servers;
};

} // namespace support
