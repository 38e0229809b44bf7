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
// beginning, and restarted() says so until the next read.
class CaptureTail
{
public:
    explicit CaptureTail(const QString &path);

    QVector<CaptureLine> read();
    bool restarted() const { return startedOver; }

private:
    QFile file;
    qint64 offset = 0;
    QByteArray partialLine;
    bool startedOver = false;
};

#endif // CAPTURETAIL_H
