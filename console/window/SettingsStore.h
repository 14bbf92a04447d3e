#pragma once

#include "console/form/FieldTable.h"

#include <QString>
#include <QStringList>
#include <QVariant>

#include <vector>

// What the window keeps between runs, in one folder (by default the standard
// one: ~/.config/Tarnwick) that only its owner can enter (mode 0700; a folder
// left more open by an earlier version is tightened when the store is made):
//   tarnwick.conf   the window's connections as they were when it closed
//                   (each one's fields, the profile it is named after and its
//                   folded groups), the named connection profiles (INI, by
//                   control name) and the window's own arrangement;
//   passwords.json  the passwords of the profiles saved with theirs, in a file
//                   only its owner can read or write (mode 0600).
// A password is never kept with the fields, and kept with a profile only when
// the user asks. A passwords.json that cannot be read or parsed is never
// written over: saving or deleting a profile is refused with the reason, and a
// profile loads without its password, saying why. Values are read back through
// the same limits as typed ones: an integer as its text, a choice by its
// item's name (an unknown one is left out), a check box as true or false.
class TSettingsStore {
public:
    explicit TSettingsStore(QString directory);

    // ~/.config/Tarnwick (the standard location for settings; tests redirect it).
    static QString DefaultDirectory();
    const QString& Directory() const { return FDirectory; }
    QString SettingsFile() const;
    QString PasswordFile() const;

    // Every field but the passwords and the ping timer's switch.
    void SaveFields(const TFieldValues& values) const;
    // The fields found overwrite those of values; false when none were kept.
    bool LoadFields(TFieldValues& values) const;

    // One of the window's connections as it is kept.
    struct TKeptConnection {
        TFieldValues Fields;
        QString Profile;        // the profile it is named after; empty: its ClientID
        QStringList Folded;     // the object names of its folded groups
        bool FoldsKept = false; // false: fold what it does not use
    };
    // Every connection of the window, in the list's order; the first one's
    // fields also as SaveFields keeps them.
    void SaveConnections(const std::vector<TKeptConnection>& connections) const;
    // The kept connections, each over a copy of defaults; with the passwords
    // of its profile where the user saved the profile with them (else none).
    // Empty when none were kept.
    std::vector<TKeptConnection> LoadConnections(const TFieldValues& defaults) const;

    // The broker, port, protocol, TLS settings and files, client identifier
    // and user name (control names).
    // With them the transport, WebSocket and proxy settings; the passwords
    // (the broker's and the proxy's) go with a profile only when asked.
    static const QStringList& ProfileControls();
    QStringList ProfileNames() const;
    // False with a reason in error (Japanese) when the name is empty, the
    // password file cannot be read (it is left as it is) or written, or the
    // settings cannot be written.
    bool SaveProfile(const QString& name, const TFieldValues& values, bool withPassword, QString& error) const;
    // The profile's fields into values; the password is the profile's own or
    // empty (a password typed for another broker is not sent to this one).
    // When the password file cannot be read, problem (if given) says so.
    bool LoadProfile(const QString& name, TFieldValues& values, QString* problem = nullptr) const;
    bool DeleteProfile(const QString& name, QString& error) const;
    bool HasPassword(const QString& name) const;

    // What the window keeps of itself (geometry, splitters, folded groups, tab), by key.
    QVariant WindowValue(const QString& key) const;
    void SetWindowValue(const QString& key, const QVariant& value) const;

private:
    // False with the reason in problem when the file exists but cannot be read
    // or is not a JSON object of texts; no file is no password.
    bool ReadPasswords(QMap<QString, QString>& passwords, QString& problem) const;
    bool WritePasswords(const QMap<QString, QString>& passwords, QString& error) const;
    // Makes the folder, the owner's alone; false when it cannot be made.
    bool MakeDirectory() const;

    QString FDirectory;
};

// A field's value as the settings keep it (UTF-8), by control name; empty
// QString() for an unknown name.
QString FieldSettingValue(const TFieldValues& values, const char* control);
// Sets a field from its kept value; false when the name or the value is unknown.
bool SetFieldFromSetting(TFieldValues& values, const char* control, const QString& value);
