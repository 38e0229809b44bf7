#ifndef PREVIEW_H
#define PREVIEW_H

#include <QPointF>
#include <QVector>

struct SampleList;

// Up to this many points the chart draws every one: every excerpt of up to an
// hour at 25 samples/s, and every file of up to 100,000 lines, looks exactly
// as it always did.
constexpr int maxPlainPreviewPoints = 100000;
// Beyond, the chart draws an envelope of at most this many buckets, two points
// each: 1.6 to 3.2 buckets per pixel of the 1281-pixel chart, so that every
// peak stays visible while Qt Charts strokes a few thousand points, not millions.
constexpr int maxPreviewBuckets = 4096;

// The chart points of a sample list: its codes, each a point (n, code) where
// n counts them. Up to maxPlainPreviewPoints points, all of them. Beyond, the
// points split in order into equal buckets (of the fewest points, a power of
// two, that make at most maxPreviewBuckets; the last may be short), each drawn
// by its least and its greatest point, in order.
QVector<QPointF> previewPoints(const SampleList &list);

#endif // PREVIEW_H
