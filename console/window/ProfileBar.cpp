#include "console/window/ProfileBar.h"

#include "console/window/SettingsStore.h"

#include <QCheckBox>
#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <initializer_list>

TProfileBar::TProfileBar(TSettingsStore* store, THooks hooks, QWidget* parent)
    : QWidget(parent), FStore(store), FHooks(std::move(hooks))
{
    FName = new QComboBox(this);
    FName->setObjectName("ProfileCmb");
    FName->setEditable(true);
    FName->setInsertPolicy(QComboBox::NoInsert);
    FName->lineEdit()->setPlaceholderText(QStringLiteral("名前"));
    FName->setAccessibleName(QStringLiteral("接続プロファイル"));
    FName->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    auto* label = new QLabel(QStringLiteral("接続プロファイル"), this);
    label->setObjectName("ProfileCmbLabel");
    label->setBuddy(FName);
    // Narrow buttons: the settings panel shares the window with the views.
    auto button = [&](const char* name, const QString& caption, const QString& tip, void (TProfileBar::*slot)()) {
        auto* b = new QPushButton(caption, this);
        b->setMinimumWidth(b->fontMetrics().horizontalAdvance(caption) + 20);
        b->setObjectName(name);
        b->setToolTip(tip);
        connect(b, &QPushButton::clicked, this, slot);
        return b;
    };
    QPushButton* load = button("ProfileLoadBtn", QStringLiteral("読込"),
                               QStringLiteral("プロファイルの接続先を欄に読み込みます"), &TProfileBar::Load);
    QPushButton* save = button("ProfileSaveBtn", QStringLiteral("保存"),
                               QStringLiteral("いまの接続先をこの名前で保存します"), &TProfileBar::Save);
    QPushButton* remove = button("ProfileDeleteBtn", QStringLiteral("削除"),
                                 QStringLiteral("この名前のプロファイルを削除します"), &TProfileBar::Delete);
    FPassword = new QCheckBox(QStringLiteral("パスワードも保存"), this);
    FPassword->setObjectName("ProfilePasswordChk");
    FPassword->setToolTip(QStringLiteral("パスワードは本人だけが読めるファイル (passwords.json, 0600) に保存されます"));

    auto* line = new QHBoxLayout;
    line->addWidget(label);
    line->addWidget(FName, 1);
    line->addWidget(load);
    line->addWidget(save);
    line->addWidget(remove);
    auto* second = new QHBoxLayout;
    second->addStretch(1);
    second->addWidget(FPassword);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addLayout(line);
    layout->addLayout(second);
    if (!FStore) {
        for (QWidget* w : std::initializer_list<QWidget*>{FName, load, save, remove, FPassword}) {
            w->setEnabled(false);
            w->setToolTip(QStringLiteral("設定の保存先がありません"));
        }
        return;
    }
    Refresh(QString());
}

QString TProfileBar::CurrentName() const
{
    return FStore ? FName->currentText().trimmed() : QString();
}

void TProfileBar::Refresh(const QString& select)
{
    const QSignalBlocker block(FName);
    FName->clear();
    if (FStore)
        FName->addItems(FStore->ProfileNames());
    FName->setCurrentIndex(FName->findText(select));
    FName->setEditText(select);
}

void TProfileBar::ShowName(const QString& name)
{
    if (!FStore)
        return;
    Refresh(name);
    FPassword->setChecked(!name.isEmpty() && FStore->HasPassword(name));
}

void TProfileBar::Save()
{
    if (!FStore)
        return;
    const QString name = FName->currentText().trimmed();
    QString error;
    if (!FStore->SaveProfile(name, FHooks.Read(), FPassword->isChecked(), error)) {
        FHooks.Box(QMessageBox::Warning, QStringLiteral("接続プロファイル"), error);
        return;
    }
    Refresh(name);
    FHooks.Note(QStringLiteral("接続プロファイル「%1」を保存しました").arg(name));
    emit NameChanged(name);
}

void TProfileBar::Load()
{
    if (!FStore)
        return;
    const QString name = FName->currentText().trimmed();
    const TFieldValues now = FHooks.Read();
    TFieldValues values = now;
    QString problem;
    if (!FStore->LoadProfile(name, values, &problem)) {
        FHooks.Note(QStringLiteral("接続プロファイル「%1」はありません").arg(name));
        return;
    }
    FHooks.Apply(values, DiffFields(values, now));
    FPassword->setChecked(FStore->HasPassword(name));
    FHooks.Note(QStringLiteral("接続プロファイル「%1」を読み込みました").arg(name));
    if (!problem.isEmpty())
        FHooks.Box(QMessageBox::Warning, QStringLiteral("接続プロファイル"), problem);
    emit NameChanged(name);
}

void TProfileBar::Delete()
{
    if (!FStore)
        return;
    const QString name = FName->currentText().trimmed();
    if (!FStore->ProfileNames().contains(name)) {
        FHooks.Note(QStringLiteral("接続プロファイル「%1」はありません").arg(name));
        return;
    }
    QString error;
    if (!FStore->DeleteProfile(name, error)) {
        FHooks.Box(QMessageBox::Warning, QStringLiteral("接続プロファイル"), error);
        return;
    }
    Refresh(QString());
    FHooks.Note(QStringLiteral("接続プロファイル「%1」を削除しました").arg(name));
    emit NameChanged(QString());
}
