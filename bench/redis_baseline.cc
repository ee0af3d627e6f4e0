// A bare hiredis consumer, the yardstick for the read loop's Redis traffic: no JSON, no rows,
// only the commands.
//
//   redis_baseline PORT [--mode sequential|pipelined|batched] [--n N] [--count C]
//                  [--fill N [--data FILE]] [--poll] [--await-ack]
//
// Recreates consumer group g on stream "steps" (start id 0), then consumes N entries:
//   sequential: XREADGROUP GROUP g c COUNT 10 BLOCK 1 STREAMS steps >, then one XACK per
//               entry, each awaited before the next (one round trip per command);
//   pipelined:  the same commands in the same order, but every XACK of a batch is sent without
//               waiting and the next XREADGROUP goes in the same write; the replies are then
//               read in order (one round trip per batch), as the historian's read loop does.
//   batched:    as pipelined, but the batch's entries are acknowledged by one XACK of all their
//               ids, as the historian does with --read-count other than 10. The XACK goes in
//               the same write as the next XREADGROUP: one round trip per read, the ceiling
//               for reads of 1000.
// --count sets the COUNT of each XREADGROUP (default 10).
// --await-ack (batched only) waits for each XACK's reply before it sends the next read: two
// round trips per read, for comparison.
// --poll makes the consumption wait for each reply by polling a non-blocking socket instead
// of sleeping in read(), as the historian's loop does while it reads a backlog.
// --fill first adds N entries (fields data and timestamp) to "steps", their data taken line
// by line from FILE (the benchmark payload, steps.jsonl) or a 3.3 kB synthetic payload.
// Bounded like the Python baseline: N entries, 1000 empty reads or 120 s.
// Prints one line: mode, entries, seconds, entries_per_s.

#include <fcntl.h>
#include <hiredis/hiredis.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr const char *kStream = "steps";
constexpr const char *kGroup = "g";
constexpr double kMaxSeconds = 120.0;
constexpr int kMaxEmptyReads = 1000;

using ReplyPtr = std::unique_ptr<redisReply, void (*)(void *)>;

struct Options {
  int port = 0;
  std::string mode = "pipelined";
  long n = 50000;
  long fill = 0;
  std::string data;
  bool poll = false;
  bool await_ack = false;
  long count = 10;
};

// Set once the consumption starts with --poll.
bool g_polling = false;

[[noreturn]] void fail(const std::string &what) {
  std::fprintf(stderr, "redis_baseline: %s\n", what.c_str());
  std::exit(2);
}

Options parse(int argc, char **argv) {
  Options o;
  if (argc < 2)
    fail("usage: redis_baseline PORT [--mode sequential|pipelined|batched] [--n N] [--count C] "
         "[--fill N [--data FILE]] [--poll] [--await-ack]");
  o.port = std::atoi(argv[1]);
  for (int i = 2; i < argc; ++i) {
    std::string flag = argv[i];
    if (flag == "--poll") {
      o.poll = true;
      continue;
    }
    if (flag == "--await-ack") {
      o.await_ack = true;
      continue;
    }
    if (i + 1 >= argc)
      fail("missing value after " + flag);
    std::string value = argv[++i];
    if (flag == "--mode") {
      o.mode = value;
    } else if (flag == "--n") {
      o.n = std::atol(value.c_str());
    } else if (flag == "--count") {
      o.count = std::atol(value.c_str());
    } else if (flag == "--fill") {
      o.fill = std::atol(value.c_str());
    } else if (flag == "--data") {
      o.data = value;
    } else {
      fail("unknown option " + flag);
    }
  }
  if (o.mode != "sequential" && o.mode != "pipelined" && o.mode != "batched")
    fail("unknown mode " + o.mode);
  if (o.await_ack && o.mode != "batched")
    fail("--await-ack needs --mode batched");
  return o;
}

ReplyPtr get_reply(redisContext *c) {
  void *raw = nullptr;
  if (!g_polling) {
    if (redisGetReply(c, &raw) != REDIS_OK)
      fail(std::string("connection: ") + c->errstr);
    return ReplyPtr(static_cast<redisReply *>(raw), freeReplyObject);
  }
  for (int done = 0; !done;) {
    if (redisBufferWrite(c, &done) != REDIS_OK)
      fail(std::string("connection: ") + c->errstr);
  }
  for (;;) {
    if (redisGetReplyFromReader(c, &raw) != REDIS_OK)
      fail(std::string("connection: ") + c->errstr);
    if (raw != nullptr)
      return ReplyPtr(static_cast<redisReply *>(raw), freeReplyObject);
    // Non-blocking: returns at once, with or without new bytes.
    if (redisBufferRead(c) != REDIS_OK)
      fail(std::string("connection: ") + c->errstr);
  }
}

void append(redisContext *c, const std::vector<std::string> &args) {
  std::vector<const char *> argv;
  std::vector<std::size_t> lengths;
  for (const auto &a : args) {
    argv.push_back(a.data());
    lengths.push_back(a.size());
  }
  if (redisAppendCommandArgv(c, static_cast<int>(args.size()), argv.data(), lengths.data()) !=
      REDIS_OK) {
    fail(std::string("append: ") + c->errstr);
  }
}

ReplyPtr command(redisContext *c, const std::vector<std::string> &args) {
  append(c, args);
  return get_reply(c);
}

void fill(redisContext *c, const Options &o) {
  std::vector<std::string> payloads;
  if (!o.data.empty()) {
    std::ifstream in(o.data);
    if (!in)
      fail("cannot read " + o.data);
    for (std::string line; std::getline(in, line) && static_cast<long>(payloads.size()) < o.fill;) {
      payloads.push_back(line);
    }
    if (payloads.empty())
      fail(o.data + " holds no payload");
  } else {
    payloads.push_back("{\"pad\": \"" + std::string(3300, 'x') + "\"}");
  }
  constexpr long kBatch = 500;
  for (long done = 0; done < o.fill;) {
    long batch = std::min(kBatch, o.fill - done);
    for (long i = 0; i < batch; ++i) {
      const std::string &data = payloads[(done + i) % payloads.size()];
      append(c, {"XADD", kStream, "*", "data", data, "timestamp",
                 std::to_string(1733600000.0 + static_cast<double>(done + i) * 0.01)});
    }
    for (long i = 0; i < batch; ++i)
      get_reply(c);
    done += batch;
  }
}

std::vector<std::string> read_command(long count) {
  return {"XREADGROUP", "GROUP", kGroup,    "c",     "COUNT", std::to_string(count),
          "BLOCK",      "1",     "STREAMS", kStream, ">"};
}

// The entry identifiers of one XREADGROUP reply (empty for a nil reply).
std::vector<std::string> entry_ids(const redisReply *reply) {
  std::vector<std::string> ids;
  if (reply->type == REDIS_REPLY_ERROR)
    fail(std::string("XREADGROUP: ") + reply->str);
  if (reply->type != REDIS_REPLY_ARRAY)
    return ids;
  for (std::size_t s = 0; s < reply->elements; ++s) {
    const redisReply *entries = reply->element[s]->element[1];
    for (std::size_t e = 0; e < entries->elements; ++e) {
      const redisReply *id = entries->element[e]->element[0];
      ids.emplace_back(id->str, id->len);
    }
  }
  return ids;
}

} // namespace

int main(int argc, char **argv) {
  Options o = parse(argc, argv);
  redisContext *c = redisConnect("127.0.0.1", o.port);
  if (c == nullptr || c->err)
    fail(c ? c->errstr : "cannot allocate a context");
  if (o.fill > 0)
    fill(c, o);
  command(c, {"XGROUP", "DESTROY", kStream, kGroup});
  ReplyPtr created = command(c, {"XGROUP", "CREATE", kStream, kGroup, "0", "MKSTREAM"});
  if (created->type == REDIS_REPLY_ERROR)
    fail(std::string("XGROUP CREATE: ") + created->str);

  if (o.poll) {
    if (fcntl(c->fd, F_SETFL, fcntl(c->fd, F_GETFL) | O_NONBLOCK) != 0)
      fail("cannot make the socket non-blocking");
    c->flags &= ~REDIS_BLOCK;
    g_polling = true;
  }
  const bool pipelined = o.mode == "pipelined";
  const bool batched = o.mode == "batched";
  const std::vector<std::string> kRead = read_command(o.count);
  long got = 0;
  int empty = 0;
  auto t0 = std::chrono::steady_clock::now();
  auto elapsed = [&] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  };
  ReplyPtr batch = command(c, kRead);
  for (;;) {
    std::vector<std::string> ids = entry_ids(batch.get());
    if (ids.empty())
      ++empty;
    bool more = got + static_cast<long>(ids.size()) < o.n && empty < kMaxEmptyReads &&
                elapsed() < kMaxSeconds;
    if (batched) {
      if (!ids.empty()) {
        std::vector<std::string> ack = {"XACK", kStream, kGroup};
        ack.insert(ack.end(), ids.begin(), ids.end());
        append(c, ack);
      }
      // get_reply writes every command appended so far before it reads.
      if (o.await_ack && !ids.empty() && get_reply(c)->type == REDIS_REPLY_ERROR)
        fail("XACK failed");
      if (more)
        append(c, kRead);
      if (!o.await_ack && !ids.empty() && get_reply(c)->type == REDIS_REPLY_ERROR)
        fail("XACK failed");
    } else if (pipelined) {
      for (const auto &id : ids)
        append(c, {"XACK", kStream, kGroup, id});
      if (more)
        append(c, kRead);
      for (std::size_t i = 0; i < ids.size(); ++i) {
        if (get_reply(c)->type == REDIS_REPLY_ERROR)
          fail("XACK failed");
      }
    } else {
      for (const auto &id : ids) {
        if (command(c, {"XACK", kStream, kGroup, id})->type == REDIS_REPLY_ERROR) {
          fail("XACK failed");
        }
      }
      if (more)
        append(c, kRead);
    }
    got += static_cast<long>(ids.size());
    if (!more)
      break;
    batch = get_reply(c);
  }
  double seconds = elapsed();
  ReplyPtr pending = command(c, {"XPENDING", kStream, kGroup});
  long long pending_after = pending->type == REDIS_REPLY_ARRAY ? pending->element[0]->integer : -1;
  std::printf("redis_baseline mode=%s%s%s count=%ld entries=%ld pending_after=%lld seconds=%.3f "
              "entries_per_s=%.0f\n",
              o.mode.c_str(), o.poll ? " poll=1" : "", o.await_ack ? " await_ack=1" : "", o.count,
              got, pending_after, seconds, static_cast<double>(got) / seconds);
  redisFree(c);
  return got == o.n ? 0 : 1;
}
