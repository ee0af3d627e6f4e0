#pragma once

// Taking over what other consumers of the group left: when the next round of claims is due,
// which pending entries of an XPENDING reply are candidates, which consumers of an XINFO
// CONSUMERS reply may be removed, and where entries delivered too often go (the dead-letter
// stream). The conductor sends the commands; this part decides. Loop thread only.
//
// Invariants: an entry is a candidate only when another consumer holds it and it has waited at
// least the claim time, which exceeds the longest wait for an acknowledgement (claim_idle_floor):
// a live consumer's entries are never candidates while it works normally. A consumer is
// removable only with no pending entries, so removing it loses nothing.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "redis/reply.h"

namespace networking::remote_historian::v2 {

// The claim time must exceed this: the longest an entry waits for its acknowledgement. The
// default mode acknowledges an entry once handled (the handling of a read and a reply, each
// within the Redis time-out); a durable run after the next checkpoint (the flush interval, then
// the checkpoint's write and the acknowledgement's reply).
// Default mode: 2 x redis_timeout; durable: flush_interval + 2 x redis_timeout.
std::chrono::milliseconds claim_idle_floor(bool durable, std::chrono::milliseconds flush_interval,
                                           std::chrono::milliseconds redis_timeout);

class Takeover {
public:
  using Clock = std::chrono::steady_clock;

  // claim_idle: how long another consumer's entry waits before this one takes it; none: never.
  // dead_letter_stream: where an entry delivered more than max_deliveries times goes; none:
  // such entries stay pending.
  Takeover(std::optional<std::chrono::milliseconds> claim_idle,
           std::optional<std::string> dead_letter_stream, std::int64_t max_deliveries);

  bool claims() const { return _claim_idle.has_value(); }
  // XPENDING's IDLE and XCLAIM's min-idle-time, in milliseconds. Requires: claims().
  std::string min_idle_ms() const;
  // A round of claims should run: claims are on and the round interval (half the claim time,
  // at most kLongestInterval) has passed since the last, or the last stopped at its limit.
  bool round_due(Clock::time_point now) const;
  // full: the round stopped at its limit, so the next one follows at once.
  void round_done(Clock::time_point now, bool full);

  const std::optional<std::string> &dead_letter_stream() const { return _dead_letter_stream; }
  std::int64_t max_deliveries() const { return _max_deliveries; }
  // An entry delivered this often goes to the dead-letter stream (when there is one).
  bool to_dead_letters(std::int64_t deliveries) const {
    return _dead_letter_stream && deliveries > _max_deliveries;
  }

  // A pending entry of another consumer: its id, owner and deliveries so far.
  struct Candidate {
    std::string id;
    std::string consumer;
    std::int64_t deliveries = 0;
  };
  // The entries of an extended XPENDING reply held by consumers other than me. last_id: the
  // reply's last id (whoever holds it), for the next page; unchanged for an empty reply.
  static std::vector<Candidate> candidates(const redis::Reply &pending, const std::string &me,
                                           std::string &last_id);
  // The consumers of an XINFO CONSUMERS reply other than me with no pending entries and idle
  // longer than the claim time.
  std::vector<std::string> removable(const redis::Reply &consumers, const std::string &me) const;

  static constexpr std::chrono::milliseconds kLongestInterval{5000};

private:
  const std::optional<std::chrono::milliseconds> _claim_idle;
  const std::optional<std::string> _dead_letter_stream;
  const std::int64_t _max_deliveries;
  Clock::time_point _next_round{};
};

} // namespace networking::remote_historian::v2
