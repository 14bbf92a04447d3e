#include "console/window/ConsoleConnection.h"

#include "console/script/Script.h"
#include "console/script/ScriptRunner.h"
#include "console/window/ProfileBar.h"
#include "console/window/SessionFeed.h"
#include "console/window/SessionStatus.h"
#include "console/window/ViewText.h"
#include "platform/CodePage.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileDevice>
#include <QFileInfo>
#include <QMetaObject>
#include <QPushButton>
#include <QRegularExpression>
#include <QSaveFile>
#include <QtDebug>

#include <cctype>
#include <utility>

namespace {

constexpr TFieldMask AllFields = ~TFieldMask{0};

// The source of the lines a script run adds to the log pane; they never reach the diagnostics.
const char* const SourceScript = "Script";

QString ToQ(const std::string& system)
{
    return ViewText::FromSystem(system);
}

std::string ToSystem(const QString& text)
{
    return CodePage::UTF8ToSystem(text.toStdString());
}

QString AppTitle()
{
    return QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName();
}

}  // namespace

TConsoleConnection::TConsoleConnection(int id, int eventMsgPort, TSettingsStore* store, TBoxHost& host,
                                       QObject* parent)
    : QObject(parent), FId(id), FHost(host)
{
    FForm = std::make_unique<TForm1>(*this, eventMsgPort);
    // The views of the session hear every line, and every connection "Open" makes.
    FFeed = std::make_unique<TSessionFeed>();
    FForm->Events.AddObserver([feed = FFeed.get()](const TEventRecord& record) { feed->OnEvent(record); });
    FForm->SessionObserver = FFeed.get();
    FPingTimer.setInterval(FForm->PingTimerInterval);
    FPingTimer.setTimerType(Qt::CoarseTimer);
    connect(&FPingTimer, &QTimer::timeout, this, &TConsoleConnection::OnPingTimerTimeout);

    FPanel = new TSettingsPanel(
        *FForm, eventMsgPort, store,
        [this](QMessageBox::Icon icon, const QString& title, const QString& text) {
            FHost.HostMessageBox(icon, title, text);
        },
        [this](const QString& text) { emit Note(text); });
    FPanel->CommandClicked = [this](const TSettingsPanel::TCommand& command) {
        TCommandJob job;
        job.Handler = command.Handler;
        job.Gate = command.Gate;
        job.Caption = command.Caption;
        Enqueue(std::move(job));
        // "Close" ends the running command's wait, so that it comes at once; it
        // is queued first, so that a timer tick cannot slip in before it.
        if (command.Handler == &TForm1::DisconnectBtnClick)
            CancelRunning();
    };
    connect(FPanel, &TSettingsPanel::IdentityChanged, this, [this] {
        FProfileName = FPanel->Profiles()->CurrentName();
        UpdateScriptName();
        emit StateChanged();
    });
    FStatus = new TSessionStatus;
    // The status follows the feed's batches; the views take the rest of them.
    connect(FFeed.get(), &TSessionFeed::BatchReady, this, [this](TFeedBatch& batch) {
        if (!batch.Status.empty()) {
            FStatus->Apply(batch.Status);
            emit StateChanged();
        }
    }, Qt::DirectConnection);
    ApplyView(ViewOf(*FForm, AllFields));
    UpdateScriptName();
}

TConsoleConnection::~TConsoleConnection()
{
    FSuppressBoxes = true;
    Shutdown();
    delete FPanel;
    delete FStatus;
}

QString TConsoleConnection::Name() const
{
    if (!FProfileName.isEmpty())
        return FProfileName;
    const QString id = FPanel->ClientID();
    return id.isEmpty() ? QStringLiteral("接続 %1").arg(FId) : id;
}

void TConsoleConnection::SetProfileName(const QString& name)
{
    FPanel->Profiles()->ShowName(name);
    FProfileName = name;
    UpdateScriptName();
    emit StateChanged();
}

QString TConsoleConnection::Caption() const
{
    return ToQ(FForm->Caption);
}

// ---- start and end ----

void TConsoleConnection::Start(const std::function<bool(TFieldValues&)>& kept)
{
    if (FStarted || FShutDown)
        return;
    FStarted = true;
    // The command thread does not run yet: the form is this thread's alone.
    FForm->Run(&TForm1::FormCreate);
    // The fields as the window left them last time (the identifier too, over the new default).
    if (kept) {
        TFieldValues values = CaptureFields(*FForm);
        if (kept(values))
            ApplyFields(*FForm, values);
    }
    ApplyView(ViewOf(*FForm, AllFields));
    UpdateScriptName();
    FCommands.Start();
}

void TConsoleConnection::BeginClosing()
{
    if (!FClosingUi) {
        FClosingUi = true;
        std::lock_guard lock(FAskLock);
        FClosing = true;
    }
    FAskDone.notify_all();
    FPending -= static_cast<int>(FCommands.DropPending());
    FPingTimer.stop();
    // Whatever the running command waits for, the broker or a box, it stops waiting now.
    CancelRunning();
    emit BusyChanged();
}

void TConsoleConnection::CancelRunning()
{
    {
        std::lock_guard lock(FRunnerLock);
        if (FActiveRunner)
            FActiveRunner->Cancel();
    }
    FForm->CancelWait();
}

void TConsoleConnection::Shutdown()
{
    if (FShutDown)
        return;
    BeginClosing();
    FShutDown = true;
    FCommands.Stop();
    // The command thread has ended: the form is this thread's again.
    if (FStarted)
        FForm->Run(&TForm1::FormDestroy);
    FPending = 0;
    FRunning.clear();
    emit BusyChanged();
}

// ---- queueing commands ----

void TConsoleConnection::Enqueue(TCommandJob job)
{
    if (FClosingUi || FShutDown)
        return;
    job.Fields = FPanel->ReadWidgets();
    if (!FCommands.Post([this, job = std::move(job)] { RunCommand(job); }))
        return;
    ++FPending;
    emit BusyChanged();
}

void TConsoleConnection::PostToForm(std::function<void(TForm1&)> fn)
{
    TCommandJob job;
    job.Custom = std::move(fn);
    job.Caption = QStringLiteral("(設定)");
    Enqueue(std::move(job));
}

void TConsoleConnection::OnPingTimerTimeout()
{
    if (FClosingUi || FShutDown)
        return;
    // The tick runs only while the form still has its timer on when the tick's
    // turn comes: a "Close" clicked before it switched the timer off.
    TCommandJob job;
    job.Handler = &TForm1::PingTimerTick;
    job.Gate = &TForm1::PingTimerEnabled;
    job.Caption = QStringLiteral("PINGREQ (定期送信)");
    job.Fields = FPanel->ReadWidgets();
    if (FCommands.PostTick([this, job = std::move(job)] { RunCommand(job); })) {
        ++FPending;
        emit BusyChanged();
    }
}

void TConsoleConnection::OnStarted(const QString& caption)
{
    FRunning = caption;
    emit BusyChanged();
    emit CommandStarted(caption);
}

void TConsoleConnection::OnFinished(const QString& caption)
{
    FRunning.clear();
    if (FPending > 0)
        --FPending;
    emit BusyChanged();
    emit CommandFinished(caption);
    if (FPending == 0)
        emit BecameIdle();
}

// ---- the command thread ----

void TConsoleConnection::RunCommand(const TCommandJob& job)
{
    QMetaObject::invokeMethod(this, [this, caption = job.Caption] { OnStarted(caption); }, Qt::QueuedConnection);
    TForm1& form = *FForm;
    // A click on a control that is disabled by the time its turn comes does
    // nothing, as it would on a disabled control.
    const bool enabled = job.Gate == nullptr || form.*job.Gate;
    const bool checkedBefore = form.PingTimerChk;
    ApplyFields(form, job.Fields);
    FBaseline = job.Fields;
    if (!enabled) {
        if (job.Gate == &TForm1::PingTimerChkEnabled)
            form.PingTimerChk = checkedBefore;
    } else if (job.Handler) {
        FRecorder.OnCommand(form, job.Handler);
        form.Run(job.Handler);
        FRecorder.OnCommandDone(form);
        if (Recorded) {
            // The lines this command added; an "Open" starts the connection's lines anew.
            std::vector<std::string> lines;
            const std::string script = FRecorder.Script();
            for (std::size_t at = script.find('\n') + 1; at < script.size();) {
                const std::size_t end = script.find('\n', at);
                lines.push_back(script.substr(at, end - at));
                at = end + 1;
            }
            if (lines.size() < FJournaled || job.Handler == &TForm1::ConnectBtnClick)
                FJournaled = 0;
            if (lines.size() > FJournaled)
                Recorded(ScriptName(), std::vector<std::string>(lines.begin() + static_cast<std::ptrdiff_t>(FJournaled),
                                                                lines.end()));
            FJournaled = lines.size();
        }
    } else if (job.Custom) {
        job.Custom(form);
    }
    PublishView();
    QMetaObject::invokeMethod(this, [this, caption = job.Caption] { OnFinished(caption); }, Qt::QueuedConnection);
}

void TConsoleConnection::PublishView()
{
    const TFieldValues now = CaptureFields(*FForm);
    TFormView view = ViewOf(*FForm, DiffFields(now, FBaseline));
    FBaseline = now;
    QMetaObject::invokeMethod(this, [this, view = std::move(view)] { ApplyView(view); }, Qt::QueuedConnection);
}

template <typename R>
R TConsoleConnection::AskUi(std::function<R()> ask, R cancelled, const QString& what)
{
    struct TAnswer {
        bool Done = false;
        R Value{};
    };
    auto answer = std::make_shared<TAnswer>();
    {
        std::lock_guard lock(FAskLock);
        if (FClosing) {
            qWarning().noquote() << "tarnwick: closing, not shown:" << what;
            return cancelled;
        }
    }
    QMetaObject::invokeMethod(
        this,
        [this, answer, ask = std::move(ask)] {
            {
                std::lock_guard lock(FAskLock);
                if (FClosing)
                    return;
            }
            R value = ask();
            {
                std::lock_guard lock(FAskLock);
                answer->Value = std::move(value);
                answer->Done = true;
            }
            FAskDone.notify_all();
        },
        Qt::QueuedConnection);
    std::unique_lock lock(FAskLock);
    FAskDone.wait(lock, [&] { return answer->Done || FClosing; });
    return answer->Done ? answer->Value : cancelled;
}

// ---- TFrontEnd ----

void TConsoleConnection::ShowError(const std::string& text)
{
    ShowMessageBox(ToSystem(AppTitle()), text, false);
}

void TConsoleConnection::ShowMessageBox(const std::string& title, const std::string& text, bool warning)
{
    if (OnCommandThread()) {
        FRecorder.OnBox(text);
        if (BoxToRunner(title, text))
            return;
    }
    const QString boxTitle = ToQ(title);
    const QString message = ToQ(text);
    auto show = [this, boxTitle, message, warning] {
        FHost.HostMessageBox(warning ? QMessageBox::Warning : QMessageBox::Critical, boxTitle, message);
        return true;
    };
    if (OnCommandThread())
        AskUi<bool>(show, false, message);
    else if (FSuppressBoxes)
        qWarning().noquote() << "tarnwick:" << boxTitle << message;
    else
        show();
}

bool TConsoleConnection::ChooseFile(const std::string& initialDir, const std::string& initialFile,
                                    std::string& chosenPath)
{
    const QString dir = ToQ(initialDir);
    const QString file = ToQ(initialFile);
    auto choose = [this, dir, file] {
        QString chosen;
        const bool confirmed = FHost.HostFileDialog(dir, file, chosen, TFileDialogKind::OpenFile);
        return std::pair<bool, QString>(confirmed && !chosen.isEmpty(), chosen);
    };
    std::pair<bool, QString> result{false, {}};
    if (OnCommandThread())
        result = AskUi<std::pair<bool, QString>>(choose, {false, {}}, QStringLiteral("file chooser"));
    else if (!FSuppressBoxes)
        result = choose();
    if (!result.first)
        return false;
    chosenPath = ToSystem(result.second);
    return true;
}

void TConsoleConnection::SetPingTimer(bool enabled, int intervalMs)
{
    if (OnCommandThread())
        QMetaObject::invokeMethod(this, [this, enabled, intervalMs] { ApplyTimer(enabled, intervalMs); },
                                  Qt::QueuedConnection);
    else
        ApplyTimer(enabled, intervalMs);
}

void TConsoleConnection::ControlsChanged()
{
    if (OnCommandThread())
        PublishView();
    else
        ApplyView(ViewOf(*FForm, AllFields));
}

void TConsoleConnection::ShowFieldError(const std::string& controlName, const std::string& reason)
{
    const QString name = QString::fromStdString(controlName);
    const QString text = ToQ(reason);
    if (OnCommandThread())
        QMetaObject::invokeMethod(this, [this, name, text] { MarkFieldError(name, text); }, Qt::QueuedConnection);
    else
        MarkFieldError(name, text);
}

// ---- this thread ----

void TConsoleConnection::ApplyView(const TFormView& view)
{
    FPanel->ApplyView(view);
    // What the feed holds is taken in first, so the state follows every report made before it.
    FFeed->Flush();
    FStatus->SetConsoleOpened(view.DisconnectBtnEnabled);
    if (FOpened != view.DisconnectBtnEnabled) {
        FOpened = view.DisconnectBtnEnabled;
        emit StateChanged();
    }
}

void TConsoleConnection::MarkFieldError(const QString& controlName, const QString& reason)
{
    if (FShutDown)
        return;
    // A reason that names no field goes to the status bar.
    if (!FPanel->MarkFieldError(controlName, reason))
        emit Note(reason);
}

void TConsoleConnection::ApplyTimer(bool enabled, int intervalMs)
{
    if (FShutDown || FClosingUi)
        return;   // a closing window ticks no more
    // QTimer restarts on every setInterval while it runs; the same interval must
    // leave the running period alone.
    if (!enabled) {
        FPingTimer.stop();
        if (FPingTimer.interval() != intervalMs)
            FPingTimer.setInterval(intervalMs);
        return;
    }
    if (FPingTimer.interval() != intervalMs)
        FPingTimer.setInterval(intervalMs);   // a running timer starts a new period
    if (!FPingTimer.isActive())
        FPingTimer.start();                   // a full period before the first tick
}

// ---- scripts ----

std::string TConsoleConnection::RecordedScript() const
{
    return FRecorder.Empty() ? std::string() : FRecorder.Script();
}

bool TConsoleConnection::OnCommandThread() const
{
    return FCommands.OnWorkerThread() || (FDriver.load() != std::thread::id() && FDriver.load() == std::this_thread::get_id());
}

void TConsoleConnection::SetDriver(std::thread::id driver, TScriptRunner* runner)
{
    FDriver.store(driver);
    std::lock_guard lock(FRunnerLock);
    FActiveRunner = runner;
}

std::string TConsoleConnection::ScriptName() const
{
    std::lock_guard lock(FNameLock);
    return FScriptName.empty() ? FDerivedName : FScriptName;
}

void TConsoleConnection::SetScriptName(const std::string& name)
{
    std::lock_guard lock(FNameLock);
    FScriptName = name;
}

void TConsoleConnection::UpdateScriptName()
{
    // What a client name holds: letters, digits, "-", "_" and "." (not first), at most 64.
    std::string name = ToSystem(Name()).substr(0, 64);
    for (std::size_t i = 0; i < name.size(); ++i) {
        const auto c = static_cast<unsigned char>(name[i]);
        const bool fits = std::isalnum(c) || c == '-' || c == '_' || (c == '.' && i > 0);
        if (!fits)
            name[i] = '-';
    }
    std::lock_guard lock(FNameLock);
    FDerivedName = name.empty() ? "c" + std::to_string(FId) : name;
}

void TConsoleConnection::RunScriptFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        FHost.HostMessageBox(QMessageBox::Critical, AppTitle(), QStringLiteral("スクリプトを読めません: ") + path);
        return;
    }
    // The bytes as they are, as tarnwick-cli reads them.
    const QByteArray bytes = file.readAll();
    const std::string text(bytes.constData(), static_cast<std::size_t>(bytes.size()));
    const QString fileName = QFileInfo(path).fileName();
    const std::string name = ToSystem(fileName);
    TCommandJob job;
    job.Caption = QStringLiteral("スクリプト %1").arg(fileName);
    job.Custom = [this, text, name](TForm1& form) {
        TScript script;
        script.Name = name;
        const std::vector<TScriptError> errors = ParseScript(text, form, script);
        if (!errors.empty()) {
            for (const TScriptError& e : errors)
                ScriptNote(LineMessage(name, e.Line, e.Text, e.Reason));
            ScriptNote(name + ": not run: " + std::to_string(errors.size()) +
                       (errors.size() == 1 ? " line cannot" : " lines cannot") + " be parsed");
            return;
        }
        ScriptNote(name + ": running " + std::to_string(script.Steps.size()) + " lines");
        TScriptRunner runner(form, [this](const TScriptMessage& message) { ScriptNote(message.Text); });
        // The fields a set line or a command changed show at once.
        runner.OnStepDone = [this](const TScriptStep&) { PublishView(); };
        {
            std::lock_guard lock(FRunnerLock);
            FActiveRunner = &runner;
        }
        const TScriptResult result = runner.Run(script);
        {
            std::lock_guard lock(FRunnerLock);
            FActiveRunner = nullptr;
        }
        switch (result.Status) {
        case TScriptStatus::Passed:
            ScriptNote(name + ": passed (" + std::to_string(result.StepsRun) + " lines)");
            break;
        case TScriptStatus::Failed:
            ScriptNote(name + ": FAILED at line " + std::to_string(result.Line));
            break;
        case TScriptStatus::Cancelled:
            ScriptNote(name + ": CANCELLED at line " + std::to_string(result.Line));
            break;
        }
    };
    Enqueue(std::move(job));
}

bool TConsoleConnection::BoxToRunner(const std::string& title, const std::string& text)
{
    std::lock_guard lock(FRunnerLock);
    if (!FActiveRunner)
        return false;
    FActiveRunner->BoxShown(title, text);
    return true;
}

// Into the log pane the way the session's lines come, so it keeps their order,
// but not through the form's diagnostics.
void TConsoleConnection::ScriptNote(const std::string& text)
{
    TEventRecord record;
    record.Time = NowLocal();
    record.Source = SourceScript;
    record.Message = text;
    FFeed->OnEvent(record);
}
