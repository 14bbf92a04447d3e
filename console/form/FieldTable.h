#pragma once

#include "console/form/Form1.h"
#include "mqtt/codec/PacketKind.h"

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

// Every control of the form in one table: its group, kind, control name, label,
// default and limits, and where the window puts it. The form takes the labels,
// defaults and limits of its settings from here, the window builds its groups
// from here, and scripts find a setting by its control name or label. A new
// setting is one row here and its member in TForm1.

enum class TControlKind : uint8_t { Text, Int, Check, Choice, Button };

enum class TControlGroup : uint8_t { Connection, Tls, Transport, Session, Mqtt5, Subscription, Publish, Queue };

// Where a control goes in its group.
enum class TPlace : uint8_t {
    Row,       // a row of its own: the label, then the control
    Line,      // a row of its own across the group (an integer field's or a choice's label comes first in it)
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
    int Initial = 0, Min = 0, Max = 0;  // an integer field's default and limits; a check box's default (0/1);
                                        // a choice's default item
    bool Masked = false;                // shown as one "*" per character
    const char* Hint = nullptr;         // UTF-8: a text field's placeholder, a greyed note after a check box
    TTextField TForm1::*Text = nullptr;
    TIntField TForm1::*Int = nullptr;
    bool TForm1::*Check = nullptr;
    std::string TForm1::*CheckLabel = nullptr;
    TChoiceField TForm1::*Choice = nullptr;
    std::span<const char* const> Items = {};  // a choice's items, UTF-8
    THandler Handler = nullptr;         // a text or integer field's change, a check box's click
    bool TForm1::*Gate = nullptr;       // the enable flag the logic keeps for the control
    // MQTT 5.0: the packet whose properties a text field holds (in the text
    // form of mqtt/codec/PropertyText.h) or whose reason code an integer field
    // holds; TPacketKind{} (0) for every other control. A window may show such
    // a text as rows of name and value, and such a code by its name.
    TPacketKind Packet{};
    // The choice whose item decides whether the control is in use: while its
    // first item (or an item of UnusedItems) is chosen, a window greys the
    // control out. nullptr: always in use.
    const char* Follows = nullptr;
    unsigned UnusedItems = 0;   // bit i: item i of Follows leaves the control unused
};

namespace FieldRows {

constexpr TControlInfo Text(TControlGroup group, const char* name, TTextField TForm1::*member, const char* label,
                            const char* initial, bool masked = false, const char* hint = nullptr)
{
    TControlInfo row{group, TControlKind::Text, TPlace::Row, name};
    row.Label = label;
    row.Default = initial;
    row.Masked = masked;
    row.Hint = hint;
    row.Text = member;
    return row;
}

// A text field of MQTT 5.0 properties for one packet.
constexpr TControlInfo Properties(TControlGroup group, const char* name, TTextField TForm1::*member, const char* label,
                                  TPacketKind packet, const char* hint, THandler onChange = nullptr)
{
    TControlInfo row = Text(group, name, member, label, "", false, hint);
    row.Packet = packet;
    row.Handler = onChange;
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

// An integer field with the MQTT 5.0 reason code of one packet: 0 to 255, 0 (Success) at first.
constexpr TControlInfo Reason(TControlGroup group, const char* name, TIntField TForm1::*member, const char* label,
                              TPacketKind packet, THandler onChange = nullptr)
{
    TControlInfo row = Int(group, TPlace::Row, name, member, label, 0, 0, 255, onChange);
    row.Packet = packet;
    return row;
}

constexpr TControlInfo Check(TControlGroup group, TPlace place, const char* name, bool TForm1::*member,
                             std::string TForm1::*labelMember, const char* label, THandler onClick = nullptr,
                             bool TForm1::*gate = nullptr, bool checked = false, const char* hint = nullptr)
{
    TControlInfo row{group, TControlKind::Check, place, name};
    row.Label = label;
    row.Check = member;
    row.CheckLabel = labelMember;
    row.Handler = onClick;
    row.Gate = gate;
    row.Initial = checked ? 1 : 0;
    row.Hint = hint;
    return row;
}

constexpr TControlInfo Choice(TControlGroup group, TPlace place, const char* name, TChoiceField TForm1::*member,
                              const char* label, std::span<const char* const> items, int initial = 0)
{
    TControlInfo row{group, TControlKind::Choice, place, name};
    row.Label = label;
    row.Choice = member;
    row.Items = items;
    row.Initial = initial;
    return row;
}

// The control is in use only while the choice follows has an item but the first
// and those of unusedItems (bit i for item i).
constexpr TControlInfo Following(TControlInfo row, const char* follows, unsigned unusedItems = 1)
{
    row.Follows = follows;
    row.UnusedItems = unusedItems;
    return row;
}

constexpr TControlInfo Button(TControlGroup group, TPlace place, const char* name, bool TForm1::*gate = nullptr)
{
    TControlInfo row{group, TControlKind::Button, place, name};
    row.Gate = gate;
    return row;
}

}  // namespace FieldRows

// The protocol versions in the order of AllProtocolVersions (ProtocolVersion.h).
inline constexpr const char* ProtocolVersionItems[] = {"MQTT 3.1 (MQIsdp)", "MQTT 3.1.1", "MQTT 5.0"};
static_assert(std::size(ProtocolVersionItems) == std::size(AllProtocolVersions));
// What carries the connection, in the order of TTransportKind (Form1.h).
inline constexpr const char* TransportItems[] = {"TCP", "WebSocket (ws)", "WebSocket over TLS (wss)"};
// The proxy hop, in the order of TProxyKind (platform/TransportConfig.h).
inline constexpr const char* ProxyItems[] = {"なし (none)", "HTTP CONNECT", "SOCKS5"};

// In the window's order, group by group.
inline constexpr std::array Controls{
    // The TCP connection: "Open" and "Close" read these.
    FieldRows::Text(TControlGroup::Connection, "BrokerEdit1", &TForm1::BrokerEdit1, "Broker HostName", "127.0.0.1"),
    FieldRows::Int(TControlGroup::Connection, TPlace::Row, "BrokerPortSpn", &TForm1::BrokerPortSpn, "Port", 1883, 0,
                   65535),
    // The version of every frame of the connection: read by "Open".
    FieldRows::Choice(TControlGroup::Connection, TPlace::Row, "ProtocolVersionCmb", &TForm1::ProtocolVersionCmb,
                      "プロトコル", ProtocolVersionItems),
    FieldRows::Text(TControlGroup::Connection, "ClientIDEdit", &TForm1::ClientIDEdit, "ClientID", ""),
    // A slow broker is given up only once nothing moved for this long. A reader of
    // 10 KB/s on this machine opens its window about every 12 s, and TCP's probes
    // of the closed window are answered ever more rarely in between (after 1, 3
    // and 6 s): 10 s bridges them.
    FieldRows::Int(TControlGroup::Connection, TPlace::Row, "WriteStallSpn", &TForm1::WriteStallSpn,
                   "送信停滞の上限(秒)", 10, 1, 3600, &TForm1::WriteStallSpnChange),
    FieldRows::Button(TControlGroup::Connection, TPlace::Buttons, "ConnectBtn", &TForm1::ConnectBtnEnabled),
    FieldRows::Button(TControlGroup::Connection, TPlace::Buttons, "DisconnectBtn", &TForm1::DisconnectBtnEnabled),
    // How "Open" secures the connection. The port stays as typed: TLS brokers mostly listen on 8883.
    FieldRows::Check(TControlGroup::Tls, TPlace::Line, "TlsChk", &TForm1::TlsChk, &TForm1::TlsChkLabel,
                     "TLS", nullptr, nullptr, false, "TLS のポートは通常 8883 です"),
    FieldRows::Text(TControlGroup::Tls, "TlsCaFileEdit", &TForm1::TlsCaFileEdit, "CA 証明書", "", false,
                    "空欄: システムの証明書ストア"),
    FieldRows::Button(TControlGroup::Tls, TPlace::Beside, "TlsCaFileBtn"),
    FieldRows::Text(TControlGroup::Tls, "TlsCertFileEdit", &TForm1::TlsCertFileEdit, "クライアント証明書", "", false,
                    "PEM (任意)"),
    FieldRows::Button(TControlGroup::Tls, TPlace::Beside, "TlsCertFileBtn"),
    FieldRows::Text(TControlGroup::Tls, "TlsKeyFileEdit", &TForm1::TlsKeyFileEdit, "秘密鍵", "", false,
                    "PEM (空欄: 証明書のファイルから)"),
    FieldRows::Button(TControlGroup::Tls, TPlace::Beside, "TlsKeyFileBtn"),
    FieldRows::Check(TControlGroup::Tls, TPlace::Line, "TlsVerifyHostChk", &TForm1::TlsVerifyHostChk,
                     &TForm1::TlsVerifyHostChkLabel, "サーバー名を検証", nullptr, nullptr, true,
                     "オフ: 証明書の名前がホスト名と違っても接続します"),
    // What carries the connection, and a proxy before it: "Open" reads these.
    FieldRows::Choice(TControlGroup::Transport, TPlace::Line, "TransportCmb", &TForm1::TransportCmb, "トランスポート",
                      TransportItems),
    FieldRows::Following(FieldRows::Text(TControlGroup::Transport, "WsPathEdit", &TForm1::WsPathEdit,
                                         "WebSocket パス", "/mqtt"),
                         "TransportCmb"),
    FieldRows::Following(FieldRows::Text(TControlGroup::Transport, "WsSubprotocolEdit", &TForm1::WsSubprotocolEdit,
                                         "サブプロトコル", "", false,
                                         "空欄: mqtt (3.1.1, 5.0) / mqttv3.1 (3.1)"),
                         "TransportCmb"),
    FieldRows::Following(FieldRows::Text(TControlGroup::Transport, "WsHeadersEdit", &TForm1::WsHeadersEdit,
                                         "追加ヘッダー", "", false,
                                         "1 行に 1 つ (\\n で区切る) 例: Authorization: Bearer xyz"),
                         "TransportCmb"),
    FieldRows::Choice(TControlGroup::Transport, TPlace::Line, "ProxyCmb", &TForm1::ProxyCmb, "プロキシ", ProxyItems),
    FieldRows::Following(FieldRows::Text(TControlGroup::Transport, "ProxyHostEdit", &TForm1::ProxyHostEdit,
                                         "プロキシのホスト", ""),
                         "ProxyCmb"),
    FieldRows::Following(FieldRows::Int(TControlGroup::Transport, TPlace::Right, "ProxyPortSpn", &TForm1::ProxyPortSpn,
                                        "ポート", 8080, 0, 65535),
                         "ProxyCmb"),
    FieldRows::Following(FieldRows::Text(TControlGroup::Transport, "ProxyUserEdit", &TForm1::ProxyUserEdit,
                                         "プロキシのユーザー", "", false, "空欄: 認証なし"),
                         "ProxyCmb"),
    FieldRows::Following(FieldRows::Text(TControlGroup::Transport, "ProxyPasswordEdit", &TForm1::ProxyPasswordEdit,
                                         "プロキシのパスワード", "", true),
                         "ProxyCmb"),
    // The MQTT session: CONNECT reads these; PINGREQ and DISCONNECT read nothing.
    FieldRows::Text(TControlGroup::Session, "UserNameEdit", &TForm1::UserNameEdit, "UserName", ""),
    FieldRows::Text(TControlGroup::Session, "PasswordEdit", &TForm1::PasswordEdit, "Password", "", true),
    FieldRows::Int(TControlGroup::Session, TPlace::Row, "KeepAliveSpn", &TForm1::KeepAliveSpn, "KeepAlive", 60, 0,
                   65535),
    FieldRows::Check(TControlGroup::Session, TPlace::Right, "CleanSessionChk", &TForm1::CleanSessionChk,
                     &TForm1::CleanSessionChkLabel, "クリーンセッション", nullptr, nullptr, true),
    FieldRows::Text(TControlGroup::Session, "WillTopicEdit", &TForm1::WillTopicEdit, "WillTopic", "hello/my_will"),
    FieldRows::Text(TControlGroup::Session, "WillMessageEdit", &TForm1::WillMessageEdit, "WillMessage", "さようなら"),
    FieldRows::Int(TControlGroup::Session, TPlace::Row, "WillQoSSpn", &TForm1::WillQoSSpn, "WillQoS", 0, 0, 2),
    FieldRows::Check(TControlGroup::Session, TPlace::Right, "WillRetainChk", &TForm1::WillRetainChk,
                     &TForm1::WillRetainChkLabel, "Will Retain"),
    FieldRows::Button(TControlGroup::Session, TPlace::Buttons, "MQTT_CONNECT_Btn"),
    FieldRows::Button(TControlGroup::Session, TPlace::Buttons, "MQTT_PINGREQ_Btn"),
    FieldRows::Button(TControlGroup::Session, TPlace::Buttons, "Button4"),
    // The ping timer sits with PINGREQ, whose command it repeats.
    FieldRows::Check(TControlGroup::Session, TPlace::Line, "PingTimerChk", &TForm1::PingTimerChk,
                     &TForm1::PingTimerChkLabel, "定期的にPING 送信", &TForm1::PingTimerChkClick,
                     &TForm1::PingTimerChkEnabled),
    FieldRows::Int(TControlGroup::Session, TPlace::Right, "PingReqIntervalSpn", &TForm1::PingReqIntervalSpn,
                   "送信間隔(秒)", 30, 1, 65535, &TForm1::PingReqIntervalSpnChange),
    // A frame exactly as typed, sent with no check: a broker's answer to what
    // the console would never build (reserved types, lying lengths, a second CONNECT).
    FieldRows::Text(TControlGroup::Session, "RawFrameEdit", &TForm1::RawFrameEdit, "生フレーム (16 進)", "", false,
                    "例: C0 00 (PINGREQ)。検査せずそのまま送ります"),
    FieldRows::Button(TControlGroup::Session, TPlace::Beside, "RawSendBtn"),
    // MQTT 5.0: what each packet carries beyond the fields above, used only on a
    // 5.0 connection. Reason codes are decimal (0x8E is 142).
    FieldRows::Properties(TControlGroup::Mqtt5, "ConnectPropertiesEdit", &TForm1::ConnectPropertiesEdit,
                          "CONNECT プロパティ", TPacketKind::Connect,
                          "例: session-expiry-interval = 3600; user-property = a=b"),
    FieldRows::Properties(TControlGroup::Mqtt5, "WillPropertiesEdit", &TForm1::WillPropertiesEdit, "Will プロパティ",
                          TPacketKind::Will, "例: will-delay-interval = 10; message-expiry-interval = 60"),
    FieldRows::Properties(TControlGroup::Mqtt5, "PublishPropertiesEdit", &TForm1::PublishPropertiesEdit,
                          "PUBLISH プロパティ", TPacketKind::Publish,
                          "例: message-expiry-interval = 60; topic-alias = 1; content-type = text/plain"),
    FieldRows::Properties(TControlGroup::Mqtt5, "SubscribePropertiesEdit", &TForm1::SubscribePropertiesEdit,
                          "SUBSCRIBE プロパティ", TPacketKind::Subscribe,
                          "例: subscription-identifier = 1 (トピック毎のオプションは QoS リストに: 1 nl rap rh=2)"),
    FieldRows::Properties(TControlGroup::Mqtt5, "UnsubscribePropertiesEdit", &TForm1::UnsubscribePropertiesEdit,
                          "UNSUBSCRIBE プロパティ", TPacketKind::Unsubscribe, "例: user-property = a=b"),
    FieldRows::Properties(TControlGroup::Mqtt5, "DisconnectPropertiesEdit", &TForm1::DisconnectPropertiesEdit,
                          "DISCONNECT プロパティ", TPacketKind::Disconnect,
                          "例: session-expiry-interval = 0; reason-string = bye"),
    FieldRows::Reason(TControlGroup::Mqtt5, "DisconnectReasonSpn", &TForm1::DisconnectReasonSpn,
                      "DISCONNECT 理由コード", TPacketKind::Disconnect),
    FieldRows::Properties(TControlGroup::Mqtt5, "AckPropertiesEdit", &TForm1::AckPropertiesEdit, "応答プロパティ",
                          TPacketKind::Puback, "PUBACK・PUBREC・PUBREL・PUBCOMP に: reason-string = x; user-property = a=b",
                          &TForm1::AckPropertiesEditChange),
    FieldRows::Reason(TControlGroup::Mqtt5, "AckReasonSpn", &TForm1::AckReasonSpn, "応答の理由コード",
                      TPacketKind::Puback, &TForm1::AckReasonSpnChange),
    FieldRows::Properties(TControlGroup::Mqtt5, "AuthPropertiesEdit", &TForm1::AuthPropertiesEdit, "AUTH プロパティ",
                          TPacketKind::Auth,
                          "例: authentication-method = SCRAM-SHA-1; authentication-data = hex:0a0b"),
    FieldRows::Reason(TControlGroup::Mqtt5, "AuthReasonSpn", &TForm1::AuthReasonSpn, "AUTH 理由コード",
                      TPacketKind::Auth),
    FieldRows::Button(TControlGroup::Mqtt5, TPlace::Buttons, "MQTT_AUTH_Btn"),
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

inline constexpr std::array<TGroupInfo, 8> Groups{{
    {TControlGroup::Connection, "ConnectionGroup", "TCP 接続", false},
    {TControlGroup::Tls, "TlsGroup", "暗号化 (TLS)", true},
    {TControlGroup::Transport, "TransportGroup", "WebSocket とプロキシ", true},
    {TControlGroup::Session, "SessionGroup", "MQTT セッション", false},
    {TControlGroup::Mqtt5, "Mqtt5Group", "MQTT 5.0 のプロパティと理由コード", false},
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

struct TCheckFieldRef {
    const char* Name;
    bool TForm1::*Member;
};

struct TChoiceFieldRef {
    const char* Name;
    TChoiceField TForm1::*Member;
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

constexpr std::size_t CountChecks()
{
    std::size_t n = 0;
    for (const TControlInfo& row : Controls)
        n += row.Check != nullptr ? 1 : 0;
    return n;
}

constexpr std::size_t CountChoices()
{
    std::size_t n = 0;
    for (const TControlInfo& row : Controls)
        n += row.Choice != nullptr ? 1 : 0;
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

inline constexpr auto CheckFields = [] {
    std::array<TCheckFieldRef, FieldRows::CountChecks()> refs{};
    std::size_t i = 0;
    for (const TControlInfo& row : Controls)
        if (row.Check != nullptr)
            refs[i++] = {row.Name, row.Check};
    return refs;
}();

inline constexpr auto ChoiceFields = [] {
    std::array<TChoiceFieldRef, FieldRows::CountChoices()> refs{};
    std::size_t i = 0;
    for (const TControlInfo& row : Controls)
        if (row.Choice != nullptr)
            refs[i++] = {row.Name, row.Choice};
    return refs;
}();

// The position of a control name in one of the field lists above, or the list's size.
template <std::size_t N, typename TRef>
constexpr std::size_t FieldIndex(const std::array<TRef, N>& fields, std::string_view name)
{
    for (std::size_t i = 0; i < N; ++i)
        if (name == fields[i].Name)
            return i;
    return N;
}

// Texts in the system code page, exactly as the form holds them; a choice by its item's index.
struct TFieldValues {
    std::array<std::string, TextFields.size()> Texts;
    std::array<std::string, IntFields.size()> Ints;
    std::array<bool, CheckFields.size()> Checks{};
    std::array<int, ChoiceFields.size()> Choices{};

    bool operator==(const TFieldValues&) const = default;
};

// One bit per setting: texts first, then the integer fields, the check boxes and the choices.
using TFieldMask = uint64_t;
static_assert(TextFields.size() + IntFields.size() + CheckFields.size() + ChoiceFields.size() <= 64);

inline constexpr TFieldMask TextBit(std::size_t i) { return TFieldMask{1} << i; }
inline constexpr TFieldMask IntBit(std::size_t i) { return TFieldMask{1} << (TextFields.size() + i); }
inline constexpr TFieldMask CheckBit(std::size_t i)
{
    return TFieldMask{1} << (TextFields.size() + IntFields.size() + i);
}
inline constexpr TFieldMask ChoiceBit(std::size_t i)
{
    return TFieldMask{1} << (TextFields.size() + IntFields.size() + CheckFields.size() + i);
}
// The bit of a control name, whichever list holds it; 0 for a button or an unknown name.
constexpr TFieldMask FieldBit(std::string_view name)
{
    if (const std::size_t i = FieldIndex(TextFields, name); i < TextFields.size())
        return TextBit(i);
    if (const std::size_t i = FieldIndex(IntFields, name); i < IntFields.size())
        return IntBit(i);
    if (const std::size_t i = FieldIndex(CheckFields, name); i < CheckFields.size())
        return CheckBit(i);
    if (const std::size_t i = FieldIndex(ChoiceFields, name); i < ChoiceFields.size())
        return ChoiceBit(i);
    return 0;
}

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
