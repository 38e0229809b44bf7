#include "fakespidev.h"
#include "spidev.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <time.h>

namespace {

constexpr SpiConfig dacConfig{1, 8, 100000, 0};

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
    void wireTimeAtLeastTheBits_data();
    void wireTimeAtLeastTheBits();
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
        const std::uint8_t frame[3] = {0x00, 0x01, 0xF4};
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
    const std::uint8_t frame[3] = {0, 0, 0};
    const std::int64_t start = monotonicNs();
    device.write(frame, 3);
    QVERIFY(fakespidev::transfers().at(0).timeNs - start >= minimumNs);
}

QTEST_MAIN(tst_VirtualDac)
#include "tst_virtualdac.moc"
