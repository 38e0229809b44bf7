#ifndef OUTPUTSETTINGS_H
#define OUTPUTSETTINGS_H

#include <QString>

// Where the output goes and how it is paced; the operator chooses both.
struct OutputSettings
{
    QString devicePath = QStringLiteral("/dev/spidev0.0");
    // Samples per second on an exact clock; 0 keeps the classic pacing, a 2 ms
    // sleep after each frame.
    double sampleRate = 0;
};

// At 100 kHz a frame takes 240 us on the wire. At 2000 samples/s a period of
// 500 us leaves as much again for the wake-up and the loop, which a Pi's
// real-time latency (about 100 us at p99) fits in; records of up to 1000
// samples/s play with room to spare.
constexpr double maxSampleRate = 2000;

#endif // OUTPUTSETTINGS_H
