#pragma once

#include "console/form/Form1.h"

#include <array>
#include <cstdint>
#include <string>

// The form's settings as one value: what the window hands to a command when it is
// queued, and what it reads back when the logic changed a field. The tables give
// each setting its control name; the window names its widgets after them.

struct TTextFieldRef {
    const char* Name;
    TTextField TForm1::*Member;
};

struct TIntFieldRef {
    const char* Name;
    TIntField TForm1::*Member;
};

inline constexpr std::array<TTextFieldRef, 12> TextFields{{
    {"BrokerEdit1", &TForm1::BrokerEdit1},
    {"ClientIDEdit", &TForm1::ClientIDEdit},
    {"UserNameEdit", &TForm1::UserNameEdit},
    {"PasswordEdit", &TForm1::PasswordEdit},
    {"WillTopicEdit", &TForm1::WillTopicEdit},
    {"WillMessageEdit", &TForm1::WillMessageEdit},
    {"SubscribeTopicListEdit", &TForm1::SubscribeTopicListEdit},
    {"SubscribeQoSListEdit", &TForm1::SubscribeQoSListEdit},
    {"UnSubscribeTopicListEdit", &TForm1::UnSubscribeTopicListEdit},
    {"PublishTopicEdit", &TForm1::PublishTopicEdit},
    {"PublishDataEdit", &TForm1::PublishDataEdit},
    {"PublishDataFileEdit", &TForm1::PublishDataFileEdit},
}};

inline constexpr std::array<TIntFieldRef, 6> IntFields{{
    {"BrokerPortSpn", &TForm1::BrokerPortSpn},
    {"KeepAliveSpn", &TForm1::KeepAliveSpn},
    {"WillQoSSpn", &TForm1::WillQoSSpn},
    {"PublishSpn", &TForm1::PublishSpn},
    {"PingReqIntervalSpn", &TForm1::PingReqIntervalSpn},
    {"ReportPauseSpn", &TForm1::ReportPauseSpn},
}};

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
