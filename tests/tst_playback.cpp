#include "playback.h"
#include "records.h"
#include "testsupport.h"

#include <QRegularExpression>
#include <QTest>
#include <QTimer>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <thread>

namespace {

// A record of count samples at rate, 0 mV each, as name.hea beside name.dat.
QString writeRecord(SampleFiles &files, const QString &name, double rate, int count = 4)
{
    files.write(name + ".dat", wfdbSamples(16, QVector<int>(count, 0)));
    return files.write(name + ".hea", QString("%1 1 %2\n%1.dat 16 200\n").arg(name).arg(rate).toUtf8());
}

const char *stateName(PlayState state)
{
    switch (state) {
    case PlayState::Stopped: return "stopped";
    case PlayState::Starting: return "starting";
    case PlayState::Playing: return "playing";
    case PlayState::Paused: return "paused";
    case PlayState::Ending: return "ending";
    }
    return "?";
}

// A record of count samples per signal, one signal per label, as rec.hea beside rec.dat.
QString writeSignals(SampleFiles &files, const QStringList &labels, int count = 2)
{
    files.write("rec.dat", wfdbSamples(16, QVector<int>(count * labels.size(), 0)));
    QString header = QString("rec %1 360\n").arg(labels.size());
    for (const QString &label : labels)
        header += "rec.dat 16 200 16 0 0 0 0 " + label + "\n";
    return files.write("rec.hea", header.toUtf8());
}

// Lets the spidev double's held opens go 10 s on, should the test not have:
// an open made in the test's own thread would hold it for ever.
class HoldWatchdog
{
public:
    HoldWatchdog()
        : thread([this] {
              std::unique_lock<std::mutex> lock(mutex);
              if (!endedCondition.wait_for(lock, std::chrono::seconds(10), [this] { return ended; })) {
                  hasFired = true;
                  fakespidev::holdOpen(false);
              }
          })
    {
    }
    ~HoldWatchdog()
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            ended = true;
        }
        endedCondition.notify_one();
        thread.join();
        fakespidev::holdOpen(false);
    }
    bool fired() const { return hasFired; }

private:
    std::mutex mutex;
    std::condition_variable endedCondition;
    bool ended = false;
    std::atomic<bool> hasFired{false};
    std::thread thread;
};

} // namespace

class tst_Playback : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void rateBoundsAtEveryEntry_data();
    void rateBoundsAtEveryEntry();
    void refusedChoiceKeepsWhatPlays_data();
    void refusedChoiceKeepsWhatPlays();
    void fileChosenFromAfarStartsAtItsFirstSample();
    void fullScaleKeepsThePositionWithoutReading();
    void switchOnReadsOnlyAChangedFile_data();
    void switchOnReadsOnlyAChangedFile();
    void readsOffTheEventLoop();
    void stateFollowsItsTransitions_data();
    void stateFollowsItsTransitions();
    void headerOpenedOffTheEventLoop();
    void rereadFindsTheSignalAgain_data();
    void rereadFindsTheSignalAgain();
    void readEndingAfterTheEndTouchesNothing();
    void remoteChoicesStayInTheirFolders_data();
    void remoteChoicesStayInTheirFolders();
    void beatLogNamesItsRuns();
    void healthOfARealAndAFailedDevice();

private:
    // Chooses a file and waits for the read; its refusal, if any.
    Refusal choose(Playback &playback, const QString &path, Playback::When when = Playback::When::AtOnce,
                   const QString &selector = QString());
    // Runs a command that may read a file and waits for it; its refusal.
    static Refusal waitFor(const std::function<void(const Playback::Done &)> &command);

    SampleFiles files;
};

void tst_Playback::init()
{
    fakespidev::reset();
}

Refusal tst_Playback::choose(Playback &playback, const QString &path, Playback::When when, const QString &selector)
{
    return waitFor([&](const Playback::Done &done) { playback.choose(path, selector, when, done); });
}

Refusal tst_Playback::waitFor(const std::function<void(const Playback::Done &)> &command)
{
    Refusal result{Refusal::Cancelled, "not done", QString()};
    bool done = false;
    command([&](const Refusal &refusal) {
        result = refusal;
        done = true;
    });
    if (!QTest::qWaitFor([&] { return done; }, waitMs))
        qWarning("not done in time");
    return result;
}

void tst_Playback::rateBoundsAtEveryEntry_data()
{
    QTest::addColumn<QString>("entry");
    QTest::addColumn<double>("rate");
    QTest::addColumn<bool>("accepted");

    for (const char *entry : {"header", "command"}) {
        QTest::addRow("%s, least", entry) << entry << 0.001 << true;
        QTest::addRow("%s, most", entry) << entry << 2000.0 << true;
        QTest::addRow("%s, below the least", entry) << entry << 0.00099 << false;
        QTest::addRow("%s, above the most", entry) << entry << 2000.5 << false;
    }
    QTest::newRow("command, not a number") << "command" << std::nan("") << false;
    QTest::newRow("command, infinite") << "command" << std::numeric_limits<double>::infinity() << false;
    // A record faster than the bounds plays at a rate given over it, not at its own.
    QTest::newRow("default over a fast record") << "default" << 2500.0 << false;
}

// One check, whichever way a rate comes in; a refused one changes nothing.
void tst_Playback::rateBoundsAtEveryEntry()
{
    QFETCH(QString, entry);
    QFETCH(double, rate);
    QFETCH(bool, accepted);

    Playback playback(OutputSettings{});
    playback.start(Playback::Unmarked::StartAnyway);
    QVERIFY(!choose(playback, writeRecord(files, "before", 360)));
    Refusal refusal;
    if (entry == "header") {
        refusal = choose(playback, writeRecord(files, "record", rate));
    } else if (entry == "command") {
        refusal = playback.setRate(rate);
    } else {
        QVERIFY(!playback.setRate(360));
        QVERIFY(!choose(playback, writeRecord(files, "fast", rate)));
        refusal = playback.setDefaultRate();
    }
    QCOMPARE(!refusal, accepted);
    if (accepted) {
        QCOMPARE(playback.rate(), rate);
        return;
    }
    QCOMPARE(refusal.kind, Refusal::OutOfRange);
    QVERIFY2(refusal.reason.contains("de 0.001 à 2000"), qPrintable(refusal.reason));
    QCOMPARE(playback.rate(), 360.0);
    QCOMPARE(QFileInfo(playback.file()).completeBaseName(), QString(entry == "default" ? "fast" : "before"));
}

void tst_Playback::refusedChoiceKeepsWhatPlays_data()
{
    QTest::addColumn<bool>("on");
    QTest::addColumn<QByteArray>("content"); // null: no file
    QTest::addColumn<int>("kind");

    for (bool on : {false, true}) {
        const char *state = on ? "on" : "off";
        QTest::addRow("%s, missing", state) << on << QByteArray() << int(Refusal::NotFound);
        QTest::addRow("%s, no sample", state) << on << QByteArray("\n\n") << int(Refusal::Empty);
        QTest::addRow("%s, empty", state) << on << QByteArray("") << int(Refusal::Empty);
        QTest::addRow("%s, binary", state) << on << QByteArray(8192, '\x01') << int(Refusal::Unreadable);
    }
}

// The same checks whether the output is on or off; a refused file is never
// the chosen one, and what was chosen goes on (or goes out at the next start).
void tst_Playback::refusedChoiceKeepsWhatPlays()
{
    QFETCH(bool, on);
    QFETCH(QByteArray, content);
    QFETCH(int, kind);

    Playback playback(OutputSettings("/dev/spidev0.0", 1000));
    playback.start(Playback::Unmarked::StartAnyway);
    const QString good = files.write("good.csv", "5\n6\n");
    QVERIFY(!choose(playback, good));
    playback.setPlaying(on);
    const QString bad = content.isNull() ? files.path("missing.csv") : files.write("bad.csv", content);
    const Refusal refusal = choose(playback, bad);
    QCOMPARE(int(refusal.kind), kind);
    // One reason for a file without a sample, however empty.
    if (kind == Refusal::Empty)
        QCOMPARE(refusal.reason, QString("Aucun échantillon dans « %1 »").arg(bad));
    QCOMPARE(playback.file(), good);

    playback.setPlaying(true);
    const std::size_t from = fakespidev::transferCount();
    QVERIFY(fakespidev::waitForTransfers(from + 4, waitMs));
    for (quint16 code : sentCodes(from))
        QVERIFY(code == 5 || code == 6);
}

// While a file plays, one chosen from afar replaces it at its first sample:
// no frame of the one before after it, and none of it at the old position.
void tst_Playback::fileChosenFromAfarStartsAtItsFirstSample()
{
    Playback playback(OutputSettings("/dev/spidev0.0", 2000));
    playback.start(Playback::Unmarked::StartAnyway);
    const QString low = files.write("low.csv", "1\n2\n3\n4\n5\n");
    const QString high = files.write("high.csv", "100\n101\n102\n");
    QVERIFY(!choose(playback, low));
    playback.setPlaying(true);
    for (int round = 0; round < 10; ++round) {
        QVERIFY(fakespidev::waitForTransfers(fakespidev::transferCount() + 3, waitMs));
        QVERIFY(!choose(playback, round % 2 ? low : high));
    }
    QVERIFY(fakespidev::waitForTransfers(fakespidev::transferCount() + 3, waitMs));
    playback.setPlaying(false);
    const QVector<quint16> sent = sentCodes();
    for (int i = 1; i < sent.size(); ++i) {
        if ((sent[i] >= 100) != (sent[i - 1] >= 100))
            QVERIFY2(sent[i] == 1 || sent[i] == 100, qPrintable(QString("frame %1: %2").arg(i).arg(sent[i])));
    }
}

// A record's full scale changes its codes at once where they are; a sample
// file's codes are its own, which a full scale does not touch. Neither is read again.
void tst_Playback::fullScaleKeepsThePositionWithoutReading()
{
    Playback playback(OutputSettings("/dev/spidev0.0", 200));
    playback.start(Playback::Unmarked::StartAnyway);
    files.write("rec.dat", wfdbSamples(16, {200, 400, 600, 800}));
    QVERIFY(!choose(playback, files.write("rec.hea", "rec 1 200\nrec.dat 16 200\n")));
    playback.setPlaying(true);
    QVERIFY(fakespidev::waitForTransfers(3, waitMs));
    LogCapture log;
    QVERIFY(!playback.setFullScale(20));
    const std::size_t changed = fakespidev::transferCount() + 1;
    QVERIFY(fakespidev::waitForTransfers(changed + 8, waitMs));
    // 1 to 4 mV at 20 mV full scale.
    const QVector<int> at20{36045, 39322, 42598, 45875};
    const QVector<quint16> sent = sentCodes();
    for (int i = int(changed); i < sent.size(); ++i)
        QVERIFY2(qAbs(sent[i] - at20[i % 4]) <= 1, qPrintable(QString("frame %1: %2").arg(i).arg(sent[i])));

    QVERIFY(!choose(playback, files.write("codes.csv", "7\n8\n")));
    QVERIFY(!playback.setFullScale(5));
    const std::size_t csv = fakespidev::transferCount() + 1;
    QVERIFY(fakespidev::waitForTransfers(csv + 4, waitMs));
    for (quint16 code : sentCodes(csv))
        QVERIFY(code == 7 || code == 8);
    QCOMPARE(log.count("Fichier chargé avec 4 valeurs."), 0);
}

void tst_Playback::switchOnReadsOnlyAChangedFile_data()
{
    QTest::addColumn<QString>("chosen");
    QTest::addColumn<QString>("changed"); // the file rewritten with three samples

    QTest::newRow("sample file") << "file.csv" << "file.csv";
    QTest::newRow("record's signal file") << "rec.hea" << "rec.dat";
}

// The file as it is on disk at each start: read again only when it, or a
// record's signal file beside its header, changed.
void tst_Playback::switchOnReadsOnlyAChangedFile()
{
    QFETCH(QString, chosen);
    QFETCH(QString, changed);

    Playback playback(OutputSettings("/dev/spidev0.0", 1000));
    playback.start(Playback::Unmarked::StartAnyway);
    files.write("file.csv", "1\n2\n");
    files.write("rec.dat", wfdbSamples(16, {1, 2}));
    files.write("rec.hea", "rec 1 360\nrec.dat 16 200\n");
    QVERIFY(!choose(playback, files.path(chosen), Playback::When::AtNextStart));
    LogCapture log;
    const auto switchOn = [&] {
        bool done = false;
        playback.setPlaying(true, [&](const Refusal &) { done = true; });
        return QTest::qWaitFor([&] { return done; }, waitMs) && playback.playing();
    };
    QVERIFY(switchOn());
    playback.setPlaying(false);
    QVERIFY(switchOn());
    QCOMPARE(log.count("Fichier chargé avec 2 valeurs."), 0);
    playback.setPlaying(false);
    files.write(changed, changed.endsWith(".dat") ? wfdbSamples(16, {1, 2, 3}) : "1\n2\n3\n");
    QVERIFY(switchOn());
    QCOMPARE(log.count("Fichier chargé avec 3 valeurs."), 1);
}

// A long read runs beside the event loop, which answers meanwhile; a read
// given up keeps the file chosen before.
void tst_Playback::readsOffTheEventLoop()
{
    Playback playback(OutputSettings{});
    const QString small = files.write("small.csv", "1\n");
    QVERIFY(!choose(playback, small));
    const QString large = files.write("large.csv", QByteArray("1234\n").repeated(2000000));
    bool answeredWhileReading = false;
    QTimer::singleShot(0, [&] { answeredWhileReading = playback.loading(); });
    QCOMPARE(choose(playback, large).kind, Refusal::None);
    QVERIFY(answeredWhileReading);

    Refusal cancelled;
    playback.choose(large, QString(), Playback::When::AtOnce, [&](const Refusal &refusal) { cancelled = refusal; });
    playback.cancelLoad();
    QVERIFY(QTest::qWaitFor([&] { return !playback.loading(); }, waitMs));
    QCOMPARE(cancelled.kind, Refusal::Cancelled);
    QCOMPARE(playback.length(), qint64(2000000));
}

void tst_Playback::stateFollowsItsTransitions_data()
{
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QStringList>("states"); // after each step

    QTest::newRow("on, nothing to read") << QStringList{"on", "off", "on"}
                                         << QStringList{"playing", "paused", "playing"};
    QTest::newRow("on, the file read again") << QStringList{"rewrite", "on", "read"}
                                             << QStringList{"stopped", "starting", "playing"};
    QTest::newRow("off while starting") << QStringList{"rewrite", "on", "off", "read"}
                                        << QStringList{"stopped", "starting", "stopped", "stopped"};
    QTest::newRow("refused while starting") << QStringList{"on", "off", "spoil", "on", "read"}
                                            << QStringList{"playing", "paused", "paused", "starting", "paused"};
    QTest::newRow("stop while starting") << QStringList{"on", "rewrite", "off", "on", "stop", "read"}
                                         << QStringList{"playing", "playing", "paused", "starting", "stopped", "stopped"};
    QTest::newRow("end") << QStringList{"on", "end", "on"} << QStringList{"playing", "ending", "ending"};
}

// One state, whatever front end asks: a switch-on that must read its file
// first is starting until the read ends, and one switched off or refused
// meanwhile goes back where it was.
void tst_Playback::stateFollowsItsTransitions()
{
    QFETCH(QStringList, steps);
    QFETCH(QStringList, states);

    Playback playback(OutputSettings("/dev/spidev0.0", 1000));
    playback.start(Playback::Unmarked::StartAnyway);
    const QString path = files.write("file.csv", "1\n2\n");
    QVERIFY(!choose(playback, path, Playback::When::AtNextStart));
    QStringList seen;
    for (const QString &step : steps) {
        if (step == "on")
            playback.setPlaying(true);
        else if (step == "off")
            playback.setPlaying(false);
        else if (step == "stop")
            playback.stop();
        else if (step == "end")
            playback.end();
        else if (step == "rewrite")
            files.write("file.csv", "1\n2\n3\n");
        else if (step == "spoil")
            files.write("file.csv", QByteArray(8192, '\x01'));
        else if (step == "read")
            QVERIFY(QTest::qWaitFor([&] { return !playback.loading(); }, waitMs));
        seen << stateName(playback.state());
    }
    QCOMPARE(seen, states);
    QCOMPARE(playback.switchedOn(), states.last() == "playing");
}

// The file is opened in the loading thread: an open that does not return
// (the header is the spidev double's node here, whose opens it holds) holds
// nothing of the event loop.
void tst_Playback::headerOpenedOffTheEventLoop()
{
    Playback playback(OutputSettings{});
    const QString header = writeSignals(files, {"MLII"});
    fakespidev::reset(QFile::encodeName(header).constData());
    fakespidev::holdOpen(true);
    const HoldWatchdog watchdog;
    bool done = false;
    playback.choose(header, QString(), Playback::When::AtOnce, [&](const Refusal &) { done = true; });
    const bool returnedWhileHeld = !watchdog.fired();
    bool answered = false;
    QTimer::singleShot(0, [&] { answered = true; });
    QVERIFY(QTest::qWaitFor([&] { return answered; }, waitMs));
    QVERIFY(returnedWhileHeld);
    QVERIFY(playback.loading());
    QVERIFY(!done);
    fakespidev::holdOpen(false);
    QVERIFY(QTest::qWaitFor([&] { return done; }, waitMs));
}

void tst_Playback::rereadFindsTheSignalAgain_data()
{
    QTest::addColumn<QString>("entry");
    QTest::addColumn<QStringList>("before"); // the second one chosen
    QTest::addColumn<QStringList>("after");  // the header rewritten
    QTest::addColumn<int>("kind");

    const QStringList two{"MLII", "V5"};
    for (const char *entry : {"reload", "switch-on"}) {
        QTest::addRow("%s, one signal left", entry) << entry << two << QStringList{"MLII"} << int(Refusal::NoSuchSignal);
        QTest::addRow("%s, relabelled", entry) << entry << two << QStringList{"MLII", "V2"} << int(Refusal::NoSuchSignal);
        QTest::addRow("%s, the same signals", entry) << entry << two << two << int(Refusal::None);
    }
    QTest::newRow("reload, three then one")
        << "reload" << QStringList{"MLII", "V5", "V2"} << QStringList{"MLII"} << int(Refusal::NoSuchSignal);
}

// A re-read finds the chosen signal at its number with its label, or is
// refused for it and keeps what plays.
void tst_Playback::rereadFindsTheSignalAgain()
{
    QFETCH(QString, entry);
    QFETCH(QStringList, before);
    QFETCH(QStringList, after);
    QFETCH(int, kind);

    Playback playback(OutputSettings("/dev/spidev0.0", 1000));
    playback.start(Playback::Unmarked::StartAnyway);
    const QString header = writeSignals(files, before);
    QVERIFY(!choose(playback, header, Playback::When::AtOnce, "2"));
    QCOMPARE(playback.signalLabel(), QString("V5"));
    writeSignals(files, after, 3);
    const Refusal refusal = waitFor([&](const Playback::Done &done) {
        entry == "reload" ? playback.reload(done) : playback.setPlaying(true, done);
    });
    QCOMPARE(int(refusal.kind), kind);
    if (refusal)
        QVERIFY2(refusal.reason.contains("« 2 (V5) »"), qPrintable(refusal.reason));
    QCOMPARE(playback.signal(), 1);
    QCOMPARE(playback.signalLabel(), QString("V5"));
    QCOMPARE(playback.length(), qint64(refusal ? 2 : 3));
}

// A read that ends after end() (its annotations are read after its last
// cancel check) is refused as the end's, and puts nothing in place: the
// annotations' open is held by the spidev double until the end was asked.
void tst_Playback::readEndingAfterTheEndTouchesNothing()
{
    Playback playback(OutputSettings{});
    const QString header = writeSignals(files, {"MLII"}, 4);
    fakespidev::reset(QFile::encodeName(files.write("rec.atr", QByteArray())).constData());
    fakespidev::holdOpen(true);
    const HoldWatchdog watchdog;
    LogCapture log;
    Refusal result;
    bool done = false;
    playback.choose(header, QString(), Playback::When::AtOnce, [&](const Refusal &refusal) {
        result = refusal;
        done = true;
    });
    QVERIFY(log.waitFor("Fichier chargé avec 4 valeurs."));
    playback.end();
    fakespidev::holdOpen(false);
    QVERIFY(QTest::qWaitFor([&] { return done; }, waitMs));
    QCOMPARE(result.kind, Refusal::Ending);
    QVERIFY(playback.file().isEmpty());
    QCOMPARE(playback.length(), qint64(0));
    QVERIFY(!watchdog.fired());
}

void tst_Playback::remoteChoicesStayInTheirFolders_data()
{
    QTest::addColumn<QString>("chosen");
    QTest::addColumn<int>("kind");

    QTest::newRow("inside") << "inside" << int(Refusal::None);
    QTest::newRow("a link from outside to inside") << "link in" << int(Refusal::None);
    QTest::newRow("outside") << "outside" << int(Refusal::Outside);
    QTest::newRow("missing, outside") << "missing outside" << int(Refusal::Outside);
    QTest::newRow("missing, inside") << "missing inside" << int(Refusal::NotFound);
    QTest::newRow("a link out") << "link out" << int(Refusal::Outside);
    QTest::newRow("a record's signal file linked out") << "record" << int(Refusal::Outside);
    QTest::newRow("/proc, with / allowed") << "proc" << int(Refusal::Outside);
    QTest::newRow("re-read, its signal file linked out since") << "re-read" << int(Refusal::Outside);
}

// A file named from afar is read only from the folders given, its links
// resolved, and never from a pseudo file system; what exists outside is not told.
void tst_Playback::remoteChoicesStayInTheirFolders()
{
    QFETCH(QString, chosen);
    QFETCH(int, kind);

    // Folders of the row's own: a link left behind points nowhere.
    SampleFiles allowed;
    SampleFiles outside;
    const QString far = outside.write("far.csv", "3\n4\n");
    const QString inside = allowed.write("inside.csv", "1\n2\n");
    const auto link = [](const QString &target, const QString &name) {
        QFile::remove(name);
        return QFile::link(target, name) ? name : QString();
    };
    // The record's signal file, a link to one outside.
    const auto linkSignalFileOut = [&] {
        outside.write("rec.dat", wfdbSamples(16, {1, 2}));
        return !link(outside.path("rec.dat"), allowed.path("rec.dat")).isEmpty();
    };
    OutputSettings settings;
    settings.remoteFolders = QStringList{QFileInfo(inside).path()};
    QString path;
    if (chosen == "inside")
        path = inside;
    else if (chosen == "link in")
        path = link(inside, outside.path("in.csv"));
    else if (chosen == "outside")
        path = far;
    else if (chosen == "missing outside")
        path = outside.path("none.csv");
    else if (chosen == "missing inside")
        path = allowed.path("none.csv");
    else if (chosen == "link out")
        path = link(far, allowed.path("out.csv"));
    else if (chosen == "re-read" || chosen == "record")
        path = writeSignals(allowed, {"MLII"});
    else {
        settings.remoteFolders = QStringList{"/"};
        path = "/proc/self/status";
    }
    QVERIFY(!path.isEmpty() && (chosen != "record" || linkSignalFileOut()));
    Playback playback(settings);
    Refusal refusal = waitFor([&](const Playback::Done &done) { playback.chooseFromAfar(path, done); });
    if (chosen == "re-read") {
        QVERIFY(!refusal);
        QVERIFY(linkSignalFileOut());
        refusal = waitFor([&](const Playback::Done &done) { playback.reload(done); });
        QCOMPARE(int(refusal.kind), kind);
        return;
    }
    QCOMPARE(int(refusal.kind), kind);
    QCOMPARE(playback.file(), refusal ? QString() : path);
}

// Each switch-on, and each change of what plays while on, starts a run of the
// beat log with a line that names it; nothing else does.
void tst_Playback::beatLogNamesItsRuns()
{
    OutputSettings settings("/dev/spidev0.0", 1000);
    settings.beatLogPath = files.path("beats.log");
    Playback playback(settings);
    QVERIFY(!playback.start(Playback::Unmarked::DoNotStart));
    const QString header = writeSignals(files, {"MLII"});
    QVERIFY(!choose(playback, header, Playback::When::AtNextStart));
    playback.setPlaying(true);
    playback.setPlaying(false);
    QVERIFY(!playback.setFullScale(5));
    QVERIFY(!playback.setRate(500));
    playback.setPlaying(true);
    QVERIFY(!playback.setRate(500));
    QVERIFY(!playback.setRate(250));

    const QString named = QString("fichier \"%1\", signal 1 (MLII), ").arg(header);
    const QStringList expected{named + "1000 échantillons par seconde, pleine échelle 10 mV",
                               named + "500 échantillons par seconde, pleine échelle 5 mV",
                               named + "250 échantillons par seconde, pleine échelle 5 mV"};
    const QRegularExpression start("^# départ \\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z \\(\\d+\\.\\d{6}\\) : (.*)$");
    QStringList runs;
    QVERIFY(QTest::qWaitFor([&] {
        runs.clear();
        QFile log(settings.beatLogPath);
        if (!log.open(QIODevice::ReadOnly))
            return false;
        for (const QString &line : QString::fromUtf8(log.readAll()).split('\n')) {
            const QRegularExpressionMatch match = start.match(line);
            if (line.startsWith("# départ"))
                runs << (match.hasMatch() ? match.captured(1) : "malformed: " + line);
        }
        return runs.size() >= expected.size();
    }, waitMs));
    QCOMPARE(runs, expected);
}

// The facts a technician reads: a node that is a character device (here
// /dev/null, which the spidev double answers for) is the real one; a device
// whose transfers failed stays failed until a switch-on sends again.
void tst_Playback::healthOfARealAndAFailedDevice()
{
    fakespidev::reset("/dev/null");
    fakespidev::setTransferFault(2, -1, EIO, 3);
    Playback playback(OutputSettings("/dev/null", 1000));
    playback.start(Playback::Unmarked::StartAnyway);
    QVERIFY(!choose(playback, writeSignals(files, {"MLII"}), Playback::When::AtNextStart));
    QCOMPARE(playback.health().code, -1);
    playback.setPlaying(true);
    QVERIFY(fakespidev::waitForTransfers(8, waitMs));
    const OutputHealth failed = playback.health();
    QCOMPARE(failed.device, QString("/dev/null"));
    QVERIFY(failed.realDevice);
    QCOMPARE(failed.failure, QString("transferts SPI en échec"));
    QCOMPARE(failed.code, 32768);
    QCOMPARE(failed.millivolts, std::optional<double>(0));
    playback.setPlaying(false);
    playback.setPlaying(true);
    const std::size_t before = fakespidev::transferCount();
    QVERIFY(fakespidev::waitForTransfers(before + 2, waitMs));
    QCOMPARE(playback.health().failure, QString());
}

QTEST_MAIN(tst_Playback)
#include "tst_playback.moc"
