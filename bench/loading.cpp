#include "loading.h"

#include "app.h"
#include "fakespidev.h"
#include "mainui.h"
#include "measure.h"
#include "records.h"
#include "runningapp.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <tuple>

#include <fcntl.h>
#include <sys/stat.h>

namespace {

long peakResidentKiB()
{
    return procValue("/proc/self/status", "VmHWM").split(' ').value(0).toLong();
}

// Runs the main thread's event loop with a 1 ms timer until done() holds or
// timeoutMs have passed. The longest gap between its ticks, from sinceNs on
// (the command's call included), is the longest the event loop was held: by
// the command, by a slot, by a read that would block it.
double tickUntil(const std::function<bool()> &done, std::int64_t sinceNs, int timeoutMs = 60000)
{
    QEventLoop loop;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    std::int64_t lastNs = sinceNs;
    double longestMs = 0;
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const std::int64_t nowNs = monotonicNs();
        longestMs = std::max(longestMs, (nowNs - lastNs) / 1e6);
        lastNs = nowNs;
        if (done() || nowNs - sinceNs > std::int64_t(timeoutMs) * 1000000)
            loop.quit();
    });
    tick.start(1);
    loop.exec();
    return longestMs;
}

// From sinceNs to the end of the first transfer after the first count, in ms.
double firstFrameMs(std::size_t count, std::int64_t sinceNs)
{
    const std::vector<fakespidev::Transfer> sent = fakespidev::transfers();
    return sent.size() > count ? (sent[count].timeNs - sinceNs) / 1e6 : NAN;
}

// Switches on and waits for the first frame; the time to it and the longest stall.
std::pair<double, double> switchOn(Playback *playback, bool *refused)
{
    const std::size_t sent = fakespidev::transferCount();
    const std::int64_t fromNs = monotonicNs();
    playback->setPlaying(true, [refused](const Refusal &refusal) { *refused = *refused || refusal; });
    const double stallMs = tickUntil([&] { return *refused || fakespidev::transferCount() > sent; }, fromNs);
    return {firstFrameMs(sent, fromNs), stallMs};
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

int runLoading(const QString &path)
{
    fakespidev::reset();
    fakespidev::setWireTime(true);
    RunningApp user;
    Playback *playback = user.app->playback();
    // The window shown and the device open before the choice.
    tickUntil([] { return fakespidev::openCount() > 0; }, monotonicNs(), 5000);
    tickUntil([] { return false; }, monotonicNs(), 200);

    Loading figures;
    bool refused = false;
    const std::int64_t choiceNs = monotonicNs();
    playback->choose(path, QString(), Playback::When::AtNextStart,
                     [&](const Refusal &refusal) { refused = refused || refusal; });
    figures.readStallMs = tickUntil([&] { return refused || playback->list(); }, choiceNs);
    user.window->grab();
    figures.chartedMs = (monotonicNs() - choiceNs) / 1e6;
    figures.chartedPeakKiB = peakResidentKiB();

    figures.switchOnMs = switchOn(playback, &refused).first;
    playback->setPlaying(false);
    tickUntil([] { return false; }, monotonicNs(), 200);
    // Modified now, as far as the program can tell: the switch-on reads it again.
    utimensat(AT_FDCWD, QFile::encodeName(path).constData(), nullptr, 0);
    std::tie(figures.rereadMs, figures.rereadStallMs) = switchOn(playback, &refused);

    const bool ok = !refused && user.quit() == 0;
    std::printf("%.1f %.1f %.1f %.1f %.1f %ld %ld %d\n", figures.chartedMs, figures.readStallMs, figures.switchOnMs,
                figures.rereadMs, figures.rereadStallMs, figures.chartedPeakKiB, peakResidentKiB(), ok);
    return 0;
}

Loading measureLoading(const QString &path)
{
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(), {"--loading-child", path});
    Loading measured;
    if (!child.waitForFinished(600000) || child.exitCode() != 0) {
        std::fprintf(stderr, "loading %s failed: %s\n", qPrintable(path), child.readAllStandardError().constData());
        return measured;
    }
    const QList<QByteArray> figures = child.readAllStandardOutput().simplified().split(' ');
    measured.chartedMs = figures.value(0).toDouble();
    measured.readStallMs = figures.value(1).toDouble();
    measured.switchOnMs = figures.value(2).toDouble();
    measured.rereadMs = figures.value(3).toDouble();
    measured.rereadStallMs = figures.value(4).toDouble();
    measured.chartedPeakKiB = figures.value(5).toLong();
    measured.peakKiB = figures.value(6).toLong();
    measured.ok = figures.value(7) == "1";
    return measured;
}

double catMs(const QStringList &files)
{
    QProcess cat;
    cat.setStandardOutputFile(QProcess::nullDevice());
    QElapsedTimer timer;
    timer.start();
    cat.start("cat", files);
    cat.waitForFinished(-1);
    return cat.exitCode() == 0 ? timer.nsecsElapsed() / 1e6 : NAN;
}

PeerRead mneRead(const QString &path)
{
    static const char *const script = R"(import sys, time
start = time.monotonic()
import mne
imported = time.monotonic()
mne.io.read_raw_edf(sys.argv[1], preload=True, verbose="error")
read = time.monotonic()
peak = next(line.split()[1] for line in open("/proc/self/status") if line.startswith("VmHWM"))
print((imported - start) * 1000, (read - imported) * 1000, peak)
)";
    QProcess python;
    python.start("/usr/bin/python3", {"-c", script, path});
    PeerRead peer;
    if (!python.waitForFinished(600000) || python.exitCode() != 0) {
        std::fprintf(stderr, "python3-mne failed (package python3-mne): %s\n",
                     python.readAllStandardError().constData());
        return peer;
    }
    const QList<QByteArray> figures = python.readAllStandardOutput().simplified().split(' ');
    peer.importMs = figures.value(0).toDouble();
    peer.readMs = figures.value(1).toDouble();
    peer.peakKiB = figures.value(2).toLong();
    peer.ok = true;
    return peer;
}
