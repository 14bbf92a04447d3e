#include "console/window/ConnectionList.h"

#include "console/window/ConsoleConnection.h"
#include "console/window/SessionStatus.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QSignalBlocker>
#include <QVBoxLayout>

TConnectionList::TConnectionList(QWidget* parent) : QWidget(parent)
{
    setObjectName("ConnectionBar");
    auto* title = new QLabel(QStringLiteral("接続(&N)"), this);
    FList = new QListWidget(this);
    FList->setObjectName("ConnectionList");
    FList->setAccessibleName(QStringLiteral("接続の一覧"));
    FList->setUniformItemSizes(true);
    FList->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    // Three rows in sight; more scroll.
    FList->setFixedHeight(FList->fontMetrics().height() * 3 + 12);
    title->setBuddy(FList);
    FAdd = new QPushButton(QStringLiteral("接続を追加"), this);
    FAdd->setObjectName("AddConnectionBtn");
    FAdd->setToolTip(QStringLiteral("既定の設定で新しい接続を作ります (Ctrl+Shift+N)"));
    FRemove = new QPushButton(QStringLiteral("閉じる"), this);
    FRemove->setObjectName("RemoveConnectionBtn");
    FRemove->setToolTip(QStringLiteral("選んだ接続を Close して一覧から外します"));
    connect(FList, &QListWidget::currentRowChanged, this, [this](int row) {
        if (row >= 0)
            emit Chosen(row);
    });
    connect(FAdd, &QPushButton::clicked, this, &TConnectionList::AddClicked);
    connect(FRemove, &QPushButton::clicked, this, &TConnectionList::RemoveClicked);

    auto* top = new QHBoxLayout;
    top->addWidget(title);
    top->addStretch(1);
    top->addWidget(FAdd);
    top->addWidget(FRemove);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(6, 4, 6, 0);
    layout->addLayout(top);
    layout->addWidget(FList);
}

QString TConnectionList::StateText(const TConsoleConnection& connection)
{
    const TSessionStatus& status = *connection.Status();
    QStringList marks;
    if (!connection.Opened())
        marks << QStringLiteral("○ 未接続");
    else if (status.Lost())
        marks << QStringLiteral("✕ 切断");
    else
        marks << QStringLiteral("● 接続中");
    if (status.SessionUp())
        marks << QStringLiteral("セッション");
    if (connection.Panel()->TlsOn())
        marks << QStringLiteral("TLS");
    return marks.join(QStringLiteral(" · "));
}

void TConnectionList::Show(const std::vector<const TConsoleConnection*>& connections, int current)
{
    const QSignalBlocker block(FList);
    while (FList->count() > static_cast<int>(connections.size()))
        delete FList->takeItem(FList->count() - 1);
    while (FList->count() < static_cast<int>(connections.size()))
        FList->addItem(new QListWidgetItem);
    for (std::size_t i = 0; i < connections.size(); ++i) {
        const TConsoleConnection& connection = *connections[i];
        QListWidgetItem* item = FList->item(static_cast<int>(i));
        const QString state = StateText(connection);
        item->setText(QStringLiteral("%1   %2").arg(connection.Name(), state));
        item->setToolTip(state);
        item->setData(Qt::AccessibleTextRole, QStringLiteral("%1: %2").arg(connection.Name(), state));
        const bool broken = connection.Opened() && connection.Status()->Lost();
        item->setForeground(broken ? QBrush(QColor(0xb0, 0x00, 0x00)) : QBrush());
    }
    FList->setCurrentRow(current);
    FRemove->setEnabled(connections.size() > 1);
}
