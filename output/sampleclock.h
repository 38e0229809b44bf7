#ifndef SAMPLECLOCK_H
#define SAMPLECLOCK_H

#include <cstdint>

// Frame k of a run is due at start + k / rate on CLOCK_MONOTONIC. Each deadline
// is computed from the start, never from the previous one, so that no error
// accumulates however long the run. Times are in nanoseconds.
class SampleClock
{
public:
    // How late a frame may be found with the clock keeping its grid.
    static constexpr std::int64_t catchUpNs = 20000000;

    explicit SampleClock(double rate);

    // Takes effect at the next restart.
    void setRate(double rate);
    double rate() const { return samplesPerSecond; }
    // Starts a run: its first frame is due at nowNs, or a period after the
    // last frame sent if that is later, so that no command makes a burst.
    void restart(std::int64_t nowNs);
    std::int64_t nextDeadlineNs() const;
    // The due frame goes out at nowNs. Found late by up to catchUpNs (or by
    // less than a period), the clock keeps its grid: the frames behind are due
    // at once, one after the other, until the output is back on it, and the
    // long-run rate stays the clock's. Later than that, a stall: the clock
    // restarts from now, and the samples it skipped are never sent.
    void frameSent(std::int64_t nowNs);

    // Since the clock was made: frames sent a period or more behind their
    // deadlines, and restarts after a stall.
    std::int64_t lateFrames() const { return late; }
    std::int64_t stalls() const { return stallCount; }
    // Samples skipped by stalls since the last report, at most once a second;
    // 0 when there are none or the next report is not due.
    std::int64_t takeSkippedReport(std::int64_t nowNs);

private:
    double samplesPerSecond;
    double periodNs;
    std::int64_t startNs = 0;
    std::int64_t frameIndex = 0;
    bool sentAny = false;
    std::int64_t lastSentNs = 0;
    std::int64_t late = 0;
    std::int64_t stallCount = 0;
    std::int64_t skippedSamples = 0;
    // A second before any monotonic time: the first report is due at once.
    std::int64_t lastReportNs = -1000000000;
};

#endif // SAMPLECLOCK_H
