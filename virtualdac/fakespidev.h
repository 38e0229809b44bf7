#ifndef FAKESPIDEV_H
#define FAKESPIDEV_H

// A stand-in for one Linux spidev node with a DAC8551 on its bus. It replaces
// open, close and ioctl of the C library: the emulated path gets a descriptor
// whose ioctls act like the spidev driver's; every other path and descriptor
// goes to the C library. The GPIO chip of fakegpio.h answers through the same
// replaced calls.
//
// As a preload library (libvirtualdac.so) it is set up from the environment:
//   FAKESPIDEV_PATH        the emulated node (default /dev/spidev0.0)
//   VIRTUALDAC_CAPTURE     CSV file receiving one line per transfer
//   VIRTUALDAC_CAPTURE_LIMIT  size in bytes past which the capture stops, with a
//                          last line and a message saying so (default 256 MiB);
//                          transfers go on, uncaptured
//   VIRTUALDAC_VREF        reference voltage (default 5.0)
//   VIRTUALDAC_WIRE_TIME   0 to make transfers instant (default: they take the
//                          time of their bits at the clock rate)
//   VIRTUALDAC_HOLD_OPEN   1 to make opens of the node hang, as a stuck driver
//   VIRTUALDAC_HANG_AFTER  N to make the transfer numbered N (0-based) and all
//                          later ones never end, as a wedged SPI controller

#include <cstddef>
#include <cstdint>
#include <vector>

#include <linux/spi/spidev.h>

#include "dac8551.h"

namespace fakespidev {

constexpr const char *defaultPath = "/dev/spidev0.0";
constexpr std::uint64_t defaultCaptureLimit = std::uint64_t(256) << 20;

struct Request
{
    unsigned long code;
    std::uint32_t value; // the value written, or the value reported back
    int result;
    int threadId;        // kernel id of the calling thread
};

struct Transfer
{
    spi_ioc_transfer record;
    std::vector<std::uint8_t> tx; // copy of the bytes sent (empty without tx_buf)
    std::int64_t timeNs;          // CLOCK_MONOTONIC, when the transfer ended
    int result;
    int threadId;
};

// Forgets all records and faults; the node at path starts with mode 0, 8 bits,
// 500 kHz, the DAC at code 0, transfers instant and recorded, no capture.
void reset(const char *path = defaultPath);

// Transfers take as long as their bits need at the clock rate, as on the wire.
void setWireTime(bool enabled);
// Keeps requests and transfers in memory (for long runs, capture instead).
void setRecording(bool enabled);
// Writes every transfer to a CSV file from now on (empty path: stop); false if it cannot.
bool setCapture(const char *path);
// Captures stop once they have reached this many bytes (default defaultCaptureLimit).
void setCaptureLimit(std::uint64_t bytes);
Dac8551Output dacOutput();

// Faults. 0 (or a request code of 0) switches a fault off.
void setOpenError(int error);                      // e.g. ENOENT, EACCES
void holdOpen(bool held);                          // opens of the node wait until released
void failRequest(unsigned long code, int error);    // that settings request returns -1
void overrideReadBack(unsigned long readCode, std::uint32_t value); // report this instead
// count transfers (all, by default) from the given index on (0-based) return
// result; -1 sets errno to error.
void setTransferFault(std::size_t fromIndex, int result, int error, std::size_t count = SIZE_MAX);
// Transfers from the given index on (0-based) do not end, as on a wedged
// controller, until released with SIZE_MAX (or reset). Everything else goes on
// answering meanwhile, closes of the node's descriptors included.
void hangTransfers(std::size_t fromIndex);

std::vector<Request> requests();
std::vector<Transfer> transfers();
std::size_t transferCount();
// Waits, at most timeoutMs, until count transfers were made; true if they were.
bool waitForTransfers(std::size_t count, int timeoutMs);

int openCount();   // successful opens of the node
int openFlags();   // flags of the last open of the node, -1 before any
int closeCount();  // closes of descriptors of the node
int openDescriptors();

std::uint8_t mode();
std::uint8_t bitsPerWord();
std::uint32_t speed();

} // namespace fakespidev

#endif // FAKESPIDEV_H
