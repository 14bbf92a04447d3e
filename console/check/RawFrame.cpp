#include "console/check/RawFrame.h"

TRawFrame& TRawFrame::Byte(uint8_t value)
{
    FBody.push_back(value);
    return *this;
}

TRawFrame& TRawFrame::U16(uint16_t value)
{
    FBody.push_back(static_cast<uint8_t>(value >> 8));
    FBody.push_back(static_cast<uint8_t>(value & 0xFF));
    return *this;
}

TRawFrame& TRawFrame::VarInt(uint32_t value)
{
    do {
        uint8_t digit = value % 128;
        value /= 128;
        if (value > 0) digit |= 0x80;
        FBody.push_back(digit);
    } while (value > 0);
    return *this;
}

TRawFrame& TRawFrame::Str(std::string_view bytes)
{
    U16(static_cast<uint16_t>(bytes.size()));
    return Bytes(bytes);
}

TRawFrame& TRawFrame::Bytes(std::string_view bytes)
{
    FBody.insert(FBody.end(), bytes.begin(), bytes.end());
    return *this;
}

TRawFrame& TRawFrame::Bytes(const std::vector<uint8_t>& bytes)
{
    FBody.insert(FBody.end(), bytes.begin(), bytes.end());
    return *this;
}

std::vector<uint8_t> TRawFrame::Frame(uint8_t first) const
{
    TRawFrame head;
    head.Byte(first).VarInt(static_cast<uint32_t>(FBody.size())).Bytes(FBody);
    return head.FBody;
}

std::string PropertyBlockBytes(std::string_view properties)
{
    TRawFrame block;
    block.VarInt(static_cast<uint32_t>(properties.size())).Bytes(properties);
    return std::string(block.Body().begin(), block.Body().end());
}

std::vector<uint8_t> RawConnect(TProtocolVersion version, std::string_view clientID, int keepAlive, uint8_t flags)
{
    TRawFrame body;
    body.Str(ProtocolName(version)).Byte(static_cast<uint8_t>(version)).Byte(flags).U16(static_cast<uint16_t>(keepAlive));
    if (version == TProtocolVersion::MQTT50) body.Byte(0);
    body.Str(clientID);
    return body.Frame(0x10);
}

std::vector<uint8_t> RawPublish(TProtocolVersion version, std::string_view topic, std::string_view payload, int qos,
                                bool retain, int id, bool dup, std::string_view properties)
{
    TRawFrame body;
    body.Str(topic);
    if (qos > 0) body.U16(static_cast<uint16_t>(id));
    if (version == TProtocolVersion::MQTT50) body.Bytes(PropertyBlockBytes(properties));
    body.Bytes(payload);
    return body.Frame(static_cast<uint8_t>(0x30 | (dup ? 0x08 : 0) | ((qos & 3) << 1) | (retain ? 1 : 0)));
}

std::vector<uint8_t> RawSubscribe(TProtocolVersion version, int id, std::string_view filter, uint8_t options,
                                  uint8_t first)
{
    TRawFrame body;
    body.U16(static_cast<uint16_t>(id));
    if (version == TProtocolVersion::MQTT50) body.Byte(0);
    body.Str(filter).Byte(options);
    return body.Frame(first);
}

std::string HexText(const uint8_t* bytes, size_t size)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(size * 3);
    for (size_t i = 0; i < size; ++i) {
        if (i > 0) text += ' ';
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    return text;
}
