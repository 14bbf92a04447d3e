#include "console/window/MessagesView.h"

#include "console/window/ConnectionNames.h"
#include "console/window/Export.h"
#include "console/window/JsonHighlighter.h"
#include "console/window/MessagesFilter.h"
#include "console/window/PayloadChart.h"
#include "console/window/TopicTree.h"
#include "console/window/ViewSetup.h"
#include "console/window/ViewText.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDesktopServices>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSplitter>
#include <QTreeView>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>

namespace {

QString Size(qint64 bytes)
{
    return QStringLiteral("%1 バイト").arg(ViewText::Count(bytes));
}

QComboBox* Choice(const char* name, const QString& accessible, const QList<std::pair<QString, int>>& items,
                  QWidget* parent)
{
    auto* box = new QComboBox(parent);
    box->setObjectName(name);
    box->setAccessibleName(accessible);
    for (const auto& [text, value] : items)
        box->addItem(text, value);
    return box;
}

QLineEdit* FilterEdit(const char* name, const QString& accessible, const QString& placeholder, QWidget* parent)
{
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(name);
    edit->setAccessibleName(accessible);
    edit->setPlaceholderText(placeholder);
    SetUpClearButton(edit);
    return edit;
}

}  // namespace

TMessagesView::TMessagesView(QWidget* parent) : QWidget(parent)
{
    FModel = new TMessagesModel(TMessagesModel::DefaultCapacity, this);
    FFilter = new TMessagesFilterModel(this);
    FFilter->setSourceModel(FModel);
    FView = new QTableView(this);
    FView->setObjectName("MessagesView");
    FView->setAccessibleName(QStringLiteral("受信メッセージ"));
    FView->setModel(FFilter);
    SetUpSessionTable(FView);
    FView->setSelectionMode(QAbstractItemView::SingleSelection);
    // Any column sorts by a click on its header; at first the order of arrival.
    FView->horizontalHeader()->setSortIndicator(-1, Qt::AscendingOrder);
    FView->setSortingEnabled(true);
    FView->horizontalHeader()->setSortIndicatorClearable(true);
    SetColumnWidthFor(FView, TMessagesModel::TimeColumn, QStringLiteral("2024/05/01 09.15.42.000"));
    SetColumnWidthFor(FView, TMessagesModel::TopicColumn, QStringLiteral("センサー/ノード1/温度/xxxxxxx"));
    SetColumnWidthFor(FView, TMessagesModel::QosColumn, QStringLiteral("QoS"));
    SetColumnWidthFor(FView, TMessagesModel::RetainColumn, QStringLiteral("いいえ"));
    SetColumnWidthFor(FView, TMessagesModel::DupColumn, QStringLiteral("いいえ"));
    SetColumnWidthFor(FView, TMessagesModel::IdColumn, QStringLiteral("65535"));
    SetColumnWidthFor(FView, TMessagesModel::SizeColumn, QStringLiteral("67,108,864"));
    SetColumnWidthFor(FView, TMessagesModel::FileColumn, QStringLiteral("Pub_2024050109154200012345.dat"));
    SetColumnWidthFor(FView, TMessagesModel::SubscriptionColumn, QStringLiteral("購読 ID"));
    FView->setColumnHidden(TMessagesModel::ConnectionColumn, true);
    connect(FView->selectionModel(), &QItemSelectionModel::currentRowChanged, this, [this](const QModelIndex& current) {
        ShowMessage(current.isValid() ? FFilter->mapToSource(current).row() : -1);
    });

    // The filter row.
    FTopicEdit = FilterEdit("MessagesTopicFilterEdit", QStringLiteral("トピックで絞り込み"),
                            QStringLiteral("例: センサー/+/温度, hello/#"), this);
    FTopicEdit->setToolTip(QStringLiteral("MQTT のトピックフィルター: + は 1 階層、末尾の # はそれ以下すべて"));
    auto* topicLabel = new QLabel(QStringLiteral("トピック(&T):"), this);
    topicLabel->setBuddy(FTopicEdit);
    FTextEdit = FilterEdit("MessagesTextFilterEdit", QStringLiteral("ペイロードの文字列で絞り込み"),
                           QStringLiteral("ペイロードに含む文字列 (Ctrl+F)"), this);
    FTextEdit->setToolTip(QStringLiteral("各ペイロードの先頭 %1 バイトから探します").arg(PayloadHeadBytes));
    auto* textLabel = new QLabel(QStringLiteral("本文(&X):"), this);
    textLabel->setBuddy(FTextEdit);
    FQosBox = Choice("MessagesQosBox", QStringLiteral("QoS で絞り込み"),
                     {{QStringLiteral("QoS: すべて"), -1}, {"QoS 0", 0}, {"QoS 1", 1}, {"QoS 2", 2}}, this);
    FRetainBox = Choice("MessagesRetainBox", QStringLiteral("Retain で絞り込み"),
                        {{QStringLiteral("Retain: すべて"), -1},
                         {QStringLiteral("Retain あり"), 1},
                         {QStringLiteral("Retain なし"), 0}},
                        this);
    FConnectionBox = Choice("MessagesConnectionBox", QStringLiteral("接続で絞り込み"),
                            {{QStringLiteral("すべての接続"), 0}}, this);
    FConnectionBox->hide();
    SetUpNarrowBox(FConnectionBox);
    FShown = new QLabel(this);
    FShown->setObjectName("MessagesShownCount");
    auto* exportBtn = new QPushButton(QStringLiteral("書き出し…"), this);
    exportBtn->setObjectName("MessagesExportBtn");
    exportBtn->setToolTip(QStringLiteral("表示中のメッセージを CSV か JSON Lines に書き出します"));
    connect(exportBtn, &QPushButton::clicked, this, &TMessagesView::ChooseExport);
    connect(FTopicEdit, &QLineEdit::textChanged, FFilter, &TMessagesFilterModel::SetTopic);
    connect(FTextEdit, &QLineEdit::textChanged, FFilter, &TMessagesFilterModel::SetPayloadText);
    connect(FQosBox, &QComboBox::currentIndexChanged, this, [this] { FFilter->SetQos(FQosBox->currentData().toInt()); });
    connect(FRetainBox, &QComboBox::currentIndexChanged, this,
            [this] { FFilter->SetRetain(FRetainBox->currentData().toInt()); });
    connect(FConnectionBox, &QComboBox::currentIndexChanged, this,
            [this] { FFilter->SetConnection(FConnectionBox->currentData().toInt()); });
    // The count of all changes too while none of the new messages is shown.
    for (auto signal : {&QAbstractItemModel::rowsInserted, &QAbstractItemModel::rowsRemoved}) {
        connect(FFilter, signal, this, &TMessagesView::UpdateShown);
        connect(FModel, signal, this, &TMessagesView::UpdateShown);
    }
    connect(FFilter, &QAbstractItemModel::modelReset, this, &TMessagesView::UpdateShown);
    connect(FFilter, &QAbstractItemModel::layoutChanged, this, &TMessagesView::UpdateShown);
    connect(FFilter, &TMessagesFilterModel::SearchingChanged, this, &TMessagesView::UpdateShown);

    // The topic tree.
    FTopics = new TTopicTreeModel(this);
    FTopicView = new QTreeView(this);
    FTopicView->setObjectName("TopicTreeView");
    FTopicView->setAccessibleName(QStringLiteral("トピックの木"));
    FTopicView->setModel(FTopics);
    FTopicView->setUniformRowHeights(true);
    FTopicView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    FTopicView->header()->setStretchLastSection(false);
    FTopicView->setColumnWidth(TTopicTreeModel::TopicColumn, fontMetrics().averageCharWidth() * 18);
    FTopicView->setColumnWidth(TTopicTreeModel::CountColumn, fontMetrics().horizontalAdvance(QStringLiteral("100,000")) + 16);
    FTopicView->setColumnWidth(TTopicTreeModel::PayloadColumn, fontMetrics().averageCharWidth() * 24);
    connect(FTopicView->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this](const QModelIndex& current) {
                // A branch stands for itself and everything below it.
                if (current.isValid())
                    FTopicEdit->setText(current.data(TTopicTreeModel::PathRole).toString() + QStringLiteral("/#"));
            });
    auto* allTopics = new QPushButton(QStringLiteral("すべてのトピック"), this);
    allTopics->setObjectName("AllTopicsBtn");
    connect(allTopics, &QPushButton::clicked, this, [this] {
        FTopicView->selectionModel()->clearCurrentIndex();
        FTopicView->clearSelection();
        FTopicEdit->clear();
    });
    auto* treeBox = new QWidget(this);
    auto* treeLayout = new QVBoxLayout(treeBox);
    treeLayout->setContentsMargins(0, 0, 0, 0);
    treeLayout->addWidget(FTopicView, 1);
    treeLayout->addWidget(allTopics);

    FFollow = new QCheckBox(QStringLiteral("自動スクロール"), this);
    FFollow->setObjectName("MessagesFollowChk");
    FFollow->setChecked(true);
    connect(FModel, &QAbstractItemModel::rowsInserted, this, [this](const QModelIndex&, int first, int last) {
        for (int row = first; row <= last; ++row)
            FTopics->Add(FModel->MessageAt(row));
        FTopics->Flush();
        if (FFollow->isChecked())
            FView->scrollToBottom();
        // The chart follows its topic.
        if (FChart->isVisible() && !FChart->Topic().isEmpty())
            for (int row = first; row <= last; ++row)
                if (FModel->MessageAt(row).Topic == FChart->Topic()) {
                    ShowChart();
                    break;
                }
    });

    FInfo = new QLabel(NoMessageText(), this);
    FInfo->setObjectName("MessageInfo");
    FInfo->setTextInteractionFlags(Qt::TextSelectableByMouse);
    // A line of its own under the buttons, as wide as the pane: a long path is cut at the
    // pane's edge, never squeezed between the buttons (the tooltip holds the file's path).
    FInfo->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    FModeBox = Choice("PayloadModeBox", QStringLiteral("ペイロードの表示"),
                      {{QStringLiteral("自動"), int(TPayloadMode::Auto)},
                       {QStringLiteral("テキスト"), int(TPayloadMode::Text)},
                       {QStringLiteral("16 進"), int(TPayloadMode::Hex)},
                       {QStringLiteral("JSON"), int(TPayloadMode::Json)},
                       {QStringLiteral("Base64 を復号"), int(TPayloadMode::Base64)}},
                      this);
    FModeBox->setToolTip(QStringLiteral("選んだ表示はトピックごとに覚えます"));
    connect(FModeBox, &QComboBox::activated, this,
            [this] { SetMode(static_cast<TPayloadMode>(FModeBox->currentData().toInt())); });
    FChartBtn = new QPushButton(QStringLiteral("グラフ"), this);
    FChartBtn->setObjectName("PayloadChartBtn");
    FChartBtn->setCheckable(true);
    FChartBtn->setToolTip(QStringLiteral("このトピックのペイロードの数値を時刻に沿って描きます"));
    auto* copyText = new QPushButton(QStringLiteral("テキストをコピー"), this);
    copyText->setObjectName("CopyPayloadTextBtn");
    auto* copyHex = new QPushButton(QStringLiteral("16 進でコピー"), this);
    copyHex->setObjectName("CopyPayloadHexBtn");
    auto* openFolder = new QPushButton(QStringLiteral("フォルダを開く"), this);
    openFolder->setObjectName("OpenPayloadFolderBtn");
    connect(copyText, &QPushButton::clicked, this, &TMessagesView::CopyText);
    connect(copyHex, &QPushButton::clicked, this, &TMessagesView::CopyHex);
    connect(openFolder, &QPushButton::clicked, this, &TMessagesView::OpenFolder);

    FText = new QPlainTextEdit(this);
    FText->setObjectName("PayloadTextView");
    FText->setAccessibleName(QStringLiteral("ペイロード (テキスト)"));
    FText->setReadOnly(true);
    FText->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    FText->setTabChangesFocus(true);
    FText->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    FHighlighter = new TJsonHighlighter(FText->document());

    FProperties = new QPlainTextEdit(this);
    FProperties->setObjectName("MessagePropertiesView");
    FProperties->setAccessibleName(QStringLiteral("プロパティ (MQTT 5.0)"));
    FProperties->setReadOnly(true);
    FProperties->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    FProperties->setTabChangesFocus(true);
    FProperties->setLineWrapMode(QPlainTextEdit::NoWrap);
    FProperties->hide();

    FHex = new THexDumpModel(this);
    FHexView = new QTableView(this);
    FHexView->setObjectName("PayloadHexView");
    FHexView->setAccessibleName(QStringLiteral("ペイロード (16 進ダンプ)"));
    FHexView->setModel(FHex);
    SetUpSessionTable(FHexView);
    FHexView->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    SetColumnWidthFor(FHexView, THexDumpModel::OffsetColumn, QStringLiteral("00000000"));
    SetColumnWidthFor(FHexView, THexDumpModel::HexColumn, THexDumpModel::HexText(QByteArray(16, 'x')));

    FChart = new TPayloadChart(this);
    FChart->hide();
    connect(FChartBtn, &QPushButton::toggled, this, [this](bool on) {
        // The chart takes the hex dump's place while it shows.
        FChart->setVisible(on);
        FHexView->setVisible(!on);
        if (on)
            ShowChart();
    });

    auto* payload = new QSplitter(Qt::Horizontal, this);
    payload->setObjectName("PayloadSplitter");
    payload->addWidget(FText);
    payload->addWidget(FHexView);
    payload->addWidget(FChart);
    payload->setStretchFactor(0, 2);
    payload->setStretchFactor(1, 3);
    payload->setStretchFactor(2, 3);

    auto* filters = new QHBoxLayout;
    filters->addWidget(topicLabel);
    filters->addWidget(FTopicEdit, 3);
    filters->addWidget(textLabel);
    filters->addWidget(FTextEdit, 2);
    auto* choices = new QHBoxLayout;
    choices->addWidget(FQosBox);
    choices->addWidget(FRetainBox);
    choices->addWidget(FConnectionBox);
    choices->addWidget(FShown);
    choices->addStretch(1);
    choices->addWidget(exportBtn);

    auto* tools = new QHBoxLayout;
    tools->addWidget(FModeBox);
    tools->addWidget(FChartBtn);
    tools->addWidget(FFollow);
    tools->addStretch(1);
    tools->addWidget(copyText);
    tools->addWidget(copyHex);
    tools->addWidget(openFolder);

    auto* lower = new QWidget(this);
    auto* lowerLayout = new QVBoxLayout(lower);
    lowerLayout->setContentsMargins(0, 0, 0, 0);
    lowerLayout->addLayout(tools);
    lowerLayout->addWidget(FInfo);
    lowerLayout->addWidget(FProperties);
    lowerLayout->addWidget(payload, 1);

    auto* upper = new QSplitter(Qt::Horizontal, this);
    upper->setObjectName("TopicSplitter");
    upper->addWidget(treeBox);
    upper->addWidget(FView);
    upper->setStretchFactor(0, 2);
    upper->setStretchFactor(1, 5);

    auto* split = new QSplitter(Qt::Vertical, this);
    split->setObjectName("MessagesSplitter");
    split->addWidget(upper);
    split->addWidget(lower);
    split->setStretchFactor(0, 2);
    split->setStretchFactor(1, 3);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->addLayout(filters);
    layout->addLayout(choices);
    layout->addWidget(split, 1);

    setTabOrder(FTopicEdit, FTextEdit);
    setTabOrder(FTextEdit, FQosBox);
    setTabOrder(FQosBox, FRetainBox);
    setTabOrder(FRetainBox, FConnectionBox);
    setTabOrder(FConnectionBox, exportBtn);
    setTabOrder(exportBtn, FTopicView);
    setTabOrder(FTopicView, allTopics);
    setTabOrder(allTopics, FView);
    setTabOrder(FView, FModeBox);
    setTabOrder(FModeBox, FChartBtn);
    setTabOrder(FChartBtn, FFollow);
    setTabOrder(FFollow, copyText);
    setTabOrder(copyText, copyHex);
    setTabOrder(copyHex, openFolder);
    setTabOrder(openFolder, FProperties);
    setTabOrder(FProperties, FText);
    setTabOrder(FText, FHexView);
    UpdateShown();
}

void TMessagesView::Append(const std::vector<TSavedMessage>& messages, int connection)
{
    std::vector<TReceivedMessage> received;
    for (const TSavedMessage& message : messages)
        received.push_back({message, ReadPayloadHead(message.Path)});
    Append(received, connection);
}

void TMessagesView::Append(const std::vector<TReceivedMessage>& messages, int connection)
{
    FModel->Append(messages, connection);
}

void TMessagesView::SetConnectionNames(const TConnectionNames* names)
{
    FNames = names;
    FModel->SetConnectionNames(names);
    auto refresh = [this] {
        if (!FNames->FillBox(FConnectionBox))
            FFilter->SetConnection(0);
        const bool several = FNames->Several();
        FView->setColumnHidden(TMessagesModel::ConnectionColumn, !several);
        if (FModel->rowCount() > 0)
            emit FModel->dataChanged(FModel->index(0, TMessagesModel::ConnectionColumn),
                                     FModel->index(FModel->rowCount() - 1, TMessagesModel::ConnectionColumn));
    };
    connect(names, &TConnectionNames::Changed, this, refresh);
    refresh();
}

void TMessagesView::UpdateShown()
{
    FShown->setText(FFilter->Filtering() ? QStringLiteral("%1 / %2 件")
                                               .arg(ViewText::Count(FFilter->rowCount()))
                                               .arg(ViewText::Count(FModel->rowCount()))
                                         : QStringLiteral("%1 件").arg(ViewText::Count(FModel->rowCount())));
    // Large payloads are still read for the filter's text: more may join.
    if (FFilter->Searching())
        FShown->setText(FShown->text() + QStringLiteral(" (検索中…)"));
}

std::vector<const TMessageRow*> TMessagesView::ShownRows() const
{
    std::vector<const TMessageRow*> rows;
    rows.reserve(static_cast<std::size_t>(FFilter->rowCount()));
    for (int row = 0; row < FFilter->rowCount(); ++row)
        rows.push_back(&FModel->MessageAt(FFilter->mapToSource(FFilter->index(row, 0)).row()));
    return rows;
}

bool TMessagesView::Export(const QString& path, QString& error) const
{
    const std::vector<const TMessageRow*> rows = ShownRows();
    if (path.endsWith(QLatin1String(".jsonl"), Qt::CaseInsensitive) ||
        path.endsWith(QLatin1String(".json"), Qt::CaseInsensitive))
        return Export::MessagesJsonLines(path, rows, FNames, error);
    return Export::MessagesCsv(path, rows, FNames, error);
}

void TMessagesView::ChooseExport()
{
    QFileDialog dialog(this, QStringLiteral("表示中のメッセージを書き出す"), QString(), QString());
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    SetUpFileDialog(dialog);
    dialog.setNameFilters({QStringLiteral("CSV (*.csv)"), QStringLiteral("JSON Lines (*.jsonl)")});
    dialog.selectFile(QStringLiteral("messages.csv"));
    connect(&dialog, &QFileDialog::filterSelected, &dialog, [&dialog](const QString& filter) {
        dialog.setDefaultSuffix(filter.contains(QLatin1String("jsonl")) ? QStringLiteral("jsonl")
                                                                        : QStringLiteral("csv"));
    });
    dialog.setDefaultSuffix(QStringLiteral("csv"));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return;
    QString error;
    if (!Export(dialog.selectedFiles().first(), error))
        QMessageBox::warning(this, QStringLiteral("書き出し"), error);
}

// ---- the payload ----

QString TMessagesView::NoMessageText()
{
    return QStringLiteral("メッセージを選ぶと、ペイロードを表示します");
}

void TMessagesView::ShowMessage(int row)
{
    if (row < 0 || row >= FModel->rowCount()) {
        FShownRow = -1;
        FShownPath.clear();
        FHex->Clear();
        FText->clear();
        FProperties->clear();
        FProperties->hide();
        FInfo->setText(NoMessageText());
        FInfo->setToolTip(QString());
        return;
    }
    FShownRow = row;
    const TMessageRow& message = FModel->MessageAt(row);
    FProperties->setPlainText(message.Properties.join(QLatin1Char('\n')));
    FProperties->setVisible(!message.Properties.isEmpty());
    // As tall as its lines, five at most; more scroll.
    FProperties->setFixedHeight(FProperties->fontMetrics().lineSpacing() *
                                    static_cast<int>(std::clamp<qsizetype>(message.Properties.size(), 1, 5)) +
                                12);
    FShownPath = message.Path;
    {
        const QSignalBlocker block(FModeBox);
        FModeBox->setCurrentIndex(FModeBox->findData(int(ModeOf(message.Topic))));
    }
    if (!FHex->SetFile(message.Path)) {
        FText->clear();
        FInfo->setText(QStringLiteral("ファイルを開けません: %1").arg(message.Path));
        return;
    }
    RenderPayload();
    if (FChart->isVisible() && FChart->Topic() != message.Topic)
        ShowChart();
}

void TMessagesView::SetMode(TPayloadMode mode)
{
    {
        const QSignalBlocker block(FModeBox);
        FModeBox->setCurrentIndex(FModeBox->findData(int(mode)));
    }
    if (FShownRow < 0)
        return;
    const QString& topic = FModel->MessageAt(FShownRow).Topic;
    if (mode == TPayloadMode::Auto)
        FModes.remove(topic);
    else
        FModes.insert(topic, mode);
    RenderPayload();
}

void TMessagesView::RenderPayload()
{
    const TMessageRow& message = FModel->MessageAt(FShownRow);
    const qint64 size = FHex->Size();
    const bool cut = size > TextLimit;
    const QByteArray bytes = FHex->Bytes(0, TextLimit);
    const TPayloadMode mode =
        PayloadFormat::Resolve(ModeOf(message.Topic), bytes, PayloadFormat::ContentType(message.Properties));
    QString info = QStringLiteral("%1  —  %2").arg(QFileInfo(message.Path).fileName(), Size(size));
    FInfo->setToolTip(message.Path);
    if (size != message.Message.Size)
        info += QStringLiteral(" (受信時 %1)").arg(Size(message.Message.Size));
    QString text;
    bool json = false;
    switch (mode) {
    case TPayloadMode::Auto:
    case TPayloadMode::Text:
    case TPayloadMode::Hex:
        break;
    case TPayloadMode::Json: {
        QString why;
        text = cut ? QString() : PayloadFormat::PrettyJson(bytes, &why);
        json = !text.isEmpty();
        if (!json)
            info += QStringLiteral("。") + (cut ? QStringLiteral("JSON として整形するには大きすぎます") : why);
        break;
    }
    case TPayloadMode::Base64: {
        QByteArray decoded;
        if (!cut && PayloadFormat::DecodeBase64(bytes, decoded)) {
            info += QStringLiteral("。Base64 を復号: %1").arg(Size(decoded.size()));
            text = PayloadFormat::IsJson(decoded, QString()) ? PayloadFormat::PrettyJson(decoded) : QString();
            json = !text.isEmpty();
            if (!json)
                text = PayloadText(decoded, false, DisplayLineLimit);
        } else {
            info += QStringLiteral("。Base64 として復号できません");
        }
        break;
    }
    }
    if (text.isEmpty() && !json)
        text = PayloadText(bytes, cut, DisplayLineLimit);
    if (cut && mode != TPayloadMode::Hex)
        info += QStringLiteral("。テキストは先頭 %1 だけ表示しています").arg(Size(TextLimit));
    FHighlighter->SetActive(json);
    FText->setPlainText(text);
    FText->setVisible(mode != TPayloadMode::Hex);
    FInfo->setText(info);
}

bool TMessagesView::ShowChart()
{
    if (FShownRow < 0)
        return false;
    const QString topic = FModel->MessageAt(FShownRow).Topic;
    std::vector<const TMessageRow*> rows;
    for (int row = 0; row < FModel->rowCount(); ++row)
        if (FModel->MessageAt(row).Topic == topic)
            rows.push_back(&FModel->MessageAt(row));
    return FChart->Show(topic, rows);
}

QString TMessagesView::HexForCopy(bool* cut) const
{
    QModelIndexList rows = FHexView->selectionModel() ? FHexView->selectionModel()->selectedRows() : QModelIndexList();
    std::sort(rows.begin(), rows.end(), [](const QModelIndex& a, const QModelIndex& b) { return a.row() < b.row(); });
    QStringList lines;
    qint64 taken = 0;
    qint64 wanted = 0;
    auto add = [&](qint64 offset, qint64 length) {
        wanted += std::min(length, FHex->Size() - offset);
        const QByteArray bytes = FHex->Bytes(offset, std::min(length, CopyLimit - taken));
        taken += bytes.size();
        for (qsizetype at = 0; at < bytes.size(); at += THexDumpModel::BytesPerRow)
            lines << QString::fromLatin1(bytes.mid(at, THexDumpModel::BytesPerRow).toHex(' ').toUpper());
    };
    if (rows.isEmpty()) {
        add(0, FHex->Size());
    } else {
        for (const QModelIndex& row : rows)
            add(static_cast<qint64>(row.row()) * THexDumpModel::BytesPerRow, THexDumpModel::BytesPerRow);
    }
    if (cut)
        *cut = taken < wanted;
    return lines.isEmpty() ? QString() : lines.join(QLatin1Char('\n')) + QLatin1Char('\n');
}

QString TMessagesView::TextForCopy() const
{
    QString selected = FText->textCursor().selectedText();
    if (!selected.isEmpty())
        return selected.replace(QChar::ParagraphSeparator, QLatin1Char('\n'));
    return PayloadText(FHex->Bytes(0, CopyLimit), FHex->Size() > CopyLimit);
}

void TMessagesView::CopyHex()
{
    bool cut = false;
    QApplication::clipboard()->setText(HexForCopy(&cut));
    // Only a copy the limit cut short says so.
    if (cut)
        FInfo->setText(QStringLiteral("先頭 %1 までをコピーしました").arg(Size(CopyLimit)));
}

void TMessagesView::CopyText()
{
    QApplication::clipboard()->setText(TextForCopy());
    if (FText->textCursor().selectedText().isEmpty() && FHex->Size() > CopyLimit)
        FInfo->setText(QStringLiteral("先頭 %1 までをコピーしました").arg(Size(CopyLimit)));
}

bool TMessagesView::OpenFolder()
{
    if (FShownPath.isEmpty())
        return false;
    const QString folder = QFileInfo(FShownPath).absolutePath();
    if (QDesktopServices::openUrl(QUrl::fromLocalFile(folder)))
        return true;
    FInfo->setText(QStringLiteral("フォルダを開くアプリケーションがありません: %1").arg(folder));
    return false;
}
