#include "s3/client.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <mutex>
#include <random>
#include <thread>
#include <utility>

#include "s3/xml.h"

namespace s3 {

namespace {

// SHA-256 of no bytes: the payload hash of a request without a body.
constexpr const char *kEmptySha256 =
    "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
constexpr std::uint64_t kMinPartSize = std::uint64_t{5} << 20;
constexpr std::uint64_t kMaxParts = 10000;

void init_once() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK)
      throw Error("libcurl initialization failed", -1);
  });
}

std::string hex(const unsigned char *bytes, unsigned size) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out(std::size_t{size} * 2, '0');
  for (std::size_t i = 0; i < size; ++i) {
    out[2 * i] = kDigits[bytes[i] >> 4];
    out[2 * i + 1] = kDigits[bytes[i] & 15];
  }
  return out;
}

// An EVP digest, fed piece by piece.
class Digest {
public:
  explicit Digest(const EVP_MD *md) : _ctx(EVP_MD_CTX_new()), _md(md) { reset(); }
  ~Digest() { EVP_MD_CTX_free(_ctx); }
  Digest(const Digest &) = delete;
  Digest &operator=(const Digest &) = delete;
  void reset() {
    if (_ctx == nullptr || EVP_DigestInit_ex(_ctx, _md, nullptr) != 1)
      throw Error("OpenSSL digest initialization failed", -1);
  }
  void update(const void *data, std::size_t size) { EVP_DigestUpdate(_ctx, data, size); }
  std::string hex_final() {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned size = 0;
    EVP_DigestFinal_ex(_ctx, out, &size);
    return hex(out, size);
  }

private:
  EVP_MD_CTX *_ctx;
  const EVP_MD *_md;
};

std::string sha256_hex(std::string_view bytes) {
  Digest d(EVP_sha256());
  d.update(bytes.data(), bytes.size());
  return d.hex_final();
}

bool is_md5_hex(std::string_view etag) {
  return etag.size() == 32 && etag.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

std::string lower(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

std::string trim(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos)
    return {};
  const auto last = text.find_last_not_of(" \t\r\n");
  return std::string(text.substr(first, last - first + 1));
}

std::string env_or(const char *name, const char *fallback = nullptr) {
  if (const char *v = std::getenv(name); v && *v)
    return v;
  if (fallback)
    if (const char *v = std::getenv(fallback); v && *v)
      return v;
  return {};
}

// Curl errors that a later try may not meet.
bool transient(CURLcode code) {
  switch (code) {
  case CURLE_UNSUPPORTED_PROTOCOL:
  case CURLE_URL_MALFORMAT:
  case CURLE_NOT_BUILT_IN:
  case CURLE_BAD_FUNCTION_ARGUMENT:
  case CURLE_OUT_OF_MEMORY:
  case CURLE_READ_ERROR:
  case CURLE_WRITE_ERROR:
  case CURLE_ABORTED_BY_CALLBACK:
    return false;
  default:
    return true;
  }
}

} // namespace

std::string Location::key(std::string_view name) const {
  if (prefix.empty())
    return std::string(name);
  return prefix + "/" + std::string(name);
}

Location parse_location(std::string_view url) {
  constexpr std::string_view kScheme = "s3://";
  if (!url.starts_with(kScheme))
    throw std::invalid_argument("not an s3:// URL: " + std::string(url));
  std::string_view rest = url.substr(kScheme.size());
  const auto slash = rest.find('/');
  Location where;
  where.bucket = std::string(rest.substr(0, slash));
  if (slash != std::string_view::npos) {
    std::string_view prefix = rest.substr(slash + 1);
    while (prefix.ends_with('/'))
      prefix.remove_suffix(1);
    where.prefix = std::string(prefix);
  }
  if (where.bucket.empty())
    throw std::invalid_argument("an s3:// URL needs a bucket: " + std::string(url));
  if (where.bucket.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789.-_") !=
      std::string::npos)
    throw std::invalid_argument("not a bucket name: " + where.bucket);
  if (where.prefix.find("//") != std::string::npos)
    throw std::invalid_argument("an empty folder name in the prefix of " + std::string(url));
  return where;
}

Config config_from_environment() {
  Config c;
  c.region = env_or("AWS_REGION", "AWS_DEFAULT_REGION");
  if (c.region.empty())
    c.region = "us-east-1";
  c.endpoint = env_or("AWS_ENDPOINT_URL_S3", "AWS_ENDPOINT_URL");
  c.path_style = !c.endpoint.empty();
  if (c.endpoint.empty())
    c.endpoint = "https://s3." + c.region + ".amazonaws.com";
  while (c.endpoint.ends_with('/'))
    c.endpoint.pop_back();
  c.access_key = env_or("AWS_ACCESS_KEY_ID");
  c.secret_key = env_or("AWS_SECRET_ACCESS_KEY");
  c.session_token = env_or("AWS_SESSION_TOKEN");
  return c;
}

void read_credentials_file(const std::string &path, Config &config) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0)
    throw std::runtime_error("cannot read " + path + ": " + std::strerror(errno));
  if ((st.st_mode & (S_IRWXG | S_IRWXO)) != 0)
    throw std::runtime_error(path +
                             " holds credentials and must be readable by its owner only "
                             "(chmod 600 " +
                             path + ")");
  std::ifstream in(path);
  if (!in)
    throw std::runtime_error("cannot read " + path);
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    const std::string text = trim(line);
    if (text.empty() || text[0] == '#' || text[0] == ';' || text[0] == '[')
      continue;
    const auto eq = text.find('=');
    if (eq == std::string::npos)
      throw std::runtime_error(path + " line " + std::to_string(number) +
                               ": not a \"name = value\" line");
    const std::string name = lower(trim(text.substr(0, eq)));
    std::string value = trim(text.substr(eq + 1));
    if (name == "aws_access_key_id")
      config.access_key = std::move(value);
    else if (name == "aws_secret_access_key")
      config.secret_key = std::move(value);
    else if (name == "aws_session_token")
      config.session_token = std::move(value);
    else if (name == "aws_region" || name == "region")
      config.region = std::move(value);
    else if (name == "aws_endpoint_url" || name == "endpoint_url") {
      config.endpoint = std::move(value);
      while (config.endpoint.ends_with('/'))
        config.endpoint.pop_back();
      config.path_style = true;
    } else
      throw std::runtime_error(path + " line " + std::to_string(number) + ": unknown name '" +
                               name + "'");
  }
}

void check_credentials(const Config &config) {
  if (config.access_key.empty() || config.secret_key.empty())
    throw std::runtime_error("no S3 credentials: set AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY, "
                             "or give --s3-credentials-file");
}

std::string uri_encode(std::string_view text, bool keep_slash) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~' ||
        (keep_slash && c == '/')) {
      out += ch;
    } else {
      out += '%';
      out += kDigits[c >> 4];
      out += kDigits[c & 15];
    }
  }
  return out;
}

std::string canonical_query(std::vector<std::pair<std::string, std::string>> parameters) {
  for (auto &[name, value] : parameters) {
    name = uri_encode(name, false);
    value = uri_encode(value, false);
  }
  std::sort(parameters.begin(), parameters.end());
  std::string out;
  for (const auto &[name, value] : parameters) {
    if (!out.empty())
      out += '&';
    out += name + "=" + value;
  }
  return out;
}

// What one request sends and where its answer goes.
struct Client::Request {
  std::string method;
  std::string key;
  std::string query;
  // The body: bytes in memory, or length bytes of fd from offset; none for neither.
  std::string_view bytes;
  int fd = -1;
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
  bool has_body = false;
  std::vector<std::string> headers;
  // The answer's body goes to out_fd (truncated on each try) instead of Response::body.
  int out_fd = -1;
  // Statuses that are answers, not errors (404 for HEAD and DELETE).
  std::vector<long> accepted;
  // Compare the ETag with the MD5 of the bytes sent.
  bool check_md5 = false;

  // Per try.
  std::uint64_t sent = 0;
  std::unique_ptr<Digest> md5;
};

struct Client::Response {
  long status = 0;
  std::string body;
  std::string etag;
  std::uint64_t content_length = 0;
};

struct Client::State {
  std::mutex mutex;
  std::vector<CURL *> handles;
  std::atomic<std::uint64_t> requests{0};
  std::atomic<std::uint64_t> retries{0};
  std::atomic<std::uint64_t> failures{0};
  std::atomic<std::uint64_t> bytes_sent{0};

  CURL *take() {
    {
      std::lock_guard lock(mutex);
      if (!handles.empty()) {
        CURL *h = handles.back();
        handles.pop_back();
        return h;
      }
    }
    CURL *h = curl_easy_init();
    if (!h)
      throw Error("libcurl could not create a handle", -1);
    return h;
  }
  void give_back(CURL *h) {
    std::lock_guard lock(mutex);
    handles.push_back(h);
  }
  ~State() {
    for (CURL *h : handles)
      curl_easy_cleanup(h);
  }
};

Client::Client(Config config, std::string bucket)
    : _config(std::move(config)), _bucket(std::move(bucket)), _state(std::make_unique<State>()) {
  init_once();
}

Client::~Client() = default;

Client::Counts Client::counts() const {
  Counts c;
  c.requests = _state->requests.load();
  c.retries = _state->retries.load();
  c.failures = _state->failures.load();
  c.bytes_sent = _state->bytes_sent.load();
  return c;
}

std::string Client::url_of(const std::string &key, const std::string &query) const {
  std::string url;
  const std::string path = key.empty() ? "/" : "/" + uri_encode(key, true);
  if (_config.path_style) {
    url = _config.endpoint + "/" + uri_encode(_bucket, false) + path;
  } else {
    const auto scheme_end = _config.endpoint.find("://");
    const std::size_t host_at = scheme_end == std::string::npos ? 0 : scheme_end + 3;
    url = _config.endpoint.substr(0, host_at) + _bucket + "." + _config.endpoint.substr(host_at) +
          path;
  }
  if (!query.empty())
    url += "?" + query;
  return url;
}

namespace {

std::size_t read_body(char *buffer, std::size_t size, std::size_t count, void *user) {
  auto &r = *static_cast<Client::Request *>(user);
  const std::uint64_t left = r.length - r.sent;
  const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(left, size * count));
  if (want == 0)
    return 0;
  std::size_t got = 0;
  if (r.fd >= 0) {
    while (got < want) {
      const ssize_t n =
          ::pread(r.fd, buffer + got, want - got, static_cast<off_t>(r.offset + r.sent + got));
      if (n < 0 && errno == EINTR)
        continue;
      if (n <= 0)
        return CURL_READFUNC_ABORT;
      got += static_cast<std::size_t>(n);
    }
  } else {
    std::memcpy(buffer, r.bytes.data() + r.sent, want);
    got = want;
  }
  if (r.md5)
    r.md5->update(buffer, got);
  r.sent += got;
  return got;
}

// libcurl rewinds a body it must send again (a reused connection that was closed meanwhile).
int seek_body(void *user, curl_off_t offset, int origin) {
  auto &r = *static_cast<Client::Request *>(user);
  if (origin != SEEK_SET || offset != 0)
    return CURL_SEEKFUNC_CANTSEEK;
  r.sent = 0;
  if (r.md5)
    r.md5->reset();
  return CURL_SEEKFUNC_OK;
}

struct Sink {
  Client::Response *response;
  int fd;
};

std::size_t write_body(char *data, std::size_t size, std::size_t count, void *user) {
  auto &sink = *static_cast<Sink *>(user);
  const std::size_t n = size * count;
  if (sink.fd < 0) {
    sink.response->body.append(data, n);
    return n;
  }
  std::size_t done = 0;
  while (done < n) {
    const ssize_t w = ::write(sink.fd, data + done, n - done);
    if (w < 0 && errno == EINTR)
      continue;
    if (w <= 0)
      return 0;
    done += static_cast<std::size_t>(w);
  }
  return n;
}

std::size_t read_header(char *data, std::size_t size, std::size_t count, void *user) {
  auto &response = *static_cast<Client::Response *>(user);
  const std::string_view line(data, size * count);
  const auto colon = line.find(':');
  if (colon != std::string_view::npos) {
    const std::string name = lower(line.substr(0, colon));
    std::string value = trim(line.substr(colon + 1));
    if (name == "etag") {
      if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
        value = value.substr(1, value.size() - 2);
      response.etag = lower(value);
    } else if (name == "content-length") {
      response.content_length = std::strtoull(value.c_str(), nullptr, 10);
    }
  } else if (line.starts_with("HTTP/")) {
    // A new answer (after a 100 Continue, say): its headers replace the last one's.
    response.etag.clear();
    response.content_length = 0;
  }
  return size * count;
}

void set(CURL *h, CURLoption option, auto value) {
  if (curl_easy_setopt(h, option, value) != CURLE_OK)
    throw Error("libcurl refused an option", -1);
}

std::string describe(const std::string &method, const std::string &bucket, const std::string &key) {
  return "S3 " + method + " s3://" + bucket + "/" + key;
}

} // namespace

Client::Response Client::perform_once(Request &request, void *handle) {
  CURL *h = static_cast<CURL *>(handle);
  curl_easy_reset(h);
  Response response;
  Sink sink{&response, request.out_fd};
  request.sent = 0;
  if (request.check_md5) {
    if (!request.md5)
      request.md5 = std::make_unique<Digest>(EVP_md5());
    request.md5->reset();
  }
  if (request.out_fd >= 0) {
    if (::ftruncate(request.out_fd, 0) != 0 || ::lseek(request.out_fd, 0, SEEK_SET) != 0)
      throw Error(describe(request.method, _bucket, request.key) +
                      ": cannot reset the file: " + std::strerror(errno),
                  0);
  }

  const std::string url = url_of(request.key, request.query);
  const std::string sigv4 = "aws:amz:" + _config.region + ":s3";
  set(h, CURLOPT_URL, url.c_str());
  set(h, CURLOPT_AWS_SIGV4, sigv4.c_str());
  set(h, CURLOPT_USERNAME, _config.access_key.c_str());
  set(h, CURLOPT_PASSWORD, _config.secret_key.c_str());
  set(h, CURLOPT_NOSIGNAL, 1L);
  set(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(_config.connect_timeout.count()));
  set(h, CURLOPT_LOW_SPEED_LIMIT, 1024L);
  set(h, CURLOPT_LOW_SPEED_TIME,
      std::max(1L, static_cast<long>(_config.stall_timeout.count() / 1000)));
  if (!request.has_body || request.length < (std::uint64_t{1} << 20))
    set(h, CURLOPT_TIMEOUT_MS, static_cast<long>(_config.request_timeout.count()));
  set(h, CURLOPT_WRITEFUNCTION, write_body);
  set(h, CURLOPT_WRITEDATA, &sink);
  set(h, CURLOPT_HEADERFUNCTION, read_header);
  set(h, CURLOPT_HEADERDATA, &response);

  std::string payload_hash = kEmptySha256;
  if (request.has_body)
    payload_hash = request.fd >= 0 ? "UNSIGNED-PAYLOAD" : sha256_hex(request.bytes);
  struct Headers {
    curl_slist *list = nullptr;
    Headers() = default;
    Headers(const Headers &) = delete;
    Headers &operator=(const Headers &) = delete;
    ~Headers() { curl_slist_free_all(list); }
    void add(const std::string &header) {
      curl_slist *next = curl_slist_append(list, header.c_str());
      if (!next)
        throw Error("libcurl could not add a header", -1);
      list = next;
    }
  } headers;
  headers.add("x-amz-content-sha256: " + payload_hash);
  // libcurl signs every header it is given, even "Expect:", which only removes its own: so
  // none is given, and a body waits for the server's 100 Continue (which also spares sending
  // one that a refusal would discard).
  if (!_config.session_token.empty())
    headers.add("x-amz-security-token: " + _config.session_token);
  for (const std::string &header : request.headers)
    headers.add(header);
  set(h, CURLOPT_HTTPHEADER, headers.list);

  if (request.method == "HEAD") {
    set(h, CURLOPT_NOBODY, 1L);
  } else if (request.method == "PUT") {
    set(h, CURLOPT_UPLOAD, 1L);
    set(h, CURLOPT_READFUNCTION, read_body);
    set(h, CURLOPT_READDATA, &request);
    set(h, CURLOPT_SEEKFUNCTION, seek_body);
    set(h, CURLOPT_SEEKDATA, &request);
    set(h, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(request.length));
  } else if (request.method == "POST") {
    set(h, CURLOPT_POST, 1L);
    set(h, CURLOPT_POSTFIELDS, request.bytes.data());
    set(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.bytes.size()));
  } else if (request.method != "GET") {
    set(h, CURLOPT_CUSTOMREQUEST, request.method.c_str());
  }

  if (std::getenv("HISTORIAN_S3_TRACE"))
    set(h, CURLOPT_VERBOSE, 1L);
  char error_text[CURL_ERROR_SIZE] = {};
  set(h, CURLOPT_ERRORBUFFER, error_text);
  _state->requests.fetch_add(1);
  const CURLcode code = curl_easy_perform(h);
  if (code != CURLE_OK) {
    const std::string detail = error_text[0] != '\0' ? error_text : curl_easy_strerror(code);
    throw Error(describe(request.method, _bucket, request.key) + ": no answer: " + detail,
                transient(code) ? 0 : -1);
  }
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &response.status);
  if (request.has_body)
    _state->bytes_sent.fetch_add(request.sent);
  return response;
}

Client::Response Client::perform(Request &request) {
  std::chrono::milliseconds backoff = _config.backoff;
  static thread_local std::minstd_rand jitter(std::random_device{}());
  for (int attempt = 1;; ++attempt) {
    std::string failure;
    bool retry = false;
    CURL *h = _state->take();
    try {
      Response response = perform_once(request, h);
      _state->give_back(h);
      h = nullptr;
      const long status = response.status;
      const bool accepted = (status >= 200 && status < 300) ||
                            std::find(request.accepted.begin(), request.accepted.end(), status) !=
                                request.accepted.end();
      // CompleteMultipartUpload and CopyObject may fail after a 200: the error is in the body.
      const bool error_in_body = status == 200 && request.method == "POST" &&
                                 response.body.find("<Error>") != std::string::npos;
      if (accepted && !error_in_body) {
        if (request.check_md5 && is_md5_hex(response.etag) && request.md5 &&
            response.etag != request.md5->hex_final()) {
          failure = describe(request.method, _bucket, request.key) +
                    ": the ETag the server gave does not match the MD5 of the bytes sent";
          retry = true;
        } else {
          return response;
        }
      } else {
        const std::string code = xml::first(response.body, "Code");
        const std::string message = xml::first(response.body, "Message");
        failure = describe(request.method, _bucket, request.key) + ": " + std::to_string(status);
        if (!code.empty())
          failure += " " + code;
        if (!message.empty())
          failure += ": " + message;
        retry = status >= 500 || status == 429 || status == 408 || error_in_body ||
                code == "RequestTimeout" || code == "SlowDown";
        if (!retry) {
          _state->failures.fetch_add(1);
          throw Error(failure, status);
        }
      }
    } catch (const Error &e) {
      if (h)
        _state->give_back(h);
      // A refused request (status above 0) was thrown on purpose; 0 is a transient failure.
      if (e.status() != 0) {
        if (e.status() < 0)
          _state->failures.fetch_add(1);
        throw;
      }
      failure = e.what();
      retry = true;
    }
    if (!retry || attempt >= _config.attempts) {
      _state->failures.fetch_add(1);
      throw Error(failure + " (after " + std::to_string(attempt) + " tries)", 0);
    }
    _state->retries.fetch_add(1);
    const auto spread = std::uniform_int_distribution<long>(0, backoff.count() / 2)(jitter);
    std::this_thread::sleep_for(backoff + std::chrono::milliseconds(spread));
    backoff = std::min<std::chrono::milliseconds>(backoff * 2, std::chrono::seconds(5));
  }
}

std::string Client::put_range(const std::string &key, const std::string &query, int fd,
                              std::uint64_t offset, std::uint64_t length) {
  Request r;
  r.method = "PUT";
  r.key = key;
  r.query = query;
  r.fd = fd;
  r.offset = offset;
  r.length = length;
  r.has_body = true;
  r.check_md5 = true;
  return perform(r).etag;
}

std::string Client::put(const std::string &key, std::string_view bytes) {
  Request r;
  r.method = "PUT";
  r.key = key;
  r.bytes = bytes;
  r.length = bytes.size();
  r.has_body = true;
  r.check_md5 = true;
  return perform(r).etag;
}

std::string Client::upload_file(const std::string &key, const std::string &path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    throw Error("cannot open " + path + " to upload it: " + std::strerror(errno), -1);
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat st {};
  if (::fstat(fd, &st) != 0)
    throw Error("cannot read " + path + ": " + std::strerror(errno), -1);
  const auto size = static_cast<std::uint64_t>(st.st_size);
  if (size <= _config.multipart_threshold)
    return put_range(key, "", fd, 0, size);

  // Multipart: begun, its parts sent one after another, then completed; aborted on failure so
  // that no upload is left behind.
  std::uint64_t part_size = std::max(_config.part_size, kMinPartSize);
  part_size = std::max(part_size, (size + kMaxParts - 1) / kMaxParts);
  Request begin;
  begin.method = "POST";
  begin.key = key;
  begin.query = canonical_query({{"uploads", ""}});
  begin.has_body = true;
  const std::string upload_id = xml::first(perform(begin).body, "UploadId");
  if (upload_id.empty())
    throw Error(describe("POST", _bucket, key) + ": the server gave no UploadId", -1);
  try {
    // The parts go up on several connections at once: one stream of bytes leaves the network
    // and the MD5 of each part idle while the server answers the last one.
    const std::size_t count = static_cast<std::size_t>((size + part_size - 1) / part_size);
    std::vector<std::string> etags(count);
    std::atomic<std::size_t> next{0};
    std::mutex failure_mutex;
    std::exception_ptr failure;
    auto send_parts = [&] {
      for (;;) {
        const std::size_t i = next.fetch_add(1);
        if (i >= count)
          return;
        {
          std::lock_guard lock(failure_mutex);
          if (failure)
            return;
        }
        try {
          const std::uint64_t offset = i * part_size;
          etags[i] = put_range(
              key,
              canonical_query({{"partNumber", std::to_string(i + 1)}, {"uploadId", upload_id}}), fd,
              offset, std::min(part_size, size - offset));
          if (_config.after_part)
            _config.after_part();
        } catch (...) {
          std::lock_guard lock(failure_mutex);
          if (!failure)
            failure = std::current_exception();
          return;
        }
      }
    };
    std::vector<std::thread> senders;
    const std::size_t width = std::min<std::size_t>(
        static_cast<std::size_t>(std::max(_config.upload_connections, 1)), count);
    for (std::size_t t = 1; t < width; ++t)
      senders.emplace_back(send_parts);
    send_parts();
    for (std::thread &sender : senders)
      sender.join();
    if (failure)
      std::rethrow_exception(failure);
    std::string complete = "<CompleteMultipartUpload>";
    for (std::size_t i = 0; i < count; ++i)
      complete += "<Part><PartNumber>" + std::to_string(i + 1) + "</PartNumber><ETag>\"" +
                  xml::escape(etags[i]) + "\"</ETag></Part>";
    complete += "</CompleteMultipartUpload>";
    Request finish;
    finish.method = "POST";
    finish.key = key;
    finish.query = canonical_query({{"uploadId", upload_id}});
    finish.bytes = complete;
    finish.length = complete.size();
    finish.has_body = true;
    Response done = perform(finish);
    std::string etag = xml::first(done.body, "ETag");
    if (etag.size() >= 2 && etag.front() == '"' && etag.back() == '"')
      etag = etag.substr(1, etag.size() - 2);
    // Confirmed by what the server now holds under the key.
    const std::optional<ObjectInfo> held = head(key);
    if (!held || held->size != size)
      throw Error(describe("PUT", _bucket, key) + ": the object holds " +
                      (held ? std::to_string(held->size) : std::string("nothing")) +
                      " bytes after the upload of " + std::to_string(size),
                  -1);
    return etag.empty() ? held->etag : etag;
  } catch (...) {
    try {
      abort_upload({key, upload_id});
    } catch (const Error &) {
      // Left for the next start, which aborts the uploads under its prefix.
    }
    throw;
  }
}

std::optional<ObjectInfo> Client::head(const std::string &key) {
  Request r;
  r.method = "HEAD";
  r.key = key;
  r.accepted = {404};
  Response response = perform(r);
  if (response.status == 404)
    return std::nullopt;
  return ObjectInfo{key, response.content_length, response.etag};
}

std::string Client::get(const std::string &key) {
  Request r;
  r.method = "GET";
  r.key = key;
  return perform(r).body;
}

std::string Client::get_range(const std::string &key, std::uint64_t offset, std::uint64_t length) {
  if (length == 0)
    return {};
  Request r;
  r.method = "GET";
  r.key = key;
  r.headers.push_back("Range: bytes=" + std::to_string(offset) + "-" +
                      std::to_string(offset + length - 1));
  std::string body = perform(r).body;
  if (body.size() != length)
    throw Error(describe("GET", _bucket, key) + ": asked for " + std::to_string(length) +
                    " bytes at " + std::to_string(offset) + ", got " + std::to_string(body.size()),
                -1);
  return body;
}

void Client::download(const std::string &key, const std::string &path) {
  const std::string temporary = path + ".download";
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0)
    throw Error("cannot create " + temporary + ": " + std::strerror(errno), -1);
  try {
    Request r;
    r.method = "GET";
    r.key = key;
    r.out_fd = fd;
    perform(r);
    if (::fsync(fd) != 0)
      throw Error("cannot write " + temporary + ": " + std::strerror(errno), -1);
  } catch (...) {
    ::close(fd);
    ::unlink(temporary.c_str());
    throw;
  }
  ::close(fd);
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    const int error = errno;
    ::unlink(temporary.c_str());
    throw Error("cannot rename " + temporary + ": " + std::strerror(error), -1);
  }
}

void Client::remove(const std::string &key) {
  Request r;
  r.method = "DELETE";
  r.key = key;
  r.accepted = {404};
  perform(r);
}

std::vector<ObjectInfo> Client::list(const std::string &prefix) {
  std::vector<ObjectInfo> objects;
  std::string token;
  for (;;) {
    std::vector<std::pair<std::string, std::string>> parameters = {{"list-type", "2"},
                                                                   {"prefix", prefix}};
    if (!token.empty())
      parameters.emplace_back("continuation-token", token);
    Request r;
    r.method = "GET";
    r.query = canonical_query(std::move(parameters));
    const std::string body = perform(r).body;
    for (const std::string_view entry : xml::all(body, "Contents")) {
      ObjectInfo o;
      o.key = xml::first(entry, "Key");
      o.size = std::strtoull(xml::first(entry, "Size").c_str(), nullptr, 10);
      o.etag = lower(xml::first(entry, "ETag"));
      if (o.etag.size() >= 2 && o.etag.front() == '"' && o.etag.back() == '"')
        o.etag = o.etag.substr(1, o.etag.size() - 2);
      o.last_modified = xml::first(entry, "LastModified");
      objects.push_back(std::move(o));
    }
    token = xml::first(body, "NextContinuationToken");
    if (xml::first(body, "IsTruncated") != "true" || token.empty())
      break;
  }
  return objects;
}

std::vector<MultipartUpload> Client::list_uploads(const std::string &prefix) {
  std::vector<MultipartUpload> uploads;
  std::string key_marker, id_marker;
  for (;;) {
    std::vector<std::pair<std::string, std::string>> parameters = {{"uploads", ""},
                                                                   {"prefix", prefix}};
    if (!key_marker.empty())
      parameters.emplace_back("key-marker", key_marker);
    if (!id_marker.empty())
      parameters.emplace_back("upload-id-marker", id_marker);
    Request r;
    r.method = "GET";
    r.query = canonical_query(std::move(parameters));
    const std::string body = perform(r).body;
    for (const std::string_view entry : xml::all(body, "Upload"))
      uploads.push_back({xml::first(entry, "Key"), xml::first(entry, "UploadId")});
    key_marker = xml::first(body, "NextKeyMarker");
    id_marker = xml::first(body, "NextUploadIdMarker");
    if (xml::first(body, "IsTruncated") != "true" || (key_marker.empty() && id_marker.empty()))
      break;
  }
  return uploads;
}

void Client::abort_upload(const MultipartUpload &upload) {
  Request r;
  r.method = "DELETE";
  r.key = upload.key;
  r.query = canonical_query({{"uploadId", upload.upload_id}});
  r.accepted = {404};
  perform(r);
}

} // namespace s3
