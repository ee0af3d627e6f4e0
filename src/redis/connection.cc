#include "redis/connection.h"

#include <charconv>
#include <chrono>
#include <cstdio>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <utility>
#include <variant>

#include <asio/experimental/awaitable_operators.hpp>
#include <asio/ssl.hpp>
#include <hiredis/hiredis.h>
#include <hiredis/read.h>

#include "loop/loop.h"
#include "redis/error.h"
#include "redis/tls.h"

namespace redis {

// What the reader functions below leave besides the tree: the text of an error reply.
struct ReaderState {
  std::optional<std::string> error;
};

using TlsSession = asio::ssl::stream<asio::ip::tcp::socket>;

// A session is shared with the handlers of its reads and writes: an operation of an SSL stream
// touches the stream until its handler runs, which may be after a reconnection replaced it.
struct TlsState {
  explicit TlsState(std::shared_ptr<asio::ssl::context> c) : context(std::move(c)) {}
  std::shared_ptr<asio::ssl::context> context;
  std::shared_ptr<TlsSession> session;    // the installed connection's
  std::shared_ptr<TlsSession> handshaken; // made by _start_tls, waiting for _install
};

namespace {

constexpr std::size_t kReadChunk = std::size_t{64} * 1024;
constexpr std::size_t kReaderBufferKept = std::size_t{4} * 1024 * 1024;

// hiredis's reader builds our Reply tree directly through these functions, so no redisReply
// is made and no string is copied twice. A node inside an array is the parent's element, sized
// when the array was made; the reader frees only the root. An error reply, even nested in an
// array, becomes a nil node and its text is kept in the reader state: the whole reply then
// reaches its handler as ResponseError.
Reply *node_for(const redisReadTask *task) {
  if (task->parent == nullptr)
    return new (std::nothrow) Reply;
  return &static_cast<Reply *>(task->parent->obj)->elements[static_cast<std::size_t>(task->idx)];
}

void *create_string(const redisReadTask *task, char *str, std::size_t len) {
  Reply *r = node_for(task);
  if (r == nullptr)
    return nullptr;
  if (task->type == REDIS_REPLY_ERROR) {
    auto *state = static_cast<ReaderState *>(task->privdata);
    if (!state->error)
      state->error.emplace(str, len);
    return r;
  }
  r->type = task->type == REDIS_REPLY_STATUS ? Reply::Type::kStatus : Reply::Type::kString;
  // Spare room after the bytes lets a JSON parser read the text in place. Texts short enough
  // for the string's own buffer (ids, field names) stay there.
  if (len > std::string().capacity())
    r->str.reserve(len + kStringPadding);
  r->str.assign(str, len);
  return r;
}

void *create_array(const redisReadTask *task, int elements) {
  Reply *r = node_for(task);
  if (r == nullptr)
    return nullptr;
  r->type = Reply::Type::kArray;
  r->elements.resize(static_cast<std::size_t>(elements));
  return r;
}

void *create_integer(const redisReadTask *task, long long value) {
  Reply *r = node_for(task);
  if (r == nullptr)
    return nullptr;
  r->type = Reply::Type::kInteger;
  r->integer = value;
  return r;
}

void *create_nil(const redisReadTask *task) { return node_for(task); }

void free_reply(void *reply) { delete static_cast<Reply *>(reply); }

redisReplyObjectFunctions kReplyFunctions = {create_string, create_array, create_integer,
                                             create_nil, free_reply};

// The one place where hiredis return codes become exceptions: a reader error is a broken
// protocol stream, which only a new connection can recover from.
void check(int rc, const redisReader *reader, const Endpoint &endpoint) {
  if (rc == REDIS_OK)
    return;
  throw ConnectionError("Redis protocol error: " + std::string(reader->errstr) + " (" +
                        endpoint.address() + ")");
}

// "5 s", "0.3 s": a time-out as messages give it.
std::string seconds_text(Connection::Clock::duration d) {
  char text[32];
  std::snprintf(text, sizeof text, "%g s", std::chrono::duration<double>(d).count());
  return text;
}

// An error reply of a server that is no longer the master (demoted, or a blocked read ended
// by the switch): the master must be found again.
bool master_gone(std::string_view error) {
  for (std::string_view prefix : {"READONLY", "UNBLOCKED", "MASTERDOWN"}) {
    if (error.substr(0, prefix.size()) == prefix)
      return true;
  }
  return false;
}

std::vector<std::string> auth_args(const Endpoint &endpoint) {
  if (endpoint.user)
    return {"AUTH", *endpoint.user, *endpoint.password};
  return {"AUTH", *endpoint.password};
}

std::vector<std::string> select_args(const Endpoint &endpoint) {
  return {"SELECT", std::to_string(endpoint.db)};
}

// One awaiting command(): completed once, by its reply, the connection's failure or the
// awaiting task's cancellation, whichever comes first.
template <typename Handler> struct Waiting {
  explicit Waiting(Handler h) : handler(std::move(h)) {}

  // Completion always goes through the awaiting task's executor, so the task resumes in a
  // turn of its own and whatever it sends then is flushed together.
  void complete(std::exception_ptr error, Reply reply, bool from_slot) {
    if (!handler)
      return;
    if (!from_slot && slot.is_connected())
      slot.clear();
    Handler h = std::move(*handler);
    handler.reset();
    auto executor = asio::get_associated_executor(h);
    asio::post(executor, [h = std::move(h), error, reply = std::move(reply)]() mutable {
      std::move(h)(error, std::move(reply));
    });
  }

  std::optional<Handler> handler;
  asio::cancellation_slot slot;
};

} // namespace

Connection::Connection(asio::any_io_executor executor, Endpoint endpoint, Clock::duration timeout)
    : _executor(std::move(executor)), _endpoint(std::move(endpoint)), _socket(_executor),
      _timeout(timeout), _timer(_executor), _read_buffer(kReadChunk) {
  if (_endpoint.uses_cluster()) {
    _cluster = std::make_shared<Cluster>(_executor, _endpoint, timeout);
    return;
  }
  if (_endpoint.uses_sentinel()) {
    _locator =
        _endpoint.locator ? _endpoint.locator : std::make_shared<MasterLocator>(_endpoint, timeout);
  }
  if (_endpoint.tls)
    _tls = std::make_unique<TlsState>(make_tls_context(_endpoint.tls_options));
}

Connection::~Connection() {
  if (_cluster)
    _cluster->close();
  if (_locator)
    _locator->detach(this);
  asio::error_code ignored;
  _tcp().close(ignored);
  if (_reader != nullptr)
    redisReaderFree(_reader);
  auto handlers = std::move(_pending);
  auto error =
      std::make_exception_ptr(ConnectionError("Connection closed (" + _endpoint.address() + ")"));
  for (auto &handler : handlers) {
    if (handler)
      handler(error, Reply{});
  }
}

asio::awaitable<std::shared_ptr<Connection>>
Connection::connect(asio::any_io_executor executor, Endpoint endpoint, Clock::duration timeout) {
  auto connection = std::make_shared<Connection>(std::move(executor), std::move(endpoint), timeout);
  if (connection->_cluster) {
    co_await connection->_cluster->start();
    connection->_state = State::kOpen;
    co_return connection;
  }
  connection->_state = State::kConnecting;
  auto socket = co_await connection->_open_socket();
  co_await connection->_start_tls(socket);
  connection->_install(std::move(socket));
  if (connection->_endpoint.password) {
    co_await connection->command(auth_args(connection->_endpoint));
  }
  if (connection->_endpoint.db != 0)
    co_await connection->command(select_args(connection->_endpoint));
  if (connection->_locator)
    connection->_locator->attach(connection);
  co_return connection;
}

asio::awaitable<asio::ip::tcp::socket> Connection::_open_socket() {
  using namespace asio::experimental::awaitable_operators;
  if (_locator) {
    const HostPort master = co_await _locator->locate();
    _endpoint.host = master.host;
    _endpoint.port = master.port;
  }
  std::vector<asio::ip::tcp::endpoint> targets;
  asio::error_code ec;
  auto address = asio::ip::make_address(_endpoint.host, ec);
  if (!ec) {
    targets.emplace_back(address, _endpoint.port);
  } else {
    asio::ip::tcp::resolver resolver(_executor);
    auto results = co_await resolver.async_resolve(_endpoint.host, std::to_string(_endpoint.port),
                                                   asio::redirect_error(asio::use_awaitable, ec));
    if (ec)
      throw ConnectionError(_describe(ec));
    for (const auto &entry : results)
      targets.push_back(entry.endpoint());
  }

  asio::ip::tcp::socket socket(_executor);
  asio::steady_timer timer(_executor, _timeout);
  auto outcome = co_await (
      asio::async_connect(socket, targets, asio::redirect_error(asio::use_awaitable, ec)) ||
      timer.async_wait(asio::use_awaitable));
  if (outcome.index() == 1)
    throw ConnectionError(_describe(asio::error::timed_out));
  if (ec)
    throw ConnectionError(_describe(ec));
  socket.set_option(asio::ip::tcp::no_delay(true));
  co_return socket;
}

asio::awaitable<void> Connection::_start_tls(asio::ip::tcp::socket &socket) {
  using namespace asio::experimental::awaitable_operators;
  if (!_tls)
    co_return;
  auto session = std::make_shared<TlsSession>(std::move(socket), *_tls->context);
  expect_server(session->native_handle(), _endpoint.host, _endpoint.tls_options.insecure);
  asio::error_code ec;
  asio::steady_timer timer(_executor, _timeout);
  auto outcome =
      co_await (session->async_handshake(asio::ssl::stream_base::client,
                                         asio::redirect_error(asio::use_awaitable, ec)) ||
                timer.async_wait(asio::use_awaitable));
  const std::string failed = "TLS handshake with " + _endpoint.address() + " failed: ";
  if (outcome.index() == 1)
    throw ConnectionError(failed + "no reply within " + seconds_text(_timeout));
  if (ec)
    throw ConnectionError(failed + handshake_failure(session->native_handle(), ec));
  _tls->handshaken = std::move(session);
}

asio::ip::tcp::socket &Connection::_tcp() {
  return _tls && _tls->session ? _tls->session->next_layer() : _socket;
}

void Connection::_install(asio::ip::tcp::socket socket) {
  _socket = std::move(socket);
  if (_tls)
    _tls->session = std::exchange(_tls->handshaken, nullptr);
  if (_reader != nullptr)
    redisReaderFree(_reader);
  _reader = redisReaderCreateWithFunctions(&kReplyFunctions);
  if (_reader == nullptr)
    throw std::bad_alloc();
  _reader_state = std::make_unique<ReaderState>();
  _reader->privdata = _reader_state.get();
  // hiredis frees its buffer after every reply that left more than 16 KiB spare, which is
  // every batch of stream entries; keep it unless a reply was much larger than that.
  _reader->maxbuf = kReaderBufferKept;
  ++_generation;
  _write_in_flight = false;
  _state = State::kOpen;
  _start_read();
  _schedule_flush();
}

asio::awaitable<void> Connection::_reconnect([[maybe_unused]] std::shared_ptr<Connection> self) {
  try {
    auto socket = co_await _open_socket();
    co_await _start_tls(socket);
    if (_state != State::kConnecting)
      co_return; // closed while connecting
    _queue_handshake_first();
    _install(std::move(socket));
    if (_locator)
      _locator->attach(shared_from_this());
  } catch (const std::exception &e) {
    if (_state == State::kConnecting)
      _fail(e.what());
  }
}

void Connection::_queue_handshake_first() {
  std::vector<std::vector<std::string>> commands;
  if (_endpoint.password)
    commands.push_back(auth_args(_endpoint));
  if (_endpoint.db != 0)
    commands.push_back(select_args(_endpoint));
  if (commands.empty())
    return;

  std::string queued = std::move(_out);
  _out.clear();
  std::weak_ptr<Connection> weak = weak_from_this();
  for (auto it = commands.rbegin(); it != commands.rend(); ++it) {
    _pending.push_front([weak, what = (*it)[0]](const std::exception_ptr &error, const Reply &) {
      auto self = weak.lock();
      if (!error || !self)
        return;
      try {
        std::rethrow_exception(error);
      } catch (const ResponseError &e) {
        // Commands behind a refused handshake would only fail one by one.
        self->_fail("Redis refused " + what + ": " + e.what() + " (" + self->_endpoint.address() +
                    ")");
      } catch (...) {
        // The connection is failing already; its own error reaches every command.
      }
    });
  }
  for (const auto &args : commands)
    _append(args);
  _unwritten += commands.size();
  _out += queued;
}

void Connection::_append(const std::vector<std::string> &args) {
  // The request form of the protocol: *<count>, then $<length> and the bytes of each word.
  const auto header = [this](char kind, std::size_t n) {
    char digits[24];
    digits[0] = kind;
    const auto end = std::to_chars(digits + 1, digits + sizeof digits - 2, n).ptr;
    end[0] = '\r';
    end[1] = '\n';
    _out.append(digits, static_cast<std::size_t>(end + 2 - digits));
  };
  header('*', args.size());
  for (const auto &arg : args) {
    header('$', arg.size());
    _out += arg;
    _out += "\r\n";
  }
}

void Connection::send(const std::vector<std::string> &args, ReplyHandler on_reply) {
  if (args.empty())
    throw std::invalid_argument("Redis command without a name");
  if (_cluster) {
    _cluster->send(args, std::move(on_reply));
    return;
  }
  if (_state == State::kClosed) {
    auto error =
        std::make_exception_ptr(ConnectionError("Connection closed (" + _endpoint.address() + ")"));
    if (on_reply)
      asio::post(_executor, [on_reply, error] { on_reply(error, Reply{}); });
    return;
  }
  _append(args);
  _pending.push_back(std::move(on_reply));
  ++_unwritten;
  if (_state == State::kBroken) {
    _state = State::kConnecting;
    // The task holds the connection from its creation: the sender may let go of it at once.
    asio::co_spawn(_executor, _reconnect(shared_from_this()), asio::detached);
  } else if (_state == State::kOpen) {
    _schedule_flush();
  }
}

asio::awaitable<Reply> Connection::command(std::vector<std::string> args) {
  auto self = shared_from_this();
  co_return co_await asio::async_initiate<const asio::use_awaitable_t<>,
                                          void(std::exception_ptr, Reply)>(
      [this](auto handler, const std::vector<std::string> &args) {
        auto slot = asio::get_associated_cancellation_slot(handler);
        auto waiting = std::make_shared<Waiting<decltype(handler)>>(std::move(handler));
        send(args, [waiting](std::exception_ptr error, Reply reply) {
          waiting->complete(error, std::move(reply), false);
        });
        if (slot.is_connected()) {
          waiting->slot = slot;
          slot.assign([waiting](asio::cancellation_type type) {
            if (type != asio::cancellation_type::none) {
              waiting->complete(std::make_exception_ptr(loop::Cancelled{}), Reply{}, true);
            }
          });
        }
      },
      asio::use_awaitable, std::move(args));
}

std::shared_ptr<Connection::Ahead> Connection::send_ahead(const std::vector<std::string> &args) {
  auto ahead = std::make_shared<Ahead>();
  send(args, [ahead](std::exception_ptr error, Reply reply) {
    ahead->result.emplace(std::move(error), std::move(reply));
    if (ahead->wake)
      std::exchange(ahead->wake, {})();
  });
  // Written now rather than at the end of the loop's turn: the caller works on until then.
  if (_cluster)
    _cluster->flush();
  else
    _flush();
  return ahead;
}

asio::awaitable<Reply> Connection::collect(std::shared_ptr<Ahead> ahead) {
  auto self = shared_from_this();
  if (!ahead->result) {
    co_await asio::async_initiate<const asio::use_awaitable_t<>, void()>(
        [&ahead](auto handler) {
          using Handler = decltype(handler);
          auto shared = std::make_shared<std::optional<Handler>>(std::move(handler));
          // Resumes the collector in a turn of its own, as command() does.
          ahead->wake = [shared] {
            Handler h = std::move(**shared);
            shared->reset();
            auto executor = asio::get_associated_executor(h);
            asio::post(executor, std::move(h));
          };
        },
        asio::use_awaitable);
  }
  auto [error, reply] = std::move(*ahead->result);
  if (error)
    std::rethrow_exception(error);
  co_return std::move(reply);
}

asio::awaitable<void> Connection::drain() {
  if (_cluster) {
    auto cluster = _cluster;
    co_await cluster->drain();
    co_return;
  }
  if (_pending.empty())
    co_return;
  auto self = shared_from_this();
  co_await asio::async_initiate<const asio::use_awaitable_t<>, void()>(
      [this](auto handler) {
        using Handler = decltype(handler);
        auto shared = std::make_shared<std::optional<Handler>>(std::move(handler));
        // Replies come in order, so the last handler runs after every earlier one.
        ReplyHandler &last = _pending.back();
        last = [previous = std::move(last), shared](std::exception_ptr error, Reply reply) {
          if (previous)
            previous(std::move(error), std::move(reply));
          if (!*shared)
            return;
          Handler h = std::move(**shared);
          shared->reset();
          auto executor = asio::get_associated_executor(h);
          asio::post(executor, std::move(h));
        };
      },
      asio::use_awaitable);
}

void Connection::close() {
  if (_state == State::kClosed)
    return;
  if (_cluster) {
    _state = State::kClosed;
    _cluster->close();
    return;
  }
  // Closed first, so that a handler sending again from _fail() does not reconnect.
  _state = State::kClosed;
  if (_locator)
    _locator->detach(this);
  _fail("Connection closed (" + _endpoint.address() + ")");
}

void Connection::reset(const std::string &why) {
  if (_cluster) {
    _cluster->reset(why);
    return;
  }
  if (_state == State::kOpen || _state == State::kConnecting)
    _fail(why + " (" + _endpoint.address() + ")");
}

bool Connection::is_open() const { return _cluster ? _cluster->is_open() : _state == State::kOpen; }

void Connection::_schedule_flush() {
  if (_flush_scheduled)
    return;
  _flush_scheduled = true;
  asio::post(_executor, [self = shared_from_this()] {
    self->_flush_scheduled = false;
    self->_flush();
  });
}

void Connection::_flush() {
  if (_state != State::kOpen || _write_in_flight || _out.empty())
    return;
  auto bytes = std::make_shared<std::string>(std::move(_out));
  _out.clear();
  if (_pending.size() == _unwritten)
    _due_since = Clock::now(); // nothing was due: the time-out runs from this write
  _unwritten = 0;
  _watch();
  _write_in_flight = true;
  ++_writes;
  auto on_written = [self = shared_from_this(), bytes,
                     generation = _generation](const asio::error_code &ec, std::size_t) {
    if (generation != self->_generation)
      return;
    self->_write_in_flight = false;
    if (ec) {
      self->_fail(self->_describe(ec));
      return;
    }
    self->_flush();
  };
  if (_tls) {
    asio::async_write(*_tls->session, asio::buffer(*bytes),
                      [session = _tls->session, on_written = std::move(on_written)](
                          const asio::error_code &ec, std::size_t n) { on_written(ec, n); });
  } else {
    asio::async_write(_socket, asio::buffer(*bytes), std::move(on_written));
  }
}

void Connection::_start_read() {
  // A weak reference: an idle read must not keep a connection nobody holds alive.
  auto on_read = [weak = weak_from_this(), generation = _generation](const asio::error_code &ec,
                                                                     std::size_t n) {
    auto self = weak.lock();
    if (!self || generation != self->_generation)
      return;
    if (ec) {
      self->_fail(self->_describe(ec));
      return;
    }
    self->_on_read(n);
  };
  if (_tls) {
    _tls->session->async_read_some(
        asio::buffer(_read_buffer),
        [session = _tls->session, on_read = std::move(on_read)](const asio::error_code &ec,
                                                                std::size_t n) { on_read(ec, n); });
  } else {
    _socket.async_read_some(asio::buffer(_read_buffer), std::move(on_read));
  }
}

void Connection::_on_read(std::size_t n) {
  const std::uint64_t generation = _generation;
  _due_since = Clock::now(); // the server is sending: what is due, is due from now
  try {
    check(redisReaderFeed(_reader, _read_buffer.data(), n), _reader, _endpoint);
    for (;;) {
      void *raw = nullptr;
      check(redisReaderGetReply(_reader, &raw), _reader, _endpoint);
      if (raw == nullptr)
        break;
      std::unique_ptr<Reply> owned(static_cast<Reply *>(raw));
      if (_pending.empty()) {
        throw ConnectionError("Redis sent a reply no command asked for (" + _endpoint.address() +
                              ")");
      }
      ReplyHandler handler = std::move(_pending.front());
      _pending.pop_front();
      std::exception_ptr error;
      Reply reply;
      bool moved = false;
      if (_reader_state->error) {
        moved = _locator && master_gone(*_reader_state->error);
        error = std::make_exception_ptr(ResponseError(*_reader_state->error));
        _reader_state->error.reset();
      } else {
        reply = std::move(*owned);
      }
      owned.reset();
      if (handler)
        handler(error, std::move(reply));
      // The handler may have closed the connection, or broken it and reconnected.
      if (generation != _generation)
        return;
      if (moved) {
        _fail("Redis at " + _endpoint.address() + " is no longer the master");
        return;
      }
    }
  } catch (const ConnectionError &e) {
    _fail(e.what());
    return;
  }
  _start_read();
}

void Connection::_watch() {
  if (_watching)
    return;
  _watching = true;
  _timer.expires_at(_due_since + _timeout);
  _timer.async_wait(
      [weak = weak_from_this(), generation = _generation](const asio::error_code &ec) {
        auto self = weak.lock();
        if (!self || generation != self->_generation)
          return;
        self->_watching = false;
        if (!ec)
          self->_on_watch();
      });
}

void Connection::_on_watch() {
  if (_state != State::kOpen || _pending.size() == _unwritten)
    return; // no reply due
  if (Clock::now() >= _due_since + _timeout) {
    // Bytes waiting in the socket came in time; this loop has not got to them yet.
    asio::error_code ec;
    if (_tcp().available(ec) == 0 || ec) {
      _fail("No reply from Redis within " + seconds_text(_timeout) + " (" + _endpoint.address() +
            ")");
      return;
    }
    _due_since = Clock::now();
  }
  _watch();
}

std::uint64_t Connection::lost_answers() const {
  return _cluster ? _cluster->lost_answers() : _lost_answers;
}

void Connection::_fail(const std::string &message) {
  ++_generation;
  if (_state != State::kClosed)
    _state = State::kBroken;
  asio::error_code ignored;
  _tcp().close(ignored);
  // A waiting timer would keep the loop busy after the connection is gone.
  _timer.cancel();
  _watching = false;
  // Commands written and not answered may have been carried out: their answers are lost.
  if (_pending.size() > _unwritten)
    ++_lost_answers;
  _out.clear();
  _unwritten = 0;
  _write_in_flight = false;
  auto handlers = std::move(_pending);
  _pending.clear();
  auto error = std::make_exception_ptr(ConnectionError(message));
  for (auto &handler : handlers) {
    if (handler)
      handler(error, Reply{});
  }
}

std::string Connection::_describe(const asio::error_code &ec) const {
  if (ec.category() == asio::error::get_ssl_category())
    return "TLS connection with " + _endpoint.address() + " failed: " + tls_error_text(ec);
  // A TLS peer that closes without saying so first truncates the stream.
  std::string what = ec == asio::error::eof || ec == asio::ssl::error::stream_truncated
                         ? "Connection closed by the server"
                         : ec.message();
  return what + " (" + _endpoint.address() + ")";
}

} // namespace redis
