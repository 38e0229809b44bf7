#include "loading.h"

#include "appworker.h"
#include "fakespidev.h"
#include "loadsignal.h"
#include "measure.h"
#include "outputsettings.h"
#include "waveformview.h"
#include "recordreader.h"
#include "records.h"
#include "mainui.h"
#include "runningapp.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QPushButton>
#include <QTest>

#include <cstdio>

namespace {

long peakResidentKiB()
{
    return procValue("/proc/self/status", "VmHWM").split(' ').value(0).toLong();
}

// The file read and drawn as the window reads and draws it.
double previewAndDraw(const QString &path)
{
    QElapsedTimer timer;
    timer.start();
    const LoadedSignal loaded = loadSignal(path, 0, OutputSettings().fullScaleMv);
    WaveformView view;
    view.resize(1281, 439);
    if (loaded.list)
        view.setSignal(loaded.envelope, loaded.list->rate,
                       loaded.list->isRecord() ? std::optional<double>(loaded.list->fullScaleMv) : std::nullopt);
    view.grab();
    return timer.nsecsElapsed() / 1e6;
}

// The first count codes of the file's first signal, as the DAC receives them.
QVector<quint16> fileCodes(const QString &path, long count)
{
    const LoadedSignal loaded = loadSignal(path, 0, OutputSettings().fullScaleMv);
    QVector<quint16> codes;
    if (loaded.list)
        codes = QVector<quint16>(loaded.list->codes.begin(), loaded.list->codes.begin() + qMin<qint64>(count, loaded.list->size()));
    return codes;
}

// The window chooses the file and switches on; the output streams to the
// virtual DAC; then Quit. Every frame must be the file's value at its place.
int runProgram(const QString &path, int streamSeconds)
{
    fakespidev::reset();
    fakespidev::setWireTime(true);
    RunningApp user;
    QElapsedTimer timer;
    timer.start();
    // The file dialog takes the path as it would be typed, without "..";
    // of a record's two signals, the first is taken.
    user.choose(QFileInfo(path).canonicalFilePath(), [](QWidget *signalList) {
        QTest::keyClick(signalList, Qt::Key_Return);
        return true;
    });
    user.window->grab();
    const double chooseMs = timer.nsecsElapsed() / 1e6;
    timer.restart();
    user.click("btnSimu");
    fakespidev::waitForTransfers(1, 60000);
    const double switchOnMs = timer.nsecsElapsed() / 1e6;
    QTest::qWait(streamSeconds * 1000);
    const int status = user.quit();

    // The file's values from the first, wrapping at its end.
    const std::vector<fakespidev::Transfer> transfers = fakespidev::transfers();
    const QVector<quint16> expected = fileCodes(path, long(transfers.size()));
    bool same = !expected.isEmpty();
    for (std::size_t i = 0; same && i < transfers.size(); ++i)
        same = quint16(transfers[i].tx.at(1) << 8 | transfers[i].tx.at(2)) == expected.at(int(i % expected.size()));
    std::printf("%.1f %.1f %zu %ld %d\n", chooseMs, switchOnMs, transfers.size(), peakResidentKiB(),
                same && status == 0);
    return 0;
}

} // namespace

QString writeLongFile(const QString &samples, long lines, const QString &path)
{
    QFile source(samples);
    source.open(QIODevice::ReadOnly | QIODevice::Text);
    QList<QByteArray> recording;
    for (const QByteArray &line : source.readAll().split('\n')) {
        if (!line.trimmed().isEmpty())
            recording.append(line + '\n');
    }
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    for (long n = 0; !recording.isEmpty() && n < lines; ++n)
        file.write(recording.at(int(n % recording.size())));
    return path;
}

QString writeLongRecord(const QString &samples, int count, const QString &path)
{
    QFile source(samples);
    source.open(QIODevice::ReadOnly | QIODevice::Text);
    QVector<int> recording;
    for (const QByteArray &line : source.readAll().split('\n')) {
        if (!line.trimmed().isEmpty())
            recording.append(line.trimmed().toInt());
    }
    QVector<int> both(2 * count);
    for (int i = 0; i < count; ++i) {
        both[2 * i] = recording.at(i % recording.size());
        both[2 * i + 1] = 2048 - both[2 * i];
    }
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    if (path.endsWith(".edf")) {
        // Digital values in tenths of a microvolt over the baseline.
        QVector<int> first(count);
        QVector<int> second(count);
        for (int i = 0; i < count; ++i) {
            first[i] = (both[2 * i] - 1024) * 50;
            second[i] = (both[2 * i + 1] - 1024) * 50;
        }
        file.write(edfFile({{"MLII", "uV", 0.1, 360, first}, {"V1", "uV", 0.1, 360, second}}, count / 360, "1"));
        return path;
    }
    const QString data = QFileInfo(path).completeBaseName() + ".dat";
    file.write(QString("%1 2 360 %2\n%3 212 200(1024)/mV 11 1024 0 0 0 MLII\n%3 212 200(1024)/mV 11 1024 0 0 0 V1\n")
                   .arg(QFileInfo(path).completeBaseName())
                   .arg(count)
                   .arg(data)
                   .toUtf8());
    QFile signalFile(QFileInfo(path).dir().filePath(data));
    signalFile.open(QIODevice::WriteOnly);
    signalFile.write(wfdbSamples(212, both));
    return path;
}

int runStep(const QString &step, const QString &path, int streamSeconds)
{
    if (step == "program")
        return runProgram(path, streamSeconds);
    QElapsedTimer timer;
    timer.start();
    double ms = 0;
    if (step == "preview") {
        ms = previewAndDraw(path);
    } else {
        loadSignal(path, 0, OutputSettings().fullScaleMv);
        ms = timer.nsecsElapsed() / 1e6;
    }
    std::printf("%.1f 0 0 %ld 1\n", ms, peakResidentKiB());
    return 0;
}

Step measureStep(const QString &step, const QString &path, int streamSeconds)
{
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(),
                {"--step", step, "--seconds", QString::number(streamSeconds), path});
    Step measured;
    if (!child.waitForFinished((streamSeconds + 600) * 1000) || child.exitCode() != 0) {
        std::fprintf(stderr, "%s of %s failed: %s\n", qPrintable(step), qPrintable(path),
                     child.readAllStandardError().constData());
        return measured;
    }
    const QList<QByteArray> figures = child.readAllStandardOutput().simplified().split(' ');
    measured.ms = figures.value(0).toDouble();
    measured.extraMs = figures.value(1).toDouble();
    measured.frames = figures.value(2).toLong();
    measured.peakKiB = figures.value(3).toLong();
    measured.ok = figures.value(4) == "1";
    return measured;
}
