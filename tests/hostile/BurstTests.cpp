// No message lost under a burst: a real mosquitto delivers 200 QoS 0, 100 QoS 1
// and 100 QoS 2 messages to the console's client as fast as the publisher
// sends them (the QoS 0 ones and the first QoS 1/2 ones in a single write).
// Every one must be acknowledged as its QoS asks and saved once.
#include "HostileSupport.h"

#include "diag/AppEventMsg.h"
#include "mqtt/codec/FrameBuilders.h"
#include "mqtt/codec/MQTTPacket.h"
#include "mqtt/engine/FrameSignal.h"
#include "mqtt/engine/MQTTClient.h"
#include "support/MosquittoBroker.h"

#include <unistd.h>

#include <algorithm>
#include <functional>

using namespace hostile;

namespace {

constexpr int QoS0Count = 200;
constexpr int QoS1Count = 100;
constexpr int QoS2Count = 100;
constexpr int Total = QoS0Count + QoS1Count + QoS2Count;

TAnswerTimeouts Timeouts(int ms)
{
    return TAnswerTimeouts{ms, ms, ms, ms, ms, ms, ms};
}

// The publishing side: one raw client. The QoS 0 messages and the first
// QoS 1/2 messages go out in one write; it runs its own QoS 1 and QoS 2
// handshakes from its queue.
//
// QoS 1/2 messages are kept at most Window ahead of what the subscriber has
// acknowledged: mosquitto 2.0.11 stops delivering QoS 2 messages it had to
// queue behind a slow subscriber (seen with an independent raw subscriber as
// well), so the burst stays inside the broker's in-flight window of 20.
class TBurstPublisher {
public:
    static constexpr std::size_t Window = 10;

    TBurstPublisher(int port, const std::string& clientID) : Client("127.0.0.1", port, clientID) {}

    ::testing::AssertionResult Connect()
    {
        if (!Client.SocketReady)
            return ::testing::AssertionFailure() << "publisher could not connect";
        TFrameBuffer frame;
        int32_t length = 0;
        if (!BuildConnectFrame(frame, length, Client.ClientID, "", "", false, true, 0, 600, "", ""))
            return ::testing::AssertionFailure() << "CONNECT not built";
        TFrameWait wait(Client.FrameEventName);
        Client.SendFrame(frame.get(), length);
        std::unique_ptr<TMQTTPacket> connack;
        const auto deadline = Clock::now() + std::chrono::seconds(20);
        while (!Client.Queue().TakeFirst(2, connack)) {
            if (Clock::now() >= deadline)
                return ::testing::AssertionFailure() << "no CONNACK for the publisher";
            wait.Wait(1000);
        }
        connack->AnalyzePacket();
        if (connack->ConnectReturnCode != 0)
            return ::testing::AssertionFailure() << "publisher refused, code " << connack->ConnectReturnCode;
        return ::testing::AssertionSuccess();
    }

    // qos0: frames sent at once; qos12: frames sent Window ahead of
    // subscriberDone(), which tells how many QoS 1/2 messages the subscriber
    // has acknowledged so far and may wait up to the given ms for more.
    ::testing::AssertionResult PublishAll(const TFrame& qos0, const std::vector<TFrame>& qos12,
                                          const std::function<std::size_t(std::size_t, int)>& subscriberDone,
                                          int timeoutMs)
    {
        TFrameWait wait(Client.FrameEventName);
        std::size_t next = 0;
        TFrame first = qos0;
        for (; next < qos12.size() && next < Window; ++next)
            first.insert(first.end(), qos12[next].begin(), qos12[next].end());
        Client.SendFrame(first.data(), static_cast<int32_t>(first.size()));

        std::size_t acknowledged = 0, done = 0;
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (acknowledged < qos12.size() || next < qos12.size()) {
            bool progress = false;
            while (next < qos12.size() && next - std::min(next, done) < Window) {
                Client.SendFrame(qos12[next].data(), static_cast<int32_t>(qos12[next].size()));
                ++next;
                progress = true;
            }
            std::unique_ptr<TMQTTPacket> packet;
            while (Client.Queue().TakeFirst(5, packet)) {
                TFrameBuffer pubrel;
                int32_t length = 0;
                if (!BuildPubrelFrame(pubrel, length, false, packet->MessageID))
                    return ::testing::AssertionFailure() << "PUBREL not built";
                Client.SendFrame(pubrel.get(), length);
                progress = true;
            }
            for (int type : {4, 7})
                while (Client.Queue().TakeFirst(type, packet)) {
                    ++acknowledged;
                    progress = true;
                }
            if (progress)
                continue;
            if (Clock::now() >= deadline)
                return ::testing::AssertionFailure() << "sent " << next << " of " << qos12.size()
                                                     << " QoS 1/2 messages, " << acknowledged
                                                     << " acknowledged by the broker, " << done
                                                     << " by the subscriber";
            // Whichever comes first: an answer to the publisher or an acknowledgement by the subscriber.
            if (!wait.Wait(20))
                done = subscriberDone(done + 1, 20);
        }
        return ::testing::AssertionSuccess();
    }

    void Disconnect()
    {
        TFrameBuffer frame;
        int32_t length = 0;
        if (BuildDisconnectFrame(frame, length) && Client.SocketReady)
            Client.SendFrame(frame.get(), length);
    }

private:
    TMQTTClient Client;
};

class HostileBurstTest : public MosquittoTest {};

TEST_F(HostileBurstTest, EveryMessageOfABurstIsAcknowledgedAndSavedOnce)
{
    TWatchdog watchdog("burst of 400 messages", 500000);
    UdpCapture capture;
    TFakeFrontEnd frontEnd;
    TPayloadDir payloads;
    const std::string stem = std::to_string(::getpid() % 100000);
    const std::string subscriberID = "twsub" + stem;
    const std::string topic = "tw/burst/" + stem;

    TForm1 form(frontEnd, capture.Port());
    form.Run(&TForm1::FormCreate);
    ASSERT_TRUE(frontEnd.Errors.empty());
    form.ClientIDEdit.Text = subscriberID;
    form.BrokerPortSpn.SetValue(Broker.Port());
    form.PayloadDirectory = payloads.Path();
    form.KeepAliveSpn.SetValue(600);
    form.AnswerTimeouts = Timeouts(10000);
    form.SubscribeTopicListEdit.Text = topic + "/#";
    form.SubscribeQoSListEdit.Text = "2";

    const auto tagged = [&](const std::string& text) { return Tag(text, subscriberID); };
    form.Run(&TForm1::ConnectBtnClick);
    ASSERT_NE(form.Client, nullptr);
    ASSERT_TRUE(form.Client->SocketReady);
    form.Run(&TForm1::MQTT_CONNECT_BtnClick);
    form.Run(&TForm1::Button2Click);
    ASSERT_TRUE(WaitForSequences(capture,
                                 {{{Console, "ConnectReturnCode 0"}, {Console, tagged("received SUBACK")},
                                   {Console, "SubackGrantedQoSList 2"}}},
                                 10000))
        << Broker.Log();
    ASSERT_TRUE(frontEnd.Errors.empty());

    // Distinct payloads, so the files can be matched one to one.
    std::vector<std::string> sent;
    TFrame qos0;
    std::vector<TFrame> qos12;
    auto build = [&](int qos, int id, int n) {
        const std::string payload = "burst q" + std::to_string(qos) + " n" + std::to_string(n) + " " + stem;
        TFrameBuffer frame;
        int32_t length = 0;
        EXPECT_TRUE(BuildPublishFrame(frame, length, false, false, qos, topic + "/q" + std::to_string(qos), id,
                                      reinterpret_cast<const uint8_t*>(payload.data()),
                                      static_cast<int32_t>(payload.size())));
        sent.push_back(payload);
        return TFrame(frame.get(), frame.get() + length);
    };
    for (int n = 0; n < QoS0Count; ++n) {
        const TFrame f = build(0, 0, n);
        qos0.insert(qos0.end(), f.begin(), f.end());
    }
    for (int n = 0; n < QoS1Count; ++n) {   // QoS 1 and QoS 2 alternate
        qos12.push_back(build(1, 1 + n, n));
        qos12.push_back(build(2, 1001 + n, n));
    }
    ASSERT_EQ(sent.size(), static_cast<std::size_t>(Total));

    // How many QoS 1/2 flows the subscriber has acknowledged (PUBACK or PUBCOMP sent).
    const std::string pubackLine = tagged("sending PUBACK");
    const std::string pubcompLine = tagged("sending PUBCOMP");
    std::size_t seen = 0, subscriberAcks = 0;
    auto subscriberDone = [&](std::size_t atLeast, int waitMs) {
        capture.WaitFor(
            [&](const std::vector<std::string>& datagrams) {
                for (; seen < datagrams.size(); ++seen) {
                    const std::string message = UdpCapture::Field(datagrams[seen], 7);
                    if (message == pubackLine || message == pubcompLine)
                        ++subscriberAcks;
                }
                return subscriberAcks >= atLeast;
            },
            waitMs);
        return subscriberAcks;
    };

    {
        TBurstPublisher publisher(Broker.Port(), "twpub" + stem);
        ASSERT_TRUE(publisher.Connect()) << Broker.Log();
        ASSERT_TRUE(publisher.PublishAll(qos0, qos12, subscriberDone, 300000)) << Broker.Log();
        publisher.Disconnect();
    }

    // The event handler reports each message (about 100 ms of pauses apiece), then writes its file.
    const TExp reported{HandlerSource, "PublishDataSize ", true};
    EXPECT_TRUE(WaitForCountOf(capture, reported, Total, 300000));
    EXPECT_TRUE(payloads.WaitForFiles(Total, 30000)) << payloads.ClosedCount() << " files";

    form.Events.SendEventMsg("burst done", "hostile-test", 0, 0);
    ASSERT_TRUE(capture.WaitForMessage("burst done", 10000));
    const std::vector<TLine> lines = LinesOf(capture);
    EXPECT_EQ(CountOf(lines, reported), static_cast<std::size_t>(Total));
    EXPECT_EQ(CountOf(lines, {HandlerSource, "FixedQos        0"}), static_cast<std::size_t>(QoS0Count));
    EXPECT_EQ(CountOf(lines, {HandlerSource, "FixedQos        1"}), static_cast<std::size_t>(QoS1Count));
    EXPECT_EQ(CountOf(lines, {HandlerSource, "FixedQos        2"}), static_cast<std::size_t>(QoS2Count));
    EXPECT_EQ(CountOf(lines, {HandlerSource, tagged("sending PUBACK")}), static_cast<std::size_t>(QoS1Count));
    EXPECT_EQ(CountOf(lines, {HandlerSource, tagged("sending PUBREC")}), static_cast<std::size_t>(QoS2Count));
    EXPECT_EQ(CountOf(lines, {HandlerSource, tagged("received PUBREL")}), static_cast<std::size_t>(QoS2Count));
    EXPECT_EQ(CountOf(lines, {HandlerSource, tagged("sending PUBCOMP")}), static_cast<std::size_t>(QoS2Count));
    for (const TLine& line : lines) {
        EXPECT_EQ(line.second.find("*EXCEPTIN*"), std::string::npos) << line.second;
        EXPECT_EQ(line.second.find("cound not receive PUBREL"), std::string::npos) << line.second;
        EXPECT_EQ(line.second.find("building failed"), std::string::npos) << line.second;
    }

    std::sort(sent.begin(), sent.end());
    const std::vector<std::string> saved = payloads.PayloadContents();
    EXPECT_EQ(saved.size(), sent.size());
    EXPECT_TRUE(saved == sent) << "the saved payloads differ from the sent ones";

    // The connection came through it all.
    EXPECT_TRUE(form.Client->SocketReady);
    capture.Clear();
    form.Run(&TForm1::MQTT_PINGREQ_BtnClick);
    EXPECT_TRUE(WaitForSequences(capture, {{{Console, tagged("received PINGRESP")}}}, 10000));
    form.Run(&TForm1::DisconnectBtnClick);
    EXPECT_EQ(form.Client, nullptr);
    EXPECT_TRUE(WaitForSequences(capture, {{{Console, "disconnected."}}}, 10000));
    EXPECT_TRUE(frontEnd.Errors.empty());
}

}  // namespace
