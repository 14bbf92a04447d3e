#pragma once

#include "console/window/ConsoleConnection.h"
#include "console/window/SettingsStore.h"

#include <QMainWindow>
#include <QMessageBox>
#include <QPointer>
#include <QRect>
#include <QString>

#include <functional>
#include <mutex>
#include <memory>
#include <string>
#include <vector>

class QDialog;
class QLabel;
class QSplitter;
class QStackedWidget;
class QToolButton;
class TConnectionList;
class TPropertyEditor;
class TSessionPanel;

// The program's window. It only arranges: the connections' list and the
// settings of the one chosen at the left, the session views (log, received
// messages, frames) of every connection as the main area, the status bar and
// the menus. Each connection (TConsoleConnection) runs its own commands.
//
// With a settings folder (the program passes TSettingsStore::DefaultDirectory())
// the window keeps its fields, its geometry, splitters, folded groups and
// active tab between runs and offers named connection profiles; without one it
// keeps nothing.
class TMainWindow : public QMainWindow, private TBoxHost {
    Q_OBJECT

public:
    explicit TMainWindow(int eventMsgPort = 2056, QWidget* parent = nullptr,
                         const QString& settingsDirectory = QString());
    ~TMainWindow() override;

    // Runs FormCreate of every connection (its error box comes before the
    // window is used), then starts their command threads, and gives the window
    // its size: as kept, or fitted to the screen. Call once, after construction.
    void Start();
    // Keeps what is kept, then shuts every connection down. The window takes no
    // commands afterwards.
    void Shutdown();

    // The size and the splitters of a first start on a screen of this size:
    // the window fits it, the session views take at least half of its width.
    void FitToScreen(const QRect& available);

    // The connections, in the list's order; the one whose settings are shown.
    int ConnectionCount() const { return static_cast<int>(Connections.size()); }
    TConsoleConnection& Connection(int index) const { return *Connections.at(static_cast<std::size_t>(index)); }
    int ChosenIndex() const { return CurrentIndex; }
    TConsoleConnection& Current() const { return *Connections.at(static_cast<std::size_t>(CurrentIndex)); }
    // A new connection with the window's defaults, chosen; its index.
    int AddConnection();
    // Closes and removes a connection (never the last one).
    void RemoveConnection(int index);
    void ChooseConnection(int index);

    // Of the chosen connection: ends the running command's wait at once (the
    // "中止" button and Esc); a running script stops too.
    void CancelRunning();
    // "スクリプトとして保存…": the fields that differ from the defaults and the
    // commands clicked since the last "Open", as a script tarnwick-cli replays.
    // False (with a box) when nothing was recorded or the file cannot be written.
    bool SaveSessionScript(const QString& path);
    // The session recorded for "スクリプトとして保存…": one connection's commands
    // since its "Open", or, when several connections were used, each
    // connection's lines after a "client NAME" line, in the order they ran.
    // Empty when nothing was recorded.
    std::string RecordedScript() const;
    // "スクリプトを実行…": runs the script in turn with the commands; its lines go
    // to the log pane, the runner's own notes and verdict too. A script that
    // names several clients runs over the connections of those names (made
    // when missing), each in its turn held for the script while it runs.
    void RunScriptFile(const QString& path);
    // The settings folder's store; none when the window keeps nothing.
    TSettingsStore* Settings() const { return Store.get(); }
    // Connection profiles of the chosen connection: by the name in the profile box.
    void SaveProfile();
    void LoadProfile();
    void DeleteProfile();

    // Commands (and timer ticks) clicked but not yet finished, of every connection.
    int Outstanding() const;
    bool IsIdle() const { return Outstanding() == 0; }
    // Runs fn on the chosen connection's form in turn with its commands.
    void PostToForm(std::function<void(TForm1&)> fn);
    // TFrontEnd's timer call of the chosen connection, as its form makes it.
    void SetPingTimer(bool enabled, int intervalMs) { Current().SetPingTimer(enabled, intervalMs); }

    const QTimer& PingTimer() const { return Current().PingTimer(); }
    QLabel* StatusText() const { return StatusLabel; }
    // The log, the received messages and the frames of every connection.
    TSessionPanel* SessionViews() const { return Views; }

    // The error box title: the program file's name without its extension.
    static QString AppTitle();
    static QString ToQ(const std::string& system);
    static std::string ToSystem(const QString& text);

    // The text under a field of the chosen connection that a frame could not be built from.
    QString FieldError(const QString& controlName) const;
    // The rows of an MQTT 5.0 properties field (its text line is the field); null for other names.
    TPropertyEditor* PropertyEditor(const QString& controlName) const;

signals:
    void CommandStarted(const QString& caption);
    void CommandFinished(const QString& caption);
    void BecameIdle();
    // The window closed for good (its connections shut down); the program ends
    // here, also when the window had already gone out of sight while its last
    // command ended.
    void Closed();

protected:
    // The modal box and the file chooser themselves; tests put their own in.
    virtual void PresentMessageBox(QMessageBox::Icon icon, const QString& title, const QString& text);
    virtual bool PresentFileDialog(const QString& initialDir, const QString& initialFile, QString& chosen,
                                   TFileDialogKind kind);
    // A question with "はい" and "いいえ": true for yes.
    virtual bool PresentQuestion(const QString& title, const QString& text);

    void closeEvent(QCloseEvent* event) override;

private:
    void BuildUi();
    void BuildMenus();
    TConsoleConnection& MakeConnection();
    void UpdateBusy();
    void OnFinished();
    void RestoreWindow(const std::vector<TSettingsStore::TKeptConnection>& kept);
    void RunSessionScript(const struct TScript& script, const std::string& name);
    void KeepWindow();

    // TBoxHost
    void HostMessageBox(QMessageBox::Icon icon, const QString& title, const QString& text) override;
    bool HostFileDialog(const QString& initialDir, const QString& initialFile, QString& chosen,
                        TFileDialogKind kind) override;

    const int EventPort;
    std::unique_ptr<TSettingsStore> Store;
    std::vector<std::unique_ptr<TConsoleConnection>> Connections;
    int CurrentIndex = 0;
    int NextId = 1;
    QSplitter* MainSplit = nullptr;
    TConnectionList* ConnectionBar = nullptr;
    QStackedWidget* SettingsStack = nullptr;
    TSessionPanel* Views = nullptr;
    QLabel* StatusLabel = nullptr;
    QToolButton* CancelBtn = nullptr;
    QWidget* StatusHolder = nullptr;   // the chosen connection's status texts sit in it
    QString LastScriptDir;             // where the script choosers open
    // The lines each connection's recorded commands added, in the order they ran.
    mutable std::mutex JournalLock;
    struct TJournalEntry {
        int Connection;            // its number
        std::string Client;        // its name in a script when the lines were recorded
        std::vector<std::string> Lines;
    };
    std::vector<TJournalEntry> Journal;
    // The connections held for a script over several; let go when the window closes.
    struct THold;
    std::vector<std::weak_ptr<THold>> Holds;
    void AbandonHolds();
    // The box or file chooser on screen for a command, closed when the window closes.
    QPointer<QDialog> ActiveDialog;

    bool Started = false;
    bool ShutDown = false;
    bool ClosingUi = false;
    bool CloseWhenIdle = false;
};
