#include "mqtt/codec/MQTTPacket.h"

#include <cstring>
#include <vector>

#include "mqtt/codec/WirePrimitives.h"
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

TMQTTPacket::TMQTTPacket(const uint8_t* frame, int32_t frameSize)
    : TMQTTPacket(CopyOfFrame(frame, frameSize), frameSize)
{
}

TMQTTPacket::TMQTTPacket(std::unique_ptr<uint8_t[]>&& frame, int32_t frameSize)
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

    if (MessageType == 0 || MessageType == 15) throw Exception("unknown MQTT message");
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

void TMQTTPacket::AnalyzePacket()
{
    const uint8_t* data = FrameData.get();
    const int64_t end = FrameSize;
    const int64_t v = 1 + RemainLengthBytes;
    FixedDup = (data[0] & 0x08) != 0;
    FixedQos = (data[0] >> 1) & 3;
    FixedRetain = (data[0] & 0x01) != 0;

    // Every read stops at the end of the frame: a field that would run past
    // it is not read, and what was decoded before it stays.
    auto readString = [&](int64_t& cursor, std::string& text) {
        int consumed = 0;
        if (cursor > end || !DecodeUTF8StrWithin(data + cursor, end - cursor, text, consumed)) return false;
        cursor += consumed;
        return true;
    };

    switch (MessageType) {
    case 1: {   // CONNECT, 3.1 layout: protocol name of 6 bytes and the level skipped unchecked
        if (v + 9 >= end) break;
        ConnectFlags = data[v + 9];
        if (v + 12 > end) break;
        KeepAliveTimer = ReadU16BE(data + v + 10);
        int64_t cursor = v + 12;
        if (!readString(cursor, ClientID)) break;
        if (ConnectFlags & 0x04) {
            if (!readString(cursor, WillTopic)) break;
            if (!readString(cursor, WillMessage)) break;
        }
        if ((ConnectFlags & 0x80) && !readString(cursor, UserName)) break;
        if (ConnectFlags & 0x40) readString(cursor, Password);
        break;
    }
    case 2:   // CONNACK: the return code is the second byte
        if (v + 1 < end) ConnectReturnCode = data[v + 1];
        break;
    case 3: {   // PUBLISH
        int64_t cursor = v;
        if (!readString(cursor, PublishTopic)) break;
        if (FixedQos > 0) cursor += 2;   // the identifier, inside the frame (checked on creation)
        if (cursor > end) break;
        PublishData = data + cursor;
        PublishDataSize = static_cast<int32_t>(end - cursor);
        break;
    }
    case 8: {   // SUBSCRIBE
        std::vector<std::string> topics, qos;
        int64_t cursor = v + 2;
        while (cursor < end) {
            std::string topic;
            if (!readString(cursor, topic)) break;
            topics.push_back(std::move(topic));
            if (cursor >= end) break;
            qos.push_back(std::to_string(data[cursor++]));
        }
        SubscribeTopicList = JoinCommaText(topics);
        SubscribeReqQoSList = JoinCommaText(qos);
        break;
    }
    case 9: {   // SUBACK
        std::vector<std::string> granted;
        for (int64_t cursor = v + 2; cursor < end; ++cursor) granted.push_back(std::to_string(data[cursor]));
        SubackGrantedQoSList = JoinCommaText(granted);
        break;
    }
    case 10: {   // UNSUBSCRIBE
        std::vector<std::string> topics;
        int64_t cursor = v + 2;
        while (cursor < end) {
            std::string topic;
            if (!readString(cursor, topic)) break;
            topics.push_back(std::move(topic));
        }
        UnsubscribeTopicList = JoinCommaText(topics);
        break;
    }
    default:
        break;
    }
}
