#include "preview.h"

#include <QTextStream>

QVector<QPointF> previewPoints(QIODevice &file)
{
    QVector<QPointF> points;
    QTextStream in(&file);
    while (!in.atEnd()) {
        bool ok = false;
        const int value = in.readLine().trimmed().toInt(&ok, 10);
        if (ok)
            points.append(QPointF(points.size(), value));
    }
    return points;
}
