#include "timing.h"

#include <QLocale>

#include <cmath>

QString clockText(double seconds, int decimals)
{
    const double scale = std::pow(10.0, decimals);
    // A hair over, so that 12.5 s is not 12.4999... and shown as 12,4.
    const qint64 units = qint64(std::floor(std::max(seconds, 0.0) * scale + 1e-6));
    const qint64 whole = units / qint64(scale);
    QString text = QString("%1:%2:%3")
                       .arg(whole / 3600)
                       .arg(whole / 60 % 60, 2, 10, QChar('0'))
                       .arg(whole % 60, 2, 10, QChar('0'));
    if (decimals > 0)
        text += QLocale(QLocale::French).decimalPoint()
                + QString("%1").arg(units % qint64(scale), decimals, 10, QChar('0'));
    return text;
}
