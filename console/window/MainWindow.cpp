#include "console/window/MainWindow.h"

#include "console/window/CheckDialog.h"
#include "console/window/ConnectionList.h"
#include "console/window/ConnectionNames.h"
#include "console/window/FramesView.h"
#include "console/window/FoldGroup.h"
#include "console/window/LogoWidget.h"
#include "console/window/ProfileBar.h"
#include "console/window/SessionFeed.h"
#include "console/window/SessionPanel.h"
#include "console/window/SessionStatus.h"
#include "console/window/SettingsPanel.h"
#include "console/window/SettingsStore.h"
#include "console/window/ViewSetup.h"
#include "console/script/Script.h"
#include "console/script/ScriptRunner.h"
#include "console/session/Session.h"
#include "platform/CodePage.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QMenuBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSaveFile>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QShortcut>
#include <QSplitter>
#include <QStackedWidget>
#include <QStatusBar>
#include <QTabWidget>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>
#include <QtDebug>

#include <algorithm>
#include <condition_variable>
#include <map>
#include <set>
#include <thread>

namespace {

// The front end of a form that only reads a script's fields; it never runs a command.
class TNoFrontEnd : public TFrontEnd {
public:
    void ShowError(const std::string&) override {}
    void ShowMessageBox(const std::string&, const std::string&, bool) override {}
    bool ChooseFile(const std::string&, const std::string&, std::string&) override { return false; }
    void SetPingTimer(bool, int) override {}
    void ControlsChanged() override {}
};

// Whether a script sets a password (the line "set PasswordEdit" with a value).
bool ScriptHoldsPassword(const std::string& script)
{
    static const QRegularExpression password(QStringLiteral("^set PasswordEdit +(?!\"\"\\s*$)\\S"),
                                             QRegularExpression::MultilineOption);
    return password.match(QString::fromStdString(CodePage::SystemToUTF8(script))).hasMatch();
}

// A connection's settings as tall as they are; in a window too low for them
// they scroll, instead of pushing the window past the screen.
class TSettingsArea : public QScrollArea {
public:
    explicit TSettingsArea(QWidget* settings, QWidget* parent) : QScrollArea(parent)
    {
        setObjectName("SettingsArea");
        setFrameShape(QFrame::NoFrame);
        setWidgetResizable(true);
        setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        setWidget(settings);
    }
    QSize sizeHint() const override
    {
        return widget()->sizeHint() + QSize(verticalScrollBar()->sizeHint().width(), 0);
    }
    QSize minimumSizeHint() const override
    {
        // As wide as the settings need; a few rows high.
        return {widget()->minimumSizeHint().width() + verticalScrollBar()->sizeHint().width(),
                fontMetrics().height() * 8};
    }
};

// The keys of what the window keeps between runs.
const QString GeometryKey = QStringLiteral("Geometry");
const QString SplitterKey = QStringLiteral("MainSplitter");
const QString FoldedKey = QStringLiteral("FoldedGroups");   // before each connection kept its own
const QString ConnectionKey = QStringLiteral("CurrentConnection");
const QString TabKey = QStringLiteral("SessionTab");
const QString ViewSplittersKey = QStringLiteral("ViewSplitters");

}  // namespace

// ---- texts ----

QString TMainWindow::ToQ(const std::string& system)
{
    return QString::fromStdString(CodePage::SystemToUTF8(system));
}

std::string TMainWindow::ToSystem(const QString& text)
{
    return CodePage::UTF8ToSystem(text.toStdString());
}

QString TMainWindow::AppTitle()
{
    return QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName();
}

// ---- construction ----

TMainWindow::TMainWindow(int eventMsgPort, QWidget* parent, const QString& settingsDirectory)
    : QMainWindow(parent), EventPort(eventMsgPort)
{
    if (!settingsDirectory.isEmpty())
        Store = std::make_unique<TSettingsStore>(settingsDirectory);
    BuildUi();
    BuildMenus();
    MakeConnection();
    ChooseConnection(0);
}

TMainWindow::~TMainWindow()
{
    // Whatever a late failure says now has no window left to be shown in.
    for (const auto& connection : Connections)
        connection->SuppressBoxes();
    Shutdown();
}

void TMainWindow::BuildUi()
{
    setWindowIcon(QIcon(TarnwickLogoPixmap(64)));
    // The side panel: the connections, then the chosen one's settings.
    auto* side = new QWidget(this);
    side->setObjectName("SidePanel");
    ConnectionBar = new TConnectionList(side);
    SettingsStack = new QStackedWidget(side);
    SettingsStack->setObjectName("SettingsStack");
    auto* sideLayout = new QVBoxLayout(side);
    sideLayout->setContentsMargins(0, 0, 0, 0);
    sideLayout->setSpacing(2);
    sideLayout->addWidget(ConnectionBar);
    sideLayout->addWidget(SettingsStack, 1);
    connect(ConnectionBar, &TConnectionList::Chosen, this, &TMainWindow::ChooseConnection);
    connect(ConnectionBar, &TConnectionList::AddClicked, this, [this] { AddConnection(); });
    connect(ConnectionBar, &TConnectionList::RemoveClicked, this, [this] { RemoveConnection(CurrentIndex); });

    // The session views are the main area.
    Views = new TSessionPanel(this);
    MainSplit = new QSplitter(Qt::Horizontal, this);
    MainSplit->setObjectName("MainSplitter");
    MainSplit->setChildrenCollapsible(false);
    MainSplit->addWidget(side);
    MainSplit->addWidget(Views);
    MainSplit->setStretchFactor(0, 0);
    MainSplit->setStretchFactor(1, 1);
    setCentralWidget(MainSplit);

    StatusLabel = new QLabel(this);
    StatusLabel->setObjectName("StatusText");
    statusBar()->addWidget(StatusLabel, 1);
    // A way out of every wait: the button and Esc end the running command's wait.
    CancelBtn = new QToolButton(this);
    CancelBtn->setText(QStringLiteral("中止"));
    CancelBtn->setAutoRaise(true);
    CancelBtn->setObjectName("CancelBtn");
    CancelBtn->setToolTip(QStringLiteral("実行中のコマンドの応答待ちを終わらせます (Esc)"));
    CancelBtn->setFocusPolicy(Qt::NoFocus);
    connect(CancelBtn, &QToolButton::clicked, this, &TMainWindow::CancelRunning);
    // As tall as the status texts, so that the status bar keeps its height.
    CancelBtn->setFixedHeight(StatusLabel->sizeHint().height());
    statusBar()->addPermanentWidget(CancelBtn);
    auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    connect(escape, &QShortcut::activated, this, &TMainWindow::CancelRunning);
    StatusHolder = new QWidget(this);
    StatusHolder->setObjectName("StatusHolder");
    auto* holder = new QHBoxLayout(StatusHolder);
    holder->setContentsMargins(0, 0, 0, 0);
    statusBar()->addPermanentWidget(StatusHolder);

    // A capture of the frames: each connection's between a port of its own and the broker's port.
    Views->Frames()->PortsOf = [this](const TFrameEntry& frame) {
        uint16_t broker = 1883;
        for (const auto& connection : Connections)
            if (connection->Id() == frame.Connection)
                broker = static_cast<uint16_t>(connection->Panel()->BrokerPort());
        return std::pair<uint16_t, uint16_t>(static_cast<uint16_t>(40000 + (frame.Connection * 100 + frame.Stream) % 20000),
                                             broker);
    };
    // Ctrl+F finds in the view in sight, wherever the focus is.
    auto* find = new QShortcut(QKeySequence::Find, this);
    find->setContext(Qt::WindowShortcut);
    connect(find, &QShortcut::activated, Views, &TSessionPanel::FocusFind);
    auto* add = new QShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_N), this);
    connect(add, &QShortcut::activated, this, [this] { AddConnection(); });
}

TConsoleConnection& TMainWindow::MakeConnection()
{
    const int id = NextId++;
    auto connection = std::make_unique<TConsoleConnection>(id, EventPort, Store.get(), static_cast<TBoxHost&>(*this));
    TConsoleConnection& made = *connection;
    Connections.push_back(std::move(connection));
    Views->AddFeed(made.Feed(), id);
    SettingsStack->addWidget(new TSettingsArea(made.Panel(), SettingsStack));
    connect(&made, &TConsoleConnection::CommandStarted, this, &TMainWindow::CommandStarted);
    connect(&made, &TConsoleConnection::CommandFinished, this, &TMainWindow::CommandFinished);
    connect(&made, &TConsoleConnection::BecameIdle, this, &TMainWindow::OnFinished);
    connect(&made, &TConsoleConnection::BusyChanged, this, &TMainWindow::UpdateBusy);
    connect(&made, &TConsoleConnection::StateChanged, this, [this] { ChooseConnection(CurrentIndex); });
    connect(&made, &TConsoleConnection::Note, this, [this](const QString& text) {
        statusBar()->showMessage(text, 15000);
    });
    made.Recorded = [this, id](const std::string& client, const std::vector<std::string>& lines) {
        std::lock_guard lock(JournalLock);
        if (!Journal.empty() && Journal.back().Connection == id)
            Journal.back().Lines.insert(Journal.back().Lines.end(), lines.begin(), lines.end());
        else
            Journal.push_back({id, client, lines});
    };
    return made;
}

int TMainWindow::AddConnection()
{
    if (ClosingUi || ShutDown)
        return CurrentIndex;
    TConsoleConnection& made = MakeConnection();
    if (Started) {
        made.Start();
        made.Panel()->FoldUnused();
    }
    ChooseConnection(ConnectionCount() - 1);
    return CurrentIndex;
}

void TMainWindow::RemoveConnection(int index)
{
    if (ConnectionCount() <= 1 || index < 0 || index >= ConnectionCount())
        return;
    auto it = Connections.begin() + index;
    TConsoleConnection& gone = **it;
    QWidget* area = SettingsStack->widget(index);
    // Its settings and status stay the connection's to delete; the area around them goes.
    if (Views->Status() == gone.Status())
        Views->SetStatus(nullptr);
    gone.Panel()->setParent(nullptr);
    gone.Status()->setParent(nullptr);
    SettingsStack->removeWidget(area);
    delete area;
    // Its command thread finishes first (a script holding it is cancelled).
    gone.BeginClosing();
    for (const auto& connection : Connections)
        connection->CancelRunning();
    AbandonHolds();
    gone.Shutdown();
    Connections.erase(it);
    ChooseConnection(std::min(index, ConnectionCount() - 1));
    UpdateBusy();
}

void TMainWindow::ChooseConnection(int index)
{
    if (index < 0 || index >= ConnectionCount())
        return;
    const bool changed = index != CurrentIndex || Views->Status() != Connection(index).Status();
    CurrentIndex = index;
    TConsoleConnection& current = Current();
    if (changed) {
        SettingsStack->setCurrentIndex(index);
        if (TSessionStatus* shown = Views->Status(); shown && shown != current.Status()) {
            StatusHolder->layout()->removeWidget(shown);
            shown->hide();
        }
        StatusHolder->layout()->addWidget(current.Status());
        current.Status()->show();
        Views->SetStatus(current.Status());
    }
    std::vector<const TConsoleConnection*> all;
    QVector<std::pair<int, QString>> names;
    for (const auto& connection : Connections) {
        all.push_back(connection.get());
        names.push_back({connection->Id(), connection->Name()});
    }
    ConnectionBar->Show(all, CurrentIndex);
    Views->Names()->Set(names);
    // The form's caption; with several connections, the chosen one's name after it.
    setWindowTitle(ConnectionCount() > 1 ? QStringLiteral("%1 — %2").arg(current.Caption(), current.Name())
                                         : current.Caption());
    UpdateBusy();
}

// ---- start and end ----

void TMainWindow::Start()
{
    if (Started || ShutDown)
        return;
    Started = true;
    // The connections as the window left them last time, each with its fields
    // (the identifier too, over the new default) and the profile it is named after.
    std::vector<TSettingsStore::TKeptConnection> kept;
    for (std::size_t i = 0; i < Connections.size() || i < kept.size(); ++i) {
        if (i == Connections.size())
            MakeConnection();
        std::function<bool(TFieldValues&)> apply;
        if (Store)
            apply = [this, i, &kept](TFieldValues& values) {
                if (i == 0)
                    kept = Store->LoadConnections(values);
                if (i >= kept.size())
                    return false;
                values = kept[i].Fields;
                return true;
            };
        Connections[i]->Start(apply);
        if (i < kept.size() && !kept[i].Profile.isEmpty())
            Connections[i]->SetProfileName(kept[i].Profile);
    }
    RestoreWindow(kept);
    ChooseConnection(CurrentIndex);
}

void TMainWindow::Shutdown()
{
    if (ShutDown)
        return;
    if (Store && Started) {
        // The connections' fields as they are on the screen now, for the next start.
        std::vector<TSettingsStore::TKeptConnection> kept;
        for (const auto& connection : Connections)
            kept.push_back({connection->Panel()->ReadWidgets(), connection->ProfileName(),
                            connection->Panel()->FoldedGroups(), true});
        Store->SaveConnections(kept);
        KeepWindow();
    }
    ClosingUi = true;
    for (const auto& connection : Connections)
        connection->BeginClosing();
    AbandonHolds();
    if (ActiveDialog)
        ActiveDialog->reject();
    ShutDown = true;
    for (const auto& connection : Connections)
        connection->Shutdown();
    UpdateBusy();
}

void TMainWindow::closeEvent(QCloseEvent* event)
{
    if (ShutDown) {
        event->accept();
        return;
    }
    if (Store && Started && !ClosingUi)
        KeepWindow();
    ClosingUi = true;
    for (const auto& connection : Connections)
        connection->BeginClosing();
    AbandonHolds();
    if (ActiveDialog)
        ActiveDialog->reject();
    if (Outstanding() > 0) {
        // The running commands end their waits now; the window closes when they
        // have ended. One that still works on (a connect in progress) finishes
        // out of sight: the window goes away after half a second all the same.
        CloseWhenIdle = true;
        if (centralWidget())
            centralWidget()->setEnabled(false);
        UpdateBusy();
        event->ignore();
        QTimer::singleShot(500, this, [this] {
            if (CloseWhenIdle && !ShutDown)
                hide();
        });
        return;
    }
    Shutdown();
    event->accept();
    emit Closed();
}

// ---- geometry ----

void TMainWindow::FitToScreen(const QRect& available)
{
    // Most of the screen, never beyond it; on a very large one a comfortable size.
    const int width = std::min(available.width() * 92 / 100, 2000);
    const int height = std::min(available.height() * 90 / 100, 1300);
    setGeometry(QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, QSize(width, height), available));
    resize(width, height);
    // The settings as wide as they need, at most two fifths: the views keep the rest.
    const int settings =
        std::clamp(SettingsStack->currentWidget()->sizeHint().width(), width / 4, width * 2 / 5);
    MainSplit->setSizes({settings, width - settings});
}

void TMainWindow::RestoreWindow(const std::vector<TSettingsStore::TKeptConnection>& kept)
{
    QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
    const QRect available = screen ? screen->availableGeometry() : QRect(0, 0, 1280, 800);
    FitToScreen(available);
    // Each connection's groups as it left them; one not kept folds what it does not use.
    const QVariant folded = Store ? Store->WindowValue(FoldedKey) : QVariant();
    for (std::size_t i = 0; i < Connections.size(); ++i) {
        TSettingsPanel* panel = Connections[i]->Panel();
        if (i < kept.size() && kept[i].FoldsKept)
            panel->SetFoldedGroups(kept[i].Folded);
        else if (i == 0 && folded.isValid())
            panel->SetFoldedGroups(folded.toStringList());
        else
            panel->FoldUnused();
    }
    if (!Store)
        return;
    ChooseConnection(std::clamp(Store->WindowValue(ConnectionKey).toInt(), 0, ConnectionCount() - 1));
    const QByteArray geometry = Store->WindowValue(GeometryKey).toByteArray();
    if (!geometry.isEmpty())
        restoreGeometry(geometry);
    const QByteArray split = Store->WindowValue(SplitterKey).toByteArray();
    if (!split.isEmpty())
        MainSplit->restoreState(split);
    const QVariant tab = Store->WindowValue(TabKey);
    if (tab.isValid())
        Views->Tabs()->setCurrentIndex(tab.toInt());
    const QStringList views = Store->WindowValue(ViewSplittersKey).toStringList();
    const QList<QSplitter*> splitters = Views->findChildren<QSplitter*>();
    for (int i = 0; i < splitters.size() && i < views.size(); ++i)
        splitters[i]->restoreState(QByteArray::fromBase64(views[i].toLatin1()));
}

void TMainWindow::KeepWindow()
{
    Store->SetWindowValue(GeometryKey, saveGeometry());
    Store->SetWindowValue(SplitterKey, MainSplit->saveState());
    Store->SetWindowValue(ConnectionKey, CurrentIndex);
    Store->SetWindowValue(TabKey, Views->Tabs()->currentIndex());
    QStringList views;
    for (const QSplitter* splitter : Views->findChildren<QSplitter*>())
        views << QString::fromLatin1(splitter->saveState().toBase64());
    Store->SetWindowValue(ViewSplittersKey, views);
}

// ---- the chosen connection ----

void TMainWindow::CancelRunning()
{
    Current().CancelRunning();
}

int TMainWindow::Outstanding() const
{
    int pending = 0;
    for (const auto& connection : Connections)
        pending += connection->Outstanding();
    return pending;
}

void TMainWindow::PostToForm(std::function<void(TForm1&)> fn)
{
    Current().PostToForm(std::move(fn));
}

QString TMainWindow::FieldError(const QString& controlName) const
{
    return Current().Panel()->FieldError(controlName);
}

TPropertyEditor* TMainWindow::PropertyEditor(const QString& controlName) const
{
    return Current().Panel()->PropertyEditor(controlName);
}

void TMainWindow::SaveProfile()
{
    Current().Panel()->Profiles()->Save();
}

void TMainWindow::LoadProfile()
{
    Current().Panel()->Profiles()->Load();
}

void TMainWindow::DeleteProfile()
{
    Current().Panel()->Profiles()->Delete();
}

void TMainWindow::OnFinished()
{
    UpdateBusy();
    if (Outstanding() == 0) {
        emit BecameIdle();
        if (CloseWhenIdle)
            QTimer::singleShot(0, this, [this] { close(); });
    }
}

void TMainWindow::UpdateBusy()
{
    if (!CancelBtn || Connections.empty())
        return;
    const TConsoleConnection& current = Current();
    const int pending = ShutDown ? 0 : current.Outstanding();
    CancelBtn->setEnabled(pending > 0);
    if (Outstanding() > 0 && !ShutDown)
        setCursor(Qt::BusyCursor);
    else
        unsetCursor();
    if (pending > 0) {
        QString text;
        if (ClosingUi)
            text = QStringLiteral("終了しています: 実行中のコマンドの終わりを待っています…");
        else if (!current.Running().isEmpty())
            text = QStringLiteral("実行中: %1").arg(current.Running());
        else
            text = QStringLiteral("実行待ち");
        if (!ClosingUi && pending > 1)
            text += QStringLiteral("  (あと %1 件)").arg(pending - 1);
        StatusLabel->setText(text);
    } else {
        StatusLabel->setText(ShutDown ? QStringLiteral("終了") : QStringLiteral("準備完了"));
    }
}

// ---- boxes ----

void TMainWindow::HostMessageBox(QMessageBox::Icon icon, const QString& title, const QString& text)
{
    PresentMessageBox(icon, title, text);
}

bool TMainWindow::HostFileDialog(const QString& initialDir, const QString& initialFile, QString& chosen,
                                 TFileDialogKind kind)
{
    return PresentFileDialog(initialDir, initialFile, chosen, kind);
}

void TMainWindow::PresentMessageBox(QMessageBox::Icon icon, const QString& title, const QString& text)
{
    QMessageBox box(icon, title, text, QMessageBox::Ok, this);
    ActiveDialog = &box;
    box.exec();
}

bool TMainWindow::PresentFileDialog(const QString& initialDir, const QString& initialFile, QString& chosen,
                                    TFileDialogKind kind)
{
    QFileDialog dialog(this, QString(), initialDir);
    const bool save = kind == TFileDialogKind::SaveScript;
    dialog.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog.setFileMode(save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    // Qt's own dialog, in the window's language (the desktop's may speak another).
    SetUpFileDialog(dialog);
    if (kind == TFileDialogKind::OpenFile) {
        dialog.setWindowTitle(QStringLiteral("ファイルを選ぶ"));
    } else {
        dialog.setWindowTitle(save ? QStringLiteral("スクリプトとして保存") : QStringLiteral("スクリプトを実行"));
        dialog.setNameFilters({QStringLiteral("Tarnwick スクリプト (*.tws)"), QStringLiteral("すべてのファイル (*)")});
        dialog.setDefaultSuffix(QStringLiteral("tws"));
    }
    if (!initialFile.isEmpty())
        dialog.selectFile(initialFile);
    ActiveDialog = &dialog;
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return false;
    chosen = dialog.selectedFiles().first();
    return !chosen.isEmpty();
}

bool TMainWindow::PresentQuestion(const QString& title, const QString& text)
{
    QMessageBox box(QMessageBox::Warning, title, text, QMessageBox::Yes | QMessageBox::No, this);
    box.button(QMessageBox::Yes)->setText(QStringLiteral("はい"));
    box.button(QMessageBox::No)->setText(QStringLiteral("いいえ"));
    box.setDefaultButton(QMessageBox::No);
    ActiveDialog = &box;
    return box.exec() == QMessageBox::Yes;
}

// ---- scripts ----

void TMainWindow::BuildMenus()
{
    QMenu* menu = menuBar()->addMenu(QStringLiteral("スクリプト(&R)"));
    menu->setObjectName("ScriptMenu");
    QAction* save = menu->addAction(QStringLiteral("スクリプトとして保存…"));
    save->setObjectName("SaveSessionScriptAction");
    save->setToolTip(QStringLiteral("Open からのコマンドと既定と違う欄を tarnwick-cli のスクリプトにします"));
    connect(save, &QAction::triggered, this, [this] {
        QString chosen;
        // A password goes into the script as typed: the user says so first.
        if (ScriptHoldsPassword(RecordedScript()) &&
            !PresentQuestion(QStringLiteral("スクリプトとして保存"),
                             QStringLiteral("記録したセッションにはパスワードが平文で含まれます。"
                                            "ファイルは本人だけが読めるように (0600) 書きます。保存しますか?")))
            return;
        if (PresentFileDialog(LastScriptDir, QStringLiteral("session.tws"), chosen, TFileDialogKind::SaveScript) &&
            !chosen.isEmpty()) {
            LastScriptDir = QFileInfo(chosen).absolutePath();
            SaveSessionScript(chosen);
        }
    });
    QAction* run = menu->addAction(QStringLiteral("スクリプトを実行…"));
    run->setObjectName("RunScriptAction");
    connect(run, &QAction::triggered, this, [this] {
        QString chosen;
        if (PresentFileDialog(LastScriptDir, QString(), chosen, TFileDialogKind::OpenScript) && !chosen.isEmpty()) {
            LastScriptDir = QFileInfo(chosen).absolutePath();
            RunScriptFile(chosen);
        }
    });
    // The chosen connection's fields as shown, read through a form of their own
    // (the connection's form belongs to its command thread).
    AddCheckMenu(*this, [this] {
        TNoFrontEnd frontEnd;
        TForm1 shown(frontEnd);
        ApplyFields(shown, Current().Panel()->ReadWidgets());
        return ConnectionSetLines(shown);
    });
}

std::string TMainWindow::RecordedScript() const
{
    std::vector<TJournalEntry> journal;
    {
        std::lock_guard lock(JournalLock);
        journal = Journal;
    }
    std::set<int> used;
    for (const TJournalEntry& entry : journal)
        used.insert(entry.Connection);
    // One connection: its own script, as a window of one connection has always saved it.
    if (used.size() <= 1) {
        for (const auto& connection : Connections)
            if (used.empty() ? connection.get() == &Current() : connection->Id() == *used.begin())
                return connection->RecordedScript();
        return {};
    }
    // Each connection keeps the name it had when its first lines were recorded.
    std::map<int, std::string> names;
    std::string script = "# Tarnwick session script. Replay: tarnwick-cli FILE\n";
    for (const TJournalEntry& entry : journal) {
        script += "client " + names.try_emplace(entry.Connection, entry.Client).first->second + "\n";
        for (const std::string& line : entry.Lines)
            script += line + "\n";
    }
    return script;
}

bool TMainWindow::SaveSessionScript(const QString& path)
{
    const std::string script = RecordedScript();
    if (script.empty()) {
        PresentMessageBox(QMessageBox::Warning, QStringLiteral("スクリプトとして保存"),
                          QStringLiteral("記録したセッションがありません。Open から後のコマンドを記録します"));
        return false;
    }
    QSaveFile file(path);
    // A script that holds a password is the user's alone to read, from its first byte on.
    bool written = file.open(QIODevice::WriteOnly);
    if (written && ScriptHoldsPassword(script))
        written = file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    written = written &&
              file.write(script.data(), static_cast<qint64>(script.size())) == static_cast<qint64>(script.size()) &&
              file.commit();
    if (!written) {
        PresentMessageBox(QMessageBox::Critical, AppTitle(), QStringLiteral("ファイルに書けません: ") + path);
        return false;
    }
    statusBar()->showMessage(QStringLiteral("セッションをスクリプト %1 に保存しました").arg(path), 5000);
    return true;
}

void TMainWindow::RunScriptFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        PresentMessageBox(QMessageBox::Critical, AppTitle(), QStringLiteral("スクリプトを読めません: ") + path);
        return;
    }
    const QByteArray bytes = file.readAll();
    // Which clients it names decides where it runs; the parse itself is redone where it runs.
    TNoFrontEnd frontEnd;
    const TForm1 blank(frontEnd);
    TScript script;
    script.Name = ToSystem(QFileInfo(path).fileName());
    const bool parsed =
        ParseScript(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())), blank, script).empty();
    if (parsed && script.Clients.size() > 1)
        RunSessionScript(script, script.Name);
    else
        Current().RunScriptFile(path);
}

struct TMainWindow::THold {
    std::mutex Lock;
    std::condition_variable Changed;
    std::size_t Held = 0;     // connections waiting in their turn for the script
    bool Started = false;     // the script runs: it ends (cancelled, if need be) before they go on
    bool Done = false;
    bool Abandoned = false;   // the window closes before the script began
};

void TMainWindow::AbandonHolds()
{
    for (const std::weak_ptr<THold>& weak : Holds) {
        if (const std::shared_ptr<THold> hold = weak.lock()) {
            std::lock_guard lock(hold->Lock);
            hold->Abandoned = true;
            hold->Changed.notify_all();
        }
    }
    Holds.clear();
}

// The connections of the script's clients are held, each in its own turn,
// while the first of them drives them all through one session.
void TMainWindow::RunSessionScript(const TScript& script, const std::string& name)
{
    std::vector<TConsoleConnection*> involved;
    for (const std::string& client : script.Clients) {
        TConsoleConnection* found = nullptr;
        for (const auto& connection : Connections)
            if (connection->ScriptName() == client)
                found = connection.get();
        // The client a script speaks to before it names one is the connection in sight.
        if (!found && client == TSession::DefaultClientName &&
            std::find(involved.begin(), involved.end(), &Current()) == involved.end())
            found = &Current();
        if (!found) {
            found = &Connection(AddConnection());
            found->SetScriptName(client);
        }
        involved.push_back(found);
    }
    auto hold = std::make_shared<THold>();
    Holds.push_back(hold);
    for (std::size_t i = 1; i < involved.size(); ++i)
        involved[i]->PostToForm([hold](TForm1&) {
            std::unique_lock lock(hold->Lock);
            ++hold->Held;
            hold->Changed.notify_all();
            hold->Changed.wait(lock, [&] { return hold->Done || (hold->Abandoned && !hold->Started); });
        });
    TConsoleConnection* driver = involved.front();
    const int eventPort = EventPort;
    driver->PostToForm([hold, involved, driver, script, name, eventPort](TForm1&) {
        {
            std::unique_lock lock(hold->Lock);
            hold->Changed.wait(lock, [&] { return hold->Held + 1 == involved.size() || hold->Abandoned; });
            if (hold->Held + 1 != involved.size()) {
                hold->Done = true;
                hold->Changed.notify_all();
                return;
            }
            hold->Started = true;
        }
        TSessionOptions options;
        options.EventPort = eventPort;
        options.DrivePingTimers = false;   // the window's timers keep ticking
        options.ErrorTitle = ToSystem(AppTitle());
        {
            TSession session(options);
            for (std::size_t i = 0; i < involved.size(); ++i)
                session.Adopt(script.Clients[i], involved[i]->Form());
            driver->Say(name + ": running " + std::to_string(script.Steps.size()) + " lines over " +
                        std::to_string(involved.size()) + " clients");
            TScriptRunner runner(session, [driver](const TScriptMessage& message) {
                driver->Say(message.Client.empty() ? message.Text : message.Client + ": " + message.Text);
            });
            runner.DrivePingTimer = false;
            runner.OnStepDone = [involved](const TScriptStep&) {
                for (TConsoleConnection* connection : involved)
                    connection->PublishFromDriver();
            };
            for (TConsoleConnection* connection : involved)
                connection->SetDriver(std::this_thread::get_id(), &runner);
            const TScriptResult result = runner.Run(script);
            for (TConsoleConnection* connection : involved)
                connection->SetDriver({}, nullptr);
            switch (result.Status) {
            case TScriptStatus::Passed:
                driver->Say(name + ": passed (" + std::to_string(result.StepsRun) + " lines)");
                break;
            case TScriptStatus::Failed:
                driver->Say(name + ": FAILED at line " + std::to_string(result.Line));
                break;
            case TScriptStatus::Cancelled:
                driver->Say(name + ": CANCELLED at line " + std::to_string(result.Line));
                break;
            }
        }
        std::lock_guard lock(hold->Lock);
        hold->Done = true;
        hold->Changed.notify_all();
    });
}
