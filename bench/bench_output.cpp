// Streams a sample file through the real AppWorker and SpiDev to the virtual
// DAC, then does the same with a python3-spidev loop, and prints one table of
// pacing, CPU and loading figures with our figures as ratios to Python's.
//
// usage: bench_output [--seconds N] [--warmup N] [SAMPLE_FILE]
//        bench_output --loaded [--seconds N] [--warmup N] [SAMPLE_FILE]
//        bench_output --soak MINUTES [SAMPLE_FILE]
// The loaded mode streams without load, then under stress-ng (every core busy,
// memory and I/O pressure) with the output thread real-time, with it turned
// back to normal scheduling, and the Python loop, and prints them side by side.
// The soak streams for that long and prints, each minute, the frames sent, the
// process's resident memory and the output thread's allocations so far.

#include "appworker.h"
#include "fakespidev.h"
#include "preview.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLineSeries>
#include <QProcess>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include <thread>

#include <pthread.h>
#include <sched.h>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

// Heap allocations of the output thread, counted while a window is open.
namespace {
std::atomic<bool> countingAllocations{false};
std::atomic<long> outputThreadAllocations{0};
thread_local bool isOutputThread = false;

inline void countAllocation()
{
    if (isOutputThread && countingAllocations.load(std::memory_order_relaxed))
        outputThreadAllocations.fetch_add(1, std::memory_order_relaxed);
}
} // namespace

extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *pointer, size_t size);

void *malloc(size_t size)
{
    countAllocation();
    return __libc_malloc(size);
}

void *calloc(size_t count, size_t size)
{
    countAllocation();
    return __libc_calloc(count, size);
}

void *realloc(void *pointer, size_t size)
{
    countAllocation();
    return __libc_realloc(pointer, size);
}
}

namespace {

constexpr double framePauseUs = 2000.0;
constexpr double wireTimeUs = 240.0; // 24 bits at 100 kHz
constexpr double nominalPeriodUs = framePauseUs + wireTimeUs;

struct Pacing
{
    double frames = NAN;
    double samplesPerSecond = NAN;
    double periodMedianUs = NAN;
    double periodP99Us = NAN;
    double periodMaxUs = NAN;
    double periodsOverTwiceNominal = NAN;
    double overrunMedianUs = NAN;
    double overrunP99Us = NAN;
    double cpuPerSampleUs = NAN;
    double allocationsPerPass = NAN;
};

std::int64_t monotonicNs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// CPU time of one thread, as the scheduler counts it (not sampled at ticks).
double threadCpuSeconds(clockid_t clock)
{
    timespec used{};
    clock_gettime(clock, &used);
    return used.tv_sec + used.tv_nsec / 1e9;
}

clockid_t currentThreadClock()
{
    clockid_t clock = CLOCK_THREAD_CPUTIME_ID;
    pthread_getcpuclockid(pthread_self(), &clock);
    return clock;
}

double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return NAN;
    std::sort(values.begin(), values.end());
    const std::size_t rank = std::size_t(std::ceil(p * values.size()));
    return values[std::min(values.size() - 1, rank ? rank - 1 : 0)];
}

// Periods between the transfers that the capture holds from fromNs on.
std::vector<double> periodsUs(const QString &capture, std::int64_t fromNs)
{
    QFile file(capture);
    std::vector<double> periods;
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return periods;
    file.readLine();
    std::int64_t previous = -1;
    while (!file.atEnd()) {
        const std::int64_t time = file.readLine().split(',').value(0).toLongLong();
        if (time < fromNs)
            continue;
        if (previous >= 0)
            periods.push_back((time - previous) / 1000.0);
        previous = time;
    }
    return periods;
}

Pacing pacingOf(const std::vector<double> &periods, double cpuSeconds, long frames)
{
    Pacing pacing;
    std::vector<double> overruns;
    for (double period : periods)
        overruns.push_back(period - framePauseUs - wireTimeUs);
    pacing.periodMedianUs = percentile(periods, 0.5);
    pacing.periodP99Us = percentile(periods, 0.99);
    pacing.periodMaxUs = percentile(periods, 1.0);
    double totalUs = 0;
    for (double period : periods)
        totalUs += period;
    pacing.samplesPerSecond = periods.empty() ? NAN : periods.size() * 1e6 / totalUs;
    const auto late = [](double period) { return period > 2 * nominalPeriodUs; };
    pacing.periodsOverTwiceNominal = double(std::count_if(periods.begin(), periods.end(), late));
    pacing.overrunMedianUs = percentile(overruns, 0.5);
    pacing.overrunP99Us = percentile(overruns, 0.99);
    pacing.cpuPerSampleUs = frames > 0 ? cpuSeconds * 1e6 / frames : NAN;
    pacing.frames = frames;
    return pacing;
}

QString figure(double value, int decimals = 1)
{
    return std::isnan(value) ? QString("n/a") : QString::number(value, 'f', decimals);
}

// The value of a "key: value" line of a /proc file, or an empty text.
QByteArray procValue(const char *file, const char *key)
{
    QFile proc(file);
    proc.open(QIODevice::ReadOnly | QIODevice::Text);
    for (const QByteArray &line : proc.readAll().split('\n')) {
        if (line.startsWith(key))
            return line.mid(line.indexOf(':') + 1).trimmed();
    }
    return QByteArray();
}

// The worker streaming a file to the virtual DAC in its own thread, as the application runs it.
class OutputThread
{
public:
    OutputThread(const QString &samples, const QString &capture)
    {
        fakespidev::reset();
        fakespidev::setRecording(false);
        fakespidev::setWireTime(true);
        fakespidev::setCapture(capture.isEmpty() ? nullptr : qPrintable(capture));
        worker->moveToThread(&thread);
        QObject::connect(&thread, &QThread::started, worker, [this] {
            isOutputThread = true;
            outputClock = currentThreadClock();
            threadId = gettid();
            worker->process();
        });
        thread.start();
        worker->loadFile(samples);
        worker->resume();
    }

    ~OutputThread()
    {
        worker->stop();
        thread.quit();
        thread.wait();
        delete worker;
        fakespidev::setCapture(nullptr);
    }

    std::atomic<clockid_t> outputClock{CLOCK_THREAD_CPUTIME_ID};
    std::atomic<int> threadId{0};

private:
    AppWorker *worker = new AppWorker;
    QThread thread;
};

long residentKiB()
{
    return procValue("/proc/self/status", "VmRSS").split(' ').value(0).toLong();
}

int soak(const QString &samples, int minutes)
{
    QTextStream out(stdout);
    out << "| minute | frames | samples/s | resident memory (KiB) | output-thread allocations |\n"
        << "|---:|---:|---:|---:|---:|\n";
    OutputThread output(samples, QString());
    QThread::sleep(1);
    countingAllocations = true;
    std::size_t framesBefore = fakespidev::transferCount();
    for (int minute = 1; minute <= minutes; ++minute) {
        QThread::sleep(60);
        const std::size_t frames = fakespidev::transferCount();
        out << "| " << minute << " | " << frames - framesBefore << " | "
            << figure((frames - framesBefore) / 60.0, 1) << " | " << residentKiB() << " | "
            << outputThreadAllocations.load() << " |" << Qt::endl;
        framesBefore = frames;
    }
    countingAllocations = false;
    return 0;
}

// Scheduling::Normal turns the output thread back to normal scheduling once it
// streams, as if real-time priority had been refused.
enum class Scheduling { AsAsked, Normal };

Pacing streamWithWorker(const QString &samples, double seconds, double warmup, const QString &capture,
                        Scheduling scheduling = Scheduling::AsAsked)
{
    auto output = std::make_unique<OutputThread>(samples, capture);
    if (scheduling == Scheduling::Normal) {
        fakespidev::waitForTransfers(1, 5000);
        const sched_param normal{};
        sched_setscheduler(output->threadId, SCHED_OTHER, &normal);
    }

    QThread::usleep(static_cast<unsigned long>(warmup * 1e6));
    const std::int64_t fromNs = monotonicNs();
    const std::size_t framesBefore = fakespidev::transferCount();
    const double cpuBefore = threadCpuSeconds(output->outputClock);
    countingAllocations = true;
    QThread::usleep(static_cast<unsigned long>(seconds * 1e6));
    countingAllocations = false;
    const double cpuSeconds = threadCpuSeconds(output->outputClock) - cpuBefore;
    const long frames = long(fakespidev::transferCount() - framesBefore);

    output.reset();

    Pacing pacing = pacingOf(periodsUs(capture, fromNs), cpuSeconds, frames);
    pacing.allocationsPerPass = frames > 0 ? double(outputThreadAllocations) / frames : NAN;
    return pacing;
}

Pacing streamWithPython(const QString &samples, double seconds, double warmup, const QString &capture)
{
    QProcess python;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("LD_PRELOAD", VIRTUALDAC_LIBRARY);
    environment.insert("VIRTUALDAC_CAPTURE", capture);
    python.setProcessEnvironment(environment);
    python.start("/usr/bin/python3", {PYTHON_LOOP, samples, QString::number(seconds), QString::number(warmup)});
    if (!python.waitForFinished(int((seconds + warmup + 60) * 1000)) || python.exitCode() != 0) {
        std::fprintf(stderr, "python3-spidev loop failed: %s\n", python.readAllStandardError().constData());
        return Pacing();
    }
    const QList<QByteArray> result = python.readAllStandardOutput().simplified().split(' ');
    const long frames = result.value(0).toLong();
    const double cpuSeconds = result.value(1).toDouble();

    // The capture's first line follows the loop's start; measure after the warm-up as above.
    QFile file(capture);
    std::int64_t firstNs = 0;
    if (file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        file.readLine();
        firstNs = file.readLine().split(',').value(0).toLongLong();
    }
    return pacingOf(periodsUs(capture, firstNs + std::int64_t(warmup * 1e9)), cpuSeconds, frames);
}

// What any loop pays that sleeps through a 240 us transfer and 2 ms per sample:
// the kernel's timer wake-ups. CPU microseconds per sample.
double sleepFloorUs(double seconds)
{
    double cpuPerSampleUs = NAN;
    std::thread loop([&] {
        const clockid_t clock = currentThreadClock();
        const double cpuBefore = threadCpuSeconds(clock);
        const std::int64_t endNs = monotonicNs() + std::int64_t(seconds * 1e9);
        long samples = 0;
        for (; monotonicNs() < endNs; ++samples) {
            QThread::usleep(240);
            QThread::msleep(2);
        }
        cpuPerSampleUs = (threadCpuSeconds(clock) - cpuBefore) * 1e6 / samples;
    });
    loop.join();
    return cpuPerSampleUs;
}

// A real-time thread that only sleeps one nominal period at a time: the best
// pace that this machine's scheduler and timers allow, whatever the loop.
Pacing bareRealtimeLoop(double seconds)
{
    std::vector<double> periods;
    std::thread loop([&] {
        const sched_param parameters{20};
        pthread_setschedparam(pthread_self(), SCHED_FIFO, &parameters);
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
        const std::int64_t endNs = monotonicNs() + std::int64_t(seconds * 1e9);
        for (std::int64_t before = monotonicNs(); before < endNs;) {
            QThread::usleep(std::uint64_t(nominalPeriodUs));
            const std::int64_t after = monotonicNs();
            periods.push_back((after - before) / 1000.0);
            before = after;
        }
    });
    loop.join();
    return pacingOf(periods, NAN, long(periods.size()));
}

// Best of three, in milliseconds.
template<typename F>
double bestMs(F run)
{
    double best = INFINITY;
    for (int i = 0; i < 3; ++i) {
        QElapsedTimer timer;
        timer.start();
        run();
        best = std::min(best, timer.nsecsElapsed() / 1e6);
    }
    return best;
}

double loadFileMs(const QString &path)
{
    AppWorker worker;
    return bestMs([&] { worker.loadFile(path); });
}

double previewMs(const QString &path)
{
    return bestMs([&] {
        QFile file(path);
        file.open(QIODevice::ReadOnly | QIODevice::Text);
        QtCharts::QLineSeries series;
        series.replace(previewPoints(file).value_or(QVector<QPointF>()));
    });
}

QString writeMillionLines(const QString &samples, const QString &path)
{
    QFile source(samples);
    source.open(QIODevice::ReadOnly | QIODevice::Text);
    QList<QByteArray> lines;
    for (const QByteArray &line : source.readAll().split('\n')) {
        if (!line.trimmed().isEmpty())
            lines.append(line + '\n');
    }
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    for (int n = 0; !lines.isEmpty() && n < 1000000; ++n)
        file.write(lines.at(n % lines.size()));
    return path;
}

QString cpuModel()
{
    const QByteArray model = procValue("/proc/cpuinfo", "model name");
    return model.isEmpty() ? QSysInfo::currentCpuArchitecture() : QString::fromLatin1(model);
}

QString ratio(double ours, double theirs)
{
    return std::isnan(ours) || std::isnan(theirs) || theirs == 0 ? QString("n/a")
                                                                 : QString::number(ours / theirs, 'f', 2);
}

void quietMessages(QtMsgType, const QMessageLogContext &, const QString &) {}

// The policy the output thread gets when it asks (as this user, on this machine).
QString outputScheduling(const QString &samples)
{
    OutputThread output(samples, QString());
    fakespidev::waitForTransfers(1, 5000);
    sched_param parameters{};
    sched_getparam(output.threadId, &parameters);
    const int policy = sched_getscheduler(output.threadId) & ~SCHED_RESET_ON_FORK;
    return policy == SCHED_FIFO ? QString("SCHED_FIFO %1").arg(parameters.sched_priority)
           : policy == SCHED_RR ? QString("SCHED_RR %1").arg(parameters.sched_priority)
                                : QString("normal (real-time refused)");
}

// Captures go to memory (tmpfs), so that writing them cannot stall the loops
// under I/O load.
int loadedComparison(const QString &samples, double seconds, double warmup, const QStringList &load)
{
    QTemporaryDir dir(QDir("/dev/shm").filePath("bench_output-XXXXXX"));
    const QString scheduling = outputScheduling(samples);
    const Pacing unloaded = streamWithWorker(samples, seconds, warmup, dir.filePath("unloaded.csv"));

    QProcess stress;
    stress.start("stress-ng", load + QStringList{"--timeout", QString("%1s").arg(int(5 * (seconds + warmup) + 30))});
    if (!stress.waitForStarted()) {
        std::fprintf(stderr, "cannot start stress-ng (package stress-ng)\n");
        return 1;
    }
    QThread::sleep(2);
    const Pacing loaded = streamWithWorker(samples, seconds, warmup, dir.filePath("loaded.csv"));
    const Pacing normal =
        streamWithWorker(samples, seconds, warmup, dir.filePath("normal.csv"), Scheduling::Normal);
    const Pacing python = streamWithPython(samples, seconds, warmup, dir.filePath("python.csv"));
    const Pacing bare = bareRealtimeLoop(seconds);
    stress.terminate();
    stress.waitForFinished();
    qInstallMessageHandler(nullptr);

    QTextStream out(stdout);
    out << "Machine: " << cpuModel() << ", " << QThread::idealThreadCount() << " cores, "
        << QSysInfo::kernelType() << ' ' << QSysInfo::kernelVersion() << ", Qt " << qVersion() << "\n";
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
    if (parser.isSet("soak"))
        return soak(samples, parser.value("soak").toInt());
    if (parser.isSet("loaded"))
        return loadedComparison(samples, seconds, warmup, parser.value("load").split(' ', Qt::SkipEmptyParts));

    QTemporaryDir dir;
    const Pacing ours = streamWithWorker(samples, seconds, warmup, dir.filePath("worker.csv"));
    const Pacing python = streamWithPython(samples, seconds, warmup, dir.filePath("python.csv"));
    const double floorUs = sleepFloorUs(seconds);
    const QString million = writeMillionLines(samples, dir.filePath("million.csv"));
    const double loadSample = loadFileMs(samples);
    const double loadMillion = loadFileMs(million);
    const double previewSample = previewMs(samples);
    const double previewMillion = previewMs(million);
    qInstallMessageHandler(nullptr);

    QTextStream out(stdout);
    out << "Machine: " << cpuModel() << ", " << QThread::idealThreadCount() << " cores, "
        << QSysInfo::kernelType() << ' ' << QSysInfo::kernelVersion() << ", Qt " << qVersion() << "\n";
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
    out << "\n| loading | time (ms) |\n|---|---:|\n"
        << "| loadFile, 3600 lines | " << figure(loadSample, 2) << " |\n"
        << "| loadFile, 1,000,000 lines | " << figure(loadMillion, 1) << " |\n"
        << "| preview series, 3600 lines | " << figure(previewSample, 2) << " |\n"
        << "| preview series, 1,000,000 lines | " << figure(previewMillion, 1) << " |\n";
    return 0;
}
