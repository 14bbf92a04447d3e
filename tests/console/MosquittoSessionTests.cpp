// A whole session against a real broker: every command with its lines, and
// what is published comes back through the subscription as payload files.
#include "ConsoleTestSupport.h"

#include "diag/AppEventMsg.h"
#include "mqtt/engine/MQTTClient.h"
#include "support/MosquittoBroker.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace {

namespace fs = std::filesystem;
using TBytes = std::vector<uint8_t>;

class ConsoleSessionTest : public MosquittoTest {
protected:
    TFakeFrontEnd FrontEnd;
    UdpCapture Capture;
    std::unique_ptr<TForm1> Form;
    fs::path PayloadDir;

    // Broker options before it starts.
    virtual void Configure() {}

    void SetUp() override
    {
        Configure();
        MosquittoTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        std::string pattern = (fs::temp_directory_path() / "tarnwick_console_XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        PayloadDir = pattern;
        Form = std::make_unique<TForm1>(FrontEnd, Capture.Port());
        Form->Run(&TForm1::FormCreate);
        ASSERT_TRUE(FrontEnd.Errors.empty());
        Form->BrokerEdit1.Text = Broker.Host();
        Form->BrokerPortSpn.SetValue(Broker.Port());
        Form->PayloadDirectory = PayloadDir.string();
        // MQTT 3.1 brokers refuse identifiers over 23 characters; a long host name makes the default one longer.
        if (Form->ClientIDEdit.Text.size() > 23)
            Form->ClientIDEdit.Text = "qrv7m:1-test";
    }

    void TearDown() override
    {
        Form.reset();
        if (!PayloadDir.empty())
            fs::remove_all(PayloadDir);
    }

    // The console's lines of one command, without those of the client's threads.
    std::vector<TLine> Command(THandler handler)
    {
        std::vector<TLine> kept;
        for (const TLine& l : LinesDuring(Capture, Form->Events, [&] { Form->Run(handler); })) {
            if (l.first == "TMQTTEventHandlerThread" || l.second.starts_with("TMQTT") ||
                l.second.starts_with("----- PublishData"))
                continue;
            kept.push_back(l);
        }
        return kept;
    }

    std::size_t PayloadFileCount() const
    {
        return static_cast<std::size_t>(std::distance(fs::directory_iterator(PayloadDir), fs::directory_iterator()));
    }

    std::vector<TBytes> PayloadFiles() const
    {
        std::vector<TBytes> files;
        for (const fs::directory_entry& e : fs::directory_iterator(PayloadDir)) {
            const std::string name = e.path().filename().string();
            EXPECT_TRUE(name.starts_with("Pub_") && name.ends_with(".dat")) << name;
            std::ifstream in(e.path(), std::ios::binary);
            files.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
        std::sort(files.begin(), files.end());
        return files;
    }
};

TEST_F(ConsoleSessionTest, WholeSessionWithDefaults)
{
    const std::string id = Form->ClientIDEdit.Text;
    auto tag = [&](const char* text) { return Tag(text, id); };

    EXPECT_EQ(Command(&TForm1::ConnectBtnClick),
              (std::vector<TLine>{{Console, "connecting..."}, {Unit, "ClientSocketOnConnect: start"}}));
    ASSERT_NE(Form->Client, nullptr);

    EXPECT_EQ(Command(&TForm1::MQTT_CONNECT_BtnClick),
              (std::vector<TLine>{{Unit, tag("sending CONNECT")},
                                  {Console, tag("received CONNACK")},
                                  {Console, "ConnectReturnCode 0"}}));
    EXPECT_EQ(Command(&TForm1::Button2Click),
              (std::vector<TLine>{{Unit, tag("sending SUBSCRIBE")},
                                  {Console, tag("received SUBACK")},
                                  {Console, "SubackGrantedQoSList 2,0"}}));

    // PUBLISH(str) at QoS 0, 1 and 2.
    Form->PublishSpn.SetValue(0);
    EXPECT_EQ(Command(&TForm1::Button5Click), (std::vector<TLine>{{Unit, tag("sending PUBLISH")}}));
    Form->PublishSpn.SetValue(1);
    EXPECT_EQ(Command(&TForm1::Button5Click),
              (std::vector<TLine>{{Unit, tag("sending PUBLISH")}, {Console, tag("received PUBACK")}}));
    const std::vector<TLine> qos2{{Unit, tag("sending PUBLISH")},
                                  {Console, tag("received PUBREC")},
                                  {Unit, tag("sending PUBREL")},
                                  {Console, tag("received PUBCOMP")}};
    Form->PublishSpn.SetValue(2);
    EXPECT_EQ(Command(&TForm1::Button5Click), qos2);

    // PUBLISH(file) with every byte value, zero bytes included.
    TBytes fileBytes{0, 0};
    for (int i = 0; i < 256; ++i)
        fileBytes.push_back(static_cast<uint8_t>(i));
    fileBytes.push_back(0);
    const fs::path file = PayloadDir.parent_path() / (PayloadDir.filename().string() + "_publish.dat");
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(fileBytes.data()), std::streamsize(fileBytes.size()));
    Form->PublishDataFileEdit.Text = file.string();
    EXPECT_EQ(Command(&TForm1::Button7Click), qos2);
    fs::remove(file);

    // The four publications come back through the subscription.
    ASSERT_TRUE(Capture.WaitFor(
        [](const std::vector<std::string>& datagrams) {
            return std::count_if(datagrams.begin(), datagrams.end(), [](const std::string& d) {
                       return UdpCapture::Field(d, 4) == "TMQTTEventHandlerThread" &&
                              UdpCapture::Field(d, 7).starts_with("PublishDataSize ");
                   }) == 4;
        },
        10000))
        << Describe(LinesOf(Capture));

    EXPECT_EQ(Command(&TForm1::Button3Click),
              (std::vector<TLine>{{Unit, tag("sending UNSUBSCRIBE")}, {Console, tag("received UNSUBACK")}}));
    EXPECT_EQ(Command(&TForm1::MQTT_PINGREQ_BtnClick),
              (std::vector<TLine>{{Unit, tag("sending PINGREQ")}, {Console, tag("received PINGRESP")}}));
    // The broker ends the connection after DISCONNECT; the client may notice that
    // before "Close" closes it, so its disconnect line lies anywhere between the two.
    std::vector<TLine> closing = LinesDuring(Capture, Form->Events, [&] {
        Form->Run(&TForm1::Button4Click);
        Form->Run(&TForm1::DisconnectBtnClick);
    });
    std::erase_if(closing, [](const TLine& l) { return l.second.starts_with("TMQTT"); });
    EXPECT_EQ(closing, (std::vector<TLine>{{Unit, tag("sending DISCONNECT")},
                                           {Unit, "ClientSocketOnDisconnect: start"},
                                           {Console, "disconnected."}}));
    // Closing ends the client's threads, so every payload file is written afterwards.
    EXPECT_EQ(Form->Client, nullptr);
    EXPECT_TRUE(FrontEnd.Errors.empty()) << FrontEnd.Errors[0];
    EXPECT_TRUE(FrontEnd.Boxes.empty());
    EXPECT_EQ(Form->LastMessageID, 6);

    const std::string text = "これは試験データです from Windows7";
    const TBytes textBytes(text.begin(), text.end());
    std::vector<TBytes> expected{textBytes, textBytes, textBytes, fileBytes};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(PayloadFiles(), expected);
}

// A broker that lets anonymous clients subscribe to hello/# only: its ACL
// (mosquitto's dynamic security plugin; the plain acl_file never refuses a
// SUBSCRIBE) refuses anything else.
class ConsoleAclSessionTest : public ConsoleSessionTest, public ::testing::WithParamInterface<TProtocolVersion> {
protected:
    static constexpr const char* Plugin = "/usr/lib/x86_64-linux-gnu/mosquitto_dynamic_security.so";

    void Configure() override
    {
        if (!fs::exists(Plugin))
            return;
        AclFile = fs::temp_directory_path() / ("tarnwick_dynsec_" + std::to_string(::getpid()) + ".json");
        std::ofstream(AclFile) << R"({
  "defaultACLAccess": {"publishClientSend": true, "publishClientReceive": true, "subscribe": false,
                       "unsubscribe": true},
  "clients": [],
  "groups": [{"groupname": "anonymous", "roles": [{"rolename": "hello"}], "clients": []}],
  "roles": [{"rolename": "hello",
             "acls": [{"acltype": "subscribePattern", "topic": "hello/#", "priority": 0, "allow": true}]}],
  "anonymousGroup": "anonymous"
})";
        Broker.AddOption(std::string("plugin ") + Plugin);
        Broker.AddOption("plugin_opt_config_file " + AclFile.string());
    }
    void TearDown() override
    {
        ConsoleSessionTest::TearDown();
        if (!AclFile.empty())
            fs::remove(AclFile);
    }
    fs::path AclFile;
};

// 3.1.1 and 5.0 at packet level: CONNACK with its session flag and code by
// name, a refused topic named, QoS 1 and 2 both ways (the event-handler's
// answers in the version), UNSUBSCRIBE, DISCONNECT.
TEST_P(ConsoleAclSessionTest, SessionInTheChosenVersion)
{
    if (AclFile.empty())
        GTEST_SKIP() << "no dynamic security plugin at " << Plugin;
    const TProtocolVersion version = GetParam();
    const bool v50 = version == TProtocolVersion::MQTT50;
    const std::string id = Form->ClientIDEdit.Text;
    auto tag = [&](const std::string& text) { return Tag(text, id); };
    Form->ProtocolVersionCmb.Index = Form->ProtocolVersionCmb.Find(std::string(ProtocolVersionName(version)));
    Form->SubscribeTopicListEdit.Text = "hello/world,secret/x";
    Form->SubscribeQoSListEdit.Text = "2,1";
    Form->UnSubscribeTopicListEdit.Text = "hello/world";

    Command(&TForm1::ConnectBtnClick);
    ASSERT_NE(Form->Client, nullptr);
    EXPECT_TRUE(HasLinesInOrder(Command(&TForm1::MQTT_CONNECT_BtnClick),
                                {{Console, tag("received CONNACK")},
                                 {Console, "ConnectReturnCode 0"},
                                 {Console, "SessionPresent  False"},
                                 {Console, v50 ? "ReasonCode      0x00 Success"
                                               : "ReturnCode      0x00 Connection Accepted"}}))
        << Broker.Log();
    const std::string refused = v50 ? "0x87 Not authorized" : "0x80 Failure";
    EXPECT_TRUE(HasLinesInOrder(Command(&TForm1::Button2Click),
                                {{Console, tag("received SUBACK")},
                                 {Console, v50 ? "SubackGrantedQoSList 2,135" : "SubackGrantedQoSList 2,128"},
                                 {Console, tag("SUBSCRIBE refused: secret/x (" + refused + ")")}}))
        << Broker.Log();
    for (int qos : {1, 2}) {
        Form->PublishSpn.SetValue(qos);
        EXPECT_TRUE(HasLinesInOrder(Command(&TForm1::Button5Click),
                                    {{Console, tag(qos == 1 ? "received PUBACK" : "received PUBCOMP")}}));
    }
    // Both come back through the subscription and are answered in the version.
    ASSERT_TRUE(Capture.WaitFor(
        [](const std::vector<std::string>& datagrams) {
            return std::count_if(datagrams.begin(), datagrams.end(), [](const std::string& d) {
                       return UdpCapture::Field(d, 7).starts_with("received PUBREL [");
                   }) == 1;
        },
        10000))
        << Describe(LinesOf(Capture));
    const std::vector<TLine> unsubscribe = Command(&TForm1::Button3Click);
    EXPECT_TRUE(HasLinesInOrder(unsubscribe, {{Console, tag("received UNSUBACK")}}));
    if (v50) {
        EXPECT_TRUE(HasLinesInOrder(unsubscribe, {{Console, "ReasonCode#1    0x00 Success"}}));
    }
    Command(&TForm1::Button4Click);
    Command(&TForm1::DisconnectBtnClick);
    EXPECT_TRUE(FrontEnd.Errors.empty()) << FrontEnd.Errors[0];
    for (const TLine& line : LinesOf(Capture))
        EXPECT_EQ(line.second.find("*EXCEPTIN*"), std::string::npos) << line.second;
    EXPECT_EQ(PayloadFileCount(), 2u);
}

INSTANTIATE_TEST_SUITE_P(Versions, ConsoleAclSessionTest,
                         ::testing::Values(TProtocolVersion::MQTT311, TProtocolVersion::MQTT50),
                         [](const ::testing::TestParamInfo<TProtocolVersion>& info) {
                             return info.param == TProtocolVersion::MQTT50 ? std::string("MQTT50")
                                                                           : std::string("MQTT311");
                         });

// Without clean session the broker keeps the session (in memory) after the
// connection ends: the next CONNECT finds it.
TEST_F(ConsoleSessionTest, SessionIsPresentAfterAReconnectWithoutCleanSession)
{
    Form->ProtocolVersionCmb.Index = 1;   // 3.1.1
    Form->CleanSessionChk = false;
    for (const char* present : {"SessionPresent  False", "SessionPresent  True"}) {
        Command(&TForm1::ConnectBtnClick);
        ASSERT_NE(Form->Client, nullptr);
        EXPECT_TRUE(HasLinesInOrder(Command(&TForm1::MQTT_CONNECT_BtnClick),
                                    {{Console, "ConnectReturnCode 0"}, {Console, present}}))
            << Broker.Log();
        Command(&TForm1::Button4Click);
        Command(&TForm1::DisconnectBtnClick);
    }
    EXPECT_TRUE(FrontEnd.Errors.empty());
}

}  // namespace
