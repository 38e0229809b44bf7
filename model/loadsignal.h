#ifndef LOADSIGNAL_H
#define LOADSIGNAL_H

#include "annotations.h"
#include "envelope.h"
#include "recordreader.h"
#include "refusal.h"
#include "samplelist.h"

#include <QDateTime>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>

// What a read may be told and tell as it goes: whether to give up, and how
// far it is (samples read, of about total).
struct LoadObserver
{
    std::function<bool()> cancelled;
    std::function<void(qint64 read, qint64 total)> progress;
};

// The sizes and times of a file's files: a change says it must be read again.
using FileStamps = QVector<QPair<qint64, QDateTime>>;
FileStamps fileStamps(const QStringList &files);

// A file to open and the signal of it to read.
struct LoadRequest
{
    QString path;
    // A choice's: the signal's number from 1 or its label, as findSignal takes it.
    QString selector;
    // A re-read's: the signal's number from 0, which must still carry label
    // when one is given; -1 for a choice.
    int signal = -1;
    std::optional<QString> label;
    // The signal plays at its own rate, which must then be within the bounds.
    bool ownRate = false;
    // A choice from afar: the folders that the file and every file it reads must be in.
    std::optional<QStringList> folders;
    // The file's signals and the one asked for only, none read.
    bool listOnly = false;
};

struct LoadedSignal
{
    std::shared_ptr<SampleList> list; // null when refused, or listing only
    std::shared_ptr<const Envelope> envelope; // of the list, for its chart
    Refusal refusal;
    // The file's signals and the one read (from 0), once the file opened.
    QVector<SignalInfo> signalInfos;
    int signal = -1;
    // The files read and their stamps taken before the read.
    QStringList files;
    FileStamps stamps;
};

// Opens the file, finds the signal and reads it, whole, into a sample list
// and its envelope, in one pass: a record's values in its units, a sample
// file's keeping their low 16 bits, a line that is no integer going out as -1
// (its low 16 bits), the first said in the log with its text, the others
// counted. Refused when the file cannot
// be opened or read to its end, has no such signal, holds no sample, or does
// not fit in memory. Then the list's annotations, a WFDB record's in its file
// named after annotator (empty: none are read); annotations that cannot be
// read are said in the log, and the signal plays without them.
LoadedSignal loadSignal(const LoadRequest &request, const LoadObserver &observer = {},
                        const QString &annotator = QString());

// The same for a signal's number from 0, for callers with nothing more to ask.
LoadedSignal loadSignal(const QString &path, int signal, const LoadObserver &observer = {},
                        const QString &annotator = QString());

#endif // LOADSIGNAL_H
