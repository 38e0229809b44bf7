#include "app.h"
#include "fakespidev.h"
#include "logcapture.h"
#include "mainui.h"
#include "modaldriver.h"
#include "samplefiles.h"
#include "sentframes.h"

#include <QApplication>
#include <QChartView>
#include <QLabel>
#include <QLineSeries>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <cerrno>
#include <memory>

#include <sys/stat.h>

using namespace QtCharts;

namespace {

constexpr int waitMs = 5000;

// The application as main runs it, with its window found and its dialogs answered.
class RunningApp
{
public:
    RunningApp()
    {
        const QWidgetList before = QApplication::topLevelWidgets();
        app = std::make_unique<App>();
        for (QWidget *widget : QApplication::topLevelWidgets()) {
            if (!before.contains(widget) && qobject_cast<MainUI *>(widget))
                window = static_cast<MainUI *>(widget);
        }
        app->start();
    }

    // A test that failed half-way still leaves as the operator would.
    ~RunningApp()
    {
        if (!app)
            return;
        if (button("btnSimu")->isChecked())
            click("btnSimu");
        click("btnQuit");
    }

    void click(const char *button) { QTest::mouseClick(window->findChild<QPushButton *>(button), Qt::LeftButton); }
    QPushButton *button(const char *name) const { return window->findChild<QPushButton *>(name); }
    QString fileLabel() const { return window->findChild<QLabel *>("fileLabel")->text(); }
    QChart *chart() const { return window->getChartView()->chart(); }

    QVector<QPointF> previewPoints() const
    {
        const QList<QAbstractSeries *> series = chart()->series();
        return series.size() == 1 ? qobject_cast<QLineSeries *>(series.first())->pointsVector() : QVector<QPointF>{};
    }

    // Chooses path in the file dialog; then answers what the choice brings up.
    void choose(const QString &path, const ModalDriver::Answer &then = {})
    {
        modals.expect(ModalDriver::chooseFile(path));
        if (then)
            modals.expect(then);
        click("openFileButton");
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

    // Quits as the operator does and runs the event loop until then; its result.
    int quit()
    {
        QTimer::singleShot(0, window, [this] { click("btnQuit"); });
        const int status = QApplication::exec();
        app.reset();
        return status;
    }

    ModalDriver modals;
    std::unique_ptr<App> app;
    MainUI *window = nullptr;
};

} // namespace

class tst_App : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void constructionStartsNothing();
    void quitStopsOutputThreadInOrder();
    void quitWithoutDeviceDoesNotHang_data();
    void quitWithoutDeviceDoesNotHang();
    void switchOnWithoutFileWarns();
    void preview_data();
    void preview();
    void refusedChoiceKeepsEarlierFile_data();
    void refusedChoiceKeepsEarlierFile();
    void cancelChangesNothing();
    void fileGoneBeforeSwitchOn_data();
    void fileGoneBeforeSwitchOn();
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
    LogCapture log;
    RunningApp running;
    QVERIFY(running.window->isVisible());
    QTRY_COMPARE_WITH_TIMEOUT(int(fakespidev::requests().size()), 6, waitMs);

    QCOMPARE(running.quit(), 0);

    // The thread has ended before the App is gone: the device is closed and the
    // worker deleted, and its lines come in their causal order.
    const QStringList lines = log.texts();
    QCOMPARE(lines.count("Worker terminé"), 1);
    QCOMPARE(lines.count("Thread terminé"), 1);
    QCOMPARE(lines.count("AppWorker destructor"), 1);
    QCOMPARE(lines.count("SpiDev destructor"), 1);
    QVERIFY(lines.indexOf("Worker terminé") < lines.indexOf("Thread terminé"));
    QVERIFY(lines.indexOf("Worker terminé") < lines.indexOf("AppWorker destructor"));
    QVERIFY(lines.contains("App destructor"));
    QVERIFY(!lines.join('\n').contains("Résultat reçu:"));
    QCOMPARE(fakespidev::closeCount(), 1);
    QCOMPARE(fakespidev::openDescriptors(), 0);
    QCOMPARE(fakespidev::transferCount(), std::size_t(0));
}

void tst_App::quitWithoutDeviceDoesNotHang_data()
{
    QTest::addColumn<int>("error");

    QTest::newRow("node missing") << ENOENT;
    QTest::newRow("permission denied") << EACCES;
}

void tst_App::quitWithoutDeviceDoesNotHang()
{
    QFETCH(int, error);

    LogCapture log;
    fakespidev::setOpenError(error);
    RunningApp running;
    QVERIFY(log.waitFor("Erreur initialisation DAC8551"));
    running.choose(files.write("one.csv", "1\n"));
    running.click("btnSimu");
    running.click("btnSimu");

    QCOMPARE(running.quit(), 0);
    const QStringList lines = log.texts();
    QCOMPARE(lines.count("Worker terminé"), 0);
    // The idle thread ends only at shutdown, after the App has begun to go.
    QVERIFY(lines.indexOf("App destructor") < lines.indexOf("Thread terminé"));
    QCOMPARE(lines.count("AppWorker destructor"), 1);
    QCOMPARE(fakespidev::transferCount(), std::size_t(0));
}

void tst_App::switchOnWithoutFileWarns()
{
    RunningApp running;
    bool warned = false;
    running.modals.expect(ModalDriver::acknowledgeWarning("Aucun fichier sélectionné.", &warned));
    running.click("btnSimu");

    QVERIFY(warned);
    QCOMPARE(running.fileLabel(), QString("Aucun fichier"));
    QVERIFY(running.button("btnSimu")->isChecked());
    QCOMPARE(running.button("btnSimu")->text(), QString("Stopper la simulation"));
    QVERIFY(!running.button("btnQuit")->isEnabled());

    running.click("btnSimu");
    QCOMPARE(running.button("btnSimu")->text(), QString("Lancer la simulation"));
    QVERIFY(running.button("btnQuit")->isEnabled());
    QCOMPARE(fakespidev::transferCount(), std::size_t(0));
    QCOMPARE(running.quit(), 0);
    QCOMPARE(running.modals.unexpected(), 0);
}

void tst_App::preview_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QVector<QPointF>>("points");

    const QVector<QPointF> example{{0, 12}, {1, -5}, {2, 7}};
    QTest::newRow("five lines") << QByteArray("12\n  -5  \nabc\n\n7\n") << example;
    QTest::newRow("CR LF") << QByteArray("12\r\n  -5  \r\nabc\r\n\r\n7\r\n") << example;
    QTest::newRow("skipped forms") << QByteArray("0x10\n1.5\n1 2\n2147483648\n-2147483648\n+3\n")
                                   << QVector<QPointF>{{0, -2147483648.0}, {1, 3}};
    QTest::newRow("only invalid lines") << QByteArray("\n  \nabc\n") << QVector<QPointF>{};
}

void tst_App::preview()
{
    QFETCH(QByteArray, content);
    QFETCH(QVector<QPointF>, points);

    RunningApp running;
    QChart *before = running.chart();
    running.choose(files.write("preview.csv", content));

    QCOMPARE(running.fileLabel(), QString("preview.csv"));
    QVERIFY(running.chart() != before);
    QCOMPARE(running.previewPoints(), points);
    QVERIFY(!running.chart()->legend()->isVisible());
    QCOMPARE(running.chart()->axes(Qt::Horizontal).size(), 1);
    QCOMPARE(running.chart()->axes(Qt::Vertical).size(), 1);
    QCOMPARE(running.quit(), 0);
}

void tst_App::refusedChoiceKeepsEarlierFile_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("warning");

    QTest::newRow("gone") << "gone" << "Impossible d'ouvrir le fichier.";
    QTest::newRow("empty") << "empty" << "Le fichier est vide.";
    // Reading these would block the window or never end.
    QTest::newRow("FIFO") << "fifo" << "Impossible d'ouvrir le fichier.";
    QTest::newRow("endless device") << "device" << "Impossible d'ouvrir le fichier.";
}

void tst_App::refusedChoiceKeepsEarlierFile()
{
    QFETCH(QString, kind);
    QFETCH(QString, warning);

    RunningApp running;
    running.choose(files.write("a.csv", "100\n200\n"));
    QChart *chartOfA = running.chart();

    QString refused = files.path(kind + ".csv");
    if (kind == "empty")
        files.write(kind + ".csv", "");
    else if (kind == "fifo")
        QCOMPARE(mkfifo(qPrintable(refused), 0600), 0);
    else if (kind == "device")
        refused = "/dev/zero";
    bool warned = false;
    running.choose(refused, ModalDriver::acknowledgeWarning(warning, &warned));

    QVERIFY(warned);
    QCOMPARE(running.fileLabel(), QString("Aucun fichier sélectionné."));
    QCOMPARE(running.chart(), chartOfA);
    QCOMPARE(running.stream(2), (QVector<quint16>{100, 200}));
    QCOMPARE(running.quit(), 0);
    QCOMPARE(running.modals.unexpected(), 0);
}

void tst_App::cancelChangesNothing()
{
    RunningApp running;
    running.choose(files.write("a.csv", "5\n"));
    QChart *chartOfA = running.chart();

    running.modals.expect(ModalDriver::cancelFileDialog());
    running.click("openFileButton");
    QCOMPARE(running.modals.pending(), 0);
    QCOMPARE(running.fileLabel(), QString("a.csv"));
    QCOMPARE(running.chart(), chartOfA);
    QCOMPARE(running.stream(1), QVector<quint16>{5});
    QCOMPARE(running.quit(), 0);
}

void tst_App::fileGoneBeforeSwitchOn_data()
{
    QTest::addColumn<bool>("replacedByFifo");

    QTest::newRow("deleted") << false;
    QTest::newRow("replaced by a FIFO") << true;
}

void tst_App::fileGoneBeforeSwitchOn()
{
    QFETCH(bool, replacedByFifo);

    LogCapture log;
    RunningApp running;
    const QString path = files.write("vanishing.csv", "1\n2\n");
    running.choose(path);
    QVERIFY(QFile::remove(path));
    if (replacedByFifo)
        QCOMPARE(mkfifo(qPrintable(path), 0600), 0);

    running.click("btnSimu");
    QVERIFY(log.waitFor("Aucune donnée chargée, attente..."));
    running.click("btnSimu");
    QVERIFY(log.texts().contains(QString("Erreur ouverture fichier: \"%1\"").arg(path)));
    QCOMPARE(running.fileLabel(), QString("vanishing.csv"));
    QCOMPARE(fakespidev::transferCount(), std::size_t(0));
    QCOMPARE(running.quit(), 0);
}

void tst_App::switchOnRereadsFile()
{
    RunningApp running;
    const QString path = files.write("edited.csv", "1\n2\n3\n");
    running.choose(path);
    running.stream(3);
    const std::size_t sent = fakespidev::transferCount();

    files.write("edited.csv", "7\n8\n9\n");
    const QVector<quint16> after = running.stream(3);
    QCOMPARE(after.size(), 3);
    // The read position carries on in the edited file.
    for (int i = 0; i < 3; ++i)
        QCOMPARE(after.at(i), quint16(7 + (sent + i) % 3));
    QCOMPARE(running.quit(), 0);
}

void tst_App::newFileWhileRunningWaitsForSwitchOn()
{
    RunningApp running;
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
    QCOMPARE(running.quit(), 0);
}

void tst_App::recordedFileStreamsEndToEnd()
{
    const QString recorded = recordedSampleFile();
    if (recorded.isEmpty())
        QSKIP("the recorded sample file is not beside the project");
    QFile file(recorded);
    QVERIFY(file.open(QIODevice::ReadOnly | QIODevice::Text));
    QVector<quint16> samples;
    while (!file.atEnd())
        samples.append(quint16(file.readLine().trimmed().toInt()));
    QCOMPARE(samples.size(), 3600);

    RunningApp running;
    running.choose(recorded);
    QCOMPARE(running.fileLabel(), QString("mitbih-208-10s.csv"));
    QCOMPARE(running.previewPoints().size(), 3600);
    const QVector<quint16> sent = running.stream(300);
    QCOMPARE(running.quit(), 0);

    QCOMPARE(sent, samples.mid(0, 300));
    for (const fakespidev::Transfer &transfer : fakespidev::transfers()) {
        QCOMPARE(transfer.tx.size(), std::size_t(3));
        QCOMPARE(transfer.tx.at(0), std::uint8_t(0));
    }
}

QTEST_MAIN(tst_App)
#include "tst_app.moc"
