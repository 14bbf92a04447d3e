#include <gtest/gtest.h>

#include <fstream>
#include <future>
#include <thread>

#include "EngineTestSupport.h"
#include "mqtt/codec/MQTTPacket.h"
#include "mqtt/engine/ClientReaderThread.h"
#include "mqtt/engine/FrameSignal.h"
#include "mqtt/engine/WholeFrameWriter.h"
#include "mqtt/engine/MQTTClient.h"
#include "platform/ClientSocket.h"
#include "platform/Error.h"
#include "platform/NamedSync.h"
#include "support/FakeBroker.h"
#include "support/TestPki.h"
#include "support/TlsTestServer.h"

#include <openssl/ssl.h>

using namespace enginetest;

namespace {

const std::string kConnectLine = "ClientSocketOnConnect: start";
const std::string kDisconnectLine = "ClientSocketOnDisconnect: start";

std::string StoreLine(int entries, int64_t size, int64_t ptr)
{
    return "TMQTTClientReaderThread: store frame to ReceiveQueue, entries = " + std::to_string(entries)
        + " size = " + std::to_string(size) + " ptr = " + std::to_string(ptr);
}

std::string PackingLine(const std::string& id)
{
    return "TMQTTClientReaderThread: more than one frame data exists, packing the buffer data [" + id + "]";
}

std::string NotYetLine(const std::string& id)
{
    return "TMQTTClientReaderThread: remain-length data has not yet received [" + id + "]";
}

std::string ReaderError(const std::string& message, const std::string& id)
{
    return "TMQTTClientReaderThread:*EXCEPTIN* " + message + "[" + id + "]";
}

Bytes Concat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const auto& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

// SUBACK for identifier id with n granted QoS bytes (values 0,1,2,0,...).
Bytes Suback(int id, int n)
{
    Bytes body = {static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id & 0xFF)};
    for (int i = 0; i < n; ++i)
        body.push_back(static_cast<uint8_t>(i % 3));
    Bytes frame = {0x90};
    int32_t left = static_cast<int32_t>(body.size());
    do {
        uint8_t b = left % 128;
        left /= 128;
        if (left > 0)
            b |= 0x80;
        frame.push_back(b);
    } while (left > 0);
    frame.insert(frame.end(), body.begin(), body.end());
    return frame;
}

const Bytes kConnack = {0x20, 0x02, 0x00, 0x00};
const Bytes kPingresp = {0xD0, 0x00};
const Bytes kPubcomp9 = {0x70, 0x02, 0x00, 0x09};
const Bytes kPingreq = {0xC0, 0x00};

// Every packet in the queue, oldest first, as frame bytes.
std::vector<Bytes> DrainQueue(TMQTTClient& client)
{
    std::vector<Bytes> frames;
    std::unique_ptr<TMQTTPacket> p;
    while (client.ReceiveQueue().TakeFirst(0, p))
        frames.emplace_back(p->FrameData.get(), p->FrameData.get() + p->FrameSize);
    return frames;
}

class ClientTest : public ::testing::Test {
protected:
    std::unique_ptr<TMQTTClient> Connect(const std::string& stem, TMQTTClientOptions options = {})
    {
        Id = UniqueClientID(stem);
        options.PayloadDirectory = Dir.Path();
        options.Sink = &Log.Sink();
        // Frames sent to the broker's latest connection must reach this client.
        const size_t before = Broker.ConnectionCount();
        auto client = std::make_unique<TMQTTClient>(Broker.Host(), Broker.Port(), Id, options);
        EXPECT_TRUE(client->SocketReady);
        EXPECT_TRUE(Broker.WaitForConnections(before + 1, kWaitMs));
        return client;
    }

    TLogCapture Log;
    TTempDir Dir;
    FakeBroker Broker;
    std::string Id;
};

} // namespace

// ---- connection -------------------------------------------------------------

TEST_F(ClientTest, ConnectsAtOnceAndLogsEachNotificationOnce)
{
    const auto start = Clock::now();
    auto client = Connect("connect");
    EXPECT_LT(MsSince(start), 5000);
    EXPECT_EQ(client->ClientID, Id);
    EXPECT_EQ(client->FrameEventName, "MQTT_FRAME_RECV" + Id);
    ASSERT_TRUE(Log.Flush());
    EXPECT_EQ(Log.CountOf(kConnectLine), 1);
    EXPECT_EQ(Log.CountOf(kDisconnectLine), 0);
    EXPECT_EQ(Broker.ConnectionCount(), 1u);

    client.reset();
    ASSERT_TRUE(Log.Flush());
    EXPECT_EQ(Log.CountOf(kDisconnectLine), 1);
    EXPECT_TRUE(Broker.WaitForPeerClose(kWaitMs));
    // Only notification lines come from the connection itself.
    for (const auto& [source, message] : Log.SourcedLines())
        EXPECT_EQ(source, "MQTT_Unit") << message;
}

TEST_F(ClientTest, ARefusedPortGivesTwoAttemptsAndNoConnection)
{
    Id = UniqueClientID("refused");
    const auto start = Clock::now();
    auto client = std::make_unique<TMQTTClient>("127.0.0.1", FakeBroker::UnusedPort(), Id, Log.Options());
    EXPECT_GE(MsSince(start), 200) << "a pause of 100 ms follows each failed attempt";
    EXPECT_FALSE(client->SocketReady);
    ASSERT_TRUE(Log.Flush());
    EXPECT_EQ(Log.CountOf(kDisconnectLine), 2);
    EXPECT_EQ(Log.CountOf(kConnectLine), 0);

    try {
        const uint8_t ping[] = {0xC0, 0x00};
        client->SendFrame(ping, 2);
        FAIL() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "SocketReady check failed");
    }

    client.reset();
    ASSERT_TRUE(Log.Flush());
    EXPECT_EQ(Log.CountOf(kDisconnectLine), 2) << "destroying it logs nothing more";
}

TEST_F(ClientTest, AConnectThatHangsGivesUpWithinItsTimeOut)
{
    FullBacklogListener silent;
    if (!silent.Ready())
        GTEST_SKIP() << "could not fill a listen backlog on this host";
    TMQTTClientOptions options;
    options.ConnectTimeoutMs = 300;
    Id = UniqueClientID("hang");
    const auto start = Clock::now();
    TMQTTClient client("127.0.0.1", silent.Port(), Id, Log.Options(options));
    const auto elapsed = MsSince(start);
    EXPECT_FALSE(client.SocketReady);
    EXPECT_GE(elapsed, 300);
    EXPECT_LT(elapsed, 5000);
    ASSERT_TRUE(Log.Flush());
    // One attempt: a second would wait as long for the same silence.
    const auto lines = Log.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(IsAttemptLine(lines[1], "*ERROR* could not connect to 127.0.0.1:" + std::to_string(silent.Port())
                                            + ": no answer within 300 ms", 1, Id))
        << lines[1];
}

// Each failed attempt says why and how long it took, after its notification
// line; a second attempt only where it can help.
TEST_F(ClientTest, AFailedOpenSaysWhyInALine)
{
    const std::string refused = std::to_string(FakeBroker::UnusedPort());
    struct TCase {
        std::string Host, Port, Line;   // the line up to the reason's end
        int Attempts;
    };
    std::vector<TCase> cases = {
        {"127.0.0.1", refused, "*ERROR* could not connect to 127.0.0.1:" + refused + ": connection refused", 2},
        {"no-such-host.invalid", "1883",
            "*ERROR* could not connect to no-such-host.invalid:1883: the host name does not resolve (", 1},
    };
    if (FakeBroker::HasIPv6Loopback())
        cases.push_back({"::1", refused, "*ERROR* could not connect to [::1]:" + refused + ": connection refused", 2});
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Host);
        TLogCapture log;
        Id = UniqueClientID("why");
        TMQTTClient client(c.Host, std::stoi(c.Port), Id, log.Options());
        EXPECT_FALSE(client.SocketReady);
        ASSERT_TRUE(log.Flush());
        const auto lines = log.SourcedLines();
        ASSERT_EQ(lines.size(), 2u * c.Attempts);
        for (int attempt = 1; attempt <= c.Attempts; ++attempt) {
            const auto& [source, line] = lines[2 * attempt - 1];
            EXPECT_EQ(lines[2 * attempt - 2], std::make_pair(std::string("MQTT_Unit"), kDisconnectLine));
            EXPECT_EQ(source, "MQTT_Unit");
            const std::size_t reasonEnd = line.find(" (attempt ");
            ASSERT_NE(reasonEnd, std::string::npos) << line;
            EXPECT_EQ(line.rfind(c.Line, 0), 0u) << line;
            EXPECT_TRUE(IsAttemptLine(line, line.substr(0, reasonEnd), attempt, Id)) << line;
        }
    }
}

// ---- reader framing ---------------------------------------------------------

TEST_F(ClientTest, TwoFramesInOneReadAreStoredInOrderWithOnePackingLine)
{
    auto client = Connect("tworead");
    TFrameWait signals(client->FrameEventName);
    const Bytes suback = Suback(5, 1);
    ASSERT_TRUE(Broker.Send(Concat({kConnack, suback})));
    ASSERT_TRUE(Log.WaitForLine(StoreLine(2, 250000000, 5)));
    ASSERT_TRUE(Log.Flush());

    const auto lines = Log.Lines("MQTT_Unit");
    const int first = IndexOf(lines, StoreLine(1, 250000000, 9));
    ASSERT_GE(first, 0);
    EXPECT_EQ(IndexOf(lines, PackingLine(Id)), first + 1);
    EXPECT_EQ(IndexOf(lines, StoreLine(2, 250000000, 5)), first + 2);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), PackingLine(Id)), 1);
    // Given after the lines of the read.
    EXPECT_TRUE(signals.Wait(kWaitMs));

    EXPECT_EQ(DrainQueue(*client), (std::vector<Bytes>{kConnack, suback}));
}

TEST_F(ClientTest, AFrameByteAloneWaitsForTheRestOfItsLength)
{
    auto client = Connect("alone");
    ASSERT_TRUE(Broker.Send({0xD0}));
    ASSERT_TRUE(Log.WaitForLine(NotYetLine(Id)));
    ASSERT_TRUE(Broker.Send({0x00}));
    ASSERT_TRUE(Log.WaitForLine(StoreLine(1, 250000000, 2)));

    // A frame followed by the first byte of the next one.
    ASSERT_TRUE(Broker.Send(Concat({kConnack, {0x70}})));
    ASSERT_TRUE(Log.WaitForLineCount(NotYetLine(Id), 2));
    ASSERT_TRUE(Broker.Send({0x02, 0x00, 0x09}));
    ASSERT_TRUE(Log.WaitForLine(StoreLine(3, 250000000, 4)));
    ASSERT_TRUE(Log.Flush());

    const auto lines = Log.Lines("MQTT_Unit");
    const int stored = IndexOf(lines, StoreLine(2, 250000000, 5));
    ASSERT_GE(stored, 0);
    EXPECT_EQ(lines.at(stored + 1), PackingLine(Id));
    EXPECT_EQ(lines.at(stored + 2), NotYetLine(Id));
    EXPECT_EQ(DrainQueue(*client), (std::vector<Bytes>{kPingresp, kConnack, kPubcomp9}));
}

TEST_F(ClientTest, FramesSplitAtEveryByteArriveWhole)
{
    auto client = Connect("bytes");
    // The 70,004-byte SUBACK is long enough to be read into a buffer of its own.
    const std::vector<Bytes> frames = {kConnack, Suback(300, 198), kPingresp, Suback(7, 3000), kPubcomp9,
                                       Suback(9, 70000), Bytes{0xB0, 0x02, 0x00, 0x03}};
    Bytes stream;
    std::vector<std::pair<size_t, size_t>> longFrames;   // [start, end) of frames over 1000 bytes
    for (const Bytes& frame : frames) {
        if (frame.size() > 1000)
            longFrames.emplace_back(stream.size(), stream.size() + frame.size());
        stream.insert(stream.end(), frame.begin(), frame.end());
    }
    // One byte at a time, but the bodies of the long SUBACKs in bigger steps.
    std::vector<size_t> pieces;
    for (size_t i = 0; i < stream.size();) {
        size_t piece = 1;
        for (const auto& [start, end] : longFrames)
            if (i >= start + 5 && i + 1 < end)
                piece = std::min<size_t>(997, end - 1 - i);
        pieces.push_back(piece);
        i += piece;
    }
    ASSERT_TRUE(Broker.SendInPieces(stream, pieces, 1));
    ASSERT_TRUE(Log.WaitForLinesStartingWith("TMQTTClientReaderThread: store frame", int(frames.size())));
    EXPECT_EQ(DrainQueue(*client), frames);
    EXPECT_TRUE(client->SocketReady);
}

TEST_F(ClientTest, TheBufferGrowsToExactlyWhatItHolds)
{
    TMQTTClientOptions options;
    options.ReceiveBufferSize = 10;
    auto client = Connect("grow", options);
    const Bytes big = Suback(1, 297);   // 1 + 2 + 299 = 302 bytes
    ASSERT_EQ(big.size(), 302u);
    ASSERT_TRUE(Broker.Send(big));
    ASSERT_TRUE(Log.WaitForLine(StoreLine(1, 302, 302)));
    // The storage never shrinks: a small frame later is held in it.
    ASSERT_TRUE(Broker.Send(kConnack));
    ASSERT_TRUE(Log.WaitForLine(StoreLine(2, 302, 4)));
}

TEST_F(ClientTest, TheReservationStaysOutOfResidentMemory)
{
    auto residentKb = [] {
        std::ifstream status("/proc/self/status");
        std::string line;
        while (std::getline(status, line))
            if (line.rfind("VmRSS:", 0) == 0)
                return std::stol(line.substr(6));
        return -1L;
    };
    const long before = residentKb();
    auto client = Connect("rss");
    ASSERT_TRUE(Broker.Send(kPingresp));
    ASSERT_TRUE(Log.WaitForLine(StoreLine(1, 250000000, 2)));
    const long after = residentKb();
    ASSERT_GT(before, 0);
    EXPECT_LT(after - before, 50 * 1024) << "kB resident growth for one idle client";
}

struct TBadFrameCase {
    const char* Name;
    Bytes Frame;
    const char* Message;
};

class ClientBadFrameTest : public ClientTest, public ::testing::WithParamInterface<TBadFrameCase> {
};

TEST_P(ClientBadFrameTest, ABadFrameEndsTheConnection)
{
    auto client = Connect("bad");
    ASSERT_TRUE(Broker.Send(GetParam().Frame));
    ASSERT_TRUE(Log.WaitForLine(ReaderError(GetParam().Message, Id)));
    ASSERT_TRUE(Log.WaitForLine(kDisconnectLine));
    EXPECT_TRUE(Broker.WaitForPeerClose(kWaitMs));
    EXPECT_TRUE(WaitUntil([&] { return !client->SocketReady; }));
    ASSERT_TRUE(Log.Flush());
    const auto lines = Log.Lines();
    EXPECT_LT(IndexOf(lines, ReaderError(GetParam().Message, Id)), IndexOf(lines, kDisconnectLine));

    try {
        client->SendFrame(kConnack.data(), 4);
        FAIL() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "SocketReady check failed");
    }
    client.reset();
    ASSERT_TRUE(Log.Flush());
    EXPECT_EQ(Log.CountOf(kDisconnectLine), 1) << "no second line after a thread closed the socket";
}

INSTANTIATE_TEST_SUITE_P(Frames, ClientBadFrameTest,
    ::testing::Values(
        TBadFrameCase{"FiveLengthBytes", {0x30, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}, "RemainLength decode error"},
        TBadFrameCase{"TypeZero", {0x00, 0x00}, "unknown MQTT message"},
        TBadFrameCase{"TypeFifteen", {0xF0, 0x00}, "unknown MQTT message"},
        TBadFrameCase{"SubscribeQos0", {0x80, 0x02, 0x00, 0x01}, "SUBSCRIBE FixedHeaderQoS is not 1"}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST_F(ClientTest, TheBrokersOrderlyCloseEndsTheConnection)
{
    auto client = Connect("fin");
    Broker.CloseConnection();
    ASSERT_TRUE(Log.WaitForLine(kDisconnectLine));
    EXPECT_TRUE(WaitUntil([&] { return !client->SocketReady; }));
    EXPECT_TRUE(Broker.WaitForPeerClose(kWaitMs));
    ASSERT_TRUE(Log.Flush());
    for (const auto& line : Log.Lines())
        EXPECT_EQ(line.find("*EXCEPTIN*"), std::string::npos) << line;
    EXPECT_EQ(Log.CountOf(kDisconnectLine), 1);
}

// ---- SendFrame --------------------------------------------------------------

namespace {

// A stream that records each write and transfers at most `Accept` bytes.
struct TRecordingStream {
    std::vector<std::pair<size_t, int>> Calls;   // (offset, count asked)
    const uint8_t* Base = nullptr;
    int Accept = 1 << 30;
    int FailAtCall = -1;   // this call returns 0
    int Write(const uint8_t* data, int count)
    {
        Calls.emplace_back(static_cast<size_t>(data - Base), count);
        if (static_cast<int>(Calls.size()) - 1 == FailAtCall)
            return 0;
        return std::min(count, Accept);
    }
};

} // namespace

TEST(WriteInPieces, PiecesAndShortWrites)
{
    struct TCase {
        int32_t Length;
        int Accept;
        std::vector<std::pair<size_t, int>> Expected;
    };
    const std::vector<TCase> cases = {
        {0, 1 << 30, {}},
        {2000, 1 << 30, {{0, 2000}}},
        {2001, 1 << 30, {{0, 2000}, {2000, 1}}},
        {4500, 1 << 30, {{0, 2000}, {2000, 2000}, {4000, 500}}},
        {2500, 700, {{0, 2000}, {700, 1800}, {1400, 1100}, {2100, 400}}},
    };
    std::vector<uint8_t> data(5000);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Length);
        TRecordingStream stream;
        stream.Base = data.data();
        stream.Accept = c.Accept;
        EXPECT_EQ(WriteInPieces(stream, data.data(), c.Length, 2000), c.Length);
        EXPECT_EQ(stream.Calls, c.Expected);
    }
}

TEST(WriteInPieces, AWriteThatTransfersNothingFails)
{
    std::vector<uint8_t> data(4500);
    TRecordingStream stream;
    stream.Base = data.data();
    stream.FailAtCall = 1;
    try {
        WriteInPieces(stream, data.data(), 4500, 2000);
        FAIL() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "Socket Write Error");
    }
    EXPECT_EQ(stream.Calls.size(), 2u);
}

TEST_F(ClientTest, SendFrameWritesTheWholeFrameAndNothingForLengthZero)
{
    auto client = Connect("send");
    client->SendFrame(nullptr, 0);
    Bytes frame(4500 + 3);
    frame[0] = 0x30;
    frame[1] = 0x94;   // 4500 = 0x14 + 0x23 * 128
    frame[2] = 0x23;
    for (size_t i = 3; i < frame.size(); ++i)
        frame[i] = static_cast<uint8_t>(i * 7);
    ASSERT_EQ(frame.size(), 3u + (0x14 + 0x23 * 128));
    client->SendFrame(frame.data(), static_cast<int32_t>(frame.size()));
    ASSERT_TRUE(Broker.WaitForBytes(frame.size(), kWaitMs));
    EXPECT_EQ(Broker.Received(), frame);
}

TEST_F(ClientTest, SendFrameTimesOutOnAWriteMutexHeldElsewhere)
{
    auto client = Connect("mutex");
    TWriteMutexHeldElsewhere writer(Id);
    try {
        client->SendFrame(kPingresp.data(), 2);
        ADD_FAILURE() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "WaitForSingleObject() timeout");
    }
    writer.Release();

    // Nothing of the refused frame went out; once the mutex is free the
    // next frame is written.
    client->SendFrame(kConnack.data(), 4);
    ASSERT_TRUE(Broker.WaitForBytes(4, kWaitMs));
    EXPECT_EQ(Broker.Received(), kConnack);
}

// A broker that stops reading in the middle of a frame: the rest never follows,
// and the broker would read every later frame as part of it, so the connection
// closes instead of staying open with half a frame on it.
TEST_F(ClientTest, AFrameLeftHalfWrittenClosesTheConnection)
{
    FakeBroker::Options stalled;
    stalled.receiveBufferSize = 4096;
    stalled.startReading = false;
    FakeBroker slow(stalled);
    Id = UniqueClientID("stall");
    TMQTTClientOptions options;
    options.WriteStallMs = 500;
    TMQTTClient client(slow.Host(), slow.Port(), Id, Log.Options(options));
    ASSERT_TRUE(client.SocketReady);
    Bytes frame(32 * 1024 * 1024, 0x41);
    frame[0] = 0x30;   // a PUBLISH of the largest size: FF FF FF 7F
    frame[1] = frame[2] = frame[3] = 0xFF;
    frame[4] = 0x7F;
    try {
        client.SendFrame(frame.data(), static_cast<int32_t>(frame.size()));
        FAIL() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "Socket Write Error");
    }
    EXPECT_FALSE(client.SocketReady);
    ASSERT_TRUE(Log.Flush());
    const auto lines = Log.Lines("MQTT_Unit");
    const int halfLine = IndexOf(lines, "*ERROR* frame half written, closing the connection [" + Id + "]");
    ASSERT_GE(halfLine, 0);
    EXPECT_EQ(IndexOf(lines, kDisconnectLine, halfLine), halfLine + 1);
    // The mutex was released; later frames are refused, none reaches the broker.
    auto m = TNamedMutex::CreateOrOpen(TMQTTClient::WriteMutexName(Id));
    EXPECT_EQ(m->Wait(0), TWaitResult::Acquired);
    m->Release();
    try {
        client.SendFrame(kPingreq.data(), 2);
        ADD_FAILURE() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "SocketReady check failed");
    }
    slow.ResumeReading();
    ASSERT_TRUE(slow.WaitForPeerClose(kWaitMs));
    const Bytes received = slow.Received();
    EXPECT_GT(received.size(), 0u);
    EXPECT_LT(received.size(), frame.size());
    EXPECT_TRUE(std::equal(received.begin(), received.end(), frame.begin())) << "only a part of the frame, nothing after";
}

// Under TLS a write that gives up has handed its piece to the session as a
// record, part of which may be on the wire; the session sends the rest of it
// ahead of the next write of anybody. So even a frame of whose bytes none
// was reported written is half written, and the connection closes.
TEST_F(ClientTest, AFrameWhoseTlsRecordIsHeldBackClosesTheConnection)
{
    const TTestCertificates& certs = TestCertificates();
    TTlsTestServer::TOptions serverOptions;
    serverOptions.CertFile = certs.Server.CertFile;
    serverOptions.KeyFile = certs.Server.KeyFile;
    serverOptions.BufferSize = 4096;
    std::promise<void> done;
    auto released = done.get_future().share();
    TTlsTestServer server(serverOptions, [released](SSL*, int) { released.wait(); });   // never reads
    struct TRelease {
        std::promise<void>& Done;
        ~TRelease() { Done.set_value(); }
    } release{done};

    TMQTTClientOptions options;
    options.Tls.Enabled = true;
    options.Tls.CaFile = certs.Pki.CaFile();
    options.WriteStallMs = 500;
    Id = UniqueClientID("tlsstall");
    TMQTTClient client("localhost", server.Port(), Id, Log.Options(options));
    ASSERT_TRUE(client.SocketReady);
    // One-piece frames until the broker's window and our buffer are full.
    Bytes frame(2000, 0x41);
    frame[0] = 0x30;   // PUBLISH, remaining length 1997
    frame[1] = 0xCD;
    frame[2] = 0x0F;
    std::string raised;
    for (int i = 0; i < 20000 && raised.empty(); ++i) {
        try {
            client.SendFrame(frame.data(), static_cast<int32_t>(frame.size()));
        } catch (const Exception& e) {
            raised = e.Message();
        }
    }
    EXPECT_EQ(raised, "Socket Write Error");
    EXPECT_FALSE(client.SocketReady);
    ASSERT_TRUE(Log.Flush());
    const auto lines = Log.Lines("MQTT_Unit");
    const int halfLine = IndexOf(lines, "*ERROR* frame half written, closing the connection [" + Id + "]");
    ASSERT_GE(halfLine, 0);
    EXPECT_EQ(IndexOf(lines, kDisconnectLine, halfLine), halfLine + 1);
}

// A DISCONNECT over TLS: the broker hangs up as soon as it has read it, and the
// reader closes the socket when it sees that, perhaps before the writer has
// finished with the frame. Every byte was out: no error, no half frame, and the
// connection ends the broker's way. Many cycles, so the close lands at every
// point of the write at least once.
TEST_F(ClientTest, ATlsDisconnectThatWentOutIsWrittenWhateverTheBrokerDoesNext)
{
    const Bytes disconnect = {0xE0, 0x00};
    TMQTTClientOptions options;
    options.Tls.Enabled = true;
    options.Tls.CaFile = TestCertificates().Pki.CaFile();
    TTlsTestServer::TOptions serverOptions;
    serverOptions.CertFile = TestCertificates().Server.CertFile;
    serverOptions.KeyFile = TestCertificates().Server.KeyFile;
    serverOptions.Ending = TTlsTestServer::TEnding::TcpClose;
    constexpr int kCycles = 100;
    for (int cycle = 0; cycle < kCycles; ++cycle) {
        SCOPED_TRACE("cycle " + std::to_string(cycle));
        TTlsTestServer server(serverOptions, [](SSL* ssl, int) {
            char got[2];
            for (int n = 0; n < 2;) {
                const int read = SSL_read(ssl, got + n, 2 - n);
                if (read <= 0)
                    return;
                n += read;
            }
        });
        Id = UniqueClientID("tlsbye");
        TMQTTClient client("localhost", server.Port(), Id, Log.Options(options));
        ASSERT_TRUE(client.SocketReady);
        try {
            client.SendFrame(disconnect.data(), 2);
        } catch (const Exception& e) {
            FAIL() << "DISCONNECT raised " << e.Message();
        }
        ASSERT_TRUE(WaitUntil([&] { return !client.SocketReady; })) << "the broker's close was not noticed";
    }
    ASSERT_TRUE(Log.Flush());
    for (const auto& line : Log.Lines())
        EXPECT_EQ(line.find("*ERROR*"), std::string::npos) << line;
}

// While the receive queue's backlog is full the reader reads nothing (TCP
// pushes back on the broker) and sleeps: the room notification wakes it.
TEST_F(ClientTest, TheReaderReadsNothingWhileTheBacklogIsFull)
{
    Id = UniqueClientID("full");
    TClientSocket socket;
    socket.SetHost(Broker.Host());
    socket.SetPort(Broker.Port());
    socket.Open();
    ASSERT_TRUE(Broker.WaitForConnections(1, kWaitMs));
    TMQTTPacketQueue queue(Id);
    std::atomic<bool> full{true};
    std::atomic<int> looks{0};
    TMQTTClientReaderThread reader(socket, queue, TMQTTClient::FrameEventNameFor(Id), Id, 1000, Log.Sink());
    reader.SetBacklogProbe([&] {
        ++looks;
        return full.load();
    });
    reader.Start();
    ASSERT_TRUE(WaitUntil([&] { return looks > 0; }));
    ASSERT_TRUE(Broker.Send(Concat({kConnack, kPingresp})));
    EXPECT_FALSE(Log.WaitForLinesStartingWith("TMQTTClientReaderThread: store frame", 1, 300));
    EXPECT_EQ(queue.Count(), 0);
    EXPECT_EQ(looks, 1) << "the reader woke without data, room or termination";

    full = false;
    reader.RoomNotify()();
    ASSERT_TRUE(Log.WaitForLine(StoreLine(2, 1000, 2)));
    EXPECT_EQ(queue.Count(), 2);
    reader.Terminate();
    reader.WaitFor();
    EXPECT_TRUE(socket.Active()) << "stopping the reader leaves the connection to its owner";
}
