#include "sampleclock.h"

#include <algorithm>
#include <cmath>

namespace {
constexpr std::int64_t reportIntervalNs = 1000000000;
}

SampleClock::SampleClock(double rate)
{
    setRate(rate);
}

void SampleClock::setRate(double rate)
{
    samplesPerSecond = rate;
    periodNs = 1e9 / rate;
}

void SampleClock::restart(std::int64_t nowNs)
{
    startNs = sentAny ? std::max<std::int64_t>(nowNs, lastSentNs + std::llround(periodNs)) : nowNs;
    frameIndex = 0;
}

std::int64_t SampleClock::nextDeadlineNs() const
{
    return startNs + std::llround(double(frameIndex) * periodNs);
}

void SampleClock::frameSent(std::int64_t nowNs)
{
    const std::int64_t lateNs = nowNs - nextDeadlineNs();
    sentAny = true;
    lastSentNs = nowNs;
    if (lateNs >= periodNs)
        ++late;
    if (lateNs < periodNs || lateNs <= catchUpNs) {
        ++frameIndex;
        return;
    }
    ++stallCount;
    skippedSamples += std::int64_t(double(lateNs) / periodNs);
    startNs = nowNs;
    frameIndex = 1;
}

std::int64_t SampleClock::takeSkippedReport(std::int64_t nowNs)
{
    if (skippedSamples == 0 || nowNs - lastReportNs < reportIntervalNs)
        return 0;
    const std::int64_t skipped = skippedSamples;
    skippedSamples = 0;
    lastReportNs = nowNs;
    return skipped;
}
