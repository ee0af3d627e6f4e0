#include "networking/remote_historian/v2/output/output_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace networking::remote_historian::v2 {

namespace {

// Whether path still names the file open as fd.
bool still_named(int fd, const std::string &path) {
  struct stat open_file {};
  struct stat named {};
  return ::fstat(fd, &open_file) == 0 && ::stat(path.c_str(), &named) == 0 &&
         open_file.st_dev == named.st_dev && open_file.st_ino == named.st_ino;
}

} // namespace

std::unique_ptr<OutputLock> OutputLock::try_acquire(const std::string &path) {
  // A holder removes the file before it lets the lock go, so a lock won on a file that no
  // longer has this name is worth nothing: open the name again.
  for (int attempt = 0; attempt < 100; ++attempt) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
      throw std::runtime_error("Cannot open lock file " + path + ": " + std::strerror(errno));
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int error = errno;
      ::close(fd);
      if (error == EWOULDBLOCK)
        return nullptr;
      throw std::runtime_error("Cannot lock " + path + ": " + std::strerror(error));
    }
    if (still_named(fd, path))
      return std::unique_ptr<OutputLock>(new OutputLock(path, fd));
    ::close(fd);
  }
  throw std::runtime_error("Cannot lock " + path + ": the file keeps being replaced");
}

OutputLock::~OutputLock() {
  // Removed while still held: whoever opened it meanwhile sees it gone once it gets the lock.
  ::unlink(_path.c_str());
  ::close(_fd);
}

} // namespace networking::remote_historian::v2
