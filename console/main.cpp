#include "console/window/LogoWidget.h"
#include "console/window/MainWindow.h"
#include "console/window/SettingsStore.h"
#include "platform/Random.h"

#include <QApplication>
#include <QIcon>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

#include <cstdio>
#include <optional>

namespace {

constexpr int DefaultEventPort = 2056;

void Usage(std::FILE* out)
{
    std::fprintf(out,
                 "Usage: tarnwick [--event-port N] [Qt options]\n"
                 "The Tarnwick test console for MQTT brokers.\n"
                 "\n"
                 "  --event-port N   UDP port on 127.0.0.1 for the diagnostic lines (default %d);\n"
                 "                   tarnwick-log-listener --port N prints them\n"
                 "  --help           this text\n",
                 DefaultEventPort);
}

std::optional<int> ParsePort(const QString& text)
{
    bool ok = false;
    const int port = text.toInt(&ok);
    if (!ok || port < 1 || port > 65535)
        return std::nullopt;
    return port;
}

// The arguments Qt left: 0 to run with eventPort set, otherwise the exit code.
int ParseArguments(const QStringList& arguments, int& eventPort)
{
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString& arg = arguments[i];
        QString value;
        if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
            Usage(stdout);
            return -1;
        } else if (arg == QLatin1String("--event-port")) {
            if (i + 1 >= arguments.size()) {
                std::fprintf(stderr, "tarnwick: --event-port needs a port number\n");
                return 2;
            }
            value = arguments[++i];
        } else if (arg.startsWith(QLatin1String("--event-port="))) {
            value = arg.mid(static_cast<qsizetype>(std::char_traits<char>::length("--event-port=")));
        } else {
            std::fprintf(stderr, "tarnwick: unknown option: %s\n", qPrintable(arg));
            Usage(stderr);
            return 2;
        }
        const std::optional<int> port = ParsePort(value);
        if (!port) {
            std::fprintf(stderr, "tarnwick: bad event port (1 to 65535): %s\n", qPrintable(value));
            return 2;
        }
        eventPort = *port;
    }
    return 0;
}

}  // namespace

int main(int argc, char* argv[])
{
    // The process-wide generator is seeded before anything draws from it.
    Randomize();

    QApplication app(argc, argv);
    int eventPort = DefaultEventPort;
    if (const int code = ParseArguments(QApplication::arguments(), eventPort); code != 0)
        return code < 0 ? 0 : code;

    // Qt's own texts (dialog buttons, the file chooser) in the window's language,
    // where Qt's translations are installed (Debian: qt6-translations-l10n).
    QTranslator qtTexts;
    if (qtTexts.load(QLocale(QLocale::Japanese, QLocale::Japan), QStringLiteral("qtbase"), QStringLiteral("_"),
                     QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QApplication::installTranslator(&qtTexts);

    QApplication::setDesktopFileName(QStringLiteral("tarnwick"));
    QIcon icon;
    for (int size : {16, 32, 48, 64, 128})
        icon.addPixmap(TarnwickLogoPixmap(size));
    QApplication::setWindowIcon(icon);

    QApplication::setOrganizationName(QStringLiteral("Tarnwick"));
    QApplication::setApplicationName(QStringLiteral("tarnwick"));
    // The fields and the connection profiles are kept in the standard place for settings.
    TMainWindow window(eventPort, nullptr, TSettingsStore::DefaultDirectory());
    // A window that went out of sight before its last command ended is no longer
    // the last visible one when it closes: the program ends on its own signal.
    QObject::connect(&window, &TMainWindow::Closed, &app, &QCoreApplication::quit);
    window.Start();
    window.show();
    const int status = app.exec();
    window.Shutdown();
    return status;
}
