#include "console/window/SettingsStore.h"

#include "platform/CodePage.h"
#include "platform/FileHandle.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QSettings>
#include <QStandardPaths>
#include <QUrl>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

const QString FieldsGroup = QStringLiteral("Fields");
const QString ProfilesGroup = QStringLiteral("Profiles");
const QString WindowGroup = QStringLiteral("Window");
const QString ConnectionsArray = QStringLiteral("Connections");

// Never kept with the fields: the passwords, and the switch of a timer that
// only runs while a connection is open.
bool KeptBetweenRuns(const char* control)
{
    return std::strcmp(control, "PasswordEdit") != 0 && std::strcmp(control, "ProxyPasswordEdit") != 0 &&
           std::strcmp(control, "PingTimerChk") != 0;
}

// A profile's proxy password sits beside its password under this key.
QString ProxyPasswordKey(const QString& name)
{
    return name + QStringLiteral("\nproxy");
}

QString ToQ(const std::string& system)
{
    return QString::fromStdString(CodePage::SystemToUTF8(system));
}

std::string ToSystem(const QString& text)
{
    return CodePage::UTF8ToSystem(text.toStdString());
}

// A profile's name as one group of the INI file, whatever it holds ("/" included).
QString ProfileKey(const QString& name)
{
    return ProfilesGroup + "/" + QString::fromLatin1(QUrl::toPercentEncoding(name));
}

// A password file that cannot be read is never written over: the user may
// still have the passwords in it.
QString KeptUnchanged()
{
    return QStringLiteral("\nプロファイルもパスワードのファイルも変えていません。ファイルを直すか消してから、もう一度どうぞ。");
}

// Only the owner may enter the settings folder: the files in it name hosts,
// users and key files. A folder that lets others in (an earlier version made it
// 0755) is tightened, if it is the user's own.
void TightenDirectory(const QByteArray& path)
{
    struct stat st {};
    if (::stat(path.constData(), &st) == 0 && S_ISDIR(st.st_mode) && (st.st_mode & 077) != 0 &&
        st.st_uid == ::geteuid())
        ::chmod(path.constData(), S_IRWXU);
}

template <typename TFn>
void ForEachField(TFn fn)
{
    for (const TControlInfo& row : Controls)
        if (row.Text || row.Int || row.Check || row.Choice)
            fn(row.Name);
}

}  // namespace

QString FieldSettingValue(const TFieldValues& values, const char* control)
{
    if (const std::size_t i = FieldIndex(TextFields, control); i < TextFields.size())
        return ToQ(values.Texts[i]);
    if (const std::size_t i = FieldIndex(IntFields, control); i < IntFields.size())
        return ToQ(values.Ints[i]);
    if (const std::size_t i = FieldIndex(CheckFields, control); i < CheckFields.size())
        return values.Checks[i] ? QStringLiteral("true") : QStringLiteral("false");
    if (const std::size_t i = FieldIndex(ChoiceFields, control); i < ChoiceFields.size()) {
        const std::span<const char* const> items = FindControl(control)->Items;
        const int index = values.Choices[i];
        return QString::fromUtf8(items[index >= 0 && static_cast<std::size_t>(index) < items.size() ? index : 0]);
    }
    return {};
}

bool SetFieldFromSetting(TFieldValues& values, const char* control, const QString& value)
{
    if (const std::size_t i = FieldIndex(TextFields, control); i < TextFields.size()) {
        values.Texts[i] = ToSystem(value);
        return true;
    }
    if (const std::size_t i = FieldIndex(IntFields, control); i < IntFields.size()) {
        values.Ints[i] = ToSystem(value.trimmed());
        return true;
    }
    if (const std::size_t i = FieldIndex(CheckFields, control); i < CheckFields.size()) {
        if (value != QLatin1String("true") && value != QLatin1String("false"))
            return false;
        values.Checks[i] = value == QLatin1String("true");
        return true;
    }
    if (const std::size_t i = FieldIndex(ChoiceFields, control); i < ChoiceFields.size()) {
        const std::span<const char* const> items = FindControl(control)->Items;
        for (std::size_t item = 0; item < items.size(); ++item) {
            if (value == QString::fromUtf8(items[item])) {
                values.Choices[i] = static_cast<int>(item);
                return true;
            }
        }
    }
    return false;
}

TSettingsStore::TSettingsStore(QString directory) : FDirectory(std::move(directory))
{
    TightenDirectory(QFile::encodeName(FDirectory));
}

bool TSettingsStore::MakeDirectory() const
{
    const QFileInfo info(FDirectory);
    if (info.isDir())
        return true;
    // The folders above it as the system makes them; the last one the owner's alone.
    QDir().mkpath(info.absolutePath());
    const QByteArray path = QFile::encodeName(FDirectory);
    if (::mkdir(path.constData(), S_IRWXU) != 0 && errno != EEXIST)
        return false;
    TightenDirectory(path);
    return QFileInfo(FDirectory).isDir();
}

QString TSettingsStore::DefaultDirectory()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QStringLiteral("/Tarnwick");
}

QString TSettingsStore::SettingsFile() const
{
    return FDirectory + QStringLiteral("/tarnwick.conf");
}

QString TSettingsStore::PasswordFile() const
{
    return FDirectory + QStringLiteral("/passwords.json");
}

namespace {

void WriteFields(QSettings& settings, const TFieldValues& values)
{
    settings.beginGroup(FieldsGroup);
    ForEachField([&](const char* control) {
        if (KeptBetweenRuns(control))
            settings.setValue(QString::fromLatin1(control), FieldSettingValue(values, control));
    });
    settings.endGroup();
}

bool ReadFields(QSettings& settings, TFieldValues& values)
{
    settings.beginGroup(FieldsGroup);
    bool found = false;
    ForEachField([&](const char* control) {
        const QString key = QString::fromLatin1(control);
        if (KeptBetweenRuns(control) && settings.contains(key))
            found = SetFieldFromSetting(values, control, settings.value(key).toString()) || found;
    });
    settings.endGroup();
    return found;
}

}  // namespace

void TSettingsStore::SaveFields(const TFieldValues& values) const
{
    MakeDirectory();
    QSettings settings(SettingsFile(), QSettings::IniFormat);
    settings.remove(FieldsGroup);
    WriteFields(settings, values);
    settings.sync();
}


bool TSettingsStore::LoadFields(TFieldValues& values) const
{
    if (!QFile::exists(SettingsFile()))
        return false;
    QSettings settings(SettingsFile(), QSettings::IniFormat);
    return ReadFields(settings, values);
}

void TSettingsStore::SaveConnections(const std::vector<TKeptConnection>& connections) const
{
    if (!connections.empty())
        SaveFields(connections.front().Fields);
    MakeDirectory();
    QSettings settings(SettingsFile(), QSettings::IniFormat);
    settings.remove(ConnectionsArray);
    settings.beginWriteArray(ConnectionsArray, static_cast<int>(connections.size()));
    for (std::size_t i = 0; i < connections.size(); ++i) {
        const TKeptConnection& kept = connections[i];
        settings.setArrayIndex(static_cast<int>(i));
        settings.setValue(QStringLiteral("Profile"), kept.Profile);
        if (kept.FoldsKept)
            settings.setValue(QStringLiteral("FoldedGroups"), kept.Folded.isEmpty() ? QStringList{QString()} : kept.Folded);
        // The first one's fields are those of [Fields].
        if (i > 0)
            WriteFields(settings, kept.Fields);
    }
    settings.endArray();
    settings.sync();
}

std::vector<TSettingsStore::TKeptConnection> TSettingsStore::LoadConnections(const TFieldValues& defaults) const
{
    std::vector<TKeptConnection> connections;
    if (!QFile::exists(SettingsFile()))
        return connections;
    // A password file that cannot be read restores no password; the profile bar says why.
    QMap<QString, QString> passwords;
    QString unread;
    ReadPasswords(passwords, unread);
    QSettings settings(SettingsFile(), QSettings::IniFormat);
    const int count = settings.beginReadArray(ConnectionsArray);
    for (int i = 0; i < count; ++i) {
        settings.setArrayIndex(i);
        TKeptConnection kept;
        kept.Fields = defaults;
        kept.Profile = settings.value(QStringLiteral("Profile")).toString();
        const QVariant folded = settings.value(QStringLiteral("FoldedGroups"));
        kept.FoldsKept = folded.isValid();
        for (const QString& name : folded.toStringList())
            if (!name.isEmpty())
                kept.Folded << name;
        if (i > 0)
            ReadFields(settings, kept.Fields);
        connections.push_back(std::move(kept));
    }
    settings.endArray();
    // The first connection's fields; before connections were kept, the only ones.
    if (connections.empty()) {
        TKeptConnection first;
        first.Fields = defaults;
        if (!ReadFields(settings, first.Fields))
            return connections;
        connections.push_back(std::move(first));
    } else {
        ReadFields(settings, connections.front().Fields);
    }
    // The passwords (the broker's and the proxy's) only as the connection's profile keeps them.
    for (TKeptConnection& kept : connections) {
        const auto keep = [&](const char* control, const QString& key) {
            kept.Fields.Texts[FieldIndex(TextFields, control)] =
                kept.Profile.isEmpty() ? std::string() : ToSystem(passwords.value(key));
        };
        keep("PasswordEdit", kept.Profile);
        keep("ProxyPasswordEdit", ProxyPasswordKey(kept.Profile));
    }
    return connections;
}

const QStringList& TSettingsStore::ProfileControls()
{
    static const QStringList controls{
        "BrokerEdit1",     "BrokerPortSpn",  "ProtocolVersionCmb", "TlsChk",        "TlsCaFileEdit",
        "TlsCertFileEdit", "TlsKeyFileEdit", "TlsVerifyHostChk",   "TransportCmb",  "WsPathEdit",
        "WsSubprotocolEdit", "WsHeadersEdit", "ProxyCmb",          "ProxyHostEdit", "ProxyPortSpn",
        "ProxyUserEdit",   "ClientIDEdit",   "UserNameEdit",       "WriteStallSpn",
    };
    return controls;
}

QStringList TSettingsStore::ProfileNames() const
{
    QStringList names;
    if (!QFile::exists(SettingsFile()))
        return names;
    QSettings settings(SettingsFile(), QSettings::IniFormat);
    settings.beginGroup(ProfilesGroup);
    for (const QString& key : settings.childGroups())
        names << QUrl::fromPercentEncoding(key.toLatin1());
    names.sort(Qt::CaseInsensitive);
    return names;
}

bool TSettingsStore::SaveProfile(const QString& name, const TFieldValues& values, bool withPassword,
                                 QString& error) const
{
    if (name.trimmed().isEmpty()) {
        error = QStringLiteral("プロファイルの名前を入れてください");
        return false;
    }
    QMap<QString, QString> passwords;
    if (!ReadPasswords(passwords, error)) {
        error += KeptUnchanged();
        return false;
    }
    // The password file first: a profile is never left claiming a password it does not have.
    const std::pair<QString, const char*> secrets[] = {{name, "PasswordEdit"},
                                                       {ProxyPasswordKey(name), "ProxyPasswordEdit"}};
    for (const auto& [key, control] : secrets) {
        const QString password = ToQ(values.Texts[FieldIndex(TextFields, control)]);
        if (withPassword && !password.isEmpty())
            passwords[key] = password;
        else
            passwords.remove(key);
    }
    if (!WritePasswords(passwords, error))
        return false;
    MakeDirectory();
    QSettings settings(SettingsFile(), QSettings::IniFormat);
    settings.remove(ProfileKey(name));
    settings.beginGroup(ProfileKey(name));
    for (const QString& control : ProfileControls())
        settings.setValue(control, FieldSettingValue(values, control.toLatin1().constData()));
    settings.endGroup();
    settings.sync();
    if (settings.status() != QSettings::NoError) {
        error = QStringLiteral("設定ファイルに書けません: ") + SettingsFile();
        return false;
    }
    return true;
}

bool TSettingsStore::LoadProfile(const QString& name, TFieldValues& values, QString* problem) const
{
    if (!ProfileNames().contains(name))
        return false;
    QSettings settings(SettingsFile(), QSettings::IniFormat);
    settings.beginGroup(ProfileKey(name));
    for (const QString& control : ProfileControls())
        if (settings.contains(control))
            SetFieldFromSetting(values, control.toLatin1().constData(), settings.value(control).toString());
    QMap<QString, QString> passwords;
    QString unread;
    if (!ReadPasswords(passwords, unread) && problem)
        *problem = unread + QStringLiteral("\nプロファイルはパスワードなしで読み込みました。");
    values.Texts[FieldIndex(TextFields, "PasswordEdit")] = ToSystem(passwords.value(name));
    values.Texts[FieldIndex(TextFields, "ProxyPasswordEdit")] = ToSystem(passwords.value(ProxyPasswordKey(name)));
    return true;
}

bool TSettingsStore::DeleteProfile(const QString& name, QString& error) const
{
    QMap<QString, QString> passwords;
    if (!ReadPasswords(passwords, error)) {
        error += KeptUnchanged();
        return false;
    }
    const bool had = passwords.remove(name) + passwords.remove(ProxyPasswordKey(name)) > 0;
    if (had && !WritePasswords(passwords, error))
        return false;
    QSettings settings(SettingsFile(), QSettings::IniFormat);
    settings.remove(ProfileKey(name));
    settings.sync();
    return true;
}

bool TSettingsStore::HasPassword(const QString& name) const
{
    QMap<QString, QString> passwords;
    QString problem;
    return ReadPasswords(passwords, problem) && (passwords.contains(name) || passwords.contains(ProxyPasswordKey(name)));
}

bool TSettingsStore::ReadPasswords(QMap<QString, QString>& passwords, QString& problem) const
{
    const auto unreadable = [&](const QString& reason) {
        passwords.clear();
        problem = QStringLiteral("パスワードのファイルを読めません (%1): %2").arg(reason, PasswordFile());
        return false;
    };
    QFile file(PasswordFile());
    if (!file.exists())
        return true;
    if (!file.open(QIODevice::ReadOnly))
        return unreadable(file.errorString());
    QJsonParseError parse{};
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &parse);
    if (parse.error != QJsonParseError::NoError)
        return unreadable(parse.errorString() + QStringLiteral(", offset %1").arg(parse.offset));
    if (!document.isObject())
        return unreadable(QStringLiteral("not a JSON object"));
    const QJsonObject object = document.object();
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (!it.value().isString())
            return unreadable(QStringLiteral("the entry \"%1\" is not a text").arg(it.key()));
        passwords[it.key()] = it.value().toString();
    }
    return true;
}

// Written to a new file that is the owner's alone from its first byte, then
// renamed over the old one: no moment in which another user could read it.
bool TSettingsStore::WritePasswords(const QMap<QString, QString>& passwords, QString& error) const
{
    const QByteArray path = QFile::encodeName(PasswordFile());
    if (passwords.isEmpty()) {
        if (::unlink(path.constData()) != 0 && errno != ENOENT) {
            error = QStringLiteral("パスワードのファイルを消せません: ") + PasswordFile();
            return false;
        }
        return true;
    }
    QJsonObject object;
    for (auto it = passwords.begin(); it != passwords.end(); ++it)
        object.insert(it.key(), it.value());
    const QByteArray bytes = QJsonDocument(object).toJson();
    MakeDirectory();
    const QByteArray temporary = path + ".tmp";
    bool written = false;
    {
        TFileHandle file(::open(temporary.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600));
        // An old temporary file keeps its mode through O_CREAT: set it again.
        if (file.Get() >= 0 && ::fchmod(file.Get(), S_IRUSR | S_IWUSR) == 0) {
            qsizetype done = 0;
            while (done < bytes.size()) {
                const ssize_t n =
                    ::write(file.Get(), bytes.constData() + done, static_cast<std::size_t>(bytes.size() - done));
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0)
                    break;
                done += n;
            }
            written = done == bytes.size() && ::fsync(file.Get()) == 0;
        }
    }
    if (!written || ::rename(temporary.constData(), path.constData()) != 0) {
        ::unlink(temporary.constData());
        error = QStringLiteral("パスワードのファイルに書けません: ") + PasswordFile();
        return false;
    }
    return true;
}

QVariant TSettingsStore::WindowValue(const QString& key) const
{
    QSettings settings(SettingsFile(), QSettings::IniFormat);
    return settings.value(WindowGroup + "/" + key);
}

void TSettingsStore::SetWindowValue(const QString& key, const QVariant& value) const
{
    QSettings settings(SettingsFile(), QSettings::IniFormat);
    settings.setValue(WindowGroup + "/" + key, value);
}
