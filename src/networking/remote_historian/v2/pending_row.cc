#include "networking/remote_historian/v2/pending_row.h"

#include <sys/mman.h>

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <cstring>
#include <new>

namespace networking::remote_historian::v2 {

void *allocate_huge_block() {
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

void free_huge_block(void *block) noexcept {
  if (block)
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

void RowBuffer::push_back(PendingRow &&row) {
  if (_size == _blocks.size() * kRowsPerBlock) {
    _blocks.emplace_back(static_cast<PendingRow *>(allocate_huge_block()));
  }
  new (&(*this)[_size]) PendingRow(std::move(row));
  ++_size;
}

void RowBuffer::clear() noexcept {
  for (std::size_t i = 0; i < _size; ++i)
    (*this)[i].~PendingRow();
  _size = 0;
  _blocks.clear();
}

} // namespace networking::remote_historian::v2
