#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "mqtt/codec/Properties.h"
#include "mqtt/codec/ProtocolVersion.h"

// One builder per outbound MQTT control packet (3.1 unless a version is given). Each frame is allocated
// once at its exact size; the caller owns it and frees it after sending.
//
// No builder raises: each gives true and the frame, or false with no buffer and
// length 0. The builders below taking a parameter struct also tell why in
// `reason` when one is given; the others drop it (callers report in their
// own words).

using TFrameBuffer = std::unique_ptr<uint8_t[]>;

// The MQTT 3.1 builders, each with its parameters in frame order.
bool BuildConnectFrame(TFrameBuffer& frame, int32_t& frameLen, const std::string& clientID, const std::string& userName,
    const std::string& password, bool willRetain, bool cleanSession, int32_t willQoS, int32_t keepAliveTimer,
    const std::string& willTopic, const std::string& willMessage);
bool BuildPublishFrame(TFrameBuffer& frame, int32_t& frameLen, bool dup, bool retain, int32_t qos,
    const std::string& topic, int32_t messageID, const uint8_t* data, int32_t dataSize);
bool BuildPubackFrame(TFrameBuffer& frame, int32_t& frameLen, int32_t messageID);
bool BuildPubrecFrame(TFrameBuffer& frame, int32_t& frameLen, int32_t messageID);
bool BuildPubrelFrame(TFrameBuffer& frame, int32_t& frameLen, bool dup, int32_t messageID);
bool BuildPubcompFrame(TFrameBuffer& frame, int32_t& frameLen, int32_t messageID);
bool BuildSubscribeFrame(TFrameBuffer& frame, int32_t& frameLen, bool dup, int32_t messageID,
    const std::string& topicList, const std::string& qosList);
bool BuildUnsubscribeFrame(TFrameBuffer& frame, int32_t& frameLen, bool dup, int32_t messageID,
    const std::string& topicList);
bool BuildPingreqFrame(TFrameBuffer& frame, int32_t& frameLen);
bool BuildDisconnectFrame(TFrameBuffer& frame, int32_t& frameLen);

// Version-aware builders. With Version left at MQTT31 each gives exactly the
// frame of the builder above with the same parameters, and the same refusals.
// Properties and reason codes travel in 5.0 only: given under an earlier
// version they are refused. Under 5.0 a property that is not allowed in the
// packet, repeated where it may appear once or out of range, and a reason
// code the packet cannot carry, are refused before anything is built; the
// reason names the property or the code.
struct TConnectParams {
    TProtocolVersion Version = TProtocolVersion::MQTT31;
    std::string ClientID, UserName, Password;
    bool WillRetain = false;
    bool CleanSession = true;   // clean start in 5.0
    int32_t WillQoS = 0;
    int32_t KeepAliveTimer = 60;
    std::string WillTopic, WillMessage;
    TPropertyList Properties;       // 5.0
    TPropertyList WillProperties;   // 5.0, with a will only
};

struct TPublishParams {
    TProtocolVersion Version = TProtocolVersion::MQTT31;
    bool Dup = false;
    bool Retain = false;
    int32_t QoS = 0;
    std::string Topic;
    int32_t MessageID = 0;
    const uint8_t* Data = nullptr;
    int32_t DataSize = 0;
    TPropertyList Properties;   // 5.0; with a Topic Alias the topic may be empty
};

// PUBACK, PUBREC, PUBREL, PUBCOMP. Dup is used by PUBREL under 3.1 only:
// 3.1.1 and 5.0 send a repeated PUBREL with the same header. Under 5.0 a
// reason code of 0 without properties gives the short form of 4 bytes, and
// a reason code without properties leaves out the property length.
struct TAckParams {
    TProtocolVersion Version = TProtocolVersion::MQTT31;
    bool Dup = false;
    int32_t MessageID = 0;
    uint8_t ReasonCode = 0;     // 5.0
    TPropertyList Properties;   // 5.0
};

// Dup is used under 3.1 only, as for TAckParams. Under 5.0 each QoS list
// item holds a topic's subscription options in their text form
// (SubscriptionOptions.h): "1", "1 nl", "2 nl rap rh=2".
struct TSubscribeParams {
    TProtocolVersion Version = TProtocolVersion::MQTT31;
    bool Dup = false;
    int32_t MessageID = 0;
    std::string TopicList, QoSList;
    TPropertyList Properties;   // 5.0
};

struct TUnsubscribeParams {
    TProtocolVersion Version = TProtocolVersion::MQTT31;
    bool Dup = false;
    int32_t MessageID = 0;
    std::string TopicList;
    TPropertyList Properties;   // 5.0
};

// Under 5.0 a reason code of 0 without properties gives the 2-byte form.
struct TDisconnectParams {
    TProtocolVersion Version = TProtocolVersion::MQTT31;
    uint8_t ReasonCode = 0;     // 5.0
    TPropertyList Properties;   // 5.0
};

// AUTH exists in 5.0 only. A reason code of 0 without properties gives F0 00.
struct TAuthParams {
    uint8_t ReasonCode = 0;
    TPropertyList Properties;
};

bool BuildConnectFrame(TFrameBuffer& frame, int32_t& frameLen, const TConnectParams& params,
    std::string* reason = nullptr);
bool BuildPublishFrame(TFrameBuffer& frame, int32_t& frameLen, const TPublishParams& params,
    std::string* reason = nullptr);
// A PUBLISH frame whose payload place (params.DataSize bytes at payload) is
// left for the caller to fill, so that a file is read straight into the
// frame; params.Data is not read. payload is null on failure.
bool BuildPublishFrameWithRoom(TFrameBuffer& frame, int32_t& frameLen, const TPublishParams& params,
    uint8_t*& payload, std::string* reason = nullptr);
bool BuildPubackFrame(TFrameBuffer& frame, int32_t& frameLen, const TAckParams& params, std::string* reason = nullptr);
bool BuildPubrecFrame(TFrameBuffer& frame, int32_t& frameLen, const TAckParams& params, std::string* reason = nullptr);
bool BuildPubrelFrame(TFrameBuffer& frame, int32_t& frameLen, const TAckParams& params, std::string* reason = nullptr);
bool BuildPubcompFrame(TFrameBuffer& frame, int32_t& frameLen, const TAckParams& params,
    std::string* reason = nullptr);
bool BuildSubscribeFrame(TFrameBuffer& frame, int32_t& frameLen, const TSubscribeParams& params,
    std::string* reason = nullptr);
bool BuildUnsubscribeFrame(TFrameBuffer& frame, int32_t& frameLen, const TUnsubscribeParams& params,
    std::string* reason = nullptr);
bool BuildDisconnectFrame(TFrameBuffer& frame, int32_t& frameLen, const TDisconnectParams& params,
    std::string* reason = nullptr);
bool BuildAuthFrame(TFrameBuffer& frame, int32_t& frameLen, const TAuthParams& params, std::string* reason = nullptr);
