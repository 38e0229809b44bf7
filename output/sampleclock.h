#ifndef SAMPLECLOCK_H
#define SAMPLECLOCK_H

#include <cstdint>

// Frame k of a run is due at start + k / rate on CLOCK_MONOTONIC. Each deadline
// is computed from the start, never from the previous one, so that no error
// accumulates however long the run. Times are in nanoseconds.
class SampleClock
{
public:
    explicit SampleClock(double rate);

    // Starts a run: its first frame is due at nowNs.
    void restart(std::int64_t nowNs);
    std::int64_t nextDeadlineNs() const;
    // The due frame goes out at nowNs. Less than a period late, the next
    // deadline stays where it was; later than that, the clock restarts from
    // now rather than send the missed frames in a burst.
    void frameSent(std::int64_t nowNs);

    // Samples whose deadlines passed unsent since the last report, at most
    // once a second; 0 when there are none or the next report is not due.
    std::int64_t takeLateReport(std::int64_t nowNs);

private:
    double periodNs;
    std::int64_t startNs = 0;
    std::int64_t frameIndex = 0;
    std::int64_t lateSamples = 0;
    // A second before any monotonic time: the first report is due at once.
    std::int64_t lastReportNs = -1000000000;
};

#endif // SAMPLECLOCK_H
