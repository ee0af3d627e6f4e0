#pragma once

// The cycle-metrics reports on their way to the job service. They are sent one at a time, in
// the order they were queued, by a thread of their own: a slow or hung job service never
// holds a thread that intake, a flush or a compaction needs.
//
// Threads: send() and finish() run on the loop thread; the sending thread touches only the
// queue and its state, under _mutex.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include <asio.hpp>

#include "networking/remote_historian/v2/historian_metrics.h"

namespace networking::remote_historian::v2 {

// Reports that may wait behind the one being sent.
inline constexpr std::size_t kCallbackQueueCapacity = 64;
// The time-out of one POST, and all that a stop gives the reports left.
inline constexpr std::chrono::seconds kCallbackTimeout{5};

class CallbackSender {
public:
  // counts: where the reports sent, failed and waiting are counted; it must outlive the sender.
  CallbackSender(std::size_t capacity, std::chrono::milliseconds timeout, CallbackMetrics &counts);
  // Drops the reports still queued, waits for the one being sent, and joins the thread.
  ~CallbackSender();
  CallbackSender(const CallbackSender &) = delete;
  CallbackSender &operator=(const CallbackSender &) = delete;

  // Queues a POST of body to url; a failed POST is logged at debug level. The context of
  // executor keeps work until the report is sent or dropped, so a loop run until it is out of
  // work has seen its reports through. Returns false, dropping the report, when capacity
  // reports are waiting already. Starts the thread on first use.
  bool send(const asio::any_io_executor &executor, std::string url, std::string body);

  // Waits until every report queued or being sent is done, at most the time-out from now: a
  // report that starts meanwhile gets only the time left, and those not started by then are
  // dropped. Returns how many were dropped.
  asio::awaitable<std::size_t> finish();

private:
  using Clock = std::chrono::steady_clock;
  struct Report {
    std::string url;
    std::string body;
    asio::executor_work_guard<asio::any_io_executor> work;
  };

  void _run();
  // Requires: _mutex held. Wakes a waiting finish(), once.
  void _wake_finish();
  // Requires: _mutex held. Publishes the reports queued or being sent.
  void _count_in_flight();

  const std::size_t _capacity;
  const std::chrono::milliseconds _timeout;
  CallbackMetrics &_counts;
  std::mutex _mutex;
  std::condition_variable _changed;
  std::deque<Report> _queue;
  bool _sending = false;
  bool _stopping = false;
  // Set by finish() while it waits: when the last report must have started, what wakes it,
  // and how many reports the thread dropped after that time.
  std::optional<Clock::time_point> _deadline;
  std::function<void()> _on_idle;
  std::size_t _dropped = 0;
  std::thread _thread;
};

} // namespace networking::remote_historian::v2
