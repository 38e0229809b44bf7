#ifndef BEATLOG_H
#define BEATLOG_H

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <memory>

class QThread;

// A beat annotation's frame as it went out.
struct SentBeat
{
    std::int64_t monotonicNs = 0; // CLOCK_MONOTONIC, when its transfer ended
    std::int64_t realtimeNs = 0;  // CLOCK_REALTIME, at the same moment
    qint64 loop = 0;              // loops completed before it
    qint64 sample = 0;            // from the record's start
    char label = 0;
    int channel = 0; // the annotation's: the signal its beat was marked on
};

// A time in seconds with microseconds ("812.345678"), as the beat log and
// SCPI give it.
QByteArray secondsText(std::int64_t ns);

// The beats sent, appended to a file a line each ("MONOTONIC REALTIME LOOP
// SAMPLE LABEL CHANNEL", seconds with microseconds) by a thread of its own: the output
// thread only queues them, so that no disk ever delays a frame. What is queued
// is written and flushed at least once a second.
class BeatLog
{
public:
    ~BeatLog();
    BeatLog(const BeatLog &) = delete;
    BeatLog &operator=(const BeatLog &) = delete;

    // Opens path for appending and starts writing; null and the reason when it cannot.
    static std::shared_ptr<BeatLog> open(const QString &path, QString *reason);

    // Queues a beat, from any thread; never waits for the disk.
    void add(const SentBeat &beat);
    // Queues the line that starts a run ("# départ …", with the real time
    // now and what description names), so that appended runs can be told apart.
    void startRun(const QString &description);

private:
    struct Queue;
    BeatLog(std::shared_ptr<Queue> queue, QThread *writer);

    std::shared_ptr<Queue> queue;
    QThread *writer;
};

#endif // BEATLOG_H
