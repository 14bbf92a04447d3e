#pragma once

// A small MQTT 3.1/3.1.1 broker over the scripted FakeBroker, for tests of
// several clients: it keeps each connection's ClientID, will and
// subscriptions (exact topics), passes PUBLISH on at QoS 0 to 2 (a QoS 2
// message once its PUBREL came), sends a will when a connection ends without
// DISCONNECT, closes the older of two connections with one ClientID, and closes
// a connection whose frame has the reserved type 0 (under 5.0 after DISCONNECT
// 0x81 Malformed Packet: a 5.0 client gets its CONNACK and that, nothing more of 5.0).
#include "support/FakeBroker.h"
#include "support/MqttFrames.h"

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

class TRelayBroker {
public:
    // The broker's threads share the relay's state, so a frame in flight
    // outlives the relay (the broker goes after it).
    explicit TRelayBroker(FakeBroker& broker);

private:
    struct TState;
    std::shared_ptr<TState> State;
};

struct TRelayBroker::TState {
    explicit TState(FakeBroker& broker) : Broker(broker) {}
    using TFrame = testframes::TFrame;
    struct TMessage {
        std::string Topic;
        std::vector<uint8_t> Payload;
        int Qos = 0;
    };
    struct TClient {
        std::string ID;
        bool HasWill = false;
        TMessage Will;
        std::map<std::string, int> Subscriptions;
        std::map<int, TMessage> Released;   // QoS 2 messages waiting for their PUBREL
        int NextID = 0;
        bool Gone = false;
        bool V5 = false;
    };
    using TOut = std::vector<std::pair<int, TFrame>>;

    // A 5.0 property block, skipped.
    static void SkipProperties(const TFrame& f, std::size_t& at)
    {
        std::size_t length = 0, shift = 0;
        do
            length |= std::size_t(f.at(at) & 0x7F) << shift, shift += 7;
        while (f.at(at++) & 0x80);
        at += length;
    }

    static std::string String(const TFrame& f, std::size_t& at)
    {
        const std::size_t n = (std::size_t(f.at(at)) << 8) | f.at(at + 1);
        std::string text(f.begin() + std::ptrdiff_t(at + 2), f.begin() + std::ptrdiff_t(at + 2 + n));
        at += 2 + n;
        return text;
    }

    void Deliver(const TMessage& m, TOut& out)
    {
        for (auto& [conn, client] : Clients) {
            const auto sub = client.Subscriptions.find(m.Topic);
            if (client.Gone || sub == client.Subscriptions.end())
                continue;
            const int qos = std::min(m.Qos, sub->second);
            client.NextID = client.NextID % 65535 + 1;
            out.emplace_back(conn, testframes::BrokerPublish(qos, client.NextID, m.Topic, m.Payload));
        }
    }

    void Handle(int conn, const TFrame& f)
    {
        using namespace testframes;
        TOut out;
        int takenOver = -1;
        bool close = false;
        {
            std::lock_guard lock(Lock);
            TClient& c = Clients[conn];
            std::size_t at = HeaderEnd(f);
            switch (TypeOf(f)) {
            case 0:
                close = true;   // a protocol error: the connection ends, the will goes out
                if (c.V5)
                    out.emplace_back(conn, Answer5(0xE0, -1, 0x81));
                break;
            case 1: {
                String(f, at);                      // protocol name
                c.V5 = f.at(at) == 5;
                const uint8_t flags = f.at(at + 1);
                at += 4;                            // level, flags, keep-alive
                if (c.V5)
                    SkipProperties(f, at);
                c.ID = String(f, at);
                c.HasWill = (flags & 0x04) != 0;
                if (c.HasWill) {
                    if (c.V5)
                        SkipProperties(f, at);
                    c.Will.Topic = String(f, at);
                    const std::string payload = String(f, at);
                    c.Will.Payload.assign(payload.begin(), payload.end());
                    c.Will.Qos = (flags >> 3) & 3;
                }
                for (auto& [other, client] : Clients)
                    if (other != conn && !client.Gone && client.ID == c.ID) {
                        client.Gone = true;
                        takenOver = other;
                    }
                out.emplace_back(conn, c.V5 ? Connack5(0) : Connack(0));
                break;
            }
            case 3: {
                TMessage m;
                m.Qos = (f[0] >> 1) & 3;
                m.Topic = String(f, at);
                const int id = m.Qos > 0 ? IdOf(f) : 0;
                m.Payload.assign(f.begin() + std::ptrdiff_t(at + (m.Qos > 0 ? 2 : 0)), f.end());
                if (m.Qos == 2) {
                    c.Released[id] = m;
                    out.emplace_back(conn, Ack(5, id));
                    break;
                }
                if (m.Qos == 1)
                    out.emplace_back(conn, Ack(4, id));
                Deliver(m, out);
                break;
            }
            case 5:
                out.emplace_back(conn, Ack(6, IdOf(f), 0x02));
                break;
            case 6: {
                out.emplace_back(conn, Ack(7, IdOf(f)));
                if (const auto it = c.Released.find(IdOf(f)); it != c.Released.end()) {
                    Deliver(it->second, out);
                    c.Released.erase(it);
                }
                break;
            }
            case 8: {
                const std::vector<uint8_t> granted = RequestedQoS(f);
                at += 2;
                for (const uint8_t qos : granted) {
                    c.Subscriptions[String(f, at)] = qos;
                    ++at;
                }
                out.emplace_back(conn, Suback(IdOf(f), granted));
                break;
            }
            case 12:
                out.emplace_back(conn, Pingresp());
                break;
            case 14:
                c.HasWill = false;
                break;
            }
        }
        for (const auto& [to, frame] : out)
            Broker.Send(frame, to);
        if (takenOver >= 0)
            Broker.CloseConnection(takenOver);
        if (close) {
            Lost(conn);
            Broker.CloseConnection(conn);
        }
    }

    void Lost(int conn)
    {
        TOut out;
        {
            std::lock_guard lock(Lock);
            TClient& c = Clients[conn];
            if (!c.Gone && c.HasWill)
                Deliver(c.Will, out);
            c.Gone = true;
        }
        for (const auto& [to, frame] : out)
            Broker.Send(frame, to);
    }

    FakeBroker& Broker;
    std::mutex Lock;
    std::map<int, TClient> Clients;
};

inline TRelayBroker::TRelayBroker(FakeBroker& broker) : State(std::make_shared<TState>(broker))
{
    broker.OnFrame([state = State](const testframes::TFrame& f, FakeBroker& b) {
        state->Handle(b.HandlingConnection(), f);
    });
    broker.OnPeerClose([state = State](int conn, FakeBroker&) { state->Lost(conn); });
}
