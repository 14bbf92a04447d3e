#pragma once

#include "console/form/FieldTable.h"

#include <QMessageBox>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <array>
#include <functional>
#include <map>
#include <string>
#include <vector>

class QCheckBox;
class QComboBox;
class QFormLayout;
class QLabel;
class QLineEdit;
class QPushButton;
class QTabWidget;
class TFoldGroup;
class TIntSpinBox;
class TProfileBar;
class TPropertyEditor;
class TSettingsStore;

// One connection's settings and command buttons, built from the field table:
// a header, then the table's groups one under the other, each folding away
// (TLS while it is off, MQTT 5.0 while the protocol is not 5.0 and it holds
// nothing). The panel only shows and reads: what a click asks for goes to
// CommandClicked, and the owner runs it on the form.
class TSettingsPanel : public QWidget {
    Q_OBJECT

public:
    // A click on a command, a check box with a handler, or a field edit the
    // running connection hears of.
    struct TCommand {
        THandler Handler = nullptr;
        bool TForm1::*Gate = nullptr;
        QString Caption;
    };
    using TBoxFn = std::function<void(QMessageBox::Icon, const QString&, const QString&)>;

    // The form gives the labels and captions only; it is not kept.
    TSettingsPanel(const TForm1& form, int eventPort, TSettingsStore* store, TBoxFn box,
                   std::function<void(const QString&)> note, QWidget* parent = nullptr);

    std::function<void(const TCommand&)> CommandClicked;

    TFieldValues ReadWidgets() const;
    // The view the form published: the fields it changed and the enable flags.
    void ApplyView(const TFormView& view);
    void ApplyValues(const TFieldValues& values, TFieldMask changed);

    // A red frame on the field and the reason under it, until the field is
    // edited; false when the name is no field of the panel.
    bool MarkFieldError(const QString& controlName, const QString& reason);
    void ClearFieldError(const QString& controlName);
    QString FieldError(const QString& controlName) const;
    QWidget* FieldWidget(const QString& controlName) const;
    TPropertyEditor* PropertyEditor(const QString& controlName) const;
    QPushButton* Button(const std::string& name) const { return FButtons.at(name); }
    TProfileBar* Profiles() const { return FProfiles; }

    // The groups by object name, in their order; the names of those folded.
    const std::vector<TFoldGroup*>& FoldGroups() const { return FGroups; }
    QStringList FoldedGroups() const;
    void SetFoldedGroups(const QStringList& folded);
    // Folds the groups not in use (TLS off, no MQTT 5.0, plain TCP without a
    // proxy): the first start's look.
    void FoldUnused();

    // What the connection is: "ClientID" or its profile's name, and whether TLS is on.
    QString ClientID() const;
    int BrokerPort() const;
    bool TlsOn() const;
    // A WebSocket transport or a proxy is chosen.
    bool TransportUsed() const;

signals:
    // The ClientID or the TLS switch changed as shown: the connection's name and marks follow.
    void IdentityChanged();
    void FoldChanged();

private:
    void BuildGroup(TControlGroup group, QWidget* parent, QFormLayout* form, std::size_t from = 0,
                    std::size_t to = Controls.size());
    QWidget* BuildMqtt5Pages(const TGroupInfo& group, QWidget* body);
    QWidget* MakeControl(const TControlInfo& control, QWidget* parent);
    void Ask(const TCommand& command);
    void UpdateTlsRows();
    void UpdateMqtt5Group();
    void UpdateMqtt5Titles();
    void RevealField(QWidget* field);
    TFoldGroup* Group(TControlGroup group) const;

    const TForm1& FForm;   // during construction only
    std::array<QLineEdit*, TextFields.size()> FTextEdits{};
    std::array<TIntSpinBox*, IntFields.size()> FSpins{};
    std::array<QCheckBox*, CheckFields.size()> FChecks{};
    std::array<QComboBox*, ChoiceFields.size()> FCombos{};
    std::array<TPropertyEditor*, TextFields.size()> FPropertyEditors{};   // by text field; null for plain ones
    std::vector<TFoldGroup*> FGroups;
    std::map<TControlGroup, TFoldGroup*> FGroupOf;
    QTabWidget* FMqtt5Tabs = nullptr;
    QLabel* FMqtt5Note = nullptr;
    bool FMqtt5Used = false;
    QCheckBox* FPingChk = nullptr;
    QCheckBox* FTlsChk = nullptr;
    std::vector<QWidget*> FTlsRows;   // the widgets of the TLS group but its switch
    std::vector<std::pair<const TControlInfo*, QWidget*>> FFollowingRows;   // widgets of rows that follow a choice
    std::map<std::string, QPushButton*> FButtons;
    TProfileBar* FProfiles = nullptr;
    struct TFieldPlace {
        QFormLayout* Form = nullptr;
        QLabel* RowLabel = nullptr;
    };
    std::map<std::string, TFieldPlace> FFieldPlaces;
    std::map<QString, QLabel*> FErrorLabels;   // made on the first error of a field
    std::map<QString, QString> FFieldErrors;   // control name -> the reason shown
};
