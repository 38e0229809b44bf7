#ifndef BENCH_LOADING_H
#define BENCH_LOADING_H

// Long files read by the whole program, each in a process of its own so that
// its peak resident memory is its own; beside them the machine's floor (cat)
// and a peer (python3-mne).

#include <QString>
#include <QStringList>

// The recording repeated (or cut) to that many lines.
QString writeLongFile(const QString &samples, long lines, const QString &path);
// The recording repeated to that many samples, at 360 per second, in millivolts
// (its 11-bit codes, 200 per mV about 1024), with its negation as a second
// signal: as a WFDB record in format 212 (path names its header), or as an
// EDF+ file of one-second records.
QString writeLongRecord(const QString &samples, int count, const QString &path);

// Times from a command to its effect, in ms, and the main thread's longest
// stall meanwhile: the longest gap between the ticks of a 1 ms timer.
struct Loading
{
    double chartedMs = 0;   // Playback::choose until the chart is drawn
    double readStallMs = 0;
    double switchOnMs = 0;  // setPlaying(true) until the first frame, the file unchanged
    double rereadMs = 0;    // the same once the file was touched: read again first
    double rereadStallMs = 0;
    long chartedPeakKiB = 0; // the process's peak resident memory (VmHWM) once charted
    long peakKiB = 0;        // and at the end, the re-read included
    bool ok = false;
};

// Runs the program (its window, offscreen, and the virtual DAC) on path in a
// child process of this program.
Loading measureLoading(const QString &path);
// What the child runs: prints the figures measureLoading reads. The exit status.
int runLoading(const QString &path);

// The machine's floor: cat of the files to /dev/null, from the page cache. In ms.
double catMs(const QStringList &files);

struct PeerRead
{
    double importMs = 0;
    double readMs = 0;
    long peakKiB = 0;
    bool ok = false;
};
// Debian's python3-mne reading an EDF+ file whole (preload), in a process of its own.
PeerRead mneRead(const QString &path);

#endif // BENCH_LOADING_H
