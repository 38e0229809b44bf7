#include "appworker.h"
#include "dacframe.h"
#include "fakespidev.h"
#include "logcapture.h"
#include "outputthread.h"
#include "samplefiles.h"
#include "sentframes.h"

#include <QSignalSpy>
#include <QTest>
#include <QThread>

#include <QDir>
#include <QFile>
#include <QRandomGenerator>

#include <atomic>
#include <cerrno>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int waitMs = 5000;
const QString noDataWarning = QStringLiteral("Aucune donnée chargée, attente...");

QVector<quint16> dacCodes(const QVector<qint32> &samples)
{
    QVector<quint16> codes;
    for (qint32 sample : samples)
        codes.append(quint16(sample));
    return codes;
}

// Pauses at a read position of at least minPosition in a list of listSize entries.
std::size_t pauseAtPosition(AppWorker *worker, int minPosition, int listSize)
{
    for (int attempt = 0; attempt < 50; ++attempt) {
        fakespidev::waitForTransfers(fakespidev::transferCount() + 1, waitMs);
        worker->pause();
        const std::size_t sent = fakespidev::transferCount();
        if (int(sent % listSize) >= minPosition)
            return sent;
        worker->resume();
    }
    return 0;
}

} // namespace

class tst_AppWorker : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void onlyTwoSignals();
    void frames_data();
    void frames();
    void loadedFileIsStreamedCyclically_data();
    void loadedFileIsStreamedCyclically();
    void unreadableFileEmptiesList();
    void hostileFiles_data();
    void hostileFiles();
    void unopenableSources_data();
    void unopenableSources();
    void transferFaultsKeepTheStream_data();
    void transferFaultsKeepTheStream();
    void noFrameAfterPauseReturns();
    void commandWaitsForOnePassAtMost_data();
    void commandWaitsForOnePassAtMost();
    void stopWhilePausedSendsOneMoreFrame();
    void stopWhileStreamingSendsNoMoreFrames();
    void readPositionSurvivesReload();
    void shorterReloadStaysInsideList();
    void emptyListWaitsForData();
    void deviceFailureLeavesControlsWorking_data();
    void deviceFailureLeavesControlsWorking();
    void driverReportingOtherSettingsStillStreams();
    void destructorLogsAndClosesDevice();

private:
    SampleFiles files;
};

void tst_AppWorker::init()
{
    fakespidev::reset();
}

void tst_AppWorker::onlyTwoSignals()
{
    // The commands are plain calls, so nothing can be queued to the busy output thread.
    const QMetaObject &meta = AppWorker::staticMetaObject;
    QCOMPARE(QByteArray(meta.className()), QByteArray("AppWorker"));
    QCOMPARE(meta.methodCount() - meta.methodOffset(), 2);
    QCOMPARE(meta.method(meta.methodOffset()).methodSignature(), QByteArray("finished()"));
    QCOMPARE(meta.method(meta.methodOffset() + 1).methodSignature(), QByteArray("resultReady(QString)"));
    QCOMPARE(meta.method(meta.methodOffset() + 1).parameterNames(), QList<QByteArray>{"result"});
}

void tst_AppWorker::frames_data()
{
    QTest::addColumn<qint32>("sample");
    QTest::addColumn<QByteArray>("bytes");

    QTest::newRow("500") << 500 << QByteArray::fromHex("0001f4");
    QTest::newRow("0") << 0 << QByteArray::fromHex("000000");
    QTest::newRow("-1, an invalid line") << -1 << QByteArray::fromHex("00ffff");
    QTest::newRow("-2") << -2 << QByteArray::fromHex("00fffe");
    QTest::newRow("65535") << 65535 << QByteArray::fromHex("00ffff");
    QTest::newRow("65536 wraps") << 65536 << QByteArray::fromHex("000000");
    QTest::newRow("32767") << 32767 << QByteArray::fromHex("007fff");
    QTest::newRow("-32768") << -32768 << QByteArray::fromHex("008000");
    QTest::newRow("int max") << 2147483647 << QByteArray::fromHex("00ffff");
    QTest::newRow("int min") << qint32(-2147483647 - 1) << QByteArray::fromHex("000000");
    QTest::newRow("0x12345") << 0x12345 << QByteArray::fromHex("002345");
}

void tst_AppWorker::frames()
{
    QFETCH(qint32, sample);
    QFETCH(QByteArray, bytes);

    const DacFrame frame = dacFrame(sample);
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(frame.data()), int(frame.size())), bytes);
}

void tst_AppWorker::loadedFileIsStreamedCyclically_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QVector<qint32>>("samples");
    QTest::addColumn<QStringList>("warnings");

    QTest::newRow("mixed lines") << QByteArray("12\n\n  34  \nabc\n5.5\n") << QVector<qint32>{12, 34, -1, -1}
                                 << QStringList{"Ligne invalide ( 4 ): \"abc\"", "Ligne invalide ( 5 ): \"5.5\""};
    QTest::newRow("CR LF") << QByteArray("12\r\n\r\n  34  \r\nabc\r\n5.5\r\n") << QVector<qint32>{12, 34, -1, -1}
                           << QStringList{"Ligne invalide ( 4 ): \"abc\"", "Ligne invalide ( 5 ): \"5.5\""};
    QTest::newRow("last line without line end") << QByteArray("1\n2") << QVector<qint32>{1, 2} << QStringList();
    QTest::newRow("blank and white-space lines")
        << QByteArray("\n \t \n7\n\n") << QVector<qint32>{7} << QStringList();
    QTest::newRow("sign and leading zeros") << QByteArray("+5\n007\n-0\n-12\n") << QVector<qint32>{5, 7, 0, -12}
                                            << QStringList();
    QTest::newRow("32-bit limits")
        << QByteArray("2147483647\n-2147483648\n2147483648\n-2147483649\n")
        << QVector<qint32>{2147483647, qint32(-2147483647 - 1), -1, -1}
        << QStringList{"Ligne invalide ( 3 ): \"2147483648\"", "Ligne invalide ( 4 ): \"-2147483649\""};
    QTest::newRow("second column and hex") << QByteArray("1,2\n0x10\n1 2\n") << QVector<qint32>{-1, -1, -1}
                                           << QStringList{"Ligne invalide ( 1 ): \"1,2\"",
                                                          "Ligne invalide ( 2 ): \"0x10\"",
                                                          "Ligne invalide ( 3 ): \"1 2\""};
    QTest::newRow("one entry repeats") << QByteArray("42\n") << QVector<qint32>{42} << QStringList();
    QTest::newRow("quote is escaped") << QByteArray("a\"b\n") << QVector<qint32>{-1}
                                      << QStringList{"Ligne invalide ( 1 ): \"a\\\"b\""};
}

void tst_AppWorker::loadedFileIsStreamedCyclically()
{
    QFETCH(QByteArray, content);
    QFETCH(QVector<qint32>, samples);
    QFETCH(QStringList, warnings);

    LogCapture log;
    OutputThread output;
    output.worker->loadFile(files.write("samples.csv", content));

    QStringList loaderLines = warnings;
    loaderLines << QString("Fichier chargé avec %1 valeurs.").arg(samples.size());
    QCOMPARE(log.texts(), loaderLines);
    for (const LogCapture::Line &line : log.lines())
        QCOMPARE(line.type, line.text.startsWith("Fichier") ? QtDebugMsg : QtWarningMsg);

    output.worker->resume();
    const int frames = 2 * samples.size() + 1;
    QVERIFY(fakespidev::waitForTransfers(frames, waitMs));
    output.worker->pause();

    const QVector<quint16> expected = dacCodes(samples);
    const QVector<quint16> sent = sentCodes();
    for (int i = 0; i < frames; ++i)
        QCOMPARE(sent.at(i), expected.at(i % expected.size()));
    for (const fakespidev::Transfer &transfer : fakespidev::transfers()) {
        QCOMPARE(transfer.tx.size(), std::size_t(3));
        QCOMPARE(transfer.tx.at(0), std::uint8_t(0));
    }
}

void tst_AppWorker::unreadableFileEmptiesList()
{
    LogCapture log;
    OutputThread output;
    output.worker->loadFile(files.write("good.csv", "1\n2\n"));
    const QString missing = files.path("missing.csv");
    output.worker->loadFile(missing);
    QCOMPARE(log.texts().last(), QString("Erreur ouverture fichier: \"%1\"").arg(missing));

    output.worker->resume();
    QVERIFY(log.waitFor(noDataWarning));
    output.worker->pause();
    QCOMPARE(fakespidev::transferCount(), std::size_t(0));
}

void tst_AppWorker::hostileFiles_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("count"); // -1: any
    QTest::addColumn<QVector<qint32>>("firstSamples");
    QTest::addColumn<int>("warnings"); // -1: any

    QTest::newRow("UTF-8 byte-order mark") << QByteArray("\xEF\xBB\xBF" "12\n34\n") << 2 << QVector<qint32>{12, 34} << 0;
    QTest::newRow("NUL bytes") << QByteArray("1\n\0\n2\0 3\n4", 10) << 4 << QVector<qint32>{1, -1, -1, 4} << 2;
    QTest::newRow("tabs") << QByteArray("\t12\t\n\t \t\n-3\t\n") << 2 << QVector<qint32>{12, -3} << 0;

    QByteArray binary(64 * 1024, Qt::Uninitialized);
    QRandomGenerator random(208);
    for (char &byte : binary)
        byte = char(random.bounded(256));
    QTest::newRow("random binary") << binary << -1 << QVector<qint32>{} << -1;

    QTest::newRow("50 MB single line") << QByteArray(50 * 1024 * 1024, '7') << 1 << QVector<qint32>{-1} << 1;

    QByteArray million;
    for (int i = 0; i < 1000000; ++i)
        million += QByteArray::number(i % 4096) + '\n';
    QTest::newRow("1,000,000 lines") << million << 1000000 << QVector<qint32>{0, 1, 2, 3} << 0;
}

void tst_AppWorker::hostileFiles()
{
    QFETCH(QByteArray, content);
    QFETCH(int, count);
    QFETCH(QVector<qint32>, firstSamples);
    QFETCH(int, warnings);

    LogCapture log(LogCapture::Keep);
    OutputThread output;
    output.worker->loadFile(files.write("hostile.csv", content));

    const QStringList lines = log.texts();
    QVERIFY(!lines.isEmpty());
    const QString countLine = lines.last();
    QVERIFY(countLine.startsWith("Fichier chargé avec "));
    if (count >= 0)
        QCOMPARE(countLine, QString("Fichier chargé avec %1 valeurs.").arg(count));
    for (int i = 0; i < lines.size() - 1; ++i)
        QVERIFY(lines[i].startsWith("Ligne invalide ( "));
    if (warnings >= 0)
        QCOMPARE(lines.size() - 1, warnings);

    if (firstSamples.isEmpty())
        return;
    output.worker->resume();
    QVERIFY(fakespidev::waitForTransfers(firstSamples.size(), waitMs));
    output.worker->pause();
    QCOMPARE(sentCodes().mid(0, firstSamples.size()), dacCodes(firstSamples));
}

void tst_AppWorker::unopenableSources_data()
{
    QTest::addColumn<QString>("kind");

    QTest::newRow("deleted") << "deleted";
    QTest::newRow("directory") << "directory";
    QTest::newRow("FIFO") << "fifo";
    QTest::newRow("endless device") << "device";
}

void tst_AppWorker::unopenableSources()
{
    QFETCH(QString, kind);

    // A FIFO or a device would block or never end: the loader refuses them as
    // files it cannot open, and the loop waits for data.
    QString path = files.write(kind + ".csv", "1\n2\n");
    QVERIFY(QFile::remove(path));
    if (kind == "directory")
        QVERIFY(QDir().mkdir(path));
    else if (kind == "fifo")
        QCOMPARE(mkfifo(qPrintable(path), 0600), 0);
    else if (kind == "device")
        path = "/dev/zero";

    LogCapture log;
    OutputThread output;
    output.worker->loadFile(path);
    QCOMPARE(log.texts(), QStringList{QString("Erreur ouverture fichier: \"%1\"").arg(path)});
    output.worker->resume();
    QVERIFY(log.waitFor(noDataWarning));
    output.worker->pause();
    QCOMPARE(fakespidev::transferCount(), std::size_t(0));
}

void tst_AppWorker::transferFaultsKeepTheStream_data()
{
    QTest::addColumn<int>("result");
    QTest::addColumn<int>("error");

    QTest::newRow("failing transfers") << -1 << EIO;
    QTest::newRow("short counts") << 1 << 0;
}

void tst_AppWorker::transferFaultsKeepTheStream()
{
    QFETCH(int, result);
    QFETCH(int, error);

    // From the fourth frame on the device misbehaves; the loop goes on in order.
    fakespidev::setTransferFault(3, result, error);
    OutputThread output;
    output.worker->loadFile(files.write("ramp.csv", "1\n2\n3\n4\n5\n"));
    output.worker->resume();
    QVERIFY(fakespidev::waitForTransfers(13, waitMs));
    output.worker->pause();

    const QVector<quint16> sent = sentCodes();
    for (int i = 0; i < 13; ++i)
        QCOMPARE(sent.at(i), quint16(1 + i % 5));
    QCOMPARE(fakespidev::transfers().at(12).result, result);
}

void tst_AppWorker::noFrameAfterPauseReturns()
{
    OutputThread output;
    output.worker->loadFile(files.write("ramp.csv", "1\n2\n3\n4\n5\n"));
    output.worker->resume();
    QVERIFY(fakespidev::waitForTransfers(5, waitMs));
    output.worker->pause();
    const std::size_t sent = fakespidev::transferCount();
    QTest::qWait(50);
    QCOMPARE(fakespidev::transferCount(), sent);
}

void tst_AppWorker::commandWaitsForOnePassAtMost_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("stopping");
    QTest::addColumn<int>("rounds");

    QTest::newRow("pause while streaming") << QByteArray("1\n2\n3\n4\n5\n") << false << 20;
    QTest::newRow("pause while waiting for data") << QByteArray() << false << 5;
    QTest::newRow("stop while waiting for data") << QByteArray() << true << 1;
}

// Once a command waits for the mutex, the pass in progress ends and no other
// starts before the command's turn. Counted from when both threads sleep: the
// loop has then logged its warning or sent its frame, or waits for its turn.
void tst_AppWorker::commandWaitsForOnePassAtMost()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, stopping);
    QFETCH(int, rounds);

    LogCapture log(LogCapture::Keep);
    OutputThread output;
    if (!content.isEmpty())
        output.worker->loadFile(files.write("ramp.csv", content));
    const auto progress = [&] { return int(fakespidev::transferCount()) + log.count(noDataWarning); };
    for (int round = 0; round < rounds; ++round) {
        output.worker->resume();
        const int resumedAt = progress();
        QVERIFY(QTest::qWaitFor([&] { return progress() > resumedAt; }, waitMs));

        std::atomic<int> commander{0};
        std::atomic<bool> returned{false};
        std::thread call([&] {
            commander = gettid();
            stopping ? output.worker->stop() : output.worker->pause();
            returned = true;
        });
        const bool bothSleep = QTest::qWaitFor(
            [&] { return returned || (threadSleeps(commander) && threadSleeps(output.threadId())); }, waitMs);
        const int waitingAt = progress();
        call.join();
        QVERIFY(bothSleep);
        QVERIFY2(progress() - waitingAt <= (content.isEmpty() ? 0 : 1),
                 qPrintable(QString("round %1: %2 more passes").arg(round).arg(progress() - waitingAt)));
    }
}

void tst_AppWorker::stopWhilePausedSendsOneMoreFrame()
{
    OutputThread output;
    output.worker->loadFile(files.write("ramp.csv", "1\n2\n3\n"));
    output.worker->resume();
    QVERIFY(fakespidev::waitForTransfers(2, waitMs));
    output.worker->pause();
    const std::size_t sent = fakespidev::transferCount();
    QVERIFY(QTest::qWaitFor([&] { return threadSleeps(output.threadId()); }, waitMs));

    QVERIFY(output.finish());
    QCOMPARE(fakespidev::transferCount(), sent + 1);
    QCOMPARE(output.finishedSpy.count(), 1);
}

void tst_AppWorker::stopWhileStreamingSendsNoMoreFrames()
{
    OutputThread output;
    output.worker->loadFile(files.write("ramp.csv", "1\n2\n3\n"));
    output.worker->resume();
    QVERIFY(fakespidev::waitForTransfers(2, waitMs));
    output.worker->stop();
    const std::size_t sent = fakespidev::transferCount();

    QVERIFY(output.finish());
    QCOMPARE(fakespidev::transferCount(), sent);
    QCOMPARE(output.finishedSpy.count(), 1);
}

void tst_AppWorker::readPositionSurvivesReload()
{
    const QVector<qint32> samples{10, 20, 30, 40, 50};
    const QString path = files.write("five.csv", "10\n20\n30\n40\n50\n");
    OutputThread output;
    output.worker->loadFile(path);
    output.worker->resume();
    const std::size_t sent = pauseAtPosition(output.worker, 1, samples.size());
    QVERIFY(sent > 0);

    output.worker->loadFile(path);
    output.worker->resume();
    QVERIFY(fakespidev::waitForTransfers(sent + 1, waitMs));
    output.worker->pause();
    QCOMPARE(sentCodes(sent).first(), quint16(samples.at(int(sent % samples.size()))));
}

void tst_AppWorker::shorterReloadStaysInsideList()
{
    const QVector<qint32> shorter{1000, 2000, 3000};
    OutputThread output;
    output.worker->loadFile(files.write("ten.csv", "0\n1\n2\n3\n4\n5\n6\n7\n8\n9\n"));
    output.worker->resume();
    const std::size_t sent = pauseAtPosition(output.worker, shorter.size(), 10);
    QVERIFY(sent > 0);

    output.worker->loadFile(files.write("three.csv", "1000\n2000\n3000\n"));
    output.worker->resume();
    QVERIFY(fakespidev::waitForTransfers(sent + 4, waitMs));
    output.worker->pause();

    const int position = int(sent % 10) % shorter.size();
    const QVector<quint16> after = sentCodes(sent);
    for (int i = 0; i < 4; ++i)
        QCOMPARE(after.at(i), quint16(shorter.at((position + i) % shorter.size())));
}

void tst_AppWorker::emptyListWaitsForData()
{
    LogCapture log;
    OutputThread output;
    output.worker->resume();
    QVERIFY(log.waitFor(noDataWarning));
    output.worker->pause();
    const int warnings = log.count(noDataWarning);
    QVERIFY(QTest::qWaitFor([&] { return threadSleeps(output.threadId()); }, waitMs));

    // Stopping while paused lets one more pass run: one more warning, no frame.
    QVERIFY(output.finish());
    QCOMPARE(log.count(noDataWarning), warnings + 1);
    QCOMPARE(output.finishedSpy.count(), 1);
    QCOMPARE(fakespidev::transferCount(), std::size_t(0));
}

void tst_AppWorker::deviceFailureLeavesControlsWorking_data()
{
    QTest::addColumn<int>("openError");
    QTest::addColumn<unsigned long>("refusedRequest");

    QTest::newRow("node missing") << ENOENT << 0ul;
    QTest::newRow("permission denied") << EACCES << 0ul;
    QTest::newRow("mode refused") << 0 << (unsigned long)SPI_IOC_WR_MODE;
    QTest::newRow("mode read-back refused") << 0 << (unsigned long)SPI_IOC_RD_MODE;
    QTest::newRow("word size refused") << 0 << (unsigned long)SPI_IOC_WR_BITS_PER_WORD;
    QTest::newRow("word size read-back refused") << 0 << (unsigned long)SPI_IOC_RD_BITS_PER_WORD;
    QTest::newRow("clock rate refused") << 0 << (unsigned long)SPI_IOC_WR_MAX_SPEED_HZ;
    QTest::newRow("clock rate read-back refused") << 0 << (unsigned long)SPI_IOC_RD_MAX_SPEED_HZ;
}

void tst_AppWorker::deviceFailureLeavesControlsWorking()
{
    QFETCH(int, openError);
    QFETCH(unsigned long, refusedRequest);

    LogCapture log;
    fakespidev::setOpenError(openError);
    fakespidev::failRequest(refusedRequest, EINVAL);
    OutputThread output;
    QVERIFY(log.waitFor("Erreur initialisation DAC8551"));

    output.worker->loadFile(files.write("one.csv", "1\n"));
    output.worker->resume();
    output.worker->pause();
    output.worker->resume();
    QVERIFY(output.finish());
    QCOMPARE(log.count("Erreur initialisation DAC8551"), 1);
    QCOMPARE(output.finishedSpy.count(), 0);
    QCOMPARE(fakespidev::transferCount(), std::size_t(0));
    // Not tried again, and a descriptor that was opened is closed.
    QCOMPARE(fakespidev::openCount(), openError ? 0 : 1);
    QCOMPARE(fakespidev::openDescriptors(), 0);
}

void tst_AppWorker::driverReportingOtherSettingsStillStreams()
{
    // A driver may round the clock rate; the worker takes what it reports.
    fakespidev::overrideReadBack(SPI_IOC_RD_MAX_SPEED_HZ, 97656);
    OutputThread output;
    output.worker->loadFile(files.write("two.csv", "5\n6\n"));
    output.worker->resume();
    QVERIFY(fakespidev::waitForTransfers(4, waitMs));
    output.worker->pause();
    QCOMPARE(sentCodes().mid(0, 4), (QVector<quint16>{5, 6, 5, 6}));
}

void tst_AppWorker::destructorLogsAndClosesDevice()
{
    LogCapture log;
    {
        OutputThread output;
        QTRY_COMPARE_WITH_TIMEOUT(int(fakespidev::requests().size()), 6, waitMs);
        QVERIFY(output.finish());
        log.clear();
    }
    QCOMPARE(log.texts(), (QStringList{"AppWorker destructor", "SpiDev destructor"}));
    QCOMPARE(fakespidev::closeCount(), 1);
    QCOMPARE(fakespidev::openDescriptors(), 0);
}

QTEST_MAIN(tst_AppWorker)
#include "tst_appworker.moc"
