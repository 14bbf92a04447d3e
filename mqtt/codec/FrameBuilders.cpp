#include "mqtt/codec/FrameBuilders.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <initializer_list>
#include <string_view>
#include <vector>

#include "mqtt/codec/WirePrimitives.h"
#include "platform/Error.h"

namespace {

// Knows the frame's size before it allocates, then writes it front to back.
class TFrameWriter {
public:
    TFrameWriter(uint8_t firstByte, int64_t remainLength) : FirstByte(firstByte)
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

void MakeAckFrame(TFrameBuffer& frame, int32_t& frameLen, uint8_t firstByte, int32_t messageID)
{
    frame.reset();
    frameLen = 0;
    CheckMessageID(messageID);
    TFrameWriter writer(firstByte, 2);
    writer.Allocate();
    writer.U16(messageID);
    writer.Finish(frame, frameLen);
}

void MakeBareFrame(TFrameBuffer& frame, int32_t& frameLen, uint8_t firstByte)
{
    frame.reset();
    frameLen = 0;
    TFrameWriter writer(firstByte, 0);
    writer.Allocate();
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

void MakeConnectFrame(TFrameBuffer& frame, int32_t& frameLen, const std::string& clientID, const std::string& userName,
    const std::string& password, bool willRetain, bool cleanSession, int32_t willQoS, int32_t keepAliveTimer,
    const std::string& willTopic, const std::string& willMessage)
{
    frame.reset();
    frameLen = 0;
    if (clientID.empty()) throw Exception("ClientID not found");
    std::string clientIDUtf8 = TextToUTF8(clientID);
    std::string userNameUtf8 = TextToUTF8(userName);
    std::string passwordUtf8 = TextToUTF8(password);
    if (willTopic.empty() && !willMessage.empty()) throw Exception("WillTopic not found");
    if (!willTopic.empty() && willMessage.empty()) throw Exception("WillMessage not found");
    std::string willTopicUtf8 = TextToUTF8(willTopic);
    std::string willMessageUtf8 = TextToUTF8(willMessage);
    if (keepAliveTimer > 65535) throw Exception("KeepAliveTimer too big");
    if (keepAliveTimer < 0) throw Exception("KeepAliveTimer out of range");

    int64_t remainLength = 12;
    for (const std::string* text : {&clientIDUtf8, &willTopicUtf8, &willMessageUtf8, &userNameUtf8, &passwordUtf8})
        if (!text->empty()) remainLength += static_cast<int64_t>(text->size()) + 2;

    uint8_t flags = 0;
    if (!userName.empty()) flags |= 0x80;
    if (!password.empty()) flags |= 0x40;
    if (willRetain) flags |= 0x20;
    flags |= (willQoS & 3) << 3;
    bool will = !willTopic.empty() || !willMessage.empty();
    if (will) flags |= 0x04;
    if (cleanSession) flags |= 0x02;

    TFrameWriter writer(0x10, remainLength);
    TFrameWriter::CheckStrings({&clientIDUtf8, &willTopicUtf8, &willMessageUtf8, &userNameUtf8, &passwordUtf8});
    writer.Allocate();
    static const uint8_t protocol[] = {0x00, 0x06, 'M', 'Q', 'I', 's', 'd', 'p', 0x03};
    writer.Bytes(protocol, sizeof protocol);
    writer.Byte(flags);
    writer.U16(keepAliveTimer);
    writer.Str(clientIDUtf8);
    if (will) {
        writer.Str(willTopicUtf8);
        writer.Str(willMessageUtf8);
    }
    if (flags & 0x80) writer.Str(userNameUtf8);
    if (flags & 0x40) writer.Str(passwordUtf8);
    writer.Finish(frame, frameLen);
}

void MakePublishFrame(TFrameBuffer& frame, int32_t& frameLen, bool dup, bool retain, int32_t qos,
    const std::string& topic, int32_t messageID, const uint8_t* data, int32_t dataSize)
{
    frame.reset();
    frameLen = 0;
    if (topic.empty()) throw Exception("Topic not found");
    // A PUBLISH always carries at least one payload byte; a negative size or
    // missing data is refused the same way rather than read from nowhere.
    if (dataSize <= 0 || data == nullptr) throw Exception("PublishData empty");
    uint8_t* payload = nullptr;
    MakePublishFrameWithRoom(frame, frameLen, dup, retain, qos, topic, messageID, dataSize, payload);
    std::memcpy(payload, data, static_cast<size_t>(dataSize));
}

void MakePublishFrameWithRoom(TFrameBuffer& frame, int32_t& frameLen, bool dup, bool retain, int32_t qos,
    const std::string& topic, int32_t messageID, int32_t dataSize, uint8_t*& payload)
{
    frame.reset();
    frameLen = 0;
    payload = nullptr;
    if (topic.empty()) throw Exception("Topic not found");
    if (dataSize <= 0) throw Exception("PublishData empty");
    if (qos > 0 && messageID == 0) throw Exception("MessageID not specified at QoS > 0");
    if (messageID > 65535) throw Exception("MessageID too big");
    if (messageID < 0) throw Exception("MessageID out of range");
    // Outside 0..3 the first byte's QoS bits would disagree with whether an
    // identifier is written.
    if (qos < 0 || qos > 3) throw Exception("QoS out of range");
    std::string topicUtf8 = TextToUTF8(topic);

    int64_t remainLength = static_cast<int64_t>(topicUtf8.size()) + 2 + (qos > 0 ? 2 : 0) + dataSize;
    uint8_t firstByte = 0x30 | (dup ? 0x08 : 0) | ((qos & 3) << 1) | (retain ? 0x01 : 0);
    TFrameWriter writer(firstByte, remainLength);
    TFrameWriter::CheckStrings({&topicUtf8});
    writer.Allocate();
    writer.Str(topicUtf8);
    if (qos > 0) writer.U16(messageID);
    uint8_t* place = writer.Skip(static_cast<size_t>(dataSize));
    writer.Finish(frame, frameLen);
    payload = place;
}

void MakePubackFrame(TFrameBuffer& frame, int32_t& frameLen, int32_t messageID)
{
    MakeAckFrame(frame, frameLen, 0x40, messageID);
}

void MakePubrecFrame(TFrameBuffer& frame, int32_t& frameLen, int32_t messageID)
{
    MakeAckFrame(frame, frameLen, 0x50, messageID);
}

void MakePubrelFrame(TFrameBuffer& frame, int32_t& frameLen, bool dup, int32_t messageID)
{
    MakeAckFrame(frame, frameLen, dup ? 0x6A : 0x62, messageID);
}

void MakePubcompFrame(TFrameBuffer& frame, int32_t& frameLen, int32_t messageID)
{
    MakeAckFrame(frame, frameLen, 0x70, messageID);
}

void MakeSubscribeFrame(TFrameBuffer& frame, int32_t& frameLen, bool dup, int32_t messageID,
    const std::string& topicList, const std::string& qosList)
{
    frame.reset();
    frameLen = 0;
    CheckMessageID(messageID);
    std::vector<std::string> topics = SplitCommaText(topicList);
    std::vector<std::string> qosItems = SplitCommaText(qosList);
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
    TFrameWriter writer(dup ? 0x8A : 0x82, remainLength);
    // Each topic and QoS item is checked, in frame order, before the frame is
    // allocated; only the low 8 bits of a QoS value travel.
    for (size_t i = 0; i < topicsUtf8.size(); ++i) {
        TFrameWriter::CheckStrings({&topicsUtf8[i]});
        qosBytes.push_back(static_cast<uint8_t>(ParseQoSItem(qosItems[i]) & 0xFF));
    }
    writer.Allocate();
    writer.U16(messageID);
    for (size_t i = 0; i < topicsUtf8.size(); ++i) {
        writer.Str(topicsUtf8[i]);
        writer.Byte(qosBytes[i]);
    }
    writer.Finish(frame, frameLen);
}

void MakeUnsubscribeFrame(TFrameBuffer& frame, int32_t& frameLen, bool dup, int32_t messageID,
    const std::string& topicList)
{
    frame.reset();
    frameLen = 0;
    CheckMessageID(messageID);
    std::vector<std::string> topics = SplitCommaText(topicList);
    if (topics.empty()) throw Exception("topic parameter error");

    std::vector<std::string> topicsUtf8;
    topicsUtf8.reserve(topics.size());
    int64_t remainLength = 2;
    for (const std::string& topic : topics) {
        topicsUtf8.push_back(TextToUTF8(topic));
        remainLength += static_cast<int64_t>(topicsUtf8.back().size()) + 2;
    }
    TFrameWriter writer(dup ? 0xAA : 0xA2, remainLength);
    for (const std::string& topic : topicsUtf8) TFrameWriter::CheckStrings({&topic});
    writer.Allocate();
    writer.U16(messageID);
    for (const std::string& topic : topicsUtf8) writer.Str(topic);
    writer.Finish(frame, frameLen);
}

void MakePingreqFrame(TFrameBuffer& frame, int32_t& frameLen) { MakeBareFrame(frame, frameLen, 0xC0); }

void MakeDisconnectFrame(TFrameBuffer& frame, int32_t& frameLen) { MakeBareFrame(frame, frameLen, 0xE0); }

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
