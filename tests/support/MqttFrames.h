#pragma once

// Hand-made MQTT 3.1 (and 5.0) frames for scripted brokers, and the few fields a script
// reads from the client's frames. Written independently of the codec, so the
// codec is checked against bytes it did not make.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace testframes {

using TFrame = std::vector<uint8_t>;

inline int TypeOf(const TFrame& f) { return f.empty() ? -1 : f[0] >> 4; }

// Offset of the variable header: after the first byte and the length field.
inline std::size_t HeaderEnd(const TFrame& f)
{
    std::size_t i = 1;
    while (i < f.size() && (f[i] & 0x80))
        ++i;
    return i + 1;
}

// Identifier of SUBSCRIBE, UNSUBSCRIBE, PUBREL, PUBREC, and of a QoS 1/2 PUBLISH.
inline int IdOf(const TFrame& f)
{
    std::size_t at = HeaderEnd(f);
    if (TypeOf(f) == 3) {
        const std::size_t topicLen = (static_cast<std::size_t>(f[at]) << 8) | f[at + 1];
        at += 2 + topicLen;
    }
    return (f[at] << 8) | f[at + 1];
}

inline void AppendLength(TFrame& f, std::size_t value)
{
    do {
        uint8_t digit = value % 128;
        value /= 128;
        if (value > 0)
            digit |= 0x80;
        f.push_back(digit);
    } while (value > 0);
}

inline TFrame Ack(int type, int id, int flags = 0)
{
    return {static_cast<uint8_t>((type << 4) | flags), 2, static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id)};
}
inline TFrame Connack(int code) { return {0x20, 2, 0, static_cast<uint8_t>(code)}; }
inline TFrame Pingresp() { return {0xD0, 0}; }
inline TFrame Suback(int id, const std::vector<uint8_t>& granted)
{
    TFrame f{0x90};
    AppendLength(f, 2 + granted.size());
    f.push_back(static_cast<uint8_t>(id >> 8));
    f.push_back(static_cast<uint8_t>(id));
    f.insert(f.end(), granted.begin(), granted.end());
    return f;
}

// The granted list a broker that grants what was asked would send for a SUBSCRIBE.
inline std::vector<uint8_t> RequestedQoS(const TFrame& subscribe)
{
    std::vector<uint8_t> qos;
    std::size_t at = HeaderEnd(subscribe) + 2;
    while (at + 2 <= subscribe.size()) {
        const std::size_t len = (static_cast<std::size_t>(subscribe[at]) << 8) | subscribe[at + 1];
        at += 2 + len;
        if (at >= subscribe.size())
            break;
        qos.push_back(subscribe[at++]);
    }
    return qos;
}

// What a well-behaved MQTT 3.1 broker answers to a frame of the client.
inline std::vector<TFrame> WellBehavedAnswer(const TFrame& f)
{
    switch (TypeOf(f)) {
    case 1: return {Connack(0)};
    case 3: {
        const int qos = (f[0] >> 1) & 3;
        if (qos == 1) return {Ack(4, IdOf(f))};
        if (qos == 2) return {Ack(5, IdOf(f))};
        return {};
    }
    case 5: return {Ack(6, IdOf(f), 0x02)};   // PUBREC from the client: PUBREL
    case 6: return {Ack(7, IdOf(f))};
    case 8: return {Suback(IdOf(f), RequestedQoS(f))};
    case 10: return {Ack(11, IdOf(f))};
    case 12: return {Pingresp()};
    default: return {};
    }
}

// A PUBLISH as a broker delivers it; extraFlags may add DUP (0x08) and RETAIN (0x01).
inline TFrame BrokerPublish(int qos, int id, const std::string& topic, const std::vector<uint8_t>& payload,
                            int extraFlags = 0)
{
    TFrame f{static_cast<uint8_t>(0x30 | (qos << 1) | extraFlags)};
    AppendLength(f, 2 + topic.size() + (qos > 0 ? 2 : 0) + payload.size());
    f.push_back(static_cast<uint8_t>(topic.size() >> 8));
    f.push_back(static_cast<uint8_t>(topic.size()));
    f.insert(f.end(), topic.begin(), topic.end());
    if (qos > 0) {
        f.push_back(static_cast<uint8_t>(id >> 8));
        f.push_back(static_cast<uint8_t>(id));
    }
    f.insert(f.end(), payload.begin(), payload.end());
    return f;
}

// ---- MQTT 5.0 ----

// One property: its identifier, then its value in the property's type.
inline TFrame PropByte(uint8_t id, uint8_t value) { return {id, value}; }
inline TFrame PropU16(uint8_t id, uint16_t value)
{
    return {id, static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
}
inline TFrame PropU32(uint8_t id, uint32_t value)
{
    return {id, static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 8),
            static_cast<uint8_t>(value)};
}
inline TFrame PropVbi(uint8_t id, std::size_t value)
{
    TFrame f{id};
    AppendLength(f, value);
    return f;
}
inline void AppendString(TFrame& f, const std::string& text)
{
    f.push_back(static_cast<uint8_t>(text.size() >> 8));
    f.push_back(static_cast<uint8_t>(text.size()));
    f.insert(f.end(), text.begin(), text.end());
}
inline TFrame PropString(uint8_t id, const std::string& text)
{
    TFrame f{id};
    AppendString(f, text);
    return f;
}
inline TFrame PropPair(uint8_t id, const std::string& key, const std::string& value)
{
    TFrame f{id};
    AppendString(f, key);
    AppendString(f, value);
    return f;
}
// A property block: its length, then the properties in order.
inline TFrame Props(const std::vector<TFrame>& properties)
{
    TFrame body;
    for (const TFrame& p : properties)
        body.insert(body.end(), p.begin(), p.end());
    TFrame f;
    AppendLength(f, body.size());
    f.insert(f.end(), body.begin(), body.end());
    return f;
}
// A frame of that first byte around a body.
inline TFrame Framed(uint8_t first, const TFrame& body)
{
    TFrame f{first};
    AppendLength(f, body.size());
    f.insert(f.end(), body.begin(), body.end());
    return f;
}
inline TFrame Connack5(int code, const std::vector<TFrame>& properties = {}, bool sessionPresent = false)
{
    TFrame body{static_cast<uint8_t>(sessionPresent ? 1 : 0), static_cast<uint8_t>(code)};
    const TFrame block = Props(properties);
    body.insert(body.end(), block.begin(), block.end());
    return Framed(0x20, body);
}
// PUBACK ... PUBCOMP, DISCONNECT (id < 0) and AUTH (id < 0) with a reason
// code and properties; without properties the property length is left out.
inline TFrame Answer5(uint8_t first, int id, int code, const std::vector<TFrame>& properties = {})
{
    TFrame body;
    if (id >= 0) {
        body.push_back(static_cast<uint8_t>(id >> 8));
        body.push_back(static_cast<uint8_t>(id));
    }
    body.push_back(static_cast<uint8_t>(code));
    if (!properties.empty()) {
        const TFrame block = Props(properties);
        body.insert(body.end(), block.begin(), block.end());
    }
    return Framed(first, body);
}
inline TFrame Publish5(int qos, int id, const std::string& topic, const std::vector<TFrame>& properties,
                       const std::string& payload, int extraFlags = 0)
{
    TFrame body;
    AppendString(body, topic);
    if (qos > 0) {
        body.push_back(static_cast<uint8_t>(id >> 8));
        body.push_back(static_cast<uint8_t>(id));
    }
    const TFrame block = Props(properties);
    body.insert(body.end(), block.begin(), block.end());
    body.insert(body.end(), payload.begin(), payload.end());
    return Framed(static_cast<uint8_t>(0x30 | (qos << 1) | extraFlags), body);
}

}  // namespace testframes
