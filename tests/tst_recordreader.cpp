#include "loadsignal.h"
#include "recordreader.h"
#include "records.h"
#include "testsupport.h"

#include <QDir>
#include <QRandomGenerator>
#include <QTest>

#include <climits>

#include <edflib.h>

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

Q_DECLARE_METATYPE(Annotation)

// A full scale, and the codes that a list read once gives at it.
using Rescaled = QVector<QPair<double, QVector<qint32>>>;

namespace {

// With this full scale a millivolt is 1000 codes: a record whose gain is 1000
// per mV sends 32768 + its ADC value.
constexpr double codesOf1000PerMv = 65.536;

QVector<qint32> offset(const QVector<int> &adc)
{
    QVector<qint32> codes;
    for (int value : adc)
        codes.append(32768 + value);
    return codes;
}

// The most address space the process has held, in kilobytes.
qint64 peakAddressSpace()
{
    QFile status("/proc/self/status");
    if (!status.open(QIODevice::ReadOnly | QIODevice::Text))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmPeak:"))
            return line.mid(7).simplified().split(' ').value(0).toLongLong();
    }
    return -1;
}

int openDescriptors()
{
    return QDir("/proc/self/fd").entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot).size();
}

} // namespace

class tst_RecordReader : public QObject
{
    Q_OBJECT

private slots:
    void reads_data();
    void reads();
    void refusals_data();
    void refusals();
    void changesWhileRead_data();
    void changesWhileRead();
    void findsSignals_data();
    void findsSignals();
    void sampleFileOrNot_data();
    void sampleFileOrNot();
    void readsAsEdflib_data();
    void readsAsEdflib();
    void loadsAnnotations_data();
    void loadsAnnotations();
};

void tst_RecordReader::reads_data()
{
    QTest::addColumn<QString>("opened");      // rec.hea, rec.dat or rec.edf
    QTest::addColumn<QByteArray>("header");   // rec.hea
    QTest::addColumn<QByteArray>("content");  // rec.dat or rec.edf
    QTest::addColumn<int>("signal");
    QTest::addColumn<double>("fullScale");
    QTest::addColumn<QVector<qint32>>("codes");
    QTest::addColumn<double>("rate");
    QTest::addColumn<QStringList>("warnings");
    QTest::addColumn<qint64>("at"); // where content starts in rec.dat; before it, a hole
    QTest::addColumn<Rescaled>("rescaled"); // then, in order, from the same list

    const auto row = [](const char *name, const QString &opened, const QByteArray &header, const QByteArray &content,
                        int signal, double fullScale, const QVector<qint32> &codes, double rate,
                        const QStringList &warnings = {}, qint64 at = 0, const Rescaled &rescaled = {}) {
        QTest::newRow(name) << opened << header << content << signal << fullScale << codes << rate << warnings << at
                            << rescaled;
    };
    // A one-signal WFDB record of that format and gain at 360 samples/s, at 1000 codes per mV.
    const auto hea = [&](const char *name, const QByteArray &signalLine, const QVector<int> &adc, const QVector<qint32> &codes,
                         qint64 at = 0) {
        row(name, "rec.hea", "rec 1 360\nrec.dat " + signalLine + "\n",
            wfdbSamples(signalLine.startsWith("212") ? 212 : 16, adc), 0, codesOf1000PerMv, codes, 360, {}, at);
    };
    // Every 12-bit edge, an odd count; the invalid -2048 repeats the sample before.
    row("212, edge values", "rec.hea", "rec 1 360 7\nrec.dat 212 1000/mV 12 0 0 0 0 MLII\n",
        wfdbSamples(212, {5, -2048, -1, 0, 1, 2047, -2047}), 0, codesOf1000PerMv, offset({5, 5, -1, 0, 1, 2047, -2047}), 360);
    hea("212, invalid first: 0 mV", "212 1000(5)/mV", {-2048, 7}, offset({0, 2}));
    // Comments first and between, CR LF, a byte offset, a baseline, the
    // default rate, no sample count: the file's size tells.
    row("three signals", "rec.hea",
        "# written by the test\r\nrec 3\r\nrec.dat 212+24 1000(10)/mV 12 0 0 0 0 lead I\r\n# more\r\n"
        "rec.dat 212+24 2000(-4)/mV 12 0 0 0 0 V5 long name\r\nrec.dat 212+24 0 12 0\r\n",
        QByteArray(24, 'x') + wfdbSamples(212, {10, 96, 200, 11, -4, 400}), 1, codesOf1000PerMv, {32768 + 50, 32768}, 250);
    row("the third, gain 0 meaning 200, baseline its ADC zero", "rec.dat",
        "rec 3 100\nrec.dat 212 1000 12 0\nrec.dat 212 1000 12 0\nrec.dat 212 0 12 100\n",
        wfdbSamples(212, {0, 0, 300, 0, 0, 100}), 2, codesOf1000PerMv, {32768 + 1000, 32768}, 100);
    row("16, microvolts and volts", "rec.hea", "rec 2 500/1(0)\nrec.dat 16 1/uV 16 0 0 0 0 A\nrec.dat 16 1000/V 16 0 0 0 0 B\n",
        wfdbSamples(16, {-32768, 1, 300, -1}), 0, codesOf1000PerMv, {32768, 33068}, 500);
    row("16, the second signal", "rec.hea", "rec 2 500\nrec.dat 16 1/uV\nrec.dat 16 1000/V\n",
        wfdbSamples(16, {-32768, 1, 300, -1}), 1, codesOf1000PerMv, {33768, 31768}, 500);
    // Bytes that text mode would take for a CR LF line end.
    hea("16, bytes 0D 0A", "16 1000", {0x0A0D, 1}, offset({0x0A0D, 1}));
    row("truncated signal file", "rec.hea", "rec 1 360 10\nrec.dat 16 1000\n", wfdbSamples(16, {1, 2, 3, 4}) + "\x01", 0,
        codesOf1000PerMv, offset({1, 2, 3, 4}), 360,
        {"Fichier de signaux WFDB \"rec.dat\" tronqué : 10 échantillons annoncés, 4 présents"});
    // The default full scale: 10 mV across the range, beyond it clamped.
    row("clamped", "rec.hea", "rec 1 360\nrec.dat 16 200\n", wfdbSamples(16, {0, 200, -1200, 1000}), 0, 10,
        {32768, 39322, 0, 65535}, 360);
    // Halves of a code round away from mid-scale, below it too.
    row("half codes", "rec.hea", "rec 1 360\nrec.dat 16 65536\n", wfdbSamples(16, {5, -5, 15, -15}), 0, 10,
        {32769, 32767, 32770, 32766}, 360);
    hea("the least baseline", "16 1000(-2147483648)", {0}, {65535});
    hea("µV in Latin-1", "16 1/\xB5V", {1000}, offset({1000}));
    hea("μV in UTF-8", "16 1/\xCE\xBCV", {1000}, offset({1000}));
    // Samples past 2 GiB, which a 32-bit build reads with 64-bit file offsets.
    hea("past 2 GiB", "16+2147483650 1000", {1, 2}, offset({1, 2}), 2147483650);
    // Read in blocks that do not grow with the signal count, up to the most.
    QVector<int> manySamples(3 * 4096);
    for (int frame = 0; frame < 3; ++frame)
        manySamples[frame * 4096 + 4095] = frame + 1;
    row("4096 signals", "rec.hea", "rec 4096 360\n" + QByteArray("rec.dat 16 1000\n").repeated(4096),
        wfdbSamples(16, manySamples), 4095, codesOf1000PerMv, offset({1, 2, 3}), 360);
    // A record of half a second, 4 samples each: 8 samples per second.
    const EdfSignal ecg{"ECG", "uV", 0.1, 4, {0, 10, 20, 30, -10, -20, -30, -40}};
    const EdfSignal lead{"II", "mV", 1, 4, {1, 2, 0, -1, 0, 0, 0, 0}};
    row("EDF+, annotations", "rec.edf", {}, edfFile({ecg, lead}, 2, "0.5"), 0, codesOf1000PerMv,
        offset({0, 1, 2, 3, -1, -2, -3, -4}), 8);
    row("EDF, the second signal", "rec.edf", {}, edfFile({ecg, lead}, 2, "1", ""), 1, codesOf1000PerMv,
        offset({1000, 2000, 0, -1000, 0, 0, 0, 0}), 4);
    // A physical range off centre: digital 0 is 1 mV.
    row("EDF, 0 off centre", "rec.edf", {}, edfFile({{"II", "uV", 1, 4, {0, 500, -1000, 2000}, 1000}}, 1, "1", ""), 0,
        codesOf1000PerMv, offset({1000, 1500, 0, 3000}), 4);
    for (const QByteArray &unit : {QByteArray("degC"), QByteArray()})
        row(qPrintable("EDF, unit " + (unit.isEmpty() ? "none" : unit)), "rec.edf", {},
            edfFile({{"T", unit, 1, 4, {1, 2, 0, -1}}}, 1, "1", ""), 0, codesOf1000PerMv, offset({1000, 2000, 0, -1000}), 4,
            {"Signal 1 : unité « " + unit + " » inconnue, valeurs prises en mV"});
    // Kept in the record's units: a full scale maps them anew, a clipped
    // sample unclipped when the range grows, each code that of a first read.
    const QVector<qint32> peakAt2{32768, 65535, 0, 36798};
    row("1.5 mV clipped at 2 mV, then at 10 mV", "rec.hea", "rec 1 360\nrec.dat 16 1000\n",
        wfdbSamples(16, {0, 1500, -1500, 123}), 0, 2, peakAt2, 360, {}, 0,
        {{10.0, {32768, 42598, 22938, 33574}}, {2.0, peakAt2}});
    const QVector<qint32> at10{33577, 31959, 36045};
    row("at 10 mV, then 1 mV and back", "rec.hea", "rec 1 360\nrec.dat 16 10000\n", wfdbSamples(16, {1234, -1234, 5000}),
        0, 10, at10, 360, {}, 0, {{1.0, {40855, 24681, 65535}}, {10.0, at10}});
    // 24-bit samples, 0.01 µV each, kept whole.
    const EdfSignal wide{"ECG", "uV", 0.01, 4, {150000, -150000, 12345, 999999}};
    row("BDF, at 2 mV, then 10 and 100", "rec.bdf", {}, edfFile({wide}, 1, "1", "24BIT", {}, 3), 0, 2,
        {65535, 0, 36813, 65535}, 4, {}, 0, {{10.0, {42598, 22938, 33577, 65535}}, {100.0, {33751, 31785, 32849, 39322}}});
}

void tst_RecordReader::reads()
{
    QFETCH(QString, opened);
    QFETCH(QByteArray, header);
    QFETCH(QByteArray, content);
    QFETCH(int, signal);
    QFETCH(double, fullScale);
    QFETCH(QVector<qint32>, codes);
    QFETCH(double, rate);
    QFETCH(QStringList, warnings);
    QFETCH(qint64, at);
    QFETCH(Rescaled, rescaled);

    SampleFiles files;
    if (!header.isEmpty())
        files.write("rec.hea", header);
    QFile data(files.path(opened.endsWith(".hea") || opened.endsWith(".dat") ? "rec.dat" : opened));
    QVERIFY(data.open(QIODevice::WriteOnly) && data.seek(at) && data.write(content) == content.size());
    data.close();
    QString error;
    const std::unique_ptr<RecordReader> reader = openRecord(files.path(opened), &error);
    QVERIFY2(reader, qPrintable(error));
    const SignalInfo &info = reader->signalList().at(signal);
    QCOMPARE(info.rate, rate);
    QCOMPARE(info.length, qint64(codes.size()));
    const qint64 peakBefore = peakAddressSpace();
    SampleList list;
    reader->prepare(signal, &list);
    QVERIFY(reader->read(signal, {[&](const qint32 *values, int count) { list.append(values, count); }, {}}));
    // Loosely: what one block takes is far from this.
    QVERIFY2(peakAddressSpace() - peakBefore < 64 * 1024, "reading took 64 MB or more");
    QCOMPARE(reader->warnings(), warnings);
    rescaled.prepend({fullScale, codes});
    for (const auto &[mv, expected] : rescaled) {
        QVector<qint32> sent;
        for (qint64 i = 0; i < list.size(); ++i)
            sent.append(list.code(i, mv));
        QVERIFY2(sent == expected, qPrintable(QString("at %1 mV").arg(mv)));
    }
}

void tst_RecordReader::refusals_data()
{
    QTest::addColumn<QString>("opened");
    QTest::addColumn<QByteArray>("header");
    // What rec.dat is: "file", "empty", "4 GiB" (a hole), "fifo", "device", "directory" or "none";
    // or what the file opened is instead of the header written: "named fifo", "named directory",
    // "named 4 GiB" (the header, then a hole)
    QTest::addColumn<QString>("dat");
    QTest::addColumn<QString>("error"); // what the refusal says, in part

    const auto hea = [](const char *name, const QByteArray &header, const QString &error, const QString &dat = "file") {
        QTest::newRow(name) << QString("rec.hea") << header << dat << error;
    };
    const QString unsupported = "non pris en charge";
    hea("multi-segment", "rec/2 1 360\nrec.dat 212\n", "multisegment, " + unsupported);
    hea("several signal files", "rec 2 360\nrec.dat 212\nother.dat 212\n", "plusieurs fichiers, " + unsupported);
    hea("two samples per frame", "rec 1 360\nrec.dat 212x2\n", "plus d'un échantillon par trame, " + unsupported);
    hea("skew", "rec 1 360\nrec.dat 212:3\n", "décalage (skew), " + unsupported);
    hea("format 80", "rec 1 360\nrec.dat 80\n", "format 80 " + unsupported);
    const QByteArray one212("rec 1 360\nrec.dat 212\n");
    hea("missing .dat", one212, "\"rec.dat\" : absent", "none");
    hea("empty .dat", one212, "\"rec.dat\" : aucun échantillon", "empty");
    hea("a FIFO as .dat", one212, "pas un fichier ordinaire", "fifo");
    hea("a device as .dat", one212, "pas un fichier ordinaire", "device");
    hea("a directory as .dat", one212, "pas un fichier ordinaire", "directory");
    // Refused from its size, before it is read.
    hea("4 GiB .dat", "rec 1 360\nrec.dat 16\n", "2147483648 échantillons, soit 4096 Mo en mémoire", "4 GiB");
    hea("naming itself", "rec 1 360\nrec.hea 212\n", "l'en-tête lui-même");
    hea("empty header", QByteArray(), "vide");
    hea("binary header", QByteArray("rec 1\0\x01\x02", 8), "binaire");
    hea("no signal", "rec 0 360\n", "nombre de signaux « 0 » refusé");
    hea("a billion signals", "rec 1000000000 360\nrec.dat 212\n", "1000000000 signaux, plus que les 4096 lus");
    hea("4097 signals", "rec 4097 360\n" + QByteArray("rec.dat 16\n").repeated(4097), "4097 signaux, plus que les 4096 lus");
    hea("4096 signals, 3 described", "rec 4096 360\n" + QByteArray("rec.dat 16\n").repeated(3),
        "4096 signaux annoncés, 3 décrits");
    hea("a header over 1 MiB", "rec 1 360\nrec.dat 16\n#" + QByteArray(1 << 20, ' '),
        "\"rec.hea\" : plus de 1 Mo, trop grand pour un en-tête");
    hea("a long field, quoted at 64", "rec 1 360\nrec.dat 16 " + QByteArray(1000, 'g'),
        "gain « " + QString(64, 'g') + "… » illisible");
    // Never opened, so never waited for.
    QTest::newRow("a FIFO as header") << "rec.hea" << QByteArray() << "named fifo"
                                      << "En-tête WFDB \"rec.hea\" : pas un fichier ordinaire (FIFO)";
    QTest::newRow("a directory as header") << "rec.hea" << QByteArray() << "named directory"
                                           << "En-tête WFDB \"rec.hea\" : pas un fichier ordinaire (dossier)";
    QTest::newRow("a FIFO as EDF") << "rec.edf" << QByteArray() << "named fifo"
                                   << "Fichier EDF \"rec.edf\" : pas un fichier ordinaire (FIFO)";
    QTest::newRow("a FIFO as sample file") << "rec.csv" << QByteArray() << "named fifo"
                                           << "Fichier \"rec.csv\" : pas un fichier ordinaire (FIFO)";
    // The most samples its size can hold, whatever its first lines are.
    QTest::newRow("4 GiB sample file, a line first") << "rec.csv" << QByteArray("1\n") << "named 4 GiB"
                                                     << "2147483648 échantillons, soit 4096 Mo en mémoire";
    for (const char *rate : {"0", "-360", "fast", "nan", "inf", "1e999", "360/0", "360/1(x)"})
        hea(qPrintable(QString("rate %1").arg(rate)), QByteArray("rec 1 ") + rate + "\nrec.dat 212\n",
            QString("fréquence d'échantillonnage « %1 » refusée").arg(rate));
    // Numbers that do not fit, or are none.
    const QVector<QPair<QByteArray, QString>> numbers{
        {"16 1000 16 abc", "zéro du CAN « abc » refusé"},
        {"16 1000(99999999999)", "niveau de base « 99999999999 » refusé"},
        {"16x99999999999", "nombre d'échantillons par trame « 99999999999 » refusé"},
        {"16:99999999999", "décalage (skew) « 99999999999 » refusé"},
        {"16+99999999999999999999", "décalage en octets « 99999999999999999999 » refusé"},
        {"99999999999999999999", "format « 99999999999999999999 » illisible"},
    };
    for (const auto &number : numbers)
        hea(number.first.constData(), "rec 1 360\nrec.dat " + number.first + "\n", number.second);
    const QByteArray edf = edfFile({{"ECG", "uV", 0.1, 4, {1, 2, 3, 4}}}, 1, "1");
    QTest::newRow("garbage EDF") << "rec.edf" << QByteArray(300, 'x') << "none" << "non conforme";
    QTest::newRow("truncated EDF") << "rec.edf" << edf.left(edf.size() - 3) << "none" << "non conforme";
    QTest::newRow("discontinuous EDF+") << "rec.edf" << edfFile({{"ECG", "uV", 0.1, 4, {1, 2, 3, 4}}}, 1, "1", "EDF+D")
                                        << "none" << "EDF+D";
}

// Refused with what is wrong and in which file; nothing crashes or hangs.
void tst_RecordReader::refusals()
{
    QFETCH(QString, opened);
    QFETCH(QByteArray, header);
    QFETCH(QString, dat);
    QFETCH(QString, error);

    SampleFiles files;
    files.write(opened, header);
    const QString datPath = files.path("rec.dat");
    QFile data(datPath);
    if (dat == "file" || dat == "empty")
        files.write("rec.dat", dat == "file" ? wfdbSamples(212, {1, 2}) : QByteArray());
    else if (dat == "4 GiB")
        QVERIFY(data.open(QIODevice::WriteOnly) && data.resize(qint64(4) << 30));
    else if (dat == "fifo")
        QCOMPARE(mkfifo(qPrintable(datPath), 0600), 0);
    else if (dat == "device")
        QVERIFY(QFile::link("/dev/full", datPath));
    else if (dat == "directory")
        QVERIFY(QDir().mkdir(datPath));
    const QString named = files.path(opened);
    if (dat == "named 4 GiB")
        QVERIFY(QFile::resize(named, qint64(4) << 30));
    else if (dat.startsWith("named "))
        QVERIFY(QFile::remove(named));
    if (dat == "named fifo")
        QCOMPARE(mkfifo(qPrintable(named), 0600), 0);
    else if (dat == "named directory")
        QVERIFY(QDir().mkdir(named));
    // A FIFO or a device is never opened, not even without blocking.
    const int opens = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    QVERIFY(opens >= 0);
    if (dat == "fifo" || dat == "device")
        QVERIFY(inotify_add_watch(opens, QFile::encodeName(datPath).constData(), IN_OPEN) >= 0);
    if (dat == "named fifo")
        QVERIFY(inotify_add_watch(opens, QFile::encodeName(named).constData(), IN_OPEN) >= 0);
    const int descriptors = openDescriptors();
    QString said;
    QVERIFY(!openRecord(files.path(opened), &said));
    QVERIFY2(said.contains(error), qPrintable(said));
    QCOMPARE(openDescriptors(), descriptors);
    char event[sizeof(inotify_event) + NAME_MAX + 1];
    QCOMPARE(read(opens, event, sizeof event), ssize_t(-1));
    close(opens);
}

void tst_RecordReader::changesWhileRead_data()
{
    QTest::addColumn<QString>("opened"); // rec.hea (its signal file changed), rec.csv or rec.edf
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<qint64>("size"); // when the first block is read; -1: twice as long
    QTest::addColumn<QString>("error");

    // Two blocks and more of 16-bit samples, then one frame.
    QTest::newRow("signal file shrunk") << "rec.hea" << wfdbSamples(16, QVector<int>(300000)) << qint64(2)
                                        << "Fichier de signaux WFDB \"rec.dat\" : raccourci pendant la lecture";
    QTest::newRow("sample file shrunk") << "rec.csv" << QByteArray("1\n").repeated(20000) << qint64(100)
                                        << "Fichier \"rec.csv\" : raccourci pendant la lecture";
    QTest::newRow("sample file grown") << "rec.csv" << QByteArray("1\n").repeated(5000) << qint64(-1)
                                       << "Fichier \"rec.csv\" : allongé pendant la lecture";
    QTest::newRow("EDF shrunk") << "rec.edf" << edfFile({{"ECG", "uV", 0.1, 1000, QVector<int>(600000)}}, 600, "1", "")
                                << qint64(2) << "Fichier EDF \"rec.edf\" : tronqué";
}

// Refused, never played in part or read beyond what its memory was judged for.
void tst_RecordReader::changesWhileRead()
{
    QFETCH(QString, opened);
    QFETCH(QByteArray, content);
    QFETCH(qint64, size);
    QFETCH(QString, error);

    SampleFiles files;
    files.write("rec.hea", "rec 1 360\nrec.dat 16\n");
    const QString changed = files.write(opened == "rec.hea" ? "rec.dat" : opened, content);
    QString said;
    const std::unique_ptr<RecordReader> reader = openRecord(files.path(opened), &said);
    QVERIFY2(reader, qPrintable(said));
    bool first = true;
    const SampleSink sink{[&](const qint32 *, int) {
                              if (!std::exchange(first, false))
                                  return;
                              QFile file(changed);
                              if (size >= 0)
                                  QVERIFY(file.resize(size));
                              else
                                  QVERIFY(file.open(QIODevice::Append) && file.write(content) == content.size());
                          },
                          [](int, const QString &) {}};
    QVERIFY(!reader->read(0, sink));
    QVERIFY2(reader->error().startsWith(error), qPrintable(reader->error()));
}

void tst_RecordReader::findsSignals_data()
{
    QTest::addColumn<QString>("selector");
    QTest::addColumn<int>("found");

    QTest::newRow("none: the first") << "" << 0;
    QTest::newRow("a label, any case and blanks") << " mlii " << 0;
    QTest::newRow("a number") << "2" << 1;
    QTest::newRow("number 0") << "0" << -1;
    QTest::newRow("beyond the last") << "3" << -1;
    QTest::newRow("no such label") << "V1" << -1;
}

void tst_RecordReader::findsSignals()
{
    QFETCH(QString, selector);
    QFETCH(int, found);

    const QVector<SignalInfo> record{{"MLII", "mV", 360, 10}, {"V5", "mV", 360, 10}};
    QCOMPARE(findSignal(record, selector), found);
    // A sample file has its one signal, whatever is asked.
    QCOMPARE(findSignal({{QString(), QString(), 0, 10}}, selector), 0);
}

void tst_RecordReader::sampleFileOrNot_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("refusal"); // in part; empty: it plays

    const QByteArray text("une ligne de texte\n");
    const QByteArray sample("12\n");
    QTest::newRow("no integer at all") << QByteArray("%PDF-1.4\n\x01\x02\n\n").repeated(50)
                                       << "pas un fichier d'échantillons : aucune ligne n'est un entier";
    QTest::newRow("most of the first thousand") << text.repeated(501) + sample.repeated(499)
                                                << "501 des 1000 premières lignes non vides ne sont pas des entiers";
    QTest::newRow("a short file, most of it") << QByteArray("abc\n\n1\ndef\n") << "2 des 3 premières lignes";
    QTest::newRow("half of them") << text.repeated(500) + sample.repeated(500) << "";
    QTest::newRow("text after the first thousand") << sample.repeated(1000) + text.repeated(3000) << "";
}

// A file that holds no recording is refused, never sent as full-scale -1s; a
// sample file with a few bad lines plays them as -1.
void tst_RecordReader::sampleFileOrNot()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, refusal);

    SampleFiles files;
    const LoadedSignal loaded = loadSignal(files.write("rec.csv", content), 0);
    QVERIFY2(loaded.refusal.reason.contains(refusal), qPrintable(loaded.refusal.reason));
    QCOMPARE(bool(loaded.list), refusal.isEmpty());
    if (!refusal.isEmpty())
        QCOMPARE(int(loaded.refusal.kind), int(Refusal::Unreadable));
}

void tst_RecordReader::readsAsEdflib_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("content");
    QFile sample(ECG_SAMPLES "/mitbih-208-10s.edf");
    QVERIFY(sample.open(QIODevice::ReadOnly));
    QTest::newRow("sample EDF") << "rec.edf" << sample.readAll();
    // Random digital values over the whole sample width: BDF's beyond its
    // digital range, which both clamp.
    QRandomGenerator random(40);
    for (const int sampleBytes : {2, 3}) {
        const int most = sampleBytes == 2 ? 32767 : 8388607;
        QVector<EdfSignal> signalList;
        for (const int perRecord : {7, 360, 1}) {
            QVector<int> digital(perRecord * 5);
            for (int &value : digital)
                value = random.bounded(-most - 1, most + 1);
            signalList.append({"S", "uV", 0.5, perRecord, digital});
        }
        const QByteArray type = sampleBytes == 2 ? "EDF+C" : "";
        QTest::newRow(sampleBytes == 2 ? "random EDF+" : "random BDF")
            << (sampleBytes == 2 ? "rec.edf" : "rec.bdf") << edfFile(signalList, 5, "1", type, {}, sampleBytes);
    }
}

// Every signal's values as EDFlib reads them.
void tst_RecordReader::readsAsEdflib()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, content);

    SampleFiles files;
    const QString path = files.write(name, content);
    QString error;
    const std::unique_ptr<RecordReader> reader = openRecord(path, &error);
    QVERIFY2(reader, qPrintable(error));
    edf_hdr_struct header;
    QCOMPARE(edfopen_file_readonly(QFile::encodeName(path).constData(), &header, EDFLIB_DO_NOT_READ_ANNOTATIONS), 0);
    QCOMPARE(reader->signalList().size(), header.edfsignals);
    for (int signal = 0; signal < header.edfsignals; ++signal) {
        QVector<int> expected(int(header.signalparam[signal].smp_in_file));
        QCOMPARE(edfread_digital_samples(header.handle, signal, expected.size(), expected.data()), expected.size());
        QVector<int> read;
        QVERIFY(reader->read(signal, {[&](const qint32 *values, int count) { read.append(QVector<int>(values, values + count)); }, {}}));
        QVERIFY2(read == expected, qPrintable(QString("signal %1").arg(signal + 1)));
    }
    edfclose_file(header.handle);
}

void tst_RecordReader::loadsAnnotations_data()
{
    QTest::addColumn<QString>("opened");
    QTest::addColumn<QString>("written"); // beside record 100's minute; none when empty
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("annotator");
    QTest::addColumn<int>("count"); // 0: none
    QTest::addColumn<Annotation>("firstOne");
    QTest::addColumn<QStringList>("warnings");

    const auto row = [](const char *name, const QString &opened, const QString &written, const QByteArray &content,
                        const QString &annotator, int count = 0, const Annotation &firstOne = {},
                        const QStringList &warnings = {}) {
        QTest::newRow(name) << opened << written << content << annotator << count << firstOne << warnings;
    };
    const QString record = "mitdb_100_1min.hea";
    const QString atr = "mitdb_100_1min.atr";
    QFile minute(ECG_SAMPLES "/mitdb_100_1min.atr");
    QVERIFY(minute.open(QIODevice::ReadOnly));
    row("record 100's minute", record, atr, minute.readAll(), "atr", 75, {18, '+', 0, 0, 0, "(N", false, 28});
    row("annotations not asked for", record, atr, "\x01\xfc", "");
    row("no file of that annotator", record, "", {}, "atr");
    // An AUX word with no annotation before it.
    row("a bad file", record, atr, "\x01\xfc", "atr", 0, {},
        {"Fichier d'annotations \"mitdb_100_1min.atr\" : champ sans annotation avant lui (octet 0) ; "
         "enregistrement lu sans ses annotations"});
    // At 4 samples/s, in records of a second: 1.25 s is sample 5.
    row("EDF+, a note then a beat", "rec.edf", "rec.edf",
        edfFile({{"ECG", "uV", 0.1, 4, {1, 2, 3, 4, 5, 6, 7, 8}}}, 2, "1", "EDF+C", {{0.5, "(AFIB"}, {1.25, "V"}}), "atr",
        2, {2, '"', 0, 0, 0, "(AFIB", false, 22});
    row("plain EDF", "rec.edf", "rec.edf", edfFile({{"ECG", "uV", 0.1, 4, {1, 2, 3, 4}}}, 1, "1", ""), "atr");
    // What the log says of many lines that are no integer: the first, cut, then a count.
    const QByteArray line = QByteArray(1, '\x01') + QByteArray(99, 'x') + '\n';
    row("a sample file of many bad lines", "rec.csv", "rec.csv", line.repeated(300) + QByteArray("1\n").repeated(700), "",
        0, {}, {"Ligne invalide ( 1 ): \"\\u0001" + QString(63, 'x') + "…\"", "Lignes invalides après la première : 299"});
}

// The annotations come with the signal, or the signal alone with the reason.
void tst_RecordReader::loadsAnnotations()
{
    QFETCH(QString, opened);
    QFETCH(QString, written);
    QFETCH(QByteArray, content);
    QFETCH(QString, annotator);
    QFETCH(int, count);
    QFETCH(Annotation, firstOne);
    QFETCH(QStringList, warnings);

    SampleFiles files;
    for (const QString name : {"mitdb_100_1min.hea", "mitdb_100_1min.dat"})
        QVERIFY(QFile::copy(QString(ECG_SAMPLES "/") + name, files.path(name)));
    if (!written.isEmpty())
        files.write(written, content);
    LogCapture log;
    const LoadedSignal loaded = loadSignal(files.path(opened), 0, {}, annotator);
    QVERIFY(loaded.list);
    QStringList said;
    for (const LogCapture::Line &line : log.lines()) {
        if (line.type == QtWarningMsg)
            said << line.text;
    }
    QCOMPARE(said, warnings);
    QCOMPARE(loaded.list->annotations ? loaded.list->annotations->size() : 0, count);
    if (count == 0)
        return;
    QCOMPARE(loaded.list->annotations->first(), firstOne);
    QVERIFY(std::is_sorted(loaded.list->annotations->cbegin(), loaded.list->annotations->cend(),
                           [](const Annotation &a, const Annotation &b) { return a.sample < b.sample; }));
    if (opened.endsWith(".edf"))
        QCOMPARE(loaded.list->annotations->last(), (Annotation{5, 'V', 0, 0, 0, QString(), true, 5}));
}

QTEST_MAIN(tst_RecordReader)
#include "tst_recordreader.moc"
