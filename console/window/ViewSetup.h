#pragma once

#include <QAbstractItemView>
#include <QFontMetrics>
#include <QHeaderView>
#include <QTableView>

// The session views' tables share one set-up: whole rows selected, one line per
// row at a fixed height, no cell editing. Fixed heights and widths keep a table
// of hundreds of thousands of rows fast: nothing is measured row by row.
inline void SetUpSessionTable(QTableView* view)
{
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    view->setSelectionMode(QAbstractItemView::ExtendedSelection);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->setWordWrap(false);
    view->setAlternatingRowColors(false);
    view->setTabKeyNavigation(false);   // Tab leaves the table, as in every other control
    view->verticalHeader()->setVisible(false);
    view->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    view->verticalHeader()->setDefaultSectionSize(view->fontMetrics().height() + 6);
    view->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    view->horizontalHeader()->setStretchLastSection(true);
    view->horizontalHeader()->setHighlightSections(false);
}

// A column wide enough for the sample text.
inline void SetColumnWidthFor(QTableView* view, int column, const QString& sample)
{
    view->setColumnWidth(column, view->fontMetrics().horizontalAdvance(sample) + 16);
}

#include <QComboBox>
#include <QFileDialog>
#include <QFileIconProvider>
#include <QFileInfo>
#include <QLineEdit>
#include <QPushButton>
#include <QToolButton>

// A box that keeps its width whatever its items (connection names can be long).
inline void SetUpNarrowBox(QComboBox* box, int characters = 9)
{
    box->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    box->setMinimumContentsLength(characters);
}

// Buttons as narrow as their captions (a style's minimum would widen every
// toolbar), so that the views fit beside the settings on a 1280-pixel screen.
inline void SetUpNarrowButtons(QWidget* parent)
{
    for (QPushButton* button : parent->findChildren<QPushButton*>())
        button->setMinimumWidth(button->fontMetrics().horizontalAdvance(button->text()) + 20);
}

// A field's clear button, named for screen readers.
inline void SetUpClearButton(QLineEdit* edit)
{
    edit->setClearButtonEnabled(true);
    // The field's only button is the one that clears it.
    for (QToolButton* button : edit->findChildren<QToolButton*>()) {
        button->setAccessibleName(QStringLiteral("消去"));
        button->setToolTip(QStringLiteral("入力を消去"));
    }
}

// The kind of a file as the file chooser's list says it: Qt's own translations
// do not name it, and the desktop's names follow the desktop's language.
class TJapaneseFileKinds : public QFileIconProvider {
public:
    QString type(const QFileInfo& info) const override
    {
        if (info.isDir())
            return QStringLiteral("フォルダー");
        const QString suffix = info.suffix();
        return suffix.isEmpty() ? QStringLiteral("ファイル") : QStringLiteral("%1 ファイル").arg(suffix.toUpper());
    }
};

// A file chooser that speaks the window's language, whatever the desktop's is.
inline void SetUpFileDialog(QFileDialog& dialog)
{
    static TJapaneseFileKinds kinds;
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setIconProvider(&kinds);
    dialog.setLabelText(QFileDialog::LookIn, QStringLiteral("場所:"));
    dialog.setLabelText(QFileDialog::FileName, QStringLiteral("ファイル名:"));
    dialog.setLabelText(QFileDialog::FileType, QStringLiteral("種類:"));
    dialog.setLabelText(QFileDialog::Accept, dialog.acceptMode() == QFileDialog::AcceptSave
                                                 ? QStringLiteral("保存")
                                                 : QStringLiteral("開く"));
    dialog.setLabelText(QFileDialog::Reject, QStringLiteral("キャンセル"));
}
