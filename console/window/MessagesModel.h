#pragma once

#include "mqtt/engine/SessionObserver.h"

#include "console/window/RingTableModel.h"

#include <QString>
#include <QStringList>

#include <cstddef>
#include <vector>

struct TMessageRow {
    TSavedMessage Message;
    QString Topic;
    QString Path;
    QStringList Properties;           // MQTT 5.0: the display lines, "Content Type = text/plain"
    QString SubscriptionIdentifiers;  // "1, 7"
    int Connection = 0;               // the window's number of the connection that received it
};

// The received PUBLISH messages whose payload was saved, oldest first, one row
// each; bounded like the log.
class TMessagesModel : public TRingTableModel<TMessageRow> {
    Q_OBJECT

public:
    enum TColumn {
        TimeColumn, TopicColumn, QosColumn, RetainColumn, DupColumn, IdColumn, SizeColumn, FileColumn,
        SubscriptionColumn, PropertiesColumn, ColumnCount
    };
    static constexpr std::size_t DefaultCapacity = 100000;
    // The payload file's full path.
    static constexpr int PathRole = Qt::UserRole + 1;

    explicit TMessagesModel(std::size_t capacity = DefaultCapacity, QObject* parent = nullptr);

    void Append(const std::vector<TSavedMessage>& messages, int connection = 0);

    // The message of a row, with its topic and path as Qt texts.
    const TMessageRow& MessageAt(int row) const { return RowAt(row); }

    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
};
