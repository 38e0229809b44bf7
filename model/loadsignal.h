#ifndef LOADSIGNAL_H
#define LOADSIGNAL_H

#include "annotations.h"
#include "envelope.h"
#include "refusal.h"
#include "samplelist.h"

#include <functional>
#include <memory>

class RecordReader;
struct SignalInfo;

// What a read may be told and tell as it goes: whether to give up, and how
// far it is (samples read, of about total).
struct LoadObserver
{
    std::function<bool()> cancelled;
    std::function<void(qint64 read, qint64 total)> progress;
};

struct LoadedSignal
{
    std::shared_ptr<SampleList> list; // null when refused
    std::shared_ptr<const Envelope> envelope; // of the list, for its chart
    Refusal refusal;
};

// Reads one signal of an open file, whole, into a sample list and its
// envelope, in one pass: a record's values in its units, a sample file's
// keeping their low 16 bits, a line that is no integer going out as -1 (its
// low 16 bits), the first said in the log with its text, the others counted.
// Refused when the file cannot be read to its end, holds no sample, or does
// not fit in memory. Then the list's annotations, a
// WFDB record's in its file named after annotator (empty: none are read);
// annotations that cannot be read are said in the log, and the signal plays
// without them.
LoadedSignal loadSignal(RecordReader &reader, const QString &path, int signal, const LoadObserver &observer = {},
                        const QString &annotator = QString());

// Opens path and reads one signal of it; for callers that have no reader yet.
LoadedSignal loadSignal(const QString &path, int signal, const LoadObserver &observer = {},
                        const QString &annotator = QString());

// Opens path to read its signals, saying in the log why it cannot be.
Refusal openSignals(const QString &path, std::unique_ptr<RecordReader> *reader);
// The refusal of a selector that names none of a file's signals.
Refusal noSignalRefusal(const QString &selector, const QString &path, const QVector<SignalInfo> &signalInfos);
// The end of a read given up for a newer one, or by the operator.
Refusal cancelledRead(const QString &path);

#endif // LOADSIGNAL_H
