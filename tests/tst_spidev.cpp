#include "fakespidev.h"
#include "testsupport.h"
#include "spidev.h"

#include <QTest>

#include <cerrno>
#include <cstring>
#include <memory>

#include <fcntl.h>

namespace {

constexpr SpiConfig workerConfig{1, 8, 100000, 0};

const std::vector<unsigned long> settingCodes = {
    SPI_IOC_WR_MODE,          SPI_IOC_RD_MODE,        SPI_IOC_WR_BITS_PER_WORD,
    SPI_IOC_RD_BITS_PER_WORD, SPI_IOC_WR_MAX_SPEED_HZ, SPI_IOC_RD_MAX_SPEED_HZ,
};

std::vector<unsigned long> requestCodes()
{
    std::vector<unsigned long> codes;
    for (const fakespidev::Request &request : fakespidev::requests())
        codes.push_back(request.code);
    return codes;
}

bool sameConfig(const SpiConfig &a, const SpiConfig &b)
{
    return a.mode == b.mode && a.bitsPerWord == b.bitsPerWord && a.speed == b.speed && a.delay == b.delay;
}

} // namespace

Q_DECLARE_METATYPE(SpiConfig)

class tst_SpiDev : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void constructorRecords_data();
    void constructorRecords();
    void callerRecordIsCopied();
    void openHandsOverSettingsInOrder();
    void secondOpenDoesNothing();
    void openFailures_data();
    void openFailures();
    void refusedRequestClosesOnce_data();
    void refusedRequestClosesOnce();
    void readBackOverwritesRecord_data();
    void readBackOverwritesRecord();
    void setConfigNullChangesNothing();
    void setConfigOnClosedDeviceIsStored();
    void setConfigRefusedClosesDevice();
    void setterFailureKeepsField_data();
    void setterFailureKeepsField();
    void closedDeviceMakesNoRequest();
    void transferRecords_data();
    void transferRecords();
    void transferFailureIsReturned();
    void destructorLogsAndClosesOnce();
};

void tst_SpiDev::init()
{
    fakespidev::reset();
}

void tst_SpiDev::constructorRecords_data()
{
    QTest::addColumn<bool>("pathOnly");
    QTest::addColumn<bool>("withRecord");
    QTest::addColumn<SpiConfig>("expected");

    QTest::newRow("path only") << true << false << SpiConfig{0, 8, 1000000, 0};
    QTest::newRow("null record") << false << false << SpiConfig{0, 8, 1000000, 0};
    QTest::newRow("worker record") << false << true << workerConfig;
}

void tst_SpiDev::constructorRecords()
{
    QFETCH(bool, pathOnly);
    QFETCH(bool, withRecord);
    QFETCH(SpiConfig, expected);

    const std::unique_ptr<SpiDev> device =
        pathOnly ? std::make_unique<SpiDev>(fakespidev::defaultPath)
                 : std::make_unique<SpiDev>(fakespidev::defaultPath, withRecord ? &workerConfig : nullptr);

    QVERIFY(sameConfig(device->currentConfig(), expected));
    QVERIFY(!device->opened());
    QCOMPARE(fakespidev::openCount(), 0);
}

void tst_SpiDev::callerRecordIsCopied()
{
    auto record = std::make_unique<SpiConfig>(SpiConfig{3, 16, 250000, 7});
    std::string path = fakespidev::defaultPath;
    SpiDev device(path.c_str(), record.get());
    record.reset();
    path.assign(path.size(), 'x');

    QVERIFY(device.open());
    QVERIFY(sameConfig(device.currentConfig(), SpiConfig{3, 16, 250000, 7}));
    QCOMPARE(fakespidev::speed(), 250000u);
}

void tst_SpiDev::openHandsOverSettingsInOrder()
{
    SpiDev device(fakespidev::defaultPath, &workerConfig);
    QVERIFY(device.open());
    QVERIFY(device.opened());

    QCOMPARE(fakespidev::openFlags(), O_RDWR);
    const std::vector<unsigned long> expectedCodes = {0x40016B01, 0x80016B01, 0x40016B03,
                                                      0x80016B03, 0x40046B04, 0x80046B04};
    QCOMPARE(requestCodes(), expectedCodes);
    const std::vector<fakespidev::Request> requests = fakespidev::requests();
    const std::uint32_t values[] = {1, 1, 8, 8, 100000, 100000};
    for (std::size_t i = 0; i < requests.size(); ++i)
        QCOMPARE(requests[i].value, values[i]);
    QCOMPARE(fakespidev::mode(), std::uint8_t(1));
    QCOMPARE(fakespidev::speed(), 100000u);
}

void tst_SpiDev::secondOpenDoesNothing()
{
    SpiDev device(fakespidev::defaultPath, &workerConfig);
    QVERIFY(device.open());
    QVERIFY(device.open());
    QCOMPARE(fakespidev::openCount(), 1);
    QCOMPARE(fakespidev::requests().size(), std::size_t(6));
}

void tst_SpiDev::openFailures_data()
{
    QTest::addColumn<bool>("absentPath");
    QTest::addColumn<int>("error");

    QTest::newRow("no path") << true << 0;
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
    QTest::newRow("read mode") << 1 << SpiConfig{1, 8, 100000, 0};
    QTest::newRow("write bits") << 2 << SpiConfig{3, 8, 100000, 0};
    QTest::newRow("read bits") << 3 << SpiConfig{3, 8, 100000, 0};
    QTest::newRow("write speed") << 4 << SpiConfig{3, 9, 100000, 0};
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
        QVERIFY(sameConfig(device.currentConfig(), recordAfter));
        QCOMPARE(requestCodes(), std::vector<unsigned long>(settingCodes.begin(), settingCodes.begin() + refused + 1));
        QCOMPARE(fakespidev::closeCount(), 1);
        QCOMPARE(fakespidev::openDescriptors(), 0);

        // The next open starts again from the system call.
        fakespidev::failRequest(settingCodes[refused], 0);
        QVERIFY(device.open());
        QCOMPARE(fakespidev::openCount(), 2);
        QCOMPARE(fakespidev::requests().at(refused + 1).code, settingCodes[0]);
    }
    QCOMPARE(fakespidev::closeCount(), 2);
}

void tst_SpiDev::readBackOverwritesRecord_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<SpiConfig>("expected");

    QTest::newRow("open") << "open" << SpiConfig{1, 8, 97656, 0};
    QTest::newRow("setConfig") << "setConfig" << SpiConfig{2, 16, 97656, 5};
    QTest::newRow("setSpeed") << "setSpeed" << SpiConfig{1, 8, 97656, 0};
}

void tst_SpiDev::readBackOverwritesRecord()
{
    QFETCH(QString, operation);
    QFETCH(SpiConfig, expected);

    // A driver that can only divide its clock reports another rate than the one asked.
    fakespidev::overrideReadBack(SPI_IOC_RD_MAX_SPEED_HZ, 97656);
    SpiDev device(fakespidev::defaultPath, &workerConfig);
    QVERIFY(device.open());
    if (operation == "setConfig") {
        const SpiConfig other{2, 16, 200000, 5};
        QVERIFY(device.setConfig(&other));
    } else if (operation == "setSpeed") {
        QVERIFY(device.setSpeed(200000));
    }
    QVERIFY(sameConfig(device.currentConfig(), expected));
}

void tst_SpiDev::setConfigNullChangesNothing()
{
    SpiDev device(fakespidev::defaultPath, &workerConfig);
    QVERIFY(!device.setConfig(nullptr));
    QVERIFY(device.open());
    QVERIFY(!device.setConfig(nullptr));
    QVERIFY(device.opened());
    QVERIFY(sameConfig(device.currentConfig(), workerConfig));
    QCOMPARE(fakespidev::requests().size(), std::size_t(6));
}

void tst_SpiDev::setConfigOnClosedDeviceIsStored()
{
    SpiDev device(fakespidev::defaultPath);
    const SpiConfig stored{1, 8, 100000, 0};
    QVERIFY(!device.setConfig(&stored));
    QCOMPARE(fakespidev::openCount(), 0);
    QVERIFY(device.open());
    QCOMPARE(fakespidev::mode(), std::uint8_t(1));
    QCOMPARE(fakespidev::speed(), 100000u);
}

void tst_SpiDev::setConfigRefusedClosesDevice()
{
    {
        SpiDev device(fakespidev::defaultPath, &workerConfig);
        QVERIFY(device.open());
        fakespidev::failRequest(SPI_IOC_WR_BITS_PER_WORD, EINVAL);
        const SpiConfig refused{0, 7, 50000, 0};
        QVERIFY(!device.setConfig(&refused));
        QVERIFY(!device.opened());
        QCOMPARE(fakespidev::closeCount(), 1);

        fakespidev::failRequest(SPI_IOC_WR_BITS_PER_WORD, 0);
        QVERIFY(device.open());
        QCOMPARE(fakespidev::openCount(), 2);
        QCOMPARE(fakespidev::bitsPerWord(), std::uint8_t(7));
    }
    QCOMPARE(fakespidev::closeCount(), 2);
}

void tst_SpiDev::setterFailureKeepsField_data()
{
    QTest::addColumn<unsigned long>("refusedCode");
    QTest::addColumn<QString>("setter");

    QTest::newRow("mode write") << (unsigned long)SPI_IOC_WR_MODE << "mode";
    QTest::newRow("mode read-back") << (unsigned long)SPI_IOC_RD_MODE << "mode";
    QTest::newRow("bits read-back") << (unsigned long)SPI_IOC_RD_BITS_PER_WORD << "bits";
    QTest::newRow("speed write") << (unsigned long)SPI_IOC_WR_MAX_SPEED_HZ << "speed";
    QTest::newRow("speed read-back") << (unsigned long)SPI_IOC_RD_MAX_SPEED_HZ << "speed";
}

void tst_SpiDev::setterFailureKeepsField()
{
    QFETCH(unsigned long, refusedCode);
    QFETCH(QString, setter);

    SpiDev device(fakespidev::defaultPath, &workerConfig);
    QVERIFY(device.open());
    fakespidev::failRequest(refusedCode, EIO);
    const bool result = setter == "mode" ? device.setMode(3)
                        : setter == "bits" ? device.setBitsPerWord(16)
                                           : device.setSpeed(1000000);
    QVERIFY(!result);
    QVERIFY(sameConfig(device.currentConfig(), workerConfig));
    QVERIFY(device.opened());
}

void tst_SpiDev::closedDeviceMakesNoRequest()
{
    fakespidev::setOpenError(ENOENT);
    SpiDev device(fakespidev::defaultPath, &workerConfig);
    QVERIFY(!device.open());
    std::uint8_t buffer[3] = {1, 2, 3};

    QVERIFY(!device.setMode(0));
    QVERIFY(!device.setBitsPerWord(8));
    QVERIFY(!device.setSpeed(1000));
    errno = 0;
    QCOMPARE(device.write(buffer, 3), -1);
    QCOMPARE(errno, EBADF);
    QCOMPARE(device.read(buffer, 3), -1);
    QCOMPARE(device.transfer(buffer, 3, buffer), -1);
    QVERIFY(fakespidev::requests().empty());
    QCOMPARE(fakespidev::transferCount(), std::size_t(0));
    QVERIFY(sameConfig(device.currentConfig(), workerConfig));
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
    const spi_ioc_transfer &record = transfers[0].record;
    QCOMPARE(record.tx_buf, sends ? __u64(std::uintptr_t(tx)) : __u64(0));
    QCOMPARE(record.rx_buf, receives ? __u64(std::uintptr_t(rx)) : __u64(0));
    QCOMPARE(record.len, 3u);
    QCOMPARE(record.speed_hz, 0u);
    QCOMPARE(record.delay_usecs, __u16(0));
    QCOMPARE(record.bits_per_word, __u8(0));
    QCOMPARE(record.cs_change, __u8(0));
    QCOMPARE(record.tx_nbits, __u8(0));
    QCOMPARE(record.rx_nbits, __u8(0));
    QCOMPARE(record.word_delay_usecs, __u8(0));
    QCOMPARE(record.pad, __u8(0));
    if (sends)
        QCOMPARE(transfers[0].tx, std::vector<std::uint8_t>(tx, tx + 3));
    if (receives) {
        // The double loops MOSI back to MISO; a read shifts out zeros.
        const std::uint8_t expected[3] = {0, sends ? std::uint8_t(0x01) : std::uint8_t(0),
                                          sends ? std::uint8_t(0xF4) : std::uint8_t(0)};
        QVERIFY(std::memcmp(rx, expected, 3) == 0);
    }
}

void tst_SpiDev::transferFailureIsReturned()
{
    SpiDev device(fakespidev::defaultPath, &workerConfig);
    QVERIFY(device.open());
    const std::uint8_t frame[3] = {0, 1, 2};
    fakespidev::setTransferFault(1, -1, EIO);
    QCOMPARE(device.write(frame, 3), 3);
    QCOMPARE(device.write(frame, 3), -1);
    QCOMPARE(errno, EIO);
    fakespidev::setTransferFault(2, 1, 0);
    QCOMPARE(device.write(frame, 3), 1);
    QVERIFY(device.opened());
}

void tst_SpiDev::destructorLogsAndClosesOnce()
{
    LogCapture log;
    {
        SpiDev neverOpened(fakespidev::defaultPath);
    }
    QCOMPARE(log.texts(), QStringList{"SpiDev destructor"});
    QCOMPARE(fakespidev::closeCount(), 0);

    {
        SpiDev device(fakespidev::defaultPath, &workerConfig);
        QVERIFY(device.open());
    }
    QCOMPARE(log.count("SpiDev destructor"), 2);
    QCOMPARE(fakespidev::closeCount(), 1);
    QCOMPARE(fakespidev::openDescriptors(), 0);
}

QTEST_MAIN(tst_SpiDev)
#include "tst_spidev.moc"
