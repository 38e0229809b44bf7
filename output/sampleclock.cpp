#include "sampleclock.h"

#include <cmath>

namespace {
constexpr std::int64_t reportIntervalNs = 1000000000;
}

SampleClock::SampleClock(double rate)
    : periodNs(1e9 / rate)
{
}

void SampleClock::restart(std::int64_t nowNs)
{
    startNs = nowNs;
    frameIndex = 0;
}

std::int64_t SampleClock::nextDeadlineNs() const
{
    return startNs + std::llround(double(frameIndex) * periodNs);
}

void SampleClock::frameSent(std::int64_t nowNs)
{
    const std::int64_t lateNs = nowNs - nextDeadlineNs();
    if (lateNs < periodNs) {
        ++frameIndex;
        return;
    }
    lateSamples += std::int64_t(double(lateNs) / periodNs);
    restart(nowNs);
    frameIndex = 1;
}

std::int64_t SampleClock::takeLateReport(std::int64_t nowNs)
{
    if (lateSamples == 0 || nowNs - lastReportNs < reportIntervalNs)
        return 0;
    const std::int64_t late = lateSamples;
    lateSamples = 0;
    lastReportNs = nowNs;
    return late;
}
