#include "preview.h"

#include "samplelist.h"

#include <algorithm>

namespace {

// The least and the greatest of a run of consecutive points (the first on a tie).
struct Bucket
{
    QPointF least;
    QPointF greatest;
};

void merge(Bucket &into, const Bucket &next)
{
    if (next.least.y() < into.least.y())
        into.least = next.least;
    if (next.greatest.y() > into.greatest.y())
        into.greatest = next.greatest;
}

// Merges neighbours pairwise: buckets twice as long, the last one still filling.
void halve(QVector<Bucket> &buckets)
{
    int kept = 0;
    for (int i = 0; i < buckets.size(); i += 2) {
        Bucket pair = buckets[i];
        if (i + 1 < buckets.size())
            merge(pair, buckets[i + 1]);
        buckets[kept++] = pair;
    }
    buckets.resize(kept);
}

} // namespace

QVector<QPointF> previewPoints(const SampleList &list)
{
    QVector<Bucket> buckets;
    qint64 count = 0;
    qint64 bucketSize = 1;
    const auto add = [&](quint16 code) {
        const QPointF point(count, code);
        if (count % bucketSize == 0)
            buckets.append({point, point});
        else
            merge(buckets.last(), {point, point});
        ++count;
        if (count <= maxPlainPreviewPoints)
            return;
        while (buckets.size() > maxPreviewBuckets) {
            halve(buckets);
            bucketSize *= 2;
        }
    };
    std::for_each(list.codes.begin(), list.codes.end(), add);

    QVector<QPointF> points;
    points.reserve(2 * buckets.size());
    for (const Bucket &bucket : buckets) {
        const bool leastFirst = bucket.least.x() <= bucket.greatest.x();
        points.append(leastFirst ? bucket.least : bucket.greatest);
        if (bucket.least.x() != bucket.greatest.x())
            points.append(leastFirst ? bucket.greatest : bucket.least);
    }
    return points;
}
