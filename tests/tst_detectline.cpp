#include "detectline.h"
#include "fakegpio.h"
#include "fakemonitor.h"
#include "fakespidev.h"
#include "spidev.h"
#include "syncline.h"

#include <QElapsedTimer>
#include <QTest>

#include <cerrno>
#include <cstring>

namespace {

constexpr SpiConfig dacConfig{1, 8, 100000, 0};
constexpr unsigned int monitorLine = 9;

// The times of the line's edges to that level, as the chip double made them.
QVector<qint64> edgeTimes(unsigned int line, int value)
{
    QVector<qint64> times;
    for (const fakegpio::Edge &e : fakegpio::edges()) {
        if (e.line == line && e.value == value)
            times.append(e.timeNs);
    }
    return times;
}

// Takes the line's edges until there are count of them, for five seconds at most.
QVector<qint64> takeEdges(DetectLine &line, int count)
{
    QVector<qint64> taken;
    QElapsedTimer waited;
    waited.start();
    while (taken.size() < count && waited.elapsed() < 5000) {
        taken += line.take();
        QTest::qWait(5);
    }
    return taken;
}

} // namespace

Q_DECLARE_METATYPE(DetectLine::Edge)

class tst_DetectLine : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void edgesInOrder_data();
    void edgesInOrder();
    void refusals_data();
    void refusals();
    void stopWhileWaiting();
    void monitor_data();
    void monitor();
};

void tst_DetectLine::init()
{
    fakegpio::reset();
    fakespidev::reset();
}

void tst_DetectLine::cleanup()
{
    fakemonitor::configure({});
}

void tst_DetectLine::edgesInOrder_data()
{
    QTest::addColumn<DetectLine::Edge>("edge");
    QTest::addColumn<int>("value");

    QTest::newRow("rising") << DetectLine::Edge::Rising << 1;
    QTest::newRow("falling") << DetectLine::Edge::Falling << 0;
}

void tst_DetectLine::edgesInOrder()
{
    QFETCH(DetectLine::Edge, edge);
    QFETCH(int, value);

    DetectLine line;
    QVERIFY2(line.open("gpiochip0:5", edge), qPrintable(line.lastFailure()));
    QCOMPARE(fakegpio::consumer(5), std::string("ecg-simulator"));
    for (int i = 0; i < 3; ++i) {
        fakegpio::drive(5, 1);
        fakegpio::drive(5, 0);
        fakegpio::drive(6, 1); // another line's
        fakegpio::drive(6, 0);
    }
    const QVector<qint64> expected = edgeTimes(5, value);
    QCOMPARE(expected.size(), 3);
    QCOMPARE(takeEdges(line, 3), expected);
    QVERIFY(line.watching());
    QCOMPARE(line.lost(), 0);
}

void tst_DetectLine::refusals_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<bool>("heldBySync");
    QTest::addColumn<QString>("reason");

    const auto held = [](int line) {
        return QString("Détection GPIO: réservation de la ligne %1 de \"gpiochip0\" impossible: \"%2\"")
            .arg(line).arg(QString::fromLocal8Bit(std::strerror(EBUSY)));
    };
    QTest::newRow("held by a driver") << "gpiochip0:7" << false << held(7);
    QTest::newRow("held by the sync line") << "gpiochip0:4" << true << held(4);
    QTest::newRow("no such line") << "gpiochip0:54" << false
                                  << "Détection GPIO: la puce \"gpiochip0\" n'a pas de ligne 54 (54 lignes)";
    QTest::newRow("no line number") << "gpiochip0" << false
                                    << "Détection GPIO \"gpiochip0\" refusée: PUCE:LIGNE attendu (par exemple gpiochip0:17)";
}

void tst_DetectLine::refusals()
{
    QFETCH(QString, address);
    QFETCH(bool, heldBySync);
    QFETCH(QString, reason);

    fakegpio::setBusy(7, true);
    SyncLine sync;
    QVERIFY(!heldBySync || sync.open("gpiochip0:4"));
    DetectLine line;
    QVERIFY(!line.open(address, DetectLine::Edge::Rising));
    QVERIFY(!line.opened());
    QVERIFY2(line.lastFailure().startsWith(reason), qPrintable(line.lastFailure()));
    QCOMPARE(fakegpio::openDescriptors(), heldBySync ? 2 : 0);
}

void tst_DetectLine::stopWhileWaiting()
{
    DetectLine line;
    QVERIFY(line.open("gpiochip0:5", DetectLine::Edge::Rising));
    QTest::qWait(20);
    QVERIFY(line.watching());
    QElapsedTimer stopping;
    stopping.start();
    line.close();
    QVERIFY(stopping.elapsed() < 2000);
    QVERIFY(!line.watching());
    QCOMPARE(fakegpio::openDescriptors(), 0);
    QCOMPARE(fakegpio::consumer(5), std::string());
}

void tst_DetectLine::monitor_data()
{
    QTest::addColumn<bool>("echoSync");
    QTest::addColumn<int>("delayMs");

    QTest::newRow("listed frames") << false << 0;
    QTest::newRow("listed frames, 40 ms late") << false << 40;
    QTest::newRow("sync echoed, 40 ms late") << true << 40;
}

// Frames 0 and 5 listed, six frames sent, 30 ms apart at least: each pulse
// comes at least the delay after its frame (or its sync pulse) and lasts at
// least 10 ms.
void tst_DetectLine::monitor()
{
    QFETCH(bool, echoSync);
    QFETCH(int, delayMs);

    fakemonitor::configure({echoSync ? std::vector<std::uint64_t>{} : std::vector<std::uint64_t>{0, 5}, echoSync,
                            std::int64_t(delayMs) * 1000000, monitorLine});
    DetectLine line;
    QVERIFY(line.open("gpiochip0:9", DetectLine::Edge::Rising));
    SyncLine sync;
    QVERIFY(sync.open("gpiochip0:4"));
    SpiDev device(fakespidev::defaultPath, &dacConfig);
    QVERIFY(device.open());
    const std::uint8_t frame[3] = {0x00, 0x80, 0x00};
    QVector<qint64> causes;
    for (int i = 0; i < 6; ++i) {
        QCOMPARE(device.write(frame, 3), 3);
        QTest::qWait(30); // pulses apart, as beats are
        if (i == 0 || i == 5) {
            QVERIFY(sync.set(true));
            QVERIFY(sync.set(false));
            causes.append(echoSync ? edgeTimes(4, 1).last() : qint64(fakespidev::transfers().back().timeNs));
        }
    }
    const QVector<qint64> rises = takeEdges(line, 2);
    QCOMPARE(rises.size(), 2);
    for (int i = 0; i < 2; ++i)
        QVERIFY(rises[i] >= causes[i] + qint64(delayMs) * 1000000);
    QTRY_COMPARE_WITH_TIMEOUT(edgeTimes(monitorLine, 0).size(), 2, 5000);
    if (!echoSync) {
        for (int i = 0; i < 2; ++i)
            QVERIFY(edgeTimes(monitorLine, 0)[i] >= causes[i] + qint64(delayMs) * 1000000 + fakemonitor::pulseNs);
    }
}

QTEST_GUILESS_MAIN(tst_DetectLine)
#include "tst_detectline.moc"
