#include "console/form/Form1.h"

#include "console/form/BuildFailure.h"
#include "console/form/FormCommon.h"
#include "mqtt/codec/FrameBuilders.h"
#include "mqtt/codec/MQTTPacket.h"
#include "mqtt/codec/ReasonCodes.h"
#include "mqtt/codec/WirePrimitives.h"
#include "mqtt/engine/FrameSignal.h"
#include "mqtt/engine/MQTTClient.h"
#include "platform/Error.h"
#include "platform/FileHandle.h"
#include "platform/Thread.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

using namespace FormCommon;

namespace {

// The largest payload any PUBLISH frame can carry: the remaining length field
// holds at most 268435455 bytes, and the topic needs at least its length bytes.
constexpr int64_t MaxPayloadSize = 268435455 - 2;

// A text payload the command owns until the frame is built.
struct TPayload {
    std::unique_ptr<uint8_t[]> Bytes;
    int32_t Size = 0;
};

[[noreturn]] void RaiseFileError(const char* utf8Before, const std::string& path, const char* utf8After)
{
    throw Exception(Sys(utf8Before) + path + Sys(utf8After));
}

// The PUBLISH frame of a file, its payload read straight into the frame, so
// the payload is in memory once. The file is opened without blocking and must
// be a regular file: a FIFO or a device would hang the console or never end.
// Raises the file's box texts; false with the builder's reason in failure when
// the frame cannot be built (the frame-building failure line).
bool BuildFilePublishFrame(const std::string& path, const TPublishParams& params, TFrameBuffer& frame,
    int32_t& frameLen, std::string& failure)
{
    TFileHandle file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat st {};
    if (file.Get() < 0 || ::fstat(file.Get(), &st) != 0 || !S_ISREG(st.st_mode))
        RaiseFileError("ファイル ", path, " は開けません");
    if (st.st_size > MaxPayloadSize) {
        failure = "RemainLength encode error";   // larger than any frame
        return false;
    }
    TPublishParams sized = params;
    sized.DataSize = static_cast<int32_t>(st.st_size);
    uint8_t* payload = nullptr;
    if (!BuildPublishFrameWithRoom(frame, frameLen, sized, payload, &failure))
        return false;
    int32_t done = 0;
    while (done < sized.DataSize) {
        const ssize_t n = ::read(file.Get(), payload + done, static_cast<std::size_t>(sized.DataSize - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {   // a read error, or the file shrank while it was read
            frame.reset();
            RaiseFileError("ファイル ", path, " は読めません");
        }
        done += static_cast<int32_t>(n);
    }
    return true;
}

TPayload TextPayload(const std::string& text)
{
    const std::string utf8 = TextToUTF8(text);
    TPayload payload;
    payload.Size = static_cast<int32_t>(utf8.size());
    payload.Bytes = std::make_unique_for_overwrite<uint8_t[]>(utf8.size() + 1);
    std::copy(utf8.begin(), utf8.end(), payload.Bytes.get());
    return payload;
}

const TRequestTexts PubrelTexts{
    "*ERROR* PUBREL frame building failed, parameter error",
    "sending PUBREL",
    "could not receive PUBCOMP, retrying..",
    "*ERROR* could not receive PUBCOMP",
    "received PUBCOMP",
};

}  // namespace

void TForm1::Button5Click()
{
    PublishFlow(false);
}

void TForm1::Button7Click()
{
    PublishFlow(true);
}

void TForm1::PublishFlow(bool fromFile)
{
    TMQTTClient& client = RequireClient();
    const std::string& id = client.ClientID;
    const int32_t messageID = NextMessageID();
    int pubackTimeouts = 0, pubrecTimeouts = 0;
    bool publishDup = false;
    // The flow is open at the broker from its first QoS 1 or 2 frame until
    // its last answer (or a refusing PUBREC) came.
    auto flowEnded = [&] { UnacknowledgedPublishes.erase(messageID); };

    for (;;) {
        // Each PUBLISH frame of the run is built anew from the fields (and the file).
        int qos = 0;
        std::unique_ptr<TFrameWait> wait;
        {
            const bool retain = PublishRetainChk;
            qos = PublishSpn.Value();
            const std::string topic = PublishTopicEdit.Text;
            TFrameBuffer frame;
            int32_t frameLen = 0;
            TPublishParams params{SessionVersion, publishDup, retain, qos, topic, messageID, nullptr, 0, {}};
            std::string failure;
            bool built = TryBuild(
                [&](std::string&) {
                    params.Properties =
                        FieldProperties(PublishPropertiesEdit, TPacketKind::Publish, "PUBLISH properties", !publishDup);
                    return true;
                },
                failure);
            if (built && fromFile) {
                built = BuildFilePublishFrame(PublishDataFileEdit.Text, params, frame, frameLen, failure);
            } else if (built) {
                const TPayload payload = TextPayload(PublishDataEdit.Text);
                params.Data = payload.Bytes.get();
                params.DataSize = payload.Size;
                built = BuildPublishFrame(frame, frameLen, params, &failure);
            }
            if (!built) {
                BuildFailed("*ERROR* PUBLISH frame building failed, parameter error", id,
                            fromFile ? TFrameKind::PublishFile : TFrameKind::PublishText, failure);
                return;
            }
            const bool opens = qos > 0 && UnacknowledgedPublishes.insert(messageID).second;
            WarnLimits(frame.get(), frameLen, params.Properties, opens ? UnacknowledgedPublishes.size() : 0);
            Log(Tagged("sending PUBLISH", id), SourceUnit);
            if (qos != 0)
                wait = std::make_unique<TFrameWait>(client.FrameEventName);
            client.SendFrame(frame.get(), frameLen);
        }
        if (qos == 0)
            return;

        std::unique_ptr<TMQTTPacket> answer;
        if (qos == 1) {
            if (WaitForAnswer(*wait, MessageType::PUBACK, messageID, AnswerTimeouts.Puback, answer)) {
                Log(Tagged("received PUBACK", id), SourceConsole);
                Pause();
                ReportAckLines(*answer);
                flowEnded();
                return;
            }
            if (++pubackTimeouts > MaxTimeouts || WaitCancelled) {
                Log(Tagged("*ERROR* could not receive PUBACK", id), SourceUnit);
                return;
            }
            Log(Tagged("could not receive PUBACK, retrying..", id), SourceConsole);
            publishDup = true;
            continue;
        }

        if (!WaitForAnswer(*wait, MessageType::PUBREC, messageID, AnswerTimeouts.Pubrec, answer)) {
            if (++pubrecTimeouts > MaxTimeouts || WaitCancelled) {
                Log(Tagged("*ERROR* could not receive PUBREC", id), SourceUnit);
                return;
            }
            Log(Tagged("could not receive PUBREC, retrying..", id), SourceConsole);
            publishDup = true;
            continue;
        }
        Log(Tagged("received PUBREC", id), SourceConsole);
        Pause();
        ReportAckLines(*answer);
        if (answer->Version == TProtocolVersion::MQTT50 && answer->ReasonCode >= 0x80) {
            // 5.0: the broker refused the message; no PUBREL follows.
            flowEnded();
            Log(Tagged(("PUBREC with reason code " +
                        FormatReasonCode(static_cast<uint8_t>(answer->ReasonCode), TPacketKind::Pubrec) +
                        " ends the QoS 2 flow without PUBREL").c_str(),
                       id),
                SourceConsole);
            Pause();
            return;
        }
        answer.reset();

        const std::unique_ptr<TMQTTPacket> pubcomp = RequestWithRepeats(
            PubrelTexts, TFrameKind::Pubrel,
            [&](bool dup, TFrameBuffer& frame, int32_t& frameLen, std::string& reason) {
                const TAckSettings acks =
                    SessionVersion == TProtocolVersion::MQTT50 ? ReadAckSettings() : TAckSettings();
                return BuildPubrelFrame(frame, frameLen,
                    AckParamsFor(acks, SessionVersion, TPacketKind::Pubrel, messageID, dup), &reason);
            },
            MessageType::PUBCOMP, messageID, AnswerTimeouts.Pubcomp);
        if (pubcomp) {
            ReportAckLines(*pubcomp);
            flowEnded();
        }
        return;
    }
}
