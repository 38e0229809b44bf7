// Streams a sample file through the real AppWorker and SpiDev to the virtual
// DAC, then does the same with a python3-spidev loop, and prints one table of
// pacing, CPU and loading figures with our figures as ratios to Python's.
//
// usage: bench_output [--seconds N] [--warmup N] [SAMPLE_FILE]
//        bench_output --loaded [--seconds N] [--warmup N] [SAMPLE_FILE]
//        bench_output --rate HZ [--loaded] [--seconds N] [SAMPLE_FILE]
//        bench_output --loading [--seconds N] [SAMPLE_FILE]
//        bench_output --soak MINUTES [SAMPLE_FILE]
// The loaded mode streams without load, then under stress-ng (every core busy,
// memory and I/O pressure) with the output thread real-time, with it turned
// back to normal scheduling, and the Python loop, and prints them side by side.
// The rate mode streams on the exact clock at that rate beside cyclictest and
// the Python loop given the same deadlines, unloaded and with --loaded also
// under load. The loading mode previews and loads the recording, a million
// lines and a 24-hour recording (the recording repeated), each in a process of
// its own for its peak memory, then runs the program on each through its
// window for N seconds (default 60). The soak streams for that long and
// reports each minute.

#include "loading.h"
#include "measure.h"
#include "runs.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QFile>
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
    out << "Machine: " << cpuModel() << ", " << QThread::idealThreadCount() << " cores, "
        << QSysInfo::kernelType() << ' ' << QSysInfo::kernelVersion() << ", Qt " << qVersion() << "\n";
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

int loadingComparison(const QString &samples, int streamSeconds)
{
    QTemporaryDir dir(inMemory);
    struct File
    {
        QString name;
        QString path;
    };
    const QVector<File> files{{"the recording, 3,600 lines", samples},
                              {"1,000,000 lines", writeLongFile(samples, 1000000, dir.filePath("million.csv"))},
                              {"24 hours at 360/s, 31,104,000 lines",
                               writeLongFile(samples, 31104000, dir.filePath("day.csv"))},
                              {"24 hours at 360/s, two signals, WFDB format 212",
                               writeLongRecord(samples, 31104000, dir.filePath("day.hea"))},
                              {"24 hours at 360/s, two signals, EDF+",
                               writeLongRecord(samples, 31104000, dir.filePath("day.edf"))}};
    QTextStream out(stdout);
    printMachine(out);
    out << "Each step in a process of its own; peak = its peak resident memory (VmHWM)\n\n"
        << "| file | preview, chart drawn (ms) | peak (MB) | loadFile (ms) | peak (MB) |\n|---|---:|---:|---:|---:|\n";
    const auto megabytes = [](long kib) { return figure(kib / 1024.0, 0); };
    for (const File &file : files) {
        const Step preview = measureStep("preview", file.path);
        const Step load = measureStep("load", file.path);
        out << "| " << file.name << " | " << figure(preview.ms, 0) << " | " << megabytes(preview.peakKiB) << " | "
            << figure(load.ms, 0) << " | " << megabytes(load.peakKiB) << " |" << Qt::endl;
    }
    out << "\nThe program through its window: file chosen until the chart is drawn, switch-on until the first "
           "frame, then "
        << streamSeconds << " s of streaming and Quit\n\n"
        << "| file | choice to chart (ms) | switch-on (ms) | frames | all the file's values, in order | peak (MB) "
           "|\n|---|---:|---:|---:|---|---:|\n";
    for (const File &file : files) {
        const Step program = measureStep("program", file.path, streamSeconds);
        out << "| " << file.name << " | " << figure(program.ms, 0) << " | " << figure(program.extraMs, 0) << " | "
            << program.frames << " | " << (program.ok ? "yes" : "NO") << " | " << megabytes(program.peakKiB) << " |"
            << Qt::endl;
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
    parser.addOption({"loading", "Preview, load and run long files."});
    QCommandLineOption step("step", "One loading step, for --loading's child processes.", "step");
    step.setFlags(QCommandLineOption::HiddenFromHelp);
    parser.addOption(step);
    parser.addPositionalArgument("samples", "Sample file (default: the recorded excerpt).");
    parser.process(application);
    const double seconds = parser.value("seconds").toDouble();
    const double warmup = parser.value("warmup").toDouble();
    const QString samples = parser.positionalArguments().value(0, RECORDED_SAMPLE_FILE);
    if (!QFile::exists(samples)) {
        std::fprintf(stderr, "no sample file %s\n", qPrintable(samples));
        return 1;
    }

    qInstallMessageHandler(quietMessages);
    if (parser.isSet(step))
        return runStep(parser.value(step), samples, int(seconds));
    if (parser.isSet("loading"))
        return loadingComparison(samples, parser.isSet("seconds") ? int(seconds) : 60);
    if (parser.isSet("soak"))
        return soak(samples, parser.value("soak").toInt());
    const QStringList load = parser.value("load").split(' ', Qt::SkipEmptyParts);
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
