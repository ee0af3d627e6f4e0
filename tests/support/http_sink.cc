#include "tests/support/http_sink.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <stdexcept>

#include "tests/support/loopback.h"

namespace support {

namespace {

constexpr auto kIoTimeout = std::chrono::seconds(10);

std::string lower(std::string text) {
  for (char &c : text)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string trim(const std::string &text) {
  std::size_t begin = text.find_first_not_of(" \t");
  std::size_t end = text.find_last_not_of(" \t\r");
  return begin == std::string::npos ? "" : text.substr(begin, end - begin + 1);
}

const char *reason(int status) {
  switch (status) {
  case 200:
    return "OK";
  case 201:
    return "Created";
  case 204:
    return "No Content";
  case 400:
    return "Bad Request";
  case 404:
    return "Not Found";
  case 500:
    return "Internal Server Error";
  case 503:
    return "Service Unavailable";
  default:
    return "Status";
  }
}

// Reads more bytes into buffer; false on end of stream, error or kIoTimeout.
bool read_more(int fd, std::string &buffer) {
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, static_cast<int>(std::chrono::milliseconds(kIoTimeout).count())) <= 0) {
    return false;
  }
  char chunk[8192];
  ssize_t n = read(fd, chunk, sizeof chunk);
  if (n <= 0)
    return false;
  buffer.append(chunk, static_cast<std::size_t>(n));
  return true;
}

void write_all(int fd, const std::string &data) {
  std::size_t done = 0;
  while (done < data.size()) {
    ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n <= 0)
      return;
    done += static_cast<std::size_t>(n);
  }
}

} // namespace

std::string HttpSink::Request::header(const std::string &lower_name) const {
  auto it = headers.find(lower_name);
  return it == headers.end() ? "" : it->second;
}

HttpSink::HttpSink() {
  _listen_fd = listen_on_loopback("HttpSink", _port);
  if (pipe2(_wake_pipe, O_CLOEXEC) != 0) {
    close(_listen_fd);
    throw std::runtime_error("HttpSink: pipe() failed");
  }
  _thread = std::thread([this] { _serve(); });
}

HttpSink::~HttpSink() { stop(); }

void HttpSink::stop() {
  {
    std::lock_guard lock(_mutex);
    if (_stopping && !_thread.joinable())
      return;
    _stopping = true;
  }
  _changed.notify_all();
  if (_wake_pipe[1] >= 0) {
    [[maybe_unused]] ssize_t n = write(_wake_pipe[1], "x", 1);
  }
  if (_thread.joinable())
    _thread.join();
  for (int *fd : {&_listen_fd, &_wake_pipe[0], &_wake_pipe[1]}) {
    if (*fd >= 0)
      close(*fd);
    *fd = -1;
  }
}

void HttpSink::set_status(int status) {
  std::lock_guard lock(_mutex);
  _status = status;
}

void HttpSink::set_delay(std::chrono::milliseconds delay) {
  std::lock_guard lock(_mutex);
  _delay = delay;
}

std::string HttpSink::url() const { return "http://127.0.0.1:" + std::to_string(_port); }

std::vector<HttpSink::Request> HttpSink::requests() const {
  std::lock_guard lock(_mutex);
  return _requests;
}

std::vector<HttpSink::Request>
HttpSink::wait_for_requests(std::size_t n, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(_mutex);
  _changed.wait_for(lock, timeout, [&] { return _requests.size() >= n; });
  return _requests;
}

void HttpSink::_serve() {
  for (;;) {
    pollfd fds[2] = {{_listen_fd, POLLIN, 0}, {_wake_pipe[0], POLLIN, 0}};
    if (poll(fds, 2, -1) < 0)
      continue;
    if (fds[1].revents != 0)
      return;
    if ((fds[0].revents & POLLIN) == 0)
      continue;
    int fd = accept4(_listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0)
      continue;
    _handle(fd);
    close(fd);
  }
}

void HttpSink::_handle(int fd) {
  std::string buffer;
  std::size_t header_end;
  while ((header_end = buffer.find("\r\n\r\n")) == std::string::npos) {
    if (!read_more(fd, buffer))
      return;
  }
  Request request;
  std::size_t line_end = buffer.find("\r\n");
  std::string request_line = buffer.substr(0, line_end);
  std::size_t space1 = request_line.find(' ');
  std::size_t space2 = request_line.find(' ', space1 + 1);
  request.method = request_line.substr(0, space1);
  request.path = request_line.substr(space1 + 1, space2 - space1 - 1);
  std::size_t pos = line_end + 2;
  while (pos < header_end) {
    std::size_t next = buffer.find("\r\n", pos);
    std::string line = buffer.substr(pos, next - pos);
    std::size_t colon = line.find(':');
    if (colon != std::string::npos) {
      request.headers[lower(trim(line.substr(0, colon)))] = trim(line.substr(colon + 1));
    }
    pos = next + 2;
  }
  if (lower(request.header("expect")) == "100-continue") {
    write_all(fd, "HTTP/1.1 100 Continue\r\n\r\n");
  }
  std::size_t content_length = std::strtoul(request.header("content-length").c_str(), nullptr, 10);
  std::string rest = buffer.substr(header_end + 4);
  while (rest.size() < content_length) {
    if (!read_more(fd, rest))
      break;
  }
  request.body = rest.substr(0, content_length);

  int status;
  {
    std::unique_lock lock(_mutex);
    _requests.push_back(std::move(request));
    status = _status;
    auto delay = _delay;
    _changed.notify_all();
    if (delay.count() > 0)
      _changed.wait_for(lock, delay, [&] { return _stopping; });
    if (_stopping)
      return;
  }
  const std::string body = "{}";
  write_all(fd, "HTTP/1.1 " + std::to_string(status) + " " + reason(status) +
                    "\r\nContent-Type: application/json\r\nContent-Length: " +
                    std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
}

} // namespace support
