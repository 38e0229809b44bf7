#ifndef WFDBRECORD_H
#define WFDBRECORD_H

#include "recordreader.h"

// A PhysioNet WFDB record: its header (.hea) and the one signal file that holds
// all of its signals, multiplexed frame by frame, in format 212 (two 12-bit
// samples in three bytes) or 16 (16-bit little-endian). Read by blocks of a
// fixed size whatever the signal count, with 64-bit file offsets.
class WfdbRecord : public RecordReader
{
public:
    // Null when the header or its signal file is refused, with *error saying
    // what is wrong and in which file.
    static std::unique_ptr<RecordReader> open(const QString &headerPath, QString *error);

    bool read(int signal, const SampleSink &sink) override;
    QStringList files() const override { return {headerPath, dataPath}; }
    bool loadAnnotations(const QString &annotator, int signal, QVector<Annotation> *annotations,
                         QString *error) override;

private:
    WfdbRecord() = default;
    QString readHeader(const QString &headerPath);
    QString checkSignalFile();

    QString headerPath;
    QString dataPath;
    int format = 0;
    qint64 byteOffset = 0;
    qint64 frames = 0;
};

#endif // WFDBRECORD_H
