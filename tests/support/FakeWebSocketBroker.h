#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A scripted WebSocket server on 127.0.0.1 for one client connection: it
// answers the upgrade (or refuses it with Refusal, a whole status line),
// then unmasks and records every frame the client sends. What it sends after
// the upgrade is raw bytes: Frame() builds a server frame, so a test may cut
// messages anywhere, send control frames between fragments or stop mid-frame.
class TFakeWebSocketBroker {
public:
    struct TFrame {
        uint8_t Opcode = 0;
        bool Fin = true;
        bool Masked = false;
        std::vector<uint8_t> Payload;
    };

    explicit TFakeWebSocketBroker(std::string refusal = {});
    ~TFakeWebSocketBroker();
    TFakeWebSocketBroker(const TFakeWebSocketBroker&) = delete;
    TFakeWebSocketBroker& operator=(const TFakeWebSocketBroker&) = delete;

    int Port() const { return FPort; }
    // A server frame (unmasked): opcode 1 text, 2 binary, 0 continuation, 8 close, 9 ping, 10 pong.
    static std::vector<uint8_t> Frame(uint8_t opcode, const std::vector<uint8_t>& payload, bool fin = true);
    static std::vector<uint8_t> CloseFrame(uint16_t code, const std::string& reason);
    // After the upgrade; false when it did not come or the client is gone.
    bool Send(const std::vector<uint8_t>& bytes, int timeoutMs = 5000);
    // Ends the TCP connection (FIN).
    void Close();

    // Waits until pred holds over what was received; false on time-out.
    bool WaitFor(const std::function<bool(const std::vector<TFrame>&)>& pred, int timeoutMs = 5000);
    // The bytes of the client's binary and continuation frames, in order.
    std::vector<uint8_t> Data();
    std::string Request();   // the upgrade request as received

private:
    void Run();

    std::string FRefusal;
    int FListener = -1;
    int FConnection = -1;
    int FPort = 0;
    bool FUpgraded = false;
    std::string FRequest;
    std::vector<TFrame> FFrames;
    std::mutex FLock;
    std::condition_variable FChanged;
    std::thread FThread;
};
