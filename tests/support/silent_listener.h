#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace support {

// A TCP listener on a free 127.0.0.1 port, on its own thread, that accepts every connection
// and reads whatever arrives but never answers: a service that hangs. Its state says which
// requests are still held by their clients.
class SilentListener {
public:
  struct Connection {
    std::string received;
    bool closed = false; // the client has closed it (or reset it)
  };

  SilentListener();
  ~SilentListener(); // closes every connection and joins the thread
  SilentListener(const SilentListener &) = delete;
  SilentListener &operator=(const SilentListener &) = delete;

  // "http://127.0.0.1:<port>".
  std::string url() const;
  // The connections accepted so far, in order.
  std::vector<Connection> connections() const;

private:
  void _serve();

  int _listen_fd = -1;
  int _wake_pipe[2] = {-1, -1};
  std::uint16_t _port = 0;
  std::thread _thread;
  mutable std::mutex _mutex;
  std::vector<Connection> _connections;
};

} // namespace support
