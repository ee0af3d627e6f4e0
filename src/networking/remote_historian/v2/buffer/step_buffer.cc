// The step buffer and its bounds.

#include "networking/remote_historian/v2/buffer/step_buffer.h"

#include <algorithm>
#include <utility>

namespace networking::remote_historian::v2 {

StepBuffer::StepBuffer(std::int64_t max_rows, std::int64_t max_bytes)
    : _max_buffered_rows(static_cast<std::size_t>(std::max<std::int64_t>(1, max_rows))),
      _max_buffered_bytes(static_cast<std::size_t>(std::max<std::int64_t>(1, max_bytes))) {}

bool StepBuffer::full() const {
  return _pending_rows.size() + _rows_in_flight >= _max_buffered_rows ||
         _pending_rows.bytes() + _bytes_in_flight >= _max_buffered_bytes;
}

std::shared_ptr<RowBuffer> StepBuffer::take() {
  return std::make_shared<RowBuffer>(std::exchange(_pending_rows, {}));
}

std::shared_ptr<RowBuffer> StepBuffer::take_in_flight() {
  auto rows = take();
  _rows_in_flight = rows->size();
  _bytes_in_flight = rows->bytes();
  return rows;
}

void StepBuffer::landed() {
  _rows_in_flight = 0;
  _bytes_in_flight = 0;
}

void StepBuffer::put_back(RowBuffer &&rows) {
  for (PendingRow &row : _pending_rows)
    rows.push_back(std::move(row));
  _pending_rows = std::move(rows);
}

} // namespace networking::remote_historian::v2
