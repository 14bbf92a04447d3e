#include "console/window/MainWindow.h"

#include "console/window/CheckDialog.h"

#include "console/script/Script.h"
#include "console/script/ScriptRunner.h"
#include "console/window/IntSpinBox.h"
#include "console/window/LogoWidget.h"
#include "console/window/PropertyEditor.h"
#include "console/window/SessionFeed.h"
#include "console/window/SessionPanel.h"
#include "console/window/SessionStatus.h"
#include "console/window/SettingsStore.h"
#include "mqtt/codec/ReasonCodes.h"
#include "platform/CodePage.h"

#include <QApplication>
#include <QAction>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSaveFile>
#include <QScrollArea>
#include <QScrollBar>
#include <QShortcut>
#include <QSignalBlocker>
#include <QSplitter>
#include <QStatusBar>
#include <QTabWidget>
#include <QToolButton>
#include <QToolTip>
#include <QVBoxLayout>
#include <QtDebug>

#include <cstring>
#include <utility>

namespace {

template <std::size_t N, typename TRef>
std::size_t IndexOf(const std::array<TRef, N>& table, const char* name)
{
    for (std::size_t i = 0; i < N; ++i)
        if (std::strcmp(table[i].Name, name) == 0)
            return i;
    qFatal("no field %s", name);
}

constexpr TFieldMask AllFields = ~TFieldMask{0};

// The settings as tall as they are, as long as the window has room for them and
// the views below; in a window too low for both they scroll, instead of
// pushing the window past the screen.
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

// The source of the lines a script run adds to the log pane; they never reach the diagnostics.
const char* const SourceScript = "Script";

// A reason code field's value by its name. The acknowledgements' field serves
// four packets: the name is the one of the first that allows the code, and
// the packets that do are named after it.
QString ReasonCodeText(int value, TPacketKind kind)
{
    const auto code = static_cast<uint8_t>(value);
    if (kind != TPacketKind::Puback)
        return TMainWindow::ToQ(FormatReasonCode(code, kind));
    const TPacketKind acks[] = {TPacketKind::Puback, TPacketKind::Pubrec, TPacketKind::Pubrel, TPacketKind::Pubcomp};
    QStringList allowed;
    std::string text;
    for (TPacketKind ack : acks) {
        if (!IsReasonCodeAllowed(code, ack))
            continue;
        if (text.empty())
            text = FormatReasonCode(code, ack);
        allowed << QString::fromLatin1(PacketKindName(ack).data(), static_cast<qsizetype>(PacketKindName(ack).size()));
    }
    if (text.empty())
        return TMainWindow::ToQ(FormatReasonCode(code, kind));
    return TMainWindow::ToQ(text) + QStringLiteral(" (%1)").arg(allowed.join(QStringLiteral("・")));
}

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
    Form = std::make_unique<TForm1>(*this, eventMsgPort);
    // The views of the session hear every line, and every connection "Open" makes.
    Feed = std::make_unique<TSessionFeed>();
    Form->Events.AddObserver([feed = Feed.get()](const TEventRecord& record) { feed->OnEvent(record); });
    Form->SessionObserver = Feed.get();
    PingTimerObj.setInterval(Form->PingTimerInterval);
    PingTimerObj.setTimerType(Qt::CoarseTimer);
    connect(&PingTimerObj, &QTimer::timeout, this, &TMainWindow::OnPingTimerTimeout);
    BuildUi();
    BuildMenus();
    ApplyView(ViewOf(*Form, AllFields));
    UpdateBusy();
}

TMainWindow::~TMainWindow()
{
    // Whatever a late failure says now has no window left to be shown in.
    SuppressBoxes = true;
    Shutdown();
}

void TMainWindow::BuildUi()
{
    setWindowTitle(ToQ(Form->Caption));
    setWindowIcon(QIcon(TarnwickLogoPixmap(64)));
    // The settings keep their size; the views of the session below take the rest.
    Views = new TSessionPanel(*Feed, this);
    auto* split = new QSplitter(Qt::Vertical, this);
    MainSplit = split;
    split->setObjectName("MainSplitter");
    split->setChildrenCollapsible(false);
    split->addWidget(new TSettingsArea(BuildSettings(), split));
    split->addWidget(Views);
    split->setStretchFactor(0, 0);
    split->setStretchFactor(1, 1);
    setCentralWidget(split);

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
    statusBar()->addPermanentWidget(Views->Status());
    Views->Status()->show();
}

// The header, then the groups of the field table in two columns.
QWidget* TMainWindow::BuildSettings()
{
    auto* settings = new QWidget(this);
    auto* outer = new QVBoxLayout(settings);

    // Header: the logo and the caption.
    auto* header = new QHBoxLayout;
    auto* logo = new TLogoWidget(56, settings);
    logo->setObjectName("Image1");
    header->addWidget(logo);
    auto* title = new QLabel(ToQ(Form->Caption), settings);
    QFont titleFont = title->font();
    titleFont.setPointSizeF(titleFont.pointSizeF() * 1.5);
    titleFont.setBold(true);
    title->setFont(titleFont);
    header->addWidget(title);
    header->addStretch(1);
    auto* hint = new QLabel(QStringLiteral("結果はログ (UDP %1) に出力されます").arg(EventPort), settings);
    hint->setEnabled(false);
    header->addWidget(hint, 0, Qt::AlignBottom);
    outer->addLayout(header);

    // The buttons first: the order in which controls are made is their tab order.
    for (const TCommandInfo& command : Form->Commands()) {
        auto* button = new QPushButton(ToQ(command.Caption), settings);
        button->setObjectName(QString::fromStdString(command.Name));
        Buttons[command.Name] = button;
    }

    auto* columns = new QHBoxLayout;
    auto* left = new QVBoxLayout;
    auto* right = new QVBoxLayout;
    columns->addLayout(left, 1);
    columns->addLayout(right, 1);
    outer->addLayout(columns);
    const TGroupInfo* mqtt5 = nullptr;
    for (const TGroupInfo& group : Groups) {
        if (group.Group == TControlGroup::Mqtt5) {
            mqtt5 = &group;
            continue;
        }
        auto* box = new QGroupBox(QString::fromUtf8(group.Title), settings);
        box->setObjectName(group.Name);
        auto* form = new QFormLayout(box);
        if (group.Group == TControlGroup::Connection)
            BuildProfileRows(settings, form);
        BuildGroup(group.Group, settings, form);
        (group.RightColumn ? right : left)->addWidget(box);
    }
    left->addStretch(1);
    right->addStretch(1);
    // Across both columns under them: its rows need the width, and the groups
    // above keep their places. Made last, so that it comes last in the tab order.
    if (mqtt5)
        outer->addWidget(BuildMqtt5Group(*mqtt5, settings));

    // "..." is only as wide as its caption; the two publish buttons share one width so the rows line up.
    for (const auto& [name, button] : Buttons)
        if (button->text() == QLatin1String("..."))
            button->setMaximumWidth(button->fontMetrics().horizontalAdvance(QStringLiteral("....")) + 24);
    const int publishWidth = std::max(Buttons.at("Button5")->sizeHint().width(), Buttons.at("Button7")->sizeHint().width());
    Buttons.at("Button5")->setMinimumWidth(publishWidth);
    Buttons.at("Button7")->setMinimumWidth(publishWidth);
    return settings;
}

// One group's rows, from the table rows of the group in their order.
void TMainWindow::BuildGroup(TControlGroup group, QWidget* parent, QFormLayout* form, std::size_t from,
                             std::size_t to)
{
    // The row being filled: its label (a Row), its controls, and whether one of
    // them takes the row's spare width.
    struct TRowBuild {
        TPlace Place = TPlace::Row;
        QLabel* Label = nullptr;
        std::vector<std::pair<QWidget*, bool>> Items;   // widget, stretch before it
        bool Stretches = false;
    } row;
    auto labelFor = [&](const TControlInfo& control, QWidget* buddy) {
        auto* label = new QLabel(ToQ(ControlLabel(*Form, control)), parent);
        label->setObjectName(buddy->objectName() + "Label");
        label->setBuddy(buddy);
        return label;
    };
    auto finish = [&] {
        if (row.Items.empty())
            return;
        if (row.Place == TPlace::Row && row.Items.size() == 1 && qobject_cast<TPropertyEditor*>(row.Items[0].first)) {
            // The page's tab names the packet: the rows take the whole width.
            row.Items[0].first->setAccessibleName(row.Label->text());
            row.Label->hide();
            form->addRow(row.Items[0].first);
        } else if (row.Place == TPlace::Row && row.Items.size() == 1) {
            form->addRow(row.Label, row.Items[0].first);
        } else {
            auto* line = new QHBoxLayout;
            if (row.Place == TPlace::Buttons)
                line->addStretch(1);
            bool right = false;
            for (const auto& [widget, stretchBefore] : row.Items) {
                if (stretchBefore)
                    line->addStretch(1);
                right = right || stretchBefore;
                line->addWidget(widget, qobject_cast<QLineEdit*>(widget) ? 1 : 0);
            }
            // A row without a growing control keeps its controls at the left.
            if (!row.Stretches && !right && row.Place != TPlace::Buttons)
                line->addStretch(1);
            if (row.Place == TPlace::Row)
                form->addRow(row.Label, line);
            else
                form->addRow(line);
        }
        row = TRowBuild{};
    };

    for (std::size_t index = from; index < to && index < Controls.size(); ++index) {
        const TControlInfo& control = Controls[index];
        if (control.Group != group)
            continue;
        QWidget* widget = MakeControl(control, parent);
        // On a page of the MQTT 5.0 group a packet's command sits at the right of its reason code.
        const bool besideReason = control.Place == TPlace::Buttons && group == TControlGroup::Mqtt5 &&
                                  row.Place == TPlace::Row && !row.Items.empty();
        const bool joins = control.Place == TPlace::Beside || control.Place == TPlace::Right ||
                           (control.Place == TPlace::Buttons && row.Place == TPlace::Buttons) || besideReason;
        if (!joins) {
            finish();
            row.Place = control.Place;
        }
        const bool stretchBefore = control.Place == TPlace::Right || besideReason;
        // The TLS group's controls but its switch follow the switch.
        auto follow = [&](QWidget* w) {
            if (group == TControlGroup::Tls && control.Check != &TForm1::TlsChk)
                TlsRows.push_back(w);
        };
        follow(widget);
        if (control.Place == TPlace::Row) {
            row.Label = labelFor(control, widget);
            follow(row.Label);
        } else if (control.Kind == TControlKind::Int || control.Kind == TControlKind::Choice) {
            // An integer field or a choice inside a line has its label right before it.
            QLabel* label = labelFor(control, widget);
            follow(label);
            row.Items.emplace_back(label, stretchBefore);
            row.Items.emplace_back(widget, false);
            row.Stretches = row.Stretches || qobject_cast<QLineEdit*>(widget) != nullptr;
            continue;
        }
        row.Items.emplace_back(widget, stretchBefore);
        row.Stretches = row.Stretches || qobject_cast<QLineEdit*>(widget) != nullptr;
        if (control.Kind == TControlKind::Int && control.Packet != TPacketKind{}) {
            // A reason code is shown by its name beside the number.
            auto* name = new QLabel(parent);
            name->setObjectName(QString::fromLatin1(control.Name) + "Name");
            name->setEnabled(false);
            auto* spin = static_cast<QSpinBox*>(widget);
            const TPacketKind kind = control.Packet;
            auto show = [name, spin, kind] { name->setText(ReasonCodeText(spin->value(), kind)); };
            connect(spin, &QSpinBox::valueChanged, name, show);
            show();
            row.Items.emplace_back(name, false);
        }
        if (control.Kind == TControlKind::Check && control.Hint) {
            // A greyed note after the check box says what it changes.
            auto* note = new QLabel(QString::fromUtf8(control.Hint), parent);
            note->setObjectName(QString::fromLatin1(control.Name) + "Hint");
            note->setEnabled(false);
            row.Items.emplace_back(note, false);
            follow(note);
        }
        if (control.Kind == TControlKind::Text || control.Kind == TControlKind::Int ||
            control.Kind == TControlKind::Choice)
            FieldPlaces[control.Name] = {form, row.Label};
    }
    finish();
}

// The widget of one table row, named after its control and wired to its handler.
QWidget* TMainWindow::MakeControl(const TControlInfo& control, QWidget* parent)
{
    switch (control.Kind) {
    case TControlKind::Text: {
        const std::size_t i = IndexOf(TextFields, control.Name);
        if (control.Packet != TPacketKind{}) {
            // MQTT 5.0 properties: rows over the text line the form reads.
            auto* editor = new TPropertyEditor(control.Packet, QString::fromLatin1(control.Name), parent);
            QLineEdit* edit = editor->TextEdit();
            if (control.Hint)
                edit->setPlaceholderText(QString::fromUtf8(control.Hint));
            TextEdits[i] = edit;
            PropertyEditors[i] = editor;
            connect(editor, &TPropertyEditor::Edited, this, [this, name = edit->objectName()] {
                ClearFieldError(name);
                UpdateMqtt5Titles();
            });
            if (control.Handler) {
                // Its change reaches the running connection when an edit is done, not at every key.
                const TCommandJob job{control.Handler, {}, {}, control.Gate, ToQ(ControlLabel(*Form, control))};
                auto committed = std::make_shared<QString>();
                connect(editor, &TPropertyEditor::Committed, this, [this, job, edit, committed] {
                    if (edit->text() == *committed)
                        return;
                    *committed = edit->text();
                    Enqueue(job);
                });
            }
            return editor;
        }
        auto* edit = new QLineEdit(parent);
        edit->setObjectName(control.Name);
        edit->setMinimumWidth(edit->fontMetrics().averageCharWidth() * 30);
        if (control.Masked)
            edit->setEchoMode(QLineEdit::Password);
        if (control.Hint)
            edit->setPlaceholderText(QString::fromUtf8(control.Hint));
        TextEdits[i] = edit;
        connect(edit, &QLineEdit::textEdited, this, [this, name = edit->objectName()] { ClearFieldError(name); });
        return edit;
    }
    case TControlKind::Int: {
        const std::size_t i = IndexOf(IntFields, control.Name);
        auto* spin = new TIntSpinBox(control.Min, control.Max, parent);
        spin->setObjectName(control.Name);
        Spins[i] = spin;
        connect(spin, &QSpinBox::textChanged, this, [this, name = spin->objectName()] { ClearFieldError(name); });
        if (control.Handler) {
            const TCommandJob job{control.Handler, {}, {}, control.Gate, ToQ(ControlLabel(*Form, control))};
            connect(spin, &QSpinBox::valueChanged, this, [this, job] { Enqueue(job); });
        }
        return spin;
    }
    case TControlKind::Check: {
        auto* check = new QCheckBox(ToQ(ControlLabel(*Form, control)), parent);
        check->setObjectName(control.Name);
        Checks[IndexOf(CheckFields, control.Name)] = check;
        if (control.Check == &TForm1::PingTimerChk)
            PingChk = check;
        if (control.Check == &TForm1::TlsChk) {
            TlsChk = check;
            connect(check, &QCheckBox::toggled, this, &TMainWindow::UpdateTlsRows);
        }
        if (control.Handler) {
            const TCommandJob job{control.Handler, {}, {}, control.Gate, check->text()};
            connect(check, &QCheckBox::clicked, this, [this, job] { Enqueue(job); });
        }
        return check;
    }
    case TControlKind::Choice: {
        auto* combo = new QComboBox(parent);
        combo->setObjectName(control.Name);
        for (const char* item : control.Items)
            combo->addItem(QString::fromUtf8(item));
        combo->setAccessibleName(ToQ(ControlLabel(*Form, control)));
        Combos[IndexOf(ChoiceFields, control.Name)] = combo;
        if (control.Choice == &TForm1::ProtocolVersionCmb)
            connect(combo, &QComboBox::currentIndexChanged, this, &TMainWindow::UpdateMqtt5Group);
        return combo;
    }
    case TControlKind::Button:
        break;
    }
    QPushButton* button = Buttons.at(control.Name);
    for (const TCommandInfo& command : Form->Commands()) {
        if (command.Name != control.Name)
            continue;
        const TCommandJob job{command.Handler, {}, {}, control.Gate, button->text()};
        connect(button, &QPushButton::clicked, this, [this, job] {
            Enqueue(job);
            // "Close" ends the running command's wait, so that it comes at once; it
            // is queued first, so that a timer tick cannot slip in before it.
            if (job.Handler == &TForm1::DisconnectBtnClick)
                CancelRunning();
        });
    }
    return button;
}

// ---- start and end ----

void TMainWindow::Start()
{
    if (Started || ShutDown)
        return;
    Started = true;
    // The command thread does not run yet: the form is this thread's alone.
    Form->Run(&TForm1::FormCreate);
    // The fields as the window left them last time (the identifier too, over the new default).
    if (Store) {
        TFieldValues values = CaptureFields(*Form);
        if (Store->LoadFields(values))
            ApplyFields(*Form, values);
    }
    ApplyView(ViewOf(*Form, AllFields));
    Commands.Start();
}

void TMainWindow::BeginClosing()
{
    if (!ClosingUi) {
        ClosingUi = true;
        std::lock_guard lock(AskLock);
        Closing = true;
    }
    AskDone.notify_all();
    Pending -= static_cast<int>(Commands.DropPending());
    PingTimerObj.stop();
    // Whatever the running command waits for, the broker or a box, it stops waiting now.
    CancelRunning();
    if (ActiveDialog)
        ActiveDialog->reject();
}

void TMainWindow::CancelRunning()
{
    {
        std::lock_guard lock(RunnerLock);
        if (ActiveRunner)
            ActiveRunner->Cancel();
    }
    Form->CancelWait();
}

void TMainWindow::Shutdown()
{
    if (ShutDown)
        return;
    // The fields as they are on the screen now, for the next start.
    if (Store && Started)
        Store->SaveFields(ReadWidgets());
    BeginClosing();
    ShutDown = true;
    Commands.Stop();
    // The command thread has ended: the form is this thread's again.
    if (Started)
        Form->Run(&TForm1::FormDestroy);
    Pending = 0;
    Running.clear();
    UpdateBusy();
}

void TMainWindow::closeEvent(QCloseEvent* event)
{
    if (ShutDown) {
        event->accept();
        return;
    }
    BeginClosing();
    if (Pending > 0) {
        // The running command ends its wait now; the window closes when it has
        // ended. One that still works on (a connect in progress) finishes out of
        // sight: the window goes away after half a second all the same.
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

// ---- queueing commands ----

void TMainWindow::Enqueue(TCommandJob job)
{
    if (ClosingUi || ShutDown)
        return;
    job.Fields = ReadWidgets();
    if (!Commands.Post([this, job = std::move(job)] { RunCommand(job); }))
        return;
    ++Pending;
    UpdateBusy();
}

void TMainWindow::PostToForm(std::function<void(TForm1&)> fn)
{
    TCommandJob job;
    job.Custom = std::move(fn);
    job.Caption = QStringLiteral("(設定)");
    Enqueue(std::move(job));
}

void TMainWindow::OnPingTimerTimeout()
{
    if (ClosingUi || ShutDown)
        return;
    // The tick runs only while the form still has its timer on when the tick's
    // turn comes: a "Close" clicked before it switched the timer off.
    TCommandJob job;
    job.Handler = &TForm1::PingTimerTick;
    job.Gate = &TForm1::PingTimerEnabled;
    job.Caption = QStringLiteral("PINGREQ (定期送信)");
    job.Fields = ReadWidgets();
    if (Commands.PostTick([this, job = std::move(job)] { RunCommand(job); })) {
        ++Pending;
        UpdateBusy();
    }
}

// ---- the command thread ----

void TMainWindow::RunCommand(const TCommandJob& job)
{
    QMetaObject::invokeMethod(this, [this, caption = job.Caption] { OnStarted(caption); }, Qt::QueuedConnection);
    TForm1& form = *Form;
    // A click on a control that is disabled by the time its turn comes does
    // nothing, as it would on a disabled control.
    const bool enabled = job.Gate == nullptr || form.*job.Gate;
    const bool checkedBefore = form.PingTimerChk;
    ApplyFields(form, job.Fields);
    Baseline = job.Fields;
    if (!enabled) {
        if (job.Gate == &TForm1::PingTimerChkEnabled)
            form.PingTimerChk = checkedBefore;
    } else if (job.Handler) {
        Recorder.OnCommand(form, job.Handler);
        form.Run(job.Handler);
        Recorder.OnCommandDone(form);
    } else if (job.Custom) {
        job.Custom(form);
    }
    PublishView();
    QMetaObject::invokeMethod(this, [this, caption = job.Caption] { OnFinished(caption); }, Qt::QueuedConnection);
}

void TMainWindow::PublishView()
{
    const TFieldValues now = CaptureFields(*Form);
    TFormView view = ViewOf(*Form, DiffFields(now, Baseline));
    Baseline = now;
    QMetaObject::invokeMethod(this, [this, view = std::move(view)] { ApplyView(view); }, Qt::QueuedConnection);
}

template <typename R>
R TMainWindow::AskUi(std::function<R()> ask, R cancelled, const QString& what)
{
    struct TAnswer {
        bool Done = false;
        R Value{};
    };
    auto answer = std::make_shared<TAnswer>();
    {
        std::lock_guard lock(AskLock);
        if (Closing) {
            qWarning().noquote() << "tarnwick: closing, not shown:" << what;
            return cancelled;
        }
    }
    QMetaObject::invokeMethod(
        this,
        [this, answer, ask = std::move(ask)] {
            {
                std::lock_guard lock(AskLock);
                if (Closing)
                    return;
            }
            R value = ask();
            {
                std::lock_guard lock(AskLock);
                answer->Value = std::move(value);
                answer->Done = true;
            }
            AskDone.notify_all();
        },
        Qt::QueuedConnection);
    std::unique_lock lock(AskLock);
    AskDone.wait(lock, [&] { return answer->Done || Closing; });
    return answer->Done ? answer->Value : cancelled;
}

// ---- TFrontEnd ----

void TMainWindow::ShowError(const std::string& text)
{
    if (Commands.OnWorkerThread()) {
        Recorder.OnBox(text);
        if (BoxToRunner(ToSystem(AppTitle()), text))
            return;
    }
    const QString message = ToQ(text);
    auto show = [this, message] {
        PresentMessageBox(QMessageBox::Critical, AppTitle(), message);
        return true;
    };
    if (Commands.OnWorkerThread()) {
        AskUi<bool>(show, false, message);
    } else if (SuppressBoxes) {
        qWarning().noquote() << "tarnwick:" << message;
    } else {
        show();
    }
}

void TMainWindow::ShowMessageBox(const std::string& title, const std::string& text, bool warning)
{
    if (Commands.OnWorkerThread()) {
        Recorder.OnBox(text);
        if (BoxToRunner(title, text))
            return;
    }
    const QString boxTitle = ToQ(title);
    const QString message = ToQ(text);
    auto show = [this, boxTitle, message, warning] {
        PresentMessageBox(warning ? QMessageBox::Warning : QMessageBox::Critical, boxTitle, message);
        return true;
    };
    if (Commands.OnWorkerThread()) {
        AskUi<bool>(show, false, message);
    } else if (SuppressBoxes) {
        qWarning().noquote() << "tarnwick:" << boxTitle << message;
    } else {
        show();
    }
}

bool TMainWindow::ChooseFile(const std::string& initialDir, const std::string& initialFile, std::string& chosenPath)
{
    const QString dir = ToQ(initialDir);
    const QString file = ToQ(initialFile);
    auto choose = [this, dir, file] {
        QString chosen;
        const bool confirmed = PresentFileDialog(dir, file, chosen, TFileDialogKind::OpenFile);
        return std::pair<bool, QString>(confirmed && !chosen.isEmpty(), chosen);
    };
    std::pair<bool, QString> result{false, {}};
    if (Commands.OnWorkerThread())
        result = AskUi<std::pair<bool, QString>>(choose, {false, {}}, QStringLiteral("file chooser"));
    else if (!SuppressBoxes)
        result = choose();
    if (!result.first)
        return false;
    chosenPath = ToSystem(result.second);
    return true;
}

void TMainWindow::SetPingTimer(bool enabled, int intervalMs)
{
    if (Commands.OnWorkerThread())
        QMetaObject::invokeMethod(this, [this, enabled, intervalMs] { ApplyTimer(enabled, intervalMs); },
                                  Qt::QueuedConnection);
    else
        ApplyTimer(enabled, intervalMs);
}

void TMainWindow::ControlsChanged()
{
    if (Commands.OnWorkerThread())
        PublishView();
    else
        ApplyView(ViewOf(*Form, AllFields));
}

// ---- this thread: widgets ----

TFieldValues TMainWindow::ReadWidgets() const
{
    TFieldValues values;
    for (std::size_t i = 0; i < TextEdits.size(); ++i)
        values.Texts[i] = ToSystem(TextEdits[i]->text());
    for (std::size_t i = 0; i < Spins.size(); ++i)
        values.Ints[i] = ToSystem(Spins[i]->cleanText());
    for (std::size_t i = 0; i < Checks.size(); ++i)
        values.Checks[i] = Checks[i]->isChecked();
    for (std::size_t i = 0; i < Combos.size(); ++i)
        values.Choices[i] = Combos[i]->currentIndex();
    return values;
}

void TMainWindow::ApplyView(const TFormView& view)
{
    ApplyValues(view.Values, view.Changed);
    Buttons.at("ConnectBtn")->setEnabled(view.ConnectBtnEnabled);
    Buttons.at("DisconnectBtn")->setEnabled(view.DisconnectBtnEnabled);
    PingChk->setEnabled(view.PingTimerChkEnabled);
    Views->SetConsoleOpened(view.DisconnectBtnEnabled);
}

void TMainWindow::ApplyValues(const TFieldValues& values, TFieldMask changed)
{
    const TFormView view{values, changed};
    for (std::size_t i = 0; i < TextEdits.size(); ++i) {
        if (view.Changed & TextBit(i)) {
            if (PropertyEditors[i]) {
                PropertyEditors[i]->SetText(ToQ(view.Values.Texts[i]));
            } else {
                const QSignalBlocker block(TextEdits[i]);
                TextEdits[i]->setText(ToQ(view.Values.Texts[i]));
            }
            ClearFieldError(TextEdits[i]->objectName());
        }
    }
    for (std::size_t i = 0; i < Spins.size(); ++i) {
        if (view.Changed & IntBit(i)) {
            const TIntField field{{}, view.Values.Ints[i], Spins[i]->minimum(), Spins[i]->maximum()};
            const QSignalBlocker block(Spins[i]);
            Spins[i]->setValue(field.Value());
            ClearFieldError(Spins[i]->objectName());
        }
    }
    for (std::size_t i = 0; i < Checks.size(); ++i) {
        if (view.Changed & CheckBit(i)) {
            const QSignalBlocker block(Checks[i]);
            Checks[i]->setChecked(view.Values.Checks[i]);
        }
    }
    for (std::size_t i = 0; i < Combos.size(); ++i) {
        if (view.Changed & ChoiceBit(i)) {
            const QSignalBlocker block(Combos[i]);
            const int index = view.Values.Choices[i];
            Combos[i]->setCurrentIndex(index >= 0 && index < Combos[i]->count() ? index : 0);
        }
    }
    UpdateTlsRows();
    UpdateMqtt5Titles();
    UpdateMqtt5Group();
}

void TMainWindow::UpdateTlsRows()
{
    const bool on = TlsChk && TlsChk->isChecked();
    for (QWidget* widget : TlsRows)
        widget->setEnabled(on);
}

// ---- MQTT 5.0 ----

QGroupBox* TMainWindow::BuildMqtt5Group(const TGroupInfo& group, QWidget* parent)
{
    Mqtt5Box = new QGroupBox(QString::fromUtf8(group.Title), parent);
    Mqtt5Box->setObjectName(group.Name);
    auto* layout = new QVBoxLayout(Mqtt5Box);
    Mqtt5Note = new QLabel(QStringLiteral("プロトコルが MQTT 5.0 ではないので、ここの設定は送られません"), Mqtt5Box);
    Mqtt5Note->setObjectName("Mqtt5Note");
    Mqtt5Note->setEnabled(false);
    layout->addWidget(Mqtt5Note);
    Mqtt5Tabs = new QTabWidget(Mqtt5Box);
    Mqtt5Tabs->setObjectName("Mqtt5Tabs");
    Mqtt5Tabs->setAccessibleName(QString::fromUtf8(group.Title));
    layout->addWidget(Mqtt5Tabs);

    // A page from each properties row to the next: a packet's reason code and
    // its command go with its properties.
    auto addPage = [&](std::size_t from, std::size_t to) {
        auto* page = new QWidget(Mqtt5Tabs);
        page->setObjectName(QString::fromLatin1(Controls[from].Name) + "Page");
        auto* form = new QFormLayout(page);
        BuildGroup(group.Group, parent, form, from, to);
        const QString title = QString::fromUtf8(Controls[from].Label).remove(QStringLiteral("プロパティ")).trimmed();
        Mqtt5Tabs->addTab(page, title);
        page->setProperty("title", title);
    };
    std::size_t from = Controls.size();
    for (std::size_t i = 0; i < Controls.size(); ++i) {
        const TControlInfo& control = Controls[i];
        if (control.Group != group.Group)
            continue;
        const bool properties = control.Kind == TControlKind::Text && control.Packet != TPacketKind{};
        if (from == Controls.size())
            from = i;
        else if (properties) {
            addPage(from, i);
            from = i;
        }
    }
    if (from < Controls.size())
        addPage(from, Controls.size());
    return Mqtt5Box;
}

TPropertyEditor* TMainWindow::PropertyEditor(const QString& controlName) const
{
    for (std::size_t i = 0; i < TextFields.size(); ++i)
        if (controlName == QLatin1String(TextFields[i].Name))
            return PropertyEditors[i];
    return nullptr;
}

void TMainWindow::UpdateMqtt5Titles()
{
    if (!Mqtt5Tabs)
        return;
    for (int i = 0; i < Mqtt5Tabs->count(); ++i) {
        QWidget* page = Mqtt5Tabs->widget(i);
        const QString title = page->property("title").toString();
        const auto* editor = page->findChild<TPropertyEditor*>();
        const int rows = editor ? editor->RowCount() : 0;
        Mqtt5Tabs->setTabText(i, rows > 0 ? QStringLiteral("%1 (%2)").arg(title).arg(rows) : title);
    }
}

void TMainWindow::UpdateMqtt5Group()
{
    if (!Mqtt5Box)
        return;
    const int chosen = Combos[IndexOf(ChoiceFields, "ProtocolVersionCmb")]->currentIndex();
    const bool speaks5 = chosen >= 0 && chosen < static_cast<int>(std::size(AllProtocolVersions)) &&
                         AllProtocolVersions[chosen] == TProtocolVersion::MQTT50;
    bool holds = false;
    for (const TControlInfo& control : Controls) {
        if (control.Group != TControlGroup::Mqtt5)
            continue;
        if (control.Kind == TControlKind::Text)
            holds = holds || TextEdits[IndexOf(TextFields, control.Name)]->text().contains(
                                 QRegularExpression(QStringLiteral("[^\\s;]")));
        else if (control.Kind == TControlKind::Int)
            holds = holds || Spins[IndexOf(IntFields, control.Name)]->value() != 0;
    }
    Mqtt5Note->setVisible(!speaks5);
    const bool show = speaks5 || holds;
    if (show == !Mqtt5Box->isHidden())
        return;
    Mqtt5Box->setVisible(show);
    // The settings take the height they need now, the views below the rest.
    const QList<int> sizes = MainSplit->sizes();
    const int total = sizes.value(0) + sizes.value(1);
    auto* area = static_cast<QScrollArea*>(MainSplit->widget(0));
    if (area->widget()->layout())
        area->widget()->layout()->activate();
    // As much as they need, as long as the views keep their smallest height.
    const int settings = std::min(area->sizeHint().height(), total - Views->minimumSizeHint().height());
    if (total > 0 && settings > 0)
        MainSplit->setSizes({settings, total - settings});
}

void TMainWindow::RevealField(QWidget* field)
{
    if (!Mqtt5Box || !Mqtt5Box->isAncestorOf(field))
        return;
    if (Mqtt5Box->isHidden()) {
        Mqtt5Box->show();
        Mqtt5Note->setVisible(true);
    }
    for (int i = 0; i < Mqtt5Tabs->count(); ++i)
        if (Mqtt5Tabs->widget(i)->isAncestorOf(field))
            Mqtt5Tabs->setCurrentIndex(i);
}

void TMainWindow::ApplyTimer(bool enabled, int intervalMs)
{
    if (ShutDown || ClosingUi)
        return;   // a closing window ticks no more
    // QTimer restarts on every setInterval while it runs; the same interval must
    // leave the running period alone.
    if (!enabled) {
        PingTimerObj.stop();
        if (PingTimerObj.interval() != intervalMs)
            PingTimerObj.setInterval(intervalMs);
        return;
    }
    if (PingTimerObj.interval() != intervalMs)
        PingTimerObj.setInterval(intervalMs);   // a running timer starts a new period
    if (!PingTimerObj.isActive())
        PingTimerObj.start();                   // a full period before the first tick
}

void TMainWindow::OnStarted(const QString& caption)
{
    Running = caption;
    UpdateBusy();
    emit CommandStarted(caption);
}

void TMainWindow::OnFinished(const QString& caption)
{
    Running.clear();
    if (Pending > 0)
        --Pending;
    UpdateBusy();
    emit CommandFinished(caption);
    if (Pending == 0) {
        emit BecameIdle();
        if (CloseWhenIdle)
            QTimer::singleShot(0, this, [this] { close(); });
    }
}

void TMainWindow::UpdateBusy()
{
    CancelBtn->setEnabled(Pending > 0 && !ShutDown);
    if (Pending > 0) {
        setCursor(Qt::BusyCursor);
        QString text;
        if (ClosingUi)
            text = QStringLiteral("終了しています: 実行中のコマンドの終わりを待っています…");
        else if (!Running.isEmpty())
            text = QStringLiteral("実行中: %1").arg(Running);
        else
            text = QStringLiteral("実行待ち");
        if (!ClosingUi && Pending > 1)
            text += QStringLiteral("  (あと %1 件)").arg(Pending - 1);
        StatusLabel->setText(text);
    } else {
        unsetCursor();
        StatusLabel->setText(ShutDown ? QStringLiteral("終了") : QStringLiteral("準備完了"));
    }
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
    if (kind != TFileDialogKind::OpenFile) {
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

// ---- fields that a frame could not be built from ----

void TMainWindow::ShowFieldError(const std::string& controlName, const std::string& reason)
{
    const QString name = QString::fromStdString(controlName);
    const QString text = ToQ(reason);
    if (Commands.OnWorkerThread())
        QMetaObject::invokeMethod(this, [this, name, text] { MarkFieldError(name, text); }, Qt::QueuedConnection);
    else
        MarkFieldError(name, text);
}

QString TMainWindow::FieldError(const QString& controlName) const
{
    const auto found = FieldErrors.find(controlName);
    return found == FieldErrors.end() ? QString() : found->second;
}

QWidget* TMainWindow::FieldWidget(const QString& controlName) const
{
    for (std::size_t i = 0; i < TextFields.size(); ++i)
        if (controlName == QLatin1String(TextFields[i].Name))
            return TextEdits[i];
    for (std::size_t i = 0; i < IntFields.size(); ++i)
        if (controlName == QLatin1String(IntFields[i].Name))
            return Spins[i];
    for (std::size_t i = 0; i < CheckFields.size(); ++i)
        if (controlName == QLatin1String(CheckFields[i].Name))
            return Checks[i];
    for (std::size_t i = 0; i < ChoiceFields.size(); ++i)
        if (controlName == QLatin1String(ChoiceFields[i].Name))
            return Combos[i];
    return nullptr;
}

// A red frame on the field, the reason as its tooltip and in a line under it,
// until the field is next edited. A reason that names no field goes to the status bar.
void TMainWindow::MarkFieldError(const QString& controlName, const QString& reason)
{
    if (ShutDown)
        return;
    QWidget* field = FieldWidget(controlName);
    if (!field) {
        statusBar()->showMessage(reason, 15000);
        return;
    }
    FieldErrors[controlName] = reason;
    RevealField(field);
    if (TPropertyEditor* editor = PropertyEditor(controlName)) {
        // The editor says it under its rows.
        editor->MarkError(reason);
        return;
    }
    field->setStyleSheet(QStringLiteral("border: 2px solid #d32f2f;"));
    field->setToolTip(reason);
    const auto place = FieldPlaces.find(controlName.toStdString());
    if (place == FieldPlaces.end() || !place->second.RowLabel)
        return;
    QLabel*& label = ErrorLabels[controlName];
    QFormLayout* form = place->second.Form;
    if (!label) {
        int row = -1;
        QFormLayout::ItemRole role;
        form->getWidgetPosition(place->second.RowLabel, &row, &role);
        label = new QLabel(field->parentWidget());
        label->setObjectName(controlName + "Error");
        label->setWordWrap(true);
        label->setStyleSheet(QStringLiteral("color: #d32f2f;"));
        form->insertRow(row + 1, static_cast<QWidget*>(nullptr), label);
    }
    label->setText(reason);
    int row = -1;
    QFormLayout::ItemRole role;
    form->getWidgetPosition(label, &row, &role);
    form->setRowVisible(row, true);
}

// One failure may mark several fields (a topic list and its QoS list): editing
// one of them clears them all.
void TMainWindow::ClearFieldError(const QString& controlName)
{
    const auto found = FieldErrors.find(controlName);
    if (found == FieldErrors.end())
        return;
    const QString reason = found->second;
    for (auto it = FieldErrors.begin(); it != FieldErrors.end();) {
        if (it->second != reason) {
            ++it;
            continue;
        }
        if (TPropertyEditor* editor = PropertyEditor(it->first)) {
            editor->ClearError();
        } else if (QWidget* field = FieldWidget(it->first)) {
            field->setStyleSheet(QString());
            field->setToolTip(QString());
        }
        if (const auto label = ErrorLabels.find(it->first); label != ErrorLabels.end()) {
            int row = -1;
            QFormLayout::ItemRole role;
            const auto place = FieldPlaces.find(it->first.toStdString());
            place->second.Form->getWidgetPosition(label->second, &row, &role);
            place->second.Form->setRowVisible(row, false);
        }
        it = FieldErrors.erase(it);
    }
}

// ---- connection profiles ----

// The profile box, its three buttons and the password's switch, above the connection's fields.
void TMainWindow::BuildProfileRows(QWidget* parent, QFormLayout* form)
{
    ProfileCmb = new QComboBox(parent);
    ProfileCmb->setObjectName("ProfileCmb");
    ProfileCmb->setEditable(true);
    ProfileCmb->setInsertPolicy(QComboBox::NoInsert);
    ProfileCmb->lineEdit()->setPlaceholderText(QStringLiteral("名前"));
    ProfileCmb->setAccessibleName(QStringLiteral("接続プロファイル"));
    ProfileCmb->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    auto* label = new QLabel(QStringLiteral("接続プロファイル"), parent);
    label->setObjectName("ProfileCmbLabel");
    label->setBuddy(ProfileCmb);
    auto button = [&](const char* name, const QString& caption, const QString& tip, void (TMainWindow::*slot)()) {
        auto* b = new QPushButton(caption, parent);
        b->setObjectName(name);
        b->setToolTip(tip);
        connect(b, &QPushButton::clicked, this, slot);
        return b;
    };
    QPushButton* load = button("ProfileLoadBtn", QStringLiteral("読込"),
                               QStringLiteral("プロファイルの接続先を欄に読み込みます"), &TMainWindow::LoadProfile);
    QPushButton* save = button("ProfileSaveBtn", QStringLiteral("保存"),
                               QStringLiteral("いまの接続先をこの名前で保存します"), &TMainWindow::SaveProfile);
    QPushButton* remove = button("ProfileDeleteBtn", QStringLiteral("削除"),
                                 QStringLiteral("この名前のプロファイルを削除します"), &TMainWindow::DeleteProfile);
    ProfilePasswordChk = new QCheckBox(QStringLiteral("パスワードも保存"), parent);
    ProfilePasswordChk->setObjectName("ProfilePasswordChk");
    ProfilePasswordChk->setToolTip(QStringLiteral("パスワードは本人だけが読めるファイル (passwords.json, 0600) に保存されます"));

    auto* line = new QHBoxLayout;
    line->addWidget(ProfileCmb, 1);
    line->addWidget(load);
    line->addWidget(save);
    line->addWidget(remove);
    form->addRow(label, line);
    auto* second = new QHBoxLayout;
    second->addStretch(1);
    second->addWidget(ProfilePasswordChk);
    form->addRow(second);
    if (!Store) {
        for (QWidget* w : std::initializer_list<QWidget*>{ProfileCmb, load, save, remove, ProfilePasswordChk}) {
            w->setEnabled(false);
            w->setToolTip(QStringLiteral("設定の保存先がありません"));
        }
        return;
    }
    RefreshProfiles(QString());
}

void TMainWindow::RefreshProfiles(const QString& select)
{
    const QSignalBlocker block(ProfileCmb);
    ProfileCmb->clear();
    if (Store)
        ProfileCmb->addItems(Store->ProfileNames());
    ProfileCmb->setCurrentIndex(ProfileCmb->findText(select));
    ProfileCmb->setEditText(select);
}

void TMainWindow::SaveProfile()
{
    if (!Store)
        return;
    const QString name = ProfileCmb->currentText().trimmed();
    QString error;
    if (!Store->SaveProfile(name, ReadWidgets(), ProfilePasswordChk->isChecked(), error)) {
        PresentMessageBox(QMessageBox::Warning, QStringLiteral("接続プロファイル"), error);
        return;
    }
    RefreshProfiles(name);
    statusBar()->showMessage(QStringLiteral("接続プロファイル「%1」を保存しました").arg(name), 5000);
}

void TMainWindow::LoadProfile()
{
    if (!Store)
        return;
    const QString name = ProfileCmb->currentText().trimmed();
    const TFieldValues now = ReadWidgets();
    TFieldValues values = now;
    QString problem;
    if (!Store->LoadProfile(name, values, &problem)) {
        statusBar()->showMessage(QStringLiteral("接続プロファイル「%1」はありません").arg(name), 5000);
        return;
    }
    ApplyValues(values, DiffFields(values, now));
    ProfilePasswordChk->setChecked(Store->HasPassword(name));
    statusBar()->showMessage(QStringLiteral("接続プロファイル「%1」を読み込みました").arg(name), 5000);
    if (!problem.isEmpty())
        PresentMessageBox(QMessageBox::Warning, QStringLiteral("接続プロファイル"), problem);
}

void TMainWindow::DeleteProfile()
{
    if (!Store)
        return;
    const QString name = ProfileCmb->currentText().trimmed();
    if (!Store->ProfileNames().contains(name)) {
        statusBar()->showMessage(QStringLiteral("接続プロファイル「%1」はありません").arg(name), 5000);
        return;
    }
    QString error;
    if (!Store->DeleteProfile(name, error)) {
        PresentMessageBox(QMessageBox::Warning, QStringLiteral("接続プロファイル"), error);
        return;
    }
    RefreshProfiles(QString());
    statusBar()->showMessage(QStringLiteral("接続プロファイル「%1」を削除しました").arg(name), 5000);
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
    AddCheckMenu(*this, [this] { return ConnectionSetLines(*Form); });
}

bool TMainWindow::SaveSessionScript(const QString& path)
{
    if (Recorder.Empty()) {
        PresentMessageBox(QMessageBox::Warning, QStringLiteral("スクリプトとして保存"),
                          QStringLiteral("記録したセッションがありません。Open から後のコマンドを記録します"));
        return false;
    }
    const std::string script = Recorder.Script();
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(script.data(), static_cast<qint64>(script.size())) != static_cast<qint64>(script.size()) ||
        !file.commit()) {
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
            std::lock_guard lock(RunnerLock);
            ActiveRunner = &runner;
        }
        const TScriptResult result = runner.Run(script);
        {
            std::lock_guard lock(RunnerLock);
            ActiveRunner = nullptr;
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

bool TMainWindow::BoxToRunner(const std::string& title, const std::string& text)
{
    std::lock_guard lock(RunnerLock);
    if (!ActiveRunner)
        return false;
    ActiveRunner->BoxShown(title, text);
    return true;
}

// Into the log pane the way the session's lines come, so it keeps their order,
// but not through the form's diagnostics.
void TMainWindow::ScriptNote(const std::string& text)
{
    TEventRecord record;
    record.Time = NowLocal();
    record.Source = SourceScript;
    record.Message = text;
    Feed->OnEvent(record);
}
