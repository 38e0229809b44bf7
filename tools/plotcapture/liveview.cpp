#include "liveview.h"

#include <QPainter>

#include <algorithm>
#include <cmath>

#include <time.h>

namespace {

constexpr double shownSeconds = 5.0;
constexpr int refreshMs = 40;
constexpr int voltsDivisions = 5;
const QColor traceColour(0x1f, 0x77, 0xb4);
const QColor gridColour(0xdd, 0xdd, 0xdd);
const QColor labelColour(0x44, 0x44, 0x44);
const QColor cutColour(0xd6, 0x27, 0x28);

// The virtual DAC stamps its frames with this clock, on the same machine.
double monotonicSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec + now.tv_nsec / 1e9;
}

} // namespace

LiveView::LiveView(const QString &capturePath, QWidget *parent)
    : QWidget(parent), tail(capturePath)
{
    setWindowTitle("DAC virtuel");
    connect(&timer, &QTimer::timeout, this, &LiveView::readNewFrames);
    timer.start(refreshMs);
}

void LiveView::readNewFrames()
{
    const QVector<CaptureLine> lines = tail.read();
    if (tail.restarted()) {
        points.clear();
        firstFrameNs = -1;
    }
    for (const CaptureLine &line : lines) {
        if (firstFrameNs < 0) {
            firstFrameNs = line.timeNs;
            lowestVolts = highestVolts = line.volts;
        }
        points.append(QPointF((line.timeNs - firstFrameNs) / 1e9, line.volts));
        // The scale only widens, so that the trace stands still on the screen.
        lowestVolts = std::min(lowestVolts, line.volts);
        highestVolts = std::max(highestVolts, line.volts);
    }
    update();
}

void LiveView::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.fillRect(rect(), Qt::white);
    painter.drawText(QRect(0, 8, width(), 24), Qt::AlignCenter, "DAC8551 virtuel : sortie en direct");
    const QRectF plot = QRectF(rect()).adjusted(80, 40, -24, -56);
    painter.setPen(Qt::black);
    painter.drawText(QRectF(plot.left(), plot.bottom() + 26, plot.width(), 24), Qt::AlignCenter, "temps (s)");
    painter.save();
    painter.translate(16, plot.center().y());
    painter.rotate(-90);
    painter.drawText(QRectF(-plot.height() / 2, 0, plot.height(), 20), Qt::AlignCenter, "tension (V)");
    painter.restore();
    const bool cut = tail.cutAtNs() >= 0;
    if (points.isEmpty()) {
        painter.drawText(plot, Qt::AlignCenter,
                         cut ? "Capture coupée avant la première trame" : "En attente de trames…");
        return;
    }

    const double now = std::max(points.last().x(), monotonicSeconds() - firstFrameNs / 1e9);
    const double from = std::max(0.0, now - shownSeconds);
    // One point before the span, so that the trace starts at its left edge.
    const auto firstShown = std::lower_bound(points.begin(), points.end(), from,
                                             [](const QPointF &point, double x) { return point.x() < x; });
    points.erase(points.begin(), firstShown == points.begin() ? firstShown : firstShown - 1);
    const double margin = std::max(0.05 * (highestVolts - lowestVolts), 0.001);
    const double low = lowestVolts - margin;
    const double high = highestVolts + margin;
    const auto toPixel = [&](double seconds, double volts) {
        return QPointF(plot.left() + (seconds - from) / shownSeconds * plot.width(),
                       plot.bottom() - (volts - low) / (high - low) * plot.height());
    };

    for (double second = std::ceil(from); second <= from + shownSeconds; ++second) {
        const double x = toPixel(second, low).x();
        painter.setPen(gridColour);
        painter.drawLine(QPointF(x, plot.top()), QPointF(x, plot.bottom()));
        painter.setPen(labelColour);
        painter.drawText(QRectF(x - 30, plot.bottom() + 4, 60, 20), Qt::AlignCenter, QString::number(second));
    }
    for (int division = 0; division <= voltsDivisions; ++division) {
        const double volts = low + (high - low) * division / voltsDivisions;
        const double y = toPixel(from, volts).y();
        painter.setPen(gridColour);
        painter.drawLine(QPointF(plot.left(), y), QPointF(plot.right(), y));
        painter.setPen(labelColour);
        painter.drawText(QRectF(0, y - 10, plot.left() - 6, 20), Qt::AlignRight | Qt::AlignVCenter,
                         QString::number(volts, 'f', 4));
    }
    painter.setPen(Qt::black);
    painter.drawRect(plot);

    // Dense frames share pixel columns: each column keeps its lowest and
    // highest point, in their order, which draws the same trace.
    QVector<QPointF> trace;
    for (const QPointF &point : points) {
        const QPointF pixel = toPixel(point.x(), point.y());
        if (trace.size() >= 2 && int(trace.last().x()) == int(pixel.x())
            && int(trace[trace.size() - 2].x()) == int(pixel.x())) {
            QPointF &lowest = trace.last().y() > trace[trace.size() - 2].y() ? trace.last() : trace[trace.size() - 2];
            QPointF &highest = &lowest == &trace.last() ? trace[trace.size() - 2] : trace.last();
            lowest.setY(std::max(lowest.y(), pixel.y()));
            highest.setY(std::min(highest.y(), pixel.y()));
        } else {
            trace.append(pixel);
        }
    }
    // The output is known until the capture was cut, if it was.
    const double cutSeconds = (tail.cutAtNs() - firstFrameNs) / 1e9;
    trace.append(toPixel(cut ? cutSeconds : now, points.last().y()));
    painter.setClipRect(plot);
    painter.setPen(QPen(traceColour, 1));
    painter.drawPolyline(trace.constData(), trace.size());
    if (cut) {
        painter.setPen(cutColour);
        const double x = toPixel(cutSeconds, low).x();
        painter.drawLine(QPointF(x, plot.top()), QPointF(x, plot.bottom()));
        painter.drawText(plot.adjusted(6, 4, -6, -4), Qt::AlignLeft | Qt::AlignTop,
                         QString("Capture coupée à %1 s : taille limite atteinte (VIRTUALDAC_CAPTURE_LIMIT)")
                             .arg(cutSeconds, 0, 'f', 3));
    }
}
