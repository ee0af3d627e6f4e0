#pragma once

// An exclusive advisory lock (flock) on a lock file, held for the life of the object: one
// historian at a time writes the outputs of one base name in a directory.

#include <memory>
#include <string>
#include <utility>

namespace networking::remote_historian::v2 {

class OutputLock {
public:
  // Creates path when missing and locks it without waiting. Returns nullptr when another
  // holder has it; throws when the file cannot be opened or locked.
  static std::unique_ptr<OutputLock> try_acquire(const std::string &path);

  // Removes the lock file, then releases the lock.
  ~OutputLock();
  OutputLock(const OutputLock &) = delete;
  OutputLock &operator=(const OutputLock &) = delete;

  const std::string &path() const { return _path; }

private:
  OutputLock(std::string path, int fd) : _path(std::move(path)), _fd(fd) {}

  std::string _path;
  int _fd;
};

} // namespace networking::remote_historian::v2
