#pragma once

// TLS for Redis connections: the client context made from TlsOptions, the server's name on a
// session, and a failed handshake told in one sentence. OpenSSL stays behind this header.

#include <memory>
#include <string>

#include <asio/error_code.hpp>

#include "redis/endpoint.h"

struct ssl_st;

namespace asio::ssl {
class context;
} // namespace asio::ssl

namespace redis {

// A client context: the trusted CAs (options.ca_file, else the system's default paths), our
// certificate and key when given, and peer verification unless options.insecure. Throws
// std::invalid_argument naming the file that cannot be loaded and why, or a certificate given
// without its key (or the reverse).
std::shared_ptr<asio::ssl::context> make_tls_context(const TlsOptions &options);

// Sets what a new session sends and checks for host: SNI when host is a name (not an IP
// address), and the certificate's name or IP address must match it unless insecure.
void expect_server(ssl_st *session, const std::string &host, bool insecure);

// A failure of an open TLS connection in words: OpenSSL's text, with the likely cause when it
// tells one ("the server requires a client certificate (...)"); a closed connection as such.
std::string tls_error_text(const asio::error_code &ec);

// Why a handshake over session failed, from its error: the certificate check's verdict when that
// was the cause ("certificate verify failed: unable to get local issuer certificate"), else
// OpenSSL's or the socket's text.
std::string handshake_failure(ssl_st *session, const asio::error_code &ec);

} // namespace redis
