#include "loop/loop.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

// Spawns a detached task. Lambda coroutines go in as the callable itself (not as the
// awaitable it returns), so that co_spawn keeps their captures alive.
template <typename Task> void spawn(const asio::any_io_executor &executor, Task task) {
  asio::co_spawn(executor, std::move(task), asio::detached);
}

// A task that takes the lock, records its name, holds the lock for hold, then releases.
asio::awaitable<void> take(loop::AsyncLock &lock, std::vector<std::string> &order, std::string name,
                           std::chrono::milliseconds hold) {
  auto guard = co_await lock.lock();
  order.push_back(name);
  co_await loop::sleep_for(hold);
}

TEST(AsyncLock, WaitersGetTheLockInArrivalOrder) {
  loop::AsyncLock lock;
  std::vector<std::string> order;
  loop::run([&]() -> asio::awaitable<void> {
    auto executor = co_await asio::this_coro::executor;
    {
      auto guard = co_await lock.lock();
      for (const char *name : {"b", "c", "d"})
        spawn(executor, take(lock, order, name, 1ms));
      co_await loop::sleep_for(5ms); // b, c and d are queued now
      EXPECT_TRUE(lock.locked());
    }
    // Released above; a newcomer asking in the same turn must queue behind b, c and d.
    spawn(executor, take(lock, order, "e", 0ms));
    co_await loop::sleep_for(50ms);
  }());
  EXPECT_EQ(order, (std::vector<std::string>{"b", "c", "d", "e"}));
  EXPECT_FALSE(lock.locked());
}

TEST(AsyncLock, HoldersNeverOverlapAcrossAwaits) {
  loop::AsyncLock lock;
  int inside = 0;
  int max_inside = 0;
  int finished = 0;
  loop::run([&]() -> asio::awaitable<void> {
    auto executor = co_await asio::this_coro::executor;
    for (int i = 0; i < 5; ++i) {
      spawn(executor, [&]() -> asio::awaitable<void> {
        auto guard = co_await lock.lock();
        max_inside = std::max(max_inside, ++inside);
        co_await loop::sleep_for(2ms);
        co_await loop::run_blocking([] { std::this_thread::sleep_for(1ms); });
        --inside;
        ++finished;
      });
    }
    co_return;
  }());
  EXPECT_EQ(finished, 5);
  EXPECT_EQ(max_inside, 1);
}

TEST(AsyncLock, CancelledWaiterLeavesTheQueue) {
  loop::AsyncLock lock;
  std::vector<std::string> order;
  bool cancelled = false;
  asio::cancellation_signal signal; // outlives every task bound to it
  loop::run([&]() -> asio::awaitable<void> {
    auto executor = co_await asio::this_coro::executor;
    auto first = co_await lock.lock();
    auto guard = std::make_unique<loop::AsyncLock::Guard>(std::move(first));
    asio::co_spawn(
        executor,
        [&]() -> asio::awaitable<void> {
          co_await asio::this_coro::throw_if_cancelled(false);
          try {
            auto g = co_await lock.lock();
            order.push_back("cancelled one got the lock");
          } catch (const loop::Cancelled &) {
            cancelled = true;
          }
        },
        asio::bind_cancellation_slot(signal.slot(), asio::detached));
    spawn(executor, take(lock, order, "c", 0ms));
    co_await loop::sleep_for(2ms);
    signal.emit(asio::cancellation_type::terminal);
    co_await loop::sleep_for(2ms);
    guard.reset();
    co_await loop::sleep_for(5ms);
  }());
  EXPECT_TRUE(cancelled);
  EXPECT_EQ(order, (std::vector<std::string>{"c"}));
  EXPECT_FALSE(lock.locked());
}

TEST(RunBlocking, RunsOnAWorkerAndResumesOnTheLoopThread) {
  std::thread::id loop_thread = std::this_thread::get_id();
  std::thread::id worker_thread;
  std::thread::id resumed_on;
  auto value = loop::run([&]() -> asio::awaitable<std::unique_ptr<int>> {
    auto result = co_await loop::run_blocking([&] {
      worker_thread = std::this_thread::get_id();
      std::this_thread::sleep_for(20ms); // the loop has nothing else to do meanwhile
      return std::make_unique<int>(42);
    });
    resumed_on = std::this_thread::get_id();
    co_return result;
  }());
  ASSERT_NE(value, nullptr);
  EXPECT_EQ(*value, 42);
  EXPECT_NE(worker_thread, loop_thread);
  EXPECT_EQ(resumed_on, loop_thread);
}

TEST(RunBlocking, RethrowsTheWorkersExceptionOnTheLoopThread) {
  std::thread::id loop_thread = std::this_thread::get_id();
  std::string message;
  std::thread::id caught_on;
  loop::run([&]() -> asio::awaitable<void> {
    try {
      co_await loop::run_blocking([] { throw std::runtime_error("disk full"); });
    } catch (const std::runtime_error &e) {
      message = e.what();
      caught_on = std::this_thread::get_id();
    }
  }());
  EXPECT_EQ(message, "disk full");
  EXPECT_EQ(caught_on, loop_thread);
}

TEST(RunBlocking, LoopKeepsTurningWhileTheWorkerBlocks) {
  int ticks = 0;
  bool done = false;
  loop::run([&]() -> asio::awaitable<void> {
    auto executor = co_await asio::this_coro::executor;
    spawn(executor, [&]() -> asio::awaitable<void> {
      while (!done) {
        ++ticks;
        co_await loop::sleep_for(5ms);
      }
    });
    co_await loop::run_blocking([] { std::this_thread::sleep_for(200ms); });
    done = true;
  }());
  EXPECT_GE(ticks, 10);
}

TEST(SleepFor, WaitsAtLeastTheDurationAndIsCancellable) {
  auto start = std::chrono::steady_clock::now();
  loop::run(loop::sleep_for(30ms));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 30ms);

  bool cancelled = false;
  start = std::chrono::steady_clock::now();
  asio::cancellation_signal signal; // outlives every task bound to it
  loop::run([&]() -> asio::awaitable<void> {
    auto executor = co_await asio::this_coro::executor;
    asio::co_spawn(
        executor,
        [&]() -> asio::awaitable<void> {
          co_await asio::this_coro::throw_if_cancelled(false);
          try {
            co_await loop::sleep_for(10s);
          } catch (const loop::Cancelled &) {
            cancelled = true;
          }
        },
        asio::bind_cancellation_slot(signal.slot(), asio::detached));
    co_await loop::sleep_for(5ms);
    signal.emit(asio::cancellation_type::terminal);
  }());
  EXPECT_TRUE(cancelled);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

TEST(Run, RethrowsTheTasksException) {
  EXPECT_THROW(loop::run([]() -> asio::awaitable<int> {
                 throw std::invalid_argument("bad");
                 co_return 1;
               }()),
               std::invalid_argument);
}

// CPU time the calling thread has used.
std::chrono::nanoseconds thread_cpu() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
}

TEST(RunContext, PollingWindowStillRunsTimersAndPostsAndEndsWhenOutOfWork) {
  asio::io_context io;
  std::vector<std::string> order;
  spawn(io.get_executor(), [&]() -> asio::awaitable<void> {
    loop::poll_eagerly_until(std::chrono::steady_clock::now() + 50ms);
    asio::post(io, [&] { order.push_back("posted"); });
    co_await loop::sleep_for(5ms); // inside the window
    order.push_back("slept in window");
    co_await loop::sleep_for(80ms); // ends after it
    order.push_back("slept past window");
  });
  const auto start = std::chrono::steady_clock::now();
  loop::run_context(io);
  EXPECT_EQ(order, (std::vector<std::string>{"posted", "slept in window", "slept past window"}));
  EXPECT_TRUE(io.stopped());
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

TEST(RunContext, ReturnsWhenStoppedDuringAWindow) {
  asio::io_context io;
  auto guard = asio::make_work_guard(io); // never out of work: only stop() ends it
  spawn(io.get_executor(), [&]() -> asio::awaitable<void> {
    loop::poll_eagerly_until(std::chrono::steady_clock::now() + 10s);
    co_await loop::sleep_for(2ms);
    io.stop();
  });
  const auto start = std::chrono::steady_clock::now();
  loop::run_context(io);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

// CPU time the loop thread spends on a task that opens a polling window of `window`, then
// waits `wait` on a timer.
std::chrono::nanoseconds cpu_of_window_then_wait(std::chrono::milliseconds window,
                                                 std::chrono::milliseconds wait) {
  asio::io_context io;
  spawn(io.get_executor(), [&]() -> asio::awaitable<void> {
    loop::poll_eagerly_until(std::chrono::steady_clock::now() + window);
    co_await loop::sleep_for(wait);
  });
  const auto cpu_before = thread_cpu();
  loop::run_context(io);
  return thread_cpu() - cpu_before;
}

TEST(RunContext, SleepsOnceTheWindowHasClosed) {
  // A window of 20 ms, then a 300 ms wait: the thread must sleep through nearly all of the
  // wait. The bound is loose (half the wait) so that a slow machine cannot fail it; a loop
  // that kept polling would use all of it.
  EXPECT_LT(cpu_of_window_then_wait(20ms, 300ms), 150ms);
}

TEST(RunContext, APollingWindowKeepsTheThreadBusy) {
  // The reverse check, so that the one above cannot pass because nothing ever polls.
  EXPECT_GT(cpu_of_window_then_wait(200ms, 200ms), 10ms);
}

} // namespace
