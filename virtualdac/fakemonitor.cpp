#include "fakemonitor.h"
#include "fakegpio.h"
#include "fakespidev.h"
#include "virtualdac_p.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

namespace {

// Pulses a monitor has not given yet; past this, a run is no monitor's.
constexpr std::size_t maxPending = 4096;

// Heap-allocated and never destroyed, as the nodes: its thread outlives static objects.
struct Monitor
{
    std::mutex mutex;
    std::condition_variable changed;
    fakemonitor::Settings settings;
    std::atomic<bool> active{false};
    std::uint64_t firstFrame = 0; // the node's count of transfers at configure
    std::size_t nextListed = 0;
    std::multimap<std::int64_t, int> pending; // monotonic time of each level to come
    bool overflowSaid = false;
    bool running = false;
};

Monitor &monitor()
{
    static Monitor *instance = new Monitor;
    return *instance;
}

// Gives each level at its time; never holds the monitor's lock while driving the line.
void run(Monitor &m)
{
    std::unique_lock<std::mutex> lock(m.mutex);
    for (;;) {
        if (m.pending.empty()) {
            m.changed.wait(lock);
            continue;
        }
        const auto first = m.pending.begin();
        const std::int64_t due = first->first;
        if (due > virtualdac::monotonicNs()) {
            m.changed.wait_until(lock, std::chrono::steady_clock::time_point(std::chrono::nanoseconds(due)));
            continue;
        }
        const int level = first->second;
        const unsigned int line = m.settings.line;
        m.pending.erase(first);
        lock.unlock();
        fakegpio::drive(line, level, due);
        lock.lock();
    }
}

void schedule(Monitor &m, std::int64_t timeNs, int level)
{
    if (m.pending.size() >= maxPending) {
        if (!m.overflowSaid)
            std::fprintf(stderr, "virtualdac: monitor has %zu pulses waiting, later ones dropped\n", maxPending);
        m.overflowSaid = true;
        return;
    }
    m.pending.emplace(timeNs, level);
    if (!m.running)
        std::thread(run, std::ref(m)).detach();
    m.running = true;
    m.changed.notify_one();
}

#ifdef FAKESPIDEV_PRELOAD
std::vector<std::uint64_t> framesFromFile(const char *path)
{
    std::vector<std::uint64_t> frames;
    std::FILE *file = std::fopen(path, "r");
    if (!file) {
        std::fprintf(stderr, "virtualdac: cannot read %s, monitor silent\n", path);
        return frames;
    }
    char line[64];
    for (int number = 1; std::fgets(line, sizeof line, file); ++number) {
        char *end = nullptr;
        const unsigned long long frame = std::strtoull(line, &end, 10);
        if (end != line && (*end == '\n' || *end == '\0'))
            frames.push_back(frame);
        else if (line[0] != '\n')
            std::fprintf(stderr, "virtualdac: %s:%d is not a frame number, ignored\n", path, number);
    }
    std::fclose(file);
    return frames;
}

// Read as the library loads: a file opened later, from within a transfer, would
// go through the replaced open while its node is locked.
[[maybe_unused]] const bool configuredFromEnvironment = [] {
    const char *source = std::getenv("VIRTUALDAC_MONITOR");
    if (!source)
        return false;
    const std::uint64_t line = virtualdac::countFromEnvironment("VIRTUALDAC_MONITOR_LINE", fakegpio::lineCount);
    if (line >= fakegpio::lineCount) {
        std::fprintf(stderr, "virtualdac: VIRTUALDAC_MONITOR needs VIRTUALDAC_MONITOR_LINE below %u, monitor silent\n",
                     fakegpio::lineCount);
        return false;
    }
    fakemonitor::Settings settings;
    settings.line = unsigned(line);
    settings.delayNs = std::int64_t(virtualdac::countFromEnvironment("VIRTUALDAC_MONITOR_DELAY_MS", 0)) * 1000000;
    settings.echoSync = std::strcmp(source, "sync") == 0;
    if (!settings.echoSync)
        settings.frames = framesFromFile(source);
    fakemonitor::configure(settings);
    return true;
}();
#endif

} // namespace

void fakemonitor::configure(const Settings &settings)
{
    const std::uint64_t transfers = fakespidev::transferCount();
    Monitor &m = monitor();
    std::lock_guard<std::mutex> lock(m.mutex);
    m.settings = settings;
    std::sort(m.settings.frames.begin(), m.settings.frames.end());
    m.firstFrame = transfers;
    m.nextListed = 0;
    m.pending.clear();
    m.overflowSaid = false;
    m.active = settings.echoSync || !settings.frames.empty();
    m.changed.notify_one();
}

void virtualdac::monitor::frameSent(std::uint64_t index, std::int64_t timeNs)
{
    Monitor &m = ::monitor();
    if (!m.active)
        return;
    std::lock_guard<std::mutex> lock(m.mutex);
    const std::vector<std::uint64_t> &frames = m.settings.frames;
    if (index < m.firstFrame)
        return;
    const std::uint64_t frame = index - m.firstFrame;
    while (m.nextListed < frames.size() && frames[m.nextListed] < frame)
        ++m.nextListed;
    if (m.nextListed == frames.size() || frames[m.nextListed] != frame)
        return;
    const std::int64_t rise = timeNs + m.settings.delayNs;
    schedule(m, rise, 1);
    schedule(m, rise + fakemonitor::pulseNs, 0);
}

void virtualdac::monitor::outputEdge(std::int64_t timeNs, int value)
{
    Monitor &m = ::monitor();
    if (!m.active)
        return;
    std::lock_guard<std::mutex> lock(m.mutex);
    if (m.settings.echoSync)
        schedule(m, timeNs + m.settings.delayNs, value);
}
