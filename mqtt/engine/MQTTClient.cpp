#include "mqtt/engine/MQTTClient.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "diag/EventSink.h"
#include "diag/EventSources.h"
#include "mqtt/codec/MessageTypes.h"
#include "mqtt/engine/ClientReaderThread.h"
#include "mqtt/engine/EventHandlerThread.h"
#include "mqtt/engine/FrameSignal.h"
#include "mqtt/engine/WholeFrameWriter.h"
#include "mqtt/engine/SessionObserver.h"
#include "platform/CancelSignal.h"
#include "platform/ClientSocket.h"
#include "platform/Error.h"
#include "platform/NamedSync.h"

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
    FSocket->SetResolver(options.Resolver);
    FSocket->SetCancelSignal(options.Cancel);

    ConnectAttempts(host, port, options.Cancel);
    if (!FSocket->Active())
        SocketReady = false;
    else if (Observer)
        Observer->OnConnected(FSocket->TlsVersion());

    try {
        const std::string mutexName = WriteMutexName(ClientID);
        FWriteMutex = TNamedMutex::CreateOrOpen(mutexName);
        if (!FWriteMutex)
            throw Exception("could not create mutex, " + mutexName);
        FWriter = std::make_unique<TWholeFrameWriter>(*FSocket, *FWriteMutex, ClientID, Sink, Observer);
        FWriter->SetWriteStall(options.WriteStallMs);
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

void TMQTTClient::ConnectAttempts(const std::string& host, int port, const TCancelSignal* cancel)
{
    using TClock = std::chrono::steady_clock;
    for (int attempt = 1; attempt <= kConnectAttempts; ++attempt) {
        const auto start = TClock::now();
        try {
            FSocket->Open();
            return;
        } catch (...) {
            // The disconnect notification has logged the attempt; this line says why.
            const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(TClock::now() - start);
            ReportConnectFailure(host, port, attempt, took.count());
        }
        if (FSocket->OpenFailure() == TOpenFailure::Cancelled)
            return;
        // The pause follows every failed attempt; a cancel ends it.
        pollfd wait{cancel ? cancel->Handle() : -1, POLLIN, 0};
        while (::poll(&wait, 1, kConnectPauseMs) < 0 && errno == EINTR) {
        }
        if ((cancel && cancel->Cancelled()) || !FSocket->OpenRetryCanHelp())
            return;
    }
}

void TMQTTClient::ReportConnectFailure(const std::string& host, int port, int attempt, int64_t elapsedMs)
{
    // An IPv6 address is bracketed so that its port stays readable.
    const std::string where = (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + std::to_string(port);
    try {
        Sink.SendEventMsg("*ERROR* could not connect to " + where + ": " + FSocket->ConnectFailure() + " (attempt "
                              + std::to_string(attempt) + ", " + std::to_string(elapsedMs) + " ms) [" + ClientID + "]",
                          SourceUnit, 0, 0);
    } catch (...) {
        // "Open" still reports the failure with its box.
    }
}

TOpenFailure TMQTTClient::OpenFailure() const
{
    return FSocket->OpenFailure();
}

const std::string& TMQTTClient::ConnectFailure() const
{
    return FSocket->ConnectFailure();
}

std::string TMQTTClient::TlsVersion() const
{
    return FSocket->TlsVersion();
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
    try {
        if (!SocketReady)
            throw Exception("SocketReady check failed");
        // Before it goes out: the broker may answer a CONNECT at once.
        FReaderThread->NoteSent(frame, length);
        if (!FWriter->WriteFrame(frame, length))
            ReportNotSent(frame, length, "the connection is closed");
    } catch (const std::exception& e) {
        ReportNotSent(frame, length, e.what());
        throw;
    }
}

void TMQTTClient::SetWriteStall(int ms)
{
    FWriter->SetWriteStall(ms);
}

TMQTTClient::TDepartures::TDepartures(TMQTTClient& client)
    : FClient(client)
    , FLastMoveNs(std::chrono::duration_cast<std::chrono::nanoseconds>(
          std::chrono::steady_clock::now().time_since_epoch()).count())
{
}

bool TMQTTClient::TDepartures::Leaving()
{
    bool moved = false;
    const int64_t left = FClient.FSocket->UnacknowledgedBytes(FProgress, moved);
    const int64_t now =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count();
    // Bytes a write has just handed over count as moving, too.
    FLastMoveNs = std::max({FLastMoveNs, moved ? now : 0, FClient.FSocket->LastWriteActivity()});
    return left > 0 && now - FLastMoveNs < int64_t{FClient.FWriter->WriteStall()} * 1000000;
}

void TMQTTClient::ReportNotSent(const uint8_t* frame, int32_t length, const std::string& reason)
{
    const char* type = frame && length > 0 ? MessageType::Name(frame[0] >> 4) : "frame";
    try {
        Sink.SendEventMsg("*ERROR* " + std::string(type) + " not sent: " + reason + " [" + ClientID + "]", SourceUnit,
                          0, 0);
    } catch (...) {
        // The failure itself still reaches the caller.
    }
}
