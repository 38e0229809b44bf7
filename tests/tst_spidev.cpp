#include "fakespidev.h"
#include "spidev.h"

#include <QTest>

#include <cerrno>
#include <memory>

#include <fcntl.h>

namespace {

constexpr SpiConfig workerConfig{1, 8, 100000, 0};

const std::vector<unsigned long> settingCodes = {0x40016B01, 0x80016B01, 0x40016B03,
                                                 0x80016B03, 0x40046B04, 0x80046B04};

std::vector<unsigned long> requestCodes()
{
    std::vector<unsigned long> codes;
    for (const fakespidev::Request &request : fakespidev::requests())
        codes.push_back(request.code);
    return codes;
}

} // namespace

bool operator==(const SpiConfig &a, const SpiConfig &b)
{
    return a.mode == b.mode && a.bitsPerWord == b.bitsPerWord && a.speed == b.speed && a.delay == b.delay;
}

Q_DECLARE_METATYPE(SpiConfig)

class tst_SpiDev : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void openHandsOverSettingsInOrder();
    void openFailures_data();
    void openFailures();
    void refusedRequestClosesOnce_data();
    void refusedRequestClosesOnce();
    void transferRecords_data();
    void transferRecords();
};

void tst_SpiDev::init()
{
    fakespidev::reset();
}

void tst_SpiDev::openHandsOverSettingsInOrder()
{
    SpiDev device(fakespidev::defaultPath, &workerConfig);
    QVERIFY(device.open());
    QVERIFY(device.opened());
    QCOMPARE(fakespidev::openFlags(), O_RDWR);
    QCOMPARE(requestCodes(), settingCodes);
    const std::uint32_t values[] = {1, 1, 8, 8, 100000, 100000};
    for (std::size_t i = 0; i < settingCodes.size(); ++i)
        QCOMPARE(fakespidev::requests()[i].value, values[i]);

    // Open already: nothing is done again.
    QVERIFY(device.open());
    QCOMPARE(fakespidev::openCount(), 1);
    QCOMPARE(fakespidev::requests().size(), settingCodes.size());
}

void tst_SpiDev::openFailures_data()
{
    QTest::addColumn<bool>("absentPath");
    QTest::addColumn<int>("error");

    QTest::newRow("node missing") << false << ENOENT;
    QTest::newRow("permission denied") << false << EACCES;
}

void tst_SpiDev::openFailures()
{
    QFETCH(bool, absentPath);
    QFETCH(int, error);

    fakespidev::setOpenError(error);
    {
        SpiDev device(absentPath ? nullptr : fakespidev::defaultPath, &workerConfig);
        QVERIFY(!device.open());
        QVERIFY(!device.opened());
        std::uint8_t frame[3] = {};
        QCOMPARE(device.write(frame, 3), -1);
        QVERIFY(!device.setSpeed(1000));
    }
    QCOMPARE(fakespidev::openCount(), 0);
    QCOMPARE(fakespidev::closeCount(), 0);
    QVERIFY(fakespidev::requests().empty());
}

void tst_SpiDev::refusedRequestClosesOnce_data()
{
    QTest::addColumn<int>("refused");
    QTest::addColumn<SpiConfig>("recordAfter");

    // Read-backs that went through hold the driver's values (overridden here);
    // the fields after the refused request keep what was asked for.
    QTest::newRow("write mode") << 0 << SpiConfig{1, 8, 100000, 0};
    QTest::newRow("read bits") << 3 << SpiConfig{3, 8, 100000, 0};
    QTest::newRow("read speed") << 5 << SpiConfig{3, 9, 100000, 0};
}

void tst_SpiDev::refusedRequestClosesOnce()
{
    QFETCH(int, refused);
    QFETCH(SpiConfig, recordAfter);

    fakespidev::overrideReadBack(SPI_IOC_RD_MODE, 3);
    fakespidev::overrideReadBack(SPI_IOC_RD_BITS_PER_WORD, 9);
    fakespidev::failRequest(settingCodes[refused], EINVAL);
    {
        SpiDev device(fakespidev::defaultPath, &workerConfig);
        QVERIFY(!device.open());
        QVERIFY(!device.opened());
        QVERIFY(device.currentConfig() == recordAfter);
        QCOMPARE(requestCodes(), std::vector<unsigned long>(settingCodes.begin(), settingCodes.begin() + refused + 1));
        QCOMPARE(fakespidev::closeCount(), 1);
        QCOMPARE(fakespidev::openDescriptors(), 0);

        // The next open starts again from the system call.
        fakespidev::failRequest(settingCodes[refused], 0);
        QVERIFY(device.open());
        QCOMPARE(fakespidev::openCount(), 2);
    }
    QCOMPARE(fakespidev::closeCount(), 2);
}

void tst_SpiDev::transferRecords_data()
{
    QTest::addColumn<bool>("sends");
    QTest::addColumn<bool>("receives");

    QTest::newRow("write") << true << false;
    QTest::newRow("read") << false << true;
    QTest::newRow("transfer") << true << true;
}

void tst_SpiDev::transferRecords()
{
    QFETCH(bool, sends);
    QFETCH(bool, receives);

    // A delay in the record never reaches a transfer.
    const SpiConfig withDelay{1, 8, 100000, 1234};
    SpiDev device(fakespidev::defaultPath, &withDelay);
    QVERIFY(device.open());
    const std::uint8_t tx[3] = {0x00, 0x01, 0xF4};
    std::uint8_t rx[3] = {0xAA, 0xAA, 0xAA};
    const int result = sends && receives ? device.transfer(tx, 3, rx)
                       : sends           ? device.write(tx, 3)
                                         : device.read(rx, 3);
    QCOMPARE(result, 3);

    const std::vector<fakespidev::Transfer> transfers = fakespidev::transfers();
    QCOMPARE(transfers.size(), std::size_t(1));
    spi_ioc_transfer expected{};
    expected.tx_buf = sends ? __u64(std::uintptr_t(tx)) : 0;
    expected.rx_buf = receives ? __u64(std::uintptr_t(rx)) : 0;
    expected.len = 3;
    QCOMPARE(QByteArray::fromRawData(reinterpret_cast<const char *>(&transfers[0].record), sizeof expected),
             QByteArray::fromRawData(reinterpret_cast<const char *>(&expected), sizeof expected));
    // The double loops MOSI back to MISO; a read shifts out zeros.
    if (receives)
        QCOMPARE(QByteArray(reinterpret_cast<char *>(rx), 3), sends ? QByteArray("\x00\x01\xF4", 3) : QByteArray(3, 0));

    // The driver's result, whatever it is, comes back as it is.
    fakespidev::setTransferFault(1, -1, EIO);
    QCOMPARE(device.write(tx, 3), -1);
    QCOMPARE(errno, EIO);
    fakespidev::setTransferFault(2, 1, 0);
    QCOMPARE(device.read(rx, 3), 1);
    QVERIFY(device.opened());
}

QTEST_MAIN(tst_SpiDev)
#include "tst_spidev.moc"
