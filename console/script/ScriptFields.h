#pragma once

#include "console/form/FieldTable.h"
#include "console/form/Form1.h"
#include "console/form/TextCompare.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// The settings a script can set, by control name or by the label the window
// shows. Built from the form's field table, so a field added there is settable
// without any change here.

enum class TScriptFieldKind { Text, Int, Check, Choice };

struct TScriptField {
    TScriptFieldKind Kind;
    std::string Name;                           // the control name: "BrokerPortSpn", "PingTimerChk", ...
    TTextField TForm1::*Text = nullptr;         // Kind Text
    TIntField TForm1::*Int = nullptr;           // Kind Int
    bool TForm1::*Check = nullptr;              // Kind Check
    std::string TForm1::*CheckLabel = nullptr;  // Kind Check
    TChoiceField TForm1::*Choice = nullptr;     // Kind Choice
    // What the window runs after the user changed the control; none for most.
    THandler OnChange = nullptr;
    // The control's enable flag, for the controls that have one.
    bool TForm1::*Enabled = nullptr;
    // The field's bit in a TFieldMask (console/form/FieldTable.h).
    TFieldMask Bit = 0;
    // MQTT 5.0: the packet of a properties text field (or of a reason code); TPacketKind{} otherwise.
    TPacketKind Packet{};

    const std::string& Label(const TForm1& form) const;
    // The value as a script writes it: texts quoted, numbers as the form reads
    // them, check boxes "on" or "off", a choice's item quoted. A properties
    // text keeps to its one line: its line breaks become "; "; in any other
    // text they become the two characters "\n" (which the WebSocket header
    // lines read as a line break).
    std::string ScriptValue(const TForm1& form) const;
};

// Every settable field: the text fields, the integer fields, the check boxes
// and the choices, in the order of the field table's bits.
const std::vector<TScriptField>& ScriptFields();
