#pragma once

#include <string>

#include "tests/support/temp_dir.h"

namespace support {

// A certificate and its private key, PEM files.
struct CertificateFiles {
  std::string cert;
  std::string key;
};

// Certificates for TLS tests, made with the openssl command in a TempDir: a CA, and from it a
// server certificate for IP 127.0.0.1 and DNS localhost, one whose only name is other.test and
// a client certificate; and an unrelated CA with a server certificate for 127.0.0.1. Throws
// std::runtime_error with openssl's output when openssl is missing or a command fails.
class TestCertificates {
public:
  TestCertificates();

  std::string ca;
  CertificateFiles server;
  CertificateFiles other_name_server;
  CertificateFiles client;
  std::string other_ca;
  CertificateFiles other_ca_server;

private:
  TempDir _dir;
};

} // namespace support
