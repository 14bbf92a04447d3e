#include "console/window/FramesView.h"

#include "console/window/ViewSetup.h"
#include "console/window/ViewText.h"
#include "diag/EventLine.h"

#include <QCheckBox>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QItemSelectionModel>
#include <QLabel>
#include <QListView>
#include <QLocale>
#include <QPushButton>
#include <QSplitter>
#include <QStringListModel>
#include <QVBoxLayout>

TFramesView::TFramesView(QWidget* parent) : QWidget(parent)
{
    FModel = new TFramesModel(TFramesModel::DefaultCapacity, TFramesModel::DefaultByteBudget, this);
    FView = new QTableView(this);
    FView->setObjectName("FramesView");
    FView->setAccessibleName(QStringLiteral("フレーム"));
    FView->setModel(FModel);
    SetUpSessionTable(FView);
    FView->setSelectionMode(QAbstractItemView::SingleSelection);
    SetColumnWidthFor(FView, TFramesModel::NumberColumn, QStringLiteral("0000000"));
    SetColumnWidthFor(FView, TFramesModel::TimeColumn, QStringLiteral("2024/05/01 09.15.42.000"));
    SetColumnWidthFor(FView, TFramesModel::DirectionColumn, QStringLiteral("受信 ←"));
    SetColumnWidthFor(FView, TFramesModel::TypeColumn, QStringLiteral("UNSUBSCRIBE"));
    SetColumnWidthFor(FView, TFramesModel::FlagsColumn, QStringLiteral("DUP, QoS 2, Retain"));
    SetColumnWidthFor(FView, TFramesModel::LengthColumn, QStringLiteral("残りの長さ"));
    SetColumnWidthFor(FView, TFramesModel::IdColumn, QStringLiteral("65535"));
    connect(FView->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this](const QModelIndex& current) { ShowFrame(current.isValid() ? current.row() : -1); });

    FCount = new QLabel(this);
    FCount->setObjectName("FramesCount");
    FFollow = new QCheckBox(QStringLiteral("自動スクロール"), this);
    FFollow->setObjectName("FramesFollowChk");
    FFollow->setChecked(true);
    connect(FModel, &QAbstractItemModel::rowsInserted, this, [this] {
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
    auto* legend = new QLabel(QStringLiteral("青: 送信  緑: 受信  赤: 異常 (解析できない・拒否の応答)"), this);
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

    auto* tools = new QHBoxLayout;
    tools->addWidget(FCount);
    tools->addSpacing(12);
    tools->addWidget(legend, 1);
    tools->addWidget(FFollow);
    tools->addWidget(clear);

    auto* detail = new QSplitter(Qt::Horizontal, this);
    detail->addWidget(FDetailView);
    detail->addWidget(FHexView);
    detail->setStretchFactor(0, 2);
    detail->setStretchFactor(1, 3);

    auto* split = new QSplitter(Qt::Vertical, this);
    split->addWidget(FView);
    split->addWidget(detail);
    split->setStretchFactor(0, 3);
    split->setStretchFactor(1, 2);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->addLayout(tools);
    layout->addWidget(split, 1);

    setTabOrder(FFollow, clear);
    setTabOrder(clear, FView);
    setTabOrder(FView, FDetailView);
    setTabOrder(FDetailView, FHexView);
    UpdateCount();
}

void TFramesView::Append(std::vector<TFrameEntry> frames)
{
    FModel->Append(std::move(frames));
    UpdateCount();
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

void TFramesView::UpdateCount()
{
    FCount->setText(QStringLiteral("%1 フレーム").arg(ViewText::Count(FModel->rowCount())));
}
