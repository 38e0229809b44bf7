#include "recordreader.h"

#include "edfrecord.h"
#include "samplefile.h"
#include "wfdbrecord.h"

#include <QFile>
#include <QFileInfo>

#include <cmath>
#include <limits>

qint32 CodeMapping::code(double mv)
{
    // mV × 65536 is exact, and so is its quotient by the full scale when that
    // is a half: halves round as the formula says, away from mid-scale.
    const double offset = std::round(mv * 65536 / fullScaleMv);
    if (offset >= -32768 && offset <= 32767)
        return 32768 + qint32(offset);
    ++clipped;
    return offset < 0 ? 0 : 65535;
}

double RecordReader::millivoltsPerUnit(int signal)
{
    const QString &unit = signalInfos[signal].unit;
    if (unit.compare("mV", Qt::CaseInsensitive) == 0)
        return 1;
    // µ is the micro sign or the Greek letter mu.
    if (unit == "uV" || unit == "µV" || unit == "μV" || unit.compare("microvolts", Qt::CaseInsensitive) == 0)
        return 0.001;
    if (unit == "V")
        return 1000;
    notes << QString("Signal %1 : unité « %2 » inconnue, valeurs prises en mV").arg(signal + 1).arg(unit);
    return 1;
}

namespace {

// One integer per line, sent as it is; see samplefile.h for the rules.
class SampleFileReader : public RecordReader
{
public:
    explicit SampleFileReader(const QString &path) : path(path) {}

    bool open()
    {
        QFile file(path);
        if (!openSampleFile(file))
            return false;
        signalInfos = {{QString(), QString(), 0, estimatedLineCount(file)}};
        return true;
    }

    QStringList files() const override { return {path}; }

    bool read(int, const SampleSink &sink) override
    {
        QFile file(path);
        if (!openSampleFile(file))
            return false;
        constexpr int blockSize = 4096;
        QVector<qint32> block;
        block.reserve(blockSize);
        // False once the read is to end.
        const auto flush = [&] {
            if (!block.isEmpty())
                sink.codes(block.constData(), block.size());
            block.clear();
            return !sink.stops();
        };
        int lineNumber = 0;
        const bool read = readSampleLines(file, [&](const SampleLine &line) {
            ++lineNumber;
            if (line.kind == SampleLine::Value) {
                block.append(line.value);
                return block.size() < blockSize || flush();
            }
            if (line.kind == SampleLine::Invalid) {
                if (!flush())
                    return false;
                sink.invalidLine(lineNumber, line.text);
            }
            return true;
        });
        return read && flush();
    }

private:
    const QString path;
};

// The player keeps each sample as a 16-bit code.
constexpr qint64 bytesPerKeptSample = 2;

// The memory that the system can still give, in bytes, as the kernel
// estimates it; -1 when it does not say.
qint64 availableMemory()
{
    QFile meminfo("/proc/meminfo");
    if (!meminfo.open(QIODevice::ReadOnly | QIODevice::Text))
        return -1;
    while (!meminfo.atEnd()) {
        const QByteArray line = meminfo.readLine().simplified();
        if (line.startsWith("MemAvailable: ")) {
            bool ok = false;
            const qint64 kilobytes = line.split(' ').value(1).toLongLong(&ok);
            return ok ? kilobytes * 1024 : -1;
        }
    }
    return -1;
}

std::unique_ptr<RecordReader> openReader(const QString &path, double fullScaleMv, QString *error)
{
    const QString suffix = QFileInfo(path).suffix().toLower();
    if (suffix == "hea" || suffix == "dat") {
        const QString header = suffix == "hea" ? path : path.left(path.size() - 3) + "hea";
        return WfdbRecord::open(header, fullScaleMv, error);
    }
    if (suffix == "edf" || suffix == "bdf")
        return EdfRecord::open(path, fullScaleMv, error);
    auto reader = std::make_unique<SampleFileReader>(path);
    if (!reader->open())
        return nullptr;
    return reader;
}

} // namespace

bool RecordReader::loadAnnotations(const QString &, int, QVector<Annotation> *annotations, QString *)
{
    annotations->clear();
    return true;
}

std::unique_ptr<RecordReader> openRecord(const QString &path, double fullScaleMv, QString *error)
{
    error->clear();
    std::unique_ptr<RecordReader> reader = openReader(path, fullScaleMv, error);
    if (!reader)
        return nullptr;
    qint64 longest = 0;
    for (const SignalInfo &info : reader->signalList())
        longest = qMax(longest, info.length);
    const QString refusal = memoryRefusal(longest);
    if (!refusal.isEmpty()) {
        *error = QString("Fichier \"%1\" : %2").arg(QFileInfo(path).fileName(), refusal);
        return nullptr;
    }
    return reader;
}

QString memoryRefusal(qint64 samples)
{
    // A Qt container holds at most 2 GiB. On a 32-bit system, 1 GiB is about
    // the most that its address space still has in one piece.
    qint64 limit = sizeof(void *) == 4 ? qint64(1) << 30 : std::numeric_limits<int>::max();
    const qint64 available = availableMemory();
    if (available >= 0)
        limit = qMin(limit, available);
    if (samples <= limit / bytesPerKeptSample)
        return QString();
    constexpr qint64 megabyte = 1 << 20;
    return QString("%1 échantillons, soit %2 Mo en mémoire : plus que les %3 Mo qu'elle peut tenir")
        .arg(samples)
        .arg(samples / (megabyte / bytesPerKeptSample))
        .arg(limit / megabyte);
}

int findSignal(const QVector<SignalInfo> &signalInfos, const QString &selector)
{
    const QString wanted = selector.trimmed();
    const bool sampleFile = signalInfos.size() == 1 && signalInfos[0].rate == 0;
    if (wanted.isEmpty() || sampleFile)
        return signalInfos.isEmpty() ? -1 : 0;
    bool isNumber = false;
    const int number = wanted.toInt(&isNumber);
    if (isNumber)
        return number >= 1 && number <= signalInfos.size() ? number - 1 : -1;
    for (int i = 0; i < signalInfos.size(); ++i) {
        if (signalInfos[i].label.trimmed().compare(wanted, Qt::CaseInsensitive) == 0)
            return i;
    }
    return -1;
}

QString describeSignal(int number, const SignalInfo &info)
{
    return QString("%1: %2 (%3, %4/s)").arg(number).arg(info.label, info.unit).arg(info.rate);
}

QString noSuchSignal(const QString &selector, const QVector<SignalInfo> &signalInfos)
{
    return QString("Aucun signal « %1 » dans ce fichier. Ses signaux : %2.")
        .arg(selector.trimmed(), describeSignals(signalInfos));
}

QString describeSignals(const QVector<SignalInfo> &signalInfos)
{
    QStringList described;
    for (int i = 0; i < signalInfos.size(); ++i)
        described << describeSignal(i + 1, signalInfos[i]);
    return described.join(", ");
}
