#pragma once

#include "console/window/MessagesModel.h"

#include <QWidget>

#include <vector>

class QLabel;
class QChart;
class QChartView;

// The numbers in a topic's payloads drawn over time: a plain number ("21.5")
// as one line, the numbers of a JSON payload one line per member path
// ("temp", "a.b"). Made from the messages the view holds for the topic.
class TPayloadChart : public QWidget {
    Q_OBJECT

public:
    static constexpr int MaxPoints = 5000;   // the newest, per topic

    explicit TPayloadChart(QWidget* parent = nullptr);

    // Draws the topic from the rows (oldest first); false when no payload holds a number.
    bool Show(const QString& topic, const std::vector<const TMessageRow*>& rows);
    const QString& Topic() const { return FTopic; }
    // The lines drawn: their names and point counts.
    QStringList SeriesNames() const;
    int PointCount(const QString& series) const;
    QChart* Chart() const { return FChart; }

private:
    QString FTopic;
    QChart* FChart;
    QChartView* FView;
    QLabel* FNote;
};
