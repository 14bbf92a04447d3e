#include "console/check/CheckSteps.h"

#include "mqtt/codec/MQTTPacket.h"

#include <algorithm>

namespace CheckSteps {

TCheckClient& Connected(TCheckContext& c, const std::string& name, const TConnectOptions& options)
{
    TCheckClient& client = c.Client(name);
    client.ConnectOk(options);
    return client;
}

TCheckClient& Subscribed(TCheckContext& c, const std::string& name, const std::string& filter,
                         const std::string& options, const TConnectOptions& connect, const std::string& properties)
{
    TCheckClient& client = Connected(c, name, connect);
    const TAck ack = client.Subscribe({filter}, {options}, properties);
    if (ack.Codes.size() != 1 || ack.Codes[0] >= 0x80)
        c.Fail("the subscription to " + filter + " granted",
               "SUBACK code " + (ack.Codes.empty() ? std::string("none") : std::to_string(ack.Codes[0])));
    return client;
}

TConnectOptions Persistent(TCheckContext& c, const std::string& name, int expiry)
{
    TConnectOptions options;
    options.Clean = false;
    options.ClientID = c.ClientIdFor(name);
    if (c.V5()) options.Properties = "session-expiry-interval = " + std::to_string(expiry);
    c.Persistent(*options.ClientID);
    return options;
}

std::string Listed(const std::vector<TMessage>& messages)
{
    if (messages.empty()) return "no message";
    std::string text;
    for (const TMessage& m : messages) text += (text.empty() ? "" : ", ") + m.Summary();
    return text;
}

TMessage ExpectOne(TCheckContext& c, TCheckClient& client, const std::string& topic, const std::string& what)
{
    auto found = client.WaitMessages(1, c.Answer(), topic);
    if (found.empty()) c.Fail(what, client.Name + " got no message on " + topic + " (" + client.Saw() + ")");
    // A second copy would come right behind the first.
    found = client.WaitMessages(2, std::min(c.Quiet(), 300), topic);
    if (found.size() != 1) c.Fail(what + ", once", client.Name + " got " + Listed(found));
    return found.front();
}

std::vector<TMessage> Settled(TCheckContext& c, TCheckClient& client, size_t count,
                              const std::function<bool(const TMessage&)>& filter)
{
    const auto got = client.WaitMessages(count, c.Answer(), filter);
    if (got.size() < count) return got;
    return client.WaitMessages(count + 1, c.Quiet(), filter);
}

void ExpectNone(TCheckContext& c, TCheckClient& client, const std::string& topic, const std::string& what)
{
    const auto found = client.WaitMessages(1, c.Quiet(), topic);
    if (!found.empty()) c.Fail(what, client.Name + " got " + Listed(found));
}

void ExpectClosed(TCheckContext& c, TCheckClient& client, const std::string& what, std::initializer_list<int> reasons)
{
    if (!client.WaitClosed(c.Answer()))
        c.Fail("the broker to close the connection after " + what, "the connection stayed open (" + client.Saw() + ")");
    const int reason = client.DisconnectReason();
    if (!c.V5() || reason < 0) return;
    const bool listed = reasons.size() == 0 ? reason >= 0x80
                                            : std::find(reasons.begin(), reasons.end(), reason) != reasons.end();
    if (!listed) {
        std::string wanted;
        for (int r : reasons) wanted += (wanted.empty() ? "" : " or ") + std::to_string(r);
        c.Fail("DISCONNECT with reason " + (wanted.empty() ? std::string("0x80 or above") : wanted) + " after " + what,
               "DISCONNECT with reason " + std::to_string(reason));
    }
}

void ExpectServes(TCheckContext& c)
{
    TCheckClient& next = c.Client("next");
    const TConnack connack = next.Connect();
    if (connack.Code != 0) c.Fail("the broker to serve the next client", "CONNECT answered " + next.Saw());
    const size_t mark = next.Mark();
    next.Ping();
    if (!next.WaitFrame(13, c.Answer(), mark)) c.Fail("PINGRESP to the next client", next.Saw());
    next.Disconnect();
}

void ExpectRefused(TCheckContext& c, const std::vector<uint8_t>& frame, const std::string& what,
                   std::initializer_list<int> reasons)
{
    TCheckClient& bad = Connected(c, "bad");
    bad.SendRaw(frame);
    ExpectClosed(c, bad, what, reasons);
    ExpectServes(c);
}

TConnack RawConnectAnswer(TCheckContext& c, TCheckClient& client, const std::vector<uint8_t>& connect)
{
    const size_t mark = client.Mark();
    client.SendRaw(connect);
    TConnack connack;
    if (const auto frame = client.WaitFrame(2, c.Answer(), mark)) {
        auto packet = client.Decode(*frame);
        connack.Received = true;
        connack.Code = packet->ConnectReturnCode;
        connack.SessionPresent = packet->SessionPresent;
        connack.Properties = packet->Properties;
    }
    return connack;
}

void RequireRetain(TCheckContext& c)
{
    if (!c.Facts.RetainAvailable) c.Skip("the broker does not offer retained messages");
}

void RequireQos(TCheckContext& c, int qos)
{
    if (c.Facts.MaximumQos < qos) c.Skip("the broker's maximum QoS is " + std::to_string(c.Facts.MaximumQos));
}

void RequireWildcards(TCheckContext& c)
{
    if (!c.Facts.WildcardAvailable) c.Skip("the broker does not offer wildcard subscriptions");
}

std::string UserProperty(const std::string& name, const std::string& value)
{
    return "user-property = \"" + name + "=" + value + "\"";
}

}  // namespace CheckSteps
