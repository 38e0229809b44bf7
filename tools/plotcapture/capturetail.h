#ifndef CAPTURETAIL_H
#define CAPTURETAIL_H

#include <QFile>
#include <QVector>

#include <cstdint>

// One line of a virtual-DAC capture: the end of a transfer and the DAC's
// output after it.
struct CaptureLine
{
    std::int64_t timeNs; // CLOCK_MONOTONIC
    int code;
    double volts;
    bool validWord;
};

// Reads a virtual-DAC capture as it grows: each read() returns the lines
// completed since the one before. A partial last line waits for its end. When
// the file shrinks (a new run truncated it), reading starts over from its
// beginning, and restarted() says so until the next read. A capture cut at its
// size limit ends with a line saying from when transfers are missing: cutAtNs().
class CaptureTail
{
public:
    explicit CaptureTail(const QString &path);

    QVector<CaptureLine> read();
    bool restarted() const { return startedOver; }
    // The time of the first transfer left out of a cut capture, or -1.
    std::int64_t cutAtNs() const { return cutNs; }

private:
    QFile file;
    qint64 offset = 0;
    QByteArray partialLine;
    bool startedOver = false;
    std::int64_t cutNs = -1;
};

#endif // CAPTURETAIL_H
