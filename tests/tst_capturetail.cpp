#include "capturetail.h"
#include "liveview.h"

#include <QApplication>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

namespace {

// Where a window is: its frame's top left, its inside's size.
QRect place(const QWidget &window)
{
    return QRect(window.frameGeometry().topLeft(), window.size());
}

} // namespace

class tst_CaptureTail : public QObject
{
    Q_OBJECT

private slots:
    void followsAGrowingCapture();
    void liveViewPlaced_data();
    void liveViewPlaced();
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

void tst_CaptureTail::liveViewPlaced_data()
{
    QTest::addColumn<QRect>("available");
    QTest::addColumn<QRect>("shown"); // beside the simulator, or over it once opened
    QTest::addColumn<bool>("over");

    QTest::newRow("room beside") << QRect(0, 0, 2203, 666) << QRect(1303, 0, 900, 666) << false;
    QTest::newRow("a wide screen's panel") << QRect(0, 32, 1920, 1048) << QRect(1303, 32, 617, 666) << false;
    QTest::newRow("too narrow beside") << QRect(0, 0, 1782, 700) << QRect(0, 0, 1303, 666) << true;
    QTest::newRow("the touch display") << QRect(0, 0, 800, 480) << QRect(0, 0, 800, 480) << true;
}

// Beside the simulator's window, or over it: a tab at first, opened by a
// run's first frame or a press, folded again by "Retour au simulateur".
void tst_CaptureTail::liveViewPlaced()
{
    QFETCH(QRect, available);
    QFETCH(QRect, shown);
    QFETCH(bool, over);

    QTemporaryDir dir;
    const QString path = dir.filePath("capture.csv");
    LiveView view(path);
    view.place(available);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    auto *button = view.findChild<QPushButton *>();
    QCOMPARE(bool(button), over);
    if (!over) {
        QCOMPARE(place(view), shown);
        return;
    }
    const QRect tab(available.topLeft() + QPoint(8, 8), QSize(210, 48));
    QCOMPARE(place(view), tab);
    QCOMPARE(button->text(), QString("DAC virtuel : voir la sortie"));
    QCOMPARE(button->geometry(), view.rect());
    QVERIFY(view.windowFlags() & Qt::WindowStaysOnTopHint);

    QFile capture(path);
    QVERIFY(capture.open(QIODevice::WriteOnly));
    capture.write("time_ns,code,volts,valid_word,power_down,len,speed_hz,bits_per_word,delay_usecs,cs_change,tx\n"
                  "1000,32768,2.5,1,0,3,0,0,0,0,008000\n");
    capture.close();
    QTRY_COMPARE_WITH_TIMEOUT(place(view), shown, 5000);
    QCOMPARE(button->text(), QString("Retour au simulateur"));
    QVERIFY(view.rect().contains(button->geometry()));
    QTest::mouseClick(button, Qt::LeftButton);
    QCOMPARE(place(view), tab);
    QTest::mouseClick(button, Qt::LeftButton);
    QCOMPARE(place(view), shown);
}

QTEST_MAIN(tst_CaptureTail)
#include "tst_capturetail.moc"
