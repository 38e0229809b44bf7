#ifndef WAVEFORMVIEW_H
#define WAVEFORMVIEW_H

#include <QPair>
#include <QPointF>
#include <QWidget>

#include <memory>
#include <optional>

class Envelope;
class QPushButton;
namespace QtCharts {
class QCategoryAxis;
class QChartView;
class QLineSeries;
class QValueAxis;
}

// One signal drawn in the recording's units: seconds from its start across
// (h:mm:ss on long spans), millivolts up for a record, codes for a sample
// file. Zooms on time with the wheel or a pinch, scrolls with a drag, and
// shows 10 s, 1 min, 10 min, 1 h or the whole signal with buttons a finger
// can hit; a playhead marks the read position. Every sample is drawn up to
// maxPlainSamples of them, beyond that about two points per pixel, which the
// signal's envelope gives in the same time at any zoom.
class WaveformView : public QWidget
{
    Q_OBJECT

public:
    // Every sample of 10 s at up to 800 samples/s.
    static constexpr qint64 maxPlainSamples = 8192;
    // The narrowest span shown.
    static constexpr qint64 minSpan = 20;

    explicit WaveformView(QWidget *parent = nullptr);

    // Shows the envelope's signal whole. rate: its samples per second, 0 for
    // a sample file (timed at the classic pacing); fullScaleMv: a record's,
    // whose codes are drawn in millivolts; none: the codes as they are. The
    // envelope is complete: nothing is appended to it any more. Null: clear().
    void setSignal(std::shared_ptr<const Envelope> envelope, double rate, std::optional<double> fullScaleMv);
    // Shows nothing.
    void clear();
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
    void updatePlayhead();
    void updateButtons();
    qint64 sampleAt(const QPointF &viewportPoint) const;
    qint64 samples() const;
    double value(double code) const;

    QtCharts::QChartView *chartView;
    QtCharts::QLineSeries *series;
    QtCharts::QLineSeries *playheadLine;
    QtCharts::QCategoryAxis *timeAxis;
    QtCharts::QValueAxis *valueAxis;
    QList<QPair<QPushButton *, double>> spanButtons; // 0 s: the whole signal

    std::shared_ptr<const Envelope> envelope;
    double rate = 0;
    std::optional<double> fullScaleMv;
    qint64 first = 0;
    qint64 last = -1;
    qint64 playhead = -1;
    int drawnWidth = 0; // the plot's width at the last redraw

    // A press on the chart, until it is released: a click unless it moved.
    std::optional<QPointF> pressedAt;
    qint64 firstAtPress = 0;
    bool dragging = false;
};

#endif // WAVEFORMVIEW_H
