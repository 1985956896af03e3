#include "FakePop3Server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>

#include "Loopback.h"

namespace {

std::string WithoutLineEnd(std::string line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.pop_back();
    }
    return line;
}

}  // namespace

FakePop3Server::FakePop3Server(std::vector<Script> scripts, int stepTimeoutMs)
    : m_scripts(std::move(scripts)), m_stepTimeoutMs(stepTimeoutMs) {
    if (::pipe2(m_wakeFd, O_CLOEXEC) != 0) {
        throw std::runtime_error("FakePop3Server: pipe failed");
    }
    m_listenFd = loopback::Listen(m_port);
    if (m_listenFd < 0) {
        throw std::runtime_error("FakePop3Server: cannot listen on 127.0.0.1");
    }
    m_thread = std::thread([this] { Run(); });
}

FakePop3Server::~FakePop3Server() {
    const char stop = 's';
    [[maybe_unused]] const ssize_t n = ::write(m_wakeFd[1], &stop, 1);
    m_thread.join();
    ::close(m_listenFd);
    ::close(m_wakeFd[0]);
    ::close(m_wakeFd[1]);
}

std::string FakePop3Server::Address() const {
    return "127.0.0.1:" + std::to_string(m_port);
}

bool FakePop3Server::WaitDone(int timeoutMs) {
    std::unique_lock lock(m_mutex);
    return m_doneChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                  [this] { return m_done; });
}

bool FakePop3Server::ScriptMet(int timeoutMs) {
    const bool done = WaitDone(timeoutMs);
    std::lock_guard lock(m_mutex);
    if (!done && m_failure.empty()) {
        m_failure = "the script did not run to its end";
    }
    return done && m_failure.empty();
}

std::string FakePop3Server::Failure() const {
    std::lock_guard lock(m_mutex);
    return m_failure;
}

std::vector<std::string> FakePop3Server::Received() const {
    std::lock_guard lock(m_mutex);
    return m_received;
}

void FakePop3Server::Fail(std::string what) {
    std::lock_guard lock(m_mutex);
    if (m_failure.empty()) {
        m_failure = std::move(what);
    }
}

void FakePop3Server::Record(std::string line) {
    std::lock_guard lock(m_mutex);
    m_received.push_back(WithoutLineEnd(std::move(line)));
}

void FakePop3Server::Run() {
    for (const Script& script : m_scripts) {
        if (!WaitReadable(m_listenFd, -1)) {
            return;  // stopped before the client came
        }
        const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            Fail("accept failed");
            return;
        }
        ++m_connections;
        // Bounds every send, so a client that stops reading cannot hold the fake.
        timeval tv{m_stepTimeoutMs / 1000, (m_stepTimeoutMs % 1000) * 1000};
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        RunScript(fd, script);
        ::close(fd);
    }
    std::lock_guard lock(m_mutex);
    m_done = true;
    m_doneChanged.notify_all();
}

void FakePop3Server::RunScript(int fd, const Script& script) {
    std::string pending;
    std::string line;
    for (std::size_t i = 0; i < script.size(); ++i) {
        const std::string_view entry = script[i];
        const std::string where =
            "entry " + std::to_string(i + 1) + " (" + std::string(entry.substr(0, 60)) + ")";
        if (entry == kClose) {
            return;
        }
        if (entry == kSilence) {
            if (i + 1 == script.size() && &script == &m_scripts.back()) {
                std::lock_guard lock(m_mutex);
                m_done = true;
                m_doneChanged.notify_all();
            }
            // Answer nothing more; keep listening until the client gives up or the test
            // ends.
            while (ReadLine(fd, pending, line, -1)) {
                Record(line);
            }
            return;
        }
        if (entry.starts_with("C: ")) {
            const std::string expected = std::string(entry.substr(3)) + "\r\n";
            if (!ReadLine(fd, pending, line, m_stepTimeoutMs)) {
                Fail(where + ": the client sent nothing");
                return;
            }
            Record(line);
            if (line != expected) {
                Fail(where + ": the client sent '" + WithoutLineEnd(line) + "'");
                return;
            }
        } else if (entry.starts_with("S: ")) {
            if (!loopback::SendAll(fd, std::string(entry.substr(3)) + "\r\n")) {
                Fail(where + ": send failed");
                return;
            }
        } else if (entry.starts_with("R: ")) {
            if (!loopback::SendAll(fd, entry.substr(3))) {
                Fail(where + ": send failed");
                return;
            }
        } else {
            Fail(where + ": not a script entry");
            return;
        }
    }
    // The script is over: the client has nothing more to say but goodbye.
    while (ReadLine(fd, pending, line, m_stepTimeoutMs)) {
        Record(line);
        Fail("after the script the client sent '" + WithoutLineEnd(line) + "'");
    }
}

bool FakePop3Server::WaitReadable(int fd, int timeoutMs) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {m_wakeFd[0], POLLIN, 0}};
    for (;;) {
        const int n = ::poll(fds, 2, timeoutMs);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0 || (fds[1].revents & POLLIN) != 0) {
            return false;
        }
        return (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
    }
}

bool FakePop3Server::ReadLine(int fd, std::string& pending, std::string& line, int timeoutMs) {
    for (;;) {
        const std::size_t lf = pending.find('\n');
        if (lf != std::string::npos) {
            line = pending.substr(0, lf + 1);
            pending.erase(0, lf + 1);
            return true;
        }
        if (!WaitReadable(fd, timeoutMs)) {
            return false;
        }
        char buffer[4096];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            return false;
        }
        pending.append(buffer, static_cast<std::size_t>(n));
    }
}
