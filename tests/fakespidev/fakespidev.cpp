// Built without large-file redirection and fortification, so that open, open64
// and the checked __open_2 variants below are the C library's own names.
#undef _FILE_OFFSET_BITS
#undef _FORTIFY_SOURCE
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif

#include "fakespidev.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <time.h>

namespace {

using OpenFn = int (*)(const char *, int, ...);
using OpenAtFn = int (*)(int, const char *, int, ...);
using CloseFn = int (*)(int);
using IoctlFn = int (*)(int, unsigned long, ...);

template<typename Fn>
Fn nextSymbol(const char *name)
{
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

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
    std::map<unsigned long, int> requestErrors;
    std::map<unsigned long, std::uint32_t> readBackOverrides;
    std::size_t transferFaultFrom = SIZE_MAX;
    int transferFaultResult = 0;
    int transferFaultError = 0;
    int opens = 0;
    int closes = 0;
    std::vector<fakespidev::Request> requests;
    std::vector<fakespidev::Transfer> transfers;
};

Node &node()
{
    static Node *instance = [] {
        auto *created = new Node;
        if (const char *path = std::getenv("FAKESPIDEV_PATH"))
            created->path = path;
        return created;
    }();
    return *instance;
}

std::int64_t monotonicNs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

int callingThread()
{
    return int(syscall(SYS_gettid));
}

bool isNodeDescriptor(Node &n, int fd)
{
    return std::find(n.descriptors.begin(), n.descriptors.end(), fd) != n.descriptors.end();
}

// Opens the node: the descriptor is a real one (of /dev/null), so its number is
// never handed out twice while it is open.
int openNode()
{
    static const auto realOpen = nextSymbol<OpenFn>("open");
    Node &n = node();
    std::lock_guard<std::mutex> lock(n.mutex);
    if (n.openError) {
        errno = n.openError;
        return -1;
    }
    const int fd = realOpen("/dev/null", O_RDWR | O_CLOEXEC);
    if (fd >= 0) {
        n.descriptors.push_back(fd);
        ++n.opens;
    }
    return fd;
}

bool isNodePath(const char *path)
{
    if (!path)
        return false;
    Node &n = node();
    std::lock_guard<std::mutex> lock(n.mutex);
    return n.path == path;
}

// The optional third argument of open exists only when a file may be created.
int modeArgument(int flags, va_list args)
{
    const bool creates = (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE;
    return creates ? va_arg(args, int) : 0;
}

template<typename F>
auto withNode(F use)
{
    Node &n = node();
    std::lock_guard<std::mutex> lock(n.mutex);
    return use(n);
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

int transferRequest(Node &n, void *arg)
{
    fakespidev::Transfer transfer{};
    std::memcpy(&transfer.record, arg, sizeof transfer.record);
    const spi_ioc_transfer &record = transfer.record;
    const auto *tx = reinterpret_cast<const std::uint8_t *>(std::uintptr_t(record.tx_buf));
    auto *rx = reinterpret_cast<std::uint8_t *>(std::uintptr_t(record.rx_buf));
    if (tx)
        transfer.tx.assign(tx, tx + record.len);
    // MISO wired to MOSI: a full-duplex transfer receives what it sent.
    if (rx) {
        if (tx)
            std::memmove(rx, tx, record.len);
        else
            std::memset(rx, 0, record.len);
    }
    transfer.result = n.transfers.size() >= n.transferFaultFrom ? n.transferFaultResult : int(record.len);
    transfer.timeNs = monotonicNs();
    transfer.threadId = callingThread();
    n.transfers.push_back(std::move(transfer));
    n.transferMade.notify_all();
    if (n.transfers.back().result < 0)
        errno = n.transferFaultError;
    return n.transfers.back().result;
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
    case SPI_IOC_MESSAGE(1):
        return transferRequest(n, arg);
    default:
        n.requests.push_back({code, 0, -1, callingThread()});
        errno = ENOTTY;
        return -1;
    }
}

} // namespace

extern "C" {

int open(const char *path, int flags, ...)
{
    static const auto realOpen = nextSymbol<OpenFn>("open");
    va_list args;
    va_start(args, flags);
    const int mode = modeArgument(flags, args);
    va_end(args);
    return isNodePath(path) ? openNode() : realOpen(path, flags, mode);
}

int open64(const char *path, int flags, ...)
{
    static const auto realOpen64 = nextSymbol<OpenFn>("open64");
    va_list args;
    va_start(args, flags);
    const int mode = modeArgument(flags, args);
    va_end(args);
    return isNodePath(path) ? openNode() : realOpen64(path, flags, mode);
}

int openat(int dirfd, const char *path, int flags, ...)
{
    static const auto realOpenAt = nextSymbol<OpenAtFn>("openat");
    va_list args;
    va_start(args, flags);
    const int mode = modeArgument(flags, args);
    va_end(args);
    return isNodePath(path) ? openNode() : realOpenAt(dirfd, path, flags, mode);
}

int openat64(int dirfd, const char *path, int flags, ...)
{
    static const auto realOpenAt64 = nextSymbol<OpenAtFn>("openat64");
    va_list args;
    va_start(args, flags);
    const int mode = modeArgument(flags, args);
    va_end(args);
    return isNodePath(path) ? openNode() : realOpenAt64(dirfd, path, flags, mode);
}

int __open_2(const char *path, int flags)
{
    static const auto realOpen2 = nextSymbol<int (*)(const char *, int)>("__open_2");
    return isNodePath(path) ? openNode() : realOpen2(path, flags);
}

int __open64_2(const char *path, int flags)
{
    static const auto realOpen64_2 = nextSymbol<int (*)(const char *, int)>("__open64_2");
    return isNodePath(path) ? openNode() : realOpen64_2(path, flags);
}

int close(int fd)
{
    static const auto realClose = nextSymbol<CloseFn>("close");
    Node &n = node();
    {
        std::lock_guard<std::mutex> lock(n.mutex);
        auto found = std::find(n.descriptors.begin(), n.descriptors.end(), fd);
        if (found != n.descriptors.end()) {
            n.descriptors.erase(found);
            ++n.closes;
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
    Node &n = node();
    {
        std::lock_guard<std::mutex> lock(n.mutex);
        if (isNodeDescriptor(n, fd))
            return nodeIoctl(n, request, arg);
    }
    return realIoctl(fd, request, arg);
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
        n.requestErrors.clear();
        n.readBackOverrides.clear();
        n.transferFaultFrom = SIZE_MAX;
        n.opens = 0;
        n.closes = 0;
        n.requests.clear();
        n.transfers.clear();
        return 0;
    });
}

void setOpenError(int error)
{
    withNode([error](Node &n) { return n.openError = error; });
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

void setTransferFault(std::size_t fromIndex, int result, int error)
{
    withNode([=](Node &n) {
        n.transferFaultFrom = fromIndex;
        n.transferFaultResult = result;
        return n.transferFaultError = error;
    });
}

std::vector<Request> requests() { return withNode([](Node &n) { return n.requests; }); }
std::vector<Transfer> transfers() { return withNode([](Node &n) { return n.transfers; }); }
std::size_t transferCount() { return withNode([](Node &n) { return n.transfers.size(); }); }
int openCount() { return withNode([](Node &n) { return n.opens; }); }
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
                                   [&] { return n.transfers.size() >= count; });
}

} // namespace fakespidev
