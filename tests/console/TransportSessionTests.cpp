// Sessions over WebSocket and through proxies against real servers: Aedes
// (3.1, 3.1.1) and mosquitto behind a WebSocket relay (5.0) over ws and wss,
// RabbitMQ's web MQTT over ws, tinyproxy and danted before them; and a scripted WebSocket broker that
// closes in the middle of a frame.
#include "ConsoleTestSupport.h"

#include "mqtt/codec/ProtocolVersion.h"
#include "support/FakeBroker.h"
#include "support/FakeWebSocketBroker.h"
#include "support/MosquittoBroker.h"
#include "support/RecordingObserver.h"
#include "support/TestPki.h"
#include "support/TransportServices.h"

#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;
using TBytes = std::vector<uint8_t>;

// The big PUBLISH(file): 64 MiB, and a quarter of it in a sanitizer's build,
// whose every byte costs many times more (the size is the plain build's proof).
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr std::size_t kBigPayload = 16u << 20;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer) || __has_feature(address_sanitizer)
constexpr std::size_t kBigPayload = 16u << 20;
#else
constexpr std::size_t kBigPayload = 64u << 20;
#endif
#else
constexpr std::size_t kBigPayload = 64u << 20;
#endif

TBytes ReadWhole(const fs::path& path)
{
    TBytes bytes(fs::file_size(path));
    std::ifstream(path, std::ios::binary).read(reinterpret_cast<char*>(bytes.data()), std::streamsize(bytes.size()));
    return bytes;
}

class TransportSessionTest : public ::testing::Test {
protected:
    TFakeFrontEnd FrontEnd;
    UdpCapture Capture;
    TRecordingObserver Observer;
    std::unique_ptr<TForm1> Form;
    fs::path PayloadDir;

    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "tarnwick_transport_XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        PayloadDir = pattern;
        Form = std::make_unique<TForm1>(FrontEnd, Capture.Port());
        Form->Run(&TForm1::FormCreate);
        Form->ClientIDEdit.Text = "ws-test";
        Form->PayloadDirectory = PayloadDir.string();
        Form->SessionObserver = &Observer;
        Form->ReportPauseSpn.SetValue(0);
        Form->BrokerEdit1.Text = "127.0.0.1";
    }
    void TearDown() override
    {
        Form.reset();
        if (!PayloadDir.empty())
            fs::remove_all(PayloadDir);
    }
    void Use(TTransportKind transport, int port)
    {
        Form->TransportCmb.Index = static_cast<int>(transport);
        Form->BrokerPortSpn.SetValue(port);
        Form->TlsCaFileEdit.Text = TestCertificates().Pki.CaFile();
    }
    std::vector<TLine> Run(THandler handler)
    {
        return LinesDuring(Capture, Form->Events, [&] { Form->Run(handler); });
    }
    bool Logged(const std::string& text, int timeoutMs = 10000)
    {
        return Capture.WaitFor([&](const std::vector<std::string>& datagrams) {
            return std::any_of(datagrams.begin(), datagrams.end(),
                               [&](const std::string& d) { return UdpCapture::Field(d, 7).find(text) != std::string::npos; });
        }, timeoutMs);
    }
    void NoFailures()
    {
        EXPECT_TRUE(FrontEnd.Errors.empty()) << FrontEnd.Errors[0];
        for (const TLine& line : LinesOf(Capture))
            EXPECT_EQ(line.second.find("*EXCEPTIN*"), std::string::npos) << line.second;
    }
    // CONNECT, SUBSCRIBE, PUBLISH at each QoS up to maxQos coming back through
    // the subscription, 64 MiB from a file arriving whole, DISCONNECT.
    void WholeSession(TProtocolVersion version, int maxQos)
    {
        Form->ProtocolVersionCmb.Index = Form->ProtocolVersionCmb.Find(std::string(ProtocolVersionName(version)));
        Form->SubscribeTopicListEdit.Text = "ws/t";
        Form->SubscribeQoSListEdit.Text = std::to_string(maxQos);
        Form->PublishTopicEdit.Text = "ws/t";
        Run(&TForm1::ConnectBtnClick);
        ASSERT_NE(Form->Client, nullptr) << Describe(LinesOf(Capture));
        EXPECT_TRUE(HasLinesInOrder(Run(&TForm1::MQTT_CONNECT_BtnClick), {{Console, "ConnectReturnCode 0"}}));
        EXPECT_TRUE(HasLinesInOrder(Run(&TForm1::Button2Click),
                                    {{Console, "SubackGrantedQoSList " + std::to_string(maxQos)}}));
        const char* answers[] = {"sending PUBLISH", "received PUBACK", "received PUBCOMP"};
        for (int qos = 0; qos <= maxQos; ++qos) {
            Form->PublishSpn.SetValue(qos);
            EXPECT_TRUE(HasLinesInOrder(Run(&TForm1::Button5Click), {{qos ? Console : Unit, Tag(answers[qos], "ws-test")}}));
        }
        TBytes big(kBigPayload);
        for (size_t i = 0; i < big.size(); i += 4096)
            big[i] = static_cast<uint8_t>(i / 4096);
        const fs::path file = PayloadDir / "big.in";
        std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(big.data()), std::streamsize(big.size()));
        Form->PublishDataFileEdit.Text = file.string();
        Form->PublishSpn.SetValue(1);
        EXPECT_TRUE(HasLinesInOrder(Run(&TForm1::Button7Click), {{Console, Tag("received PUBACK", "ws-test")}}));
        const std::size_t messages = std::size_t(maxQos) + 2;
        ASSERT_TRUE(Observer.WaitFor([&](const TRecordingObserver& o) { return o.Saved.size() == messages; }, 60000))
            << Describe(LinesOf(Capture));
        Run(&TForm1::Button4Click);
        Run(&TForm1::DisconnectBtnClick);
        NoFailures();
        bool whole = false;
        for (const fs::directory_entry& entry : fs::directory_iterator(PayloadDir))
            whole = whole || (entry.path() != file && entry.file_size() == big.size() && ReadWhole(entry.path()) == big);
        EXPECT_TRUE(whole);
    }
};

#define START_OR_SKIP(server, call)                                          \
    if (!(server).call) {                                                    \
        std::string why = (server).Error();                                  \
        if (why.find("npm") != std::string::npos || why.find("not installed") != std::string::npos || \
            why.find("root") != std::string::npos || why.find("Debian package") != std::string::npos) \
            GTEST_SKIP() << why;                                             \
        FAIL() << why;                                                       \
    }

class WebSocketSessionTest : public TransportSessionTest,
                             public ::testing::WithParamInterface<std::tuple<TProtocolVersion, TTransportKind>> {};

TEST_P(WebSocketSessionTest, WholeSessionInTheVersion)
{
    const auto [version, transport] = GetParam();
    const TTestCertificates& certs = TestCertificates();
    MosquittoBroker mosquitto;
    TNodeBroker broker;
    if (version == TProtocolVersion::MQTT50) {
        if (!MosquittoBroker::Available())
            GTEST_SKIP() << "mosquitto not installed (Debian package mosquitto)";
        ASSERT_TRUE(mosquitto.Start()) << mosquitto.Error();
        START_OR_SKIP(broker, StartRelay(mosquitto.Port(), certs.Server.CertFile, certs.Server.KeyFile));
    } else {
        START_OR_SKIP(broker, StartAedes(certs.Server.CertFile, certs.Server.KeyFile));
    }
    Use(transport, transport == TTransportKind::WebSocketTls ? broker.WssPort() : broker.WsPort());
    WholeSession(version, 2);
}

// RabbitMQ's web MQTT plugin: another WebSocket server in front of a broker
// that grants QoS 1 at most.
TEST_F(TransportSessionTest, RabbitMqWebMqttSession)
{
    TRabbitMqBroker broker;
    START_OR_SKIP(broker, Start());
    Use(TTransportKind::WebSocket, broker.WsPort());
    Form->WsPathEdit.Text = "/ws";
    WholeSession(TProtocolVersion::MQTT311, 1);
}

std::string CaseName(const ::testing::TestParamInfo<std::tuple<TProtocolVersion, TTransportKind>>& info)
{
    const TProtocolVersion version = std::get<0>(info.param);
    return std::string(version == TProtocolVersion::MQTT31 ? "MQTT31" : version == TProtocolVersion::MQTT311 ? "MQTT311" : "MQTT50") +
           (std::get<1>(info.param) == TTransportKind::WebSocket ? "_ws" : "_wss");
}

INSTANTIATE_TEST_SUITE_P(
    VersionsAndTransports, WebSocketSessionTest,
    ::testing::Combine(::testing::Values(TProtocolVersion::MQTT31, TProtocolVersion::MQTT311, TProtocolVersion::MQTT50),
                       ::testing::Values(TTransportKind::WebSocket, TTransportKind::WebSocketTls)),
    CaseName);

TEST_F(TransportSessionTest, ARefusedUpgradeFailsOpenWithTheStatusLine)
{
    TNodeBroker broker;
    START_OR_SKIP(broker, StartAedes());
    Use(TTransportKind::WebSocket, broker.WsPort());
    Form->WsPathEdit.Text = "/elsewhere";
    Run(&TForm1::ConnectBtnClick);
    EXPECT_EQ(Form->Client, nullptr);
    EXPECT_EQ(FrontEnd.Boxes.size(), 1u);
    // A refusal is not tried again.
    EXPECT_TRUE(Logged("*ERROR* could not connect to 127.0.0.1:" + std::to_string(broker.WsPort()) +
                       ": WebSocket upgrade refused: HTTP/1.1 404 Not Found (attempt 1, "));
    EXPECT_FALSE(Logged("(attempt 2, ", 0));
}

// Every transport through each proxy; each proxy refuses once, in its words.
TEST_F(TransportSessionTest, ProxiesTunnelEveryTransportAndSayWhyTheyRefuse)
{
    TNodeBroker broker;
    START_OR_SKIP(broker, StartAedes(TestCertificates().Server.CertFile, TestCertificates().Server.KeyFile));
    const int closedPort = FakeBroker::UnusedPort();
    struct TRow {
        const char* Name;
        TProxyServer::TKind Kind;
        bool WithUser;
        const char* Password;
        TTransportKind Transport;
        int Port;
        std::string Refusal;   // empty: opens
    };
    using K = TProxyServer::TKind;
    const TRow rows[] = {
        {"HTTP, TCP", K::Http, true, TProxyServer::Password, TTransportKind::Tcp, broker.TcpPort(), ""},
        {"HTTP, wss", K::Http, false, "", TTransportKind::WebSocketTls, broker.WssPort(), ""},
        {"HTTP, wrong password", K::Http, true, "wrong", TTransportKind::WebSocket, broker.WsPort(),
         "HTTP proxy refused: HTTP/1.0 401 Unauthorized"},
        {"SOCKS5 with a user, ws", K::Socks5, true, TProxyServer::Password, TTransportKind::WebSocket, broker.WsPort(), ""},
        {"SOCKS5, wrong password", K::Socks5, true, "wrong", TTransportKind::WebSocket, broker.WsPort(),
         "SOCKS5 proxy refused the user name or password"},
        {"SOCKS5, closed port", K::Socks5, false, "", TTransportKind::Tcp, closedPort,
         "SOCKS5 proxy refused: connection refused (reply 5)"},
    };
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.Name);
        TProxyServer proxy;
        START_OR_SKIP(proxy, Start(row.Kind, row.WithUser));
        Use(row.Transport, row.Port);
        Form->ProxyCmb.Index = row.Kind == K::Http ? 1 : 2;
        Form->ProxyHostEdit.Text = "127.0.0.1";
        Form->ProxyPortSpn.SetValue(proxy.Port());
        Form->ProxyUserEdit.Text = row.WithUser ? TProxyServer::User : "";
        Form->ProxyPasswordEdit.Text = row.Password;
        FrontEnd.Boxes.clear();
        Run(&TForm1::ConnectBtnClick);
        if (!row.Refusal.empty()) {
            EXPECT_EQ(Form->Client, nullptr);
            EXPECT_TRUE(Logged(": " + row.Refusal + " (attempt 1, ")) << Describe(LinesOf(Capture)) << proxy.Log();
            continue;
        }
        ASSERT_NE(Form->Client, nullptr) << proxy.Log();
        EXPECT_TRUE(HasLinesInOrder(Run(&TForm1::MQTT_CONNECT_BtnClick), {{Console, "ConnectReturnCode 0"}}));
        Run(&TForm1::DisconnectBtnClick);
    }
    NoFailures();
}

// The broker sends half a PUBLISH and closes the WebSocket: its code and words
// reach the log and the lost connection's reason; the half frame is dropped.
TEST_F(TransportSessionTest, ABrokerClosingTheWebSocketMidFrameIsToldWithItsCode)
{
    TFakeWebSocketBroker broker;
    Use(TTransportKind::WebSocket, broker.Port());
    Run(&TForm1::ConnectBtnClick);
    ASSERT_NE(Form->Client, nullptr);
    TBytes wire = TFakeWebSocketBroker::Frame(2, {0x30, 0x20, 0x00, 0x01, 't'});
    const TBytes close = TFakeWebSocketBroker::CloseFrame(1011, "bye");
    wire.insert(wire.end(), close.begin(), close.end());
    ASSERT_TRUE(broker.Send(wire));
    EXPECT_TRUE(Logged("*ERROR* closed by the broker: WebSocket close 1011 internal error: bye [ws-test]"));
    EXPECT_TRUE(Observer.WaitFor([](const TRecordingObserver& o) { return !o.Lost.empty(); }));
    EXPECT_EQ(Observer.Snapshot(&TRecordingObserver::Lost),
              std::vector<std::string>{"closed by the broker: WebSocket close 1011 internal error: bye"});
    EXPECT_TRUE(Observer.Snapshot(&TRecordingObserver::Frames).empty());
    Run(&TForm1::DisconnectBtnClick);
    NoFailures();
}

}  // namespace
