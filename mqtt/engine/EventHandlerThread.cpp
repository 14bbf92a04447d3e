#include "mqtt/engine/EventHandlerThread.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <unistd.h>

#include "diag/EventSink.h"
#include "diag/EventSources.h"
#include "diag/HostUtils.h"
#include "mqtt/codec/FrameBuilders.h"
#include "mqtt/codec/MQTTPacket.h"
#include "mqtt/codec/MessageTypes.h"
#include "mqtt/codec/WirePrimitives.h"
#include "mqtt/engine/FrameSignal.h"
#include "mqtt/engine/FrameWriter.h"
#include "mqtt/engine/PacketQueue.h"
#include "mqtt/engine/SessionObserver.h"
#include "platform/ClientSocket.h"
#include "platform/Error.h"
#include "platform/FileHandle.h"

namespace {

// Slice of a PUBREL wait: short enough that a termination request or a
// closed socket ends the flow at once, without changing the 1000 ms per wait.
constexpr int kWaitSliceMs = 20;

const char* BoolText(bool value)
{
    return value ? "True" : "False";
}

std::string FileError(const std::string& what, const std::string& path, int error)
{
    return what + " \"" + path + "\". " + std::strerror(error);
}

} // namespace

TMQTTEventHandlerThread::TMQTTEventHandlerThread(TClientSocket& socket, TMQTTPacketQueue& receiveQueue,
    const std::string& frameEventName, const std::string& clientID, TFrameWriter& writer, TEventSink& sink,
    TSessionObserver* observer)
    : Socket(socket)
    , ReceiveQueue(receiveQueue)
    , FrameEventName(frameEventName)
    , ClientID(clientID)
    , Writer(writer)
    , Sink(sink)
    , Observer(observer)
{
}

// The client stops the thread before freeing it; this only guards against
// an owner that did not, since the body uses this object's fields.
TMQTTEventHandlerThread::~TMQTTEventHandlerThread()
{
    Terminate();
    WaitFor();
}

void TMQTTEventHandlerThread::SetPayloadDirectory(const std::string& directory)
{
    std::lock_guard<std::mutex> guard(FDirectoryLock);
    FPayloadDirectory = directory;
}

std::string TMQTTEventHandlerThread::PayloadDirectory() const
{
    std::lock_guard<std::mutex> guard(FDirectoryLock);
    return FPayloadDirectory;
}

void TMQTTEventHandlerThread::SetLinePause(int ms)
{
    FLinePauseMs = std::clamp(ms, 0, kMaxLinePauseMs);
}

bool TMQTTEventHandlerThread::Stopping() const
{
    return Terminated() || !Socket.Active();
}

void TMQTTEventHandlerThread::Log(const std::string& message)
{
    Sink.SendEventMsg(message, SourceEventHandler, 0, 0);
}

void TMQTTEventHandlerThread::LogAndPause(const std::string& message, const char* source)
{
    Sink.SendEventMsg(message, source, 0, 0);
    if (const int pause = FLinePauseMs; pause > 0)
        SleepMs(pause);
}

void TMQTTEventHandlerThread::ReportAndClose(const std::string& message)
{
    try {
        Sink.SendEventMsg("TMQTTEventHandlerThread:*EXCEPTIN* " + message + "[" + ClientID + "]", SourceUnit, 0, 0);
    } catch (...) {
    }
    bool closedHere = false;
    try {
        closedHere = Socket.Close();
    } catch (...) {
        closedHere = true;
    }
    if (closedHere && Observer && !Terminated())
        Observer->OnConnectionLost(message);
}

int32_t TMQTTEventHandlerThread::WriteAckFrame(const uint8_t* frame, int32_t length)
{
    return Writer.WriteAckFrame(frame, length, [this] { return Stopping(); });
}

bool TMQTTEventHandlerThread::WaitForPubrel(int32_t messageID, TFrameWait& frameWait,
    std::unique_ptr<TMQTTPacket>& pubrel)
{
    using Clock = std::chrono::steady_clock;
    // Every other frame that arrives starts a new wait of kPubrelWaitMs, but a
    // broker that keeps sending something else must not hold the flow (and every
    // later PUBLISH) forever: all waits together end after kPubrelWaitLimitMs.
    const auto limit = Clock::now() + std::chrono::milliseconds(kPubrelWaitLimitMs);
    for (;;) {
        // Look first: the PUBREL may have come before this wait began.
        if (ReceiveQueue.TakeByKey(MessageType::PUBREL, messageID, pubrel))
            return true;

        const auto deadline = std::min(limit, Clock::now() + std::chrono::milliseconds(kPubrelWaitMs));
        bool signalled = false;
        while (!signalled) {
            if (Stopping())
                return ReceiveQueue.TakeByKey(MessageType::PUBREL, messageID, pubrel);
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0)
                break;
            signalled = frameWait.Wait(static_cast<int>(std::min<int64_t>(left, kWaitSliceMs)));
        }
        if (!signalled)
            return ReceiveQueue.TakeByKey(MessageType::PUBREL, messageID, pubrel);
    }
}

void TMQTTEventHandlerThread::SavePayload(const TMQTTPacket& packet)
{
    std::string directory = PayloadDirectory();
    if (!directory.empty() && directory.back() != '/')
        directory += '/';
    const std::string path = directory + MakeUniqueID("Pub_") + ".dat";

    TFileHandle file(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (file.Get() < 0)
        throw Exception(FileError("Cannot create file", path, errno));

    const uint8_t* data = packet.PublishData;
    int64_t left = packet.PublishDataSize > 0 ? packet.PublishDataSize : 0;
    while (left > 0) {
        const ssize_t n = ::write(file.Get(), data, static_cast<size_t>(left));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw Exception(FileError("Cannot write file", path, errno));
        }
        data += n;
        left -= n;
    }
    if (::close(file.Release()) != 0)
        throw Exception(FileError("Cannot write file", path, errno));

    if (Observer) {
        TSavedMessage saved;
        saved.Time = NowLocal();
        saved.Topic = packet.PublishTopic;
        saved.Qos = packet.FixedQos;
        saved.Retain = packet.FixedRetain;
        saved.Dup = packet.FixedDup;
        saved.MessageID = packet.MessageID;
        saved.Size = packet.PublishDataSize;
        saved.Path = path;
        Observer->OnMessageSaved(saved);
    }
}

void TMQTTEventHandlerThread::ReportAndSave(const TMQTTPacket& packet)
{
    LogAndPause("----- PublishData -------", SourceUnit);
    LogAndPause("MessageType     " + std::to_string(packet.MessageType), SourceEventHandler);
    LogAndPause("MessageID       " + std::to_string(packet.MessageID), SourceEventHandler);
    LogAndPause(std::string("FixedDup        ") + BoolText(packet.FixedDup), SourceEventHandler);
    LogAndPause("FixedQos        " + std::to_string(packet.FixedQos), SourceEventHandler);
    LogAndPause(std::string("FixedRetain     ") + BoolText(packet.FixedRetain), SourceEventHandler);
    LogAndPause("PublishTopic    " + packet.PublishTopic, SourceEventHandler);
    LogAndPause("PublishDataSize " + std::to_string(packet.PublishDataSize), SourceEventHandler);
    if (packet.PublishDataSize > 0 && packet.PublishDataSize < 256) {
        std::string_view payload(reinterpret_cast<const char*>(packet.PublishData),
            static_cast<size_t>(packet.PublishDataSize));
        payload = payload.substr(0, payload.find('\0'));
        LogAndPause("PublishData(UTF8) " + UTF8ToText(payload), SourceEventHandler);
    }
    SavePayload(packet);
}

void TMQTTEventHandlerThread::HandlePublish(TMQTTPacket& packet, TFrameWait& frameWait)
{
    LogAndPause("received PUBLISH [" + ClientID + "]", SourceEventHandler);
    packet.AnalyzePacket();
    const int32_t id = packet.MessageID;

    TFrameBuffer frame;
    int32_t frameLength = 0;
    if (packet.FixedQos == 2) {
        if (!BuildPubrecFrame(frame, frameLength, id)) {
            Log("PUBREC frame building failed, parameter error [" + ClientID + "]");
            return;
        }
        Log("sending PUBREC [" + ClientID + "]");
        // The PUBREL wait begins before the PUBREC goes out, so a PUBREL
        // that answers it at once still ends the wait.
        frameWait.Restart();
        WriteAckFrame(frame.get(), frameLength);
        frame.reset();

        std::unique_ptr<TMQTTPacket> pubrel;
        if (!WaitForPubrel(id, frameWait, pubrel)) {
            Log("cound not receive PUBREL [" + ClientID + "]");
            return;
        }
        LogAndPause("received PUBREL [" + ClientID + "]", SourceEventHandler);
        pubrel.reset();

        if (!BuildPubcompFrame(frame, frameLength, id)) {
            Log("PUBCOMP frame building failed, parameter error [" + ClientID + "]");
            return;
        }
        Log("sending PUBCOMP [" + ClientID + "]");
        WriteAckFrame(frame.get(), frameLength);
        frame.reset();
    } else if (packet.FixedQos == 1) {
        if (!BuildPubackFrame(frame, frameLength, id)) {
            Log("PUBACK frame building failed, parameter error [" + ClientID + "]");
            return;
        }
        Log("sending PUBACK [" + ClientID + "]");
        WriteAckFrame(frame.get(), frameLength);
        frame.reset();
    }
    ReportAndSave(packet);
}

void TMQTTEventHandlerThread::Execute()
{
    try {
        TFrameWait frameWait(FrameEventName);
        while (!Stopping()) {
            try {
                // The starting point of the wait is taken before the queue is
                // looked at, so a PUBLISH stored in between still wakes us.
                frameWait.Restart();
                std::unique_ptr<TMQTTPacket> packet;
                if (!ReceiveQueue.TakeFirst(MessageType::PUBLISH, packet)) {
                    frameWait.Wait(kIdleWaitMs);
                    continue;
                }
                if (Stopping())
                    break;
                HandlePublish(*packet, frameWait);
            } catch (const std::exception& e) {
                ReportAndClose(e.what());
            } catch (...) {
                ReportAndClose("unknown error");
            }
        }
    } catch (const std::exception& e) {
        ReportAndClose(e.what());
    }
}
