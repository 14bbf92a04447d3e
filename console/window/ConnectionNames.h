#pragma once

#include <QObject>
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
