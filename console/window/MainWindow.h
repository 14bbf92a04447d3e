#pragma once

#include "console/form/Form1.h"
#include "console/window/CommandQueue.h"
#include "console/form/FieldTable.h"
#include "console/script/SessionRecorder.h"

#include <QMainWindow>
#include <QMessageBox>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <array>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

class QAction;
class QCheckBox;
class QComboBox;
class QDialog;
class QFormLayout;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSplitter;
class QTabWidget;
class QToolButton;
class TIntSpinBox;
class TPropertyEditor;
class TScriptRunner;
class TSessionFeed;
class TSessionPanel;
class TSettingsStore;

// What a file chooser is for: a file to send or read (no type filter), a
// script to run, or where to save a script.
enum class TFileDialogKind { OpenFile, OpenScript, SaveScript };

// The program's window over TForm1. The form's commands run on one command
// thread, in the order they were clicked, so that the window keeps painting
// while a command waits for the broker. The form belongs to that thread while it
// runs: each command takes a copy of the fields as they were at the click, and
// the window learns what the logic changed through views posted back to it.
// Boxes and the file chooser that a command asks for are shown on this thread
// while the command waits for the answer.
//
// With a settings folder (the program passes TSettingsStore::DefaultDirectory())
// the window keeps its fields between runs and offers named connection
// profiles; without one it keeps nothing.
class TMainWindow : public QMainWindow, public TFrontEnd {
    Q_OBJECT

public:
    explicit TMainWindow(int eventMsgPort = 2056, QWidget* parent = nullptr,
                         const QString& settingsDirectory = QString());
    ~TMainWindow() override;

    // Runs FormCreate here (its error box comes before the window is used), then
    // starts the command thread. Call once, after construction is complete.
    void Start();
    // Forgets waiting commands, cancels the boxes the running one asked for, waits
    // for it to end, then runs FormDestroy. The window takes no commands afterwards.
    void Shutdown();

    // Ends the running command's wait at once, as if it had timed out for the
    // last time (the "中止" button and Esc); a running script stops too.
    void CancelRunning();

    // "スクリプトとして保存…": the fields that differ from the defaults and the
    // commands clicked since the last "Open", as a script tarnwick-cli replays.
    // False (with a box) when nothing was recorded or the file cannot be written.
    bool SaveSessionScript(const QString& path);
    // "スクリプトを実行…": runs the script in turn with the commands; its lines go
    // to the log pane, the runner's own notes and verdict too (never to the
    // diagnostics, so no later expect can match them).
    void RunScriptFile(const QString& path);
    // The settings folder's store; none when the window keeps nothing.
    TSettingsStore* Settings() const { return Store.get(); }
    // Connection profiles: by the name in the profile box.
    void SaveProfile();
    void LoadProfile();
    void DeleteProfile();

    // Commands (and timer ticks) clicked but not yet finished.
    int Outstanding() const { return Pending; }
    bool IsIdle() const { return Pending == 0; }
    // Runs fn on the form in turn with the commands (for settings the window does not show).
    void PostToForm(std::function<void(TForm1&)> fn);

    const QTimer& PingTimer() const { return PingTimerObj; }
    QLabel* StatusText() const { return StatusLabel; }
    // The log, the received messages, the frames and the status texts of the session.
    TSessionPanel* SessionViews() const { return Views; }

    // The error box title: the program file's name without its extension.
    static QString AppTitle();
    static QString ToQ(const std::string& system);
    static std::string ToSystem(const QString& text);

    // TFrontEnd: any of these may be called on the command thread.
    void ShowError(const std::string& text) override;
    void ShowMessageBox(const std::string& title, const std::string& text, bool warning) override;
    bool ChooseFile(const std::string& initialDir, const std::string& initialFile, std::string& chosenPath) override;
    void SetPingTimer(bool enabled, int intervalMs) override;
    void ControlsChanged() override;
    void ShowFieldError(const std::string& controlName, const std::string& reason) override;

    // The text under a field that a frame could not be built from; empty when it has none.
    QString FieldError(const QString& controlName) const;
    // The rows of an MQTT 5.0 properties field (its text line is the field); null for other names.
    TPropertyEditor* PropertyEditor(const QString& controlName) const;

signals:
    void CommandStarted(const QString& caption);
    void CommandFinished(const QString& caption);
    void BecameIdle();
    // The window closed for good (its form shut down); the program ends here, also
    // when the window had already gone out of sight while its last command ended.
    void Closed();

protected:
    // The modal box and the file chooser themselves; tests put their own in.
    virtual void PresentMessageBox(QMessageBox::Icon icon, const QString& title, const QString& text);
    virtual bool PresentFileDialog(const QString& initialDir, const QString& initialFile, QString& chosen,
                                   TFileDialogKind kind);

    void closeEvent(QCloseEvent* event) override;

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

    void BuildUi();
    void BuildMenus();
    void BuildProfileRows(QWidget* parent, QFormLayout* form);
    void RefreshProfiles(const QString& select);
    QWidget* BuildSettings();
    // The rows of the group among Controls[from, to).
    void BuildGroup(TControlGroup group, QWidget* parent, QFormLayout* form, std::size_t from = 0,
                    std::size_t to = Controls.size());
    // The MQTT 5.0 group: a page per packet, its properties and its reason code.
    QGroupBox* BuildMqtt5Group(const TGroupInfo& group, QWidget* parent);
    QWidget* MakeControl(const TControlInfo& control, QWidget* parent);
    void Enqueue(TCommandJob job);
    void OnPingTimerTimeout();
    void BeginClosing();

    // Command thread.
    void RunCommand(const TCommandJob& job);
    void PublishView();
    template <typename R>
    R AskUi(std::function<R()> ask, R cancelled, const QString& what);

    // This thread.
    TFieldValues ReadWidgets() const;
    void ApplyView(const TFormView& view);
    void ApplyValues(const TFieldValues& values, TFieldMask changed);
    // The TLS rows are greyed out while TLS is off (neither its switch nor
    // wss), and a row that follows a choice while the choice leaves it unused.
    void UpdateTlsRows();
    // The MQTT 5.0 group shows while 5.0 is chosen, and while it holds something
    // that would otherwise be out of sight.
    void UpdateMqtt5Group();
    // A page's title says how many properties it holds: "CONNECT (2)".
    void UpdateMqtt5Titles();
    // Brings a field of the MQTT 5.0 group into sight (its group and its page).
    void RevealField(QWidget* field);
    // A box asked for while a script runs goes to its runner; true when it did.
    bool BoxToRunner(const std::string& title, const std::string& text);
    void ScriptNote(const std::string& text);
    void ApplyTimer(bool enabled, int intervalMs);
    void OnStarted(const QString& caption);
    void OnFinished(const QString& caption);
    void UpdateBusy();
    void MarkFieldError(const QString& controlName, const QString& reason);
    void ClearFieldError(const QString& controlName);
    QWidget* FieldWidget(const QString& controlName) const;

    const int EventPort;
    // Declared before the form, so it outlives the form's connection and its
    // threads, which report to it until the form is gone.
    std::unique_ptr<TSessionFeed> Feed;
    std::unique_ptr<TForm1> Form;
    TCommandQueue Commands;
    QTimer PingTimerObj;

    std::array<QLineEdit*, TextFields.size()> TextEdits{};
    std::array<TIntSpinBox*, IntFields.size()> Spins{};
    std::array<QCheckBox*, CheckFields.size()> Checks{};
    std::array<QComboBox*, ChoiceFields.size()> Combos{};
    std::array<TPropertyEditor*, TextFields.size()> PropertyEditors{};   // by text field; null for plain ones
    QSplitter* MainSplit = nullptr;
    QGroupBox* Mqtt5Box = nullptr;
    QTabWidget* Mqtt5Tabs = nullptr;
    QLabel* Mqtt5Note = nullptr;
    QCheckBox* PingChk = nullptr;
    QCheckBox* TlsChk = nullptr;
    std::vector<QWidget*> TlsRows;   // the widgets of the TLS group but its switch
    std::vector<std::pair<const TControlInfo*, QWidget*>> FollowingRows;   // widgets of rows that follow a choice
    std::unique_ptr<TSettingsStore> Store;
    QComboBox* ProfileCmb = nullptr;
    QCheckBox* ProfilePasswordChk = nullptr;
    QString LastScriptDir;            // where the script choosers open
    std::map<std::string, QPushButton*> Buttons;
    QLabel* StatusLabel = nullptr;
    QToolButton* CancelBtn = nullptr;
    // Where a field's row is, for the error text under it: its form and the row's label.
    struct TFieldPlace {
        QFormLayout* Form = nullptr;
        QLabel* RowLabel = nullptr;
    };
    std::map<std::string, TFieldPlace> FieldPlaces;
    std::map<QString, QLabel*> ErrorLabels;   // made on the first error of a field
    std::map<QString, QString> FieldErrors;   // control name -> the reason shown
    // The box or file chooser on screen for a command, closed when the window closes.
    QPointer<QDialog> ActiveDialog;
    TSessionPanel* Views = nullptr;

    // This thread only.
    int Pending = 0;
    QString Running;
    bool Started = false;
    bool ShutDown = false;
    bool ClosingUi = false;
    bool CloseWhenIdle = false;
    bool SuppressBoxes = false;

    // Command thread only: the fields as the window last knew them.
    TFieldValues Baseline;
    // The commands since the last "Open", for "スクリプトとして保存…"; fed on the command thread.
    TSessionRecorder Recorder;
    // The script running on the command thread, for the cancel and its boxes.
    std::mutex RunnerLock;
    TScriptRunner* ActiveRunner = nullptr;

    // Between the threads: a command waiting for a box, and the end of all waiting.
    std::mutex AskLock;
    std::condition_variable AskDone;
    bool Closing = false;
};
