#ifndef EDFRECORD_H
#define EDFRECORD_H

#include "recordreader.h"

#include <QFile>

struct edf_hdr_struct;

// An EDF, EDF+ or BDF file, checked and its annotations read by EDFlib, its
// samples read from the data records in blocks: every signal but EDF+'s
// annotations, each at its samples per data record over the record's
// duration, in its digital values (those outside the digital range clamped
// to it, as EDFlib does), with the mapping to physical values that its header gives. EDFlib refuses a discontinuous EDF+ file (EDF+D), and so does this.
class EdfRecord : public RecordReader
{
public:
    static std::unique_ptr<RecordReader> open(const QString &path, QString *error);
    ~EdfRecord() override;

    bool read(int signal, const SampleSink &sink) override;
    QStringList files() const override { return {path}; }
    // An EDF+ file's annotations as text ("N" or another beat's label alone: that beat).
    bool loadAnnotations(const QString &annotator, int signal, QVector<Annotation> *annotations,
                         QString *error) override;

private:
    explicit EdfRecord(const QString &path);
    bool readLayout();

    const QString path;
    QFile file;
    std::unique_ptr<edf_hdr_struct> header;
    bool opened = false;
    // Where each signal's samples lie in a data record, in bytes.
    struct Layout
    {
        qint64 offset = 0;
        int samples = 0;
    };
    QVector<Layout> layouts;
    qint64 dataStart = 0;
    qint64 recordBytes = 0;
    int sampleBytes = 2;
};

#endif // EDFRECORD_H
