#pragma once

#include "console/window/LogModel.h"

#include <QWidget>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QTableView;
class TConnectionNames;

// The session's diagnostics in the window: every line the program sends, as it
// is sent, with filter, find, copy, save, clear and a switch for following the
// newest line.
class TLogPane : public QWidget {
    Q_OBJECT

public:
    explicit TLogPane(std::size_t capacity = TLogModel::DefaultCapacity, QWidget* parent = nullptr);

    void Append(const std::vector<TLogEntry>& entries);

    TLogModel* Model() const { return FModel; }
    TLogFilterModel* Filter() const { return FFilter; }
    QTableView* View() const { return FView; }
    QLineEdit* FilterEdit() const { return FFilterEdit; }
    QComboBox* SourceBox() const { return FSourceBox; }
    QLineEdit* FindEdit() const { return FFindEdit; }
    QCheckBox* FollowBox() const { return FFollow; }
    // One connection's lines or all of them (the box shows while there are several).
    QComboBox* ConnectionBox() const;
    void SetConnectionNames(const TConnectionNames* names);

    // Selects the next (or previous) shown line after the current one that holds
    // the find text, wrapping at the end; false when no line holds it.
    bool FindNext(bool backwards = false);
    // The selected lines in the listener's format, one per line, to the clipboard.
    void CopySelection();
    // The shown lines in the listener's format, UTF-8, one per line.
    bool SaveTo(const QString& path) const;
    void Clear();

private:
    void SaveAs();

    TLogModel* FModel;
    TLogFilterModel* FFilter;
    QTableView* FView;
    QLineEdit* FFilterEdit;
    QComboBox* FSourceBox;
    QComboBox* FConnectionBox;
    QLineEdit* FFindEdit;
    QCheckBox* FFollow;
    QLabel* FNote;
};
