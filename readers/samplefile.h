#ifndef SAMPLEFILE_H
#define SAMPLEFILE_H

#include <QIODevice>
#include <QString>

#include <functional>

class QFile;

// No sample file has lines this long (a sample is at most 11 characters); a
// binary file may have no line end at all, and reading its "line" whole could
// exhaust memory.
constexpr int maxSampleLineLength = 4096;

// The lines that an open sample file probably holds, judged from the length of
// its first lines, a little over: enough to tell how far a read has gone (its
// memory is judged from its size). 0 when it has no line end near its start.
qint64 estimatedLineCount(QFile &file);

// One line of a sample file, trimmed of white space: blank, a base-10 integer
// (an optional sign, then digits) in the signed 32-bit range, or anything else.
struct SampleLine
{
    enum Kind { Blank, Value, Invalid };
    Kind kind;
    qint32 value;
    QString text; // the trimmed line, for an invalid one
};

// Hands each line of an open sample file to take, in order. Stops and returns
// false at a line longer than maxSampleLineLength characters, or when take
// returns false. Reads 30 million
// lines in a few seconds: plain ASCII lines are parsed as bytes, any other
// line is decoded as UTF-8 and read as text by the same rule.
bool readSampleLines(QIODevice &file, const std::function<bool(const SampleLine &line)> &take);

#endif // SAMPLEFILE_H
