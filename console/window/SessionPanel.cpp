#include "console/window/SessionPanel.h"

#include "console/window/ConnectionNames.h"
#include "console/window/FramesView.h"
#include "console/window/LogPane.h"
#include "console/window/MessagesView.h"
#include "console/window/SessionFeed.h"
#include "console/window/ViewSetup.h"

#include <QLineEdit>
#include <QShortcut>
#include <QTabWidget>
#include <QTableView>
#include <QVBoxLayout>

#include <utility>

TSessionPanel::TSessionPanel(QWidget* parent) : QWidget(parent)
{
    setObjectName("SessionPanel");
    FTabs = new QTabWidget(this);
    FTabs->setObjectName("SessionTabs");
    FTabs->setAccessibleName(QStringLiteral("セッションの表示"));
    FLog = new TLogPane(TLogModel::DefaultCapacity, FTabs);
    FMessages = new TMessagesView(FTabs);
    FFrames = new TFramesView(FTabs);
    FTabs->addTab(FLog, QStringLiteral("ログ"));
    FTabs->addTab(FMessages, QStringLiteral("受信メッセージ"));
    FTabs->addTab(FFrames, QStringLiteral("フレーム"));
    for (int i = 0; i < FTabs->count(); ++i) {
        FTabs->setTabToolTip(i, QStringLiteral("Alt+%1").arg(i + 1));
        // Window-wide: from any field of the settings straight to a view.
        auto* shortcut = new QShortcut(QKeySequence(Qt::ALT | static_cast<Qt::Key>(Qt::Key_1 + i)), this);
        shortcut->setContext(Qt::WindowShortcut);
        connect(shortcut, &QShortcut::activated, this, [this, i] { ShowTab(i); });
    }

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(FTabs);
    SetUpNarrowButtons(this);

    FNames = new TConnectionNames(this);
    FLog->SetConnectionNames(FNames);
    FMessages->SetConnectionNames(FNames);
    FFrames->SetConnectionNames(FNames);
}

void TSessionPanel::AddFeed(TSessionFeed& feed, int connection)
{
    connect(&feed, &TSessionFeed::BatchReady, this,
            [this, connection](TFeedBatch& batch) { Deliver(batch, connection); }, Qt::DirectConnection);
}

QSize TSessionPanel::sizeHint() const
{
    return {fontMetrics().averageCharWidth() * 110, fontMetrics().height() * 30};
}

void TSessionPanel::Deliver(TFeedBatch& batch, int connection)
{
    if (!batch.Lines.empty()) {
        for (TLogEntry& line : batch.Lines)
            line.Connection = connection;
        FLog->Append(batch.Lines);
    }
    if (!batch.Frames.empty()) {
        for (TFrameEntry& frame : batch.Frames)
            frame.Connection = connection;
        FFrames->Append(std::move(batch.Frames));
    }
    if (!batch.Messages.empty())
        FMessages->Append(batch.Messages, connection);
}

void TSessionPanel::ShowTab(int index)
{
    FTabs->setCurrentIndex(index);
    QWidget* view = nullptr;
    switch (index) {
    case 0:
        view = FLog->View();
        break;
    case 1:
        view = FMessages->View();
        break;
    case 2:
        view = FFrames->View();
        break;
    }
    if (view)
        view->setFocus(Qt::ShortcutFocusReason);
}

void TSessionPanel::FocusFind()
{
    QLineEdit* find = nullptr;
    switch (FTabs->currentIndex()) {
    case 0:
        find = FLog->FindEdit();
        break;
    case 1:
        find = FMessages->FindEdit();
        break;
    case 2:
        find = FFrames->FindEdit();
        break;
    }
    if (!find)
        return;
    find->setFocus(Qt::ShortcutFocusReason);
    find->selectAll();
}
