#include "networking/remote_historian/v2/bucket/remote_file.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <utility>
#include <vector>

namespace networking::remote_historian::v2 {
namespace {

constexpr std::uint64_t kFirstWindow = std::uint64_t{64} << 10;
constexpr std::uint64_t kLargestWindow = std::uint64_t{1} << 20;
constexpr std::size_t kSpansKept = 8;

} // namespace

struct RemoteFile::State {
  std::shared_ptr<s3::Client> client;
  std::string key;
  std::string url;
  std::uint64_t size = 0;
  std::atomic<std::uint64_t> requests{0};
  std::atomic<std::uint64_t> bytes{0};

  std::mutex mutex;
  struct Span {
    std::uint64_t begin = 0;
    std::string bytes;
    std::uint64_t last_used = 0;
  };
  // Guarded by mutex, as are the fields below.
  std::vector<Span> spans;
  std::uint64_t clock = 0;
  std::uint64_t window = kFirstWindow;
  // Where the last fetch ended: a miss there is reading that goes on in order.
  std::uint64_t last_end = std::numeric_limits<std::uint64_t>::max();

  std::string fetch(std::uint64_t offset, std::uint64_t length) {
    std::string got = client->get_range(key, offset, length);
    requests.fetch_add(1);
    bytes.fetch_add(got.size());
    last_end = offset + length;
    return got;
  }

  Span *span_holding(std::uint64_t offset) {
    for (Span &s : spans)
      if (offset >= s.begin && offset - s.begin < s.bytes.size())
        return &s;
    return nullptr;
  }

  void keep(std::uint64_t begin, std::string got) {
    if (spans.size() == kSpansKept) {
      spans.erase(std::min_element(spans.begin(), spans.end(), [](const Span &a, const Span &b) {
        return a.last_used < b.last_used;
      }));
    }
    spans.push_back({begin, std::move(got), ++clock});
  }

  void read(std::uint64_t offset, std::size_t size, std::uint8_t *out) {
    const std::lock_guard lock(mutex);
    while (size > 0) {
      if (Span *s = span_holding(offset)) {
        const std::size_t n = static_cast<std::size_t>(
            std::min<std::uint64_t>(size, s->begin + s->bytes.size() - offset));
        std::copy_n(s->bytes.data() + (offset - s->begin), n, out);
        s->last_used = ++clock;
        offset += n;
        out += n;
        size -= n;
        continue;
      }
      if (size > kLargestWindow) {
        const std::string got = fetch(offset, size);
        std::memcpy(out, got.data(), size);
        return;
      }
      window = offset == last_end ? std::min(window * 2, kLargestWindow) : kFirstWindow;
      const std::uint64_t length = std::min(std::max<std::uint64_t>(size, window), this->size);
      const std::uint64_t begin = std::min(offset, this->size - length);
      keep(begin, fetch(begin, length));
    }
  }
};

RemoteFile::RemoteFile(std::shared_ptr<s3::Client> client, std::string key, std::uint64_t size)
    : _state(std::make_shared<State>()) {
  _state->url = "s3://" + client->bucket() + "/" + key;
  _state->client = std::move(client);
  _state->key = std::move(key);
  _state->size = size;
}

RemoteFile RemoteFile::open(std::shared_ptr<s3::Client> client, const std::string &key) {
  const std::optional<s3::ObjectInfo> object = client->head(key);
  if (!object)
    throw std::runtime_error("s3://" + client->bucket() + "/" + key + " does not exist");
  return RemoteFile(std::move(client), key, object->size);
}

const std::string &RemoteFile::url() const { return _state->url; }
std::uint64_t RemoteFile::size() const { return _state->size; }

parquet::InputFile RemoteFile::input() const {
  return parquet::InputFile::from_ranges(
      _state->url, _state->size,
      [state = _state](std::uint64_t offset, std::size_t size, std::uint8_t *out) {
        state->read(offset, size, out);
      });
}

void RemoteFile::read(std::uint64_t offset, std::size_t size, std::uint8_t *out) const {
  _state->read(offset, size, out);
}

RemoteFile::Counts RemoteFile::counts() const {
  return {_state->requests.load(), _state->bytes.load()};
}

} // namespace networking::remote_historian::v2
