#pragma once

#include "mqtt/engine/SessionObserver.h"

#include "console/window/RingTableModel.h"

#include <QString>
#include <QStringList>

#include <cstddef>
#include <vector>

class TConnectionNames;

// A received message as the feed hands it over: what was reported, and the
// first bytes of its payload, read while the file was fresh.
struct TReceivedMessage {
    TSavedMessage Message;
    QByteArray Head;
};

// The payload bytes a row keeps for its filter, the topic tree and the chart.
inline constexpr qsizetype PayloadHeadBytes = 1024;
// The first bytes of a payload file (fewer when it is shorter or cannot be read).
QByteArray ReadPayloadHead(const std::string& path);

struct TMessageRow {
    TSavedMessage Message;
    QString Topic;
    QString Path;
    QStringList Properties;           // MQTT 5.0: the display lines, "Content Type = text/plain"
    QString SubscriptionIdentifiers;  // "1, 7"
    int Connection = 0;               // the window's number of the connection that received it
    QByteArray Head;                  // the payload's first PayloadHeadBytes
    uint64_t Number = 0;              // its place in the order of arrival
};

// The received PUBLISH messages whose payload was saved, oldest first, one row
// each; bounded like the log.
class TMessagesModel : public TRingTableModel<TMessageRow> {
    Q_OBJECT

public:
    enum TColumn {
        TimeColumn, TopicColumn, QosColumn, RetainColumn, DupColumn, IdColumn, SizeColumn, FileColumn,
        SubscriptionColumn, PropertiesColumn, ConnectionColumn, ColumnCount
    };
    static constexpr std::size_t DefaultCapacity = 100000;
    // The payload file's full path.
    static constexpr int PathRole = Qt::UserRole + 1;
    // What a column sorts by: the number of arrival, QoS, size..., or the text.
    static constexpr int SortRole = Qt::UserRole + 2;

    explicit TMessagesModel(std::size_t capacity = DefaultCapacity, QObject* parent = nullptr);

    void Append(const std::vector<TReceivedMessage>& messages, int connection = 0);
    // The connections' names for their column; none: the column stays empty.
    void SetConnectionNames(const TConnectionNames* names) { FNames = names; }

    // The message of a row, with its topic and path as Qt texts.
    const TMessageRow& MessageAt(int row) const { return RowAt(row); }
    // The row of the message of this number; -1 when it is no longer kept.
    int RowOfNumber(uint64_t number) const;
    // Tells the views that the row of this message is to be looked at again (a filter's answer changed).
    void Touch(uint64_t number);

    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

private:
    const TConnectionNames* FNames = nullptr;
    uint64_t FNextNumber = 0;
};
