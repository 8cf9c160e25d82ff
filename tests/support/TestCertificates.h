#pragma once
// Certificates made by the test itself with OpenSSL: a certificate authority (key and self-signed
// CA certificate, written as a PEM file into a temporary folder), server certificates issued by it
// for the names a test asks for, and self-signed server certificates that no CA vouches for.
//
//   testsupport::TestCertificates pki;
//   testsupport::TlsHttpServer server({pki.Issue()});                 // localhost and 127.0.0.1
//   ScopedEnvironment ca("ORBA_TLS_CA_FILE", pki.CaFile());
//   testsupport::TlsHttpServer other({pki.Issue({"DNS:other.example"})});
//   testsupport::TlsHttpServer lone({pki.SelfSigned()});
//
// Keys are EC P-256 (fast to make); certificates are valid from an hour ago for a day.

#include <memory>
#include <string>
#include <vector>

namespace testsupport {

// A certificate and its private key, both PEM.
struct TestCertificate {
  std::string certificatePem;
  std::string keyPem;
};

class TestCertificates {
 public:
  TestCertificates();
  ~TestCertificates();
  TestCertificates(const TestCertificates&) = delete;
  TestCertificates& operator=(const TestCertificates&) = delete;

  // The names a server certificate carries unless a test says otherwise.
  static std::vector<std::string> DefaultNames() { return {"DNS:localhost", "IP:127.0.0.1"}; }

  // A server certificate issued by the CA. `names` are subjectAltName entries ("DNS:host",
  // "IP:address"); the first DNS name is also the common name.
  TestCertificate Issue(const std::vector<std::string>& names = DefaultNames()) const;
  // A server certificate signed by its own key, for the same kind of names.
  TestCertificate SelfSigned(const std::vector<std::string>& names = DefaultNames()) const;

  const std::string& CaPem() const;
  // The CA certificate as a PEM file; removed with its folder at the end.
  const std::string& CaFile() const;

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace testsupport
