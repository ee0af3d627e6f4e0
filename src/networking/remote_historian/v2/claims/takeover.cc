// Taking over what other consumers of the group left: rounds, candidates, removable consumers.

#include "networking/remote_historian/v2/claims/takeover.h"

#include <algorithm>
#include <utility>

namespace networking::remote_historian::v2 {

std::chrono::milliseconds claim_idle_floor(bool durable, std::chrono::milliseconds flush_interval,
                                           std::chrono::milliseconds redis_timeout) {
  return (durable ? flush_interval : std::chrono::milliseconds(0)) + 2 * redis_timeout;
}

Takeover::Takeover(std::optional<std::chrono::milliseconds> claim_idle,
                   std::optional<std::string> dead_letter_stream, std::int64_t max_deliveries)
    : _claim_idle(claim_idle), _dead_letter_stream(std::move(dead_letter_stream)),
      _max_deliveries(max_deliveries) {}

std::string Takeover::min_idle_ms() const { return std::to_string(_claim_idle->count()); }

bool Takeover::round_due(Clock::time_point now) const { return _claim_idle && now >= _next_round; }

void Takeover::round_done(Clock::time_point now, bool full) {
  _next_round = full ? now : now + std::min(*_claim_idle / 2, kLongestInterval);
}

std::vector<Takeover::Candidate> Takeover::candidates(const redis::Reply &pending,
                                                      const std::string &me, std::string &last_id) {
  std::vector<Candidate> found;
  for (const redis::Reply &entry : pending.elements) {
    // id, consumer, idle milliseconds, deliveries
    if (entry.type != redis::Reply::Type::kArray || entry.elements.size() < 4)
      continue;
    last_id = entry.elements[0].str;
    if (entry.elements[1].str == me)
      continue;
    found.push_back({entry.elements[0].str, entry.elements[1].str, entry.elements[3].integer});
  }
  return found;
}

std::vector<std::string> Takeover::removable(const redis::Reply &consumers,
                                             const std::string &me) const {
  std::vector<std::string> names;
  for (const redis::Reply &consumer : consumers.elements) {
    const redis::Reply *name = nullptr;
    std::int64_t pending = -1;
    std::int64_t idle = -1;
    for (std::size_t i = 0; i + 1 < consumer.elements.size(); i += 2) {
      const std::string &field = consumer.elements[i].str;
      const redis::Reply &value = consumer.elements[i + 1];
      if (field == "name")
        name = &value;
      else if (field == "pending" && value.type == redis::Reply::Type::kInteger)
        pending = value.integer;
      else if (field == "idle" && value.type == redis::Reply::Type::kInteger)
        idle = value.integer;
    }
    if (name && name->str != me && pending == 0 && idle > _claim_idle->count())
      names.push_back(name->str);
  }
  return names;
}

} // namespace networking::remote_historian::v2
