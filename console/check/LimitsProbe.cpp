#include "console/check/LimitsProbe.h"

namespace {

const TCheck ProbeCheck{"limits", TCheckFamily::Connect, VAll, {}, {}, "the broker's limits", nullptr};

// The largest size of the ladder that try() accepts, stopping at the first refusal.
template <class TTry>
int64_t Ladder(std::initializer_list<int64_t> sizes, TTry tryOne, bool& atTop)
{
    int64_t best = 0;
    atTop = false;
    for (int64_t size : sizes) {
        if (!tryOne(size)) return best;
        best = size;
    }
    atTop = true;
    return best;
}

void ReadFacts(const TConnack& connack, TBrokerFacts& facts)
{
    facts.Known = true;
    auto number = [&](uint8_t id, uint32_t fallback) {
        const TProperty* p = connack.Find(id);
        return p ? p->Number : fallback;
    };
    facts.MaximumQos = static_cast<int>(number(0x24, 2));
    facts.RetainAvailable = number(0x25, 1) != 0;
    facts.WildcardAvailable = number(0x28, 1) != 0;
    facts.SubscriptionIdsAvailable = number(0x29, 1) != 0;
    facts.SharedAvailable = number(0x2A, 1) != 0;
    facts.TopicAliasMaximum = number(0x22, 0);
    facts.ReceiveMaximum = number(0x21, 65535);
    facts.MaximumPacketSize = number(0x27, 0);
    facts.ServerKeepAlive = connack.Find(0x13) ? static_cast<int>(connack.Find(0x13)->Number) : -1;
}

bool Granted(const TAck& ack) { return ack.Received && ack.Codes.size() == 1 && ack.Codes[0] < 0x80; }

}  // namespace

TLimitsReport ProbeLimits(const TCheckSettings& settings, TProtocolVersion version, const std::atomic<bool>& cancel)
{
    TLimitsReport limits;
    limits.Version = version;
    TBrokerFacts unknown;
    TCheckContext context(ProbeCheck, version, settings, unknown, 0, cancel);
    try {
        TCheckClient& probe = context.Client("probe");
        const TConnack connack = probe.Connect();
        if (!connack.Received || connack.Code != 0) {
            // 1 (3.x) or 0x84 (5.0), and 1 from a broker that answers a 5.0 CONNECT the 3.1.1 way.
            // A broker that knows no 5.0 may also just close the connection.
            limits.RefusedVersion = connack.Received ? connack.Code == 1 || connack.Code == 0x84
                                                     : probe.WaitClosed(context.Answer());
            limits.Error = connack.Received ? "CONNACK refused the connection with code " + std::to_string(connack.Code)
                                            : "no CONNACK: " + probe.Saw();
            return limits;
        }
        limits.Connected = true;
        ReadFacts(connack, limits.Facts);
        limits.KeepAlive = limits.Facts.ServerKeepAlive >= 0 ? limits.Facts.ServerKeepAlive : 60;

        const std::string base = context.Topic("probe");
        TAck ack = probe.Subscribe({base + "/q"}, {"2"});
        limits.GrantedQos = ack.Codes.empty() || ack.Codes[0] >= 0x80 ? -1 : ack.Codes[0];
        limits.Wildcards = Granted(probe.Subscribe({base + "/w/#"}, {"0"})) &&
                           Granted(probe.Subscribe({base + "/+/x"}, {"0"}));
        if (version == TProtocolVersion::MQTT50)
            limits.Shared = limits.Facts.SharedAvailable && Granted(probe.Subscribe({"$share/tw/" + base + "/s"}, {"0"}));
        if (version != TProtocolVersion::MQTT50) {
            limits.Facts.WildcardAvailable = limits.Wildcards;
            limits.Facts.MaximumQos = std::max(limits.GrantedQos, 0);
            limits.Facts.SharedAvailable = false;
            limits.Facts.SubscriptionIdsAvailable = false;
        }

        // A retained message comes back to a new subscriber; then it is cleared.
        if (limits.Facts.RetainAvailable) {
            probe.Publish(base + "/r", "retained", 1, true);
            context.Retained(base + "/r");
            TCheckClient& reader = context.Client("reader");
            if (reader.Connect().Code == 0) {
                reader.Subscribe({base + "/r"}, {"0"});
                limits.Retain = reader.WaitMessage(base + "/r", context.Answer()).has_value();
            }
            reader.Disconnect();
        }
        if (version != TProtocolVersion::MQTT50) limits.Facts.RetainAvailable = limits.Retain;

        // Each try that the broker refuses costs the connection: it is made anew.
        TCheckClient* sender = &probe;
        auto accepted = [&](const TAck& a) { return a.Received && a.Code < 0x80; };
        auto fresh = [&] {
            if (sender->Open()) return true;
            sender = &context.Client("probe");
            return sender->Connect().Code == 0;
        };
        limits.LongestTopic = static_cast<int>(Ladder({64, 256, 1024, 4096, 16384, 65535}, [&](int64_t size) {
            if (cancel || !fresh()) return false;
            std::string topic = base + "/";
            topic.resize(static_cast<size_t>(size), 'x');
            return accepted(sender->Publish(topic, "t", 1));
        }, limits.TopicAtLadderTop));
        const int64_t packetCap = limits.Facts.MaximumPacketSize > 0 ? limits.Facts.MaximumPacketSize : MaxProbePayload * 2;
        limits.LargestPayload = Ladder({1024, 65536, 1024 * 1024, MaxProbePayload}, [&](int64_t size) {
            if (cancel || !fresh() || size + 256 > packetCap) return false;
            return accepted(sender->Publish(base + "/p", std::string(static_cast<size_t>(size), 'p'), 1));
        }, limits.PayloadAtLadderTop);
        probe.Disconnect();
        limits.LongestClientId = static_cast<int>(Ladder({23, 64, 256, 1024, 65535}, [&](int64_t size) {
            if (cancel) return false;
            TCheckClient& client = context.Client("id");
            TConnectOptions options;
            options.ClientID = settings.IdPrefix + std::string(static_cast<size_t>(size) - settings.IdPrefix.size(), 'i');
            const bool ok = client.Connect(options).Code == 0;
            client.Disconnect();
            return ok;
        }, limits.ClientIdAtLadderTop));
    } catch (const TCheckStop& stop) {
        limits.Error = stop.Reason;
    }
    context.CleanUp();
    return limits;
}

std::vector<std::string> LimitLines(const TLimitsReport& limits)
{
    std::vector<std::string> lines;
    const std::string version = "MQTT " + std::string(VersionWord(limits.Version));
    if (!limits.Connected) {
        lines.push_back(version + ": not probed: " + limits.Error);
        return lines;
    }
    auto atLeast = [](bool top) { return top ? "at least " : ""; };
    lines.push_back(version + ": longest topic " + atLeast(limits.TopicAtLadderTop) + std::to_string(limits.LongestTopic) +
                    " bytes, longest ClientID " + atLeast(limits.ClientIdAtLadderTop) +
                    std::to_string(limits.LongestClientId) + " bytes, largest payload " +
                    atLeast(limits.PayloadAtLadderTop) + std::to_string(limits.LargestPayload) + " bytes");
    std::string features = version + ": maximum QoS " + std::to_string(limits.Facts.MaximumQos) +
                           ", QoS 2 subscription granted " +
                           (limits.GrantedQos < 0 ? std::string("refused") : std::to_string(limits.GrantedQos)) +
                           ", retain " + (limits.Retain ? "yes" : "no") + ", wildcards " +
                           (limits.Wildcards ? "yes" : "no");
    if (limits.Version == TProtocolVersion::MQTT50)
        features += std::string(", shared subscriptions ") + (limits.Shared ? "yes" : "no") +
                    ", subscription identifiers " + (limits.Facts.SubscriptionIdsAvailable ? "yes" : "no") +
                    ", topic alias maximum " + std::to_string(limits.Facts.TopicAliasMaximum) + ", receive maximum " +
                    std::to_string(limits.Facts.ReceiveMaximum) +
                    (limits.Facts.MaximumPacketSize ? ", maximum packet size " + std::to_string(limits.Facts.MaximumPacketSize)
                                                    : std::string());
    features += ", keep-alive granted for 60 s: " + std::to_string(limits.KeepAlive) + " s";
    lines.push_back(features);
    return lines;
}
