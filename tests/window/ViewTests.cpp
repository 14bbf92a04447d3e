// The session's views in the window: the log pane, the received messages with
// their hex dump, the frames on the wire and the status texts.
#include "WindowTestSupport.h"
#include "console/form/QueueReport.h"
#include "console/window/FramesView.h"
#include "console/window/LogPane.h"
#include "console/window/MessagesFilter.h"
#include "console/window/MessagesView.h"
#include "console/window/PayloadChart.h"
#include "console/window/JsonHighlighter.h"
#include "console/window/TopicTree.h"
#include "console/window/ViewSetup.h"
#include "console/window/PropertyEditor.h"
#include "console/window/SessionPanel.h"
#include "console/window/SessionStatus.h"
#include "mqtt/codec/MQTTPacket.h"
#include "platform/CodePage.h"
#include "support/FakeBroker.h"
#include "support/MosquittoBroker.h"
#include "support/MqttFrames.h"
#include "support/UdpCapture.h"

#include <QAccessible>
#include <QAccessibleInterface>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDesktopServices>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPlainTextEdit>
#include <QSpinBox>
#include <QStringListModel>
#include <QTabWidget>
#include <QTableView>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QToolButton>
#include <QTreeView>
#include <QUrl>

#include <algorithm>
#include <atomic>
#include <thread>

#include <time.h>

using namespace windowtest;
using testframes::TFrame;

namespace {

TFrame Bytes(const char* hex)
{
    const QByteArray bytes = QByteArray::fromHex(hex);
    return TFrame(bytes.begin(), bytes.end());
}

QByteArray AsQ(const TFrame& frame)
{
    return QByteArray(reinterpret_cast<const char*>(frame.data()), static_cast<qsizetype>(frame.size()));
}

std::vector<uint8_t> EveryByte()
{
    std::vector<uint8_t> bytes(256);
    for (int i = 0; i < 256; ++i)
        bytes[static_cast<std::size_t>(i)] = static_cast<uint8_t>(i);
    return bytes;
}

QStringList Lines(const std::vector<std::string>& lines)
{
    QStringList out;
    for (const std::string& line : lines)
        out << QString::fromStdString(CodePage::SystemToUTF8(line));
    return out;
}

// A message as the feed hands it over; its payload in a file when a folder is given.
TReceivedMessage Message(const QString& topic, const QByteArray& payload, int qos = 0, bool retain = false,
                         const QString& folder = {})
{
    static int count = 0;
    TReceivedMessage m;
    m.Message.Time = NowLocal();
    m.Message.Time.Second = (count / 1000) % 60;
    m.Message.Time.Millisecond = count % 1000;
    m.Message.Topic = CodePage::FromUTF8Literal(topic.toStdString());
    m.Message.Qos = qos;
    m.Message.Retain = retain;
    m.Message.MessageID = ++count;
    m.Message.Size = payload.size();
    m.Message.Path =
        ((folder.isEmpty() ? QStringLiteral("/nonexistent") : folder) + QStringLiteral("/Pub_%1.dat").arg(count))
            .toStdString();
    if (!folder.isEmpty()) {
        QFile file(QString::fromStdString(m.Message.Path));
        if (!file.open(QIODevice::WriteOnly) || file.write(payload) != payload.size())
            qFatal("cannot write a payload");
    }
    m.Head = payload.left(PayloadHeadBytes);
    return m;
}

QString CellText(QTableView* view, int row, int column)
{
    return view->model()->index(row, column).data().toString();
}

void SelectRow(QTableView* view, int row)
{
    view->selectionModel()->setCurrentIndex(view->model()->index(row, 0),
                                            QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

// Catches what "open the containing folder" hands to the desktop.
class TUrlCatcher : public QObject {
    Q_OBJECT

public:
    QList<QUrl> Opened;

public slots:
    void Open(const QUrl& url) { Opened << url; }
};

}  // namespace

class TViewTests : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<UdpCapture> Log;
    std::unique_ptr<TQuietWindow> Window;

    TQuietWindow& OpenWindow()
    {
        Window = std::make_unique<TQuietWindow>(Log->Port());
        Window->Start();
        Window->resize(1100, 900);
        Window->show();
        return *Window;
    }

    TSessionPanel& Views() { return *Window->SessionViews(); }

    void PointAt(int port, const QString& payloads = {})
    {
        Find<QLineEdit>(*Window, "BrokerEdit1")->setText(QStringLiteral("127.0.0.1"));
        Find<QSpinBox>(*Window, "BrokerPortSpn")->setValue(port);
        if (!payloads.isEmpty())
            Window->PostToForm([dir = payloads.toStdString()](TForm1& form) { form.PayloadDirectory = dir; });
    }

    // The four status texts once they read as expected (the feed hands over in batches).
    bool StatusReads(const QString& connection, const QString& session, int queued = -1)
    {
        TSessionStatus& status = *Views().Status();
        const bool ok = WaitUntil(
            [&] {
                return status.ConnectionLabel()->text() == connection && status.SessionLabel()->text() == session &&
                       (queued < 0 || status.QueueLabel()->text() == QStringLiteral("受信キュー: %1 件").arg(queued));
            },
            10000);
        if (!ok)
            qWarning().noquote() << "status:" << status.ConnectionLabel()->text() << "|"
                                 << status.SessionLabel()->text() << "|" << status.QueueLabel()->text();
        return ok;
    }

private slots:
    void init() { Log = std::make_unique<UdpCapture>(); }

    void cleanup()
    {
        Window.reset();
        Log.reset();
    }

    // ---- frames: the header read on the client's thread ----

    void frameHeaderIsReadWhileTheWholeFrameIsAtHand_data()
    {
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("flags");
        QTest::addColumn<int>("remain");
        QTest::addColumn<int>("id");
        QTest::addColumn<int>("code");
        QTest::addColumn<bool>("malformed");
        QTest::addColumn<bool>("error");   // coloured as an error
        QTest::addColumn<int>("kept");
        using testframes::BrokerPublish;
        QTest::newRow("CONNACK accepted") << AsQ(Bytes("20020000")) << 2 << "QoS 0" << 2 << -1 << 0 << false << false
                                          << 4;
        QTest::newRow("CONNACK refused") << AsQ(Bytes("20020005")) << 2 << "QoS 0" << 2 << -1 << 5 << false << true
                                         << 4;
        QTest::newRow("PUBLISH QoS 2, DUP, retain") << AsQ(BrokerPublish(2, 7, "a/b", {'h', 'i'}, 0x09)) << 3
                                                    << "DUP, QoS 2, Retain" << 9 << 7 << -1 << false << false << 11;
        QTest::newRow("PUBLISH QoS 0 has no identifier")
            << AsQ(BrokerPublish(0, 0, "a/b", {'x'})) << 3 << "QoS 0" << 6 << -1 << -1 << false << false << 8;
        QTest::newRow("SUBSCRIBE") << AsQ(Bytes("820800010003612F6202")) << 8 << "QoS 1" << 8 << 1 << -1 << false
                                   << false << 10;
        QTest::newRow("PINGREQ") << AsQ(Bytes("C000")) << 12 << "QoS 0" << 0 << -1 << -1 << false << false << 2;
        QTest::newRow("identifier behind a topic longer than what is kept")
            << AsQ(BrokerPublish(1, 0x1234, std::string(5000, 't'), std::vector<uint8_t>(10, 'p'))) << 3 << "QoS 1"
            << 5014 << 0x1234 << -1 << false << false << 4096;
        QTest::newRow("length beyond the frame") << AsQ(Bytes("40050001")) << 4 << "QoS 0" << 5 << -1 << -1 << true
                                                 << true << 4;
        QTest::newRow("PUBACK too short for its identifier")
            << AsQ(Bytes("400100")) << 4 << "QoS 0" << 1 << -1 << -1 << true << true << 3;
        QTest::newRow("reserved type") << AsQ(Bytes("0000")) << 0 << "QoS 0" << 0 << -1 << -1 << true << true << 2;
        QTest::newRow("length field of five bytes")
            << AsQ(Bytes("30FFFFFFFF01")) << 3 << "QoS 0" << -1 << -1 << -1 << true << true << 6;
    }

    void frameHeaderIsReadWhileTheWholeFrameIsAtHand()
    {
        QFETCH(QByteArray, frame);
        QFETCH(int, type);
        QFETCH(QString, flags);
        QFETCH(int, remain);
        QFETCH(int, id);
        QFETCH(int, code);
        QFETCH(bool, malformed);
        QFETCH(bool, error);
        QFETCH(int, kept);
        const TFrameEntry entry = MakeFrameEntry(TFrameDirection::Received,
                                                 reinterpret_cast<const uint8_t*>(frame.constData()),
                                                 static_cast<int32_t>(frame.size()));
        QCOMPARE(entry.Size, frame.size());
        QCOMPARE(entry.Type, type);
        QCOMPARE(FrameFlagsText(entry), flags);
        QCOMPARE(entry.RemainLength, remain);
        QCOMPARE(entry.MessageID, id);
        QCOMPARE(entry.ReturnCode, code);
        QCOMPARE(entry.Malformed, malformed);
        QCOMPARE(TFramesModel::KindOf(entry) == TFramesModel::TKind::Error, error);
        QCOMPARE(static_cast<int>(entry.Bytes.size()), kept);
        QCOMPARE(AsQ(entry.Bytes), frame.left(kept));
    }

    void frameIsDecodedLikeTheQueueInspection_data()
    {
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<QStringList>("expected");   // lines that must be among the details
        QTest::addColumn<int>("version");            // the connection's protocol level
        QTest::newRow("SUBACK kept whole")
            << AsQ(testframes::Suback(7, {2, 0}))
            << QStringList{"----- Analyze -------", "MessageType     9", "MessageID       7",
                           "SubackGrantedQoSList 2,0"}
            << 3;
        QTest::newRow("PUBLISH cut at 4 KiB")
            << AsQ(testframes::BrokerPublish(1, 9, "big/t", std::vector<uint8_t>(5000, 'p')))
            << QStringList{"MessageType     3", "MessageID       9", "FixedQos        1", "RemainLength    5009",
                           "PublishTopic    big/t", "PublishDataSize 5000",
                           QStringLiteral("(先頭 4096 バイトだけ保持: 全 5012 バイト。以降のフィールドは復号していません)")}
            << 3;
        // A 5.0 PUBLISH carries a property before its payload: no payload byte.
        QTest::newRow("5.0 PUBLISH cut at 4 KiB")
            << AsQ(Bytes("329427" "00056269672F74" "0009" "02" "0101")) + QByteArray(5000, 'p')
            << QStringList{"RemainLength    5012", "PublishTopic    big/t", "PublishDataSize 5000"} << 5;
        QTest::newRow("unknown type")
            << AsQ(Bytes("F000"))
            << QStringList{QStringLiteral("*ERROR* 解析できません: reserved type 15: unknown MQTT message"),
                           "MessageType     15"}
            << 3;
        // Sent as typed: where the bytes stop making a frame.
        QTest::newRow("a length that lies")
            << AsQ(Bytes("300A0003612F62"))
            << QStringList{QStringLiteral("*ERROR* 解析できません: PUBLISH: the remaining length says 10 bytes, 5 follow"),
                           "RemainLength    10"}
            << 3;
        // Frames of a 3.1.1 connection are read by its rules.
        QTest::newRow("3.1.1 CONNECT") << AsQ(Bytes("101000044D5154540402003C000464657631"))
                                       << QStringList{"ConnectFlags    $02", "KeepAliveTimer  60",
                                                      "ClientID        dev1", "ProtocolName    MQTT",
                                                      "ProtocolLevel   4"}
                                       << 4;
        QTest::newRow("3.1.1 CONNACK") << AsQ(Bytes("20020100")) << QStringList{"SessionPresent  True"} << 4;
        // 5.0: properties and reason codes by name; type 15 is AUTH, not a reserved type.
        QTest::newRow("5.0 CONNACK with properties")
            << AsQ(Bytes("200900000622000A210014"))
            << QStringList{"ReasonCode      0x00 Success", "Property        Topic Alias Maximum = 10",
                           "Property        Receive Maximum = 20"}
            << 5;
        QTest::newRow("5.0 SUBACK refused") << AsQ(Bytes("9004000100" "87"))
                                            << QStringList{"ReasonCode#1    0x87 Not authorized (refused)"} << 5;
        QTest::newRow("5.0 broker's DISCONNECT") << AsQ(Bytes("E0018B"))
                                                 << QStringList{"ReasonCode      0x8B Server shutting down"} << 5;
        QTest::newRow("5.0 AUTH") << AsQ(Bytes("F00A1808150005534352414D"))
                                  << QStringList{"MessageType     15", "ReasonCode      0x18 Continue authentication",
                                                 "Property        Authentication Method = SCRAM"}
                                  << 5;
    }

    void frameIsDecodedLikeTheQueueInspection()
    {
        QFETCH(QByteArray, frame);
        QFETCH(QStringList, expected);
        QFETCH(int, version);
        const auto* bytes = reinterpret_cast<const uint8_t*>(frame.constData());
        const TFrameEntry entry = MakeFrameEntry(TFrameDirection::Received, bytes, static_cast<int32_t>(frame.size()),
                                                 FrameKeepBytes, static_cast<TProtocolVersion>(version));
        if (version == 5)
            QVERIFY(!entry.Malformed && TFramesModel::KindOf(entry) != TFramesModel::TKind::Error);
        const QStringList details = Lines(FrameDetailLines(entry));
        for (const QString& line : expected)
            QVERIFY2(details.contains(line), qPrintable(line + "\n in:\n" + details.join('\n')));
        if (entry.Whole() && !entry.Malformed) {
            TMQTTPacket packet(bytes, static_cast<int32_t>(frame.size()), entry.Version);
            packet.AnalyzePacket();
            QCOMPARE(details, Lines(QueueReportLines(packet)));
        }
    }

    void sentFrameGoesBeforeAnAnswerReportedFirst_data()
    {
        // Frames in the order they were reported: S/R and the bytes; "|" starts a new batch.
        QTest::addColumn<QString>("reported");
        QTest::addColumn<QString>("shown");   // the types as the table shows them
        QTest::newRow("answer first in one batch") << "R20020000 S10020000" << "CONNECT CONNACK";
        QTest::newRow("answer already shown") << "R20020000 | S10020000" << "CONNECT CONNACK";
        QTest::newRow("other frames stay before")
            << "R30050003612F62 R9003000102 S820800010003612F6202" << "PUBLISH SUBSCRIBE SUBACK";
        QTest::newRow("another identifier is no answer")
            << "R9003000202 S820800010003612F6202" << "SUBACK SUBSCRIBE";
        QTest::newRow("PUBACK does not answer QoS 2") << "R40020003 S34070003612F620003" << "PUBACK PUBLISH";
        QTest::newRow("broker's PUBREL answers our PUBREC") << "R62020004 | S50020004" << "PUBREC PUBREL";
        QTest::newRow("in order already") << "S10020000 R20020000" << "CONNECT CONNACK";
        QTest::newRow("answer of an earlier request stays") << "SC000 RD000 SC000" << "PINGREQ PINGRESP PINGREQ";
        QTest::newRow("second answer goes after the second request")
            << "SC000 RD000 RD000 | SC000" << "PINGREQ PINGRESP PINGREQ PINGRESP";
    }

    void sentFrameGoesBeforeAnAnswerReportedFirst()
    {
        QFETCH(QString, reported);
        QFETCH(QString, shown);
        TFramesModel model;
        for (const QString& batch : reported.split('|')) {
            std::vector<TFrameEntry> frames;
            for (const QString& item : batch.split(' ', Qt::SkipEmptyParts)) {
                const TFrame bytes = Bytes(item.mid(1).toLatin1().constData());
                frames.push_back(MakeFrameEntry(item[0] == 'S' ? TFrameDirection::Sent : TFrameDirection::Received,
                                                bytes.data(), static_cast<int32_t>(bytes.size())));
            }
            model.Append(std::move(frames));
        }
        QStringList types;
        for (int row = 0; row < model.rowCount(); ++row) {
            types << model.index(row, TFramesModel::TypeColumn).data().toString();
            QCOMPARE(model.index(row, TFramesModel::NumberColumn).data().toString(), QString::number(row + 1));
        }
        QCOMPARE(types.join(' '), shown);
    }

    // ---- the hex dump and the payload as text ----

    void hexDumpReadsRowsFromTheFile_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("pageSize");
        QTest::addColumn<int>("row");
        QTest::addColumn<QString>("offset");
        QTest::addColumn<QString>("hex");   // without the padding of a short row
        QTest::addColumn<QString>("ascii");
        const int big = int(THexDumpModel::DefaultPageSize);
        QTest::newRow("first row") << 256 << big << 0 << "00000000" << "00 01 02 03 04 05 06 07  08 09 0A 0B 0C 0D 0E 0F"
                                   << "................";
        QTest::newRow("printable row") << 256 << big << 2 << "00000020"
                                       << "20 21 22 23 24 25 26 27  28 29 2A 2B 2C 2D 2E 2F" << " !\"#$%&'()*+,-./";
        QTest::newRow("last row") << 256 << big << 15 << "000000F0" << "F0 F1 F2 F3 F4 F5 F6 F7  F8 F9 FA FB FC FD FE FF"
                                  << "................";
        QTest::newRow("short last row") << 20 << big << 1 << "00000010" << "10 11 12 13" << "....";
        QTest::newRow("first row of a later page") << 1000 << 64 << 4 << "00000040"
                                                   << "40 41 42 43 44 45 46 47  48 49 4A 4B 4C 4D 4E 4F"
                                                   << "@ABCDEFGHIJKLMNO";
        QTest::newRow("short row at the end of a later page")
            << 1000 << 64 << 62 << "000003E0" << "E0 E1 E2 E3 E4 E5 E6 E7" << "........";
    }

    void hexDumpReadsRowsFromTheFile()
    {
        QFETCH(int, size);
        QFETCH(int, pageSize);
        QFETCH(int, row);
        QFETCH(QString, offset);
        QFETCH(QString, hex);
        QFETCH(QString, ascii);
        QTemporaryDir dir;
        QFile file(dir.filePath("payload.bin"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        QByteArray bytes(size, 0);
        for (int i = 0; i < size; ++i)
            bytes[i] = static_cast<char>(i & 0xFF);
        QVERIFY(file.write(bytes) == size);
        file.close();

        THexDumpModel model(nullptr, pageSize, 2);
        QVERIFY(model.SetFile(file.fileName()));
        QCOMPARE(model.PagesRead(), 0);   // opening reads nothing
        QCOMPARE(model.rowCount(), (size + 15) / 16);
        QCOMPARE(model.index(row, THexDumpModel::OffsetColumn).data().toString(), offset);
        const QString shown = model.index(row, THexDumpModel::HexColumn).data().toString();
        QCOMPARE(shown.trimmed(), hex);
        QCOMPARE(shown.size(), THexDumpModel::HexText(QByteArray(16, 0)).size());   // columns stay lined up
        QCOMPARE(model.index(row, THexDumpModel::AsciiColumn).data().toString(), ascii);
        QCOMPARE(model.PagesRead(), 1);   // one page for one row, read once for both columns
        // The same bytes from memory.
        THexDumpModel memory;
        memory.SetBytes(bytes);
        QCOMPARE(memory.index(row, THexDumpModel::HexColumn).data().toString(), shown);
    }

    void payloadTextShowsEveryByte_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("cut");
        QTest::addColumn<int>("lineLimit");
        QTest::addColumn<QString>("text");
        QTest::newRow("ASCII") << QByteArray("hello") << false << 0 << "hello";
        QTest::newRow("Japanese") << QStringLiteral("センサー").toUtf8() << false << 0 << QStringLiteral("センサー");
        QTest::newRow("invalid byte") << QByteArray("a\xFF" "b") << false << 0 << "a\\xFFb";
        QTest::newRow("zero byte is not an end") << QByteArray("ab\0z", 4) << false << 0 << "ab\\x00z";
        QTest::newRow("line ends and tabs") << QByteArray("a\r\nb\tc\rd") << false << 0 << "a\nb\tc\\x0Dd";
        QTest::newRow("C1 control") << QByteArray("x\xC2\x85y") << false << 0 << "x\\u0085y";
        QTest::newRow("character cut by the prefix") << QByteArray("ab\xE3\x82") << true << 0 << "ab";
        QTest::newRow("the same bytes at the real end") << QByteArray("ab\xE3\x82") << false << 0 << "ab\\xE3\\x82";
        QTest::newRow("lone continuation at the cut") << QByteArray("ab\x82") << true << 0 << "ab\\x82";
        QTest::newRow("long line broken") << QByteArray("abcde\nfg") << false << 2 << "ab\ncd\ne\nfg";
        QTest::newRow("escapes stay whole") << QByteArray("\x01\x02z") << false << 5 << "\\x01\n\\x02z";
    }

    void payloadTextShowsEveryByte()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, cut);
        QFETCH(int, lineLimit);
        QFETCH(QString, text);
        QCOMPARE(TMessagesView::PayloadText(bytes, cut, lineLimit), text);
    }

    // ---- the log ----

    void logKeepsTheNewestLinesInOrder()
    {
        TLogModel model(5);
        auto batch = [](uint64_t first, uint64_t count) {
            std::vector<TLogEntry> lines;
            for (uint64_t s = first; s < first + count; ++s)
                lines.push_back({s, NowLocal(), "MQTT_Unit", "line " + std::to_string(s)});
            return lines;
        };
        const std::vector<std::pair<std::vector<TLogEntry>, std::vector<uint64_t>>> steps{
            {batch(1, 3), {1, 2, 3}},
            {batch(4, 4), {3, 4, 5, 6, 7}},         // the two oldest go
            {batch(8, 8), {11, 12, 13, 14, 15}},    // a batch larger than the ring keeps its newest
        };
        for (const auto& [lines, expected] : steps) {
            model.Append(lines);
            std::vector<uint64_t> seen;
            for (int row = 0; row < model.rowCount(); ++row)
                seen.push_back(model.LineAt(row).Sequence);
            QCOMPARE(seen, expected);
        }
        QCOMPARE(model.index(4, TLogModel::MessageColumn).data().toString(), QStringLiteral("line 15"));

        // Failure lines stand out, by colour and in words.
        const std::vector<std::pair<std::string, QString>> severities{
            {"received CONNACK [dev1]", QString()},
            {"*ERROR* CONNECT frame building failed, parameter error [dev1]", QStringLiteral("エラー")},
            {"TMQTTEventHandlerThread:*EXCEPTIN* Cannot create file[dev1]", QStringLiteral("例外")},
        };
        for (const auto& [message, description] : severities) {
            model.Append({{99, NowLocal(), "MQTT_Unit", message}});
            const QModelIndex cell = model.index(model.rowCount() - 1, TLogModel::MessageColumn);
            QCOMPARE(cell.data(Qt::AccessibleDescriptionRole).toString(), description);
            QCOMPARE(cell.data(Qt::BackgroundRole).isValid(), !description.isEmpty());
            QCOMPARE(cell.data(Qt::DecorationRole).isValid(), !description.isEmpty());
        }
    }

    void logPaneFiltersFindsCopiesAndSaves()
    {
        TLogPane pane;
        pane.resize(900, 400);
        pane.Append({{1, NowLocal(), "Tarnwick", "connecting..."},
                     {2, NowLocal(), "MQTT_Unit", "sending CONNECT [dev1]"},
                     {3, NowLocal(), "MQTT_Unit", "received CONNACK [dev1]"},
                     {4, NowLocal(), "TMQTTEventHandlerThread", "received PUBLISH [dev1]"},
                     {5, NowLocal(), "Tarnwick", "disconnected."}});
        auto shown = [&] {
            QStringList messages;
            for (int row = 0; row < pane.Filter()->rowCount(); ++row)
                messages << pane.Filter()->index(row, TLogModel::MessageColumn).data().toString();
            return messages;
        };
        struct TCase {
            QString Text;
            int Source;   // index in the source box; 0: every source
            QStringList Shown;
        };
        const TCase cases[] = {
            {"", 0, {"connecting...", "sending CONNECT [dev1]", "received CONNACK [dev1]", "received PUBLISH [dev1]",
                     "disconnected."}},
            {"RECEIVED", 0, {"received CONNACK [dev1]", "received PUBLISH [dev1]"}},
            {"", 1, {"connecting...", "disconnected."}},
            {"received", 2, {"received CONNACK [dev1]"}},
            {"nothing like this", 0, {}},
        };
        for (const TCase& c : cases) {
            pane.FilterEdit()->setText(c.Text);
            pane.SourceBox()->setCurrentIndex(c.Source);
            QCOMPARE(shown(), c.Shown);
        }
        pane.FilterEdit()->clear();
        pane.SourceBox()->setCurrentIndex(0);

        // Find: forward from the top, on to the next, round past the end, and back.
        pane.FindEdit()->setText("received");
        const int expectedRows[] = {2, 3, 2};
        for (int expected : expectedRows) {
            QVERIFY(pane.FindNext());
            QCOMPARE(pane.View()->currentIndex().row(), expected);
        }
        QVERIFY(pane.FindNext(true));
        QCOMPARE(pane.View()->currentIndex().row(), 3);
        QVERIFY(!pane.FollowBox()->isChecked());   // a found line stays in sight
        pane.FindEdit()->setText("absent");
        QVERIFY(!pane.FindNext());

        // Copy takes whole lines in the listener's format.
        pane.View()->selectionModel()->select(QItemSelection(pane.Filter()->index(1, 0), pane.Filter()->index(2, 0)),
                                              QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
        pane.CopySelection();
        const QString time = pane.Model()->index(1, TLogModel::TimeColumn).data().toString();
        QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("%1 MQTT_Unit: sending CONNECT [dev1]\n"
                                                                   "%1 MQTT_Unit: received CONNACK [dev1]\n")
                                                        .arg(time));

        // Save writes what is shown.
        QTemporaryDir dir;
        pane.SourceBox()->setCurrentIndex(1);
        QVERIFY(pane.SaveTo(dir.filePath("log.txt")));
        QFile saved(dir.filePath("log.txt"));
        QVERIFY(saved.open(QIODevice::ReadOnly));
        const QStringList savedLines = QString::fromUtf8(saved.readAll()).split('\n');
        QCOMPARE(savedLines.size(), 3);
        QVERIFY(savedLines[0].endsWith(" Tarnwick: connecting..."));
        QVERIFY(savedLines[1].endsWith(" Tarnwick: disconnected."));
        QVERIFY(savedLines[2].isEmpty());

        pane.Clear();
        QCOMPARE(pane.Model()->rowCount(), 0);
    }

    void linesAppearInOrderAndAFloodKeepsTheWindowResponsive()
    {
        TQuietWindow& window = OpenWindow();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        TLogModel& model = *Views().Log()->Model();
        QVERIFY(WaitUntil([&] { return model.rowCount() >= 1; }, 5000));
        QCOMPARE(model.LineAt(0).Message, QStringLiteral("FormCreate: program start.. "));
        QCOMPARE(model.LineAt(0).Source, QStringLiteral("Tarnwick"));
        QVERIFY(Log->WaitForMessage("FormCreate: program start.. ", 5000));   // the datagram still goes out

        TEventFanOut* events = ReadForm<TEventFanOut*>(window, [](TForm1& form) { return &form.Events; });
        constexpr int Flood = 10000;
        const int before = model.rowCount();

        // A 10 ms probe: the longest the window's thread stayed away from its event
        // loop is the longest gap between two ticks. On a shared machine a gap in
        // wall time also holds the time other programs had the processor; what
        // the window itself held the loop for is its thread's processor time in
        // the gap, so that is what must stay within 100 ms.
        auto threadCpuMs = [] {
            timespec t{};
            clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
            return static_cast<double>(t.tv_sec) * 1000.0 + static_cast<double>(t.tv_nsec) / 1e6;
        };
        QElapsedTimer clock;
        qint64 lastTick = -1;
        double lastCpu = 0;
        qint64 longestGap = 0;
        double longestBusy = 0;
        QTimer probe;
        probe.setInterval(10);
        probe.setTimerType(Qt::PreciseTimer);
        connect(&probe, &QTimer::timeout, this, [&] {
            const qint64 now = clock.elapsed();
            const double cpu = threadCpuMs();
            if (lastTick >= 0) {
                longestGap = std::max(longestGap, now - lastTick);
                longestBusy = std::max(longestBusy, cpu - lastCpu);
            }
            lastTick = now;
            lastCpu = cpu;
        });
        clock.start();
        probe.start();
        QVERIFY(WaitUntil([&] { return lastTick >= 0; }, 5000));
        std::atomic<bool> sent{false};
        std::thread flood([&] {
            for (int i = 0; i < Flood; ++i)
                events->SendEventMsg("flood " + std::to_string(i), i % 2 ? "MQTT_Unit" : "TMQTTEventHandlerThread", 0,
                                     0);
            sent = true;
        });
        const bool shown = WaitUntil([&] { return sent && model.rowCount() >= before + Flood; }, 30000);
        flood.join();
        probe.stop();
        QVERIFY2(shown, qPrintable(QString::number(model.rowCount())));
        QVERIFY2(longestBusy <= 100, qPrintable(QStringLiteral("the window's thread held its loop for %1 ms "
                                                               "(longest gap between ticks %2 ms)")
                                                    .arg(longestBusy)
                                                    .arg(longestGap)));

        // Every line, once, in the order sent, numbered as the fan-out numbered it.
        QCOMPARE(model.rowCount(), before + Flood);
        for (int i = 0; i < Flood; ++i) {
            const TLogLine& line = model.LineAt(before + i);
            QCOMPARE(line.Message, QStringLiteral("flood %1").arg(i));
            QCOMPARE(line.Sequence, model.LineAt(before + i - 1).Sequence + 1);
        }
        QVERIFY(Views().Log()->FollowBox()->isChecked());
        const QModelIndex lastRow = Views().Log()->Filter()->index(model.rowCount() - 1, 0);
        QVERIFY(Views().Log()->View()->visualRect(lastRow).intersects(Views().Log()->View()->viewport()->rect()));
    }

    // ---- against a scripted broker ----

    void receivedBinaryPayloadShowsItsBytes()
    {
        FakeBroker broker;
        QTemporaryDir payloads;
        TQuietWindow& window = OpenWindow();
        PointAt(broker.Port(), payloads.path());
        QVERIFY(ClickAndWait(window, "ConnectBtn"));
        QVERIFY(broker.WaitForConnections(1, 5000));
        const std::string topic = CodePage::FromUTF8Literal("bin/データ");
        QVERIFY(broker.Send(testframes::BrokerPublish(1, 5, "bin/データ", EveryByte(), 0x01)));

        TMessagesView& messages = *Views().Messages();
        QVERIFY(WaitUntil([&] { return messages.Model()->rowCount() == 1; }, 10000));
        const QStringList row{QStringLiteral("bin/データ"), "1", QStringLiteral("はい"), QStringLiteral("いいえ"), "5",
                              "256"};
        const int columns[] = {TMessagesModel::TopicColumn, TMessagesModel::QosColumn, TMessagesModel::RetainColumn,
                               TMessagesModel::DupColumn, TMessagesModel::IdColumn, TMessagesModel::SizeColumn};
        for (int i = 0; i < row.size(); ++i)
            QCOMPARE(CellText(messages.View(), 0, columns[i]), row[i]);
        const QString path = messages.Model()->MessageAt(0).Path;
        QCOMPARE(QFileInfo(path).absolutePath(), QFileInfo(payloads.path()).absoluteFilePath());
        QVERIFY(QFileInfo(path).fileName().startsWith("Pub_"));
        QCOMPARE(CellText(messages.View(), 0, TMessagesModel::FileColumn), QFileInfo(path).fileName());

        SelectRow(messages.View(), 0);
        QCOMPARE(messages.Hex()->rowCount(), 16);
        QCOMPARE(messages.Hex()->index(4, THexDumpModel::AsciiColumn).data().toString(),
                 QStringLiteral("@ABCDEFGHIJKLMNO"));
        QCOMPARE(messages.Hex()->index(15, THexDumpModel::HexColumn).data().toString(),
                 QStringLiteral("F0 F1 F2 F3 F4 F5 F6 F7  F8 F9 FA FB FC FD FE FF"));
        const QString text = messages.TextView()->toPlainText();
        QVERIFY2(text.startsWith("\\x00\\x01\\x02") && text.contains("@ABC") && text.endsWith("\\xFE\\xFF"),
                 qPrintable(text));

        messages.CopyHex();
        const QStringList copied = QApplication::clipboard()->text().split('\n', Qt::SkipEmptyParts);
        QCOMPARE(copied.size(), 16);
        QCOMPARE(copied[0], QStringLiteral("00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F"));
        messages.HexView()->selectRow(2);
        QCOMPARE(messages.HexForCopy(), QStringLiteral("20 21 22 23 24 25 26 27 28 29 2A 2B 2C 2D 2E 2F\n"));

        TUrlCatcher desktop;
        QDesktopServices::setUrlHandler("file", &desktop, "Open");
        messages.OpenFolder();
        QDesktopServices::unsetUrlHandler("file");
        QCOMPARE(desktop.Opened, QList<QUrl>{QUrl::fromLocalFile(QFileInfo(path).absolutePath())});

        // Both directions on the wire: the PUBLISH in, its PUBACK out.
        TFramesModel& frames = *Views().Frames()->Model();
        QVERIFY(WaitUntil([&] { return frames.rowCount() >= 2; }, 5000));
        QCOMPARE(frames.FrameAt(0).Direction, TFrameDirection::Received);
        QCOMPARE(CellText(Views().Frames()->View(), 0, TFramesModel::TypeColumn), QStringLiteral("PUBLISH"));
        QCOMPARE(CellText(Views().Frames()->View(), 0, TFramesModel::FlagsColumn), QStringLiteral("QoS 1, Retain"));
        QCOMPARE(CellText(Views().Frames()->View(), 0, TFramesModel::LengthColumn),
                 QString::number(2 + topic.size() + 2 + 256));
        QCOMPARE(frames.FrameAt(1).Direction, TFrameDirection::Sent);
        QCOMPARE(CellText(Views().Frames()->View(), 1, TFramesModel::TypeColumn), QStringLiteral("PUBACK"));
        QCOMPARE(CellText(Views().Frames()->View(), 1, TFramesModel::IdColumn), QStringLiteral("5"));
        QCOMPARE(CellText(Views().Frames()->View(), 1, TFramesModel::BytesColumn), QStringLiteral("40 02 00 05"));
        QVERIFY(StatusReads(QStringLiteral("接続中 (Opened)"), QStringLiteral("MQTT セッション: なし")));
        QCOMPARE(Views().Status()->SavedLabel()->text(), QStringLiteral("保存: 1 件"));
    }

    void bigPayloadOpensFromItsFirstPages()
    {
        QTemporaryDir dir;
        QFile file(dir.filePath("Pub_big.dat"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.resize(64 * 1024 * 1024));   // sparse: made at once, reads as zero bytes
        file.close();
        TMessagesView view;
        view.resize(900, 500);
        view.show();
        TSavedMessage saved;
        saved.Topic = "big";
        saved.Size = 64 * 1024 * 1024;
        saved.Path = file.fileName().toStdString();
        view.Append({saved});
        SelectRow(view.View(), 0);
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        QCOMPARE(view.Hex()->rowCount(), 4 * 1024 * 1024);
        QCOMPARE(view.Hex()->PagesRead(), 1);   // the text's 64 KiB and the rows in sight share the first page
        QVERIFY(view.Info()->text().contains(QStringLiteral("先頭 65,536 バイト")));
        // Each zero byte as \x00, in lines the pane lays out at once.
        const QStringList lines = view.TextView()->toPlainText().split('\n');
        QCOMPARE(lines.size(), 64 * 1024 * 4 / TMessagesView::DisplayLineLimit);
        const QString line = QStringLiteral("\\x00").repeated(TMessagesView::DisplayLineLimit / 4);
        QVERIFY(std::all_of(lines.begin(), lines.end(), [&](const QString& l) { return l == line; }));
        view.HexView()->scrollToBottom();
        QCOMPARE(view.Hex()->index(4 * 1024 * 1024 - 1, THexDumpModel::OffsetColumn).data().toString(),
                 QStringLiteral("03FFFFF0"));
        QVERIFY(view.Hex()->PagesRead() <= 3);
        // One row copied is one row, and says nothing of a limit; the whole payload is cut at 1 MiB and says so.
        bool cut = true;
        view.HexView()->selectRow(2);
        QCOMPARE(view.HexForCopy(&cut).size(), 48);
        QVERIFY(!cut);
        view.CopyHex();
        QVERIFY(!view.Info()->text().contains(QStringLiteral("コピーしました")));
        view.HexView()->clearSelection();
        QCOMPARE(view.HexForCopy(&cut).count('\n'), int(TMessagesView::CopyLimit / 16));
        QVERIFY(cut);
        view.CopyHex();
        QVERIFY(view.Info()->text().contains(QStringLiteral("先頭 1,048,576 バイト までをコピーしました")));
        // Without a file opener on the desktop the view says so.
        QVERIFY(!view.OpenFolder());
        QVERIFY(view.Info()->text().startsWith(QStringLiteral("フォルダを開くアプリケーションがありません")));
    }

    // A 5.0 message comes back through a subscription with an identifier: the
    // properties typed as rows reach the broker, and the messages view shows
    // what it handed back, beside the payload.
    void mqtt5MessageShowsItsPropertiesAndSubscription()
    {
        if (!MosquittoBroker::Available())
            QSKIP("mosquitto is not installed");
        MosquittoBroker broker;
        QVERIFY2(broker.Start(), broker.Error().c_str());
        QTemporaryDir payloads;
        TQuietWindow& window = OpenWindow();
        PointAt(broker.Port(), payloads.path());
        Find<QComboBox>(window, "ProtocolVersionCmb")->setCurrentIndex(2);
        TPropertyEditor* subscribe = window.PropertyEditor("SubscribePropertiesEdit");
        subscribe->SetRow(subscribe->AddRow(), "Subscription Identifier", "7");
        TPropertyEditor* publish = window.PropertyEditor("PublishPropertiesEdit");
        publish->SetRow(publish->AddRow(), "content-type", "text/plain");
        publish->SetRow(publish->AddRow(), "user-property", QStringLiteral("場所=東京"));
        for (const char* command : {"ConnectBtn", "MQTT_CONNECT_Btn", "Button2", "Button5"})
            QVERIFY(ClickAndWait(window, command));
        QVERIFY(window.Boxes.isEmpty());

        TMessagesView& messages = *Views().Messages();
        Views().Tabs()->setCurrentWidget(&messages);
        QVERIFY(WaitUntil([&] { return messages.Model()->rowCount() == 1; }, 10000));
        QCOMPARE(CellText(messages.View(), 0, TMessagesModel::SubscriptionColumn), QStringLiteral("7"));
        const QStringList lines{"Content Type = text/plain", QStringLiteral("User Property = 場所=東京"),
                                "Subscription Identifier = 7"};
        const QString cell = CellText(messages.View(), 0, TMessagesModel::PropertiesColumn);
        for (const QString& line : lines)
            QVERIFY2(cell.contains(line), qPrintable(cell));
        QVERIFY(!messages.PropertiesView()->isVisible());
        SelectRow(messages.View(), 0);
        QVERIFY(messages.PropertiesView()->isVisible());
        const QStringList shown = messages.PropertiesView()->toPlainText().split('\n');
        for (const QString& line : lines)
            QVERIFY2(shown.contains(line), qPrintable(shown.join('\n')));

        // The frame it came in, decoded by name.
        TFramesView& frames = *Views().Frames();
        int row = -1;
        QVERIFY(WaitUntil(
            [&] {
                for (int i = 0; i < frames.Model()->rowCount() && row < 0; ++i)
                    if (frames.Model()->FrameAt(i).Direction == TFrameDirection::Received &&
                        frames.Model()->FrameAt(i).Type == 3)
                        row = i;
                return row >= 0;
            },
            5000));
        SelectRow(frames.View(), row);
        QVERIFY(frames.Details()->stringList().contains("Property        Subscription Identifier = 7"));
    }

    void framesAndStateFollowTheSession()
    {
        FakeBroker broker;
        broker.OnFrame([](const TFrame& frame, FakeBroker& b) {
            switch (testframes::TypeOf(frame)) {
            case 1:
                b.Send(testframes::Connack(0));
                break;
            case 8:
                b.Send(testframes::Suback(testframes::IdOf(frame), {2, 0}));
                break;
            case 14:
                b.CloseConnection();   // as a broker does after DISCONNECT
                break;
            }
        });
        TQuietWindow& window = OpenWindow();
        PointAt(broker.Port());
        const QString opened = QStringLiteral("接続中 (Opened)");
        const QString closed = QStringLiteral("未接続 (Closed)");
        const QString brokerClosed = QStringLiteral("切断 (ブローカーが切断: closed by the broker)");
        const QString up = QStringLiteral("MQTT セッション: 確立");
        const QString down = QStringLiteral("MQTT セッション: なし");
        QVERIFY(StatusReads(closed, down, 0));

        QVERIFY(ClickAndWait(window, "ConnectBtn"));
        QVERIFY(StatusReads(opened, down, 0));
        QVERIFY(ClickAndWait(window, "MQTT_CONNECT_Btn"));
        QVERIFY(StatusReads(opened, up));
        QVERIFY(ClickAndWait(window, "Button2"));   // SUBSCRIBE hello/world,センサー/ノード1 at 2,0

        // The frames, in both directions, with their fields.
        QTableView* view = Views().Frames()->View();
        QVERIFY(WaitUntil([&] { return view->model()->rowCount() == 4; }, 5000));
        const QStringList expected[] = {
            {"1", QStringLiteral("送信 →"), "CONNECT", "QoS 0", ""},
            {"2", QStringLiteral("受信 ←"), "CONNACK", "QoS 0", ""},
            {"3", QStringLiteral("送信 →"), "SUBSCRIBE", "QoS 1", "1"},
            {"4", QStringLiteral("受信 ←"), "SUBACK", "QoS 0", "1"},
        };
        const int columns[] = {TFramesModel::NumberColumn, TFramesModel::DirectionColumn, TFramesModel::TypeColumn,
                               TFramesModel::FlagsColumn, TFramesModel::IdColumn};
        for (int row = 0; row < 4; ++row)
            for (int i = 0; i < 5; ++i)
                QCOMPARE(CellText(view, row, columns[i]), expected[row][i]);
        QCOMPARE(CellText(view, 1, TFramesModel::BytesColumn), QStringLiteral("20 02 00 00"));
        SelectRow(view, 3);
        QVERIFY(Views().Frames()->Details()->stringList().contains("SubackGrantedQoSList 2,0"));
        QCOMPARE(Views().Frames()->Hex()->rowCount(), 1);
        SelectRow(view, 2);
        QVERIFY(Views().Frames()->Details()->stringList().contains(
            QStringLiteral("SubscribeTopicList   hello/world,センサー/ノード1")));

        // A packet nobody takes waits in the receive queue.
        QVERIFY(broker.Send(testframes::Pingresp()));
        QVERIFY(StatusReads(opened, up, 1));
        QVERIFY(ClickAndWait(window, "Button1"));   // Queue 取り出し
        QVERIFY(StatusReads(opened, up, 0));

        // DISCONNECT ends the session; the broker then closes the connection.
        QVERIFY(ClickAndWait(window, "Button4"));
        QVERIFY(StatusReads(brokerClosed, down));
        QVERIFY(ClickAndWait(window, "DisconnectBtn"));
        QVERIFY(StatusReads(closed, down, 0));

        // A new connection starts afresh; the broker's close alone also ends the session.
        QVERIFY(ClickAndWait(window, "ConnectBtn"));
        QVERIFY(StatusReads(opened, down, 0));
        QVERIFY(ClickAndWait(window, "MQTT_CONNECT_Btn"));
        QVERIFY(StatusReads(opened, up));
        QVERIFY(broker.WaitForConnections(2, 5000));
        broker.CloseConnection(1);
        QVERIFY(StatusReads(brokerClosed, down));
        QVERIFY(window.findChild<QPushButton*>("DisconnectBtn")->isEnabled());   // the buttons stay as they were
        QVERIFY(ClickAndWait(window, "DisconnectBtn"));
        QVERIFY(StatusReads(closed, down, 0));
        QVERIFY(window.Boxes.isEmpty());
    }

    // ---- keyboard and accessibility ----

    // An encrypted connection says so, with its TLS version, until the next Open.
    void statusNamesTheTlsOfTheConnection()
    {
        TSessionStatus status;
        status.SetConsoleOpened(true);
        status.Apply({{TStatusEvent::Opening}, {TStatusEvent::Connected, 0, "TLSv1.3"}});
        QCOMPARE(status.ConnectionLabel()->text(), QStringLiteral("接続中 (Opened, TLSv1.3 で暗号化)"));
        status.Apply({{TStatusEvent::Opening}, {TStatusEvent::Connected, 0, ""}});
        QCOMPARE(status.ConnectionLabel()->text(), QStringLiteral("接続中 (Opened)"));
    }

    void viewsAreReadableByKeyboardAndAssistiveTools()
    {
        TQuietWindow& window = OpenWindow();
        window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        TSessionPanel& views = Views();
        QVERIFY(WaitUntil([&] { return views.Log()->Model()->rowCount() >= 1; }, 5000));   // the start-up line
        views.Log()->Append({{500, NowLocal(), "MQTT_Unit", "*ERROR* CONNECT frame building failed, parameter error [d]"}});
        TSavedMessage saved;
        saved.Time = NowLocal();
        saved.Topic = "a/b";
        saved.Qos = 2;
        saved.MessageID = 7;
        saved.Size = 12;
        saved.Path = "/tmp/Pub_1.dat";
        views.Messages()->Append({saved});
        const TFrame connack = testframes::Connack(0);
        views.Frames()->Append({MakeFrameEntry(TFrameDirection::Received, connack.data(), 4)});

        struct TCase {
            int Key;
            QTableView* View;
            QString Name;
            int Row, Column;
            QString Cell;
            QString Description;
        };
        const int logRow = views.Log()->Model()->rowCount() - 1;
        const TCase cases[] = {
            {Qt::Key_1, views.Log()->View(), QStringLiteral("ログ"), logRow, TLogModel::MessageColumn,
             "*ERROR* CONNECT frame building failed, parameter error [d]", QStringLiteral("エラー")},
            {Qt::Key_2, views.Messages()->View(), QStringLiteral("受信メッセージ"), 0, TMessagesModel::TopicColumn, "a/b",
             {}},
            {Qt::Key_3, views.Frames()->View(), QStringLiteral("フレーム"), 0, TFramesModel::TypeColumn, "CONNACK",
             QStringLiteral("受信")},
        };
        // Backwards, so that every key has a tab to leave.
        for (auto it = std::rbegin(cases); it != std::rend(cases); ++it) {
            QTest::keyClick(&window, static_cast<Qt::Key>(it->Key), Qt::AltModifier);
            QCOMPARE(views.Tabs()->currentIndex(), it->Key - Qt::Key_1);
            QCOMPARE(QApplication::focusWidget(), it->View);

            QAccessibleInterface* table = QAccessible::queryAccessibleInterface(it->View);
            QVERIFY(table && table->tableInterface());
            QCOMPARE(table->text(QAccessible::Name), it->Name);
            QAccessibleInterface* cell = table->tableInterface()->cellAt(it->Row, it->Column);
            QVERIFY(cell);
            QCOMPARE(cell->text(QAccessible::Name), it->Cell);
            QCOMPARE(cell->text(QAccessible::Description), it->Description);
        }

        TSessionStatus& status = *views.Status();
        const std::pair<QLabel*, QString> labels[] = {
            {status.ConnectionLabel(), QStringLiteral("未接続 (Closed)")},
            {status.SessionLabel(), QStringLiteral("MQTT セッション: なし")},
            {status.QueueLabel(), QStringLiteral("受信キュー: 0 件")},
            {status.SavedLabel(), QStringLiteral("保存: 0 件")},
        };
        for (const auto& [label, text] : labels) {
            QVERIFY(label->isVisible());
            QAccessibleInterface* readable = QAccessible::queryAccessibleInterface(label);
            QVERIFY(readable);
            QCOMPARE(readable->text(QAccessible::Name), text);
            QVERIFY(!readable->text(QAccessible::Description).isEmpty());
        }
        // Shown while the report pause holds messages back, with where it is set; a new Open clears it.
        QVERIFY(!status.PauseLabel()->isVisible());
        status.Apply({TStatusEvent(TStatusEvent::PauseHolds, 10, "60")});
        QVERIFY(status.PauseLabel()->isVisible());
        QVERIFY(status.PauseLabel()->text().contains(QStringLiteral("60 件")));
        QVERIFY(status.PauseLabel()->text().contains(QStringLiteral("「報告間隔(ミリ秒)」を 0 に")));
        status.Apply({TStatusEvent(TStatusEvent::Opening)});
        QVERIFY(!status.PauseLabel()->isVisible());

        // Ctrl+F from a settings field finds in the view in sight, and types nothing into the field.
        const std::pair<int, QLineEdit*> finds[] = {{Qt::Key_1, views.Log()->FindEdit()},
                                                    {Qt::Key_2, views.Messages()->FindEdit()},
                                                    {Qt::Key_3, views.Frames()->FindEdit()}};
        auto* clientId = Find<QLineEdit>(window, "ClientIDEdit");
        const QString id = clientId->text();
        for (const auto& [key, edit] : finds) {
            QTest::keyClick(&window, static_cast<Qt::Key>(key), Qt::AltModifier);
            clientId->setFocus();
            QTest::keyClick(clientId, Qt::Key_F, Qt::ControlModifier);
            QCOMPARE(QApplication::focusWidget(), edit);
            QCOMPARE(clientId->text(), id);
            // Its clear button has a name to be read by.
            const QList<QToolButton*> buttons = edit->findChildren<QToolButton*>();
            QVERIFY(!buttons.isEmpty());
            for (QToolButton* button : buttons)
                QCOMPARE(QAccessible::queryAccessibleInterface(button)->text(QAccessible::Name), QStringLiteral("消去"));
        }

        // The file chooser speaks Japanese, the kinds of its files too.
        QFileDialog chooser;
        SetUpFileDialog(chooser);
        QCOMPARE(chooser.labelText(QFileDialog::FileName), QStringLiteral("ファイル名:"));
        QCOMPARE(chooser.iconProvider()->type(QFileInfo(QDir::tempPath())), QStringLiteral("フォルダー"));
        QCOMPARE(chooser.iconProvider()->type(QFileInfo("session.tws")), QStringLiteral("TWS ファイル"));
    }

    // ---- finding messages ----

    // A few hundred messages on a plant's topics: every filter, alone and
    // together, shows what it should, and the tree counts what came.
    void messagesFilterAndTopicTree_data()
    {
        QTest::addColumn<QString>("topic");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("qos");
        QTest::addColumn<int>("retain");
        QTest::addColumn<int>("shown");
        QTest::newRow("all") << "" << "" << -1 << -1 << 310;
        QTest::newRow("one level wildcard") << "plant/+/temp" << "" << -1 << -1 << 180;
        QTest::newRow("many levels") << "plant/#" << "" << -1 << -1 << 301;
        QTest::newRow("the parent level too") << "plant/a/temp/#" << "" << -1 << -1 << 61;
        QTest::newRow("# keeps $ topics out") << "#" << "" << -1 << -1 << 305;
        QTest::newRow("a $ topic by name") << "$SYS/#" << "" << -1 << -1 << 5;
        QTest::newRow("exact") << "plant/b/hum" << "" << -1 << -1 << 60;
        QTest::newRow("no match") << "plant/+" << "" << -1 << -1 << 0;
        QTest::newRow("payload text, any case") << "" << "ALARM" << -1 << -1 << 30;
        QTest::newRow("QoS") << "" << "" << 1 << -1 << 100;
        QTest::newRow("retain") << "" << "" << -1 << 1 << 4;
        QTest::newRow("together") << "plant/+/temp" << "alarm" << 2 << 0 << 10;
    }

    void messagesFilterAndTopicTree()
    {
        QFETCH(QString, topic);
        QFETCH(QString, text);
        QFETCH(int, qos);
        QFETCH(int, retain);
        QFETCH(int, shown);
        TMessagesView view;
        std::vector<TReceivedMessage> batch;
        const char* const topics[] = {"plant/a/temp", "plant/b/temp", "plant/c/temp", "plant/a/hum", "plant/b/hum"};
        for (int i = 0; i < 300; ++i) {
            const QByteArray payload = i % 10 == 0 ? QByteArray("{\"alarm\": true}") : QByteArray::number(20 + i % 7);
            batch.push_back(Message(QString::fromLatin1(topics[i % 5]), payload, i % 3));
        }
        for (int i = 0; i < 5; ++i)
            batch.push_back(Message(QStringLiteral("$SYS/broker/uptime"), QByteArray::number(i)));
        batch.push_back(Message(QStringLiteral("other"), "held", 0, true));
        batch.push_back(Message(QStringLiteral("gone"), "held", 0, true));
        batch.push_back(Message(QStringLiteral("gone"), "", 0, true));   // an empty retained message clears it
        batch.push_back(Message(QStringLiteral("plant/a/temp/raw"), "21", 0, true));
        batch.push_back(Message(QStringLiteral("live"), "1", 0, false));
        view.Append(batch);

        view.TopicEdit()->setText(topic);
        view.FindEdit()->setText(text);
        view.QosBox()->setCurrentIndex(view.QosBox()->findData(qos));
        view.RetainBox()->setCurrentIndex(view.RetainBox()->findData(retain));
        QCOMPARE(view.View()->model()->rowCount(), shown);
        for (const TMessageRow* row : view.ShownRows()) {
            QVERIFY(TopicFilterMatches(topic, row->Topic));
            QVERIFY(qos < 0 || row->Message.Qos == qos);
        }

        TTopicTreeModel& tree = *view.Topics();
        QCOMPARE(tree.Count(QStringLiteral("plant")), 301);
        QCOMPARE(tree.Count(QStringLiteral("plant/a/temp")), 61);
        QCOMPARE(tree.rowCount(), 5);   // $SYS, gone, live, other, plant: by name
        QVERIFY(tree.Retained(QStringLiteral("other")));
        QVERIFY(!tree.Retained(QStringLiteral("gone")));
        QVERIFY(!tree.Retained(QStringLiteral("live")));
        const QModelIndex temp = tree.Find(QStringLiteral("plant/b/temp"));
        QCOMPARE(temp.siblingAtColumn(TTopicTreeModel::PayloadColumn).data().toString(), QStringLiteral("22"));
        // A branch chosen in the tree filters the list by it.
        view.FindEdit()->clear();
        view.QosBox()->setCurrentIndex(0);
        view.RetainBox()->setCurrentIndex(0);
        view.TopicView()->setCurrentIndex(tree.Find(QStringLiteral("plant/a")));
        QCOMPARE(view.TopicEdit()->text(), QStringLiteral("plant/a/#"));
        QCOMPARE(view.View()->model()->rowCount(), 121);
        // Any column sorts: the biggest payload first.
        view.TopicEdit()->clear();
        view.View()->sortByColumn(TMessagesModel::SizeColumn, Qt::DescendingOrder);
        QCOMPARE(CellText(view.View(), 0, TMessagesModel::SizeColumn), QStringLiteral("15"));
        view.View()->sortByColumn(TMessagesModel::TimeColumn, Qt::AscendingOrder);
        QCOMPARE(CellText(view.View(), 0, TMessagesModel::IdColumn),
                 QString::number(batch.front().Message.MessageID));
    }

    // The payload text is looked for in the whole payload, the part past the
    // bytes a row keeps read off the window's thread: the keystroke never waits
    // for it, and what is found joins the list (new messages too).
    void payloadTextFilterReadsWholePayloads()
    {
        QTemporaryDir dir;
        TMessagesView view;
        view.FindEdit()->setText(QStringLiteral("alarm"));
        QVERIFY(!view.Filter()->Searching());   // no payload to read: nothing to wait for
        auto add = [&](const char* topic, QByteArray payload, int at = -1) {
            if (at >= 0)
                payload.replace(at, 5, "ALARM");
            view.Append(std::vector<TReceivedMessage>{Message(topic, payload, 0, false, dir.path())});
        };
        auto shown = [&](QStringList expected) {
            QVERIFY(WaitUntil([&] { return !view.Filter()->Searching(); }, 30000));
            QStringList topics;
            for (const TMessageRow* row : view.ShownRows())
                topics << row->Topic;
            topics.sort();
            QCOMPARE(topics, expected);
        };
        for (int i = 0; i < 300; ++i)
            view.Append(std::vector<TReceivedMessage>{Message(QStringLiteral("t/small"), QByteArray::number(i))});
        view.FindEdit()->clear();
        add("t/large", QByteArray(3 << 20, 'x'), 2 << 20);
        add("t/across", QByteArray(5000, 'y'), PayloadHeadBytes - 2);
        add("t/without", QByteArray(2 << 20, 'z'));
        add("t/head", "an alarm at once");
        view.FindEdit()->setText(QStringLiteral("alarm"));
        QCOMPARE(view.ShownRows().size(), std::size_t{1});   // the head at once, the rest later
        shown({"t/across", "t/head", "t/large"});
        add("t/later", QByteArray(4096 + 5, 'w'), 4096);
        // The count of all follows at once, while the new message is still being read.
        QVERIFY(view.findChild<QLabel*>("MessagesShownCount")->text().startsWith(QStringLiteral("3 / 305 件")));
        shown({"t/across", "t/head", "t/large", "t/later"});
        // Another text forgets what the last one found, and the message shown with it.
        SelectRow(view.View(), 0);
        view.FindEdit()->setText(QStringLiteral("alarm!"));
        shown({});
        QVERIFY(!view.Info()->text().startsWith(QStringLiteral("Pub_")));
    }

    // A payload reads as JSON (by its look or its content type), as text, as
    // Base64-decoded or as hex; the choice stays with its topic; its numbers chart.
    void payloadReadsAsTheTopicWants()
    {
        QCOMPARE(PayloadFormat::PrettyJson(R"({"t":21.5,"tags":["a",1],"o":{}})"),
                 QStringLiteral("{\n  \"o\": {\n  },\n  \"t\": 21.5,\n  \"tags\": [\n    \"a\",\n    1\n  ]\n}"));
        QVERIFY(PayloadFormat::IsJson("not json", QStringLiteral("application/json")));
        QVERIFY(!PayloadFormat::IsJson("{broken", QString()));
        QByteArray decoded;
        QVERIFY(PayloadFormat::DecodeBase64("eyJ2IjogNH0=", decoded));
        QCOMPARE(decoded, QByteArray("{\"v\": 4}"));
        QVERIFY(!PayloadFormat::DecodeBase64("not base64!", decoded));
        const auto numbers = PayloadFormat::Numbers(R"({"t": 21.5, "o": {"h": 40}, "s": "x", "v": [1, 2]})");
        QCOMPARE(numbers.size(), std::size_t(4));
        QCOMPARE(numbers[0].first, QStringLiteral("o.h"));
        QCOMPARE(numbers[3].first, QStringLiteral("v[1]"));

        QTemporaryDir dir;
        TMessagesView view;
        view.resize(1000, 600);
        view.show();
        std::vector<TReceivedMessage> batch;
        for (int i = 0; i < 5; ++i)
            batch.push_back(Message(QStringLiteral("json"), QByteArray("{\"t\": ") + QByteArray::number(20 + i) +
                                                                ", \"h\": 40}", 0, false, dir.path()));
        batch.push_back(Message(QStringLiteral("b64"), "eyJ2IjogNH0=", 0, false, dir.path()));
        batch.push_back(Message(QStringLiteral("typed"), "[1,", 0, false, dir.path()));
        batch.back().Message.Properties = {"Content Type = application/json"};
        view.Append(batch);

        struct TCase {
            int Row;
            TPayloadMode Mode;
            QString Text;
            bool Highlighted;
            QString Info;
        };
        const TCase cases[] = {
            {4, TPayloadMode::Auto, QStringLiteral("{\n  \"h\": 40,\n  \"t\": 24\n}"), true, {}},
            {4, TPayloadMode::Text, QStringLiteral("{\"t\": 24, \"h\": 40}"), false, {}},
            {5, TPayloadMode::Base64, QStringLiteral("{\n  \"v\": 4\n}"), true, QStringLiteral("Base64 を復号: 8 バイト")},
            {6, TPayloadMode::Auto, QStringLiteral("[1,"), false, QStringLiteral("JSON として読めません")},
        };
        for (const TCase& c : cases) {
            SelectRow(view.View(), c.Row);
            view.SetMode(c.Mode);
            QCOMPARE(view.TextView()->toPlainText(), c.Text);
            QCOMPARE(view.Highlighter()->Active(), c.Highlighted);
            QVERIFY2(view.Info()->text().contains(c.Info), qPrintable(view.Info()->text()));
        }
        // The topic "json" was last asked for as text: its other messages come as text too.
        SelectRow(view.View(), 0);
        QCOMPARE(view.ModeBox()->currentData().toInt(), int(TPayloadMode::Text));
        QCOMPARE(view.TextView()->toPlainText(), QStringLiteral("{\"t\": 20, \"h\": 40}"));
        SelectRow(view.View(), 5);
        QCOMPARE(view.ModeOf(QStringLiteral("b64")), TPayloadMode::Base64);
        SelectRow(view.View(), 2);
        view.SetMode(TPayloadMode::Hex);
        QVERIFY(!view.TextView()->isVisible());

        QVERIFY(view.ShowChart());
        QCOMPARE(view.Chart()->SeriesNames(), (QStringList{"h", "t"}));
        QCOMPARE(view.Chart()->PointCount(QStringLiteral("t")), 5);
        SelectRow(view.View(), 6);
        QVERIFY(!view.ShowChart());
    }

    // What is shown goes out: messages as CSV and JSON Lines (text where it is
    // UTF-8, else Base64), frames as a pcap that tshark reads as MQTT over TCP.
    void exportsWhatIsShown()
    {
        QTemporaryDir dir;
        TMessagesView messages;
        messages.Append({Message(QStringLiteral("a/x"), "温度, \"21\"\n", 1, false, dir.path()),
                         Message(QStringLiteral("a/y"), QByteArray("\xff\x00\x01", 3), 0, true, dir.path()),
                         Message(QStringLiteral("b"), "hidden", 0, false, dir.path())});
        messages.TopicEdit()->setText(QStringLiteral("a/+"));
        QString error;
        QVERIFY2(messages.Export(dir.filePath("m.csv"), error), qPrintable(error));
        QVERIFY2(messages.Export(dir.filePath("m.jsonl"), error), qPrintable(error));
        QFile csv(dir.filePath("m.csv"));
        QVERIFY(csv.open(QIODevice::ReadOnly));
        const QStringList rows = QString::fromUtf8(csv.readAll()).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
        QCOMPARE(rows.size(), 3);
        QVERIFY(rows[0].startsWith(QStringLiteral("time,topic,qos,retain")));
        QVERIFY2(rows[1].endsWith(QStringLiteral(",a/x,1,0,0,") + rows[1].section(',', 5, 5) +
                                  QStringLiteral(",13,,utf8,\"温度, \"\"21\"\"\n\"")),
                 qPrintable(rows[1]));
        QVERIFY(rows[2].endsWith(QStringLiteral(",base64,/wAB")));
        QFile jsonl(dir.filePath("m.jsonl"));
        QVERIFY(jsonl.open(QIODevice::ReadOnly));
        const QList<QByteArray> objects = jsonl.readAll().split('\n');
        QCOMPARE(objects.size(), 3);   // two lines and the last line end
        const QJsonObject first = QJsonDocument::fromJson(objects[0]).object();
        QCOMPARE(first["payload"].toString(), QStringLiteral("温度, \"21\"\n"));
        QCOMPARE(first["encoding"].toString(), QStringLiteral("utf8"));
        QCOMPARE(QJsonDocument::fromJson(objects[1]).object()["payload"].toString(), QStringLiteral("/wAB"));

        // Frames of two connections: a filter keeps one, and the capture has it in one TCP stream.
        TFramesView frames;
        std::vector<TFrameEntry> entries;
        auto add = [&](TFrameDirection direction, const TFrame& frame, int connection) {
            entries.push_back(MakeFrameEntry(direction, frame.data(), static_cast<int32_t>(frame.size())));
            entries.back().Connection = connection;
            entries.back().Stream = 1;
        };
        add(TFrameDirection::Sent, Bytes("101000044D5154540402003C000464657631"), 1);
        add(TFrameDirection::Received, testframes::Connack(0), 1);
        add(TFrameDirection::Sent, Bytes("C000"), 2);
        add(TFrameDirection::Received, testframes::BrokerPublish(1, 9, "big/t", std::vector<uint8_t>(5000, 'p')), 1);
        frames.Append(entries);
        frames.PortsOf = [](const TFrameEntry& frame) {
            return std::pair<uint16_t, uint16_t>(static_cast<uint16_t>(50000 + frame.Connection), 18830);
        };
        frames.Filter()->SetConnection(1);
        QCOMPARE(frames.ShownFrames().size(), std::size_t(3));
        // The bytes found: hex with blanks, or text; where they stand in the dump.
        frames.FindEdit()->setText(QStringLiteral("64 65 76"));
        QVERIFY(frames.FindNext());
        QCOMPARE(frames.FindNote()->text(), QStringLiteral("14 バイト目"));
        frames.FindModeBox()->setCurrentIndex(1);
        frames.FindEdit()->setText(QStringLiteral("big/t"));
        QVERIFY(frames.FindNext());
        QCOMPARE(frames.View()->currentIndex().row(), 2);
        frames.FindModeBox()->setCurrentIndex(0);
        frames.FindEdit()->setText(QStringLiteral("zz"));
        QVERIFY(!frames.FindNext());

        const QString pcap = dir.filePath("frames.pcap");
        QVERIFY2(frames.ExportPcap(pcap, error), qPrintable(error));
        const QString tshark = QStandardPaths::findExecutable(QStringLiteral("tshark"));
        if (tshark.isEmpty())
            QSKIP("tshark is not installed (Debian: tshark): the capture is not read back");
        QProcess read;
        read.start(tshark, {"-r", pcap, "-d", "tcp.port==18830,mqtt", "-T", "fields", "-e", "tcp.srcport", "-e",
                            "tcp.dstport", "-e", "tcp.stream", "-e", "mqtt.msgtype", "-e", "mqtt.clientid"});
        QVERIFY(read.waitForFinished(60000));
        QCOMPARE(read.exitCode(), 0);
        const QStringList lines = QString::fromUtf8(read.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines, (QStringList{"50001\t18830\t0\t1\tdev1", "18830\t50001\t0\t2\t", "18830\t50001\t0\t3\t"}));
    }
};

QTEST_MAIN(TViewTests)
#include "ViewTests.moc"
