// Malformed frames, sent exactly as written: the broker closes the
// connection (5.0: after a DISCONNECT with the right reason) and goes on
// serving the next client.
#include "console/check/CheckSteps.h"

using namespace CheckSteps;

namespace {

std::vector<uint8_t> PublishTopicBytes(TCheckContext& c, const std::string& topicBytes)
{
    return RawPublish(c.Version, topicBytes, "x", 0, false);
}

}  // namespace

void AddRobustnessChecks(std::vector<TCheck>& checks)
{
    const TCheckFamily F = TCheckFamily::Robustness;
    checks.insert(checks.end(), {
        {"robustness.subscribe-flags", F, V311Up, {"MQTT-3.8.1-1", "MQTT-2.2.2-2"},
         {"MQTT-3.8.1-1", "MQTT-2.1.3-1", "MQTT-4.13.1-1"},
         "A SUBSCRIBE whose reserved flags are 0000 instead of 0010 is malformed: the connection is closed.",
         [](TCheckContext& c) { ExpectRefused(c, RawSubscribe(c.Version, 1, c.Topic(), 0, 0x80), "SUBSCRIBE flags 0000"); }},
        {"robustness.unsubscribe-flags", F, V311Up, {"MQTT-3.10.1-1", "MQTT-2.2.2-2"},
         {"MQTT-3.10.1-1", "MQTT-2.1.3-1", "MQTT-4.13.1-1"},
         "An UNSUBSCRIBE whose reserved flags are 0000 is malformed: the connection is closed.",
         [](TCheckContext& c) {
             TRawFrame body;
             body.U16(1);
             if (c.V5()) body.Byte(0);
             body.Str(c.Topic());
             ExpectRefused(c, body.Frame(0xA0), "UNSUBSCRIBE flags 0000");
         }},
        {"robustness.pubrel-flags", F, V311Up, {"MQTT-3.6.1-1", "MQTT-2.2.2-2"}, {"MQTT-3.6.1-1", "MQTT-2.1.3-1"},
         "A PUBREL whose reserved flags are 0000 is malformed: the connection is closed.",
         [](TCheckContext& c) { ExpectRefused(c, TRawFrame().U16(1).Frame(0x60), "PUBREL flags 0000"); }},
        {"robustness.pingreq-flags", F, V311Up, {"MQTT-2.2.2-2"}, {"MQTT-2.1.3-1", "MQTT-4.13.1-1"},
         "A PINGREQ with a reserved flag set is malformed: the connection is closed.",
         [](TCheckContext& c) { ExpectRefused(c, {0xC1, 0x00}, "PINGREQ flags 0001"); }},
        {"robustness.length-5-bytes", F, VAll, {"§2.2.3", "MQTT-4.8.0-1"}, {"§1.5.5", "MQTT-4.13.1-1"},
         "A remaining length of five bytes is malformed: the connection is closed.",
         [](TCheckContext& c) { ExpectRefused(c, {0x30, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x00}, "a five-byte remaining length"); }},
        {"robustness.length-lies", F, VAll, {"MQTT-4.8.0-1"}, {"MQTT-4.13.1-1"},
         "A PUBLISH whose topic length runs past its remaining length is malformed: the connection is closed.",
         [](TCheckContext& c) { ExpectRefused(c, {0x30, 0x04, 0x00, 0x10, 'a', 'b'}, "a topic longer than the packet"); }},
        {"robustness.invalid-utf8", F, V311Up, {"MQTT-1.5.3-1"}, {"MQTT-1.5.4-1", "MQTT-4.13.1-1"},
         "A topic that is not valid UTF-8 is refused by closing the connection.",
         [](TCheckContext& c) { ExpectRefused(c, PublishTopicBytes(c, c.Topic("\xC3\x28")), "invalid UTF-8 in a topic"); }},
        {"robustness.surrogate", F, V311Up, {"MQTT-1.5.3-1"}, {"MQTT-1.5.4-1", "MQTT-4.13.1-1"},
         "A topic holding an encoded surrogate (U+D800) is refused by closing the connection.",
         [](TCheckContext& c) { ExpectRefused(c, PublishTopicBytes(c, c.Topic("\xED\xA0\x80")), "U+D800 in a topic"); }},
        {"robustness.null-character", F, V311Up, {"MQTT-1.5.3-2", "MQTT-4.7.3-2"},
         {"MQTT-1.5.4-2", "MQTT-4.7.3-2", "MQTT-4.13.1-1"},
         "A topic holding U+0000 is refused by closing the connection.",
         [](TCheckContext& c) { ExpectRefused(c, PublishTopicBytes(c, c.Topic(std::string("a\0b", 3))), "U+0000 in a topic"); }},
        {"robustness.wildcard-topic", F, VAll, {"MQTT-3.3.2-2", "MQTT-4.7.1-1", "MQTT-4.8.0-1"},
         {"MQTT-3.3.2-2", "MQTT-4.7.0-1", "MQTT-4.13.1-1"},
         "A PUBLISH to a topic with a wildcard is refused by closing the connection.",
         [](TCheckContext& c) { ExpectRefused(c, PublishTopicBytes(c, c.Topic("+")), "a wildcard in a PUBLISH topic", {0x90, 0x81, 0x82}); }},
        {"robustness.packet-id-zero", F, VAll, {"MQTT-2.3.1-1", "MQTT-4.8.0-1"}, {"MQTT-2.2.1-3", "MQTT-4.13.1-1"},
         "A QoS 1 PUBLISH with packet identifier 0 is refused by closing the connection.",
         [](TCheckContext& c) { ExpectRefused(c, RawPublish(c.Version, c.Topic(), "x", 1, false, 0), "packet identifier 0"); }},
        {"robustness.qos-3", F, VAll, {"MQTT-3.3.1-4"}, {"MQTT-3.3.1-4", "MQTT-4.13.1-1"},
         "A PUBLISH with both QoS bits set is malformed: the connection is closed.",
         [](TCheckContext& c) { ExpectRefused(c, RawPublish(c.Version, c.Topic(), "x", 3, false, 1), "QoS 3"); }},
        {"robustness.subscribe-no-filter", F, V311Up, {"MQTT-3.8.3-3", "MQTT-4.8.0-1"},
         {"MQTT-3.8.3-2", "MQTT-4.13.1-1"},
         "A SUBSCRIBE without any filter is refused by closing the connection.",
         [](TCheckContext& c) {
             TRawFrame body;
             body.U16(1);
             if (c.V5()) body.Byte(0);
             ExpectRefused(c, body.Frame(0x82), "a SUBSCRIBE with no filter");
         }},
        {"robustness.unsubscribe-no-filter", F, V311Up, {"MQTT-3.10.3-2", "MQTT-4.8.0-1"},
         {"MQTT-3.10.3-2", "MQTT-4.13.1-1"},
         "An UNSUBSCRIBE without any filter is refused by closing the connection.",
         [](TCheckContext& c) {
             TRawFrame body;
             body.U16(1);
             if (c.V5()) body.Byte(0);
             ExpectRefused(c, body.Frame(0xA2), "an UNSUBSCRIBE with no filter");
         }},
        {"robustness.subscribe-qos-3", F, V311Up, {"MQTT-3.8.3-4"}, {"§3.8.3.1", "MQTT-4.13.1-1"},
         "A SUBSCRIBE asking for QoS 3 is malformed: the connection is closed.",
         [](TCheckContext& c) { ExpectRefused(c, RawSubscribe(c.Version, 1, c.Topic(), 3), "requested QoS 3"); }},
        {"robustness.subscribe-reserved-bits", F, V311Up, {"MQTT-3.8.3-4"}, {"MQTT-3.8.3-5", "MQTT-4.13.1-1"},
         "A SUBSCRIBE whose options byte has its reserved bits set is malformed: the connection is closed.",
         [](TCheckContext& c) { ExpectRefused(c, RawSubscribe(c.Version, 1, c.Topic(), 0xC1), "reserved option bits"); }},
        {"robustness.reserved-type", F, VAll, {"§2.2.1", "MQTT-4.8.0-1"}, {"§2.1.2", "MQTT-4.13.1-1"},
         "A packet of the reserved type 0 is refused by closing the connection.",
         [](TCheckContext& c) { ExpectRefused(c, {0x00, 0x00}, "packet type 0"); }},
        {"robustness.auth-before-5", F, V311, {"§2.2.1", "MQTT-4.8.0-1"}, {},
         "A packet of type 15 (reserved before 5.0) is refused by closing the connection.",
         [](TCheckContext& c) { ExpectRefused(c, {0xF0, 0x00}, "packet type 15"); }},
        {"robustness.empty-topic", F, V311Up, {"MQTT-4.7.3-1", "MQTT-4.8.0-1"}, {"MQTT-4.7.3-1", "MQTT-4.13.1-1"},
         "A PUBLISH with an empty topic (and no Topic Alias) is refused by closing the connection.",
         [](TCheckContext& c) { ExpectRefused(c, PublishTopicBytes(c, ""), "an empty topic"); }},
        {"robustness.pingreq-length", F, V311Up, {"§3.12", "MQTT-4.8.0-1"}, {"§3.12", "MQTT-4.13.1-1"},
         "A PINGREQ that carries a byte is malformed: the connection is closed.",
         [](TCheckContext& c) { ExpectRefused(c, {0xC0, 0x01, 0x00}, "a PINGREQ with a body"); }},
    });
}
