#ifndef RECORDREADER_H
#define RECORDREADER_H

#include "annotations.h"

#include <QString>
#include <QStringList>
#include <QVector>

#include <functional>
#include <memory>

// One signal of a file, as the file describes it.
struct SignalInfo
{
    QString label;
    QString unit;      // as the file names it; empty for a sample file
    double rate = 0;   // samples per second; 0 for a sample file, which has none
    qint64 length = 0; // samples; for a sample file an estimate, a little over, from its first lines
};

// Where a reader hands what it reads, in file order.
struct SampleSink
{
    // DAC codes: a sample file's integers as they are, a record's values in
    // millivolts mapped to the DAC's range.
    std::function<void(const qint32 *codes, int count)> codes;
    // A sample file's line that is not an integer; it is no code.
    std::function<void(int lineNumber, const QString &text)> invalidLine;
    // Asked between blocks: true ends the read, which then returns false.
    std::function<bool()> cancelled = nullptr;

    bool stops() const { return cancelled && cancelled(); }
};

// Maps millivolts to DAC codes as 32768 + round(mV × 65536 / fullScaleMv),
// halves away from zero: 0 mV at mid-scale, fullScaleMv across the whole
// range; codes beyond it are clamped and counted.
class CodeMapping
{
public:
    explicit CodeMapping(double fullScaleMv) : fullScaleMv(fullScaleMv) {}
    qint32 code(double mv);
    qint64 clipped = 0;

private:
    double fullScaleMv;
};

// A file that the program plays: a sample file (one integer per line), a
// WFDB record (its .hea header), or an EDF, EDF+ or BDF file. Lists its
// signals and reads one of them from its start, block by block.
class RecordReader
{
public:
    virtual ~RecordReader() = default;

    const QVector<SignalInfo> &signalList() const { return signalInfos; }
    // Hands the signal's codes to sink, from its first sample. False when the
    // file cannot be read to its end; error() then says why.
    virtual bool read(int signal, const SampleSink &sink) = 0;
    // What is wrong, and in which file; empty for a sample file, whose refusal
    // needs no more than its name.
    const QString &error() const { return failure; }
    // What the last read found worth saying (a truncated record, say).
    const QStringList &warnings() const { return notes; }
    // The files that a read reads: a WFDB record's header and signal file.
    virtual QStringList files() const = 0;
    // The annotations that come with the record, at the samples of signal: a
    // WFDB record's from the file beside its header named after annotator, an
    // EDF+ file's from the file itself. None when it has none (a sample file,
    // a plain EDF file, a WFDB record without that file); false when they are
    // there but cannot be read, *error then saying why and in which file.
    virtual bool loadAnnotations(const QString &annotator, int signal, QVector<Annotation> *annotations,
                                 QString *error);

protected:
    // Millivolts per unit of the signal: 1 for mV, 0.001 for µV, 1000 for V.
    // A unit that is no voltage (degC, mmHg, none) is taken as mV, with a warning.
    double millivoltsPerUnit(int signal);

    QVector<SignalInfo> signalInfos;
    QString failure;
    QStringList notes;
};

// Opens path by its kind: .hea (or .dat, for the header beside it) a WFDB
// record, .edf or .bdf an EDF file, anything else a sample file. Records'
// millivolts are mapped to codes with fullScaleMv. Null when it cannot be
// opened, with *error saying why (empty for a sample file that cannot be
// opened). Only regular files are opened. A file whose longest signal would
// not fit in memory is refused before it is read.
std::unique_ptr<RecordReader> openRecord(const QString &path, double fullScaleMv, QString *error);

// Why samples (of one signal, kept as 16-bit codes) cannot be held in memory:
// more than the memory available, or than one block of it can hold (a Qt
// container, and on a 32-bit system the address space left). Empty when they fit.
QString memoryRefusal(qint64 samples);

// The signal of a record that selector names: a number from 1, or a label
// compared without case and surrounding blanks; the first for an empty
// selector. A sample file's one signal whatever the selector. -1 for none.
int findSignal(const QVector<SignalInfo> &signalInfos, const QString &selector);
// "2: V5 (mV, 360/s)": signal number 2, for the operator.
QString describeSignal(int number, const SignalInfo &info);
// "1: MLII (mV, 360/s), 2: V5 (mV, 360/s)", for a refusal.
QString describeSignals(const QVector<SignalInfo> &signalInfos);
// The refusal of a selector that names none of the signals, with their list.
QString noSuchSignal(const QString &selector, const QVector<SignalInfo> &signalInfos);

#endif // RECORDREADER_H
