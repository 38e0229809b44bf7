#include "player.h"
#include "records.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <memory>
#include <vector>

#include <sys/stat.h>

namespace {

// The simulator without a window, on the virtual DAC, with what it said.
class HeadlessRun
{
public:
    HeadlessRun(const QStringList &arguments, const QString &capture,
                const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment())
        : capture(capture)
    {
        QFile::remove(capture);
        startSimulator(process, arguments, environment, capture);
    }

    QString log()
    {
        said += QString::fromLocal8Bit(process.readAllStandardError());
        return said;
    }
    bool waitForFrames(int count)
    {
        return QTest::qWaitFor([&] { return capturedCodes(capture).size() >= count; }, waitMs);
    }
    bool waitForLog(const QString &line, int times = 1)
    {
        return QTest::qWaitFor([&] { return log().count(line + '\n') >= times; }, waitMs);
    }
    // Sends the signal while it runs.
    bool signal(int signalNumber)
    {
        return process.processId() > 0 && ::kill(pid_t(process.processId()), signalNumber) == 0;
    }
    // Sends the signal and waits for the end; the exit status, or -1 if it did not end normally.
    int end(int signalNumber)
    {
        if (!signal(signalNumber) || !process.waitForFinished(waitMs) || process.exitStatus() != QProcess::NormalExit)
            return -1;
        return process.exitCode();
    }

    ChildProcess process;
    const QString capture;

private:
    QString said;
};

QVector<quint16> cyclic(const QVector<quint16> &values, int count, int from = 0)
{
    QVector<quint16> result;
    for (int i = 0; i < count; ++i)
        result.append(values.at((from + i) % values.size()));
    return result;
}

} // namespace

class tst_Player : public QObject
{
    Q_OBJECT

private slots:
    void program_data();
    void program();
    void refusals_data();
    void refusals();
    void hangUpRereadsTheFile_data();
    void hangUpRereadsTheFile();
    void stopIsForcedWhenTheOutputHangs_data();
    void stopIsForcedWhenTheOutputHangs();
    void endsCleanlyUnderGnuTimeout();
    void onceEndsAfterItsPad_data();
    void onceEndsAfterItsPad();
    void playlistScoresEachRecordOnce();

private:
    SampleFiles files;
};

void tst_Player::refusals_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("exitStatus");
    QTest::addColumn<QStringList>("lines"); // %1 stands for the sample file's path

    // The reader's refusals are the worker's table; here, one of each status.
    const QStringList refused{"Erreur ouverture fichier: \"%1\"", "Fichier d'échantillons refusé: \"%1\""};
    QTest::newRow("missing") << "missing" << 3 << refused;
    QTest::newRow("no such signal") << "signal" << 3
                                    << QStringList{"Aucun signal « V9 » dans \"%1\" ; ses signaux : 1: MLII (mV, 360/s)"};
    QTest::newRow("not a single sample") << "blank" << 4 << QStringList{"Aucun échantillon dans \"%1\""};
    QTest::newRow("device missing") << "device" << 5 << QStringList{"Erreur initialisation DAC8551",
                       QString("DAC8551: ouverture de \"/nonexistent/spidev0.0\" impossible: \"%1\"")
                           .arg(QString::fromLocal8Bit(std::strerror(ENOENT)))};
    QTest::newRow("sync line held elsewhere") << "sync" << 2
        << QStringList{QString("Synchro GPIO: réservation de la ligne 5 de \"gpiochip0\" impossible: \"%1\"")
                           .arg(QString::fromLocal8Bit(std::strerror(EBUSY)))};
    QTest::newRow("beat log in no folder") << "beatlog" << 2
        << QStringList{"Journal des battements: écriture impossible dans \"/nonexistent/beats.log\": \"dossier absent\""};
    // Refused at once: opening it to write would wait for a reader.
    QTest::newRow("beat log a FIFO") << "fifo" << 2
        << QStringList{"Journal des battements: écriture impossible dans \"%1\": \"pas un fichier ordinaire (FIFO)\""};
    QTest::newRow("detection line held elsewhere") << "detect" << 2
        << QStringList{QString("Détection GPIO: réservation de la ligne 6 de \"gpiochip0\" impossible: \"%1\"")
                           .arg(QString::fromLocal8Bit(std::strerror(EBUSY)))};
    QTest::newRow("scoring a file without beats") << "nobeats" << 2
        << QStringList{"\"nobeats.csv\" n'a aucune annotation de battement : ni impulsions de battements, ni journal, ni score"};
}

// Each ends the run at once with its own status and says why.
void tst_Player::refusals()
{
    QFETCH(QString, kind);
    QFETCH(int, exitStatus);
    QFETCH(QStringList, lines);

    const QString path = files.path(kind + (kind == "signal" ? ".hea" : ".csv"));
    QStringList arguments{"--play", path};
    if (kind != "missing" && kind != "signal" && kind != "fifo")
        files.write(kind + ".csv", kind == "blank" ? "\n  \n" : "1\n");
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (kind == "signal") {
        arguments << "--signal" << "V9";
        files.write("signal.hea", "signal 1 360\nsignal.dat 212 200 11 1024 0 0 0 MLII\n");
        files.write("signal.dat", QByteArray(3, '\0'));
    } else if (kind == "device") {
        arguments << "--device" << "/nonexistent/spidev0.0";
    } else if (kind == "sync") {
        arguments << "--sync-gpio" << "gpiochip0:5";
        environment.insert("FAKEGPIO_BUSY_LINE", "5");
    } else if (kind == "detect") {
        arguments << "--detect-gpio" << "gpiochip0:6";
        environment.insert("FAKEGPIO_BUSY_LINE", "6");
    } else if (kind == "nobeats") {
        arguments << "--detect-gpio" << "gpiochip0:6";
    } else if (kind == "beatlog") {
        arguments << "--beat-log" << "/nonexistent/beats.log";
    } else if (kind == "fifo") {
        QCOMPARE(mkfifo(qPrintable(path), 0600), 0);
        arguments = QStringList{"--play", files.write("played.csv", "1\n"), "--beat-log", path};
    }

    HeadlessRun run(arguments, files.path("capture.csv"), environment);
    QVERIFY(run.process.waitForFinished(waitMs));
    QCOMPARE(run.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(run.process.exitCode(), exitStatus);
    const QStringList said = run.log().split('\n');
    for (const QString &line : lines)
        QVERIFY2(said.contains(line.arg(path)), qPrintable(run.log()));
    QCOMPARE(capturedCodes(files.path("capture.csv")), QVector<quint16>());
}

void tst_Player::hangUpRereadsTheFile_data()
{
    QTest::addColumn<QByteArray>("content"); // at the SIGHUP; empty: deleted
    QTest::addColumn<QVector<quint16>>("after");
    QTest::addColumn<int>("stopSignal");

    QTest::newRow("rewritten") << QByteArray("100\n200\n") << QVector<quint16>{100, 200} << SIGTERM;
    // A file in the middle of being rewritten, or gone: what plays goes on.
    QTest::newRow("emptied") << QByteArray("\n") << QVector<quint16>{1, 2, 3, 4, 5, 6} << SIGINT;
    QTest::newRow("deleted") << QByteArray() << QVector<quint16>{1, 2, 3, 4, 5, 6} << SIGTERM;
}

// From the first sample, cyclically. On SIGHUP the file is read again and the
// output goes on at the same position modulo its new length: no frame of the
// old list after it, no frame lost; a file that cannot be read keeps the old
// list playing, and says so. SIGINT or SIGTERM stops it after the frame in
// progress, the thread ends and the device closes, with status 0.
void tst_Player::hangUpRereadsTheFile()
{
    QFETCH(QByteArray, content);
    QFETCH(QVector<quint16>, after);
    QFETCH(int, stopSignal);

    const QString path = files.write("six.csv", "1\n2\n3\n4\n5\n6\n");
    HeadlessRun run({"--play", path}, files.path("capture.csv"));
    QVERIFY(run.waitForFrames(8));
    if (content.isEmpty())
        QVERIFY(QFile::remove(path));
    else
        files.write("six.csv", content);
    QVERIFY(run.signal(SIGHUP));
    const bool rereads = after.first() == 100;
    QVERIFY(run.waitForLog(rereads ? "Fichier chargé avec 2 valeurs."
                                   : "Relecture refusée, la sortie continue avec les valeurs précédentes"));
    const int reloadedAt = capturedCodes(run.capture).size();
    QVERIFY(run.waitForFrames(reloadedAt + 6));
    QCOMPARE(run.end(stopSignal), 0);
    const QStringList said = run.log().split('\n');
    for (const char *line : {"Worker terminé", "Thread terminé", "SpiDev destructor"})
        QVERIFY2(said.count(line) == 1, qPrintable(run.log()));

    const QVector<quint16> codes = capturedCodes(run.capture);
    int sentBefore = 0;
    while (sentBefore < codes.size() && codes.at(sentBefore) < 100 && (rereads || sentBefore < reloadedAt))
        ++sentBefore;
    QCOMPARE(codes.mid(0, sentBefore), cyclic({1, 2, 3, 4, 5, 6}, sentBefore));
    QCOMPARE(codes.mid(sentBefore), cyclic(after, codes.size() - sentBefore, sentBefore % 6 % after.size()));
}

void tst_Player::stopIsForcedWhenTheOutputHangs_data()
{
    QTest::addColumn<QString>("hang"); // the virtual DAC's setting that makes the device hang, or "read"
    QTest::addColumn<int>("stopSignal");
    QTest::addColumn<int>("stopSignals");
    QTest::addColumn<QString>("reason");

    const QString late = "la sortie ne s'est pas arrêtée en 5 s";
    QTest::newRow("open, a second Ctrl-C") << "VIRTUALDAC_HOLD_OPEN=1" << SIGINT << 2 << "second signal d'arrêt";
    QTest::newRow("open, 5 s after the first") << "VIRTUALDAC_HOLD_OPEN=1" << SIGTERM << 1 << late;
    QTest::newRow("transfer, a second Ctrl-C") << "VIRTUALDAC_HANG_AFTER=3" << SIGINT << 2 << "second signal d'arrêt";
    // Further SIGTERMs change nothing: the bound of the first still ends it.
    QTest::newRow("transfer, SIGTERMs: 5 s after the first") << "VIRTUALDAC_HANG_AFTER=3" << SIGTERM << 2 << late;
    QTest::newRow("a file's read, 5 s after the first") << "read" << SIGTERM << 1
                                                        << "la lecture du fichier ne s'est pas arrêtée en 5 s";
}

// A device stuck in a call holds the output thread for ever, a slow disk the
// loading thread: the program ends all the same, with a status of its own,
// and says why.
void tst_Player::stopIsForcedWhenTheOutputHangs()
{
    QFETCH(QString, hang);
    QFETCH(int, stopSignal);
    QFETCH(int, stopSignals);
    QFETCH(QString, reason);

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    QString played = files.write("one.csv", "1\n");
    if (hang == "read") {
        // The annotations are opened after the samples' last cancel check;
        // the virtual DAC holds that open, their file being its node.
        files.write("rec.dat", wfdbSamples(16, {0}));
        played = files.write("rec.hea", "rec 1 360\nrec.dat 16 200\n");
        environment.insert("FAKESPIDEV_PATH", files.write("rec.atr", QByteArray()));
        environment.insert("VIRTUALDAC_HOLD_OPEN", "1");
    } else {
        environment.insert(hang.section('=', 0, 0), hang.section('=', 1));
    }
    HeadlessRun run({"--play", played}, files.path("capture.csv"), environment);
    // Said by the output thread, which the program starts once its signals
    // are caught; or by the loading thread before the annotations.
    QVERIFY(run.waitForLog(hang == "read" ? "Fichier chargé avec 1 valeur." : "Cadence: pause de 2 ms après chaque trame"));
    if (hang.contains("HANG_AFTER"))
        QVERIFY(run.waitForLog("virtualdac: transfer 3 hangs (VIRTUALDAC_HANG_AFTER)"));
    QVERIFY(run.signal(stopSignal));
    // Again until it ends: two signals sent at once may arrive as one.
    for (int tries = 0; stopSignals > 1 && tries < 40 && run.signal(stopSignal); ++tries)
        run.process.waitForFinished(100);
    QVERIFY(run.process.state() == QProcess::NotRunning || run.process.waitForFinished(5000 + waitMs));
    QCOMPARE(run.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(run.process.exitCode(), int(stopForced));
    QVERIFY2(run.log().split('\n').contains("Arrêt forcé: " + reason), qPrintable(run.log()));
}

// GNU timeout passes a SIGTERM it gets (as at its time limit) to the program,
// then to its process group: the program sees it twice within a millisecond,
// and must stop as at one. Each is signalled once its output runs, however
// slow the machine.
void tst_Player::endsCleanlyUnderGnuTimeout()
{
    const QString path = files.write("one.csv", "1\n2\n");
    std::vector<std::unique_ptr<ChildProcess>> runs;
    for (int run = 0; run < 10; ++run) {
        runs.push_back(std::make_unique<ChildProcess>());
        startSimulator(*runs.back(), {"--play", path}, QProcessEnvironment::systemEnvironment(),
                       files.path(QString("capture-%1.csv").arg(run)), {"timeout", "--preserve-status", "600"});
    }
    for (const auto &run : runs) {
        QByteArray said;
        QVERIFY(QTest::qWaitFor([&] { return (said += run->readAllStandardError()).contains("Cadence"); }, waitMs));
        QCOMPARE(::kill(pid_t(run->processId()), SIGTERM), 0);
    }
    for (const auto &run : runs) {
        QVERIFY(run->state() == QProcess::NotRunning || run->waitForFinished(waitMs));
        QCOMPARE(run->exitStatus(), QProcess::NormalExit);
        QVERIFY2(run->exitCode() == 0, run->readAllStandardError().constData());
    }
}

void tst_Player::onceEndsAfterItsPad_data()
{
    QTest::addColumn<QStringList>("pacing");
    QTest::addColumn<QVector<quint16>>("codes");

    QTest::newRow("classic pacing, no pad") << QStringList{"--pad", "0"} << QVector<quint16>{1, 2, 3};
    QTest::newRow("1000/s, 5 ms of pad") << QStringList{"--rate", "1000", "--pad", "0.005"}
                                         << QVector<quint16>{1, 2, 3, 3, 3, 3, 3, 3};
}

// The file once, then its last value for the pad, then the end, status 0.
void tst_Player::onceEndsAfterItsPad()
{
    QFETCH(QStringList, pacing);
    QFETCH(QVector<quint16>, codes);

    HeadlessRun run(QStringList{"--play", files.write("three.csv", "1\n2\n3\n"), "--once"} + pacing,
                    files.path("capture.csv"));
    QVERIFY(run.process.waitForFinished(waitMs));
    QCOMPARE(run.process.exitCode(), 0);
    QCOMPARE(capturedCodes(run.capture), codes);
}

// Each record of the list once, its monitor's detections (the sync line
// echoed) written and scored, then a summary; started again, only a record
// without its report plays, and the summary is the same.
void tst_Player::playlistScoresEachRecordOnce()
{
    const QStringList names{"rec1", "rec2", "rec3"};
    for (const QString &name : names)
        writeBeatRecord(files, name, 1000, 1000, {100, 450, 800});
    const QString list = files.write("list.txt", "rec1.hea\n# skipped\nrec2.hea\n\nrec3.hea\n");
    const QString folder = QFileInfo(list).path();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("VIRTUALDAC_MONITOR", "sync");
    environment.insert("VIRTUALDAC_MONITOR_LINE", "6");
    const QStringList arguments{"--playlist", list, "--rate", "1000", "--pad", "0.2", "--score-from", "0",
                                "--sync-gpio", "gpiochip0:5", "--detect-gpio", "gpiochip0:6", "--detect-output", folder};
    const auto summary = [&] {
        QFile file(folder + "/sumstats-det.txt");
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    };
    {
        HeadlessRun run(arguments, files.path("capture.csv"), environment);
        QVERIFY(run.process.waitForFinished(4 * waitMs));
        QVERIFY2(run.process.exitCode() == 0, qPrintable(run.log()));
    }
    const QString first = summary();
    for (const QString &name : names) {
        QVERIFY2(QFile::exists(folder + '/' + name + ".det.times"), qPrintable(name));
        QVERIFY2(first.contains(QRegularExpression("^" + name + " +3( +0){10} +100\\.00 +100\\.00 ",
                                                   QRegularExpression::MultilineOption)),
                 qPrintable(first));
    }
    QVERIFY(QFile::remove(folder + "/rec2.det.report"));
    QFile::remove(folder + "/sumstats-det.txt");
    HeadlessRun again(arguments, files.path("capture.csv"), environment);
    QVERIFY(again.process.waitForFinished(4 * waitMs));
    QCOMPARE(again.process.exitCode(), 0);
    QCOMPARE(again.log().count("déjà joué"), 2);
    QCOMPARE(summary(), first);
}

void tst_Player::program_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("userSettings");
    QTest::addColumn<int>("exitStatus");
    QTest::addColumn<QString>("output"); // what standard output or error begins with; %CONFIG: XDG_CONFIG_HOME

    QTest::newRow("version") << QStringList{"--version"} << QByteArray() << 0 << "ecg-simulator " ECG_VERSION "\n";
    QTest::newRow("refused setting") << QStringList() << QByteArray("rate=x\n") << 2
                                     << "ecg-simulator: %CONFIG/ecg-simulator/ecg-simulator.conf, clé rate : « x »";
}

// The program as the operator starts it, with no display: it answers and
// refuses before it opens a window, so this needs none.
void tst_Player::program()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, userSettings);
    QFETCH(int, exitStatus);
    QFETCH(QString, output);

    const QString configHome = files.path("config-" + QString(QTest::currentDataTag()));
    if (!userSettings.isEmpty()) {
        QVERIFY(QDir().mkpath(configHome + "/ecg-simulator"));
        files.write(QString("config-%1/ecg-simulator/ecg-simulator.conf").arg(QTest::currentDataTag()), userSettings);
    }
    ChildProcess program;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_CONFIG_HOME", configHome);
    startSimulator(program, arguments, environment);
    QVERIFY(program.waitForFinished(waitMs));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), exitStatus);
    const QString printed = QString::fromLocal8Bit(exitStatus == 0 ? program.readAllStandardOutput()
                                                                   : program.readAllStandardError());
    QVERIFY2(printed.startsWith(output.replace("%CONFIG", configHome)), qPrintable(printed));
    // A refusal is one line.
    if (exitStatus != 0)
        QCOMPARE(printed.count('\n'), 1);
}

QTEST_MAIN(tst_Player)
#include "tst_player.moc"
