#pragma once

#include <cstdint>
#include <memory>
#include <string>

// One builder per outbound MQTT 3.1 control packet. Each frame is allocated
// once at its exact size; the caller owns it and frees it after sending.
//
// Build*: never raise. True and the frame, or false with no buffer and
// length 0 (the reason is dropped; callers report in their own words).
// Make*: the same checks and frames, raising Exception with the reason.

using TFrameBuffer = std::unique_ptr<uint8_t[]>;

bool BuildConnectFrame(TFrameBuffer& frame, int32_t& frameLen, const std::string& clientID, const std::string& userName,
    const std::string& password, bool willRetain, bool cleanSession, int32_t willQoS, int32_t keepAliveTimer,
    const std::string& willTopic, const std::string& willMessage);
bool BuildPublishFrame(TFrameBuffer& frame, int32_t& frameLen, bool dup, bool retain, int32_t qos,
    const std::string& topic, int32_t messageID, const uint8_t* data, int32_t dataSize);
// A PUBLISH frame whose payload place (dataSize bytes at payload) is left for
// the caller to fill, so that a file is read straight into the frame. The same
// checks and bytes as BuildPublishFrame; payload is null on failure.
bool BuildPublishFrameWithRoom(TFrameBuffer& frame, int32_t& frameLen, bool dup, bool retain, int32_t qos,
    const std::string& topic, int32_t messageID, int32_t dataSize, uint8_t*& payload);
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

void MakeConnectFrame(TFrameBuffer& frame, int32_t& frameLen, const std::string& clientID, const std::string& userName,
    const std::string& password, bool willRetain, bool cleanSession, int32_t willQoS, int32_t keepAliveTimer,
    const std::string& willTopic, const std::string& willMessage);
void MakePublishFrame(TFrameBuffer& frame, int32_t& frameLen, bool dup, bool retain, int32_t qos,
    const std::string& topic, int32_t messageID, const uint8_t* data, int32_t dataSize);
void MakePublishFrameWithRoom(TFrameBuffer& frame, int32_t& frameLen, bool dup, bool retain, int32_t qos,
    const std::string& topic, int32_t messageID, int32_t dataSize, uint8_t*& payload);
void MakePubackFrame(TFrameBuffer& frame, int32_t& frameLen, int32_t messageID);
void MakePubrecFrame(TFrameBuffer& frame, int32_t& frameLen, int32_t messageID);
void MakePubrelFrame(TFrameBuffer& frame, int32_t& frameLen, bool dup, int32_t messageID);
void MakePubcompFrame(TFrameBuffer& frame, int32_t& frameLen, int32_t messageID);
void MakeSubscribeFrame(TFrameBuffer& frame, int32_t& frameLen, bool dup, int32_t messageID,
    const std::string& topicList, const std::string& qosList);
void MakeUnsubscribeFrame(TFrameBuffer& frame, int32_t& frameLen, bool dup, int32_t messageID,
    const std::string& topicList);
void MakePingreqFrame(TFrameBuffer& frame, int32_t& frameLen);
void MakeDisconnectFrame(TFrameBuffer& frame, int32_t& frameLen);
