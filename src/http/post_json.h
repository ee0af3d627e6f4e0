#pragma once
#include <chrono>
#include <stdexcept>
#include <string>
namespace http {
class Error : public std::runtime_error {
  using std::runtime_error::runtime_error;
};
// POSTs body (Content-Type: application/json) to url and waits at most timeout for the whole
// exchange. Returns the HTTP status; throws http::Error on a connection failure or time-out.
// Blocking: call it from a worker thread.
long post_json(const std::string &url, const std::string &body, std::chrono::milliseconds timeout);
} // namespace http
