#pragma once

// Acknowledgement of stream entries: one XACK per entry as soon as it is handled (the default),
// one per stream for a read's entries once they are all handled (a read count other than the
// default), or in bulk for the entries a durable checkpoint holds. Every XACK is sent without
// waiting; its reply is counted, and a failure logged, when it comes (the entries then stay
// pending). Loop thread only.
//
// Invariants: an id is handed over once, after its entry was handled; the entries of a read
// are sent before the next read's are gathered.

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "networking/remote_historian/v2/historian_metrics.h"
#include "redis/connection.h"

namespace networking::remote_historian::v2 {

class Acknowledger {
public:
  // group: the consumer group, which outlives this; per_read: a read's entries are
  // acknowledged together.
  Acknowledger(const std::string &group, std::shared_ptr<HistorianMetrics> metrics, bool per_read);

  bool per_read() const { return _ack_per_read; }
  // An entry handled: acknowledged now, or with its read's.
  void entry_handled(redis::Connection &connection, const std::string &stream,
                     const std::string &id);
  // Sends the acknowledgements gathered for the current read, one XACK per stream. Without a
  // connection the entries stay pending, and their acknowledgements wait here.
  void _send_read_acks(redis::Connection *connection);
  // Acknowledges ids of stream in one XACK.
  void _send_bulk_ack(redis::Connection &connection, const std::string &stream,
                      std::vector<std::string>::const_iterator first,
                      std::vector<std::string>::const_iterator last);
  // An entry that a restart finds already held by its checkpoint (or deleted): acknowledged,
  // counted, with no log line.
  void acknowledge_held(redis::Connection &connection, const std::string &stream,
                        const std::string &id);

private:
  const std::string &_group;
  const std::shared_ptr<HistorianMetrics> _metrics;
  const bool _ack_per_read;
  // Per stream, the entries of the current read handled so far.
  std::vector<std::pair<std::string, std::vector<std::string>>> _read_acks;
};

} // namespace networking::remote_historian::v2
