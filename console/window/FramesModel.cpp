#include "console/window/FramesModel.h"

#include "console/form/QueueReport.h"
#include "console/form/RawFrame.h"
#include "console/window/ConnectionNames.h"
#include "console/window/ViewText.h"
#include "mqtt/codec/MQTTPacket.h"
#include "mqtt/codec/MessageTypes.h"
#include "mqtt/codec/WirePrimitives.h"

#include <QBrush>
#include <QColor>
#include <QFontDatabase>
#include <QRegularExpression>
#include <QStringList>

#include <algorithm>
#include <exception>

TFrameEntry MakeFrameEntry(TFrameDirection direction, const uint8_t* frame, int32_t size, std::size_t keep,
                           TProtocolVersion version)
{
    TFrameEntry entry;
    entry.Time = NowLocal();
    entry.Version = version;
    entry.Direction = direction;
    entry.Size = std::max<int32_t>(size, 0);
    if (!frame || size < 1) {
        entry.Malformed = true;
        return entry;
    }
    entry.Bytes.assign(frame, frame + std::min<std::size_t>(static_cast<std::size_t>(size), keep));
    const uint8_t first = frame[0];
    entry.Type = first >> 4;
    entry.Dup = (first & 0x08) != 0;
    entry.Qos = (first >> 1) & 3;
    entry.Retain = (first & 0x01) != 0;

    if (!IsRemainLengthComplete(frame, size)) {
        entry.Malformed = true;
        return entry;
    }
    int lengthBytes = 0;
    try {
        entry.RemainLength = DecodeRemainLength(frame + 1, lengthBytes);
    } catch (const std::exception&) {
        entry.Malformed = true;
        return entry;
    }
    const int64_t v = 1 + lengthBytes;
    const bool reserved = entry.Type == 0 || (entry.Type == 15 && version != TProtocolVersion::MQTT50);
    if (v + entry.RemainLength != size || reserved) {
        entry.Malformed = true;
        return entry;
    }
    // The identifier can lie beyond the kept bytes (behind a long topic): read it now.
    auto readID = [&](int64_t at) {
        if (at + 2 > size) {
            entry.Malformed = true;
            return;
        }
        entry.MessageID = ReadU16BE(frame + at);
    };
    if (entry.Type == MessageType::PUBLISH) {
        if (entry.Qos != 0) {
            if (v + 2 > size)
                entry.Malformed = true;
            else
                readID(v + 2 + ReadU16BE(frame + v));
        }
    } else if (entry.Type >= MessageType::PUBACK && entry.Type <= MessageType::UNSUBACK) {
        readID(v);
    } else if (entry.Type == MessageType::CONNACK) {
        if (v + 2 <= size)
            entry.ReturnCode = frame[v + 1];
        else
            entry.Malformed = true;
    }
    return entry;
}

std::vector<std::string> FrameDetailLines(const TFrameEntry& frame)
{
    using std::to_string;
    auto trueFalse = [](bool value) { return std::string(value ? "True" : "False"); };
    std::string failure;
    if (frame.Whole() && !frame.Bytes.empty()) {
        try {
            TMQTTPacket packet(frame.Bytes.data(), frame.Size, frame.Version);
            packet.AnalyzePacket();
            return QueueReportLines(packet);
        } catch (const std::exception&) {
            // Where the bytes stop making a frame, as a broker would read them.
            failure = DescribeRawFrames(frame.Bytes, frame.Version);
        }
    }

    // What was decoded when the frame passed, and what the kept bytes still tell.
    std::vector<std::string> lines;
    if (!failure.empty())
        lines.push_back(CodePage::FromUTF8Literal("*ERROR* 解析できません: ") + failure);
    lines.push_back("MessageType     " + to_string(frame.Type));
    lines.push_back("MessageID       " + to_string(std::max(frame.MessageID, 0)));
    lines.push_back("FixedDup        " + trueFalse(frame.Dup));
    lines.push_back("FixedQos        " + to_string(frame.Qos));
    lines.push_back("FixedRetain     " + trueFalse(frame.Retain));
    if (frame.RemainLength >= 0)
        lines.push_back("RemainLength    " + to_string(frame.RemainLength));
    if (!frame.Malformed && frame.Type == MessageType::PUBLISH) {
        const auto v = static_cast<std::size_t>(frame.Size - frame.RemainLength);   // after the length field
        if (v + 2 <= frame.Bytes.size()) {
            const std::size_t topicLength = static_cast<std::size_t>(ReadU16BE(frame.Bytes.data() + v));
            if (v + 2 + topicLength <= frame.Bytes.size()) {
                const char* topic = reinterpret_cast<const char*>(frame.Bytes.data() + v + 2);
                lines.push_back("PublishTopic    " + UTF8ToText(std::string_view(topic, topicLength)));
            }
            int64_t header = 2 + static_cast<int64_t>(topicLength) + (frame.Qos != 0 ? 2 : 0);
            // A 5.0 PUBLISH carries its properties before the payload: their
            // length field and the properties are no payload bytes.
            bool known = true;
            if (frame.Version == TProtocolVersion::MQTT50) {
                uint32_t properties = 0;
                const auto at = static_cast<int64_t>(v) + header;
                const int taken = at < static_cast<int64_t>(frame.Bytes.size())
                                      ? DecodeVariableByteInteger(frame.Bytes.data() + at,
                                                                  static_cast<int64_t>(frame.Bytes.size()) - at, properties)
                                      : 0;
                known = taken > 0;
                header += taken + static_cast<int64_t>(properties);
            }
            if (known)
                lines.push_back("PublishDataSize " + to_string(std::max<int64_t>(frame.RemainLength - header, 0)));
        }
    }
    if (!frame.Whole())
        lines.push_back(CodePage::FromUTF8Literal("(先頭 " + to_string(frame.Bytes.size()) +
                                                  " バイトだけ保持: 全 " + to_string(frame.Size) +
                                                  " バイト。以降のフィールドは復号していません)"));
    return lines;
}

bool AnswersFrame(const TFrameEntry& received, const TFrameEntry& sent)
{
    if (received.Direction != TFrameDirection::Received || sent.Direction != TFrameDirection::Sent ||
        received.Malformed || sent.Malformed || received.Connection != sent.Connection)
        return false;
    using namespace MessageType;
    const auto byID = [&](int32_t request) { return sent.Type == request && sent.MessageID == received.MessageID; };
    switch (received.Type) {
    case CONNACK:
        return sent.Type == CONNECT;
    case PINGRESP:
        return sent.Type == PINGREQ;
    case SUBACK:
        return byID(SUBSCRIBE);
    case UNSUBACK:
        return byID(UNSUBSCRIBE);
    case PUBACK:
        return byID(PUBLISH) && sent.Qos == 1;
    case PUBREC:
        return byID(PUBLISH) && sent.Qos == 2;
    case PUBREL:
        return byID(PUBREC);
    case PUBCOMP:
        return byID(PUBREL);
    }
    return false;
}

void PlaceSentBeforeAnswers(std::vector<TFrameEntry>& frames, std::size_t from, std::size_t window)
{
    for (std::size_t j = from; j < frames.size(); ++j) {
        const TFrameEntry& sent = frames[j];
        if (sent.Direction != TFrameDirection::Sent)
            continue;
        const std::size_t low = j > window ? j - window : 0;
        // The first answer after an earlier request of the same kind is that request's.
        std::size_t start = low;
        bool earlierRequest = false;
        for (std::size_t i = j; i > low; --i) {
            const TFrameEntry& other = frames[i - 1];
            if (other.Direction == TFrameDirection::Sent && other.Type == sent.Type &&
                other.MessageID == sent.MessageID && other.Connection == sent.Connection) {
                start = i;
                earlierRequest = true;
                break;
            }
        }
        std::size_t target = j;
        for (std::size_t i = start; i < j; ++i) {
            if (!AnswersFrame(frames[i], sent))
                continue;
            if (earlierRequest) {
                earlierRequest = false;
                continue;
            }
            target = i;
            break;
        }
        if (target == j)
            continue;
        // Its last byte went out no later than the answer came in.
        frames[j].Time = frames[target].Time;
        std::rotate(frames.begin() + static_cast<std::ptrdiff_t>(target),
                    frames.begin() + static_cast<std::ptrdiff_t>(j), frames.begin() + static_cast<std::ptrdiff_t>(j) + 1);
    }
}

QString FrameFlagsText(const TFrameEntry& frame)
{
    QStringList flags;
    if (frame.Dup)
        flags << QStringLiteral("DUP");
    flags << QStringLiteral("QoS %1").arg(frame.Qos);
    if (frame.Retain)
        flags << QStringLiteral("Retain");
    return flags.join(QStringLiteral(", "));
}

// ---- the model ----

TFramesModel::TFramesModel(std::size_t capacity, std::size_t byteBudget, QObject* parent)
    : TRingTableModel(capacity, parent), FByteBudget(byteBudget)
{
}

void TFramesModel::Append(std::vector<TFrameEntry> frames)
{
    if (frames.empty())
        return;
    FNextNumber += frames.size();
    // The newest rows go in front of the batch, so that a sent frame of this
    // batch can still move before an answer already shown.
    const bool sends = std::any_of(frames.begin(), frames.end(),
                                   [](const TFrameEntry& f) { return f.Direction == TFrameDirection::Sent; });
    const std::size_t tail = sends ? std::min(FRows.size(), AnswerWindow) : 0;
    std::vector<TFrameEntry> combined(FRows.end() - static_cast<std::ptrdiff_t>(tail), FRows.end());
    combined.insert(combined.end(), std::make_move_iterator(frames.begin()), std::make_move_iterator(frames.end()));
    PlaceSentBeforeAnswers(combined, tail, AnswerWindow);
    std::size_t unchanged = 0;
    while (unchanged < tail && combined[unchanged].Bytes == FRows[FRows.size() - tail + unchanged].Bytes &&
           combined[unchanged].Direction == FRows[FRows.size() - tail + unchanged].Direction)
        ++unchanged;
    // Rows shown already are taken back only when a late sent frame goes before them.
    DropNewest(tail - unchanged);
    AppendRows(std::make_move_iterator(combined.begin() + static_cast<std::ptrdiff_t>(unchanged)),
               std::make_move_iterator(combined.end()), [this](TFrameEntry&& frame) {
                   FKeptBytes += frame.Bytes.size();
                   return std::move(frame);
               });
    // Then the byte budget; the newest frame always stays.
    std::size_t drop = 0;
    std::size_t kept = FKeptBytes;
    while (kept > FByteBudget && drop + 1 < FRows.size())
        kept -= FRows[drop++].Bytes.size();
    DropOldest(drop);
    FFirstNumber = FNextNumber - static_cast<uint64_t>(FRows.size());
}

void TFramesModel::Dropping(const TFrameEntry& frame)
{
    FKeptBytes -= frame.Bytes.size();
}

void TFramesModel::Clear()
{
    TRingTableModel::Clear();
    FKeptBytes = 0;
    FFirstNumber = FNextNumber;
}

TFramesModel::TKind TFramesModel::KindOf(const TFrameEntry& frame)
{
    if (frame.Malformed || frame.ReturnCode > 0)
        return TKind::Error;
    return frame.Direction == TFrameDirection::Sent ? TKind::Sent : TKind::Received;
}

int TFramesModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant TFramesModel::data(const QModelIndex& index, int role) const
{
    if (!ValidRow(index))
        return {};
    const TFrameEntry& frame = RowAt(index.row());
    const TKind kind = KindOf(frame);
    switch (role) {
    case Qt::DisplayRole:
        switch (index.column()) {
        case NumberColumn:
            return QString::number(NumberAt(index.row()));
        case TimeColumn:
            return ViewText::EventTimeMs(frame.Time);
        case DirectionColumn:
            return frame.Direction == TFrameDirection::Sent ? QStringLiteral("送信 →") : QStringLiteral("受信 ←");
        case TypeColumn:
            return QString::fromLatin1(MessageType::Name(frame.Type));
        case FlagsColumn:
            return FrameFlagsText(frame);
        case LengthColumn:
            return frame.RemainLength >= 0 ? QString::number(frame.RemainLength) : QStringLiteral("?");
        case IdColumn:
            return frame.MessageID >= 0 ? QString::number(frame.MessageID) : QString();
        case BytesColumn: {
            const std::size_t shown = std::min<std::size_t>(frame.Bytes.size(), ShownBytes);
            QString text = QByteArray(reinterpret_cast<const char*>(frame.Bytes.data()), static_cast<qsizetype>(shown))
                               .toHex(' ')
                               .toUpper();
            if (static_cast<int64_t>(shown) < frame.Size)
                text += QStringLiteral(" …");
            return text;
        }
        case ConnectionColumn:
            return FNames ? FNames->Of(frame.Connection) : QString();
        }
        return {};
    case Qt::BackgroundRole:
        switch (kind) {
        case TKind::Sent:
            return QBrush(QColor(0xe8, 0xf0, 0xfe));
        case TKind::Received:
            return QBrush(QColor(0xe6, 0xf4, 0xea));
        case TKind::Error:
            return QBrush(QColor(0xfd, 0xd8, 0xd6));
        }
        return {};
    case Qt::ForegroundRole:
        return kind == TKind::Error ? QVariant(QBrush(QColor(0xb0, 0x00, 0x00))) : QVariant();
    case Qt::FontRole:
        return index.column() == BytesColumn ? QVariant(QFontDatabase::systemFont(QFontDatabase::FixedFont))
                                             : QVariant();
    case Qt::TextAlignmentRole:
        return index.column() == LengthColumn || index.column() == IdColumn || index.column() == NumberColumn
                   ? QVariant(int(Qt::AlignRight | Qt::AlignVCenter))
                   : QVariant();
    case Qt::AccessibleDescriptionRole:
        switch (kind) {
        case TKind::Sent:
            return QStringLiteral("送信");
        case TKind::Received:
            return QStringLiteral("受信");
        case TKind::Error:
            return QStringLiteral("エラー");
        }
        return {};
    case KindRole:
        return static_cast<int>(kind);
    }
    return {};
}

QVariant TFramesModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    switch (section) {
    case NumberColumn:
        return QStringLiteral("番号");
    case TimeColumn:
        return QStringLiteral("時刻");
    case DirectionColumn:
        return QStringLiteral("方向");
    case TypeColumn:
        return QStringLiteral("種類");
    case FlagsColumn:
        return QStringLiteral("フラグ");
    case LengthColumn:
        return QStringLiteral("残りの長さ");
    case IdColumn:
        return QStringLiteral("ID");
    case BytesColumn:
        return QStringLiteral("バイト列 (16 進)");
    case ConnectionColumn:
        return QStringLiteral("接続");
    }
    return {};
}

// ---- filter and search ----

void TFramesFilterModel::SetType(int type)
{
    FType = type;
    invalidateRowsFilter();
}

void TFramesFilterModel::SetDirection(int direction)
{
    FDirection = direction;
    invalidateRowsFilter();
}

void TFramesFilterModel::SetConnection(int connection)
{
    FConnection = connection;
    invalidateRowsFilter();
}

bool TFramesFilterModel::filterAcceptsRow(int sourceRow, const QModelIndex&) const
{
    const TFrameEntry& frame = static_cast<const TFramesModel*>(sourceModel())->FrameAt(sourceRow);
    return (FType < 0 || frame.Type == FType) && (FDirection < 0 || static_cast<int>(frame.Direction) == FDirection) &&
           (FConnection == 0 || frame.Connection == FConnection);
}

qsizetype FindInFrame(const TFrameEntry& frame, const QByteArray& bytes, qsizetype from)
{
    if (bytes.isEmpty())
        return -1;
    const auto* data = reinterpret_cast<const uint8_t*>(bytes.constData());
    const auto at = std::search(frame.Bytes.begin() + std::min<qsizetype>(from, static_cast<qsizetype>(frame.Bytes.size())),
                                frame.Bytes.end(), data, data + bytes.size());
    return at == frame.Bytes.end() ? -1 : static_cast<qsizetype>(at - frame.Bytes.begin());
}

bool SearchBytes(const QString& text, bool hex, QByteArray& bytes)
{
    if (!hex) {
        bytes = text.toUtf8();
        return true;
    }
    QString digits = text;
    digits.remove(QStringLiteral("0x"), Qt::CaseInsensitive);
    digits.remove(QRegularExpression(QStringLiteral("[\\s,:]")));
    if (digits.size() % 2 != 0 || digits.contains(QRegularExpression(QStringLiteral("[^0-9A-Fa-f]"))))
        return false;
    bytes = QByteArray::fromHex(digits.toLatin1());
    return true;
}
