#include "networking/remote_historian/v2/pending_row.h"

#include <sys/mman.h>

#include <algorithm>
#include <cassert>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "loop/loop.h"

namespace networking::remote_historian::v2 {

namespace {

void *map_huge_block() {
  // Twice the size, so that an aligned block lies inside; the rest is given back at once.
  const std::size_t span = 2 * kHugeBlockBytes;
  void *raw = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED)
    throw std::bad_alloc();
  const auto start = reinterpret_cast<std::uintptr_t>(raw);
  const std::uintptr_t aligned = (start + kHugeBlockBytes - 1) & ~(kHugeBlockBytes - 1);
  if (aligned > start)
    munmap(raw, aligned - start);
  const std::uintptr_t tail = aligned + kHugeBlockBytes;
  if (start + span > tail)
    munmap(reinterpret_cast<void *>(tail), start + span - tail);
  void *block = reinterpret_cast<void *>(aligned);
  // Only advice: without huge pages the block works the same, page by page.
  madvise(block, kHugeBlockBytes, MADV_HUGEPAGE);
  return block;
}

// Blocks faulted in ahead of need by a worker, and blocks given back, for the next rows: the
// first touch of fresh memory (the kernel zeroing it) is a large part of what buffering a row
// costs, and the worker does it while the loop reads. At most kSpareBlocks are kept.
constexpr std::size_t kSpareBlocks = 4;
constexpr std::size_t kBlocksAhead = 2;

struct SpareBlocks {
  std::mutex mutex;
  std::vector<void *> blocks;
  std::size_t preparing = 0;
};

SpareBlocks &spare_blocks() {
  static auto *spare = new SpareBlocks(); // never destroyed: blocks may be freed until exit
  return *spare;
}

void prepare_block() {
  SpareBlocks &spare = spare_blocks();
  void *block = nullptr;
  try {
    block = map_huge_block();
    // One write per page faults the block in (a huge page at the first write).
    for (std::size_t at = 0; at < kHugeBlockBytes; at += 4096)
      static_cast<volatile char *>(block)[at] = 0;
  } catch (const std::bad_alloc &) {
    // The loop maps its own block when it needs one.
  }
  std::lock_guard lock(spare.mutex);
  --spare.preparing;
  if (block != nullptr) {
    if (spare.blocks.size() < kSpareBlocks)
      spare.blocks.push_back(block);
    else
      munmap(block, kHugeBlockBytes);
  }
}

} // namespace

void *allocate_huge_block() {
  SpareBlocks &spare = spare_blocks();
  void *block = nullptr;
  bool prepare = false;
  {
    std::lock_guard lock(spare.mutex);
    if (!spare.blocks.empty()) {
      block = spare.blocks.back();
      spare.blocks.pop_back();
    }
    if (spare.blocks.size() + spare.preparing < kBlocksAhead) {
      ++spare.preparing;
      prepare = true;
    }
  }
  if (prepare)
    asio::post(loop::worker_pool(), prepare_block);
  return block != nullptr ? block : map_huge_block();
}

void free_huge_block(void *block) noexcept {
  if (!block)
    return;
  SpareBlocks &spare = spare_blocks();
  {
    std::lock_guard lock(spare.mutex);
    if (spare.blocks.size() < kSpareBlocks) {
      spare.blocks.push_back(block);
      return;
    }
  }
  munmap(block, kHugeBlockBytes);
}

std::shared_ptr<double[]> ValueArena::allocate(std::size_t n) {
  // A vector longer than a quarter block (65,536 elements) gets storage of its own.
  if (n > kBlockDoubles / 4)
    return std::make_shared_for_overwrite<double[]>(n);
  if (!_block || kBlockDoubles - _used < n) {
    auto *block = static_cast<double *>(allocate_huge_block());
    _block = std::shared_ptr<double[]>(block, [](double *p) { free_huge_block(p); });
    _used = 0;
  }
  // Shares the block's ownership, points at the slice.
  std::shared_ptr<double[]> slice(_block, _block.get() + _used);
  _used += n;
  return slice;
}

std::size_t ValueArena::text_bytes(std::size_t n) {
  // Whole doubles, so that the vectors cut after it stay aligned.
  return std::max<std::size_t>((n + sizeof(double) - 1) / sizeof(double), 1) * sizeof(double);
}

RowText ValueArena::copy(std::string_view text) {
  const std::shared_ptr<double[]> storage = allocate(text_bytes(text.size()) / sizeof(double));
  char *bytes = reinterpret_cast<char *>(storage.get());
  std::memcpy(bytes, text.data(), text.size());
  return RowText(std::shared_ptr<const char[]>(storage, bytes), text.size());
}

std::span<char> ValueArena::room() {
  if (!_block)
    return {};
  return {reinterpret_cast<char *>(_block.get() + _used), (kBlockDoubles - _used) * sizeof(double)};
}

RowText ValueArena::keep(std::size_t n) {
  const std::size_t doubles = text_bytes(n) / sizeof(double);
  assert(_block && kBlockDoubles - _used >= doubles);
  const std::shared_ptr<double[]> storage(_block, _block.get() + _used);
  _used += doubles;
  return RowText(std::shared_ptr<const char[]>(storage, reinterpret_cast<char *>(storage.get())),
                 n);
}

std::optional<EntryId> EntryId::parse(std::string_view text) {
  const auto number = [](std::string_view digits, std::uint64_t &n) {
    if (digits.empty() || (digits.size() > 1 && digits[0] == '0'))
      return false;
    const char *end = digits.data() + digits.size();
    const auto [at, ec] = std::from_chars(digits.data(), end, n);
    return ec == std::errc() && at == end;
  };
  const std::size_t dash = text.find('-');
  EntryId id;
  if (dash == std::string_view::npos || !number(text.substr(0, dash), id._ms) ||
      !number(text.substr(dash + 1), id._seq) || !id)
    return std::nullopt;
  return id;
}

std::string EntryId::text() const {
  char buffer[kMaxTextSize];
  char *end = std::to_chars(buffer, buffer + sizeof(buffer), _ms).ptr;
  *end++ = '-';
  end = std::to_chars(end, buffer + sizeof(buffer), _seq).ptr;
  return std::string(buffer, end);
}

namespace {

std::size_t text_heap_bytes(const std::optional<std::string> &text) {
  // Texts within the inline buffer take nothing beside the row.
  return text && text->capacity() > std::string().capacity() ? text->capacity() + 1 : 0;
}

} // namespace

std::size_t held_bytes(const PendingRow &row) {
  std::size_t bytes = sizeof(PendingRow) + text_heap_bytes(row.run_id) +
                      text_heap_bytes(row.sim_id) + text_heap_bytes(row.episode_id) +
                      text_heap_bytes(row.skill_name) + text_heap_bytes(row.scenario);
  bytes += sizeof(double) * (row._obs_vec.kept() + row._action_vec.kept());
  if (row._sim_data)
    bytes += ValueArena::text_bytes(row._sim_data.size());
  if (row._skill_data)
    bytes += ValueArena::text_bytes(row._skill_data.size());
  return bytes;
}

void RowBuffer::push_back(PendingRow &&row) {
  if (_size == _blocks.size() * kRowsPerBlock) {
    _blocks.emplace_back(static_cast<PendingRow *>(allocate_huge_block()));
  }
  PendingRow *placed = new (&(*this)[_size]) PendingRow(std::move(row));
  ++_size;
  _bytes += held_bytes(*placed);
}

void RowBuffer::clear() noexcept {
  for (std::size_t i = 0; i < _size; ++i)
    (*this)[i].~PendingRow();
  _size = 0;
  _bytes = 0;
  _blocks.clear();
}

} // namespace networking::remote_historian::v2
