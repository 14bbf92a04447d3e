#pragma once

#include <cstdint>
#include <string_view>

// Where a property or a reason code may appear: the control packets by their
// type number, and the will inside CONNECT, which has properties of its own.
enum class TPacketKind : uint8_t {
    Connect = 1,
    Connack,
    Publish,
    Puback,
    Pubrec,
    Pubrel,
    Pubcomp,
    Subscribe,
    Suback,
    Unsubscribe,
    Unsuback,
    Pingreq,
    Pingresp,
    Disconnect,
    Auth,
    Will,
};

// A set of packet kinds, one bit per kind.
using TPacketKinds = uint32_t;

constexpr TPacketKinds KindBit(TPacketKind kind) { return TPacketKinds{1} << static_cast<unsigned>(kind); }

template <typename... TKinds>
constexpr TPacketKinds Kinds(TKinds... kinds)
{
    return (TPacketKinds{0} | ... | KindBit(kinds));
}

constexpr bool HasKind(TPacketKinds set, TPacketKind kind) { return (set & KindBit(kind)) != 0; }

// "CONNECT" ... "AUTH"; "will" for the will.
constexpr std::string_view PacketKindName(TPacketKind kind)
{
    constexpr std::string_view names[] = {"reserved", "CONNECT", "CONNACK", "PUBLISH", "PUBACK", "PUBREC", "PUBREL",
        "PUBCOMP", "SUBSCRIBE", "SUBACK", "UNSUBSCRIBE", "UNSUBACK", "PINGREQ", "PINGRESP", "DISCONNECT", "AUTH", "will"};
    const auto index = static_cast<size_t>(kind);
    return index < std::size(names) ? names[index] : "reserved";
}
