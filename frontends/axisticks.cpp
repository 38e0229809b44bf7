#include "axisticks.h"

#include "timing.h"

#include <QCategoryAxis>
#include <QLocale>

#include <algorithm>
#include <cmath>

namespace {

// The decimals a step of 1, 2 or 5 times 10^k needs: -k below 1.
int decimalsOf(double step)
{
    return std::max(0, int(-std::floor(std::log10(step) + 1e-9)));
}

// The multiples of step from `from` to `to`, a hair of a step either way
// forgiven, so that an end that is one is not lost to rounding.
template<typename Text>
QVector<AxisTick> multiples(double from, double to, double step, Text text)
{
    QVector<AxisTick> ticks;
    if (!(step > 0) || !(to >= from))
        return ticks;
    for (auto tick = qint64(std::ceil(from / step - 1e-9)); tick * step <= to + step * 1e-9; ++tick) {
        const double at = tick * step;
        ticks.append({at, text(at)});
    }
    return ticks;
}

} // namespace

double niceStep(double raw)
{
    if (!(raw > 0))
        return 1;
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    for (double times : {1, 2, 5})
        if (times * power >= raw * (1 - 1e-9))
            return times * power;
    return 10 * power;
}

QVector<AxisTick> valueTicks(double from, double to, int most)
{
    const double step = niceStep((to - from) / std::max(1, most));
    const int decimals = decimalsOf(step);
    QLocale french(QLocale::French);
    french.setNumberOptions(QLocale::OmitGroupSeparator);
    return multiples(from, to, step, [&](double at) { return french.toString(at, 'f', decimals); });
}

void setAxisTicks(QtCharts::QCategoryAxis *axis, const QVector<AxisTick> &ticks)
{
    axis->setLabelsPosition(QtCharts::QCategoryAxis::AxisLabelsPositionOnValue);
    for (const QString &label : axis->categoriesLabels())
        axis->remove(label);
    if (ticks.isEmpty())
        return;
    // The first label's category starts a step before it, out of sight.
    const double step = ticks.size() > 1 ? ticks[1].value - ticks[0].value : 1;
    axis->setStartValue(ticks[0].value - step);
    for (const AxisTick &tick : ticks)
        axis->append(tick.text, tick.value);
}

QVector<AxisTick> timeTicks(double from, double to, int most)
{
    if (to < clockFromSeconds)
        return valueTicks(from, to, most);
    const double raw = (to - from) / std::max(1, most);
    double step = niceStep(raw);
    if (raw > 1) {
        // 1, 2, 5, 10, 20 and 30 of seconds and of minutes, then hours by 1-2-5.
        constexpr double hour = 3600;
        step = hour * niceStep(std::max(1.0, raw / hour));
        for (double unit : {1.0, 60.0})
            for (double times : {1, 2, 5, 10, 20, 30})
                if (times * unit >= raw && times * unit < step)
                    step = times * unit;
    }
    const int decimals = decimalsOf(step);
    return multiples(from, to, step, [&](double at) { return clockText(at, decimals); });
}
