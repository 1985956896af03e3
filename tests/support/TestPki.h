#pragma once

#include <memory>
#include <string>
#include <vector>

#include <openssl/evp.h>
#include <openssl/x509.h>

#include "support/TempDir.h"

// Throwaway certificates for TLS tests, made in memory with OpenSSL (P-256 keys, so
// that making them costs next to nothing).

struct X509Deleter {
    void operator()(X509* cert) const { X509_free(cert); }
};
struct KeyDeleter {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using CertPtr = std::unique_ptr<X509, X509Deleter>;
using KeyPtr = std::unique_ptr<EVP_PKEY, KeyDeleter>;

// A certificate with its private key.
struct Credentials {
    CertPtr cert;
    KeyPtr key;

    std::string CertPem() const;
    std::string KeyPem() const;
};

// What a server certificate is made for.
struct ServerIdentity {
    std::vector<std::string> dnsNames;   // subjectAltName DNS entries
    std::vector<std::string> addresses;  // subjectAltName IP entries
    int validFromDays = -1;              // relative to now
    int validToDays = 30;
};

// A certificate authority that signs server certificates.
class TestAuthority {
public:
    explicit TestAuthority(const std::string& name);

    Credentials Issue(const ServerIdentity& identity) const;
    std::string CertPem() const { return m_ca.CertPem(); }

    // A server certificate signed by its own key, trusted by no one.
    static Credentials SelfSigned(const ServerIdentity& identity);

private:
    Credentials m_ca;
};

// What the test process trusts: one throwaway CA, and only it. The first call writes
// its certificate to a temporary directory and points SSL_CERT_FILE and SSL_CERT_DIR
// there; call it before the process makes its first TLS connection, since that is
// when the client reads them.
struct TestTrustStore {
    TestAuthority trusted{"Tallwyn test CA"};
    TestAuthority stranger{"Someone else's CA"};
    Credentials localhost;  // for localhost and 127.0.0.1, by the trusted CA
    TempDir dir;            // holds ca.pem

    TestTrustStore();
    TestTrustStore(const TestTrustStore&) = delete;
    TestTrustStore& operator=(const TestTrustStore&) = delete;
};

const TestTrustStore& TestTrust();
