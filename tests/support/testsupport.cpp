#include "testsupport.h"

#include "loadsignal.h"
#include "records.h"

#include "fakespidev.h"

#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QTest>

#include <algorithm>
#include <csignal>

#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

namespace {
// The capture in place and the handler before it, shared with the threads that
// log: a thread may still log while a capture goes away.
QMutex captureMutex;
LogCapture *active = nullptr;
QtMessageHandler previous = nullptr;
} // namespace

LogCapture::LogCapture()
{
    QMutexLocker locker(&captureMutex);
    active = this;
    previous = qInstallMessageHandler(&LogCapture::handler);
}

LogCapture::~LogCapture()
{
    QMutexLocker locker(&captureMutex);
    qInstallMessageHandler(previous);
    active = nullptr;
}

void LogCapture::handler(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    QMutexLocker locker(&captureMutex);
    if (active)
        active->captured.append({type, text, std::int64_t(now.tv_sec) * 1000000000 + now.tv_nsec});
    if (previous)
        previous(type, context, text);
}

// Copies element by element under the lock: a shallow copy would share its
// buffer with the one the logging threads append to.
QVector<LogCapture::Line> LogCapture::lines() const
{
    QMutexLocker locker(&captureMutex);
    QVector<Line> copy;
    copy.reserve(captured.size());
    for (const Line &line : captured)
        copy.append(line);
    return copy;
}

QStringList LogCapture::texts() const
{
    QStringList result;
    for (const Line &line : lines())
        result << line.text;
    return result;
}

int LogCapture::count(const QString &text) const
{
    return texts().count(text);
}

bool LogCapture::waitFor(const QString &text) const
{
    return QTest::qWaitFor([&] { return count(text) > 0; }, waitMs);
}

QVector<Annotation> normalBeats(const QVector<qint64> &samples)
{
    QVector<Annotation> beats;
    for (const qint64 sample : samples) {
        Annotation beat;
        beat.sample = sample;
        beat.isBeat = true;
        beats.append(beat);
    }
    return beats;
}

QString writeBeatRecord(SampleFiles &files, const QString &name, double rate, int length, const QVector<qint64> &beats)
{
    files.write(name + ".dat", wfdbSamples(16, QVector<int>(length, 0)));
    QString error;
    if (!writeAnnotations(files.path(name + ".atr"), normalBeats(beats), QString(), &error))
        qFatal("%s", qPrintable(error));
    return files.write(name + ".hea", QString("%1 1 %2 %3\n%1.dat 16 200\n").arg(name).arg(rate).arg(length).toUtf8());
}

QString SampleFiles::write(const QString &name, const QByteArray &content)
{
    const QString filePath = dir.filePath(name);
    QFile file(filePath);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        qFatal("cannot write test file %s", qPrintable(filePath));
    return filePath;
}

QString recordedSampleFile()
{
    return QFileInfo(QStringLiteral(ECG_RECORDED_SAMPLE_FILE)).canonicalFilePath();
}

std::int64_t medianPeriodNs(const std::vector<fakespidev::Transfer> &transfers)
{
    std::vector<std::int64_t> periods;
    for (std::size_t i = 1; i < transfers.size(); ++i)
        periods.push_back(transfers[i].timeNs - transfers[i - 1].timeNs);
    if (periods.empty())
        return 0;
    std::nth_element(periods.begin(), periods.begin() + periods.size() / 2, periods.end());
    return periods[periods.size() / 2];
}

QVector<quint16> sentCodes(std::size_t from)
{
    QVector<quint16> codes;
    const std::vector<fakespidev::Transfer> transfers = fakespidev::transfers();
    for (std::size_t i = from; i < transfers.size(); ++i)
        codes.append(quint16(transfers[i].tx.at(1) << 8 | transfers[i].tx.at(2)));
    return codes;
}

OutputThread::OutputThread(const OutputSettings &settings, const std::function<void(AppWorker *)> &prepare)
    : worker(new AppWorker(settings)), finishedSpy(worker, &AppWorker::finished),
      setUpFailedSpy(worker, &AppWorker::setUpFailed)
{
    plan.rate = settings.sampleRate;
    plan.fullScaleMv = settings.fullScaleMv;
    if (prepare)
        prepare(worker);
    worker->moveToThread(&thread);
    QObject::connect(&thread, &QThread::started, [this] { outputThreadId = gettid(); });
    QObject::connect(&thread, &QThread::started, worker, &AppWorker::process);
    thread.start();
}

OutputThread::~OutputThread()
{
    finish();
    delete worker;
}

void OutputThread::publish()
{
    worker->publish(plan);
    plan.position = -1;
}

void OutputThread::place(std::shared_ptr<const SampleList> list, qint64 position)
{
    plan.list = std::move(list);
    ++plan.generation;
    plan.position = position;
    publish();
}

void OutputThread::play(bool on)
{
    plan.playing = on;
    publish();
}

bool OutputThread::finish()
{
    worker->stop();
    thread.quit();
    return thread.wait(waitMs);
}

bool waitForDeviceSetUp()
{
    return QTest::qWaitFor([] { return fakespidev::requests().size() == 6; }, waitMs);
}

bool threadSleeps(int threadId)
{
    QFile stat(QString("/proc/self/task/%1/stat").arg(threadId));
    if (threadId == 0 || !stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray fields = stat.readAll();
    return fields.mid(fields.lastIndexOf(')') + 2, 1) == "S";
}

bool threadWaitsOnLock(int threadId)
{
    QFile waitChannel(QString("/proc/self/task/%1/wchan").arg(threadId));
    return threadSleeps(threadId) && waitChannel.open(QIODevice::ReadOnly) && waitChannel.readAll().startsWith("futex");
}

ChildProcess::ChildProcess()
    : testId(getpid())
{
}

ChildProcess::~ChildProcess()
{
    kill();
    waitForFinished();
}

// In the child, before it runs the program.
void ChildProcess::setupChildProcess()
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    // The test may have ended before the request.
    if (getppid() != testId)
        _exit(1);
}

void startSimulator(ChildProcess &process, const QStringList &arguments, QProcessEnvironment environment,
                    const QString &capture, const QStringList &launcher)
{
    for (const char *display : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        environment.remove(display);
    if (!capture.isEmpty()) {
        environment.insert("VIRTUALDAC_CAPTURE", capture);
        // A sanitizer's runtime comes with the preloaded library, before the program's.
        environment.insert("ASAN_OPTIONS", environment.value("ASAN_OPTIONS") + ":verify_asan_link_order=0");
    }
    const QString emulator = QStringLiteral(ECG_EMULATOR);
    if (!launcher.isEmpty()) {
        const QStringList preload{"env", "LD_PRELOAD=" + QString(capture.isEmpty() ? "" : VIRTUALDAC_LIBRARY)};
        process.setProcessEnvironment(environment);
        process.start(launcher.first(), launcher.mid(1) + preload + QStringList{ECG_SIMULATOR} + arguments);
    } else if (emulator.isEmpty()) {
        if (!capture.isEmpty())
            environment.insert("LD_PRELOAD", VIRTUALDAC_LIBRARY);
        process.setProcessEnvironment(environment);
        process.start(ECG_SIMULATOR, arguments);
    } else {
        // For the emulated program only, not for the emulator.
        if (!capture.isEmpty())
            environment.insert("QEMU_SET_ENV", "LD_PRELOAD=" VIRTUALDAC_LIBRARY);
        process.setProcessEnvironment(environment);
        process.start(emulator, QStringList{ECG_SIMULATOR} + arguments);
    }
}

QVector<quint16> capturedCodes(const QString &capture)
{
    QVector<quint16> codes;
    QFile file(capture);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return codes;
    file.readLine();
    while (!file.atEnd()) {
        const QList<QByteArray> fields = file.readLine().split(',');
        if (fields.size() > 1)
            codes.append(quint16(fields[1].toUInt()));
    }
    return codes;
}

int loadInto(OutputThread &output, const QString &path, int signal)
{
    const LoadedSignal loaded = loadSignal(path, signal);
    if (!loaded.list)
        return loaded.refusal.kind == Refusal::Empty ? 0 : -1;
    output.place(loaded.list, output.worker->position());
    return int(loaded.list->size());
}
