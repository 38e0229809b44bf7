#include "liveview.h"

#include "axisticks.h"

#include <QLocale>
#include <QPainter>
#include <QPushButton>

#include <algorithm>
#include <cmath>

#include <time.h>

namespace {

constexpr double shownSeconds = 5.0;
constexpr int refreshMs = 40;
// About a volts label per this many pixels of the plot's height.
constexpr int pixelsPerVoltsLabel = 50;
// The simulator's window: its form's size at the top left of the screen's
// available area, or that whole area when it is smaller.
constexpr QSize simulatorSize(1303, 666);
constexpr QSize viewSize(900, 666);
// The narrowest view still read beside it.
constexpr int leastWidth = 480;
// Folded, over a corner that the simulator's window leaves empty.
constexpr QRect tab(8, 8, 210, 48);
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

// Dense points share pixel columns: each column keeps its first and last
// point and, between them in their order, its lowest and highest, all at the
// column's left, which draw the same pixels as all of them without a jog
// where an edge would cross into the next column.
QVector<QPointF> columnsOf(const QVector<QPointF> &pixels)
{
    QVector<QPointF> kept;
    for (int begin = 0; begin < pixels.size();) {
        int end = begin;
        int lowest = begin;
        int highest = begin;
        for (; end < pixels.size() && int(pixels[end].x()) == int(pixels[begin].x()); ++end) {
            if (pixels[end].y() > pixels[lowest].y())
                lowest = end;
            if (pixels[end].y() < pixels[highest].y())
                highest = end;
        }
        int order[] = {begin, std::min(lowest, highest), std::max(lowest, highest), end - 1};
        for (int i = 0; i < 4; ++i)
            if (i == 0 || order[i] != order[i - 1])
                kept.append(QPointF(int(pixels[begin].x()), pixels[order[i]].y()));
        begin = end;
    }
    return kept;
}

} // namespace

LiveView::LiveView(const QString &capturePath, QWidget *parent)
    : QWidget(parent), tail(capturePath)
{
    setWindowTitle("DAC virtuel");
    connect(&timer, &QTimer::timeout, this, &LiveView::readNewFrames);
    timer.start(refreshMs);
}

void LiveView::place(const QRect &available)
{
    const int room = available.width() - simulatorSize.width();
    if (room >= leastWidth) {
        setPlace(QRect(available.left() + simulatorSize.width(), available.top(), std::min(room, viewSize.width()),
                       std::min(available.height(), viewSize.height())));
        return;
    }
    openGeometry = QRect(available.topLeft(), simulatorSize.boundedTo(available.size()));
    tabGeometry = tab.translated(available.topLeft());
    setWindowFlag(Qt::WindowStaysOnTopHint);
    foldButton = new QPushButton(this);
    connect(foldButton, &QPushButton::clicked, this, [this] { fold(!folded); });
    fold(true);
}

void LiveView::fold(bool folded)
{
    this->folded = folded;
    foldButton->setText(folded ? "DAC virtuel : voir la sortie" : "Retour au simulateur");
    setPlace(folded ? tabGeometry : openGeometry);
    // Without a window manager, the window mapped last is on top: the simulator's.
    raise();
}

// Its frame, if the window manager gives it one, at the place's top left.
void LiveView::setPlace(const QRect &place)
{
    resize(place.size());
    move(place.topLeft());
}

void LiveView::resizeEvent(QResizeEvent *)
{
    if (!foldButton)
        return;
    const QSize button = foldButton->sizeHint().expandedTo(QSize(0, tab.height() - 8));
    foldButton->setGeometry(folded ? rect() : QRect(QPoint(width() - button.width() - 8, 4), button));
}

void LiveView::readNewFrames()
{
    const QVector<CaptureLine> lines = tail.read();
    if (tail.restarted()) {
        points.clear();
        firstFrameNs = -1;
    }
    // A run's first frame opens the view over the simulator.
    if (foldButton && folded && firstFrameNs < 0 && !lines.isEmpty())
        fold(false);
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
    if (folded)
        return;
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

    for (const AxisTick &second : valueTicks(from, from + shownSeconds, int(shownSeconds))) {
        const double x = toPixel(second.value, low).x();
        painter.setPen(gridColour);
        painter.drawLine(QPointF(x, plot.top()), QPointF(x, plot.bottom()));
        painter.setPen(labelColour);
        painter.drawText(QRectF(x - 30, plot.bottom() + 4, 60, 20), Qt::AlignCenter, second.text);
    }
    for (const AxisTick &volts : valueTicks(low, high, std::max(2, int(plot.height()) / pixelsPerVoltsLabel))) {
        const double y = toPixel(from, volts.value).y();
        painter.setPen(gridColour);
        painter.drawLine(QPointF(plot.left(), y), QPointF(plot.right(), y));
        painter.setPen(labelColour);
        painter.drawText(QRectF(0, y - 10, plot.left() - 6, 20), Qt::AlignRight | Qt::AlignVCenter, volts.text);
    }
    painter.setPen(Qt::black);
    painter.drawRect(plot);

    // The output holds each frame's level until the next: upright edges.
    QVector<QPointF> pixels;
    pixels.reserve(2 * points.size() + 1);
    for (int i = 0; i < points.size(); ++i) {
        if (i > 0)
            pixels.append(toPixel(points[i].x(), points[i - 1].y()));
        pixels.append(toPixel(points[i].x(), points[i].y()));
    }
    // The output is known until the capture was cut, if it was.
    const double cutSeconds = (tail.cutAtNs() - firstFrameNs) / 1e9;
    pixels.append(toPixel(cut ? cutSeconds : now, points.last().y()));
    const QVector<QPointF> trace = columnsOf(pixels);
    painter.setClipRect(plot);
    painter.setPen(QPen(traceColour, 1));
    painter.drawPolyline(trace.constData(), trace.size());
    if (cut) {
        painter.setPen(cutColour);
        const double x = toPixel(cutSeconds, low).x();
        painter.drawLine(QPointF(x, plot.top()), QPointF(x, plot.bottom()));
        painter.drawText(plot.adjusted(6, 4, -6, -4), Qt::AlignLeft | Qt::AlignTop,
                         QString("Capture coupée à %1 s : taille limite atteinte (VIRTUALDAC_CAPTURE_LIMIT)")
                             .arg(QLocale(QLocale::French).toString(cutSeconds, 'f', 3)));
    }
}
