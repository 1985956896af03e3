#include "fuzz/PageServe.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "fuzz/FuzzCheck.h"
#include "gateway/ListenSocket.h"
#include "gateway/Pop3Dialogue.h"
#include "settings/Profile.h"
#include "transport/BlockingSocket.h"
#include "transport/MyException.h"

namespace fuzz {
namespace {

// Every wait of the request is bounded by this; none should ever run out.
constexpr int kTimeoutMs = 5000;
// A request that takes this long has waited for something.
constexpr auto kSlowRequest = std::chrono::milliseconds(3000);
// The peers give up after this long without progress.
constexpr int kPeerWaitMs = 5000;

int ListeningSocket() {
    static const int fd = [] {
        const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        FUZZ_CHECK(s >= 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        FUZZ_CHECK(::bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0);
        FUZZ_CHECK(::listen(s, 8) == 0);
        return s;
    }();
    return fd;
}

int Port() {
    sockaddr_in local{};
    socklen_t length = sizeof local;
    FUZZ_CHECK(::getsockname(ListeningSocket(), reinterpret_cast<sockaddr*>(&local), &length) == 0);
    return ntohs(local.sin_port);
}

// The mail server's side of one connection: sends stream while reading and dropping
// whatever comes, ends its sending side, and reads on until the client closes.
// Gives up without a connection once stop is readable.
void ServeMail(std::string_view stream, int stop) {
    pollfd waits[2] = {{ListeningSocket(), POLLIN, 0}, {stop, POLLIN, 0}};
    if (::poll(waits, 2, kPeerWaitMs) <= 0 || !(waits[0].revents & POLLIN)) {
        return;  // the client never connected
    }
    const int fd = ::accept4(ListeningSocket(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
        return;
    }
    bool sending = true;
    if (stream.empty()) {
        ::shutdown(fd, SHUT_WR);
        sending = false;
    }
    char sink[16384];
    for (;;) {
        pollfd p{fd, static_cast<short>(POLLIN | (sending ? POLLOUT : 0)), 0};
        if (::poll(&p, 1, kPeerWaitMs) <= 0) {
            break;
        }
        if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
            const ssize_t n = ::recv(fd, sink, sizeof sink, 0);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
                break;
            }
            // A real server answers each command, and its answer carries the ACK the
            // client's next command waits for (Nagle); this peer has answered ahead,
            // so it must acknowledge at once instead.
            const int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
        }
        if (sending && (p.revents & POLLOUT)) {
            const ssize_t n = ::send(fd, stream.data(), stream.size(), MSG_NOSIGNAL);
            if (n > 0) {
                stream.remove_prefix(static_cast<std::size_t>(n));
            } else if (errno != EAGAIN && errno != EINTR) {
                stream = {};
            }
            if (stream.empty()) {
                ::shutdown(fd, SHUT_WR);
                sending = false;
            }
        }
    }
    ::close(fd);
    // A login refused [IN-USE] is tried again on a new connection: it is closed at
    // once, as by a server gone away, until the request is over.
    for (;;) {
        if (::poll(waits, 2, kPeerWaitMs) <= 0 || !(waits[0].revents & POLLIN)) {
            return;
        }
        const int again = ::accept4(ListeningSocket(), nullptr, nullptr, SOCK_CLOEXEC);
        if (again >= 0) {
            ::close(again);
        }
    }
}

// The browser's side: everything until the server's side is closed.
std::string ReadAll(int fd) {
    std::string bytes;
    char buffer[16384];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, kPeerWaitMs) <= 0) {
            break;
        }
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n > 0) {
            bytes.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            break;
        }
    }
    return bytes;
}

// One long-lived thread that runs one job at a time: a thread started and ended for
// every input would cost more than the request itself.
class Worker {
public:
    Worker() : m_thread([this] { Loop(); }) {}
    ~Worker() {
        {
            std::lock_guard lock(m_mutex);
            m_quit = true;
        }
        m_changed.notify_all();
        m_thread.join();
    }
    void Start(std::function<void()> job) {
        {
            std::lock_guard lock(m_mutex);
            m_job = std::move(job);
        }
        m_changed.notify_all();
    }
    void Wait() {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [this] { return !m_job; });
    }

private:
    void Loop() {
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_changed.wait(lock, [this] { return m_quit || m_job; });
            if (m_quit) {
                return;
            }
            lock.unlock();
            m_job();
            lock.lock();
            m_job = nullptr;
            m_changed.notify_all();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::function<void()> m_job;
    bool m_quit = false;
    std::thread m_thread;
};

}  // namespace

std::string MailServerAddress() {
    return "127.0.0.1:" + std::to_string(Port());
}

std::string ServeRequest(const CSettingTable& settings, std::string_view requestLine,
                         std::string_view mailStream) {
    int pair[2];
    FUZZ_CHECK(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0);
    static Worker browser;
    static Worker mail;
    std::string received;
    browser.Start([&] { received = ReadAll(pair[1]); });
    // A request that never reaches the mail server leaves the peer waiting; stop
    // tells it. A connection made is already waiting to be accepted by then.
    const int stop = ::eventfd(0, EFD_CLOEXEC);
    FUZZ_CHECK(stop >= 0);
    mail.Start([&] { ServeMail(mailStream, stop); });

    const auto start = std::chrono::steady_clock::now();
    {
        CListenSocket listener(settings);
        listener.SetTimeout(kTimeoutMs);
        CBlockingSocket socket(pair[0]);
        try {
            const std::string line(requestLine);  // HandleRequest reads up to a zero
            listener.HandleRequest(line.c_str(), socket);
        } catch (const CMyException&) {
            // Sending the page head failed: the request is dropped, as in OnAccept.
        }
    }
    const auto elapsed = std::chrono::steady_clock::now() - start;
    ::close(pair[0]);
    browser.Wait();
    ::close(pair[1]);
    FUZZ_CHECK(::eventfd_write(stop, 1) == 0);
    mail.Wait();
    ::close(stop);
    FUZZ_CHECK(elapsed < kSlowRequest);
    return received;
}

std::string_view PageBody(std::string_view served) {
    constexpr std::string_view kBodyTag = "<BODY>";
    const std::size_t bodyAt = served.find(kBodyTag);
    FUZZ_CHECK(bodyAt != std::string_view::npos);
    std::string_view body = served.substr(bodyAt + kBodyTag.size());
    if (body.ends_with(CPop3Dialogue::kPageFooter)) {
        body.remove_suffix(CPop3Dialogue::kPageFooter.size());
    }
    return body;
}

void LoadDefaults(CSetting& setting, int number) {
    setting.Load(CProfile("/nonexistent/tallwyn-fuzz.stp"), number);
}

CSetting& ServedSetting(CSettingTable& settings) {
    CSetting& setting = settings[1];
    LoadDefaults(setting, 1);
    setting.ENABLE = true;
    setting.WEB_PASS = "secret";
    setting.MAIL_SERVER = MailServerAddress();
    return setting;
}

std::string ExpandLongLines(std::string_view text) {
    const std::size_t mark = text.find(kLongLineMark);
    if (mark == std::string_view::npos) {
        return std::string(text);
    }
    std::string out(text.substr(0, mark));
    for (std::size_t i = 0; i < kLongLineBytes; ++i) {
        out += static_cast<char>('0' + i % 10);
    }
    out += text.substr(mark + kLongLineMark.size());
    return out;
}

}  // namespace fuzz
