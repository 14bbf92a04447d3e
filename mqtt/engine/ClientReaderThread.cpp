#include "mqtt/engine/ClientReaderThread.h"

#include <memory>

#include "diag/EventSink.h"
#include "diag/EventSources.h"
#include "mqtt/codec/MQTTPacket.h"
#include "mqtt/codec/MessageTypes.h"
#include "mqtt/engine/FrameAssembler.h"
#include "mqtt/engine/FrameSignal.h"
#include "mqtt/engine/PacketQueue.h"
#include "mqtt/engine/SessionObserver.h"
#include "platform/ClientSocket.h"
#include "platform/Error.h"

TMQTTClientReaderThread::TMQTTClientReaderThread(TClientSocket& socket, TMQTTPacketQueue& receiveQueue,
    const std::string& frameEventName, const std::string& clientID, int32_t bufferSize, TEventSink& sink,
    TSessionObserver* observer, TProtocolVersion version)
    : Socket(socket)
    , ReceiveQueue(receiveQueue)
    , FrameEventName(frameEventName)
    , ClientID(clientID)
    , BufferSize(bufferSize)
    , Sink(sink)
    , Observer(observer)
    , FRoom(std::make_shared<TWakeEvent>())
    , Version(version)
{
}

// The client stops the thread before freeing it; this only guards against
// an owner that did not, since the body uses this object's fields.
TMQTTClientReaderThread::~TMQTTClientReaderThread()
{
    Terminate();
    WaitFor();
}

std::function<void()> TMQTTClientReaderThread::RoomNotify() const
{
    return [room = FRoom] { room->Signal(); };
}

void TMQTTClientReaderThread::SetBacklogProbe(std::function<bool()> full)
{
    FBacklogProbe = std::move(full);
}

bool TMQTTClientReaderThread::BacklogFull()
{
    return FBacklogProbe ? FBacklogProbe() : ReceiveQueue.BacklogFull();
}

void TMQTTClientReaderThread::Log(const std::string& message)
{
    Sink.SendEventMsg(message, SourceUnit, 0, 0);
}

void TMQTTClientReaderThread::ReportAndClose(const std::string& message)
{
    // The close must happen even when the report itself fails.
    try {
        Log("TMQTTClientReaderThread:*EXCEPTIN* " + message + "[" + ClientID + "]");
    } catch (...) {
    }
    CloseLost(message);
}

void TMQTTClientReaderThread::CloseLost(const std::string& reason)
{
    bool closedHere = false;
    try {
        closedHere = Socket.Close();
    } catch (...) {
        closedHere = true;   // the notification failed; the socket is closed all the same
    }
    // Told once, and not when "Close" (a termination request) ended the connection.
    if (closedHere && Observer && !Terminated())
        Observer->OnConnectionLost(reason);
}

void TMQTTClientReaderThread::CloseByBroker()
{
    // A WebSocket broker says why in its close frame: its code and words go
    // to the log and with the lost connection to the window.
    const std::string detail = Socket.PeerCloseDetail();
    if (detail.empty()) {
        CloseLost("closed by the broker");
        return;
    }
    const std::string reason = "closed by the broker: " + detail;
    try {
        const bool normal = detail.rfind("WebSocket close 1000", 0) == 0;
        Log((normal ? "" : "*ERROR* ") + reason + " [" + ClientID + "]");
    } catch (...) {
    }
    CloseLost(reason);
}

void TMQTTClientReaderThread::Execute()
{
    // The receive buffer lives for the body's whole run and is freed on
    // every way out of it.
    TFrameAssembler buffer(ClientID);
    try {
        buffer.EnsureFreeSpace(BufferSize);
    } catch (const std::exception& e) {
        // Without a buffer nobody would read the socket: end the connection
        // rather than leave it open and deaf.
        ReportAndClose(e.what());
        return;
    }

    const TFrameAssembler::TStoreFrame store = [this](const uint8_t* frame, int32_t frameSize,
                                                   std::unique_ptr<uint8_t[]>& owned) {
        // A long frame's own buffer becomes the packet's: no copy.
        auto packet = owned ? std::make_unique<TMQTTPacket>(std::move(owned), frameSize, Version)
                            : std::make_unique<TMQTTPacket>(frame, frameSize, Version);
        if (Observer)
            Observer->OnFrame(TFrameDirection::Received, packet->FrameData.get(), frameSize);
        if (Version == TProtocolVersion::MQTT50 && packet->MessageType == MessageType::PUBLISH) {
            if (const std::string problem = FAliases.Resolve(*packet); !problem.empty())
                Log("*ERROR* " + problem + " [" + ClientID + "]");
        }
        return ReceiveQueue.Store(packet);
    };
    const TFrameAssembler::TLog log = [this](const std::string& message) { Log(message); };
    const TFrameAssembler::TFrameStored signal = [this] { SignalNamedEvent(FrameEventName); };

    // One poll per read, without a timer: data, the termination request or
    // room in the backlog wake the thread.
    const int termination = TerminationHandle();
    const int room = FRoom->Handle();
    const int waitMs = termination >= 0 && room >= 0 ? -1 : kFallbackWaitMs;
    const unsigned roomReady = TClientSocket::kHandleReady << 1;
    while (!Terminated() && Socket.Active()) {
        try {
            const bool full = BacklogFull();
            const unsigned ready = Socket.WaitForDataOr({termination, room}, !full, waitMs);
            if (ready & roomReady)
                FRoom->Reset();   // before the backlog is looked at again
            if (Terminated() || !Socket.Active())
                break;
            if (full || !(ready & TClientSocket::kSocketReady))
                continue;
            const auto areas = buffer.PrepareRead();
            bool peerClosed = false;
            const int count = Socket.ReceiveAvailable(areas[0].Data, static_cast<int>(areas[0].Size), areas[1].Data,
                static_cast<int>(areas[1].Size), peerClosed);
            if (count == 0) {
                // Readable but nothing to read: the broker closed its end
                // (peerClosed), or under TLS the wake-up brought no data (a
                // session ticket), and the next wait goes on.
                if (peerClosed)
                    CloseByBroker();
                continue;
            }
            buffer.Commit(count);
            buffer.CutFrames(store, log, signal);
        } catch (const std::exception& e) {
            ReportAndClose(e.what());
        } catch (...) {
            ReportAndClose("unknown error");
        }
    }
}
