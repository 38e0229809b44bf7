#include "app.h"
#include "fakegpio.h"
#include "fakespidev.h"
#include "mainui.h"
#include "mpris.h"
#include "options.h"
#include "records.h"
#include "runningapp.h"
#include "scpiserver.h"
#include "samplefile.h"
#include "testsupport.h"
#include "waveformview.h"

#include <QApplication>
#include <QChartView>
#include <QFileDialog>
#include <QInputDialog>
#include <QLabel>
#include <QLineSeries>
#include <QMouseEvent>
#include <QPushButton>
#include <QTcpSocket>
#include <QTest>

#include <cerrno>
#include <cstring>
#include <memory>

using namespace QtCharts;

namespace {

// An SCPI client of the running program's playback.
class Rig
{
public:
    explicit Rig(Playback *playback) : server(playback, OutputSettings())
    {
        if (server.listen(QHostAddress::LocalHost, 0, CommandLine().scpiIdleSeconds))
            socket.connectToHost(QHostAddress::LocalHost, server.port());
    }
    bool connected() { return socket.waitForConnected(waitMs); }
    void send(const QByteArray &line) { socket.write(line + '\n'); }
    // The answer to a line, empty when none came.
    QByteArray query(const QByteArray &line)
    {
        send(line);
        return QTest::qWaitFor([&] { return socket.canReadLine(); }, waitMs) ? socket.readLine().trimmed()
                                                                             : QByteArray();
    }

private:
    ScpiServer server;
    QTcpSocket socket;
};

// The running application, with what these tests look at.
class TestedApp : public RunningApp
{
public:
    using RunningApp::RunningApp;
    QString fileLabel() const { return window->findChild<QLabel *>("fileLabel")->text(); }
    QString statusLine() const { return window->findChild<QLabel *>("statusLabel")->text(); }
    QLineSeries *line(const char *name) const
    {
        return window->waveformView()->findChild<QChartView *>()->chart()->findChild<QLineSeries *>(name);
    }
    // The chart's samples, in the order drawn: each held until the next, a
    // sample is the last point at its time.
    QVector<double> chartValues() const
    {
        QVector<double> values;
        const QVector<QPointF> points = line("signal")->pointsVector();
        for (int i = 0; i < points.size(); ++i)
            if (i + 1 == points.size() || points[i + 1].x() != points[i].x())
                values.append(points[i].y());
        return values;
    }

    // Switches on, waits for count more frames, switches off; the first count
    // codes sent (fewer if they did not come).
    QVector<quint16> stream(int count)
    {
        const std::size_t before = fakespidev::transferCount();
        click("btnSimu");
        fakespidev::waitForTransfers(before + count, waitMs);
        click("btnSimu");
        return sentCodes(before).mid(0, count);
    }

    // A switch-on that a warning refuses: whether it came, the toggle off again and Quit free.
    bool switchOnRefused(const QString &warning)
    {
        bool warned = false;
        modals.expect(ModalDriver::acknowledgeWarning(warning, &warned));
        click("btnSimu");
        return warned && !button("btnSimu")->isChecked() && button("btnQuit")->isEnabled();
    }

    // A click that waits in the event queue, behind what is already there.
    void postClick(const char *name)
    {
        QPushButton *target = button(name);
        const QPointF centre = target->rect().center();
        QCoreApplication::postEvent(
            target, new QMouseEvent(QEvent::MouseButtonPress, centre, Qt::LeftButton, Qt::LeftButton, Qt::NoModifier));
        QCoreApplication::postEvent(
            target, new QMouseEvent(QEvent::MouseButtonRelease, centre, Qt::LeftButton, Qt::NoButton, Qt::NoModifier));
    }
};

} // namespace

class tst_App : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void fileDialogStartFolder();

    void constructionStartsNothing();
    void quitStopsOutputThreadInOrder();
    void deviceFailureIsShown();
    void unavailableSyncLineIsShown();
    void switchOnWithUnreadableFileStaysOff_data();
    void switchOnWithUnreadableFileStaysOff();
    void clicksQueuedWithQuit_data();
    void clicksQueuedWithQuit();
    void switchOnWithoutFileWarns();
    void preview_data();
    void preview();
    void refusedChoiceKeepsEarlierFile_data();
    void refusedChoiceKeepsEarlierFile();
    void recordSignalChoice_data();
    void recordSignalChoice();
    void remoteCommandsShowInTheWindow();
    void boxClosedAfterARemoteSwitchOnLeavesItOn();
    void statusAndPlayheadFollowTheOutput();
    void switchOnRereadsFile();
    void newFileWhileRunningWaitsForSwitchOn();
    void recordedFileStreamsEndToEnd();

private:
    SampleFiles files;
};

void tst_App::init()
{
    fakespidev::reset();
}

// The first to choose a file: no folder was chosen before. The dialog starts in
// the samples (in the build, linked to the source tree's), then where the last
// file was chosen, in this run and the next.
void tst_App::fileDialogStartFolder()
{
    QString opened;
    const ModalDriver::Answer noteFolder = [&opened](QWidget *modal) {
        if (auto *dialog = qobject_cast<QFileDialog *>(modal))
            opened = QFileInfo(dialog->directory().absolutePath()).canonicalFilePath();
        return modal->close();
    };
    const QString chosen = files.write("start.csv", "1\n");
    {
        TestedApp running;
        running.modals.expect(noteFolder);
        running.click("openFileButton");
        QCOMPARE(opened, QFileInfo(recordedSampleFile()).canonicalPath());
        running.choose(chosen);
        running.modals.expect(noteFolder);
        running.click("openFileButton");
        QCOMPARE(opened, QFileInfo(chosen).canonicalPath());
    }
    TestedApp running;
    opened.clear();
    running.modals.expect(noteFolder);
    running.click("openFileButton");
    QCOMPARE(opened, QFileInfo(chosen).canonicalPath());
}

void tst_App::constructionStartsNothing()
{
    LogCapture log;
    {
        App app;
        QCoreApplication::processEvents();
        QCOMPARE(fakespidev::openCount(), 0);
        for (QWidget *widget : QApplication::topLevelWidgets())
            QVERIFY(!widget->isVisible());
    }
    QCOMPARE(fakespidev::openCount(), 0);
    QCOMPARE(log.texts(), (QStringList{"App destructor", "AppWorker destructor", "SpiDev destructor"}));
}

void tst_App::quitStopsOutputThreadInOrder()
{
    // On the node that the operator chose.
    fakespidev::reset("/dev/spidev0.1");
    LogCapture log;
    TestedApp running({"/dev/spidev0.1", 360});
    QVERIFY(running.window->isVisible());
    QVERIFY(waitForDeviceSetUp());

    QCOMPARE(running.quit(), 0);

    // The thread has ended before the App is gone: the device is closed and the
    // worker deleted, and its lines come in their causal order.
    const QStringList lines = log.texts();
    for (const char *line : {"Worker terminé", "Thread terminé", "AppWorker destructor", "App destructor"})
        QCOMPARE(lines.count(line), 1);
    QVERIFY(lines.indexOf("Worker terminé") < lines.indexOf("Thread terminé"));
    QVERIFY(lines.indexOf("Worker terminé") < lines.indexOf("AppWorker destructor"));
    QCOMPARE(fakespidev::closeCount(), 1);
}

// The operator is told at once, and again at each switch-on, which the window
// refuses; choosing and previewing files still works, and Quit ends the program.
void tst_App::deviceFailureIsShown()
{
    LogCapture log;
    fakespidev::setOpenError(ENOENT);
    const QString warning = QString("Erreur initialisation DAC8551\nDAC8551: ouverture de \"/dev/spidev0.0\" "
                                    "impossible: \"%1\"").arg(QString::fromLocal8Bit(std::strerror(ENOENT)));
    TestedApp running;
    bool warnedAtStart = false;
    running.modals.expect(ModalDriver::acknowledgeWarning(warning, &warnedAtStart));
    QVERIFY(QTest::qWaitFor([&] { return warnedAtStart; }, waitMs));
    running.choose(files.write("one.csv", "1\n"));
    QCOMPARE(running.chartValues().size(), 1);

    QVERIFY(running.switchOnRefused(warning));

    QCOMPARE(running.quit(), 0);
    const QStringList lines = log.texts();
    QCOMPARE(lines.count("Worker terminé"), 0);
    // The idle thread ends only at shutdown, after the App has begun to go.
    QVERIFY(lines.indexOf("App destructor") < lines.indexOf("Thread terminé"));
    QCOMPARE(lines.count("AppWorker destructor"), 1);
    QCOMPARE(fakespidev::transferCount(), std::size_t(0));
    QCOMPARE(running.modals.unexpected(), 0);
}

void tst_App::switchOnWithUnreadableFileStaysOff_data()
{
    QTest::addColumn<QByteArray>("content"); // the file's content at the switch-on; empty: deleted
    QTest::addColumn<QString>("warning");

    QTest::newRow("deleted") << QByteArray() << "Impossible d'ouvrir le fichier.\nPas de fichier lisible à « %1 »";
    QTest::newRow("emptied") << QByteArray("\n") << "Le fichier est vide.\nAucun échantillon dans « %1 »";
}

// Chosen and previewed, then gone or emptied before the switch-on: nothing
// can go out, and the window says so instead of seeming to run.
void tst_App::switchOnWithUnreadableFileStaysOff()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, warning);

    TestedApp running;
    const QString path = files.write("chosen.csv", "1\n2\n");
    running.choose(path);
    if (content.isEmpty())
        QVERIFY(QFile::remove(path));
    else
        files.write("chosen.csv", content);
    QVERIFY(running.switchOnRefused(warning.arg(path)));
    QTest::qWait(50);
    QCOMPARE(fakespidev::transferCount(), std::size_t(0));
    QCOMPARE(running.modals.unexpected(), 0);
}

void tst_App::clicksQueuedWithQuit_data()
{
    QTest::addColumn<QStringList>("clicks");
    QTest::addColumn<bool>("starts");

    // Clicks made while the window was busy (a long preview) all wait in the
    // queue, and Qt delivers the rest of them after the one that quits.
    QTest::newRow("Quit, then the toggle") << QStringList{"btnQuit", "btnSimu"} << false;
    // The toggle disables Quit, whose click then does nothing.
    QTest::newRow("the toggle, then Quit") << QStringList{"btnSimu", "btnQuit"} << true;
}

void tst_App::clicksQueuedWithQuit()
{
    QFETCH(QStringList, clicks);
    QFETCH(bool, starts);

    LogCapture log;
    TestedApp running;
    running.choose(files.write("one.csv", "1\n"));
    for (const QString &name : clicks)
        running.postClick(qPrintable(name));

    QCOMPARE(running.quit(), 0);
    if (!starts)
        QCOMPARE(fakespidev::transferCount(), std::size_t(0));
    QCOMPARE(log.count("Worker terminé"), 1);
    QCOMPARE(log.count("Thread terminé"), 1);
}

void tst_App::switchOnWithoutFileWarns()
{
    TestedApp running;
    QVERIFY(running.switchOnRefused("Aucun fichier sélectionné."));
    QCOMPARE(running.fileLabel(), QString("Aucun fichier sélectionné."));
    QCOMPARE(running.button("btnSimu")->text(), QString("Lancer la simulation"));
    QCOMPARE(fakespidev::transferCount(), std::size_t(0));
    QCOMPARE(running.quit(), 0);
    QCOMPARE(running.modals.unexpected(), 0);
}

void tst_App::preview_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QVector<double>>("values");

    // A sample file's codes as they go out: the low 16 bits, -1 for a line that is no integer.
    QTest::newRow("sample file") << "five.csv" << QByteArray("12\n  -5  \nabc\n\n7\n")
                                 << QVector<double>{12, 65531, 65535, 7};
    // A record's millivolts (200 units a millivolt), as mapped at 10 mV full scale.
    QTest::newRow("record") << "rec.hea" << QByteArray("rec 1 250\nrec.dat 16 200\n") << QVector<double>{0, 1, -1, 0.5};
}

void tst_App::preview()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, content);
    QFETCH(QVector<double>, values);

    TestedApp running;
    files.write("rec.dat", wfdbSamples(16, {0, 200, -200, 100}));
    running.choose(files.write(name, content));

    QCOMPARE(running.fileLabel(), name);
    const QVector<double> shown = running.chartValues();
    QCOMPARE(shown.size(), values.size());
    for (int i = 0; i < shown.size(); ++i)
        QVERIFY2(qAbs(shown[i] - values[i]) < 0.001, qPrintable(QString("%1: %2").arg(i).arg(shown[i])));
}

void tst_App::refusedChoiceKeepsEarlierFile_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("warning"); // none: the dialog is cancelled

    // The reader's refusals are the worker's table; here, one of each warning.
    QTest::newRow("cancelled") << "cancelled" << "";
    QTest::newRow("a line longer than allowed")
        << "long line" << "Impossible d'ouvrir le fichier.\n« %1 » n'est pas un fichier d'échantillons";
    QTest::newRow("empty") << "empty" << "Le fichier est vide.\nAucun échantillon dans « %1 »";
}

void tst_App::refusedChoiceKeepsEarlierFile()
{
    QFETCH(QString, kind);
    QFETCH(QString, warning);

    TestedApp running;
    running.choose(files.write("a.csv", "100\n200\n"));
    const QVector<double> chartOfA = running.chartValues();

    const QString refused = files.path(kind + ".csv");
    if (kind == "empty")
        files.write(kind + ".csv", "");
    else if (kind == "long line")
        files.write(kind + ".csv", "1\n" + QByteArray(maxSampleLineLength + 1, '7'));
    bool warned = false;
    if (warning.isEmpty()) {
        running.modals.expect(ModalDriver::cancelFileDialog());
        running.click("openFileButton");
    } else {
        running.choose(refused, ModalDriver::acknowledgeWarning(warning.arg(refused), &warned));
    }

    QCOMPARE(running.modals.pending(), 0);
    QCOMPARE(warned, !warning.isEmpty());
    QCOMPARE(running.fileLabel(), QString("a.csv"));
    QCOMPARE(running.chartValues(), chartOfA);
    QCOMPARE(running.stream(2), (QVector<quint16>{100, 200}));
    QCOMPARE(running.modals.unexpected(), 0);
}

void tst_App::recordSignalChoice_data()
{
    QTest::addColumn<QString>("option"); // --signal
    QTest::addColumn<int>("key");        // pressed in the list; 0: no list, a refusal
    QTest::addColumn<QVector<quint16>>("streamed");

    const QVector<quint16> mlii{39322, 39322};
    const QVector<quint16> v5{26214, 26214};
    const QVector<quint16> earlier{100, 200};
    QTest::newRow("Enter takes the first") << "" << int(Qt::Key_Return) << mlii;
    QTest::newRow("--signal proposes its own") << "v5" << int(Qt::Key_Return) << v5;
    QTest::newRow("Escape keeps the earlier file") << "" << int(Qt::Key_Escape) << earlier;
    QTest::newRow("--signal naming none") << "V9" << 0 << earlier;
}

// A record of several signals asks which one, in a list with the default
// selected; a sample file before it stays chosen when that is cancelled.
void tst_App::recordSignalChoice()
{
    QFETCH(QString, option);
    QFETCH(int, key);
    QFETCH(QVector<quint16>, streamed);

    files.write("rec.hea", "rec 2 360\nrec.dat 16 200 16 0 0 0 0 MLII\nrec.dat 16 200 16 0 0 0 0 V5\n");
    files.write("rec.dat", wfdbSamples(16, {200, -200, 200, -200}));
    OutputSettings settings;
    settings.signal = option;
    TestedApp running(settings);
    running.choose(files.write("a.csv", "100\n200\n"));
    const QStringList items{"1: MLII (mV, 360/s)", "2: V5 (mV, 360/s)"};
    bool asked = false;
    bool warned = false;
    running.choose(files.path("rec.hea"),
                   key ? ModalDriver::Answer([&](QWidget *modal) {
                       auto *list = qobject_cast<QInputDialog *>(modal);
                       asked = list && list->comboBoxItems() == items
                               && list->textValue() == items[option.isEmpty() ? 0 : 1];
                       QTest::keyClick(modal, Qt::Key(key));
                       return true;
                   })
                       : ModalDriver::acknowledgeWarning(
                           "Aucun signal « V9 » dans ce fichier. Ses signaux : " + items.join(", ") + ".\n"
                               + QString("Aucun signal « V9 » dans \"%1\" ; ses signaux : ").arg(files.path("rec.hea"))
                               + items.join(", "),
                           &warned));
    QVERIFY(key ? asked : warned);
    QCOMPARE(running.stream(2), streamed);
    QCOMPARE(running.modals.unexpected(), 0);
}

// SCPI drives the window's own commands: the toggle, the file's name and chart
// follow, and a refusal comes back as an error instead of a warning box.
void tst_App::remoteCommandsShowInTheWindow()
{
    OutputSettings settings;
    settings.remoteFolders = QStringList{QFileInfo(files.path("remote.csv")).path()};
    TestedApp running(settings);
    Rig rig(running.app->playback());
    QVERIFY(rig.connected());

    // In ASCII, which any client decodes.
    QCOMPARE(rig.query("OUTP ON;:SYST:ERR?"), QByteArray("-200,\"Execution error;Aucun fichier selectionne.\""));
    QVERIFY(!running.button("btnSimu")->isChecked());
    const QString path = files.write("remote.csv", "5\n6\n");
    QCOMPARE(rig.query("SOUR:FILE \"" + path.toUtf8() + "\";:OUTP ON;OUTP?"), QByteArray("1"));
    QCOMPARE(running.fileLabel(), QString("remote.csv"));
    QCOMPARE(running.chartValues().size(), 2);
    QVERIFY(running.button("btnSimu")->isChecked());
    QVERIFY(!running.button("btnQuit")->isEnabled());
    QVERIFY(fakespidev::waitForTransfers(4, waitMs));
    QCOMPARE(rig.query("OUTP OFF;OUTP?"), QByteArray("0"));
    QCOMPARE(running.button("btnSimu")->text(), QString("Lancer la simulation"));
    QCOMPARE(sentCodes().mid(0, 2), (QVector<quint16>{5, 6}));

    // MPRIS's commands, as its D-Bus adaptors call them.
    Mpris mpris(running.app->playback(), running.app.get());
    mpris.playPause();
    QVERIFY(running.button("btnSimu")->isChecked());
    QCOMPARE(mpris.playbackStatus(), QString("Playing"));
    QCOMPARE(mpris.metadata().value("xesam:title").toString(), QString("remote.csv"));
    mpris.stop();
    QVERIFY(!running.button("btnSimu")->isChecked());
    QCOMPARE(mpris.playbackStatus(), QString("Stopped"));
    QCOMPARE(rig.query("SOUR:POS?"), QByteArray("0"));
    QCOMPARE(running.modals.unexpected(), 0);
}

// A refusal's box left open while a client switches the output on: closing
// it shows what the output does now, and turns nothing off.
void tst_App::boxClosedAfterARemoteSwitchOnLeavesItOn()
{
    const QString path = files.write("remote.csv", "5\n6\n");
    OutputSettings settings;
    settings.remoteFolders = QStringList{QFileInfo(path).path()};
    TestedApp running(settings);
    Rig rig(running.app->playback());
    QVERIFY(rig.connected());
    bool warned = false;
    QByteArray answer;
    const ModalDriver::Answer acknowledge = ModalDriver::acknowledgeWarning("Aucun fichier sélectionné.", &warned);
    running.modals.expect([&](QWidget *modal) {
        if (answer.isEmpty())
            answer = rig.query("SOUR:FILE \"" + path.toUtf8() + "\";:OUTP ON;OUTP?");
        return acknowledge(modal);
    });
    running.click("btnSimu");

    QVERIFY(warned);
    QCOMPARE(answer, QByteArray("1"));
    QCOMPARE(rig.query("OUTP?"), QByteArray("1"));
    QVERIFY(running.button("btnSimu")->isChecked());
    QVERIFY(fakespidev::waitForTransfers(fakespidev::transferCount() + 4, waitMs));
    QCOMPARE(running.modals.unexpected(), 0);
}

// What plays, where and at what level, whatever changed it; a tap on the
// chart while paused moves the read position there.
void tst_App::statusAndPlayheadFollowTheOutput()
{
    TestedApp running;
    Rig rig(running.app->playback());
    QVERIFY(rig.connected());
    files.write("rec.dat", wfdbSamples(16, QVector<int>(720, 0)));
    running.choose(files.write("rec.hea", "rec 1 360\nrec.dat 16 200 12 0 0 0 0 MLII\n"));
    QVERIFY(running.statusLine().contains("arrêtée"));
    QVERIFY(running.statusLine().contains("rec.hea (MLII)"));

    running.click("btnSimu");
    QVERIFY(QTest::qWaitFor([&] { return running.statusLine().contains("en marche"); }, waitMs));
    QVERIFY(fakespidev::waitForTransfers(100, waitMs));
    rig.send("SOUR:RATE 180;FSC 5");
    QVERIFY(QTest::qWaitFor([&] { return running.statusLine().contains("180 éch./s"); }, waitMs));
    QVERIFY(running.statusLine().contains("5 mV"));
    running.click("btnSimu");
    QVERIFY(QTest::qWaitFor([&] { return running.statusLine().contains("en pause"); }, waitMs));

    // The playhead is where the output paused; a tap puts it, and the output, elsewhere.
    const qint64 paused = running.app->playback()->position();
    QTRY_COMPARE_WITH_TIMEOUT(running.line("playhead")->at(0).x(), paused / 360.0, waitMs);
    WaveformView *view = running.window->waveformView();
    view->setVisibleRange(0, 719);
    QChartView *chartView = view->findChild<QChartView *>();
    const QPointF inChart = chartView->chart()->mapToPosition(QPointF(1.5, 0), running.line("signal"));
    const QPoint at = chartView->mapFromScene(chartView->chart()->mapToScene(inChart));
    QTest::mouseClick(chartView->viewport(), Qt::LeftButton, {}, at);
    QVERIFY(qAbs(running.app->playback()->position() - 540) <= 2);
    QTRY_VERIFY_WITH_TIMEOUT(qAbs(running.line("playhead")->at(0).x() - 1.5) < 0.01, waitMs);
    QCOMPARE(running.modals.unexpected(), 0);
}

void tst_App::switchOnRereadsFile()
{
    TestedApp running;
    const QString path = files.write("edited.csv", "1\n2\n3\n");
    running.choose(path);
    running.stream(3);
    const std::size_t sent = fakespidev::transferCount();
    // Switched off, nothing more goes out.
    QTest::qWait(50);
    QCOMPARE(fakespidev::transferCount(), sent);

    files.write("edited.csv", "7\n8\n9\n");
    const QVector<quint16> after = running.stream(3);
    QCOMPARE(after.size(), 3);
    // The read position carries on in the edited file.
    for (int i = 0; i < 3; ++i)
        QCOMPARE(after.at(i), quint16(7 + (sent + i) % 3));
}

void tst_App::newFileWhileRunningWaitsForSwitchOn()
{
    TestedApp running;
    running.choose(files.write("a.csv", "1\n2\n"));
    running.click("btnSimu");
    QVERIFY(fakespidev::waitForTransfers(2, waitMs));

    running.choose(files.write("b.csv", "5\n6\n"));
    QCOMPARE(running.fileLabel(), QString("b.csv"));
    const std::size_t chosenAt = fakespidev::transferCount();
    QVERIFY(fakespidev::waitForTransfers(chosenAt + 4, waitMs));
    running.click("btnSimu");
    for (quint16 code : sentCodes(chosenAt))
        QVERIFY(code == 1 || code == 2);

    for (quint16 code : running.stream(4))
        QVERIFY(code == 5 || code == 6);
}

void tst_App::recordedFileStreamsEndToEnd()
{
    const QString recorded = recordedSampleFile();
    QVERIFY2(!recorded.isEmpty(), "the recorded ECG samples/mitbih-208-10s.csv is missing");
    QFile file(recorded);
    QVERIFY(file.open(QIODevice::ReadOnly | QIODevice::Text));
    QVector<quint16> samples;
    while (!file.atEnd())
        samples.append(quint16(file.readLine().trimmed().toInt()));
    QCOMPARE(samples.size(), 3600);

    TestedApp running;
    running.choose(recorded);
    QCOMPARE(running.fileLabel(), QString("mitbih-208-10s.csv"));
    QCOMPARE(running.chartValues().size(), 3600);
    QCOMPARE(running.stream(300), samples.mid(0, 300));
    QCOMPARE(running.quit(), 0);
}

// Said over the window as it shows; the output goes out without the line.
void tst_App::unavailableSyncLineIsShown()
{
    fakegpio::reset();
    fakegpio::setBusy(5, true);
    OutputSettings settings;
    settings.syncLine = "gpiochip0:5";
    TestedApp running(settings);
    bool warned = false;
    running.modals.expect(ModalDriver::acknowledgeWarning(
        QString("Repères de battements indisponibles.\nSynchro GPIO: réservation de la ligne 5 de \"gpiochip0\" "
                "impossible: \"%1\"").arg(QString::fromLocal8Bit(std::strerror(EBUSY))),
        &warned));
    QVERIFY(QTest::qWaitFor([&] { return warned; }, waitMs));
    // A sample file has no beats to pulse: said at its first switch-on, and it plays.
    running.choose(files.write("two.csv", "1\n2\n"));
    bool warnedOfBeats = false;
    running.modals.expect(ModalDriver::acknowledgeWarning(
        "Repères de battements indisponibles.\n\"two.csv\" n'a aucune annotation de battement : ni impulsions de "
        "battements, ni journal, ni score", &warnedOfBeats));
    QCOMPARE(running.stream(4), (QVector<quint16>{1, 2, 1, 2}));
    QVERIFY(QTest::qWaitFor([&] { return warnedOfBeats; }, waitMs));
    QCOMPARE(running.quit(), 0);
}

QTEST_MAIN(tst_App)
#include "tst_app.moc"
