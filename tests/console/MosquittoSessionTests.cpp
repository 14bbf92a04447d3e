// A whole session against a real broker: every command with its lines, and
// what is published comes back through the subscription as payload files.
#include "ConsoleTestSupport.h"

#include "diag/AppEventMsg.h"
#include "mqtt/engine/MQTTClient.h"
#include "support/MosquittoBroker.h"
#include "support/RecordingObserver.h"
#include "support/TestPki.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

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

// The TLS fields reach the connection: the broker is authenticated by the CA
// file chosen, its name is checked unless the user turned that off, and a
// failed handshake gives the usual box.
TEST_F(ConsoleSessionTest, TlsFieldsDecideWhetherOpenSucceeds)
{
    const TTestCertificates& c = TestCertificates();
    struct TCase {
        const char* Name;
        const TTestPki::TIdentity* ServerCert;
        const TTestPki* TrustedCa;
        bool VerifyHost;
        bool Opens;
    };
    const TCase cases[] = {
        {"trusted", &c.Server, &c.Pki, true, true},
        {"unknown CA", &c.Server, &c.OtherCa, true, false},
        {"name mismatch", &c.OtherName, &c.Pki, true, false},
        {"name mismatch, name check off", &c.OtherName, &c.Pki, false, true},
    };
    for (const TCase& test : cases) {
        SCOPED_TRACE(test.Name);
        MosquittoBroker broker;
        broker.UseTls(c.Pki.CaFile(), test.ServerCert->CertFile, test.ServerCert->KeyFile);
        ASSERT_TRUE(broker.Start()) << broker.Error();
        Form->BrokerEdit1.Text = "localhost";
        Form->BrokerPortSpn.SetValue(broker.Port());
        Form->TlsChk = true;
        Form->TlsCaFileEdit.Text = test.TrustedCa->CaFile();
        Form->TlsVerifyHostChk = test.VerifyHost;
        FrontEnd.Boxes.clear();
        const std::vector<TLine> lines = Command(&TForm1::ConnectBtnClick);
        if (!test.Opens) {
            EXPECT_EQ(Form->Client, nullptr);
            ASSERT_EQ(FrontEnd.Boxes.size(), 1u);
            EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const TLine& l) {
                return l.second.find("TLS handshake failed: certificate verify failed") != std::string::npos;
            })) << Describe(lines);
            continue;
        }
        ASSERT_NE(Form->Client, nullptr) << Describe(lines);
        EXPECT_TRUE(FrontEnd.Boxes.empty());
        EXPECT_TRUE(HasLinesInOrder(Command(&TForm1::MQTT_CONNECT_BtnClick), {{Console, "ConnectReturnCode 0"}}))
            << broker.Log();
        Command(&TForm1::DisconnectBtnClick);
    }
    EXPECT_TRUE(FrontEnd.Errors.empty());
}

// ---- MQTT 5.0 against mosquitto ----

// Consoles speaking 5.0 to one broker: the fixture's, and others made on demand,
// each telling its saved messages to an observer.
class ConsoleMqtt5Test : public ConsoleSessionTest {
protected:
    struct TConsole {
        TFakeFrontEnd FrontEnd;
        TRecordingObserver Observer;
        std::unique_ptr<TForm1> Form;
    };

    TRecordingObserver Observer;

    void SetUp() override
    {
        ConsoleSessionTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        Speak50(*Form, Observer);
    }

    void Speak50(TForm1& form, TRecordingObserver& observer)
    {
        form.ProtocolVersionCmb.Index = 2;
        form.SessionObserver = &observer;
        form.ReportPauseSpn.SetValue(0);
    }

    std::unique_ptr<TConsole> Other(const std::string& clientID)
    {
        auto console = std::make_unique<TConsole>();
        console->Form = std::make_unique<TForm1>(console->FrontEnd, Capture.Port());
        console->Form->Run(&TForm1::FormCreate);
        console->Form->BrokerEdit1.Text = Broker.Host();
        console->Form->BrokerPortSpn.SetValue(Broker.Port());
        console->Form->PayloadDirectory = PayloadDir.string();
        console->Form->ClientIDEdit.Text = clientID;
        Speak50(*console->Form, console->Observer);
        return console;
    }

    // Open and CONNECT; the CONNECT's lines.
    std::vector<TLine> Connect(TForm1& form)
    {
        form.Run(&TForm1::ConnectBtnClick);
        EXPECT_NE(form.Client, nullptr);
        return LinesDuring(Capture, form.Events, [&] { form.Run(&TForm1::MQTT_CONNECT_BtnClick); });
    }

    static void Publish(TForm1& form, const std::string& topic, int qos, bool retain, const std::string& properties)
    {
        form.PublishTopicEdit.Text = topic;
        form.PublishSpn.SetValue(qos);
        form.PublishRetainChk = retain;
        form.PublishDataEdit.Text = "x";
        form.PublishPropertiesEdit.Text = properties;
        form.Run(&TForm1::Button5Click);
    }

    static void Subscribe(TForm1& form, const std::string& topics, const std::string& options)
    {
        form.SubscribeTopicListEdit.Text = topics;
        form.SubscribeQoSListEdit.Text = options;
        form.Run(&TForm1::Button2Click);
    }

    // The topics of the messages saved from index `from` on, once `count` are there.
    static std::vector<std::string> SavedTopics(TRecordingObserver& observer, std::size_t from, std::size_t count)
    {
        EXPECT_TRUE(observer.WaitFor([&](const TRecordingObserver& o) { return o.Saved.size() >= from + count; }));
        std::vector<std::string> topics;
        const std::vector<TSavedMessage> saved = observer.Snapshot(&TRecordingObserver::Saved);
        for (std::size_t i = from; i < saved.size(); ++i)
            topics.push_back(saved[i].Topic);
        return topics;
    }
};

// CONNACK's properties come back by name and set the limits the console keeps.
TEST_F(ConsoleMqtt5Test, ConnectPropertiesAndTheConnacksInLines)
{
    const std::string id = Form->ClientIDEdit.Text;
    Form->ConnectPropertiesEdit.Text = "session-expiry-interval = 60; receive-maximum = 5; user-property = a=b";
    const std::vector<TLine> lines = Connect(*Form);
    EXPECT_TRUE(HasLinesInOrder(lines, {{Unit, Tag("sending CONNECT", id)},
                                        {Console, Tag("received CONNACK", id)},
                                        {Console, "ConnectReturnCode 0"},
                                        {Console, "SessionPresent  False"},
                                        {Console, "ReasonCode      0x00 Success"},
                                        {Console, "Property        Topic Alias Maximum = 10"},
                                        {Console, "Property        Receive Maximum = 20"}}))
        << Broker.Log();
    EXPECT_EQ(Form->BrokerLimits.TopicAliasMaximum, 10u);
    EXPECT_EQ(Form->BrokerLimits.ReceiveMaximum, 20u);
}

// In 5.0 the session outlives the connection only for its Session Expiry
// Interval: a reconnect without clean start finds it only when one was asked for.
TEST_F(ConsoleMqtt5Test, ASessionWithAnExpiryIsFoundByTheReconnect)
{
    const std::pair<const char*, const char*> rows[] = {
        {"session-expiry-interval = 3600", "SessionPresent  True"},
        {"", "SessionPresent  False"},
    };
    int n = 0;
    for (const auto& [properties, present] : rows) {
        SCOPED_TRACE(properties);
        Form->ClientIDEdit.Text = "expiry-" + std::to_string(++n);
        Form->CleanSessionChk = false;
        Form->ConnectPropertiesEdit.Text = properties;
        for (const char* expected : {"SessionPresent  False", present}) {
            EXPECT_TRUE(HasLinesInOrder(Connect(*Form), {{Console, "ConnectReturnCode 0"}, {Console, expected}}))
                << Broker.Log();
            Form->Run(&TForm1::Button4Click);
            Form->Run(&TForm1::DisconnectBtnClick);
        }
    }
    EXPECT_TRUE(FrontEnd.Errors.empty());
}

// Subscription options and a PUBLISH's properties as the broker applies them:
// each row's last expected message arrives, and nothing else before it.
TEST_F(ConsoleMqtt5Test, SubscriptionOptionsDecideWhatIsDelivered)
{
    auto other = Other("second-subscriber");
    Connect(*Form);
    Connect(*other->Form);
    struct TRow {
        const char* Name;
        std::vector<std::string> Retained;   // published with retain (QoS 1) before the subscription
        bool Self;                           // the publisher subscribes, not the other console
        const char* Topics;
        const char* Options;
        std::vector<std::string> After;      // published (QoS 0) after the subscription
        std::vector<std::string> Delivered;
    };
    const TRow rows[] = {
        {"no local", {}, true, "nl/a,nl/b", "0 nl,0", {"nl/a", "nl/b"}, {"nl/b"}},
        {"retain handling 2", {"rh/a", "rh/b"}, false, "rh/a,rh/b", "0 rh=2,0", {}, {"rh/b"}},
        {"retain handling 0", {"r0/a", "r0/b"}, false, "r0/a,r0/b", "0,0", {}, {"r0/a", "r0/b"}},
    };
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.Name);
        for (const std::string& topic : row.Retained)
            Publish(*Form, topic, 1, true, "");
        TForm1& subscriber = row.Self ? *Form : *other->Form;
        TRecordingObserver& observer = row.Self ? Observer : other->Observer;
        const std::size_t before = observer.Snapshot(&TRecordingObserver::Saved).size();
        Subscribe(subscriber, row.Topics, row.Options);
        for (const std::string& topic : row.After)
            Publish(*Form, topic, 0, false, "");
        EXPECT_EQ(SavedTopics(observer, before, row.Delivered.size()), row.Delivered) << Broker.Log();
    }
    EXPECT_TRUE(FrontEnd.Errors.empty());
    EXPECT_TRUE(other->FrontEnd.Errors.empty());
}

// Outbound topic aliases: the topic with the alias, then the alias alone;
// the subscriber gets the real topic both times.
TEST_F(ConsoleMqtt5Test, AnOutboundTopicAliasStandsForItsTopic)
{
    auto other = Other("alias-subscriber");
    Connect(*Form);
    Connect(*other->Form);
    Subscribe(*other->Form, "alias/#", "0");
    Publish(*Form, "alias/one", 1, false, "topic-alias = 1");
    Publish(*Form, "", 1, false, "topic-alias = 1");
    EXPECT_EQ(SavedTopics(other->Observer, 0, 2), (std::vector<std::string>{"alias/one", "alias/one"}))
        << Broker.Log();
    for (const TLine& line : LinesOf(Capture))
        EXPECT_FALSE(line.second.starts_with("warning: ")) << line.second;
}

// A retained message with a Message Expiry Interval of 1 s is delivered with
// what is left of it while fresh, and no more once it has expired.
TEST_F(ConsoleMqtt5Test, ARetainedMessageIsGoneOnceItExpired)
{
    auto other = Other("expiry-subscriber");
    Connect(*Form);
    Connect(*other->Form);
    Publish(*Form, "exp/gone", 1, true, "message-expiry-interval = 1");
    Publish(*Form, "exp/kept", 1, true, "");
    Subscribe(*other->Form, "exp/gone,exp/kept", "0,0");
    EXPECT_EQ(SavedTopics(other->Observer, 0, 2), (std::vector<std::string>{"exp/gone", "exp/kept"}));
    const std::vector<TSavedMessage> fresh = other->Observer.Snapshot(&TRecordingObserver::Saved);
    ASSERT_EQ(fresh.size(), 2u);
    EXPECT_TRUE(fresh[0].Properties == std::vector<std::string>{"Message Expiry Interval = 1"} ||
                fresh[0].Properties == std::vector<std::string>{"Message Expiry Interval = 0"})
        << fresh[0].Properties.size();
    // The expiry is the broker's clock running: nothing to wait for but time.
    std::this_thread::sleep_for(std::chrono::milliseconds(2100));
    Subscribe(*other->Form, "exp/gone,exp/kept", "0,0");
    EXPECT_EQ(SavedTopics(other->Observer, 2, 1), std::vector<std::string>{"exp/kept"}) << Broker.Log();
}

// A broker with limits: each PUBLISH that breaks one is warned about, sent
// anyway, and the broker's DISCONNECT says why it ends the connection.
class ConsoleMqtt5LimitsTest : public ConsoleMqtt5Test {
protected:
    void Configure() override
    {
        Broker.AddListenerOption("max_qos 1");
        Broker.AddOption("max_packet_size 100");
        Broker.AddOption("retain_available false");
    }
};

TEST_F(ConsoleMqtt5LimitsTest, BrokenLimitsAreWarnedAboutAndTheBrokersDisconnectSaysWhy)
{
    struct TRow {
        const char* Name;
        int Qos;
        bool Retain;
        const char* Properties;
        std::size_t PayloadSize;
        std::string Warning;
        std::string Reason;
    };
    const TRow rows[] = {
        {"qos", 2, false, "", 1, "PUBLISH at QoS 2 exceeds the broker's Maximum QoS 1", "0x9B QoS not supported"},
        {"retain", 0, true, "", 1, "PUBLISH with retain while the broker's Retain Available is 0",
         "0x9A Retain not supported"},
        {"alias", 0, false, "topic-alias = 11", 1, "PUBLISH with Topic Alias 11 exceeds the broker's Topic Alias Maximum 10",
         "0x94 Topic Alias invalid"},
        {"size", 0, false, "", 150, "PUBLISH of 157 bytes exceeds the broker's Maximum Packet Size 100",
         "0x95 Packet too large"},
    };
    Form->AnswerTimeouts.Pubrec = 100;
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.Name);
        const std::string id = std::string("limits-") + row.Name;
        Form->ClientIDEdit.Text = id;
        Connect(*Form);
        Form->PublishDataEdit.Text = std::string(row.PayloadSize, 'x');
        const std::vector<TLine> lines = LinesDuring(Capture, Form->Events, [&] {
            Form->PublishTopicEdit.Text = "t";
            Form->PublishSpn.SetValue(row.Qos);
            Form->PublishRetainChk = row.Retain;
            Form->PublishPropertiesEdit.Text = row.Properties;
            Form->Run(&TForm1::Button5Click);
            EXPECT_TRUE(Capture.WaitForMessage("ReasonCode      " + row.Reason, 10000)) << Broker.Log();
        });
        EXPECT_TRUE(HasLinesInOrder(lines, {{Unit, Tag("warning: " + row.Warning + ", sent anyway", id)},
                                            {Unit, Tag("sending PUBLISH", id)},
                                            {"TMQTTEventHandlerThread", Tag("received DISCONNECT", id)},
                                            {"TMQTTEventHandlerThread", "ReasonCode      " + row.Reason}}))
            << Broker.Log();
        Form->Run(&TForm1::DisconnectBtnClick);
        FrontEnd.Errors.clear();   // the QoS 2 flow's repeat finds the connection gone
    }
}

}  // namespace
