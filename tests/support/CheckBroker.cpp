#include "support/CheckBroker.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using TClock = std::chrono::steady_clock;
using TBytes = std::string;

// Malformed (0x81) or a protocol error (0x82) or another reason: the
// connection ends, under 5.0 after a DISCONNECT with the code.
struct TClose {
    int Reason;
};

struct TReader {
    TBytes B;   // a copy: property blocks are read from temporaries
    size_t At = 0;
    explicit TReader(TBytes b, size_t at = 0) : B(std::move(b)), At(at) {}
    size_t Left() const { return B.size() - At; }
    uint8_t U8()
    {
        if (Left() < 1) throw TClose{0x81};
        return static_cast<uint8_t>(B[At++]);
    }
    uint16_t U16() { return static_cast<uint16_t>((U8() << 8) | U8()); }
    uint32_t U32() { return (static_cast<uint32_t>(U16()) << 16) | U16(); }
    uint32_t VarInt()
    {
        uint32_t value = 0;
        for (int shift = 0; shift < 28; shift += 7) {
            const uint8_t b = U8();
            value |= static_cast<uint32_t>(b & 0x7F) << shift;
            if (!(b & 0x80)) return value;
        }
        throw TClose{0x81};
    }
    TBytes Raw(size_t n)
    {
        if (Left() < n) throw TClose{0x81};
        TBytes out = B.substr(At, n);
        At += n;
        return out;
    }
    TBytes Str() { return Raw(U16()); }
};

struct TWriter {
    TBytes B;
    TWriter& U8(uint8_t v) { B += static_cast<char>(v); return *this; }
    TWriter& U16(uint16_t v) { return U8(static_cast<uint8_t>(v >> 8)).U8(static_cast<uint8_t>(v)); }
    TWriter& U32(uint32_t v) { return U16(static_cast<uint16_t>(v >> 16)).U16(static_cast<uint16_t>(v)); }
    TWriter& VarInt(uint32_t v)
    {
        do {
            uint8_t d = v % 128;
            v /= 128;
            U8(static_cast<uint8_t>(d | (v ? 0x80 : 0)));
        } while (v);
        return *this;
    }
    TWriter& Str(const TBytes& s) { U16(static_cast<uint16_t>(s.size())); B += s; return *this; }
    TBytes Frame(uint8_t first) const
    {
        TWriter f;
        f.U8(first).VarInt(static_cast<uint32_t>(B.size()));
        return f.B + B;
    }
};

// Well-formed UTF-8 without surrogates and without U+0000.
bool ValidText(const TBytes& s)
{
    for (size_t i = 0; i < s.size();) {
        const auto c = static_cast<uint8_t>(s[i]);
        if (c == 0) return false;
        const int n = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
        if (n == 0 || i + n > s.size() || (n == 2 && c < 0xC2)) return false;
        for (int k = 1; k < n; ++k)
            if ((static_cast<uint8_t>(s[i + k]) & 0xC0) != 0x80) return false;
        if (n == 3 && c == 0xED && static_cast<uint8_t>(s[i + 1]) >= 0xA0) return false;
        i += n;
    }
    return true;
}

bool ValidFilter(const TBytes& f)
{
    if (f.empty() || !ValidText(f)) return false;
    size_t start = 0;
    for (;;) {
        const size_t end = f.find('/', start);
        const TBytes level = f.substr(start, end == TBytes::npos ? TBytes::npos : end - start);
        if (level.find_first_of("+#") != TBytes::npos && level.size() != 1) return false;
        if (level == "#" && end != TBytes::npos) return false;
        if (end == TBytes::npos) return true;
        start = end + 1;
    }
}

bool Matches(const TBytes& filter, const TBytes& topic, bool dollarMatched)
{
    if (!topic.empty() && topic[0] == '$' && !dollarMatched && (filter[0] == '+' || filter[0] == '#')) return false;
    size_t f = 0, t = 0;
    for (;;) {
        const size_t fe = filter.find('/', f), te = topic.find('/', t);
        const TBytes fl = filter.substr(f, fe == TBytes::npos ? TBytes::npos : fe - f);
        if (fl == "#") return true;
        if (t > topic.size()) return false;
        const TBytes tl = topic.substr(t, te == TBytes::npos ? TBytes::npos : te - t);
        if (fl != "+" && fl != tl) return false;
        if (fe == TBytes::npos || te == TBytes::npos) {
            if (fe == TBytes::npos && te == TBytes::npos) return true;
            // "a/#" matches "a": the filter's next level is the last and is "#".
            return te == TBytes::npos && filter.compare(fe + 1, TBytes::npos, "#") == 0;
        }
        f = fe + 1;
        t = te + 1;
    }
}

struct TMessage {
    TBytes Topic, Payload, Props;   // Props: the properties forwarded as they came, but the expiry
    int Qos = 0;
    bool Retain = false;
    std::optional<uint32_t> Expiry;
    TClock::time_point Arrived = TClock::now();
    TBytes From;                    // the publishing ClientID
    bool Expired() const
    {
        return Expiry && TClock::now() - Arrived >= std::chrono::seconds(*Expiry);
    }
};

struct TSub {
    TBytes Filter, Share;
    int Qos = 0;
    bool NoLocal = false, Rap = false;
    uint32_t Id = 0;
};

struct TOut {
    TMessage M;
    int Qos;
    bool Retain;
    std::vector<uint32_t> SubIds;
    bool Sent = false;       // went out before: sent again with DUP and its packet identifier
    uint16_t Id = 0;
};

struct TConn;

struct TSession {
    TBytes Id;
    std::vector<TSub> Subs;
    std::deque<TOut> Waiting;               // not yet sent (absent, or over the client's Receive Maximum)
    std::vector<TOut> Held;                 // Scrambled: the message sent after the next one
    std::map<uint16_t, TOut> Inflight;      // sent, not yet acknowledged
    std::set<uint16_t> Qos2In;              // PUBREC sent, PUBREL not yet received
    uint16_t NextId = 0;
    TConn* Conn = nullptr;
    uint32_t Expiry = 0;                    // 5.0 Session Expiry Interval; 3.x: 0 clean, max kept
    TClock::time_point EndsAt{};
};

struct TConn {
    int Fd = -1;
    int Version = 4;
    bool Connected = false, Gone = false, CleanEnd = false;
    TSession* S = nullptr;
    int KeepAlive = 0;
    TClock::time_point LastIn = TClock::now();
    uint32_t RecvMax = 65535, MaxPacket = 0;
    std::map<uint16_t, TBytes> Aliases;
    std::optional<TMessage> Will;
    uint32_t WillDelay = 0;
    std::thread Reader;
};

struct TPendingWill {
    TMessage M;
    TClock::time_point At;
    TBytes SessionId;
};

}  // namespace

struct CheckBroker::TImpl {
    TPlantedFault Fault;
    int Listener = -1, PortNumber = 0;
    std::atomic<bool> Stopping{false};
    std::mutex M;
    std::vector<std::unique_ptr<TConn>> Conns;
    std::map<TBytes, std::unique_ptr<TSession>> Sessions;
    std::map<TBytes, TMessage> Retained;
    std::vector<TPendingWill> Wills;
    std::map<TBytes, size_t> ShareTurn;
    int Assigned = 0;
    std::thread Acceptor, Timer;
    static constexpr uint16_t AliasMaximum = 10, ReceiveMaximum = 10;

    bool Is(TPlantedFault f) const { return Fault == f; }
    bool V5(const TConn& c) const { return c.Version == 5; }

    void Send(TConn& c, const TBytes& frame)
    {
        if (c.Gone) return;
        for (size_t done = 0; done < frame.size();) {
            const ssize_t n = ::send(c.Fd, frame.data() + done, frame.size() - done, MSG_NOSIGNAL);
            if (n <= 0) return;
            done += static_cast<size_t>(n);
        }
    }

    void Close(TConn& c, int reason)
    {
        if (c.Gone) return;
        if (V5(c) && c.Connected && reason >= 0) Send(c, TWriter().U8(static_cast<uint8_t>(reason)).Frame(0xE0));
        ::shutdown(c.Fd, SHUT_RDWR);
    }

    // ---- delivery -----------------------------------------------------------

    TBytes PublishFrame(TConn& c, const TOut& o, uint16_t id, bool dup)
    {
        TWriter w;
        w.Str(o.M.Topic);
        if (o.Qos > 0) w.U16(id);
        if (V5(c)) {
            TWriter p;
            if (o.M.Expiry) {
                const auto waited = std::chrono::duration_cast<std::chrono::seconds>(TClock::now() - o.M.Arrived).count();
                p.U8(0x02).U32(*o.M.Expiry - static_cast<uint32_t>(std::min<int64_t>(waited, *o.M.Expiry)));
            }
            p.B += o.M.Props;
            for (uint32_t sid : o.SubIds) p.U8(0x0B).VarInt(sid);
            if (Is(TPlantedFault::LooseAnswers)) p.U8(0x23).U16(99).U8(0x0B).VarInt(99);
            w.VarInt(static_cast<uint32_t>(p.B.size()));
            w.B += p.B;
        }
        const bool scrambled = Is(TPlantedFault::Scrambled);
        w.B += scrambled ? TBytes(o.M.Payload.rbegin(), o.M.Payload.rend()) : o.M.Payload;
        return w.Frame(static_cast<uint8_t>(0x30 | (dup || scrambled ? 8 : 0) | (o.Qos << 1) | (o.Retain != scrambled ? 1 : 0)));
    }

    // Sends what the session has waiting, as far as the client's Receive Maximum lets it.
    void Pump(TSession& s)
    {
        TConn* c = s.Conn;
        if (!c || !c->Connected) return;
        // A QoS 1 or 2 message held back by the Receive Maximum does not hold up QoS 0 ones.
        for (auto it = s.Waiting.begin(); it != s.Waiting.end();) {
            TOut o = *it;
            if (o.Qos > 0 && s.Inflight.size() >= c->RecvMax && !Is(TPlantedFault::ReceiveMaximumIgnored) && !Is(TPlantedFault::LooseAnswers)) {
                ++it;
                continue;
            }
            it = s.Waiting.erase(it);
            if (o.M.Expired()) continue;
            uint16_t id = o.Id;
            if (o.Qos > 0 && id == 0) {
                do id = ++s.NextId; while (id == 0 || s.Inflight.count(id));
            }
            o.Id = id;
            const TBytes frame = PublishFrame(*c, o, id, o.Sent);
            if (c->MaxPacket && frame.size() > c->MaxPacket && !Is(TPlantedFault::LooseAnswers)) continue;   // too large for the client: dropped
            Send(*c, frame);
            o.Sent = true;
            if (o.Qos > 0) s.Inflight[id] = o;
        }
    }

    void Deliver(TSession& s, const TMessage& m, int qos, bool retain, std::vector<uint32_t> ids)
    {
        if (!s.Conn && (qos == 0 || Is(TPlantedFault::SessionForgotten))) return;
        if (Is(TPlantedFault::Scrambled) && s.Held.empty()) {   // sent after the next one
            s.Held.push_back(TOut{m, qos, retain, std::move(ids)});
            return;
        }
        s.Waiting.push_back(TOut{m, qos, retain, std::move(ids)});
        for (TOut& held : s.Held) s.Waiting.push_back(held);
        s.Held.clear();
        Pump(s);
    }

    void Route(const TMessage& m)
    {
        if (Is(TPlantedFault::DeliverNothing)) return;
        if (Is(TPlantedFault::Scrambled)) {
            for (auto& [id, s] : Sessions) Deliver(*s, m, m.Qos, m.Retain, {});
            return;
        }
        std::map<TBytes, std::vector<std::pair<TSession*, const TSub*>>> shared;
        for (auto& [id, s] : Sessions) {
            int qos = -1;
            bool retain = false;
            std::vector<uint32_t> ids;
            for (const TSub& sub : s->Subs) {
                if (!Matches(sub.Filter, m.Topic, Is(TPlantedFault::DollarMatched))) continue;
                if (!sub.Share.empty()) {
                    shared[sub.Share + "/" + sub.Filter].push_back({s.get(), &sub});
                    continue;
                }
                if (sub.NoLocal && id == m.From && !Is(TPlantedFault::NoLocalIgnored)) continue;
                qos = std::max(qos, Is(TPlantedFault::NoDowngrade) ? m.Qos : std::min(m.Qos, sub.Qos));
                retain = retain || (sub.Rap && m.Retain);
                if (sub.Id) ids.push_back(sub.Id);
            }
            if (qos >= 0) Deliver(*s, m, qos, retain, ids);
        }
        for (auto& [name, members] : shared) {
            if (Is(TPlantedFault::SharedToAll)) {
                for (auto& [s, sub] : members) Deliver(*s, m, std::min(m.Qos, sub->Qos), false, {});
                continue;
            }
            auto& [s, sub] = members[ShareTurn[name]++ % members.size()];
            Deliver(*s, m, std::min(m.Qos, sub->Qos), false, {});
        }
    }

    void Publish(const TMessage& m)
    {
        if (m.Retain) {
            if (m.Payload.empty() && !Is(TPlantedFault::Scrambled)) Retained.erase(m.Topic);
            else if (!Retained.count(m.Topic) || !Is(TPlantedFault::RetainNotReplaced)) Retained[m.Topic] = m;
        }
        Route(m);
    }

    // ---- connection ends ----------------------------------------------------

    void EndSession(TSession& s)
    {
        for (auto it = Wills.begin(); it != Wills.end();)
            if (it->SessionId == s.Id) {
                Publish(it->M);
                it = Wills.erase(it);
            } else {
                ++it;
            }
        Sessions.erase(s.Id);
    }

    // The connection is gone: its will (unless a DISCONNECT discarded it), its session.
    // Unacknowledged messages go first, in their order, when the client is back.
    static void Requeue(TSession& s)
    {
        std::vector<TOut> again;
        for (auto& [id, o] : s.Inflight) again.push_back(o);
        s.Waiting.insert(s.Waiting.begin(), again.begin(), again.end());
        s.Inflight.clear();
    }

    void Lost(TConn& c)
    {
        if (c.Gone) return;
        c.Gone = true;
        if (!c.Connected || !c.S) return;
        TSession& s = *c.S;
        if (s.Conn == &c) s.Conn = nullptr;
        if (c.Will && !Is(TPlantedFault::WillNotSent)) {
            if (c.WillDelay == 0 || Is(TPlantedFault::TimersWrong)) Publish(*c.Will);
            else Wills.push_back(TPendingWill{*c.Will, TClock::now() + std::chrono::seconds(c.WillDelay), s.Id});
        }
        if (s.Conn) return;   // taken over
        Requeue(s);
        if (s.Expiry == 0) EndSession(s);
        else s.EndsAt = TClock::now() + std::chrono::seconds(s.Expiry);
    }

    // ---- packets --------------------------------------------------------------

    void OnConnect(TConn& c, TReader& r)
    {
        const TBytes name = r.Str();
        const uint8_t level = r.U8();
        const uint8_t flags = r.U8();
        c.KeepAlive = r.U16();
        if (Is(TPlantedFault::AcceptEverything) && name != "MQTT" && name != "MQIsdp") {
            Send(c, TBytes("\x20\x02\x00\x00", 4));
            c.Connected = true;
            c.S = &*Sessions.emplace("raw" + std::to_string(++Assigned), std::make_unique<TSession>()).first->second;
            return;
        }
        if (!(name == "MQTT" && (level == 4 || level == 5)) && !(name == "MQIsdp" && level == 3)) {
            if (name != "MQTT" && name != "MQIsdp") throw TClose{-1};
            Send(c, TWriter().U8(0).U8(level == 5 ? 0x84 : 1).Frame(0x20));
            throw TClose{-1};
        }
        c.Version = level;
        const bool will = flags & 0x04, clean = flags & 0x02;
        const int willQos = (flags >> 3) & 3;
        if ((flags & 1) || willQos == 3 || (!will && (willQos || (flags & 0x20))) ||
            (level == 4 && (flags & 0x40) && !(flags & 0x80)))
            throw TClose{-1};
        uint32_t expiry = clean || level == 5 ? 0 : 0xFFFFFFFF;
        if (level == 5) {
            TReader p(r.Raw(r.VarInt()));
            while (p.Left()) {
                const uint8_t id = p.U8();
                if (id == 0x11) expiry = p.U32();
                else if (id == 0x21) c.RecvMax = p.U16();
                else if (id == 0x27) c.MaxPacket = p.U32();
                else if (id == 0x22) p.U16();
                else if (id == 0x17 || id == 0x19) p.U8();
                else if (id == 0x26) { p.Str(); p.Str(); }
                else if (id == 0x15) p.Str();
                else if (id == 0x16) p.Str();
                else throw TClose{0x81};
            }
        }
        TBytes id = r.Str();
        const bool assigned = id.empty();
        if (assigned && level == 4 && !clean) {
            Send(c, TWriter().U8(0).U8(2).Frame(0x20));
            throw TClose{-1};
        }
        if (assigned && level == 3) throw TClose{-1};
        if (assigned && Is(TPlantedFault::LooseAnswers)) {
            Send(c, TWriter().U8(0).U8(5).Frame(0x20));
            throw TClose{-1};
        }
        if (assigned) id = "auto-" + std::to_string(++Assigned);
        if (Is(TPlantedFault::ClientIdTooShort) && id.size() >= 23) {
            Send(c, TWriter().U8(0).U8(level == 5 ? 0x85 : 2).Frame(0x20));
            throw TClose{-1};
        }
        if (will) {
            TMessage w;
            if (level == 5) {
                TReader p(r.Raw(r.VarInt()));
                while (p.Left()) {
                    const uint8_t pid = p.U8();
                    const size_t start = p.At - 1;
                    if (pid == 0x18) { c.WillDelay = p.U32(); continue; }
                    if (pid == 0x02) { w.Expiry = p.U32(); continue; }
                    if (pid == 0x01) p.U8();
                    else if (pid == 0x03 || pid == 0x08 || pid == 0x09) p.Str();
                    else if (pid == 0x26) {
                        p.Str();
                        p.Str();
                        if (Is(TPlantedFault::UserPropertiesDropped)) continue;
                    } else throw TClose{0x81};
                    w.Props += p.B.substr(start, p.At - start);
                }
            }
            w.Topic = r.Str();
            w.Payload = r.Str();
            w.Qos = willQos;
            w.Retain = flags & 0x20;
            w.From = id;
            c.Will = w;
        }
        // Taking over: the old connection ends; a reconnect in time cancels a delayed will.
        bool present = false;
        auto found = Sessions.find(id);
        if (found != Sessions.end()) {
            // LooseAnswers leaves the old connection open, but no longer with the session.
            if (TConn* old = found->second->Conn; old && Is(TPlantedFault::LooseAnswers)) {
                old->Connected = false;
                old->S = nullptr;
            } else if (old) {
                Close(*old, 0x8E);
                Lost(*old);
            }
            Wills.erase(std::remove_if(Wills.begin(), Wills.end(), [&](const TPendingWill& w) { return w.SessionId == id; }),
                        Wills.end());
            found = Sessions.find(id);
        }
        if (found != Sessions.end() && clean) {
            Sessions.erase(found);
            found = Sessions.end();
        }
        if (found == Sessions.end()) {
            auto s = std::make_unique<TSession>();
            s->Id = id;
            found = Sessions.emplace(id, std::move(s)).first;
        } else {
            present = true;
        }
        TSession& s = *found->second;
        s.Expiry = Is(TPlantedFault::SessionsInverted) || Is(TPlantedFault::TimersWrong) ? 0 : expiry;
        if (Is(TPlantedFault::SessionsInverted)) present = !present;
        s.Conn = &c;
        c.S = &s;
        c.Connected = true;
        TWriter ack;
        ack.U8(present && level > 3 ? 1 : 0).U8(0);
        if (level == 5) {
            TWriter p;
            p.U8(0x22).U16(AliasMaximum).U8(0x21).U16(ReceiveMaximum);
            if (assigned && !Is(TPlantedFault::NoAssignedId)) p.U8(0x12).Str(id);
            if (Is(TPlantedFault::LooseAnswers)) p.U8(0x1A).Str("x").U8(0x13).U16(1).U8(0x24).U8(1).U8(0x25).U8(0).U8(0x27).U32(1000);
            ack.VarInt(static_cast<uint32_t>(p.B.size()));
            ack.B += p.B;
        }
        if (Is(TPlantedFault::LooseAnswers)) Send(c, TBytes("\xD0\x00", 2));   // something before CONNACK, and CONNACK twice
        Send(c, ack.Frame(0x20));
        if (Is(TPlantedFault::LooseAnswers)) Send(c, ack.Frame(0x20));
        Requeue(s);
        Pump(s);
    }

    void OnPublish(TConn& c, uint8_t first, TReader& r)
    {
        const int qos = (first >> 1) & 3;
        if (qos == 3) throw TClose{0x81};
        TMessage m;
        m.Topic = r.Str();
        m.Qos = qos;
        m.Retain = first & 1;
        m.From = c.S->Id;
        const uint16_t id = qos ? r.U16() : 0;
        if (qos && id == 0) throw TClose{0x82};
        if (V5(c)) {
            TReader p(r.Raw(r.VarInt()));
            std::optional<uint16_t> alias;
            while (p.Left()) {
                const uint8_t pid = p.U8();
                const size_t start = p.At - 1;
                if (pid == 0x23) { alias = p.U16(); continue; }
                if (pid == 0x02) { m.Expiry = p.U32(); continue; }
                if (pid == 0x0B) throw TClose{0x82};
                if (pid == 0x01) p.U8();
                else if (pid == 0x03 || pid == 0x08 || pid == 0x09) p.Str();
                else if (pid == 0x26) {
                    p.Str();
                    p.Str();
                    if (Is(TPlantedFault::UserPropertiesDropped)) continue;
                } else throw TClose{0x81};
                m.Props += p.B.substr(start, p.At - start);
            }
            if (alias) {
                if (*alias == 0 || *alias > AliasMaximum) throw TClose{0x94};
                if (!m.Topic.empty()) c.Aliases[*alias] = m.Topic;
                else if (c.Aliases.count(*alias)) m.Topic = Is(TPlantedFault::AliasIgnored) ? "\x01" : c.Aliases[*alias];
                else throw TClose{0x82};
            }
        }
        m.Payload = r.Raw(r.Left());
        if (m.Topic.empty() || !ValidText(m.Topic)) throw TClose{0x82};
        if (m.Topic.find_first_of("+#") != TBytes::npos && !Is(TPlantedFault::MalformedAccepted)) throw TClose{0x90};
        if (m.Expiry && Is(TPlantedFault::MessageNeverExpires)) m.Expiry.reset();
        const uint16_t answerId = static_cast<uint16_t>(id + (Is(TPlantedFault::LooseAnswers) ? 1 : 0));
        if (qos == 1) Send(c, TWriter().U16(answerId).Frame(0x40));
        if (qos == 2) {
            const bool repeated = c.S->Qos2In.count(id) > 0;
            if (!repeated && c.S->Qos2In.size() >= ReceiveMaximum && V5(c)) throw TClose{0x93};
            c.S->Qos2In.insert(id);
            Send(c, TWriter().U16(id).Frame(0x50));
            if (repeated && !Is(TPlantedFault::QosTwoDuplicate)) return;
        }
        if (m.Topic != "\x01") Publish(m);
    }

    void OnSubscribe(TConn& c, TReader& r)
    {
        const uint16_t id = r.U16();
        uint32_t subId = 0;
        if (V5(c)) {
            TReader p(r.Raw(r.VarInt()));
            while (p.Left()) {
                const uint8_t pid = p.U8();
                if (pid == 0x0B) subId = p.VarInt();
                else if (pid == 0x26) { p.Str(); p.Str(); }
                else throw TClose{0x81};
            }
        }
        if (!r.Left()) throw TClose{0x82};
        TWriter ack;
        ack.U16(static_cast<uint16_t>(id + (Is(TPlantedFault::LooseAnswers) ? 1 : 0)));
        if (V5(c) && Is(TPlantedFault::LooseAnswers)) ack.U8(4).U8(0x1F).Str("x");
        else if (V5(c)) ack.U8(0);
        std::vector<TMessage> retained;
        while (r.Left()) {
            TBytes filter = r.Str();
            const uint8_t options = r.U8();
            const int qos = options & 3;
            if (qos == 3 || (options & (V5(c) ? 0xC0 : 0xFC)) || (options >> 4 & 3) == 3) throw TClose{0x81};
            TSub sub{filter, {}, qos, bool(options & 4), bool(options & 8), subId};
            const int rh = V5(c) ? options >> 4 & 3 : 0;
            if (filter.rfind("$share/", 0) == 0) {
                const size_t slash = filter.find('/', 7);
                sub.Share = filter.substr(7, slash == TBytes::npos ? 0 : slash - 7);
                sub.Filter = slash == TBytes::npos ? "" : filter.substr(slash + 1);
                if (sub.NoLocal) throw TClose{0x82};
                if (sub.Share.empty() || sub.Share.find_first_of("+#") != TBytes::npos) sub.Filter.clear();
            }
            if (!ValidFilter(sub.Filter) && !Is(TPlantedFault::AcceptEverything)) {
                ack.U8(V5(c) ? 0x8F : 0x80);
                continue;
            }
            auto& subs = c.S->Subs;
            auto old = std::find_if(subs.begin(), subs.end(),
                                    [&](const TSub& s) { return s.Filter == sub.Filter && s.Share == sub.Share; });
            const bool existed = old != subs.end();
            if (existed) *old = sub;
            else subs.push_back(sub);
            ack.U8(static_cast<uint8_t>(Is(TPlantedFault::LooseAnswers) ? 2 : qos));
            if (!Is(TPlantedFault::Scrambled) && (!sub.Share.empty() || rh == 2 || (rh == 1 && existed))) continue;
            for (auto& [topic, m] : Retained)
                if (!m.Expired() && Matches(sub.Filter, topic, Is(TPlantedFault::DollarMatched))) {
                    TMessage copy = m;
                    copy.Qos = Is(TPlantedFault::NoDowngrade) ? m.Qos : Is(TPlantedFault::LooseAnswers) ? qos : std::min(m.Qos, qos);
                    retained.push_back(copy);
                }
        }
        Send(c, ack.Frame(0x90));
        for (const TMessage& m : retained)
            if (!Is(TPlantedFault::DeliverNothing)) Deliver(*c.S, m, m.Qos, true, subId ? std::vector<uint32_t>{subId} : std::vector<uint32_t>{});
    }

    void OnUnsubscribe(TConn& c, TReader& r)
    {
        const uint16_t id = r.U16();
        if (V5(c)) r.Raw(r.VarInt());
        if (!r.Left()) throw TClose{0x82};
        TWriter ack;
        ack.U16(static_cast<uint16_t>(id + (Is(TPlantedFault::LooseAnswers) ? 1 : 0)));
        if (V5(c)) ack.U8(0);
        while (r.Left()) {
            const TBytes filter = r.Str();
            auto& subs = c.S->Subs;
            const auto before = subs.size();
            subs.erase(std::remove_if(subs.begin(), subs.end(), [&](const TSub& s) { return s.Filter == filter; }),
                       subs.end());
            if (V5(c)) ack.U8(subs.size() < before ? 0x00 : 0x11);
        }
        Send(c, ack.Frame(0xB0));
    }

    // One whole frame from the client, under the lock.
    void OnFrame(TConn& c, const TBytes& frame, size_t headerSize)
    {
        const auto first = static_cast<uint8_t>(frame[0]);
        const int type = first >> 4;
        TReader r(frame, headerSize);
        c.LastIn = TClock::now();
        if (!c.Connected) {
            if (type != 1) throw TClose{-1};
            OnConnect(c, r);
            return;
        }
        static const uint8_t flags[16] = {0xFF, 0, 0, 0xFF, 0, 0, 2, 0, 2, 0, 2, 0, 0, 0, 0, 0};
        if (type == 0 || (type == 15 && !V5(c)) || (type != 3 && (first & 15) != flags[type])) throw TClose{0x81};
        TSession& s = *c.S;
        switch (type) {
        case 1: throw TClose{0x82};
        case 3: OnPublish(c, first, r); return;
        case 4:
        case 7:
            s.Inflight.erase(r.U16());
            Pump(s);
            return;
        case 5: {
            const uint16_t id = r.U16();
            Send(c, TWriter().U16(id).Frame(0x62));
            return;
        }
        case 6: {
            const uint16_t id = r.U16();
            TWriter comp;
            comp.U16(static_cast<uint16_t>(id + (Is(TPlantedFault::LooseAnswers) ? 1 : 0)));
            if (V5(c) && !s.Qos2In.count(id)) comp.U8(0x92);
            s.Qos2In.erase(id);
            Send(c, comp.Frame(0x70));
            return;
        }
        case 8: OnSubscribe(c, r); return;
        case 10: OnUnsubscribe(c, r); return;
        case 12:
            if (r.Left()) throw TClose{0x81};
            if (!Is(TPlantedFault::DeliverNothing)) Send(c, TBytes("\xD0\x00", 2));
            return;
        case 14: {
            const int reason = V5(c) && r.Left() ? r.U8() : 0;
            c.CleanEnd = reason == 0 && !Is(TPlantedFault::LooseAnswers);   // only a normal DISCONNECT discards the will
            throw TClose{-2};
        }
        default: throw TClose{0x82};
        }
    }

    // ---- threads ----------------------------------------------------------

    void ReadLoop(TConn* c)
    {
        TBytes buffer;
        char chunk[65536];
        for (;;) {
            const ssize_t n = ::recv(c->Fd, chunk, sizeof chunk, 0);
            if (n <= 0) break;
            buffer.append(chunk, static_cast<size_t>(n));
            bool closed = false;
            for (;;) {
                // The remaining length: at most four bytes.
                size_t at = 1;
                uint32_t length = 0;
                bool complete = false, bad = false;
                for (int shift = 0; at < buffer.size(); shift += 7, ++at) {
                    if (shift >= 28) { bad = true; break; }
                    const auto b = static_cast<uint8_t>(buffer[at]);
                    length |= static_cast<uint32_t>(b & 0x7F) << shift;
                    if (!(b & 0x80)) { complete = true; ++at; break; }
                }
                std::lock_guard lock(M);
                if (c->Gone) {   // taken over
                    closed = true;
                    break;
                }
                if (bad) {
                    Close(*c, 0x81);
                    closed = true;
                    break;
                }
                if (!complete || buffer.size() < at + length) break;
                const TBytes frame = buffer.substr(0, at + length);
                buffer.erase(0, at + length);
                try {
                    OnFrame(*c, frame, at);
                } catch (const TClose& close) {
                    if (Is(TPlantedFault::AcceptEverything) && close.Reason != -2) continue;
                    Close(*c, close.Reason);
                    closed = true;
                    break;
                }
            }
            if (closed) break;
        }
        std::lock_guard lock(M);
        if (c->CleanEnd) c->Will.reset();
        Lost(*c);
    }

    void TimerLoop()
    {
        while (!Stopping) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            std::lock_guard lock(M);
            const auto now = TClock::now();
            for (auto& c : Conns)
                if (!c->Gone && c->Connected && c->KeepAlive > 0 &&
                    now - c->LastIn > std::chrono::milliseconds(c->KeepAlive * (Is(TPlantedFault::TimersWrong) ? 500 : 1500)))
                    Close(*c, 0x8D);
            for (auto it = Wills.begin(); it != Wills.end();)
                if (now >= it->At) {
                    Publish(it->M);
                    it = Wills.erase(it);
                } else {
                    ++it;
                }
            std::vector<TSession*> ended;
            for (auto& [id, s] : Sessions)
                if (!s->Conn && s->Expiry != 0xFFFFFFFF && now >= s->EndsAt) ended.push_back(s.get());
            for (TSession* s : ended) EndSession(*s);
        }
    }

    void AcceptLoop()
    {
        for (;;) {
            const int fd = ::accept(Listener, nullptr, nullptr);
            if (fd < 0) return;
            int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            std::lock_guard lock(M);
            if (Stopping) {
                ::close(fd);
                return;
            }
            auto c = std::make_unique<TConn>();
            c->Fd = fd;
            TConn* raw = c.get();
            c->Reader = std::thread([this, raw] { ReadLoop(raw); });
            Conns.push_back(std::move(c));
        }
    }
};

CheckBroker::CheckBroker(TPlantedFault fault) : FImpl(std::make_unique<TImpl>())
{
    FImpl->Fault = fault;
    FImpl->Listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ::bind(FImpl->Listener, reinterpret_cast<sockaddr*>(&address), size);
    ::listen(FImpl->Listener, 128);
    ::getsockname(FImpl->Listener, reinterpret_cast<sockaddr*>(&address), &size);
    FImpl->PortNumber = ntohs(address.sin_port);
    FImpl->Acceptor = std::thread([this] { FImpl->AcceptLoop(); });
    FImpl->Timer = std::thread([this] { FImpl->TimerLoop(); });
}

CheckBroker::~CheckBroker()
{
    FImpl->Stopping = true;
    ::shutdown(FImpl->Listener, SHUT_RDWR);
    ::close(FImpl->Listener);
    FImpl->Acceptor.join();
    FImpl->Timer.join();
    {
        std::lock_guard lock(FImpl->M);
        for (auto& c : FImpl->Conns) ::shutdown(c->Fd, SHUT_RDWR);
    }
    for (auto& c : FImpl->Conns) {
        c->Reader.join();
        ::close(c->Fd);
    }
}

int CheckBroker::Port() const
{
    return FImpl->PortNumber;
}
