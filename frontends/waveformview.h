#ifndef WAVEFORMVIEW_H
#define WAVEFORMVIEW_H

#include "annotations.h"

#include <QPair>
#include <QPointF>
#include <QWidget>

#include <memory>
#include <optional>

class Envelope;
class QGraphicsSimpleTextItem;
class QPushButton;
namespace QtCharts {
class QCategoryAxis;
class QChartView;
class QLineSeries;
class QScatterSeries;
}

// One signal drawn in the recording's units: seconds from its start across
// (h:mm:ss on long spans), millivolts up for a record, codes for a sample
// file, both labelled on 1-2-5 steps (axisticks). Zooms on time with the
// wheel or a pinch, scrolls with a drag, and shows 10 s, 1 min, 10 min, 1 h
// or the whole signal with buttons a finger can hit; a playhead marks the
// read position. Every sample is drawn, held until the next as the DAC holds
// it, up to maxPlainSamples of them, beyond that about two points per pixel,
// which the signal's envelope gives in the same time at any zoom. A record's
// annotations are labelled on spans of a minute or less, as many as fit
// without overlapping, and ticked beyond.
class WaveformView : public QWidget
{
    Q_OBJECT

public:
    // Every sample of 10 s at up to 800 samples/s.
    static constexpr qint64 maxPlainSamples = 8192;
    // The narrowest span shown.
    static constexpr qint64 minSpan = 20;
    // The longest span whose annotations are labelled, and the most labels:
    // beyond either, the beats are ticks, one at most per pixel column.
    static constexpr double maxLabelledSeconds = 60;
    static constexpr int maxLabels = 1000;

    explicit WaveformView(QWidget *parent = nullptr);

    // Shows the envelope's signal whole: a record's values in millivolts, a
    // sample file's codes as they are. rate: its samples per second, 0 for a
    // sample file (timed at the classic pacing). The envelope is complete:
    // nothing is appended to it any more. Null: clear().
    void setSignal(std::shared_ptr<const Envelope> envelope, double rate);
    // Shows nothing.
    void clear();
    // The signal's annotations, in sample order (after setSignal, which drops
    // them, as clear() does): above the trace each beat's label at its sample,
    // along the top the others' (a rhythm's "(AFIB", a note's text, else the
    // label). Null: none.
    void setAnnotations(std::shared_ptr<const QVector<Annotation>> annotations);
    // The first and last samples shown; (0, -1) with no signal.
    QPair<qint64, qint64> visibleRange() const;
    // Shows first to last, kept inside the signal and at least minSpan long.
    void setVisibleRange(qint64 first, qint64 last);
    // The playhead at that sample; -1 hides it. When it leaves the view from
    // inside (the output plays on, or loops), the view follows: the same
    // span from the playhead on.
    void setPlayhead(qint64 sample);

signals:
    // A tap or click on the chart, without a drag: the sample under it.
    void positionPicked(qint64 sample);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void showSpan(double seconds);
    // Zooms by factor (below 1: in) about the viewport's x.
    void zoom(double factor, double x);
    void redraw();
    void updateTimeAxis();
    void updateValueAxis();
    void updatePlayhead();
    void updateAnnotations();
    void updateButtons();
    qint64 sampleAt(const QPointF &viewportPoint) const;
    qint64 samples() const;
    double value(double kept) const;

    QtCharts::QChartView *chartView;
    QtCharts::QLineSeries *series;
    QtCharts::QLineSeries *playheadLine;
    QtCharts::QScatterSeries *beatTicks;
    // Children of the chart, shown as needed and kept for the next redraw.
    QVector<QGraphicsSimpleTextItem *> annotationLabels;
    QtCharts::QCategoryAxis *timeAxis;
    QtCharts::QCategoryAxis *valueAxis;
    QList<QPair<QPushButton *, double>> spanButtons; // 0 s: the whole signal

    std::shared_ptr<const Envelope> envelope;
    std::shared_ptr<const QVector<Annotation>> annotations;
    double rate = 0;
    qint64 first = 0;
    qint64 last = -1;
    qint64 playhead = -1;
    int drawnWidth = 0; // the plot's width at the last redraw
    int labelledHeight = -1; // the plot's height at the last value labelling
    QPair<double, double> traceRange; // the values shown: the signal's, with a margin

    // A press on the chart, until it is released: a click unless it moved.
    std::optional<QPointF> pressedAt;
    qint64 firstAtPress = 0;
    bool dragging = false;
};

#endif // WAVEFORMVIEW_H
