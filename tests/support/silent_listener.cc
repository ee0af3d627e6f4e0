#include "tests/support/silent_listener.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

#include "tests/support/loopback.h"

namespace support {

SilentListener::SilentListener() {
  _listen_fd = listen_on_loopback("SilentListener", _port);
  if (pipe2(_wake_pipe, O_CLOEXEC) != 0) {
    close(_listen_fd);
    throw std::runtime_error("SilentListener: cannot create its wake-up pipe");
  }
  _thread = std::thread([this] { _serve(); });
}

SilentListener::~SilentListener() {
  [[maybe_unused]] ssize_t n = write(_wake_pipe[1], "x", 1);
  _thread.join();
  for (int fd : {_listen_fd, _wake_pipe[0], _wake_pipe[1]})
    close(fd);
}

std::string SilentListener::url() const { return "http://127.0.0.1:" + std::to_string(_port); }

std::vector<SilentListener::Connection> SilentListener::connections() const {
  std::lock_guard lock(_mutex);
  return _connections;
}

void SilentListener::_serve() {
  std::vector<int> fds; // one per connection, -1 once closed
  for (;;) {
    std::vector<pollfd> polls = {{_wake_pipe[0], POLLIN, 0}, {_listen_fd, POLLIN, 0}};
    for (int fd : fds)
      polls.push_back({fd, POLLIN, 0}); // poll skips the negative ones
    if (poll(polls.data(), polls.size(), -1) < 0) {
      if (errno == EINTR)
        continue;
      break;
    }
    if (polls[0].revents != 0)
      break;
    for (std::size_t i = 0; i + 2 < polls.size(); ++i) {
      if (polls[i + 2].revents == 0)
        continue;
      char chunk[4096];
      const ssize_t n = read(fds[i], chunk, sizeof chunk);
      if (n < 0 && errno == EINTR)
        continue;
      std::lock_guard lock(_mutex);
      if (n > 0) {
        _connections[i].received.append(chunk, static_cast<std::size_t>(n));
      } else {
        _connections[i].closed = true;
        close(fds[i]);
        fds[i] = -1;
      }
    }
    if ((polls[1].revents & POLLIN) != 0) {
      const int fd = accept4(_listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) {
        fds.push_back(fd);
        std::lock_guard lock(_mutex);
        _connections.emplace_back();
      }
    }
  }
  for (int fd : fds)
    if (fd >= 0)
      close(fd);
}

} // namespace support
