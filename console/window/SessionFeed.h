#pragma once

#include "console/window/FramesModel.h"
#include "console/window/LogModel.h"
#include "console/window/MessagesModel.h"
#include "diag/EventSink.h"
#include "mqtt/engine/SessionObserver.h"

#include <QObject>

#include <atomic>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

class QTimer;

// A change of the session's state, in the order it happened.
struct TStatusEvent {
    enum TKind {
        Opening,           // "Open" began a new connection
        Connected,         // the connection is up; Reason: its TLS version, empty in clear text
        Closed,            // "Close" ended it
        ConnackReceived,   // Value: the return code
        DisconnectSent,
        ConnectionLost,    // Reason: the engine's reason
        QueueCount,        // Value: packets in the receive queue
        MessageSaved,
        PauseHolds,        // Value: the report pause in ms; Reason: the messages waiting, in decimal
    };
    TStatusEvent(TKind kind, int value = 0, std::string reason = {})
        : Kind(kind), Value(value), Reason(std::move(reason))
    {
    }
    TKind Kind;
    int Value;
    std::string Reason;
};

// What the feed hands to the window at one time.
struct TFeedBatch {
    std::vector<TLogEntry> Lines;
    std::vector<TFrameEntry> Frames;
    std::vector<TReceivedMessage> Messages;
    std::vector<TStatusEvent> Status;
    bool Empty() const { return Lines.empty() && Frames.empty() && Messages.empty() && Status.empty(); }
};

// The bridge between the threads that report and the window's thread. Lines
// of the diagnostics and the session observer's calls come on any thread; each
// is copied into a pending list under a lock and nothing more, so a reporting
// thread is never held up by the window. A timer on the window's thread, run
// only while something is pending, hands the lists over in batches. A flood of
// lines thus costs the window one insertion per batch, and a batch takes at
// most a bounded share of what waits, so the window keeps painting.
class TSessionFeed : public QObject, public TSessionObserver {
    Q_OBJECT

public:
    struct TLimits {
        std::size_t Lines = TLogModel::DefaultCapacity;           // pending beyond this: the oldest go
        std::size_t Frames = TFramesModel::DefaultCapacity;
        std::size_t FrameBytes = TFramesModel::DefaultByteBudget;
        std::size_t LinesPerBatch = 2000;
        std::size_t FramesPerBatch = 1000;
        std::size_t MessageBytes = 4096;   // a line longer than this is kept cut, with "..."
        int IntervalMs = 50;               // from the first pending item to its batch
        int FollowUpMs = 10;               // between batches while more is pending
    };

    explicit TSessionFeed(QObject* parent = nullptr);
    TSessionFeed(const TLimits& limits, QObject* parent);

    // The observer to add to the form's TEventFanOut.
    void OnEvent(const TEventRecord& record);

    // TSessionObserver, on the client's threads.
    void OnFrame(TFrameDirection direction, const uint8_t* frame, int32_t size) override;
    void OnConnectionLost(const std::string& reason) override;
    void OnConnected(const std::string& tlsVersion) override;
    void OnQueueCount(int count) override;
    void OnMessageSaved(const TSavedMessage& message) override;
    void OnProtocolVersion(TProtocolVersion version) override;
    void OnReportPauseHolds(int waiting, int pauseMs) override;

    // On the window's thread: hands over a batch now, with every pending change
    // of state, rather than at the timer's next tick.
    void Flush();
    bool HasPending() const;
    // Lines and frames that a stalled window let pile up beyond the limits.
    uint64_t DroppedLines() const;
    uint64_t DroppedFrames() const;

signals:
    // On the window's thread; receivers connected directly may move out what they keep.
    void BatchReady(TFeedBatch& batch);

private:
    // With FLock held: true when the caller must start the timer.
    bool MarkPending();
    void Post(bool start);

    const TLimits FLimits;
    QTimer* FTimer;

    mutable std::mutex FLock;
    std::deque<TLogEntry> FLines;
    std::deque<TFrameEntry> FFrames;
    std::size_t FFrameBytes = 0;
    std::vector<TReceivedMessage> FMessages;
    int FOpenings = 0;   // the "Open"s seen: each starts a new TCP stream
    std::vector<TStatusEvent> FStatus;
    uint64_t FDroppedLines = 0;
    uint64_t FDroppedFrames = 0;
    bool FScheduled = false;
    std::atomic<TProtocolVersion> FVersion{TProtocolVersion::MQTT31};   // the connection's, for the frames view
};
