// Not SPIDEV_H: the kernel's linux/spi/spidev.h guards itself with that name.
#ifndef SPI_SPIDEV_H
#define SPI_SPIDEV_H

#include <cstdint>
#include <memory>

// SPI settings handed to a spidev device.
struct SpiConfig
{
    std::uint8_t mode;        // spidev mode byte: bit 0 CPHA, bit 1 CPOL, higher bits driver flags
    std::uint8_t bitsPerWord;
    std::uint32_t speed;      // maximum clock rate in Hz
    std::uint16_t delay;      // carried with the settings; transfers always ask for no delay
};

// The step at which opening the device or handing it the settings failed, and
// the system's error number then.
struct SpiFailure
{
    enum Step { None, Open, Mode, WordSize, ClockRate };
    Step step = None;
    int error = 0;
};

// One Linux spidev character device. Failures are reported by results, never by
// exceptions; the only log line is the destructor's.
class SpiDev
{
public:
    // Without a record the device gets mode 0, 8 bits, 1 MHz.
    explicit SpiDev(const char *path);
    SpiDev(const char *path, const SpiConfig *config);
    ~SpiDev();

    SpiDev(const SpiDev &) = delete;
    SpiDev &operator=(const SpiDev &) = delete;

    // Opens the device read-write and hands it the settings; true at once if already open.
    bool open();
    // Stores the record; on an open device hands it over (and closes the device if refused).
    bool setConfig(const SpiConfig *config);

    bool setMode(std::uint8_t mode);
    bool setBitsPerWord(std::uint8_t bits);
    bool setSpeed(std::uint32_t hz);

    // One single-transfer message each; the ioctl result unchanged (-1 and EBADF when closed).
    int transfer(const std::uint8_t *tx, std::uint32_t length, std::uint8_t *rx);
    int write(const std::uint8_t *tx, std::uint32_t length);
    int read(std::uint8_t *rx, std::uint32_t length);

    const SpiConfig &currentConfig() const { return config; }
    // Why the last open or setConfig failed.
    const SpiFailure &lastFailure() const { return failure; }
    bool opened() const { return isOpen; }

private:
    bool handOverConfig();
    void closeDevice();

    std::unique_ptr<char[]> path;
    int fd = -1;
    SpiConfig config;
    bool isOpen = false;
    SpiFailure failure;
};

#endif // SPI_SPIDEV_H
