#include "spidev.h"

#include <QDebug>

#include <cerrno>
#include <cstring>
#include <new>

#include <fcntl.h>
#include <linux/spi/spidev.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

constexpr SpiConfig defaultConfig{0, 8, 1000000, 0};

std::unique_ptr<char[]> copyPath(const char *path)
{
    if (!path)
        return nullptr;
    const std::size_t size = std::strlen(path) + 1;
    std::unique_ptr<char[]> copy(new (std::nothrow) char[size]);
    if (copy)
        std::memcpy(copy.get(), path, size);
    return copy;
}

// Writes a setting, then reads back what the driver made of it into the same variable.
template<typename T>
bool writeAndReadBack(int fd, unsigned long writeRequest, unsigned long readRequest, T *value)
{
    return ::ioctl(fd, writeRequest, value) >= 0 && ::ioctl(fd, readRequest, value) >= 0;
}

// Setters keep the old field when either request fails.
template<typename T>
bool applySetting(int fd, unsigned long writeRequest, unsigned long readRequest, T value, T *field)
{
    if (!writeAndReadBack(fd, writeRequest, readRequest, &value))
        return false;
    *field = value;
    return true;
}

} // namespace

SpiDev::SpiDev(const char *path)
    : SpiDev(path, nullptr)
{
}

SpiDev::SpiDev(const char *path, const SpiConfig *config)
    : path(copyPath(path)), config(config ? *config : defaultConfig)
{
}

SpiDev::~SpiDev()
{
    qDebug() << "SpiDev destructor";
    path.reset();
    if (isOpen)
        ::close(fd);
}

bool SpiDev::open()
{
    if (isOpen)
        return true;
    if (!path) {
        failure = {SpiFailure::Open, ENOMEM};
        return false;
    }
    fd = ::open(path.get(), O_RDWR);
    if (fd < 0) {
        failure = {SpiFailure::Open, errno};
        return false;
    }
    if (!handOverConfig()) {
        closeDevice();
        return false;
    }
    isOpen = true;
    return true;
}

bool SpiDev::setConfig(const SpiConfig *newConfig)
{
    if (!newConfig)
        return false;
    config = *newConfig;
    if (!isOpen)
        return false;
    if (handOverConfig())
        return true;
    closeDevice();
    return false;
}

// Each read-back lands in the config field itself, so the record holds what the
// driver reports. Stops at the first refused request and remembers which.
bool SpiDev::handOverConfig()
{
    const auto step = [this](bool done, SpiFailure::Step step) {
        if (!done)
            failure = {step, errno};
        return done;
    };
    return step(writeAndReadBack(fd, SPI_IOC_WR_MODE, SPI_IOC_RD_MODE, &config.mode), SpiFailure::Mode)
        && step(writeAndReadBack(fd, SPI_IOC_WR_BITS_PER_WORD, SPI_IOC_RD_BITS_PER_WORD, &config.bitsPerWord),
                SpiFailure::WordSize)
        && step(writeAndReadBack(fd, SPI_IOC_WR_MAX_SPEED_HZ, SPI_IOC_RD_MAX_SPEED_HZ, &config.speed),
                SpiFailure::ClockRate);
}

void SpiDev::closeDevice()
{
    ::close(fd);
    fd = -1;
    isOpen = false;
}

bool SpiDev::setMode(std::uint8_t mode)
{
    return isOpen && applySetting(fd, SPI_IOC_WR_MODE, SPI_IOC_RD_MODE, mode, &config.mode);
}

bool SpiDev::setBitsPerWord(std::uint8_t bits)
{
    return isOpen
        && applySetting(fd, SPI_IOC_WR_BITS_PER_WORD, SPI_IOC_RD_BITS_PER_WORD, bits, &config.bitsPerWord);
}

bool SpiDev::setSpeed(std::uint32_t hz)
{
    return isOpen && applySetting(fd, SPI_IOC_WR_MAX_SPEED_HZ, SPI_IOC_RD_MAX_SPEED_HZ, hz, &config.speed);
}

int SpiDev::transfer(const std::uint8_t *tx, std::uint32_t length, std::uint8_t *rx)
{
    if (!isOpen) {
        errno = EBADF;
        return -1;
    }
    // Zero speed and word size make the driver use the device's settings; one
    // transfer per message keeps chip select active for exactly these bytes.
    spi_ioc_transfer message{};
    message.tx_buf = static_cast<__u64>(reinterpret_cast<std::uintptr_t>(tx));
    message.rx_buf = static_cast<__u64>(reinterpret_cast<std::uintptr_t>(rx));
    message.len = length;
    return ::ioctl(fd, SPI_IOC_MESSAGE(1), &message);
}

int SpiDev::write(const std::uint8_t *tx, std::uint32_t length)
{
    return transfer(tx, length, nullptr);
}

int SpiDev::read(std::uint8_t *rx, std::uint32_t length)
{
    return transfer(nullptr, length, rx);
}
