#include "redis/cluster.h"

#include <algorithm>
#include <charconv>
#include <stdexcept>
#include <utility>

#include "loop/loop.h"
#include "redis/connection.h"
#include "redis/error.h"

namespace redis {

namespace {

constexpr std::array<std::uint16_t, 256> crc16_table() {
  std::array<std::uint16_t, 256> table{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t crc = i << 8;
    for (int bit = 0; bit < 8; ++bit)
      crc = (crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1;
    table[i] = static_cast<std::uint16_t>(crc);
  }
  return table;
}

constexpr std::array<std::uint16_t, 256> kCrc16 = crc16_table();

std::uint16_t crc16(std::string_view bytes) {
  std::uint16_t crc = 0;
  for (const char c : bytes)
    crc = static_cast<std::uint16_t>((crc << 8) ^
                                     kCrc16[((crc >> 8) ^ static_cast<unsigned char>(c)) & 0xff]);
  return crc;
}

// Command names and keywords are ASCII: compared without the locale (std::toupper is a call
// per character, and every command routed compares its name with a few dozen words).
constexpr char ascii_upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; }

bool same_word(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return ascii_upper(x) == ascii_upper(y);
         });
}

bool any_word(std::string_view word, std::initializer_list<std::string_view> words) {
  return std::any_of(words.begin(), words.end(),
                     [word](std::string_view w) { return same_word(word, w); });
}

// For XREAD and XREADGROUP: the index of STREAMS, or 0.
std::size_t streams_index(const std::vector<std::string> &args) {
  if (!any_word(args[0], {"XREADGROUP", "XREAD"}))
    return 0;
  for (std::size_t i = 1; i < args.size(); ++i) {
    if (same_word(args[i], "STREAMS"))
      return i;
  }
  return 0;
}

const Reply *field(const Reply &map, std::string_view name) {
  for (std::size_t i = 0; i + 1 < map.elements.size(); i += 2) {
    if (map.elements[i].str == name)
      return &map.elements[i + 1];
  }
  return nullptr;
}

std::uint16_t slot_number(const Reply &r) {
  if (r.type != Reply::Type::kInteger || r.integer < 0 || r.integer >= kClusterSlots)
    throw std::runtime_error("slot number out of range");
  return static_cast<std::uint16_t>(r.integer);
}

std::uint16_t port_number(std::int64_t value) {
  if (value <= 0 || value > 65535)
    throw std::runtime_error("port out of range");
  return static_cast<std::uint16_t>(value);
}

// An announced host: empty or "?" means the address we asked.
std::string announced_host(const Reply *text, const HostPort &asked) {
  if (text == nullptr || text->str.empty() || text->str == "?")
    return asked.host;
  return text->str;
}

enum class Redirect { kNone, kMoved, kAsk, kTryAgain, kClusterDown, kNotMaster };

Redirect classify(std::string_view error) {
  const auto starts = [error](std::string_view word) {
    return error.size() >= word.size() && error.substr(0, word.size()) == word &&
           (error.size() == word.size() || error[word.size()] == ' ');
  };
  if (starts("MOVED"))
    return Redirect::kMoved;
  if (starts("ASK"))
    return Redirect::kAsk;
  if (starts("TRYAGAIN") || starts("LOADING"))
    return Redirect::kTryAgain;
  if (starts("CLUSTERDOWN"))
    return Redirect::kClusterDown;
  if (starts("UNBLOCKED") || starts("READONLY") || starts("MASTERDOWN"))
    return Redirect::kNotMaster;
  return Redirect::kNone;
}

// "MOVED 3999 127.0.0.1:6381" (or ASK): the slot and the address; an empty host is that of the
// node that answered.
std::optional<std::pair<std::uint16_t, HostPort>> redirect_target(std::string_view error,
                                                                  const HostPort &from) {
  const std::size_t first = error.find(' ');
  const std::size_t second = error.find(' ', first + 1);
  if (first == std::string_view::npos || second == std::string_view::npos)
    return std::nullopt;
  const std::string_view slot_text = error.substr(first + 1, second - first - 1);
  const std::string_view address = error.substr(second + 1);
  const std::size_t colon = address.rfind(':');
  unsigned slot = 0;
  unsigned port = 0;
  if (colon == std::string_view::npos ||
      std::from_chars(slot_text.data(), slot_text.data() + slot_text.size(), slot).ec !=
          std::errc() ||
      std::from_chars(address.data() + colon + 1, address.data() + address.size(), port).ec !=
          std::errc() ||
      slot >= kClusterSlots || port == 0 || port > 65535)
    return std::nullopt;
  std::string host(address.substr(0, colon));
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  if (host.empty())
    host = from.host;
  return std::make_pair(static_cast<std::uint16_t>(slot),
                        HostPort{std::move(host), static_cast<std::uint16_t>(port)});
}

// Suspends the awaiting task until one of the wakers it leaves in `waiters` is called; it then
// resumes in a turn of its own.
asio::awaitable<void> wait_in(std::vector<std::function<void()>> &waiters) {
  co_await asio::async_initiate<const asio::use_awaitable_t<>, void()>(
      [&waiters](auto handler) {
        using Handler = decltype(handler);
        auto shared = std::make_shared<std::optional<Handler>>(std::move(handler));
        waiters.push_back([shared] {
          Handler h = std::move(**shared);
          shared->reset();
          auto executor = asio::get_associated_executor(h);
          asio::post(executor, std::move(h));
        });
      },
      asio::use_awaitable);
}

} // namespace

std::uint16_t key_slot(std::string_view key) {
  const std::size_t open = key.find('{');
  if (open != std::string_view::npos) {
    const std::size_t close = key.find('}', open + 1);
    if (close != std::string_view::npos && close > open + 1)
      key = key.substr(open + 1, close - open - 1);
  }
  return crc16(key) % kClusterSlots;
}

std::vector<std::string_view> command_keys(const std::vector<std::string> &args) {
  if (args.size() < 2)
    return {};
  const std::string_view name = args[0];
  if (const std::size_t at = streams_index(args); at != 0) {
    const std::size_t n = (args.size() - at - 1) / 2;
    return {args.begin() + static_cast<std::ptrdiff_t>(at) + 1,
            args.begin() + static_cast<std::ptrdiff_t>(at + 1 + n)};
  }
  if (any_word(name, {"XREADGROUP", "XREAD"}))
    return {};
  if (any_word(name, {"XINFO", "XGROUP", "OBJECT", "MEMORY"}))
    return args.size() >= 3 ? std::vector<std::string_view>{args[2]}
                            : std::vector<std::string_view>{};
  if (any_word(name, {"DEL", "UNLINK", "EXISTS", "MGET", "TOUCH"}))
    return {args.begin() + 1, args.end()};
  if (any_word(name, {"PING",   "INFO",     "ROLE",    "CLUSTER", "AUTH",     "SELECT",   "ECHO",
                      "CLIENT", "CONFIG",   "DBSIZE",  "TIME",    "HELLO",    "READONLY", "ASKING",
                      "SCRIPT", "FUNCTION", "COMMAND", "PUBLISH", "FLUSHALL", "FLUSHDB",  "WAIT",
                      "ACL",    "LATENCY",  "SLOWLOG", "KEYS",    "SCAN",     "SHUTDOWN"}))
    return {};
  return {args[1]};
}

SlotMap SlotMap::from_shards(const Reply &reply, const HostPort &asked, bool tls) {
  if (reply.type != Reply::Type::kArray)
    throw std::runtime_error("CLUSTER SHARDS did not answer an array");
  SlotMap map;
  for (const Reply &shard : reply.elements) {
    const Reply *slots = field(shard, "slots");
    const Reply *nodes = field(shard, "nodes");
    if (slots == nullptr || nodes == nullptr || slots->elements.size() % 2 != 0)
      throw std::runtime_error("CLUSTER SHARDS answered a shard without slots or nodes");
    std::optional<std::size_t> master;
    for (const Reply &node : nodes->elements) {
      const Reply *port = field(node, "port");
      const Reply *tls_port = field(node, "tls-port");
      if (tls_port == nullptr || (!tls && port != nullptr))
        tls_port = port;
      if (tls_port == nullptr || tls_port->type != Reply::Type::kInteger)
        throw std::runtime_error("CLUSTER SHARDS answered a node without a port");
      const Reply *role = field(node, "role");
      const Reply *health = field(node, "health");
      const Reply *endpoint = field(node, "endpoint");
      Node n;
      n.address = {announced_host(endpoint ? endpoint : field(node, "ip"), asked),
                   port_number(tls_port->integer)};
      n.master = role != nullptr && role->str == "master";
      n.healthy = health == nullptr || health->str == "online";
      // A master that failed and was replaced may still be listed as one: the healthy wins.
      if (n.master && (!master || (n.healthy && !map.nodes[*master].healthy)))
        master = map.nodes.size();
      map.nodes.push_back(std::move(n));
    }
    if (!master)
      continue;
    for (std::size_t i = 0; i < slots->elements.size(); i += 2)
      map.ranges.push_back(
          {slot_number(slots->elements[i]), slot_number(slots->elements[i + 1]), *master});
  }
  return map;
}

SlotMap SlotMap::from_slots(const Reply &reply, const HostPort &asked) {
  if (reply.type != Reply::Type::kArray)
    throw std::runtime_error("CLUSTER SLOTS did not answer an array");
  SlotMap map;
  for (const Reply &range : reply.elements) {
    if (range.elements.size() < 3)
      throw std::runtime_error("CLUSTER SLOTS answered a range without a master");
    for (std::size_t i = 2; i < range.elements.size(); ++i) {
      const Reply &node = range.elements[i];
      if (node.elements.size() < 2 || node.elements[1].type != Reply::Type::kInteger)
        throw std::runtime_error("CLUSTER SLOTS answered a node without a port");
      HostPort address{announced_host(&node.elements[0], asked),
                       port_number(node.elements[1].integer)};
      auto known = std::find_if(map.nodes.begin(), map.nodes.end(),
                                [&](const Node &n) { return n.address == address; });
      if (known == map.nodes.end()) {
        map.nodes.push_back({address, i == 2, true});
        known = map.nodes.end() - 1;
      }
      if (i == 2) {
        known->master = true;
        map.ranges.push_back({slot_number(range.elements[0]), slot_number(range.elements[1]),
                              static_cast<std::size_t>(known - map.nodes.begin())});
      }
    }
  }
  return map;
}

std::size_t SlotMap::served_slots(const std::vector<HostPort> &demoted) const {
  std::size_t served = 0;
  for (const Range &r : ranges) {
    const HostPort &master = nodes[r.master].address;
    if (nodes[r.master].healthy &&
        std::find(demoted.begin(), demoted.end(), master) == demoted.end())
      served += static_cast<std::size_t>(r.last - r.first) + 1;
  }
  return served;
}

struct Cluster::Request {
  std::vector<std::string> args;
  ReplyHandler on_reply;
  std::optional<std::uint16_t> slot;
  // Set by ASK: where the next attempt goes, once, after ASKING.
  std::optional<HostPort> ask;
  int redirections = 0;
};

// A read of streams in several slots: one read per slot, sent the last first.
struct Cluster::SplitRead {
  std::vector<std::vector<std::string>> reads; // in the order of the streams
  std::vector<std::uint16_t> slots;
  std::vector<Reply> replies;
  std::size_t next = 0; // reads[next - 1] goes next; 0: done
  bool got_entries = false;
  ReplyHandler on_reply;
  // BLOCK's time, if given (zero: no end), and when it ends.
  std::optional<std::chrono::milliseconds> block;
  Clock::time_point block_ends;
};

struct Cluster::Answers {
  explicit Answers(const asio::any_io_executor &executor) : timer(executor) {}
  struct One {
    std::size_t node = 0;
    std::optional<SlotMap> map;
    std::string error;
    bool not_cluster = false;
  };
  std::vector<One> all;
  std::size_t outstanding = 0;
  asio::steady_timer timer;
};

Cluster::Cluster(asio::any_io_executor executor, Endpoint endpoint, Clock::duration timeout)
    : _executor(std::move(executor)), _endpoint(std::move(endpoint)), _timeout(timeout),
      _refresh_timer(_executor) {
  for (const HostPort &seed : _endpoint.cluster_seeds)
    _node_index(seed);
}

Cluster::~Cluster() {
  for (Node &node : _nodes) {
    if (node.connection)
      node.connection->close();
  }
}

std::size_t Cluster::_node_index(const HostPort &address) {
  for (std::size_t i = 0; i < _nodes.size(); ++i) {
    if (_nodes[i].address == address)
      return i;
  }
  _nodes.push_back({address, false, nullptr});
  return _nodes.size() - 1;
}

Connection &Cluster::_connection(std::size_t node) {
  Node &n = _nodes[node];
  if (!n.connection) {
    Endpoint at = _endpoint;
    at.cluster_seeds.clear();
    at.host = n.address.host;
    at.port = n.address.port;
    at.db = 0;
    // Connected by its first command.
    n.connection = std::make_shared<Connection>(_executor, std::move(at), _timeout);
  }
  return *n.connection;
}

asio::awaitable<void> Cluster::start() {
  auto self = shared_from_this();
  std::vector<std::size_t> seeds;
  for (std::size_t i = 0; i < _endpoint.cluster_seeds.size(); ++i)
    seeds.push_back(i);
  // Each seed's connection gives up within the time-out (connect, TLS, AUTH, answer).
  const std::shared_ptr<Answers> answers = co_await _ask(seeds, 4 * _timeout);
  if (!_apply(*answers)) {
    for (const Answers::One &one : answers->all) {
      if (one.not_cluster)
        throw ConnectionError(_nodes[one.node].address.address() +
                              " is not a Redis Cluster node (" + one.error +
                              "): a single server takes a redis:// URL");
    }
    std::string why;
    for (const Answers::One &one : answers->all) {
      why += (why.empty() ? "" : "; ") + _nodes[one.node].address.address() + " (" +
             (one.error.empty() ? "no answer" : one.error) + ")";
    }
    throw ConnectionError("no seed node of the Redis Cluster answers: " + why);
  }
  bool served = false;
  for (std::uint32_t s : _slots)
    served = served || s != kNone;
  if (!served)
    throw ConnectionError("the Redis Cluster of " + _nodes.front().address.address() +
                          " has no slots assigned");
  asio::co_spawn(_executor, _refresh_periodically(self), asio::detached);
}

asio::awaitable<void>
Cluster::_refresh_periodically([[maybe_unused]] std::shared_ptr<Cluster> self) {
  while (!_closed) {
    _refresh_timer.expires_after(kRefreshInterval);
    asio::error_code ignored;
    co_await _refresh_timer.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
    if (_closed)
      break;
    co_await refresh();
  }
}

asio::awaitable<std::shared_ptr<Cluster::Answers>> Cluster::_ask(std::vector<std::size_t> nodes,
                                                                 Clock::duration wait) {
  auto self = shared_from_this();
  auto answers = std::make_shared<Answers>(_executor);
  answers->all.resize(nodes.size());
  answers->outstanding = nodes.size();
  for (std::size_t k = 0; k < nodes.size(); ++k) {
    answers->all[k].node = nodes[k];
    _connection(nodes[k]).send({"CLUSTER", "SHARDS"}, [self, answers, k](auto error, auto reply) {
      self->_on_answer(answers, k, true, std::move(error), std::move(reply));
    });
  }
  if (answers->outstanding > 0) {
    answers->timer.expires_after(wait);
    asio::error_code ignored;
    co_await answers->timer.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
  }
  co_return answers;
}

void Cluster::_on_answer(const std::shared_ptr<Answers> &answers, std::size_t k, bool shards,
                         const std::exception_ptr &error, const Reply &reply) {
  Answers::One &one = answers->all[k];
  const HostPort &address = _nodes[one.node].address;
  try {
    if (error)
      std::rethrow_exception(error);
    one.map = shards ? SlotMap::from_shards(reply, address, _endpoint.tls)
                     : SlotMap::from_slots(reply, address);
  } catch (const ResponseError &e) {
    const std::string text = e.what();
    if (shards && text.find("unknown subcommand") != std::string::npos && !_closed) {
      // A server before Redis 7.
      _connection(one.node).send(
          {"CLUSTER", "SLOTS"}, [self = shared_from_this(), answers, k](auto error, auto reply) {
            self->_on_answer(answers, k, false, std::move(error), std::move(reply));
          });
      return;
    }
    one.not_cluster = text.find("cluster support disabled") != std::string::npos;
    one.error = text;
  } catch (const std::exception &e) {
    one.error = e.what();
  }
  if (--answers->outstanding == 0)
    answers->timer.cancel();
}

bool Cluster::_apply(const Answers &answers) {
  // Nodes that call themselves replicas.
  std::vector<HostPort> demoted;
  for (const Answers::One &one : answers.all) {
    if (!one.map)
      continue;
    const HostPort &me = _nodes[one.node].address;
    for (const SlotMap::Node &node : one.map->nodes) {
      if (node.address == me && !node.master)
        demoted.push_back(me);
    }
  }
  const SlotMap *best = nullptr;
  std::size_t most = 0;
  for (const Answers::One &one : answers.all) {
    if (!one.map)
      continue;
    const std::size_t served = one.map->served_slots(demoted);
    if (best == nullptr || served > most) {
      best = &*one.map;
      most = served;
    }
  }
  if (best == nullptr)
    return false;
  std::vector<std::uint32_t> slots(kClusterSlots, kNone);
  std::vector<std::size_t> index;
  for (const SlotMap::Node &node : best->nodes) {
    index.push_back(_node_index(node.address));
    _nodes[index.back()].master = node.master;
  }
  for (const SlotMap::Range &range : best->ranges) {
    for (std::uint32_t s = range.first; s <= range.last; ++s)
      slots[s] = static_cast<std::uint32_t>(index[range.master]);
  }
  const bool changed = _mapped && slots != _slots;
  _slots = std::move(slots);
  _mapped = true;
  if (changed && on_map_changed)
    on_map_changed();
  return true;
}

asio::awaitable<void> Cluster::refresh() {
  auto self = shared_from_this();
  if (_refreshing) {
    co_await wait_in(_refresh_waiters);
    co_return;
  }
  _refreshing = true;
  std::vector<std::size_t> everyone;
  for (std::size_t i = 0; i < _nodes.size(); ++i)
    everyone.push_back(i);
  const std::shared_ptr<Answers> answers = co_await _ask(everyone, kRefreshTimeout);
  ++_counts.refreshes;
  _apply(*answers);
  _refreshing = false;
  for (auto &wake : std::exchange(_refresh_waiters, {}))
    wake();
}

void Cluster::_start_refresh() {
  if (_refreshing || _closed)
    return;
  asio::co_spawn(
      _executor,
      [self = shared_from_this()]() -> asio::awaitable<void> { co_await self->refresh(); },
      asio::detached);
}

void Cluster::send(std::vector<std::string> args, ReplyHandler on_reply) {
  if (args.empty())
    throw std::invalid_argument("Redis command without a name");
  _started();
  if (_closed) {
    auto request = std::make_shared<Request>();
    request->on_reply = std::move(on_reply);
    asio::post(_executor, [self = shared_from_this(), request] {
      self->_finish(request,
                    std::make_exception_ptr(
                        ConnectionError("Connection closed (" + self->_endpoint.address() + ")")),
                    Reply{});
    });
    return;
  }
  const std::vector<std::string_view> keys = command_keys(args);
  // Only a read of several streams can be split; the index of STREAMS is looked for only then.
  if (const std::size_t at = keys.size() > 1 ? streams_index(args) : 0; at != 0) {
    // Streams grouped by slot, in the order they are first named.
    std::vector<std::vector<std::size_t>> groups;
    std::vector<std::uint16_t> group_slots;
    for (std::size_t k = 0; k < keys.size(); ++k) {
      const std::uint16_t slot = key_slot(keys[k]);
      auto known = std::find(group_slots.begin(), group_slots.end(), slot);
      if (known == group_slots.end()) {
        group_slots.push_back(slot);
        groups.emplace_back();
        known = group_slots.end() - 1;
      }
      groups[static_cast<std::size_t>(known - group_slots.begin())].push_back(k);
    }
    if (groups.size() > 1) {
      _send_split(std::move(args), at, groups, std::move(on_reply));
      return;
    }
  }
  auto request = std::make_shared<Request>();
  if (!keys.empty())
    request->slot = key_slot(keys.front());
  request->args = std::move(args);
  request->on_reply = std::move(on_reply);
  _dispatch(request);
}

void Cluster::_send_split(std::vector<std::string> args, std::size_t streams_at,
                          const std::vector<std::vector<std::size_t>> &groups,
                          ReplyHandler on_reply) {
  auto split = std::make_shared<SplitRead>();
  // The servers are not asked to block: one would hold the read while another stream has
  // entries (and a server ends a short block only at its next timer tick, up to 100 ms late).
  // The wait is ours instead, between rounds of reads.
  for (std::size_t k = 1; k + 1 < streams_at; ++k) {
    if (same_word(args[k], "BLOCK")) {
      std::int64_t ms = 0;
      std::from_chars(args[k + 1].data(), args[k + 1].data() + args[k + 1].size(), ms);
      split->block = std::chrono::milliseconds(std::max<std::int64_t>(ms, 0));
      split->block_ends = Clock::now() + *split->block;
      args.erase(args.begin() + static_cast<std::ptrdiff_t>(k),
                 args.begin() + static_cast<std::ptrdiff_t>(k) + 2);
      streams_at -= 2;
      break;
    }
  }
  const std::size_t n = (args.size() - streams_at - 1) / 2;
  for (const std::vector<std::size_t> &group : groups) {
    std::vector<std::string> read(args.begin(),
                                  args.begin() + static_cast<std::ptrdiff_t>(streams_at) + 1);
    for (std::size_t k : group)
      read.push_back(args[streams_at + 1 + k]);
    for (std::size_t k : group)
      read.push_back(args[streams_at + 1 + n + k]);
    split->slots.push_back(key_slot(args[streams_at + 1 + group.front()]));
    split->reads.push_back(std::move(read));
  }
  split->replies.resize(split->reads.size());
  split->next = split->reads.size();
  split->on_reply = std::move(on_reply);
  _split_next(split);
}

void Cluster::_split_next(const std::shared_ptr<SplitRead> &split) {
  if (split->next == 0 && !split->got_entries && split->block && !_closed) {
    // Nothing yet: another round once a little time has passed, until the block's time is up.
    const Clock::time_point now = Clock::now();
    const bool endless = split->block->count() == 0;
    if (endless || now < split->block_ends) {
      const Clock::duration pause =
          endless ? kSplitReadPause
                  : std::min<Clock::duration>(kSplitReadPause, split->block_ends - now);
      split->next = split->reads.size();
      asio::co_spawn(
          _executor,
          [self = shared_from_this(), split, pause]() -> asio::awaitable<void> {
            co_await loop::sleep_for(pause);
            self->_split_next(split);
          },
          asio::detached);
      return;
    }
  }
  if (split->next == 0) {
    Reply merged;
    for (Reply &reply : split->replies) {
      if (reply.type != Reply::Type::kArray)
        continue;
      merged.type = Reply::Type::kArray;
      for (Reply &stream : reply.elements)
        merged.elements.push_back(std::move(stream));
    }
    auto handler = std::move(split->on_reply);
    if (handler)
      handler(nullptr, std::move(merged));
    _finished();
    return;
  }
  const std::size_t i = --split->next;
  auto request = std::make_shared<Request>();
  request->args = split->reads[i];
  request->slot = split->slots[i];
  request->on_reply = [self = shared_from_this(), split, i](const std::exception_ptr &error,
                                                            Reply reply) {
    if (error) {
      if (!split->got_entries) {
        auto handler = std::move(split->on_reply);
        if (handler)
          handler(error, Reply{});
        self->_finished();
        return;
      }
      // Entries delivered by the reads before go to the caller; the next read meets the
      // failure again if it lasts.
      split->next = 0;
    } else {
      if (reply.type == Reply::Type::kArray && !reply.elements.empty())
        split->got_entries = true;
      split->replies[i] = std::move(reply);
    }
    self->_split_next(split);
  };
  _started();
  _dispatch(request);
}

void Cluster::_dispatch(const std::shared_ptr<Request> &request) {
  if (_closed) {
    _finish(
        request,
        std::make_exception_ptr(ConnectionError("Connection closed (" + _endpoint.address() + ")")),
        Reply{});
    return;
  }
  std::size_t node = kNone;
  if (request->ask) {
    node = _node_index(*request->ask);
  } else if (request->slot) {
    node = _slots[*request->slot];
    if (node == kNone) {
      if (++request->redirections > kMaxRedirections) {
        _finish(request,
                std::make_exception_ptr(ResponseError(
                    "CLUSTERDOWN Hash slot " + std::to_string(*request->slot) + " not served")),
                Reply{});
        return;
      }
      _retry(request, _mapped ? kClusterDownPause : Clock::duration::zero(), true);
      return;
    }
  } else {
    // No key: a master whose connection is open, else any master, else the first seed.
    for (std::size_t i = 0; i < _nodes.size() && node == kNone; ++i) {
      if (_nodes[i].master && _nodes[i].connection && _nodes[i].connection->is_open())
        node = i;
    }
    for (std::size_t i = 0; i < _nodes.size() && node == kNone; ++i) {
      if (_nodes[i].master)
        node = i;
    }
    if (node == kNone)
      node = 0;
  }
  Connection &connection = _connection(node);
  if (request->ask) {
    connection.send({"ASKING"}, [](const std::exception_ptr &, const Reply &) {});
    request->ask.reset();
  }
  connection.send(request->args, [self = shared_from_this(), request,
                                  node](std::exception_ptr error, Reply reply) {
    self->_on_reply(request, node, std::move(error), std::move(reply));
  });
}

void Cluster::_on_reply(const std::shared_ptr<Request> &request, std::size_t node,
                        std::exception_ptr error, Reply reply) {
  if (!error || _closed) {
    _finish(request, std::move(error), std::move(reply));
    return;
  }
  Redirect kind = Redirect::kNone;
  bool lost = false;
  std::string text;
  try {
    std::rethrow_exception(error);
  } catch (const ResponseError &e) {
    text = e.what();
    kind = classify(text);
  } catch (const ConnectionError &) {
    lost = true;
    kind = Redirect::kNotMaster;
  } catch (...) {
  }
  if (kind == Redirect::kNone || ++request->redirections > kMaxRedirections) {
    _finish(request, std::move(error), std::move(reply));
    return;
  }
  switch (kind) {
  case Redirect::kMoved:
  case Redirect::kAsk: {
    const auto target = redirect_target(text, _nodes[node].address);
    if (!target) {
      _finish(request, std::move(error), std::move(reply));
      return;
    }
    if (kind == Redirect::kAsk) {
      ++_counts.ask;
      request->ask = target->second;
    } else {
      ++_counts.moved;
      const std::size_t to = _node_index(target->second);
      _nodes[to].master = true;
      if (_slots[target->first] != to) {
        _slots[target->first] = static_cast<std::uint32_t>(to);
        if (on_map_changed)
          on_map_changed();
      }
      _start_refresh();
    }
    _dispatch(request);
    return;
  }
  case Redirect::kTryAgain:
    ++_counts.try_again;
    _retry(request, kTryAgainPause, false);
    return;
  case Redirect::kClusterDown:
    ++_counts.cluster_down;
    _retry(request, kClusterDownPause, true);
    return;
  case Redirect::kNotMaster:
    ++_counts.lost_node;
    _retry(request, lost ? kLostNodePause : Clock::duration::zero(), true);
    return;
  case Redirect::kNone:
    break;
  }
}

void Cluster::_retry(const std::shared_ptr<Request> &request, Clock::duration pause, bool refresh) {
  asio::co_spawn(
      _executor,
      [self = shared_from_this(), request, pause, refresh]() -> asio::awaitable<void> {
        if (pause > Clock::duration::zero())
          co_await loop::sleep_for(pause);
        if (refresh && !self->_closed)
          co_await self->refresh();
        self->_dispatch(request);
      },
      asio::detached);
}

void Cluster::_finish(const std::shared_ptr<Request> &request, std::exception_ptr error,
                      Reply reply) {
  auto handler = std::move(request->on_reply);
  if (handler)
    handler(std::move(error), std::move(reply));
  _finished();
}

void Cluster::_started() { ++_in_flight; }

void Cluster::_finished() {
  if (--_in_flight > 0)
    return;
  for (auto &wake : std::exchange(_drain_waiters, {}))
    wake();
}

void Cluster::flush() {
  for (Node &node : _nodes) {
    if (node.connection)
      node.connection->_flush();
  }
}

asio::awaitable<void> Cluster::drain() {
  auto self = shared_from_this();
  while (_in_flight > 0) {
    co_await wait_in(_drain_waiters);
  }
}

void Cluster::close() {
  if (_closed)
    return;
  _closed = true;
  _refresh_timer.cancel();
  for (Node &node : _nodes) {
    if (node.connection)
      node.connection->close();
  }
}

void Cluster::reset(const std::string &why) {
  for (Node &node : _nodes) {
    if (node.connection)
      node.connection->reset(why);
  }
}

bool Cluster::is_open() const {
  return !_closed && std::any_of(_nodes.begin(), _nodes.end(), [](const Node &n) {
    return n.connection && n.connection->is_open();
  });
}

std::uint64_t Cluster::_sum_over_nodes(std::uint64_t (Connection::*count)() const) const {
  std::uint64_t total = 0;
  for (const Node &node : _nodes) {
    if (node.connection)
      total += ((*node.connection).*count)();
  }
  return total;
}

std::uint64_t Cluster::writes() const { return _sum_over_nodes(&Connection::writes); }

std::uint64_t Cluster::lost_answers() const { return _sum_over_nodes(&Connection::lost_answers); }

std::optional<HostPort> Cluster::master_of(std::uint16_t slot) const {
  if (slot >= kClusterSlots || _slots[slot] == kNone)
    return std::nullopt;
  return _nodes[_slots[slot]].address;
}

std::vector<Cluster::NodeState> Cluster::nodes() const {
  std::vector<NodeState> states;
  for (const Node &node : _nodes) {
    if (node.connection)
      states.push_back({node.address, node.master, node.connection->is_open()});
  }
  return states;
}

} // namespace redis
