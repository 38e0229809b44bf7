#ifndef ENVELOPE_H
#define ENVELOPE_H

#include "samplelist.h"

#include <QPointF>
#include <QVector>

#include <limits>

#include <memory>
#include <vector>

// The least and the greatest of a signal's values as its list keeps them (a
// record's in its units, a sample file's codes), level by level: buckets of
// 64 samples, then of 128, 256 and so on, each level half the one below. Built
// in one pass as the samples are read; it keeps no sample itself but reads
// them from the list it is given, which holds them all once they are appended.
// About an eighth of 16-bit samples' memory.
//
// Any span of the signal, a day's of a record or ten seconds of it, comes back
// as at most a given number of buckets, each drawn by its least and its
// greatest value, from a few entries of each level: a chart redraws at any zoom
// in about the same time.
class Envelope
{
public:
    // The samples appended hereafter, in the same order. The list may grow
    // while they are appended; points() reads it, so it runs once appending
    // is over (or in the same thread).
    explicit Envelope(std::shared_ptr<const SampleList> samples);

    // The next count samples, already appended to the list.
    void append(int count);
    // The samples appended so far.
    qint64 size() const { return appended; }
    // Their list, whose values points() gives.
    const SampleList &list() const { return *samples; }

    // Samples first to last (both included, clamped to the signal) as points
    // (sample number, value), in order. Every sample when there are at most
    // twice as many as buckets; otherwise the span splits into buckets of
    // equal length on multiples of it (so that a scroll keeps them), at most
    // buckets + 1 with the partial ones at both ends, each given as two
    // points at its first sample: its least value, then its greatest.
    QVector<QPointF> points(qint64 first, qint64 last, int buckets) const;

private:
    struct Extremes
    {
        qint32 least = std::numeric_limits<qint32>::max();
        qint32 greatest = std::numeric_limits<qint32>::min();
        void include(qint32 value);
        void include(const Extremes &other);
    };
    // The samples from begin to end (excluded), read from the largest whole
    // buckets that fit and the single samples at the ends.
    Extremes extremes(qint64 begin, qint64 end) const;
    void completeBucket();

    std::shared_ptr<const SampleList> samples;
    // levels[k]: the whole buckets of firstBucket << k samples.
    std::vector<std::vector<Extremes>> levels;
    Extremes filling; // the bucket of the first level not yet whole
    qint64 appended = 0;
};

#endif // ENVELOPE_H
