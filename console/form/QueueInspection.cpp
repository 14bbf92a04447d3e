#include "console/form/Form1.h"

#include "console/form/FormCommon.h"
#include "console/form/QueueReport.h"
#include "mqtt/codec/MQTTPacket.h"
#include "mqtt/codec/PacketDisplay.h"
#include "mqtt/codec/WirePrimitives.h"
#include "mqtt/engine/MQTTClient.h"
#include "mqtt/engine/PacketQueue.h"
#include "platform/Thread.h"

#include <algorithm>
#include <cstdio>

using namespace FormCommon;

namespace {

const char* TrueFalse(bool value)
{
    return value ? "True" : "False";
}

std::string Hex2(int32_t value)
{
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%.2X", static_cast<unsigned>(value));
    return buffer;
}

}  // namespace

std::vector<std::string> QueueReportLines(const TMQTTPacket& p)
{
    using std::to_string;
    std::vector<std::string> lines{
        "----- Analyze -------",
        "MessageType     " + to_string(p.MessageType),
        "MessageID       " + to_string(p.MessageID),
        std::string("FixedDup        ") + TrueFalse(p.FixedDup),
        "FixedQos        " + to_string(p.FixedQos),
        std::string("FixedRetain     ") + TrueFalse(p.FixedRetain),
        "ConnectFlags    $" + Hex2(p.ConnectFlags),
        "KeepAliveTimer  " + to_string(p.KeepAliveTimer),
        "ClientID        " + p.ClientID,
        "WillTopic       " + p.WillTopic,
        "WillMessage     " + p.WillMessage,
        "UserName        " + p.UserName,
        "Password        " + p.Password,
        "ConnectReturnCode " + to_string(p.ConnectReturnCode),
        "PublishTopic    " + p.PublishTopic,
        "PublishDataSize " + to_string(p.PublishDataSize),
        "SubscribeTopicList   " + p.SubscribeTopicList,
        "SubscribeReqQoSList  " + p.SubscribeReqQoSList,
        "SubackGrantedQoSList " + p.SubackGrantedQoSList,
        "UnsubscribeTopicList " + p.UnsubscribeTopicList,
    };
    if (p.PublishDataSize > 0 && p.PublishData) {
        // The payload as text: up to its first zero byte, decoded as UTF-8.
        const char* data = reinterpret_cast<const char*>(p.PublishData);
        const char* end = std::find(data, data + p.PublishDataSize, '\0');
        lines.push_back("PublishData(UTF8) " +
                        UTF8ToText(std::string_view(data, static_cast<std::size_t>(end - data))));
    }
    // What 3.1.1 and 5.0 add (nothing under 3.1).
    for (std::string& line : PacketExtraLines(p))
        lines.push_back(std::move(line));
    return lines;
}

// Takes the oldest packet of any type out of the receive queue and reports every field.
void TForm1::Button1Click()
{
    TMQTTClient& client = RequireClient();
    std::unique_ptr<TMQTTPacket> packet;
    if (!client.Queue().TakeFirst(0, packet)) {
        FrontEnd.ShowMessageBox(Sys("警告"), Sys("パケットが見つかりません"), true);
        return;
    }
    packet->AnalyzePacket();
    for (const std::string& line : QueueReportLines(*packet)) {
        Log(line, SourceConsole);
        Pause();
    }
}
