#include "mqtt/codec/ProtocolVersion.h"

#include <cctype>
#include <string>

std::string_view ProtocolVersionName(TProtocolVersion version)
{
    switch (version) {
    case TProtocolVersion::MQTT311:
        return "MQTT 3.1.1";
    case TProtocolVersion::MQTT50:
        return "MQTT 5.0";
    case TProtocolVersion::MQTT31:
        break;
    }
    return "MQTT 3.1 (MQIsdp)";
}

std::string_view ProtocolName(TProtocolVersion version)
{
    return version == TProtocolVersion::MQTT31 ? "MQIsdp" : "MQTT";
}

std::optional<TProtocolVersion> ParseProtocolVersion(std::string_view text)
{
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
    std::string lower(text);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (TProtocolVersion version : AllProtocolVersions) {
        std::string name(ProtocolVersionName(version));
        for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (lower == name) return version;
    }
    if (lower == "3.1") return TProtocolVersion::MQTT31;
    if (lower == "3.1.1") return TProtocolVersion::MQTT311;
    if (lower == "5" || lower == "5.0") return TProtocolVersion::MQTT50;
    return std::nullopt;
}
