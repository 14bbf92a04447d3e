// The runner against a form and a scripted broker: fields, expects, boxes,
// the ping timer and cancelling.
#include "CliTestSupport.h"

#include <thread>

namespace {

using namespace clitest;

class ScriptRunnerTest : public ::testing::Test {
protected:
    FakeBroker Broker;
    UdpCapture Capture;
    TScriptFrontEnd FrontEnd;
    std::unique_ptr<TForm1> Form;
    std::unique_ptr<TScriptRunner> Runner;
    std::vector<TScriptMessage> Messages;
    std::mutex MessagesLock;

    void SetUp() override
    {
        AnswerWell(Broker);
        NewForm();
    }

    void NewForm()
    {
        Runner.reset();
        Form = std::make_unique<TForm1>(FrontEnd, Capture.Port());
        Runner = std::make_unique<TScriptRunner>(*Form, [this](const TScriptMessage& m) {
            std::lock_guard guard(MessagesLock);
            Messages.push_back(m);
        });
        FrontEnd.Runner = Runner.get();
        Form->Run(&TForm1::FormCreate);
        Form->BrokerEdit1.Text = Broker.Host();
        Form->BrokerPortSpn.SetValue(Broker.Port());
        Form->ClientIDEdit.Text = "dev1";
    }

    void TearDown() override
    {
        Runner.reset();
        Form.reset();
    }

    TScriptResult Run(const std::string& text)
    {
        TScript script;
        script.Name = "t";
        const std::vector<TScriptError> errors = ParseScript(text, *Form, script);
        EXPECT_TRUE(errors.empty()) << (errors.empty() ? "" : errors[0].Reason);
        return Runner->Run(script);
    }

    bool Said(TScriptMessage::TKind kind, const std::string& text)
    {
        std::lock_guard guard(MessagesLock);
        return std::any_of(Messages.begin(), Messages.end(), [&](const TScriptMessage& m) {
            return m.Kind == kind && m.Text.find(text) != std::string::npos;
        });
    }
};

TEST_F(ScriptRunnerTest, SetByLabelOrControlNameGoesThroughTheWindowsLimitsAndHandlers)
{
    struct TRow {
        std::string Line;
        std::function<bool(const TForm1&)> Holds;
        const char* Note;        // a note the runner gives, if any
    };
    const TRow rows[] = {
        {"set Port 1884", [](const TForm1& f) { return f.BrokerPortSpn.Text == "1884"; }, nullptr},
        {"set BrokerPortSpn 70000", [](const TForm1& f) { return f.BrokerPortSpn.Text == "65535"; },
         "BrokerPortSpn takes 0 to 65535; set to 65535"},
        {"set PublishQoS -3", [](const TForm1& f) { return f.PublishSpn.Text == "0"; }, "set to 0"},
        {"set SubscribeTopicList a/b,c", [](const TForm1& f) { return f.SubscribeTopicListEdit.Text == "a/b,c"; },
         nullptr},
        {"set SubscribeTopicListEdit \" x \"",
         [](const TForm1& f) { return f.SubscribeTopicListEdit.Text == " x "; }, nullptr},
        {U8("set 報告間隔(ミリ秒) 0"), [](const TForm1& f) { return f.ReportPauseSpn.Text == "0"; }, nullptr},
        {"set Retain on", [](const TForm1& f) { return f.PublishRetainChk; }, nullptr},
        {U8("set プロトコル 5.0"), [](const TForm1& f) { return f.ProtocolVersion() == TProtocolVersion::MQTT50; },
         nullptr},
        {"set TlsVerifyHostChk off", [](const TForm1& f) { return !f.TlsConfig().VerifyHostName; }, nullptr},
        // The interval's handler runs, as the window runs it on a change.
        {U8("set 送信間隔(秒) 7"), [](const TForm1& f) { return f.PingTimerInterval == 7000; }, nullptr},
        // Disabled without a connection, as in the window.
        {"set PingTimerChk on", [](const TForm1& f) { return !f.PingTimerChk && !f.PingTimerEnabled; },
         "PingTimerChk is disabled"},
    };
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.Line);
        const TScriptResult result = Run(row.Line);
        EXPECT_EQ(result.Status, TScriptStatus::Passed) << result.Reason;
        EXPECT_TRUE(row.Holds(*Form));
        if (row.Note) {
            EXPECT_TRUE(Said(TScriptMessage::Note, row.Note));
        }
    }
}

// Each script passes, or fails at its line for its reason.
TEST_F(ScriptRunnerTest, ExpectsAndBoxes)
{
    const std::string connected = "open\nconnect\n";
    const std::string refused = "set Port " + std::to_string(FakeBroker::UnusedPort()) + "\nopen\n";
    const std::tuple<std::string, int, std::string> rows[] = {
        // Lines that came while a command ran count; each expect searches on after the previous match.
        {connected + "expect sending CONNECT\nexpect ConnectReturnCode 0", 0, ""},
        {connected + "expect sending CONNECT\nexpect MQTT_Unit: sending CONNECT [dev1] within 100", 4,
         "t:4: expect MQTT_Unit: sending CONNECT [dev1] within 100: no line containing \"MQTT_Unit: sending "
         "CONNECT [dev1]\" within 100 ms"},
        {connected + "expect ConnectReturnCode 0\nexpect sending CONNECT within 50", 4, "within 50 ms"},
        {connected + "expect-no *ERROR* within 50\nexpect received CONNACK [dev1]", 0, ""},
        {connected + "expect-no CONNACK within 50", 3,
         "a line containing \"CONNACK\" came: Tarnwick: received CONNACK [dev1]"},
        {"expect FormCreate: program start.. ", 0, ""},
        {connected + "pingreq\nexpect received PINGRESP within 0", 0, ""},
        // Boxes of every kind fail unless the next lines expect them.
        {"publish", 1, "t:1: publish: the box \"SocketReady check failed.\" was not expected"},
        {"publish\nexpect-box SocketReady check", 0, ""},
        {"publish\nexpect-box other", 2, "the box said \"SocketReady check failed.\""},
        {"publish\nexpect-box SocketReady\npublish", 3, "was not expected"},
        {refused + "expect-box " + U8("接続に失敗しました"), 0, ""},
        {refused + "sleep 0", 2, U8("接続に失敗しました")},
        {"open\nqueue\nclose", 2, U8("パケットが見つかりません")},
        {"open\nqueue\nexpect-box " + U8("パケットが見つかりません") + "\nclose", 0, ""},
        {"open\nexpect-box x", 2, "no box was shown"},
        // One form is one connection: a second client is refused before anything runs.
        {"client a\nsleep 0\nclient b\nopen", 3, "drives one connection: run it with tarnwick-cli"},
    };
    for (const auto& [text, failedLine, reason] : rows) {
        SCOPED_TRACE(text);
        NewForm();
        const TScriptResult result = Run(text);
        EXPECT_EQ(result.Status, failedLine ? TScriptStatus::Failed : TScriptStatus::Passed) << result.Reason;
        EXPECT_EQ(result.Line, failedLine);
        EXPECT_NE(result.Reason.find(reason), std::string::npos) << result.Reason;
        if (failedLine) {
            EXPECT_TRUE(Said(TScriptMessage::Failure, result.Reason));
        }
    }
    EXPECT_TRUE(Said(TScriptMessage::Box, "box [tarnwick] SocketReady check failed."));
}

TEST_F(ScriptRunnerTest, PingTimerTicksDuringWaitsAndCancelEndsTheRun)
{
    TScriptResult result;
    std::thread run(
        [&] { result = Run("open\nconnect\nset PingReqIntervalSpn 1\nset PingTimerChk on\nsleep 60000\nclose"); });
    // CONNECT, then two PINGREQs of the timer while the script sleeps.
    const bool ticked = Broker.WaitForFrames(3, 10000);
    const auto cancelled = std::chrono::steady_clock::now();
    Runner->Cancel();
    run.join();
    const auto took = std::chrono::steady_clock::now() - cancelled;
    ASSERT_TRUE(ticked);
    const std::vector<testframes::TFrame> frames = Broker.Frames(0);
    EXPECT_EQ(testframes::TypeOf(frames[1]), 12);
    EXPECT_EQ(testframes::TypeOf(frames[2]), 12);
    EXPECT_EQ(result.Status, TScriptStatus::Cancelled);
    EXPECT_EQ(result.Line, 5);
    EXPECT_LT(took, std::chrono::seconds(5));
    EXPECT_TRUE(Form->DisconnectBtnEnabled);   // "close" never ran
}

}  // namespace
