// Turns a virtual-DAC capture into a picture: the DAC's reconstructed output
// over time, and below it, when given, the source sample file on the same
// time scale. With --live, shows the capture in a window as it grows instead.
//
// usage: plotcapture CAPTURE.csv [SOURCE.csv] OUTPUT.png
//        plotcapture --live CAPTURE.csv

#include "axisticks.h"
#include "capturetail.h"
#include "liveview.h"

#include <QApplication>
#include <QCategoryAxis>
#include <QChartView>
#include <QFile>
#include <QLineSeries>
#include <QLocale>
#include <QScreen>
#include <QVBoxLayout>
#include <QWidget>

#include <algorithm>
#include <cstdio>

using namespace QtCharts;

namespace {

struct Capture
{
    QVector<QPointF> output; // (seconds since the first frame, volts), held until the next frame
    double medianPeriod = 0;
    double vref = 5.0;
    double cutSeconds = -1; // where the capture was cut at its size limit, if it was
};

Capture readCapture(const QString &path)
{
    Capture capture;
    CaptureTail tail(path);
    const QVector<CaptureLine> lines = tail.read();
    if (lines.isEmpty())
        return capture;
    if (tail.cutAtNs() >= 0)
        capture.cutSeconds = (tail.cutAtNs() - lines.first().timeNs) / 1e9;
    QVector<double> periods;
    for (int i = 0; i < lines.size(); ++i) {
        const double seconds = (lines[i].timeNs - lines.first().timeNs) / 1e9;
        // The output holds its level until the next frame.
        if (i > 0) {
            capture.output.append(QPointF(seconds, lines[i - 1].volts));
            periods.append((lines[i].timeNs - lines[i - 1].timeNs) / 1e9);
        }
        capture.output.append(QPointF(seconds, lines[i].volts));
        if (lines[i].validWord && lines[i].code > 0)
            capture.vref = lines[i].volts * 65536.0 / lines[i].code;
    }
    std::sort(periods.begin(), periods.end());
    capture.medianPeriod = periods.isEmpty() ? 0 : periods[periods.size() / 2];
    return capture;
}

// The source file as the DAC would output it, one sample per measured period.
QVector<QPointF> readSource(const QString &path, const Capture &capture, double duration)
{
    QVector<QPointF> points;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text) || capture.medianPeriod <= 0)
        return points;
    while (!file.atEnd()) {
        const QByteArray line = file.readLine().trimmed();
        if (line.isEmpty())
            continue;
        bool ok = false;
        const int value = line.toInt(&ok);
        const double seconds = points.size() * capture.medianPeriod;
        if (seconds > duration)
            break;
        points.append(QPointF(seconds, capture.vref * quint16(ok ? value : -1) / 65536.0));
    }
    return points;
}

QChartView *chartOf(const QString &title, const QVector<QPointF> &points, double duration, const QColor &colour)
{
    auto *series = new QLineSeries;
    series->replace(points);
    series->setPen(QPen(colour, 1.2));
    auto *chart = new QChart;
    chart->setTitle(title);
    chart->legend()->hide();
    chart->addSeries(series);
    // Graduated as the simulator's chart is: 1-2-5 steps, the French comma.
    auto *x = new QCategoryAxis;
    x->setRange(0, duration);
    setAxisTicks(x, valueTicks(0, duration, 10));
    x->setTitleText("temps (s)");
    auto *y = new QCategoryAxis;
    y->setRange(0, 1);
    if (!points.isEmpty()) {
        const auto [lowest, highest] = std::minmax_element(
            points.begin(), points.end(), [](const QPointF &a, const QPointF &b) { return a.y() < b.y(); });
        const double margin = std::max(0.05 * (highest->y() - lowest->y()), 0.001);
        y->setRange(lowest->y() - margin, highest->y() + margin);
    }
    setAxisTicks(y, valueTicks(y->min(), y->max(), 6));
    y->setTitleText("tension (V)");
    chart->addAxis(x, Qt::AlignBottom);
    chart->addAxis(y, Qt::AlignLeft);
    series->attachAxis(x);
    series->attachAxis(y);
    auto *view = new QChartView(chart);
    view->setRenderHint(QPainter::Antialiasing);
    return view;
}

} // namespace

int main(int argc, char **argv)
{
    const bool live = argc == 3 && QByteArray(argv[1]) == "--live";
    if (!live && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    const QStringList arguments = application.arguments();
    if (live) {
        LiveView view(arguments[2]);
        view.place(QGuiApplication::primaryScreen()->availableGeometry());
        view.show();
        return application.exec();
    }
    if (arguments.size() != 3 && arguments.size() != 4) {
        std::fprintf(stderr, "usage: plotcapture CAPTURE.csv [SOURCE.csv] OUTPUT.png\n"
                             "       plotcapture --live CAPTURE.csv\n");
        return 2;
    }
    const Capture capture = readCapture(arguments[1]);
    if (capture.output.isEmpty()) {
        std::fprintf(stderr, "plotcapture: no transfers in %s\n", qPrintable(arguments[1]));
        return 1;
    }
    const double duration = capture.output.last().x();

    QWidget page;
    page.resize(1400, arguments.size() == 4 ? 900 : 450);
    auto *layout = new QVBoxLayout(&page);
    const QLocale french(QLocale::French);
    QString title = QString("Sortie reconstruite du DAC8551 (%1 trames, période médiane %2 ms)")
                        .arg(capture.output.size() / 2 + 1)
                        .arg(french.toString(capture.medianPeriod * 1e3, 'f', 3));
    if (capture.cutSeconds >= 0)
        title += QString(" — coupée à %1 s, taille limite atteinte").arg(french.toString(capture.cutSeconds, 'f', 3));
    layout->addWidget(chartOf(title, capture.output, duration, QColor(0x1f, 0x77, 0xb4)));
    if (arguments.size() == 4)
        layout->addWidget(chartOf("Fichier source, un échantillon par période médiane",
                                  readSource(arguments[2], capture, duration), duration, QColor(0xd6, 0x27, 0x28)));
    page.show();
    if (!page.grab().save(arguments.last())) {
        std::fprintf(stderr, "plotcapture: cannot write %s\n", qPrintable(arguments.last()));
        return 1;
    }
    return 0;
}
