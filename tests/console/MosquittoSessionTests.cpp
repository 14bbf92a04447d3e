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

    void SetUp() override
    {
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

}  // namespace
