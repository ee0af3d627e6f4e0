#include "http/post_json.h"

#include <curl/curl.h>

#include <memory>
#include <mutex>
#include <string>

namespace http {

namespace {

// curl_global_init is not thread-safe in this libcurl: run it once, before any handle.
void init_once() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
      throw Error("libcurl initialization failed");
    }
  });
}

// The response body is not used; reading it keeps curl from printing it to stdout.
std::size_t discard(char *, std::size_t size, std::size_t count, void *) { return size * count; }

void check(CURLcode code, const char *what) {
  if (code != CURLE_OK)
    throw Error(std::string("libcurl ") + what + ": " + curl_easy_strerror(code));
}

} // namespace

long post_json(const std::string &url, const std::string &body, std::chrono::milliseconds timeout) {
  init_once();
  std::unique_ptr<CURL, void (*)(CURL *)> curl(curl_easy_init(), curl_easy_cleanup);
  if (!curl)
    throw Error("libcurl could not create a handle");
  // "Expect:" turns off the 100-continue wait that curl adds to larger bodies.
  curl_slist *raw_headers = curl_slist_append(nullptr, "Content-Type: application/json");
  raw_headers = curl_slist_append(raw_headers, "Expect:");
  std::unique_ptr<curl_slist, void (*)(curl_slist *)> headers(raw_headers, curl_slist_free_all);
  char error_text[CURL_ERROR_SIZE] = {};

  CURL *h = curl.get();
  check(curl_easy_setopt(h, CURLOPT_URL, url.c_str()), "URL");
  check(curl_easy_setopt(h, CURLOPT_POST, 1L), "POST");
  check(curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.data()), "body");
  check(curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size())),
        "body size");
  check(curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get()), "headers");
  check(curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(timeout.count())), "time-out");
  // Worker threads must not get curl's SIGALRM-based resolver time-outs.
  check(curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L), "no signals");
  check(curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, discard), "write function");
  check(curl_easy_setopt(h, CURLOPT_ERRORBUFFER, error_text), "error buffer");

  CURLcode code = curl_easy_perform(h);
  if (code != CURLE_OK) {
    std::string detail = error_text[0] != '\0' ? error_text : curl_easy_strerror(code);
    throw Error("POST " + url + " failed: " + detail);
  }
  long status = 0;
  check(curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status), "status");
  return status;
}

} // namespace http
