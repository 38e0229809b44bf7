#ifndef VIRTUALDAC_P_H
#define VIRTUALDAC_P_H

// What the virtual DAC's emulated nodes share.

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include <dlfcn.h>
#include <time.h>

namespace virtualdac {

template<typename Fn>
Fn nextSymbol(const char *name)
{
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

inline std::int64_t monotonicNs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// A descriptor for an emulated node: a real one (of /dev/null), so its number
// is never handed out twice while it is open. Defined beside the replaced open,
// close and ioctl (fakespidev.cpp), which every emulated node needs linked in.
int openPlaceholder();

// A count from the environment, or fallback when it is unset or no count (said so).
inline std::uint64_t countFromEnvironment(const char *name, std::uint64_t fallback)
{
    const char *text = std::getenv(name);
    if (!text)
        return fallback;
    char *end = nullptr;
    errno = 0;
    const unsigned long long count = std::strtoull(text, &end, 10);
    if (!std::isdigit(static_cast<unsigned char>(text[0])) || *end || errno) {
        std::fprintf(stderr, "virtualdac: %s=%s is not a count, ignored\n", name, text);
        return fallback;
    }
    return count;
}

// Which descriptors a node gave out, readable without its lock: close and ioctl
// of any other descriptor never take it. A signal handler may close one while
// the interrupted thread holds the lock (Qt's SIGCHLD handler does, for the
// processes it starts), and taking it there would deadlock. Descriptors past
// the table may be anyone's.
class DescriptorMarks
{
public:
    bool mayBeMarked(int fd) const { return fd >= size || (fd >= 0 && marks[fd].load()); }
    void set(int fd, bool mark)
    {
        if (fd >= 0 && fd < size)
            marks[fd] = mark;
    }

private:
    static constexpr int size = 4096;
    std::atomic<bool> marks[size]{};
};

} // namespace virtualdac

// What the spidev and GPIO chip doubles tell the monitor of fakemonitor.h.
namespace virtualdac::monitor {

// The transfer numbered index (from the node's reset) went out at timeNs.
void frameSent(std::uint64_t index, std::int64_t timeNs);
// An output line went to value at timeNs.
void outputEdge(std::int64_t timeNs, int value);

} // namespace virtualdac::monitor

#endif // VIRTUALDAC_P_H
