// The WebSocket layer of the client socket against a scripted WebSocket server:
// the handshake's texts, messages cut anywhere both ways, ping, the close
// handshake, the end of the stream inside a frame, protocol breaks.
#include "platform/ClientSocket.h"

#include <gtest/gtest.h>

#include "platform/Error.h"
#include "platform/HttpHead.h"
#include "platform/WebSocketHandshake.h"
#include "support/FakeWebSocketBroker.h"

namespace {

using TBytes = std::vector<uint8_t>;
using TFrames = std::vector<TFakeWebSocketBroker::TFrame>;

TBytes Bytes(const std::string& text) { return TBytes(text.begin(), text.end()); }

THttpHead Head(const std::string& text)
{
    THttpHead head;
    std::string problem;
    EXPECT_TRUE(ParseHttpHead(text, head, problem)) << problem;
    return head;
}

TEST(WebSocketHandshakeTest, AnswersAndHeaderLinesAreJudged)
{
    const std::string key = "dGhlIHNhbXBsZSBub25jZQ==";   // the example of RFC 6455
    EXPECT_EQ(WebSocketAccept(key), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
    const std::string good = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                             "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n";
    const std::pair<std::string, std::string> answers[] = {
        {good + "Sec-WebSocket-Protocol: mqtt\r\n\r\n", ""},
        {good + "\r\n", ""},
        {"HTTP/1.1 404 Not Found\r\n\r\n", "WebSocket upgrade refused: HTTP/1.1 404 Not Found"},
        {good + "Sec-WebSocket-Protocol: mqttv3.1\r\n\r\n",
         "WebSocket upgrade failed: the broker chose the subprotocol \"mqttv3.1\", which was not offered"},
        {good + "Sec-WebSocket-Extensions: permessage-deflate\r\n\r\n",
         "WebSocket upgrade failed: the broker chose an extension that was not offered"},
        {"HTTP/1.1 101 OK\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Accept: x\r\n\r\n",
         "WebSocket upgrade failed: Sec-WebSocket-Accept does not match the key"},
        {"HTTP/1.1 101 OK\r\nConnection: Upgrade\r\n\r\n", "WebSocket upgrade failed: the answer lacks \"Upgrade: websocket\""},
    };
    for (const auto& [answer, verdict] : answers)
        EXPECT_EQ(CheckWebSocketAnswer(Head(answer), key, "mqtt"), verdict) << answer;

    const std::pair<std::string, std::vector<std::string>> lines[] = {
        {"Authorization: Bearer x\nX-A:1", {"Authorization: Bearer x", "X-A: 1"}},
        {"Cookie: a=b\\nX-B: 2\r\n\n  ", {"Cookie: a=b", "X-B: 2"}},
        {"Host: broker.example", {"Host: broker.example"}},
    };
    for (const auto& [text, parsed] : lines) {
        std::vector<std::string> got;
        std::string problem;
        EXPECT_TRUE(ParseHeaderLines(text, got, problem)) << problem;
        EXPECT_EQ(got, parsed);
    }
    for (const char* refused : {"no colon here", "Sec-WebSocket-Key: x", "Bad Name: x"}) {
        std::vector<std::string> got;
        std::string problem;
        EXPECT_FALSE(ParseHeaderLines(refused, got, problem)) << refused;
    }
}

class WebSocketTransportTest : public ::testing::Test {
protected:
    // Opens a WebSocket connection to the server with extra header lines.
    void Open(TFakeWebSocketBroker& server, std::vector<std::string> headers = {})
    {
        TTransportConfig transport;
        transport.WebSocket.Enabled = true;
        transport.WebSocket.Path = "/mqtt/ü";
        transport.WebSocket.Headers = std::move(headers);
        Socket.SetHost("127.0.0.1");
        Socket.SetPort(server.Port());
        Socket.SetTransport(transport);
        Socket.Open();
    }
    // Reads until count bytes came or the broker ended the connection.
    TBytes ReadAll(size_t count)
    {
        TSocketStream stream(Socket, 5000);
        TBytes got;
        uint8_t buffer[64];
        while (got.size() < count) {
            const int n = stream.Read(buffer, sizeof buffer);
            if (n <= 0)
                break;
            got.insert(got.end(), buffer, buffer + n);
        }
        return got;
    }

    TClientSocket Socket;
};

// The request carries the path (percent-encoded), the subprotocol and the
// extra lines; a refusal fails Open with the status line.
TEST_F(WebSocketTransportTest, ARefusedUpgradeFailsOpenWithTheStatusLine)
{
    TFakeWebSocketBroker server("HTTP/1.1 403 Forbidden");
    EXPECT_THROW(Open(server, {"Authorization: Bearer t0k"}), Exception);
    EXPECT_EQ(Socket.ConnectFailure(), "WebSocket upgrade refused: HTTP/1.1 403 Forbidden");
    EXPECT_FALSE(Socket.Active());
    const std::string request = server.Request();
    EXPECT_EQ(request.rfind("GET /mqtt/%C3%BC HTTP/1.1\r\n", 0), 0u) << request;
    for (const char* line : {"Host: 127.0.0.1:", "Sec-WebSocket-Version: 13\r\n", "Sec-WebSocket-Protocol: mqtt\r\n",
                             "Authorization: Bearer t0k\r\n"})
        EXPECT_NE(request.find(line), std::string::npos) << line;
}

// MQTT bytes are a stream: frames cut across messages, several in one, a
// fragmented message with a ping between its fragments (answered with its
// payload). Writes: every piece masked, a corked frame one message.
TEST_F(WebSocketTransportTest, MessagesAreAStreamBothWaysAndPingsAreAnswered)
{
    TFakeWebSocketBroker server;
    Open(server);
    TBytes wire = TFakeWebSocketBroker::Frame(2, {0x20, 0x02});
    for (const TBytes& part : {TFakeWebSocketBroker::Frame(2, {0x00, 0x00, 0x90}, false),
                               TFakeWebSocketBroker::Frame(9, Bytes("hi")),
                               TFakeWebSocketBroker::Frame(0, {0x03, 0x00, 0x01, 0x00})})
        wire.insert(wire.end(), part.begin(), part.end());
    ASSERT_TRUE(server.Send(wire));
    EXPECT_EQ(ReadAll(9), (TBytes{0x20, 0x02, 0x00, 0x00, 0x90, 0x03, 0x00, 0x01, 0x00}));
    EXPECT_TRUE(server.WaitFor([](const TFrames& f) { return !f.empty() && f[0].Opcode == 10; }));

    TBytes frame(5000);
    for (size_t i = 0; i < frame.size(); ++i)
        frame[i] = static_cast<uint8_t>(i * 7);
    TSocketStream stream(Socket, 1000);
    for (bool cork : {false, true}) {
        Socket.SetCork(cork);
        for (size_t at = 0; at < frame.size(); at += 2000)
            ASSERT_GT(stream.Write(frame.data() + at, static_cast<int>(std::min<size_t>(2000, frame.size() - at))), 0);
        ASSERT_TRUE(stream.Flush());
        Socket.SetCork(false);
    }
    // The pong, three pieces, one corked message.
    ASSERT_TRUE(server.WaitFor([](const TFrames& f) { return f.size() == 5; })) << server.Data().size();
    TBytes twice = frame;
    twice.insert(twice.end(), frame.begin(), frame.end());
    EXPECT_EQ(server.Data(), twice);
    // Our close: a normal closure.
    EXPECT_TRUE(Socket.Close());
    ASSERT_TRUE(server.WaitFor([](const TFrames& f) { return f.size() == 6; }));
    server.WaitFor([](const TFrames& frames) {
        for (const auto& f : frames)
            EXPECT_TRUE(f.Masked);
        EXPECT_EQ(frames[4].Payload.size(), 5000u);
        EXPECT_TRUE(frames[5].Opcode == 8 && frames[5].Payload == (TBytes{0x03, 0xE8}));
        return true;
    });
}

// How the broker's end reaches the reader: its close frame (answered, and
// told in words), the end of the stream inside a frame, a text message.
TEST_F(WebSocketTransportTest, TheBrokersEndIsToldAndAnswered)
{
    struct TCase {
        const char* Name;
        TBytes Wire;
        bool EndStream;
        std::string Detail;
        int Answer;          // the close code the client sends back; 0: none
        const char* Raised;  // part of the read's failure, or nullptr
    };
    TBytes halfFrame = TFakeWebSocketBroker::Frame(2, {0x30, 0x05, 0x00, 0x01, 't', 'x', 'y'});
    halfFrame.resize(halfFrame.size() - 3);
    const TCase cases[] = {
        {"close frame", TFakeWebSocketBroker::CloseFrame(1001, "restart"), false,
         "WebSocket close 1001 going away: restart", 1001, nullptr},
        {"stream ends mid-frame", halfFrame, true, "", 0, nullptr},
        {"text message", TFakeWebSocketBroker::Frame(1, Bytes("{}")), false, "", 1003, "text message"},
    };
    for (const TCase& test : cases) {
        SCOPED_TRACE(test.Name);
        TFakeWebSocketBroker server;
        TClientSocket& socket = Socket;
        Open(server);
        ASSERT_TRUE(server.Send(test.Wire));
        if (test.EndStream)
            server.Close();
        bool peerClosed = false;
        uint8_t buffer[16];
        try {
            while (socket.WaitForData(5000) && socket.ReceiveAvailable(buffer, sizeof buffer, nullptr, 0, peerClosed) > 0) {
            }
            EXPECT_EQ(test.Raised, nullptr);
            EXPECT_TRUE(peerClosed);
        } catch (const Exception& e) {
            ASSERT_NE(test.Raised, nullptr) << e.Message();
            EXPECT_NE(e.Message().find(test.Raised), std::string::npos) << e.Message();
        }
        EXPECT_EQ(socket.PeerCloseDetail(), test.Detail);
        if (test.Answer != 0) {
            EXPECT_TRUE(server.WaitFor([&](const TFrames& f) {
                return !f.empty() && f.back().Opcode == 8 && f.back().Payload.size() >= 2 &&
                       (f.back().Payload[0] << 8 | f.back().Payload[1]) == test.Answer;
            }));
        }
        socket.Close();
    }
}

}  // namespace
