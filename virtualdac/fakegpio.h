#ifndef FAKEGPIO_H
#define FAKEGPIO_H

// A stand-in for one Linux GPIO chip node (the character device's v1 ABI, as
// libgpiod 1.6 uses it), beside the spidev node of fakespidev.h and through the
// same replaced open, close and ioctl. The chip's node answers the chip and
// line info requests and hands out line handles and event handles; a handle's
// descriptor sets and reads its lines' values; an event handle's is a pipe
// giving a gpioevent_data for each edge of its line it asked for, timed on
// the monotonic clock, to poll and read. lstat, stat and access see the node as a
// character device with its sysfs "dev" attribute, as libgpiod checks before
// any request; every other path goes to the C library.
//
// As a preload library (libvirtualdac.so) it is set up from the environment:
//   FAKEGPIO_PATH            the emulated chip node (default /dev/gpiochip0)
//   FAKEGPIO_BUSY_LINE       N to make requests of line N fail with EBUSY, as a
//                            line that another program or a driver holds
//   VIRTUALDAC_GPIO_CAPTURE  CSV file receiving one line per edge:
//                            time_ns,line,value (stops at VIRTUALDAC_CAPTURE_LIMIT)
//   VIRTUALDAC_MONITOR ...   a monitor answering on a line (fakemonitor.h)
//
// Not emulated: line config changes, lookups by label (they scan
// the real /dev), the v2 ABI.

#include <cstdint>
#include <string>
#include <vector>

namespace fakegpio {

constexpr const char *defaultPath = "/dev/gpiochip0";
constexpr const char *chipLabel = "pinctrl-bcm2711";
constexpr unsigned int lineCount = 54;
constexpr const char *captureHeader = "time_ns,line,value\n";

// A change of a line's level.
struct Edge
{
    std::int64_t timeNs; // CLOCK_MONOTONIC, when the request set it
    unsigned int line;
    int value;
};

// Forgets all records and faults; the chip at path has every line low and free,
// records in memory, no capture.
void reset(const char *path = defaultPath);

// Sets a line's level as a device wired to it would: an edge, and an event
// for the handle watching it, stamped timeNs as the kernel stamps the edge's
// interrupt (-1: now; a device's thread that wakes late still gives its time).
void drive(unsigned int line, int value, std::int64_t timeNs = -1);
// Requests of this line fail with EBUSY while busy.
void setBusy(unsigned int line, bool busy);
// Writes every edge to a CSV file from now on (empty path: stop); false if it cannot.
bool setCapture(const char *path);

std::vector<Edge> edges();
// Codes of the ioctls on the chip's and the handles' descriptors, in order.
std::vector<unsigned long> requests();
int lineValue(unsigned int line);
// The consumer label of the handle holding the line, empty while it is free.
std::string consumer(unsigned int line);
// Descriptors of the chip and of line handles still open.
int openDescriptors();

} // namespace fakegpio

#endif // FAKEGPIO_H
