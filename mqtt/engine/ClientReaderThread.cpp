#include "mqtt/engine/ClientReaderThread.h"

#include <memory>

#include "diag/EventSink.h"
#include "diag/EventSources.h"
#include "mqtt/codec/MQTTPacket.h"
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

    const TFrameAssembler::TStoreFrame store = [this](const uint8_t* frame, int32_t frameSize) {
        auto packet = std::make_unique<TMQTTPacket>(frame, frameSize, Version);
        if (Observer)
            Observer->OnFrame(TFrameDirection::Received, frame, frameSize);
        return ReceiveQueue.Store(packet);
    };
    const TFrameAssembler::TLog log = [this](const std::string& message) { Log(message); };
    const TFrameAssembler::TFrameStored signal = [this] { SignalNamedEvent(FrameEventName); };

    try {
        TSocketStream stream(Socket, kStreamTimeoutMs);
        uint8_t chunk[kReadChunkSize];
        while (!Terminated() && Socket.Active()) {
            try {
                if (!Socket.WaitForData(kIdleWaitMs))
                    continue;
                if (Terminated() || !Socket.Active())
                    break;
                const int count = stream.Read(chunk, kReadChunkSize);
                if (count == 0) {
                    // Readable but nothing to read: the broker closed its end.
                    if (stream.PeerClosed())
                        CloseLost("closed by the broker");
                    continue;
                }
                buffer.Append(chunk, count);
                buffer.CutFrames(store, log, signal);
            } catch (const std::exception& e) {
                ReportAndClose(e.what());
            } catch (...) {
                ReportAndClose("unknown error");
            }
        }
    } catch (const std::exception& e) {
        ReportAndClose(e.what());
    }
}
