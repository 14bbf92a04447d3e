#pragma once

#include "console/form/FieldTable.h"
#include "console/form/Form1.h"
#include "console/script/SessionRecorder.h"
#include "console/window/core/CommandQueue.h"
#include "console/window/SettingsPanel.h"

#include <QMessageBox>
#include <QObject>
#include <QString>
#include <QTimer>

#include <atomic>
#include <condition_variable>
#include <thread>
#include <vector>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

class TScriptRunner;
class TSessionFeed;
class TSessionStatus;
class TSettingsStore;

// What a file chooser is for: a file to send or read (no type filter), a
// script to run, or where to save a script.
enum class TFileDialogKind { OpenFile, OpenScript, SaveScript };

// Where a connection's boxes and file choosers are shown: the window.
class TBoxHost {
public:
    virtual ~TBoxHost() = default;
    virtual void HostMessageBox(QMessageBox::Icon icon, const QString& title, const QString& text) = 0;
    virtual bool HostFileDialog(const QString& initialDir, const QString& initialFile, QString& chosen,
                                TFileDialogKind kind) = 0;
};

// One connection of the window: its console form, the thread its commands run
// on, its settings panel, its feed of lines, frames and messages, and the
// status of its session. The form's commands run on the command thread, in
// the order they were clicked, so that the window keeps painting while a
// command waits for the broker. The form belongs to that thread while it runs:
// each command takes a copy of the fields as they were at the click, and the
// panel learns what the logic changed through views posted back to it. Boxes
// and the file chooser that a command asks for are shown by the host while the
// command waits for the answer.
class TConsoleConnection : public QObject, public TFrontEnd {
    Q_OBJECT

public:
    // id: the connection's number in the window, which its rows in the views carry.
    TConsoleConnection(int id, int eventMsgPort, TSettingsStore* store, TBoxHost& host, QObject* parent = nullptr);
    ~TConsoleConnection() override;

    int Id() const { return FId; }
    // The profile's name when one was loaded or saved, else the ClientID.
    QString Name() const;
    // The profile it is named after (empty: none); setting it shows it in the profile box.
    const QString& ProfileName() const { return FProfileName; }
    void SetProfileName(const QString& name);
    // The form's caption: "Tarnwick テストプログラム".
    QString Caption() const;
    TSettingsPanel* Panel() const { return FPanel; }
    TSessionFeed& Feed() const { return *FFeed; }
    TSessionStatus* Status() const { return FStatus; }
    const QTimer& PingTimer() const { return FPingTimer; }
    bool Opened() const { return FOpened; }

    // Runs FormCreate here (its error box comes before the window is used), then
    // starts the command thread. Call once. kept, when given, puts the fields
    // kept from the last run over the form's (true when it did).
    void Start(const std::function<bool(TFieldValues&)>& kept = {});
    // Forgets waiting commands, cancels the boxes the running one asked for, waits
    // for it to end, then runs FormDestroy. The connection takes no commands afterwards.
    void Shutdown();
    // Stops taking commands and ends every wait, ahead of Shutdown.
    void BeginClosing();
    // Ends the running command's wait at once, as if it had timed out for the
    // last time; a running script stops too.
    void CancelRunning();
    // Boxes asked for from now on go to the log of warnings only.
    void SuppressBoxes() { FSuppressBoxes = true; }

    int Outstanding() const { return FPending; }
    bool IsIdle() const { return FPending == 0; }
    const QString& Running() const { return FRunning; }
    void PostToForm(std::function<void(TForm1&)> fn);

    // The script recorded since the last "Open" (system code page); empty before an "Open".
    std::string RecordedScript() const;
    // Runs a script of this connection alone in turn with its commands.
    void RunScriptFile(const QString& path);
    // Told, on the command thread, of the script lines each recorded command
    // added (a connection's own lines start anew at its "Open").
    std::function<void(const std::string& client, const std::vector<std::string>& lines)> Recorded;

    // The name a script calls this connection by: the one a script gave it,
    // else its name with what a client name cannot hold made "-". Any thread.
    std::string ScriptName() const;
    void SetScriptName(const std::string& name);

    // A script over several connections is driven from one thread: while it
    // runs, that thread stands in for this connection's command thread, whose
    // turn it holds (the connection's own thread waits in a job meanwhile).
    void SetDriver(std::thread::id driver, TScriptRunner* runner);
    TForm1& Form() { return *FForm; }
    // The fields the driver's steps changed, to the panel (driver's thread).
    void PublishFromDriver() { PublishView(); }
    // A line of the window's own into this connection's log (any thread).
    void Say(const std::string& text) { ScriptNote(text); }

    // TFrontEnd: any of these may be called on the command thread.
    void ShowError(const std::string& text) override;
    void ShowMessageBox(const std::string& title, const std::string& text, bool warning) override;
    bool ChooseFile(const std::string& initialDir, const std::string& initialFile, std::string& chosenPath) override;
    void SetPingTimer(bool enabled, int intervalMs) override;
    void ControlsChanged() override;
    void ShowFieldError(const std::string& controlName, const std::string& reason) override;

signals:
    void CommandStarted(const QString& caption);
    void CommandFinished(const QString& caption);
    void BecameIdle();
    void BusyChanged();
    // The name, the Opened state, the session or TLS changed.
    void StateChanged();
    // A line for the status bar (a reason that names no field, a profile saved).
    void Note(const QString& text);

private:
    // One queued command: its handler, the fields as they were when it was
    // clicked, and the enable flag of its control, if it has one.
    struct TCommandJob {
        THandler Handler = nullptr;
        std::function<void(TForm1&)> Custom;
        TFieldValues Fields;
        bool TForm1::*Gate = nullptr;
        QString Caption;
    };

    void Enqueue(TCommandJob job);
    void OnPingTimerTimeout();
    void OnStarted(const QString& caption);
    void OnFinished(const QString& caption);
    void ApplyView(const TFormView& view);
    void ApplyTimer(bool enabled, int intervalMs);
    void MarkFieldError(const QString& controlName, const QString& reason);

    // Command thread.
    void RunCommand(const TCommandJob& job);
    void PublishView();
    template <typename R>
    R AskUi(std::function<R()> ask, R cancelled, const QString& what);
    bool BoxToRunner(const std::string& title, const std::string& text);
    void ScriptNote(const std::string& text);
    bool OnCommandThread() const;
    void UpdateScriptName();

    const int FId;
    TBoxHost& FHost;
    // Declared before the form, so it outlives the form's connection and its
    // threads, which report to it until the form is gone.
    std::unique_ptr<TSessionFeed> FFeed;
    std::unique_ptr<TForm1> FForm;
    TCommandQueue FCommands;
    QTimer FPingTimer;
    TSettingsPanel* FPanel = nullptr;     // the window places it; deleted with the connection
    TSessionStatus* FStatus = nullptr;    // likewise
    QString FProfileName;

    // This thread only.
    int FPending = 0;
    QString FRunning;
    bool FStarted = false;
    bool FShutDown = false;
    bool FClosingUi = false;
    bool FSuppressBoxes = false;
    bool FOpened = false;

    // Command thread only: the fields as the panel last knew them.
    TFieldValues FBaseline;
    // The commands since the last "Open", for "スクリプトとして保存…"; fed on the command thread.
    TSessionRecorder FRecorder;
    std::size_t FJournaled = 0;        // recorded lines handed to Recorded so far
    std::atomic<std::thread::id> FDriver{};
    mutable std::mutex FNameLock;
    std::string FScriptName;           // as a script gave it; empty: from the name
    std::string FDerivedName;          // from Name(), kept for other threads
    // The script running on the command thread, for the cancel and its boxes.
    std::mutex FRunnerLock;
    TScriptRunner* FActiveRunner = nullptr;

    // Between the threads: a command waiting for a box, and the end of all waiting.
    std::mutex FAskLock;
    std::condition_variable FAskDone;
    bool FClosing = false;
};
