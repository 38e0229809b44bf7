#include "wfdbrecord.h"

#include "samplefile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTextCodec>

#include <cmath>
#include <iterator>
#include <limits>

namespace {

// A header is a few lines per signal; a larger file is no header.
constexpr qint64 maxHeaderBytes = 1 << 20;
// The bytes read at once, whatever the signal count: whole 212 pairs (3
// bytes) and whole 16-bit samples.
constexpr int readBlockBytes = 3 << 16;

QString quoted(const QString &path)
{
    return "\"" + QFileInfo(path).fileName() + "\"";
}

// The header's lines that are neither blank nor comments, CR LF allowed.
bool headerLines(const QString &path, QStringList *lines)
{
    QFile file(path);
    if (!openSampleFile(file) || file.size() > maxHeaderBytes)
        return false;
    const QByteArray content = file.readAll();
    if (content.contains('\0'))
        return false;
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
    return true;
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
    return QString("%1 « %2 » refusé").arg(field, text);
}

} // namespace

std::unique_ptr<RecordReader> WfdbRecord::open(const QString &headerPath, double fullScaleMv, QString *error)
{
    std::unique_ptr<WfdbRecord> record(new WfdbRecord(fullScaleMv));
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
    if (!headerLines(headerPath, &lines))
        return header + "illisible (absent, pas un fichier ordinaire, binaire ou de plus de 1 Mo)";
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
        return header + QString("nombre de signaux « %1 » refusé").arg(record[1]);
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
            return header + QString("fréquence d'échantillonnage « %1 » refusée").arg(record[2]);
    }
    qint64 announced = 0;
    if (record.size() > 3) {
        announced = record[3].toLongLong(&ok);
        if (!ok || announced < 0)
            return header + QString("nombre d'échantillons « %1 » refusé").arg(record[3]);
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
            return where + QString("format « %1 » illisible").arg(fields[1]);
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
        Channel channel{200, integers[1]};
        QString unit = "mV";
        if (fields.size() > 2) {
            const QRegularExpressionMatch gainSpec = gainForm.match(fields[2]);
            if (!gainSpec.hasMatch())
                return where + QString("gain « %1 » illisible").arg(fields[2]);
            double gain = 0;
            if (!readReal(gainSpec.captured(1), &gain))
                return where + QString("gain « %1 » illisible").arg(fields[2]);
            if (gain != 0)
                channel.gain = gain;
            const QString baseline = gainSpec.captured(2);
            if (!baseline.isEmpty() && !readInteger(baseline, int32Min, int32Max, &channel.baseline))
                return where + refusedNumber("niveau de base", baseline);
            if (!gainSpec.captured(3).isEmpty())
                unit = gainSpec.captured(3);
        }
        // The description, spaces and all, follows the eighth field.
        const QString label = lines[i].section(QRegularExpression("\\s+"), 8);
        channels.append(channel);
        signalInfos.append({label.isEmpty() ? QString("signal %1").arg(i) : label, unit, rate, announced});
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
    if (!openSampleFile(data))
        return "Fichier de signaux WFDB " + quoted(dataPath) + " : absent, illisible ou pas un fichier ordinaire";
    const qint64 bytes = qMax<qint64>(0, data.size() - byteOffset);
    const qint64 samples = format == 16 ? bytes / 2 : bytes / 3 * 2 + (bytes % 3 == 2 ? 1 : 0);
    const qint64 present = samples / channels.size();
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
    QFile data(dataPath);
    if (!openSampleFile(data, QIODevice::ReadOnly) || !data.seek(byteOffset)) {
        failure = "Fichier de signaux WFDB " + quoted(dataPath) + " : illisible";
        return false;
    }
    const int signalCount = channels.size();
    const Channel &channel = channels[signal];
    const double mvPerUnit = millivoltsPerUnit(signal);
    const int invalid = format == 16 ? -32768 : -2048;
    CodeMapping mapping(fullScaleMv);
    double previousMv = 0;
    QByteArray block(readBlockBytes, Qt::Uninitialized);
    QVector<qint32> codes;
    codes.reserve(readBlockBytes * 2 / 3 / signalCount + 1);
    qint64 sampleIndex = 0;
    const qint64 sampleCount = frames * signalCount;
    const auto take = [&](int adc) {
        if (sampleIndex++ % signalCount != signal)
            return;
        if (adc != invalid)
            previousMv = (adc - channel.baseline) / channel.gain * mvPerUnit;
        codes.append(mapping.code(previousMv));
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
        if (!codes.isEmpty())
            sink.codes(codes.constData(), codes.size());
        codes.clear();
        if (sink.stops())
            return false;
    }
    if (mapping.clipped > 0)
        notes << QString("%1 échantillons écrêtés").arg(mapping.clipped);
    return true;
}
