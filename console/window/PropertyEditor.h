#pragma once

#include "mqtt/codec/PacketKind.h"
#include "mqtt/codec/PropertyText.h"

#include <QString>
#include <QStringList>
#include <QWidget>

#include <vector>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTableWidget;

// The MQTT 5.0 properties of one packet as rows of name and value, over the
// text form the form keeps (mqtt/codec/PropertyText.h). The text stays the one
// truth: editing the rows rewrites it, typing it rebuilds the rows, and a text
// set from outside (a script, a profile, the form) comes back as rows. A row
// keeps the entry as it was typed until it is edited itself, so a name or a
// value the rows cannot show (an unknown property, a pair without "=") is
// never rewritten; a text that cannot be cut into entries is shown as it is,
// with no rows, until it is typed into shape.
class TPropertyEditor : public QWidget {
    Q_OBJECT

public:
    // The text line is named controlName: it is the field the form reads.
    TPropertyEditor(TPacketKind kind, const QString& controlName, QWidget* parent = nullptr);

    TPacketKind Kind() const { return FKind; }
    QLineEdit* TextEdit() const { return FText; }
    QTableWidget* Table() const { return FTable; }
    QLabel* Problem() const { return FProblem; }

    // A text from outside: shown in the text line and as rows; nothing is rewritten.
    void SetText(const QString& text);
    QString Text() const;

    int RowCount() const { return static_cast<int>(FRows.size()); }
    // The row as it goes into the text: its entry's name and value.
    TPropertyEntry RowEntry(int row) const;
    // The codec's reason for refusing the row, as the window shows it; empty when it goes.
    QString RowRefusal(int row) const;
    // Why the whole text would be refused when sent; empty when it would go.
    QString TextRefusal() const { return FTextRefusal; }

    // What the buttons and the row's fields do, for the keyboard and for tests.
    // AddRow picks the first property allowed here that no row has yet.
    int AddRow();
    void RemoveRow(int row);
    // Picks a property by its key or name and types a value (key=value for a pair).
    void SetRow(int row, const QString& nameOrKey, const QString& value);
    QComboBox* NameBox(int row) const { return FRows.at(static_cast<std::size_t>(row)).Name; }
    QLineEdit* KeyEdit(int row) const { return FRows.at(static_cast<std::size_t>(row)).Key; }
    QLineEdit* ValueEdit(int row) const { return FRows.at(static_cast<std::size_t>(row)).Value; }

    // A refusal from sending, shown on the editor until it is next edited.
    void MarkError(const QString& reason);
    void ClearError();

signals:
    // The user changed the text, in the rows or in the text line.
    void Edited();
    // An edit is done: a field was left, a name chosen, a row removed.
    void Committed();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct TRow {
        QComboBox* Name = nullptr;
        QLineEdit* Key = nullptr;     // a pair's key; hidden for other types
        QLineEdit* Value = nullptr;
        TPropertyEntry Typed;         // the entry as it came in
        bool Edited = false;          // edited here: written from the fields, not from Typed
        QString Refusal;
    };

    void BuildRows();
    int AppendRow(const TPropertyEntry& entry, bool edited);
    int RowOf(const QObject* widget) const;
    void RowEdited(int row);
    void ShowType(TRow& row);
    void SyncCells(int row);
    void WriteText();
    void Check();
    void ShowProblem();

    const TPacketKind FKind;
    QTableWidget* FTable;
    QPushButton* FAdd;
    QPushButton* FRemove;
    QLabel* FProblem;
    QLineEdit* FText;
    std::vector<TRow> FRows;
    QString FSplitRefusal;   // the text cannot be cut into entries
    QString FTextRefusal;
    QString FMarked;         // a refusal from sending
};
