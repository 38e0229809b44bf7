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
    void restartKeepsAPeriodAfterTheLastFrame_data();
    void restartKeepsAPeriodAfterTheLastFrame();
    void skippedSamplesReportedOnceASecond();
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
    QTest::addColumn<double>("rate");
    QTest::addColumn<QVector<std::int64_t>>("sentUs"); // each frame's time from the start, in us
    QTest::addColumn<std::int64_t>("nextUs");          // the next deadline, from the start
    QTest::addColumn<std::int64_t>("lateFrames");
    QTest::addColumn<std::int64_t>("stalls");
    QTest::addColumn<std::int64_t>("skipped");

    using T = std::int64_t;
    using Times = QVector<std::int64_t>;
    // At 1000/s: a period of 1 ms.
    QTest::newRow("on time") << 1000.0 << Times{0, 1000, 2000} << T(3000) << T(0) << T(0) << T(0);
    QTest::newRow("late by 0.9 period") << 1000.0 << Times{0, 1900} << T(2000) << T(0) << T(0) << T(0);
    // Found 5 ms late: the frames behind go out at once, one after the
    // other, until the output is back on its grid; none is skipped.
    QTest::newRow("5 ms late, caught up") << 1000.0 << Times{0, 6000, 6010, 6020, 6030, 6040, 6050}
                                          << T(7000) << T(5) << T(0) << T(0);
    QTest::newRow("20 ms late, still on the grid") << 1000.0 << Times{0, 21000} << T(2000) << T(1) << T(0) << T(0);
    // Longer: a stall, from which the clock restarts, the samples it skipped never sent.
    QTest::newRow("stall of 25.5 ms") << 1000.0 << Times{0, 26500} << T(27500) << T(1) << T(1) << T(25);
    QTest::newRow("stall, then on time") << 1000.0 << Times{0, 50500, 51500, 52500} << T(53500) << T(1) << T(1)
                                         << T(49);
    // At 10/s a frame 30 ms late is less than a period late: nothing is behind.
    QTest::newRow("10/s, 30 ms late") << 10.0 << Times{0, 130000} << T(200000) << T(0) << T(0) << T(0);
}

void tst_SampleClock::lateFrames()
{
    QFETCH(double, rate);
    QFETCH(QVector<std::int64_t>, sentUs);
    QFETCH(std::int64_t, nextUs);
    QFETCH(std::int64_t, lateFrames);
    QFETCH(std::int64_t, stalls);
    QFETCH(std::int64_t, skipped);

    SampleClock clock(rate);
    clock.restart(startNs);
    for (std::int64_t us : sentUs)
        clock.frameSent(startNs + us * 1000);
    QCOMPARE(clock.nextDeadlineNs(), startNs + nextUs * 1000);
    QCOMPARE(clock.lateFrames(), lateFrames);
    QCOMPARE(clock.stalls(), stalls);
    QCOMPARE(clock.takeSkippedReport(startNs + sentUs.last() * 1000), skipped);
}

void tst_SampleClock::restartKeepsAPeriodAfterTheLastFrame_data()
{
    QTest::addColumn<std::int64_t>("lastSentUs"); // -1: none yet
    QTest::addColumn<double>("newRate");
    QTest::addColumn<std::int64_t>("restartUs");
    QTest::addColumn<std::int64_t>("firstUs"); // the first deadline of the new run

    // At 1000/s, then at newRate.
    QTest::newRow("no frame yet") << std::int64_t(-1) << 1000.0 << std::int64_t(300) << std::int64_t(300);
    QTest::newRow("last frame a period old") << std::int64_t(0) << 1000.0 << std::int64_t(5000) << std::int64_t(5000);
    QTest::newRow("frame just sent") << std::int64_t(0) << 1000.0 << std::int64_t(300) << std::int64_t(1000);
    QTest::newRow("a slower rate's period") << std::int64_t(0) << 500.0 << std::int64_t(300) << std::int64_t(2000);
    QTest::newRow("a faster rate's period") << std::int64_t(0) << 2000.0 << std::int64_t(300) << std::int64_t(500);
}

// A command restarts the clock (a switch-on, a rate): never a frame sooner
// than a period after the last one, however often it comes.
void tst_SampleClock::restartKeepsAPeriodAfterTheLastFrame()
{
    QFETCH(std::int64_t, lastSentUs);
    QFETCH(double, newRate);
    QFETCH(std::int64_t, restartUs);
    QFETCH(std::int64_t, firstUs);

    SampleClock clock(1000);
    clock.restart(startNs);
    if (lastSentUs >= 0)
        clock.frameSent(startNs + lastSentUs * 1000);
    clock.setRate(newRate);
    clock.restart(startNs + restartUs * 1000);
    QCOMPARE(clock.nextDeadlineNs(), startNs + firstUs * 1000);
}

// Skipped samples are reported at once, then at most once a second, adding
// up those of the stalls in between; none is lost.
void tst_SampleClock::skippedSamplesReportedOnceASecond()
{
    SampleClock clock(1000);
    clock.restart(startNs);
    QCOMPARE(clock.takeSkippedReport(startNs), std::int64_t(0));
    const auto stall = [&clock](std::int64_t lateNs) {
        const std::int64_t sentAt = clock.nextDeadlineNs() + lateNs;
        clock.frameSent(sentAt);
        return sentAt;
    };
    std::int64_t now = stall(30000000);
    QCOMPARE(clock.takeSkippedReport(now), std::int64_t(30));
    now = stall(25000000);
    QCOMPARE(clock.takeSkippedReport(now), std::int64_t(0));
    now = stall(40000000);
    QCOMPARE(clock.takeSkippedReport(now + second / 2), std::int64_t(0));
    QCOMPARE(clock.takeSkippedReport(now + second), std::int64_t(65));
    QCOMPARE(clock.takeSkippedReport(now + 3 * second), std::int64_t(0));
    QCOMPARE(clock.stalls(), std::int64_t(3));
}

QTEST_MAIN(tst_SampleClock)
#include "tst_sampleclock.moc"
