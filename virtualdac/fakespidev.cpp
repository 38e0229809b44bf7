// Built without large-file redirection and fortification, so that open, open64
// and the checked __open_2 variants below are the C library's own names.
#undef _FILE_OFFSET_BITS
#undef _FORTIFY_SOURCE
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif

#include "fakespidev.h"
#include "capturefile.h"
#include "fakegpio_p.h"
#include "virtualdac_p.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <time.h>

using virtualdac::countFromEnvironment;
using virtualdac::monotonicNs;
using virtualdac::nextSymbol;

namespace {

constexpr std::int64_t captureFlushIntervalNs = 20000000;

using OpenFn = int (*)(const char *, int, ...);
using OpenAtFn = int (*)(int, const char *, int, ...);
using CloseFn = int (*)(int);
using IoctlFn = int (*)(int, unsigned long, ...);

// The emulated node. Heap-allocated and never destroyed: descriptors are still
// closed while static objects are being torn down.
struct Node
{
    std::mutex mutex;
    std::condition_variable transferMade;
    std::string path = fakespidev::defaultPath;
    std::vector<int> descriptors;
    std::uint8_t mode = 0;
    std::uint8_t bitsPerWord = 8;
    std::uint32_t speed = 500000;
    int openError = 0;
    int lastOpenFlags = -1;
    bool openHeld = false;
    std::condition_variable openReleased;
    std::map<unsigned long, int> requestErrors;
    std::map<unsigned long, std::uint32_t> readBackOverrides;
    std::size_t hangFrom = SIZE_MAX;
    std::condition_variable hangReleased;
    std::size_t transferFaultFrom = SIZE_MAX;
    std::size_t transferFaultUntil = SIZE_MAX;
    int transferFaultResult = 0;
    int transferFaultError = 0;
    int opens = 0;
    int closes = 0;
    std::size_t transferTotal = 0;
    std::vector<fakespidev::Request> requests;
    std::vector<fakespidev::Transfer> transfers;
    bool recording = true;
    bool wireTime = false;
    double vref = 5.0;
    Dac8551Output dac;
    std::FILE *capture = nullptr;
    std::int64_t captureFlushedNs = 0;
    std::uint64_t captureLimit = fakespidev::defaultCaptureLimit;
    std::uint64_t captureBytes = 0;
};

void flushCapture();

bool openCapture(Node &n, const char *path)
{
    if (n.capture)
        std::fclose(n.capture);
    n.capture = path && *path ? std::fopen(path, "w") : nullptr;
    if (!n.capture)
        return !(path && *path);
    std::fputs(captureHeader, n.capture);
    n.captureBytes = std::strlen(captureHeader);
    static const int flushAtExit [[maybe_unused]] = std::atexit(flushCapture);
    return true;
}

// A preload library serves whole programs: it records nothing in memory, lets
// transfers take their time on the wire, and captures to the named file.
Node *nodeFromEnvironment()
{
    auto *created = new Node;
    if (const char *path = std::getenv("FAKESPIDEV_PATH"))
        created->path = path;
#ifdef FAKESPIDEV_PRELOAD
    created->recording = false;
    const char *wireTime = std::getenv("VIRTUALDAC_WIRE_TIME");
    created->wireTime = !(wireTime && std::strcmp(wireTime, "0") == 0);
    if (const char *vref = std::getenv("VIRTUALDAC_VREF"))
        created->vref = std::atof(vref);
    const char *holdOpen = std::getenv("VIRTUALDAC_HOLD_OPEN");
    created->openHeld = holdOpen && std::strcmp(holdOpen, "1") == 0;
    created->hangFrom = countFromEnvironment("VIRTUALDAC_HANG_AFTER", SIZE_MAX);
    created->captureLimit = countFromEnvironment("VIRTUALDAC_CAPTURE_LIMIT", fakespidev::defaultCaptureLimit);
    const char *capture = std::getenv("VIRTUALDAC_CAPTURE");
    if (capture && !openCapture(*created, capture))
        std::fprintf(stderr, "virtualdac: cannot write %s\n", capture);
#endif
    return created;
}

Node &node()
{
    static Node *instance = nodeFromEnvironment();
    return *instance;
}

void flushCapture()
{
    Node &n = node();
    std::lock_guard<std::mutex> lock(n.mutex);
    if (n.capture)
        std::fflush(n.capture);
}

int callingThread()
{
    return int(syscall(SYS_gettid));
}

bool isNodeDescriptor(Node &n, int fd)
{
    return std::find(n.descriptors.begin(), n.descriptors.end(), fd) != n.descriptors.end();
}

virtualdac::DescriptorMarks nodeDescriptorMarks;

template<typename F>
auto withNode(F use)
{
    Node &n = node();
    std::lock_guard<std::mutex> lock(n.mutex);
    return use(n);
}

// Opens the node. Waits while the open is held.
int openNode(int flags)
{
    Node &n = node();
    std::unique_lock<std::mutex> lock(n.mutex);
    n.openReleased.wait(lock, [&n] { return !n.openHeld; });
    n.lastOpenFlags = flags;
    if (n.openError) {
        errno = n.openError;
        return -1;
    }
    const int fd = virtualdac::openPlaceholder();
    if (fd >= 0) {
        n.descriptors.push_back(fd);
        nodeDescriptorMarks.set(fd, true);
        ++n.opens;
    }
    return fd;
}

bool isNodePath(const char *path)
{
    return path && withNode([path](Node &n) { return n.path == path; });
}

// Opens of the emulated nodes: true and the descriptor (or -1 and errno) in *fd.
bool openEmulated(const char *path, int flags, int *fd)
{
    if (!isNodePath(path))
        return fakegpio::interposed::open(path, fd);
    *fd = openNode(flags);
    return true;
}

// The optional third argument of open exists only when a file may be created.
int modeArgument(int flags, va_list args)
{
    const bool creates = (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE;
    return creates ? va_arg(args, int) : 0;
}

template<typename T>
int settingRequest(Node &n, unsigned long code, bool isWrite, T *field, void *arg)
{
    auto *value = static_cast<T *>(arg);
    const auto fault = n.requestErrors.find(code);
    if (fault != n.requestErrors.end()) {
        n.requests.push_back({code, std::uint32_t(*value), -1, callingThread()});
        errno = fault->second;
        return -1;
    }
    if (isWrite) {
        *field = *value;
    } else {
        const auto override = n.readBackOverrides.find(code);
        *value = override != n.readBackOverrides.end() ? T(override->second) : *field;
    }
    n.requests.push_back({code, std::uint32_t(*value), 0, callingThread()});
    return 0;
}

// How long the transfer's bits take at its clock rate (its own, or the device's).
std::int64_t wireTimeNs(const Node &n, const spi_ioc_transfer &record)
{
    const std::uint32_t hz = record.speed_hz ? record.speed_hz : n.speed;
    const std::uint32_t bitsPerWord = record.bits_per_word ? record.bits_per_word : n.bitsPerWord;
    return hz ? std::int64_t(record.len) * bitsPerWord * 1000000000 / hz : 0;
}

void sleepUntil(std::int64_t deadlineNs)
{
    const timespec deadline{time_t(deadlineNs / 1000000000), long(deadlineNs % 1000000000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

// Ends a capture that reached its limit with a line saying from when transfers
// are missing, so that a long run cannot fill the disk or memory.
void cutCapture(Node &n, std::int64_t timeNs)
{
    std::fprintf(n.capture, "%s%lld: %llu bytes reached (VIRTUALDAC_CAPTURE_LIMIT); later transfers not captured\n",
                 captureCutPrefix, static_cast<long long>(timeNs), static_cast<unsigned long long>(n.captureLimit));
    std::fclose(n.capture);
    n.capture = nullptr;
    std::fprintf(stderr, "virtualdac: capture cut at %llu bytes (VIRTUALDAC_CAPTURE_LIMIT), transfers go on\n",
                 static_cast<unsigned long long>(n.captureLimit));
}

void writeCapture(Node &n, const spi_ioc_transfer &record, const std::uint8_t *tx, std::int64_t timeNs)
{
    if (n.captureBytes >= n.captureLimit) {
        cutCapture(n, timeNs);
        return;
    }
    const int fields = std::fprintf(n.capture, "%lld,%u,%.6f,%d,%d,%u,%u,%u,%u,%u,", static_cast<long long>(timeNs),
                                    unsigned(n.dac.code), n.dac.volts, int(n.dac.validWord), n.dac.powerDown,
                                    unsigned(record.len), unsigned(record.speed_hz), unsigned(record.bits_per_word),
                                    unsigned(record.delay_usecs), unsigned(record.cs_change));
    for (std::uint32_t i = 0; tx && i < record.len; ++i)
        std::fprintf(n.capture, "%02x", tx[i]);
    std::fputc('\n', n.capture);
    n.captureBytes += std::max(fields, 0) + (tx ? 2 * std::uint64_t(record.len) : 0) + 1;
    // A reader following the file (the live view) sees it grow every 20 ms,
    // at the cost of one write per some nine frames.
    if (timeNs - n.captureFlushedNs >= captureFlushIntervalNs) {
        std::fflush(n.capture);
        n.captureFlushedNs = timeNs;
    }
}

// One SPI_IOC_MESSAGE(1): the bytes reach the DAC, the record is kept.
int transferRequest(Node &n, const spi_ioc_transfer &record)
{
    const auto *tx = reinterpret_cast<const std::uint8_t *>(std::uintptr_t(record.tx_buf));
    auto *rx = reinterpret_cast<std::uint8_t *>(std::uintptr_t(record.rx_buf));
    // MISO wired to MOSI: a full-duplex transfer receives what it sent.
    if (rx) {
        if (tx)
            std::memmove(rx, tx, record.len);
        else
            std::memset(rx, 0, record.len);
    }
    const bool faulty = n.transferTotal >= n.transferFaultFrom && n.transferTotal < n.transferFaultUntil;
    const int result = faulty ? n.transferFaultResult : int(record.len);
    const std::int64_t timeNs = monotonicNs();
    n.dac = dac8551Update(n.dac, tx, tx ? record.len : 0, n.vref);
    if (n.capture)
        writeCapture(n, record, tx, timeNs);
    if (n.recording) {
        fakespidev::Transfer transfer{record, {}, timeNs, result, callingThread()};
        if (tx)
            transfer.tx.assign(tx, tx + record.len);
        n.transfers.push_back(std::move(transfer));
    }
    virtualdac::monitor::frameSent(n.transferTotal, timeNs);
    ++n.transferTotal;
    n.transferMade.notify_all();
    if (result < 0)
        errno = n.transferFaultError;
    return result;
}

int nodeIoctl(Node &n, unsigned long code, void *arg)
{
    switch (code) {
    case SPI_IOC_WR_MODE:
        return settingRequest(n, code, true, &n.mode, arg);
    case SPI_IOC_RD_MODE:
        return settingRequest(n, code, false, &n.mode, arg);
    case SPI_IOC_WR_BITS_PER_WORD:
        return settingRequest(n, code, true, &n.bitsPerWord, arg);
    case SPI_IOC_RD_BITS_PER_WORD:
        return settingRequest(n, code, false, &n.bitsPerWord, arg);
    case SPI_IOC_WR_MAX_SPEED_HZ:
        return settingRequest(n, code, true, &n.speed, arg);
    case SPI_IOC_RD_MAX_SPEED_HZ:
        return settingRequest(n, code, false, &n.speed, arg);
    default:
        n.requests.push_back({code, 0, -1, callingThread()});
        errno = ENOTTY;
        return -1;
    }
}

} // namespace

int virtualdac::openPlaceholder()
{
    static const auto realOpen = nextSymbol<OpenFn>("open");
    return realOpen("/dev/null", O_RDWR | O_CLOEXEC);
}

extern "C" {

int open(const char *path, int flags, ...)
{
    static const auto realOpen = nextSymbol<OpenFn>("open");
    va_list args;
    va_start(args, flags);
    const int mode = modeArgument(flags, args);
    va_end(args);
    int fd;
    return openEmulated(path, flags, &fd) ? fd : realOpen(path, flags, mode);
}

int open64(const char *path, int flags, ...)
{
    static const auto realOpen64 = nextSymbol<OpenFn>("open64");
    va_list args;
    va_start(args, flags);
    const int mode = modeArgument(flags, args);
    va_end(args);
    int fd;
    return openEmulated(path, flags, &fd) ? fd : realOpen64(path, flags, mode);
}

int openat(int dirfd, const char *path, int flags, ...)
{
    static const auto realOpenAt = nextSymbol<OpenAtFn>("openat");
    va_list args;
    va_start(args, flags);
    const int mode = modeArgument(flags, args);
    va_end(args);
    int fd;
    return openEmulated(path, flags, &fd) ? fd : realOpenAt(dirfd, path, flags, mode);
}

int openat64(int dirfd, const char *path, int flags, ...)
{
    static const auto realOpenAt64 = nextSymbol<OpenAtFn>("openat64");
    va_list args;
    va_start(args, flags);
    const int mode = modeArgument(flags, args);
    va_end(args);
    int fd;
    return openEmulated(path, flags, &fd) ? fd : realOpenAt64(dirfd, path, flags, mode);
}

int __open_2(const char *path, int flags)
{
    static const auto realOpen2 = nextSymbol<int (*)(const char *, int)>("__open_2");
    int fd;
    return openEmulated(path, flags, &fd) ? fd : realOpen2(path, flags);
}

int __open64_2(const char *path, int flags)
{
    static const auto realOpen64_2 = nextSymbol<int (*)(const char *, int)>("__open64_2");
    int fd;
    return openEmulated(path, flags, &fd) ? fd : realOpen64_2(path, flags);
}

int close(int fd)
{
    static const auto realClose = nextSymbol<CloseFn>("close");
    if (fakegpio::interposed::mayOwn(fd))
        fakegpio::interposed::closing(fd);
    if (!nodeDescriptorMarks.mayBeMarked(fd))
        return realClose(fd);
    Node &n = node();
    {
        std::lock_guard<std::mutex> lock(n.mutex);
        auto found = std::find(n.descriptors.begin(), n.descriptors.end(), fd);
        if (found != n.descriptors.end()) {
            n.descriptors.erase(found);
            nodeDescriptorMarks.set(fd, false);
            ++n.closes;
            if (n.capture)
                std::fflush(n.capture);
        }
    }
    return realClose(fd);
}

int ioctl(int fd, unsigned long request, ...) noexcept
{
    static const auto realIoctl = nextSymbol<IoctlFn>("ioctl");
    va_list args;
    va_start(args, request);
    void *arg = va_arg(args, void *);
    va_end(args);
    int result;
    if (fakegpio::interposed::mayOwn(fd) && fakegpio::interposed::ioctl(fd, request, arg, &result))
        return result;
    if (!nodeDescriptorMarks.mayBeMarked(fd))
        return realIoctl(fd, request, arg);
    Node &n = node();
    std::unique_lock<std::mutex> lock(n.mutex);
    if (!isNodeDescriptor(n, fd)) {
        lock.unlock();
        return realIoctl(fd, request, arg);
    }
    if (request != SPI_IOC_MESSAGE(1))
        return nodeIoctl(n, request, arg);
    // A wedged controller: the transfer does not end. Waiting frees the node.
    if (n.transferTotal >= n.hangFrom)
        std::fprintf(stderr, "virtualdac: transfer %zu hangs (VIRTUALDAC_HANG_AFTER)\n", n.transferTotal);
    n.hangReleased.wait(lock, [&n] { return n.transferTotal < n.hangFrom; });

    spi_ioc_transfer record;
    std::memcpy(&record, arg, sizeof record);
    if (n.wireTime) {
        // The bits are on the wire until then; the node stays free meanwhile.
        const std::int64_t doneNs = monotonicNs() + wireTimeNs(n, record);
        lock.unlock();
        sleepUntil(doneNs);
        lock.lock();
    }
    return transferRequest(n, record);
}

} // extern "C"

namespace fakespidev {

void reset(const char *path)
{
    withNode([path](Node &n) {
        n.path = path;
        n.mode = 0;
        n.bitsPerWord = 8;
        n.speed = 500000;
        n.openError = 0;
        n.lastOpenFlags = -1;
        n.openHeld = false;
        n.openReleased.notify_all();
        n.requestErrors.clear();
        n.readBackOverrides.clear();
        n.transferFaultFrom = SIZE_MAX;
        n.hangFrom = SIZE_MAX;
        n.hangReleased.notify_all();
        n.opens = 0;
        n.closes = 0;
        n.transferTotal = 0;
        n.requests.clear();
        n.transfers.clear();
        n.recording = true;
        n.wireTime = false;
        n.vref = 5.0;
        n.dac = Dac8551Output();
        n.captureLimit = defaultCaptureLimit;
        return openCapture(n, nullptr);
    });
}

void setOpenError(int error)
{
    withNode([error](Node &n) { return n.openError = error; });
}

void holdOpen(bool held)
{
    withNode([held](Node &n) {
        n.openHeld = held;
        n.openReleased.notify_all();
        return held;
    });
}

void failRequest(unsigned long code, int error)
{
    withNode([code, error](Node &n) {
        if (error)
            n.requestErrors[code] = error;
        else
            n.requestErrors.erase(code);
        return 0;
    });
}

void overrideReadBack(unsigned long readCode, std::uint32_t value)
{
    withNode([readCode, value](Node &n) { return n.readBackOverrides[readCode] = value; });
}

void setTransferFault(std::size_t fromIndex, int result, int error, std::size_t count)
{
    withNode([=](Node &n) {
        n.transferFaultFrom = fromIndex;
        n.transferFaultUntil = count == SIZE_MAX ? SIZE_MAX : fromIndex + count;
        n.transferFaultResult = result;
        return n.transferFaultError = error;
    });
}

void hangTransfers(std::size_t fromIndex)
{
    withNode([fromIndex](Node &n) {
        n.hangFrom = fromIndex;
        n.hangReleased.notify_all();
        return fromIndex;
    });
}

void setWireTime(bool enabled)
{
    withNode([enabled](Node &n) { return n.wireTime = enabled; });
}

void setRecording(bool enabled)
{
    withNode([enabled](Node &n) { return n.recording = enabled; });
}

bool setCapture(const char *path)
{
    return withNode([path](Node &n) { return openCapture(n, path); });
}

void setCaptureLimit(std::uint64_t bytes)
{
    withNode([bytes](Node &n) { return n.captureLimit = bytes; });
}

Dac8551Output dacOutput() { return withNode([](Node &n) { return n.dac; }); }
std::vector<Request> requests() { return withNode([](Node &n) { return n.requests; }); }
std::vector<Transfer> transfers() { return withNode([](Node &n) { return n.transfers; }); }
std::size_t transferCount() { return withNode([](Node &n) { return n.transferTotal; }); }
int openCount() { return withNode([](Node &n) { return n.opens; }); }
int openFlags() { return withNode([](Node &n) { return n.lastOpenFlags; }); }
int closeCount() { return withNode([](Node &n) { return n.closes; }); }
int openDescriptors() { return withNode([](Node &n) { return int(n.descriptors.size()); }); }
std::uint8_t mode() { return withNode([](Node &n) { return n.mode; }); }
std::uint8_t bitsPerWord() { return withNode([](Node &n) { return n.bitsPerWord; }); }
std::uint32_t speed() { return withNode([](Node &n) { return n.speed; }); }

bool waitForTransfers(std::size_t count, int timeoutMs)
{
    Node &n = node();
    std::unique_lock<std::mutex> lock(n.mutex);
    return n.transferMade.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                   [&] { return n.transferTotal >= count; });
}

} // namespace fakespidev
