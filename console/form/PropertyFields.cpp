// The MQTT 5.0 settings of the form: the properties fields, the reason codes,
// what the acknowledgements carry and the broker's limits.
#include "console/form/Form1.h"

#include "console/form/BuildFailure.h"
#include "console/form/FormCommon.h"
#include "mqtt/codec/PropertyText.h"
#include "mqtt/codec/WirePrimitives.h"
#include "mqtt/engine/MQTTClient.h"
#include "platform/Error.h"

using namespace FormCommon;

namespace {

bool HoldsAnything(const std::string& text)
{
    return text.find_first_not_of(" \t\r\n;") != std::string::npos;
}

// The field's list for that packet; a refusal names the field's packet first.
TPropertyList ParseField(const TTextField& field, TPacketKind kind, const char* what)
{
    try {
        return ParsePropertyText(field.Text, kind);
    } catch (const Exception& e) {
        throw Exception(std::string(what) + ": " + e.Message());
    }
}

}  // namespace

TPropertyList TForm1::FieldProperties(const TTextField& field, TPacketKind kind, const char* what, bool note)
{
    if (SessionVersion == TProtocolVersion::MQTT50)
        return ParseField(field, kind, what);
    if (note && HoldsAnything(field.Text) && Client)
        Log(Tagged((std::string("note: ") + what + " not sent (MQTT 5.0 only)").c_str(), Client->ClientID),
            SourceConsole);
    return {};
}

uint8_t TForm1::FieldReasonCode(const TIntField& field, const char* what, bool note)
{
    const int code = field.Value();
    if (SessionVersion == TProtocolVersion::MQTT50)
        return static_cast<uint8_t>(code);
    if (note && code != 0 && Client)
        Log(Tagged((std::string("note: ") + what + " not sent (MQTT 5.0 only)").c_str(), Client->ClientID),
            SourceConsole);
    return 0;
}

TAckSettings TForm1::ReadAckSettings() const
{
    TAckSettings settings;
    const auto code = static_cast<uint8_t>(AckReasonSpn.Value());
    if (!IsAckReasonCode(code))
        throw Exception("acknowledgement reason code: " + FormatHexByte(code) +
                        " is allowed in none of PUBACK, PUBREC, PUBREL and PUBCOMP");
    settings.ReasonCode = code;
    settings.Properties = ParseField(AckPropertiesEdit, TPacketKind::Puback, "acknowledgement properties");
    return settings;
}

void TForm1::SyncAckSettings()
{
    if (!Client)
        return;
    const std::string fields = AckReasonSpn.Text + '\n' + AckPropertiesEdit.Text;
    if (fields == SyncedAckFields)
        return;
    SyncedAckFields = fields;
    const std::string& id = Client->ClientID;
    TAckSettings settings;
    if (SessionVersion != TProtocolVersion::MQTT50) {
        if (AckReasonSpn.Value() != 0 || HoldsAnything(AckPropertiesEdit.Text))
            Log(Tagged("note: acknowledgement reason code and properties not sent (MQTT 5.0 only)", id), SourceConsole);
    } else {
        try {
            settings = ReadAckSettings();
        } catch (const Exception& e) {
            // The connection goes on answering, with plain acknowledgements.
            Log(Tagged("*ERROR* acknowledgement settings refused, acknowledgements go without them", id), SourceUnit);
            const TFieldError error = FieldErrorOf(TFrameKind::Pubrel, e.Message(), *this);
            for (const std::string& control : error.Controls)
                FrontEnd.ShowFieldError(control, error.Reason);
        }
    }
    Client->SetAckSettings(settings);
}

void TForm1::AckPropertiesEditChange()
{
    SyncAckSettings();
}

void TForm1::AckReasonSpnChange()
{
    SyncAckSettings();
}

void TForm1::WarnLimits(const uint8_t* frame, int32_t frameLen, const TPropertyList& properties,
                        std::size_t unacknowledged)
{
    if (SessionVersion != TProtocolVersion::MQTT50)
        return;   // only a 5.0 broker states its limits
    for (const std::string& line : LimitWarnings(BrokerLimits, frame, frameLen, properties, unacknowledged))
        Log(Tagged(line.c_str(), RequireClient().ClientID), SourceUnit);
}
