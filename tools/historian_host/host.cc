#include "tools/historian_host/host.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>

#include <asio.hpp>
#include <asio/experimental/awaitable_operators.hpp>

#include "loop/loop.h"
#include "metrics/registry.h"
#include "networking/remote_historian/v2/logger.h"
#include "redis/connection.h"
#include "redis/endpoint.h"
#include "tools/historian_host/service_manager.h"

namespace host {

using networking::remote_historian::v2::EventHistorianProcessor;
using networking::remote_historian::v2::ProcessorOptions;

namespace {

// kExitClean when the run lost nothing; otherwise one line that says what was lost, and
// kExitDataLoss.
int loss_status(const EventHistorianProcessor &processor) {
  const std::int64_t dropped = processor.rows_dropped();
  if (dropped == 0 && processor.incomplete_outputs().empty())
    return kExitClean;
  std::string missing;
  for (const std::string &file : processor.incomplete_outputs())
    missing += (missing.empty() ? "" : ", ") + file;
  std::fprintf(stderr, "event-historian: error: %lld rows dropped; final files missing: %s\n",
               static_cast<long long>(dropped), missing.empty() ? "none" : missing.c_str());
  return kExitDataLoss;
}

// The read loop counts as stuck when it has not begun a round for this long: a read blocks for
// 1 ms, but a command may wait the whole Redis time-out before it fails, and a flush of a full
// buffer takes a second or two.
redis::Connection::Clock::duration stale_after(redis::Connection::Clock::duration redis_timeout) {
  return redis_timeout + std::chrono::seconds(5);
}

std::unique_ptr<metrics::Server> start_metrics_server(EventHistorianProcessor &processor,
                                                      const metrics::ListenAddress &address,
                                                      redis::Connection::Clock::duration timeout) {
  processor.poll_group_lag = true;
  auto registry = std::make_shared<metrics::Registry>();
  processor.metrics->register_in(*registry);
  // The handlers hold the counters, never the processor.
  auto render = [registry, counters = processor.metrics] { return registry->render(); };
  auto health = [counters = processor.metrics, limit = stale_after(timeout)] {
    return counters->health(limit);
  };
  auto server = std::make_unique<metrics::Server>(address, std::move(render), std::move(health));
  networking::remote_historian::v2::logger().debug(
      "[EventHistorian] Metrics endpoint listening on %s:%d", address.host.c_str(),
      static_cast<int>(server->port()));
  return server;
}

} // namespace

int run_until_signalled(ProcessorOptions options, redis::Connection::Clock::duration redis_timeout,
                        const std::optional<metrics::ListenAddress> &metrics_address) {
  using namespace asio::experimental::awaitable_operators;
  // One thread runs the loop: Asio then queues what that thread posts without locking.
  asio::io_context io(1);
  auto processor = std::make_shared<EventHistorianProcessor>(std::move(options));
  processor->redis_timeout = redis_timeout;
  // Declared after the processor: it stops, and lets go of the counters, before it.
  std::unique_ptr<metrics::Server> metrics_server;
  if (metrics_address) {
    try {
      metrics_server = start_metrics_server(*processor, *metrics_address, redis_timeout);
    } catch (const std::exception &e) {
      std::fprintf(stderr, "event-historian: error: metrics endpoint: %s\n", e.what());
      return kExitStartFailure;
    }
  }
  int status = kExitClean;
  bool stop_requested = false;
  bool finished = false;
  ServiceManager service(io);
  // Ready once the consumer groups exist, unless a stop came first.
  processor->on_started = [&] {
    if (!stop_requested)
      service.ready();
  };

  // A stop can arrive before the read loop has set the running flag; keep clearing it until
  // the loop has ended, so the request is never lost.
  auto enforce_stop = [&]() -> asio::awaitable<void> {
    while (!finished) {
      processor->_is_running = false;
      co_await loop::sleep_for(std::chrono::milliseconds(5));
    }
  };
  // Never expires; the first stop request cancels it, which ends the start-up's probe at once.
  asio::steady_timer stop_wait(io, asio::steady_timer::time_point::max());
  // SIGHUP (the terminal or ssh session went away) is a request to stop like the others.
  asio::signal_set signals(io, SIGINT, SIGTERM, SIGHUP);
  std::function<void(const std::error_code &, int)> on_signal = [&](const std::error_code &ec,
                                                                    int) {
    if (ec)
      return;
    if (!stop_requested) {
      stop_requested = true;
      service.stopping();
      stop_wait.cancel();
      asio::co_spawn(io, enforce_stop(), asio::detached);
    }
    signals.async_wait(on_signal);
  };
  signals.async_wait(on_signal);

  // A whole exchange, not only a TCP connection (which a listener that never answers accepts),
  // bounded by the time-out. Returns the failure, or nothing when Redis answered.
  auto probe = [&]() -> asio::awaitable<std::optional<std::string>> {
    try {
      const auto executor = co_await asio::this_coro::executor;
      const auto endpoint = processor->redis_endpoint();
      auto connection = co_await redis::Connection::connect(executor, endpoint, redis_timeout);
      co_await connection->command("PING");
      connection->close();
    } catch (const std::exception &e) {
      co_return std::string(e.what());
    }
    co_return std::nullopt;
  };
  auto stopped = [&]() -> asio::awaitable<void> {
    asio::error_code ignored;
    co_await stop_wait.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
  };

  auto main_task = [&]() -> asio::awaitable<void> {
    const auto probed = co_await (probe() || stopped());
    if (probed.index() == 1) {
      // Stopped before anything was written: status stays kExitClean.
    } else if (const std::optional<std::string> &failure = std::get<0>(probed)) {
      std::fprintf(stderr, "event-historian: error: cannot reach Redis at %s: %s\n",
                   redis::masked_url(processor->redis_url).c_str(), failure->c_str());
      status = kExitStartFailure;
    } else {
      try {
        co_await processor->init();
        // A directory we cannot write would otherwise fail only at the first flush, after its
        // entries were acknowledged.
        if (::access(processor->output_path.c_str(), W_OK) != 0)
          throw std::runtime_error("output directory " + processor->output_path +
                                   " is not writable: " + std::strerror(errno));
        if (!stop_requested)
          co_await processor->start();
        // Every graceful stop ends here: the one place that decides its exit status.
        status = loss_status(*processor);
      } catch (const networking::remote_historian::v2::CheckpointMismatch &e) {
        std::fprintf(stderr, "event-historian: error: %s\n", e.what());
        status = kExitUsage;
      } catch (const std::exception &e) {
        std::fprintf(stderr, "event-historian: error: %s\n", e.what());
        status = kExitStartFailure;
        // A start() that failed before its read loop leaves the connection open, and its
        // waiting read would keep the loop, and the process, running.
        if (processor->redis_client)
          processor->redis_client->close();
      }
    }
    finished = true;
    signals.cancel();
    stop_wait.cancel();
    service.stop_watchdog();
  };
  asio::co_spawn(io, main_task(), asio::detached);
  asio::co_spawn(io, service.watchdog(), asio::detached);
  loop::run_context(io);
  return status;
}

std::string make_staging_directory() {
  const char *tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/event-historian-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr)
    throw std::runtime_error("cannot make a staging directory " + pattern + ": " +
                             std::strerror(errno));
  return pattern;
}

} // namespace host
