#ifndef PREVIEW_H
#define PREVIEW_H

#include <QPointF>
#include <QVector>

#include <optional>

class QIODevice;

// Up to this many points the chart draws every one: every excerpt of up to an
// hour at 25 samples/s, and every file of up to 100,000 lines, looks exactly
// as it always did.
constexpr int maxPlainPreviewPoints = 100000;
// Beyond, the chart draws an envelope of at most this many buckets, two points
// each: 1.6 to 3.2 buckets per pixel of the 1281-pixel chart, so that every
// peak stays visible while Qt Charts strokes a few thousand points, not millions.
constexpr int maxPreviewBuckets = 4096;

// The chart points of an open sample file: every line that holds a base-10
// integer, white space around it allowed, is a point (n, value) where n counts
// the points; any other line is left out. Up to maxPlainPreviewPoints points,
// all of them. Beyond, the points split in line order into equal buckets (of
// the fewest points, a power of two, that make at most maxPreviewBuckets; the
// last may be short), each drawn by its least and its greatest point, in order.
// Reads the file once and keeps the buckets only. None when a line is too long
// for a sample file.
std::optional<QVector<QPointF>> previewPoints(QIODevice &file);

#endif // PREVIEW_H
