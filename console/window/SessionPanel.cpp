#include "console/window/SessionPanel.h"

#include "console/window/FramesView.h"
#include "console/window/LogPane.h"
#include "console/window/MessagesView.h"
#include "console/window/SessionFeed.h"
#include "console/window/SessionStatus.h"

#include <QShortcut>
#include <QTabWidget>
#include <QTableView>
#include <QVBoxLayout>

#include <utility>

TSessionPanel::TSessionPanel(TSessionFeed& feed, QWidget* parent) : QWidget(parent), FFeed(feed)
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

    FStatus = new TSessionStatus(this);
    FStatus->hide();   // until the window puts it into its status bar

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(FTabs);

    connect(&FFeed, &TSessionFeed::BatchReady, this, &TSessionPanel::Deliver, Qt::DirectConnection);
}

void TSessionPanel::SetConsoleOpened(bool opened)
{
    FFeed.Flush();
    FStatus->SetConsoleOpened(opened);
}

QSize TSessionPanel::sizeHint() const
{
    return {QWidget::sizeHint().width(), fontMetrics().height() * 22};
}

void TSessionPanel::Deliver(TFeedBatch& batch)
{
    if (!batch.Lines.empty())
        FLog->Append(batch.Lines);
    if (!batch.Frames.empty())
        FFrames->Append(std::move(batch.Frames));
    if (!batch.Messages.empty())
        FMessages->Append(batch.Messages);
    FStatus->Apply(batch.Status);
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
