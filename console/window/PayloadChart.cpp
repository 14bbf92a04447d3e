#include "console/window/PayloadChart.h"

#include "console/window/PayloadFormat.h"

#include <QChart>
#include <QChartView>
#include <QDateTime>
#include <QDateTimeAxis>
#include <QLabel>
#include <QLineSeries>
#include <QValueAxis>
#include <QVBoxLayout>

#include <algorithm>
#include <map>

namespace {

QDateTime ToDateTime(const TLocalDateTime& t)
{
    return QDateTime(QDate(t.Year, t.Month, t.Day), QTime(t.Hour, t.Minute, t.Second, t.Millisecond));
}

}  // namespace

TPayloadChart::TPayloadChart(QWidget* parent) : QWidget(parent)
{
    setObjectName("PayloadChart");
    FChart = new QChart;
    FChart->legend()->setAlignment(Qt::AlignBottom);
    FChart->setMargins(QMargins(4, 4, 4, 4));
    FView = new QChartView(FChart, this);
    FView->setObjectName("PayloadChartView");
    FView->setAccessibleName(QStringLiteral("ペイロードの数値のグラフ"));
    FView->setRenderHint(QPainter::Antialiasing);
    // Its own small minimum: the chart's hint would widen the window.
    FView->setMinimumSize(fontMetrics().averageCharWidth() * 30, fontMetrics().height() * 8);
    FNote = new QLabel(this);
    FNote->setObjectName("PayloadChartNote");
    FNote->setEnabled(false);
    FNote->setWordWrap(true);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(FNote);
    layout->addWidget(FView, 1);
}

bool TPayloadChart::Show(const QString& topic, const std::vector<const TMessageRow*>& rows)
{
    FTopic = topic;
    FChart->removeAllSeries();
    for (QAbstractAxis* axis : FChart->axes())
        FChart->removeAxis(axis);
    std::map<QString, QLineSeries*> lines;
    std::vector<QLineSeries*> order;
    double low = 0, high = 0;
    bool any = false;
    const std::size_t first = rows.size() > MaxPoints ? rows.size() - MaxPoints : 0;
    for (std::size_t i = first; i < rows.size(); ++i) {
        const TMessageRow& row = *rows[i];
        const auto numbers = PayloadFormat::Numbers(row.Head);
        const qreal x = static_cast<qreal>(ToDateTime(row.Message.Time).toMSecsSinceEpoch());
        for (const auto& [path, value] : numbers) {
            QLineSeries*& line = lines[path];
            if (!line) {
                line = new QLineSeries;
                line->setName(path.isEmpty() ? topic : path);
                line->setPointsVisible(true);
                order.push_back(line);
            }
            line->append(x, value);
            low = any ? std::min(low, value) : value;
            high = any ? std::max(high, value) : value;
            any = true;
        }
    }
    FChart->setTitle(QString());
    if (!any) {
        FNote->setText(QStringLiteral("%1 のペイロードに数値がありません").arg(topic));
        return false;
    }
    QFont small = font();
    small.setPointSizeF(small.pointSizeF() * 0.8);
    auto* time = new QDateTimeAxis;
    time->setFormat(QStringLiteral("HH:mm:ss"));
    time->setTickCount(4);
    time->setLabelsFont(small);
    auto* values = new QValueAxis;
    values->setTickCount(5);
    values->setLabelsFont(small);
    const double pad = high > low ? (high - low) * 0.05 : 1.0;
    values->setRange(low - pad, high + pad);
    FChart->addAxis(time, Qt::AlignBottom);
    FChart->addAxis(values, Qt::AlignLeft);
    qreal firstX = 0, lastX = 0;
    bool spanned = false;
    for (QLineSeries* line : order) {
        FChart->addSeries(line);
        line->attachAxis(time);
        line->attachAxis(values);
        const QPointF a = line->at(0), b = line->at(line->count() - 1);
        firstX = spanned ? std::min(firstX, a.x()) : a.x();
        lastX = spanned ? std::max(lastX, b.x()) : b.x();
        spanned = true;
    }
    // A single instant still gets a second of room.
    if (lastX - firstX < 1000)
        lastX = firstX + 1000;
    time->setRange(QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(firstX)),
                   QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(lastX)));
    FChart->legend()->setVisible(order.size() > 1);
    FNote->setText(QStringLiteral("%1: 最新 %2 件までの数値").arg(topic).arg(MaxPoints));
    return true;
}

QStringList TPayloadChart::SeriesNames() const
{
    QStringList names;
    for (QAbstractSeries* series : FChart->series())
        names << series->name();
    return names;
}

int TPayloadChart::PointCount(const QString& series) const
{
    for (QAbstractSeries* s : FChart->series())
        if (s->name() == series)
            return static_cast<int>(static_cast<QLineSeries*>(s)->count());
    return 0;
}
