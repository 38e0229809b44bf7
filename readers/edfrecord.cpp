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

} // namespace

EdfRecord::EdfRecord(const QString &path, double fullScaleMv)
    : path(path), fullScaleMv(fullScaleMv), file(path), header(std::make_unique<edf_hdr_struct>())
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
    std::unique_ptr<EdfRecord> record(new EdfRecord(path, fullScaleMv));
    // EDFlib opens by name: it is given the file opened here, which is a
    // regular file (EDFlib would block on a FIFO and read a device for ever)
    // and cannot be another by the time EDFlib opens it. Kept open, its
    // descriptor's name is no other open record's, which EDFlib would refuse.
    if (!openSampleFile(record->file, QIODevice::ReadOnly)) {
        *error = where + "absent, illisible ou pas un fichier ordinaire";
        return nullptr;
    }
    const QByteArray opened = "/proc/self/fd/" + QByteArray::number(record->file.handle());
    edf_hdr_struct &header = *record->header;
    if (edfopen_file_readonly(opened.constData(), &header, EDFLIB_DO_NOT_READ_ANNOTATIONS) != 0) {
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
        record->signalInfos.append({QString::fromLatin1(signal.label).trimmed(),
                                    QString::fromLatin1(signal.physdimension).trimmed(),
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
    const double mvPerUnit = millivoltsPerUnit(signal);
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
            codes[i] = mapping.code(values[i] * mvPerUnit);
        sink.codes(codes.constData(), count);
        if (sink.stops())
            return false;
        left -= count;
    }
    if (mapping.clipped > 0)
        notes << QString("%1 échantillons écrêtés").arg(mapping.clipped);
    return true;
}
