#ifndef APPWORKER_H
#define APPWORKER_H

#include "beatlog.h"
#include "outputsettings.h"
#include "samplelist.h"

#include <QMutex>
#include <QObject>
#include <QWaitCondition>

#include <atomic>
#include <deque>
#include <memory>

class SpiDev;
class SyncLine;
class SyncPulse;

// Streams a sample list to the DAC from the output thread. The main thread
// steers it with direct calls, which set what the next frame needs under the
// mutex and wake the loop; the loop takes a copy of that under the mutex and
// sends, sleeps and logs without it, so that no command ever waits for the
// device, however long a transfer takes.
class AppWorker : public QObject
{
    Q_OBJECT

public:
    explicit AppWorker(const OutputSettings &settings = OutputSettings(), QObject *parent = nullptr);
    ~AppWorker() override;

    // Before process(): the open line that pulses right after each frame that
    // the settings mark (a beat annotation's, a loop's first), and the log
    // that every beat sent goes to; either may be null.
    void markFrames(std::unique_ptr<SyncLine> line, std::shared_ptr<BeatLog> log);

    // Puts a list in place together with the read position in it: the next
    // frame is that sample of that list, never one of the list before.
    void setList(std::shared_ptr<const SampleList> list, qint64 position);
    // Puts a list in place at the read position, modulo its length: its
    // sample after the last one sent, however a frame was in flight.
    void replaceList(std::shared_ptr<const SampleList> list);
    // Moves the read position (modulo the list's length).
    void setPosition(qint64 position);
    // Samples per second on the exact clock; 0: the classic pacing, a 2 ms
    // sleep after each frame. The caller checks the bounds.
    void setPacing(double rate);
    // The millivolts across the DAC's range for a record's codes, whatever
    // full scale they were read at; a sample file's codes go out as they are.
    void setFullScale(double mv);
    void pause();
    void resume();
    void stop();

    // The index of the next sample to go out, and the times the list was
    // sent to its end since it was put in place; read without waiting.
    qint64 position() const { return readPosition.load(); }
    qint64 loops() const { return completedLoops.load(); }

    // The beat annotations sent since the list was put in place.
    struct BeatFacts
    {
        qint64 count = 0;
        SentBeat last; // when count > 0
        // The mean of the last RR intervals, in samples, between beats sent
        // one after the other; 0 until two were.
        double meanRrSamples = 0;
    };
    BeatFacts beats() const;

    // The output loop; returns after stop, or at once if the DAC cannot be set up.
    void process();

signals:
    void finished();
    // The DAC could not be opened or set up: the loop has ended without finished.
    // reason says which step failed, on which node, and the system's word for it.
    void setUpFailed(const QString &reason);
    void resultReady(const QString &result);

private:
    // What a frame needs, as the loop copies it under the mutex.
    struct Pass
    {
        std::shared_ptr<const SampleList> list;
        qint64 position = 0;
        double fullScaleMv = 0;
        quint64 placement = 0;
    };

    bool sleepUntil(std::int64_t deadlineNs);
    std::int64_t pulseFallNs() const;
    bool marks(const Annotation *beat, qint64 position) const;
    QString setUpFailure() const;
    static void reportTransfer(int sent, std::size_t size, int *failedInARow);
    void advance(const Pass &pass, const SentBeat *beat);
    void place(std::shared_ptr<const SampleList> &list, qint64 position);
    void forgetRr();

    const QString devicePath;
    std::unique_ptr<SpiDev> spi;
    // Used by the output loop alone.
    const double syncWidthMs;
    const SyncOn syncOn;
    std::unique_ptr<SyncPulse> pulse;
    std::shared_ptr<BeatLog> beatLog;

    mutable QMutex mutex;
    QWaitCondition condition;
    // Guarded by the mutex.
    bool stopRequested = false;
    bool paused = true;
    std::shared_ptr<const SampleList> samples;
    double pacingRate;
    double fullScaleMv;
    // Counts the commands that place the read position; a pass moves it on
    // only if none came while its frame was sent.
    quint64 placements = 0;
    // The sample whose frame is being sent, -1 between frames.
    qint64 inFlight = -1;
    qint64 beatCount = 0;
    SentBeat lastBeat;
    // The last RR intervals in samples, and where the last beat was in the
    // samples sent since the list was placed (loops times length, plus its
    // sample); -1 after a placement, which breaks the run.
    std::deque<qint64> rrSamples;
    qint64 lastBeatAt = -1;

    // Written under the mutex, read by anyone at any time.
    std::atomic<qint64> readPosition{0};
    std::atomic<qint64> completedLoops{0};
};

#endif // APPWORKER_H
