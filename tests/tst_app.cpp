#include "app.h"
#include "fakespidev.h"
#include "logcapture.h"

#include <QApplication>
#include <QTest>
#include <QTimer>

#include <cerrno>
#include <memory>

namespace {

constexpr int waitMs = 5000;

// Runs the event loop until the operator's Quit, as main does; returns its result.
int runUntilQuit(App &app)
{
    QTimer::singleShot(0, &app, [&app] { QMetaObject::invokeMethod(&app, "onExitRequested"); });
    return QApplication::exec();
}

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
    }
    QCOMPARE(fakespidev::openCount(), 0);
    QCOMPARE(log.texts(), (QStringList{"App destructor", "AppWorker destructor", "SpiDev destructor"}));
}

void tst_App::quitStopsOutputThreadInOrder()
{
    LogCapture log;
    auto app = std::make_unique<App>();
    app->start();
    QTRY_COMPARE_WITH_TIMEOUT(int(fakespidev::requests().size()), 6, waitMs);

    QCOMPARE(runUntilQuit(*app), 0);
    app.reset();

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
    auto app = std::make_unique<App>();
    app->start();
    QVERIFY(log.waitFor("Erreur initialisation DAC8551"));

    QCOMPARE(runUntilQuit(*app), 0);
    app.reset();

    const QStringList lines = log.texts();
    QCOMPARE(lines.count("Worker terminé"), 0);
    // The idle thread ends only at shutdown, after the App has begun to go.
    QVERIFY(lines.indexOf("App destructor") < lines.indexOf("Thread terminé"));
    QCOMPARE(lines.count("AppWorker destructor"), 1);
}

QTEST_MAIN(tst_App)
#include "tst_app.moc"
