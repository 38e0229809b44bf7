// Streams a sample file through the real AppWorker and SpiDev to the virtual
// DAC, then does the same with a python3-spidev loop, and prints one table of
// pacing, CPU and allocation figures with our figures as ratios to Python's.
//
// usage: bench_output [--seconds N] [--warmup N] [SAMPLE_FILE]
//        bench_output --loaded [--seconds N] [--warmup N] [SAMPLE_FILE]
//        bench_output --rate HZ [--loaded] [--seconds N] [SAMPLE_FILE]
//        bench_output --loading [SAMPLE_FILE]
//        bench_output --flood QUERIES [SAMPLE_FILE]
//        bench_output --soak MINUTES [SAMPLE_FILE]
//        bench_output --sync [--loaded] [--seconds N] [RECORD]
// The loaded mode streams without load, then under stress-ng (every core busy,
// memory and I/O pressure) with the output thread real-time, with it turned
// back to normal scheduling, and the Python loop, and prints them side by side.
// The rate mode streams on the exact clock at that rate beside cyclictest and
// the Python loop given the same deadlines, unloaded and with --loaded also
// under load. The loading mode repeats the recording to a day as a WFDB record,
// an EDF+ file and a CSV file, and times the program (in a process of its own
// for each, for its peak memory) from the choice to the chart and from the
// switch-on to the first frame, beside cat and python3-mne. The flood mode runs
// the headless program at 360 samples/s while a client sends that many
// queries at once, then idle for as long. The soak streams for that long and
// reports each minute. The sync mode plays an annotated record at its rate
// with the sync line off and on, unloaded and with --loaded under load, and
// reports the pace and each pulse's delay after its beat's frame.

#include "loading.h"
#include "loadsignal.h"
#include "measure.h"
#include "outputsettings.h"
#include "runs.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>

#include <cstdio>

namespace {

// Captures and written files go to memory: on the disk, a loaded run would
// measure the disk's writes as much as the loop.
const QString inMemory = QDir("/dev/shm").filePath("bench_output-XXXXXX");

void quietMessages(QtMsgType, const QMessageLogContext &, const QString &) {}


void printMachine(QTextStream &out)
{
    QFile loadAverage("/proc/loadavg");
    loadAverage.open(QIODevice::ReadOnly);
    out << "Machine: " << cpuModel() << ", " << QThread::idealThreadCount() << " cores, "
        << QSysInfo::kernelType() << ' ' << QSysInfo::kernelVersion() << ", Qt " << qVersion()
        << "; load average " << loadAverage.readAll().split(' ').mid(0, 3).join(' ') << "\n";
}

// Background load for as long as it exists; false when stress-ng did not start.
class Load
{
public:
    Load(const QStringList &arguments, double seconds)
    {
        stress.start("stress-ng", arguments + QStringList{"--timeout", QString("%1s").arg(int(seconds))});
        started = stress.waitForStarted();
        if (started)
            QThread::sleep(2);
        else
            std::fprintf(stderr, "cannot start stress-ng (package stress-ng)\n");
    }
    ~Load()
    {
        stress.terminate();
        stress.waitForFinished();
    }
    bool started = false;

private:
    QProcess stress;
};

// Captures go to memory (tmpfs), so that writing them cannot stall the loops
// under I/O load.
int loadedComparison(const QString &samples, double seconds, double warmup, const QStringList &load)
{
    QTemporaryDir dir(inMemory);
    const QString scheduling = outputScheduling(samples);
    const Pacing unloaded = streamWithWorker(samples, seconds, warmup, dir.filePath("unloaded.csv"));

    auto stress = std::make_unique<Load>(load, 5 * (seconds + warmup) + 30);
    if (!stress->started)
        return 1;
    const Pacing loaded = streamWithWorker(samples, seconds, warmup, dir.filePath("loaded.csv"));
    const Pacing normal =
        streamWithWorker(samples, seconds, warmup, dir.filePath("normal.csv"), Scheduling::Normal);
    const Pacing python = streamWithPython(samples, seconds, warmup, dir.filePath("python.csv"));
    const Pacing bare = bareRealtimeLoop(seconds);
    stress.reset();
    qInstallMessageHandler(nullptr);

    QTextStream out(stdout);
    printMachine(out);
    out << "Streaming " << seconds << " s after " << warmup << " s of warm-up, virtual DAC at 100 kHz; "
        << "output thread: " << scheduling << "\n";
    out << "Load: stress-ng " << load.join(' ') << "\n\n";
    out << "| run | samples/s | period median (us) | period p99 (us) | period max (us) | periods > "
        << figure(2 * nominalPeriodUs / 1000, 2) << " ms | share |\n|---|---:|---:|---:|---:|---:|---:|\n";
    const auto row = [&](const char *name, const Pacing &pacing) {
        out << "| " << name << " | " << figure(pacing.samplesPerSecond) << " | " << figure(pacing.periodMedianUs)
            << " | " << figure(pacing.periodP99Us) << " | " << figure(pacing.periodMaxUs) << " | "
            << figure(pacing.periodsOverTwiceNominal, 0) << " | "
            << figure(100 * pacing.periodsOverTwiceNominal / pacing.frames, 3) << " % |\n";
    };
    row("unloaded, AppWorker + SpiDev", unloaded);
    row("loaded, AppWorker + SpiDev, real-time", loaded);
    row("loaded, AppWorker + SpiDev, real-time off", normal);
    row("loaded, python3-spidev loop", python);
    row("loaded, bare SCHED_FIFO sleep loop (the machine's floor)", bare);
    out << "\nLoaded with real-time against unloaded: rate "
        << figure(100 * (loaded.samplesPerSecond / unloaded.samplesPerSecond - 1), 2) << " %, p99 "
        << figure((loaded.periodP99Us - unloaded.periodP99Us) / 1000, 3) << " ms\n";
    return 0;
}

// Our loop, the machine's floor and the Python loop on the same deadlines,
// unloaded and, if asked, under load.
int rateComparison(const QString &samples, double rate, double seconds, double warmup, const QStringList *load)
{
    QTemporaryDir dir(inMemory);
    const QString scheduling = outputScheduling(samples);
    struct Row
    {
        QString name;
        ClockKeeping keeping;
    };
    QVector<Row> rows;
    const auto runAll = [&](const QString &conditions) {
        const QString capture = dir.filePath(conditions + ".csv");
        rows.append({conditions + ", AppWorker + SpiDev",
                     clockKeepingOf(streamWithWorker(samples, seconds, warmup, capture, Scheduling::AsAsked, rate).timesNs,
                                    rate)});
        rows.append({conditions + ", cyclictest --laptop (the floor: idle states left alone, as by the program)",
                     cyclictest(rate, seconds, true)});
        rows.append({conditions + ", cyclictest (idle states off: /dev/cpu_dma_latency held at 0)",
                     cyclictest(rate, seconds, false)});
        rows.append({conditions + ", python3-spidev loop, same deadlines",
                     clockKeepingOf(streamWithPython(samples, seconds, warmup, capture, rate).timesNs, rate)});
    };
    runAll("unloaded");
    if (load) {
        Load stress(*load, 3 * (seconds + warmup) + 60);
        if (!stress.started)
            return 1;
        runAll("loaded");
    }
    qInstallMessageHandler(nullptr);

    QTextStream out(stdout);
    printMachine(out);
    out << "Rate " << rate << " samples/s, " << seconds << " s per run after " << warmup
        << " s of warm-up, virtual DAC at 100 kHz; output thread: " << scheduling << "\n";
    if (load)
        out << "Load: stress-ng " << load->join(' ') << "\n";
    out << "\n| run | frames | rate error (ppm) | lateness median (us) | lateness p99 (us) | lateness max (us) "
           "| clock restarts |\n|---|---:|---:|---:|---:|---:|---:|\n";
    for (const Row &row : rows) {
        const ClockKeeping &k = row.keeping;
        out << "| " << row.name << " | " << figure(k.frames, 0) << " | " << figure(k.rateErrorPpm, 1) << " | "
            << figure(k.latenessMedianUs) << " | " << figure(k.latenessP99Us) << " | " << figure(k.latenessMaxUs)
            << " | " << figure(k.restarts, 0) << " |\n";
    }
    return 0;
}

// The three 24-hour files of a day's monitoring, in memory; for each, the
// program from the choice to the chart and from the switch-on to the first
// frame, beside cat's read of the same bytes and python3-mne's of the EDF+.
int loadingComparison(const QString &samples)
{
    QTemporaryDir dir(inMemory);
    constexpr int day = 24 * 3600 * 360;
    struct File
    {
        QString name;
        QString path;
        QStringList bytes; // what cat reads
    };
    const QString record = writeLongRecord(samples, day, dir.filePath("day.hea"));
    const QString edf = writeLongRecord(samples, day, dir.filePath("day.edf"));
    const QString csv = writeLongFile(samples, day, dir.filePath("day.csv"));
    const QVector<File> files{{"two signals, WFDB format 212", record, {record, dir.filePath("day.dat")}},
                              {"two signals, EDF+", edf, {edf}},
                              {"CSV, 31,104,000 lines", csv, {csv}}};
    QTextStream out(stdout);
    printMachine(out);
    out << "24 hours at 360 samples/s in /dev/shm; the program in a process of its own for each file, its window "
           "offscreen, the virtual DAC at 100 kHz; stall = the longest gap between a 1 ms timer's ticks in the "
           "main thread; peak = the process's VmHWM\n\n"
        << "| file | size (MB) | cat > /dev/null (ms) | charted (ms) | longest stall (ms) | switched on (ms) "
           "| touched: switched on, re-read (ms) | longest stall (ms) | peak once charted (MB) | peak (MB) |\n"
           "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n";
    const auto megabytes = [](double bytes) { return figure(bytes / (1 << 20), 0); };
    double edfCatMs = NAN;
    Loading edfLoading;
    for (const File &file : files) {
        qint64 size = 0;
        for (const QString &bytes : file.bytes)
            size += QFileInfo(bytes).size();
        catMs(file.bytes);
        const double floorMs = catMs(file.bytes);
        const Loading loading = measureLoading(file.path);
        if (file.path == edf) {
            edfCatMs = floorMs;
            edfLoading = loading;
        }
        out << "| " << file.name << " | " << megabytes(size) << " | " << figure(floorMs) << " | "
            << figure(loading.chartedMs, 0) << " | " << figure(loading.readStallMs) << " | "
            << figure(loading.switchOnMs) << " | " << figure(loading.rereadMs, 0) << " | "
            << figure(loading.rereadStallMs) << " | " << megabytes(loading.chartedPeakKiB * 1024.0) << " | "
            << megabytes(loading.peakKiB * 1024.0) << " |"
            << (loading.ok ? "" : " FAILED") << Qt::endl;
    }
    const PeerRead mne = mneRead(edf);
    out << "\n| the EDF+ file read whole | time (ms) | peak (MB) |\n|---|---:|---:|\n"
        << "| cat > /dev/null (the floor) | " << figure(edfCatMs) << " | n/a |\n"
        << "| ecg-simulator, choice to chart drawn | " << figure(edfLoading.chartedMs, 0) << " | "
        << megabytes(edfLoading.chartedPeakKiB * 1024.0) << " |\n"
        << "| python3-mne read_raw_edf(preload=True), the import left out | "
        << (mne.ok ? figure(mne.readMs, 0) : QString("not run")) << " | "
        << (mne.ok ? megabytes(mne.peakKiB * 1024.0) : QString("n/a")) << " |\n"
        << "| python3-mne's import | " << (mne.ok ? figure(mne.importMs, 0) : QString("not run")) << " | n/a |\n";
    return 0;
}

// The headless program's output while a client floods it with queries, and
// idle for as long.
int floodComparison(const QString &samples, long queries)
{
    QTemporaryDir dir(inMemory);
    const Headless flood = runHeadless(samples, dir.path(), queries, 0);
    const Headless idle = runHeadless(samples, dir.path(), 0, flood.seconds);
    QTextStream out(stdout);
    printMachine(out);
    out << "ecg-simulator --play " << QFileInfo(samples).fileName()
        << " --rate 360 --listen 127.0.0.1:PORT on the virtual DAC at 100 kHz, measured after 3 s\n\n"
        << "| run | time (s) | answers | frames | frames/s | largest gap between frames (ms) | late samples |\n"
           "|---|---:|---:|---:|---:|---:|---:|\n";
    const auto row = [&](const QString &name, const Headless &run) {
        out << "| " << name << " | " << figure(run.seconds, 2) << " | " << run.answers << " | "
            << figure(run.frames, 0) << " | " << figure(run.framesPerSecond, 2) << " | "
            << figure(run.largestGapMs, 2) << " | " << run.lateSamples << " |\n";
    };
    row(QString("%1 SOUR:POS? in a burst").arg(queries), flood);
    row("idle", idle);
    return 0;
}

// The annotated record at its rate, the sync line off then on: the pace, and
// how long after its frame each pulse rises.
int syncComparison(const QString &record, double seconds, double warmup, const QStringList *load)
{
    QTemporaryDir dir(inMemory);
    const std::shared_ptr<SampleList> list = loadSignal(record, 0).list;
    if (!list || list->rate <= 0) {
        std::fprintf(stderr, "%s is no record with a rate\n", qPrintable(record));
        return 1;
    }
    struct Row
    {
        QString name;
        ClockKeeping keeping;
        std::vector<double> delaysUs;
        bool sync;
    };
    QVector<Row> rows;
    const auto runBoth = [&](const QString &conditions) {
        for (const bool sync : {false, true}) {
            const QString edges = sync ? dir.filePath(conditions + "-edges.csv") : QString();
            const Pacing pacing = streamWithWorker(record, seconds, warmup, dir.filePath(conditions + ".csv"),
                                                   Scheduling::AsAsked, list->rate, edges);
            rows.append({conditions + (sync ? ", sync on" : ", sync off"), clockKeepingOf(pacing.timesNs, list->rate),
                         sync ? edgeDelaysUs(pacing.timesNs, edges) : std::vector<double>(), sync});
        }
    };
    runBoth("unloaded");
    if (load) {
        Load stress(*load, 2 * (seconds + warmup) + 60);
        if (!stress.started)
            return 1;
        runBoth("loaded");
    }
    qInstallMessageHandler(nullptr);

    QTextStream out(stdout);
    printMachine(out);
    out << QFileInfo(record).fileName() << " at " << list->rate << " samples/s, " << seconds << " s per run after "
        << warmup << " s of warm-up, virtual DAC at 100 kHz, sync line on the virtual GPIO chip\n";
    if (load)
        out << "Load: stress-ng " << load->join(' ') << "\n";
    out << "\n| run | frames | rate error (ppm) | lateness median (us) | lateness p99 (us) | lateness max (us) "
           "| pulses | edge after its frame: median (us) | p99 (us) | max (us) |\n"
           "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n";
    for (const Row &row : rows) {
        const ClockKeeping &k = row.keeping;
        const auto delay = [&](double p) {
            return row.sync && !row.delaysUs.empty() ? figure(percentile(row.delaysUs, p)) : QString("n/a");
        };
        out << "| " << row.name << " | " << figure(k.frames, 0) << " | " << figure(k.rateErrorPpm, 1) << " | "
            << figure(k.latenessMedianUs) << " | " << figure(k.latenessP99Us) << " | " << figure(k.latenessMaxUs)
            << " | " << (row.sync ? figure(double(row.delaysUs.size()), 0) : QString("n/a")) << " | " << delay(0.5)
            << " | " << delay(0.99) << " | " << delay(1) << " |\n";
    }
    return 0;
}

// The annotated record once, its sync pulses echoed as a monitor's
// detections: where each was placed, idle and under load.
int detectionComparison(const QString &record, const QStringList &load)
{
    QTemporaryDir dir(inMemory);
    QVector<QPair<QString, DetectionPlacement>> rows;
    rows.append({"idle", runDetection(record, dir.path())});
    {
        Load stress(load, 180);
        if (!stress.started)
            return 1;
        QDir().mkpath(dir.filePath("loaded"));
        rows.append({"loaded", runDetection(record, dir.filePath("loaded"))});
    }
    qInstallMessageHandler(nullptr);
    QTextStream out(stdout);
    printMachine(out);
    out << QFileInfo(record).fileName() << " played once at its rate, the sync line echoed at once onto the "
           "detection line by the virtual monitor\nLoad: stress-ng " << load.join(' ') << "\n\n"
        << "| run | beats | detections | on their beat's sample | edge after its frame: median (us) | p99 (us) | max (us) |\n"
           "|---|---:|---:|---:|---:|---:|---:|\n";
    for (const auto &[name, placed] : rows) {
        const auto error = [&](double p) { return placed.errorsUs.empty() ? QString("n/a") : figure(percentile(placed.errorsUs, p)); };
        out << "| " << name << " | " << placed.beats << " | " << placed.errorsUs.size() << " | " << placed.onTheirBeat
            << " | " << error(0.5) << " | " << error(0.99) << " | " << error(1) << " |\n";
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOption({"seconds", "Streaming time of each loop, in seconds.", "seconds", "10"});
    parser.addOption({"warmup", "Time left out before measuring, in seconds.", "seconds", "1"});
    parser.addOption({"soak", "Stream for this long, reporting each minute.", "minutes"});
    parser.addOption({"loaded", "Compare streaming without and with background load (stress-ng)."});
    const QString defaultLoad =
        QString("--cpu %1 --vm 1 --vm-bytes 25% --hdd 1 --hdd-bytes 256M").arg(2 * QThread::idealThreadCount());
    parser.addOption({"load", "stress-ng arguments of the load.", "arguments", defaultLoad});
    parser.addOption({"rate", "Stream on the exact clock at this many samples per second.", "samples/s"});
    parser.addOption({"loading", "Read 24-hour files with the program, cat and python3-mne."});
    parser.addOption({"flood", "Stream while a client sends this many queries at once.", "queries"});
    parser.addOption({"sync", "Play an annotated record with the sync line off and on."});
    parser.addOption({"detect", "Play an annotated record once, its pulses echoed as detections, idle and loaded."});
    QCommandLineOption loadingChild("loading-child", "One file, for --loading's child processes.", "file");
    loadingChild.setFlags(QCommandLineOption::HiddenFromHelp);
    parser.addOption(loadingChild);
    parser.addPositionalArgument("samples", "Sample file (default: the recorded excerpt).");
    parser.process(application);
    const double seconds = parser.value("seconds").toDouble();
    const double warmup = parser.value("warmup").toDouble();
    const QString samples =
        parser.positionalArguments().value(0, parser.isSet("sync") || parser.isSet("detect") ? ANNOTATED_RECORD
                                                                                            : RECORDED_SAMPLE_FILE);
    if (!QFile::exists(samples)) {
        std::fprintf(stderr, "no sample file %s\n", qPrintable(samples));
        return 1;
    }

    qInstallMessageHandler(quietMessages);
    if (parser.isSet(loadingChild))
        return runLoading(parser.value(loadingChild));
    if (parser.isSet("loading"))
        return loadingComparison(samples);
    if (parser.isSet("flood"))
        return floodComparison(samples, parser.value("flood").toLong());
    if (parser.isSet("soak"))
        return soak(samples, parser.value("soak").toInt());
    const QStringList load = parser.value("load").split(' ', Qt::SkipEmptyParts);
    if (parser.isSet("detect"))
        return detectionComparison(samples, load);
    if (parser.isSet("sync"))
        return syncComparison(samples, parser.isSet("seconds") ? seconds : 60, warmup,
                              parser.isSet("loaded") ? &load : nullptr);
    if (parser.isSet("rate"))
        return rateComparison(samples, parser.value("rate").toDouble(), parser.isSet("seconds") ? seconds : 60, warmup,
                              parser.isSet("loaded") ? &load : nullptr);
    if (parser.isSet("loaded"))
        return loadedComparison(samples, seconds, warmup, load);

    QTemporaryDir dir(inMemory);
    const Pacing ours = streamWithWorker(samples, seconds, warmup, dir.filePath("worker.csv"));
    const Pacing python = streamWithPython(samples, seconds, warmup, dir.filePath("python.csv"));
    const double floorUs = sleepFloorUs(seconds);
    qInstallMessageHandler(nullptr);

    QTextStream out(stdout);
    printMachine(out);
    out << "Streaming " << seconds << " s after " << warmup << " s of warm-up, virtual DAC at 100 kHz\n";
    out << "Two bare sleeps per sample (240 us, 2 ms) cost " << figure(floorUs, 2) << " us of CPU\n\n";
    out << "| figure | AppWorker + SpiDev | python3-spidev loop | ratio |\n|---|---:|---:|---:|\n";
    const auto row = [&](const char *name, double mine, double theirs, int decimals) {
        out << "| " << name << " | " << figure(mine, decimals) << " | " << figure(theirs, decimals) << " | "
            << ratio(mine, theirs) << " |\n";
    };
    row("frames measured", ours.frames, python.frames, 0);
    row("samples per second", ours.samplesPerSecond, python.samplesPerSecond, 1);
    row("period median (us)", ours.periodMedianUs, python.periodMedianUs, 1);
    row("period p99 (us)", ours.periodP99Us, python.periodP99Us, 1);
    row("period max (us)", ours.periodMaxUs, python.periodMaxUs, 1);
    row("overrun past 2 ms + 240 us, median (us)", ours.overrunMedianUs, python.overrunMedianUs, 1);
    row("overrun past 2 ms + 240 us, p99 (us)", ours.overrunP99Us, python.overrunP99Us, 1);
    row("CPU time per sample, output thread (us)", ours.cpuPerSampleUs, python.cpuPerSampleUs, 2);
    row("CPU time per sample beyond the two sleeps (us)", ours.cpuPerSampleUs - floorUs,
        python.cpuPerSampleUs - floorUs, 2);
    row("heap allocations per streaming pass", ours.allocationsPerPass, NAN, 3);
    return 0;
}
