#include "console/window/FramesView.h"

#include "console/window/ConnectionNames.h"
#include "console/window/ViewSetup.h"
#include "console/window/ViewText.h"
#include "diag/EventLine.h"
#include "mqtt/codec/MessageTypes.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QShortcut>
#include <QSplitter>
#include <QStringListModel>
#include <QVBoxLayout>

TFramesView::TFramesView(QWidget* parent) : QWidget(parent)
{
    FModel = new TFramesModel(TFramesModel::DefaultCapacity, TFramesModel::DefaultByteBudget, this);
    FFilter = new TFramesFilterModel(this);
    FFilter->setSourceModel(FModel);
    FView = new QTableView(this);
    FView->setObjectName("FramesView");
    FView->setAccessibleName(QStringLiteral("フレーム"));
    FView->setModel(FFilter);
    SetUpSessionTable(FView);
    FView->setSelectionMode(QAbstractItemView::SingleSelection);
    SetColumnWidthFor(FView, TFramesModel::NumberColumn, QStringLiteral("0000000"));
    SetColumnWidthFor(FView, TFramesModel::TimeColumn, QStringLiteral("2024/05/01 09.15.42.000"));
    SetColumnWidthFor(FView, TFramesModel::DirectionColumn, QStringLiteral("受信 ←"));
    SetColumnWidthFor(FView, TFramesModel::TypeColumn, QStringLiteral("UNSUBSCRIBE"));
    SetColumnWidthFor(FView, TFramesModel::FlagsColumn, QStringLiteral("DUP, QoS 2, Retain"));
    SetColumnWidthFor(FView, TFramesModel::LengthColumn, QStringLiteral("残りの長さ"));
    SetColumnWidthFor(FView, TFramesModel::IdColumn, QStringLiteral("65535"));
    FView->setColumnHidden(TFramesModel::ConnectionColumn, true);
    connect(FView->selectionModel(), &QItemSelectionModel::currentRowChanged, this, [this](const QModelIndex& current) {
        ShowFrame(current.isValid() ? FFilter->mapToSource(current).row() : -1);
    });

    // Filters.
    FTypeBox = new QComboBox(this);
    FTypeBox->setObjectName("FramesTypeBox");
    FTypeBox->setAccessibleName(QStringLiteral("種類で絞り込み"));
    FTypeBox->addItem(QStringLiteral("種類: すべて"), -1);
    for (int type = 1; type <= 15; ++type)
        FTypeBox->addItem(QString::fromLatin1(MessageType::Name(type)), type);
    FDirectionBox = new QComboBox(this);
    FDirectionBox->setObjectName("FramesDirectionBox");
    FDirectionBox->setAccessibleName(QStringLiteral("方向で絞り込み"));
    FDirectionBox->addItem(QStringLiteral("方向: すべて"), -1);
    FDirectionBox->addItem(QStringLiteral("送信 →"), static_cast<int>(TFrameDirection::Sent));
    FDirectionBox->addItem(QStringLiteral("受信 ←"), static_cast<int>(TFrameDirection::Received));
    FConnectionBox = new QComboBox(this);
    FConnectionBox->setObjectName("FramesConnectionBox");
    FConnectionBox->setAccessibleName(QStringLiteral("接続で絞り込み"));
    FConnectionBox->addItem(QStringLiteral("すべての接続"), 0);
    FConnectionBox->hide();
    SetUpNarrowBox(FConnectionBox);
    connect(FTypeBox, &QComboBox::currentIndexChanged, this, [this] {
        FFilter->SetType(FTypeBox->currentData().toInt());
        UpdateCount();
    });
    connect(FDirectionBox, &QComboBox::currentIndexChanged, this, [this] {
        FFilter->SetDirection(FDirectionBox->currentData().toInt());
        UpdateCount();
    });
    connect(FConnectionBox, &QComboBox::currentIndexChanged, this, [this] {
        FFilter->SetConnection(FConnectionBox->currentData().toInt());
        UpdateCount();
    });

    // The search of the bytes.
    auto* findLabel = new QLabel(QStringLiteral("バイト検索(&B):"), this);
    FFindEdit = new QLineEdit(this);
    FFindEdit->setObjectName("FramesFindEdit");
    FFindEdit->setAccessibleName(QStringLiteral("フレームのバイト列を検索"));
    FFindEdit->setPlaceholderText(QStringLiteral("例: 30 0A (Enter: 次へ)"));
    FFindEdit->setToolTip(QStringLiteral("Enter / F3: 次へ、Shift+F3: 前へ"));
    SetUpClearButton(FFindEdit);
    findLabel->setBuddy(FFindEdit);
    FFindEdit->setMinimumWidth(FFindEdit->fontMetrics().averageCharWidth() * 14);
    SetUpNarrowBox(FTypeBox, 8);
    SetUpNarrowBox(FDirectionBox, 6);
    FFindMode = new QComboBox(this);
    FFindMode->setObjectName("FramesFindModeBox");
    FFindMode->setAccessibleName(QStringLiteral("検索の形式"));
    FFindMode->addItem(QStringLiteral("16 進"), true);
    FFindMode->addItem(QStringLiteral("テキスト"), false);
    auto* previous = new QPushButton(QStringLiteral("前へ"), this);
    previous->setObjectName("FramesFindPreviousBtn");
    auto* next = new QPushButton(QStringLiteral("次へ"), this);
    next->setObjectName("FramesFindNextBtn");
    FFindNote = new QLabel(this);
    FFindNote->setObjectName("FramesFindNote");
    connect(previous, &QPushButton::clicked, this, [this] { FindNext(true); });
    connect(next, &QPushButton::clicked, this, [this] { FindNext(false); });
    connect(FFindEdit, &QLineEdit::returnPressed, this, [this] { FindNext(false); });
    auto* findNext = new QShortcut(QKeySequence::FindNext, this, [this] { FindNext(false); });
    findNext->setContext(Qt::WidgetWithChildrenShortcut);
    auto* findPrevious = new QShortcut(QKeySequence::FindPrevious, this, [this] { FindNext(true); });
    findPrevious->setContext(Qt::WidgetWithChildrenShortcut);

    FCount = new QLabel(this);
    FCount->setObjectName("FramesCount");
    FFollow = new QCheckBox(QStringLiteral("自動スクロール"), this);
    FFollow->setObjectName("FramesFollowChk");
    FFollow->setChecked(true);
    connect(FFilter, &QAbstractItemModel::rowsInserted, this, [this] {
        if (FFollow->isChecked())
            FView->scrollToBottom();
    });
    connect(FFollow, &QCheckBox::toggled, this, [this](bool on) {
        if (on)
            FView->scrollToBottom();
    });
    auto* clear = new QPushButton(QStringLiteral("消去"), this);
    clear->setObjectName("FramesClearBtn");
    connect(clear, &QPushButton::clicked, this, [this] {
        FModel->Clear();
        ShowFrame(-1);
        UpdateCount();
    });
    auto* exportBtn = new QPushButton(QStringLiteral("pcap に書き出し…"), this);
    exportBtn->setObjectName("FramesExportBtn");
    exportBtn->setToolTip(QStringLiteral("表示中のフレームを Wireshark で開ける pcap ファイルにします"));
    connect(exportBtn, &QPushButton::clicked, this, &TFramesView::ChooseExport);
    auto* legend = new QLabel(QStringLiteral("青: 送信  緑: 受信  赤: 異常"), this);
    legend->setToolTip(QStringLiteral("赤: 解析できないフレーム、拒否の応答"));
    legend->setEnabled(false);

    FDetails = new QStringListModel(this);
    FDetailView = new QListView(this);
    FDetailView->setObjectName("FrameDetailView");
    FDetailView->setAccessibleName(QStringLiteral("フレームの解析"));
    FDetailView->setModel(FDetails);
    FDetailView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    FDetailView->setUniformItemSizes(true);
    FDetailView->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));

    FHex = new THexDumpModel(this);
    FHexView = new QTableView(this);
    FHexView->setObjectName("FrameHexView");
    FHexView->setAccessibleName(QStringLiteral("フレームのバイト列 (16 進ダンプ)"));
    FHexView->setModel(FHex);
    SetUpSessionTable(FHexView);
    FHexView->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    SetColumnWidthFor(FHexView, THexDumpModel::OffsetColumn, QStringLiteral("00000000"));
    SetColumnWidthFor(FHexView, THexDumpModel::HexColumn, THexDumpModel::HexText(QByteArray(16, 'x')));

    auto* filters = new QHBoxLayout;
    filters->addWidget(FTypeBox);
    filters->addWidget(FDirectionBox);
    filters->addWidget(FConnectionBox);
    filters->addSpacing(8);
    filters->addWidget(findLabel);
    filters->addWidget(FFindEdit, 1);
    filters->addWidget(FFindMode);
    filters->addWidget(previous);
    filters->addWidget(next);
    filters->addWidget(FFindNote);

    auto* tools = new QHBoxLayout;
    tools->addWidget(FCount);
    tools->addSpacing(12);
    tools->addWidget(legend, 1);
    tools->addWidget(FFollow);
    tools->addWidget(clear);
    tools->addWidget(exportBtn);

    auto* detail = new QSplitter(Qt::Horizontal, this);
    detail->setObjectName("FrameDetailSplitter");
    detail->addWidget(FDetailView);
    detail->addWidget(FHexView);
    detail->setStretchFactor(0, 2);
    detail->setStretchFactor(1, 3);

    auto* split = new QSplitter(Qt::Vertical, this);
    split->setObjectName("FramesSplitter");
    split->addWidget(FView);
    split->addWidget(detail);
    split->setStretchFactor(0, 3);
    split->setStretchFactor(1, 2);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->addLayout(filters);
    layout->addLayout(tools);
    layout->addWidget(split, 1);

    setTabOrder(FTypeBox, FDirectionBox);
    setTabOrder(FDirectionBox, FConnectionBox);
    setTabOrder(FConnectionBox, FFindEdit);
    setTabOrder(FFindEdit, FFindMode);
    setTabOrder(FFindMode, previous);
    setTabOrder(previous, next);
    setTabOrder(next, FFollow);
    setTabOrder(FFollow, clear);
    setTabOrder(clear, exportBtn);
    setTabOrder(exportBtn, FView);
    setTabOrder(FView, FDetailView);
    setTabOrder(FDetailView, FHexView);
    UpdateCount();
}

void TFramesView::Append(std::vector<TFrameEntry> frames)
{
    FModel->Append(std::move(frames));
    UpdateCount();
}

void TFramesView::SetConnectionNames(const TConnectionNames* names)
{
    FNames = names;
    FModel->SetConnectionNames(names);
    auto refresh = [this] {
        if (!FNames->FillBox(FConnectionBox))
            FFilter->SetConnection(0);
        const bool several = FNames->Several();
        FView->setColumnHidden(TFramesModel::ConnectionColumn, !several);
    };
    connect(names, &TConnectionNames::Changed, this, refresh);
    refresh();
}

void TFramesView::ShowFrame(int row)
{
    if (row < 0 || row >= FModel->rowCount()) {
        FDetails->setStringList({});
        FHex->Clear();
        return;
    }
    const TFrameEntry& frame = FModel->FrameAt(row);
    QStringList lines;
    for (const std::string& line : FrameDetailLines(frame))
        lines << QString::fromStdString(EscapeControls(CodePage::SystemToUTF8(line), true));
    FDetails->setStringList(lines);
    FHex->SetBytes(QByteArray(reinterpret_cast<const char*>(frame.Bytes.data()),
                              static_cast<qsizetype>(frame.Bytes.size())));
}

bool TFramesView::FindNext(bool backwards)
{
    QByteArray needle;
    const int rows = FFilter->rowCount();
    if (FFindEdit->text().isEmpty() || rows == 0) {
        FFindNote->clear();
        return false;
    }
    if (!SearchBytes(FFindEdit->text(), FFindMode->currentData().toBool(), needle)) {
        FFindNote->setText(QStringLiteral("16 進として読めません"));
        return false;
    }
    const int current = FView->currentIndex().isValid() ? FView->currentIndex().row() : (backwards ? rows : -1);
    const int step = backwards ? -1 : 1;
    for (int i = 1; i <= rows; ++i) {
        const int row = ((current + step * i) % rows + rows) % rows;
        const TFrameEntry& frame = FModel->FrameAt(FFilter->mapToSource(FFilter->index(row, 0)).row());
        const qsizetype at = FindInFrame(frame, needle);
        if (at < 0)
            continue;
        const QModelIndex found = FFilter->index(row, TFramesModel::BytesColumn);
        FView->selectionModel()->setCurrentIndex(found,
                                                 QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
        FView->scrollTo(found);
        FFollow->setChecked(false);   // a frame found above the newest must stay in sight
        const int hexRow = static_cast<int>(at / THexDumpModel::BytesPerRow);
        FHexView->selectRow(hexRow);
        FHexView->scrollTo(FHex->index(hexRow, 0));
        FFindNote->setText(QStringLiteral("%1 バイト目").arg(at));
        return true;
    }
    FFindNote->setText(QStringLiteral("見つかりません"));
    return false;
}

std::vector<const TFrameEntry*> TFramesView::ShownFrames() const
{
    std::vector<const TFrameEntry*> frames;
    frames.reserve(static_cast<std::size_t>(FFilter->rowCount()));
    for (int row = 0; row < FFilter->rowCount(); ++row)
        frames.push_back(&FModel->FrameAt(FFilter->mapToSource(FFilter->index(row, 0)).row()));
    return frames;
}

bool TFramesView::ExportPcap(const QString& path, QString& error) const
{
    const Export::TPortsOf ports = PortsOf ? PortsOf : [](const TFrameEntry& frame) {
        return std::pair<uint16_t, uint16_t>(static_cast<uint16_t>(40000 + frame.Connection * 100 + frame.Stream % 100),
                                             1883);
    };
    return Export::FramesPcap(path, ShownFrames(), ports, error);
}

void TFramesView::ChooseExport()
{
    QFileDialog dialog(this, QStringLiteral("表示中のフレームを書き出す"));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    SetUpFileDialog(dialog);
    dialog.setNameFilters({QStringLiteral("pcap (*.pcap)")});
    dialog.setDefaultSuffix(QStringLiteral("pcap"));
    dialog.selectFile(QStringLiteral("frames.pcap"));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return;
    QString error;
    if (!ExportPcap(dialog.selectedFiles().first(), error))
        QMessageBox::warning(this, QStringLiteral("書き出し"), error);
}

void TFramesView::UpdateCount()
{
    FCount->setText(FFilter->Filtering() ? QStringLiteral("%1 / %2 フレーム")
                                               .arg(ViewText::Count(FFilter->rowCount()))
                                               .arg(ViewText::Count(FModel->rowCount()))
                                         : QStringLiteral("%1 フレーム").arg(ViewText::Count(FModel->rowCount())));
}
