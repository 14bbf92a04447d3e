// A received frame: construction refuses exactly the bad frames, with the
// right message; analysis stays inside the frame and gives the same fields
// when repeated. Input: a selector byte, then the frame. The selector's bit 0
// picks the code page (FuzzCheck.h), bits 2-1 the protocol version the frame
// is received under: 0 MQTT 3.1, 1 MQTT 3.1.1, 2 and 3 MQTT 5.0.
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzCheck.h"
#include "mqtt/codec/MQTTPacket.h"
#include "mqtt/codec/PacketDisplay.h"
#include "mqtt/codec/Properties.h"
#include "mqtt/codec/SubscriptionOptions.h"
#include "mqtt/codec/WirePrimitives.h"
#include "mqtt/codec/WireReader.h"
#include "platform/Error.h"

namespace {

struct TExpected {
    std::string Refusal;   // empty: accepted
    int LengthBytes = 0;
    int MessageID = 0;
};

int U16(const uint8_t* p) { return p[0] * 256 + p[1]; }

TProtocolVersion VersionOf(uint8_t selector)
{
    switch ((selector >> 1) & 3) {
    case 0:
        return TProtocolVersion::MQTT31;
    case 1:
        return TProtocolVersion::MQTT311;
    default:
        return TProtocolVersion::MQTT50;
    }
}

// How the frame must come out, from the frame rules alone.
TExpected Expect(const uint8_t* f, int64_t n, TProtocolVersion version)
{
    TExpected e;
    if (n < 2)
        return {"frame size error"};
    int64_t remain = 0, multiplier = 1;
    int count = 0;
    for (;;) {
        if (1 + count >= n)
            return {"frame size error"};   // field cut off by the end of the frame
        const uint8_t b = f[1 + count++];
        remain += (b & 0x7F) * multiplier;
        multiplier *= 128;
        if (!(b & 0x80))
            break;
        if (count == 4)
            return {"RemainLength decode error"};
    }
    if (n != 1 + count + remain)
        return {"frame size error"};
    const int type = f[0] >> 4, qos = (f[0] >> 1) & 3;
    if (type == 0 || (type == 15 && version != TProtocolVersion::MQTT50))
        return {"unknown MQTT message"};
    if (type == 8 && qos != 1)
        return {"SUBSCRIBE FixedHeaderQoS is not 1"};
    if (type == 10 && qos != 1)
        return {"UNSUBSCRIBE FixedHeaderQoS is not 1"};
    e.LengthBytes = count;
    const int64_t v = 1 + count;
    if (type == 3 && qos != 0) {
        if (v + 2 > n)
            return {"frame size error"};
        const int64_t at = v + 2 + U16(f + v);
        if (at + 2 > n)
            return {"frame size error"};
        e.MessageID = U16(f + at);
    } else if (type >= 4 && type <= 11) {
        if (v + 2 > n)
            return {"frame size error"};
        e.MessageID = U16(f + v);
    }
    return e;
}

bool IsDecimalList(const std::string& list)
{
    for (const std::string& item : SplitCommaText(list)) {
        if (item.empty() || item.size() > 3)
            return false;
        for (char c : item)
            if (c < '0' || c > '9')
                return false;
        if (std::stoi(item) > 255)
            return false;
    }
    return true;
}

// A list text made by JoinCommaText reads back to itself.
void CheckListText(const std::string& list)
{
    FUZZ_CHECK(JoinCommaText(SplitCommaText(list)) == list);
}

void CheckText(const std::string& text)
{
    FUZZ_CHECK(text.find('\0') == std::string::npos);
    if (CodePage::IsUTF8())
        FUZZ_CHECK(fuzz::IsStrictUTF8(text));
}

struct TFields {
    bool Dup, Retain;
    int32_t Qos, ConnectFlags, KeepAliveTimer, ConnectReturnCode, PublishDataSize;
    std::string ClientID, WillTopic, WillMessage, UserName, Password, PublishTopic;
    const uint8_t* PublishData;
    std::string SubscribeTopicList, SubscribeReqQoSList, SubackGrantedQoSList, UnsubscribeTopicList;
    std::string ProtocolName;
    int32_t ProtocolLevel, ReasonCode;
    bool SessionPresent;
    std::vector<uint8_t> ReasonCodes, SubscribeOptions;
    TPropertyList Properties, WillProperties;
    std::string DecodeError;
    bool DecodeStopped;

    explicit TFields(const TMQTTPacket& p)
        : Dup(p.FixedDup), Retain(p.FixedRetain), Qos(p.FixedQos), ConnectFlags(p.ConnectFlags),
          KeepAliveTimer(p.KeepAliveTimer), ConnectReturnCode(p.ConnectReturnCode),
          PublishDataSize(p.PublishDataSize), ClientID(p.ClientID), WillTopic(p.WillTopic),
          WillMessage(p.WillMessage), UserName(p.UserName), Password(p.Password), PublishTopic(p.PublishTopic),
          PublishData(p.PublishData), SubscribeTopicList(p.SubscribeTopicList),
          SubscribeReqQoSList(p.SubscribeReqQoSList), SubackGrantedQoSList(p.SubackGrantedQoSList),
          UnsubscribeTopicList(p.UnsubscribeTopicList), ProtocolName(p.ProtocolName), ProtocolLevel(p.ProtocolLevel),
          ReasonCode(p.ReasonCode), SessionPresent(p.SessionPresent), ReasonCodes(p.ReasonCodes),
          SubscribeOptions(p.SubscribeOptions), Properties(p.Properties), WillProperties(p.WillProperties),
          DecodeError(p.DecodeError), DecodeStopped(p.DecodeStopped)
    {
    }
    bool operator==(const TFields&) const = default;
};

void CheckAnalysed(const TMQTTPacket& p, const uint8_t* frame)
{
    const uint8_t* data = p.FrameData.get();
    const int64_t v = 1 + p.RemainLengthBytes;
    FUZZ_CHECK(p.FixedDup == ((frame[0] & 0x08) != 0));
    FUZZ_CHECK(p.FixedQos == ((frame[0] >> 1) & 3));
    FUZZ_CHECK(p.FixedRetain == ((frame[0] & 0x01) != 0));
    FUZZ_CHECK(p.ConnectFlags >= 0 && p.ConnectFlags <= 255);
    FUZZ_CHECK(p.KeepAliveTimer >= 0 && p.KeepAliveTimer <= 65535);
    FUZZ_CHECK(p.ConnectReturnCode >= 0 && p.ConnectReturnCode <= 255);
    FUZZ_CHECK(p.PublishDataSize >= 0);
    if (p.PublishData) {
        FUZZ_CHECK(p.MessageType == 3);
        FUZZ_CHECK(p.PublishData >= data + v);
        // The payload runs to the end of the frame.
        FUZZ_CHECK(p.PublishData + p.PublishDataSize == data + p.FrameSize);
    } else {
        FUZZ_CHECK(p.PublishDataSize == 0);
    }
    for (const std::string* text : {&p.ClientID, &p.WillTopic, &p.WillMessage, &p.UserName, &p.Password,
             &p.PublishTopic})
        CheckText(*text);
    if (p.MessageType != 1)
        FUZZ_CHECK(p.ClientID.empty() && p.ConnectFlags == 0 && p.KeepAliveTimer == 0);
    if (p.MessageType != 2)
        FUZZ_CHECK(p.ConnectReturnCode == 0);
    if (p.MessageType != 3)
        FUZZ_CHECK(p.PublishTopic.empty() && !p.PublishData);
    if (p.MessageType != 8)
        FUZZ_CHECK(p.SubscribeTopicList.empty() && p.SubscribeReqQoSList.empty());
    if (p.MessageType != 9)
        FUZZ_CHECK(p.SubackGrantedQoSList.empty());
    if (p.MessageType != 10)
        FUZZ_CHECK(p.UnsubscribeTopicList.empty());

    const bool v50 = p.Version == TProtocolVersion::MQTT50;
    if (p.MessageType == 9) {
        // One granted QoS per byte after the identifier (and, in 5.0, the properties).
        const size_t count = SplitCommaText(p.SubackGrantedQoSList).size();
        if (!v50)
            FUZZ_CHECK(static_cast<int64_t>(count) == p.FrameSize - v - 2);
        FUZZ_CHECK(count == p.ReasonCodes.size());
        FUZZ_CHECK(IsDecimalList(p.SubackGrantedQoSList));
    }
    if (p.MessageType == 8) {
        const size_t topics = p.SubscribeTopicList.empty() ? 0 : SplitCommaText(p.SubscribeTopicList).size();
        const size_t qos = SplitCommaText(p.SubscribeReqQoSList).size();
        FUZZ_CHECK(topics == qos || topics == qos + 1);
        FUZZ_CHECK(qos == p.SubscribeOptions.size());
        CheckListText(p.SubscribeTopicList);
        CheckListText(p.SubscribeReqQoSList);
        if (!v50) {
            FUZZ_CHECK(IsDecimalList(p.SubscribeReqQoSList));
        } else {
            // The options' text reads back to the bytes, unless they are not valid options.
            bool valid = true;
            for (uint8_t b : p.SubscribeOptions)
                valid = valid && (b & 0xC0) == 0 && (b & 3) != 3 && ((b >> 4) & 3) != 3;
            try {
                const auto parsed = ParseSubscriptionOptionList(p.SubscribeReqQoSList);
                FUZZ_CHECK(valid && parsed.size() == p.SubscribeOptions.size());
                for (size_t i = 0; i < parsed.size(); ++i)
                    FUZZ_CHECK(parsed[i].ToByte() == p.SubscribeOptions[i]);
            } catch (const Exception&) {
                FUZZ_CHECK(!valid);
            }
        }
    } else {
        FUZZ_CHECK(p.SubscribeOptions.empty());
    }
    if (p.MessageType == 10)
        CheckListText(p.UnsubscribeTopicList);
    if (p.MessageType != 9 && !(v50 && p.MessageType == 11))
        FUZZ_CHECK(p.ReasonCodes.empty());
}

// What came out of the 3.1.1 and 5.0 decoding: only what the version and the
// packet type allow, and properties that obey their table.
void CheckVersioned(const TMQTTPacket& p)
{
    const bool v31 = p.Version == TProtocolVersion::MQTT31, v50 = p.Version == TProtocolVersion::MQTT50;
    const auto kind = static_cast<TPacketKind>(p.MessageType);
    FUZZ_CHECK(p.ReasonCode >= 0 && p.ReasonCode <= 255);
    FUZZ_CHECK(p.ProtocolLevel >= 0 && p.ProtocolLevel <= 255);
    if (p.MessageType != 1)
        FUZZ_CHECK(p.ProtocolName.empty() && p.ProtocolLevel == 0);
    if (p.MessageType != 2 || v31)
        FUZZ_CHECK(!p.SessionPresent);
    // A CONNECT's own level decides whether it has properties (from 3.1.1 on).
    const bool properties = v50 || (!v31 && p.MessageType == 1 && p.ProtocolLevel == 5);
    if (!v50)
        FUZZ_CHECK(p.ReasonCode == 0);
    if (!properties)
        FUZZ_CHECK(p.Properties.empty());
    if (!properties || p.MessageType != 1)
        FUZZ_CHECK(p.WillProperties.empty());
    if (!p.WillProperties.empty())
        FUZZ_CHECK((p.ConnectFlags & 0x04) != 0);
    CheckText(p.ProtocolName);
    for (const auto* list : {&p.Properties, &p.WillProperties}) {
        const TPacketKind where = list == &p.WillProperties ? TPacketKind::Will : kind;
        bool refused = false;
        try {
            CheckProperties(*list, where);
        } catch (const Exception&) {
            refused = true;
        }
        FUZZ_CHECK(!refused);
        for (const TProperty& property : *list) {
            CheckText(property.Text);
            CheckText(property.Text2);
        }
        // Under UTF-8 a decoded list encodes and decodes back to itself.
        if (CodePage::IsUTF8() && !list->empty()) {
            const std::string block = EncodeProperties(*list, where);
            const auto* bytes = reinterpret_cast<const uint8_t*>(block.data());
            TWireReader reader(bytes, bytes + block.size());
            TPropertyList again;
            std::string error;
            FUZZ_CHECK(DecodeProperties(reader, where, again, error) == TPropertiesRead::Whole);
            FUZZ_CHECK(error.empty() && reader.AtEnd() && again == *list);
        }
    }
    const std::vector<std::string> lines = PacketExtraLines(p);
    if (v31)
        FUZZ_CHECK(lines.empty());
    for (const std::string& line : lines)
        FUZZ_CHECK(line.size() >= 16);
    if (!p.DecodeError.empty() && !v31)
        FUZZ_CHECK(lines.back() == "DecodeError     *ERROR* " + p.DecodeError);
}

// A packet decoded whole has its payload found. Without a decode error, from
// 3.1.1 on the length takes the fewest bytes and a PUBLISH topic is strict
// UTF-8 without U+0000 or wildcards. Under 3.1 none of this is looked at.
void CheckBrokerFaults(const TMQTTPacket& p)
{
    FUZZ_CHECK(!p.DecodeStopped || !p.DecodeError.empty());
    FUZZ_CHECK(p.MessageType != 3 || p.DecodeStopped || p.PublishData != nullptr);
    if (p.Version == TProtocolVersion::MQTT31) {
        for (const char* newer : {" holds ", " would do", "wildcard", "PUBLISH with an empty topic"})
            FUZZ_CHECK(p.DecodeError.find(newer) == std::string::npos);
    } else if (p.DecodeError.empty()) {
        const int64_t remain = p.FrameSize - 1 - p.RemainLengthBytes;
        FUZZ_CHECK(p.RemainLengthBytes == (remain < 128 ? 1 : remain < 16384 ? 2 : remain < 2097152 ? 3 : 4));
        const uint8_t* header = p.FrameData.get() + 1 + p.RemainLengthBytes;
        const std::string_view topic(reinterpret_cast<const char*>(header + 2), p.MessageType == 3 ? U16(header) : 0);
        FUZZ_CHECK(fuzz::IsStrictUTF8(topic) && topic.find_first_of(std::string_view("#+\0", 3)) == topic.npos);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size)
{
    if (size < 1)
        return 0;
    fuzz::ChooseCodePage(input[0]);
    const TProtocolVersion version = VersionOf(input[0]);
    // The frame in a buffer of its own exact size, so any read past it is caught.
    const int64_t n = static_cast<int64_t>(size) - 1;
    std::unique_ptr<uint8_t[]> frame(new uint8_t[n > 0 ? n : 1]);
    if (n > 0)
        std::memcpy(frame.get(), input + 1, n);
    const TExpected expected = Expect(frame.get(), n, version);

    std::unique_ptr<TMQTTPacket> packet;
    try {
        packet = std::make_unique<TMQTTPacket>(frame.get(), static_cast<int32_t>(n), version);
    } catch (const Exception& e) {
        if (e.Message() != expected.Refusal)
            std::fprintf(stderr, "refused with \"%s\", expected \"%s\"\n", e.what(), expected.Refusal.c_str());
        FUZZ_CHECK(e.Message() == expected.Refusal);
        return 0;
    }
    if (!expected.Refusal.empty())
        std::fprintf(stderr, "accepted, expected \"%s\"\n", expected.Refusal.c_str());
    FUZZ_CHECK(expected.Refusal.empty());

    TMQTTPacket& p = *packet;
    FUZZ_CHECK(p.FrameSize == n);
    FUZZ_CHECK(p.FrameData.get() != frame.get());
    FUZZ_CHECK(std::memcmp(p.FrameData.get(), frame.get(), n) == 0);
    FUZZ_CHECK(p.MessageType == frame[0] >> 4);
    FUZZ_CHECK(p.Version == version);
    FUZZ_CHECK(p.MessageType >= 1 && p.MessageType <= (version == TProtocolVersion::MQTT50 ? 15 : 14));
    FUZZ_CHECK(p.RemainLengthBytes == expected.LengthBytes);
    FUZZ_CHECK(p.MessageID == expected.MessageID);
    // Nothing is decoded before the analysis.
    FUZZ_CHECK(!p.FixedDup && p.FixedQos == 0 && !p.FixedRetain && !p.PublishData);

    p.AnalyzePacket();
    CheckAnalysed(p, frame.get());
    CheckVersioned(p);
    CheckBrokerFaults(p);
    const TFields first(p);
    p.AnalyzePacket();
    FUZZ_CHECK(TFields(p) == first);
    // The analysis decodes from its own copy: the caller's bytes may change.
    std::memset(frame.get(), 0xA5, n);
    p.AnalyzePacket();
    FUZZ_CHECK(TFields(p) == first);
    return 0;
}
