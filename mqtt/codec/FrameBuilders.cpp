#include "mqtt/codec/FrameBuilders.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <initializer_list>
#include <string_view>
#include <vector>

#include "mqtt/codec/ReasonCodes.h"
#include "mqtt/codec/SubscriptionOptions.h"
#include "mqtt/codec/WirePrimitives.h"
#include "platform/Error.h"

namespace {

// One frame, allocated once at the size its remaining length gives and filled
// front to back; Finish checks that the fields filled it exactly.
class TExactFrameFiller {
public:
    TExactFrameFiller(uint8_t firstByte, int64_t remainLength) : FirstByte(firstByte)
    {
        if (remainLength > MaxRemainLength) throw Exception("RemainLength encode error");
        LengthCount = EncodeRemainLength(LengthBytes, static_cast<int32_t>(remainLength));
        Size = 1 + LengthCount + static_cast<int32_t>(remainLength);
    }

    // Refuses a text field too long for its 16-bit count before anything is allocated.
    static void CheckStrings(std::initializer_list<const std::string*> utf8Texts)
    {
        for (const std::string* text : utf8Texts)
            if (text->size() > 65535) throw Exception("utf8str too big");
    }

    void Allocate()
    {
        Buffer = std::make_unique_for_overwrite<uint8_t[]>(Size);
        Cursor = Buffer.get();
        *Cursor++ = FirstByte;
        std::memcpy(Cursor, LengthBytes, LengthCount);
        Cursor += LengthCount;
    }

    void Byte(uint8_t b) { *Cursor++ = b; }
    void U16(int32_t value)
    {
        WriteU16BE(Cursor, value);
        Cursor += 2;
    }
    void Str(std::string_view utf8) { Cursor += EncodeUTF8Str(Cursor, utf8); }
    void Raw(const std::string& bytes) { Bytes(bytes.data(), bytes.size()); }
    void Bytes(const void* data, size_t size)
    {
        if (size > 0) std::memcpy(Cursor, data, size);
        Cursor += size;
    }
    // Leaves size bytes for the caller to fill; returns where they start.
    uint8_t* Skip(size_t size)
    {
        uint8_t* place = Cursor;
        Cursor += size;
        return place;
    }

    void Finish(TFrameBuffer& frame, int32_t& frameLen)
    {
        if (Cursor != Buffer.get() + Size) throw Exception("frame size error");
        frame = std::move(Buffer);
        frameLen = Size;
    }

private:
    uint8_t FirstByte;
    uint8_t LengthBytes[4] = {};
    int LengthCount = 0;
    int32_t Size = 0;
    TFrameBuffer Buffer;
    uint8_t* Cursor = nullptr;
};

void CheckMessageID(int32_t messageID)
{
    if (messageID > 65535) throw Exception("MessageID too big");
    if (messageID == 0) throw Exception("MessageID is 0");
    if (messageID < 0) throw Exception("MessageID out of range");
}

// An integer as typed in a QoS list: optional sign, then decimal digits, or
// hexadecimal after "$" or "0x".
int32_t ParseQoSItem(const std::string& item)
{
    const char* p = item.c_str();
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    int base = 10;
    if (*p == '$') {
        base = 16;
        ++p;
    } else if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        base = 16;
        p += 2;
    }
    bool digitsOnly = *p != '\0';
    for (const char* q = p; *q; ++q) {
        bool digit = (*q >= '0' && *q <= '9') ||
                     (base == 16 && ((*q >= 'a' && *q <= 'f') || (*q >= 'A' && *q <= 'F')));
        if (!digit) digitsOnly = false;
    }
    if (!digitsOnly || item.find('\0') != std::string::npos)
        throw Exception("'" + item + "' is not a valid integer value");
    errno = 0;
    long long value = std::strtoll(p, nullptr, base);
    if (negative) value = -value;
    if (errno == ERANGE || value < INT32_MIN || value > INT32_MAX)
        throw Exception("'" + item + "' is not a valid integer value");
    return static_cast<int32_t>(value);
}

TProtocolVersion CheckVersion(TProtocolVersion version)
{
    switch (version) {
    case TProtocolVersion::MQTT31:
    case TProtocolVersion::MQTT311:
    case TProtocolVersion::MQTT50:
        return version;
    }
    throw Exception("protocol version not supported");
}

// The property block of a 5.0 packet (empty before 5.0, where properties
// are refused). Checked and sized before the frame is allocated.
std::string PropertyBlock(TProtocolVersion version, const TPropertyList& list, TPacketKind kind)
{
    if (version != TProtocolVersion::MQTT50) {
        if (!list.empty()) throw Exception("properties need MQTT 5.0");
        return {};
    }
    return EncodeProperties(list, kind);
}

void CheckReasonCode(TProtocolVersion version, uint8_t code, TPacketKind kind)
{
    if (version != TProtocolVersion::MQTT50) {
        if (code != 0) throw Exception("reason codes need MQTT 5.0");
        return;
    }
    if (!IsReasonCodeAllowed(code, kind))
        throw Exception("reason code " + FormatHexByte(code) + " is not allowed in " +
                        std::string(PacketKindName(kind)));
}

// A reason code and properties after the fixed part (PUBACK to PUBCOMP,
// DISCONNECT, AUTH): both left out for success without properties, the
// property length left out when there are none.
std::string ReasonAndProperties(TProtocolVersion version, uint8_t code, const TPropertyList& list, TPacketKind kind)
{
    CheckReasonCode(version, code, kind);
    std::string block = PropertyBlock(version, list, kind);
    if (version != TProtocolVersion::MQTT50 || (code == 0 && list.empty())) return {};
    if (list.empty()) return std::string(1, static_cast<char>(code));
    return static_cast<char>(code) + block;
}

// SUBSCRIBE, UNSUBSCRIBE and PUBREL: 3.1 marks a repeat with DUP; from 3.1.1
// on their header flags are fixed at 0x02 and a repeat goes out unchanged.
uint8_t HeaderWithDup(uint8_t header, TProtocolVersion version, bool dup)
{
    return version == TProtocolVersion::MQTT31 && dup ? header | 0x08 : header;
}

void MakeAckFrame(TFrameBuffer& frame, int32_t& frameLen, uint8_t firstByte, TPacketKind kind,
                  const TAckParams& params)
{
    CheckVersion(params.Version);
    CheckMessageID(params.MessageID);
    const std::string tail = ReasonAndProperties(params.Version, params.ReasonCode, params.Properties, kind);
    TExactFrameFiller filler(firstByte, 2 + static_cast<int64_t>(tail.size()));
    filler.Allocate();
    filler.U16(params.MessageID);
    filler.Raw(tail);
    filler.Finish(frame, frameLen);
}

void MakeBareFrame(TFrameBuffer& frame, int32_t& frameLen, uint8_t firstByte)
{
    TExactFrameFiller filler(firstByte, 0);
    filler.Allocate();
    filler.Finish(frame, frameLen);
}

// A list's topics as UTF-8, and what they add to the remaining length: each
// as a string field and `after` bytes behind it.
struct TTopicFields {
    std::vector<std::string> Utf8;
    int64_t Length = 0;
};

TTopicFields TopicFields(const std::vector<std::string>& topics, int after)
{
    TTopicFields fields;
    fields.Utf8.reserve(topics.size());
    for (const std::string& topic : topics) {
        fields.Utf8.push_back(TextToUTF8(topic));
        fields.Length += static_cast<int64_t>(fields.Utf8.back().size()) + 2 + after;
    }
    return fields;
}

void MakeConnectFrame(TFrameBuffer& frame, int32_t& frameLen, const TConnectParams& params)
{
    const TProtocolVersion version = CheckVersion(params.Version);
    if (params.ClientID.empty()) {
        // 3.1.1 and 5.0 let the broker assign an identifier to a clean session.
        if (version == TProtocolVersion::MQTT31) throw Exception("ClientID not found");
        if (version == TProtocolVersion::MQTT311 && !params.CleanSession)
            throw Exception("ClientID not found: an empty ClientID needs clean session in MQTT 3.1.1");
    }
    std::string clientIDUtf8 = TextToUTF8(params.ClientID);
    std::string userNameUtf8 = TextToUTF8(params.UserName);
    std::string passwordUtf8 = TextToUTF8(params.Password);
    if (params.WillTopic.empty() && !params.WillMessage.empty()) throw Exception("WillTopic not found");
    if (!params.WillTopic.empty() && params.WillMessage.empty()) throw Exception("WillMessage not found");
    std::string willTopicUtf8 = TextToUTF8(params.WillTopic);
    std::string willMessageUtf8 = TextToUTF8(params.WillMessage);
    if (params.KeepAliveTimer > 65535) throw Exception("KeepAliveTimer too big");
    if (params.KeepAliveTimer < 0) throw Exception("KeepAliveTimer out of range");
    const bool will = !params.WillTopic.empty() || !params.WillMessage.empty();
    const std::string properties = PropertyBlock(version, params.Properties, TPacketKind::Connect);
    if (!will && !params.WillProperties.empty()) throw Exception("will properties need a will topic and message");
    const std::string willProperties = will ? PropertyBlock(version, params.WillProperties, TPacketKind::Will) : "";

    const std::string_view protocolName = ProtocolName(version);
    // Protocol name field, level, flags and keep-alive, then the client
    // identifier, which is always there (only 3.1 refuses it empty).
    int64_t remainLength = static_cast<int64_t>(protocolName.size()) + 6 + clientIDUtf8.size() + 2 +
                           properties.size() + willProperties.size();
    for (const std::string* text : {&willTopicUtf8, &willMessageUtf8, &userNameUtf8, &passwordUtf8})
        if (!text->empty()) remainLength += static_cast<int64_t>(text->size()) + 2;

    uint8_t flags = 0;
    if (!params.UserName.empty()) flags |= 0x80;
    if (!params.Password.empty()) flags |= 0x40;
    if (params.WillRetain) flags |= 0x20;
    flags |= (params.WillQoS & 3) << 3;
    if (will) flags |= 0x04;
    if (params.CleanSession) flags |= 0x02;

    TExactFrameFiller filler(0x10, remainLength);
    TExactFrameFiller::CheckStrings({&clientIDUtf8, &willTopicUtf8, &willMessageUtf8, &userNameUtf8, &passwordUtf8});
    filler.Allocate();
    filler.Str(protocolName);
    filler.Byte(static_cast<uint8_t>(version));
    filler.Byte(flags);
    filler.U16(params.KeepAliveTimer);
    filler.Raw(properties);
    filler.Str(clientIDUtf8);
    if (will) {
        filler.Raw(willProperties);
        filler.Str(willTopicUtf8);
        filler.Str(willMessageUtf8);
    }
    if (flags & 0x80) filler.Str(userNameUtf8);
    if (flags & 0x40) filler.Str(passwordUtf8);
    filler.Finish(frame, frameLen);
}

void MakePublishFrameWithRoom(TFrameBuffer& frame, int32_t& frameLen, const TPublishParams& params, uint8_t*& payload)
{
    const TProtocolVersion version = CheckVersion(params.Version);
    const int32_t qos = params.QoS, messageID = params.MessageID, dataSize = params.DataSize;
    // Under 5.0 a topic alias may stand for the topic.
    auto hasTopicAlias = [&] {
        for (const TProperty& property : params.Properties)
            if (property.Id == 0x23) return true;
        return false;
    };
    if (params.Topic.empty() && !(version == TProtocolVersion::MQTT50 && hasTopicAlias()))
        throw Exception("Topic not found");
    // A PUBLISH always carries at least one payload byte.
    if (dataSize <= 0) throw Exception("PublishData empty");
    if (qos > 0 && messageID == 0) throw Exception("MessageID not specified at QoS > 0");
    if (messageID > 65535) throw Exception("MessageID too big");
    if (messageID < 0) throw Exception("MessageID out of range");
    // Outside 0..3 the first byte's QoS bits would disagree with whether an
    // identifier is written.
    if (qos < 0 || qos > 3) throw Exception("QoS out of range");
    std::string topicUtf8 = TextToUTF8(params.Topic);
    const std::string properties = PropertyBlock(version, params.Properties, TPacketKind::Publish);

    int64_t remainLength =
        static_cast<int64_t>(topicUtf8.size()) + 2 + (qos > 0 ? 2 : 0) + static_cast<int64_t>(properties.size()) + dataSize;
    uint8_t firstByte = 0x30 | (params.Dup ? 0x08 : 0) | ((qos & 3) << 1) | (params.Retain ? 0x01 : 0);
    TExactFrameFiller filler(firstByte, remainLength);
    TExactFrameFiller::CheckStrings({&topicUtf8});
    filler.Allocate();
    filler.Str(topicUtf8);
    if (qos > 0) filler.U16(messageID);
    filler.Raw(properties);
    uint8_t* place = filler.Skip(static_cast<size_t>(dataSize));
    filler.Finish(frame, frameLen);
    payload = place;
}

void MakePublishFrame(TFrameBuffer& frame, int32_t& frameLen, const TPublishParams& params)
{
    // Missing data is refused as an empty payload rather than read from nowhere.
    TPublishParams checked = params;
    if (params.Data == nullptr)
        checked.DataSize = 0;
    uint8_t* payload = nullptr;
    MakePublishFrameWithRoom(frame, frameLen, checked, payload);
    std::memcpy(payload, params.Data, static_cast<size_t>(params.DataSize));
}

// Under 5.0 properties follow the identifier, and each topic's options byte
// comes from the QoS list's option items; before, that byte is the QoS item.
void MakeSubscribeFrame(TFrameBuffer& frame, int32_t& frameLen, const TSubscribeParams& params)
{
    const TProtocolVersion version = CheckVersion(params.Version);
    CheckMessageID(params.MessageID);
    const std::vector<std::string> topics = SplitCommaText(params.TopicList);
    std::vector<std::string> qosItems;
    std::vector<uint8_t> optionBytes;
    std::string properties;
    if (version == TProtocolVersion::MQTT50) {
        if (topics.empty()) throw Exception("topic parameter error");
        for (const TSubscriptionOptions& options : ParseSubscriptionOptionList(params.QoSList))
            optionBytes.push_back(options.ToByte());
        if (topics.size() != optionBytes.size()) throw Exception("topic parameter error");
        properties = PropertyBlock(version, params.Properties, TPacketKind::Subscribe);
    } else {
        qosItems = SplitCommaText(params.QoSList);
        if (topics.size() != qosItems.size() || topics.empty()) throw Exception("topic parameter error");
    }
    const TTopicFields fields = TopicFields(topics, 1);
    TExactFrameFiller filler(HeaderWithDup(0x82, version, params.Dup),
                             2 + static_cast<int64_t>(properties.size()) + fields.Length);
    // Each topic and QoS item is checked, in frame order, before the frame is
    // allocated; only the low 8 bits of a QoS value travel.
    for (size_t i = 0; i < topics.size(); ++i) {
        TExactFrameFiller::CheckStrings({&fields.Utf8[i]});
        if (!qosItems.empty()) optionBytes.push_back(static_cast<uint8_t>(ParseQoSItem(qosItems[i]) & 0xFF));
    }
    filler.Allocate();
    filler.U16(params.MessageID);
    filler.Raw(properties);
    for (size_t i = 0; i < topics.size(); ++i) {
        filler.Str(fields.Utf8[i]);
        filler.Byte(optionBytes[i]);
    }
    filler.Finish(frame, frameLen);
}

void MakeUnsubscribeFrame(TFrameBuffer& frame, int32_t& frameLen, const TUnsubscribeParams& params)
{
    const TProtocolVersion version = CheckVersion(params.Version);
    CheckMessageID(params.MessageID);
    const std::vector<std::string> topics = SplitCommaText(params.TopicList);
    if (topics.empty()) throw Exception("topic parameter error");
    const std::string properties = PropertyBlock(version, params.Properties, TPacketKind::Unsubscribe);
    const TTopicFields fields = TopicFields(topics, 0);
    TExactFrameFiller filler(HeaderWithDup(0xA2, version, params.Dup),
                             2 + static_cast<int64_t>(properties.size()) + fields.Length);
    for (const std::string& topic : fields.Utf8) TExactFrameFiller::CheckStrings({&topic});
    filler.Allocate();
    filler.U16(params.MessageID);
    filler.Raw(properties);
    for (const std::string& topic : fields.Utf8) filler.Str(topic);
    filler.Finish(frame, frameLen);
}

void MakeDisconnectFrame(TFrameBuffer& frame, int32_t& frameLen, const TDisconnectParams& params)
{
    const TProtocolVersion version = CheckVersion(params.Version);
    const std::string tail = ReasonAndProperties(version, params.ReasonCode, params.Properties, TPacketKind::Disconnect);
    TExactFrameFiller filler(0xE0, static_cast<int64_t>(tail.size()));
    filler.Allocate();
    filler.Raw(tail);
    filler.Finish(frame, frameLen);
}

void MakeAuthFrame(TFrameBuffer& frame, int32_t& frameLen, const TAuthParams& params)
{
    const std::string tail =
        ReasonAndProperties(TProtocolVersion::MQTT50, params.ReasonCode, params.Properties, TPacketKind::Auth);
    TExactFrameFiller filler(0xF0, static_cast<int64_t>(tail.size()));
    filler.Allocate();
    filler.Raw(tail);
    filler.Finish(frame, frameLen);
}

TAckParams AckParams(bool dup, int32_t messageID)
{
    return TAckParams{TProtocolVersion::MQTT31, dup, messageID, 0, {}};
}

// Every check, conversion and allocation of a build runs inside one guard:
// on any failure no buffer is left behind and the reason goes to `reason`.
template <typename TMake>
bool Guarded(TFrameBuffer& frame, int32_t& frameLen, std::string* reason, TMake make)
{
    frame.reset();
    frameLen = 0;
    try {
        make();
        return true;
    } catch (const std::exception& e) {   // Exception and allocation failure alike
        frame.reset();
        frameLen = 0;
        if (reason) *reason = e.what();
        return false;
    }
}

}  // namespace

bool BuildConnectFrame(TFrameBuffer& frame, int32_t& frameLen, const TConnectParams& params, std::string* reason)
{
    return Guarded(frame, frameLen, reason, [&] { MakeConnectFrame(frame, frameLen, params); });
}

bool BuildPublishFrame(TFrameBuffer& frame, int32_t& frameLen, const TPublishParams& params, std::string* reason)
{
    return Guarded(frame, frameLen, reason, [&] { MakePublishFrame(frame, frameLen, params); });
}

bool BuildPublishFrameWithRoom(TFrameBuffer& frame, int32_t& frameLen, const TPublishParams& params,
    uint8_t*& payload, std::string* reason)
{
    payload = nullptr;
    return Guarded(frame, frameLen, reason, [&] { MakePublishFrameWithRoom(frame, frameLen, params, payload); });
}

bool BuildPubackFrame(TFrameBuffer& frame, int32_t& frameLen, const TAckParams& params, std::string* reason)
{
    return Guarded(frame, frameLen, reason, [&] { MakeAckFrame(frame, frameLen, 0x40, TPacketKind::Puback, params); });
}

bool BuildPubrecFrame(TFrameBuffer& frame, int32_t& frameLen, const TAckParams& params, std::string* reason)
{
    return Guarded(frame, frameLen, reason, [&] { MakeAckFrame(frame, frameLen, 0x50, TPacketKind::Pubrec, params); });
}

bool BuildPubrelFrame(TFrameBuffer& frame, int32_t& frameLen, const TAckParams& params, std::string* reason)
{
    const uint8_t firstByte = HeaderWithDup(0x62, params.Version, params.Dup);
    return Guarded(frame, frameLen, reason,
                   [&] { MakeAckFrame(frame, frameLen, firstByte, TPacketKind::Pubrel, params); });
}

bool BuildPubcompFrame(TFrameBuffer& frame, int32_t& frameLen, const TAckParams& params, std::string* reason)
{
    return Guarded(frame, frameLen, reason, [&] { MakeAckFrame(frame, frameLen, 0x70, TPacketKind::Pubcomp, params); });
}

bool BuildSubscribeFrame(TFrameBuffer& frame, int32_t& frameLen, const TSubscribeParams& params, std::string* reason)
{
    return Guarded(frame, frameLen, reason, [&] { MakeSubscribeFrame(frame, frameLen, params); });
}

bool BuildUnsubscribeFrame(TFrameBuffer& frame, int32_t& frameLen, const TUnsubscribeParams& params,
    std::string* reason)
{
    return Guarded(frame, frameLen, reason, [&] { MakeUnsubscribeFrame(frame, frameLen, params); });
}

bool BuildDisconnectFrame(TFrameBuffer& frame, int32_t& frameLen, const TDisconnectParams& params,
    std::string* reason)
{
    return Guarded(frame, frameLen, reason, [&] { MakeDisconnectFrame(frame, frameLen, params); });
}

bool BuildAuthFrame(TFrameBuffer& frame, int32_t& frameLen, const TAuthParams& params, std::string* reason)
{
    return Guarded(frame, frameLen, reason, [&] { MakeAuthFrame(frame, frameLen, params); });
}

// The 3.1 builders: their parameters in a struct at the default version.

bool BuildConnectFrame(TFrameBuffer& frame, int32_t& frameLen, const std::string& clientID, const std::string& userName,
    const std::string& password, bool willRetain, bool cleanSession, int32_t willQoS, int32_t keepAliveTimer,
    const std::string& willTopic, const std::string& willMessage)
{
    return BuildConnectFrame(frame, frameLen,
        TConnectParams{TProtocolVersion::MQTT31, clientID, userName, password, willRetain, cleanSession, willQoS,
                       keepAliveTimer, willTopic, willMessage, {}, {}});
}

bool BuildPublishFrame(TFrameBuffer& frame, int32_t& frameLen, bool dup, bool retain, int32_t qos,
    const std::string& topic, int32_t messageID, const uint8_t* data, int32_t dataSize)
{
    return BuildPublishFrame(frame, frameLen,
        TPublishParams{TProtocolVersion::MQTT31, dup, retain, qos, topic, messageID, data, dataSize, {}});
}

bool BuildPubackFrame(TFrameBuffer& frame, int32_t& frameLen, int32_t messageID)
{
    return BuildPubackFrame(frame, frameLen, AckParams(false, messageID));
}

bool BuildPubrecFrame(TFrameBuffer& frame, int32_t& frameLen, int32_t messageID)
{
    return BuildPubrecFrame(frame, frameLen, AckParams(false, messageID));
}

bool BuildPubrelFrame(TFrameBuffer& frame, int32_t& frameLen, bool dup, int32_t messageID)
{
    return BuildPubrelFrame(frame, frameLen, AckParams(dup, messageID));
}

bool BuildPubcompFrame(TFrameBuffer& frame, int32_t& frameLen, int32_t messageID)
{
    return BuildPubcompFrame(frame, frameLen, AckParams(false, messageID));
}

bool BuildSubscribeFrame(TFrameBuffer& frame, int32_t& frameLen, bool dup, int32_t messageID,
    const std::string& topicList, const std::string& qosList)
{
    return BuildSubscribeFrame(frame, frameLen,
        TSubscribeParams{TProtocolVersion::MQTT31, dup, messageID, topicList, qosList, {}});
}

bool BuildUnsubscribeFrame(TFrameBuffer& frame, int32_t& frameLen, bool dup, int32_t messageID,
    const std::string& topicList)
{
    return BuildUnsubscribeFrame(frame, frameLen,
        TUnsubscribeParams{TProtocolVersion::MQTT31, dup, messageID, topicList, {}});
}

bool BuildPingreqFrame(TFrameBuffer& frame, int32_t& frameLen)
{
    return Guarded(frame, frameLen, nullptr, [&] { MakeBareFrame(frame, frameLen, 0xC0); });
}

bool BuildDisconnectFrame(TFrameBuffer& frame, int32_t& frameLen)
{
    return BuildDisconnectFrame(frame, frameLen, TDisconnectParams());
}
