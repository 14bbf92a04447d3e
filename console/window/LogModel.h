#pragma once

#include "diag/EventLine.h"
#include "platform/Clock.h"

#include "console/window/RingTableModel.h"

#include <QSortFilterProxyModel>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// One diagnostic line as the session feed hands it over (system code page).
struct TLogEntry {
    uint64_t Sequence = 0;
    TLocalDateTime Time{};
    std::string Source;
    std::string Message;
    int Connection = 0;   // the window's number of the connection it came from
};

// A line as the pane keeps it: texts converted once, severity worked out once.
struct TLogLine {
    uint64_t Sequence;
    TLocalDateTime Time;
    QString Source;
    QString Message;
    TEventSeverity Severity;
    int Connection;
};

// The last lines of the session's diagnostics, oldest first. A ring: beyond
// its capacity the oldest lines go, so a long session keeps its memory bounded.
class TConnectionNames;

class TLogModel : public TRingTableModel<TLogLine> {
    Q_OBJECT

public:
    enum TColumn { NumberColumn, TimeColumn, SourceColumn, ConnectionColumn, MessageColumn, ColumnCount };
    // TEventSeverity of the line, as an int.
    static constexpr int SeverityRole = Qt::UserRole + 1;
    static constexpr std::size_t DefaultCapacity = 100000;

    explicit TLogModel(std::size_t capacity = DefaultCapacity, QObject* parent = nullptr);

    void Append(const std::vector<TLogEntry>& entries);

    const TLogLine& LineAt(int row) const { return RowAt(row); }
    // The line as the log listener prints it: "2024/05/01 09.15.42 MQTT_Unit: sending CONNECT [dev1]".
    QString LineText(int row) const;
    // The connections' names for their column.
    void SetConnectionNames(const TConnectionNames* names) { FNames = names; }

    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

private:
    const TConnectionNames* FNames = nullptr;
    std::vector<QString> FSources;   // one shared copy of each source name
};

// The lines the pane shows: those of one source (or all) whose message holds a text.
class TLogFilterModel : public QSortFilterProxyModel {
    Q_OBJECT

public:
    using QSortFilterProxyModel::QSortFilterProxyModel;

    void SetText(const QString& text);
    void SetSource(const QString& source);   // empty: every source
    void SetConnection(int connection);      // 0: every connection

protected:
    bool filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const override;

private:
    QString FText;
    QString FSource;
    int FConnection = 0;
};
