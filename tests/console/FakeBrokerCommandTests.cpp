// The commands against a scripted broker: exact lines, repeats with DUP,
// late answers and the queue inspection, build failures.
#include "ConsoleTestSupport.h"

#include "console/form/FieldTable.h"
#include "console/form/QueueReport.h"
#include "diag/AppEventMsg.h"
#include "mqtt/codec/MQTTPacket.h"
#include "mqtt/engine/FrameSignal.h"
#include "mqtt/engine/MQTTClient.h"
#include "support/FakeBroker.h"
#include "support/MqttFrames.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <future>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>
#include <chrono>

namespace {

using namespace testframes;

// The answer a well-behaved broker gives, or none.
std::vector<TFrame> Answer(const TFrame& f)
{
    switch (TypeOf(f)) {
    case 1: return {Connack(0)};
    case 3: {
        const int qos = (f[0] >> 1) & 3;
        if (qos == 1) return {Ack(4, IdOf(f))};
        if (qos == 2) return {Ack(5, IdOf(f))};
        return {};
    }
    case 6: return {Ack(7, IdOf(f))};
    case 8: return {Suback(IdOf(f), {2, 0})};
    case 10: return {Ack(11, IdOf(f))};
    case 12: return {Pingresp()};
    default: return {};
    }
}

TFrame PublishFrame(int qos, int id, const std::string& topic, const TFrame& payload)
{
    TFrame body{static_cast<uint8_t>(topic.size() >> 8), static_cast<uint8_t>(topic.size())};
    body.insert(body.end(), topic.begin(), topic.end());
    if (qos > 0) {
        body.push_back(static_cast<uint8_t>(id >> 8));
        body.push_back(static_cast<uint8_t>(id));
    }
    body.insert(body.end(), payload.begin(), payload.end());
    TFrame f{static_cast<uint8_t>(0x30 | (qos << 1)), static_cast<uint8_t>(body.size())};
    f.insert(f.end(), body.begin(), body.end());
    return f;
}

TAnswerTimeouts Timeouts(int ms)
{
    return TAnswerTimeouts{ms, ms, ms, ms, ms, ms, ms, ms};
}

// What a well-behaved 5.0 broker answers, all with Success.
std::vector<TFrame> Answer50(const TFrame& f)
{
    const auto id = [&] { return TFrame{static_cast<uint8_t>(IdOf(f) >> 8), static_cast<uint8_t>(IdOf(f))}; };
    switch (TypeOf(f)) {
    case 1: return {Connack5(0)};
    case 8: {
        TFrame body = id();
        body.insert(body.end(), {0, 0});   // no properties, QoS 0 granted for one topic
        return {Framed(0x90, body)};
    }
    case 10: {
        TFrame body = id();
        body.insert(body.end(), {0, 0});   // no properties, one topic unsubscribed
        return {Framed(0xB0, body)};
    }
    default: return Answer(f);
    }
}

class BrokerTest : public ::testing::Test {
protected:
    TFakeFrontEnd FrontEnd;
    UdpCapture Capture;
    FakeBroker Broker;
    std::unique_ptr<TForm1> Form;
    const std::string ID = "dev1";

    void SetUp() override
    {
        Form = std::make_unique<TForm1>(FrontEnd, Capture.Port());
        Form->Run(&TForm1::FormCreate);
        ASSERT_TRUE(FrontEnd.Errors.empty());
        Form->ClientIDEdit.Text = ID;
        Form->BrokerPortSpn.SetValue(Broker.Port());
        // Answers come within these on any machine; waits meant to time out set their own.
        Form->AnswerTimeouts = Timeouts(10000);
    }

    void Open()
    {
        Form->Run(&TForm1::ConnectBtnClick);
        ASSERT_NE(Form->Client, nullptr);
        ASSERT_TRUE(Form->Client->SocketReady);
        ASSERT_TRUE(Broker.WaitForConnections(1, 5000));
    }

    // Runs a command; its diagnostic lines, all of them.
    std::vector<TLine> Command(THandler handler)
    {
        return LinesDuring(Capture, Form->Events, [&] { Form->Run(handler); });
    }

    // Has the broker send a frame nobody waits for and returns once the client
    // has stored it and signalled its arrival.
    void SendUnawaited(const TFrame& frame)
    {
        TFrameWait arrival(Form->Client->FrameEventName);
        ASSERT_TRUE(Broker.Send(frame));
        ASSERT_TRUE(arrival.Wait(5000));
    }

    // The console's own lines of a command, without those of the client's threads and socket.
    static std::vector<TLine> ConsoleOnly(const std::vector<TLine>& lines)
    {
        std::vector<TLine> kept;
        for (const TLine& l : lines) {
            const bool engine = l.first == "TMQTTEventHandlerThread" || l.second.starts_with("TMQTT") ||
                                l.second.starts_with("ClientSocketOn") || l.second.starts_with("----- PublishData");
            if (!engine)
                kept.push_back(l);
        }
        return kept;
    }

};

// Every frame the broker got of one type.
std::vector<TFrame> FramesOfType(const std::vector<TFrame>& frames, int type)
{
    std::vector<TFrame> kept;
    for (const TFrame& f : frames)
        if (TypeOf(f) == type)
            kept.push_back(f);
    return kept;
}

// ---- session commands ----

TEST_F(BrokerTest, ConnectReportsReturnCodeAndUsesTheOpenedIdentifierInLines)
{
    int code = 5;
    Broker.OnFrame([&](const TFrame& f, FakeBroker& b) {
        if (TypeOf(f) == 1)
            b.Send(Connack(code));
    });
    Open();
    Form->ClientIDEdit.Text = "dev2";   // goes into the frame; the lines keep the opened identifier
    const std::vector<TLine> lines = Command(&TForm1::MQTT_CONNECT_BtnClick);
    EXPECT_TRUE(FrontEnd.Errors.empty());
    EXPECT_TRUE(HasLinesInOrder(lines, {{Unit, "sending CONNECT [dev1]"},
                                        {Console, "received CONNACK [dev1]"},
                                        {Console, "ConnectReturnCode 5"}}));
    const std::vector<TFrame> connects = FramesOfType(Broker.Frames(), 1);
    ASSERT_EQ(connects.size(), 1u);
    const std::string frameText(connects[0].begin(), connects[0].end());
    EXPECT_NE(frameText.find("dev2"), std::string::npos);
    EXPECT_EQ(frameText.find("dev1"), std::string::npos);
    EXPECT_NE(frameText.find("hello/my_will"), std::string::npos);
    // Connect flags: clean session and will set, will retain and QoS clear.
    EXPECT_EQ(connects[0][HeaderEnd(connects[0]) + 9], 0x06);
    EXPECT_FALSE(Form->ConnectBtnEnabled);
}

// The version chosen at "Open" and the session flags shape the CONNECT; the
// defaults give today's 3.1 frame.
TEST_F(BrokerTest, ConnectFrameFollowsTheVersionAndTheSessionFlags)
{
    const TFrame id{0, 4, 'd', 'e', 'v', '1'};
    const TFrame will{0, 1, 'w', 0, 3, 'b', 'y', 'e'};
    auto frame = [](std::initializer_list<TFrame> parts) {
        TFrame body;
        for (const TFrame& part : parts)
            body.insert(body.end(), part.begin(), part.end());
        TFrame f{0x10};
        AppendLength(f, body.size());
        f.insert(f.end(), body.begin(), body.end());
        return f;
    };
    const TFrame mqisdp{0, 6, 'M', 'Q', 'I', 's', 'd', 'p', 3};
    const TFrame mqtt4{0, 4, 'M', 'Q', 'T', 'T', 4};
    const TFrame mqtt5{0, 4, 'M', 'Q', 'T', 'T', 5};
    const TFrame keepAlive{0, 60};
    struct TRow {
        const char* Name;
        int Version;   // the protocol box's item
        bool Clean, WillRetain, Will;
        std::string ClientID;
        TFrame Expected;
        const char* ConnectProperties = "";
        const char* WillProperties = "";
        const char* Note = nullptr;   // a line before the frame goes out
    };
    const TRow rows[] = {
        {"3.1 defaults", 0, true, false, false, "dev1", frame({mqisdp, {0x02}, keepAlive, id})},
        {"3.1 will retained, no clean session", 0, false, true, true, "dev1",
         frame({mqisdp, {0x24}, keepAlive, id, will})},
        {"3.1.1", 1, true, false, false, "dev1", frame({mqtt4, {0x02}, keepAlive, id})},
        {"3.1.1 empty client id", 1, true, false, false, "", frame({mqtt4, {0x02}, keepAlive, {0, 0}})},
        {"3.1.1 will retained", 1, true, true, true, "dev1", frame({mqtt4, {0x26}, keepAlive, id, will})},
        {"5.0 without properties", 2, true, false, false, "dev1", frame({mqtt5, {0x02}, keepAlive, {0}, id})},
        {"5.0 with properties", 2, false, false, true, "dev1",
         frame({mqtt5, {0x04}, keepAlive,
                Props({PropU32(0x11, 3600), PropU16(0x21, 10), PropPair(0x26, "a", "b")}), id,
                Props({PropU32(0x18, 5)}), will}),
         "session-expiry-interval = 3600; receive-maximum = 10\nuser-property = a=b", "will-delay-interval = 5"},
        {"3.1.1 leaves the properties out", 1, true, false, false, "dev1", frame({mqtt4, {0x02}, keepAlive, id}),
         "session-expiry-interval = 3600", "", "note: CONNECT properties not sent (MQTT 5.0 only)"},
    };
    Broker.OnFrame([](const TFrame& f, FakeBroker& b) {
        if (TypeOf(f) == 1)
            b.Send(Connack(0));
    });
    std::size_t connection = 0;
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.Name);
        Form->ProtocolVersionCmb.Index = row.Version;
        Form->ClientIDEdit.Text = row.ClientID;
        Form->CleanSessionChk = row.Clean;
        Form->WillRetainChk = row.WillRetain;
        Form->WillTopicEdit.Text = row.Will ? "w" : "";
        Form->WillMessageEdit.Text = row.Will ? "bye" : "";
        Form->ConnectPropertiesEdit.Text = row.ConnectProperties;
        Form->WillPropertiesEdit.Text = row.WillProperties;
        Form->Run(&TForm1::ConnectBtnClick);
        ASSERT_NE(Form->Client, nullptr);
        const std::vector<TLine> lines = Command(&TForm1::MQTT_CONNECT_BtnClick);
        EXPECT_TRUE(HasLinesInOrder(lines, {{Console, Tag("received CONNACK", row.ClientID)}}));
        if (row.Note) {
            EXPECT_TRUE(HasLinesInOrder(lines, {{Console, Tag(row.Note, row.ClientID)},
                                                {Unit, Tag("sending CONNECT", row.ClientID)}}));
        }
        ASSERT_TRUE(Broker.WaitForFrames(1, 5000, static_cast<int>(connection)));
        EXPECT_EQ(Broker.Frames(static_cast<int>(connection)).at(0), row.Expected);
        Form->Run(&TForm1::DisconnectBtnClick);
        ++connection;
    }
    EXPECT_TRUE(FrontEnd.Errors.empty());
}

TEST_F(BrokerTest, SessionCommandsThatGetNoAnswerReportOnceWithoutRetry)
{
    Open();
    Form->AnswerTimeouts = Timeouts(200);
    struct TRow {
        THandler Handler;
        int FrameType;
        std::vector<TLine> Lines;
    };
    const TRow rows[] = {
        {&TForm1::MQTT_CONNECT_BtnClick, 1,
         {{Unit, "sending CONNECT [dev1]"}, {Unit, "*ERROR* could not receive CONNACK [dev1]"}}},
        {&TForm1::MQTT_PINGREQ_BtnClick, 12,
         {{Unit, "sending PINGREQ [dev1]"}, {Unit, "*ERROR* could not receive PINGRESP [dev1]"}}},
        {&TForm1::PingTimerTick, 12,
         {{Unit, "sending PINGREQ [dev1]"}, {Unit, "*ERROR* could not receive PINGRESP [dev1]"}}},
        {&TForm1::Button4Click, 14, {{Unit, "sending DISCONNECT [dev1]"}}},
    };
    std::size_t frames = 0;
    for (const TRow& row : rows) {
        EXPECT_EQ(ConsoleOnly(Command(row.Handler)), row.Lines);
        ++frames;
        ASSERT_TRUE(Broker.WaitForFrames(frames, 5000));
        const std::vector<TFrame> got = Broker.Frames();
        ASSERT_EQ(got.size(), frames);
        EXPECT_EQ(TypeOf(got.back()), row.FrameType);
    }
    EXPECT_EQ(Broker.Frames().back(), (TFrame{0xE0, 0x00}));
    // DISCONNECT changes nothing in the console's state.
    EXPECT_NE(Form->Client, nullptr);
    EXPECT_TRUE(Form->DisconnectBtnEnabled);
    EXPECT_TRUE(FrontEnd.Errors.empty());
}

// The answer comes at once, often before the command reaches its wait: it must
// still end the wait.
TEST_F(BrokerTest, ImmediateAnswersAreNeverMissed)
{
    Broker.OnFrame([](const TFrame& f, FakeBroker& b) {
        for (const TFrame& a : Answer(f))
            b.Send(a);
    });
    Open();
    Form->AnswerTimeouts = Timeouts(2000);
    for (int i = 0; i < 20; ++i) {
        const std::vector<TLine> lines = ConsoleOnly(Command(&TForm1::MQTT_PINGREQ_BtnClick));
        ASSERT_EQ(lines, (std::vector<TLine>{{Unit, "sending PINGREQ [dev1]"}, {Console, "received PINGRESP [dev1]"}}))
            << "run " << i;
    }
}

// A CONNACK stored after its command stopped waiting is not taken by the next
// CONNECT until a frame arrives during that CONNECT's wait.
TEST_F(BrokerTest, StoredAnswerIsTakenOnlyAfterALaterFrame)
{
    std::atomic<int> connacks{0};   // CONNECTs to answer from now on with code 3
    Broker.OnFrame([&](const TFrame& f, FakeBroker& b) {
        if (TypeOf(f) == 1 && connacks > 0) {
            --connacks;
            b.Send(Connack(3));
        }
    });
    Open();
    Form->AnswerTimeouts = Timeouts(200);
    EXPECT_EQ(ConsoleOnly(Command(&TForm1::MQTT_CONNECT_BtnClick)),
              (std::vector<TLine>{{Unit, "sending CONNECT [dev1]"}, {Unit, "*ERROR* could not receive CONNACK [dev1]"}}));
    // The late answer: stored in the queue while nobody waits.
    SendUnawaited(Connack(2));
    ASSERT_EQ(Form->Client->Queue().Count(), 1);

    // No new frame arrives: the stored CONNACK is not looked at.
    EXPECT_EQ(ConsoleOnly(Command(&TForm1::MQTT_CONNECT_BtnClick)),
              (std::vector<TLine>{{Unit, "sending CONNECT [dev1]"}, {Unit, "*ERROR* could not receive CONNACK [dev1]"}}));
    EXPECT_EQ(Form->Client->Queue().Count(), 1);

    // The broker's next answer replaces it and ends the wait.
    connacks = 1;
    Form->AnswerTimeouts = Timeouts(10000);
    EXPECT_EQ(ConsoleOnly(Command(&TForm1::MQTT_CONNECT_BtnClick)),
              (std::vector<TLine>{{Unit, "sending CONNECT [dev1]"},
                                  {Console, "received CONNACK [dev1]"},
                                  {Console, "ConnectReturnCode 3"}}));
    EXPECT_EQ(Form->Client->Queue().Count(), 0);
}

// ---- repeats with DUP ----

struct TRepeatCase {
    const char* Name;
    THandler Handler;
    int Qos;                  // for the publish commands
    int FrameType;            // the repeated request
    int FirstByte;            // its first byte without DUP
    std::vector<TLine> Lines;
    int Version = 0;          // the protocol box's item: 3.1, 3.1.1, 5.0
    bool RepeatsSetDup = true;
};
// Test lists show the case by its name.
void PrintTo(const TRepeatCase& c, std::ostream* os) { *os << c.Name; }

class RepeatTest : public BrokerTest, public ::testing::WithParamInterface<TRepeatCase> {};

TEST_P(RepeatTest, ThreeFramesWithOneIdentifierLaterTwoWithDup)
{
    const TRepeatCase& c = GetParam();
    Form->ProtocolVersionCmb.Index = c.Version;
    Open();
    Form->AnswerTimeouts = Timeouts(150);
    Form->PublishSpn.SetValue(c.Qos);
    Form->LastMessageID = 40;
    EXPECT_EQ(ConsoleOnly(Command(c.Handler)), c.Lines);
    EXPECT_TRUE(FrontEnd.Errors.empty());
    ASSERT_TRUE(Broker.WaitForFrames(3, 5000));
    const std::vector<TFrame> frames = Broker.Frames();
    ASSERT_EQ(frames.size(), 3u);
    for (std::size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(frames[i][0], c.FirstByte | (i > 0 && c.RepeatsSetDup ? 0x08 : 0)) << "frame " << i;
        EXPECT_EQ(IdOf(frames[i]), 41) << "frame " << i;
        // A repeat is the same request with DUP set.
        TFrame same = frames[i];
        same[0] = static_cast<uint8_t>(c.FirstByte);
        EXPECT_EQ(same, frames[0]) << "frame " << i;
    }
    EXPECT_EQ(Form->LastMessageID, 41);
}

std::vector<TLine> RepeatLines(const std::string& request, const std::string& answer)
{
    const std::string sending = "sending " + request + " [dev1]";
    const std::string retry = "could not receive " + answer + ", retrying.. [dev1]";
    return {{Unit, sending}, {Console, retry}, {Unit, sending}, {Console, retry}, {Unit, sending},
            {Unit, "*ERROR* could not receive " + answer + " [dev1]"}};
}

INSTANTIATE_TEST_SUITE_P(
    Commands, RepeatTest,
    ::testing::Values(
        TRepeatCase{"Subscribe", &TForm1::Button2Click, 2, 8, 0x82, RepeatLines("SUBSCRIBE", "SUBACK")},
        TRepeatCase{"Unsubscribe", &TForm1::Button3Click, 2, 10, 0xA2, RepeatLines("UNSUBSCRIBE", "UNSUBACK")},
        TRepeatCase{"PublishStrQos1", &TForm1::Button5Click, 1, 3, 0x32, RepeatLines("PUBLISH", "PUBACK")},
        TRepeatCase{"PublishStrQos2", &TForm1::Button5Click, 2, 3, 0x34, RepeatLines("PUBLISH", "PUBREC")},
        TRepeatCase{"PublishFileQos1", &TForm1::Button7Click, 1, 3, 0x32, RepeatLines("PUBLISH", "PUBACK")},
        // 3.1.1 and 5.0 repeat SUBSCRIBE and UNSUBSCRIBE unchanged; a PUBLISH still says DUP.
        TRepeatCase{"Subscribe311", &TForm1::Button2Click, 2, 8, 0x82, RepeatLines("SUBSCRIBE", "SUBACK"), 1, false},
        TRepeatCase{"Unsubscribe311", &TForm1::Button3Click, 2, 10, 0xA2, RepeatLines("UNSUBSCRIBE", "UNSUBACK"), 1,
                    false},
        TRepeatCase{"Subscribe50", &TForm1::Button2Click, 2, 8, 0x82, RepeatLines("SUBSCRIBE", "SUBACK"), 2, false},
        TRepeatCase{"PublishStrQos1In311", &TForm1::Button5Click, 1, 3, 0x32, RepeatLines("PUBLISH", "PUBACK"), 1,
                    true}),
    [](const ::testing::TestParamInfo<TRepeatCase>& info) { return std::string(info.param.Name); });

// 3.1 repeats a PUBREL with DUP set; 3.1.1 and 5.0 send the same frame again.
class PubrelRepeatTest : public BrokerTest, public ::testing::WithParamInterface<std::tuple<int, int>> {};

TEST_P(PubrelRepeatTest, PubcompRepeatsPubrelThenGivesUp)
{
    const auto [version, repeatByte] = GetParam();
    Broker.OnFrame([](const TFrame& f, FakeBroker& b) {
        if (TypeOf(f) == 3)
            b.Send(Ack(5, IdOf(f)));
    });
    Form->ProtocolVersionCmb.Index = version;
    Open();
    Form->AnswerTimeouts.Pubcomp = 150;
    EXPECT_EQ(ConsoleOnly(Command(&TForm1::Button5Click)),
              (std::vector<TLine>{{Unit, "sending PUBLISH [dev1]"},
                                  {Console, "received PUBREC [dev1]"},
                                  {Unit, "sending PUBREL [dev1]"},
                                  {Console, "could not receive PUBCOMP, retrying.. [dev1]"},
                                  {Unit, "sending PUBREL [dev1]"},
                                  {Console, "could not receive PUBCOMP, retrying.. [dev1]"},
                                  {Unit, "sending PUBREL [dev1]"},
                                  {Unit, "*ERROR* could not receive PUBCOMP [dev1]"}}));
    ASSERT_TRUE(Broker.WaitForFrames(4, 5000));
    const std::vector<TFrame> frames = Broker.Frames();
    ASSERT_EQ(frames.size(), 4u);
    EXPECT_EQ(frames[0][0], 0x34);
    const TFrame pubrel{0x62, 2, 0, 1};
    const TFrame repeat{static_cast<uint8_t>(repeatByte), 2, 0, 1};
    EXPECT_EQ(frames[1], pubrel);
    EXPECT_EQ(frames[2], repeat);
    EXPECT_EQ(frames[3], repeat);
}

INSTANTIATE_TEST_SUITE_P(Versions, PubrelRepeatTest,
                         ::testing::Values(std::tuple{0, 0x6A}, std::tuple{1, 0x62}, std::tuple{2, 0x62}));

TEST_F(BrokerTest, LostPubrecRepeatsPublishThenFlowEndsNormally)
{
    std::atomic<int> publishes{0};
    Broker.OnFrame([&](const TFrame& f, FakeBroker& b) {
        if (TypeOf(f) == 3 && ++publishes == 1)
            return;   // the first PUBREC is lost
        for (const TFrame& a : Answer(f))
            b.Send(a);
    });
    Open();
    Form->AnswerTimeouts.Pubrec = 1000;
    EXPECT_EQ(ConsoleOnly(Command(&TForm1::Button5Click)),
              (std::vector<TLine>{{Unit, "sending PUBLISH [dev1]"},
                                  {Console, "could not receive PUBREC, retrying.. [dev1]"},
                                  {Unit, "sending PUBLISH [dev1]"},
                                  {Console, "received PUBREC [dev1]"},
                                  {Unit, "sending PUBREL [dev1]"},
                                  {Console, "received PUBCOMP [dev1]"}}));
    const std::vector<TFrame> frames = Broker.Frames();
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0][0], 0x34);
    EXPECT_EQ(frames[1][0], 0x3C);
    EXPECT_EQ(frames[2], (TFrame{0x62, 2, 0, 1}));
}

// ---- identifiers ----

TEST_F(BrokerTest, IdentifiersCountAcrossCommandsAndWrap)
{
    Broker.OnFrame([](const TFrame& f, FakeBroker& b) {
        for (const TFrame& a : Answer(f))
            b.Send(a);
    });
    Open();
    const THandler handlers[] = {&TForm1::Button2Click, &TForm1::Button3Click, &TForm1::Button5Click,
                                 &TForm1::Button7Click, &TForm1::Button2Click};
    for (THandler h : handlers)
        Command(h);
    Form->LastMessageID = 65535;
    Command(&TForm1::Button2Click);
    Form->PublishSpn.SetValue(1);
    Command(&TForm1::Button5Click);
    ASSERT_TRUE(FrontEnd.Errors.empty()) << FrontEnd.Errors[0];
    std::vector<int> ids;
    for (const TFrame& f : Broker.Frames())
        if (TypeOf(f) == 8 || TypeOf(f) == 10 || TypeOf(f) == 3)
            ids.push_back(IdOf(f));
    EXPECT_EQ(ids, (std::vector<int>{1, 2, 3, 4, 5, 1, 2}));
}

// ---- build failures ----

TEST_F(BrokerTest, BuildFailureSendsOneLineAndNothingToTheBroker)
{
    const std::string emptyFile = ::testing::TempDir() + "tarnwick_empty.dat";
    std::ofstream(emptyFile, std::ios::binary).close();
    // Larger than any frame can carry (a sparse file: nothing is written or read).
    const std::string hugeFile = ::testing::TempDir() + "tarnwick_huge.dat";
    std::ofstream(hugeFile, std::ios::binary).close();
    ASSERT_EQ(::truncate(hugeFile.c_str(), 268435456), 0);
    struct TRow {
        const char* Name;
        std::function<void(TForm1&)> Set;
        THandler Handler;
        std::string Line;
        bool UsesIdentifier;
    };
    const std::vector<TRow> rows = {
        {"empty client id", [](TForm1& f) { f.ClientIDEdit.Text = ""; }, &TForm1::MQTT_CONNECT_BtnClick,
         "*ERROR* CONNECT frame building failed, parameter error [dev1]", false},
        {"will topic without message", [](TForm1& f) { f.WillMessageEdit.Text = ""; },
         &TForm1::MQTT_CONNECT_BtnClick, "*ERROR* CONNECT frame building failed, parameter error [dev1]", false},
        {"qos list too short", [](TForm1& f) { f.SubscribeQoSListEdit.Text = "1"; }, &TForm1::Button2Click,
         "*ERROR* SUBSCRIBE frame building failed, parameter error [dev1]", true},
        {"empty unsubscribe list", [](TForm1& f) { f.UnSubscribeTopicListEdit.Text = ""; }, &TForm1::Button3Click,
         "*ERROR* UNSUBSCRIBE frame building failed, parameter error [dev1]", true},
        {"empty text payload", [](TForm1& f) { f.PublishDataEdit.Text = ""; }, &TForm1::Button5Click,
         "*ERROR* PUBLISH frame building failed, parameter error [dev1]", true},
        {"empty topic", [](TForm1& f) { f.PublishTopicEdit.Text = ""; }, &TForm1::Button5Click,
         "*ERROR* PUBLISH frame building failed, parameter error [dev1]", true},
        {"empty file", [&](TForm1& f) { f.PublishDataFileEdit.Text = emptyFile; }, &TForm1::Button7Click,
         "*ERROR* PUBLISH frame building failed, parameter error [dev1]", true},
        {"file too big for a frame", [&](TForm1& f) { f.PublishDataFileEdit.Text = hugeFile; },
         &TForm1::Button7Click, "*ERROR* PUBLISH frame building failed, parameter error [dev1]", true},
    };
    Open();
    for (const TRow& row : rows) {
        Form->ClientIDEdit.Text = ID;
        Form->WillMessageEdit.Text = "bye";
        Form->SubscribeQoSListEdit.Text = "2,0";
        Form->UnSubscribeTopicListEdit.Text = "a";
        Form->PublishDataEdit.Text = "data";
        Form->PublishTopicEdit.Text = "t";
        Form->PublishDataFileEdit.Text = TForm1::DefaultDataFilePath();
        row.Set(*Form);
        const int32_t before = Form->LastMessageID;
        EXPECT_EQ(ConsoleOnly(Command(row.Handler)), (std::vector<TLine>{{Unit, row.Line}})) << row.Name;
        EXPECT_EQ(Form->LastMessageID, before + (row.UsesIdentifier ? 1 : 0)) << row.Name;
    }
    EXPECT_TRUE(FrontEnd.Errors.empty());
    // Anything sent would have reached the broker before this PINGREQ.
    Broker.OnFrame([](const TFrame& f, FakeBroker& b) {
        for (const TFrame& a : Answer(f))
            b.Send(a);
    });
    Command(&TForm1::MQTT_PINGREQ_BtnClick);
    ASSERT_TRUE(Broker.WaitForFrames(1, 5000));
    const std::vector<TFrame> frames = Broker.Frames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(TypeOf(frames[0]), 12);
    std::remove(emptyFile.c_str());
    std::remove(hugeFile.c_str());
}

TEST_F(BrokerTest, PublishFileThatCannotBeOpenedShowsErrorAndUsesUpTheIdentifier)
{
    Open();
    const std::string missing = ::testing::TempDir() + "tarnwick_no_such_file.dat";
    Form->PublishDataFileEdit.Text = missing;
    EXPECT_TRUE(ConsoleOnly(Command(&TForm1::Button7Click)).empty());
    ASSERT_EQ(FrontEnd.Errors.size(), 1u);
    EXPECT_EQ(FrontEnd.Errors[0], U8("ファイル ") + missing + U8(" は開けません") + ".");
    EXPECT_EQ(Form->LastMessageID, 1);
    // A folder is no file to publish either.
    Form->PublishDataFileEdit.Text = ::testing::TempDir();
    Command(&TForm1::Button7Click);
    ASSERT_EQ(FrontEnd.Errors.size(), 2u);
    EXPECT_EQ(Form->LastMessageID, 2);
    // Nor a FIFO nobody writes to, nor a device: refused at once, never waited on.
    const std::string fifo = ::testing::TempDir() + "tarnwick_fifo";
    ::unlink(fifo.c_str());
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path : {fifo, std::string("/dev/zero")}) {
        Form->PublishDataFileEdit.Text = path;
        auto command = std::async(std::launch::async, [&] { Command(&TForm1::Button7Click); });
        if (command.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
            ADD_FAILURE() << path << " held the command";
            const int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);   // lets a blocked open go on
            command.wait();
            ::close(writer);
        }
        command.get();
        EXPECT_EQ(FrontEnd.Errors.back(), U8("ファイル ") + path + U8(" は開けません") + ".");
    }
    ::unlink(fifo.c_str());
    EXPECT_EQ(FrontEnd.Errors.size(), 4u);
    EXPECT_TRUE(Broker.Frames().empty());
}

// A slow link: the broker reads 100 KiB/s while a 1 MiB PUBLISH(file) goes out
// for about ten seconds, and a QoS 1 message it sends meanwhile gets its
// PUBACK right after that frame; the connection stays.
TEST_F(BrokerTest, PublishFileOverASlowLinkArrivesWholeWithAnAcknowledgementBehindIt)
{
    FakeBroker::Options slowLink;
    slowLink.receiveBufferSize = 16 * 1024;
    slowLink.readBytesPerSecond = 100 * 1024;
    FakeBroker slow(slowLink);
    slow.OnFrame([](const TFrame& f, FakeBroker& b) {
        if (TypeOf(f) == 3)
            b.Send(Ack(4, IdOf(f)));
    });
    const std::filesystem::path dir = std::filesystem::path(::testing::TempDir()) / ("tarnwick_slow_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string path = (dir / "payload.bin").string();
    TFrame payload(1024 * 1024);
    for (std::size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<uint8_t>(i * 31 + 7);
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(payload.data()), std::streamsize(payload.size()));
    Form->BrokerPortSpn.SetValue(slow.Port());
    Form->PayloadDirectory = (dir / "received").string();
    std::filesystem::create_directories(Form->PayloadDirectory);
    Form->Run(&TForm1::ConnectBtnClick);
    ASSERT_TRUE(Form->Client && Form->Client->SocketReady);
    Form->PublishSpn.SetValue(1);
    Form->PublishDataFileEdit.Text = path;

    std::thread broker([&] {
        if (slow.WaitForBytes(200 * 1024, 20000))
            slow.Send(PublishFrame(1, 77, "a/b", {'m', 'i', 'd'}));
    });
    const std::vector<TLine> lines = Command(&TForm1::Button7Click);
    broker.join();
    EXPECT_TRUE(FrontEnd.Errors.empty()) << FrontEnd.Errors.front();
    EXPECT_TRUE(HasLinesInOrder(lines, {{Unit, "sending PUBLISH [dev1]"}, {Console, "received PUBACK [dev1]"}}));
    ASSERT_TRUE(slow.WaitForFrames(2, 5000));
    const std::vector<TFrame> frames = slow.Frames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0][0], 0x32);
    EXPECT_TRUE(std::equal(payload.begin(), payload.end(), frames[0].end() - std::ptrdiff_t(payload.size())));
    EXPECT_EQ(frames[1], Ack(4, 77)) << "the acknowledgement goes out right after the long frame";
    EXPECT_TRUE(Form->Client->SocketReady);
    Form->Run(&TForm1::DisconnectBtnClick);
    std::filesystem::remove_all(dir);
}

TEST_F(BrokerTest, PublishSendsPayloadUnchanged)
{
    Open();
    const std::string path = ::testing::TempDir() + "tarnwick_all_bytes.dat";
    TFrame bytes;
    for (int i = 0; i < 256; ++i)
        bytes.push_back(static_cast<uint8_t>(i));
    bytes.push_back(0);
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    Form->PublishSpn.SetValue(0);
    Form->PublishDataFileEdit.Text = path;
    Command(&TForm1::Button7Click);
    Command(&TForm1::Button5Click);
    ASSERT_TRUE(Broker.WaitForFrames(2, 5000));
    const std::vector<TFrame> frames = Broker.Frames();
    const std::string topic = "hello/world";
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(frames[i][0], 0x30);
        const std::size_t at = HeaderEnd(frames[i]);
        EXPECT_EQ(std::string(frames[i].begin() + at + 2, frames[i].begin() + at + 2 + topic.size()), topic);
    }
    auto payloadOf = [&](const TFrame& f) { return TFrame(f.begin() + HeaderEnd(f) + 2 + topic.size(), f.end()); };
    EXPECT_EQ(payloadOf(frames[0]), bytes);
    const std::string text = "これは試験データです from Windows7";
    EXPECT_EQ(payloadOf(frames[1]), TFrame(text.begin(), text.end()));
    EXPECT_EQ(payloadOf(frames[1]).size(), 44u);
    std::remove(path.c_str());
}

// ---- queue inspection ----

TEST_F(BrokerTest, QueueInspectionReportsLateAnswersOldestFirst)
{
    Open();
    Form->AnswerTimeouts = Timeouts(150);
    Command(&TForm1::Button2Click);   // identifier 1, never answered in time
    SendUnawaited(Connack(0));
    SendUnawaited(Suback(1, {2, 0x80}));
    ASSERT_EQ(Form->Client->Queue().Count(), 2);

    auto report = [&](int type, int id, const std::string& granted) {
        std::vector<TLine> lines{{Console, "----- Analyze -------"},
                                 {Console, "MessageType     " + std::to_string(type)},
                                 {Console, "MessageID       " + std::to_string(id)},
                                 {Console, "FixedDup        False"},
                                 {Console, "FixedQos        0"},
                                 {Console, "FixedRetain     False"},
                                 {Console, "ConnectFlags    $00"},
                                 {Console, "KeepAliveTimer  0"},
                                 {Console, "ClientID        "},
                                 {Console, "WillTopic       "},
                                 {Console, "WillMessage     "},
                                 {Console, "UserName        "},
                                 {Console, "Password        "},
                                 {Console, "ConnectReturnCode 0"},
                                 {Console, "PublishTopic    "},
                                 {Console, "PublishDataSize 0"},
                                 {Console, "SubscribeTopicList   "},
                                 {Console, "SubscribeReqQoSList  "},
                                 {Console, "SubackGrantedQoSList " + granted},
                                 {Console, "UnsubscribeTopicList "}};
        return lines;
    };
    EXPECT_EQ(Command(&TForm1::Button1Click), report(2, 0, ""));
    EXPECT_EQ(Command(&TForm1::Button1Click), report(9, 1, "2,128"));
    EXPECT_TRUE(FrontEnd.Boxes.empty());
    EXPECT_TRUE(Command(&TForm1::Button1Click).empty());
    ASSERT_EQ(FrontEnd.Boxes.size(), 1u);
    EXPECT_EQ(FrontEnd.Boxes[0].Title, U8("警告"));
    EXPECT_EQ(FrontEnd.Boxes[0].Text, U8("パケットが見つかりません"));
    EXPECT_TRUE(FrontEnd.Boxes[0].Warning);
    EXPECT_TRUE(FrontEnd.Errors.empty());
}

// A SUBACK for another identifier does not end a SUBSCRIBE's wait; it stays for the inspection.
TEST_F(BrokerTest, AnswerForAnotherIdentifierStaysInQueue)
{
    Broker.OnFrame([](const TFrame& f, FakeBroker& b) {
        if (TypeOf(f) == 8) {
            b.Send(Suback(IdOf(f) + 100, {1}));
            b.Send(Suback(IdOf(f), {2, 0}));
        }
    });
    Open();
    EXPECT_EQ(ConsoleOnly(Command(&TForm1::Button2Click)),
              (std::vector<TLine>{{Unit, "sending SUBSCRIBE [dev1]"},
                                  {Console, "received SUBACK [dev1]"},
                                  {Console, "SubackGrantedQoSList 2,0"}}));
    const std::vector<TLine> report = Command(&TForm1::Button1Click);
    ASSERT_EQ(report.size(), 20u);
    EXPECT_EQ(report[2].second, "MessageID       101");
    EXPECT_EQ(report[18].second, "SubackGrantedQoSList 1");
}

// Other frames arriving while a command waits start its wait again: the answer
// may come later than one time-out after the request, and no repeat goes out.
TEST_F(BrokerTest, UnrelatedFramesRestartTheAnswerWait)
{
    static constexpr int TimeoutMs = 1000;
    static constexpr int GapMs = 150;   // well inside the time-out, also on a loaded machine
    static constexpr int Frames = 12;   // 1.8 s in all: longer than one time-out
    Broker.OnFrame([](const TFrame& f, FakeBroker& b) {
        if (TypeOf(f) != 8)
            return;
        for (int i = 0; i < Frames; ++i) {
            b.Send(Pingresp());
            std::this_thread::sleep_for(std::chrono::milliseconds(GapMs));   // the broker's pace
        }
        b.Send(Suback(IdOf(f), {1}));
    });
    Open();
    Form->AnswerTimeouts = Timeouts(TimeoutMs);
    EXPECT_EQ(ConsoleOnly(Command(&TForm1::Button2Click)),
              (std::vector<TLine>{{Unit, "sending SUBSCRIBE [dev1]"},
                                  {Console, "received SUBACK [dev1]"},
                                  {Console, "SubackGrantedQoSList 1"}}));
    EXPECT_EQ(FramesOfType(Broker.Frames(0), 8).size(), 1u);
}

struct TReportCase {
    const char* Name;
    TFrame Frame;
    std::vector<std::pair<int, std::string>> Lines;   // index into the report, expected line
    std::size_t Size;
    TProtocolVersion Version = TProtocolVersion::MQTT31;   // the connection's
};
void PrintTo(const TReportCase& c, std::ostream* os) { *os << c.Name; }

class QueueReportTest : public ::testing::TestWithParam<TReportCase> {};


TEST_P(QueueReportTest, LinesOfOnePacket)
{
    const TReportCase& c = GetParam();
    TMQTTPacket packet(c.Frame.data(), static_cast<int32_t>(c.Frame.size()), c.Version);
    packet.AnalyzePacket();
    const std::vector<std::string> lines = QueueReportLines(packet);
    ASSERT_EQ(lines.size(), c.Size);
    for (const auto& [index, text] : c.Lines)
        EXPECT_EQ(lines[static_cast<std::size_t>(index)], text) << "line " << index;
}

const std::string JapaneseText = "これは試験データです from Windows7";

INSTANTIATE_TEST_SUITE_P(
    Packets, QueueReportTest,
    ::testing::Values(
        TReportCase{"Qos1Publish",
                    PublishFrame(1, 3, "hello/world", TFrame(JapaneseText.begin(), JapaneseText.end())),
                    {{1, "MessageType     3"},
                     {2, "MessageID       3"},
                     {4, "FixedQos        1"},
                     {14, "PublishTopic    hello/world"},
                     {15, "PublishDataSize 44"},
                     {20, "PublishData(UTF8) " + U8(JapaneseText)}},
                    21},
        TReportCase{"PayloadCutAtZero", PublishFrame(0, 0, "t", {0x41, 0x00, 0x42}),
                    {{15, "PublishDataSize 3"}, {20, "PublishData(UTF8) A"}}, 21},
        TReportCase{"MalformedUtf8", PublishFrame(0, 0, "t", {0xC3}), {{20, "PublishData(UTF8) "}}, 21},
        TReportCase{"LeadingZero", PublishFrame(0, 0, "t", {0x00, 0x41}), {{20, "PublishData(UTF8) "}}, 21},
        TReportCase{"RetainedDupPublish", TFrame{0x3B, 7, 0, 1, 't', 0, 9, 'x', 'y'},
                    {{3, "FixedDup        True"}, {4, "FixedQos        1"}, {5, "FixedRetain     True"}}, 21},
        TReportCase{"Connect",
                    TFrame{0x10, 22, 0, 6, 'M', 'Q', 'I', 's', 'd', 'p', 3, 0xC2, 0, 60, 0, 4, 'd', 'e', 'v', '1', 0, 0, 0, 0},
                    {{6, "ConnectFlags    $C2"}, {7, "KeepAliveTimer  60"}, {8, "ClientID        dev1"}},
                    20},
        TReportCase{"Connack5", Connack(5), {{13, "ConnectReturnCode 5"}, {6, "ConnectFlags    $00"}}, 20},
        TReportCase{"Pingresp", Pingresp(), {{0, "----- Analyze -------"}, {1, "MessageType     13"}}, 20},
        // 3.1.1 and 5.0 add their fields after today's lines.
        TReportCase{"Connack311SessionPresent",
                    TFrame{0x20, 2, 0x01, 0x00},
                    {{13, "ConnectReturnCode 0"},
                     {20, "SessionPresent  True"},
                     {21, "ReturnCode      0x00 Connection Accepted"}},
                    22,
                    TProtocolVersion::MQTT311},
        TReportCase{"Suback311Refused", Suback(7, {1, 0x80}),
                    {{18, "SubackGrantedQoSList 1,128"},
                     {20, "ReturnCode#1    0x01 Success - Maximum QoS 1"},
                     {21, "ReturnCode#2    0x80 Failure (refused)"}},
                    22, TProtocolVersion::MQTT311},
        TReportCase{"Suback50NotAuthorized", TFrame{0x90, 4, 0, 7, 0, 0x87},
                    {{20, "ReasonCode#1    0x87 Not authorized (refused)"}}, 21, TProtocolVersion::MQTT50},
        TReportCase{"Publish311", PublishFrame(1, 3, "t", {'x'}), {{20, "PublishData(UTF8) x"}}, 21,
                    TProtocolVersion::MQTT311},
        // A broker's fault in a string is said from 3.1.1 on.
        TReportCase{"Publish311TopicWithUnicodeNull", PublishFrame(0, 0, std::string("a\0b", 3), {'x'}),
                    {{14, "PublishTopic    a"}, {21, "DecodeError     *ERROR* the topic holds U+0000 at offset 1 (00)"}},
                    22, TProtocolVersion::MQTT311}),
    [](const ::testing::TestParamInfo<TReportCase>& info) { return std::string(info.param.Name); });

// ---- the connection gone ----

TEST_F(BrokerTest, CommandsAfterCloseOrLostConnectionStopAtSend)
{
    Open();
    Broker.ResetConnection();
    ASSERT_TRUE(Capture.WaitForMessage("ClientSocketOnDisconnect: start", 5000));
    // Still Opened: the console notices nothing until a command fails.
    EXPECT_TRUE(Form->DisconnectBtnEnabled);
    const std::vector<TLine> lines = Command(&TForm1::MQTT_PINGREQ_BtnClick);
    // The frame did not go out, and the line after "sending" says so.
    EXPECT_EQ(ConsoleOnly(lines), (std::vector<TLine>{{Unit, "sending PINGREQ [dev1]"},
                                                      {Unit, "*ERROR* PINGREQ not sent: SocketReady check failed [dev1]"}}));
    ASSERT_EQ(FrontEnd.Errors.size(), 1u);
    EXPECT_EQ(FrontEnd.Errors[0], "SocketReady check failed.");

    Form->Run(&TForm1::DisconnectBtnClick);
    FrontEnd.Errors.clear();
    EXPECT_TRUE(Command(&TForm1::Button2Click).empty());
    ASSERT_EQ(FrontEnd.Errors.size(), 1u);
    EXPECT_EQ(FrontEnd.Errors[0], "SocketReady check failed.");
    EXPECT_EQ(Form->LastMessageID, 0);
}

// ---- MQTT 5.0 ----

TFrame Cat(std::initializer_list<TFrame> parts)
{
    TFrame all;
    for (const TFrame& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

// Each 5.0 field goes into its packet, in the order the standard gives.
TEST_F(BrokerTest, Mqtt50FieldsGoIntoTheirFrames)
{
    Broker.OnFrame([](const TFrame& f, FakeBroker& b) {
        for (const TFrame& a : TypeOf(f) == 15 ? std::vector<TFrame>{Answer5(0xF0, -1, 0)} : Answer50(f))
            b.Send(a);
    });
    Form->ProtocolVersionCmb.Index = 2;
    Open();
    const TFrame topic{0, 3, 'a', '/', 'b'};
    struct TRow {
        const char* Name;
        std::function<void(TForm1&)> Set;
        THandler Handler;
        int FrameType;
        TFrame Expected;   // the last frame of its type
    };
    const TRow rows[] = {
        {"subscribe",
         [](TForm1& f) {
             f.SubscribeTopicListEdit.Text = "a/b";
             f.SubscribeQoSListEdit.Text = "1 nl";
             f.SubscribePropertiesEdit.Text = "subscription-identifier = 7; user-property = a=b";
         },
         &TForm1::Button2Click, 8,
         Framed(0x82, Cat({{0, 1}, Props({PropVbi(0x0B, 7), PropPair(0x26, "a", "b")}), topic, {0x05}}))},
        {"unsubscribe",
         [](TForm1& f) {
             f.UnSubscribeTopicListEdit.Text = "a/b";
             f.UnsubscribePropertiesEdit.Text = "user-property = k=v";
         },
         &TForm1::Button3Click, 10, Framed(0xA2, Cat({{0, 2}, Props({PropPair(0x26, "k", "v")}), topic}))},
        {"publish",
         [](TForm1& f) {
             f.PublishTopicEdit.Text = "t";
             f.PublishDataEdit.Text = "p";
             f.PublishSpn.SetValue(1);
             f.PublishPropertiesEdit.Text = "message-expiry-interval = 60; content-type = \"a; b\"";
         },
         &TForm1::Button5Click, 3,
         Framed(0x32, Cat({{0, 1, 't', 0, 3}, Props({PropU32(0x02, 60), PropString(0x03, "a; b")}), {'p'}}))},
        {"pubrel with the acknowledgements' settings",
         [](TForm1& f) {
             f.PublishSpn.SetValue(2);
             f.AckReasonSpn.SetValue(0x92);
             f.AckPropertiesEdit.Text = "reason-string = r";
         },
         &TForm1::Button5Click, 6, Answer5(0x62, 4, 0x92, {PropString(0x1F, "r")})},
        {"auth",
         [](TForm1& f) {
             f.AuthReasonSpn.SetValue(0x19);
             f.AuthPropertiesEdit.Text = "authentication-method = X; authentication-data = hex:0102";
         },
         &TForm1::MQTT_AUTH_BtnClick, 15,
         Answer5(0xF0, -1, 0x19, {PropString(0x15, "X"), PropString(0x16, "\x01\x02")})},
        {"disconnect",
         [](TForm1& f) {
             f.DisconnectReasonSpn.SetValue(4);
             f.DisconnectPropertiesEdit.Text = "reason-string = bye";
         },
         &TForm1::Button4Click, 14, Answer5(0xE0, -1, 4, {PropString(0x1F, "bye")})},
    };
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.Name);
        row.Set(*Form);
        Command(row.Handler);
        EXPECT_TRUE(FrontEnd.Errors.empty());
        EXPECT_TRUE(FrontEnd.FieldErrors.empty());
        const std::vector<TFrame> ofType = FramesOfType(Broker.Frames(), row.FrameType);
        ASSERT_FALSE(ofType.empty());
        EXPECT_EQ(ofType.back(), row.Expected);
    }
}

// Enhanced authentication: CONNECT with a method gets AUTH back, AUTH by hand
// goes on until the broker's CONNACK. Before 5.0 AUTH sends nothing.
TEST_F(BrokerTest, Mqtt50AuthenticationExchangeEndsInTheConnack)
{
    Broker.OnFrame([](const TFrame& f, FakeBroker& b) {
        if (TypeOf(f) == 1)
            b.Send(Answer5(0xF0, -1, 0x18, {PropString(0x15, "SCRAM"), PropString(0x16, "\x01")}));
        if (TypeOf(f) == 15)
            b.Send(Connack5(0, {PropString(0x15, "SCRAM")}));
    });
    Form->ProtocolVersionCmb.Index = 2;
    Open();
    Form->ConnectPropertiesEdit.Text = "authentication-method = SCRAM; authentication-data = hex:00";
    EXPECT_EQ(ConsoleOnly(Command(&TForm1::MQTT_CONNECT_BtnClick)),
              (std::vector<TLine>{{Unit, "sending CONNECT [dev1]"},
                                  {Console, "received AUTH [dev1]"},
                                  {Console, "ReasonCode      0x18 Continue authentication"},
                                  {Console, "Property        Authentication Method = SCRAM"},
                                  {Console, "Property        Authentication Data = hex:01"}}));
    Form->AuthReasonSpn.SetValue(0x18);
    Form->AuthPropertiesEdit.Text = "authentication-method = SCRAM; authentication-data = hex:02";
    EXPECT_EQ(ConsoleOnly(Command(&TForm1::MQTT_AUTH_BtnClick)),
              (std::vector<TLine>{{Unit, "sending AUTH [dev1]"},
                                  {Console, "received CONNACK [dev1]"},
                                  {Console, "ConnectReturnCode 0"},
                                  {Console, "SessionPresent  False"},
                                  {Console, "ReasonCode      0x00 Success"},
                                  {Console, "Property        Authentication Method = SCRAM"}}));
    EXPECT_EQ(FramesOfType(Broker.Frames(), 15),
              std::vector<TFrame>{Answer5(0xF0, -1, 0x18, {PropString(0x15, "SCRAM"), PropString(0x16, "\x02")})});
    Form->Run(&TForm1::DisconnectBtnClick);

    Form->ProtocolVersionCmb.Index = 1;
    Form->Run(&TForm1::ConnectBtnClick);
    ASSERT_TRUE(Broker.WaitForConnections(2, 5000));
    EXPECT_EQ(ConsoleOnly(Command(&TForm1::MQTT_AUTH_BtnClick)),
              (std::vector<TLine>{{Unit, "*ERROR* AUTH needs MQTT 5.0, nothing sent [dev1]"}}));
    EXPECT_TRUE(Broker.Frames(1).empty());
    EXPECT_TRUE(FrontEnd.Errors.empty());
}

// The broker's answers by name when they are no plain Success: a refusing
// PUBREC ends the flow without PUBREL. Acknowledgement settings that no
// acknowledgement can carry are said once and leave the answers plain.
TEST_F(BrokerTest, Mqtt50AnswersShowTheirReasonCodes)
{
    Broker.OnFrame([](const TFrame& f, FakeBroker& b) {
        const int qos = (f[0] >> 1) & 3;
        if (TypeOf(f) == 3 && qos == 1)
            b.Send(Answer5(0x40, IdOf(f), 0x10, {PropString(0x1F, "nobody")}));
        else if (TypeOf(f) == 3 && qos == 2)
            b.Send(Answer5(0x50, IdOf(f), f[HeaderEnd(f) + 2] == 'r' ? 0x87 : 0x00));
        else if (TypeOf(f) == 6)
            b.Send(Answer5(0x70, IdOf(f), 0x92));
        else
            for (const TFrame& a : Answer50(f))
                b.Send(a);
    });
    Form->ProtocolVersionCmb.Index = 2;
    Open();
    Form->PublishTopicEdit.Text = "t";
    struct TRow {
        const char* Name;
        int Qos;
        const char* Topic;
        std::vector<TLine> Lines;
    };
    const TRow rows[] = {
        {"puback", 1, "t",
         {{Unit, "sending PUBLISH [dev1]"},
          {Console, "received PUBACK [dev1]"},
          {Console, "ReasonCode      0x10 No matching subscribers"},
          {Console, "Property        Reason String = nobody"}}},
        {"refusing pubrec", 2, "r",
         {{Unit, "sending PUBLISH [dev1]"},
          {Console, "received PUBREC [dev1]"},
          {Console, "ReasonCode      0x87 Not authorized"},
          {Console, "PUBREC with reason code 0x87 Not authorized ends the QoS 2 flow without PUBREL [dev1]"}}},
        {"pubcomp", 2, "t",
         {{Unit, "sending PUBLISH [dev1]"},
          {Console, "received PUBREC [dev1]"},
          {Unit, "sending PUBREL [dev1]"},
          {Console, "received PUBCOMP [dev1]"},
          {Console, "ReasonCode      0x92 Packet Identifier not found"}}},
    };
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.Name);
        Form->PublishSpn.SetValue(row.Qos);
        Form->PublishTopicEdit.Text = row.Topic;
        EXPECT_EQ(ConsoleOnly(Command(&TForm1::Button5Click)), row.Lines);
    }
    EXPECT_EQ(FramesOfType(Broker.Frames(), 6).size(), 1u) << "no PUBREL after the refusing PUBREC";

    Form->AckPropertiesEdit.Text = "topic-alias = 1";
    EXPECT_EQ(ConsoleOnly(Command(&TForm1::AckPropertiesEditChange)),
              (std::vector<TLine>{{Unit, "*ERROR* acknowledgement settings refused, acknowledgements go without them [dev1]"}}));
    ASSERT_EQ(FrontEnd.FieldErrors.size(), 1u);
    EXPECT_EQ(FrontEnd.FieldErrors[0].first, "AckPropertiesEdit");
    EXPECT_TRUE(FrontEnd.FieldErrors[0].second.ends_with(
        "(acknowledgement properties: Topic Alias is not allowed in PUBACK)"));
    EXPECT_TRUE(HasLinesInOrder(Command(&TForm1::Button5Click),
                                {{Console, "received PUBREC [dev1]"},
                                 {Unit, "*ERROR* PUBREL frame building failed, parameter error [dev1]"}}));
    EXPECT_EQ(FrontEnd.FieldErrors.size(), 2u);
    EXPECT_TRUE(FrontEnd.Errors.empty());

    // Before 5.0 they are not sent, and a note says so once.
    Form->Run(&TForm1::DisconnectBtnClick);
    Form->ProtocolVersionCmb.Index = 1;
    Form->AckPropertiesEdit.Text.clear();
    Form->AckReasonSpn.SetValue(0x10);
    EXPECT_TRUE(HasLinesInOrder(Command(&TForm1::ConnectBtnClick),
                                {{Console, "note: acknowledgement reason code and properties not sent (MQTT 5.0 only) [dev1]"}}));
    EXPECT_TRUE(Command(&TForm1::AckPropertiesEditChange).empty());
    // A 5.0 answer on a 3.1.1 connection is the broker's fault, and said so.
    Form->PublishSpn.SetValue(1);
    EXPECT_TRUE(HasLinesInOrder(Command(&TForm1::Button5Click),
                                {{Console, "received PUBACK [dev1]"},
                                 {Console, "DecodeError     *ERROR* 11 bytes after the end of PUBACK"}}));
}

// The limits of the broker's CONNACK: each frame that breaks one gets a
// warning line per limit before it goes out, and goes out all the same.
TEST_F(BrokerTest, Mqtt50BrokersLimitsAreWarnedAboutAndFramesSentAnyway)
{
    Broker.OnFrame([](const TFrame& f, FakeBroker& b) {
        if (TypeOf(f) == 1)
            b.Send(Connack5(0, {PropU32(0x27, 40), PropByte(0x24, 1), PropByte(0x25, 0), PropU16(0x22, 2),
                                PropU16(0x21, 1)}));
        else if (!(TypeOf(f) == 3 && f[HeaderEnd(f) + 2] == 'l'))   // "lost" is never answered
            for (const TFrame& a : Answer50(f))
                b.Send(a);
    });
    Form->ProtocolVersionCmb.Index = 2;
    Open();
    EXPECT_TRUE(HasLinesInOrder(Command(&TForm1::MQTT_CONNECT_BtnClick),
                                {{Console, "ReasonCode      0x00 Success"},
                                 {Console, "Property        Maximum Packet Size = 40"},
                                 {Console, "Property        Maximum QoS = 1"},
                                 {Console, "Property        Retain Available = 0"},
                                 {Console, "Property        Topic Alias Maximum = 2"},
                                 {Console, "Property        Receive Maximum = 1"}}));
    EXPECT_EQ(Form->BrokerLimits, (TBrokerLimits{1, 40, 2, 1, false}));
    Form->AnswerTimeouts.Puback = 100;
    const std::string warning = "warning: ";
    struct TRow {
        const char* Name;
        std::function<void(TForm1&)> Set;
        THandler Handler;
        std::vector<std::string> Warnings;   // each before the frame's "sending" line
    };
    const TRow rows[] = {
        {"within the limits", [](TForm1&) {}, &TForm1::Button5Click, {}},
        {"retain and an alias above the maximum",
         [](TForm1& f) {
             f.PublishRetainChk = true;
             f.PublishPropertiesEdit.Text = "topic-alias = 3";
         },
         &TForm1::Button5Click,
         {"PUBLISH with retain while the broker's Retain Available is 0, sent anyway",
          "PUBLISH with Topic Alias 3 exceeds the broker's Topic Alias Maximum 2, sent anyway"}},
        {"too large", [](TForm1& f) { f.PublishDataEdit.Text = std::string(40, 'x'); }, &TForm1::Button5Click,
         {"PUBLISH of 46 bytes exceeds the broker's Maximum Packet Size 40, sent anyway"}},
        {"qos above the maximum", [](TForm1& f) { f.PublishSpn.SetValue(2); }, &TForm1::Button5Click,
         {"PUBLISH at QoS 2 exceeds the broker's Maximum QoS 1, sent anyway"}},
        {"one unacknowledged",
         [](TForm1& f) {
             f.PublishSpn.SetValue(1);
             f.PublishTopicEdit.Text = "lost";
         },
         &TForm1::Button5Click, {}},
        {"one more than the receive maximum", [](TForm1& f) { f.PublishSpn.SetValue(1); }, &TForm1::Button5Click,
         {"PUBLISH makes 2 unacknowledged QoS 1 and 2 PUBLISHes, above the broker's Receive Maximum 1, sent anyway"}},
        {"a subscription too large",
         [](TForm1& f) {
             f.SubscribeTopicListEdit.Text = "a/very/long/topic/name/over/forty";
             f.SubscribeQoSListEdit.Text = "0";
         },
         &TForm1::Button2Click, {"SUBSCRIBE of 41 bytes exceeds the broker's Maximum Packet Size 40, sent anyway"}},
    };
    const TFieldValues defaults = CaptureFields(*Form);
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.Name);
        ApplyFields(*Form, defaults);
        Form->PublishTopicEdit.Text = "t";
        Form->PublishDataEdit.Text = "x";
        Form->PublishSpn.SetValue(0);
        row.Set(*Form);
        const std::size_t before = Broker.Frames().size();
        std::vector<std::string> warnings;
        std::size_t sent = 0;
        for (const TLine& line : ConsoleOnly(Command(row.Handler))) {
            if (line.second.starts_with(warning)) {
                EXPECT_EQ(line.first, Unit);
                warnings.push_back(line.second.substr(warning.size()));
            }
            sent += line.second.starts_with("sending ") ? 1 : 0;
        }
        std::vector<std::string> expected;
        for (const std::string& w : row.Warnings)
            expected.push_back(w + " [dev1]");
        EXPECT_EQ(warnings, expected);
        EXPECT_TRUE(Broker.WaitForFrames(before + sent, 5000));
        EXPECT_GT(sent, 0u);
    }
    EXPECT_TRUE(FrontEnd.Errors.empty());
}

}  // namespace
