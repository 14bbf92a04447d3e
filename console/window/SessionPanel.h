#pragma once

#include <QWidget>

class QTabWidget;
class TConnectionNames;
class TFramesView;
class TLogPane;
class TMessagesView;
class TSessionFeed;
class TSessionStatus;
struct TFeedBatch;

// The window's main area: the log, the received messages and the frames, as
// tabs (Alt+1, Alt+2, Alt+3), fed by the feeds of every connection; each row
// carries the number of the connection it came from.
class TSessionPanel : public QWidget {
    Q_OBJECT

public:
    explicit TSessionPanel(QWidget* parent = nullptr);

    // The views take in the feed's batches from now on, as the connection's rows.
    void AddFeed(TSessionFeed& feed, int connection);

    QSize sizeHint() const override;

    QTabWidget* Tabs() const { return FTabs; }
    TLogPane* Log() const { return FLog; }
    TMessagesView* Messages() const { return FMessages; }
    TFramesView* Frames() const { return FFrames; }
    // The status texts of the connection the window shows (in its status bar).
    TSessionStatus* Status() const { return FStatus; }
    void SetStatus(TSessionStatus* status) { FStatus = status; }
    // The view of the current tab that Ctrl+F finds in, and its find field.
    void FocusFind();
    void ShowTab(int index);
    // The connections by number and name, for the views' connection columns and boxes.
    TConnectionNames* Names() const { return FNames; }

private:
    void Deliver(TFeedBatch& batch, int connection);

    QTabWidget* FTabs;
    TLogPane* FLog;
    TMessagesView* FMessages;
    TFramesView* FFrames;
    TSessionStatus* FStatus = nullptr;
    TConnectionNames* FNames = nullptr;
};
