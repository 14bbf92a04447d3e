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
