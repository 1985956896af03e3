#include "TestPki.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include <stdlib.h>

#include <stdexcept>

namespace {

KeyPtr MakeKey() {
    KeyPtr key(EVP_EC_gen("P-256"));
    if (!key) {
        throw std::runtime_error("no key");
    }
    return key;
}

void AddExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str());
    if (extension == nullptr || X509_add_ext(cert, extension, -1) != 1) {
        X509_EXTENSION_free(extension);
        throw std::runtime_error("bad extension " + value);
    }
    X509_EXTENSION_free(extension);
}

// An unsigned certificate for key with commonName, issued by signer (by itself when
// signer is null).
CertPtr MakeCert(EVP_PKEY* key, const std::string& commonName, X509* signer, bool authority,
                 int validFromDays, int validToDays) {
    CertPtr cert(X509_new());
    X509_set_version(cert.get(), 2);
    unsigned char serial[16];
    RAND_bytes(serial, sizeof serial);
    serial[0] &= 0x7F;
    BIGNUM* number = BN_bin2bn(serial, sizeof serial, nullptr);
    BN_to_ASN1_INTEGER(number, X509_get_serialNumber(cert.get()));
    BN_free(number);
    constexpr long kDay = 24L * 60 * 60;
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), validFromDays * kDay);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), validToDays * kDay);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1,
                               0);
    X509_set_issuer_name(cert.get(), signer ? X509_get_subject_name(signer) : name);
    X509_set_pubkey(cert.get(), key);
    X509* issuer = signer ? signer : cert.get();
    if (authority) {
        AddExtension(cert.get(), issuer, NID_basic_constraints, "critical,CA:TRUE");
        AddExtension(cert.get(), issuer, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
        AddExtension(cert.get(), issuer, NID_basic_constraints, "critical,CA:FALSE");
        AddExtension(cert.get(), issuer, NID_ext_key_usage, "serverAuth");
    }
    AddExtension(cert.get(), issuer, NID_subject_key_identifier, "hash");
    if (signer != nullptr) {
        AddExtension(cert.get(), issuer, NID_authority_key_identifier, "keyid:always");
    }
    return cert;
}

void Sign(X509* cert, EVP_PKEY* key) {
    if (X509_sign(cert, key, EVP_sha256()) == 0) {
        throw std::runtime_error("signing failed");
    }
}

Credentials MakeServer(const ServerIdentity& identity, X509* signer, EVP_PKEY* signerKey) {
    Credentials server{nullptr, MakeKey()};
    const std::string commonName =
        identity.dnsNames.empty() ? "tallwyn test server" : identity.dnsNames.front();
    server.cert = MakeCert(server.key.get(), commonName, signer, false, identity.validFromDays,
                           identity.validToDays);
    std::string names;
    for (const std::string& dns : identity.dnsNames) {
        names += (names.empty() ? "DNS:" : ",DNS:") + dns;
    }
    for (const std::string& ip : identity.addresses) {
        names += (names.empty() ? "IP:" : ",IP:") + ip;
    }
    if (!names.empty()) {
        AddExtension(server.cert.get(), signer ? signer : server.cert.get(), NID_subject_alt_name,
                     names);
    }
    Sign(server.cert.get(), signerKey ? signerKey : server.key.get());
    return server;
}

template <typename Write>
std::string ToPem(Write write) {
    BIO* bio = BIO_new(BIO_s_mem());
    write(bio);
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio, &data);
    std::string pem(data, static_cast<std::size_t>(length));
    BIO_free(bio);
    return pem;
}

}  // namespace

std::string Credentials::CertPem() const {
    return ToPem([this](BIO* bio) { PEM_write_bio_X509(bio, cert.get()); });
}

std::string Credentials::KeyPem() const {
    return ToPem([this](BIO* bio) {
        PEM_write_bio_PrivateKey(bio, key.get(), nullptr, nullptr, 0, nullptr, nullptr);
    });
}

TestAuthority::TestAuthority(const std::string& name) : m_ca{nullptr, MakeKey()} {
    m_ca.cert = MakeCert(m_ca.key.get(), name, nullptr, true, -1, 30);
    Sign(m_ca.cert.get(), m_ca.key.get());
}

Credentials TestAuthority::Issue(const ServerIdentity& identity) const {
    return MakeServer(identity, m_ca.cert.get(), m_ca.key.get());
}

Credentials TestAuthority::SelfSigned(const ServerIdentity& identity) {
    return MakeServer(identity, nullptr, nullptr);
}

TestTrustStore::TestTrustStore() : localhost(trusted.Issue({{"localhost"}, {"127.0.0.1"}})) {
    if (dir.Path().empty()) {
        throw std::runtime_error("no temporary directory");
    }
    const std::string caFile = dir.File("ca.pem");
    WriteBytes(caFile, trusted.CertPem());
    setenv("SSL_CERT_FILE", caFile.c_str(), 1);
    setenv("SSL_CERT_DIR", dir.Path().c_str(), 1);
}

const TestTrustStore& TestTrust() {
    static const TestTrustStore trust;
    return trust;
}
