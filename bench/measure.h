#ifndef BENCH_MEASURE_H
#define BENCH_MEASURE_H

// The benchmark's figures: clocks, captures read back, statistics, formatting.

#include "pacing.h"

#include <QByteArray>
#include <QString>

#include <cmath>
#include <cstdint>
#include <vector>

#include <time.h>

constexpr double framePauseUs = framePauseNs / 1000.0;
constexpr double wireTimeUs = frameWireNs / 1000.0;
constexpr double nominalPeriodUs = framePauseUs + wireTimeUs;

struct Pacing
{
    double frames = NAN;
    double samplesPerSecond = NAN;
    double periodMedianUs = NAN;
    double periodP99Us = NAN;
    double periodMaxUs = NAN;
    double periodsOverTwiceNominal = NAN;
    double overrunMedianUs = NAN;
    double overrunP99Us = NAN;
    double cpuPerSampleUs = NAN;
    double allocationsPerPass = NAN;
    std::vector<std::int64_t> timesNs; // of the frames measured
};

// How well frames kept an exact clock of a given rate.
struct ClockKeeping
{
    double frames = NAN;
    double rateErrorPpm = NAN; // frames per second measured against the rate
    double latenessMedianUs = NAN;
    double latenessP99Us = NAN;
    double latenessMaxUs = NAN;
    double restarts = NAN;
};

std::int64_t monotonicNs();
// CPU time of one thread, as the scheduler counts it (not sampled at ticks).
double threadCpuSeconds(clockid_t clock);
clockid_t currentThreadClock();
double percentile(std::vector<double> values, double p);

// The times (CLOCK_MONOTONIC, end of each transfer) that a virtual DAC
// capture holds from fromNs on.
std::vector<std::int64_t> captureTimesNs(const QString &capture, std::int64_t fromNs);
std::vector<double> periodsUs(const std::vector<std::int64_t> &timesNs);
// For each rising edge in a GPIO capture (time_ns,line,value) from the first
// frame on: how long after the last frame before it, in microseconds.
std::vector<double> edgeDelaysUs(const std::vector<std::int64_t> &framesNs, const QString &edges);
Pacing pacingOf(const std::vector<double> &periods, double cpuSeconds, long frames);
ClockKeeping clockKeepingOf(const std::vector<std::int64_t> &timesNs, double rate);

QString figure(double value, int decimals = 1);
QString ratio(double ours, double theirs);
// The value of a "key: value" line of a /proc file, or an empty text.
QByteArray procValue(const char *file, const char *key);
QString cpuModel();
long residentKiB();

#endif // BENCH_MEASURE_H
