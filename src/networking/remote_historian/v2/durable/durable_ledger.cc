// The ledger of a durable run: what is handled, acknowledged, failed and due.

#include "networking/remote_historian/v2/durable/durable_ledger.h"

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <utility>

namespace networking::remote_historian::v2 {

namespace {

constexpr auto kFirstRetryDelay = std::chrono::milliseconds(500);
constexpr auto kLongestRetryDelay = std::chrono::milliseconds(30'000);

bool contains(const std::vector<std::string> *ids, const std::string &id) {
  return ids && std::find(ids->begin(), ids->end(), id) != ids->end();
}

// Removes id from the list of stream, if there; entries are handled in about the order they
// were claimed, so it is usually near the front.
void remove_id(DurableLedger::IdLists &lists, const std::string &stream, const std::string &id) {
  std::vector<std::string> *ids = lists.find(stream);
  if (!ids)
    return;
  if (auto it = std::find(ids->begin(), ids->end(), id); it != ids->end())
    ids->erase(it);
}

} // namespace

DurableLedger::DurableLedger(std::chrono::milliseconds flush_interval)
    : _flush_interval(flush_interval) {}

void DurableLedger::name_checkpoint(const std::string &dir, const std::string &base) {
  _checkpoint_file = (std::filesystem::path(dir) / (base + ".checkpoint.json")).string();
}

void DurableLedger::_entry_handled(const std::string &stream, const std::string &id) {
  _unacked.get_or_insert(stream, {}).push_back(id);
  ++_unacked_count;
  const std::string *last = _last_ids.find(stream);
  if (!last || _entry_id_after(id, *last))
    _last_ids.set(stream, id);
  if (!_claiming.empty())
    remove_id(_claiming, stream, id);
}

void DurableLedger::record_failure(const std::string &stream, const std::string &id) {
  if (std::vector<std::string> &failed = _failed_ids.get_or_insert(stream, {});
      !contains(&failed, id))
    failed.push_back(id);
  if (!_claiming.empty())
    remove_id(_claiming, stream, id);
}

void DurableLedger::forget_failure(const std::string &stream, const std::string &id) {
  if (std::vector<std::string> *ids = _failed_ids.find(stream))
    std::erase(*ids, id);
}

DurableLedger::IdLists DurableLedger::take_failures() { return std::exchange(_failed_ids, {}); }

bool DurableLedger::holds(const std::string &stream, const std::string &id,
                          const IdLists &failures) const {
  const std::string *last = _last_ids.find(stream);
  return last && !_entry_id_after(id, *last) && !contains(failures.find(stream), id) &&
         !contains(_claiming.find(stream), id);
}

std::uint64_t DurableLedger::note_claims(const std::string &stream,
                                         const std::vector<std::string> &ids) {
  std::vector<std::string> &claiming = _claiming.get_or_insert(stream, {});
  claiming.insert(claiming.end(), ids.begin(), ids.end());
  return ++_claims_noted;
}

void DurableLedger::claim_settled(const std::string &stream, const std::string &id) {
  remove_id(_claiming, stream, id);
}

std::unordered_set<std::string>
DurableLedger::waiting_for_checkpoint(const std::string &stream) const {
  const std::vector<std::string> *ids = _unacked.find(stream);
  if (!ids)
    return {};
  return {ids->begin(), ids->end()};
}

bool DurableLedger::should_start(Clock::time_point now, bool quiet) const {
  if (_checkpoint_running || now < _retry_at)
    return false;
  const auto interval = quiet ? _flush_interval / 10 : _flush_interval;
  return _checkpoint_due || (_unacked_count != 0 && now - _last_checkpoint >= interval);
}

DurableLedger::Taken DurableLedger::take() {
  Taken taken;
  taken.acks = std::exchange(_unacked, {});
  taken.ack_count = std::exchange(_unacked_count, 0);
  taken.reports = std::exchange(_callbacks_after_checkpoint, {});
  _checkpoint_due = false;
  _acks_in_flight = taken.ack_count;
  _claims_in_flight = _claims_noted;
  return taken;
}

void DurableLedger::give_back(Taken taken, Clock::time_point now) {
  _acks_in_flight = 0;
  retry_later(now);
  for (const auto &[stream, later] : _unacked) {
    std::vector<std::string> &ids = taken.acks.get_or_insert(stream, {});
    ids.insert(ids.end(), later.begin(), later.end());
  }
  _unacked = std::move(taken.acks);
  _unacked_count += taken.ack_count;
  taken.reports.insert(taken.reports.end(),
                       std::make_move_iterator(_callbacks_after_checkpoint.begin()),
                       std::make_move_iterator(_callbacks_after_checkpoint.end()));
  _callbacks_after_checkpoint = std::move(taken.reports);
  _checkpoint_due = true;
}

void DurableLedger::retry_later(Clock::time_point now) {
  _retry_delay =
      std::clamp<std::chrono::milliseconds>(_retry_delay * 2, kFirstRetryDelay, kLongestRetryDelay);
  _retry_at = now + _retry_delay;
}

double DurableLedger::retry_delay_seconds() const {
  return static_cast<double>(_retry_delay.count()) / 1000;
}

void DurableLedger::succeeded(Clock::time_point now) {
  _acks_in_flight = 0;
  _retry_delay = std::chrono::milliseconds(0);
  _retry_at = {};
  _last_checkpoint = now;
  _claims_saved = _claims_in_flight;
}

bool DurableLedger::at_bound(std::size_t max_rows) const {
  return _unacked_count + _acks_in_flight >= max_rows;
}

bool DurableLedger::complete() const {
  return _unwritten_cycle_rows.empty() && _unacked_count == 0 && !_checkpoint_due;
}

std::vector<std::string> DurableLedger::take_reports_to_build() {
  return std::exchange(_callbacks_to_build, {});
}

void DurableLedger::save(Checkpoint &c) const {
  c.insert("last_ids", checkpoint::map_value(_last_ids));
  c.insert("failed_ids", checkpoint::id_lists(_failed_ids));
  c.insert("claiming_ids", checkpoint::id_lists(_claiming));
}

void DurableLedger::restore(const Checkpoint &c) {
  using namespace checkpoint;
  _last_ids = map_of<std::string>(c, "last_ids", text_of);
  _failed_ids = map_of<std::vector<std::string>>(c, "failed_ids", id_list);
  _claiming = c.find("claiming_ids") ? map_of<std::vector<std::string>>(c, "claiming_ids", id_list)
                                     : IdLists{};
}

} // namespace networking::remote_historian::v2
