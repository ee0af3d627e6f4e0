#pragma once

// Finding the master of a set that Sentinels watch, and following it when it moves.
//
// A MasterLocator asks every Sentinel of an endpoint at once and takes the address that the
// freshest of them name: answers of a Sentinel still running a failover (it names the old
// master for seconds after the others name the new one) count only when no other Sentinel
// answered; of the rest, the highest configuration epoch wins, then the address most of them
// name. It then checks with ROLE that the address is a master, and asks again a little later
// when it is not yet.
//
// Connections to the master register with their locator. While any is registered, the
// locator asks the Sentinels about once a second, so that a switch is seen even while the old
// master still answers (after a failover it stays writable until the Sentinels demote it, and
// what it accepts meanwhile is lost); every registered connection to another address is then
// broken at once, and reconnects to the new master on its next command. The watch follows only
// a master of a later configuration epoch than the current one, named by a Sentinel that is
// not running a failover; a reconnection after a failure takes whatever the Sentinels name.
//
// Threading: the loop thread of the connections, like Connection.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <asio.hpp>

#include "redis/endpoint.h"

namespace redis {

class Connection;

class MasterLocator : public std::enable_shared_from_this<MasterLocator> {
public:
  using Clock = std::chrono::steady_clock;
  // How long one Sentinel may take to answer, and the pause between the polls of the watch.
  static constexpr Clock::duration kSentinelTimeout = std::chrono::milliseconds(1000);
  static constexpr Clock::duration kPollInterval = std::chrono::milliseconds(1000);
  // The pause before asking again when the named address is not a master (yet).
  static constexpr Clock::duration kNotMasterPause = std::chrono::milliseconds(300);

  // endpoint: its Sentinels, master name, TLS settings and credentials. timeout: how long
  // locate() keeps asking before it gives up.
  MasterLocator(Endpoint endpoint, Clock::duration timeout);
  ~MasterLocator();
  MasterLocator(const MasterLocator &) = delete;
  MasterLocator &operator=(const MasterLocator &) = delete;

  // The master's address, found as above and confirmed by ROLE; when no Sentinel answers, the
  // master found last if it still answers ROLE as one. Throws ConnectionError when no Sentinel
  // answers (and the last master is gone), none knows the master's name, or the address named
  // is not a master within the time-out.
  asio::awaitable<HostPort> locate();

  // A connection now open to the master; broken when the master moves. Starts the watch.
  void attach(const std::shared_ptr<Connection> &connection);
  // A connection closed for good; the watch ends with the last one.
  void detach(const Connection *connection);

  // The master's address as last found, if any.
  const std::optional<HostPort> &master() const { return _master; }
  // Moves from one master to another seen so far (by the watch or by a reconnection).
  std::uint64_t switches() const { return _switches; }
  // Whether the last round of questions got an answer from any Sentinel.
  bool sentinels_answering() const { return _answering; }

  // Called on the loop thread after every move (from, to), and whenever the Sentinels' being
  // reachable changes; for logging and metrics.
  std::function<void(const HostPort &from, const HostPort &to)> on_switch;
  std::function<void(bool answering, const std::string &error)> on_sentinels;

private:
  struct Answer {
    HostPort master;
    std::int64_t epoch = 0;
    bool failing_over = false;
  };
  // One question to every Sentinel at once; the answers that came within kSentinelTimeout.
  // error: why there are none.
  asio::awaitable<std::vector<Answer>> _ask_all(std::string &error);
  // The address the answers name, as the class comment says, with the highest epoch that
  // names it.
  static std::optional<Answer> _choose(const std::vector<Answer> &answers);
  // ROLE of the server at address, on a short-lived connection with the master's credentials.
  asio::awaitable<std::string> _role_of(const HostPort &address);
  // Records address as the master; a different one than before is a switch.
  void _found(const Answer &answer);
  void _set_answering(bool answering, const std::string &error);
  asio::awaitable<void> _watch();

  Endpoint _endpoint;
  Clock::duration _timeout;
  std::optional<asio::any_io_executor> _executor;
  // One connection per Sentinel, in the URL's order, made on first use.
  std::vector<std::shared_ptr<Connection>> _links;
  std::vector<std::weak_ptr<Connection>> _attached;
  std::optional<HostPort> _master;
  // The configuration epoch in which the Sentinels named _master. The watch moves only to a
  // master of a later epoch, named by a Sentinel that is not running a failover: a Sentinel
  // left alone while it runs one names the old master, which may still answer as one.
  std::int64_t _epoch = -1;
  std::uint64_t _switches = 0;
  bool _answering = true;
  bool _watching = false;
  std::shared_ptr<asio::steady_timer> _pause;
};

} // namespace redis
