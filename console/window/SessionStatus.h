#pragma once

#include "console/window/SessionFeed.h"

#include <QWidget>

#include <cstdint>
#include <string>
#include <vector>

class QLabel;

// The status bar's account of the session: the connection as the socket has
// it (not only as the buttons have it) and whether TLS encrypts it, whether
// the MQTT session is up, the packets waiting in the receive queue and the
// messages saved.
class TSessionStatus : public QWidget {
    Q_OBJECT

public:
    explicit TSessionStatus(QWidget* parent = nullptr);

    // The console's state, Opened or Closed, as the form's buttons show it.
    void SetConsoleOpened(bool opened);
    void Apply(const std::vector<TStatusEvent>& events);

    QLabel* ConnectionLabel() const { return FConnection; }
    QLabel* SessionLabel() const { return FSession; }
    QLabel* QueueLabel() const { return FQueue; }
    QLabel* SavedLabel() const { return FSaved; }
    // Shown once the report pause holds received messages back.
    QLabel* PauseLabel() const { return FPause; }
    // The state at a glance, for the list of connections.
    bool Opened() const { return FOpened; }
    bool Lost() const { return FLost; }
    bool SessionUp() const { return FSessionUp && FOpened && !FLost; }

private:
    void Show();

    QLabel* FConnection;
    QLabel* FSession;
    QLabel* FQueue;
    QLabel* FSaved;
    QLabel* FPause;

    bool FOpened = false;
    bool FLost = false;
    std::string FLostReason;
    std::string FTlsVersion;   // of the connection; empty in clear text
    bool FSessionUp = false;
    int FQueueCount = 0;
    uint64_t FSavedCount = 0;
    int FPauseMs = 0;              // 0: the pause holds nothing back
    std::string FPauseWaiting;
};
