#include "mqtt/engine/EventHandlerThread.h"

#include <algorithm>
#include <chrono>
#include <string_view>

#include "diag/EventSink.h"
#include "diag/EventSources.h"
#include "mqtt/codec/MQTTPacket.h"
#include "mqtt/codec/MessageTypes.h"
#include "mqtt/codec/PacketDisplay.h"
#include "mqtt/codec/ReasonCodes.h"
#include "mqtt/codec/WirePrimitives.h"
#include "mqtt/engine/FrameSignal.h"
#include "mqtt/engine/WholeFrameWriter.h"
#include "mqtt/engine/PacketQueue.h"
#include "mqtt/engine/SessionObserver.h"
#include "platform/ClientSocket.h"
#include "platform/Error.h"

namespace {

constexpr uint8_t kSubscriptionIdentifier = 0x0B;

// Slice of a PUBREL wait: short enough that a socket closed by the reader
// ends the flow at once, without changing the 1000 ms per wait.
constexpr int kWaitSliceMs = 20;

const char* BoolText(bool value)
{
    return value ? "True" : "False";
}

// The bound is raised while a PUBREL wait runs, so the PUBREL behind the
// waiting messages still gets read.
class TPubrelWaitBound {
public:
    explicit TPubrelWaitBound(TMQTTPacketQueue& queue) : FQueue(queue) { FQueue.SetPubrelWait(true); }
    ~TPubrelWaitBound() { FQueue.SetPubrelWait(false); }
    TPubrelWaitBound(const TPubrelWaitBound&) = delete;
    TPubrelWaitBound& operator=(const TPubrelWaitBound&) = delete;

private:
    TMQTTPacketQueue& FQueue;
};

} // namespace

TMQTTEventHandlerThread::TMQTTEventHandlerThread(TClientSocket& socket, TMQTTPacketQueue& receiveQueue,
    const std::string& frameEventName, const std::string& clientID, TWholeFrameWriter& writer, TEventSink& sink,
    TSessionObserver* observer, TProtocolVersion version)
    : Socket(socket)
    , ReceiveQueue(receiveQueue)
    , FrameEventName(frameEventName)
    , ClientID(clientID)
    , Writer(writer)
    , Sink(sink)
    , Observer(observer)
    , Version(version)
{
}

// The client stops the thread before freeing it; this only guards against
// an owner that did not, since the body uses this object's fields.
TMQTTEventHandlerThread::~TMQTTEventHandlerThread()
{
    Stop();
    WaitFor();
}

void TMQTTEventHandlerThread::SetPayloadDirectory(const std::string& directory)
{
    FStore.SetDirectory(directory);
}

std::string TMQTTEventHandlerThread::PayloadDirectory() const
{
    return FStore.Directory();
}

void TMQTTEventHandlerThread::SetLinePause(int ms)
{
    FLinePauseMs = std::clamp(ms, 0, kMaxLinePauseMs);
}

void TMQTTEventHandlerThread::SetAckSettings(const TAckSettings& settings)
{
    std::lock_guard<std::mutex> guard(FAckLock);
    FAcks = settings;
}

TAckParams TMQTTEventHandlerThread::AckParams(TPacketKind kind, int32_t messageID) const
{
    std::lock_guard<std::mutex> guard(FAckLock);
    return AckParamsFor(FAcks, Version, kind, messageID);
}

bool TMQTTEventHandlerThread::HoldingAcks() const
{
    std::lock_guard<std::mutex> guard(FAckLock);
    return FAcks.Hold;
}

void TMQTTEventHandlerThread::Stop()
{
    Terminate();
    {
        std::lock_guard<std::mutex> guard(FStopLock);
        FStopRequested = true;
    }
    FStopped.notify_all();
    // The idle wait and the PUBREL wait end on a frame signal; the other
    // waiters of the event only look into the queue once more.
    try {
        SignalNamedEvent(FrameEventName);
    } catch (...) {
    }
    ReceiveQueue.LiftBound();
}

void TMQTTEventHandlerThread::ReportDroppedAtClose()
{
    const int64_t dropped = static_cast<int64_t>(ReceiveQueue.BacklogCount()) + FFlows.Count() + FFlows.Forgotten()
        + FLostInPass;
    if (dropped == 0)
        return;
    try {
        Sink.SendEventMsg(std::to_string(dropped) + (dropped == 1 ? " received message" : " received messages")
                + " dropped unacknowledged at close [" + ClientID + "]",
            SourceUnit, 0, 0);
    } catch (...) {
    }
}

bool TMQTTEventHandlerThread::Stopping() const
{
    return Terminated() || !Socket.Active();
}

void TMQTTEventHandlerThread::Log(const std::string& message)
{
    Sink.SendEventMsg(message, SourceEventHandler, 0, 0);
}

void TMQTTEventHandlerThread::LogAndPause(const std::string& message, const char* source)
{
    Sink.SendEventMsg(message, source, 0, 0);
    Pause(FLinePauseMs);
}

// A pause that Stop() cuts short, so Close never sits one out.
void TMQTTEventHandlerThread::Pause(int ms)
{
    if (ms <= 0)
        return;
    std::unique_lock<std::mutex> lock(FStopLock);
    FStopped.wait_for(lock, std::chrono::milliseconds(ms), [this] { return FStopRequested; });
}

void TMQTTEventHandlerThread::ReportAndClose(const std::string& message)
{
    try {
        Sink.SendEventMsg("TMQTTEventHandlerThread:*EXCEPTIN* " + message + "[" + ClientID + "]", SourceUnit, 0, 0);
    } catch (...) {
    }
    bool closedHere = false;
    try {
        closedHere = Socket.Close();
    } catch (...) {
        closedHere = true;
    }
    if (closedHere && Observer && !Terminated())
        Observer->OnConnectionLost(message);
}

// ---- the acknowledgement protocol -------------------------------------------

int32_t TMQTTEventHandlerThread::WriteAckFrame(const uint8_t* frame, int32_t length)
{
    return Writer.WriteAckFrame(frame, length, [this] { return Stopping(); });
}

// The answer the QoS asks for (none at QoS 0 and 3); false, with the line
// said, when it cannot be built: the message is then neither answered nor saved.
bool TMQTTEventHandlerThread::BuildAnswer(const TMQTTPacket& packet, TFrameBuffer& frame, int32_t& length,
    uint8_t& reasonCode)
{
    reasonCode = 0;
    if (packet.FixedQos != 1 && packet.FixedQos != 2)
        return true;
    const bool qos2 = packet.FixedQos == 2;
    const TAckParams params = AckParams(qos2 ? TPacketKind::Pubrec : TPacketKind::Puback, packet.MessageID);
    reasonCode = params.ReasonCode;
    if (qos2 && !BuildPubrecFrame(frame, length, params)) {
        Log("PUBREC frame building failed, parameter error [" + ClientID + "]");
        return false;
    }
    if (!qos2 && !BuildPubackFrame(frame, length, params)) {
        Log("PUBACK frame building failed, parameter error [" + ClientID + "]");
        return false;
    }
    return true;
}

void TMQTTEventHandlerThread::SendAnswer(const char* what, const TFrameBuffer& frame, int32_t length)
{
    Log(what + ClientID + "]");
    WriteAckFrame(frame.get(), length);
}

bool TMQTTEventHandlerThread::WaitForPubrel(int32_t messageID, TFrameWait& frameWait,
    std::unique_ptr<TMQTTPacket>& pubrel)
{
    using Clock = std::chrono::steady_clock;
    // Every other frame that arrives starts a new wait of kPubrelWaitMs, but a
    // broker that keeps sending something else must not hold the flow (and every
    // later PUBLISH) forever: all waits together end after kPubrelWaitLimitMs.
    const auto limit = Clock::now() + std::chrono::milliseconds(kPubrelWaitLimitMs);
    for (;;) {
        // Look first: the PUBREL may have come before this wait began.
        if (ReceiveQueue.TakeByKey(MessageType::PUBREL, messageID, pubrel))
            return true;

        const auto deadline = std::min(limit, Clock::now() + std::chrono::milliseconds(kPubrelWaitMs));
        bool signalled = false;
        while (!signalled) {
            if (Stopping())
                return ReceiveQueue.TakeByKey(MessageType::PUBREL, messageID, pubrel);
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0)
                break;
            signalled = frameWait.Wait(static_cast<int>(std::min<int64_t>(left, kWaitSliceMs)));
        }
        if (!signalled)
            return ReceiveQueue.TakeByKey(MessageType::PUBREL, messageID, pubrel);
    }
}

// PUBREC, the broker's PUBREL, PUBCOMP. The flow is open from its PUBREC on;
// false when the PUBREL did not come (the flow stays open for a later one).
bool TMQTTEventHandlerThread::RunQos2Flow(int32_t id, const std::string& path, const TFrameBuffer& pubrec,
    int32_t length, uint8_t pubrecCode, TFrameWait& frameWait)
{
    // The PUBREL wait begins before the PUBREC goes out, so a PUBREL that
    // answers it at once still ends the wait.
    frameWait.Restart();
    SendAnswer("sending PUBREC [", pubrec, length);
    if (pubrecCode >= 0x80) {
        // 5.0: a PUBREC with an error code ends the flow; no PUBREL follows.
        FInHand = false;
        Log("PUBREC with reason code " + FormatReasonCode(pubrecCode, TPacketKind::Pubrec) +
            " ends the QoS 2 flow without PUBREL [" + ClientID + "]");
        return true;
    }
    FFlows.Open(id, path);
    FInHand = false;

    std::unique_ptr<TMQTTPacket> pubrel;
    bool received = false;
    {
        TPubrelWaitBound bound(ReceiveQueue);
        received = WaitForPubrel(id, frameWait, pubrel);
    }
    if (!received) {
        Log("cound not receive PUBREL [" + ClientID + "]");
        return false;
    }
    return AnswerPubrel(id);
}

bool TMQTTEventHandlerThread::AnswerPubrel(int32_t id)
{
    LogAndPause("received PUBREL [" + ClientID + "]", SourceEventHandler);
    TFrameBuffer pubcomp;
    int32_t length = 0;
    if (!BuildPubcompFrame(pubcomp, length, AckParams(TPacketKind::Pubcomp, id))) {
        Log("PUBCOMP frame building failed, parameter error [" + ClientID + "]");
        return false;
    }
    SendAnswer("sending PUBCOMP [", pubcomp, length);
    FFlows.Close(id);
    return true;
}

// A PUBREL for a flow whose wait gave up earlier completes it now.
bool TMQTTEventHandlerThread::AnswerLatePubrel()
{
    if (FFlows.Count() == 0)
        return false;
    std::unique_ptr<TMQTTPacket> pubrel;
    if (!ReceiveQueue.TakeFirstWith(
            MessageType::PUBREL, [this](int32_t id) { return FFlows.Contains(id); }, pubrel))
        return false;
    const int32_t id = pubrel->MessageID;
    pubrel.reset();
    AnswerPubrel(id);
    return true;
}

// The broker did not see our PUBREC and sends the message again: it is
// answered again but was saved already.
void TMQTTEventHandlerThread::AnswerRepeatedQos2(const TMQTTPacket& packet, const std::string& path,
    TFrameWait& frameWait)
{
    FInHand = false;
    Log("repeated PUBLISH of an open QoS 2 flow, saved before as " + path + " [" + ClientID + "]");
    TFrameBuffer pubrec;
    int32_t length = 0;
    uint8_t code = 0;
    if (BuildAnswer(packet, pubrec, length, code))
        RunQos2Flow(packet.MessageID, path, pubrec, length, code, frameWait);
}

void TMQTTEventHandlerThread::HandlePublish(TMQTTPacket& packet, TFrameWait& frameWait)
{
    LogAndPause("received PUBLISH [" + ClientID + "]", SourceEventHandler);
    packet.AnalyzePacket();
    // 3.1.1 and 5.0: a message whose decoding stopped short (its payload or
    // properties not found) is not taken for whole: it is reported, but
    // neither answered nor saved; its frame stays as it came.
    if (packet.Version != TProtocolVersion::MQTT31 && packet.DecodeStopped) {
        FInHand = false;
        Report(packet);
        Log("*ERROR* PUBLISH cannot be decoded whole: not acknowledged, not saved [" + ClientID + "]");
        return;
    }
    if (packet.FixedQos == 2 && packet.FixedDup) {
        if (const std::string* path = FFlows.Find(packet.MessageID)) {
            AnswerRepeatedQos2(packet, std::string(*path), frameWait);
            return;
        }
    }

    if (packet.FixedQos > 0 && HoldingAcks()) {
        const std::string held = SavePayload(packet);
        LogAndPause("holding the acknowledgement of PUBLISH " + std::to_string(packet.MessageID) + " [" + ClientID + "]",
                    SourceEventHandler);
        FInHand = false;
        Report(packet);
        ReportSaved(packet, held);
        return;
    }
    TFrameBuffer answer;
    int32_t length = 0;
    uint8_t code = 0;
    if (!BuildAnswer(packet, answer, length, code)) {
        FInHand = false;
        return;
    }
    // Saved before it is answered: an answered message is never lost.
    const std::string path = SavePayload(packet);
    bool completed = true;
    try {
        if (packet.FixedQos == 2) {
            completed = RunQos2Flow(packet.MessageID, path, answer, length, code, frameWait);
        } else {
            if (packet.FixedQos == 1)
                SendAnswer("sending PUBACK [", answer, length);
            FInHand = false;
        }
    } catch (...) {
        // The file stays: it is named before the failure ends the connection.
        ReportSaved(packet, path);
        throw;
    }
    if (completed)
        Report(packet);
    ReportSaved(packet, path);
}

// ---- the file -----------------------------------------------------------------

std::string TMQTTEventHandlerThread::SavePayload(const TMQTTPacket& packet)
{
    return FStore.Save(packet.PublishData, packet.PublishDataSize);
}

// ---- the report ---------------------------------------------------------------

void TMQTTEventHandlerThread::Report(const TMQTTPacket& packet)
{
    LogAndPause("----- PublishData -------", SourceUnit);
    LogAndPause("MessageType     " + std::to_string(packet.MessageType), SourceEventHandler);
    LogAndPause("MessageID       " + std::to_string(packet.MessageID), SourceEventHandler);
    LogAndPause(std::string("FixedDup        ") + BoolText(packet.FixedDup), SourceEventHandler);
    LogAndPause("FixedQos        " + std::to_string(packet.FixedQos), SourceEventHandler);
    LogAndPause(std::string("FixedRetain     ") + BoolText(packet.FixedRetain), SourceEventHandler);
    LogAndPause("PublishTopic    " + packet.PublishTopic, SourceEventHandler);
    LogAndPause("PublishDataSize " + std::to_string(packet.PublishDataSize), SourceEventHandler);
    if (packet.PublishDataSize > 0 && packet.PublishDataSize < 256) {
        std::string_view payload(reinterpret_cast<const char*>(packet.PublishData),
            static_cast<size_t>(packet.PublishDataSize));
        payload = payload.substr(0, payload.find('\0'));
        LogAndPause("PublishData(UTF8) " + UTF8ToText(payload), SourceEventHandler);
    }
    // From 3.1.1 on: what was found wrong in it; 5.0: its properties (the
    // subscription identifiers among them), one line each.
    if (Version != TProtocolVersion::MQTT31)
        for (const std::string& line : PacketExtraLines(packet))
            LogAndPause(line, SourceEventHandler);
}

void TMQTTEventHandlerThread::ReportSaved(const TMQTTPacket& packet, const std::string& path)
{
    LogAndPause("PublishDataFile " + path, SourceEventHandler);
    if (!Observer)
        return;
    TSavedMessage saved;
    saved.Time = NowLocal();
    saved.Topic = packet.PublishTopic;
    saved.Qos = packet.FixedQos;
    saved.Retain = packet.FixedRetain;
    saved.Dup = packet.FixedDup;
    saved.MessageID = packet.MessageID;
    saved.Size = packet.PublishDataSize;
    saved.Path = path;
    for (const TProperty& property : packet.Properties) {
        saved.Properties.push_back(FormatProperty(property));
        if (property.Id == kSubscriptionIdentifier)
            saved.SubscriptionIdentifiers.push_back(property.Number);
    }
    Observer->OnMessageSaved(saved);
}

// ---- the loop -----------------------------------------------------------------

void TMQTTEventHandlerThread::Execute()
{
    try {
        TFrameWait frameWait(FrameEventName);
        for (;;) {
            // The starting point of the wait is taken before the queue is
            // looked at, so a frame stored in between still wakes us, and
            // before the test, so a Stop() in between is seen by it.
            frameWait.Restart();
            if (Stopping())
                break;
            try {
                if (AnswerLatePubrel())
                    continue;
                std::unique_ptr<TMQTTPacket> packet;
                if (!ReceiveQueue.TakeFirst(MessageType::PUBLISH, packet)) {
                    if (!ReportDisconnect())
                        frameWait.Wait(-1);   // no timer: a frame or Stop() wakes us
                    continue;
                }
                if (Stopping()) {
                    ++FLostInPass;
                    break;
                }
                FInHand = true;
                HandlePublish(*packet, frameWait);
            } catch (const std::exception& e) {
                ReportAndClose(e.what());
            } catch (...) {
                ReportAndClose("unknown error");
            }
            if (FInHand) {
                FInHand = false;
                ++FLostInPass;
            }
        }
        // The broker's DISCONNECT comes right before it closes: said also when
        // the close was seen first.
        if (!Terminated())
            ReportDisconnect();
    } catch (const std::exception& e) {
        ReportAndClose(e.what());
    }
    // Nobody drains the backlog from here on: a reader waiting for room goes on.
    ReceiveQueue.LiftBound();
}

// Every PUBLISH stored before it has been taken: the reader stores in stream order.
bool TMQTTEventHandlerThread::ReportDisconnect()
{
    std::unique_ptr<TMQTTPacket> packet;
    if (Version != TProtocolVersion::MQTT50 || !ReceiveQueue.TakeFirst(MessageType::DISCONNECT, packet))
        return false;
    packet->AnalyzePacket();
    LogAndPause("received DISCONNECT [" + ClientID + "]", SourceEventHandler);
    for (const std::string& line : PacketExtraLines(*packet))
        LogAndPause(line, SourceEventHandler);
    return true;
}
