#include "console/window/MessagesView.h"

#include "console/window/ViewSetup.h"
#include "console/window/ViewText.h"
#include "platform/CodePage.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QDesktopServices>
#include <QFileInfo>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLocale>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSplitter>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>
#include <cstdio>

namespace {

QString Escaped(unsigned value, const char* format)
{
    char text[12];
    std::snprintf(text, sizeof text, format, value);
    return QString::fromLatin1(text);
}

// Bytes a UTF-8 sequence with this lead byte needs; 0 for a byte that cannot lead.
int SequenceNeeds(unsigned char lead)
{
    if (lead >= 0xC2 && lead <= 0xDF)
        return 2;
    if (lead >= 0xE0 && lead <= 0xEF)
        return 3;
    if (lead >= 0xF0 && lead <= 0xF4)
        return 4;
    return 0;
}

QString Size(qint64 bytes)
{
    return QStringLiteral("%1 バイト").arg(ViewText::Count(bytes));
}

}  // namespace

TMessagesView::TMessagesView(QWidget* parent) : QWidget(parent)
{
    FModel = new TMessagesModel(TMessagesModel::DefaultCapacity, this);
    FView = new QTableView(this);
    FView->setObjectName("MessagesView");
    FView->setAccessibleName(QStringLiteral("受信メッセージ"));
    FView->setModel(FModel);
    SetUpSessionTable(FView);
    FView->setSelectionMode(QAbstractItemView::SingleSelection);
    SetColumnWidthFor(FView, TMessagesModel::TimeColumn, QStringLiteral("2024/05/01 09.15.42.000"));
    SetColumnWidthFor(FView, TMessagesModel::TopicColumn, QStringLiteral("センサー/ノード1/温度/xxxxxxx"));
    SetColumnWidthFor(FView, TMessagesModel::QosColumn, QStringLiteral("QoS"));
    SetColumnWidthFor(FView, TMessagesModel::RetainColumn, QStringLiteral("いいえ"));
    SetColumnWidthFor(FView, TMessagesModel::DupColumn, QStringLiteral("いいえ"));
    SetColumnWidthFor(FView, TMessagesModel::IdColumn, QStringLiteral("65535"));
    SetColumnWidthFor(FView, TMessagesModel::SizeColumn, QStringLiteral("67,108,864"));
    SetColumnWidthFor(FView, TMessagesModel::FileColumn, QStringLiteral("Pub_2024050109154200012345.dat"));
    SetColumnWidthFor(FView, TMessagesModel::SubscriptionColumn, QStringLiteral("購読 ID"));
    connect(FView->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this](const QModelIndex& current) { ShowMessage(current.isValid() ? current.row() : -1); });

    FFollow = new QCheckBox(QStringLiteral("自動スクロール"), this);
    FFollow->setObjectName("MessagesFollowChk");
    FFollow->setChecked(true);
    connect(FModel, &QAbstractItemModel::rowsInserted, this, [this] {
        if (FFollow->isChecked())
            FView->scrollToBottom();
    });

    FInfo = new QLabel(QStringLiteral("メッセージを選ぶと、ペイロードをテキストと 16 進で表示します"), this);
    FInfo->setObjectName("MessageInfo");
    FInfo->setTextInteractionFlags(Qt::TextSelectableByMouse);
    FInfo->setWordWrap(true);
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

    FProperties = new QPlainTextEdit(this);
    FProperties->setObjectName("MessagePropertiesView");
    FProperties->setAccessibleName(QStringLiteral("プロパティ (MQTT 5.0)"));
    FProperties->setReadOnly(true);
    FProperties->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    FProperties->setTabChangesFocus(true);
    FProperties->setLineWrapMode(QPlainTextEdit::NoWrap);
    // A handful of lines; more scroll.
    FProperties->setMaximumHeight(FProperties->fontMetrics().lineSpacing() * 5 + 12);
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

    auto* payload = new QSplitter(Qt::Horizontal, this);
    payload->addWidget(FText);
    payload->addWidget(FHexView);
    payload->setStretchFactor(0, 2);
    payload->setStretchFactor(1, 3);

    auto* tools = new QHBoxLayout;
    tools->addWidget(FInfo, 1);
    tools->addWidget(FFollow);
    tools->addWidget(copyText);
    tools->addWidget(copyHex);
    tools->addWidget(openFolder);

    auto* lower = new QWidget(this);
    auto* lowerLayout = new QVBoxLayout(lower);
    lowerLayout->setContentsMargins(0, 0, 0, 0);
    lowerLayout->addLayout(tools);
    lowerLayout->addWidget(FProperties);
    lowerLayout->addWidget(payload, 1);

    auto* split = new QSplitter(Qt::Vertical, this);
    split->addWidget(FView);
    split->addWidget(lower);
    split->setStretchFactor(0, 1);
    split->setStretchFactor(1, 1);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->addWidget(split);

    setTabOrder(FView, FFollow);
    setTabOrder(FFollow, copyText);
    setTabOrder(copyText, copyHex);
    setTabOrder(copyHex, openFolder);
    setTabOrder(openFolder, FProperties);
    setTabOrder(FProperties, FText);
    setTabOrder(FText, FHexView);
}

void TMessagesView::Append(const std::vector<TSavedMessage>& messages, int connection)
{
    FModel->Append(messages, connection);
}

void TMessagesView::ShowMessage(int row)
{
    if (row < 0 || row >= FModel->rowCount()) {
        FShownPath.clear();
        FHex->Clear();
        FText->clear();
        FProperties->clear();
        FProperties->hide();
        return;
    }
    const TMessageRow& message = FModel->MessageAt(row);
    FProperties->setPlainText(message.Properties.join(QLatin1Char('\n')));
    FProperties->setVisible(!message.Properties.isEmpty());
    FShownPath = message.Path;
    if (!FHex->SetFile(message.Path)) {
        FText->clear();
        FInfo->setText(QStringLiteral("ファイルを開けません: %1").arg(message.Path));
        return;
    }
    const qint64 size = FHex->Size();
    const bool cut = size > TextLimit;
    FText->setPlainText(PayloadText(FHex->Bytes(0, TextLimit), cut, DisplayLineLimit));
    QString info = QStringLiteral("%1  —  %2").arg(message.Path, Size(size));
    if (size != message.Message.Size)
        info += QStringLiteral(" (受信時 %1)").arg(Size(message.Message.Size));
    if (cut)
        info += QStringLiteral("。テキストは先頭 %1 だけ表示しています").arg(Size(TextLimit));
    FInfo->setText(info);
}

QString TMessagesView::HexForCopy() const
{
    QModelIndexList rows = FHexView->selectionModel() ? FHexView->selectionModel()->selectedRows() : QModelIndexList();
    std::sort(rows.begin(), rows.end(), [](const QModelIndex& a, const QModelIndex& b) { return a.row() < b.row(); });
    QStringList lines;
    qint64 taken = 0;
    auto add = [&](qint64 offset, qint64 length) {
        const QByteArray bytes = FHex->Bytes(offset, std::min(length, CopyLimit - taken));
        taken += bytes.size();
        for (qsizetype at = 0; at < bytes.size(); at += THexDumpModel::BytesPerRow)
            lines << QString::fromLatin1(bytes.mid(at, THexDumpModel::BytesPerRow).toHex(' ').toUpper());
    };
    if (rows.isEmpty()) {
        add(0, FHex->Size());
    } else {
        for (const QModelIndex& row : rows) {
            if (taken >= CopyLimit)
                break;
            add(static_cast<qint64>(row.row()) * THexDumpModel::BytesPerRow, THexDumpModel::BytesPerRow);
        }
    }
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
    QApplication::clipboard()->setText(HexForCopy());
    if (FHex->Size() > CopyLimit)
        FInfo->setText(QStringLiteral("先頭 %1 までをコピーしました").arg(Size(CopyLimit)));
}

void TMessagesView::CopyText()
{
    QApplication::clipboard()->setText(TextForCopy());
    if (FText->textCursor().selectedText().isEmpty() && FHex->Size() > CopyLimit)
        FInfo->setText(QStringLiteral("先頭 %1 までをコピーしました").arg(Size(CopyLimit)));
}

void TMessagesView::OpenFolder()
{
    if (FShownPath.isEmpty())
        return;
    QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(FShownPath).absolutePath()));
}

QString TMessagesView::PayloadText(const QByteArray& bytes, bool cut, int lineLimit)
{
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.constData());
    const auto n = static_cast<std::size_t>(bytes.size());
    QString text;
    text.reserve(bytes.size());
    qsizetype column = 0;
    // One character or one escape at a time, so that a break never splits either.
    auto put = [&](const QString& unit) {
        if (unit == QLatin1String("\n")) {
            column = 0;
        } else {
            if (lineLimit > 0 && column > 0 && column + unit.size() > lineLimit) {
                text += QLatin1Char('\n');
                column = 0;
            }
            column += unit.size();
        }
        text += unit;
    };
    std::size_t i = 0;
    while (i < n) {
        const unsigned char b = p[i];
        if (b < 0x80) {
            if (b == '\r' && i + 1 < n && p[i + 1] == '\n') {
                ++i;   // a CR LF line end shows as one line end
                continue;
            }
            if ((b < 0x20 && b != '\n' && b != '\t') || b == 0x7f)
                put(Escaped(b, "\\x%02X"));
            else
                put(QString(QLatin1Char(static_cast<char>(b))));
            ++i;
            continue;
        }
        const std::size_t length = CodePage::UTF8SequenceLength(p + i, n - i);
        if (length > 0) {
            // C1 controls (U+0080..U+009F) would act, not show.
            if (length == 2 && b == 0xC2 && p[i + 1] <= 0x9F)
                put(Escaped(p[i + 1], "\\u%04X"));
            else
                put(QString::fromUtf8(reinterpret_cast<const char*>(p + i), static_cast<qsizetype>(length)));
            i += length;
            continue;
        }
        const int needs = SequenceNeeds(b);
        if (cut && needs > 0 && n - i < static_cast<std::size_t>(needs)) {
            bool continuation = true;
            for (std::size_t k = i + 1; k < n; ++k)
                continuation = continuation && (p[k] & 0xC0) == 0x80;
            if (continuation)
                break;   // the prefix ends inside a character
        }
        put(Escaped(b, "\\x%02X"));
        ++i;
    }
    return text;
}
