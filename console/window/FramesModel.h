#pragma once

#include "console/window/RingTableModel.h"
#include "mqtt/engine/SessionObserver.h"
#include "platform/Clock.h"

#include <QSortFilterProxyModel>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// One frame on the wire as the session feed hands it over: the header fields
// decoded on the client's thread while the whole frame was at hand, and its
// first bytes. A big frame is never copied whole: only FrameKeepBytes of it.
struct TFrameEntry {
    TLocalDateTime Time{};
    TFrameDirection Direction = TFrameDirection::Sent;
    int32_t Size = 0;               // the whole frame
    std::vector<uint8_t> Bytes;     // its first bytes, at most FrameKeepBytes
    int32_t Type = 0;               // bits 7-4 of the first byte
    bool Dup = false;
    int32_t Qos = 0;
    bool Retain = false;
    int32_t RemainLength = -1;      // -1: the length field could not be read
    int32_t MessageID = -1;         // -1: the type carries none
    int32_t ReturnCode = -1;        // CONNACK's return code, else -1
    bool Malformed = false;         // the header does not describe a frame of this size and type
    TProtocolVersion Version = TProtocolVersion::MQTT31;   // the connection's: the rules it is decoded by
    int Connection = 0;             // the window's number of the connection it passed on
    int Stream = 0;                 // which "Open" of that connection: the TCP stream it passed in

    bool Whole() const { return static_cast<int64_t>(Bytes.size()) == Size; }
};

inline constexpr std::size_t FrameKeepBytes = 4096;

// Reads the header of a whole frame (never beyond size) and keeps its first
// keep bytes. Cheap enough for the reader and writer threads. The version is
// the connection's: type 15 is AUTH under 5.0 and reserved before it.
TFrameEntry MakeFrameEntry(TFrameDirection direction, const uint8_t* frame, int32_t size,
                           std::size_t keep = FrameKeepBytes, TProtocolVersion version = TProtocolVersion::MQTT31);

// The frame decoded field by field, lines in the system code page: for a frame
// kept whole the lines "Queue 取り出し" reports for it; for a cut one the header
// fields decoded when it passed, and a line saying where it was cut.
std::vector<std::string> FrameDetailLines(const TFrameEntry& frame);

// Whether a received frame is the broker's answer to a sent one: CONNACK to
// CONNECT, PINGRESP to PINGREQ, and by identifier SUBACK to SUBSCRIBE, UNSUBACK
// to UNSUBSCRIBE, PUBACK to a QoS 1 PUBLISH, PUBREC to a QoS 2 PUBLISH, PUBREL
// to PUBREC, PUBCOMP to PUBREL.
bool AnswersFrame(const TFrameEntry& received, const TFrameEntry& sent);

// A sent frame is reported once its write has returned, and by then the
// broker's answer may have been reported already. Puts each sent frame from
// index `from` on before an answer to it among the `window` frames before it;
// an answer that follows an earlier request of the same kind stays that request's.
void PlaceSentBeforeAnswers(std::vector<TFrameEntry>& frames, std::size_t from, std::size_t window);

// "DUP, QoS 1, Retain" from the first byte's flags; "QoS 0" when none is set.
QString FrameFlagsText(const TFrameEntry& frame);

class TConnectionNames;

// The frames sent and received, oldest first. Bounded in rows and in the bytes
// the rows keep, whichever limit comes first.
class TFramesModel : public TRingTableModel<TFrameEntry> {
    Q_OBJECT

public:
    enum TColumn {
        NumberColumn, TimeColumn, DirectionColumn, TypeColumn, FlagsColumn, LengthColumn, IdColumn, BytesColumn,
        ConnectionColumn, ColumnCount
    };
    enum class TKind { Sent, Received, Error };
    static constexpr std::size_t DefaultCapacity = 100000;
    static constexpr std::size_t DefaultByteBudget = 64 * 1024 * 1024;
    // The row's TKind as an int.
    static constexpr int KindRole = Qt::UserRole + 1;
    // Bytes shown in the table's last column; the detail pane shows all kept bytes.
    static constexpr int ShownBytes = 24;
    // How far back an answer reported before its request is looked for.
    static constexpr std::size_t AnswerWindow = 64;

    explicit TFramesModel(std::size_t capacity = DefaultCapacity, std::size_t byteBudget = DefaultByteBudget,
                          QObject* parent = nullptr);

    void Append(std::vector<TFrameEntry> frames);

    const TFrameEntry& FrameAt(int row) const { return RowAt(row); }
    // The frame's number in the session (1 for the first frame since the window opened).
    uint64_t NumberAt(int row) const { return FFirstNumber + static_cast<uint64_t>(row); }
    std::size_t KeptBytes() const { return FKeptBytes; }
    static TKind KindOf(const TFrameEntry& frame);

    void Clear();
    // The connections' names for their column.
    void SetConnectionNames(const TConnectionNames* names) { FNames = names; }

    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

private:
    void Dropping(const TFrameEntry& frame) override;

    const TConnectionNames* FNames = nullptr;
    std::size_t FByteBudget;
    std::size_t FKeptBytes = 0;
    uint64_t FFirstNumber = 1;
    uint64_t FNextNumber = 1;
};

// The frames the view shows: of one packet type, one direction, one connection (or all).
class TFramesFilterModel : public QSortFilterProxyModel {
    Q_OBJECT

public:
    using QSortFilterProxyModel::QSortFilterProxyModel;

    void SetType(int type);              // -1: any
    void SetDirection(int direction);    // -1: any, else a TFrameDirection
    void SetConnection(int connection);  // 0: any
    bool Filtering() const { return FType >= 0 || FDirection >= 0 || FConnection != 0; }

protected:
    bool filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const override;

private:
    int FType = -1;
    int FDirection = -1;
    int FConnection = 0;
};

// Where bytes are in a frame's kept bytes, after a position; -1 when they are not.
qsizetype FindInFrame(const TFrameEntry& frame, const QByteArray& bytes, qsizetype from = 0);
// A search text as bytes: hex digits in pairs (blanks allowed, "0x" too), or
// the text's UTF-8; false when hex was asked for and the text is none.
bool SearchBytes(const QString& text, bool hex, QByteArray& bytes);
