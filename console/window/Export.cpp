#include "console/window/Export.h"

#include "console/window/ConnectionNames.h"
#include "console/window/ViewText.h"

#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QStringDecoder>

#include <map>
#include <tuple>

namespace Export {
namespace {

QString Csv(const QString& field)
{
    if (!field.contains(QLatin1Char(',')) && !field.contains(QLatin1Char('"')) && !field.contains(QLatin1Char('\n')) &&
        !field.contains(QLatin1Char('\r')))
        return field;
    QString quoted = field;
    quoted.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

bool Commit(QSaveFile& file, const QString& path, QString& error)
{
    if (file.commit())
        return true;
    error = QStringLiteral("書き出せません: %1 (%2)").arg(path, file.errorString());
    return false;
}

// The rows' fields in their order, as texts.
template <typename TFn>
bool ForEachMessage(const std::vector<const TMessageRow*>& rows, const TConnectionNames* names, QString& error,
                    TFn fn)
{
    for (const TMessageRow* row : rows) {
        const QByteArray payload = ReadPayload(*row, error);
        if (!error.isEmpty())
            return false;
        bool base64 = false;
        const QString text = PayloadField(payload, base64);
        fn(*row, names ? names->Of(row->Connection) : QString(), text, base64);
    }
    return true;
}

// ---- pcap ----

void Put16(QByteArray& out, uint16_t v)
{
    out.append(static_cast<char>(v >> 8));
    out.append(static_cast<char>(v & 0xFF));
}

void Put32(QByteArray& out, uint32_t v)
{
    Put16(out, static_cast<uint16_t>(v >> 16));
    Put16(out, static_cast<uint16_t>(v & 0xFFFF));
}

// Little-endian, as the file header's magic says.
void PutLE32(QByteArray& out, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        out.append(static_cast<char>((v >> (8 * i)) & 0xFF));
}

uint16_t Checksum(const QByteArray& bytes, uint32_t sum = 0)
{
    const auto* p = reinterpret_cast<const uint8_t*>(bytes.constData());
    for (qsizetype i = 0; i + 1 < bytes.size(); i += 2)
        sum += static_cast<uint32_t>(p[i] << 8 | p[i + 1]);
    if (bytes.size() % 2)
        sum += static_cast<uint32_t>(p[bytes.size() - 1] << 8);
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

constexpr uint32_t Loopback = 0x7F000001;
constexpr int IpHeader = 20;
constexpr int TcpHeader = 20;
// The most a segment carries, so that the IP length field holds it.
constexpr int64_t SegmentBytes = 65535 - IpHeader - TcpHeader;

// One segment: headers, then the part of the payload that was kept (kept <= length).
void PutSegment(QByteArray& out, qint64 timeMs, uint16_t from, uint16_t to, uint32_t seq, uint32_t ack,
                const uint8_t* bytes, int64_t kept, int64_t length)
{
    QByteArray ip;
    ip.append(char(0x45));
    ip.append(char(0));
    Put16(ip, static_cast<uint16_t>(IpHeader + TcpHeader + length));
    Put16(ip, 0);        // identification
    Put16(ip, 0x4000);   // don't fragment
    ip.append(char(64));
    ip.append(char(6));  // TCP
    Put16(ip, 0);
    Put32(ip, Loopback);
    Put32(ip, Loopback);
    const uint16_t ipSum = Checksum(ip);
    ip[10] = static_cast<char>(ipSum >> 8);
    ip[11] = static_cast<char>(ipSum & 0xFF);

    QByteArray tcp;
    Put16(tcp, from);
    Put16(tcp, to);
    Put32(tcp, seq);
    Put32(tcp, ack);
    tcp.append(char(0x50));   // 20 bytes of header
    tcp.append(char(0x18));   // PSH, ACK
    Put16(tcp, 65535);
    Put16(tcp, 0);            // checksum: over the whole segment, which a cut frame no longer has
    Put16(tcp, 0);
    const QByteArray data(reinterpret_cast<const char*>(bytes), static_cast<qsizetype>(kept));
    if (kept == length) {
        QByteArray pseudo;
        Put32(pseudo, Loopback);
        Put32(pseudo, Loopback);
        Put16(pseudo, 6);
        Put16(pseudo, static_cast<uint16_t>(TcpHeader + length));
        const uint16_t sum = Checksum(pseudo + tcp + data);
        tcp[16] = static_cast<char>(sum >> 8);
        tcp[17] = static_cast<char>(sum & 0xFF);
    }
    PutLE32(out, static_cast<uint32_t>(timeMs / 1000));
    PutLE32(out, static_cast<uint32_t>((timeMs % 1000) * 1000));
    PutLE32(out, static_cast<uint32_t>(IpHeader + TcpHeader + kept));
    PutLE32(out, static_cast<uint32_t>(IpHeader + TcpHeader + length));
    out.append(ip);
    out.append(tcp);
    out.append(data);
}

}  // namespace

QString PayloadField(const QByteArray& payload, bool& base64)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder.decode(payload);
    base64 = decoder.hasError();
    return base64 ? QString::fromLatin1(payload.toBase64()) : text;
}

QByteArray ReadPayload(const TMessageRow& row, QString& error)
{
    QFile file(row.Path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("ペイロードのファイルを読めません: %1").arg(row.Path);
        return {};
    }
    return file.readAll();
}

bool MessagesCsv(const QString& path, const std::vector<const TMessageRow*>& rows, const TConnectionNames* names,
                 QString& error)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        error = QStringLiteral("書き出せません: %1 (%2)").arg(path, file.errorString());
        return false;
    }
    file.write("time,topic,qos,retain,dup,id,size,connection,encoding,payload\r\n");
    const bool read = ForEachMessage(rows, names, error, [&](const TMessageRow& row, const QString& connection,
                                                             const QString& payload, bool base64) {
        const TSavedMessage& m = row.Message;
        const QStringList fields{ViewText::EventTimeMs(m.Time),  Csv(row.Topic),
                                 QString::number(m.Qos),         m.Retain ? "1" : "0",
                                 m.Dup ? "1" : "0",              QString::number(m.MessageID),
                                 QString::number(m.Size),        Csv(connection),
                                 base64 ? "base64" : "utf8",     Csv(payload)};
        file.write(fields.join(QLatin1Char(',')).toUtf8() + "\r\n");
    });
    if (!read) {
        file.cancelWriting();
        return false;
    }
    return Commit(file, path, error);
}

bool MessagesJsonLines(const QString& path, const std::vector<const TMessageRow*>& rows,
                       const TConnectionNames* names, QString& error)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        error = QStringLiteral("書き出せません: %1 (%2)").arg(path, file.errorString());
        return false;
    }
    const bool read = ForEachMessage(rows, names, error, [&](const TMessageRow& row, const QString& connection,
                                                             const QString& payload, bool base64) {
        const TSavedMessage& m = row.Message;
        QJsonObject object{{"time", ViewText::EventTimeMs(m.Time)},
                           {"topic", row.Topic},
                           {"qos", m.Qos},
                           {"retain", m.Retain},
                           {"dup", m.Dup},
                           {"id", m.MessageID},
                           {"size", static_cast<qint64>(m.Size)},
                           {"encoding", base64 ? "base64" : "utf8"},
                           {"payload", payload}};
        if (!connection.isEmpty())
            object.insert("connection", connection);
        if (!row.Properties.isEmpty())
            object.insert("properties", QJsonArray::fromStringList(row.Properties));
        file.write(QJsonDocument(object).toJson(QJsonDocument::Compact) + "\n");
    });
    if (!read) {
        file.cancelWriting();
        return false;
    }
    return Commit(file, path, error);
}

QByteArray FramesPcapBytes(const std::vector<const TFrameEntry*>& frames, const TPortsOf& ports)
{
    QByteArray out;
    PutLE32(out, 0xA1B2C3D4);   // microsecond time stamps
    out.append(char(2)).append(char(0)).append(char(4)).append(char(0));   // version 2.4
    PutLE32(out, 0);            // time zone
    PutLE32(out, 0);            // accuracy
    PutLE32(out, 262144);       // snapshot length
    PutLE32(out, 101);          // raw IP
    // Per stream: the next sequence number of the client's bytes and of the broker's.
    std::map<std::tuple<int, int>, std::pair<uint32_t, uint32_t>> next;
    for (const TFrameEntry* frame : frames) {
        const auto [client, broker] = ports(*frame);
        auto& seq = next.try_emplace({frame->Connection, frame->Stream}, 1u, 1u).first->second;
        const bool sent = frame->Direction == TFrameDirection::Sent;
        const TLocalDateTime& t = frame->Time;
        const qint64 when =
            QDateTime(QDate(t.Year, t.Month, t.Day), QTime(t.Hour, t.Minute, t.Second, t.Millisecond))
                .toMSecsSinceEpoch();
        const int64_t total = frame->Size;
        const auto keptTotal = static_cast<int64_t>(frame->Bytes.size());
        int64_t at = 0;
        do {
            const int64_t length = std::min<int64_t>(SegmentBytes, total - at);
            const int64_t kept = std::clamp<int64_t>(keptTotal - at, 0, length);
            uint32_t& own = sent ? seq.first : seq.second;
            const uint32_t other = sent ? seq.second : seq.first;
            PutSegment(out, when, sent ? client : broker, sent ? broker : client, own, other,
                       frame->Bytes.data() + std::min(at, keptTotal), kept, length);
            own += static_cast<uint32_t>(length);
            at += length;
        } while (at < total);
    }
    return out;
}

bool FramesPcap(const QString& path, const std::vector<const TFrameEntry*>& frames, const TPortsOf& ports,
                QString& error)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        error = QStringLiteral("書き出せません: %1 (%2)").arg(path, file.errorString());
        return false;
    }
    file.write(FramesPcapBytes(frames, ports));
    return Commit(file, path, error);
}

}  // namespace Export
