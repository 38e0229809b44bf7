#include "sampleclock.h"

#include <QTest>

#include <cstdint>

Q_DECLARE_METATYPE(std::int64_t)

namespace {
constexpr std::int64_t startNs = 5000000000; // any point on the monotonic clock
constexpr std::int64_t second = 1000000000;
} // namespace

class tst_SampleClock : public QObject
{
    Q_OBJECT

private slots:
    void deadlinesDoNotDrift_data();
    void deadlinesDoNotDrift();
    void lateFrames_data();
    void lateFrames();
    void lateSamplesReportedOnceASecond();
};

void tst_SampleClock::deadlinesDoNotDrift_data()
{
    QTest::addColumn<double>("rate");
    QTest::addColumn<int>("frames");
    QTest::addColumn<std::int64_t>("elapsedNs"); // from the start to the deadline of frame number frames

    // Periods that are no whole number of nanoseconds: a period rounded once
    // and added up would be off by about 0.3 ms after the hour.
    QTest::newRow("360/s for an hour") << 360.0 << 360 * 3600 << 3600 * second;
    QTest::newRow("359.5/s for an hour") << 359.5 << 719 * 1800 << 3600 * second;
    QTest::newRow("1/s") << 1.0 << 3 << 3 * second;
    QTest::newRow("fastest allowed") << 2000.0 << 2000 * 60 << 60 * second;
}

// Every frame sent exactly on time: frame k is due at start + k / rate.
void tst_SampleClock::deadlinesDoNotDrift()
{
    QFETCH(double, rate);
    QFETCH(int, frames);
    QFETCH(std::int64_t, elapsedNs);

    SampleClock clock(rate);
    clock.restart(startNs);
    QCOMPARE(clock.nextDeadlineNs(), startNs);
    for (int k = 0; k < frames; ++k)
        clock.frameSent(clock.nextDeadlineNs());
    QCOMPARE(clock.nextDeadlineNs(), startNs + elapsedNs);
}

void tst_SampleClock::lateFrames_data()
{
    QTest::addColumn<QVector<std::int64_t>>("lateness"); // of each frame against its deadline, in ns
    QTest::addColumn<std::int64_t>("nextAfterLast");     // the next deadline, from the last frame sent
    QTest::addColumn<std::int64_t>("lateSamples");

    // At 1000/s: a period of 1 ms.
    QTest::newRow("on time") << QVector<std::int64_t>{0, 0, 0} << std::int64_t(1000000) << std::int64_t(0);
    // Late by less than a period: the next deadline stays where it was.
    QTest::newRow("late by 0.9 period") << QVector<std::int64_t>{0, 900000} << std::int64_t(100000) << std::int64_t(0);
    // Late by a whole period or more: no burst of catch-up frames; the clock
    // restarts from the late frame and counts the samples it skipped.
    QTest::newRow("late by one period")
        << QVector<std::int64_t>{0, 1000000} << std::int64_t(1000000) << std::int64_t(1);
    QTest::newRow("stalled for 50 periods, then on time")
        << QVector<std::int64_t>{0, 50500000, 0, 0} << std::int64_t(1000000) << std::int64_t(50);
    QTest::newRow("two stalls")
        << QVector<std::int64_t>{2000000, 0, 3000000} << std::int64_t(1000000) << std::int64_t(5);
}

void tst_SampleClock::lateFrames()
{
    QFETCH(QVector<std::int64_t>, lateness);
    QFETCH(std::int64_t, nextAfterLast);
    QFETCH(std::int64_t, lateSamples);

    SampleClock clock(1000);
    clock.restart(startNs);
    std::int64_t sentAt = 0;
    for (std::int64_t late : lateness) {
        sentAt = clock.nextDeadlineNs() + late;
        clock.frameSent(sentAt);
    }
    QCOMPARE(clock.nextDeadlineNs() - sentAt, nextAfterLast);
    QCOMPARE(clock.takeLateReport(sentAt), lateSamples);
}

// Late samples are reported at once, then at most once a second, adding up
// those of the stalls in between; none is lost.
void tst_SampleClock::lateSamplesReportedOnceASecond()
{
    SampleClock clock(1000);
    clock.restart(startNs);
    QCOMPARE(clock.takeLateReport(startNs), std::int64_t(0));
    const auto stall = [&clock](std::int64_t lateNs) {
        const std::int64_t sentAt = clock.nextDeadlineNs() + lateNs;
        clock.frameSent(sentAt);
        return sentAt;
    };
    std::int64_t now = stall(3000000);
    QCOMPARE(clock.takeLateReport(now), std::int64_t(3));
    now = stall(2000000);
    QCOMPARE(clock.takeLateReport(now), std::int64_t(0));
    now = stall(4000000);
    QCOMPARE(clock.takeLateReport(now + second / 2), std::int64_t(0));
    QCOMPARE(clock.takeLateReport(now + second), std::int64_t(6));
    QCOMPARE(clock.takeLateReport(now + 3 * second), std::int64_t(0));
}

QTEST_MAIN(tst_SampleClock)
#include "tst_sampleclock.moc"
