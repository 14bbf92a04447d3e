#pragma once

#include <QWidget>

class QLabel;
class QToolButton;
class QVBoxLayout;

// A group of the settings that folds away: a header with an arrow and the
// group's title (a click, Space or Enter on it folds or unfolds), a note at the
// header's right for what the folded group holds, and the group's rows below.
// The object name is the group's, so the group is found by it as before.
class TFoldGroup : public QWidget {
    Q_OBJECT

public:
    TFoldGroup(const QString& title, const QString& name, QWidget* parent = nullptr);

    // The widget the group's rows go into.
    QWidget* Body() const { return FBody; }
    QToolButton* Header() const { return FHeader; }
    // A greyed line beside the title, shown folded or not (may be empty).
    void SetNote(const QString& note);
    QLabel* Note() const { return FNote; }

    bool IsFolded() const { return FFolded; }
    void SetFolded(bool folded);

signals:
    void FoldChanged(bool folded);

private:
    QToolButton* FHeader;
    QLabel* FNote;
    QWidget* FBody;
    bool FFolded = false;
};
