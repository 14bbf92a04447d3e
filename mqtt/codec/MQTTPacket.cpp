#include "mqtt/codec/MQTTPacket.h"

#include <cstring>
#include <vector>

#include "mqtt/codec/PacketKind.h"
#include "mqtt/codec/ReasonCodes.h"
#include "mqtt/codec/SubscriptionOptions.h"
#include "mqtt/codec/WirePrimitives.h"
#include "mqtt/codec/WireReader.h"
#include "platform/Error.h"

namespace {

std::unique_ptr<uint8_t[]> CopyOfFrame(const uint8_t* frame, int32_t frameSize)
{
    // The first byte and at least one length byte, before anything is read.
    if (frame == nullptr || frameSize < 2) throw Exception("frame size error");
    auto copy = std::make_unique_for_overwrite<uint8_t[]>(frameSize);
    std::memcpy(copy.get(), frame, frameSize);
    return copy;
}

} // namespace

TMQTTPacket::TMQTTPacket(const uint8_t* frame, int32_t frameSize, TProtocolVersion version)
    : TMQTTPacket(CopyOfFrame(frame, frameSize), frameSize, version)
{
}

TMQTTPacket::TMQTTPacket(std::unique_ptr<uint8_t[]>&& frame, int32_t frameSize, TProtocolVersion version)
    // A value that names no version (a zero-initialised one) decodes by the
    // default rules rather than by some mixture.
    : Version(version == TProtocolVersion::MQTT311 || version == TProtocolVersion::MQTT50 ? version
                                                                                         : TProtocolVersion::MQTT31)
{
    if (!frame || frameSize < 2) throw Exception("frame size error");
    FrameSize = frameSize;

    const uint8_t* data = frame.get();
    MessageType = data[0] >> 4;
    const int qosBits = (data[0] >> 1) & 3;

    // A length field cut off by the end of the frame cannot match it.
    if (!IsRemainLengthComplete(data, FrameSize)) throw Exception("frame size error");
    int lengthBytes = 0;
    int32_t remainLength = DecodeRemainLength(data + 1, lengthBytes);
    RemainLengthBytes = lengthBytes;
    if (FrameSize != 1 + RemainLengthBytes + remainLength) throw Exception("frame size error");

    // AUTH (15) exists in 5.0 only.
    if (MessageType == 0 || (MessageType == 15 && Version != TProtocolVersion::MQTT50))
        throw Exception("unknown MQTT message");
    if (MessageType == 8 && qosBits != 1) throw Exception("SUBSCRIBE FixedHeaderQoS is not 1");
    if (MessageType == 10 && qosBits != 1) throw Exception("UNSUBSCRIBE FixedHeaderQoS is not 1");

    // The identifier must lie wholly inside the frame.
    const int32_t v = 1 + RemainLengthBytes;
    auto readID = [&](int64_t at) {
        if (at + 2 > FrameSize) throw Exception("frame size error");
        return ReadU16BE(data + at);
    };
    if (MessageType == 3) {
        if (qosBits != 0) {
            int topicLength = readID(v);
            MessageID = readID(static_cast<int64_t>(v) + 2 + topicLength);
        }
    } else if (MessageType >= 4 && MessageType <= 11) {
        MessageID = readID(v);
    }
    // Taken only once accepted: a refused frame stays with the caller.
    FrameData = std::move(frame);
}

TMQTTPacket::~TMQTTPacket() = default;

namespace {

using K = TPacketKind;

// One pass of AnalyzePacket: one function per packet type, all reading
// through one bounds-checked cursor over the variable header and payload.
class TAnalysis {
public:
    explicit TAnalysis(TMQTTPacket& packet)
        : P(packet), Data(packet.FrameData.get()), V(1 + packet.RemainLengthBytes),
          R(Data + V, Data + packet.FrameSize), V31(packet.Version == TProtocolVersion::MQTT31),
          V50(packet.Version == TProtocolVersion::MQTT50)
    {
    }

    void Run()
    {
        if (!V31) CheckHeaderFlags();
        switch (P.MessageType) {
        case 1:
            Connect();
            break;
        case 2:
            Connack();
            break;
        case 3:
            Publish();
            break;
        case 4:
        case 5:
        case 6:
        case 7:
            Ack();
            break;
        case 8:
            Subscribe();
            break;
        case 9:
            Suback();
            break;
        case 10:
            Unsubscribe();
            break;
        case 11:
            Unsuback();
            break;
        case 14:
        case 15:
            DisconnectOrAuth();
            break;
        default:   // PINGREQ, PINGRESP
            ExpectEnd();
            break;
        }
    }

private:
    TMQTTPacket& P;
    const uint8_t* Data;
    const int64_t V;
    TWireReader R;
    const bool V31, V50;

    K Kind() const { return static_cast<K>(P.MessageType); }
    std::string Name() const { return std::string(PacketKindName(Kind())); }

    void Fail(const std::string& reason)
    {
        if (P.DecodeError.empty()) P.DecodeError = reason;
    }
    // Decoding goes no further here.
    void Stop(const std::string& reason)
    {
        Fail(reason);
        P.DecodeStopped = true;
    }
    // False after noting that the frame ends inside `field`.
    bool Got(bool read, const std::string& field)
    {
        if (!read) Stop("the frame ends inside " + field);
        return read;
    }
    // A string field; from 3.1.1 on its UTF-8 must be well-formed and free of U+0000.
    bool Text(std::string& text, const std::string& field)
    {
        std::string fault;
        if (!Got(R.Str(text, fault), field)) return false;
        if (!V31 && !fault.empty()) Fail(field + " " + fault);
        return true;
    }

    // The next topic of a list, named by its place in it.
    bool NextTopic(std::vector<std::string>& topics)
    {
        std::string topic;
        if (!Text(topic, "topic " + std::to_string(topics.size() + 1))) return false;
        topics.push_back(std::move(topic));
        return true;
    }

    // From 3.1.1 on a packet's fixed-header flags are fixed, except PUBLISH's,
    // and its remaining length takes the fewest bytes that hold it.
    void CheckHeaderFlags()
    {
        const auto remainLength = static_cast<uint32_t>(P.FrameSize - V);
        if (const std::string overlong = OverlongFault(remainLength, P.RemainLengthBytes); !overlong.empty())
            Fail("Remaining Length " + std::to_string(remainLength) + " " + overlong);
        const int flags = Data[0] & 0x0F;
        if (P.MessageType == 3) {
            if (((flags >> 1) & 3) == 3) Fail("PUBLISH with QoS 3");
            else if ((flags & 0x08) && ((flags >> 1) & 3) == 0) Fail("PUBLISH with DUP at QoS 0");
            return;
        }
        const int wanted = P.MessageType == 6 || P.MessageType == 8 || P.MessageType == 10 ? 2 : 0;
        if (flags != wanted)
            Fail(Name() + " fixed header flags " + FormatHexByte(static_cast<uint8_t>(flags)) + ", not " +
                 FormatHexByte(static_cast<uint8_t>(wanted)));
    }

    // After a packet whose end is fixed by its fields.
    void ExpectEnd()
    {
        if (!V31 && !R.AtEnd())
            Fail(std::to_string(R.Remaining()) + " bytes after the end of " + Name());
    }

    // False when the rest of the packet cannot be found.
    bool Properties(TPropertyList& list, K kind)
    {
        std::string error;
        const TPropertiesRead read = DecodeProperties(R, kind, list, error);
        if (!error.empty()) Fail(error);
        if (read != TPropertiesRead::Whole) P.DecodeStopped = true;
        return read != TPropertiesRead::Undelimited;
    }

    void CheckReasonCode(uint8_t code)
    {
        if (!IsReasonCodeAllowed(code, Kind()))
            Fail("reason code " + FormatHexByte(code) + " is not allowed in " + Name());
    }

    // The identifier, read already on creation; 0 is no identifier from 3.1.1 on.
    bool SkipMessageID()
    {
        if (!R.Skip(2)) return false;
        if (!V31 && P.MessageID == 0) Fail(Name() + " with MessageID 0");
        return true;
    }

    void Connect()
    {
        // 3.1 takes the flags from their fixed place after a name of 6 bytes,
        // as it always has; later versions read the name and level first.
        uint8_t level = 0;
        std::string fault;
        const bool named = R.Str(P.ProtocolName, fault) && R.Byte(level);
        if (named) P.ProtocolLevel = level;
        if (V31) {
            R = TWireReader(Data + V, Data + P.FrameSize);
            if (!R.Skip(9)) return void(Stop("the frame ends inside the protocol name and level"));
        } else if (!Got(named, "the protocol name and level")) {
            return;
        } else if (!fault.empty()) {
            Fail("the protocol name " + fault);
        }
        uint8_t flags = 0;
        uint32_t keepAlive = 0;
        if (!Got(R.Byte(flags), "the connect flags")) return;
        P.ConnectFlags = flags;
        if (!Got(R.U16(keepAlive), "the keep-alive time")) return;
        P.KeepAliveTimer = static_cast<int32_t>(keepAlive);
        if (!V31) {
            if (flags & 0x01) Fail("CONNECT with the reserved flag set");
            if (!(flags & 0x04) && (flags & 0x38)) Fail("CONNECT with will QoS or will retain but no will");
        }
        // The level says whether properties follow, whatever the connection speaks.
        const bool properties = !V31 && P.ProtocolLevel == 5;
        if (properties && !Properties(P.Properties, K::Connect)) return;
        if (!Text(P.ClientID, "the ClientID")) return;
        if (flags & 0x04) {
            if (properties && !Properties(P.WillProperties, K::Will)) return;
            if (!Text(P.WillTopic, "the WillTopic")) return;
            // The will message is binary data from 3.1.1 on: its bytes are not checked.
            if (!Got(R.Str(P.WillMessage), "the WillMessage")) return;
        }
        if ((flags & 0x80) && !Text(P.UserName, "the UserName")) return;
        // Binary data from 3.1.1 on, like the will message.
        if ((flags & 0x40) && !Got(R.Str(P.Password), "the Password")) return;
        ExpectEnd();
    }

    void Connack()
    {
        uint8_t ackFlags = 0, code = 0;
        if (!Got(R.Byte(ackFlags), "the acknowledge flags")) return;
        if (!V31) {
            P.SessionPresent = (ackFlags & 0x01) != 0;
            if (ackFlags & 0xFE) Fail("CONNACK with reserved acknowledge flags " + FormatHexByte(ackFlags & 0xFE));
        }
        if (!Got(R.Byte(code), "the return code")) return;
        P.ConnectReturnCode = code;
        if (V50) {
            P.ReasonCode = code;
            CheckReasonCode(code);
            // A broker that does not speak 5.0 may answer with a 3.1.1 CONNACK.
            if (!R.AtEnd() && !Properties(P.Properties, K::Connack)) return;
        }
        ExpectEnd();
    }

    void Publish()
    {
        if (!Text(P.PublishTopic, "the topic")) return;
        // A topic name has no wildcards, and from 3.1.1 on at least one character
        // (5.0: unless a Topic Alias stands for it, checked below).
        if (!V31) {
            const std::string_view raw(reinterpret_cast<const char*>(Data + V + 2), ReadU16BE(Data + V));
            for (const char wildcard : {'#', '+'})
                if (raw.find(wildcard) != std::string_view::npos)
                    Fail("the topic holds the wildcard " + std::string(1, wildcard));
            if (!V50 && raw.empty()) Fail("PUBLISH with an empty topic");
        }
        if (V50 && P.PublishTopic.empty()) P.PublishTopic = P.AliasedTopic;
        if (P.FixedQos > 0 && !SkipMessageID()) return;   // inside the frame: checked on creation
        if (V50) {
            if (!Properties(P.Properties, K::Publish)) return;
            bool alias = false;
            for (const TProperty& property : P.Properties) alias = alias || property.Id == 0x23;
            if (!alias && ReadU16BE(Data + V) == 0) Fail("PUBLISH with an empty topic and no Topic Alias");
        }
        P.PublishData = R.Position();
        P.PublishDataSize = static_cast<int32_t>(R.Remaining());
    }

    // PUBACK, PUBREC, PUBREL, PUBCOMP: under 5.0 a reason code and properties
    // may follow the identifier.
    void Ack()
    {
        if (!Got(SkipMessageID(), "the MessageID")) return;
        ReasonCodeAndProperties();
    }

    void Subscribe()
    {
        std::vector<std::string> topics, qos;
        if (!Got(SkipMessageID(), "the MessageID")) return;
        if (V50 && !Properties(P.Properties, K::Subscribe)) return;
        while (!R.AtEnd() && NextTopic(topics)) {
            uint8_t options = 0;
            if (!Got(R.Byte(options), "the options of a topic")) break;
            P.SubscribeOptions.push_back(options);
            if (V50) {
                const TSubscriptionOptions parsed = TSubscriptionOptions::FromByte(options);
                qos.push_back(FormatSubscriptionOptions(parsed));
                if (parsed.Reserved || parsed.MaximumQoS == 3 || parsed.RetainHandling == 3)
                    Fail("subscription options " + FormatHexByte(options) + " of topic " + std::to_string(topics.size()) +
                         " are not valid");
            } else {
                qos.push_back(std::to_string(options));
                if (!V31 && options > 2)
                    Fail("requested QoS " + FormatHexByte(options) + " of topic " + std::to_string(topics.size()) +
                         " is not valid");
            }
        }
        if (!V31 && topics.empty()) Fail("SUBSCRIBE without topics");
        P.SubscribeTopicList = JoinCommaText(topics);
        P.SubscribeReqQoSList = JoinCommaText(qos);
    }

    void Suback()
    {
        std::vector<std::string> granted;
        if (!Got(SkipMessageID(), "the MessageID")) return;
        if (V50 && !Properties(P.Properties, K::Suback)) return;
        for (uint8_t code = 0; R.Byte(code);) {
            granted.push_back(std::to_string(code));
            P.ReasonCodes.push_back(code);
            if (V50)
                CheckReasonCode(code);
            else if (!V31 && code > 2 && code != 0x80)
                Fail("return code " + FormatHexByte(code) + " is not allowed in SUBACK");
        }
        if (!V31 && granted.empty()) Fail("SUBACK without return codes");
        P.SubackGrantedQoSList = JoinCommaText(granted);
    }

    void Unsubscribe()
    {
        std::vector<std::string> topics;
        if (!Got(SkipMessageID(), "the MessageID")) return;
        if (V50 && !Properties(P.Properties, K::Unsubscribe)) return;
        while (!R.AtEnd() && NextTopic(topics)) {
        }
        if (!V31 && topics.empty()) Fail("UNSUBSCRIBE without topics");
        P.UnsubscribeTopicList = JoinCommaText(topics);
    }

    void Unsuback()
    {
        if (!Got(SkipMessageID(), "the MessageID")) return;
        if (!V50) return ExpectEnd();
        if (!Properties(P.Properties, K::Unsuback)) return;
        for (uint8_t code = 0; R.Byte(code);) {
            P.ReasonCodes.push_back(code);
            CheckReasonCode(code);
        }
        if (P.ReasonCodes.empty()) Fail("UNSUBACK without reason codes");
    }

    // Under 5.0 both may end after the fixed header (reason code 0, no
    // properties) or after the reason code.
    void DisconnectOrAuth() { ReasonCodeAndProperties(); }

    // 5.0: the rest of the frame may be empty (success, no properties), a
    // reason code alone, or a reason code and the properties.
    void ReasonCodeAndProperties()
    {
        if (V50 && !R.AtEnd()) {
            uint8_t code = 0;
            R.Byte(code);
            P.ReasonCode = code;
            CheckReasonCode(code);
            if (!R.AtEnd() && !Properties(P.Properties, Kind())) return;
        }
        ExpectEnd();
    }
};

}  // namespace

void TMQTTPacket::AnalyzePacket()
{
    const uint8_t* data = FrameData.get();
    FixedDup = (data[0] & 0x08) != 0;
    FixedQos = (data[0] >> 1) & 3;
    FixedRetain = (data[0] & 0x01) != 0;
    // Every field is set again, so a second analysis gives the same packet.
    ConnectFlags = KeepAliveTimer = ConnectReturnCode = PublishDataSize = 0;
    ClientID.clear();
    WillTopic.clear();
    WillMessage.clear();
    UserName.clear();
    Password.clear();
    PublishTopic.clear();
    PublishData = nullptr;
    SubscribeTopicList.clear();
    SubscribeReqQoSList.clear();
    SubackGrantedQoSList.clear();
    UnsubscribeTopicList.clear();
    ProtocolName.clear();
    ProtocolLevel = ReasonCode = 0;
    SessionPresent = false;
    ReasonCodes.clear();
    SubscribeOptions.clear();
    Properties.clear();
    WillProperties.clear();
    DecodeError.clear();
    DecodeStopped = false;
    TAnalysis(*this).Run();
}

bool TMQTTPacket::SubscriptionRefused(size_t topic) const
{
    if (MessageType != 9 || topic >= ReasonCodes.size()) return false;
    const uint8_t code = ReasonCodes[topic];
    return Version == TProtocolVersion::MQTT50 ? code >= 0x80 : code == 0x80;
}
