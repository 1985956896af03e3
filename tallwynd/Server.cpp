#include "tallwynd/Server.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>

namespace {

// The write end of the self-pipe through which a stop signal wakes the loop.
volatile sig_atomic_t g_wakeFd = -1;
volatile sig_atomic_t g_stopRequested = 0;
volatile sig_atomic_t g_reloadRequested = 0;

void WakeFromSignal() {
    int savedErrno = errno;
    char byte = 0;
    if (g_wakeFd >= 0) {
        [[maybe_unused]] auto written = write(g_wakeFd, &byte, 1);
    }
    errno = savedErrno;
}

void OnReloadSignal(int) {
    g_reloadRequested = 1;
    WakeFromSignal();
}

void OnStopSignal(int signalNumber) {
    if (g_stopRequested) {
        // Asked twice: do not wait for the request in progress.
        std::signal(signalNumber, SIG_DFL);
        std::raise(signalNumber);
        return;
    }
    g_stopRequested = 1;
    WakeFromSignal();
}

}  // namespace

// Routes SIGINT, SIGTERM and SIGHUP into a self-pipe while it lives.
class CStopSignals {
public:
    CStopSignals() {
        if (pipe2(m_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
            m_pipe[0] = m_pipe[1] = -1;
            return;
        }
        g_stopRequested = 0;
        g_reloadRequested = 0;
        g_wakeFd = m_pipe[1];
        struct sigaction action {};
        action.sa_handler = OnStopSignal;
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, &m_oldInt);
        sigaction(SIGTERM, &action, &m_oldTerm);
        action.sa_handler = OnReloadSignal;
        sigaction(SIGHUP, &action, &m_oldHup);
    }
    ~CStopSignals() {
        if (m_pipe[0] < 0) {
            return;
        }
        sigaction(SIGINT, &m_oldInt, nullptr);
        sigaction(SIGTERM, &m_oldTerm, nullptr);
        sigaction(SIGHUP, &m_oldHup, nullptr);
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
    struct sigaction m_oldHup {};
};

CServer::CServer(const CSettingTable& settings) : m_listener(settings) {}

CServer::~CServer() {
    for (int& fd : m_wakePipe) {
        if (fd >= 0) {
            close(fd);
            fd = -1;
        }
    }
}

int CServer::Start(int port, const char* address, int maxConnections, int httpsPort,
                   const CTlsServerContext* context) {
    m_maxConnections = std::max(1, maxConnections);
    const int backlog = std::max(kMinBacklog, m_maxConnections);
    m_failedOnHttps = false;
    int error = port == kNoPort ? 0 : m_listener.Create(port, address);
    if (error == 0 && port != kNoPort) {
        error = m_listener.Listen(backlog);
    }
    if (error == 0 && httpsPort != kNoPort) {
        m_failedOnHttps = true;
        error = context == nullptr ? EINVAL : m_listener.CreateHttps(httpsPort, address, *context);
        if (error == 0) {
            error = m_listener.ListenHttps(backlog);
        }
    }
    if (error == 0 && port == kNoPort && httpsPort == kNoPort) {
        error = EINVAL;
    }
    if (error == 0 && m_wakePipe[0] < 0 && pipe2(m_wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        m_wakePipe[0] = m_wakePipe[1] = -1;
        error = errno;
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
    {
        const std::lock_guard lock(m_mutex);
        m_stopping = false;
    }
    for (int i = 0; i < m_maxConnections; ++i) {
        m_workers.emplace_back([this] { Work(); });
    }
    int result = 0;
    while (!g_stopRequested) {
        bool workerFree;
        {
            const std::lock_guard lock(m_mutex);
            workerFree = m_idle > static_cast<int>(m_queue.size());
        }
        // With every worker busy the listener is not watched: new connections wait in
        // its backlog until a worker wakes the loop.
        const auto listening = static_cast<short>(workerFree ? POLLIN : 0);
        pollfd fds[4] = {{m_signals->ReadFd(), POLLIN, 0},
                         {m_wakePipe[0], POLLIN, 0},
                         {m_listener.Handle(), listening, 0},
                         {m_listener.HttpsHandle(), listening, 0}};
        int ready = poll(fds, 4, -1);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            result = errno;
            break;
        }
        if (g_stopRequested) {
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].revents & POLLIN) {
                char drained[64];
                while (read(fds[i].fd, drained, sizeof drained) > 0) {
                }
            }
        }
        if (g_reloadRequested) {
            // Requests in progress go on meanwhile: the workers do not wait for this.
            g_reloadRequested = 0;
            if (m_onReload) {
                m_onReload();
            }
        }
        if ((fds[2].revents | fds[3].revents) & (POLLERR | POLLNVAL)) {
            result = EBADF;
            break;
        }
        if (workerFree && ((fds[2].revents | fds[3].revents) & POLLIN)) {
            std::optional<CAcceptedConnection> plain, https;
            if (fds[2].revents & POLLIN) {
                plain = m_listener.Accept();
            }
            if (fds[3].revents & POLLIN) {
                https = m_listener.AcceptHttps();
            }
            {
                const std::lock_guard lock(m_mutex);
                for (const auto* connection : {&plain, &https}) {
                    if (*connection) {
                        m_queue.push_back(**connection);
                    }
                }
            }
            m_queued.notify_all();
        }
    }
    m_listener.Close();
    {
        const std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_queued.notify_all();
    for (std::thread& worker : m_workers) {
        worker.join();
    }
    m_workers.clear();
    m_signals.reset();
    return result;
}

void CServer::Work() {
    std::unique_lock lock(m_mutex);
    for (;;) {
        ++m_idle;
        WakeLoop();
        m_queued.wait(lock, [this] { return m_stopping || !m_queue.empty(); });
        --m_idle;
        if (m_queue.empty()) {
            return;  // stopping, and nothing accepted is left unserved
        }
        const CAcceptedConnection connection = m_queue.front();
        m_queue.pop_front();
        lock.unlock();
        m_listener.Serve(connection);
        lock.lock();
    }
}

void CServer::WakeLoop() {
    const char byte = 0;
    // A full pipe already wakes the loop.
    [[maybe_unused]] auto written = write(m_wakePipe[1], &byte, 1);
}
