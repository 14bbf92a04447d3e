#include "console/form/Form1.h"

#include "console/form/BuildFailure.h"
#include "console/form/FormCommon.h"
#include "mqtt/codec/FrameBuilders.h"
#include "mqtt/codec/MQTTPacket.h"
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

// A payload the command owns until the frame is built.
struct TPayload {
    std::unique_ptr<uint8_t[]> Bytes;
    int32_t Size = 0;
    bool TooBig = false;          // larger than any frame; nothing was read
};

[[noreturn]] void RaiseFileError(const char* utf8Before, const std::string& path, const char* utf8After)
{
    throw Exception(Sys(utf8Before) + path + Sys(utf8After));
}

// The whole file, in one buffer of exactly its size.
TPayload LoadFile(const std::string& path)
{
    TFileHandle file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (file.Get() < 0 || ::fstat(file.Get(), &st) != 0 || !S_ISREG(st.st_mode))
        RaiseFileError("ファイル ", path, " は開けません");
    TPayload payload;
    if (st.st_size > MaxPayloadSize) {
        payload.TooBig = true;
        return payload;
    }
    payload.Size = static_cast<int32_t>(st.st_size);
    if (payload.Size == 0)
        return payload;
    payload.Bytes = std::make_unique_for_overwrite<uint8_t[]>(static_cast<std::size_t>(payload.Size));
    int32_t done = 0;
    while (done < payload.Size) {
        const ssize_t n = ::read(file.Get(), payload.Bytes.get() + done, static_cast<std::size_t>(payload.Size - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)   // a read error, or the file shrank while it was read
            RaiseFileError("ファイル ", path, " は読めません");
        done += static_cast<int32_t>(n);
    }
    return payload;
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

    for (;;) {
        // Each PUBLISH frame of the run is built anew from the fields (and the file).
        int qos = 0;
        std::unique_ptr<TFrameWait> wait;
        {
            TPayload payload = fromFile ? LoadFile(PublishDataFileEdit.Text) : TextPayload(PublishDataEdit.Text);
            const bool retain = PublishRetainChk;
            qos = PublishSpn.Value();
            const std::string topic = PublishTopicEdit.Text;
            TFrameBuffer frame;
            int32_t frameLen = 0;
            std::string failure = "RemainLength encode error";   // a file larger than any frame
            const bool built = !payload.TooBig && TryBuild([&] {
                MakePublishFrame(frame, frameLen, TPublishParams{SessionVersion, publishDup, retain, qos, topic,
                                                                 messageID, payload.Bytes.get(), payload.Size, {}});
            }, failure);
            payload = TPayload{};
            if (!built) {
                BuildFailed("*ERROR* PUBLISH frame building failed, parameter error", id,
                            fromFile ? TFrameKind::PublishFile : TFrameKind::PublishText, failure);
                return;
            }
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
        answer.reset();

        RequestWithRepeats(
            PubrelTexts, TFrameKind::Pubrel,
            [&](bool dup, TFrameBuffer& frame, int32_t& frameLen) {
                MakePubrelFrame(frame, frameLen, TAckParams{SessionVersion, dup, messageID, 0, {}});
            },
            MessageType::PUBCOMP, messageID, AnswerTimeouts.Pubcomp);
        return;
    }
}
