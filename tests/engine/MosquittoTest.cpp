#include <gtest/gtest.h>

#include <functional>
#include <set>

#include "EngineTestSupport.h"
#include "mqtt/codec/FrameBuilders.h"
#include "mqtt/codec/MQTTPacket.h"
#include "mqtt/engine/FrameSignal.h"
#include "mqtt/engine/MQTTClient.h"
#include "support/MosquittoBroker.h"
#include "support/TestPki.h"

using namespace enginetest;

namespace {

// MQTT 3.1 limits client identifiers to 23 characters.
std::string ShortID(const std::string& stem)
{
    static int n = 0;
    return "tw" + stem + std::to_string(::getpid() % 10000) + "x" + std::to_string(++n);
}

// Sends the frame and waits for the answer that take() finds in the queue.
// The wait begins before the write, so a quick answer is not missed.
std::unique_ptr<TMQTTPacket> Request(TMQTTClient& client, const TFrameBuffer& frame, int32_t length,
    const std::function<bool(std::unique_ptr<TMQTTPacket>&)>& take, int timeoutMs = kWaitMs)
{
    TFrameWait wait(client.FrameEventName);
    if (frame)
        client.SendFrame(frame.get(), length);
    std::unique_ptr<TMQTTPacket> answer;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!take(answer)) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return nullptr;
        wait.Wait(static_cast<int>(left));
    }
    answer->AnalyzePacket();
    return answer;
}

class MosquittoEngineTest : public MosquittoTest {
protected:
    std::unique_ptr<TMQTTClient> ConnectMqtt(const std::string& stem, const std::string& payloadDir)
    {
        return ConnectMqttTo(Broker, Broker.Host(), stem, payloadDir);
    }

    // Opens a client with Tls and sends CONNECT; the CONNACK must accept it.
    std::unique_ptr<TMQTTClient> ConnectMqttTo(MosquittoBroker& broker, const std::string& host,
        const std::string& stem, const std::string& payloadDir)
    {
        TMQTTClientOptions options;
        options.PayloadDirectory = payloadDir;
        options.Sink = &Log.Sink();
        options.Tls = Tls;
        auto client = std::make_unique<TMQTTClient>(host, broker.Port(), ShortID(stem), options);
        EXPECT_TRUE(client->SocketReady);
        if (!client->SocketReady)
            return client;
        TFrameBuffer frame;
        int32_t length = 0;
        // No keep-alive: these clients send nothing while a long transfer runs,
        // which under a sanitizer on a busy machine can outlast any interval.
        EXPECT_TRUE(BuildConnectFrame(frame, length, client->ClientID, "", "", false, true, 0, 0, "", ""));
        auto connack = Request(*client, frame, length, [&](auto& p) { return client->ReceiveQueue().TakeFirst(2, p); });
        EXPECT_NE(connack, nullptr) << broker.Log();
        if (connack) {
            EXPECT_EQ(connack->ConnectReturnCode, 0);
        }
        return client;
    }

    void Subscribe(TMQTTClient& client, const std::string& topic, int qos)
    {
        TFrameBuffer frame;
        int32_t length = 0;
        ASSERT_TRUE(BuildSubscribeFrame(frame, length, false, 1, topic, std::to_string(qos)));
        auto suback = Request(client, frame, length, [&](auto& p) { return client.ReceiveQueue().TakeByKey(9, 1, p); });
        ASSERT_NE(suback, nullptr) << Broker.Log();
        EXPECT_EQ(suback->SubackGrantedQoSList, std::to_string(qos));
    }

    // Publishes through the client and runs the sender's side of the flow.
    void Publish(TMQTTClient& client, int qos, int id, const std::string& topic, const Bytes& payload)
    {
        TFrameBuffer frame;
        int32_t length = 0;
        ASSERT_TRUE(BuildPublishFrame(frame, length, false, false, qos, topic, id, payload.data(),
            static_cast<int32_t>(payload.size())));
        auto& queue = client.ReceiveQueue();
        if (qos == 0) {
            client.SendFrame(frame.get(), length);
        } else if (qos == 1) {
            ASSERT_NE(Request(client, frame, length, [&](auto& p) { return queue.TakeByKey(4, id, p); }), nullptr);
        } else {
            ASSERT_NE(Request(client, frame, length, [&](auto& p) { return queue.TakeByKey(5, id, p); }), nullptr);
            TFrameBuffer pubrel;
            ASSERT_TRUE(BuildPubrelFrame(pubrel, length, false, id));
            ASSERT_NE(Request(client, pubrel, length, [&](auto& p) { return queue.TakeByKey(7, id, p); }), nullptr);
        }
    }

    // A 64 MiB message published by one client and received by another
    // arrives whole in the subscriber's payload file.
    void TransferWhole(int qos)
    {
        auto subscriber = ConnectMqtt("big", Received.Path());
        ASSERT_TRUE(subscriber->SocketReady);
        Subscribe(*subscriber, "tw/big", qos);
        auto publisher = ConnectMqtt("bigp", Unused.Path());
        ASSERT_TRUE(publisher->SocketReady);

        Bytes payload(64 * 1024 * 1024);
        uint32_t x = 12345;
        for (auto& b : payload) {
            x = x * 1103515245u + 12345u;
            b = static_cast<uint8_t>(x >> 24);
        }
        Publish(*publisher, qos, qos == 0 ? 0 : 77, "tw/big", payload);
        ASSERT_TRUE(WaitUntil(
            [&] {
                const auto files = Received.PayloadFiles();
                return files.size() == 1 && Received.Size(files[0]) == static_cast<int64_t>(payload.size());
            },
            120000))
            << Broker.Log();
        EXPECT_TRUE(Received.Read(Received.PayloadFiles()[0]) == payload);
        EXPECT_TRUE(subscriber->SocketReady) << Broker.Log();
        EXPECT_TRUE(publisher->SocketReady) << Broker.Log();
    }

    TLogCapture Log;
    TTempDir Received;
    TTempDir Unused;
    TTlsConfig Tls;   // off: the clear connection
};

// The fixture's broker listens with TLS only (the test CA's server
// certificate for localhost and 127.0.0.1); its clients trust the test CA.
class MosquittoTlsEngineTest : public MosquittoEngineTest {
protected:
    void SetUp() override
    {
        const TTestCertificates& c = TestCertificates();
        Broker.UseTls(c.Pki.CaFile(), c.Server.CertFile, c.Server.KeyFile);
        Tls.Enabled = true;
        Tls.CaFile = c.Pki.CaFile();
        MosquittoEngineTest::SetUp();
    }
};

std::multiset<Bytes> Contents(const TTempDir& dir)
{
    std::multiset<Bytes> all;
    for (const auto& name : dir.PayloadFiles())
        all.insert(dir.Read(name));
    return all;
}

} // namespace

TEST_F(MosquittoEngineTest, PublicationsOfEveryQosArriveAsPayloadFiles)
{
    auto subscriber = ConnectMqtt("sub", Received.Path());
    ASSERT_TRUE(subscriber->SocketReady);
    Subscribe(*subscriber, "tw/q", 2);
    auto publisher = ConnectMqtt("pub", Unused.Path());
    ASSERT_TRUE(publisher->SocketReady);

    std::multiset<Bytes> expected;
    for (int qos = 0; qos <= 2; ++qos) {
        Bytes payload(300 + qos * 5000, static_cast<uint8_t>(qos + 1));
        const uint8_t head[] = {'q', static_cast<uint8_t>('0' + qos), 0x00, 0xFF};
        std::copy(std::begin(head), std::end(head), payload.begin());
        expected.insert(payload);
        Publish(*publisher, qos, 100 + qos, "tw/q", payload);
    }
    ASSERT_TRUE(WaitUntil([&] { return Contents(Received) == expected; })) << Broker.Log();
    // A file is complete before its answer goes out; its line comes last.
    ASSERT_TRUE(Log.WaitForLinesStartingWith("PublishDataFile " + Received.Path() + "/Pub_", 3));
    for (const auto& name : Received.Files())
        EXPECT_TRUE(IsPayloadFileName(name)) << name;
    EXPECT_TRUE(Unused.Files().empty());
    EXPECT_TRUE(subscriber->SocketReady);

    // The subscriber answered the broker's QoS 1 and 2 deliveries itself.
    ASSERT_TRUE(Log.Flush());
    const std::string id = subscriber->ClientID;
    EXPECT_EQ(Log.CountOf("sending PUBACK [" + id + "]"), 1);
    EXPECT_EQ(Log.CountOf("sending PUBCOMP [" + id + "]"), 1);
    EXPECT_EQ(Log.CountOf("cound not receive PUBREL [" + id + "]"), 0);
}

TEST_F(MosquittoEngineTest, A64MiBPublicationArrivesWhole)
{
    TransferWhole(0);
}

TEST_F(MosquittoTlsEngineTest, A64MiBPublicationArrivesWholeOverTls)
{
    TransferWhole(1);
}

// "Open" over TLS: the broker is authenticated (and the client, when the
// broker asks), or the connection fails with OpenSSL's reason in its line.
TEST_F(MosquittoTlsEngineTest, OpenAuthenticatesTheBrokerOrSaysWhyNot)
{
    const TTestCertificates& c = TestCertificates();
    struct TCase {
        const char* Name;
        const TTestPki::TIdentity* ServerCert;
        bool RequireCertificate;
        const TTestPki* TrustedCa;
        const TTestPki::TIdentity* ClientCert;
        const char* Reason;   // nullptr: CONNACK
    };
    const TCase cases[] = {
        {"server authentication", &c.Server, false, &c.Pki, nullptr, nullptr},
        {"mutual authentication", &c.Server, true, &c.Pki, &c.Client, nullptr},
        // mosquitto sends its CA along with its certificate.
        {"unknown CA", &c.Server, false, &c.OtherCa, nullptr,
            "certificate verify failed: self-signed certificate in certificate chain"},
        {"name mismatch", &c.OtherName, false, &c.Pki, nullptr, "certificate verify failed: hostname mismatch"},
        {"expired", &c.Expired, false, &c.Pki, nullptr, "certificate verify failed: certificate has expired"},
        {"client without the required certificate", &c.Server, true, &c.Pki, nullptr,
            "tlsv13 alert certificate required"},
    };
    for (const TCase& test : cases) {
        SCOPED_TRACE(test.Name);
        MosquittoBroker broker;
        broker.UseTls(c.Pki.CaFile(), test.ServerCert->CertFile, test.ServerCert->KeyFile, test.RequireCertificate);
        ASSERT_TRUE(broker.Start()) << broker.Error();
        Tls.CaFile = test.TrustedCa->CaFile();
        Tls.CertFile = test.ClientCert ? test.ClientCert->CertFile : "";
        Tls.KeyFile = test.ClientCert ? test.ClientCert->KeyFile : "";
        if (!test.Reason) {
            auto client = ConnectMqttTo(broker, "localhost", "tls", Unused.Path());
            EXPECT_TRUE(client->SocketReady);
            continue;
        }
        TLogCapture log;
        const std::string id = ShortID("tlsno");
        TMQTTClientOptions options;
        options.Tls = Tls;
        TMQTTClient client("localhost", broker.Port(), id, log.Options(options));
        EXPECT_FALSE(client.SocketReady);
        ASSERT_TRUE(log.Flush());
        // One attempt (the same certificate would be refused again): its
        // notification, then the reason; no connect line.
        const auto lines = log.Lines();
        ASSERT_EQ(lines.size(), 2u) << broker.Log();
        EXPECT_EQ(lines[0], "ClientSocketOnDisconnect: start");
        EXPECT_TRUE(IsAttemptLine(lines[1], "*ERROR* could not connect to localhost:" + std::to_string(broker.Port())
                                                + ": TLS handshake failed: " + test.Reason, 1, id))
            << lines[1];
    }
}
