#include "console/window/MainWindow.h"

#include "console/window/IntSpinBox.h"
#include "console/window/LogoWidget.h"
#include "console/window/SessionFeed.h"
#include "console/window/SessionPanel.h"
#include "console/window/SessionStatus.h"
#include "platform/CodePage.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSplitter>
#include <QStatusBar>
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

TMainWindow::TMainWindow(int eventMsgPort, QWidget* parent) : QMainWindow(parent)
{
    Form = std::make_unique<TForm1>(*this, eventMsgPort);
    // The views of the session hear every line, and every connection "Open" makes.
    Feed = std::make_unique<TSessionFeed>();
    Form->Events.AddObserver([feed = Feed.get()](const TEventRecord& record) { feed->OnEvent(record); });
    Form->SessionObserver = Feed.get();
    PingTimerObj.setInterval(Form->PingTimerInterval);
    PingTimerObj.setTimerType(Qt::CoarseTimer);
    connect(&PingTimerObj, &QTimer::timeout, this, &TMainWindow::OnPingTimerTimeout);
    BuildUi();
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

    auto* central = new QWidget(this);
    auto* outer = new QVBoxLayout(central);

    // Header: the logo and the caption.
    auto* header = new QHBoxLayout;
    auto* logo = new TLogoWidget(56, central);
    logo->setObjectName("Image1");
    header->addWidget(logo);
    auto* title = new QLabel(ToQ(Form->Caption), central);
    QFont titleFont = title->font();
    titleFont.setPointSizeF(titleFont.pointSizeF() * 1.5);
    titleFont.setBold(true);
    title->setFont(titleFont);
    header->addWidget(title);
    header->addStretch(1);
    auto* hint = new QLabel(QStringLiteral("MQTT 3.1 (MQIsdp)  ·  結果はログ (UDP 2056) に出力されます"), central);
    hint->setEnabled(false);
    header->addWidget(hint, 0, Qt::AlignBottom);
    outer->addLayout(header);

    // Widgets of the settings, named after the form's fields.
    auto textEdit = [&](const char* name) {
        const std::size_t i = IndexOf(TextFields, name);
        const TTextField& field = Form.get()->*TextFields[i].Member;
        auto* edit = new QLineEdit(central);
        edit->setObjectName(name);
        edit->setMinimumWidth(edit->fontMetrics().averageCharWidth() * 30);
        if (field.Masked)
            edit->setEchoMode(QLineEdit::Password);
        TextEdits[i] = edit;
        return std::pair<QString, QLineEdit*>(ToQ(field.Label), edit);
    };
    auto intSpin = [&](const char* name) {
        const std::size_t i = IndexOf(IntFields, name);
        const TIntField& field = Form.get()->*IntFields[i].Member;
        auto* spin = new TIntSpinBox(field.Min, field.Max, central);
        spin->setObjectName(name);
        Spins[i] = spin;
        return std::pair<QString, TIntSpinBox*>(ToQ(field.Label), spin);
    };
    auto labelFor = [&](const QString& text, QWidget* buddy) {
        auto* label = new QLabel(text, central);
        label->setObjectName(buddy->objectName() + "Label");
        label->setBuddy(buddy);
        return label;
    };
    auto addRow = [&](QFormLayout* form, auto field) {
        form->addRow(labelFor(field.first, field.second), field.second);
    };

    for (const TCommandInfo& command : Form->Commands()) {
        auto* button = new QPushButton(ToQ(command.Caption), central);
        button->setObjectName(QString::fromStdString(command.Name));
        Buttons[command.Name] = button;
        TCommandJob job;
        job.Handler = command.Handler;
        job.Caption = button->text();
        if (command.Name == "ConnectBtn")
            job.Gate = &TForm1::ConnectBtnEnabled;
        else if (command.Name == "DisconnectBtn")
            job.Gate = &TForm1::DisconnectBtnEnabled;
        connect(button, &QPushButton::clicked, this, [this, job] { Enqueue(job); });
    }
    auto buttonRow = [&](std::initializer_list<const char*> names) {
        auto* row = new QHBoxLayout;
        row->addStretch(1);
        for (const char* name : names)
            row->addWidget(Buttons.at(name));
        return row;
    };

    auto* columns = new QHBoxLayout;
    auto* left = new QVBoxLayout;
    auto* right = new QVBoxLayout;
    columns->addLayout(left, 1);
    columns->addLayout(right, 1);
    outer->addLayout(columns);

    // The TCP connection: "Open" and "Close" read these.
    auto* connection = new QGroupBox(QStringLiteral("TCP 接続"), central);
    connection->setObjectName("ConnectionGroup");
    auto* connectionForm = new QFormLayout;
    addRow(connectionForm, textEdit("BrokerEdit1"));
    addRow(connectionForm, intSpin("BrokerPortSpn"));
    addRow(connectionForm, textEdit("ClientIDEdit"));
    auto* connectionBox = new QVBoxLayout(connection);
    connectionBox->addLayout(connectionForm);
    connectionBox->addLayout(buttonRow({"ConnectBtn", "DisconnectBtn"}));
    left->addWidget(connection);

    // The MQTT session: CONNECT reads these; PINGREQ and DISCONNECT read nothing.
    auto* session = new QGroupBox(QStringLiteral("MQTT セッション"), central);
    session->setObjectName("SessionGroup");
    auto* sessionForm = new QFormLayout;
    addRow(sessionForm, textEdit("UserNameEdit"));
    addRow(sessionForm, textEdit("PasswordEdit"));
    addRow(sessionForm, intSpin("KeepAliveSpn"));
    addRow(sessionForm, textEdit("WillTopicEdit"));
    addRow(sessionForm, textEdit("WillMessageEdit"));
    addRow(sessionForm, intSpin("WillQoSSpn"));
    auto* sessionBox = new QVBoxLayout(session);
    sessionBox->addLayout(sessionForm);
    sessionBox->addLayout(buttonRow({"MQTT_CONNECT_Btn", "MQTT_PINGREQ_Btn", "Button4"}));

    // The ping timer sits with PINGREQ, whose command it repeats.
    auto* timerRow = new QHBoxLayout;
    PingChk = new QCheckBox(ToQ(Form->PingTimerChkLabel), central);
    PingChk->setObjectName("PingTimerChk");
    connect(PingChk, &QCheckBox::clicked, this, [this] {
        Enqueue({&TForm1::PingTimerChkClick, {}, {}, &TForm1::PingTimerChkEnabled, PingChk->text()});
    });
    timerRow->addWidget(PingChk);
    timerRow->addStretch(1);
    auto interval = intSpin("PingReqIntervalSpn");
    timerRow->addWidget(labelFor(interval.first, interval.second));
    timerRow->addWidget(interval.second);
    connect(interval.second, &QSpinBox::valueChanged, this, [this, label = interval.first] {
        Enqueue({&TForm1::PingReqIntervalSpnChange, {}, {}, nullptr, label});
    });
    sessionBox->addLayout(timerRow);
    left->addWidget(session);
    left->addStretch(1);

    // SUBSCRIBE and UNSUBSCRIBE.
    auto* subscription = new QGroupBox(QStringLiteral("購読"), central);
    subscription->setObjectName("SubscriptionGroup");
    auto* subscriptionForm = new QFormLayout(subscription);
    addRow(subscriptionForm, textEdit("SubscribeTopicListEdit"));
    addRow(subscriptionForm, textEdit("SubscribeQoSListEdit"));
    subscriptionForm->addRow(buttonRow({"Button2"}));
    addRow(subscriptionForm, textEdit("UnSubscribeTopicListEdit"));
    subscriptionForm->addRow(buttonRow({"Button3"}));
    right->addWidget(subscription);

    // PUBLISH of a typed text or of a file.
    auto* publish = new QGroupBox(QStringLiteral("配信"), central);
    publish->setObjectName("PublishGroup");
    auto* publishForm = new QFormLayout;
    addRow(publishForm, textEdit("PublishTopicEdit"));
    auto qos = intSpin("PublishSpn");
    auto* qosRow = new QHBoxLayout;
    qosRow->addWidget(qos.second);
    RetainChk = new QCheckBox(ToQ(Form->PublishRetainChkLabel), central);
    RetainChk->setObjectName("PublishRetainChk");
    qosRow->addWidget(RetainChk);
    qosRow->addStretch(1);
    publishForm->addRow(labelFor(qos.first, qos.second), qosRow);
    auto data = textEdit("PublishDataEdit");
    auto* dataRow = new QHBoxLayout;
    dataRow->addWidget(data.second, 1);
    dataRow->addWidget(Buttons.at("Button5"));
    publishForm->addRow(labelFor(data.first, data.second), dataRow);
    auto file = textEdit("PublishDataFileEdit");
    auto* fileRow = new QHBoxLayout;
    fileRow->addWidget(file.second, 1);
    QPushButton* browse = Buttons.at("Button6");
    browse->setMaximumWidth(browse->fontMetrics().horizontalAdvance(QStringLiteral("....")) + 24);
    fileRow->addWidget(browse);
    fileRow->addWidget(Buttons.at("Button7"));
    publishForm->addRow(labelFor(file.first, file.second), fileRow);
    auto* publishBox = new QVBoxLayout(publish);
    publishBox->addLayout(publishForm);
    right->addWidget(publish);

    // The receive queue.
    auto* queue = new QGroupBox(QStringLiteral("受信キュー"), central);
    queue->setObjectName("QueueGroup");
    auto* queueBox = new QVBoxLayout(queue);
    auto* queueRow = buttonRow({"Button1"});
    auto pause = intSpin("ReportPauseSpn");
    queueRow->insertWidget(0, labelFor(pause.first, pause.second));
    queueRow->insertWidget(1, pause.second);
    connect(pause.second, &QSpinBox::valueChanged, this, [this, label = pause.first] {
        Enqueue({&TForm1::ReportPauseSpnChange, {}, {}, nullptr, label});
    });
    queueBox->addLayout(queueRow);
    right->addWidget(queue);
    right->addStretch(1);

    // The two publish buttons share one width so the rows line up.
    const int publishWidth = std::max(Buttons.at("Button5")->sizeHint().width(), Buttons.at("Button7")->sizeHint().width());
    Buttons.at("Button5")->setMinimumWidth(publishWidth);
    Buttons.at("Button7")->setMinimumWidth(publishWidth);

    // The settings keep their size; the views of the session below take the rest.
    Views = new TSessionPanel(*Feed, this);
    auto* split = new QSplitter(Qt::Vertical, this);
    split->setObjectName("MainSplitter");
    split->setChildrenCollapsible(false);
    split->addWidget(central);
    split->addWidget(Views);
    split->setStretchFactor(0, 0);
    split->setStretchFactor(1, 1);
    setCentralWidget(split);

    StatusLabel = new QLabel(central);
    StatusLabel->setObjectName("StatusText");
    statusBar()->addWidget(StatusLabel, 1);
    statusBar()->addPermanentWidget(Views->Status());
    Views->Status()->show();
}

// ---- start and end ----

void TMainWindow::Start()
{
    if (Started || ShutDown)
        return;
    Started = true;
    // The command thread does not run yet: the form is this thread's alone.
    Form->Run(&TForm1::FormCreate);
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
}

void TMainWindow::Shutdown()
{
    if (ShutDown)
        return;
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
        // A command still waits for its broker: the window closes when it ends.
        CloseWhenIdle = true;
        if (centralWidget())
            centralWidget()->setEnabled(false);
        UpdateBusy();
        event->ignore();
        return;
    }
    Shutdown();
    event->accept();
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
        form.Run(job.Handler);
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
        const bool confirmed = PresentFileDialog(dir, file, chosen);
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
    values.PublishRetainChk = RetainChk->isChecked();
    values.PingTimerChk = PingChk->isChecked();
    return values;
}

void TMainWindow::ApplyView(const TFormView& view)
{
    for (std::size_t i = 0; i < TextEdits.size(); ++i) {
        if (view.Changed & TextBit(i)) {
            const QSignalBlocker block(TextEdits[i]);
            TextEdits[i]->setText(ToQ(view.Values.Texts[i]));
        }
    }
    for (std::size_t i = 0; i < Spins.size(); ++i) {
        if (view.Changed & IntBit(i)) {
            const TIntField field{{}, view.Values.Ints[i], Spins[i]->minimum(), Spins[i]->maximum()};
            const QSignalBlocker block(Spins[i]);
            Spins[i]->setValue(field.Value());
        }
    }
    if (view.Changed & (TFieldMask{1} << RetainBit)) {
        const QSignalBlocker block(RetainChk);
        RetainChk->setChecked(view.Values.PublishRetainChk);
    }
    if (view.Changed & (TFieldMask{1} << PingTimerChkBit)) {
        const QSignalBlocker block(PingChk);
        PingChk->setChecked(view.Values.PingTimerChk);
    }
    Buttons.at("ConnectBtn")->setEnabled(view.ConnectBtnEnabled);
    Buttons.at("DisconnectBtn")->setEnabled(view.DisconnectBtnEnabled);
    PingChk->setEnabled(view.PingTimerChkEnabled);
    Views->SetConsoleOpened(view.DisconnectBtnEnabled);
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
    box.exec();
}

bool TMainWindow::PresentFileDialog(const QString& initialDir, const QString& initialFile, QString& chosen)
{
    const QString proposal = initialDir.isEmpty() ? initialFile : initialDir + QLatin1Char('/') + initialFile;
    chosen = QFileDialog::getOpenFileName(this, QString(), proposal);
    return !chosen.isEmpty();
}
