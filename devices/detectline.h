#ifndef DETECTLINE_H
#define DETECTLINE_H

#include "syncline.h"

#include <QString>
#include <QVector>

#include <atomic>
#include <mutex>
#include <thread>

// One GPIO input line, watched through libgpiod for a monitor's QRS trigger
// pulses: each edge of the kind asked for, with the kernel's time of it on the
// monotonic clock, queued by a thread of its own for the caller to take. The
// caller never waits on the line. Failures are reported by results and a
// French reason, never by exceptions.
class DetectLine
{
public:
    enum class Edge { Rising, Falling };

    DetectLine() = default;
    ~DetectLine();

    DetectLine(const DetectLine &) = delete;
    DetectLine &operator=(const DetectLine &) = delete;

    // Reads "rising" or "falling"; false and the reason for anything else.
    static bool parseEdge(const QString &text, Edge *edge, QString *reason);

    // Requests the line named "CHIP:LINE" for the edge's events and starts
    // watching it; true at once if a line is open.
    bool open(const QString &chipAndLine, Edge edge);
    // Stops watching (at once, a wait included) and releases the line.
    void close();

    bool opened() const { return line != nullptr; }
    // Why the last open failed, or why watching stopped.
    QString lastFailure() const;
    // Whether the thread still watches the open line.
    bool watching() const { return watchingLine; }

    // The edges' monotonic times in nanoseconds since the last take, in order.
    QVector<qint64> take();
    // Edges dropped since the open because the caller took none for too long.
    qint64 lost() const { return lostEdges; }

private:
    bool fail(int error, const QString &what);
    void watch(int eventFd);

    gpiod_chip *chip = nullptr;
    gpiod_line *line = nullptr;
    GpioLineAddress address;
    int stopPipe[2] = {-1, -1};
    std::thread watcher;
    std::atomic<bool> watchingLine{false};
    std::atomic<qint64> lostEdges{0};
    mutable std::mutex mutex; // the queue and the failure
    QVector<qint64> queued;
    QString failure;
};

#endif // DETECTLINE_H
