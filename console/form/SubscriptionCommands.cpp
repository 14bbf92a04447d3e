#include "console/form/Form1.h"

#include "console/form/BuildFailure.h"
#include "console/form/FormCommon.h"
#include "mqtt/codec/FrameBuilders.h"
#include "mqtt/codec/MQTTPacket.h"
#include "mqtt/codec/ReasonCodes.h"
#include "mqtt/codec/WirePrimitives.h"
#include "mqtt/engine/MQTTClient.h"
#include "platform/Thread.h"

using namespace FormCommon;

namespace {

const TRequestTexts SubscribeTexts{
    "*ERROR* SUBSCRIBE frame building failed, parameter error",
    "sending SUBSCRIBE",
    "could not receive SUBACK, retrying..",
    "*ERROR* could not receive SUBACK",
    "received SUBACK",
};

const TRequestTexts UnsubscribeTexts{
    "*ERROR* UNSUBSCRIBE frame building failed, parameter error",
    "sending UNSUBSCRIBE",
    "could not receive UNSUBACK, retrying..",
    "*ERROR* could not receive UNSUBACK",
    "received UNSUBACK",
};

}  // namespace

void TForm1::Button2Click()
{
    RequireClient();   // without a connection no message identifier is used up
    const int32_t messageID = NextMessageID();
    // The fields are read anew for every frame of the run; the topics of the
    // last frame are those the answer speaks of.
    std::string topicList;
    const std::unique_ptr<TMQTTPacket> answer = RequestWithRepeats(
        SubscribeTexts, TFrameKind::Subscribe,
        [&](bool dup, TFrameBuffer& frame, int32_t& frameLen, std::string& reason) {
            topicList = SubscribeTopicListEdit.Text;
            const TSubscribeParams params{
                SessionVersion, dup, messageID, topicList, SubscribeQoSListEdit.Text,
                FieldProperties(SubscribePropertiesEdit, TPacketKind::Subscribe, "SUBSCRIBE properties", !dup)};
            return BuildSubscribeFrame(frame, frameLen, params, &reason);
        },
        MessageType::SUBACK, messageID, AnswerTimeouts.Suback);
    if (!answer)
        return;
    answer->AnalyzePacket();
    Log("SubackGrantedQoSList " + answer->SubackGrantedQoSList, SourceConsole);
    Pause();
    ReportExtraLines(*answer);
    if (answer->Version == TProtocolVersion::MQTT31)
        return;   // 3.1 knows no refusal: the granted list says it all
    // Each topic the broker refused, by name.
    const std::vector<std::string> topics = SplitCommaText(topicList);
    const std::string& id = RequireClient().ClientID;
    for (std::size_t i = 0; i < answer->ReasonCodes.size(); ++i) {
        if (!answer->SubscriptionRefused(i))
            continue;
        std::string topic = "#";   // a code beyond the topics sent: its place
        if (i < topics.size())
            topic = topics[i];
        else
            topic += std::to_string(i + 1);
        const std::string code = FormatReasonCode(answer->ReasonCodes[i], TPacketKind::Suback, answer->Version);
        Log("SUBSCRIBE refused: " + topic + " (" + code + ") [" + id + "]", SourceConsole);
        Pause();
    }
}

void TForm1::Button3Click()
{
    RequireClient();
    const int32_t messageID = NextMessageID();
    const std::unique_ptr<TMQTTPacket> answer = RequestWithRepeats(
        UnsubscribeTexts, TFrameKind::Unsubscribe,
        [&](bool dup, TFrameBuffer& frame, int32_t& frameLen, std::string& reason) {
            return BuildUnsubscribeFrame(
                frame, frameLen,
                TUnsubscribeParams{
                    SessionVersion, dup, messageID, UnSubscribeTopicListEdit.Text,
                    FieldProperties(UnsubscribePropertiesEdit, TPacketKind::Unsubscribe, "UNSUBSCRIBE properties",
                                    !dup)},
                &reason);
        },
        MessageType::UNSUBACK, messageID, AnswerTimeouts.Unsuback);
    if (!answer || answer->Version == TProtocolVersion::MQTT31)
        return;
    answer->AnalyzePacket();
    ReportExtraLines(*answer);   // 5.0: a reason code for each topic
}
