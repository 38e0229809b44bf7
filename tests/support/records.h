#ifndef RECORDS_H
#define RECORDS_H

// Small records written as the published WFDB and EDF formats describe them.

#include "annotations.h"

#include <QByteArray>
#include <QPair>
#include <QVector>

// The samples of a WFDB signal file, all signals frame by frame, in format
// 212 (pairs of 12-bit samples in three bytes) or 16 (16-bit little-endian).
QByteArray wfdbSamples(int format, const QVector<int> &samples);

// One signal of an EDF (or BDF) file, whose physical value is its digital value
// plus offset, times unitsPerDigit (0.1 or 1).
struct EdfSignal
{
    QByteArray label;
    QByteArray unit;
    double unitsPerDigit;
    int perRecord;
    QVector<int> digital;
    int offset = 0;
};

// An EDF+ event: its onset in seconds from the start, and its text.
using EdfEvent = QPair<double, QByteArray>;

// An EDF+ file (reserved field "EDF+C" or "EDF+D"; "" for plain EDF) of the
// signals, with an annotations signal after them for EDF+, in records of
// duration seconds (as written in the header). Each record's annotations are
// its onset, then the events that start in it (a few short ones: 30 bytes each).
// A plain BDF file for a sample of 3 bytes: its digital range ±1,000,000,
// beyond 16 bits, and its physical one still in the header's 8 characters.
QByteArray edfFile(const QVector<EdfSignal> &signalList, int records, const QByteArray &duration,
                   const QByteArray &reserved = "EDF+C", const QVector<EdfEvent> &events = {},
                   int sampleBytes = 2);

#endif // RECORDS_H
