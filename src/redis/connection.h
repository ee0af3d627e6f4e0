#pragma once

// A Redis connection on the event loop: hiredis formats commands and parses replies, Asio
// does the I/O. Commands are pipelined: send() queues a command without waiting, and every
// command queued in one turn of the loop goes out in one write. Replies arrive in order.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <asio.hpp>

#include "redis/reply.h"

namespace redis {

struct Endpoint {
  std::string host = "localhost";
  std::uint16_t port = 6379;
  std::optional<std::string> user;
  std::optional<std::string> password;
  int db = 0;
};

// Parses redis://[[user]:password@]host[:port][/db]. Throws std::invalid_argument with a clear
// message for anything else.
Endpoint parse_url(std::string_view url);

class Connection {
 public:
  // Connects (AUTH and SELECT as the endpoint asks). Throws ConnectionError when the server
  // cannot be reached, ResponseError when it refuses AUTH or SELECT.
  static asio::awaitable<std::shared_ptr<Connection>> connect(asio::any_io_executor executor,
                                                              Endpoint endpoint);

  // Sends one command and awaits its reply. An error reply is thrown as ResponseError, a lost
  // connection as ConnectionError. After a lost connection, the next command reconnects once.
  asio::awaitable<Reply> command(std::vector<std::string> args);

  // Queues one command without waiting; on_reply runs on the loop when its reply (or the
  // connection's failure, as an exception_ptr) arrives. Its reply still comes in order.
  using ReplyHandler = std::function<void(std::exception_ptr, Reply)>;
  void send(std::vector<std::string> args, ReplyHandler on_reply);

  // Awaits every reply of commands sent so far.
  asio::awaitable<void> drain();

  // Closes the socket; pending commands fail with ConnectionError.
  void close();
  bool is_open() const;
};

}  // namespace redis
