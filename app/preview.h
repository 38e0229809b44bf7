#ifndef PREVIEW_H
#define PREVIEW_H

#include <QPointF>
#include <QVector>

class QIODevice;

// The chart points of a sample file: every line that holds a base-10 integer,
// white space around it allowed, becomes (n, value) where n counts the points;
// any other line is left out.
QVector<QPointF> previewPoints(QIODevice &file);

#endif // PREVIEW_H
