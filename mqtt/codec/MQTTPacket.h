#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "mqtt/codec/Properties.h"
#include "mqtt/codec/ProtocolVersion.h"

// One complete MQTT control packet as received. The constructor keeps a copy
// of the frame and works out the type and identifier by which the receive
// queue files it; AnalyzePacket decodes the rest on demand, by the rules of
// the protocol version it was received under. Nothing ever reads outside the
// frame copy.
class TMQTTPacket {
public:
    // Raises Exception on a bad frame.
    TMQTTPacket(const uint8_t* frame, int32_t frameSize, TProtocolVersion version = TProtocolVersion::MQTT31);
    // Takes the frame's buffer over instead of copying it (the reader's long
    // frames); raises as above, and then leaves the buffer with the caller.
    TMQTTPacket(std::unique_ptr<uint8_t[]>&& frame, int32_t frameSize,
                TProtocolVersion version = TProtocolVersion::MQTT31);
    virtual ~TMQTTPacket();
    TMQTTPacket(const TMQTTPacket&) = delete;
    TMQTTPacket& operator=(const TMQTTPacket&) = delete;

    void AnalyzePacket();

    std::unique_ptr<uint8_t[]> FrameData;
    int32_t FrameSize = 0;
    int32_t RemainLengthBytes = 0;
    int32_t MessageID = 0;
    int32_t MessageType = 0;
    bool FixedDup = false;
    int32_t FixedQos = 0;
    bool FixedRetain = false;
    int32_t ConnectFlags = 0;
    int32_t KeepAliveTimer = 0;
    std::string ClientID, WillTopic, WillMessage, UserName, Password;
    int32_t ConnectReturnCode = 0;
    std::string PublishTopic;
    const uint8_t* PublishData = nullptr;   // inside FrameData
    int32_t PublishDataSize = 0;
    std::string SubscribeTopicList, SubscribeReqQoSList, SubackGrantedQoSList, UnsubscribeTopicList;

    // Beyond the 3.1 fields above, which keep their meaning in every version.
    // Under 5.0 SubscribeReqQoSList holds each topic's subscription options
    // in their text form ("1", "2 nl rap rh=2").
    TProtocolVersion Version = TProtocolVersion::MQTT31;
    std::string ProtocolName;               // CONNECT
    int32_t ProtocolLevel = 0;              // CONNECT
    bool SessionPresent = false;            // CONNACK, 3.1.1 and 5.0
    // 5.0: the reason code of CONNACK (also in ConnectReturnCode), PUBACK,
    // PUBREC, PUBREL, PUBCOMP, DISCONNECT and AUTH; 0 where a short form
    // leaves it out.
    int32_t ReasonCode = 0;
    std::vector<uint8_t> ReasonCodes;       // one per topic: SUBACK return codes, UNSUBACK reason codes (5.0)
    std::vector<uint8_t> SubscribeOptions;  // SUBSCRIBE: the byte after each topic (the requested QoS before 5.0)
    TPropertyList Properties;               // 5.0
    TPropertyList WillProperties;           // 5.0 CONNECT with a will
    // Set by the connection that received a 5.0 PUBLISH, not by AnalyzePacket:
    // the topic its Topic Alias stands for. A PUBLISH whose topic is empty
    // gets it as PublishTopic when analysed.
    std::string AliasedTopic;
    // The first thing found wrong inside an accepted frame (a field cut off by
    // the end of the frame, a property refused, reserved bits set, and from
    // 3.1.1 on a string that is not well-formed UTF-8 or holds U+0000, a
    // length in more bytes than it needs, a wildcard in a PUBLISH topic ...);
    // empty when none. What was decoded before it stays.
    std::string DecodeError;
    // Decoding stopped short: a field ran past the end of the frame, or the
    // properties could not be read to their end. What lies beyond that point
    // is unknown (a PUBLISH so cut has no payload found, or properties
    // missing), so the packet is not whole.
    bool DecodeStopped = false;

    // Whether the broker refused the subscription of the topic at this
    // position of the SUBACK (0x80 in 3.1 and 3.1.1, 0x80 and above in 5.0).
    bool SubscriptionRefused(size_t topic) const;
};
