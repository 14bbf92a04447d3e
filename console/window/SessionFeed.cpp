#include "console/window/SessionFeed.h"

#include "diag/EventSources.h"
#include "mqtt/codec/MessageTypes.h"

#include <QMetaObject>
#include <QTimer>

#include <algorithm>

namespace {

// The console's own lines that open and close a connection: every report of a
// connection comes after the first and before the second, in the one order of
// the diagnostics.
constexpr const char* OpeningLine = "connecting...";
constexpr const char* ClosedLine = "disconnected.";

}  // namespace

TSessionFeed::TSessionFeed(QObject* parent) : TSessionFeed(TLimits{}, parent)
{
}

TSessionFeed::TSessionFeed(const TLimits& limits, QObject* parent)
    : QObject(parent), FLimits(limits), FTimer(new QTimer(this))
{
    FTimer->setSingleShot(true);
    connect(FTimer, &QTimer::timeout, this, &TSessionFeed::Flush);
}

bool TSessionFeed::MarkPending()
{
    if (FScheduled)
        return false;
    FScheduled = true;
    return true;
}

void TSessionFeed::Post(bool start)
{
    if (!start)
        return;
    // Queued to the window's thread: the timer belongs to it.
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (!FTimer->isActive())
                FTimer->start(FLimits.IntervalMs);
        },
        Qt::QueuedConnection);
}

void TSessionFeed::OnEvent(const TEventRecord& record)
{
    // Called under the fan-out's lock: copy (a bounded part of) the line and go.
    TLogEntry entry{record.Sequence, record.Time, record.Source, {}};
    if (record.Message.size() > FLimits.MessageBytes)
        entry.Message = record.Message.substr(0, FLimits.MessageBytes) + "...";
    else
        entry.Message = record.Message;
    const bool console = record.Source == SourceConsole;
    bool start;
    {
        std::lock_guard lock(FLock);
        if (console && record.Message == OpeningLine) {
            FStatus.push_back({TStatusEvent::Opening});
            ++FOpenings;
        }
        else if (console && record.Message == ClosedLine)
            FStatus.push_back({TStatusEvent::Closed});
        FLines.push_back(std::move(entry));
        if (FLines.size() > FLimits.Lines) {
            FLines.pop_front();
            ++FDroppedLines;
        }
        start = MarkPending();
    }
    Post(start);
}

void TSessionFeed::OnProtocolVersion(TProtocolVersion version)
{
    FVersion.store(version);
}

void TSessionFeed::OnFrame(TFrameDirection direction, const uint8_t* frame, int32_t size)
{
    // Outside the lock: the header is read and at most FrameKeepBytes copied.
    TFrameEntry entry = MakeFrameEntry(direction, frame, size, FrameKeepBytes, FVersion.load());
    bool start;
    {
        std::lock_guard lock(FLock);
        entry.Stream = FOpenings;
        if (!entry.Malformed) {
            if (direction == TFrameDirection::Received && entry.Type == MessageType::CONNACK)
                FStatus.push_back({TStatusEvent::ConnackReceived, entry.ReturnCode});
            else if (direction == TFrameDirection::Sent && entry.Type == MessageType::DISCONNECT)
                FStatus.push_back({TStatusEvent::DisconnectSent});
        }
        FFrameBytes += entry.Bytes.size();
        FFrames.push_back(std::move(entry));
        while (FFrames.size() > 1 && (FFrames.size() > FLimits.Frames || FFrameBytes > FLimits.FrameBytes)) {
            FFrameBytes -= FFrames.front().Bytes.size();
            FFrames.pop_front();
            ++FDroppedFrames;
        }
        start = MarkPending();
    }
    Post(start);
}

void TSessionFeed::OnConnectionLost(const std::string& reason)
{
    bool start;
    {
        std::lock_guard lock(FLock);
        FStatus.push_back({TStatusEvent::ConnectionLost, 0, reason});
        start = MarkPending();
    }
    Post(start);
}

void TSessionFeed::OnConnected(const std::string& tlsVersion)
{
    bool start;
    {
        std::lock_guard lock(FLock);
        FStatus.push_back({TStatusEvent::Connected, 0, tlsVersion});
        start = MarkPending();
    }
    Post(start);
}

void TSessionFeed::OnQueueCount(int count)
{
    bool start;
    {
        std::lock_guard lock(FLock);
        // Counts in a row: only the last one matters.
        if (!FStatus.empty() && FStatus.back().Kind == TStatusEvent::QueueCount)
            FStatus.back().Value = count;
        else
            FStatus.push_back({TStatusEvent::QueueCount, count});
        start = MarkPending();
    }
    Post(start);
}

void TSessionFeed::OnReportPauseHolds(int waiting, int pauseMs)
{
    bool start;
    {
        std::lock_guard lock(FLock);
        FStatus.push_back({TStatusEvent::PauseHolds, pauseMs, std::to_string(waiting)});
        start = MarkPending();
    }
    Post(start);
}

void TSessionFeed::OnMessageSaved(const TSavedMessage& message)
{
    // The first bytes while the file is fresh, outside the lock.
    TReceivedMessage received{message, ReadPayloadHead(message.Path)};
    bool start;
    {
        std::lock_guard lock(FLock);
        FMessages.push_back(std::move(received));
        FStatus.push_back({TStatusEvent::MessageSaved});
        start = MarkPending();
    }
    Post(start);
}

void TSessionFeed::Flush()
{
    TFeedBatch batch;
    bool more;
    {
        std::lock_guard lock(FLock);
        const auto lines = static_cast<std::ptrdiff_t>(std::min(FLines.size(), FLimits.LinesPerBatch));
        batch.Lines.assign(std::make_move_iterator(FLines.begin()), std::make_move_iterator(FLines.begin() + lines));
        FLines.erase(FLines.begin(), FLines.begin() + lines);
        const auto frames = static_cast<std::ptrdiff_t>(std::min(FFrames.size(), FLimits.FramesPerBatch));
        for (auto it = FFrames.begin(); it != FFrames.begin() + frames; ++it)
            FFrameBytes -= it->Bytes.size();
        batch.Frames.assign(std::make_move_iterator(FFrames.begin()),
                            std::make_move_iterator(FFrames.begin() + frames));
        FFrames.erase(FFrames.begin(), FFrames.begin() + frames);
        batch.Messages.swap(FMessages);
        batch.Status.swap(FStatus);
        more = !FLines.empty() || !FFrames.empty();
        FScheduled = more;
    }
    if (more)
        FTimer->start(FLimits.FollowUpMs);
    if (!batch.Empty())
        emit BatchReady(batch);
}

bool TSessionFeed::HasPending() const
{
    std::lock_guard lock(FLock);
    return !FLines.empty() || !FFrames.empty() || !FMessages.empty() || !FStatus.empty();
}

uint64_t TSessionFeed::DroppedLines() const
{
    std::lock_guard lock(FLock);
    return FDroppedLines;
}

uint64_t TSessionFeed::DroppedFrames() const
{
    std::lock_guard lock(FLock);
    return FDroppedFrames;
}
