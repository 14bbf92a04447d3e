#pragma once

#include <QWidget>

class QListWidget;
class QPushButton;
class TConsoleConnection;

// The window's connections, one row each: its name (profile or ClientID) and
// its state at a glance (opened or not, MQTT session, TLS), with buttons that
// add a connection and close the chosen one.
class TConnectionList : public QWidget {
    Q_OBJECT

public:
    explicit TConnectionList(QWidget* parent = nullptr);

    // The rows as the connections are now (names, states), the chosen one marked.
    void Show(const std::vector<const TConsoleConnection*>& connections, int current);
    QListWidget* List() const { return FList; }
    QPushButton* AddButton() const { return FAdd; }
    QPushButton* RemoveButton() const { return FRemove; }
    // "● 接続中 · セッション · TLS": what a row says of its connection.
    static QString StateText(const TConsoleConnection& connection);

signals:
    void Chosen(int index);
    void AddClicked();
    void RemoveClicked();

private:
    QListWidget* FList;
    QPushButton* FAdd;
    QPushButton* FRemove;
};
