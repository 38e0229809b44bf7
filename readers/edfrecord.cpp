#include "edfrecord.h"

#include "regularfile.h"

#include <QFile>
#include <QFileInfo>
#include <QMutex>

#include <cmath>

#include <edflib.h>

#include <unistd.h>

namespace {

// The bytes read at once, at least one data record.
constexpr qint64 readBlockBytes = 1 << 20;

// EDFlib keeps its open files in one table without a lock, which its open
// searches and its close empties: the main thread opens files while the
// loading thread opens and closes others. A read touches its own entry only.
QMutex openFilesMutex;

int openEdf(const QByteArray &name, edf_hdr_struct *header, int annotations)
{
    const QMutexLocker locker(&openFilesMutex);
    return edfopen_file_readonly(name.constData(), header, annotations);
}

void closeEdf(int handle)
{
    const QMutexLocker locker(&openFilesMutex);
    edfclose_file(handle);
}

// The label of an EDF+ annotation's text: a beat's label alone is that beat;
// any other text is a note ("), its text the aux.
Annotation textAnnotation(qint64 sample, const QString &text)
{
    Annotation annotation;
    annotation.sample = sample;
    const char single = text.size() == 1 ? text.at(0).toLatin1() : '\0';
    annotation.isBeat = isBeatLabel(single);
    annotation.label = annotation.isBeat ? single : '"';
    annotation.code = annotationCode(annotation.label);
    if (!annotation.isBeat)
        annotation.aux = text;
    return annotation;
}

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

EdfRecord::EdfRecord(const QString &path) : path(path), file(path), header(std::make_unique<edf_hdr_struct>())
{
}

EdfRecord::~EdfRecord()
{
    if (opened)
        closeEdf(header->handle);
}

std::unique_ptr<RecordReader> EdfRecord::open(const QString &path, QString *error)
{
    const QString where = "Fichier EDF \"" + excerpt(QFileInfo(path).fileName()) + "\" : ";
    std::unique_ptr<EdfRecord> record(new EdfRecord(path));
    // EDFlib opens by name: it is given the name of the descriptor opened
    // here, a regular file (EDFlib would block on a FIFO and read a device for
    // ever), which /proc/self/fd/N opens again whatever the path names by
    // then. Kept open, that name is no other open record's, which EDFlib would refuse.
    QString reason;
    if (!openRegularFile(record->file, QIODevice::ReadOnly, &reason)) {
        *error = where + reason;
        return nullptr;
    }
    const QByteArray opened = "/proc/self/fd/" + QByteArray::number(record->file.handle());
    edf_hdr_struct &header = *record->header;
    if (openEdf(opened, &header, EDFLIB_DO_NOT_READ_ANNOTATIONS) != 0) {
        *error = where + errorText(header.filetype);
        return nullptr;
    }
    record->opened = true;
    if (header.edfsignals < 1 || header.datarecord_duration <= 0) {
        *error = where + "aucun signal à jouer";
        return nullptr;
    }
    const bool bdf = header.filetype == EDFLIB_FILETYPE_BDF || header.filetype == EDFLIB_FILETYPE_BDFPLUS;
    for (int i = 0; i < header.edfsignals; ++i) {
        const edf_param_struct &signal = header.signalparam[i];
        // Physical values from digital ones as EDF defines them, from the two
        // ends of both ranges.
        const double gain = double(signal.dig_max - signal.dig_min) / (signal.phys_max - signal.phys_min);
        if (!std::isfinite(gain) || gain == 0) {
            *error = where + QString("signal %1 : étendue physique ou numérique nulle").arg(i + 1);
            return nullptr;
        }
        record->signalInfos.append({QString::fromLatin1(signal.label).trimmed(),
                                    QString::fromLatin1(signal.physdimension).trimmed(),
                                    double(signal.smp_in_datarecord) * EDFLIB_TIME_DIMENSION
                                        / double(header.datarecord_duration),
                                    signal.smp_in_file, gain, signal.dig_max - signal.phys_max * gain, bdf});
    }
    if (!record->readLayout()) {
        *error = where + "en-tête non conforme au format EDF";
        return nullptr;
    }
    return record;
}

// The data records' layout from the header that EDFlib accepted: its signals'
// samples per record, in file order, EDF+'s annotation signals among them.
bool EdfRecord::readLayout()
{
    const QByteArray start = file.read(256);
    bool ok = false;
    const int fileSignals = start.mid(252, 4).trimmed().toInt(&ok);
    const QByteArray fields = ok && fileSignals > 0 ? file.read(256 * qint64(fileSignals)) : QByteArray();
    if (!ok || start.size() != 256 || fields.size() != 256 * qint64(fileSignals))
        return false;
    sampleBytes = header->filetype == EDFLIB_FILETYPE_BDF || header->filetype == EDFLIB_FILETYPE_BDFPLUS ? 3 : 2;
    dataStart = 256 * (qint64(fileSignals) + 1);
    for (int i = 0; i < fileSignals && ok; ++i) {
        const QByteArray label = fields.mid(16 * i, 16).trimmed();
        const int samples = fields.mid(216 * fileSignals + 8 * i, 8).trimmed().toInt(&ok);
        if (ok && label != "EDF Annotations" && label != "BDF Annotations") {
            ok = layouts.size() < header->edfsignals
                 && samples == header->signalparam[layouts.size()].smp_in_datarecord;
            layouts.append({recordBytes, samples});
        }
        recordBytes += qint64(samples) * sampleBytes;
    }
    // A record read at once: within what a QByteArray holds.
    return ok && layouts.size() == header->edfsignals && recordBytes > 0 && recordBytes < (1 << 30);
}

bool EdfRecord::read(int signal, const SampleSink &sink)
{
    const Layout layout = layouts[signal];
    const edf_param_struct &param = header->signalparam[signal];
    const qint64 perBlock = qMax<qint64>(1, readBlockBytes / recordBytes);
    QByteArray block(int(perBlock * recordBytes), Qt::Uninitialized);
    QVector<qint32> values(int(perBlock * layout.samples));
    const auto unreadable = [this] {
        failure = "Fichier EDF \"" + excerpt(QFileInfo(path).fileName()) + "\" : tronqué ou illisible";
        return false;
    };
    if (!file.seek(dataStart))
        return unreadable();
    for (qint64 left = header->datarecords_in_file; left > 0;) {
        const qint64 records = qMin(left, perBlock);
        if (file.read(block.data(), records * recordBytes) != records * recordBytes)
            return unreadable();
        qint32 *value = values.data();
        for (qint64 r = 0; r < records; ++r) {
            const auto *bytes = reinterpret_cast<const uchar *>(block.constData()) + r * recordBytes + layout.offset;
            for (int i = 0; i < layout.samples; ++i, bytes += sampleBytes) {
                // Little-endian, sign-extended; clamped to the digital range as EDFlib does.
                const qint32 digital = sampleBytes == 2 ? qint16(bytes[0] | bytes[1] << 8)
                                                        : qint32(uint(bytes[0] | bytes[1] << 8 | bytes[2] << 16) << 8) >> 8;
                *value++ = qBound(param.dig_min, digital, param.dig_max);
            }
        }
        sink.values(values.constData(), int(value - values.constData()));
        if (sink.stops())
            return false;
        left -= records;
    }
    return true;
}

bool EdfRecord::loadAnnotations(const QString &, int signal, QVector<Annotation> *annotations, QString *error)
{
    annotations->clear();
    if (header->filetype != EDFLIB_FILETYPE_EDFPLUS && header->filetype != EDFLIB_FILETYPE_BDFPLUS)
        return true;
    // Opened without its annotations, which EDFlib reads only as it opens a
    // file (all of the file's records for them): opened again here, on the
    // loading thread, by the name of a copy of the same descriptor.
    const QString where = "Annotations EDF+ de \"" + excerpt(QFileInfo(path).fileName()) + "\" : ";
    const int copy = ::dup(file.handle());
    if (copy < 0) {
        *error = where + "trop de fichiers ouverts";
        return false;
    }
    const QByteArray name = "/proc/self/fd/" + QByteArray::number(copy);
    auto annotated = std::make_unique<edf_hdr_struct>();
    bool read = openEdf(name, annotated.get(), EDFLIB_READ_ALL_ANNOTATIONS) == 0;
    if (!read) {
        *error = where + errorText(annotated->filetype);
    } else {
        const double samplesPerUnit = signalInfos[signal].rate / EDFLIB_TIME_DIMENSION;
        for (long long i = 0; i < annotated->annotations_in_file && read; ++i) {
            edf_annotation_struct event;
            read = edf_get_annotation(annotated->handle, int(i), &event) == 0;
            if (read)
                annotations->append(textAnnotation(std::llround(double(event.onset) * samplesPerUnit),
                                                   QString::fromUtf8(event.annotation).trimmed()));
        }
        if (!read) {
            *error = where + "illisibles";
            annotations->clear();
        }
        closeEdf(annotated->handle);
    }
    ::close(copy);
    return read;
}
