#pragma once

#include <cstdint>
#include <memory>
#include <string>

// One complete MQTT control packet as received. The constructor keeps a copy
// of the frame and works out the type and identifier by which the receive
// queue files it; AnalyzePacket decodes the rest on demand. Nothing ever reads
// outside the frame copy.
class TMQTTPacket {
public:
    TMQTTPacket(const uint8_t* frame, int32_t frameSize);   // raises Exception on a bad frame
    // Takes the frame's buffer over instead of copying it (the reader's long
    // frames); raises as above, and then leaves the buffer with the caller.
    TMQTTPacket(std::unique_ptr<uint8_t[]>&& frame, int32_t frameSize);
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
};
