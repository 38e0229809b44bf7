#include "capturefile.h"
#include "fakespidev.h"
#include "spidev.h"
#include "testsupport.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <thread>

#include <time.h>

namespace {

constexpr SpiConfig dacConfig{1, 8, 100000, 0};
// Code 500, as the DAC takes it.
constexpr std::uint8_t frame[3] = {0x00, 0x01, 0xF4};

std::int64_t monotonicNs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

} // namespace

class tst_VirtualDac : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void inputWords_data();
    void inputWords();
    void captureLines();
    void captureStopsAtItsLimit();
    void wireTimeAtLeastTheBits_data();
    void wireTimeAtLeastTheBits();
    void transfersHangFromTheirIndex();
};

void tst_VirtualDac::init()
{
    fakespidev::reset();
}

void tst_VirtualDac::inputWords_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("validWord");
    QTest::addColumn<int>("powerDown");
    QTest::addColumn<int>("code");
    QTest::addColumn<double>("volts");

    QTest::newRow("500") << QByteArray::fromHex("0001f4") << true << 0 << 500 << 5.0 * 500 / 65536;
    QTest::newRow("full scale") << QByteArray::fromHex("00ffff") << true << 0 << 65535 << 5.0 * 65535 / 65536;
    QTest::newRow("don't-care bits ignored") << QByteArray::fromHex("fc8000") << true << 0 << 32768 << 2.5;
    QTest::newRow("power-down open") << QByteArray::fromHex("038000") << true << 3 << 32768 << 0.0;
    // Not a 24-bit word: the output keeps the level of the word before (code 1000).
    QTest::newRow("two bytes") << QByteArray::fromHex("0001") << false << 0 << 1000 << 5.0 * 1000 / 65536;
    QTest::newRow("four bytes") << QByteArray::fromHex("00010203") << false << 0 << 1000 << 5.0 * 1000 / 65536;
}

void tst_VirtualDac::inputWords()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, validWord);
    QFETCH(int, powerDown);
    QFETCH(int, code);
    QFETCH(double, volts);

    SpiDev device(fakespidev::defaultPath, &dacConfig);
    QVERIFY(device.open());
    const std::uint8_t before[3] = {0x00, 0x03, 0xE8};
    QCOMPARE(device.write(before, 3), 3);
    QCOMPARE(device.write(reinterpret_cast<const std::uint8_t *>(bytes.constData()), bytes.size()), bytes.size());

    const Dac8551Output output = fakespidev::dacOutput();
    QCOMPARE(output.validWord, validWord);
    QCOMPARE(output.powerDown, powerDown);
    QCOMPARE(int(output.code), code);
    QCOMPARE(output.volts, volts);
}

void tst_VirtualDac::captureLines()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("capture.csv");
    QVERIFY(fakespidev::setCapture(qPrintable(path)));
    {
        SpiDev device(fakespidev::defaultPath, &dacConfig);
        QVERIFY(device.open());
        device.write(frame, 3);
        device.write(frame, 2);
    }
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly | QIODevice::Text));
    const QList<QByteArray> lines = file.readAll().split('\n');
    QCOMPARE(lines.value(0), QByteArray("time_ns,code,volts,valid_word,power_down,len,speed_hz,bits_per_word,"
                                        "delay_usecs,cs_change,tx"));
    const QList<QByteArray> word = lines.value(1).split(',');
    QCOMPARE(word.mid(1), (QList<QByteArray>{"500", "0.038147", "1", "0", "3", "0", "0", "0", "0", "0001f4"}));
    const QList<QByteArray> notAWord = lines.value(2).split(',');
    QCOMPARE(notAWord.mid(1), (QList<QByteArray>{"500", "0.038147", "0", "0", "2", "0", "0", "0", "0", "0001"}));
    QVERIFY(word.value(0).toLongLong() > 0);
    QVERIFY(notAWord.value(0).toLongLong() >= word.value(0).toLongLong());
    QVERIFY(!fakespidev::setCapture(qPrintable(dir.filePath("missing/capture.csv"))));
}

// Past its limit the capture ends with a line saying so, and grows no more;
// transfers go on.
void tst_VirtualDac::captureStopsAtItsLimit()
{
    constexpr qint64 limit = 300;
    QTemporaryDir dir;
    QFile file(dir.filePath("capture.csv"));
    fakespidev::setCaptureLimit(limit);
    QVERIFY(fakespidev::setCapture(qPrintable(file.fileName())));
    SpiDev device(fakespidev::defaultPath, &dacConfig);
    QVERIFY(device.open());
    qint64 sizeAtCut = 0;
    for (int i = 0; i < 40; ++i) {
        QCOMPARE(device.write(frame, 3), 3);
        if (i == 19)
            sizeAtCut = file.size();
    }
    QCOMPARE(file.size(), sizeAtCut);
    QCOMPARE(fakespidev::transferCount(), std::size_t(40));

    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray content = file.readAll();
    const int cutLine = content.lastIndexOf('\n', -2) + 1;
    QVERIFY2(content.mid(cutLine).startsWith(captureCutPrefix), content.constData());
    // Up to the line that reached the limit.
    QVERIFY2(cutLine >= limit && cutLine < limit + 64, content.constData());
}

void tst_VirtualDac::wireTimeAtLeastTheBits_data()
{
    QTest::addColumn<quint32>("hz");
    QTest::addColumn<qint64>("minimumNs");

    QTest::newRow("100 kHz, 24 bits") << 100000u << qint64(240000);
    QTest::newRow("1 MHz, 24 bits") << 1000000u << qint64(24000);
}

void tst_VirtualDac::wireTimeAtLeastTheBits()
{
    QFETCH(quint32, hz);
    QFETCH(qint64, minimumNs);

    // A lower bound only: a slow machine takes longer, never shorter.
    fakespidev::setWireTime(true);
    const SpiConfig config{1, 8, hz, 0};
    SpiDev device(fakespidev::defaultPath, &config);
    QVERIFY(device.open());
    const std::uint8_t zero[3] = {0, 0, 0};
    const std::int64_t start = monotonicNs();
    device.write(zero, 3);
    QVERIFY(fakespidev::transfers().at(0).timeNs - start >= minimumNs);
}

// A wedged controller: the transfer does not return, while the node goes on
// answering everything else, until released.
void tst_VirtualDac::transfersHangFromTheirIndex()
{
    fakespidev::hangTransfers(2);
    SpiDev device(fakespidev::defaultPath, &dacConfig);
    QVERIFY(device.open());
    QCOMPARE(device.write(frame, 3), 3);
    QCOMPARE(device.write(frame, 3), 3);
    std::atomic<int> wedgedResult{0};
    std::thread wedged([&] { wedgedResult = device.write(frame, 3); });

    QTest::qWait(200);
    const int resultWhileHung = wedgedResult;
    const std::size_t countWhileHung = fakespidev::transferCount();
    bool otherOpened = false;
    {
        SpiDev other(fakespidev::defaultPath, &dacConfig);
        otherOpened = other.open();
    }
    const int closesWhileHung = fakespidev::closeCount();

    fakespidev::hangTransfers(SIZE_MAX);
    const bool endedOnRelease = QTest::qWaitFor([&] { return wedgedResult != 0; }, waitMs);
    if (endedOnRelease)
        wedged.join();
    else
        wedged.detach();
    QCOMPARE(resultWhileHung, 0);
    QCOMPARE(countWhileHung, std::size_t(2));
    QVERIFY(otherOpened);
    QCOMPARE(closesWhileHung, 1);
    QVERIFY(endedOnRelease);
    QCOMPARE(wedgedResult.load(), 3);
}

QTEST_MAIN(tst_VirtualDac)
#include "tst_virtualdac.moc"
