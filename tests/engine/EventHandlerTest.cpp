#include <gtest/gtest.h>

#include <sys/resource.h>

#include <dirent.h>

#include <cstdio>
#include <future>
#include <set>
#include <thread>

#include "EngineTestSupport.h"
#include "mqtt/codec/FrameBuilders.h"
#include "mqtt/codec/MQTTPacket.h"
#include "mqtt/codec/WirePrimitives.h"
#include "mqtt/engine/EventHandlerThread.h"
#include "mqtt/engine/MQTTClient.h"
#include "platform/NamedSync.h"
#include "support/FakeBroker.h"
#include "support/MqttFrames.h"
#include "support/RecordingObserver.h"
#include "support/SmallFileSystem.h"

using namespace enginetest;

namespace {

const std::string kHandler = "TMQTTEventHandlerThread";
const std::string kUnit = "MQTT_Unit";
const std::string kHeader = "----- PublishData -------";

Bytes PublishFrame(int qos, int id, const std::string& topic, const Bytes& payload, bool dup = false,
    bool retain = false)
{
    Bytes body;
    body.reserve(4 + topic.size() + payload.size());
    body.push_back(static_cast<uint8_t>(topic.size() >> 8));
    body.push_back(static_cast<uint8_t>(topic.size() & 0xFF));
    for (char c : topic)
        body.push_back(static_cast<uint8_t>(c));
    if (qos > 0) {
        body.push_back(static_cast<uint8_t>(id >> 8));
        body.push_back(static_cast<uint8_t>(id & 0xFF));
    }
    body.insert(body.end(), payload.begin(), payload.end());
    Bytes frame = {static_cast<uint8_t>(0x30 | (dup ? 0x08 : 0) | (qos << 1) | (retain ? 0x01 : 0))};
    size_t left = body.size();
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

Bytes Concat2(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }
Bytes Ack(uint8_t first, int id) { return {first, 0x02, static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id & 0xFF)}; }

using TLine = std::pair<std::string, std::string>;

std::vector<TLine> Report(int qos, int id, const std::string& topic, size_t size, bool dup = false,
    bool retain = false)
{
    return {
        {kUnit, kHeader},
        {kHandler, "MessageType     3"},
        {kHandler, "MessageID       " + std::to_string(id)},
        {kHandler, std::string("FixedDup        ") + (dup ? "True" : "False")},
        {kHandler, "FixedQos        " + std::to_string(qos)},
        {kHandler, std::string("FixedRetain     ") + (retain ? "True" : "False")},
        {kHandler, "PublishTopic    " + topic},
        {kHandler, "PublishDataSize " + std::to_string(size)},
    };
}

// The line that names a saved file, last of a message's lines.
TLine SavedAs(const std::string& path)
{
    return {kHandler, "PublishDataFile " + path};
}

std::vector<TLine> operator+(std::vector<TLine> a, const std::vector<TLine>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class EventHandlerTest : public ::testing::Test {
protected:
    std::unique_ptr<TMQTTClient> Connect(const std::string& stem, const std::string& payloadDir = "",
        TMQTTClientOptions options = {})
    {
        Id = UniqueClientID(stem);
        options.PayloadDirectory = payloadDir.empty() ? Dir.Path() : payloadDir;
        options.Sink = &Log.Sink();
        // Frames sent to the broker's latest connection must reach this client.
        const size_t before = Broker.ConnectionCount();
        auto client = std::make_unique<TMQTTClient>(Broker.Host(), Broker.Port(), Id, options);
        EXPECT_TRUE(client->SocketReady);
        EXPECT_TRUE(Broker.WaitForConnections(before + 1, kWaitMs));
        return client;
    }

    // The event handler's lines (and its two MQTT_Unit lines), in order.
    std::vector<TLine> HandlerLines()
    {
        EXPECT_TRUE(Log.Flush());
        std::vector<TLine> lines;
        for (const auto& line : Log.SourcedLines())
            if (line.first == kHandler || line.second == kHeader || line.second.find("*EXCEPTIN*") != std::string::npos)
                lines.push_back(line);
        return lines;
    }

    bool WaitForFiles(size_t count) { return WaitUntil([&] { return Dir.PayloadFiles().size() >= count; }); }

    // The one payload file, once it holds `size` bytes and its line has named it.
    Bytes WaitForPayloadFile(size_t size)
    {
        std::string name;
        EXPECT_TRUE(WaitUntil([&] {
            const auto files = Dir.PayloadFiles();
            if (files.size() != 1 || Dir.Size(files[0]) != static_cast<int64_t>(size))
                return false;
            name = files[0];
            return true;
        })) << "no payload file of " << size << " bytes";
        EXPECT_TRUE(IsPayloadFileName(name)) << name;
        if (name.empty())
            return Bytes();
        EXPECT_TRUE(Log.WaitForLine(SavedAs(PathOf(name)).second));
        return Dir.Read(name);
    }

    std::string PathOf(const std::string& name) const { return Dir.Path() + "/" + name; }
    // The path of the one file in the payload directory ("" when there is not exactly one).
    std::string OnlyFile() const
    {
        const auto files = Dir.PayloadFiles();
        return files.size() == 1 ? PathOf(files[0]) : "";
    }
    void RemoveFiles()
    {
        for (const auto& f : Dir.Files())
            ::unlink(PathOf(f).c_str());
    }
    int DroppedLines()
    {
        EXPECT_TRUE(Log.Flush());
        int n = 0;
        for (const auto& line : Log.Lines())
            n += line.find("dropped unacknowledged at close") != std::string::npos;
        return n;
    }

    TLogCapture Log;
    TTempDir Dir;
    FakeBroker Broker;
    std::string Id;
};

} // namespace

TEST_F(EventHandlerTest, Qos0IsReportedAndSavedWithoutAnAnswer)
{
    auto client = Connect("qos0");
    ASSERT_TRUE(Broker.Send(PublishFrame(0, 0, "a/b", Text("hello"))));
    EXPECT_EQ(WaitForPayloadFile(5), Text("hello"));
    ASSERT_TRUE(Log.WaitForLine("PublishData(UTF8) hello"));
    EXPECT_EQ(HandlerLines(),
        (std::vector<TLine>{{kHandler, "received PUBLISH [" + Id + "]"}} + Report(0, 0, "a/b", 5)
            + std::vector<TLine>{{kHandler, "PublishData(UTF8) hello"}, SavedAs(OnlyFile())}));
    EXPECT_TRUE(Broker.Received().empty());
    EXPECT_TRUE(client->SocketReady);
}

TEST_F(EventHandlerTest, Qos1IsAnsweredWithPuback)
{
    auto client = Connect("qos1");
    ASSERT_TRUE(Broker.Send(PublishFrame(1, 10, "x", Text("abc"), true, true)));
    ASSERT_TRUE(Broker.WaitForFrames(1, kWaitMs));
    EXPECT_EQ(Broker.Frames(), (std::vector<Bytes>{{0x40, 0x02, 0x00, 0x0A}}));
    EXPECT_EQ(WaitForPayloadFile(3), Text("abc"));
    ASSERT_TRUE(Log.WaitForLine("PublishData(UTF8) abc"));
    EXPECT_EQ(HandlerLines(),
        (std::vector<TLine>{{kHandler, "received PUBLISH [" + Id + "]"}, {kHandler, "sending PUBACK [" + Id + "]"}}
            + Report(1, 10, "x", 3, true, true)
            + std::vector<TLine>{{kHandler, "PublishData(UTF8) abc"}, SavedAs(OnlyFile())}));
}

TEST_F(EventHandlerTest, Qos2RunsTheWholeFlowBeforeTheReport)
{
    Broker.OnFrame([](const Bytes& frame, FakeBroker& broker) {
        if (frame == Ack(0x50, 7))
            broker.Send(Ack(0x62, 7));
    });
    auto client = Connect("qos2");
    ASSERT_TRUE(Broker.Send(PublishFrame(2, 7, "q/2", Text("two"))));
    ASSERT_TRUE(Broker.WaitForFrames(2, kWaitMs));
    EXPECT_EQ(Broker.Frames(), (std::vector<Bytes>{Ack(0x50, 7), Ack(0x70, 7)}));
    EXPECT_EQ(WaitForPayloadFile(3), Text("two"));
    ASSERT_TRUE(Log.WaitForLine("PublishData(UTF8) two"));
    EXPECT_EQ(HandlerLines(),
        (std::vector<TLine>{
            {kHandler, "received PUBLISH [" + Id + "]"},
            {kHandler, "sending PUBREC [" + Id + "]"},
            {kHandler, "received PUBREL [" + Id + "]"},
            {kHandler, "sending PUBCOMP [" + Id + "]"},
        } + Report(2, 7, "q/2", 3)
            + std::vector<TLine>{{kHandler, "PublishData(UTF8) two"}, SavedAs(OnlyFile())}));
    client.reset();
    EXPECT_EQ(DroppedLines(), 0) << "a completed flow is no dropped message";
}

TEST_F(EventHandlerTest, APubrelStoredBeforeTheWaitBeganStillCompletesTheFlow)
{
    auto client = Connect("early");
    // The PUBREL comes in the same read as its PUBLISH, before any PUBREC.
    const auto start = Clock::now();
    ASSERT_TRUE(Broker.Send(Concat2(PublishFrame(2, 9, "e", Text("early")), Ack(0x62, 9))));
    ASSERT_TRUE(Broker.WaitForFrames(2, kWaitMs));
    EXPECT_EQ(Broker.Frames(), (std::vector<Bytes>{Ack(0x50, 9), Ack(0x70, 9)}));
    EXPECT_LT(MsSince(start), 900) << "no wait of 1000 ms for a PUBREL already there";
    EXPECT_EQ(WaitForPayloadFile(5), Text("early"));
    ASSERT_TRUE(Log.Flush());
    EXPECT_EQ(Log.CountOf("cound not receive PUBREL [" + Id + "]"), 0);
}

// The message is saved before its PUBREC, so a flow whose PUBREL does not come
// keeps its file; the flow stays open, and a PUBREL that comes later completes it.
TEST_F(EventHandlerTest, APubrelThatNeverComesEndsTheWaitAfterOneSecondAndALateOneCompletesTheFlow)
{
    auto client = Connect("nopubrel");
    ASSERT_TRUE(Broker.Send(PublishFrame(2, 7, "n", Text("none"))));
    ASSERT_TRUE(Log.WaitForLine("sending PUBREC [" + Id + "]"));
    const auto sent = Clock::now();
    ASSERT_TRUE(Log.WaitForLine("cound not receive PUBREL [" + Id + "]"));
    EXPECT_GE(MsSince(sent), 800);
    EXPECT_EQ(WaitForPayloadFile(4), Text("none"));
    EXPECT_EQ(Broker.Frames(), (std::vector<Bytes>{Ack(0x50, 7)}));
    EXPECT_EQ(HandlerLines(),
        (std::vector<TLine>{{kHandler, "received PUBLISH [" + Id + "]"}, {kHandler, "sending PUBREC [" + Id + "]"},
            {kHandler, "cound not receive PUBREL [" + Id + "]"}, SavedAs(OnlyFile())}));
    EXPECT_TRUE(client->SocketReady) << "the connection stays";

    ASSERT_TRUE(Broker.Send(Ack(0x62, 7)));
    ASSERT_TRUE(Broker.WaitForFrames(2, kWaitMs));
    EXPECT_EQ(Broker.Frames(), (std::vector<Bytes>{Ack(0x50, 7), Ack(0x70, 7)}));
    ASSERT_TRUE(Log.WaitForLine("sending PUBCOMP [" + Id + "]"));
    const auto lines = HandlerLines();
    EXPECT_EQ(std::vector<TLine>(lines.end() - 3, lines.end()),
        (std::vector<TLine>{SavedAs(OnlyFile()), {kHandler, "received PUBREL [" + Id + "]"},
            {kHandler, "sending PUBCOMP [" + Id + "]"}}))
        << "no report and no second file for the late completion";
    EXPECT_EQ(Dir.PayloadFiles().size(), 1u);
    client.reset();
    EXPECT_EQ(DroppedLines(), 0) << "the flow was completed";
}

// A broker that did not see a PUBREC sends the PUBLISH again with DUP set. While
// its flow is open that is the same message: answered again, saved once, in
// the order the frames arrived, also when the repeat and the PUBREL come in
// one write behind the PUBLISH. Once the flow is complete, the identifier is
// free, and a PUBLISH with it is new.
TEST_F(EventHandlerTest, ARepeatedQos2PublishIsSavedOnceWhileItsFlowIsOpen)
{
    enum TWhen { AnswersFirstPubrec, AllInOneWrite, AfterTheFlowCompleted };
    struct TCase {
        const char* Name;
        TWhen When;
        size_t Files;
    };
    for (const TCase& c : {TCase{"while the flow is open", AnswersFirstPubrec, 1},
             TCase{"publish, repeat and pubrel in one write", AllInOneWrite, 1},
             TCase{"after the flow completed", AfterTheFlowCompleted, 2}}) {
        SCOPED_TRACE(c.Name);
        const Bytes publish = PublishFrame(2, 4, "d", Text("dup"));
        const Bytes repeat = PublishFrame(2, 4, "d", Text("dup"), true);
        std::atomic<int> pubrecs{0};
        Broker.OnFrame([&](const Bytes& frame, FakeBroker& broker) {
            if (c.When == AllInOneWrite)
                return;
            const bool first = frame == Ack(0x50, 4) && ++pubrecs == 1;
            if (first && c.When == AnswersFirstPubrec)
                broker.Send(repeat);
            else if (frame == Ack(0x50, 4))
                broker.Send(Ack(0x62, 4));
            else if (frame == Ack(0x70, 4) && pubrecs == 1)
                broker.Send(repeat);
        });
        auto client = Connect("dup");
        ASSERT_TRUE(Broker.Send(c.When == AllInOneWrite ? Concat2(Concat2(publish, repeat), Ack(0x62, 4)) : publish));
        const auto expected = c.When != AfterTheFlowCompleted
            ? std::vector<Bytes>{Ack(0x50, 4), Ack(0x50, 4), Ack(0x70, 4)}
            : std::vector<Bytes>{Ack(0x50, 4), Ack(0x70, 4), Ack(0x50, 4), Ack(0x70, 4)};
        ASSERT_TRUE(Broker.WaitForFrames(expected.size(), kWaitMs));
        EXPECT_EQ(Broker.Frames(), expected);
        ASSERT_TRUE(Log.WaitForLineCount("sending PUBCOMP [" + Id + "]", c.Files == 1 ? 1 : 2));
        ASSERT_TRUE(WaitForFiles(c.Files));
        ASSERT_TRUE(Log.Flush());
        EXPECT_EQ(Dir.PayloadFiles().size(), c.Files);
        const int said = Log.CountOf("repeated PUBLISH of an open QoS 2 flow, saved before as "
            + PathOf(Dir.PayloadFiles().at(0)) + " [" + Id + "]");
        EXPECT_EQ(said, c.Files == 1 ? 1 : 0);
        EXPECT_EQ(Log.CountOf("cound not receive PUBREL [" + Id + "]"), 0);
        client.reset();
        EXPECT_EQ(DroppedLines(), 0);
        EXPECT_EQ(Log.Lines(kUnit).back().find("left without PUBCOMP"), std::string::npos);
        RemoveFiles();
        Log.Capture.Clear();
        ASSERT_TRUE(Broker.WaitForPeerClose(kWaitMs));
    }
    Broker.OnFrame({});
}

// Other frames that arrive while the flow waits for its PUBREL start the wait
// again, so a PUBREL later than one second after the PUBREC still completes it.
TEST_F(EventHandlerTest, OtherFramesRestartThePubrelWait)
{
    auto client = Connect("latepubrel");
    ASSERT_TRUE(Broker.Send(PublishFrame(2, 9, "l", Text("late"))));
    ASSERT_TRUE(Log.WaitForLine("sending PUBREC [" + Id + "]"));
    const auto sent = Clock::now();
    // PINGRESPs well inside the second, for longer than one second in all.
    while (MsSince(sent) < 1600) {
        ASSERT_TRUE(Broker.Send({0xD0, 0x00}));
        std::this_thread::sleep_for(std::chrono::milliseconds(150));   // the broker's pace
    }
    ASSERT_TRUE(Broker.Send(Ack(0x62, 9)));
    EXPECT_EQ(WaitForPayloadFile(4), Text("late"));
    EXPECT_EQ(Log.CountOf("cound not receive PUBREL [" + Id + "]"), 0);
    EXPECT_TRUE(WaitUntil([&] { return Broker.Frames() == std::vector<Bytes>{Ack(0x50, 9), Ack(0x70, 9)}; }));
}

TEST_F(EventHandlerTest, AnUnbuildableAnswerEndsOnlyThatMessage)
{
    struct TCase {
        int Qos;
        const char* Line;
    };
    for (const TCase& c : {TCase{1, "PUBACK frame building failed, parameter error ["},
             TCase{2, "PUBREC frame building failed, parameter error ["}}) {
        SCOPED_TRACE(c.Qos);
        auto client = Connect("id0");
        ASSERT_TRUE(Broker.Send(PublishFrame(c.Qos, 0, "z", Text("zero"))));
        ASSERT_TRUE(Log.WaitForLine(c.Line + Id + "]"));
        // The connection stays and the next message is handled.
        ASSERT_TRUE(Broker.Send(PublishFrame(0, 0, "z", Text("next"))));
        EXPECT_EQ(WaitForPayloadFile(4), Text("next"));
        EXPECT_TRUE(client->SocketReady);
        EXPECT_TRUE(Broker.Received().empty());
        EXPECT_EQ(Log.CountOf(kHeader), 1);
        client.reset();
        for (const auto& f : Dir.Files())
            ::unlink((Dir.Path() + "/" + f).c_str());
        Log.Capture.Clear();
        ASSERT_TRUE(Broker.WaitForPeerClose(kWaitMs));
    }
}

TEST_F(EventHandlerTest, PayloadLineAndFileByPayload)
{
    struct TCase {
        const char* Name;
        Bytes Payload;
        const char* Line;   // nullptr: no payload line
    };
    const std::vector<TCase> cases = {
        {"text", Text("hello"), "PublishData(UTF8) hello"},
        {"zero byte", {'a', 'b', 0x00, 'z'}, "PublishData(UTF8) ab"},
        {"bad UTF-8", {0xC3, 0x28, 0xFF}, "PublishData(UTF8) "},
        {"empty", {}, nullptr},
        {"256 bytes", Bytes(256, 'x'), nullptr},
        {"100000 bytes", Bytes(100000, 0x5A), nullptr},
    };
    auto client = Connect("payloads");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        Log.Capture.Clear();
        ASSERT_TRUE(Broker.Send(PublishFrame(0, 0, "p", c.Payload)));
        EXPECT_EQ(WaitForPayloadFile(c.Payload.size()), c.Payload);
        const auto lines = HandlerLines();
        int payloadLines = 0;
        for (const auto& [source, message] : lines)
            if (message.rfind("PublishData(UTF8) ", 0) == 0) {
                ++payloadLines;
                ASSERT_NE(c.Line, nullptr) << message;
                EXPECT_EQ(message, c.Line);
            }
        EXPECT_EQ(payloadLines, c.Line ? 1 : 0);
        EXPECT_NE(std::find(lines.begin(), lines.end(),
                      TLine(kHandler, "PublishDataSize " + std::to_string(c.Payload.size()))),
            lines.end());
        for (const auto& f : Dir.Files())
            ::unlink((Dir.Path() + "/" + f).c_str());
    }
}

TEST_F(EventHandlerTest, PublicationsArrivingTogetherAreAllSaved)
{
    auto client = Connect("burst");
    Bytes burst;
    std::multiset<Bytes> expected;
    for (int i = 0; i < 4; ++i) {
        const Bytes payload = Text("msg" + std::to_string(i));
        expected.insert(payload);
        const Bytes frame = PublishFrame(i % 2, i % 2 ? 20 : 0, "same/topic", payload);
        burst.insert(burst.end(), frame.begin(), frame.end());
    }
    ASSERT_TRUE(Broker.Send(burst));
    ASSERT_TRUE(WaitForFiles(4));
    ASSERT_TRUE(WaitUntil([&] {
        std::multiset<Bytes> got;
        for (const auto& f : Dir.PayloadFiles())
            got.insert(Dir.Read(f));
        return got == expected;
    })) << "every publication saved, none replaced";
    ASSERT_TRUE(Broker.WaitForFrames(2, kWaitMs));
    EXPECT_EQ(Broker.Frames(), (std::vector<Bytes>{Ack(0x40, 20), Ack(0x40, 20)}));
    ASSERT_TRUE(Log.WaitForLinesStartingWith("PublishDataFile ", 4));
    client.reset();
    EXPECT_EQ(DroppedLines(), 0) << "every message was handled";
}

// A payload that cannot be saved is not acknowledged: no answer on the wire, no
// "Pub_" file and no temporary file left, the failure line, the connection closed.
TEST_F(EventHandlerTest, APayloadThatCannotBeSavedIsNotAcknowledgedAndEndsTheConnection)
{
    TSmallFileSystem small(1024 * 1024);
    struct TCase {
        const char* Name;
        std::string Directory;
        size_t PayloadSize;
        const char* Error;
    };
    const std::vector<TCase> cases = {
        {"no such directory", "/nonexistent-tarnwick-dir/sub", 4, "Cannot create file"},
        {"a full file system", small.Path(), 4 * 1024 * 1024, "Cannot write file"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        if (c.Directory.empty() || (c.Directory == small.Path() && !small.Ready())) {
            std::printf("skipped \"%s\": no small file system (no tmpfs mount, no file-size limit)\n", c.Name);
            continue;
        }
        auto client = Connect("unsaved", c.Directory);
        ASSERT_TRUE(Broker.Send(PublishFrame(1, 6, "a", Bytes(c.PayloadSize, 'L'))));
        ASSERT_TRUE(Log.WaitForLinesStartingWith("TMQTTEventHandlerThread:*EXCEPTIN* ", 1));
        ASSERT_TRUE(Log.WaitForLine("ClientSocketOnDisconnect: start"));
        EXPECT_TRUE(WaitUntil([&] { return !client->SocketReady; }));
        EXPECT_TRUE(Broker.WaitForPeerClose(kWaitMs));
        EXPECT_TRUE(Broker.Received().empty()) << "no PUBACK for a message that was not saved";
        const auto lines = HandlerLines();
        const auto& last = lines.back();
        EXPECT_EQ(last.first, kUnit);
        const std::string head = "TMQTTEventHandlerThread:*EXCEPTIN* " + std::string(c.Error) + " \"" + c.Directory + "/Pub_";
        EXPECT_EQ(last.second.rfind(head, 0), 0u) << last.second;
        EXPECT_EQ(last.second.substr(last.second.size() - Id.size() - 2), "[" + Id + "]");
        EXPECT_EQ(lines.end()[-2], TLine(kHandler, "received PUBLISH [" + Id + "]"));
        if (c.Directory == small.Path()) {
            DIR* dir = ::opendir(small.Path().c_str());
            ASSERT_NE(dir, nullptr);
            std::vector<std::string> left;
            while (dirent* e = ::readdir(dir))
                if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
                    left.push_back(e->d_name);
            ::closedir(dir);
            EXPECT_TRUE(left.empty()) << "left behind: " << left.front() << " (" << small.How() << ")";
        }
        client.reset();
        ASSERT_TRUE(Log.Flush());
        EXPECT_EQ(Log.CountOf("1 received message dropped unacknowledged at close [" + Id + "]"), 1);
        Log.Capture.Clear();
    }
}

TEST_F(EventHandlerTest, AWriteMutexHeldTooLongWhenAnAnswerIsDueEndsTheConnection)
{
    auto client = Connect("busy");
    TWriteMutexHeldElsewhere writer(Id);
    ASSERT_TRUE(Broker.Send(PublishFrame(1, 3, "b", Text("busy"))));
    const bool reported = Log.WaitForLine("TMQTTEventHandlerThread:*EXCEPTIN* WaitForSingleObject() timeout[" + Id + "]");
    writer.Release();
    ASSERT_TRUE(reported);
    EXPECT_TRUE(WaitUntil([&] { return !client->SocketReady; }));
    EXPECT_TRUE(Broker.Received().empty());
    // Saved before its answer was due: a redelivery later, never a loss.
    ASSERT_FALSE(OnlyFile().empty());
    EXPECT_EQ(Dir.Read(Dir.PayloadFiles()[0]), Text("busy"));
    const auto lines = HandlerLines();
    EXPECT_EQ(std::vector<TLine>(lines.end() - 2, lines.end()),
        (std::vector<TLine>{SavedAs(OnlyFile()),
            {kUnit, "TMQTTEventHandlerThread:*EXCEPTIN* WaitForSingleObject() timeout[" + Id + "]"}}));
    client.reset();
    EXPECT_EQ(DroppedLines(), 0) << "its payload was saved: not dropped";
}

TEST_F(EventHandlerTest, PacketsLeftForTheConsoleDoNotMakeTheThreadSpin)
{
    auto client = Connect("spin");
    ASSERT_TRUE(Broker.Send({0x20, 0x02, 0x00, 0x00}));   // a CONNACK nobody takes
    ASSERT_TRUE(Log.WaitForLinesStartingWith("TMQTTClientReaderThread: store frame", 1));
    auto cpuMs = [] {
        rusage usage{};
        ::getrusage(RUSAGE_SELF, &usage);
        return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000 + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000;
    };
    const auto cpuBefore = cpuMs();
    const auto wallBefore = Clock::now();
    // A measuring window, not a synchronisation.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const auto wall = MsSince(wallBefore);
    EXPECT_LT(cpuMs() - cpuBefore, wall / 4) << "CPU ms used while idle with a CONNACK queued";
    EXPECT_EQ(client->ReceiveQueue().Count(), 1);
}

// ---- destruction in every state ------------------------------------------------

// Close while a QoS 2 flow waits for its PUBREL, with messages queued behind
// it: quick and quiet; the flow's file is kept and named in a line of its own,
// and only the messages whose payload was not saved count as dropped.
TEST_F(EventHandlerTest, DestroyInTheMiddleOfAQos2FlowIsQuickAndCountsWhatIsDropped)
{
    struct TCase {
        int Queued;
        const char* Line;   // nullptr: no dropped line
    };
    for (const TCase& c : {TCase{0, nullptr}, TCase{1, "1 received message dropped unacknowledged at close ["},
             TCase{3, "3 received messages dropped unacknowledged at close ["}}) {
        SCOPED_TRACE(c.Queued);
        auto client = Connect("mid2");
        Bytes frames = PublishFrame(2, 5, "m", Text("mid"));
        for (int i = 0; i < c.Queued; ++i)
            frames = Concat2(frames, PublishFrame(1, 20 + i, "m", Text("queued")));
        ASSERT_TRUE(Broker.Send(frames));
        ASSERT_TRUE(Log.WaitForLine("sending PUBREC [" + Id + "]"));
        ASSERT_TRUE(Log.WaitForLinesStartingWith("TMQTTClientReaderThread: store frame", 1 + c.Queued));
        const auto start = Clock::now();
        client.reset();
        EXPECT_LT(MsSince(start), 900) << "the PUBREL wait notices termination";
        ASSERT_TRUE(Log.Flush());
        EXPECT_EQ(Log.CountOf("ClientSocketOnDisconnect: start"), 1);
        EXPECT_EQ(DroppedLines(), c.Line ? 1 : 0);
        if (c.Line) {
            EXPECT_EQ(Log.CountOf(c.Line + Id + "]"), 1);
        }
        ASSERT_FALSE(OnlyFile().empty());
        EXPECT_EQ(Dir.Read(Dir.PayloadFiles()[0]), Text("mid"));
        EXPECT_EQ(Log.CountOf("QoS 2 flow of message 5 left without PUBCOMP at close, its payload kept in " + OnlyFile()
                      + " [" + Id + "]"),
            1);
        EXPECT_EQ(Log.CountOf("cound not receive PUBREL [" + Id + "]"), 0) << "Close is quiet";
        RemoveFiles();
        Log.Capture.Clear();
        ASSERT_TRUE(Broker.WaitForPeerClose(kWaitMs));
    }
}

// "Close" while the broker's messages are being answered, 500 times, the close
// falling before, between and after the acknowledgements: never an error line.
TEST_F(EventHandlerTest, ClosingWhileMessagesAreAnsweredIsQuiet)
{
#if defined(__SANITIZE_THREAD__)
    constexpr int kCycles = 100;   // a minute for 500 under ThreadSanitizer, which looks for the races, not the count
#else
    constexpr int kCycles = 500;
#endif
    const Bytes messages = Concat2(PublishFrame(1, 1, "c", Text("one")), PublishFrame(2, 2, "c", Text("two")));
    const Bytes bye = {0xE0, 0x00};   // 3 cycles in 4 DISCONNECT first: the broker hangs up on it, as mosquitto does
    Broker.OnFrame([&](const Bytes& frame, FakeBroker& broker) {
        if (frame == bye)
            broker.CloseConnection();
    });
    TMQTTClientOptions options;
    options.LinePauseMs = 0;
    for (int i = 0; i < kCycles; ++i) {
        auto client = Connect("cycle", "", options);
        ASSERT_TRUE(Broker.Send(messages));
        if (i % 3 == 1)
            Broker.WaitForFrames(1, kWaitMs);   // the PUBACK went out; the QoS 2 flow runs
        else if (i % 3 == 2)
            Broker.WaitForFrames(2, kWaitMs);   // the PUBREC went out; its PUBREL never comes
        if (i % 4 != 0)
            client->SendFrame(bye.data(), 2);
        ASSERT_TRUE(i % 4 != 2 || WaitUntil([&] { return !client->SocketReady; }));   // the reader closes first
        client.reset();
        ASSERT_TRUE(i % 4 == 0 || Broker.WaitForPeerClose(kWaitMs));   // all we sent is read
        EXPECT_TRUE(i % 4 == 0 || Broker.Frames().back() == bye) << "cycle " << i << ": a frame followed DISCONNECT";
        if (i % 50 == 49)
            RemoveFiles();
    }
    ASSERT_TRUE(Log.Flush());
    for (const std::string& line : Log.Lines()) {
        EXPECT_EQ(line.find("*EXCEPTIN*"), std::string::npos) << line;
        EXPECT_EQ(line.find("*ERROR*"), std::string::npos) << line;
        EXPECT_EQ(line.find("cound not receive PUBREL"), std::string::npos) << line;
    }
}

// The report's pauses end at Close: it does not sit out the rest of them.
TEST_F(EventHandlerTest, DestroyDuringTheReportPausesIsQuick)
{
    TMQTTClientOptions options = Log.Options();
    options.PayloadDirectory = Dir.Path();
    options.LinePauseMs = TMQTTEventHandlerThread::kMaxLinePauseMs;
    Id = UniqueClientID("pauses");
    auto client = std::make_unique<TMQTTClient>(Broker.Host(), Broker.Port(), Id, options);
    ASSERT_TRUE(client->SocketReady);
    ASSERT_TRUE(Broker.WaitForConnections(1, kWaitMs));
    ASSERT_TRUE(Broker.Send(PublishFrame(0, 0, "p", Text("paused"))));
    ASSERT_TRUE(Log.WaitForLine(kHeader));
    // Seven more lines of 100 ms each are still to come.
    const auto start = Clock::now();
    client.reset();
    EXPECT_LT(MsSince(start), 400);
    ASSERT_TRUE(Log.Flush());
    EXPECT_EQ(Log.CountOf("PublishData(UTF8) paused"), 1) << "the lines are all sent, only without pauses";
}

TEST_F(EventHandlerTest, DestroyWhileAFrameIsHalfReceivedOrPacketsAreQueued)
{
    auto client = Connect("half");
    ASSERT_TRUE(Broker.Send({0x20, 0x02, 0x00, 0x00, 0xD0, 0x00}));
    ASSERT_TRUE(Log.WaitForLinesStartingWith("TMQTTClientReaderThread: store frame", 2));
    // The start of a long PUBLISH, the rest never sent.
    Bytes partial = PublishFrame(0, 0, "big", Bytes(50000, 1));
    partial.resize(20000);
    ASSERT_TRUE(Broker.Send(partial));
    ASSERT_TRUE(WaitUntil([&] { return Broker.Received().empty() && client->SocketReady; }));
    const auto start = Clock::now();
    client.reset();
    EXPECT_LT(MsSince(start), 2000);
    EXPECT_TRUE(Broker.WaitForPeerClose(kWaitMs));
}

TEST_F(EventHandlerTest, DestroyAfterTheSocketWasClosedByTheBroker)
{
    auto client = Connect("gone");
    Broker.ResetConnection();
    ASSERT_TRUE(Log.WaitForLine("ClientSocketOnDisconnect: start"));
    EXPECT_TRUE(WaitUntil([&] { return !client->SocketReady; }));
    client.reset();
    ASSERT_TRUE(Log.Flush());
    EXPECT_EQ(Log.CountOf("ClientSocketOnDisconnect: start"), 1);
}

TEST_F(EventHandlerTest, TheObserverSeesFramesQueueSavedMessagesAndTheBrokersClose)
{
    TRecordingObserver observer;
    Id = UniqueClientID("observer");
    TMQTTClientOptions options = Log.Options();
    options.PayloadDirectory = Dir.Path();
    options.Observer = &observer;
    options.LinePauseMs = 0;
    auto client = std::make_unique<TMQTTClient>(Broker.Host(), Broker.Port(), Id, options);
    ASSERT_TRUE(client->SocketReady);
    ASSERT_TRUE(Broker.WaitForConnections(1, kWaitMs));

    const Bytes publish = PublishFrame(1, 10, "x/y", Text("abc"), false, true);
    ASSERT_TRUE(Broker.Send(publish));
    ASSERT_TRUE(observer.WaitFor([](const TRecordingObserver& o) { return o.Saved.size() == 1; }));
    const TSavedMessage saved = observer.Snapshot(&TRecordingObserver::Saved)[0];
    EXPECT_EQ(saved.Topic, "x/y");
    EXPECT_EQ(saved.Qos, 1);
    EXPECT_TRUE(saved.Retain);
    EXPECT_FALSE(saved.Dup);
    EXPECT_EQ(saved.MessageID, 10);
    EXPECT_EQ(saved.Size, 3);
    EXPECT_EQ(saved.Path, Dir.Path() + "/" + Dir.PayloadFiles().at(0));

    const auto frames = observer.Snapshot(&TRecordingObserver::Frames);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].Direction, TFrameDirection::Received);
    EXPECT_EQ(frames[0].Bytes, publish);
    EXPECT_EQ(frames[1].Direction, TFrameDirection::Sent);
    EXPECT_EQ(frames[1].Bytes, Ack(0x40, 10));
    EXPECT_EQ(observer.Snapshot(&TRecordingObserver::QueueCounts), (std::vector<int>{1, 0}));

    Broker.CloseConnection();
    ASSERT_TRUE(observer.WaitFor([](const TRecordingObserver& o) { return !o.Lost.empty(); }));
    EXPECT_EQ(observer.Snapshot(&TRecordingObserver::Lost), std::vector<std::string>{"closed by the broker"});
    client.reset();
    EXPECT_EQ(observer.Snapshot(&TRecordingObserver::Lost).size(), 1u) << "Close is no lost connection";
}

// ---- MQTT 5.0 -------------------------------------------------------------------

namespace {

namespace tf = testframes;

TMQTTClientOptions Mqtt50(TSessionObserver* observer = nullptr, TAckSettings acks = {})
{
    TMQTTClientOptions options;
    options.Version = TProtocolVersion::MQTT50;
    options.Observer = observer;
    options.LinePauseMs = 0;
    options.Acks = std::move(acks);
    return options;
}

} // namespace

// A 5.0 message's report ends in its properties; an alias the broker set
// stands for its topic in the report and the saved message. One it never set,
// one above the Topic Alias Maximum our CONNECT sent, or any when it sent none,
// is its protocol error, said in a line, while the message is kept.
TEST_F(EventHandlerTest, Mqtt50PropertiesAndTopicAliasesInTheReportAndTheSavedMessage)
{
    TRecordingObserver observer;
    auto client = Connect("alias", "", Mqtt50(&observer));
    TConnectParams connect;
    connect.Version = TProtocolVersion::MQTT50;
    connect.ClientID = Id;
    connect.Properties = {NumberProperty(0x22, 5)};
    TFrameBuffer frame;
    int32_t length = 0;
    ASSERT_TRUE(BuildConnectFrame(frame, length, connect));
    client->SendFrame(frame.get(), length);
    ASSERT_TRUE(Broker.WaitForFrames(1, kWaitMs));
    const std::vector<std::pair<tf::TFrame, std::string>> messages = {
        {tf::Publish5(0, 0, "a/b", {tf::PropU16(0x23, 3), tf::PropU32(0x02, 60), tf::PropVbi(0x0B, 200)}, "one"), "a/b"},
        {tf::Publish5(1, 4, "", {tf::PropU16(0x23, 3), tf::PropPair(0x26, "k", "v")}, "two"), "a/b"},
        {tf::Publish5(0, 0, "", {tf::PropU16(0x23, 4)}, "three"), ""},
        {tf::Publish5(0, 0, "c/d", {tf::PropU16(0x23, 6)}, "four"), "c/d"},
        {tf::Publish5(0, 0, "", {tf::PropU16(0x23, 6)}, "five"), ""},
    };
    for (const auto& [publish, topic] : messages)
        ASSERT_TRUE(Broker.Send(publish));
    ASSERT_TRUE(observer.WaitFor([](const TRecordingObserver& o) { return o.Saved.size() == 5; }));
    const std::vector<TSavedMessage> saved = observer.Snapshot(&TRecordingObserver::Saved);
    for (std::size_t i = 0; i < messages.size(); ++i)
        EXPECT_EQ(saved[i].Topic, messages[i].second) << i;
    EXPECT_EQ(saved[0].Properties,
        (std::vector<std::string>{"Topic Alias = 3", "Message Expiry Interval = 60", "Subscription Identifier = 200"}));
    EXPECT_EQ(saved[0].SubscriptionIdentifiers, std::vector<uint32_t>{200});
    EXPECT_EQ(saved[1].Properties, (std::vector<std::string>{"Topic Alias = 3", "User Property = k=v"}));
    EXPECT_TRUE(saved[1].SubscriptionIdentifiers.empty());
    ASSERT_TRUE(Broker.WaitForFrames(2, kWaitMs));
    EXPECT_EQ(Broker.Frames()[1], Ack(0x40, 4));

    const auto lines = HandlerLines();
    const auto first = std::find(lines.begin(), lines.end(), TLine{kHandler, "PublishData(UTF8) one"});
    ASSERT_NE(first, lines.end());
    EXPECT_EQ(std::vector<TLine>(first + 1, first + 4),
        (std::vector<TLine>{{kHandler, "Property        Topic Alias = 3"},
            {kHandler, "Property        Message Expiry Interval = 60"},
            {kHandler, "Property        Subscription Identifier = 200"}}));
    EXPECT_EQ(std::count(lines.begin(), lines.end(), TLine{kHandler, "PublishTopic    a/b"}), 2);
    for (const std::string line : {"Topic Alias 4, which the broker never set (its protocol error): the message is "
                                   "kept without a topic",
             "Topic Alias 6, above the Topic Alias Maximum 5 our CONNECT sent (its protocol error): the alias is not set",
             "Topic Alias 6, above the Topic Alias Maximum 5 our CONNECT sent (its protocol error): the message is kept "
             "without a topic"})
        EXPECT_EQ(Log.CountOf("*ERROR* PUBLISH with " + line + " [" + Id + "]"), 1) << line;
    EXPECT_TRUE(client->SocketReady);

    // Without a Topic Alias Maximum in CONNECT no alias may come.
    client.reset();
    client = Connect("noalias", "", Mqtt50(&observer));
    ASSERT_TRUE(Broker.Send(tf::Publish5(0, 0, "e/f", {tf::PropU16(0x23, 1)}, "six")));
    ASSERT_TRUE(observer.WaitFor([](const TRecordingObserver& o) { return o.Saved.size() == 6; }));
    EXPECT_EQ(observer.Snapshot(&TRecordingObserver::Saved)[5].Topic, "e/f");
    EXPECT_TRUE(Log.WaitForLine("*ERROR* PUBLISH with Topic Alias 1, but our CONNECT sent no Topic Alias Maximum "
                                "(its protocol error): the alias is not set [" + Id + "]"));
}

// From 3.1.1 on a message with a fault inside says so in its report; one that
// cannot be decoded whole (its payload not found) is neither answered nor
// saved, and a line says so. The connection stays.
TEST_F(EventHandlerTest, BrokerFaultsInAMessageAreReportedAndABrokenOneIsNotTakenForWhole)
{
    struct TCase {
        TProtocolVersion Version;
        Bytes Frame;
        const char* DecodeError;
        bool Whole;
    };
    const TCase cases[] = {
        {TProtocolVersion::MQTT50, tf::Framed(0x32, {0x00, 0x01, 't', 0x00, 0x07, 0x05, 0x01, 0x00}),
            "Property Length 5 runs past the end of the packet", false},
        {TProtocolVersion::MQTT311, PublishFrame(1, 7, std::string("a\0b", 3), Text("m")),
            "the topic holds U+0000 at offset 1 (00)", true},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.DecodeError);
        TMQTTClientOptions options = Mqtt50();
        options.Version = c.Version;
        auto client = Connect("faults", "", options);
        ASSERT_TRUE(Broker.Send(c.Frame));
        const std::string refused = "*ERROR* PUBLISH cannot be decoded whole: not acknowledged, not saved [" + Id + "]";
        if (c.Whole) {
            EXPECT_EQ(WaitForPayloadFile(1), Text("m"));
            ASSERT_TRUE(Broker.WaitForFrames(1, kWaitMs));
            EXPECT_EQ(Broker.Frames(), (std::vector<Bytes>{Ack(0x40, 7)}));
        } else {
            ASSERT_TRUE(Log.WaitForLine(refused));
            EXPECT_TRUE(Broker.Frames().empty());
            EXPECT_TRUE(Dir.PayloadFiles().empty());
        }
        EXPECT_EQ(Log.CountOf(refused), c.Whole ? 0 : 1);
        EXPECT_EQ(Log.CountOf(std::string("DecodeError     *ERROR* ") + c.DecodeError), 1);
        EXPECT_TRUE(client->SocketReady);
        client.reset();
        EXPECT_EQ(DroppedLines(), 0);
        RemoveFiles();
        Log.Capture.Clear();
    }
}

// What the acknowledgements carry under 5.0: the reason code where the packet
// can carry it, Success elsewhere; a PUBREC with an error code ends the flow
// without a PUBREL wait. Before 5.0 they stay the 4-byte frames of 3.1.
TEST_F(EventHandlerTest, Mqtt50AcknowledgementsCarryTheirReasonCodeAndProperties)
{
    struct TCase {
        const char* Name;
        TProtocolVersion Version;
        TAckSettings Acks;
        int Qos;
        std::vector<Bytes> Answers;   // the client's frames; a PUBREL follows each PUBREC below 0x80
        const char* Line;             // a line the flow says, or nullptr
    };
    const TProperty reason = TextProperty(0x1F, "x");
    const TCase cases[] = {
        {"puback with code and reason", TProtocolVersion::MQTT50, {0x10, {reason}}, 1,
            {tf::Answer5(0x40, 1, 0x10, {tf::PropString(0x1F, "x")})}, nullptr},
        {"a code puback cannot carry", TProtocolVersion::MQTT50, {0x92, {}}, 1, {Ack(0x40, 1)}, nullptr},
        {"pubrec code, pubcomp success", TProtocolVersion::MQTT50, {0x10, {}}, 2,
            {tf::Answer5(0x50, 1, 0x10), Ack(0x70, 1)}, nullptr},
        {"pubcomp code", TProtocolVersion::MQTT50, {0x92, {}}, 2, {Ack(0x50, 1), tf::Answer5(0x70, 1, 0x92)}, nullptr},
        {"refused by pubrec", TProtocolVersion::MQTT50, {0x87, {}}, 2, {tf::Answer5(0x50, 1, 0x87)},
            "PUBREC with reason code 0x87 Not authorized ends the QoS 2 flow without PUBREL ["},
        {"3.1.1 sends none of it", TProtocolVersion::MQTT311, {0x87, {reason}}, 2, {Ack(0x50, 1), Ack(0x70, 1)},
            nullptr},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        Broker.OnFrame([](const Bytes& frame, FakeBroker& broker) {
            const bool refused = frame.size() > 4 && frame[4] >= 0x80;
            if (tf::TypeOf(frame) == 5 && !refused)
                broker.Send(Ack(0x62, tf::IdOf(frame)));
        });
        TMQTTClientOptions options = Mqtt50(nullptr, c.Acks);
        options.Version = c.Version;
        auto client = Connect("acks", "", options);
        const auto start = Clock::now();
        ASSERT_TRUE(Broker.Send(c.Version == TProtocolVersion::MQTT50 ? tf::Publish5(c.Qos, 1, "t", {}, "m")
                                                                      : PublishFrame(c.Qos, 1, "t", Text("m"))));
        EXPECT_EQ(WaitForPayloadFile(1), Text("m"));
        ASSERT_TRUE(Broker.WaitForFrames(c.Answers.size(), kWaitMs));
        EXPECT_EQ(Broker.Frames(), c.Answers);
        if (c.Line) {
            EXPECT_EQ(Log.CountOf(c.Line + Id + "]"), 1);
            EXPECT_LT(MsSince(start), 900) << "no PUBREL wait";
        }
        client.reset();
        EXPECT_EQ(DroppedLines(), 0);
        RemoveFiles();
        Log.Capture.Clear();
    }
}

// A PUBREL the handler takes is checked like any frame the console receives:
// from 3.1.1 on what is wrong in it, and under 5.0 a reason code and
// properties, are said after "received PUBREL"; one that cannot be decoded
// whole is not answered, and its flow stays open. 3.1 says only its lines.
TEST_F(EventHandlerTest, APubrelTakenByTheHandlerIsCheckedLikeAnyReceivedFrame)
{
    const auto v311 = TProtocolVersion::MQTT311, v50 = TProtocolVersion::MQTT50;
    struct TCase {
        const char* Name;
        TProtocolVersion Version;
        bool InFlow;   // the PUBREL of a QoS 2 PUBLISH 3 sent before it
        Bytes Pubrel;
        std::vector<std::string> Next;   // the lines after "received PUBREL"; "[" ends in the client's
    };
    const std::string pubcomp = "sending PUBCOMP [";
    const TCase cases[] = {
        {"3.1 says nothing of its flags", TProtocolVersion::MQTT31, true, {0x60, 0x02, 0x00, 0x03}, {pubcomp}},
        {"3.1.1 flags", v311, true, {0x60, 0x02, 0x00, 0x03},
            {"DecodeError     *ERROR* PUBREL fixed header flags 0x00, not 0x02", pubcomp}},
        {"3.1.1 bytes after it, no flow", v311, false, {0x62, 0x03, 0x00, 0x03, 0xFF},
            {"DecodeError     *ERROR* 1 bytes after the end of PUBREL",
                "PUBREL for message 3 without an open QoS 2 flow, answered with PUBCOMP [", pubcomp}},
        {"5.0 reason and property", v50, true, tf::Answer5(0x62, 3, 0x92, {tf::PropString(0x1F, "gone")}),
            {"ReasonCode      0x92 Packet Identifier not found", "Property        Reason String = gone", pubcomp}},
        {"5.0 broken properties", v50, true, {0x62, 0x04, 0x00, 0x03, 0x00, 0x05},
            {"ReasonCode      0x00 Success", "DecodeError     *ERROR* Property Length 5 runs past the end of the packet",
                "*ERROR* PUBREL cannot be decoded whole: not answered ["}},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TMQTTClientOptions options = Mqtt50();
        options.Version = c.Version;
        auto client = Connect("relcheck", "", options);
        const auto publish = [&](int qos, int id, const char* text) {
            return c.Version == v50 ? tf::Publish5(qos, id, "t", {}, text) : PublishFrame(qos, id, "t", Text(text));
        };
        // A message behind the PUBREL shows when it was dealt with.
        Bytes frames = Concat2(c.Pubrel, publish(0, 0, "after"));
        if (c.InFlow)
            frames = Concat2(publish(2, 3, "two"), frames);
        ASSERT_TRUE(Broker.Send(frames));
        ASSERT_TRUE(Log.WaitForLinesStartingWith("PublishDataFile ", c.InFlow ? 2 : 1));
        ASSERT_TRUE(Log.Flush());
        const auto lines = Log.Lines(kHandler);
        const auto at = std::find(lines.begin(), lines.end(), "received PUBREL [" + Id + "]");
        ASSERT_NE(at, lines.end());
        std::vector<std::string> next(at + 1, at + 1 + std::min<std::ptrdiff_t>(lines.end() - at - 1, c.Next.size()));
        std::vector<std::string> expected;
        for (const std::string& line : c.Next)
            expected.push_back(line.back() == '[' ? line + Id + "]" : line);
        EXPECT_EQ(next, expected);
        const bool answered = c.Next.back() == pubcomp;
        client.reset();
        ASSERT_TRUE(Broker.WaitForPeerClose(kWaitMs));   // every frame the client wrote is read by then
        EXPECT_EQ(Broker.Frames().size(), (c.InFlow ? 1u : 0u) + (answered ? 1u : 0u));
        ASSERT_TRUE(Log.Flush());
        const auto left = Log.Lines(kUnit);
        EXPECT_EQ(std::count_if(left.begin(), left.end(),
                      [](const std::string& l) { return l.starts_with("QoS 2 flow of message 3 left without PUBCOMP"); }),
            c.InFlow && !answered ? 1 : 0);
        RemoveFiles();
        Log.Capture.Clear();
    }
}

// A PUBREL that no open flow waits for (the broker sends it again after a
// reconnect): 3.1.1 and 5.0 answer it, saying so; 3.1 leaves it to the console.
TEST_F(EventHandlerTest, APubrelWithoutAnOpenFlowIsAnsweredFrom311On)
{
    struct TCase {
        TProtocolVersion Version;
        std::vector<Bytes> Answers;
        const char* Line;   // after "PUBREL for message 9 without an open QoS 2 flow, answered with "
    };
    const TCase cases[] = {
        {TProtocolVersion::MQTT31, {}, nullptr},
        {TProtocolVersion::MQTT311, {Ack(0x70, 9)}, "PUBCOMP"},
        {TProtocolVersion::MQTT50, {tf::Answer5(0x70, 9, 0x92)}, "PUBCOMP 0x92 Packet Identifier not found"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.Version));
        TMQTTClientOptions options = Mqtt50();
        options.Version = c.Version;
        auto client = Connect("pubrel", "", options);
        // A message behind it shows that the PUBREL was looked at.
        const Bytes after = c.Version == TProtocolVersion::MQTT50 ? tf::Publish5(0, 0, "t", {}, "after")
                                                                  : PublishFrame(0, 0, "t", Text("after"));
        ASSERT_TRUE(Broker.Send(Concat2(Ack(0x62, 9), after)));
        ASSERT_TRUE(Log.WaitForLinesStartingWith("PublishDataFile ", 1));
        ASSERT_TRUE(Log.Flush());
        if (c.Line) {
            ASSERT_TRUE(Broker.WaitForFrames(1, kWaitMs));
            EXPECT_EQ(Log.CountOf("PUBREL for message 9 without an open QoS 2 flow, answered with "
                          + std::string(c.Line) + " [" + Id + "]"),
                1);
            EXPECT_EQ(Log.CountOf("sending PUBCOMP [" + Id + "]"), 1);
        }
        EXPECT_EQ(Broker.Frames(), c.Answers);
        EXPECT_EQ(client->ReceiveQueue().Count(), c.Line ? 0 : 1);
        client.reset();
        RemoveFiles();
        Log.Capture.Clear();
        ASSERT_TRUE(Broker.WaitForPeerClose(kWaitMs));
    }
}

// A 5.0 broker says why it ends the connection before it closes it.
TEST_F(EventHandlerTest, Mqtt50DisconnectOfTheBrokerIsReportedWithItsReason)
{
    auto client = Connect("disconnect", "", Mqtt50());
    ASSERT_TRUE(Broker.Send(tf::Publish5(0, 0, "t", {}, "before")));
    ASSERT_TRUE(Log.WaitForLinesStartingWith("PublishDataFile ", 1));
    ASSERT_TRUE(Broker.Send(tf::Answer5(0xE0, -1, 0x8E, {tf::PropString(0x1F, "another client")})));
    Broker.CloseConnection();
    ASSERT_TRUE(Log.WaitForLine("Property        Reason String = another client"));
    const auto lines = HandlerLines();
    const auto at = std::find(lines.begin(), lines.end(), TLine{kHandler, "received DISCONNECT [" + Id + "]"});
    ASSERT_NE(at, lines.end());
    EXPECT_EQ(std::vector<TLine>(at, lines.end()),
        (std::vector<TLine>{{kHandler, "received DISCONNECT [" + Id + "]"},
            {kHandler, "ReasonCode      0x8E Session taken over"},
            {kHandler, "Property        Reason String = another client"}}));
}

// ---- the receive backlog ------------------------------------------------------

namespace {

// count QoS 0 messages with distinct payloads, in one stream.
Bytes Flood(int count, std::multiset<Bytes>* payloads)
{
    Bytes all;
    for (int i = 0; i < count; ++i) {
        const std::string text = "flood " + std::to_string(i);
        payloads->insert(Text(text));
        all = Concat2(std::move(all), PublishFrame(0, 0, "f", Text(text)));
    }
    return all;
}

} // namespace

// A broker that sends far faster than the handler reports: the queue holds at
// most the bound, the reader waits meanwhile (TCP pushes back on the broker),
// one line says so, and in the end every message is saved.
TEST_F(EventHandlerTest, AFloodIsHeldAtTheBacklogBoundAndNothingIsLost)
{
    constexpr int kBound = 100;
    constexpr int kMessages = 3000;
    TRecordingObserver observer;
    TMQTTClientOptions options = Log.Options();
    options.PayloadDirectory = Dir.Path();
    options.Observer = &observer;
    options.LinePauseMs = TMQTTEventHandlerThread::kMaxLinePauseMs;
    Id = UniqueClientID("flood");
    auto client = std::make_unique<TMQTTClient>(Broker.Host(), Broker.Port(), Id, options);
    ASSERT_TRUE(client->SocketReady);
    ASSERT_TRUE(Broker.WaitForConnections(1, kWaitMs));
    client->ReceiveQueue().SetBacklogLimits(kBound, int64_t{1} << 30);

    std::multiset<Bytes> expected;
    const Bytes flood = Flood(kMessages, &expected);
    std::thread sender([&] { Broker.Send(flood); });   // blocks while the client does not read
    // On every way out: the client goes first, which ends a send still blocked.
    const std::unique_ptr<void, std::function<void(void*)>> joinSender(&sender, [&](void*) {
        client.reset();
        if (sender.joinable())
            sender.join();
    });

    // Full, and still one line after the handler has made room a few times.
    ASSERT_TRUE(Log.WaitForLinesStartingWith("receive backlog full: ", 1));
    ASSERT_TRUE(Log.WaitForLineCount("received PUBLISH [" + Id + "]", 3));
    ASSERT_TRUE(Log.Flush());
    std::vector<std::string> full;
    for (const auto& line : Log.Lines(kUnit))
        if (line.rfind("receive backlog full: ", 0) == 0)
            full.push_back(line);
    ASSERT_EQ(full.size(), 1u);
    EXPECT_EQ(full[0].rfind("receive backlog full: 100 messages, ", 0), 0u) << full[0];
    EXPECT_EQ(full[0].substr(full[0].size() - Id.size() - 2), "[" + Id + "]");
    // The pause, not the console, holds them back: said once, with where to set it.
    const auto lines = Log.Lines(kHandler);
    const auto notice = std::find_if(lines.begin(), lines.end(),
        [](const std::string& line) { return line.rfind("the report pause holds received messages back: ", 0) == 0; });
    ASSERT_NE(notice, lines.end());
    EXPECT_NE(notice->find(" waiting, 100 ms after each report line; "), std::string::npos) << *notice;
    EXPECT_NE(notice->find(UTF8ToText("報告間隔(ミリ秒)") + " (ReportPauseSpn) sets it, 0 reports at once [" + Id + "]"),
        std::string::npos) << *notice;
    EXPECT_EQ(std::find_if(notice + 1, lines.end(), [](const std::string& line) {
        return line.rfind("the report pause holds", 0) == 0;
    }), lines.end()) << "said once";
    EXPECT_EQ(observer.Snapshot(&TRecordingObserver::PauseHolds).size(), 1u);

    client->SetLinePause(0);
    const bool all = WaitUntil([&] { return Dir.PayloadFiles().size() == kMessages; }, 300000);
    sender.join();
    ASSERT_TRUE(all) << Dir.PayloadFiles().size() << " of " << kMessages << " saved";
    std::multiset<Bytes> saved;
    for (const auto& f : Dir.PayloadFiles())
        saved.insert(Dir.Read(f));
    EXPECT_TRUE(saved == expected) << "every message saved once";
    const auto counts = observer.Snapshot(&TRecordingObserver::QueueCounts);
    ASSERT_FALSE(counts.empty());
    EXPECT_EQ(*std::max_element(counts.begin(), counts.end()), kBound) << "filled to the bound, never beyond";
    EXPECT_TRUE(client->SocketReady);
}

// While a QoS 2 flow waits for its PUBREL, the PUBREL may sit behind messages
// that fill the backlog. Reading goes on up to twice the bound, so a PUBREL
// within that gets through; behind more, the wait gives up, the backlog drains
// and the PUBREL is answered when it comes. No deadlock either way.
TEST_F(EventHandlerTest, APubrelBehindAFullBacklogStillCompletesItsFlow)
{
    constexpr int kBound = 20;
    struct TCase {
        const char* Name;
        int Behind;
        bool GivesUp;
    };
    for (const TCase& c : {TCase{"within twice the bound", 30, false}, TCase{"far beyond it", 300, true}}) {
        SCOPED_TRACE(c.Name);
        Broker.OnFrame([](const Bytes& frame, FakeBroker& broker) {
            if (frame == Ack(0x50, 1))
                broker.Send(Ack(0x62, 1));
        });
        TMQTTClientOptions options = Log.Options();
        options.PayloadDirectory = Dir.Path();
        options.LinePauseMs = 0;
        Id = UniqueClientID("behind");
        const size_t before = Broker.ConnectionCount();
        auto client = std::make_unique<TMQTTClient>(Broker.Host(), Broker.Port(), Id, options);
        ASSERT_TRUE(client->SocketReady);
        ASSERT_TRUE(Broker.WaitForConnections(before + 1, kWaitMs));
        client->ReceiveQueue().SetBacklogLimits(kBound, int64_t{1} << 30);

        std::multiset<Bytes> expected{Text("two")};
        // The broker's PUBREL follows our PUBREC, so it comes behind all of these.
        ASSERT_TRUE(Broker.Send(Concat2(PublishFrame(2, 1, "q", Text("two")), Flood(c.Behind, &expected))));
        ASSERT_TRUE(WaitUntil([&] { return Broker.Frames() == std::vector<Bytes>{Ack(0x50, 1), Ack(0x70, 1)}; }))
            << Broker.Frames().size() << " frames";
        ASSERT_TRUE(WaitUntil([&] { return Dir.PayloadFiles().size() == expected.size(); }));
        std::multiset<Bytes> saved;
        for (const auto& f : Dir.PayloadFiles())
            saved.insert(Dir.Read(f));
        EXPECT_TRUE(saved == expected);
        ASSERT_TRUE(Log.Flush());
        EXPECT_EQ(Log.CountOf("cound not receive PUBREL [" + Id + "]"), c.GivesUp ? 1 : 0);
        for (const std::string& line : Log.Lines(kHandler))
            EXPECT_EQ(line.find("the report pause holds"), std::string::npos) << "no pause to blame at 0";
        client.reset();
        EXPECT_EQ(DroppedLines(), 0);
        RemoveFiles();
        Log.Capture.Clear();
        ASSERT_TRUE(Broker.WaitForPeerClose(kWaitMs));
    }
    Broker.OnFrame({});
}
