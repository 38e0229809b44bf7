#ifndef SAMPLEFILE_H
#define SAMPLEFILE_H

class QFile;

// Opens a sample file read-only in text mode. Only a regular file (or a link to
// one) is opened: reading a FIFO would block its reader until a writer came,
// and a device such as /dev/zero never ends.
bool openSampleFile(QFile &file);

#endif // SAMPLEFILE_H
