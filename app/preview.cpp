#include "preview.h"

#include "samplefile.h"

std::optional<QVector<QPointF>> previewPoints(QIODevice &file)
{
    QVector<QPointF> points;
    const bool read = readSampleLines(file, [&points](const QString &line) {
        bool ok = false;
        const int value = line.trimmed().toInt(&ok, 10);
        if (ok)
            points.append(QPointF(points.size(), value));
    });
    return read ? std::optional<QVector<QPointF>>(points) : std::nullopt;
}
