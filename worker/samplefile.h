#ifndef SAMPLEFILE_H
#define SAMPLEFILE_H

#include <functional>

class QFile;
class QIODevice;
class QString;

// No sample file has lines this long (a sample is at most 11 characters); a
// binary file may have no line end at all, and reading its "line" whole could
// exhaust memory.
constexpr int maxSampleLineLength = 4096;

// Opens file (constructed with its path) read-only in text mode, only if what
// the path names at that moment is a regular file (or a link to one): the
// path is opened without blocking and the descriptor's type is checked, then
// read. A FIFO would block its reader until a writer came, and a device such
// as /dev/zero never ends; checking the path first and opening it afterwards
// would let it be replaced in between.
bool openSampleFile(QFile &file);

// Hands each line of an open sample file to take, in order, without its line
// end. Stops and returns false at a line longer than maxSampleLineLength.
bool readSampleLines(QIODevice &file, const std::function<void(const QString &line)> &take);

#endif // SAMPLEFILE_H
