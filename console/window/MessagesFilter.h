#pragma once

#include <QSortFilterProxyModel>
#include <QString>

// Whether an MQTT topic filter matches a topic: "+" stands for one level,
// "#" at the end for any number of levels (the parent level included: "a/#"
// matches "a"). Topics beginning with "$" match only a filter that names
// their first level. A filter of no text matches every topic.
bool TopicFilterMatches(const QString& filter, const QString& topic);

// The received messages the view shows: those whose topic matches a filter,
// whose payload holds a text (in its first bytes, as the view keeps them),
// of one QoS, with or without Retain, from one connection; in any column's order.
class TMessagesFilterModel : public QSortFilterProxyModel {
    Q_OBJECT

public:
    explicit TMessagesFilterModel(QObject* parent = nullptr);

    void SetTopic(const QString& filter);
    void SetPayloadText(const QString& text);
    void SetQos(int qos);             // -1: any
    void SetRetain(int retain);       // -1: any, 0: without, 1: with
    void SetConnection(int connection);   // 0: any

    const QString& Topic() const { return FTopic; }
    bool Filtering() const;

protected:
    bool filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const override;
    bool lessThan(const QModelIndex& left, const QModelIndex& right) const override;

private:
    QString FTopic;
    QString FText;
    QByteArray FTextUtf8;
    int FQos = -1;
    int FRetain = -1;
    int FConnection = 0;
};
