#pragma once
#include <stdexcept>
namespace redis {
// The server cannot be reached or the connection broke.
class ConnectionError : public std::runtime_error {
  using std::runtime_error::runtime_error;
};
// An error reply; what() is the server's text ("BUSYGROUP Consumer Group name already exists").
class ResponseError : public std::runtime_error {
  using std::runtime_error::runtime_error;
};
} // namespace redis
