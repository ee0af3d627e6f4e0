// Acknowledgement of stream entries, per entry, per read or in bulk.

#include "networking/remote_historian/v2/acks/acknowledger.h"

#include <algorithm>
#include <exception>

#include "networking/remote_historian/v2/logger.h"

namespace networking::remote_historian::v2 {

Acknowledger::Acknowledger(const std::string &group, std::shared_ptr<HistorianMetrics> metrics,
                           bool per_read)
    : _group(group), _metrics(std::move(metrics)), _ack_per_read(per_read) {}

void Acknowledger::entry_handled(redis::Connection &connection, const std::string &stream_name,
                                 const std::string &raw_id) {
  if (_ack_per_read) {
    auto stream = std::find_if(_read_acks.begin(), _read_acks.end(),
                               [&stream_name](const auto &s) { return s.first == stream_name; });
    if (stream == _read_acks.end())
      stream = _read_acks.insert(stream, {stream_name, {}});
    stream->second.push_back(raw_id);
    return;
  }
  // Sent without waiting: the reply is collected with the next read's round trip. The handler
  // holds the counters: it may run as the connection closes, after the processor.
  StreamMetrics *acked = &_metrics->stream(stream_name);
  connection.send({"XACK", stream_name, _group, raw_id}, [raw_id, acked, all = _metrics](
                                                             const std::exception_ptr &error,
                                                             const redis::Reply &) {
    if (!error) {
      acked->acknowledged.add();
      return;
    }
    acked->failed.add();
    try {
      std::rethrow_exception(error);
    } catch (const std::exception &e) {
      all->redis_failed(e.what());
      logger().error("[EventHistorian] Error processing message %s: %s", raw_id.c_str(), e.what());
    }
  });
}

void Acknowledger::_send_read_acks(redis::Connection *connection) {
  if (!connection)
    return;
  for (auto &[stream, ids] : _read_acks) {
    if (!ids.empty())
      _send_bulk_ack(*connection, stream, ids.begin(), ids.end());
    ids.clear();
  }
}

void Acknowledger::_send_bulk_ack(redis::Connection &connection, const std::string &stream,
                                  std::vector<std::string>::const_iterator first,
                                  std::vector<std::string>::const_iterator last) {
  std::vector<std::string> ack = {"XACK", stream, _group};
  ack.insert(ack.end(), first, last);
  const auto count = static_cast<std::size_t>(last - first);
  // Sent without waiting: the reply is collected with the next read's round trip. The handler
  // holds the counters: it may run as the connection closes, after the processor.
  StreamMetrics *acked = &_metrics->stream(stream);
  connection.send(ack, [count, acked, all = _metrics,
                        name = stream](const std::exception_ptr &error, const redis::Reply &) {
    if (!error) {
      acked->acknowledged.add(count);
      return;
    }
    acked->failed.add(count);
    try {
      std::rethrow_exception(error);
    } catch (const std::exception &e) {
      all->redis_failed(e.what());
      logger().error("[EventHistorian] Acknowledging %d entries of %s failed: %s",
                     static_cast<int>(count), name.c_str(), e.what());
    }
  });
}

void Acknowledger::acknowledge_held(redis::Connection &connection, const std::string &stream,
                                    const std::string &id) {
  StreamMetrics *counts = &_metrics->stream(stream);
  std::vector<std::string> ack = {"XACK", stream, _group, id};
  connection.send(
      ack, [counts, all = _metrics](const std::exception_ptr &failure, const redis::Reply &) {
        (failure ? counts->failed : counts->acknowledged).add();
      });
}

} // namespace networking::remote_historian::v2
