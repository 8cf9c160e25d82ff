#pragma once
// A certificate authority of its own and a server certificate it issues for localhost and
// 127.0.0.1, made with OpenSSL at every start: clients trust the server by being given the CA file
// (ORBA_TLS_CA_FILE), with verification left on.

#include <string>

namespace devserver {

struct CertificateFiles {
  std::string caFile;    // the CA certificate (PEM): what clients trust
  std::string certFile;  // the server certificate followed by the CA certificate (PEM)
  std::string keyFile;   // the server's private key (PEM, readable by the owner only)
};

class CertificateMaker {
 public:
  // Writes ca.pem, server.pem and server-key.pem into `folder` (created when missing). Keys are
  // EC P-256; certificates are valid from an hour ago for 30 days.
  static bool Make(const std::string& folder, CertificateFiles* files, std::string* error);
};

}  // namespace devserver
