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

// One outgoing frame in a buffer of exactly its size: the size is known
// before the buffer is allocated, then the fields are written front to back.
class TExactSizeFrame {
public:
    TExactSizeFrame(uint8_t firstByte, int64_t remainLength) : FirstByte(firstByte)
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
    frame.reset();
    frameLen = 0;
    CheckVersion(params.Version);
    CheckMessageID(params.MessageID);
    const std::string tail = ReasonAndProperties(params.Version, params.ReasonCode, params.Properties, kind);
    TExactSizeFrame writer(firstByte, 2 + static_cast<int64_t>(tail.size()));
    writer.Allocate();
    writer.U16(params.MessageID);
    writer.Raw(tail);
    writer.Finish(frame, frameLen);
}

TAckParams AckParams(bool dup, int32_t messageID)
{
    TAckParams params;
    params.Dup = dup;
    params.MessageID = messageID;
    return params;
}

void MakeBareFrame(TFrameBuffer& frame, int32_t& frameLen, uint8_t firstByte)
{
    frame.reset();
    frameLen = 0;
    TExactSizeFrame writer(firstByte, 0);
    writer.Allocate();
    writer.Finish(frame, frameLen);
}

// SUBSCRIBE under 5.0: properties after the identifier, and an options byte
// after each topic filter, from the QoS list's option items.
void MakeSubscribeFrame50(TFrameBuffer& frame, int32_t& frameLen, const TSubscribeParams& params,
                          const std::vector<std::string>& topics)
{
    if (topics.empty()) throw Exception("topic parameter error");
    const std::vector<TSubscriptionOptions> options = ParseSubscriptionOptionList(params.QoSList);
    if (topics.size() != options.size()) throw Exception("topic parameter error");
    const std::string properties = PropertyBlock(TProtocolVersion::MQTT50, params.Properties, TPacketKind::Subscribe);

    std::vector<std::string> topicsUtf8;
    topicsUtf8.reserve(topics.size());
    int64_t remainLength = 2 + static_cast<int64_t>(properties.size());
    for (const std::string& topic : topics) {
        topicsUtf8.push_back(TextToUTF8(topic));
        remainLength += static_cast<int64_t>(topicsUtf8.back().size()) + 3;
    }
    TExactSizeFrame writer(0x82, remainLength);
    for (const std::string& topic : topicsUtf8) TExactSizeFrame::CheckStrings({&topic});
    writer.Allocate();
    writer.U16(params.MessageID);
    writer.Raw(properties);
    for (size_t i = 0; i < topicsUtf8.size(); ++i) {
        writer.Str(topicsUtf8[i]);
        writer.Byte(options[i].ToByte());
    }
    writer.Finish(frame, frameLen);
}

template <typename TMake>
bool Guarded(TFrameBuffer& frame, int32_t& frameLen, TMake make)
{
    frame.reset();
    frameLen = 0;
    try {
        make();
        return true;
    } catch (const std::exception&) {   // Exception and allocation failure alike
        frame.reset();
        frameLen = 0;
        return false;
    }
}

}  // namespace

void MakeConnectFrame(TFrameBuffer& frame, int32_t& frameLen, const TConnectParams& params)
{
    frame.reset();
    frameLen = 0;
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

    TExactSizeFrame writer(0x10, remainLength);
    TExactSizeFrame::CheckStrings({&clientIDUtf8, &willTopicUtf8, &willMessageUtf8, &userNameUtf8, &passwordUtf8});
    writer.Allocate();
    writer.Str(protocolName);
    writer.Byte(static_cast<uint8_t>(version));
    writer.Byte(flags);
    writer.U16(params.KeepAliveTimer);
    writer.Raw(properties);
    writer.Str(clientIDUtf8);
    if (will) {
        writer.Raw(willProperties);
        writer.Str(willTopicUtf8);
        writer.Str(willMessageUtf8);
    }
    if (flags & 0x80) writer.Str(userNameUtf8);
    if (flags & 0x40) writer.Str(passwordUtf8);
    writer.Finish(frame, frameLen);
}

void MakeConnectFrame(TFrameBuffer& frame, int32_t& frameLen, const std::string& clientID, const std::string& userName,
    const std::string& password, bool willRetain, bool cleanSession, int32_t willQoS, int32_t keepAliveTimer,
    const std::string& willTopic, const std::string& willMessage)
{
    TConnectParams params;
    params.ClientID = clientID;
    params.UserName = userName;
    params.Password = password;
    params.WillRetain = willRetain;
    params.CleanSession = cleanSession;
    params.WillQoS = willQoS;
    params.KeepAliveTimer = keepAliveTimer;
    params.WillTopic = willTopic;
    params.WillMessage = willMessage;
    MakeConnectFrame(frame, frameLen, params);
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

void MakePublishFrameWithRoom(TFrameBuffer& frame, int32_t& frameLen, const TPublishParams& params, uint8_t*& payload)
{
    frame.reset();
    frameLen = 0;
    payload = nullptr;
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
    TExactSizeFrame writer(firstByte, remainLength);
    TExactSizeFrame::CheckStrings({&topicUtf8});
    writer.Allocate();
    writer.Str(topicUtf8);
    if (qos > 0) writer.U16(messageID);
    writer.Raw(properties);
    uint8_t* place = writer.Skip(static_cast<size_t>(dataSize));
    writer.Finish(frame, frameLen);
    payload = place;
}

void MakePublishFrame(TFrameBuffer& frame, int32_t& frameLen, bool dup, bool retain, int32_t qos,
    const std::string& topic, int32_t messageID, const uint8_t* data, int32_t dataSize)
{
    TPublishParams params;
    params.Dup = dup;
    params.Retain = retain;
    params.QoS = qos;
    params.Topic = topic;
    params.MessageID = messageID;
    params.Data = data;
    params.DataSize = dataSize;
    MakePublishFrame(frame, frameLen, params);
}

void MakePublishFrameWithRoom(TFrameBuffer& frame, int32_t& frameLen, bool dup, bool retain, int32_t qos,
    const std::string& topic, int32_t messageID, int32_t dataSize, uint8_t*& payload)
{
    TPublishParams params;
    params.Dup = dup;
    params.Retain = retain;
    params.QoS = qos;
    params.Topic = topic;
    params.MessageID = messageID;
    params.DataSize = dataSize;
    MakePublishFrameWithRoom(frame, frameLen, params, payload);
}

void MakePubackFrame(TFrameBuffer& frame, int32_t& frameLen, const TAckParams& params)
{
    MakeAckFrame(frame, frameLen, 0x40, TPacketKind::Puback, params);
}

void MakePubrecFrame(TFrameBuffer& frame, int32_t& frameLen, const TAckParams& params)
{
    MakeAckFrame(frame, frameLen, 0x50, TPacketKind::Pubrec, params);
}

void MakePubrelFrame(TFrameBuffer& frame, int32_t& frameLen, const TAckParams& params)
{
    MakeAckFrame(frame, frameLen, HeaderWithDup(0x62, params.Version, params.Dup), TPacketKind::Pubrel, params);
}

void MakePubcompFrame(TFrameBuffer& frame, int32_t& frameLen, const TAckParams& params)
{
    MakeAckFrame(frame, frameLen, 0x70, TPacketKind::Pubcomp, params);
}

void MakePubackFrame(TFrameBuffer& frame, int32_t& frameLen, int32_t messageID)
{
    MakePubackFrame(frame, frameLen, AckParams(false, messageID));
}

void MakePubrecFrame(TFrameBuffer& frame, int32_t& frameLen, int32_t messageID)
{
    MakePubrecFrame(frame, frameLen, AckParams(false, messageID));
}

void MakePubrelFrame(TFrameBuffer& frame, int32_t& frameLen, bool dup, int32_t messageID)
{
    MakePubrelFrame(frame, frameLen, AckParams(dup, messageID));
}

void MakePubcompFrame(TFrameBuffer& frame, int32_t& frameLen, int32_t messageID)
{
    MakePubcompFrame(frame, frameLen, AckParams(false, messageID));
}

void MakeSubscribeFrame(TFrameBuffer& frame, int32_t& frameLen, const TSubscribeParams& params)
{
    frame.reset();
    frameLen = 0;
    const TProtocolVersion version = CheckVersion(params.Version);
    CheckMessageID(params.MessageID);
    std::vector<std::string> topics = SplitCommaText(params.TopicList);
    if (version == TProtocolVersion::MQTT50) {
        MakeSubscribeFrame50(frame, frameLen, params, topics);
        return;
    }
    std::vector<std::string> qosItems = SplitCommaText(params.QoSList);
    if (topics.size() != qosItems.size() || topics.empty()) throw Exception("topic parameter error");

    std::vector<std::string> topicsUtf8;
    topicsUtf8.reserve(topics.size());
    int64_t remainLength = 2;
    for (const std::string& topic : topics) {
        topicsUtf8.push_back(TextToUTF8(topic));
        remainLength += static_cast<int64_t>(topicsUtf8.back().size()) + 3;
    }
    std::vector<uint8_t> qosBytes;
    qosBytes.reserve(qosItems.size());
    TExactSizeFrame writer(HeaderWithDup(0x82, params.Version, params.Dup), remainLength);
    // Each topic and QoS item is checked, in frame order, before the frame is
    // allocated; only the low 8 bits of a QoS value travel.
    for (size_t i = 0; i < topicsUtf8.size(); ++i) {
        TExactSizeFrame::CheckStrings({&topicsUtf8[i]});
        qosBytes.push_back(static_cast<uint8_t>(ParseQoSItem(qosItems[i]) & 0xFF));
    }
    writer.Allocate();
    writer.U16(params.MessageID);
    for (size_t i = 0; i < topicsUtf8.size(); ++i) {
        writer.Str(topicsUtf8[i]);
        writer.Byte(qosBytes[i]);
    }
    writer.Finish(frame, frameLen);
}

void MakeSubscribeFrame(TFrameBuffer& frame, int32_t& frameLen, bool dup, int32_t messageID,
    const std::string& topicList, const std::string& qosList)
{
    TSubscribeParams params;
    params.Dup = dup;
    params.MessageID = messageID;
    params.TopicList = topicList;
    params.QoSList = qosList;
    MakeSubscribeFrame(frame, frameLen, params);
}

void MakeUnsubscribeFrame(TFrameBuffer& frame, int32_t& frameLen, const TUnsubscribeParams& params)
{
    frame.reset();
    frameLen = 0;
    const TProtocolVersion version = CheckVersion(params.Version);
    CheckMessageID(params.MessageID);
    std::vector<std::string> topics = SplitCommaText(params.TopicList);
    if (topics.empty()) throw Exception("topic parameter error");
    const std::string properties = PropertyBlock(version, params.Properties, TPacketKind::Unsubscribe);

    std::vector<std::string> topicsUtf8;
    topicsUtf8.reserve(topics.size());
    int64_t remainLength = 2 + static_cast<int64_t>(properties.size());
    for (const std::string& topic : topics) {
        topicsUtf8.push_back(TextToUTF8(topic));
        remainLength += static_cast<int64_t>(topicsUtf8.back().size()) + 2;
    }
    TExactSizeFrame writer(HeaderWithDup(0xA2, params.Version, params.Dup), remainLength);
    for (const std::string& topic : topicsUtf8) TExactSizeFrame::CheckStrings({&topic});
    writer.Allocate();
    writer.U16(params.MessageID);
    writer.Raw(properties);
    for (const std::string& topic : topicsUtf8) writer.Str(topic);
    writer.Finish(frame, frameLen);
}

void MakeUnsubscribeFrame(TFrameBuffer& frame, int32_t& frameLen, bool dup, int32_t messageID,
    const std::string& topicList)
{
    TUnsubscribeParams params;
    params.Dup = dup;
    params.MessageID = messageID;
    params.TopicList = topicList;
    MakeUnsubscribeFrame(frame, frameLen, params);
}

void MakePingreqFrame(TFrameBuffer& frame, int32_t& frameLen) { MakeBareFrame(frame, frameLen, 0xC0); }

void MakeDisconnectFrame(TFrameBuffer& frame, int32_t& frameLen) { MakeBareFrame(frame, frameLen, 0xE0); }

void MakeDisconnectFrame(TFrameBuffer& frame, int32_t& frameLen, const TDisconnectParams& params)
{
    frame.reset();
    frameLen = 0;
    const TProtocolVersion version = CheckVersion(params.Version);
    const std::string tail = ReasonAndProperties(version, params.ReasonCode, params.Properties, TPacketKind::Disconnect);
    TExactSizeFrame writer(0xE0, static_cast<int64_t>(tail.size()));
    writer.Allocate();
    writer.Raw(tail);
    writer.Finish(frame, frameLen);
}

void MakeAuthFrame(TFrameBuffer& frame, int32_t& frameLen, const TAuthParams& params)
{
    frame.reset();
    frameLen = 0;
    const std::string tail =
        ReasonAndProperties(TProtocolVersion::MQTT50, params.ReasonCode, params.Properties, TPacketKind::Auth);
    TExactSizeFrame writer(0xF0, static_cast<int64_t>(tail.size()));
    writer.Allocate();
    writer.Raw(tail);
    writer.Finish(frame, frameLen);
}

bool BuildConnectFrame(TFrameBuffer& frame, int32_t& frameLen, const std::string& clientID, const std::string& userName,
    const std::string& password, bool willRetain, bool cleanSession, int32_t willQoS, int32_t keepAliveTimer,
    const std::string& willTopic, const std::string& willMessage)
{
    return Guarded(frame, frameLen, [&] {
        MakeConnectFrame(frame, frameLen, clientID, userName, password, willRetain, cleanSession, willQoS,
                         keepAliveTimer, willTopic, willMessage);
    });
}

bool BuildPublishFrame(TFrameBuffer& frame, int32_t& frameLen, bool dup, bool retain, int32_t qos,
    const std::string& topic, int32_t messageID, const uint8_t* data, int32_t dataSize)
{
    return Guarded(frame, frameLen,
                   [&] { MakePublishFrame(frame, frameLen, dup, retain, qos, topic, messageID, data, dataSize); });
}

bool BuildPublishFrameWithRoom(TFrameBuffer& frame, int32_t& frameLen, bool dup, bool retain, int32_t qos,
    const std::string& topic, int32_t messageID, int32_t dataSize, uint8_t*& payload)
{
    payload = nullptr;
    return Guarded(frame, frameLen, [&] {
        MakePublishFrameWithRoom(frame, frameLen, dup, retain, qos, topic, messageID, dataSize, payload);
    });
}

bool BuildPublishFrameWithRoom(TFrameBuffer& frame, int32_t& frameLen, const TPublishParams& params,
    uint8_t*& payload)
{
    payload = nullptr;
    return Guarded(frame, frameLen, [&] { MakePublishFrameWithRoom(frame, frameLen, params, payload); });
}

bool BuildPubackFrame(TFrameBuffer& frame, int32_t& frameLen, int32_t messageID)
{
    return Guarded(frame, frameLen, [&] { MakePubackFrame(frame, frameLen, messageID); });
}

bool BuildPubrecFrame(TFrameBuffer& frame, int32_t& frameLen, int32_t messageID)
{
    return Guarded(frame, frameLen, [&] { MakePubrecFrame(frame, frameLen, messageID); });
}

bool BuildPubrelFrame(TFrameBuffer& frame, int32_t& frameLen, bool dup, int32_t messageID)
{
    return Guarded(frame, frameLen, [&] { MakePubrelFrame(frame, frameLen, dup, messageID); });
}

bool BuildPubcompFrame(TFrameBuffer& frame, int32_t& frameLen, int32_t messageID)
{
    return Guarded(frame, frameLen, [&] { MakePubcompFrame(frame, frameLen, messageID); });
}

bool BuildSubscribeFrame(TFrameBuffer& frame, int32_t& frameLen, bool dup, int32_t messageID,
    const std::string& topicList, const std::string& qosList)
{
    return Guarded(frame, frameLen,
                   [&] { MakeSubscribeFrame(frame, frameLen, dup, messageID, topicList, qosList); });
}

bool BuildUnsubscribeFrame(TFrameBuffer& frame, int32_t& frameLen, bool dup, int32_t messageID,
    const std::string& topicList)
{
    return Guarded(frame, frameLen, [&] { MakeUnsubscribeFrame(frame, frameLen, dup, messageID, topicList); });
}

bool BuildPingreqFrame(TFrameBuffer& frame, int32_t& frameLen)
{
    return Guarded(frame, frameLen, [&] { MakePingreqFrame(frame, frameLen); });
}

bool BuildDisconnectFrame(TFrameBuffer& frame, int32_t& frameLen)
{
    return Guarded(frame, frameLen, [&] { MakeDisconnectFrame(frame, frameLen); });
}

bool BuildConnectFrame(TFrameBuffer& frame, int32_t& frameLen, const TConnectParams& params)
{
    return Guarded(frame, frameLen, [&] { MakeConnectFrame(frame, frameLen, params); });
}

bool BuildPublishFrame(TFrameBuffer& frame, int32_t& frameLen, const TPublishParams& params)
{
    return Guarded(frame, frameLen, [&] { MakePublishFrame(frame, frameLen, params); });
}

bool BuildPubackFrame(TFrameBuffer& frame, int32_t& frameLen, const TAckParams& params)
{
    return Guarded(frame, frameLen, [&] { MakePubackFrame(frame, frameLen, params); });
}

bool BuildPubrecFrame(TFrameBuffer& frame, int32_t& frameLen, const TAckParams& params)
{
    return Guarded(frame, frameLen, [&] { MakePubrecFrame(frame, frameLen, params); });
}

bool BuildPubrelFrame(TFrameBuffer& frame, int32_t& frameLen, const TAckParams& params)
{
    return Guarded(frame, frameLen, [&] { MakePubrelFrame(frame, frameLen, params); });
}

bool BuildPubcompFrame(TFrameBuffer& frame, int32_t& frameLen, const TAckParams& params)
{
    return Guarded(frame, frameLen, [&] { MakePubcompFrame(frame, frameLen, params); });
}

bool BuildSubscribeFrame(TFrameBuffer& frame, int32_t& frameLen, const TSubscribeParams& params)
{
    return Guarded(frame, frameLen, [&] { MakeSubscribeFrame(frame, frameLen, params); });
}

bool BuildUnsubscribeFrame(TFrameBuffer& frame, int32_t& frameLen, const TUnsubscribeParams& params)
{
    return Guarded(frame, frameLen, [&] { MakeUnsubscribeFrame(frame, frameLen, params); });
}

bool BuildDisconnectFrame(TFrameBuffer& frame, int32_t& frameLen, const TDisconnectParams& params)
{
    return Guarded(frame, frameLen, [&] { MakeDisconnectFrame(frame, frameLen, params); });
}

bool BuildAuthFrame(TFrameBuffer& frame, int32_t& frameLen, const TAuthParams& params)
{
    return Guarded(frame, frameLen, [&] { MakeAuthFrame(frame, frameLen, params); });
}
