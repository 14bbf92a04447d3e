#include "console/form/Form1.h"

#include "console/form/FormCommon.h"
#include "mqtt/codec/FrameBuilders.h"
#include "mqtt/codec/MQTTPacket.h"
#include "mqtt/engine/FrameSignal.h"
#include "mqtt/engine/MQTTClient.h"
#include "platform/Thread.h"


using namespace FormCommon;

namespace {

// The lines of one subscription command; each gets " [" + client identifier + "]".
struct TSubscriptionTexts {
    const char* BuildFailed;
    const char* Sending;
    const char* Retrying;
    const char* GaveUp;
    const char* Received;
};

const TSubscriptionTexts SubscribeTexts{
    "*ERROR* SUBSCRIBE frame building failed, parameter error",
    "sending SUBSCRIBE",
    "could not receive SUBACK, retrying..",
    "*ERROR* could not receive SUBACK",
    "received SUBACK",
};

const TSubscriptionTexts UnsubscribeTexts{
    "*ERROR* UNSUBSCRIBE frame building failed, parameter error",
    "sending UNSUBSCRIBE",
    "could not receive UNSUBACK, retrying..",
    "*ERROR* could not receive UNSUBACK",
    "received UNSUBACK",
};

// Frames a run may send: the first, and a repeat after each of the first two time-outs.
constexpr int MaxTimeouts = 2;

}  // namespace

void TForm1::Button2Click()
{
    TMQTTClient& client = RequireClient();
    const std::string& id = client.ClientID;
    const int32_t messageID = NextMessageID();
    int timeouts = 0;
    bool dup = false;
    for (;;) {
        // The fields are read anew for every frame of the run.
        TFrameBuffer frame;
        int32_t frameLen = 0;
        if (!BuildSubscribeFrame(frame, frameLen, dup, messageID, SubscribeTopicListEdit.Text,
                                 SubscribeQoSListEdit.Text)) {
            Log(Tagged(SubscribeTexts.BuildFailed, id), SourceUnit);
            return;
        }
        Log(Tagged(SubscribeTexts.Sending, id), SourceUnit);
        TFrameWait wait(client.FrameEventName);
        client.SendFrame(frame.get(), frameLen);
        frame.reset();

        std::unique_ptr<TMQTTPacket> answer;
        if (WaitForAnswer(wait, MsgSUBACK, messageID, AnswerTimeouts.Suback, answer)) {
            Log(Tagged(SubscribeTexts.Received, id), SourceConsole);
            SleepMs(LinePauseMs);
            answer->AnalyzePacket();
            Log("SubackGrantedQoSList " + answer->SubackGrantedQoSList, SourceConsole);
            SleepMs(LinePauseMs);
            return;
        }
        if (++timeouts > MaxTimeouts) {
            Log(Tagged(SubscribeTexts.GaveUp, id), SourceUnit);
            return;
        }
        Log(Tagged(SubscribeTexts.Retrying, id), SourceConsole);
        dup = true;
    }
}

void TForm1::Button3Click()
{
    TMQTTClient& client = RequireClient();
    const std::string& id = client.ClientID;
    const int32_t messageID = NextMessageID();
    int timeouts = 0;
    bool dup = false;
    for (;;) {
        TFrameBuffer frame;
        int32_t frameLen = 0;
        if (!BuildUnsubscribeFrame(frame, frameLen, dup, messageID, UnSubscribeTopicListEdit.Text)) {
            Log(Tagged(UnsubscribeTexts.BuildFailed, id), SourceUnit);
            return;
        }
        Log(Tagged(UnsubscribeTexts.Sending, id), SourceUnit);
        TFrameWait wait(client.FrameEventName);
        client.SendFrame(frame.get(), frameLen);
        frame.reset();

        std::unique_ptr<TMQTTPacket> answer;
        if (WaitForAnswer(wait, MsgUNSUBACK, messageID, AnswerTimeouts.Unsuback, answer)) {
            Log(Tagged(UnsubscribeTexts.Received, id), SourceConsole);
            SleepMs(LinePauseMs);
            return;
        }
        if (++timeouts > MaxTimeouts) {
            Log(Tagged(UnsubscribeTexts.GaveUp, id), SourceUnit);
            return;
        }
        Log(Tagged(UnsubscribeTexts.Retrying, id), SourceConsole);
        dup = true;
    }
}
