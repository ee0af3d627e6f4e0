#include "tools/historian_host/service_manager.h"

#include <systemd/sd-daemon.h>

#include <chrono>
#include <cstdint>

namespace host {

ServiceManager::ServiceManager(asio::io_context &io) : _timer(io) {}

void ServiceManager::ready() { sd_notify(0, "READY=1"); }

void ServiceManager::stopping() { sd_notify(0, "STOPPING=1"); }

asio::awaitable<void> ServiceManager::watchdog() {
  std::uint64_t usec = 0;
  if (sd_watchdog_enabled(0, &usec) <= 0 || usec == 0)
    co_return;
  const auto interval = std::chrono::microseconds(usec / 2);
  while (!_watchdog_stopped) {
    sd_notify(0, "WATCHDOG=1");
    _timer.expires_after(interval);
    asio::error_code ignored;
    co_await _timer.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
  }
}

void ServiceManager::stop_watchdog() {
  _watchdog_stopped = true;
  _timer.cancel();
}

} // namespace host
