#include "capturetail.h"

#include <QTemporaryDir>
#include <QTest>

class tst_CaptureTail : public QObject
{
    Q_OBJECT

private slots:
    void followsAGrowingCapture();
};

void tst_CaptureTail::followsAGrowingCapture()
{
    struct Step
    {
        const char *what;
        bool truncate;
        QByteArray written;
        QVector<qint64> times; // of the lines read after the step
        bool restarted;
        qint64 cutAtNs;
    };
    const QByteArray header = "time_ns,code,volts,valid_word,power_down,len,speed_hz,bits_per_word,"
                              "delay_usecs,cs_change,tx\n";
    const QVector<Step> steps = {
        {"header and two lines", false, header + "1000,5,0.1,1,0,3,0,0,0,0,000005\n2000,6,0.2,1,0,3,0,0,0,0,000006\n",
         {1000, 2000}, false, -1},
        {"a partial line waits", false, "3000,7,0.3,1,0,3", {}, false, -1},
        {"its end, then part of the next", false, ",0,0,0,0,000007\n40", {3000}, false, -1},
        {"the rest of it", false, "00,8,0.4,1,0,3,0,0,0,0,000008\n", {4000}, false, -1},
        {"nothing new", false, "", {}, false, -1},
        {"cut at its limit", false,
         "# cut at time_ns 5000: 300 bytes reached (VIRTUALDAC_CAPTURE_LIMIT); later transfers not captured\n", {},
         false, 5000},
        {"a new run truncated it", true, header + "10,9,0.5,0,0,2,0,0,0,0,0009\n", {10}, true, -1},
    };

    QTemporaryDir dir;
    CaptureTail tail(dir.filePath("capture.csv"));
    QVERIFY(tail.read().isEmpty()); // no file yet
    QFile file(dir.filePath("capture.csv"));
    for (const Step &step : steps) {
        QVERIFY(file.open(step.truncate ? QIODevice::WriteOnly : QIODevice::Append));
        file.write(step.written);
        file.close();
        const QVector<CaptureLine> lines = tail.read();
        QVector<qint64> times;
        for (const CaptureLine &line : lines)
            times.append(line.timeNs);
        QVERIFY2(times == step.times, step.what);
        QVERIFY2(tail.restarted() == step.restarted, step.what);
        QVERIFY2(tail.cutAtNs() == step.cutAtNs, step.what);
        if (step.restarted) {
            QCOMPARE(lines.first().code, 9);
            QCOMPARE(lines.first().volts, 0.5);
            QVERIFY(!lines.first().validWord);
        }
    }
}

QTEST_MAIN(tst_CaptureTail)
#include "tst_capturetail.moc"
