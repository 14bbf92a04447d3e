// Several clients in one session: driven through the session's own calls and
// through scripts, against the relay broker and against mosquitto.
#include "cli/CliTestSupport.h"
#include "console/session/Session.h"
#include "support/MosquittoBroker.h"
#include "support/RelayBroker.h"

namespace {

using namespace clitest;

// A session whose clients speak to one broker, with a runner over it.
struct TSessionRun {
    UdpCapture Capture;
    TScratchDir Dir;
    TFakeFrontEnd LabelsFrontEnd;
    TForm1 Labels{LabelsFrontEnd};   // lends the parser its labels
    std::unique_ptr<TSession> Session;
    std::unique_ptr<TScriptRunner> Runner;
    std::vector<TScriptMessage> Messages;

    void Start(int port)
    {
        TSessionOptions options;
        options.EventPort = Capture.Port();
        options.PayloadRoot = Dir.Path.string();
        options.FolderPerClient = true;
        options.RecordFrames = true;
        options.Prepare = [port](TSessionClient& client) {
            client.Form().BrokerPortSpn.SetValue(port);
            client.Form().ReportPauseSpn.SetValue(0);
        };
        options.OnBox = [this](TSessionClient&, const std::string& title, const std::string& text) {
            Runner->BoxShown(title, text);
        };
        Session = std::make_unique<TSession>(options);
        Runner = std::make_unique<TScriptRunner>(*Session, [this](const TScriptMessage& m) { Messages.push_back(m); });
    }

    void Stop()
    {
        Runner.reset();
        Session.reset();
    }

    TScriptResult RunScript(const std::string& text)
    {
        TScript script;
        script.Name = "t";
        const std::vector<TScriptError> errors = ParseScript(text, Labels, script);
        EXPECT_TRUE(errors.empty()) << (errors.empty() ? "" : errors[0].Reason);
        return Runner->Run(script);
    }

    std::string Said(TScriptMessage::TKind kind) const
    {
        std::string text;
        for (const TScriptMessage& m : Messages)
            if (m.Kind == kind)
                text += m.Client + " | " + m.Text + "\n";
        return text;
    }
};

class SessionTest : public ::testing::Test, public TSessionRun {
protected:
    void TearDown() override { Stop(); }
};

// "1 8 5": the types of the frames of one direction, in order.
std::string Flow(const TSessionClient& client, TFrameDirection direction)
{
    std::string flow;
    for (const TSessionFrame& f : client.Frames())
        if (f.Direction == direction)
            flow += std::string(flow.empty() ? "" : " ") + std::to_string(f.Bytes.at(0) >> 4);
    return flow;
}

TEST_F(SessionTest, TwoClientsExchangeAQoS2MessageOnceEachInItsOwnFolder)
{
    FakeBroker broker;
    TRelayBroker relay(broker);
    Start(broker.Port());
    TSessionClient& sub = Session->Client("sub");
    TSessionClient& pub = Session->Client("pub");
    EXPECT_EQ(&Session->Client("sub"), &sub);
    EXPECT_NE(sub.Get("ClientIDEdit"), pub.Get("ClientIDEdit"));
    ASSERT_TRUE(sub.Set("SubscribeTopicListEdit", "a/b") && sub.Set("SubscribeQoSListEdit", "2"));
    ASSERT_TRUE(pub.Set("PublishTopicEdit", "a/b") && pub.Set("PublishDataEdit", "once") && pub.Set("PublishSpn", "2"));
    std::string reason;
    EXPECT_FALSE(pub.Set("PublishSpn", "two", &reason));
    EXPECT_EQ(reason, "PublishSpn takes a whole number");
    for (const char* command : {"ConnectBtn", "MQTT_CONNECT_Btn", "Button2"})
        ASSERT_TRUE(sub.Click(command));
    for (const char* command : {"ConnectBtn", "MQTT_CONNECT_Btn", "Button5"})
        ASSERT_TRUE(pub.Click(command));

    // The subscriber's PUBCOMP ends the flow on its side.
    std::size_t from = 0;
    TSessionFrame pubcomp;
    ASSERT_EQ(sub.WaitForFrame(from, [](const TSessionFrame& f) { return f.Direction == TFrameDirection::Sent &&
                                                                       f.Bytes.at(0) == 0x70; },
                               5000, &pubcomp),
              TWaitEnd::Found)
        << Flow(sub, TFrameDirection::Received);
    // A frame counts as sent once its last byte is out, so an answer can be cut out of the stream first.
    EXPECT_EQ(Flow(pub, TFrameDirection::Sent), "1 3 6");
    EXPECT_EQ(Flow(pub, TFrameDirection::Received), "2 5 7");
    EXPECT_EQ(Flow(sub, TFrameDirection::Sent), "1 8 5 7");
    EXPECT_EQ(Flow(sub, TFrameDirection::Received), "2 9 3 6");
    EXPECT_TRUE(sub.TakeBoxes().empty());
    ASSERT_EQ(sub.Frames().size(), 8u);
    EXPECT_LE(sub.Frames()[4].MonotonicNs, pubcomp.MonotonicNs);

    const std::vector<fs::path> files = FilesIn(Dir.Path / "sub");
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(ReadAll(files[0]), "once");
    EXPECT_TRUE(FilesIn(Dir.Path / "pub").empty());
}

// Each script passes, or fails at its line for its reason; then its own check.
TEST_F(SessionTest, ScriptsOfSeveralClientsAgainstTheRelayBroker)
{
    const std::string subscribed = "client sub\nset SubscribeTopicListEdit will/a\nset SubscribeQoSListEdit 1\n"
                                   "open\nconnect\nsubscribe\nexpect received SUBACK\n";
    struct TRow {
        std::string Script;
        int FailedLine;
        std::string Said;   // in a note, or the failure's reason
        std::function<void(FakeBroker&, const fs::path&)> Check;
    };
    const TRow rows[] = {
        // A will reaches the second client once the first one's socket is cut (Close sends no DISCONNECT).
        {subscribed + "client dying\nset WillTopicEdit will/a\nset WillMessageEdit bye\nset WillQoSSpn 1\n"
                      "open\nconnect\nclose\nexpect-no received PUBLISH within 200\nexpect-any received PUBLISH [",
         0, "",
         [](FakeBroker&, const fs::path& dir) {
             const std::vector<fs::path> files = FilesIn(dir / "sub");
             ASSERT_EQ(files.size(), 1u);
             EXPECT_EQ(ReadAll(files[0]), "bye");
         }},
        // A second connection with the same ClientID takes the session over: the first sees its end.
        {"client first\nset ClientIDEdit same\nopen\nconnect\nclient second\nset ClientIDEdit same\nopen\nconnect\n"
         "client first\nexpect-closed within 5000\nclient second\npingreq\nexpect received PINGRESP",
         0, "first | t:10: expect-closed within 5000: closed by the broker: the socket closed (closed by the broker)",
         {}},
        // Raw bytes go out as typed, a lying length included; what follows is read as its rest.
        {"open\nconnect\nsend-raw 30 0a 00 03 61 2F 62\nexpect raw frame reads as PUBLISH: the remaining length "
         "says 10 bytes, 5 follow\nsend-raw-body E0",
         0, "",
         [](FakeBroker& broker, const fs::path&) {
             ASSERT_TRUE(broker.WaitForBytes(broker.Frames(0).at(0).size() + 9, 5000, 0));
             const std::vector<uint8_t> received = broker.Received(0);
             const std::vector<uint8_t> tail{0x30, 0x0A, 0x00, 0x03, 0x61, 0x2F, 0x62, 0xE0, 0x00};
             ASSERT_GE(received.size(), tail.size());
             EXPECT_TRUE(std::equal(tail.begin(), tail.end(), received.end() - std::ptrdiff_t(tail.size())));
             EXPECT_EQ(broker.Frames(0).size(), 1u);   // CONNECT; the rest is one frame still incomplete
         }},
        // The broker's close after a frame of a reserved type.
        {"open\nconnect\nsend-raw 00 00\nexpect-closed", 0, "closed by the broker: the socket closed", {}},
        {"set ProtocolVersionCmb 5.0\nopen\nconnect\nsend-raw 00 00\nexpect-closed", 0,
         "closed by the broker: DISCONNECT 0x81 Malformed Packet, then the socket closed", {}},
        {"open\nconnect\nexpect-closed within 200", 3, "t:3: expect-closed within 200: the connection is still open "
                                                        "after 200 ms", {}},
        {"expect-closed within 0", 1, "no connection is open", {}},
    };
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.Script);
        FakeBroker broker;
        TRelayBroker relay(broker);
        TScratchDir dir;
        Dir.Path.swap(dir.Path);   // each row a folder of its own
        Messages.clear();
        Start(broker.Port());
        const TScriptResult result = RunScript(row.Script);
        EXPECT_EQ(result.Line, row.FailedLine) << result.Reason << Said(TScriptMessage::Box);
        EXPECT_EQ(result.Status, row.FailedLine ? TScriptStatus::Failed : TScriptStatus::Passed);
        EXPECT_NE((Said(TScriptMessage::Note) + result.Reason).find(row.Said), std::string::npos)
            << Said(TScriptMessage::Note) << result.Reason;
        if (row.Check)
            row.Check(broker, Dir.Path);
        Stop();
        Dir.Path.swap(dir.Path);
    }
}

TEST_F(SessionTest, AWatchKeepsOnlyWhatAWaitCanStillMatch)
{
    Start(FakeBroker::UnusedPort());
    TSessionClient& client = Session->Client("c");
    auto watch = Session->WatchLines("c");
    watch->Keep("wanted");
    for (int i = 0; i < 20000; ++i)
        client.Form().Events.SendEventMsg(i % 1000 == 999 ? "wanted " + std::to_string(i) : "noise", "test", 0, 0);
    EXPECT_EQ(watch->Kept().size(), 20u);
    TSessionLine line;
    ASSERT_EQ(watch->Wait("wanted 1999", 0, &line), TWaitEnd::Found);
    EXPECT_EQ(line.Client, "c");
    EXPECT_EQ(watch->Kept().size(), 18u);   // the match and those before it are gone
    watch->Release("wanted");
    client.Form().Events.SendEventMsg("wanted later", "test", 0, 0);
    EXPECT_EQ(watch->Kept().size(), 18u);
}

class SessionMosquittoTest : public MosquittoTest {};

TEST_F(SessionMosquittoTest, WillAndTakeOver)
{
    const std::pair<std::string, std::string> rows[] = {
        {"client sub\nset ClientIDEdit s1\nset SubscribeTopicListEdit will/m\nset SubscribeQoSListEdit 1\nopen\n"
         "connect\nsubscribe\nexpect received SUBACK\nclient dying\nset ClientIDEdit d1\nset WillTopicEdit will/m\n"
         "set WillMessageEdit bye\nopen\nconnect\nclose\nclient sub\nexpect received PUBLISH [ within 10000",
         ""},
        {"client first\nset ProtocolVersionCmb 5.0\nset ClientIDEdit same\nopen\nconnect\nclient second\n"
         "set ProtocolVersionCmb 5.0\nset ClientIDEdit same\nopen\nconnect\nclient first\nexpect-closed",
         "first | t:12: expect-closed: closed by the broker: "},
    };
    for (const auto& [script, said] : rows) {
        SCOPED_TRACE(script);
        TSessionRun run;
        run.Start(Broker.Port());
        const TScriptResult result = run.RunScript(script);
        EXPECT_EQ(result.Status, TScriptStatus::Passed) << result.Reason << Broker.Log();
        EXPECT_NE(run.Said(TScriptMessage::Note).find(said), std::string::npos) << run.Said(TScriptMessage::Note);
        run.Stop();
    }
}

}  // namespace
