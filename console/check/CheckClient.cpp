#include "console/check/CheckClient.h"

#include "console/check/CheckContext.h"
#include "console/check/RawFrame.h"
#include "mqtt/codec/MQTTPacket.h"
#include "mqtt/engine/AckSettings.h"
#include "mqtt/engine/MQTTClient.h"

#include <algorithm>

namespace {

const TProperty* FindIn(const TPropertyList& list, uint8_t id)
{
    for (const TProperty& property : list)
        if (property.Id == id) return &property;
    return nullptr;
}

std::string Join(const std::vector<std::string>& items)
{
    std::string text;
    for (const std::string& item : items) text += (text.empty() ? "" : ",") + item;
    return text;
}

int FrameType(const TFrameRecord& frame) { return frame.Bytes.empty() ? 0 : frame.Bytes[0] >> 4; }

const char* const TypeNames[] = {"RESERVED", "CONNECT", "CONNACK", "PUBLISH", "PUBACK", "PUBREC", "PUBREL", "PUBCOMP",
    "SUBSCRIBE", "SUBACK", "UNSUBSCRIBE", "UNSUBACK", "PINGREQ", "PINGRESP", "DISCONNECT", "AUTH"};

}  // namespace

const TProperty* TMessage::Find(uint8_t id) const { return FindIn(Properties, id); }
const TProperty* TConnack::Find(uint8_t id) const { return FindIn(Properties, id); }
const TProperty* TAck::Find(uint8_t id) const { return FindIn(Properties, id); }

std::vector<const TProperty*> TMessage::All(uint8_t id) const
{
    std::vector<const TProperty*> found;
    for (const TProperty& property : Properties)
        if (property.Id == id) found.push_back(&property);
    return found;
}

std::string TMessage::Summary() const
{
    std::string text = Topic + " q" + std::to_string(Qos) + (Retain ? " retain" : "") + (Dup ? " dup" : "");
    text += " '" + (Payload.size() > 40 ? Payload.substr(0, 40) + "..." : Payload) + "'";
    return text;
}

TCheckClient::TCheckClient(TCheckContext& context, std::string name, std::string clientID)
    : Name(std::move(name)), ClientID(std::move(clientID)), Context(context), FForm(*this, 0)
{
    for (const TScriptStep& step : context.Settings.Connection) {
        const TScriptField& field = *step.Field;
        switch (field.Kind) {
        case TScriptFieldKind::Text: (FForm.*field.Text).Text = step.Value; break;
        case TScriptFieldKind::Int: (FForm.*field.Int).SetValue(static_cast<int>(step.Number)); break;
        case TScriptFieldKind::Check: FForm.*field.Check = step.Number != 0; break;
        case TScriptFieldKind::Choice: (FForm.*field.Choice).Index = static_cast<int>(step.Number); break;
        }
    }
    FForm.ProtocolVersionCmb.Index = FForm.ProtocolVersionCmb.Find(VersionWord(context.Version));
    FForm.ReportPauseSpn.SetValue(0);
    FForm.ReportPauseSpnChange();
    const int ms = context.Settings.AnswerMs;
    FForm.AnswerTimeouts = TAnswerTimeouts{ms, ms, ms, ms, ms, ms, ms, ms};
    FForm.PayloadDirectory = context.Settings.PayloadDirectory;
    FForm.WillTopicEdit.Text.clear();
    FForm.WillMessageEdit.Text.clear();
    FForm.SessionObserver = this;
}

TCheckClient::~TCheckClient()
{
    if (FForm.Client) FForm.Run(&TForm1::DisconnectBtnClick);
    FForm.SessionObserver = nullptr;
}

void TCheckClient::OnFrame(TFrameDirection direction, const uint8_t* frame, int32_t size)
{
    TFrameRecord record{Context.ElapsedMs(), direction, std::vector<uint8_t>(frame, frame + size)};
    std::optional<TMessage> message;
    int disconnect = -1;
    if (direction == TFrameDirection::Received && (frame[0] >> 4) == 3) {
        try {
            TMQTTPacket packet(frame, size, Context.Version);
            packet.AnalyzePacket();
            TMessage m;
            // The topic as its bytes came, not converted to the system code page.
            const size_t at = 1 + static_cast<size_t>(packet.RemainLengthBytes);
            const size_t length = static_cast<size_t>(size) > at + 1 ? (frame[at] << 8) | frame[at + 1] : 0;
            if (at + 2 + length <= static_cast<size_t>(size))
                m.Topic.assign(reinterpret_cast<const char*>(frame + at + 2), length);
            m.TopicEmpty = m.Topic.empty();
            if (packet.PublishData != nullptr)
                m.Payload.assign(reinterpret_cast<const char*>(packet.PublishData),
                                 static_cast<size_t>(packet.PublishDataSize));
            m.Qos = packet.FixedQos;
            m.Retain = packet.FixedRetain;
            m.Dup = packet.FixedDup;
            m.Id = packet.MessageID;
            m.Properties = packet.Properties;
            if (const TProperty* alias = FindIn(m.Properties, 0x23)) m.Alias = alias->Number;
            message = std::move(m);
        } catch (const std::exception&) {
            // An undecodable PUBLISH stays a frame; the reader reports it.
        }
    } else if (direction == TFrameDirection::Received && (frame[0] >> 4) == 14) {
        disconnect = size >= 3 ? frame[2] : 0;
    }
    {
        std::lock_guard guard(Lock);
        FFrames.push_back(std::move(record));
        if (message) {
            if (message->Alias != 0) {
                if (FAliases.size() <= message->Alias) FAliases.resize(message->Alias + 1);
                if (message->TopicEmpty)
                    message->Topic = FAliases[message->Alias];
                else
                    FAliases[message->Alias] = message->Topic;
            }
            FMessages.push_back(std::move(*message));
        }
        if (disconnect >= 0) FDisconnectReason = disconnect;
    }
    Changed.notify_all();
}

void TCheckClient::OnConnectionLost(const std::string& reason)
{
    {
        std::lock_guard guard(Lock);
        FLost = true;
        FLostReason = reason;
    }
    Changed.notify_all();
}

void TCheckClient::ShowError(const std::string& text) { FBox = text; }

void TCheckClient::ShowMessageBox(const std::string& title, const std::string& text, bool)
{
    FBox = title + ": " + text;
}

void TCheckClient::RunCommand(THandler handler, const char*)
{
    FBox.clear();
    FForm.Run(handler);
}

bool TCheckClient::Open() const
{
    std::lock_guard guard(Lock);
    return FForm.Client != nullptr && FForm.Client->SocketReady && !FLost;
}

void TCheckClient::EnsureOpen()
{
    if (Open()) return;
    if (FForm.Client) RunCommand(&TForm1::DisconnectBtnClick, "Close");
    {
        std::lock_guard guard(Lock);
        FLost = false;
        FLostReason.clear();
        FDisconnectReason = -1;
        FAliases.clear();
    }
    FForm.ClientIDEdit.Text = ClientID;
    RunCommand(&TForm1::ConnectBtnClick, "Open");
    if (!FForm.Client)
        Context.Error("could not open a connection to " + FForm.BrokerEdit1.Text + ":" + FForm.BrokerPortSpn.Text +
                      (FBox.empty() ? "" : " (" + FBox + ")"));
}

TConnack TCheckClient::Connect(const TConnectOptions& options)
{
    EnsureOpen();
    FForm.ClientIDEdit.Text = options.ClientID.value_or(ClientID);
    FForm.CleanSessionChk = options.Clean;
    FForm.KeepAliveSpn.SetValue(options.KeepAlive);
    FForm.ConnectPropertiesEdit.Text = options.Properties;
    FForm.WillTopicEdit.Text = options.WillTopic;
    FForm.WillMessageEdit.Text = options.WillPayload;
    FForm.WillQoSSpn.SetValue(options.WillQos);
    FForm.WillRetainChk = options.WillRetain;
    FForm.WillPropertiesEdit.Text = options.WillProperties;
    const size_t mark = Mark();
    RunCommand(&TForm1::MQTT_CONNECT_BtnClick, "CONNECT");
    if (!FBox.empty() && Mark() == mark) Context.Error("CONNECT could not be sent: " + FBox);
    TConnack connack;
    if (const auto frame = WaitFrame(2, 0, mark)) {
        auto packet = Decode(*frame);
        connack.Received = true;
        connack.Code = packet->ConnectReturnCode;
        connack.SessionPresent = packet->SessionPresent;
        connack.Properties = packet->Properties;
    }
    return connack;
}

TConnack TCheckClient::ConnectOk(const TConnectOptions& options)
{
    const TConnack connack = Connect(options);
    if (!connack.Received) Context.Fail("CONNACK to " + Name + "'s CONNECT", Saw());
    if (connack.Code != 0)
        Context.Fail(Name + "'s CONNECT accepted", "CONNACK with code " + std::to_string(connack.Code));
    return connack;
}

TAck TCheckClient::AckAfter(size_t mark, int type, int id, int ms)
{
    TAck ack;
    const auto frame = FindFrame(type, mark, [&](const TFrameRecord& f) {
        return f.Direction == TFrameDirection::Received && f.Bytes.size() >= 4 && ((f.Bytes[2] << 8) | f.Bytes[3]) == id;
    });
    std::optional<TFrameRecord> found = frame;
    if (!found && ms > 0) {
        std::unique_lock lock(Lock);
        Changed.wait_for(lock, std::chrono::milliseconds(ms), [&] {
            for (size_t i = mark; i < FFrames.size(); ++i)
                if (FrameType(FFrames[i]) == type && FFrames[i].Direction == TFrameDirection::Received) return true;
            return FLost;
        });
        lock.unlock();
        found = FindFrame(type, mark, [&](const TFrameRecord& f) {
            return f.Direction == TFrameDirection::Received && f.Bytes.size() >= 4 &&
                   ((f.Bytes[2] << 8) | f.Bytes[3]) == id;
        });
    }
    if (!found) return ack;
    auto packet = Decode(*found);
    ack.Received = true;
    ack.Code = packet->ReasonCode;
    ack.Codes = packet->ReasonCodes;
    ack.Properties = packet->Properties;
    return ack;
}

TAck TCheckClient::Subscribe(const std::vector<std::string>& filters, const std::vector<std::string>& options,
                             const std::string& properties)
{
    FForm.SubscribeTopicListEdit.Text = Join(filters);
    FForm.SubscribeQoSListEdit.Text = Join(options);
    FForm.SubscribePropertiesEdit.Text = properties;
    const size_t mark = Mark();
    RunCommand(&TForm1::Button2Click, "SUBSCRIBE");
    TAck ack = AckAfter(mark, 9, FForm.LastMessageID, 0);
    if (!ack.Received) Context.Fail("SUBACK to " + Name + "'s SUBSCRIBE of " + Join(filters), Saw());
    return ack;
}

TAck TCheckClient::SubscribeOk(const std::string& filter, int qos, const std::string& properties)
{
    const TAck ack = Subscribe({filter}, {std::to_string(qos)}, properties);
    if (ack.Codes.size() != 1 || ack.Codes[0] >= 0x80)
        Context.Fail("subscription to " + filter + " granted",
                     "SUBACK " + (ack.Codes.empty() ? std::string("without codes") : std::to_string(ack.Codes[0])));
    return ack;
}

TAck TCheckClient::Unsubscribe(const std::vector<std::string>& filters, const std::string& properties)
{
    FForm.UnSubscribeTopicListEdit.Text = Join(filters);
    FForm.UnsubscribePropertiesEdit.Text = properties;
    const size_t mark = Mark();
    RunCommand(&TForm1::Button3Click, "UNSUBSCRIBE");
    TAck ack = AckAfter(mark, 11, FForm.LastMessageID, 0);
    if (!ack.Received) Context.Fail("UNSUBACK to " + Name + "'s UNSUBSCRIBE", Saw());
    return ack;
}

TAck TCheckClient::Publish(const std::string& topic, const std::string& payload, const TPublishOptions& options)
{
    const size_t mark = Mark();
    if (payload.empty() && options.Properties.empty()) {
        // The console's own PUBLISH always carries a payload: an empty one goes out as typed bytes.
        const int id = options.Qos > 0 ? FForm.NextMessageID() : 0;
        SendRaw(RawPublish(Context.Version, topic, payload, options.Qos, options.Retain, id));
        if (options.Qos == 0) return TAck{true, 0, {}, {}};
        return AckAfter(mark, options.Qos == 1 ? 4 : 5, id, Context.Answer());
    }
    FForm.PublishTopicEdit.Text = topic;
    FForm.PublishDataEdit.Text = payload;
    FForm.PublishSpn.SetValue(options.Qos);
    FForm.PublishRetainChk = options.Retain;
    FForm.PublishPropertiesEdit.Text = options.Properties;
    RunCommand(&TForm1::Button5Click, "PUBLISH");
    if (!FBox.empty() && Mark() == mark) Context.Error("PUBLISH could not be sent: " + FBox);
    if (options.Qos == 0) return TAck{true, 0, {}, {}};
    return AckAfter(mark, options.Qos == 1 ? 4 : 5, FForm.LastMessageID, 0);
}

void TCheckClient::Disconnect(int reasonCode, const std::string& properties)
{
    if (Open()) {
        FForm.DisconnectReasonSpn.SetValue(reasonCode);
        FForm.DisconnectPropertiesEdit.Text = properties;
        RunCommand(&TForm1::Button4Click, "DISCONNECT");
    }
    Drop();
}

void TCheckClient::Drop()
{
    if (FForm.Client) RunCommand(&TForm1::DisconnectBtnClick, "Close");
}

void TCheckClient::SendRaw(const std::vector<uint8_t>& bytes)
{
    EnsureOpen();
    try {
        FForm.Client->SendFrame(bytes.data(), static_cast<int32_t>(bytes.size()));
    } catch (const std::exception& e) {
        // A connection the broker already closed takes nothing: the verdict looks at the close.
        std::lock_guard guard(Lock);
        if (!FLost) {
            FLost = true;
            FLostReason = e.what();
        }
    }
}

void TCheckClient::Ping()
{
    RunCommand(&TForm1::MQTT_PINGREQ_BtnClick, "PINGREQ");
}

void TCheckClient::HoldAcks()
{
    EnsureOpen();
    TAckSettings hold;
    hold.Hold = true;
    FForm.Client->SetAckSettings(hold);
}

bool TCheckClient::WaitClosed(int ms)
{
    std::unique_lock lock(Lock);
    return Changed.wait_for(lock, std::chrono::milliseconds(ms), [&] { return FLost || FDisconnectReason >= 0; });
}

bool TCheckClient::Closed() const
{
    std::lock_guard guard(Lock);
    return FLost || FDisconnectReason >= 0;
}

std::string TCheckClient::CloseReason() const
{
    std::lock_guard guard(Lock);
    if (FDisconnectReason >= 0) return "DISCONNECT with reason code " + std::to_string(FDisconnectReason);
    return FLost ? FLostReason : "still open";
}

int TCheckClient::DisconnectReason() const
{
    std::lock_guard guard(Lock);
    return FDisconnectReason;
}

std::vector<TMessage> TCheckClient::Messages() const
{
    std::lock_guard guard(Lock);
    return FMessages;
}

std::vector<TMessage> TCheckClient::WaitMessages(size_t count, int ms,
                                                 const std::function<bool(const TMessage&)>& filter)
{
    std::vector<TMessage> found;
    auto collect = [&] {
        found.clear();
        for (const TMessage& m : FMessages)
            if (!filter || filter(m)) found.push_back(m);
        return found.size() >= count || Context.Cancelled();
    };
    std::unique_lock lock(Lock);
    Changed.wait_for(lock, std::chrono::milliseconds(ms), collect);
    collect();
    return found;
}

std::vector<TMessage> TCheckClient::WaitMessages(size_t count, int ms, const std::string& topic)
{
    return WaitMessages(count, ms, [&](const TMessage& m) { return m.Topic == topic; });
}

std::optional<TMessage> TCheckClient::WaitMessage(const std::string& topic, int ms)
{
    auto found = WaitMessages(1, ms, topic);
    if (found.empty()) return std::nullopt;
    return found.front();
}

std::vector<TFrameRecord> TCheckClient::Frames() const
{
    std::lock_guard guard(Lock);
    return FFrames;
}

size_t TCheckClient::Mark() const
{
    std::lock_guard guard(Lock);
    return FFrames.size();
}

std::optional<TFrameRecord> TCheckClient::FindFrame(int type, size_t from,
                                                    const std::function<bool(const TFrameRecord&)>& match)
{
    std::lock_guard guard(Lock);
    for (size_t i = from; i < FFrames.size(); ++i)
        if (FrameType(FFrames[i]) == type && FFrames[i].Direction == TFrameDirection::Received &&
            (!match || match(FFrames[i])))
            return FFrames[i];
    return std::nullopt;
}

std::optional<TFrameRecord> TCheckClient::WaitFrame(int type, int ms, size_t from)
{
    std::unique_lock lock(Lock);
    std::optional<TFrameRecord> found;
    Changed.wait_for(lock, std::chrono::milliseconds(ms), [&] {
        for (size_t i = from; i < FFrames.size(); ++i)
            if (FrameType(FFrames[i]) == type && FFrames[i].Direction == TFrameDirection::Received) {
                found = FFrames[i];
                return true;
            }
        return Context.Cancelled();
    });
    return found;
}

std::unique_ptr<TMQTTPacket> TCheckClient::Decode(const TFrameRecord& frame) const
{
    auto packet = std::make_unique<TMQTTPacket>(frame.Bytes.data(), static_cast<int32_t>(frame.Bytes.size()),
                                                Context.Version);
    packet->AnalyzePacket();
    return packet;
}

std::string TCheckClient::Saw() const
{
    std::vector<TFrameRecord> frames = Frames();
    std::string text;
    for (const TFrameRecord& frame : frames) {
        if (frame.Direction != TFrameDirection::Received) continue;
        std::string item = TypeNames[FrameType(frame)];
        try {
            auto packet = Decode(frame);
            switch (packet->MessageType) {
            case 2: item += " " + std::to_string(packet->ConnectReturnCode) + (packet->SessionPresent ? " sp" : ""); break;
            case 3: item += " " + packet->PublishTopic + " q" + std::to_string(packet->FixedQos) +
                            (packet->FixedRetain ? " retain" : "") + (packet->FixedDup ? " dup" : ""); break;
            case 9:
            case 11:
                item += " [";
                for (size_t i = 0; i < packet->ReasonCodes.size(); ++i)
                    item += (i ? "," : "") + std::to_string(packet->ReasonCodes[i]);
                item += "]";
                break;
            case 4: case 5: case 6: case 7: case 14:
                if (Context.V5()) item += " " + std::to_string(packet->ReasonCode);
                break;
            default: break;
            }
        } catch (const std::exception& e) {
            item += " (" + std::string(e.what()) + ")";
        }
        text += (text.empty() ? "" : ", ") + item;
    }
    std::lock_guard guard(Lock);
    if (FLost) text += (text.empty() ? "" : ", ") + std::string("closed (") + FLostReason + ")";
    return text.empty() ? "nothing" : text;
}
