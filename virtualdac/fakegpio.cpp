// Built without large-file redirection and fortification, so that stat, lstat
// and access below are the C library's own names (those libgpiod calls).
#undef _FILE_OFFSET_BITS
#undef _FORTIFY_SOURCE
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif

#include "fakegpio.h"
#include "capturefile.h"
#include "fakegpio_p.h"
#include "fakespidev.h"
#include "virtualdac_p.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include <fcntl.h>
#include <linux/gpio.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

using virtualdac::countFromEnvironment;
using virtualdac::nextSymbol;

namespace {

// The chip's device numbers, as its node and sysfs "dev" attribute report them.
constexpr unsigned int chipMajor = 254;
constexpr unsigned int chipMinor = 0;

// A line handle: its descriptor and the lines it holds, in request order. An
// event handle holds one input line; its descriptor is a pipe's read end, so
// that poll and read work as on the kernel's, and its edges go in at the other.
struct Handle
{
    int fd;
    std::vector<unsigned int> lines;
    bool output;
    std::string consumer;
    std::uint32_t eventFlags = 0;
    int eventWriter = -1;
};

// The emulated chip. Heap-allocated and never destroyed, as fakespidev's node.
struct Chip
{
    std::mutex mutex;
    std::string path;
    std::string sysfsDevPath; // what libgpiod reads to make sure the node is a GPIO chip
    std::vector<int> chipDescriptors;
    std::vector<Handle> handles;
    std::array<int, fakegpio::lineCount> values{};
    std::array<bool, fakegpio::lineCount> busy{};
    std::vector<fakegpio::Edge> edges;
    std::vector<unsigned long> requests;
    bool recording = true;
    std::FILE *capture = nullptr;
    std::uint64_t captureLimit = fakespidev::defaultCaptureLimit;
    std::uint64_t captureBytes = 0;
};

virtualdac::DescriptorMarks chipDescriptorMarks;

std::string chipName(const Chip &c)
{
    return c.path.substr(c.path.rfind('/') + 1);
}

void setPath(Chip &c, const char *path)
{
    c.path = path;
    c.sysfsDevPath = "/sys/bus/gpio/devices/" + chipName(c) + "/dev";
}

bool openCapture(Chip &c, const char *path)
{
    if (c.capture)
        std::fclose(c.capture);
    c.capture = path && *path ? std::fopen(path, "w") : nullptr;
    if (!c.capture)
        return !(path && *path);
    std::fputs(fakegpio::captureHeader, c.capture);
    std::fflush(c.capture);
    c.captureBytes = std::strlen(fakegpio::captureHeader);
    return true;
}

// A preload library records nothing in memory and captures to the named file.
Chip *chipFromEnvironment()
{
    auto *created = new Chip;
    const char *path = std::getenv("FAKEGPIO_PATH");
    setPath(*created, path ? path : fakegpio::defaultPath);
#ifdef FAKESPIDEV_PRELOAD
    created->recording = false;
    const std::uint64_t busyLine = countFromEnvironment("FAKEGPIO_BUSY_LINE", fakegpio::lineCount);
    if (busyLine < fakegpio::lineCount)
        created->busy[busyLine] = true;
    created->captureLimit = countFromEnvironment("VIRTUALDAC_CAPTURE_LIMIT", fakespidev::defaultCaptureLimit);
    const char *capture = std::getenv("VIRTUALDAC_GPIO_CAPTURE");
    if (capture && !openCapture(*created, capture))
        std::fprintf(stderr, "virtualdac: cannot write %s\n", capture);
#endif
    return created;
}

Chip &chip()
{
    static Chip *instance = chipFromEnvironment();
    return *instance;
}

template<typename F>
auto withChip(F use)
{
    Chip &c = chip();
    std::lock_guard<std::mutex> lock(c.mutex);
    return use(c);
}

void copyName(char (&field)[GPIO_MAX_NAME_SIZE], const std::string &text)
{
    std::memset(field, 0, sizeof field);
    std::strncpy(field, text.c_str(), sizeof field - 1);
}

int openDescriptor()
{
    const int fd = virtualdac::openPlaceholder();
    chipDescriptorMarks.set(fd, true);
    return fd;
}

// The sysfs attribute's text, served from a pipe.
int openDevAttribute()
{
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) < 0)
        return -1;
    const std::string text = std::to_string(chipMajor) + ":" + std::to_string(chipMinor) + "\n";
    const bool written = write(ends[1], text.data(), text.size()) == ssize_t(text.size());
    static const auto realClose = nextSymbol<int (*)(int)>("close");
    realClose(ends[1]);
    if (written)
        return ends[0];
    realClose(ends[0]);
    errno = EIO;
    return -1;
}

Handle *handleOf(Chip &c, int fd)
{
    const auto found = std::find_if(c.handles.begin(), c.handles.end(), [fd](const Handle &h) { return h.fd == fd; });
    return found != c.handles.end() ? &*found : nullptr;
}

const Handle *holderOf(const Chip &c, unsigned int line)
{
    for (const Handle &h : c.handles) {
        if (std::find(h.lines.begin(), h.lines.end(), line) != h.lines.end())
            return &h;
    }
    return nullptr;
}

void writeCapture(Chip &c, const fakegpio::Edge &edge)
{
    if (c.captureBytes >= c.captureLimit) {
        std::fprintf(c.capture, "%s%lld: %llu bytes reached (VIRTUALDAC_CAPTURE_LIMIT); later edges not captured\n",
                     captureCutPrefix, static_cast<long long>(edge.timeNs),
                     static_cast<unsigned long long>(c.captureLimit));
        std::fclose(c.capture);
        c.capture = nullptr;
        std::fprintf(stderr, "virtualdac: GPIO capture cut at %llu bytes (VIRTUALDAC_CAPTURE_LIMIT), edges go on\n",
                     static_cast<unsigned long long>(c.captureLimit));
        return;
    }
    const int written = std::fprintf(c.capture, "%lld,%u,%d\n", static_cast<long long>(edge.timeNs), edge.line,
                                     edge.value);
    c.captureBytes += std::max(written, 0);
    // Edges come a few a second: each is in the file at once, for a reader following it.
    std::fflush(c.capture);
}

// The edge to the event handle watching the line, if it asked for that kind. The
// writer does not block: a reader too slow loses edges, as a full kernel FIFO does.
void signalEvent(const Chip &c, const fakegpio::Edge &edge)
{
    const Handle *holder = holderOf(c, edge.line);
    const std::uint32_t wanted = edge.value ? GPIOEVENT_REQUEST_RISING_EDGE : GPIOEVENT_REQUEST_FALLING_EDGE;
    if (!holder || !(holder->eventFlags & wanted))
        return;
    const gpioevent_data event{std::uint64_t(edge.timeNs),
                               std::uint32_t(edge.value ? GPIOEVENT_EVENT_RISING_EDGE : GPIOEVENT_EVENT_FALLING_EDGE)};
    if (write(holder->eventWriter, &event, sizeof event) != ssize_t(sizeof event))
        std::fprintf(stderr, "virtualdac: GPIO event of line %u lost\n", edge.line);
}

// At timeNs, or now for -1.
void setLine(Chip &c, unsigned int line, int value, std::int64_t timeNs = -1)
{
    if (c.values[line] == value)
        return;
    c.values[line] = value;
    const fakegpio::Edge edge{timeNs >= 0 ? timeNs : virtualdac::monotonicNs(), line, value};
    if (c.recording)
        c.edges.push_back(edge);
    if (c.capture)
        writeCapture(c, edge);
    signalEvent(c, edge);
    if (holderOf(c, line) && holderOf(c, line)->output)
        virtualdac::monitor::outputEdge(edge.timeNs, value);
}

int refuse(int error)
{
    errno = error;
    return -1;
}

int lineInfo(const Chip &c, gpioline_info *info)
{
    if (info->line_offset >= fakegpio::lineCount)
        return refuse(EINVAL);
    const Handle *holder = holderOf(c, info->line_offset);
    info->flags = 0;
    if (holder || c.busy[info->line_offset])
        info->flags |= GPIOLINE_FLAG_KERNEL;
    if (holder && holder->output)
        info->flags |= GPIOLINE_FLAG_IS_OUT;
    copyName(info->name, "GPIO" + std::to_string(info->line_offset));
    copyName(info->consumer, holder ? holder->consumer : c.busy[info->line_offset] ? "fakegpio" : "");
    return 0;
}

// 0, or the error of a request of the line.
int unavailable(const Chip &c, unsigned int line)
{
    if (line >= fakegpio::lineCount)
        return EINVAL;
    return c.busy[line] || holderOf(c, line) ? EBUSY : 0;
}

// A new handle holding the lines, outputs at their default values.
int lineHandle(Chip &c, gpiohandle_request *request)
{
    if (request->lines == 0 || request->lines > GPIOHANDLES_MAX)
        return refuse(EINVAL);
    for (unsigned int i = 0; i < request->lines; ++i) {
        if (const int error = unavailable(c, request->lineoffsets[i]))
            return refuse(error);
    }
    const int fd = openDescriptor();
    if (fd < 0)
        return -1;
    Handle handle{fd, {}, (request->flags & GPIOHANDLE_REQUEST_OUTPUT) != 0,
                  std::string(request->consumer_label, strnlen(request->consumer_label, GPIO_MAX_NAME_SIZE))};
    for (unsigned int i = 0; i < request->lines; ++i) {
        handle.lines.push_back(request->lineoffsets[i]);
        if (handle.output)
            setLine(c, request->lineoffsets[i], request->default_values[i] ? 1 : 0);
    }
    c.handles.push_back(std::move(handle));
    request->fd = fd;
    return 0;
}

// A new event handle watching one input line.
int lineEvent(Chip &c, gpioevent_request *request)
{
    if (const int error = unavailable(c, request->lineoffset))
        return refuse(error);
    if (!(request->eventflags & GPIOEVENT_REQUEST_BOTH_EDGES) || (request->handleflags & GPIOHANDLE_REQUEST_OUTPUT))
        return refuse(EINVAL);
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) < 0)
        return -1;
    fcntl(ends[1], F_SETFL, O_NONBLOCK);
    chipDescriptorMarks.set(ends[0], true);
    c.handles.push_back({ends[0], {request->lineoffset}, false,
                         std::string(request->consumer_label, strnlen(request->consumer_label, GPIO_MAX_NAME_SIZE)),
                         request->eventflags, ends[1]});
    request->fd = ends[0];
    return 0;
}

int chipIoctl(Chip &c, unsigned long request, void *arg)
{
    switch (request) {
    case GPIO_GET_CHIPINFO_IOCTL: {
        auto *info = static_cast<gpiochip_info *>(arg);
        copyName(info->name, chipName(c));
        copyName(info->label, fakegpio::chipLabel);
        info->lines = fakegpio::lineCount;
        return 0;
    }
    case GPIO_GET_LINEINFO_IOCTL:
        return lineInfo(c, static_cast<gpioline_info *>(arg));
    case GPIO_GET_LINEHANDLE_IOCTL:
        return lineHandle(c, static_cast<gpiohandle_request *>(arg));
    case GPIO_GET_LINEEVENT_IOCTL:
        return lineEvent(c, static_cast<gpioevent_request *>(arg));
    default:
        return refuse(ENOTTY);
    }
}

int handleIoctl(Chip &c, const Handle &handle, unsigned long request, void *arg)
{
    auto *data = static_cast<gpiohandle_data *>(arg);
    switch (request) {
    case GPIOHANDLE_SET_LINE_VALUES_IOCTL:
        if (!handle.output)
            return refuse(EPERM);
        for (std::size_t i = 0; i < handle.lines.size(); ++i)
            setLine(c, handle.lines[i], data->values[i] ? 1 : 0);
        return 0;
    case GPIOHANDLE_GET_LINE_VALUES_IOCTL:
        for (std::size_t i = 0; i < handle.lines.size(); ++i)
            data->values[i] = std::uint8_t(c.values[handle.lines[i]]);
        return 0;
    default:
        return refuse(ENOTTY);
    }
}

// Fills *buffer as the chip's node, a character device; false for any other path.
bool chipNodeStat(const char *path, struct stat *buffer)
{
    if (!path || !withChip([path](Chip &c) { return c.path == path; }))
        return false;
    std::memset(buffer, 0, sizeof *buffer);
    buffer->st_mode = S_IFCHR | 0660;
    buffer->st_nlink = 1;
    buffer->st_rdev = makedev(chipMajor, chipMinor);
    return true;
}

// The chip's node or its sysfs "dev" attribute, both there for everyone.
bool isChipFile(const char *path)
{
    return path && withChip([path](Chip &c) { return c.path == path || c.sysfsDevPath == path; });
}

} // namespace

namespace fakegpio::interposed {

bool open(const char *path, int *fd)
{
    if (!path)
        return false;
    return withChip([path, fd](Chip &c) {
        if (c.path == path) {
            *fd = openDescriptor();
            if (*fd >= 0)
                c.chipDescriptors.push_back(*fd);
            return true;
        }
        if (c.sysfsDevPath == path) {
            *fd = openDevAttribute();
            return true;
        }
        return false;
    });
}

bool mayOwn(int fd)
{
    return chipDescriptorMarks.mayBeMarked(fd);
}

bool ioctl(int fd, unsigned long request, void *arg, int *result)
{
    return withChip([=](Chip &c) {
        const auto &chipFds = c.chipDescriptors;
        const bool isChip = std::find(chipFds.begin(), chipFds.end(), fd) != chipFds.end();
        const Handle *handle = handleOf(c, fd);
        if (!isChip && !handle)
            return false;
        if (c.recording)
            c.requests.push_back(request);
        *result = isChip ? chipIoctl(c, request, arg) : handleIoctl(c, *handle, request, arg);
        return true;
    });
}

void closing(int fd)
{
    withChip([fd](Chip &c) {
        const auto chipFd = std::find(c.chipDescriptors.begin(), c.chipDescriptors.end(), fd);
        if (chipFd != c.chipDescriptors.end())
            c.chipDescriptors.erase(chipFd);
        const auto isClosed = [fd](const Handle &h) { return h.fd == fd; };
        if (const Handle *closed = handleOf(c, fd); closed && closed->eventWriter >= 0) {
            static const auto realClose = nextSymbol<int (*)(int)>("close");
            realClose(closed->eventWriter);
        }
        c.handles.erase(std::remove_if(c.handles.begin(), c.handles.end(), isClosed), c.handles.end());
        chipDescriptorMarks.set(fd, false);
    });
}

} // namespace fakegpio::interposed

extern "C" {

int stat(const char *path, struct stat *buffer) noexcept
{
    static const auto realStat = nextSymbol<int (*)(const char *, struct stat *)>("stat");
    return chipNodeStat(path, buffer) ? 0 : realStat(path, buffer);
}

int lstat(const char *path, struct stat *buffer) noexcept
{
    static const auto realLstat = nextSymbol<int (*)(const char *, struct stat *)>("lstat");
    return chipNodeStat(path, buffer) ? 0 : realLstat(path, buffer);
}

int access(const char *path, int mode) noexcept
{
    static const auto realAccess = nextSymbol<int (*)(const char *, int)>("access");
    return isChipFile(path) ? 0 : realAccess(path, mode);
}

} // extern "C"

namespace fakegpio {

void reset(const char *path)
{
    withChip([path](Chip &c) {
        setPath(c, path);
        c.values.fill(0);
        c.busy.fill(false);
        c.edges.clear();
        c.requests.clear();
        c.recording = true;
        c.captureLimit = fakespidev::defaultCaptureLimit;
        return openCapture(c, nullptr);
    });
}

void drive(unsigned int line, int value, std::int64_t timeNs)
{
    withChip([line, value, timeNs](Chip &c) {
        if (line < lineCount)
            setLine(c, line, value ? 1 : 0, timeNs);
    });
}

void setBusy(unsigned int line, bool busy)
{
    withChip([line, busy](Chip &c) {
        if (line < lineCount)
            c.busy[line] = busy;
    });
}

bool setCapture(const char *path)
{
    return withChip([path](Chip &c) { return openCapture(c, path); });
}

std::vector<Edge> edges() { return withChip([](Chip &c) { return c.edges; }); }
std::vector<unsigned long> requests() { return withChip([](Chip &c) { return c.requests; }); }
int lineValue(unsigned int line)
{
    return withChip([line](Chip &c) { return line < lineCount ? c.values[line] : -1; });
}

std::string consumer(unsigned int line)
{
    return withChip([line](Chip &c) {
        const Handle *holder = holderOf(c, line);
        return holder ? holder->consumer : std::string();
    });
}

int openDescriptors()
{
    return withChip([](Chip &c) { return int(c.chipDescriptors.size() + c.handles.size()); });
}

} // namespace fakegpio
