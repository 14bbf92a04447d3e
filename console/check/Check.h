#pragma once

#include "mqtt/codec/ProtocolVersion.h"

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

class TCheckContext;

// The families of the catalogue, each written in a file of its own.
enum class TCheckFamily : uint8_t {
    Connect,        // ClientID rules, clean session, keep-alive, CONNECT order
    Delivery,       // QoS 0, 1 and 2 between clients, order, duplicates
    Retain,         // retained messages
    Will,           // will messages
    Topics,         // topic names, filters and wildcards
    Subscriptions,  // overlapping subscriptions, unsubscribe, QoS downgrade
    Sessions,       // persistent sessions and takeover
    Expiry,         // 5.0: session and message expiry
    Aliases,        // 5.0: topic aliases
    Flow,           // 5.0: Receive Maximum, Maximum Packet Size
    Properties,     // 5.0: properties passed through
    SubOptions,     // 5.0: subscription identifiers, no local, retain as published, retain handling
    Shared,         // 5.0: shared subscriptions
    Connack,        // 5.0: what CONNACK and refusals say
    Robustness,     // malformed frames
};

inline constexpr TCheckFamily AllFamilies[] = {
    TCheckFamily::Connect, TCheckFamily::Delivery, TCheckFamily::Retain, TCheckFamily::Will,
    TCheckFamily::Topics, TCheckFamily::Subscriptions, TCheckFamily::Sessions, TCheckFamily::Expiry,
    TCheckFamily::Aliases, TCheckFamily::Flow, TCheckFamily::Properties, TCheckFamily::SubOptions,
    TCheckFamily::Shared, TCheckFamily::Connack, TCheckFamily::Robustness};

// "connect", "delivery", ... (the word --only and the dialog use).
std::string_view FamilyName(TCheckFamily family);
// The family's caption in the window, UTF-8 Japanese.
std::string_view FamilyCaption(TCheckFamily family);
bool ParseFamily(std::string_view text, TCheckFamily& family);

// Which protocol versions a check applies to.
enum TVersionMask : uint8_t { V31 = 1, V311 = 2, V50 = 4, V3x = V31 | V311, VAll = V31 | V311 | V50, V311Up = V311 | V50 };
inline uint8_t VersionBit(TProtocolVersion version)
{
    return version == TProtocolVersion::MQTT31 ? V31 : version == TProtocolVersion::MQTT311 ? V311 : V50;
}
// "3.1", "3.1.1", "5.0".
std::string_view VersionWord(TProtocolVersion version);

// One check of the catalogue: a short scenario with one or more clients.
struct TCheck {
    const char* Id;                       // "retain.replace": family, then what it checks
    TCheckFamily Family;
    uint8_t Versions;                     // TVersionMask
    // The normative statements it tests, as the standards number them: those
    // of 3.1.1 (cited for 3.1 too, whose text numbers none) and those of 5.0.
    std::vector<const char*> Statements311;
    std::vector<const char*> Statements50;
    const char* Expects;                  // one sentence
    std::function<void(TCheckContext&)> Run;
    // Waits seconds on the broker's clock (keep-alive, expiry, will delay):
    // started before the others, so that the run does not end waiting for it.
    bool Slow = false;

    const std::vector<const char*>& Statements(TProtocolVersion version) const
    {
        return version == TProtocolVersion::MQTT50 ? Statements50 : Statements311;
    }
    bool AppliesTo(TProtocolVersion version) const { return (Versions & VersionBit(version)) != 0; }
};

// Every check, in catalogue order (families in the order above).
const std::vector<TCheck>& CheckCatalogue();
const TCheck* FindCheck(std::string_view id);

// The families' tables, one per file.
void AddConnectChecks(std::vector<TCheck>& checks);
void AddDeliveryChecks(std::vector<TCheck>& checks);
void AddRetainChecks(std::vector<TCheck>& checks);
void AddWillChecks(std::vector<TCheck>& checks);
void AddTopicChecks(std::vector<TCheck>& checks);
void AddSubscriptionChecks(std::vector<TCheck>& checks);
void AddSessionChecks(std::vector<TCheck>& checks);
void AddExpiryChecks(std::vector<TCheck>& checks);
void AddAliasChecks(std::vector<TCheck>& checks);
void AddFlowChecks(std::vector<TCheck>& checks);
void AddPropertyChecks(std::vector<TCheck>& checks);
void AddSubOptionChecks(std::vector<TCheck>& checks);
void AddSharedChecks(std::vector<TCheck>& checks);
void AddConnackChecks(std::vector<TCheck>& checks);
void AddRobustnessChecks(std::vector<TCheck>& checks);
