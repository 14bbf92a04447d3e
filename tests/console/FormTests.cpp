// The form without a broker: settings, the identifier counter, the ping timer,
// the file chooser, start-up and shut-down, Open/Close against a bare socket.
#include "ConsoleTestSupport.h"

#include "console/form/FieldTable.h"
#include "diag/AppEventMsg.h"
#include "mqtt/engine/MQTTClient.h"
#include "platform/ClientSocket.h"
#include "platform/HostName.h"
#include "support/FakeBroker.h"
#include "support/SilentResolver.h"
#include "support/TestPki.h"
#include "support/TlsTestServer.h"
#include "support/MqttFrames.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <optional>
#include <thread>

namespace {

// A TCP socket on 127.0.0.1: listening (connects succeed into its backlog) or
// only bound (connects are refused).
class TLoopbackPort {
public:
    explicit TLoopbackPort(bool listening)
    {
        Fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (Fd < 0 || ::bind(Fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
            throw std::runtime_error("bind failed");
        socklen_t len = sizeof addr;
        ::getsockname(Fd, reinterpret_cast<sockaddr*>(&addr), &len);
        Port = ntohs(addr.sin_port);
        if (listening && ::listen(Fd, 8) != 0)
            throw std::runtime_error("listen failed");
    }
    ~TLoopbackPort() { ::close(Fd); }
    int Port = 0;

private:
    int Fd = -1;
};

class FormTest : public ::testing::Test {
protected:
    TFakeFrontEnd FrontEnd;
    UdpCapture Capture;
    TForm1 Form{FrontEnd, Capture.Port()};
};

// ---- settings ----

TEST_F(FormTest, TextFieldsHaveTheirLabelsAndDefaults)
{
    struct TRow {
        const TTextField* Field;
        const char* Label;
        const char* Default;
    };
    const TRow rows[] = {
        {&Form.BrokerEdit1, "Broker HostName", "127.0.0.1"},
        {&Form.ClientIDEdit, "ClientID", ""},
        {&Form.UserNameEdit, "UserName", ""},
        {&Form.PasswordEdit, "Password", ""},
        {&Form.WillTopicEdit, "WillTopic", "hello/my_will"},
        {&Form.WillMessageEdit, "WillMessage", "さようなら"},
        {&Form.SubscribeTopicListEdit, "SubscribeTopicList", "hello/world,センサー/ノード1"},
        {&Form.SubscribeQoSListEdit, "SubscribeQoSList", "2,0"},
        {&Form.UnSubscribeTopicListEdit, "UnSubscribeTopicList", "hello/world,センサー/ノード1"},
        {&Form.PublishTopicEdit, "PublishTopic", "hello/world"},
        {&Form.PublishDataEdit, "PublishData(str)", "これは試験データです from Windows7"},
        {&Form.TlsCaFileEdit, "CA 証明書", ""},
        {&Form.TlsCertFileEdit, "クライアント証明書", ""},
        {&Form.TlsKeyFileEdit, "秘密鍵", ""},
        {&Form.ConnectPropertiesEdit, "CONNECT プロパティ", ""},
        {&Form.WillPropertiesEdit, "Will プロパティ", ""},
        {&Form.PublishPropertiesEdit, "PUBLISH プロパティ", ""},
        {&Form.SubscribePropertiesEdit, "SUBSCRIBE プロパティ", ""},
        {&Form.UnsubscribePropertiesEdit, "UNSUBSCRIBE プロパティ", ""},
        {&Form.DisconnectPropertiesEdit, "DISCONNECT プロパティ", ""},
        {&Form.AckPropertiesEdit, "応答プロパティ", ""},
        {&Form.AuthPropertiesEdit, "AUTH プロパティ", ""},
    };
    for (const TRow& row : rows) {
        EXPECT_EQ(row.Field->Label, U8(row.Label));
        EXPECT_EQ(row.Field->Text, U8(row.Default)) << row.Label;
        EXPECT_EQ(row.Field->Masked, row.Field == &Form.PasswordEdit) << row.Label;
    }
    EXPECT_EQ(Form.PublishDataFileEdit.Label, U8("PublishData(file)"));
    EXPECT_EQ(Form.Caption, U8("Tarnwick テストプログラム"));
}

TEST_F(FormTest, ChoiceFindsAnItemByItsTextOrOneOfItsWords)
{
    const std::pair<const char*, int> rows[] = {
        {"MQTT 3.1.1", 1}, {"mqtt 5.0", 2}, {"3.1.1", 1}, {"3.1", 0}, {"5.0", 2}, {"MQIsdp", 0},
        {"MQTT", -1},   // every item has it
        {"3", -1},       {"", -1},      {"3.1.1 ", -1},
    };
    for (const auto& [text, index] : rows)
        EXPECT_EQ(Form.ProtocolVersionCmb.Find(text), index) << '"' << text << '"';
    // The items are the versions' names, in their order; one outside the items reads as the first.
    for (std::size_t i = 0; i < std::size(AllProtocolVersions); ++i)
        EXPECT_EQ(Form.ProtocolVersionCmb.Items.at(i), ProtocolVersionName(AllProtocolVersions[i]));
    Form.ProtocolVersionCmb.Index = 7;
    EXPECT_EQ(Form.ProtocolVersionCmb.Text(), "MQTT 3.1 (MQIsdp)");
    EXPECT_EQ(Form.ProtocolVersion(), TProtocolVersion::MQTT31);
}

// Asked for TLS while the connection cannot encrypt, "Open" refuses before
// anything is sent, rather than send the credentials in clear text.
TEST_F(FormTest, IntegerFieldsHaveTheirLabelsDefaultsAndLimits)
{
    struct TRow {
        const TIntField* Field;
        const char* Label;
        int Default, Min, Max;
    };
    const TRow rows[] = {
        {&Form.BrokerPortSpn, "Port", 1883, 0, 65535},
        {&Form.KeepAliveSpn, "KeepAlive", 60, 0, 65535},
        {&Form.WillQoSSpn, "WillQoS", 0, 0, 2},
        {&Form.PublishSpn, "PublishQoS", 2, 0, 2},
        {&Form.PingReqIntervalSpn, "送信間隔(秒)", 30, 1, 65535},
        {&Form.ReportPauseSpn, "報告間隔(ミリ秒)", 10, 0, 100},
        {&Form.WriteStallSpn, "送信停滞の上限(秒)", 10, 1, 3600},
        {&Form.DisconnectReasonSpn, "DISCONNECT 理由コード", 0, 0, 255},
        {&Form.AckReasonSpn, "応答の理由コード", 0, 0, 255},
        {&Form.AuthReasonSpn, "AUTH 理由コード", 0, 0, 255},
    };
    for (const TRow& row : rows) {
        EXPECT_EQ(row.Field->Label, U8(row.Label));
        EXPECT_EQ(row.Field->Value(), row.Default) << row.Label;
        EXPECT_EQ(row.Field->Min, row.Min) << row.Label;
        EXPECT_EQ(row.Field->Max, row.Max) << row.Label;
    }
}

// The program's answer waits: a wait planted shorter or longer would change
// when a command repeats its request and when it gives up.
TEST_F(FormTest, AnswerWaitsHaveTheProgramsDefaults)
{
    const TAnswerTimeouts t = Form.AnswerTimeouts;
    const std::pair<const char*, int> rows[] = {
        {"CONNACK", t.Connack}, {"PINGRESP", t.Pingresp}, {"SUBACK", t.Suback}, {"UNSUBACK", t.Unsuback},
        {"PUBACK", t.Puback},   {"PUBREC", t.Pubrec},     {"PUBCOMP", t.Pubcomp},   {"AUTH", t.Auth},
    };
    const int expected[] = {1000, 1000, 1000, 1000, 20000, 20000, 1000, 1000};
    for (std::size_t i = 0; i < std::size(rows); ++i)
        EXPECT_EQ(rows[i].second, expected[i]) << rows[i].first;
}

TEST(IntField, ReadsAndClampsTypedText)
{
    struct TRow {
        const char* Text;
        int Value;
    };
    const TRow rows[] = {
        {"42", 42},     {" 42 ", 42},  {"+7", 7},        {"0", 1},          {"-5", 1},    {"70000", 65535},
        {"65535", 65535}, {"abc", 1},  {"", 1},          {"12abc", 1},      {"1e3", 1},   {"4 2", 1},
        {"99999999999999999999999", 65535}, {"-99999999999999999999999", 1}, {"0x10", 1},
    };
    for (const TRow& row : rows) {
        TIntField field{"Interval", row.Text, 1, 65535};
        EXPECT_EQ(field.Value(), row.Value) << '"' << row.Text << '"';
        field.Clamp();
        EXPECT_EQ(field.Text, std::to_string(row.Value)) << '"' << row.Text << '"';
    }
}

TEST_F(FormTest, PortTextThatIsNoNumberReadsAsZero)
{
    Form.BrokerPortSpn.Text = "port";
    EXPECT_EQ(Form.BrokerPortSpn.Value(), 0);
    Form.PublishSpn.SetValue(7);
    EXPECT_EQ(Form.PublishSpn.Text, "2");
}

TEST_F(FormTest, CommandButtonsInWindowOrder)
{
    const std::vector<TCommandInfo> commands = Form.Commands();
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"ConnectBtn", "Open"},          {"DisconnectBtn", "Close"},      {"MQTT_CONNECT_Btn", "CONNECT"},
        {"Button4", "DISCONNECT"},       {"MQTT_PINGREQ_Btn", "PINGREQ"}, {"Button2", "SUBSCRIBE"},
        {"Button3", "UNSUBSCRIBE"},      {"Button5", "PUBLISH(str)"},     {"Button7", "PUBLISH(file)"},
        {"Button6", "..."},              {"Button1", "Queue 取り出し"},   {"TlsCaFileBtn", "..."},
        {"TlsCertFileBtn", "..."},       {"TlsKeyFileBtn", "..."},        {"MQTT_AUTH_Btn", "AUTH"},
        {"RawSendBtn", "そのまま送信"},
    };
    ASSERT_EQ(commands.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(commands[i].Name, expected[i].first);
        EXPECT_EQ(commands[i].Caption, U8(expected[i].second));
        EXPECT_NE(commands[i].Handler, nullptr);
    }
    EXPECT_TRUE(Form.ConnectBtnEnabled);
    EXPECT_FALSE(Form.DisconnectBtnEnabled);
    EXPECT_FALSE(Form.PingTimerChkEnabled);
}

// ---- identifiers ----

TEST_F(FormTest, IdentifiersRunFromOneAndWrapAfter65535)
{
    for (int32_t expected = 1; expected <= 5; ++expected)
        EXPECT_EQ(Form.NextMessageID(), expected);
    Form.LastMessageID = 65534;
    EXPECT_EQ(Form.NextMessageID(), 65535);
    EXPECT_EQ(Form.NextMessageID(), 1);
    EXPECT_EQ(Form.LastMessageID, 1);
}

// ---- failures ----

TEST(ErrorBoxText, FullStopAfterCharactersThatSortAfterIt)
{
    struct TRow {
        std::string Message, Shown;
    };
    const TRow rows[] = {
        {"SocketReady check failed", "SocketReady check failed."},
        {"WSAStartup failed.", "WSAStartup failed."},
        {"", ""},
        {"stat = 104", "stat = 104."},
        {"path/", "path/."},
        {"a-", "a-"},
        {"list,", "list,"},
        {"loud!", "loud!"},
        {"blank ", "blank "},
        {U8("ファイル /x は開けません"), U8("ファイル /x は開けません") + "."},
    };
    for (const TRow& row : rows)
        EXPECT_EQ(TForm1::ErrorBoxText(row.Message), row.Shown) << '"' << row.Message << '"';
}

// Every command that needs the connection stops at once while there is none,
// with the connection's own failure text, and uses nothing up.
TEST_F(FormTest, CommandsWithoutConnectionStopWithSocketReadyFailure)
{
    Form.Run(&TForm1::FormCreate);
    ASSERT_TRUE(Capture.WaitForCount(1, 5000));
    const std::size_t linesAtStart = Capture.Count();
    const THandler handlers[] = {&TForm1::MQTT_CONNECT_BtnClick, &TForm1::MQTT_PINGREQ_BtnClick,
                                 &TForm1::Button4Click,          &TForm1::Button2Click,
                                 &TForm1::Button3Click,          &TForm1::Button5Click,
                                 &TForm1::Button7Click,          &TForm1::Button1Click,
                                 &TForm1::PingTimerTick};
    for (THandler handler : handlers) {
        FrontEnd.Errors.clear();
        Form.Run(handler);
        ASSERT_EQ(FrontEnd.Errors.size(), 1u);
        EXPECT_EQ(FrontEnd.Errors[0], "SocketReady check failed.");
    }
    EXPECT_EQ(Form.LastMessageID, 0);
    EXPECT_TRUE(FrontEnd.Boxes.empty());
    // A line sent now arrives after anything the commands might have sent.
    Form.Events.SendEventMsg("marker", "test", 0, 0);
    ASSERT_TRUE(Capture.WaitForMessage("marker", 5000));
    EXPECT_EQ(Capture.Count(), linesAtStart + 1);
}

// ---- ping timer ----

TEST_F(FormTest, PingTimerFollowsCheckBoxAndInterval)
{
    struct TStep {
        const char* Interval;   // nullptr: leave the field
        int Check;              // -1: no click, 0/1: click leaving the box in that state
        bool Changed;           // the interval field's change event
        std::vector<std::pair<bool, int>> Calls;
    };
    const TStep steps[] = {
        {"45", 1, false, {{true, 45000}}},        // checking starts ticks every 45 s
        {"45", -1, true, {}},                     // the same interval changes nothing
        {"10", -1, true, {{true, 10000}}},        // a new interval while running restarts at once
        {nullptr, 0, false, {{false, 10000}}},    // clearing stops it
        {"1", -1, true, {{false, 1000}}},         // the interval is kept while off
        {nullptr, 1, false, {{true, 1000}}},
        {"65535", -1, true, {{true, 65535000}}},
        {"x", -1, true, {{true, 1000}}},          // no number: the minimum, one second
    };
    for (const TStep& step : steps) {
        FrontEnd.TimerCalls.clear();
        if (step.Interval)
            Form.PingReqIntervalSpn.Text = step.Interval;
        if (step.Changed)
            Form.PingReqIntervalSpnChange();
        if (step.Check >= 0) {
            Form.PingTimerChk = step.Check == 1;
            Form.PingTimerChkClick();
        }
        EXPECT_EQ(FrontEnd.TimerCalls, step.Calls) << "interval " << (step.Interval ? step.Interval : "-");
    }
}

// ---- file chooser ----

TEST_F(FormTest, DefaultDataFileIsFoundWithItsContent)
{
    const std::string path = Form.PublishDataFileEdit.Text;
    ASSERT_EQ(path, TForm1::DefaultDataFilePath());
    ASSERT_EQ(path.front(), '/');
    ASSERT_TRUE(path.ends_with("/SamplePublishData1.dat"));
    std::ifstream file(path, std::ios::binary);
    const std::string content((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    EXPECT_NE(content.find('\0'), std::string::npos);
    EXPECT_NE(content.find("試験データ"), std::string::npos);
    EXPECT_NE(content.find("sample publish data"), std::string::npos);
}

TEST_F(FormTest, FileChooserProposesLastFileAndCancelChangesNothing)
{
    const std::string initial = Form.PublishDataFileEdit.Text;
    const std::string initialDir = initial.substr(0, initial.find_last_of('/'));

    FrontEnd.ChooseAnswer = false;
    Form.Run(&TForm1::Button6Click);
    ASSERT_EQ(FrontEnd.Choices.size(), 1u);
    EXPECT_EQ(FrontEnd.Choices[0].InitialDir, initialDir);
    EXPECT_EQ(FrontEnd.Choices[0].InitialFile, "SamplePublishData1.dat");
    EXPECT_EQ(Form.PublishDataFileEdit.Text, initial);

    FrontEnd.ChooseAnswer = true;
    FrontEnd.ChoosePath = "/tmp/other dir/payload.bin";
    Form.Run(&TForm1::Button6Click);
    EXPECT_EQ(Form.PublishDataFileEdit.Text, "/tmp/other dir/payload.bin");
    EXPECT_GT(FrontEnd.ControlsChangedCount, 0);

    FrontEnd.ChooseAnswer = false;
    Form.Run(&TForm1::Button6Click);
    ASSERT_EQ(FrontEnd.Choices.size(), 3u);
    EXPECT_EQ(FrontEnd.Choices[2].InitialDir, "/tmp/other dir");
    EXPECT_EQ(FrontEnd.Choices[2].InitialFile, "payload.bin");
    EXPECT_EQ(Form.PublishDataFileEdit.Text, "/tmp/other dir/payload.bin");
}

// Each "..." of the TLS files opens where its field points and fills that field only.
TEST_F(FormTest, TlsFileChoosersFillTheirOwnField)
{
    const std::pair<THandler, TTextField*> rows[] = {
        {&TForm1::TlsCaFileBtnClick, &Form.TlsCaFileEdit},
        {&TForm1::TlsCertFileBtnClick, &Form.TlsCertFileEdit},
        {&TForm1::TlsKeyFileBtnClick, &Form.TlsKeyFileEdit},
    };
    for (const auto& [handler, field] : rows) {
        SCOPED_TRACE(field->Label);
        for (const auto& [h, f] : rows)
            f->Text = "/etc/ssl/old.pem";
        FrontEnd.ChooseAnswer = false;
        Form.Run(handler);
        ASSERT_FALSE(FrontEnd.Choices.empty());
        EXPECT_EQ(FrontEnd.Choices.back().InitialDir, "/etc/ssl");
        EXPECT_EQ(FrontEnd.Choices.back().InitialFile, "old.pem");
        EXPECT_EQ(field->Text, "/etc/ssl/old.pem");
        FrontEnd.ChooseAnswer = true;
        FrontEnd.ChoosePath = "/home/u/new.pem";
        Form.Run(handler);
        for (const auto& [h, f] : rows)
            EXPECT_EQ(f->Text, f == field ? "/home/u/new.pem" : "/etc/ssl/old.pem");
    }
    EXPECT_TRUE(FrontEnd.Errors.empty());
}

// ---- start-up and shut-down ----

TEST_F(FormTest, FormCreateSendsStartLineAndFillsClientID)
{
    Form.Run(&TForm1::FormCreate);
    EXPECT_TRUE(FrontEnd.Errors.empty());
    ASSERT_TRUE(Capture.WaitForCount(1, 5000));
    const std::string first = Capture.Datagrams()[0];
    EXPECT_EQ(UdpCapture::Field(first, 4), "Tarnwick");
    EXPECT_EQ(UdpCapture::Field(first, 5), "0");
    EXPECT_EQ(UdpCapture::Field(first, 6), "0");
    EXPECT_EQ(UdpCapture::Field(first, 7), "FormCreate: program start.. ");
    EXPECT_TRUE(Form.ClientIDEdit.Text.starts_with("qrv7m:")) << Form.ClientIDEdit.Text;
    EXPECT_NE(Form.Events.Sender(), nullptr);
    Form.FormDestroy();
    EXPECT_EQ(Form.Events.Sender(), nullptr);
}

TEST_F(FormTest, FormCreateFailureShowsErrorAndLeavesClientIDEmpty)
{
    struct TRestore {
        THostNameSource Old;
        ~TRestore() { SetHostNameSource(Old); }
    } restore{SetHostNameSource([](char*, std::size_t) {
        errno = EACCES;
        return -1;
    })};
    Form.Run(&TForm1::FormCreate);
    ASSERT_EQ(FrontEnd.Errors.size(), 1u);
    EXPECT_EQ(FrontEnd.Errors[0], "GetHostName failed. stat = " + std::to_string(EACCES) + ".");
    EXPECT_EQ(Form.ClientIDEdit.Text, "");
}

// ---- Open and Close ----

TEST_F(FormTest, FailedOpenShowsErrorBoxThenCloses)
{
    TLoopbackPort refused(false);
    Form.Run(&TForm1::FormCreate);
    Form.BrokerPortSpn.SetValue(refused.Port);
    bool hadClientWhileBoxOpen = false;
    FrontEnd.WhileBoxOpen = [&] { hadClientWhileBoxOpen = Form.Client != nullptr; };

    Form.Run(&TForm1::ConnectBtnClick);

    EXPECT_TRUE(FrontEnd.Errors.empty());
    ASSERT_EQ(FrontEnd.Boxes.size(), 1u);
    EXPECT_EQ(FrontEnd.Boxes[0].Title, U8("エラー"));
    EXPECT_EQ(FrontEnd.Boxes[0].Text, U8("接続に失敗しました。ホスト名とポート番号を確認してください"));
    EXPECT_FALSE(FrontEnd.Boxes[0].Warning);
    EXPECT_TRUE(hadClientWhileBoxOpen);
    EXPECT_EQ(Form.Client, nullptr);
    EXPECT_TRUE(Form.ConnectBtnEnabled);
    EXPECT_FALSE(Form.DisconnectBtnEnabled);
    EXPECT_FALSE(Form.PingTimerChkEnabled);
    EXPECT_FALSE(Form.PingTimerChk);
    EXPECT_FALSE(Form.PingTimerEnabled);
    ASSERT_TRUE(Capture.WaitForMessage("disconnected.", 5000));
    const std::vector<TLine> lines = LinesOf(Capture);
    EXPECT_TRUE(HasLinesInOrder(lines, {{Console, "connecting..."},
                                        {Unit, "ClientSocketOnDisconnect: start"},
                                        {Unit, "ClientSocketOnDisconnect: start"},
                                        {Console, "disconnected."}}));
    for (const TLine& line : lines)
        EXPECT_NE(line.second, "ClientSocketOnConnect: start");
}

// A failed TLS "Open" says in its box what failed, with OpenSSL's reason as
// the line gives it; host and port are not to blame.
TEST_F(FormTest, FailedTlsOpenSaysWhatFailedInItsBox)
{
    const TTestCertificates& certs = TestCertificates();
    struct TRow {
        const char* Name;
        const TTestPki::TIdentity* ServerCert;
        bool ClientCertRequired;
        std::string CaFile;
        std::string Box;
    };
    const TRow rows[] = {
        {"broker's name", &certs.OtherName, false, certs.Pki.CaFile(),
         "ブローカーの証明書を検証できませんでした (TLS): certificate verify failed: hostname mismatch"},
        {"client certificate wanted", &certs.Server, true, certs.Pki.CaFile(),
         "TLS ハンドシェイクに失敗しました: tlsv13 alert certificate required"},
        {"CA file missing", nullptr, false, "/nonexistent/ca.pem",
         "TLS の設定を読み込めませんでした: cannot load the CA file: No such file or directory (/nonexistent/ca.pem)"},
    };
    Form.Run(&TForm1::FormCreate);
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.Name);
        // The files are loaded before anybody is contacted: no server for a missing one.
        std::optional<TTlsTestServer> server;
        if (row.ServerCert) {
            TTlsTestServer::TOptions options;
            options.CertFile = row.ServerCert->CertFile;
            options.KeyFile = row.ServerCert->KeyFile;
            options.ClientCaFile = row.ClientCertRequired ? certs.Pki.CaFile() : "";
            server.emplace(options);
        }
        Form.BrokerEdit1.Text = "localhost";
        Form.BrokerPortSpn.SetValue(server ? server->Port() : FakeBroker::UnusedPort());
        Form.TlsChk = true;
        Form.TlsCaFileEdit.Text = row.CaFile;
        FrontEnd.Boxes.clear();
        Form.Run(&TForm1::ConnectBtnClick);
        ASSERT_EQ(FrontEnd.Boxes.size(), 1u);
        EXPECT_EQ(FrontEnd.Boxes[0].Title, U8("エラー"));
        EXPECT_EQ(FrontEnd.Boxes[0].Text, U8(row.Box.c_str()));
        EXPECT_EQ(Form.Client, nullptr);
    }
}

// Cancel ends an "Open" whose name server never answers at once, with the
// line that says so and no box.
TEST_F(FormTest, CancelEndsAnOpenThatWaitsForTheNameServer)
{
    TSilentResolver names;
    Form.Run(&TForm1::FormCreate);
    Form.ClientIDEdit.Text = "dev1";
    Form.BrokerEdit1.Text = "broker.invalid";
    Form.HostResolver = names.Resolver();
    std::thread open([&] { Form.Run(&TForm1::ConnectBtnClick); });
    ASSERT_TRUE(names.WaitForQuestion(10000));
    const auto start = std::chrono::steady_clock::now();
    Form.CancelWait();
    open.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(3000))
        << "the connect time-out ended it, not the cancel";
    EXPECT_TRUE(FrontEnd.Boxes.empty() && FrontEnd.Errors.empty());
    EXPECT_EQ(Form.Client, nullptr);
    ASSERT_TRUE(Capture.WaitForMessage("disconnected.", 5000));
    std::vector<std::string> failures;
    for (const TLine& line : LinesOf(Capture))
        if (line.second.starts_with("*ERROR*"))
            failures.push_back(line.second);
    ASSERT_EQ(failures.size(), 1u) << "a second attempt after the cancel";
    EXPECT_TRUE(failures[0].starts_with("*ERROR* could not connect to broker.invalid:1883: cancelled by the user"));
}

TEST_F(FormTest, OpenThenCloseWithPingTimerRunning)
{
    TLoopbackPort broker(true);
    Form.Run(&TForm1::FormCreate);
    Form.BrokerPortSpn.SetValue(broker.Port);
    Form.Run(&TForm1::ConnectBtnClick);
    ASSERT_TRUE(FrontEnd.Errors.empty());
    ASSERT_TRUE(FrontEnd.Boxes.empty());
    ASSERT_NE(Form.Client, nullptr);
    EXPECT_EQ(Form.Client->ClientID, Form.ClientIDEdit.Text);
    EXPECT_FALSE(Form.ConnectBtnEnabled);
    EXPECT_TRUE(Form.DisconnectBtnEnabled);
    EXPECT_TRUE(Form.PingTimerChkEnabled);
    EXPECT_FALSE(Form.PingTimerChk);

    Form.PingTimerChk = true;
    Form.PingTimerChkClick();
    ASSERT_TRUE(Form.PingTimerEnabled);
    FrontEnd.TimerCalls.clear();

    Form.Run(&TForm1::DisconnectBtnClick);
    EXPECT_EQ(Form.Client, nullptr);
    EXPECT_EQ(FrontEnd.TimerCalls, (std::vector<std::pair<bool, int>>{{false, 30000}}));
    EXPECT_FALSE(Form.PingTimerChk);
    EXPECT_FALSE(Form.PingTimerChkEnabled);
    EXPECT_TRUE(Form.ConnectBtnEnabled);
    EXPECT_FALSE(Form.DisconnectBtnEnabled);
    ASSERT_TRUE(Capture.WaitForMessage("disconnected.", 5000));
    EXPECT_TRUE(HasLinesInOrder(LinesOf(Capture), {{Console, "connecting..."},
                                                   {Unit, "ClientSocketOnConnect: start"},
                                                   {Unit, "ClientSocketOnDisconnect: start"},
                                                   {Console, "disconnected."}}));
}

// Closing the window with a connection open ends the connection while its
// lines can still be sent, then shuts the diagnostics down.
TEST_F(FormTest, FormDestroyClosesAnOpenConnectionFirst)
{
    TLoopbackPort broker(true);
    Form.Run(&TForm1::FormCreate);
    Form.BrokerPortSpn.SetValue(broker.Port);
    Form.Run(&TForm1::ConnectBtnClick);
    ASSERT_NE(Form.Client, nullptr);
    Form.FormDestroy();
    EXPECT_EQ(Form.Client, nullptr);
    EXPECT_EQ(Form.Events.Sender(), nullptr);
    ASSERT_TRUE(Capture.WaitForMessage("ClientSocketOnDisconnect: start", 5000));
}

// ---- a frame that cannot be built ----

// The failure line stays as it is; the front end learns which field to correct and why.
TEST_F(FormTest, BuildFailureNamesTheFieldAndWhy)
{
    TLoopbackPort broker(true);
    Form.Run(&TForm1::FormCreate);
    Form.ClientIDEdit.Text = "dev1";
    Form.BrokerPortSpn.SetValue(broker.Port);
    Form.Run(&TForm1::ConnectBtnClick);
    ASSERT_NE(Form.Client, nullptr);
    const std::string emptyFile = ::testing::TempDir() + "empty-payload.dat";
    std::ofstream(emptyFile).close();
    const std::string tooLong(65536, 'x');
    const TFieldValues defaults = CaptureFields(Form);

    struct TRow {
        const char* Name;
        std::function<void(TForm1&)> Set;
        THandler Handler;
        const char* Line;
        std::vector<std::string> Controls;
        std::string Reason;   // the builder's own, in brackets at the end
    };
    const TRow rows[] = {
        {"no client id", [](TForm1& f) { f.ClientIDEdit.Text.clear(); }, &TForm1::MQTT_CONNECT_BtnClick,
         "*ERROR* CONNECT frame building failed, parameter error", {"ClientIDEdit"}, "ClientID not found"},
        {"will message without topic", [](TForm1& f) { f.WillTopicEdit.Text.clear(); }, &TForm1::MQTT_CONNECT_BtnClick,
         "*ERROR* CONNECT frame building failed, parameter error", {"WillTopicEdit"}, "WillTopic not found"},
        {"will topic without message", [](TForm1& f) { f.WillMessageEdit.Text.clear(); },
         &TForm1::MQTT_CONNECT_BtnClick, "*ERROR* CONNECT frame building failed, parameter error",
         {"WillMessageEdit"}, "WillMessage not found"},
        {"password too long", [&](TForm1& f) { f.PasswordEdit.Text = tooLong; }, &TForm1::MQTT_CONNECT_BtnClick,
         "*ERROR* CONNECT frame building failed, parameter error", {"PasswordEdit"}, "utf8str too big"},
        {"lists of different lengths", [](TForm1& f) { f.SubscribeQoSListEdit.Text = "1"; }, &TForm1::Button2Click,
         "*ERROR* SUBSCRIBE frame building failed, parameter error", {"SubscribeTopicListEdit", "SubscribeQoSListEdit"},
         "topic parameter error"},
        {"no topics", [](TForm1& f) { f.SubscribeTopicListEdit.Text.clear(), f.SubscribeQoSListEdit.Text.clear(); },
         &TForm1::Button2Click, "*ERROR* SUBSCRIBE frame building failed, parameter error", {"SubscribeTopicListEdit"},
         "topic parameter error"},
        {"qos not a number", [](TForm1& f) { f.SubscribeQoSListEdit.Text = "2,q"; }, &TForm1::Button2Click,
         "*ERROR* SUBSCRIBE frame building failed, parameter error", {"SubscribeQoSListEdit"},
         "'q' is not a valid integer value"},
        {"no topics to unsubscribe", [](TForm1& f) { f.UnSubscribeTopicListEdit.Text.clear(); }, &TForm1::Button3Click,
         "*ERROR* UNSUBSCRIBE frame building failed, parameter error", {"UnSubscribeTopicListEdit"},
         "topic parameter error"},
        {"no publish topic", [](TForm1& f) { f.PublishTopicEdit.Text.clear(); }, &TForm1::Button5Click,
         "*ERROR* PUBLISH frame building failed, parameter error", {"PublishTopicEdit"}, "Topic not found"},
        {"publish topic too long", [&](TForm1& f) { f.PublishTopicEdit.Text = tooLong; }, &TForm1::Button5Click,
         "*ERROR* PUBLISH frame building failed, parameter error", {"PublishTopicEdit"}, "utf8str too big"},
        {"no text", [](TForm1& f) { f.PublishDataEdit.Text.clear(); }, &TForm1::Button5Click,
         "*ERROR* PUBLISH frame building failed, parameter error", {"PublishDataEdit"}, "PublishData empty"},
        {"empty file", [&](TForm1& f) { f.PublishDataFileEdit.Text = emptyFile; }, &TForm1::Button7Click,
         "*ERROR* PUBLISH frame building failed, parameter error", {"PublishDataFileEdit"}, "PublishData empty"},
        // MQTT 5.0 (from here on the connection's version is set by each row): a
        // property or a reason code that the packet cannot carry, named with its field.
        {"connect property not allowed",
         [](TForm1& f) {
             f.SessionVersion = TProtocolVersion::MQTT50;
             f.ConnectPropertiesEdit.Text = "session-expiry-interval = 60; topic-alias = 1";
         },
         &TForm1::MQTT_CONNECT_BtnClick, "*ERROR* CONNECT frame building failed, parameter error",
         {"ConnectPropertiesEdit"}, "CONNECT properties: Topic Alias is not allowed in CONNECT"},
        {"will property out of range", [](TForm1& f) { f.WillPropertiesEdit.Text = "payload-format-indicator = 2"; },
         &TForm1::MQTT_CONNECT_BtnClick, "*ERROR* CONNECT frame building failed, parameter error",
         {"WillPropertiesEdit"}, "will properties: Payload Format Indicator: 2 is out of range (0 to 1)"},
        {"will properties without a will",
         [](TForm1& f) {
             f.WillTopicEdit.Text.clear();
             f.WillMessageEdit.Text.clear();
             f.WillPropertiesEdit.Text = "will-delay-interval = 5";
         },
         &TForm1::MQTT_CONNECT_BtnClick, "*ERROR* CONNECT frame building failed, parameter error",
         {"WillPropertiesEdit"}, "will properties need a will topic and message"},
        {"publish property repeated",
         [](TForm1& f) { f.PublishPropertiesEdit.Text = "message-expiry-interval = 1\nmessage-expiry-interval = 2"; },
         &TForm1::Button5Click, "*ERROR* PUBLISH frame building failed, parameter error", {"PublishPropertiesEdit"},
         "PUBLISH properties: Message Expiry Interval may appear only once in PUBLISH"},
        {"publish file with an unknown property", [](TForm1& f) { f.PublishPropertiesEdit.Text = "expiry = 1"; },
         &TForm1::Button7Click, "*ERROR* PUBLISH frame building failed, parameter error", {"PublishPropertiesEdit"},
         "PUBLISH properties: unknown property 'expiry'"},
        {"subscription identifier 0", [](TForm1& f) { f.SubscribePropertiesEdit.Text = "subscription-identifier = 0"; },
         &TForm1::Button2Click, "*ERROR* SUBSCRIBE frame building failed, parameter error",
         {"SubscribePropertiesEdit"},
         "SUBSCRIBE properties: Subscription Identifier: 0 is out of range (1 to 268435455)"},
        {"unsubscribe property not allowed", [](TForm1& f) { f.UnsubscribePropertiesEdit.Text = "reason-string = x"; },
         &TForm1::Button3Click, "*ERROR* UNSUBSCRIBE frame building failed, parameter error",
         {"UnsubscribePropertiesEdit"}, "UNSUBSCRIBE properties: Reason String is not allowed in UNSUBSCRIBE"},
        {"disconnect entry without a value", [](TForm1& f) { f.DisconnectPropertiesEdit.Text = "reason-string"; },
         &TForm1::Button4Click, "*ERROR* DISCONNECT frame building failed, parameter error",
         {"DisconnectPropertiesEdit"}, "DISCONNECT properties: 'reason-string' is not name = value"},
        {"disconnect reason code of CONNACK", [](TForm1& f) { f.DisconnectReasonSpn.SetValue(0x86); },
         &TForm1::Button4Click, "*ERROR* DISCONNECT frame building failed, parameter error", {"DisconnectReasonSpn"},
         "reason code 0x86 is not allowed in DISCONNECT"},
        {"auth reason code of PUBACK", [](TForm1& f) { f.AuthReasonSpn.SetValue(0x10); }, &TForm1::MQTT_AUTH_BtnClick,
         "*ERROR* AUTH frame building failed, parameter error", {"AuthReasonSpn"},
         "reason code 0x10 is not allowed in AUTH"},
        {"auth property not allowed", [](TForm1& f) { f.AuthPropertiesEdit.Text = "session-expiry-interval = 1"; },
         &TForm1::MQTT_AUTH_BtnClick, "*ERROR* AUTH frame building failed, parameter error", {"AuthPropertiesEdit"},
         "AUTH properties: Session Expiry Interval is not allowed in AUTH"},
        // Last: the connection's version stays 3.1.1 from here on.
        {"empty client id without clean session in 3.1.1",
         [](TForm1& f) {
             f.SessionVersion = TProtocolVersion::MQTT311;
             f.ClientIDEdit.Text.clear();
             f.CleanSessionChk = false;
         },
         &TForm1::MQTT_CONNECT_BtnClick, "*ERROR* CONNECT frame building failed, parameter error",
         {"ClientIDEdit", "CleanSessionChk"}, "ClientID not found: an empty ClientID needs clean session in MQTT 3.1.1"},
    };
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.Name);
        ApplyFields(Form, defaults);
        row.Set(Form);
        FrontEnd.FieldErrors.clear();
        const std::vector<TLine> lines = LinesDuring(Capture, Form.Events, [&] { Form.Run(row.Handler); });
        EXPECT_TRUE(FrontEnd.Errors.empty());
        EXPECT_EQ(lines, (std::vector<TLine>{{Unit, Tag(row.Line, "dev1")}}));
        std::vector<std::string> controls;
        for (const auto& [control, reason] : FrontEnd.FieldErrors) {
            controls.push_back(control);
            EXPECT_TRUE(reason.ends_with(" (" + row.Reason + ")")) << reason;
            EXPECT_GT(reason.size(), row.Reason.size() + 3) << "no explanation: " << reason;
            EXPECT_EQ(reason, FrontEnd.FieldErrors.front().second);   // one failure, one text
        }
        EXPECT_EQ(controls, row.Controls);
    }
    std::remove(emptyFile.c_str());
}

// ---- cancelling a wait ----

// The cancel ends the wait in progress at once, as its last time-out would:
// the cancelled line, the command's give-up line, no repeat.
TEST_F(FormTest, CancelEndsTheRunningWaitAtOnceWithoutRepeat)
{
    using namespace testframes;
    struct TRow {
        const char* Name;
        THandler Handler;
        int Qos;
        bool AnswerPublish;        // a PUBREC for a QoS 2 PUBLISH
        std::size_t FramesBefore;  // frames the broker has when the cancel comes
        int WaitedType;            // the frame whose answer is awaited then
        const char* Sending;
        const char* GaveUp;
    };
    const TRow rows[] = {
        {"CONNACK", &TForm1::MQTT_CONNECT_BtnClick, 0, false, 1, 1, "sending CONNECT",
         "*ERROR* could not receive CONNACK"},
        {"SUBACK", &TForm1::Button2Click, 0, false, 1, 8, "sending SUBSCRIBE", "*ERROR* could not receive SUBACK"},
        {"PUBACK", &TForm1::Button5Click, 1, false, 1, 3, "sending PUBLISH", "*ERROR* could not receive PUBACK"},
        {"PUBREC", &TForm1::Button7Click, 2, false, 1, 3, "sending PUBLISH", "*ERROR* could not receive PUBREC"},
        {"PUBCOMP", &TForm1::Button5Click, 2, true, 2, 6, "sending PUBREL", "*ERROR* could not receive PUBCOMP"},
    };
    Form.Run(&TForm1::FormCreate);
    Form.ClientIDEdit.Text = "dev1";
    Form.AnswerTimeouts = TAnswerTimeouts{20000, 20000, 20000, 20000, 20000, 20000, 20000};
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.Name);
        FakeBroker broker;
        broker.OnFrame([&row](const TFrame& f, FakeBroker& b) {
            if (row.AnswerPublish && TypeOf(f) == 3)
                b.Send(Ack(5, IdOf(f)));
        });
        Form.BrokerPortSpn.SetValue(broker.Port());
        Form.PublishSpn.SetValue(row.Qos);
        Form.Run(&TForm1::ConnectBtnClick);
        ASSERT_NE(Form.Client, nullptr);
        Capture.Clear();

        std::thread command([&] { Form.Run(row.Handler); });
        ASSERT_TRUE(broker.WaitForFrames(row.FramesBefore, 5000));
        const auto start = std::chrono::steady_clock::now();
        Form.CancelWait();
        command.join();
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_LT(took, std::chrono::milliseconds(1000));

        EXPECT_TRUE(FrontEnd.Errors.empty());
        SyncMarker(Capture, Form.Events);   // every line of the command has arrived
        const std::vector<TLine> lines = LinesOf(Capture);
        EXPECT_TRUE(HasLinesInOrder(lines, {{Unit, Tag(row.Sending, "dev1")},
                                            {Console, Tag("cancelled by the user", "dev1")},
                                            {Unit, Tag(row.GaveUp, "dev1")}}));
        for (const TLine& line : lines)
            EXPECT_EQ(line.second.find("retrying"), std::string::npos) << line.second;
        std::size_t waited = 0;
        for (const TFrame& f : broker.Frames())
            waited += TypeOf(f) == row.WaitedType ? 1 : 0;
        EXPECT_EQ(waited, 1u) << "a repeat went out";
        Form.Run(&TForm1::DisconnectBtnClick);
    }
}

// A cancel that comes while no command runs does not reach the next one.
TEST_F(FormTest, CancelBeforeACommandDoesNotReachIt)
{
    FakeBroker broker;
    broker.OnFrame([](const testframes::TFrame& f, FakeBroker& b) {
        if (testframes::TypeOf(f) == 12)
            b.Send(testframes::Pingresp());
    });
    Form.Run(&TForm1::FormCreate);
    Form.ClientIDEdit.Text = "dev1";
    Form.BrokerPortSpn.SetValue(broker.Port());
    Form.Run(&TForm1::ConnectBtnClick);
    ASSERT_NE(Form.Client, nullptr);
    Form.CancelWait();
    const std::vector<TLine> lines =
        LinesDuring(Capture, Form.Events, [&] { Form.Run(&TForm1::MQTT_PINGREQ_BtnClick); });
    EXPECT_TRUE(HasLinesInOrder(lines, {{Unit, Tag("sending PINGREQ", "dev1")},
                                        {Console, Tag("received PINGRESP", "dev1")}}));
    for (const TLine& line : lines)
        EXPECT_EQ(line.second.find("cancelled"), std::string::npos);
}

}  // namespace
