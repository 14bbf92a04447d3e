#include "console/window/SessionStatus.h"

#include "console/window/ViewText.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>

namespace {

// The reader thread's reason when the broker ended the connection in order.
constexpr const char* BrokerClosedReason = "closed by the broker";

QLabel* StatusLabel(const char* name, const QString& description, QWidget* parent)
{
    auto* label = new QLabel(parent);
    label->setObjectName(name);
    // The name a screen reader speaks is the text itself; the description says what it is.
    label->setAccessibleDescription(description);
    label->setFrameShape(QFrame::StyledPanel);
    label->setFrameShadow(QFrame::Sunken);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    return label;
}

}  // namespace

TSessionStatus::TSessionStatus(QWidget* parent) : QWidget(parent)
{
    setObjectName("SessionStatus");
    FSession = StatusLabel("SessionStateText", QStringLiteral("MQTT セッションの状態"), this);
    FQueue = StatusLabel("QueueCountText", QStringLiteral("受信キューのパケット数"), this);
    FSaved = StatusLabel("SavedCountText", QStringLiteral("保存したメッセージの数"), this);
    FConnection = StatusLabel("StateText", QStringLiteral("接続の状態"), this);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(FSession);
    layout->addWidget(FQueue);
    layout->addWidget(FSaved);
    layout->addWidget(FConnection);
    Show();
}

void TSessionStatus::SetConsoleOpened(bool opened)
{
    FOpened = opened;
    Show();
}

void TSessionStatus::Apply(const std::vector<TStatusEvent>& events)
{
    for (const TStatusEvent& event : events) {
        switch (event.Kind) {
        case TStatusEvent::Opening:
            FLost = false;
            FLostReason.clear();
            FTlsVersion.clear();
            FSessionUp = false;
            FQueueCount = 0;
            break;
        case TStatusEvent::Connected:
            FTlsVersion = event.Reason;
            break;
        case TStatusEvent::Closed:
            FSessionUp = false;
            FQueueCount = 0;   // "Close" frees the queue with what it held
            break;
        case TStatusEvent::ConnackReceived:
            FSessionUp = event.Value == 0;
            break;
        case TStatusEvent::DisconnectSent:
            FSessionUp = false;
            break;
        case TStatusEvent::ConnectionLost:
            FLost = true;
            FLostReason = event.Reason;
            FSessionUp = false;
            break;
        case TStatusEvent::QueueCount:
            FQueueCount = event.Value;
            break;
        case TStatusEvent::MessageSaved:
            ++FSavedCount;
            break;
        }
    }
    if (!events.empty())
        Show();
}

void TSessionStatus::Show()
{
    QString connection;
    bool broken = false;
    if (!FOpened) {
        connection = QStringLiteral("未接続 (Closed)");
    } else if (FLost) {
        broken = true;
        const QString reason = ViewText::FromSystem(FLostReason);
        // A WebSocket broker's close adds its code and words to the reason.
        connection = FLostReason.rfind(BrokerClosedReason, 0) == 0 ? QStringLiteral("切断 (ブローカーが切断: %1)").arg(reason)
                                                       : QStringLiteral("切断 (接続エラー: %1)").arg(reason);
    } else if (!FTlsVersion.empty()) {
        connection = QStringLiteral("接続中 (Opened, %1 で暗号化)").arg(QString::fromStdString(FTlsVersion));
    } else {
        connection = QStringLiteral("接続中 (Opened)");
    }
    FConnection->setText(connection);
    FConnection->setStyleSheet(broken ? QStringLiteral("color: #b00000; font-weight: bold;") : QString());
    FSession->setText(FSessionUp && FOpened && !FLost ? QStringLiteral("MQTT セッション: 確立")
                                                      : QStringLiteral("MQTT セッション: なし"));
    FQueue->setText(QStringLiteral("受信キュー: %1 件").arg(FQueueCount));
    FSaved->setText(QStringLiteral("保存: %1 件").arg(FSavedCount));
}
