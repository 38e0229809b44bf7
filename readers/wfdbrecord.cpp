#include "wfdbrecord.h"

#include "regularfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTextCodec>

#include <cmath>
#include <iterator>
#include <limits>

namespace {

// A header is a line per signal, and PhysioNet's widest records (body-surface
// maps, dense EEG) have a few hundred signals: ten times that is 4096, whose
// lines take well under 1 MiB. Beyond either, a file is no header, and parsing
// it would hold the thread that chooses files.
constexpr qint64 maxHeaderBytes = 1 << 20;
constexpr qint64 maxSignals = 4096;
// The bytes read at once, whatever the signal count: whole 212 pairs (3
// bytes) and whole 16-bit samples.
constexpr int readBlockBytes = 3 << 16;

QString quoted(const QString &path)
{
    return "\"" + excerpt(QFileInfo(path).fileName()) + "\"";
}

// The header's lines that are neither blank nor comments, CR LF allowed. The
// empty text when read, otherwise why not.
QString headerLines(const QString &path, QStringList *lines)
{
    QFile file(path);
    QString reason;
    if (!openRegularFile(file, QIODevice::ReadOnly | QIODevice::Text, &reason))
        return reason;
    const QByteArray content = file.read(maxHeaderBytes + 1);
    if (content.size() > maxHeaderBytes)
        return "plus de 1 Mo, trop grand pour un en-tête";
    if (content.contains('\0'))
        return "binaire (octet nul)";
    // UTF-8, or else Latin-1 (a unit of µV written as the single byte B5).
    QTextCodec::ConverterState state;
    QString text = QTextCodec::codecForMib(106)->toUnicode(content.constData(), content.size(), &state);
    if (state.invalidChars > 0)
        text = QString::fromLatin1(content);
    for (const QString &line : text.split('\n')) {
        const QString trimmed = line.trimmed();
        if (!trimmed.isEmpty() && !trimmed.startsWith('#'))
            lines->append(trimmed);
    }
    return QString();
}

// A header's integer: digits with an optional sign, in [minimum, maximum].
bool readInteger(const QString &text, qint64 minimum, qint64 maximum, qint64 *value)
{
    bool ok = false;
    *value = text.toLongLong(&ok, 10);
    return ok && *value >= minimum && *value <= maximum;
}

// A header's real number: finite.
bool readReal(const QString &text, double *value)
{
    bool ok = false;
    *value = text.toDouble(&ok);
    return ok && std::isfinite(*value);
}

QString refusedNumber(const QString &field, const QString &text)
{
    return QString("%1 « %2 » refusé").arg(field, excerpt(text));
}

} // namespace

std::unique_ptr<RecordReader> WfdbRecord::open(const QString &headerPath, QString *error)
{
    std::unique_ptr<WfdbRecord> record(new WfdbRecord);
    record->headerPath = headerPath;
    QString refusal = record->readHeader(headerPath);
    if (refusal.isEmpty())
        refusal = record->checkSignalFile();
    if (!refusal.isEmpty()) {
        *error = refusal;
        return nullptr;
    }
    return record;
}

bool WfdbRecord::loadAnnotations(const QString &annotator, int, QVector<Annotation> *annotations, QString *error)
{
    annotations->clear();
    if (!QFileInfo::exists(annotationPath(headerPath, annotator)))
        return true;
    return readAnnotations(headerPath, annotator, annotations, error);
}

// Reads the record line and one line per signal. The empty text when the
// header is accepted, otherwise what is wrong with it.
QString WfdbRecord::readHeader(const QString &headerPath)
{
    const QString header = "En-tête WFDB " + quoted(headerPath) + " : ";
    QStringList lines;
    if (const QString unread = headerLines(headerPath, &lines); !unread.isEmpty())
        return header + unread;
    if (lines.isEmpty())
        return header + "vide";

    const QStringList record = lines.first().split(QRegularExpression("\\s+"));
    if (record.size() < 2)
        return header + "ligne d'enregistrement incomplète";
    if (record[0].contains('/'))
        return header + "enregistrement multisegment, non pris en charge";
    bool ok = false;
    const qint64 signalCount = record[1].toLongLong(&ok);
    if (!ok || signalCount < 1)
        return header + QString("nombre de signaux « %1 » refusé").arg(excerpt(record[1]));
    if (signalCount > maxSignals)
        return header + QString("%1 signaux, plus que les %2 lus").arg(signalCount).arg(maxSignals);
    if (signalCount > lines.size() - 1)
        return header + QString("%1 signaux annoncés, %2 décrits").arg(signalCount).arg(lines.size() - 1);
    // The rate, then optionally a counter's rate and its first value: 360/1(0).
    static const QRegularExpression rateForm("^([^/(]+)(?:/([^(]+))?(?:\\(([^)]+)\\))?$");
    double rate = 250;
    if (record.size() > 2) {
        const QRegularExpressionMatch rateSpec = rateForm.match(record[2]);
        const QString counterRate = rateSpec.captured(2);
        const QString counterStart = rateSpec.captured(3);
        double number = 0; // the counter's, checked and unused
        if (!rateSpec.hasMatch() || !readReal(rateSpec.captured(1), &rate) || rate <= 0
            || (!counterRate.isEmpty() && (!readReal(counterRate, &number) || number <= 0))
            || (!counterStart.isEmpty() && !readReal(counterStart, &number)))
            return header + QString("fréquence d'échantillonnage « %1 » refusée").arg(excerpt(record[2]));
    }
    qint64 announced = 0;
    if (record.size() > 3) {
        announced = record[3].toLongLong(&ok);
        if (!ok || announced < 0)
            return header + QString("nombre d'échantillons « %1 » refusé").arg(excerpt(record[3]));
    }

    static const QRegularExpression formatForm("^(\\d+)(?:x(\\d+))?(?::(\\d+))?(?:\\+(\\d+))?$");
    static const QRegularExpression gainForm("^([-+0-9.eE]+)(?:\\((-?\\d+)\\))?(?:/(\\S+))?$");
    // The integers after the gain, before the description; the second, the
    // ADC zero, is the baseline unless the gain gives one.
    static const char *const integerFields[] = {"nombre de bits du CAN", "zéro du CAN", "échantillon initial",
                                               "contrôle (checksum)", "nombre d'octets par bloc"};
    constexpr qint64 int32Min = std::numeric_limits<qint32>::min();
    constexpr qint64 int32Max = std::numeric_limits<qint32>::max();
    QString fileName;
    for (int i = 1; i <= signalCount; ++i) {
        const QStringList fields = lines[i].split(QRegularExpression("\\s+"));
        const QString where = header + QString("signal %1 : ").arg(i);
        if (fields.size() < 2)
            return where + "ligne incomplète";
        if (!fileName.isEmpty() && fields[0] != fileName)
            return where + "signaux répartis sur plusieurs fichiers, non pris en charge";
        fileName = fields[0];
        const QRegularExpressionMatch formatSpec = formatForm.match(fields[1]);
        qint64 signalFormat = 0;
        if (!formatSpec.hasMatch() || !readInteger(formatSpec.captured(1), 0, int32Max, &signalFormat))
            return where + QString("format « %1 » illisible").arg(excerpt(fields[1]));
        if (signalFormat != 212 && signalFormat != 16)
            return where + QString("format %1 non pris en charge (212 et 16 seulement)").arg(signalFormat);
        if (format != 0 && signalFormat != format)
            return where + "formats différents dans un même fichier, non pris en charge";
        format = int(signalFormat);
        qint64 perFrame = 1;
        if (!formatSpec.captured(2).isEmpty() && !readInteger(formatSpec.captured(2), 0, int32Max, &perFrame))
            return where + refusedNumber("nombre d'échantillons par trame", formatSpec.captured(2));
        if (perFrame > 1)
            return where + "plus d'un échantillon par trame, non pris en charge";
        qint64 skew = 0;
        if (!formatSpec.captured(3).isEmpty() && !readInteger(formatSpec.captured(3), 0, int32Max, &skew))
            return where + refusedNumber("décalage (skew)", formatSpec.captured(3));
        if (skew != 0)
            return where + "décalage (skew), non pris en charge";
        byteOffset = 0;
        if (!formatSpec.captured(4).isEmpty()
            && !readInteger(formatSpec.captured(4), 0, std::numeric_limits<qint64>::max(), &byteOffset))
            return where + refusedNumber("décalage en octets", formatSpec.captured(4));

        qint64 integers[std::size(integerFields)] = {};
        for (int field = 3; field < qMin(fields.size(), 3 + int(std::size(integerFields))); ++field) {
            if (!readInteger(fields[field], int32Min, int32Max, &integers[field - 3]))
                return where + refusedNumber(integerFields[field - 3], fields[field]);
        }
        double gain = 200;
        qint64 baseline = integers[1];
        QString unit = "mV";
        if (fields.size() > 2) {
            const QRegularExpressionMatch gainSpec = gainForm.match(fields[2]);
            if (!gainSpec.hasMatch())
                return where + QString("gain « %1 » illisible").arg(excerpt(fields[2]));
            double given = 0;
            if (!readReal(gainSpec.captured(1), &given))
                return where + QString("gain « %1 » illisible").arg(excerpt(fields[2]));
            if (given != 0)
                gain = given;
            const QString baselineText = gainSpec.captured(2);
            if (!baselineText.isEmpty() && !readInteger(baselineText, int32Min, int32Max, &baseline))
                return where + refusedNumber("niveau de base", baselineText);
            if (!gainSpec.captured(3).isEmpty())
                unit = gainSpec.captured(3);
        }
        // The description, spaces and all, follows the eighth field.
        const QString label = lines[i].section(QRegularExpression("\\s+"), 8);
        signalInfos.append({label.isEmpty() ? QString("signal %1").arg(i) : label, unit, rate, announced, gain,
                            double(baseline)});
    }
    if (fileName == "-")
        return header + "signaux lus sur l'entrée standard, non pris en charge";
    dataPath = QFileInfo(headerPath).dir().filePath(fileName);
    if (QFileInfo(dataPath).canonicalFilePath() == QFileInfo(headerPath).canonicalFilePath())
        return header + "le fichier de signaux nommé est l'en-tête lui-même";
    frames = announced;
    return QString();
}

// The signal file: a regular file, holding the frames announced (a shorter one
// plays the complete frames it has, and says so).
QString WfdbRecord::checkSignalFile()
{
    QFile data(dataPath);
    QString reason;
    if (!openRegularFile(data, QIODevice::ReadOnly, &reason))
        return "Fichier de signaux WFDB " + quoted(dataPath) + " : " + reason;
    const qint64 bytes = qMax<qint64>(0, data.size() - byteOffset);
    const qint64 samples = format == 16 ? bytes / 2 : bytes / 3 * 2 + (bytes % 3 == 2 ? 1 : 0);
    const qint64 present = samples / signalInfos.size();
    if (present == 0)
        return "Fichier de signaux WFDB " + quoted(dataPath) + " : aucun échantillon";
    if (frames == 0) {
        frames = present;
    } else if (present < frames) {
        notes << QString("Fichier de signaux WFDB %1 tronqué : %2 échantillons annoncés, %3 présents")
                     .arg(quoted(dataPath))
                     .arg(frames)
                     .arg(present);
        frames = present;
    }
    for (SignalInfo &info : signalInfos)
        info.length = frames;
    return QString();
}

bool WfdbRecord::read(int signal, const SampleSink &sink)
{
    const QString where = "Fichier de signaux WFDB " + quoted(dataPath) + " : ";
    QFile data(dataPath);
    QString reason;
    if (!openRegularFile(data, QIODevice::ReadOnly, &reason) || !data.seek(byteOffset)) {
        failure = where + (reason.isEmpty() ? "illisible" : reason);
        return false;
    }
    const int signalCount = signalInfos.size();
    const int invalid = format == 16 ? -32768 : -2048;
    // An invalid sample repeats the one before; before any, 0 in the signal's
    // unit, as near as 16 bits hold it.
    qint32 previous = qint32(qBound<qint64>(-32768, qint64(signalInfos[signal].baseline), 32767));
    QByteArray block(readBlockBytes, Qt::Uninitialized);
    QVector<qint32> values;
    values.reserve(readBlockBytes * 2 / 3 / signalCount + 1);
    qint64 sampleIndex = 0;
    const qint64 sampleCount = frames * signalCount;
    const auto take = [&](int adc) {
        if (sampleIndex++ % signalCount != signal)
            return;
        if (adc != invalid)
            previous = adc;
        values.append(previous);
    };
    while (sampleIndex < sampleCount) {
        const qint64 size = data.read(block.data(), block.size());
        if (size <= 0)
            break;
        const auto *bytes = reinterpret_cast<const uchar *>(block.constData());
        if (format == 16) {
            for (qint64 i = 0; i + 1 < size && sampleIndex < sampleCount; i += 2)
                take(qint16(bytes[i] | bytes[i + 1] << 8));
        } else {
            for (qint64 i = 0; i + 1 < size && sampleIndex < sampleCount; i += 3) {
                // Sign-extended from 12 bits.
                take(qint16((bytes[i] | (bytes[i + 1] & 0x0F) << 8) << 4) >> 4);
                if (i + 2 < size && sampleIndex < sampleCount)
                    take(qint16((bytes[i + 2] | (bytes[i + 1] & 0xF0) << 4) << 4) >> 4);
            }
        }
        // A frame may be longer than a block: this one may hold none of the signal.
        if (!values.isEmpty())
            sink.values(values.constData(), values.size());
        values.clear();
        if (sink.stops())
            return false;
    }
    // Its size was judged when it was opened: a shorter file would play in part.
    if (sampleIndex < sampleCount) {
        failure = where + QString("raccourci pendant la lecture (%1 trames lues sur %2)")
                              .arg(sampleIndex / signalCount)
                              .arg(frames);
        return false;
    }
    return true;
}
