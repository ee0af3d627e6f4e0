#pragma once

// Thin layer over standalone Asio: the event loop is an asio::io_context running on one
// thread; blocking work goes to one process-wide worker pool and is awaited from the loop.
//
// Cancellation: when the task awaiting sleep_for(), AsyncLock::lock() or a Redis command is
// cancelled (asio cancellation slot, e.g. co_spawn with bind_cancellation_slot), that wait
// throws loop::Cancelled, which is not a std::exception, so `catch (const std::exception&)`
// guards let it through. Asio itself throws asio::system_error(operation_aborted) from any
// later co_await of a cancelled task unless the task ran
// `co_await asio::this_coro::throw_if_cancelled(false);`, which a task relying on Cancelled
// does first.

#include <chrono>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

#include <asio.hpp>

namespace loop {

// Thrown by the waits of this layer when the awaiting task is cancelled.
struct Cancelled {};

// The worker pool shared by every loop of the process (the loop's "default executor"):
// two threads, created on first use.
asio::thread_pool &worker_pool();

// GCC 12 miscompiles a lambda that captures a non-trivial value by copy ([s], [name = str])
// when the lambda is written inside a full-expression holding a co_await: the capture is not
// copied but is destroyed. Name such a lambda first, then await:
//   auto flush = [rows = std::move(rows)] { ... };  co_await loop::run_blocking(std::move(flush));
// Captures of `this`, pointers and references ([this, &rows]) are not affected. Likewise a
// braced list (`co_await f({"a", "b"})`) does not compile ("array used as initializer").
//
// Runs fn on the worker pool and resumes the awaiting coroutine on its own executor with
// fn's result; an exception thrown by fn is rethrown on the loop thread. The loop keeps
// running while fn does; fn is not interrupted by a cancellation of the awaiting task.
template <typename Fn> asio::awaitable<std::invoke_result_t<Fn>> run_blocking(Fn fn);

// Suspends the awaiting coroutine for d without blocking the loop.
asio::awaitable<void> sleep_for(std::chrono::steady_clock::duration d);

// A mutual-exclusion lock of the event loop: lock() suspends the awaiting coroutine until the
// lock is free. Waiters get the lock in the order they asked for it. Use from one loop thread
// only. Must outlive every Guard and every waiter.
class AsyncLock {
public:
  class Guard { // releases the lock when destroyed
  public:
    explicit Guard(AsyncLock *lock) : _lock(lock) {}
    Guard(Guard &&other) noexcept : _lock(std::exchange(other._lock, nullptr)) {}
    Guard &operator=(Guard &&) = delete;
    ~Guard();

  private:
    AsyncLock *_lock;
  };

  AsyncLock() = default;
  AsyncLock(const AsyncLock &) = delete;
  AsyncLock &operator=(const AsyncLock &) = delete;

  // Throws Cancelled (and leaves the queue) when the waiting task is cancelled.
  asio::awaitable<Guard> lock();
  bool locked() const { return _locked; }

private:
  // One suspended lock(): its timer never expires by itself; it is cancelled to wake it.
  struct Waiter {
    explicit Waiter(const asio::any_io_executor &executor) : timer(executor) {}
    asio::steady_timer timer;
    bool granted = false;
  };

  // Hands the lock straight to the first waiter, so a newcomer cannot overtake the queue.
  void _unlock();

  bool _locked = false;
  std::deque<std::shared_ptr<Waiter>> _waiters;
};

// Runs context on the calling thread until it is stopped or out of work, as context.run()
// does, with one difference: while a window opened by poll_eagerly_until() is open, it looks
// for ready handlers without ever sleeping. Waking a sleeping thread costs tens of
// microseconds on a virtual machine and leaves its caches cold; a reader that expects its
// next reply within that time opens a window before it awaits. Outside a window the thread
// sleeps as usual, so an idle loop costs nothing.
void run_context(asio::io_context &context);

// Opens (or extends) the polling window of the run_context() running on this thread until
// deadline. No effect on a context run otherwise.
void poll_eagerly_until(std::chrono::steady_clock::time_point deadline);

// Runs the awaitable on a fresh io_context on the calling thread and returns its result
// (rethrowing its exception). For tests, tools and main(). Returns once the context is out of
// work: the task has finished and so has everything it started (detached tasks, blocking
// calls), and nothing waits on the context any more. An open redis::Connection keeps a read
// waiting, so close it (EventBase::disconnect) before the task ends. Objects bound to the
// context (connections, timers) must not outlive the call.
template <typename T> T run(asio::awaitable<T> task);
void run(asio::awaitable<void> task);

// ---------------------------------------------------------------------------------------------

namespace detail {

// Completes with (exception, result) on the handler's own executor after fn ran on the pool.
template <typename R, typename Fn> auto async_on_pool(Fn fn) {
  using Result = std::conditional_t<std::is_void_v<R>, std::monostate, R>;
  return asio::async_initiate<const asio::use_awaitable_t<>,
                              void(std::exception_ptr, std::optional<Result>)>(
      [](auto handler, Fn fn) {
        // The guard keeps the loop's io_context from running out of work while fn runs.
        auto work = asio::make_work_guard(asio::get_associated_executor(handler));
        asio::post(worker_pool(), [fn = std::move(fn), handler = std::move(handler),
                                   work = std::move(work)]() mutable {
          std::exception_ptr error;
          std::optional<Result> result;
          try {
            if constexpr (std::is_void_v<R>) {
              fn();
              result.emplace();
            } else {
              result.emplace(fn());
            }
          } catch (...) {
            error = std::current_exception();
          }
          auto executor = work.get_executor();
          asio::post(executor, [handler = std::move(handler), error, result = std::move(result),
                                work = std::move(work)]() mutable {
            std::move(handler)(error, std::move(result));
          });
        });
      },
      asio::use_awaitable, std::move(fn));
}

} // namespace detail

template <typename Fn> asio::awaitable<std::invoke_result_t<Fn>> run_blocking(Fn fn) {
  using R = std::invoke_result_t<Fn>;
  auto result = co_await detail::async_on_pool<R>(std::move(fn));
  if constexpr (!std::is_void_v<R>)
    co_return std::move(*result);
}

template <typename T> T run(asio::awaitable<T> task) {
  asio::io_context context;
  std::optional<T> result;
  std::exception_ptr error;
  asio::co_spawn(
      context, [&]() -> asio::awaitable<void> { result.emplace(co_await std::move(task)); },
      [&](std::exception_ptr e) { error = std::move(e); });
  run_context(context);
  if (error)
    std::rethrow_exception(error);
  return std::move(*result);
}

} // namespace loop
