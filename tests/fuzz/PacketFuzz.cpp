// A received frame: construction refuses exactly the bad frames, with the
// right message; analysis stays inside the frame and gives the same fields
// when repeated. Input: code-page selector byte, then the frame.
#include <cstring>
#include <memory>
#include <string>

#include "FuzzCheck.h"
#include "mqtt/codec/MQTTPacket.h"
#include "mqtt/codec/WirePrimitives.h"
#include "platform/Error.h"

namespace {

struct TExpected {
    std::string Refusal;   // empty: accepted
    int LengthBytes = 0;
    int MessageID = 0;
};

int U16(const uint8_t* p) { return p[0] * 256 + p[1]; }

// How the frame must come out, from the frame rules alone.
TExpected Expect(const uint8_t* f, int64_t n)
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
    if (type == 0 || type == 15)
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

    explicit TFields(const TMQTTPacket& p)
        : Dup(p.FixedDup), Retain(p.FixedRetain), Qos(p.FixedQos), ConnectFlags(p.ConnectFlags),
          KeepAliveTimer(p.KeepAliveTimer), ConnectReturnCode(p.ConnectReturnCode),
          PublishDataSize(p.PublishDataSize), ClientID(p.ClientID), WillTopic(p.WillTopic),
          WillMessage(p.WillMessage), UserName(p.UserName), Password(p.Password), PublishTopic(p.PublishTopic),
          PublishData(p.PublishData), SubscribeTopicList(p.SubscribeTopicList),
          SubscribeReqQoSList(p.SubscribeReqQoSList), SubackGrantedQoSList(p.SubackGrantedQoSList),
          UnsubscribeTopicList(p.UnsubscribeTopicList)
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

    if (p.MessageType == 9) {
        // One granted QoS per byte after the identifier.
        const size_t count = SplitCommaText(p.SubackGrantedQoSList).size();
        FUZZ_CHECK(static_cast<int64_t>(count) == p.FrameSize - v - 2);
        FUZZ_CHECK(IsDecimalList(p.SubackGrantedQoSList));
    }
    if (p.MessageType == 8) {
        FUZZ_CHECK(IsDecimalList(p.SubscribeReqQoSList));
        const size_t topics = p.SubscribeTopicList.empty() ? 0 : SplitCommaText(p.SubscribeTopicList).size();
        const size_t qos = SplitCommaText(p.SubscribeReqQoSList).size();
        FUZZ_CHECK(topics == qos || topics == qos + 1);
        CheckListText(p.SubscribeTopicList);
        CheckListText(p.SubscribeReqQoSList);
    }
    if (p.MessageType == 10)
        CheckListText(p.UnsubscribeTopicList);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size)
{
    if (size < 1)
        return 0;
    fuzz::ChooseCodePage(input[0]);
    // The frame in a buffer of its own exact size, so any read past it is caught.
    const int64_t n = static_cast<int64_t>(size) - 1;
    std::unique_ptr<uint8_t[]> frame(new uint8_t[n > 0 ? n : 1]);
    if (n > 0)
        std::memcpy(frame.get(), input + 1, n);
    const TExpected expected = Expect(frame.get(), n);

    std::unique_ptr<TMQTTPacket> packet;
    try {
        packet = std::make_unique<TMQTTPacket>(frame.get(), static_cast<int32_t>(n));
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
    FUZZ_CHECK(p.MessageType >= 1 && p.MessageType <= 14);
    FUZZ_CHECK(p.RemainLengthBytes == expected.LengthBytes);
    FUZZ_CHECK(p.MessageID == expected.MessageID);
    // Nothing is decoded before the analysis.
    FUZZ_CHECK(!p.FixedDup && p.FixedQos == 0 && !p.FixedRetain && !p.PublishData);

    p.AnalyzePacket();
    CheckAnalysed(p, frame.get());
    const TFields first(p);
    p.AnalyzePacket();
    FUZZ_CHECK(TFields(p) == first);
    // The analysis decodes from its own copy: the caller's bytes may change.
    std::memset(frame.get(), 0xA5, n);
    p.AnalyzePacket();
    FUZZ_CHECK(TFields(p) == first);
    return 0;
}
