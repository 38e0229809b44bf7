#ifndef TIMING_H
#define TIMING_H

#include <QString>

// What the classic pacing comes to: a 2 ms sleep after each frame and 0.24 ms
// on the wire, a sample each 2.24 ms. Times of a sample file that has no rate
// of its own are counted at this pace.
constexpr double classicSamplesPerSecond = 1 / 0.00224;

// "1:02:03" for 3723 seconds, "0:00:12,5" with one decimal (rounded down, so
// that a clock never shows a second not yet reached).
QString clockText(double seconds, int decimals = 0);

#endif // TIMING_H
