#include "platform/TlsSession.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include "platform/ClientSocket.h"
#include "platform/CodePage.h"
#include "platform/Error.h"
#include "platform/SystemError.h"
#include "platform/TlsError.h"
#include "support/FakeBroker.h"
#include "support/MosquittoBroker.h"
#include "support/TestPki.h"
#include "support/TlsTestServer.h"

namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;

struct TFd {
    int Fd = -1;
    explicit TFd(int fd = -1) : Fd(fd) {}
    ~TFd()
    {
        if (Fd >= 0)
            ::close(Fd);
    }
    TFd(TFd&& other) noexcept : Fd(std::exchange(other.Fd, -1)) {}
};

// A server with the certificate for localhost and 127.0.0.1.
TTlsTestServer::TOptions ServerOptions()
{
    TTlsTestServer::TOptions options;
    options.CertFile = TestCertificates().Server.CertFile;
    options.KeyFile = TestCertificates().Server.KeyFile;
    return options;
}

std::string RaisedBy(const std::function<void()>& action)
{
    try {
        action();
    } catch (const Exception& error) {
        return error.Message();
    }
    return "(nothing raised)";
}

// ---- the client side, used the way the client socket will use it ------------

TFd ConnectLoopback(int port, int sendBuffer = 0)
{
    TFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (sendBuffer > 0)
        ::setsockopt(fd.Fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (::connect(fd.Fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        throw std::runtime_error(std::string("connect: ") + std::strerror(errno));
    ::fcntl(fd.Fd, F_SETFL, ::fcntl(fd.Fd, F_GETFL) | O_NONBLOCK);
    return fd;
}

struct TClient {
    TFd Fd;
    std::unique_ptr<TTlsContext> Context;
    std::unique_ptr<TTlsSession> Session;
};

// Connects and runs the handshake; raises as "Open" would.
TClient Connect(int port, TTlsConfig config, const std::string& host = "localhost", int sendBuffer = 0,
                int timeoutMs = 5000)
{
    config.Enabled = true;
    TClient client{ConnectLoopback(port, sendBuffer), std::make_unique<TTlsContext>(config), nullptr};
    client.Session = std::make_unique<TTlsSession>(*client.Context, client.Fd.Fd, host, port);
    client.Session->Handshake(timeoutMs);
    return client;
}

TTlsConfig TrustingTestCa()
{
    TTlsConfig config;
    config.CaFile = TestCertificates().Pki.CaFile();
    return config;
}

// The reader thread's pattern: wait for the descriptor only when the session
// holds nothing, then read. A wait that times out means a lost wake-up.
// Returns the bytes read until count or the end of the stream.
std::vector<uint8_t> ReadAsTheReaderDoes(TTlsSession& session, int fd, size_t count, size_t readSize = 2000,
                                         int waitMs = 10000)
{
    std::vector<uint8_t> got;
    std::vector<uint8_t> buffer(readSize);
    short wait = POLLIN;
    while (got.size() < count) {
        if (wait != 0 && !session.HasBufferedData()) {
            pollfd entry{fd, wait, 0};
            if (::poll(&entry, 1, waitMs) == 0) {
                ADD_FAILURE() << "no wake-up after " << got.size() << " of " << count << " bytes";
                break;
            }
        }
        int n = session.Read(buffer.data(), static_cast<int>(std::min(readSize, count - got.size())), wait);
        got.insert(got.end(), buffer.begin(), buffer.begin() + n);
        if (n == 0 && wait == 0)
            break;   // the end of the stream
        if (n > 0)
            wait = POLLIN;
    }
    return got;
}

struct TWriteStats {
    int WouldBlock = 0;   // writes that moved nothing
    int Partial = 0;      // writes that took less than offered
};

// The writers' pattern: write what goes, wait for what the session asks.
// false when a wait timed out (the piece in hand was not written).
bool WriteAsTheWriterDoes(TTlsSession& session, int fd, const uint8_t* data, size_t size,
                          const std::vector<int>& pieces, TWriteStats& stats, int waitMs = 10000)
{
    size_t sent = 0;
    for (size_t i = 0; sent < size; ++i) {
        const int piece = static_cast<int>(std::min(static_cast<size_t>(pieces[i % pieces.size()]), size - sent));
        int done = 0;
        while (done < piece) {
            short wait = 0;
            int n = session.Write(data + sent + done, piece - done, wait);
            if (n > 0) {
                stats.Partial += n < piece - done;
                done += n;
                continue;
            }
            ++stats.WouldBlock;
            pollfd entry{fd, wait, 0};
            if (::poll(&entry, 1, waitMs) == 0)
                return false;
        }
        sent += static_cast<size_t>(piece);
    }
    return true;
}

uint8_t PatternByte(size_t i) { return static_cast<uint8_t>(i * 131 + (i >> 13)); }

std::vector<uint8_t> Pattern(size_t size, size_t from = 0)
{
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = PatternByte(from + i);
    return bytes;
}

// ---- the handshake ---------------------------------------------------------

TEST(TlsHandshake, AuthenticatesTheBrokerOrSaysWhyNot)
{
    enum TTrust { TestCa, SystemStore, OtherCa };
    struct TCase {
        const char* Name;
        const TTestPki::TIdentity* Identity;
        TTrust Trust;
        const char* Host;
        bool CheckName;
        int Code;             // 0: the handshake succeeds
        const char* Reason;   // the server's SNI on success
    };
    const TTestCertificates& c = TestCertificates();
    const TCase cases[] = {
        {"name", &c.Server, TestCa, "localhost", true, 0, "localhost"},
        {"address: no SNI, IP SAN checked", &c.Server, TestCa, "127.0.0.1", true, 0, ""},
        {"system store", &c.Server, SystemStore, "localhost", true, 20,
         "certificate verify failed: unable to get local issuer certificate"},
        {"another CA", &c.Server, OtherCa, "localhost", true, 20,
         "certificate verify failed: unable to get local issuer certificate"},
        {"certificate for another name", &c.OtherName, TestCa, "localhost", true, 62,
         "certificate verify failed: hostname mismatch"},
        {"another name, checking off", &c.OtherName, TestCa, "localhost", false, 0, "localhost"},
        {"address not in the certificate", &c.NameOnly, TestCa, "127.0.0.1", true, 64,
         "certificate verify failed: IP address mismatch"},
        {"expired", &c.Expired, TestCa, "localhost", true, 10, "certificate verify failed: certificate has expired"},
    };
    for (const TCase& test : cases) {
        SCOPED_TRACE(test.Name);
        TTlsTestServer::TOptions options = ServerOptions();
        options.CertFile = test.Identity->CertFile;
        options.KeyFile = test.Identity->KeyFile;
        TTlsTestServer server(options);
        TTlsConfig config;
        config.CaFile = test.Trust == TestCa ? c.Pki.CaFile() : test.Trust == OtherCa ? c.OtherCa.CaFile() : "";
        config.VerifyHostName = test.CheckName;
        if (test.Code != 0) {
            const std::string where = std::string(test.Host) + ":" + std::to_string(server.Port());
            EXPECT_EQ(RaisedBy([&] { Connect(server.Port(), config, test.Host); }),
                      TlsErrorMessage(test.Code, test.Reason, where));
            continue;
        }
        TClient client = Connect(server.Port(), config, test.Host);
        TWriteStats stats;
        const std::vector<uint8_t> hello = {'h', 'i'};
        ASSERT_TRUE(WriteAsTheWriterDoes(*client.Session, client.Fd.Fd, hello.data(), 2, {2}, stats));
        EXPECT_EQ(ReadAsTheReaderDoes(*client.Session, client.Fd.Fd, 2), hello);
        client.Session->Shutdown();
        server.Join();
        EXPECT_EQ(server.ServerName, test.Reason);
    }
}

TEST(TlsHandshake, BrokerThatRequiresAClientCertificate)
{
    struct TCase {
        const char* Name;
        int MaxVersion;
        bool Tickets;
        const TTestPki::TIdentity* Client;
        int Code;   // 0: accepted
        const char* Reason;
    };
    const TTestCertificates& c = TestCertificates();
    const TCase cases[] = {
        {"TLS 1.3 with the certificate", 0, true, &c.Client, 0, ""},
        // No ticket: the broker's silence within the wait counts as consent.
        {"TLS 1.3 with the certificate, no ticket", 0, false, &c.Client, 0, ""},
        {"TLS 1.2 with the certificate", TLS1_2_VERSION, true, &c.Client, 0, ""},
        // Under TLS 1.3 the refusal comes after the client has finished.
        {"TLS 1.3 without", 0, true, nullptr, 1116, "tlsv13 alert certificate required"},
        {"TLS 1.2 without", TLS1_2_VERSION, true, nullptr, 1040, "sslv3 alert handshake failure"},
        {"TLS 1.3 certificate of another CA", 0, true, &c.ForeignClient, 1048, "tlsv1 alert unknown ca"},
    };
    for (const TCase& test : cases) {
        SCOPED_TRACE(test.Name);
        TTlsTestServer::TOptions options = ServerOptions();
        options.ClientCaFile = c.Pki.CaFile();
        options.MaxVersion = test.MaxVersion;
        options.Tickets = test.Tickets;
        TTlsTestServer server(options);
        TTlsConfig config = TrustingTestCa();
        if (test.Client) {
            config.CertFile = test.Client->CertFile;
            config.KeyFile = test.Client->KeyFile;
        }
        if (test.Code != 0) {
            EXPECT_EQ(RaisedBy([&] { Connect(server.Port(), config); }),
                      TlsErrorMessage(test.Code, test.Reason, "localhost:" + std::to_string(server.Port())));
            server.Join();
            EXPECT_FALSE(server.HandshakeError.empty());
            continue;
        }
        TClient client = Connect(server.Port(), config);
        EXPECT_EQ(client.Session->Version(), test.MaxVersion == TLS1_2_VERSION ? "TLSv1.2" : "TLSv1.3");
        TWriteStats stats;
        const uint8_t byte = 'x';
        ASSERT_TRUE(WriteAsTheWriterDoes(*client.Session, client.Fd.Fd, &byte, 1, {1}, stats));
        EXPECT_EQ(ReadAsTheReaderDoes(*client.Session, client.Fd.Fd, 1).size(), 1u);
        client.Session->Shutdown();
        server.Join();
        EXPECT_EQ(server.ClientName, "tarnwick-client");
    }
}

TEST(TlsHandshake, BrokerThatDoesNotSpeakTls)
{
    struct TCase {
        const char* Name;
        std::vector<uint8_t> Answer;   // to the first bytes
        bool Close;                    // then closes the connection
        std::string Expected;
    };
    const TCase cases[] = {
        {"silent", {}, false, SystemErrorText(ETIMEDOUT)},
        {"answers in clear MQTT", {0x20, 0x02, 0x00, 0x00, 0xD0, 0x00}, false, "wrong version number"},
        {"closes at once", {}, true, "unexpected eof while reading"},
    };
    for (const TCase& test : cases) {
        SCOPED_TRACE(test.Name);
        FakeBroker broker;
        std::atomic<bool> answered{false};
        broker.OnFrame([&](const std::vector<uint8_t>&, FakeBroker& b) {
            if (answered.exchange(true))
                return;
            if (!test.Answer.empty())
                b.Send(test.Answer);
            if (test.Close)
                b.CloseConnection();
        });
        const auto started = std::chrono::steady_clock::now();
        std::string raised = RaisedBy([&] { Connect(broker.Port(), TrustingTestCa(), "localhost", 0, 300); });
        EXPECT_THAT(raised, ::testing::StartsWith(CodePage::FromUTF8Literal("TLS エラー ")));
        EXPECT_THAT(raised, HasSubstr(test.Expected + " (localhost:" + std::to_string(broker.Port()) + ")"));
        EXPECT_LT(std::chrono::steady_clock::now() - started, 5s) << "the handshake outlived its time-out";
    }
}

TEST(TlsHandshake, FilesThatDoNotLoadFailBeforeConnecting)
{
    const TTestCertificates& c = TestCertificates();
    struct TCase {
        const char* Name;
        std::string CaFile, CertFile, KeyFile;
        std::string Expected;   // a part of the message
        std::string Where;      // the file named in it
    };
    const TCase cases[] = {
        {"missing CA file", "/nonexistent/ca.pem", "", "", "2, cannot load the CA file: No such file or directory",
         "/nonexistent/ca.pem"},
        {"CA file without certificates", c.Client.KeyFile, "", "",
         "cannot load the CA file: no certificate or crl found",
         c.Client.KeyFile},
        {"client certificate file holds a key", c.Pki.CaFile(), c.Client.KeyFile, c.Client.KeyFile,
         "cannot load the client certificate: no start line", c.Client.KeyFile},
        {"key of another certificate", c.Pki.CaFile(), c.Client.CertFile, c.Server.KeyFile,
         "cannot load the client key: key values mismatch", c.Server.KeyFile},
        {"certificate without its key", c.Pki.CaFile(), c.Client.CertFile, "", "cannot load the client key",
         c.Client.CertFile},
        {"key without a certificate", c.Pki.CaFile(), "", c.Client.KeyFile, "a client key needs its certificate",
         c.Client.KeyFile},
    };
    for (const TCase& test : cases) {
        SCOPED_TRACE(test.Name);
        TTlsConfig config;
        config.Enabled = true;
        config.CaFile = test.CaFile;
        config.CertFile = test.CertFile;
        config.KeyFile = test.KeyFile;
        std::string raised = RaisedBy([&] { TTlsContext context(config); });
        EXPECT_THAT(raised, ::testing::StartsWith(CodePage::FromUTF8Literal("TLS エラー ")));
        EXPECT_THAT(raised, HasSubstr(test.Expected));
        EXPECT_THAT(raised, ::testing::EndsWith("(" + test.Where + ")"));
    }
}

// ---- reading and writing ---------------------------------------------------

TEST(TlsSession, SixtyFourMebibytesBothWaysThroughSmallBuffers)
{
    constexpr size_t Size = 64u << 20;
    TTlsTestServer::TOptions options = ServerOptions();
    options.BufferSize = 16384;
    TTlsTestServer server(options);
    TClient client = Connect(server.Port(), TrustingTestCa(), "localhost", 8192);
    TTlsSession& session = *client.Session;

    // The engine's threads: one reads while another writes, on one session.
    const std::vector<uint8_t> data = Pattern(Size);
    TWriteStats stats;
    auto writer = std::async(std::launch::async, [&] {
        // 2000-byte pieces as frames go out, a 1-byte one, and one larger
        // than a record (taken in part).
        return WriteAsTheWriterDoes(session, client.Fd.Fd, data.data(), data.size(), {2000, 2000, 1, 70000}, stats);
    });
    std::vector<uint8_t> echoed = ReadAsTheReaderDoes(session, client.Fd.Fd, Size);
    EXPECT_TRUE(writer.get()) << "a write waited in vain";
    ASSERT_EQ(echoed.size(), Size);
    EXPECT_TRUE(echoed == data) << "the echo differs from what was written";
    EXPECT_GT(stats.WouldBlock, 0) << "the writes never had to wait: the test did not stress the send path";
    EXPECT_GT(stats.Partial, 0);
    session.Shutdown();
}

TEST(TlsSession, BytesHeldInTheSessionAreReadWithoutWaiting)
{
    struct TCase {
        const char* Name;
        std::vector<size_t> Records;   // sent in one TCP segment
        size_t ReadSize;
    };
    const TCase cases[] = {
        {"two records in one segment", {300, 500}, 4096},
        {"one record read in small pieces", {1000}, 10},
    };
    for (const TCase& test : cases) {
        SCOPED_TRACE(test.Name);
        size_t total = 0;
        for (size_t size : test.Records)
            total += size;
        std::promise<void> done;
        TTlsTestServer server(ServerOptions(), [&](SSL* ssl, int fd) {
            int on = 1, off = 0;
            ::setsockopt(fd, IPPROTO_TCP, TCP_CORK, &on, sizeof on);
            size_t from = 0;
            for (size_t size : test.Records) {
                std::vector<uint8_t> record = Pattern(size, from);
                SSL_write(ssl, record.data(), static_cast<int>(size));
                from += size;
            }
            ::setsockopt(fd, IPPROTO_TCP, TCP_CORK, &off, sizeof off);
            done.get_future().wait();
        });
        TClient client = Connect(server.Port(), TrustingTestCa());
        EXPECT_EQ(ReadAsTheReaderDoes(*client.Session, client.Fd.Fd, total, test.ReadSize, 2000), Pattern(total));
        done.set_value();
    }
}

TEST(TlsSession, WriteGivenUpIsFinishedBeforeTheNextOne)
{
    // The broker stops reading; a write times out with part of its record
    // possibly on the wire. The next write must not break the TLS stream.
    TTlsTestServer::TOptions options = ServerOptions();
    options.BufferSize = 4096;
    std::promise<void> resume;
    std::vector<uint8_t> received;
    TTlsTestServer server(options, [&](SSL* ssl, int) {
        resume.get_future().wait();
        char buffer[16384];
        for (int got; (got = SSL_read(ssl, buffer, sizeof buffer)) > 0;)
            received.insert(received.end(), buffer, buffer + got);
    });
    TClient client = Connect(server.Port(), TrustingTestCa(), "localhost", 4096);
    TTlsSession& session = *client.Session;

    std::vector<uint8_t> expected;
    bool gaveUp = false;
    TWriteStats stats;
    for (size_t i = 0; i < 5000 && !gaveUp; ++i) {
        const std::vector<uint8_t> piece = Pattern(2000, i * 2000);
        gaveUp = !WriteAsTheWriterDoes(session, client.Fd.Fd, piece.data(), piece.size(), {2000}, stats, 200);
        // The piece given up still goes out, ahead of the next write.
        expected.insert(expected.end(), piece.begin(), piece.end());
    }
    resume.set_value();
    ASSERT_TRUE(gaveUp) << "the writes never stalled";
    const std::vector<uint8_t> tail(100, 0xEE);
    ASSERT_TRUE(WriteAsTheWriterDoes(session, client.Fd.Fd, tail.data(), tail.size(), {2000}, stats));
    expected.insert(expected.end(), tail.begin(), tail.end());
    session.Shutdown();
    server.Join();
    EXPECT_EQ(received.size(), expected.size());
    EXPECT_TRUE(received == expected);
}

TEST(TlsSession, EndOfTheStream)
{
    struct TCase {
        const char* Name;
        TTlsTestServer::TEnding Ending;
        std::string ReadRaises;   // empty: the read ends with PeerClosed()
    };
    const TCase cases[] = {
        {"close_notify", TTlsTestServer::TEnding::CloseNotify, ""},
        {"TCP close without close_notify", TTlsTestServer::TEnding::TcpClose, ""},
        {"reset", TTlsTestServer::TEnding::Reset, SocketErrorMessage("Read", ECONNRESET, SystemErrorText(ECONNRESET))},
    };
    for (const TCase& test : cases) {
        SCOPED_TRACE(test.Name);
        TTlsTestServer::TOptions options = ServerOptions();
        options.Ending = test.Ending;
        TTlsTestServer server(options, [](SSL*, int) {});
        TClient client = Connect(server.Port(), TrustingTestCa());
        server.Join();
        TTlsSession& session = *client.Session;
        std::vector<uint8_t> got;
        std::string raised = RaisedBy([&] { got = ReadAsTheReaderDoes(session, client.Fd.Fd, 1); });
        EXPECT_TRUE(got.empty());
        if (test.ReadRaises.empty()) {
            EXPECT_EQ(raised, "(nothing raised)");
            EXPECT_TRUE(session.PeerClosed());
        } else {
            EXPECT_EQ(raised, test.ReadRaises);
            EXPECT_FALSE(session.PeerClosed());
        }
        // Writing to a closed connection raises; it never ends the program with SIGPIPE.
        const std::vector<uint8_t> piece(2000, 1);
        TWriteStats stats;
        raised = RaisedBy([&] {
            for (int i = 0; i < 100; ++i)
                WriteAsTheWriterDoes(session, client.Fd.Fd, piece.data(), piece.size(), {2000}, stats, 1000);
        });
        EXPECT_THAT(raised, ::testing::AnyOf(SocketErrorMessage("Write", EPIPE, SystemErrorText(EPIPE)),
                                             SocketErrorMessage("Write", ECONNRESET, SystemErrorText(ECONNRESET))));
    }
}

TEST(TlsSession, ShutdownFromAnotherThreadWakesABlockedReader)
{
    std::atomic<bool> closeNotify{false};
    TTlsTestServer server(ServerOptions(), [&](SSL* ssl, int) {
        char byte;
        int result = SSL_read(ssl, &byte, 1);
        closeNotify = result <= 0 && SSL_get_error(ssl, result) == SSL_ERROR_ZERO_RETURN;
    });
    TClient client = Connect(server.Port(), TrustingTestCa());
    TTlsSession& session = *client.Session;

    std::promise<void> polling;
    auto reader = std::async(std::launch::async, [&] {
        bool told = false;
        char buffer[100];
        for (;;) {
            short wait = 0;
            if (session.Read(buffer, sizeof buffer, wait) == 0 && wait == 0)
                return;
            if (!told) {
                polling.set_value();
                told = true;
            }
            pollfd entry{client.Fd.Fd, wait, 0};
            ::poll(&entry, 1, 30000);
        }
    });
    ASSERT_EQ(polling.get_future().wait_for(10s), std::future_status::ready) << "the reader never waited";
    // What the client socket's Close does: end TLS, then shut the descriptor down.
    const auto started = std::chrono::steady_clock::now();
    session.Shutdown();
    ::shutdown(client.Fd.Fd, SHUT_RDWR);
    ASSERT_EQ(reader.wait_for(10s), std::future_status::ready) << "the reader was not woken";
    EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
    EXPECT_FALSE(session.PeerClosed()) << "our own close is not the broker's";
    EXPECT_FALSE(session.HasBufferedData());
    short wait = 0;
    EXPECT_EQ(RaisedBy([&] { session.Write("x", 1, wait); }),
              SocketErrorMessage("Write", ENOTCONN, SystemErrorText(ENOTCONN)));
    server.Join();
    EXPECT_TRUE(closeNotify) << "the broker was not told";
}

// ---- against mosquitto -----------------------------------------------------

TEST(TlsMosquitto, ConnectAndConnackOverTls)
{
    if (!MosquittoBroker::Available())
        GTEST_SKIP() << "mosquitto not installed at " << MosquittoBroker::BinaryPath;
    const TTestCertificates& c = TestCertificates();
    struct TCase {
        const char* Name;
        bool RequireCertificate;
        const TTestPki::TIdentity* Client;
        const char* Refusal;   // nullptr: CONNACK expected
    };
    const TCase cases[] = {
        {"server authentication", false, nullptr, nullptr},
        {"mutual authentication", true, &c.Client, nullptr},
        {"client without the required certificate", true, nullptr, "tlsv13 alert certificate required"},
    };
    // MQTT 3.1 CONNECT, client identifier "tls1", clean session, keep-alive 60 s.
    const std::vector<uint8_t> connect = {0x10, 0x12, 0x00, 0x06, 'M', 'Q', 'I', 's', 'd', 'p', 0x03,
                                          0x02, 0x00, 0x3C, 0x00, 0x04, 't', 'l', 's', '1'};
    for (const TCase& test : cases) {
        SCOPED_TRACE(test.Name);
        MosquittoBroker broker;
        broker.UseTls(c.Pki.CaFile(), c.Server.CertFile, c.Server.KeyFile, test.RequireCertificate);
        ASSERT_TRUE(broker.Start()) << broker.Error();
        TTlsConfig config = TrustingTestCa();
        if (test.Client) {
            config.CertFile = test.Client->CertFile;
            config.KeyFile = test.Client->KeyFile;
        }
        if (test.Refusal) {
            EXPECT_THAT(RaisedBy([&] { Connect(broker.Port(), config); }), HasSubstr(test.Refusal));
            continue;
        }
        TClient client = Connect(broker.Port(), config);
        TWriteStats stats;
        ASSERT_TRUE(WriteAsTheWriterDoes(*client.Session, client.Fd.Fd, connect.data(), connect.size(), {2000}, stats));
        EXPECT_EQ(ReadAsTheReaderDoes(*client.Session, client.Fd.Fd, 4), (std::vector<uint8_t>{0x20, 0x02, 0x00, 0x00}))
            << broker.Log();
        client.Session->Shutdown();
    }
}

} // namespace
