#include "wfdbrecord.h"

#include "samplefile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <cmath>

namespace {

// A header is a few lines per signal; a larger file is no header.
constexpr qint64 maxHeaderBytes = 1 << 20;
constexpr int readBlockFrames = 8192;

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
    for (const QString &line : QString::fromUtf8(content).split('\n')) {
        const QString trimmed = line.trimmed();
        if (!trimmed.isEmpty() && !trimmed.startsWith('#'))
            lines->append(trimmed);
    }
    return true;
}

// The physical unit in millivolts, or 0 for one that is no voltage.
double millivoltsPer(const QString &unit)
{
    if (unit.compare("mV", Qt::CaseInsensitive) == 0)
        return 1;
    if (unit == "uV" || unit == "µV" || unit.compare("microvolts", Qt::CaseInsensitive) == 0)
        return 0.001;
    if (unit == "V")
        return 1000;
    return 0;
}

} // namespace

std::unique_ptr<RecordReader> WfdbRecord::open(const QString &headerPath, double fullScaleMv, QString *error)
{
    std::unique_ptr<WfdbRecord> record(new WfdbRecord(fullScaleMv));
    QString refusal = record->readHeader(headerPath);
    if (refusal.isEmpty())
        refusal = record->checkSignalFile();
    if (!refusal.isEmpty()) {
        *error = refusal;
        return nullptr;
    }
    return record;
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
    double rate = 250;
    if (record.size() > 2) {
        rate = record[2].section('/', 0, 0).section('(', 0, 0).toDouble(&ok);
        if (!ok || !std::isfinite(rate) || rate <= 0)
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
        if (!formatSpec.hasMatch())
            return where + QString("format « %1 » illisible").arg(fields[1]);
        const int signalFormat = formatSpec.captured(1).toInt();
        if (signalFormat != 212 && signalFormat != 16)
            return where + QString("format %1 non pris en charge (212 et 16 seulement)").arg(signalFormat);
        if (format != 0 && signalFormat != format)
            return where + "formats différents dans un même fichier, non pris en charge";
        format = signalFormat;
        if (formatSpec.captured(2).toInt() > 1)
            return where + "plus d'un échantillon par trame, non pris en charge";
        if (formatSpec.captured(3).toInt() != 0)
            return where + "décalage (skew), non pris en charge";
        byteOffset = formatSpec.captured(4).toLongLong();

        Channel channel{200, 0, 1};
        QString unit = "mV";
        const int adcZero = fields.size() > 4 ? fields[4].toInt() : 0;
        channel.baseline = adcZero;
        if (fields.size() > 2) {
            const QRegularExpressionMatch gainSpec = gainForm.match(fields[2]);
            if (!gainSpec.hasMatch())
                return where + QString("gain « %1 » illisible").arg(fields[2]);
            const double gain = gainSpec.captured(1).toDouble(&ok);
            if (!ok || !std::isfinite(gain))
                return where + QString("gain « %1 » illisible").arg(fields[2]);
            if (gain != 0)
                channel.gain = gain;
            if (!gainSpec.captured(2).isEmpty())
                channel.baseline = gainSpec.captured(2).toInt();
            if (!gainSpec.captured(3).isEmpty())
                unit = gainSpec.captured(3);
        }
        channel.mvPerUnit = millivoltsPer(unit);
        if (channel.mvPerUnit == 0) {
            notes << where + QString("unité « %1 » inconnue, valeurs prises en mV").arg(unit);
            channel.mvPerUnit = 1;
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
    const int invalid = format == 16 ? -32768 : -2048;
    CodeMapping mapping(fullScaleMv);
    double previousMv = 0;
    QVector<qint32> codes;
    codes.reserve(readBlockFrames);
    qint64 sampleIndex = 0;
    const qint64 sampleCount = frames * signalCount;
    const auto take = [&](int adc) {
        if (sampleIndex++ % signalCount != signal)
            return;
        if (adc != invalid)
            previousMv = (adc - channel.baseline) / channel.gain * channel.mvPerUnit;
        codes.append(mapping.code(previousMv));
    };
    // Whole 212 pairs (3 bytes) and whole 16-bit samples per block.
    const qint64 blockBytes = qint64(readBlockFrames) * signalCount * (format == 16 ? 2 : 3);
    QByteArray block;
    while (sampleIndex < sampleCount) {
        block = data.read(blockBytes);
        if (block.isEmpty())
            break;
        const auto *bytes = reinterpret_cast<const uchar *>(block.constData());
        const int size = block.size();
        if (format == 16) {
            for (int i = 0; i + 1 < size && sampleIndex < sampleCount; i += 2)
                take(qint16(bytes[i] | bytes[i + 1] << 8));
        } else {
            for (int i = 0; i + 1 < size && sampleIndex < sampleCount; i += 3) {
                // Sign-extended from 12 bits.
                take(qint16((bytes[i] | (bytes[i + 1] & 0x0F) << 8) << 4) >> 4);
                if (i + 2 < size && sampleIndex < sampleCount)
                    take(qint16((bytes[i + 2] | (bytes[i + 1] & 0xF0) << 4) << 4) >> 4);
            }
        }
        sink.codes(codes.constData(), codes.size());
        codes.clear();
    }
    if (mapping.clipped > 0)
        notes << QString("%1 échantillons écrêtés").arg(mapping.clipped);
    return true;
}
