#include "console/window/LogPane.h"

#include "console/window/ConnectionNames.h"
#include "console/window/ViewSetup.h"
#include "diag/EventSources.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QFile>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSaveFile>
#include <QShortcut>
#include <QVBoxLayout>

#include <algorithm>

TLogPane::TLogPane(std::size_t capacity, QWidget* parent) : QWidget(parent)
{
    FModel = new TLogModel(capacity, this);
    FFilter = new TLogFilterModel(this);
    FFilter->setSourceModel(FModel);

    auto* filterLabel = new QLabel(QStringLiteral("絞り込み(&F):"), this);
    FFilterEdit = new QLineEdit(this);
    FFilterEdit->setObjectName("LogFilterEdit");
    SetUpClearButton(FFilterEdit);
    FFilterEdit->setPlaceholderText(QStringLiteral("この文字列を含む行だけ"));
    FFilterEdit->setAccessibleName(QStringLiteral("ログの絞り込み"));
    FFilterEdit->setMinimumWidth(FFilterEdit->fontMetrics().averageCharWidth() * 18);
    filterLabel->setBuddy(FFilterEdit);
    connect(FFilterEdit, &QLineEdit::textChanged, FFilter, &TLogFilterModel::SetText);

    auto* sourceLabel = new QLabel(QStringLiteral("送信元(&S):"), this);
    FSourceBox = new QComboBox(this);
    FSourceBox->setObjectName("LogSourceBox");
    FSourceBox->setAccessibleName(QStringLiteral("ログの送信元"));
    FSourceBox->addItem(QStringLiteral("すべて"), QString());
    for (const char* source : {SourceConsole, SourceUnit, SourceEventHandler})
        FSourceBox->addItem(QString::fromLatin1(source), QString::fromLatin1(source));
    FSourceBox->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    FSourceBox->setMinimumContentsLength(9);
    sourceLabel->setBuddy(FSourceBox);
    connect(FSourceBox, &QComboBox::currentIndexChanged, this,
            [this] { FFilter->SetSource(FSourceBox->currentData().toString()); });

    auto* findLabel = new QLabel(QStringLiteral("検索(&G):"), this);
    FFindEdit = new QLineEdit(this);
    FFindEdit->setObjectName("LogFindEdit");
    SetUpClearButton(FFindEdit);
    FFindEdit->setAccessibleName(QStringLiteral("ログの検索"));
    FFindEdit->setToolTip(QStringLiteral("Enter / F3: 次へ、Shift+F3: 前へ"));
    FFindEdit->setMinimumWidth(FFindEdit->fontMetrics().averageCharWidth() * 18);
    findLabel->setBuddy(FFindEdit);
    auto* previous = new QPushButton(QStringLiteral("前へ"), this);
    previous->setObjectName("LogFindPreviousBtn");
    auto* next = new QPushButton(QStringLiteral("次へ"), this);
    next->setObjectName("LogFindNextBtn");
    connect(previous, &QPushButton::clicked, this, [this] { FindNext(true); });
    connect(next, &QPushButton::clicked, this, [this] { FindNext(false); });
    connect(FFindEdit, &QLineEdit::returnPressed, this, [this] { FindNext(false); });

    FNote = new QLabel(this);
    FNote->setObjectName("LogNote");

    FFollow = new QCheckBox(QStringLiteral("自動スクロール"), this);
    FFollow->setObjectName("LogFollowChk");
    FFollow->setChecked(true);
    FFollow->setToolTip(QStringLiteral("新しい行が来たら末尾を表示する"));
    connect(FFollow, &QCheckBox::toggled, this, [this](bool on) {
        if (on)
            FView->scrollToBottom();
    });

    auto* copy = new QPushButton(QStringLiteral("コピー"), this);
    copy->setObjectName("LogCopyBtn");
    copy->setToolTip(QStringLiteral("選択した行をコピー (Ctrl+C)"));
    auto* save = new QPushButton(QStringLiteral("保存…"), this);
    save->setObjectName("LogSaveBtn");
    save->setToolTip(QStringLiteral("表示中の行をテキストファイルに保存"));
    auto* clear = new QPushButton(QStringLiteral("消去"), this);
    clear->setObjectName("LogClearBtn");
    connect(copy, &QPushButton::clicked, this, &TLogPane::CopySelection);
    connect(save, &QPushButton::clicked, this, &TLogPane::SaveAs);
    connect(clear, &QPushButton::clicked, this, &TLogPane::Clear);

    FView = new QTableView(this);
    FView->setObjectName("LogView");
    FView->setAccessibleName(QStringLiteral("ログ"));
    FView->setModel(FFilter);
    SetUpSessionTable(FView);
    SetColumnWidthFor(FView, TLogModel::NumberColumn, QStringLiteral("0000000"));
    SetColumnWidthFor(FView, TLogModel::TimeColumn, QStringLiteral("2024/05/01 09.15.42"));
    SetColumnWidthFor(FView, TLogModel::SourceColumn, QString::fromLatin1(SourceEventHandler));
    SetColumnWidthFor(FView, TLogModel::ConnectionColumn, QStringLiteral("センサー-01-xxxx"));
    FView->setColumnHidden(TLogModel::ConnectionColumn, true);

    // Copy takes whole lines, not the one cell the table would copy by itself.
    auto* copyAction = new QAction(this);
    copyAction->setShortcut(QKeySequence::Copy);
    copyAction->setShortcutContext(Qt::WidgetShortcut);
    connect(copyAction, &QAction::triggered, this, &TLogPane::CopySelection);
    FView->addAction(copyAction);
    auto* findNext = new QShortcut(QKeySequence::FindNext, this, [this] { FindNext(false); });
    findNext->setContext(Qt::WidgetWithChildrenShortcut);
    auto* findPrevious = new QShortcut(QKeySequence::FindPrevious, this, [this] { FindNext(true); });
    findPrevious->setContext(Qt::WidgetWithChildrenShortcut);

    // Following the newest line: once per batch, whatever the filter lets through.
    connect(FFilter, &QAbstractItemModel::rowsInserted, this, [this] {
        if (FFollow->isChecked())
            FView->scrollToBottom();
    });

    FConnectionBox = new QComboBox(this);
    FConnectionBox->setObjectName("LogConnectionBox");
    FConnectionBox->setAccessibleName(QStringLiteral("ログの接続"));
    FConnectionBox->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    FConnectionBox->setMinimumContentsLength(9);
    FConnectionBox->addItem(QStringLiteral("すべての接続"), 0);
    FConnectionBox->hide();
    connect(FConnectionBox, &QComboBox::currentIndexChanged, this,
            [this] { FFilter->SetConnection(FConnectionBox->currentData().toInt()); });

    auto* filters = new QHBoxLayout;
    filters->addWidget(filterLabel);
    filters->addWidget(FFilterEdit, 2);
    filters->addWidget(sourceLabel);
    filters->addWidget(FSourceBox);
    filters->addWidget(FConnectionBox);
    auto* tools = new QHBoxLayout;
    tools->addWidget(findLabel);
    tools->addWidget(FFindEdit, 2);
    tools->addWidget(previous);
    tools->addWidget(next);
    tools->addWidget(FNote, 1);
    tools->addWidget(FFollow);
    tools->addWidget(copy);
    tools->addWidget(save);
    tools->addWidget(clear);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->addLayout(filters);
    layout->addLayout(tools);
    layout->addWidget(FView, 1);

    setTabOrder(FFilterEdit, FSourceBox);
    setTabOrder(FSourceBox, FConnectionBox);
    setTabOrder(FConnectionBox, FFindEdit);
    setTabOrder(FFindEdit, previous);
    setTabOrder(previous, next);
    setTabOrder(next, FFollow);
    setTabOrder(FFollow, copy);
    setTabOrder(copy, save);
    setTabOrder(save, clear);
    setTabOrder(clear, FView);
}

void TLogPane::SetConnectionNames(const TConnectionNames* names)
{
    FModel->SetConnectionNames(names);
    auto refresh = [this, names] {
        if (!names->FillBox(FConnectionBox))
            FFilter->SetConnection(0);
        const bool several = names->Several();
        FView->setColumnHidden(TLogModel::ConnectionColumn, !several);
    };
    connect(names, &TConnectionNames::Changed, this, refresh);
    refresh();
}

QComboBox* TLogPane::ConnectionBox() const
{
    return FConnectionBox;
}

void TLogPane::Append(const std::vector<TLogEntry>& entries)
{
    FModel->Append(entries);
}

bool TLogPane::FindNext(bool backwards)
{
    const QString text = FFindEdit->text();
    const int rows = FFilter->rowCount();
    if (text.isEmpty() || rows == 0) {
        FNote->clear();
        return false;
    }
    const int current = FView->currentIndex().isValid() ? FView->currentIndex().row() : (backwards ? rows : -1);
    const int step = backwards ? -1 : 1;
    for (int i = 1; i <= rows; ++i) {
        const int row = ((current + step * i) % rows + rows) % rows;
        const int sourceRow = FFilter->mapToSource(FFilter->index(row, 0)).row();
        if (FModel->LineText(sourceRow).contains(text, Qt::CaseInsensitive)) {
            const QModelIndex found = FFilter->index(row, TLogModel::MessageColumn);
            FView->selectionModel()->setCurrentIndex(
                found, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
            FView->scrollTo(found);
            // A line found above the newest must stay in sight.
            FFollow->setChecked(false);
            FNote->clear();
            return true;
        }
    }
    FNote->setText(QStringLiteral("見つかりません"));
    return false;
}

void TLogPane::CopySelection()
{
    QModelIndexList rows = FView->selectionModel()->selectedRows();
    if (rows.isEmpty() && FView->currentIndex().isValid())
        rows << FView->currentIndex();
    std::sort(rows.begin(), rows.end(), [](const QModelIndex& a, const QModelIndex& b) { return a.row() < b.row(); });
    QStringList lines;
    for (const QModelIndex& index : rows)
        lines << FModel->LineText(FFilter->mapToSource(index).row());
    if (!lines.isEmpty())
        QApplication::clipboard()->setText(lines.join(QLatin1Char('\n')) + QLatin1Char('\n'));
}

bool TLogPane::SaveTo(const QString& path) const
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    for (int row = 0; row < FFilter->rowCount(); ++row) {
        const QByteArray line = FModel->LineText(FFilter->mapToSource(FFilter->index(row, 0)).row()).toUtf8();
        if (file.write(line) != line.size() || !file.putChar('\n'))
            return false;
    }
    return file.commit();
}

void TLogPane::SaveAs()
{
    const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("ログを保存"),
                                                      QStringLiteral("tarnwick-log.txt"),
                                                      QStringLiteral("テキスト (*.txt);;すべてのファイル (*)"));
    if (path.isEmpty())
        return;
    if (!SaveTo(path))
        QMessageBox::warning(this, QStringLiteral("警告"), QStringLiteral("保存できませんでした: %1").arg(path));
}

void TLogPane::Clear()
{
    FModel->Clear();
    FNote->clear();
}
