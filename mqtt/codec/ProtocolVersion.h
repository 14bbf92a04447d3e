#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

// The MQTT protocol level a connection speaks. 3.1 is what the console has
// always spoken, so it is the default wherever a version is taken.
enum class TProtocolVersion : uint8_t {
    MQTT31 = 3,    // protocol name "MQIsdp"
    MQTT311 = 4,   // protocol name "MQTT"
    MQTT50 = 5,    // protocol name "MQTT"
};

constexpr TProtocolVersion AllProtocolVersions[] = {TProtocolVersion::MQTT31, TProtocolVersion::MQTT311,
    TProtocolVersion::MQTT50};

// "MQTT 3.1 (MQIsdp)", "MQTT 3.1.1", "MQTT 5.0".
std::string_view ProtocolVersionName(TProtocolVersion version);
// The protocol name a CONNECT carries: "MQIsdp" or "MQTT".
std::string_view ProtocolName(TProtocolVersion version);
// From a display name, or "3.1", "3.1.1", "5", "5.0" (letter case and
// surrounding blanks ignored); nothing for any other text.
std::optional<TProtocolVersion> ParseProtocolVersion(std::string_view text);
