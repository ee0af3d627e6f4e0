#pragma once

// The step buffer: the rows taken in since the last write, the arena that holds their vectors
// and texts, and the counts that the memory bounds read.
//
// Invariants: rows are appended and taken only on the loop thread, never across a suspension,
// so no lock is needed. Rows taken by a write under way (a durable checkpoint's) still count
// toward the bounds until the write lands (landed) or they come back (put_back), as they are
// still in memory.

#include <cstddef>
#include <cstdint>
#include <memory>

#include "networking/remote_historian/v2/pending_row.h"

namespace networking::remote_historian::v2 {

class StepBuffer {
public:
  // Bounds below 1 are taken as 1.
  StepBuffer(std::int64_t max_rows, std::int64_t max_bytes);

  void push_back(PendingRow &&row) { _pending_rows.push_back(std::move(row)); }
  bool empty() const { return _pending_rows.empty(); }
  std::size_t size() const { return _pending_rows.size(); }
  // The bytes the buffered rows hold, with those of a write under way.
  std::size_t bytes_held() const { return _pending_rows.bytes() + _bytes_in_flight; }
  // Rows or bytes (a write's under way included) have reached their bound.
  bool full() const;
  std::size_t max_rows() const { return _max_buffered_rows; }

  // Every buffered row, for a write: the buffer starts empty again.
  std::shared_ptr<RowBuffer> take();
  // The same, for a write that goes on beside the loop: its rows count until landed().
  std::shared_ptr<RowBuffer> take_in_flight();
  void landed();
  // Rows of a write that failed go back in front of those taken in meanwhile.
  void put_back(RowBuffer &&rows);

  // Storage of the buffered rows' vectors and raw texts.
  ValueArena &arena() { return _value_arena; }

  // Appended to and swapped only on the loop thread.
  RowBuffer _pending_rows;

private:
  ValueArena _value_arena;
  // When this many rows wait, they are written at once as an extra part, so that memory stays
  // bounded however long a cycle lasts. The final files are the same.
  std::size_t _max_buffered_rows;
  // The same in bytes, so that wide steps are bounded as well as narrow ones.
  std::size_t _max_buffered_bytes;
  std::size_t _rows_in_flight = 0;
  std::size_t _bytes_in_flight = 0;
};

} // namespace networking::remote_historian::v2
