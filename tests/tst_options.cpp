#include "options.h"
#include "remotefiles.h"
#include "testsupport.h"

#include <QTest>

namespace {
const QString rateAccepted = QStringLiteral(
    "un nombre d'échantillons par seconde de 0.001 à 2000 (par exemple 360 ou 359.5)");
}

class tst_Options : public QObject
{
    Q_OBJECT

private slots:
    void readCommandLine_data();
    void readCommandLine();
    void recordOptions_data();
    void recordOptions();
    void listen_data();
    void listen();
    void syncOptions_data();
    void syncOptions();
    void remoteFiles_data();
    void remoteFiles();

private:
    SampleFiles files;
};

void tst_Options::readCommandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("user");   // settings files' contents; empty: no file
    QTest::addColumn<QByteArray>("system");
    QTest::addColumn<int>("exitStatus");
    QTest::addColumn<QString>("text");      // %USER and %SYSTEM stand for the files' paths
    QTest::addColumn<double>("rate");
    QTest::addColumn<QString>("device");

    const auto accepted = [](const char *name, const QStringList &arguments, const QByteArray &user,
                             const QByteArray &system, double rate, const QString &device = "/dev/spidev0.0") {
        QTest::newRow(name) << arguments << user << system << -1 << QString() << rate << device;
    };
    const auto refused = [](const char *name, const QStringList &arguments, const QByteArray &user,
                            const QByteArray &system, const QString &text) {
        QTest::newRow(name) << arguments << user << system << 2 << "ecg-simulator: " + text << 0.0 << QString();
    };
    accepted("options", {"--rate", "359.5", "--device=/dev/spidev0.1"}, {}, {}, 359.5, "/dev/spidev0.1");
    accepted("Qt's own options pass", {"-platform", "offscreen", "-reverse", "--rate=360"}, {}, {}, 360);
    accepted("command line over user over system", {"--rate", "250"}, "rate=360\ndevice=/dev/spidev0.1\n",
             "rate=500\ndevice=/dev/spidev1.0\n", 250, "/dev/spidev0.1");
    accepted("highest rate accepted", {"--rate=2000"}, {}, {}, 2000);
    accepted("lowest rate accepted", {"--rate=0.001"}, {}, {}, 0.001);
    accepted("system where the others are silent", {}, "[other]\nrate=1\n", "rate=1000\n", 1000);
    for (const char *rate : {"abc", "0", "0.00099", "-360", "2000.001", "inf", "nan", "360,5", ""})
        refused(qPrintable(QString("rate '%1' refused").arg(rate)), {QString("--rate=%1").arg(rate)}, {}, {},
                QString("--rate : « %1 » refusé ; attendu : %2").arg(rate, rateAccepted));
    // A bad value in a file is refused whoever would override it elsewhere.
    refused("bad rate in the user's file", {}, "rate=fast\n", "rate=360\n",
            "%USER, clé rate : « fast » refusé ; attendu : " + rateAccepted);
    refused("bad rate in the system's file, overridden", {"--rate", "360"}, "rate=250\n", "rate=0\n",
            "%SYSTEM, clé rate : « 0 » refusé ; attendu : " + rateAccepted);
    refused("empty device", {"--device="}, {}, {},
            "--device : valeur vide refusée ; attendu : le chemin d'un périphérique spidev (par exemple /dev/spidev0.1)");
    refused("missing value", {"--rate"}, {}, {}, "--rate attend une valeur : " + rateAccepted);
    // Errors of other options are the parser's own.
    refused("value to a flag", {"--version=1"}, {}, {}, "Unexpected value after '--version'. (voir --help)");
    refused("Qt's option without its value", {"-style"}, {}, {}, "Missing value after '-style'. (voir --help)");
    refused("unknown option", {"--rat", "360"}, {}, {}, "option inconnue : rat (voir --help)");
    refused("argument", {"record.csv"}, {}, {}, "argument inattendu : record.csv (voir --help)");
    refused("unreadable file", {}, "[rate\n=\n", {}, "%USER : fichier de réglages illisible");
}

void tst_Options::readCommandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, user);
    QFETCH(QByteArray, system);
    QFETCH(int, exitStatus);
    QFETCH(QString, text);
    QFETCH(double, rate);
    QFETCH(QString, device);

    const QString userFile = user.isEmpty() ? files.path("none-user.conf") : files.write("user.conf", user);
    const QString systemFile = system.isEmpty() ? files.path("none-system.conf") : files.write("system.conf", system);
    const CommandLine read = ::readCommandLine(QStringList{"ecg-simulator"} + arguments, {userFile, systemFile});
    QCOMPARE(read.exitStatus, exitStatus);
    QCOMPARE(read.text, QString(text).replace("%USER", userFile).replace("%SYSTEM", systemFile));
    if (exitStatus < 0) {
        QCOMPARE(read.output.sampleRate, rate);
        QCOMPARE(read.output.devicePath, device);
    }
}

void tst_Options::recordOptions_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("user");
    QTest::addColumn<QString>("refusal"); // empty: accepted
    QTest::addColumn<double>("fullScale");
    QTest::addColumn<QString>("signal");
    QTest::addColumn<QString>("annotator"); // empty: none

    const QString fullScaleAccepted = "un nombre de millivolts de 0.001 à 100000 (par exemple 10 ou 5)";
    const QString annotationsAccepted =
        "l'extension d'un fichier d'annotations WFDB, lettres, chiffres ou _ (par exemple atr), ou none";
    const auto refused = [](const char *name, const QStringList &arguments, const QByteArray &user,
                            const QString &refusal) {
        QTest::newRow(name) << arguments << user << refusal << 0.0 << QString() << QString();
    };
    QTest::newRow("defaults") << QStringList() << QByteArray() << "" << 10.0 << "" << "atr";
    QTest::newRow("largest full scale, a label, no annotations")
        << QStringList{"--full-scale=100000", "--signal", " MLII", "--annotations", "none"} << QByteArray() << ""
        << 100000.0 << " MLII" << "";
    QTest::newRow("from the settings") << QStringList() << QByteArray("full-scale=5\nsignal=2\nannotations=qrs_1\n")
                                       << "" << 5.0 << "2" << "qrs_1";
    for (const char *fullScale : {"0", "0.0009", "100000.5", "x"})
        refused(qPrintable(QString("full scale '%1' refused").arg(fullScale)), {QString("--full-scale=%1").arg(fullScale)},
                {}, QString("--full-scale : « %1 » refusé ; attendu : %2").arg(fullScale, fullScaleAccepted));
    refused("empty signal", {"--signal="}, {},
            "--signal : valeur vide refusée ; attendu : le numéro d'un signal, à partir de 1, ou son nom (par exemple MLII)");
    refused("empty annotations", {"--annotations="}, {}, "--annotations : valeur vide refusée ; attendu : " + annotationsAccepted);
    refused("annotations that are a path", {}, "annotations=../atr\n",
            "%USER, clé annotations : « ../atr » refusé ; attendu : " + annotationsAccepted);
    refused("annotations without a value", {"--annotations"}, {}, "--annotations attend une valeur : " + annotationsAccepted);
}

void tst_Options::recordOptions()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, user);
    QFETCH(QString, refusal);
    QFETCH(double, fullScale);
    QFETCH(QString, signal);
    QFETCH(QString, annotator);

    const QString userFile = user.isEmpty() ? files.path("none.conf") : files.write("record.conf", user);
    const CommandLine read = ::readCommandLine(QStringList{"ecg-simulator"} + arguments, {userFile});
    const QString expected = QString(refusal).replace("%USER", userFile);
    QCOMPARE(read.text, refusal.isEmpty() ? QString() : "ecg-simulator: " + expected);
    if (refusal.isEmpty()) {
        QCOMPARE(read.output.fullScaleMv, fullScale);
        QCOMPARE(read.output.signal, signal);
        QCOMPARE(read.output.annotator, annotator);
    }
}

void tst_Options::listen_data()
{
    QTest::addColumn<QString>("given");
    QTest::addColumn<QString>("idle");    // --scpi-idle's value; empty: not given
    QTest::addColumn<QString>("address"); // empty: refused
    QTest::addColumn<int>("port");
    QTest::addColumn<int>("idleSeconds");

    // No address: this machine only, since SCPI has no authentication.
    QTest::newRow("a port") << "5025" << "" << "127.0.0.1" << 5025 << 600;
    QTest::newRow("every address") << "0.0.0.0:5025" << "" << "0.0.0.0" << 5025 << 600;
    QTest::newRow("IPv6") << "[::1]:1" << "" << "::1" << 1 << 600;
    QTest::newRow("highest port") << "65535" << "" << "127.0.0.1" << 65535 << 600;
    for (const char *refused : {"0", "65536", "localhost:5025", "5025:", ""})
        QTest::newRow(qPrintable(QString("'%1' refused").arg(refused))) << refused << "" << "" << 0 << 0;
    QTest::newRow("idle clients closed sooner") << "5025" << "1" << "127.0.0.1" << 5025 << 1;
    QTest::newRow("or later") << "5025" << "86400" << "127.0.0.1" << 5025 << 86400;
    for (const char *refused : {"0", "86401", "1.5", "x"})
        QTest::newRow(qPrintable(QString("idle '%1' refused").arg(refused))) << "5025" << refused << "" << 0 << 0;
}

void tst_Options::listen()
{
    QFETCH(QString, given);
    QFETCH(QString, idle);
    QFETCH(QString, address);
    QFETCH(int, port);
    QFETCH(int, idleSeconds);

    QStringList arguments{"ecg-simulator", "--listen=" + given};
    if (!idle.isEmpty())
        arguments << "--scpi-idle" << idle;
    const CommandLine read = ::readCommandLine(arguments, {});
    QCOMPARE(read.exitStatus, address.isEmpty() ? 2 : -1);
    if (!address.isEmpty()) {
        QCOMPARE(read.listenAddress.toString(), address);
        QCOMPARE(read.listenPort, quint16(port));
        QCOMPARE(read.scpiIdleSeconds, idleSeconds);
    }
}

void tst_Options::remoteFiles_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("folders"); // "samples": the installed ones; none: refused

    QTest::newRow("the samples by default") << QStringList() << QStringList{"samples"};
    QTest::newRow("and the played file's folder")
        << QStringList{"--play", "/srv/ecg/208.hea"} << QStringList{"samples", "/srv/ecg"};
    QTest::newRow("given, over the played file's")
        << QStringList{"--play", "/srv/ecg/208.hea", "--remote-files", "/tmp:/"} << QStringList{"/tmp", "/"};
    QTest::newRow("a folder that is not there") << QStringList{"--remote-files=/tmp:/no/such/folder"} << QStringList();
    QTest::newRow("a file") << QStringList{"--remote-files=/etc/hostname"} << QStringList();
    QTest::newRow("empty") << QStringList{"--remote-files="} << QStringList();
    QTest::newRow("an empty folder") << QStringList{"--remote-files=/tmp::/"} << QStringList();
}

// The folders that remote choices may come from.
void tst_Options::remoteFiles()
{
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, folders);

    const CommandLine read = ::readCommandLine(QStringList{"ecg-simulator"} + arguments, {});
    QCOMPARE(read.exitStatus, folders.isEmpty() ? 2 : -1);
    if (folders.isEmpty())
        QVERIFY2(read.text.contains("--remote-files"), qPrintable(read.text));
    else
        QCOMPARE(read.output.remoteFolders, folders.replaceInStrings("samples", installedSamplesFolder()));
}

void tst_Options::syncOptions_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("user");
    QTest::addColumn<QString>("refusal"); // empty: accepted
    QTest::addColumn<QString>("syncLine");
    QTest::addColumn<double>("widthMs");
    QTest::addColumn<int>("syncOn");
    QTest::addColumn<QString>("beatLog");

    const QString lineAccepted = "PUCE:LIGNE, une puce GPIO (nom, numéro, chemin ou étiquette) et le numéro d'une de "
                                 "ses lignes (par exemple gpiochip0:17)";
    const QString widthAccepted = "un nombre de millisecondes de 0.01 à 1000 (par exemple 10)";
    QTest::newRow("defaults") << QStringList() << QByteArray() << "" << "" << 10.0 << int(SyncOn::Beats) << "";
    QTest::newRow("all given") << QStringList{"--sync-gpio", "gpiochip0:17", "--sync-width=0.01", "--sync-on=both",
                                              "--beat-log", "/tmp/beats.log"}
                               << QByteArray() << "" << "gpiochip0:17" << 0.01 << int(SyncOn::Both) << "/tmp/beats.log";
    QTest::newRow("from the settings")
        << QStringList() << QByteArray("sync-gpio=/dev/gpiochip1:4\nsync-width=1000\nsync-on=loop\nbeat-log=b.log\n")
        << "" << "/dev/gpiochip1:4" << 1000.0 << int(SyncOn::Loop) << "b.log";
    const auto refused = [](const char *name, const QStringList &arguments, const QByteArray &user,
                            const QString &refusal) {
        QTest::newRow(name) << arguments << user << refusal << QString() << 0.0 << 0 << QString();
    };
    refused("a chip without its line", {"--sync-gpio=gpiochip0"}, {}, "--sync-gpio : « gpiochip0 » refusé ; attendu : " + lineAccepted);
    for (const char *width : {"0", "1000.5"})
        refused(qPrintable(QString("width '%1' refused").arg(width)), {QString("--sync-width=%1").arg(width)}, {},
                QString("--sync-width : « %1 » refusé ; attendu : %2").arg(width, widthAccepted));
    refused("unknown frames to mark", {}, "sync-on=always\n",
            "%USER, clé sync-on : « always » refusé ; attendu : beats, loop ou both");
}

void tst_Options::syncOptions()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, user);
    QFETCH(QString, refusal);
    QFETCH(QString, syncLine);
    QFETCH(double, widthMs);
    QFETCH(int, syncOn);
    QFETCH(QString, beatLog);

    const QString userFile = user.isEmpty() ? files.path("none.conf") : files.write("sync.conf", user);
    const CommandLine read = ::readCommandLine(QStringList{"ecg-simulator"} + arguments, {userFile});
    QCOMPARE(read.text, refusal.isEmpty() ? QString() : "ecg-simulator: " + QString(refusal).replace("%USER", userFile));
    if (refusal.isEmpty()) {
        QCOMPARE(read.output.syncLine, syncLine);
        QCOMPARE(read.output.syncWidthMs, widthMs);
        QCOMPARE(int(read.output.syncOn), syncOn);
        QCOMPARE(read.output.beatLogPath, beatLog);
    }
}

QTEST_MAIN(tst_Options)
#include "tst_options.moc"
