#pragma once

#include <asio.hpp>

namespace host {

// What the service manager (systemd, Type=notify) hears of a run: readiness, the stop, and the
// watchdog's pings, sent from the loop so that a wedged loop stops them and gets the service
// restarted. Without NOTIFY_SOCKET in the environment every message is dropped.
class ServiceManager {
public:
  explicit ServiceManager(asio::io_context &io);

  void ready();    // READY=1
  void stopping(); // STOPPING=1

  // Sends WATCHDOG=1 at once and then every half of the interval the manager asked for
  // (WATCHDOG_USEC) until stop_watchdog(); returns at once when it asked for none.
  asio::awaitable<void> watchdog();
  void stop_watchdog();

private:
  asio::steady_timer _timer;
  bool _watchdog_stopped = false;
};

} // namespace host
