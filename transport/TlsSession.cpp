#include "transport/TlsSession.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "transport/Address.h"
#include "transport/TlsServerContext.h"

namespace {

struct ContextDeleter {
    void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
};

struct MethodDeleter {
    void operator()(BIO_METHOD* method) const { BIO_meth_free(method); }
};

// The client context every session shares. Made once, on first use, so that the trust
// store is read then (SSL_CERT_FILE / SSL_CERT_DIR) and not again for every page; a
// function-local static makes the first use safe from any thread. It is freed at exit
// before OpenSSL's own clean-up, which registered itself earlier.
SSL_CTX* MakeClientContext() {
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    if (context == nullptr) {
        return nullptr;
    }
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    // A missing store is not an error here: every verification then fails and says so.
    SSL_CTX_set_default_verify_paths(context);
    SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER |
                                  SSL_MODE_AUTO_RETRY);
    SSL_CTX_set_options(context, SSL_OP_NO_RENEGOTIATION);
    // Fewer system calls per record; the bytes it reads ahead are why HasPending exists.
    SSL_CTX_set_read_ahead(context, 1);
    return context;
}

SSL_CTX* ClientContext() {
    static const std::unique_ptr<SSL_CTX, ContextDeleter> context(MakeClientContext());
    return context.get();
}

// The socket BIO of OpenSSL writes with write(), which raises SIGPIPE on a closed
// peer and blocks on a blocking handle. This one goes through send and recv with
// MSG_NOSIGNAL and MSG_DONTWAIT, so the handle's own mode is never touched.
CTlsSession::BioState& StateOf(BIO* bio) {
    return *static_cast<CTlsSession::BioState*>(BIO_get_data(bio));
}

int BioWrite(BIO* bio, const char* data, int length) {
    BIO_clear_retry_flags(bio);
    CTlsSession::BioState& state = StateOf(bio);
    for (;;) {
        const ssize_t n =
            ::send(state.fd, data, static_cast<std::size_t>(length), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0) {
            return static_cast<int>(n);
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            BIO_set_retry_write(bio);
        }
        return -1;
    }
}

int BioRead(BIO* bio, char* buffer, int size) {
    BIO_clear_retry_flags(bio);
    CTlsSession::BioState& state = StateOf(bio);
    for (;;) {
        const ssize_t n = ::recv(state.fd, buffer, static_cast<std::size_t>(size), MSG_DONTWAIT);
        if (n > 0) {
            return static_cast<int>(n);
        }
        if (n == 0) {
            state.eof = true;
            errno = 0;
            return 0;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            BIO_set_retry_read(bio);
        }
        return -1;
    }
}

long BioCtrl(BIO* bio, int command, long, void*) {
    switch (command) {
        case BIO_CTRL_FLUSH:
            return 1;  // nothing is held back
        case BIO_CTRL_EOF:
            return StateOf(bio).eof ? 1 : 0;  // tells a closed peer from a failed read
        default:
            return 0;
    }
}

int BioCreate(BIO* bio) {
    BIO_set_init(bio, 1);
    return 1;
}

BIO_METHOD* MakeSocketMethod() {
    BIO_METHOD* method = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "tallwyn socket");
    if (method == nullptr) {
        return nullptr;
    }
    if (BIO_meth_set_write(method, BioWrite) != 1 || BIO_meth_set_read(method, BioRead) != 1 ||
        BIO_meth_set_ctrl(method, BioCtrl) != 1 || BIO_meth_set_create(method, BioCreate) != 1) {
        BIO_meth_free(method);
        return nullptr;
    }
    return method;
}

BIO_METHOD* SocketMethod() {
    static const std::unique_ptr<BIO_METHOD, MethodDeleter> method(MakeSocketMethod());
    return method.get();
}

// The reason of OpenSSL's first queued error, in its own words.
std::string QueuedReason() {
    const unsigned long error = ERR_peek_error();
    if (error == 0) {
        return "unknown error";
    }
    if (const char* reason = ERR_reason_error_string(error)) {
        return reason;
    }
    char text[256];
    ERR_error_string_n(error, text, sizeof text);
    return text;
}

}  // namespace

CTlsSession::~CTlsSession() {
    SSL_free(m_ssl);  // frees the BIO with it
}

bool CTlsSession::Begin(int fd, const char* serverName, std::string& detail) {
    ERR_clear_error();
    m_serverName = serverName == nullptr ? "" : serverName;
    // "pop.example.com." names the same host; neither SNI nor the check takes the dot.
    if (m_serverName.size() > 1 && m_serverName.back() == '.') {
        m_serverName.pop_back();
    }
    if (m_serverName.empty()) {
        detail = "no server name to verify the certificate against";
        return false;
    }
    if (SSL_CTX* context = ClientContext(); context != nullptr) {
        m_ssl = SSL_new(context);
    }
    if (!AttachSocket(fd, detail)) {
        return false;
    }

    bool named = false;
    if (const auto address = ParseNumericHost(m_serverName.c_str())) {
        // An address is checked against the certificate's IP entries; SNI takes no
        // addresses.
        named =
            X509_VERIFY_PARAM_set1_ip(SSL_get0_param(m_ssl), address->data(), address->size()) == 1;
    } else {
        SSL_set_hostflags(m_ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        named = SSL_set_tlsext_host_name(m_ssl, m_serverName.c_str()) == 1 &&
                SSL_set1_host(m_ssl, m_serverName.c_str()) == 1;
    }
    if (!named) {
        detail = "server name not usable for TLS: " + m_serverName;
        ERR_clear_error();
        return false;
    }
    SSL_set_connect_state(m_ssl);
    return true;
}

bool CTlsSession::BeginServer(int fd, const CTlsServerContext& context, std::string& detail) {
    ERR_clear_error();
    m_server = true;
    m_ssl = context.NewSession();
    if (!AttachSocket(fd, detail)) {
        return false;
    }
    SSL_set_accept_state(m_ssl);
    return true;
}

bool CTlsSession::AttachSocket(int fd, std::string& detail) {
    BIO_METHOD* method = SocketMethod();
    BIO* bio = nullptr;
    if (m_ssl == nullptr || method == nullptr || (bio = BIO_new(method)) == nullptr) {
        detail = "TLS is not available: " + QueuedReason();
        ERR_clear_error();
        return false;
    }
    m_bio = BioState{fd, false};
    BIO_set_data(bio, &m_bio);
    SSL_set_bio(m_ssl, bio, bio);  // the session owns the BIO from here
    return true;
}

CTlsSession::Io CTlsSession::Handshake(std::string& detail) {
    ERR_clear_error();
    const int ret = SSL_do_handshake(m_ssl);
    if (ret == 1) {
        m_established = true;
        return Io::Done;
    }
    return Result(ret, &detail);
}

CTlsSession::Io CTlsSession::Read(char* buffer, std::size_t size, std::size_t& got) {
    ERR_clear_error();
    std::size_t n = 0;
    const int ret = SSL_read_ex(m_ssl, buffer, size, &n);
    if (ret == 1) {
        got = n;
        return Io::Done;
    }
    return Result(ret, nullptr);
}

bool CTlsSession::HasPending() const {
    return m_ssl != nullptr && (SSL_pending(m_ssl) > 0 || SSL_has_pending(m_ssl) == 1);
}

CTlsSession::Io CTlsSession::Write(const char* data, std::size_t size, std::size_t& put) {
    ERR_clear_error();
    std::size_t n = 0;
    const int ret = SSL_write_ex(m_ssl, data, size, &n);
    if (ret == 1) {
        put = n;
        return Io::Done;
    }
    return Result(ret, nullptr);
}

void CTlsSession::Shutdown() {
    // After a fatal error OpenSSL forbids a shutdown; a peer that has gone gets none.
    if (m_ssl == nullptr || !m_established || !m_fault.empty()) {
        return;
    }
    ERR_clear_error();
    SSL_shutdown(m_ssl);  // one try: the notification goes out now or not at all
    ERR_clear_error();
}

// Turns a failed call's result into Io, and a failure into words: into m_fault (which
// also keeps Shutdown off a broken session) and, during the handshake, into *detail.
CTlsSession::Io CTlsSession::Result(int ret, std::string* detail) {
    const int savedErrno = errno;
    const int error = SSL_get_error(m_ssl, ret);
    if (error == SSL_ERROR_WANT_READ) {
        return Io::WantRead;
    }
    if (error == SSL_ERROR_WANT_WRITE) {
        return Io::WantWrite;
    }
    const bool handshaking = !m_established;
    const unsigned long queued = ERR_peek_error();
    const bool sslReason = ERR_GET_LIB(queued) == ERR_LIB_SSL;
    const bool closed =
        error == SSL_ERROR_ZERO_RETURN ||
        (error == SSL_ERROR_SYSCALL && queued == 0 && (m_bio.eof || savedErrno == 0)) ||
        (error == SSL_ERROR_SSL && sslReason &&
         ERR_GET_REASON(queued) == SSL_R_UNEXPECTED_EOF_WHILE_READING);
    const long verify = handshaking && !m_server ? SSL_get_verify_result(m_ssl) : X509_V_OK;

    std::string text;
    if (closed) {
        text = handshaking ? "connection closed during TLS handshake" : "TLS connection closed";
    } else if (verify == X509_V_ERR_HOSTNAME_MISMATCH) {
        text = "host name mismatch: the certificate is not for " + m_serverName;
    } else if (verify == X509_V_ERR_IP_ADDRESS_MISMATCH) {
        text = "address mismatch: the certificate is not for " + m_serverName;
    } else if (verify != X509_V_OK) {
        text = std::string("certificate verify failed: ") + X509_verify_cert_error_string(verify);
    } else {
        text = handshaking ? "TLS handshake failed: " : "TLS connection failed: ";
        text +=
            error == SSL_ERROR_SYSCALL && queued == 0 ? std::strerror(savedErrno) : QueuedReason();
        const int reason = sslReason ? ERR_GET_REASON(queued) : 0;
        if (handshaking && m_server && reason == SSL_R_HTTP_REQUEST) {
            text += " (plain HTTP on the HTTPS port)";
        } else if (handshaking && !m_server && reason == SSL_R_WRONG_VERSION_NUMBER) {
            text += " (the server does not speak TLS on this port)";
        }
    }
    ERR_clear_error();
    // A session that failed keeps failing, with vaguer reasons: the first one counts.
    if (m_fault.empty()) {
        m_fault = text;
    }
    if (detail != nullptr) {
        *detail = m_fault;
    }
    errno = closed ? 0 : error == SSL_ERROR_SYSCALL && queued == 0 ? savedErrno : EPROTO;
    return closed ? Io::Closed : Io::Failed;
}
