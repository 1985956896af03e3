#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

// A scripted POP3 peer on 127.0.0.1, on a port the system picks. It serves one
// connection per script, in order, each in the background:
//
//   FakePop3Server server({{
//       "S: +OK ready",
//       "C: USER taro",          // the client must send exactly this line (CR LF added)
//       "S: +OK",                // sent with CR LF appended
//       FakePop3Server::Raw(bigMessage),  // sent as it stands
//       FakePop3Server::kSilence,         // answer nothing more; keep the connection open
//   }});
//   setting.MAIL_SERVER = server.Address();   // "127.0.0.1:PORT"
//   ...
//   EXPECT_TRUE(server.ScriptMet()) << server.Failure();
//
// "X" (kClose) closes the connection. After the last entry of a script the fake reads
// until the client closes; any line it gets then is a failure. A mismatch ends that
// connection at once. Every wait is bounded (stepTimeoutMs), and the destructor stops
// everything, so a test never hangs on the fake.
class FakePop3Server {
public:
    using Script = std::vector<std::string>;

    static constexpr std::string_view kClose = "X";
    static constexpr std::string_view kSilence = "SILENT";
    // An entry that sends bytes as they stand, without CR LF appended.
    static std::string Raw(std::string_view bytes) { return "R: " + std::string(bytes); }

    explicit FakePop3Server(std::vector<Script> scripts, int stepTimeoutMs = 5000);
    FakePop3Server(const FakePop3Server&) = delete;
    FakePop3Server& operator=(const FakePop3Server&) = delete;
    ~FakePop3Server();

    int Port() const { return m_port; }
    // "127.0.0.1:PORT", as a setting's MAIL_SERVER.
    std::string Address() const;

    // Waits at most timeoutMs until the fake has got through every script (to its
    // end, to a mismatch, or to a silence in the last script). True when it has.
    bool WaitDone(int timeoutMs = 5000);
    // WaitDone, and no mismatch, no unexpected line, no failed send.
    bool ScriptMet(int timeoutMs = 5000);
    // The first thing that went against a script, described; empty when none.
    std::string Failure() const;
    // Every line the client sent, over all connections, without its CR LF.
    std::vector<std::string> Received() const;
    int Connections() const { return m_connections.load(); }

private:
    void Run();
    void RunScript(int fd, const Script& script);
    // Reads one line (up to LF) from fd. False on close, error, time-out or stop.
    bool ReadLine(int fd, std::string& pending, std::string& line, int timeoutMs);
    // Waits until fd is readable or the fake is stopped. False on stop or time-out
    // (timeoutMs < 0: no time-out).
    bool WaitReadable(int fd, int timeoutMs);
    void Fail(std::string what);
    void Record(std::string line);

    std::vector<Script> m_scripts;
    int m_stepTimeoutMs;
    int m_listenFd = -1;
    int m_wakeFd[2] = {-1, -1};
    int m_port = 0;
    std::atomic<int> m_connections{0};

    mutable std::mutex m_mutex;
    std::condition_variable m_doneChanged;
    bool m_done = false;
    std::string m_failure;
    std::vector<std::string> m_received;

    std::thread m_thread;
};
