#include "envelope.h"

#include <QTest>

#include <algorithm>

namespace {

// A wandering line with a rare spike, up or down: buckets differ, and an
// extreme falls anywhere, at a bucket's edge too. A sample file's codes, over
// 32767 too; or a record's values, in 24 bits from -4,000,000 to 4,000,000.
std::shared_ptr<SampleList> wandering(int length, bool wide, QVector<qint32> *values)
{
    auto list = std::make_shared<SampleList>();
    list->wide = wide;
    list->gain = wide ? 1000 : 0;
    const int scale = wide ? 125 : 1;
    quint32 state = 12345;
    int level = 32768;
    for (int i = 0; i < length; ++i) {
        state = state * 1664525u + 1013904223u;
        level = qBound(1000, level + int(state >> 29) - 3, 64000);
        const int spike = (state >> 8) % 199 == 0 ? ((state & 1) ? 1000 : -1000) : 0;
        const qint32 value = (level + spike - (wide ? 32768 : 0)) * scale;
        list->append(&value, 1);
        values->append(value);
    }
    return list;
}

} // namespace

class tst_Envelope : public QObject
{
    Q_OBJECT

private slots:
    void bucketsHoldTheirExtremes_data();
    void bucketsHoldTheirExtremes();
};

void tst_Envelope::bucketsHoldTheirExtremes_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("block"); // codes per append
    QTest::addColumn<qint64>("first");
    QTest::addColumn<qint64>("last");
    QTest::addColumn<int>("buckets");
    QTest::addColumn<bool>("wide");

    QTest::newRow("twice the buckets: every sample") << 1000 << 7 << qint64(100) << qint64(299) << 100 << false;
    QTest::newRow("one more: buckets of 3") << 1000 << 7 << qint64(100) << qint64(300) << 100 << false;
    QTest::newRow("a level's partial last bucket") << 64 * 64 + 7 << 4096 << qint64(0) << qint64(64 * 64 + 6) << 10 << false;
    QTest::newRow("unaligned ends") << 100000 << 1000 << qint64(12345) << qint64(87654) << 37 << false;
    QTest::newRow("appended one by one, one bucket") << 5000 << 1 << qint64(0) << qint64(4999) << 1 << false;
    QTest::newRow("clamped to the signal") << 3000 << 64 << qint64(-50) << qint64(10000) << 20 << false;
    QTest::newRow("a million, a bucket per pixel") << (1 << 20) + 5 << 4093 << qint64(3) << qint64((1 << 20) + 4) << 1281 << false;
    QTest::newRow("past the end: nothing") << 3000 << 64 << qint64(3000) << qint64(4000) << 20 << false;
    QTest::newRow("24-bit values, unaligned ends") << 100000 << 1000 << qint64(12345) << qint64(87654) << 37 << true;
}

// Against the samples read one by one: every bucket's least and greatest code,
// the buckets at most one more than asked, in order, the inner ones on
// multiples of their common length.
void tst_Envelope::bucketsHoldTheirExtremes()
{
    QFETCH(int, length);
    QFETCH(int, block);
    QFETCH(qint64, first);
    QFETCH(qint64, last);
    QFETCH(int, buckets);
    QFETCH(bool, wide);

    QVector<qint32> codes;
    const std::shared_ptr<SampleList> list = wandering(length, wide, &codes);
    Envelope envelope(list);
    for (int at = 0; at < length; at += block)
        envelope.append(std::min(block, length - at));
    QCOMPARE(envelope.size(), qint64(length));

    const QVector<QPointF> points = envelope.points(first, last, buckets);
    first = std::max<qint64>(first, 0);
    last = std::min<qint64>(last, length - 1);
    const qint64 span = last - first + 1;
    if (span <= 0) {
        QVERIFY(points.isEmpty());
        return;
    }
    if (span <= 2 * buckets) {
        QCOMPARE(points.size(), int(span));
        for (int i = 0; i < points.size(); ++i)
            QCOMPARE(points[i], QPointF(first + i, codes[int(first + i)]));
        return;
    }
    QCOMPARE(points.size() % 2, 0);
    QVERIFY(points.size() <= 2 * (buckets + 1));
    QCOMPARE(qint64(points.first().x()), first);
    const qint64 bucketLength = qint64(points.size() > 4 ? points[4].x() - points[2].x() : span);
    for (int i = 0; i < points.size(); i += 2) {
        const qint64 begin = qint64(points[i].x());
        const qint64 end = i + 2 < points.size() ? qint64(points[i + 2].x()) : last + 1;
        QCOMPARE(qint64(points[i + 1].x()), begin);
        QVERIFY2(begin < end && end - begin <= bucketLength, qPrintable(QString::number(begin)));
        if (i > 0)
            QCOMPARE(begin % bucketLength, 0);
        const auto [least, greatest] = std::minmax_element(codes.begin() + begin, codes.begin() + end);
        QCOMPARE(points[i].y(), double(*least));
        QCOMPARE(points[i + 1].y(), double(*greatest));
    }
}

QTEST_MAIN(tst_Envelope)
#include "tst_envelope.moc"
