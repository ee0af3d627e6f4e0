#pragma once

// The ledger of a durable run: per stream the last entry handled, the entries handled since the
// last checkpoint (acknowledged once the next one is on disk), the entries that failed and
// stay pending and the entries of other consumers about to be taken over; when the next checkpoint
// is due and when a failed one may be tried again; and what waits for a checkpoint besides rows:
// cycle summary rows whose write failed and cycle-metrics reports. Loop thread only.
//
// Invariants: an entry is in the unacknowledged lists from the moment it is handled until a
// checkpoint that holds its effects is on disk, and never acknowledged before; a checkpoint
// takes the lists, reports and due flag of one instant (take), and a failed one gives them
// back in front of what came meanwhile (give_back). Failed entries are never acknowledged here.
// The last ids only grow. An entry taken over from another consumer usually lies before them,
// so it is noted as claimed before it is claimed, and only once a checkpoint that notes it is
// on disk may it be claimed: until it is handled, no checkpoint says that it holds it.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "networking/remote_historian/v2/cycles/cycle_state.h"
#include "networking/remote_historian/v2/durable/checkpoint.h"
#include "networking/remote_historian/v2/ordered_map.h"
#include "parquet/table.h"

namespace networking::remote_historian::v2 {

class DurableLedger {
public:
  using Clock = std::chrono::steady_clock;
  using IdLists = OrderedMap<std::vector<std::string>>;

  explicit DurableLedger(std::chrono::milliseconds flush_interval);

  // The checkpoint of output base `base` in dir.
  void name_checkpoint(const std::string &dir, const std::string &base);
  const std::string &checkpoint_file() const { return _checkpoint_file; }

  // The entry is handled: it waits for the next checkpoint, and is no longer only claimed.
  void _entry_handled(const std::string &stream, const std::string &id);
  void record_failure(const std::string &stream, const std::string &id);
  void forget_failure(const std::string &stream, const std::string &id);
  // At the start of a recovery: the failures of the checkpoint, which are read again.
  IdLists take_failures();
  // Whether the checkpoint holds entry id of stream: at or before its last entry handled, and
  // neither among the failures it listed nor among the entries it noted as claimed.
  bool holds(const std::string &stream, const std::string &id, const IdLists &failures) const;
  // Whether entry id of stream was handled before in this run or a checkpoint holds it: at or
  // before the last entry handled, and not a failure.
  bool handled_before(const std::string &stream, const std::string &id) const {
    return holds(stream, id, _failed_ids);
  }
  // The entries of stream handled and waiting for a checkpoint to be acknowledged.
  std::unordered_set<std::string> waiting_for_checkpoint(const std::string &stream) const;

  // Entries of other consumers about to be claimed; the ticket to ask claims_saved with.
  std::uint64_t note_claims(const std::string &stream, const std::vector<std::string> &ids);
  // A checkpoint that notes the claims of that ticket is on disk: they may be claimed.
  bool claims_saved(std::uint64_t ticket) const { return _claims_saved >= ticket; }
  // The claim of id came to nothing (not claimed, or gone from the stream), or its entry went
  // elsewhere (the dead-letter stream, the failures).
  void claim_settled(const std::string &stream, const std::string &id);
  // Once a recovery handled this consumer's pending entries: the claims a checkpoint noted
  // are either among them (handled) or were never made.
  void claims_recovered() { _claiming = {}; }

  // Something was written that the next checkpoint must cover (a part, a cycle row).
  void mark_due() { _checkpoint_due = true; }
  bool due() const { return _checkpoint_due; }
  // A checkpoint should start beside the read loop: none is under way, a failed one's retry
  // time has come, and one is due or entries have waited the flush interval (after a read that
  // found the streams empty, quiet, a tenth of it).
  bool should_start(Clock::time_point now, bool quiet) const;
  bool waiting_to_retry(Clock::time_point now) const { return now < _retry_at; }
  void set_running(bool running) { _checkpoint_running = running; }
  // Recovery counts as a checkpoint for the interval.
  void started(Clock::time_point now) { _last_checkpoint = now; }

  // What one checkpoint acknowledges and sends once it is on disk.
  struct Taken {
    IdLists acks;
    std::size_t ack_count = 0;
    std::vector<CallbackReport> reports;
  };
  Taken take();
  // The checkpoint failed: it is tried again after a growing delay, with everything in front.
  void give_back(Taken taken, Clock::time_point now);
  // No checkpoint could be made yet: tried again after a growing delay.
  void retry_later(Clock::time_point now);
  double retry_delay_seconds() const;
  void succeeded(Clock::time_point now);

  // As many entries as max_rows wait for a checkpoint (those under way included).
  bool at_bound(std::size_t max_rows) const;
  // Everything handled is in a checkpoint and nothing waits to be written.
  bool complete() const;

  // A closed cycle's rows: its summary row and the rows of the episodes it counted (emptied
  // once written).
  struct CycleRows {
    CycleRow row;
    parquet::Table episodes;
  };
  // Closed cycles whose rows are not written yet, to be written (in order) before the next
  // checkpoint.
  void queue_cycle_rows(CycleRows rows) { _unwritten_cycle_rows.push_back(std::move(rows)); }
  std::vector<CycleRows> &unwritten_cycle_rows() { return _unwritten_cycle_rows; }
  // Cycle-metrics reports: the skills whose cycle closed in the entry being handled, and the
  // reports built once it was, sent after the next checkpoint.
  void report_after_checkpoint(std::string skill) {
    _callbacks_to_build.push_back(std::move(skill));
  }
  std::vector<std::string> take_reports_to_build();
  void add_report(CallbackReport report) {
    _callbacks_after_checkpoint.push_back(std::move(report));
  }

  // The checkpoint's share: per stream the last entry handled, the failed entries and the
  // entries being claimed (absent from a checkpoint of an earlier release).
  void save(Checkpoint &c) const;
  void restore(const Checkpoint &c);

private:
  std::string _checkpoint_file;
  const std::chrono::milliseconds _flush_interval;
  OrderedMap<std::string> _last_ids;
  IdLists _unacked;
  std::size_t _unacked_count = 0;
  std::size_t _acks_in_flight = 0;
  IdLists _failed_ids;
  IdLists _claiming;
  // Notes of claims made, taken by the checkpoint under way, and in a checkpoint on disk.
  std::uint64_t _claims_noted = 0;
  std::uint64_t _claims_in_flight = 0;
  std::uint64_t _claims_saved = 0;
  bool _checkpoint_due = false;
  bool _checkpoint_running = false;
  Clock::time_point _last_checkpoint{};
  // A failed checkpoint or write is tried again from then on, no sooner.
  Clock::time_point _retry_at{};
  std::chrono::milliseconds _retry_delay{0};
  std::vector<CycleRows> _unwritten_cycle_rows;
  std::vector<std::string> _callbacks_to_build;
  std::vector<CallbackReport> _callbacks_after_checkpoint;
};

} // namespace networking::remote_historian::v2
