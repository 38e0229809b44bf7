#ifndef STATUSLINE_H
#define STATUSLINE_H

#include "outputhealth.h"
#include "playstate.h"

#include <QString>

#include <optional>

// What the status line says about the output and the file in the chart.
struct PlaybackFacts
{
    using State = PlayState;

    State state = State::Stopped;
    QString fileName;    // the file in the chart; empty: none
    QString signalLabel; // its signal; empty for a sample file
    double rate = 0;     // samples per second that go out; 0: the classic pacing
    double ownRate = 0;  // the record's own rate; 0: none (a sample file)
    qint64 position = 0; // the next sample to go out
    qint64 length = 0;   // the signal's samples
    std::optional<double> fullScaleMv; // a record's
    qint64 loops = 0;    // times the output went through the whole signal
    double heartRate = 0; // from the annotated beats sent, per minute; 0: none
    // A monitor's detections scored: its QRS sensitivity and positive
    // predictivity, in percent, each none while undefined.
    bool scoring = false;
    std::optional<double> sensitivity;
    std::optional<double> positivePredictivity;
    // The file and signal that go out, when they are not the chart's.
    QString outputFile;
    QString outputSignal;
};

// Two lines in French: the state and the file or files; then the pace, the
// position and length (h:mm:ss in the recording's time, and samples), the
// full scale, the loops, the reference heart rate and the monitor's score
// ("Se 99,8 % +P 99,9 %"). With no file, the state alone. "Simulation en marche — 100.hea (MLII)" and
// "360 éch./s, x 1,00 — 0:00:02 / 0:30:05, éch. 720 / 650 000 — ..." say it.
QString statusText(const PlaybackFacts &facts);

// One line in French on the output's health: "DAC /dev/spidev0.0 (réel) —
// priorité FIFO 20 — 0 trame en retard, 0 relance — code 39322, 1,000 mV";
// a device that failed, "DAC … en échec".
QString healthText(const OutputHealth &health);

#endif // STATUSLINE_H
