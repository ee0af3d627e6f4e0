#pragma once

// An S3 client for one bucket: requests signed with AWS Signature V4 by libcurl, each under a
// time-out and retried with back-off on the errors worth retrying (5xx, 429, a dropped or
// refused connection, a stalled transfer). Blocking: call it from a worker thread. Any number of
// threads may use one Client at a time; each request takes a libcurl handle from a small pool,
// so connections are kept between requests.
//
// Errors throw s3::Error, whose message names the request (method and key) and the server's
// answer, never the credentials.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace s3 {

class Error : public std::runtime_error {
public:
  // status: the HTTP status; 0 when no answer came (connection, time-out: worth another try);
  // -1 for a failure here (a file, libcurl) that another try would meet again.
  Error(const std::string &what, long status) : std::runtime_error(what), _status(status) {}
  long status() const { return _status; }

private:
  long _status;
};

// "s3://BUCKET/PREFIX": the bucket and the prefix without its trailing slashes (may be empty).
struct Location {
  std::string bucket;
  std::string prefix;
  // prefix + "/" + name, or name alone at the bucket's root.
  std::string key(std::string_view name) const;
};
// Throws std::invalid_argument naming what is wrong with url.
Location parse_location(std::string_view url);

struct Config {
  // Scheme, host and port, no path: "https://s3.us-east-1.amazonaws.com" when none is given.
  std::string endpoint;
  std::string region = "us-east-1";
  std::string access_key;
  std::string secret_key;
  // Temporary credentials only: sent as x-amz-security-token.
  std::string session_token;
  // BUCKET in the path (endpoint/BUCKET/KEY) rather than in the host name.
  bool path_style = true;
  // A request that has not connected within connect_timeout, or that moves fewer than 1 KiB/s
  // for stall_timeout, fails; a request without a body fails after request_timeout in all.
  std::chrono::milliseconds connect_timeout{10000};
  std::chrono::milliseconds stall_timeout{30000};
  std::chrono::milliseconds request_timeout{60000};
  // Tries of a request before its error is thrown, and the first back-off (doubled each try,
  // at most 5 s).
  int attempts = 5;
  std::chrono::milliseconds backoff{200};
  // Files above this size are sent as a multipart upload, in parts of part_size (at least
  // 5 MiB, and more when the file would need more than 10,000 parts).
  std::uint64_t multipart_threshold = std::uint64_t{64} << 20;
  std::uint64_t part_size = std::uint64_t{32} << 20;
  // Parts of one multipart upload sent at once, each on a connection of its own.
  int upload_connections = 4;
  // Called after each part of a multipart upload has been sent (on the uploading thread).
  std::function<void()> after_part;
};

// The conventional environment: AWS_ENDPOINT_URL (or AWS_ENDPOINT_URL_S3), AWS_REGION (or
// AWS_DEFAULT_REGION), AWS_ACCESS_KEY_ID, AWS_SECRET_ACCESS_KEY, AWS_SESSION_TOKEN. An endpoint
// that is given is addressed path-style (what S3-compatible servers take); Amazon's own
// virtual-hosted style otherwise.
Config config_from_environment();
// Reads credentials from a file of "name = value" lines (the names of the variables above, in
// either case, or those of an AWS credentials file: aws_access_key_id, ...; "#" comments and
// "[section]" lines are skipped) over config. The file must be readable by its owner only.
// Throws std::runtime_error naming the file and what is wrong, never a value from it.
void read_credentials_file(const std::string &path, Config &config);
// Throws std::runtime_error when no access key or secret key is set.
void check_credentials(const Config &config);

struct ObjectInfo {
  std::string key;
  std::uint64_t size = 0;
  // Without its quotes.
  std::string etag;
  // As a listing gives it, ISO 8601 in UTC ("2026-01-02T03:04:05.000Z"); empty from a HEAD.
  std::string last_modified{};
};

struct MultipartUpload {
  std::string key;
  std::string upload_id;
};

class Client {
public:
  Client(Config config, std::string bucket);
  ~Client();
  Client(const Client &) = delete;
  Client &operator=(const Client &) = delete;

  const Config &config() const { return _config; }
  const std::string &bucket() const { return _bucket; }

  // Uploads the file at path to key and confirms it: one PUT up to the multipart threshold,
  // else a multipart upload (aborted when it fails). The ETag the server gives each request is
  // compared with the MD5 of the bytes sent where it is one. Returns the object's ETag.
  std::string upload_file(const std::string &key, const std::string &path);
  // One PUT of bytes; confirmed as above.
  std::string put(const std::string &key, std::string_view bytes);
  // The object's size and ETag; none when there is no such object.
  std::optional<ObjectInfo> head(const std::string &key);
  // The object's bytes, or length of them from offset. Throws (status 404) when it is missing.
  std::string get(const std::string &key);
  std::string get_range(const std::string &key, std::uint64_t offset, std::uint64_t length);
  // Writes the object to path (replacing it through a temporary beside it).
  void download(const std::string &key, const std::string &path);
  // Deletes the object; a missing one is fine.
  void remove(const std::string &key);
  // Every object whose key starts with prefix, in key order.
  std::vector<ObjectInfo> list(const std::string &prefix);
  // The multipart uploads begun and neither completed nor aborted under prefix.
  std::vector<MultipartUpload> list_uploads(const std::string &prefix);
  void abort_upload(const MultipartUpload &upload);

  // Counters of every request this client made, for metrics.
  struct Counts {
    std::uint64_t requests = 0;
    std::uint64_t retries = 0;
    std::uint64_t failures = 0;
    std::uint64_t bytes_sent = 0;
  };
  Counts counts() const;

  struct Request;
  struct Response;

private:
  Response perform(Request &request);
  Response perform_once(Request &request, void *handle);
  std::string url_of(const std::string &key, const std::string &query) const;
  std::string put_range(const std::string &key, const std::string &query, int fd,
                        std::uint64_t offset, std::uint64_t length);

  struct State;
  Config _config;
  std::string _bucket;
  std::unique_ptr<State> _state;
};

// RFC 3986 percent-encoding as SigV4 wants it: everything but A-Z a-z 0-9 - _ . ~ is encoded,
// and "/" too unless keep_slash.
std::string uri_encode(std::string_view text, bool keep_slash);
// The canonical query string of SigV4: parameters sorted by name, names and values encoded, a
// parameter without a value written "name=".
std::string canonical_query(std::vector<std::pair<std::string, std::string>> parameters);

} // namespace s3
