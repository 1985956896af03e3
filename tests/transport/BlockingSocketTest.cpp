#include "transport/BlockingSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/Loopback.h"
#include "tests/transport/TransportTestUtil.h"
#include "transport/MyException.h"

namespace {

using loopback::OpenDescriptorCount;
using transport_test::MixedLengthLines;
using transport_test::PatternedBytes;
using transport_test::ReceiveCode;
using transport_test::SendCode;

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kShortTimeoutMs = 200;
constexpr int kLongTimeoutMs = 5000;  // only for waits that should end at once

// Two connected stream ends: the object under test uses mine, the test plays the peer.
struct SocketPair {
    int mine = -1;
    int peer = -1;
    SocketPair() {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0) {
            mine = fds[0];
            peer = fds[1];
        }
    }
    ~SocketPair() {
        ClosePeer();
        if (mine >= 0) {
            close(mine);
        }
    }
    SocketPair(const SocketPair&) = delete;
    SocketPair& operator=(const SocketPair&) = delete;

    void PeerSends(const std::string& bytes) const {
        ASSERT_EQ(send(peer, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }
    void ClosePeer() {
        if (peer >= 0) {
            close(peer);
            peer = -1;
        }
    }
};

// A TCP listener on 127.0.0.1 at a port the system picks.
struct Listener {
    int port = 0;  // before fd: Listen sets it
    int fd = -1;
    explicit Listener(int backlog = 8) : fd(loopback::Listen(port, backlog)) {}
    ~Listener() {
        if (fd >= 0) {
            close(fd);
        }
    }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;
};

// --- Reading lines: the peer's bytes, then what each call gives ---------------------

struct Read {
    std::string line;  // what the buffer holds afterwards, up to its zero
    bool fails;        // raises ERR_RECEIVE instead of returning
};

struct LineCase {
    const char* name;
    std::string peerSends;
    bool peerCloses;
    int size;
    int terminator;
    std::vector<Read> reads;
};

void PrintTo(const LineCase& c, std::ostream* os) {
    *os << c.name;
}

class ReceiveLinesTest : public testing::TestWithParam<LineCase> {};

TEST_P(ReceiveLinesTest, GivesEachLineInTurn) {
    const LineCase& c = GetParam();
    SocketPair pair;
    pair.PeerSends(c.peerSends);
    if (c.peerCloses) {
        pair.ClosePeer();
    }
    CBlockingSocket socket(pair.mine);
    constexpr int kGuard = 16;
    for (const Read& expected : c.reads) {
        std::vector<char> buffer(static_cast<std::size_t>(c.size + kGuard), 'x');
        int n = -1;
        const int code =
            ReceiveCode(socket, buffer.data(), c.size, kShortTimeoutMs, c.terminator, &n);
        EXPECT_EQ(code, expected.fails ? ERR_RECEIVE : 0) << "reading " << expected.line;
        const std::size_t length = expected.line.size();
        ASSERT_LT(length, buffer.size());
        EXPECT_EQ(std::string(buffer.data(), length), expected.line);
        EXPECT_EQ(buffer[length], '\0');
        if (!expected.fails) {
            EXPECT_EQ(n, static_cast<int>(length));
        }
        // Only the bytes and one zero are written: the rest of the buffer and the guard
        // behind it keep what they held.
        for (std::size_t i = length + 1; i < buffer.size(); ++i) {
            ASSERT_EQ(buffer[i], 'x') << "byte " << i << " written";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Dialogues, ReceiveLinesTest,
    testing::Values(
        LineCase{"TwoRepliesInOnePacket",
                 "+OK 2 320\r\n+OK 120 octets\r\n",
                 false,
                 65536,
                 '\n',
                 {{"+OK 2 320\r\n", false}, {"+OK 120 octets\r\n", false}}},
        LineCase{"PeerSendsOkAndCloses", "+OK", true, 65536, '\n', {{"+OK", true}}},
        LineCase{"SilentPeerInTheMiddleOfALine", "+OK", false, 65536, '\n', {{"+OK", true}}},
        LineCase{"PeerClosesAfterAWholeLine",
                 "+OK\r\n",
                 true,
                 1024,
                 '\n',
                 {{"+OK\r\n", false}, {"", true}}},
        LineCase{"LineLongerThanTheBuffer",
                 "0123456789ABCDEF\n",
                 false,
                 8,
                 '\n',
                 {{"0123456", false}, {"789ABCD", false}, {"EF\n", false}}},
        LineCase{"LineThatJustFits",
                 "012345\nX\n",
                 false,
                 8,
                 '\n',
                 {{"012345\n", false}, {"X\n", false}}},
        LineCase{"EmptyLines",
                 "\r\n\n.\r\n",
                 false,
                 1024,
                 '\n',
                 {{"\r\n", false}, {"\n", false}, {".\r\n", false}}},
        LineCase{"OtherTerminator", "a;bc;", false, 16, ';', {{"a;", false}, {"bc;", false}}},
        LineCase{"NoRoomForAnyByte", "abc\n", false, 1, '\n', {{"", false}, {"", false}}}),
    [](const testing::TestParamInfo<LineCase>& info) { return std::string(info.param.name); });

TEST(ReceiveUntilTest, ManyLinesAcrossReadAheadRefills) {
    // Sent line by line, so that refills fall anywhere inside the lines.
    const std::vector<std::string> lines = MixedLengthLines(600);
    SocketPair pair;
    std::thread peer([&] {
        for (const std::string& line : lines) {
            pair.PeerSends(line);
        }
    });
    CBlockingSocket socket(pair.mine);
    std::vector<char> buffer(65536);
    for (const std::string& line : lines) {
        int n = 0;
        ASSERT_EQ(ReceiveCode(socket, buffer.data(), 65536, kLongTimeoutMs, '\n', &n), 0);
        ASSERT_EQ(std::string(buffer.data(), static_cast<std::size_t>(n)), line);
    }
    peer.join();
    EXPECT_FALSE(socket.HasBufferedLine());
}

TEST(ReceiveUntilTest, TheTimeOutBoundsEachWaitNotTheWholeLine) {
    SocketPair pair;
    std::thread peer([&] {
        for (char c : std::string("+OK 1\r\n")) {
            std::this_thread::sleep_for(60ms);
            pair.PeerSends(std::string(1, c));
        }
    });
    CBlockingSocket socket(pair.mine);
    char buffer[64];
    EXPECT_EQ(ReceiveCode(socket, buffer, sizeof buffer, 300), 0);
    EXPECT_STREQ(buffer, "+OK 1\r\n");
    peer.join();
}

TEST(ReceiveUntilTest, ADeadlineBoundsTheWholeLine) {
    SocketPair pair;
    std::atomic<bool> stop{false};
    std::thread peer([&] {
        while (!stop) {
            std::this_thread::sleep_for(60ms);
            pair.PeerSends("x");
        }
    });
    CBlockingSocket socket(pair.mine);
    socket.SetDeadline(Clock::now() + 200ms);
    char buffer[64];
    EXPECT_EQ(ReceiveCode(socket, buffer, sizeof buffer, 300), ERR_RECEIVE);
    EXPECT_EQ(socket.LastErrorDetail(), "deadline passed");
    stop = true;
    peer.join();
}

TEST(ReceiveUntilTest, SilentPeerFailsAfterTheTimeOut) {
    SocketPair pair;
    CBlockingSocket socket(pair.mine);
    char buffer[64];
    const auto start = Clock::now();
    EXPECT_EQ(ReceiveCode(socket, buffer, sizeof buffer, kShortTimeoutMs), ERR_RECEIVE);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(kShortTimeoutMs - 10));
    EXPECT_EQ(errno, ETIMEDOUT);
}

TEST(ReceiveUntilTest, WithoutAHandleGivesZerosAndNoFailure) {
    CBlockingSocket socket;
    char buffer[32];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(socket.ReceiveUntil(buffer, sizeof buffer, 0, kShortTimeoutMs, '\n'), 0);
    EXPECT_EQ(std::string(buffer, sizeof buffer), std::string(sizeof buffer, '\0'));
}

TEST(ReceiveUntilTest, HasBufferedLineTellsWhetherTheNextCallWaits) {
    SocketPair pair;
    pair.PeerSends("+OK\r\nbody line\r\npartial");
    CBlockingSocket socket(pair.mine);
    EXPECT_FALSE(socket.HasBufferedLine());  // nothing read from the connection yet
    char buffer[64];
    ASSERT_EQ(ReceiveCode(socket, buffer, sizeof buffer, kLongTimeoutMs), 0);
    EXPECT_TRUE(socket.HasBufferedLine());
    EXPECT_FALSE(socket.HasBufferedLine('#'));
    ASSERT_EQ(ReceiveCode(socket, buffer, sizeof buffer, kLongTimeoutMs), 0);
    EXPECT_STREQ(buffer, "body line\r\n");
    EXPECT_FALSE(socket.HasBufferedLine());  // only "partial" is left
}

// --- Sending ------------------------------------------------------------------------

TEST(SendBytesTest, LargeSendToASlowReaderArrivesWhole) {
    const std::string data = PatternedBytes(8 << 20);
    SocketPair pair;
    std::string received;
    std::thread reader([&] {
        std::vector<char> chunk(16384);
        while (received.size() < data.size()) {
            const ssize_t n = recv(pair.peer, chunk.data(), chunk.size(), 0);
            if (n <= 0) {
                break;
            }
            received.append(chunk.data(), static_cast<std::size_t>(n));
            std::this_thread::sleep_for(1ms);
        }
    });
    CBlockingSocket socket(pair.mine);
    EXPECT_EQ(SendCode(socket, data, 2000), 0);
    reader.join();
    EXPECT_TRUE(received == data) << "received " << received.size() << " bytes";
}

TEST(SendBytesTest, PeerThatClosedFailsWithoutSigpipe) {
    SocketPair pair;
    pair.ClosePeer();
    CBlockingSocket socket(pair.mine);
    // Without MSG_NOSIGNAL the test process would die here.
    EXPECT_EQ(SendCode(socket, "QUIT\r\n", kShortTimeoutMs), ERR_SEND);
    EXPECT_EQ(errno, EPIPE);
}

TEST(SendBytesTest, ReaderThatStallsFailsAfterTheTimeOut) {
    SocketPair pair;  // the peer never reads
    CBlockingSocket socket(pair.mine);
    EXPECT_EQ(SendCode(socket, std::string(8 << 20, 'm'), kShortTimeoutMs), ERR_SEND);
    EXPECT_EQ(errno, ETIMEDOUT);
}

TEST(SendBytesTest, EmptyTextSendsNothing) {
    SocketPair pair;
    CBlockingSocket socket(pair.mine);
    EXPECT_EQ(socket.Send("", 0, kShortTimeoutMs), 0);
    pair.PeerSends("x");  // the peer's side stays usable
}

TEST(BlockingSocketTest, WrappedHandleKeepsItsModeAndStaysOpen) {
    SocketPair pair;
    const int flagsBefore = fcntl(pair.mine, F_GETFL);
    {
        CBlockingSocket socket(pair.mine);
        pair.PeerSends("GET / HTTP/1.0\r\n");
        char buffer[1024];
        ASSERT_EQ(ReceiveCode(socket, buffer, sizeof buffer, kLongTimeoutMs), 0);
        EXPECT_EQ(SendCode(socket, "<HTML>", kLongTimeoutMs), 0);
    }
    EXPECT_EQ(fcntl(pair.mine, F_GETFL), flagsBefore);
    char echoed[6];
    EXPECT_EQ(recv(pair.peer, echoed, sizeof echoed, 0), 6);  // handle still open
}

// --- Connecting ---------------------------------------------------------------------

enum class PortKind { Listening, Closed, Given };

struct ConnectCase {
    const char* name;
    const char* host;
    PortKind portKind;
    int port;  // for PortKind::Given
    int result;
    const char* detail;  // what LastErrorDetail begins with
};

void PrintTo(const ConnectCase& c, std::ostream* os) {
    *os << c.name;
}

class ConnectTest : public testing::TestWithParam<ConnectCase> {};

TEST_P(ConnectTest, ReportsByItsReturnValue) {
    const ConnectCase& c = GetParam();
    Listener listening;
    const int closedPort = loopback::UnusedPort();
    ASSERT_GT(listening.port, 0);
    const int port = c.portKind == PortKind::Listening ? listening.port
                     : c.portKind == PortKind::Closed  ? closedPort
                                                       : c.port;
    const int descriptors = OpenDescriptorCount();
    CBlockingSocket socket;
    EXPECT_EQ(socket.Connect(c.host, port, kLongTimeoutMs), c.result);
    EXPECT_EQ(socket.LastErrorDetail().substr(0, std::strlen(c.detail)), c.detail)
        << socket.LastErrorDetail();
    if (c.result == 0) {
        EXPECT_GE(socket.m_hSocket, 0);
        EXPECT_EQ(socket.Close(), 0);
    } else {
        EXPECT_EQ(socket.m_hSocket, -1);
    }
    EXPECT_EQ(socket.Close(), 0);
    EXPECT_EQ(OpenDescriptorCount(), descriptors) << "a socket was left open";
}

INSTANTIATE_TEST_SUITE_P(
    Hosts, ConnectTest,
    testing::Values(
        ConnectCase{"EmptyHost", "", PortKind::Listening, 0, -2, "no host name"},
        ConnectCase{"NullHost", nullptr, PortKind::Listening, 0, -2, "no host name"},
        ConnectCase{"NameThatDoesNotResolve", "tallwyn-test.invalid", PortKind::Listening, 0, -3,
                    "host name not found: tallwyn-test.invalid"},
        ConnectCase{"NoListenerOnThePort", "127.0.0.1", PortKind::Closed, 0, -4,
                    "connection to 127.0.0.1:"},
        ConnectCase{"PortOutOfRange", "127.0.0.1", PortKind::Given, 70000, -4,
                    "port out of range: 70000"},
        ConnectCase{"Listening", "127.0.0.1", PortKind::Listening, 0, 0, ""},
        ConnectCase{"ZeroPaddedAddress", "127.000.000.001", PortKind::Listening, 0, 0, ""},
        ConnectCase{"Name", "localhost", PortKind::Listening, 0, 0, ""}),
    [](const testing::TestParamInfo<ConnectCase>& info) { return std::string(info.param.name); });

TEST(ConnectTest, ConnectedStreamCarriesADialogue) {
    Listener listener;
    CBlockingSocket socket;
    ASSERT_EQ(socket.Connect("127.0.0.1", listener.port, kLongTimeoutMs), 0);
    const int server = accept(listener.fd, nullptr, nullptr);
    ASSERT_GE(server, 0);
    EXPECT_EQ(fcntl(socket.m_hSocket, F_GETFL) & O_NONBLOCK, 0);
    ASSERT_EQ(send(server, "+OK ready\r\n", 11, MSG_NOSIGNAL), 11);
    char buffer[65536];
    ASSERT_EQ(ReceiveCode(socket, buffer, sizeof buffer, kLongTimeoutMs), 0);
    EXPECT_STREQ(buffer, "+OK ready\r\n");
    EXPECT_EQ(socket.Send("QUIT\r\n", 0, kLongTimeoutMs), 6);
    char command[7] = {};
    EXPECT_EQ(recv(server, command, 6, MSG_WAITALL), 6);
    EXPECT_STREQ(command, "QUIT\r\n");
    socket.Close();
    EXPECT_EQ(socket.m_hSocket, -1);
    close(server);
}

TEST(ConnectTest, AttemptIsBoundedByTheTimeOut) {
    // A listener whose queue is full drops further connection requests, so they hang.
    Listener listener(0);
    std::vector<CBlockingSocket> filling(4);
    int result = 0;
    std::string detail;
    for (CBlockingSocket& socket : filling) {
        result = socket.Connect("127.0.0.1", listener.port, kShortTimeoutMs);
        if (result != 0) {
            detail = socket.LastErrorDetail();
            break;
        }
    }
    EXPECT_EQ(result, -4);
    EXPECT_EQ(errno, ETIMEDOUT);
    EXPECT_EQ(detail, "connection to 127.0.0.1:" + std::to_string(listener.port) + " timed out");
    for (CBlockingSocket& socket : filling) {
        socket.Close();
    }
}

}  // namespace
