#pragma once

// A Redis connection on the event loop: hiredis formats commands and parses replies, Asio
// does the I/O. Commands are pipelined: send() queues a command without waiting, and every
// command queued in one turn of the loop goes out in one write. Replies arrive in order.
//
// Threading: a Connection belongs to the loop thread of the executor it was connected on;
// every member is called there and every handler runs there. Not thread-safe.
//
// Failure: a socket error, a protocol error, the server closing the connection or a reply
// later than the time-out breaks it; every command awaiting a reply then fails with
// ConnectionError. The next command sent reconnects first (one attempt, with AUTH and SELECT
// again), so a caller that retries recovers once the server is back. close() is final: no
// reconnection after it.
//
// Sentinel: an endpoint with Sentinels is connected to the master they name (see
// MasterLocator), found again at every reconnection. An error reply that says the server is
// no longer a master to write to (READONLY, UNBLOCKED, MASTERDOWN) reaches its command and
// then breaks the connection, so the next command finds the master again.
//
// Time-out: while commands written await replies, the server must send something within the
// time-out, counted from the write when nothing was awaited before, else from the last bytes
// read. So a long pipeline that is being answered never times out, and a server that stops
// answering fails every pending command after one time-out; time a blocking command spends
// blocked counts. Opening the TCP connection, the TLS handshake and each handshake reply are
// bounded by it too.
//
// Cluster (a redis+cluster:// endpoint): the connection routes every command to the master of
// its key's slot, on a connection of its own per node, and answers as one server would (see
// Cluster). connect() reads the slot map first.
//
// TLS (a rediss:// endpoint): every connection, and every reconnection, does the TLS handshake
// right after the TCP connect and before AUTH and SELECT, with one client context made from the
// endpoint's TlsOptions when the Connection is made.
// Replies are pipelined, so a late one cannot be skipped: the connection breaks instead.

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include <asio.hpp>

#include "redis/cluster.h"
#include "redis/endpoint.h"
#include "redis/reply.h"
#include "redis/sentinel.h"

struct redisReader;

namespace redis {

struct ReaderState;
struct TlsState;

class Connection : public std::enable_shared_from_this<Connection> {
public:
  using Clock = std::chrono::steady_clock;
  static constexpr Clock::duration kDefaultTimeout = std::chrono::seconds(5);

  // Connects (TLS, AUTH and SELECT as the endpoint asks) with the given time-out for this and
  // every later command. Throws ConnectionError when the server cannot be reached, does not
  // answer in time or fails the TLS handshake, ResponseError when it refuses AUTH or SELECT,
  // std::invalid_argument when a TLS file cannot be loaded. Requires: timeout > 0.
  static asio::awaitable<std::shared_ptr<Connection>>
  connect(asio::any_io_executor executor, Endpoint endpoint,
          Clock::duration timeout = kDefaultTimeout);

  // Sends one command and awaits its reply. An error reply is thrown as ResponseError, a lost
  // connection or a late reply as ConnectionError. After a lost connection, the next command
  // reconnects once. A cancelled awaiting task gets loop::Cancelled; the reply is then read and
  // dropped.
  asio::awaitable<Reply> command(std::vector<std::string> args);
  // command("XACK", stream, group, id): the same with the words as arguments. GCC 12 cannot
  // compile a braced list as the operand of co_await (`co_await c->command({"PING"})`
  // fails with "array used as initializer"), so call sites inside coroutines use this form.
  template <typename... Words>
  requires(sizeof...(Words) > 0 && (std::is_convertible_v<const Words &, std::string_view> &&
                                    ...)) asio::awaitable<Reply> command(const Words &...words) {
    return command(std::vector<std::string>{std::string(std::string_view(words))...});
  }

  // Queues one command without waiting; on_reply runs on the loop when its reply (or the
  // connection's failure, as an exception_ptr) arrives. Its reply still comes in order.
  // An error reply reaches on_reply as a ResponseError exception_ptr.
  using ReplyHandler = std::function<void(std::exception_ptr, Reply)>;
  void send(const std::vector<std::string> &args, ReplyHandler on_reply);

  // A command sent now whose reply is collected later: a read sent ahead while the caller
  // still works on the previous reply. It is written at once (with whatever was queued
  // before it), not at the end of the loop's turn. Its reply keeps its place in the order.
  struct Ahead {
    std::optional<std::pair<std::exception_ptr, Reply>> result;
    std::function<void()> wake; // set while collect() waits
  };
  std::shared_ptr<Ahead> send_ahead(const std::vector<std::string> &args);
  // Awaits the reply of a command sent ahead, and throws as command() does. Not cancellable:
  // the reply comes within the time-out.
  asio::awaitable<Reply> collect(std::shared_ptr<Ahead> ahead);

  // Awaits every reply of commands sent so far (their handlers have run), so at most about
  // the time-out when the server stops answering. Never throws for a failed command: its
  // handler got the error.
  asio::awaitable<void> drain();

  // Closes the socket; pending commands fail with ConnectionError.
  void close();
  // Breaks an open connection as a failure does: pending commands fail with
  // ConnectionError(why), and the next command reconnects (under Sentinel, to the master found
  // then). No effect on a broken or closed one.
  void reset(const std::string &why);
  bool is_open() const;

  const Endpoint &endpoint() const { return _endpoint; }
  // Under Sentinel, what finds the master for this connection; null otherwise.
  const std::shared_ptr<MasterLocator> &locator() const { return _locator; }
  // For a cluster, what routes its commands; null otherwise.
  const std::shared_ptr<Cluster> &cluster() const { return _cluster; }
  // Commands sent and not yet answered.
  std::size_t pending() const { return _cluster ? _cluster->pending() : _pending.size(); }
  // Writes issued to the socket since the connection was created (a pipelining observable).
  std::uint64_t writes() const { return _cluster ? _cluster->writes() : _writes; }
  // How often the connection broke (or was closed) while commands it had written were
  // unanswered. Such a command may have been carried out by the server all the same: an
  // XREADGROUP then delivered entries whose answer never arrived. For a cluster, over all nodes,
  // counting the breaks that the cluster retried over.
  std::uint64_t lost_answers() const;

  // Throws std::invalid_argument when a file of the endpoint's TLS options cannot be loaded.
  Connection(asio::any_io_executor executor, Endpoint endpoint,
             Clock::duration timeout = kDefaultTimeout);
  ~Connection();
  Connection(const Connection &) = delete;
  Connection &operator=(const Connection &) = delete;

private:
  friend class Cluster; // flushes its node connections

  enum class State { kBroken, kConnecting, kOpen, kClosed };

  // Opens a socket to the endpoint (no handshake) within the time-out. Throws ConnectionError.
  asio::awaitable<asio::ip::tcp::socket> _open_socket();
  // Under TLS, the handshake over a socket just opened, within the time-out: the new session
  // takes the socket (left closed) and waits for _install. Without TLS, nothing. Throws
  // ConnectionError "TLS handshake with <address> failed: <cause>".
  asio::awaitable<void> _start_tls(asio::ip::tcp::socket &socket);
  // The TCP connection: _socket, or the TLS session's.
  asio::ip::tcp::socket &_tcp();
  // Makes socket (under TLS, the session _start_tls made) the connection's own, with a fresh
  // reply reader, and starts reading.
  void _install(asio::ip::tcp::socket socket);
  // The one reconnection attempt, started by the first command after a failure.
  asio::awaitable<void> _reconnect(std::shared_ptr<Connection> self);
  // Queues AUTH and SELECT ahead of every command queued so far.
  void _queue_handshake_first();
  void _append(const std::vector<std::string> &args);
  void _schedule_flush();
  void _flush();
  void _start_read();
  void _on_read(std::size_t n);
  // Arms the timer for _due_since + the time-out, unless it is armed already. Reads do not
  // move an armed timer: on expiry it looks at what is due then, and waits again or breaks
  // the connection.
  void _watch();
  void _on_watch();
  // Breaks the connection: every pending command fails with ConnectionError(message).
  void _fail(const std::string &message);
  std::string _describe(const asio::error_code &ec) const;

  asio::any_io_executor _executor;
  Endpoint _endpoint;
  asio::ip::tcp::socket _socket;
  Clock::duration _timeout;
  asio::steady_timer _timer; // see _watch()
  bool _watching = false;
  // Since when the server owes us bytes: the write that left a command awaiting its reply
  // when none was, or the last read.
  Clock::time_point _due_since;
  State _state = State::kBroken;
  // Bumped on every (re)connection and failure, so callbacks of an older socket do nothing.
  std::uint64_t _generation = 0;
  redisReader *_reader = nullptr;
  // Error text of the reply being read (see the reader functions).
  std::unique_ptr<ReaderState> _reader_state;
  std::string _out; // formatted commands not yet handed to a write
  bool _write_in_flight = false;
  bool _flush_scheduled = false;
  std::vector<char> _read_buffer;
  // One handler per command queued or written and not yet answered, in sending order.
  std::deque<ReplyHandler> _pending;
  // How many commands at the end of _pending are still in _out, not yet written.
  std::size_t _unwritten = 0;
  std::uint64_t _writes = 0;
  std::uint64_t _lost_answers = 0;
  // Under Sentinel: finds the master at every (re)connection and breaks this connection when
  // the master moves.
  std::shared_ptr<MasterLocator> _locator;
  // Null without TLS.
  std::unique_ptr<TlsState> _tls;
  // Null but for a cluster endpoint; every public member then forwards to it.
  std::shared_ptr<Cluster> _cluster;
};

} // namespace redis
