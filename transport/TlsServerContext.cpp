#include "transport/TlsServerContext.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace {

// What browsers of the last ten years speak, forward-secret and authenticated
// encryption only; TLS 1.3 has its own, all of them good.
constexpr const char* kTls12Ciphers =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
    "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305:"
    "DHE-RSA-AES128-GCM-SHA256:DHE-RSA-AES256-GCM-SHA384";

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
struct CertFree {
    void operator()(X509* cert) const { X509_free(cert); }
};
struct KeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct ContextFree {
    void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;
using Cert = std::unique_ptr<X509, CertFree>;
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
using Context = std::unique_ptr<SSL_CTX, ContextFree>;

// A key with a pass phrase is refused rather than asked for on a terminal that a
// service does not have.
int NoPassphrase(char*, int, int, void*) {
    return 0;
}

std::string TimeText(const ASN1_TIME* time) {
    BIO* memory = BIO_new(BIO_s_mem());
    if (memory == nullptr) {
        return "?";
    }
    std::string text = "?";
    if (ASN1_TIME_print(memory, time) == 1) {
        char* data = nullptr;
        const long length = BIO_get_mem_data(memory, &data);
        text.assign(data, static_cast<std::size_t>(length));
    }
    BIO_free(memory);
    return text;
}

// The certificate, then the rest of the chain, from a PEM file.
std::string ReadChain(const std::string& path, Cert& leaf, std::vector<Cert>& chain) {
    const File file(std::fopen(path.c_str(), "r"));
    if (!file) {
        return "cannot read the certificate file " + path + ": " + std::strerror(errno);
    }
    leaf.reset(PEM_read_X509(file.get(), nullptr, NoPassphrase, nullptr));
    if (!leaf) {
        return path + " holds no PEM certificate";
    }
    while (Cert next{PEM_read_X509(file.get(), nullptr, NoPassphrase, nullptr)}) {
        chain.push_back(std::move(next));
    }
    // The loop ends at the end of the file, or at a block that is not a certificate.
    const unsigned long error = ERR_peek_last_error();
    if (ERR_GET_LIB(error) != ERR_LIB_PEM || ERR_GET_REASON(error) != PEM_R_NO_START_LINE) {
        return path + ": certificate " + std::to_string(chain.size() + 2) +
               " of the chain is not valid PEM";
    }
    ERR_clear_error();
    if (X509_cmp_current_time(X509_get0_notAfter(leaf.get())) <= 0) {
        return "the certificate in " + path + " expired on " +
               TimeText(X509_get0_notAfter(leaf.get()));
    }
    if (X509_cmp_current_time(X509_get0_notBefore(leaf.get())) >= 0) {
        return "the certificate in " + path + " is not valid before " +
               TimeText(X509_get0_notBefore(leaf.get()));
    }
    return {};
}

std::string ReadKey(const std::string& path, Key& key) {
    const File file(std::fopen(path.c_str(), "r"));
    if (!file) {
        return "cannot read the key file " + path + ": " + std::strerror(errno);
    }
    key.reset(PEM_read_PrivateKey(file.get(), nullptr, NoPassphrase, nullptr));
    if (!key) {
        return path + " holds no PEM private key without a pass phrase";
    }
    return {};
}

Context MakeContext() {
    Context context(SSL_CTX_new(TLS_server_method()));
    if (!context) {
        return context;
    }
    SSL_CTX* ctx = context.get();
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_options(ctx, SSL_OP_CIPHER_SERVER_PREFERENCE | SSL_OP_NO_RENEGOTIATION);
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER |
                              SSL_MODE_AUTO_RETRY);
    SSL_CTX_set_read_ahead(ctx, 1);
    SSL_CTX_set_dh_auto(ctx, 1);
    if (SSL_CTX_set_cipher_list(ctx, kTls12Ciphers) != 1) {
        context.reset();
    }
    return context;
}

}  // namespace

CTlsServerContext::~CTlsServerContext() {
    SSL_CTX_free(m_context);
}

std::string CTlsServerContext::Load(const std::string& certFile, const std::string& keyFile) {
    ERR_clear_error();
    Cert leaf;
    std::vector<Cert> chain;
    Key key;
    std::string problem = ReadChain(certFile, leaf, chain);
    if (problem.empty()) {
        problem = ReadKey(keyFile, key);
    }
    Context context;
    if (problem.empty()) {
        context = MakeContext();
        if (!context || SSL_CTX_use_certificate(context.get(), leaf.get()) != 1) {
            problem = "TLS is not available for the certificate in " + certFile;
        }
    }
    for (std::size_t i = 0; problem.empty() && i < chain.size(); ++i) {
        if (SSL_CTX_add1_chain_cert(context.get(), chain[i].get()) != 1) {
            problem = certFile + ": certificate " + std::to_string(i + 2) +
                      " of the chain cannot be used";
        }
    }
    if (problem.empty() && (SSL_CTX_use_PrivateKey(context.get(), key.get()) != 1 ||
                            SSL_CTX_check_private_key(context.get()) != 1)) {
        problem = "the key in " + keyFile + " does not belong to the certificate in " + certFile;
    }
    ERR_clear_error();
    if (!problem.empty()) {
        return problem;
    }
    SSL_CTX* previous;
    {
        const std::lock_guard lock(m_mutex);
        previous = m_context;
        m_context = context.release();
    }
    // Sessions still running on the old pair hold references of their own.
    SSL_CTX_free(previous);
    return {};
}

bool CTlsServerContext::Loaded() const {
    const std::lock_guard lock(m_mutex);
    return m_context != nullptr;
}

ssl_st* CTlsServerContext::NewSession() const {
    const std::lock_guard lock(m_mutex);
    return m_context == nullptr ? nullptr : SSL_new(m_context);
}
