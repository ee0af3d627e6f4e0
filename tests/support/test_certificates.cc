#include "tests/support/test_certificates.h"

#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace support {

namespace {

// Runs a shell command line; throws with its output when it fails.
void run(const std::string &line, const TempDir &dir) {
  const std::string log = (dir / "openssl.log").string();
  const int status = std::system(("(" + line + ") >" + log + " 2>&1").c_str());
  if (status != 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::ifstream in(log);
    std::stringstream output;
    output << in.rdbuf();
    throw std::runtime_error("making test certificates failed: " + line + "\n" + output.str());
  }
}

// A P-256 key (quick to make) and a certificate request for it, in dir/name.key and .csr.
void request(const TempDir &dir, const std::string &name) {
  run("openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout " +
          (dir / (name + ".key")).string() + " -out " + (dir / (name + ".csr")).string() +
          " -subj /CN=" + name,
      dir);
}

// dir/name.ext holding the extensions of a certificate.
std::string extensions_file(const TempDir &dir, const std::string &name,
                            const std::string &extensions) {
  const std::string path = (dir / (name + ".ext")).string();
  std::ofstream(path) << extensions << "\n";
  return path;
}

std::string make_ca(const TempDir &dir, const std::string &name) {
  request(dir, name);
  const std::string cert = (dir / (name + ".pem")).string();
  run("openssl x509 -req -days 2 -in " + (dir / (name + ".csr")).string() + " -key " +
          (dir / (name + ".key")).string() + " -out " + cert + " -extfile " +
          extensions_file(dir, name,
                          "basicConstraints=critical,CA:TRUE\n"
                          "keyUsage=critical,keyCertSign,cRLSign"),
      dir);
  return cert;
}

// A certificate signed by the CA whose files are dir/ca_name.pem and .key, with extensions.
CertificateFiles make_signed(const TempDir &dir, const std::string &ca_name,
                             const std::string &name, const std::string &extensions, int serial) {
  request(dir, name);
  CertificateFiles out{(dir / (name + ".pem")).string(), (dir / (name + ".key")).string()};
  run("openssl x509 -req -days 2 -set_serial " + std::to_string(serial) + " -in " +
          (dir / (name + ".csr")).string() + " -CA " + (dir / (ca_name + ".pem")).string() +
          " -CAkey " + (dir / (ca_name + ".key")).string() + " -out " + out.cert + " -extfile " +
          extensions_file(dir, name, extensions),
      dir);
  return out;
}

} // namespace

TestCertificates::TestCertificates() {
  if (std::system("command -v openssl >/dev/null 2>&1") != 0) {
    throw std::runtime_error(
        "openssl is not on PATH; the TLS tests need it (scripts/install-deps.sh installs it)");
  }
  ca = make_ca(_dir, "ca");
  server = make_signed(_dir, "ca", "server", "subjectAltName=IP:127.0.0.1,DNS:localhost", 1);
  other_name_server = make_signed(_dir, "ca", "other-name", "subjectAltName=DNS:other.test", 2);
  client = make_signed(_dir, "ca", "client", "extendedKeyUsage=clientAuth", 3);
  other_ca = make_ca(_dir, "other-ca");
  other_ca_server =
      make_signed(_dir, "other-ca", "other-ca-server", "subjectAltName=IP:127.0.0.1", 1);
}

} // namespace support
