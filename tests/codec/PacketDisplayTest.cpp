#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mqtt/codec/MQTTPacket.h"
#include "mqtt/codec/PacketDisplay.h"

#include "codec/CodecTestSupport.h"

namespace {

TEST(PacketDisplay, ExtraLinesPerVersion)
{
    constexpr TProtocolVersion V31 = TProtocolVersion::MQTT31, V311 = TProtocolVersion::MQTT311,
                               V50 = TProtocolVersion::MQTT50;
    const struct {
        TProtocolVersion Version;
        const char* Frame;
        std::vector<std::string> Lines;
    } cases[] = {
        // 3.1 reports stay as they were, also for a frame with something wrong inside.
        {V31, "20 02 01 05", {}},
        {V31, "30 03 00 05 61", {}},
        {V31, "30 06 00 03 61 00 23 68", {}},
        {V311, "20 02 01 05", {"SessionPresent  True", "ReturnCode      0x05 Connection Refused, not authorized"}},
        {V311, "90 04 00 05 01 80",
         {"ReturnCode#1    0x01 Success - Maximum QoS 1", "ReturnCode#2    0x80 Failure (refused)"}},
        {V311, "10 10 00 04 4D 51 54 54 04 02 00 3C 00 04 64 65 76 31",
         {"ProtocolName    MQTT", "ProtocolLevel   4"}},
        {V311, "40 02 00 0A", {}},
        {V311, "30 03 00 05 61", {"DecodeError     *ERROR* the frame ends inside the topic"}},
        {V311, "30 06 00 03 61 00 23 68", {"DecodeError     *ERROR* the topic holds U+0000 at offset 1 (00)"}},
        {V50, "20 09 00 00 06 22 00 0A 21 00 14",
         {"SessionPresent  False", "ReasonCode      0x00 Success", "Property        Topic Alias Maximum = 10",
          "Property        Receive Maximum = 20"}},
        {V50, "90 08 00 01 04 1F 00 01 78 80",
         {"ReasonCode#1    0x80 Unspecified error (refused)", "Property        Reason String = x"}},
        {V50, "B0 05 00 02 00 00 11", {"ReasonCode#1    0x00 Success", "ReasonCode#2    0x11 No subscription existed"}},
        {V50, "40 02 00 0A", {"ReasonCode      0x00 Success"}},
        {V50, "E0 01 8B", {"ReasonCode      0x8B Server shutting down"}},
        {V50, "F0 00", {"ReasonCode      0x00 Success"}},
        {V50, "10 1D 00 04 4D 51 54 54 05 8E 00 3C 00 00 01 63 05 18 00 00 00 05 00 01 77 00 01 6D 00 01 75",
         {"ProtocolName    MQTT", "ProtocolLevel   5", "WillProperty    Will Delay Interval = 5"}},
        {V50, "30 05 00 00 00 68 69", {"DecodeError     *ERROR* PUBLISH with an empty topic and no Topic Alias"}},
    };
    for (const auto& c : cases) {
        const std::vector<uint8_t> frame = Hex(c.Frame);
        TMQTTPacket packet(frame.data(), static_cast<int32_t>(frame.size()), c.Version);
        packet.AnalyzePacket();
        EXPECT_EQ(PacketExtraLines(packet), c.Lines) << ProtocolVersionName(c.Version) << ": " << c.Frame;
    }
}

}  // namespace
