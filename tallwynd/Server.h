#pragma once

#include <memory>

#include "gateway/ListenSocket.h"

// The headless server: one listener over the owner's settings table, served from a
// poll loop until SIGINT or SIGTERM. A stop signal that arrives while a request is
// being served takes effect when that request is done; a second one ends the
// process at once.
class CStopSignals;

class CServer {
public:
    explicit CServer(const CSettingTable& settings);
    ~CServer();
    CServer(const CServer&) = delete;
    CServer& operator=(const CServer&) = delete;

    // Creates the listener on port (0: any free one) and address (nullptr: all),
    // starts listening and takes over SIGINT and SIGTERM, so that a stop signal
    // from then on ends Run normally. Returns 0, or the errno of the failure.
    int Start(int port, const char* address);
    int Port() const { return m_listener.Port(); }
    CListenSocket& Listener() { return m_listener; }

    // Serves until a stop signal, then closes the listener. Returns 0, or the errno
    // of a failure of the loop itself.
    int Run();

private:
    CListenSocket m_listener;
    std::unique_ptr<CStopSignals> m_signals;
};
