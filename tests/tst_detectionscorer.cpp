#include "detectionscorer.h"
#include "fakegpio.h"
#include "fakemonitor.h"
#include "playback.h"
#include "testsupport.h"

#include <QDir>
#include <QTest>

namespace {

constexpr double rate = 500;
constexpr int firstBeat = 50;
constexpr int rrSamples = 175; // 0.35 s, over twice the 150 ms window
constexpr unsigned int syncLine = 5;
constexpr unsigned int monitorLine = 6;
// A pass of some seconds, its end waited for after it.
constexpr int passWaitMs = 30000;

QVector<qint64> beatSamples(int beats)
{
    QVector<qint64> samples;
    for (int k = 0; k < beats; ++k)
        samples.append(firstBeat + k * rrSamples);
    return samples;
}

} // namespace

class tst_DetectionScorer : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void scoresAPass_data();
    void scoresAPass();
    void passesEndInOrder();

private:
    SampleFiles files;
};

void tst_DetectionScorer::init()
{
    fakespidev::reset();
    fakegpio::reset();
}

void tst_DetectionScorer::cleanup()
{
    fakemonitor::configure({});
}

void tst_DetectionScorer::scoresAPass_data()
{
    QTest::addColumn<int>("beats");
    QTest::addColumn<bool>("echoSync");
    QTest::addColumn<int>("delayMs");
    QTest::addColumn<int>("missEvery"); // the monitor misses the beats k of k % missEvery == missEvery - 1
    QTest::addColumn<int>("addEvery");  // and adds a detection half an RR after those of k % addEvery == addEvery - 1
    QTest::addColumn<QVector<qint64>>("counts"); // TP, FN, FP

    // The sync pulse rises after its beat's frame: echoed at once, each
    // detection falls on its beat's own sample.
    QTest::newRow("sync echoed at once") << 6 << true << 0 << 0 << 0 << QVector<qint64>{6, 0, 0};
    QTest::newRow("sync echoed 40 ms later") << 6 << true << 40 << 0 << 0 << QVector<qint64>{6, 0, 0};
    QTest::newRow("listed: misses and extras") << 15 << false << 10 << 5 << 7 << QVector<qint64>{12, 3, 2};
}

void tst_DetectionScorer::scoresAPass()
{
    QFETCH(int, beats);
    QFETCH(bool, echoSync);
    QFETCH(int, delayMs);
    QFETCH(int, missEvery);
    QFETCH(int, addEvery);
    QFETCH(QVector<qint64>, counts);

    static int records = 0;
    const QString name = QString("rec%1").arg(++records);
    const QString header = writeBeatRecord(files, name, rate, firstBeat + beats * rrSamples, beatSamples(beats));
    fakemonitor::Settings monitor;
    monitor.echoSync = echoSync;
    monitor.delayNs = std::int64_t(delayMs) * 1000000;
    monitor.line = monitorLine;
    QVector<qint64> answered;
    const QVector<qint64> reference = beatSamples(beats);
    for (int k = 0; k < beats; ++k) {
        if (!missEvery || k % missEvery != missEvery - 1)
            answered.append(reference[k]);
        if (addEvery && k % addEvery == addEvery - 1)
            answered.append(reference[k] + rrSamples / 2);
    }
    // Listed: frames counted from the first, sample 0.
    for (const qint64 sample : answered) {
        if (!echoSync)
            monitor.frames.push_back(std::uint64_t(sample));
    }
    fakemonitor::configure(monitor);

    OutputSettings settings("/dev/spidev0.0", rate);
    settings.syncLine = QString("gpiochip0:%1").arg(syncLine);
    settings.detectLine = QString("gpiochip0:%1").arg(monitorLine);
    settings.detectFolder = QFileInfo(header).path();
    settings.scoreFromSeconds = 0;
    Playback playback(settings);
    bool chosen = false;
    playback.choose(header, QString(), Playback::When::AtOnce, [&](const Refusal &refusal) {
        QVERIFY2(!refusal, qPrintable(refusal.reason));
        chosen = true;
    });
    QVERIFY(QTest::qWaitFor([&] { return chosen; }, waitMs));
    const Refusal started = playback.start(Playback::Unmarked::DoNotStart);
    QVERIFY2(!started, qPrintable(started.reason));
    QVERIFY(playback.detections());
    std::optional<BeatScore> scored;
    QString written;
    connect(playback.detections(), &DetectionScorer::passEnded, this,
            [&](const QString &record, const QString &path, const BeatScore &score) {
                QCOMPARE(record, name);
                if (!scored)
                    scored = score, written = path;
            });
    playback.setPlaying(true);
    QVERIFY(QTest::qWaitFor([&] { return scored.has_value(); }, passWaitMs));

    QCOMPARE((QVector<qint64>{scored->truePositives(), scored->falseNegatives(), scored->falsePositives()}), counts);
    // Placed on the last frame before each edge: never after the edge, and
    // before it by up to a period, or more for a busy machine's late frames.
    const BeatScore::Delay delay = scored->delay();
    if (delayMs > 0)
        QVERIFY2(delay.medianMs > 0 && delay.medianMs <= delayMs, qPrintable(QString::number(delay.medianMs)));

    // The file as written: a detection each, read back.
    QCOMPARE(written, QDir(settings.detectFolder).filePath(name + ".det"));
    QVector<Annotation> readBack;
    QString error;
    QVERIFY2(readAnnotations(QDir(settings.detectFolder).filePath(name + ".hea"), "det", &readBack, &error),
             qPrintable(error));
    QVector<qint64> samples;
    for (const Annotation &annotation : readBack) {
        if (annotation.isBeat)
            samples.append(annotation.sample);
    }
    QCOMPARE(samples.size(), answered.size());
    if (echoSync && delayMs == 0)
        QCOMPARE(samples, answered);
    QVERIFY(QFileInfo(written + ".report").size() > 0);
    QFile times(written + ".times");
    QVERIFY(times.open(QIODevice::ReadOnly));
    QCOMPARE(times.readAll().count('\n'), answered.size() + 2);
}

// A stop and a start at once, then the program's end mid-pass: each pass is
// written whole, in order, as a partial one, and no detection is lost.
void tst_DetectionScorer::passesEndInOrder()
{
    const QVector<qint64> beats = beatSamples(12);
    const QString header = writeBeatRecord(files, "cut", rate, firstBeat + 12 * rrSamples, beats);
    fakemonitor::Settings monitor;
    monitor.echoSync = true;
    monitor.line = monitorLine;
    fakemonitor::configure(monitor);
    OutputSettings settings("/dev/spidev0.0", rate);
    settings.syncLine = QString("gpiochip0:%1").arg(syncLine);
    settings.detectLine = QString("gpiochip0:%1").arg(monitorLine);
    settings.detectFolder = QFileInfo(header).path();
    qint64 placed = 0;
    {
        Playback playback(settings);
        bool chosen = false;
        playback.choose(header, QString(), Playback::When::AtOnce, [&](const Refusal &) { chosen = true; });
        QVERIFY(QTest::qWaitFor([&] { return chosen; }, waitMs));
        QVERIFY(!playback.start(Playback::Unmarked::DoNotStart));
        playback.setPlaying(true);
        QVERIFY(QTest::qWaitFor([&] { return playback.detections()->placed() >= 3; }, passWaitMs));
        playback.stop();
        playback.setPlaying(true);
        QVERIFY(QTest::qWaitFor([&] { return playback.detections()->placed() >= 8; }, passWaitMs));
        playback.setPlaying(false);
        QTest::qWait(50);
        placed = playback.detections()->placed();
        QCOMPARE(playback.detections()->lost(), qint64(0));
    }

    QVector<qint64> written;
    for (const QString &annotator : QStringList{"det", "det2"}) {
        QVERIFY2(QFile::exists(files.path("cut." + annotator + ".partial")), qPrintable(annotator));
        QVERIFY(!QFile::exists(files.path("cut." + annotator + ".report")));
        QVector<Annotation> pass;
        QString error;
        QVERIFY2(readAnnotations(header, annotator, &pass, &error), qPrintable(error));
        // Each pass from the record's first beat on, every beat answered on its sample.
        for (int k = 0; k < pass.size(); ++k)
            QCOMPARE(pass[k].sample, beats[k]);
        for (const Annotation &detection : pass)
            written.append(detection.sample);
    }
    QVERIFY(!QFile::exists(files.path("cut.det3")));
    QCOMPARE(qint64(written.size()), placed);
}

QTEST_MAIN(tst_DetectionScorer)
#include "tst_detectionscorer.moc"
