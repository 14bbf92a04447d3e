#pragma once

#include <QWidget>

class QTabWidget;
class TFramesView;
class TLogPane;
class TMessagesView;
class TSessionFeed;
class TSessionStatus;
struct TFeedBatch;

// The window's lower half: the log, the received messages and the frames, as
// tabs (Alt+1, Alt+2, Alt+3), fed by one TSessionFeed; and the status texts
// that the window puts into its status bar.
class TSessionPanel : public QWidget {
    Q_OBJECT

public:
    explicit TSessionPanel(TSessionFeed& feed, QWidget* parent = nullptr);

    // The console's Opened/Closed state changed or was re-read: what the feed
    // holds is taken in first, so the state follows every report made before it.
    void SetConsoleOpened(bool opened);

    // Room for a dozen lines when the window opens.
    QSize sizeHint() const override;

    QTabWidget* Tabs() const { return FTabs; }
    TLogPane* Log() const { return FLog; }
    TMessagesView* Messages() const { return FMessages; }
    TFramesView* Frames() const { return FFrames; }
    TSessionStatus* Status() const { return FStatus; }

private:
    void Deliver(TFeedBatch& batch);
    void ShowTab(int index);

    TSessionFeed& FFeed;
    QTabWidget* FTabs;
    TLogPane* FLog;
    TMessagesView* FMessages;
    TFramesView* FFrames;
    TSessionStatus* FStatus;
};
