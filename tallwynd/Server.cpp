#include "tallwynd/Server.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace {

// The write end of the self-pipe through which a stop signal wakes the loop.
volatile sig_atomic_t g_wakeFd = -1;
volatile sig_atomic_t g_stopRequested = 0;

void OnStopSignal(int signalNumber) {
    if (g_stopRequested) {
        // Asked twice: do not wait for the request in progress.
        std::signal(signalNumber, SIG_DFL);
        std::raise(signalNumber);
        return;
    }
    g_stopRequested = 1;
    int savedErrno = errno;
    char byte = 0;
    if (g_wakeFd >= 0) {
        [[maybe_unused]] auto written = write(g_wakeFd, &byte, 1);
    }
    errno = savedErrno;
}

}  // namespace

// Routes SIGINT and SIGTERM into a self-pipe while it lives.
class CStopSignals {
public:
    CStopSignals() {
        if (pipe2(m_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
            m_pipe[0] = m_pipe[1] = -1;
            return;
        }
        g_stopRequested = 0;
        g_wakeFd = m_pipe[1];
        struct sigaction action {};
        action.sa_handler = OnStopSignal;
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, &m_oldInt);
        sigaction(SIGTERM, &action, &m_oldTerm);
    }
    ~CStopSignals() {
        if (m_pipe[0] < 0) {
            return;
        }
        sigaction(SIGINT, &m_oldInt, nullptr);
        sigaction(SIGTERM, &m_oldTerm, nullptr);
        g_wakeFd = -1;
        close(m_pipe[0]);
        close(m_pipe[1]);
    }
    CStopSignals(const CStopSignals&) = delete;
    CStopSignals& operator=(const CStopSignals&) = delete;

    bool Ok() const { return m_pipe[0] >= 0; }
    int ReadFd() const { return m_pipe[0]; }

private:
    int m_pipe[2];
    struct sigaction m_oldInt {};
    struct sigaction m_oldTerm {};
};

CServer::CServer(const CSettingTable& settings) : m_listener(settings) {}

CServer::~CServer() = default;

int CServer::Start(int port, const char* address) {
    int error = m_listener.Create(port, address);
    if (error == 0) {
        error = m_listener.Listen();
    }
    if (error == 0) {
        m_signals = std::make_unique<CStopSignals>();
        if (!m_signals->Ok()) {
            error = errno;
        }
    }
    if (error != 0) {
        m_signals.reset();
        m_listener.Close();
    }
    return error;
}

int CServer::Run() {
    if (!m_signals) {
        return EBADF;  // not started
    }
    int result = 0;
    while (!g_stopRequested) {
        pollfd fds[2] = {{m_listener.Handle(), POLLIN, 0}, {m_signals->ReadFd(), POLLIN, 0}};
        int ready = poll(fds, 2, -1);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            result = errno;
            break;
        }
        if (fds[1].revents != 0 || g_stopRequested) {
            break;
        }
        if (fds[0].revents & (POLLERR | POLLNVAL)) {
            result = EBADF;
            break;
        }
        if (fds[0].revents & POLLIN) {
            m_listener.OnAccept(0);
        }
    }
    m_listener.Close();
    m_signals.reset();
    return result;
}
