#include "waveformview.h"

#include "axisticks.h"
#include "envelope.h"
#include "pacing.h"

#include <QApplication>
#include <QCategoryAxis>
#include <QChartView>
#include <QGestureEvent>
#include <QGraphicsSimpleTextItem>
#include <QHBoxLayout>
#include <QLineSeries>
#include <QMouseEvent>
#include <QNativeGestureEvent>
#include <QPinchGesture>
#include <QPushButton>
#include <QScatterSeries>
#include <QValueAxis>
#include <QVBoxLayout>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>

using namespace QtCharts;

namespace {

// A finger's width.
constexpr int touchHeight = 48;
// About one time label per this many pixels, one value label per that many.
constexpr int pixelsPerTimeLabel = 110;
constexpr int pixelsPerValueLabel = 25;
// The least room between two annotations' labels.
constexpr double labelGap = 3;
// A beat's label stands above the highest point of the trace this close to it.
constexpr double beatLabelReachSeconds = 0.05;

// The first annotation at or after sample, in the sorted range from begin to end.
QVector<Annotation>::const_iterator firstFrom(QVector<Annotation>::const_iterator begin,
                                              QVector<Annotation>::const_iterator end, qint64 sample)
{
    return std::lower_bound(begin, end, sample,
                            [](const Annotation &annotation, qint64 at) { return annotation.sample < at; });
}

// The trace as the DAC puts the points out: each sample held until the next,
// so that an edge stands upright; an envelope's bucket (two points at one
// time) from the end nearer the point before, so that the trace does not
// fold back at an edge.
QVector<QPointF> traced(const QVector<QPointF> &points, bool buckets)
{
    QVector<QPointF> trace;
    trace.reserve(2 * points.size());
    if (buckets) {
        for (int i = 0; i + 1 < points.size(); i += 2) {
            const double before = trace.isEmpty() ? points[i].y() : trace.last().y();
            const bool down = std::abs(points[i + 1].y() - before) < std::abs(points[i].y() - before);
            trace << points[down ? i + 1 : i] << points[down ? i : i + 1];
        }
        return trace;
    }
    for (int i = 0; i < points.size(); ++i) {
        if (i > 0)
            trace << QPointF(points[i].x(), points[i - 1].y());
        trace << points[i];
    }
    return trace;
}

// Which labels stay when they crowd: the rhythms' and notes' first, then the
// beats but the normal ones, then the normal beats.
int labelRank(const Annotation &annotation)
{
    if (!annotation.isBeat)
        return 0;
    return annotation.label == 'N' ? 2 : 1;
}

} // namespace

WaveformView::WaveformView(QWidget *parent)
    : QWidget(parent), series(new QLineSeries), playheadLine(new QLineSeries),
      beatTicks(new QScatterSeries), timeAxis(new QCategoryAxis), valueAxis(new QCategoryAxis)
{
    series->setObjectName("signal");
    playheadLine->setObjectName("playhead");
    playheadLine->setPen(QPen(Qt::red, 2));
    beatTicks->setObjectName("beats");
    beatTicks->setMarkerShape(QScatterSeries::MarkerShapeRectangle);
    beatTicks->setMarkerSize(4);
    beatTicks->setPen(Qt::NoPen);
    beatTicks->setBrush(Qt::darkBlue);

    auto *chart = new QChart;
    chart->legend()->hide();
    chart->setMargins(QMargins(4, 4, 4, 4));
    chart->addSeries(series);
    chart->addSeries(playheadLine);
    chart->addSeries(beatTicks);
    chart->addAxis(timeAxis, Qt::AlignBottom);
    chart->addAxis(valueAxis, Qt::AlignLeft);
    for (QXYSeries *line : std::initializer_list<QXYSeries *>{series, playheadLine, beatTicks}) {
        line->attachAxis(timeAxis);
        line->attachAxis(valueAxis);
    }
    // The theme's colour in a one-pixel pen: a day's envelope strokes in a
    // fraction of the time of the theme's two-pixel one.
    QPen pen = series->pen();
    pen.setWidth(1);
    series->setPen(pen);
    // Made with its chart: a view made without one makes its own, which
    // setChart would give up without deleting.
    chartView = new QChartView(chart);
    // A redraw changes most of the view: painted whole, the lines are clipped
    // to one rectangle rather than to the many that the changed items make.
    chartView->setViewportUpdateMode(QGraphicsView::FullViewportUpdate);
    // The bucket count follows the plot's width, the value labels its
    // height; the annotations' labels, its place.
    connect(chart, &QChart::plotAreaChanged, this, [this](const QRectF &plot) {
        updateValueAxis();
        if (int(plot.width()) != drawnWidth)
            redraw();
        else
            updateAnnotations();
    });

    QWidget *viewport = chartView->viewport();
    viewport->installEventFilter(this);
    viewport->setAttribute(Qt::WA_AcceptTouchEvents);
    viewport->grabGesture(Qt::PinchGesture);

    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    const QList<QPair<QString, double>> spans{{"10 s", 10}, {"1 min", 60}, {"10 min", 600}, {"1 h", 3600}, {"Tout", 0}};
    for (const auto &span : spans) {
        auto *button = new QPushButton(span.first);
        button->setMinimumSize(2 * touchHeight, touchHeight);
        connect(button, &QPushButton::clicked, this, [this, seconds = span.second] { showSpan(seconds); });
        buttons->addWidget(button);
        spanButtons.append({button, span.second});
    }
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addLayout(buttons);
    layout->addWidget(chartView, 1);
    clear();
}

void WaveformView::setSignal(std::shared_ptr<const Envelope> envelope, double rate)
{
    if (!envelope) {
        clear();
        return;
    }
    this->envelope = std::move(envelope);
    annotations.reset();
    this->rate = rate > 0 ? rate : classicSamplesPerSecond;
    valueAxis->setTitleText(this->envelope->list().isRecord() ? "mV" : "Code");
    // The whole signal's least and greatest: the scale stays as the view scrolls.
    const QVector<QPointF> extremes = this->envelope->points(0, samples() - 1, 1);
    double least = 0;
    double greatest = 0;
    for (int i = 0; i < extremes.size(); ++i) {
        const double y = value(extremes[i].y());
        least = i == 0 ? y : std::min(least, y);
        greatest = i == 0 ? y : std::max(greatest, y);
    }
    const double margin = greatest > least ? (greatest - least) / 20 : 1;
    traceRange = {least - margin, greatest + margin};
    labelledHeight = -1;
    updateValueAxis();
    first = 0;
    last = samples() - 1;
    redraw();
    updateButtons();
}

void WaveformView::clear()
{
    envelope.reset();
    annotations.reset();
    first = 0;
    last = -1;
    valueAxis->setTitleText(QString());
    labelledHeight = -1;
    updateValueAxis();
    redraw();
    updateButtons();
}

void WaveformView::setAnnotations(std::shared_ptr<const QVector<Annotation>> annotations)
{
    this->annotations = std::move(annotations);
    labelledHeight = -1;
    updateValueAxis();
    updateAnnotations();
}

QPair<qint64, qint64> WaveformView::visibleRange() const
{
    return {first, last};
}

void WaveformView::setVisibleRange(qint64 first, qint64 last)
{
    const qint64 total = samples();
    if (total == 0)
        return;
    const qint64 span = qBound(std::min(minSpan, total), last - first + 1, total);
    this->first = qBound<qint64>(0, first, total - span);
    this->last = this->first + span - 1;
    redraw();
}

void WaveformView::setPlayhead(qint64 sample)
{
    const bool wasInView = playhead >= first && playhead <= last;
    playhead = sample;
    // The view pages on with the playhead, unless the operator looks elsewhere.
    if (wasInView && sample >= 0 && (sample < first || sample > last) && !pressedAt)
        setVisibleRange(sample, sample + last - first);
    else
        updatePlayhead();
}

// Around the playhead when it is in view, else around the middle.
void WaveformView::showSpan(double seconds)
{
    const qint64 span = seconds > 0 ? std::llround(seconds * rate) : samples();
    const qint64 anchor = playhead >= first && playhead <= last ? playhead : (first + last) / 2;
    setVisibleRange(anchor - span / 2, anchor - span / 2 + span - 1);
}

void WaveformView::zoom(double factor, double x)
{
    const QRectF plot = chartView->chart()->plotArea();
    const QPointF inChart = chartView->chart()->mapFromScene(chartView->mapToScene(QPoint(int(x), 0)));
    const double fraction = plot.width() > 0 ? qBound(0.0, (inChart.x() - plot.left()) / plot.width(), 1.0) : 0.5;
    const qint64 span = last - first + 1;
    const double anchor = first + fraction * span;
    const qint64 zoomed = std::max<qint64>(1, std::llround(span * factor));
    const qint64 zoomedFirst = std::llround(anchor - fraction * zoomed);
    setVisibleRange(zoomedFirst, zoomedFirst + zoomed - 1);
}

void WaveformView::redraw()
{
    drawnWidth = int(chartView->chart()->plotArea().width());
    if (!envelope || last < first) {
        series->clear();
        setAxisTicks(timeAxis, {});
        timeAxis->setTitleText(QString());
        updatePlayhead();
        updateAnnotations();
        return;
    }
    const qint64 span = last - first + 1;
    const int buckets = span <= maxPlainSamples ? int((span + 1) / 2) : std::max(1, drawnWidth);
    QVector<QPointF> points = envelope->points(first, last, buckets);
    for (QPointF &point : points)
        point = QPointF(point.x() / rate, value(point.y()));
    series->replace(traced(points, span > 2 * qint64(buckets)));
    timeAxis->setRange(first / rate, std::max(last, first + 1) / rate);
    updateTimeAxis();
    updatePlayhead();
    updateAnnotations();
}

// Labels on round times: seconds within the first minute, h:mm:ss beyond.
void WaveformView::updateTimeAxis()
{
    // A signal of one sample still spans a sample's time.
    const double from = first / rate;
    const double to = std::max(last, first + 1) / rate;
    timeAxis->setTitleText(to >= clockFromSeconds ? "Temps (h:mm:ss)" : "Temps (s)");
    setAxisTicks(timeAxis, timeTicks(from, to, std::max(2, drawnWidth / pixelsPerTimeLabel)));
}

// Labels on round values, as many as the plot's height has room for; above
// the trace, room for the annotations' two rows of labels unless that takes
// more than a third of the plot. Relabelled only when the height changes, so
// that the labels' new widths do not lay the chart out again and again.
void WaveformView::updateValueAxis()
{
    const int height = envelope ? int(chartView->chart()->plotArea().height()) : 0;
    if (height == labelledHeight)
        return;
    labelledHeight = height;
    if (!envelope) {
        setAxisTicks(valueAxis, {});
        return;
    }
    auto [low, high] = traceRange;
    const int room = annotations && !annotations->isEmpty() ? 2 * fontMetrics().height() + 4 : 0;
    if (room > 0 && 3 * room <= height)
        high += (high - low) * room / (height - room);
    valueAxis->setRange(low, high);
    setAxisTicks(valueAxis, valueTicks(low, high, std::max(2, height / pixelsPerValueLabel)));
}

void WaveformView::updatePlayhead()
{
    playheadLine->setVisible(envelope && playhead >= 0);
    if (!playheadLine->isVisible())
        return;
    const double x = playhead / rate;
    playheadLine->replace(QVector<QPointF>{QPointF(x, valueAxis->min()), QPointF(x, valueAxis->max())});
}

// Only the annotations in view, found by binary search: labels on a short
// span, as many as fit without overlapping, else a tick per pixel column that
// has a beat.
void WaveformView::updateAnnotations()
{
    QChart *chart = chartView->chart();
    QVector<QPointF> ticks;
    int shown = 0;
    if (envelope && annotations && last >= first) {
        const auto begin = firstFrom(annotations->cbegin(), annotations->cend(), first);
        const auto end = firstFrom(begin, annotations->cend(), last + 1);
        const qint64 span = last - first + 1;
        const QRectF plot = chart->plotArea();
        if (span <= maxLabelledSeconds * rate && end - begin <= maxLabels) {
            const qint64 reach = std::llround(beatLabelReachSeconds * rate);
            // Those that stay when labels crowd first, each kind in sample order.
            QVector<QVector<Annotation>::const_iterator> order;
            for (auto annotation = begin; annotation != end; ++annotation)
                order.append(annotation);
            std::stable_sort(order.begin(), order.end(),
                             [](auto a, auto b) { return labelRank(*a) < labelRank(*b); });
            QVector<QRectF> taken;
            for (const auto &annotation : order) {
                if (shown == annotationLabels.size()) {
                    annotationLabels.append(new QGraphicsSimpleTextItem(chart));
                    // Over the chart's own items: the trace, the playhead.
                    annotationLabels.last()->setZValue(100);
                }
                // Kept for the next label if this one does not fit.
                QGraphicsSimpleTextItem *label = annotationLabels[shown];
                const bool beat = annotation->isBeat;
                label->setText(beat || annotation->aux.isEmpty() ? QString(QChar(annotation->label)) : annotation->aux);
                label->setBrush(beat ? palette().text() : QBrush(Qt::darkBlue));
                const QSizeF size = label->boundingRect().size();
                // A beat's label above its trace, below the row of the others.
                double top = plot.top();
                if (beat) {
                    double highest = valueAxis->min();
                    const qint64 at = annotation->sample;
                    for (const QPointF &point : envelope->points(at - reach, at + reach, 1))
                        highest = std::max(highest, value(point.y()));
                    const QPointF above = chart->mapToPosition(QPointF(0, highest), series);
                    top = std::max(plot.top() + size.height(), above.y() - size.height() - 2);
                }
                const double x = chart->mapToPosition(QPointF(annotation->sample / rate, 0), series).x();
                const QRectF box(QPointF(x - size.width() / 2, top), size);
                const QRectF room = box.adjusted(-labelGap, 0, labelGap, 0);
                if (std::any_of(taken.cbegin(), taken.cend(), [&](const QRectF &other) { return other.intersects(room); }))
                    continue;
                taken.append(box);
                label->setPos(box.topLeft());
                label->show();
                ++shown;
            }
        } else {
            // Along the top, within the plot.
            const double y = valueAxis->max() - (valueAxis->max() - valueAxis->min()) / 50;
            const int columns = std::max(1, drawnWidth);
            auto next = begin;
            for (int column = 0; column < columns && next != end; ++column) {
                const qint64 columnEnd = first + span * (column + 1) / columns;
                while (next != end && next->sample < columnEnd && !next->isBeat)
                    ++next;
                if (next != end && next->sample < columnEnd)
                    ticks.append(QPointF(next->sample / rate, y));
                next = firstFrom(next, end, columnEnd);
            }
        }
    }
    for (int i = shown; i < annotationLabels.size(); ++i)
        annotationLabels[i]->hide();
    beatTicks->replace(ticks);
}

// A span is offered when the signal has it, the whole signal always.
void WaveformView::updateButtons()
{
    for (const auto &button : spanButtons)
        button.first->setEnabled(envelope && std::llround(button.second * rate) <= samples());
}

qint64 WaveformView::sampleAt(const QPointF &viewportPoint) const
{
    QChart *chart = chartView->chart();
    const QPointF inChart = chart->mapFromScene(chartView->mapToScene(viewportPoint.toPoint()));
    const qint64 sample = std::llround(chart->mapToValue(inChart, series).x() * rate);
    return qBound<qint64>(0, sample, samples() - 1);
}

qint64 WaveformView::samples() const
{
    return envelope ? envelope->size() : 0;
}

double WaveformView::value(double kept) const
{
    const SampleList &list = envelope->list();
    return list.isRecord() ? list.millivolts(kept) : kept;
}

bool WaveformView::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != chartView->viewport() || !envelope)
        return QWidget::eventFilter(watched, event);
    switch (event->type()) {
    case QEvent::Wheel: {
        const auto *wheel = static_cast<QWheelEvent *>(event);
        if (wheel->angleDelta().y() != 0)
            zoom(std::pow(0.8, wheel->angleDelta().y() / 120.0), wheel->position().x());
        return true;
    }
    case QEvent::NativeGesture: {
        const auto *gesture = static_cast<QNativeGestureEvent *>(event);
        if (gesture->gestureType() != Qt::ZoomNativeGesture)
            break;
        zoom(1 / (1 + gesture->value()), gesture->localPos().x());
        return true;
    }
    case QEvent::Gesture: {
        auto *gestures = static_cast<QGestureEvent *>(event);
        auto *pinch = static_cast<QPinchGesture *>(gestures->gesture(Qt::PinchGesture));
        if (!pinch)
            break;
        // Two fingers: no click and no drag.
        pressedAt.reset();
        if (pinch->changeFlags() & QPinchGesture::ScaleFactorChanged && pinch->scaleFactor() > 0)
            zoom(1 / pinch->scaleFactor(), chartView->viewport()->mapFromGlobal(pinch->centerPoint().toPoint()).x());
        gestures->accept(pinch);
        return true;
    }
    case QEvent::MouseButtonPress: {
        const auto *mouse = static_cast<QMouseEvent *>(event);
        if (mouse->button() != Qt::LeftButton)
            break;
        pressedAt = mouse->localPos();
        firstAtPress = first;
        dragging = false;
        return true;
    }
    case QEvent::MouseMove: {
        if (!pressedAt)
            break;
        const QPointF moved = static_cast<QMouseEvent *>(event)->localPos() - *pressedAt;
        dragging = dragging || moved.manhattanLength() >= QApplication::startDragDistance();
        const double plotWidth = chartView->chart()->plotArea().width();
        if (dragging && plotWidth > 0) {
            const qint64 span = last - first + 1;
            const qint64 scrolled = firstAtPress - std::llround(moved.x() * span / plotWidth);
            setVisibleRange(scrolled, scrolled + span - 1);
        }
        return true;
    }
    case QEvent::MouseButtonRelease: {
        if (!pressedAt || static_cast<QMouseEvent *>(event)->button() != Qt::LeftButton)
            break;
        if (!dragging)
            emit positionPicked(sampleAt(*pressedAt));
        pressedAt.reset();
        return true;
    }
    default:
        break;
    }
    return QWidget::eventFilter(watched, event);
}
