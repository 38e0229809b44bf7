#ifndef PACING_H
#define PACING_H

#include <cstdint>

// The classic pacing, what a sample file goes out at: a 2 ms pause after each
// frame, whose 24 bits take 0.24 ms on the wire at the SPI clock's 100 kHz,
// so 2.24 ms a sample.
constexpr std::uint32_t spiClockHz = 100000;
constexpr int frameBits = 24;
constexpr std::int64_t framePauseNs = 2000000;
constexpr std::int64_t frameWireNs = std::int64_t(frameBits) * 1000000000 / spiClockHz;
constexpr double classicSamplePeriodS = double(framePauseNs + frameWireNs) / 1e9;
constexpr double classicSamplesPerSecond = 1 / classicSamplePeriodS;

// How the log and the help name it, and the status line in short.
constexpr const char *classicPacingText = "pause de 2 ms après chaque trame";
constexpr const char *classicPacingShortText = "pause de 2 ms";

#endif // PACING_H
