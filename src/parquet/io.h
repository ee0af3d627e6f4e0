#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace parquet {

// A read-only file, a byte buffer standing in for one (the fuzzer's input), or any other
// source of a known size that can read a range (an object in a bucket). Reads are positioned,
// so one InputFile can serve several readers of the same thread.
class InputFile {
public:
  // Reads exactly size bytes at offset into out, or throws.
  using RangeReader =
      std::function<void(std::uint64_t offset, std::size_t size, std::uint8_t *out)>;

  // Throws parquet::Error naming the file when it cannot be opened.
  static InputFile open(const std::string &path);
  // Does not copy: data must outlive the InputFile.
  static InputFile from_memory(std::string name, const std::uint8_t *data, std::size_t size);
  // A source of size bytes named name; every read goes to read, whose exceptions pass through.
  static InputFile from_ranges(std::string name, std::uint64_t size, RangeReader read);

  InputFile(InputFile &&other) noexcept;
  InputFile &operator=(InputFile &&other) noexcept;
  InputFile(const InputFile &) = delete;
  InputFile &operator=(const InputFile &) = delete;
  ~InputFile();

  const std::string &path() const { return _path; }
  std::uint64_t size() const { return _size; }
  int fd() const { return _fd; } // -1 for a memory buffer or a ranged source

  // Reads exactly size bytes at offset into out. Requires: the range lies inside the file.
  // Throws parquet::Error when the file got shorter or reading fails.
  void read(std::uint64_t offset, std::size_t size, std::uint8_t *out) const;

private:
  InputFile() = default;
  std::string _path;
  int _fd = -1;
  const std::uint8_t *_memory = nullptr;
  RangeReader _ranges;
  std::uint64_t _size = 0;
};

// A file written front to back through a buffer; tracks its position.
class OutputFile {
public:
  // Creates or truncates path. Throws parquet::Error naming the file.
  explicit OutputFile(std::string path);
  // Takes over fd, open for writing on the empty file at path.
  OutputFile(std::string path, int fd);
  OutputFile(const OutputFile &) = delete;
  OutputFile &operator=(const OutputFile &) = delete;
  ~OutputFile(); // closes without flushing when close() was not called

  const std::string &path() const { return _path; }
  std::uint64_t position() const { return _position; }
  int fd() const { return _fd; }

  void write(const void *data, std::size_t size);
  void write(const std::string &bytes) { write(bytes.data(), bytes.size()); }
  // Copies size bytes at offset of input, in the kernel where it can.
  void copy_from(const InputFile &input, std::uint64_t offset, std::uint64_t size);
  void flush();
  // From now on, starts the kernel's writeback of every few MiB written, so that a final
  // sync() waits for little more than the last of them.
  void write_back_early() { _write_back_early = true; }
  void sync();  // flush, then fsync
  void close(); // flush, then close; throws on failure

private:
  [[noreturn]] void _fail(const char *action) const;
  void _write_direct(const std::uint8_t *data, std::size_t size);
  void _written(std::uint64_t bytes);

  std::string _path;
  int _fd = -1;
  std::uint64_t _position = 0;
  std::vector<std::uint8_t> _buffer;
  std::size_t _used = 0;
  bool _write_back_early = false;
  std::uint64_t _handed = 0;       // bytes given to the kernel
  std::uint64_t _written_back = 0; // bytes whose writeback was started
};

// Syncs the directory that holds path, so that a rename into it survives a crash. Best effort:
// a directory that cannot be opened or synced is not an error.
void sync_directory_of(const std::string &path);

} // namespace parquet
