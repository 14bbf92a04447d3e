#include "support/FakeBroker.h"
#include "support/MosquittoBroker.h"

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/ClientSocket.h"
#include "platform/Error.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Repeat(Bytes head, size_t count, uint8_t fill)
{
    head.insert(head.end(), count, fill);
    return head;
}

struct SplitCase {
    const char* name;
    Bytes input;
    std::vector<size_t> frameSizes;
    size_t consumed;
    bool malformed;
};

class FrameSplit : public ::testing::TestWithParam<SplitCase> {};

TEST_P(FrameSplit, CutsCompleteFramesOnly)
{
    const SplitCase& c = GetParam();
    size_t consumed = 99;
    bool malformed = !c.malformed;
    auto frames = SplitMqttFrames(c.input, &consumed, &malformed);
    std::vector<size_t> sizes;
    size_t offset = 0;
    for (const auto& frame : frames) {
        sizes.push_back(frame.size());
        EXPECT_EQ(frame, Bytes(c.input.begin() + offset, c.input.begin() + offset + frame.size()));
        offset += frame.size();
    }
    EXPECT_EQ(sizes, c.frameSizes);
    EXPECT_EQ(consumed, c.consumed);
    EXPECT_EQ(malformed, c.malformed);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FrameSplit,
    ::testing::Values(SplitCase{"Empty", {}, {}, 0, false},
                      SplitCase{"Pingresp", {0xD0, 0x00}, {2}, 2, false},
                      SplitCase{"ConnackThenSuback", {0x20, 0x02, 0x00, 0x00, 0x90, 0x03, 0x00, 0x01, 0x00}, {4, 5}, 9,
                                false},
                      SplitCase{"OnlyFirstByte", {0x30}, {}, 0, false},
                      SplitCase{"FrameThenFirstByte", {0xD0, 0x00, 0x30}, {2}, 2, false},
                      SplitCase{"BodyIncomplete", {0x30, 0x05, 'a', 'b'}, {}, 0, false},
                      SplitCase{"TwoByteLength", Repeat({0x30, 0x80, 0x01}, 128, 'x'), {131}, 131, false},
                      SplitCase{"LengthFieldUnfinished", {0x30, 0x80, 0x80}, {}, 0, false},
                      SplitCase{"LengthFieldTooLong", {0xD0, 0x00, 0x30, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}, {2}, 2, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FakeBroker, HandlerSeesWholeFramesAndReplies)
{
    FakeBroker broker;
    std::vector<Bytes> handled;   // touched only by the handler thread until the waits below
    broker.OnFrame([&](const Bytes& frame, FakeBroker& b) {
        handled.push_back(frame);
        if (frame[0] == 0xC0)
            b.Send({0xD0, 0x00});
    });
    TClientSocket socket;
    socket.SetHost(broker.Host());
    socket.SetPort(broker.Port());
    socket.Open();
    TSocketStream stream(socket, 5000);
    // A PUBLISH split across writes, then a PINGREQ.
    const Bytes publish = {0x30, 0x05, 0x00, 0x01, 'a', 'h', 'i'};
    ASSERT_EQ(stream.Write(publish.data(), 3), 3);
    ASSERT_TRUE(broker.WaitForBytes(3, 5000));
    EXPECT_TRUE(broker.Frames().empty());
    ASSERT_EQ(stream.Write(publish.data() + 3, 4), 4);
    const Bytes ping = {0xC0, 0x00};
    ASSERT_EQ(stream.Write(ping.data(), 2), 2);

    uint8_t reply[2] = {};
    int got = 0;
    while (got < 2) {
        int n = stream.Read(reply + got, 2 - got);
        ASSERT_GT(n, 0);
        got += n;
    }
    EXPECT_EQ(reply[0], 0xD0);
    ASSERT_TRUE(broker.WaitForFrames(2, 5000));
    EXPECT_EQ(broker.Frames(), (std::vector<Bytes>{publish, ping}));
    EXPECT_EQ(handled, (std::vector<Bytes>{publish, ping}));
    EXPECT_FALSE(broker.FramingBroken());
}

TEST(FakeBroker, UnusedPortRefusesAndStopListeningRefusesLaterConnects)
{
    FakeBroker broker;
    broker.StopListening();
    for (int port : {FakeBroker::UnusedPort(), broker.Port()}) {
        TClientSocket socket;
        socket.SetHost("127.0.0.1");
        socket.SetPort(port);
        EXPECT_THROW(socket.Open(), Exception) << port;
    }
}

// A hand-made MQTT 3.1 CONNECT (protocol MQIsdp, level 3, clean session).
Bytes ConnectFrame(const std::string& clientID)
{
    Bytes body = {0x00, 0x06, 'M', 'Q', 'I', 's', 'd', 'p', 0x03, 0x02, 0x00, 0x3C};
    body.push_back(0x00);
    body.push_back(static_cast<uint8_t>(clientID.size()));
    body.insert(body.end(), clientID.begin(), clientID.end());
    Bytes frame = {0x10, static_cast<uint8_t>(body.size())};
    frame.insert(frame.end(), body.begin(), body.end());
    return frame;
}

using Mosquitto = MosquittoTest;

TEST_F(Mosquitto, AcceptsAnMqtt31Connect)
{
    TClientSocket socket;
    socket.SetHost(Broker.Host());
    socket.SetPort(Broker.Port());
    socket.Open();
    TSocketStream stream(socket, 5000);
    Bytes connect = ConnectFrame("platform-test");
    ASSERT_EQ(stream.Write(connect.data(), static_cast<int>(connect.size())), static_cast<int>(connect.size()));
    Bytes answer;
    uint8_t buffer[16];
    while (answer.size() < 4) {
        int n = stream.Read(buffer, sizeof buffer);
        ASSERT_GT(n, 0) << Broker.Log();
        answer.insert(answer.end(), buffer, buffer + n);
    }
    EXPECT_EQ(answer, (Bytes{0x20, 0x02, 0x00, 0x00})) << Broker.Log();
}

} // namespace
