#include "json/document.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include <simdjson.h>

namespace json {
namespace {

// The simdjson parser of this thread; parsing reuses its buffers.
struct DomState {
  simdjson::dom::parser parser;
  // Nesting beyond kMaxDepth is refused, as parse() refuses it.
  DomState() {
    if (parser.allocate(1 << 16, kMaxDepth) != simdjson::SUCCESS)
      throw std::bad_alloc();
  }
};

std::unique_ptr<DomState> &dom_slot() {
  thread_local std::unique_ptr<DomState> state;
  return state;
}

DomState &dom_state() {
  std::unique_ptr<DomState> &state = dom_slot();
  if (!state)
    state = std::make_unique<DomState>();
  return *state;
}

// Spare DOM documents of the process; parsing into one reuses its buffers. Shared by the
// threads, as a document parsed on one thread is often let go on another.
constexpr std::size_t kSpareDocuments = 48;
constexpr std::size_t kMinDocumentCapacity = std::size_t{8} * 1024;
static_assert(kDocumentPadding >= simdjson::SIMDJSON_PADDING);

struct SpareDocuments {
  std::mutex mutex;
  std::vector<std::unique_ptr<simdjson::dom::document>> documents;
};

SpareDocuments &spare_documents() {
  static SpareDocuments *spare = new SpareDocuments(); // never destroyed: used until exit
  return *spare;
}

std::unique_ptr<simdjson::dom::document> reuse_or_new() {
  SpareDocuments &spare = spare_documents();
  {
    std::lock_guard lock(spare.mutex);
    if (!spare.documents.empty()) {
      auto doc = std::move(spare.documents.back());
      spare.documents.pop_back();
      return doc;
    }
  }
  return std::make_unique<simdjson::dom::document>();
}

void recycle(std::unique_ptr<simdjson::dom::document> doc) {
  if (!doc)
    return;
  SpareDocuments &spare = spare_documents();
  std::lock_guard lock(spare.mutex);
  if (spare.documents.size() < kSpareDocuments)
    spare.documents.push_back(std::move(doc));
}

} // namespace

std::optional<Document> Document::parse(std::string_view text, bool padded) {
  // No scan for NaN and Infinity first: simdjson refuses those words itself.
  std::unique_ptr<simdjson::dom::document> doc =
      text.size() < kLargeText ? reuse_or_new() : std::make_unique<simdjson::dom::document>();
  // Room to spare, so that a recycled document fits the next texts, which vary in size.
  if (doc->capacity() < text.size() &&
      doc->allocate(text.size() < kLargeText ? std::max(2 * text.size(), kMinDocumentCapacity)
                                             : text.size()) != simdjson::SUCCESS) {
    throw std::bad_alloc();
  }
  DomState &dom = dom_state();
  const auto error =
      dom.parser.parse_into_document(*doc, text.data(), text.size(), !padded).error();
  if (text.size() >= kLargeText)
    dom_slot().reset();
  if (error != simdjson::SUCCESS) {
    if (text.size() < kLargeText)
      recycle(std::move(doc));
    return std::nullopt;
  }
  return Document(std::move(doc));
}

Document::Document(std::unique_ptr<simdjson::dom::document> doc) : _doc(std::move(doc)) {}
Document::Document(Document &&other) noexcept = default;
Document &Document::operator=(Document &&other) noexcept = default;

Document::~Document() {
  // Documents that grew for a large text are let go rather than kept.
  if (_doc && _doc->capacity() < kLargeText)
    recycle(std::move(_doc));
}

tape::Tape Document::tape() const { return {_doc->tape.get(), _doc->string_buf.get()}; }

Value Document::to_value() const {
  const tape::Tape t = tape();
  return tape::to_value(tape::root(&t));
}

} // namespace json
