// Turns a virtual-DAC capture into a picture: the DAC's reconstructed output
// over time, and below it the source sample file on the same time scale.
//
// usage: plotcapture CAPTURE.csv SOURCE.csv OUTPUT.png

#include <QApplication>
#include <QChartView>
#include <QFile>
#include <QLineSeries>
#include <QValueAxis>
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
};

Capture readCapture(const QString &path)
{
    Capture capture;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return capture;
    file.readLine();
    QVector<double> times;
    double previousVolts = 0;
    while (!file.atEnd()) {
        const QList<QByteArray> fields = file.readLine().split(',');
        if (fields.size() < 4)
            continue;
        const double seconds = fields[0].toLongLong() / 1e9;
        const double volts = fields[2].toDouble();
        if (!times.isEmpty())
            capture.output.append(QPointF(seconds, previousVolts));
        capture.output.append(QPointF(seconds, volts));
        if (fields[3].toInt() == 1 && fields[1].toInt() > 0)
            capture.vref = volts * 65536.0 / fields[1].toInt();
        previousVolts = volts;
        times.append(seconds);
    }
    if (times.isEmpty())
        return capture;
    for (QPointF &point : capture.output)
        point.setX(point.x() - times.first());
    QVector<double> periods;
    for (int i = 1; i < times.size(); ++i)
        periods.append(times[i] - times[i - 1]);
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
    chart->createDefaultAxes();
    auto *x = static_cast<QValueAxis *>(chart->axes(Qt::Horizontal).first());
    x->setRange(0, duration);
    x->setTitleText("temps (s)");
    chart->axes(Qt::Vertical).first()->setTitleText("tension (V)");
    auto *view = new QChartView(chart);
    view->setRenderHint(QPainter::Antialiasing);
    return view;
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    const QStringList arguments = application.arguments();
    if (arguments.size() != 4) {
        std::fprintf(stderr, "usage: plotcapture CAPTURE.csv SOURCE.csv OUTPUT.png\n");
        return 2;
    }
    const Capture capture = readCapture(arguments[1]);
    if (capture.output.isEmpty()) {
        std::fprintf(stderr, "plotcapture: no transfers in %s\n", qPrintable(arguments[1]));
        return 1;
    }
    const double duration = capture.output.last().x();

    QWidget page;
    page.resize(1400, 900);
    auto *layout = new QVBoxLayout(&page);
    layout->addWidget(chartOf(QString("Sortie reconstruite du DAC8551 (%1 trames, période médiane %2 ms)")
                                  .arg(capture.output.size() / 2)
                                  .arg(capture.medianPeriod * 1e3, 0, 'f', 3),
                              capture.output, duration, QColor(0x1f, 0x77, 0xb4)));
    layout->addWidget(chartOf("Fichier source, un échantillon par période médiane",
                              readSource(arguments[2], capture, duration), duration, QColor(0xd6, 0x27, 0x28)));
    page.show();
    if (!page.grab().save(arguments[3])) {
        std::fprintf(stderr, "plotcapture: cannot write %s\n", qPrintable(arguments[3]));
        return 1;
    }
    return 0;
}
