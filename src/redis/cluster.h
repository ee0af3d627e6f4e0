#pragma once

// Routing commands over a Redis Cluster, behind a Connection made from a redis+cluster:// URL.
//
// The cluster's 16384 hash slots are each served by one master. The slot map comes from
// CLUSTER SHARDS (CLUSTER SLOTS on servers before 7), asked of every known node at once; the
// answer with the most slots on masters that are reported healthy, and that do not call
// themselves replicas in their own answer, wins (a node that has not yet heard of a failover
// still names the old master). Every
// command goes, on one pipelined connection per node, to the master of its key's slot (a
// command without a key to any master). Replies come back as from one server, after:
//   MOVED slot addr   the slot's master moved: the slot is mapped to addr, a refresh of the
//                     whole map starts, and the command goes to addr;
//   ASK slot addr     the slot is being migrated and this key is gone already: ASKING and the
//                     command go to addr once, the map unchanged;
//   TRYAGAIN, LOADING a migration holds the key, or the node loads its data: again after
//                     kTryAgainPause;
//   CLUSTERDOWN       the slot has no master for now: again after kClusterDownPause and a
//                     refresh;
//   UNBLOCKED, READONLY, a lost connection
//                     the node is no longer the slot's master, or is gone: a refresh, then
//                     again where the map says then.
// At most kMaxRedirections of these per command; then its last error reaches the caller, as a
// ResponseError or ConnectionError would from one server. A command retried after a lost
// connection may have run already: a read then delivered entries that stay pending, an XADD
// may be written twice.
//
// A read of several streams (XREADGROUP/XREAD ... STREAMS k1 k2 ids) whose keys are in
// different slots is sent as one read per slot and answered as one reply, the streams in the
// order asked. The reads go one after the other, the last stream first, so an entry of a later
// stream is never handed over before an entry of an earlier stream that was written before it
// (a producer writing steps, then their training result, to two streams): when the result is
// read, the steps are already there to be read with it. None of the reads blocks on its
// server: with BLOCK, when no stream had entries, the reads go again after a pause (at most
// kSplitReadPause) until the block's time is up (BLOCK 0: until there are entries). When a later
// read fails after an earlier one returned entries, the entries are answered and the failure is
// left to the next read, so that entries delivered to this consumer are never dropped.
//
// The map is also refreshed every kRefreshInterval, so that a failover is followed even when
// no command of ours meets a redirection.
//
// Threading: the loop thread of the executor, like Connection. Counts are atomics, read from
// any thread.

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <asio.hpp>

#include "redis/endpoint.h"
#include "redis/reply.h"

namespace redis {

class Connection;

inline constexpr std::uint16_t kClusterSlots = 16384;

// The hash slot of a key: CRC16 (XMODEM) of the key, or of its hash tag (what lies between the
// first '{' and the next '}', when not empty), modulo 16384.
std::uint16_t key_slot(std::string_view key);

// The keys a command addresses, as the cluster routes it: none for a command without a key.
std::vector<std::string_view> command_keys(const std::vector<std::string> &args);

// What a cluster node answered to CLUSTER SHARDS or CLUSTER SLOTS: the masters serving slot
// ranges, and every node it knows. Throws std::runtime_error for a malformed reply.
struct SlotMap {
  struct Node {
    HostPort address;
    bool master = false;
    bool healthy = true; // as the answering node sees it ("online")
  };
  struct Range {
    std::uint16_t first = 0;
    std::uint16_t last = 0;
    std::size_t master = 0; // index into nodes
  };
  std::vector<Node> nodes;
  std::vector<Range> ranges;

  // asked: the node that answered (for an empty address in its answer). tls: take the nodes'
  // TLS ports where they announce any.
  static SlotMap from_shards(const Reply &reply, const HostPort &asked, bool tls);
  static SlotMap from_slots(const Reply &reply, const HostPort &asked);
  // Slots served by a master reported healthy and not among `demoted`.
  std::size_t served_slots(const std::vector<HostPort> &demoted = {}) const;
};

class Cluster : public std::enable_shared_from_this<Cluster> {
public:
  using Clock = std::chrono::steady_clock;
  using ReplyHandler = std::function<void(std::exception_ptr, Reply)>;

  static constexpr int kMaxRedirections = 5;
  static constexpr Clock::duration kTryAgainPause = std::chrono::milliseconds(50);
  static constexpr Clock::duration kClusterDownPause = std::chrono::milliseconds(250);
  // Before a command goes again after its node's connection was lost.
  static constexpr Clock::duration kLostNodePause = std::chrono::milliseconds(100);
  // Between the rounds of a split read that waits for entries.
  static constexpr Clock::duration kSplitReadPause = std::chrono::milliseconds(10);
  static constexpr Clock::duration kRefreshInterval = std::chrono::seconds(30);
  // How long a refresh waits for the nodes' answers.
  static constexpr Clock::duration kRefreshTimeout = std::chrono::milliseconds(1000);

  // endpoint: the seeds (cluster_seeds), credentials and TLS settings every node connection
  // uses. timeout: each node connection's.
  Cluster(asio::any_io_executor executor, Endpoint endpoint, Clock::duration timeout);
  ~Cluster();
  Cluster(const Cluster &) = delete;
  Cluster &operator=(const Cluster &) = delete;

  // Reads the first map from the seeds, all at once, and starts the periodic refresh. Throws
  // ConnectionError naming each seed and why when none answers with a map, or saying that a
  // node is not in cluster mode when that is the answer.
  asio::awaitable<void> start();

  // Sends a command to its slot's master; on_reply gets its final reply or error, on the loop.
  void send(std::vector<std::string> args, ReplyHandler on_reply);
  // Writes what is queued on every node connection now rather than at the end of the turn.
  void flush();
  // Awaits every command sent so far, retries included.
  asio::awaitable<void> drain();
  // Closes every node connection for good; commands under way fail with ConnectionError.
  void close();
  // Breaks every node connection; they reconnect on their next command.
  void reset(const std::string &why);
  // Whether any node connection is open.
  bool is_open() const;
  // Commands sent and not yet answered, retries included.
  std::size_t pending() const { return _in_flight; }
  std::uint64_t writes() const;
  std::uint64_t lost_answers() const;

  // The master of a slot as the map has it.
  std::optional<HostPort> master_of(std::uint16_t slot) const;
  // The nodes we hold connections to, with whether the map has them as masters.
  struct NodeState {
    HostPort address;
    bool master = false;
    bool connected = false;
  };
  std::vector<NodeState> nodes() const;

  // Counted from any thread.
  struct Counts {
    std::atomic<std::uint64_t> moved{0};
    std::atomic<std::uint64_t> ask{0};
    std::atomic<std::uint64_t> try_again{0};
    std::atomic<std::uint64_t> cluster_down{0};
    std::atomic<std::uint64_t> lost_node{0}; // retries after a lost connection, UNBLOCKED, ...
    std::atomic<std::uint64_t> refreshes{0};
  };
  const Counts &counts() const { return _counts; }

  // Called on the loop thread after a refresh or a MOVED changed the master of any slot.
  std::function<void()> on_map_changed;

private:
  struct Node {
    HostPort address;
    bool master = false;
    std::shared_ptr<Connection> connection;
  };
  struct Request;
  struct SplitRead;
  struct Answers;

  std::size_t _node_index(const HostPort &address);
  Connection &_connection(std::size_t node);
  // A count of the node connections (writes, lost answers), added up.
  std::uint64_t _sum_over_nodes(std::uint64_t (Connection::*count)() const) const;
  void _dispatch(const std::shared_ptr<Request> &request);
  void _on_reply(const std::shared_ptr<Request> &request, std::size_t node,
                 std::exception_ptr error, Reply reply);
  // Sends the request again after pause, once a refresh is done when refresh.
  void _retry(const std::shared_ptr<Request> &request, Clock::duration pause, bool refresh);
  void _finish(const std::shared_ptr<Request> &request, std::exception_ptr error, Reply reply);
  void _send_split(std::vector<std::string> args, std::size_t streams_at,
                   const std::vector<std::vector<std::size_t>> &groups, ReplyHandler on_reply);
  void _split_next(const std::shared_ptr<SplitRead> &split);
  // Asks the nodes at once for their map; waits for every answer or at most wait.
  asio::awaitable<std::shared_ptr<Answers>> _ask(std::vector<std::size_t> nodes,
                                                 Clock::duration wait);
  void _on_answer(const std::shared_ptr<Answers> &answers, std::size_t k, bool shards,
                  const std::exception_ptr &error, const Reply &reply);
  // Takes the best map of the answers; returns whether there was one.
  bool _apply(const Answers &answers);
  // One refresh at a time: a caller arriving meanwhile awaits the one under way.
  asio::awaitable<void> refresh();
  void _start_refresh();
  asio::awaitable<void> _refresh_periodically(std::shared_ptr<Cluster> self);
  void _started();
  void _finished();

  asio::any_io_executor _executor;
  Endpoint _endpoint;
  Clock::duration _timeout;
  std::vector<Node> _nodes;
  // Per slot: index into _nodes of its master, or kNone.
  static constexpr std::uint32_t kNone = 0xffffffff;
  std::vector<std::uint32_t> _slots = std::vector<std::uint32_t>(kClusterSlots, kNone);
  bool _mapped = false;
  bool _closed = false;
  bool _refreshing = false;
  std::vector<std::function<void()>> _refresh_waiters;
  asio::steady_timer _refresh_timer;
  std::size_t _in_flight = 0;
  std::vector<std::function<void()>> _drain_waiters;
  Counts _counts;
};

} // namespace redis
