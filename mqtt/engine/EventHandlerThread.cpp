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

using TClock = std::chrono::steady_clock;

constexpr uint8_t kSubscriptionIdentifier = 0x0B;
constexpr uint8_t kPacketIdentifierNotFound = 0x92;

// Slice of a PUBREL wait: short enough that a socket closed by the reader
// ends the flow at once, without changing the 1000 ms per wait.
constexpr int kWaitSliceMs = 20;

int64_t NowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(TClock::now().time_since_epoch()).count();
}

constexpr int64_t kNsPerMs = 1000000;

const char* BoolText(bool value)
{
    return value ? "True" : "False";
}

// "Close" came while a message was handled: the pass ends without a line.
struct TStopped {};

// A QoS 2 PUBLISH sent again (DUP), read from its fixed header before analysis.
bool IsRepeatedQos2(const TMQTTPacket& packet)
{
    if (packet.MessageType != MessageType::PUBLISH || !packet.FrameData || packet.FrameSize < 1)
        return false;
    const uint8_t first = packet.FrameData[0];
    return (first & 0x08) != 0 && ((first >> 1) & 0x03) == 2;
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
    // The lines of a close are said whatever happens to one of them.
    auto say = [this](const std::string& message) {
        try {
            Sink.SendEventMsg(message + " [" + ClientID + "]", SourceUnit, 0, 0);
        } catch (...) {
        }
    };
    for (const auto& [id, path] : FFlows.OpenFlows())
        say("QoS 2 flow of message " + std::to_string(id) + " left without PUBCOMP at close, its payload kept in "
            + path);
    if (const std::size_t forgotten = FFlows.Forgotten(); forgotten > 0)
        say(std::to_string(forgotten) + (forgotten == 1 ? " QoS 2 flow" : " QoS 2 flows")
            + " beyond the " + std::to_string(TInboundFlows::kCapacity)
            + " remembered left without PUBCOMP, their payloads kept");
    const int64_t dropped = static_cast<int64_t>(ReceiveQueue.BacklogCount()) + FLostInPass;
    if (dropped > 0)
        say(std::to_string(dropped) + (dropped == 1 ? " received message" : " received messages")
            + " dropped unacknowledged at close");
}

bool TMQTTEventHandlerThread::Stopping() const
{
    return Terminated() || !Socket.Active();
}

// ---- the lines ----------------------------------------------------------------

void TMQTTEventHandlerThread::Say(const std::string& message, const char* source, bool pause)
{
    const int ms = FLinePauseMs;
    if (ms == 0) {
        FBatch.push_back(TEventMessage{message, source, 0, 0});
        return;
    }
    Flush();
    Sink.SendEventMsg(message, source, 0, 0);
    if (pause)
        Pause(ms);
}

void TMQTTEventHandlerThread::Log(const std::string& message)
{
    Say(message, SourceEventHandler, false);
}

void TMQTTEventHandlerThread::LogAndPause(const std::string& message, const char* source)
{
    Say(message, source, true);
}

void TMQTTEventHandlerThread::Flush()
{
    if (FBatch.empty())
        return;
    std::vector<TEventMessage> batch;
    batch.swap(FBatch);
    Sink.SendEventMsgs(batch);
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
    // What the pass said before the failure comes first.
    try {
        Flush();
    } catch (...) {
        FBatch.clear();
    }
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

// Said once per connection: the user may not know that the pause, not the
// console, keeps the messages waiting.
void TMQTTEventHandlerThread::NoticePauseBacklog()
{
    if (FPauseNoticed)
        return;
    const int pause = FLinePauseMs;
    if (pause <= 0)
        return;
    const int waiting = ReceiveQueue.BacklogCount();
    if (int64_t{waiting} * kLinesPerMessage * pause < kPauseNoticeMs)
        return;
    FPauseNoticed = true;
    Log("the report pause holds received messages back: " + std::to_string(waiting) + " waiting, "
        + std::to_string(pause) + " ms after each report line; " + UTF8ToText("報告間隔(ミリ秒)")
        + " (ReportPauseSpn) sets it, 0 reports at once [" + ClientID + "]");
    if (Observer)
        Observer->OnReportPauseHolds(waiting, pause);
}

// ---- the acknowledgement protocol -------------------------------------------

// An acknowledgement that cannot go out because the connection has ended
// (Close, our DISCONNECT, the socket closed: the lines of those say why) is
// said not sent, and ends the pass quietly.
void TMQTTEventHandlerThread::WriteAckFrame(const uint8_t* frame, int32_t length)
{
    try {
        if (Writer.WriteAckFrame(frame, length, [this] { return Stopping(); }))
            return;
    } catch (const std::exception&) {
        // Close came while it was being written.
        if (!Terminated())
            throw;
    }
    Log(std::string(MessageType::Name(frame[0] >> 4)) + " not sent: the connection has ended [" + ClientID + "]");
    throw TStopped{};
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
    // Not said at all when "Close" came first.
    if (Terminated())
        throw TStopped{};
    Log(what + ClientID + "]");
    WriteAckFrame(frame.get(), length);
}

// True when a frame was signalled before the deadline; false when the
// deadline passed or the connection is ending.
bool TMQTTEventHandlerThread::WaitForFrame(TFrameWait& frameWait, int64_t deadlineNs)
{
    while (!Stopping()) {
        const int64_t left = deadlineNs - NowNs();
        if (left <= 0)
            return false;
        const int64_t ms = (left + kNsPerMs - 1) / kNsPerMs;
        if (frameWait.Wait(static_cast<int>(std::min<int64_t>(ms, kWaitSliceMs))))
            return true;
    }
    return false;
}

// The PUBREL of the flow of id. What the broker sent for this flow is taken in
// the order it arrived: a repeated PUBLISH (the broker had not seen our
// PUBREC) that came before the PUBREL is answered with PUBREC again first.
// Every other frame that arrives starts a new wait of kPubrelWaitMs, but a
// broker that keeps sending something else must not hold the flow (and every
// later PUBLISH) for ever: all waits together end after kPubrelWaitLimitMs.
bool TMQTTEventHandlerThread::WaitForPubrel(int32_t id, const std::string& path, TFrameWait& frameWait,
    std::unique_ptr<TMQTTPacket>& pubrel)
{
    const int64_t limit = NowNs() + kPubrelWaitLimitMs * kNsPerMs;
    const auto ofThisFlow = [id](const TMQTTPacket& p) {
        return p.MessageID == id && (p.MessageType == MessageType::PUBREL || IsRepeatedQos2(p));
    };
    bool lastLook = false;
    for (;;) {
        // Looked for first: it may have come before this wait began.
        std::unique_ptr<TMQTTPacket> packet;
        if (ReceiveQueue.TakeFirstMatching(ofThisFlow, packet)) {
            if (packet->MessageType == MessageType::PUBREL) {
                pubrel = std::move(packet);
                return true;
            }
            AnswerRepeatedQos2(*packet, path);
            continue;
        }
        if (lastLook)
            return false;
        Flush();
        lastLook = !WaitForFrame(frameWait, std::min(limit, NowNs() + kPubrelWaitMs * kNsPerMs));
    }
}

// The flow waits for its PUBREL and is completed by it; false when it did not
// come or could not be decoded whole (the flow stays open for a later one).
bool TMQTTEventHandlerThread::AwaitPubrel(int32_t id, const std::string& path, TFrameWait& frameWait)
{
    bool received = false;
    std::unique_ptr<TMQTTPacket> pubrel;
    {
        TPubrelWaitBound bound(ReceiveQueue);
        received = WaitForPubrel(id, path, frameWait, pubrel);
    }
    if (!received) {
        // At "Close", or after our DISCONNECT (the broker sends nothing
        // after it), the line of the close says it.
        if (Terminated() || Writer.DisconnectSent())
            throw TStopped{};
        Log("cound not receive PUBREL [" + ClientID + "]");
        return false;
    }
    return AnswerPubrel(*pubrel);
}

// PUBREC, the broker's PUBREL, PUBCOMP. The flow is open from the saved file
// on; false when the PUBREL did not come.
bool TMQTTEventHandlerThread::RunQos2Flow(int32_t id, const std::string& path, const TFrameBuffer& pubrec,
    int32_t length, uint8_t pubrecCode, TFrameWait& frameWait)
{
    // The PUBREL wait begins before the PUBREC goes out, so a PUBREL that
    // answers it at once still ends the wait.
    frameWait.Restart();
    SendAnswer("sending PUBREC [", pubrec, length);
    if (pubrecCode >= 0x80) {
        // 5.0: a PUBREC with an error code ends the flow; no PUBREL follows.
        FFlows.Close(id);
        Log("PUBREC with reason code " + FormatReasonCode(pubrecCode, TPacketKind::Pubrec) +
            " ends the QoS 2 flow without PUBREL [" + ClientID + "]");
        return true;
    }
    return AwaitPubrel(id, path, frameWait);
}

// A PUBREL taken here is said, and from 3.1.1 on checked like any frame the
// console receives: a reason code other than Success, its properties and
// what was found wrong in it, a line each. False when it could not be decoded
// whole: it is then not answered.
bool TMQTTEventHandlerThread::ReceivedPubrel(TMQTTPacket& pubrel)
{
    LogAndPause("received PUBREL [" + ClientID + "]", SourceEventHandler);
    if (Version == TProtocolVersion::MQTT31)
        return true;
    pubrel.AnalyzePacket();
    if (pubrel.ReasonCode != 0 || !pubrel.Properties.empty() || !pubrel.DecodeError.empty())
        for (const std::string& line : PacketExtraLines(pubrel))
            LogAndPause(line, SourceEventHandler);
    if (!pubrel.DecodeStopped)
        return true;
    Log("*ERROR* PUBREL cannot be decoded whole: not answered [" + ClientID + "]");
    return false;
}

// True when the flow was completed by the PUBCOMP.
bool TMQTTEventHandlerThread::AnswerPubrel(TMQTTPacket& pubrel)
{
    if (!ReceivedPubrel(pubrel))
        return false;
    const int32_t id = pubrel.MessageID;
    TFrameBuffer pubcomp;
    int32_t length = 0;
    if (!BuildPubcompFrame(pubcomp, length, AckParams(TPacketKind::Pubcomp, id))) {
        Log("PUBCOMP frame building failed, parameter error [" + ClientID + "]");
        return true;
    }
    SendAnswer("sending PUBCOMP [", pubcomp, length);
    FFlows.Close(id);
    return true;
}

// 3.1.1 and 5.0: a PUBREL that no open flow waits for (the broker sends it
// again after a reconnect, or the flow was forgotten) is answered all the same.
void TMQTTEventHandlerThread::AnswerUnknownPubrel(TMQTTPacket& pubrel)
{
    if (!ReceivedPubrel(pubrel))
        return;
    const int32_t id = pubrel.MessageID;
    TAckParams params = AckParams(TPacketKind::Pubcomp, id);
    std::string answer = "PUBCOMP";
    if (Version == TProtocolVersion::MQTT50) {
        params.ReasonCode = kPacketIdentifierNotFound;
        answer += " " + FormatReasonCode(kPacketIdentifierNotFound, TPacketKind::Pubcomp);
    }
    Log("PUBREL for message " + std::to_string(id) + " without an open QoS 2 flow, answered with " + answer + " ["
        + ClientID + "]");
    TFrameBuffer pubcomp;
    int32_t length = 0;
    if (!BuildPubcompFrame(pubcomp, length, params)) {
        Log("PUBCOMP frame building failed, parameter error [" + ClientID + "]");
        return;
    }
    SendAnswer("sending PUBCOMP [", pubcomp, length);
}

void TMQTTEventHandlerThread::HandlePubrel(TMQTTPacket& pubrel)
{
    // The PUBREL of a flow whose wait gave up earlier completes it now.
    if (FFlows.Contains(pubrel.MessageID))
        AnswerPubrel(pubrel);
    else
        AnswerUnknownPubrel(pubrel);
}

// The broker did not see our PUBREC and sends the message again: it is
// answered again but was saved already.
void TMQTTEventHandlerThread::AnswerRepeatedQos2(TMQTTPacket& packet, const std::string& path)
{
    LogAndPause("received PUBLISH [" + ClientID + "]", SourceEventHandler);
    packet.AnalyzePacket();
    Log("repeated PUBLISH of an open QoS 2 flow, saved before as " + path + " [" + ClientID + "]");
    TFrameBuffer pubrec;
    int32_t length = 0;
    uint8_t code = 0;
    if (BuildAnswer(packet, pubrec, length, code))
        SendAnswer("sending PUBREC [", pubrec, length);
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
        if (const std::string* saved = FFlows.Find(packet.MessageID)) {
            // Its flow's wait gave up before: answered again, then waited for anew.
            FInHand = false;
            const std::string path = *saved;
            Log("repeated PUBLISH of an open QoS 2 flow, saved before as " + path + " [" + ClientID + "]");
            TFrameBuffer pubrec;
            int32_t length = 0;
            uint8_t code = 0;
            if (BuildAnswer(packet, pubrec, length, code))
                RunQos2Flow(packet.MessageID, path, pubrec, length, code, frameWait);
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
    FInHand = false;
    if (packet.FixedQos == 2)
        FFlows.Open(packet.MessageID, path);
    bool completed = true;
    try {
        if (packet.FixedQos == 2)
            completed = RunQos2Flow(packet.MessageID, path, answer, length, code, frameWait);
        else if (packet.FixedQos == 1)
            SendAnswer("sending PUBACK [", answer, length);
    } catch (...) {
        // The file stays: it is named before the failure ends the pass.
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

// The oldest packet that is this thread's: a PUBLISH, or a PUBREL (under 3.1
// only one that an open flow waits for; the others are left to the console).
bool TMQTTEventHandlerThread::TakeNext(std::unique_ptr<TMQTTPacket>& packet)
{
    const bool everyPubrel = Version != TProtocolVersion::MQTT31;
    return ReceiveQueue.TakeFirstMatching(
        [this, everyPubrel](const TMQTTPacket& p) {
            if (p.MessageType == MessageType::PUBLISH)
                return true;
            return p.MessageType == MessageType::PUBREL && (everyPubrel || FFlows.Contains(p.MessageID));
        },
        packet);
}

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
                std::unique_ptr<TMQTTPacket> packet;
                if (!TakeNext(packet)) {
                    if (!ReportDisconnect()) {
                        Flush();
                        frameWait.Wait(-1);   // no timer: a frame or Stop() wakes us
                    }
                    continue;
                }
                if (packet->MessageType == MessageType::PUBREL) {
                    HandlePubrel(*packet);
                } else if (Stopping()) {
                    ++FLostInPass;
                    break;
                } else {
                    FInHand = true;
                    NoticePauseBacklog();
                    HandlePublish(*packet, frameWait);
                }
                Flush();
            } catch (const TStopped&) {
                // "Close" ends the pass; the lines of the close say what was left.
                try {
                    Flush();
                } catch (...) {
                }
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
        Flush();
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
