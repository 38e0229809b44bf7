#ifndef LIVEVIEW_H
#define LIVEVIEW_H

#include "capturetail.h"

#include <QTimer>
#include <QWidget>

class QPushButton;

// The virtual DAC's output as an oscilloscope on the bench shows it: the last
// few seconds of a growing capture, scrolling, in seconds and volts, redrawn
// 25 times a second. While no frame comes, the output holds its level and the
// trace goes on flat. A capture cut at its size limit ends its trace, and the
// view says where. Painted directly: a chart series would recompute its
// outline at every update, several times the cost.
class LiveView : public QWidget
{
public:
    explicit LiveView(const QString &capturePath, QWidget *parent = nullptr);

    // Beside the simulator's window on a screen with room for both; else over
    // it, kept above it: folded into a tab at its top left, opened by a press
    // on it or by a run's first frame, folded again by "Retour au simulateur".
    void place(const QRect &available);

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void readNewFrames();
    void fold(bool folded);
    void setPlace(const QRect &place);

    CaptureTail tail;
    QVector<QPointF> points; // (seconds since the run's first frame, volts)
    std::int64_t firstFrameNs = -1;
    double lowestVolts = 0;
    double highestVolts = 0;
    QTimer timer;
    // Over the simulator only: the button that folds and opens the view.
    QPushButton *foldButton = nullptr;
    bool folded = false;
    QRect openGeometry;
    QRect tabGeometry;
};

#endif // LIVEVIEW_H
