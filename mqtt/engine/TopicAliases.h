#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

class TMQTTPacket;

// The topic aliases the broker set on one MQTT 5.0 connection. A PUBLISH with
// a Topic Alias and a topic sets the alias (or sets it anew); one with the
// alias and an empty topic stands for the topic set last. Resolved by the
// reader thread alone, in the order the frames arrive, so a PUBLISH that the
// queue inspection takes still sets its alias for the ones after it.
//
// The broker may use aliases 1 to the Topic Alias Maximum our CONNECT sent,
// none when it sent none; the table holds no more than that many topics.
class TInboundTopicAliases {
public:
    // Each frame the connection sends: a CONNECT tells the maximum from now on
    // (a CONNECT without the property none). Safe from any thread.
    void NoteSent(const uint8_t* frame, int32_t length);

    // For a 5.0 PUBLISH (analysed here): sets packet.AliasedTopic where its
    // alias stands for a topic. Returns what is wrong, or nothing: an alias
    // above the maximum, or one that the broker never set, is its protocol
    // error; such an alias is not set, and a message that has no topic but
    // the alias stays without one.
    std::string Resolve(TMQTTPacket& packet);

private:
    std::atomic<uint32_t> FAnnounced{0};   // the maximum of the last CONNECT sent
    uint32_t FMaximum = 0;                 // the maximum the table was last made for
    std::vector<std::string> FTopics;      // alias n at n - 1; made when the first alias comes
};
