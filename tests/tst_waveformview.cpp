#include "axisticks.h"
#include "envelope.h"
#include "waveformview.h"

#include <QCategoryAxis>
#include <QChartView>
#include <QGraphicsSimpleTextItem>
#include <QLineSeries>
#include <QNativeGestureEvent>
#include <QPushButton>
#include <QScatterSeries>
#include <QSignalSpy>
#include <QTest>

#include <algorithm>
#include <cmath>

using namespace QtCharts;

namespace {

constexpr double pi = 3.14159265358979323846;

// A record's baseline: its value of 0 mV.
constexpr double baseline = 100;

// An envelope of length samples of value(i), at gain units per mV over the baseline.
template<typename Value>
std::shared_ptr<const Envelope> envelopeOf(int length, double gain, bool wide, Value value,
                                           std::shared_ptr<SampleList> *kept = nullptr)
{
    auto list = std::make_shared<SampleList>();
    list->gain = gain;
    list->baseline = baseline;
    list->wide = wide;
    for (int i = 0; i < length; ++i) {
        const qint32 sample = value(i);
        list->append(&sample, 1);
    }
    auto envelope = std::make_shared<Envelope>(list);
    envelope->append(length);
    if (kept)
        *kept = list;
    return envelope;
}

// A sine of a second's period, amplitude 1 mV: a record's values of gain units
// per mV (kept in 32 bits when wide), or for a gain of 0 a sample file's codes
// (6554 codes, 1 mV at 10 mV full scale).
std::shared_ptr<const Envelope> sine(int length, double rate, std::shared_ptr<SampleList> *kept = nullptr,
                                     double gain = 200, bool wide = false)
{
    return envelopeOf(length, gain, wide, [&](int i) {
        const double wave = std::sin(2 * pi * i / rate);
        return gain == 0 ? 32768 + qint32(std::lround(6554 * wave)) : qint32(baseline) + qint32(std::lround(gain * wave));
    }, kept);
}

// A square of 1 mV: `high` samples at 1 mV, then as many at 0, and so on.
std::shared_ptr<const Envelope> square(int length, int high)
{
    return envelopeOf(length, 200, false, [&](int i) { return qint32(baseline) + (i % (2 * high) < high ? 200 : 0); });
}

} // namespace

class tst_WaveformView : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void ticks_data();
    void ticks();
    void axes_data();
    void axes();
    void edges_data();
    void edges();
    void spanButtons_data();
    void spanButtons();
    void spansOffered_data();
    void spansOffered();
    void playheadFollows_data();
    void playheadFollows();
    void clickPicksDragScrolls_data();
    void clickPicksDragScrolls();
    void zooms_data();
    void zooms();
    void annotations_data();
    void annotations();

private:
    QChart *chart() const { return view->findChild<QChartView *>()->chart(); }
    QWidget *viewport() const { return view->findChild<QChartView *>()->viewport(); }
    QLineSeries *line(const char *name) const { return chart()->findChild<QLineSeries *>(name); }
    QValueAxis *axis(Qt::Orientation orientation) const
    {
        return qobject_cast<QValueAxis *>(chart()->axes(orientation).value(0));
    }
    // The viewport's pixel of sample at the middle of the value axis.
    QPoint pixelOf(qint64 sample, double rate) const
    {
        const QPointF inChart = chart()->mapToPosition(QPointF(sample / rate, 0), line("signal"));
        return view->findChild<QChartView *>()->mapFromScene(chart()->mapToScene(inChart));
    }

    // The annotations' labels shown, by their middles from left to right.
    QList<QGraphicsSimpleTextItem *> labels() const
    {
        QList<QGraphicsSimpleTextItem *> shown;
        for (QGraphicsItem *item : chart()->childItems()) {
            auto *label = qgraphicsitem_cast<QGraphicsSimpleTextItem *>(item);
            if (label && label->isVisible())
                shown.append(label);
        }
        const auto middle = [](QGraphicsItem *item) {
            return item->mapRectToParent(item->boundingRect()).center().x();
        };
        std::sort(shown.begin(), shown.end(),
                  [&](QGraphicsItem *a, QGraphicsItem *b) { return middle(a) < middle(b); });
        return shown;
    }

    WaveformView *view = nullptr;
};

void tst_WaveformView::init()
{
    view = new WaveformView;
    view->resize(1281, 491);
    view->show();
    QVERIFY(QTest::qWaitForWindowExposed(view));
}

void tst_WaveformView::cleanup()
{
    delete view;
}

void tst_WaveformView::ticks_data()
{
    QTest::addColumn<bool>("time");
    QTest::addColumn<double>("from");
    QTest::addColumn<double>("to");
    QTest::addColumn<int>("most");
    QTest::addColumn<double>("step");
    QTest::addColumn<QStringList>("texts");

    const auto texts = [](const char *spaced) { return QString(spaced).split(' '); };
    QTest::newRow("mV: halves between odd ends") << false << -0.6123 << 1.3456 << 8 << 0.5 << texts("-0,5 0,0 0,5 1,0");
    QTest::newRow("mV: a fifth of a span of 1 is 0,2") << false << 0.0 << 1.0 << 5 << 0.2
                                                       << texts("0,0 0,2 0,4 0,6 0,8 1,0");
    QTest::newRow("mV: hundredths") << false << -0.031 << 0.031 << 5 << 0.02 << texts("-0,02 0,00 0,02");
    QTest::newRow("codes: no separator of thousands") << false << 29500.0 << 36000.0 << 7 << 1000.0
                                                      << texts("30000 31000 32000 33000 34000 35000 36000");
    QTest::newRow("volts: tenths, not 0,1125") << false << 2.475 << 3.025 << 10 << 0.1
                                               << texts("2,5 2,6 2,7 2,8 2,9 3,0");
    QTest::newRow("seconds") << true << 0.0 << 10.0 << 5 << 2.0 << texts("0 2 4 6 8 10");
    QTest::newRow("seconds: tens, not 7,13") << true << 0.0 << 35.665 << 5 << 10.0 << texts("0 10 20 30");
    QTest::newRow("seconds: twentieths") << true << 0.1 << 0.3 << 4 << 0.05 << texts("0,10 0,15 0,20 0,25 0,30");
    QTest::newRow("clock: 20 s") << true << 60.0 << 180.0 << 8 << 20.0
                                 << texts("0:01:00 0:01:20 0:01:40 0:02:00 0:02:20 0:02:40 0:03:00");
    QTest::newRow("clock: 20 min, not 713,3 s") << true << 0.0 << 3566.5 << 5 << 1200.0
                                                << texts("0:00:00 0:20:00 0:40:00");
    QTest::newRow("clock: 30 min") << true << 0.0 << 7200.0 << 5 << 1800.0
                                   << texts("0:00:00 0:30:00 1:00:00 1:30:00 2:00:00");
    QTest::newRow("clock: 5 h over a day") << true << 0.0 << 86400.0 << 10 << 18000.0
                                           << texts("0:00:00 5:00:00 10:00:00 15:00:00 20:00:00");
    QTest::newRow("clock: fifths of a second") << true << 100.0 << 101.0 << 5 << 0.2
                                               << texts("0:01:40,0 0:01:40,2 0:01:40,4 0:01:40,6 0:01:40,8 0:01:41,0");
}

// Round values in the unit shown, texts with the French comma and the
// decimals of the step, at most `most` steps between the ends.
void tst_WaveformView::ticks()
{
    QFETCH(bool, time);
    QFETCH(double, from);
    QFETCH(double, to);
    QFETCH(int, most);
    QFETCH(double, step);
    QFETCH(QStringList, texts);

    const QVector<AxisTick> ticks = time ? timeTicks(from, to, most) : valueTicks(from, to, most);
    QStringList shown;
    for (int i = 0; i < ticks.size(); ++i) {
        shown << ticks[i].text;
        QVERIFY2(qAbs(ticks[i].value - (ticks[0].value + i * step)) < step * 1e-6, qPrintable(ticks[i].text));
    }
    QCOMPARE(shown, texts);
    QVERIFY(ticks.first().value >= from - step * 1e-6 && ticks.last().value <= to + step * 1e-6);
}

void tst_WaveformView::axes_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<double>("rate");
    QTest::addColumn<double>("gain"); // 0: a sample file's codes
    QTest::addColumn<bool>("wide");
    QTest::addColumn<QString>("timeTitle");
    QTest::addColumn<double>("end");       // seconds
    QTest::addColumn<QString>("valueTitle");
    QTest::addColumn<double>("peak");      // the sine's, in the value's unit
    QTest::addColumn<QString>("someLabel");

    QTest::newRow("record, 10 s") << 3600 << 360.0 << 200.0 << false << "Temps (s)" << 3599 / 360.0 << "mV" << 1.0
                                  << "5";
    // Values beyond 16 bits, negative ones too.
    QTest::newRow("24-bit record, an hour") << 3600 * 250 << 250.0 << 4000000.0 << true << "Temps (h:mm:ss)"
                                           << (3600 * 250 - 1) / 250.0 << "mV" << 1.0 << "0:30:00";
    // A sample file has no rate: the classic pacing, a sample each 2.24 ms.
    QTest::newRow("sample file") << 4464 << 0.0 << 0.0 << false << "Temps (s)" << 4463 * 0.00224 << "Code"
                                 << 32768.0 + 6554 << "5";
}

void tst_WaveformView::axes()
{
    QFETCH(int, length);
    QFETCH(double, rate);
    QFETCH(double, gain);
    QFETCH(bool, wide);
    QFETCH(QString, timeTitle);
    QFETCH(double, end);
    QFETCH(QString, valueTitle);
    QFETCH(double, peak);
    QFETCH(QString, someLabel);

    view->setSignal(sine(length, rate > 0 ? rate : 1 / 0.00224, nullptr, gain, wide), rate);

    QCOMPARE(view->visibleRange(), qMakePair(qint64(0), qint64(length - 1)));
    QValueAxis *time = axis(Qt::Horizontal);
    QCOMPARE(time->titleText(), timeTitle);
    QCOMPARE(time->min(), 0.0);
    QVERIFY(qFuzzyCompare(time->max(), end));
    QVERIFY(qobject_cast<QCategoryAxis *>(time)->categoriesLabels().contains(someLabel));
    QValueAxis *value = axis(Qt::Vertical);
    // Labelled at its values, the French way, on equal steps.
    auto *values = qobject_cast<QCategoryAxis *>(value);
    QVERIFY(values && values->categoriesLabels().size() >= 3);
    const QLocale french(QLocale::French);
    for (const QString &label : values->categoriesLabels()) {
        bool ok = false;
        QCOMPARE(french.toDouble(label, &ok), values->endValue(label));
        QVERIFY2(ok, qPrintable(label));
    }
    QCOMPARE(value->titleText(), valueTitle);
    const double middle = gain > 0 ? 0 : 32768;
    QVERIFY2(value->max() >= peak && value->max() <= middle + 2 * (peak - middle), qPrintable(QString::number(value->max())));
    QVERIFY2(value->min() <= 2 * middle - peak && value->min() >= middle - 2 * (peak - middle), qPrintable(QString::number(value->min())));
    // A quarter period in: the sine's peak.
    if (length <= WaveformView::maxPlainSamples) {
        const double seconds = rate > 0 ? 1 / rate : 0.00224;
        const int quarter = int(std::lround(0.25 / seconds));
        // Each sample held until the next: two points a sample.
        QVERIFY(qAbs(line("signal")->at(2 * quarter).x() - quarter * seconds) < 1e-9);
        QVERIFY(qAbs(line("signal")->at(2 * quarter).y() - peak) < (gain > 0 ? 0.001 : 1));
    }

    view->clear();
    QCOMPARE(line("signal")->count(), 0);
    QCOMPARE(view->visibleRange(), qMakePair(qint64(0), qint64(-1)));
    QVERIFY(qobject_cast<QCategoryAxis *>(time)->categoriesLabels().isEmpty());
}

void tst_WaveformView::edges_data()
{
    QTest::addColumn<int>("length"); // at 360/s, shown whole
    QTest::addColumn<int>("high");   // samples of each half period
    QTest::addColumn<bool>("upright");

    QTest::newRow("10 s: every sample") << 3600 << 180 << true;
    QTest::newRow("an hour: the envelope") << 1296000 << 36001 << false;
}

// A square drawn as it goes out: every sample held until the next, its edges
// upright; through the envelope, each edge once, the trace never folding back.
void tst_WaveformView::edges()
{
    QFETCH(int, length);
    QFETCH(int, high);
    QFETCH(bool, upright);

    view->setSignal(square(length, high), 360);
    const QLineSeries *signal = line("signal");
    QVERIFY(signal->count() >= 2);
    int turns = 0;
    double slope = 0;
    for (int i = 1; i < signal->count(); ++i) {
        const QPointF from = signal->at(i - 1);
        const QPointF to = signal->at(i);
        if (upright)
            QVERIFY2(from.x() == to.x() || from.y() == to.y(), qPrintable(QString::number(i)));
        const double rise = to.y() - from.y();
        if (rise == 0)
            continue;
        turns += slope * rise < 0;
        slope = rise;
    }
    QCOMPARE(turns, (length - 1) / high - 1);
}

void tst_WaveformView::spanButtons_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<qint64>("span");

    // Two million samples at 360/s: an hour and a half.
    QTest::newRow("10 s: every sample") << "10 s" << qint64(3600);
    QTest::newRow("1 min") << "1 min" << qint64(21600);
    QTest::newRow("1 h") << "1 h" << qint64(1296000);
    QTest::newRow("all") << "Tout" << qint64(2000000);
}

// Around the playhead; every sample at 10 s, else about two points a pixel.
void tst_WaveformView::spanButtons()
{
    QFETCH(QString, button);
    QFETCH(qint64, span);

    std::shared_ptr<SampleList> list;
    view->setSignal(sine(2000000, 360, &list), 360);
    view->setPlayhead(1000000);
    const QList<QPushButton *> buttons = view->findChildren<QPushButton *>();
    const auto pressed = std::find_if(buttons.begin(), buttons.end(), [&](QPushButton *b) { return b->text() == button; });
    QVERIFY(pressed != buttons.end());
    QVERIFY((*pressed)->height() >= 48);
    QTest::mouseClick(*pressed, Qt::LeftButton);

    const auto [first, last] = view->visibleRange();
    QCOMPARE(last - first + 1, span);
    QVERIFY(first <= 1000000 && 1000000 <= last);
    const QLineSeries *signal = line("signal");
    if (span <= WaveformView::maxPlainSamples) {
        // Each held until the next.
        QCOMPARE(signal->count(), int(2 * span - 1));
        for (int i = 0; i < span; ++i) {
            const double mV = (list->values[std::size_t(first + i)] - baseline) / 200;
            QCOMPARE(signal->at(2 * i), QPointF((first + i) / 360.0, mV));
            if (i + 1 < span)
                QCOMPARE(signal->at(2 * i + 1), QPointF((first + i + 1) / 360.0, mV));
        }
    } else {
        const int pixels = int(chart()->plotArea().width());
        QVERIFY2(signal->count() >= pixels && signal->count() <= 2 * (pixels + 1), qPrintable(QString::number(signal->count())));
    }
}

void tst_WaveformView::spansOffered_data()
{
    QTest::addColumn<int>("length"); // at 360/s; 0: no signal
    QTest::addColumn<QStringList>("enabled");

    QTest::newRow("no signal") << 0 << QStringList();
    QTest::newRow("a sample short of 10 s") << 3599 << QStringList{"Tout"};
    QTest::newRow("10 s") << 3600 << QStringList{"10 s", "Tout"};
    QTest::newRow("a minute") << 21600 << QStringList{"10 s", "1 min", "Tout"};
    QTest::newRow("an hour") << 1296000 << QStringList{"10 s", "1 min", "10 min", "1 h", "Tout"};
}

// Every span the signal has, the whole of it included.
void tst_WaveformView::spansOffered()
{
    QFETCH(int, length);
    QFETCH(QStringList, enabled);

    view->setSignal(length > 0 ? sine(length, 360) : nullptr, 360);
    QStringList offered;
    for (QPushButton *button : view->findChildren<QPushButton *>())
        if (button->isEnabled())
            offered << button->text();
    QCOMPARE(offered, enabled);
}

void tst_WaveformView::playheadFollows_data()
{
    QTest::addColumn<qint64>("first"); // of the view: ten seconds at 360/s
    QTest::addColumn<qint64>("before");
    QTest::addColumn<qint64>("playhead");
    QTest::addColumn<qint64>("firstAfter");

    QTest::newRow("drawn where set") << qint64(0) << qint64(-1) << qint64(720) << qint64(0);
    QTest::newRow("moving in view") << qint64(0) << qint64(720) << qint64(3599) << qint64(0);
    QTest::newRow("pages on past the right edge") << qint64(0) << qint64(3599) << qint64(3610) << qint64(3610);
    QTest::newRow("back to the start on a loop") << qint64(32400) << qint64(35990) << qint64(5) << qint64(5);
    QTest::newRow("the operator looks elsewhere") << qint64(10000) << qint64(500) << qint64(600) << qint64(10000);
    QTest::newRow("hidden") << qint64(0) << qint64(720) << qint64(-1) << qint64(0);
}

void tst_WaveformView::playheadFollows()
{
    QFETCH(qint64, first);
    QFETCH(qint64, before);
    QFETCH(qint64, playhead);
    QFETCH(qint64, firstAfter);

    view->setSignal(sine(36000, 360), 360);
    view->setVisibleRange(first, first + 3599);
    view->setPlayhead(before);
    view->setPlayhead(playhead);

    QCOMPARE(view->visibleRange(), qMakePair(firstAfter, firstAfter + 3599));
    QLineSeries *line = this->line("playhead");
    QCOMPARE(line->isVisible(), playhead >= 0);
    if (playhead >= 0) {
        QCOMPARE(line->count(), 2);
        QCOMPARE(line->at(0).x(), playhead / 360.0);
        QCOMPARE(line->at(1).x(), playhead / 360.0);
    }
}

void tst_WaveformView::clickPicksDragScrolls_data()
{
    QTest::addColumn<int>("dragged"); // pixels to the right
    QTest::addColumn<bool>("picked");

    QTest::newRow("click") << 0 << true;
    QTest::newRow("a trembling click") << 2 << true;
    QTest::newRow("drag right: earlier samples") << 200 << false;
    QTest::newRow("drag left: later samples") << -200 << false;
}

void tst_WaveformView::clickPicksDragScrolls()
{
    QFETCH(int, dragged);
    QFETCH(bool, picked);

    view->setSignal(sine(36000, 360), 360);
    view->setVisibleRange(10000, 10199); // six pixels a sample
    QSignalSpy picks(view, &WaveformView::positionPicked);
    const QPoint at = pixelOf(10100, 360);
    QTest::mousePress(viewport(), Qt::LeftButton, {}, at);
    for (const QPoint &to : {at + QPoint(dragged / 2, 0), at + QPoint(dragged, 0)}) {
        QMouseEvent move(QEvent::MouseMove, to, viewport()->mapToGlobal(to), Qt::NoButton, Qt::LeftButton,
                         Qt::NoModifier);
        QApplication::sendEvent(viewport(), &move);
    }
    QTest::mouseRelease(viewport(), Qt::LeftButton, {}, at + QPoint(dragged, 0));

    const auto [first, last] = view->visibleRange();
    QCOMPARE(last - first, qint64(199));
    if (picked) {
        QCOMPARE(picks.count(), 1);
        QCOMPARE(picks.at(0).at(0).toLongLong(), qint64(10100));
        QCOMPARE(first, qint64(10000));
    } else {
        QCOMPARE(picks.count(), 0);
        // The sample under the press is now under the release.
        QVERIFY(qAbs(first - (10000 - dragged * 200 / chart()->plotArea().width())) <= 1);
    }
}

void tst_WaveformView::zooms_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<double>("amount"); // wheel eighths of a degree, or the pinch's
    QTest::addColumn<double>("ratio");  // of the new span to the old

    QTest::newRow("wheel forward: in") << "wheel" << 120.0 << 0.8;
    QTest::newRow("wheel back: out") << "wheel" << -240.0 << 1.5625;
    QTest::newRow("pinch apart: in") << "pinch" << 0.25 << 0.8;
    QTest::newRow("pinch together: out") << "pinch" << -0.2 << 1.25;
}

// About the sample under the pointer, which stays there.
void tst_WaveformView::zooms()
{
    QFETCH(QString, kind);
    QFETCH(double, amount);
    QFETCH(double, ratio);

    view->setSignal(sine(360000, 360), 360);
    view->setVisibleRange(100000, 139999);
    const QPoint at = pixelOf(130000, 360);
    if (kind == "wheel") {
        QWheelEvent wheel(at, viewport()->mapToGlobal(at), QPoint(), QPoint(0, int(amount)), Qt::NoButton,
                          Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(viewport(), &wheel);
    } else {
        QNativeGestureEvent pinch(Qt::ZoomNativeGesture, nullptr, at, at, viewport()->mapToGlobal(at), amount, 0, 0);
        QApplication::sendEvent(viewport(), &pinch);
    }

    const auto [first, last] = view->visibleRange();
    QVERIFY2(qAbs((last - first + 1) - 40000 * ratio) <= 2, qPrintable(QString::number(last - first + 1)));
    QVERIFY(qAbs(pixelOf(130000, 360).x() - at.x()) <= 1);
}

QTEST_MAIN(tst_WaveformView)
#include "tst_waveformview.moc"

void tst_WaveformView::annotations_data()
{
    QTest::addColumn<qint64>("first");
    QTest::addColumn<qint64>("last");
    QTest::addColumn<int>("width"); // of the view
    QTest::addColumn<QString>("shown"); // "all", "beats", "V": those labelled; "": ticks instead

    // Ten minutes at 250/s: a span of 15000 samples is a minute.
    QTest::newRow("10 s") << qint64(0) << qint64(2499) << 1281 << "all";
    QTest::newRow("a minute, further on: the notes crowd") << qint64(30100) << qint64(45099) << 1281 << "beats";
    QTest::newRow("a minute on the touch display: the normal beats crowd") << qint64(29900) << qint64(44899) << 780
                                                                          << "V";
    QTest::newRow("a minute and a sample") << qint64(30100) << qint64(45100) << 1281 << "";
    QTest::newRow("the whole signal") << qint64(0) << qint64(149999) << 1281 << "";
}

// Labels of the beats above the trace and of the other annotations along the
// top, each at its sample's x, none over another: where they crowd, the
// rhythms' and notes' first, then the beats but the normal ones. Beyond a
// minute, a tick for each beat only.
void tst_WaveformView::annotations()
{
    QFETCH(qint64, first);
    QFETCH(qint64, last);
    QFETCH(int, width);
    QFETCH(QString, shown);

    view->resize(width, 491);
    const double rate = 250;
    // A beat each 0.8 s, N and V in turn, each at a crest of the sine, so
    // that their labels stand in a row; a rhythm and a noise mark every 3 s.
    const double period = 0.8;
    auto annotations = std::make_shared<QVector<Annotation>>();
    for (qint64 sample = 0; sample < 150000; sample += 200) {
        annotations->append({sample, sample % 400 ? 'V' : 'N', 0, 0, 0, QString(), true});
        if (sample % 750 == 0) {
            annotations->append({sample + 50, '+', 0, 0, 0, "(AFIB", false});
            annotations->append({sample + 150, '~', 0, 0, 0, QString(), false});
        }
    }
    view->setSignal(sine(150000, period * rate), rate);
    view->setAnnotations(annotations);
    view->setVisibleRange(first, last);
    QCOMPARE(view->visibleRange(), qMakePair(first, last));

    QVector<Annotation> inView;
    QVector<qint64> beats;
    for (const Annotation &annotation : *annotations) {
        if (annotation.sample < first || annotation.sample > last)
            continue;
        inView << annotation;
        if (annotation.isBeat)
            beats << annotation.sample;
    }
    QVERIFY(beats.size() >= 12);

    const QList<QGraphicsSimpleTextItem *> labels = this->labels();
    auto *ticks = chart()->findChild<QScatterSeries *>("beats");
    QVERIFY(ticks);
    if (shown.isEmpty()) {
        QCOMPARE(labels.size(), 0);
        QCOMPARE(ticks->count(), beats.size());
        for (int i = 0; i < beats.size(); ++i)
            QCOMPARE(ticks->at(i).x(), beats[i] / rate);
        return;
    }
    QCOMPARE(ticks->count(), 0);
    // Each label at the x of an annotation of its text, the first such from the one before.
    QVector<QRectF> boxes;
    int next = 0;
    int labelled = 0;
    for (QGraphicsSimpleTextItem *label : labels) {
        const QRectF box = label->mapRectToParent(label->boundingRect());
        for (const QRectF &other : boxes)
            QVERIFY2(!other.intersects(box), qPrintable(label->text()));
        boxes << box;
        const auto at = [&](const Annotation &annotation) {
            const double seconds = annotation.sample / rate;
            return chart()->mapToPosition(QPointF(seconds, std::sin(2 * pi * seconds / period)), line("signal"));
        };
        const auto text = [](const Annotation &annotation) {
            return annotation.aux.isEmpty() ? QString(annotation.label) : annotation.aux;
        };
        while (next < inView.size() && (text(inView[next]) != label->text() || qAbs(at(inView[next]).x() - box.center().x()) >= 0.5))
            ++next;
        QVERIFY2(next < inView.size(), qPrintable(label->text()));
        const Annotation &annotation = inView[next++];
        // A beat's label above the trace, the others' in the top row.
        if (annotation.isBeat)
            QVERIFY2(box.bottom() <= at(annotation).y() && box.top() > chart()->plotArea().top(), qPrintable(label->text()));
        else
            QCOMPARE(box.top(), chart()->plotArea().top());
        labelled += shown == "all" || (annotation.isBeat && (shown == "beats" || annotation.label == 'V'));
    }
    const int expected = int(std::count_if(inView.begin(), inView.end(), [&](const Annotation &annotation) {
        return shown == "all" || (annotation.isBeat && (shown == "beats" || annotation.label == 'V'));
    }));
    QCOMPARE(labelled, expected);
    // And not all of them where they crowd.
    QCOMPARE(labels.size() == inView.size(), shown == "all");
}
