#include "console/form/FieldTable.h"

#include "console/form/FormCommon.h"

const TControlInfo* FindControl(const std::string& name)
{
    for (const TControlInfo& row : Controls)
        if (name == row.Name)
            return &row;
    return nullptr;
}

std::string ControlLabel(const TForm1& form, const TControlInfo& control)
{
    if (control.Text)
        return (form.*control.Text).Label;
    if (control.Int)
        return (form.*control.Int).Label;
    if (control.CheckLabel)
        return form.*control.CheckLabel;
    if (control.Choice)
        return (form.*control.Choice).Label;
    for (const TCommandInfo& command : form.Commands())
        if (command.Name == control.Name)
            return command.Caption;
    return FormCommon::Sys(control.Label ? control.Label : "");
}

TFieldValues CaptureFields(const TForm1& form)
{
    TFieldValues values;
    for (std::size_t i = 0; i < TextFields.size(); ++i)
        values.Texts[i] = (form.*TextFields[i].Member).Text;
    for (std::size_t i = 0; i < IntFields.size(); ++i)
        values.Ints[i] = (form.*IntFields[i].Member).Text;
    for (std::size_t i = 0; i < CheckFields.size(); ++i)
        values.Checks[i] = form.*CheckFields[i].Member;
    for (std::size_t i = 0; i < ChoiceFields.size(); ++i)
        values.Choices[i] = (form.*ChoiceFields[i].Member).Index;
    return values;
}

void ApplyFields(TForm1& form, const TFieldValues& values)
{
    for (std::size_t i = 0; i < TextFields.size(); ++i)
        (form.*TextFields[i].Member).Text = values.Texts[i];
    for (std::size_t i = 0; i < IntFields.size(); ++i)
        (form.*IntFields[i].Member).Text = values.Ints[i];
    for (std::size_t i = 0; i < CheckFields.size(); ++i)
        form.*CheckFields[i].Member = values.Checks[i];
    for (std::size_t i = 0; i < ChoiceFields.size(); ++i)
        (form.*ChoiceFields[i].Member).Index = values.Choices[i];
}

TFieldMask DiffFields(const TFieldValues& a, const TFieldValues& b)
{
    TFieldMask mask = 0;
    for (std::size_t i = 0; i < TextFields.size(); ++i)
        if (a.Texts[i] != b.Texts[i])
            mask |= TextBit(i);
    for (std::size_t i = 0; i < IntFields.size(); ++i)
        if (a.Ints[i] != b.Ints[i])
            mask |= IntBit(i);
    for (std::size_t i = 0; i < CheckFields.size(); ++i)
        if (a.Checks[i] != b.Checks[i])
            mask |= CheckBit(i);
    for (std::size_t i = 0; i < ChoiceFields.size(); ++i)
        if (a.Choices[i] != b.Choices[i])
            mask |= ChoiceBit(i);
    return mask;
}

TFormView ViewOf(const TForm1& form, TFieldMask changed)
{
    TFormView view;
    view.Values = CaptureFields(form);
    view.Changed = changed;
    view.ConnectBtnEnabled = form.ConnectBtnEnabled;
    view.DisconnectBtnEnabled = form.DisconnectBtnEnabled;
    view.PingTimerChkEnabled = form.PingTimerChkEnabled;
    return view;
}
