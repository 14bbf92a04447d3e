// The broker-check dialog against a broker with a planted fault: the table
// fills, a failed check opens its frames, the window's menu opens the dialog;
// the run's HTML page opens in a text browser and its JUnit file reads back.
#include "console/check/CheckReports.h"
#include "console/check/WindowProfile.h"
#include "console/window/CheckDialog.h"
#include "console/window/SettingsStore.h"
#include "support/CheckBroker.h"

#include <QMainWindow>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <QXmlStreamReader>
#include <QtTest>

#include <map>

class TCheckDialogTests : public QObject {
    Q_OBJECT

private slots:
    void RunsFillsTheTableAndOpensTheFramesOfAFailure()
    {
        CheckBroker broker(TPlantedFault::RetainNotReplaced);
        TCheckDialog dialog("set BrokerEdit1 127.0.0.1\nset BrokerPortSpn " + std::to_string(broker.Port()) + "\n");
        dialog.ChooseProtocol(1);
        dialog.ChooseFamilies({TCheckFamily::Retain});
        QSignalSpy finished(&dialog, &TCheckDialog::Finished);
        dialog.Start();
        QVERIFY(finished.wait(60000));

        auto* table = dialog.findChild<QTableWidget*>("CheckResultsTable");
        QCOMPARE(table->rowCount(), static_cast<int>(dialog.Run().Results.size()));
        int failed = -1;
        for (int row = 0; row < table->rowCount(); ++row)
            if (table->item(row, 4)->text() == "FAIL") failed = row;
        QVERIFY(failed >= 0);
        QCOMPARE(table->item(failed, 2)->text(), QString("retain.replace"));
        table->setCurrentCell(failed, 0);
        // The dialog as a person sees it, for a look (not compared).
        dialog.show();
        QVERIFY(dialog.grab().save(QStringLiteral(WINDOW_TEST_ARTIFACT_DIR "/check-dialog.png")));
        const QString frames = dialog.findChild<QPlainTextEdit*>("CheckFramesText")->toPlainText();
        QVERIFY2(frames.contains("received  PUBLISH") && frames.contains("PublishTopic") && frames.contains("0000  "),
                 qPrintable(frames.left(400)));

        // The reports of that run: the page opens in a text browser, the JUnit file parses.
        QTemporaryDir dir;
        std::string error;
        const std::string html = (dir.path() + "/run.html").toStdString(), junit = (dir.path() + "/run.xml").toStdString();
        QVERIFY(WriteHtml(html, dialog.Run(), error) && WriteJUnit(junit, dialog.Run(), error));
        QTextBrowser browser;
        browser.setSource(QUrl::fromLocalFile(QString::fromStdString(html)));
        QVERIFY(browser.toPlainText().contains("FAIL MQTT 3.1.1 retain.replace"));
        QVERIFY(browser.toPlainText().contains("PublishTopic"));

        QFile file(QString::fromStdString(junit));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QXmlStreamReader xml(&file);
        int cases = 0, failures = 0;
        QString failedName;
        QString lastName;
        while (!xml.atEnd()) {
            if (xml.readNext() != QXmlStreamReader::StartElement) continue;
            if (xml.name() == QLatin1String("testcase")) {
                ++cases;
                lastName = xml.attributes().value("name").toString();
            }
            if (xml.name() == QLatin1String("failure")) {
                ++failures;
                failedName = lastName;
            }
        }
        QVERIFY2(!xml.hasError(), qPrintable(xml.errorString()));
        QCOMPARE(cases, table->rowCount());
        QCOMPARE(failures, 1);
        QCOMPARE(failedName, QString("retain.replace"));
    }

    // --profile reads a profile as the window's own store wrote it: its fields and its password.
    void CheckProfileReadsWhatTheWindowSaved()
    {
        QTemporaryDir dir;
        const std::map<std::string, QString> saved = {
            {"BrokerEdit1", "127.0.0.1"},    {"BrokerPortSpn", "18883"},         {"TlsChk", "true"},
            {"TlsVerifyHostChk", "false"},   {"TlsCaFileEdit", "/tmp/ca, \"x\"; [1].pem"},
            {"UserNameEdit", "@@admin"},      {"PasswordEdit", "s3 \"cret\""}};
        TFieldValues values;
        for (const auto& [control, value] : saved) QVERIFY(SetFieldFromSetting(values, control.c_str(), value));
        QString error;
        QVERIFY(TSettingsStore(dir.path()).SaveProfile("lab broker~1", values, true, error));
        std::string lines, why;
        std::vector<TScriptStep> steps;
        QVERIFY2(WindowProfileLines(dir.path().toStdString(), "lab broker~1", lines, why) &&
                     ParseConnectionLines(lines, "profile", steps, why),
                 why.c_str());
        size_t found = 0;
        for (const TScriptStep& step : steps) {
            const QString value = step.Field->Kind == TScriptFieldKind::Text    ? QString::fromStdString(step.Value)
                                  : step.Field->Kind == TScriptFieldKind::Check ? (step.Number ? "true" : "false")
                                                                                : QString::number(step.Number);
            const auto it = saved.find(step.Field->Name);
            QCOMPARE(value, it == saved.end() ? QString() : it->second);
            found += it != saved.end();
        }
        QCOMPARE(found, saved.size());
    }

    void TheMenuOpensTheDialog()
    {
        QMainWindow window;
        AddCheckMenu(window, [] { return std::string("set BrokerEdit1 127.0.0.1\n"); });
        auto* action = window.findChild<QAction*>("BrokerCheckAction");
        QVERIFY(action);
        action->trigger();
        QVERIFY(window.findChild<TCheckDialog*>("CheckDialog"));
    }
};

QTEST_MAIN(TCheckDialogTests)
#include "CheckDialogTests.moc"
