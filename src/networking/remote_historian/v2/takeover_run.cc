// Entries other consumers of the group left, as the conductor takes them over: between reads,
// on the read loop's connection, the entries idle for the claim time are found (XPENDING),
// claimed (XCLAIM, which checks the idle time again, so that two instances never both get one)
// and handled as if read. XPENDING rather than XAUTOCLAIM: it gives each entry's deliveries,
// and a durable run must note the entries in a checkpoint before they become its own (see
// DurableLedger). Entries delivered too often go to the dead-letter stream in both modes.

#include <algorithm>
#include <chrono>
#include <exception>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "networking/remote_historian/v2/event_historian_processor.h"
#include "networking/remote_historian/v2/logger.h"

namespace networking::remote_historian::v2 {

namespace {

// Pending entries asked for per XPENDING page, and so claimed per XCLAIM (and per checkpoint).
constexpr std::size_t kClaimPage = 1000;
// Entries claimed per round; a full round makes the next follow at once, after a read.
constexpr std::size_t kClaimsPerRound = 10 * kClaimPage;

} // namespace

asio::awaitable<void> EventHistorianProcessor::_entry_failed(const std::string &stream,
                                                             const redis::Reply &entry,
                                                             const std::string &error) {
  const std::string &id = entry.elements[0].str;
  if (_ledger)
    _ledger->record_failure(stream, id);
  const std::optional<std::string> &dead_letters = _takeover.dead_letter_stream();
  if (!dead_letters || !redis_client)
    co_return;
  try {
    std::vector<std::string> ask = {"XPENDING", stream, consumer_group, id, id, "1"};
    const redis::Reply pending = co_await redis_client->command(std::move(ask));
    if (pending.elements.empty() || pending.elements[0].elements.size() < 4)
      co_return;
    const long long deliveries = pending.elements[0].elements[3].integer;
    if (!_takeover.to_dead_letters(deliveries))
      co_return;
    co_await _move_to_dead_letters(stream, entry, error);
    logger().warning("[EventHistorian] Entry %s of %s failed on %lld deliveries; moved to %s",
                     id.c_str(), stream.c_str(), deliveries, dead_letters->c_str());
  } catch (const std::exception &e) {
    logger().error("[EventHistorian] Moving entry %s of %s to %s failed: %s", id.c_str(),
                   stream.c_str(), dead_letters->c_str(), e.what());
  }
}

asio::awaitable<void> EventHistorianProcessor::_move_to_dead_letters(const std::string &stream,
                                                                     const redis::Reply &entry,
                                                                     const std::string &error) {
  const std::string &id = entry.elements[0].str;
  std::vector<std::string> copy = {"XADD", *_takeover.dead_letter_stream(), "*"};
  const redis::Reply &fields = entry.elements[1];
  if (fields.type == redis::Reply::Type::kArray)
    for (const redis::Reply &field : fields.elements)
      copy.push_back(field.str);
  copy.insert(copy.end(), {"error", error, "source_stream", stream, "source_id", id});
  co_await redis_client->command(std::move(copy));
  std::vector<std::string> ack = {"XACK", stream, consumer_group, id};
  co_await redis_client->command(std::move(ack));
  if (_ledger)
    _ledger->forget_failure(stream, id);
}

asio::awaitable<void> EventHistorianProcessor::_claim_round() {
  if (!_is_running || !redis_client || !_takeover.round_due(std::chrono::steady_clock::now()))
    co_return;
  std::size_t claimed = 0;
  try {
    for (const std::string &stream : _read_streams()) {
      claimed += co_await _claim_idle_entries(stream, kClaimsPerRound - claimed);
      co_await _remove_idle_consumers(stream);
    }
  } catch (const std::exception &e) {
    logger().error("[EventHistorian] Taking over idle entries failed: %s", e.what());
  }
  _takeover.round_done(std::chrono::steady_clock::now(), claimed >= kClaimsPerRound);
}

asio::awaitable<std::size_t> EventHistorianProcessor::_claim_idle_entries(const std::string &stream,
                                                                          std::size_t limit) {
  std::size_t claimed = 0;
  std::string start = "-";
  while (claimed < limit) {
    std::vector<std::string> ask = {"XPENDING",
                                    stream,
                                    consumer_group,
                                    "IDLE",
                                    _takeover.min_idle_ms(),
                                    start,
                                    "+",
                                    std::to_string(std::min(kClaimPage, limit - claimed))};
    const redis::Reply page = co_await redis_client->command(std::move(ask));
    std::string last = start;
    const std::vector<Takeover::Candidate> candidates =
        Takeover::candidates(page, consumer_name, last);
    if (!candidates.empty()) {
      const std::optional<std::size_t> got = co_await _claim_entries(stream, candidates);
      if (!got)
        break;
      claimed += *got;
    }
    if (page.elements.size() < kClaimPage || last == start)
      break;
    start = "(" + last;
  }
  co_return claimed;
}

asio::awaitable<std::optional<std::size_t>>
EventHistorianProcessor::_claim_entries(const std::string &stream,
                                        const std::vector<Takeover::Candidate> &candidates) {
  std::vector<std::string> ids;
  std::unordered_map<std::string, const Takeover::Candidate *> by_id;
  for (const Takeover::Candidate &c : candidates) {
    ids.push_back(c.id);
    by_id.emplace(c.id, &c);
  }
  // No checkpoint may hold an entry of ours before it is handled: the checkpoint on disk must
  // say that these are being claimed before any of them is ours.
  if (_ledger) {
    const std::uint64_t ticket = _ledger->note_claims(stream, ids);
    co_await _durable_checkpoint();
    if (!_ledger->claims_saved(ticket)) {
      for (const std::string &id : ids)
        _ledger->claim_settled(stream, id);
      logger().warning("[EventHistorian] No checkpoint could be written; the idle entries of "
                       "%s are taken over later",
                       stream.c_str());
      co_return std::nullopt;
    }
  }
  std::vector<std::string> claim = {"XCLAIM", stream, consumer_group, consumer_name,
                                    _takeover.min_idle_ms()};
  claim.insert(claim.end(), ids.begin(), ids.end());
  const redis::Reply reply = co_await redis_client->command(std::move(claim));

  // Entries deleted from the stream are not returned (and leave the pending list); an entry
  // another consumer claimed or acknowledged first is not returned either.
  std::unordered_set<std::string> returned;
  std::unordered_set<std::string> owners;
  StreamMetrics &counts = metrics->stream(stream);
  for (const redis::Reply &entry : reply.elements) {
    if (entry.type != redis::Reply::Type::kArray || entry.elements.size() != 2)
      continue;
    const std::string &id = entry.elements[0].str;
    const auto found = by_id.find(id);
    if (found == by_id.end())
      continue;
    returned.insert(id);
    owners.insert(found->second->consumer);
    counts.claimed.add();
    if (entry.elements[1].type == redis::Reply::Type::kNil) {
      _acks.acknowledge_held(*redis_client, stream, id);
      if (_ledger)
        _ledger->claim_settled(stream, id);
      continue;
    }
    // XCLAIM counted one more delivery.
    const std::int64_t deliveries = found->second->deliveries + 1;
    if (_takeover.to_dead_letters(deliveries)) {
      try {
        co_await _move_to_dead_letters(stream, entry,
                                       "delivered " + std::to_string(deliveries) +
                                           " times without being acknowledged");
        if (_ledger)
          _ledger->claim_settled(stream, id);
        logger().warning("[EventHistorian] Entry %s of %s was delivered %lld times; moved to %s",
                         id.c_str(), stream.c_str(), static_cast<long long>(deliveries),
                         _takeover.dead_letter_stream()->c_str());
      } catch (const std::exception &e) {
        // It stays pending with this consumer, as a failed entry.
        if (_ledger)
          _ledger->record_failure(stream, id);
        counts.failed.add();
        logger().error("[EventHistorian] Moving entry %s of %s to %s failed: %s", id.c_str(),
                       stream.c_str(), _takeover.dead_letter_stream()->c_str(), e.what());
      }
      continue;
    }
    co_await _handle_entry(stream, entry, {});
  }
  if (_ledger)
    for (const std::string &id : ids)
      if (!returned.count(id))
        _ledger->claim_settled(stream, id);
  if (_acks.per_read())
    _acks._send_read_acks(redis_client.get());
  if (!returned.empty()) {
    std::string from;
    for (const std::string &owner : owners)
      from += (from.empty() ? "'" : ", '") + owner + "'";
    logger().warning("[EventHistorian] Took over %d entries of %s idle for %s ms or more from "
                     "consumer %s",
                     static_cast<int>(returned.size()), stream.c_str(),
                     _takeover.min_idle_ms().c_str(), from.c_str());
  }
  co_return returned.size();
}

asio::awaitable<void> EventHistorianProcessor::_remove_idle_consumers(const std::string &stream) {
  std::vector<std::string> ask = {"XINFO", "CONSUMERS", stream, consumer_group};
  const redis::Reply consumers = co_await redis_client->command(std::move(ask));
  for (const std::string &name : _takeover.removable(consumers, consumer_name)) {
    std::vector<std::string> remove = {"XGROUP", "DELCONSUMER", stream, consumer_group, name};
    const redis::Reply deleted = co_await redis_client->command(std::move(remove));
    metrics->consumers_removed.add();
    if (deleted.integer > 0) {
      logger().error("[EventHistorian] Removing idle consumer '%s' of %s deleted %lld pending "
                     "entries; they will not be delivered again",
                     name.c_str(), stream.c_str(), static_cast<long long>(deleted.integer));
    } else {
      logger().debug("[EventHistorian] Removed consumer '%s' of %s, idle without pending entries",
                     name.c_str(), stream.c_str());
    }
  }
}

} // namespace networking::remote_historian::v2
