#ifndef EDFRECORD_H
#define EDFRECORD_H

#include "recordreader.h"

#include <QFile>

struct edf_hdr_struct;

// An EDF, EDF+ or BDF file, read through EDFlib: every signal but EDF+'s
// annotations, each at its samples per data record over the record's
// duration, in physical values (EDFlib clamps samples outside the digital
// range). EDFlib refuses a discontinuous EDF+ file (EDF+D), and so does this.
class EdfRecord : public RecordReader
{
public:
    static std::unique_ptr<RecordReader> open(const QString &path, double fullScaleMv, QString *error);
    ~EdfRecord() override;

    bool read(int signal, const SampleSink &sink) override;
    QStringList files() const override { return {path}; }
    // An EDF+ file's annotations as text ("N" or another beat's label alone: that beat).
    bool loadAnnotations(const QString &annotator, int signal, QVector<Annotation> *annotations,
                         QString *error) override;

private:
    EdfRecord(const QString &path, double fullScaleMv);

    const QString path;
    const double fullScaleMv;
    QFile file;
    std::unique_ptr<edf_hdr_struct> header;
    bool opened = false;
};

#endif // EDFRECORD_H
