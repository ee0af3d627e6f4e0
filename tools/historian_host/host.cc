#include "tools/historian_host/host.h"

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include <asio.hpp>

#include "loop/loop.h"
#include "redis/connection.h"

namespace host {

using networking::remote_historian::v2::EventHistorianProcessor;
using networking::remote_historian::v2::ProcessorOptions;

namespace {

// kExitClean when the run lost nothing; otherwise one line that says what was lost, and
// kExitDataLoss.
int loss_status(const EventHistorianProcessor &processor) {
  const std::int64_t dropped = processor._rows_dropped.load();
  if (dropped == 0 && processor._incomplete_outputs.empty())
    return kExitClean;
  std::string missing;
  for (const std::string &file : processor._incomplete_outputs)
    missing += (missing.empty() ? "" : ", ") + file;
  std::fprintf(stderr, "event-historian: error: %lld rows dropped; final files missing: %s\n",
               static_cast<long long>(dropped), missing.empty() ? "none" : missing.c_str());
  return kExitDataLoss;
}

} // namespace

int run_until_signalled(ProcessorOptions options) {
  asio::io_context io;
  auto processor = std::make_shared<EventHistorianProcessor>(std::move(options));
  int status = kExitClean;
  bool stop_requested = false;
  bool finished = false;

  // A stop can arrive before the read loop has set the running flag; keep clearing it until
  // the loop has ended, so the request is never lost.
  auto enforce_stop = [&]() -> asio::awaitable<void> {
    while (!finished) {
      processor->_is_running = false;
      co_await loop::sleep_for(std::chrono::milliseconds(5));
    }
  };
  // SIGHUP (the terminal or ssh session went away) is a request to stop like the others.
  asio::signal_set signals(io, SIGINT, SIGTERM, SIGHUP);
  std::function<void(const std::error_code &, int)> on_signal = [&](const std::error_code &ec,
                                                                    int) {
    if (ec)
      return;
    if (!stop_requested) {
      stop_requested = true;
      asio::co_spawn(io, enforce_stop(), asio::detached);
    }
    signals.async_wait(on_signal);
  };
  signals.async_wait(on_signal);

  auto main_task = [&]() -> asio::awaitable<void> {
    bool reachable = true;
    try {
      const auto executor = co_await asio::this_coro::executor;
      const auto endpoint = redis::parse_url(processor->redis_url);
      auto probe = co_await redis::Connection::connect(executor, endpoint);
      probe->close();
    } catch (const std::exception &e) {
      std::fprintf(stderr, "event-historian: error: cannot reach Redis at %s: %s\n",
                   processor->redis_url.c_str(), e.what());
      reachable = false;
    }
    if (reachable) {
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
      } catch (const std::exception &e) {
        std::fprintf(stderr, "event-historian: error: %s\n", e.what());
        status = kExitStartFailure;
      }
    } else {
      status = kExitStartFailure;
    }
    finished = true;
    signals.cancel();
  };
  asio::co_spawn(io, main_task(), asio::detached);
  loop::run_context(io);
  return status;
}

} // namespace host
