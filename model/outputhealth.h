#ifndef OUTPUTHEALTH_H
#define OUTPUTHEALTH_H

#include <QString>

#include <optional>

// How the output fares, as a technician checks it: the device, the output
// thread's priority, its lateness and what goes out now.
struct OutputHealth
{
    QString device;
    // A character device; the virtual DAC stands in for a node that is none.
    bool realDevice = false;
    // Why the device failed: set up, or a transfer since the last switch-on;
    // empty while it works.
    QString failure;
    QString scheduling; // "FIFO 20", "RR 20" (through RealtimeKit); empty: none
    qint64 lateFrames = 0;
    qint64 clockRestarts = 0;
    int code = -1; // going out now; -1 before any frame
    std::optional<double> millivolts; // a record's code at the full scale in force
};

#endif // OUTPUTHEALTH_H
