#include "tools/historian_host/bucket_access.h"

#include "networking/remote_historian/v2/bucket/bucket_output.h"

namespace host {

bool is_bucket_url(std::string_view text) { return text.starts_with("s3://"); }

std::shared_ptr<s3::Client> open_bucket(const s3::Location &where,
                                        const std::optional<std::string> &credentials_file) {
  return std::make_shared<s3::Client>(
      networking::remote_historian::v2::_bucket_config(credentials_file), where.bucket);
}

} // namespace host
