#include "redis/sentinel.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <utility>

#include "redis/connection.h"
#include "redis/error.h"

namespace redis {

namespace {

// The value of key in a flat (key, value, ...) reply, or null.
const Reply *field(const Reply &reply, std::string_view key) {
  for (std::size_t i = 0; i + 1 < reply.elements.size(); i += 2) {
    if (reply.elements[i].str == key)
      return &reply.elements[i + 1];
  }
  return nullptr;
}

std::string addresses(const std::vector<HostPort> &all) {
  std::string out;
  for (const HostPort &a : all)
    out += (out.empty() ? "" : ", ") + a.address();
  return out;
}

} // namespace

MasterLocator::MasterLocator(Endpoint endpoint, Clock::duration timeout)
    : _endpoint(std::move(endpoint)), _timeout(timeout) {}

MasterLocator::~MasterLocator() {
  for (auto &link : _links) {
    if (link)
      link->close();
  }
}

asio::awaitable<std::vector<MasterLocator::Answer>> MasterLocator::_ask_all(std::string &error) {
  const auto executor = co_await asio::this_coro::executor;
  if (!_executor)
    _executor = executor;
  if (_links.empty()) {
    for (const HostPort &sentinel : _endpoint.sentinels) {
      Endpoint at;
      at.host = sentinel.host;
      at.port = sentinel.port;
      at.user = _endpoint.sentinel_user;
      at.password = _endpoint.sentinel_password;
      at.tls = _endpoint.tls;
      at.tls_options = _endpoint.tls_options;
      // Made broken: the first command connects, and a lost Sentinel is tried again on the
      // next question.
      _links.push_back(std::make_shared<Connection>(executor, std::move(at),
                                                    std::min(_timeout, kSentinelTimeout)));
    }
  }
  struct Round {
    std::vector<Answer> answers;
    std::string error;
    std::size_t outstanding = 0;
    asio::steady_timer done;
    explicit Round(const asio::any_io_executor &e) : done(e, std::chrono::hours(24)) {}
  };
  auto round = std::make_shared<Round>(executor);
  round->outstanding = _links.size();
  const std::vector<std::string> ask = {"SENTINEL", "MASTER", _endpoint.master_name};
  for (const auto &link : _links) {
    link->send(ask, [round, sentinel = link->endpoint().address()](
                        const std::exception_ptr &failure, const Reply &reply) {
      if (failure) {
        try {
          std::rethrow_exception(failure);
        } catch (const std::exception &e) {
          round->error = std::string("Sentinel ") + sentinel + ": " + e.what();
        }
      } else {
        const Reply *ip = field(reply, "ip");
        const Reply *port = field(reply, "port");
        const Reply *epoch = field(reply, "config-epoch");
        const Reply *flags = field(reply, "flags");
        if (ip && port) {
          Answer a;
          a.master.host = ip->str;
          a.master.port = static_cast<std::uint16_t>(std::atoi(port->str.c_str()));
          a.epoch = epoch ? std::atoll(epoch->str.c_str()) : 0;
          a.failing_over = flags && flags->str.find("failover_in_progress") != std::string::npos;
          round->answers.push_back(std::move(a));
        } else {
          round->error = "Sentinel " + sentinel + " gave no address";
        }
      }
      if (--round->outstanding == 0)
        round->done.cancel();
    });
  }
  if (round->outstanding != 0) {
    asio::error_code ignored;
    co_await round->done.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
  }
  error = round->error;
  co_return std::move(round->answers);
}

std::optional<MasterLocator::Answer> MasterLocator::_choose(const std::vector<Answer> &answers) {
  const bool settled =
      std::any_of(answers.begin(), answers.end(), [](const Answer &a) { return !a.failing_over; });
  // Per address: the highest epoch that names it, and how many name it.
  std::map<std::pair<std::string, std::uint16_t>, std::pair<std::int64_t, int>> votes;
  for (const Answer &a : answers) {
    if (settled && a.failing_over)
      continue;
    auto &[epoch, count] = votes[{a.master.host, a.master.port}];
    epoch = std::max(epoch, a.epoch);
    ++count;
  }
  std::optional<Answer> best;
  std::pair<std::int64_t, int> best_score{-1, 0};
  for (const auto &[address, score] : votes) {
    if (score > best_score) {
      best_score = score;
      best = Answer{HostPort{address.first, address.second}, score.first, !settled};
    }
  }
  return best;
}

asio::awaitable<std::string> MasterLocator::_role_of(const HostPort &address) {
  Endpoint at = _endpoint;
  at.sentinels.clear();
  at.host = address.host;
  at.port = address.port;
  at.db = 0;
  auto probe = co_await Connection::connect(co_await asio::this_coro::executor, std::move(at),
                                            std::min(_timeout, kSentinelTimeout));
  std::string role;
  try {
    Reply reply = co_await probe->command("ROLE");
    if (!reply.elements.empty())
      role = reply.elements[0].str;
  } catch (...) {
    probe->close();
    throw;
  }
  probe->close();
  co_return role;
}

asio::awaitable<HostPort> MasterLocator::locate() {
  const Clock::time_point deadline = Clock::now() + _timeout;
  for (;;) {
    std::string error;
    const std::vector<Answer> answers = co_await _ask_all(error);
    _set_answering(!answers.empty(), error);
    if (!_watching) {
      // Nothing asks again soon: let the Sentinels' connections go.
      for (auto &link : std::exchange(_links, {}))
        link->close();
    }
    if (answers.empty() && _master) {
      // No Sentinel to ask: the master found last, as long as it still is one.
      std::string role;
      try {
        role = co_await _role_of(*_master);
      } catch (const std::exception &) {
      }
      if (role == "master")
        co_return *_master;
    }
    if (answers.empty()) {
      throw ConnectionError("No Sentinel (" + addresses(_endpoint.sentinels) +
                            ") named a master '" + _endpoint.master_name + "': " + error);
    }
    const Answer answer = *_choose(answers);
    const HostPort &chosen = answer.master;
    std::string role;
    std::string why;
    try {
      role = co_await _role_of(chosen);
    } catch (const std::exception &e) {
      why = e.what();
    }
    if (role == "master") {
      _found(answer);
      co_return chosen;
    }
    if (why.empty())
      why = "it answers ROLE with '" + role + "'";
    if (Clock::now() + kNotMasterPause >= deadline) {
      throw ConnectionError("The Sentinels name " + chosen.address() + " as master '" +
                            _endpoint.master_name + "', but " + why);
    }
    co_await asio::steady_timer(co_await asio::this_coro::executor, kNotMasterPause)
        .async_wait(asio::use_awaitable);
  }
}

void MasterLocator::_found(const Answer &answer) {
  const HostPort &address = answer.master;
  _epoch = std::max(_epoch, answer.epoch);
  if (_master && *_master == address)
    return;
  const std::optional<HostPort> before = std::exchange(_master, address);
  if (!before)
    return;
  ++_switches;
  if (on_switch)
    on_switch(*before, address);
}

void MasterLocator::_set_answering(bool answering, const std::string &error) {
  if (answering == _answering)
    return;
  _answering = answering;
  if (on_sentinels)
    on_sentinels(answering, error);
}

void MasterLocator::attach(const std::shared_ptr<Connection> &connection) {
  std::erase_if(_attached, [&](const std::weak_ptr<Connection> &w) {
    auto c = w.lock();
    return !c || c == connection;
  });
  _attached.push_back(connection);
  if (!_watching && _executor) {
    _watching = true;
    asio::co_spawn(
        *_executor, [self = shared_from_this()] { return self->_watch(); }, asio::detached);
  }
}

void MasterLocator::detach(const Connection *connection) {
  std::erase_if(_attached, [&](const std::weak_ptr<Connection> &w) {
    auto c = w.lock();
    return !c || c.get() == connection;
  });
  if (_attached.empty() && _pause)
    _pause->cancel();
}

asio::awaitable<void> MasterLocator::_watch() {
  const auto executor = co_await asio::this_coro::executor;
  while (!_attached.empty()) {
    _pause = std::make_shared<asio::steady_timer>(executor, kPollInterval);
    asio::error_code ignored;
    co_await _pause->async_wait(asio::redirect_error(asio::use_awaitable, ignored));
    if (_attached.empty())
      break;
    std::string error;
    const std::vector<Answer> answers = co_await _ask_all(error);
    _set_answering(!answers.empty(), error);
    const std::optional<Answer> answer = _choose(answers);
    if (!answer || answer->failing_over || answer->epoch <= _epoch ||
        (_master && answer->master == *_master))
      continue;
    const HostPort *chosen = &answer->master;
    std::string role;
    try {
      role = co_await _role_of(*chosen);
    } catch (const std::exception &) {
      continue; // asked again on the next poll
    }
    if (role != "master")
      continue;
    _found(*answer);
    // Held while breaking them: a broken connection's handlers may detach others.
    std::vector<std::shared_ptr<Connection>> connections;
    for (const auto &w : _attached) {
      if (auto c = w.lock())
        connections.push_back(std::move(c));
    }
    for (const auto &c : connections) {
      if (!(HostPort{c->endpoint().host, c->endpoint().port} == *chosen))
        c->reset("Redis master '" + _endpoint.master_name + "' moved to " + chosen->address());
    }
  }
  _watching = false;
  _pause.reset();
  for (auto &link : std::exchange(_links, {}))
    link->close();
}

} // namespace redis
