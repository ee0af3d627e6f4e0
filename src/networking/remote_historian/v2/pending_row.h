#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace networking::remote_historian::v2 {

// Memory for buffered rows, straight from the kernel in blocks of kHugeBlockBytes aligned to
// their size and advised for transparent huge pages. A buffer of a few hundred thousand rows
// then faults in a few hundred pages rather than tens of thousands, which on a virtual
// machine is a large part of what a step costs. A worker faults in the next blocks ahead of
// need, and a few blocks given back are kept for reuse. allocate_huge_block() throws
// std::bad_alloc.
inline constexpr std::size_t kHugeBlockBytes = std::size_t{2} << 20;
void *allocate_huge_block();
void free_huge_block(void *block) noexcept;

// A text of a buffered row (a raw JSON column), or absent: a view kept alive by its storage.
class RowText {
public:
  RowText() = default;
  RowText(std::shared_ptr<const char[]> storage, std::size_t size)
      : _data(std::move(storage)), _size(size) {}

  explicit operator bool() const { return _data != nullptr; }
  // Requires: present.
  std::string_view operator*() const { return {_data.get(), _size}; }
  std::string_view value_or(std::string_view absent) const { return _data ? **this : absent; }
  std::size_t size() const { return _size; }

private:
  std::shared_ptr<const char[]> _data;
  std::size_t _size = 0;
};

// Hands out arrays of doubles for the rows' vectors, and room for their texts, from huge blocks. A
// block is freed when the last vector cut from it is gone, so a vector stays valid wherever its row
// is moved. Used on one thread; the vectors may be released on any.
class ValueArena {
public:
  // n doubles, uninitialized, kept alive by the returned owner.
  std::shared_ptr<double[]> allocate(std::size_t n);
  // A copy of text.
  RowText copy(std::string_view text);

  // Room for texts written in place: the free bytes of the current block (none before the
  // first). keep(n) then takes the first n of them, as copy() would take a copy of them; any
  // other allocation reuses them.
  std::span<char> room();
  RowText keep(std::size_t n);
  // The bytes that copy() or keep() takes for a text of n bytes: the room for a next text
  // starts that far in.
  static std::size_t text_bytes(std::size_t n);

private:
  static constexpr std::size_t kBlockDoubles = kHugeBlockBytes / sizeof(double);

  std::shared_ptr<double[]> _block;
  std::size_t _used = 0; // doubles handed out from _block
};

// An observation or action vector of one step, its elements already converted to doubles.
// Only the elements that fit the schema width are kept; raw_length remembers how many the
// step carried, so the flush can report a truncation. A null element is stored as a NaN with
// a payload that no parsed number can produce.
class StepVector {
public:
  static constexpr std::uint64_t kNullBits = 0x7ff4'dead'0000'0001ULL;

  StepVector() = default;
  // Its own storage on the heap.
  StepVector(std::size_t kept, std::size_t raw_length)
      : StepVector(kept ? std::make_shared_for_overwrite<double[]>(kept) : nullptr, kept,
                   raw_length) {}
  // Storage of at least kept doubles from an arena (or anywhere else).
  StepVector(std::shared_ptr<double[]> storage, std::size_t kept, std::size_t raw_length)
      : _values(std::move(storage)), _kept(static_cast<std::uint32_t>(kept)),
        _raw_length(static_cast<std::uint32_t>(raw_length)) {}
  // Move-only: a copy would share its elements with the original.
  StepVector(StepVector &&) noexcept = default;
  StepVector &operator=(StepVector &&) noexcept = default;
  StepVector(const StepVector &) = delete;
  StepVector &operator=(const StepVector &) = delete;

  std::size_t kept() const { return _kept; }
  std::size_t raw_length() const { return _raw_length; }

  void set(std::size_t i, std::optional<double> v) {
    _values[i] = v ? *v : std::bit_cast<double>(kNullBits);
  }
  // Stores v as it is, kNullBits included.
  void set_raw(std::size_t i, double v) { _values[i] = v; }
  bool is_null(std::size_t i) const {
    return std::bit_cast<std::uint64_t>(_values[i]) == kNullBits;
  }
  double value(std::size_t i) const { return _values[i]; }

private:
  std::shared_ptr<double[]> _values;
  std::uint32_t _kept = 0;
  std::uint32_t _raw_length = 0;
};

// The id of a stream entry ("<ms>-<seq>") as its two numbers: 16 bytes in the row, where its
// text takes up to 41, and nothing on the heap. Redis refuses 0-0 as an entry id; here it is
// "no id".
class EntryId {
public:
  static constexpr std::size_t kMaxTextSize = 41; // two 20-digit numbers and the dash

  EntryId() = default;
  // The id that text names, as Redis writes one (decimal, no leading zeros); none for any other
  // text and for 0-0.
  static std::optional<EntryId> parse(std::string_view text);

  explicit operator bool() const { return _ms != 0 || _seq != 0; }
  // The id as Redis writes it. Requires: present.
  std::string text() const;

private:
  std::uint64_t _ms = 0;
  std::uint64_t _seq = 0;
};

// One buffered step: the ten column values, the two indices, the entry id and the four
// transport entries.
struct PendingRow {
  // The step's cycle (its skill's closed cycles + 1 when it was taken) and its 0-based place in
  // its episode (kNoStepIndex: it belongs to no episode, or lies beyond 2^31 - 1 steps, which
  // the episode log warns about once).
  static constexpr std::int32_t kNoStepIndex = -1;
  std::optional<std::string> run_id;
  std::optional<std::string> sim_id;
  std::optional<std::string> episode_id;
  std::optional<std::int64_t> step_number;
  std::optional<double> timestamp;
  std::optional<std::string> skill_name;
  std::optional<std::string> scenario;
  double reward = 0.0;
  bool terminated = false;
  bool truncated = false;
  // In the room the two flags leave before the next member: the index costs the row nothing.
  std::int32_t step_index = kNoStepIndex;
  std::int64_t cycle_index = 0;
  // The stream entry the step came in (none for a step handed to the processor directly).
  EntryId entry_id;
  StepVector _obs_vec;
  StepVector _action_vec;
  // The raw sim and skill mappings, kept as their JSON text (only when raw JSON columns are
  // written; the parsed tree is not kept alive).
  RowText _sim_data;
  RowText _skill_data;
};

// The memory a buffered row holds: the row itself, its texts beyond their inline buffers, its
// vectors' values and its raw JSON texts (at the room the arena gives them). What the buffer's
// byte bound counts.
std::size_t held_bytes(const PendingRow &row);

// The buffered rows, in arrival order: a sequence that grows in huge blocks and never moves
// a row once appended (a vector would copy every row, into fresh pages, each time it grows).
class RowBuffer {
public:
  static constexpr std::size_t kRowsPerBlock = kHugeBlockBytes / sizeof(PendingRow);

  template <bool Const> class Iterator {
  public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = PendingRow;
    using difference_type = std::ptrdiff_t;
    using reference = std::conditional_t<Const, const PendingRow &, PendingRow &>;
    using pointer = std::conditional_t<Const, const PendingRow *, PendingRow *>;
    using Buffer = std::conditional_t<Const, const RowBuffer, RowBuffer>;

    Iterator() = default;
    Iterator(Buffer *buffer, std::size_t i) : _buffer(buffer), _i(i) {}
    reference operator*() const { return (*_buffer)[_i]; }
    pointer operator->() const { return &(*_buffer)[_i]; }
    Iterator &operator++() {
      ++_i;
      return *this;
    }
    Iterator operator++(int) {
      Iterator old = *this;
      ++_i;
      return old;
    }
    friend bool operator==(const Iterator &a, const Iterator &b) { return a._i == b._i; }

  private:
    Buffer *_buffer = nullptr;
    std::size_t _i = 0;
  };
  using iterator = Iterator<false>;
  using const_iterator = Iterator<true>;

  RowBuffer() = default;
  RowBuffer(RowBuffer &&other) noexcept
      : _blocks(std::move(other._blocks)), _size(std::exchange(other._size, 0)),
        _bytes(std::exchange(other._bytes, 0)) {}
  RowBuffer &operator=(RowBuffer &&other) noexcept {
    if (this != &other) {
      clear();
      _blocks = std::move(other._blocks);
      _size = std::exchange(other._size, 0);
      _bytes = std::exchange(other._bytes, 0);
    }
    return *this;
  }
  RowBuffer(const RowBuffer &) = delete;
  RowBuffer &operator=(const RowBuffer &) = delete;
  ~RowBuffer() { clear(); }

  std::size_t size() const { return _size; }
  bool empty() const { return _size == 0; }
  // The held_bytes() of every row: moves with the rows, so a batch being written still counts.
  std::size_t bytes() const { return _bytes; }
  PendingRow &operator[](std::size_t i) { return _blocks[i / kRowsPerBlock][i % kRowsPerBlock]; }
  const PendingRow &operator[](std::size_t i) const {
    return _blocks[i / kRowsPerBlock][i % kRowsPerBlock];
  }
  PendingRow &front() { return (*this)[0]; }
  PendingRow &back() { return (*this)[_size - 1]; }
  const PendingRow &front() const { return (*this)[0]; }
  const PendingRow &back() const { return (*this)[_size - 1]; }
  iterator begin() { return {this, 0}; }
  iterator end() { return {this, _size}; }
  const_iterator begin() const { return {this, 0}; }
  const_iterator end() const { return {this, _size}; }

  void push_back(PendingRow &&row);
  // Destroys every row and gives the blocks back.
  void clear() noexcept;

private:
  struct FreeBlock {
    void operator()(PendingRow *block) const noexcept { free_huge_block(block); }
  };
  std::vector<std::unique_ptr<PendingRow[], FreeBlock>> _blocks;
  std::size_t _size = 0;
  std::size_t _bytes = 0;
};

} // namespace networking::remote_historian::v2
