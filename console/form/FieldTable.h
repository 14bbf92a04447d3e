#pragma once

#include "console/form/Form1.h"

#include <array>
#include <cstdint>
#include <string>

// Every control of the form in one table: its group, kind, control name, label,
// default and limits, and where the window puts it. The form takes the labels,
// defaults and limits of its settings from here, the window builds its groups
// from here, and scripts find a setting by its control name or label. A new
// setting is one row here and its member in TForm1.

enum class TControlKind : uint8_t { Text, Int, Check, Button };

enum class TControlGroup : uint8_t { Connection, Session, Subscription, Publish, Queue };

// Where a control goes in its group.
enum class TPlace : uint8_t {
    Row,       // a row of its own: the label, then the control
    Line,      // a row of its own across the group (an integer field's label comes first in it)
    Beside,    // in the row of the control before it, after that control
    Right,     // in the row of the control before it, at the right end
    Buttons,   // the group's next row of buttons, at the right; a run of them shares one row
};

struct TControlInfo {
    TControlGroup Group;
    TControlKind Kind;
    TPlace Place;
    const char* Name;                   // the control name: "BrokerEdit1", "ConnectBtn", ...
    const char* Label = nullptr;        // UTF-8; a button's caption lives in TForm1::Commands()
    const char* Default = nullptr;      // UTF-8 text; nullptr: filled in elsewhere (the data file's path)
    int Initial = 0, Min = 0, Max = 0;  // an integer field's default and limits
    bool Masked = false;                // shown as one "*" per character
    TTextField TForm1::*Text = nullptr;
    TIntField TForm1::*Int = nullptr;
    bool TForm1::*Check = nullptr;
    std::string TForm1::*CheckLabel = nullptr;
    THandler Handler = nullptr;         // an integer field's change, a check box's click
    bool TForm1::*Gate = nullptr;       // the enable flag the logic keeps for the control
};

namespace FieldRows {

constexpr TControlInfo Text(TControlGroup group, const char* name, TTextField TForm1::*member, const char* label,
                            const char* initial, bool masked = false)
{
    TControlInfo row{group, TControlKind::Text, TPlace::Row, name};
    row.Label = label;
    row.Default = initial;
    row.Masked = masked;
    row.Text = member;
    return row;
}

constexpr TControlInfo Int(TControlGroup group, TPlace place, const char* name, TIntField TForm1::*member,
                           const char* label, int initial, int min, int max, THandler onChange = nullptr)
{
    TControlInfo row{group, TControlKind::Int, place, name};
    row.Label = label;
    row.Initial = initial;
    row.Min = min;
    row.Max = max;
    row.Int = member;
    row.Handler = onChange;
    return row;
}

constexpr TControlInfo Check(TControlGroup group, TPlace place, const char* name, bool TForm1::*member,
                             std::string TForm1::*labelMember, const char* label, THandler onClick = nullptr,
                             bool TForm1::*gate = nullptr)
{
    TControlInfo row{group, TControlKind::Check, place, name};
    row.Label = label;
    row.Check = member;
    row.CheckLabel = labelMember;
    row.Handler = onClick;
    row.Gate = gate;
    return row;
}

constexpr TControlInfo Button(TControlGroup group, TPlace place, const char* name, bool TForm1::*gate = nullptr)
{
    TControlInfo row{group, TControlKind::Button, place, name};
    row.Gate = gate;
    return row;
}

}  // namespace FieldRows

// In the window's order, group by group.
inline constexpr std::array Controls{
    // The TCP connection: "Open" and "Close" read these.
    FieldRows::Text(TControlGroup::Connection, "BrokerEdit1", &TForm1::BrokerEdit1, "Broker HostName", "127.0.0.1"),
    FieldRows::Int(TControlGroup::Connection, TPlace::Row, "BrokerPortSpn", &TForm1::BrokerPortSpn, "Port", 1883, 0,
                   65535),
    FieldRows::Text(TControlGroup::Connection, "ClientIDEdit", &TForm1::ClientIDEdit, "ClientID", ""),
    FieldRows::Button(TControlGroup::Connection, TPlace::Buttons, "ConnectBtn", &TForm1::ConnectBtnEnabled),
    FieldRows::Button(TControlGroup::Connection, TPlace::Buttons, "DisconnectBtn", &TForm1::DisconnectBtnEnabled),
    // The MQTT session: CONNECT reads these; PINGREQ and DISCONNECT read nothing.
    FieldRows::Text(TControlGroup::Session, "UserNameEdit", &TForm1::UserNameEdit, "UserName", ""),
    FieldRows::Text(TControlGroup::Session, "PasswordEdit", &TForm1::PasswordEdit, "Password", "", true),
    FieldRows::Int(TControlGroup::Session, TPlace::Row, "KeepAliveSpn", &TForm1::KeepAliveSpn, "KeepAlive", 60, 0,
                   65535),
    FieldRows::Text(TControlGroup::Session, "WillTopicEdit", &TForm1::WillTopicEdit, "WillTopic", "hello/my_will"),
    FieldRows::Text(TControlGroup::Session, "WillMessageEdit", &TForm1::WillMessageEdit, "WillMessage", "さようなら"),
    FieldRows::Int(TControlGroup::Session, TPlace::Row, "WillQoSSpn", &TForm1::WillQoSSpn, "WillQoS", 0, 0, 2),
    FieldRows::Button(TControlGroup::Session, TPlace::Buttons, "MQTT_CONNECT_Btn"),
    FieldRows::Button(TControlGroup::Session, TPlace::Buttons, "MQTT_PINGREQ_Btn"),
    FieldRows::Button(TControlGroup::Session, TPlace::Buttons, "Button4"),
    // The ping timer sits with PINGREQ, whose command it repeats.
    FieldRows::Check(TControlGroup::Session, TPlace::Line, "PingTimerChk", &TForm1::PingTimerChk,
                     &TForm1::PingTimerChkLabel, "定期的にPING 送信", &TForm1::PingTimerChkClick,
                     &TForm1::PingTimerChkEnabled),
    FieldRows::Int(TControlGroup::Session, TPlace::Right, "PingReqIntervalSpn", &TForm1::PingReqIntervalSpn,
                   "送信間隔(秒)", 30, 1, 65535, &TForm1::PingReqIntervalSpnChange),
    // SUBSCRIBE and UNSUBSCRIBE.
    FieldRows::Text(TControlGroup::Subscription, "SubscribeTopicListEdit", &TForm1::SubscribeTopicListEdit,
                    "SubscribeTopicList", "hello/world,センサー/ノード1"),
    FieldRows::Text(TControlGroup::Subscription, "SubscribeQoSListEdit", &TForm1::SubscribeQoSListEdit,
                    "SubscribeQoSList", "2,0"),
    FieldRows::Button(TControlGroup::Subscription, TPlace::Buttons, "Button2"),
    FieldRows::Text(TControlGroup::Subscription, "UnSubscribeTopicListEdit", &TForm1::UnSubscribeTopicListEdit,
                    "UnSubscribeTopicList", "hello/world,センサー/ノード1"),
    FieldRows::Button(TControlGroup::Subscription, TPlace::Buttons, "Button3"),
    // PUBLISH of a typed text or of a file.
    FieldRows::Text(TControlGroup::Publish, "PublishTopicEdit", &TForm1::PublishTopicEdit, "PublishTopic",
                    "hello/world"),
    FieldRows::Int(TControlGroup::Publish, TPlace::Row, "PublishSpn", &TForm1::PublishSpn, "PublishQoS", 2, 0, 2),
    FieldRows::Check(TControlGroup::Publish, TPlace::Beside, "PublishRetainChk", &TForm1::PublishRetainChk,
                     &TForm1::PublishRetainChkLabel, "Retain"),
    FieldRows::Text(TControlGroup::Publish, "PublishDataEdit", &TForm1::PublishDataEdit, "PublishData(str)",
                    "これは試験データです from Windows7"),
    FieldRows::Button(TControlGroup::Publish, TPlace::Beside, "Button5"),
    FieldRows::Text(TControlGroup::Publish, "PublishDataFileEdit", &TForm1::PublishDataFileEdit, "PublishData(file)",
                    nullptr),
    FieldRows::Button(TControlGroup::Publish, TPlace::Beside, "Button6"),
    FieldRows::Button(TControlGroup::Publish, TPlace::Beside, "Button7"),
    // The receive queue.
    FieldRows::Int(TControlGroup::Queue, TPlace::Line, "ReportPauseSpn", &TForm1::ReportPauseSpn, "報告間隔(ミリ秒)",
                   10, 0, 100, &TForm1::ReportPauseSpnChange),
    FieldRows::Button(TControlGroup::Queue, TPlace::Right, "Button1"),
};

struct TGroupInfo {
    TControlGroup Group;
    const char* Name;     // the group box's object name
    const char* Title;    // UTF-8
    bool RightColumn;
};

inline constexpr std::array<TGroupInfo, 5> Groups{{
    {TControlGroup::Connection, "ConnectionGroup", "TCP 接続", false},
    {TControlGroup::Session, "SessionGroup", "MQTT セッション", false},
    {TControlGroup::Subscription, "SubscriptionGroup", "購読", true},
    {TControlGroup::Publish, "PublishGroup", "配信", true},
    {TControlGroup::Queue, "QueueGroup", "受信キュー", true},
}};

// The row of a control name, or nullptr.
const TControlInfo* FindControl(const std::string& name);
// What the window shows beside the control: a field's label, a check box's or a
// button's caption (system code page).
std::string ControlLabel(const TForm1& form, const TControlInfo& control);

// The text and integer settings, in the order of the table.

struct TTextFieldRef {
    const char* Name;
    TTextField TForm1::*Member;
};

struct TIntFieldRef {
    const char* Name;
    TIntField TForm1::*Member;
};

namespace FieldRows {

constexpr std::size_t CountTexts()
{
    std::size_t n = 0;
    for (const TControlInfo& row : Controls)
        n += row.Text != nullptr ? 1 : 0;
    return n;
}

constexpr std::size_t CountInts()
{
    std::size_t n = 0;
    for (const TControlInfo& row : Controls)
        n += row.Int != nullptr ? 1 : 0;
    return n;
}

}  // namespace FieldRows

inline constexpr auto TextFields = [] {
    std::array<TTextFieldRef, FieldRows::CountTexts()> refs{};
    std::size_t i = 0;
    for (const TControlInfo& row : Controls)
        if (row.Text != nullptr)
            refs[i++] = {row.Name, row.Text};
    return refs;
}();

inline constexpr auto IntFields = [] {
    std::array<TIntFieldRef, FieldRows::CountInts()> refs{};
    std::size_t i = 0;
    for (const TControlInfo& row : Controls)
        if (row.Int != nullptr)
            refs[i++] = {row.Name, row.Int};
    return refs;
}();

// Texts in the system code page, exactly as the form holds them.
struct TFieldValues {
    std::array<std::string, TextFields.size()> Texts;
    std::array<std::string, IntFields.size()> Ints;
    bool PublishRetainChk = false;
    bool PingTimerChk = false;

    bool operator==(const TFieldValues&) const = default;
};

// One bit per setting: texts first, then the integer fields, then the two check boxes.
using TFieldMask = uint32_t;
inline constexpr int RetainBit = static_cast<int>(TextFields.size() + IntFields.size());
inline constexpr int PingTimerChkBit = RetainBit + 1;
static_assert(PingTimerChkBit < 32);

inline constexpr TFieldMask TextBit(std::size_t i) { return TFieldMask{1} << i; }
inline constexpr TFieldMask IntBit(std::size_t i) { return TFieldMask{1} << (TextFields.size() + i); }

TFieldValues CaptureFields(const TForm1& form);
void ApplyFields(TForm1& form, const TFieldValues& values);
// The settings in which the two values differ.
TFieldMask DiffFields(const TFieldValues& a, const TFieldValues& b);

// What the window shows of the form after the logic ran: the settings it changed
// (Changed) with their values, and the three enable flags.
struct TFormView {
    TFieldValues Values;
    TFieldMask Changed = 0;
    bool ConnectBtnEnabled = true;
    bool DisconnectBtnEnabled = false;
    bool PingTimerChkEnabled = false;
};

TFormView ViewOf(const TForm1& form, TFieldMask changed);
