// Drives the window through a short session against a running broker and saves
// a picture of it with each of the session's tabs: the pictures of the README.
//
//   window_tour --port N --out DIR [--work DIR] [--event-port N]
//
// MQTT 5.0 with properties typed as rows (a session expiry on CONNECT, a
// subscription identifier on SUBSCRIBE, a content type and a user property on
// PUBLISH); Open, CONNECT, SUBSCRIBE (the default topics), PUBLISH(str) at QoS
// 1 and 2 and PUBLISH(file) of a binary file to the subscribed topics, so that
// the broker hands every message back, and an UNSUBSCRIBE without a topic for
// a failure line; a second connection that publishes JSON readings to a
// subscribed topic; then the pictures (the log, the messages with the topic
// tree, a JSON reading and its chart, the frames), then DISCONNECT and Close.
// The window takes the size a first start gives it on the screen.
// scripts/screenshot runs it under Xvfb against a mosquitto of its own.
#include "console/window/FramesView.h"
#include "console/window/LogPane.h"
#include "console/window/MessagesView.h"
#include "console/window/ConsoleConnection.h"
#include "console/window/SettingsPanel.h"
#include "console/window/TopicTree.h"
#include "console/window/MainWindow.h"
#include "console/window/PropertyEditor.h"
#include "console/window/SessionPanel.h"
#include "console/window/SessionStatus.h"
#include "platform/Random.h"

#include <QApplication>
#include <QComboBox>
#include <QCommandLineParser>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSpinBox>
#include <QTabWidget>
#include <QTableView>
#include <QTreeView>
#include <QThread>
#include <QTimer>

#include <cstdio>
#include <functional>

namespace {

[[noreturn]] void Fail(const QString& why)
{
    std::fprintf(stderr, "window_tour: %s\n", qPrintable(why));
    std::exit(1);
}

bool RunUntil(const std::function<bool()>& done, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
    return true;
}

// Lets the views take in what the feed holds and paint it.
void Settle(int ms)
{
    RunUntil([] { return false; }, ms);
}

template <typename T>
T* Find(QWidget& window, const char* name)
{
    T* widget = window.findChild<T*>(QString::fromLatin1(name));
    if (!widget)
        Fail(QStringLiteral("no widget %1").arg(name));
    return widget;
}

void Click(TMainWindow& window, const char* button, const char* what, QWidget* within = nullptr)
{
    std::printf("  %s\n", what);
    std::fflush(stdout);
    Find<QPushButton>(within ? *within : static_cast<QWidget&>(window), button)->click();
    if (!RunUntil([&] { return window.IsIdle(); }, 60000))
        Fail(QStringLiteral("%1 did not end").arg(what));
}

void Save(QWidget& window, const QString& path)
{
    Settle(400);
    if (!window.grab().save(path))
        Fail(QStringLiteral("cannot write %1").arg(path));
    std::printf("  saved %s\n", qPrintable(path));
}

// Selects the last row for which pick holds.
void SelectLast(QTableView* view, const std::function<bool(int)>& pick)
{
    for (int row = view->model()->rowCount() - 1; row >= 0; --row) {
        if (pick(row)) {
            view->selectionModel()->setCurrentIndex(view->model()->index(row, 0),
                                                    QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
            view->scrollTo(view->model()->index(row, 0));
            return;
        }
    }
}

}  // namespace

int main(int argc, char* argv[])
{
    Randomize();
    QApplication app(argc, argv);
    QCommandLineParser options;
    options.addHelpOption();
    options.addOption({"port", "broker port on 127.0.0.1", "N"});
    options.addOption({"out", "folder for the pictures", "DIR"});
    options.addOption({"work", "folder for payload files (default: a new temporary one)", "DIR"});
    options.addOption({"event-port", "port of the diagnostic datagrams", "N", "2056"});
    options.process(app);
    const int port = options.value("port").toInt();
    const QString out = options.value("out");
    if (port <= 0 || out.isEmpty())
        Fail("--port and --out are needed");
    QDir().mkpath(out);
    const QString work = options.isSet("work") ? options.value("work") : QDir::tempPath() + "/tarnwick-tour";
    QDir().mkpath(work);

    // A payload that is not text, for the hex view: a little ASCII, then every byte value.
    const QString binary = work + "/sensor-frame.bin";
    {
        QByteArray bytes("TWK1\x00\x10", 6);
        for (int i = 0; i < 256; ++i)
            bytes.append(static_cast<char>(i));
        QFile file(binary);
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            Fail("cannot write " + binary);
    }

    // The window as a first start sizes it for the screen.
    TMainWindow window(options.value("event-port").toInt());
    window.Start();
    window.show();
    Settle(300);

    Find<QLineEdit>(window, "BrokerEdit1")->setText("127.0.0.1");
    Find<QSpinBox>(window, "BrokerPortSpn")->setValue(port);
    Find<QLineEdit>(window, "ClientIDEdit")->setText("tarnwick-tour");
    const std::string payloads = work.toStdString();
    window.PostToForm([payloads](TForm1& form) { form.PayloadDirectory = payloads; });

    // MQTT 5.0, and properties as a user adds them: a row, a name, a value.
    Find<QComboBox>(window, "ProtocolVersionCmb")->setCurrentIndex(2);
    auto addRow = [&](const char* field, const QString& name, const QString& value) {
        TPropertyEditor* editor = window.PropertyEditor(QString::fromLatin1(field));
        if (!editor)
            Fail(QStringLiteral("no properties field %1").arg(field));
        editor->SetRow(editor->AddRow(), name, value);
    };
    addRow("ConnectPropertiesEdit", "Session Expiry Interval", "300");
    addRow("SubscribePropertiesEdit", "Subscription Identifier", "7");
    addRow("PublishPropertiesEdit", "Content Type", "text/plain; charset=utf-8");
    addRow("PublishPropertiesEdit", "User Property", QStringLiteral("場所=東京"));
    addRow("PublishPropertiesEdit", "Message Expiry Interval", "600");
    Find<QTabWidget>(window, "Mqtt5Tabs")->setCurrentIndex(2);   // PUBLISH

    std::printf("session against 127.0.0.1:%d\n", port);
    Click(window, "ConnectBtn", "Open");
    Click(window, "MQTT_CONNECT_Btn", "CONNECT");
    Click(window, "Button2", "SUBSCRIBE hello/world,センサー/ノード1 at QoS 2,0");
    auto* qos = Find<QSpinBox>(window, "PublishSpn");
    qos->setValue(1);
    Click(window, "Button5", "PUBLISH(str) to hello/world at QoS 1");
    qos->setValue(2);
    Click(window, "Button5", "PUBLISH(str) to hello/world at QoS 2");
    Find<QLineEdit>(window, "PublishTopicEdit")->setText(QStringLiteral("センサー/ノード1"));
    Find<QLineEdit>(window, "PublishDataFileEdit")->setText(binary);
    window.PropertyEditor("PublishPropertiesEdit")->SetRow(0, "Content Type", "application/octet-stream");
    qos->setValue(1);
    Click(window, "Button7", "PUBLISH(file) of a binary file to センサー/ノード1 at QoS 1");

    // A frame that cannot be built: its "*ERROR*" line stands out in the log.
    Find<QLineEdit>(window, "UnSubscribeTopicListEdit")->clear();
    Click(window, "Button3", "UNSUBSCRIBE with no topic");

    // A second connection, a sensor that publishes JSON readings to a subscribed topic.
    std::printf("a second connection: tour-sensor\n");
    window.AddConnection();
    QWidget* sensor = window.Current().Panel();
    Find<QLineEdit>(*sensor, "BrokerEdit1")->setText("127.0.0.1");
    Find<QSpinBox>(*sensor, "BrokerPortSpn")->setValue(port);
    Find<QLineEdit>(*sensor, "ClientIDEdit")->setText("tour-sensor");
    Find<QLineEdit>(*sensor, "PublishTopicEdit")->setText(QStringLiteral("センサー/ノード1"));
    Find<QSpinBox>(*sensor, "PublishSpn")->setValue(0);
    Click(window, "ConnectBtn", "Open", sensor);
    Click(window, "MQTT_CONNECT_Btn", "CONNECT", sensor);
    const double readings[][2] = {{21.4, 40}, {21.9, 41}, {22.6, 43}, {22.1, 44}, {23.0, 42}, {23.4, 45}};
    for (const auto& [temperature, humidity] : readings) {
        Find<QLineEdit>(*sensor, "PublishDataEdit")
            ->setText(QStringLiteral("{\"温度\": %1, \"湿度\": %2, \"単位\": \"℃\"}").arg(temperature).arg(humidity));
        Click(window, "Button5", "PUBLISH(str) of a JSON reading at QoS 0", sensor);
    }

    TSessionPanel* views = window.SessionViews();
    TMessagesModel* messages = views->Messages()->Model();
    if (!RunUntil([&] { return messages->rowCount() >= 9; }, 20000))
        Fail(QStringLiteral("the broker handed back %1 of 9 messages").arg(messages->rowCount()));
    Settle(500);
    window.ChooseConnection(0);

    // The settings scrolled to the MQTT 5.0 group: the PUBLISH properties as rows.
    auto* settings = Find<QScrollArea>(window, "SettingsArea");
    settings->ensureWidgetVisible(Find<QWidget>(window, "Mqtt5Group"));
    views->Tabs()->setCurrentIndex(0);
    Save(window, out + "/window-log.png");
    settings->verticalScrollBar()->setValue(0);

    // The messages: the topic tree, a JSON reading pretty-printed, its numbers over time.
    views->Tabs()->setCurrentIndex(1);
    views->Messages()->TopicView()->expandAll();
    SelectLast(views->Messages()->View(), [&](int row) { return messages->MessageAt(row).Head.startsWith("{"); });
    Find<QPushButton>(window, "PayloadChartBtn")->setChecked(true);
    Save(window, out + "/window-messages.png");
    Find<QPushButton>(window, "PayloadChartBtn")->setChecked(false);

    views->Tabs()->setCurrentIndex(2);
    TFramesModel* frames = views->Frames()->Model();
    SelectLast(views->Frames()->View(), [&](int row) {
        const TFrameEntry& frame = frames->FrameAt(row);
        return frame.Direction == TFrameDirection::Received && frame.Type == 3 && frame.Qos == 2;
    });
    Save(window, out + "/window-frames.png");

    // What the status bar said after each of the last steps, for the one who runs this.
    auto state = [&] {
        Settle(300);
        return views->Status()->ConnectionLabel()->text() + " / " + views->Status()->SessionLabel()->text();
    };
    std::printf("  status: %s\n", qPrintable(state()));
    Click(window, "Button4", "DISCONNECT", window.Current().Panel());
    std::printf("  status: %s\n", qPrintable(state()));
    Click(window, "DisconnectBtn", "Close", window.Current().Panel());
    std::printf("  status: %s\n", qPrintable(state()));
    window.Shutdown();
    return 0;
}
