#include "edfrecord.h"

#include "samplefile.h"

#include <QFile>
#include <QFileInfo>

#include <edflib.h>

namespace {

constexpr int readBlockSamples = 8192;

QString errorText(int code)
{
    switch (code) {
    case EDFLIB_NO_SUCH_FILE_OR_DIRECTORY:
    case EDFLIB_FILE_READ_ERROR:
        return "illisible";
    case EDFLIB_FILE_CONTAINS_FORMAT_ERRORS:
    case EDFLIB_FILETYPE_ERROR:
        return "en-tête non conforme au format EDF";
    case EDFLIB_NUMBER_OF_SIGNALS_INVALID:
        return "nombre de signaux refusé";
    case EDFLIB_FILE_IS_DISCONTINUOUS:
        return "EDF+ discontinu (EDF+D), que EDFlib ne lit pas";
    case EDFLIB_MAXFILES_REACHED:
    case EDFLIB_MALLOC_ERROR:
        return "trop de fichiers ouverts ou mémoire insuffisante";
    default:
        return QString("refusé par EDFlib (erreur %1)").arg(code);
    }
}

double millivoltsPer(const QString &unit)
{
    if (unit == "uV" || unit == "µV")
        return 0.001;
    if (unit == "V")
        return 1000;
    return 1;
}

} // namespace

EdfRecord::EdfRecord(const QString &path, double fullScaleMv)
    : path(path), fullScaleMv(fullScaleMv), header(std::make_unique<edf_hdr_struct>())
{
}

EdfRecord::~EdfRecord()
{
    if (opened)
        edfclose_file(header->handle);
}

std::unique_ptr<RecordReader> EdfRecord::open(const QString &path, double fullScaleMv, QString *error)
{
    const QString where = "Fichier EDF \"" + QFileInfo(path).fileName() + "\" : ";
    // EDFlib would block on a FIFO and read a device for ever.
    QFile check(path);
    if (!openSampleFile(check)) {
        *error = where + "absent, illisible ou pas un fichier ordinaire";
        return nullptr;
    }
    check.close();

    std::unique_ptr<EdfRecord> record(new EdfRecord(path, fullScaleMv));
    edf_hdr_struct &header = *record->header;
    if (edfopen_file_readonly(QFile::encodeName(path).constData(), &header, EDFLIB_DO_NOT_READ_ANNOTATIONS) != 0) {
        *error = where + errorText(header.filetype);
        return nullptr;
    }
    record->opened = true;
    if (header.edfsignals < 1 || header.datarecord_duration <= 0) {
        *error = where + "aucun signal à jouer";
        return nullptr;
    }
    for (int i = 0; i < header.edfsignals; ++i) {
        const edf_param_struct &signal = header.signalparam[i];
        const QString unit = QString::fromLatin1(signal.physdimension).trimmed();
        record->mvPerUnit.append(millivoltsPer(unit));
        record->signalInfos.append({QString::fromLatin1(signal.label).trimmed(), unit,
                                    double(signal.smp_in_datarecord) * EDFLIB_TIME_DIMENSION
                                        / double(header.datarecord_duration),
                                    signal.smp_in_file});
    }
    return record;
}

bool EdfRecord::read(int signal, const SampleSink &sink)
{
    const int handle = header->handle;
    edfrewind(handle, signal);
    CodeMapping mapping(fullScaleMv);
    QVector<double> values(readBlockSamples);
    QVector<qint32> codes(readBlockSamples);
    qint64 left = signalInfos[signal].length;
    while (left > 0) {
        const int wanted = int(qMin<qint64>(left, readBlockSamples));
        const int count = edfread_physical_samples(handle, signal, wanted, values.data());
        if (count <= 0) {
            failure = "Fichier EDF \"" + QFileInfo(path).fileName() + "\" : tronqué ou illisible";
            return false;
        }
        for (int i = 0; i < count; ++i)
            codes[i] = mapping.code(values[i] * mvPerUnit[signal]);
        sink.codes(codes.constData(), count);
        left -= count;
    }
    if (mapping.clipped > 0)
        notes << QString("%1 échantillons écrêtés").arg(mapping.clipped);
    return true;
}
