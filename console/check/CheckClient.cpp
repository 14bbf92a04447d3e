#include "console/check/CheckClient.h"

#include "console/check/CheckContext.h"
#include "console/check/RawFrame.h"
#include "mqtt/codec/MQTTPacket.h"
#include "mqtt/codec/MessageTypes.h"
#include "mqtt/engine/AckSettings.h"
#include "mqtt/engine/MQTTClient.h"

#include <algorithm>
#include <thread>

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

int FrameType(const TSessionFrame& frame) { return frame.Bytes.empty() ? 0 : frame.Bytes[0] >> 4; }

bool Received(const TSessionFrame& frame, int type)
{
    return frame.Direction == TFrameDirection::Received && FrameType(frame) == type;
}

int FrameId(const TSessionFrame& frame) { return frame.Bytes.size() >= 4 ? (frame.Bytes[2] << 8) | frame.Bytes[3] : -1; }

// How often a wait looks whether the connection has ended meanwhile.
constexpr int64_t EndPollMs = 50;

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
    std::string text = (TopicEmpty && Topic.empty() ? "(no topic)" : Topic) + " q" + std::to_string(Qos) +
                       (Retain ? " retain" : "") + (Dup ? " dup" : "") +
                       (Alias != 0 ? " alias " + std::to_string(Alias) : "");
    if (!AliasProblem.empty()) text += " [" + AliasProblem + "]";
    text += " '" + (Payload.size() > 40 ? Payload.substr(0, 40) + "..." : Payload) + "'";
    return text;
}

TCheckClient::TCheckClient(TCheckContext& context, TSessionClient& client, std::string clientID)
    : Name(client.Name()), ClientID(std::move(clientID)), Context(context), Session(client)
{
    TForm1& form = Session.Form();
    for (const TScriptStep& step : context.Settings.Connection) {
        const TScriptField& field = *step.Field;
        switch (field.Kind) {
        case TScriptFieldKind::Text: (form.*field.Text).Text = step.Value; break;
        case TScriptFieldKind::Int: (form.*field.Int).SetValue(static_cast<int>(step.Number)); break;
        case TScriptFieldKind::Check: form.*field.Check = step.Number != 0; break;
        case TScriptFieldKind::Choice: (form.*field.Choice).Index = static_cast<int>(step.Number); break;
        }
    }
    form.ProtocolVersionCmb.Index = form.ProtocolVersionCmb.Find(VersionWord(context.Version));
    form.ReportPauseSpn.SetValue(0);
    form.ReportPauseSpnChange();
    const int ms = context.Settings.AnswerMs;
    form.AnswerTimeouts = TAnswerTimeouts{ms, ms, ms, ms, ms, ms, ms, ms};
    form.WillTopicEdit.Text.clear();
    form.WillMessageEdit.Text.clear();
}

std::string TCheckClient::RunCommand(THandler handler)
{
    Session.TakeBoxes();
    Session.Run(handler);
    std::string text;
    for (const TSessionBox& box : Session.TakeBoxes()) text += (text.empty() ? "" : "; ") + box.Text;
    return text;
}

bool TCheckClient::Open() const
{
    return Session.Connected() && !Session.End().Ended;
}

void TCheckClient::EnsureOpen()
{
    if (Open()) return;
    if (Session.Form().Client) RunCommand(&TForm1::DisconnectBtnClick);
    Session.Form().ClientIDEdit.Text = ClientID;
    const std::string box = RunCommand(&TForm1::ConnectBtnClick);
    if (!Session.Form().Client)
        Context.Error("could not open a connection to " + Session.Form().BrokerEdit1.Text + ":" +
                      Session.Form().BrokerPortSpn.Text + (box.empty() ? "" : " (" + box + ")"));
}

TConnack TCheckClient::Connect(const TConnectOptions& options)
{
    EnsureOpen();
    TForm1& form = Session.Form();
    form.ClientIDEdit.Text = options.ClientID.value_or(ClientID);
    form.CleanSessionChk = options.Clean;
    form.KeepAliveSpn.SetValue(options.KeepAlive);
    form.ConnectPropertiesEdit.Text = options.Properties;
    form.WillTopicEdit.Text = options.WillTopic;
    form.WillMessageEdit.Text = options.WillPayload;
    form.WillQoSSpn.SetValue(options.WillQos);
    form.WillRetainChk = options.WillRetain;
    form.WillPropertiesEdit.Text = options.WillProperties;
    const size_t mark = Mark();
    const std::string box = RunCommand(&TForm1::MQTT_CONNECT_BtnClick);
    if (!box.empty() && Mark() == mark) Context.Error("CONNECT could not be sent: " + box);
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
    const auto found = FindFrame(mark, [&](const TSessionFrame& f) { return Received(f, type) && FrameId(f) == id; }, ms);
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
    TForm1& form = Session.Form();
    form.SubscribeTopicListEdit.Text = Join(filters);
    form.SubscribeQoSListEdit.Text = Join(options);
    form.SubscribePropertiesEdit.Text = properties;
    const size_t mark = Mark();
    RunCommand(&TForm1::Button2Click);
    TAck ack = AckAfter(mark, 9, form.LastMessageID, 0);
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
    TForm1& form = Session.Form();
    form.UnSubscribeTopicListEdit.Text = Join(filters);
    form.UnsubscribePropertiesEdit.Text = properties;
    const size_t mark = Mark();
    RunCommand(&TForm1::Button3Click);
    TAck ack = AckAfter(mark, 11, form.LastMessageID, 0);
    if (!ack.Received) Context.Fail("UNSUBACK to " + Name + "'s UNSUBSCRIBE", Saw());
    return ack;
}

TAck TCheckClient::Publish(const std::string& topic, const std::string& payload, const TPublishOptions& options)
{
    TForm1& form = Session.Form();
    const size_t mark = Mark();
    if (payload.empty() && options.Properties.empty()) {
        // The console's own PUBLISH always carries a payload: an empty one goes out as typed bytes.
        const int id = options.Qos > 0 ? form.NextMessageID() : 0;
        SendRaw(RawPublish(Context.Version, topic, payload, options.Qos, options.Retain, id));
        if (options.Qos == 0) return TAck{true, 0, {}, {}};
        return AckAfter(mark, options.Qos == 1 ? 4 : 5, id, Context.Answer());
    }
    form.PublishTopicEdit.Text = topic;
    form.PublishDataEdit.Text = payload;
    form.PublishSpn.SetValue(options.Qos);
    form.PublishRetainChk = options.Retain;
    form.PublishPropertiesEdit.Text = options.Properties;
    const std::string box = RunCommand(&TForm1::Button5Click);
    if (!box.empty() && Mark() == mark) Context.Error("PUBLISH could not be sent: " + box);
    if (options.Qos == 0) return TAck{true, 0, {}, {}};
    return AckAfter(mark, options.Qos == 1 ? 4 : 5, form.LastMessageID, 0);
}

void TCheckClient::Disconnect(int reasonCode, const std::string& properties)
{
    if (Open()) {
        Session.Form().DisconnectReasonSpn.SetValue(reasonCode);
        Session.Form().DisconnectPropertiesEdit.Text = properties;
        RunCommand(&TForm1::Button4Click);
    }
    Drop();
}

void TCheckClient::Drop()
{
    if (Session.Form().Client) RunCommand(&TForm1::DisconnectBtnClick);
}

void TCheckClient::SendRaw(const std::vector<uint8_t>& bytes)
{
    EnsureOpen();
    Session.TakeBoxes();
    // A connection the broker already closed takes nothing: the verdict looks at the close.
    Session.SendRaw(bytes);
    Session.TakeBoxes();
}

void TCheckClient::Ping()
{
    RunCommand(&TForm1::MQTT_PINGREQ_BtnClick);
}

void TCheckClient::HoldAcks()
{
    EnsureOpen();
    TAckSettings hold;
    hold.Hold = true;
    Session.Form().Client->SetAckSettings(hold);
}

int TCheckClient::DisconnectReason() const
{
    for (const TSessionFrame& f : Session.Frames())
        if (Received(f, 14)) return f.Bytes.size() >= 3 ? f.Bytes[2] : 0;
    return -1;
}

bool TCheckClient::Closed() const
{
    return Session.End().ByBroker() || DisconnectReason() >= 0 || (Session.Form().Client && !Session.Connected());
}

bool TCheckClient::WaitClosed(int ms)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!Closed()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (left.count() <= 0 || Context.Cancelled()) return false;
        if (Session.WaitForEnd(static_cast<int>(std::min<int64_t>(left.count(), 50))) == TWaitEnd::TimedOut &&
            !Session.Form().Client)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

std::string TCheckClient::CloseReason() const
{
    const int reason = DisconnectReason();
    if (reason >= 0) return "DISCONNECT with reason code " + std::to_string(reason);
    const TConnectionEnd end = Session.End();
    return end.Ended ? end.Describe() : "still open";
}

void TCheckClient::TakeMessages()
{
    const std::vector<TSessionFrame> frames = Session.Frames(FDecoded);
    FDecoded += frames.size();
    for (const TSessionFrame& f : frames) {
        if (f.Direction == TFrameDirection::Sent && FrameType(f) == 1 && f.Whole()) {
            // A new connection: no alias of the last one stands, and the broker may use those the CONNECT allows.
            FAliases.emplace();
            FAliases->NoteSent(f.Bytes.data(), static_cast<int32_t>(f.Bytes.size()));
        }
        if (!Received(f, 3) || !f.Whole()) continue;
        try {
            auto packet = Decode(f);
            TMessage m;
            // The topic as its bytes came, not converted to the system code page.
            const size_t at = 1 + static_cast<size_t>(packet->RemainLengthBytes);
            const size_t length = f.Bytes.size() > at + 1 ? (f.Bytes[at] << 8) | f.Bytes[at + 1] : 0;
            if (at + 2 + length <= f.Bytes.size())
                m.Topic.assign(reinterpret_cast<const char*>(f.Bytes.data() + at + 2), length);
            m.TopicEmpty = m.Topic.empty();
            if (packet->PublishData != nullptr)
                m.Payload.assign(reinterpret_cast<const char*>(packet->PublishData),
                                 static_cast<size_t>(packet->PublishDataSize));
            m.Qos = packet->FixedQos;
            m.Retain = packet->FixedRetain;
            m.Dup = packet->FixedDup;
            m.Id = packet->MessageID;
            m.Properties = packet->Properties;
            if (const TProperty* alias = FindIn(m.Properties, 0x23)) m.Alias = alias->Number;
            if (m.Alias != 0 && Context.V5()) {
                if (!FAliases) FAliases.emplace();
                m.AliasProblem = FAliases->Resolve(*packet);
                if (m.TopicEmpty) m.Topic = packet->AliasedTopic;
            }
            FMessages.push_back(std::move(m));
        } catch (const std::exception&) {
            // An undecodable PUBLISH stays a frame for the report.
        }
    }
}

std::vector<TMessage> TCheckClient::Messages()
{
    TakeMessages();
    return FMessages;
}

std::vector<TMessage> TCheckClient::WaitMessages(size_t count, int ms,
                                                 const std::function<bool(const TMessage&)>& filter)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        // Read before the messages: a connection seen ended has nothing more to come.
        const bool ended = Session.End().Ended;
        TakeMessages();
        std::vector<TMessage> found;
        for (const TMessage& m : FMessages)
            if (!filter || filter(m)) found.push_back(m);
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (found.size() >= count || ended || left.count() <= 0 || Context.Cancelled()) return found;
        size_t from = FDecoded;
        Session.WaitForFrame(from, [](const TSessionFrame& f) { return Received(f, 3); },
                             static_cast<int>(std::min<int64_t>(left.count(), EndPollMs)));
    }
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

std::optional<TSessionFrame> TCheckClient::FindFrame(size_t from, const std::function<bool(const TSessionFrame&)>& match,
                                                     int ms)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        // Read before the frames: a connection seen ended has nothing more to come.
        const bool ended = Session.End().Ended;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        size_t at = from;
        TSessionFrame found;
        if (Session.WaitForFrame(at, match, ended ? 0 : static_cast<int>(std::clamp<int64_t>(left.count(), 0, EndPollMs)),
                                 &found) == TWaitEnd::Found)
            return found;
        if (ended || left.count() <= 0 || Context.Cancelled()) return std::nullopt;
    }
}

std::optional<TSessionFrame> TCheckClient::WaitFrame(int type, int ms, size_t from)
{
    return FindFrame(from, [&](const TSessionFrame& f) { return Received(f, type); }, ms);
}

std::unique_ptr<TMQTTPacket> TCheckClient::Decode(const TSessionFrame& frame) const
{
    auto packet = std::make_unique<TMQTTPacket>(frame.Bytes.data(), static_cast<int32_t>(frame.Bytes.size()),
                                                Context.Version);
    packet->AnalyzePacket();
    return packet;
}

std::string TCheckClient::Saw() const
{
    std::string text;
    for (const TSessionFrame& frame : Session.Frames()) {
        if (frame.Direction != TFrameDirection::Received) continue;
        std::string item = MessageType::Name(FrameType(frame));
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
    const TConnectionEnd end = Session.End();
    if (end.Ended) text += (text.empty() ? "" : ", ") + std::string("closed (") + end.Describe() + ")";
    return text.empty() ? "nothing" : text;
}
