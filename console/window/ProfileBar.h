#pragma once

#include "console/form/FieldTable.h"

#include <QMessageBox>
#include <QWidget>

#include <functional>

class QCheckBox;
class QComboBox;
class TSettingsStore;

// The connection profiles above a connection's fields: the name box, "読込",
// "保存" and "削除", and the switch that keeps the password with a profile.
// Without a settings store the rows are there but disabled.
class TProfileBar : public QWidget {
    Q_OBJECT

public:
    struct THooks {
        std::function<TFieldValues()> Read;                              // the fields as shown
        std::function<void(const TFieldValues&, TFieldMask)> Apply;      // show these fields
        std::function<void(QMessageBox::Icon, const QString&, const QString&)> Box;
        std::function<void(const QString&)> Note;                        // a line for the status bar
    };

    TProfileBar(TSettingsStore* store, THooks hooks, QWidget* parent = nullptr);

    void Save();
    void Load();
    void Delete();
    // The name in the box (what a connection is named after when it has one).
    QString CurrentName() const;
    QComboBox* NameBox() const { return FName; }
    // Puts a kept profile's name in the box, the password switch as the profile
    // was saved; nothing is read into the fields.
    void ShowName(const QString& name);

signals:
    // A profile was loaded into the fields or saved under a name.
    void NameChanged(const QString& name);

private:
    void Refresh(const QString& select);

    TSettingsStore* FStore;
    THooks FHooks;
    QComboBox* FName;
    QCheckBox* FPassword;
};
