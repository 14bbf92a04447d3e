#pragma once

#include "console/window/FramesModel.h"
#include "console/window/MessagesModel.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <utility>
#include <vector>

class TConnectionNames;

// Writing what the views show to files: the received messages as CSV or JSON
// Lines, the frames as a pcap capture that Wireshark and tshark read.
namespace Export {

// A payload for a text file: the bytes as they are when they are valid UTF-8
// (base64 false), else their Base64 (base64 true).
QString PayloadField(const QByteArray& payload, bool& base64);
// The whole payload of a message, read from its file.
QByteArray ReadPayload(const TMessageRow& row, QString& error);

// One line per message: time, topic, qos, retain, dup, id, size, connection,
// encoding ("utf8" or "base64"), payload. False with a reason in error.
bool MessagesCsv(const QString& path, const std::vector<const TMessageRow*>& rows, const TConnectionNames* names,
                 QString& error);
// One JSON object per line with the same fields, and the MQTT 5.0 properties.
bool MessagesJsonLines(const QString& path, const std::vector<const TMessageRow*>& rows,
                       const TConnectionNames* names, QString& error);

// The TCP ports of a connection's stream: the client's and the broker's.
using TPortsOf = std::function<std::pair<uint16_t, uint16_t>(const TFrameEntry&)>;
// The frames as IPv4 TCP segments between 127.0.0.1 ports (one stream per
// connection and "Open"; sequence and acknowledgement numbers follow the bytes
// of each direction). A frame the view kept only the first bytes of is written
// cut, with its whole length as the packet's original length, as a capture
// with a short snapshot length would have it.
bool FramesPcap(const QString& path, const std::vector<const TFrameEntry*>& frames, const TPortsOf& ports,
                QString& error);
// The same, into bytes.
QByteArray FramesPcapBytes(const std::vector<const TFrameEntry*>& frames, const TPortsOf& ports);

}  // namespace Export
