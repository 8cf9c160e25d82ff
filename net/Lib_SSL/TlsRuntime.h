#pragma once
// The process-wide TLS state: library start-up and shut-down, the "norvik BIO" method through
// which a TLS connection object exchanges ciphertext with its connection, and the registry of
// named certificates.

#include <string>

typedef struct bio_method_st BIO_METHOD;
typedef struct x509_st X509;

// At library start and end (the runtime root).
void TlsStartup();
void TlsShutdown();

// The BIO method of TLS connection objects (created by TlsStartup, or on first use).
BIO_METHOD* TlsBioMethod();

bool RegisterCertificate(const char* name, const char* pemText);
// Registers the certificates built into the library; this build has none.
void LoadBuiltInCertificates();
X509* FindCertificate(const char* name);
