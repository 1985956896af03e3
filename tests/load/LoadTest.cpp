// 10,000 requests from 8 clients at once against a running tallwynd, half of them
// over HTTPS: refused ones, list pages, mail pages, pages whose mail server is down,
// and clients that leave early. The server must answer every one as expected, end with as many open
// descriptors as it had at the start, and stay within its memory bound.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include "settings/Profile.h"
#include "settings/Setting.h"
#include "support/Loopback.h"
#include "support/TempDir.h"
#include "support/TestPki.h"

namespace {

constexpr int kRequests = 10000;
constexpr int kClients = 8;
// tallwynd's peak resident memory over the whole run.
constexpr long kMaxPeakKb = 32 * 1024;
// Every wait of the test is bounded by this.
constexpr int kWaitMs = 5000;
constexpr std::size_t kBigBodyBytes = 1 << 20;

// One line up to LF, read byte by byte (the peer's commands are short). False when the
// connection ends or stays silent.
bool ReadLine(int fd, std::string& line) {
    line.clear();
    char c;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, kWaitMs) <= 0 || ::recv(fd, &c, 1, 0) != 1) {
            return false;
        }
        line += c;
        if (c == '\n') {
            return true;
        }
    }
}

// Everything until the other side closes; nothing more once limit bytes have come.
std::string ReadToEnd(int fd, std::size_t limit = std::string::npos) {
    std::string bytes;
    char buffer[65536];
    while (bytes.size() < limit) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, kWaitMs) <= 0) {
            break;
        }
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            break;
        }
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
    return bytes;
}

// A POP3 server that answers whatever is asked of one fixed mailbox of three
// messages, the last a large one; tolerant of clients that stop anywhere. Serves as
// many sessions at once as the gateway has clients.
class Pop3Responder {
public:
    Pop3Responder() : m_listener(loopback::Listen(m_port, 64)) {
        ::fcntl(m_listener, F_SETFL, ::fcntl(m_listener, F_GETFL) | O_NONBLOCK);
        for (int i = 0; i < kClients; ++i) {
            m_threads.emplace_back([this] { Run(); });
        }
    }
    ~Pop3Responder() {
        m_stop = true;
        for (std::thread& thread : m_threads) {
            thread.join();
        }
        ::close(m_listener);
    }
    int Port() const { return m_port; }

    static std::string Message(int number) {
        std::string head = "Date: Wed, 1 May 2024 08:00:00 +0000\r\nSubject: ";
        switch (number) {
            case 1:
                // "こんにちは" (hello) in ISO-2022-JP, as a base64 encoded word
                return head + "=?ISO-2022-JP?B?GyRCJDMkcyRLJEEkTxsoQg==?=\r\n\r\nfirst text\r\n";
            case 2:
                return head + "second\r\n\r\nsecond text\r\n";
            default: {
                std::string body;
                while (body.size() < kBigBodyBytes) {
                    body += "a long line of the large message, sent chunk by chunk\r\n";
                }
                return head + "large\r\n\r\n" + body;
            }
        }
    }

private:
    void Run() {
        while (!m_stop) {
            pollfd p{m_listener, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) {
                continue;
            }
            const int fd = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                Serve(fd);
                ::close(fd);
            }
        }
    }

    void Serve(int fd) {
        if (!loopback::SendAll(fd, "+OK ready\r\n")) {
            return;
        }
        std::string line;
        while (ReadLine(fd, line)) {
            std::string answer = "+OK\r\n";
            if (line.starts_with("CAPA")) {
                answer = "-ERR unknown command\r\n";
            } else if (line.starts_with("STAT")) {
                answer = "+OK 3 1100000\r\n";
            } else if (line.starts_with("RETR") || line.starts_with("TOP")) {
                // TOP n 0 gets the whole message too, as from servers that ignore the
                // line count.
                const int number = std::atoi(line.c_str() + (line.starts_with("TOP") ? 4 : 5));
                answer = number >= 1 && number <= 3 ? "+OK\r\n" + Message(number) + ".\r\n"
                                                    : "-ERR no such message\r\n";
            }
            if (!loopback::SendAll(fd, answer) || line.starts_with("QUIT")) {
                return;
            }
        }
    }

    int m_port = 0;
    int m_listener;
    std::atomic<bool> m_stop{false};
    std::vector<std::thread> m_threads;
};

// tallwynd serving the given settings file on a port of 127.0.0.1 it picks itself.
// Its output goes to a file beside the settings, where it announces the port.
class Tallwynd {
public:
    // Serves HTTPS too, with the pair in certPath and keyPath.
    Tallwynd(const std::string& settingsPath, const std::string& certPath,
             const std::string& keyPath)
        : m_outPath(settingsPath + ".out") {
        const std::string& outPath = m_outPath;
        const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (out < 0) {
            return;
        }
        m_pid = ::fork();
        if (m_pid == 0) {
            ::dup2(out, STDOUT_FILENO);
            ::dup2(out, STDERR_FILENO);
            // Every client comes from 127.0.0.1, as behind a reverse proxy: the refused
            // requests must not shut the others out.
            ::execl(TALLWYND_PATH, TALLWYND_PATH, "--settings", settingsPath.c_str(), "--bind",
                    "127.0.0.1", "--port", "0", "--max-refusals", "0", "--https-port", "0",
                    "--tls-cert", certPath.c_str(), "--tls-key", keyPath.c_str(),
                    static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(out);
        // "tallwynd: serving http://127.0.0.1:PORT/...", then the same for https
        const std::string marker = "serving https://127.0.0.1:";
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
        while (m_pid > 0 && std::chrono::steady_clock::now() < deadline && Running()) {
            const std::string text = Output();
            const std::size_t at = text.find(marker);
            if (at != std::string::npos && text.find('\n', at) != std::string::npos) {
                m_httpsPort = std::atoi(text.c_str() + at + marker.size());
                m_port = std::atoi(text.c_str() + text.find("serving http://127.0.0.1:") + 25);
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    ~Tallwynd() {
        if (m_pid <= 0) {
            return;
        }
        ::kill(m_pid, SIGTERM);
        for (int i = 0; i < kWaitMs / 10; ++i) {
            if (::waitpid(m_pid, nullptr, WNOHANG) == m_pid) {
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
    }

    int Port() const { return m_port; }
    int HttpsPort() const { return m_httpsPort; }
    // Waits until the log holds a line for each of count connections. The line is
    // written after the connection is closed, and writing it may briefly open a file
    // (the character-set converter loads its module on first use).
    bool WaitForLogLines(int count) const {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
        for (;;) {
            const std::string text = Output();
            int lines = 0;
            for (std::size_t at = text.find(" client="); at != std::string::npos;
                 at = text.find(" client=", at + 1)) {
                ++lines;
            }
            if (lines >= count) {
                return true;
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    bool Running() const { return m_pid > 0 && ::waitpid(m_pid, nullptr, WNOHANG) == 0; }
    // The process's peak resident memory so far, in KiB (0 when unknown).
    long PeakMemoryKb() const {
        std::ifstream status("/proc/" + std::to_string(m_pid) + "/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.starts_with("VmHWM:")) {
                return std::atol(line.c_str() + 6);
            }
        }
        return 0;
    }
    std::string OpenDescriptors() const { return loopback::OpenDescriptorListing(m_pid); }

private:
    std::string Output() const { return ReadBytes(m_outPath); }

    std::string m_outPath;
    pid_t m_pid = -1;
    int m_port = 0;
    int m_httpsPort = 0;
};

// Where the requests go: the plain port, and the HTTPS one for every other batch.
struct Ports {
    int http = 0;
    int https = 0;
};

SSL_CTX* ClientContext() {
    // What is checked here is the server's bookkeeping, not its certificate.
    static SSL_CTX* const context = [] {
        SSL_CTX* made = SSL_CTX_new(TLS_client_method());
        SSL_CTX_set_verify(made, SSL_VERIFY_NONE, nullptr);
        return made;
    }();
    return context;
}

// One connection of a browser, plain or over TLS; every wait bounded by kWaitMs.
class Browser {
public:
    Browser(int port, bool tls) : m_fd(loopback::Connect(port)) {
        if (m_fd < 0 || !tls) {
            return;
        }
        const timeval bound{kWaitMs / 1000, 0};
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
        ::setsockopt(m_fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
        m_ssl = SSL_new(ClientContext());
        if (m_ssl == nullptr || SSL_set_fd(m_ssl, m_fd) != 1 || SSL_connect(m_ssl) != 1) {
            Drop();
        }
    }
    ~Browser() { Drop(); }
    Browser(const Browser&) = delete;
    Browser& operator=(const Browser&) = delete;

    bool Ok() const { return m_fd >= 0; }
    void Send(const std::string& bytes) {
        if (m_ssl == nullptr) {
            loopback::SendAll(m_fd, bytes);
        } else {
            SSL_write(m_ssl, bytes.data(), static_cast<int>(bytes.size()));
        }
    }
    // Everything until the other side closes; nothing more once limit bytes have come.
    std::string ReadAll(std::size_t limit = std::string::npos) {
        if (m_ssl == nullptr) {
            return ReadToEnd(m_fd, limit);
        }
        std::string bytes;
        char buffer[65536];
        int n;
        while (bytes.size() < limit && (n = SSL_read(m_ssl, buffer, sizeof buffer)) > 0) {
            bytes.append(buffer, static_cast<std::size_t>(n));
        }
        return bytes;
    }

private:
    void Drop() {
        SSL_free(m_ssl);
        m_ssl = nullptr;
        if (m_fd >= 0) {
            ::close(m_fd);
            m_fd = -1;
        }
    }

    int m_fd;
    SSL* m_ssl = nullptr;
};

// One whole request; the answer until the server closes.
std::string Fetch(int port, std::string_view path, bool tls = false) {
    Browser browser(port, tls);
    if (!browser.Ok()) {
        return "(no connection)";
    }
    browser.Send("GET " + std::string(path) + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    return browser.ReadAll();
}

// Ways a browser leaves before the answer is complete.
void LeaveEarly(int port, int way, bool tls) {
    // Plain text to the HTTPS port: the handshake fails at once.
    Browser browser(port, tls && way != 1);
    if (!browser.Ok()) {
        return;
    }
    switch (way) {
        case 0:  // connects (over TLS: shakes hands) and goes
            break;
        case 1:  // half a request line
            browser.Send("GET /001pw1top");
            break;
        case 2:  // the whole head of a large page, then gone after its first bytes
            browser.Send("GET /001pw1mail003 HTTP/1.1\r\n\r\n");
            browser.ReadAll(1);
            break;
    }
}

void SaveSetting(CProfile& profile, int number, const std::string& pass,
                 const std::string& server) {
    CSetting setting;
    setting.Load(profile, number);
    setting.ENABLE = true;
    setting.WEB_PASS = pass;
    setting.MAIL_SERVER = server;
    setting.MAIL_ACCOUNT = "alice";
    setting.MAIL_PASS = "secret";
    setting.MAIL_LIST_COUNT = 2;
    ASSERT_TRUE(setting.Save(profile));
}

// One request of the mix; false with what came back when it was not as expected.
bool MixedRequest(const Ports& ports, int i, std::string& answer) {
    const std::string footer = "<B>By Orrinwick</B></BODY></HTML>";
    const bool tls = i / 6 % 2 == 1;
    const int port = tls ? ports.https : ports.http;
    switch (i % 6) {
        case 0:
            answer = Fetch(port, "/001wrongtoplist", tls);
            return answer.empty();
        case 1:
            answer = Fetch(port, "/001pw1toplist", tls);
            return answer.ends_with(footer) && answer.find("mail002") != std::string::npos;
        case 2:
            answer = Fetch(port, "/001pw1mail002", tls);
            return answer.ends_with(footer) && answer.find("second text") != std::string::npos;
        case 3:
            answer = Fetch(port, "/002pw2mail001", tls);
            return answer.ends_with("<BODY>");
        default:
            LeaveEarly(port, i % 3, tls);
            return true;
    }
}

TEST(LoadTest, TenThousandRequestsFromEightClientsLeaveTheServerAsItWas) {
    Pop3Responder pop3;
    TempDir dir;
    CProfile profile(dir.Path() + "/tallwyn.stp");
    SaveSetting(profile, 1, "pw1", "127.0.0.1:" + std::to_string(pop3.Port()));
    // Setting 2's mail server is a port nobody listens on.
    SaveSetting(profile, 2, "pw2", "127.0.0.1:" + std::to_string(loopback::UnusedPort()));

    // A client that leaves mid-record must cost the test nothing.
    ::signal(SIGPIPE, SIG_IGN);
    const Credentials& pair = TestTrust().localhost;
    WriteBytes(dir.File("cert.pem"), pair.CertPem());
    WriteBytes(dir.File("key.pem"), pair.KeyPem());
    Tallwynd server(profile.Path(), dir.File("cert.pem"), dir.File("key.pem"));
    ASSERT_GT(server.Port(), 0) << "tallwynd did not announce its port";
    ASSERT_GT(server.HttpsPort(), 0) << "tallwynd did not announce its HTTPS port";
    const Ports ports{server.Port(), server.HttpsPort()};

    const std::string footer = "<B>By Orrinwick</B></BODY></HTML>";
    // One of every kind first, so that anything opened once for good is counted.
    ASSERT_TRUE(Fetch(server.Port(), "/001pw1toplist").ends_with(footer));
    ASSERT_TRUE(Fetch(server.Port(), "/002pw2toplist").ends_with("<BODY>"));
    ASSERT_TRUE(Fetch(ports.https, "/001pw1toplist", true).ends_with(footer));
    ASSERT_TRUE(server.WaitForLogLines(3));
    const std::string descriptors = server.OpenDescriptors();
    ASSERT_FALSE(descriptors.empty());

    std::atomic<int> failures{0};
    std::mutex reportMutex;
    std::vector<std::string> reports;
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c) {
        clients.emplace_back([&, c] {
            for (int i = c; i < kRequests && failures < 5; i += kClients) {
                std::string answer;
                if (!MixedRequest(ports, i, answer)) {
                    ++failures;
                    const std::lock_guard lock(reportMutex);
                    reports.push_back("request " + std::to_string(i) + " got " +
                                      std::to_string(answer.size()) +
                                      " bytes: " + answer.substr(0, 300));
                }
            }
        });
    }
    for (std::thread& client : clients) {
        client.join();
    }
    for (const std::string& report : reports) {
        ADD_FAILURE() << report;
    }

    EXPECT_TRUE(Fetch(server.Port(), "/001pw1mail001").ends_with(footer));
    // Every connection above, refused or left early, is logged once.
    EXPECT_TRUE(server.WaitForLogLines(3 + kRequests + 1));
    EXPECT_TRUE(server.Running());
    EXPECT_EQ(server.OpenDescriptors(), descriptors);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // A sanitizer's shadow memory would count against the bound.
    EXPECT_LT(server.PeakMemoryKb(), kMaxPeakKb);
#endif
    RecordProperty("peak_memory_kb", static_cast<int>(server.PeakMemoryKb()));
}

}  // namespace
