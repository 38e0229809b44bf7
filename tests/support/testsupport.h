#ifndef TESTSUPPORT_H
#define TESTSUPPORT_H

// Helpers shared by the test suites.

#include "appworker.h"
#include "outputsettings.h"

#include <QProcess>
#include <QSignalSpy>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>

#include "fakespidev.h"

#include <atomic>
#include <functional>
#include <cstddef>
#include <cstdint>

constexpr int waitMs = 5000;

// Collects every debug-stream line, from any thread, while it exists, and
// still passes them on to the previous handler. One at a time.
class LogCapture
{
public:
    struct Line
    {
        QtMsgType type;
        QString text;
        std::int64_t timeNs; // CLOCK_MONOTONIC
    };

    LogCapture();
    ~LogCapture();
    Q_DISABLE_COPY(LogCapture)

    QVector<Line> lines() const;
    QStringList texts() const;
    int count(const QString &text) const;
    // Waits, at most waitMs, for a line equal to text; true once it was logged.
    bool waitFor(const QString &text) const;

private:
    static void handler(QtMsgType type, const QMessageLogContext &context, const QString &text);

    QVector<Line> captured;
};

// Writes sample files into a temporary folder that goes with the object.
class SampleFiles
{
public:
    QString write(const QString &name, const QByteArray &content);
    QString path(const QString &name) const { return dir.filePath(name); }

private:
    QTemporaryDir dir;
};

// A normal beat at each of samples.
QVector<Annotation> normalBeats(const QVector<qint64> &samples);

// A WFDB record of length flat samples at rate with a normal beat at each of
// beats, as name.hea, name.dat and name.atr; the header's path.
QString writeBeatRecord(SampleFiles &files, const QString &name, double rate, int length, const QVector<qint64> &beats);

// The recorded ECG excerpt of samples/, or an empty text when it is absent.
QString recordedSampleFile();

// The DAC codes (bytes 1 and 2) of the frames that the spidev double recorded,
// from the given transfer on.
QVector<quint16> sentCodes(std::size_t from = 0);

// The median time between consecutive transfers.
std::int64_t medianPeriodNs(const std::vector<fakespidev::Transfer> &transfers);

// An AppWorker running its loop in its own thread, as the application runs it.
class OutputThread
{
public:
    // prepare runs before the output loop starts (markFrames, say).
    explicit OutputThread(const OutputSettings &settings = OutputSettings(),
                          const std::function<void(AppWorker *)> &prepare = {});
    ~OutputThread();

    // Stops the loop and lets the thread end; true once it has.
    bool finish();
    // Kernel id of the output thread once it runs, else 0.
    int threadId() const { return outputThreadId; }
    // Publishes the plan, its position then a one-time placement done.
    void publish();
    // The plan with its list (a new generation) from position, -1: where the read position is.
    void place(std::shared_ptr<const SampleList> list, qint64 position = -1);
    void play(bool on);

    // What the test publishes; at first the settings' pacing and full scale, paused.
    OutputPlan plan;

    AppWorker *const worker;
    QSignalSpy finishedSpy;
    QSignalSpy setUpFailedSpy;

private:
    QThread thread;
    std::atomic<int> outputThreadId{0};
};

// Waits until the output thread has opened the DAC: mode, word size and clock
// rate each written and read back. False if it did not within waitMs.
bool waitForDeviceSetUp();

// True while the thread of that kernel id sleeps (its /proc state is S).
bool threadSleeps(int threadId);
// True while it sleeps on a lock or a condition, not in a timed sleep.
bool threadWaitsOnLock(int threadId);

// A program a test starts, ended with the test however the test ends: the
// kernel kills it when the thread that started it ends, even when the test is
// killed. Start it from the main thread, which lives as long as the test.
class ChildProcess : public QProcess
{
public:
    ChildProcess();
    ~ChildProcess() override;

protected:
    void setupChildProcess() override;

private:
    const qint64 testId;
};

// Starts the simulator's program as the operator would (under the emulator in
// a cross build), with no display, in the environment given; with a capture
// file, on the virtual DAC, which writes every frame to it. A launcher (a
// supervisor's command line, natively) starts it, the virtual DAC preloaded
// into the simulator alone.
void startSimulator(ChildProcess &process, const QStringList &arguments,
                    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment(),
                    const QString &capture = QString(), const QStringList &launcher = QStringList());
// The DAC codes of the frames in a virtual DAC capture.
QVector<quint16> capturedCodes(const QString &capture);


// Reads a file as the playback does and puts it in place in the output at its
// read position; the samples read, 0 for none, -1 when refused.
int loadInto(OutputThread &output, const QString &path, int signal = 0);

#endif // TESTSUPPORT_H
