#include "loop/loop.h"

namespace loop {

namespace {

// The end of the polling window of the loop running on this thread.
thread_local std::chrono::steady_clock::time_point t_poll_until{};

bool cancelled(const asio::cancellation_state &state) {
  return state.cancelled() != asio::cancellation_type::none;
}

} // namespace

void run_context(asio::io_context &context) {
  // A window belongs to the run that opened it, not to the next run on this thread.
  struct CloseWindow {
    CloseWindow() { t_poll_until = {}; }
    ~CloseWindow() { t_poll_until = {}; }
  } close_window;
  while (!context.stopped()) {
    if (std::chrono::steady_clock::now() < t_poll_until) {
      // Runs whatever is ready, checks the sockets without waiting, and returns at once.
      context.poll();
    } else if (context.run_one() == 0) {
      break; // out of work
    }
  }
}

void poll_eagerly_until(std::chrono::steady_clock::time_point deadline) {
  if (deadline > t_poll_until)
    t_poll_until = deadline;
}

asio::thread_pool &worker_pool() {
  static asio::thread_pool pool(2);
  return pool;
}

asio::awaitable<void> sleep_for(std::chrono::steady_clock::duration d) {
  if (cancelled(co_await asio::this_coro::cancellation_state))
    throw Cancelled{};
  auto executor = co_await asio::this_coro::executor;
  asio::steady_timer timer(executor, d);
  asio::error_code ec;
  co_await timer.async_wait(asio::redirect_error(asio::use_awaitable, ec));
  if (ec)
    throw Cancelled{};
}

AsyncLock::Guard::~Guard() {
  if (_lock != nullptr)
    _lock->_unlock();
}

asio::awaitable<AsyncLock::Guard> AsyncLock::lock() {
  if (cancelled(co_await asio::this_coro::cancellation_state))
    throw Cancelled{};
  if (!_locked) {
    _locked = true;
    co_return Guard(this);
  }
  auto executor = co_await asio::this_coro::executor;
  auto waiter = std::make_shared<Waiter>(executor);
  waiter->timer.expires_at(asio::steady_timer::time_point::max());
  _waiters.push_back(waiter);
  asio::error_code ec; // always operation_aborted: the timer never expires
  co_await waiter->timer.async_wait(asio::redirect_error(asio::use_awaitable, ec));
  if (!waiter->granted) {
    // Woken by the task's cancellation, not by _unlock().
    std::erase(_waiters, waiter);
    throw Cancelled{};
  }
  co_return Guard(this);
}

void AsyncLock::_unlock() {
  if (_waiters.empty()) {
    _locked = false;
    return;
  }
  std::shared_ptr<Waiter> next = std::move(_waiters.front());
  _waiters.pop_front();
  next->granted = true;
  next->timer.cancel();
}

void run(asio::awaitable<void> task) {
  asio::io_context context;
  std::exception_ptr error;
  asio::co_spawn(context, std::move(task), [&](std::exception_ptr e) { error = std::move(e); });
  run_context(context);
  if (error)
    std::rethrow_exception(error);
}

} // namespace loop
