#ifndef APPWORKER_H
#define APPWORKER_H

#include "beatlog.h"
#include "frametimeline.h"
#include "outputplan.h"
#include "outputsettings.h"
#include "samplelist.h"

#include <QMutex>
#include <QObject>
#include <QWaitCondition>

#include <atomic>
#include <deque>
#include <memory>

class SampleClock;
class SpiDev;
class SyncLine;
class SyncPulse;

// Streams a sample list to the DAC from the output thread. The playback
// publishes what to send as one plan; the loop takes a copy of it under the
// mutex and sends, sleeps and logs without it, so that no command ever waits
// for the device, however long a transfer takes. Only a change of the run
// state or of the pacing wakes the loop: the others are in force from the next
// frame, so that no flood of commands can hold it back.
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
    // Before process(): the timeline that every frame sent is recorded in,
    // and every halt; null: none.
    void recordFrames(std::shared_ptr<FrameTimeline> frames) { timeline = std::move(frames); }

    // Puts a plan in force. A new generation starts its progress afresh; a
    // plan equal to the one in force changes nothing and wakes nothing.
    void publish(OutputPlan plan);
    // Ends the loop after the frame in progress, for good.
    void stop();

    // The beat annotations sent in a generation.
    struct BeatFacts
    {
        qint64 count = 0;
        SentBeat last; // when count > 0
        // The mean of the last RR intervals, in samples, between beats sent
        // one after the other; 0 until two were.
        double meanRrSamples = 0;
    };
    // What the loop did with the plan in force: the index of the next sample
    // to go out, the times the list was sent to its end, and its beats.
    struct Progress
    {
        quint64 generation = 0;
        qint64 position = 0;
        qint64 loops = 0;
        BeatFacts beats;
    };
    Progress progress() const;
    // The same position and loops, read without waiting.
    qint64 position() const { return readPosition.load(); }
    qint64 loops() const { return completedLoops.load(); }
    // Since the loop started, with a rate: frames sent a period or more late
    // (caught up), and restarts of the clock after a longer stall.
    qint64 lateFrames() const { return lateFrameCount.load(); }
    qint64 clockRestarts() const { return stallCount.load(); }
    // The times a command woke the loop.
    qint64 wakes() const { return wakeCount.load(); }
    // The output thread's scheduling once the loop started ("FIFO 20", "RR 20"
    // through RealtimeKit, or empty for none); the code of the last frame
    // that went out (-1 before any); whether a transfer failed since the
    // output was last switched on.
    QString scheduling() const;
    int lastCode() const { return lastSentCode.load(); }
    bool transfersFailing() const { return failingTransfers.load(); }

    // The output loop; returns after stop, or at once if the DAC cannot be set up.
    void process();

signals:
    void finished();
    // The DAC could not be opened or set up: the loop has ended without finished.
    // reason says which step failed, on which node, and the system's word for it.
    void setUpFailed(const QString &reason);
    // A plan played once has sent its last frame, its pad's included: the loop
    // sends nothing more of that generation until a placement.
    void playedOnce(quint64 generation);
    void resultReady(const QString &result);

private:
    // What a frame needs, as the loop copies it under the mutex.
    struct Pass
    {
        std::shared_ptr<const SampleList> list;
        qint64 position = 0;
        qint64 loops = 0;
        double fullScaleMv = 0;
        quint64 generation = 0;
        quint64 placement = 0;
        // A frame of the pad after a list played once: its number from 0; -1: a sample's.
        qint64 padFrame = -1;
    };

    bool sleepUntil(std::int64_t deadlineNs);
    std::int64_t pulseFallNs() const;
    bool marks(const Annotation *beat, qint64 position) const;
    QString setUpFailure() const;
    static void reportTransfer(int sent, std::size_t size, int *failedInARow);
    // True when the frame was the last of a list played once.
    bool advance(const Pass &pass, const SentBeat *beat);
    void send(const Pass &pass, bool clocked, SampleClock *clock, int *failedTransfers);

    const QString devicePath;
    std::unique_ptr<SpiDev> spi;
    // Used by the output loop alone.
    const double syncWidthMs;
    const SyncOn syncOn;
    std::unique_ptr<SyncPulse> pulse;
    std::shared_ptr<BeatLog> beatLog;
    std::shared_ptr<FrameTimeline> timeline;

    mutable QMutex mutex;
    QWaitCondition condition;
    // Guarded by the mutex.
    bool stopRequested = false;
    // The plan in force, its position applied; the beats below are of its generation.
    OutputPlan plan;
    // Counts the placements of the read position; a pass moves it on only if
    // none came while its frame was sent.
    quint64 placements = 0;
    // The sample whose frame is being sent, -1 between frames.
    qint64 inFlight = -1;
    // Of a plan played once, since its last placement: the pad frames sent
    // after its end (-1 before the end), and whether the pad is over.
    qint64 padSent = -1;
    bool playedToTheEnd = false;
    qint64 beatCount = 0;
    SentBeat lastBeat;
    // The last RR intervals in samples, and where the last beat was in the
    // samples sent in the generation (loops times length, plus its sample);
    // -1 after a placement, which breaks the run.
    std::deque<qint64> rrSamples;
    qint64 lastBeatAt = -1;

    // Written under the mutex, or by the loop, read by anyone at any time.
    std::atomic<qint64> readPosition{0};
    std::atomic<qint64> completedLoops{0};
    std::atomic<qint64> lateFrameCount{0};
    std::atomic<qint64> stallCount{0};
    std::atomic<qint64> wakeCount{0};
    std::atomic<int> schedulingPolicy{-1};
    std::atomic<int> schedulingPriority{0};
    std::atomic<int> lastSentCode{-1};
    std::atomic<bool> failingTransfers{false};
};

#endif // APPWORKER_H
