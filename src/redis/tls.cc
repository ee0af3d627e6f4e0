#include "redis/tls.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include <asio/error.hpp>
#include <asio/ip/address.hpp>
#include <asio/ssl.hpp>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

namespace redis {

namespace {

// The first error OpenSSL queued (the cause; later ones only say where it surfaced), and the
// queue emptied.
std::string openssl_reason() {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  const char *reason = code == 0 ? nullptr : ERR_reason_error_string(code);
  return reason != nullptr ? reason : "not in PEM format";
}

// Loads path with loader (an OpenSSL call that returns 1 on success); throws
// std::invalid_argument "TLS <what> '<path>' cannot be loaded: <why>".
template <typename Loader> void load(const char *what, const std::string &path, Loader loader) {
  const auto refuse = [&](const std::string &why) {
    return std::invalid_argument("TLS " + std::string(what) + " '" + path +
                                 "' cannot be loaded: " + why);
  };
  // OpenSSL would say "system lib" for a missing file; the C library names the cause.
  std::FILE *file = std::fopen(path.c_str(), "r");
  if (file == nullptr)
    throw refuse(std::strerror(errno));
  std::fclose(file);
  ERR_clear_error();
  if (loader(path.c_str()) != 1)
    throw refuse(openssl_reason());
}

} // namespace

std::shared_ptr<asio::ssl::context> make_tls_context(const TlsOptions &options) {
  auto context = std::make_shared<asio::ssl::context>(asio::ssl::context::tls_client);
  SSL_CTX *ctx = context->native_handle();
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  if (options.ca_file) {
    load("CA file", *options.ca_file,
         [ctx](const char *path) { return SSL_CTX_load_verify_locations(ctx, path, nullptr); });
  } else {
    SSL_CTX_set_default_verify_paths(ctx);
  }
  if (options.cert_file.has_value() != options.key_file.has_value()) {
    throw std::invalid_argument(
        "A TLS client certificate file and its key file go together: give both or neither");
  }
  if (options.cert_file) {
    load("certificate file", *options.cert_file,
         [ctx](const char *path) { return SSL_CTX_use_certificate_chain_file(ctx, path); });
    bool mismatch = false;
    load("key file", *options.key_file, [ctx, &mismatch](const char *path) {
      const int loaded = SSL_CTX_use_PrivateKey_file(ctx, path, SSL_FILETYPE_PEM);
      mismatch = loaded != 1 && ERR_GET_REASON(ERR_peek_error()) == X509_R_KEY_VALUES_MISMATCH;
      return mismatch ? 1 : loaded;
    });
    if (mismatch) {
      ERR_clear_error();
      throw std::invalid_argument("TLS key file '" + *options.key_file +
                                  "' does not belong to the certificate file '" +
                                  *options.cert_file + "'");
    }
  }
  SSL_CTX_set_verify(ctx, options.insecure ? SSL_VERIFY_NONE : SSL_VERIFY_PEER, nullptr);
  return context;
}

void expect_server(ssl_st *session, const std::string &host, bool insecure) {
  asio::error_code not_address;
  asio::ip::make_address(host, not_address);
  // Servers that hold several certificates choose by SNI, which names hosts only.
  if (not_address)
    SSL_set_tlsext_host_name(session, host.c_str());
  if (insecure)
    return;
  // OpenSSL's own checks, so that a mismatch is the verify result "hostname mismatch" or
  // "IP address mismatch" rather than an unexplained failure.
  X509_VERIFY_PARAM *param = SSL_get0_param(session);
  if (not_address) {
    X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    X509_VERIFY_PARAM_set1_host(param, host.c_str(), host.size());
  } else {
    X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str());
  }
}

std::string tls_error_text(const asio::error_code &ec) {
  if (ec.category() != asio::error::get_ssl_category())
    return ec == asio::error::eof || ec == asio::ssl::error::stream_truncated
               ? "Connection closed by the server"
               : ec.message();
  const int reason = ERR_GET_REASON(static_cast<unsigned long>(ec.value()));
  const char *text = ERR_reason_error_string(static_cast<unsigned long>(ec.value()));
  std::string said = text != nullptr ? text : ec.message();
  if (reason == SSL_R_TLSV13_ALERT_CERTIFICATE_REQUIRED ||
      reason == SSL_R_PEER_DID_NOT_RETURN_A_CERTIFICATE)
    return "the server requires a client certificate (" + said + ")";
  if (reason == SSL_R_WRONG_VERSION_NUMBER || reason == SSL_R_PACKET_LENGTH_TOO_LONG)
    return "the server does not speak TLS on this port (" + said + ")";
  return said;
}

std::string handshake_failure(ssl_st *session, const asio::error_code &ec) {
  const long verdict = SSL_get_verify_result(session);
  if (ec.category() == asio::error::get_ssl_category() && verdict != X509_V_OK)
    return "certificate verify failed (" + std::string(X509_verify_cert_error_string(verdict)) +
           ")";
  return tls_error_text(ec);
}

} // namespace redis
