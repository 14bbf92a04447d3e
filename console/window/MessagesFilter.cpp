#include "console/window/MessagesFilter.h"

#include "console/window/MessagesModel.h"

#include <QStringList>

bool TopicFilterMatches(const QString& filter, const QString& topic)
{
    if (filter.isEmpty())
        return true;
    const QStringList want = filter.split(QLatin1Char('/'));
    const QStringList levels = topic.split(QLatin1Char('/'));
    // A wildcard in the first level does not reach the broker's own "$" topics.
    if (topic.startsWith(QLatin1Char('$')) && (want[0] == QLatin1String("+") || want[0] == QLatin1String("#")))
        return false;
    for (qsizetype i = 0; i < want.size(); ++i) {
        if (want[i] == QLatin1String("#"))
            return i == want.size() - 1;
        if (i >= levels.size())
            return false;
        if (want[i] != QLatin1String("+") && want[i] != levels[i])
            return false;
    }
    return want.size() == levels.size();
}

TMessagesFilterModel::TMessagesFilterModel(QObject* parent) : QSortFilterProxyModel(parent)
{
    setSortRole(TMessagesModel::SortRole);
}

void TMessagesFilterModel::SetTopic(const QString& filter)
{
    if (filter == FTopic)
        return;
    FTopic = filter;
    invalidateRowsFilter();
}

void TMessagesFilterModel::SetPayloadText(const QString& text)
{
    if (text == FText)
        return;
    FText = text;
    FTextUtf8 = text.toUtf8();
    invalidateRowsFilter();
}

void TMessagesFilterModel::SetQos(int qos)
{
    if (qos == FQos)
        return;
    FQos = qos;
    invalidateRowsFilter();
}

void TMessagesFilterModel::SetRetain(int retain)
{
    if (retain == FRetain)
        return;
    FRetain = retain;
    invalidateRowsFilter();
}

void TMessagesFilterModel::SetConnection(int connection)
{
    if (connection == FConnection)
        return;
    FConnection = connection;
    invalidateRowsFilter();
}

bool TMessagesFilterModel::Filtering() const
{
    return !FTopic.isEmpty() || !FText.isEmpty() || FQos >= 0 || FRetain >= 0 || FConnection != 0;
}

bool TMessagesFilterModel::filterAcceptsRow(int sourceRow, const QModelIndex&) const
{
    const auto* model = static_cast<const TMessagesModel*>(sourceModel());
    const TMessageRow& row = model->MessageAt(sourceRow);
    if (FConnection != 0 && row.Connection != FConnection)
        return false;
    if (FQos >= 0 && row.Message.Qos != FQos)
        return false;
    if (FRetain >= 0 && row.Message.Retain != (FRetain == 1))
        return false;
    if (!TopicFilterMatches(FTopic, row.Topic))
        return false;
    if (FText.isEmpty())
        return true;
    // The bytes as they are first (binary payloads too), then the text without regard to case.
    return row.Head.contains(FTextUtf8) || QString::fromUtf8(row.Head).contains(FText, Qt::CaseInsensitive);
}

bool TMessagesFilterModel::lessThan(const QModelIndex& left, const QModelIndex& right) const
{
    const QVariant a = left.data(sortRole());
    const QVariant b = right.data(sortRole());
    if (a.typeId() == QMetaType::QString || b.typeId() == QMetaType::QString)
        return QString::localeAwareCompare(a.toString(), b.toString()) < 0;
    if (a.toLongLong() != b.toLongLong())
        return a.toLongLong() < b.toLongLong();
    return left.row() < right.row();   // equal keys keep their arrival order
}
