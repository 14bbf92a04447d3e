#include "console/window/LogModel.h"

#include "console/window/ConnectionNames.h"
#include "console/window/ViewText.h"

#include <QApplication>
#include <QBrush>
#include <QColor>
#include <QFont>
#include <QFontDatabase>
#include <QIcon>
#include <QStyle>

#include <algorithm>

TLogModel::TLogModel(std::size_t capacity, QObject* parent) : TRingTableModel(capacity, parent)
{
}

void TLogModel::Append(const std::vector<TLogEntry>& entries)
{
    AppendRows(entries.begin(), entries.end(), [this](const TLogEntry& entry) {
        QString source = ViewText::FromSystem(entry.Source);
        auto known = std::find(FSources.begin(), FSources.end(), source);
        if (known == FSources.end())
            known = FSources.insert(FSources.end(), source);
        // Each line stays one row: control characters show as \xNN, as the listener prints them.
        QString message = QString::fromStdString(EscapeControls(CodePage::SystemToUTF8(entry.Message), true));
        return TLogLine{entry.Sequence, entry.Time, *known, std::move(message), ClassifyEventMessage(entry.Message),
                        entry.Connection};
    });
}

QString TLogModel::LineText(int row) const
{
    const TLogLine& line = RowAt(row);
    return ViewText::EventTime(line.Time) + QLatin1Char(' ') + line.Source + QStringLiteral(": ") + line.Message;
}

int TLogModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant TLogModel::data(const QModelIndex& index, int role) const
{
    if (!ValidRow(index))
        return {};
    const TLogLine& line = RowAt(index.row());
    const bool failure = line.Severity != TEventSeverity::Normal;
    switch (role) {
    case Qt::DisplayRole:
        switch (index.column()) {
        case NumberColumn:
            // 0: a line of the window's own (a script run's notes), not a diagnostic line.
            return line.Sequence == 0 ? QString() : QString::number(line.Sequence);
        case TimeColumn:
            return ViewText::EventTime(line.Time);
        case SourceColumn:
            return line.Source;
        case ConnectionColumn:
            return FNames ? FNames->Of(line.Connection) : QString();
        case MessageColumn:
            return line.Message;
        }
        return {};
    case Qt::ToolTipRole:
        return index.column() == MessageColumn ? QVariant(line.Message) : QVariant();
    case Qt::ForegroundRole:
        if (line.Severity == TEventSeverity::Exception)
            return QBrush(QColor(0x8b, 0x00, 0x50));
        if (line.Severity == TEventSeverity::Error)
            return QBrush(QColor(0xb0, 0x00, 0x00));
        return {};
    case Qt::BackgroundRole:
        if (line.Severity == TEventSeverity::Exception)
            return QBrush(QColor(0xfb, 0xdc, 0xec));
        if (line.Severity == TEventSeverity::Error)
            return QBrush(QColor(0xff, 0xe4, 0xe1));
        return {};
    case Qt::FontRole: {
        // The report lines line their values up with blanks: a fixed pitch keeps them lined up.
        if (index.column() != MessageColumn)
            return {};
        QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
        font.setBold(failure);
        return font;
    }
    case Qt::DecorationRole:
        if (failure && index.column() == MessageColumn)
            return QApplication::style()->standardIcon(line.Severity == TEventSeverity::Exception
                                                           ? QStyle::SP_MessageBoxCritical
                                                           : QStyle::SP_MessageBoxWarning);
        return {};
    case Qt::AccessibleDescriptionRole:
        // What the colour says, for those who do not see it.
        if (line.Severity == TEventSeverity::Exception)
            return QStringLiteral("例外");
        if (line.Severity == TEventSeverity::Error)
            return QStringLiteral("エラー");
        return {};
    case SeverityRole:
        return static_cast<int>(line.Severity);
    }
    return {};
}

QVariant TLogModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    switch (section) {
    case NumberColumn:
        return QStringLiteral("番号");
    case TimeColumn:
        return QStringLiteral("時刻");
    case SourceColumn:
        return QStringLiteral("送信元");
    case ConnectionColumn:
        return QStringLiteral("接続");
    case MessageColumn:
        return QStringLiteral("メッセージ");
    }
    return {};
}

// ---- filter ----

void TLogFilterModel::SetText(const QString& text)
{
    if (text == FText)
        return;
    FText = text;
    invalidateFilter();
}

void TLogFilterModel::SetSource(const QString& source)
{
    if (source == FSource)
        return;
    FSource = source;
    invalidateFilter();
}

void TLogFilterModel::SetConnection(int connection)
{
    if (connection == FConnection)
        return;
    FConnection = connection;
    invalidateFilter();
}

bool TLogFilterModel::filterAcceptsRow(int sourceRow, const QModelIndex&) const
{
    const TLogLine& line = static_cast<const TLogModel*>(sourceModel())->LineAt(sourceRow);
    if (FConnection != 0 && line.Connection != FConnection)
        return false;
    if (!FSource.isEmpty() && line.Source != FSource)
        return false;
    return FText.isEmpty() || line.Message.contains(FText, Qt::CaseInsensitive);
}
