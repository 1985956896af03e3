#pragma once

#include <mutex>
#include <string>

struct ssl_ctx_st;
struct ssl_st;

// The certificate and key that the HTTPS side of the server shows, as one OpenSSL
// server context: TLS 1.2 and 1.3 only, the server's order of ciphers, no
// renegotiation. Load may be called again at any time (a renewed certificate):
// sessions begun before keep the pair they began with, every later one gets the new
// pair, and a pair that does not load leaves the one before in place. Safe to use
// from several threads at once.
class CTlsServerContext {
public:
    CTlsServerContext() = default;
    CTlsServerContext(const CTlsServerContext&) = delete;
    CTlsServerContext& operator=(const CTlsServerContext&) = delete;
    ~CTlsServerContext();

    // Reads certFile (PEM: the server's certificate, then the certificates that
    // chain it to a root, as certbot's fullchain.pem) and keyFile (a PEM private key
    // without a pass phrase). Returns an empty text on success, else what is wrong,
    // naming the file: missing or unreadable, not PEM, expired or not yet valid, or a
    // key that does not belong to the certificate.
    std::string Load(const std::string& certFile, const std::string& keyFile);
    bool Loaded() const;

    // A server session over the current pair; nullptr when none has loaded.
    ssl_st* NewSession() const;

private:
    mutable std::mutex m_mutex;
    ssl_ctx_st* m_context = nullptr;
};
