#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "gateway/ListenSocket.h"

// The headless server: one listener over the owner's settings table, served from a
// poll loop until SIGINT or SIGTERM. Connections are served side by side by a fixed
// set of workers, so that a slow or silent peer costs only its own request; while
// every worker is busy, new connections wait in the listen backlog. A stop signal
// ends the accepting at once and Run returns when the requests in progress are done
// (each is bounded); a second one ends the process at once. SIGHUP calls m_onReload
// on the loop's thread, while requests in progress go on.
class CStopSignals;

class CServer {
public:
    static constexpr int kDefaultMaxConnections = 32;
    // The listen backlog is at least this long, so that a burst of connections that
    // finds every worker busy waits instead of being turned away.
    static constexpr int kMinBacklog = 64;

    explicit CServer(const CSettingTable& settings);
    ~CServer();
    CServer(const CServer&) = delete;
    CServer& operator=(const CServer&) = delete;

    // A port that is not served.
    static constexpr int kNoPort = -1;

    // Creates the listener on port (0: any free one; kNoPort: no plain HTTP) and,
    // unless httpsPort is kNoPort, its HTTPS socket on httpsPort with context (which
    // must outlive the server), on address (nullptr: all); starts listening and takes
    // over SIGINT, SIGTERM and SIGHUP, so that a stop signal from then on ends Run
    // normally. maxConnections (at least 1) connections are served at once. Returns 0,
    // or the errno of the failure (on the HTTPS socket when FailedOnHttps).
    int Start(int port, const char* address, int maxConnections = kDefaultMaxConnections,
              int httpsPort = kNoPort, const CTlsServerContext* context = nullptr);
    int Port() const { return m_listener.Port(); }
    int HttpsPort() const { return m_listener.HttpsPort(); }
    bool FailedOnHttps() const { return m_failedOnHttps; }
    // Set up before Start; its m_onServed is called from the workers, several at once.
    CListenSocket& Listener() { return m_listener; }

    // Called on Run's thread for each SIGHUP.
    std::function<void()> m_onReload;

    // Serves until a stop signal, then closes the listener and waits for the requests
    // in progress. Returns 0, or the errno of a failure of the loop itself.
    int Run();

private:
    void Work();
    // Wakes the loop in Run, which then looks again whether a worker is free.
    void WakeLoop();

    CListenSocket m_listener;
    std::unique_ptr<CStopSignals> m_signals;
    int m_maxConnections = kDefaultMaxConnections;
    bool m_failedOnHttps = false;
    int m_wakePipe[2] = {-1, -1};

    std::mutex m_mutex;
    std::condition_variable m_queued;
    std::deque<CAcceptedConnection> m_queue;  // accepted, for the next free worker
    int m_idle = 0;                           // workers waiting for a connection
    bool m_stopping = false;
    std::vector<std::thread> m_workers;
};
