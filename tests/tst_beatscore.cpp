#include "beatscore.h"
#include "testsupport.h"

#include <QTest>

namespace {


// True positives, false negatives and false positives.
QVector<qint64> counts(const BeatScore &score)
{
    return {score.truePositives(), score.falseNegatives(), score.falsePositives()};
}

BeatScoreSettings at(double rate, double learningSeconds, qint64 endSample = -1)
{
    BeatScoreSettings settings;
    settings.sampleRate = rate;
    settings.learningSeconds = learningSeconds;
    settings.endSample = endSample;
    return settings;
}

} // namespace

class tst_BeatScore : public QObject
{
    Q_OBJECT

private slots:
    void missesAndExtras_data();
    void missesAndExtras();
    void pairing_data();
    void pairing();
    void classes_data();
    void classes();
    void flutterEpisode();
    void delay_data();
    void delay();
    void reports();
};

void tst_BeatScore::missesAndExtras_data()
{
    QTest::addColumn<double>("rate");
    QTest::addColumn<double>("learningSeconds");

    QTest::newRow("360 Hz, 5 min learning") << 360.0 << 300.0;
    QTest::newRow("250 Hz, 5 min learning") << 250.0 << 300.0;
    QTest::newRow("360 Hz, no learning") << 360.0 << 0.0;
}

// A beat every 300 samples; the detector 10 samples late, missing every 50th
// beat and adding a detection halfway after every 70th.
void tst_BeatScore::missesAndExtras()
{
    QFETCH(double, rate);
    QFETCH(double, learningSeconds);

    const qint64 start = qRound64(learningSeconds * rate);
    QVector<qint64> refs, dets;
    qint64 tp = 0, fn = 0, fp = 0;
    for (int k = 0; k < 1500; ++k) {
        const qint64 beat = 150 + 300 * qint64(k);
        refs.append(beat);
        const bool scored = beat >= start;
        if (k % 50 == 49) {
            fn += scored;
        } else {
            dets.append(beat + 10);
            tp += scored;
        }
        if (k % 70 == 69) {
            dets.append(beat + 150);
            fp += beat + 150 >= start;
        }
    }
    const BeatScore score = BeatScore::compare(normalBeats(refs), dets, at(rate, learningSeconds));
    QCOMPARE(counts(score), (QVector<qint64>{tp, fn, fp}));
    QCOMPARE(*score.sensitivity(), 100.0 * tp / (tp + fn));
    QCOMPARE(*score.positivePredictivity(), 100.0 * tp / (tp + fp));
}

void tst_BeatScore::pairing_data()
{
    QTest::addColumn<QVector<qint64>>("refs");
    QTest::addColumn<QVector<qint64>>("dets");
    QTest::addColumn<double>("learningSeconds");
    QTest::addColumn<qint64>("tp");
    QTest::addColumn<qint64>("fn");
    QTest::addColumn<qint64>("fp");
    QTest::addColumn<double>("maxDelayMs");

    // At 1000 Hz: a sample is a millisecond, the window 150 samples; the record 10 s long.
    using V = QVector<qint64>;
    QTest::newRow("late at the window's edge") << V{1000} << V{1150} << 0.0 << 1LL << 0LL << 0LL << 150.0;
    QTest::newRow("late past the window") << V{1000} << V{1151} << 0.0 << 0LL << 1LL << 1LL << 0.0;
    QTest::newRow("early at the window's edge") << V{1000} << V{850} << 0.0 << 1LL << 0LL << 0LL << -150.0;
    QTest::newRow("early past the window") << V{1000} << V{849} << 0.0 << 0LL << 1LL << 1LL << 0.0;
    // Between two references the nearer takes it; the other is missed.
    QTest::newRow("nearer the first") << V{1000, 1100} << V{1040} << 0.0 << 1LL << 1LL << 0LL << 40.0;
    QTest::newRow("nearer the second") << V{1000, 1100} << V{1060} << 0.0 << 1LL << 1LL << 0LL << -40.0;
    QTest::newRow("halfway: the second") << V{1000, 1100} << V{1050} << 0.0 << 1LL << 1LL << 0LL << -50.0;
    // A reference beat is taken once: the nearer detection, the other is extra.
    QTest::newRow("two detections, one beat") << V{1000} << V{990, 1005} << 0.0 << 1LL << 0LL << 1LL << 5.0;
    QTest::newRow("two detections as near: the later") << V{1000} << V{950, 1050} << 0.0 << 1LL << 0LL << 1LL << 50.0;
    // The learning period: nothing before its end counts, but its last
    // detection may answer the first beat after it.
    QTest::newRow("learning hides misses and extras")
            << V{500, 1500, 2500, 3500} << V{700, 2500, 3500} << 2.0 << 2LL << 0LL << 0LL << 0.0;
    QTest::newRow("no learning") << V{500, 1500, 2500, 3500} << V{700, 2500, 3500} << 0.0 << 2LL << 2LL << 1LL << 0.0;
    QTest::newRow("answered from the learning period") << V{2010} << V{1990} << 2.0 << 1LL << 0LL << 0LL << -20.0;
    QTest::newRow("first detection bettered by the next")
            << V{2120} << V{2040, 2110} << 2.0 << 1LL << 0LL << 0LL << -10.0;
    QTest::newRow("after the record's end") << V{1000} << V{1000, 10001} << 0.0 << 1LL << 0LL << 0LL << 0.0;
}

void tst_BeatScore::pairing()
{
    QFETCH(QVector<qint64>, refs);
    QFETCH(QVector<qint64>, dets);
    QFETCH(double, learningSeconds);
    QFETCH(qint64, tp);
    QFETCH(qint64, fn);
    QFETCH(qint64, fp);
    QFETCH(double, maxDelayMs);

    const BeatScore score = BeatScore::compare(normalBeats(refs), dets, at(1000.0, learningSeconds, 10000));
    QCOMPARE(counts(score), (QVector<qint64>{tp, fn, fp}));
    QCOMPARE(score.delay().count, int(tp));
    QCOMPARE(score.delay().maxMs, maxDelayMs);
}

void tst_BeatScore::classes_data()
{
    QTest::addColumn<char>("label");
    QTest::addColumn<bool>("answered");
    QTest::addColumn<qint64>("tp");
    QTest::addColumn<qint64>("fn");
    QTest::addColumn<qint64>("fp");
    QTest::addColumn<QString>("line"); // sumstats' columns Nn' Vn' Fn' On' ... No' Vo' Fo'

    QTest::newRow("V found") << 'V' << true << 1LL << 0LL << 0LL << "     0   1   0   0   0    0   0   0   0   0   0";
    QTest::newRow("F missed") << 'F' << false << 0LL << 1LL << 0LL << "     0   0   0   0   0    0   0   0   0   0   1";
    QTest::newRow("paced found") << '/' << true << 1LL << 0LL << 0LL << "     0   0   1   0   0    0   0   0   0   0   0";
    // A beat EC57 does not class: a detection on it is counted false, missing it nothing.
    QTest::newRow("flutter wave found") << '!' << true << 0LL << 0LL << 1LL
                                        << "     0   0   0   1   0    0   0   0   0   0   0";
    QTest::newRow("flutter wave missed") << '!' << false << 0LL << 0LL << 0LL
                                         << "     0   0   0   0   0    0   0   0   0   0   0";
}

void tst_BeatScore::classes()
{
    QFETCH(char, label);
    QFETCH(bool, answered);
    QFETCH(qint64, tp);
    QFETCH(qint64, fn);
    QFETCH(qint64, fp);
    QFETCH(QString, line);

    QVector<Annotation> refs = normalBeats({1000});
    refs[0].label = label;
    const BeatScore score = BeatScore::compare(refs, answered ? QVector<qint64>{1000} : QVector<qint64>{},
                                               at(1000.0, 0.0, 2000));
    QCOMPARE(counts(score), (QVector<qint64>{tp, fn, fp}));
    QCOMPARE(sumstatsReport({{"x", score}}).split('\n').value(1).mid(4, 47), line);
}

// Between [ and ] of the reference nothing is scored: its beats, the
// detections on them or beside them, to its ends.
void tst_BeatScore::flutterEpisode()
{
    QVector<Annotation> refs = normalBeats({1000, 2000, 2500, 3000, 4000});
    refs[1].label = '[', refs[1].isBeat = false;
    refs[2].label = '!';
    refs[3].label = ']', refs[3].isBeat = false;
    const BeatScore score = BeatScore::compare(refs, {1000, 2500, 3000, 4000}, at(1000.0, 0.0, 5000));
    QCOMPARE(counts(score), (QVector<qint64>{2, 0, 0}));
}

void tst_BeatScore::delay_data()
{
    QTest::addColumn<double>("rate");
    QTest::addColumn<QVector<int>>("delays"); // in samples, one a beat
    QTest::addColumn<double>("medianMs");
    QTest::addColumn<double>("p95Ms");
    QTest::addColumn<double>("maxMs");

    QTest::newRow("constant 100 ms") << 360.0 << QVector<int>(400, 36) << 100.0 << 100.0 << 100.0;
    QVector<int> spread;
    for (int d = 100; d >= 1; --d)
        spread.append(d);
    QTest::newRow("1 to 100 ms") << 1000.0 << spread << 50.5 << 95.0 << 100.0;
}

void tst_BeatScore::delay()
{
    QFETCH(double, rate);
    QFETCH(QVector<int>, delays);
    QFETCH(double, medianMs);
    QFETCH(double, p95Ms);
    QFETCH(double, maxMs);

    QVector<qint64> refs, dets;
    for (int k = 0; k < delays.size(); ++k) {
        // Irregular beats, far apart.
        refs.append(qint64(k) * qRound64(rate) + (k % 3) * 7);
        dets.append(refs.last() + delays[k]);
    }
    const BeatScore::Delay d = BeatScore::compare(normalBeats(refs), dets, at(rate, 0.0)).delay();
    QCOMPARE(d.count, delays.size());
    QCOMPARE(d.medianMs, medianMs);
    QCOMPARE(d.p95Ms, p95Ms);
    QCOMPARE(d.maxMs, maxMs);
}

void tst_BeatScore::reports()
{
    // 90 beats all found; 10 beats, 5 found and 2 extra detections.
    QVector<qint64> refs, dets;
    for (int k = 0; k < 90; ++k)
        refs.append(1000 * k), dets.append(1000 * k);
    const BeatScore all = BeatScore::compare(normalBeats(refs), dets, at(1000.0, 0.0));
    refs.resize(10), dets.resize(5);
    dets << 5500 << 6500;
    const BeatScore half = BeatScore::compare(normalBeats(refs), dets, at(1000.0, 0.0));

    const QString report = bxbReport(half, "100", "atr", "det");
    QVERIFY(report.startsWith("Beat-by-beat comparison results for record 100\n"
                              "Reference annotator: atr\n     Test annotator: det\n\n"));
    QVERIFY(report.contains(" N |    5    0    0    0    5    0\n"));
    QVERIFY(report.contains(" O |    2    0    0    0\n"));
    QVERIFY(report.contains("           QRS sensitivity:  50.00% (5/10)\n"));
    QVERIFY(report.contains(" QRS positive predictivity:  71.43% (5/7)\n"));
    QVERIFY(report.endsWith("\nRetard de détection (ms): médiane 0.0, p95 0.0, max 0.0 (5 battements)\n"));

    const QStringList lines = sumstatsReport({{"100", all}, {"101", half}}).split('\n');
    QCOMPARE(lines.value(1), QString(" 100    90   0   0   0   0    0   0   0   0   0   0 100.00 100.00      -      -  0.000"));
    QCOMPARE(lines.value(2), QString(" 101     5   0   0   2   0    0   0   0   5   0   0  50.00  71.43      -      -  0.000"));
    QCOMPARE(lines.value(4), QString("Sum      95   0   0   2   0    0   0   0   5   0   0"));
    // Gross: of all beats together; average: of the records' own statistics.
    QVERIFY(lines.value(5).startsWith("Gross  ") && lines.value(5).endsWith("  95.00  97.94      -      -  0.000"));
    QVERIFY(lines.value(6).startsWith("Average") && lines.value(6).endsWith("  75.00  85.71      -      -  0.000"));
    QCOMPARE(lines.value(7), QString("Total QRS complexes: 100  Total VEBs: 0"));
}

QTEST_APPLESS_MAIN(tst_BeatScore)
#include "tst_beatscore.moc"
