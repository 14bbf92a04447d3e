#include "console/window/PropertyEditor.h"

#include "mqtt/codec/Properties.h"
#include "platform/CodePage.h"
#include "platform/Error.h"

#include <QComboBox>
#include <QEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QBrush>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTableWidget>
#include <QVBoxLayout>

#include <algorithm>

namespace {

QString ToQ(const std::string& system)
{
    return QString::fromStdString(CodePage::SystemToUTF8(system));
}

std::string ToSystem(const QString& text)
{
    return CodePage::UTF8ToSystem(text.toStdString());
}

// The property a name box shows; null for a name kept as typed.
const TPropertyDef* ChosenDef(const QComboBox* box)
{
    const QVariant id = box->currentData();
    return id.isValid() ? FindProperty(static_cast<uint8_t>(id.toUInt())) : nullptr;
}

QString ValueHint(const TPropertyDef* def)
{
    if (!def)
        return QStringLiteral("値");
    switch (def->Type) {
    case TPropertyType::UTF8String:
        return QStringLiteral("テキスト");
    case TPropertyType::UTF8StringPair:
        return QStringLiteral("値");
    case TPropertyType::BinaryData:
        return QStringLiteral("hex:0a0b またはテキスト");
    default:
        return QStringLiteral("%1 〜 %2").arg(def->Min).arg(def->Max);
    }
}

// As tall as its minimum, three rows, unless the page has room to spare.
class TRowsTable : public QTableWidget {
public:
    using QTableWidget::QTableWidget;
    QSize sizeHint() const override { return {QTableWidget::sizeHint().width(), minimumHeight()}; }
};

const QString RefusedStyle = QStringLiteral("QLineEdit { background: #fdd8d6; }");
const QString RefusedNameStyle = QStringLiteral("QComboBox { color: #b00000; }");

}  // namespace

TPropertyEditor::TPropertyEditor(TPacketKind kind, const QString& controlName, QWidget* parent)
    : QWidget(parent), FKind(kind)
{
    setObjectName(controlName + "Rows");
    const QString packet = ToQ(std::string(PacketKindName(kind)));

    FTable = new TRowsTable(0, 2, this);
    FTable->setObjectName(controlName + "Table");
    FTable->setAccessibleName(QStringLiteral("%1 のプロパティ").arg(packet));
    FTable->setHorizontalHeaderLabels({QStringLiteral("名前"), QStringLiteral("値")});
    FTable->verticalHeader()->hide();
    FTable->setSelectionBehavior(QAbstractItemView::SelectRows);
    FTable->setSelectionMode(QAbstractItemView::SingleSelection);
    FTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
    // The columns share the table's width: in a narrow settings panel no row scrolls sideways
    // (a name too long for its half is cut short in its box).
    FTable->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    FTable->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    const int rowHeight = FTable->verticalHeader()->defaultSectionSize();
    FTable->setMinimumHeight(FTable->horizontalHeader()->sizeHint().height() + 3 * rowHeight + 2 * FTable->frameWidth());
    FTable->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);

    FAdd = new QPushButton(QStringLiteral("追加"), this);
    FAdd->setObjectName(controlName + "AddBtn");
    FAdd->setToolTip(QStringLiteral("%1 に送るプロパティを 1 行足します").arg(packet));
    FRemove = new QPushButton(QStringLiteral("削除"), this);
    FRemove->setObjectName(controlName + "RemoveBtn");
    FRemove->setToolTip(QStringLiteral("選んだ行を削除します"));
    connect(FAdd, &QPushButton::clicked, this, [this] { AddRow(); });
    connect(FRemove, &QPushButton::clicked, this, [this] { RemoveRow(FTable->currentRow()); });
    connect(FTable, &QTableWidget::currentCellChanged, this,
            [this](int row) { FRemove->setEnabled(row >= 0 && row < RowCount()); });

    FProblem = new QLabel(this);
    FProblem->setObjectName(controlName + "Problem");
    FProblem->setWordWrap(true);
    FProblem->setStyleSheet(QStringLiteral("color: #d32f2f;"));
    FProblem->setTextInteractionFlags(Qt::TextSelectableByMouse);
    FProblem->hide();

    FText = new QLineEdit(this);
    FText->setObjectName(controlName);
    FText->setAccessibleName(QStringLiteral("%1 のプロパティ (テキスト)").arg(packet));
    FText->setToolTip(QStringLiteral("名前 = 値 を ; で区切って (行と同じ内容です)"));
    // Typed, or set by an assistive tool or a test: the rows follow the text
    // whichever way it changed (the editor's own writes are not heard here).
    connect(FText, &QLineEdit::textChanged, this, [this] {
        FMarked.clear();
        BuildRows();
        emit Edited();
    });
    connect(FText, &QLineEdit::editingFinished, this, &TPropertyEditor::Committed);
    auto* textLabel = new QLabel(QStringLiteral("テキスト"), this);
    textLabel->setBuddy(FText);
    textLabel->setEnabled(false);

    auto* buttons = new QVBoxLayout;
    buttons->addWidget(FAdd);
    buttons->addWidget(FRemove);
    buttons->addStretch(1);
    auto* top = new QHBoxLayout;
    top->addWidget(FTable, 1);
    top->addLayout(buttons);
    auto* text = new QHBoxLayout;
    text->addWidget(textLabel);
    text->addWidget(FText, 1);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addLayout(top);
    layout->addWidget(FProblem);
    layout->addLayout(text);

    // The field's label leads to the rows.
    setFocusProxy(FTable);
    setTabOrder(FTable, FAdd);
    setTabOrder(FAdd, FRemove);
    setTabOrder(FRemove, FText);
    BuildRows();
}

QString TPropertyEditor::Text() const
{
    return FText->text();
}

void TPropertyEditor::SetText(const QString& text)
{
    FMarked.clear();
    {
        const QSignalBlocker block(FText);
        FText->setText(text);
    }
    BuildRows();
}

// The rows anew from the text line, each as it was typed.
void TPropertyEditor::BuildRows()
{
    FRows.clear();
    FTable->setRowCount(0);
    FSplitRefusal.clear();
    std::vector<TPropertyEntry> entries;
    try {
        entries = SplitPropertyText(ToSystem(FText->text()));
    } catch (const Exception& e) {
        FSplitRefusal = ToQ(e.Message());
    }
    for (const TPropertyEntry& entry : entries)
        AppendRow(entry, false);
    // A text that is no list of entries has no rows to edit: it is typed into shape.
    FTable->setEnabled(FSplitRefusal.isEmpty());
    FAdd->setEnabled(FSplitRefusal.isEmpty());
    FRemove->setEnabled(false);
    Check();
}

int TPropertyEditor::AppendRow(const TPropertyEntry& entry, bool edited)
{
    TRow row;
    row.Typed = entry;
    row.Edited = edited;
    row.Name = new QComboBox;
    row.Name->setAccessibleName(QStringLiteral("名前"));
    for (const TPropertyDef& def : PropertyTable()) {
        if (!ClientMaySend(def, FKind))
            continue;
        row.Name->addItem(ToQ(std::string(def.Name)), static_cast<unsigned>(def.Id));
        row.Name->setItemData(row.Name->count() - 1,
                              ToQ(std::string(def.Key)) + " (" + ToQ(std::string(PropertyTypeName(def.Type))) + ")",
                              Qt::ToolTipRole);
    }
    const TPropertyDef* def = FindProperty(entry.Name);
    int index = def && ClientMaySend(*def, FKind) ? row.Name->findData(static_cast<unsigned>(def->Id)) : -1;
    if (index < 0) {
        // Not a property of this packet: kept as typed, first in the box.
        row.Name->insertItem(0, ToQ(entry.Name));
        index = 0;
    }
    row.Name->setCurrentIndex(index);

    row.Key = new QLineEdit;
    row.Key->setAccessibleName(QStringLiteral("キー"));
    row.Key->setPlaceholderText(QStringLiteral("キー"));
    row.Value = new QLineEdit;
    row.Value->setAccessibleName(QStringLiteral("値"));
    const TPropertyDef* shown = ChosenDef(row.Name);
    if (shown && shown->Type == TPropertyType::UTF8StringPair) {
        const std::size_t equals = entry.Value.find('=');
        row.Key->setText(ToQ(entry.Value.substr(0, equals)));
        row.Value->setText(equals == std::string::npos ? QString() : ToQ(entry.Value.substr(equals + 1)));
    } else {
        row.Value->setText(ToQ(entry.Value));
    }
    auto* cell = new QWidget;
    auto* line = new QHBoxLayout(cell);
    line->setContentsMargins(0, 0, 0, 0);
    line->setSpacing(2);
    line->addWidget(row.Key, 2);
    line->addWidget(row.Value, 3);

    const int at = FTable->rowCount();
    FTable->insertRow(at);
    FTable->setCellWidget(at, 0, row.Name);
    FTable->setCellWidget(at, 1, cell);
    FRows.push_back(row);
    ShowType(FRows.back());
    SyncCells(at);

    connect(row.Name, &QComboBox::currentIndexChanged, this, [this, box = row.Name] {
        const int r = RowOf(box);
        if (r < 0)
            return;
        ShowType(FRows[static_cast<std::size_t>(r)]);
        RowEdited(r);
        emit Committed();
    });
    for (QLineEdit* edit : {row.Key, row.Value}) {
        connect(edit, &QLineEdit::textEdited, this, [this, edit] { RowEdited(RowOf(edit)); });
        connect(edit, &QLineEdit::editingFinished, this, &TPropertyEditor::Committed);
    }
    // Focus on a row's field selects the row, for "削除".
    for (QWidget* w : std::initializer_list<QWidget*>{row.Name, row.Key, row.Value})
        w->installEventFilter(this);
    return at;
}

int TPropertyEditor::RowOf(const QObject* widget) const
{
    for (std::size_t i = 0; i < FRows.size(); ++i)
        if (FRows[i].Name == widget || FRows[i].Key == widget || FRows[i].Value == widget)
            return static_cast<int>(i);
    return -1;
}

bool TPropertyEditor::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::FocusIn) {
        const int row = RowOf(watched);
        if (row >= 0 && FTable->currentRow() != row)
            FTable->setCurrentCell(row, 0);
    }
    return QWidget::eventFilter(watched, event);
}

// The cells under the row's fields hold the same texts, for what reads the
// table cell by cell (a screen reader) rather than its fields.
void TPropertyEditor::SyncCells(int index)
{
    const TRow& row = FRows.at(static_cast<std::size_t>(index));
    const QString value = row.Key->isVisibleTo(this) || !row.Key->text().isEmpty()
                              ? row.Key->text() + QLatin1Char('=') + row.Value->text()
                              : row.Value->text();
    const QString texts[] = {row.Name->currentText(), value};
    for (int column = 0; column < 2; ++column) {
        QTableWidgetItem* item = FTable->item(index, column);
        if (!item) {
            item = new QTableWidgetItem;
            item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
            item->setForeground(QBrush(Qt::transparent));   // the field above it shows the text
            FTable->setItem(index, column, item);
        }
        item->setText(texts[column]);
        item->setData(Qt::AccessibleTextRole, texts[column]);
    }
}

void TPropertyEditor::ShowType(TRow& row)
{
    const TPropertyDef* def = ChosenDef(row.Name);
    row.Key->setVisible(def && def->Type == TPropertyType::UTF8StringPair);
    row.Value->setPlaceholderText(ValueHint(def));
}

TPropertyEntry TPropertyEditor::RowEntry(int index) const
{
    const TRow& row = FRows.at(static_cast<std::size_t>(index));
    if (!row.Edited)
        return row.Typed;
    const TPropertyDef* def = ChosenDef(row.Name);
    TPropertyEntry entry;
    entry.Name = def ? std::string(def->Key) : ToSystem(row.Name->currentText());
    entry.Value = ToSystem(row.Value->text());
    if (def && def->Type == TPropertyType::UTF8StringPair)
        entry.Value = ToSystem(row.Key->text()) + "=" + entry.Value;
    return entry;
}

QString TPropertyEditor::RowRefusal(int row) const
{
    return FRows.at(static_cast<std::size_t>(row)).Refusal;
}

void TPropertyEditor::RowEdited(int row)
{
    if (row < 0)
        return;
    FRows[static_cast<std::size_t>(row)].Edited = true;
    SyncCells(row);
    FMarked.clear();
    WriteText();
    Check();
    emit Edited();
}

int TPropertyEditor::AddRow()
{
    if (!FSplitRefusal.isEmpty())
        return -1;
    // The first property of this packet that no row has yet; a user property when all are there.
    const TPropertyDef* pick = FindProperty(uint8_t{0x26});
    for (const TPropertyDef& def : PropertyTable()) {
        if (!ClientMaySend(def, FKind))
            continue;
        const bool present = std::any_of(FRows.begin(), FRows.end(), [&](const TRow& row) {
            const TPropertyDef* chosen = ChosenDef(row.Name);
            return chosen && chosen->Id == def.Id;
        });
        if (!present) {
            pick = &def;
            break;
        }
    }
    const int row = AppendRow({std::string(pick->Key), std::string()}, true);
    FMarked.clear();
    WriteText();
    Check();
    FTable->setCurrentCell(row, 1);
    QLineEdit* first = KeyEdit(row)->isVisibleTo(this) ? KeyEdit(row) : ValueEdit(row);
    first->setFocus();
    emit Edited();
    return row;
}

void TPropertyEditor::RemoveRow(int row)
{
    if (row < 0 || row >= RowCount())
        return;
    FRows.erase(FRows.begin() + row);
    FTable->removeRow(row);
    FMarked.clear();
    WriteText();
    Check();
    FRemove->setEnabled(FTable->currentRow() >= 0 && RowCount() > 0);
    emit Edited();
    emit Committed();
}

void TPropertyEditor::SetRow(int row, const QString& nameOrKey, const QString& value)
{
    TRow& r = FRows.at(static_cast<std::size_t>(row));
    const TPropertyDef* def = FindProperty(ToSystem(nameOrKey));
    const int index = def ? r.Name->findData(static_cast<unsigned>(def->Id)) : r.Name->findText(nameOrKey);
    if (index >= 0)
        r.Name->setCurrentIndex(index);
    def = ChosenDef(r.Name);
    if (def && def->Type == TPropertyType::UTF8StringPair) {
        const qsizetype equals = value.indexOf(QLatin1Char('='));
        r.Key->setText(value.left(equals));
        r.Value->setText(equals < 0 ? QString() : value.mid(equals + 1));
    } else {
        r.Value->setText(value);
    }
    RowEdited(row);
}

// The rows into the text line: edited rows from their fields, the others as typed.
void TPropertyEditor::WriteText()
{
    std::vector<TPropertyEntry> entries;
    for (int i = 0; i < RowCount(); ++i)
        entries.push_back(RowEntry(i));
    const QSignalBlocker block(FText);
    FText->setText(ToQ(JoinPropertyText(entries)));
}

// Each row through the codec with the rows before it that it accepted, so that
// a repeated property is charged to its second row; then the whole text, as
// sending will read it.
void TPropertyEditor::Check()
{
    std::vector<TPropertyEntry> accepted;
    for (int i = 0; i < RowCount(); ++i) {
        TRow& row = FRows[static_cast<std::size_t>(i)];
        const TPropertyEntry entry = RowEntry(i);
        accepted.push_back(entry);
        row.Refusal.clear();
        try {
            ParsePropertyText(JoinPropertyText(accepted), FKind);
        } catch (const Exception& e) {
            row.Refusal = ToQ(e.Message());
            accepted.pop_back();
        }
        // A key with "=" would be cut at it: the value would begin inside the key.
        if (row.Refusal.isEmpty() && row.Edited && row.Key->isVisibleTo(this) &&
            row.Key->text().contains(QLatin1Char('=')))
            row.Refusal = QStringLiteral("User Property: キーに \"=\" は使えません");
        const bool refused = !row.Refusal.isEmpty();
        const TPropertyDef* def = ChosenDef(row.Name);
        row.Name->setStyleSheet(refused && !def ? RefusedNameStyle : QString());
        for (QWidget* w : std::initializer_list<QWidget*>{row.Name, row.Key, row.Value}) {
            w->setToolTip(row.Refusal);
            w->setAccessibleDescription(row.Refusal);
        }
        row.Key->setStyleSheet(refused ? RefusedStyle : QString());
        row.Value->setStyleSheet(refused ? RefusedStyle : QString());
    }
    FTextRefusal = FSplitRefusal;
    if (FTextRefusal.isEmpty()) {
        try {
            ParsePropertyText(ToSystem(FText->text()), FKind);
        } catch (const Exception& e) {
            FTextRefusal = ToQ(e.Message());
        }
    }
    ShowProblem();
}

void TPropertyEditor::ShowProblem()
{
    QString text;
    if (!FMarked.isEmpty())
        text = FMarked;
    else if (!FSplitRefusal.isEmpty())
        text = QStringLiteral("行に分けられません: %1").arg(FSplitRefusal);
    else if (!FTextRefusal.isEmpty())
        text = QStringLiteral("送信できません: %1").arg(FTextRefusal);
    FProblem->setText(text);
    FProblem->setVisible(!text.isEmpty());
    const bool textMarked = !FMarked.isEmpty() || !FSplitRefusal.isEmpty();
    FText->setStyleSheet(textMarked ? QStringLiteral("QLineEdit { border: 2px solid #d32f2f; }") : QString());
    FText->setToolTip(textMarked ? text : QStringLiteral("名前 = 値 を ; で区切って (行と同じ内容です)"));
}

void TPropertyEditor::MarkError(const QString& reason)
{
    FMarked = reason;
    ShowProblem();
}

void TPropertyEditor::ClearError()
{
    FMarked.clear();
    ShowProblem();
}
