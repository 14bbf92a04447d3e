// MQTT 5.0 CONNACK: what it says about the connection, and the reason codes
// of refusals.
#include "console/check/CheckSteps.h"

using namespace CheckSteps;

void AddConnackChecks(std::vector<TCheck>& checks)
{
    const TCheckFamily F = TCheckFamily::Connack;
    checks.insert(checks.end(), {
        {"connack.assigned-id", F, V50, {}, {"MQTT-3.2.2-16", "MQTT-3.1.3-7"},
         "A zero-length ClientID is accepted with an Assigned Client Identifier (or refused as 0x85).",
         [](TCheckContext& c) {
             TCheckClient& client = c.Client("anon");
             TConnectOptions options;
             options.ClientID = "";
             const TConnack connack = client.Connect(options);
             c.Expect(connack.Received, "a CONNACK", client.Saw());
             if (connack.Code == 0x85) c.Skip("the broker refuses zero-length ClientIDs (0x85)");
             c.Expect(connack.Code == 0, "CONNACK 0", "code " + std::to_string(connack.Code));
             const TProperty* assigned = connack.Find(0x12);
             c.Expect(assigned && !assigned->Text.empty(), "an Assigned Client Identifier", "none");
         }},
        {"connack.assigned-ids-differ", F, V50, {}, {"MQTT-3.2.2-16"},
         "Two clients with zero-length ClientIDs get different Assigned Client Identifiers.",
         [](TCheckContext& c) {
             TConnectOptions options;
             options.ClientID = "";
             std::string ids[2];
             for (int i = 0; i < 2; ++i) {
                 TCheckClient& client = c.Client("anon" + std::to_string(i));
                 const TConnack connack = client.Connect(options);
                 if (connack.Code == 0x85) c.Skip("the broker refuses zero-length ClientIDs (0x85)");
                 const TProperty* assigned = connack.Find(0x12);
                 c.Expect(assigned != nullptr, "an Assigned Client Identifier", client.Saw());
                 ids[i] = assigned->Text;
             }
             c.Expect(ids[0] != ids[1], "two different identifiers", ids[0] + " twice");
         }},
        {"connack.refusal-closes", F, V311Up, {"MQTT-3.2.2-4", "MQTT-3.2.2-5"}, {"MQTT-3.2.2-6", "MQTT-3.2.2-7"},
         "A refusing CONNACK has Session Present 0 and the broker closes the connection after it.",
         [](TCheckContext& c) {
             TCheckClient& client = c.Client("raw");
             TRawFrame body;
             body.Str("MQTT").Byte(c.V5() ? 6 : 3).Byte(0x00).U16(60).Str(client.ClientID);
             const TConnack connack = RawConnectAnswer(c, client, body.Frame(0x10));
             if (connack.Received) {
                 c.Expect(connack.Code != 0, "a refusal of protocol level " + std::to_string(c.V5() ? 6 : 3), "CONNACK 0");
                 c.Expect(!connack.SessionPresent, "Session Present 0", "Session Present 1");
             }
             ExpectClosed(c, client, "a refused CONNECT");
         }},
        {"connack.once", F, V311Up, {"§3.2"}, {"MQTT-3.2.0-2"},
         "The broker sends one CONNACK on a connection, whatever follows.",
         [](TCheckContext& c) {
             TCheckClient& client = Connected(c, "a");
             client.SubscribeOk(c.Topic(), 1);
             client.Publish(c.Topic(), "x", 1);
             client.Ping();
             size_t connacks = 0;
             for (const TSessionFrame& f : client.Frames())
                 connacks += f.Direction == TFrameDirection::Received && (f.Bytes[0] >> 4) == 2;
             c.Expect(connacks == 1, "one CONNACK", std::to_string(connacks));
         }},
        {"connack.server-keep-alive", F, V50, {}, {"MQTT-3.2.2-21", "MQTT-3.2.2-22"},
         "A Server Keep Alive, when sent, is what the broker enforces; a keep-alive of 0 asked for is not turned into a shorter one silently.",
         [](TCheckContext& c) {
             TConnectOptions options;
             options.KeepAlive = 0;
             TCheckClient& client = c.Client("a");
             const TConnack connack = client.ConnectOk(options);
             const TProperty* server = connack.Find(0x13);
             if (!server) {
                 c.Expect(!client.WaitClosed(2500), "a connection without keep-alive left open", client.CloseReason());
                 return;
             }
             if (server->Number == 0 || server->Number > 3)
                 c.Skip("the Server Keep Alive of " + std::to_string(server->Number) + " s is too long to wait for");
             c.Expect(client.WaitClosed(static_cast<int>(server->Number) * 1500 + 1500),
                      "the close after 1.5 times the Server Keep Alive", "still open");
         }, true},
        {"connack.will-qos-refused", F, V50, {}, {"MQTT-3.2.2-12"},
         "A will of a QoS above the broker's Maximum QoS is refused with CONNACK 0x9B.",
         [](TCheckContext& c) {
             if (c.Facts.MaximumQos >= 2) c.Skip("the broker supports QoS 2");
             TCheckClient& client = c.Client("w");
             TConnectOptions options;
             options.WillTopic = c.Topic("will");
             options.WillPayload = "x";
             options.WillQos = 2;
             const TConnack connack = client.Connect(options);
             c.Expect(connack.Code >= 0x80, "a refusal (0x9B)", "CONNACK " + std::to_string(connack.Code));
             ExpectClosed(c, client, "the refusing CONNACK");
         }},
        {"connack.will-retain-refused", F, V50, {}, {"MQTT-3.2.2-13"},
         "A retained will to a broker without Retain Available is refused with CONNACK 0x9A.",
         [](TCheckContext& c) {
             if (c.Facts.RetainAvailable) c.Skip("the broker offers retained messages");
             TCheckClient& client = c.Client("w");
             TConnectOptions options;
             options.WillTopic = c.Topic("will");
             options.WillPayload = "x";
             options.WillRetain = true;
             const TConnack connack = client.Connect(options);
             c.Expect(connack.Code >= 0x80, "a refusal (0x9A)", "CONNACK " + std::to_string(connack.Code));
             ExpectClosed(c, client, "the refusing CONNACK");
         }},
    });
}
