#include "fakegpio.h"
#include "syncline.h"

#include <QTest>

#include <cerrno>
#include <cstring>

#include <linux/gpio.h>

Q_DECLARE_METATYPE(std::vector<bool>)

class tst_SyncLine : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void levelsBecomeEdges_data();
    void levelsBecomeEdges();
    void refusals_data();
    void refusals();
    void setWithoutLine();
};

void tst_SyncLine::init()
{
    fakegpio::reset();
}

void tst_SyncLine::levelsBecomeEdges_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<unsigned int>("line");
    QTest::addColumn<std::vector<bool>>("levels");
    QTest::addColumn<std::vector<int>>("edgeValues");

    using Levels = std::vector<bool>;
    using Edges = std::vector<int>;
    QTest::newRow("pulse, chip by name") << "gpiochip0:17" << 17u << Levels{true, false} << Edges{1, 0};
    QTest::newRow("two pulses, chip by number") << "0:4" << 4u << Levels{true, false, true, false} << Edges{1, 0, 1, 0};
    QTest::newRow("repeated level, chip by path") << "/dev/gpiochip0:53" << 53u << Levels{false, true, true, false}
                                                  << Edges{1, 0};
}

void tst_SyncLine::levelsBecomeEdges()
{
    QFETCH(QString, address);
    QFETCH(unsigned int, line);
    QFETCH(std::vector<bool>, levels);
    QFETCH(std::vector<int>, edgeValues);

    {
        SyncLine sync;
        QVERIFY2(sync.open(address), qPrintable(sync.lastFailure()));
        QCOMPARE(fakegpio::consumer(line), std::string("ecg-simulator"));
        QCOMPARE(fakegpio::lineValue(line), 0);
        const std::size_t openRequests = fakegpio::requests().size();
        for (const bool level : levels)
            QVERIFY(sync.set(level));
        QCOMPARE(fakegpio::lineValue(line), int(levels.back()));
        // Each level is one request to the kernel, nothing more.
        const std::vector<unsigned long> requests = fakegpio::requests();
        QCOMPARE(requests.size(), openRequests + levels.size());
        for (std::size_t i = openRequests; i < requests.size(); ++i)
            QCOMPARE(requests[i], static_cast<unsigned long>(GPIOHANDLE_SET_LINE_VALUES_IOCTL));
    }
    QCOMPARE(fakegpio::openDescriptors(), 0);
    QCOMPARE(fakegpio::consumer(line), std::string());

    const std::vector<fakegpio::Edge> edges = fakegpio::edges();
    QCOMPARE(edges.size(), edgeValues.size());
    for (std::size_t i = 0; i < edges.size(); ++i) {
        QCOMPARE(edges[i].line, line);
        QCOMPARE(edges[i].value, edgeValues[i]);
        QVERIFY(edges[i].timeNs > 0);
        if (i > 0)
            QVERIFY(edges[i].timeNs >= edges[i - 1].timeNs);
    }
}

void tst_SyncLine::refusals_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<int>("busyLine");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<int>("error");

    // Refused as written: no line is busy, nor is there a system error.
    const auto refused = [](const char *address, const QString &why) {
        QTest::newRow(address) << address << -1 << QString("Synchro GPIO \"%1\" refusée: %2").arg(address, why) << 0;
    };
    refused("gpiochip0", "PUCE:LIGNE attendu (par exemple gpiochip0:17)");
    refused("gpiochip0:x", "\"x\" n'est pas un numéro de ligne");
    refused("gpiochip0:-1", "\"-1\" n'est pas un numéro de ligne");
    refused(":17", "puce manquante avant \":\"");
    QTest::newRow("line past the chip's") << "gpiochip0:54" << -1
                                          << "Synchro GPIO: la puce \"gpiochip0\" n'a pas de ligne 54 (54 lignes)" << EINVAL;
    QTest::newRow("missing chip") << "gpiochip9:17" << -1
                                  << "Synchro GPIO: ouverture de la puce \"gpiochip9\" impossible" << ENOENT;
    QTest::newRow("busy line") << "gpiochip0:17" << 17
                               << "Synchro GPIO: réservation de la ligne 17 de \"gpiochip0\" impossible" << EBUSY;
}

void tst_SyncLine::refusals()
{
    QFETCH(QString, address);
    QFETCH(int, busyLine);
    QFETCH(QString, reason);
    QFETCH(int, error);

    if (busyLine >= 0)
        fakegpio::setBusy(unsigned(busyLine), true);
    SyncLine sync;
    QVERIFY(!sync.open(address));
    QVERIFY(!sync.opened());
    const QString systemWord = QString(": \"%1\"").arg(QString::fromLocal8Bit(std::strerror(error)));
    QCOMPARE(sync.lastFailure(), reason + (error ? systemWord : QString()));
    QVERIFY(!sync.set(true));
    QCOMPARE(fakegpio::openDescriptors(), 0);
    QVERIFY(fakegpio::edges().empty());

    // Freed, the same line opens.
    fakegpio::setBusy(17, false);
    QVERIFY2(sync.open("gpiochip0:17"), qPrintable(sync.lastFailure()));
}

void tst_SyncLine::setWithoutLine()
{
    SyncLine sync;
    QVERIFY(!sync.set(true));
    QCOMPARE(sync.lastFailure(), QString("Synchro GPIO: aucune ligne ouverte: \"%1\"").arg(std::strerror(EBADF)));
    QVERIFY(fakegpio::edges().empty());
}

QTEST_MAIN(tst_SyncLine)
#include "tst_syncline.moc"
