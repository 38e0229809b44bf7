#ifndef RECORDREADER_H
#define RECORDREADER_H

#include "annotations.h"
#include "samplelist.h"

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
    // A record's: its units per unit named (WFDB's gain; 0 for a sample file),
    // the value of 0 in that unit, and whether its values need more than 16 bits.
    double gain = 0;
    double baseline = 0;
    bool wide = false;
};

// Where a reader hands what it reads, in file order.
struct SampleSink
{
    // A record's values in its units, a sample file's integers as they are.
    std::function<void(const qint32 *values, int count)> values;
    // A sample file's line that is not an integer; it is no code.
    std::function<void(int lineNumber, const QString &text)> invalidLine;
    // Asked between blocks: true ends the read, which then returns false.
    std::function<bool()> cancelled = nullptr;

    bool stops() const { return cancelled && cancelled(); }
};

// A file that the program plays: a sample file (one integer per line), a
// WFDB record (its .hea header), or an EDF, EDF+ or BDF file. Lists its
// signals and reads one of them from its start, block by block.
class RecordReader
{
public:
    virtual ~RecordReader() = default;

    const QVector<SignalInfo> &signalList() const { return signalInfos; }
    // The most samples that signal can have, which the memory must hold: its
    // length, or for a sample file what its size can hold.
    virtual qint64 mostSamples(int signal) const { return signalInfos[signal].length; }
    // Readies list for signal: its rate, the mapping of its units to
    // millivolts, its storage reserved for mostSamples(). A unit that is no
    // voltage (degC, mmHg, none) is taken as mV, with a warning.
    void prepare(int signal, SampleList *list);
    // Hands the signal's values to sink, from its first sample. False when the
    // file cannot be read to its end (or changed while read); error() then says why.
    virtual bool read(int signal, const SampleSink &sink) = 0;
    // What is wrong, and in which file.
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
    QVector<SignalInfo> signalInfos;
    QString failure;
    QStringList notes;
};

// Opens path by its kind: .hea (or .dat, for the header beside it) a WFDB
// record, .edf or .bdf an EDF file, anything else a sample file. Null when it
// cannot be opened, with *error saying why. Only regular files are opened. A
// file whose longest signal would not fit in memory is refused before it is read.
std::unique_ptr<RecordReader> openRecord(const QString &path, QString *error);

// Why samples (of one signal, each kept in bytesEach) cannot be held in
// memory: more than the memory available, or than one block of it can hold
// (a Qt container, and on a 32-bit system the address space left). Empty when they fit.
QString memoryRefusal(qint64 samples, int bytesEach);

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
