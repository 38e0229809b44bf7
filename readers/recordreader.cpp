#include "recordreader.h"

#include "edfrecord.h"
#include "regularfile.h"
#include "samplefile.h"
#include "wfdbrecord.h"

#include <QFile>
#include <QFileInfo>

#include <limits>

void RecordReader::prepare(int signal, SampleList *list)
{
    const SignalInfo &info = signalInfos[signal];
    list->rate = info.rate;
    list->wide = info.wide;
    list->baseline = info.baseline;
    list->gain = info.gain;
    if (info.gain != 0) {
        // µ is the micro sign or the Greek letter mu.
        const QString &unit = info.unit;
        if (unit == "uV" || unit == "µV" || unit == "μV" || unit.compare("microvolts", Qt::CaseInsensitive) == 0)
            list->gain *= 1000;
        else if (unit == "V")
            list->gain /= 1000;
        else if (unit.compare("mV", Qt::CaseInsensitive) != 0)
            notes << QString("Signal %1 : unité « %2 » inconnue, valeurs prises en mV").arg(signal + 1).arg(excerpt(unit));
    }
    list->reserve(mostSamples(signal));
}

namespace {

// The non-blank lines of a sample file that tell whether it is one: more
// than half of them no integer, and it is refused.
constexpr qint64 judgedLines = 1000;

// One integer per line, sent as it is; see samplefile.h for the rules.
class SampleFileReader : public RecordReader
{
public:
    explicit SampleFileReader(const QString &path) : path(path) {}

    bool open()
    {
        QFile file(path);
        if (!openFile(file))
            return false;
        openedSize = file.size();
        signalInfos = {{QString(), QString(), 0, estimatedLineCount(file)}};
        return true;
    }

    QStringList files() const override { return {path}; }

    // A sample takes a line: a character and its end at least, but for the
    // last line, which may have no end.
    qint64 mostSamples(int) const override { return (openedSize + 1) / 2; }

    bool read(int, const SampleSink &sink) override
    {
        QFile file(path);
        if (!openFile(file))
            return false;
        constexpr int blockSize = 4096;
        QVector<qint32> block;
        block.reserve(blockSize);
        // False once the read is to end.
        const auto flush = [&] {
            if (!block.isEmpty())
                sink.values(block.constData(), block.size());
            block.clear();
            return !sink.stops();
        };
        int lineNumber = 0;
        qint64 samples = 0;
        const qint64 most = mostSamples(0);
        // A file whose first lines are mostly no integer is no recording (a
        // PDF, a text): it is refused rather than sent as full-scale -1s.
        int invalidFirst = 0;
        const auto noRecording = [&] {
            const qint64 judged = qMin<qint64>(samples, judgedLines);
            if (2 * invalidFirst <= judged)
                return false;
            failure = where() + "pas un fichier d'échantillons : "
                      + (invalidFirst == judged ? QString("aucune ligne n'est un entier")
                                                : QString("%1 des %2 premières lignes non vides ne sont pas des entiers")
                                                      .arg(invalidFirst)
                                                      .arg(judged));
            return true;
        };
        const bool read = readSampleLines(file, [&](const SampleLine &line) {
            ++lineNumber;
            if (line.kind == SampleLine::Blank)
                return true;
            // Beyond what its size held when its memory was judged.
            if (++samples > most) {
                failure = where() + "allongé pendant la lecture, au-delà de sa taille à l'ouverture";
                return false;
            }
            if (samples <= judgedLines && line.kind == SampleLine::Invalid)
                ++invalidFirst;
            if (samples == judgedLines && noRecording())
                return false;
            if (line.kind == SampleLine::Value) {
                block.append(line.value);
                return block.size() < blockSize || flush();
            }
            if (!flush())
                return false;
            sink.invalidLine(lineNumber, line.text);
            return true;
        });
        if (read && samples < judgedLines && noRecording())
            return false;
        if (read && file.size() < openedSize) {
            failure = where() + QString("raccourci pendant la lecture (%1 octets, %2 à l'ouverture)")
                                    .arg(file.size())
                                    .arg(openedSize);
            return false;
        }
        return read && flush();
    }

private:
    QString where() const { return "Fichier \"" + excerpt(QFileInfo(path).fileName()) + "\" : "; }

    bool openFile(QFile &file)
    {
        QString reason;
        if (openRegularFile(file, QIODevice::ReadOnly | QIODevice::Text, &reason))
            return true;
        failure = where() + reason;
        return false;
    }

    const QString path;
    qint64 openedSize = 0;
};

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

std::unique_ptr<RecordReader> openReader(const QString &path, QString *error)
{
    const QString suffix = QFileInfo(path).suffix().toLower();
    if (suffix == "hea" || suffix == "dat") {
        const QString header = suffix == "hea" ? path : path.left(path.size() - 3) + "hea";
        return WfdbRecord::open(header, error);
    }
    if (suffix == "edf" || suffix == "bdf")
        return EdfRecord::open(path, error);
    auto reader = std::make_unique<SampleFileReader>(path);
    if (!reader->open()) {
        *error = reader->error();
        return nullptr;
    }
    return reader;
}

} // namespace

bool RecordReader::loadAnnotations(const QString &, int, QVector<Annotation> *annotations, QString *)
{
    annotations->clear();
    return true;
}

std::unique_ptr<RecordReader> openRecord(const QString &path, QString *error)
{
    error->clear();
    std::unique_ptr<RecordReader> reader = openReader(path, error);
    if (!reader)
        return nullptr;
    for (int i = 0; i < reader->signalList().size(); ++i) {
        const QString refusal = memoryRefusal(reader->mostSamples(i), reader->signalList()[i].wide ? 4 : 2);
        if (!refusal.isEmpty()) {
            *error = QString("Fichier \"%1\" : %2").arg(excerpt(QFileInfo(path).fileName()), refusal);
            return nullptr;
        }
    }
    return reader;
}

QString memoryRefusal(qint64 samples, int bytesEach)
{
    // A Qt container holds at most 2 GiB. On a 32-bit system, 1 GiB is about
    // the most that its address space still has in one piece.
    qint64 limit = sizeof(void *) == 4 ? qint64(1) << 30 : std::numeric_limits<int>::max();
    const qint64 available = availableMemory();
    if (available >= 0)
        limit = qMin(limit, available);
    if (samples <= limit / bytesEach)
        return QString();
    constexpr qint64 megabyte = 1 << 20;
    return QString("%1 échantillons, soit %2 Mo en mémoire : plus que les %3 Mo qu'elle peut tenir")
        .arg(samples)
        .arg(samples / (megabyte / bytesEach))
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
    return QString("%1: %2 (%3, %4/s)").arg(number).arg(excerpt(info.label), excerpt(info.unit)).arg(info.rate);
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
