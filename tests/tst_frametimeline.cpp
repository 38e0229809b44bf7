#include "frametimeline.h"

#include <QTest>

Q_DECLARE_METATYPE(FrameTimeline::Placement::Kind)

namespace {

constexpr std::int64_t ms = 1000000;
constexpr std::int64_t settleNs = 300 * ms;

} // namespace

class tst_FrameTimeline : public QObject
{
    Q_OBJECT

private slots:
    void placement_data();
    void placement();
};

void tst_FrameTimeline::placement_data()
{
    QTest::addColumn<int>("capacity");
    QTest::addColumn<double>("edgeMs");
    QTest::addColumn<double>("nowMs");
    QTest::addColumn<FrameTimeline::Placement::Kind>("kind");
    QTest::addColumn<int>("pass");
    QTest::addColumn<int>("sample");

    using P = FrameTimeline::Placement;
    QTest::newRow("before any frame") << 16 << 5.0 << 500.0 << P::WhileOff << 0 << -1;
    QTest::newRow("at a frame's time") << 16 << 12.0 << 500.0 << P::OnFrame << 1 << 6;
    QTest::newRow("between frames: the earlier") << 16 << 11.9 << 500.0 << P::OnFrame << 1 << 5;
    QTest::newRow("while paused") << 16 << 15.0 << 500.0 << P::WhileOff << 0 << -1;
    QTest::newRow("a pause keeps the pass") << 16 << 21.0 << 500.0 << P::OnFrame << 1 << 7;
    QTest::newRow("a loop starts a pass") << 16 << 23.0 << 500.0 << P::OnFrame << 2 << 0;
    QTest::newRow("after the last frame, fresh") << 16 << 25.0 << 25.1 << P::Pending << 0 << -1;
    QTest::newRow("after the last frame, settled: a seek's pass") << 16 << 25.0 << 400.0 << P::OnFrame << 3 << 3;
    QTest::newRow("older than every frame kept") << 4 << 11.0 << 500.0 << P::Lost << 0 << -1;
    QTest::newRow("the oldest kept, a halt") << 4 << 15.0 << 500.0 << P::WhileOff << 0 << -1;
    QTest::newRow("pass of the oldest frame kept") << 4 << 20.5 << 500.0 << P::OnFrame << 1 << 7;
}

void tst_FrameTimeline::placement()
{
    QFETCH(int, capacity);
    QFETCH(double, edgeMs);
    QFETCH(double, nowMs);
    QFETCH(FrameTimeline::Placement::Kind, kind);
    QFETCH(int, pass);
    QFETCH(int, sample);

    const SampleList record;
    const SampleList *const list = &record;
    FrameTimeline timeline{std::size_t(capacity)};
    timeline.halted(1 * ms); // before any frame: nothing to end
    timeline.frameSent(10 * ms, list, 1, 1, 0, 5);
    timeline.frameSent(12 * ms, list, 1, 1, 0, 6);
    timeline.halted(13 * ms);
    timeline.halted(14 * ms);
    timeline.frameSent(20 * ms, list, 1, 1, 0, 7);
    timeline.frameSent(22 * ms, list, 1, 1, 1, 0);
    timeline.frameSent(24 * ms, list, 1, 2, 1, 3);

    const FrameTimeline::Placement placed =
        timeline.place(std::int64_t(edgeMs * ms), std::int64_t(nowMs * ms), settleNs);
    QCOMPARE(placed.kind, kind);
    QCOMPARE(int(placed.pass.number), pass);
    QCOMPARE(placed.sample, qint64(sample));
    if (kind == FrameTimeline::Placement::OnFrame)
        QCOMPARE(placed.pass.list, list);
    QCOMPARE(timeline.lastPass().number, quint64(3));
    QCOMPARE(timeline.lastPass().firstSample, qint64(3));
}

QTEST_MAIN(tst_FrameTimeline)
#include "tst_frametimeline.moc"
