#include "envelope.h"

#include <algorithm>

namespace {

// The first level's bucket: 64 samples, so that the levels together (two
// 32-bit extremes a bucket) take an eighth of 16-bit samples' memory.
constexpr int firstBucketBits = 6;
constexpr qint64 firstBucket = qint64(1) << firstBucketBits;

} // namespace

void Envelope::Extremes::include(qint32 value)
{
    least = std::min(least, value);
    greatest = std::max(greatest, value);
}

void Envelope::Extremes::include(const Extremes &other)
{
    least = std::min(least, other.least);
    greatest = std::max(greatest, other.greatest);
}

Envelope::Envelope(std::shared_ptr<const SampleList> samples) : samples(std::move(samples)) {}

void Envelope::append(int count)
{
    for (int i = 0; i < count; ++i) {
        filling.include(samples->value(appended));
        if (++appended % firstBucket == 0)
            completeBucket();
    }
}

// A whole bucket of the first level; each level that has then an even count
// makes one of the level above from its last two.
void Envelope::completeBucket()
{
    if (levels.empty())
        levels.emplace_back();
    levels[0].push_back(filling);
    filling = Extremes();
    for (std::size_t level = 0; levels[level].size() % 2 == 0; ++level) {
        if (level + 1 == levels.size())
            levels.emplace_back();
        Extremes pair = levels[level].end()[-2];
        pair.include(levels[level].back());
        levels[level + 1].push_back(pair);
    }
}

Envelope::Extremes Envelope::extremes(qint64 begin, qint64 end) const
{
    Extremes found;
    qint64 at = begin;
    while (at < end) {
        // The largest whole bucket that starts here and ends by end; -1: none.
        int level = -1;
        while (level + 1 < int(levels.size())) {
            const qint64 length = firstBucket << (level + 1);
            if (at % length != 0 || at + length > end || at / length >= qint64(levels[level + 1].size()))
                break;
            ++level;
        }
        if (level < 0) {
            found.include(samples->value(at));
            ++at;
        } else {
            found.include(levels[level][at >> (firstBucketBits + level)]);
            at += firstBucket << level;
        }
    }
    return found;
}

QVector<QPointF> Envelope::points(qint64 first, qint64 last, int buckets) const
{
    first = std::max<qint64>(first, 0);
    last = std::min(last, appended - 1);
    QVector<QPointF> drawn;
    if (first > last || buckets < 1)
        return drawn;
    const qint64 span = last - first + 1;
    if (span <= 2 * qint64(buckets)) {
        drawn.reserve(int(span));
        for (qint64 at = first; at <= last; ++at)
            drawn.append(QPointF(at, samples->value(at)));
        return drawn;
    }
    const qint64 length = (span + buckets - 1) / buckets;
    drawn.reserve(2 * (buckets + 1));
    for (qint64 begin = first; begin <= last;) {
        const qint64 end = std::min((begin / length + 1) * length, last + 1);
        const Extremes bucket = extremes(begin, end);
        drawn.append(QPointF(begin, bucket.least));
        drawn.append(QPointF(begin, bucket.greatest));
        begin = end;
    }
    return drawn;
}
