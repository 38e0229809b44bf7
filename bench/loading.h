#ifndef BENCH_LOADING_H
#define BENCH_LOADING_H

// Long sample files: the preview, the worker's load and the whole program,
// each in a process of its own, so that its peak resident memory is its own.

#include <QString>

// The recording repeated (or cut) to that many lines.
QString writeLongFile(const QString &samples, long lines, const QString &path);
// The recording repeated to that many samples, at 360 per second, in millivolts
// (its 11-bit codes, 200 per mV about 1024), with its negation as a second
// signal: as a WFDB record in format 212 (path names its header), or as an
// EDF+ file of one-second records.
QString writeLongRecord(const QString &samples, int count, const QString &path);

struct Step
{
    double ms = 0;      // the step's time
    double extraMs = 0; // the program step: the switch-on
    long frames = 0;    // the program step: frames streamed, all of them the file's values from the first
    long peakKiB = 0;   // the process's peak resident memory
    bool ok = false;
};

// Runs one step ("preview": the chart drawn; "load": the worker's sample list;
// "program": the window chooses the file, switches on, streams for
// streamSeconds and quits) in a child process of this program.
Step measureStep(const QString &step, const QString &path, int streamSeconds = 0);
// What the child runs: prints the figures measureStep reads. The exit status.
int runStep(const QString &step, const QString &path, int streamSeconds);

#endif // BENCH_LOADING_H
