// Draws a 24-hour signal (the recording's codes repeated, 360 a second) in the
// waveform view and prints how long its envelope takes to build and how long a
// redraw takes at four spans, on the form's chart and on the touch display's.
//
// usage: bench_waveform [SAMPLE_FILE]

#include "envelope.h"
#include "loadsignal.h"
#include "waveformview.h"

#include <QApplication>
#include <QChartView>
#include <QElapsedTimer>
#include <QFile>
#include <QTextStream>

#include <algorithm>
#include <cstdio>

namespace {

constexpr double rate = 360;
constexpr qint64 daySamples = qint64(rate) * 86400;
constexpr int redraws = 20;

long residentKiB()
{
    QFile status("/proc/self/status");
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    return 0;
}

// Redraws span samples at evenly spread places; the median and the longest, in ms.
QPair<double, double> redrawTimes(WaveformView &view, qint64 span)
{
    QVector<double> times;
    for (int i = 0; i < redraws; ++i) {
        const qint64 first = (daySamples - span) * i / redraws;
        QElapsedTimer timer;
        timer.start();
        view.setVisibleRange(first, first + span - 1);
        // The chart lays its axes out from the event loop.
        QCoreApplication::processEvents();
        view.grab();
        times.append(timer.nsecsElapsed() / 1e6);
    }
    std::sort(times.begin(), times.end());
    return {times[redraws / 2], times.last()};
}

} // namespace

int main(int argc, char **argv)
{
    QApplication application(argc, argv);
    const QString path = argc > 1 ? QString(argv[1]) : QString(RECORDED_SAMPLE_FILE);
    QTextStream out(stdout);

    const LoadedSignal once = loadSignal(path, 0);
    if (!once.list) {
        std::fprintf(stderr, "cannot read %s\n", qPrintable(path));
        return 1;
    }
    auto samples = std::make_shared<SampleList>(*once.list);
    samples->values.reserve(std::size_t(daySamples));
    while (samples->size() < daySamples) {
        const qint64 count = std::min(once.list->size(), daySamples - samples->size());
        samples->values.insert(samples->values.end(), once.list->values.begin(), once.list->values.begin() + count);
    }

    const long before = residentKiB();
    QElapsedTimer timer;
    timer.start();
    auto envelope = std::make_shared<Envelope>(samples);
    for (qint64 at = 0; at < samples->size(); at += 4096)
        envelope->append(int(std::min<qint64>(4096, samples->size() - at)));
    const double buildMs = timer.nsecsElapsed() / 1e6;
    out << "24-hour signal: " << daySamples << " samples (" << daySamples * 2 / 1024 << " KiB), envelope built in "
        << QString::number(buildMs, 'f', 0) << " ms, resident memory +" << residentKiB() - before << " KiB\n";

    const QList<QPair<QString, qint64>> spans{
        {"24 h", daySamples}, {"1 h", qint64(rate) * 3600}, {"1 min", qint64(rate) * 60}, {"10 s", qint64(rate) * 10}};
    for (const QSize &size : {QSize(1281, 439), QSize(760, 229)}) {
        WaveformView view;
        view.resize(size);
        view.show();
        view.setSignal(envelope, rate);
        application.processEvents();
        const int pixels = int(view.findChild<QtCharts::QChartView *>()->chart()->plotArea().width());
        out << "\nView " << size.width() << " x " << size.height() << " (" << pixels << " pixels of plot), "
            << redraws << " redraws a span, query and paint:\n";
        for (const auto &span : spans) {
            timer.restart();
            for (int i = 0; i < redraws; ++i)
                envelope->points((daySamples - span.second) * i / redraws,
                                 (daySamples - span.second) * i / redraws + span.second - 1, pixels);
            const double queryMs = timer.nsecsElapsed() / 1e6 / redraws;
            const auto [median, longest] = redrawTimes(view, span.second);
            out << QString("  %1: query %2 ms, redraw median %3 ms, longest %4 ms\n")
                       .arg(span.first, 6)
                       .arg(queryMs, 0, 'f', 2)
                       .arg(median, 0, 'f', 1)
                       .arg(longest, 0, 'f', 1);
        }
    }
    return 0;
}
