#pragma once
// The process-wide TLS state: library start-up and shut-down, the "norvik BIO" method through
// which a TLS connection object exchanges ciphertext with its connection, and the registry of
// named certificates.

#include <string>

typedef struct bio_method_st BIO_METHOD;
typedef struct x509_st X509;
typedef struct x509_store_st X509_STORE;

// At library start and end (the runtime root).
void TlsStartup();
void TlsShutdown();

// The BIO method of TLS connection objects (created by TlsStartup, or on first use). Each
// connection object acquires it before making its BIOs and releases it after freeing them: the
// method outlives TlsShutdown while connections waiting for deferred release still hold BIOs.
BIO_METHOD* TlsAcquireBioMethod();
void TlsReleaseBioMethod();

// The trusted certificates of `caFile` (empty: the system's store), loaded once and shared by the
// connection objects until TlsShutdown: parsing the system's bundle costs far more than a
// handshake. A new reference (X509_STORE_free it), or null when nothing could be loaded.
X509_STORE* TlsAcquireTrustStore(const std::string& caFile);

// Writes the line saying that certificates are not verified, once per library start.
void TlsNoteVerificationOff();

bool RegisterCertificate(const char* name, const char* pemText);
// Registers the certificates built into the library; this build has none.
void LoadBuiltInCertificates();
X509* FindCertificate(const char* name);
