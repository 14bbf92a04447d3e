#include "mqtt/engine/MQTTClient.h"

#include "diag/EventSink.h"
#include "diag/EventSources.h"
#include "mqtt/engine/ClientReaderThread.h"
#include "mqtt/engine/EventHandlerThread.h"
#include "mqtt/engine/FrameSignal.h"
#include "mqtt/engine/FrameWriter.h"
#include "mqtt/engine/SessionObserver.h"
#include "platform/ClientSocket.h"
#include "platform/Error.h"
#include "platform/NamedSync.h"
#include "platform/Thread.h"

TMQTTClient::TMQTTClient(const std::string& host, int port, const std::string& clientID,
    const TMQTTClientOptions& options)
    : ClientID(clientID)
    , FrameEventName(FrameEventNameFor(clientID))
    , Sink(options.Sink ? *options.Sink : NullEventSink())
    , Observer(options.Observer)
{
    if (Observer)
        Observer->OnProtocolVersion(options.Version);
    FSocket = std::make_unique<TClientSocket>();
    FSocket->SetHost(host);
    FSocket->SetPort(port);
    FSocket->SetConnectTimeout(options.ConnectTimeoutMs);
    FSocket->SetTls(options.Tls);
    FSocket->SetTransport(options.Transport);
    FSocket->SetOnConnect([this] { ClientSocketOnConnect(); });
    FSocket->SetOnDisconnect([this] { ClientSocketOnDisconnect(); });

    // A failed attempt is reported by the disconnect notification.
    for (int attempt = 0; attempt < kConnectAttempts && !FSocket->Active(); ++attempt) {
        try {
            FSocket->Open();
        } catch (...) {
            SleepMs(kConnectPauseMs);
        }
    }
    if (!FSocket->Active()) {
        SocketReady = false;
        ReportConnectFailure(host, port);
    }

    try {
        const std::string mutexName = WriteMutexName(ClientID);
        FWriteMutex = TNamedMutex::CreateOrOpen(mutexName);
        if (!FWriteMutex)
            throw Exception("could not create mutex, " + mutexName);
        FWriter = std::make_unique<TFrameWriter>(*FSocket, *FWriteMutex, ClientID, Sink, Observer);
        FReceiveQueue = std::make_unique<TMQTTPacketQueue>(ClientID, Observer, &Sink);

        FReaderThread = std::make_unique<TMQTTClientReaderThread>(
            *FSocket, *FReceiveQueue, FrameEventName, ClientID, options.ReceiveBufferSize, Sink, Observer,
            options.Version);
        FEventHandlerThread = std::make_unique<TMQTTEventHandlerThread>(
            *FSocket, *FReceiveQueue, FrameEventName, ClientID, *FWriter, Sink, Observer, options.Version);
        FEventHandlerThread->SetPayloadDirectory(options.PayloadDirectory);
        FEventHandlerThread->SetLinePause(options.LinePauseMs);
        FEventHandlerThread->SetAckSettings(options.Acks);
        // A take that makes room in a full backlog lets the reader read again.
        FReceiveQueue->SetRoomNotify(FReaderThread->RoomNotify());
        FReaderThread->Start();
        FEventHandlerThread->Start();
    } catch (...) {
        TearDown();
        throw;
    }
}

void TMQTTClient::StopThreads()
{
    // Both are asked first, so their waits run side by side. The reader wakes
    // on its termination handle; the frame-arrival signal wakes the
    // event-handler thread from its idle wait, so Close does not sit it out.
    if (FReaderThread)
        FReaderThread->Terminate();
    if (FEventHandlerThread)
        FEventHandlerThread->Stop();   // also wakes it, and lets a reader waiting for room go on
    if (FReaderThread) {
        FReaderThread->WaitFor();
        FReaderThread.reset();
    }
    if (FEventHandlerThread) {
        FEventHandlerThread->WaitFor();
        FEventHandlerThread->ReportDroppedAtClose();   // both threads have ended: the count is final
        FEventHandlerThread.reset();
    }
}

void TMQTTClient::TearDown()
{
    StopThreads();
    FReceiveQueue.reset();
    try {
        FSocket->Close();
    } catch (...) {
    }
    FSocket.reset();
    FWriter.reset();
    FWriteMutex.reset();
}

TMQTTClient::~TMQTTClient()
{
    TearDown();
}

void TMQTTClient::SetPayloadDirectory(const std::string& directory)
{
    FEventHandlerThread->SetPayloadDirectory(directory);
}

void TMQTTClient::SetLinePause(int ms)
{
    FEventHandlerThread->SetLinePause(ms);
}

void TMQTTClient::SetAckSettings(const TAckSettings& settings)
{
    FEventHandlerThread->SetAckSettings(settings);
}

void TMQTTClient::ReportConnectFailure(const std::string& host, int port)
{
    // An IPv6 address is bracketed so that its port stays readable.
    const std::string where = (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + std::to_string(port);
    try {
        Sink.SendEventMsg(
            "*ERROR* could not connect to " + where + ": " + FSocket->ConnectFailure() + " [" + ClientID + "]",
            SourceUnit, 0, 0);
    } catch (...) {
        // "Open" still reports the failure with its box.
    }
}

void TMQTTClient::ClientSocketOnConnect()
{
    try {
        Sink.SendEventMsg("ClientSocketOnConnect: start", SourceUnit, 0, 0);
    } catch (...) {
    }
    SocketReady = true;
}

void TMQTTClient::ClientSocketOnDisconnect()
{
    // Cleared first: the notification runs inside a close, which must not
    // fail because a log line could not be sent.
    SocketReady = false;
    try {
        Sink.SendEventMsg("ClientSocketOnDisconnect: start", SourceUnit, 0, 0);
    } catch (...) {
    }
}

void TMQTTClient::SendFrame(const uint8_t* frame, int32_t length)
{
    if (!SocketReady)
        throw Exception("SocketReady check failed");
    FWriter->WriteFrame(frame, length);
}
