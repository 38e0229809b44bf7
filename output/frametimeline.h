#ifndef FRAMETIMELINE_H
#define FRAMETIMELINE_H

#include "samplelist.h"

#include <QtGlobal>

#include <cstdint>
#include <deque>
#include <vector>

#include <pthread.h>

// Now on CLOCK_MONOTONIC, as the frames and the GPIO line events are stamped.
std::int64_t monotonicNowNs();

// A pass over a list: the frames sent from a placement (a start, a seek, a
// new list) or a loop's first sample, up to the next of either. A pause goes
// on with the same pass.
struct FramePass
{
    quint64 number = 0; // from 1; 0: none
    // Which list it sent, for its owner to tell; never read through here.
    const SampleList *list = nullptr;
    // Its first and last samples sent, and when its first went out.
    qint64 firstSample = 0;
    qint64 lastSample = 0;
    std::int64_t startNs = 0;
};

// When each of the last frames went out and which sample of which pass it
// carried, and when the output stopped sending, so that a time (a monitor's
// detection edge) can be placed on the sample last sent before it. The output
// loop appends; readers hold the lock for a copy or a binary search, and its
// priority is inherited, so that a reader preempted while holding it cannot
// hold the output back. The oldest frames give way beyond the capacity; the
// timeline owns no list, so that none is ever freed by the output thread.
class FrameTimeline
{
public:
    // 65,536 frames: 32 s at the highest rate, minutes at a record's.
    explicit FrameTimeline(std::size_t capacity = 1 << 16);
    ~FrameTimeline();
    FrameTimeline(const FrameTimeline &) = delete;
    FrameTimeline &operator=(const FrameTimeline &) = delete;

    // From the output loop, as a frame's transfer ends. A change of
    // generation, placement or loop starts a new pass.
    void frameSent(std::int64_t doneNs, const SampleList *list, quint64 generation, quint64 placement, qint64 loop,
                   qint64 sample);
    // The output stopped sending (off, or nothing to send).
    void halted(std::int64_t ns);

    struct Placement
    {
        enum Kind {
            Pending,  // the next frame may still be on its way: ask again later
            OnFrame,  // on pass's sample
            WhileOff, // no frame was going out (before any, or since a halt)
            Lost,     // older than every frame kept
        };
        Kind kind = Pending;
        FramePass pass;
        qint64 sample = -1;
    };
    // Where an edge at edgeNs falls: on the last frame sent at or before it.
    // An edge after the last frame is placed once the next frame is in, or
    // once it is settleNs old at nowNs.
    Placement place(std::int64_t edgeNs, std::int64_t nowNs, std::int64_t settleNs) const;
    // The pass of the last frame sent; number 0 before any.
    FramePass lastPass() const;
    // The first pass kept after number, as it stands; number 0 if none.
    FramePass passAfter(quint64 number) const;
    // A pass kept, as it stands; number 0 if it is no longer kept.
    FramePass pass(quint64 number) const;

private:
    struct Entry
    {
        std::int64_t ns = 0;
        quint64 pass = 0; // 0: a halt
        qint64 sample = -1;
    };
    // The lock, for std::lock_guard.
    class Lock
    {
    public:
        Lock();
        ~Lock();
        void lock() { pthread_mutex_lock(&mutex); }
        void unlock() { pthread_mutex_unlock(&mutex); }

    private:
        pthread_mutex_t mutex;
    };

    const Entry &at(std::size_t i) const { return ring[(first + i) % ring.size()]; }
    FramePass passNumbered(quint64 number) const;
    void append(const Entry &entry);

    mutable Lock lock;
    std::vector<Entry> ring;
    std::size_t first = 0;
    std::size_t count = 0;
    // The passes that frames kept belong to, oldest first.
    std::deque<FramePass> passes;
    quint64 generation = 0;
    quint64 placement = 0;
    qint64 loop = -1;
};

#endif // FRAMETIMELINE_H
