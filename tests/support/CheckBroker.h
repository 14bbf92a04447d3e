#pragma once

#include <memory>
#include <string>

// A small MQTT broker (3.1, 3.1.1 and 5.0) on 127.0.0.1 for the tests of the
// broker checks: routing with wildcards and "$" topics, retained messages,
// wills with their delay, persistent sessions with expiry and redelivery,
// QoS 1 and 2 both ways, topic aliases, flow control, shared subscriptions,
// subscription options and the 5.0 message properties; malformed frames end
// the connection (5.0: after DISCONNECT 0x81 or 0x82). It decodes MQTT itself,
// so the tests do not lean on the code under test.
//
// One fault can be planted: the broker then breaks one rule of the standard
// and keeps every other.
enum class TPlantedFault {
    None,
    ClientIdTooShort,       // refuses a ClientID of 23 characters
    QosTwoDuplicate,        // a repeated QoS 2 PUBLISH before PUBREL is delivered again
    RetainNotReplaced,      // a second retained message does not replace the first
    WillNotSent,            // no will after an abnormal end
    DollarMatched,          // "#" and "+" match topics beginning with "$"
    NoDowngrade,            // messages go out at the publisher's QoS, not the subscription's
    SessionForgotten,       // messages for an absent persistent session are dropped
    MessageNeverExpires,    // the Message Expiry Interval is ignored
    AliasIgnored,           // a Topic Alias from the client is not resolved (the message is dropped)
    ReceiveMaximumIgnored,  // the client's Receive Maximum is not honoured
    UserPropertiesDropped,  // User Properties are not forwarded
    NoLocalIgnored,         // No Local is ignored
    SharedToAll,            // a shared subscription's message goes to every member
    NoAssignedId,           // a zero-length ClientID is accepted without an Assigned Client Identifier
    MalformedAccepted,      // a PUBLISH to a topic with a wildcard is accepted and routed
    // Broad faults, each breaking many rules at once, so that every check of
    // the catalogue is shown to fail against some broker:
    AcceptEverything,       // no malformed frame or protocol error ends a connection; every filter is granted
    DeliverNothing,         // no message, retained message, will or PINGRESP goes out
    Scrambled,              // every message to every session, DUP set, RETAIN inverted, pairs swapped, payload reversed
    SessionsInverted,       // Session Present says the opposite; no session outlives its connection
    TimersWrong,            // idle clients closed at half their keep-alive, wills never delayed, sessions end with their connection
    LooseAnswers,           // wrong packet identifiers, a second CONNACK, limits announced and not kept, stray properties
};

class CheckBroker {
public:
    explicit CheckBroker(TPlantedFault fault = TPlantedFault::None);
    ~CheckBroker();
    CheckBroker(const CheckBroker&) = delete;
    CheckBroker& operator=(const CheckBroker&) = delete;

    int Port() const;
    std::string Host() const { return "127.0.0.1"; }

    struct TImpl;

private:
    std::unique_ptr<TImpl> FImpl;
};
