#pragma once

// Parsing a batch's JSON texts ahead, on a worker thread, while the loop handles the
// batch's earlier entries one after another. The worker claims the entries from the front,
// ahead of the loop and at most kWindow entries beyond it, so that the documents waiting for
// the loop stay few; once that far ahead it stops, and the loop calls it back when it has
// caught up half the way. Neither waits for the other except on the one entry the worker is
// parsing at that moment. The entries are still handled strictly in order, on the loop
// thread; only the parsing of later texts moves.

#include <atomic>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "json/document.h"

namespace networking::remote_historian::v2 {

class ParseAhead {
public:
  // How far the worker parses ahead of the loop.
  static constexpr std::size_t kWindow = 32;

  // What the parse of one text gave.
  struct Parsed {
    bool done = false;                      // false: not parsed ahead, parse it as usual
    std::optional<json::Document> document; // done and nullopt: simdjson refused the text
  };

  // The parse of one text, as the worker does it ahead and the loop on the spot: a Document
  // when simdjson takes the text, else left to json::parse() (which gives the value or the
  // exact error). Throws std::bad_alloc.
  static Parsed parse(const std::string &text);

  // texts[i]: the data text of entry i, or nullptr for an entry with nothing to parse ahead.
  // The texts must stay valid until finish() has returned (the destructor calls it).
  explicit ParseAhead(const std::vector<const std::string *> &texts);
  ~ParseAhead();
  ParseAhead(const ParseAhead &) = delete;
  ParseAhead &operator=(const ParseAhead &) = delete;

  // Hands the worker its job (on loop::worker_pool()); without it, take() finds nothing.
  // Does nothing while earlier jobs still fill the pool: when it is taken up by other work
  // (a slow callback), the loop parses everything itself rather than queueing more.
  void start();
  // Entry i's result (not parsed ahead for i beyond the texts). Call in increasing i. Waits
  // only while the worker is parsing entry i.
  Parsed take(std::size_t i);
  // Keeps the worker off every entry not yet taken and waits for the one it is parsing.
  // Calling it again does nothing more.
  void finish();

private:
  // kNone: nothing to parse ahead. kTaken: the loop's, whatever it held.
  enum State : unsigned char { kNone, kFree, kTaken, kParsing, kParsed };
  struct Slot {
    const std::string *text = nullptr;
    std::atomic<unsigned char> state{kFree};
    Parsed result; // written by the worker before kParsed is stored
  };
  struct Shared {
    explicit Shared(std::size_t n) : slots(n) {}
    std::vector<Slot> slots;
    std::atomic<std::size_t> next{0};  // the next entry the worker looks at
    std::atomic<std::size_t> taken{0}; // entries the loop has taken
    std::atomic<bool> working{false};  // a job of this batch is queued or running
    std::atomic<bool> finished{false};
  };
  // The worker's job: parses forward until the window, the end or finish().
  static void work(const std::shared_ptr<Shared> &shared);

  // Shared with the worker's job, which may start after the batch has been handled.
  std::shared_ptr<Shared> _shared;
  bool _started = false; // start() was called: take() may call the worker back
};

} // namespace networking::remote_historian::v2
