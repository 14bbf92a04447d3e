#include "console/window/SettingsPanel.h"

#include "console/window/FoldGroup.h"
#include "console/window/IntSpinBox.h"
#include "console/window/LogoWidget.h"
#include "console/window/ProfileBar.h"
#include "console/window/PropertyEditor.h"
#include "console/window/ViewText.h"
#include "mqtt/codec/ReasonCodes.h"
#include "platform/CodePage.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalBlocker>
#include <QTabWidget>
#include <QVBoxLayout>

#include <cstring>

namespace {

template <std::size_t N, typename TRef>
std::size_t IndexOf(const std::array<TRef, N>& table, const char* name)
{
    for (std::size_t i = 0; i < N; ++i)
        if (std::strcmp(table[i].Name, name) == 0)
            return i;
    qFatal("no field %s", name);
}

QString ToQ(const std::string& system)
{
    return ViewText::FromSystem(system);
}

std::string ToSystem(const QString& text)
{
    return CodePage::UTF8ToSystem(text.toStdString());
}

// A reason code field's value by its name. The acknowledgements' field serves
// four packets: the name is the one of the first that allows the code, and
// the packets that do are named after it.
QString ReasonCodeText(int value, TPacketKind kind)
{
    const auto code = static_cast<uint8_t>(value);
    if (kind != TPacketKind::Puback)
        return ToQ(FormatReasonCode(code, kind));
    const TPacketKind acks[] = {TPacketKind::Puback, TPacketKind::Pubrec, TPacketKind::Pubrel, TPacketKind::Pubcomp};
    QStringList allowed;
    std::string text;
    for (TPacketKind ack : acks) {
        if (!IsReasonCodeAllowed(code, ack))
            continue;
        if (text.empty())
            text = FormatReasonCode(code, ack);
        allowed << QString::fromLatin1(PacketKindName(ack).data(), static_cast<qsizetype>(PacketKindName(ack).size()));
    }
    if (text.empty())
        return ToQ(FormatReasonCode(code, kind));
    return ToQ(text) + QStringLiteral(" (%1)").arg(allowed.join(QStringLiteral("・")));
}

}  // namespace

TSettingsPanel::TSettingsPanel(const TForm1& form, int eventPort, TSettingsStore* store, TBoxFn box,
                               std::function<void(const QString&)> note, QWidget* parent)
    : QWidget(parent), FForm(form)
{
    setObjectName("SettingsPanel");
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(6, 4, 6, 4);
    outer->setSpacing(4);

    // Header: the logo and the caption.
    auto* header = new QHBoxLayout;
    auto* logo = new TLogoWidget(40, this);
    logo->setObjectName("Image1");
    header->addWidget(logo);
    auto* titles = new QVBoxLayout;
    auto* title = new QLabel(ToQ(form.Caption), this);
    QFont titleFont = title->font();
    titleFont.setPointSizeF(titleFont.pointSizeF() * 1.3);
    titleFont.setBold(true);
    title->setFont(titleFont);
    titles->addWidget(title);
    auto* hint = new QLabel(QStringLiteral("結果はログ (UDP %1) に出力されます").arg(eventPort), this);
    hint->setEnabled(false);
    titles->addWidget(hint);
    header->addLayout(titles, 1);
    outer->addLayout(header);

    // The buttons first: the order in which controls are made is their tab order.
    for (const TCommandInfo& command : form.Commands()) {
        auto* button = new QPushButton(ToQ(command.Caption), this);
        button->setObjectName(QString::fromStdString(command.Name));
        FButtons[command.Name] = button;
    }

    for (const TGroupInfo& info : Groups) {
        auto* group = new TFoldGroup(QString::fromUtf8(info.Title), info.Name, this);
        FGroups.push_back(group);
        FGroupOf[info.Group] = group;
        connect(group, &TFoldGroup::FoldChanged, this, &TSettingsPanel::FoldChanged);
        if (info.Group == TControlGroup::Mqtt5) {
            BuildMqtt5Pages(info, group->Body());
        } else {
            auto* form = new QFormLayout(group->Body());
            form->setContentsMargins(14, 0, 0, 4);
            if (info.Group == TControlGroup::Connection) {
                TProfileBar::THooks hooks;
                hooks.Read = [this] { return ReadWidgets(); };
                hooks.Apply = [this](const TFieldValues& values, TFieldMask changed) { ApplyValues(values, changed); };
                hooks.Box = box;
                hooks.Note = note;
                FProfiles = new TProfileBar(store, std::move(hooks), group->Body());
                form->addRow(FProfiles);
                connect(FProfiles, &TProfileBar::NameChanged, this, &TSettingsPanel::IdentityChanged);
            }
            BuildGroup(info.Group, group->Body(), form);
        }
        outer->addWidget(group);
    }
    outer->addStretch(1);

    // "..." is only as wide as its caption; the two publish buttons share one width so the rows line up.
    for (const auto& [name, button] : FButtons)
        if (button->text() == QLatin1String("..."))
            button->setMaximumWidth(button->fontMetrics().horizontalAdvance(QStringLiteral("....")) + 24);
    const int publishWidth =
        std::max(FButtons.at("Button5")->sizeHint().width(), FButtons.at("Button7")->sizeHint().width());
    FButtons.at("Button5")->setMinimumWidth(publishWidth);
    FButtons.at("Button7")->setMinimumWidth(publishWidth);
    connect(FTextEdits[IndexOf(TextFields, "ClientIDEdit")], &QLineEdit::textChanged, this,
            &TSettingsPanel::IdentityChanged);
    UpdateTlsRows();
    UpdateMqtt5Group();
}

// One group's rows, from the table rows of the group in their order.
void TSettingsPanel::BuildGroup(TControlGroup group, QWidget* parent, QFormLayout* form, std::size_t from,
                                std::size_t to)
{
    // The row being filled: its label (a Row), its controls, and whether one of
    // them takes the row's spare width.
    struct TRowBuild {
        TPlace Place = TPlace::Row;
        QLabel* Label = nullptr;
        std::vector<std::pair<QWidget*, bool>> Items;   // widget, stretch before it
        bool Stretches = false;
    } row;
    auto labelFor = [&](const TControlInfo& control, QWidget* buddy) {
        auto* label = new QLabel(ToQ(ControlLabel(FForm, control)), parent);
        label->setObjectName(buddy->objectName() + "Label");
        label->setBuddy(buddy);
        return label;
    };
    auto finish = [&] {
        if (row.Items.empty())
            return;
        if (row.Place == TPlace::Row && row.Items.size() == 1 && qobject_cast<TPropertyEditor*>(row.Items[0].first)) {
            // The page's tab names the packet: the rows take the whole width.
            row.Items[0].first->setAccessibleName(row.Label->text());
            row.Label->hide();
            form->addRow(row.Items[0].first);
        } else if (row.Place == TPlace::Row && row.Items.size() == 1) {
            form->addRow(row.Label, row.Items[0].first);
        } else {
            auto* line = new QHBoxLayout;
            if (row.Place == TPlace::Buttons)
                line->addStretch(1);
            bool right = false;
            for (const auto& [widget, stretchBefore] : row.Items) {
                if (stretchBefore)
                    line->addStretch(1);
                right = right || stretchBefore;
                line->addWidget(widget, qobject_cast<QLineEdit*>(widget) ? 1 : 0);
            }
            // A row without a growing control keeps its controls at the left.
            if (!row.Stretches && !right && row.Place != TPlace::Buttons)
                line->addStretch(1);
            if (row.Place == TPlace::Row)
                form->addRow(row.Label, line);
            else
                form->addRow(line);
        }
        row = TRowBuild{};
    };

    for (std::size_t index = from; index < to && index < Controls.size(); ++index) {
        const TControlInfo& control = Controls[index];
        if (control.Group != group)
            continue;
        QWidget* widget = MakeControl(control, parent);
        // On a page of the MQTT 5.0 group a packet's command sits at the right of its reason code.
        const bool besideReason = control.Place == TPlace::Buttons && group == TControlGroup::Mqtt5 &&
                                  row.Place == TPlace::Row && !row.Items.empty();
        const bool joins = control.Place == TPlace::Beside || control.Place == TPlace::Right ||
                           (control.Place == TPlace::Buttons && row.Place == TPlace::Buttons) || besideReason;
        if (!joins) {
            finish();
            row.Place = control.Place;
        }
        const bool stretchBefore = control.Place == TPlace::Right || besideReason;
        // The TLS group's controls but its switch follow the switch.
        auto follow = [&](QWidget* w) {
            if (group == TControlGroup::Tls && control.Check != &TForm1::TlsChk)
                FTlsRows.push_back(w);
            if (control.Follows)
                FFollowingRows.emplace_back(&control, w);
        };
        follow(widget);
        if (control.Place == TPlace::Row) {
            row.Label = labelFor(control, widget);
            follow(row.Label);
        } else if (control.Kind == TControlKind::Int || control.Kind == TControlKind::Choice) {
            // An integer field or a choice inside a line has its label right before it.
            QLabel* label = labelFor(control, widget);
            follow(label);
            row.Items.emplace_back(label, stretchBefore);
            row.Items.emplace_back(widget, false);
            row.Stretches = row.Stretches || qobject_cast<QLineEdit*>(widget) != nullptr;
            continue;
        }
        row.Items.emplace_back(widget, stretchBefore);
        row.Stretches = row.Stretches || qobject_cast<QLineEdit*>(widget) != nullptr;
        if (control.Kind == TControlKind::Int && control.Packet != TPacketKind{}) {
            // A reason code is shown by its name beside the number.
            auto* name = new QLabel(parent);
            name->setObjectName(QString::fromLatin1(control.Name) + "Name");
            name->setEnabled(false);
            name->setWordWrap(true);   // a long name takes two lines rather than the panel's width
            auto* spin = static_cast<QSpinBox*>(widget);
            const TPacketKind kind = control.Packet;
            auto show = [name, spin, kind] { name->setText(ReasonCodeText(spin->value(), kind)); };
            connect(spin, &QSpinBox::valueChanged, name, show);
            show();
            row.Items.emplace_back(name, false);
        }
        if (control.Kind == TControlKind::Check && control.Hint) {
            // A greyed note after the check box says what it changes.
            auto* note = new QLabel(QString::fromUtf8(control.Hint), parent);
            note->setObjectName(QString::fromLatin1(control.Name) + "Hint");
            note->setEnabled(false);
            note->setWordWrap(true);
            row.Items.emplace_back(note, false);
            follow(note);
        }
        if (control.Kind == TControlKind::Text || control.Kind == TControlKind::Int ||
            control.Kind == TControlKind::Choice)
            FFieldPlaces[control.Name] = {form, row.Label};
    }
    finish();
}

void TSettingsPanel::Ask(const TCommand& command)
{
    if (CommandClicked)
        CommandClicked(command);
}

// The widget of one table row, named after its control and wired to its handler.
QWidget* TSettingsPanel::MakeControl(const TControlInfo& control, QWidget* parent)
{
    switch (control.Kind) {
    case TControlKind::Text: {
        const std::size_t i = IndexOf(TextFields, control.Name);
        if (control.Packet != TPacketKind{}) {
            // MQTT 5.0 properties: rows over the text line the form reads.
            auto* editor = new TPropertyEditor(control.Packet, QString::fromLatin1(control.Name), parent);
            QLineEdit* edit = editor->TextEdit();
            if (control.Hint)
                edit->setPlaceholderText(QString::fromUtf8(control.Hint));
            FTextEdits[i] = edit;
            FPropertyEditors[i] = editor;
            connect(editor, &TPropertyEditor::Edited, this, [this, name = edit->objectName()] {
                ClearFieldError(name);
                UpdateMqtt5Titles();
            });
            if (control.Handler) {
                // Its change reaches the running connection when an edit is done, not at every key.
                const TCommand command{control.Handler, control.Gate, ToQ(ControlLabel(FForm, control))};
                auto committed = std::make_shared<QString>();
                connect(editor, &TPropertyEditor::Committed, this, [this, command, edit, committed] {
                    if (edit->text() == *committed)
                        return;
                    *committed = edit->text();
                    Ask(command);
                });
            }
            return editor;
        }
        auto* edit = new QLineEdit(parent);
        edit->setObjectName(control.Name);
        edit->setMinimumWidth(edit->fontMetrics().averageCharWidth() * 24);
        if (control.Masked)
            edit->setEchoMode(QLineEdit::Password);
        if (control.Hint)
            edit->setPlaceholderText(QString::fromUtf8(control.Hint));
        FTextEdits[i] = edit;
        connect(edit, &QLineEdit::textEdited, this, [this, name = edit->objectName()] { ClearFieldError(name); });
        return edit;
    }
    case TControlKind::Int: {
        const std::size_t i = IndexOf(IntFields, control.Name);
        auto* spin = new TIntSpinBox(control.Min, control.Max, parent);
        spin->setObjectName(control.Name);
        FSpins[i] = spin;
        connect(spin, &QSpinBox::textChanged, this, [this, name = spin->objectName()] { ClearFieldError(name); });
        if (control.Handler) {
            const TCommand command{control.Handler, control.Gate, ToQ(ControlLabel(FForm, control))};
            connect(spin, &QSpinBox::valueChanged, this, [this, command] { Ask(command); });
        }
        return spin;
    }
    case TControlKind::Check: {
        auto* check = new QCheckBox(ToQ(ControlLabel(FForm, control)), parent);
        check->setObjectName(control.Name);
        FChecks[IndexOf(CheckFields, control.Name)] = check;
        if (control.Check == &TForm1::PingTimerChk)
            FPingChk = check;
        if (control.Check == &TForm1::TlsChk) {
            FTlsChk = check;
            connect(check, &QCheckBox::toggled, this, &TSettingsPanel::UpdateTlsRows);
            connect(check, &QCheckBox::toggled, this, &TSettingsPanel::IdentityChanged);
        }
        if (control.Handler) {
            const TCommand command{control.Handler, control.Gate, check->text()};
            connect(check, &QCheckBox::clicked, this, [this, command] { Ask(command); });
        }
        return check;
    }
    case TControlKind::Choice: {
        auto* combo = new QComboBox(parent);
        combo->setObjectName(control.Name);
        for (const char* item : control.Items)
            combo->addItem(QString::fromUtf8(item));
        combo->setAccessibleName(ToQ(ControlLabel(FForm, control)));
        FCombos[IndexOf(ChoiceFields, control.Name)] = combo;
        if (control.Choice == &TForm1::ProtocolVersionCmb)
            connect(combo, &QComboBox::currentIndexChanged, this, &TSettingsPanel::UpdateMqtt5Group);
        connect(combo, &QComboBox::currentIndexChanged, this, &TSettingsPanel::UpdateTlsRows);
        return combo;
    }
    case TControlKind::Button:
        break;
    }
    QPushButton* button = FButtons.at(control.Name);
    for (const TCommandInfo& command : FForm.Commands()) {
        if (command.Name != control.Name)
            continue;
        const TCommand ask{command.Handler, control.Gate, button->text()};
        connect(button, &QPushButton::clicked, this, [this, ask] { Ask(ask); });
    }
    return button;
}

// ---- fields ----

TFieldValues TSettingsPanel::ReadWidgets() const
{
    TFieldValues values;
    for (std::size_t i = 0; i < FTextEdits.size(); ++i)
        values.Texts[i] = ToSystem(FTextEdits[i]->text());
    for (std::size_t i = 0; i < FSpins.size(); ++i)
        values.Ints[i] = ToSystem(FSpins[i]->cleanText());
    for (std::size_t i = 0; i < FChecks.size(); ++i)
        values.Checks[i] = FChecks[i]->isChecked();
    for (std::size_t i = 0; i < FCombos.size(); ++i)
        values.Choices[i] = FCombos[i]->currentIndex();
    return values;
}

void TSettingsPanel::ApplyView(const TFormView& view)
{
    ApplyValues(view.Values, view.Changed);
    FButtons.at("ConnectBtn")->setEnabled(view.ConnectBtnEnabled);
    FButtons.at("DisconnectBtn")->setEnabled(view.DisconnectBtnEnabled);
    FPingChk->setEnabled(view.PingTimerChkEnabled);
}

void TSettingsPanel::ApplyValues(const TFieldValues& values, TFieldMask changed)
{
    for (std::size_t i = 0; i < FTextEdits.size(); ++i) {
        if (changed & TextBit(i)) {
            if (FPropertyEditors[i]) {
                FPropertyEditors[i]->SetText(ToQ(values.Texts[i]));
            } else {
                const QSignalBlocker block(FTextEdits[i]);
                FTextEdits[i]->setText(ToQ(values.Texts[i]));
            }
            ClearFieldError(FTextEdits[i]->objectName());
        }
    }
    for (std::size_t i = 0; i < FSpins.size(); ++i) {
        if (changed & IntBit(i)) {
            const TIntField field{{}, values.Ints[i], FSpins[i]->minimum(), FSpins[i]->maximum()};
            const QSignalBlocker block(FSpins[i]);
            FSpins[i]->setValue(field.Value());
            ClearFieldError(FSpins[i]->objectName());
        }
    }
    for (std::size_t i = 0; i < FChecks.size(); ++i) {
        if (changed & CheckBit(i)) {
            const QSignalBlocker block(FChecks[i]);
            FChecks[i]->setChecked(values.Checks[i]);
        }
    }
    for (std::size_t i = 0; i < FCombos.size(); ++i) {
        if (changed & ChoiceBit(i)) {
            const QSignalBlocker block(FCombos[i]);
            const int index = values.Choices[i];
            FCombos[i]->setCurrentIndex(index >= 0 && index < FCombos[i]->count() ? index : 0);
        }
    }
    UpdateTlsRows();
    UpdateMqtt5Titles();
    UpdateMqtt5Group();
    if (changed & (TextBit(IndexOf(TextFields, "ClientIDEdit")) | CheckBit(IndexOf(CheckFields, "TlsChk"))))
        emit IdentityChanged();
}

QString TSettingsPanel::ClientID() const
{
    return FTextEdits[IndexOf(TextFields, "ClientIDEdit")]->text();
}

int TSettingsPanel::BrokerPort() const
{
    return FSpins[IndexOf(IntFields, "BrokerPortSpn")]->value();
}

bool TSettingsPanel::TlsOn() const
{
    // wss speaks TLS whether or not the switch is on.
    const QComboBox* transport = FCombos[IndexOf(ChoiceFields, "TransportCmb")];
    return (FTlsChk && FTlsChk->isChecked()) ||
           (transport && transport->currentIndex() == static_cast<int>(TTransportKind::WebSocketTls));
}

// ---- groups ----

TFoldGroup* TSettingsPanel::Group(TControlGroup group) const
{
    const auto found = FGroupOf.find(group);
    return found == FGroupOf.end() ? nullptr : found->second;
}

QStringList TSettingsPanel::FoldedGroups() const
{
    QStringList folded;
    for (const TFoldGroup* group : FGroups)
        if (group->IsFolded())
            folded << group->objectName();
    return folded;
}

void TSettingsPanel::SetFoldedGroups(const QStringList& folded)
{
    for (TFoldGroup* group : FGroups)
        group->SetFolded(folded.contains(group->objectName()));
}

void TSettingsPanel::FoldUnused()
{
    Group(TControlGroup::Tls)->SetFolded(!TlsOn());
    Group(TControlGroup::Mqtt5)->SetFolded(!FMqtt5Used);
    if (TFoldGroup* transport = Group(TControlGroup::Transport))
        transport->SetFolded(!TransportUsed());
}

bool TSettingsPanel::TransportUsed() const
{
    const QComboBox* transport = FCombos[IndexOf(ChoiceFields, "TransportCmb")];
    const QComboBox* proxy = FCombos[IndexOf(ChoiceFields, "ProxyCmb")];
    return (transport && transport->currentIndex() > 0) || (proxy && proxy->currentIndex() > 0);
}

void TSettingsPanel::UpdateTlsRows()
{
    const bool on = TlsOn();
    for (QWidget* widget : FTlsRows)
        widget->setEnabled(on);
    // A row that follows a choice is in use only for some of its items.
    for (const auto& [control, widget] : FFollowingRows) {
        const QComboBox* choice = FCombos[IndexOf(ChoiceFields, control->Follows)];
        const int item = choice ? choice->currentIndex() : 0;
        widget->setEnabled(item < 0 || item >= 32 || !(control->UnusedItems & (1u << item)));
    }
    // WebSocket or a proxy chosen (by a click, a profile, a script): that group comes into sight too.
    if (TFoldGroup* transport = Group(TControlGroup::Transport)) {
        const bool used = TransportUsed();
        transport->SetNote(used ? QString() : QStringLiteral("TCP · プロキシなし"));
        if (used && !transport->property("used").toBool())
            transport->SetFolded(false);
        transport->setProperty("used", used);
    }
    TFoldGroup* group = Group(TControlGroup::Tls);
    if (!group)
        return;
    group->SetNote(on ? QStringLiteral("オン") : QStringLiteral("オフ"));
    // Switched on (by a click, a profile, a script): its rows come into sight.
    if (on && group->property("used").toBool() != on)
        group->SetFolded(false);
    group->setProperty("used", on);
}

// ---- MQTT 5.0 ----

QWidget* TSettingsPanel::BuildMqtt5Pages(const TGroupInfo& group, QWidget* body)
{
    auto* layout = new QVBoxLayout(body);
    layout->setContentsMargins(14, 0, 0, 4);
    FMqtt5Note = new QLabel(QStringLiteral("プロトコルが MQTT 5.0 ではないので、ここの設定は送られません"), body);
    FMqtt5Note->setObjectName("Mqtt5Note");
    FMqtt5Note->setEnabled(false);
    FMqtt5Note->setWordWrap(true);
    layout->addWidget(FMqtt5Note);
    FMqtt5Tabs = new QTabWidget(body);
    FMqtt5Tabs->setObjectName("Mqtt5Tabs");
    FMqtt5Tabs->setAccessibleName(QString::fromUtf8(group.Title));
    FMqtt5Tabs->setUsesScrollButtons(true);
    layout->addWidget(FMqtt5Tabs);

    // A page from each properties row to the next: a packet's reason code and
    // its command go with its properties.
    auto addPage = [&](std::size_t from, std::size_t to) {
        auto* page = new QWidget(FMqtt5Tabs);
        page->setObjectName(QString::fromLatin1(Controls[from].Name) + "Page");
        auto* form = new QFormLayout(page);
        BuildGroup(group.Group, body, form, from, to);
        const QString title = QString::fromUtf8(Controls[from].Label).remove(QStringLiteral("プロパティ")).trimmed();
        FMqtt5Tabs->addTab(page, title);
        page->setProperty("title", title);
    };
    std::size_t from = Controls.size();
    for (std::size_t i = 0; i < Controls.size(); ++i) {
        const TControlInfo& control = Controls[i];
        if (control.Group != group.Group)
            continue;
        const bool properties = control.Kind == TControlKind::Text && control.Packet != TPacketKind{};
        if (from == Controls.size())
            from = i;
        else if (properties) {
            addPage(from, i);
            from = i;
        }
    }
    if (from < Controls.size())
        addPage(from, Controls.size());
    return FMqtt5Tabs;
}

TPropertyEditor* TSettingsPanel::PropertyEditor(const QString& controlName) const
{
    for (std::size_t i = 0; i < TextFields.size(); ++i)
        if (controlName == QLatin1String(TextFields[i].Name))
            return FPropertyEditors[i];
    return nullptr;
}

void TSettingsPanel::UpdateMqtt5Titles()
{
    if (!FMqtt5Tabs)
        return;
    for (int i = 0; i < FMqtt5Tabs->count(); ++i) {
        QWidget* page = FMqtt5Tabs->widget(i);
        const QString title = page->property("title").toString();
        const auto* editor = page->findChild<TPropertyEditor*>();
        const int rows = editor ? editor->RowCount() : 0;
        FMqtt5Tabs->setTabText(i, rows > 0 ? QStringLiteral("%1 (%2)").arg(title).arg(rows) : title);
    }
}

// The group unfolds when it comes into use (5.0 chosen, or something in it
// that would otherwise go unseen) and folds when it goes out of use.
void TSettingsPanel::UpdateMqtt5Group()
{
    TFoldGroup* group = Group(TControlGroup::Mqtt5);
    if (!group || !FMqtt5Note)
        return;
    const int chosen = FCombos[IndexOf(ChoiceFields, "ProtocolVersionCmb")]->currentIndex();
    const bool speaks5 = chosen >= 0 && chosen < static_cast<int>(std::size(AllProtocolVersions)) &&
                         AllProtocolVersions[chosen] == TProtocolVersion::MQTT50;
    bool holds = false;
    for (const TControlInfo& control : Controls) {
        if (control.Group != TControlGroup::Mqtt5)
            continue;
        if (control.Kind == TControlKind::Text)
            holds = holds || FTextEdits[IndexOf(TextFields, control.Name)]->text().contains(
                                 QRegularExpression(QStringLiteral("[^\\s;]")));
        else if (control.Kind == TControlKind::Int)
            holds = holds || FSpins[IndexOf(IntFields, control.Name)]->value() != 0;
    }
    FMqtt5Note->setVisible(!speaks5);
    group->SetNote(speaks5 ? QString() : holds ? QStringLiteral("MQTT 5.0 でないので送られません")
                                               : QStringLiteral("MQTT 5.0 を選ぶと使われます"));
    const bool used = speaks5 || holds;
    if (used != FMqtt5Used)
        group->SetFolded(!used);
    FMqtt5Used = used;
}

void TSettingsPanel::RevealField(QWidget* field)
{
    for (TFoldGroup* group : FGroups)
        if (group->isAncestorOf(field))
            group->SetFolded(false);
    if (!FMqtt5Tabs || !FMqtt5Tabs->isAncestorOf(field))
        return;
    for (int i = 0; i < FMqtt5Tabs->count(); ++i)
        if (FMqtt5Tabs->widget(i)->isAncestorOf(field))
            FMqtt5Tabs->setCurrentIndex(i);
}

// ---- fields that a frame could not be built from ----

QString TSettingsPanel::FieldError(const QString& controlName) const
{
    const auto found = FFieldErrors.find(controlName);
    return found == FFieldErrors.end() ? QString() : found->second;
}

QWidget* TSettingsPanel::FieldWidget(const QString& controlName) const
{
    for (std::size_t i = 0; i < TextFields.size(); ++i)
        if (controlName == QLatin1String(TextFields[i].Name))
            return FTextEdits[i];
    for (std::size_t i = 0; i < IntFields.size(); ++i)
        if (controlName == QLatin1String(IntFields[i].Name))
            return FSpins[i];
    for (std::size_t i = 0; i < CheckFields.size(); ++i)
        if (controlName == QLatin1String(CheckFields[i].Name))
            return FChecks[i];
    for (std::size_t i = 0; i < ChoiceFields.size(); ++i)
        if (controlName == QLatin1String(ChoiceFields[i].Name))
            return FCombos[i];
    return nullptr;
}

// A red frame on the field, the reason as its tooltip and in a line under it,
// until the field is next edited.
bool TSettingsPanel::MarkFieldError(const QString& controlName, const QString& reason)
{
    QWidget* field = FieldWidget(controlName);
    if (!field)
        return false;
    FFieldErrors[controlName] = reason;
    RevealField(field);
    if (TPropertyEditor* editor = PropertyEditor(controlName)) {
        // The editor says it under its rows.
        editor->MarkError(reason);
        return true;
    }
    field->setStyleSheet(QStringLiteral("border: 2px solid #d32f2f;"));
    field->setToolTip(reason);
    const auto place = FFieldPlaces.find(controlName.toStdString());
    if (place == FFieldPlaces.end() || !place->second.RowLabel)
        return true;
    QLabel*& label = FErrorLabels[controlName];
    QFormLayout* form = place->second.Form;
    if (!label) {
        int row = -1;
        QFormLayout::ItemRole role;
        form->getWidgetPosition(place->second.RowLabel, &row, &role);
        label = new QLabel(field->parentWidget());
        label->setObjectName(controlName + "Error");
        label->setAccessibleName(QStringLiteral("%1 のエラー").arg(place->second.RowLabel->text()));
        label->setWordWrap(true);
        label->setStyleSheet(QStringLiteral("color: #d32f2f;"));
        form->insertRow(row + 1, static_cast<QWidget*>(nullptr), label);
    }
    label->setText(reason);
    int row = -1;
    QFormLayout::ItemRole role;
    form->getWidgetPosition(label, &row, &role);
    form->setRowVisible(row, true);
    return true;
}

// One failure may mark several fields (a topic list and its QoS list): editing
// one of them clears them all.
void TSettingsPanel::ClearFieldError(const QString& controlName)
{
    const auto found = FFieldErrors.find(controlName);
    if (found == FFieldErrors.end())
        return;
    const QString reason = found->second;
    for (auto it = FFieldErrors.begin(); it != FFieldErrors.end();) {
        if (it->second != reason) {
            ++it;
            continue;
        }
        if (TPropertyEditor* editor = PropertyEditor(it->first)) {
            editor->ClearError();
        } else if (QWidget* field = FieldWidget(it->first)) {
            field->setStyleSheet(QString());
            field->setToolTip(QString());
        }
        if (const auto label = FErrorLabels.find(it->first); label != FErrorLabels.end()) {
            int row = -1;
            QFormLayout::ItemRole role;
            const auto place = FFieldPlaces.find(it->first.toStdString());
            place->second.Form->getWidgetPosition(label->second, &row, &role);
            place->second.Form->setRowVisible(row, false);
        }
        it = FFieldErrors.erase(it);
    }
}
