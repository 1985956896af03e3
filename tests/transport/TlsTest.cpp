#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/Loopback.h"
#include "support/TempDir.h"
#include "support/TestPki.h"
#include "support/TlsTestServer.h"
#include "tests/transport/TransportTestUtil.h"
#include "transport/BlockingSocket.h"
#include "transport/MyException.h"
#include "transport/TlsServerContext.h"

namespace {

using loopback::OpenDescriptorCount;
using transport_test::MixedLengthLines;
using transport_test::PatternedBytes;
using transport_test::ReceiveCode;
using transport_test::SendCode;

using Clock = std::chrono::steady_clock;

constexpr int kShortTimeoutMs = 300;
constexpr int kLongTimeoutMs = 5000;  // only for waits that should end at once

// Reads the client's hello, so that the server is known to be in the middle of the
// handshake and a close that follows is not a reset for unread bytes.
void ReadClientHello(int fd) {
    DrainClient(fd, 50);
}

// --- Lines: the same script over plain TCP and over TLS gives the same reads --------

enum class Ending { Silent, CloseNotify, Drop };

struct Read {
    std::string line;  // what the buffer holds afterwards, up to its zero
    bool fails;        // raises ERR_RECEIVE instead of returning
};

struct LineCase {
    const char* name;
    std::vector<std::string> writes;  // each one write (over TLS: its own records)
    Ending ending;
    int size;
    std::vector<Read> reads;
};

struct LineParam {
    LineCase c;
    bool tls;
};

void PrintTo(const LineParam& p, std::ostream* os) {
    *os << p.c.name << (p.tls ? " over TLS" : " plain");
}

class LinesTest : public testing::TestWithParam<LineParam> {};

TEST_P(LinesTest, GiveTheSameReadsAsPlain) {
    const LineCase& c = GetParam().c;
    const bool tls = GetParam().tls;
    const TestTrustStore& trust = TestTrust();
    std::promise<void> written;
    TestServer server([&](int fd) {
        std::optional<TlsPeer> peer;
        if (tls) {
            peer.emplace(fd, trust.localhost);
        }
        for (const std::string& bytes : c.writes) {
            if (peer) {
                peer->Send(bytes);
            } else {
                send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            }
        }
        if (c.ending == Ending::CloseNotify && peer) {
            peer->CloseNotify();
        }
        written.set_value();
        if (c.ending == Ending::Silent) {
            DrainClient(fd, kLongTimeoutMs);
        }
    });
    CBlockingSocket socket;
    if (!tls) {
        ASSERT_EQ(socket.Connect("localhost", server.Port(), kLongTimeoutMs), 0);
    } else {
        ASSERT_EQ(socket.Connect("localhost", server.Port(), kLongTimeoutMs, true), 0)
            << socket.LastErrorDetail();
    }
    // Everything is on its way before the first read, so a record that TLS has taken
    // in but not handed out yet is invisible to poll from here on.
    written.get_future().wait();
    for (const Read& expected : c.reads) {
        std::vector<char> buffer(static_cast<std::size_t>(c.size), 'x');
        int n = -1;
        EXPECT_EQ(ReceiveCode(socket, buffer.data(), c.size, kShortTimeoutMs, '\n', &n),
                  expected.fails ? ERR_RECEIVE : 0)
            << "reading " << expected.line << ": " << socket.LastErrorDetail();
        EXPECT_EQ(std::string(buffer.data()), expected.line);
        if (!expected.fails) {
            EXPECT_EQ(n, static_cast<int>(expected.line.size()));
        }
    }
    socket.Close();
}

const LineCase kLineCases[] = {
    {"TwoRepliesInOneWrite",
     {"+OK 2 320\r\n+OK 120 octets\r\n"},
     Ending::Silent,
     65536,
     {{"+OK 2 320\r\n", false}, {"+OK 120 octets\r\n", false}}},
    {"LineSplitOverWrites",
     {"+OK 2", " 320\r", "\n.", "\r\n"},
     Ending::Silent,
     65536,
     {{"+OK 2 320\r\n", false}, {".\r\n", false}}},
    {"WritesThatArrivedTogetherAreReadWithoutWaiting",
     {"a\r\n", "b\r\n", "c\r\n"},
     Ending::Silent,
     65536,
     {{"a\r\n", false}, {"b\r\n", false}, {"c\r\n", false}, {"", true}}},
    {"LineLongerThanTheBuffer",
     {"0123456789ABCDEF\n"},
     Ending::Silent,
     8,
     {{"0123456", false}, {"789ABCD", false}, {"EF\n", false}}},
    {"LongLineOverManyRecords",
     {std::string(70000, 'L') + "\r\n"},
     Ending::Silent,
     65536,
     {{std::string(65535, 'L'), false}, {std::string(4465, 'L') + "\r\n", false}}},
    {"EmptyLines",
     {"\r\n\n.\r\n"},
     Ending::Silent,
     1024,
     {{"\r\n", false}, {"\n", false}, {".\r\n", false}}},
    {"PeerClosesAfterAWholeLine",
     {"+OK\r\n"},
     Ending::CloseNotify,
     1024,
     {{"+OK\r\n", false}, {"", true}}},
    {"PeerClosesInTheMiddleOfALine", {"+OK"}, Ending::CloseNotify, 1024, {{"+OK", true}}},
    {"PeerDropsTheConnectionInTheMiddleOfALine", {"+OK"}, Ending::Drop, 1024, {{"+OK", true}}},
    {"SilentPeerInTheMiddleOfALine", {"+OK"}, Ending::Silent, 1024, {{"+OK", true}}},
};

std::vector<LineParam> LineParams() {
    std::vector<LineParam> params;
    for (const LineCase& c : kLineCases) {
        params.push_back({c, false});
        params.push_back({c, true});
    }
    return params;
}

INSTANTIATE_TEST_SUITE_P(Scripts, LinesTest, testing::ValuesIn(LineParams()),
                         [](const testing::TestParamInfo<LineParam>& info) {
                             return std::string(info.param.c.name) +
                                    (info.param.tls ? "_Tls" : "_Plain");
                         });

TEST(TlsStreamTest, DialogueBothWaysArrivesWholeAndEndsWithACloseNotification) {
    const TestTrustStore& trust = TestTrust();
    const std::vector<std::string> lines = MixedLengthLines(400);
    const std::string upload = PatternedBytes(4 << 20);
    std::string received;
    std::atomic<bool> notified{false};
    {
        TestServer server([&](int fd) {
            TlsPeer peer(fd, trust.localhost);
            for (const std::string& line : lines) {
                peer.Send(line);
            }
            notified = peer.ReadToEnd(received, true);
        });
        CBlockingSocket socket;
        ASSERT_EQ(socket.Connect("localhost", server.Port(), kLongTimeoutMs, true), 0)
            << socket.LastErrorDetail();
        EXPECT_TRUE(socket.IsTls());
        std::vector<char> buffer(65536);
        for (const std::string& line : lines) {
            int n = 0;
            ASSERT_EQ(ReceiveCode(socket, buffer.data(), 65536, kLongTimeoutMs, '\n', &n), 0);
            ASSERT_EQ(std::string(buffer.data(), static_cast<std::size_t>(n)), line);
        }
        EXPECT_EQ(SendCode(socket, upload, kLongTimeoutMs), 0) << socket.LastErrorDetail();
        socket.Close();
    }  // the server has read to the end here
    EXPECT_TRUE(received == upload) << "received " << received.size() << " bytes";
    EXPECT_TRUE(notified);
}

// --- Certificates: what is trusted and what is refused --------------------------------

enum class Cert { Trusted, UnknownCa, SelfSigned, OtherName, OtherAddress, Expired, NotYetValid };

struct TrustCase {
    const char* name;
    Cert cert;
    const char* host;  // what the client connects to and checks
    int result;
    const char* detail;  // what LastErrorDetail begins with
};

void PrintTo(const TrustCase& c, std::ostream* os) {
    *os << c.name;
}

Credentials MakeCredentials(const TestTrustStore& trust, Cert kind) {
    switch (kind) {
        case Cert::Trusted:
            break;
        case Cert::UnknownCa:
            return trust.stranger.Issue({{"localhost"}, {"127.0.0.1"}});
        case Cert::SelfSigned:
            return TestAuthority::SelfSigned({{"localhost"}, {"127.0.0.1"}});
        case Cert::OtherName:
            return trust.trusted.Issue({{"mail.tallwyn.test"}, {}});
        case Cert::OtherAddress:
            return trust.trusted.Issue({{"localhost"}, {"127.0.0.2"}});
        case Cert::Expired:
            return trust.trusted.Issue({{"localhost"}, {"127.0.0.1"}, -30, -1});
        case Cert::NotYetValid:
            return trust.trusted.Issue({{"localhost"}, {"127.0.0.1"}, 1, 30});
    }
    return trust.trusted.Issue({{"localhost"}, {"127.0.0.1"}});
}

class TrustTest : public testing::TestWithParam<TrustCase> {};

TEST_P(TrustTest, ConnectsOnlyToAVerifiedServerOfThatName) {
    const TrustCase& c = GetParam();
    const TestTrustStore& trust = TestTrust();
    const Credentials credentials = MakeCredentials(trust, c.cert);
    const int descriptors = OpenDescriptorCount();
    CBlockingSocket socket;
    {
        TestServer server([&](int fd) {
            TlsPeer peer(fd, credentials);
            if (peer.Ok()) {
                peer.Send("+OK ready\r\n");
                DrainClient(fd, kLongTimeoutMs);
            }
        });
        EXPECT_EQ(socket.Connect(c.host, server.Port(), kLongTimeoutMs, true), c.result);
        EXPECT_EQ(socket.LastErrorDetail().substr(0, std::strlen(c.detail)), c.detail)
            << socket.LastErrorDetail();
        if (c.result == 0) {
            char buffer[64];
            EXPECT_EQ(ReceiveCode(socket, buffer, sizeof buffer, kLongTimeoutMs), 0);
            EXPECT_STREQ(buffer, "+OK ready\r\n");
            socket.Close();
        }
        EXPECT_EQ(socket.m_hSocket, -1);
        EXPECT_FALSE(socket.IsTls());
    }
    EXPECT_EQ(OpenDescriptorCount(), descriptors) << "a socket was left open";
}

INSTANTIATE_TEST_SUITE_P(
    Certificates, TrustTest,
    testing::Values(TrustCase{"TrustedName", Cert::Trusted, "localhost", 0, ""},
                    TrustCase{"TrustedNameInCapitals", Cert::Trusted, "LocalHost", 0, ""},
                    TrustCase{"TrustedAddress", Cert::Trusted, "127.0.0.1", 0, ""},
                    TrustCase{"ZeroPaddedAddress", Cert::Trusted, "127.000.000.001", 0, ""},
                    TrustCase{"UnknownCa", Cert::UnknownCa, "localhost", -5,
                              "certificate verify failed: unable to get local issuer certificate"},
                    TrustCase{"SelfSigned", Cert::SelfSigned, "localhost", -5,
                              "certificate verify failed: self-signed certificate"},
                    TrustCase{"WrongHostName", Cert::OtherName, "localhost", -5,
                              "host name mismatch: the certificate is not for localhost"},
                    TrustCase{"WrongAddress", Cert::OtherAddress, "127.0.0.1", -5,
                              "address mismatch: the certificate is not for 127.0.0.1"},
                    TrustCase{"AddressNotCoveredByTheName", Cert::OtherName, "127.0.0.1", -5,
                              "address mismatch"},
                    TrustCase{"Expired", Cert::Expired, "localhost", -5,
                              "certificate verify failed: certificate has expired"},
                    TrustCase{"NotYetValid", Cert::NotYetValid, "localhost", -5,
                              "certificate verify failed: certificate is not yet valid"}),
    [](const testing::TestParamInfo<TrustCase>& info) { return std::string(info.param.name); });

TEST(TrustTest, PlainPop3ServerOnTheTlsPortIsToldApart) {
    TestTrust();
    TestServer server([](int fd) {
        send(fd, "+OK POP3 ready\r\n", 16, MSG_NOSIGNAL);
        DrainClient(fd, kLongTimeoutMs);
    });
    CBlockingSocket socket;
    EXPECT_EQ(socket.Connect("localhost", server.Port(), kLongTimeoutMs, true), -5);
    EXPECT_NE(socket.LastErrorDetail().find("does not speak TLS"), std::string::npos)
        << socket.LastErrorDetail();
}

// --- Servers that stop in the middle of the handshake -------------------------------

struct StopCase {
    const char* name;
    std::function<void(int fd, const Credentials&)> server;
    const char* detail;
    bool waitsForTheTimeOut;
};

void PrintTo(const StopCase& c, std::ostream* os) {
    *os << c.name;
}

class HandshakeStopTest : public testing::TestWithParam<StopCase> {};

TEST_P(HandshakeStopTest, FailsCleanlyWithinTheTimeOut) {
    const StopCase& c = GetParam();
    const TestTrustStore& trust = TestTrust();
    const int descriptors = OpenDescriptorCount();
    CBlockingSocket socket;
    Clock::duration elapsed{};
    {
        TestServer server([&](int fd) { c.server(fd, trust.localhost); });
        const auto start = Clock::now();
        EXPECT_EQ(socket.Connect("localhost", server.Port(), kShortTimeoutMs, true), -5);
        elapsed = Clock::now() - start;
    }
    EXPECT_EQ(socket.LastErrorDetail(), c.detail);
    if (c.waitsForTheTimeOut) {
        EXPECT_GE(elapsed, std::chrono::milliseconds(kShortTimeoutMs - 10));
    }
    EXPECT_LT(elapsed, std::chrono::milliseconds(kShortTimeoutMs + 1000));
    EXPECT_EQ(socket.m_hSocket, -1);
    EXPECT_EQ(OpenDescriptorCount(), descriptors) << "a socket was left open";
}

INSTANTIATE_TEST_SUITE_P(
    Servers, HandshakeStopTest,
    testing::Values(StopCase{"SilentAfterTheClientHello",
                             [](int fd, const Credentials&) {
                                 ReadClientHello(fd);
                                 DrainClient(fd, kLongTimeoutMs);
                             },
                             "TLS handshake timed out after 300 ms", true},
                    StopCase{"SilentHalfWayThroughItsAnswer",
                             [](int fd, const Credentials& credentials) {
                                 SendPartOfServerFlight(fd, credentials, 200);
                                 DrainClient(fd, kLongTimeoutMs);
                             },
                             "TLS handshake timed out after 300 ms", true},
                    StopCase{"ClosesAfterTheClientHello",
                             [](int fd, const Credentials&) { ReadClientHello(fd); },
                             "connection closed during TLS handshake", false},
                    StopCase{"ClosesHalfWayThroughItsAnswer",
                             [](int fd, const Credentials& credentials) {
                                 SendPartOfServerFlight(fd, credentials, 200);
                                 DrainClient(fd, 50);  // else unread bytes make it a reset
                             },
                             "connection closed during TLS handshake", false},
                    StopCase{"ResetsTheConnection",
                             [](int fd, const Credentials&) {
                                 ReadClientHello(fd);
                                 const linger reset{1, 0};
                                 setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
                             },
                             "TLS handshake failed: Connection reset by peer", false}),
    [](const testing::TestParamInfo<StopCase>& info) { return std::string(info.param.name); });

// --- Sending over TLS ----------------------------------------------------------------

TEST(TlsSendTest, ReaderThatStallsFailsAfterTheTimeOut) {
    const TestTrustStore& trust = TestTrust();
    std::promise<void> done;
    TestServer server([&](int fd) {
        TlsPeer peer(fd, trust.localhost);
        done.get_future().wait_for(std::chrono::milliseconds(kLongTimeoutMs));  // reads nothing
    });
    CBlockingSocket socket;
    ASSERT_EQ(socket.Connect("localhost", server.Port(), kLongTimeoutMs, true), 0);
    const auto start = Clock::now();
    EXPECT_EQ(SendCode(socket, std::string(32 << 20, 'm'), kShortTimeoutMs), ERR_SEND);
    EXPECT_EQ(errno, ETIMEDOUT);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(kLongTimeoutMs));
    EXPECT_EQ(socket.LastErrorDetail(), "send stalled: nothing taken for 300 ms");
    done.set_value();
    socket.Close();
}

TEST(TlsSendTest, PeerThatLeftFailsWithoutSigpipe) {
    const TestTrustStore& trust = TestTrust();
    std::promise<void> gone;
    TestServer server([&](int fd) {
        TlsPeer peer(fd, trust.localhost);
        const linger reset{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        // Close the connection (with a reset) while the number stays taken until the
        // server closes it as usual.
        const int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
        dup2(null, fd);
        close(null);
        gone.set_value();
    });
    CBlockingSocket socket;
    ASSERT_EQ(socket.Connect("localhost", server.Port(), kLongTimeoutMs, true), 0);
    gone.get_future().wait();
    int code = 0;
    for (int i = 0; i < 8 && code == 0; ++i) {
        code = SendCode(socket, std::string(65536, 'q'), kShortTimeoutMs);
    }
    EXPECT_EQ(code, ERR_SEND);
    EXPECT_FALSE(socket.LastErrorDetail().empty());
    socket.Close();  // no close notification to a peer that is gone, and no wait
}

// --- Many connections --------------------------------------------------------------

TEST(TlsStreamTest, ManyConnectionsLeaveNoDescriptorBehind) {
    const TestTrustStore& trust = TestTrust();
    constexpr int kConnections = 150;
    const Credentials nameOnly = trust.trusted.Issue({{"localhost"}, {}});
    const int descriptors = OpenDescriptorCount();
    {
        TestServer server(
            [&](int fd) {
                TlsPeer peer(fd, nameOnly);
                if (peer.Ok()) {
                    peer.Send("+OK\r\n");
                    std::string ignored;
                    peer.ReadToEnd(ignored);
                }
            },
            kConnections);
        for (int i = 0; i < kConnections; ++i) {
            // Every third one is refused: the certificate has no entry for the address.
            const bool refused = i % 3 == 2;
            CBlockingSocket socket;
            ASSERT_EQ(socket.Connect(refused ? "127.0.0.1" : "localhost", server.Port(),
                                     kLongTimeoutMs, true),
                      refused ? -5 : 0)
                << socket.LastErrorDetail();
            if (!refused) {
                char buffer[16];
                ASSERT_EQ(ReceiveCode(socket, buffer, sizeof buffer, kLongTimeoutMs), 0);
            }
            socket.Close();
        }
    }
    EXPECT_EQ(OpenDescriptorCount(), descriptors);
}

// --- The server's pair: what is refused at start, naming the file -----------------

struct PairCase {
    const char* name;
    // Writes cert.pem and key.pem (or leaves them out) into the directory.
    std::function<void(const TempDir&)> write;
    std::string problem;  // "" for a pair that loads; else a part of the message
};

class ServerPairTest : public testing::TestWithParam<PairCase> {};

TEST_P(ServerPairTest, LoadsOrSaysWhatIsWrongWithWhichFile) {
    const TempDir dir;
    GetParam().write(dir);
    CTlsServerContext context;
    const std::string problem = context.Load(dir.File("cert.pem"), dir.File("key.pem"));
    std::string expected = GetParam().problem;
    for (std::size_t at = expected.find("DIR/"); at != std::string::npos;
         at = expected.find("DIR/", at)) {
        expected.replace(at, 3, dir.Path());
    }
    if (expected.empty()) {
        EXPECT_EQ(problem, "");
    } else {
        EXPECT_NE(problem.find(expected), std::string::npos) << problem;
    }
    EXPECT_EQ(context.Loaded(), expected.empty());
}

ServerIdentity Localhost(int fromDays = -1, int toDays = 30) {
    return ServerIdentity{{"localhost"}, {"127.0.0.1"}, fromDays, toDays};
}

void WritePair(const TempDir& dir, const Credentials& cert, const Credentials& key,
               const std::string& chain = "") {
    WriteBytes(dir.File("cert.pem"), cert.CertPem() + chain);
    WriteBytes(dir.File("key.pem"), key.KeyPem());
}

INSTANTIATE_TEST_SUITE_P(
    Pairs, ServerPairTest,
    testing::Values(
        PairCase{"CertificateWithItsChain",
                 [](const TempDir& d) {
                     const Credentials c = TestTrust().trusted.Issue(Localhost());
                     WritePair(d, c, c, TestTrust().trusted.CertPem());
                 },
                 ""},
        PairCase{
            "MissingCertificate",
            [](const TempDir& d) { WriteBytes(d.File("key.pem"), TestTrust().localhost.KeyPem()); },
            "cannot read the certificate file DIR/cert.pem: No such file"},
        PairCase{"CertificateNotPem",
                 [](const TempDir& d) {
                     WriteBytes(d.File("cert.pem"), "not a certificate\n");
                     WriteBytes(d.File("key.pem"), TestTrust().localhost.KeyPem());
                 },
                 "DIR/cert.pem holds no PEM certificate"},
        PairCase{"BrokenSecondOfTheChain",
                 [](const TempDir& d) {
                     const Credentials& c = TestTrust().localhost;
                     WritePair(d, c, c,
                               "-----BEGIN CERTIFICATE-----\nAAAA\n-----END CERTIFICATE-----\n");
                 },
                 "DIR/cert.pem: certificate 2 of the chain is not valid PEM"},
        PairCase{"Expired",
                 [](const TempDir& d) {
                     const Credentials c = TestTrust().trusted.Issue(Localhost(-10, -1));
                     WritePair(d, c, c);
                 },
                 "the certificate in DIR/cert.pem expired on "},
        PairCase{"NotYetValid",
                 [](const TempDir& d) {
                     const Credentials c = TestTrust().trusted.Issue(Localhost(2, 30));
                     WritePair(d, c, c);
                 },
                 "the certificate in DIR/cert.pem is not valid before "},
        PairCase{"MissingKey",
                 [](const TempDir& d) {
                     WriteBytes(d.File("cert.pem"), TestTrust().localhost.CertPem());
                 },
                 "cannot read the key file DIR/key.pem: No such file"},
        PairCase{"KeyNotPem",
                 [](const TempDir& d) {
                     WriteBytes(d.File("cert.pem"), TestTrust().localhost.CertPem());
                     WriteBytes(d.File("key.pem"), TestTrust().localhost.CertPem());
                 },
                 "DIR/key.pem holds no PEM private key"},
        PairCase{"KeyOfAnotherCertificate",
                 [](const TempDir& d) {
                     WritePair(d, TestTrust().localhost, TestTrust().trusted.Issue(Localhost()));
                 },
                 "the key in DIR/key.pem does not belong to the certificate in DIR/cert.pem"}),
    [](const testing::TestParamInfo<PairCase>& info) { return std::string(info.param.name); });

TEST(ServerPairTest, PairThatFailsLeavesTheOneBeforeInUse) {
    const TempDir dir;
    CTlsServerContext context;
    WritePair(dir, TestTrust().localhost, TestTrust().localhost);
    ASSERT_EQ(context.Load(dir.File("cert.pem"), dir.File("key.pem")), "");
    WritePair(dir, TestTrust().localhost, TestTrust().trusted.Issue(Localhost()));
    EXPECT_NE(context.Load(dir.File("cert.pem"), dir.File("key.pem")), "");
    SSL* session = context.NewSession();
    ASSERT_NE(session, nullptr);
    EXPECT_EQ(X509_cmp(SSL_get_certificate(session), TestTrust().localhost.cert.get()), 0);
    SSL_free(session);
}

}  // namespace
