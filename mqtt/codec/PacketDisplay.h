#pragma once

#include <string>
#include <vector>

class TMQTTPacket;

// The field lines of an analysed packet beyond the 19 lines every packet has
// shown since 3.1, in the same form (a label padded to 16 characters, then
// the value), for the queue inspection, the window and the CLI to append:
//   ProtocolName    MQTT                      CONNECT
//   ProtocolLevel   5                         CONNECT
//   SessionPresent  True                      CONNACK
//   ReturnCode      0x05 Connection Refused, not authorized   CONNACK, 3.1.1
//   ReasonCode      0x87 Not authorized       CONNACK, PUBACK ... AUTH, 5.0
//   ReasonCode#2    0x80 Unspecified error (refused)  SUBACK (ReturnCode#2 in 3.1.1), UNSUBACK
//   Property        Session Expiry Interval = 3600    5.0, one line each
//   WillProperty    Will Delay Interval = 5           5.0 CONNECT
//   DecodeError     *ERROR* the frame ends inside the ClientID
// A packet received under 3.1 has none: its report stays as it always was.
std::vector<std::string> PacketExtraLines(const TMQTTPacket& packet);
