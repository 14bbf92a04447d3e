#pragma once

#include <string>
#include <vector>

class TMQTTPacket;

// The lines the queue inspection reports for one analysed packet: the header,
// the 19 field lines and, when the packet carries a payload, the data line.
std::vector<std::string> QueueReportLines(const TMQTTPacket& packet);
