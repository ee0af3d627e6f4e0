#include "networking/remote_historian/v2/callbacks/callback_sender.h"

#include <algorithm>
#include <exception>
#include <memory>
#include <utility>

#include "http/post_json.h"
#include "networking/remote_historian/v2/logger.h"

namespace networking::remote_historian::v2 {

CallbackSender::CallbackSender(std::size_t capacity, std::chrono::milliseconds timeout,
                               CallbackMetrics &counts)
    : _capacity(capacity), _timeout(timeout), _counts(counts) {}

CallbackSender::~CallbackSender() {
  std::deque<Report> dropped;
  {
    std::lock_guard lock(_mutex);
    _stopping = true;
    dropped.swap(_queue);
  }
  _changed.notify_all();
  if (_thread.joinable())
    _thread.join();
}

bool CallbackSender::send(const asio::any_io_executor &executor, std::string url,
                          std::string body) {
  {
    std::lock_guard lock(_mutex);
    if (_queue.size() >= _capacity)
      return false;
    // Started before the report is queued: a report without a thread would hold the loop.
    if (!_thread.joinable())
      _thread = std::thread([this] { _run(); });
    _queue.push_back({std::move(url), std::move(body), asio::make_work_guard(executor)});
    _count_in_flight();
  }
  _changed.notify_one();
  return true;
}

asio::awaitable<std::size_t> CallbackSender::finish() {
  const auto executor = co_await asio::this_coro::executor;
  // Shared with the wake-up that the thread posts, which may run after this task has ended.
  auto wake = std::make_shared<asio::steady_timer>(executor);
  bool busy = false;
  {
    std::lock_guard lock(_mutex);
    busy = _sending || !_queue.empty();
    if (busy) {
      _deadline = Clock::now() + _timeout;
      wake->expires_at(*_deadline);
      _on_idle = [wake, executor] { asio::post(executor, [wake] { wake->cancel(); }); };
    }
  }
  if (!busy)
    co_return 0;
  asio::error_code ignored; // cancelled: every report is done; expired: the time is up
  co_await wake->async_wait(asio::redirect_error(asio::use_awaitable, ignored));
  std::deque<Report> unsent;
  std::size_t dropped = 0;
  {
    std::lock_guard lock(_mutex);
    unsent.swap(_queue);
    dropped = _dropped + unsent.size();
    _dropped = 0;
    _count_in_flight();
    _deadline.reset();
    _on_idle = nullptr;
  }
  co_return dropped;
}

void CallbackSender::_wake_finish() {
  if (_on_idle)
    std::exchange(_on_idle, nullptr)();
}

void CallbackSender::_count_in_flight() {
  _counts.in_flight.set(static_cast<double>(_queue.size() + (_sending ? 1 : 0)));
}

void CallbackSender::_run() {
  std::unique_lock lock(_mutex);
  for (;;) {
    _changed.wait(lock, [this] { return _stopping || !_queue.empty(); });
    if (_stopping)
      return;
    std::chrono::milliseconds timeout = _timeout;
    if (_deadline) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(*_deadline - Clock::now());
      // A time-out of 0 would mean none at all to libcurl.
      if (left.count() <= 0) {
        _dropped += _queue.size();
        _queue.clear();
        _count_in_flight();
        _wake_finish();
        continue;
      }
      timeout = std::min(timeout, left);
    }
    Report report = std::move(_queue.front());
    _queue.pop_front();
    _sending = true;
    _count_in_flight();
    lock.unlock();
    try {
      const long status = http::post_json(report.url, report.body, timeout);
      // The job service's answer is not acted upon; only a 2xx counts as accepted.
      if (status >= 200 && status < 300) {
        _counts.sent.add();
      } else {
        _counts.failed.add();
      }
    } catch (const std::exception &e) {
      _counts.failed.add();
      logger().debug("[EventHistorian] Cycle metrics callback failed: %s", e.what());
    }
    // Released after the log line: a loop run until it is out of work has seen it.
    report.work.reset();
    lock.lock();
    _sending = false;
    _count_in_flight();
    if (_queue.empty())
      _wake_finish();
  }
}

} // namespace networking::remote_historian::v2
