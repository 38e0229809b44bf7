#include "appworker.h"
#include "fakegpio.h"
#include "loadsignal.h"
#include "fakespidev.h"
#include "syncline.h"
#include "records.h"
#include "samplefile.h"
#include "testsupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTest>
#include <QTextCodec>

#include <algorithm>
#include <cmath>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString noDataWarning = QStringLiteral("Aucune donnée chargée, attente...");

QVector<quint16> dacCodes(const QVector<qint32> &samples)
{
    QVector<quint16> codes;
    for (qint32 sample : samples)
        codes.append(quint16(sample));
    return codes;
}

// Twenty samples whose codes are base plus the sample; with beats, beats at 3,
// 7 and 15, with a rhythm change, a noise mark beside a beat and one past the
// end, none of them beats.
std::shared_ptr<SampleList> rampList(quint16 base, bool withBeats)
{
    auto list = std::make_shared<SampleList>();
    for (quint16 sample = 0; sample < 20; ++sample)
        list->values.push_back(qint16(base + sample));
    if (withBeats)
        list->annotations = std::make_shared<QVector<Annotation>>(QVector<Annotation>{
            {3, 'N', 0, 0, 0, QString(), true},
            {7, 'V', 0, 1, 0, QString(), true},
            {10, '+', 0, 0, 0, "(AFIB", false},
            {15, '~', 0, 0, 0, QString(), false},
            {15, 'A', 0, 0, 0, QString(), true},
            {25, 'N', 0, 0, 0, QString(), true}});
    return list;
}

// Frames in any stretch of the transfers above rate times its length, with
// the catch-up's 20 ms and a frame for the stamps: a burst; empty for none.
QString burstIn(const std::vector<fakespidev::Transfer> &transfers, double rate)
{
    for (std::size_t i = 0; i < transfers.size(); ++i) {
        for (std::size_t j = i + 1; j < transfers.size(); ++j) {
            const double stretch = (transfers[j].timeNs - transfers[i].timeNs) / 1e9;
            if (double(j - i) > rate * (stretch + 0.02) + 2)
                return QString("%1 frames in %2 s").arg(j - i + 1).arg(stretch);
        }
    }
    return QString();
}

} // namespace

Q_DECLARE_METATYPE(SyncOn)

class tst_AppWorker : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void loadedFileIsStreamedCyclically_data();
    void loadedFileIsStreamedCyclically();
    void refusedSourcesAreNeverLoaded_data();
    void refusedSourcesAreNeverLoaded();
    void commands_data();
    void commands();
    void commandsNeverWaitForTheDevice();
    void deviceFailureLeavesControlsWorking_data();
    void deviceFailureLeavesControlsWorking();
    void sampleRatePacesFrames();
    void commandCutsALongPeriodShort();
    void newListStartsWhereItIsPlaced();
    void fullScaleChangeKeepsThePosition();
    void opensTheDacAndClosesItWhenDeleted();
    void outputThreadLeavesSignalsToTheMainThread();
    void pulsesAndBeatLogFollowTheirFrames_data();
    void pulsesAndBeatLogFollowTheirFrames();
    void beatsBelongToTheirGeneration_data();
    void beatsBelongToTheirGeneration();
    void onlyRunAndPacingWakeTheLoop_data();
    void onlyRunAndPacingWakeTheLoop();
    void commandFloodKeepsThePace_data();
    void commandFloodKeepsThePace();
    void playedOnceThenPadded_data();
    void playedOnceThenPadded();

private:
    SampleFiles files;
};

void tst_AppWorker::init()
{
    fakespidev::reset();
}

void tst_AppWorker::loadedFileIsStreamedCyclically_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QVector<qint32>>("samples");
    QTest::addColumn<QStringList>("warnings");
    QTest::addColumn<int>("faultyResult"); // of faultyCount transfers from the fourth on; 0: none
    QTest::addColumn<int>("faultyCount");
    QTest::addColumn<QStringList>("faultLines"); // what the loop says of them

    const auto row = [](const char *name, const QByteArray &content, const QVector<qint32> &samples,
                        const QStringList &warnings = {}, int faultyResult = 0, int faultyCount = 0,
                        const QStringList &faultLines = {}) {
        QTest::newRow(name) << content << samples << warnings << faultyResult << faultyCount << faultLines;
    };
    const QStringList mixedWarnings{"Ligne invalide ( 4 ): \"abc\"", "Lignes invalides après la première : 1"};
    row("mixed lines", "12\n\n  34  \nabc\n5.5\n", {12, 34, -1, -1}, mixedWarnings);
    row("CR LF", "12\r\n\r\n  34  \r\nabc\r\n5.5\r\n", {12, 34, -1, -1}, mixedWarnings);
    row("last line without line end", "1\n2", {1, 2});
    row("signs, zeros, tabs", "+5\n007\n\t-12\t\n", {5, 7, -12});
    row("32-bit limits", "2147483647\n-2147483648\n2147483648\n-2147483649\n",
        {2147483647, qint32(-2147483647 - 1), -1, -1},
        {"Ligne invalide ( 3 ): \"2147483648\"", "Lignes invalides après la première : 1"});
    row("second column, hex, two numbers", "1,2\n0x10\n1 2\n7\n8\n9\n", {-1, -1, -1, 7, 8, 9},
        {"Ligne invalide ( 1 ): \"1,2\"", "Lignes invalides après la première : 2"});
    row("byte-order mark, NUL bytes", QByteArray("\xEF\xBB\xBF" "12\n\0\n4", 9), {12, -1, 4},
        {"Ligne invalide ( 2 ): \"\\u0000\""});
    // Lines that are not plain ASCII are read as text, by the same rule.
    row("no-break spaces around a value", "\xC2\xA0" "42\xC2\xA0\n7\n", {42, 7});
    // Wide texts by their byte-order mark.
    for (const char *codec : {"UTF-16LE", "UTF-16BE", "UTF-32LE", "UTF-32BE"}) {
        QTextEncoder encoder(QTextCodec::codecForName(codec), QTextCodec::IgnoreHeader);
        row(codec, encoder.fromUnicode(QChar(QChar::ByteOrderMark) + QStringLiteral("1\n-2\n")), {1, -2});
    }
    // Only the low 16 bits reach the DAC, most significant byte first.
    row("beyond 16 bits", "65536\n-2\n74565\n-32768\n", {65536, -2, 0x12345, -32768});
    row("longest line allowed", QByteArray(maxSampleLineLength - 2, ' ') + "42\n", {42});
    // A device that fails or sends less from the fourth frame on: the loop
    // goes on in order, at its pace, and says so once per run of failures.
    const QVector<qint32> ramp{1, 2, 3, 4, 5};
    const QByteArray rampFile("1\n2\n3\n4\n5\n");
    const QString failed = QString("Échec de transfert SPI: \"%1\"").arg(QString::fromLocal8Bit(std::strerror(EIO)));
    row("failing transfers, then none", rampFile, ramp, {}, -1, 4, {failed, "Transferts SPI rétablis après 4 échecs"});
    row("failing transfers", rampFile, ramp, {}, -1, -1, {failed});
    row("short transfers", rampFile, ramp, {}, 1, -1, {"Échec de transfert SPI: \"1 octets envoyés sur 3\""});
}

void tst_AppWorker::loadedFileIsStreamedCyclically()
{
    QFETCH(QByteArray, content);
    QFETCH(QVector<qint32>, samples);
    QFETCH(QStringList, warnings);
    QFETCH(int, faultyResult);
    QFETCH(int, faultyCount);
    QFETCH(QStringList, faultLines);

    if (faultyResult)
        fakespidev::setTransferFault(3, faultyResult, EIO, faultyCount < 0 ? SIZE_MAX : std::size_t(faultyCount));
    OutputThread output;
    // Once the loop has set up, whatever it said then (as a user without
    // real-time priority, say) is out of the way.
    QVERIFY(waitForDeviceSetUp());
    LogCapture log;
    loadInto(output, files.write("samples.csv", content));
    QCOMPARE(log.texts(), warnings + QStringList{QString("Fichier chargé avec %1 %2").arg(samples.size()).arg(samples.size() < 2 ? "valeur." : "valeurs.")});
    for (const LogCapture::Line &line : log.lines())
        QCOMPARE(line.type, line.text.startsWith("Fichier") ? QtDebugMsg : QtWarningMsg);

    output.play(true);
    const int frames = 2 * samples.size() + 1;
    QVERIFY(fakespidev::waitForTransfers(frames, waitMs));
    output.play(false);

    QStringList said;
    for (const QString &line : log.texts()) {
        if (line.contains("transfert", Qt::CaseInsensitive))
            said << line;
    }
    QCOMPARE(said, faultLines);
    const QVector<quint16> expected = dacCodes(samples);
    const QVector<quint16> sent = sentCodes();
    const std::vector<fakespidev::Transfer> transfers = fakespidev::transfers();
    for (int i = 0; i < frames; ++i) {
        QCOMPARE(sent.at(i), expected.at(i % expected.size()));
        QCOMPARE(transfers[i].tx.size(), std::size_t(3));
        QCOMPARE(transfers[i].tx.at(0), std::uint8_t(0));
        // A lower bound holds on any machine: the 2 ms sleep after each frame.
        if (i > 0)
            QVERIFY(transfers[i].timeNs - transfers[i - 1].timeNs >= 2000000);
    }
    // Nor a loop several times too slow: a bound that no busy machine breaks.
    QVERIFY(medianPeriodNs(transfers) < 3 * 2000000);
}

void tst_AppWorker::refusedSourcesAreNeverLoaded_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("refusal");

    QTest::newRow("deleted") << "deleted" << int(Refusal::NotFound);
    QTest::newRow("directory") << "directory" << int(Refusal::NotFound);
    // Reading these would block the loader or never end.
    QTest::newRow("FIFO") << "fifo" << int(Refusal::NotFound);
    QTest::newRow("endless device") << "device" << int(Refusal::NotFound);
    QTest::newRow("a line longer than allowed") << "long line" << int(Refusal::Unreadable);
    QTest::newRow("no line end in 1 MB") << "no line end" << int(Refusal::Unreadable);
    QTest::newRow("blank lines only") << "blank" << int(Refusal::Empty);
}

// A file that cannot be read, or holds no sample, gives no list, and says why.
void tst_AppWorker::refusedSourcesAreNeverLoaded()
{
    QFETCH(QString, kind);
    QFETCH(int, refusal);

    QString path = files.path(kind + ".csv");
    if (kind == "directory")
        QVERIFY(QDir().mkdir(path));
    else if (kind == "fifo")
        QCOMPARE(mkfifo(qPrintable(path), 0600), 0);
    else if (kind == "device")
        path = "/dev/zero";
    else if (kind == "long line")
        files.write(kind + ".csv", "1\n" + QByteArray(maxSampleLineLength + 1, '7') + "\n2\n");
    else if (kind == "no line end")
        files.write(kind + ".csv", QByteArray(1 << 20, '\x01'));
    else if (kind == "blank")
        files.write(kind + ".csv", "\n \n");

    LogCapture log;
    const LoadedSignal loaded = loadSignal(path, 0);
    QVERIFY(!loaded.list);
    QCOMPARE(int(loaded.refusal.kind), refusal);
    QVERIFY2(loaded.refusal.reason.contains(path), qPrintable(loaded.refusal.reason));
    QCOMPARE(log.texts().last(), QString(kind == "blank" ? "Aucun échantillon dans \"%1\"" : "Erreur ouverture fichier: \"%1\"").arg(path));
}

void tst_AppWorker::commands_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("command");
    // Frames sent from just before a stop, or from when a pause has put the
    // loop to sleep; the pass in progress when a stop comes may send its own.
    QTest::addColumn<int>("leastFrames");
    QTest::addColumn<int>("mostFrames");
    QTest::addColumn<int>("warningsAfter"); // waits for data after the command returned, at most
    QTest::addColumn<double>("rate");

    QTest::newRow("pause while streaming") << QByteArray("1\n2\n3\n") << "pause" << 0 << 0 << 0 << 0.0;
    QTest::newRow("stop while streaming") << QByteArray("1\n2\n3\n") << "stop" << 0 << 1 << 0 << 0.0;
    // A stop ends a pause without a frame.
    QTest::newRow("stop while paused") << QByteArray("1\n2\n3\n") << "pause, stop" << 0 << 0 << 0 << 0.0;
    QTest::newRow("stop while paused, at a rate") << QByteArray("1\n2\n3\n") << "pause, stop" << 0 << 0 << 0 << 1000.0;
    QTest::newRow("stop while paused, no data") << QByteArray() << "pause, stop" << 0 << 0 << 1 << 0.0;
}

void tst_AppWorker::commands()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, command);
    QFETCH(int, leastFrames);
    QFETCH(int, mostFrames);
    QFETCH(int, warningsAfter);
    QFETCH(double, rate);

    LogCapture log;
    OutputThread output({"/dev/spidev0.0", rate});
    if (!content.isEmpty())
        loadInto(output, files.write("ramp.csv", content));
    output.play(true);
    QVERIFY(QTest::qWaitFor([&] { return fakespidev::transferCount() + log.count(noDataWarning) >= 2; }, waitMs));
    if (command.startsWith("pause")) {
        output.play(false);
        QVERIFY(QTest::qWaitFor([&] { return threadWaitsOnLock(output.threadId()); }, waitMs));
    }
    const std::size_t frames = fakespidev::transferCount();
    const int warnings = log.count(noDataWarning);
    if (command.endsWith("stop")) {
        QVERIFY(output.finish());
        QCOMPARE(output.finishedSpy.count(), 1);
    } else {
        QTest::qWait(50);
    }
    const int framesAfter = int(fakespidev::transferCount() - frames);
    QVERIFY2(framesAfter >= leastFrames && framesAfter <= mostFrames, qPrintable(QString("%1 frames after the command").arg(framesAfter)));
    // A pause may find the loop asleep between two waits for data, which the
    // stop then ends without another.
    QVERIFY(log.count(noDataWarning) - warnings <= warningsAfter);
}

// A transfer that never returns holds the output thread, never a command:
// each returns, and the read position is read, while the device hangs.
void tst_AppWorker::commandsNeverWaitForTheDevice()
{
    fakespidev::hangTransfers(3);
    OutputThread output;
    loadInto(output, files.write("ramp.csv", "1\n2\n3\n4\n5\n"));
    output.play(true);
    // Three frames sent, and the loop, which is not paused, asleep in the fourth.
    QVERIFY(QTest::qWaitFor(
        [&] { return fakespidev::transferCount() == 3 && threadWaitsOnLock(output.threadId()); }, waitMs));
    std::atomic<bool> returned{false};
    std::thread commander([&] {
        output.play(false);
        output.plan.position = output.worker->position() + 1;
        output.plan.rate = 100;
        output.plan.fullScaleMv = 5;
        output.publish();
        output.place(loadSignal(files.path("ramp.csv"), 0).list);
        output.play(true);
        output.worker->stop();
        returned = true;
    });
    const bool answered = QTest::qWaitFor([&] { return returned.load(); }, waitMs);
    // Released, so that a loop that held a command back lets it go.
    fakespidev::hangTransfers(SIZE_MAX);
    commander.join();
    QVERIFY(answered);
    QVERIFY(output.finish());
}

void tst_AppWorker::deviceFailureLeavesControlsWorking_data()
{
    QTest::addColumn<int>("openError");
    QTest::addColumn<unsigned long>("refusedRequest");
    QTest::addColumn<QString>("detail"); // the line after the failure's, %1 the system's error text

    const auto row = [](const char *name, int openError, unsigned long refusedRequest, const char *what) {
        QTest::newRow(name) << openError << refusedRequest
                            << QString("DAC8551: %1 de \"/dev/spidev0.0\" impossible: \"%2\"").arg(what, "%1");
    };
    row("node missing", ENOENT, 0, "ouverture");
    row("permission denied", EACCES, 0, "ouverture");
    row("mode refused", 0, SPI_IOC_WR_MODE, "réglage du mode");
    row("word size refused", 0, SPI_IOC_RD_BITS_PER_WORD, "réglage de la taille des mots");
    row("clock rate refused", 0, SPI_IOC_RD_MAX_SPEED_HZ, "réglage de la fréquence d'horloge");
}

void tst_AppWorker::deviceFailureLeavesControlsWorking()
{
    QFETCH(int, openError);
    QFETCH(unsigned long, refusedRequest);
    QFETCH(QString, detail);

    LogCapture log;
    fakespidev::setOpenError(openError);
    fakespidev::failRequest(refusedRequest, EINVAL);
    OutputThread output;
    QVERIFY(log.waitFor("Erreur initialisation DAC8551"));
    const QString error = QString::fromLocal8Bit(std::strerror(openError ? openError : EINVAL));
    QCOMPARE(log.texts().indexOf(detail.arg(error)), log.texts().indexOf("Erreur initialisation DAC8551") + 1);

    loadInto(output, files.write("one.csv", "1\n"));
    output.play(true);
    output.play(false);
    output.play(true);
    QVERIFY(output.finish());
    QCOMPARE(log.count("Erreur initialisation DAC8551"), 1);
    QCOMPARE(output.finishedSpy.count(), 0);
    QCOMPARE(output.setUpFailedSpy.count(), 1);
    QCOMPARE(output.setUpFailedSpy.first().first().toString(), detail.arg(error));
    QCOMPARE(fakespidev::transferCount(), std::size_t(0));
    // Not tried again, and a descriptor that was opened is closed.
    QCOMPARE(fakespidev::openCount(), openError ? 0 : 1);
    QCOMPARE(fakespidev::openDescriptors(), 0);
}

// With a rate, never a burst: over any stretch, at most the rate times its
// length plus one frame (one more for when the double stamps a transfer). A
// pause restarts the clock: the deadlines it slept through are not owed.
void tst_AppWorker::sampleRatePacesFrames()
{
    constexpr double rate = 200;
    constexpr int pauseMs = 300;
    LogCapture log;
    OutputThread output({"/dev/spidev0.0", rate});
    loadInto(output, files.write("ramp.csv", "1\n2\n3\n"));
    output.play(true);
    QVERIFY(fakespidev::waitForTransfers(10, waitMs));
    output.play(false);
    QTest::qWait(pauseMs);
    const std::size_t beforeResume = fakespidev::transferCount();
    output.play(true);
    QVERIFY(fakespidev::waitForTransfers(beforeResume + 10, waitMs));
    output.play(false);

    // The loop's first line; the load runs beside it, so either may come first.
    QCOMPARE(log.count("Cadence: 200 échantillons par seconde"), 1);
    const std::vector<fakespidev::Transfer> transfers = fakespidev::transfers();
    const QString burst = burstIn(transfers, rate);
    QVERIFY2(burst.isEmpty(), qPrintable(burst));
    // Not the classic pacing's 2 ms, nor a loop five times too slow.
    QVERIFY(medianPeriodNs(transfers) < 3 * 1e9 / rate);
    // A clock not restarted would find the frame after the pause 60 periods late.
    const QRegularExpression lateWarning("Cadence non tenue: (\\d+) échantillons? sautés?, horloge relancée");
    for (const QString &line : log.texts())
        QVERIFY2(lateWarning.match(line).captured(1).toInt() < pauseMs * rate / 1000 / 2, qPrintable(line));
}

// At 0.1 samples/s a pass waits 10 s for its deadline; a command must not
// wait with it, or the window would freeze.
void tst_AppWorker::commandCutsALongPeriodShort()
{
    OutputThread output({"/dev/spidev0.0", 0.1});
    loadInto(output, files.write("one.csv", "7\n"));
    output.play(true);
    QVERIFY(fakespidev::waitForTransfers(1, waitMs));
    output.play(false);
    QCOMPARE(fakespidev::transferCount(), std::size_t(1));
}

// A new list goes in with its read position in one step: the first frame
// after it is that sample, never one more of the list before. The lists share
// no code, so any stray frame shows.
void tst_AppWorker::newListStartsWhereItIsPlaced()
{
    OutputThread output({"/dev/spidev0.0", 2000});
    loadInto(output, files.write("low.csv", "1\n2\n3\n4\n5\n"));
    const LoadedSignal high = loadSignal(files.write("high.csv", "100\n101\n102\n103\n"), 0);
    output.play(true);
    for (int round = 0; round < 20; ++round) {
        const std::size_t before = fakespidev::transferCount();
        QVERIFY(fakespidev::waitForTransfers(before + 3, waitMs));
        output.place(round % 2 ? loadSignal(files.path("low.csv"), 0).list : high.list, 2);
    }
    QVERIFY(fakespidev::waitForTransfers(fakespidev::transferCount() + 3, waitMs));
    output.play(false);
    const QVector<quint16> sent = sentCodes();
    for (int i = 1; i < sent.size(); ++i) {
        const bool switched = (sent[i] >= 100) != (sent[i - 1] >= 100);
        if (switched)
            QVERIFY2(sent[i] == 3 || sent[i] == 102, qPrintable(QString("frame %1: %2 after %3").arg(i).arg(sent[i]).arg(sent[i - 1])));
    }
}

// In millivolts mapped to codes at the full scale read (10 mV); another full
// scale maps the same millivolts at once, at the same read position.
void tst_AppWorker::fullScaleChangeKeepsThePosition()
{
    files.write("rec.hea", "rec 1 250\nrec.dat 16 200\n");
    files.write("rec.dat", wfdbSamples(16, {0, 200, -200, 100, -100, 400}));
    OutputThread output({"/dev/spidev0.0", 250});
    QCOMPARE(loadInto(output, files.path("rec.hea")), 6);
    output.play(true);
    QVERIFY(fakespidev::waitForTransfers(4, waitMs));
    output.plan.fullScaleMv = 20;
    output.publish();
    const std::size_t changedAt = fakespidev::transferCount();
    QVERIFY(fakespidev::waitForTransfers(changedAt + 8, waitMs));
    output.play(false);

    const QVector<quint16> at10{32768, 39322, 26214, 36045, 29491, 45875};
    const QVector<quint16> at20{32768, 36045, 29491, 34406, 31130, 39322};
    const QVector<quint16> sent = sentCodes();
    QCOMPARE(sent.mid(0, 4), at10.mid(0, 4));
    // The frame in flight at the change may be either; the ones after follow
    // on, each the code of a fresh read at 20 mV.
    for (int i = int(changedAt) + 1; i < sent.size(); ++i)
        QVERIFY2(sent[i] == at20[i % 6], qPrintable(QString("frame %1: %2").arg(i).arg(sent[i])));
}

// On the node that the operator chose.
void tst_AppWorker::opensTheDacAndClosesItWhenDeleted()
{
    fakespidev::reset("/dev/spidev0.1");
    LogCapture log;
    {
        OutputThread output({"/dev/spidev0.1", 0});
        QVERIFY(waitForDeviceSetUp());
        QCOMPARE(fakespidev::openFlags(), O_RDWR);
        QCOMPARE(fakespidev::mode(), std::uint8_t(1));
        QCOMPARE(fakespidev::bitsPerWord(), std::uint8_t(8));
        QCOMPARE(fakespidev::speed(), 100000u);
        QVERIFY(output.finish());
        QCOMPARE(fakespidev::closeCount(), 0);
    }
    QCOMPARE(log.texts().mid(log.texts().size() - 2), (QStringList{"AppWorker destructor", "SpiDev destructor"}));
    QCOMPARE(fakespidev::closeCount(), 1);
}

// SIGINT, SIGTERM and SIGHUP are the headless mode's commands: its main
// thread must take them, not the output thread in the middle of a frame.
void tst_AppWorker::outputThreadLeavesSignalsToTheMainThread()
{
    OutputThread output;
    QVERIFY(waitForDeviceSetUp());
    QFile status(QString("/proc/self/task/%1/status").arg(output.threadId()));
    QVERIFY(status.open(QIODevice::ReadOnly));
    bool ok = false;
    qulonglong blocked = 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("SigBlk:"))
            blocked = line.mid(7).trimmed().toULongLong(&ok, 16);
    }
    QVERIFY(ok);
    for (int number : {SIGINT, SIGTERM, SIGHUP})
        QVERIFY2(blocked & (1ull << (number - 1)), qPrintable(QString("signal %1 not blocked").arg(number)));
}

void tst_AppWorker::playedOnceThenPadded_data()
{
    QTest::addColumn<double>("rate");

    QTest::newRow("classic pacing") << 0.0;
    QTest::newRow("exact clock") << 1000.0;
}

// To the list's end once, then its last code for the pad, each pad frame
// recorded after the record's end, in the same pass; then nothing until a
// new list plays.
void tst_AppWorker::playedOnceThenPadded()
{
    QFETCH(double, rate);

    const auto timeline = std::make_shared<FrameTimeline>();
    OutputThread output({"/dev/spidev0.0", rate}, [&](AppWorker *worker) { worker->recordFrames(timeline); });
    QVector<quint64> ended;
    connect(output.worker, &AppWorker::playedOnce, this, [&](quint64 generation) { ended.append(generation); },
            Qt::QueuedConnection);
    output.plan.once = true;
    output.plan.padFrames = 3;
    output.place(rampList(1000, true), 0);
    output.play(true);
    QVERIFY(QTest::qWaitFor([&] { return !ended.isEmpty(); }, waitMs));
    const std::size_t sent = fakespidev::transferCount();
    QTest::qWait(50);
    QCOMPARE(fakespidev::transferCount(), sent);

    QVector<quint16> expected;
    for (quint16 code = 1000; code < 1020; ++code)
        expected.append(code);
    expected << 1019 << 1019 << 1019;
    QCOMPARE(sentCodes(), expected);
    QCOMPARE(ended, QVector<quint64>{output.plan.generation});
    const AppWorker::Progress progress = output.worker->progress();
    QCOMPARE(progress.loops, qint64(1));
    QCOMPARE(progress.beats.count, qint64(3));
    QCOMPARE(timeline->lastPass().number, quint64(1));
    QCOMPARE(timeline->lastPass().lastSample, qint64(22));

    output.place(rampList(2000, false), 0);
    QVERIFY(fakespidev::waitForTransfers(sent + 5, waitMs));
    QCOMPARE(sentCodes().mid(int(sent), 2), (QVector<quint16>{2000, 2001}));
}

QTEST_MAIN(tst_AppWorker)
#include "tst_appworker.moc"

void tst_AppWorker::pulsesAndBeatLogFollowTheirFrames_data()
{
    QTest::addColumn<double>("rate");
    QTest::addColumn<SyncOn>("syncOn");
    QTest::addColumn<double>("widthMs");
    QTest::addColumn<QVector<qint64>>("marked"); // the samples whose frames pulse

    QTest::newRow("beats, 360/s") << 360.0 << SyncOn::Beats << 1.0 << QVector<qint64>{3, 7, 15};
    QTest::newRow("beats, wider than a period") << 360.0 << SyncOn::Beats << 10.0 << QVector<qint64>{3, 7, 15};
    QTest::newRow("loop") << 360.0 << SyncOn::Loop << 1.0 << QVector<qint64>{0};
    QTest::newRow("both, classic pacing") << 0.0 << SyncOn::Both << 1.0 << QVector<qint64>{0, 3, 7, 15};
}

// Over two loops and more of a 20-sample list whose codes are 1000 plus the
// sample: each marked frame is followed by one pulse, high after its transfer
// and low before the next; no other frame has one; each beat sent has its
// line in the log, timed between its transfer and the next; the worker's
// count and RR intervals agree with the log.
void tst_AppWorker::pulsesAndBeatLogFollowTheirFrames()
{
    QFETCH(double, rate);
    QFETCH(SyncOn, syncOn);
    QFETCH(double, widthMs);
    QFETCH(QVector<qint64>, marked);

    fakegpio::reset();
    QFile::remove(files.path("beats.log"));
    const std::shared_ptr<SampleList> list = rampList(1000, true);
    const QMap<qint64, char> beats{{3, 'N'}, {7, 'V'}, {15, 'A'}};
    const QMap<qint64, int> channels{{3, 0}, {7, 1}, {15, 0}};

    auto line = std::make_unique<SyncLine>();
    QVERIFY2(line->open("gpiochip0:17"), qPrintable(line->lastFailure()));
    QString reason;
    std::shared_ptr<BeatLog> log = BeatLog::open(files.path("beats.log"), &reason);
    QVERIFY2(log, qPrintable(reason));
    OutputSettings settings("/dev/spidev0.0", rate);
    settings.syncOn = syncOn;
    settings.syncWidthMs = widthMs;
    AppWorker::BeatFacts facts;
    {
        OutputThread output(settings, [&](AppWorker *worker) { worker->markFrames(std::move(line), log); });
        output.place(list, 0);
        output.play(true);
        QVERIFY(fakespidev::waitForTransfers(50, waitMs));
        QVERIFY(output.finish());
        facts = output.worker->progress().beats;
    }
    log.reset();

    const std::vector<fakespidev::Transfer> transfers = fakespidev::transfers();
    const QVector<quint16> codes = sentCodes();
    const std::vector<fakegpio::Edge> edges = fakegpio::edges();
    QFile logFile(files.path("beats.log"));
    QVERIFY(logFile.open(QIODevice::ReadOnly | QIODevice::Text));
    QStringList logLines = QString::fromUtf8(logFile.readAll()).split('\n', Qt::SkipEmptyParts);
    QVERIFY(logLines.takeFirst().startsWith('#'));

    std::size_t edge = 0;
    qint64 loops = 0;
    QVector<qint64> beatsAt; // loops times 20 plus the sample
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    for (std::size_t k = 0; k < transfers.size(); ++k) {
        const qint64 sample = codes[int(k)] - 1000;
        const std::int64_t next = k + 1 < transfers.size() ? transfers[k + 1].timeNs : INT64_MAX;
        const QString where = QString("frame %1, sample %2").arg(k).arg(sample);
        QVector<int> levels;
        std::vector<std::int64_t> times;
        for (; edge < edges.size() && edges[edge].timeNs < next; ++edge) {
            QVERIFY2(edges[edge].timeNs >= transfers[k].timeNs, qPrintable(where + ": edge before its frame"));
            QCOMPARE(edges[edge].line, 17u);
            levels.append(edges[edge].value);
            times.push_back(edges[edge].timeNs);
        }
        QCOMPARE(levels, (marked.contains(sample) ? QVector<int>{1, 0} : QVector<int>()));
        // Without a clock the pause after the frame is long enough for the whole width.
        if (rate == 0 && !levels.isEmpty())
            QVERIFY2(times[1] - transfers[k].timeNs >= std::int64_t(widthMs * 1e6), qPrintable(where));
        if (beats.contains(sample)) {
            QVERIFY2(!logLines.isEmpty(), qPrintable(where + ": no line in the log"));
            const QStringList fields = logLines.takeFirst().split(' ');
            QCOMPARE(fields.size(), 6);
            QCOMPARE(fields.mid(2), (QStringList{QString::number(loops), QString::number(sample), QString(beats[sample]),
                                                 QString::number(channels[sample])}));
            const std::int64_t monotonicNs = std::llround(fields[0].toDouble() * 1e6) * 1000;
            QVERIFY2(monotonicNs >= transfers[k].timeNs / 1000 * 1000 && monotonicNs < next, qPrintable(where));
            QVERIFY(std::abs(fields[1].toDouble() * 1000 - double(now)) < 60000);
            beatsAt.append(loops * 20 + sample);
        }
        if (sample == 19)
            ++loops;
    }
    QCOMPARE(edge, edges.size());
    QCOMPARE(logLines, QStringList());
    QCOMPARE(facts.count, qint64(beatsAt.size()));
    QCOMPARE(facts.last.sample, beatsAt.last() % 20);
    const int intervals = qMin(8, beatsAt.size() - 1);
    QCOMPARE(facts.meanRrSamples, double(beatsAt.last() - beatsAt[beatsAt.size() - 1 - intervals]) / intervals);
}

void tst_AppWorker::beatsBelongToTheirGeneration_data()
{
    QTest::addColumn<int>("heldFrame"); // in flight when the next list comes
    QTest::addColumn<qint64>("beatsBefore");

    // Beats at 3 and 7 sent: the next list's facts start empty, the last beat too.
    QTest::newRow("after two beats") << 10 << qint64(2);
    // The beat at 3 in flight: counted in neither list.
    QTest::newRow("a beat's frame in flight") << 3 << qint64(0);
}

// A new list starts its beat facts afresh: count, last beat and RR; a frame
// of the list before, in flight at the switch, is not one of its beats.
void tst_AppWorker::beatsBelongToTheirGeneration()
{
    QFETCH(int, heldFrame);
    QFETCH(qint64, beatsBefore);

    fakespidev::hangTransfers(std::size_t(heldFrame));
    OutputThread output;
    output.place(rampList(1000, true), 0);
    output.play(true);
    QVERIFY(QTest::qWaitFor([&] { return fakespidev::transferCount() == std::size_t(heldFrame) && threadWaitsOnLock(output.threadId()); }, waitMs));
    QCOMPARE(output.worker->progress().beats.count, beatsBefore);
    output.place(rampList(2000, false));
    fakespidev::hangTransfers(SIZE_MAX);
    QVERIFY(fakespidev::waitForTransfers(std::size_t(heldFrame) + 5, waitMs));
    output.play(false);

    const AppWorker::Progress progress = output.worker->progress();
    QCOMPARE(progress.generation, output.plan.generation);
    QCOMPARE(progress.beats.count, qint64(0));
    QCOMPARE(progress.beats.last.label, char(0));
    QCOMPARE(progress.beats.last.sample, qint64(0));
    QCOMPARE(progress.beats.meanRrSamples, 0.0);
    // The held frame is followed by the new list's next sample.
    QCOMPARE(sentCodes().at(heldFrame + 1), quint16(2000 + heldFrame + 1));
}

void tst_AppWorker::onlyRunAndPacingWakeTheLoop_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<bool>("wakes");

    QTest::newRow("the same plan") << "none" << false;
    // In force from the next frame.
    QTest::newRow("a position") << "position" << false;
    QTest::newRow("a full scale") << "full scale" << false;
    QTest::newRow("a list") << "list" << false;
    QTest::newRow("a switch-on") << "on" << true;
    QTest::newRow("a rate") << "rate" << true;
}

// A paused loop waits on its condition; a plan wakes it only when the run or
// the pacing changes, however often it comes.
void tst_AppWorker::onlyRunAndPacingWakeTheLoop()
{
    QFETCH(QString, change);
    QFETCH(bool, wakes);

    OutputThread output({"/dev/spidev0.0", 500});
    output.place(rampList(1000, false), 0);
    QVERIFY(QTest::qWaitFor([&] { return threadWaitsOnLock(output.threadId()); }, waitMs));
    const qint64 before = output.worker->wakes();
    for (int i = 0; i < 100; ++i) {
        if (change == "position")
            output.plan.position = i % 20;
        else if (change == "full scale")
            output.plan.fullScaleMv = 5 + i % 2;
        else if (change == "list")
            output.place(rampList(quint16(2000 + i), false));
        else if (change == "on")
            output.plan.playing = i % 2 == 0;
        else if (change == "rate")
            output.plan.rate = 500 + i % 2;
        output.publish();
    }
    if (wakes)
        QVERIFY(QTest::qWaitFor([&] { return output.worker->wakes() > before; }, waitMs));
    else
        QTest::qWait(50);
    QCOMPARE(output.worker->wakes() > before, wakes);
}

void tst_AppWorker::commandFloodKeepsThePace_data()
{
    QTest::addColumn<QString>("command");

    QTest::newRow("POS n") << "position";
    QTest::newRow("RATE with its own value") << "same rate";
    QTest::newRow("FSC") << "full scale";
    // Each one restarts the clock: a period after the last frame, never sooner.
    QTest::newRow("RATE 500;RATE 500.5") << "two rates";
}

// Commands as fast as a thread can publish them, for 400 ms at 500 frames/s:
// the output keeps at least a quarter of its pace (a busy machine's share;
// a loop that each command held back would send a few), and never sends a burst.
void tst_AppWorker::commandFloodKeepsThePace()
{
    QFETCH(QString, command);

    constexpr double rate = 500;
    OutputThread output({"/dev/spidev0.0", rate});
    output.place(rampList(1000, false), 0);
    output.play(true);
    QVERIFY(fakespidev::waitForTransfers(5, waitMs));
    std::atomic<bool> flooding{true};
    std::thread commander([&] {
        for (int i = 0; flooding; ++i) {
            if (command == "position")
                output.plan.position = i % 20;
            else if (command == "full scale")
                output.plan.fullScaleMv = 5 + i % 2;
            else if (command == "two rates")
                output.plan.rate = i % 2 ? rate + 0.5 : rate;
            output.publish();
        }
    });
    const std::size_t before = fakespidev::transferCount();
    QElapsedTimer flood;
    flood.start();
    QTest::qWait(400);
    const std::size_t frames = fakespidev::transferCount() - before;
    const double seconds = flood.nsecsElapsed() / 1e9;
    flooding = false;
    commander.join();
    output.play(false);

    QVERIFY2(double(frames) >= rate * seconds / 4, qPrintable(QString("%1 frames in %2 s").arg(frames).arg(seconds)));
    const QString burst = burstIn(fakespidev::transfers(), rate + 0.5);
    QVERIFY2(burst.isEmpty(), qPrintable(burst));
}
