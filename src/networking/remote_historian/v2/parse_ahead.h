#pragma once

// Parsing a batch's JSON texts ahead, on a worker thread, while the loop handles the
// batch's earlier entries one after another. The loop takes the entries from the front and
// the worker from the back, so neither waits for the other except on the one entry the
// worker is parsing at that moment. The entries are still handled strictly in order, on the
// loop thread; only the parsing of later texts moves.

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
  // Does nothing while an earlier batch's job is still queued or running: when the pool is
  // taken up by other work (a slow callback), the loop parses everything itself rather than
  // queueing a job per batch.
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
  };
  // The worker's job: parses from the last entry down until it meets one the loop took.
  static void work(const std::shared_ptr<Shared> &shared);

  // Shared with the worker's job, which may start after the batch has been handled.
  std::shared_ptr<Shared> _shared;
};

} // namespace networking::remote_historian::v2
