#ifndef AXISTICKS_H
#define AXISTICKS_H

#include <QString>
#include <QVector>

namespace QtCharts {
class QCategoryAxis;
}

// A graduation of a chart's axis: where, and its text.
struct AxisTick
{
    double value;
    QString text;
};

// From this time on, a time axis reads h:mm:ss rather than seconds.
constexpr double clockFromSeconds = 60;

// The first of 1, 2 or 5 times a power of ten that is at least raw (> 0).
double niceStep(double raw);
// The ticks from `from` to `to` (both included) on the multiples of
// niceStep((to - from) / most), at most most + 1 of them, each text with the
// decimals its step needs and the French comma: "-0,5", "0,0", "0,5".
QVector<AxisTick> valueTicks(double from, double to, int most);
// The same for seconds, in seconds ("12,5") up to to < clockFromSeconds, else
// in h:mm:ss ("0:01:30") on steps of 1, 2 or 5 of its unit: seconds (10, 20
// and 30 too), minutes (the same), then hours; below a second, "0:01:30,5".
QVector<AxisTick> timeTicks(double from, double to, int most);
// The axis labelled with ticks alone, each drawn at its value with a grid line.
void setAxisTicks(QtCharts::QCategoryAxis *axis, const QVector<AxisTick> &ticks);

#endif // AXISTICKS_H
