#include "runs.h"

#include "appworker.h"
#include "fakegpio.h"
#include "fakespidev.h"
#include "loadsignal.h"
#include "syncline.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QTextStream>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

std::atomic<bool> countingAllocations{false};
std::atomic<long> outputThreadAllocations{0};

namespace {
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

// The worker streaming a file to the virtual DAC in its own thread, as the application runs it.
class OutputThread
{
public:
    OutputThread(const QString &samples, const QString &capture, double rate = 0, const QString &edges = QString())
        : worker(new AppWorker({"/dev/spidev0.0", rate}))
    {
        fakespidev::reset();
        fakespidev::setRecording(false);
        fakespidev::setWireTime(true);
        fakespidev::setCapture(capture.isEmpty() ? nullptr : qPrintable(capture));
        if (!edges.isEmpty()) {
            fakegpio::reset();
            fakegpio::setCapture(qPrintable(edges));
            auto line = std::make_unique<SyncLine>();
            if (!line->open("gpiochip0:17"))
                std::fprintf(stderr, "%s\n", qPrintable(line->lastFailure()));
            worker->markFrames(std::move(line), nullptr);
        }
        worker->moveToThread(&thread);
        QObject::connect(&thread, &QThread::started, worker, [this] {
            isOutputThread = true;
            outputClock = currentThreadClock();
            threadId = gettid();
            worker->process();
        });
        thread.start();
        const OutputSettings settings;
        OutputPlan plan;
        plan.list = loadSignal(samples, 0, {}, settings.annotator).list;
        plan.generation = 1;
        plan.position = 0;
        plan.rate = rate;
        plan.playing = true;
        worker->publish(plan);
    }

    ~OutputThread()
    {
        worker->stop();
        thread.quit();
        thread.wait();
        delete worker;
        fakespidev::setCapture(nullptr);
        fakegpio::setCapture("");
    }

    std::atomic<clockid_t> outputClock{CLOCK_THREAD_CPUTIME_ID};
    std::atomic<int> threadId{0};

private:
    AppWorker *worker;
    QThread thread;
};

} // namespace

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

Pacing streamWithWorker(const QString &samples, double seconds, double warmup, const QString &capture,
                        Scheduling scheduling, double rate, const QString &edges)
{
    auto output = std::make_unique<OutputThread>(samples, capture, rate, edges);
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

    const std::vector<std::int64_t> times = captureTimesNs(capture, fromNs);
    Pacing pacing = pacingOf(periodsUs(times), cpuSeconds, frames);
    pacing.timesNs = times;
    pacing.allocationsPerPass = frames > 0 ? double(outputThreadAllocations) / frames : NAN;
    return pacing;
}

Pacing streamWithPython(const QString &samples, double seconds, double warmup, const QString &capture, double rate)
{
    QProcess python;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("LD_PRELOAD", VIRTUALDAC_LIBRARY);
    environment.insert("VIRTUALDAC_CAPTURE", capture);
    python.setProcessEnvironment(environment);
    python.start("/usr/bin/python3",
                 {PYTHON_LOOP, samples, QString::number(seconds), QString::number(warmup), QString::number(rate)});
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
    const std::vector<std::int64_t> times = captureTimesNs(capture, firstNs + std::int64_t(warmup * 1e9));
    Pacing pacing = pacingOf(periodsUs(times), cpuSeconds, frames);
    pacing.timesNs = times;
    return pacing;
}

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

ClockKeeping cyclictest(double rate, double seconds, bool laptop)
{
    constexpr int histogramUs = 20000;
    QStringList arguments{"--mlockall", "--quiet", "--priority=20", "--threads=1",
                          QString("--interval=%1").arg(std::lround(1e6 / rate)),
                          QString("--duration=%1").arg(std::lround(seconds)),
                          QString("--histogram=%1").arg(histogramUs)};
    if (laptop)
        arguments << "--laptop";
    QProcess run;
    run.start("cyclictest", arguments);
    ClockKeeping keeping;
    if (!run.waitForFinished(int(seconds + 30) * 1000) || run.exitCode() != 0) {
        std::fprintf(stderr, "cyclictest failed (package rt-tests; it needs root): %s\n",
                     run.readAllStandardError().constData());
        return keeping;
    }
    // Lines "latency_us count", then "# Max Latencies: N" among the summaries.
    std::vector<double> latencies;
    for (const QByteArray &line : run.readAllStandardOutput().split('\n')) {
        if (line.startsWith("# Max Latencies:"))
            keeping.latenessMaxUs = line.mid(16).trimmed().toDouble();
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (line.startsWith('#') || fields.size() != 2)
            continue;
        latencies.insert(latencies.end(), fields[1].toLong(), fields[0].toDouble());
    }
    // cyclictest skips the periods that a late wake-up missed: its count of
    // cycles shows the time that the machine did not give it.
    keeping.frames = double(latencies.size());
    keeping.rateErrorPpm = (keeping.frames / (rate * std::lround(seconds)) - 1) * 1e6;
    keeping.latenessMedianUs = percentile(latencies, 0.5);
    keeping.latenessP99Us = percentile(latencies, 0.99);
    return keeping;
}

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


namespace {

sockaddr_in loopback(quint16 port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// A port of the loopback that no one listens on, as the system picks it.
quint16 freePort()
{
    const int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = loopback(0);
    socklen_t size = sizeof address;
    bind(probe, reinterpret_cast<sockaddr *>(&address), size);
    getsockname(probe, reinterpret_cast<sockaddr *>(&address), &size);
    close(probe);
    return ntohs(address.sin_port);
}

// Connects, trying for up to 10 s while the program starts; -1 if it never listens.
int connectTo(quint16 port)
{
    const sockaddr_in address = loopback(port);
    for (int attempt = 0; attempt < 100; ++attempt) {
        const int client = socket(AF_INET, SOCK_STREAM, 0);
        if (connect(client, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0)
            return client;
        close(client);
        QThread::msleep(100);
    }
    return -1;
}

// Writes the queries as fast as the server takes them while reading the
// answers, as a client that does not wait for one answer to send the next.
// The answer lines read, within two minutes.
long queryBurst(int client, long queries)
{
    fcntl(client, F_SETFL, fcntl(client, F_GETFL) | O_NONBLOCK);
    const QByteArray burst = QByteArray("SOUR:POS?\n").repeated(int(queries));
    qint64 written = 0;
    long answers = 0;
    char buffer[65536];
    const std::int64_t endNs = monotonicNs() + std::int64_t(120e9);
    while (answers < queries && monotonicNs() < endNs) {
        pollfd wanted{client, short(POLLIN | (written < burst.size() ? POLLOUT : 0)), 0};
        if (poll(&wanted, 1, 1000) <= 0)
            continue;
        if (wanted.revents & POLLOUT) {
            const ssize_t sent = write(client, burst.constData() + written, std::size_t(burst.size() - written));
            written += qMax<ssize_t>(0, sent);
        }
        if (wanted.revents & (POLLIN | POLLHUP | POLLERR)) {
            const ssize_t got = read(client, buffer, sizeof buffer);
            if (got <= 0)
                break;
            answers += long(std::count(buffer, buffer + got, '\n'));
        }
    }
    return answers;
}

} // namespace

Headless runHeadless(const QString &samples, const QString &directory, long queries, double seconds)
{
    const QString run = directory + (queries > 0 ? "/flood" : "/idle");
    const quint16 port = freePort();
    QProcess program;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("LD_PRELOAD", VIRTUALDAC_LIBRARY);
    environment.insert("VIRTUALDAC_CAPTURE", run + "-capture.csv");
    program.setProcessEnvironment(environment);
    program.setStandardOutputFile(QProcess::nullDevice());
    program.setStandardErrorFile(run + ".log");
    program.start(ECG_SIMULATOR, {"--play", samples, "--rate", "360", "--listen", QString("127.0.0.1:%1").arg(port)});
    Headless measured;
    const int client = connectTo(port);
    if (client < 0) {
        std::fprintf(stderr, "the program did not listen on port %d\n", port);
        return measured;
    }
    QThread::sleep(3);

    const qint64 logBefore = QFileInfo(run + ".log").size();
    const std::int64_t fromNs = monotonicNs();
    if (queries > 0)
        measured.answers = queryBurst(client, queries);
    else
        QThread::usleep(static_cast<unsigned long>(seconds * 1e6));
    const std::int64_t toNs = monotonicNs();
    close(client);
    program.terminate();
    program.waitForFinished(10000);

    std::vector<std::int64_t> times = captureTimesNs(run + "-capture.csv", fromNs);
    times.erase(std::find_if(times.begin(), times.end(), [toNs](std::int64_t time) { return time > toNs; }),
                times.end());
    const std::vector<double> periods = periodsUs(times);
    measured.seconds = (toNs - fromNs) / 1e9;
    measured.frames = double(times.size());
    if (times.size() > 1)
        measured.framesPerSecond = (times.size() - 1) * 1e9 / double(times.back() - times.front());
    if (!periods.empty())
        measured.largestGapMs = *std::max_element(periods.begin(), periods.end()) / 1000;

    QFile log(run + ".log");
    log.open(QIODevice::ReadOnly | QIODevice::Text);
    log.seek(logBefore);
    const QRegularExpression late("Cadence non tenue: (\\d+)");
    measured.lateSamples = 0;
    for (auto match = late.globalMatch(QString::fromUtf8(log.readAll())); match.hasNext();)
        measured.lateSamples += match.next().captured(1).toLong();
    return measured;
}

DetectionPlacement runDetection(const QString &record, const QString &directory)
{
    DetectionPlacement placement;
    QProcess program;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("LD_PRELOAD", VIRTUALDAC_LIBRARY);
    environment.insert("VIRTUALDAC_CAPTURE", directory + "/detect-capture.csv");
    environment.insert("VIRTUALDAC_MONITOR", "sync");
    environment.insert("VIRTUALDAC_MONITOR_LINE", "27");
    program.setProcessEnvironment(environment);
    program.setStandardOutputFile(QProcess::nullDevice());
    program.setStandardErrorFile(directory + "/detect.log");
    program.start(ECG_SIMULATOR, {"--play", record, "--once", "--pad", "1", "--score-from", "0", "--sync-gpio",
                                  "gpiochip0:17", "--detect-gpio", "gpiochip0:27", "--detect-output", directory});
    if (!program.waitForFinished(-1) || program.exitCode() != 0) {
        std::fprintf(stderr, "the program failed: see %s/detect.log\n", qPrintable(directory));
        return placement;
    }
    // Played once from its first sample: frame k carried sample k.
    const std::vector<std::int64_t> frames = captureTimesNs(directory + "/detect-capture.csv", 0);
    QSet<qint64> beats;
    if (const std::shared_ptr<SampleList> list = loadSignal(record, 0, {}, OutputSettings().annotator).list;
        list && list->annotations) {
        for (const Annotation &annotation : *list->annotations) {
            if (annotation.isBeat)
                beats.insert(annotation.sample);
        }
    }
    placement.beats = beats.size();
    QFile times(directory + '/' + QFileInfo(record).completeBaseName() + ".det.times");
    times.open(QIODevice::ReadOnly | QIODevice::Text);
    for (const QByteArray &line : times.readAll().split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (line.startsWith('#') || fields.size() != 3)
            continue;
        const qint64 sample = fields[2].toLongLong();
        if (sample < 0 || std::size_t(sample) >= frames.size())
            continue;
        placement.errorsUs.push_back(fields[0].toDouble() * 1e6 - double(frames[std::size_t(sample)]) / 1e3);
        placement.onTheirBeat += beats.contains(sample);
    }
    return placement;
}
