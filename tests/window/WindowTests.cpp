#include "console/window/FoldGroup.h"
#include "console/window/SessionStatus.h"
#include "console/window/SettingsPanel.h"
#include "console/window/LogModel.h"
#include "console/window/LogPane.h"
#include "console/window/MainWindow.h"
#include "console/window/ProfileBar.h"
#include "console/window/PropertyEditor.h"
#include "console/window/SessionPanel.h"
#include "console/window/SettingsStore.h"
#include "mqtt/codec/PropertyText.h"
#include "mqtt/engine/MQTTClient.h"
#include "platform/CodePage.h"
#include "support/FakeBroker.h"
#include "support/MosquittoBroker.h"
#include "support/MqttFrames.h"
#include "support/UdpCapture.h"
#include "WindowTestSupport.h"

#include <sys/stat.h>

#include <QAccessible>
#include <QAccessibleInterface>
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QFocusEvent>
#include <QFontDatabase>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPainter>
#include <QProcess>
#include <QPushButton>
#include <QRawFont>
#include <QScrollArea>
#include <QSettings>
#include <QSplitter>
#include <QTableWidget>
#include <QSpinBox>
#include <QStandardPaths>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QToolButton>
#include <QtTest>

#include <atomic>
#include <future>
#include <memory>
#include <mutex>

namespace {

// The window with its boxes and file chooser replaced by recorders, unless a
// test wants the real box.
class TTestWindow : public TMainWindow {
public:
    using TMainWindow::TMainWindow;

    struct TBox {
        QMessageBox::Icon Icon;
        QString Title;
        QString Text;
    };
    QList<TBox> Boxes;
    bool RealBoxes = false;
    QList<QPair<QString, QString>> FileRequests;   // (folder, proposed file)
    QList<TFileDialogKind> FileKinds;
    QStringList FileAnswers;                        // "" cancels
    QStringList Questions;
    QList<bool> QuestionAnswers;                    // none left: no

protected:
    bool PresentQuestion(const QString&, const QString& text) override
    {
        Questions << text;
        return !QuestionAnswers.isEmpty() && QuestionAnswers.takeFirst();
    }
    void PresentMessageBox(QMessageBox::Icon icon, const QString& title, const QString& text) override
    {
        if (RealBoxes) {
            TMainWindow::PresentMessageBox(icon, title, text);
            return;
        }
        Boxes.append({icon, title, text});
    }
    bool PresentFileDialog(const QString& dir, const QString& file, QString& chosen, TFileDialogKind kind) override
    {
        FileRequests.append({dir, file});
        FileKinds.append(kind);
        chosen = FileAnswers.isEmpty() ? QString() : FileAnswers.takeFirst();
        return !chosen.isEmpty();
    }
};

using windowtest::Find;
using windowtest::WaitIdle;
using windowtest::WaitUntil;

// Leaving a field, as a click elsewhere does.
void LeaveField(QWidget* field)
{
    QFocusEvent out(QEvent::FocusOut, Qt::TabFocusReason);
    QApplication::sendEvent(field, &out);
}

void TypeInto(QSpinBox* spin, const QString& text)
{
    QLineEdit* edit = spin->findChild<QLineEdit*>();
    spin->setFocus();
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_Backspace);
    QTest::keyClicks(edit, text);
}

// Runs fn on the form in its turn among the commands and hands back its result.
template <typename R>
R ReadForm(TMainWindow& window, std::function<R(TForm1&)> fn)
{
    auto result = std::make_shared<std::promise<R>>();
    auto future = result->get_future();
    window.PostToForm([result, fn](TForm1& form) { result->set_value(fn(form)); });
    if (!WaitIdle(window, 10000))
        qFatal("the form did not answer");
    return future.get();
}

// Answers every frame as a well-behaved broker does.
void AnswerWell(FakeBroker& broker)
{
    broker.OnFrame([](const testframes::TFrame& frame, FakeBroker& b) {
        for (const testframes::TFrame& answer : testframes::WellBehavedAnswer(frame))
            b.Send(answer);
    });
}

// The log pane's lines of one source, as "source: message".
QStringList PaneLines(TMainWindow& window, const QString& source)
{
    QStringList lines;
    const TLogModel* model = window.SessionViews()->Log()->Model();
    for (int row = 0; row < model->rowCount(); ++row)
        if (model->LineAt(row).Source == source)
            lines << model->LineAt(row).Message;
    return lines;
}

bool Contains(const std::vector<uint8_t>& frame, const QByteArray& text)
{
    return std::search(frame.begin(), frame.end(), text.begin(), text.end()) != frame.end();
}

int CountOfType(const std::vector<std::vector<uint8_t>>& frames, int type)
{
    return static_cast<int>(std::count_if(frames.begin(), frames.end(),
                                          [type](const auto& frame) { return (frame[0] >> 4) == type; }));
}

// MQTT 5.0 properties fields: the form's text of one, by its control name.
std::string& FormText(TForm1& form, const QString& control)
{
    return (form.*(FindControl(control.toStdString())->Text)).Text;
}

// What a row of a properties editor shows: "Name|value", "Name|key|value" for a
// pair, "!" first when the codec refuses it.
QStringList ShownRows(TPropertyEditor& editor)
{
    QStringList rows;
    for (int i = 0; i < editor.RowCount(); ++i) {
        QString row = editor.NameBox(i)->currentText();
        if (editor.KeyEdit(i)->isVisibleTo(&editor))
            row += "|" + editor.KeyEdit(i)->text();
        row += "|" + editor.ValueEdit(i)->text();
        rows << (editor.RowRefusal(i).isEmpty() ? row : "!" + row);
    }
    return rows;
}

}  // namespace

class TWindowTests : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<UdpCapture> Log;
    std::unique_ptr<TTestWindow> Window;

    TTestWindow& OpenWindow(bool unfold = false)
    {
        Window = std::make_unique<TTestWindow>(Log->Port());
        Window->Start();
        if (unfold)
            for (TFoldGroup* group : Window->findChildren<TFoldGroup*>())
                group->SetFolded(false);
        Window->show();
        if (!Log->WaitForMessage("FormCreate: program start.. ", 5000))
            qFatal("no start-up line");
        return *Window;
    }

    void PointAt(TTestWindow& window, int port)
    {
        Find<QLineEdit>(window, "BrokerEdit1")->setText(QStringLiteral("127.0.0.1"));
        Find<QSpinBox>(window, "BrokerPortSpn")->setValue(port);
    }

    void Click(TTestWindow& window, const char* button)
    {
        QPushButton* b = Find<QPushButton>(window, button);
        QVERIFY2(b->isEnabled(), button);
        QTest::mouseClick(b, Qt::LeftButton);
    }

    void VerifyClosedState(TTestWindow& window)
    {
        QVERIFY(Find<QPushButton>(window, "ConnectBtn")->isEnabled());
        QVERIFY(!Find<QPushButton>(window, "DisconnectBtn")->isEnabled());
        QVERIFY(!Find<QCheckBox>(window, "PingTimerChk")->isEnabled());
        QVERIFY(!Find<QCheckBox>(window, "PingTimerChk")->isChecked());
        QVERIFY(!window.PingTimer().isActive());
    }

private slots:
    void initTestCase()
    {
        // Nothing a test does reaches the user's own settings.
        QStandardPaths::setTestModeEnabled(true);
    }

    void init()
    {
        Log = std::make_unique<UdpCapture>();
    }

    void cleanup()
    {
        Window.reset();
        Log.reset();
    }

    void showsEveryFieldWithDefaultAndLimits_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("label");
        QTest::addColumn<QString>("text");   // the default; "*" = filled at start-up
        QTest::addColumn<int>("min");
        QTest::addColumn<int>("max");
        const int text = -1;
        QTest::newRow("broker") << "BrokerEdit1" << "Broker HostName" << "127.0.0.1" << text << text;
        QTest::newRow("port") << "BrokerPortSpn" << "Port" << "1883" << 0 << 65535;
        QTest::newRow("client id") << "ClientIDEdit" << "ClientID" << "*" << text << text;
        QTest::newRow("user") << "UserNameEdit" << "UserName" << "" << text << text;
        QTest::newRow("password") << "PasswordEdit" << "Password" << "" << text << text;
        QTest::newRow("keep alive") << "KeepAliveSpn" << "KeepAlive" << "60" << 0 << 65535;
        QTest::newRow("will topic") << "WillTopicEdit" << "WillTopic" << "hello/my_will" << text << text;
        QTest::newRow("will message") << "WillMessageEdit" << "WillMessage" << "さようなら" << text << text;
        QTest::newRow("will qos") << "WillQoSSpn" << "WillQoS" << "0" << 0 << 2;
        QTest::newRow("subscribe topics") << "SubscribeTopicListEdit" << "SubscribeTopicList"
                                          << "hello/world,センサー/ノード1" << text << text;
        QTest::newRow("subscribe qos") << "SubscribeQoSListEdit" << "SubscribeQoSList" << "2,0" << text << text;
        QTest::newRow("unsubscribe topics") << "UnSubscribeTopicListEdit" << "UnSubscribeTopicList"
                                            << "hello/world,センサー/ノード1" << text << text;
        QTest::newRow("publish topic") << "PublishTopicEdit" << "PublishTopic" << "hello/world" << text << text;
        QTest::newRow("publish qos") << "PublishSpn" << "PublishQoS" << "2" << 0 << 2;
        QTest::newRow("publish data") << "PublishDataEdit" << "PublishData(str)"
                                      << "これは試験データです from Windows7" << text << text;
        QTest::newRow("publish file") << "PublishDataFileEdit" << "PublishData(file)" << "/SamplePublishData1.dat"
                                      << text << text;
        QTest::newRow("interval") << "PingReqIntervalSpn" << "送信間隔(秒)" << "30" << 1 << 65535;
        QTest::newRow("report pause") << "ReportPauseSpn" << "報告間隔(ミリ秒)" << "10" << 0 << 100;
        QTest::newRow("tls ca") << "TlsCaFileEdit" << "CA 証明書" << "" << text << text;
        QTest::newRow("tls cert") << "TlsCertFileEdit" << "クライアント証明書" << "" << text << text;
        QTest::newRow("tls key") << "TlsKeyFileEdit" << "秘密鍵" << "" << text << text;
        QTest::newRow("ws path") << "WsPathEdit" << "WebSocket パス" << "/mqtt" << text << text;
        QTest::newRow("ws subprotocol") << "WsSubprotocolEdit" << "サブプロトコル" << "" << text << text;
        QTest::newRow("ws headers") << "WsHeadersEdit" << "追加ヘッダー" << "" << text << text;
        QTest::newRow("proxy host") << "ProxyHostEdit" << "プロキシのホスト" << "" << text << text;
        QTest::newRow("proxy port") << "ProxyPortSpn" << "ポート" << "8080" << 0 << 65535;
        QTest::newRow("proxy user") << "ProxyUserEdit" << "プロキシのユーザー" << "" << text << text;
        QTest::newRow("proxy password") << "ProxyPasswordEdit" << "プロキシのパスワード" << "" << text << text;
    }

    void showsEveryFieldWithDefaultAndLimits()
    {
        QFETCH(QString, name);
        QFETCH(QString, label);
        QFETCH(QString, text);
        QFETCH(int, min);
        QFETCH(int, max);
        TTestWindow& window = OpenWindow(true);
        QCOMPARE(window.windowTitle(), QStringLiteral("Tarnwick テストプログラム"));
        QLabel* caption = window.findChild<QLabel*>(name + "Label");
        QVERIFY(caption);
        QCOMPARE(caption->text(), label);
        QVERIFY(caption->isVisible());
        if (min < 0) {
            auto* edit = window.findChild<QLineEdit*>(name);
            QVERIFY(edit);
            // The TLS, WebSocket and proxy rows wait for the TLS switch and their choices.
            QCOMPARE(edit->isEnabled(), !name.startsWith("Tls") && !name.startsWith("Ws") && !name.startsWith("Proxy"));
            if (text == "*")
                QVERIFY(!edit->text().isEmpty());   // the default client identifier
            else if (text.startsWith('/'))
                QVERIFY2(edit->text().endsWith(text) && edit->text().startsWith('/'), qPrintable(edit->text()));
            else
                QCOMPARE(edit->text(), text);
            QCOMPARE(edit->echoMode(), name.endsWith("PasswordEdit") ? QLineEdit::Password : QLineEdit::Normal);
        } else {
            auto* spin = window.findChild<QSpinBox*>(name);
            QVERIFY(spin);
            QCOMPARE(spin->value(), text.toInt());
            QCOMPARE(spin->minimum(), min);
            QCOMPARE(spin->maximum(), max);
        }
    }

    void showsCheckBoxesButtonsAndClosedState()
    {
        TTestWindow& window = OpenWindow(true);
        auto* retain = Find<QCheckBox>(window, "PublishRetainChk");
        QCOMPARE(retain->text(), QStringLiteral("Retain"));
        QVERIFY(!retain->isChecked());
        QVERIFY(retain->isEnabled());
        auto* ping = Find<QCheckBox>(window, "PingTimerChk");
        QCOMPARE(ping->text(), QStringLiteral("定期的にPING 送信"));
        const std::pair<const char*, QString> buttons[] = {
            {"ConnectBtn", "Open"},         {"DisconnectBtn", "Close"},     {"MQTT_CONNECT_Btn", "CONNECT"},
            {"Button4", "DISCONNECT"},      {"MQTT_PINGREQ_Btn", "PINGREQ"}, {"Button2", "SUBSCRIBE"},
            {"Button3", "UNSUBSCRIBE"},     {"Button5", "PUBLISH(str)"},    {"Button7", "PUBLISH(file)"},
            {"Button6", "..."},             {"Button1", "Queue 取り出し"},
        };
        for (const auto& [name, caption] : buttons) {
            auto* button = Find<QPushButton>(window, name);
            QCOMPARE(button->text(), caption);
            QVERIFY2(button->isVisible(), name);
            if (std::string(name) != "DisconnectBtn")
                QVERIFY2(button->isEnabled(), name);
        }
        QVERIFY(Find<QWidget>(window, "Image1")->isVisible());
        VerifyClosedState(window);

        // The session flags and TLS: today's CONNECT by default, TLS off with its rows greyed out.
        const std::tuple<const char*, QString, bool> checks[] = {
            {"CleanSessionChk", "クリーンセッション", true},
            {"WillRetainChk", "Will Retain", false},
            {"TlsChk", "TLS", false},
            {"TlsVerifyHostChk", "サーバー名を検証", true},
        };
        for (const auto& [name, caption, checked] : checks) {
            auto* check = Find<QCheckBox>(window, name);
            QCOMPARE(check->text(), caption);
            QCOMPARE(check->isChecked(), checked);
            QVERIFY2(check->isVisible(), name);
        }
        auto* protocol = Find<QComboBox>(window, "ProtocolVersionCmb");
        QCOMPARE(Find<QLabel>(window, "ProtocolVersionCmbLabel")->text(), QStringLiteral("プロトコル"));
        QCOMPARE(protocol->count(), 3);
        QCOMPARE(protocol->currentText(), QStringLiteral("MQTT 3.1 (MQIsdp)"));
        QCOMPARE(protocol->itemText(1), QStringLiteral("MQTT 3.1.1"));
        QCOMPARE(protocol->itemText(2), QStringLiteral("MQTT 5.0"));
        const char* tlsRows[] = {"TlsCaFileEdit", "TlsCaFileBtn", "TlsCertFileEdit", "TlsKeyFileBtn", "TlsVerifyHostChk"};
        for (const char* name : tlsRows)
            QVERIFY2(!Find<QWidget>(window, name)->isEnabled(), name);
        QTest::mouseClick(Find<QCheckBox>(window, "TlsChk"), Qt::LeftButton);
        for (const char* name : tlsRows)
            QVERIFY2(Find<QWidget>(window, name)->isEnabled(), name);
        // The choices reach the form in turn with the commands.
        protocol->setCurrentIndex(1);
        Find<QCheckBox>(window, "CleanSessionChk")->setChecked(false);
        const auto seen = ReadForm<std::tuple<TProtocolVersion, bool, bool>>(window, [](TForm1& form) {
            return std::make_tuple(form.ProtocolVersion(), form.CleanSessionChk, form.TlsChk);
        });
        QVERIFY(std::get<0>(seen) == TProtocolVersion::MQTT311);
        QVERIFY(!std::get<1>(seen));
        QVERIFY(std::get<2>(seen));

        // wss speaks TLS without the switch; each choice brings its rows into use.
        QTest::mouseClick(Find<QCheckBox>(window, "TlsChk"), Qt::LeftButton);
        auto* transport = Find<QComboBox>(window, "TransportCmb");
        QCOMPARE(transport->itemText(2), QStringLiteral("WebSocket over TLS (wss)"));
        transport->setCurrentIndex(2);
        Find<QComboBox>(window, "ProxyCmb")->setCurrentIndex(2);
        for (const char* name : {"TlsCaFileEdit", "WsPathEdit", "WsHeadersEdit", "ProxyHostEdit", "ProxyPortSpn"})
            QVERIFY2(Find<QWidget>(window, name)->isEnabled(), name);
        Find<QLineEdit>(window, "ProxyHostEdit")->setText(QStringLiteral("proxy.example"));
        QVERIFY(ReadForm<bool>(window, [](TForm1& form) {
            return form.TlsConfig().Enabled && form.TransportConfig().WebSocket.Enabled &&
                   form.TransportConfig().Proxy.Kind == TProxyKind::Socks5;
        }));
    }

    // The fields as they were when the window closed come back at its next start;
    // the password never does.
    void fieldsAreKeptBetweenRuns()
    {
        QTemporaryDir settings;
        QVERIFY(settings.isValid());
        {
            TTestWindow window(Log->Port(), nullptr, settings.path());
            window.Start();
            Find<QLineEdit>(window, "BrokerEdit1")->setText(QStringLiteral("broker.example"));
            Find<QSpinBox>(window, "BrokerPortSpn")->setValue(8883);
            Find<QComboBox>(window, "ProtocolVersionCmb")->setCurrentIndex(2);
            Find<QCheckBox>(window, "TlsChk")->setChecked(true);
            Find<QLineEdit>(window, "TlsCaFileEdit")->setText(QStringLiteral("/etc/証明書/ca.pem"));
            Find<QLineEdit>(window, "ClientIDEdit")->setText(QStringLiteral("kept-id"));
            Find<QLineEdit>(window, "PasswordEdit")->setText(QStringLiteral("secret"));
            Find<QComboBox>(window, "TransportCmb")->setCurrentIndex(1);
            Find<QLineEdit>(window, "ProxyPasswordEdit")->setText(QStringLiteral("proxy-secret"));
            window.Shutdown();
        }
        QFile conf(settings.filePath("tarnwick.conf"));
        QVERIFY(conf.open(QIODevice::ReadOnly));
        QVERIFY(!conf.readAll().contains("secret"));   // neither password
        TTestWindow window(Log->Port(), nullptr, settings.path());
        window.Start();
        QCOMPARE(Find<QLineEdit>(window, "BrokerEdit1")->text(), QStringLiteral("broker.example"));
        QCOMPARE(Find<QSpinBox>(window, "BrokerPortSpn")->value(), 8883);
        QCOMPARE(Find<QComboBox>(window, "ProtocolVersionCmb")->currentText(), QStringLiteral("MQTT 5.0"));
        QVERIFY(Find<QCheckBox>(window, "TlsChk")->isChecked());
        QVERIFY(Find<QLineEdit>(window, "TlsCaFileEdit")->isEnabled());
        QCOMPARE(Find<QLineEdit>(window, "TlsCaFileEdit")->text(), QStringLiteral("/etc/証明書/ca.pem"));
        QCOMPARE(Find<QLineEdit>(window, "ClientIDEdit")->text(), QStringLiteral("kept-id"));
        QCOMPARE(Find<QLineEdit>(window, "PasswordEdit")->text(), QString());
        QCOMPARE(Find<QComboBox>(window, "TransportCmb")->currentText(), QStringLiteral("WebSocket (ws)"));
        QVERIFY(Find<QLineEdit>(window, "WsPathEdit")->isEnabled());
        // The form runs with them too.
        QCOMPARE(TMainWindow::ToQ(ReadForm<std::string>(window, [](TForm1& form) { return form.BrokerEdit1.Text; })),
                 QStringLiteral("broker.example"));
    }

    void profilesSaveLoadAndDelete()
    {
        QTemporaryDir settings;
        QVERIFY(settings.isValid());
        TTestWindow window(Log->Port(), nullptr, settings.path());
        window.Start();
        auto* profile = Find<QComboBox>(window, "ProfileCmb");
        auto* broker = Find<QLineEdit>(window, "BrokerEdit1");
        auto* password = Find<QLineEdit>(window, "PasswordEdit");
        auto* protocol = Find<QComboBox>(window, "ProtocolVersionCmb");
        auto* keepPassword = Find<QCheckBox>(window, "ProfilePasswordChk");
        auto save = [&](const QString& name, const QString& host, int version, bool withPassword) {
            broker->setText(host);
            protocol->setCurrentIndex(version);
            password->setText(QStringLiteral("pw-") + host);
            Find<QLineEdit>(window, "ProxyHostEdit")->setText(QStringLiteral("proxy.") + host);
            Find<QLineEdit>(window, "ProxyPasswordEdit")->setText(QStringLiteral("ppw-") + host);
            keepPassword->setChecked(withPassword);
            profile->setEditText(name);
            Find<QPushButton>(window, "ProfileSaveBtn")->click();
        };
        const QString lab = QStringLiteral("試験/lab 1");   // a slash and blanks are part of a name
        save(lab, QStringLiteral("lab.example"), 1, true);
        save(QStringLiteral("prod"), QStringLiteral("prod.example"), 2, false);
        QVERIFY(window.Boxes.isEmpty());
        QCOMPARE(window.Settings()->ProfileNames(), (QStringList{"prod", lab}));
        QCOMPARE(profile->count(), 2);

        // Only the profile saved with its password has one, in a file of the user's alone.
        const QString passwords = settings.filePath("passwords.json");
        struct stat st {};
        QCOMPARE(::stat(QFile::encodeName(passwords).constData(), &st), 0);
        QCOMPARE(st.st_mode & 0777, 0600u);
        QFile file(passwords);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray kept = file.readAll();
        QVERIFY(kept.contains("pw-lab.example") && kept.contains("ppw-lab.example"));
        QVERIFY(!kept.contains("pw-prod.example"));
        QFile conf(settings.filePath("tarnwick.conf"));
        QVERIFY(conf.open(QIODevice::ReadOnly));
        QVERIFY(!conf.readAll().contains("pw-"));

        struct TLoad {
            QString Name, Host, Protocol, Password;
        };
        const TLoad loads[] = {
            {lab, "lab.example", "MQTT 3.1.1", "pw-lab.example"},
            {"prod", "prod.example", "MQTT 5.0", ""},   // no password of its own: none is sent to it
        };
        for (const TLoad& load : loads) {
            broker->setText(QStringLiteral("elsewhere"));
            password->setText(QStringLiteral("typed"));
            profile->setEditText(load.Name);
            Find<QPushButton>(window, "ProfileLoadBtn")->click();
            QCOMPARE(broker->text(), load.Host);
            QCOMPARE(protocol->currentText(), load.Protocol);
            QCOMPARE(password->text(), load.Password);
            QCOMPARE(Find<QLineEdit>(window, "ProxyHostEdit")->text(), "proxy." + load.Host);
            QCOMPARE(Find<QLineEdit>(window, "ProxyPasswordEdit")->text(), load.Password.isEmpty() ? "" : "p" + load.Password);
            QCOMPARE(keepPassword->isChecked(), !load.Password.isEmpty());
        }

        profile->setEditText(lab);
        Find<QPushButton>(window, "ProfileDeleteBtn")->click();
        QCOMPARE(window.Settings()->ProfileNames(), QStringList{"prod"});
        QVERIFY(!QFile::exists(passwords));   // its password went with it
        QCOMPARE(profile->count(), 1);
        // Without a name nothing is saved.
        profile->setEditText(QString());
        Find<QPushButton>(window, "ProfileSaveBtn")->click();
        QCOMPARE(window.Boxes.size(), 1);
        QCOMPARE(window.Settings()->ProfileNames(), QStringList{"prod"});
    }

    // The settings folder is the user's alone, whether the window makes it or an
    // earlier version left it open to everyone.
    void settingsFolderIsTheUsersAlone()
    {
        QTemporaryDir home;
        QVERIFY(home.isValid());
        const QString made = home.filePath("config/Tarnwick"), old = home.filePath("old");
        QVERIFY(QDir().mkpath(old));
        QVERIFY(::chmod(QFile::encodeName(old).constData(), 0755) == 0);
        for (const QString& folder : {made, old}) {
            TTestWindow window(Log->Port(), nullptr, folder);
            window.Start();
            window.Shutdown();
            struct stat st {};
            QCOMPARE(::stat(QFile::encodeName(folder).constData(), &st), 0);
            QCOMPARE(st.st_mode & 0777, 0700u);
            QVERIFY(QFile::exists(folder + "/tarnwick.conf"));
        }
    }

    // A password file that cannot be read stays as it is: saving or deleting a
    // profile is refused with a box that says why, and loading one says that
    // its password could not be had.
    void unreadablePasswordFileIsKept_data()
    {
        QTest::addColumn<QByteArray>("contents");   // empty: a folder stands in its place
        QTest::newRow("not JSON") << QByteArray("{\"lab\": \"pw");
        QTest::newRow("not an object") << QByteArray("[\"pw\"]");
        QTest::newRow("a password that is no text") << QByteArray("{\"lab\": 42}");
        QTest::newRow("a folder") << QByteArray();
    }

    void unreadablePasswordFileIsKept()
    {
        QFETCH(QByteArray, contents);
        QTemporaryDir settings;
        QVERIFY(settings.isValid());
        TTestWindow window(Log->Port(), nullptr, settings.path());
        window.Start();
        auto* profile = Find<QComboBox>(window, "ProfileCmb");
        auto* password = Find<QLineEdit>(window, "PasswordEdit");
        Find<QCheckBox>(window, "ProfilePasswordChk")->setChecked(true);
        password->setText(QStringLiteral("pw-lab"));
        profile->setEditText(QStringLiteral("lab"));
        Find<QPushButton>(window, "ProfileSaveBtn")->click();
        QVERIFY(window.Boxes.isEmpty());

        const QString passwords = settings.filePath("passwords.json");
        QVERIFY(QFile::remove(passwords));
        if (contents.isEmpty()) {
            QVERIFY(QDir().mkdir(passwords));
        } else {
            QFile file(passwords);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(contents);
        }
        const auto verifyKept = [&] {
            QVERIFY(QFileInfo(passwords).isDir() == contents.isEmpty());
            QFile file(passwords);
            QVERIFY(contents.isEmpty() || (file.open(QIODevice::ReadOnly) && file.readAll() == contents));
        };
        const auto verifyBox = [&] {
            QCOMPARE(window.Boxes.size(), 1);
            QVERIFY2(window.Boxes.takeFirst().Text.startsWith(QStringLiteral("パスワードのファイルを読めません")),
                     "the box says the password file could not be read");
        };

        profile->setEditText(QStringLiteral("prod"));
        Find<QPushButton>(window, "ProfileSaveBtn")->click();
        verifyBox();
        verifyKept();
        QCOMPARE(window.Settings()->ProfileNames(), QStringList{"lab"});

        password->setText(QStringLiteral("typed"));
        profile->setEditText(QStringLiteral("lab"));
        Find<QPushButton>(window, "ProfileLoadBtn")->click();
        verifyBox();
        QCOMPARE(password->text(), QString());

        Find<QPushButton>(window, "ProfileDeleteBtn")->click();
        verifyBox();
        verifyKept();
        QCOMPARE(window.Settings()->ProfileNames(), QStringList{"lab"});
    }

    // The window's session, saved as a script, goes out the same from tarnwick-cli.
    void savedSessionScriptReplaysInTheCli()
    {
        FakeBroker broker;
        AnswerWell(broker);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        TTestWindow& window = OpenWindow();
        QAction* save = Find<QAction>(window, "SaveSessionScriptAction");
        const QString path = dir.filePath("session.tws");
        window.FileAnswers << path;
        save->trigger();   // nothing recorded yet
        QCOMPARE(window.Boxes.size(), 1);
        QVERIFY(!QFile::exists(path));

        PointAt(window, broker.Port());
        Find<QLineEdit>(window, "ClientIDEdit")->setText(QStringLiteral("window-replay"));
        Find<QLineEdit>(window, "PasswordEdit")->setText(QStringLiteral("pw-secret"));
        Find<QComboBox>(window, "ProtocolVersionCmb")->setCurrentIndex(1);
        Find<QCheckBox>(window, "WillRetainChk")->setChecked(true);
        for (const char* button : {"ConnectBtn", "MQTT_CONNECT_Btn", "Button2", "Button5", "PublishQoS 1", "Button5",
                                   "Button3", "Button4", "DisconnectBtn"}) {
            if (std::string(button) == "PublishQoS 1") {
                Find<QSpinBox>(window, "PublishSpn")->setValue(1);
                continue;
            }
            Click(window, button);
            QVERIFY2(WaitIdle(window, 20000), button);
        }
        QVERIFY(broker.WaitForPeerClose(5000, 0));
        QCOMPARE(window.Boxes.size(), 1);

        // A password goes into the file only when the user says so, and then for the user's eyes only.
        window.FileAnswers << path;
        save->trigger();
        QCOMPARE(window.Questions.size(), 1);
        QVERIFY(!QFile::exists(path));
        window.QuestionAnswers << true;
        save->trigger();
        QCOMPARE(window.FileKinds.last(), TFileDialogKind::SaveScript);
        QVERIFY(QFile::exists(path));
        QCOMPARE(QFile::permissions(path) & (QFile::ReadGroup | QFile::ReadOther | QFile::WriteOther), QFile::Permissions());
        QProcess cli;
        cli.start(QStringLiteral(TARNWICK_CLI), {"--event-port", QString::number(Log->Port()), "--dir", dir.path(),
                                                 path});
        QVERIFY(cli.waitForFinished(60000));
        QFile script(path);
        QVERIFY(script.open(QIODevice::ReadOnly));
        QVERIFY2(cli.exitCode() == 0, (script.readAll() + cli.readAllStandardOutput()).constData());
        QVERIFY(broker.WaitForPeerClose(5000, 1));
        const auto recorded = broker.Frames(0);
        // CONNECT, SUBSCRIBE, PUBLISH and PUBREL (QoS 2), PUBLISH (QoS 1), UNSUBSCRIBE, DISCONNECT
        QCOMPARE(recorded.size(), std::size_t{7});
        QVERIFY(broker.Frames(1) == recorded);
        QCOMPARE(int(recorded[0][8]), 4);   // MQTT 3.1.1
    }

    // The window opens at a size that fits the screen, the session views the
    // larger part; what the user arranged comes back at the next start.
    void windowFitsTheScreenAndKeepsItsArrangement_data()
    {
        QTest::addColumn<QSize>("screen");
        QTest::newRow("1280x800") << QSize(1280, 800);
        QTest::newRow("1920x1080") << QSize(1920, 1080);
    }

    void windowFitsTheScreenAndKeepsItsArrangement()
    {
        QFETCH(QSize, screen);
        QTemporaryDir settings;
        QSize arranged;
        QList<int> split;
        {
            TTestWindow window(Log->Port(), nullptr, settings.path());
            window.Start();
            window.FitToScreen(QRect(QPoint(0, 0), screen));
            window.show();
            QVERIFY(QTest::qWaitForWindowExposed(&window));
            QVERIFY2(window.width() <= screen.width() && window.height() <= screen.height(),
                     qPrintable(QStringLiteral("%1x%2").arg(window.width()).arg(window.height())));
            QWidget* views = window.SessionViews();
            QVERIFY2(views->width() * 2 >= window.width(), qPrintable(QString::number(views->width())));
            QVERIFY(views->height() * 2 >= window.height());
            // The settings that matter first are in sight without scrolling, the groups out of use folded.
            auto* area = Find<QScrollArea>(window, "SettingsArea");
            const QWidget* open = Find<QPushButton>(window, "ConnectBtn");
            QVERIFY(open->mapTo(area->widget(), QPoint(0, open->height())).y() <= area->viewport()->height());
            QVERIFY(Find<TFoldGroup>(window, "TlsGroup")->IsFolded());
            QVERIFY(Find<TFoldGroup>(window, "TransportGroup")->IsFolded());
            Find<QComboBox>(window, "ProxyCmb")->setCurrentIndex(1);   // chosen: it comes into sight
            QVERIFY(!Find<TFoldGroup>(window, "TransportGroup")->IsFolded());

            Find<TFoldGroup>(window, "SessionGroup")->SetFolded(true);
            Find<QLineEdit>(window, "ClientIDEdit")->setText(QStringLiteral("first"));
            // Two more connections: one named after a profile kept with its password, one by its
            // ClientID with a password typed only; each with its own folds.
            for (const char* client : {"lab-id", "third"}) {
                TSettingsPanel* panel = window.Connection(window.AddConnection()).Panel();
                static_cast<QLineEdit*>(panel->FieldWidget("ClientIDEdit"))->setText(client);
                for (const char* password : {"PasswordEdit", "ProxyPasswordEdit"})
                    static_cast<QLineEdit*>(panel->FieldWidget(password))->setText(QStringLiteral("pw-") + client);
                panel->findChild<QCheckBox*>("ProfilePasswordChk")->setChecked(true);
            }
            TSettingsPanel* lab = window.Connection(1).Panel();
            static_cast<QCheckBox*>(lab->FieldWidget("TlsChk"))->setChecked(true);
            lab->Profiles()->NameBox()->setEditText(QStringLiteral("試験 lab"));
            lab->Profiles()->Save();
            window.Connection(2).Panel()->findChild<TFoldGroup*>("ConnectionGroup")->SetFolded(true);
            window.ChooseConnection(1);
            window.SessionViews()->Tabs()->setCurrentIndex(2);
            QCoreApplication::processEvents();
            // Smaller, yet no narrower than its three connections' settings and the views need.
            window.resize(std::max(screen.width() - 200, window.minimumSizeHint().width()), screen.height() - 150);
            auto* splitter = Find<QSplitter>(window, "MainSplitter");
            splitter->setSizes({400, window.width() - 400});
            arranged = window.size();
            split = splitter->sizes();
            window.Shutdown();
        }
        TTestWindow window(Log->Port(), nullptr, settings.path());
        window.Start();
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCOMPARE(window.size(), arranged);
        QCOMPARE(Find<QSplitter>(window, "MainSplitter")->sizes(), split);
        QCOMPARE(window.SessionViews()->Tabs()->currentIndex(), 2);
        QCOMPARE(window.ConnectionCount(), 3);
        QCOMPARE(window.ChosenIndex(), 1);
        const struct {
            QString Name, Password;
            QStringList Folded;
        } kept[] = {
            {"first", "", {"SessionGroup", "TlsGroup", "Mqtt5Group"}},
            {"試験 lab", "pw-lab-id", {"Mqtt5Group"}},
            {"third", "", {"ConnectionGroup", "TlsGroup", "Mqtt5Group"}},
        };
        for (int i = 0; i < 3; ++i) {
            TSettingsPanel* panel = window.Connection(i).Panel();
            QCOMPARE(window.Connection(i).Name(), kept[i].Name);
            for (const char* password : {"PasswordEdit", "ProxyPasswordEdit"})
                QCOMPARE(static_cast<QLineEdit*>(panel->FieldWidget(password))->text(), kept[i].Password);
            for (const char* group : {"SessionGroup", "ConnectionGroup", "TlsGroup", "Mqtt5Group"})
                QVERIFY2(panel->findChild<TFoldGroup*>(group)->IsFolded() == kept[i].Folded.contains(group), group);
        }
        QCOMPARE(static_cast<QLineEdit*>(window.Connection(1).Panel()->FieldWidget("ClientIDEdit"))->text(), "lab-id");
    }

    void scriptRunsInTheWindow_data()
    {
        QTest::addColumn<QString>("body");       // after "set Port N\nset ClientIDEdit w1\n"
        QTest::addColumn<QString>("verdict");    // the runner's last line in the log pane
        QTest::addColumn<QString>("note");       // another line of the runner's, or ""
        QTest::newRow("passes") << "open\nconnect\nexpect received CONNACK\nqueue\nexpect-box パケット\nclose\n"
                                << "passed (8 lines)" << "";
        QTest::newRow("unmet expect") << "open\nexpect never said within 50\nclose\n"
                                      << "FAILED at line 4" << "no line containing \"never said\" within 50 ms";
        QTest::newRow("box not expected") << "open\nqueue\nclose\n" << "FAILED at line 4"
                                          << "box [警告] パケットが見つかりません";
        QTest::newRow("parse error") << "open\nbogus\n" << "not run: 1 line cannot be parsed"
                                     << "s.tws:4: bogus: unknown command";
        // "main" is the connection in sight; "second" a new one, made for the script.
        QTest::newRow("several clients")
            << "open\nconnect\nexpect received CONNACK\nclient second\nset Port PORT\nset ClientIDEdit w2\nopen\n"
               "connect\nexpect received CONNACK [w2]\nclose\nclient main\nclose\n"
            << "passed (14 lines)" << "";
    }

    // Its lines go to the log pane, the runner's own never to the diagnostics,
    // and a box goes to the runner instead of the screen.
    void scriptRunsInTheWindow()
    {
        QFETCH(QString, body);
        QFETCH(QString, verdict);
        QFETCH(QString, note);
        FakeBroker broker;
        AnswerWell(broker);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString path = dir.filePath("s.tws");
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        body.replace(QStringLiteral("PORT"), QString::number(broker.Port()));
        file.write(QStringLiteral("set Port %1\nset ClientIDEdit w1\n%2").arg(broker.Port()).arg(body).toUtf8());
        file.close();
        TTestWindow& window = OpenWindow();
        window.FileAnswers << path;
        Find<QAction>(window, "RunScriptAction")->trigger();
        QCOMPARE(window.FileKinds.last(), TFileDialogKind::OpenScript);
        QVERIFY(WaitIdle(window, 30000));
        QVERIFY(WaitUntil([&] { return !PaneLines(window, "Script").filter(verdict).isEmpty(); }, 5000));
        const QStringList notes = PaneLines(window, "Script");
        if (!note.isEmpty())
            QVERIFY2(!notes.filter(note).isEmpty(), qPrintable(notes.join('\n')));
        QVERIFY2(window.Boxes.isEmpty(), window.Boxes.isEmpty() ? "" : qPrintable(window.Boxes[0].Text));
        // The set lines show in the fields; a script that cannot be parsed runs none.
        QCOMPARE(Find<QSpinBox>(window, "BrokerPortSpn")->value(), verdict.startsWith("not run") ? 1883 : broker.Port());
        window.PostToForm([](TForm1& form) { form.Events.SendEventMsg("marker", "test", 0, 0); });
        QVERIFY(Log->WaitForMessage("marker", 5000));
        for (const std::string& message : Log->Messages())
            QVERIFY2(message.find(verdict.toStdString()) == std::string::npos, message.c_str());
    }

    // Two connections side by side: each in the list with its state, the log
    // by connection, and their session saved as one script that tarnwick-cli replays.
    void severalConnectionsAreRecordedAsOneScript()
    {
        FakeBroker broker;
        AnswerWell(broker);
        QTemporaryDir dir;
        TTestWindow& window = OpenWindow();
        auto* list = Find<QListWidget>(window, "ConnectionList");
        for (const char* id : {"rec-a", "rec-b"}) {
            if (window.ConnectionCount() == 1 && QString(id) == "rec-b")
                Find<QPushButton>(window, "AddConnectionBtn")->click();
            // The chosen connection's fields are the ones in sight.
            auto* panel = window.Current().Panel();
            panel->findChild<QLineEdit*>("BrokerEdit1")->setText(QStringLiteral("127.0.0.1"));
            panel->findChild<QSpinBox*>("BrokerPortSpn")->setValue(broker.Port());
            panel->findChild<QLineEdit*>("ClientIDEdit")->setText(QString::fromLatin1(id));
            for (const char* button : {"ConnectBtn", "MQTT_CONNECT_Btn", "MQTT_PINGREQ_Btn"}) {
                panel->findChild<QPushButton*>(button)->click();
                QVERIFY(WaitIdle(window, 20000));
            }
        }
        QCOMPARE(list->count(), 2);
        QCOMPARE(list->currentRow(), 1);
        QVERIFY(WaitUntil([&] { return list->item(0)->text().contains(QStringLiteral("セッション")); }, 5000));
        QVERIFY2(list->item(0)->text().startsWith(QStringLiteral("rec-a   ● 接続中")), qPrintable(list->item(0)->text()));
        QVERIFY(window.windowTitle().endsWith(QStringLiteral("rec-b")));

        // The log of one connection, or of all.
        auto* logs = Find<QComboBox>(window, "LogConnectionBox");
        QVERIFY(logs->isVisible());
        TLogPane& pane = *window.SessionViews()->Log();
        logs->setCurrentIndex(logs->findText(QStringLiteral("rec-a")));
        QVERIFY(pane.Filter()->rowCount() > 0 && pane.Filter()->rowCount() < pane.Model()->rowCount());
        for (int row = 0; row < pane.Filter()->rowCount(); ++row)
            QVERIFY(!pane.Filter()->index(row, TLogModel::MessageColumn).data().toString().contains("[rec-b]"));

        const std::string script = window.RecordedScript();
        QVERIFY2(script.find("client rec-a\nset ClientIDEdit \"rec-a\"") != std::string::npos &&
                     script.find("client rec-b\n") != std::string::npos,
                 script.c_str());
        const QString path = dir.filePath("two.tws");
        QVERIFY(window.SaveSessionScript(path));
        for (int i = 1; i >= 0; --i) {
            window.ChooseConnection(i);
            Click(window, "DisconnectBtn");
            QVERIFY(WaitIdle(window, 20000));
        }
        QProcess cli;
        cli.start(QStringLiteral(TARNWICK_CLI), {"--event-port", QString::number(Log->Port()), "--dir", dir.path(), path});
        QVERIFY(cli.waitForFinished(60000));
        QVERIFY2(cli.exitCode() == 0, (QByteArray(script.c_str()) + cli.readAllStandardOutput()).constData());
        QVERIFY(broker.WaitForConnections(4, 5000));
        QCOMPARE(broker.Frames(2), broker.Frames(0));   // rec-a's CONNECT and PINGREQ, byte for byte
        window.ChooseConnection(1);
        window.RemoveConnection(1);   // the one in sight: the other's status takes its place
        QCOMPARE(list->count(), 1);
        QCOMPARE(window.SessionViews()->Status(), window.Current().Status());
        QVERIFY(!logs->isVisible());
    }

    void cancelStopsARunningScript()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString path = dir.filePath("long.tws");
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("sleep 30000\nsleep 30000\n");
        file.close();
        TTestWindow& window = OpenWindow();
        window.FileAnswers << path;
        Find<QAction>(window, "RunScriptAction")->trigger();
        QVERIFY(WaitUntil([&] { return !PaneLines(window, "Script").filter("running").isEmpty(); }, 5000));
        QElapsedTimer took;
        took.start();
        window.CancelRunning();
        QVERIFY(WaitIdle(window, 5000));
        QVERIFY(took.elapsed() < 3000);
        QVERIFY(WaitUntil([&] { return !PaneLines(window, "Script").filter("CANCELLED at line 1").isEmpty(); }, 5000));
    }

    void integerFieldsKeepTheirRules_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<int>("shown");   // after leaving the field
        QTest::addColumn<bool>("enter");  // Enter instead of leaving
        QTest::newRow("port empty reads as 0") << "BrokerPortSpn" << "" << 0 << false;
        QTest::newRow("port typed") << "BrokerPortSpn" << "8883" << 8883 << false;
        QTest::newRow("port one above the limit") << "BrokerPortSpn" << "65536" << 65535 << false;
        QTest::newRow("port one above the limit, Enter") << "BrokerPortSpn" << "65536" << 65535 << true;
        QTest::newRow("port far too big") << "BrokerPortSpn" << "655359" << 65535 << false;
        QTest::newRow("port more digits than any integer") << "BrokerPortSpn" << "99999999999999999999" << 65535
                                                           << false;
        QTest::newRow("port negative") << "BrokerPortSpn" << "-5" << 0 << false;
        QTest::newRow("port text reads as the minimum") << "BrokerPortSpn" << "abc" << 0 << false;
        QTest::newRow("interval below minimum") << "PingReqIntervalSpn" << "0" << 1 << false;
        QTest::newRow("interval negative, Enter") << "PingReqIntervalSpn" << "-5" << 1 << true;
        QTest::newRow("interval empty reads as 1") << "PingReqIntervalSpn" << "" << 1 << false;
        QTest::newRow("will qos above maximum") << "WillQoSSpn" << "7" << 2 << false;
        QTest::newRow("publish qos letters read as 0") << "PublishSpn" << "x" << 0 << false;
        QTest::newRow("keep alive") << "KeepAliveSpn" << "120" << 120 << false;
        QTest::newRow("report pause above maximum, Enter") << "ReportPauseSpn" << "250" << 100 << true;
    }

    void integerFieldsKeepTheirRules()
    {
        QFETCH(QString, name);
        QFETCH(QString, typed);
        QFETCH(int, shown);
        QFETCH(bool, enter);
        TTestWindow& window = OpenWindow();
        auto* spin = Find<QSpinBox>(window, qPrintable(name));
        TypeInto(spin, typed);
        if (enter)
            QTest::keyClick(spin->findChild<QLineEdit*>(), Qt::Key_Return);
        else
            LeaveField(spin);
        QCOMPARE(spin->value(), shown);
        QCOMPARE(spin->text(), QString::number(shown));
        // The form reads the same value as the window shows.
        const std::string member = name.toStdString();
        const int formValue = ReadForm<int>(window, [member](TForm1& form) {
            for (const TIntFieldRef& ref : IntFields)
                if (member == ref.Name)
                    return (form.*ref.Member).Value();
            return -1;
        });
        QCOMPARE(formValue, shown);
    }

    void textFieldsReachTheFormAsTyped()
    {
        TTestWindow& window = OpenWindow();
        Find<QLineEdit>(window, "UserNameEdit")->setText(QStringLiteral("ユーザー"));
        Find<QLineEdit>(window, "PasswordEdit")->setText(QStringLiteral("p@ss"));
        Find<QCheckBox>(window, "PublishRetainChk")->setChecked(true);
        const auto seen = ReadForm<std::tuple<std::string, std::string, bool>>(window, [](TForm1& form) {
            return std::make_tuple(form.UserNameEdit.Text, form.PasswordEdit.Text, form.PublishRetainChk);
        });
        QCOMPARE(TMainWindow::ToQ(std::get<0>(seen)), QStringLiteral("ユーザー"));
        QCOMPARE(TMainWindow::ToQ(std::get<1>(seen)), QStringLiteral("p@ss"));
        QVERIFY(std::get<2>(seen));
    }

    void fileChooserProposesDataFileThenLastChoice()
    {
        TTestWindow& window = OpenWindow();
        auto* fileEdit = Find<QLineEdit>(window, "PublishDataFileEdit");
        const QString initial = fileEdit->text();
        // Cancelled: nothing changes.
        Click(window, "Button6");
        QVERIFY(WaitIdle(window, 5000));
        QCOMPARE(window.FileRequests.size(), 1);
        QCOMPARE(window.FileRequests[0].second, QStringLiteral("SamplePublishData1.dat"));
        QCOMPARE(window.FileRequests[0].first + "/SamplePublishData1.dat", initial);
        QCOMPARE(fileEdit->text(), initial);
        // Confirmed: the field shows the file, and the next time it is proposed.
        const QString chosen = QStringLiteral("/tmp/データ/payload.bin");
        window.FileAnswers << chosen;
        Click(window, "Button6");
        QVERIFY(WaitIdle(window, 5000));
        QCOMPARE(fileEdit->text(), chosen);
        Click(window, "Button6");
        QVERIFY(WaitIdle(window, 5000));
        QCOMPARE(window.FileRequests.size(), 3);
        QCOMPARE(window.FileRequests[2].first, QStringLiteral("/tmp/データ"));
        QCOMPARE(window.FileRequests[2].second, QStringLiteral("payload.bin"));
        QCOMPARE(fileEdit->text(), chosen);
    }

    void openAgainstBrokerThenCloseSetsStatesAndTimer()
    {
        FakeBroker broker;
        TTestWindow& window = OpenWindow();
        PointAt(window, broker.Port());
        Click(window, "ConnectBtn");
        QVERIFY(WaitIdle(window, 20000));
        QVERIFY(broker.WaitForConnections(1, 5000));
        QVERIFY(window.Boxes.isEmpty());
        QVERIFY(!Find<QPushButton>(window, "ConnectBtn")->isEnabled());
        QVERIFY(Find<QPushButton>(window, "DisconnectBtn")->isEnabled());
        auto* ping = Find<QCheckBox>(window, "PingTimerChk");
        QVERIFY(ping->isEnabled());
        QVERIFY(!ping->isChecked());
        QVERIFY(!window.PingTimer().isActive());

        // Switching the timer on: a full period of the interval field.
        auto* interval = Find<QSpinBox>(window, "PingReqIntervalSpn");
        interval->setValue(45);
        QTest::mouseClick(ping, Qt::LeftButton);
        QVERIFY(ping->isChecked());
        QVERIFY(WaitIdle(window, 5000));
        QVERIFY(window.PingTimer().isActive());
        QCOMPARE(window.PingTimer().interval(), 45000);
        // A different interval while it runs: a new period at once.
        interval->setValue(2);
        QVERIFY(WaitIdle(window, 5000));
        QCOMPARE(window.PingTimer().interval(), 2000);
        QVERIFY(window.PingTimer().isActive());

        Log->Clear();
        Click(window, "DisconnectBtn");
        QVERIFY(WaitIdle(window, 20000));
        QVERIFY(Log->WaitForMessage("disconnected.", 5000));
        VerifyClosedState(window);
        QVERIFY(broker.WaitForPeerClose(5000));
    }

    void timerKeepsItsPeriodForTheSameInterval()
    {
        TTestWindow& window = OpenWindow();
        const QTimer& timer = window.PingTimer();
        window.SetPingTimer(true, 30000);
        QVERIFY(timer.isActive());
        QCOMPARE(timer.interval(), 30000);
        // Let some of the period pass, then set the same interval: the period goes on.
        QTRY_VERIFY_WITH_TIMEOUT(timer.remainingTime() < 29950, 5000);
        const int left = timer.remainingTime();
        window.SetPingTimer(true, 30000);
        QVERIFY(timer.isActive());
        QVERIFY(timer.remainingTime() <= left);
        // Another interval while it runs: a new full period at once.
        window.SetPingTimer(true, 45000);
        QVERIFY(timer.isActive());
        QCOMPARE(timer.interval(), 45000);
        QVERIFY(timer.remainingTime() > 30000);
        window.SetPingTimer(false, 45000);
        QVERIFY(!timer.isActive());
        // Stopped, the interval still follows; switching on starts a full period.
        window.SetPingTimer(false, 1000);
        QVERIFY(!timer.isActive());
        QCOMPARE(timer.interval(), 1000);
        window.SetPingTimer(true, 20000);
        QVERIFY(timer.remainingTime() > 19000);
    }

    void failedOpenShowsConnectionBoxThenCloses()
    {
        TTestWindow& window = OpenWindow();
        window.RealBoxes = true;
        PointAt(window, FakeBroker::UnusedPort());
        Log->Clear();

        // The real box: read it and press its one button.
        QString title, text;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        QStringList buttons;
        bool disconnectedBeforeOk = true;
        QTimer watcher;
        watcher.setInterval(20);
        connect(&watcher, &QTimer::timeout, this, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box)
                return;
            watcher.stop();
            title = box->windowTitle();
            text = box->text();
            icon = box->icon();
            for (QAbstractButton* b : box->buttons())
                buttons << b->text();
            disconnectedBeforeOk = Log->WaitForMessage("disconnected.", 0);
            box->button(QMessageBox::Ok)->click();
        });
        watcher.start();
        Click(window, "ConnectBtn");
        QVERIFY(WaitIdle(window, 30000));
        QCOMPARE(title, QStringLiteral("エラー"));
        QCOMPARE(text, QStringLiteral("接続に失敗しました。ホスト名とポート番号を確認してください"));
        QCOMPARE(icon, QMessageBox::Critical);
        QCOMPARE(buttons, QStringList{QStringLiteral("OK")});
        // "Close" ran only after the box was closed.
        QVERIFY(!disconnectedBeforeOk);
        QVERIFY(Log->WaitForMessage("disconnected.", 5000));
        VerifyClosedState(window);
    }

    void failureShowsErrorBoxWithProgramTitle()
    {
        TTestWindow& window = OpenWindow();
        Click(window, "MQTT_PINGREQ_Btn");   // no connection yet
        QVERIFY(WaitIdle(window, 5000));
        QCOMPARE(window.Boxes.size(), 1);
        QCOMPARE(window.Boxes[0].Icon, QMessageBox::Critical);
        QCOMPARE(window.Boxes[0].Title, QStringLiteral("window_tests"));
        QCOMPARE(window.Boxes[0].Text, QStringLiteral("SocketReady check failed."));
        VerifyClosedState(window);
    }

    void emptyQueueShowsWarning()
    {
        FakeBroker broker;
        TTestWindow& window = OpenWindow();
        PointAt(window, broker.Port());
        Click(window, "ConnectBtn");
        QVERIFY(WaitIdle(window, 20000));
        Click(window, "Button1");
        QVERIFY(WaitIdle(window, 5000));
        QCOMPARE(window.Boxes.size(), 1);
        QCOMPARE(window.Boxes[0].Icon, QMessageBox::Warning);
        QCOMPARE(window.Boxes[0].Title, QStringLiteral("警告"));
        QCOMPARE(window.Boxes[0].Text, QStringLiteral("パケットが見つかりません"));
    }

    void windowKeepsRunningWhileCommandWaits()
    {
        FakeBroker broker;   // accepts, never answers
        TTestWindow& window = OpenWindow();
        PointAt(window, broker.Port());
        Click(window, "ConnectBtn");
        // A long wait, so that the second click surely comes while the first waits.
        window.PostToForm([](TForm1& form) { form.AnswerTimeouts.Connack = 3000; });
        QVERIFY(WaitIdle(window, 20000));

        QStringList started;
        connect(&window, &TMainWindow::CommandStarted, this, [&](const QString& c) { started << c; });
        int ticksWhileBusy = 0;
        bool busyShown = false;
        QTimer heartbeat;
        heartbeat.setInterval(50);
        connect(&heartbeat, &QTimer::timeout, this, [&] {
            if (!window.IsIdle() && started.contains("CONNECT")) {
                ++ticksWhileBusy;
                busyShown = busyShown || (window.cursor().shape() == Qt::BusyCursor &&
                                          window.StatusText()->text().contains("CONNECT"));
            }
        });
        heartbeat.start();

        auto* user = Find<QLineEdit>(window, "UserNameEdit");
        user->setText("first-user");
        Click(window, "MQTT_CONNECT_Btn");
        // While the first CONNECT waits, a second one with other settings is clicked.
        QVERIFY(broker.WaitForFrames(1, 5000));
        QVERIFY(WaitUntil([&] { return started.contains("CONNECT"); }, 5000));
        user->setText("second-user");
        Click(window, "MQTT_CONNECT_Btn");
        QCOMPARE(window.Outstanding(), 2);

        QVERIFY(WaitIdle(window, 60000));
        heartbeat.stop();
        QVERIFY2(ticksWhileBusy >= 10, qPrintable(QString::number(ticksWhileBusy)));
        QVERIFY(busyShown);
        QCOMPARE(window.cursor().shape(), Qt::ArrowCursor);
        QCOMPARE(started, (QStringList{"CONNECT", "CONNECT"}));
        // Each CONNECT carried the settings of its own click, in click order.
        const auto frames = broker.Frames();
        QVERIFY(frames.size() >= 2);
        QVERIFY(Contains(frames.front(), "first-user"));
        QVERIFY(Contains(frames.back(), "second-user"));
        std::size_t firstOfSecond = 0;
        while (firstOfSecond < frames.size() && !Contains(frames[firstOfSecond], "second-user"))
            ++firstOfSecond;
        for (std::size_t i = firstOfSecond; i < frames.size(); ++i)
            QVERIFY(!Contains(frames[i], "first-user"));
    }

    void clickOnControlDisabledBeforeItsTurnDoesNothing()
    {
        FakeBroker broker;
        TTestWindow& window = OpenWindow();
        PointAt(window, broker.Port());
        // Hold the command thread so that both clicks wait in the queue.
        std::promise<void> release;
        std::shared_future<void> released = release.get_future().share();
        window.PostToForm([released](TForm1&) { released.wait(); });
        Click(window, "ConnectBtn");
        Click(window, "ConnectBtn");
        release.set_value();
        QVERIFY(WaitIdle(window, 20000));
        QVERIFY(broker.WaitForConnections(1, 5000));
        QVERIFY(window.Boxes.isEmpty());
        QVERIFY(!Find<QPushButton>(window, "ConnectBtn")->isEnabled());
        // The second "Open" found its button disabled: one connection, still up.
        Click(window, "MQTT_PINGREQ_Btn");
        QVERIFY(broker.WaitForFrames(1, 5000));
        QCOMPARE(broker.ConnectionCount(), std::size_t{1});
        QVERIFY(!broker.PeerClosed(0));
    }

    void tickDueDuringCommandDoesNotRunAfterClose()
    {
        FakeBroker broker;   // accepts, never answers
        TTestWindow& window = OpenWindow();
        PointAt(window, broker.Port());
        Click(window, "ConnectBtn");
        window.PostToForm([](TForm1& form) {
            form.AnswerTimeouts.Connack = 3000;
            form.AnswerTimeouts.Pingresp = 50;
        });
        QVERIFY(WaitIdle(window, 20000));
        QStringList started;
        connect(&window, &TMainWindow::CommandStarted, this, [&](const QString& c) { started << c; });
        int ticks = 0;
        connect(&window.PingTimer(), &QTimer::timeout, this, [&] { ++ticks; });
        Find<QSpinBox>(window, "PingReqIntervalSpn")->setValue(1);
        QTest::mouseClick(Find<QCheckBox>(window, "PingTimerChk"), Qt::LeftButton);
        Click(window, "MQTT_CONNECT_Btn");
        QVERIFY(broker.WaitForFrames(1, 5000));
        // A tick falls due while CONNECT waits; "Close" is clicked before its turn.
        QVERIFY(WaitUntil([&] { return ticks > 0; }, 5000));
        QVERIFY(started.endsWith("CONNECT"));
        Click(window, "DisconnectBtn");
        QVERIFY(WaitIdle(window, 20000));
        VerifyClosedState(window);
        QCOMPARE(started.mid(started.indexOf("CONNECT")),
                 (QStringList{"CONNECT", "Close", QStringLiteral("PINGREQ (定期送信)")}));
        // A tick after "Close" would have failed on the missing connection.
        QVERIFY2(window.Boxes.isEmpty(), window.Boxes.isEmpty() ? "" : qPrintable(window.Boxes[0].Text));
        for (const auto& frame : broker.Frames())
            QVERIFY(frame[0] != 0xC0);   // no PINGREQ went out
    }

    void japaneseTextsReachTheBrokerAndComeBack()
    {
        if (!MosquittoBroker::Available())
            QSKIP("mosquitto is not installed");
        MosquittoBroker broker;
        QVERIFY2(broker.Start(), broker.Error().c_str());
        QTemporaryDir payloads;
        QVERIFY(payloads.isValid());
        TTestWindow& window = OpenWindow();
        PointAt(window, broker.Port());
        Click(window, "ConnectBtn");
        const std::string directory = payloads.path().toStdString();
        window.PostToForm([directory](TForm1& form) {
            if (form.Client)
                form.Client->SetPayloadDirectory(directory);
        });
        Click(window, "MQTT_CONNECT_Btn");
        Click(window, "Button2");   // SUBSCRIBE hello/world,センサー/ノード1 at 2,0
        Find<QLineEdit>(window, "PublishTopicEdit")->setText(QStringLiteral("センサー/ノード1"));
        Click(window, "Button5");   // PUBLISH(str) of the default text at QoS 2
        QVERIFY(WaitIdle(window, 60000));
        QVERIFY2(window.Boxes.isEmpty(), window.Boxes.isEmpty() ? "" : qPrintable(window.Boxes[0].Text));
        QVERIFY(Log->WaitForMessage("ConnectReturnCode 0", 5000));
        QVERIFY(Log->WaitForMessage("SubackGrantedQoSList 2,0", 5000));
        // The broker hands the message back on the subscription; the texts survive both ways.
        QVERIFY(Log->WaitForMessage(CodePage::FromUTF8Literal("PublishTopic    センサー/ノード1"), 10000));
        QVERIFY(Log->WaitForMessage(
            CodePage::FromUTF8Literal("PublishData(UTF8) これは試験データです from Windows7"), 10000));
        QVERIFY(WaitUntil([&] { return !QDir(payloads.path()).entryList({"Pub_*.dat"}).isEmpty(); }, 10000));
        QFile saved(QDir(payloads.path()).filePath(QDir(payloads.path()).entryList({"Pub_*.dat"}).first()));
        QVERIFY(saved.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromUtf8(saved.readAll()), QStringLiteral("これは試験データです from Windows7"));
    }

    // Opens a connection to the broker as "dev1" and starts a QoS 1 PUBLISH(str),
    // whose PUBACK wait lasts 20 s; returns once the PUBLISH reached the broker.
    void StartPubackWait(TTestWindow& window, FakeBroker& broker)
    {
        PointAt(window, broker.Port());
        Find<QLineEdit>(window, "ClientIDEdit")->setText(QStringLiteral("dev1"));
        Click(window, "ConnectBtn");
        QVERIFY(WaitIdle(window, 20000));
        Find<QSpinBox>(window, "PublishSpn")->setValue(1);
        Click(window, "Button5");
        QVERIFY(broker.WaitForFrames(1, 5000));
    }

    void VerifyCancelledPuback(FakeBroker& broker)
    {
        QVERIFY(Log->WaitForMessage("cancelled by the user [dev1]", 2000));
        QVERIFY(Log->WaitForMessage("*ERROR* could not receive PUBACK [dev1]", 2000));
        QVERIFY(!Log->WaitForMessage("could not receive PUBACK, retrying.. [dev1]", 0));
        QCOMPARE(CountOfType(broker.Frames(), 3), 1);   // no repeat went out
    }

    void cancelEndsTheRunningWait_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("button") << "button";
        QTest::newRow("Esc") << "escape";
        QTest::newRow("Close") << "close";
    }

    void cancelEndsTheRunningWait()
    {
        QFETCH(QString, how);
        FakeBroker broker;   // accepts, never answers
        TTestWindow& window = OpenWindow();
        window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        auto* cancel = Find<QToolButton>(window, "CancelBtn");
        QVERIFY(!cancel->isEnabled());
        StartPubackWait(window, broker);
        QVERIFY(cancel->isEnabled());

        QElapsedTimer took;
        took.start();
        if (how == "button")
            QTest::mouseClick(cancel, Qt::LeftButton);
        else if (how == "escape")
            QTest::keyClick(&window, Qt::Key_Escape);
        else
            Click(window, "DisconnectBtn");
        QVERIFY(WaitIdle(window, 5000));
        QVERIFY2(took.elapsed() < 1000, qPrintable(QString::number(took.elapsed())));
        VerifyCancelledPuback(broker);
        QVERIFY(window.Boxes.isEmpty());
        QVERIFY(!cancel->isEnabled());
        if (how == "close") {
            QVERIFY(Log->WaitForMessage("disconnected.", 2000));
            VerifyClosedState(window);
        }
    }

    void closingEndsTheRunningWaitAndClosesWithinASecond()
    {
        FakeBroker broker;
        TTestWindow& window = OpenWindow();
        StartPubackWait(window, broker);
        Click(window, "Button2");   // dropped when the window closes
        QElapsedTimer took;
        took.start();
        QVERIFY(!window.close());   // it closes once the running command has ended
        QVERIFY(WaitUntil([&] { return window.IsIdle() && !window.isVisible(); }, 5000));
        QVERIFY2(took.elapsed() < 1000, qPrintable(QString::number(took.elapsed())));
        VerifyCancelledPuback(broker);
        QCOMPARE(CountOfType(broker.Frames(), 8), 0);   // SUBSCRIBE never went out
    }

    void boxOfTheRunningCommandDoesNotHoldTheClose()
    {
        TTestWindow& window = OpenWindow();
        window.RealBoxes = true;
        QElapsedTimer sinceClose;
        bool forced = false;
        QTimer watcher;
        watcher.setInterval(20);
        connect(&watcher, &QTimer::timeout, this, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box && !sinceClose.isValid()) {
                sinceClose.start();
                window.close();
            } else if (box && sinceClose.elapsed() > 3000) {
                forced = true;   // the close left the box open: end it so the test can end
                box->reject();
            }
        });
        watcher.start();
        Click(window, "MQTT_PINGREQ_Btn");   // no connection: an error box that the command waits for
        QVERIFY(WaitUntil([&] { return sinceClose.isValid(); }, 5000));
        QVERIFY(WaitUntil([&] { return !window.isVisible() && window.IsIdle(); }, 5000));
        QVERIFY2(sinceClose.elapsed() < 1000, qPrintable(QString::number(sinceClose.elapsed())));
        QVERIFY(!forced);
        QVERIFY(!QApplication::activeModalWidget());
    }

    void buildFailureMarksTheFieldsUntilEdited()
    {
        FakeBroker broker;
        TTestWindow& window = OpenWindow();
        PointAt(window, broker.Port());
        Click(window, "ConnectBtn");
        auto* qos = Find<QLineEdit>(window, "SubscribeQoSListEdit");
        qos->setText(QStringLiteral("1"));   // two topics, one QoS
        Click(window, "Button2");
        QVERIFY(WaitIdle(window, 20000));
        QVERIFY(Log->WaitForMessage("*ERROR* SUBSCRIBE frame building failed, parameter error [" +
                                        Find<QLineEdit>(window, "ClientIDEdit")->text().toStdString() + "]",
                                    2000));
        const char* const marked[] = {"SubscribeTopicListEdit", "SubscribeQoSListEdit"};
        const QString reason = window.FieldError(marked[0]);
        QVERIFY2(reason.startsWith(QStringLiteral("SubscribeTopicList のトピック数 (2) と SubscribeQoSList の QoS 数 (1)")),
                 qPrintable(reason));
        QVERIFY(reason.endsWith(QStringLiteral("(topic parameter error)")));
        for (const char* name : marked) {
            QCOMPARE(window.FieldError(name), reason);
            QCOMPARE(Find<QLineEdit>(window, name)->toolTip(), reason);
            auto* label = Find<QLabel>(window, (QString(name) + "Error").toLatin1().constData());
            QVERIFY(label->isVisible());
            QCOMPARE(label->text(), reason);
        }
        QCOMPARE(CountOfType(broker.Frames(), 8), 0);

        // Editing one of the two clears both.
        qos->setFocus();
        QTest::keyClicks(qos, QStringLiteral(",0"));
        for (const char* name : marked) {
            QVERIFY(window.FieldError(name).isEmpty());
            QVERIFY(Find<QLineEdit>(window, name)->toolTip().isEmpty());
            QVERIFY(!Find<QLabel>(window, (QString(name) + "Error").toLatin1().constData())->isVisible());
        }
    }

    // ---- MQTT 5.0 properties as rows ----

    void mqtt5GroupShowsWhereItMatters()
    {
        TTestWindow& window = OpenWindow();
        auto* group = Find<TFoldGroup>(window, "Mqtt5Group");
        auto* protocol = Find<QComboBox>(window, "ProtocolVersionCmb");
        QVERIFY(group->IsFolded());   // 3.1: out of use, folded away
        QVERIFY(Find<TFoldGroup>(window, "TlsGroup")->IsFolded());
        protocol->setCurrentIndex(2);
        QVERIFY(!group->IsFolded());
        QVERIFY(group->Body()->isVisible());
        QVERIFY(!Find<QLabel>(window, "Mqtt5Note")->isVisible());
        protocol->setCurrentIndex(1);
        QVERIFY(group->IsFolded());
        // A text set while 5.0 is not chosen stays in sight, with a note that it is not sent.
        window.PostToForm([](TForm1& form) { form.AckPropertiesEdit.Text = "reason-string = x"; });
        QVERIFY(WaitIdle(window, 5000));
        QVERIFY(!group->IsFolded());
        QVERIFY(Find<QLabel>(window, "Mqtt5Note")->isVisible());
        // Switched on (here as a profile does), TLS unfolds too.
        Find<QCheckBox>(window, "TlsChk")->setChecked(true);
        QVERIFY(!Find<TFoldGroup>(window, "TlsGroup")->IsFolded());
        QCOMPARE(Find<QTabWidget>(window, "Mqtt5Tabs")->tabText(6), QStringLiteral("応答 (1)"));
    }

    // The names offered are those the standard allows on the packet, by name.
    void nameBoxOffersWhatThePacketAllows_data()
    {
        QTest::addColumn<QString>("control");
        QTest::addColumn<QStringList>("names");
        const QString user = QStringLiteral("User Property");
        const QStringList message{"Payload Format Indicator", "Message Expiry Interval", "Content Type",
                                  "Response Topic", "Correlation Data"};
        QTest::newRow("CONNECT") << "ConnectPropertiesEdit"
                                 << QStringList{"Session Expiry Interval", "Authentication Method",
                                                "Authentication Data", "Request Problem Information",
                                                "Request Response Information", "Receive Maximum",
                                                "Topic Alias Maximum", user, "Maximum Packet Size"};
        QTest::newRow("will") << "WillPropertiesEdit" << message + QStringList{"Will Delay Interval", user};
        // Not the subscription identifier: only the broker's PUBLISH carries one.
        QTest::newRow("PUBLISH") << "PublishPropertiesEdit" << message + QStringList{"Topic Alias", user};
        QTest::newRow("SUBSCRIBE") << "SubscribePropertiesEdit" << QStringList{"Subscription Identifier", user};
        QTest::newRow("UNSUBSCRIBE") << "UnsubscribePropertiesEdit" << QStringList{user};
        QTest::newRow("DISCONNECT") << "DisconnectPropertiesEdit"
                                    << QStringList{"Session Expiry Interval", "Server Reference", "Reason String", user};
        QTest::newRow("acknowledgements") << "AckPropertiesEdit" << QStringList{"Reason String", user};
        QTest::newRow("AUTH") << "AuthPropertiesEdit"
                              << QStringList{"Authentication Method", "Authentication Data", "Reason String", user};
    }

    void nameBoxOffersWhatThePacketAllows()
    {
        QFETCH(QString, control);
        QFETCH(QStringList, names);
        TTestWindow& window = OpenWindow();
        TPropertyEditor* editor = window.PropertyEditor(control);
        QVERIFY(editor);
        QCOMPARE(editor->AddRow(), 0);
        QStringList offered;
        for (int i = 0; i < editor->NameBox(0)->count(); ++i)
            offered << editor->NameBox(0)->itemText(i);
        QCOMPARE(offered, names);
        // Each new row takes a property no row has yet.
        QCOMPARE(editor->AddRow(), 1);
        QCOMPARE(editor->NameBox(1)->currentText(), names.size() > 1 ? names[1] : names[0]);
    }

    // A text set from outside (a script, a profile, the form) shows as rows and is
    // kept as typed, refusals included; an edit of the rows loses none of it.
    void propertyTextShowsAsRowsAndIsKept_data()
    {
        QTest::addColumn<QString>("control");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("rows");   // see ShownRows; none: the text is no list of entries
        QTest::newRow("four byte integer") << "ConnectPropertiesEdit" << "session-expiry-interval = 3600"
                                           << QStringList{"Session Expiry Interval|3600"};
        QTest::newRow("byte out of range, by its name") << "ConnectPropertiesEdit"
                                                        << "Request Problem Information = 2"
                                                        << QStringList{"!Request Problem Information|2"};
        QTest::newRow("two byte integer below its minimum") << "PublishPropertiesEdit" << "topic-alias = 0"
                                                            << QStringList{"!Topic Alias|0"};
        QTest::newRow("variable byte integer at its maximum, by identifier")
            << "SubscribePropertiesEdit" << "0x0B = 268435455" << QStringList{"Subscription Identifier|268435455"};
        QTest::newRow("variable byte integer past it") << "SubscribePropertiesEdit"
                                                       << "subscription-identifier = 268435456"
                                                       << QStringList{"!Subscription Identifier|268435456"};
        QTest::newRow("quoted string") << "PublishPropertiesEdit" << "content-type = \"a; b\""
                                       << QStringList{"Content Type|a; b"};
        QTest::newRow("string pairs") << "PublishPropertiesEdit" << "user-property = 場所=東京\nuser-property = k="
                                      << QStringList{"User Property|場所|東京", "User Property|k|"};
        QTest::newRow("binary, then repeated") << "WillPropertiesEdit"
                                               << "correlation-data = hex:0a0b; correlation-data = x"
                                               << QStringList{"Correlation Data|hex:0a0b", "!Correlation Data|x"};
        QTest::newRow("pair without =") << "UnsubscribePropertiesEdit" << "user-property = lonely"
                                        << QStringList{"!User Property|lonely|"};
        QTest::newRow("not allowed on the packet") << "PublishPropertiesEdit" << "session-expiry-interval = 5"
                                                   << QStringList{"!session-expiry-interval|5"};
        QTest::newRow("unknown") << "AuthPropertiesEdit" << "colour = red" << QStringList{"!colour|red"};
        QTest::newRow("no list of entries") << "DisconnectPropertiesEdit" << "reason-string = ok; oops"
                                            << QStringList{};
    }

    void propertyTextShowsAsRowsAndIsKept()
    {
        QFETCH(QString, control);
        QFETCH(QString, text);
        QFETCH(QStringList, rows);
        TTestWindow& window = OpenWindow();
        Find<QComboBox>(window, "ProtocolVersionCmb")->setCurrentIndex(2);
        const std::string typed = TMainWindow::ToSystem(text);
        window.PostToForm([control, typed](TForm1& form) { FormText(form, control) = typed; });
        QVERIFY(WaitIdle(window, 5000));
        TPropertyEditor& editor = *window.PropertyEditor(control);
        QCOMPARE(editor.Text(), text);
        QCOMPARE(ShownRows(editor), rows);
        for (int i = 0; i < editor.RowCount(); ++i)
            QCOMPARE(editor.ValueEdit(i)->toolTip(), editor.RowRefusal(i));
        const bool refused = std::any_of(rows.begin(), rows.end(), [](const QString& r) { return r.startsWith('!'); });
        QCOMPARE(!editor.TextRefusal().isEmpty(), refused || rows.isEmpty());
        QCOMPARE(editor.Problem()->isVisibleTo(&editor), refused || rows.isEmpty());

        if (rows.isEmpty()) {
            QCOMPARE(editor.AddRow(), -1);   // typed into shape in the text line first
            QCOMPARE(editor.Text(), text);
            return;
        }
        const int added = editor.AddRow();
        editor.SetRow(added, QStringLiteral("user-property"), QStringLiteral("added=1"));
        std::vector<TPropertyEntry> expected = SplitPropertyText(typed);
        expected.push_back({"user-property", "added=1"});
        QCOMPARE(SplitPropertyText(TMainWindow::ToSystem(editor.Text())), expected);
        // The form reads what the rows wrote.
        QCOMPARE(ReadForm<std::string>(window, [control](TForm1& form) { return FormText(form, control); }),
                 TMainWindow::ToSystem(editor.Text()));
    }

    // Each type typed into a row, written into the text and read back as the same row.
    void rowsWriteTheText_data()
    {
        QTest::addColumn<QString>("control");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("refused");
        QTest::newRow("four byte integer") << "ConnectPropertiesEdit" << "Session Expiry Interval" << "3600"
                                           << "session-expiry-interval = 3600" << false;
        QTest::newRow("two byte integer, zero") << "ConnectPropertiesEdit" << "Receive Maximum" << "0"
                                                << "receive-maximum = 0" << true;
        QTest::newRow("hex number") << "WillPropertiesEdit" << "Will Delay Interval" << "0x10"
                                    << "will-delay-interval = 0x10" << false;
        QTest::newRow("byte") << "WillPropertiesEdit" << "Payload Format Indicator" << "1"
                              << "payload-format-indicator = 1" << false;
        QTest::newRow("string with blanks around") << "PublishPropertiesEdit" << "Content Type" << " text/plain "
                                                   << "content-type = \" text/plain \"" << false;
        QTest::newRow("string with ;") << "PublishPropertiesEdit" << "Response Topic" << "a;b"
                                       << "response-topic = \"a;b\"" << false;
        QTest::newRow("pair") << "PublishPropertiesEdit" << "User Property" << "場所=東京"
                              << "user-property = 場所=東京" << false;
        QTest::newRow("binary, odd digits") << "PublishPropertiesEdit" << "Correlation Data" << "hex:0a0"
                                            << "correlation-data = hex:0a0" << true;
        QTest::newRow("variable byte integer, zero") << "SubscribePropertiesEdit" << "Subscription Identifier" << "0"
                                                     << "subscription-identifier = 0" << true;
        QTest::newRow("empty string") << "AckPropertiesEdit" << "Reason String" << "" << "reason-string =" << false;
    }

    void rowsWriteTheText()
    {
        QFETCH(QString, control);
        QFETCH(QString, name);
        QFETCH(QString, value);
        QFETCH(QString, text);
        QFETCH(bool, refused);
        TTestWindow& window = OpenWindow();
        TPropertyEditor& editor = *window.PropertyEditor(control);
        const int row = editor.AddRow();
        editor.SetRow(row, name, value);
        QCOMPARE(editor.Text().trimmed(), text);
        QCOMPARE(!editor.RowRefusal(row).isEmpty(), refused);
        QCOMPARE(editor.TextRefusal() == editor.RowRefusal(row), true);
        const QStringList shown = ShownRows(editor);
        editor.SetText(editor.Text());   // as if it came back from a profile
        QCOMPARE(ShownRows(editor), shown);
        QCOMPARE(ShownRows(editor).first().section('|', 0, 0).remove('!'), name);
    }

    // A refusal when sending points at the editor, on its page, until the rows are edited.
    // However the text line is set (here as a screen reader sets it), the rows
    // show it, the table's cells read as the rows, and the form sends it.
    void propertiesAreOneValueForAssistiveTools()
    {
        TTestWindow& window = OpenWindow();
        Find<QComboBox>(window, "ProtocolVersionCmb")->setCurrentIndex(2);
        TPropertyEditor& editor = *window.PropertyEditor(QStringLiteral("PublishPropertiesEdit"));
        QAccessibleInterface* line = QAccessible::queryAccessibleInterface(editor.TextEdit());
        QVERIFY(line);
        line->setText(QAccessible::Value, QStringLiteral("content-type = text/plain; user-property = via=at"));
        QCOMPARE(ShownRows(editor), (QStringList{"Content Type|text/plain", "User Property|via|at"}));
        QAccessibleInterface* table = QAccessible::queryAccessibleInterface(editor.Table());
        QVERIFY(table && table->tableInterface());
        QCOMPARE(table->tableInterface()->cellAt(0, 0)->text(QAccessible::Name), QStringLiteral("Content Type"));
        QCOMPARE(table->tableInterface()->cellAt(1, 1)->text(QAccessible::Name), QStringLiteral("via=at"));
        QCOMPARE(ReadForm<std::string>(window, [](TForm1& form) { return form.PublishPropertiesEdit.Text; }),
                 std::string("content-type = text/plain; user-property = via=at"));
        editor.SetRow(0, QStringLiteral("content-type"), QStringLiteral("application/json"));
        QCOMPARE(table->tableInterface()->cellAt(0, 1)->text(QAccessible::Name), QStringLiteral("application/json"));
    }

    void refusedPropertiesMarkTheEditor()
    {
        FakeBroker broker;
        TTestWindow& window = OpenWindow();
        PointAt(window, broker.Port());
        Find<QComboBox>(window, "ProtocolVersionCmb")->setCurrentIndex(2);
        TPropertyEditor& editor = *window.PropertyEditor("PublishPropertiesEdit");
        editor.SetRow(editor.AddRow(), QStringLiteral("topic-alias"), QStringLiteral("0"));
        auto* tabs = Find<QTabWidget>(window, "Mqtt5Tabs");
        tabs->setCurrentIndex(0);
        Click(window, "ConnectBtn");
        Click(window, "Button5");   // PUBLISH(str)
        QVERIFY(WaitIdle(window, 20000));
        const QString reason = window.FieldError("PublishPropertiesEdit");
        QVERIFY2(reason.contains(QStringLiteral("Topic Alias")), qPrintable(reason));
        QCOMPARE(editor.Problem()->text(), reason);
        QVERIFY(editor.Problem()->isVisible());
        QCOMPARE(tabs->currentWidget(), editor.parentWidget());
        QCOMPARE(CountOfType(broker.Frames(), 3), 0);
        editor.SetRow(0, QStringLiteral("topic-alias"), QStringLiteral("1"));
        QVERIFY(window.FieldError("PublishPropertiesEdit").isEmpty());
        QVERIFY(!editor.Problem()->isVisible());
    }

    void eventPortOptionReachesTheDatagrams_data()
    {
        QTest::addColumn<QStringList>("arguments");   // PORT: the capture's port
        QTest::addColumn<int>("exitCode");            // -1: the program runs
        QTest::newRow("--event-port N") << QStringList{"--event-port", "PORT"} << -1;
        QTest::newRow("--event-port=N") << QStringList{"--event-port=PORT"} << -1;
        QTest::newRow("port 0") << QStringList{"--event-port", "0"} << 2;
        QTest::newRow("port too big") << QStringList{"--event-port=65536"} << 2;
        QTest::newRow("no number") << QStringList{"--event-port", "x"} << 2;
        QTest::newRow("no value") << QStringList{"--event-port"} << 2;
        QTest::newRow("unknown option") << QStringList{"--port", "PORT"} << 2;
    }

    void eventPortOptionReachesTheDatagrams()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        arguments.replaceInStrings(QStringLiteral("PORT"), QString::number(Log->Port()));
        QProcess program;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        // The program keeps its fields in the standard place for settings: here, a folder of the test's.
        QTemporaryDir settings;
        QVERIFY(settings.isValid());
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), settings.path());
        program.setProcessEnvironment(environment);
        program.start(QStringLiteral(TARNWICK_PROGRAM), arguments);
        QVERIFY(program.waitForStarted(5000));
        if (exitCode < 0) {
            QVERIFY(Log->WaitForMessage("FormCreate: program start.. ", 20000));
            program.terminate();
            QVERIFY(program.waitForFinished(10000));
            return;
        }
        QVERIFY(program.waitForFinished(10000));
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), exitCode);
        QVERIFY(!program.readAllStandardError().isEmpty());
        QVERIFY(!Log->WaitForMessage("FormCreate: program start.. ", 0));
    }

    void japaneseLabelsRender()
    {
        TTestWindow& window = OpenWindow();
        window.resize(window.sizeHint());
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const QString sample = QStringLiteral("送信間隔秒定期的取出試験警告");
        // Some installed family draws every character of the labels.
        bool covered = false;
        for (const QString& family : QFontDatabase::families(QFontDatabase::Japanese)) {
            QRawFont raw = QRawFont::fromFont(QFont(family), QFontDatabase::Japanese);
            bool all = raw.isValid();
            for (QChar c : sample)
                all = all && raw.supportsCharacter(c);
            if (all) {
                covered = true;
                break;
            }
        }
        QVERIFY2(covered, "no font with Japanese glyphs: install fonts-noto-cjk");

        // Drawn with the label's font, distinct characters give distinct pictures;
        // missing glyphs would all be the same empty box.
        QLabel* label = Find<QLabel>(window, "PingReqIntervalSpnLabel");
        auto picture = [&](QChar c) {
            QImage image(48, 48, QImage::Format_ARGB32);
            image.fill(Qt::white);
            QPainter painter(&image);
            QFont font = label->font();
            font.setPixelSize(32);
            painter.setFont(font);
            painter.setPen(Qt::black);
            painter.drawText(image.rect(), Qt::AlignCenter, QString(c));
            return image;
        };
        const QImage blank = [] {
            QImage image(48, 48, QImage::Format_ARGB32);
            image.fill(Qt::white);
            return image;
        }();
        QList<QImage> pictures;
        for (QChar c : QStringLiteral("送信間隔"))
            pictures << picture(c);
        for (int i = 0; i < pictures.size(); ++i) {
            QVERIFY(pictures[i] != blank);
            for (int j = i + 1; j < pictures.size(); ++j)
                QVERIFY2(pictures[i] != pictures[j], "two characters drew the same picture");
        }

        const QImage grab = window.grab().toImage();
        QVERIFY(!grab.isNull());
        const QString path = QStringLiteral(WINDOW_TEST_ARTIFACT_DIR) + "/window.png";
        QVERIFY(grab.save(path));
        qInfo().noquote() << "window grab:" << path;
    }
};

QTEST_MAIN(TWindowTests)
#include "WindowTests.moc"
