// Writes the recordings of the repository's samples/ folder from their sources:
//   makesamples <sources> <samples>
// where <sources> holds mitbih-208-10s.csv and mitdb-100/ (100.hea, 100.dat, 100.atr).

#include "annotations.h"
#include "records.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTextStream>

#include <cstdlib>

namespace {

constexpr int rate = 360;
constexpr int adcZero = 1024; // the MIT-BIH recordings' 11-bit ADC: 200 units per millivolt around 1024
constexpr int unitsPerMv = 200;
constexpr int minute = 60 * rate;

// The tool's only way out on a failure: what went wrong, and a status of 1.
[[noreturn]] void fail(const QString &text)
{
    QTextStream(stderr) << text << '\n';
    std::exit(1);
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        fail(path + " : illisible");
    return file.readAll();
}

void writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(content) != content.size()
        || !file.flush())
        fail(path + " : écriture impossible");
    QTextStream(stdout) << path << '\n';
}

// A WFDB record of signals sharing one format 212 signal file, 200 units per
// millivolt around 1024, with each signal's first value and checksum.
void writeRecord(const QString &folder, const QString &name, const QVector<QVector<int>> &signalList,
                 const QStringList &descriptions, const QByteArray &comments = QByteArray())
{
    const int frames = signalList.first().size();
    QVector<int> samples;
    for (int frame = 0; frame < frames; ++frame) {
        for (const QVector<int> &signal : signalList)
            samples.append(signal[frame]);
    }
    QByteArray header = QString("%1 %2 %3 %4\n").arg(name).arg(signalList.size()).arg(rate).arg(frames).toLatin1();
    for (int i = 0; i < signalList.size(); ++i) {
        qint16 checksum = 0;
        for (int value : signalList[i])
            checksum = qint16(checksum + value);
        header += QString("%1.dat 212 %2 11 %3 %4 %5 0 %6\n")
                      .arg(name)
                      .arg(unitsPerMv)
                      .arg(adcZero)
                      .arg(signalList[i].first())
                      .arg(checksum)
                      .arg(descriptions[i])
                      .toLatin1();
    }
    writeFile(QDir(folder).filePath(name + ".hea"), header + comments);
    writeFile(QDir(folder).filePath(name + ".dat"), wfdbSamples(212, samples));
}

// Record 208's excerpt, one ADC value a line: as a record and as EDF+ (in
// microvolts, 5 per ADC unit, in records of a second).
void writeExcerpt(const QString &sources, const QString &samples)
{
    const QByteArray csv = readFile(QDir(sources).filePath("mitbih-208-10s.csv"));
    QVector<int> values;
    for (const QByteArray &line : csv.split('\n')) {
        if (!line.trimmed().isEmpty())
            values.append(line.trimmed().toInt());
    }
    if (values.size() % rate != 0)
        fail("mitbih-208-10s.csv : pas un nombre entier de secondes");
    writeFile(QDir(samples).filePath("mitbih-208-10s.csv"), csv);
    writeRecord(samples, "mitbih_208_10s", {values}, {"MLII"});
    QVector<int> microvolts;
    for (int value : values)
        microvolts.append(value - adcZero);
    writeFile(QDir(samples).filePath("mitbih-208-10s.edf"),
              edfFile({{"MLII", "uV", 1000.0 / unitsPerMv, rate, microvolts}}, values.size() / rate, "1"));
}

// Ten seconds of a 1 mV square at 1 Hz: half a second at 0 mV, half at 1 mV.
void writeCalibration(const QString &samples)
{
    QVector<int> square;
    for (int i = 0; i < 10 * rate; ++i)
        square.append(adcZero + (i % rate < rate / 2 ? 0 : unitsPerMv));
    writeRecord(samples, "calibration_1mv_1hz", {square}, {"1 mV 1 Hz"});
}

// The first minute of record 100, its two signals and its reference annotations.
void writeRecord100Minute(const QString &sources, const QString &samples)
{
    const QString folder = QDir(sources).filePath("mitdb-100");
    const QByteArray data = readFile(QDir(folder).filePath("100.dat"));
    // Format 212, two signals: a frame is three bytes, two 12-bit values.
    if (data.size() < 3 * minute)
        fail("100.dat : moins d'une minute");
    QVector<QVector<int>> signalList(2);
    for (int frame = 0; frame < minute; ++frame) {
        const auto byte = [&](int i) { return int(quint8(data[3 * frame + i])); };
        const int first = (byte(1) & 0x0F) << 8 | byte(0);
        const int second = (byte(1) & 0xF0) << 4 | byte(2);
        signalList[0].append(first >= 2048 ? first - 4096 : first);
        signalList[1].append(second >= 2048 ? second - 4096 : second);
    }
    const QByteArray header = readFile(QDir(folder).filePath("100.hea"));
    QByteArray comments;
    for (const QByteArray &line : header.split('\n')) {
        if (line.startsWith('#'))
            comments += line + '\n';
    }
    writeRecord(samples, "mitdb_100_1min", signalList, {"MLII", "V5"}, comments);

    QVector<Annotation> annotations;
    QString error;
    if (!readAnnotations(QDir(folder).filePath("100.hea"), "atr", &annotations, &error))
        fail(error);
    QVector<Annotation> first;
    for (const Annotation &annotation : annotations) {
        if (annotation.sample < minute)
            first.append(annotation);
    }
    const QString atr = QDir(samples).filePath("mitdb_100_1min.atr");
    if (!writeAnnotations(atr, first, QString(), &error))
        fail(error);
    QTextStream(stdout) << atr << '\n';
    QTextStream(stdout) << "100.atr : " << annotations.size() << " annotations, " << first.size()
                        << " dans la première minute\n";
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    if (arguments.size() != 3) {
        QTextStream(stderr) << "usage : makesamples <dossier des sources> <dossier samples>\n";
        return 2;
    }
    writeExcerpt(arguments[1], arguments[2]);
    writeCalibration(arguments[2]);
    writeRecord100Minute(arguments[1], arguments[2]);
    return 0;
}
