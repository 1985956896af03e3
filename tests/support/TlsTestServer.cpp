#include "support/TlsTestServer.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>

#include <csignal>
#include <thread>
#include <vector>

#include "support/Loopback.h"

namespace {

// Nothing in a test should hang on the server side either.
constexpr int kServerWaitSeconds = 5;

SSL_CTX* ServerContext(const Credentials& credentials) {
    SSL_CTX* context = SSL_CTX_new(TLS_server_method());
    if (context != nullptr && (SSL_CTX_use_certificate(context, credentials.cert.get()) != 1 ||
                               SSL_CTX_use_PrivateKey(context, credentials.key.get()) != 1)) {
        SSL_CTX_free(context);
        return nullptr;
    }
    return context;
}

// Also sends each write at once, as a real server's replies go out.
void BoundWaits(int fd) {
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    timeval bound{kServerWaitSeconds, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
}

}  // namespace

TestServer::TestServer(Handler handler, int connections) {
    m_listener = loopback::Listen(m_port, 16);
    if (m_listener < 0) {
        return;
    }
    m_thread = std::thread([this, handler = std::move(handler), connections] {
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
        for (int i = 0; i < connections; ++i) {
            const int fd = accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) {
                break;  // the listener was shut down
            }
            BoundWaits(fd);
            handler(fd);
            close(fd);
        }
        ERR_clear_error();
    });
}

TestServer::~TestServer() {
    if (m_listener >= 0) {
        shutdown(m_listener, SHUT_RDWR);  // wakes an accept that waits for no one
    }
    if (m_thread.joinable()) {
        m_thread.join();
    }
    if (m_listener >= 0) {
        close(m_listener);
    }
}

TlsPeer::TlsPeer(int fd, const Credentials& credentials) {
    m_context = ServerContext(credentials);
    if (m_context == nullptr || (m_ssl = SSL_new(m_context)) == nullptr) {
        return;
    }
    SSL_set_fd(m_ssl, fd);
    m_ok = SSL_accept(m_ssl) == 1;
}

TlsPeer::~TlsPeer() {
    SSL_free(m_ssl);
    SSL_CTX_free(m_context);
    ERR_clear_error();
}

bool TlsPeer::Send(const std::string& bytes) {
    std::size_t written = 0;
    return bytes.empty() || SSL_write_ex(m_ssl, bytes.data(), bytes.size(), &written) == 1;
}

bool TlsPeer::HasPending() const {
    return SSL_pending(m_ssl) > 0;
}

bool TlsPeer::ReadSome(std::string& received) {
    char chunk[16384];
    std::size_t n = 0;
    if (SSL_read_ex(m_ssl, chunk, sizeof chunk, &n) != 1) {
        return false;
    }
    received.append(chunk, n);
    return true;
}

bool TlsPeer::ReadToEnd(std::string& received, bool slowly) {
    std::vector<char> chunk(16384);
    for (;;) {
        std::size_t n = 0;
        if (SSL_read_ex(m_ssl, chunk.data(), slowly ? 4096 : chunk.size(), &n) != 1) {
            return SSL_get_error(m_ssl, 0) == SSL_ERROR_ZERO_RETURN;
        }
        received.append(chunk.data(), n);
        if (slowly) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }
}

void TlsPeer::CloseNotify() {
    SSL_shutdown(m_ssl);
}

bool SendPartOfServerFlight(int fd, const Credentials& credentials, long bytes) {
    SSL_CTX* context = ServerContext(credentials);
    SSL* ssl = context ? SSL_new(context) : nullptr;
    bool sent = false;
    if (ssl != nullptr) {
        // Read the client's hello from the socket; collect our answer in memory.
        BIO* in = BIO_new_socket(fd, BIO_NOCLOSE);
        BIO* out = BIO_new(BIO_s_mem());
        SSL_set_bio(ssl, in, out);
        SSL_set_accept_state(ssl);
        // Non-blocking, so that the handshake stops where it waits for the client's
        // next flight; by then its own flight is all in `out`.
        const int flags = fcntl(fd, F_GETFL);
        fcntl(fd, F_SETFL, flags | O_NONBLOCK);
        pollfd entry{fd, POLLIN, 0};
        while (SSL_do_handshake(ssl) != 1 && SSL_get_error(ssl, 0) == SSL_ERROR_WANT_READ &&
               BIO_ctrl_pending(out) == 0 && poll(&entry, 1, kServerWaitSeconds * 1000) > 0) {
        }
        fcntl(fd, F_SETFL, flags);
        char* data = nullptr;
        const long length = BIO_get_mem_data(out, &data);
        const long count = bytes < 0 || bytes > length ? length : bytes;
        sent = length > 0 && send(fd, data, static_cast<std::size_t>(count), MSG_NOSIGNAL) == count;
    }
    SSL_free(ssl);
    SSL_CTX_free(context);
    ERR_clear_error();
    return sent;
}

void DrainClient(int fd, int quietMs) {
    char scratch[4096];
    pollfd entry{fd, POLLIN, 0};
    while (poll(&entry, 1, quietMs) > 0) {
        if (recv(fd, scratch, sizeof scratch, 0) <= 0) {
            return;
        }
    }
}

void RelayTls(int fd, const Credentials& credentials, int backendPort) {
    TlsPeer front(fd, credentials);
    if (!front.Ok()) {
        return;
    }
    const int back = loopback::Connect(backendPort);
    if (back < 0) {
        return;
    }
    BoundWaits(back);
    std::vector<char> chunk(16384);
    for (;;) {
        // Records TLS holds already are invisible to poll: they go first.
        if (!front.HasPending()) {
            pollfd fds[2] = {{fd, POLLIN, 0}, {back, POLLIN, 0}};
            if (poll(fds, 2, kServerWaitSeconds * 1000) <= 0) {
                break;
            }
            if ((fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
                const ssize_t n = recv(back, chunk.data(), chunk.size(), 0);
                if (n <= 0 || !front.Send(std::string(chunk.data(), static_cast<std::size_t>(n)))) {
                    break;
                }
            }
            if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
                continue;
            }
        }
        std::string received;
        if (!front.ReadSome(received) || !loopback::SendAll(back, received)) {
            break;
        }
    }
    close(back);
}
