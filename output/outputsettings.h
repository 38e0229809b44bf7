#ifndef OUTPUTSETTINGS_H
#define OUTPUTSETTINGS_H

#include "detectline.h"

#include <QString>
#include <QStringList>

// Which frames the sync line marks: a beat annotation's, a loop's first, or both.
enum class SyncOn { Beats, Loop, Both };

// Where the output goes and how it is paced; the operator chooses both.
struct OutputSettings
{
    OutputSettings(const QString &devicePath = QStringLiteral("/dev/spidev0.0"), double sampleRate = 0)
        : devicePath(devicePath), sampleRate(sampleRate)
    {
    }

    QString devicePath;
    // Samples per second on an exact clock, over a record's own rate; 0: a
    // record's rate, and for a sample file the classic pacing, a 2 ms sleep
    // after each frame.
    double sampleRate;
    // The signal of a record to play: a number from 1 or a label; empty: the first.
    QString signal;
    // The millivolts of a record that span the DAC's whole range, 0 mV at mid-scale.
    double fullScaleMv = 10;
    // The annotator whose file beside a WFDB record is read with it (100.atr
    // for "atr"), for the chart; empty: no annotations, an EDF+ file's neither.
    QString annotator = QStringLiteral("atr");
    // The GPIO line ("CHIP:LINE") that pulses as marked frames go out; empty: none.
    QString syncLine;
    // How long a pulse stays high; it always ends before the next frame.
    double syncWidthMs = 10;
    SyncOn syncOn = SyncOn::Beats;
    // The file that each beat sent is appended to; empty: none.
    QString beatLogPath;
    // The GPIO line ("CHIP:LINE") that a monitor's QRS detections come in on,
    // and the edge that marks one; empty: none.
    QString detectLine;
    DetectLine::Edge detectEdge = DetectLine::Edge::Rising;
    // Where each pass's detections are written (empty: the working folder),
    // and the annotator that names their files (100.det).
    QString detectFolder;
    QString detectAnnotator = QStringLiteral("det");
    // Beats before this time of a pass are the monitor's to learn on, not scored.
    double scoreFromSeconds = 300;
    // Each record played once from its first sample, then its last value
    // held for padSeconds, then the output off; else in a loop.
    bool once = false;
    double padSeconds = 5;
    // The folders that a file named from afar (SCPI, MPRIS) may come from.
    QStringList remoteFolders;
};

#endif // OUTPUTSETTINGS_H
