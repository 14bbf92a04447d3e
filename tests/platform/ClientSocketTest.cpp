#include "platform/ClientSocket.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <algorithm>
#include <cstring>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <openssl/ssl.h>

#include "platform/CodePage.h"
#include "platform/Error.h"
#include "platform/SystemError.h"
#include "platform/TlsError.h"
#include "platform/CancelSignal.h"
#include "support/FakeBroker.h"
#include "support/SilentResolver.h"
#include "support/TestPki.h"
#include "support/TlsTestServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using TClock = std::chrono::steady_clock;

// A socket aimed at a loopback port that counts its notifications.
struct TProbe {
    explicit TProbe(int port, const std::string& host = "127.0.0.1")
    {
        Socket.SetHost(host);
        Socket.SetPort(port);
        Socket.SetOnConnect([this] {
            Connects.fetch_add(1);
            ActiveInConnect = Socket.Active();
        });
        Socket.SetOnDisconnect([this] {
            Disconnects.fetch_add(1);
            DisconnectThread = std::this_thread::get_id();
        });
    }
    std::atomic<int> Connects{0};
    std::atomic<int> Disconnects{0};
    std::atomic<bool> ActiveInConnect{false};
    std::atomic<std::thread::id> DisconnectThread;
    TClientSocket Socket;   // last: destroyed first, while the counters live
};

std::string ExpectedError(const char* operation, int code)
{
    return SocketErrorMessage(operation, code, SystemErrorText(code));
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

TEST(SocketError, MessageFormatInTheSystemCodePage)
{
    const std::string saved = CodePage::Name();
    CodePage::Set("UTF-8");
    EXPECT_EQ(SocketErrorMessage("Read", 104, "Connection reset by peer"),
              "Read \xE3\x82\xA8\xE3\x83\xA9\xE3\x83\xBC 104, Connection reset by peer");
    CodePage::Set("CP932");
    EXPECT_EQ(SocketErrorMessage("Write", 32, "Broken pipe"), "Write \x83\x47\x83\x89\x81\x5B 32, Broken pipe");
    CodePage::Set(saved);
    EXPECT_EQ(SystemErrorText(ECONNREFUSED), std::string(std::strerror(ECONNREFUSED)));
}

TEST(ClientSocket, ConnectsWritesReadsAndClosesOnce)
{
    FakeBroker broker;
    TProbe probe(broker.Port());
    probe.Socket.Open();
    EXPECT_TRUE(probe.Socket.Active());
    EXPECT_TRUE(probe.ActiveInConnect) << "active before the connect notification";
    EXPECT_EQ(probe.Connects, 1);
    EXPECT_EQ(probe.Disconnects, 0);
    probe.Socket.Open();   // already active: nothing happens
    EXPECT_EQ(probe.Connects, 1);
    ASSERT_TRUE(broker.WaitForConnections(1, 5000));

    TSocketStream stream(probe.Socket, 1000);
    const std::vector<uint8_t> sent = {0xC0, 0x00, 'x', 'y'};
    EXPECT_EQ(stream.Write(sent.data(), 4), 4);
    ASSERT_TRUE(broker.WaitForBytes(4, 5000));
    EXPECT_EQ(broker.Received(), sent);

    ASSERT_TRUE(broker.Send({0xD0, 0x00}));
    ASSERT_TRUE(probe.Socket.WaitForData(5000));
    uint8_t buffer[16] = {};
    int got = 0;
    while (got < 2) {
        int n = stream.Read(buffer + got, static_cast<int>(sizeof buffer) - got);
        ASSERT_GT(n, 0);
        got += n;
    }
    EXPECT_EQ(buffer[0], 0xD0);
    EXPECT_FALSE(stream.PeerClosed());

    probe.Socket.Close();
    EXPECT_FALSE(probe.Socket.Active());
    EXPECT_EQ(probe.Disconnects, 1);
    EXPECT_EQ(probe.DisconnectThread.load(), std::this_thread::get_id());
    probe.Socket.Close();
    EXPECT_EQ(probe.Disconnects, 1) << "a closed socket notifies once";
    EXPECT_TRUE(broker.WaitForPeerClose(5000));

    // Not active: reads give 0 at once, writes raise, waits say no.
    EXPECT_EQ(stream.Read(buffer, 1), 0);
    EXPECT_FALSE(probe.Socket.WaitForData(1000));
    EXPECT_EQ(RaisedBy([&] { stream.Write(sent.data(), 1); }), ExpectedError("Write", ENOTCONN));
}

TEST(ClientSocket, ReopensAfterClose)
{
    FakeBroker broker;
    TProbe probe(broker.Port());
    probe.Socket.Open();
    probe.Socket.Close();
    probe.Socket.Open();
    EXPECT_TRUE(probe.Socket.Active());
    EXPECT_EQ(probe.Connects, 2);
    EXPECT_EQ(probe.Disconnects, 1);
    ASSERT_TRUE(broker.WaitForConnections(2, 5000));
    TSocketStream stream(probe.Socket, 1000);
    uint8_t byte = 0x42;
    EXPECT_EQ(stream.Write(&byte, 1), 1);
    EXPECT_TRUE(broker.WaitForBytes(1, 5000, 1));
}

TEST(ClientSocket, DestructorClosesWithNotification)
{
    FakeBroker broker;
    std::atomic<int> disconnects{0};
    {
        TClientSocket socket;
        socket.SetHost("127.0.0.1");
        socket.SetPort(broker.Port());
        socket.SetOnDisconnect([&] { disconnects.fetch_add(1); });
        socket.Open();
    }
    EXPECT_EQ(disconnects, 1);
    EXPECT_TRUE(broker.WaitForPeerClose(5000));
}

TEST(ClientSocket, RefusedConnectRaisesAfterOneDisconnectNotification)
{
    TProbe probe(FakeBroker::UnusedPort());
    EXPECT_EQ(RaisedBy([&] { probe.Socket.Open(); }), ExpectedError("Connect", ECONNREFUSED));
    EXPECT_EQ(probe.Socket.ConnectFailure(), "connection refused");
    EXPECT_FALSE(probe.Socket.Active());
    EXPECT_EQ(probe.Connects, 0);
    EXPECT_EQ(probe.Disconnects, 1);
    probe.Socket.Close();
    EXPECT_EQ(probe.Disconnects, 1) << "closing a socket that never connected does nothing";
    EXPECT_FALSE(probe.Socket.WaitForData(0));
}

TEST(ClientSocket, InvalidPortRaises)
{
    TProbe probe(70000);
    EXPECT_EQ(RaisedBy([&] { probe.Socket.Open(); }), ExpectedError("Connect", EINVAL));
    EXPECT_EQ(probe.Socket.ConnectFailure(), "invalid port number");
    EXPECT_EQ(probe.Disconnects, 1);
}

TEST(ClientSocket, ConnectsToTheIPv6Loopback)
{
    if (!FakeBroker::HasIPv6Loopback())
        GTEST_SKIP() << "no IPv6 loopback on this host";
    const int listener = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    socklen_t length = sizeof address;
    ASSERT_GE(listener, 0);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 1), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    TProbe probe(ntohs(address.sin6_port), "::1");
    probe.Socket.Open();
    EXPECT_TRUE(probe.Socket.Active());
    EXPECT_EQ(probe.Connects, 1);
    EXPECT_EQ(probe.Socket.ConnectFailure(), "");
    const int accepted = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    ASSERT_GE(accepted, 0);
    TSocketStream stream(probe.Socket, 1000);
    const uint8_t ping[] = {0xC0, 0x00};
    EXPECT_EQ(stream.Write(ping, 2), 2);
    uint8_t got[2] = {};
    EXPECT_EQ(::recv(accepted, got, 2, MSG_WAITALL), 2);
    EXPECT_EQ(got[0], 0xC0);
    ::close(accepted);
    ::close(listener);
}

TEST(ClientSocket, ConnectToFullBacklogTimesOut)
{
    FullBacklogListener listener;
    if (!listener.Ready())
        GTEST_SKIP() << "this host completes every loopback connect; the connect time-out cannot be provoked";
    TProbe probe(listener.Port());
    probe.Socket.SetConnectTimeout(300);
    auto start = TClock::now();
    EXPECT_EQ(RaisedBy([&] { probe.Socket.Open(); }), ExpectedError("Connect", ETIMEDOUT));
    EXPECT_EQ(probe.Socket.ConnectFailure(), "no answer within 300 ms");
    auto elapsed = TClock::now() - start;
    EXPECT_GE(elapsed, 290ms);
    EXPECT_LT(elapsed, 5s) << "the connect time-out did not bound the attempt";
    EXPECT_EQ(probe.Disconnects, 1);
    EXPECT_EQ(probe.Connects, 0);
}

TEST(ClientSocket, CloseFromAnotherThreadWakesBlockedWaitAndRead)
{
    FakeBroker broker;
    TProbe probe(broker.Port());
    probe.Socket.Open();
    TSocketStream stream(probe.Socket, 30000);

    auto waiter = std::async(std::launch::async, [&] { return probe.Socket.WaitForData(30000); });
    auto reader = std::async(std::launch::async, [&] {
        uint8_t buffer[8];
        return stream.Read(buffer, sizeof buffer);
    });
    // Nothing is sent, so both are still waiting.
    EXPECT_EQ(waiter.wait_for(100ms), std::future_status::timeout);
    EXPECT_EQ(reader.wait_for(0ms), std::future_status::timeout);

    std::thread closer([&] { probe.Socket.Close(); });
    closer.join();
    ASSERT_EQ(waiter.wait_for(10s), std::future_status::ready) << "Close did not wake WaitForData";
    ASSERT_EQ(reader.wait_for(10s), std::future_status::ready) << "Close did not wake Read";
    waiter.get();
    EXPECT_EQ(reader.get(), 0);
    EXPECT_FALSE(stream.PeerClosed()) << "our own close is not the peer's";
    EXPECT_EQ(probe.Disconnects, 1);
    EXPECT_NE(probe.DisconnectThread.load(), std::this_thread::get_id()) << "notified on the closing thread";
}

TEST(ClientSocket, PeerOrderlyCloseEndsReadsWithPeerClosed)
{
    FakeBroker broker;
    TProbe probe(broker.Port());
    probe.Socket.Open();
    ASSERT_TRUE(broker.WaitForConnections(1, 5000));
    TSocketStream stream(probe.Socket, 5000);

    ASSERT_TRUE(broker.Send({1, 2, 3}));
    broker.CloseConnection();
    std::vector<uint8_t> got;
    uint8_t buffer[16];
    for (;;) {
        int n = stream.Read(buffer, sizeof buffer);
        if (n == 0)
            break;
        got.insert(got.end(), buffer, buffer + n);
    }
    EXPECT_EQ(got, (std::vector<uint8_t>{1, 2, 3})) << "data before the close is delivered first";
    EXPECT_TRUE(stream.PeerClosed());
    EXPECT_TRUE(probe.Socket.Active()) << "the peer's close is noticed by the reader, not by the socket";
    EXPECT_TRUE(probe.Socket.WaitForData(0)) << "end-of-stream counts as readable";
    EXPECT_EQ(probe.Disconnects, 0);
}

TEST(ClientSocket, ReadTimesOutWithZero)
{
    FakeBroker broker;
    TProbe probe(broker.Port());
    probe.Socket.Open();
    TSocketStream stream(probe.Socket, 50);
    uint8_t buffer[4];
    auto start = TClock::now();
    EXPECT_EQ(stream.Read(buffer, sizeof buffer), 0);
    EXPECT_GE(TClock::now() - start, 45ms);
    EXPECT_FALSE(stream.PeerClosed());
    EXPECT_FALSE(probe.Socket.WaitForData(20));
}

TEST(ClientSocket, PeerResetRaisesOsErrorsOnReadAndWrite)
{
    FakeBroker broker;
    TProbe probe(broker.Port());
    probe.Socket.Open();
    ASSERT_TRUE(broker.WaitForConnections(1, 5000));
    broker.ResetConnection();
    ASSERT_TRUE(probe.Socket.WaitForData(5000)) << "a reset counts as readable";
    TSocketStream stream(probe.Socket, 1000);
    uint8_t buffer[4];
    EXPECT_EQ(RaisedBy([&] { stream.Read(buffer, sizeof buffer); }), ExpectedError("Read", ECONNRESET));
    // The pending error was reported by the read; writing now hits a dead connection.
    std::string written = RaisedBy([&] { stream.Write(buffer, sizeof buffer); });
    EXPECT_THAT(written, ::testing::AnyOf(ExpectedError("Write", EPIPE), ExpectedError("Write", ECONNRESET)));
    EXPECT_TRUE(probe.Socket.Active()) << "errors are raised, the caller decides to close";
}

TEST(ClientSocket, WriteReturnsZeroWhenThePeerNeverReads)
{
    FakeBroker::Options options;
    options.receiveBufferSize = 4096;
    options.startReading = false;
    FakeBroker broker(options);
    TProbe probe(broker.Port());
    probe.Socket.SetSendBufferSize(4096);
    probe.Socket.Open();
    ASSERT_TRUE(broker.WaitForConnections(1, 5000));

    TSocketStream stream(probe.Socket, 200);
    std::vector<uint8_t> chunk(64 * 1024);
    for (size_t i = 0; i < chunk.size(); ++i)
        chunk[i] = static_cast<uint8_t>(i * 7 + 3);
    std::vector<uint8_t> accepted;
    bool partial = false;
    int written = -1;
    TClock::duration lastWrite{};
    // Both buffers are a few KB; a bounded number of writes must stall.
    for (int i = 0; i < 200 && written != 0; ++i) {
        auto start = TClock::now();
        written = stream.Write(chunk.data(), static_cast<int>(chunk.size()));
        lastWrite = TClock::now() - start;
        ASSERT_GE(written, 0);
        if (written > 0 && written < static_cast<int>(chunk.size()))
            partial = true;
        accepted.insert(accepted.end(), chunk.begin(), chunk.begin() + written);
    }
    ASSERT_EQ(written, 0) << "the send buffer never filled";
    EXPECT_TRUE(partial) << "a write that did not fit should report the part it sent";
    EXPECT_GE(lastWrite, 190ms) << "gave up before the time-out";
    EXPECT_LT(lastWrite, 5s);

    // Every byte reported as written arrives, in order, once the peer reads.
    broker.ResumeReading();
    ASSERT_TRUE(broker.WaitForBytes(accepted.size(), 10000));
    EXPECT_EQ(broker.Received(), accepted);
}

// The system reports a socket writable only once about a third of its send
// buffer is free; with a large buffer on a slow link that takes longer than the
// write's time-out, while bytes keep draining all along.
TEST(ClientSocket, AWriteWaitsAsLongAsQueuedBytesDrain)
{
    FakeBroker::Options slow;
    slow.receiveBufferSize = 16 * 1024;
    slow.readBytesPerSecond = 200 * 1024;
    FakeBroker broker(slow);
    TProbe probe(broker.Port());
    probe.Socket.SetSendBufferSize(256 * 1024);
    probe.Socket.Open();
    TSocketStream stream(probe.Socket, 300);
    std::vector<uint8_t> data(1024 * 1024);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 13 + 1);
    size_t sent = 0;
    while (sent < data.size()) {
        const int n = stream.Write(data.data() + sent, static_cast<int>(std::min<size_t>(2000, data.size() - sent)));
        ASSERT_GT(n, 0) << "the write gave up after " << sent << " bytes while the peer was still reading";
        sent += static_cast<size_t>(n);
    }
    ASSERT_TRUE(broker.WaitForBytes(data.size(), 30000));
    EXPECT_EQ(broker.Received(), data);
}

// The reader's read: what is there fills the first area, then the second; no wait.
TEST(ClientSocket, ReceiveAvailableFillsTwoAreasInOrder)
{
    FakeBroker broker;
    TProbe probe(broker.Port());
    probe.Socket.Open();
    ASSERT_TRUE(broker.WaitForConnections(1, 5000));
    bool peerClosed = false;
    uint8_t first[4] = {}, second[8] = {};
    EXPECT_EQ(probe.Socket.ReceiveAvailable(first, 4, second, 8, peerClosed), 0) << "nothing there";
    ASSERT_TRUE(broker.Send({0x20, 0x02, 0x00, 0x00, 0xD0, 0x00}));
    ASSERT_TRUE(probe.Socket.WaitForData(5000));
    ASSERT_EQ(probe.Socket.ReceiveAvailable(first, 4, second, 8, peerClosed), 6);   // one segment on loopback
    EXPECT_EQ(std::vector<uint8_t>(first, first + 4), (std::vector<uint8_t>{0x20, 0x02, 0x00, 0x00}));
    EXPECT_EQ(std::vector<uint8_t>(second, second + 2), (std::vector<uint8_t>{0xD0, 0x00}));
    broker.CloseConnection();
    ASSERT_TRUE(probe.Socket.WaitForData(5000));
    EXPECT_EQ(probe.Socket.ReceiveAvailable(first, 4, nullptr, 0, peerClosed), 0);
    EXPECT_TRUE(peerClosed);
}

TEST(ClientSocket, ReaderWriterAndCloserThreadsShareOneSocket)
{
    // The engine's pattern: a reader thread polls and reads, another thread
    // writes, and one of them closes; everything ends without a hang.
    FakeBroker broker;
    broker.OnFrame([](const std::vector<uint8_t>& frame, FakeBroker& b) { b.Send(frame); });   // echo
    TProbe probe(broker.Port());
    probe.Socket.Open();

    std::atomic<size_t> echoed{0};
    std::thread reader([&] {
        TSocketStream stream(probe.Socket, 1000);
        uint8_t buffer[2000];
        while (probe.Socket.Active()) {
            if (!probe.Socket.WaitForData(10))
                continue;
            int n = stream.Read(buffer, sizeof buffer);
            echoed.fetch_add(static_cast<size_t>(n));
            if (n == 0 && stream.PeerClosed())
                break;
        }
    });
    std::thread writer([&] {
        TSocketStream stream(probe.Socket, 1000);
        const uint8_t frame[] = {0xC0, 0x00};
        for (int i = 0; i < 200 && probe.Socket.Active(); ++i) {
            try {
                int sent = 0;
                while (sent < 2) {
                    int n = stream.Write(frame + sent, 2 - sent);
                    ASSERT_GT(n, 0);
                    sent += n;
                }
            } catch (const Exception&) {
                break;   // closed under our feet: Write raises, as it should
            }
        }
    });
    writer.join();
    ASSERT_TRUE(broker.WaitForBytes(400, 10000));
    probe.Socket.Close();
    reader.join();
    EXPECT_EQ(probe.Disconnects, 1);
    EXPECT_LE(echoed.load(), 400u);
}

// ---- TLS ------------------------------------------------------------------------

TTlsConfig TrustingTestCa()
{
    TTlsConfig config;
    config.Enabled = true;
    config.CaFile = TestCertificates().Pki.CaFile();
    return config;
}

// The reader's step: wait, then read what is there; a wake-up may bring no
// data (a session ticket), so it goes round until bytes come.
int WaitAndReceive(TClientSocket& socket, void* first, int firstCount, void* second, int secondCount)
{
    bool peerClosed = false;
    for (int pass = 0; pass < 100 && !peerClosed; ++pass) {
        if ((socket.WaitForDataOr({}, true, 5000) & TClientSocket::kSocketReady) == 0)
            return 0;
        if (int got = socket.ReceiveAvailable(first, firstCount, second, secondCount, peerClosed))
            return got;
    }
    return 0;
}

TTlsTestServer::TOptions TlsServerOptions()
{
    TTlsTestServer::TOptions options;
    options.CertFile = TestCertificates().Server.CertFile;
    options.KeyFile = TestCertificates().Server.KeyFile;
    return options;
}

// The reader's and the writers' rules through TLS: bytes the session holds
// are readable without waiting, a read fills both areas, writes and reads go
// through the stream, and a close from another thread wakes every waiter and
// tells the broker.
TEST(ClientSocketTls, ReadsWritesAndClosesThroughTheSession)
{
    std::promise<void> firstRead;
    std::atomic<bool> closeNotify{false};
    TTlsTestServer server(TlsServerOptions(), [&](SSL* ssl, int) {
        // One record of 1000 bytes, then an echo until the client's close_notify.
        std::vector<uint8_t> record(1000);
        for (size_t i = 0; i < record.size(); ++i)
            record[i] = static_cast<uint8_t>(i * 7);
        SSL_write(ssl, record.data(), static_cast<int>(record.size()));
        firstRead.get_future().wait();
        char buffer[4096];
        int got;
        while ((got = SSL_read(ssl, buffer, sizeof buffer)) > 0)
            SSL_write(ssl, buffer, got);
        closeNotify = SSL_get_error(ssl, got) == SSL_ERROR_ZERO_RETURN;
    });
    // Lets the server go on however the test ends.
    struct TRelease {
        std::promise<void>& Promise;
        bool Done = false;
        void operator()()
        {
            if (!std::exchange(Done, true))
                Promise.set_value();
        }
        ~TRelease() { (*this)(); }
    } releaseServer{firstRead};
    TProbe probe(server.Port(), "localhost");
    probe.Socket.SetTls(TrustingTestCa());
    probe.Socket.Open();
    ASSERT_TRUE(probe.Socket.Active());
    EXPECT_TRUE(probe.Socket.Secured());
    EXPECT_EQ(probe.Connects, 1);

    // 10 bytes of the record: the other 990 stay in the session, none in the descriptor.
    std::vector<uint8_t> got(1000);
    bool peerClosed = false;
    ASSERT_EQ(WaitAndReceive(probe.Socket, got.data(), 10, nullptr, 0), 10);
    auto start = TClock::now();
    EXPECT_EQ(probe.Socket.WaitForDataOr({}, true, 3000), TClientSocket::kSocketReady);
    EXPECT_TRUE(probe.Socket.WaitForData(3000));
    EXPECT_LT(TClock::now() - start, 1s) << "waited for bytes that had arrived";
    EXPECT_EQ(probe.Socket.ReceiveAvailable(got.data() + 10, 500, got.data() + 510, 1000, peerClosed), 990);
    for (size_t i = 0; i < got.size(); ++i)
        ASSERT_EQ(got[i], static_cast<uint8_t>(i * 7)) << "byte " << i;
    EXPECT_FALSE(peerClosed);
    releaseServer();

    TSocketStream stream(probe.Socket, 5000);
    std::vector<uint8_t> frame(4500);
    for (size_t i = 0; i < frame.size(); ++i)
        frame[i] = static_cast<uint8_t>(i * 13 + 5);
    for (size_t sent = 0; sent < frame.size();) {
        const int n = stream.Write(frame.data() + sent, static_cast<int>(std::min<size_t>(2000, frame.size() - sent)));
        ASSERT_GT(n, 0);
        sent += static_cast<size_t>(n);
    }
    std::vector<uint8_t> echoed(frame.size());
    for (size_t read = 0; read < echoed.size();) {
        const int n = stream.Read(echoed.data() + read, static_cast<int>(echoed.size() - read));
        ASSERT_GT(n, 0);
        read += static_cast<size_t>(n);
    }
    EXPECT_EQ(echoed, frame);

    // Nothing more comes: a waiter and a reader sleep until the close.
    auto waiter = std::async(std::launch::async, [&] { return probe.Socket.WaitForDataOr({}, true, 30000); });
    auto reader = std::async(std::launch::async, [&] {
        uint8_t buffer[8];
        return stream.Read(buffer, sizeof buffer);
    });
    EXPECT_EQ(waiter.wait_for(100ms), std::future_status::timeout);
    start = TClock::now();
    std::thread closer([&] { probe.Socket.Close(); });
    closer.join();
    ASSERT_EQ(waiter.wait_for(10s), std::future_status::ready) << "Close did not wake the wait";
    ASSERT_EQ(reader.wait_for(10s), std::future_status::ready) << "Close did not wake the read";
    EXPECT_LT(TClock::now() - start, 2s);
    EXPECT_EQ(reader.get(), 0);
    EXPECT_FALSE(stream.PeerClosed()) << "our own close is not the peer's";
    server.Join();
    EXPECT_TRUE(closeNotify) << "the broker was not told";
    EXPECT_EQ(probe.Disconnects, 1);
}

TEST(ClientSocketTls, TheBrokersEndOfTheStream)
{
    struct TCase {
        const char* Name;
        TTlsTestServer::TEnding Ending;
        bool Raises;   // else peerClosed
    };
    const TCase cases[] = {
        {"close_notify", TTlsTestServer::TEnding::CloseNotify, false},
        {"TCP close without close_notify", TTlsTestServer::TEnding::TcpClose, false},
        {"reset", TTlsTestServer::TEnding::Reset, true},
    };
    for (const TCase& test : cases) {
        SCOPED_TRACE(test.Name);
        TTlsTestServer::TOptions options = TlsServerOptions();
        options.Ending = test.Ending;
        // Two bytes, then the end: they are read before the end shows.
        TTlsTestServer server(options, [](SSL* ssl, int) { SSL_write(ssl, "ab", 2); });
        TProbe probe(server.Port(), "localhost");
        probe.Socket.SetTls(TrustingTestCa());
        probe.Socket.Open();
        server.Join();
        std::string got;
        bool peerClosed = false;
        // The reader's loop: a wait, then what is there.
        const std::string raised = RaisedBy([&] {
            char buffer[8];
            for (int pass = 0; pass < 10 && !peerClosed && probe.Socket.WaitForData(5000); ++pass)
                got.append(buffer, probe.Socket.ReceiveAvailable(buffer, 8, nullptr, 0, peerClosed));
        });
        if (test.Raises) {
            EXPECT_EQ(raised, ExpectedError("Read", ECONNRESET));
            EXPECT_FALSE(peerClosed);
        } else {
            EXPECT_EQ(raised, "(nothing raised)");
            EXPECT_EQ(got, "ab");
            EXPECT_TRUE(peerClosed);
        }
        EXPECT_TRUE(probe.Socket.Active()) << "the reader decides to close";
    }
}

// A TLS failure fails Open as a refused connect does: inactive, one
// disconnect notification, the "TLS エラー" text raised and the reason kept.
TEST(ClientSocketTls, AFailedOpenSaysWhy)
{
    const TTestCertificates& c = TestCertificates();
    FakeBroker silent;
    TTlsTestServer server(TlsServerOptions());
    struct TCase {
        const char* Name;
        int Port;
        std::string CaFile;
        std::string Failure;
    };
    const TCase cases[] = {
        // Before the connect: the port refuses, yet the file is the reason.
        {"CA file missing", FakeBroker::UnusedPort(), "/nonexistent/ca.pem",
         "TLS set-up failed: cannot load the CA file: No such file or directory (/nonexistent/ca.pem)"},
        {"another CA", server.Port(), c.OtherCa.CaFile(),
         "TLS handshake failed: certificate verify failed: unable to get local issuer certificate"},
        {"no TLS answer", silent.Port(), c.Pki.CaFile(), "TLS handshake failed: no answer within 300 ms"},
    };
    for (const TCase& test : cases) {
        SCOPED_TRACE(test.Name);
        TProbe probe(test.Port, "localhost");
        TTlsConfig config = TrustingTestCa();
        config.CaFile = test.CaFile;
        probe.Socket.SetTls(config);
        probe.Socket.SetConnectTimeout(300);
        const auto start = TClock::now();
        EXPECT_THAT(RaisedBy([&] { probe.Socket.Open(); }),
                    ::testing::StartsWith(CodePage::FromUTF8Literal("TLS エラー ")));
        EXPECT_LT(TClock::now() - start, 5s);
        EXPECT_EQ(probe.Socket.ConnectFailure(), test.Failure);
        EXPECT_FALSE(probe.Socket.Active());
        EXPECT_EQ(probe.Connects, 0);
        EXPECT_EQ(probe.Disconnects, 1);
    }
    EXPECT_EQ(silent.ConnectionCount(), 1u);
}

} // namespace

// Bytes the session took are out, whatever becomes of the connection after
// them: a flush after a close (the reader's, when the broker hung up after a
// DISCONNECT) has nothing to send and says so. Bytes still gathered under the
// cork are not out, and the flush says that.
TEST(ClientSocketTls, AFlushAfterACloseTellsWhetherEveryByteIsOut)
{
    for (const bool corked : {false, true}) {
        SCOPED_TRACE(corked ? "gathered under the cork" : "written");
        TTlsTestServer server(TlsServerOptions());
        TProbe probe(server.Port(), "localhost");
        probe.Socket.SetTls(TrustingTestCa());
        probe.Socket.Open();
        probe.Socket.SetCork(corked);
        TSocketStream stream(probe.Socket, 1000);
        const uint8_t disconnect[] = {0xE0, 0x00};
        ASSERT_EQ(stream.Write(disconnect, 2), 2);
        probe.Socket.Close();
        const std::string raised = RaisedBy([&] { EXPECT_EQ(stream.Flush(), !corked); });
        EXPECT_EQ(raised, corked ? ExpectedError("Write", ENOTCONN) : "(nothing raised)");
        EXPECT_EQ(probe.Socket.WriteHeldBack(), corked);
    }
}

// Open waits for a name server, a connect or a TLS handshake that may never
// answer: the connect time-out bounds each (the lookup too), and a cancel from
// another thread ends any of them at once, long before that time-out.
TEST(ClientSocket, OpenEndsAtTheTimeOutOrAtOnceOnACancel)
{
    FakeBroker silent;   // accepts, never answers a TLS hello
    struct TCase {
        const char* Name;
        bool Tls;
        bool Cancel;
        const char* Failure;
    };
    const TCase cases[] = {
        {"a lookup cancelled", false, true, "cancelled by the user"},
        {"a TLS handshake cancelled", true, true, "cancelled by the user"},
        {"a lookup timed out", false, false, "the host name lookup gave no answer within 300 ms"},
    };
    for (const TCase& test : cases) {
        SCOPED_TRACE(test.Name);
        TSilentResolver names;
        TCancelSignal cancel;
        const int connections = static_cast<int>(silent.ConnectionCount());
        TProbe probe(silent.Port(), test.Tls ? "127.0.0.1" : "broker.invalid");
        if (test.Tls)
            probe.Socket.SetTls(TrustingTestCa());
        else
            probe.Socket.SetResolver(names.Resolver());
        probe.Socket.SetCancelSignal(&cancel);
        probe.Socket.SetConnectTimeout(test.Cancel ? 30000 : 300);
        auto opened = std::async(std::launch::async, [&] { return RaisedBy([&] { probe.Socket.Open(); }); });
        if (test.Cancel) {
            // Once it waits where it would wait for the whole time-out.
            if (test.Tls)
                ASSERT_TRUE(silent.WaitForConnections(connections + 1, 10000));
            else
                ASSERT_TRUE(names.WaitForQuestion(10000));
            cancel.Cancel();
        }
        ASSERT_EQ(opened.wait_for(10s), std::future_status::ready) << "Open went on";
        EXPECT_NE(opened.get(), "(nothing raised)");
        EXPECT_EQ(probe.Socket.ConnectFailure(), test.Failure);
        EXPECT_EQ(probe.Socket.OpenFailure(), test.Cancel ? TOpenFailure::Cancelled : TOpenFailure::TimedOut);
        EXPECT_FALSE(probe.Socket.OpenRetryCanHelp()) << "the same wait would come again";
        EXPECT_EQ(probe.Disconnects, 1);
    }
}

// A broker that reads slowly is never given up while its bytes move, however
// TCP shows it. One that reads 512 bytes every 20 ms lets a TLS record of
// 16 KB drain for longer than the write's time-out before the session reports
// it written: only the acknowledgements show the progress. One that reads in
// bursts keeps its window closed for longer than the time-out in between:
// only its answers to TCP's window probes show that it is there.
TEST(ClientSocket, AWriteWaitsAsLongAsTheReaderMoves)
{
    for (const bool tls : {true, false}) {
        SCOPED_TRACE(tls ? "TLS records read 512 bytes every 20 ms" : "read in bursts 2.5 s apart");
        const std::vector<uint8_t> data(tls ? 48 * 1024 : 72 * 1024, 0x5A);
        std::atomic<size_t> received{0};
        std::optional<TTlsTestServer> trickling;
        FakeBroker::Options options;
        options.receiveBufferSize = 16384;
        options.startReading = false;
        FakeBroker bursting(options);
        if (tls) {
            TTlsTestServer::TOptions slow = TlsServerOptions();
            slow.BufferSize = 1024;
            trickling.emplace(slow, [&](SSL*, int fd) {
                char chunk[512];
                for (ssize_t got; (got = ::recv(fd, chunk, sizeof chunk, 0)) > 0; std::this_thread::sleep_for(20ms))
                    received += static_cast<size_t>(got);
            });
        }
        std::thread bursts([&] {
            for (size_t burst = 1; !tls && burst <= 2; ++burst) {
                std::this_thread::sleep_for(2500ms);
                bursting.ResumeReading();
                bursting.WaitForBytes(burst * 24 * 1024, 10000);
                bursting.StopReading();
            }
            bursting.ResumeReading();
        });
        TProbe probe(tls ? trickling->Port() : bursting.Port(), tls ? "localhost" : "127.0.0.1");
        if (tls)
            probe.Socket.SetTls(TrustingTestCa());
        probe.Socket.SetSendBufferSize(4096);
        probe.Socket.Open();
        TSocketStream stream(probe.Socket, tls ? 300 : 2000);
        size_t sent = 0;
        for (int n = 1; sent < data.size() && n > 0; sent += static_cast<size_t>(n))
            n = stream.Write(data.data() + sent, static_cast<int>(std::min<size_t>(16384, data.size() - sent)));
        bursts.join();
        EXPECT_EQ(sent, data.size()) << "the write gave up while the reader was still reading";
        EXPECT_TRUE(stream.Flush());
        probe.Socket.Close();
        if (tls)
            trickling->Join();   // it has read to the end: the records, then close_notify
        EXPECT_TRUE(tls ? received >= sent : bursting.WaitForBytes(sent, 10000));
    }
}
