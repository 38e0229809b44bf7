#ifndef FAKEMONITOR_H
#define FAKEMONITOR_H

// A monitor answering the simulator on a line of the GPIO chip double
// (fakegpio.h), as a monitor's QRS trigger output would: it raises the line for
// 10 ms a set delay after each listed frame (one SPI transfer of the spidev
// double) went out, or echoes the edges of the output lines (the sync line's)
// after the delay. Its edges come from a thread of its own, at their time.
//
// As a preload library (libvirtualdac.so) it is set up from the environment:
//   VIRTUALDAC_MONITOR           FILE: one frame number a line, counted from the
//                                first frame the virtual DAC receives; or "sync"
//   VIRTUALDAC_MONITOR_DELAY_MS  the delay in milliseconds (default 0)
//   VIRTUALDAC_MONITOR_LINE      the line it drives (required)

#include <cstdint>
#include <vector>

namespace fakemonitor {

constexpr std::int64_t pulseNs = 10000000;

struct Settings
{
    std::vector<std::uint64_t> frames; // counted from the first transfer after configure
    bool echoSync = false;
    std::int64_t delayNs = 0;
    unsigned int line = 0;
};

// Answers from now on as the settings say, its pulses still to come dropped;
// Settings() makes it silent.
void configure(const Settings &settings);

} // namespace fakemonitor

#endif // FAKEMONITOR_H
