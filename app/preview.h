#ifndef PREVIEW_H
#define PREVIEW_H

#include <QPointF>
#include <QVector>

#include <optional>

class QIODevice;

// The chart points of an open sample file: every line that holds a base-10
// integer, white space around it allowed, becomes (n, value) where n counts the
// points; any other line is left out. None when a line is too long for a
// sample file.
std::optional<QVector<QPointF>> previewPoints(QIODevice &file);

#endif // PREVIEW_H
