#include "console/form/BuildFailure.h"

#include "console/form/FieldTable.h"
#include "console/form/Form1.h"
#include "console/form/FormCommon.h"
#include "mqtt/codec/WirePrimitives.h"

#include <string_view>

using FormCommon::Sys;

namespace {

constexpr std::string_view NotAnInteger = " is not a valid integer value";

bool TooLong(const TTextField& field)
{
    return TextToUTF8(field.Text).size() > 65535;
}

}  // namespace

TFieldError FieldErrorOf(TFrameKind kind, const std::string& failure, const TForm1& form)
{
    const std::string reason = " (" + failure + ")";
    auto on = [&](const char* control, const std::string& why) { return TFieldError{{control}, why + reason}; };
    const bool publish = kind == TFrameKind::PublishText || kind == TFrameKind::PublishFile;
    const bool fromFile = kind == TFrameKind::PublishFile;
    const char* dataControl = fromFile ? "PublishDataFileEdit" : "PublishDataEdit";
    const TTextField& data = fromFile ? form.PublishDataFileEdit : form.PublishDataEdit;

    // A properties field or a reason code field of MQTT 5.0: the reason names the property or the code.
    const std::pair<const char*, const char*> propertyFields[] = {
        {"CONNECT properties: ", "ConnectPropertiesEdit"},
        {"will properties: ", "WillPropertiesEdit"},
        {"PUBLISH properties: ", "PublishPropertiesEdit"},
        {"SUBSCRIBE properties: ", "SubscribePropertiesEdit"},
        {"UNSUBSCRIBE properties: ", "UnsubscribePropertiesEdit"},
        {"DISCONNECT properties: ", "DisconnectPropertiesEdit"},
        {"acknowledgement properties: ", "AckPropertiesEdit"},
        {"AUTH properties: ", "AuthPropertiesEdit"},
        {"acknowledgement reason code: ", "AckReasonSpn"},
    };
    for (const auto& [prefix, control] : propertyFields)
        if (failure.starts_with(prefix))
            return on(control, ControlLabel(form, *FindControl(control)) + Sys(" を送れません"));
    if (failure == "will properties need a will topic and message")
        return on("WillPropertiesEdit", form.WillPropertiesEdit.Label + Sys(" を送るには WillTopic と WillMessage が要ります"));
    if (failure.starts_with("reason code ") && (kind == TFrameKind::Disconnect || kind == TFrameKind::Auth)) {
        const TIntField& field = kind == TFrameKind::Disconnect ? form.DisconnectReasonSpn : form.AuthReasonSpn;
        return on(kind == TFrameKind::Disconnect ? "DisconnectReasonSpn" : "AuthReasonSpn",
                  field.Label + Sys(" はこのパケットに使えない理由コードです"));
    }
    if (failure.starts_with("ClientID not found") && failure.find("clean session") != std::string::npos)
        return TFieldError{{"ClientIDEdit", "CleanSessionChk"},
                           Sys("空の ClientID で接続するには ") + form.CleanSessionChkLabel + Sys(" が要ります") + reason};
    if (failure.starts_with("ClientID not found"))
        return on("ClientIDEdit", form.ClientIDEdit.Label + Sys(" が空です。CONNECT には ClientID が要ります"));
    if (failure == "WillTopic not found")
        return on("WillTopicEdit", Sys("WillMessage を送るには WillTopic が要ります"));
    if (failure == "WillMessage not found")
        return on("WillMessageEdit", Sys("WillTopic を送るには WillMessage が要ります"));
    if (failure == "KeepAliveTimer too big" || failure == "KeepAliveTimer out of range")
        return on("KeepAliveSpn", form.KeepAliveSpn.Label + Sys(" は 0 から 65535 秒までです"));
    if (failure == "Topic not found")
        return on("PublishTopicEdit", form.PublishTopicEdit.Label + Sys(" が空です"));
    if (failure == "PublishData empty")
        return on(dataControl, fromFile ? Sys("ファイルが空です。PUBLISH のデータは 1 バイト以上要ります")
                                        : data.Label + Sys(" が空です。PUBLISH のデータは 1 バイト以上要ります"));
    if (failure == "QoS out of range")
        return on("PublishSpn", form.PublishSpn.Label + Sys(" は 0 から 2 までです"));
    if (failure == "topic parameter error") {
        if (kind == TFrameKind::Unsubscribe)
            return on("UnSubscribeTopicListEdit", form.UnSubscribeTopicListEdit.Label + Sys(" にトピックがありません"));
        const std::size_t topics = SplitCommaText(form.SubscribeTopicListEdit.Text).size();
        const std::size_t qos = SplitCommaText(form.SubscribeQoSListEdit.Text).size();
        if (topics == qos)
            return on("SubscribeTopicListEdit", form.SubscribeTopicListEdit.Label + Sys(" にトピックがありません"));
        return TFieldError{{"SubscribeTopicListEdit", "SubscribeQoSListEdit"},
                           form.SubscribeTopicListEdit.Label + Sys(" のトピック数 (") + std::to_string(topics) +
                               Sys(") と ") + form.SubscribeQoSListEdit.Label + Sys(" の QoS 数 (") +
                               std::to_string(qos) + Sys(") が合いません") + reason};
    }
    if (failure.starts_with("subscription options"))
        return on("SubscribeQoSListEdit", form.SubscribeQoSListEdit.Label + Sys(" の購読オプションが読めません"));
    if (failure.size() > NotAnInteger.size() && failure.ends_with(NotAnInteger)) {
        const std::string item = failure.substr(0, failure.size() - NotAnInteger.size());   // quoted
        return on("SubscribeQoSListEdit", form.SubscribeQoSListEdit.Label + Sys(" の ") + item + Sys(" は数値ではありません"));
    }
    if (failure == "utf8str too big") {
        const std::string tooLong = Sys(" が長すぎます (UTF-8 で 65535 バイトまで)");
        if (kind == TFrameKind::Connect) {
            // In the order the frame carries them.
            const std::pair<const char*, const TTextField*> fields[] = {
                {"ClientIDEdit", &form.ClientIDEdit},   {"WillTopicEdit", &form.WillTopicEdit},
                {"WillMessageEdit", &form.WillMessageEdit}, {"UserNameEdit", &form.UserNameEdit},
                {"PasswordEdit", &form.PasswordEdit},
            };
            for (const auto& [control, field] : fields)
                if (TooLong(*field))
                    return on(control, field->Label + tooLong);
        }
        if (kind == TFrameKind::Subscribe)
            return on("SubscribeTopicListEdit", Sys("トピック") + tooLong);
        if (kind == TFrameKind::Unsubscribe)
            return on("UnSubscribeTopicListEdit", Sys("トピック") + tooLong);
        if (publish)
            return on("PublishTopicEdit", form.PublishTopicEdit.Label + tooLong);
    }
    if (publish && (failure == "RemainLength encode error" || failure == "std::bad_alloc"))
        return on(dataControl, Sys("データが大きすぎます (1 フレームは 268435455 バイトまで)"));
    if (failure == "RemainLength encode error" && kind == TFrameKind::Subscribe)
        return on("SubscribeTopicListEdit", Sys("トピックが多すぎます (1 フレームは 268435455 バイトまで)"));
    if (failure == "RemainLength encode error" && kind == TFrameKind::Unsubscribe)
        return on("UnSubscribeTopicListEdit", Sys("トピックが多すぎます (1 フレームは 268435455 バイトまで)"));
    if (failure.starts_with("MessageID"))
        return TFieldError{{}, Sys("メッセージ識別子が 1 から 65535 の外です") + reason};
    return TFieldError{{}, Sys("フレームを組み立てられませんでした") + reason};
}
