#pragma once

#include "console/form/FieldTable.h"

#include <QString>
#include <QStringList>
#include <QVariant>

// What the window keeps between runs, in one folder (by default the standard
// one: ~/.config/Tarnwick):
//   tarnwick.conf   the fields as they were when the window closed, and the
//                   named connection profiles (INI, by control name);
//   passwords.json  the passwords of the profiles saved with theirs, in a file
//                   only its owner can read or write (mode 0600).
// A password is never kept with the fields, and kept with a profile only when
// the user asks. Values are read back through the same limits as typed ones:
// an integer as its text, a choice by its item's name (an unknown one is left
// out), a check box as true or false.
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

    // The broker, port, protocol, TLS settings and files, client identifier
    // and user name (control names).
    // With them the transport, WebSocket and proxy settings; the passwords
    // (the broker's and the proxy's) go with a profile only when asked.
    static const QStringList& ProfileControls();
    QStringList ProfileNames() const;
    // False with a reason in error (Japanese) when the name is empty or the
    // password file cannot be written.
    bool SaveProfile(const QString& name, const TFieldValues& values, bool withPassword, QString& error) const;
    // The profile's fields into values; the password is the profile's own or
    // empty (a password typed for another broker is not sent to this one).
    bool LoadProfile(const QString& name, TFieldValues& values) const;
    bool DeleteProfile(const QString& name, QString& error) const;
    bool HasPassword(const QString& name) const;

    // What the window keeps of itself (geometry, splitters, folded groups, tab), by key.
    QVariant WindowValue(const QString& key) const;
    void SetWindowValue(const QString& key, const QVariant& value) const;

private:
    bool ReadPasswords(QMap<QString, QString>& passwords) const;
    bool WritePasswords(const QMap<QString, QString>& passwords, QString& error) const;

    QString FDirectory;
};

// A field's value as the settings keep it (UTF-8), by control name; empty
// QString() for an unknown name.
QString FieldSettingValue(const TFieldValues& values, const char* control);
// Sets a field from its kept value; false when the name or the value is unknown.
bool SetFieldFromSetting(TFieldValues& values, const char* control, const QString& value);
