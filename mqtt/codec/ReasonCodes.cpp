#include "mqtt/codec/ReasonCodes.h"

#include "mqtt/codec/WirePrimitives.h"

namespace {

using K = TPacketKind;

constexpr TPacketKinds Table0 = Kinds(K::Connack, K::Puback, K::Pubrec, K::Pubrel, K::Pubcomp, K::Unsuback, K::Auth);
constexpr TPacketKinds ConnackDisconnect = Kinds(K::Connack, K::Disconnect);
constexpr TPacketKinds Refusals = Kinds(K::Connack, K::Puback, K::Pubrec, K::Suback, K::Unsuback, K::Disconnect);

constexpr TReasonCodeDef Table[] = {
    {0x00, "Success", Table0},
    {0x00, "Normal disconnection", Kinds(K::Disconnect)},
    {0x00, "Granted QoS 0", Kinds(K::Suback)},
    {0x01, "Granted QoS 1", Kinds(K::Suback)},
    {0x02, "Granted QoS 2", Kinds(K::Suback)},
    {0x04, "Disconnect with Will Message", Kinds(K::Disconnect)},
    {0x10, "No matching subscribers", Kinds(K::Puback, K::Pubrec)},
    {0x11, "No subscription existed", Kinds(K::Unsuback)},
    {0x18, "Continue authentication", Kinds(K::Auth)},
    {0x19, "Re-authenticate", Kinds(K::Auth)},
    {0x80, "Unspecified error", Refusals},
    {0x81, "Malformed Packet", ConnackDisconnect},
    {0x82, "Protocol Error", ConnackDisconnect},
    {0x83, "Implementation specific error", Refusals},
    {0x84, "Unsupported Protocol Version", Kinds(K::Connack)},
    {0x85, "Client Identifier not valid", Kinds(K::Connack)},
    {0x86, "Bad User Name or Password", Kinds(K::Connack)},
    {0x87, "Not authorized", Refusals},
    {0x88, "Server unavailable", Kinds(K::Connack)},
    {0x89, "Server busy", ConnackDisconnect},
    {0x8A, "Banned", Kinds(K::Connack)},
    {0x8B, "Server shutting down", Kinds(K::Disconnect)},
    {0x8C, "Bad authentication method", ConnackDisconnect},
    {0x8D, "Keep Alive timeout", Kinds(K::Disconnect)},
    {0x8E, "Session taken over", Kinds(K::Disconnect)},
    {0x8F, "Topic Filter invalid", Kinds(K::Suback, K::Unsuback, K::Disconnect)},
    {0x90, "Topic Name invalid", Kinds(K::Connack, K::Puback, K::Pubrec, K::Disconnect)},
    {0x91, "Packet Identifier in use", Kinds(K::Puback, K::Pubrec, K::Suback, K::Unsuback)},
    {0x92, "Packet Identifier not found", Kinds(K::Pubrel, K::Pubcomp)},
    {0x93, "Receive Maximum exceeded", Kinds(K::Disconnect)},
    {0x94, "Topic Alias invalid", Kinds(K::Disconnect)},
    {0x95, "Packet too large", ConnackDisconnect},
    {0x96, "Message rate too high", Kinds(K::Disconnect)},
    {0x97, "Quota exceeded", Kinds(K::Connack, K::Puback, K::Pubrec, K::Suback, K::Disconnect)},
    {0x98, "Administrative action", Kinds(K::Disconnect)},
    {0x99, "Payload format invalid", Kinds(K::Connack, K::Puback, K::Pubrec, K::Disconnect)},
    {0x9A, "Retain not supported", ConnackDisconnect},
    {0x9B, "QoS not supported", ConnackDisconnect},
    {0x9C, "Use another server", ConnackDisconnect},
    {0x9D, "Server moved", ConnackDisconnect},
    {0x9E, "Shared Subscriptions not supported", Kinds(K::Suback, K::Disconnect)},
    {0x9F, "Connection rate exceeded", ConnackDisconnect},
    {0xA0, "Maximum connect time", Kinds(K::Disconnect)},
    {0xA1, "Subscription Identifiers not supported", Kinds(K::Suback, K::Disconnect)},
    {0xA2, "Wildcard Subscriptions not supported", Kinds(K::Suback, K::Disconnect)},
};

// The CONNACK return codes of 3.1 and 3.1.1.
constexpr std::string_view ConnectReturnCodes[] = {
    "Connection Accepted",
    "Connection Refused, unacceptable protocol version",
    "Connection Refused, identifier rejected",
    "Connection Refused, Server unavailable",
    "Connection Refused, bad user name or password",
    "Connection Refused, not authorized",
};

}  // namespace

std::span<const TReasonCodeDef> ReasonCodeTable() { return Table; }

const TReasonCodeDef* FindReasonCode(uint8_t value, TPacketKind kind)
{
    for (const TReasonCodeDef& def : Table)
        if (def.Value == value && HasKind(def.Packets, kind)) return &def;
    return nullptr;
}

bool IsReasonCodeAllowed(uint8_t value, TPacketKind kind) { return FindReasonCode(value, kind) != nullptr; }

std::string_view ReasonCodeName(uint8_t value, TPacketKind kind)
{
    const TReasonCodeDef* def = FindReasonCode(value, kind);
    return def ? def->Name : std::string_view();
}

std::string FormatReasonCode(uint8_t value, TPacketKind kind, TProtocolVersion version)
{
    const std::string code = FormatHexByte(value);
    if (version != TProtocolVersion::MQTT50) {
        if (kind == K::Connack)
            return code + " " +
                   (value < std::size(ConnectReturnCodes) ? std::string(ConnectReturnCodes[value]) : "unknown");
        if (kind == K::Suback)
            return code + " " + (value <= 2 ? "Success - Maximum QoS " + std::to_string(value)
                                            : value == 0x80 ? std::string("Failure") : std::string("unknown"));
    }
    if (const TReasonCodeDef* def = FindReasonCode(value, kind)) return code + " " + std::string(def->Name);
    for (const TReasonCodeDef& def : Table)
        if (def.Value == value)
            return code + " " + std::string(def.Name) + " (not for " + std::string(PacketKindName(kind)) + ")";
    return code + " unknown";
}
