#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace support {

// A real HTTP/1.1 server on a free 127.0.0.1 port, on its own thread, that records every
// request and answers each with a fixed status after an optional delay. One connection at a
// time; every response closes its connection.
class HttpSink {
public:
  struct Request {
    std::string method;
    std::string path;
    std::map<std::string, std::string> headers; // names in lower case
    std::string body;
    std::string header(const std::string &lower_name) const;
  };

  HttpSink();
  ~HttpSink(); // stop()
  HttpSink(const HttpSink &) = delete;
  HttpSink &operator=(const HttpSink &) = delete;

  // Status and delay of the responses from now on (default 200, no delay). A delayed
  // response is cut short by stop().
  void set_status(int status);
  void set_delay(std::chrono::milliseconds delay);

  // "http://127.0.0.1:<port>".
  std::string url() const;
  std::uint16_t port() const { return _port; }

  std::vector<Request> requests() const;
  // Waits until at least n requests are recorded or timeout passes; returns the requests.
  std::vector<Request> wait_for_requests(std::size_t n, std::chrono::milliseconds timeout) const;

  // Stops listening and joins the thread. Idempotent.
  void stop();

private:
  void _serve();
  void _handle(int fd);

  int _listen_fd = -1;
  int _wake_pipe[2] = {-1, -1};
  std::uint16_t _port = 0;
  std::thread _thread;

  mutable std::mutex _mutex;
  mutable std::condition_variable _changed;
  bool _stopping = false;
  int _status = 200;
  std::chrono::milliseconds _delay{0};
  std::vector<Request> _requests;
};

} // namespace support
