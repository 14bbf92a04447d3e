#include "console/form/Form1.h"

#include "console/form/BuildFailure.h"
#include "console/form/FormCommon.h"
#include "mqtt/codec/FrameBuilders.h"
#include "mqtt/codec/MQTTPacket.h"
#include "mqtt/codec/PacketDisplay.h"
#include "mqtt/engine/FrameSignal.h"
#include "mqtt/engine/MQTTClient.h"
#include "mqtt/engine/PacketQueue.h"
#include "platform/Thread.h"

#include <algorithm>
#include <chrono>

using namespace FormCommon;

// The wait was started before the request went out, so an answer that arrives
// right after the write still ends it. The queue is looked at only after a
// signal that came after that start: an older answer of the same key is found
// only when some later frame arrives. Every wait that ends in a signal without
// our answer (another frame arrived) starts again for the full time-out, but a
// broker that keeps sending something else cannot hold the command forever:
// all waits together end after AnswerWaitLimitFactor times the time-out.
// A cancel wakes the wait through the same event and ends it at once.
bool TForm1::WaitForAnswer(TFrameWait& wait, int32_t messageType, int32_t messageID, int timeoutMs,
                           std::unique_ptr<TMQTTPacket>& answer, int32_t orType)
{
    using Clock = std::chrono::steady_clock;
    TMQTTClient& client = RequireClient();
    TMQTTPacketQueue& queue = client.Queue();
    // While it lasts, CancelWait knows which event to signal.
    struct TCancelable {
        TForm1& Form;
        TCancelable(TForm1& form, const std::string& eventName) : Form(form)
        {
            std::lock_guard lock(Form.WaitEventLock);
            Form.WaitEventName = eventName;
        }
        ~TCancelable()
        {
            std::lock_guard lock(Form.WaitEventLock);
            Form.WaitEventName.clear();
        }
    } cancelable(*this, client.FrameEventName);
    auto cancelled = [&] {
        Log(Tagged("cancelled by the user", client.ClientID), SourceConsole);
        WaitCancelled = true;
        return false;
    };

    // Each frame of another kind restarts the wait, up to AnswerWaitLimitFactor
    // of its time-outs in all. The broker cannot answer a request it has not
    // read: while the bytes written still leave (a long frame to a slow
    // reader), neither time runs; that is looked at now and then until they
    // have left.
    const std::chrono::milliseconds timeout(timeoutMs);
    TMQTTClient::TDepartures departures(client);
    bool leaving = true;
    auto due = Clock::now() + timeout;
    auto limit = Clock::now() + timeout * AnswerWaitLimitFactor;
    for (;;) {
        if (CancelRequested)
            return cancelled();
        const auto now = Clock::now();
        if (leaving && (leaving = departures.Leaving())) {
            due = std::max(due, now + timeout);
            limit = std::max(limit, now + timeout * AnswerWaitLimitFactor);
        }
        const int64_t left = std::chrono::duration_cast<std::chrono::milliseconds>(std::min(due, limit) - now).count();
        if (left <= 0)
            return false;
        if (!wait.Wait(static_cast<int>(leaving ? std::min<int64_t>(left, LeavingLookMs) : left)))
            continue;
        if (CancelRequested)
            return cancelled();
        const bool taken = messageID < 0 ? queue.TakeFirst(messageType, answer) ||
                                               (orType >= 0 && queue.TakeFirst(orType, answer))
                                         : queue.TakeByKey(messageType, messageID, answer);
        if (taken)
            return true;
        due = Clock::now() + timeout;
    }
}

// The wait starts before each frame goes out, for the reason above.
std::unique_ptr<TMQTTPacket> TForm1::RequestWithRepeats(const TRequestTexts& texts, TFrameKind kind,
                                                        const TBuildFrame& build, int32_t answerType,
                                                        int32_t messageID, int timeoutMs)
{
    TMQTTClient& client = RequireClient();
    const std::string& id = client.ClientID;
    int timeouts = 0;
    bool dup = false;
    for (;;) {
        TFrameBuffer frame;
        int32_t frameLen = 0;
        std::string failure;
        if (!TryBuild([&](std::string& reason) { return build(dup, frame, frameLen, reason); }, failure)) {
            BuildFailed(texts.BuildFailed, id, kind, failure);
            return nullptr;
        }
        WarnLimits(frame.get(), frameLen, {}, 0);
        Log(Tagged(texts.Sending, id), SourceUnit);
        TFrameWait wait(client.FrameEventName);
        client.SendFrame(frame.get(), frameLen);
        frame.reset();

        std::unique_ptr<TMQTTPacket> answer;
        if (WaitForAnswer(wait, answerType, messageID, timeoutMs, answer)) {
            Log(Tagged(texts.Received, id), SourceConsole);
            Pause();
            return answer;
        }
        if (++timeouts > MaxTimeouts || WaitCancelled) {
            Log(Tagged(texts.GaveUp, id), SourceUnit);
            return nullptr;
        }
        Log(Tagged(texts.Retrying, id), SourceConsole);
        dup = true;
    }
}

void TForm1::MQTT_CONNECT_BtnClick()
{
    TMQTTClient& client = RequireClient();
    const std::string& id = client.ClientID;

    TFrameBuffer frame;
    int32_t frameLen = 0;
    std::string failure;
    TConnectParams params{SessionVersion, ClientIDEdit.Text, UserNameEdit.Text, PasswordEdit.Text, WillRetainChk,
        CleanSessionChk, WillQoSSpn.Value(), KeepAliveSpn.Value(), WillTopicEdit.Text, WillMessageEdit.Text, {}, {}};
    if (!TryBuild(
            [&](std::string& reason) {
                params.Properties = FieldProperties(ConnectPropertiesEdit, TPacketKind::Connect, "CONNECT properties",
                                                    true);
                params.WillProperties = FieldProperties(WillPropertiesEdit, TPacketKind::Will, "will properties", true);
                return BuildConnectFrame(frame, frameLen, params, &reason);
            },
            failure)) {
        BuildFailed("*ERROR* CONNECT frame building failed, parameter error", id, TFrameKind::Connect, failure);
        return;
    }
    Log(Tagged("sending CONNECT", id), SourceUnit);
    TFrameWait wait(client.FrameEventName);
    client.SendFrame(frame.get(), frameLen);
    frame.reset();

    // With an Authentication Method a 5.0 broker may answer with AUTH first
    // (enhanced authentication); the AUTH command goes on from there.
    std::unique_ptr<TMQTTPacket> answer;
    if (!WaitForAnswer(wait, MessageType::CONNACK, -1, AnswerTimeouts.Connack, answer,
                       SessionVersion == TProtocolVersion::MQTT50 ? MessageType::AUTH : -1)) {
        Log(Tagged("*ERROR* could not receive CONNACK", id), SourceUnit);
        return;
    }
    if (answer->MessageType == MessageType::AUTH) {
        Log(Tagged("received AUTH", id), SourceConsole);
        Pause();
        answer->AnalyzePacket();
        ReportExtraLines(*answer);
        return;
    }
    ReportConnack(*answer);
}

void TForm1::ReportConnack(TMQTTPacket& answer)
{
    Log(Tagged("received CONNACK", RequireClient().ClientID), SourceConsole);
    Pause();
    answer.AnalyzePacket();
    Log("ConnectReturnCode " + std::to_string(answer.ConnectReturnCode), SourceConsole);
    Pause();
    ReportExtraLines(answer);
    if (answer.Version != TProtocolVersion::MQTT50 || answer.ConnectReturnCode >= 0x80)
        return;
    BrokerLimits = TBrokerLimits::FromConnack(answer);
    // Without a session kept for us, no PUBLISH of ours is open at the broker.
    if (!answer.SessionPresent)
        UnacknowledgedPublishes.clear();
}

// From 3.1.1 on, what was found wrong in an answer; 5.0 also a reason code
// other than Success, and properties.
void TForm1::ReportAckLines(TMQTTPacket& answer)
{
    if (answer.Version == TProtocolVersion::MQTT31)
        return;
    answer.AnalyzePacket();
    if (answer.ReasonCode != 0 || !answer.Properties.empty() || !answer.DecodeError.empty())
        ReportExtraLines(answer);
}

// AUTH (5.0): sent with its reason code and properties; the broker answers
// with AUTH, or with CONNACK when an authentication during CONNECT is done.
void TForm1::MQTT_AUTH_BtnClick()
{
    TMQTTClient& client = RequireClient();
    const std::string& id = client.ClientID;
    if (SessionVersion != TProtocolVersion::MQTT50) {
        Log(Tagged("*ERROR* AUTH needs MQTT 5.0, nothing sent", id), SourceUnit);
        return;
    }
    TFrameBuffer frame;
    int32_t frameLen = 0;
    std::string failure;
    TAuthParams params;
    if (!TryBuild(
            [&](std::string& reason) {
                params.ReasonCode = static_cast<uint8_t>(AuthReasonSpn.Value());
                params.Properties = FieldProperties(AuthPropertiesEdit, TPacketKind::Auth, "AUTH properties", false);
                return BuildAuthFrame(frame, frameLen, params, &reason);
            },
            failure)) {
        BuildFailed("*ERROR* AUTH frame building failed, parameter error", id, TFrameKind::Auth, failure);
        return;
    }
    WarnLimits(frame.get(), frameLen, params.Properties, 0);
    Log(Tagged("sending AUTH", id), SourceUnit);
    TFrameWait wait(client.FrameEventName);
    client.SendFrame(frame.get(), frameLen);
    frame.reset();

    std::unique_ptr<TMQTTPacket> answer;
    if (!WaitForAnswer(wait, MessageType::AUTH, -1, AnswerTimeouts.Auth, answer, MessageType::CONNACK)) {
        Log(Tagged("*ERROR* could not receive AUTH", id), SourceUnit);
        return;
    }
    if (answer->MessageType == MessageType::CONNACK) {
        ReportConnack(*answer);
        return;
    }
    Log(Tagged("received AUTH", id), SourceConsole);
    Pause();
    answer->AnalyzePacket();
    ReportExtraLines(*answer);
}

// Beyond 3.1: the session-present flag, the return or reason code by name,
// the properties, and anything found wrong in the answer.
void TForm1::ReportExtraLines(const TMQTTPacket& answer)
{
    for (const std::string& line : PacketExtraLines(answer)) {
        Log(line, SourceConsole);
        Pause();
    }
}

void TForm1::MQTT_PINGREQ_BtnClick()
{
    TMQTTClient& client = RequireClient();
    const std::string& id = client.ClientID;

    TFrameBuffer frame;
    int32_t frameLen = 0;
    std::string failure;
    if (!BuildPingreqFrame(frame, frameLen)) {
        BuildFailed("*ERROR* PINGREQ frame building failed, parameter error", id, TFrameKind::Pingreq, failure);
        return;
    }
    Log(Tagged("sending PINGREQ", id), SourceUnit);
    TFrameWait wait(client.FrameEventName);
    client.SendFrame(frame.get(), frameLen);
    frame.reset();

    std::unique_ptr<TMQTTPacket> answer;
    if (!WaitForAnswer(wait, MessageType::PINGRESP, -1, AnswerTimeouts.Pingresp, answer)) {
        Log(Tagged("*ERROR* could not receive PINGRESP", id), SourceUnit);
        return;
    }
    Log(Tagged("received PINGRESP", id), SourceConsole);
    Pause();
    ReportAckLines(*answer);
}

void TForm1::Button4Click()
{
    TMQTTClient& client = RequireClient();
    const std::string& id = client.ClientID;

    TFrameBuffer frame;
    int32_t frameLen = 0;
    std::string failure;
    TDisconnectParams params{SessionVersion, 0, {}};
    if (!TryBuild(
            [&](std::string& reason) {
                params.ReasonCode = FieldReasonCode(DisconnectReasonSpn, "DISCONNECT reason code", true);
                params.Properties =
                    FieldProperties(DisconnectPropertiesEdit, TPacketKind::Disconnect, "DISCONNECT properties", true);
                return BuildDisconnectFrame(frame, frameLen, params, &reason);
            },
            failure)) {
        BuildFailed("*ERROR* DISCONNECT frame building failed, parameter error", id, TFrameKind::Disconnect,
                    failure);
        return;
    }
    WarnLimits(frame.get(), frameLen, {}, 0);
    Log(Tagged("sending DISCONNECT", id), SourceUnit);
    client.SendFrame(frame.get(), frameLen);
}
