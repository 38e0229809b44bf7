#include "recordreader.h"

#include "edfrecord.h"
#include "samplefile.h"
#include "wfdbrecord.h"

#include <QFile>
#include <QFileInfo>

#include <cmath>

qint32 CodeMapping::code(double mv)
{
    const double code = std::round(32768 + mv * codesPerMv);
    if (code < 0 || code > 65535) {
        ++clipped;
        return code < 0 ? 0 : 65535;
    }
    return qint32(code);
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

    bool read(int, const SampleSink &sink) override
    {
        QFile file(path);
        if (!openSampleFile(file))
            return false;
        constexpr int blockSize = 4096;
        QVector<qint32> block;
        block.reserve(blockSize);
        const auto flush = [&] {
            if (!block.isEmpty())
                sink.codes(block.constData(), block.size());
            block.clear();
        };
        int lineNumber = 0;
        const bool read = readSampleLines(file, [&](const SampleLine &line) {
            ++lineNumber;
            if (line.kind == SampleLine::Value) {
                block.append(line.value);
                if (block.size() == blockSize)
                    flush();
            } else if (line.kind == SampleLine::Invalid) {
                flush();
                sink.invalidLine(lineNumber, line.text);
            }
        });
        flush();
        return read;
    }

private:
    const QString path;
};

} // namespace

std::unique_ptr<RecordReader> openRecord(const QString &path, double fullScaleMv, QString *error)
{
    error->clear();
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
