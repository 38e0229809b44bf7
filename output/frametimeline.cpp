#include "frametimeline.h"

#include <QDeadlineTimer>

#include <algorithm>
#include <mutex>

std::int64_t monotonicNowNs()
{
    return QDeadlineTimer::current(Qt::PreciseTimer).deadlineNSecs();
}

FrameTimeline::Lock::Lock()
{
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_setprotocol(&attributes, PTHREAD_PRIO_INHERIT);
    pthread_mutex_init(&mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
}

FrameTimeline::Lock::~Lock()
{
    pthread_mutex_destroy(&mutex);
}

FrameTimeline::FrameTimeline(std::size_t capacity) : ring(std::max<std::size_t>(capacity, 2)) {}

FrameTimeline::~FrameTimeline() = default;

void FrameTimeline::append(const Entry &entry)
{
    if (count < ring.size()) {
        ring[(first + count++) % ring.size()] = entry;
    } else {
        ring[first] = entry;
        first = (first + 1) % ring.size();
    }
    const quint64 oldest = at(0).pass;
    while (passes.size() > 1 && oldest != 0 && passes.front().number < oldest)
        passes.pop_front();
}

void FrameTimeline::frameSent(std::int64_t doneNs, const SampleList *list, quint64 generationSent,
                              quint64 placementSent, qint64 loopSent, qint64 sample)
{
    std::lock_guard<Lock> locked(lock);
    if (passes.empty() || generationSent != generation || placementSent != placement || loopSent != loop) {
        passes.push_back({passes.empty() ? 1 : passes.back().number + 1, list, sample, sample, doneNs});
        generation = generationSent;
        placement = placementSent;
        loop = loopSent;
    }
    passes.back().lastSample = sample;
    append({doneNs, passes.back().number, sample});
}

void FrameTimeline::halted(std::int64_t ns)
{
    std::lock_guard<Lock> locked(lock);
    if (count > 0 && at(count - 1).pass != 0)
        append({ns, 0, -1});
}

FramePass FrameTimeline::passNumbered(quint64 number) const
{
    const auto found = std::lower_bound(passes.cbegin(), passes.cend(), number,
                                        [](const FramePass &pass, quint64 value) { return pass.number < value; });
    return found != passes.cend() && found->number == number ? *found : FramePass();
}

FramePass FrameTimeline::passAfter(quint64 number) const
{
    std::lock_guard<Lock> locked(lock);
    const auto found = std::upper_bound(passes.cbegin(), passes.cend(), number,
                                        [](quint64 value, const FramePass &pass) { return value < pass.number; });
    return found != passes.cend() ? *found : FramePass();
}

FramePass FrameTimeline::pass(quint64 number) const
{
    std::lock_guard<Lock> locked(lock);
    return passNumbered(number);
}

FrameTimeline::Placement FrameTimeline::place(std::int64_t edgeNs, std::int64_t nowNs, std::int64_t settleNs) const
{
    std::lock_guard<Lock> locked(lock);
    Placement placed;
    if (count == 0 || edgeNs < at(0).ns) {
        placed.kind = count == ring.size() ? Placement::Lost : Placement::WhileOff;
        return placed;
    }
    // The last entry at or before the edge.
    std::size_t low = 0;
    std::size_t high = count;
    while (high - low > 1) {
        const std::size_t middle = (low + high) / 2;
        (at(middle).ns <= edgeNs ? low : high) = middle;
    }
    const Entry &entry = at(low);
    if (entry.pass == 0) {
        placed.kind = Placement::WhileOff;
    } else if (low == count - 1 && nowNs - edgeNs < settleNs) {
        placed.kind = Placement::Pending;
    } else {
        placed.kind = Placement::OnFrame;
        placed.pass = passNumbered(entry.pass);
        placed.sample = entry.sample;
    }
    return placed;
}

FramePass FrameTimeline::lastPass() const
{
    std::lock_guard<Lock> locked(lock);
    return passes.empty() ? FramePass() : passes.back();
}
