// PINGREQ round trips through the console against a loopback responder that
// answers every PINGREQ with a PINGRESP at once.
#include "console/form/Form1.h"
#include "mqtt/codec/FrameBuilders.h"
#include "mqtt/codec/MQTTPacket.h"
#include "mqtt/engine/FrameSignal.h"
#include "mqtt/engine/MQTTClient.h"
#include "mqtt/engine/PacketQueue.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <stdexcept>
#include <thread>

namespace {

int BindLoopback(int type, int& port)
{
    const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        throw std::runtime_error("bind failed");
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    port = ntohs(addr.sin_port);
    return fd;
}

// Accepts one connection and answers each PINGREQ (C0 00) with a PINGRESP (D0 00).
class TPingResponder {
public:
    TPingResponder()
    {
        Listener = BindLoopback(SOCK_STREAM, Port);
        ::listen(Listener, 1);
        Worker = std::thread([this] { Run(); });
    }
    ~TPingResponder()
    {
        ::shutdown(Listener, SHUT_RDWR);
        const int conn = Connection.load();
        if (conn >= 0)
            ::shutdown(conn, SHUT_RDWR);
        Worker.join();
        ::close(Listener);
        if (conn >= 0)
            ::close(conn);
    }
    int Port = 0;

private:
    void Run()
    {
        const int conn = ::accept(Listener, nullptr, nullptr);
        if (conn < 0)
            return;
        Connection = conn;
        const int one = 1;
        ::setsockopt(conn, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        uint8_t buffer[256];
        int pending = 0;   // bytes of a PINGREQ seen so far
        for (;;) {
            const ssize_t n = ::read(conn, buffer, sizeof buffer);
            if (n <= 0)
                return;
            for (ssize_t i = 0; i < n; ++i) {
                if (++pending == 2) {
                    pending = 0;
                    static const uint8_t pingresp[2] = {0xD0, 0x00};
                    if (::write(conn, pingresp, 2) != 2)
                        return;
                }
            }
        }
    }

    int Listener = -1;
    std::atomic<int> Connection{-1};
    std::thread Worker;
};

class TNullFrontEnd : public TFrontEnd {
public:
    void ShowError(const std::string& text) override { throw std::runtime_error(text); }
    void ShowMessageBox(const std::string&, const std::string& text, bool) override { throw std::runtime_error(text); }
    bool ChooseFile(const std::string&, const std::string&, std::string&) override { return false; }
    void SetPingTimer(bool, int) override {}
    void ControlsChanged() override {}
};

// A form opened on the responder; the diagnostics go to a UDP port nobody reads.
struct TOpenedForm {
    TPingResponder Responder;
    int LogPort = 0;
    int LogSink = BindLoopback(SOCK_DGRAM, LogPort);
    TNullFrontEnd FrontEnd;
    TForm1 Form{FrontEnd, LogPort};

    TOpenedForm()
    {
        Form.Run(&TForm1::FormCreate);
        Form.ClientIDEdit.Text = "bench";
        Form.BrokerPortSpn.SetValue(Responder.Port);
        Form.Run(&TForm1::ConnectBtnClick);
        if (!Form.Client || !Form.Client->SocketReady)
            throw std::runtime_error("could not open the connection");
    }
    ~TOpenedForm()
    {
        Form.FormDestroy();
        ::close(LogSink);
    }
};

// The PINGREQ command as the button runs it: lines, send, wait, and the 10 ms pause after the answer.
void BM_PingreqCommand(benchmark::State& state)
{
    TOpenedForm opened;
    for (auto _ : state)
        opened.Form.MQTT_PINGREQ_BtnClick();
}
BENCHMARK(BM_PingreqCommand)->Unit(benchmark::kMillisecond);

// The round trip alone through the client: build, send, wait for the arrival, take the answer.
void BM_PingreqRoundTrip(benchmark::State& state)
{
    TOpenedForm opened;
    TMQTTClient& client = *opened.Form.Client;
    for (auto _ : state) {
        TFrameBuffer frame;
        int32_t frameLen = 0;
        BuildPingreqFrame(frame, frameLen);
        TFrameWait wait(client.FrameEventName);
        client.SendFrame(frame.get(), frameLen);
        std::unique_ptr<TMQTTPacket> answer;
        while (!client.Queue().TakeFirst(13, answer)) {
            if (!wait.Wait(1000)) {
                state.SkipWithError("no PINGRESP within 1000 ms");
                return;
            }
        }
        benchmark::DoNotOptimize(answer);
    }
}
BENCHMARK(BM_PingreqRoundTrip)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
