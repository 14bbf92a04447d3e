// tarnwick-cli as a subprocess: a whole session against mosquitto, the exit
// statuses, boxes, and a session recorded through the form replayed to the
// same frames.
#include "CliTestSupport.h"

#include "support/ChildProcess.h"
#include "support/MosquittoBroker.h"
#include "support/RelayBroker.h"

#include <signal.h>

#include <chrono>
#include <thread>

#include <regex>

namespace {

using namespace clitest;

#ifndef TARNWICK_CLI
#error "TARNWICK_CLI names the program under test"
#endif

TChildResult RunCli(const std::vector<std::string>& args, const std::string& input = {})
{
    TChildResult result = RunChild(TARNWICK_CLI, args, input);
    EXPECT_FALSE(result.TimedOut) << result.Out;
    return result;
}

// The shipped example session, pointed at the test's broker.
std::string ExampleScript(int port)
{
    std::string text = ReadAll(TARNWICK_EXAMPLE_SCRIPT);
    const std::string line = "set Port 1883";
    const std::size_t at = text.find(line);
    EXPECT_NE(at, std::string::npos);
    return text.replace(at, line.size(), "set Port " + std::to_string(port));
}

class CliMosquittoTest : public MosquittoTest {};

TEST_F(CliMosquittoTest, ExampleSessionPassesAndLeavesThePayloadFiles)
{
    UdpCapture capture;
    TScratchDir dir, payloads;
    const std::string script = dir.Write("session.tws", ExampleScript(Broker.Port()));
    const TChildResult result = RunCli(
        {"--event-port", std::to_string(capture.Port()), "--dir", payloads.Path.string(), script});

    EXPECT_EQ(result.ExitCode, 0) << result.Out << result.Err << Broker.Log();
    EXPECT_NE(result.Out.find("tarnwick-cli: " + script + ": passed"), std::string::npos) << result.Out;
    // Lines as the log listener prints them.
    EXPECT_TRUE(std::regex_search(result.Out, std::regex(R"((^|\n)\d{4}/\d\d/\d\d \d\d\.\d\d\.\d\d MQTT_Unit: )"
                                                         R"(sending CONNECT \[tarnwick-example\]\n)")))
        << result.Out;
    EXPECT_NE(result.Out.find(U8("box [警告] パケットが見つかりません")), std::string::npos);
    // The datagrams still go to the event port.
    EXPECT_TRUE(capture.WaitForMessage("FormCreate: program start.. ", 5000));
    EXPECT_TRUE(capture.WaitForMessage("disconnected.", 5000));

    // QoS 0, 1 and 2 of the text and the sample file at QoS 1 came back through the subscription.
    std::vector<std::string> contents;
    for (const fs::path& file : payloads.Files()) {
        EXPECT_TRUE(file.filename().string().starts_with("Pub_")) << file;
        contents.push_back(ReadAll(file));
    }
    std::sort(contents.begin(), contents.end());
    const std::string text = U8("これは試験データです from Windows7");
    const std::string sample = ReadAll(TForm1::DefaultDataFilePath());
    std::vector<std::string> expected{text, text, text, sample};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(contents, expected);
}

class CliBrokerTest : public ::testing::Test {
protected:
    FakeBroker Broker;
    UdpCapture Capture;
    TScratchDir Dir;

    void SetUp() override { AnswerWell(Broker); }

    std::string Port() const { return std::to_string(Broker.Port()); }
    std::vector<std::string> Args(const std::string& script) const
    {
        return {"--event-port", std::to_string(Capture.Port()), "--dir", Dir.Path.string(), script};
    }
};

TEST_F(CliBrokerTest, UnmetExpectExitsOneNamingTheLine)
{
    const std::string script = "set Port " + Port() +
                               "\nset ClientIDEdit dev1\nopen\nconnect\nexpect received PUBACK within 200\nclose\n";
    std::vector<std::string> args = Args("-");
    args.insert(args.begin(), "--quiet");
    const TChildResult result = RunCli(args, script);
    EXPECT_EQ(result.ExitCode, 1);
    EXPECT_EQ(result.Out,
              "stdin:5: expect received PUBACK within 200: no line containing \"received PUBACK\" within 200 ms\n"
              "tarnwick-cli: stdin: FAILED at line 5\n");
    // The run stopped there: no "close", the connection ended with the process.
    EXPECT_TRUE(Broker.WaitForPeerClose(5000));
    EXPECT_FALSE(Capture.WaitForMessage("disconnected.", 0));
}

TEST_F(CliBrokerTest, ParseErrorExitsTwoBeforeAnythingIsSent)
{
    const std::string script = Dir.Write("bad.tws", "set Port " + Port() + "\nopen\nconnect\nexpect\nsleep x\n");
    const TChildResult result = RunCli(Args(script));
    EXPECT_EQ(result.ExitCode, 2);
    // On standard error, so a pipe of the lines sees none of it.
    EXPECT_EQ(result.Out, "");
    EXPECT_NE(result.Err.find(script + ":4: expect: the text of the line to wait for is missing\n"), std::string::npos)
        << result.Err;
    EXPECT_NE(result.Err.find(script + ":5: sleep x: "), std::string::npos) << result.Err;
    EXPECT_NE(result.Err.find("not run: 2 lines cannot be parsed"), std::string::npos) << result.Err;
    // The program has ended: a connection or a datagram would be here by now.
    EXPECT_EQ(Broker.ConnectionCount(), 0u);
    EXPECT_FALSE(Capture.WaitForCount(1, 200));
}

TEST_F(CliBrokerTest, ErrorBoxFailsUnlessTheNextLineExpectsIt)
{
    const std::string refused = "set Port " + std::to_string(FakeBroker::UnusedPort()) + "\nopen\n";
    const std::string failed = U8("接続に失敗しました。ホスト名とポート番号を確認してください");
    struct TRow {
        std::string Script;
        int ExitCode;
        std::string Printed;
    };
    const TRow rows[] = {
        {refused, 1, "s.tws:2: open: the box \"" + failed + "\" was not expected\n"},
        {refused + "expect-box " + U8("接続に失敗"), 0, "passed (3 lines)"},
    };
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.Script);
        const TChildResult result = RunCli(Args(Dir.Write("s.tws", row.Script)));
        EXPECT_EQ(result.ExitCode, row.ExitCode);
        EXPECT_NE(result.Out.find(U8("box [エラー] ") + failed + "\n"), std::string::npos) << result.Out;
        EXPECT_NE(result.Out.find(row.Printed), std::string::npos) << result.Out;
    }
}

// The first Ctrl-C ends a sleep or an Open that hangs in its connect (5 s
// alone), also after a SIGUSR1 from outside; the run then exits 1.
TEST_F(CliBrokerTest, FirstCtrlCCancelsTheRunAndExitsOne)
{
    FullBacklogListener silent;
    const std::pair<std::string, bool> rows[] = {
        {"set Port " + Port() + "\nopen\nconnect\nsleep 60000\nclose\n", false},
        {"set Port " + std::to_string(silent.Port()) + "\nopen\nsleep 60000\n", true},
    };
    for (const auto& [text, open] : rows) {
        SCOPED_TRACE(text);
        const bool inOpen = open;   // a copy the lambda can take
        if (inOpen && !silent.Ready())
            continue;   // no connect hangs on this host
        const std::string script = Dir.Write("s.tws", text);
        const TChildResult result = RunChild(TARNWICK_CLI, Args(script), {}, 4000, [&](pid_t pid) {
            if (inOpen)
                std::this_thread::sleep_for(std::chrono::milliseconds(700));
            else if (!Broker.WaitForFrames(1, 3000))
                return;
            // Taken first when it comes alone; it must leave Ctrl-C working.
            ::kill(pid, SIGUSR1);
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            ::kill(pid, SIGINT);
        });
        EXPECT_FALSE(result.TimedOut);
        EXPECT_EQ(result.ExitCode, 1) << result.Out;
        EXPECT_NE(result.Out.find(": CANCELLED at line "), std::string::npos) << result.Out;
    }
}

TEST_F(CliBrokerTest, HelpFieldsAndTheFieldsReasonWhenAFrameCannotBeBuilt)
{
    const std::string noWillTopic =
        Dir.Write("w.tws", "set Port " + Port() + "\nset WillTopicEdit \"\"\nopen\nconnect\nclose\n");
    const std::pair<std::vector<std::string>, std::vector<std::string>> rows[] = {
        {{"--help"}, {"  send-raw HEX ", "  expect-closed [within MS] ", "  publish-file   Button7 "}},
        {{"--fields"},
         {"\nBrokerPortSpn              integer  0..65535", "\nTlsCaFileEdit              text ",
          "\nProtocolVersionCmb         choice   MQTT 3.1 (MQIsdp)|MQTT 3.1.1|MQTT 5.0"}},
        {Args(noWillTopic),
         {"MQTT_Unit: *ERROR* CONNECT frame building failed, parameter error [",
          "\nWillTopicEdit: " + U8("WillMessage を送るには WillTopic が要ります")}},
    };
    for (const auto& [args, printed] : rows) {
        SCOPED_TRACE(args.front());
        const TChildResult result = RunCli(args);
        EXPECT_EQ(result.ExitCode, 0) << result.Err;
        for (const std::string& text : printed)
            EXPECT_NE(result.Out.find(text), std::string::npos) << text << "\n" << result.Out;
    }
}

TEST_F(CliBrokerTest, SeveralClientsPrintTheirNamesAndKeepAFolderEach)
{
    TRelayBroker relay(Broker);
    const std::string port = "\nset Port " + Port();
    const std::string script = "client a" + port + "\nset SubscribeTopicListEdit t\nset SubscribeQoSListEdit 1\nopen\n"
                               "connect\nsubscribe\nclient bb" + port + "\nset PublishTopicEdit t\nset PublishSpn 1\n"
                               "open\nconnect\npublish\nclient a\nexpect received PUBLISH [\n";
    const TChildResult result = RunCli(Args(Dir.Write("s.tws", script)));
    EXPECT_EQ(result.ExitCode, 0) << result.Out;
    EXPECT_TRUE(std::regex_search(result.Out, std::regex(R"((^|\n)a  \| \d{4}/\S+ \S+ TMQTTEventHandlerThread: received PUBLISH)")))
        << result.Out;
    EXPECT_TRUE(std::regex_search(result.Out, std::regex(R"(\nbb \| \S+ \S+ Tarnwick: received PUBACK)"))) << result.Out;
    EXPECT_EQ(FilesIn(Dir.Path / "a").size(), 1u);
    EXPECT_TRUE(fs::is_directory(Dir.Path / "bb"));
    EXPECT_TRUE(FilesIn(Dir.Path / "bb").empty());
}

// Recorded in MQTT 3.1, in 3.1.1 with will retain on and clean session off, and
// in 5.0 with properties (one on two lines) and a reason code.
class CliReplayTest : public CliBrokerTest, public ::testing::WithParamInterface<int> {};

TEST_P(CliReplayTest, RecordedSessionReplaysToTheSameFrames)
{
    // The session, run through the form as the window runs it, with the recorder.
    TScriptFrontEnd frontEnd;
    TSessionRecorder recorder;
    frontEnd.Recorder = &recorder;
    {
        TForm1 form(frontEnd, Capture.Port());
        form.Run(&TForm1::FormCreate);
        auto click = [&](THandler handler) {
            recorder.OnCommand(form, handler);
            form.Run(handler);
            recorder.OnCommandDone(form);
        };
        form.ClientIDEdit.Text = "replay1";
        form.BrokerPortSpn.SetValue(Broker.Port());
        form.ProtocolVersionCmb.Index = GetParam();
        form.CleanSessionChk = GetParam() == 0;
        form.WillRetainChk = GetParam() != 0;
        if (GetParam() == 2) {
            form.ConnectPropertiesEdit.Text = "session-expiry-interval = 10\nuser-property = a=b";
            form.PublishPropertiesEdit.Text = "content-type = \"a; b\"";
            form.DisconnectReasonSpn.SetValue(4);
        }
        click(&TForm1::ConnectBtnClick);
        click(&TForm1::MQTT_CONNECT_BtnClick);
        click(&TForm1::Button1Click);   // an empty queue: a box the replay expects
        form.SubscribeTopicListEdit.Text = "a/b,c/d";
        click(&TForm1::Button2Click);
        form.PublishSpn.SetValue(1);
        click(&TForm1::Button5Click);
        form.PublishSpn.SetValue(2);
        form.PublishRetainChk = true;
        form.PublishDataEdit.Text = "  quoted \"text\"  ";
        click(&TForm1::Button5Click);
        click(&TForm1::Button7Click);
        click(&TForm1::MQTT_PINGREQ_BtnClick);
        click(&TForm1::Button3Click);
        click(&TForm1::Button4Click);
        click(&TForm1::DisconnectBtnClick);
        ASSERT_EQ(frontEnd.Boxes.size(), 1u);
        ASSERT_TRUE(frontEnd.Errors.empty());
    }
    ASSERT_TRUE(Broker.WaitForPeerClose(5000, 0));

    const std::string script = Dir.Write("recorded.tws", recorder.Script());
    const TChildResult result = RunCli(Args(script));
    EXPECT_EQ(result.ExitCode, 0) << recorder.Script() << result.Out;
    ASSERT_TRUE(Broker.WaitForPeerClose(5000, 1));
    const std::vector<testframes::TFrame> recorded = Broker.Frames(0), replayed = Broker.Frames(1);
    // CONNECT, SUBSCRIBE, PUBLISH (QoS 1), PUBLISH and PUBREL twice (QoS 2), PINGREQ, UNSUBSCRIBE, DISCONNECT
    EXPECT_EQ(recorded.size(), 10u);
    EXPECT_EQ(replayed, recorded) << recorder.Script();
    ASSERT_FALSE(recorded.empty());
    // The CONNECT's protocol level, after "MQIsdp" or "MQTT".
    EXPECT_EQ(GetParam() == 0 ? recorded[0].at(10) : recorded[0].at(8), GetParam() == 0 ? 3 : GetParam() + 3);
    // 5.0: the DISCONNECT carries its reason code.
    const testframes::TFrame disconnect = GetParam() == 2 ? testframes::TFrame{0xE0, 1, 4} : testframes::TFrame{0xE0, 0};
    EXPECT_EQ(recorded.back(), disconnect);
}

INSTANTIATE_TEST_SUITE_P(Versions, CliReplayTest, ::testing::Values(0, 1, 2));

}  // namespace
