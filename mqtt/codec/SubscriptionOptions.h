#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The options byte that follows each topic filter of an MQTT 5.0 SUBSCRIBE:
// bits 1-0 maximum QoS, bit 2 no local, bit 3 retain as published, bits 5-4
// retain handling; bits 7-6 are reserved.
struct TSubscriptionOptions {
    uint8_t MaximumQoS = 0;
    bool NoLocal = false;
    bool RetainAsPublished = false;
    uint8_t RetainHandling = 0;
    uint8_t Reserved = 0;   // bits 7-6 as received; never set when building

    uint8_t ToByte() const;
    static TSubscriptionOptions FromByte(uint8_t byte);
    bool operator==(const TSubscriptionOptions&) const = default;
};

// The text form of one topic's options, as typed in the QoS list under 5.0:
// the maximum QoS (0, 1 or 2), then any of the words
//   nl      (or no-local)               no local
//   rap     (or retain-as-published)    retain as published
//   rh=N    (or retain-handling=N)      retain handling, N 0, 1 or 2
// separated by blanks, for example "1", "1 nl", "2 nl rap rh=2". A plain QoS
// list such as "0,1,2" reads as before. Reserved bits of a received byte are
// shown as "reserved=0xC0", which the parser refuses.
std::string FormatSubscriptionOptions(const TSubscriptionOptions& options);

// A whole QoS list: items are separated by commas or blanks as in any list
// text, and each word after a QoS number belongs to that number, so
// "1 nl, 2 rh=1" is two topics' options. Raises Exception naming the word
// that is wrong.
std::vector<TSubscriptionOptions> ParseSubscriptionOptionList(std::string_view list);
