#include "console/form/Form1.h"

#include "console/form/BuildFailure.h"
#include "console/form/FormCommon.h"
#include "mqtt/codec/FrameBuilders.h"
#include "mqtt/codec/MQTTPacket.h"
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
    // The fields are read anew for every frame of the run.
    const std::unique_ptr<TMQTTPacket> answer = RequestWithRepeats(
        SubscribeTexts, TFrameKind::Subscribe,
        [&](bool dup, TFrameBuffer& frame, int32_t& frameLen) {
            MakeSubscribeFrame(frame, frameLen, dup, messageID, SubscribeTopicListEdit.Text, SubscribeQoSListEdit.Text);
        },
        MessageType::SUBACK, messageID, AnswerTimeouts.Suback);
    if (!answer)
        return;
    answer->AnalyzePacket();
    Log("SubackGrantedQoSList " + answer->SubackGrantedQoSList, SourceConsole);
    Pause();
}

void TForm1::Button3Click()
{
    RequireClient();
    const int32_t messageID = NextMessageID();
    RequestWithRepeats(
        UnsubscribeTexts, TFrameKind::Unsubscribe,
        [&](bool dup, TFrameBuffer& frame, int32_t& frameLen) {
            MakeUnsubscribeFrame(frame, frameLen, dup, messageID, UnSubscribeTopicListEdit.Text);
        },
        MessageType::UNSUBACK, messageID, AnswerTimeouts.Unsuback);
}
