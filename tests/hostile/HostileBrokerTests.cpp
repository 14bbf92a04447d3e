// The console and its client against brokers that misbehave: malformed and
// unknown frames, lengths that never end, closes and resets at every moment,
// floods, answers with the wrong identifier, a broker that never reads.
// Every scenario must end without a crash or a hang, with the right
// diagnostic lines, and "Close" must always work afterwards.
#include "HostileSupport.h"

#include "diag/AppEventMsg.h"
#include "mqtt/engine/MQTTClient.h"
#include "support/FakeBroker.h"

#include <cstdio>
#include <functional>
#include <optional>
#include <ostream>

using namespace hostile;

namespace {

const std::string ID = "hb";

// Lines of the console and the engine, "[hb]" appended where the line carries the identifier.
TExp U(const std::string& text) { return {Unit, Tag(text, ID)}; }
TExp C(const std::string& text) { return {Console, Tag(text, ID)}; }
TExp CL(const std::string& text) { return {Console, text}; }
TExp H(const std::string& text) { return {HandlerSource, Tag(text, ID)}; }
TExp HL(const std::string& text) { return {HandlerSource, text}; }
TExp Ex(const std::string& message) { return {Unit, "TMQTTClientReaderThread:*EXCEPTIN* " + message + "[" + ID + "]"}; }
TExp ExPrefix(const std::string& message) { return {Unit, "TMQTTClientReaderThread:*EXCEPTIN* " + message, true}; }
const TExp Down{Unit, "ClientSocketOnDisconnect: start"};
const TExp Up{Unit, "ClientSocketOnConnect: start"};
const TExp ReportHead{Unit, "----- PublishData -------"};
const TExp SavedFile{HandlerSource, "PublishDataFile ", true};
const TExp NotYet{Unit, "TMQTTClientReaderThread: remain-length data has not yet received [hb]"};
const TExp Stored{Unit, "TMQTTClientReaderThread: store frame to ReceiveQueue, entries = ", true};

std::string ReadReset()
{
    return "Read" + U8(" エラー ") + "104, ";
}

TAnswerTimeouts Timeouts(int ms)
{
    return TAnswerTimeouts{ms, ms, ms, ms, ms, ms, ms};
}

// What is left of the connection once the scenario has played.
enum class TAfter {
    Alive,                  // still up: a PINGREQ gets its PINGRESP
    StillOpen,              // still up, but the broker no longer answers
    Dropped,                // the client closed it; commands raise "SocketReady check failed"
    DroppedOrNeverOpened,   // as Dropped, or "Open" already saw it gone and closed again
};

// What the broker does to a connection as soon as it has accepted it
// (in parallel with "Open", so the client may or may not see it in time).
enum class TAccept { None, Close, Reset };

struct HostileBrokerTest;
using TBrokerScript = std::function<bool(const TFrame& frame, FakeBroker& broker)>;   // true: handled
using TScript = std::function<void(HostileBrokerTest& test)>;

struct THostileCase {
    const char* Name = "";
    FakeBroker::Options Options{};
    TAccept Accept = TAccept::None;
    // How the broker answers the client's frames; frames it leaves (false)
    // get a well-behaved broker's answer.
    TBrokerScript Broker{};
    // What happens after "Open".
    TScript Script{};
    int AnswerTimeoutMs = 5000;
    // Diagnostic lines, each sequence in order.
    std::vector<TSeq> Lines{};
    // Texts no line may contain.
    std::vector<std::string> Absent{};
    // Error boxes the scenario shows (before the connection check).
    std::vector<std::string> Errors{};
    // Contents of the payload files written (any order); nullopt: not checked.
    std::optional<std::vector<std::string>> Files{};
    // Frames the broker must have received (each as often as listed).
    std::vector<TFrame> BrokerGets{};
    TScript Check{};
    TAfter After = TAfter::Alive;
    // The broker reset the connection or never reads it: it cannot see the client close.
    bool BrokerBlind = false;
    // When set, decides about the error boxes instead of Errors.
    std::function<bool(const std::vector<std::string>&)> ErrorsMatch{};
};

void PrintTo(const THostileCase& c, std::ostream* os)
{
    *os << c.Name;
}

struct HostileBrokerTest : public ::testing::TestWithParam<THostileCase> {
    UdpCapture Capture;
    TFakeFrontEnd FrontEnd;
    TPayloadDir PayloadDir;
    std::unique_ptr<FakeBroker> Broker;
    std::unique_ptr<TForm1> Form;
    std::vector<TLine> History;   // lines from before the last checkpoint
    int Markers = 0;

    void SetUp() override
    {
        const THostileCase& c = GetParam();
        Broker = std::make_unique<FakeBroker>(c.Options);
        Broker->OnFrame([script = c.Broker](const TFrame& frame, FakeBroker& broker) {
            if (script && script(frame, broker))
                return;
            for (const TFrame& answer : WellBehavedAnswer(frame))
                broker.Send(answer);
        });
        Form = std::make_unique<TForm1>(FrontEnd, Capture.Port());
        Form->Run(&TForm1::FormCreate);
        ASSERT_TRUE(FrontEnd.Errors.empty());
        Form->ClientIDEdit.Text = ID;
        Form->BrokerPortSpn.SetValue(Broker->Port());
        Form->PayloadDirectory = PayloadDir.Path();
        Form->AnswerTimeouts = Timeouts(c.AnswerTimeoutMs);
    }

    void TearDown() override
    {
        Form.reset();
        Broker.reset();
    }

    // Every line sent so far has arrived once this marker has.
    void Sync()
    {
        const std::string marker = "marker " + std::to_string(++Markers);
        Form->Events.SendEventMsg(marker, "hostile-test", 0, 0);
        EXPECT_TRUE(Capture.WaitForMessage(marker, 10000));
    }
    void Checkpoint()
    {
        Sync();
        const std::vector<TLine> lines = LinesOf(Capture);
        History.insert(History.end(), lines.begin(), lines.end());
        Capture.Clear();
    }
    std::vector<TLine> AllLines()
    {
        Sync();
        std::vector<TLine> lines = History;
        const std::vector<TLine> recent = LinesOf(Capture);
        lines.insert(lines.end(), recent.begin(), recent.end());
        std::erase_if(lines, [](const TLine& l) { return l.first == "hostile-test"; });
        return lines;
    }

    void Open(const THostileCase& c)
    {
        std::thread onAccept;
        if (c.Accept != TAccept::None)
            onAccept = std::thread([this, &c] {
                if (!Broker->WaitForConnections(1, 10000))
                    return;
                if (c.Accept == TAccept::Close)
                    Broker->CloseConnection(0);
                else
                    Broker->ResetConnection(0);
            });
        Form->Run(&TForm1::ConnectBtnClick);
        if (onAccept.joinable())
            onAccept.join();
        ASSERT_TRUE(Broker->WaitForConnections(1, 10000));
        if (c.After != TAfter::DroppedOrNeverOpened) {
            ASSERT_NE(Form->Client, nullptr);
            ASSERT_TRUE(Form->Client->SocketReady);
        }
    }

    void CheckConnection(const THostileCase& c)
    {
        switch (c.After) {
        case TAfter::Alive: {
            ASSERT_NE(Form->Client, nullptr);
            EXPECT_TRUE(Form->Client->SocketReady);
            Checkpoint();
            Form->AnswerTimeouts = Timeouts(10000);
            Form->Run(&TForm1::MQTT_PINGREQ_BtnClick);
            EXPECT_TRUE(WaitForSequences(Capture, {{U("sending PINGREQ"), C("received PINGRESP")}}, 10000));
            break;
        }
        case TAfter::StillOpen:
            ASSERT_NE(Form->Client, nullptr);
            EXPECT_TRUE(Form->Client->SocketReady);
            break;
        case TAfter::DroppedOrNeverOpened:
            if (!Form->Client) {
                ASSERT_EQ(FrontEnd.Boxes.size(), 1u);
                EXPECT_EQ(FrontEnd.Boxes[0].Text, U8("接続に失敗しました。ホスト名とポート番号を確認してください"));
                EXPECT_FALSE(FrontEnd.Boxes[0].Warning);
                EXPECT_TRUE(Form->ConnectBtnEnabled);
                break;
            }
            [[fallthrough]];
        case TAfter::Dropped: {
            ASSERT_NE(Form->Client, nullptr);
            EXPECT_FALSE(Form->Client->SocketReady);
            if (!c.BrokerBlind) {
                EXPECT_TRUE(Broker->WaitForPeerClose(10000)) << "the client did not close its side";
            }
            // The console stays Opened; commands stop at their send.
            EXPECT_FALSE(Form->ConnectBtnEnabled);
            const std::size_t errors = FrontEnd.Errors.size();
            Form->Run(&TForm1::MQTT_PINGREQ_BtnClick);
            ASSERT_EQ(FrontEnd.Errors.size(), errors + 1);
            EXPECT_EQ(FrontEnd.Errors.back(), "SocketReady check failed.");
            break;
        }
        }
    }

    void CloseAndCheck()
    {
        const std::size_t errors = FrontEnd.Errors.size();
        {
            TWatchdog watchdog(std::string("Close after ") + GetParam().Name, 20000);
            Form->Run(&TForm1::DisconnectBtnClick);
        }
        EXPECT_EQ(FrontEnd.Errors.size(), errors) << "Close showed an error";
        EXPECT_EQ(Form->Client, nullptr);
        EXPECT_TRUE(Form->ConnectBtnEnabled);
        EXPECT_FALSE(Form->DisconnectBtnEnabled);
        EXPECT_FALSE(Form->PingTimerChkEnabled);
        EXPECT_FALSE(Form->PingTimerChk);
        EXPECT_TRUE(WaitForSequences(Capture, {{CL("disconnected.")}}, 10000));
        // One connection: one connect and one disconnect notification, whoever closed first.
        const std::vector<TLine> lines = AllLines();
        EXPECT_EQ(CountOf(lines, Up), 1u) << Describe(lines);
        EXPECT_EQ(CountOf(lines, Down), 1u) << Describe(lines);
    }

    // Helpers for scripts.
    void Push(const TFrame& bytes) { ASSERT_TRUE(Broker->Send(bytes)); }
    std::size_t BrokerFramesOfType(int type)
    {
        std::size_t n = 0;
        for (const TFrame& f : Broker->Frames(0))
            n += TypeOf(f) == type ? 1 : 0;
        return n;
    }
};

TEST_P(HostileBrokerTest, EndsWithRightLinesAndCloseWorks)
{
    const THostileCase& c = GetParam();
    TWatchdog watchdog(std::string("scenario ") + c.Name, 150000);

    Open(c);
    if (HasFatalFailure())
        return;
    if (c.Script)
        c.Script(*this);
    if (HasFatalFailure())
        return;

    std::vector<TSeq> expected = c.Lines;
    if (c.After == TAfter::Dropped || c.After == TAfter::DroppedOrNeverOpened)
        expected.push_back({Down});
    EXPECT_TRUE(WaitForSequences(Capture, expected, 30000));

    const std::vector<TLine> lines = AllLines();
    for (const std::string& text : c.Absent)
        for (const TLine& line : lines)
            EXPECT_EQ(line.second.find(text), std::string::npos) << "unexpected line: " << line.second;

    if (c.Files) {
        std::vector<std::string> want = *c.Files;
        std::sort(want.begin(), want.end());
        EXPECT_TRUE(PayloadDir.WaitForFiles(want.size(), 20000));
        EXPECT_EQ(PayloadDir.PayloadContents(), want);
    }

    for (const TFrame& frame : c.BrokerGets) {
        const std::size_t wanted = static_cast<std::size_t>(std::count(c.BrokerGets.begin(), c.BrokerGets.end(), frame));
        const std::vector<TFrame> got = Broker->Frames(0);
        EXPECT_GE(static_cast<std::size_t>(std::count(got.begin(), got.end(), frame)), wanted)
            << "the broker did not get a frame of type " << TypeOf(frame);
    }
    if (c.Check)
        c.Check(*this);
    if (c.ErrorsMatch) {
        EXPECT_TRUE(c.ErrorsMatch(FrontEnd.Errors)) << ::testing::PrintToString(FrontEnd.Errors);
    } else {
        EXPECT_EQ(FrontEnd.Errors, c.Errors);
    }

    CheckConnection(c);
    CloseAndCheck();
}

// ---- the scenarios ----

TScript Push(TFrame bytes)
{
    return [bytes](HostileBrokerTest& t) { t.Push(bytes); };
}

TScript Command(THandler handler)
{
    return [handler](HostileBrokerTest& t) { t.Form->Run(handler); };
}

TScript Steps(std::vector<TScript> steps)
{
    return [steps](HostileBrokerTest& t) {
        for (const TScript& step : steps) {
            step(t);
            if (::testing::Test::HasFatalFailure())
                return;
        }
    };
}

TScript SetQoS(int qos)
{
    return [qos](HostileBrokerTest& t) { t.Form->PublishSpn.SetValue(qos); };
}

// A frame whose remaining length says 268,435,455 (the largest there is), with
// the start of a PUBLISH behind it.
TFrame EndlessPublishStart()
{
    return {0x30, 0xFF, 0xFF, 0xFF, 0x7F, 0x00, 0x03, 'a', '/', 'b'};
}

TFrame Filler(std::size_t size)
{
    return TFrame(size, 'x');
}

const std::string& BigPayload()
{
    static const std::string payload = [] {
        std::string p(3 * 1024 * 1024, '\0');
        for (std::size_t i = 0; i < p.size(); ++i)
            p[i] = static_cast<char>((i * 131 + i / 7) & 0xFF);
        return p;
    }();
    return payload;
}

bool Is(const TFrame& f, int type) { return TypeOf(f) == type; }

const std::string HttpReply = "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";

std::vector<THostileCase> Cases()
{
    const std::string SocketReadyFailed = "SocketReady check failed.";
    return {
        // ---- frames the client must refuse: the reader reports and closes ----
        {.Name = "UnknownTypeZero", .Script = Push({0x00, 0x00}), .Lines = {{Ex("unknown MQTT message")}},
         .After = TAfter::Dropped},
        {.Name = "UnknownTypeFifteen", .Script = Push({0xF0, 0x00}), .Lines = {{Ex("unknown MQTT message")}},
         .After = TAfter::Dropped},
        {.Name = "UnknownTypeFifteenAllFlagsWithBody", .Script = Push({0xFF, 0x03, 1, 2, 3}),
         .Lines = {{Ex("unknown MQTT message")}}, .After = TAfter::Dropped},
        {.Name = "UnknownTypeRightAfterGoodFrame", .Script = Push(Concat({Pingresp(), {0x0F, 0x00}})),
         .Lines = {{Stored, Ex("unknown MQTT message")}}, .After = TAfter::Dropped},
        {.Name = "SubscribeFromBrokerWithQoSBits0", .Script = Push({0x80, 0x02, 0x00, 0x01}),
         .Lines = {{Ex("SUBSCRIBE FixedHeaderQoS is not 1")}}, .After = TAfter::Dropped},
        {.Name = "SubscribeFromBrokerWithQoSBits3", .Script = Push({0x86, 0x02, 0x00, 0x01}),
         .Lines = {{Ex("SUBSCRIBE FixedHeaderQoS is not 1")}}, .After = TAfter::Dropped},
        {.Name = "UnsubscribeFromBrokerWithQoSBits0", .Script = Push({0xA0, 0x02, 0x00, 0x01}),
         .Lines = {{Ex("UNSUBSCRIBE FixedHeaderQoS is not 1")}}, .After = TAfter::Dropped},
        {.Name = "UnsubscribeFromBrokerWithQoSBits2", .Script = Push({0xA4, 0x02, 0x00, 0x01}),
         .Lines = {{Ex("UNSUBSCRIBE FixedHeaderQoS is not 1")}}, .After = TAfter::Dropped},
        {.Name = "FiveByteLengthField", .Script = Push({0x30, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}),
         .Lines = {{Ex("RemainLength decode error")}}, .After = TAfter::Dropped},
        {.Name = "FiveByteLengthFieldByteByByte",
         .Script =
             [](HostileBrokerTest& t) {
                 const TFrame bytes{0x30, 0xFF, 0xFF, 0xFF, 0xFF};
                 for (std::size_t i = 0; i < bytes.size(); ++i) {
                     t.Push({bytes[i]});
                     // The client must have read this byte alone before the next one goes.
                     if (i + 1 < bytes.size()) {
                         ASSERT_TRUE(WaitForCountOf(t.Capture, NotYet, i + 1, 10000));
                     }
                 }
             },
         .Lines = {{NotYet, NotYet, NotYet, NotYet, Ex("RemainLength decode error")}}, .After = TAfter::Dropped},
        {.Name = "PublishQoS1TopicLengthPastEnd", .Script = Push({0x32, 0x04, 0x00, 0x50, 'a', 'b'}),
         .Lines = {{Ex("frame size error")}}, .Absent = {"received PUBLISH"}, .After = TAfter::Dropped},
        {.Name = "PublishQoS1NoRoomForIdentifier", .Script = Push({0x32, 0x03, 0x00, 0x01, 'a'}),
         .Lines = {{Ex("frame size error")}}, .Absent = {"received PUBLISH"}, .After = TAfter::Dropped},
        {.Name = "PubackRemainLengthOne", .Script = Push({0x40, 0x01, 0x00}), .Lines = {{Ex("frame size error")}},
         .After = TAfter::Dropped},
        {.Name = "SubackRemainLengthZero", .Script = Push({0x90, 0x00}), .Lines = {{Ex("frame size error")}},
         .After = TAfter::Dropped},
        {.Name = "PubrelRemainLengthZero", .Script = Push({0x62, 0x00}), .Lines = {{Ex("frame size error")}},
         .After = TAfter::Dropped},
        {.Name = "UnsubackRemainLengthOne", .Script = Push({0xB0, 0x01, 0x07}), .Lines = {{Ex("frame size error")}},
         .After = TAfter::Dropped},

        // ---- malformed but survivable: decoded up to the end of the frame ----
        // The topic's count runs past the frame: no topic, no payload, an empty file.
        {.Name = "PublishQoS0TopicLengthPastEnd", .Script = Push({0x30, 0x04, 0x00, 0x50, 'a', 'b'}),
         .Lines = {{H("received PUBLISH"), ReportHead, HL("PublishTopic    "), HL("PublishDataSize 0")}},
         .Absent = {"PublishData(UTF8)", "*EXCEPTIN*"}, .Files = std::vector<std::string>{""}},
        // A CONNACK without its return code reads as code 0.
        {.Name = "ConnackRemainLengthZero",
         .Broker =
             [](const TFrame& f, FakeBroker& b) {
                 if (!Is(f, 1))
                     return false;
                 b.Send({0x20, 0x00});
                 return true;
             },
         .Script = Command(&TForm1::MQTT_CONNECT_BtnClick),
         .Lines = {{U("sending CONNECT"), C("received CONNACK"), CL("ConnectReturnCode 0")}}},

        // ---- lengths that never end, closes and resets in the middle ----
        {.Name = "MaxLengthAnnouncedThenTrickled",
         .Script = Steps({Push(EndlessPublishStart()),
                          [](HostileBrokerTest& t) { ASSERT_TRUE(t.Broker->SendSlowly(Filler(64 * 1024), 4096, 2)); },
                          // The broker's PINGRESP becomes part of the endless frame.
                          Command(&TForm1::MQTT_PINGREQ_BtnClick),
                          [](HostileBrokerTest& t) { ASSERT_TRUE(t.Broker->SendSlowly(Filler(16 * 1024), 1024, 2)); }}),
         .AnswerTimeoutMs = 1000,
         .Lines = {{U("sending PINGREQ"), U("*ERROR* could not receive PINGRESP")}},
         .Absent = {"*EXCEPTIN*", "store frame", "received PUBLISH"}, .After = TAfter::StillOpen},
        {.Name = "MaxLengthAnnouncedThenCutOff",
         .Script = Steps({Push(Concat({EndlessPublishStart(), Filler(100 * 1024)})),
                          [](HostileBrokerTest& t) { t.Broker->CloseConnection(); }}),
         .Absent = {"*EXCEPTIN*", "store frame"}, .After = TAfter::Dropped},
        {.Name = "MaxLengthAnnouncedThenReset",
         .Script = Steps({Push(Concat({EndlessPublishStart(), Filler(10 * 1024)})),
                          [](HostileBrokerTest& t) { t.Broker->ResetConnection(); }}),
         .Lines = {{ExPrefix(ReadReset())}}, .Absent = {"store frame"}, .After = TAfter::Dropped, .BrokerBlind = true},
        {.Name = "CloseInsideLengthField",
         .Script = Steps({Push({0x30, 0x80}),
                          [](HostileBrokerTest& t) {
                              ASSERT_TRUE(WaitForCountOf(t.Capture, NotYet, 1, 10000));
                              t.Broker->CloseConnection();
                          }}),
         .Lines = {{NotYet, Down}}, .Absent = {"*EXCEPTIN*"}, .After = TAfter::Dropped},
        {.Name = "CloseInsideFrame",
         .Script = Steps({Push({0x32, 0x0A, 0x00, 0x03, 'a', '/', 'b'}),
                          [](HostileBrokerTest& t) { t.Broker->CloseConnection(); }}),
         .Absent = {"*EXCEPTIN*", "store frame", "received PUBLISH"}, .Files = std::vector<std::string>{},
         .After = TAfter::Dropped},
        {.Name = "CloseRightAfterAccept", .Accept = TAccept::Close, .Absent = {"*EXCEPTIN*"},
         .After = TAfter::DroppedOrNeverOpened},
        {.Name = "ResetRightAfterAccept", .Accept = TAccept::Reset, .Lines = {{ExPrefix(ReadReset())}},
         .After = TAfter::DroppedOrNeverOpened, .BrokerBlind = true},
        {.Name = "ResetOnConnect",
         .Broker =
             [](const TFrame& f, FakeBroker& b) {
                 if (!Is(f, 1))
                     return false;
                 b.ResetConnection();
                 return true;
             },
         .Script = Command(&TForm1::MQTT_CONNECT_BtnClick), .AnswerTimeoutMs = 1000,
         .Lines = {{U("sending CONNECT"), U("*ERROR* could not receive CONNACK")}, {ExPrefix(ReadReset())}},
         .After = TAfter::Dropped, .BrokerBlind = true},
        // The first wait times out; the repeat finds the connection gone.
        {.Name = "CloseOnSubscribe",
         .Broker =
             [](const TFrame& f, FakeBroker& b) {
                 if (!Is(f, 8))
                     return false;
                 b.CloseConnection();
                 return true;
             },
         .Script = Command(&TForm1::Button2Click), .AnswerTimeoutMs = 1000,
         .Lines = {{U("sending SUBSCRIBE"), C("could not receive SUBACK, retrying.."), U("sending SUBSCRIBE")}},
         .Absent = {"*EXCEPTIN*", "*ERROR* could not receive SUBACK"}, .Errors = {SocketReadyFailed},
         .After = TAfter::Dropped},
        {.Name = "HttpReplyToConnectThenClose",
         .Broker =
             [](const TFrame& f, FakeBroker& b) {
                 if (!Is(f, 1))
                     return false;
                 b.Send(TFrame(HttpReply.begin(), HttpReply.end()));
                 b.CloseConnection();
                 return true;
             },
         .Script = Command(&TForm1::MQTT_CONNECT_BtnClick), .AnswerTimeoutMs = 1000,
         .Lines = {{U("sending CONNECT"), U("*ERROR* could not receive CONNACK")}},
         .Absent = {"*EXCEPTIN*", "store frame"}, .After = TAfter::Dropped},
        {.Name = "BinaryGarbageInsteadOfConnack",
         .Broker =
             [](const TFrame& f, FakeBroker& b) {
                 if (!Is(f, 1))
                     return false;
                 b.Send({0x00, 0x01, 0xFF});
                 return true;
             },
         .Script = Command(&TForm1::MQTT_CONNECT_BtnClick), .AnswerTimeoutMs = 1000,
         .Lines = {{U("sending CONNECT"), U("*ERROR* could not receive CONNACK")}, {Ex("unknown MQTT message")}},
         .After = TAfter::Dropped},
        // The CONNACK is stored before the garbage behind it ends the connection.
        {.Name = "ConnackFollowedByGarbage",
         .Broker =
             [](const TFrame& f, FakeBroker& b) {
                 if (!Is(f, 1))
                     return false;
                 b.Send(Concat({Connack(0), {0xF0, 0x00}}));
                 return true;
             },
         .Script = Command(&TForm1::MQTT_CONNECT_BtnClick),
         .Lines = {{U("sending CONNECT"), C("received CONNACK"), CL("ConnectReturnCode 0")},
                   {Ex("unknown MQTT message")}},
         .After = TAfter::Dropped},

        // ---- odd PUBLISH frames from the broker ----
        // QoS 3 gets no acknowledgement and is reported and saved like QoS 0.
        {.Name = "PublishQoS3",
         .Script = Push(Publish(3, 9, "a/b", "xy")),
         .Lines = {{H("received PUBLISH"), ReportHead, HL("MessageID       9"), HL("FixedQos        3"),
                    HL("PublishData(UTF8) xy")}},
         .Absent = {"sending PUBACK", "sending PUBREC"}, .Files = std::vector<std::string>{"xy"},
         .Check =
             [](HostileBrokerTest& t) {
                 EXPECT_EQ(t.BrokerFramesOfType(4), 0u);
                 EXPECT_EQ(t.BrokerFramesOfType(5), 0u);
             }},
        {.Name = "PublishQoS1EmptyPayload", .Script = Push(Publish(1, 12, "a/b", "")),
         .Lines = {{H("received PUBLISH"), H("sending PUBACK"), ReportHead, HL("PublishDataSize 0")}},
         .Absent = {"PublishData(UTF8)"}, .Files = std::vector<std::string>{""}, .BrokerGets = {Ack(4, 12)}},
        {.Name = "PublishInvalidUTF8Topic", .Script = Push(Publish(0, 0, "\xC3\x28/x", "ok")),
         .Lines = {{H("received PUBLISH"), HL("PublishTopic    "), HL("PublishData(UTF8) ok")}},
         .Files = std::vector<std::string>{"ok"}},
        {.Name = "PublishInvalidUTF8Payload", .Script = Push(Publish(1, 3, "a/b", "\xFF\xFE")),
         .Lines = {{H("sending PUBACK"), HL("PublishDataSize 2"), HL("PublishData(UTF8) ")}},
         .Files = std::vector<std::string>{"\xFF\xFE"}, .BrokerGets = {Ack(4, 3)}},
        {.Name = "PublishQoS1IdentifierZero", .Script = Push(Publish(1, 0, "a/b", "z")),
         .Lines = {{H("received PUBLISH"), H("PUBACK frame building failed, parameter error")}},
         .Absent = {"----- PublishData"}, .Files = std::vector<std::string>{}},
        {.Name = "PublishQoS2IdentifierZero", .Script = Push(Publish(2, 0, "a/b", "z")),
         .Lines = {{H("received PUBLISH"), H("PUBREC frame building failed, parameter error")}},
         .Absent = {"----- PublishData"}, .Files = std::vector<std::string>{}},
        {.Name = "PublishQoS1ThreeMegabytes", .Script = Push(Publish(1, 40, "big/one", BigPayload())),
         .Lines = {{H("sending PUBACK"), HL("PublishDataSize 3145728")}}, .Absent = {"PublishData(UTF8)"},
         .Files = std::vector<std::string>{BigPayload()}, .BrokerGets = {Ack(4, 40)}},
        {.Name = "PublishQoS1SameIdentifierTwice",
         .Script = Push(Concat({Publish(1, 5, "a/b", "one"), Publish(1, 5, "a/b", "two")})),
         .Lines = {{HL("PublishData(UTF8) one"), HL("PublishData(UTF8) two")},
                   {H("sending PUBACK"), H("sending PUBACK")}},
         .Files = std::vector<std::string>{"one", "two"}, .BrokerGets = {Ack(4, 5), Ack(4, 5)}},
        {.Name = "PublishQoS2SameIdentifierTwice",
         .Script = Push(Concat({Publish(2, 9, "a/b", "first"), Publish(2, 9, "a/b", "second")})),
         .Lines = {{H("sending PUBCOMP"), HL("PublishData(UTF8) first"), H("sending PUBCOMP"),
                    HL("PublishData(UTF8) second")}},
         .Absent = {"cound not receive PUBREL"}, .Files = std::vector<std::string>{"first", "second"},
         .BrokerGets = {Ack(5, 9), Ack(5, 9), Ack(7, 9), Ack(7, 9)}},
        {.Name = "PublishQoS2PubrelWithOtherIdentifier",
         .Broker =
             [](const TFrame& f, FakeBroker& b) {
                 if (!Is(f, 5))
                     return false;
                 b.Send(Ack(6, IdOf(f) + 1, 0x02));
                 return true;
             },
         .Script = Push(Publish(2, 7, "a/b", "q2")),
         .Lines = {{H("received PUBLISH"), H("sending PUBREC"), H("cound not receive PUBREL"), SavedFile}},
         .Absent = {"sending PUBCOMP", "----- PublishData"}, .Files = std::vector<std::string>{"q2"},
         .BrokerGets = {Ack(5, 7)}},
        {.Name = "PublishQoS2BrokerClosesBeforePubrel",
         .Broker =
             [](const TFrame& f, FakeBroker& b) {
                 if (!Is(f, 5))
                     return false;
                 b.CloseConnection();
                 return true;
             },
         .Script = Push(Publish(2, 7, "a/b", "q2")),
         .Lines = {{H("sending PUBREC"), H("cound not receive PUBREL"), SavedFile}},
         .Absent = {"sending PUBCOMP", "----- PublishData"}, .Files = std::vector<std::string>{"q2"},
         .After = TAfter::Dropped},
        // A PUBLISH arrives while CONNECT waits: each waiter takes its own packet.
        {.Name = "PublishBeforeConnack",
         .Broker =
             [](const TFrame& f, FakeBroker& b) {
                 if (!Is(f, 1))
                     return false;
                 b.Send(Concat({Publish(1, 21, "early/bird", "early"), Connack(0)}));
                 return true;
             },
         .Script = Command(&TForm1::MQTT_CONNECT_BtnClick),
         .Lines = {{U("sending CONNECT"), C("received CONNACK"), CL("ConnectReturnCode 0")},
                   {H("sending PUBACK"), HL("PublishData(UTF8) early")}},
         .Files = std::vector<std::string>{"early"}, .BrokerGets = {Ack(4, 21)}},
        {.Name = "PubrelForIdentifierNeverSeen",
         .Script = Steps({Push(Ack(6, 77, 0x02)),
                          [](HostileBrokerTest& t) { ASSERT_TRUE(WaitForCountOf(t.Capture, Stored, 1, 10000)); },
                          Command(&TForm1::Button1Click)}),
         .Lines = {{CL("----- Analyze -------"), CL("MessageType     6"), CL("MessageID       77")}},
         .Absent = {"sending PUBCOMP"}},
        // Far more than the event handler gets through before Close: the rest is freed with the queue.
        {.Name = "ThousandQoS0PublishInOneWrite",
         .Script =
             [](HostileBrokerTest& t) {
                 std::vector<TFrame> frames;
                 for (int i = 0; i < 1000; ++i) {
                     char payload[8];
                     std::snprintf(payload, sizeof payload, "m%04d", i);
                     frames.push_back(Publish(0, 0, "t/n", payload));
                 }
                 t.Push(Concat(frames));
                 ASSERT_TRUE(WaitForCountOf(t.Capture, Stored, 1000, 60000));
             },
         .Lines = {{H("received PUBLISH"), HL("PublishData(UTF8) m0000"), H("received PUBLISH"),
                    HL("PublishData(UTF8) m0001")}},
         .Absent = {"*EXCEPTIN*"}},

        // ---- floods while a command waits, answers with the wrong identifier ----
        {.Name = "PingrespFloodAnswersPingreq",
         .Broker =
             [](const TFrame& f, FakeBroker& b) {
                 if (!Is(f, 12))
                     return false;
                 b.Send(Repeat(Pingresp(), 2000));
                 return true;
             },
         .Script = Steps({Command(&TForm1::MQTT_PINGREQ_BtnClick),
                          [](HostileBrokerTest& t) { ASSERT_TRUE(WaitForCountOf(t.Capture, Stored, 2000, 60000)); }}),
         .Lines = {{U("sending PINGREQ"), C("received PINGRESP")}}, .Absent = {"*EXCEPTIN*"}},
        // Each PINGRESP restarts the wait; once the flood ends the SUBACK wait times out and the repeat succeeds.
        {.Name = "PingrespFloodWhileSubscribeWaits",
         .Broker =
             [](const TFrame& f, FakeBroker& b) {
                 if (!Is(f, 8) || (f[0] & 0x08))
                     return false;
                 b.Send(Repeat(Pingresp(), 2000));
                 return true;
             },
         .Script = Command(&TForm1::Button2Click), .AnswerTimeoutMs = 1000,
         .Lines = {{U("sending SUBSCRIBE"), C("could not receive SUBACK, retrying.."), U("sending SUBSCRIBE"),
                    C("received SUBACK"), CL("SubackGrantedQoSList 2,0")}},
         .Absent = {"*EXCEPTIN*"}},
        {.Name = "SubackFloodWithOtherIdentifiersThenRight",
         .Broker =
             [](const TFrame& f, FakeBroker& b) {
                 if (!Is(f, 8))
                     return false;
                 std::vector<TFrame> frames;
                 for (int k = 1; k <= 1000; ++k)
                     frames.push_back(Suback(IdOf(f) + k, {1}));
                 frames.push_back(Suback(IdOf(f), {2, 0}));
                 b.Send(Concat(frames));
                 return true;
             },
         .Script = Command(&TForm1::Button2Click),
         .Lines = {{U("sending SUBSCRIBE"), C("received SUBACK"), CL("SubackGrantedQoSList 2,0")}},
         .Absent = {"retrying"},
         // Nobody takes the others: they stay until Close frees them.
         .Check = [](HostileBrokerTest& t) { EXPECT_EQ(t.Form->Client->Queue().Count(), 1000); }},
        {.Name = "SubackWithOtherIdentifier",
         .Broker =
             [](const TFrame& f, FakeBroker& b) {
                 if (!Is(f, 8))
                     return false;
                 b.Send(Suback(IdOf(f) + 1, {0}));
                 return true;
             },
         .Script = Command(&TForm1::Button2Click), .AnswerTimeoutMs = 1000,
         .Lines = {{U("sending SUBSCRIBE"), C("could not receive SUBACK, retrying.."), U("sending SUBSCRIBE"),
                    C("could not receive SUBACK, retrying.."), U("sending SUBSCRIBE"),
                    U("*ERROR* could not receive SUBACK")}},
         .Check =
             [](HostileBrokerTest& t) {
                 std::vector<int> firstBytes;
                 std::vector<int> ids;
                 for (const TFrame& f : t.Broker->Frames(0))
                     if (Is(f, 8)) {
                         firstBytes.push_back(f[0]);
                         ids.push_back(IdOf(f));
                     }
                 EXPECT_EQ(firstBytes, (std::vector<int>{0x82, 0x8A, 0x8A}));
                 EXPECT_EQ(ids, (std::vector<int>{1, 1, 1}));
             }},
        {.Name = "UnsubackWithOtherIdentifier",
         .Broker =
             [](const TFrame& f, FakeBroker& b) {
                 if (!Is(f, 10))
                     return false;
                 b.Send(Ack(11, IdOf(f) + 1));
                 return true;
             },
         .Script = Command(&TForm1::Button3Click), .AnswerTimeoutMs = 1000,
         .Lines = {{U("sending UNSUBSCRIBE"), C("could not receive UNSUBACK, retrying.."), U("sending UNSUBSCRIBE"),
                    C("could not receive UNSUBACK, retrying.."), U("sending UNSUBSCRIBE"),
                    U("*ERROR* could not receive UNSUBACK")}}},
        {.Name = "PubackWithOtherIdentifier",
         .Broker =
             [](const TFrame& f, FakeBroker& b) {
                 if (!Is(f, 3))
                     return false;
                 b.Send(Ack(4, IdOf(f) + 1));
                 return true;
             },
         .Script = Steps({SetQoS(1), Command(&TForm1::Button5Click)}), .AnswerTimeoutMs = 1000,
         .Lines = {{U("sending PUBLISH"), C("could not receive PUBACK, retrying.."), U("sending PUBLISH"),
                    C("could not receive PUBACK, retrying.."), U("sending PUBLISH"),
                    U("*ERROR* could not receive PUBACK")}}},
        {.Name = "PubcompWithOtherIdentifier",
         .Broker =
             [](const TFrame& f, FakeBroker& b) {
                 if (!Is(f, 6))
                     return false;
                 b.Send(Ack(7, IdOf(f) + 1));
                 return true;
             },
         .Script = Steps({SetQoS(2), Command(&TForm1::Button5Click)}), .AnswerTimeoutMs = 1000,
         .Lines = {{U("sending PUBLISH"), C("received PUBREC"), U("sending PUBREL"),
                    C("could not receive PUBCOMP, retrying.."), U("sending PUBREL"),
                    C("could not receive PUBCOMP, retrying.."), U("sending PUBREL"),
                    U("*ERROR* could not receive PUBCOMP")}}},

        // A broker that reads slowly answers a long frame only once it has read it: the answer's
        // wait does not run while the frame still leaves, so no DUP repeat piles onto the link.
        {.Name = "SlowReaderIsAnsweredWithoutRepeats",
         .Options = {.receiveBufferSize = 4096, .readBytesPerSecond = 32 * 1024},
         .Script =
             [](HostileBrokerTest& t) {
                 const std::string path = t.PayloadDir.Path() + "/slow.bin";
                 std::ofstream(t.Form->PublishDataFileEdit.Text = path) << std::string(1 << 17, 'S');
                 t.Form->PublishSpn.SetValue(1);
                 t.Form->Run(&TForm1::Button7Click);
             },
         .AnswerTimeoutMs = 300,
         .Lines = {{U("sending PUBLISH"), C("received PUBACK")}}, .Absent = {"retrying", "*ERROR*"}},

        // ---- a broker that accepts and never reads ----
        // The send buffers fill; the write gives up within its time-out instead of hanging, and
        // closes the connection, since part of the frame went out.
        {.Name = "BrokerNeverReadsLargePublishFile",
         .Options = {.receiveBufferSize = 4096, .startReading = false},
         .Script =
             [](HostileBrokerTest& t) {
                 const std::string path = t.PayloadDir.Path() + "/big.bin";
                 {
                     std::ofstream out(path, std::ios::binary);
                     const std::string block(1024 * 1024, 'B');
                     for (int i = 0; i < 16; ++i)
                         out << block;
                 }
                 t.Form->PublishDataFileEdit.Text = path;
                 t.Form->PublishSpn.SetValue(0);
                 t.Form->WriteStallSpn.SetValue(1);   // a broker that never reads: given up soon
                 t.Form->WriteStallSpnChange();
                 t.Form->Run(&TForm1::Button7Click);
             },
         .Lines = {{U("sending PUBLISH"), U("*ERROR* frame half written, closing the connection")}},
         .Errors = {"Socket Write Error."}, .After = TAfter::Dropped, .BrokerBlind = true},
        // While the console's write is stuck holding the write mutex, a QoS 1 PUBLISH needs its PUBACK:
        // the event handler gives up on the mutex, or finds the connection ended by the console's half
        // frame (the PUBACK then said not sent). The message was saved before its PUBACK was due: kept.
        {.Name = "AcknowledgementDueWhileConsoleWriteIsStuck",
         .Options = {.receiveBufferSize = 4096, .startReading = false},
         .Script =
             [](HostileBrokerTest& t) {
                 const std::string path = t.PayloadDir.Path() + "/big.bin";
                 {
                     std::ofstream out(path, std::ios::binary);
                     const std::string block(1024 * 1024, 'B');
                     for (int i = 0; i < 16; ++i)
                         out << block;
                 }
                 t.Form->PublishDataFileEdit.Text = path;
                 t.Form->PublishSpn.SetValue(0);
                 t.Form->WriteStallSpn.SetValue(1);   // a broker that never reads: given up soon
                 t.Form->WriteStallSpnChange();
                 std::thread publisher([&t] {
                     if (WaitForCountOf(t.Capture, U("sending PUBLISH"), 1, 20000))
                         t.Broker->Send(Publish(1, 31, "a/b", "ack me"));
                 });
                 t.Form->Run(&TForm1::Button7Click);
                 publisher.join();
             },
         .Lines = {{H("received PUBLISH"), H("sending PUBACK")}},
         .Absent = {"----- PublishData"}, .Files = std::vector<std::string>{"ack me"},
         .After = TAfter::Dropped, .BrokerBlind = true,
         // The console's write gives up on its own, or fails on the socket the handler closed.
         .ErrorsMatch =
             [](const std::vector<std::string>& errors) {
                 return errors.size() == 1 &&
                        (errors[0] == "Socket Write Error." || errors[0].rfind("Write" + U8(" エラー "), 0) == 0);
             }},
    };
}

INSTANTIATE_TEST_SUITE_P(Scenarios, HostileBrokerTest, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<THostileCase>& info) { return std::string(info.param.Name); });

}  // namespace
