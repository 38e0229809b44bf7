#ifndef BENCH_RUNS_H
#define BENCH_RUNS_H

// The benchmark's streaming runs: the worker, the Python loop, the machine's
// floors. Each returns its raw figures; the report compares.

#include "measure.h"

#include <QString>

#include <atomic>

// Heap allocations of the output thread, counted while countingAllocations is set.
extern std::atomic<bool> countingAllocations;
extern std::atomic<long> outputThreadAllocations;

// Scheduling::Normal turns the output thread back to normal scheduling once it
// streams, as if real-time priority had been refused.
enum class Scheduling { AsAsked, Normal };

// rate 0: the classic pacing; otherwise that many samples per second. With
// edges, the sync line (a line of the virtual GPIO chip) pulses after every
// beat's frame, and each of its edges is written to that file.
Pacing streamWithWorker(const QString &samples, double seconds, double warmup, const QString &capture,
                        Scheduling scheduling = Scheduling::AsAsked, double rate = 0,
                        const QString &edges = QString());
Pacing streamWithPython(const QString &samples, double seconds, double warmup, const QString &capture,
                        double rate = 0);
// Streams for that long and prints, each minute, the frames sent, the
// process's resident memory and the output thread's allocations so far.
int soak(const QString &samples, int minutes);
// The policy the output thread gets when it asks (as this user, on this machine).
QString outputScheduling(const QString &samples);

// What any loop pays that sleeps through a 240 us transfer and 2 ms per sample:
// the kernel's timer wake-ups. CPU microseconds per sample.
double sleepFloorUs(double seconds);
// A real-time thread that only sleeps one nominal period at a time: the best
// pace that this machine's scheduler and timers allow, whatever the loop.
Pacing bareRealtimeLoop(double seconds);
// Debian's cyclictest at the output thread's priority, waking every 1 / rate:
// its wake-up latency is the lateness that no loop can beat here. Without
// laptop it holds /dev/cpu_dma_latency at 0, keeping the CPUs out of their
// idle states, which the program does not do: no fair floor for it.
ClockKeeping cyclictest(double rate, double seconds, bool laptop);

// The headless program (--play, --rate 360, SCPI on the loopback) on the
// virtual DAC, measured after 3 s of warm-up: for that many seconds, or, with
// queries, while a client sends that many SOUR:POS? at once and reads the answers.
struct Headless
{
    double seconds = NAN;
    long answers = 0;
    double frames = NAN;
    double framesPerSecond = NAN;
    double largestGapMs = NAN;
    long lateSamples = -1; // the sum of the program's "Cadence non tenue" reports meanwhile
};
Headless runHeadless(const QString &samples, const QString &directory, long queries, double seconds);

// The headless program playing an annotated record once at its rate, its sync
// line echoed back by the virtual monitor onto the detection line: how far
// each detection's edge came after the frame it was placed on, and whether
// it was placed on its own beat's sample.
struct DetectionPlacement
{
    std::vector<double> errorsUs;
    long onTheirBeat = 0;
    long beats = 0;
};
DetectionPlacement runDetection(const QString &record, const QString &directory);

#endif // BENCH_RUNS_H
