#include "console/window/MessagesModel.h"

#include "console/window/ConnectionNames.h"
#include "console/window/ViewText.h"

#include <QFile>

#include <algorithm>

#include <QFileInfo>
#include <QLocale>
#include <QStringList>


TMessagesModel::TMessagesModel(std::size_t capacity, QObject* parent) : TRingTableModel(capacity, parent)
{
}

QByteArray ReadPayloadHead(const std::string& path)
{
    QFile file(QString::fromStdString(CodePage::SystemToUTF8(path)));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.read(PayloadHeadBytes);
}

void TMessagesModel::Append(const std::vector<TReceivedMessage>& messages, int connection)
{
    AppendRows(messages.begin(), messages.end(), [this, connection](const TReceivedMessage& received) {
        const TSavedMessage& m = received.Message;
        QStringList properties;
        for (const std::string& line : m.Properties)
            properties << ViewText::FromSystem(line);
        QStringList identifiers;
        for (uint32_t id : m.SubscriptionIdentifiers)
            identifiers << QString::number(id);
        return TMessageRow{m, ViewText::FromSystem(m.Topic), ViewText::FromSystem(m.Path),
                           properties, identifiers.join(QStringLiteral(", ")), connection, received.Head,
                           FNextNumber++};
    });
}

int TMessagesModel::RowOfNumber(uint64_t number) const
{
    // The numbers grow with the rows.
    const auto found = std::lower_bound(FRows.begin(), FRows.end(), number,
                                        [](const TMessageRow& row, uint64_t n) { return row.Number < n; });
    return found == FRows.end() || found->Number != number ? -1 : static_cast<int>(found - FRows.begin());
}

void TMessagesModel::Touch(uint64_t number)
{
    if (const int row = RowOfNumber(number); row >= 0)
        emit dataChanged(index(row, 0), index(row, ColumnCount - 1));
}

int TMessagesModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant TMessagesModel::data(const QModelIndex& index, int role) const
{
    if (!ValidRow(index))
        return {};
    const TMessageRow& row = RowAt(index.row());
    const TSavedMessage& m = row.Message;
    if (role == PathRole)
        return row.Path;
    if (role == SortRole) {
        switch (index.column()) {
        case TimeColumn:
            return QVariant::fromValue<qlonglong>(static_cast<qlonglong>(row.Number));
        case QosColumn:
            return m.Qos;
        case RetainColumn:
            return int(m.Retain);
        case DupColumn:
            return int(m.Dup);
        case IdColumn:
            return m.MessageID;
        case SizeColumn:
            return QVariant::fromValue<qlonglong>(m.Size);
        }
        return data(index, Qt::DisplayRole).toString();
    }
    if (role == Qt::TextAlignmentRole) {
        switch (index.column()) {
        case QosColumn:
        case RetainColumn:
        case DupColumn:
            return int(Qt::AlignCenter);
        case IdColumn:
        case SizeColumn:
            return int(Qt::AlignRight | Qt::AlignVCenter);
        }
        return {};
    }
    if (role == Qt::ToolTipRole && index.column() == FileColumn)
        return row.Path;
    if (role == Qt::ToolTipRole && index.column() == PropertiesColumn && !row.Properties.isEmpty())
        return row.Properties.join(QLatin1Char('\n'));
    if (role != Qt::DisplayRole)
        return {};
    switch (index.column()) {
    case TimeColumn:
        return ViewText::EventTimeMs(m.Time);
    case TopicColumn:
        return row.Topic;
    case QosColumn:
        return QString::number(m.Qos);
    case RetainColumn:
        return m.Retain ? QStringLiteral("はい") : QStringLiteral("いいえ");
    case DupColumn:
        return m.Dup ? QStringLiteral("はい") : QStringLiteral("いいえ");
    case IdColumn:
        return QString::number(m.MessageID);
    case SizeColumn:
        return ViewText::Count(m.Size);
    case FileColumn:
        return QFileInfo(row.Path).fileName();
    case SubscriptionColumn:
        return row.SubscriptionIdentifiers;
    case PropertiesColumn:
        return row.Properties.join(QStringLiteral("; "));
    case ConnectionColumn:
        return FNames ? FNames->Of(row.Connection) : QString();
    }
    return {};
}

QVariant TMessagesModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    switch (section) {
    case TimeColumn:
        return QStringLiteral("時刻");
    case TopicColumn:
        return QStringLiteral("トピック");
    case QosColumn:
        return QStringLiteral("QoS");
    case RetainColumn:
        return QStringLiteral("Retain");
    case DupColumn:
        return QStringLiteral("DUP");
    case IdColumn:
        return QStringLiteral("ID");
    case SizeColumn:
        return QStringLiteral("サイズ");
    case FileColumn:
        return QStringLiteral("ファイル");
    case SubscriptionColumn:
        return QStringLiteral("購読 ID");
    case PropertiesColumn:
        return QStringLiteral("プロパティ");
    case ConnectionColumn:
        return QStringLiteral("接続");
    }
    return {};
}
