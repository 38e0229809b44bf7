#ifndef FRAMETIMELINE_H
#define FRAMETIMELINE_H

#include "samplelist.h"

#include <QtGlobal>

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

// A pass over a list: the frames sent from a placement (a start, a seek, a
// new list) or a loop's first sample, up to the next of either. A pause goes
// on with the same pass.
struct FramePass
{
    quint64 number = 0; // from 1; 0: none yet
    std::shared_ptr<const SampleList> list;
    qint64 loop = 0; // loops of its list completed before it
    // Its first and last samples sent, and when its first went out.
    qint64 firstSample = 0;
    qint64 lastSample = 0;
    std::int64_t startNs = 0;
};

// When each of the last frames went out and which sample of which pass it
// carried, and when the output stopped sending, so that a time (a monitor's
// detection edge) can be placed on the sample last sent before it. The output
// loop appends under a mutex of its own and never waits for a reader; the
// oldest frames give way beyond the capacity.
class FrameTimeline
{
public:
    // 65,536 frames: 32 s at the highest rate, minutes at a record's.
    explicit FrameTimeline(std::size_t capacity = 1 << 16);

    // From the output loop, as a frame's transfer ends. A change of
    // generation, placement or loop starts a new pass.
    void frameSent(std::int64_t doneNs, const std::shared_ptr<const SampleList> &list, quint64 generation,
                   quint64 placement, qint64 loop, qint64 sample);
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
    // The pass of the last frame sent (number 0 before any), and whether the
    // output has halted since.
    FramePass lastPass() const;
    // A pass that frames kept belong to, as it stands; number 0 if none is kept.
    FramePass pass(quint64 number) const;
    bool isHalted() const;

private:
    struct Entry
    {
        std::int64_t ns = 0;
        quint64 pass = 0; // 0: a halt
        qint64 sample = -1;
    };
    const Entry &at(std::size_t i) const { return ring[(first + i) % ring.size()]; }
    FramePass passNumbered(quint64 number) const;
    void append(const Entry &entry);

    mutable std::mutex mutex;
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
