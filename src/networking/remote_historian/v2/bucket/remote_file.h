#pragma once

// An object of a bucket read in place, as a parquet::InputFile: its size known once, its bytes
// fetched by ranged GETs and kept in a few spans (least recently used dropped first). A read
// the spans miss fetches a window from its offset: 64 KiB, doubled while reads go on where the
// last fetch ended, up to 1 MiB, so that the page headers of a chunk, read a few hundred bytes
// at a time, do not each cost a request. A window that would pass the end of the object is
// moved back to end there: the reader's first read, the last 8 bytes, brings a footer of up to
// 64 KiB with it (and all of a small file); a larger footer costs one request more. A read
// larger than 1 MiB (a whole column chunk) is fetched as asked and not kept.
//
// Threads: any; the spans are guarded by a mutex that is held across a fetch.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "parquet/io.h"
#include "s3/client.h"

namespace networking::remote_historian::v2 {

class RemoteFile {
public:
  // The object at key of size bytes (as a listing gave it); no request is made.
  RemoteFile(std::shared_ptr<s3::Client> client, std::string key, std::uint64_t size);
  // The object at key, its size from a HEAD. Throws std::runtime_error "s3://BUCKET/KEY does
  // not exist" when there is none, s3::Error when the HEAD fails.
  static RemoteFile open(std::shared_ptr<s3::Client> client, const std::string &key);

  // "s3://BUCKET/KEY".
  const std::string &url() const;
  std::uint64_t size() const;

  // An input named url() whose reads go through this file's spans (it shares them, and keeps
  // them alive when this handle is gone).
  parquet::InputFile input() const;
  // Reads exactly size bytes at offset. Requires: the range lies inside the object. Throws
  // s3::Error when a GET fails or the object got shorter.
  void read(std::uint64_t offset, std::size_t size, std::uint8_t *out) const;

  // The GETs answered and the bytes they brought, over every input of this file.
  struct Counts {
    std::uint64_t requests = 0;
    std::uint64_t bytes = 0;
  };
  Counts counts() const;

private:
  struct State;
  std::shared_ptr<State> _state;
};

} // namespace networking::remote_historian::v2
