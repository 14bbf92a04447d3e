#include "console/form/Form1.h"

#include "console/form/FormCommon.h"
#include "mqtt/codec/MQTTPacket.h"
#include "mqtt/codec/WirePrimitives.h"
#include "mqtt/engine/MQTTClient.h"
#include "mqtt/engine/PacketQueue.h"
#include "platform/Thread.h"

#include <algorithm>
#include <cstdio>

using namespace FormCommon;

namespace {

void ReportLine(const std::string& line)
{
    Log(line, SourceConsole);
    SleepMs(LinePauseMs);
}

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
    const TMQTTPacket& p = *packet;
    using std::to_string;
    ReportLine("----- Analyze -------");
    ReportLine("MessageType     " + to_string(p.MessageType));
    ReportLine("MessageID       " + to_string(p.MessageID));
    ReportLine(std::string("FixedDup        ") + TrueFalse(p.FixedDup));
    ReportLine("FixedQos        " + to_string(p.FixedQos));
    ReportLine(std::string("FixedRetain     ") + TrueFalse(p.FixedRetain));
    ReportLine("ConnectFlags    $" + Hex2(p.ConnectFlags));
    ReportLine("KeepAliveTimer  " + to_string(p.KeepAliveTimer));
    ReportLine("ClientID        " + p.ClientID);
    ReportLine("WillTopic       " + p.WillTopic);
    ReportLine("WillMessage     " + p.WillMessage);
    ReportLine("UserName        " + p.UserName);
    ReportLine("Password        " + p.Password);
    ReportLine("ConnectReturnCode " + to_string(p.ConnectReturnCode));
    ReportLine("PublishTopic    " + p.PublishTopic);
    ReportLine("PublishDataSize " + to_string(p.PublishDataSize));
    ReportLine("SubscribeTopicList   " + p.SubscribeTopicList);
    ReportLine("SubscribeReqQoSList  " + p.SubscribeReqQoSList);
    ReportLine("SubackGrantedQoSList " + p.SubackGrantedQoSList);
    ReportLine("UnsubscribeTopicList " + p.UnsubscribeTopicList);
    if (p.PublishDataSize > 0 && p.PublishData) {
        // The payload as text: up to its first zero byte, decoded as UTF-8.
        const char* data = reinterpret_cast<const char*>(p.PublishData);
        const char* end = std::find(data, data + p.PublishDataSize, '\0');
        ReportLine("PublishData(UTF8) " + UTF8ToText(std::string_view(data, static_cast<std::size_t>(end - data))));
    }
}
