#pragma once

#include <QComboBox>
#include <QObject>
#include <QSignalBlocker>
#include <QString>
#include <QVector>

#include <utility>

// The names of the window's connections by number, in the list's order, for
// the views' connection column and boxes.
class TConnectionNames : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;

    QString Of(int connection) const
    {
        for (const auto& [id, name] : FNames)
            if (id == connection)
                return name;
        return {};
    }
    const QVector<std::pair<int, QString>>& All() const { return FNames; }
    // Refills a view's connection box after its first item ("all"), keeping
    // the chosen connection where it still exists; false when it is gone and
    // the box has gone back to all. The box shows only with several connections.
    bool FillBox(QComboBox* box) const
    {
        const int chosen = box->currentData().toInt();
        const QSignalBlocker block(box);
        while (box->count() > 1)
            box->removeItem(1);
        for (const auto& [id, name] : FNames)
            box->addItem(name, id);
        const int at = box->findData(chosen);
        box->setCurrentIndex(at < 0 ? 0 : at);
        box->setVisible(Several());
        return at >= 0;
    }
    bool Several() const { return FNames.size() > 1; }
    void Set(QVector<std::pair<int, QString>> names)
    {
        if (names == FNames)
            return;
        FNames = std::move(names);
        emit Changed();
    }

signals:
    void Changed();

private:
    QVector<std::pair<int, QString>> FNames;
};
