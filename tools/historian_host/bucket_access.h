#pragma once

// The read-only commands in a bucket: `inspect` and `report` take s3://BUCKET/KEY and
// s3://BUCKET/PREFIX where they take a file or a directory, and read the objects in place
// (networking::remote_historian::v2::RemoteFile).

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "s3/client.h"

namespace host {

// Whether text names an object or a prefix of a bucket rather than a local path.
bool is_bucket_url(std::string_view text);

// A client of where's bucket, configured from the environment and credentials_file when given.
// Throws std::runtime_error naming what is missing or wrong, never a credential.
std::shared_ptr<s3::Client> open_bucket(const s3::Location &where,
                                        const std::optional<std::string> &credentials_file);

} // namespace host
