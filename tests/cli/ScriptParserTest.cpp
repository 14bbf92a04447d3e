// Script lines as the parser reads them, and the scripts the recorder writes.
#include "CliTestSupport.h"

#include "mqtt/codec/PropertyText.h"

namespace {

using namespace clitest;

class ScriptParserTest : public ::testing::Test {
protected:
    TFakeFrontEnd FrontEnd;
    TForm1 Form{FrontEnd};

    std::vector<TScriptError> Parse(const std::string& text, TScript& script)
    {
        return ParseScript(text, Form, script);
    }
};

TEST_F(ScriptParserTest, LinesBecomeSteps)
{
    struct TRow {
        std::string Line;
        TStepKind Kind;
        const char* Field;       // Set: the control name
        std::string Value;       // Set (text field)
        int64_t Number;          // Set (integer, check box)
        int Ms;
        std::string Pattern;
    };
    using K = TStepKind;
    const TRow rows[] = {
        {"set Port 1884", K::Set, "BrokerPortSpn", "", 1884, 0, ""},
        {"SET brokerportspn \" +1884 \"", K::Set, "BrokerPortSpn", "", 1884, 0, ""},
        {"set KeepAlive 99999999999999999999", K::Set, "KeepAliveSpn", "", INT64_MAX, 0, ""},
        {"set Broker HostName 10.0.0.1", K::Set, "BrokerEdit1", "10.0.0.1", 0, 0, ""},
        {"set \"broker hostname\" 10.0.0.2", K::Set, "BrokerEdit1", "10.0.0.2", 0, 0, ""},
        {"set PublishData(str)   \"  two blanks  \"  ", K::Set, "PublishDataEdit", "  two blanks  ", 0, 0, ""},
        {"set UserName \"\"", K::Set, "UserNameEdit", "", 0, 0, ""},
        {"set WillMessage say \"hi\"", K::Set, "WillMessageEdit", "say \"hi\"", 0, 0, ""},
        {"set PublishTopicEdit", K::Set, "PublishTopicEdit", "", 0, 0, ""},
        {U8("set 定期的にPING 送信 OFF"), K::Set, "PingTimerChk", "", 0, 0, ""},
        // A choice by one of its items, whole or by a word of it; the number is the item's.
        {"set ProtocolVersionCmb 3.1.1", K::Set, "ProtocolVersionCmb", "", 1, 0, ""},
        {U8("set プロトコル \"MQTT 5.0\""), K::Set, "ProtocolVersionCmb", "", 2, 0, ""},
        {"set TLS on", K::Set, "TlsChk", "", 1, 0, ""},
        {U8("set クリーンセッション off"), K::Set, "CleanSessionChk", "", 0, 0, ""},
        {"set Will Retain ON", K::Set, "WillRetainChk", "", 1, 0, ""},
        {U8("set CA 証明書 /etc/ca.pem"), K::Set, "TlsCaFileEdit", "/etc/ca.pem", 0, 0, ""},
        // MQTT 5.0 properties, one line, ";" between entries; reason codes in decimal.
        {"set ConnectPropertiesEdit \"session-expiry-interval = 3600; user-property = a=b\"", K::Set,
         "ConnectPropertiesEdit", "session-expiry-interval = 3600; user-property = a=b", 0, 0, ""},
        {U8("set \"CONNECT プロパティ\" user-property = a=b"), K::Set, "ConnectPropertiesEdit", "user-property = a=b",
         0, 0, ""},
        {U8("set 応答の理由コード 135"), K::Set, "AckReasonSpn", "", 135, 0, ""},
        {"sleep 250", K::Sleep, nullptr, "", 0, 250, ""},
        {"expect received PUBACK [", K::Expect, nullptr, "", 0, 5000, "received PUBACK ["},
        {"expect received PUBACK within 300", K::Expect, nullptr, "", 0, 300, "received PUBACK"},
        {"expect \"a within 5\"", K::Expect, nullptr, "", 0, DefaultExpectMs, "a within 5"},
        {"EXPECT-NO *ERROR* WITHIN 0", K::ExpectNo, nullptr, "", 0, 0, "*ERROR*"},
        {"expect-no *ERROR*", K::ExpectNo, nullptr, "", 0, 1000, "*ERROR*"},
        {"expect-any received PUBLISH within 7", K::ExpectAny, nullptr, "", 0, 7, "received PUBLISH"},
        {"expect-no-any *ERROR*", K::ExpectNoAny, nullptr, "", 0, 1000, "*ERROR*"},
        {"expect-closed", K::ExpectClosed, nullptr, "", 0, 5000, ""},
        {"expect-closed WITHIN 300", K::ExpectClosed, nullptr, "", 0, 300, ""},
    };
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.Line);
        TScript script;
        ASSERT_TRUE(Parse(row.Line, script).empty());
        ASSERT_EQ(script.Steps.size(), 1u);
        const TScriptStep& step = script.Steps[0];
        EXPECT_EQ(step.Kind, row.Kind);
        EXPECT_EQ(step.Line, 1);
        if (row.Field) {
            ASSERT_NE(step.Field, nullptr);
            EXPECT_EQ(step.Field->Name, row.Field);
            if (step.Field->Kind == TScriptFieldKind::Text)
                EXPECT_EQ(step.Value, row.Value);
            else
                EXPECT_EQ(step.Number, row.Number);
        }
        EXPECT_EQ(step.Ms, row.Ms);
        EXPECT_EQ(step.Pattern, row.Pattern);
    }
}

TEST_F(ScriptParserTest, CommandsByWordCaptionControlAndHandlerName)
{
    const std::pair<std::string, THandler> rows[] = {
        {"open", &TForm1::ConnectBtnClick},
        {"Open", &TForm1::ConnectBtnClick},
        {"ConnectBtnClick", &TForm1::ConnectBtnClick},
        {"connect", &TForm1::MQTT_CONNECT_BtnClick},
        {"DISCONNECT", &TForm1::Button4Click},
        {"pingreq", &TForm1::MQTT_PINGREQ_BtnClick},
        {"PUBLISH(str)", &TForm1::Button5Click},
        {"Button5Click", &TForm1::Button5Click},
        {"publish-file", &TForm1::Button7Click},
        {"publish(FILE)", &TForm1::Button7Click},
        {U8("Queue 取り出し"), &TForm1::Button1Click},
        {"Button1", &TForm1::Button1Click},
        {"auth", &TForm1::MQTT_AUTH_BtnClick},
        {"MQTT_AUTH_Btn", &TForm1::MQTT_AUTH_BtnClick},
    };
    for (const auto& [line, handler] : rows) {
        SCOPED_TRACE(line);
        TScript script;
        ASSERT_TRUE(Parse(line, script).empty());
        ASSERT_EQ(script.Steps.size(), 1u);
        EXPECT_EQ(script.Steps[0].Kind, TStepKind::Command);
        EXPECT_TRUE(script.Steps[0].Handler == handler);
    }
}

TEST_F(ScriptParserTest, ErrorsNameTheirLineAndReason)
{
    const std::tuple<std::string, int, std::string> rows[] = {
        {"set Nope 1", 1, "no field of that name or label"},
        {"set", 1, "set needs a field and a value"},
        {"set Port abc", 1, "BrokerPortSpn takes a whole number"},
        {"set Port -", 1, "BrokerPortSpn takes a whole number"},
        {"set Retain maybe", 1, "PublishRetainChk takes on or off"},
        {"set ProtocolVersionCmb MQTT", 1,
         "ProtocolVersionCmb takes one of \"MQTT 3.1 (MQIsdp)\", \"MQTT 3.1.1\", \"MQTT 5.0\""},
        {"TlsCaFileBtn", 1, "the file chooser has no place in a script: set TlsCaFileEdit PATH"},
        {"sleep soon", 1, "sleep takes a time in milliseconds"},
        {"sleep -1", 1, "sleep takes a time in milliseconds"},
        {"expect within 5", 1, "the text of the line to wait for is missing"},
        {"expect x within soon", 1, "within takes a time in milliseconds"},
        {"expect-box", 1, "expect-box needs the text"},
        {"...", 1, "the file chooser has no place in a script"},
        {"Button6Click", 1, "the file chooser has no place in a script"},
        {"open now", 1, "unknown command"},
        {"\n\nsleep 5\nexpect-box x", 4, "expect-box belongs right after a command"},
        {std::string("sleep 1\nse\0t Port 1", 19), 2, "a NUL byte at column 3: a script is text"},
        {"set Prot 1", 1, "no field of that name or label; did you mean Port or ProtocolVersionCmb?"},
        {"pubish", 1, "unknown command; did you mean publish?"},
        {"send-raw C0 0", 1, "an odd number of hexadecimal digits in \"0\""},
        {"send-raw C0 0G", 1, "not a hexadecimal digit at column 5"},
        {"send-raw-body 3 00", 1, "send-raw-body takes the first byte as two hexadecimal digits"},
        {"client a/b", 1, "a client name holds only letters"},
        {"expect-closed soon", 1, "expect-closed takes nothing or \"within MS\""},
    };
    for (const auto& [text, line, reason] : rows) {
        SCOPED_TRACE(text);
        TScript script;
        const std::vector<TScriptError> errors = Parse(text, script);
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_EQ(errors[0].Line, line);
        EXPECT_NE(errors[0].Reason.find(reason), std::string::npos) << errors[0].Reason;
        EXPECT_TRUE(script.Steps.empty());
    }
}

TEST_F(ScriptParserTest, ClientsAndRawFrames)
{
    TScript script;
    ASSERT_TRUE(Parse("set Port 1\nclient pub\nsend-raw \"30 02 00 00\"\nsend-raw\nsleep 1\nclient sub\n"
                      "send-raw-body 0xE0\nclient pub\nexpect-any x",
                      script)
                    .empty());
    EXPECT_TRUE(script.NamesClients);
    EXPECT_EQ(script.Clients, (std::vector<std::string>{"main", "pub", "sub"}));
    ASSERT_EQ(script.Steps.size(), 9u);
    EXPECT_EQ(script.Steps[0].Client, "main");
    EXPECT_EQ(script.Steps[2].Bytes, (std::vector<uint8_t>{0x30, 0x02, 0x00, 0x00}));
    EXPECT_TRUE(script.Steps[3].Kind == TStepKind::Command && script.Steps[3].Handler == &TForm1::RawSendBtnClick);
    EXPECT_EQ(script.Steps[6].Client, "sub");
    EXPECT_EQ(script.Steps[6].Bytes, (std::vector<uint8_t>{0xE0, 0x00}));
    // The remaining length is computed for the body: 200 bytes take two length bytes.
    ASSERT_TRUE(Parse("send-raw-body 30 " + std::string(400, 'a'), script).empty());
    EXPECT_FALSE(script.NamesClients);
    ASSERT_EQ(script.Steps[0].Bytes.size(), 203u);
    EXPECT_EQ(std::vector<uint8_t>(script.Steps[0].Bytes.begin(), script.Steps[0].Bytes.begin() + 4),
              (std::vector<uint8_t>{0x30, 0xC8, 0x01, 0xAA}));
}

TEST_F(ScriptParserTest, EveryErrorIsReportedAndNothingIsKept)
{
    TScript script;
    const std::vector<TScriptError> errors = Parse("open\nbad one\n\n# fine\nworse\nclose\n", script);
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_EQ(errors[0].Line, 2);
    EXPECT_EQ(errors[0].Text, "bad one");
    EXPECT_EQ(errors[1].Line, 5);
    EXPECT_TRUE(script.Steps.empty());
}

TEST_F(ScriptParserTest, CommentsBlankLinesCarriageReturnsAndByteOrderMarkAreSkipped)
{
    TScript script;
    ASSERT_TRUE(Parse("\xEF\xBB\xBFopen\r\n  # close\r\n\r\n\t close  \r\nexpect x\r", script).empty());
    ASSERT_EQ(script.Steps.size(), 3u);
    EXPECT_EQ(script.Steps[0].Line, 1);
    EXPECT_EQ(script.Steps[1].Line, 4);
    EXPECT_EQ(script.Steps[1].Text, "close");
    EXPECT_EQ(script.Steps[2].Pattern, "x");
}

// ---- the recorder ----

class SessionRecorderTest : public ::testing::Test {
protected:
    TFakeFrontEnd FrontEnd;
    TForm1 Form{FrontEnd};
    TSessionRecorder Recorder;

    // A handler as the window runs it; change() stands for what the handler itself does.
    void Click(THandler handler, const std::function<void()>& change = {})
    {
        Recorder.OnCommand(Form, handler);
        if (change)
            change();
        Recorder.OnCommandDone(Form);
    }
};

TEST_F(SessionRecorderTest, WritesChangedFieldsBeforeEachCommandFromTheLastOpenOn)
{
    Click(&TForm1::Button5Click);   // before any Open: not part of a session
    EXPECT_TRUE(Recorder.Empty());

    Form.ClientIDEdit.Text = "first";
    Click(&TForm1::ConnectBtnClick);
    Click(&TForm1::DisconnectBtnClick);

    // The session that counts.
    Form.ClientIDEdit.Text = "dev1";
    Form.BrokerPortSpn.SetValue(1884);
    Form.ProtocolVersionCmb.Index = 1;
    Form.CleanSessionChk = false;
    Click(&TForm1::ConnectBtnClick);
    EXPECT_FALSE(Recorder.Empty());
    Click(&TForm1::MQTT_CONNECT_BtnClick);
    Form.PingReqIntervalSpn.SetValue(5);
    Click(&TForm1::PingReqIntervalSpnChange);
    Form.PingTimerChk = true;
    Click(&TForm1::PingTimerChkClick);
    Click(&TForm1::PingTimerTick);                  // the replay's timer ticks by itself
    Form.PublishSpn.SetValue(1);
    Form.PublishDataEdit.Text = "with \"quotes\"";
    Form.PublishRetainChk = true;
    Click(&TForm1::Button5Click, [&] { Recorder.OnBox("SocketReady check failed.\nsecond line"); });
    Click(&TForm1::Button6Click, [&] { Form.PublishDataFileEdit.Text = "/data/chosen.bin"; });
    Click(&TForm1::Button7Click);
    Click(&TForm1::DisconnectBtnClick, [&] { Form.PingTimerChk = false; });
    Click(&TForm1::Button1Click);                   // Close's own change is no set line
    // A properties text on several lines is written on one.
    const std::string properties = "message-expiry-interval = 60\r\ncontent-type = \"a; b\"";
    Form.PublishPropertiesEdit.Text = properties;
    Form.AuthReasonSpn.SetValue(25);
    Click(&TForm1::MQTT_AUTH_BtnClick);
    Recorder.OnBox("outside any command");

    EXPECT_EQ(Recorder.Script(),
              "# Tarnwick session script. Replay: tarnwick-cli FILE\n"
              "set ClientIDEdit \"dev1\"\n"
              "set BrokerPortSpn 1884\n"
              "set CleanSessionChk off\n"
              "set ProtocolVersionCmb \"MQTT 3.1.1\"\n"
              "open\n"
              "connect\n"
              "set PingReqIntervalSpn 5\n"
              "set PingTimerChk on\n"
              "set PublishDataEdit \"with \"quotes\"\"\n"
              "set PublishSpn 1\n"
              "set PublishRetainChk on\n"
              "publish\n"
              "expect-box \"SocketReady check failed.\"\n"
              "set PublishDataFileEdit \"/data/chosen.bin\"\n"
              "publish-file\n"
              "close\n"
              "queue\n"
              "set PublishPropertiesEdit \"message-expiry-interval = 60; content-type = \"a; b\"\"\n"
              "set AuthReasonSpn 25\n"
              "auth\n");

    // What it wrote parses, and the quoted text comes back whole.
    TScript script;
    ASSERT_TRUE(ParseScript(Recorder.Script(), Form, script).empty());
    EXPECT_EQ(script.Steps[8].Value, "with \"quotes\"");
    EXPECT_EQ(script.Steps[3].Number, 1);   // MQTT 3.1.1
    EXPECT_EQ(ParsePropertyText(script.Steps[17].Value, TPacketKind::Publish),
              ParsePropertyText(properties, TPacketKind::Publish));
}

}  // namespace
