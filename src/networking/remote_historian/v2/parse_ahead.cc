#include "networking/remote_historian/v2/parse_ahead.h"

#include <thread>
#include <utility>

#include "loop/loop.h"

namespace networking::remote_historian::v2 {

ParseAhead::ParseAhead(const std::vector<const std::string *> &texts)
    : _shared(std::make_shared<Shared>(texts.size())) {
  for (std::size_t i = 0; i < texts.size(); ++i) {
    _shared->slots[i].text = texts[i];
    _shared->slots[i].state.store(texts[i] ? kFree : kNone, std::memory_order_relaxed);
  }
}

ParseAhead::~ParseAhead() { finish(); }

ParseAhead::Parsed ParseAhead::parse(const std::string &text) {
  return Parsed{true, json::Document::parse_in_buffer(text)};
}

namespace {

// Jobs posted and not yet finished, in the whole process.
std::atomic<int> g_jobs{0};
constexpr int kMaxJobs = 2;

} // namespace

void ParseAhead::start() {
  _started = true;
  if (_shared->working.exchange(true, std::memory_order_acq_rel))
    return;
  if (g_jobs.fetch_add(1, std::memory_order_relaxed) >= kMaxJobs) {
    g_jobs.fetch_sub(1, std::memory_order_relaxed);
    _shared->working.store(false, std::memory_order_release);
    return;
  }
  asio::post(loop::worker_pool(), [shared = _shared] {
    work(shared);
    g_jobs.fetch_sub(1, std::memory_order_relaxed);
  });
}

void ParseAhead::work(const std::shared_ptr<Shared> &shared) {
  const std::size_t n = shared->slots.size();
  while (!shared->finished.load(std::memory_order_acquire)) {
    std::size_t i = shared->next.load(std::memory_order_acquire);
    if (i >= n || i >= shared->taken.load(std::memory_order_acquire) + kWindow)
      break;
    if (!shared->next.compare_exchange_weak(i, i + 1, std::memory_order_acq_rel))
      continue;
    Slot &slot = shared->slots[i];
    unsigned char expected = kFree;
    if (!slot.state.compare_exchange_strong(expected, kParsing, std::memory_order_acquire))
      continue; // nothing to parse, or the loop has come this far
    try {
      slot.result = parse(*slot.text);
    } catch (...) {
      // Out of memory here: the loop parses the text itself and meets the error there.
      slot.result = Parsed{};
    }
    slot.state.store(kParsed, std::memory_order_release);
  }
  shared->working.store(false, std::memory_order_release);
}

ParseAhead::Parsed ParseAhead::take(std::size_t i) {
  Shared &shared = *_shared;
  if (i >= shared.slots.size())
    return {};
  shared.taken.store(i + 1, std::memory_order_release);
  // The worker goes on from here if it has fallen behind.
  std::size_t next = shared.next.load(std::memory_order_acquire);
  while (next < i + 1 &&
         !shared.next.compare_exchange_weak(next, i + 1, std::memory_order_acq_rel)) {
  }
  // Called back once the loop has caught up half the window.
  if (_started && next < shared.slots.size() && next < i + 1 + kWindow / 2 &&
      !shared.working.load(std::memory_order_acquire) &&
      !shared.finished.load(std::memory_order_acquire)) {
    start();
  }
  Slot &slot = shared.slots[i];
  unsigned char expected = kFree;
  if (slot.state.compare_exchange_strong(expected, kTaken, std::memory_order_acquire) ||
      expected == kNone) {
    return {};
  }
  // The worker has it; it is at most one parse away.
  while (slot.state.load(std::memory_order_acquire) == kParsing)
    std::this_thread::yield();
  if (slot.state.load(std::memory_order_acquire) != kParsed)
    return {};
  slot.state.store(kTaken, std::memory_order_relaxed);
  return std::move(slot.result);
}

void ParseAhead::finish() {
  _shared->finished.store(true, std::memory_order_release);
  for (Slot &slot : _shared->slots) {
    unsigned char expected = kFree;
    if (slot.state.compare_exchange_strong(expected, kTaken, std::memory_order_acquire))
      continue;
    while (slot.state.load(std::memory_order_acquire) == kParsing)
      std::this_thread::yield();
    // A document parsed and never taken is dropped here, on the loop thread.
    if (slot.state.load(std::memory_order_acquire) == kParsed) {
      slot.result = Parsed{};
      slot.state.store(kTaken, std::memory_order_relaxed);
    }
  }
}

} // namespace networking::remote_historian::v2
